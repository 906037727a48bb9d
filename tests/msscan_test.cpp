#include "raw/msscan.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <limits>
#include <string>
#include <vector>

#include "sample_writer.hpp"

namespace corvane::raw {
namespace {

using sample_writer::AcquisitionSpec;
using sample_writer::ByteVec;
using sample_writer::Descriptor;
using sample_writer::scan;
using sample_writer::ScanSpec;
using sample_writer::store_le;

AcquisitionSpec acquisition(std::uint32_t stride, std::vector<ScanSpec> scans) {
    AcquisitionSpec spec;
    spec.stride = stride;
    spec.scans = std::move(scans);
    return spec;
}

ByteVec msscan_bytes(const AcquisitionSpec& spec) {
    auto bytes = sample_writer::build_msscan(spec);
    EXPECT_TRUE(bytes.has_value()) << bytes.error();
    return bytes.value_or(ByteVec{});
}

Result<MSScan> parse(const ByteVec& bytes) { return MSScan::from_bytes(Bytes(bytes)); }

std::string parse_message(const ByteVec& bytes) {
    auto parsed = parse(bytes);
    if (parsed) return "<parsed>";
    return parsed.error().display();
}

// A header with the given magic and payload offset, followed by `payload` bytes of zeros.
ByteVec header(std::uint32_t magic, std::uint32_t payload_offset, std::size_t total) {
    ByteVec bytes(total, 0);
    if (total >= 4) store_le(bytes, 0, magic);
    if (total >= 92) store_le(bytes, 88, payload_offset);
    return bytes;
}

TEST(MSScan, HeaderFailuresInOrder) {
    struct Row {
        const char* name;
        ByteVec bytes;
        const char* message;
    };
    const Row rows[] = {
        {"empty", {}, "parse error: MSScan.bin too small for header"},
        {"91 bytes", header(257, 92, 91), "parse error: MSScan.bin too small for header"},
        {"92 bytes, nothing after", header(257, 92, 92),
         "parse error: Cannot determine record stride for payload len 0"},
        {"magic before offset", header(256, 5000, 100), "parse error: Invalid MSScan magic: 256"},
        {"magic unsigned", header(0xFFFFFFFFu, 92, 100),
         "parse error: Invalid MSScan magic: 4294967295"},
        {"offset equal to length", header(257, 300, 300),
         "parse error: Cannot determine record stride for payload len 0"},
        {"offset one past the end", header(257, 301, 300),
         "parse error: MSScan.bin truncated header"},
        {"offset far past the end", header(257, 0xFFFFFFFFu, 300),
         "parse error: MSScan.bin truncated header"},
        {"record area of 3 bytes", header(257, 92, 95),
         "parse error: Cannot determine record stride for payload len 3"},
        {"no stride divides", header(257, 92, 92 + 1000),
         "parse error: Cannot determine record stride for payload len 1000"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(parse_message(row.bytes), row.message);
    }
}

TEST(MSScan, OneRecordOfEachLayoutPassesWithoutProbe) {
    for (std::uint32_t stride : {284u, 220u, 216u, 196u, 186u}) {
        SCOPED_TRACE(stride);
        // Content that no probe would accept: level 9, scan id 0.
        auto parsed = parse(msscan_bytes(acquisition(stride, {scan(0, 9)})));
        ASSERT_TRUE(parsed.has_value()) << parsed.error().display();
        EXPECT_EQ(parsed->record_stride, stride);
        EXPECT_EQ(parsed->payload_offset, 92u);
        ASSERT_EQ(parsed->records.size(), 1u);
        EXPECT_EQ(parsed->records[0].ms_level, 9u);
    }
}

TEST(MSScan, TwoRecordsDetectTheirLayout) {
    for (std::uint32_t stride : {284u, 220u, 216u, 196u, 186u}) {
        SCOPED_TRACE(stride);
        auto parsed = parse(msscan_bytes(acquisition(stride, {scan(1), scan(2, 2), scan(3)})));
        ASSERT_TRUE(parsed.has_value()) << parsed.error().display();
        EXPECT_EQ(parsed->record_stride, stride);
        ASSERT_EQ(parsed->records.size(), 3u);
        EXPECT_EQ(parsed->records[2].scan_id, 3u);
    }
}

TEST(MSScan, ProbeBounds) {
    struct Row {
        const char* name;
        std::uint32_t first;
        std::uint32_t second;
        std::uint16_t level;
        bool passes;
    };
    const Row rows[] = {
        {"increasing", 1, 2, 1, true},
        {"level 2", 1, 2, 2, true},
        {"level 0", 1, 2, 0, false},
        {"level 3", 1, 2, 3, false},
        {"equal ids", 5, 5, 1, false},
        {"decreasing ids", 5, 4, 1, false},
        {"99999 above", 10, 10 + 99999, 1, true},
        {"100000 above", 10, 10 + 100000, 1, false},
        {"bound wraps", 4294867296u, 4294867297u, 1, false},
        {"just below the wrap", 4294867295u, 4294967294u, 1, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        // 568 bytes: a multiple of 284 only, so a failed probe leaves no stride.
        auto bytes = msscan_bytes(acquisition(284, {scan(row.first), scan(row.second, row.level)}));
        auto parsed = parse(bytes);
        if (row.passes) {
            ASSERT_TRUE(parsed.has_value()) << parsed.error().display();
            EXPECT_EQ(parsed->records.size(), 2u);
        } else {
            EXPECT_EQ(parse_message(bytes),
                      "parse error: Cannot determine record stride for payload len 568");
        }
    }
}

TEST(MSScan, ProbeOrderPrefers220Over216) {
    // 47520 bytes are 216 records of 220 bytes and 220 records of 216 bytes.
    std::vector<ScanSpec> scans;
    for (std::uint32_t i = 0; i < 220; ++i) scans.push_back(scan(i + 1));
    auto as216 = msscan_bytes(acquisition(216, scans));
    ASSERT_EQ(as216.size(), 92u + 47520u);
    // At 220 the probe reads bytes 4..7 of the second 216-byte record (zero): refused.
    auto parsed = parse(as216);
    ASSERT_TRUE(parsed.has_value()) << parsed.error().display();
    EXPECT_EQ(parsed->record_stride, 216u);
    EXPECT_EQ(parsed->records.size(), 220u);

    // Make the probe at 220 plausible too: 220 wins.
    store_le(as216, 92 + 220, std::uint32_t{7});
    store_le(as216, 92 + 240, std::uint16_t{1});
    parsed = parse(as216);
    ASSERT_TRUE(parsed.has_value()) << parsed.error().display();
    EXPECT_EQ(parsed->record_stride, 220u);
    EXPECT_EQ(parsed->records.size(), 216u);
}

TEST(MSScan, ProbeOrderTries220Before186) {
    // 110 records of 186 bytes are 20460 bytes, also 93 records of 220.
    std::vector<ScanSpec> scans;
    for (std::uint32_t i = 0; i < 110; ++i) scans.push_back(scan(i + 1));
    auto bytes = msscan_bytes(acquisition(186, scans));
    auto parsed = parse(bytes);
    ASSERT_TRUE(parsed.has_value()) << parsed.error().display();
    EXPECT_EQ(parsed->record_stride, 186u);
    EXPECT_EQ(parsed->records.size(), 110u);

    store_le(bytes, 92 + 220, std::uint32_t{2});
    store_le(bytes, 92 + 240, std::uint16_t{2});
    parsed = parse(bytes);
    ASSERT_TRUE(parsed.has_value()) << parsed.error().display();
    EXPECT_EQ(parsed->record_stride, 220u);
    EXPECT_EQ(parsed->records.size(), 93u);
}

TEST(MSScan, Fields284) {
    ScanSpec ms1 = scan(7, 1);
    ms1.rt_min = 1.25;
    ms1.mz_first = 100.5;
    ms1.mz_last = 1700.25;
    ms1.msn_value_1 = 11.0;  // stored, but an MS1 record has no msn values
    ms1.msn_value_2 = 12.0;
    ScanSpec ms2 = scan(8, 2);
    ms2.msn_value_1 = 500.25;
    ms2.msn_value_2 = 2.0;
    ms2.mrm_channel = 3;  // not part of this layout
    auto parsed = parse(msscan_bytes(acquisition(284, {ms1, ms2})));
    ASSERT_TRUE(parsed.has_value()) << parsed.error().display();
    const ScanRecord& a = parsed->records[0];
    EXPECT_EQ(a.scan_id, 7u);
    EXPECT_EQ(a.retention_time_min, 1.25);
    EXPECT_EQ(a.mz_first, 100.5);
    EXPECT_EQ(a.mz_last, 1700.25);
    EXPECT_FALSE(a.msn_value_1.has_value());
    EXPECT_FALSE(a.msn_value_2.has_value());
    EXPECT_FALSE(a.mrm_channel.has_value());
    const ScanRecord& b = parsed->records[1];
    EXPECT_EQ(b.msn_value_1, 500.25);
    EXPECT_EQ(b.msn_value_2, 2.0);
    EXPECT_FALSE(b.mrm_channel.has_value());
    EXPECT_EQ(b.mz_first, 0.0);
}

TEST(MSScan, OptionalFieldsByLayout) {
    for (std::uint32_t stride : {284u, 220u, 216u, 196u, 186u}) {
        SCOPED_TRACE(stride);
        ScanSpec s = scan(1, 2);
        s.mrm_channel = 9;
        if (stride >= 216) {
            s.msn_value_1 = 1.5;
            s.msn_value_2 = 2.5;
        }
        auto parsed = parse(msscan_bytes(acquisition(stride, {s})));
        ASSERT_TRUE(parsed.has_value()) << parsed.error().display();
        const ScanRecord& r = parsed->records[0];
        const bool mrm = stride <= 196;
        EXPECT_EQ(r.mrm_channel.has_value(), mrm);
        if (mrm) {
            EXPECT_EQ(*r.mrm_channel, 9u);
        }
        EXPECT_EQ(r.msn_value_1.has_value(), !mrm);
        EXPECT_EQ(r.msn_value_2.has_value(), !mrm);
        EXPECT_EQ(r.mz_first.has_value(), stride == 284);
        EXPECT_EQ(r.mz_last.has_value(), stride == 284);
    }
}

TEST(MSScan, LevelIsSixteenBitsZeroExtended) {
    auto parsed = parse(msscan_bytes(acquisition(220, {scan(1, 0xFFFF)})));
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(parsed->records[0].ms_level, 65535u);
    // Level 65535 counts as a fragment scan.
    EXPECT_TRUE(parsed->records[0].msn_value_1.has_value());
}

TEST(MSScan, WideDescriptors) {
    ScanSpec s = scan(1);
    s.descriptors = {
        {156, 1, 0x100000005ull, 77, 12, 1234},
        {220, 3, 0xFFFFFFFFFFFFFFFFull, 0xFFFFFFFFu, 0xFFFFFFFFu, 999},  // 999 is never read
    };
    auto parsed = parse(msscan_bytes(acquisition(284, {s})));
    ASSERT_TRUE(parsed.has_value());
    const ScanRecord& r = parsed->records[0];
    EXPECT_EQ(r.profile_block, (BlockRef{1, 0x100000005ull, 77, 12, 1234}));
    EXPECT_EQ(r.peak_block,
              (BlockRef{3, 0xFFFFFFFFFFFFFFFFull, 0xFFFFFFFFu, 0xFFFFFFFFu, std::nullopt}));
}

TEST(MSScan, NarrowDescriptorIn186) {
    ScanSpec profile = scan(1);
    profile.descriptors = {{136, 1, 40, 30, 20, 96}};
    ScanSpec peaks = scan(2);
    peaks.descriptors = {{136, 2, 8, 24, 2, std::nullopt}};
    auto parsed = parse(msscan_bytes(acquisition(186, {profile, peaks})));
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(parsed->records[0].profile_block, (BlockRef{1, 40, 30, 20, 96}));
    EXPECT_FALSE(parsed->records[0].peak_block.has_value());
    EXPECT_EQ(parsed->records[1].peak_block, (BlockRef{2, 8, 24, 2, std::nullopt}));
    EXPECT_FALSE(parsed->records[1].profile_block.has_value());
}

TEST(MSScan, NarrowFormatIdIsSixteenBits) {
    // Bytes 138..139 belong to byte_offset in the narrow form, not to the format id.
    ScanSpec s = scan(1);
    s.descriptors = {{136, 3, 0x0101, 12, 1, std::nullopt}};
    auto parsed = parse(msscan_bytes(acquisition(186, {s})));
    ASSERT_TRUE(parsed.has_value());
    ASSERT_TRUE(parsed->records[0].peak_block.has_value());
    EXPECT_EQ(parsed->records[0].peak_block->format_id, 3u);
    EXPECT_EQ(parsed->records[0].peak_block->byte_offset, 0x0101u);
}

TEST(MSScan, DescriptorPrecedenceIn284) {
    struct Row {
        const char* name;
        std::uint32_t at156;
        std::uint32_t at220;
        std::optional<std::uint64_t> profile_offset;  // byte_offset of the kept profile block
        std::optional<std::uint64_t> peak_offset;
    };
    const Row rows[] = {
        {"profile then peaks", 1, 3, 156, 220},
        {"peaks then profile", 2, 1, 220, 156},
        {"two peak descriptors: the later wins", 3, 2, std::nullopt, 220},
        {"two profile descriptors: the later wins", 1, 1, 220, std::nullopt},
        {"format 0 is no block", 0, 0, std::nullopt, std::nullopt},
        {"format 4 is no block", 4, 3, std::nullopt, 220},
        {"ignored later descriptor leaves the earlier", 2, 0xFFFFFFFFu, std::nullopt, 156},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ScanSpec s = scan(1);
        // byte_offset says which descriptor a block came from.
        s.descriptors = {{156, row.at156, 156, 10, 1, std::nullopt},
                         {220, row.at220, 220, 10, 1, std::nullopt}};
        auto parsed = parse(msscan_bytes(acquisition(284, {s})));
        ASSERT_TRUE(parsed.has_value());
        const ScanRecord& r = parsed->records[0];
        ASSERT_EQ(r.profile_block.has_value(), row.profile_offset.has_value());
        ASSERT_EQ(r.peak_block.has_value(), row.peak_offset.has_value());
        if (r.profile_block) {
            EXPECT_EQ(r.profile_block->byte_offset, *row.profile_offset);
            EXPECT_TRUE(r.profile_block->uncompressed_byte_count.has_value());
        }
        if (r.peak_block) {
            EXPECT_EQ(r.peak_block->byte_offset, *row.peak_offset);
            EXPECT_FALSE(r.peak_block->uncompressed_byte_count.has_value());
        }
    }
}

TEST(MSScan, DescriptorOffsetsByLayout) {
    for (std::uint32_t stride : {220u, 216u, 196u}) {
        SCOPED_TRACE(stride);
        const std::uint32_t at = stride == 220 ? 156 : stride == 216 ? 152 : 144;
        ScanSpec s = scan(1);
        s.descriptors = {{at, 2, 64, 12, 1, std::nullopt}};
        auto parsed = parse(msscan_bytes(acquisition(stride, {s})));
        ASSERT_TRUE(parsed.has_value());
        EXPECT_EQ(parsed->records[0].peak_block, (BlockRef{2, 64, 12, 1, std::nullopt}));
    }
}

TEST(MSScan, PayloadOffsetInsideTheHeader) {
    // Offset 0: the record area starts with the magic, so the first scan id is 257.
    AcquisitionSpec spec = acquisition(284, {scan(1)});
    spec.payload_offset = 0;
    auto parsed = parse(msscan_bytes(spec));
    ASSERT_TRUE(parsed.has_value()) << parsed.error().display();
    EXPECT_EQ(parsed->payload_offset, 0u);
    ASSERT_EQ(parsed->records.size(), 1u);
    EXPECT_EQ(parsed->records[0].scan_id, 257u);
}

TEST(MSScan, PayloadOffsetPastTheHeader) {
    AcquisitionSpec spec = acquisition(220, {scan(5), scan(6)});
    spec.payload_offset = 200;
    auto parsed = parse(msscan_bytes(spec));
    ASSERT_TRUE(parsed.has_value()) << parsed.error().display();
    EXPECT_EQ(parsed->payload_offset, 200u);
    ASSERT_EQ(parsed->records.size(), 2u);
    EXPECT_EQ(parsed->records[0].scan_id, 5u);
}

TEST(MSScan, LaterRecordsAreNotValidated) {
    auto parsed = parse(msscan_bytes(acquisition(220, {scan(1), scan(2), scan(1, 0), scan(0, 7)})));
    ASSERT_TRUE(parsed.has_value());
    ASSERT_EQ(parsed->records.size(), 4u);
    EXPECT_EQ(parsed->records[3].ms_level, 7u);
}

TEST(MSScan, FromPath) {
    sample_writer::TempDir dir;
    auto missing = MSScan::from_path(dir.join("MSScan.bin"));
    ASSERT_FALSE(missing.has_value());
    EXPECT_EQ(missing.error(), Error::io(ENOENT));

    auto bytes = msscan_bytes(acquisition(220, {scan(1), scan(2)}));
    ASSERT_TRUE(sample_writer::write_file(dir.join("MSScan.bin"), std::span(bytes)).has_value());
    auto parsed = MSScan::from_path(dir.join("MSScan.bin"));
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(parsed->records.size(), 2u);

    auto directory = MSScan::from_path(dir.path());
    ASSERT_FALSE(directory.has_value());
    EXPECT_TRUE(directory.error().is_io());
}


// ---- Salvage mode ----------------------------------------------------------------------

// A run as an acquisition writes it: identifiers and retention times rising, MS1 profile
// scans each followed by two MS2 peak scans, blocks appended to their files in order.
AcquisitionSpec run_of(std::uint32_t stride, std::uint32_t count) {
    AcquisitionSpec spec;
    spec.stride = stride;
    for (std::uint32_t i = 0; i < count; ++i) {
        ScanSpec s = scan(1000 + i, i % 3 == 0 ? 1 : 2);
        s.rt_min = 0.01 * i;
        if (s.ms_level == 1) {
            s.profile = sample_writer::profile({i, i + 1, 7});
        } else {
            s.peaks = sample_writer::peaks({100.0 + i, 200.0}, {1.0f, 2.0f});
            s.msn_value_1 = 400.5 + i;
            s.msn_value_2 = 2.0;
        }
        spec.scans.push_back(std::move(s));
    }
    return spec;
}

Result<MSScan> salvage(const ByteVec& bytes) { return MSScan::salvage_bytes(Bytes(bytes)); }

std::string salvage_message(const ByteVec& bytes) {
    auto parsed = salvage(bytes);
    return parsed ? "<parsed>" : parsed.error().display();
}

void expect_same_records(const MSScan& got, const MSScan& whole, std::size_t count) {
    ASSERT_EQ(got.records.size(), count);
    for (std::size_t i = 0; i < count; ++i) {
        SCOPED_TRACE("record " + std::to_string(i));
        EXPECT_EQ(got.records[i].scan_id, whole.records[i].scan_id);
        EXPECT_EQ(got.records[i].ms_level, whole.records[i].ms_level);
        EXPECT_EQ(got.records[i].profile_block, whole.records[i].profile_block);
        EXPECT_EQ(got.records[i].peak_block, whole.records[i].peak_block);
        EXPECT_EQ(got.records[i].msn_value_1, whole.records[i].msn_value_1);
    }
}

// Every layout, cut at every byte of its last two records: the plain parse keeps its
// error, salvage keeps each complete record and counts the cut tail.
TEST(MSScanSalvage, CutAtEveryByteOfTheLastRecords) {
    constexpr std::uint32_t count = 12;
    for (std::uint32_t stride : {186u, 196u, 216u, 220u, 284u}) {
        SCOPED_TRACE("stride " + std::to_string(stride));
        const ByteVec full = msscan_bytes(run_of(stride, count));
        auto whole = parse(full);
        ASSERT_TRUE(whole.has_value());
        ASSERT_EQ(whole->records.size(), count);
        for (std::size_t cut = 1; cut < 2 * stride; ++cut) {
            if (cut % stride == 0) continue;  // a whole, shorter index
            SCOPED_TRACE("cut " + std::to_string(cut) + " bytes");
            const ByteVec bytes(full.begin(), full.end() - static_cast<std::ptrdiff_t>(cut));
            const std::size_t len = bytes.size() - 92;
            EXPECT_EQ(parse_message(bytes),
                      "parse error: Cannot determine record stride for payload len " + std::to_string(len));
            auto salvaged = salvage(bytes);
            ASSERT_TRUE(salvaged.has_value()) << salvaged.error().display();
            EXPECT_EQ(salvaged->record_stride, stride);
            EXPECT_EQ(salvaged->bytes_dropped, len % stride);
            expect_same_records(*salvaged, *whole, len / stride);
        }
    }
}

TEST(MSScanSalvage, WholeIndexReadsAsThePlainParse) {
    for (std::uint32_t stride : {186u, 220u, 284u}) {
        SCOPED_TRACE("stride " + std::to_string(stride));
        const ByteVec full = msscan_bytes(run_of(stride, 5));
        auto salvaged = salvage(full);
        ASSERT_TRUE(salvaged.has_value());
        EXPECT_EQ(salvaged->bytes_dropped, 0u);
        EXPECT_EQ(salvaged->record_stride, stride);
        expect_same_records(*salvaged, *parse(full), 5);
    }
    // What the plain parse refuses whole, salvage does not take either.
    const ByteVec refused = msscan_bytes(acquisition(220, {scan(5), scan(4)}));
    EXPECT_EQ(salvage_message(refused),
              "parse error: Cannot salvage MSScan.bin: no record layout explains payload len 440");
}

TEST(MSScanSalvage, RefusesWhatTheDataDoNotSupport) {
    auto cut = [](AcquisitionSpec spec, std::size_t bytes_off) {
        ByteVec bytes = msscan_bytes(spec);
        bytes.resize(bytes.size() - bytes_off);
        return bytes;
    };
    auto with = [](std::uint32_t stride, std::uint32_t count, auto change) {
        AcquisitionSpec spec = run_of(stride, count);
        change(spec);
        return spec;
    };
    const std::string none = "parse error: Cannot salvage MSScan.bin: no record layout explains payload len ";
    struct Row {
        const char* name;
        ByteVec bytes;
        std::string message;
    };
    const Row rows[] = {
        {"header errors stay", header(256, 92, 200), "parse error: Invalid MSScan magic: 256"},
        {"zeros", header(257, 92, 92 + 1000), none + "1000"},
        {"one complete record", cut(run_of(284, 2), 10), none + "558"},
        {"identifiers going back", cut(with(220, 6, [](auto& s) { s.scans[4].scan_id = 1; }), 7),
         none + "1313"},
        {"MS level 3", cut(with(216, 6, [](auto& s) { s.scans[3].ms_level = 3; }), 7), none + "1289"},
        {"retention time going back", cut(with(284, 6, [](auto& s) { s.scans[3].rt_min = 0.0; }), 7),
         none + "1697"},
        {"retention time not finite",
         cut(with(284, 6, [](auto& s) { s.scans[2].rt_min = std::numeric_limits<double>::quiet_NaN(); }), 7),
         none + "1697"},
        {"blocks overlapping", cut(with(196, 6, [](auto& s) { s.scans[4].peaks->byte_offset = 0; }), 7),
         none + "1169"},
        {"no block at all", cut(acquisition(284, {scan(1), scan(2), scan(3)}), 7), none + "845"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(salvage_message(row.bytes), row.message);
    }
}

}  // namespace
}  // namespace corvane::raw
