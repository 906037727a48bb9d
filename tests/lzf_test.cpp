#include "raw/lzf.hpp"

#include <gtest/gtest.h>
#include <lzf.h>

#include <cerrno>
#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "sample_writer.hpp"

namespace corvane::raw {
namespace {

using sample_writer::ByteVec;

ByteVec repeat(std::uint8_t byte, std::size_t count) { return ByteVec(count, byte); }

ByteVec concat(ByteVec a, const ByteVec& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Output of `count` bytes made of literal runs only ("abc...").
ByteVec literal_output(std::size_t count) {
    ByteVec data(count);
    for (std::size_t i = 0; i < count; ++i) data[i] = static_cast<std::uint8_t>('a' + i % 26);
    return sample_writer::lzf_literal_only(data);
}

std::string outcome(const ByteVec& input, std::size_t expected) {
    auto out = lzf::decompress(Bytes(input), expected);
    if (!out) return out.error().display();
    return std::string(out->begin(), out->end());
}

TEST(Lzf, HandMadeStreams) {
    struct Row {
        const char* name;
        ByteVec input;
        std::size_t expected;
        std::string output;
    };
    const Row rows[] = {
        {"nothing expected, nothing given", {}, 0, ""},
        {"nothing expected, input ignored", {0xE0}, 0, ""},
        {"literal run", {0x02, 'a', 'b', 'c'}, 3, "abc"},
        {"longest literal run", concat({31}, repeat('q', 32)), 32, std::string(32, 'q')},
        {"trailing input ignored", {0x02, 'a', 'b', 'c', 0xFF, 0xFF}, 3, "abc"},
        {"offset 0 repeats the last byte", {0x00, 'a', 0x20, 0x00}, 4, "aaaa"},
        {"overlapping offset 1", {0x01, 'a', 'b', 0xC0, 0x01}, 10, "ababababab"},
        {"overlapping offset 2", {0x02, 'x', 'y', 'z', 0x40, 0x02}, 7, "xyzxyzx"},
        {"non-overlapping copy", {0x03, 'a', 'b', 'c', 'd', 0x20, 0x03}, 7, "abcdabc"},
        {"long reference, shortest", {0x00, 'z', 0xE0, 0x00, 0x00}, 10, std::string(10, 'z')},
        {"long reference, longest", {0x00, 'z', 0xE0, 0xFF, 0x00}, 265, std::string(265, 'z')},
        {"reference then literal", {0x00, 'k', 0x20, 0x00, 0x00, '!'}, 5, "kkkk!"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(outcome(row.input, row.expected), row.output);
    }
}

TEST(Lzf, FarthestBackReference) {
    // 8192 bytes out, then a reference with offset 8191 reaches byte 0.
    ByteVec input = literal_output(8192);
    input.insert(input.end(), {0x3F, 0xFF});
    auto out = lzf::decompress(Bytes(input), 8195);
    ASSERT_TRUE(out.has_value()) << out.error().display();
    EXPECT_EQ((*out)[8192], 'a');
    EXPECT_EQ((*out)[8193], 'b');
    EXPECT_EQ((*out)[8194], 'c');
}

TEST(Lzf, DamageInOrder) {
    struct Row {
        const char* name;
        ByteVec input;
        std::size_t expected;
        std::string message;
    };
    const std::string p = "parse error: LZF: ";
    const ByteVec out3 = {0x02, 'a', 'b', 'c'};
    const ByteVec out256 = literal_output(256);
    const ByteVec out257 = literal_output(257);
    const ByteVec out300 = literal_output(300);
    const Row rows[] = {
        {"cap + 1", {}, (std::size_t{1} << 29) + 1,
         p + "expected decompressed length 536870913 exceeds cap of 536870912"},
        {"cap before anything else", {0xE0}, std::size_t{1} << 40,
         p + "expected decompressed length 1099511627776 exceeds cap of 536870912"},
        {"empty input", {}, 5, p + "decompressed length 0 != expected 5"},
        {"literal past the expected length", {0x02, 'a', 'b', 'c'}, 2,
         p + "literal run out of bounds"},
        {"literal past the input", {0x02, 'a', 'b'}, 3, p + "literal run out of bounds"},
        {"literal past both", {0x05, 'a'}, 2, p + "literal run out of bounds"},
        {"input ends early", {0x02, 'a', 'b', 'c'}, 4, p + "decompressed length 3 != expected 4"},
        {"reference first", {0x20, 0x00}, 4, p + "invalid back reference"},
        {"reference first, bytes missing", {0x20}, 4, p + "invalid back reference"},
        {"long reference first, bytes missing", {0xE0}, 10, p + "invalid back reference"},
        {"high offset bits before reading on", concat(out256, {0x21}), 300,
         p + "invalid back reference"},
        {"high offset bits allow it", concat(out257, {0x21}), 300,
         p + "truncated reference byte"},
        {"long reference without length byte", concat(out300, {0xE0}), 400,
         p + "truncated length byte"},
        {"long reference without offset byte", concat(out300, {0xE0, 0x00}), 400,
         p + "truncated reference byte"},
        {"short reference without offset byte", concat(out3, {0x20}), 4,
         p + "truncated reference byte"},
        {"offset equal to the output length", concat(out3, {0x20, 0x03}), 6,
         p + "invalid back reference"},
        {"offset past the output, high bits", concat(out300, {0x21, 0xFF}), 310,
         p + "invalid back reference"},
        {"reference past the expected length", concat(out3, {0x20, 0x00}), 5,
         p + "match run exceeds output bounds"},
        {"long reference past the expected length", concat(out3, {0xE0, 0x01, 0x00}), 12,
         p + "match run exceeds output bounds"},
        {"truncated offset before output bounds", concat(out3, {0x20}), 3 + 1,
         p + "truncated reference byte"},
        {"invalid offset before output bounds", concat(out3, {0xE0, 0x00, 0x05}), 4,
         p + "invalid back reference"},
        {"short after a reference", concat(out3, {0x20, 0x00}), 7,
         p + "decompressed length 6 != expected 7"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(outcome(row.input, row.expected), row.message);
    }
}

TEST(Lzf, CapItselfIsAccepted) {
    // 512 MiB passes the cap test and fails only on the length.
    EXPECT_EQ(outcome({0x00, 'a'}, std::size_t{1} << 29),
              "parse error: LZF: decompressed length 1 != expected 536870912");
}

// ---- Differential tests against liblzf ------------------------------------------------

ByteVec liblzf_compress(const ByteVec& data) {
    ByteVec out(data.size() + data.size() / 16 + 64);
    const unsigned n = lzf_compress(data.data(), static_cast<unsigned>(data.size()), out.data(),
                                    static_cast<unsigned>(out.size()));
    EXPECT_GT(n, 0u);
    out.resize(n);
    return out;
}

// Runs both decoders on the same input and checks that they agree. liblzf stops with E2BIG
// when input remains after the output is full, where ours ignores the rest.
void expect_same_as_liblzf(const ByteVec& input, std::size_t expected) {
    ASSERT_FALSE(input.empty());  // liblzf reads one control byte even from empty input
    ByteVec buffer(expected + 1);
    errno = 0;
    const unsigned n = lzf_decompress(input.data(), static_cast<unsigned>(input.size()),
                                      buffer.data(), static_cast<unsigned>(expected));
    const int their_errno = errno;
    const ByteVec theirs(buffer.begin(), buffer.begin() + n);
    auto ours = lzf::decompress(Bytes(input), expected);
    const bool they_failed = n == 0 && their_errno != 0 && expected != 0;
    if (!they_failed && n == expected) {
        ASSERT_TRUE(ours.has_value()) << ours.error().display();
        EXPECT_EQ(*ours, theirs);
    } else if (!they_failed) {
        ASSERT_FALSE(ours.has_value());
        EXPECT_EQ(ours.error().display(), "parse error: LZF: decompressed length " +
                                              std::to_string(n) + " != expected " +
                                              std::to_string(expected));
    } else if (ours) {
        // Ours filled the output and ignored the rest, on which liblzf then stumbled: some
        // prefix of the input must give liblzf exactly our output.
        bool found = false;
        for (std::size_t len = 1; len <= input.size() && !found; ++len) {
            errno = 0;
            const unsigned m = lzf_decompress(input.data(), static_cast<unsigned>(len),
                                              buffer.data(), static_cast<unsigned>(expected));
            found = m == expected && errno == 0 &&
                    std::equal(ours->begin(), ours->end(), buffer.begin());
        }
        EXPECT_TRUE(found) << "liblzf failed with errno " << their_errno;
    }
}

ByteVec random_bytes(std::mt19937& rng, std::size_t n) {
    ByteVec data(n);
    for (auto& b : data) b = static_cast<std::uint8_t>(rng());
    return data;
}

// Profile-like data: u32 counts, mostly zero, with Gaussian peaks and noise.
ByteVec profile_like(std::mt19937& rng, std::size_t points) {
    std::normal_distribution<double> noise(0.0, 3.0);
    std::vector<std::uint32_t> counts(points, 0);
    for (int peak = 0; peak < 12; ++peak) {
        const double centre = static_cast<double>(rng() % points);
        const double height = 100.0 + static_cast<double>(rng() % 100000);
        for (std::size_t i = 0; i < points; ++i) {
            const double d = (static_cast<double>(i) - centre) / 3.0;
            if (std::abs(d) > 6) continue;
            counts[i] += static_cast<std::uint32_t>(height * std::exp(-d * d / 2) +
                                                    std::abs(noise(rng)));
        }
    }
    return sample_writer::profile_payload(counts);
}

ByteVec periodic(std::mt19937& rng, std::size_t n) {
    const std::size_t period = 1 + rng() % 300;
    ByteVec unit = random_bytes(rng, period);
    ByteVec data(n);
    for (std::size_t i = 0; i < n; ++i) data[i] = unit[i % period];
    return data;
}

TEST(LzfDifferential, StreamsFromLiblzf) {
    std::mt19937 rng(20260314);
    for (int round = 0; round < 300; ++round) {
        SCOPED_TRACE(round);
        const std::size_t n = 1 + rng() % 20000;
        ByteVec data;
        switch (round % 4) {
            case 0: data = random_bytes(rng, n); break;
            case 1: data = profile_like(rng, n / 4 + 1); break;
            case 2: data = periodic(rng, n); break;
            default: data = ByteVec(n, static_cast<std::uint8_t>(rng())); break;
        }
        const ByteVec stream = liblzf_compress(data);
        auto ours = lzf::decompress(Bytes(stream), data.size());
        ASSERT_TRUE(ours.has_value()) << ours.error().display();
        ASSERT_EQ(*ours, data);
        expect_same_as_liblzf(stream, data.size());
    }
}

TEST(LzfDifferential, DamagedStreams) {
    std::mt19937 rng(7);
    for (int round = 0; round < 3000; ++round) {
        SCOPED_TRACE(round);
        const ByteVec data = round % 2 == 0 ? periodic(rng, 1 + rng() % 3000)
                                            : profile_like(rng, 1 + rng() % 800);
        ByteVec stream = liblzf_compress(data);
        const int flips = 1 + static_cast<int>(rng() % 4);
        for (int f = 0; f < flips; ++f) stream[rng() % stream.size()] = static_cast<std::uint8_t>(rng());
        if (rng() % 4 == 0) stream.resize(1 + rng() % stream.size());
        std::size_t expected = data.size();
        if (rng() % 4 == 0) expected = rng() % (2 * data.size() + 1);
        expect_same_as_liblzf(stream, expected);
    }
}

TEST(LzfDifferential, RandomInput) {
    std::mt19937 rng(99);
    for (int round = 0; round < 3000; ++round) {
        SCOPED_TRACE(round);
        const ByteVec input = random_bytes(rng, 1 + rng() % 200);
        expect_same_as_liblzf(input, rng() % 2000);
    }
}

TEST(LzfDifferential, WriterStreams) {
    std::mt19937 rng(3);
    for (std::size_t n : {0u, 1u, 2u, 31u, 32u, 33u, 1000u}) {
        SCOPED_TRACE(n);
        const ByteVec data = random_bytes(rng, n);
        for (const ByteVec& stream : {sample_writer::lzf_literal_only(data), sample_writer::lzf_compress_bytes(data)}) {
            auto ours = lzf::decompress(Bytes(stream), n);
            ASSERT_TRUE(ours.has_value()) << ours.error().display();
            EXPECT_EQ(*ours, data);
        }
    }
}

}  // namespace
}  // namespace corvane::raw
