// Hostile input through the real binary: every run ends with status 0, says
// nothing on standard error, answers what came before the hostile part, and
// stays within a stated memory bound.
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/io_uring.h>
#include <linux/magic.h>
#include <linux/seccomp.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/personality.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <limits>
#include <optional>
#include <ostream>
#include <random>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "run_server.h"
#include "sys/confine.h"
#include "sys/test_builds.h"

namespace fs = std::filesystem;

namespace {

#ifdef STDHTTPD_STATIC_SERVER
constexpr bool static_server = true;
#else
constexpr bool static_server = false;
#endif

std::string random_bytes(std::mt19937& rng, std::size_t n, bool line_feeds) {
    std::string s(n, '\0');
    for (auto& c : s) {
        do c = static_cast<char>(rng());
        while (!line_feeds && c == '\n');
    }
    return s;
}

// A new memory cgroup below the tests' own, whichever version the host has
// mounted where it usually is; removed when it ends. Empty, with the reason
// in why, when the tests cannot make one.
struct memory_group {
    fs::path dir, own;
    std::string why;
    memory_group(const std::string& name, std::uint64_t limit) {
        std::ifstream groups("/proc/self/cgroup");
        bool v2 = false;
        for (std::string line; std::getline(groups, line);) {
            const auto path = line.substr(line.rfind(':') + 1);
            if (line.find(":memory:") != line.npos)
                own = "/sys/fs/cgroup/memory" + path;
            else if (line.starts_with("0::") && own.empty())
                own = "/sys/fs/cgroup" + path, v2 = true;
        }
        const auto limit_file = v2 ? "memory.max" : "memory.limit_in_bytes";
        std::error_code e;
        if (own.empty() || !fs::exists(own / "cgroup.procs")) {
            why = "no memory cgroup is mounted at /sys/fs/cgroup";
        } else if (!fs::create_directory(own / name, e)) {
            why = "cannot make a cgroup in " + own.string() + ": " + e.message();
        } else {
            dir = own / name;
            if (!(std::ofstream(dir / limit_file) << limit << std::flush))
                why = "cannot set a memory limit in " + dir.string() +
                      (v2 ? " (memory is not delegated to it)" : "");
        }
    }
    ~memory_group() {
        if (!dir.empty()) ::rmdir(dir.c_str());
    }
    // Runs the server in the group, with a reader that starts a second late;
    // the shell leaves the group afterwards, so that it can be removed.
    std::vector<std::string> wrapper() const {
        return {"bash", "-c",
                "echo $$ > " + (dir / "cgroup.procs").string() +
                    " && { \"$0\" | { sleep 1; cat; }; }; "
                    "s=${PIPESTATUS[0]}; echo $$ > " +
                    (own / "cgroup.procs").string() + "; exit $s"};
    }
};

// True when dir lies on tmpfs, which holds files of any size without disk.
bool on_tmpfs(const fs::path& dir) {
    struct statfs st;
    return ::statfs(dir.c_str(), &st) == 0 && st.f_type == TMPFS_MAGIC;
}

// The sites that rows are served from, made once per process when a row runs:
// the main one on tmpfs, if there is one, so a file can be as large as a size
// can say.
struct sites {
    const fs::path shm = "/dev/shm";
    temp_site main{{{"wwwroot/index.html", "index"},
                    {"wwwroot/a.bin", "a"},
                    {"wwwroot/\xc3\xa9.txt", "e-acute"},
                    {"wwwroot/secret.txt", "guarded"},
                    {"wwwroot/secret/big", std::string(256 << 10, 'b')},
                    {"wwwroot/two", std::string(2 << 20, 't')},
                    {"wwwroot/one", std::string(1 << 20, 'o')},
                    {"wwwroot/mid", std::string(30000, 'm')},
                    {"password.txt", "pw\n"}},
                   on_tmpfs(shm) ? shm : fs::temp_directory_path()};
    temp_site no_root{{{"password.txt", "pw\n"}}}, open{{{"wwwroot/a.bin", "a"}}};
    std::error_code too_large;  // why no 2^63-1 byte file could be made
    sites() {
        main.link("wwwroot/out", "../password.txt");
        fs::permissions(open.dir, fs::perms::others_read | fs::perms::others_exec,
                        fs::perm_options::add);
        // Sparse: far more than memory can hold, so a body cannot be read whole.
        for (const auto& [name, size] : {std::pair<std::string, std::uintmax_t>{"huge", 2ull << 40},
                                         {"hundred", 100 << 20},
                                         {"huge-sparse", INT64_MAX}}) {
            main.file("wwwroot/" + name, "");
            fs::resize_file(main.dir / "wwwroot" / name, size, too_large);
        }
    }
};
const sites& site() {
    static const sites s;
    return s;
}

// Each answer is held once; rows expect views of them, so that a thousand
// like answers cost no copies.
const std::string index = ok("index"), a = ok("a"), e_acute = ok("e-acute"), none = missing(),
                  no = refused(), guarded = ok("guarded"), empty = ok(""),
                  mid = ok(std::string(30000, 'm')), big = ok(std::string(256 << 10, 'b')),
                  one = ok(std::string(1 << 20, 'o')), two = ok(std::string(2 << 20, 't'));
using answers = std::vector<std::string_view>;
answers then(answers first, std::size_t n, std::string_view rest) {
    first.resize(n, rest);
    return first;
}

// Why a row cannot run in this build or on this host, if it cannot.
using reason = std::optional<std::string>;
reason unsanitized() {
    if (!sanitized) return std::nullopt;
    return "the sanitizers' allocators end the process on such a request by design, and "
           "hundreds of MiB read in small pieces take too long under them";
}
reason own_descriptors() {
    if (!sanitized && !coverage_counts) return std::nullopt;
    return "the sanitizers' runtimes and the coverage build need descriptors of their own";
}
reason threads_limited() {
    return sanitized ? unsanitized() : threads_unavailable();
}
reason strace_on_static() {
    if (!static_server) return "only the static build: a loader's calls would be refused too";
    if (std::system("{ strace -V && socat -V; } >/dev/null 2>&1") == 0) return std::nullopt;
    return "needs strace and socat";
}
reason coverage_writes() {
    return "the coverage build reads and writes its counts at exit";
}
reason sparse_file() {
    if (!site().too_large) return std::nullopt;
    return site().main.dir.string() + " holds no file that large";
}

// A hostile run: what is sent (made when it runs, as some inputs are large),
// what must come back, the bound on the server's peak memory in KiB.
struct hostile {
    std::string name;
    std::string (*input)();
    answers expected;
    long peak_kib;
    // A low soft limit on descriptors, as inetd-style activators may leave.
    run_options options = {.open_files = 64};
    reason (*skip)() = nullptr;
    temp_site sites::*served = nullptr;  // the main site, when none
    std::uint64_t group_mib = 0;         // > 0: run in a memory cgroup of this size
};
void PrintTo(const hostile& row, std::ostream* os) {
    *os << row.name;
}

std::vector<hostile> hostile_rows() {
    const long small = 8 << 10, budget = 96 << 10;
    const auto mixed = [] {
        answers all;
        for (int i = 0; i < 250; ++i) all.insert(all.end(), {mid, guarded, none, no});
        return all;
    }();
    // clang-format off
    hostile table[] = {
        {"64 MiB request line", [] {
             return get("/") + "GET /" + std::string(64 << 20, 'x') + " HTTP/1.1\n\n" + get("/"); },
         {index}, small},
        {"64 MiB header line", [] { return get("/", std::string(64 << 20, 'h') + "\r\n") + get("/"); },
         {index, index}, small},
        {"300000 header lines", [] { return get("/", repeat(300000, "X: y\r\n")); }, {index}, small},
        {"random bytes after a request", [] {
             std::mt19937 rng(7);
             return get("/") + random_bytes(rng, 1 << 20, true); }, {index}, small},
        {"random credential payloads", [] {
             std::mt19937 rng(7);
             std::string all;
             for (int i = 0; i < 1000; ++i)
                 all += get("/secret.txt", "Authorization: Basic " +
                                           random_bytes(rng, rng() % 200, false) + "\r\n");
             return all; }, answers(1000, no), 64 << 10},
        {"NUL and high bytes in paths", [] {
             return get(std::string("/a.bin\0junk", 11)) + get("/\xc3\xa9.txt") + get("/\x80\xff") +
                    get(std::string("/secret.txt\0", 12)); }, {a, e_acute, none, no}, small},
        // On a busy machine every worker may be alive at once, each with a
        // stack of 16 KiB and a little heap at most.
        {"1000 small requests", [] { return repeat(1000, get("/a.bin")); }, answers(1000, a), 18 << 10},
        {"1000 large guarded responses at once",
         [] { return repeat(1000, get("/secret/big", basic("root:pw"))); }, answers(1000, big), budget},
        // The worker stack must grow to the static TLS that the process needs;
        // past 8 MiB no thread starts, and the loop answers by itself.
        {"static TLS past the worker stack", [] { return get("/a.bin"); }, {a}, small,
         {.environment = {"GLIBC_TUNABLES=glibc.rtld.optional_static_tls=9000000"}}},
        {"no wwwroot", [] { return repeat(300, get("/")); }, answers(300, none), small,
         {.open_files = 64}, nullptr, &sites::no_root},
        // One descriptor free: a file that needs two can never be answered, so
        // the service ends without a wrong answer.
        {"one descriptor left free", [] { return get("/mid") + get("/mid"); }, {}, small,
         {.open_files = 16, .open_files_hard = 16, .inherited = 12}, own_descriptors},
        // Threads refused past the first few: each request waits for a running
        // one, whose stack it then uses (stacks kept by finished threads took 9 MiB).
        {"8 threads at most", [] { return repeat(1000, get("/a.bin")); }, answers(1000, a), 4 << 10,
         {.threads = 8}, threads_limited, &sites::open},
        {"a file too large for memory", [] { return get("/huge") + get("/"); }, {none, index}, small,
         {}, unsanitized},
        {"a file past the address-space limit", [] { return get("/hundred") + get("/"); },
         {none, index}, small, {.wrapper = {"bash", "-c", "ulimit -v 65536; exec \"$0\""}}, unsanitized},
        // Past a cgroup's limit the kernel kills rather than refuses: a body
        // that can never fit is 404, and the others wait their turn, as do
        // the workers behind them (1000 of them would pass 40 MiB).
        {"64 MiB cgroup, 100 MiB file", [] { return get("/hundred") + get("/"); }, {none, index},
         64 << 10, {}, unsanitized, nullptr, 64},
        {"40 MiB cgroup, 300 x 1 MiB, 700 small, a late reader",
         [] { return repeat(300, get("/one")) + repeat(700, get("/a.bin")); },
         then(answers(300, one), 1000, a), 40 << 10, {}, unsanitized, nullptr, 40},
        // Far more than the budget, and 1000 requests waiting behind it; every
        // body is read in 42-byte pieces, so hundreds of MiB reach every wait.
        {"100 pipelined 2 MiB bodies, 900 small",
         [] { return repeat(100, get("/two")) + repeat(900, get("/a.bin")); },
         then(answers(100, two), 1000, a), budget, {}, unsanitized},
        // Threads, bodies and stacks all refused at times: each waits its turn.
        {"64 MiB of address space, a late reader",
         [] { return repeat(300, get("/one")) + repeat(700, get("/a.bin")); },
         then(answers(300, one), 1000, a), budget, {.wrapper = {"bash", "-c",
             "ulimit -v 65536; \"$0\" | { sleep 1; cat; }; exit ${PIPESTATUS[0]}"}}, unsanitized},
        // The free descriptors cannot be counted at start: the answers are the same.
        {"/proc/self/fd not listed", [] { return get("/index.html") + get("/secret.txt", basic("root:pw")); },
         {index, guarded}, small, {.open_files = 64, .wrapper = {"strace", "-f", "-e", "quiet=all",
             "-o", "/dev/null", "-P", "/proc/self/fd", "-e", "inject=openat:error=ENOENT"}},
         strace_on_static},
        // A size past what a text can hold, answered in one place for every build.
        {"a 2^63-1 byte sparse file", [] { return get("/huge-sparse") + get("/"); }, {none, index},
         small, {}, sparse_file},
    };
    // clang-format on
    std::vector<hostile> rows(std::make_move_iterator(std::begin(table)),
                              std::make_move_iterator(std::end(table)));
    // Each worker needs up to three descriptors at once; a refused open must
    // wait, never turn into 404 or 401. Descriptors an activator left open are
    // not the workers' to take.
    for (int inherited : {0, 4, 8, 10})
        rows.push_back({"a mix under 16 descriptors, " + std::to_string(inherited) + " inherited",
                        [] {
                            return repeat(250, get("/mid") + get("/secret.txt", basic("root:pw")) +
                                                   get("/none") + get("/out"));
                        },
                        mixed,
                        64 << 10,
                        {.open_files = 16, .open_files_hard = 16, .inherited = inherited}});
    // Calls refused at their first, second or first three uses (ENOMEM unless named), as a short
    // host refuses them: on a request's path, on a socket (socat's), in confinement (then left
    // out).
    for (const std::string fault :
         {"openat:error=EMFILE", "fstat", "readlink", "getcwd", "read", "pread64", "write", "mmap",
          "clone3:error=EAGAIN", "clone:error=EAGAIN", "prctl:error=EINVAL",
          "landlock_create_ruleset:error=ENOSYS", "seccomp:error=EINVAL", "socket recvfrom",
          "socket recvfrom:error=EINTR", "socket sendto", "socket sendto:error=EAGAIN",
          "socket poll"})
        for (const std::string when : {"1", "2", "1..3"}) {
            const bool socket = fault.starts_with("socket ");
            const auto inject = fault.substr(socket ? 7 : 0) +
                                (fault.find(':') == fault.npos ? ":error=ENOMEM" : "");
            const bool counts_written = coverage_counts && (fault == "read" || fault == "write");
            rows.push_back(
                {fault + "@" + when,
                 [] {
                     return get("/index.html") + get("/secret", basic("root:pw")) +
                            get("/secret.txt", basic("root:pw")) + get("/secret.txt");
                 },
                 {index, empty, guarded, no},
                 small,
                 {.environment = {"RUN=strace -f -qq -o /dev/null -e inject=" + inject +
                                  ":when=" + when},
                  .wrapper = {"bash", "-c",
                              socket ? "S=$0 exec socat -t 60 - SYSTEM:'exec $RUN \"$S\"'"
                                     : "exec $RUN \"$0\""}},
                 counts_written ? coverage_writes : strace_on_static});
        }
    return rows;
}

}  // namespace

