#include "handling/secret.h"

#include <algorithm>

#include "common/fixed.h"
#include "common/rtrim.h"
#include "handling/reader.h"

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

bool secret_permits(const optional_text& password, const for_request& who) {
    if (!password) return false;
    optional_text expected = reader(password_file, who).get();
    if (!expected) return false;
    const text trimmed = rtrim(std::move(*expected));
    if (trimmed.empty()) return false;
    return same_text(*password, trimmed);
}
