#pragma once
#include <optional>
#include <string_view>

#include "common/text.h"
#include "handling/reader.h"
#include "handling/response.h"

// True when path is root itself or lies below it.
bool inside(std::string_view path, std::string_view root);

// Returns the canonical path of "wwwroot", kept once found; nothing until then.
std::optional<std::string_view> served_root();

// Decides the request on the file that was opened for target (or, when
// the open failed, on the target's canonical path). Nothing when no
// descriptor was left to decide it: decide again later.
std::optional<outcome> allowed(const reader& file, const text& target,
                               const optional_text& password);
