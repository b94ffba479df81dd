// Confinement: what a process confined as the server is may do, and that
// the server is confined before its first answer.
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/io_uring.h>
#include <linux/seccomp.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/personality.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <thread>

#include <gtest/gtest.h>

#include "run_server.h"
#include "sys/confine.h"
#include "sys/test_builds.h"

namespace fs = std::filesystem;

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

// Why confinement cannot be judged here, if it cannot.
std::optional<std::string> unjudged() {
    if (emulator()) return under_emulation;
    if (::syscall(SYS_landlock_create_ruleset, nullptr, 0, 1) < 1)
        return "this kernel offers no Landlock: the server runs without its file fence, under "
               "its call filter alone";
    return std::nullopt;
}

namespace {

// What a row may use: a listening unix socket, the test's own pid, a file
// outside the site.
struct context {
    sockaddr_un listening;
    pid_t parent;
    fs::path outside;
};

bool readable(const fs::path& path) {
    return ::open(path.c_str(), O_RDONLY | O_CLOEXEC) >= 0;
}

bool created(const fs::path& path) {
    return ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600) >= 0 &&
           ::unlink(path.c_str()) == 0;
}

struct attempt_row {
    const char* name;
    bool permitted;
    bool (*attempt)(const context&);
    std::optional<bool> without_root = {};  // when wwwroot is made after start
};

const attempt_row attempt_rows[] = {
    {"run /bin/true", false,
     [](const context&) {
         char* no_args[] = {nullptr};
         return ::execv("/bin/true", no_args) == 0;
     }},
    {"fork", leak_checker,
     [](const context&) {
         const pid_t p = ::fork();
         if (p == 0) ::_exit(0);
         return p > 0;
     }},
    {"a UDP socket through io_uring", false,
     [](const context&) { return ring_socket(AF_INET, SOCK_DGRAM, nullptr); }},
    {"connect to a unix socket through io_uring", false,
     [](const context& c) { return ring_socket(AF_UNIX, SOCK_STREAM, &c.listening); }},
    {"create a file in the site", false, [](const context&) { return created("wwwroot/new"); }},
    {"remove a file in the site", false,
     [](const context&) { return ::unlink("wwwroot/in.txt") == 0; }},
    {"chmod a file outside the site", false,
     [](const context& c) { return ::chmod(c.outside.c_str(), 0600) == 0; }},
    {"read /etc/passwd", false, [](const context&) { return readable("/etc/passwd"); }},
    {"list the working directory", false,
     [](const context&) { return ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC) >= 0; }, true},
    {"read another process's limits", false,
     [](const context& c) {
         rlimit l;
         return ::prlimit(c.parent, RLIMIT_CPU, nullptr, &l) == 0;
     }},
    {"signal the parent", false, [](const context& c) { return ::kill(c.parent, 0) == 0; }},
    {"queue a signal to the parent", false,
     [](const context& c) {
         siginfo_t info{};
         info.si_code = SI_QUEUE;
         return ::syscall(SYS_rt_sigqueueinfo, c.parent, 0, &info) == 0;
     }},
    // Unconfined, this fails with ENOTTY when no terminal is there.
    {"type into a terminal", false,
     [](const context&) {
         char c = 'x';
         return ::ioctl(0, TIOCSTI, &c) == 0 || errno == ENOTTY;
     }},
    {"a call on no list", false, [](const context&) { return ::personality(0xffffffff) != -1; }},
    {"read a file in the root", true, [](const context&) { return readable("wwwroot/in.txt"); }},
    {"read a password.txt created after start", true,
     [](const context&) { return readable("password.txt"); }},
    {"read its own limits, signal itself", true,
     [](const context&) {
         rlimit l;
         return ::getrlimit(RLIMIT_NOFILE, &l) == 0 && ::kill(::getpid(), 0) == 0;
     }},
    {"start a thread", true,
     [](const context&) {
         std::thread([] {}).join();
         return true;
     }},
};

}  // namespace

