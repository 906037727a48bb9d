#include "raw/metadata.hpp"

#include <cstdint>
#include <cstring>
#include <pugixml.hpp>

#include "raw/raw.hpp"
#include "utf8.hpp"

namespace corvane::raw {

namespace {

// Keep every node the document has, so "first child" means the first child in the file:
// whitespace-only text, comments and processing instructions stay; a document type
// declaration becomes a node so that it can be refused.
constexpr unsigned parse_options = pugi::parse_default | pugi::parse_ws_pcdata |
                                   pugi::parse_comments | pugi::parse_pi | pugi::parse_doctype;

// Whether a character reference names a character XML allows.
bool xml_char(std::uint32_t cp) {
    return cp == 0x9 || cp == 0xA || cp == 0xD || (cp >= 0x20 && cp <= 0xD7FF) ||
           (cp >= 0xE000 && cp <= 0xFFFD) || (cp >= 0x10000 && cp <= 0x10FFFF);
}

bool valid_reference(std::string_view name) {
    if (name == "amp" || name == "lt" || name == "gt" || name == "quot" || name == "apos") return true;
    if (name.size() < 2 || name[0] != '#') return false;
    const bool hex = name[1] == 'x';
    const std::string_view digits = name.substr(hex ? 2 : 1);
    if (digits.empty() || digits.size() > 8) return false;
    std::uint32_t cp = 0;
    for (const char c : digits) {
        std::uint32_t d;
        if (c >= '0' && c <= '9') {
            d = static_cast<std::uint32_t>(c - '0');
        } else if (hex && c >= 'a' && c <= 'f') {
            d = static_cast<std::uint32_t>(c - 'a' + 10);
        } else if (hex && c >= 'A' && c <= 'F') {
            d = static_cast<std::uint32_t>(c - 'A' + 10);
        } else {
            return false;
        }
        cp = cp * (hex ? 16u : 10u) + d;
    }
    return xml_char(cp);
}

// pugixml leaves an unknown entity reference or a bare "&" as literal text; a document
// that has one is not well-formed, so refuse it. Comments, CDATA sections and processing
// instructions hold no references.
bool references_well_formed(std::string_view text) {
    std::size_t i = 0;
    auto skip_past = [&](std::string_view open, std::string_view close) {
        if (text.compare(i, open.size(), open) != 0) return false;
        const auto end = text.find(close, i + open.size());
        i = end == std::string_view::npos ? text.size() : end + close.size();
        return true;
    };
    while (i < text.size()) {
        if (text[i] == '<') {
            if (skip_past("<!--", "-->") || skip_past("<![CDATA[", "]]>") || skip_past("<?", "?>")) continue;
        } else if (text[i] == '&') {
            const auto end = text.find(';', i + 1);
            if (end == std::string_view::npos || !valid_reference(text.substr(i + 1, end - i - 1))) {
                return false;
            }
            i = end;
        }
        ++i;
    }
    return true;
}

std::string_view local_name(const pugi::xml_node& node) {
    std::string_view name = node.name();
    const auto colon = name.find(':');
    return colon == std::string_view::npos ? name : name.substr(colon + 1);
}

bool is_text(const pugi::xml_node& node) {
    return node.type() == pugi::node_pcdata || node.type() == pugi::node_cdata;
}

// A parsed document, or nothing when the text is not well-formed, not UTF-8, or
// carries a document type declaration.
class Document {
public:
    bool load(std::string_view text) {
        if (!utf8::valid(text) || !references_well_formed(text)) return false;
        const auto result = doc_.load_buffer(text.data(), text.size(), parse_options, pugi::encoding_utf8);
        if (!result) return false;
        std::size_t elements = 0;
        for (const auto& child : doc_.children()) {
            if (child.type() == pugi::node_doctype) return false;
            if (child.type() == pugi::node_element) ++elements;
        }
        return elements == 1;
    }
    [[nodiscard]] const pugi::xml_document& doc() const { return doc_; }

private:
    pugi::xml_document doc_;
};

std::optional<std::string> read_text_file(const std::string& path) {
    auto bytes = read_file(path);
    if (!bytes) return std::nullopt;
    return std::string(bytes->begin(), bytes->end());
}

// The first element named `name` in document order, the root included. Iterative, so
// deeply nested documents cannot exhaust the stack.
pugi::xml_node find_first_element(const pugi::xml_node& root, std::string_view name) {
    pugi::xml_node node = root;
    while (node) {
        if (node.type() == pugi::node_element && local_name(node) == name) return node;
        if (auto child = node.first_child()) {
            node = child;
            continue;
        }
        while (node && node != root && !node.next_sibling()) node = node.parent();
        if (!node || node == root) break;
        node = node.next_sibling();
    }
    return {};
}

// Decodes the code point starting at s[i] of valid UTF-8 text; sets len to its size.
std::uint32_t decode_at(std::string_view s, std::size_t i, std::size_t& len) {
    const auto b = static_cast<unsigned char>(s[i]);
    auto cont = [&](std::size_t k) { return static_cast<std::uint32_t>(static_cast<unsigned char>(s[i + k]) & 0x3F); };
    if (b < 0x80) { len = 1; return b; }
    if (b < 0xE0 && i + 1 < s.size()) { len = 2; return ((b & 0x1Fu) << 6) | cont(1); }
    if (b < 0xF0 && i + 2 < s.size()) { len = 3; return ((b & 0x0Fu) << 12) | (cont(1) << 6) | cont(2); }
    if (i + 3 < s.size()) { len = 4; return ((b & 0x07u) << 18) | (cont(1) << 12) | (cont(2) << 6) | cont(3); }
    len = 1;
    return 0xFFFD;
}

bool is_white_space(std::uint32_t cp) {
    return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 || cp == 0x1680 ||
           (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F ||
           cp == 0x205F || cp == 0x3000;
}

// Start of the UTF-8 sequence that ends just before position end.
std::size_t previous_start(std::string_view s, std::size_t end) {
    std::size_t i = end - 1;
    while (i > 0 && (static_cast<unsigned char>(s[i]) & 0xC0) == 0x80) --i;
    return i;
}

}  // namespace

std::string_view trim_unicode_whitespace(std::string_view text) {
    std::size_t begin = 0;
    while (begin < text.size()) {
        std::size_t len = 0;
        if (!is_white_space(decode_at(text, begin, len))) break;
        begin += len;
    }
    std::size_t end = text.size();
    while (end > begin) {
        const std::size_t start = previous_start(text, end);
        std::size_t len = 0;
        if (!is_white_space(decode_at(text, start, len))) break;
        end = start;
    }
    return text.substr(begin, end - begin);
}

std::optional<std::string> child_text(const pugi::xml_node& element, std::string_view name) {
    for (auto child = element.first_child(); child; child = child.next_sibling()) {
        if (child.type() != pugi::node_element || local_name(child) != name) continue;
        // Only the leading run of character data counts: text and CDATA sections up to
        // the first comment, processing instruction or element.
        auto node = child.first_child();
        if (!node || !is_text(node)) return std::nullopt;
        std::string text;
        for (; node && is_text(node); node = node.next_sibling()) text += node.value();
        return std::string(trim_unicode_whitespace(text));
    }
    return std::nullopt;
}

std::optional<DeviceInfo> devices_from_text(std::string_view text) {
    Document document;
    if (!document.load(text)) return std::nullopt;
    const auto device = find_first_element(document.doc().document_element(), "Device");
    if (!device) return std::nullopt;
    auto name = child_text(device, "Name");
    if (!name) return std::nullopt;
    auto model = child_text(device, "ModelNumber");
    if (!model || name->empty() || model->empty()) return std::nullopt;
    return DeviceInfo{std::move(*name), std::move(*model)};
}

std::optional<std::string> acquired_time_from_text(std::string_view text) {
    Document document;
    if (!document.load(text)) return std::nullopt;
    auto time = child_text(document.doc().document_element(), "AcquiredTime");
    if (!time || time->empty()) return std::nullopt;
    return time;
}

std::optional<DeviceInfo> parse_devices_xml(const std::string& path) {
    const auto text = read_text_file(path);
    if (!text) return std::nullopt;
    return devices_from_text(*text);
}

std::optional<std::string> parse_acquired_time(const std::string& path) {
    const auto text = read_text_file(path);
    if (!text) return std::nullopt;
    return acquired_time_from_text(*text);
}

}  // namespace corvane::raw
