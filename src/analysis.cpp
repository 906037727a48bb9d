#include "analysis.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <functional>
#include <thread>

#include "ordered.hpp"
#include "raw/raw.hpp"

namespace corvane::analysis {

namespace {

double retention_seconds(const Reader& reader, std::size_t i) {
    return reader.scans().records[i].retention_time_min * 60.0;
}

// What a worker hands on from one record: the reduced value, and the record's error (the
// record itself stays on the worker).
template <class Value>
struct Reduced {
    Value value{};
    std::optional<std::string> error;
    std::string native_id;  // set with error only
};

template <class Value>
Reduced<Value> reduced(const SpectrumRecord& record, Value value) {
    Reduced<Value> r{std::move(value), record.error, {}};
    if (record.error) r.native_id = record.native_id;
    return r;
}

void note_reduced(Damage& damage, std::optional<std::string>& error, std::string& native_id) {
    if (!error) return;
    if (damage.count++ == 0) {
        damage.first_native_id = std::move(native_id);
        damage.first_error = std::move(*error);
    }
}

// A chromatogram of one value per scan, the value reduced from the record on a worker.
template <class Reduce>
Chromatogram chromatogram(const Reader& reader, std::span<const std::size_t> scans, unsigned threads,
                          const Reduce& reduce) {
    Chromatogram c;
    c.rt.reserve(scans.size());
    c.value.reserve(scans.size());
    for_each_ordered<Reduced<double>>(
        scans.size(), threads,
        [&](std::size_t k) {
            const SpectrumRecord record = reader.record_at(scans[k]);
            return reduced(record, reduce(record));
        },
        [&](std::size_t k, Reduced<double>&& r) {
            c.rt.push_back(retention_seconds(reader, scans[k]));
            c.value.push_back(r.value);
            note_reduced(c.damaged, r.error, r.native_id);
            return true;
        });
    return c;
}

// True when every m/z is at least the one before it (a NaN anywhere but alone makes the
// list unsorted, so binary searches only ever see ordered, comparable values).
bool ascending(const std::vector<double>& mz) {
    for (std::size_t i = 1; i < mz.size(); ++i) {
        if (!(mz[i] >= mz[i - 1])) return false;
    }
    return true;
}

// Sums of the intensities inside each window, in point order. order lists the windows
// that can hold a point by ascending low bound; the others keep 0.
std::vector<double> window_sums(const SpectrumRecord& record, std::span<const XicWindow> windows,
                                std::span<const std::size_t> order) {
    std::vector<double> sums(windows.size(), 0.0);
    const auto& mz = record.mz;
    const auto& intensity = record.intensity;
    assert(mz.size() == intensity.size());
    if (mz.empty()) return sums;
    if (ascending(mz)) {
        // Each window's first point is found by binary search from where the previous
        // window's began: the lows ascend, so that start never moves back.
        auto from = mz.begin();
        for (const std::size_t w : order) {
            from = std::lower_bound(from, mz.end(), windows[w].low);
            double sum = 0.0;
            for (auto it = from; it != mz.end() && *it <= windows[w].high; ++it) {
                sum += static_cast<double>(intensity[static_cast<std::size_t>(it - mz.begin())]);
            }
            sums[w] = sum;
        }
        return sums;
    }
    // Unsorted (peak lists may be): one pass over the points, each added to every window
    // holding it, so every window still sums in point order.
    std::vector<double> lows(order.size());
    for (std::size_t j = 0; j < order.size(); ++j) lows[j] = windows[order[j]].low;
    for (std::size_t i = 0; i < mz.size(); ++i) {
        const double m = mz[i];
        // Only windows whose low bound is at most m can hold it.
        const auto end = std::upper_bound(lows.begin(), lows.end(), m);
        for (std::size_t j = 0; j < static_cast<std::size_t>(end - lows.begin()); ++j) {
            const XicWindow& w = windows[order[j]];
            if (w.low <= m && m <= w.high) sums[order[j]] += static_cast<double>(intensity[i]);
        }
    }
    return sums;
}

std::uint64_t file_size(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || st.st_size < 0) return 0;
    return static_cast<std::uint64_t>(st.st_size);
}

// Peak blocks hold 12 bytes per point; an LZF stream expands at most 88 times and a
// profile point takes 4 decoded bytes, so a profile block of b bytes has at most 22 b points.
constexpr std::uint64_t peak_bytes_per_point = 12;
constexpr std::uint64_t profile_points_per_byte = 88 / 4;

// The points the selected scans will have if the index is right: the profile block's
// count when it has points, else the peak block's. The counts are untrusted, so each is
// capped by what its block could hold within its file, and the total by what the two
// files could hold; a wrong count only costs a reallocation, never a wrong result.
std::uint64_t expected_points(const Reader& reader, std::span<const std::size_t> scans) {
    const std::uint64_t profile_size = file_size(reader.profile_path());
    const std::uint64_t peak_size = file_size(reader.peak_path());
    std::uint64_t total = 0;
    for (const std::size_t i : scans) {
        const raw::ScanRecord& s = reader.scans().records[i];
        if (s.profile_block && s.profile_block->point_count > 0) {
            const std::uint64_t bytes = std::min<std::uint64_t>(s.profile_block->byte_count, profile_size);
            total += std::min<std::uint64_t>(s.profile_block->point_count, bytes * profile_points_per_byte);
        } else if (s.peak_block) {
            const std::uint64_t bytes = std::min<std::uint64_t>(s.peak_block->byte_count, peak_size);
            total += std::min<std::uint64_t>(s.peak_block->point_count, bytes / peak_bytes_per_point);
        }
    }
    return std::min(total, profile_size * profile_points_per_byte + peak_size / peak_bytes_per_point);
}

// What looking a data file up tells about reading any block from it.
struct FileState {
    std::optional<Error> failure;         // the lookup failed: every read will fail so
    std::optional<std::uint64_t> size;    // a regular file of this size
};

FileState look_up(const std::string& path) {
    // The reads refuse such a path before asking the system.
    if (path.find('\0') != std::string::npos) return {Error::io(EINVAL), std::nullopt};
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return {Error::io(errno), std::nullopt};
    // Only a regular file's size says where reading ends.
    if (!S_ISREG(st.st_mode) || st.st_size < 0) return {};
    return {std::nullopt, static_cast<std::uint64_t>(st.st_size)};
}

// The failure reading this block is certain to meet, or nothing when it may succeed.
std::optional<Error> certain_failure(const FileState& file, const std::string& path, const raw::BlockRef& ref) {
    if (file.failure) return file.failure;
    if (!file.size) return std::nullopt;
    return raw::span_error(path, *file.size, ref.byte_offset, ref.byte_count);
}

}  // namespace

