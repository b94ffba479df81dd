#pragma once
// The order in which answers leave: each is written in its request's turn.
// One ready before its turn is parked with what it holds, and written by
// whoever writes the one before it. So that the earliest unanswered request
// always gets what it needs, parked answers give their bodies back while it
// waits, and are decided again in their turn, the way the order is given.
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "common/request_info.h"
#include "common/text.h"
#include "handling/response.h"
#include "server/budget.h"

class answer_order {
public:
    // Decides request number again, in its turn, after its body went back;
    // its answer comes back through hand_over.
    using decide_again = std::function<void(request_info& request, std::size_t number)>;

    // Answers whose bodies are held in bytes; the earliest may wait on
    // descriptors too.
    answer_order(budget& bytes, const budget& descriptors, decide_again again);
    answer_order(const answer_order&) = delete;
    answer_order& operator=(const answer_order&) = delete;
    ~answer_order();

    // Leaves the answer of request number (result, and buffer holding a body
    // of body bytes of room) in its place, with lock held by hold; writes it
    // and every ready one after it when its turn has come and nobody else
    // writes. A result of nothing ends the service in that place.
    void hand_over(std::unique_lock<std::mutex>& hold, std::size_t number, request_info& request,
                   std::optional<outcome> result, text buffer, std::size_t body);

    // With the lock held: while the earliest unanswered request waits in
    // either line, parked answers give their bodies back, latest first,
    // until the head of the bytes line fits, and that head is woken.
    void unblock();

    // With the lock held: when number is the earliest unanswered request,
    // every parked answer gives its body back (memory is short for it).
    void give_back_all(std::size_t number);

private:
    struct parked;

    // Gives back the bodies of the latest parked answers until need bytes
    // fit; true when any did.
    bool give_back(std::size_t need);
    void write_one(std::unique_lock<std::mutex>& hold, std::optional<outcome> result, text buffer,
                   std::size_t body);
    void write_parked(std::unique_lock<std::mutex>& hold);

    budget& bytes;
    const budget& descriptors;
    const decide_again again;
    std::size_t next = 0;                       // the first answer not yet written
    bool writing = false;                       // a worker writes answers in order
    std::vector<std::unique_ptr<parked>> left;  // answers parked before their turn
};
