#include "sys/confine.h"

#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/landlock.h>
#include <linux/sched.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <iterator>
#include <string>
#include <vector>

#include "common/fixed.h"

namespace {

// The leak checker of the address-sanitizing build stops the world at exit:
// a process of its own, cloned without CLONE_THREAD, traces every thread it
// finds in /proc. That build leaves those refusals out.
#ifdef __SANITIZE_ADDRESS__
constexpr bool leak_checker = true;
#else
constexpr bool leak_checker = false;
#endif
// The coverage build writes its counts beside its objects, in this folder.
#ifdef STDHTTPD_COVERAGE
constexpr const char* counts = STDHTTPD_COVERAGE;
#else
constexpr const char* counts = nullptr;
#endif

// Landlock's interface as the kernel defines it; older headers lack the
// newer rights and fields, so they are spelled out here.
struct ruleset_attr {
    std::uint64_t handled_access_fs;
    std::uint64_t handled_access_net;  // from version 4
    std::uint64_t scoped;              // from version 6
};

constexpr std::uint64_t fs_read_file = 1 << 2, fs_read_dir = 1 << 3;

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

// What became of a rule: added, nothing there to allow, or refused.
enum class rule { added, missing, failed };

// Allows rights beneath what path names (followed if it is a link). Nothing
// is waited for: before the first request, nothing else runs that could free
// what is short.
rule allow_beneath(int ruleset, const char* path, std::uint64_t rights) {
    const int fd = ::open(path, O_PATH | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT || errno == ENOTDIR || errno == EACCES ? rule::missing
                                                                      : rule::failed;
    landlock_path_beneath_attr r{};
    r.allowed_access = rights;
    r.parent_fd = fd;
    const long added = ::syscall(SYS_landlock_add_rule, ruleset, LANDLOCK_RULE_PATH_BENEATH, &r, 0);
    ::close(fd);
    return added == 0 ? rule::added : rule::failed;
}

// The folders that reading path passes through links in: the folder of every
// link on the way, and the folder of the file it ends at. Swapping any of
// those links, as a rotated secret does, leads to a file still beneath one.
std::vector<std::string> link_folders(const std::string& path) {
    std::vector<std::string> folders;
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
        char cwd[PATH_MAX];
        if (!::getcwd(cwd, sizeof cwd)) return folders;
        done = std::strcmp(cwd, "/") == 0 ? "" : cwd;
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
            char target[PATH_MAX];
            const auto n = ::readlink(next.c_str(), target, sizeof target);
            if (n <= 0 || static_cast<std::size_t>(n) >= sizeof target) break;
            folders.push_back(folder);
            if (target[0] == '/') done.clear();
            add_parts(std::string(target, static_cast<std::size_t>(n)));
            continue;
        }
        // The working directory itself has a rule of its own.
        if (rest.empty() && !(links == 0 && done == start)) folders.push_back(folder);
        done = next;
    }
    return folders;
}

// Leaves the process only reading: files and folders beneath the served
// root, files beneath the working directory (where the password file is
// created), and files beneath the folders that the password file's links
// pass through. Of the network rights and scopes that the version knows,
// none is allowed. A kernel without Landlock leaves the process as it was;
// so does a rule that cannot be added, rather than refusing the site.
void restrict_filesystem() {
    const long abi =
        ::syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
    if (abi < 1) return;
    // Version n is versions[n - 1]; a newer one knows all that the newest here knows.
    const version& v = versions[std::min(abi, std::ssize(versions)) - 1];
    ruleset_attr attr{v.fs, v.net, v.scoped};
    const int ruleset = static_cast<int>(::syscall(SYS_landlock_create_ruleset, &attr, v.size, 0));
    if (ruleset < 0) return;
    bool whole = true;
    const auto allow = [&](const char* path, std::uint64_t rights) {
        const rule r = allow_beneath(ruleset, path, rights);
        whole = whole && r != rule::failed;
        return r;
    };
    // While "wwwroot" is missing, the working directory holds where it will be.
    if (allow(root_folder, fs_read_file | fs_read_dir) == rule::missing)
        allow(".", fs_read_file | fs_read_dir);
    allow(".", fs_read_file);
    if (leak_checker) allow("/proc/self", fs_read_file | fs_read_dir);
    if (counts) allow(counts, v.fs);
    for (const auto& folder : link_folders(password_file)) allow(folder.c_str(), fs_read_file);
    if (whole) ::syscall(SYS_landlock_restrict_self, ruleset, 0);
    ::close(ruleset);
}

#if defined(__x86_64__)
constexpr std::uint32_t this_arch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
constexpr std::uint32_t this_arch = AUDIT_ARCH_AARCH64;
#endif

// How the filter decides on a call: allow it, or look at its arguments.
enum class check { allow, thread_only, self_only, read_own_limit };

struct permitted {
    long nr;
    check how;
};

