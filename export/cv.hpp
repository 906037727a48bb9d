// Look-ups in the accession-to-name table that the build generates from the vocabulary.
#pragma once

#include <algorithm>
#include <cassert>
#include <optional>
#include <string_view>

#include "cv_table.hpp"

namespace corvane::mzml::cv {

// The table's row for accession, or nullptr when the vocabulary has no live term of it.
[[nodiscard]] inline const Term* lookup(std::string_view accession) {
    const auto it = std::lower_bound(terms.begin(), terms.end(), accession,
                                     [](const Term& t, std::string_view a) { return t.accession < a; });
    return it != terms.end() && it->accession == accession ? &*it : nullptr;
}

// The vocabulary's name for accession, or nothing when it has no live term of it.
[[nodiscard]] inline std::optional<std::string_view> find(std::string_view accession) {
    const Term* t = lookup(accession);
    if (t == nullptr) return std::nullopt;
    return t->name;
}

// Whether accession is "instrument model" or a term below it.
[[nodiscard]] inline bool is_instrument_model(std::string_view accession) {
    const Term* t = lookup(accession);
    return t != nullptr && t->instrument_model;
}

// The name of a term the converter writes. The generator refuses to build a table that
// lacks any of them (cv_terms.txt), so a miss here is a term missing from that list.
[[nodiscard]] inline std::string_view name(std::string_view accession) {
    const Term* t = lookup(accession);
    assert(t != nullptr && "accession missing from cv_terms.txt");
    return t != nullptr ? t->name : std::string_view{};
}

}  // namespace corvane::mzml::cv
