#include "text.hpp"

#include <array>
#include <bit>
#include <cstdio>
#include <cstring>
#include <optional>

#include "utf8.hpp"

namespace corvane::mzml {

namespace {

constexpr std::string_view replacement = "\xEF\xBF\xBD";  // U+FFFD

bool is_ascii_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Reads exactly n digits at text[pos], advancing pos.
std::optional<int> digits(std::string_view text, std::size_t& pos, std::size_t n) {
    if (n > text.size() - pos) return std::nullopt;
    int value = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const char c = text[pos + i];
        if (!is_digit(c)) return std::nullopt;
        value = value * 10 + (c - '0');
    }
    pos += n;
    return value;
}

bool expect(std::string_view text, std::size_t& pos, char c) {
    if (pos >= text.size() || text[pos] != c) return false;
    ++pos;
    return true;
}

bool is_leap(long long year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

}  // namespace

std::string xml_escape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    std::size_t pos = 0;
    while (pos < text.size()) {
        const auto seq = utf8::sequence_at(text, pos);
        if (!seq.valid) {  // one U+FFFD per byte of an ill-formed sequence
            out += replacement;
            ++pos;
            continue;
        }
        switch (seq.code_point) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&apos;"; break;
            // As references: a parser turns them raw into spaces inside attribute values
            // (and a CR into LF in content).
            case '\t': out += "&#9;"; break;
            case '\n': out += "&#10;"; break;
            case '\r': out += "&#13;"; break;
            default:
                if (seq.code_point < 0x20 || seq.code_point == 0xFFFE || seq.code_point == 0xFFFF) {
                    out += replacement;
                } else {
                    out += text.substr(pos, seq.length);
                }
        }
        pos += seq.length;
    }
    return out;
}

std::string xml_id(std::string_view text) {
    if (text.empty()) return "_";
    std::string out;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const auto seq = utf8::sequence_at(text, pos);
        const char32_t value = seq.code_point;  // U+FFFD when ill-formed
        const std::size_t length = seq.valid ? seq.length : 1;
        const char c = text[pos];
        const bool first = out.empty();
        // "_x" always starts an escape in the output, so a literal one is escaped too.
        const bool underscore_x = c == '_' && pos + 1 < text.size() && text[pos + 1] == 'x';
        const bool plain = value < 0x80 && !underscore_x &&
                           (is_ascii_letter(c) || c == '_' ||
                            (!first && (is_digit(c) || c == '-' || c == '.')));
        if (plain) {
            out += c;
        } else {
            char buffer[16];
            const int n = std::snprintf(buffer, sizeof buffer, "_x%04X_", static_cast<unsigned>(value));
            out.append(buffer, static_cast<std::size_t>(n));
        }
        pos += length;
    }
    return out;
}

bool is_xs_datetime(std::string_view text) {
    std::size_t pos = 0;
    if (!text.empty() && text[0] == '-') pos = 1;
    // Year: four digits or more, no leading zero beyond four, not 0000.
    std::size_t year_digits = 0;
    long long year = 0;
    while (pos + year_digits < text.size() && is_digit(text[pos + year_digits])) {
        if (year_digits >= 12) return false;
        year = year * 10 + (text[pos + year_digits] - '0');
        ++year_digits;
    }
    if (year_digits < 4 || (year_digits > 4 && text[pos] == '0') || year == 0) return false;
    pos += year_digits;
    if (!expect(text, pos, '-')) return false;
    const auto month = digits(text, pos, 2);
    if (!month || !expect(text, pos, '-')) return false;
    const auto day = digits(text, pos, 2);
    if (!day || !expect(text, pos, 'T')) return false;
    const auto hour = digits(text, pos, 2);
    if (!hour || !expect(text, pos, ':')) return false;
    const auto minute = digits(text, pos, 2);
    if (!minute || !expect(text, pos, ':')) return false;
    const auto second = digits(text, pos, 2);
    if (!second) return false;
    bool fraction_nonzero = false;
    if (pos < text.size() && text[pos] == '.') {
        ++pos;
        const std::size_t start = pos;
        while (pos < text.size() && is_digit(text[pos])) {
            fraction_nonzero = fraction_nonzero || text[pos] != '0';
            ++pos;
        }
        if (pos == start) return false;
    }
    if (pos < text.size()) {
        if (text[pos] == 'Z') {
            ++pos;
        } else if (text[pos] == '+' || text[pos] == '-') {
            ++pos;
            const auto zh = digits(text, pos, 2);
            if (!zh || !expect(text, pos, ':')) return false;
            const auto zm = digits(text, pos, 2);
            if (!zm || *zm > 59 || *zh > 14 || (*zh == 14 && *zm != 0)) return false;
        } else {
            return false;
        }
    }
    if (pos != text.size()) return false;

    static constexpr std::array<int, 12> days_in_month{31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (*month < 1 || *month > 12) return false;
    // Years before 1 BCE follow the proleptic calendar; year -0001 is leap like 0000 was.
    const long long calendar_year = text[0] == '-' ? 1 - year : year;
    const int month_days = days_in_month[static_cast<std::size_t>(*month - 1)] +
                           (*month == 2 && is_leap(calendar_year) ? 1 : 0);
    if (*day < 1 || *day > month_days) return false;
    if (*hour == 24) return *minute == 0 && *second == 0 && !fraction_nonzero;
    return *hour <= 23 && *minute <= 59 && *second <= 59;
}

std::string file_uri(std::string_view absolute_path) {
    std::string out = "file://";
    for (const char c : absolute_path) {
        const auto u = static_cast<unsigned char>(c);
        if (is_ascii_letter(c) || is_digit(c) || c == '-' || c == '.' || c == '_' || c == '~' || c == '/') {
            out += c;
        } else {
            static constexpr std::string_view hex = "0123456789ABCDEF";
            out += '%';
            out += hex[u >> 4];
            out += hex[u & 15];
        }
    }
    return out;
}

}  // namespace corvane::mzml
