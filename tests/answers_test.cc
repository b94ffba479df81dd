// Runs the real binary against a temporary site and compares its exact output.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include <vector>

#include <gtest/gtest.h>

#include "run_server.h"

namespace fs = std::filesystem;

namespace {

const std::string index_html = "<h1>hello</h1>\n";
const std::string binary("b\0\xff\x80\r\n", 6);

const temp_site& spine_site() {
    static const temp_site site = [] {
        temp_site s({{"wwwroot/index.html", index_html},
                     {"wwwroot/a.bin", binary},
                     {"wwwroot/secret.txt", "s"},
                     {"wwwroot/docs/index.html", "docs"},
                     {"wwwroot/q?x=1", "query"},
                     {"wwwroot/sub/.keep", ""},
                     {"wwwroot-old/f", "old"},
                     {"outside.txt", "outside"},
                     {"password.txt", "pw\n"}});
        s.link("wwwroot/out-link", "../outside.txt");
        s.link("wwwroot/in-link", "a.bin");
        ::mkfifo((s.dir / "wwwroot/fifo").c_str(), 0644);
        s.file("wwwroot/" + std::string(250, 'd') + "/secret", "deep");
        return s;
    }();
    return site;
}

struct exact_row {
    std::string name, input;
    std::vector<std::string> expected;
};

std::vector<exact_row> exact_rows() {
    const std::string at_bound = "GET /" + std::string(8192 - 14, 'x') + " HTTP/1.1";
    // Lines whose first 8 KiB alone, trimmed, would be a valid request line or
    // carry the right password: only the whole line counts.
    const std::string past_bound = "GET / HTTP/1.1" + std::string(9000, ' ') + "x";
    const std::string credential_past_bound =
        basic("root:pw").substr(0, 33) + std::string(9000, ' ') + "x\r\n";
    return {
        {"empty input", "", {}},
        {"blank first line", "\r\n" + get("/"), {}},
        {"blank of spaces and tabs", " \t\r\n" + get("/"), {}},
        {"index", get("/"), {ok(index_html)}},
        {"no blank line at the end", "GET / HTTP/1.1", {ok(index_html)}},
        {"spaces after the version", "GET / HTTP/1.1   \r\n\r\n", {ok(index_html)}},
        {"stops at a rejected line",
         get("/") + get("/a.bin") + "POST / HTTP/1.1\r\n\r\n" + get("/"),
         {ok(index_html), ok(binary)}},
        {"space in target", get("/a b"), {}},
        {"HTTP/1.0", "GET / HTTP/1.0\r\n\r\n", {}},
        {"lower-case get", "get / HTTP/1.1\r\n\r\n", {}},
        {"two spaces", "GET  / HTTP/1.1\r\n\r\n", {}},
        {"target without slash", get("index.html"), {}},
        {"leading space", " GET / HTTP/1.1\r\n\r\n", {}},
        {"directory", get("/sub"), {ok("")}},
        {"the root itself", get("/."), {ok("")}},
        {"directory without index", get("/sub/"), {missing()}},
        {"directory index", get("/docs/"), {ok("docs")}},
        {"parent", get("/.."), {refused()}},
        {"password file", get("/../password.txt"), {refused()}},
        {"missing outside", get("/../nothing"), {missing()}},
        {"query taken literally", get("/index.html?x=1") + get("/q?x=1"), {missing(), ok("query")}},
        {"sibling sharing the root's prefix", get("/../wwwroot-old/f"), {refused()}},
        {"link out", get("/out-link"), {refused()}},
        {"link in", get("/in-link"), {ok(binary)}},
        {"secret past 256 bytes of path",
         get(std::string("/").append(250, 'd').append("/secret")),
         {refused()}},
        {"FIFO", get("/fifo"), {missing()}},
        {"request line at the bound", at_bound + "\n\n", {missing()}},
        {"request line past the bound", past_bound + "\n\n" + get("/"), {}},
        {"header line past the bound", get("/secret.txt", credential_past_bound), {refused()}},
        {"trailing blanks past the bound",
         "GET / HTTP/1.1" + std::string(20000, ' ') + "\n\n",
         {ok(index_html)}},
        {"1000 at most", repeat(1001, get("/docs/")), std::vector<std::string>(1000, ok("docs"))},
        // A body is never read: a request that declares one is not answered,
        // and its body is never taken for a request.
        {"a Content-Length body",
         get("/") + get("/a.bin", "Content-Length: 32\r\n") + get("/docs/"),
         {ok(index_html)}},
        {"a chunked body",
         get("/") + get("/a.bin", "Transfer-Encoding: chunked\r\n") + "20\r\n" + get("/docs/") +
             "\r\n0\r\n\r\n",
         {ok(index_html)}},
        {"content-length: 0",
         get("/a.bin", "content-length: 0\r\n") + get("/docs/"),
         {ok(binary), ok("docs")}},
        {"two lengths",
         get("/") + get("/a.bin", "Content-Length: 0\r\nContent-Length: 0\r\n"),
         {ok(index_html)}},
        {"target past the path limit", get(repeat(2100, "/.") + "/a.bin"), {ok(binary)}},
    };
}

}  // namespace

