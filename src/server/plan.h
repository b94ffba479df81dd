#pragma once
// How much memory the workers of one process may hold at once, so that one
// connection cannot take the host's memory or pass its cgroup's limit.
#include <cstddef>
#include <cstdint>
#include <optional>

// How the memory that the process may use is shared out.
struct memory_plan {
    std::size_t bodies;          // bytes of bodies read and not yet written, all workers together
    std::uint64_t largest_body;  // a body past this can never be held
    std::size_t workers;         // workers running at once
};

// The plan under a cgroup memory limit of limit bytes, or under none.
memory_plan plan_memory(std::optional<std::uint64_t> limit);
