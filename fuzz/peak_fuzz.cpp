// Peak blocks under any descriptor: input = format_id (u32), point_count (u32), block.
// Success means two lists of point_count values read from inside the block.
#include <cstring>
#include <string_view>

#include "fuzz_input.hpp"
#include "raw/mspeak.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    corvane::fuzz::FieldReader in({data, size});
    corvane::raw::BlockRef ref;
    ref.format_id = in.take<std::uint32_t>();
    ref.point_count = in.take<std::uint32_t>();
    const auto block = in.rest();
    ref.byte_count = static_cast<std::uint32_t>(block.size());

    auto decoded = corvane::raw::decode_peak_block(block, ref);
    const std::uint64_t n = ref.point_count;
    if (!decoded) {
        const auto* parse = decoded.error().as_parse();
        FUZZ_CHECK(parse != nullptr);
        const std::string_view m = parse->message;
        if (ref.format_id != 2 && ref.format_id != 3) {
            FUZZ_CHECK(m == "Unknown peak format ID: " + std::to_string(ref.format_id));
        } else {
            FUZZ_CHECK(m == "Truncated MSPeak.bin block" && block.size() < 12 * n);
        }
        return 0;
    }
    FUZZ_CHECK(ref.format_id == 2 || ref.format_id == 3);
    FUZZ_CHECK(block.size() >= 12 * n);
    FUZZ_CHECK(decoded->mz.size() == n && decoded->intensity.size() == n);
    if (n > 0) {
        // The last intensity is stored at the same place in both layouts.
        float last;
        std::memcpy(&last, block.data() + (ref.format_id == 3 ? 12 * n - 4 : 8 * n + 4 * (n - 1)), 4);
        FUZZ_CHECK(std::memcmp(&last, &decoded->intensity.back(), 4) == 0);
    }
    return 0;
}
