// The scan index (MSScan.bin): a 92-byte header and a table of fixed-size scan records
// in one of five layouts (186, 196, 216, 220 or 284 bytes), detected from the data.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "error.hpp"
#include "bytes.hpp"

namespace corvane::raw {

// Where one scan's block lies in MSPeak.bin or MSProfile.bin.
struct BlockRef {
    std::uint32_t format_id = 0;  // 1 profile (LZF), 2 or 3 peak layouts
    std::uint64_t byte_offset = 0;
    std::uint32_t byte_count = 0;
    std::uint32_t point_count = 0;
    std::optional<std::uint32_t> uncompressed_byte_count;  // profile blocks only

    friend bool operator==(const BlockRef&, const BlockRef&) = default;
};

// One scan of the index, decoded from its record.
struct ScanRecord {
    std::uint32_t scan_id = 0;
    double retention_time_min = 0.0;
    std::uint32_t ms_level = 0;
    std::optional<std::uint32_t> mrm_channel;  // 186- and 196-byte records only
    std::optional<double> msn_value_1;         // ms_level >= 2 in 216/220/284-byte records
    std::optional<double> msn_value_2;         // present exactly when msn_value_1 is
    std::optional<double> mz_first;            // 284-byte records only
    std::optional<double> mz_last;             // present exactly when mz_first is
    std::optional<BlockRef> profile_block;     // format 1, with uncompressed_byte_count
    std::optional<BlockRef> peak_block;        // format 2 or 3
};

// The parsed scan index.
struct MSScan {
    std::vector<ScanRecord> records;  // file order, none skipped
    std::uint32_t payload_offset = 0;
    std::uint32_t record_stride = 0;  // 186, 196, 216, 220 or 284
    // Bytes of an incomplete last record that salvage mode left out; 0 for a whole file.
    std::uint64_t bytes_dropped = 0;

    // Reads the whole file and parses it (salvage_bytes when salvage is set). Io error
    // when it cannot be read.
    [[nodiscard]] static Result<MSScan> from_path(const std::string& path, bool salvage = false);

    // Parses a complete index file. Parse errors, first failing check wins:
    // "MSScan.bin too small for header", "Invalid MSScan magic: N",
    // "MSScan.bin truncated header", "Cannot determine record stride for payload len L".
    [[nodiscard]] static Result<MSScan> from_bytes(Bytes bytes);

    // Salvage mode, for an index whose writer stopped inside a record: a file that
    // from_bytes reads gives exactly what from_bytes gives. Otherwise every layout is
    // tried on the complete records it would make of the record area, and the one layout
    // whose records all look like a run (see salvage_supports in msscan.cpp) is taken;
    // the incomplete tail is counted in bytes_dropped. Header errors are from_bytes's;
    // when no layout or more than one is supported, Parse "Cannot salvage MSScan.bin:
    // no record layout explains payload len L" or "Cannot salvage MSScan.bin: record
    // layouts of A and B bytes both explain payload len L".
    [[nodiscard]] static Result<MSScan> salvage_bytes(Bytes bytes);
};

}  // namespace corvane::raw
