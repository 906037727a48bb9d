#include "raw/msprofile.hpp"

#include <cstdint>
#include <iterator>
#include <limits>
#include <type_traits>
#include <vector>

#include "raw/lzf.hpp"

namespace corvane::raw {

namespace {

constexpr std::size_t preamble_size = 16;  // before the LZF stream, not interpreted
constexpr std::size_t header_size = 16;    // at the start of the expanded data, not interpreted

// Yields f(0), f(1), ... for int32 indices. A vector constructed from a pair of these is
// allocated once at its final size and each element written once, where resize() would
// zero-fill it first: one pass less over the largest arrays of a run.
template <class F>
class IndexIterator {
public:
    using iterator_category = std::random_access_iterator_tag;
    using value_type = std::invoke_result_t<const F&, std::int32_t>;
    using difference_type = std::ptrdiff_t;
    using pointer = void;
    using reference = value_type;

    IndexIterator(std::int32_t i, const F& f) : i_(i), f_(&f) {}
    value_type operator*() const { return (*f_)(i_); }
    IndexIterator& operator++() {
        ++i_;
        return *this;
    }
    IndexIterator operator++(int) {
        IndexIterator old = *this;
        ++i_;
        return old;
    }
    friend difference_type operator-(const IndexIterator& a, const IndexIterator& b) {
        return difference_type{a.i_} - b.i_;
    }
    friend bool operator==(const IndexIterator& a, const IndexIterator& b) { return a.i_ == b.i_; }

private:
    std::int32_t i_;
    const F* f_;
};

// The vector f(0), ..., f(n - 1).
template <class F>
auto generate(std::int32_t n, const F& f) {
    using T = std::invoke_result_t<const F&, std::int32_t>;
    return std::vector<T>(IndexIterator<F>(0, f), IndexIterator<F>(n, f));
}

}  // namespace

Result<DecodedBlock> decode_profile_block(Bytes block, const BlockRef& ref, double first,
                                          double last) {
    if (block.size() < preamble_size) return parse_error("MSProfile block too short for preamble");
    if (!ref.uncompressed_byte_count) {
        return parse_error("Missing UncompressedByteCount for profile block");
    }
    const std::size_t n = ref.point_count;
    if (n == 0) return DecodedBlock{};

    auto expanded =
        lzf::decompress_buffer(block.subspan(preamble_size), *ref.uncompressed_byte_count);
    if (!expanded) return std::unexpected(std::move(expanded.error()));
    const Bytes data = expanded->bytes();
    if (data.size() < header_size || (data.size() - header_size) / 4 < n) {
        return parse_error("Decompressed profile block too short for point count");
    }

    // n is now bounded by the expanded length (itself capped by the decompressor at 2^29
    // bytes), so n < 2^27 and every index fits an int32, whose conversion to double the
    // compiler vectorises (exact, like every index conversion here).
    static_assert(lzf::max_decompressed_len / 4 <= std::numeric_limits<std::int32_t>::max());
    const auto count = static_cast<std::int32_t>(n);
    DecodedBlock out;
    out.intensity = generate(count, [data](std::int32_t i) {
        // Nearest single, ties to even: values above 2^24 lose their low bits.
        const auto at = header_size + 4 * static_cast<std::size_t>(i);
        return static_cast<float>(load_le<std::uint32_t>(data, at));
    });
    // Each point from its index, never by repeated addition, so rounding does not drift.
    const double step = n == 1 ? 0.0 : (last - first) / static_cast<double>(n - 1);
    out.mz = generate(count, [step, first](std::int32_t i) {
        return static_cast<double>(i) * step + first;
    });
    return out;
}

}  // namespace corvane::raw
