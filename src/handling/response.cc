#include "handling/response.h"

#include <array>
#include <charconv>
#include <cstring>

namespace {

// The texts joined at compile time, so no answer allocates to be written.
template <std::size_t... n>
constexpr auto join(const char (&... parts)[n]) {
    std::array<char, (n + ...) - sizeof...(n)> out{};
    std::size_t at = 0;
    for (std::string_view part : {std::string_view(parts, n - 1)...})
        for (char c : part) out[at++] = c;
    return out;
}

constexpr char not_found_line[] =
    "HTTP/1.1 404 I lost that long ago, or maybe I never had it, in any case it's not there "
    "now.\r\n";
constexpr char refused_line[] = "HTTP/1.1 401 You shall not pass.\r\n";
constexpr char realm_line[] = "WWW-Authenticate: Basic realm=\"secrets of qor\"\r\n";
constexpr char permitted_line[] = "HTTP/1.1 200 Take this!\r\n";
constexpr char length_name[] = "Content-Length: ";
constexpr char empty_length[] = "Content-Length: 0\r\n\r\n";

constexpr auto not_found_bare = join(not_found_line, empty_length);
constexpr auto refused_bare = join(refused_line, realm_line, empty_length);
constexpr auto permitted_bare = join(permitted_line, empty_length);

struct status {
    std::string_view line;
    std::string_view extra;
    std::string_view bare;  // the whole answer with an empty body
};

constexpr auto view = [](const auto& a) { return std::string_view(a.data(), a.size()); };
constexpr status heads[] = {
    {not_found_line, "", view(not_found_bare)},
    {refused_line, realm_line, view(refused_bare)},
    {permitted_line, "", view(permitted_bare)},
};

constexpr std::size_t longest_count = 20;  // digits of the largest 64-bit count

static_assert([] {
    for (const auto& h : heads)
        if (h.line.size() + h.extra.size() + sizeof length_name + longest_count + 4 > head_room)
            return false;
    return true;
}());

}  // namespace

std::string_view compose(text& buffer, outcome result) {
    const status& h = heads[static_cast<int>(result)];
    if (buffer.empty()) return h.bare;
    char count[longest_count];
    const auto digits = std::to_chars(count, count + sizeof count, buffer.size() - head_room).ptr;
    const std::string_view parts[] = {h.line, h.extra, length_name, std::string_view(count, digits),
                                      "\r\n\r\n"};
    std::size_t start = head_room;
    for (auto part : parts) start -= part.size();
    std::size_t at = start;
    for (auto part : parts) {
        std::memcpy(buffer.data() + at, part.data(), part.size());
        at += part.size();
    }
    return std::string_view(buffer).substr(start);
}
