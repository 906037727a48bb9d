// Profile blocks of MSProfile.bin: a 16-byte preamble and an LZF stream expanding to a
// 16-byte header plus one unsigned 32-bit intensity per point on an evenly spaced axis.
#pragma once

#include "bytes.hpp"
#include "error.hpp"
#include "raw/mspeak.hpp"
#include "raw/msscan.hpp"

namespace corvane::raw {

// Decodes ref.point_count points; m/z of point i is i * step + first with
// step = (last - first) / (n - 1) (0 for one point). Parse errors, in the order checked:
// "MSProfile block too short for preamble", "Missing UncompressedByteCount for profile
// block", then (for n > 0) any LZF error, then "Decompressed profile block too short
// for point count". point_count 0 gives empty arrays without touching the stream.
[[nodiscard]] Result<DecodedBlock> decode_profile_block(Bytes block, const BlockRef& ref,
                                                        double first, double last);

}  // namespace corvane::raw
