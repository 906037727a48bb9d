// Writes the fragment scans of one acquisition as Mascot Generic Format (MGF), the plain
// text peak lists that search engines read, streaming: one entry per fragment scan whose
// precursor m/z is known,
//
//   BEGIN IONS
//   TITLE=scanId=42              the native identifier
//   RTINSECONDS=612.5            the retention time (left out when not finite)
//   PEPMASS=523.77451            output::precursor_mz: monoisotopic m/z when decided, else declared
//   CHARGE=2+                    only when the MS1 envelope decided it
//   SCANS=42                     the scan id
//   150.0911 1234.5              one line per peak: m/z and intensity
//   END IONS
//
// with a blank line between entries. Numbers are written in the shortest form that reads
// back as the same value (m/z and times as doubles, intensities as 32-bit floats).
#pragma once

#include <atomic>
#include <memory>

#include "analysis.hpp"
#include "export/format.hpp"
#include "processing.hpp"

namespace corvane::mgf {

using output::Failure;
using output::Outcome;
using output::Progress;
using output::WriteStats;

struct WriteOptions {
    bool strict = false;   // fail at the first record that carries an error
    unsigned threads = 0;  // worker threads; 0: the machine's cores
};

// Writes the entries of source's records to fd, in order. Records below MS level 2 are
// passed over. A fragment scan is left out, and counted, when:
//  - its record carries an error (stats.damaged; with options.strict the write fails
//    instead: "scan ID is damaged: ERROR; nothing written");
//  - its precursor m/z is unknown: no selected ion, or one without a usable m/z
//    (stats.without_precursor): an entry without PEPMASS is refused by search engines,
//    and none is ever written with a made-up one.
// Peaks whose m/z or intensity is NaN or infinite are left out of their entry (the format
// has no spelling for them). Records are made and their entries built on options.threads
// workers of the ordered pool (the calling thread alone with one); the bytes are the same
// for every thread count. Failures: "interrupted" when stop is set, a record whose arrays
// differ in length ("spectrum ID has arrays of different lengths"), what making a record
// threw ("encoding failed: <reason>"), "cannot start a thread: <reason>", a write failure
// ("write failed: ..."). stats.spectra counts the entries written, stats.points their peaks.
[[nodiscard]] Outcome<WriteStats> write_mgf(int fd, const output::IndexedSource& source, const WriteOptions& options,
                                            Progress& progress, const std::atomic<bool>& stop);

// The MGF format's writer (format.hpp): the fragment scans (MS level 2 and above) among
// the scans the selection takes, each record from one processing::Processor per write.
// Without a declared precursor member no scan has a precursor m/z, so every entry would be
// left out: callers refuse that before writing (convert::usage_problem).
[[nodiscard]] std::unique_ptr<output::FormatWriter> make_writer(const WriteOptions& options,
                                                                const processing::Options& processing,
                                                                const analysis::Selection& selection);

}  // namespace corvane::mgf
