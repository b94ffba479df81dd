#pragma once
#include <array>

#include "common/text.h"

// Returns the canonical absolute path (links, "." and ".." resolved) against
// the current directory, or nothing if any component is missing. A shortage
// of memory or descriptors is waited out, never taken for a missing path.
optional_text canonicalize(const text& path);

// The name of a descriptor's own link in /proc, made without allocating.
using descriptor_link = std::array<char, 32>;
descriptor_link link_of(int descriptor);

// Returns the canonical absolute path of the file that a descriptor locates,
// read from its link in /proc, or nothing without one.
optional_text canonical_path(int descriptor);
