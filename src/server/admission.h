#pragma once
// What the workers of one process share, and the one admission through which
// each request takes its part of it: descriptors while it decides, room for
// its body, and its place in the order in which answers leave.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "common/fixed.h"
#include "common/request_info.h"
#include "common/text.h"
#include "handling/response.h"
#include "sys/group_memory.h"

// Made once by main before the first request, and handed to every worker.
class ledger {
public:
    // Bodies of at most body_bytes together, none past largest_body, each
    // large one taken only when the group has room; and descriptors at most
    // descriptors together.
    ledger(std::size_t body_bytes, std::uint64_t largest_body, const group_memory& group,
           std::size_t descriptors);
    ledger(const ledger&) = delete;
    ledger& operator=(const ledger&) = delete;
    ~ledger();

    // Bytes one body's buffer may take at most.
    const std::uint64_t largest_body;

private:
    friend class admission;
    struct parked;

    // A request that waits, on its own thread's stack, in its pool's list
    // by number: only the first of a list can go on, so only it is woken.
    struct waiter {
        std::size_t number;
        std::size_t need;  // bytes it waits for; every for memory, 0 for descriptors
        std::condition_variable wake;
        waiter* after = nullptr;
    };

    // Units (bytes, descriptors) held by all requests together, and the
    // requests that wait for them.
    struct pool {
        explicit pool(std::size_t units) : capacity(units) {}
        const std::size_t capacity;
        std::atomic<std::size_t> held{0};
        std::atomic<std::size_t> waiting{0};
        waiter* first = nullptr;
        // More than the capacity fits alone, once nobody holds any.
        bool fits(std::size_t have, std::size_t n) const {
            return n == 0 || have == 0 || (n <= capacity && have <= capacity - n);
        }
    };

    // Takes n units of from for request number: at once while nobody waits
    // for them and they fit; otherwise in the order of the requests that
    // wait for them, so the earliest unanswered one goes first.
    void take(pool& from, std::size_t n, std::size_t number);
    void give(pool& to, std::size_t n);
    // Waits for a change, as request number; the earliest unanswered request
    // first has every answer parked before its turn give back its body.
    void wait_once(std::unique_lock<std::mutex>& hold, waiter& w, std::chrono::milliseconds most);
    void enter_line(pool& on, waiter& w);
    void leave_line(pool& on, waiter& w);
    // Wakes the first waiter of each pool; with the lock held, or without.
    void wake_first();
    void wake_waiters();
    // Leaves the answer of request number in its place; when its turn has
    // come and nobody else writes, writes it and every one after it that is
    // ready. A result of nothing ends the service in that place.
    void hand_over(std::size_t number, request_info& request, std::optional<outcome> result,
                   text buffer, std::size_t body);
    // With the lock held and writing set: writes the answer of next, then
    // those parked after it, deciding again those whose bodies went back.
    void write_one(std::unique_lock<std::mutex>& hold, std::optional<outcome> result, text buffer,
                   std::size_t body);
    void write_parked(std::unique_lock<std::mutex>& hold);
    // Has the latest parked answers give their bodies back until need bytes
    // fit (for 0, what the first request that waits for room needs), or all
    // of them for every; true when any did.
    static constexpr std::size_t every = SIZE_MAX;
    bool give_back_parked_bodies(std::size_t need);

    std::mutex lock;
    pool bytes, descriptors;
    const group_memory& group;
    std::atomic<std::size_t> waiting{0};        // requests waiting, for either pool
    std::size_t next = 0;                       // the first answer not yet written
    bool writing = false;                       // a worker writes answers in order
    std::vector<std::unique_ptr<parked>> left;  // answers parked before their turn
};

// A request's share of the ledger and its place in the answer order, made
// before anything is decided for it. Destroying it leaves its answer in that
// place (or, when none was given, the end of the service: nothing later is
// answered) and gives back whatever it still holds, so no path can stop the
// requests after it.
class admission {
public:
    admission(ledger& shared, std::size_t number, request_info& request);
    admission(const admission&) = delete;
    admission& operator=(const admission&) = delete;
    ~admission();

    // Takes the descriptors that deciding needs, waiting while others hold them.
    void take_descriptors();
    // True when this request holds every descriptor that requests hold.
    bool holds_every_descriptor() const;

    // Takes room for n bytes and allocates buffer to that size, waiting while
    // others hold the room or memory is short. False when the group had no
    // room for it for as long as a stalled write is waited for: then it
    // holds nothing, and nothing more is answered.
    bool take_body(text& buffer, std::size_t n);

    // Waits a moment for memory, or a descriptor, to come back.
    enum class short_of { memory, descriptors };
    void wait_out_shortage(short_of what);

    // The answer: the outcome and, for a body, head_room bytes and the body.
    void answer(outcome result, text buffer = {});

    ledger& shared;
    const std::size_t number;

private:
    request_info& request;
    bool descriptors = false;
    std::size_t body = 0;
    std::optional<outcome> result;  // nothing: the service ends here
    text buffer;
};

// The descriptors a request holds at most at once while it decides: the
// target's handle, and the password file's handle and content.
inline constexpr std::size_t request_descriptors = 3;
