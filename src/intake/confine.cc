#include "intake/confine.h"

#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/landlock.h>
#include <linux/sched.h>
#include <linux/seccomp.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <vector>

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

// Allows rights beneath what path names (followed if it is a link); false
// when it cannot be found.
bool allow_beneath(int ruleset, const char* path, std::uint64_t rights) {
    const int fd = ::open(path, O_PATH | O_CLOEXEC);
    if (fd < 0) return false;
    landlock_path_beneath_attr rule{};
    rule.allowed_access = rights;
    rule.parent_fd = fd;
    ::syscall(SYS_landlock_add_rule, ruleset, LANDLOCK_RULE_PATH_BENEATH, &rule, 0);
    ::close(fd);
    return true;
}

// Leaves the process only reading: files and folders beneath the served
// root, and files in the folder of the password file (a folder, not the
// file itself, so that a password rotated by rename is still read). Of the
// network rights and scopes that the version knows, none is allowed.
void restrict_filesystem() {
    const long abi = ::syscall(SYS_landlock_create_ruleset, nullptr, 0,
                               LANDLOCK_CREATE_RULESET_VERSION);
    if (abi < 1) return;
    // Version n is versions[n - 1]; a newer one knows all that the newest here knows.
    const version& v = versions[std::min(abi, std::ssize(versions)) - 1];
    ruleset_attr attr{v.fs, v.net, v.scoped};
    const int ruleset = static_cast<int>(::syscall(SYS_landlock_create_ruleset, &attr, v.size, 0));
    if (ruleset < 0) return;
    // While "wwwroot" is missing, the working directory holds where it will be.
    if (!allow_beneath(ruleset, "wwwroot", fs_read_file | fs_read_dir))
        allow_beneath(ruleset, ".", fs_read_file | fs_read_dir);
    allow_beneath(ruleset, ".", fs_read_file);
    if (leak_checker) allow_beneath(ruleset, "/proc/self", fs_read_file | fs_read_dir);
    if (counts) allow_beneath(ruleset, counts, v.fs);
    // A password file that is a link is read in the folder it leads to.
    char target[PATH_MAX];
    if (::realpath("password.txt", target)) {
        *std::strrchr(target, '/') = '\0';
        allow_beneath(ruleset, *target ? target : "/", fs_read_file);
    }
    ::syscall(SYS_landlock_restrict_self, ruleset, 0);
    ::close(ruleset);
}

#if defined(__x86_64__)
constexpr std::uint32_t this_arch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
constexpr std::uint32_t this_arch = AUDIT_ARCH_AARCH64;
#endif

#ifdef SYS_fork
constexpr long legacy_forks[] = {SYS_fork, SYS_vfork};
#else
constexpr long legacy_forks[] = {};
#endif

// Calls refused whatever their arguments.
constexpr long refused_calls[] = {
    SYS_execve, SYS_execveat,
    SYS_socket, SYS_socketpair, SYS_connect, SYS_bind, SYS_listen, SYS_accept, SYS_accept4,
    SYS_process_vm_readv, SYS_process_vm_writev,
    SYS_mount, SYS_umount2, SYS_pivot_root, SYS_chroot, SYS_unshare, SYS_setns,
    SYS_fsopen, SYS_fsconfig, SYS_fsmount, SYS_move_mount, SYS_open_tree,
    SYS_setuid, SYS_setgid, SYS_setreuid, SYS_setregid, SYS_setresuid, SYS_setresgid,
    SYS_setfsuid, SYS_setfsgid, SYS_setgroups,
    SYS_tkill, SYS_pidfd_send_signal,
};

constexpr std::uint32_t allow = SECCOMP_RET_ALLOW;
constexpr std::uint32_t refuse = SECCOMP_RET_ERRNO | EPERM;

using program = std::vector<sock_filter>;

sock_filter op(std::uint16_t code, std::uint32_t k, std::uint8_t jt = 0, std::uint8_t jf = 0) {
    return {code, jt, jf, k};
}

// Adds: for call nr, when the low word of argument arg passes the test
// (equal to, or sharing a bit with, value), action yes, else no.
void decide_on_arg(program& p, long nr, int arg, std::uint16_t test, std::uint32_t value,
                   std::uint32_t yes, std::uint32_t no) {
    p.insert(p.end(), {
        op(BPF_JMP | BPF_JEQ | BPF_K, static_cast<std::uint32_t>(nr), 0, 4),
        op(BPF_LD | BPF_W | BPF_ABS, static_cast<std::uint32_t>(offsetof(seccomp_data, args) + 8 * arg)),
        op(BPF_JMP | test | BPF_K, value, 0, 1),
        op(BPF_RET | BPF_K, yes),
        op(BPF_RET | BPF_K, no),
    });
}

// Adds: for call nr, action.
void decide(program& p, long nr, std::uint32_t action) {
    p.insert(p.end(), {op(BPF_JMP | BPF_JEQ | BPF_K, static_cast<std::uint32_t>(nr), 0, 1),
                       op(BPF_RET | BPF_K, action)});
}

// Refuses, with EPERM, the calls that reach beyond serving files: new
// programs and processes, sockets, tracing, mounts, identity changes,
// signals to other processes and typing into a terminal.
void filter_calls() {
#if defined(__x86_64__) || defined(__aarch64__)
    program p = {
        op(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        // Calls of another architecture's table are all refused.
        op(BPF_JMP | BPF_JEQ | BPF_K, this_arch, 1, 0),
        op(BPF_RET | BPF_K, refuse),
        op(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
    };
#if defined(__x86_64__)
    // The x32 table lies above this bit.
    p.insert(p.end(), {op(BPF_JMP | BPF_JGE | BPF_K, 0x40000000, 0, 1), op(BPF_RET | BPF_K, refuse)});
#endif
    for (long nr : refused_calls) decide(p, nr, refuse);
    for (long nr : legacy_forks) decide(p, nr, refuse);
    // clone3's flags lie in memory that a filter cannot read: the C library
    // falls back to clone, whose flags it can.
    decide(p, SYS_clone3, SECCOMP_RET_ERRNO | ENOSYS);
    if (!leak_checker) {
        decide(p, SYS_ptrace, refuse);
        decide_on_arg(p, SYS_clone, 0, BPF_JSET, CLONE_THREAD, allow, refuse);
    }
    const auto self = static_cast<std::uint32_t>(::getpid());
    decide_on_arg(p, SYS_kill, 0, BPF_JEQ, self, allow, refuse);
    decide_on_arg(p, SYS_tgkill, 0, BPF_JEQ, self, allow, refuse);
    decide_on_arg(p, SYS_ioctl, 1, BPF_JEQ, TIOCSTI, refuse, allow);
    p.push_back(op(BPF_RET | BPF_K, allow));
    const sock_fprog prog{static_cast<unsigned short>(p.size()), p.data()};
    if (::syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, SECCOMP_FILTER_FLAG_TSYNC, &prog) != 0)
        ::syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &prog);
#endif
}

}  // namespace

void confine() {
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return;
    restrict_filesystem();
    filter_calls();
}
