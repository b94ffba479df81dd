#include "handling/secret.h"

#include <algorithm>

#include "common/fixed.h"
#include "common/rtrim.h"
#include "handling/reader.h"

namespace {

// A password is one header line at most; a file far past that, trailing
// white space and all, is not one.
constexpr std::uint64_t largest_password_file = 1 << 20;

}  // namespace

bool guarded(std::string_view resolved) {
    return resolved.find(guard_word) != std::string_view::npos;
}

bool same_text(std::string_view a, std::string_view b) {
    // No early exit: every byte of the longer text is looked at.
    unsigned diff = a.size() != b.size();
    const std::size_t n = std::max(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        unsigned char x = i < a.size() ? static_cast<unsigned char>(a[i]) : 0;
        unsigned char y = i < b.size() ? static_cast<unsigned char>(b[i]) : 0;
        diff |= static_cast<unsigned>(x ^ y);
    }
    return diff == 0;
}

std::optional<outcome> secret_permits(const optional_text& password) {
    if (!password) return outcome::refused;
    const reader file(password_file);
    if (file.out_of_descriptors()) return std::nullopt;
    const auto size = file.size();
    if (!size || *size > largest_password_file) return outcome::refused;
    text content(static_cast<std::size_t>(*size), '\0');
    if (const auto failed = file.read(content, 0))
        return *failed == failure::not_now ? std::nullopt : std::optional(outcome::refused);
    const text trimmed = rtrim(std::move(content));
    if (trimmed.empty() || !same_text(*password, trimmed)) return outcome::refused;
    return outcome::permitted;
}
