// Both metadata readers on the same text, and the trimming they use on raw bytes. The
// readers never fail; what they return is non-empty and trimmed, and nothing comes out of
// a text that is not UTF-8 or holds a NUL byte.
#include <string>
#include <string_view>

#include "fuzz_input.hpp"
#include "raw/metadata.hpp"
#include "utf8.hpp"

namespace {

// Whether text starts or ends with a character that trimming removes.
bool has_edge_space(std::string_view text) {
    return corvane::raw::trim_unicode_whitespace(text).size() != text.size();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    const std::string_view trimmed = corvane::raw::trim_unicode_whitespace(text);
    FUZZ_CHECK(trimmed.data() >= text.data() && trimmed.data() + trimmed.size() <= text.data() + text.size());

    const bool refused = !corvane::utf8::valid(text) || text.find('\0') != std::string_view::npos;
    if (auto device = corvane::raw::devices_from_text(text)) {
        FUZZ_CHECK(!refused);
        FUZZ_CHECK(!device->name.empty() && !device->model_number.empty());
        FUZZ_CHECK(!has_edge_space(device->name) && !has_edge_space(device->model_number));
    }
    if (auto time = corvane::raw::acquired_time_from_text(text)) {
        FUZZ_CHECK(!refused);
        FUZZ_CHECK(!time->empty() && !has_edge_space(*time));
    }
    return 0;
}
