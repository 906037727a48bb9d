#include "raw/metadata.hpp"

#include <expat.h>

#include <algorithm>
#include <array>
#include <cassert>
#include <climits>
#include <cstddef>
#include <initializer_list>
#include <memory>
#include <type_traits>

#include "raw/raw.hpp"
#include "utf8.hpp"

namespace corvane::raw {

namespace {

static_assert(std::is_same_v<XML_Char, char>, "expat must hand out UTF-8 (built without XML_UNICODE)");

// expat joins a namespace URI and a local name with this separator. The byte 0xFF never
// occurs in UTF-8, so no URI can hold it (expat refuses a URI holding its separator, which
// would make a well-formed document fail with a printable separator).
constexpr XML_Char namespace_separator = static_cast<XML_Char>(0xFF);

// The local name of an expanded name ("uri" 0xFF "local", or "local" with no namespace).
std::string_view local_name(const XML_Char* expanded) {
    const std::string_view name(expanded);
    const auto separator = name.rfind(namespace_separator);
    return separator == std::string_view::npos ? name : name.substr(separator + 1);
}

// The text of an element: the character data of its first child node, when that node is
// character data. Text, references and CDATA sections make one run, which ends at the
// first comment, processing instruction or child element, or at the end tag. An element
// whose first child node is anything else, or that has none, has no text.
class TextRun {
public:
    // Character data from text, a reference or a CDATA section.
    void text(std::string_view data) {
        if (closed_) return;
        started_ = true;
        text_.append(data);
    }
    // A CDATA section starts a run even when it is empty.
    void cdata() {
        if (!closed_) started_ = true;
    }
    // Any other node, or the element's end.
    void close() { closed_ = true; }
    // The run, or nothing when the element has no text.
    [[nodiscard]] std::optional<std::string> take() {
        if (!started_) return std::nullopt;
        return std::move(text_);
    }

private:
    std::string text_;
    bool started_ = false;
    bool closed_ = false;
};

// One pass over a document that keeps only what a reader asks for: the first element in
// document order whose local name is `parent` (any element, that is the root, when
// `parent` is empty) and the text of the first direct child element of each wanted name.
// Nothing is kept for the other nodes, and expat keeps its own element stack on the
// heap, so nesting depth costs no stack.
class Scan {
public:
    static constexpr std::size_t max_children = 2;

    Scan(std::string_view parent, std::initializer_list<std::string_view> children)
        : parent_(parent), count_(children.size()) {
        assert(count_ <= max_children);
        std::size_t i = 0;
        for (const auto name : children) children_[i++].name = name;
    }

    // Parses the whole text. False unless it is a well-formed, namespace-well-formed UTF-8
    // document without a document type declaration.
    [[nodiscard]] bool parse(std::string_view text) {
        // expat detects UTF-16 and UTF-32 from a byte-order mark or from NUL bytes and
        // transcodes them, even when told the input is UTF-8. A byte-order mark other than
        // UTF-8's is not valid UTF-8, and NUL is never allowed in XML: refusing both keeps
        // the document UTF-8 bytes. An encoding declaration is then ignored, because the
        // encoding is given to the parser.
        if (text.find('\0') != std::string_view::npos || !utf8::valid(text)) return false;
        const std::unique_ptr<XML_ParserStruct, decltype(&XML_ParserFree)> parser(
            XML_ParserCreateNS("UTF-8", namespace_separator), &XML_ParserFree);
        if (!parser) return false;
        parser_ = parser.get();
        XML_SetUserData(parser_, this);
        XML_SetElementHandler(parser_, &Scan::on_start, &Scan::on_end);
        XML_SetCharacterDataHandler(parser_, &Scan::on_text);
        XML_SetStartCdataSectionHandler(parser_, &Scan::on_cdata);
        XML_SetCommentHandler(parser_, &Scan::on_comment);
        XML_SetProcessingInstructionHandler(parser_, &Scan::on_pi);
        XML_SetStartDoctypeDeclHandler(parser_, &Scan::on_doctype);
        // No external entity handler is set, so nothing outside the text is ever loaded.
        XML_SetParamEntityParsing(parser_, XML_PARAM_ENTITY_PARSING_NEVER);

        // XML_Parse takes an int length: feed larger texts in pieces.
        constexpr std::size_t piece = std::size_t{1} << 30;
        static_assert(piece <= INT_MAX);
        std::size_t pos = 0;
        do {
            const std::size_t n = std::min(piece, text.size() - pos);
            const bool last = n == text.size() - pos;
            if (XML_Parse(parser_, text.data() + pos, static_cast<int>(n), last ? XML_TRUE : XML_FALSE) !=
                XML_STATUS_OK) {
                return false;
            }
            pos += n;
        } while (pos < text.size());
        return !refused_;
    }

    // The trimmed text of the first direct child element named `name` of the element
    // found, or absent (no such element found, no such child, or a child without text).
    [[nodiscard]] std::optional<std::string> child_text(std::string_view name) {
        for (std::size_t i = 0; i < count_; ++i) {
            if (children_[i].name != name) continue;
            auto text = children_[i].run.take();
            if (!text) return std::nullopt;
            return std::string(trim_unicode_whitespace(*text));
        }
        return std::nullopt;
    }

