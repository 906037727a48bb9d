#include "text.hpp"

#include <openssl/evp.h>

#include <stdexcept>

#include "utf8.hpp"

namespace corvane::report {

std::string html_text(std::string_view text) {
    const std::string valid = utf8::lossy(text);
    std::string out;
    out.reserve(valid.size());
    for (const char c : valid) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&#39;"; break;
            default: out += c;
        }
    }
    return out;
}

std::string script_safe_json(std::string_view json) {
    std::string out;
    out.reserve(json.size());
    for (std::size_t i = 0; i < json.size(); ++i) {
        const char c = json[i];
        if (c == '<') {
            out += "\\u003c";
        } else if (c == '>') {
            out += "\\u003e";
        } else if (c == '&') {
            out += "\\u0026";
        } else if (c == '\xE2' && i + 2 < json.size() && json[i + 1] == '\x80' &&
                   (json[i + 2] == '\xA8' || json[i + 2] == '\xA9')) {
            out += json[i + 2] == '\xA8' ? "\\u2028" : "\\u2029";
            i += 2;
        } else {
            out += c;
        }
    }
    return out;
}

std::array<std::uint8_t, 32> sha256(std::span<const std::uint8_t> bytes) {
    std::array<std::uint8_t, 32> digest{};
    unsigned int size = 0;
    // Fails only when the library cannot provide SHA-256 at all (an OpenSSL built or
    // configured without it): no page can be made safe then.
    if (EVP_Digest(bytes.data(), bytes.size(), digest.data(), &size, EVP_sha256(), nullptr) != 1 ||
        size != digest.size()) {
        throw std::runtime_error("SHA-256 is not available from OpenSSL");
    }
    return digest;
}

std::string script_hash_source(std::string_view script) {
    const auto digest = sha256({reinterpret_cast<const std::uint8_t*>(script.data()), script.size()});
    return "'sha256-" + base64(digest) + "'";
}

}  // namespace corvane::report
