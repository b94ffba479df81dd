#pragma once
// Waiting on the standard streams: the only places where the server waits for a peer.
#include <chrono>
#include <optional>
#include <string_view>

// The time by which a stream must be ready, or nothing for no limit.
using deadline = std::optional<std::chrono::steady_clock::time_point>;

// True when fd is a socket.
bool is_socket(int fd);

// Waits until fd is ready for events (poll's); false when the deadline passed first.
bool wait_ready(int fd, short events, deadline until);

// After a call on fd failed with errno error, waits until it is worth trying
// again: at once after an interruption, for readiness when it would block, a
// moment after a shortage. False when the connection is gone, or the deadline
// passed first.
bool wait_to_retry(int fd, short events, int error, deadline until);

// Writes all of data to fd, waiting whenever it would block. False when a write
// fails or, with a stall limit, makes no progress for that long.
bool write_all(int fd, std::string_view data, std::optional<std::chrono::milliseconds> stall);
