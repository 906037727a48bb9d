#include "raw/mspeak.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <vector>

#include "sample_writer.hpp"

namespace corvane::raw {
namespace {

using sample_writer::ByteVec;
using sample_writer::ByteWriter;

BlockRef peak_ref(std::uint32_t format, std::uint32_t points) {
    return BlockRef{format, 0, 0, points, std::nullopt};
}

std::string message(const ByteVec& block, const BlockRef& ref) {
    auto decoded = decode_peak_block(Bytes(block), ref);
    return decoded ? "<decoded>" : decoded.error().display();
}

TEST(MSPeak, FailuresInOrder) {
    const ByteVec twelve(12, 0);
    struct Row {
        const char* name;
        ByteVec block;
        BlockRef ref;
        const char* message;
    };
    const Row rows[] = {
        {"format 1", twelve, peak_ref(1, 1), "parse error: Unknown peak format ID: 1"},
        {"format 0", twelve, peak_ref(0, 1), "parse error: Unknown peak format ID: 0"},
        {"format 4", twelve, peak_ref(4, 1), "parse error: Unknown peak format ID: 4"},
        {"format before count", {}, peak_ref(0xFFFFFFFFu, 0),
         "parse error: Unknown peak format ID: 4294967295"},
        {"format before length", {}, peak_ref(7, 5), "parse error: Unknown peak format ID: 7"},
        {"format 3, one byte short", ByteVec(35, 0), peak_ref(3, 3),
         "parse error: Truncated MSPeak.bin block"},
        {"format 2, one byte short", ByteVec(35, 0), peak_ref(2, 3),
         "parse error: Truncated MSPeak.bin block"},
        {"count that would overflow 32 bits", ByteVec(64, 0), peak_ref(3, 0xFFFFFFFFu),
         "parse error: Truncated MSPeak.bin block"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(message(row.block, row.ref), row.message);
    }
}

TEST(MSPeak, NoPointsGiveEmptyArrays) {
    for (std::uint32_t format : {2u, 3u}) {
        for (const ByteVec& block : {ByteVec{}, ByteVec(7, 0xFF)}) {
            auto decoded = decode_peak_block(Bytes(block), peak_ref(format, 0));
            ASSERT_TRUE(decoded.has_value());
            EXPECT_TRUE(decoded->mz.empty());
            EXPECT_TRUE(decoded->intensity.empty());
        }
    }
}

TEST(MSPeak, Format3Interleaved) {
    const std::vector<double> mz{123.45, 500.0, 1e-300};
    const std::vector<float> intensity{1.5f, -2.0f, std::numeric_limits<float>::infinity()};
    auto block = sample_writer::peak_block(3, mz, intensity);
    ASSERT_TRUE(block.has_value());
    block->insert(block->end(), 5, 0xAB);  // trailing bytes are ignored
    auto decoded = decode_peak_block(Bytes(*block), peak_ref(3, 3));
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(decoded->mz, mz);
    EXPECT_EQ(decoded->intensity, intensity);
}

TEST(MSPeak, Format2PlanarAndScaled) {
    // Two peaks: stored m/z 12345.0 and 50000.0, then the intensities at byte 16.
    ByteWriter w;
    w.f64(12345.0).f64(50000.0).f32(7.0f).f32(8.0f);
    auto decoded = decode_peak_block(Bytes(w.data()), peak_ref(2, 2));
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(decoded->mz, (std::vector<double>{12345.0 / 100.0, 500.0}));
    EXPECT_EQ(decoded->mz[0], 123.45);
    EXPECT_EQ(decoded->intensity, (std::vector<float>{7.0f, 8.0f}));
}

TEST(MSPeak, Format2DividesRatherThanMultiplies) {
    // Values for which x / 100.0 and x * 0.01 differ in the last bit.
    std::vector<double> stored;
    for (int i = 1; stored.size() < 3 && i < 100000; ++i) {
        const double x = i * 1.0;
        if (x / 100.0 != x * 0.01) stored.push_back(x);
    }
    ASSERT_EQ(stored.size(), 3u);
    ByteWriter w;
    for (double x : stored) w.f64(x);
    for (int i = 0; i < 3; ++i) w.f32(1.0f);
    auto decoded = decode_peak_block(Bytes(w.data()), peak_ref(2, 3));
    ASSERT_TRUE(decoded.has_value());
    for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(decoded->mz[i], stored[i] / 100.0);
}

TEST(MSPeak, IntensitiesPassBitForBit) {
    const std::uint32_t bits[] = {0x7FC00001u, 0xFFC00000u, 0x80000000u, 0xBF800000u, 0x00000001u};
    std::vector<float> intensity;
    for (std::uint32_t b : bits) intensity.push_back(std::bit_cast<float>(b));
    const std::vector<double> mz(intensity.size(), 100.0);
    for (std::uint32_t format : {2u, 3u}) {
        SCOPED_TRACE(format);
        auto block = sample_writer::peak_block(format, mz, intensity);
        ASSERT_TRUE(block.has_value());
        auto decoded = decode_peak_block(Bytes(*block), peak_ref(format, 5));
        ASSERT_TRUE(decoded.has_value());
        ASSERT_EQ(decoded->intensity.size(), 5u);
        for (std::size_t i = 0; i < 5; ++i) {
            EXPECT_EQ(std::bit_cast<std::uint32_t>(decoded->intensity[i]), bits[i]);
        }
    }
}

TEST(MSPeak, Format2RoundTripsThroughTheWriter) {
    // Not every double is x / 100.0 for some double x; the writer gets within one step.
    const std::vector<double> mz{0.1, 123.45, 999.999, 1700.0001};
    const std::vector<float> intensity{1, 2, 3, 4};
    auto block = sample_writer::peak_block(2, mz, intensity);
    ASSERT_TRUE(block.has_value());
    auto decoded = decode_peak_block(Bytes(*block), peak_ref(2, 4));
    ASSERT_TRUE(decoded.has_value());
    ASSERT_EQ(decoded->mz.size(), 4u);
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_GE(decoded->mz[i], std::nextafter(mz[i], 0.0));
        EXPECT_LE(decoded->mz[i], std::nextafter(mz[i], 1e9));
    }
    EXPECT_EQ(decoded->mz[1], 123.45);
    EXPECT_EQ(decoded->intensity, intensity);
}

}  // namespace
}  // namespace corvane::raw
