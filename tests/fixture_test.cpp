// The fixture writer itself: the description format and the two ways of writing.
#include "sample_writer.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <fstream>
#include <iterator>

namespace corvane::sample_writer {
namespace {

ByteVec read_all(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(Fixture, StreamingWriterMatchesTheInMemoryOne) {
    AcquisitionSpec spec;
    ScanSpec a;
    a.scan_id = 1;
    a.mz_first = 100.0;
    a.mz_last = 200.0;
    a.profile = profile({0, 0, 0, 5, 9, 5, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    ScanSpec b;
    b.scan_id = 2;
    b.ms_level = 2;
    b.msn_value_1 = 150.5;
    b.msn_value_2 = 2.0;
    b.peaks = peaks({101.0, 102.5}, {3.0f, 4.0f}, 2);
    ScanSpec c = a;
    c.scan_id = 3;
    c.peaks = peaks({1.0}, {1.0f});
    spec.scans = {a, b, c};
    spec.files["Devices.xml"] = {'<', 'D', '/', '>'};

    TempDir dir;
    ASSERT_TRUE(write_acquisition(dir.join("one.d"), spec).has_value());
    auto writer = AcquisitionWriter::create(dir.join("two.d"), spec);
    ASSERT_TRUE(writer.has_value()) << writer.error();
    for (const ScanSpec& s : spec.scans) ASSERT_TRUE(writer->add(s).has_value());
    ASSERT_TRUE(writer->finish().has_value());

    for (const char* name : {"MSScan.bin", "MSPeak.bin", "MSProfile.bin", "Devices.xml"}) {
        SCOPED_TRACE(name);
        const ByteVec one = read_all(dir.join("one.d/AcqData/") + name);
        EXPECT_FALSE(one.empty());
        EXPECT_EQ(one, read_all(dir.join("two.d/AcqData/") + name));
    }
}

TEST(Fixture, BlocksGetTheirRealPlaces) {
    AcquisitionSpec spec;
    ScanSpec a;
    a.peaks = peaks({1.0, 2.0}, {1.0f, 2.0f});
    ScanSpec b = a;
    b.scan_id = 2;
    b.profile = profile({7});
    spec.scans = {a, b};
    auto files = build_files(spec);
    ASSERT_TRUE(files.has_value());
    const ByteVec& index = (*files)["MSScan.bin"];
    ASSERT_EQ(index.size(), 92u + 2 * 284);
    const auto u32 = [&](std::size_t at) {
        std::uint32_t v;
        std::memcpy(&v, index.data() + at, 4);
        return v;
    };
    const auto u64 = [&](std::size_t at) {
        std::uint64_t v;
        std::memcpy(&v, index.data() + at, 8);
        return v;
    };
    EXPECT_EQ(u32(0), 257u);
    EXPECT_EQ(u32(88), 92u);
    // Second record: peaks at 220 after the first record's 24 bytes, profile at 156.
    const std::size_t r = 92 + 284;
    EXPECT_EQ(u32(r + 220), 3u);
    EXPECT_EQ(u64(r + 224), 24u);
    EXPECT_EQ(u32(r + 232), 24u);
    EXPECT_EQ(u32(r + 236), 2u);
    EXPECT_EQ(u32(r + 156), 1u);
    EXPECT_EQ(u64(r + 160), 0u);
    EXPECT_EQ(u32(r + 168), (*files)["MSProfile.bin"].size());
    EXPECT_EQ(u32(r + 172), 1u);
    EXPECT_EQ(u32(r + 176), 20u);
}

TEST(Fixture, Description) {
    auto spec = spec_from_json(R"({
        "stride": 186, "payload_offset": 100,
        "scans": [ {"scan_id": 9, "ms_level": 2, "mrm_channel": 7,
                    "peaks": {"format": 2, "mz": [1.5], "intensity_bits": [2143289344]}} ],
        "files": {"Contents.xml": "<C/>", "Extra.bin_hex": "01 ff"},
        "omit": ["MSProfile.bin"] })");
    ASSERT_TRUE(spec.has_value()) << spec.error();
    EXPECT_EQ(spec->stride, 186u);
    EXPECT_EQ(spec->payload_offset, 100u);
    ASSERT_EQ(spec->scans.size(), 1u);
    EXPECT_EQ(spec->scans[0].mrm_channel, 7u);
    ASSERT_TRUE(spec->scans[0].peaks.has_value());
    EXPECT_EQ(std::bit_cast<std::uint32_t>(spec->scans[0].peaks->intensity[0]), 2143289344u);
    EXPECT_EQ(spec->files["Extra.bin"], (ByteVec{0x01, 0xFF}));
    EXPECT_EQ(spec->omit.count("MSProfile.bin"), 1u);

    for (const char* bad : {R"({"strde": 284})", R"({"scans": [{"peaks": {"format": 4}}]})",
                            R"({"scans": [{"peaks": {"mz": [1.0]}}]})", R"({"magic": -1})",
                            R"({"msscan_hex": "0g"})", "[", R"({"scans": [{"ms_level": 70000}]})"}) {
        SCOPED_TRACE(bad);
        EXPECT_FALSE(spec_from_json(bad).has_value());
    }
}

TEST(Fixture, LiteralOnlyStreams) {
    const ByteVec data(70, 0x41);
    const ByteVec stream = lzf_literal_only(data);
    ASSERT_EQ(stream.size(), 70u + 3);
    EXPECT_EQ(stream[0], 31);
    EXPECT_EQ(stream[33], 31);
    EXPECT_EQ(stream[66], 5);
    // liblzf shrinks the same data; incompressible data falls back to literals.
    EXPECT_LT(lzf_compress_bytes(data).size(), data.size());
    EXPECT_EQ(lzf_compress_bytes(ByteVec{1, 2, 3}), lzf_literal_only(ByteVec{1, 2, 3}));
}

}  // namespace
}  // namespace corvane::sample_writer
