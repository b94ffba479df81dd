#include "sys/limits.h"

#include "common/fixed.h"
#include "sys/failure.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/sysinfo.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

namespace {

// Returns the first 64 KiB of a file, or nothing when it cannot be read.
// Read in small pieces: a connection's process stays small, and these
// files are a few KiB.
std::optional<std::string> contents(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::string out;
    char piece[1024];
    ssize_t n = 0;
    while (out.size() < (64 << 10) && (n = ::read(fd, piece, sizeof piece)) > 0)
        out.append(piece, static_cast<std::size_t>(n));
    ::close(fd);
    if (n < 0) return std::nullopt;
    return out;
}

std::vector<std::string_view> split(std::string_view s, char by) {
    std::vector<std::string_view> parts;
    for (std::size_t at = 0;;) {
        const auto end = s.find(by, at);
        parts.push_back(s.substr(at, end - at));
        if (end == s.npos) return parts;
        at = end + 1;
    }
}

bool has_word(std::string_view list, std::string_view word) {
    const auto words = split(list, ',');
    return std::find(words.begin(), words.end(), word) != words.end();
}

// Where a cgroup hierarchy shows the process's own group: its mount's point,
// and the group's path below the group mounted there ("" for that group).
// Nothing when the hierarchy is not mounted so that the group is visible.
struct place {
    std::string point;
    std::string below;
};
std::optional<place> group_place(const std::string& root, std::string_view group, bool v2,
                                 const char* limit_file) {
    // Where the hierarchy is usually mounted from its root: found without
    // reading every mount, which each connection would pay for.
    place usual{root + (v2 ? "/sys/fs/cgroup" : "/sys/fs/cgroup/memory"),
                group == "/" ? "" : std::string(group)};
    if (::access((usual.point + usual.below + limit_file).c_str(), F_OK) == 0) return usual;
    const auto mounts = contents(root + "/proc/self/mountinfo");
    if (!mounts) return std::nullopt;
    for (const auto line : split(*mounts, '\n')) {
        // id parent dev root point options [tags...] - type source super-options
        const auto fields = split(line, ' ');
        const auto dash = std::find(fields.begin(), fields.end(), "-");
        if (fields.size() < 5 || fields.end() - dash < 4) continue;
        const auto type = dash[1];
        if (v2 ? type != "cgroup2" : type != "cgroup" || !has_word(dash[3], "memory")) continue;
        std::string_view mounted = fields[3];  // the group at the mount point
        if (mounted == "/") mounted = "";
        if (!group.starts_with(mounted)) continue;
        auto below = group.substr(mounted.size());
        if (!below.empty() && below[0] != '/') continue;
        if (below == "/") below = "";
        return place{root + std::string(fields[4]), std::string(below)};
    }
    return std::nullopt;
}

// A limit as the file states it; "max" and anything else unreadable is none.
// The file is a number and a line feed, read whole by one read.
std::optional<std::uint64_t> limit_in(const std::string& file) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    char text[32];
    const ssize_t n = ::read(fd, text, sizeof text);
    ::close(fd);
    std::uint64_t value;
    if (n <= 0 || text[n - 1] != '\n') return std::nullopt;
    const auto [end, error] = std::from_chars(text, text + n - 1, value);
    if (error != std::errc{} || end != text + n - 1) return std::nullopt;
    return value;
}

}  // namespace

std::optional<memory_cgroup> cgroup_memory_limit(const std::string& root) {
    const auto groups = contents(root + "/proc/self/cgroup");
    if (!groups) return std::nullopt;
    for (const auto line : split(*groups, '\n')) {
        // id:controllers:path; v2 has id 0 and no controllers.
        const auto fields = split(line, ':');
        if (fields.size() != 3) continue;
        const bool v2 = fields[0] == "0" && fields[1].empty();
        if (!v2 && !has_word(fields[1], "memory")) continue;
        const char* file = v2 ? "/memory.max" : "/memory.limit_in_bytes";
        auto where = group_place(root, fields[2], v2, file);
        if (!where) continue;
        std::optional<memory_cgroup> least;
        // The group's own limit and every one above it that is visible.
        for (auto& below = where->below;; below.resize(below.rfind('/'))) {
            const auto l = limit_in(where->point + below + file);
            if (l && (!least || *l < least->limit)) least = {*l, where->point + below, v2};
            if (below.empty()) break;
        }
        if (least) return least;
    }
    return std::nullopt;
}

std::size_t free_descriptors() {
    rlimit lim;
    if (::getrlimit(RLIMIT_NOFILE, &lim) != 0 || lim.rlim_cur == RLIM_INFINITY) return 1 << 20;
    // Past this limit the count changes nothing: even with as many left open
    // by the activator, every request of a run can hold its descriptors at
    // once. Listing them is what each connection would pay for.
    constexpr std::size_t left_open = 1024;
    if (lim.rlim_cur >= left_open + 4 * max_requests) return lim.rlim_cur - left_open;
    // Only numbers below the limit take room that an open could use. The
    // listing holds one descriptor itself, and it is among those listed.
    // With none free the listing cannot be opened, and that is the count:
    // nothing is waited for, as nothing else runs yet that could close one.
    DIR* fds = ::opendir("/proc/self/fd");
    if (!fds && out_of_descriptors(errno)) return 0;
    if (!fds) return lim.rlim_cur > 3 ? lim.rlim_cur - 3 : 0;
    std::size_t held = 0;
    while (const dirent* e = ::readdir(fds))
        if (e->d_name[0] != '.' && std::strtoull(e->d_name, nullptr, 10) < lim.rlim_cur) ++held;
    ::closedir(fds);
    return lim.rlim_cur - (held - 1);
}

std::uint64_t never_fits() {
    std::uint64_t most = std::numeric_limits<std::uint64_t>::max();
    struct sysinfo si;
    if (::sysinfo(&si) == 0) most = (std::uint64_t{si.totalram} + si.totalswap) * si.mem_unit;
    rlimit lim;
    if (::getrlimit(RLIMIT_AS, &lim) == 0 && lim.rlim_cur != RLIM_INFINITY)
        most = std::min<std::uint64_t>(most, lim.rlim_cur);
    return most;
}
