#include "raw/raw.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <numeric>
#include <string>
#include <vector>

#include "sample_writer.hpp"

namespace corvane::raw {
namespace {

class ReadBytes : public ::testing::Test {
protected:
    void SetUp() override {
        content_.resize(100);
        std::iota(content_.begin(), content_.end(), std::uint8_t{1});
        path_ = dir_.join("MSPeak.bin");
        ASSERT_TRUE(sample_writer::write_file(path_, std::span(content_)).has_value());
    }

    sample_writer::TempDir dir_;
    std::string path_;
    std::vector<std::uint8_t> content_;
};

TEST_F(ReadBytes, ReadsTheSpan) {
    auto middle = read_bytes(path_, 10, 5);
    ASSERT_TRUE(middle.has_value());
    EXPECT_EQ(*middle, (std::vector<std::uint8_t>{11, 12, 13, 14, 15}));

    // A length equal to what remains reads up to the last byte.
    auto tail = read_bytes(path_, 90, 10);
    ASSERT_TRUE(tail.has_value());
    EXPECT_EQ(*tail, std::vector<std::uint8_t>(content_.begin() + 90, content_.end()));

    auto whole = read_bytes(path_, 0, 100);
    ASSERT_TRUE(whole.has_value());
    EXPECT_EQ(*whole, content_);
}

TEST_F(ReadBytes, SpanPastTheEnd) {
    struct Row {
        std::uint64_t offset;
        std::uint64_t length;
        std::uint64_t remaining;
    };
    const Row rows[] = {
        {90, 20, 10},
        {0, 101, 100},
        {100, 1, 0},
        {200, 1, 0},
        {0xFFFFFFFFFFFFFFFFull, 0xFFFFFFFFu, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.offset);
        auto result = read_bytes(path_, row.offset, row.length);
        ASSERT_FALSE(result.has_value());
        EXPECT_EQ(result.error().display(),
                  "parse error: read_bytes: requested " + std::to_string(row.length) +
                      " bytes at offset " + std::to_string(row.offset) + " but " + path_ +
                      " has only " + std::to_string(row.remaining) + " bytes remaining");
    }
}

TEST_F(ReadBytes, EmptyReads) {
    for (std::uint64_t offset : {0ull, 50ull, 100ull, 1000ull}) {
        SCOPED_TRACE(offset);
        auto result = read_bytes(path_, offset, 0);
        ASSERT_TRUE(result.has_value()) << result.error().display();
        EXPECT_TRUE(result->empty());
    }
    // The file is still opened for an empty read.
    auto missing = read_bytes(dir_.join("absent.bin"), 0, 0);
    ASSERT_FALSE(missing.has_value());
    EXPECT_EQ(missing.error(), Error::io(ENOENT));
}

TEST_F(ReadBytes, OpenFailures) {
    auto missing = read_bytes(dir_.join("absent.bin"), 0, 4);
    ASSERT_FALSE(missing.has_value());
    EXPECT_EQ(missing.error(), Error::io(ENOENT));

    auto through_file = read_bytes(path_ + "/x", 0, 4);
    ASSERT_FALSE(through_file.has_value());
    EXPECT_EQ(through_file.error(), Error::io(ENOTDIR));
}

TEST_F(ReadBytes, LeavesNoFileOpen) {
    const std::size_t before = sample_writer::open_fd_count();
    ASSERT_GT(before, 0u);
    ASSERT_TRUE(read_bytes(path_, 0, 100).has_value());
    ASSERT_TRUE(read_bytes(path_, 100, 0).has_value());
    ASSERT_FALSE(read_bytes(path_, 90, 20).has_value());
    ASSERT_FALSE(read_bytes(dir_.join("absent.bin"), 0, 1).has_value());
    ASSERT_FALSE(read_bytes(dir_.path(), 0, 1).has_value());  // a directory: size 4096, read fails
    ASSERT_TRUE(read_file(path_).has_value());
    ASSERT_FALSE(read_file(dir_.path()).has_value());
    EXPECT_EQ(sample_writer::open_fd_count(), before);
}

TEST_F(ReadBytes, ReadFile) {
    auto whole = read_file(path_);
    ASSERT_TRUE(whole.has_value());
    EXPECT_EQ(*whole, content_);

    const std::string empty = dir_.join("empty.bin");
    ASSERT_TRUE(sample_writer::write_file(empty, std::string_view()).has_value());
    auto nothing = read_file(empty);
    ASSERT_TRUE(nothing.has_value());
    EXPECT_TRUE(nothing->empty());

    auto missing = read_file(dir_.join("absent.bin"));
    ASSERT_FALSE(missing.has_value());
    EXPECT_EQ(missing.error(), Error::io(ENOENT));
}

// /proc files report size 0 but hold content; read_file must not trust the size alone.
TEST(ReadFile, FileLargerThanItsReportedSize) {
    auto status = read_file("/proc/self/status");
    ASSERT_TRUE(status.has_value());
    EXPECT_FALSE(status->empty());
}

}  // namespace
}  // namespace corvane::raw
