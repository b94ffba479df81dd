// The floor for the benchmark: the file work of each request and nothing else,
// on one thread. Reads request lines from standard input and, for each, resolves
// the target, opens it, reads it in 42-byte reads, closes it and writes one
// response.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

int main() {
    char line[8192];
    while (std::fgets(line, sizeof line, stdin)) {
        if (std::strncmp(line, "GET ", 4) != 0) continue;
        char* end = std::strchr(line + 4, ' ');
        if (!end) continue;
        std::string target = "wwwroot/" + std::string(line + 4, end);
        char* resolved = ::realpath(target.c_str(), nullptr);
        std::free(resolved);
        int fd = ::open(target.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat st;
        std::size_t size = fd >= 0 && ::fstat(fd, &st) == 0 ? static_cast<std::size_t>(st.st_size) : 0;
        std::string response = "HTTP/1.1 200 Take this!\r\nContent-Length: " +
                               std::to_string(size) + "\r\n\r\n";
        std::size_t head = response.size();
        response.resize(head + size + 42);
        std::size_t used = head;
        ssize_t n;
        while (fd >= 0 && (n = ::read(fd, response.data() + used, 42)) > 0) used += static_cast<std::size_t>(n);
        if (fd >= 0) ::close(fd);
        response.resize(used);
        for (std::size_t at = 0; at < response.size();) {
            n = ::write(1, response.data() + at, response.size() - at);
            if (n <= 0) return 1;
            at += static_cast<std::size_t>(n);
        }
    }
    return 0;
}
