// The server's streams: non-blocking, closed, going away, idle or slow.
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <functional>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "run_server.h"

namespace fs = std::filesystem;

// Non-blocking streams are waited on; a reader that goes away ends the
// process with status 0; a closed standard output is not taken over.
TEST(Streams, OddStreams) {
    const std::string two(2 << 20, 't');
    temp_site s({{"wwwroot/two", two}, {"wwwroot/index.html", "index"}});
    for (const bool socket : {true, false}) {
        const char* kind = socket ? "non-blocking socket pair" : "non-blocking pipes";
        peer p(s.dir, socket, true);
        EXPECT_TRUE(p.send(get("/two")));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));  // input would block here
        EXPECT_TRUE(p.send(get("/two")));
        ::shutdown(p.to_server, SHUT_WR);
        ::close(p.to_server);
        p.to_server = -1;
        EXPECT_EQ(first_difference(p.read_all(std::chrono::milliseconds(2)), {ok(two), ok(two)}),
                  std::nullopt)
            << kind;
        EXPECT_EQ(p.finish(), 0) << kind;
    }
    {
        peer p(s.dir, false, false);
        EXPECT_TRUE(p.send(repeat(3, get("/two"))));
        char some[1000];
        EXPECT_GT(::read(p.from_server, some, sizeof some), 0);
        ::close(p.from_server);
        p.from_server = -1;
        EXPECT_EQ(p.finish(), 0) << "reader gone mid-answer";
    }
    // Long enough that the service is still reading when the first answer is
    // written: a failed write there would end it early.
    const auto input = repeat(1000, get("/", "X-Pad: " + std::string(8000, 'p') + "\r\n"));
    auto r = run_server(s.dir, input, {.close_stdout = true});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.consumed, static_cast<long>(input.size())) << "closed standard output";
}

// An idle client, a trickling one and one that never reads each lose their
// connection at the time limit, after the answers already given.
TEST(Streams, IdleAndStalledClients) {
    temp_site s({{"wwwroot/index.html", "index"}, {"wwwroot/two", std::string(2 << 20, 't')}});
    using clock = std::chrono::steady_clock;
    static constexpr auto limit = std::chrono::seconds(STDHTTPD_QUICK_LIMIT);
    struct client {
        const char* name;
        // Acts until the server has ended, or the flag says that it has.
        std::function<void(peer&, const std::atomic<bool>&)> act;
        std::string expected;  // what the client has read by then, or its start
        bool reads_at_end;     // reads only once the server has ended
    };
    const client clients[] = {
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
         ok(std::string(2 << 20, 't')).substr(0, 4096), true},
    };
    std::vector<std::thread> runs;
    for (const auto& c : clients) {
        runs.emplace_back([&] {
            peer p(s.dir, true, false, {.quick_limits = true});
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
            EXPECT_EQ(status, 0) << c.name;
            EXPECT_EQ(got, c.expected) << c.name;
            EXPECT_GE(took, limit - std::chrono::seconds(1)) << c.name;
            EXPECT_LE(took, limit + std::chrono::seconds(10)) << c.name;
        });
    }
    for (auto& t : runs) t.join();
}
