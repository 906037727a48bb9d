// Text helpers of the report page: escaping for the places text lands, and the encodings
// the page's data and its Content-Security-Policy need.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "base64.hpp"

namespace corvane::report {

// Text for HTML element content or a quoted attribute value: & < > " ' as character
// references; bytes that are not UTF-8 as U+FFFD.
[[nodiscard]] std::string html_text(std::string_view text);

// JSON text made safe inside a <script> element: every < > & and U+2028, U+2029 written as
// \u escapes (they can only stand inside JSON strings, where the escapes mean the same),
// so no "</script", "<!--" or line separator can end or change the element.
[[nodiscard]] std::string script_safe_json(std::string_view json);

// RFC 4648 base64 with padding: the one encoder of base64.hpp.
using corvane::base64;

// SHA-256 of bytes (FIPS 180-4), from OpenSSL. Throws std::runtime_error when OpenSSL
// cannot provide it.
[[nodiscard]] std::array<std::uint8_t, 32> sha256(std::span<const std::uint8_t> bytes);

// The CSP source expression allowing exactly this inline script: 'sha256-<base64>'.
[[nodiscard]] std::string script_hash_source(std::string_view script);

}  // namespace corvane::report
