// Converting an acquisition to an mzML file: one conversion from opening the acquisition
// to renaming the finished file into place.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "mzml.hpp"
#include "reader.hpp"

namespace corvane::mzml {

struct Job {
    std::string input;   // the acquisition directory as given
    std::string output;  // the mzML file to create
};

struct ConvertOptions {
    WriteOptions write;
    bool force = false;        // replace an existing output
    mode_t file_mode = 0644;   // permissions of the finished file
};

// Converts one acquisition. The document is written to a hidden temporary file in the
// output's folder and renamed to the output only when complete; on any failure the
// temporary file is removed and nothing else is left. Failures, each one line naming
// the path concerned: the input cannot be opened as an acquisition, the output would lie
// inside the acquisition, the output exists (without force) or is a folder, the folder
// cannot take a new file, the file's permissions cannot be set, writing fails, stop was
// set ("interrupted").
[[nodiscard]] Outcome<WriteStats> convert_one(const Job& job, const ConvertOptions& options,
                                              Progress& progress, const std::atomic<bool>& stop);

// The same for an acquisition already open: writes reader's run to output by the same
// rules (the acquisition is reader.root()). Failures of the operating system carry their
// errno and path; an output inside the acquisition is refused.
[[nodiscard]] Outcome<WriteStats> write_file(const Reader& reader, const std::string& output,
                                             const ConvertOptions& options, Progress& progress,
                                             const std::atomic<bool>& stop);

// Paths as the converter compares them. A path less its trailing slashes ("/" stays);
// the absolute, normalised form of a path, symbolic links resolved as far as they exist.
[[nodiscard]] std::string trim_trailing_slashes(std::string path);
[[nodiscard]] std::filesystem::path resolved(const std::filesystem::path& path);

}  // namespace corvane::mzml

namespace corvane::mzml::detail {

// The fchmod that gives the finished file its permissions. Tests swap it to make it
// fail; nullptr restores the system's. Returns the previous one.
using FchmodCall = int (*)(int fd, mode_t mode);
FchmodCall set_fchmod_call(FchmodCall call);

}  // namespace corvane::mzml::detail
