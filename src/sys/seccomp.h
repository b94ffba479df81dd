#pragma once
// A filter on the system calls of every thread of the process (seccomp).
#include <linux/filter.h>

#include <array>
#include <cstddef>
#include <span>

#include "sys/layer.h"

// How the filter decides on a call: allow it, or look at its arguments.
enum class check { allow, thread_only, self_only, read_own_limit };

struct permitted {
    long nr;
    check how;
};

// The longest filter that filter_calls installs.
inline constexpr std::size_t most_instructions = 256;

// The instructions that permit only the calls listed (a constant array of
// permitted), and those that the test build needs, with their arguments
// checked as each says; any other call fails with ENOSYS, a refused argument
// with EPERM. Made when the server is compiled, so a start pays nothing for
// it; a list that makes no valid filter does not compile.
template <const auto& calls>
consteval auto compile_filter();

// Installs instructions made by compile_filter on every thread at once, or
// on none: a process that is only partly filtered would be a surprise to find.
// Lacking where the kernel has no filters (ENOSYS; EINVAL when it also says
// so), refused on any other failure, a thread that would stay unfiltered
// among them.
layer filter_calls(std::span<const sock_filter> code);

#include "sys/seccomp_program.h"
