// The output layer: the rules every file corvane writes follows, whatever its format (mzML,
// the HTML report, the formats to come).
//
//  1. The file is written to a temporary file in the target's folder, ".<name>.XXXXXX",
//     its name shortened when needed so that it stays within the folder's file-name limit
//     wherever the target's own name does.
//  2. When complete it is flushed to disk (fsync), given the permissions a new file gets
//     under the process's umask, and renamed to the target in one step; the folder is
//     flushed after the rename (best effort: the file is complete and in place by then).
//  3. The rename never replaces an existing file unless the caller asks it to; a folder is
//     never replaced.
//  4. A target inside the acquisition being written from is refused: the acquisition is
//     never written to.
//  5. On any failure the temporary file is removed and nothing else is left.
//  6. One naming rule: the output of X.d (or X.D, trailing slashes ignored) is X.<ext>.
#pragma once

#include <atomic>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "export/format.hpp"

namespace corvane::output {

// The naming rule: the file name for input's output with the ending extension ("mzML",
// "html"): input's last component (trailing slashes ignored; "." and ".." named after the
// folder they stand for) less a ".d" or ".D" ending, then "." and the extension. Failure
// "INPUT: cannot name an output after it" when nothing is left to name it after ("/").
[[nodiscard]] Outcome<std::string> file_name(const std::string& input, std::string_view extension);
[[nodiscard]] Outcome<std::string> file_name(const std::string& input, Format format);

// The folder an output goes in when none is given: the one holding input (trailing slashes
// ignored; "." and ".." stand for the folders they name), so X.d's output lands beside it.
[[nodiscard]] std::filesystem::path beside(const std::string& input);

// Paths as the layer compares them. A path less its trailing slashes ("/" stays); the
// absolute, normalised form of a path, symbolic links resolved as far as they exist.
[[nodiscard]] std::string trim_trailing_slashes(std::string path);
[[nodiscard]] std::filesystem::path resolved(const std::filesystem::path& path);

struct Target {
    std::string path;         // the file to create
    std::string acquisition;  // the acquisition written from: never written into ("": none)
    bool replace = false;     // replace an existing file at path
};

// Makes target's file by the rules above from what fill writes into fd (a new, empty,
// seekable file). fill's own failure is returned as it is. Failures of the layer, each
// one line naming the path concerned: a NUL byte in the path, a target inside the
// acquisition (refused), the target exists (EEXIST, "(--force replaces it)") or is a
// folder (EISDIR), the folder cannot take a new file, the permissions cannot be set, the
// file cannot be flushed or renamed into place.
using Fill = std::function<Outcome<void>(int fd)>;
[[nodiscard]] Outcome<void> write_file(const Target& target, const Fill& fill);

// A format writer's run of reader written to target (the acquisition: reader's). The
// writer's failures are prefixed with the target's path; stop set during the write
// fails with "PATH: interrupted", leaving nothing.
[[nodiscard]] Outcome<WriteStats> write_run(const Reader& reader, FormatWriter& writer, const Target& target,
                                            Progress& progress, const std::atomic<bool>& stop);

// Makes the output folder path and any missing folder above it (as mkdir -p does), with
// the permissions a new folder gets under the umask; an existing folder is left as it is.
// The rule of an explicit output folder that does not exist yet, `corvane-convert -o DIR/`
// and `corvane-batch convert --out-dir DIR` alike. Failures: a folder inside one of the
// acquisitions is refused ("PATH: inside the acquisition A, which is never written to");
// "PATH: cannot create the folder: <the system's text>" (with its errno) when a component
// is a file or cannot be made.
[[nodiscard]] Outcome<void> make_folder(const std::string& path, const std::vector<std::string>& acquisitions = {});

// text as target's whole content.
[[nodiscard]] Outcome<void> write_text(const Target& target, std::string_view text);

}  // namespace corvane::output