class Inputs : public testing::TestWithParam<hostile> {};

// Ends with status 0, says nothing on standard error, gives every answer
// before the hostile part, and stays within the row's memory bound.
TEST_P(Inputs, Answered) {
    const hostile& row = GetParam();
    if (const auto why = row.skip ? row.skip() : std::nullopt) GTEST_SKIP() << *why;
    std::optional<memory_group> group;
    if (row.group_mib)
        group.emplace("stdhttpd-test-" + std::to_string(::getpid()), row.group_mib << 20);
    if (group && !group->why.empty()) GTEST_SKIP() << "cgroup memory limits: " << group->why;
    auto options = row.options;
    if (group) options.wrapper = group->wrapper();
    const auto& dir = (row.served ? site().*row.served : site().main).dir;
    const auto r = expect_answers(dir, row.input(), row.expected, row.name, options);
    std::printf("%s: peak %ld KiB\n", row.name.c_str(), r.peak_kib);
    if (!sanitized) {
        EXPECT_GT(r.peak_kib, 0);
        EXPECT_LT(r.peak_kib, row.peak_kib);
    }
}

// Named for ctest: letters, digits and underscores.
INSTANTIATE_TEST_SUITE_P(Hostile, Inputs, testing::ValuesIn(hostile_rows()), [](const auto& row) {
    std::string name;
    for (const char c : row.param.name)
        if (std::isalnum(static_cast<unsigned char>(c)))
            name += c;
        else if (!name.empty() && !name.ends_with('_'))
            name += '_';
    return name.ends_with('_') ? name.substr(0, name.size() - 1) : name;
});

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
            ASSERT_TRUE(response == ok("inside") || response == refused() || response == missing())
                << response;
            if (response != missing()) seen.insert(response);
        }
    }
    EXPECT_EQ(seen, (std::set<std::string>{ok("inside"), refused()}));
}

