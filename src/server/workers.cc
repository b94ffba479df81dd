#include "server/workers.h"

#include <atomic>
#include <cerrno>
#include <memory>

#include "server/handle_request.h"
#include "sys/failure.h"
#include "sys/test_builds.h"

namespace {

// A worker needs little stack: under 8 KiB measured on the deepest paths (an
// 8 KiB target, a path past PATH_MAX resolved by its canonical path, a secret
// with credentials), the thread's descriptor and TLS included. Twice that is
// quicker to start, lets the platform keep many for reuse, and is given back
// without the madvise that a larger stack costs at every exit. The sanitizers
// need more.
constexpr std::size_t first_stack = sanitized ? 1 << 20 : 16 << 10;
// Past this, a stack that is refused is not refused for its size.
constexpr std::size_t largest_stack = 8 << 20;

// Workers started and not yet done. Static storage, so it outlives any worker
// still leaving its thread while the process ends.
std::atomic<unsigned> running{0};

// What a worker is started with, and owns from then on.
struct start_record {
    request_info request;
    std::size_t number;
    ledger* shared;
};

void* run_worker(void* start) {
    {
        std::unique_ptr<start_record> record(static_cast<start_record*>(start));
        handle_request(std::move(record->request), record->number, *record->shared);
    }
    running.fetch_sub(1);
    // Wakes the loop only when it waits: for the last worker, or for a
    // refused thread to be tried again.
    running.notify_all();
    return nullptr;
}

}  // namespace

workers::workers(ledger& made, std::size_t most)
    : shared(made), most_running(most), stack(first_stack) {
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_attr_setstacksize(&attr, stack);
}

workers::~workers() {
    pthread_attr_destroy(&attr);
}

void workers::dispatch(const request_info& request) {
    // Every running worker waits only for earlier ones, so the earliest
    // always goes on, and one of them finishing lets this one start.
    for (auto now = running.load(); now >= most_running; now = running.load()) running.wait(now);
    auto start = until_allocated([&] {
        return std::make_unique<start_record>(start_record{request, dispatched, &shared});
    });
    ++dispatched;
    running.fetch_add(1);
    pthread_t thread;
    for (;;) {
        const int refused = pthread_create(&thread, &attr, run_worker, start.get());
        if (refused == 0) {
            start.release();  // the worker owns it now
            return;
        }
        // The thread's static TLS does not fit the stack we chose (large TLS
        // from a tunable or a preloaded library): our choice must not refuse it.
        if (refused == EINVAL && stack < largest_stack) {
            stack *= 2;
            pthread_attr_setstacksize(&attr, stack);
            continue;
        }
        // Out of threads or memory: one of ours finishing frees some.
        const unsigned now = running.load();
        if (refused == EINVAL || now <= 1) break;
        running.wait(now);
    }
    // No thread can start, and none of ours runs to free one: the request is
    // answered here, and the loop goes on after it.
    running.fetch_sub(1);
    handle_request(std::move(start->request), start->number, shared);
}

void workers::answer_here(const request_info& request) {
    handle_request(request_info(request), dispatched++, shared);
}

void workers::wait() {
    for (auto n = running.load(); n != 0; n = running.load()) running.wait(n);
}
