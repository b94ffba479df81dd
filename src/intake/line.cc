#include "intake/line.h"

#include "common/rtrim.h"

std::optional<line> read_line(std::FILE* in) {
    // Only the main thread reads the input, so the stream's lock buys nothing.
    if (std::feof(in) || std::ferror(in)) return std::nullopt;
    line got;
    bool any = false;
    int c;
    while ((c = getc_unlocked(in)) != EOF) {
        any = true;
        if (c == '\n') break;
        if (got.content.size() < max_line) {
            got.content.push_back(static_cast<char>(c));
        } else if (!is_space(static_cast<char>(c))) {
            // Trailing white space past the bound is trimmed anyway; anything
            // else means the kept bytes are not the whole line.
            got.overlong = true;
        }
    }
    if (!any) return std::nullopt;
    got.content = rtrim(std::move(got.content));
    return got;
}
