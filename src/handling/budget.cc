#include "handling/budget.h"

#include <sys/resource.h>

namespace {

// Descriptors kept out of the workers' reach: the standard streams and a few
// for the runtime.
constexpr std::size_t reserved = 3 + 3;

std::size_t descriptor_capacity() {
    rlimit lim;
    if (::getrlimit(RLIMIT_NOFILE, &lim) != 0 || lim.rlim_cur == RLIM_INFINITY) return 1 << 20;
    return lim.rlim_cur > reserved ? lim.rlim_cur - reserved : 1;
}

}  // namespace

gate& body_bytes() {
    static gate bodies(body_budget);
    return bodies;
}

gate& descriptors() {
    // Taken once, after the loop has raised the soft limit.
    static gate open(descriptor_capacity());
    return open;
}