// Files the server's user cannot read: run as nobody when the tests run as
// root, otherwise as the current user, whom a mode of 0 shuts out as well.
TEST(Hostile, UnreadableFiles) {
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

// A file that grows while it is served is served as it was when located; one
// that shrinks, as far as it goes, and never as missing.
TEST(Hostile, ChangingFile) {
    for (const bool grows : {true, false}) {
        const char* kind = grows ? "growing" : "shrinking";
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
                fs::resize_file(log,
                                grows ? start.size() + (std::uintmax_t{1} << 20) * i : 1 << 20);
                changed_while_served = true;
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });
        const int status = wait_server(pid);
        server_done = true;
        writer.join();
        for (int fd : {in, out}) ::close(fd);
        EXPECT_EQ(status, 0) << kind;
        EXPECT_TRUE(changed_while_served) << kind << ": the server was done before the change";
        EXPECT_TRUE(!grows || !writer_gave_up) << "the server read the file while it grew";
        const std::string answer = slurp(s.dir / "out");
        const auto body = answer.substr(std::min(answer.size(), answer.find("\r\n\r\n") + 4));
        EXPECT_EQ(ok(body), answer) << kind;
        // Exactly the size it had when located, not a byte read past it.
        if (grows)
            EXPECT_EQ(body.size(), start.size()) << kind;
        else
            EXPECT_GE(body.size(), std::size_t{1} << 20) << kind;
        EXPECT_EQ(body.compare(0, start.size(), start, 0, std::min(body.size(), start.size())), 0);
        EXPECT_EQ(body.find_first_not_of('\0', start.size()), std::string::npos) << kind;
    }
}

