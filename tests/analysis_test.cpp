// Whole-run work: selection, the ordered pool, chromatograms and the run's arrays, each
// against a plain loop over the reader's iterator.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <limits>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "analysis.hpp"
#include "sample_writer.hpp"
#include "reader.hpp"

namespace corvane::analysis {
namespace {

using sample_writer::AcquisitionSpec;
using sample_writer::peaks;
using sample_writer::profile;
using sample_writer::scan;
using sample_writer::ScanSpec;

constexpr unsigned thread_counts[] = {1, 2, 3, 8};

Reader write_and_open(const sample_writer::TempDir& dir, const AcquisitionSpec& spec) {
    const std::string path = dir.join("run.d");
    auto ok = sample_writer::write_acquisition(path, spec);
    EXPECT_TRUE(ok.has_value()) << ok.error();
    auto reader = Reader::open(path);
    EXPECT_TRUE(reader.has_value()) << reader.error().display();
    return std::move(*reader);
}

// Sixty scans cycling through every shape a scan takes: profile, sorted and unsorted peaks
// (both formats), a damaged profile block with peaks behind it, and scans without points.
// More scans than the pool keeps in flight at any thread count tested.
AcquisitionSpec mixed_run() {
    AcquisitionSpec spec;
    std::uint32_t seed = 12345;
    auto next = [&seed] { return seed = seed * 1664525u + 1013904223u; };
    for (std::uint32_t i = 0; i < 60; ++i) {
        const std::uint32_t shape = i % 6;
        ScanSpec s = scan(i + 1, shape == 0 || shape == 3 ? 1 : 2);
        s.rt_min = i * 0.25;
        if (s.ms_level == 2) s.msn_value_1 = s.msn_value_2 = 300.0;
        if (shape == 0) {
            std::vector<std::uint32_t> counts(40 + i);
            for (auto& c : counts) c = next() % 70000;
            s.mz_first = 100.0;
            s.mz_last = 100.0 + static_cast<double>(counts.size() - 1) * 0.25;
            s.profile = profile(counts);
        } else if (shape <= 3) {
            std::vector<double> mz;
            std::vector<float> in;
            for (std::uint32_t j = 0; j < 5 + i % 17; ++j) {
                mz.push_back(100.0 + (next() % 4000) * 0.005);  // on the profile grid now and then
                in.push_back(static_cast<float>(next() % 100000) * 0.37f);
            }
            if (shape == 1) std::sort(mz.begin(), mz.end());
            s.peaks = peaks(mz, in, shape == 2 ? 2 : 3);
        }
        if (shape == 3 || shape == 5) {
            s.profile = profile({1, 2, 3});
            s.profile->raw = sample_writer::ByteVec{1, 2, 3};
        }
        spec.scans.push_back(s);
    }
    return spec;
}

TEST(IonTotals, EmptyOrdinaryAndNaN) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const float fnan = std::numeric_limits<float>::quiet_NaN();
    const IonTotals empty = ion_totals({});
    EXPECT_EQ(empty.total_ion_current, 0.0);
    EXPECT_FALSE(empty.base_peak);
    EXPECT_EQ(trace_value(Trace::bpc, empty), 0.0);
    EXPECT_FALSE(mz_range({}).lowest);

    // Unsorted m/z; the highest intensity twice (in different lanes, one in the tail): the
    // first one is the base peak.
    const std::vector<double> mz{300.0, 100.5, 250.0, 199.0, 99.0, 400.0};
    const std::vector<float> in{1.5f, 8.0f, 2.0f, 0.5f, 8.0f, 1.0f};
    const IonTotals t = ion_totals(in);
    EXPECT_EQ(t.total_ion_current, 21.0);
    EXPECT_EQ(t.base_peak, 1u);
    EXPECT_EQ(trace_value(Trace::tic, t), 21.0);
    EXPECT_EQ(trace_value(Trace::bpc, t), 8.0);
    EXPECT_EQ(mz_range(mz).lowest, 99.0);
    EXPECT_EQ(mz_range(mz).highest, 400.0);

