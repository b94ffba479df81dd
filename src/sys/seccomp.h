#pragma once
// A filter on the system calls of every thread of the process (seccomp).
#include <span>

// How the filter decides on a call: allow it, or look at its arguments.
enum class check { allow, thread_only, self_only, read_own_limit };

struct permitted {
    long nr;
    check how;
};

// Permits only the calls listed, and those that the test build needs, with
// their arguments checked as each says; any other call fails with ENOSYS, a
// refused argument with EPERM. Installed on every thread at once, or on
// none: a process that is only partly filtered would be a surprise to find.
void filter_calls(std::span<const permitted> calls);
