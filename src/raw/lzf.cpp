#include "raw/lzf.hpp"

#include <algorithm>
#include <array>
#include <cassert>
#include <cstring>
#include <string>

namespace corvane::raw::lzf {

namespace {

// Longest literal run (control byte 31) and the item sizes of the stream format.
constexpr std::uint8_t literal_limit = 32;  // control bytes below this start a literal run
constexpr unsigned long_reference = 7;      // length code that takes an extension byte
constexpr std::size_t max_expansion = 88;   // output bytes per input byte, at most
constexpr std::size_t longest_literal = 32;
constexpr std::size_t longest_match = 264;  // long back reference: 7 + 255 + 2 bytes

// The fast loop copies in whole chunks and may write past the end of an item (the next
// items overwrite those bytes) and read past the end of a literal run. It runs only
// while that cannot leave the buffers: a literal run reads its control byte plus 32
// bytes, and the widest write (a 264-byte match in 16-byte chunks, or a 32-byte literal
// copy) ends less than 264 + 16 bytes after op. So within these margins no item can fail
// a bounds check either; only the two back-reference tests remain.
constexpr std::size_t fast_input_margin = 1 + longest_literal;
constexpr std::size_t fast_output_margin = longest_match + 16;

std::unexpected<Error> invalid_reference() { return parse_error("LZF: invalid back reference"); }

// For a period d of 1 to 7: j % d for j < 8, and the largest multiple of d that is at
// most 8. Tables, because a division here would cost more than the copy.
constexpr std::array<std::array<std::uint8_t, 8>, 8> period_index = [] {
    std::array<std::array<std::uint8_t, 8>, 8> table{};
    for (std::size_t d = 1; d < 8; ++d) {
        for (std::size_t j = 0; j < 8; ++j) table[d][j] = static_cast<std::uint8_t>(j % d);
    }
    return table;
}();
constexpr std::array<std::uint8_t, 8> period_step = {0, 8, 8, 6, 8, 5, 6, 7};

// Moves n bytes through a register: defined even when the two ranges overlap, and then
// the bytes read are the ones from before the write.
template <std::size_t n>
void copy_chunk(std::uint8_t* to, const std::uint8_t* from) {
    std::uint8_t chunk[n];
    std::memcpy(chunk, from, n);
    std::memcpy(to, chunk, n);
}

// Copies `count` bytes forward from `distance` bytes back, with the result of the byte
// loop to[k] = to[k - distance] for k < count, and may write up to 15 bytes past that.
void copy_match_wide(std::uint8_t* to, std::size_t distance, std::size_t count) {
    const std::uint8_t* from = to - distance;
    if (distance >= 16) {
        // Each chunk reads only bytes before the ones it writes, all final already.
        for (std::size_t k = 0; k < count; k += 16) copy_chunk<16>(to + k, from + k);
    } else if (distance >= count) {
        // count < 16: one chunk. The bytes it takes from at or past `to` are stale, but
        // they land at or past to + count, where later items write.
        copy_chunk<16>(to, from);
    } else if (distance >= 8) {
        for (std::size_t k = 0; k < count; k += 8) copy_chunk<8>(to + k, from + k);
    } else {
        // Distance 1 to 7: the output repeats with that period, so every 8-byte group
        // that starts at a multiple of the period equals the first one, from[j % d] for
        // j < 8. Build it from the source bytes (all final) and store it at steps of the
        // largest multiple of the period that is at most 8: the stores overlap and leave
        // no gaps.
        std::uint8_t pattern[8];
        for (std::size_t j = 0; j < 8; ++j) pattern[j] = from[period_index[distance][j]];
        const std::size_t step = period_step[distance];
        for (std::size_t k = 0; k < count; k += step) std::memcpy(to + k, pattern, 8);
    }
}

// Expands input into dst, which holds `capacity` bytes (at most `expected`, and at least
// as many as the stream can produce); returns the number of bytes produced.
Result<std::size_t> expand(Bytes input, std::uint8_t* dst, std::size_t capacity,
                           std::size_t expected) {
    assert(capacity <= expected);
    const std::uint8_t* in = input.data();
    const std::size_t in_len = input.size();
    std::size_t ip = 0;
    std::size_t op = 0;

    // Fast loop, far from both ends. op < capacity <= expected and ip < in_len hold, as at
    // the top of the exact loop below, and every check that could fail here runs in the
    // same order as there.
    while (in_len - ip >= fast_input_margin && capacity - op >= fast_output_margin) {
        const std::uint8_t c = in[ip];
        if (c < literal_limit) {
            const std::size_t run = std::size_t{c} + 1;
            std::memcpy(dst + op, in + ip + 1, longest_literal);
            op += run;
            ip += run + 1;
            continue;
        }
        const std::size_t high = std::size_t{c} & 31;
        if (op <= high * 256) return invalid_reference();
        std::size_t len = std::size_t{c} >> 5;
        std::size_t p = ip + 1;
        if (len == long_reference) len += in[p++];
        const std::size_t offset = (high << 8) | in[p];
        if (offset >= op) return invalid_reference();
        const std::size_t count = len + 2;
        copy_match_wide(dst + op, offset + 1, count);
        op += count;
        ip = p + 1;
    }

    // Exact loop, near the ends: every bound checked, nothing copied past an item.
    // Invariants at the top of each pass: ip < in_len and op < expected.
    while (ip < in_len && op < expected) {
        const std::uint8_t c = in[ip];
        if (c < literal_limit) {
            const std::size_t run = std::size_t{c} + 1;
            // The run's bytes follow the control byte: in[ip + 1, ip + 1 + run).
            if (run > in_len - ip - 1 || run > expected - op) {
                return parse_error("LZF: literal run out of bounds");
            }
            std::memcpy(dst + op, in + ip + 1, run);
            op += run;
            ip += run + 1;
            continue;
        }

        // Back reference. The high bits of the offset alone already rule out some
        // references before any further byte is read.
        const std::size_t high = std::size_t{c} & 31;
        if (op <= high * 256) return invalid_reference();
        std::size_t len = std::size_t{c} >> 5;
        std::size_t p = ip + 1;
        if (len == long_reference) {
            if (p >= in_len) return parse_error("LZF: truncated length byte");
            len += in[p];
            ++p;
        }
        if (p >= in_len) return parse_error("LZF: truncated reference byte");
        const std::size_t offset = (high << 8) | in[p];
        if (offset >= op) return invalid_reference();
        const std::size_t count = len + 2;
        if (count > expected - op) return parse_error("LZF: match run exceeds output bounds");

        // Source starts offset + 1 bytes back; offset < op keeps it inside the output.
        const std::size_t distance = offset + 1;
        std::uint8_t* to = dst + op;
        const std::uint8_t* from = to - distance;
        if (distance >= count) {
            std::memcpy(to, from, count);  // no overlap: same bytes as the forward loop
        } else if (distance == 1) {
            std::memset(to, *from, count);  // repeats the last byte
        } else {
            // Overlapping: must read bytes this copy has just written, so go byte by byte
            // (memmove would copy the old bytes instead).
            for (std::size_t k = 0; k < count; ++k) to[k] = from[k];
        }
        op += count;
        ip = p + 1;
    }

    assert(op <= capacity);
    if (op != expected) {
        return parse_error("LZF: decompressed length " + std::to_string(op) + " != expected " +
                           std::to_string(expected));
    }
    return op;
}

// The cap test, and the size of the buffer to allocate once it passes.
Result<std::size_t> buffer_size(Bytes input, std::size_t expected) {
    if (expected > max_decompressed_len) {
        return parse_error("LZF: expected decompressed length " + std::to_string(expected) +
                           " exceeds cap of " + std::to_string(max_decompressed_len));
    }
    // No item yields more than 88 bytes per input byte (a long back reference: 3 bytes in,
    // 264 out), so no stream fills more than input.size() * 88 bytes. A larger expected
    // length can only end in an error; allocating all of it would let a few hostile bytes
    // claim 512 MiB. The checks still run against `expected`, so the errors are the same,
    // and whenever decoding can succeed the buffer has exactly the final size.
    return input.size() > max_decompressed_len / max_expansion
               ? expected
               : std::min(expected, input.size() * max_expansion);
}

}  // namespace

Result<std::vector<std::uint8_t>> decompress(Bytes input, std::size_t expected) {
    const auto size = buffer_size(input, expected);
    if (!size) return std::unexpected(std::move(size.error()));
    std::vector<std::uint8_t> out(*size);
    if (auto done = expand(input, out.data(), out.size(), expected); !done) {
        return std::unexpected(std::move(done.error()));
    }
    return out;
}

Result<Buffer> decompress_buffer(Bytes input, std::size_t expected) {
    const auto size = buffer_size(input, expected);
    if (!size) return std::unexpected(std::move(size.error()));
    Buffer out{std::make_unique_for_overwrite<std::uint8_t[]>(*size), *size};
    if (auto done = expand(input, out.data.get(), out.size, expected); !done) {
        return std::unexpected(std::move(done.error()));
    }
    return out;
}

}  // namespace corvane::raw::lzf