// The calls that the server makes once confined, and no other: reading and
// writing its streams and files, locating and resolving files, waiting,
// threads and their memory, and the C library's own needs.
// clang-format off
constexpr permitted calls[] = {
    // Streams and files.
    {SYS_read, check::allow}, {SYS_write, check::allow}, {SYS_pread64, check::allow},
    {SYS_openat, check::allow}, {SYS_close, check::allow}, {SYS_newfstatat, check::allow},
    {SYS_getcwd, check::allow}, {SYS_faccessat2, check::allow},
    {SYS_sendto, check::allow}, {SYS_recvfrom, check::allow}, {SYS_shutdown, check::allow},
    {SYS_flock, check::allow},
#ifdef SYS_readlink
    {SYS_readlink, check::allow},
#endif
    {SYS_readlinkat, check::allow},
#ifdef SYS_poll
    {SYS_poll, check::allow},
#endif
    {SYS_ppoll, check::allow},
    // Limits and time.
    {SYS_sysinfo, check::allow}, {SYS_prlimit64, check::read_own_limit},
    {SYS_clock_nanosleep, check::allow}, {SYS_clock_gettime, check::allow},
    {SYS_gettimeofday, check::allow},
    // Threads.
    {SYS_clone, check::thread_only}, {SYS_futex, check::allow}, {SYS_sched_yield, check::allow},
    {SYS_rseq, check::allow}, {SYS_set_robust_list, check::allow}, {SYS_exit, check::allow},
    {SYS_exit_group, check::allow}, {SYS_getpid, check::allow}, {SYS_gettid, check::allow},
    // Signals, to the process itself only (abort raises one).
    {SYS_rt_sigprocmask, check::allow}, {SYS_rt_sigaction, check::allow},
    {SYS_rt_sigreturn, check::allow}, {SYS_restart_syscall, check::allow},
    {SYS_kill, check::self_only}, {SYS_tgkill, check::self_only},
    // Memory.
    {SYS_mmap, check::allow}, {SYS_mprotect, check::allow}, {SYS_munmap, check::allow},
    {SYS_brk, check::allow}, {SYS_madvise, check::allow}, {SYS_mremap, check::allow},
    {SYS_getrandom, check::allow},
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // What the sanitizers' runtimes call: alternate signal stacks, and the
    // leak checker's look at every thread from a traced process of its own.
    {SYS_sigaltstack, check::allow}, {SYS_getdents64, check::allow}, {SYS_ptrace, check::allow},
    {SYS_getppid, check::allow}, {SYS_lseek, check::allow}, {SYS_nanosleep, check::allow},
#ifdef SYS_fstat
    {SYS_fstat, check::allow},
#endif
#ifdef SYS_getdents
    {SYS_getdents, check::allow},
#endif
    {SYS_wait4, check::allow}, {SYS_prctl, check::allow}, {SYS_sched_getaffinity, check::allow},
    // A pipe to test whether memory can be read, before it is printed.
    {SYS_pipe2, check::allow},
#ifdef SYS_open
    {SYS_open, check::allow},
#endif
#endif
};
// clang-format on

constexpr std::uint32_t allow = SECCOMP_RET_ALLOW;
constexpr std::uint32_t refuse = SECCOMP_RET_ERRNO | EPERM;
// Calls on no list fail as the calls of an older kernel do, so that the C
// library falls back to one that is listed (clone3 to clone).
constexpr std::uint32_t unknown = SECCOMP_RET_ERRNO | ENOSYS;

constexpr std::uint32_t new_namespaces = CLONE_NEWNS | CLONE_NEWCGROUP | CLONE_NEWUTS |
                                         CLONE_NEWIPC | CLONE_NEWUSER | CLONE_NEWPID |
                                         CLONE_NEWNET | CLONE_NEWTIME;

using program = std::vector<sock_filter>;

sock_filter op(std::uint16_t code, std::uint32_t k, std::uint8_t jt = 0, std::uint8_t jf = 0) {
    return {code, jt, jf, k};
}

sock_filter load_arg(int arg, bool high = false) {
    return op(BPF_LD | BPF_W | BPF_ABS,
              static_cast<std::uint32_t>(offsetof(seccomp_data, args) + 8 * arg + (high ? 4 : 0)));
}

sock_filter give(std::uint32_t action) {
    return op(BPF_RET | BPF_K, action);
}

