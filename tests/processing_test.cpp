// The Processor over written runs: peak picking of profile scans, the peak filters, the
// declared precursor with its charge and monoisotopic m/z read from the MS1 envelope, the
// evidence for each member, and the same records whatever the thread count.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "analysis.hpp"
#include "centroid.hpp"
#include "processing.hpp"
#include "reader.hpp"
#include "sample_writer.hpp"

namespace corvane::processing {
namespace {

using sample_writer::AcquisitionSpec;
using sample_writer::peaks;
using sample_writer::profile;
using sample_writer::scan;
using sample_writer::ScanSpec;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double step13c = 1.003355;

Reader write_and_open(const sample_writer::TempDir& dir, const AcquisitionSpec& spec) {
    const std::string path = dir.join("run.d");
    auto ok = sample_writer::write_acquisition(path, spec);
    EXPECT_TRUE(ok.has_value()) << ok.error();
    auto reader = Reader::open(path);
    EXPECT_TRUE(reader.has_value()) << reader.error().display();
    return std::move(*reader);
}

// An isotope envelope: monoisotopic m/z, charge, and the heights of M, M+1, ...
struct Envelope {
    double mono;
    std::uint32_t charge;
    std::vector<double> heights;
};

// The MS1 axis of these runs: 4,000 points of 3 mDa from 495 (as the sample generator).
constexpr double axis_first = 495.0;
constexpr double axis_step = 0.003;
constexpr std::uint32_t axis_points = 4000;
constexpr double axis_last = axis_first + (axis_points - 1) * axis_step;

// An MS1 profile scan holding the envelopes as Gaussian peaks of a TOF at 20,000
// resolving power, in whole counts.
ScanSpec ms1_scan(std::uint32_t id, const std::vector<Envelope>& envelopes, double scale = 1.0) {
    std::vector<double> counts(axis_points, 0.0);
    for (const Envelope& e : envelopes) {
        for (std::size_t k = 0; k < e.heights.size(); ++k) {
            const double centre = e.mono + static_cast<double>(k) * step13c / e.charge;
            const double sigma = centre / 20000.0 / 2.3548;
            for (std::uint32_t i = 0; i < axis_points; ++i) {
                const double d = (axis_first + i * axis_step - centre) / sigma;
                if (std::abs(d) < 8.0) counts[i] += scale * e.heights[k] * std::exp(-0.5 * d * d);
            }
        }
    }
    std::vector<std::uint32_t> whole(axis_points);
    for (std::uint32_t i = 0; i < axis_points; ++i) whole[i] = static_cast<std::uint32_t>(counts[i]);
    ScanSpec s = scan(id, 1);
    s.mz_first = axis_first;
    s.mz_last = axis_last;
    s.profile = profile(whole);
    return s;
}

ScanSpec ms2_scan(std::uint32_t id, std::optional<double> value_1, std::optional<double> value_2) {
    ScanSpec s = scan(id, 2);
    s.msn_value_1 = value_1;
    s.msn_value_2 = value_2;
    s.mz_first = 50.0;
    s.mz_last = 1000.0;
    s.peaks = peaks({120.0, 250.5, 300.25, 401.0}, {10.0f, 400.0f, 30.0f, 400.0f});
    return s;
}

// Every field of two records, the selected ion's too.
void expect_same(const SpectrumRecord& a, const SpectrumRecord& b) {
    EXPECT_EQ(a.index, b.index);
    EXPECT_EQ(a.native_id, b.native_id);
    EXPECT_EQ(a.scan_id, b.scan_id);
    EXPECT_EQ(a.ms_level, b.ms_level);
    EXPECT_EQ(a.retention_time_sec, b.retention_time_sec);
    EXPECT_EQ(a.mz_first, b.mz_first);
    EXPECT_EQ(a.mz_last, b.mz_last);
    EXPECT_EQ(a.mz, b.mz);
    // Bit for bit: NaN intensities are kept as recorded.
    ASSERT_EQ(a.intensity.size(), b.intensity.size());
    if (!a.intensity.empty()) {  // memcmp takes no null pointer, which an empty list may hold
        EXPECT_EQ(0, std::memcmp(a.intensity.data(), b.intensity.data(), a.intensity.size() * sizeof(float)));
    }
    EXPECT_EQ(a.is_profile, b.is_profile);
    EXPECT_EQ(a.instrument_kind, b.instrument_kind);
    EXPECT_EQ(a.error, b.error);
    ASSERT_EQ(a.precursor.has_value(), b.precursor.has_value());
    if (!a.precursor) return;
    EXPECT_EQ(a.precursor->msn_value_1, b.precursor->msn_value_1);
    EXPECT_EQ(a.precursor->msn_value_2, b.precursor->msn_value_2);
    EXPECT_EQ(a.precursor->reference, b.precursor->reference);
    ASSERT_EQ(a.precursor->selected_ion.has_value(), b.precursor->selected_ion.has_value());
    if (!a.precursor->selected_ion) return;
    const SelectedIon& x = *a.precursor->selected_ion;
    const SelectedIon& y = *b.precursor->selected_ion;
    EXPECT_EQ(x.mz, y.mz);
    EXPECT_EQ(x.charge, y.charge);
    EXPECT_EQ(x.monoisotopic_mz, y.monoisotopic_mz);
    EXPECT_EQ(x.envelope_scan, y.envelope_scan);
}

double ppm(double got, double want) { return (got - want) / want * 1e6; }

// Options field by field (GCC warns of designated initialisers that leave fields out).
Options with(bool centroid, std::optional<PrecursorMember> member = std::nullopt,
             std::optional<std::size_t> top_n = std::nullopt, std::optional<double> min_intensity = std::nullopt) {
    Options o;
    o.centroid = centroid;
    o.precursor_mz = member;
    o.top_n = top_n;
    o.min_intensity = min_intensity;
    return o;
}
constexpr auto member_1 = PrecursorMember::msn_value_1;

// One MS1 scan of several envelopes, then a fragment scan for each row declaring a value.
TEST(Processor, ChargeAndMonoisotopicFromTheEnvelope) {
    const std::vector<Envelope> envelopes = {
        {498.0, 1, {1.0e5, 4.0e4, 1.0e4}},           // the generator's compounds at charge 1
        {500.5, 2, {6.0e4, 5.0e4, 2.5e4, 9.0e3}},    // a tryptic peptide at charge 2
        {503.0, 3, {3.0e4, 3.6e4, 2.2e4, 9.0e3}},    // charge 3, M+1 the tallest (carbon-rich)
        {505.5, 2, {2.0e5}},                         // a lone peak: no isotope, nothing decided
        {506.99, 1, {8.0e4, 3.0e4}},                 // M at the end of the axis, M+1 beyond it
    };
    AcquisitionSpec spec;
    spec.scans.push_back(ms1_scan(1, envelopes));
    const struct {
        const char* name;
        double declared;
        std::optional<std::uint32_t> charge;
        std::optional<double> mono;
    } rows[] = {
        {"charge 1, M declared", 498.0, 1, 498.0},
        {"charge 1, M+1 declared", 498.0 + step13c, 1, 498.0},
        {"charge 2, M+1 declared", 500.5 + step13c / 2, 2, 500.5},
        {"charge 3, M+1 declared", 503.0 + step13c / 3, 3, 503.0},
        {"declared 30 ppm off", 500.5 * (1 + 30e-6), std::nullopt, std::nullopt},
        {"lone peak", 505.5, std::nullopt, std::nullopt},
        {"envelope off the end of the axis", 506.99, std::nullopt, std::nullopt},
    };
    std::uint32_t id = 2;
    for (const auto& row : rows) spec.scans.push_back(ms2_scan(id++, row.declared, 2.0));
    sample_writer::TempDir dir;
    const Reader reader = write_and_open(dir, spec);
    const Processor processor(reader, with(false, member_1));
    for (std::size_t k = 0; k < std::size(rows); ++k) {
        SCOPED_TRACE(rows[k].name);
        const SpectrumRecord r = processor.record_at(k + 1);
        ASSERT_TRUE(r.precursor && r.precursor->selected_ion);
        const SelectedIon& ion = *r.precursor->selected_ion;
        EXPECT_EQ(ion.mz, rows[k].declared);
        EXPECT_EQ(ion.envelope_scan, "scanId=1");
        EXPECT_EQ(ion.charge, rows[k].charge);
        ASSERT_EQ(ion.monoisotopic_mz.has_value(), rows[k].mono.has_value());
        if (rows[k].mono) {
            EXPECT_LT(std::abs(ppm(*ion.monoisotopic_mz, *rows[k].mono)), 1.0);
        }
        // The fragment scan's own points are untouched.
        EXPECT_EQ(r.mz, reader.record_at(k + 1).mz);
    }
}

TEST(Envelope, HarmonicsAndContradictions) {
    // Centroid lists read directly: (m/z, height) pairs, ascending.
    struct Row {
        const char* name;
        std::vector<std::pair<double, float>> peaks;
        double declared;
        std::optional<std::uint32_t> charge;
        std::optional<double> mono;
    };
    const double m = 600.0;
    // A heavier mass at charge 2, where neighbours of equal height are plausible.
    const double w = 1500.0;
    const double h = step13c / 2;
    const std::vector<Row> rows = {
        // A true charge 2 shows peaks 1/2 and 1 above: the highest supported charge wins.
        {"charge 2 over its charge-1 harmonic", {{m, 100}, {m + step13c / 2, 80}, {m + step13c, 40}}, m, 2, m},
        // A peak a third above next to a charge-2 envelope: 3 does not divide 2.
        {"contradictory third", {{m, 100}, {m + step13c / 3, 50}, {m + step13c / 2, 80}}, m, std::nullopt,
         std::nullopt},
        // The first isotope too small, or taller than a molecule of 600 Da has it (at most
        // 0.6 of M with the slack).
        {"first isotope at 3%", {{m, 100}, {m + step13c, 3}}, m, std::nullopt, std::nullopt},
        // Still rising at the first isotope: the next one must follow. Here a peak of
        // another ion 1/5 above, taller, with nothing 2/5 above, does not make charge 5.
        {"rising without a next peak", {{w, 100}, {w + step13c / 5, 160}, {w + step13c, 40}}, w, 1, w},
        // Two charge-2 envelopes a quarter apart fill every other place of a charge-4
        // series; its first peak (the other envelope's) is then a valley.
        {"valley at the first isotope",
         {{m - 3 * step13c / 4, 750}, {m - step13c / 4, 590}, {m, 1435}, {m + step13c / 4, 254},
          {m + step13c / 2, 1138}, {m + step13c, 471}},
         m, 2, m},
        // Another ion's peak a quarter above, three quarters of the declared one: a charge-4
        // envelope that tall at its first isotope would show its second.
        {"first isotope without its next", {{m, 100}, {m + step13c / 4, 75}, {m + step13c, 40}}, m, 1, m},
        // A peak a quarter above at 9%: as M+1 of 2.4 kDa far too small, and no lighter
        // isotope below says the declared peak is not M.
        {"first isotope too small for the mass", {{m - step13c / 4, 11}, {m, 100}, {m + step13c / 4, 9}, {m + step13c, 40}},
         m, 1, m},
        // Stepping down: a lighter peak under 20% of the one above, or smaller than the
        // mass allows against it (a heavier neighbour at most 0.6 times it at 600 Da), is
        // not the same envelope.
        {"small peak below", {{m - step13c, 15}, {m, 100}, {m + step13c, 40}}, m, 1, m},
        {"M below the declared M+1", {{m - step13c, 300}, {m, 100}, {m + step13c, 40}}, m, 1, m - step13c},
        // One summit: once the steps went down in height, a taller peak further down belongs
        // to something else.
        {"second summit below", {{w - 2 * h, 150}, {w - h, 60}, {w, 100}, {w + h, 80}, {w + 2 * h, 50}}, w, 2,
         w - h},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::vector<double> mz;
        std::vector<float> in;
        for (const auto& [x, y] : row.peaks) {
            mz.push_back(x);
            in.push_back(y);
        }
        const processing::Envelope e = read_envelope(mz, in, row.declared, 10.0);
        EXPECT_EQ(e.charge, row.charge);
        ASSERT_EQ(e.monoisotopic_mz.has_value(), row.mono.has_value());
        if (row.mono) {
            EXPECT_NEAR(*e.monoisotopic_mz, *row.mono, 1e-9);
        }
    }
}

TEST(Processor, PrecursorWithoutAnEnvelopeToReadOrAValue) {
    sample_writer::ProfileSpec damaged = profile({1, 2, 3});
    damaged.raw = sample_writer::ByteVec{1, 2, 3};
    AcquisitionSpec spec;
    // A fragment scan before any MS1 scan.
    spec.scans.push_back(ms2_scan(1, 500.5, 2.0));
    spec.scans.push_back(ms1_scan(2, {{500.5, 2, {6.0e4, 5.0e4, 2.5e4}}}));
    // Declared values the member cannot give: never a selected ion at 0.
    spec.scans.push_back(ms2_scan(3, 0.0, 2.0));
    spec.scans.push_back(ms2_scan(5, nan, 2.0));
    spec.scans.push_back(ms2_scan(7, 500.5, 2.0));
    // An MS1 scan that cannot be decoded, and the fragment scan after it.
    ScanSpec bad = scan(8, 1);
    bad.mz_first = axis_first;
    bad.mz_last = axis_last;
    bad.profile = damaged;
    spec.scans.push_back(bad);
    spec.scans.push_back(ms2_scan(9, 500.5, 2.0));
    sample_writer::TempDir dir;
    const Reader reader = write_and_open(dir, spec);
    const Processor processor(reader, with(true, member_1));

    const SpectrumRecord first = processor.record_at(0);
    ASSERT_TRUE(first.precursor->selected_ion);
    EXPECT_EQ(first.precursor->selected_ion->mz, 500.5);
    EXPECT_FALSE(first.precursor->selected_ion->envelope_scan);
    EXPECT_FALSE(first.precursor->selected_ion->charge);
    EXPECT_FALSE(first.precursor->selected_ion->monoisotopic_mz);
    for (std::size_t i = 2; i <= 3; ++i) {
        SCOPED_TRACE(i);
        const SpectrumRecord r = processor.record_at(i);
        ASSERT_TRUE(r.precursor);
        EXPECT_FALSE(r.precursor->selected_ion);
    }
    const SpectrumRecord good = processor.record_at(4);
    ASSERT_TRUE(good.precursor->selected_ion);
    EXPECT_EQ(good.precursor->selected_ion->charge, 2u);
    // Declaring the other member: its value, not the first's.
    const Processor other(reader, with(false, PrecursorMember::msn_value_2));
    EXPECT_EQ(other.record_at(4).precursor->selected_ion->mz, 2.0);
    EXPECT_FALSE(other.record_at(4).precursor->selected_ion->charge);

    // The damaged MS1 scan is handed on as decoded; the fragment scan after it has its m/z
    // but no envelope scan.
    expect_same(processor.record_at(5), reader.record_at(5));
    EXPECT_TRUE(processor.record_at(5).error);
    const SpectrumRecord after_bad = processor.record_at(6);
    ASSERT_TRUE(after_bad.precursor->selected_ion);
    EXPECT_EQ(after_bad.precursor->selected_ion->mz, 500.5);
    EXPECT_FALSE(after_bad.precursor->selected_ion->envelope_scan);
    EXPECT_FALSE(after_bad.precursor->selected_ion->charge);
}

TEST(Processor, CentroidingAndFilters) {
    AcquisitionSpec spec;
    spec.scans.push_back(ms1_scan(1, {{500.5, 2, {6.0e4, 5.0e4, 2.5e4, 9.0e3}}, {503.0, 1, {1.0e4, 3.0e3}}}));
    // Unsorted centroid peaks with ties and a NaN.
    ScanSpec ms2 = ms2_scan(2, 500.5, 2.0);
    ms2.peaks = peaks({300.0, 120.0, 250.0, 410.0, 200.0, 90.0},
                      {50.0f, 400.0f, 400.0f, std::numeric_limits<float>::quiet_NaN(), 10.0f, 400.0f});
    spec.scans.push_back(ms2);
    sample_writer::TempDir dir;
    const Reader reader = write_and_open(dir, spec);

    // Peak picking alone: the profile scan becomes the picked peaks, its range kept; the
    // centroid scan passes through as recorded.
    const Processor centroid(reader, with(true));
    const SpectrumRecord profile_record = reader.record_at(0);
    const centroid::Peaks picked = centroid::pick(profile_record.mz, profile_record.intensity);
    const SpectrumRecord ms1 = centroid.record_at(0);
    EXPECT_FALSE(ms1.is_profile);
    EXPECT_EQ(ms1.mz, picked.mz);
    EXPECT_EQ(ms1.intensity, picked.intensity);
    EXPECT_EQ(ms1.mz.size(), 6u);
    EXPECT_EQ(ms1.mz_first, axis_first);
    EXPECT_EQ(ms1.mz_last, axis_last);
    const SpectrumRecord untouched = centroid.record_at(1);
    expect_same(untouched, reader.record_at(1));

    const struct {
        const char* name;
        Options options;
        std::vector<double> mz;  // of the fragment scan
    } rows[] = {
        // A NaN intensity is not at least any bound.
        {"min intensity", with(false, std::nullopt, std::nullopt, 50.0), {300.0, 120.0, 250.0, 90.0}},
        {"min intensity keeps equal", with(false, std::nullopt, std::nullopt, 400.0), {120.0, 250.0, 90.0}},
        // Three tied at 400: the lower m/z ones stay, in their recorded order.
        {"top 2 of a tie", with(false, std::nullopt, 2), {120.0, 90.0}},
        {"top 4: 50 before NaN", with(false, std::nullopt, 4), {300.0, 120.0, 250.0, 90.0}},
        {"top 0", with(false, std::nullopt, 0), {}},
        // The bound first, then the count.
        {"both", with(false, std::nullopt, 4, 20.0), {300.0, 120.0, 250.0, 90.0}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const Processor p(reader, row.options);
        const SpectrumRecord r = p.record_at(1);
        EXPECT_EQ(r.mz, row.mz);
        EXPECT_EQ(r.mz.size(), r.intensity.size());
    }

    // Filters apply to the MS1 scan returned, not to the envelope read from it.
    const Processor strict(reader, with(true, member_1, 1, 5.0e4));
    const SpectrumRecord top = strict.record_at(0);
    ASSERT_EQ(top.mz.size(), 1u);
    EXPECT_LT(std::abs(ppm(top.mz[0], 500.5)), 1.0);
    for (const bool ms1_first : {true, false}) {
        SCOPED_TRACE(ms1_first ? "MS1 scan processed first" : "fragment scan first");
        const Processor fresh(reader, strict.options());
        if (ms1_first) (void)fresh.record_at(0);
        const SpectrumRecord fragment = fresh.record_at(1);
        EXPECT_TRUE(fragment.mz.empty());
        EXPECT_EQ(fragment.precursor->selected_ion->charge, 2u);
        EXPECT_EQ(fragment.precursor->selected_ion->envelope_scan, "scanId=1");
    }
}

// Cycles of one MS1 scan and four fragment scans, more MS1 scans than the processor keeps,
// the envelopes moving from cycle to cycle, some fragment scans without a usable value.
AcquisitionSpec cycles_run(std::uint32_t cycles) {
    AcquisitionSpec spec;
    std::uint32_t id = 1;
    for (std::uint32_t c = 0; c < cycles; ++c) {
        const double a = 496.0 + 0.37 * (c % 7);
        const double b = 500.0 + 0.41 * (c % 5);
        const double scale = 0.5 + 0.1 * (c % 4);
        ScanSpec s = ms1_scan(id++, {{a, 1 + c % 3, {5.0e4, 2.0e4, 5.0e3}}, {b, 2, {8.0e4, 6.0e4, 3.0e4, 1.0e4}}}, scale);
        s.rt_min = c * 0.05;
        spec.scans.push_back(s);
        for (std::uint32_t f = 0; f < 4; ++f) {
            const double value = f == 0 ? a : f == 1 ? b + step13c / 2 : f == 2 ? 0.0 : b * (1 + 5e-6);
            ScanSpec m = ms2_scan(id++, value, 1.0 + f % 2);
            m.rt_min = c * 0.05 + 0.01 * (f + 1);
            spec.scans.push_back(m);
        }
    }
    return spec;
}

TEST(Processor, SameRecordsForEveryThreadCountAndOrder) {
    sample_writer::TempDir dir;
    const Reader reader = write_and_open(dir, cycles_run(24));
    const Options options = with(true, member_1, 40);
    const std::vector<std::size_t> all = analysis::select(reader, {});
    const std::vector<std::size_t> fragments = analysis::select(reader, {2u, std::nullopt});
    // The reference: one processor, every scan once, in order.
    std::vector<SpectrumRecord> want;
    {
        const Processor p(reader, options);
        for (const std::size_t i : all) want.push_back(p.record_at(i));
    }
    std::size_t charged = 0;
    for (const auto& r : want) charged += r.precursor && r.precursor->selected_ion && r.precursor->selected_ion->charge;
    EXPECT_EQ(charged, 24u * 3);

    for (const unsigned threads : {1u, 3u}) {
        SCOPED_TRACE("threads " + std::to_string(threads));
        for (const auto* scans : {&all, &fragments}) {
            const Processor p(reader, options);
            analysis::RecordStream stream(p, *scans, threads);
            for (const std::size_t i : *scans) {
                const std::optional<SpectrumRecord> r = stream.next();
                ASSERT_TRUE(r);
                expect_same(*r, want[i]);
            }
            EXPECT_FALSE(stream.next());
        }
        const Processor p(reader, options);
        std::size_t seen = 0;
        analysis::for_each_record(p, all, threads, [&](std::size_t k, SpectrumRecord&& r) {
            EXPECT_EQ(k, seen++);
            expect_same(r, want[all[k]]);
            return true;
        });
        EXPECT_EQ(seen, all.size());
        const analysis::RunArrays a = analysis::arrays(p, all, threads);
        ASSERT_EQ(a.offsets.size(), all.size() + 1);
        for (std::size_t k = 0; k < all.size(); ++k) {
            const std::vector<double> mz(a.mz.begin() + static_cast<std::ptrdiff_t>(a.offsets[k]),
                                         a.mz.begin() + static_cast<std::ptrdiff_t>(a.offsets[k + 1]));
            EXPECT_EQ(mz, want[k].mz) << k;
        }
    }
    // Plain options: the reader's records.
    const Processor plain(reader, Options{});
    analysis::RecordStream stream(plain, all, 2);
    for (const std::size_t i : all) expect_same(*stream.next(), reader.record_at(i));
}

TEST(Processor, ThreadsAskingForTheSameMs1ScansAtOnce) {
    // Several threads on one Processor, each through every scan from a different place and
    // in a different direction, so that they ask for the same MS1 scans at the same time,
    // while others are being evicted: every record as one thread alone makes it.
    sample_writer::TempDir dir;
    const Reader reader = write_and_open(dir, cycles_run(30));
    const Options options = with(false, member_1);
    const std::size_t n = reader.scans().records.size();
    std::vector<SpectrumRecord> want;
    {
        const Processor p(reader, options);
        for (std::size_t i = 0; i < n; ++i) want.push_back(p.record_at(i));
    }
    const Processor shared(reader, options);
    constexpr std::size_t workers = 6;
    std::vector<std::vector<SpectrumRecord>> got(workers, std::vector<SpectrumRecord>(n));
    std::vector<std::thread> threads;
    for (std::size_t w = 0; w < workers; ++w) {
        threads.emplace_back([&, w] {
            for (std::size_t k = 0; k < n; ++k) {
                const std::size_t shift = (k + w * n / workers) % n;
                const std::size_t i = w % 2 == 0 ? shift : n - 1 - shift;
                got[w][i] = shared.record_at(i);
            }
        });
    }
    for (auto& t : threads) t.join();
    for (std::size_t w = 0; w < workers; ++w) {
        for (std::size_t i = 0; i < n; ++i) {
            SCOPED_TRACE("worker " + std::to_string(w) + ", scan " + std::to_string(i));
            expect_same(got[w][i], want[i]);
        }
    }
}

TEST(Evidence, SharesAndMedianErrorPerMember) {
    AcquisitionSpec spec = cycles_run(6);
    // A fragment scan before any MS1 scan, and one 40 ppm off every centroid.
    spec.scans.insert(spec.scans.begin(), ms2_scan(0, 500.0, 1.0));  // ids must ascend
    spec.scans.push_back(ms2_scan(901, 500.0 * (1 + 40e-6), 2.0));
    sample_writer::TempDir dir;
    const Reader reader = write_and_open(dir, spec);
    // Of the 6 x 4 + 2 fragment scans, member 1 has a usable value in 6 x 3 + 2; of those,
    // all but the first have an MS1 scan before them, and each cycle's three lie on a
    // centroid (two exactly, one 5 ppm off), the last one added does not.
    std::vector<MemberEvidence> first;
    for (const unsigned threads : {1u, 2u, 3u}) {
        SCOPED_TRACE(threads);
        const std::vector<MemberEvidence> e = precursor_evidence(reader, 10.0, threads);
        ASSERT_EQ(e.size(), 2u);
        EXPECT_EQ(e[0].member, PrecursorMember::msn_value_1);
        EXPECT_EQ(e[1].member, PrecursorMember::msn_value_2);
        EXPECT_EQ(e[0].fragment_scans, 26u);
        EXPECT_EQ(e[0].with_value, 20u);
        EXPECT_EQ(e[0].with_ms1, 19u);
        EXPECT_EQ(e[0].matched, 18u);
        EXPECT_DOUBLE_EQ(e[0].share, 18.0 / 26.0);
        ASSERT_TRUE(e[0].median_error_ppm);
        EXPECT_LT(std::abs(*e[0].median_error_ppm), 1.0);
        // Member 2 holds 1 or 2: no centroid anywhere near.
        EXPECT_EQ(e[1].fragment_scans, 26u);
        EXPECT_EQ(e[1].with_value, 26u);
        EXPECT_EQ(e[1].with_ms1, 25u);
        EXPECT_EQ(e[1].matched, 0u);
        EXPECT_EQ(e[1].share, 0.0);
        EXPECT_FALSE(e[1].median_error_ppm);
        if (first.empty()) {
            first = e;
        } else {
            EXPECT_EQ(e[0].median_error_ppm, first[0].median_error_ppm);
        }
    }
}

}  // namespace
}  // namespace corvane::processing
