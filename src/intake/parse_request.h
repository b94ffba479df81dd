#pragma once
#include <optional>

#include "intake/input.h"
#include "intake/request_info.h"

// Reads one header block from the input and returns its request, or nothing
// at end of input, for an empty block, or for a request line not accepted.
std::optional<request_info> parse_request(input& in);
