#pragma once
#include <cstdio>
#include <optional>

#include "intake/request_info.h"

// Reads one header block from the stream and returns its request, or nothing
// at end of input, for an empty block, or for a request line not accepted.
std::optional<request_info> parse_request(std::FILE* in);

// The same, reading standard input.
std::optional<request_info> parse_request();
