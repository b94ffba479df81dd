#include "intake/request_line.h"

std::optional<std::string_view> match_request_line(std::string_view line) {
    constexpr std::string_view method = "GET ";
    constexpr std::string_view version = " HTTP/1.1";
    if (!line.starts_with(method)) return std::nullopt;
    line.remove_prefix(method.size());
    // The target cannot hold a space, so it ends at the first one.
    auto end = line.find(' ');
    if (end == std::string_view::npos || line.substr(end) != version) return std::nullopt;
    auto target = line.substr(0, end);
    if (!target.starts_with('/')) return std::nullopt;
    return target;
}