std::vector<std::optional<std::string>> errors(const Reader& reader, std::span<const std::size_t> scans,
                                               unsigned threads) {
    std::vector<std::optional<std::string>> found;
    found.reserve(scans.size());
    for_each_ordered<std::optional<std::string>>(
        scans.size(), threads, [&](std::size_t k) { return reader.record_at(scans[k]).error; },
        [&](std::size_t, std::optional<std::string>&& error) {
            found.push_back(std::move(error));
            return true;
        });
    return found;
}

std::vector<std::optional<std::string>> index_errors(const Reader& reader) {
    const FileState profile = look_up(reader.profile_path());
    const FileState peak = look_up(reader.peak_path());
    std::vector<std::optional<std::string>> found;
    found.reserve(reader.scans().records.size());
    for (const raw::ScanRecord& s : reader.scans().records) {
        // As the record is built: the profile block's failure is reported unless peaks
        // stand in for it, which is certain not to happen only when their read fails too.
        std::optional<Error> failure;
        const std::string* path = &reader.profile_path();
        if (s.profile_block) {
            failure = certain_failure(profile, reader.profile_path(), *s.profile_block);
            if (failure && s.peak_block && !certain_failure(peak, reader.peak_path(), *s.peak_block)) {
                failure.reset();
            }
        } else if (s.peak_block) {
            failure = certain_failure(peak, reader.peak_path(), *s.peak_block);
            path = &reader.peak_path();
        }
        found.push_back(failure ? std::optional<std::string>(block_read_failure(*path, *failure)) : std::nullopt);
    }
    return found;
}

