#pragma once
// What the host lets the process hold: descriptors, address space, memory.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

// Descriptors the process may still open: its limit less those it holds,
// the standard streams and whatever the activator left open.
std::size_t free_descriptors();

// Bytes that no allocation can ever hold: as much as the address space the
// process may have, or as memory and swap together.
std::uint64_t never_fits();

// The memory cgroup whose limit binds the process: the smallest of its own
// group's and those above it (v2 memory.max, v1 memory.limit_in_bytes), and
// the folder of that group's files.
struct memory_cgroup {
    std::uint64_t limit;
    std::string folder;
    bool v2;
};

// Returns the group that binds the process, or nothing when no limit is set
// or none can be read. The kernel enforces the limit by killing, not by
// refusing pages, so the server must stay below it by itself. Reads /proc
// and /sys below root (the system's root unless a test gives a folder of its
// own), so it is called before the process is confined.
std::optional<memory_cgroup> cgroup_memory_limit(const std::string& root = "");
