#include "sys/failure.h"

#include <chrono>
#include <thread>

failure classify(int error, on where) {
    switch (error) {
    // A passing shortage: of memory, descriptors, buffers, or a call cut short.
    case EINTR:
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case ENOMEM:
    case ENOBUFS:
    case EMFILE:
    case ENFILE:
        return failure::not_now;
    default:
        // A stream that fails for any other reason (EPIPE, ECONNRESET, EIO, ...)
        // will not carry an answer again; a file that does is not there.
        return where == on::stream ? failure::gone : failure::not_there;
    }
}

retry how_to_retry(int error) {
    if (error == EINTR) return retry::at_once;
    if (error == EAGAIN || error == EWOULDBLOCK) return retry::when_ready;
    return retry::after_pause;
}

bool out_of_descriptors(int error) {
    return error == EMFILE;
}

void pause_briefly() {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}
