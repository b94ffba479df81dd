// The floors for the benchmark: the file work of each request and nothing
// else. Reads request lines from standard input and, for each, resolves the
// target, opens it, reads it in 42-byte reads, closes it and writes one
// response. Plain, on one thread; with the argument "threads", each request
// on a detached thread of its own with a 16 KiB stack, and the process ends
// once all have written: the least that a thread per request can cost.
#include <fcntl.h>
#include <pthread.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

namespace {

std::mutex output;
std::atomic<unsigned> running{0};

void answer(const std::string& target) {
    char* resolved = ::realpath(target.c_str(), nullptr);
    std::free(resolved);
    int fd = ::open(target.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st;
    std::size_t size = fd >= 0 && ::fstat(fd, &st) == 0 ? static_cast<std::size_t>(st.st_size) : 0;
    std::string response =
        "HTTP/1.1 200 Take this!\r\nContent-Length: " + std::to_string(size) + "\r\n\r\n";
    std::size_t head = response.size();
    response.resize(head + size + 42);
    std::size_t used = head;
    ssize_t n;
    while (fd >= 0 && (n = ::read(fd, response.data() + used, 42)) > 0)
        used += static_cast<std::size_t>(n);
    if (fd >= 0) ::close(fd);
    response.resize(used);
    std::lock_guard hold(output);
    for (std::size_t at = 0; at < response.size();) {
        n = ::write(1, response.data() + at, response.size() - at);
        if (n <= 0) ::_exit(1);
        at += static_cast<std::size_t>(n);
    }
}

void* run(void* target) {
    answer(*static_cast<std::string*>(target));
    delete static_cast<std::string*>(target);
    running.fetch_sub(1);
    running.notify_all();
    return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    const bool threads = argc > 1 && std::strcmp(argv[1], "threads") == 0;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_attr_setstacksize(&attr, 16 << 10);
    char line[8192];
    while (std::fgets(line, sizeof line, stdin)) {
        if (std::strncmp(line, "GET ", 4) != 0) continue;
        char* end = std::strchr(line + 4, ' ');
        if (!end) continue;
        std::string target = "wwwroot/" + std::string(line + 4, end);
        if (!threads) {
            answer(target);
            continue;
        }
        running.fetch_add(1);
        pthread_t thread;
        auto* own = new std::string(std::move(target));
        while (pthread_create(&thread, &attr, run, own) != 0) {
        }
    }
    for (auto n = running.load(); n != 0; n = running.load()) running.wait(n);
    return 0;
}
