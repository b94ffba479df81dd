#pragma once
#include "common/text.h"

// Returns the canonical absolute path (links, "." and ".." resolved) against
// the current directory, or nothing if any component is missing.
optional_text canonicalize(const text& path);
