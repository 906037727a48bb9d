#include "raw/lzf.hpp"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <string>

namespace corvane::raw::lzf {

namespace {

// Longest literal run (control byte 31) and the item sizes of the stream format.
constexpr std::uint8_t literal_limit = 32;  // control bytes below this start a literal run
constexpr unsigned long_reference = 7;      // length code that takes an extension byte
constexpr std::size_t max_expansion = 88;   // output bytes per input byte, at most

}  // namespace

Result<std::vector<std::uint8_t>> decompress(Bytes input, std::size_t expected) {
    if (expected > max_decompressed_len) {
        return parse_error("LZF: expected decompressed length " + std::to_string(expected) +
                           " exceeds cap of " + std::to_string(max_decompressed_len));
    }
    // No item yields more than 88 bytes per input byte (a long back reference: 3 bytes in,
    // 264 out), so no stream fills more than input.size() * 88 bytes. A larger expected
    // length can only end in an error; allocating all of it would let a few hostile bytes
    // claim 512 MiB. The checks below still run against `expected`, so the errors are the
    // same, and whenever decoding can succeed the buffer has exactly the final size.
    const std::size_t reachable = input.size() > max_decompressed_len / max_expansion
                                      ? expected
                                      : std::min(expected, input.size() * max_expansion);
    std::vector<std::uint8_t> out(reachable);
    const std::uint8_t* in = input.data();
    const std::size_t in_len = input.size();
    std::uint8_t* const dst = out.data();
    std::size_t ip = 0;
    std::size_t op = 0;

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
        if (op <= high * 256) return parse_error("LZF: invalid back reference");
        std::size_t len = std::size_t{c} >> 5;
        std::size_t p = ip + 1;
        if (len == long_reference) {
            if (p >= in_len) return parse_error("LZF: truncated length byte");
            len += in[p];
            ++p;
        }
        if (p >= in_len) return parse_error("LZF: truncated reference byte");
        const std::size_t offset = (high << 8) | in[p];
        if (offset >= op) return parse_error("LZF: invalid back reference");
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

    assert(op <= out.size());
    if (op != expected) {
        return parse_error("LZF: decompressed length " + std::to_string(op) + " != expected " +
                           std::to_string(expected));
    }
    return out;
}

}  // namespace corvane::raw::lzf
