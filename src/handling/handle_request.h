#pragma once
#include <cstddef>
#include <cstdint>

#include "common/gate.h"
#include "intake/request_info.h"

// Where every worker's bodies are held: made once by main, shared by all.
struct body_memory {
    gate& bytes;                 // bytes of bodies read and not yet written
    std::uint64_t largest_body;  // a body past this can never be held
};

// Answers request number (numbered from 0 in the order the requests arrived)
// on standard output with 200, 401 or 404, after every earlier answer.
void handle_request(request_info request, std::size_t number, const body_memory& memory);

// Returns the path below "wwwroot" that a request path names.
text target_path(const text& path);