class Exact : public testing::TestWithParam<exact_row> {};

// Each row runs with a 1 MiB stack, so lines at the bound must not recurse.
TEST_P(Exact, Answers) {
    const auto& row = GetParam();
    expect_answers(spine_site().dir, row.input, views(row.expected), row.name,
                   {.stack_bytes = 1 << 20});
}

INSTANTIATE_TEST_SUITE_P(Answers, Exact, testing::ValuesIn(exact_rows()), row_name{});

// A request opens nothing but a regular file it is served: a writer blocked
// opening a FIFO, inside the root or out, stays blocked.
TEST(Answers, FifosStayClosed) {
    temp_site s({{"wwwroot/index.html", "i"}});
    const fs::path fifos[] = {s.dir / "outfifo", s.dir / "wwwroot/infifo"};
    std::vector<std::thread> writers;
    std::atomic<int> released{0};
    for (const auto& f : fifos) {
        ASSERT_EQ(::mkfifo(f.c_str(), 0600), 0);
        writers.emplace_back([&released, f] {
            const int fd =
                ::open(f.c_str(), O_WRONLY | O_CLOEXEC);  // blocks until a reader opens it
            ++released;
            ::close(fd);
        });
    }
    expect_answers(s.dir, get("/../outfifo") + get("/infifo"), {refused(), missing()}, "FIFOs");
    // Given the server every chance to have released a writer by now.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(released, 0) << "a request opened a FIFO";
    for (const auto& f : fifos) ::close(::open(f.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    for (auto& w : writers) w.join();
}

// No device is ever opened: one inside the root is decided on, then refused
// before any open, and one reached by a link or from outside is refused.
TEST(Answers, DevicesStayClosed) {
    temp_site s({{"wwwroot/index.html", "i"}});
    s.link("wwwroot/null", "/dev/null");
    if (std::system("strace -V >/dev/null 2>&1") != 0) GTEST_SKIP() << "strace is not installed";
    if (emulator()) GTEST_SKIP() << under_emulation;
    const bool device =
        ::mknod((s.dir / "wwwroot/zero").c_str(), S_IFCHR | 0600, ::makedev(1, 5)) == 0;
    if (!device) std::printf("the device inside the root: skipped, only root can make one\n");
    const auto trace = s.dir / "trace";
    // The leak checker cannot work under a tracer, and says so.
    auto r = run_server(
        s.dir, get(repeat(20, "/..") + "/dev/zero") + get("/null") + (device ? get("/zero") : ""),
        {.environment = {"ASAN_OPTIONS=detect_leaks=0"},
         .wrapper = {"strace", "-f", "-qq", "-e", "trace=openat", "-o", trace.string()}});
    if (r.status != 0 && r.err.starts_with("strace: "))
        GTEST_SKIP() << "strace cannot trace here: " << r.err;
    std::vector<std::string> want{refused(), refused()};
    if (device) want.push_back(missing());
    EXPECT_EQ(first_difference(r.out, views(want)), std::nullopt);
    std::ifstream log(trace);
    int located = 0;
    for (std::string line; std::getline(log, line);) {
        if (line.find("wwwroot/") != std::string::npos) {
            ++located;
            EXPECT_NE(line.find("O_PATH"), std::string::npos) << line;
        }
        EXPECT_EQ(line.find("/proc/self/fd/"), std::string::npos)
            << "a device was opened: " << line;
    }
    EXPECT_EQ(located, device ? 3 : 2);
}
