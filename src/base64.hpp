// The one base64 encoder (RFC 4648, padded, no line breaks): the mzML writer's arrays,
// the report's data and its script hashes.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

namespace corvane {

// Length of the base64 text for n bytes.
[[nodiscard]] constexpr std::size_t base64_length(std::size_t n) { return (n + 2) / 3 * 4; }

namespace detail {

inline constexpr std::string_view base64_alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The two characters of every 12-bit group: one table look-up per half of a 3-byte group
// instead of one per character (this loop is most of the converter's own work).
inline constexpr std::array<std::array<char, 2>, 4096> base64_pairs = [] {
    std::array<std::array<char, 2>, 4096> pairs{};
    for (std::size_t i = 0; i < pairs.size(); ++i) pairs[i] = {base64_alphabet[i >> 6], base64_alphabet[i & 63]};
    return pairs;
}();

}  // namespace detail

// Writes the base64 text of bytes to out, which holds base64_length(bytes.size()) chars.
inline void base64_encode(std::span<const std::uint8_t> bytes, char* out) {
    static_assert(std::endian::native == std::endian::little, "the 8-byte loads below assume it");
    const auto& pairs = detail::base64_pairs;
    const std::uint8_t* in = bytes.data();
    std::size_t n = bytes.size();
    // Six bytes per step from one 8-byte load, while two spare bytes remain to be read.
    while (n >= 8) {
        std::uint64_t v;
        std::memcpy(&v, in, sizeof v);
        v = std::byteswap(v);  // the first byte on top
        std::memcpy(out, pairs[(v >> 52) & 0xFFF].data(), 2);
        std::memcpy(out + 2, pairs[(v >> 40) & 0xFFF].data(), 2);
        std::memcpy(out + 4, pairs[(v >> 28) & 0xFFF].data(), 2);
        std::memcpy(out + 6, pairs[(v >> 16) & 0xFFF].data(), 2);
        in += 6;
        out += 8;
        n -= 6;
    }
    while (n >= 3) {
        const std::uint32_t v = (std::uint32_t{in[0]} << 16) | (std::uint32_t{in[1]} << 8) | in[2];
        std::memcpy(out, pairs[v >> 12].data(), 2);
        std::memcpy(out + 2, pairs[v & 0xFFF].data(), 2);
        in += 3;
        out += 4;
        n -= 3;
    }
    if (n == 0) return;
    const std::uint32_t v = (std::uint32_t{in[0]} << 16) | (n == 2 ? std::uint32_t{in[1]} << 8 : 0u);
    out[0] = detail::base64_alphabet[v >> 18];
    out[1] = detail::base64_alphabet[(v >> 12) & 63];
    out[2] = n == 2 ? detail::base64_alphabet[(v >> 6) & 63] : '=';
    out[3] = '=';
}

// The base64 text of bytes as a string.
[[nodiscard]] inline std::string base64(std::span<const std::uint8_t> bytes) {
    std::string text(base64_length(bytes.size()), '\0');
    base64_encode(bytes, text.data());
    return text;
}

}  // namespace corvane
