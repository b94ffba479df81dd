// Server CPU per request on one kept-alive socket: "keepalive RUNS REQUESTS
// PROGRAM [ARGS...]" starts the program on one end of a socket pair, sends it REQUESTS
// requests for /small.txt one at a time, each once the answer before it has
// come whole, and prints the median, over RUNS runs, of the server's user and
// system time per request, in nanoseconds.
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// Reads one whole answer, by its Content-Length; false when the server ended.
bool read_answer(int fd, std::string& pending) {
    char buffer[64 << 10];
    for (;;) {
        const auto head = pending.find("\r\n\r\n");
        if (head != std::string::npos) {
            const auto at = pending.find("Content-Length: ");
            const std::size_t whole =
                head + 4 + std::strtoull(pending.c_str() + at + 16, nullptr, 10);
            if (pending.size() >= whole) {
                pending.erase(0, whole);
                return true;
            }
        }
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) return false;
        pending.append(buffer, static_cast<std::size_t>(n));
    }
}

long run_once(char** program, int requests) {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) std::exit(1);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(pair[1], 0);
        ::dup2(pair[1], 1);
        ::execv(program[0], program);
        ::_exit(127);
    }
    ::close(pair[1]);
    const std::string request = "GET /small.txt HTTP/1.1\r\nHost: b\r\n\r\n";
    std::string pending;
    for (int i = 0; i < requests; ++i)
        if (::write(pair[0], request.data(), request.size()) !=
                static_cast<ssize_t>(request.size()) ||
            !read_answer(pair[0], pending))
            std::exit(1);
    ::shutdown(pair[0], SHUT_WR);
    char rest[4096];
    while (::read(pair[0], rest, sizeof rest) > 0) {
    }
    ::close(pair[0]);
    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) std::exit(1);
    const long nanos = (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000000000L +
                       (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1000L;
    return nanos / requests;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) return 2;
    const int runs = std::atoi(argv[1]), requests = std::atoi(argv[2]);
    std::vector<long> each;
    for (int i = 0; i < runs; ++i) each.push_back(run_once(argv + 3, requests));
    std::sort(each.begin(), each.end());
    std::printf("%ld\n", each[each.size() / 2]);
    return 0;
}
