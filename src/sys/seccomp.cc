#include "sys/seccomp.h"

#include <linux/seccomp.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include "sys/failure.h"

namespace {

long seccomp(unsigned operation, unsigned flags, const void* arguments) {
    return at_start([&] { return ::syscall(SYS_seccomp, operation, flags, arguments); });
}

}  // namespace

layer filter_calls(std::span<const sock_filter> code) {
    // A copy on the stack, with the process's own number filled in.
    std::array<sock_filter, most_instructions> filled;
    const std::size_t size = std::min(code.size(), filled.size());
    std::copy_n(code.begin(), size, filled.begin());
    const auto self = static_cast<std::uint32_t>(::getpid());
    for (auto& i : std::span(filled.data(), size))
        if (i.code == (BPF_JMP | BPF_JEQ | BPF_K) && i.k == call_filter::own_process) i.k = self;
    const sock_fprog prog{static_cast<unsigned short>(size), filled.data()};
    // A thread that could not be filtered makes it return that thread's number.
    const long installed = seccomp(SECCOMP_SET_MODE_FILTER, SECCOMP_FILTER_FLAG_TSYNC, &prog);
    if (installed == 0) return layer::in_force;
    if (installed < 0 && errno == ENOSYS) return layer::lacking;
    if (installed < 0 && errno == EINVAL) {
        // A kernel with filters reads the program before anything else, and
        // says that it cannot; one without them answers EINVAL again.
        const long asked = seccomp(SECCOMP_SET_MODE_FILTER, 0, nullptr);
        if (asked < 0 && (errno == EINVAL || errno == ENOSYS)) return layer::lacking;
    }
    return layer::refused;
}
