#pragma once
// What the workers of one process share, and the one admission through which
// each request takes its part of it: descriptors while it decides, room for
// its body, and its place in the order in which answers leave.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>

#include "common/request_info.h"
#include "common/text.h"
#include "handling/response.h"
#include "server/answer_order.h"
#include "server/budget.h"
#include "sys/group_memory.h"

// Made once by main before the first request, and handed to every worker.
class ledger {
public:
    // Bodies of at most body_bytes together, none past largest_body, each
    // large one taken only when the group has room; descriptors at most
    // descriptors together; and an answer decided again, in its turn, by again.
    using decide_again = void (*)(ledger& shared, request_info& request, std::size_t number);
    ledger(std::size_t body_bytes, std::uint64_t largest_body, const group_memory& group,
           std::size_t descriptors, decide_again again);
    ledger(const ledger&) = delete;
    ledger& operator=(const ledger&) = delete;

    // Bytes one body's buffer may take at most.
    const std::uint64_t largest_body;

private:
    friend class admission;

    // Takes n units of from for request number: at once while nobody waits
    // for them and they fit; otherwise in the order of the requests that
    // wait for them, woken by whatever lets the head of the line in.
    void take(budget& from, std::size_t n, std::size_t number);

    std::mutex lock;  // guards both lines and the order
    budget bytes, descriptors;
    answer_order order;
    const group_memory& group;
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

    // Takes n descriptors for deciding, giving back any held before, waiting
    // while others hold them. False, holding none, when n can never fit:
    // more than the process had free at start.
    bool take_descriptors(std::size_t n);

    // Takes room for n bytes and allocates buffer to that size, waiting while
    // others hold the room. False when memory, or the group's room, stayed
    // short for as long as a stalled write is waited for: then it holds
    // nothing, and nothing more is answered.
    bool take_body(text& buffer, std::size_t n);

    // What a request waits for that only the outside can end: memory that
    // the kernel refuses, or a descriptor that the process does not have
    // although it holds its share (held by the activator's library, or an
    // injected fault).
    enum class short_of { memory, descriptors };
    // Waits one look-again for it; false once it has lasted the stall limit
    // (counted from the first wait since the last success).
    bool wait_out_shortage(short_of what);
    // Counts the next shortage from its own start.
    void got_through() { short_since.reset(); }

    // The answer: the outcome and, for a body, head_room bytes and the body.
    void answer(outcome result, text buffer = {});

    ledger& shared;
    const std::size_t number;

private:
    request_info& request;
    std::size_t descriptors = 0;
    std::size_t body = 0;
    std::optional<outcome> result;  // nothing: the service ends here
    text buffer;
    std::optional<std::chrono::steady_clock::time_point> short_since;
};
