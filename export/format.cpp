#include "format.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>

namespace corvane::output {

namespace {

struct Entry {
    Format format;
    std::string_view name;
    std::string_view extension;
};

// One row per format: adding a format adds its row here (and to all_formats) and its
// writer beside mzml.cpp and mgf.cpp.
constexpr Entry table[] = {
    {Format::mzml, "mzml", "mzML"},
    {Format::mgf, "mgf", "mgf"},
};

constexpr Format all_formats[] = {Format::mzml, Format::mgf};
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

std::optional<double> precursor_mz(const corvane::SpectrumRecord& record) {
    if (!record.precursor || !record.precursor->selected_ion) return std::nullopt;
    const SelectedIon& ion = *record.precursor->selected_ion;
    const auto usable = [](double v) { return std::isfinite(v) && v > 0.0; };
    if (ion.monoisotopic_mz && usable(*ion.monoisotopic_mz)) return *ion.monoisotopic_mz;
    if (usable(ion.mz)) return ion.mz;
    return std::nullopt;
}

std::optional<std::uint32_t> precursor_charge(const corvane::SpectrumRecord& record) {
    if (!precursor_mz(record)) return std::nullopt;
    const auto& charge = record.precursor->selected_ion->charge;
    if (!charge || *charge == 0) return std::nullopt;
    return charge;
}

}  // namespace corvane::output
