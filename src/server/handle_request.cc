#include "server/handle_request.h"

#include <chrono>
#include <optional>

#include "handling/decide.h"
#include "handling/reader.h"
#include "sys/failure.h"

namespace {

// How long a request that holds every descriptor that requests hold waits for
// one to come back before it decides that none will: a refusal that passes (a
// descriptor held for a moment by the activator's library, an injected fault)
// then costs no answer.
constexpr std::chrono::seconds alone_wait{1};

}  // namespace

void handle_request(request_info request, std::size_t number, ledger& shared) {
    answer_request(shared, request, number);
}

void answer_request(ledger& shared, request_info& request, std::size_t number) {
    admission a(shared, number, request);
    // Before the first open, so that every open this request needs succeeds.
    a.take_descriptors();
    using clock = std::chrono::steady_clock;
    auto alone_since = clock::time_point::max();
    // True when a descriptor may still come back; false once this request
    // has held all that requests hold, and found none, for alone_wait.
    const auto may_come_back = [&] {
        const auto now = clock::now();
        if (!a.holds_every_descriptor())
            alone_since = clock::time_point::max();
        else if (alone_since == clock::time_point::max())
            alone_since = now;
        return alone_since > now || now - alone_since < alone_wait;
    };
    std::optional<reader> file;
    std::optional<outcome> result;
    // What a decision held is given back when memory is short, and it is made again.
    for (;;) {
        result.reset();
        const bool made = allocated([&] { result = decide(request, file); });
        if (made && result) break;
        // Nothing more can be answered: the service ends in this place.
        if (made && !may_come_back()) return;
        a.wait_out_shortage(made ? admission::short_of::descriptors : admission::short_of::memory);
    }
    const auto size = file->size();
    if (*result != outcome::permitted || !size) return a.answer(*result);
    // A body that could never be held is not there for the client.
    if (*size > shared.largest_body || shared.largest_body - *size < head_room ||
        *size > text().max_size() - head_room)
        return a.answer(outcome::not_found);
    text buffer;
    // No room in the group for as long as a client may stall: nothing more is answered.
    if (!a.take_body(buffer, head_room + static_cast<std::size_t>(*size))) return;
    for (;;) {
        const auto failed = file->read(buffer, head_room);
        if (!failed) return a.answer(outcome::permitted, std::move(buffer));
        if (*failed == failure::not_there) {
            release(buffer);  // its memory goes back with its room
            return a.answer(outcome::not_found);
        }
        if (!may_come_back()) return;
        a.wait_out_shortage(admission::short_of::descriptors);
    }
}
