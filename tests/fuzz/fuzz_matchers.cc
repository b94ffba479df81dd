// Differential check: each hand-written line matcher against the regular
// expression it stands for. The first byte picks the pattern; lines stay short
// because the reference engine recurses once per character.
#include <cstdlib>
#include <optional>
#include <regex>
#include <string>
#include <string_view>

#include "intake/credentials.h"
#include "intake/request_line.h"

namespace {

using matcher = std::optional<std::string_view> (*)(std::string_view);

struct pattern {
    matcher hand;
    std::regex reference;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    static const pattern patterns[] = {
        {match_request_line, std::regex("^GET (/[^ ]*) HTTP/1\\.1$")},
        {match_authorization, std::regex("^Authorization: +Basic (.+)$")},
        {match_root, std::regex("^root:(.*)$")},
    };
    if (size == 0 || size > 256) return 0;
    const auto& p = patterns[data[0] % 3];
    const std::string line(reinterpret_cast<const char*>(data) + 1, size - 1);
    auto hand = p.hand(line);
    std::smatch m;
    bool matched = std::regex_match(line, m, p.reference);
    if (matched != hand.has_value() || (matched && m[1].str() != *hand)) std::abort();
    return 0;
}