namespace {

// A server on one end of a socket pair (or on two pipes), the test on the other.
struct peer {
    int to_server = -1, from_server = -1;
    pid_t pid = -1;
    peer(const fs::path& dir, bool socket, bool non_blocking, const run_options& options = {}) {
        // Writing to a server that has gone fails, and must not end the test.
        std::signal(SIGPIPE, SIG_IGN);
        int in[2], out[2];
        if (socket) {
            EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, in), 0);
            out[0] = ::fcntl(in[0], F_DUPFD_CLOEXEC, 0);
            out[1] = ::fcntl(in[1], F_DUPFD_CLOEXEC, 0);
            std::swap(in[0], in[1]);  // in[0] and out[1] are the server's end
        } else {
            EXPECT_EQ(::pipe2(in, O_CLOEXEC), 0);
            EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
        }
        if (non_blocking)
            for (int fd : {in[0], out[1]}) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        pid = start_server(dir, in[0], out[1], 2, options);
        ::close(in[0]);
        ::close(out[1]);
        to_server = in[1];
        from_server = out[0];
    }
    ~peer() {
        for (int fd : {to_server, from_server})
            if (fd >= 0) ::close(fd);
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            wait_server(pid);
        }
    }
    // True when all of s was written.
    bool send(const std::string& s) const {
        return ::write(to_server, s.data(), s.size()) == static_cast<ssize_t>(s.size());
    }
    // Reads until end of output, pausing between reads like a slow client.
    std::string read_all(std::chrono::milliseconds pause = {}) const {
        std::string all;
        char buffer[64 << 10];
        for (ssize_t n; (n = ::read(from_server, buffer, sizeof buffer)) > 0;) {
            all.append(buffer, static_cast<std::size_t>(n));
            std::this_thread::sleep_for(pause);
        }
        return all;
    }
    int finish() {
        const int status = wait_server(pid);
        pid = -1;
        return status;
    }
};

}  // namespace

