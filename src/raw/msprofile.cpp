#include "raw/msprofile.hpp"

#include <cstdint>
#include <limits>

#include "raw/lzf.hpp"

namespace corvane::raw {

namespace {

constexpr std::size_t preamble_size = 16;  // before the LZF stream, not interpreted
constexpr std::size_t header_size = 16;    // at the start of the expanded data, not interpreted

}  // namespace

Result<DecodedBlock> decode_profile_block(Bytes block, const BlockRef& ref, double first,
                                          double last) {
    if (block.size() < preamble_size) return parse_error("MSProfile block too short for preamble");
    if (!ref.uncompressed_byte_count) {
        return parse_error("Missing UncompressedByteCount for profile block");
    }
    const std::size_t n = ref.point_count;
    if (n == 0) return DecodedBlock{};

    auto expanded =
        lzf::decompress_buffer(block.subspan(preamble_size), *ref.uncompressed_byte_count);
    if (!expanded) return std::unexpected(std::move(expanded.error()));
    const Bytes data = expanded->bytes();
    if (data.size() < header_size || (data.size() - header_size) / 4 < n) {
        return parse_error("Decompressed profile block too short for point count");
    }

    // n is now bounded by the expanded length (itself capped by the decompressor).
    DecodedBlock out;
    out.intensity.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        // Nearest single, ties to even: values above 2^24 lose their low bits.
        out.intensity[i] = static_cast<float>(load_le<std::uint32_t>(data, header_size + 4 * i));
    }
    // Each point from its index, never by repeated addition, so rounding does not drift.
    const double step = n == 1 ? 0.0 : (last - first) / static_cast<double>(n - 1);
    // The expanded data is capped at 2^29 bytes, so n < 2^27 and every index fits an
    // int32, whose conversion to double vectorises (both conversions are exact).
    static_assert(lzf::max_decompressed_len / 4 <= std::numeric_limits<std::int32_t>::max());
    const auto count = static_cast<std::int32_t>(n);
    out.mz.resize(n);
    double* mz = out.mz.data();
    for (std::int32_t i = 0; i < count; ++i) mz[i] = static_cast<double>(i) * step + first;
    return out;
}

}  // namespace corvane::raw
