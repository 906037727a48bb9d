// The one UTF-8 decoder: the metadata readers, the reader's source name and the mzML
// text escaping all decode through sequence_at.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace corvane::utf8 {

// The sequence at text[i] (i < text.size()): its length, whether it is well-formed, and
// the code point it encodes (U+FFFD when ill-formed). For an ill-formed sequence the
// length is that of its maximal invalid subpart (at least 1), the unit that a lossy
// conversion replaces by one U+FFFD. Strict: no overlong forms, no surrogates, nothing
// above U+10FFFF; never reads at or past text.size().
struct Sequence {
    std::size_t length;
    bool valid;
    char32_t code_point;
};
[[nodiscard]] Sequence sequence_at(std::string_view text, std::size_t i);

// Whether the whole text is well-formed UTF-8.
[[nodiscard]] bool valid(std::string_view text);

// The text with every ill-formed sequence replaced by U+FFFD.
[[nodiscard]] std::string lossy(std::string_view text);

}  // namespace corvane::utf8
