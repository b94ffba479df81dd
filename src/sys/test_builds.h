#pragma once
// What the test builds need of a confined process beyond what the server
// itself does, gathered here so that the server's own policy reads without
// them: the sanitizers' runtimes and the coverage build's counts.
#include <sys/syscall.h>

#include <array>
#include <cstddef>

// The sanitizers' runtimes: shadow memory, bigger stacks.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool sanitized = true;
#else
inline constexpr bool sanitized = false;
#endif

// The sanitizers' runtimes open a pipe to learn whether memory can be read
// before they check a dynamic type or print it; without a descriptor free
// for it they report a fault that is not there.
inline constexpr std::size_t runtime_descriptors = sanitized ? 2 : 0;

// The address sanitizer's leak checker stops the world at exit: a process of
// its own, cloned without CLONE_THREAD, traces every thread it finds in /proc.
#ifdef __SANITIZE_ADDRESS__
inline constexpr bool leak_checker = true;
#else
inline constexpr bool leak_checker = false;
#endif

// The folder where the coverage build writes its counts, or none; and the
// writing of them, which a process that ends by _exit would skip.
#ifdef STDHTTPD_COVERAGE
inline constexpr const char* coverage_counts = STDHTTPD_COVERAGE;
extern "C" void __gcov_dump();
inline void write_coverage_counts() {
    __gcov_dump();
}
#else
inline constexpr const char* coverage_counts = nullptr;
inline void write_coverage_counts() {}
#endif

// The calls that the sanitizers' runtimes make besides the server's:
// alternate signal stacks, the leak checker's look at every thread from a
// traced process of its own, and a pipe to test whether memory can be read
// before it is printed.
// clang-format off
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr std::array test_build_calls = {
    long{SYS_sigaltstack}, long{SYS_getdents64}, long{SYS_ptrace}, long{SYS_getppid},
    long{SYS_lseek}, long{SYS_nanosleep}, long{SYS_wait4}, long{SYS_prctl},
    long{SYS_sched_getaffinity}, long{SYS_pipe2},
#ifdef SYS_fstat
    long{SYS_fstat},
#endif
#ifdef SYS_getdents
    long{SYS_getdents},
#endif
#ifdef SYS_open
    long{SYS_open},
#endif
};
#else
inline constexpr std::array<long, 0> test_build_calls = {};
#endif
// clang-format on
