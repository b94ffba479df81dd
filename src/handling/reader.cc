#include "handling/reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>

namespace {

constexpr std::size_t chunk = 42;

}  // namespace

opener::opener(const text& path)
    : fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK)) {}

opener::~opener() {
    // Closed once and never retried: after EINTR the descriptor is already gone.
    if (fd >= 0) ::close(fd);
}

bool reader::is_directory() const {
    struct stat st;
    return fd >= 0 && ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode);
}

optional_text reader::path() const {
    if (fd < 0) return std::nullopt;
    const text link = "/proc/self/fd/" + std::to_string(fd);
    text out(256, '\0');
    for (;;) {
        auto n = ::readlink(link.c_str(), out.data(), out.size());
        if (n < 0) return std::nullopt;
        if (static_cast<std::size_t>(n) < out.size()) {
            out.resize(static_cast<std::size_t>(n));
            return out;
        }
        out.resize(out.size() * 2);
    }
}

optional_text reader::get(std::size_t room) const {
    // Only a regular file has a whole content: a device could be read without end.
    struct stat st;
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    const auto expected = static_cast<std::size_t>(st.st_size);
    // Sized so that a file read whole, and the read that finds its end, need
    // no second buffer.
    text out(room + expected + chunk, '\0');
    std::size_t used = room;
    // Reads at explicit offsets: with many threads sharing the descriptor
    // table, a plain read also takes the file position's lock each time.
    for (;;) {
        if (out.size() - used < chunk) out.resize(std::max(out.size() * 2, used + chunk));
        auto n = ::pread(fd, out.data() + used, chunk, static_cast<off_t>(used - room));
        if (n < 0) return std::nullopt;
        if (n == 0) break;
        used += static_cast<std::size_t>(n);
    }
    out.resize(used);
    return out;
}
