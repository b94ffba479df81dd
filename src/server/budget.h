#pragma once
// Units that requests hold together within a capacity (the bytes of bodies,
// or descriptors), and one line of the requests that wait for them, in
// request order: nobody takes past the head of the line, so the earliest
// request that waits is served first. Every give wakes the head when its
// need now fits; the line never wakes on a timer.
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <mutex>

class budget {
public:
    explicit budget(std::size_t units) : capacity(units) {}
    budget(const budget&) = delete;
    budget& operator=(const budget&) = delete;

    // A request in the line, on its own thread's stack.
    struct waiter {
        std::size_t number;
        std::size_t need;
        std::condition_variable wake;
        waiter* after = nullptr;
    };

    const std::size_t capacity;

    // True when n more fit now. More than the capacity fits alone, once
    // nobody holds any.
    bool fits(std::size_t n) const;

    // Takes n at once, and true, when nobody waits and they fit; takes no lock.
    bool take_now(std::size_t n);

    // The rest hold the lock that guards every line (the caller's):
    // puts w in the line by its number;
    void enter(waiter& w);
    // takes w's need, and true, when w heads the line and its need fits;
    bool take_as_head(waiter& w);
    // takes w out of the line, and wakes the new head if its need fits;
    void leave(waiter& w);
    // the head of the line, or nothing;
    const waiter* head() const { return first; }
    // wakes the head when its need fits.
    void wake_head();

    // Gives n back, and wakes the head (under lock) when its need now fits.
    void give(std::size_t n, std::mutex& lock);
    // Gives n back with lock held, waking the head when its need now fits.
    void give_locked(std::size_t n);

    // Units held now, by all.
    std::size_t held() const { return in_use.load(); }

private:
    bool fits(std::size_t have, std::size_t n) const;
    // Adds n to what is held, and true, when they fit.
    bool add_if_fits(std::size_t n);

    std::atomic<std::size_t> in_use{0};
    std::atomic<std::size_t> waiting{0};
    waiter* first = nullptr;
};
