// Centroid peak blocks of MSPeak.bin, in the interleaved (3) or planar scaled (2) format.
#pragma once

#include <vector>

#include "bytes.hpp"
#include "error.hpp"
#include "raw/msscan.hpp"

namespace corvane::raw {

// m/z and intensity arrays of equal length, element i of one belonging to element i
// of the other.
struct DecodedBlock {
    std::vector<double> mz;
    std::vector<float> intensity;
};

// Decodes point_count peaks of the given format. Parse errors, in the order checked:
// "Unknown peak format ID: N", "Truncated MSPeak.bin block" (fewer than 12 x n bytes).
// Bytes past the 12 x n used are ignored; values pass through as stored.
[[nodiscard]] Result<DecodedBlock> decode_peak_block(Bytes block, const BlockRef& ref);

}  // namespace corvane::raw