    // NaN never wins; the total carries it.
    const IonTotals with_nan = ion_totals(std::vector<float>{fnan, 2.0f, 3.0f});
    EXPECT_EQ(with_nan.base_peak, 2u);
    EXPECT_EQ(with_nan.base_peak_intensity, 3.0);
    EXPECT_TRUE(std::isnan(with_nan.total_ion_current));
    EXPECT_EQ(mz_range(std::vector<double>{nan, 120.0, 110.0}).lowest, 110.0);
    EXPECT_FALSE(ion_totals(std::vector<float>{fnan}).base_peak);
    EXPECT_FALSE(mz_range(std::vector<double>{nan}).highest);

    // The order is part of the result: lane i % 4, the tail into lane 0. In order, the two
    // halves of an ulp add up to one before 1 comes; in lanes each is lost against 1.
    const float half_ulp = std::ldexp(1.0f, -53);
    EXPECT_EQ(ion_totals(std::vector<float>{half_ulp, half_ulp, 0.0f, 0.0f, 1.0f}).total_ion_current, 1.0);
}

TEST(Analysis, SameAsPlainLoopForEveryThreadCount) {
    sample_writer::TempDir dir;
    const Reader reader = write_and_open(dir, mixed_run());
    std::vector<SpectrumRecord> all;
    for (auto it = reader.iter_spectra(); auto r = it->next();) all.push_back(std::move(*r));
    // Overlapping, nested, zero-width and empty windows, not in order of their bounds.
    const std::vector<XicWindow> windows{window(110.0, std::nullopt, 2.0), window(105.25, 10.0, std::nullopt),
                                         window(109.0, std::nullopt, 0.5), window(100.0, std::nullopt, 0.0),
                                         window(50.0, 10.0, std::nullopt), window(103.0, std::nullopt, 20.0)};
    for (const Selection& selection : {Selection{}, Selection{1u, std::nullopt}, Selection{2u, std::pair{120.0, 540.0}}}) {
        const std::vector<std::size_t> scans = select(reader, selection);
        // The plain loop: every value summed in point order, in double.
        Chromatogram tic_plain;
        Chromatogram bpc_plain;
        std::vector<std::vector<double>> xic_plain(windows.size());
        RunArrays arrays_plain{{0}, {}, {}, {scans.begin(), scans.end()}, {}};
        // The damaged scans every result names: how many, and the first in scan order.
        Damage damage_plain;
        for (const std::size_t i : scans) {
            const SpectrumRecord& r = all[i];
            damage_plain.note(r);
            double sum = 0.0;
            double best = 0.0;
            for (std::size_t p = 0; p < r.mz.size(); ++p) {
                const double v = static_cast<double>(r.intensity[p]);
                sum += v;
                best = p == 0 || v > best ? v : best;
            }
            tic_plain.rt.push_back(r.retention_time_sec);
            tic_plain.value.push_back(sum);
            bpc_plain.value.push_back(best);
            for (std::size_t w = 0; w < windows.size(); ++w) {
                double in = 0.0;
                for (std::size_t p = 0; p < r.mz.size(); ++p) {
                    if (windows[w].low <= r.mz[p] && r.mz[p] <= windows[w].high) in += static_cast<double>(r.intensity[p]);
                }
                xic_plain[w].push_back(in);
            }
            arrays_plain.mz.insert(arrays_plain.mz.end(), r.mz.begin(), r.mz.end());
            arrays_plain.intensity.insert(arrays_plain.intensity.end(), r.intensity.begin(), r.intensity.end());
            arrays_plain.offsets.push_back(arrays_plain.mz.size());
        }
        for (const unsigned threads : thread_counts) {
            SCOPED_TRACE(std::to_string(scans.size()) + " scans, threads " + std::to_string(threads));
            std::size_t seen = 0;
            for_each_record(reader, scans, threads, [&](std::size_t k, SpectrumRecord&& r) {
                EXPECT_EQ(k, seen++);
                EXPECT_EQ(r.index, scans[k]);
                EXPECT_EQ(r.native_id, all[scans[k]].native_id);
                EXPECT_EQ(r.mz, all[scans[k]].mz);
                return true;
            });
            EXPECT_EQ(seen, scans.size());
            // Taken one at a time: the same records, then nothing; a stream dropped part
            // of the way stops its workers with records still being decoded.
            RecordStream stream(reader, scans, threads);
            for (const std::size_t i : scans) {
                const std::optional<SpectrumRecord> r = stream.next();
                ASSERT_TRUE(r.has_value());
                EXPECT_EQ(r->index, i);
                EXPECT_EQ(r->intensity, all[i].intensity);
            }
            EXPECT_FALSE(stream.next().has_value());
            EXPECT_FALSE(stream.next().has_value());
            ASSERT_FALSE(scans.empty());
            EXPECT_EQ(RecordStream(reader, scans, threads).next()->index, scans.front());
            // Cancelled part of the way: nothing more, however often asked.
            RecordStream cancelled(reader, scans, threads);
            EXPECT_EQ(cancelled.next()->index, scans.front());
            cancelled.cancel();
            EXPECT_FALSE(cancelled.next().has_value());
            EXPECT_FALSE(cancelled.next().has_value());
            const Chromatogram t = tic(reader, scans, threads);
            EXPECT_EQ(t.rt, tic_plain.rt);
            EXPECT_EQ(t.value, tic_plain.value);
            EXPECT_EQ(bpc(reader, scans, threads).value, bpc_plain.value);
            const std::vector<Chromatogram> x = xic(reader, scans, windows, threads);
            ASSERT_EQ(x.size(), windows.size());
            for (std::size_t w = 0; w < windows.size(); ++w) {
                EXPECT_EQ(x[w].rt, tic_plain.rt);
                EXPECT_EQ(x[w].value, xic_plain[w]) << "window " << w;
            }
            const RunArrays a = arrays(reader, scans, threads);
            if (!selection.ms_level) {
                EXPECT_EQ(damage_plain.count, 10u);  // every scan: each damaged one
            }
            for (const Damage* d : {&t.damaged, &x.front().damaged, &x.back().damaged, &a.damaged}) {
                EXPECT_EQ(std::tie(d->count, d->first_native_id, d->first_error),
                          std::tie(damage_plain.count, damage_plain.first_native_id, damage_plain.first_error));
            }
            EXPECT_EQ(a.offsets, arrays_plain.offsets);
            EXPECT_EQ(a.mz, arrays_plain.mz);
            EXPECT_EQ(a.intensity, arrays_plain.intensity);
            EXPECT_EQ(a.scan_index, arrays_plain.scan_index);
        }
    }
}

TEST(Analysis, ErrorsAsTheIteratorGivesThem) {
    sample_writer::TempDir dir;
    const Reader reader = write_and_open(dir, mixed_run());
    std::vector<std::optional<std::string>> plain;
    for (auto it = reader.iter_spectra(); auto r = it->next();) plain.push_back(r->error);
    // Every sixth scan has only a damaged profile block; a damaged one with peaks behind it
    // is made good by them.
    EXPECT_EQ(std::count_if(plain.begin(), plain.end(), [](const auto& e) { return e.has_value(); }), 10);
    const std::vector<std::size_t> scans = select(reader, {});
    for (const unsigned threads : thread_counts) {
        SCOPED_TRACE(threads);
        EXPECT_EQ(errors(reader, scans, threads), plain);
    }
}

// The index alone proves a record damaged only where a block lies outside its file (or the
// file is missing) and no other block can stand in; what it proves is what decoding finds.
TEST(Analysis, IndexErrorsProveOnlyWhatSizesShow) {
    sample_writer::ProfileSpec past_end = profile({1, 2, 3});
    past_end.byte_offset = 1u << 20;
    sample_writer::PeakSpec peaks_past_end = peaks({1.0}, {2.0f});
    peaks_past_end.byte_offset = std::uint64_t{1} << 40;
    sample_writer::ProfileSpec bad_stream = profile({1, 2, 3});
    bad_stream.uncompressed_byte_count = 99;
    sample_writer::PeakSpec nothing_far_away = peaks({}, {});
    nothing_far_away.byte_offset = std::uint64_t{1} << 40;  // zero bytes read anywhere: no failure

    const struct {
        const char* name;
        std::optional<sample_writer::ProfileSpec> profile;
        std::optional<sample_writer::PeakSpec> peaks;
        bool from_index;  // the index proves the record damaged
        bool decoded;     // decoding finds it damaged
    } rows[] = {
        {"good profile", profile({4, 5}), std::nullopt, false, false},
        {"profile past the end, no peaks", past_end, std::nullopt, true, true},
        {"profile past the end, peaks stand in", past_end, peaks({1.0}, {2.0f}), false, false},
        {"both past the end", past_end, peaks_past_end, true, true},
        {"undecodable profile inside the file", bad_stream, std::nullopt, false, true},
        {"peaks past the end", std::nullopt, peaks_past_end, true, true},
        {"no blocks", std::nullopt, std::nullopt, false, false},
        {"empty peak block far past the end", std::nullopt, nothing_far_away, false, false},
    };
    AcquisitionSpec spec;
    for (const auto& row : rows) {
        ScanSpec s = scan(static_cast<std::uint32_t>(spec.scans.size() + 1));
        s.mz_first = 100.0;
        s.mz_last = 200.0;
        s.profile = row.profile;
        s.peaks = row.peaks;
        spec.scans.push_back(s);
    }
    sample_writer::TempDir dir;
    const Reader reader = write_and_open(dir, spec);
    const auto from_index = index_errors(reader);
    const auto decoded = errors(reader, select(reader, {}), 2);
    ASSERT_EQ(from_index.size(), std::size(rows));
    ASSERT_EQ(decoded.size(), std::size(rows));
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        SCOPED_TRACE(rows[i].name);
        EXPECT_EQ(from_index[i].has_value(), rows[i].from_index);
        EXPECT_EQ(decoded[i].has_value(), rows[i].decoded);
        if (from_index[i]) {
            EXPECT_EQ(from_index[i], decoded[i]);
        }
    }
    EXPECT_EQ(from_index[1]->find("parse error: read_bytes: requested "), 0u);

