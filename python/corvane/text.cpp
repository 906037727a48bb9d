// Number formatting for the representations (no Python objects involved).
#include <Python.h>

#include <array>
#include <charconv>
#include <cmath>

#include "capi/binding.hpp"

namespace corvane::python {

std::string format_seconds(double seconds) {
    if (std::isnan(seconds)) return "NaN";
    if (std::isinf(seconds)) return seconds < 0 ? "-inf" : "inf";
    // std::to_chars works from the exact binary value and breaks exact ties to even, so
    // 0.125 gives "0.12" and 2.675 (stored just below) "2.67". The largest double has 309
    // integer digits; with sign, point and two decimals 320 characters are enough.
    std::array<char, 320> buffer{};
    const auto [end, ec] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), seconds,
                                         std::chars_format::fixed, 2);
    if (ec != std::errc{}) return "NaN";  // cannot happen with this buffer size
    return std::string(buffer.data(), end);
}

}  // namespace corvane::python
