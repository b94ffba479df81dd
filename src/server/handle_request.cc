#include "server/handle_request.h"

#include <optional>
#include <variant>

#include "handling/decide.h"
#include "handling/reader.h"
#include "sys/failure.h"

void handle_request(request_info request, std::size_t number, ledger& shared) {
    answer_request(shared, request, number);
}

void answer_request(ledger& shared, request_info& request, std::size_t number) {
    admission a(shared, number, request);
    // Before the first open, so that every open this request needs succeeds.
    // More than the process has can never come: the service ends here.
    std::size_t held = plain_descriptors;
    if (!a.take_descriptors(held)) return;
    std::optional<reader> file;
    std::optional<decision> decided;
    // What a decision held is given back when memory is short, and it is made again.
    for (;;) {
        decided.reset();
        const bool made = allocated([&] { decided = decide(request, file, held); });
        if (made && std::holds_alternative<outcome>(*decided)) break;
        if (made && std::get<undecided>(*decided) == undecided::needs_guarded) {
            file.reset();
            held = guarded_descriptors;
            if (!a.take_descriptors(held)) return;
            continue;
        }
        // Memory or a descriptor refused from outside, for as long as a
        // stalled write is waited for: nothing more is answered.
        if (!a.wait_out_shortage(made ? admission::short_of::descriptors
                                      : admission::short_of::memory))
            return;
    }
    a.got_through();
    const outcome result = std::get<outcome>(*decided);
    const auto size = file->size();
    if (result != outcome::permitted || !size) return a.answer(result);
    // A body that could never be held is not there for the client.
    if (*size > shared.largest_body || shared.largest_body - *size < head_room ||
        *size > text().max_size() - head_room)
        return a.answer(outcome::not_found);
    text buffer;
    if (!a.take_body(buffer, head_room + static_cast<std::size_t>(*size))) return;
    for (;;) {
        const auto failed = file->read(buffer, head_room);
        if (!failed) return a.answer(outcome::permitted, std::move(buffer));
        if (*failed == failure::not_there) {
            release(buffer);  // its memory goes back with its room
            return a.answer(outcome::not_found);
        }
        if (!a.wait_out_shortage(admission::short_of::descriptors)) return;
    }
}
