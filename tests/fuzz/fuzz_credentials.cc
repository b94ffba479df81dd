// Offers one header line to the credential rule and checks the decoder's promises.
#include <cstdlib>
#include <string>

#include "intake/b64decode.h"
#include "intake/credentials.h"

namespace {

// Standard Base64 with padding, written independently of the decoder.
std::string encode(const std::string& bytes) {
    const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const std::size_t n = std::min<std::size_t>(3, bytes.size() - i);
        unsigned v = 0;
        for (std::size_t k = 0; k < 3; ++k)
            v = v << 8 | (k < n ? static_cast<unsigned char>(bytes[i + k]) : 0u);
        for (std::size_t k = 0; k < 4; ++k) out += k <= n ? alphabet[v >> (18 - 6 * k) & 63] : '=';
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    // The input as bytes, and as a text the decoder reads in place: the
    // address sanitizer stops any read past its end.
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    if (b64decode(encode(bytes)) != bytes) std::abort();
    b64decode(bytes);
    request_info request{"/", std::nullopt};
    credential_rule(bytes, request);
    if (request.auth) {
        auto payload = match_authorization(bytes);
        if (!payload) std::abort();
        auto decoded = b64decode(std::string(*payload));
        if (!decoded || *decoded != "root:" + *request.auth) std::abort();
    }
    return 0;
}
