// Spectrum assembly: the reader's iterator, block fallbacks and the record's values.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sample_writer.hpp"
#include "reader.hpp"

namespace corvane {
namespace {

using sample_writer::AcquisitionSpec;
using sample_writer::PeakSpec;
using sample_writer::ProfileSpec;
using sample_writer::peaks;
using sample_writer::profile;
using sample_writer::scan;
using sample_writer::ScanSpec;

class Spectra : public ::testing::Test {
protected:
    // Writes the acquisition, opens it and drains one iterator.
    std::vector<SpectrumRecord> drain(const AcquisitionSpec& spec) {
        const std::string path = dir_.join("run" + std::to_string(++count_) + ".d");
        auto ok = sample_writer::write_acquisition(path, spec);
        EXPECT_TRUE(ok.has_value()) << ok.error();
        auto reader = Reader::open(path);
        EXPECT_TRUE(reader.has_value()) << reader.error().display();
        std::vector<SpectrumRecord> records;
        if (!reader) return records;
        auto spectra = reader->iter_spectra();
        while (auto record = spectra->next()) records.push_back(std::move(*record));
        // Every record also decodes on its own, the same as in the stream.
        for (std::size_t i = 0; i < records.size(); ++i) {
            SCOPED_TRACE(i);
            expect_same(reader->record_at(i), records[i]);
        }
        return records;
    }

    static void expect_same(const SpectrumRecord& a, const SpectrumRecord& b) {
        EXPECT_EQ(a.index, b.index);
        EXPECT_EQ(a.native_id, b.native_id);
        EXPECT_EQ(a.scan_id, b.scan_id);
        EXPECT_EQ(a.ms_level, b.ms_level);
        EXPECT_EQ(a.retention_time_sec, b.retention_time_sec);
        EXPECT_EQ(a.mz_first, b.mz_first);
        EXPECT_EQ(a.mz_last, b.mz_last);
        ASSERT_EQ(a.precursor.has_value(), b.precursor.has_value());
        if (a.precursor) {
            EXPECT_EQ(a.precursor->msn_value_1, b.precursor->msn_value_1);
            EXPECT_EQ(a.precursor->msn_value_2, b.precursor->msn_value_2);
            EXPECT_EQ(a.precursor->reference, b.precursor->reference);
        }
        EXPECT_EQ(a.mz, b.mz);
        EXPECT_EQ(a.intensity, b.intensity);
        EXPECT_EQ(a.is_profile, b.is_profile);
        EXPECT_EQ(a.instrument_kind, b.instrument_kind);
        EXPECT_EQ(a.error, b.error);
    }

    SpectrumRecord only(const AcquisitionSpec& spec) {
        auto records = drain(spec);
        EXPECT_EQ(records.size(), spec.scans.size());
        return records.empty() ? SpectrumRecord{} : std::move(records.front());
    }

    // The folder of the acquisition drain() wrote last.
    [[nodiscard]] std::string last_path() const { return dir_.join("run" + std::to_string(count_) + ".d"); }

