// Files that change under the server: links swapped, files it may not
// read, files that grow or shrink while they are served.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include "run_server.h"

namespace fs = std::filesystem;

// A link swapped among an inside file, an outside one and a secret one while
// a thousand requests for it run: only the inside bytes are ever sent.
TEST(Files, LinkSwaps) {
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
            ASSERT_TRUE(response == ok("inside") || response == refused() || response == missing())
                << response;
            if (response != missing()) seen.insert(response);
        }
    }
    EXPECT_EQ(seen, (std::set<std::string>{ok("inside"), refused()}));
}

// Files the server's user cannot read: run as nobody when the tests run as
// root, otherwise as the current user, whom a mode of 0 shuts out as well.
TEST(Files, UnreadableFiles) {
    if (auto why = unprivileged_unavailable()) GTEST_SKIP() << *why;
    temp_site s({{"wwwroot/open.txt", "open"},
                 {"wwwroot/closed.txt", "closed"},
                 {"wwwroot/secret/closed.txt", "closed"},
                 {"wwwroot/secret/open.txt", "s"},
                 {"password.txt", "pw\n"}});
    for (const auto* p : {"", "wwwroot", "wwwroot/secret"})
        fs::permissions(s.dir / p,
                        fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exec);
    for (const auto* p : {"wwwroot/open.txt", "wwwroot/secret/open.txt", "password.txt"})
        fs::permissions(s.dir / p,
                        fs::perms::owner_read | fs::perms::owner_write | fs::perms::others_read);
    fs::permissions(s.dir / "wwwroot/closed.txt", fs::perms::none);
    fs::permissions(s.dir / "wwwroot/secret/closed.txt", fs::perms::none);
    const std::string input = get("/open.txt") + get("/closed.txt") + get("/secret/closed.txt") +
                              get("/secret/closed.txt", basic("root:pw")) +
                              get("/secret/open.txt", basic("root:pw"));
    expect_answers(s.dir, input, {ok("open"), missing(), refused(), missing(), ok("s")},
                   "unreadable", {.unprivileged = true});
    // A password file the server cannot read opens nothing.
    fs::permissions(s.dir / "password.txt", fs::perms::none);
    expect_answers(s.dir, get("/secret/open.txt", basic("root:pw")), {refused()},
                   "unreadable password file", {.unprivileged = true});
}

// True when the process holds the file open to read it. The handle that only
// locates it (O_PATH) is open before its size is taken, so it does not count.
bool reads(pid_t pid, const fs::path& file) {
    std::error_code ec;
    const auto proc = "/proc/" + std::to_string(pid);
    for (const auto& fd : fs::directory_iterator(proc + "/fd", ec)) {
        if (fs::read_symlink(fd.path(), ec) != file) continue;
        std::ifstream info(proc + "/fdinfo/" + fd.path().filename().string());
        std::string word;
        unsigned long flags = 0;
        while (info >> word && word != "flags:") {
        }
        if (info >> std::oct >> flags && !(flags & O_PATH)) return true;
    }
    return false;
}

class Changing : public testing::TestWithParam<bool> {};

// A file that grows while it is served is served as it was when located; one
// that shrinks, as far as it goes, and never as missing.
TEST_P(Changing, ServedAsLocated) {
    const bool grows = GetParam();
    const std::string start(16 << 20, 'g');
    temp_site s({{"wwwroot/log", start}, {"in", get("/log")}});
    const auto log = fs::canonical(s.dir / "wwwroot/log");
    const int in = ::open((s.dir / "in").c_str(), O_RDONLY | O_CLOEXEC);
    const int out = ::open((s.dir / "out").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    const pid_t pid = start_server(s.dir, in, out, 2);
    std::atomic<bool> server_done{false};
    bool changed_while_served = false, writer_gave_up = true;
    std::thread writer([&] {
        for (int i = 0; i < 100000 && !server_done && !reads(pid, log); ++i)
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        // Far faster than any reader: holes of 1 MiB each millisecond, up to
        // 20 GiB, so that even a slow sanitized server is still reading when
        // it stops; or cut to 1 MiB at once.
        for (int i = 1; i <= (grows ? 20000 : 1); ++i) {
            if (server_done) {
                writer_gave_up = false;
                break;
            }
            fs::resize_file(log, grows ? start.size() + (std::uintmax_t{1} << 20) * i : 1 << 20);
            changed_while_served = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    const int status = wait_server(pid);
    server_done = true;
    writer.join();
    for (int fd : {in, out}) ::close(fd);
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(changed_while_served) << "the server was done before the change";
    EXPECT_TRUE(!grows || !writer_gave_up) << "the server read the file while it grew";
    const std::string answer = slurp(s.dir / "out");
    const auto body = answer.substr(std::min(answer.size(), answer.find("\r\n\r\n") + 4));
    EXPECT_EQ(ok(body), answer);
    // Exactly the size it had when located, not a byte read past it.
    if (grows)
        EXPECT_EQ(body.size(), start.size());
    else
        EXPECT_GE(body.size(), std::size_t{1} << 20);
    EXPECT_EQ(body.compare(0, start.size(), start, 0, std::min(body.size(), start.size())), 0);
    EXPECT_EQ(body.find_first_not_of('\0', start.size()), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Files, Changing, testing::Bool(), [](const auto& bool_param) {
    return std::string(bool_param.param ? "Growing" : "Shrinking");
});
