#include <sys/resource.h>

#include "intake/parse_request.h"
#include "intake/workers.h"

namespace {

constexpr int max_requests = 1000;

// Lets all workers hold their descriptors at once (a file and the password
// file each): the usual soft limit of 1024 is less than that, and a refused
// open would turn into a wrong answer.
void raise_descriptor_limit() {
    rlimit lim;
    if (::getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
        lim.rlim_cur = lim.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &lim);
    }
}

}  // namespace

// Serves up to max_requests requests from standard input, one worker each,
// and ends with status 0 once every response has been written.
int main() {
    raise_descriptor_limit();
    for (int left = max_requests; left > 0; --left) {
        auto request = parse_request();
        if (!request) break;
        dispatch(*request);
    }
    wait_for_workers();
    return 0;
}
