#include "server/answer_order.h"

#include <cstdint>
#include <utility>

#include "common/fixed.h"
#include "sys/failure.h"
#include "sys/output.h"

// An answer left before its turn, with all it holds.
struct answer_order::parked {
    request_info request;           // to decide it again, once its body went back
    std::optional<outcome> result;  // nothing: the service ends here
    text buffer;                    // head_room bytes and the body, or empty
    std::size_t body = 0;           // bytes of the body's room that it holds
    bool given_back = false;        // decided again in its turn
};

answer_order::answer_order(budget& b, const budget& d, decide_again a)
    : bytes(b), descriptors(d), again(std::move(a)) {}

answer_order::~answer_order() = default;

void answer_order::unblock() {
    const bool earliest_waits = (bytes.head() && bytes.head()->number == next) ||
                                (descriptors.head() && descriptors.head()->number == next);
    // Waiting for descriptors, the earliest needs room only for whoever holds
    // them and waits for room itself: the head of the bytes line.
    if (earliest_waits && bytes.head() && give_back(bytes.head()->need)) bytes.wake_head();
}

void answer_order::give_back_all(std::size_t number) {
    if (number == next && give_back(SIZE_MAX)) bytes.wake_head();
}

bool answer_order::give_back(std::size_t need) {
    std::size_t freed = 0;
    // The latest first: they are the furthest from their turn.
    for (std::size_t at = left.size(); at-- > next + 1;) {
        if (need != SIZE_MAX && bytes.fits(need)) break;
        auto& p = left[at];
        if (!p || p->body == 0) continue;
        release(p->buffer);
        p->given_back = true;
        bytes.give_locked(std::exchange(p->body, 0));
        ++freed;
    }
    return freed > 0;
}

void answer_order::write_one(std::unique_lock<std::mutex>& hold, std::optional<outcome> result,
                             text buffer, std::size_t body) {
    if (!result) leave();
    hold.unlock();
    if (!write_out(compose(buffer, *result))) leave();  // nothing more reaches the client
    release(buffer);
    hold.lock();
    ++next;
    bytes.give_locked(body);
    unblock();  // the next may be the earliest now, and wait
}

void answer_order::write_parked(std::unique_lock<std::mutex>& hold) {
    while (next < left.size() && left[next]) {
        while (left[next]->given_back) {
            // Decided again as the earliest request: its answer fills its place.
            hold.unlock();
            again(left[next]->request, next);
            hold.lock();
        }
        const auto p = std::move(left[next]);
        write_one(hold, p->result, std::move(p->buffer), p->body);
    }
    writing = false;
}

void answer_order::hand_over(std::unique_lock<std::mutex>& hold, std::size_t number,
                             request_info& request, std::optional<outcome> result, text buffer,
                             std::size_t body) {
    if (number < left.size() && left[number]) {  // decided again, in the writer's turn
        auto& p = *left[number];
        p.result = result;
        p.buffer = std::move(buffer);
        p.body = body;
        p.given_back = false;
        return;
    }
    if (number == next && !writing) {
        writing = true;
        write_one(hold, result, std::move(buffer), body);
        return write_parked(hold);
    }
    const bool first = left.empty();
    hold.unlock();
    // Parked before its turn, with what it takes to decide it again. Where
    // memory is short even for that, its body goes back first and is read
    // again in its turn.
    std::unique_ptr<parked> p;
    std::vector<std::unique_ptr<parked>> places;
    const auto make = [&] {
        if (!p) p = std::make_unique<parked>();
        if (first && places.empty()) places.resize(max_requests);
    };
    bool given_back = false;
    if (!allocated(make)) {
        release(buffer);
        given_back = body > 0;
        hold.lock();
        bytes.give_locked(std::exchange(body, 0));
        hold.unlock();
        until_allocated(make);
    }
    *p = parked{std::move(request), result, std::move(buffer), body, given_back};
    hold.lock();
    if (left.empty()) left.swap(places);
    left[number] = std::move(p);
    if (number == next && !writing) {
        writing = true;
        return write_parked(hold);
    }
    unblock();  // the earliest may be waiting for the room this holds
}
