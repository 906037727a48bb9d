// The report's one pass over a run: chromatograms, map bins and shortened peak lists.
#include <algorithm>
#include <functional>
#include <cmath>
#include <limits>
#include <numeric>

#include "analysis.hpp"
#include "ion_totals.hpp"
#include "report.hpp"

namespace corvane::report {

namespace {

// What a worker hands back for one scan: the view with its points already cut down, the
// chromatogram values, and the scan's column of the map (empty for scans not in the map).
struct Reduced {
    ScanView view;
    double tic = 0.0;
    double bpc = 0.0;
    std::vector<float> bins;
};

struct MapRange {
    bool from_index = false;
    double mz_low = 0.0, mz_high = 0.0;
    double rt_low = 0.0, rt_high = 0.0;
};

bool finite(double v) { return std::isfinite(v); }

// The row of m/z in [low, high] split into rows bins; the top edge belongs to the last bin.
std::size_t row_of(double mz, double low, double high, std::size_t rows) {
    const double at = (mz - low) / (high - low) * static_cast<double>(rows);
    if (!(at >= 0.0)) return 0;
    const auto row = static_cast<std::size_t>(at);
    return std::min(row, rows - 1);
}

// The range of the map scans from the index: retention times always, m/z when any map scan
// gives a finite range with first < last.
MapRange map_range(const Reader& reader, const std::vector<std::size_t>& map_scans) {
    MapRange range;
    bool have_rt = false;
    for (const std::size_t i : map_scans) {
        const raw::ScanRecord& s = reader.scans().records[i];
        const double rt = s.retention_time_min * 60.0;
        if (finite(rt)) {
            range.rt_low = have_rt ? std::min(range.rt_low, rt) : rt;
            range.rt_high = have_rt ? std::max(range.rt_high, rt) : rt;
            have_rt = true;
        }
        if (s.mz_first && s.mz_last && finite(*s.mz_first) && finite(*s.mz_last) && *s.mz_first < *s.mz_last) {
            range.mz_low = range.from_index ? std::min(range.mz_low, *s.mz_first) : *s.mz_first;
            range.mz_high = range.from_index ? std::max(range.mz_high, *s.mz_last) : *s.mz_last;
            range.from_index = true;
        }
    }
    return range;
}

Reduced reduce(SpectrumRecord&& record, bool in_map, const MapRange& range, std::size_t rows, std::size_t cap) {
    Reduced r;
    ScanView& v = r.view;
    // The chromatograms' values from the one reduction (ion_totals.hpp): the same bits as
    // meridel's tic() and bpc() and the mzML's chromatogram.
    const IonTotals totals = ion_totals(record.intensity);
    r.tic = trace_value(Trace::tic, totals);
    r.bpc = trace_value(Trace::bpc, totals);
    if (in_map && range.from_index) {
        r.bins.assign(rows, 0.0f);
        const double low = range.mz_low, high = range.mz_high;
        const double scale = static_cast<double>(rows) / (high - low);
        for (std::size_t p = 0; p < record.intensity.size(); ++p) {
            const float x = record.intensity[p];
            // Zero runs are common in profile data: the intensity is tested first.
            if (!(x > 0.0f) || !std::isfinite(x)) continue;
            const double mz = record.mz[p];
            if (!(mz >= low && mz <= high)) continue;
            const auto row = static_cast<std::size_t>((mz - low) * scale);
            r.bins[std::min(row, rows - 1)] += x;
        }
    }
    v.points = record.mz.size();
    if (record.is_profile && record.mz.size() >= 2) {
        const double step = (record.mz.back() - record.mz.front()) / static_cast<double>(record.mz.size() - 1);
        v.profile_step = finite(step) && step > 0.0 ? step : 0.0;
    }
    if (record.is_profile) {
        keep_profile_peaks(record.mz, record.intensity, cap);
    } else {
        keep_most_intense(record.mz, record.intensity, cap);
    }
    v.scan_id = record.scan_id;
    v.native_id = std::move(record.native_id);
    v.ms_level = record.ms_level;
    v.rt_sec = record.retention_time_sec;
    v.is_profile = record.is_profile;
    v.precursor = std::move(record.precursor);
    v.damage = std::move(record.error);
    v.mz = std::move(record.mz);
    v.intensity = std::move(record.intensity);
    return r;
}

// The brightest finite sum (0 when no bin has any).
double top_sum(const std::vector<double>& sums) {
    double top = 0.0;
    for (const double s : sums) {
        if (finite(s)) top = std::max(top, s);
    }
    return top;
}

// A positive sum's place from 0 to 1 over the `decades` below top; an infinite sum (float
// overflow) is as bright as it gets.
double level(double s, double top, double decades) {
    if (!(top > 0.0) || !finite(s)) return 1.0;
    return std::clamp((std::log10(s) - (std::log10(top) - decades)) / decades, 0.0, 1.0);
}

// Log-scales summed bins to MapImage::fine_cells: 0 for an empty bin, else 1..65535 over
// the fine_decades below top.
std::vector<std::uint16_t> fine_cells(const std::vector<double>& sums, double top) {
    std::vector<std::uint16_t> cells(sums.size(), 0);
    for (std::size_t i = 0; i < sums.size(); ++i) {
        if (!(sums[i] > 0.0)) continue;
        cells[i] = static_cast<std::uint16_t>(1.0 + std::round(65534.0 * level(sums[i], top, MapImage::fine_decades)));
    }
    return cells;
}

}  // namespace

void keep_most_intense(std::vector<double>& mz, std::vector<float>& intensity, std::size_t cap) {
    const std::size_t n = std::min(mz.size(), intensity.size());
    if (n <= cap) return;
    if (cap == 0) {
        mz.clear();
        intensity.clear();
        return;
    }
    // The cap-th largest intensity (NaN as the least), then one pass in point order:
    // everything above it, and of the points equal to it the first ones until cap, are kept.
    // The threshold comes from a min-heap of the cap largest values seen so far: once it
    // holds large values, nearly every point costs one comparison with its top, several
    // times less than selecting over all points (and this runs on every scan of a run).
    constexpr float least = -std::numeric_limits<float>::infinity();
    auto key = [](float x) { return std::isnan(x) ? least : x; };
    std::vector<float> heap(cap);
    for (std::size_t i = 0; i < cap; ++i) heap[i] = key(intensity[i]);
    std::make_heap(heap.begin(), heap.end(), std::greater<float>());
    for (std::size_t i = cap; i < n; ++i) {
        const float k = intensity[i];  // a NaN is never above the top: no key needed
        if (k > heap.front()) {
            std::pop_heap(heap.begin(), heap.end(), std::greater<float>());
            heap.back() = k;
            std::push_heap(heap.begin(), heap.end(), std::greater<float>());
        }
    }
    const float threshold = heap.front();
    std::size_t above = 0;
    for (const float k : heap) above += k > threshold ? 1u : 0u;
    std::size_t equal_left = cap - above;
    std::size_t w = 0;
    // Above -inf a NaN matches neither test, so the key is needed only at -inf.
    const bool plain = threshold > least;
    for (std::size_t i = 0; i < n; ++i) {
        const float k = plain ? intensity[i] : key(intensity[i]);
        if (k > threshold || (k == threshold && equal_left > 0)) {
            if (!(k > threshold)) --equal_left;
            mz[w] = mz[i];
            intensity[w] = intensity[i];
            ++w;
        }
    }
    mz.resize(w);
    intensity.resize(w);
    mz.shrink_to_fit();
    intensity.shrink_to_fit();
}

void keep_profile_peaks(std::vector<double>& mz, std::vector<float>& intensity, std::size_t cap) {
    const std::size_t n = std::min(mz.size(), intensity.size());
    if (n <= cap) return;
    if (cap < 3) {
        keep_most_intense(mz, intensity, cap);
        return;
    }
    // An apex is above zero, at least the point before and more than the point after (so a
    // flat top counts once).
    auto apex = [&](std::size_t i) {
        const float x = intensity[i];
        return x > 0.0f && (i == 0 || x >= intensity[i - 1]) && (i + 1 == n || x > intensity[i + 1]);
    };
    // The heights of the `wanted` highest apexes in a min-heap. Most points of a profile
    // (zero runs, noise) are no higher than its top once it is full, so nearly every point
    // costs one comparison; a full scan of apexes first cost more than the decoding.
    const std::size_t wanted = cap / 3;
    std::vector<float> heap;
    heap.reserve(wanted);
    for (std::size_t i = 0; i < n; ++i) {
        const float x = intensity[i];
        if (!(x > (heap.size() < wanted ? 0.0f : heap.front())) || !apex(i)) continue;
        if (heap.size() == wanted) {
            std::pop_heap(heap.begin(), heap.end(), std::greater<float>());
            heap.back() = x;
        } else {
            heap.push_back(x);
        }
        std::push_heap(heap.begin(), heap.end(), std::greater<float>());
    }
    // Every apex above the threshold, and of those at it the first ones, as keep_most_intense
    // breaks ties; with fewer apexes than wanted, all of them.
    const bool all = heap.size() < wanted;
    const float threshold = all || heap.empty() ? 0.0f : heap.front();
    std::size_t above = 0;
    for (const float h : heap) above += h > threshold ? 1u : 0u;
    std::size_t equal_left = all ? n : wanted - above;
    // Each kept apex with the point either side, in point order; the positions written never
    // pass the ones read, so the lists are compacted in place.
    std::size_t w = 0;
    std::size_t next_free = 0;  // the first position not written yet
    for (std::size_t i = 0; i < n; ++i) {
        const float x = intensity[i];
        if (!(x >= threshold) || !apex(i)) continue;
        if (!(x > threshold)) {
            if (equal_left == 0) continue;
            --equal_left;
        }
        for (std::size_t j = i == 0 ? 0 : i - 1; j <= std::min(i + 1, n - 1); ++j) {
            if (j < next_free) continue;
            mz[w] = mz[j];
            intensity[w] = intensity[j];
            ++w;
            next_free = j + 1;
        }
    }
    mz.resize(w);
    intensity.resize(w);
    mz.shrink_to_fit();
    intensity.shrink_to_fit();
}

RunSummary summarize(const Reader& reader, unsigned threads, const Limits& limits,
                      std::optional<processing::PrecursorMember> precursor_mz) {
    RunSummary summary;
    summary.precursor_mz = precursor_mz;
    summary.path = reader.root();
    summary.source_name = reader.source_name();
    summary.instrument_accession = reader.instrument().accession;
    summary.instrument_name = reader.instrument().name;
    summary.acquired_time = reader.acquired_time();

    const auto& records = reader.scans().records;
    const std::size_t n = records.size();
    bool any_ms1 = false;
    for (const auto& s : records) {
        ++summary.scans_by_level[s.ms_level];
        any_ms1 = any_ms1 || s.ms_level == 1;
    }
    // The chromatograms and the map show MS1; a run without MS1 scans shows all its scans.
    summary.chromatogram_level = any_ms1 ? 1 : 0;
    std::vector<bool> in_map(n, false);
    std::vector<std::size_t> map_scans;
    for (std::size_t i = 0; i < n; ++i) {
        if (!any_ms1 || records[i].ms_level == 1) {
            in_map[i] = true;
            map_scans.push_back(i);
        }
    }
    summary.chromatogram_scans = map_scans;

    const std::size_t per_point = sizeof(std::uint32_t) + sizeof(float);  // as the page stores them
    const std::size_t share = n == 0 ? limits.peak_bytes : limits.peak_bytes / per_point / n;
    summary.points_per_scan = std::max(limits.min_points_per_scan, share);

    const MapRange range = map_range(reader, map_scans);
    MapImage& map = summary.map;
    map.columns = std::min(limits.map_columns, map_scans.size());
    map.rows = map.columns == 0 ? 0 : limits.map_rows;
    map.rt_low = range.rt_low;
    map.rt_high = range.rt_high;
    map.mz_low = range.mz_low;
    map.mz_high = range.mz_high;
    map.binned_from_kept_points = !range.from_index;
    std::vector<double> sums(map.columns * map.rows, 0.0);
    auto column_of = [&](double rt) -> std::optional<std::size_t> {
        if (!finite(rt) || map.columns == 0) return std::nullopt;
        if (!(map.rt_high > map.rt_low)) return 0;
        return row_of(rt, map.rt_low, map.rt_high, map.columns);
    };

    map.column_scans.assign(map.columns, 0);
    map.column_rt.assign(map.columns, 0.0);
    summary.salvaged = reader.salvaged();
    summary.scans.reserve(n);
    summary.tic.reserve(map_scans.size());
    summary.bpc.reserve(map_scans.size());
    const std::size_t rows = map.rows;
    const std::size_t cap = summary.points_per_scan;
    // The records come from the processing door; without a declared member it hands them
    // on as decoded.
    processing::Options options;
    options.precursor_mz = precursor_mz;
    const processing::Processor processor(reader, options);
    std::vector<std::size_t> all(n);
    std::iota(all.begin(), all.end(), std::size_t{0});
    for_each_ordered<Reduced>(
        n, threads == 0 ? analysis::default_threads() : threads,
        [&](std::size_t i) { return reduce(processor.record_at(i), in_map[i], range, rows, cap); },
        [&](std::size_t k, Reduced&& r) {
            summary.total_points += r.view.points;
            if (in_map[k]) {
                summary.tic.push_back(r.tic);
                summary.bpc.push_back(r.bpc);
                // A damaged scan adds nothing to its column, and is not counted in it: the
                // XIC's per-scan value stays that of the scans read.
                const auto column = column_of(r.view.rt_sec);
                if (column && !r.view.damage) {
                    ++map.column_scans[*column];
                    map.column_rt[*column] += r.view.rt_sec;
                }
                if (column && !r.bins.empty()) {
                    double* cells = sums.data() + *column * rows;
                    for (std::size_t row = 0; row < rows; ++row) cells[row] += static_cast<double>(r.bins[row]);
                }
            }
            summary.scans.push_back(std::move(r.view));
            return true;
        },
        processor.groups(all));

    if (map.binned_from_kept_points && map.columns > 0) {
        // No m/z range in the index: the range and the bins come from the kept points.
        bool any = false;
        for (const std::size_t i : map_scans) {
            for (const double mz : summary.scans[i].mz) {
                if (!finite(mz)) continue;
                map.mz_low = any ? std::min(map.mz_low, mz) : mz;
                map.mz_high = any ? std::max(map.mz_high, mz) : mz;
                any = true;
            }
        }
        if (any && map.mz_high > map.mz_low) {
            for (const std::size_t i : map_scans) {
                const ScanView& v = summary.scans[i];
                const auto column = column_of(v.rt_sec);
                if (!column) continue;
                for (std::size_t p = 0; p < v.mz.size(); ++p) {
                    const float x = v.intensity[p];
                    if (!finite(v.mz[p]) || !(x > 0.0f) || !std::isfinite(x)) continue;
                    sums[*column * rows + row_of(v.mz[p], map.mz_low, map.mz_high, rows)] += static_cast<double>(x);
                }
            }
        }
    }
    for (std::size_t c = 0; c < map.columns; ++c) {
        map.column_rt[c] = map.column_scans[c] > 0 ? map.column_rt[c] / static_cast<double>(map.column_scans[c])
                                                   : std::numeric_limits<double>::quiet_NaN();
    }
    map.top = top_sum(sums);
    map.fine_cells = fine_cells(sums, map.top);
    return summary;
}

}  // namespace corvane::report
