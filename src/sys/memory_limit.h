#pragma once
// The memory limit that the kernel enforces on the process's control group:
// past it, pages are not refused but the process is killed, so the server
// must stay below it by itself.
#include <cstdint>
#include <optional>

// Returns the smallest memory limit of the process's cgroup and of those
// above it (v2 memory.max, v1 memory.limit_in_bytes), or nothing when none
// is set or none can be read. Reads /proc and /sys, so it is called before
// the process is confined.
std::optional<std::uint64_t> cgroup_memory_limit();
