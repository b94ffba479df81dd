#include "server/admission.h"

#include <chrono>
#include <utility>

#include "common/fixed.h"
#include "sys/failure.h"

namespace {

// Bodies from this size on are taken only when the whole group has room.
constexpr std::size_t group_checked = 256 << 10;

}  // namespace

ledger::ledger(std::size_t body_bytes, std::uint64_t largest, const group_memory& watched,
               std::size_t descriptor_count, decide_again again)
    : largest_body(largest),
      bytes(body_bytes),
      descriptors(descriptor_count),
      order(bytes, descriptors,
            [this, again](request_info& request, std::size_t number) {
                again(*this, request, number);
            }),
      group(watched) {}

void ledger::take(budget& from, std::size_t n, std::size_t number) {
    if (from.take_now(n)) return;
    std::unique_lock hold(lock);
    budget::waiter me{number, n, {}, nullptr};
    from.enter(me);
    while (!from.take_as_head(me)) {
        // The earliest unanswered request always gets what it needs: answers
        // parked ahead of it give their bodies back, and are read again in turn.
        order.unblock();
        if (from.take_as_head(me)) break;
        me.wake.wait(hold);
    }
    from.leave(me);
}

admission::admission(ledger& l, std::size_t n, request_info& r)
    : shared(l), number(n), request(r) {}

admission::~admission() {
    shared.descriptors.give(descriptors, shared.lock);
    std::unique_lock hold(shared.lock);
    shared.order.hand_over(hold, number, request, result, std::move(buffer), body);
}

bool admission::take_descriptors(std::size_t n) {
    shared.descriptors.give(std::exchange(descriptors, 0), shared.lock);
    if (n > shared.descriptors.capacity) return false;
    shared.take(shared.descriptors, n, number);
    descriptors = n;
    return true;
}

bool admission::take_body(text& out, std::size_t n) {
    // Small bodies never wait on the other servers of the group.
    const bool whole_group = n >= group_checked && shared.group.watched();
    for (;;) {
        shared.take(shared.bytes, n, number);
        bool room = true;
        const bool made = allocated([&] {
            if (!whole_group) {
                out.assign(n, '\0');
                return;
            }
            // The group's figure counts the body once its pages are touched,
            // which filling it does, before the next server looks.
            const group_memory::lock held(shared.group);
            room = held.taken() && shared.group.has_room(n);
            if (room) out.assign(n, '\0');
        });
        if (made && room) break;
        shared.bytes.give(n, shared.lock);
        if (!wait_out_shortage(short_of::memory)) return false;
    }
    got_through();
    body = n;
    return true;
}

bool admission::wait_out_shortage(short_of what) {
    const auto now = std::chrono::steady_clock::now();
    if (!short_since) short_since = now;
    if (now - *short_since >= stall_limit) return false;
    if (what == short_of::memory) {
        // Memory held by answers parked ahead of the earliest request would
        // never come back otherwise.
        const std::lock_guard hold(shared.lock);
        shared.order.give_back_all(number);
    }
    pause_briefly();
    return true;
}

void admission::answer(outcome decided, text out) {
    result = decided;
    buffer = std::move(out);
    // Room for a body that is not sent goes back at once.
    if (buffer.empty()) shared.bytes.give(std::exchange(body, 0), shared.lock);
}