    [[nodiscard]] bool found() const { return parent_depth_ != 0; }

private:
    struct Child {
        std::string_view name;
        bool met = false;  // the first child element of this name has been seen
        TextRun run;
    };

    static constexpr std::size_t none = max_children;

    static Scan& self(void* data) { return *static_cast<Scan*>(data); }

    static void XMLCALL on_start(void* data, const XML_Char* name, const XML_Char** /*attributes*/) {
        Scan& s = self(data);
        ++s.depth_;
        if (s.capture_ != none) s.children_[s.capture_].run.close();
        if (s.parent_depth_ == 0) {
            if (s.parent_.empty() || local_name(name) == s.parent_) s.parent_depth_ = s.depth_;
            return;
        }
        if (s.parent_done_ || s.capture_ != none || s.depth_ != s.parent_depth_ + 1) return;
        const std::string_view local = local_name(name);
        for (std::size_t i = 0; i < s.count_; ++i) {
            if (s.children_[i].met || s.children_[i].name != local) continue;
            s.children_[i].met = true;
            s.capture_ = i;
            s.capture_depth_ = s.depth_;
            break;
        }
    }

    static void XMLCALL on_end(void* data, const XML_Char* /*name*/) {
        Scan& s = self(data);
        if (s.capture_ != none && s.depth_ == s.capture_depth_) {
            s.children_[s.capture_].run.close();
            s.capture_ = none;
        }
        if (s.depth_ == s.parent_depth_) s.parent_done_ = true;
        --s.depth_;
    }

    static void XMLCALL on_text(void* data, const XML_Char* text, int length) {
        Scan& s = self(data);
        if (s.capture_ != none) {
            s.children_[s.capture_].run.text({text, static_cast<std::size_t>(length)});
        }
    }

    static void XMLCALL on_cdata(void* data) {
        Scan& s = self(data);
        if (s.capture_ != none) s.children_[s.capture_].run.cdata();
    }

    static void XMLCALL on_comment(void* data, const XML_Char* /*text*/) {
        Scan& s = self(data);
        if (s.capture_ != none) s.children_[s.capture_].run.close();
    }

    static void XMLCALL on_pi(void* data, const XML_Char* /*target*/, const XML_Char* /*text*/) {
        on_comment(data, nullptr);
    }

    // A document type declaration is refused before its internal subset is read, so no
    // entity it declares is ever expanded.
    static void XMLCALL on_doctype(void* data, const XML_Char* /*name*/, const XML_Char* /*system_id*/,
                                   const XML_Char* /*public_id*/, int /*has_internal_subset*/) {
        Scan& s = self(data);
        s.refused_ = true;
        XML_StopParser(s.parser_, XML_FALSE);
    }

    std::string_view parent_;
    std::size_t count_;
    std::array<Child, max_children> children_;
    XML_Parser parser_ = nullptr;
    std::size_t depth_ = 0;         // open elements, the current one included
    std::size_t parent_depth_ = 0;  // depth of the element found; 0 until then
    bool parent_done_ = false;      // its end tag has been seen
    std::size_t capture_ = none;    // the child whose text is being read
    std::size_t capture_depth_ = 0;
    bool refused_ = false;
};

std::optional<std::string> read_text_file(const std::string& path) {
    auto bytes = read_file(path);
    if (!bytes) return std::nullopt;
    return std::string(bytes->begin(), bytes->end());
}

bool is_white_space(char32_t cp) {
    return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 || cp == 0x1680 ||
           (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F ||
           cp == 0x205F || cp == 0x3000;
}

// Whether text[start, text.size()) is exactly one well-formed white-space character.
bool white_space_at(std::string_view text, std::size_t start) {
    const auto seq = utf8::sequence_at(text, start);
    return seq.valid && seq.length == text.size() - start && is_white_space(seq.code_point);
}

bool is_continuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

}  // namespace

std::string_view trim_unicode_whitespace(std::string_view text) {
    std::size_t begin = 0;
    while (begin < text.size()) {
        const auto seq = utf8::sequence_at(text, begin);
        if (!seq.valid || !is_white_space(seq.code_point)) break;
        begin += seq.length;
    }
    std::size_t end = text.size();
    while (end > begin) {
        // The character that ends at `end` starts at the last byte that is not a
        // continuation byte; a well-formed one is at most four bytes long.
        std::size_t start = end - 1;
        while (start > begin && end - start < 4 && is_continuation(text[start])) --start;
        if (!white_space_at(text.substr(0, end), start)) break;
        end = start;
    }
    return text.substr(begin, end - begin);
}

std::optional<DeviceInfo> devices_from_text(std::string_view text) {
    Scan scan("Device", {"Name", "ModelNumber"});
    if (!scan.parse(text) || !scan.found()) return std::nullopt;
    auto name = scan.child_text("Name");
    if (!name) return std::nullopt;
    auto model = scan.child_text("ModelNumber");
    if (!model || name->empty() || model->empty()) return std::nullopt;
    return DeviceInfo{std::move(*name), std::move(*model)};
}

std::optional<std::string> acquired_time_from_text(std::string_view text) {
    Scan scan("", {"AcquiredTime"});
    if (!scan.parse(text)) return std::nullopt;
    auto time = scan.child_text("AcquiredTime");
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
