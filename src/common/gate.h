#pragma once
// A bounded count of units (bytes of memory, descriptors) shared by workers:
// each takes what it needs before it uses it and gives it back afterwards.
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <utility>

class gate {
public:
    explicit gate(std::size_t units) : capacity(units) {}

    // Takes n units, waiting while others hold too many for them to fit. More
    // than the whole capacity is taken alone, once nobody holds any.
    void take(std::size_t n);

    // Gives back n units taken before.
    void give(std::size_t n);

    // True when the n units that a caller holds are all that anyone holds.
    bool sole(std::size_t n);

private:
    bool fits(std::size_t n) const { return held == 0 || (n <= capacity && held <= capacity - n); }

    std::mutex lock;
    std::condition_variable given;
    const std::size_t capacity;
    std::size_t held = 0;
};

// Units of a gate held for as long as the share lives.
class share {
public:
    share() = default;
    share(gate& source, std::size_t units) : from(&source), n(units) { source.take(units); }
    share(share&& other) noexcept : from(std::exchange(other.from, nullptr)), n(other.n) {}
    ~share() {
        if (from) from->give(n);
    }

private:
    gate* from = nullptr;
    std::size_t n = 0;
};
