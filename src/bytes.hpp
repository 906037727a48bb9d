// Little-endian loads at any byte position. Callers check the extent first.
#pragma once

#include <bit>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <type_traits>

namespace corvane {

using Bytes = std::span<const std::uint8_t>;

static_assert(std::endian::native == std::endian::little, "load_le assumes a little-endian host");

// The value of type T stored little-endian at bytes[offset]. The caller guarantees
// offset + sizeof(T) <= bytes.size(); memcpy keeps unaligned reads defined.
template <class T>
[[nodiscard]] inline T load_le(Bytes bytes, std::size_t offset) {
    static_assert(std::is_trivially_copyable_v<T>);
    assert(offset <= bytes.size() && sizeof(T) <= bytes.size() - offset);
    T value;
    std::memcpy(&value, bytes.data() + offset, sizeof(T));
    return value;
}

}  // namespace corvane
