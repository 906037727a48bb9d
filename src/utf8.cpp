#include "utf8.hpp"

namespace corvane::utf8 {

Sequence sequence_at(std::string_view text, std::size_t i) {
    constexpr char32_t replacement = 0xFFFD;
    const auto lead = static_cast<unsigned char>(text[i]);
    if (lead < 0x80) return {1, true, lead};
    std::size_t extra;
    char32_t value;
    // Allowed range of the first continuation byte; the others are always 80..BF.
    unsigned char lo = 0x80;
    unsigned char hi = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        extra = 1;
        value = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        extra = 2;
        value = lead & 0x0Fu;
        if (lead == 0xE0) lo = 0xA0;  // overlong
        if (lead == 0xED) hi = 0x9F;  // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        extra = 3;
        value = lead & 0x07u;
        if (lead == 0xF0) lo = 0x90;  // overlong
        if (lead == 0xF4) hi = 0x8F;  // above U+10FFFF
    } else {
        return {1, false, replacement};
    }
    std::size_t good = 1;
    while (good <= extra && i + good < text.size()) {
        const auto c = static_cast<unsigned char>(text[i + good]);
        if (c < (good == 1 ? lo : 0x80) || c > (good == 1 ? hi : 0xBF)) break;
        value = (value << 6) | (c & 0x3Fu);
        ++good;
    }
    if (good != extra + 1) return {good, false, replacement};
    return {good, true, value};
}

bool valid(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        const auto seq = sequence_at(text, i);
        if (!seq.valid) return false;
        i += seq.length;
    }
    return true;
}

std::string lossy(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto seq = sequence_at(text, i);
        if (seq.valid) {
            out.append(text.substr(i, seq.length));
        } else {
            out += "\xEF\xBF\xBD";
        }
        i += seq.length;
    }
    return out;
}

}  // namespace corvane::utf8
