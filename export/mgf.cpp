#include "mgf.hpp"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "export/sink.hpp"
#include "export/thread.hpp"
#include "ordered.hpp"

namespace corvane::mgf {

using mzml::exception_text;
using output::Chunk;
using output::put_float;
using output::put_number;
using output::Sink;

namespace {

// What one record became on a worker: an entry, or the reason it has none.
struct Slot {
    enum class Kind { entry, not_fragment, damaged, without_precursor };
    Kind kind = Kind::entry;
    Chunk text;  // "BEGIN IONS\n" .. "END IONS\n" for an entry
    std::string native_id;
    std::string error;  // a damaged record's
    std::uint64_t points = 0;
    std::optional<Failure> failure;
};

// A value line's text ends at the line's end: a line break inside it would start another
// line that a reader takes for a peak or a parameter.
void put_line_text(Chunk& out, std::string_view text) {
    for (const char c : text) {
        const char safe = c == '\n' || c == '\r' ? ' ' : c;
        out.put(std::string_view(&safe, 1));
    }
}

void build(const corvane::SpectrumRecord& record, Slot& slot) {
    slot.text.clear();
    slot.points = 0;
    slot.native_id = record.native_id;
    if (record.ms_level < 2) {
        slot.kind = Slot::Kind::not_fragment;
        return;
    }
    if (record.error) {
        slot.kind = Slot::Kind::damaged;
        slot.error = *record.error;
        return;
    }
    const auto pepmass = output::precursor_mz(record);
    if (!pepmass) {
        slot.kind = Slot::Kind::without_precursor;
        return;
    }
    if (record.mz.size() != record.intensity.size()) {
        slot.failure = Failure{"spectrum " + record.native_id + " has arrays of different lengths"};
        return;
    }
    slot.kind = Slot::Kind::entry;
    Chunk& out = slot.text;
    out.put("BEGIN IONS\nTITLE=");
    put_line_text(out, record.native_id);
    // A retention time the index holds as NaN or infinite has no spelling a reader takes.
    if (std::isfinite(record.retention_time_sec)) {
        out.put("\nRTINSECONDS=");
        put_float(out, record.retention_time_sec);
    }
    out.put("\nPEPMASS=");
    put_float(out, *pepmass);
    if (const auto charge = output::precursor_charge(record)) {
        out.put("\nCHARGE=");
        put_number(out, *charge);
        out.put("+");
    }
    out.put("\nSCANS=");
    put_number(out, record.scan_id);
    out.put("\n");
    for (std::size_t i = 0; i < record.mz.size(); ++i) {
        const double mz = record.mz[i];
        const float intensity = record.intensity[i];
        if (!std::isfinite(mz) || !std::isfinite(intensity)) continue;
        put_float(out, mz);
        out.put(" ");
        put_float(out, intensity);
        out.put("\n");
        ++slot.points;
    }
    out.put("END IONS\n");
}

// The first few identifiers of a kind of left-out scan, and how many there were.
void count_left_out(std::uint64_t& count, std::vector<std::string>& first, const std::string& id) {
    ++count;
    if (first.size() < output::damaged_ids_kept) first.push_back(id);
}

}  // namespace

Outcome<WriteStats> write_mgf(int fd, const output::IndexedSource& source, const WriteOptions& options,
                              Progress& progress, const std::atomic<bool>& stop) {
    const unsigned threads = options.threads == 0 ? mzml::machine_cores() : options.threads;
    Sink out(fd, false, threads > 1);
    if (auto ok = out.status(); !ok) return std::unexpected(ok.error());

    const auto& record_at = source.record_at;
    OrderedPool<Slot> pool(
        source.count, threads,
        [&record_at](std::size_t k, std::size_t, Slot& slot) {
            slot.failure.reset();
            try {
                build(record_at(k), slot);
            } catch (...) {
                slot.failure = Failure{"encoding failed: " + exception_text(std::current_exception())};
            }
        },
        [] { mzml::detail::fault_point(mzml::detail::FaultSite::thread_start); }, source.group);
    if (const auto failure = pool.start_failure()) {
        return std::unexpected(Failure{"cannot start a thread: " + exception_text(failure)});
    }

    WriteStats stats;
    std::uint64_t reported = 0;
    for (std::size_t k = 0; k < source.count; ++k) {
        if (stop.load(std::memory_order_relaxed)) return std::unexpected(Failure{"interrupted"});
        Slot* slot = pool.next();  // make never throws: everything becomes a Failure
        assert(slot != nullptr);
        if (slot->failure) return std::unexpected(std::move(*slot->failure));
        switch (slot->kind) {
            case Slot::Kind::not_fragment:
                break;
            case Slot::Kind::damaged:
                if (options.strict) {
                    return std::unexpected(
                        Failure{"scan " + slot->native_id + " is damaged: " + slot->error + "; nothing written"});
                }
                if (stats.damaged == 0) stats.first_error = slot->error;
                count_left_out(stats.damaged, stats.first_damaged, slot->native_id);
                break;
            case Slot::Kind::without_precursor:
                count_left_out(stats.without_precursor, stats.first_without_precursor, slot->native_id);
                break;
            case Slot::Kind::entry:
                if (stats.spectra != 0) out.put("\n");
                out.put(slot->text.view());
                ++stats.spectra;
                stats.points += slot->points;
                break;
        }
        if (auto ok = out.status(); !ok) return std::unexpected(ok.error());
        progress.scans_done.fetch_add(1, std::memory_order_relaxed);
        progress.bytes_written.fetch_add(out.offset() - reported, std::memory_order_relaxed);
        reported = out.offset();
    }
    out.flush();
    if (auto ok = out.status(); !ok) return std::unexpected(ok.error());
    progress.bytes_written.fetch_add(out.offset() - reported, std::memory_order_relaxed);
    stats.bytes = out.offset();
    return stats;
}

namespace {

class MgfWriter final : public output::FormatWriter {
public:
    MgfWriter(const WriteOptions& options, const processing::Options& processing, const analysis::Selection& selection)
        : options_(options), processing_(processing), selection_(selection) {}

    [[nodiscard]] output::Format format() const override { return output::Format::mgf; }

    [[nodiscard]] Outcome<WriteStats> write(int fd, const Reader& reader, Progress& progress,
                                            const std::atomic<bool>& stop) override {
        // Only fragment scans become entries: the others are not even decoded.
        std::vector<std::size_t> scans = analysis::select(reader, selection_);
        const auto& index = reader.scans().records;
        std::erase_if(scans, [&index](std::size_t i) { return index[i].ms_level < 2; });
        progress.scans_total.fetch_add(scans.size(), std::memory_order_relaxed);
        const processing::Processor processor(reader, processing_);
        const output::IndexedSource source{
            scans.size(), [&processor, &scans](std::size_t k) { return processor.record_at(scans[k]); },
            processor.groups(scans)};
        return write_mgf(fd, source, options_, progress, stop);
    }

private:
    WriteOptions options_;
    processing::Options processing_;
    analysis::Selection selection_;
};

}  // namespace

std::unique_ptr<output::FormatWriter> make_writer(const WriteOptions& options, const processing::Options& processing,
                                                  const analysis::Selection& selection) {
    return std::make_unique<MgfWriter>(options, processing, selection);
}

}  // namespace corvane::mgf
