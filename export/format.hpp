// What every output format shares: the vocabulary of a write (failures, progress, what was
// written) and the one interface a format's writer implements. The file rules around a
// writer (temporary file, flush, rename, naming, refusing targets inside an acquisition)
// are not a writer's business: the output layer (output.hpp) applies them to every format.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
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
    // Fragment scans a format left out because their precursor m/z is unknown (the declared
    // member holds no usable value): MGF only, where an entry needs one. The native
    // identifiers of the first few.
    std::uint64_t without_precursor = 0;
    std::vector<std::string> first_without_precursor;  // at most damaged_ids_kept
    // What salvage mode left out of the run's scan index (Reader::salvaged()), set by the
    // converter: the file holds every complete record, but the run's end is lost.
    std::optional<Salvage> salvaged;
};

inline constexpr std::size_t damaged_ids_kept = 5;

// The formats corvane writes.
enum class Format { mzml, mgf };

// The format's name on command lines and in Python ("mzml", "mgf"), and the ending its
// files take ("mzML", "mgf").
[[nodiscard]] std::string_view format_name(Format format);
[[nodiscard]] std::string_view format_extension(Format format);

// Every format, in the order help texts list them.
[[nodiscard]] std::span<const Format> formats();

// The format a name denotes, compared without regard to case; nothing for an unknown name.
[[nodiscard]] std::optional<Format> parse_format(std::string_view name);

// A source of records by position: the records a writer takes, in the order it writes
// them, each made on its own and from several threads at once (a Processor's record_at
// over the selected scans, or the reader's own).
struct IndexedSource {
    std::size_t count = 0;
    std::function<corvane::SpectrumRecord(std::size_t)> record_at;
    // Runs of positions that one worker makes together (processing::Processor::groups);
    // empty: each position on its own.
    std::function<std::size_t(std::size_t)> group = {};
};

// The m/z that a file gives as a fragment scan's precursor: the monoisotopic m/z when the
// MS1 envelope decided one, else the declared member's value (processing.hpp). Nothing
// when the record has no selected ion, or for a value that is not finite and above 0:
// a made-up 0 never reaches a file.
[[nodiscard]] std::optional<double> precursor_mz(const corvane::SpectrumRecord& record);

// The selected ion's charge when the envelope decided one (and it is above 0).
[[nodiscard]] std::optional<std::uint32_t> precursor_charge(const corvane::SpectrumRecord& record);

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
