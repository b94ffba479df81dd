#pragma once
// A bounded count of units (bytes of memory, descriptors) shared by workers:
// each takes what it needs before it uses it and gives it back afterwards.
#include <array>
#include <atomic>
#include <cstddef>
#include <mutex>
#include <utility>

#include "common/fixed.h"

class gate {
public:
    // A gate of units; each request takes at most most_each of them, when known.
    explicit gate(std::size_t units, std::size_t most_each = 0)
        : capacity(units), roomy(most_each != 0 && units / most_each >= max_requests) {}
    gate(const gate&) = delete;
    gate& operator=(const gate&) = delete;

    // Takes n units for request number, once every earlier request has taken
    // its own, waiting while others hold too many for them to fit. More than
    // the whole capacity is taken alone, once nobody holds any. Then calls
    // then() (what the units are for, such as allocating them) until it
    // returns true, before any later request may take. Every request takes
    // once, n may be 0. So whoever waits for room waits only for earlier
    // requests, which never wait for later ones.
    template <class Then>
    void take(std::size_t number, std::size_t n, Then then) {
        enter(number, n, {&then, [](void* f) { return (*static_cast<Then*>(f))(); }});
    }

    // Gives back n units taken before.
    void give(std::size_t n);

    // True when the n units that a caller holds are all that anyone holds.
    bool sole(std::size_t n);

private:
    struct call {
        void* what;
        bool (*run)(void*);
    };
    // A waiting request's, kept on its own thread's stack.
    struct entry {
        std::size_t n;
        call then;
    };

    void enter(std::size_t number, std::size_t n, call then);
    // Lets in, in order, every request that has come and fits, running its
    // then() for it once, and wakes each but the caller's own. A then() that
    // cannot finish now is left to its own request's thread (the caller's
    // too), which goes on from there: no thread waits on another's behalf.
    // The caller holds the lock and has set letting_in.
    void let_in(std::unique_lock<std::mutex>& hold, std::size_t own);
    // Marks request at as let in.
    void done(std::size_t at, std::size_t own);

    bool fits(std::size_t n) const {
        return n == 0 || held == 0 || (n <= capacity && held <= capacity - n);
    }

    std::mutex lock;
    const std::size_t capacity;
    // Every request of a run fits at once: nobody ever waits, so there is
    // no order to keep.
    const bool roomy;
    std::size_t held = 0;
    std::size_t next = 0;     // the first request not yet let in
    bool letting_in = false;  // a thread lets requests in
    std::array<const entry*, max_requests> waiting{};
    // 1: let in; 2: its turn, and its then() is left to it.
    std::array<std::atomic<unsigned>, max_requests> in{};
};

// Units of a gate held for as long as the share lives.
class share {
public:
    share() = default;
    template <class Then = bool (*)()>
    share(
        gate& source, std::size_t number, std::size_t units, Then then = [] { return true; })
        : from(&source), n(units) {
        source.take(number, units, then);
    }
    share(share&& other) noexcept : from(std::exchange(other.from, nullptr)), n(other.n) {}
    share& operator=(share&& other) noexcept {
        share gone(std::move(*this));
        from = std::exchange(other.from, nullptr);
        n = other.n;
        return *this;
    }
    ~share() {
        if (from && n) from->give(n);
    }

private:
    gate* from = nullptr;
    std::size_t n = 0;
};
