#pragma once
#include <cstddef>

#include "handling/budget.h"
#include "intake/request_info.h"

// Answers request number (numbered from 0 in the order the requests arrived)
// on standard output with 200, 401 or 404, after every earlier answer.
void handle_request(request_info request, std::size_t number, budgets& shared);

// Returns the path below "wwwroot" that a request path names.
text target_path(const text& path);
