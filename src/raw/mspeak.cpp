#include "raw/mspeak.hpp"

#include <string>

namespace corvane::raw {

namespace {

constexpr std::uint32_t planar_scaled = 2;  // n doubles (m/z x 100), then n singles
constexpr std::uint32_t interleaved = 3;    // n records of double m/z + single intensity
constexpr std::uint64_t bytes_per_peak = 12;
constexpr double planar_mz_scale = 100.0;

}  // namespace

Result<DecodedBlock> decode_peak_block(Bytes block, const BlockRef& ref) {
    if (ref.format_id != planar_scaled && ref.format_id != interleaved) {
        return parse_error("Unknown peak format ID: " + std::to_string(ref.format_id));
    }
    const std::size_t n = ref.point_count;
    // 64-bit product of a 32-bit count: cannot overflow.
    if (block.size() < bytes_per_peak * n) return parse_error("Truncated MSPeak.bin block");

    // n is now bounded by the block's real length.
    DecodedBlock out;
    out.mz.resize(n);
    out.intensity.resize(n);
    if (ref.format_id == interleaved) {
        for (std::size_t i = 0; i < n; ++i) {
            out.mz[i] = load_le<double>(block, 12 * i);
            out.intensity[i] = load_le<float>(block, 12 * i + 8);
        }
    } else {
        // Division, not multiplication by 0.01: the two differ in the last bit.
        for (std::size_t i = 0; i < n; ++i) out.mz[i] = load_le<double>(block, 8 * i) / planar_mz_scale;
        for (std::size_t i = 0; i < n; ++i) out.intensity[i] = load_le<float>(block, 8 * n + 4 * i);
    }
    return out;
}

}  // namespace corvane::raw
