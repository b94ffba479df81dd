// Hostile input through the real binary, one named case per row: every run
// ends with status 0, says nothing on standard error, answers what came before
// the hostile part, and stays within the row's memory bound.
#include <linux/magic.h>
#include <sys/syscall.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <optional>
#include <ostream>
#include <random>
#include <string>
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
    bool v2 = false;
    memory_group(const std::string& name, std::uint64_t limit) {
        std::ifstream groups("/proc/self/cgroup");
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
    // Runs the server in the group, with a reader that starts a second late,
    // and its limit on descriptors set for it alone (the shell needs its
    // own), and, when locked, the group's lock held by another process
    // throughout; the shell leaves the group afterwards, so that it can be
    // removed.
    std::vector<std::string> wrapper(rlim_t open_files, bool locked) const {
        const auto limit = std::to_string(open_files);
        const auto usage = (dir / (v2 ? "memory.current" : "memory.usage_in_bytes")).string();
        return {"bash", "-c",
                (locked ? "flock -x " + usage + " sleep 600 & l=$!; sleep 0.2; " : "") +
                    "echo $$ > " + (dir / "cgroup.procs").string() + " && { " +
                    (open_files ? "prlimit --nofile=" + limit + ":" + limit + " " : "") +
                    "\"$0\" | { sleep 1; cat; }; }; "
                    "s=${PIPESTATUS[0]}; echo $$ > " +
                    (own / "cgroup.procs").string() + (locked ? "; kill $l" : "") + "; exit $s"};
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
reason emulated() {
    if (!emulator()) return std::nullopt;
    return "the emulator's own memory and descriptors count against the row's limits, and "
           "hundreds of MiB read in small pieces take too long under it";
}
reason unsanitized() {
    if (emulator() || !sanitized) return emulated();
    return "the sanitizers' allocators end the process on such a request by design, and "
           "hundreds of MiB read in small pieces take too long under them";
}
reason own_descriptors() {
    if (emulator() || (!sanitized && !coverage_counts)) return emulated();
    return "the sanitizers' runtimes and the coverage build need descriptors of their own";
}
reason threads_limited() {
    return sanitized ? unsanitized() : threads_unavailable();
}
reason strace_on_static() {
    if (!static_server) return "only the static build: a loader's calls would be refused too";
    if (emulator()) return under_emulation;
    if (std::system("{ strace -V && socat -V; } >/dev/null 2>&1") == 0) return std::nullopt;
    return "needs strace and socat";
}
// True when the kernel offers Landlock, whose fence takes descriptors at start.
bool landlock_offered() {
    return ::syscall(SYS_landlock_create_ruleset, nullptr, 0, 1) >= 1;
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
    int status = 0;                      // confinement_refused: nothing may be read or answered
    bool group_locked = false;           // its lock held by another process throughout
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
         [] { return repeat(1000, get("/secret/big", basic("root:pw"))); }, answers(1000, big), budget,
         {.open_files = 64}, emulated},
        // The worker stack must grow to the static TLS that the process needs;
        // past 8 MiB no thread starts, and the loop answers by itself.
        {"static TLS past the worker stack", [] { return get("/a.bin"); }, {a}, small,
         {.environment = {"GLIBC_TUNABLES=glibc.rtld.optional_static_tls=9000000"}}},
        {"no wwwroot", [] { return repeat(300, get("/")); }, answers(300, none), small,
         {.open_files = 64}, nullptr, &sites::no_root},
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
        // Another process holds the group's lock for ever: a large body ends
        // the service within the stall limit, with no answer given or cut.
        {"64 MiB cgroup, its lock held for ever", [] { return get("/two") + get("/"); }, {}, small,
         {.quick_limits = true}, unsanitized, nullptr, 64, 0, true},
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
                        {.open_files = 16 + runtime_descriptors,
                         .open_files_hard = 16 + runtime_descriptors,
                         .inherited = inherited},
                        inherited == 10 ? emulated : nullptr});
    // 0 to 4 descriptors free at start, with nothing else open but what is
    // inherited. A plain file needs two: with fewer the process ends without
    // an answer (refused at start where the file fence needs them too), with
    // two or more both are exact.
    // clang-format off
    for (const std::uint64_t group : {0, 64})
        for (int free = 0; free <= 4; ++free) {
            const int status = free < 2 && landlock_offered() ? confinement_refused : 0;
            rows.push_back({std::to_string(free) + " descriptors free" +
                                (group ? ", " + std::to_string(group) + " MiB cgroup" : ""),
                            [] { return get("/mid") + get("/mid"); }, free < 2 ? answers{} : answers{mid, mid},
                            small, {.open_files = 16, .open_files_hard = 16, .inherited = 13 - free},
                            own_descriptors, nullptr, group, status});
        }
    // clang-format on
    // Calls refused at their first, second or first three uses (ENOMEM unless named), as a short
    // host refuses them: on a request's path, on a socket (socat's), in confinement. A layer of
    // confinement that the kernel lacks is left out. Where the kernel refuses one (and it has
    // filters, so EINVAL from the filter's first call is a refusal), or a shortage lasts, nothing
    // is read or answered, and the status says so. The opens of "wwwroot" are the fence's.
    // Threads start without a try at clone3, which the filter refuses: a call to it kills.
    // clang-format off
    const auto fault_row = [&](const std::string& fault, const std::string& when, bool refuses) {
        const bool socket = fault.starts_with("socket ");
        const auto inject = fault.substr(socket ? 7 : 0) + (fault.find(':') == fault.npos ? ":error=ENOMEM" : "");
        const bool counts_written = coverage_counts && (fault == "read" || fault == "write");
        const std::string fence = refuses && fault.starts_with("openat") ? " -P wwwroot" : "";
        rows.push_back({fault + "@" + (when == "1+" ? "every" : when), [] {
                 return get("/index.html") + get("/secret", basic("root:pw")) +
                        get("/secret.txt", basic("root:pw")) + get("/secret.txt"); },
             refuses ? answers{} : answers{index, empty, guarded, no}, small,
             {.environment = {"RUN=strace -f -qq -o /dev/null" + fence + " -e inject=" + inject + ":when=" + when},
              .wrapper = {"bash", "-c", socket ? "S=$0 exec socat -t 60 - SYSTEM:'exec $RUN \"$S\"'"
                                               : "exec $RUN \"$0\""}},
             counts_written ? coverage_writes : strace_on_static, nullptr, 0, refuses ? confinement_refused : 0});
    };
    // clang-format on
    for (const std::string fault :
         {"openat:error=EMFILE", "fstat", "readlink", "getcwd", "read", "pread64", "write", "mmap",
          "clone3:signal=KILL", "clone:error=EAGAIN", "prctl:error=EINVAL",
          "landlock_create_ruleset:error=ENOSYS", "seccomp:error=EINVAL", "seccomp:error=ENOSYS",
          "socket recvfrom", "socket recvfrom:error=EINTR", "socket sendto",
          "socket sendto:error=EAGAIN", "socket poll"})
        for (const std::string when : {"1", "2", "1..3"})
            fault_row(fault, when, fault == "seccomp:error=EINVAL" && when == "1");
    for (const std::string fault :
         {"prctl:error=EPERM", "seccomp:error=EPERM", "landlock_create_ruleset:error=EPERM",
          "landlock_add_rule:error=EPERM", "landlock_restrict_self:error=EPERM",
          "openat:error=EPERM", "openat:error=EMFILE"})
        fault_row(fault, "1+", true);
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
    if (group) {
        options.wrapper = group->wrapper(options.open_files, row.group_locked);
        options.open_files = 0;
    }
    const auto& dir = (row.served ? site().*row.served : site().main).dir;
    if (row.status != 0) {
        const auto r = run_server(dir, row.input(), options);
        EXPECT_EQ(r.status, row.status);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.consumed, 0) << "bytes of input read";
        return;
    }
    const auto r = expect_answers(dir, row.input(), row.expected, row.name, options);
    std::printf("%s: peak %ld KiB\n", row.name.c_str(), r.peak_kib);
    // Said, not passed over: run-ctest tells each reason once.
    if (sanitized || emulator()) {
        std::printf("LEFT OUT: the peak memory bound, as %s own memory counts in it\n",
                    sanitized ? "the sanitizers'" : "the emulator's");
        return;
    }
    EXPECT_GT(r.peak_kib, 0);
    EXPECT_LT(r.peak_kib, row.peak_kib);
}

INSTANTIATE_TEST_SUITE_P(Hostile, Inputs, testing::ValuesIn(hostile_rows()), row_name{});
