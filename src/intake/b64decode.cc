#include "intake/b64decode.h"

#include <array>
#include <string_view>

namespace {

constexpr std::string_view alph =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=";

// Value of every byte: its index in the alphabet, low 6 bits, or 63 when absent.
constexpr std::array<unsigned char, 256> values = [] {
    std::array<unsigned char, 256> v{};
    v.fill(63);
    for (std::size_t i = 0; i < alph.size(); ++i)
        v[static_cast<unsigned char>(alph[i])] = static_cast<unsigned char>(i & 63);
    return v;
}();

}  // namespace

optional_text b64decode(text in) {
    if (in.size() % 4 != 0) return std::nullopt;
    auto first_pad = in.find('=');
    std::size_t padding = first_pad == text::npos ? 0 : in.size() - first_pad;
    std::size_t decoded = in.size() / 4 * 3;
    if (padding > decoded) return std::nullopt;
    text out;
    out.reserve(decoded);
    for (std::size_t i = 0; i < in.size(); i += 4) {
        unsigned long group = 0;
        for (std::size_t k = 0; k < 4; ++k)
            group |= static_cast<unsigned long>(values[static_cast<unsigned char>(in[i + k])])
                     << (18 - 6 * k);
        out.push_back(static_cast<char>(group >> 16 & 0xff));
        out.push_back(static_cast<char>(group >> 8 & 0xff));
        out.push_back(static_cast<char>(group & 0xff));
    }
    out.resize(decoded - padding);
    return out;
}
