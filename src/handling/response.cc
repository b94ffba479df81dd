#include "handling/response.h"

#include <unistd.h>

#include <cstring>
#include <mutex>
#include <string>

#include "common/stream.h"

namespace {

struct status {
    std::string_view line;
    std::string_view extra;
};

constexpr status heads[] = {
    {"HTTP/1.1 404 I lost that long ago, or maybe I never had it, in any case it's not "
     "there now.\r\n",
     ""},
    {"HTTP/1.1 401 You shall not pass.\r\n",
     "WWW-Authenticate: Basic realm=\"secrets of qor\"\r\n"},
    {"HTTP/1.1 200 Take this!\r\n", ""},
};

constexpr std::string_view length_name = "Content-Length: ";
constexpr std::size_t longest_count = 20;  // digits of the largest 64-bit count

static_assert([] {
    for (const auto& h : heads)
        if (h.line.size() + h.extra.size() + length_name.size() + longest_count + 4 > head_room)
            return false;
    return true;
}());

}  // namespace

std::string_view compose(text& buffer, outcome result) {
    const status& h = heads[static_cast<int>(result)];
    const std::size_t body = buffer.size() - head_room;
    const text head = text(h.line) + text(h.extra) + text(length_name) +
                      std::to_string(body) + "\r\n\r\n";
    const std::size_t start = head_room - head.size();
    std::memcpy(buffer.data() + start, head.data(), head.size());
    return std::string_view(buffer).substr(start);
}

void send(std::string_view response) {
    static std::mutex standard_output;
    static const bool socket = is_socket(1);
    // Held for the whole write, so responses never interleave.
    std::lock_guard hold(standard_output);
    if (!write_all(1, response, socket ? std::optional(stall_limit) : std::nullopt))
        ::_exit(0);  // nothing more can reach the client
}
