#include "sys/stream.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "sys/failure.h"

namespace {

bool passed(deadline until) {
    return until && std::chrono::steady_clock::now() >= *until;
}

}  // namespace

bool is_socket(int fd) {
    struct stat st;
    return persist([&] { return ::fstat(fd, &st); }) == 0 && S_ISSOCK(st.st_mode);
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
        if (n > 0) return true;
        // An error or hang-up counts as ready: the next read or write reports it.
        if (n < 0 && classify(errno, on::stream) != failure::not_now) return true;
        if (n < 0 && how_to_retry(errno) != retry::at_once) pause_briefly();
    }
}

bool wait_to_retry(int fd, short events, int error, deadline until) {
    if (classify(error, on::stream) != failure::not_now) return false;
    switch (how_to_retry(error)) {
    case retry::at_once:
        return true;
    case retry::when_ready:
        return wait_ready(fd, events, until);
    case retry::after_pause:
        break;
    }
    pause_briefly();
    return !passed(until);
}

bool write_all(int fd, std::string_view data, std::optional<std::chrono::milliseconds> stall) {
    // On a socket the write never blocks (so the stall limit can be kept) and
    // never raises SIGPIPE; a pipe may block, which is fine without a limit.
    const bool socket = stall.has_value();
    deadline until;
    while (!data.empty()) {
        const ssize_t n = socket ? ::send(fd, data.data(), data.size(), MSG_DONTWAIT | MSG_NOSIGNAL)
                                 : ::write(fd, data.data(), data.size());
        if (n > 0) {
            data.remove_prefix(static_cast<std::size_t>(n));
            until.reset();
            continue;
        }
        // The stall limit counts from the last write that made progress.
        if (stall && !until) until = std::chrono::steady_clock::now() + *stall;
        if (n < 0 && wait_to_retry(fd, POLLOUT, errno, until)) continue;
        return false;
    }
    return true;
}
