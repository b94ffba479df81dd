// The server's streams: non-blocking, closed, going away, idle or slow.
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <functional>
#include <thread>

#include <gtest/gtest.h>

#include "run_server.h"

namespace {

const std::string two(2 << 20, 't');

const temp_site& streams_site() {
    static const temp_site site({{"wwwroot/two", two}, {"wwwroot/index.html", "index"}});
    return site;
}

}  // namespace

class NonBlocking : public testing::TestWithParam<bool> {};

// Streams that would block are waited on, both ways, until every answer is
// written.
TEST_P(NonBlocking, Waited) {
    peer p(streams_site().dir, GetParam(), true);
    EXPECT_TRUE(p.send(get("/two")));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // input would block here
    EXPECT_TRUE(p.send(get("/two")));
    ::shutdown(p.to_server, SHUT_WR);
    ::close(p.to_server);
    p.to_server = -1;
    EXPECT_EQ(first_difference(p.read_all(std::chrono::milliseconds(2)), {ok(two), ok(two)}),
              std::nullopt);
    EXPECT_EQ(p.finish(), 0);
}

INSTANTIATE_TEST_SUITE_P(Streams, NonBlocking, testing::Bool(), [](const auto& bool_param) {
    return std::string(bool_param.param ? "SocketPair" : "Pipes");
});

// A reader that goes away mid-answer ends the process with status 0.
TEST(Streams, ReaderGoneMidAnswer) {
    peer p(streams_site().dir, false, false);
    EXPECT_TRUE(p.send(repeat(3, get("/two"))));
    char some[1000];
    EXPECT_GT(::read(p.from_server, some, sizeof some), 0);
    ::close(p.from_server);
    p.from_server = -1;
    EXPECT_EQ(p.finish(), 0);
}

// A closed standard output is not taken over: the input is read to its end.
TEST(Streams, ClosedStandardOutput) {
    // Long enough that the service is still reading when the first answer is
    // written: a failed write there would end it early.
    const auto input = repeat(1000, get("/", "X-Pad: " + std::string(8000, 'p') + "\r\n"));
    auto r = run_server(streams_site().dir, input, {.close_stdout = true});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.consumed, static_cast<long>(input.size()));
}

// A client that acts until the server has ended, or the flag says that it has.
struct stalled {
    const char* name;
    std::function<void(peer&, const std::atomic<bool>&)> act;
    std::string expected;  // what the client has read by then, or its start
    bool reads_at_end;     // reads only once the server has ended
};

static constexpr auto limit = std::chrono::seconds(STDHTTPD_QUICK_LIMIT);

const stalled stalled_clients[] = {
    {"idle", [](peer& p, const auto&) { p.send(get("/")); }, ok("index"), false},
    {"trickling",
     [](peer& p, const auto& ended) {
         p.send(get("/"));
         const std::string line = "GET /index.html HTTP/1.1\r\n";
         for (std::size_t i = 0; i < line.size() && !ended && p.send(line.substr(i, 1)); ++i)
             std::this_thread::sleep_for(std::chrono::milliseconds(limit) / 15);
     },
     ok("index"), false},
    {"never reading", [](peer& p, const auto&) { p.send(repeat(1000, get("/two"))); },
     ok(two).substr(0, 4096), true},
};

class Stalled : public testing::TestWithParam<stalled> {};

// The client loses its connection at the time limit, after the answers
// already given.
TEST_P(Stalled, EndsAtLimit) {
    using clock = std::chrono::steady_clock;
    const auto& c = GetParam();
    peer p(streams_site().dir, true, false, {.quick_limits = true});
    const auto start = clock::now();
    std::atomic<bool> ended{false};
    std::thread acting([&] { c.act(p, ended); });
    // Past the limit and the lingering close, the server is gone for good.
    std::thread watchdog([&, pid = p.pid] {
        while (!ended && clock::now() - start < limit + std::chrono::seconds(30))
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (!ended) ::kill(pid, SIGKILL);
    });
    std::string got;
    if (!c.reads_at_end) got = p.read_all();
    const int status = p.finish();
    if (c.reads_at_end) got = p.read_all().substr(0, c.expected.size());
    const auto took = clock::now() - start;
    ended = true;
    watchdog.join();
    acting.join();
    EXPECT_EQ(status, 0);
    EXPECT_EQ(got, c.expected);
    EXPECT_GE(took, limit - std::chrono::seconds(1));
    // Under emulation the server runs several times slower.
    EXPECT_LE(took, limit + std::chrono::seconds(emulator() ? 25 : 10));
}

INSTANTIATE_TEST_SUITE_P(Streams, Stalled, testing::ValuesIn(stalled_clients), row_name{});
