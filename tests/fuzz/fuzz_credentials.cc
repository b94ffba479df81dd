// Offers one header line to the credential rule and checks the decoder's promises.
#include <cstdlib>
#include <string>

#include "intake/b64decode.h"
#include "intake/credentials.h"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    const std::string line(reinterpret_cast<const char*>(data), size);
    if (auto decoded = b64decode(line)) {
        auto first_pad = line.find('=');
        std::size_t padding = first_pad == std::string::npos ? 0 : line.size() - first_pad;
        if (line.size() % 4 != 0 || decoded->size() + padding != line.size() / 4 * 3)
            std::abort();
    } else if (line.size() % 4 == 0 && line.find('=') >= line.size() / 4) {
        std::abort();
    }
    request_info request{"/", std::nullopt};
    credential_rule(line, request);
    if (request.auth) {
        auto payload = match_authorization(line);
        if (!payload) std::abort();
        auto decoded = b64decode(std::string(*payload));
        if (!decoded || *decoded != "root:" + *request.auth) std::abort();
    }
    return 0;
}
