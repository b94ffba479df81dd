#pragma once
// What the workers of one process may hold at once, so that one connection
// cannot take the host's memory or the process's descriptors.
#include <cstddef>
#include <cstdint>
#include <optional>

#include "common/gate.h"

// How the memory that the process may use is shared out.
struct memory_plan {
    std::size_t bodies;          // bytes of bodies read and not yet written, all workers together
    std::uint64_t largest_body;  // a body past this can never be held
    std::size_t workers;         // workers running at once
};

// The plan under a cgroup memory limit of limit bytes, or under none.
memory_plan plan_memory(std::optional<std::uint64_t> limit);

// Descriptors one worker holds at most at once: the target's handle, and the
// password file's handle and content.
inline constexpr std::size_t worker_descriptors = 3;

// What every worker shares, made once by main before the first request.
struct budgets {
    gate bodies;                 // bytes of bodies read and not yet written
    gate descriptors;            // descriptors free at start, worker_descriptors each
    std::uint64_t largest_body;  // bytes one body's buffer may take at most
};
