#include "sys/confine.h"

#include <sys/prctl.h>
#include <sys/syscall.h>

#include "common/fixed.h"
#include "sys/failure.h"
#include "sys/landlock.h"
#include "sys/seccomp.h"
#include "sys/test_builds.h"

namespace {

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
};
// clang-format on

constexpr auto filter = compile_filter<calls>();

// Only reading: files and folders beneath the served root, files beneath
// the working directory (where the password file is created), and files
// beneath the folders that the password file's links pass through.
layer fence_files() {
    landlock fence;
    if (fence.state() != layer::in_force) return fence.state();
    // While "wwwroot" is missing, the working directory holds where it will be.
    if (fence.allow(root_folder, read_files | read_folders) == rule::missing)
        fence.allow(".", read_files | read_folders);
    fence.allow(".", read_files);
    for (const auto& folder : link_folders(password_file)) fence.allow(folder.c_str(), read_files);
    if (leak_checker) fence.allow("/proc/self", read_files | read_folders);
    if (coverage_counts) fence.allow(coverage_counts, every_right);
    return fence.enforce();
}

}  // namespace

layer confine() {
    if (at_start([] { return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0); }) != 0)
        // A kernel without it (EINVAL) has neither of the other layers.
        return errno == EINVAL || errno == ENOSYS ? layer::lacking : layer::refused;
    const layer files = fence_files();
    if (files == layer::refused) return layer::refused;
    const layer calls = filter_calls(filter);
    if (calls == layer::refused) return layer::refused;
    return files == layer::in_force && calls == layer::in_force ? layer::in_force : layer::lacking;
}
