#pragma once
#include <optional>

#include "common/request_info.h"
#include "common/text.h"
#include "handling/allowed.h"
#include "handling/reader.h"
#include "handling/response.h"

// Returns the path below "wwwroot" that a request path names.
text target_path(const text& path);

// Decides a request on the site, holding held descriptors, locating its
// target into file. A permitted answer has a body when file then has a
// size; anything permitted that is neither a directory nor a regular file
// (a FIFO, a device) is not found. Throws std::bad_alloc when memory is
// short for now.
decision decide(const request_info& request, std::optional<reader>& file, std::size_t held);
