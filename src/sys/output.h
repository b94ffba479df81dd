#pragma once
// Standard output, where every answer goes, and the end of the process.
#include <string_view>

// Writes all of data to standard output; on a socket, fails once a write has
// made no progress for the stall limit. False when the client is gone.
bool write_out(std::string_view data);

// Ends the process at once, with status (0 unless it could not serve); the
// coverage build writes its counts first.
[[noreturn]] void leave(int status = 0);
