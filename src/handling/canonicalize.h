#pragma once
#include "common/text.h"

// Returns the canonical absolute path (links, "." and ".." resolved) against
// the current directory, or nothing if any component is missing. A shortage
// of memory or descriptors is waited out, never taken for a missing path.
optional_text canonicalize(const text& path);