    sample_writer::TempDir dir_;
    int count_ = 0;
};

AcquisitionSpec with(std::vector<ScanSpec> scans, std::uint32_t stride = 284) {
    AcquisitionSpec spec;
    spec.stride = stride;
    spec.scans = std::move(scans);
    return spec;
}

TEST_F(Spectra, ProfileScanOnItsAxis) {
    ScanSpec s = scan(3);
    s.rt_min = 1.5;
    s.mz_first = 100.0;
    s.mz_last = 101.0;
    s.profile = profile({0, 7, 16777217u});
    const SpectrumRecord r = only(with({s}));
    EXPECT_TRUE(r.is_profile);
    EXPECT_EQ(r.mz, (std::vector<double>{100.0, 100.5, 101.0}));
    EXPECT_EQ(r.intensity, (std::vector<float>{0.0f, 7.0f, 16777216.0f}));
    EXPECT_EQ(r.retention_time_sec, 90.0);
    EXPECT_EQ(r.mz_first, 100.0);
    EXPECT_EQ(r.mz_last, 101.0);
    EXPECT_EQ(r.native_id, "scanId=3");
    EXPECT_EQ(r.scan_id, 3u);
    EXPECT_EQ(r.ms_level, 1u);
    EXPECT_FALSE(r.precursor.has_value());
    EXPECT_EQ(r.instrument_kind, 3);
}

TEST_F(Spectra, PeakScansInBothFormats) {
    ScanSpec a = scan(1);
    a.peaks = peaks({123.45, 500.5}, {10.0f, 20.0f}, 3);
    ScanSpec b = scan(2);
    b.peaks = peaks({123.45, 500.5}, {10.0f, 20.0f}, 2);
    for (std::uint32_t stride : {186u, 196u, 216u, 220u, 284u}) {
        SCOPED_TRACE(stride);
        auto records = drain(with({a, b}, stride));
        ASSERT_EQ(records.size(), 2u);
        for (const SpectrumRecord& r : records) {
            EXPECT_FALSE(r.is_profile);
            EXPECT_EQ(r.mz, (std::vector<double>{123.45, 500.5}));
            EXPECT_EQ(r.intensity, (std::vector<float>{10.0f, 20.0f}));
            EXPECT_EQ(r.instrument_kind, stride >= 220 ? 3 : 1);
            EXPECT_EQ(r.mz_first.has_value(), stride == 284);
        }
    }
}

TEST_F(Spectra, WhereTheListsComeFrom) {
    const std::vector<double> peak_mz{300.0, 400.0};
    const std::vector<float> peak_int{1.0f, 2.0f};
    PeakSpec damaged = peaks(peak_mz, peak_int);
    damaged.point_count = 1000;  // longer than the block: "Truncated MSPeak.bin block"
    ProfileSpec broken = profile({1, 2, 3});
    broken.uncompressed_byte_count = 99;  // the stream expands to 28 bytes
    ProfileSpec past_end = profile({1, 2, 3});
    past_end.byte_offset = 1u << 20;

    ProfileSpec lost_tail = profile({1, 2, 3});
    lost_tail.byte_count = 1000;  // the block is shorter: the read runs past the file
    const std::string enoent = "I/O error: " + os_message(ENOENT) + " (os error 2)";
    const std::string lzf = "parse error: LZF: decompressed length 28 != expected 99";
    const std::string truncated = "parse error: Truncated MSPeak.bin block";
    const std::string block = std::to_string(sample_writer::profile_block(std::vector<std::uint32_t>{1, 2, 3}).size());

    // error: the failure that left the lists empty, "{dir}" standing for the AcqData folder.
    struct Row {
        const char* name;
        std::optional<ProfileSpec> profile;
        std::optional<PeakSpec> peaks;
        std::vector<std::string> omit;
        std::size_t points;
        bool is_profile;
        std::optional<std::string> error;
    };
    const Row rows[] = {
        {"profile points win; the damaged peak block is never read", profile({5, 6}), damaged,
         {}, 2, true, std::nullopt},
        {"no blocks", std::nullopt, std::nullopt, {}, 0, false, std::nullopt},
        {"peaks only", std::nullopt, peaks(peak_mz, peak_int), {}, 2, false, std::nullopt},
        {"undecodable profile falls back on peaks", broken, peaks(peak_mz, peak_int), {}, 2, false,
         std::nullopt},
        {"profile span past the file", past_end, peaks(peak_mz, peak_int), {}, 2, false, std::nullopt},
        {"no profile file", profile({5, 6}), peaks(peak_mz, peak_int), {"MSProfile.bin"}, 2,
         false, std::nullopt},
        {"undecodable profile, no peaks", broken, std::nullopt, {}, 0, false, lzf},
        {"profile span past the file, no peaks", past_end, std::nullopt, {}, 0, false,
         "parse error: read_bytes: requested " + block +
             " bytes at offset 1048576 but {dir}/MSProfile.bin has only 0 bytes remaining"},
        {"profile cut short, no peaks", lost_tail, std::nullopt, {}, 0, false,
         "parse error: read_bytes: requested 1000 bytes at offset 0 but {dir}/MSProfile.bin has only " +
             block + " bytes remaining"},
        // A missing data file is named: the system's text alone does not say which.
        {"no profile file, no peaks", profile({5, 6}), std::nullopt, {"MSProfile.bin"}, 0, false,
         "{dir}/MSProfile.bin: " + enoent},
        {"both blocks fail: the profile's failure counts", broken, damaged, {}, 0, false, lzf},
        {"failed profile, peak block of no points", broken, peaks({}, {}), {}, 0, false, lzf},
        {"damaged peaks only", std::nullopt, damaged, {}, 0, false, truncated},
        {"no peak file", std::nullopt, peaks(peak_mz, peak_int), {"MSPeak.bin"}, 0, false,
         "{dir}/MSPeak.bin: " + enoent},
        // A profile block of zero points leaves the flag to whichever block gives the lists.
        {"empty profile, then peaks", profile({}), peaks(peak_mz, peak_int), {}, 2, false,
         std::nullopt},
        {"empty profile, no peak block", profile({}), std::nullopt, {}, 0, true, std::nullopt},
        {"empty profile, damaged peaks", profile({}), damaged, {}, 0, true, truncated},
        {"empty profile, no peak file", profile({}), peaks(peak_mz, peak_int), {"MSPeak.bin"}, 0,
         true, "{dir}/MSPeak.bin: " + enoent},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ScanSpec s = scan(1);
        s.mz_first = 100.0;
        s.mz_last = 200.0;
        s.profile = row.profile;
        s.peaks = row.peaks;
        AcquisitionSpec spec = with({s});
        spec.omit.insert(row.omit.begin(), row.omit.end());
        const SpectrumRecord r = only(spec);
        EXPECT_EQ(r.mz.size(), row.points);
        EXPECT_EQ(r.intensity.size(), row.points);
        EXPECT_EQ(r.is_profile, row.is_profile);
        if (row.points == 2 && !row.is_profile) {
            EXPECT_EQ(r.mz, peak_mz);
            EXPECT_EQ(r.intensity, peak_int);
        }
        std::optional<std::string> error = row.error;
        if (error && error->find("{dir}") != std::string::npos) {
            error->replace(error->find("{dir}"), 5, last_path() + "/AcqData");
        }
        EXPECT_EQ(r.error, error);
    }
}

TEST_F(Spectra, OneBadScanDoesNotSpoilTheOthers) {
    ScanSpec good1 = scan(1);
    good1.profile = profile({1, 2, 3});
    ScanSpec bad = scan(2);
    bad.profile = profile({});
    bad.profile->raw = sample_writer::ByteVec(20, 0xE0);
    bad.profile->point_count = 4;
    bad.profile->uncompressed_byte_count = 32;
    ScanSpec good2 = scan(3);
    good2.peaks = peaks({1.0}, {2.0f});
    auto records = drain(with({good1, bad, good2}));
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].mz.size(), 3u);
    EXPECT_TRUE(records[1].mz.empty());
    EXPECT_FALSE(records[1].is_profile);
    EXPECT_TRUE(records[1].error.has_value());
    EXPECT_FALSE(records[0].error.has_value());
    EXPECT_FALSE(records[2].error.has_value());
    EXPECT_EQ(records[2].mz.size(), 1u);
    for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(records[i].index, i);
}

