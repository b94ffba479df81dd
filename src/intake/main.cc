#include "intake/parse_request.h"
#include "intake/workers.h"

namespace {

constexpr int max_requests = 1000;

}  // namespace

// Serves up to max_requests requests from standard input, one worker each,
// and ends with status 0 once every response has been written.
int main() {
    for (int left = max_requests; left > 0; --left) {
        auto request = parse_request();
        if (!request) break;
        dispatch(*request);
    }
    wait_for_workers();
    return 0;
}
