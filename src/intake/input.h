#pragma once
// Standard input, read through a buffer of our own so that a socket's idle
// limit can be kept and a non-blocking descriptor is waited on, not taken
// for its end.
#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdio>
#include <memory>

#include "common/fixed.h"
#include "sys/stream.h"

class input {
public:
    // Reads fd; on a socket every header block gets the idle limit.
    explicit input(int fd);
    input(const input&) = delete;
    input& operator=(const input&) = delete;

    // Starts the time of the next header block.
    void start_block();

    // Returns the next byte, or EOF at end of input, on a read error, or once
    // the block's time has run out.
    int get() { return at < end ? static_cast<unsigned char>(buffer[at++]) : refill(); }

    // True when no more input can come: nothing is left unread and the
    // stream has already ended. Never waits; what it reads stays to be got.
    bool over();

    // Reads and throws away what the client still sends, up to limit bytes,
    // until end of input or for at most the given time.
    void drain(std::size_t limit, std::chrono::milliseconds longest);

private:
    int refill();
    // Reads what there is into the buffer, made at the first read and off
    // main's stack, where it spread main's frame over four more pages. It
    // starts small and doubles after each read that filled it: a connection
    // that waits for its first request holds one small block, and a stream
    // of requests soon reads as much at once as the largest holds.
    ssize_t read_some();

    const int fd;
    const bool socket;
    // Late: a block's time ran out, so the service stops, though the client may
    // still send. Ended: end of input or a read error, nothing more will come.
    enum { reading, late, ended } state = reading;
    // The last read on the socket took less than the buffer holds.
    bool drained = false;
    // The last read filled the buffer.
    bool filled = false;
    deadline until;
    std::size_t at = 0, end = 0, size = 0;
    static constexpr std::size_t first_size = 1 << 10, largest_size = 16 << 10;
    std::unique_ptr<char[]> buffer;
};