// Non-blocking streams are waited on; a reader that goes away ends the
// process with status 0; a closed standard output is not taken over.
TEST(Hostile, OddStreams) {
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
TEST(Hostile, IdleAndStalledClients) {
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

namespace {

// Makes a socket through io_uring, where seccomp never sees the call, and
// connects it to to when named; true when that worked.
bool ring_socket(int domain, int type, const sockaddr_un* to) {
    io_uring_params params{};
    const int ring = static_cast<int>(::syscall(SYS_io_uring_setup, 4, &params));
    if (ring < 0) return false;
    const std::size_t sq_size = params.sq_off.array + params.sq_entries * sizeof(unsigned);
    const std::size_t cq_size = params.cq_off.cqes + params.cq_entries * sizeof(io_uring_cqe);
    auto* rings =
        static_cast<char*>(::mmap(nullptr, std::max(sq_size, cq_size), PROT_READ | PROT_WRITE,
                                  MAP_SHARED | MAP_POPULATE, ring, IORING_OFF_SQ_RING));
    auto* sqes = static_cast<io_uring_sqe*>(
        ::mmap(nullptr, params.sq_entries * sizeof(io_uring_sqe), PROT_READ | PROT_WRITE,
               MAP_SHARED | MAP_POPULATE, ring, IORING_OFF_SQES));
    // One operation in, its result out.
    const auto run = [&](const io_uring_sqe& sqe) {
        auto* tail = reinterpret_cast<std::atomic<unsigned>*>(rings + params.sq_off.tail);
        auto* head = reinterpret_cast<std::atomic<unsigned>*>(rings + params.cq_off.head);
        const unsigned at =
            tail->load() & *reinterpret_cast<unsigned*>(rings + params.sq_off.ring_mask);
        sqes[at] = sqe;
        reinterpret_cast<unsigned*>(rings + params.sq_off.array)[at] = at;
        tail->fetch_add(1);
        ::syscall(SYS_io_uring_enter, ring, 1, 1, IORING_ENTER_GETEVENTS, nullptr, 0);
        const unsigned h = head->load();
        const int res = reinterpret_cast<io_uring_cqe*>(
                            rings + params.cq_off.cqes)[h & *reinterpret_cast<unsigned*>(
                                                                rings + params.cq_off.ring_mask)]
                            .res;
        head->store(h + 1);
        return res;
    };
    io_uring_sqe make{};
    make.opcode = IORING_OP_SOCKET;
    make.fd = domain;
    make.off = static_cast<unsigned>(type);
    const int fd = run(make);
    if (fd < 0 || !to) return fd >= 0;
    io_uring_sqe connect{};
    connect.opcode = IORING_OP_CONNECT;
    connect.fd = fd;
    connect.addr = reinterpret_cast<std::uintptr_t>(to);
    connect.off = sizeof *to;
    return run(connect) == 0;
}

}  // namespace

// The server confines itself before its first answer. A child confined the
// same way can read its site and start threads, and nothing else.
TEST(Hostile, Confined) {
    if (::syscall(SYS_landlock_create_ruleset, nullptr, 0, 1) < 1)
        GTEST_SKIP() << "this kernel offers no Landlock, so the server runs unconfined";
    temp_site s({{"wwwroot/in.txt", "in"}, {"outside.txt", "o"}});
    const auto outside = fs::temp_directory_path() / ("confined-" + std::to_string(::getpid()));
    std::ofstream(outside) << "x";
    const auto readable = [](const fs::path& path) {
        return ::open(path.c_str(), O_RDONLY | O_CLOEXEC) >= 0;
    };
    const auto created = [](const fs::path& path) {
        return ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600) >= 0 &&
               ::unlink(path.c_str()) == 0;
    };
    // A pathname unix socket that listens, as D-Bus or a container runtime's does.
    sockaddr_un listening{.sun_family = AF_UNIX, .sun_path = {}};
    const auto socket_path = (s.dir / "listening.sock").string();
    std::strncpy(listening.sun_path, socket_path.c_str(), sizeof listening.sun_path - 1);
    const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(::bind(listener, reinterpret_cast<const sockaddr*>(&listening), sizeof listening), 0);
    ASSERT_EQ(::listen(listener, 4), 0);
    const pid_t parent = ::getpid();
    const struct {
        const char* name;
        bool permitted;
        std::function<bool()> attempt;
        std::optional<bool> without_root = {};  // when wwwroot is made after start
    } rows[] = {
        {"run /bin/true", false,
         [] {
             char* no_args[] = {nullptr};
             return ::execv("/bin/true", no_args) == 0;
         }},
        {"fork", leak_checker,
         [] {
             const pid_t p = ::fork();
             if (p == 0) ::_exit(0);
             return p > 0;
         }},
        {"a UDP socket through io_uring", false,
         [] { return ring_socket(AF_INET, SOCK_DGRAM, nullptr); }},
        {"connect to a unix socket through io_uring", false,
         [&] { return ring_socket(AF_UNIX, SOCK_STREAM, &listening); }},
        {"create a file in the site", false, [&] { return created("wwwroot/new"); }},
        {"remove a file in the site", false, [] { return ::unlink("wwwroot/in.txt") == 0; }},
        {"chmod a file outside the site", false,
         [&] { return ::chmod(outside.c_str(), 0600) == 0; }},
        {"read /etc/passwd", false, [&] { return readable("/etc/passwd"); }},
        {"list the working directory", false,
         [] { return ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC) >= 0; }, true},
        {"read another process's limits", false,
         [&] {
             rlimit l;
             return ::prlimit(parent, RLIMIT_CPU, nullptr, &l) == 0;
         }},
        {"signal the parent", false, [&] { return ::kill(parent, 0) == 0; }},
        {"queue a signal to the parent", false,
         [&] {
             siginfo_t info{};
             info.si_code = SI_QUEUE;
             return ::syscall(SYS_rt_sigqueueinfo, parent, 0, &info) == 0;
         }},
        // Unconfined, this fails with ENOTTY when no terminal is there.
        {"type into a terminal", false,
         [] {
             char c = 'x';
             return ::ioctl(0, TIOCSTI, &c) == 0 || errno == ENOTTY;
         }},
        {"a call on no list", false, [] { return ::personality(0xffffffff) != -1; }},
        {"read a file in the root", true, [&] { return readable("wwwroot/in.txt"); }},
        {"read a password.txt created after start", true, [&] { return readable("password.txt"); }},
        {"read its own limits, signal itself", true,
         [] {
             rlimit l;
             return ::getrlimit(RLIMIT_NOFILE, &l) == 0 && ::kill(::getpid(), 0) == 0;
         }},
        {"start a thread", true,
         [] {
             std::thread([] {}).join();
             return true;
         }},
    };
    ASSERT_TRUE(readable("/etc/passwd"));
    // A child confines itself as the server does, waits for the password file
    // (and, the second time, wwwroot) to be made, and writes a 1 or a 0 for
    // each row.
    for (const bool root_at_start : {true, false}) {
        SCOPED_TRACE(root_at_start ? "wwwroot there at start" : "wwwroot made after start");
        fs::remove(s.dir / "password.txt");
        if (!root_at_start) fs::rename(s.dir / "wwwroot", s.dir / "later");
        int results[2], made[2];
        ASSERT_EQ(::pipe(results), 0);
        ASSERT_EQ(::pipe(made), 0);
        const pid_t child = ::fork();
        if (child == 0) {
            if (::chdir(s.dir.c_str()) != 0) ::_exit(1);
            confine();
            char c;
            if (::write(results[1], "c", 1) != 1 || ::read(made[0], &c, 1) != 1) ::_exit(1);
            for (const auto& row : rows)
                if (::write(results[1], row.attempt() ? "1" : "0", 1) != 1) ::_exit(1);
            ::_exit(0);
        }
        ::close(results[1]);
        char confined = 0;
        EXPECT_EQ(::read(results[0], &confined, 1), 1);
        s.file("password.txt", "pw\n");
        if (!root_at_start) fs::rename(s.dir / "later", s.dir / "wwwroot");
        EXPECT_EQ(::write(made[1], "m", 1), 1);
        std::string got;
        for (char c; ::read(results[0], &c, 1) == 1;) got += c;
        for (int fd : {results[0], made[0], made[1]}) ::close(fd);
        got.resize(std::size(rows), '?');
        for (std::size_t i = 0; i < got.size(); ++i) {
            const bool want = root_at_start ? rows[i].permitted
                                            : rows[i].without_root.value_or(rows[i].permitted);
            EXPECT_EQ(got[i], want ? '1' : '0') << rows[i].name;
        }
        EXPECT_EQ(wait_server(child), 0);
    }
    ::close(listener);
    EXPECT_EQ(fs::file_size(outside), 1u);
    fs::remove(outside);
    // Where another thread has a filter of its own, no filter can be put on
    // every thread at once, and none is put on any.
    const pid_t split = ::fork();
    if (split == 0) {
        std::atomic<int> filtered{0};  // 1: it has, 2: it could not
        std::thread own([&] {
            sock_filter all{BPF_RET | BPF_K, 0, 0, SECCOMP_RET_ALLOW};
            sock_fprog prog{1, &all};
            filtered = ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
                               ::syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &prog) == 0
                           ? 1
                           : 2;
            filtered.notify_one();
            ::pause();
        });
        filtered.wait(0);
        if (filtered != 1) ::_exit(4);
        // Opened before, read after: the file system is closed to it then.
        const int status = ::open("/proc/thread-self/status", O_RDONLY | O_CLOEXEC);
        if (::chdir(s.dir.c_str()) != 0) ::_exit(1);
        confine();
        char text[4096];
        const auto n = ::read(status, text, sizeof text - 1);
        text[std::max<ssize_t>(n, 0)] = '\0';
        ::_exit(std::strstr(text, "\nSeccomp:\t0\n") ? 0 : 2);
    }
    EXPECT_EQ(wait_server(split), 0)
        << "a filter on this thread while another thread has none of ours";
    // The server itself, once it has answered.
    peer p(s.dir, true, false);
    ASSERT_TRUE(p.send(get("/in.txt")));
    char answer[256];
    EXPECT_GT(::read(p.from_server, answer, sizeof answer), 0);
    std::ifstream status("/proc/" + std::to_string(p.pid) + "/status");
    std::string line, confinement;
    while (std::getline(status, line))
        if (line.starts_with("NoNewPrivs:") || line.starts_with("Seccomp:")) confinement += line;
    EXPECT_EQ(confinement, "NoNewPrivs:\t1Seccomp:\t2");
}
