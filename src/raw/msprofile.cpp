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

    IndexIterator() = default;
    IndexIterator(std::int32_t i, const F& f) : i_(i), f_(&f) {}

    value_type operator*() const { return (*f_)(i_); }
    value_type operator[](difference_type n) const { return (*f_)(at(n)); }

    IndexIterator& operator+=(difference_type n) {
        i_ = at(n);
        return *this;
    }
    IndexIterator& operator-=(difference_type n) { return *this += -n; }
    IndexIterator& operator++() { return *this += 1; }
    IndexIterator& operator--() { return *this -= 1; }
    IndexIterator operator++(int) {
        IndexIterator old = *this;
        ++*this;
        return old;
    }
    IndexIterator operator--(int) {
        IndexIterator old = *this;
        --*this;
        return old;
    }
    friend IndexIterator operator+(IndexIterator it, difference_type n) { return it += n; }
    friend IndexIterator operator+(difference_type n, IndexIterator it) { return it += n; }
    friend IndexIterator operator-(IndexIterator it, difference_type n) { return it -= n; }
    friend difference_type operator-(const IndexIterator& a, const IndexIterator& b) {
        return difference_type{a.i_} - b.i_;
    }
    friend bool operator==(const IndexIterator& a, const IndexIterator& b) { return a.i_ == b.i_; }
    friend auto operator<=>(const IndexIterator& a, const IndexIterator& b) { return a.i_ <=> b.i_; }

private:
    // Indices stay within [0, n] of one generate() call, which fits an int32.
    [[nodiscard]] std::int32_t at(difference_type n) const {
        return static_cast<std::int32_t>(difference_type{i_} + n);
    }

    std::int32_t i_ = 0;
    const F* f_ = nullptr;
};

// The category it declares is one it keeps, for the standard library's algorithms as well
// as for the vector constructor below.
using ProbeIterator = IndexIterator<double (*)(std::int32_t)>;
static_assert(std::random_access_iterator<ProbeIterator>);
static_assert(std::is_same_v<std::iterator_traits<ProbeIterator>::iterator_category,
                             std::random_access_iterator_tag>);

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
