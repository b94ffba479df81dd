#include "handling/reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <optional>

#include "handling/answers.h"
#include "handling/budget.h"
#include "handling/canonicalize.h"
#include "sys/failure.h"

namespace {

constexpr std::size_t chunk = 42;

// How long a worker that holds every descriptor workers hold waits for one
// to come back before it decides that none will: a refusal that passes (a
// descriptor held for a moment by the activator's library, an injected
// fault) then costs no answer.
constexpr std::chrono::seconds sole_wait{1};

// Opens path close-on-exec, waiting out refusals for want of resources; -1
// for any other failure, with errno saying which. When this worker holds all
// the descriptors that workers hold and the process has had none left for
// sole_wait, none will come back: nothing more can be answered, and the
// service ends.
int open_waiting(const char* path, int flags, const for_request& who) {
    std::optional<std::chrono::steady_clock::time_point> since;
    return persist([&] {
        const int fd = ::open(path, flags | O_CLOEXEC);
        const int error = errno;
        if (fd < 0 && out_of_descriptors(error) &&
            who.shared.descriptors.sole(worker_descriptors)) {
            const auto now = std::chrono::steady_clock::now();
            if (!since)
                since = now;
            else if (now - *since >= sole_wait)
                end_service(who.number);
            errno = error;  // as persist must see it, whatever the calls above left
        }
        return fd;
    });
}

}  // namespace

opener::opener(const char* path, int flags, const for_request& who)
    : fd(open_waiting(path, flags, who)) {}

opener::~opener() {
    // Closed once and never retried: after an interrupted close the
    // descriptor is already gone.
    if (fd >= 0) ::close(fd);
}

reader::reader(const text& path, const for_request& request)
    : opener(path.c_str(), O_PATH, request), who(request) {
    if (fd < 0 && errno == ENAMETOOLONG) {
        if (auto canonical = canonicalize(path)) fd = open_waiting(canonical->c_str(), O_PATH, who);
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

std::uint64_t reader::size() const {
    return bytes;
}

bool reader::holdable(std::size_t room) const {
    return S_ISREG(mode) && bytes <= text().max_size() - room &&
           room + bytes <= who.shared.largest_body;
}

bool reader::read(text& out, std::size_t room) const {
    // Only a regular file has a whole content: a device could be read without
    // end, and opening one can have effects of its own.
    if (!S_ISREG(mode)) return false;
    // Opening the handle's own link opens the very file located, wherever its
    // path now leads.
    const opener content(link_of(fd).data(), O_RDONLY, who);
    const int in = content.descriptor();
    if (in < 0) return false;
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
            return false;
        }
    }
    out.resize(used);
    return true;
}

optional_text reader::get() const {
    if (!holdable(0)) return std::nullopt;
    text out(static_cast<std::size_t>(bytes), '\0');
    if (!read(out, 0)) return std::nullopt;
    return out;
}