class Confined : public testing::TestWithParam<attempt_row> {};

// A child confined as the server is, once with wwwroot there at start and
// once with it made after, waits for the password file (and wwwroot) to be
// made, then tries the row: only reading its site and starting threads work.
TEST_P(Confined, Attempt) {
    if (const auto why = unjudged()) GTEST_SKIP() << *why;
    const auto& row = GetParam();
    temp_site s({{"wwwroot/in.txt", "in"}, {"outside.txt", "o"}});
    context c{{.sun_family = AF_UNIX, .sun_path = {}}, ::getpid(), s.dir / "outside.txt"};
    const auto socket_path = (s.dir / "listening.sock").string();
    std::strncpy(c.listening.sun_path, socket_path.c_str(), sizeof c.listening.sun_path - 1);
    const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(::bind(listener, reinterpret_cast<const sockaddr*>(&c.listening), sizeof c.listening),
              0);
    ASSERT_EQ(::listen(listener, 4), 0);
    ASSERT_TRUE(readable("/etc/passwd"));
    for (const bool root_at_start : {true, false}) {
        SCOPED_TRACE(root_at_start ? "wwwroot there at start" : "wwwroot made after start");
        fs::remove(s.dir / "password.txt");
        if (!root_at_start) fs::rename(s.dir / "wwwroot", s.dir / "later");
        int results[2], made[2];
        ASSERT_EQ(::pipe(results), 0);
        ASSERT_EQ(::pipe(made), 0);
        const pid_t child = ::fork();
        if (child == 0) {
            char m;
            if (::chdir(s.dir.c_str()) != 0 || confine() != layer::in_force ||
                ::write(results[1], "c", 1) != 1 || ::read(made[0], &m, 1) != 1)
                ::_exit(1);
            ::_exit(::write(results[1], row.attempt(c) ? "1" : "0", 1) == 1 ? 0 : 1);
        }
        ::close(results[1]);
        char confined = 0, got = '?';
        EXPECT_EQ(::read(results[0], &confined, 1), 1) << "not confined";
        s.file("password.txt", "pw\n");
        if (!root_at_start) fs::rename(s.dir / "later", s.dir / "wwwroot");
        EXPECT_EQ(::write(made[1], "m", 1), 1);
        EXPECT_EQ(::read(results[0], &got, 1), 1);
        for (int fd : {results[0], made[0], made[1]}) ::close(fd);
        const bool want = root_at_start ? row.permitted : row.without_root.value_or(row.permitted);
        EXPECT_EQ(got, want ? '1' : '0');
        EXPECT_EQ(wait_server(child), 0);
    }
    ::close(listener);
    EXPECT_EQ(fs::file_size(c.outside), 1u);
}

INSTANTIATE_TEST_SUITE_P(Confinement, Confined, testing::ValuesIn(attempt_rows), row_name{});

// Where another thread has a filter of its own, no filter can be put on
// every thread at once: none is put on any, and the process must not serve.
TEST(Confinement, RefusedWhereAThreadHasAFilterOfItsOwn) {
    if (const auto why = unjudged()) GTEST_SKIP() << *why;
    temp_site s({{"wwwroot/in.txt", "in"}});
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
        const bool refused = confine() == layer::refused;
        char text[4096];
        const auto n = ::read(status, text, sizeof text - 1);
        text[std::max<ssize_t>(n, 0)] = '\0';
        ::_exit(!refused ? 3 : std::strstr(text, "\nSeccomp:\t0\n") ? 0 : 2);
    }
    EXPECT_EQ(wait_server(split), 0)
        << "2: a filter on this thread while another thread has none of ours; 3: not refused";
}

// The server itself is confined once it has answered.
TEST(Confinement, ServerConfinedBeforeItsFirstAnswer) {
    if (const auto why = unjudged()) GTEST_SKIP() << *why;
    temp_site s({{"wwwroot/in.txt", "in"}});
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
