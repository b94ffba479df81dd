#pragma once
#include <chrono>
#include <cstddef>
#include <string_view>

#include "common/gate.h"
#include "common/text.h"

// Bytes reserved in front of a body for the status line and headers, so the
// whole response is written from one buffer without copying the body.
inline constexpr std::size_t head_room = 256;

enum class outcome { not_found, refused, permitted };

// Returns the complete response: the head for the outcome written into the
// room in front of the body (buffer holds head_room bytes, then the body), or,
// for an empty buffer, the whole answer without a body. Allocates nothing.
std::string_view compose(text& buffer, outcome result);

// A response and what it holds until it is written: the outcome, its buffer
// (head_room bytes, then the body; empty for an answer without a body) and
// the body's share of the budget.
struct answer {
    outcome result{};
    text buffer;
    share held;
};

// Writes the answer to request number (numbered from 0 in the order the
// requests arrived) to standard output as one unit, once every earlier answer
// has been written. An answer ready before its turn is left in its place with
// all it holds, and written by whoever writes the one before it, so the
// caller never waits for its turn. When a write fails, or stalls past the
// limit, the process ends at once with status 0.
void send(answer reply, std::size_t number);

// Ends the process with status 0 once every response before that of request
// number has been written: the service can answer nothing more.
[[noreturn]] void end_service(std::size_t number);