TEST_F(Spectra, PrecursorRules) {
    struct Row {
        const char* name;
        std::uint32_t ms_level;
        std::optional<std::uint32_t> mrm_channel;
        std::optional<double> msn_value_1;
        std::optional<double> msn_value_2;
        bool has_precursor;
        std::optional<std::string> reference;
        std::optional<double> out_msn_value_2;
    };
    const Row rows[] = {
        {"MS1 has none", 1, std::nullopt, 500.0, 2.0, false, std::nullopt, std::nullopt},
        {"MS1 with a channel has none", 1, 7, std::nullopt, std::nullopt, false, std::nullopt,
         std::nullopt},
        {"level 0 has none", 0, std::nullopt, std::nullopt, std::nullopt, false, std::nullopt,
         std::nullopt},
        {"channel", 2, 7, 500.0, 2.0, true, "mrm_channel=7", std::nullopt},
        {"channel 0", 3, 0, std::nullopt, std::nullopt, true, "mrm_channel=0", std::nullopt},
        {"own scan", 2, std::nullopt, 500.25, 2.0, true, "scanId=12", 2.0},
        {"nothing known", 2, std::nullopt, std::nullopt, std::nullopt, true, std::nullopt,
         std::nullopt},
        {"value 1 alone", 4, std::nullopt, 7.5, std::nullopt, true, std::nullopt, std::nullopt},
    };
    sample_writer::TempDir dir;
    raw::MSScan scans;
    scans.record_stride = 220;
    for (const Row& row : rows) {
        raw::ScanRecord s;
        s.scan_id = 12;
        s.ms_level = row.ms_level;
        s.mrm_channel = row.mrm_channel;
        s.msn_value_1 = row.msn_value_1;
        s.msn_value_2 = row.msn_value_2;
        scans.records.push_back(s);
    }
    const Reader reader = Reader::from_parts(dir.path(), scans);
    auto spectra = reader.iter_spectra();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        auto r = spectra->next();
        ASSERT_TRUE(r.has_value());
        EXPECT_EQ(r->native_id, "scanId=12");
        ASSERT_EQ(r->precursor.has_value(), row.has_precursor);
        if (!r->precursor) continue;
        EXPECT_EQ(r->precursor->reference, row.reference);
        EXPECT_EQ(r->precursor->msn_value_1, row.msn_value_1);
        EXPECT_EQ(r->precursor->msn_value_2, row.out_msn_value_2);
    }
    EXPECT_FALSE(spectra->next().has_value());
}

