#include "intake/framing.h"

#include <algorithm>
#include <cctype>

namespace {

bool same_name(std::string_view a, std::string_view b) {
    return std::ranges::equal(a, b, [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) ==
               std::tolower(static_cast<unsigned char>(y));
    });
}

}  // namespace

framing framing_of(std::string_view line) {
    const auto colon = line.find(':');
    if (colon == std::string_view::npos) return framing::none;
    // White space before the colon is not allowed, but a lenient peer may
    // still read the name: it is not let through unseen.
    auto name = line.substr(0, colon);
    name = name.substr(0, name.find_last_not_of(" \t") + 1);
    if (same_name(name, "Transfer-Encoding")) return framing::body;
    if (!same_name(name, "Content-Length")) return framing::none;
    auto value = line.substr(colon + 1);
    value.remove_prefix(std::min(value.size(), value.find_first_not_of(" \t")));
    const bool zero = !value.empty() && value.find_first_not_of('0') == std::string_view::npos;
    return zero ? framing::empty : framing::body;
}
