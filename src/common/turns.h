#pragma once
// Turns taken in the order in which the requests of a run arrived: request n
// goes once request n - 1 has passed the turn on.
#include <array>
#include <atomic>
#include <cstddef>

#include "common/fixed.h"

class turns {
public:
    turns() { open[0].store(1); }
    turns(const turns&) = delete;
    turns& operator=(const turns&) = delete;

    // Returns once it is the turn of request n (numbered from 0), sleeping until then.
    void wait(std::size_t n);

    // Ends the turn of request n, which has it, so that request n + 1 may go.
    void pass(std::size_t n);

private:
    // A flag for each request, so that passing a turn wakes the one waiter
    // that it concerns and no other.
    std::array<std::atomic<unsigned>, max_requests + 1> open{};
};