TEST_F(Spectra, PrecursorFromTheIndex) {
    ScanSpec channel = scan(12, 2);
    channel.mrm_channel = 7;
    ScanSpec msn = scan(13, 2);
    msn.msn_value_1 = 500.25;
    msn.msn_value_2 = 2.0;
    msn.mrm_channel = 9;  // not part of the 284-byte layout
    auto qqq = drain(with({channel, scan(13)}, 196));
    ASSERT_EQ(qqq.size(), 2u);
    ASSERT_TRUE(qqq[0].precursor.has_value());
    EXPECT_EQ(qqq[0].precursor->reference, "mrm_channel=7");
    EXPECT_FALSE(qqq[0].precursor->msn_value_1.has_value());
    EXPECT_FALSE(qqq[0].precursor->msn_value_2.has_value());
    EXPECT_FALSE(qqq[1].precursor.has_value());

    auto qtof = drain(with({scan(1), msn}, 284));
    ASSERT_EQ(qtof.size(), 2u);
    ASSERT_TRUE(qtof[1].precursor.has_value());
    EXPECT_EQ(qtof[1].precursor->reference, "scanId=13");
    EXPECT_EQ(qtof[1].precursor->msn_value_1, 500.25);
    EXPECT_EQ(qtof[1].precursor->msn_value_2, 2.0);
}

TEST_F(Spectra, NativeIdExtremes) {
    sample_writer::TempDir dir;
    raw::MSScan scans;
    scans.record_stride = 186;
    scans.records.resize(2);
    scans.records[0].scan_id = 0;
    scans.records[1].scan_id = 4294967295u;
    const Reader reader = Reader::from_parts(dir.path(), scans);
    auto spectra = reader.iter_spectra();
    auto a = spectra->next();
    auto b = spectra->next();
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a->native_id, "scanId=0");
    EXPECT_EQ(b->native_id, "scanId=4294967295");
    EXPECT_EQ(b->instrument_kind, 1);
}

