#pragma once
#include <optional>
#include <string_view>

// Returns the target of a line of the form "GET /<no spaces> HTTP/1.1" taken
// whole, or nothing for any other line. Linear in the line's length.
std::optional<std::string_view> match_request_line(std::string_view line);
