#include "common/gate.h"

#include "sys/failure.h"

namespace {

// Runs then until it has done what it is for, pausing while it cannot.
template <class Call>
void finish(Call then) {
    while (!then.run(then.what)) pause_briefly();
}

}  // namespace

void gate::enter(std::size_t number, std::size_t n, call then) {
    if (roomy) {
        {
            std::lock_guard hold(lock);
            held += n;
        }
        return finish(then);
    }
    const entry mine{n, then};
    std::unique_lock hold(lock);
    waiting[number] = &mine;
    if (!letting_in) {
        letting_in = true;
        let_in(hold, number);
    }
    hold.unlock();
    for (unsigned state; (state = in[number].load(std::memory_order_acquire)) != 1;) {
        if (state == 2) {
            finish(then);
            hold.lock();
            done(number, number);
            let_in(hold, number);
            return;
        }
        in[number].wait(state, std::memory_order_acquire);
    }
}

void gate::let_in(std::unique_lock<std::mutex>& hold, std::size_t own) {
    while (next < max_requests && waiting[next] && fits(waiting[next]->n)) {
        const std::size_t at = next;
        const entry e = *waiting[at];
        held += e.n;
        hold.unlock();
        const bool finished = e.then.run(e.then.what);
        hold.lock();
        if (!finished) {
            in[at].store(2, std::memory_order_release);
            if (at != own) in[at].notify_one();
            return;  // still letting in: that request's thread goes on
        }
        done(at, own);
    }
    letting_in = false;
}

void gate::done(std::size_t at, std::size_t own) {
    waiting[at] = nullptr;
    ++next;
    in[at].store(1, std::memory_order_release);
    if (at != own) in[at].notify_one();
}

void gate::give(std::size_t n) {
    std::unique_lock hold(lock);
    held -= n;
    if (!letting_in) {
        letting_in = true;
        let_in(hold, max_requests);
    }
}

bool gate::sole(std::size_t n) {
    std::lock_guard hold(lock);
    return held == n;
}
