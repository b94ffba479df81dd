#pragma once
#include <cstddef>
#include <string_view>

#include "common/text.h"
#include "handling/reader.h"

// True when a resolved path must be guarded: it contains "secret" anywhere.
bool guarded(std::string_view resolved);

// True when both texts have the same length and bytes, in time that depends
// only on their lengths.
bool same_text(std::string_view a, std::string_view b);

// True when the password sent with the request equals the trimmed content
// of "password.txt". A file that is missing, unreadable or empty after
// trimming permits no one.
bool secret_permits(const optional_text& password, const for_request& who);
