#pragma once
// The server's fixed numbers: it takes no options.
#include <chrono>
#include <cstddef>
#include <string_view>

// The served folder and the password file, in the working directory.
inline constexpr char root_folder[] = "wwwroot";
inline constexpr char password_file[] = "password.txt";

// A file whose resolved path contains this is guarded by the password.
inline constexpr std::string_view guard_word = "secret";

// Requests answered at most in one run.
inline constexpr std::size_t max_requests = 1000;

// How long a client on a socket may take over one header block, and how long
// a write to it may make no progress: 60 s. A test build links shorter ones,
// so that waiting them out takes seconds.
extern const std::chrono::seconds idle_limit;
extern const std::chrono::seconds stall_limit;
