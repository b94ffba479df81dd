#pragma once
// The server's fixed numbers: it takes no options.
#include <cstddef>

// Requests answered at most in one run.
inline constexpr std::size_t max_requests = 1000;
