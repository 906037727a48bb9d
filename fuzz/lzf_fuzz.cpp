// The LZF decoder against liblzf's lzf_decompress: input = expected length (u24), then
// the stream. Both must agree on success, and on success on every byte.
//
// Our decoder stops once the output is full and ignores what follows; liblzf goes on and
// fails on any further item. So liblzf gets the stream cut after the item that reaches
// the expected length (or all of it, when no item does).
#include <lzf.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include "fuzz_input.hpp"
#include "raw/lzf.hpp"

namespace {

// Length of the items of `in` that are needed to produce `expected` bytes: their input
// bytes are counted without decoding them.
std::size_t prefix_for(std::span<const std::uint8_t> in, std::size_t expected) {
    std::size_t ip = 0;
    std::size_t produced = 0;
    while (ip < in.size() && produced < expected) {
        const unsigned c = in[ip];
        if (c < 32) {
            ip += c + 2;
            produced += c + 1;
        } else if ((c >> 5) == 7) {
            const std::size_t ext = ip + 1 < in.size() ? in[ip + 1] : 0;
            ip += 3;
            produced += 7 + ext + 2;
        } else {
            ip += 2;
            produced += (c >> 5) + 2;
        }
    }
    return std::min(ip, in.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    corvane::fuzz::FieldReader fields({data, size});
    const std::size_t expected = fields.take<std::uint16_t>() |
                                 (std::size_t{fields.take<std::uint8_t>()} << 16);
    const auto input = fields.rest();

    auto ours = corvane::raw::lzf::decompress(input, expected);
    if (ours) FUZZ_CHECK(ours->size() == expected);
    if (!ours) {
        const auto* parse = ours.error().as_parse();
        FUZZ_CHECK(parse != nullptr && std::string_view(parse->message).starts_with("LZF: "));
    }
    if (expected == 0) {
        FUZZ_CHECK(ours.has_value());
        return 0;
    }

    // liblzf reads a control byte even from an empty input, so it is never called on one.
    const std::size_t prefix = prefix_for(input, expected);
    // liblzf is told the output holds `expected` bytes but writes only what it decodes, at
    // most 88 bytes per input byte (3 bytes of a long back reference give 264). Room for
    // that is enough, and spares a 16 MiB allocation for every hostile expected length.
    const std::size_t room = std::min(expected, 88 * prefix);
    const std::unique_ptr<std::uint8_t[]> theirs(new std::uint8_t[room + 1]);
    const unsigned got = prefix == 0 ? 0
                                     : lzf_decompress(input.data(), static_cast<unsigned>(prefix),
                                                      theirs.get(), static_cast<unsigned>(expected));
    const bool theirs_ok = got == expected;
    FUZZ_CHECK(ours.has_value() == theirs_ok);
    if (theirs_ok) FUZZ_CHECK(std::memcmp(ours->data(), theirs.get(), expected) == 0);
    return 0;
}
