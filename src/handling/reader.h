#pragma once
#include <cstddef>

#include "common/text.h"

// Owns one descriptor opened read-only, close-on-exec and non-blocking (so a
// FIFO cannot hang its worker); closes it once when destroyed.
class opener {
public:
    explicit opener(const text& path);
    opener(const opener&) = delete;
    opener& operator=(const opener&) = delete;
    virtual ~opener();

protected:
    int fd;
};

// A file opened once and read through its descriptor.
class reader : public opener {
public:
    using opener::opener;

    // True when the open succeeded.
    bool opened() const { return fd >= 0; }

    // True when the file opened is a directory.
    bool is_directory() const;

    // Returns the canonical absolute path of the opened file itself, or nothing.
    optional_text path() const;

    // Returns room zero bytes followed by the whole content of a regular file,
    // read in 42-byte reads; nothing for any other file, or when the open or
    // any read failed.
    optional_text get(std::size_t room = 0) const;
};
