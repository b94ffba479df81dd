#pragma once
#include <cstddef>
#include <cstdint>

#include "common/text.h"
#include "handling/budget.h"

// The request a file is opened for: its number, and what every worker shares
// (the descriptors it takes from, the largest body it may hold).
struct for_request {
    std::size_t number;
    budgets& shared;
};

// Owns one descriptor, opened close-on-exec; closes it once when destroyed.
// An open refused for want of descriptors or memory is waited out and tried
// again, so that it never looks like a missing file; when no descriptor can
// ever come back, the service ends instead, at the turn of the request that
// the descriptor is opened for.
class opener {
public:
    opener(const char* path, int flags, const for_request& who);
    opener(const opener&) = delete;
    opener& operator=(const opener&) = delete;
    virtual ~opener();

    // The descriptor, or -1 when the open failed.
    int descriptor() const { return fd; }

protected:
    int fd;
};

// A file located by a handle that does not open it (a device, a FIFO or a
// socket is never opened); only a regular file is then opened to be read,
// through that same handle.
class reader : public opener {
public:
    // Locates path for a request; one too long to open is located by its
    // canonical path.
    reader(const text& path, const for_request& who);

    // True when the file was located.
    bool opened() const { return fd >= 0; }

    // True when the file located is a directory.
    bool is_directory() const;

    // Size of a regular file when it was located; 0 for anything else.
    std::uint64_t size() const;

    // True when the content of a regular file, after room bytes, could ever
    // be held in memory: room and content within the largest body.
    bool holdable(std::size_t room) const;

    // Reads the content of a regular file into out after its first room
    // bytes, up to the size it had when located (out holds room + size()
    // bytes), in 42-byte reads, and cuts out to what was read. False for any
    // other file, or when a read fails.
    bool read(text& out, std::size_t room) const;

    // Returns the whole content of a regular file, or nothing as read and
    // holdable say. Throws std::bad_alloc when memory is short for now.
    optional_text get() const;

private:
    for_request who;
    unsigned mode = 0;
    std::uint64_t bytes = 0;
};
