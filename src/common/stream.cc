#include "common/stream.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

bool is_socket(int fd) {
    struct stat st;
    return ::fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode);
}

bool wait_ready(int fd, short events, deadline until) {
    for (;;) {
        int wait_ms = -1;
        if (until) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(
                *until - std::chrono::steady_clock::now());
            if (left.count() <= 0) return false;
            wait_ms = static_cast<int>(std::min<long long>(left.count(), 1 << 30));
        }
        pollfd p{fd, events, 0};
        const int n = ::poll(&p, 1, wait_ms);
        // An error or hang-up counts as ready: the next read or write reports it.
        if (n > 0) return true;
        if (n < 0 && errno != EINTR) return true;
    }
}

bool write_all(int fd, std::string_view data, std::optional<std::chrono::milliseconds> stall) {
    // On a socket the write never blocks (so the stall limit can be kept) and
    // never raises SIGPIPE; a pipe may block, which is fine without a limit.
    const bool socket = stall.has_value();
    while (!data.empty()) {
        const ssize_t n = socket ? ::send(fd, data.data(), data.size(), MSG_DONTWAIT | MSG_NOSIGNAL)
                                 : ::write(fd, data.data(), data.size());
        if (n > 0) {
            data.remove_prefix(static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            deadline until;
            if (stall) until = std::chrono::steady_clock::now() + *stall;
            if (wait_ready(fd, POLLOUT, until)) continue;
        }
        return false;
    }
    return true;
}
