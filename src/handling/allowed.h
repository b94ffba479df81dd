#pragma once
#include <optional>
#include <string_view>

#include "common/text.h"
#include "handling/reader.h"

// True when path is root itself or lies below it.
bool inside(std::string_view path, std::string_view root);

// Returns the canonical path of "wwwroot", kept once found; nothing until then.
std::optional<std::string_view> served_root();

// Decides the request on the file that was opened for target (or, when
// the open failed, on the target's canonical path): nothing for not found,
// false for refused, true for permitted.
std::optional<bool> allowed(const reader& file, const text& target, const optional_text& password,
                            const for_request& who);
