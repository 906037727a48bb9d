// Converting an acquisition to a file of one of corvane's output formats: one conversion
// from opening the acquisition to renaming the finished file into place. The file rules
// are the output layer's (output.hpp); the bytes are the format's writer's (format.hpp).
#pragma once

#include <sys/types.h>

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "analysis.hpp"
#include "export/format.hpp"
#include "export/mgf.hpp"
#include "export/mzml.hpp"
#include "export/output.hpp"
#include "processing.hpp"
#include "reader.hpp"

namespace corvane::convert {

using output::Failure;
using output::Outcome;
using output::Progress;
using output::WriteStats;

struct Job {
    std::string input;   // the acquisition directory as given
    std::string output;  // the file to create
};

struct ConvertOptions {
    output::Format format = output::Format::mzml;
    // The mzML writer's options; threads and strict serve every format, the rest (the
    // compression, the index) only mzML.
    mzml::WriteOptions write;
    // What is done to each record before it is written: peak picking, the declared
    // precursor member, the peak filters (processing.hpp). By default, nothing.
    processing::Options processing;
    // Which scans are written (MS level, retention-time range); by default, all. MGF takes
    // the fragment scans among them.
    analysis::Selection selection;
    bool force = false;  // replace an existing output
    // How the input is opened: salvage mode reads an index cut inside a record (convert_one
    // then reports what it dropped in WriteStats::salvaged).
    OpenOptions open;
};

// How a caller's users spell what usage_problem's messages name.
struct Spelling {
    std::string_view format = "--format mgf";
    std::string_view declare = "--precursor-mz msn_value_1|msn_value_2";
    std::string_view evidence = "corvane-info --precursor-evidence RUN.d";
};

// Why options cannot be written, as one line, or nothing when they can: MGF without a
// declared precursor member ("--format mgf needs --precursor-mz msn_value_1|msn_value_2:
// the scan index does not say which member holds the precursor m/z; corvane-info
// --precursor-evidence RUN.d shows which one matches the MS1 data"; every entry needs a
// precursor m/z). write_file refuses such options before anything is made.
[[nodiscard]] std::optional<std::string> usage_problem(const ConvertOptions& options, const Spelling& spelling = {});

// The writer of options.format, made with that format's options.
[[nodiscard]] std::unique_ptr<output::FormatWriter> make_writer(const ConvertOptions& options);

// Converts one acquisition by the output layer's rules. Failures, each one line naming
// the path concerned: the input cannot be opened as an acquisition ("INPUT: cannot open
// as an acquisition: " and describe_unopenable's text when the path says why, else the
// open's error), and those of write_file.
[[nodiscard]] Outcome<WriteStats> convert_one(const Job& job, const ConvertOptions& options,
                                              Progress& progress, const std::atomic<bool>& stop);

// The same for an acquisition already open: writes reader's run to output (options that
// usage_problem refuses are refused, with its message and nothing made; then the output
// layer's failures: an output inside the acquisition is refused, one that exists is kept
// unless options.force, ...; then the writer's, prefixed with output; "interrupted" when
// stop was set).
[[nodiscard]] Outcome<WriteStats> write_file(const Reader& reader, const std::string& output,
                                             const ConvertOptions& options, Progress& progress,
                                             const std::atomic<bool>& stop);

}  // namespace corvane::convert
