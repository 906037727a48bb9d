// Profile blocks: input = point_count (u32), flags (u8; bit 0: the descriptor carries an
// uncompressed byte count), uncompressed_byte_count (u32), first and last m/z (f64),
// then the block (16-byte preamble and LZF stream).
#include <string_view>

#include "fuzz_input.hpp"
#include "raw/msprofile.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    corvane::fuzz::FieldReader in({data, size});
    corvane::raw::BlockRef ref;
    ref.format_id = 1;
    ref.point_count = in.take<std::uint32_t>();
    const auto flags = in.take<std::uint8_t>();
    const auto ucb = in.take<std::uint32_t>();
    if ((flags & 1) != 0) ref.uncompressed_byte_count = ucb;
    const auto first = in.take<double>();
    const auto last = in.take<double>();
    const auto block = in.rest();
    ref.byte_count = static_cast<std::uint32_t>(block.size());

    auto decoded = corvane::raw::decode_profile_block(block, ref, first, last);
    const std::uint64_t n = ref.point_count;
    if (!decoded) {
        const auto* parse = decoded.error().as_parse();
        FUZZ_CHECK(parse != nullptr);
        const std::string_view m = parse->message;
        FUZZ_CHECK(m == "MSProfile block too short for preamble" ||
                   m == "Missing UncompressedByteCount for profile block" || m.starts_with("LZF: ") ||
                   m == "Decompressed profile block too short for point count");
        return 0;
    }
    FUZZ_CHECK(block.size() >= 16 && ref.uncompressed_byte_count);
    // Every point's intensity came out of the expanded data, which holds a 16-byte header.
    FUZZ_CHECK(n == 0 || 16 + 4 * n <= *ref.uncompressed_byte_count);
    FUZZ_CHECK(decoded->mz.size() == n && decoded->intensity.size() == n);
    return 0;
}
