// The scan index parser on arbitrary bytes: either a parse error from its fixed list, or
// an index whose shape matches the file (record count, layouts, descriptor kinds).
#include <string_view>

#include "fuzz_input.hpp"
#include "raw/msscan.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const corvane::Bytes bytes(data, size);
    auto scan = corvane::raw::MSScan::from_bytes(bytes);
    if (!scan) {
        const auto* parse = scan.error().as_parse();
        FUZZ_CHECK(parse != nullptr);
        const std::string_view m = parse->message;
        FUZZ_CHECK(m == "MSScan.bin too small for header" || m.starts_with("Invalid MSScan magic: ") ||
                   m == "MSScan.bin truncated header" ||
                   m.starts_with("Cannot determine record stride for payload len "));
        return 0;
    }
    const std::uint32_t stride = scan->record_stride;
    FUZZ_CHECK(stride == 186 || stride == 196 || stride == 216 || stride == 220 || stride == 284);
    FUZZ_CHECK(scan->payload_offset <= size);
    const std::size_t len = size - scan->payload_offset;
    FUZZ_CHECK(len % stride == 0 && scan->records.size() == len / stride);
    for (const auto& r : scan->records) {
        FUZZ_CHECK(r.mrm_channel.has_value() == (stride == 186 || stride == 196));
        FUZZ_CHECK(r.mz_first.has_value() == (stride == 284) && r.mz_last.has_value() == (stride == 284));
        FUZZ_CHECK(r.msn_value_1.has_value() == r.msn_value_2.has_value());
        FUZZ_CHECK(!r.msn_value_1 || (r.ms_level >= 2 && stride >= 216));
        FUZZ_CHECK(r.ms_level <= 0xFFFF);
        if (r.profile_block) {
            FUZZ_CHECK(r.profile_block->format_id == 1 && r.profile_block->uncompressed_byte_count);
        }
        if (r.peak_block) {
            FUZZ_CHECK(r.peak_block->format_id == 2 || r.peak_block->format_id == 3);
            FUZZ_CHECK(!r.peak_block->uncompressed_byte_count);
        }
    }
    return 0;
}
