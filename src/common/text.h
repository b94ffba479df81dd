#pragma once
// Text is a byte string of any length and any byte values; no encoding is assumed.
#include <optional>
#include <string>

using text = std::string;
// A text that may be absent; absent and empty are different.
using optional_text = std::optional<text>;

// Frees what a text holds: assigning an empty text may keep its memory.
inline void release(text& t) {
    text().swap(t);
}
