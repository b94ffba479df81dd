#include "handling/canonicalize.h"

#include <stdlib.h>
#include <unistd.h>

#include <charconv>
#include <cstring>
#include <memory>
#include <string_view>

#include "sys/failure.h"

namespace {

struct free_deleter {
    void operator()(char* p) const { ::free(p); }
};
using c_text = std::unique_ptr<char, free_deleter>;

}  // namespace

optional_text canonicalize(const text& path) {
    // The platform sees a path only up to its first NUL.
    const char* p = path.c_str();
    text absolute;
    if (p[0] != '/') {
        c_text cwd(persist([] { return ::getcwd(nullptr, 0); }));
        if (!cwd) return std::nullopt;
        absolute = cwd.get();
        absolute += '/';
    }
    absolute += p;
    c_text resolved(persist([&] { return ::realpath(absolute.c_str(), nullptr); }));
    if (!resolved) return std::nullopt;
    return text(resolved.get());
}

descriptor_link link_of(int descriptor) {
    constexpr std::string_view dir = "/proc/self/fd/";
    descriptor_link name{};
    std::memcpy(name.data(), dir.data(), dir.size());
    std::to_chars(name.data() + dir.size(), name.data() + name.size() - 1, descriptor);
    return name;
}

optional_text canonical_path(int descriptor) {
    // Without a descriptor, the link is not there either.
    const descriptor_link name = link_of(descriptor);
    text out(256, '\0');
    for (;;) {
        auto n = persist([&] { return ::readlink(name.data(), out.data(), out.size()); });
        if (n < 0) return std::nullopt;
        if (static_cast<std::size_t>(n) < out.size()) {
            out.resize(static_cast<std::size_t>(n));
            return out;
        }
        out.resize(out.size() * 2);
    }
}
