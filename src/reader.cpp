#include "reader.hpp"

#include <sys/stat.h>

#include <array>
#include <cerrno>
#include <cassert>
#include <charconv>
#include <cstring>
#include <utility>

#include "raw/metadata.hpp"
#include "raw/msprofile.hpp"
#include "raw/mspeak.hpp"
#include "raw/raw.hpp"
#include "utf8.hpp"

namespace corvane {

namespace {

// Record strides from this size on belong to the Q-TOF layouts.
constexpr std::uint32_t qtof_stride = 220;
constexpr std::uint8_t kind_qqq = 1;
constexpr std::uint8_t kind_qtof = 3;

// Centroid blocks up to this size (682 peaks) are read into the stack: most scans of a
// run are small centroid scans, and this spares each of them an allocation.
constexpr std::size_t small_block_size = 8192;

struct KnownModel {
    std::string_view model_number;
    const char* accession;
    const char* name;
};

constexpr std::array<KnownModel, 4> instrument_models = {{
    {"G6410A", "MS:1003526", "6410A Triple Quadrupole LC/MS"},
    {"G6530A", "MS:1002786", "6530A Q-TOF LC/MS"},
    {"G6530B", "MS:1002787", "6530B Q-TOF LC/MS"},
    {"G6550A", "MS:1002784", "6550A iFunnel Q-TOF LC/MS"},
}};

// The vocabulary's generic term for this vendor's instrument models. It also names an
// acquisition without a usable device: the term once used there, MS:1000461, is an
// obsolete "additional description" entry that no mzML consumer reads as an instrument.
constexpr const char* generic_model_accession = "MS:1000490";

char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool same_model(std::string_view a, std::string_view b) {
    if (a.size() != 6 || b.size() != 6) return false;
    for (std::size_t i = 0; i < 6; ++i) {
        if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
    }
    return true;
}

// prefix followed by n in decimal, built in one step (this runs once or twice per scan).
std::string with_number(std::string_view prefix, std::uint32_t n) {
    std::array<char, 32> text;
    assert(prefix.size() <= 16);
    std::memcpy(text.data(), prefix.data(), prefix.size());
    char* const end = std::to_chars(text.data() + prefix.size(), text.data() + text.size(), n).ptr;
    return std::string(text.data(), static_cast<std::size_t>(end - text.data()));
}

// Fills a default-constructed record from scan record s of the reader's index.
void build_record(const Reader& reader, const raw::ScanRecord& s, std::uint64_t index,
                  SpectrumRecord& record);

class ReaderIterator final : public SpectrumIterator {
public:
    explicit ReaderIterator(const Reader& reader)
        : reader_(reader), scans_(reader.scans().records) {}

    std::optional<SpectrumRecord> next() override {
        // Built in place in the returned optional: a record is never moved on its way out.
        std::optional<SpectrumRecord> record;
        if (position_ < scans_.size()) build(scans_[position_++], produced_++, record.emplace());
        return record;
    }

    [[nodiscard]] corvane::SizeHint size_hint() const override {
        const std::size_t left = scans_.size() - position_;
        return {left, left};
    }

private:
    void build(const raw::ScanRecord& s, std::uint64_t index, SpectrumRecord& record) const {
        build_record(reader_, s, index, record);
    }

