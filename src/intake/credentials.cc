#include "intake/credentials.h"

#include "intake/b64decode.h"

namespace {

// "." of the patterns: any byte but a line feed or a carriage return.
bool single_line(std::string_view s) {
    return s.find_first_of("\r\n") == std::string_view::npos;
}

}  // namespace

std::optional<std::string_view> match_authorization(std::string_view line) {
    constexpr std::string_view name = "Authorization:";
    constexpr std::string_view scheme = "Basic ";
    if (!line.starts_with(name)) return std::nullopt;
    line.remove_prefix(name.size());
    auto spaces = line.find_first_not_of(' ');
    if (spaces == 0 || spaces == std::string_view::npos) return std::nullopt;
    line.remove_prefix(spaces);
    if (!line.starts_with(scheme)) return std::nullopt;
    line.remove_prefix(scheme.size());
    if (line.empty() || !single_line(line)) return std::nullopt;
    return line;
}

std::optional<std::string_view> match_root(std::string_view decoded) {
    constexpr std::string_view user = "root:";
    if (!decoded.starts_with(user)) return std::nullopt;
    decoded.remove_prefix(user.size());
    if (!single_line(decoded)) return std::nullopt;
    return decoded;
}

void credential_rule(std::string_view line, request_info& request) {
    auto payload = match_authorization(line);
    if (!payload) return;
    auto decoded = b64decode(text(*payload));
    if (!decoded) return;
    if (auto password = match_root(*decoded)) request.auth = text(*password);
}
