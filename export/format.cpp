#include "format.hpp"

#include <algorithm>
#include <cctype>

namespace corvane::output {

namespace {

struct Entry {
    Format format;
    std::string_view name;
    std::string_view extension;
};

// One row per format: adding a format adds its row here (and to all_formats) and its
// writer beside mzml.cpp.
constexpr Entry table[] = {
    {Format::mzml, "mzml", "mzML"},
};

constexpr Format all_formats[] = {Format::mzml};
static_assert(std::size(all_formats) == std::size(table));

const Entry& entry(Format format) {
    return *std::find_if(std::begin(table), std::end(table), [&](const Entry& e) { return e.format == format; });
}

}  // namespace

std::span<const Format> formats() { return all_formats; }

std::string_view format_name(Format format) { return entry(format).name; }

std::string_view format_extension(Format format) { return entry(format).extension; }

std::optional<Format> parse_format(std::string_view name) {
    for (const Entry& e : table) {
        if (name.size() == e.name.size() &&
            std::equal(name.begin(), name.end(), e.name.begin(), [](char a, char b) {
                return std::tolower(static_cast<unsigned char>(a)) == b;
            })) {
            return e.format;
        }
    }
    return std::nullopt;
}

}  // namespace corvane::output
