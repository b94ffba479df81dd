#pragma once
// The answers of a connection, written in the order of their requests.
#include <cstddef>

#include "common/gate.h"
#include "common/text.h"
#include "handling/response.h"

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
