#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>

#include "common/fixed.h"
#include "handling/allowed.h"
#include "intake/input.h"
#include "intake/parse_request.h"
#include "server/admission.h"
#include "server/handle_request.h"
#include "server/plan.h"
#include "server/workers.h"
#include "sys/confine.h"
#include "sys/group_memory.h"
#include "sys/limits.h"
#include "sys/output.h"
#include "sys/stream.h"
#include "sys/test_builds.h"

namespace {

// What a client may still send once every answer is written: read and thrown
// away so that closing the socket does not reset the connection and cut the
// answers that its kernel has not yet handed to the client.
constexpr std::size_t linger_bytes = 1 << 20;
constexpr std::chrono::seconds linger_time{2};

// Puts /dev/null on a closed standard descriptor, so that no file opened later
// takes its number and receives answers or is read as requests.
void keep_standard_streams() {
    pollfd fds[] = {{0, 0, 0}, {1, 0, 0}, {2, 0, 0}};
    if (::poll(fds, 3, 0) <= 0) return;
    for (const auto& f : fds)
        if (f.revents & POLLNVAL) ::open("/dev/null", O_RDWR);  // takes the lowest free number
}

// Lets many workers hold their descriptors at once: the usual soft limit of
// 1024 is less than a thousand workers could use.
void raise_descriptor_limit() {
    rlimit lim;
    if (::getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
        lim.rlim_cur = lim.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &lim);
    }
}

// Ends the connection without a reset: tells the client that no more is
// coming, then takes what it still sends, within bounds.
void close_gently(input& in) {
    if (!is_socket(1) || ::shutdown(1, SHUT_WR) != 0) return;
    in.drain(linger_bytes, linger_time);
}

}  // namespace

// Serves up to max_requests requests from standard input, one worker each
// (the last one, once input has ended, on this thread), and ends with status
// 0 once every response has been written; with confinement_refused, having
// read nothing, when the kernel would not confine it.
int main() {
    keep_standard_streams();
    // A reader that went away makes a write fail, which ends the process quietly.
    std::signal(SIGPIPE, SIG_IGN);
    raise_descriptor_limit();
    // Bodies are freed as soon as they are written. A fixed threshold gives
    // every large one back to the system then; a moving one would keep them
    // in the heap, and memory would grow past the bodies' budget. One heap
    // for all workers spares each new thread the set-up of an arena of its own
    // (a connection's first request pays for it), and workers hold the heap's
    // lock only for their small texts.
    ::mallopt(M_MMAP_THRESHOLD, 128 << 10);
    ::mallopt(M_ARENA_MAX, 1);
    // Read now, while /proc and /sys are still open to the process, and the
    // descriptors counted while only what the process was given is open. A
    // body is held within the plan, and below what no allocation can hold.
    const auto cgroup = cgroup_memory_limit();
    const memory_plan plan = plan_memory(cgroup ? std::optional(cgroup->limit) : std::nullopt);
    const std::uint64_t most = never_fits();
    // A group is watched where its limit is one (v1 writes "none" as a
    // number past any host's memory), and where its files still leave a
    // request all that it may hold at once: watching never costs an answer,
    // and the plan above bounds the bodies either way.
    const std::size_t counted = free_descriptors();
    const std::size_t free = counted - std::min(counted, runtime_descriptors);
    const group_memory group =
        cgroup && cgroup->limit < most && free >= group_memory::descriptors + guarded_descriptors
            ? group_memory(*cgroup)
            : group_memory();
    ledger shared(plan.bodies, std::min(plan.largest_body, most - 1), group,
                  free - (group.watched() ? group_memory::descriptors : 0), answer_request);
    // Before the first request, so that every worker starts confined; a
    // process that the kernel would not confine reads no request.
    if (confine() == layer::refused) leave(confinement_refused);
    input in(0);
    {
        workers pool(shared, plan.workers);
        for (std::size_t left = max_requests; left > 0; --left) {
            in.start_block();
            auto request = parse_request(in);
            if (!request) break;
            if (in.over())
                pool.answer_here(*request);
            else
                pool.dispatch(*request);
        }
        pool.wait();
    }
    close_gently(in);
    return 0;
}
