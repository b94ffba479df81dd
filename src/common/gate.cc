#include "common/gate.h"

void gate::take(std::size_t n) {
    std::unique_lock hold(lock);
    given.wait(hold, [&] { return fits(n); });
    held += n;
    // Wakes one waiter at a time instead of all of them: whoever gets in passes
    // the turn on while room is left, so a thousand waiters are not all woken
    // for every unit given back.
    if (held < capacity) given.notify_one();
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
