// Feeds a whole input stream to the parser and checks what every request it yields must be.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "intake/parse_request.h"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    std::string input(reinterpret_cast<const char*>(data), size);
    std::FILE* in = ::fmemopen(input.data(), input.size(), "r");
    if (!in) return 0;
    for (int left = 1000; left > 0; --left) {
        auto request = parse_request(in);
        if (!request) break;
        const auto& p = request->path;
        if (p.empty() || p[0] != '/' || p.find(' ') != std::string::npos || p.size() > 8192)
            std::abort();
        if (request->auth && request->auth->find_first_of("\r\n") != std::string::npos)
            std::abort();
    }
    std::fclose(in);
    return 0;
}
