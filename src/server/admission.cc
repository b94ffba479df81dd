#include "server/admission.h"

#include "server/handle_request.h"
#include "sys/failure.h"
#include "sys/output.h"

namespace {

// How long a request that waits for units sleeps before it looks again
// unwoken. Every change that could let it in wakes it; this only bounds the
// cost of a wake-up that a future change forgets.
constexpr std::chrono::milliseconds look_again{1000};

// Bodies from this size on are taken only when the whole group has room.
constexpr std::size_t group_checked = 256 << 10;

}  // namespace

// An answer left before its turn, with all it holds.
struct ledger::parked {
    request_info request;           // to decide it again, once its body went back
    std::optional<outcome> result;  // nothing: the service ends here
    text buffer;                    // head_room bytes and the body, or empty
    std::size_t body = 0;           // bytes of the body's room that it holds
    bool given_back = false;        // decided again in its turn
};

ledger::ledger(std::size_t body_bytes, std::uint64_t largest, const group_memory& watched,
               std::size_t descriptor_count)
    : largest_body(largest), bytes(body_bytes), descriptors(descriptor_count), group(watched) {}

ledger::~ledger() = default;

void ledger::take(pool& from, std::size_t n, std::size_t number) {
    if (from.waiting.load() == 0) {
        auto have = from.held.load();
        while (from.fits(have, n))
            if (from.held.compare_exchange_weak(have, have + n)) return;
    }
    std::unique_lock hold(lock);
    waiter me{number, &from == &bytes ? n : 0, {}};
    enter_line(from, me);
    for (;;) {
        auto have = from.held.load();
        if (from.first == &me && from.fits(have, n) &&
            from.held.compare_exchange_strong(have, have + n))
            break;
        wait_once(hold, me, look_again);
    }
    leave_line(from, me);
}

void ledger::give(pool& to, std::size_t n) {
    if (n == 0) return;
    to.held.fetch_sub(n);
    wake_waiters();
}

void ledger::wake_waiters() {
    if (waiting.load() == 0) return;
    std::lock_guard hold(lock);
    wake_first();
}

void ledger::wake_first() {
    for (pool* p : {&bytes, &descriptors})
        if (p->first) p->first->wake.notify_one();
}

void ledger::enter_line(pool& on, waiter& w) {
    waiter** at = &on.first;
    while (*at && (*at)->number < w.number) at = &(*at)->after;
    w.after = *at;
    *at = &w;
    on.waiting.fetch_add(1);
    waiting.fetch_add(1);
}

void ledger::leave_line(pool& on, waiter& w) {
    waiter** at = &on.first;
    while (*at != &w) at = &(*at)->after;
    *at = w.after;
    on.waiting.fetch_sub(1);
    waiting.fetch_sub(1);
    if (on.first) on.first->wake.notify_one();  // the next one may go on now
}

void ledger::wait_once(std::unique_lock<std::mutex>& hold, waiter& w,
                       std::chrono::milliseconds most) {
    // The earliest unanswered request always gets what it needs: answers
    // parked ahead of it give their bodies back, and are read again in turn.
    if (w.number == next && give_back_parked_bodies(w.need)) return;
    w.wake.wait_for(hold, most);
}

bool ledger::give_back_parked_bodies(std::size_t need) {
    // Waiting for descriptors, it needs room only for whoever holds them and
    // waits for room itself.
    if (need == 0 && bytes.first) need = bytes.first->need;
    if (need == 0) return false;
    std::size_t freed = 0;
    // The latest first: they are the furthest from their turn.
    for (std::size_t at = left.size(); at-- > next + 1;) {
        if (need != every && bytes.fits(bytes.held.load() - freed, need)) break;
        auto& p = left[at];
        if (!p || p->body == 0) continue;
        release(p->buffer);
        freed += std::exchange(p->body, 0);
        p->given_back = true;
    }
    bytes.held.fetch_sub(freed);
    return freed > 0;
}

void ledger::write_one(std::unique_lock<std::mutex>& hold, std::optional<outcome> result,
                       text buffer, std::size_t body) {
    if (!result) leave();
    hold.unlock();
    if (!write_out(compose(buffer, *result))) leave();  // nothing more reaches the client
    release(buffer);
    give(bytes, body);
    hold.lock();
    ++next;
    if (waiting.load() > 0) wake_first();  // a waiter may be the earliest now
}

void ledger::write_parked(std::unique_lock<std::mutex>& hold) {
    while (next < left.size() && left[next]) {
        while (left[next]->given_back) {
            // Decided again as the earliest request: its admission fills its place.
            hold.unlock();
            answer_request(*this, left[next]->request, next);
            hold.lock();
        }
        const auto p = std::move(left[next]);
        write_one(hold, p->result, std::move(p->buffer), p->body);
    }
    writing = false;
}

void ledger::hand_over(std::size_t number, request_info& request, std::optional<outcome> result,
                       text buffer, std::size_t body) {
    std::unique_lock hold(lock);
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
        give(bytes, std::exchange(body, 0));
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
    if (waiting.load() > 0) wake_first();  // the earliest may want its body
}

admission::admission(ledger& l, std::size_t n, request_info& r)
    : shared(l), number(n), request(r) {}

admission::~admission() {
    if (descriptors) shared.give(shared.descriptors, request_descriptors);
    shared.hand_over(number, request, result, std::move(buffer), body);
}

void admission::take_descriptors() {
    shared.take(shared.descriptors, request_descriptors, number);
    descriptors = true;
}

bool admission::holds_every_descriptor() const {
    return shared.descriptors.held.load() == request_descriptors;
}

bool admission::take_body(text& out, std::size_t n) {
    // Small bodies never wait on the other servers of the group.
    const bool whole_group = n >= group_checked && shared.group.watched();
    const auto since = std::chrono::steady_clock::now();
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
            room = shared.group.has_room(n);
            if (room) out.assign(n, '\0');
        });
        if (made && room) break;
        shared.give(shared.bytes, n);
        if (std::chrono::steady_clock::now() - since >= stall_limit) return false;
        wait_out_shortage(short_of::memory);
    }
    body = n;
    return true;
}

void admission::wait_out_shortage(short_of what) {
    auto& on = what == short_of::memory ? shared.bytes : shared.descriptors;
    std::unique_lock hold(shared.lock);
    // Short of memory, every parked body may help; short of descriptors,
    // only room for whoever holds them, as for any descriptor wait.
    ledger::waiter me{number, what == short_of::memory ? ledger::every : 0, {}};
    shared.enter_line(on, me);
    shared.wait_once(hold, me, std::chrono::milliseconds(1));
    shared.leave_line(on, me);
}

void admission::answer(outcome decided, text out) {
    result = decided;
    buffer = std::move(out);
    // Room for a body that is not sent goes back at once.
    if (buffer.empty()) shared.give(shared.bytes, std::exchange(body, 0));
}
