#include "handling/reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <new>
#include <string>
#include <thread>

#include "handling/canonicalize.h"

namespace {

constexpr std::size_t chunk = 42;

// Errors that say the process or the system is short of something for now.
bool short_of_resources(int error) {
    return error == EMFILE || error == ENFILE || error == ENOMEM || error == EAGAIN ||
           error == EINTR;
}

// Gives other workers time to close descriptors or free memory.
void pause_for_resources() {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

// Opens path close-on-exec, waiting out refusals for want of resources; -1
// for any other failure, with errno saying which.
int open_waiting(const char* path, int flags) {
    for (;;) {
        const int fd = ::open(path, flags | O_CLOEXEC);
        if (fd >= 0 || !short_of_resources(errno)) return fd;
        pause_for_resources();
    }
}

}  // namespace

opener::opener(const text& path, int flags) : fd(open_waiting(path.c_str(), flags)) {}

opener::~opener() {
    // Closed once and never retried: after EINTR the descriptor is already gone.
    if (fd >= 0) ::close(fd);
}

reader::reader(const text& path) : opener(path, O_PATH) {
    if (fd < 0 && errno == ENAMETOOLONG) {
        if (auto canonical = canonicalize(path)) fd = open_waiting(canonical->c_str(), O_PATH);
    }
    struct stat st;
    if (fd >= 0 && ::fstat(fd, &st) == 0) {
        mode = st.st_mode;
        if (S_ISREG(st.st_mode)) bytes = static_cast<std::uint64_t>(st.st_size);
    }
}

bool reader::is_directory() const {
    return S_ISDIR(mode);
}

std::uint64_t reader::size() const {
    return bytes;
}

text reader::self() const {
    return "/proc/self/fd/" + std::to_string(fd);
}

optional_text reader::path() const {
    if (fd < 0) return std::nullopt;
    const text link = self();
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
    // Only a regular file has a whole content: a device could be read without
    // end, and opening one can have effects of its own.
    if (!S_ISREG(mode)) return std::nullopt;
    // Opening the handle's own link opens the very file located, wherever its
    // path now leads.
    const opener content(self(), O_RDONLY);
    const int in = content.descriptor();
    if (in < 0) return std::nullopt;
    text out;
    if (bytes > out.max_size() - room) return std::nullopt;
    const std::size_t total = room + static_cast<std::size_t>(bytes);
    try {
        out.assign(total, '\0');
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
    // Reads at explicit offsets: with many threads sharing the descriptor
    // table, a plain read also takes the file position's lock each time. A
    // file that grows is served as it was when located; one that shrinks, as
    // far as it goes.
    std::size_t used = room;
    while (used < total) {
        const auto n = ::pread(in, out.data() + used, std::min(chunk, total - used),
                               static_cast<off_t>(used - room));
        if (n == 0) break;
        if (n > 0) {
            used += static_cast<std::size_t>(n);
        } else if (short_of_resources(errno)) {
            pause_for_resources();
        } else {
            return std::nullopt;
        }
    }
    out.resize(used);
    return out;
}