    // Missing data files fail every block in them, as the reads do.
    sample_writer::TempDir dir2;
    spec.omit = {"MSProfile.bin", "MSPeak.bin"};
    const Reader bare = write_and_open(dir2, spec);
    const auto bare_index = index_errors(bare);
    const auto bare_decoded = errors(bare, select(bare, {}), 1);
    const std::string enoent = "I/O error: " + os_message(ENOENT) + " (os error 2)";
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        SCOPED_TRACE(rows[i].name);
        // The failure names the file of the block whose failure counts: the profile's.
        std::optional<std::string> expected;
        if (rows[i].profile) {
            expected = bare.profile_path() + ": " + enoent;
        } else if (rows[i].peaks) {
            expected = bare.peak_path() + ": " + enoent;
        }
        EXPECT_EQ(bare_index[i], expected);
        EXPECT_EQ(bare_decoded[i], bare_index[i]);
    }
}

TEST(Analysis, SelectByLevelAndTime) {
    AcquisitionSpec spec;
    for (std::uint32_t i = 0; i < 6; ++i) {
        ScanSpec s = scan(i + 1, i % 2 == 0 ? 1 : 2);
        s.rt_min = i * 0.5;  // 0, 30, 60, 90, 120, 150 seconds
        if (s.ms_level == 2) s.msn_value_1 = s.msn_value_2 = 400.0;
        spec.scans.push_back(s);
    }
    sample_writer::TempDir dir;
    const Reader reader = write_and_open(dir, spec);
    const struct {
        const char* name;
        Selection selection;
        std::vector<std::size_t> expected;
    } rows[] = {
        {"everything", {}, {0, 1, 2, 3, 4, 5}},
        {"MS1", {1u, std::nullopt}, {0, 2, 4}},
        {"MS2", {2u, std::nullopt}, {1, 3, 5}},
        {"absent level", {3u, std::nullopt}, {}},
        {"both ends included", {std::nullopt, std::pair{30.0, 90.0}}, {1, 2, 3}},
        {"just inside the ends", {std::nullopt, std::pair{30.000001, 89.99999}}, {2}},
        {"one instant", {std::nullopt, std::pair{60.0, 60.0}}, {2}},
        {"reversed range", {std::nullopt, std::pair{90.0, 30.0}}, {}},
        {"level and time", {2u, std::pair{0.0, 100.0}}, {1, 3}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(select(reader, row.selection), row.expected);
    }
}

TEST(Analysis, XicWindowsAtTheirBounds) {
    // The same four peaks sorted and unsorted, then a scan without blocks and two whose
    // only block is damaged, one claiming 2^32 - 1 points: none has points, all give 0.
    ScanSpec sorted = scan(1);
    sorted.peaks = peaks({99.5, 100.0, 100.5, 101.0}, {8.0f, 1.0f, 2.0f, 4.0f});
    ScanSpec unsorted = scan(2);
    unsorted.peaks = peaks({100.0, 100.5, 101.0, 99.5}, {1.0f, 2.0f, 4.0f, 8.0f});
    ScanSpec damaged = scan(4);
    damaged.peaks = peaks({100.0}, {1.0f});
    damaged.peaks->raw = sample_writer::ByteVec{1, 2};
    AcquisitionSpec spec;
    ScanSpec huge = scan(5);
    huge.peaks = peaks({100.0}, {1.0f});
    huge.peaks->point_count = 0xFFFFFFFFu;
    spec.scans = {sorted, unsorted, scan(3), damaged, huge};
    sample_writer::TempDir dir;
    const Reader reader = write_and_open(dir, spec);

    const struct {
        const char* name;
        XicWindow window;
        double expected;
    } rows[] = {
        {"both ends on points", {100.25, 100.0, 100.5}, 3.0},
        {"zero width on a point", {100.5, 100.5, 100.5}, 2.0},
        {"below every point", {90.0, 80.0, 99.49}, 0.0},
        {"lowest point only", {99.5, 99.0, 99.9}, 8.0},
        {"highest point only", {101.0, 100.51, 101.0}, 4.0},
        {"just past the highest", {101.5, 101.0000001, 102.0}, 0.0},
        {"everything", {500.0, 0.0, 1000.0}, 15.0},
        {"overlaps the first row", {100.0, 99.5, 100.0}, 9.0},
        {"reversed", {100.0, 101.0, 99.0}, 0.0},
        {"NaN low", {100.0, std::nan(""), 100.0}, 0.0},
        {"NaN high", {100.0, 99.0, std::nan("")}, 0.0},
    };
    std::vector<XicWindow> windows;
    for (const auto& row : rows) windows.push_back(row.window);
    const std::vector<std::size_t> scans{0, 1, 2, 3, 4};
    for (const unsigned threads : {1u, 3u}) {
        const std::vector<Chromatogram> x = xic(reader, scans, windows, threads);
        ASSERT_EQ(x.size(), windows.size());
        for (std::size_t w = 0; w < windows.size(); ++w) {
            SCOPED_TRACE(std::string(rows[w].name) + ", threads " + std::to_string(threads));
            EXPECT_EQ(x[w].value, (std::vector<double>{rows[w].expected, rows[w].expected, 0.0, 0.0, 0.0}));
        }
    }
    // No windows at all: still one pass, no chromatograms.
    EXPECT_TRUE(xic(reader, scans, {}, 2).empty());

    // The arrays reserve from the index's counts, but never past what the files can hold.
    const RunArrays a = arrays(reader, scans, 2);
    EXPECT_EQ(a.offsets, (std::vector<std::uint64_t>{0, 4, 8, 8, 8, 8}));
    EXPECT_LT(a.mz.capacity(), 100u);
    EXPECT_LT(a.intensity.capacity(), 100u);
}

}  // namespace
}  // namespace corvane::analysis
