// The scan index parser on arbitrary bytes: either a parse error from its fixed list, or
// an index whose shape matches the file (record count, layouts, descriptor kinds). The
// same bytes in salvage mode: a whole index reads exactly as the plain parse reads it;
// otherwise either one of the salvage messages, or every complete record of one layout
// with the cut tail counted, records that pass the salvage evidence.
#include <string_view>

#include "fuzz_input.hpp"
#include "raw/msscan.hpp"

namespace {

bool known_stride(std::uint32_t stride) {
    return stride == 186 || stride == 196 || stride == 216 || stride == 220 || stride == 284;
}

// Every record has exactly the fields of its layout.
void check_records(const corvane::raw::MSScan& scan) {
    const std::uint32_t stride = scan.record_stride;
    for (const auto& r : scan.records) {
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
}

void check_salvage(corvane::Bytes bytes, const corvane::Result<corvane::raw::MSScan>& plain) {
    auto salvaged = corvane::raw::MSScan::salvage_bytes(bytes);
    if (plain) {
        FUZZ_CHECK(salvaged.has_value());
        FUZZ_CHECK(salvaged->bytes_dropped == 0 && salvaged->record_stride == plain->record_stride);
        FUZZ_CHECK(salvaged->records.size() == plain->records.size());
        return;
    }
    if (!salvaged) {
        const auto* parse = salvaged.error().as_parse();
        FUZZ_CHECK(parse != nullptr);
        const std::string_view m = parse->message;
        // A header error stays the plain parse's; past the header, a salvage message.
        const bool header = !plain.error().as_parse()->message.starts_with("Cannot determine record stride");
        FUZZ_CHECK(header ? salvaged.error() == plain.error() : m.starts_with("Cannot salvage MSScan.bin: "));
        return;
    }
    const std::uint32_t stride = salvaged->record_stride;
    FUZZ_CHECK(known_stride(stride));
    FUZZ_CHECK(salvaged->payload_offset <= bytes.size());
    const std::size_t len = bytes.size() - salvaged->payload_offset;
    FUZZ_CHECK(salvaged->bytes_dropped == len % stride && salvaged->bytes_dropped > 0);
    FUZZ_CHECK(salvaged->records.size() == len / stride && salvaged->records.size() >= 2);
    for (std::size_t i = 0; i < salvaged->records.size(); ++i) {
        const auto& r = salvaged->records[i];
        FUZZ_CHECK(r.ms_level == 1 || r.ms_level == 2);
        FUZZ_CHECK(i == 0 || r.scan_id > salvaged->records[i - 1].scan_id);
    }
    check_records(*salvaged);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const corvane::Bytes bytes(data, size);
    auto scan = corvane::raw::MSScan::from_bytes(bytes);
    check_salvage(bytes, scan);
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
    FUZZ_CHECK(known_stride(stride));
    FUZZ_CHECK(scan->payload_offset <= size);
    const std::size_t len = size - scan->payload_offset;
    FUZZ_CHECK(len % stride == 0 && scan->records.size() == len / stride);
    FUZZ_CHECK(scan->bytes_dropped == 0);
    check_records(*scan);
    return 0;
}