    const Reader& reader_;
    std::vector<raw::ScanRecord> scans_;
    std::size_t position_ = 0;
    std::uint64_t produced_ = 0;
};

void build_record(const Reader& reader, const raw::ScanRecord& s, std::uint64_t index,
                  SpectrumRecord& record) {
    // Profile data first; a block that cannot be read or decoded leaves the lists empty,
    // and its failure is kept for the record unless the peak block makes up for it.
    std::optional<std::string> failure;
    if (s.profile_block) {
        const auto& ref = *s.profile_block;
        auto bytes = raw::read_bytes(reader.profile_path(), ref.byte_offset, ref.byte_count);
        if (bytes) {
            auto decoded = raw::decode_profile_block(*bytes, ref, s.mz_first.value_or(0.0),
                                                     s.mz_last.value_or(0.0));
            if (decoded) {
                record.mz = std::move(decoded->mz);
                record.intensity = std::move(decoded->intensity);
                record.is_profile = true;
            } else {
                failure = decoded.error().display();
            }
        } else {
            failure = block_read_failure(reader.profile_path(), bytes.error());
        }
    }
    // Peaks only when the profile block gave no points. The flag follows the data: a
    // record whose lists come from the peak block is not profile data.
    if (record.mz.empty() && s.peak_block) {
        const auto& ref = *s.peak_block;
        auto take_peaks = [&](Bytes bytes) {
            auto decoded = raw::decode_peak_block(bytes, ref);
            if (!decoded) return std::optional<std::string>(decoded.error().display());
            record.mz = std::move(decoded->mz);
            record.intensity = std::move(decoded->intensity);
            record.is_profile = false;
            return std::optional<std::string>();
        };
        std::optional<std::string> peak_failure;
        if (ref.byte_count <= small_block_size) {
            // Left uninitialised: the read fills exactly the part that is decoded.
            std::array<std::uint8_t, small_block_size> local;
            const std::span<std::uint8_t> bytes(local.data(), ref.byte_count);
            auto read = raw::read_bytes_into(reader.peak_path(), ref.byte_offset, bytes);
            peak_failure = read ? take_peaks(bytes)
                                : std::optional<std::string>(block_read_failure(reader.peak_path(), read.error()));
        } else if (auto bytes = raw::read_bytes(reader.peak_path(), ref.byte_offset, ref.byte_count)) {
            peak_failure = take_peaks(*bytes);
        } else {
            peak_failure = block_read_failure(reader.peak_path(), bytes.error());
        }
        // When both blocks failed, the profile block's failure is the one reported.
        if (!failure) failure = std::move(peak_failure);
    }
    // A failure is the record's when it left the lists empty; peaks that stood in for a
    // failed profile block make it good.
    if (failure && record.mz.empty()) record.error = std::move(failure);

    record.native_id = with_number("scanId=", s.scan_id);
    if (s.ms_level >= 2) {
        PrecursorInfo precursor;
        precursor.msn_value_1 = s.msn_value_1;
        if (s.mrm_channel) {
            precursor.reference = with_number("mrm_channel=", *s.mrm_channel);
        } else if (s.msn_value_2) {
            precursor.reference = record.native_id;
            precursor.msn_value_2 = s.msn_value_2;
        }
        record.precursor = std::move(precursor);
    }

    record.index = index;
    record.scan_id = s.scan_id;
    record.ms_level = s.ms_level;
    record.retention_time_sec = s.retention_time_min * 60.0;
    record.mz_first = s.mz_first;
    record.mz_last = s.mz_last;
    record.instrument_kind = reader.scans().record_stride >= qtof_stride ? kind_qtof : kind_qqq;
}

}  // namespace

std::string block_read_failure(const std::string& path, const Error& e) {
    // The system's text alone ("No such file or directory") does not say which file; a
    // short read's parse error names it already.
    return e.is_io() ? path + ": " + e.display() : e.display();
}

std::string join_path(std::string_view path, std::string_view name) {
    std::string joined(path);
    if (!joined.empty() && joined.back() != '/') joined += '/';
    joined += name;
    return joined;
}

std::string source_name_of(std::string_view root) {
    std::string_view last;
    std::size_t i = 0;
    while (i <= root.size()) {
        std::size_t end = root.find('/', i);
        if (end == std::string_view::npos) end = root.size();
        const std::string_view part = root.substr(i, end - i);
        if (!part.empty() && part != ".") last = part;
        i = end + 1;
    }
    if (last.empty() || last == "..") return "bundle.d";
    return utf8::lossy(last);
}

InstrumentModel resolve_instrument(const std::string& acq_data_dir, const raw::MSScan& scans) {
    const auto device = raw::parse_devices_xml(join_path(acq_data_dir, "Devices.xml"));
    if (!device) {
        return scans.record_stride < qtof_stride ? InstrumentModel{generic_model_accession, "vendor QQQ"}
                                                 : InstrumentModel{generic_model_accession, "vendor Q-TOF"};
    }
    for (const auto& known : instrument_models) {
        if (same_model(device->model_number, known.model_number)) {
            return InstrumentModel{known.accession, known.name};
        }
    }
    return InstrumentModel{generic_model_accession, "vendor instrument model"};
}

std::string salvage_warning(const Salvage& s) {
    return "salvaged a cut scan index: kept " + std::to_string(s.records_kept) +
           " complete records of " + std::to_string(s.record_stride) + " bytes, dropped " +
           std::to_string(s.bytes_dropped) + " bytes (" + std::to_string(s.records_dropped) +
           (s.records_dropped == 1 ? " incomplete record" : " incomplete records") +
           ") at the end of MSScan.bin";
}

std::optional<std::string> describe_unopenable(std::string_view path) {
    // A path with an embedded NUL names nothing the system could look up.
    if (path.find('\0') != std::string_view::npos) return "no such file or directory";
    struct stat st {};
    // An empty path is the current directory to join_path, and so to open().
    const std::string where = path.empty() ? std::string(".") : std::string(path);
    if (::stat(where.c_str(), &st) != 0) {
        const int code = errno;
        if (code == ENOENT || code == ENOTDIR) return "no such file or directory";
        return os_message(code);
    }
    if (!S_ISDIR(st.st_mode)) return "a file, not an acquisition directory (a run.d folder with AcqData inside)";
    const std::string acq_data = join_path(path, "AcqData");
    if (::stat(acq_data.c_str(), &st) != 0) {
        const int code = errno;
        if (code == ENOENT) return "a directory without AcqData inside, not an acquisition directory";
        return "AcqData: " + os_message(code);
    }
    return std::nullopt;
}

Result<Reader> Reader::open(std::string_view path) { return open(path, OpenOptions{}); }

Result<Reader> Reader::open(std::string_view path, OpenOptions options) {
    const std::string acq_data = join_path(path, "AcqData");
    struct stat st {};
    // A path with an embedded NUL names nothing the system could look up.
    if (acq_data.find('\0') != std::string::npos || ::stat(acq_data.c_str(), &st) != 0) {
        return parse_error("AcqData directory not found");
    }
    auto scans = raw::MSScan::from_path(join_path(acq_data, "MSScan.bin"), options.salvage);
    if (!scans) return std::unexpected(std::move(scans.error()));
    std::optional<Salvage> salvaged;
    if (scans->bytes_dropped > 0) {
        salvaged = Salvage{scans->bytes_dropped, 1, scans->records.size(), scans->record_stride};
    }
    Reader reader = from_parts(std::string(path), std::move(*scans));
    reader.salvaged_ = salvaged;
    return reader;
}

Reader Reader::from_parts(std::string root, raw::MSScan scans) {
    const std::string acq_data = join_path(root, "AcqData");
    Reader reader;
    reader.source_name_ = source_name_of(root);
    reader.instrument_ = resolve_instrument(acq_data, scans);
    reader.acquired_time_ = raw::parse_acquired_time(join_path(acq_data, "Contents.xml"));
    reader.peak_path_ = join_path(acq_data, "MSPeak.bin");
    reader.profile_path_ = join_path(acq_data, "MSProfile.bin");
    reader.root_ = std::move(root);
    reader.scans_ = std::move(scans);
    return reader;
}

SpectrumRecord Reader::record_at(std::size_t i) const {
    assert(i < scans_.records.size());
    SpectrumRecord record;
    build_record(*this, scans_.records[i], i, record);
    return record;
}

std::unique_ptr<SpectrumIterator> Reader::iter_spectra() const {
    return std::make_unique<ReaderIterator>(*this);
}

}  // namespace corvane
