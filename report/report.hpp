// The run report: one self-contained HTML page that shows an acquisition at a glance
// (header facts, TIC and base-peak chromatograms, the LC-MS map, every scan's spectrum).
// summarize() makes one decoding pass over the run; render() turns its result into the
// page; write() does both and replaces the output file only when the page is complete.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "error.hpp"
#include "export/format.hpp"
#include "processing.hpp"
#include "reader.hpp"

namespace corvane::report {

// How much of a run goes into the page. The defaults keep a run of 6,000 scans (half of
// them 60,000-point profile scans) under 20 MB.
struct Limits {
    // Bytes of embedded peaks (8 per point) shared by all scans; a scan keeps its
    // min_points_per_scan most intense points at least, however many scans there are.
    std::size_t peak_bytes = 8u << 20;
    std::size_t min_points_per_scan = 32;
    // The map's size: retention-time columns (fewer when there are fewer map scans) and m/z rows.
    std::size_t map_columns = 800;
    std::size_t map_rows = 400;
};

// One scan as the page shows it. The kept points are all of them when the scan is small
// enough, else its most intense peaks (keep_profile_peaks) or points (keep_most_intense),
// in the scan's own point order.
struct ScanView {
    std::uint32_t scan_id = 0;
    std::string native_id;
    std::uint32_t ms_level = 0;
    double rt_sec = 0.0;
    bool is_profile = false;
    std::optional<corvane::PrecursorInfo> precursor;
    std::size_t points = 0;       // decoded points before reduction
    double profile_step = 0.0;    // m/z spacing of a profile scan's points (0: none)
    std::vector<double> mz;       // kept points
    std::vector<float> intensity;
    std::optional<std::string> damage;  // why the scan's data could not be read (the record's error)
};

// The LC-MS map: summed intensity of the map scans' points in (retention time, m/z) bins.
// Rows are m/z bins from mz_low up. The page colours the top `decades` below the brightest
// bin and reads the sums back for its XIC.
struct MapImage {
    static constexpr double decades = 4.0;        // the colour scale's span below top
    static constexpr double fine_decades = 8.0;   // fine_cells' span below top

    std::size_t columns = 0;
    std::size_t rows = 0;
    double rt_low = 0.0, rt_high = 0.0;  // seconds, the first and last map scan
    double mz_low = 0.0, mz_high = 0.0;
    bool binned_from_kept_points = false;  // the index gave no m/z range: only kept points binned
    // The brightest bin's summed intensity (0: no bin has any): the colour scale's top.
    double top = 0.0;
    // Column-major (fine_cells[c * rows + r]): 0 for an empty bin, else the sum's place
    // on a log scale over the fine_decades below top in 65,535 steps (0.03 % apart), so a
    // sum reads back as top * 10^(fine_decades * ((level - 1) / 65534 - 1)) within 0.015 %;
    // a sum under that span reads back as its floor, an infinite one as top.
    std::vector<std::uint16_t> fine_cells;
    // Per column: how many map scans it sums (damaged ones, which add nothing, not
    // counted), and their mean retention time in seconds (NaN for a column without such a
    // scan), so that an XIC is a per-scan value at a real time.
    std::vector<std::uint32_t> column_scans;
    std::vector<double> column_rt;
};

struct RunSummary {
    std::string path;
    std::string source_name;
    std::string instrument_accession;
    std::string instrument_name;
    std::optional<std::string> acquired_time;
    std::map<std::uint32_t, std::size_t> scans_by_level;
    std::uint64_t total_points = 0;
    std::uint32_t chromatogram_level = 1;  // 1, or 0 (all scans) when the run has no MS1 scan
    std::vector<std::size_t> chromatogram_scans;  // positions in scans, in scan order
    std::vector<double> tic;
    std::vector<double> bpc;
    MapImage map;
    std::vector<ScanView> scans;  // every scan of the index, in index order
    std::size_t points_per_scan = 0;  // the reduction's cap
    // The member the page was written with as holding the precursor m/z: its fragment
    // scans' precursors then carry the selected ion (charge, monoisotopic m/z, the MS1
    // scan read). Absent: the page shows the index's values only.
    std::optional<processing::PrecursorMember> precursor_mz;
    // What salvage mode dropped from a cut scan index (Reader::salvaged()): the page says so.
    std::optional<Salvage> salvaged;
};


// Keeps at most cap points of the lists: the most intense ones (NaN counts as the least),
// ties broken by position, in their original order. Lists of at most cap points stay whole.
void keep_most_intense(std::vector<double>& mz, std::vector<float>& intensity, std::size_t cap);

// Profile data: keeps the cap / 3 most intense peak apexes (points above zero, at least
// the point before and more than the point after; chosen as keep_most_intense chooses) with
// the point either side, in point order, so that a line through the kept points still
// draws each peak. Lists of at most cap points stay whole; below cap 3, as keep_most_intense.
void keep_profile_peaks(std::vector<double>& mz, std::vector<float>& intensity, std::size_t cap);

// One pass over every scan of the run with up to `threads` decoding threads (0: the
// machine's cores). Results never depend on the thread count. With precursor_mz declared,
// the fragment scans' precursors are read from the MS1 envelope (processing.hpp).
[[nodiscard]] RunSummary summarize(const Reader& reader, unsigned threads, const Limits& limits = {},
                                   std::optional<processing::PrecursorMember> precursor_mz = {});

// The page for a summary: HTML with the data, the plotting library and the page's own
// code inlined; loads nothing and runs nothing else (a Content-Security-Policy says so).
[[nodiscard]] std::string render(const RunSummary& summary);

// Writes text to path by the output layer's rules (export/output.hpp): through a temporary
// file beside it, flushed and renamed over path once complete, so that a failure leaves no
// partial file and an existing file at path untouched. The layer's failures: a path inside
// the acquisition (its folder as given) is refused (Failure::refused, a message naming
// both); the others carry the system's errno.
[[nodiscard]] output::Outcome<void> write_file(const std::string& acquisition, const std::string& path,
                                               std::string_view text);

}  // namespace corvane::report
