#include "sys/group_memory.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <charconv>
#include <optional>
#include <string_view>

#include "sys/failure.h"

namespace {

// What the process may still take besides the body it asks room for: thread
// stacks, small texts, the socket's buffers.
constexpr std::uint64_t reserve = 1 << 20;

// The number that a file holds from its start, or on its line that begins
// with name and a space (memory.stat); nothing when unreadable.
std::optional<std::uint64_t> figure(int fd, std::string_view name = {}) {
    char text[4096];
    const auto n = persist([&] { return ::pread(fd, text, sizeof text, 0); });
    if (n <= 0) return std::nullopt;
    std::string_view rest(text, static_cast<std::size_t>(n));
    while (!name.empty() &&
           !(rest.starts_with(name) && rest.substr(name.size()).starts_with(' '))) {
        const auto end = rest.find('\n');
        if (end == std::string_view::npos) return std::nullopt;
        rest.remove_prefix(end + 1);
    }
    if (!name.empty()) rest.remove_prefix(name.size() + 1);
    std::uint64_t value;
    if (std::from_chars(rest.data(), rest.data() + rest.size(), value).ec != std::errc{})
        return std::nullopt;
    return value;
}

}  // namespace

group_memory::group_memory(const memory_cgroup& group) : limit(group.limit), v2(group.v2) {
    const auto open = [&](const char* name) {
        return ::open((group.folder + name).c_str(), O_RDONLY | O_CLOEXEC);
    };
    usage = open(v2 ? "/memory.current" : "/memory.usage_in_bytes");
    stat = open("/memory.stat");
    if (usage < 0 || stat < 0) {
        if (usage >= 0) ::close(usage);
        if (stat >= 0) ::close(stat);
        usage = stat = -1;
    }
}

group_memory::~group_memory() {
    if (usage >= 0) ::close(usage);
    if (stat >= 0) ::close(stat);
}

bool group_memory::has_room(std::uint64_t bytes) const {
    const auto used = figure(usage);
    if (!used) return true;
    // The page cache that the kernel drops first, as v1 and v2 name it for
    // the group and all below it.
    const auto cache = figure(stat, v2 ? "inactive_file" : "total_inactive_file").value_or(0);
    const std::uint64_t held = *used > cache ? *used - cache : 0;
    return held <= limit && bytes <= limit - held && reserve <= limit - held - bytes;
}

group_memory::lock::lock(const group_memory& group) : own(group.threads), fd(group.usage) {
    if (fd >= 0) locked = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
}

group_memory::lock::~lock() {
    if (locked) ::flock(fd, LOCK_UN);
}
