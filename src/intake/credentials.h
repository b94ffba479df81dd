#pragma once
#include <optional>
#include <string_view>

#include "common/request_info.h"

// Returns the payload of "Authorization: +Basic (.+)" taken whole, or nothing.
std::optional<std::string_view> match_authorization(std::string_view line);

// Returns the password of "root:(.*)" taken whole, or nothing.
std::optional<std::string_view> match_root(std::string_view decoded);

// Sets request.auth from a header line that carries Basic credentials of user
// "root"; any other line leaves the request as it was.
void credential_rule(std::string_view line, request_info& request);
