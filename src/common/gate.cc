#include "common/gate.h"

void gate::wait_for_room(std::size_t n) {
    std::unique_lock hold(lock);
    given.wait(hold, [&] { return fits(n); });
    held += n;
}

void gate::give(std::size_t n) {
    {
        std::lock_guard hold(lock);
        held -= n;
    }
    given.notify_one();
}

bool gate::sole(std::size_t n) {
    std::lock_guard hold(lock);
    return held == n;
}
