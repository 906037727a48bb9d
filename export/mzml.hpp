// Writes one acquisition as an (indexed) mzML 1.1 document, streaming: one spectrum in
// memory at a time, plus its offset, retention time and total ion current for the index
// and the chromatogram at the end.
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
#include <vector>

#include "analysis.hpp"
#include "export/format.hpp"
#include "processing.hpp"
#include "spectrum_record/source.hpp"

namespace corvane::mzml {

// The vocabulary every format shares (format.hpp).
using output::Failure;
using output::Outcome;
using output::Progress;
using output::WriteStats;
using output::damaged_ids_kept;

// How the binary arrays are stored: as they are, zlib-compressed, or MS-Numpress encoded
// (linear prediction for m/z and retention times, short logged floats for intensities;
// lossy) and then zlib-compressed.
enum class Compression { none, zlib, numpress };

struct WriteOptions {
    Compression compression = Compression::zlib;
    bool index = true;     // wrap in indexedmzML with offsets and a SHA-1 checksum
    bool strict = false;   // fail at the first record that carries an error
    unsigned threads = 0;  // worker threads; 0: the machine's cores
    // libdeflate's effort, 1 to 12. Level 1 is the fastest and on these arrays within
    // 1.05x of zlib's own level 6 in size (docs/convert.md has the measurements).
    int zlib_level = 1;
};

// The user parameter that a spectrum written from a record with an error carries: the
// error's text, beside the spectrum's empty arrays.
inline constexpr const char* data_error_param = "corvane:data block error";

// The user parameter of a fragment scan that holds the scan index's reference of the scan
// itself: its own native identifier ("scanId=N"), or its MRM channel ("mrm_channel=N").
// It names no parent scan (a precursor's link to its MS1 scan is the precursor element's
// spectrumRef).
inline constexpr const char* index_reference_param = "scan index reference";

// Spectrum types that the fileContent element lists.
enum Content : unsigned {
    content_ms1 = 1,
    content_msn = 2,
    content_mass_spectrum = 4,  // MS level 0: neither MS1 nor MSn
    content_centroid = 8,
    content_profile = 16,
};

// The run-level values of the document.
struct RunInfo {
    std::string source_name;       // last path component of the acquisition: the run's id
    std::string source_file;       // the file the spectrum identifiers index (MSScan.bin)
    std::string source_directory;  // absolute path of the folder that holds it
    std::optional<std::string> source_sha1;  // its SHA-1, when it could be read
    std::string instrument_accession;
    std::string instrument_name;   // as the reader named it
    std::optional<std::string> acquired_time;  // written only when a valid xs:dateTime
    std::uint64_t spectrum_count = 0;          // how many spectra the iterator will give
    // The Content flags that the scan index promises (a scan with a profile block is
    // expected to be profile data). fileContent precedes the spectra, so it is written
    // from this; if decoding proves it wrong, the writer corrects it in place, at the
    // cost of reading the file back once for the checksum.
    unsigned expected_content = 0;
    // The spectra were peak-picked on the way (processing's centroid option): the data
    // processing then names peak picking after the conversion, and every spectrum and the
    // chromatogram refer to it.
    bool peak_picking = false;
    // Whether a native identifier names a spectrum of this document. A precursor's
    // spectrumRef names one of them; the MS1 scan of a precursor outside the document
    // (left out by a selection) is named by externalSpectrumID in the source file
    // instead. Unset: every scan of the source file is in the document.
    std::function<bool(std::string_view)> in_document;
};

// The source of the spectra: records by position (format.hpp).
using output::IndexedSource;

// Writes the document to fd (a new, empty, seekable file) from the records of source.
// Decoding and encoding (arrays, compression, base64) run on options.threads worker
// threads of the ordered pool (ordered.hpp); with one thread everything runs on the
// calling thread. The bytes written are the same for every thread count.
// Stops with "interrupted" as soon as stop is set. Failures: a write error ("write
// failed: <OS text>"; "write failed: nothing written" when a write call takes no byte,
// which calling again would only repeat), a record whose arrays differ in length, a
// source holding a number of records other than run.spectrum_count ("the reader gave a
// number of spectra other than the N announced"; nothing is written), with
// options.strict a record that carries an error ("scan ID is damaged: ERROR; nothing
// written"; otherwise it is written with empty arrays and the data_error_param). Short
// writes are continued. A failure on one of the writer's threads is returned like any
// other: "cannot start a thread: <reason>", "compression failed: <reason>", "encoding
// failed: <reason>" (what record_at, or encoding a spectrum, threw), "write failed:
// <reason>" or "checksum failed: <reason>" (the reason "out of memory" for
// std::bad_alloc); every thread has stopped when it returns. The file's contents are
// unspecified after a failure.
[[nodiscard]] Outcome<WriteStats> write_mzml(int fd, const IndexedSource& source, const RunInfo& run,
                                             const WriteOptions& options, Progress& progress,
                                             const std::atomic<bool>& stop);

// The run-level values of reader's acquisition: its name, MSScan.bin with its SHA-1 (left
// out when the file cannot be read), the instrument, the acquisition time, the number of
// scans and the content the scan index promises.
[[nodiscard]] RunInfo run_info(const Reader& reader);

// The mzML format's writer (format.hpp): writes reader's run through the indexed path,
// adding its scan count to progress.scans_total first. The records come from one
// processing::Processor per write, over the scans the selection takes (all of them by
// default), on the writer's threads; with plain processing options and no selection
// the document is the run as the reader decodes it.
[[nodiscard]] std::unique_ptr<output::FormatWriter> make_writer(const WriteOptions& options);
[[nodiscard]] std::unique_ptr<output::FormatWriter> make_writer(const WriteOptions& options,
                                                                const processing::Options& processing,
                                                                const analysis::Selection& selection);

}  // namespace corvane::mzml

namespace corvane::mzml::detail {

// The writer's MS-Numpress coding of one array: linear prediction (m/z, times) or short
// logged floats (intensities), before zlib; nothing when the writer would store the array
// zlib-compressed only. For measuring what the coding loses.
[[nodiscard]] std::optional<std::vector<std::uint8_t>> numpress_bytes(std::span<const double> values, bool linear);

}  // namespace corvane::mzml::detail
