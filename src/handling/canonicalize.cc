#include "handling/canonicalize.h"

#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <memory>

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
