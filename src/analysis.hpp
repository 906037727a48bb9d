// Whole-run work on an opened acquisition: selecting scans from the index, decoding them
// on several threads in scan order, chromatograms and the run as one set of arrays. Pure
// C++ (no Python); every function is safe to call from several threads on one Reader.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "ion_totals.hpp"
#include "ordered.hpp"
#include "processing.hpp"
#include "reader.hpp"

namespace corvane::analysis {

// Which scans a call works on, decided from the scan index alone.
struct Selection {
    std::optional<std::uint32_t> ms_level;                 // all levels when absent
    std::optional<std::pair<double, double>> rt_range;     // seconds, both ends included
};

// Indexes (positions in the scan index) of the selected scans, ascending.
[[nodiscard]] std::vector<std::size_t> select(const Reader& reader, const Selection& selection);

// Threads to use when the caller gives none (0): the machine's cores, at least 1 and at
// most default_threads_cap. Decoding a run is bound by memory bandwidth and the page
// cache well before it is by cores: past four threads a drain gets no faster, while
// every thread keeps its window of decoded scans in memory and a shared machine loses
// the cores to one call. A caller that knows better passes its own count.
inline constexpr unsigned default_threads_cap = 4;
[[nodiscard]] unsigned default_threads();

// Decodes the scans at the given indexes with up to `threads` threads and calls
// consume(k, record) for k = 0, 1, ... in order, on the calling thread (record.index is
// the scan's index in the run). At most a bounded window of decoded records waits at
// any time, whatever the run's size. If consume returns false, decoding stops early.
// Results never depend on the thread count.
void for_each_record(const Reader& reader, std::span<const std::size_t> scans, unsigned threads,
                     const std::function<bool(std::size_t, corvane::SpectrumRecord&&)>& consume);
// The same with the records processed (processing.hpp): processor.record_at(i) on the
// decoding threads. The results never depend on the thread count either.
void for_each_record(const processing::Processor& processor, std::span<const std::size_t> scans, unsigned threads,
                     const std::function<bool(std::size_t, corvane::SpectrumRecord&&)>& consume);

// The records of the scans at the given indexes, in that order, decoded ahead on up to
// `threads` threads as for_each_record does, for a caller that takes them one at a time.
// The reader must outlive the stream. Destroying it stops and joins its threads.
class RecordStream {
public:
    RecordStream(const Reader& reader, std::vector<std::size_t> scans, unsigned threads);
    // The records processed by processor (processing.hpp), which must outlive the stream.
    RecordStream(const processing::Processor& processor, std::vector<std::size_t> scans, unsigned threads);
    RecordStream(const RecordStream&) = delete;
    RecordStream& operator=(const RecordStream&) = delete;
    ~RecordStream();

    // The next record, or nothing after the last. Blocks while it is decoded; rethrows
    // (once) a failure of the decoding, after which it gives nothing.
    [[nodiscard]] std::optional<corvane::SpectrumRecord> next();

    // Stops the stream from any thread, also while another thread waits in next(): next()
    // then gives nothing, at once and ever after; the decoding threads finish the record
    // they are decoding and exit (the destructor joins them).
    void cancel();

private:
    struct Pool;
    std::vector<std::size_t> scans_;
    std::unique_ptr<Pool> pool_;  // after scans_, which its threads read
};

// As for_each_record, but reduce(record) runs on the decoding thread and only its result
// reaches consume(k, summary), in order on the calling thread: per-scan work that shrinks a
// record (sums, bins, a shortened peak list) runs in parallel with the decoding instead of
// after it. Summary must be default-constructible and movable. Stops when consume returns
// false.
template <class Summary, class Reduce, class Consume>
void for_each_summary(const Reader& reader, std::span<const std::size_t> scans, unsigned threads,
                      const Reduce& reduce, const Consume& consume) {
    for_each_ordered<Summary>(
        scans.size(), threads, [&](std::size_t k) { return Summary(reduce(reader.record_at(scans[k]))); },
        [&](std::size_t k, Summary&& summary) { return consume(k, std::move(summary)); });
}

// The scans of a result whose data could not be read or decoded (their record carries an
// error and holds no points), so that a caller can say so: how many, and the first one's
// native id and error, in scan order.
struct Damage {
    std::size_t count = 0;
    std::string first_native_id;  // empty when count is 0
    std::string first_error;

    // Counts record's error, if it has one.
    void note(const SpectrumRecord& record);
};

// A chromatogram: one value per selected scan, in scan order.
struct Chromatogram {
    std::vector<double> rt;     // retention time, seconds
    std::vector<double> value;  // summed (TIC, XIC) or largest (BPC) intensity; 0 for an empty scan
    Damage damaged;             // the selected scans whose value is 0 because they could not be read
};

// A trace (ion_totals.hpp) from the decoded points (the index holds no totals): the
// total ion current, or the base peak's intensity (0 for a scan without points or with
// only NaN intensities), of each scan.
[[nodiscard]] Chromatogram trace(const Reader& reader, std::span<const std::size_t> scans, Trace kind,
                                 unsigned threads);
[[nodiscard]] Chromatogram tic(const Reader& reader, std::span<const std::size_t> scans, unsigned threads);
[[nodiscard]] Chromatogram bpc(const Reader& reader, std::span<const std::size_t> scans, unsigned threads);

// An extracted-ion window: points with low <= mz <= high count.
struct XicWindow {
    double mz;    // the target as given
    double low;
    double high;
};

// The window around mz: ppm and da are alternatives (exactly one is given).
[[nodiscard]] XicWindow window(double mz, std::optional<double> ppm, std::optional<double> da);

// Every window's chromatogram, all from one pass over the scans: result[t] belongs to
// windows[t]; all share the same rt.
[[nodiscard]] std::vector<Chromatogram> xic(const Reader& reader, std::span<const std::size_t> scans,
                                            std::span<const XicWindow> windows, unsigned threads);

// The points of the selected scans as one set of arrays, CSR style: the points of
// scans[k] are mz[offsets[k] .. offsets[k + 1]) and the same range of intensity;
// scan_index[k] == scans[k]. Each array is allocated once at its final size.
struct RunArrays {
    std::vector<std::uint64_t> offsets;  // scans.size() + 1 entries, offsets[0] == 0
    std::vector<double> mz;
    std::vector<float> intensity;
    std::vector<std::uint64_t> scan_index;
    Damage damaged;  // the selected scans that hold no points because they could not be read
};
[[nodiscard]] RunArrays arrays(const Reader& reader, std::span<const std::size_t> scans, unsigned threads);
// The same of the processed records. With options that change the points (peak picking,
// filters) the arrays grow as the scans come, their final size unknown beforehand.
[[nodiscard]] RunArrays arrays(const processing::Processor& processor, std::span<const std::size_t> scans,
                               unsigned threads);

// The error each selected scan's record carries (SpectrumRecord::error), in scan order,
// decoding every scan with up to `threads` threads.
[[nodiscard]] std::vector<std::optional<std::string>> errors(const Reader& reader, std::span<const std::size_t> scans,
                                                             unsigned threads);

// What the scan index and the data files' sizes alone prove about each scan's record,
// one entry per scan of the index: the error its record will carry when a block it
// depends on lies past the end of its file or its file cannot be looked up (and the
// other block cannot stand in for it); nothing where only decoding can tell. Looks each
// data file up once; reads no block.
[[nodiscard]] std::vector<std::optional<std::string>> index_errors(const Reader& reader);

}  // namespace corvane::analysis