TEST_F(Spectra, EmptyScanList) {
    sample_writer::TempDir dir;
    const Reader reader = Reader::from_parts(dir.path(), raw::MSScan{});
    auto spectra = reader.iter_spectra();
    EXPECT_EQ(spectra->size_hint(), (corvane::SizeHint{0, 0}));
    EXPECT_FALSE(spectra->next().has_value());
    EXPECT_EQ(spectra->advance_by(3), 3u);
    EXPECT_FALSE(spectra->nth(0).has_value());
}

TEST_F(Spectra, IteratorMovesOneRecordAtATime) {
    std::vector<ScanSpec> scans;
    for (std::uint32_t i = 0; i < 5; ++i) {
        ScanSpec s = scan(100 + i);
        s.peaks = peaks({static_cast<double>(i)}, {1.0f});
        scans.push_back(s);
    }
    const std::string path = dir_.join("five.d");
    ASSERT_TRUE(sample_writer::write_acquisition(path, with(scans)).has_value());
    auto reader = Reader::open(path);
    ASSERT_TRUE(reader.has_value());

    auto it = reader->iter_spectra();
    EXPECT_EQ(it->size_hint(), (corvane::SizeHint{5, 5}));
    auto first = it->next();
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(first->index, 0u);
    EXPECT_EQ(it->advance_by(1), 0u);  // skips index 1
    EXPECT_EQ(it->size_hint(), (corvane::SizeHint{3, 3}));
    auto third = it->next();
    ASSERT_TRUE(third.has_value());
    EXPECT_EQ(third->index, 2u);
    EXPECT_EQ(third->scan_id, 102u);
    EXPECT_EQ(third->mz, std::vector<double>{2.0});
    auto fifth = it->nth(1);
    ASSERT_TRUE(fifth.has_value());
    EXPECT_EQ(fifth->index, 4u);
    EXPECT_EQ(it->size_hint(), (corvane::SizeHint{0, 0}));
    EXPECT_FALSE(it->next().has_value());
    EXPECT_FALSE(it->next().has_value());

    // Running out while skipping: advance_by tells how many were left unskipped.
    auto again = reader->iter_spectra();
    EXPECT_EQ(again->advance_by(7), 2u);
    EXPECT_EQ(again->size_hint(), (corvane::SizeHint{0, 0}));
    auto third_iter = reader->iter_spectra();
    EXPECT_FALSE(third_iter->nth(5).has_value());
    auto fourth_iter = reader->iter_spectra();
    auto last = fourth_iter->nth(4);
    ASSERT_TRUE(last.has_value());
    EXPECT_EQ(last->index, 4u);
    EXPECT_EQ(last->scan_id, 104u);
    EXPECT_EQ(fourth_iter->advance_by(0), 0u);

    // Iterators are independent of each other.
    auto x = reader->iter_spectra();
    auto y = reader->iter_spectra();
    ASSERT_TRUE(x->next().has_value());
    auto y0 = y->next();
    ASSERT_TRUE(y0.has_value());
    EXPECT_EQ(y0->index, 0u);
}

TEST_F(Spectra, DrainingLeavesNoFileOpen) {
    ScanSpec a = scan(1);
    a.profile = profile({1, 2, 3});
    ScanSpec b = scan(2);
    b.peaks = peaks({1.0}, {1.0f});
    ScanSpec c = scan(3);
    c.profile = profile({});
    c.peaks = peaks({1.0}, {1.0f});
    c.peaks->point_count = 50;  // damaged
    const std::size_t before = sample_writer::open_fd_count();
    auto records = drain(with({a, b, c}));
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(sample_writer::open_fd_count(), before);
}

}  // namespace
}  // namespace corvane
