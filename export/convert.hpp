// Converting an acquisition to a file of one of corvane's output formats: one conversion
// from opening the acquisition to renaming the finished file into place. The file rules
// are the output layer's (output.hpp); the bytes are the format's writer's (format.hpp).
#pragma once

#include <sys/types.h>

#include <atomic>
#include <memory>
#include <string>

#include "export/format.hpp"
#include "export/mzml.hpp"
#include "export/output.hpp"
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
    mzml::WriteOptions write;  // the mzML writer's options
    bool force = false;        // replace an existing output
};

// The writer of options.format, made with that format's options.
[[nodiscard]] std::unique_ptr<output::FormatWriter> make_writer(const ConvertOptions& options);

// Converts one acquisition by the output layer's rules. Failures, each one line naming
// the path concerned: the input cannot be opened as an acquisition, and those of
// write_file.
[[nodiscard]] Outcome<WriteStats> convert_one(const Job& job, const ConvertOptions& options,
                                              Progress& progress, const std::atomic<bool>& stop);

// The same for an acquisition already open: writes reader's run to output (the output
// layer's failures: an output inside the acquisition is refused, one that exists is kept
// unless options.force, ...; then the writer's, prefixed with output; "interrupted" when
// stop was set).
[[nodiscard]] Outcome<WriteStats> write_file(const Reader& reader, const std::string& output,
                                             const ConvertOptions& options, Progress& progress,
                                             const std::atomic<bool>& stop);

}  // namespace corvane::convert