// The instructions that decide on a call whose number is known: only the
// calls that need it look at their arguments.
program decision(check how, std::uint32_t self) {
    switch (how) {
    case check::allow:
        return {give(allow)};
    case check::thread_only:
        // The leak checker's own process is cloned without CLONE_THREAD.
        if (leak_checker)
            return {load_arg(0), op(BPF_JMP | BPF_JSET | BPF_K, new_namespaces, 0, 1), give(refuse),
                    give(allow)};
        return {load_arg(0), op(BPF_JMP | BPF_JSET | BPF_K, new_namespaces, 1, 0),
                op(BPF_JMP | BPF_JSET | BPF_K, CLONE_THREAD, 1, 0), give(refuse), give(allow)};
    case check::self_only:
        return {load_arg(0), op(BPF_JMP | BPF_JEQ | BPF_K, self, 0, 1), give(allow), give(refuse)};
    case check::read_own_limit:
        // pid 0 or our own, and no new limit.
        return {load_arg(0),
                op(BPF_JMP | BPF_JEQ | BPF_K, 0, 1, 0),
                op(BPF_JMP | BPF_JEQ | BPF_K, self, 0, 4),
                load_arg(2),
                op(BPF_JMP | BPF_JEQ | BPF_K, 0, 0, 2),
                load_arg(2, true),
                op(BPF_JMP | BPF_JEQ | BPF_K, 0, 1, 0),
                give(refuse),
                give(allow)};
    }
    return {give(refuse)};
}

// Where a jump leads: one of the decisions after the search, or an instruction.
struct target {
    bool decision;
    std::size_t index;  // of the decision, or of the instruction
};

// Builds a search over regions of call numbers: region i runs from first[i]
// up to first[i + 1] and is decided by decisions[how[i]]. Each comparison
// halves the regions, so any number meets its decision in a handful of them,
// and the decisions are placed once, after the search.
class search_tree {
public:
    search_tree(program& into, const std::vector<std::uint32_t>& starts,
                const std::vector<std::size_t>& decided)
        : p(into), first(starts), how(decided) {}

    // Appends the search (of two regions or more), then the decisions, and
    // resolves every jump.
    void build(const std::vector<program>& decisions) {
        emit(0, first.size());
        std::vector<std::size_t> starts;
        for (const auto& d : decisions) {
            starts.push_back(p.size());
            p.insert(p.end(), d.begin(), d.end());
        }
        for (const auto& [at, yes, to] : jumps) {
            const std::size_t offset = (to.decision ? starts[to.index] : to.index) - at - 1;
            if (offset > 255) std::abort();  // a jump reaches 255 instructions at most
            (yes ? p[at].jt : p[at].jf) = static_cast<std::uint8_t>(offset);
        }
    }

private:
    target emit(std::size_t from, std::size_t to) {
        if (to - from == 1) return {true, how[from]};
        const std::size_t mid = (from + to) / 2;
        const std::size_t at = p.size();
        p.push_back(op(BPF_JMP | BPF_JGE | BPF_K, first[mid]));
        jumps.push_back({at, false, emit(from, mid)});
        jumps.push_back({at, true, emit(mid, to)});
        return {false, at};
    }

    struct jump {
        std::size_t at;
        bool yes;
        target to;
    };

    program& p;
    const std::vector<std::uint32_t>& first;
    const std::vector<std::size_t>& how;
    std::vector<jump> jumps;
};

// Permits only the listed calls, with their arguments checked where a call
// could reach beyond the process; any other call fails with ENOSYS.
program allowlist() {
    const auto self = static_cast<std::uint32_t>(::getpid());
    std::vector<permitted> sorted(std::begin(calls), std::end(calls));
    std::sort(sorted.begin(), sorted.end(), [](auto a, auto b) { return a.nr < b.nr; });
    // Decision 0 allows, 1 says unknown; each call with its arguments
    // checked has one of its own.
    std::vector<program> decisions = {{give(allow)}, {give(unknown)}};
    std::vector<std::uint32_t> first = {0};
    std::vector<std::size_t> how = {1};
    const auto region = [&](std::uint32_t from, std::size_t d) {
        if (first.back() == from)
            how.back() = d;
        else if (how.back() != d)
            first.push_back(from), how.push_back(d);
    };
    for (const auto& c : sorted) {
        const auto nr = static_cast<std::uint32_t>(c.nr);
        if (nr < first.back()) continue;  // listed twice
        std::size_t d = 0;
        if (c.how != check::allow) {
            d = decisions.size();
            decisions.push_back(decision(c.how, self));
        }
        region(nr, d);
        region(nr + 1, 1);
    }
    program p = {
        op(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        // Calls of another architecture's table are all refused.
        op(BPF_JMP | BPF_JEQ | BPF_K, this_arch, 1, 0),
        give(refuse),
        op(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
    };
    search_tree(p, first, how).build(decisions);
    return p;
}

// Installs the filter on every thread at once, or on none: a process that is
// only partly filtered would be a surprise to find.
void filter_calls() {
#if defined(__x86_64__) || defined(__aarch64__)
    program p = allowlist();
    const sock_fprog prog{static_cast<unsigned short>(p.size()), p.data()};
    ::syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, SECCOMP_FILTER_FLAG_TSYNC, &prog);
#endif
}

}  // namespace

void confine() {
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return;
    restrict_filesystem();
    filter_calls();
}
