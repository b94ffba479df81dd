#pragma once
#include <cstddef>
#include <optional>

#include "common/text.h"
#include "intake/input.h"

// Longest line kept, in bytes before its line feed; the rest of a longer line is dropped.
inline constexpr std::size_t max_line = 8192;

// One input line, trimmed on the right. An over-long line keeps only its first
// max_line bytes, and is flagged: its real content is not known.
struct line {
    text content;
    bool overlong = false;
};

// Reads one line up to the next line feed, or nothing at end of input or on a read error.
std::optional<line> read_line(input& in);
