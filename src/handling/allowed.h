#pragma once
#include <optional>
#include <string_view>
#include <variant>

#include "common/text.h"
#include "handling/reader.h"
#include "handling/response.h"

// True when path is root itself or lies below it.
bool inside(std::string_view path, std::string_view root);

// Returns the canonical path of "wwwroot", kept once found; nothing until then.
std::optional<std::string_view> served_root();

// Descriptors that a request holds at once while it is decided and read: a
// reader's for its target; for a guarded target with a password sent, also
// a reader's for the password file while the target's handle is held.
inline constexpr std::size_t plain_descriptors = reader_descriptors;
inline constexpr std::size_t guarded_descriptors = 1 + reader_descriptors;

// Why a request is not decided yet: an open found no descriptor left in the
// process, though the request held its share; or its target is guarded and
// it holds fewer than guarded_descriptors.
enum class undecided { no_descriptor, needs_guarded };
using decision = std::variant<outcome, undecided>;

// Decides the request on the file that was opened for target (or, when
// the open failed, on the target's canonical path), holding held
// descriptors.
decision allowed(const reader& file, const text& target, const optional_text& password,
                 std::size_t held);
