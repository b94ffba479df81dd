#include "server/plan.h"

#include <algorithm>

#include "common/fixed.h"

namespace {

// Bodies held at once when memory is not limited: enough for any common
// page's files, and small beside a host's memory.
constexpr std::size_t most_bodies = 48 << 20;

// Under a cgroup limit, what the process needs besides bodies, as measured:
// about 1 MiB for the process itself, and about 32 KiB for each worker that
// waits (its stack, the kernel's stack and task, and its request).
constexpr std::uint64_t own_memory = 1 << 20;
constexpr std::uint64_t worker_memory = 32 << 10;

}  // namespace

memory_plan plan_memory(std::optional<std::uint64_t> limit) {
    if (!limit) return {most_bodies, UINT64_MAX, max_requests};
    // The kernel kills a process that passes the limit, rather than refusing
    // it memory, so everything is bounded in advance. Of what the process
    // itself leaves, half is for bodies (the largest one included) and a
    // quarter for workers; the last quarter is slack for what the limit also
    // counts: the page cache of files being read, socket buffers, and the
    // other connections that an activator runs in the same group (about
    // 140 KiB each).
    const std::uint64_t usable = *limit > own_memory ? *limit - own_memory : 0;
    const std::uint64_t for_bodies = usable / 2;
    return {static_cast<std::size_t>(std::min<std::uint64_t>(most_bodies, for_bodies)), for_bodies,
            static_cast<std::size_t>(
                std::clamp<std::uint64_t>(usable / 4 / worker_memory, 1, max_requests))};
}
