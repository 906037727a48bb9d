// The LZF decoder's wide-copy fast path against a byte-at-a-time reference decoder and
// against liblzf: same bytes on success, same message on failure, for streams that
// cross the fast path's margins at every position, back references at every short
// distance, runs that end exactly at the expected length, and damaged streams.
#include <gtest/gtest.h>
#include <lzf.h>

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "raw/lzf.hpp"

namespace {

using corvane::Bytes;
using ByteVec = std::vector<std::uint8_t>;
using Outcome = std::variant<ByteVec, std::string>;  // the bytes, or the error message

// The stream format decoded one byte at a time, every check in the documented order.
Outcome reference_decode(const ByteVec& in, std::size_t expected) {
    if (expected > corvane::raw::lzf::max_decompressed_len) {
        return "LZF: expected decompressed length " + std::to_string(expected) +
               " exceeds cap of 536870912";
    }
    ByteVec out;
    std::size_t ip = 0;
    while (ip < in.size() && out.size() < expected) {
        const std::size_t c = in[ip];
        if (c < 32) {
            if (ip + c + 2 > in.size() || out.size() + c + 1 > expected) {
                return std::string("LZF: literal run out of bounds");
            }
            out.insert(out.end(), in.begin() + static_cast<std::ptrdiff_t>(ip) + 1,
                       in.begin() + static_cast<std::ptrdiff_t>(ip + c + 2));
            ip += c + 2;
            continue;
        }
        if (out.size() <= (c & 31) * 256) return std::string("LZF: invalid back reference");
        std::size_t len = c >> 5;
        std::size_t p = ip + 1;
        if (len == 7) {
            if (p >= in.size()) return std::string("LZF: truncated length byte");
            len += in[p++];
        }
        if (p >= in.size()) return std::string("LZF: truncated reference byte");
        const std::size_t offset = ((c & 31) << 8) | in[p];
        if (offset >= out.size()) return std::string("LZF: invalid back reference");
        if (out.size() + len + 2 > expected) return std::string("LZF: match run exceeds output bounds");
        for (std::size_t k = 0; k < len + 2; ++k) out.push_back(out[out.size() - offset - 1]);
        ip = p + 1;
    }
    if (out.size() != expected) {
        return "LZF: decompressed length " + std::to_string(out.size()) + " != expected " +
               std::to_string(expected);
    }
    return out;
}

// Both entry points of the decoder must give the reference's outcome.
void expect_same_as_reference(const ByteVec& in, std::size_t expected) {
    const Outcome want = reference_decode(in, expected);
    auto vec = corvane::raw::lzf::decompress(Bytes(in), expected);
    auto buf = corvane::raw::lzf::decompress_buffer(Bytes(in), expected);
    if (const auto* bytes = std::get_if<ByteVec>(&want)) {
        ASSERT_TRUE(vec.has_value()) << vec.error().display();
        ASSERT_TRUE(buf.has_value()) << buf.error().display();
        ASSERT_EQ(*vec, *bytes);
        ASSERT_EQ(ByteVec(buf->data.get(), buf->data.get() + buf->size), *bytes);
    } else {
        const std::string message = "parse error: " + std::get<std::string>(want);
        ASSERT_FALSE(vec.has_value());
        ASSERT_FALSE(buf.has_value());
        ASSERT_EQ(vec.error().display(), message);
        ASSERT_EQ(buf.error().display(), message);
    }
}

class Rng {
public:
    explicit Rng(std::uint64_t seed) : state_(seed) {}
    std::uint32_t below(std::uint32_t n) {
        state_ = state_ * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<std::uint32_t>(((state_ >> 33) * n) >> 31);
    }

private:
    std::uint64_t state_;
};

void put_literal(ByteVec& s, std::size_t& produced, const ByteVec& bytes) {
    s.push_back(static_cast<std::uint8_t>(bytes.size() - 1));
    s.insert(s.end(), bytes.begin(), bytes.end());
    produced += bytes.size();
}

// A back reference copying `count` (3..264) bytes from `distance` (1..8192) bytes back.
void put_reference(ByteVec& s, std::size_t& produced, std::size_t distance, std::size_t count) {
    const std::size_t offset = distance - 1;
    const std::size_t len = count - 2;
    const auto high = static_cast<std::uint8_t>(offset >> 8);
    if (len < 7) {
        s.push_back(static_cast<std::uint8_t>(len << 5 | high));
    } else {
        s.push_back(static_cast<std::uint8_t>(7 << 5 | high));
        s.push_back(static_cast<std::uint8_t>(len - 7));
    }
    s.push_back(static_cast<std::uint8_t>(offset & 0xFF));
    produced += count;
}

// A valid stream of about `target` bytes: random literal runs and back references, half
// of them at distances 1 to 16. Returns the stream; `produced` is its exact length.
ByteVec random_stream(Rng& rng, std::size_t target, std::size_t& produced) {
    ByteVec s;
    produced = 0;
    while (produced < target) {
        if (produced == 0 || rng.below(3) == 0) {
            ByteVec lit(1 + rng.below(32));
            for (auto& b : lit) b = static_cast<std::uint8_t>(rng.below(256));
            put_literal(s, produced, lit);
        } else {
            const std::size_t limit = std::min<std::size_t>(produced, 8192);
            const std::size_t distance = rng.below(2) == 0
                                             ? 1 + rng.below(static_cast<std::uint32_t>(std::min<std::size_t>(limit, 16)))
                                             : 1 + rng.below(static_cast<std::uint32_t>(limit));
            const std::size_t count = rng.below(4) == 0 ? 3 + rng.below(262) : 3 + rng.below(14);
            put_reference(s, produced, distance, count);
        }
    }
    return s;
}

TEST(LzfFastPath, ShortDistancesAndEveryLength) {
    // 300 bytes of literals put op well inside the fast path, then one reference of each
    // distance 1..20 and each length 3..264, then literals to leave the end margin.
    for (std::size_t distance = 1; distance <= 20; ++distance) {
        for (std::size_t count = 3; count <= 264; ++count) {
            SCOPED_TRACE("distance " + std::to_string(distance) + ", count " + std::to_string(count));
            ByteVec s;
            std::size_t produced = 0;
            for (std::size_t k = 0; k < 10; ++k) {
                ByteVec lit(30);
                for (std::size_t i = 0; i < lit.size(); ++i) lit[i] = static_cast<std::uint8_t>(k * 31 + i * 7);
                put_literal(s, produced, lit);
            }
            put_reference(s, produced, distance, count);
            for (int k = 0; k < 12; ++k) put_literal(s, produced, ByteVec(32, static_cast<std::uint8_t>(k)));
            expect_same_as_reference(s, produced);
        }
    }
}

TEST(LzfFastPath, StreamsOfEveryLengthAcrossTheMargins) {
    // Every output length up to 700 bytes, several streams each: the switch from the fast
    // loop to the exact one falls on every kind of item at every distance from the end.
    Rng rng(42);
    for (std::size_t target = 1; target <= 700; ++target) {
        for (int rep = 0; rep < 6; ++rep) {
            std::size_t produced = 0;
            const ByteVec s = random_stream(rng, target, produced);
            SCOPED_TRACE("target " + std::to_string(target) + ", rep " + std::to_string(rep));
            expect_same_as_reference(s, produced);
            // One short and one long: the last item no longer fits, or the input runs out.
            expect_same_as_reference(s, produced - 1);
            expect_same_as_reference(s, produced + 1);
        }
    }
}

TEST(LzfFastPath, RunsEndingExactlyAtTheEnd) {
    // A long stream whose last item, a literal run or a reference of each length, ends
    // exactly at the expected length; then the same stream with trailing garbage, which
    // must be ignored once the output is full.
    for (std::size_t count = 1; count <= 264; ++count) {
        ByteVec s;
        std::size_t produced = 0;
        for (int k = 0; k < 40; ++k) put_literal(s, produced, ByteVec(32, static_cast<std::uint8_t>(k + 1)));
        if (count <= 32) {
            put_literal(s, produced, ByteVec(count, 0xAB));
        } else {
            put_reference(s, produced, 1 + count % 9, count);
        }
        SCOPED_TRACE("count " + std::to_string(count));
        expect_same_as_reference(s, produced);
        ByteVec trailing = s;
        trailing.insert(trailing.end(), {0xE0, 0xFF, 0xFF, 0x1F});
        expect_same_as_reference(trailing, produced);
    }
}

TEST(LzfFastPath, DamagedStreamsFailWithTheSameMessage) {
    // Random byte changes and truncations of valid streams: whatever the reference
    // decoder says (bytes or one of the messages), the fast path says too.
    Rng rng(7);
    for (int rep = 0; rep < 3000; ++rep) {
        std::size_t produced = 0;
        ByteVec s = random_stream(rng, 50 + rng.below(3000), produced);
        const std::uint32_t changes = 1 + rng.below(4);
        for (std::uint32_t k = 0; k < changes; ++k) {
            s[rng.below(static_cast<std::uint32_t>(s.size()))] = static_cast<std::uint8_t>(rng.below(256));
        }
        if (rng.below(4) == 0) s.resize(rng.below(static_cast<std::uint32_t>(s.size())));
        SCOPED_TRACE("rep " + std::to_string(rep));
        expect_same_as_reference(s, produced);
    }
}

TEST(LzfFastPath, AgreesWithLiblzfOnCompressedData) {
    // liblzf's own streams of periodic data (periods 1..16, the overlapping distances),
    // random data and mixed blocks: corvane expands them to the original bytes.
    Rng rng(99);
    std::vector<ByteVec> inputs;
    for (std::size_t period = 1; period <= 16; ++period) {
        ByteVec d(5000 + period * 37);
        for (std::size_t i = 0; i < d.size(); ++i) d[i] = static_cast<std::uint8_t>((i % period) * 17 + 3);
        inputs.push_back(d);
    }
    for (int rep = 0; rep < 40; ++rep) {
        ByteVec d(1 + rng.below(20000));
        std::size_t i = 0;
        while (i < d.size()) {
            const std::size_t run = std::min<std::size_t>(d.size() - i, 1 + rng.below(400));
            const std::uint32_t kind = rng.below(3);
            for (std::size_t k = 0; k < run; ++k, ++i) {
                d[i] = kind == 0 ? 0 : kind == 1 ? static_cast<std::uint8_t>(rng.below(256)) : static_cast<std::uint8_t>(k % 4 == 0 ? rng.below(8) : 0);
            }
        }
        inputs.push_back(d);
    }
    for (const auto& data : inputs) {
        ByteVec packed(data.size() + data.size() / 16 + 64);
        const unsigned n = lzf_compress(data.data(), static_cast<unsigned>(data.size()), packed.data(),
                                        static_cast<unsigned>(packed.size()));
        ASSERT_GT(n, 0u);
        packed.resize(n);
        ByteVec theirs(data.size());
        ASSERT_EQ(lzf_decompress(packed.data(), n, theirs.data(), static_cast<unsigned>(theirs.size())),
                  data.size());
        auto ours = corvane::raw::lzf::decompress_buffer(Bytes(packed), data.size());
        ASSERT_TRUE(ours.has_value()) << ours.error().display();
        EXPECT_EQ(ByteVec(ours->data.get(), ours->data.get() + ours->size), theirs);
        expect_same_as_reference(packed, data.size());
    }
}

}  // namespace
