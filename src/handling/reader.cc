#include "handling/reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "handling/canonicalize.h"

namespace {

constexpr std::size_t chunk = 42;

}  // namespace

opener::opener(const char* path, int flags) {
    open(path, flags);
}

void opener::open(const char* path, int flags) {
    fd = persist([&] {
        const int got = ::open(path, flags | O_CLOEXEC);
        // Reported, not waited for: a shortage that persist would wait out.
        if (got < 0 && ::out_of_descriptors(errno)) {
            no_descriptor = true;
            return 0;
        }
        return got;
    });
    if (no_descriptor) fd = -1;
}

opener::~opener() {
    // Closed once and never retried: after an interrupted close the
    // descriptor is already gone.
    if (fd >= 0) ::close(fd);
}

reader::reader(const text& path) : opener(path.c_str(), O_PATH) {
    if (fd < 0 && errno == ENAMETOOLONG) {
        if (auto canonical = canonicalize(path)) open(canonical->c_str(), O_PATH);
    }
    struct stat st;
    if (fd >= 0 && persist([&] { return ::fstat(fd, &st); }) == 0) {
        mode = st.st_mode;
        if (S_ISREG(st.st_mode)) bytes = static_cast<std::uint64_t>(st.st_size);
    }
}

bool reader::is_directory() const {
    return S_ISDIR(mode);
}

std::optional<std::uint64_t> reader::size() const {
    if (!S_ISREG(mode)) return std::nullopt;
    return bytes;
}

std::optional<failure> reader::read(text& out, std::size_t room) const {
    // Only a regular file has a whole content: a device could be read without
    // end, and opening one can have effects of its own.
    if (!S_ISREG(mode)) return failure::not_there;
    // Opening the handle's own link opens the very file located, wherever its
    // path now leads.
    const opener content(link_of(fd).data(), O_RDONLY);
    if (content.out_of_descriptors()) return failure::not_now;
    const int in = content.descriptor();
    if (in < 0) return failure::not_there;
    // Reads at explicit offsets: with many threads sharing the descriptor
    // table, a plain read also takes the file position's lock each time. A
    // file that grows is served as it was when located; one that shrinks, as
    // far as it goes.
    const std::size_t total = out.size();
    std::size_t used = room;
    while (used < total) {
        const auto n = ::pread(in, out.data() + used, std::min(chunk, total - used),
                               static_cast<off_t>(used - room));
        if (n == 0) break;
        if (n > 0) {
            used += static_cast<std::size_t>(n);
        } else if (classify(errno, on::file) == failure::not_now) {
            pause_briefly();
        } else {
            return failure::not_there;
        }
    }
    out.resize(used);
    return std::nullopt;
}
