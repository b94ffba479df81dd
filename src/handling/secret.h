#pragma once
#include <optional>
#include <string_view>

#include "common/text.h"
#include "handling/response.h"

// True when a resolved path must be guarded: it contains "secret" anywhere.
bool guarded(std::string_view resolved);

// True when both texts have the same length and bytes, in time that depends
// only on their lengths.
bool same_text(std::string_view a, std::string_view b);

// Permitted when the password sent with the request equals the trimmed
// content of "password.txt", refused otherwise: a file that is missing,
// unreadable, empty after trimming or past a megabyte permits no one.
// Nothing when no descriptor was left to read the file: decide again later.
std::optional<outcome> secret_permits(const optional_text& password);
