// LZF decompression with every step checked against the input and the expected length.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "bytes.hpp"
#include "error.hpp"

namespace corvane::raw::lzf {

// Largest expected length accepted (512 MiB); larger requests fail before allocating.
inline constexpr std::size_t max_decompressed_len = std::size_t{1} << 29;

// Expands input to exactly `expected` bytes. Parse errors, in the order checked:
// "LZF: expected decompressed length E exceeds cap of 536870912",
// "LZF: literal run out of bounds", "LZF: invalid back reference",
// "LZF: truncated length byte", "LZF: truncated reference byte",
// "LZF: match run exceeds output bounds", "LZF: decompressed length A != expected E".
// Input left over once the output is full is ignored.
[[nodiscard]] Result<std::vector<std::uint8_t>> decompress(Bytes input, std::size_t expected);

// Expanded bytes in a buffer that was not zero-filled when allocated; on success every
// one of its `size` bytes has been written.
struct Buffer {
    std::unique_ptr<std::uint8_t[]> data;
    std::size_t size = 0;

    [[nodiscard]] Bytes bytes() const { return {data.get(), size}; }
};

// decompress with the same checks, errors and allocation bound, into a Buffer: for a
// caller that reads the result once, the zero-fill of a vector would be wasted work.
[[nodiscard]] Result<Buffer> decompress_buffer(Bytes input, std::size_t expected);

}  // namespace corvane::raw::lzf
