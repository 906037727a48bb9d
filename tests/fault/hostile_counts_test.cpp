// Hostile counts in block descriptors must fail fast, without allocating memory in
// proportion to the count. This executable replaces the global operator new to record
// the largest single request made while a check runs.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <limits>
#include <new>

#include "sample_writer.hpp"
#include "raw/lzf.hpp"
#include "raw/mspeak.hpp"
#include "raw/msprofile.hpp"
#include "raw/raw.hpp"
#include "reader.hpp"

namespace {

std::atomic<std::size_t> largest_request{0};

void note(std::size_t size) {
    std::size_t seen = largest_request.load(std::memory_order_relaxed);
    while (size > seen && !largest_request.compare_exchange_weak(seen, size)) {
    }
}

}  // namespace

// GCC sees free() on the result of operator new and warns; here both sides are ours.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

void* operator new(std::size_t size) {
    note(size);
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

namespace fx = corvane::sample_writer;
using corvane::raw::BlockRef;

// Anything above this is "in proportion to a hostile count": the inputs here are tiny.
constexpr std::size_t small_allocation = 1 << 20;

// The largest allocation made while running f.
template <class F>
std::size_t largest_allocation_in(F&& f) {
    largest_request.store(0);
    f();
    return largest_request.load();
}

std::string message_of(const corvane::Error& e) { return e.display(); }

TEST(HostileCounts, CountingAllocatorSeesLargeRequests) {
    // The measurement itself: a 4 MiB vector must register.
    const auto largest = largest_allocation_in([] {
        std::vector<std::uint8_t> v(4 << 20);
        ASSERT_EQ(v.size(), std::size_t{4} << 20);
    });
    EXPECT_GE(largest, std::size_t{4} << 20);
}

TEST(HostileCounts, PeakPointCountBeyondBlock) {
    const fx::ByteVec block(24, 0);
    for (const std::uint32_t format : {2u, 3u}) {
        SCOPED_TRACE(format);
        const BlockRef ref{format, 0, 24, 0xFFFFFFFFu, std::nullopt};
        const auto largest = largest_allocation_in([&] {
            auto decoded = corvane::raw::decode_peak_block(block, ref);
            ASSERT_FALSE(decoded);
            EXPECT_EQ(message_of(decoded.error()), "parse error: Truncated MSPeak.bin block");
        });
        EXPECT_LT(largest, small_allocation);
    }
}

TEST(HostileCounts, ProfilePointCountBeyondExpandedData) {
    const std::vector<std::uint32_t> intensities = {1, 2, 3};
    const auto block = fx::profile_block(intensities);
    const BlockRef ref{1, 0, static_cast<std::uint32_t>(block.size()), 0xFFFFFFFFu, 28};
    const auto largest = largest_allocation_in([&] {
        auto decoded = corvane::raw::decode_profile_block(block, ref, 100.0, 200.0);
        ASSERT_FALSE(decoded);
        EXPECT_EQ(message_of(decoded.error()),
                  "parse error: Decompressed profile block too short for point count");
    });
    EXPECT_LT(largest, small_allocation);
}

// An expected length at the cap, or anywhere above what the stream could produce, must
// not be allocated up front: the stream is a few bytes long.
TEST(HostileCounts, UncompressedByteCountAtAndAboveCap) {
    const std::vector<std::uint8_t> stream = {0x02, 0x61, 0x62, 0x63, 0x20, 0x00};  // 6 bytes out
    constexpr std::size_t cap = corvane::raw::lzf::max_decompressed_len;
    struct Row {
        std::size_t expected;
        std::string message;
    };
    const Row rows[] = {
        {cap, "parse error: LZF: decompressed length 6 != expected 536870912"},
        {cap + 1, "parse error: LZF: expected decompressed length 536870913 exceeds cap of 536870912"},
        {0xFFFFFFFFu, "parse error: LZF: expected decompressed length 4294967295 exceeds cap of 536870912"},
        {1 << 20, "parse error: LZF: decompressed length 6 != expected 1048576"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.expected);
        const auto largest = largest_allocation_in([&] {
            auto out = corvane::raw::lzf::decompress(stream, row.expected);
            ASSERT_FALSE(out);
            EXPECT_EQ(message_of(out.error()), row.message);
        });
        EXPECT_LT(largest, small_allocation);
    }
    // A stream that really expands to its expected length still gets it, all of it.
    auto exact = corvane::raw::lzf::decompress(stream, 6);
    ASSERT_TRUE(exact);
    EXPECT_EQ(*exact, (std::vector<std::uint8_t>{'a', 'b', 'c', 'c', 'c', 'c'}));
}

TEST(HostileCounts, ProfileBlockClaimingCapSizedData) {
    fx::ByteVec block(16, 0);
    block.insert(block.end(), {0x00, 0x07});
    for (const std::uint32_t ucb : {0x20000000u, 0x20000001u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(ucb);
        const BlockRef ref{1, 0, static_cast<std::uint32_t>(block.size()), 0xFFFFFFFFu, ucb};
        const auto largest = largest_allocation_in([&] {
            auto decoded = corvane::raw::decode_profile_block(block, ref, 0.0, 1.0);
            ASSERT_FALSE(decoded);
            EXPECT_TRUE(message_of(decoded.error()).starts_with("parse error: LZF: "));
        });
        EXPECT_LT(largest, small_allocation);
    }
}

TEST(HostileCounts, ByteCountFarBeyondFile) {
    fx::TempDir dir;
    ASSERT_TRUE(fx::write_file(dir.join("data.bin"), std::string(100, 'x')));
    struct Row {
        std::uint64_t offset;
        std::uint64_t length;
        std::uint64_t remaining;
    };
    const Row rows[] = {{0, 0xFFFFFFFFu, 100}, {90, 0x7FFFFFFFu, 10}, {1u << 31, 1, 0},
                        {std::numeric_limits<std::uint64_t>::max(), 0xFFFFFFFFu, 0}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.offset);
        const auto largest = largest_allocation_in([&] {
            auto bytes = corvane::raw::read_bytes(dir.join("data.bin"), row.offset, row.length);
            ASSERT_FALSE(bytes);
            EXPECT_EQ(message_of(bytes.error()),
                      "parse error: read_bytes: requested " + std::to_string(row.length) +
                          " bytes at offset " + std::to_string(row.offset) + " but " +
                          dir.join("data.bin") + " has only " + std::to_string(row.remaining) +
                          " bytes remaining");
        });
        EXPECT_LT(largest, small_allocation);
    }
}

// The same counts written into an acquisition: every scan drains to empty lists, and
// nothing large is allocated on the way.
TEST(HostileCounts, AcquisitionWithHostileDescriptors) {
    fx::AcquisitionSpec spec;
    spec.stride = 284;
    const std::vector<std::uint32_t> intensities = {5, 6, 7};
    auto profile = [&](std::uint32_t points, std::uint32_t ucb, std::uint32_t count) {
        fx::ProfileSpec p;
        p.intensities = intensities;
        p.point_count = points;
        p.uncompressed_byte_count = ucb;
        if (count != 0) p.byte_count = count;
        return p;
    };
    auto peaks = [&](std::uint32_t format, std::uint32_t points, std::uint32_t count) {
        fx::PeakSpec p;
        p.format = format;
        p.mz = {1.0, 2.0};
        p.intensity = {1.0f, 2.0f};
        p.point_count = points;
        if (count != 0) p.byte_count = count;
        return p;
    };
    const std::vector<std::pair<std::optional<fx::ProfileSpec>, std::optional<fx::PeakSpec>>> scans = {
        {profile(0xFFFFFFFFu, 28, 0), std::nullopt},
        {profile(3, 0x20000000u, 0), std::nullopt},
        {profile(3, 0x20000001u, 0), std::nullopt},
        {profile(3, 28, 0xFFFFFFFFu), std::nullopt},
        {std::nullopt, peaks(3, 0xFFFFFFFFu, 0)},
        {std::nullopt, peaks(2, 0xFFFFFFFFu, 0)},
        {std::nullopt, peaks(3, 2, 0xFFFFFFFFu)},
    };
    std::uint32_t id = 1;
    for (const auto& [p, k] : scans) {
        fx::ScanSpec s;
        s.scan_id = id++;
        s.mz_first = 100.0;
        s.mz_last = 200.0;
        s.profile = p;
        s.peaks = k;
        spec.scans.push_back(s);
    }
    fx::TempDir dir;
    ASSERT_TRUE(fx::write_acquisition(dir.path(), spec));

    auto reader = corvane::Reader::open(dir.path());
    ASSERT_TRUE(reader) << reader.error().display();
    std::size_t drained = 0;
    const auto largest = largest_allocation_in([&] {
        auto it = reader->iter_spectra();
        while (auto record = it->next()) {
            EXPECT_TRUE(record->mz.empty()) << "scan " << record->scan_id;
            EXPECT_TRUE(record->intensity.empty()) << "scan " << record->scan_id;
            ++drained;
        }
    });
    EXPECT_EQ(drained, scans.size());
    EXPECT_LT(largest, small_allocation);
}

}  // namespace
