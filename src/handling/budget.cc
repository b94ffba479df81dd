#include "handling/budget.h"

#include <dirent.h>
#include <sys/resource.h>

#include <cstdlib>

#include "common/failure.h"

namespace {

// Descriptors the process may still open: its limit less those it holds,
// the standard streams and whatever the activator left open.
std::size_t free_descriptors() {
    rlimit lim;
    if (::getrlimit(RLIMIT_NOFILE, &lim) != 0 || lim.rlim_cur == RLIM_INFINITY) return 1 << 20;
    // Only numbers below the limit take room that an open could use. The
    // listing holds one descriptor itself, and it is among those listed.
    DIR* fds = persist([] { return ::opendir("/proc/self/fd"); });
    if (!fds) return lim.rlim_cur > 3 ? lim.rlim_cur - 3 : 0;
    std::size_t held = 0;
    while (const dirent* e = ::readdir(fds))
        if (e->d_name[0] != '.' && std::strtoull(e->d_name, nullptr, 10) < lim.rlim_cur) ++held;
    ::closedir(fds);
    return lim.rlim_cur - (held - 1);
}

}  // namespace

gate& body_bytes() {
    static gate bodies(body_budget);
    return bodies;
}

gate& descriptors() {
    // Made once, after the loop has raised the soft limit.
    static gate open(free_descriptors(), worker_descriptors);
    return open;
}
