#pragma once
#include "intake/request_info.h"

// Answers one request on standard output with 200, 401 or 404.
void handle_request(request_info request);

// Returns the path below "wwwroot" that a request path names.
text target_path(const text& path);
