#include "sys/landlock.h"

#include <fcntl.h>
#include <linux/landlock.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <iterator>
#include <memory>

#include "sys/failure.h"

namespace {

// Landlock's interface as the kernel defines it; older headers lack the
// newer rights and fields, so they are spelled out here.
struct ruleset_attr {
    std::uint64_t handled_access_fs;
    std::uint64_t handled_access_net;  // from version 4
    std::uint64_t scoped;              // from version 6
};

// What each version handles, and so how much of the attribute it reads.
struct version {
    std::uint64_t fs, net, scoped;
    std::size_t size;
};
constexpr std::size_t v1_size = offsetof(ruleset_attr, handled_access_net);
constexpr std::size_t v4_size = offsetof(ruleset_attr, scoped);
// Filesystem rights: version 1 knows bits 0 to 12, 2 adds linking across
// folders, 3 truncation, 5 device ioctls. Network: 4 adds TCP binding and
// connecting. Scopes: 6 adds abstract sockets and signals.
constexpr version versions[] = {
    {0x1fff, 0, 0, v1_size}, {0x3fff, 0, 0, v1_size}, {0x7fff, 0, 0, v1_size},
    {0x7fff, 3, 0, v4_size}, {0xffff, 3, 0, v4_size}, {0xffff, 3, 3, sizeof(ruleset_attr)},
};

long create(const version& v) {
    ruleset_attr attr{v.fs, v.net, v.scoped};
    return at_start([&] { return ::syscall(SYS_landlock_create_ruleset, &attr, v.size, 0); });
}

// True when errno says the kernel has no Landlock: not built, or not enabled.
bool lacking_landlock() {
    return errno == ENOSYS || errno == EOPNOTSUPP;
}

}  // namespace

landlock::landlock() {
    // A kernel as new as the newest version here takes its rules at once;
    // an older one refuses them (EINVAL, E2BIG), and says which version it has.
    const version& newest = versions[std::size(versions) - 1];
    long made = create(newest);
    known = newest.fs;
    if (made < 0 && (errno == EINVAL || errno == E2BIG)) {
        const long abi = at_start([] {
            return ::syscall(SYS_landlock_create_ruleset, nullptr, 0,
                             LANDLOCK_CREATE_RULESET_VERSION);
        });
        if (abi < 1) {
            now = abi == 0 || lacking_landlock() ? layer::lacking : layer::refused;
            return;
        }
        // Version n is versions[n - 1].
        const version& v = versions[std::min(abi, std::ssize(versions)) - 1];
        made = create(v);
        known = v.fs;
    }
    if (made < 0) {
        now = lacking_landlock() ? layer::lacking : layer::refused;
        return;
    }
    ruleset = static_cast<int>(made);
}

landlock::~landlock() {
    if (ruleset >= 0) ::close(ruleset);
}

rule landlock::allow(const char* path, std::uint64_t rights) {
    if (now != layer::in_force) return rule::refused;
    const long fd = at_start([&] { return ::open(path, O_PATH | O_CLOEXEC); });
    if (fd < 0) {
        if (errno == ENOENT || errno == ENOTDIR || errno == EACCES || errno == ELOOP)
            return rule::missing;
        now = layer::refused;
        return rule::refused;
    }
    landlock_path_beneath_attr r{};
    r.allowed_access = rights & known;
    r.parent_fd = static_cast<int>(fd);
    const long added = at_start([&] {
        return ::syscall(SYS_landlock_add_rule, ruleset, LANDLOCK_RULE_PATH_BENEATH, &r, 0);
    });
    ::close(static_cast<int>(fd));
    if (added != 0) now = layer::refused;
    return added == 0 ? rule::added : rule::refused;
}

layer landlock::enforce() {
    if (now != layer::in_force) return now;
    if (at_start([&] { return ::syscall(SYS_landlock_restrict_self, ruleset, 0); }) != 0)
        now = layer::refused;
    return now;
}

std::vector<std::string> link_folders(const std::string& path) {
    std::vector<std::string> folders;
    // A name in the working directory that is no link passes through none,
    // and the working directory has a rule of its own: one look settles it.
    struct stat own;
    if (path.find('/') == std::string::npos &&
        (::lstat(path.c_str(), &own) != 0 || !S_ISLNK(own.st_mode)))
        return folders;
    std::deque<std::string> rest;
    const auto add_parts = [&rest](const std::string& p) {
        std::deque<std::string> parts;
        for (std::size_t at = 0; at <= p.size();) {
            const auto end = std::min(p.find('/', at), p.size());
            if (end > at) parts.push_back(p.substr(at, end - at));
            at = end + 1;
        }
        rest.insert(rest.begin(), parts.begin(), parts.end());
    };
    std::string done;  // resolved so far, with no link in it
    if (!path.starts_with('/')) {
        // Made to the name's length, on the heap: a buffer of the longest
        // name on the stack would touch a page that the process then holds.
        const std::unique_ptr<char, decltype(&std::free)> cwd(::getcwd(nullptr, 0), &std::free);
        if (!cwd) return folders;
        done = std::strcmp(cwd.get(), "/") == 0 ? "" : cwd.get();
    }
    const std::string start = done;
    add_parts(path);
    for (int links = 0; !rest.empty();) {
        const std::string name = rest.front();
        rest.pop_front();
        if (name == ".") continue;
        if (name == "..") {
            done.resize(done.rfind('/') == std::string::npos ? 0 : done.rfind('/'));
            continue;
        }
        const std::string next = done + "/" + name;
        struct stat st;
        if (::lstat(next.c_str(), &st) != 0) break;
        const std::string folder = done.empty() ? "/" : done;
        if (S_ISLNK(st.st_mode)) {
            if (++links > 40) break;
            // A link's size is its target's length; the kernel's own links may give 0.
            std::string target(st.st_size > 0 ? static_cast<std::size_t>(st.st_size) + 1 : PATH_MAX,
                               '\0');
            const auto n = ::readlink(next.c_str(), target.data(), target.size());
            if (n <= 0 || static_cast<std::size_t>(n) >= target.size()) break;
            target.resize(static_cast<std::size_t>(n));
            folders.push_back(folder);
            if (target[0] == '/') done.clear();
            add_parts(target);
            continue;
        }
        // The working directory itself has a rule of its own.
        if (rest.empty() && !(links == 0 && done == start)) folders.push_back(folder);
        done = next;
    }
    return folders;
}
