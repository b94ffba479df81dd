#include "intake/workers.h"

#include <atomic>
#include <system_error>
#include <thread>

#include "handling/handle_request.h"

namespace {

// Workers started and not yet done. Static storage, so it outlives any worker
// still leaving its thread while the process ends.
std::atomic<unsigned> running{0};

void finished() {
    if (running.fetch_sub(1) == 1) running.notify_all();
}

}  // namespace

void dispatch(const request_info& request) {
    running.fetch_add(1);
    for (;;) {
        try {
            std::thread([copy = request]() mutable {
                handle_request(std::move(copy));
                finished();
            }).detach();
            return;
        } catch (const std::system_error&) {
            // Refused by the platform: the same request goes again.
        }
    }
}

void wait_for_workers() {
    for (auto n = running.load(); n != 0; n = running.load()) running.wait(n);
}
