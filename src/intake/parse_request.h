#pragma once
#include <optional>

#include "common/request_info.h"
#include "intake/input.h"

// Reads one header block from the input and returns its request, or nothing
// at end of input, for an empty block, for a request line not accepted, or
// for a request that declares a body (read no further than the line that
// declares it).
std::optional<request_info> parse_request(input& in);
