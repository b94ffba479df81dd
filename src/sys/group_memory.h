#pragma once
// The memory of a whole cgroup: an activator runs one server per connection
// in the same group, and they all live under its one limit. So a large body
// is taken only when the group has room for it, and under a lock that every
// server of the group shares.
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "sys/limits.h"

class group_memory {
public:
    // Nothing watched: every body fits as far as the group is concerned.
    group_memory() = default;
    // Opens the group's usage and statistics files, kept for the life of the
    // process (so made before it is confined); a group whose files cannot be
    // opened is not watched.
    explicit group_memory(const memory_cgroup& group);
    group_memory(const group_memory&) = delete;
    group_memory& operator=(const group_memory&) = delete;
    ~group_memory();

    // True when the group's files are open.
    bool watched() const { return usage >= 0; }
    // The descriptors that its files hold while it is watched.
    static constexpr std::size_t descriptors = 2;

    // True when bytes more fit in the group now: what it uses, less the page
    // cache that the kernel reclaims before it kills, plus bytes and a
    // reserve for what the process itself still takes, within its limit. An
    // unreadable figure counts as room.
    bool has_room(std::uint64_t bytes) const;

    // Holds the group's lock, shared by every thread of every process that
    // watches the same group, for as long as it lives, when it could be
    // taken at once. Another process may hold it for ever (stopped, or
    // hostile), so it is never waited for here: the caller looks again.
    class lock {
    public:
        explicit lock(const group_memory& group);
        lock(const lock&) = delete;
        lock& operator=(const lock&) = delete;
        ~lock();

        // True when the lock is held (or nothing is watched).
        bool taken() const { return fd < 0 || locked; }

    private:
        // A file lock is the process's: its threads are kept apart first,
        // each for as long as it looks and takes, without waiting.
        const std::lock_guard<std::mutex> own;
        const int fd;
        bool locked = false;
    };

private:
    std::uint64_t limit = 0;
    bool v2 = false;
    int usage = -1;  // memory.current, or v1 memory.usage_in_bytes
    int stat = -1;   // memory.stat
    mutable std::mutex threads;
};
