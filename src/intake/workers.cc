#include "intake/workers.h"

#include <pthread.h>

#include <atomic>
#include <memory>

#include "handling/handle_request.h"

namespace {

// A worker needs little stack (under 9 KiB measured, most of it in path
// resolution): a small one is quicker to start, lets the platform keep many
// for reuse, and is cheaper to give back. The sanitizers need more.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr std::size_t worker_stack = 1 << 20;
#else
constexpr std::size_t worker_stack = 32 << 10;
#endif

// Workers started and not yet done. Static storage, so it outlives any worker
// still leaving its thread while the process ends.
std::atomic<unsigned> running{0};

void* run_worker(void* start) {
    {
        std::unique_ptr<request_info> request(static_cast<request_info*>(start));
        handle_request(std::move(*request));
    }
    if (running.fetch_sub(1) == 1) running.notify_all();
    return nullptr;
}

// Thread attributes of every worker: detached, with a small stack.
struct worker_attributes {
    pthread_attr_t attr;
    worker_attributes() {
        pthread_attr_init(&attr);
        pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
        pthread_attr_setstacksize(&attr, worker_stack);
    }
    ~worker_attributes() { pthread_attr_destroy(&attr); }
};

}  // namespace

void dispatch(const request_info& request) {
    static const worker_attributes workers;
    running.fetch_add(1);
    auto start = std::make_unique<request_info>(request);
    pthread_t thread;
    // Refused by the platform: the same request goes again at once.
    while (pthread_create(&thread, &workers.attr, run_worker, start.get()) != 0) {
    }
    start.release();  // the worker owns it now
}

void wait_for_workers() {
    for (auto n = running.load(); n != 0; n = running.load()) running.wait(n);
}
