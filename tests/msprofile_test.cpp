#include "raw/msprofile.hpp"

#include <gtest/gtest.h>

#include <vector>

#include "sample_writer.hpp"

namespace corvane::raw {
namespace {

using sample_writer::ByteVec;

BlockRef profile_ref(std::uint32_t points, std::optional<std::uint32_t> ucount) {
    return BlockRef{1, 0, 0, points, ucount};
}

// A block whose LZF stream expands to `payload` (literal runs, so the stream is simple).
ByteVec block_of(const ByteVec& payload) {
    ByteVec block(16, 0xEE);  // preamble content is not interpreted
    const ByteVec stream = sample_writer::lzf_literal_only(payload);
    block.insert(block.end(), stream.begin(), stream.end());
    return block;
}

std::string message(const ByteVec& block, const BlockRef& ref) {
    auto decoded = decode_profile_block(Bytes(block), ref, 100.0, 200.0);
    return decoded ? "<decoded>" : decoded.error().display();
}

TEST(MSProfile, FailuresInOrder) {
    const std::vector<std::uint32_t> three{1, 2, 3};
    const ByteVec good = sample_writer::profile_block(three);
    struct Row {
        const char* name;
        ByteVec block;
        BlockRef ref;
        std::string message;
    };
    const Row rows[] = {
        {"15 bytes", ByteVec(15, 0), profile_ref(3, 28),
         "parse error: MSProfile block too short for preamble"},
        {"short block before missing count", ByteVec(15, 0), profile_ref(0, std::nullopt),
         "parse error: MSProfile block too short for preamble"},
        {"missing count, no points", ByteVec(16, 0), profile_ref(0, std::nullopt),
         "parse error: Missing UncompressedByteCount for profile block"},
        {"missing count", good, profile_ref(3, std::nullopt),
         "parse error: Missing UncompressedByteCount for profile block"},
        {"empty stream", ByteVec(16, 0), profile_ref(3, 28),
         "parse error: LZF: decompressed length 0 != expected 28"},
        {"count over the cap", good, profile_ref(3, 0xFFFFFFFFu),
         "parse error: LZF: expected decompressed length 4294967295 exceeds cap of 536870912"},
        {"nothing expanded", ByteVec(16, 0), profile_ref(1, 0),
         "parse error: Decompressed profile block too short for point count"},
        {"one byte short", block_of(ByteVec(16 + 4 * 3 - 1, 0)), profile_ref(3, 16 + 4 * 3 - 1),
         "parse error: Decompressed profile block too short for point count"},
        {"huge point count", good, profile_ref(0xFFFFFFFFu, 28),
         "parse error: Decompressed profile block too short for point count"},
        {"damaged stream", block_of(ByteVec(28, 0)), profile_ref(3, 27),
         "parse error: LZF: literal run out of bounds"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(message(row.block, row.ref), row.message);
    }
}

TEST(MSProfile, NoPointsSkipTheStream) {
    ByteVec corrupt(16, 0);
    corrupt.push_back(0xE0);  // a back reference first: invalid if it were decoded
    auto decoded = decode_profile_block(Bytes(corrupt), profile_ref(0, 999), 1.0, 2.0);
    ASSERT_TRUE(decoded.has_value());
    EXPECT_TRUE(decoded->mz.empty());
    EXPECT_TRUE(decoded->intensity.empty());
}

TEST(MSProfile, AxisFromFirstAndLast) {
    struct Row {
        const char* name;
        std::uint32_t points;
        double first;
        double last;
        std::vector<double> mz;
    };
    const Row rows[] = {
        {"three points", 3, 100.0, 101.0, {100.0, 100.5, 101.0}},
        {"one point sits at first", 1, 250.0, 900.0, {250.0}},
        {"no bounds", 4, 0.0, 0.0, {0.0, 0.0, 0.0, 0.0}},
        {"descending", 3, 10.0, 8.0, {10.0, 9.0, 8.0}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::vector<std::uint32_t> counts(row.points, 5);
        const ByteVec block = sample_writer::profile_block(counts);
        auto decoded = decode_profile_block(
            Bytes(block), profile_ref(row.points, 16 + 4 * row.points), row.first, row.last);
        ASSERT_TRUE(decoded.has_value()) << decoded.error().display();
        EXPECT_EQ(decoded->mz, row.mz);
        EXPECT_EQ(decoded->intensity, std::vector<float>(row.points, 5.0f));
    }
}

TEST(MSProfile, AxisIsComputedFromTheIndex) {
    // Repeated addition of the step drifts over 60000 points; i * step + first does not.
    const std::uint32_t n = 60000;
    const double first = 100.0;
    const double last = 1700.0;
    const ByteVec block = sample_writer::profile_block(std::vector<std::uint32_t>(n, 0));
    auto decoded = decode_profile_block(Bytes(block), profile_ref(n, 16 + 4 * n), first, last);
    ASSERT_TRUE(decoded.has_value());
    ASSERT_EQ(decoded->mz.size(), n);
    const double step = (last - first) / static_cast<double>(n - 1);
    double added = first;
    bool drifted = false;
    for (std::uint32_t i = 0; i < n; ++i) {
        ASSERT_EQ(decoded->mz[i], static_cast<double>(i) * step + first) << "point " << i;
        drifted = drifted || added != decoded->mz[i];
        added += step;
    }
    EXPECT_TRUE(drifted);  // the data set does tell the two methods apart
}

TEST(MSProfile, IntensitiesRoundToNearestFloat) {
    const std::vector<std::uint32_t> counts{0, 1, 16777216u, 16777217u, 16777219u, 0xFFFFFFFFu};
    const ByteVec block = sample_writer::profile_block(counts);
    auto decoded = decode_profile_block(Bytes(block), profile_ref(6, 16 + 4 * 6), 1.0, 6.0);
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(decoded->intensity,
              (std::vector<float>{0.0f, 1.0f, 16777216.0f, 16777216.0f, 16777220.0f, 4294967296.0f}));
}

TEST(MSProfile, ExactAndLongerExpansions) {
    // Expanded data of exactly 16 + 4n bytes, and with 8 bytes more (ignored).
    for (std::size_t extra : {0u, 8u}) {
        SCOPED_TRACE(extra);
        ByteVec payload = sample_writer::profile_payload(std::vector<std::uint32_t>{7, 8});
        payload.resize(payload.size() + extra, 0x55);
        const ByteVec block = block_of(payload);
        auto decoded = decode_profile_block(
            Bytes(block), profile_ref(2, static_cast<std::uint32_t>(payload.size())), 1.0, 2.0);
        ASSERT_TRUE(decoded.has_value()) << decoded.error().display();
        EXPECT_EQ(decoded->intensity, (std::vector<float>{7.0f, 8.0f}));
    }
}

TEST(MSProfile, HeaderBytesAreNotInterpreted) {
    ByteVec payload = sample_writer::profile_payload(std::vector<std::uint32_t>{3});
    std::fill(payload.begin(), payload.begin() + 16, std::uint8_t{0xFF});
    const ByteVec block = block_of(payload);
    auto decoded = decode_profile_block(Bytes(block), profile_ref(1, 20), 5.0, 5.0);
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(decoded->intensity, std::vector<float>{3.0f});
    EXPECT_EQ(decoded->mz, std::vector<double>{5.0});
}

}  // namespace
}  // namespace corvane::raw
