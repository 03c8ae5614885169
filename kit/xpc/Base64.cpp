#include "kit/xpc/Base64.h"

#include <array>
#include <cstdint>

namespace velmora::kit::xpc {

namespace {
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<int8_t, 256> makeReverse() {
    std::array<int8_t, 256> table{};
    for (auto& entry : table) entry = -1;
    for (int i = 0; i < 64; ++i) table[static_cast<unsigned char>(kAlphabet[i])] = static_cast<int8_t>(i);
    return table;
}
constexpr auto kReverse = makeReverse();
}  // namespace

// Both directions write into a string sized once, rather than appending a character at a time.
std::string base64Encode(std::string_view bytes) {
    std::string out((bytes.size() + 2) / 3 * 4, '=');
    const auto* in = reinterpret_cast<const unsigned char*>(bytes.data());
    char* to = out.data();
    size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3, to += 4) {
        uint32_t group = uint32_t{in[i]} << 16 | uint32_t{in[i + 1]} << 8 | in[i + 2];
        to[0] = kAlphabet[group >> 18 & 63];
        to[1] = kAlphabet[group >> 12 & 63];
        to[2] = kAlphabet[group >> 6 & 63];
        to[3] = kAlphabet[group & 63];
    }
    size_t rest = bytes.size() - i;
    if (rest > 0) {
        uint32_t group = uint32_t{in[i]} << 16;
        if (rest == 2) group |= uint32_t{in[i + 1]} << 8;
        to[0] = kAlphabet[group >> 18 & 63];
        to[1] = kAlphabet[group >> 12 & 63];
        if (rest == 2) to[2] = kAlphabet[group >> 6 & 63];
    }
    return out;
}

std::optional<std::string> base64Decode(std::string_view text) {
    if (text.size() % 4 != 0) return std::nullopt;
    std::string out(text.size() / 4 * 3, '\0');
    char* to = out.data();
    const auto* in = reinterpret_cast<const unsigned char*>(text.data());
    // Every group but the last is four alphabet characters: '=' is not in the table, so it fails here.
    const size_t whole = text.empty() ? 0 : text.size() - 4;
    for (size_t i = 0; i < whole; i += 4, to += 3) {
        int a = kReverse[in[i]], b = kReverse[in[i + 1]], c = kReverse[in[i + 2]], d = kReverse[in[i + 3]];
        if ((a | b | c | d) < 0) return std::nullopt;
        uint32_t group = uint32_t(a) << 18 | uint32_t(b) << 12 | uint32_t(c) << 6 | uint32_t(d);
        to[0] = static_cast<char>(group >> 16 & 0xFF);
        to[1] = static_cast<char>(group >> 8 & 0xFF);
        to[2] = static_cast<char>(group & 0xFF);
    }
    if (text.empty()) return out;
    int padding = 0;
    uint32_t group = 0;
    for (size_t j = whole; j < text.size(); ++j) {
        if (in[j] == '=') {
            // Padding only in the last two places, and nothing after it.
            if (j < whole + 2) return std::nullopt;
            ++padding;
            group <<= 6;
            continue;
        }
        if (padding > 0) return std::nullopt;
        int value = kReverse[in[j]];
        if (value < 0) return std::nullopt;
        group = group << 6 | static_cast<uint32_t>(value);
    }
    if ((padding == 1 && (group & 0xFF) != 0) || (padding == 2 && (group & 0xFFFF) != 0)) return std::nullopt;
    to[0] = static_cast<char>(group >> 16 & 0xFF);
    if (padding < 2) to[1] = static_cast<char>(group >> 8 & 0xFF);
    if (padding < 1) to[2] = static_cast<char>(group & 0xFF);
    out.resize(out.size() - static_cast<size_t>(padding));
    return out;
}

}  // namespace velmora::kit::xpc
