// What every output format shares: the vocabulary of a write (failures, progress, what was
// written) and the one interface a format's writer implements. The file rules around a
// writer (temporary file, flush, rename, naming, refusing targets inside an acquisition)
// are not a writer's business: the output layer (output.hpp) applies them to every format.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "reader.hpp"

namespace corvane::output {

// What went wrong, as one line for the user. A failure of the operating system also
// carries its errno value and the file concerned, so that a caller can raise the
// matching error of its own (Python's OSError subclasses); a refused request (an output
// inside the acquisition) says so.
struct Failure {
    std::string message;
    int os_error = 0;          // errno, when an operating-system call failed
    std::string path = {};     // the file or folder concerned, with os_error
    bool refused = false;      // the request itself cannot be carried out as asked
};

template <class T>
using Outcome = std::expected<T, Failure>;

// Counters shared with a progress line; every writer adds to them as it goes.
struct Progress {
    std::atomic<std::uint64_t> scans_total{0};
    std::atomic<std::uint64_t> scans_done{0};
    std::atomic<std::uint64_t> bytes_written{0};
};

struct WriteStats {
    std::uint64_t spectra = 0;
    std::uint64_t points = 0;
    std::uint64_t bytes = 0;
    // Records that carried an error (their data could not be read or decoded), and the
    // native identifiers of the first few of them with the first one's error.
    std::uint64_t damaged = 0;
    std::vector<std::string> first_damaged;  // at most damaged_ids_kept
    std::string first_error;
};

inline constexpr std::size_t damaged_ids_kept = 5;

// The formats corvane writes.
enum class Format { mzml };

// The format's name on command lines and in Python ("mzml"), and the ending its files
// take ("mzML").
[[nodiscard]] std::string_view format_name(Format format);
[[nodiscard]] std::string_view format_extension(Format format);

// Every format, in the order help texts list them.
[[nodiscard]] std::span<const Format> formats();

// The format a name denotes, compared without regard to case; nothing for an unknown name.
[[nodiscard]] std::optional<Format> parse_format(std::string_view name);

// A format's writer: the whole run of an opened acquisition into fd, a new, empty,
// seekable file. A writer is made with its format's own options and used once. The bytes
// it writes depend on the run and the options alone (never on the thread count). It stops
// with "interrupted" as soon as stop is set; what it leaves in fd after a failure is
// unspecified (the output layer throws the file away).
class FormatWriter {
public:
    virtual ~FormatWriter() = default;

    [[nodiscard]] virtual Format format() const = 0;

    [[nodiscard]] virtual Outcome<WriteStats> write(int fd, const Reader& reader, Progress& progress,
                                                    const std::atomic<bool>& stop) = 0;
};

}  // namespace corvane::output
