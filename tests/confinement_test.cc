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

// The server confines itself before its first answer. A child confined the
// same way can read its site and start threads, and nothing else.
TEST(Confinement, Confined) {
    if (emulator()) GTEST_SKIP() << under_emulation;
    if (::syscall(SYS_landlock_create_ruleset, nullptr, 0, 1) < 1)
        GTEST_SKIP() << "this kernel offers no Landlock: the server runs without its file fence, "
                        "under its call filter alone";
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
    // every thread at once: none is put on any, and the process must not serve.
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
