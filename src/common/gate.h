#pragma once
// A bounded count of units (bytes of memory, descriptors) shared by workers:
// each takes what it needs before it uses it and gives it back afterwards.
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <utility>

#include "common/turns.h"

class gate {
public:
    explicit gate(std::size_t units) : capacity(units) {}

    // Takes n units for request number, once every earlier request has taken
    // its own, waiting while others hold too many for them to fit. More than
    // the whole capacity is taken alone, once nobody holds any. Then calls
    // then() (what the units are for, such as allocating them), before any
    // later request may take. Every request takes once, n may be 0. So
    // whoever waits for room waits only for earlier requests, which never
    // wait for later ones.
    template <class Then>
    void take(std::size_t number, std::size_t n, Then then) {
        order.wait(number);
        wait_for_room(n);
        then();
        order.pass(number);
    }

    // Gives back n units taken before.
    void give(std::size_t n);

    // True when the n units that a caller holds are all that anyone holds.
    bool sole(std::size_t n);

private:
    void wait_for_room(std::size_t n);

    bool fits(std::size_t n) const {
        return n == 0 || held == 0 || (n <= capacity && held <= capacity - n);
    }

    turns order;
    std::mutex lock;
    // Only the request whose turn it is waits here.
    std::condition_variable given;
    const std::size_t capacity;
    std::size_t held = 0;
};

// Units of a gate held for as long as the share lives.
class share {
public:
    share() = default;
    template <class Then = void (*)()>
    share(gate& source, std::size_t number, std::size_t units, Then then = [] {})
        : from(&source), n(units) {
        source.take(number, units, then);
    }
    share(share&& other) noexcept : from(std::exchange(other.from, nullptr)), n(other.n) {}
    ~share() {
        if (from && n) from->give(n);
    }

private:
    gate* from = nullptr;
    std::size_t n = 0;
};
