#include "intake/line.h"

#include "common/rtrim.h"
#include "sys/failure.h"

std::optional<line> read_line(input& in) {
    line got;
    bool any = false;
    int c;
    while ((c = in.get()) != EOF) {
        any = true;
        if (c == '\n') break;
        if (got.content.size() < max_line) {
            // A byte taken from the input is kept through a shortage of memory.
            until_allocated([&] { got.content.push_back(static_cast<char>(c)); });
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
