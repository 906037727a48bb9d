// The spectrum-source interface: a source hands out its records one at a time.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <utility>

#include "types.hpp"

namespace corvane {

// Lower and upper bound of the records still to come (upper absent: unknown).
using SizeHint = std::pair<std::size_t, std::optional<std::size_t>>;

// Lazy iterator over a source's records. Refers to its source, which must outlive it.
class SpectrumIterator {
public:
    virtual ~SpectrumIterator() = default;

    // The next record, or nothing once the records are used up (and ever after).
    virtual std::optional<SpectrumRecord> next() = 0;

    // Records still to come.
    [[nodiscard]] virtual SizeHint size_hint() const = 0;

    // Produces and discards up to n records; returns how many of the n were left
    // unskipped because the records ran out (0 when all n were skipped).
    virtual std::size_t advance_by(std::size_t n) {
        for (std::size_t done = 0; done < n; ++done) {
            if (!next()) return n - done;
        }
        return 0;
    }

    // Skips n records, then returns the next one (nothing if they ran out).
    virtual std::optional<SpectrumRecord> nth(std::size_t n) {
        if (advance_by(n) != 0) return std::nullopt;
        return next();
    }
};

// A data source that can be read as a sequence of spectrum records.
class SpectrumSource {
public:
    virtual ~SpectrumSource() = default;

    // A new, caller-owned iterator; does no input or output of its own.
    [[nodiscard]] virtual std::unique_ptr<SpectrumIterator> iter_spectra() const = 0;
};

}  // namespace corvane
