#include "sys/output.h"

#include <unistd.h>

#include <optional>

#include "common/fixed.h"
#include "sys/stream.h"

#ifdef STDHTTPD_COVERAGE
extern "C" void __gcov_dump();
#endif

bool write_out(std::string_view data) {
    static const bool socket = is_socket(1);
    return write_all(1, data, socket ? std::optional(stall_limit) : std::nullopt);
}

void leave() {
#ifdef STDHTTPD_COVERAGE
    __gcov_dump();
#endif
    ::_exit(0);
}
