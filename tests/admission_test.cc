// The answer order and the shares of one process, driven request by request
// in a forced order on one thread, in a child whose standard output is read.
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <algorithm>
#include <functional>
#include <numeric>
#include <random>
#include <thread>

#include "run_server.h"
#include "server/handle_request.h"

namespace {

// A request made through its admission: answered from the site, or ending
// early with no answer given.
struct step {
    std::size_t number;
    std::string path;  // empty: the path returns before anything is decided
};

// Runs requests on a ledger of body_bytes and descriptors in a child in the
// site; returns what it wrote, once it has ended with status 0 within 20 s
// (a request that waits for ever fails the case).
std::string in_child(const temp_site& site, std::size_t body_bytes, std::size_t descriptors,
                     const std::function<void(ledger&)>& requests) {
    int out[2];
    if (::pipe(out) != 0) return "no pipe";
    const pid_t child = ::fork();
    if (child == 0) {
        ::alarm(20);
        if (::chdir(site.dir.c_str()) != 0 || ::dup2(out[1], 1) != 1) ::_exit(3);
        const group_memory none;
        ledger shared(body_bytes, UINT64_MAX, none, descriptors, answer_request);
        requests(shared);
        ::_exit(0);
    }
    ::close(out[1]);
    std::string got;
    char buffer[4096];
    for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) > 0;) got.append(buffer, n);
    ::close(out[0]);
    return wait_server(child) == 0 ? got : "ended badly after: " + got;
}

// Runs the steps in order, on one thread.
std::string run_steps(const temp_site& site, std::size_t body_bytes, std::vector<step> steps) {
    return in_child(site, body_bytes, 1 << 20, [&](ledger& shared) {
        for (auto& s : steps) {
            request_info request{s.path, std::nullopt};
            if (s.path.empty())
                const admission early(shared, s.number, request);
            else
                answer_request(shared, request, s.number);
        }
    });
}

struct order_row {
    const char* name;
    std::size_t body_bytes;
    std::vector<step> steps;
    std::string want;
};

const std::string a = ok(std::string(500, 'a')), b = ok(std::string(300, 'b')),
                  c = ok(std::string(300, 'c'));

const order_row order_rows[] = {
    {"in order", 4096, {{0, "/a"}, {1, "/b"}, {2, "/none"}}, a + b + missing()},
    {"in reverse order", 4096, {{2, "/c"}, {1, "/b"}, {0, "/a"}}, a + b + c},
    // Nothing later is answered: no answer can be wrong, and none waits.
    {"a path that returns early", 4096, {{2, "/c"}, {1, ""}, {0, "/a"}}, a},
    // The earliest gets its room from the parked answers, read again in turn.
    {"a shortage while later answers are parked",
     1200,
     {{1, "/b"}, {2, "/c"}, {0, "/a"}},
     a + b + c},
    {"a body past the whole room", 100, {{1, "/b"}, {0, "/a"}}, a + b},
};

}  // namespace

class Order : public testing::TestWithParam<order_row> {};

// Each answer is written whole, in request order, whatever order the
// requests are answered in and whatever room the ledger has.
TEST_P(Order, AndShares) {
    static const temp_site site({{"wwwroot/a", std::string(500, 'a')},
                                 {"wwwroot/b", std::string(300, 'b')},
                                 {"wwwroot/c", std::string(300, 'c')}});
    EXPECT_EQ(run_steps(site, GetParam().body_bytes, GetParam().steps), GetParam().want);
}

INSTANTIATE_TEST_SUITE_P(Admission, Order, testing::ValuesIn(order_rows), row_name{});

// Many requests at once, started in a shuffled order, under room for two
// bodies and descriptors for one guarded request: every answer waits on
// another, parks, or gives its body back, and only wake-ups move them (the
// ledger waits on no timer). A lost wake-up leaves the child hanging.
TEST(Admission, ManyThreadsWokenInOrder) {
    static const temp_site site({{"wwwroot/a", std::string(500, 'a')},
                                 {"wwwroot/secret/b", std::string(300, 'b')},
                                 {"wwwroot/c", ""},
                                 {"password.txt", "pw"}});
    const std::vector<std::string> paths = {"/a", "/secret/b", "/none", "/c"};
    const std::string answers[] = {a, ok(std::string(300, 'b')), missing(), ok("")};
    constexpr std::size_t requests = 200;
    std::string want;
    for (std::size_t i = 0; i < requests; ++i) want += answers[i % 4];
    const std::string got = in_child(site, 1100, 3, [&](ledger& shared) {
        std::vector<std::size_t> order(requests);
        std::iota(order.begin(), order.end(), 0);
        std::shuffle(order.begin(), order.end(), std::mt19937(7));
        std::vector<std::thread> threads;
        for (const std::size_t i : order)
            threads.emplace_back([&, i] {
                request_info r{paths[i % 4], i % 4 == 1 ? optional_text("pw") : std::nullopt};
                answer_request(shared, r, i);
            });
        for (auto& t : threads) t.join();
    });
    EXPECT_EQ(first_difference(got, {want}), std::nullopt) << got.size() << " bytes";
}