std::vector<std::size_t> select(const Reader& reader, const Selection& selection) {
    const auto& records = reader.scans().records;
    std::vector<std::size_t> chosen;
    for (std::size_t i = 0; i < records.size(); ++i) {
        const raw::ScanRecord& s = records[i];
        if (selection.ms_level && s.ms_level != *selection.ms_level) continue;
        if (selection.rt_range) {
            const double rt = s.retention_time_min * 60.0;
            // Written so that a NaN time falls outside every range.
            if (!(rt >= selection.rt_range->first && rt <= selection.rt_range->second)) continue;
        }
        chosen.push_back(i);
    }
    return chosen;
}

unsigned default_threads() {
    return std::clamp(std::thread::hardware_concurrency(), 1u, default_threads_cap);
}

struct RecordStream::Pool : OrderedPool<SpectrumRecord> {
    using OrderedPool<SpectrumRecord>::OrderedPool;
};

RecordStream::RecordStream(const Reader& reader, std::vector<std::size_t> scans, unsigned threads)
    : scans_(std::move(scans)),
      pool_(std::make_unique<Pool>(scans_.size(), threads,
                                   [&reader, this](std::size_t k, std::size_t, SpectrumRecord& out) {
                                       out = reader.record_at(scans_[k]);
                                   })) {}

RecordStream::RecordStream(const processing::Processor& processor, std::vector<std::size_t> scans, unsigned threads)
    : scans_(std::move(scans)),
      pool_(std::make_unique<Pool>(
          scans_.size(), threads,
          [&processor, this](std::size_t k, std::size_t, SpectrumRecord& out) { out = processor.record_at(scans_[k]); },
          std::function<void()>{}, processor.groups(scans_))) {}

RecordStream::~RecordStream() = default;

std::optional<SpectrumRecord> RecordStream::next() {
    SpectrumRecord* record = pool_->next();
    if (record == nullptr) return std::nullopt;
    return std::move(*record);
}

void RecordStream::cancel() { pool_->cancel(); }

void for_each_record(const Reader& reader, std::span<const std::size_t> scans, unsigned threads,
                     const std::function<bool(std::size_t, corvane::SpectrumRecord&&)>& consume) {
    for_each_ordered<SpectrumRecord>(
        scans.size(), threads, [&](std::size_t k) { return reader.record_at(scans[k]); },
        [&](std::size_t k, SpectrumRecord&& record) { return consume(k, std::move(record)); });
}

void for_each_record(const processing::Processor& processor, std::span<const std::size_t> scans, unsigned threads,
                     const std::function<bool(std::size_t, corvane::SpectrumRecord&&)>& consume) {
    if (processing::is_plain(processor.options())) return for_each_record(processor.reader(), scans, threads, consume);
    for_each_ordered<SpectrumRecord>(
        scans.size(), threads, [&](std::size_t k) { return processor.record_at(scans[k]); },
        [&](std::size_t k, SpectrumRecord&& record) { return consume(k, std::move(record)); },
        processor.groups(scans));
}

Chromatogram trace(const Reader& reader, std::span<const std::size_t> scans, Trace kind, unsigned threads) {
    return chromatogram(reader, scans, threads,
                        [kind](const SpectrumRecord& r) { return trace_value(kind, ion_totals(r.intensity)); });
}

Chromatogram tic(const Reader& reader, std::span<const std::size_t> scans, unsigned threads) {
    return trace(reader, scans, Trace::tic, threads);
}

Chromatogram bpc(const Reader& reader, std::span<const std::size_t> scans, unsigned threads) {
    return trace(reader, scans, Trace::bpc, threads);
}

