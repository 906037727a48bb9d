// Text pieces of an mzML document: XML escaping, identifiers, dates, URIs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "base64.hpp"

namespace corvane::mzml {

// base64 is the one encoder of base64.hpp.
using corvane::base64_encode;
using corvane::base64_length;

// text with &, <, >, " and ' replaced by entities, and tab, LF and CR by character
// references (&#9; &#10; &#13;, which a parser gives back as they are, where raw ones
// become spaces in attribute values), for attribute values and content.
// Control characters that XML 1.0 cannot carry (below 0x20 except tab, LF, CR) become
// U+FFFD; invalid UTF-8 is replaced by U+FFFD too, so the document stays well-formed.
[[nodiscard]] std::string xml_escape(std::string_view text);

// A valid xs:ID (an NCName) made from text: characters an NCName cannot hold are written
// as _xHHHH_ (their code point in hex), as is a leading character that cannot start one;
// empty text gives "_". Distinct texts give distinct IDs.
[[nodiscard]] std::string xml_id(std::string_view text);

// Whether text is a complete xs:dateTime: [-]YYYY-MM-DDThh:mm:ss[.f+][Z|(+|-)hh:mm], with
// a valid month, a day that exists in that month and year, hours 00-23 (or 24:00:00 with
// no fraction), minutes and seconds 00-59, zone offsets up to 14:00.
[[nodiscard]] bool is_xs_datetime(std::string_view text);

// A file:// URI for an absolute path; bytes outside the unreserved set and "/" are
// percent-encoded.
[[nodiscard]] std::string file_uri(std::string_view absolute_path);

}  // namespace corvane::mzml
