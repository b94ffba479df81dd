#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>

#include "common/text.h"
#include "sys/failure.h"

// Owns one descriptor, opened close-on-exec; closes it once when destroyed.
// A refusal that passes by itself (an interrupted call, memory short for a
// moment) is waited out. A refusal for want of descriptors is reported
// instead: whether one will come back is for the caller to know.
class opener {
public:
    opener(const char* path, int flags);
    opener(const opener&) = delete;
    opener& operator=(const opener&) = delete;
    virtual ~opener();

    // The descriptor, or -1 when the open failed.
    int descriptor() const { return fd; }

    // True when the open failed because the process had no descriptor left.
    bool out_of_descriptors() const { return no_descriptor; }

protected:
    // Opens path into fd, as the constructor does.
    void open(const char* path, int flags);

    int fd = -1;
    bool no_descriptor = false;
};

// Descriptors that a reader holds at most: its handle, and its content while
// it reads.
inline constexpr std::size_t reader_descriptors = 2;

// A file located by a handle that does not open it (a device, a FIFO or a
// socket is never opened); only a regular file is then opened to be read,
// through that same handle.
class reader : public opener {
public:
    // Locates path; one too long to open is located by its canonical path.
    explicit reader(const text& path);

    // True when the file was located.
    bool opened() const { return fd >= 0; }

    // True when the file located is a directory.
    bool is_directory() const;

    // Size of a regular file when it was located; nothing for anything else.
    std::optional<std::uint64_t> size() const;

    // Reads the content of a regular file into out after its first room
    // bytes, up to the size it had when located (out holds room + size()
    // bytes), in 42-byte reads, and cuts out to what was read. Returns
    // nothing when it did; not_now when no descriptor was left to open the
    // content; not_there for any other file, or when a read fails.
    std::optional<failure> read(text& out, std::size_t room) const;

private:
    unsigned mode = 0;
    std::uint64_t bytes = 0;
};