XicWindow window(double mz, std::optional<double> ppm, std::optional<double> da) {
    assert(ppm.has_value() != da.has_value());
    if (ppm) {
        assert(*ppm >= 0.0);
        const double half = mz * *ppm * 1e-6;
        return {mz, mz - half, mz + half};
    }
    assert(*da >= 0.0);
    return {mz, mz - *da, mz + *da};
}

std::vector<Chromatogram> xic(const Reader& reader, std::span<const std::size_t> scans,
                              std::span<const XicWindow> windows, unsigned threads) {
    // A window with a NaN bound or low > high holds no point. Leaving it out keeps NaN
    // away from the sort and the binary searches, which need comparable values.
    std::vector<std::size_t> order;
    for (std::size_t w = 0; w < windows.size(); ++w) {
        if (windows[w].low <= windows[w].high) order.push_back(w);
    }
    // Ties keep the given order: the index breaks them (std::stable_sort would do the same,
    // but libstdc++ 12 builds it on std::get_temporary_buffer, which clang flags).
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return windows[a].low < windows[b].low || (windows[a].low == windows[b].low && a < b);
    });

    std::vector<Chromatogram> result(windows.size());
    for (auto& c : result) c.value.reserve(scans.size());
    std::vector<double> rt;
    rt.reserve(scans.size());
    Damage damaged;
    for_each_ordered<Reduced<std::vector<double>>>(
        scans.size(), threads,
        [&](std::size_t k) {
            const SpectrumRecord record = reader.record_at(scans[k]);
            return reduced(record, window_sums(record, windows, order));
        },
        [&](std::size_t k, Reduced<std::vector<double>>&& r) {
            rt.push_back(retention_seconds(reader, scans[k]));
            for (std::size_t w = 0; w < r.value.size(); ++w) result[w].value.push_back(r.value[w]);
            note_reduced(damaged, r.error, r.native_id);
            return true;
        });
    for (auto& c : result) {
        c.rt = rt;
        c.damaged = damaged;
    }
    return result;
}

namespace {

// The run's arrays from records made by `record` (index -> SpectrumRecord), the point
// arrays reserved for `points` (a guess; only a reallocation if wrong).
template <class Record>
RunArrays gather_arrays(std::span<const std::size_t> scans, unsigned threads, std::uint64_t points,
                        const Record& record, OrderedPool<SpectrumRecord>::Group group = {}) {
    RunArrays a;
    a.offsets.reserve(scans.size() + 1);
    a.offsets.push_back(0);
    a.scan_index.assign(scans.begin(), scans.end());
    a.mz.reserve(static_cast<std::size_t>(points));
    a.intensity.reserve(static_cast<std::size_t>(points));
    for_each_ordered<SpectrumRecord>(
        scans.size(), threads, [&](std::size_t k) { return record(scans[k]); },
        [&](std::size_t, SpectrumRecord&& r) {
            a.damaged.note(r);
            a.mz.insert(a.mz.end(), r.mz.begin(), r.mz.end());
            a.intensity.insert(a.intensity.end(), r.intensity.begin(), r.intensity.end());
            a.offsets.push_back(a.mz.size());
            return true;
        },
        std::move(group));
    return a;
}

}  // namespace

void Damage::note(const SpectrumRecord& record) {
    if (!record.error) return;
    if (count++ == 0) {
        first_native_id = record.native_id;
        first_error = *record.error;
    }
}

RunArrays arrays(const Reader& reader, std::span<const std::size_t> scans, unsigned threads) {
    return gather_arrays(scans, threads, expected_points(reader, scans),
                         [&](std::size_t i) { return reader.record_at(i); });
}

RunArrays arrays(const processing::Processor& processor, std::span<const std::size_t> scans, unsigned threads) {
    const processing::Options& o = processor.options();
    // A declared precursor alone leaves the points as decoded: the index's counts hold.
    const bool same_points = !o.centroid && !o.top_n && !o.min_intensity;
    const std::uint64_t points = same_points ? expected_points(processor.reader(), scans) : 0;
    return gather_arrays(scans, threads, points, [&](std::size_t i) { return processor.record_at(i); },
                         processor.groups(scans));
}

}  // namespace corvane::analysis
