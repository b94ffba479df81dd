#include "handling/answers.h"

#include <array>
#include <atomic>
#include <memory>
#include <mutex>

#include "common/fixed.h"
#include "sys/failure.h"
#include "sys/output.h"

namespace {

// Answers ready to be written, each in its request's place. Whoever writes
// an answer goes on with those ready after it, so that no worker waits for
// its turn and none has to be woken for it.
struct place {
    answer reply;
    bool ends;  // the service ends here
};

struct queue {
    std::mutex lock;
    std::size_t next = 0;  // the first answer not yet written
    // Answers left before their turn, with all they hold.
    std::array<std::unique_ptr<place>, max_requests> left{};
};

queue& answers() {
    static queue q;
    return q;
}

// Writes one answer in its turn, and frees it; the caller holds the lock.
void write_one(queue& q, std::unique_lock<std::mutex>& hold, answer reply, bool ends) {
    if (ends) leave();
    hold.unlock();
    if (!write_out(compose(reply.buffer, reply.result)))
        leave();  // nothing more can reach the client
    // Its memory and its share of the budget go back at once.
    { const answer done = std::move(reply); }
    hold.lock();
    ++q.next;
}

// Writes the answer of request number, and those left after it, once its
// turn has come; before, leaves it in its place. An answer written in its
// turn allocates nothing.
void enqueue(std::size_t number, answer reply, bool ends) {
    queue& q = answers();
    std::unique_lock hold(q.lock);
    if (q.next != number) {
        hold.unlock();
        auto p = until_allocated([&] {
            return std::unique_ptr<place>(new place{std::move(reply), ends});
        });
        hold.lock();
        if (q.next != number) {
            q.left[number] = std::move(p);
            return;
        }
        reply = std::move(p->reply);
    }
    write_one(q, hold, std::move(reply), ends);
    while (q.next < max_requests && q.left[q.next]) {
        const auto p = std::move(q.left[q.next]);
        write_one(q, hold, std::move(p->reply), p->ends);
    }
}

}  // namespace

void send(answer reply, std::size_t number) {
    enqueue(number, std::move(reply), false);
}

void end_service(std::size_t number) {
    enqueue(number, {}, true);
    // Whoever writes up to this place ends the process there.
    std::atomic<unsigned> never{0};
    for (;;) never.wait(0);
}
