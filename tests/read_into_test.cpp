// The allocation-free block reads: read_bytes_into must answer exactly as read_bytes
// does, and the reader must give the same peaks whether a block is read into the stack
// (up to 8192 bytes) or into the heap (larger).
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "sample_writer.hpp"
#include "raw/mspeak.hpp"
#include "raw/raw.hpp"
#include "reader.hpp"

namespace {

using ByteVec = std::vector<std::uint8_t>;

using corvane::sample_writer::TempDir;

void write(const std::string& path, const ByteVec& bytes) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
    ASSERT_EQ(std::fclose(f), 0);
}

template <class T>
void put(ByteVec& out, std::size_t at, T value) {
    if (out.size() < at + sizeof value) out.resize(at + sizeof value);
    std::memcpy(out.data() + at, &value, sizeof value);
}

std::string outcome(const corvane::Result<ByteVec>& r) {
    if (!r) return r.error().display();
    return std::string(r->begin(), r->end());
}

TEST(ReadBytesInto, AnswersAsReadBytes) {
    TempDir dir;
    const std::string file = dir.path() + "/data.bin";
    ByteVec content(100);
    for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<std::uint8_t>(i * 3);
    write(file, content);

    struct Row {
        std::string path;
        std::uint64_t offset;
        std::size_t length;
    };
    const std::vector<Row> rows = {
        {file, 0, 100},  {file, 10, 5},  {file, 90, 10},     {file, 90, 11},
        {file, 100, 0},  {file, 150, 0}, {file, 150, 1},     {file, 99, 1},
        {dir.path() + "/absent.bin", 0, 0},                   {dir.path() + "/absent.bin", 0, 4},
        {dir.path(), 0, 1},              {file + "/below", 0, 1},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.path + " @" + std::to_string(row.offset) + " +" + std::to_string(row.length));
        const auto expected = corvane::raw::read_bytes(row.path, row.offset, row.length);
        ByteVec buffer(row.length, 0xEE);
        const auto got = corvane::raw::read_bytes_into(row.path, row.offset, buffer);
        const corvane::Result<ByteVec> as_bytes =
            got ? corvane::Result<ByteVec>(buffer) : std::unexpected(got.error());
        EXPECT_EQ(outcome(as_bytes), outcome(expected));
    }
}

// One 284-byte-record index whose scans have only a format-3 peak block of `peaks` peaks.
void write_peak_run(const std::string& root, const std::vector<std::uint32_t>& peaks) {
    const std::string acq = root + "/AcqData";
    std::filesystem::create_directories(acq);
    ByteVec index(92);
    put<std::uint32_t>(index, 0, 257);
    put<std::uint32_t>(index, 88, 92);
    ByteVec blocks;
    for (std::size_t s = 0; s < peaks.size(); ++s) {
        const std::size_t at = index.size();
        put<std::uint32_t>(index, at, static_cast<std::uint32_t>(s + 1));
        put<std::uint16_t>(index, at + 20, 1);
        put<std::uint32_t>(index, at + 220, 3);
        put<std::uint64_t>(index, at + 224, blocks.size());
        put<std::uint32_t>(index, at + 232, peaks[s] * 12);
        put<std::uint32_t>(index, at + 236, peaks[s]);
        index.resize(at + 284);
        for (std::uint32_t i = 0; i < peaks[s]; ++i) {
            put<double>(blocks, blocks.size(), 100.0 + i + 0.25 * static_cast<double>(s));
            put<float>(blocks, blocks.size(), static_cast<float>(i * 7 + s));
        }
    }
    write(acq + "/MSScan.bin", index);
    write(acq + "/MSPeak.bin", blocks);
}

TEST(ReadBytesInto, PeakBlocksOnBothSidesOfTheStackSize) {
    // 682 peaks are 8184 bytes (read into the stack), 683 are 8196 (read into the heap);
    // 0 is an empty block. Each scan must come out as decoding its block directly gives.
    TempDir dir;
    const std::vector<std::uint32_t> peaks = {1, 682, 683, 0, 10, 2000};
    write_peak_run(dir.path(), peaks);
    auto reader = corvane::Reader::open(dir.path());
    ASSERT_TRUE(reader.has_value()) << reader.error().display();
    auto it = reader->iter_spectra();
    for (const auto& scan : reader->scans().records) {
        const auto& ref = *scan.peak_block;
        auto bytes = corvane::raw::read_bytes(reader->peak_path(), ref.byte_offset, ref.byte_count);
        ASSERT_TRUE(bytes.has_value());
        auto want = corvane::raw::decode_peak_block(*bytes, ref);
        ASSERT_TRUE(want.has_value());
        auto record = it->next();
        ASSERT_TRUE(record.has_value());
        SCOPED_TRACE("peaks " + std::to_string(ref.point_count));
        EXPECT_EQ(record->mz, want->mz);
        EXPECT_EQ(record->intensity, want->intensity);
        EXPECT_EQ(record->mz.size(), ref.point_count);
        EXPECT_FALSE(record->is_profile);
    }
    EXPECT_FALSE(it->next().has_value());
}

TEST(ReadBytesInto, ShortPeakFileGivesEmptyListsOnBothSides) {
    // The index claims more bytes than MSPeak.bin holds, for a small and a large block:
    // both reads fail, and both scans get empty lists.
    TempDir dir;
    write_peak_run(dir.path(), {100, 1000});
    const std::string peak = dir.path() + "/AcqData/MSPeak.bin";
    std::filesystem::resize_file(peak, 100 * 12 - 1);
    auto reader = corvane::Reader::open(dir.path());
    ASSERT_TRUE(reader.has_value());
    auto it = reader->iter_spectra();
    for (int k = 0; k < 2; ++k) {
        auto record = it->next();
        ASSERT_TRUE(record.has_value());
        EXPECT_TRUE(record->mz.empty());
        EXPECT_TRUE(record->intensity.empty());
    }
}

}  // namespace
