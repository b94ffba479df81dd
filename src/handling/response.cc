#include "handling/response.h"

#include <unistd.h>

#include <array>
#include <atomic>
#include <charconv>
#include <cstring>
#include <memory>
#include <mutex>

#include "common/fixed.h"
#include "sys/failure.h"
#include "sys/stream.h"

namespace {

// The texts joined at compile time, so no answer allocates to be written.
template <std::size_t... n>
constexpr auto join(const char (&... parts)[n]) {
    std::array<char, (n + ...) - sizeof...(n)> out{};
    std::size_t at = 0;
    for (std::string_view part : {std::string_view(parts, n - 1)...})
        for (char c : part) out[at++] = c;
    return out;
}

constexpr char not_found_line[] =
    "HTTP/1.1 404 I lost that long ago, or maybe I never had it, in any case it's not there "
    "now.\r\n";
constexpr char refused_line[] = "HTTP/1.1 401 You shall not pass.\r\n";
constexpr char realm_line[] = "WWW-Authenticate: Basic realm=\"secrets of qor\"\r\n";
constexpr char permitted_line[] = "HTTP/1.1 200 Take this!\r\n";
constexpr char length_name[] = "Content-Length: ";
constexpr char empty_length[] = "Content-Length: 0\r\n\r\n";

constexpr auto not_found_bare = join(not_found_line, empty_length);
constexpr auto refused_bare = join(refused_line, realm_line, empty_length);
constexpr auto permitted_bare = join(permitted_line, empty_length);

struct status {
    std::string_view line;
    std::string_view extra;
    std::string_view bare;  // the whole answer with an empty body
};

constexpr auto view = [](const auto& a) { return std::string_view(a.data(), a.size()); };
constexpr status heads[] = {
    {not_found_line, "", view(not_found_bare)},
    {refused_line, realm_line, view(refused_bare)},
    {permitted_line, "", view(permitted_bare)},
};

constexpr std::size_t longest_count = 20;  // digits of the largest 64-bit count

static_assert([] {
    for (const auto& h : heads)
        if (h.line.size() + h.extra.size() + sizeof length_name + longest_count + 4 > head_room)
            return false;
    return true;
}());

#ifdef STDHTTPD_COVERAGE
extern "C" void __gcov_dump();
#endif

// Ends the process at once, with status 0; the coverage build writes its
// counts first.
[[noreturn]] void leave() {
#ifdef STDHTTPD_COVERAGE
    __gcov_dump();
#endif
    ::_exit(0);
}

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
    static const bool socket = is_socket(1);
    if (ends) leave();
    hold.unlock();
    if (!write_all(1, compose(reply.buffer, reply.result),
                   socket ? std::optional(stall_limit) : std::nullopt))
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

std::string_view compose(text& buffer, outcome result) {
    const status& h = heads[static_cast<int>(result)];
    if (buffer.empty()) return h.bare;
    char count[longest_count];
    const auto digits = std::to_chars(count, count + sizeof count, buffer.size() - head_room).ptr;
    const std::string_view parts[] = {h.line, h.extra, length_name, std::string_view(count, digits),
                                      "\r\n\r\n"};
    std::size_t start = head_room;
    for (auto part : parts) start -= part.size();
    std::size_t at = start;
    for (auto part : parts) {
        std::memcpy(buffer.data() + at, part.data(), part.size());
        at += part.size();
    }
    return std::string_view(buffer).substr(start);
}

void send(answer reply, std::size_t number) {
    enqueue(number, std::move(reply), false);
}

void end_service(std::size_t number) {
    enqueue(number, {}, true);
    // Whoever writes up to this place ends the process there.
    std::atomic<unsigned> never{0};
    for (;;) never.wait(0);
}
