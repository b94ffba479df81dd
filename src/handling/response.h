#pragma once
#include <cstddef>
#include <string_view>

#include "common/text.h"

// Bytes reserved in front of a body for the status line and headers, so the
// whole response is written from one buffer without copying the body.
inline constexpr std::size_t head_room = 256;

enum class outcome { not_found, refused, permitted };

// Returns the complete response: the head for the outcome written into the
// room in front of the body (buffer holds head_room bytes, then the body), or,
// for an empty buffer, the whole answer without a body. Allocates nothing.
std::string_view compose(text& buffer, outcome result);
