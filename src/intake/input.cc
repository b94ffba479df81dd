#include "intake/input.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "sys/failure.h"

input::input(int descriptor) : fd(descriptor), socket(is_socket(descriptor)) {}

void input::start_block() {
    if (socket) until = std::chrono::steady_clock::now() + idle_limit;
}

int input::refill() {
    while (state == reading) {
        // A read that did not fill the buffer took all there was: on a socket
        // the next one waits for more first, instead of failing at once.
        if (drained) {
            drained = false;
            if (!wait_ready(fd, POLLIN, until)) {
                state = late;
                break;
            }
        }
        const ssize_t n = read_some();
        if (n > 0) return static_cast<unsigned char>(buffer[at++]);
        if (n == 0) {
            state = ended;
            break;
        }
        const int error = errno;
        if (wait_to_retry(fd, POLLIN, error, until)) continue;
        // Out of time while the client is still there, or the connection is gone.
        state = classify(error, on::stream) == failure::not_now ? late : ended;
    }
    return EOF;
}

bool input::over() {
    if (at < end || state == late) return false;
    if (state == ended) return true;
    pollfd ready{fd, POLLIN, 0};
    if (::poll(&ready, 1, 0) != 1) return false;
    if (read_some() == 0) state = ended;
    return state == ended;
}

ssize_t input::read_some() {
    // Every byte of the old buffer has been got when a read is made.
    if (!buffer || (filled && size < largest_size)) {
        const std::size_t larger = buffer ? size * 2 : first_size;
        buffer = until_allocated([&] { return std::make_unique_for_overwrite<char[]>(larger); });
        size = larger;
    }
    // A socket is read without blocking, so its wait can have a limit.
    const ssize_t n =
        socket ? ::recv(fd, buffer.get(), size, MSG_DONTWAIT) : ::read(fd, buffer.get(), size);
    if (n > 0) {
        filled = static_cast<std::size_t>(n) == size;
        drained = socket && !filled;
        at = 0;
        end = static_cast<std::size_t>(n);
    }
    return n;
}

void input::drain(std::size_t limit, std::chrono::milliseconds longest) {
    // Only a socket resets the connection when it is closed with input unread.
    if (!socket || state == ended) return;
    state = reading;
    until = std::chrono::steady_clock::now() + longest;
    std::size_t seen = end - at;
    at = end;
    while (seen < limit && refill() != EOF) {
        seen += end - at + 1;
        at = end;
    }
}
