// An opened acquisition directory (run.d/AcqData/...), and the source of its spectra.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "error.hpp"
#include "raw/msscan.hpp"
#include "spectrum_record/source.hpp"

namespace corvane {


// A controlled-vocabulary instrument model term.
struct InstrumentModel {
    const char* accession = "";  // static text, e.g. "MS:1002786"
    std::string name;

    friend bool operator==(const InstrumentModel& a, const InstrumentModel& b) {
        return std::string_view(a.accession) == b.accession && a.name == b.name;
    }
};

// The instrument named by Devices.xml in acq_data_dir, or a fallback chosen by the
// index's record stride. Never fails.
[[nodiscard]] InstrumentModel resolve_instrument(const std::string& acq_data_dir,
                                                 const raw::MSScan& scans);

// A record's error text for a failed read of a block in the data file at path: an
// operating-system failure (a missing MSProfile.bin, say) is prefixed with the path,
// "PATH: I/O error: No such file or directory (os error 2)"; other failures are their
// display text.
[[nodiscard]] std::string block_read_failure(const std::string& path, const Error& e);

// Appends name to path with one "/" (none when path is empty or already ends in "/").
[[nodiscard]] std::string join_path(std::string_view path, std::string_view name);

// How to open an acquisition.
struct OpenOptions {
    // Read an index cut inside a record (a run stopped mid-acquisition): keep every
    // complete record under the one record layout the data support, drop the cut tail
    // (raw::MSScan::salvage_bytes). Never the default: a cut index is data loss, and
    // the plain open refuses it with its own error.
    bool salvage = false;
};

// What salvage mode left out of a cut index.
struct Salvage {
    std::uint64_t bytes_dropped = 0;    // the incomplete record's bytes at the end
    std::uint64_t records_dropped = 0;  // records those bytes began (1)
    std::uint64_t records_kept = 0;
    std::uint32_t record_stride = 0;
};

// The one-line warning every tool and module prints for a salvaged run:
// "salvaged a cut scan index: kept N complete records of S bytes, dropped B bytes
// (1 incomplete record) at the end of MSScan.bin".
[[nodiscard]] std::string salvage_warning(const Salvage& s);

// Why path cannot be opened as an acquisition, when the reason is where it points: the
// text to follow "PATH: " in a message, one of "no such file or directory", "a file, not
// an acquisition directory (a run.d folder with AcqData inside)", "a directory without
// AcqData inside, not an acquisition directory", or the system's reason when path or
// path/AcqData cannot be examined ("AcqData: Permission denied"). Nothing when
// path/AcqData exists: then the open's own error says what is wrong.
[[nodiscard]] std::optional<std::string> describe_unopenable(std::string_view path);

class Reader final : public SpectrumSource {
public:
    // Opens the acquisition at path (taken as given). Errors: Parse "AcqData directory
    // not found" when path/AcqData has no status (describe_unopenable says why);
    // otherwise whatever reading or parsing MSScan.bin gives. Metadata and data files
    // never make opening fail.
    [[nodiscard]] static Result<Reader> open(std::string_view path);
    // The same with options; open(path) is open(path, {}).
    [[nodiscard]] static Result<Reader> open(std::string_view path, OpenOptions options);

    // Lazy iterator over one record per scan, in index order. Refers to this Reader.
    [[nodiscard]] std::unique_ptr<SpectrumIterator> iter_spectra() const override;

    // The record of scan i of the index (i < scans().records.size()), decoded on its own,
    // exactly as the iterator would give it at that position. Safe from several threads.
    [[nodiscard]] SpectrumRecord record_at(std::size_t i) const;

    [[nodiscard]] const std::string& root() const { return root_; }
    [[nodiscard]] const std::string& source_name() const { return source_name_; }
    [[nodiscard]] const raw::MSScan& scans() const { return scans_; }
    [[nodiscard]] const std::string& peak_path() const { return peak_path_; }
    [[nodiscard]] const std::string& profile_path() const { return profile_path_; }
    [[nodiscard]] const InstrumentModel& instrument() const { return instrument_; }
    [[nodiscard]] const std::optional<std::string>& acquired_time() const { return acquired_time_; }
    // What salvage mode dropped; set only when it dropped something.
    [[nodiscard]] const std::optional<Salvage>& salvaged() const { return salvaged_; }

    // The steps of open() after the index is read: the same reader around an index already
    // in memory (metadata and data files under root/AcqData). Never fails.
    [[nodiscard]] static Reader from_parts(std::string root, raw::MSScan scans);

private:
    Reader() = default;

    std::string root_;
    std::string source_name_;
    raw::MSScan scans_;
    std::string peak_path_;
    std::string profile_path_;
    InstrumentModel instrument_;
    std::optional<std::string> acquired_time_;
    std::optional<Salvage> salvaged_;
};

// The last path component as source_name takes it: trailing "/" and "." ignored,
// none for "", "/" or a path ending in ".." ("bundle.d" then); invalid UTF-8 replaced.
[[nodiscard]] std::string source_name_of(std::string_view root);

}  // namespace corvane
