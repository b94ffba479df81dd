// Hostile input through the real binary: every run ends with status 0, says
// nothing on standard error, answers what came before the hostile part, and
// stays within a stated memory bound.
#include <atomic>
#include <filesystem>
#include <random>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "run_server.h"

namespace fs = std::filesystem;

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool sanitized = true;  // shadow memory makes peak figures meaningless
#else
constexpr bool sanitized = false;
#endif

std::string random_bytes(std::mt19937& rng, std::size_t n, bool line_feeds) {
    std::string s(n, '\0');
    for (auto& c : s) {
        do c = static_cast<char>(rng()); while (!line_feeds && c == '\n');
    }
    return s;
}

}  // namespace

TEST(Hostile, Inputs) {
    temp_site s({{"wwwroot/index.html", "index"},
                 {"wwwroot/a.bin", "a"},
                 {"wwwroot/\xc3\xa9.txt", "e-acute"},
                 {"wwwroot/secret.txt", "guarded"},
                 {"wwwroot/secret/big", std::string(256 << 10, 'b')},
                 {"wwwroot/huge", ""},
                 {"password.txt", "pw\n"}});
    std::mt19937 rng(7);
    std::string random_credentials;
    for (int i = 0; i < 1000; ++i)
        random_credentials += get("/secret.txt", "Authorization: Basic " +
                                                     random_bytes(rng, rng() % 200, false) + "\r\n");
    // Sparse: far more than memory can hold, so the body cannot be read whole.
    fs::resize_file(s.dir / "wwwroot/huge", std::uintmax_t{2} << 40);
    const long small_bound = 8 << 10;  // KiB
    struct hostile {
        const char* name;
        std::string input;
        std::vector<std::string> expected;
        long peak_kib;
    };
    std::vector<hostile> cases = {
        {"64 MiB request line", get("/") + "GET /" + std::string(64 << 20, 'x') + " HTTP/1.1\n\n" +
                                    get("/"),
         {ok("index")}, small_bound},
        {"64 MiB header line", get("/", std::string(64 << 20, 'h') + "\r\n") + get("/"),
         {ok("index"), ok("index")}, small_bound},
        {"300000 header lines", get("/", repeat(300000, "X: y\r\n")), {ok("index")}, small_bound},
        {"random bytes after a request", get("/") + random_bytes(rng, 1 << 20, true),
         {ok("index")}, small_bound},
        {"random credential payloads", random_credentials,
         std::vector<std::string>(1000, refused()), 64 << 10},
        {"NUL and high bytes in paths",
         get(std::string("/a.bin\0junk", 11)) + get("/\xc3\xa9.txt") + get("/\x80\xff") +
             get(std::string("/secret.txt\0", 12)),
         {ok("a"), ok("e-acute"), missing(), refused()}, small_bound},
        {"1000 large guarded responses at once", repeat(1000, get("/secret/big", basic("root:pw"))),
         std::vector<std::string>(1000, ok(std::string(256 << 10, 'b'))), 1000 * 256 + (64 << 10)},
    };
    // The sanitizers' allocators end the process on such a request by design.
    if (!sanitized)
        cases.push_back({"a file too large for memory", get("/huge") + get("/"),
                         {missing(), ok("index")}, small_bound});
    for (const auto& c : cases) {
        // A low soft limit on descriptors, as inetd-style activators may leave.
        auto r = expect_answers(s.dir, c.input, c.expected, c.name, {.open_files = 64});
        std::printf("%s: peak %ld KiB\n", c.name, r.peak_kib);
        if (!sanitized) {
            EXPECT_GT(r.peak_kib, 0) << c.name;
            EXPECT_LT(r.peak_kib, c.peak_kib) << c.name;
        }
    }
}

// A link swapped among an inside file, an outside one and a secret one while
// a thousand requests for it run: only the inside bytes are ever sent.
TEST(Hostile, LinkSwaps) {
    temp_site s({{"wwwroot/in.txt", "inside"},
                 {"wwwroot/secret/s.txt", "guarded"},
                 {"outside.txt", "outside"},
                 {"password.txt", "pw\n"}});
    const char* targets[] = {"in.txt", "../outside.txt", "secret/s.txt"};
    const auto input = repeat(1000, get("/l"));
    std::set<std::string> seen;
    for (int round = 0; round < 10 && seen.size() < 2; ++round) {
        std::atomic<bool> stop{false};
        std::thread swapper([&] {
            for (unsigned i = 0; !stop; ++i) {
                fs::create_symlink(targets[i % 3], s.dir / "wwwroot/tmp");
                fs::rename(s.dir / "wwwroot/tmp", s.dir / "wwwroot/l");
            }
        });
        auto r = run_server(s.dir, input);
        stop = true;
        swapper.join();
        EXPECT_EQ(r.err, "");
        for (const auto& response : split_responses(r.out)) {
            ASSERT_TRUE(response == ok("inside") || response == refused() ||
                        response == missing())
                << response;
            if (response != missing()) seen.insert(response);
        }
    }
    EXPECT_EQ(seen, (std::set<std::string>{ok("inside"), refused()}));
}

// Files the server's user cannot read, run as an unprivileged user.
TEST(Hostile, UnreadableFiles) {
    temp_site s({{"wwwroot/open.txt", "open"},
                 {"wwwroot/closed.txt", "closed"},
                 {"wwwroot/secret/closed.txt", "closed"},
                 {"wwwroot/secret/open.txt", "s"},
                 {"password.txt", "pw\n"}});
    for (const auto* p : {"", "wwwroot", "wwwroot/secret"})
        fs::permissions(s.dir / p, fs::perms::owner_all | fs::perms::others_read |
                                       fs::perms::others_exec);
    for (const auto* p : {"wwwroot/open.txt", "wwwroot/secret/open.txt", "password.txt"})
        fs::permissions(s.dir / p, fs::perms::owner_all | fs::perms::others_read);
    fs::permissions(s.dir / "wwwroot/closed.txt", fs::perms::none);
    fs::permissions(s.dir / "wwwroot/secret/closed.txt", fs::perms::none);
    const std::string input = get("/open.txt") + get("/closed.txt") + get("/secret/closed.txt") +
                              get("/secret/closed.txt", basic("root:pw")) +
                              get("/secret/open.txt", basic("root:pw"));
    expect_answers(s.dir, input, {ok("open"), missing(), refused(), missing(), ok("s")},
                   "unreadable", {.unprivileged = true});
    // A password file the server cannot read opens nothing.
    fs::permissions(s.dir / "password.txt", fs::perms::owner_all);
    expect_answers(s.dir, get("/secret/open.txt", basic("root:pw")), {refused()},
                   "unreadable password file", {.unprivileged = true});
}
