#include "server/budget.h"

bool budget::fits(std::size_t have, std::size_t n) const {
    return n == 0 || have == 0 || (n <= capacity && have <= capacity - n);
}

bool budget::fits(std::size_t n) const {
    return fits(in_use.load(), n);
}

bool budget::add_if_fits(std::size_t n) {
    auto have = in_use.load();
    while (fits(have, n))
        if (in_use.compare_exchange_weak(have, have + n)) return true;
    return false;
}

bool budget::take_now(std::size_t n) {
    return waiting.load() == 0 && add_if_fits(n);
}

void budget::enter(waiter& w) {
    waiter** at = &first;
    while (*at && (*at)->number < w.number) at = &(*at)->after;
    w.after = *at;
    *at = &w;
    // Counted before the waiter looks at what is held, so that a give that
    // it does not see sees it, and takes the lock to wake it.
    waiting.fetch_add(1);
}

bool budget::take_as_head(waiter& w) {
    return first == &w && add_if_fits(w.need);
}

void budget::leave(waiter& w) {
    waiter** at = &first;
    while (*at != &w) at = &(*at)->after;
    *at = w.after;
    waiting.fetch_sub(1);
    wake_head();  // the next one may go on now
}

void budget::wake_head() {
    if (first && fits(first->need)) first->wake.notify_one();
}

void budget::give(std::size_t n, std::mutex& lock) {
    if (n == 0) return;
    in_use.fetch_sub(n);
    if (waiting.load() == 0) return;
    const std::lock_guard hold(lock);
    wake_head();
}

void budget::give_locked(std::size_t n) {
    if (n == 0) return;
    in_use.fetch_sub(n);
    wake_head();
}
