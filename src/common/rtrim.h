#pragma once
#include <string_view>

#include "common/text.h"

// True for the bytes the C locale calls white space: space, \t, \n, \v, \f, \r.
constexpr bool is_space(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// Returns the text without its trailing run of white space; nothing else changes.
text rtrim(text s);
