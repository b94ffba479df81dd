// Feeds a whole input stream to the parser and checks what every request it yields must be.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "intake/parse_request.h"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    const int fd = ::memfd_create("input", MFD_CLOEXEC);
    if (fd < 0 || ::write(fd, data, size) != static_cast<ssize_t>(size) ||
        ::lseek(fd, 0, SEEK_SET) != 0)
        std::abort();
    input in(fd);
    for (int left = 1000; left > 0; --left) {
        auto request = parse_request(in);
        if (!request) break;
        const auto& p = request->path;
        if (p.empty() || p[0] != '/' || p.find(' ') != std::string::npos || p.size() > 8192)
            std::abort();
        if (request->auth && request->auth->find_first_of("\r\n") != std::string::npos)
            std::abort();
    }
    ::close(fd);
    return 0;
}
