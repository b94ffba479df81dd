#pragma once
// What the workers of one process may hold at once, so that one connection
// cannot take the host's memory or the process's descriptors.
#include <cstddef>

#include "common/gate.h"

// Bytes of response bodies read and not yet written, all workers together.
inline constexpr std::size_t body_budget = 48 << 20;

// Descriptors one worker holds at most at once: the target's handle, and the
// password file's handle and content.
inline constexpr std::size_t worker_descriptors = 3;

// The gate of body bytes, of capacity body_budget.
gate& body_bytes();

// The gate of descriptors: as many as were free when it was first asked for.
gate& descriptors();
