// The run report: escaping and encodings, the point reduction, the summary against the
// analysis engine, the page's scripts against its policy, and the all-or-nothing write.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <charconv>
#include <cstring>
#include <cerrno>
#include <cmath>
#include <fstream>
#include <limits>
#include <numeric>
#include <sstream>
#include <string>
#include <vector>

#include "analysis.hpp"
#include "assets.hpp"
#include "export/mzml.hpp"
#include "ion_totals.hpp"
#include "sample_writer.hpp"
#include "report.hpp"
#include "text.hpp"

namespace corvane::report {
namespace {

using sample_writer::AcquisitionSpec;
using sample_writer::peaks;
using sample_writer::profile;
using sample_writer::scan;

std::string hex(std::span<const std::uint8_t> bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    for (const auto b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

std::span<const std::uint8_t> bytes_of(std::string_view s) {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

std::vector<std::string> listing(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (const dirent* e = ::readdir(d)) {
            const std::string name = e->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        ::closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

TEST(ReportText, EscapesForHtmlAndForJsonInScript) {
    struct Row {
        const char* in;
        const char* html;
        const char* json;
    };
    const Row rows[] = {
        {"</script><script>alert(1)</script>", "&lt;/script&gt;&lt;script&gt;alert(1)&lt;/script&gt;",
         "\\u003c/script\\u003e\\u003cscript\\u003ealert(1)\\u003c/script\\u003e"},
        {"<img src=x onerror=alert(1)>.d", "&lt;img src=x onerror=alert(1)&gt;.d",
         "\\u003cimg src=x onerror=alert(1)\\u003e.d"},
        {"<!-- a & 'b' \"c\"", "&lt;!-- a &amp; &#39;b&#39; &quot;c&quot;", "\\u003c!-- a \\u0026 'b' \"c\""},
        {"line\xE2\x80\xA8sep\xE2\x80\xA9", "line\xE2\x80\xA8sep\xE2\x80\xA9", "line\\u2028sep\\u2029"},
        {"caf\xC3\xA9 \xE2\x80\xA7", "caf\xC3\xA9 \xE2\x80\xA7", "caf\xC3\xA9 \xE2\x80\xA7"},  // neighbours of U+2028 stay
        {"bad \xFF byte", "bad \xEF\xBF\xBD byte", "bad \xFF byte"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.in);
        EXPECT_EQ(html_text(row.in), row.html);
        EXPECT_EQ(script_safe_json(row.in), row.json);
    }
    // Inside a JSON string the escapes read back as the original text.
    const std::string text = "</script><!--\xE2\x80\xA8&";
    const std::string json = script_safe_json(nlohmann::json(text).dump());
    EXPECT_EQ(json.find('<'), std::string::npos);
    EXPECT_EQ(nlohmann::json::parse(json).get<std::string>(), text);
}

TEST(ReportText, Base64AndSha256KnownAnswers) {
    const std::pair<const char*, const char*> base64_rows[] = {
        {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"}, {"\xFF\xFE\xFD", "//79"}};
    for (const auto& [in, out] : base64_rows) EXPECT_EQ(base64(bytes_of(in)), out) << in;

    // Lengths around the padding boundaries (55, 56, 63, 64 bytes) and a long message.
    const std::pair<std::string, const char*> sha_rows[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {std::string(55, 'a'), "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(63, 'a'), "7d3e74a05d7db15bce4ad9ec0658ea98e3f06eeecf16b4c6fff2da457ddc2f34"},
        {std::string(64, 'a'), "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& [in, out] : sha_rows) EXPECT_EQ(hex(sha256(bytes_of(in))), out) << in.size() << " bytes";
    EXPECT_EQ(script_hash_source("abc"), "'sha256-ungWv48Bz+pBQUDeXa4iI7ADYaOWF3qctBD/YfIAFa0='");
}

TEST(ReportReduce, KeepsTheMostIntenseInPointOrder) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    struct Row {
        const char* name;
        std::vector<float> in;
        std::size_t cap;
        std::vector<float> kept;
    };
    const Row rows[] = {
        {"under the cap", {3, 1, 2}, 3, {3, 1, 2}},
        {"order kept", {1, 9, 2, 8, 3}, 2, {9, 8}},
        {"ties: the first ones", {5, 5, 1, 5, 5}, 3, {5, 5, 5}},
        {"NaN is the least", {nan, 1, nan, 2}, 2, {1, 2}},
        {"NaN only when needed", {nan, -1, nan}, 2, {nan, -1}},
        {"infinities", {-INFINITY, INFINITY, 0}, 2, {INFINITY, 0}},
        {"cap 0", {1, 2}, 0, {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::vector<double> mz(row.in.size());
        std::iota(mz.begin(), mz.end(), 100.0);
        std::vector<float> intensity = row.in;
        keep_most_intense(mz, intensity, row.cap);
        ASSERT_EQ(intensity.size(), row.kept.size());
        ASSERT_EQ(mz.size(), row.kept.size());
        auto same = [](float a, float b) { return a == b || (std::isnan(a) && std::isnan(b)); };
        for (std::size_t i = 0; i < row.kept.size(); ++i) {
            EXPECT_TRUE(same(intensity[i], row.kept[i])) << i;
            EXPECT_TRUE(same(row.in[static_cast<std::size_t>(mz[i] - 100.0)], intensity[i])) << "m/z travels with its point";
        }
    }
    // Against sorting by (intensity descending, position) on seeded data with many ties.
    std::uint32_t seed = 7;
    for (std::size_t n : {10u, 257u, 5000u}) {
        std::vector<float> in(n);
        for (auto& v : in) v = static_cast<float>((seed = seed * 1664525u + 1013904223u) >> 24);
        for (std::size_t cap : {std::size_t{1}, n / 3, n - 1}) {
            std::vector<std::size_t> order(n);
            std::iota(order.begin(), order.end(), std::size_t{0});
            std::sort(order.begin(), order.end(), [&](auto a, auto b) { return in[a] > in[b] || (in[a] == in[b] && a < b); });
            order.resize(cap);
            std::sort(order.begin(), order.end());
            std::vector<double> mz(n);
            std::iota(mz.begin(), mz.end(), 0.0);
            std::vector<float> intensity = in;
            keep_most_intense(mz, intensity, cap);
            ASSERT_EQ(mz.size(), cap);
            for (std::size_t i = 0; i < cap; ++i) ASSERT_EQ(mz[i], static_cast<double>(order[i])) << n << " " << cap;
        }
    }
}

TEST(ReportReduce, ProfileKeepsItsHighestPeaksWhole) {
    struct Row {
        const char* name;
        std::vector<float> in;
        std::size_t cap;
        std::vector<std::size_t> kept;  // positions
    };
    const Row rows[] = {
        {"two highest apexes and their sides", {0, 1, 5, 1, 0, 2, 9, 2, 0, 3, 4, 3, 0}, 6, {1, 2, 3, 5, 6, 7}},
        {"apexes at the ends", {9, 1, 0, 0, 0, 1, 8}, 6, {0, 1, 5, 6}},
        {"a flat top counts once, at its last point", {0, 4, 4, 0, 1, 0}, 3, {1, 2, 3}},
        {"sides shared by neighbouring apexes", {1, 7, 2, 6, 0, 0, 0}, 6, {0, 1, 2, 3, 4}},
        {"no apex above zero", {0, 0, 0, 0}, 3, {}},
        {"small enough", {1, 2}, 3, {0, 1}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::vector<double> mz(row.in.size());
        std::iota(mz.begin(), mz.end(), 0.0);
        std::vector<float> intensity = row.in;
        keep_profile_peaks(mz, intensity, row.cap);
        ASSERT_EQ(mz.size(), row.kept.size());
        for (std::size_t i = 0; i < mz.size(); ++i) {
            EXPECT_EQ(mz[i], static_cast<double>(row.kept[i]));
            EXPECT_EQ(intensity[i], row.in[row.kept[i]]);
        }
    }
}

// MS1 profile scans and MS2 peak scans, one damaged profile block, one empty scan.
AcquisitionSpec small_run() {
    AcquisitionSpec spec;
    for (std::uint32_t i = 0; i < 24; ++i) {
        auto s = scan(i + 1, i % 3 == 0 ? 1 : 2);
        s.rt_min = 0.1 * i;
        if (s.ms_level == 1) {
            std::vector<std::uint32_t> counts(50 + i);
            for (std::size_t p = 0; p < counts.size(); ++p) counts[p] = static_cast<std::uint32_t>((p * 7919 + i * 31) % 1000);
            s.mz_first = 200.0;
            s.mz_last = 200.0 + 0.5 * static_cast<double>(counts.size() - 1);
            s.profile = profile(counts);
            if (i == 9) s.profile->raw = sample_writer::ByteVec{1, 2, 3};  // damaged
        } else if (i != 5) {
            s.msn_value_1 = 250.0 + i;
            s.msn_value_2 = 1.0;
            std::vector<double> mz;
            std::vector<float> in;
            for (std::uint32_t p = 0; p < 10 + i; ++p) {
                mz.push_back(100.0 + 3.0 * p);
                in.push_back(static_cast<float>((p * 37 + i) % 50));
            }
            s.peaks = peaks(mz, in);
        }
        spec.scans.push_back(s);
    }
    return spec;
}

Reader open_written(const sample_writer::TempDir& dir, const AcquisitionSpec& spec, const std::string& name = "run.d") {
    const std::string path = dir.join(name);
    auto ok = sample_writer::write_acquisition(path, spec);
    EXPECT_TRUE(ok.has_value()) << ok.error();
    auto reader = Reader::open(path);
    EXPECT_TRUE(reader.has_value()) << reader.error().display();
    return std::move(*reader);
}

TEST(ReportSummary, AgreesWithTheEngineAtEveryThreadCount) {
    sample_writer::TempDir dir;
    const Reader reader = open_written(dir, small_run());
    const auto ms1 = analysis::select(reader, {1u, std::nullopt});
    const auto tic = analysis::tic(reader, ms1, 1);
    const auto bpc = analysis::bpc(reader, ms1, 1);
    Limits limits;
    limits.peak_bytes = 24 * 8 * 20;  // 20 points a scan
    limits.min_points_per_scan = 4;
    limits.map_rows = 16;
    const RunSummary one = summarize(reader, 1, limits);
    EXPECT_EQ(one.tic, tic.value);
    EXPECT_EQ(one.bpc, bpc.value);
    EXPECT_EQ(one.chromatogram_scans, ms1);
    EXPECT_EQ(one.points_per_scan, 20u);
    ASSERT_EQ(one.scans.size(), 24u);
    std::uint64_t points = 0;
    for (std::size_t i = 0; i < 24; ++i) {
        const SpectrumRecord r = reader.record_at(i);
        points += r.mz.size();
        EXPECT_EQ(one.scans[i].points, r.mz.size());
        if (r.mz.size() <= 20) {
            EXPECT_EQ(one.scans[i].mz, r.mz);
        } else {
            EXPECT_LE(one.scans[i].mz.size(), 20u);
            EXPECT_GE(one.scans[i].mz.size(), r.is_profile ? 3u : 20u);
        }
        EXPECT_EQ(one.scans[i].native_id, r.native_id);
    }
    EXPECT_EQ(one.total_points, points);
    EXPECT_EQ(one.scans[9].points, 0u);  // the damaged block, with the reader's error text
    ASSERT_TRUE(one.scans[9].damage.has_value());
    EXPECT_EQ(one.scans[9].damage, reader.record_at(9).error);
    EXPECT_EQ(std::count_if(one.scans.begin(), one.scans.end(), [](const auto& v) { return v.damage.has_value(); }), 1);
    EXPECT_EQ(one.scans_by_level.at(1), 8u);
    EXPECT_EQ(one.scans_by_level.at(2), 16u);
    // The map: one column per MS1 scan, the index's m/z range, something in every column
    // but the damaged scan's.
    EXPECT_EQ(one.map.columns, 8u);
    EXPECT_EQ(one.map.mz_low, 200.0);
    EXPECT_FALSE(one.map.binned_from_kept_points);
    for (std::size_t c = 0; c < 8; ++c) {
        const auto column = std::span(one.map.fine_cells).subspan(c * 16, 16);
        const bool lit = std::any_of(column.begin(), column.end(), [](auto v) { return v > 0; });
        EXPECT_EQ(lit, c != 3) << c;
        // The damaged scan is not counted in its column: an XIC there has no point.
        EXPECT_EQ(one.map.column_scans[c], c != 3 ? 1u : 0u) << c;
    }
    const std::string page = render(one);
    for (unsigned threads : {2u, 3u, 8u}) EXPECT_EQ(render(summarize(reader, threads, limits)), page) << threads;
}

// The bytes of base64 text that ends at its padding or at the next tag.
std::vector<std::uint8_t> unbase64(std::string_view text) {
    std::vector<std::uint8_t> bytes;
    std::uint32_t acc = 0;
    int bits = 0;
    for (const char c : text) {
        if (c == '=' || c == '<') break;
        const auto at = std::string_view("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/").find(c);
        acc = (acc << 6) | static_cast<std::uint32_t>(at);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            bytes.push_back(static_cast<std::uint8_t>(acc >> bits));
        }
    }
    return bytes;
}

TEST(ReportSummary, TotalsAreTheSameBitsAsTheEngineAndTheMzml) {
    // Intensities whose sum rounds differently in another order: the TIC of meridel's
    // tic(), the report and the mzML (its chromatogram and each spectrum's term) must
    // still be the same doubles, bit for bit.
    AcquisitionSpec spec;
    std::uint32_t seed = 99;
    auto next = [&seed] { return seed = seed * 1664525u + 1013904223u; };
    for (std::uint32_t i = 0; i < 12; ++i) {
        std::vector<double> mz;
        std::vector<float> intensity;
        for (std::uint32_t p = 0; p < 501 + i; ++p) {
            mz.push_back(100.0 + p * 0.5);
            intensity.push_back(std::ldexp(static_cast<float>(next() >> 8), static_cast<int>(next() % 40) - 20));
        }
        auto s = scan(i + 1);
        s.rt_min = i * 0.1;
        s.peaks = peaks(mz, intensity);
        spec.scans.push_back(s);
    }
    spec.omit.insert("MSProfile.bin");
    sample_writer::TempDir dir;
    const Reader reader = open_written(dir, spec);
    const auto all = analysis::select(reader, {});
    const auto engine = analysis::tic(reader, all, 2);
    const auto report = summarize(reader, 2).tic;

    const std::string path = dir.join("run.mzML");
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    mzml::Progress progress;
    const std::atomic<bool> stop{false};
    const auto written = mzml::make_writer({.compression = mzml::Compression::none, .threads = 2})
                             ->write(fd, reader, progress, stop);
    ::close(fd);
    ASSERT_TRUE(written) << written.error().message;
    std::ifstream in(path);
    const std::string doc((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // The chromatogram's second array holds the totals as raw 64-bit floats.
    const std::size_t chrom = doc.find("<chromatogram ");
    ASSERT_NE(chrom, std::string::npos);
    const std::size_t second = doc.find("<binary>", doc.find("<binary>", chrom) + 1) + 8;
    const auto raw = unbase64(std::string_view(doc).substr(second));
    std::vector<double> chromatogram(raw.size() / 8);
    std::memcpy(chromatogram.data(), raw.data(), chromatogram.size() * 8);
    // Each spectrum's total ion current term, read back from its shortest text.
    std::vector<double> terms;
    const std::string term = "accession=\"MS:1000285\" name=\"total ion current\" value=\"";
    for (std::size_t at = doc.find(term); at != std::string::npos; at = doc.find(term, at + 1)) {
        const char* from = doc.data() + at + term.size();
        double v = 0;
        std::from_chars(from, doc.data() + doc.size(), v);
        terms.push_back(v);
    }

    ASSERT_EQ(engine.value.size(), 12u);
    const auto bits = [](const std::vector<double>& v) {
        std::vector<std::uint64_t> out;
        for (const double x : v) out.push_back(std::bit_cast<std::uint64_t>(x));
        return out;
    };
    EXPECT_EQ(bits(report), bits(engine.value));
    EXPECT_EQ(bits(chromatogram), bits(engine.value));
    EXPECT_EQ(bits(terms), bits(engine.value));
    // The data is one where the order shows: a plain sequential sum differs somewhere.
    bool order_shows = false;
    for (std::size_t k = 0; k < all.size(); ++k) {
        double sum = 0.0;
        for (const float x : reader.record_at(all[k]).intensity) sum += static_cast<double>(x);
        order_shows = order_shows || sum != engine.value[k];
    }
    EXPECT_TRUE(order_shows);
}

// A fine cell read back as the page reads it.
double fine_sum(std::uint16_t level, double top) {
    return top * std::pow(10.0, MapImage::fine_decades * ((level - 1) / 65534.0 - 1.0));
}

TEST(ReportSummary, MapBinsPointsWhereTheyBelong) {
    // MS1 scans over m/z 100..200 in 10 rows at 0, 0.5 and 2 minutes: three columns, the
    // first summing two scans, the second none.
    AcquisitionSpec spec;
    const double minutes[] = {0.0, 0.5, 2.0};
    const std::vector<std::vector<double>> mz = {{105.0, 200.0}, {105.0}, {199.0, 200.0, 150.0}};
    const std::vector<std::vector<float>> intensity = {{10.0f, 0.0f}, {30.0f}, {10.0f, 1e6f, 1e-3f}};
    for (std::uint32_t i = 0; i < 3; ++i) {
        auto s = scan(i + 1, 1);
        s.rt_min = minutes[i];
        s.mz_first = 100.0;
        s.mz_last = 200.0;
        s.peaks = peaks(mz[i], intensity[i]);
        spec.scans.push_back(s);
    }
    sample_writer::TempDir dir;
    const Reader reader = open_written(dir, spec);
    Limits limits;
    limits.map_rows = 10;
    const RunSummary s = summarize(reader, 2, limits);
    ASSERT_EQ(s.map.columns, 3u);
    EXPECT_EQ(s.map.column_scans, (std::vector<std::uint32_t>{2, 0, 1}));
    EXPECT_EQ(s.map.column_rt[0], 15.0);
    EXPECT_TRUE(std::isnan(s.map.column_rt[1]));
    EXPECT_EQ(s.map.column_rt[2], 120.0);
    // 199 and the top edge 200 share the last row: the brightest bin.
    EXPECT_EQ(s.map.top, 1e6 + 10.0);
    std::vector<double> sums(30, 0.0);
    sums[0] = 40.0;              // 10 + 30 at m/z 105, column 0
    sums[2 * 10 + 9] = 1e6 + 10.0;
    sums[2 * 10 + 5] = 1e-3;     // nine decades under the top: read back as the floor
    ASSERT_EQ(s.map.fine_cells.size(), sums.size());
    for (std::size_t i = 0; i < sums.size(); ++i) {
        SCOPED_TRACE(i);
        const std::uint16_t level = s.map.fine_cells[i];
        if (sums[i] == 0.0) {
            EXPECT_EQ(level, 0u);
        } else if (sums[i] < s.map.top * 1e-8) {
            EXPECT_EQ(level, 1u);
        } else {
            EXPECT_NEAR(fine_sum(level, s.map.top), sums[i], sums[i] * 1.5e-4);
        }
    }
    EXPECT_EQ(s.map.fine_cells[2 * 10 + 9], 65535u);

    // Without a range in the index, the kept points give it.
    for (auto& sc : spec.scans) sc.mz_first = sc.mz_last = std::nullopt;
    sample_writer::TempDir dir2;
    const RunSummary t = summarize(open_written(dir2, spec), 1, limits);
    EXPECT_TRUE(t.map.binned_from_kept_points);
    EXPECT_EQ(t.map.mz_low, 105.0);
    EXPECT_EQ(t.map.mz_high, 200.0);
    EXPECT_EQ(t.map.top, 1e6 + 10.0);
}

TEST(ReportSummary, RunWithoutMs1ChartsEveryScan) {
    AcquisitionSpec spec;
    for (std::uint32_t i = 0; i < 3; ++i) {
        auto s = scan(10 + i, 2);
        s.rt_min = i;
        s.peaks = peaks({150.0}, {static_cast<float>(i + 1)});
        spec.scans.push_back(s);
    }
    sample_writer::TempDir dir;
    const RunSummary s = summarize(open_written(dir, spec), 2);
    EXPECT_EQ(s.chromatogram_level, 0u);
    EXPECT_EQ(s.tic, (std::vector<double>{1.0, 2.0, 3.0}));
    EXPECT_EQ(s.map.columns, 3u);
}

// An MS1 profile scan holding a doubly charged envelope at m/z 500, then fragment scans
// of it: one declaring it in msn_value_1, one whose index entry lacks that member.
TEST(ReportSummary, DeclaredPrecursorReachesThePage) {
    AcquisitionSpec spec;
    auto ms1 = scan(1, 1);
    const double low = 498.0, step = 0.002;
    std::vector<std::uint32_t> counts(3000, 0);
    for (int iso = 0; iso < 3; ++iso) {
        const double centre = 500.0 + iso * 1.003355 / 2.0;
        const double height = iso == 0 ? 1e6 : iso == 1 ? 6e5 : 2e5;
        for (std::size_t p = 0; p < counts.size(); ++p) {
            const double d = (low + step * static_cast<double>(p) - centre) / 0.01;
            counts[p] += static_cast<std::uint32_t>(height * std::exp(-0.5 * d * d));
        }
    }
    ms1.mz_first = low;
    ms1.mz_last = low + step * static_cast<double>(counts.size() - 1);
    ms1.profile = profile(counts);
    spec.scans.push_back(ms1);
    for (std::uint32_t id : {2u, 3u}) {
        auto ms2 = scan(id, 2);
        ms2.rt_min = 0.01 * id;
        if (id == 2) ms2.msn_value_1 = 500.0;
        ms2.msn_value_2 = 35.0;
        ms2.peaks = peaks({150.0, 250.0}, {10.0f, 20.0f});
        spec.scans.push_back(ms2);
    }
    sample_writer::TempDir dir;
    const Reader reader = open_written(dir, spec);

    const RunSummary plain = summarize(reader, 2);
    for (const ScanView& v : plain.scans) EXPECT_FALSE(v.precursor && v.precursor->selected_ion) << v.native_id;
    EXPECT_NE(render(plain).find("\"precursor\":null"), std::string::npos);

    const RunSummary declared = summarize(reader, 2, {}, processing::PrecursorMember::msn_value_1);
    ASSERT_EQ(declared.scans.size(), 3u);
    ASSERT_TRUE(declared.scans[1].precursor && declared.scans[1].precursor->selected_ion);
    const SelectedIon& ion = *declared.scans[1].precursor->selected_ion;
    EXPECT_EQ(ion.mz, 500.0);
    EXPECT_EQ(ion.charge, std::optional<std::uint32_t>(2u));
    ASSERT_TRUE(ion.monoisotopic_mz);
    EXPECT_NEAR(*ion.monoisotopic_mz, 500.0, 500.0 * 1e-6);
    EXPECT_EQ(ion.envelope_scan, std::optional<std::string>("scanId=1"));
    // A member the scan lacks gives it no precursor m/z at all, never a 0.
    ASSERT_TRUE(declared.scans[2].precursor);
    EXPECT_FALSE(declared.scans[2].precursor->selected_ion);
    const std::string page = render(declared);
    EXPECT_NE(page.find("\"precursor\":{\"member\":\"msn_value_1\",\"mz\":[null,500.0,null],\"charge\":[null,2,null]"),
              std::string::npos);
}

std::vector<std::string> inline_scripts(const std::string& page, std::size_t& json_blocks) {
    std::vector<std::string> scripts;
    json_blocks = 0;
    for (std::size_t at = page.find("<script"); at != std::string::npos; at = page.find("<script", at + 1)) {
        const std::size_t open_end = page.find('>', at);
        const std::size_t close = page.find("</script>", open_end);
        const std::string tag = page.substr(at, open_end - at);
        if (tag.find("type=") != std::string::npos) {
            ++json_blocks;
        } else {
            scripts.push_back(page.substr(open_end + 1, close - open_end - 1));
        }
    }
    return scripts;
}

TEST(ReportPage, RunsOnlyScriptsItsPolicyAllowsAndHostileTextStaysText) {
    for (const Asset* a : {&dygraph_js, &dygraph_css, &page_html, &page_css, &page_js}) {
        std::string text(a->begin, a->end);
        std::transform(text.begin(), text.end(), text.begin(), [](char c) { return static_cast<char>(std::tolower(c)); });
        EXPECT_GT(text.size(), 100u);
        EXPECT_EQ(text.find("</script"), std::string::npos);
        EXPECT_EQ(text.find("<!--"), std::string::npos);
    }
    AcquisitionSpec spec = small_run();
    const std::string time = "</script><script>alert(1)</script>\xE2\x80\xA8<!--";
    spec.files["Contents.xml"] = sample_writer::ByteVec();
    const std::string contents = "<Contents><AcquiredTime>" + html_text(time) + "</AcquiredTime></Contents>";
    spec.files["Contents.xml"].assign(contents.begin(), contents.end());
    sample_writer::TempDir dir;
    const std::string name = "<img src=x onerror=alert(1)>.d";
    const Reader reader = open_written(dir, spec, name);
    ASSERT_EQ(reader.acquired_time(), time);
    const std::string page = render(summarize(reader, 2));

    std::size_t json_blocks = 0;
    const auto scripts = inline_scripts(page, json_blocks);
    EXPECT_EQ(scripts.size(), 3u);
    EXPECT_EQ(json_blocks, 1u);
    const std::size_t policy = page.find("Content-Security-Policy");
    ASSERT_NE(policy, std::string::npos);
    EXPECT_LT(policy, page.find("<script"));
    const std::string policy_text = page.substr(policy, page.find('>', policy) - policy);
    EXPECT_NE(policy_text.find("default-src 'none'"), std::string::npos);
    for (const auto& s : scripts) EXPECT_NE(policy_text.find(script_hash_source(s)), std::string::npos);

    EXPECT_EQ(page.find("<img"), std::string::npos);
    EXPECT_EQ(page.find("alert(1)</script>"), std::string::npos);
    EXPECT_EQ(page.find("\xE2\x80\xA8"), std::string::npos);
    EXPECT_NE(page.find("<title>&lt;img src=x onerror=alert(1)&gt;.d"), std::string::npos);
    // The data block reads back to the texts as given.
    const std::size_t data = page.find("id=\"run-data\">") + 14;
    const auto json = nlohmann::json::parse(page.substr(data, page.find("</script>", data) - data));
    EXPECT_EQ(json["acquired_time"], time);
    EXPECT_EQ(json["source_name"], name);
}

TEST(ReportWrite, ReplacesTheFileOnlyWhenComplete) {
    sample_writer::TempDir dir;
    const std::string target = dir.join("page.html");
    ASSERT_TRUE(write_file(dir.join("run.d"), target, "first").has_value());
    ASSERT_TRUE(write_file(dir.join("run.d"), target, "second").has_value());
    std::ifstream in(target);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str(), "second");
    EXPECT_EQ(listing(dir.path()), std::vector<std::string>{"page.html"});

    // A missing folder, and a target that is a folder: an error, and nothing left behind.
    auto missing = write_file(dir.join("run.d"), dir.join("no/page.html"), "x");
    ASSERT_FALSE(missing.has_value());
    EXPECT_EQ(missing.error().os_error, ENOENT);
    ASSERT_EQ(::mkdir(dir.join("folder.html").c_str(), 0755), 0);
    auto onto_folder = write_file(dir.join("run.d"), dir.join("folder.html"), "x");
    ASSERT_FALSE(onto_folder.has_value());
    EXPECT_EQ(onto_folder.error().os_error, EISDIR);
    EXPECT_EQ(listing(dir.path()), (std::vector<std::string>{"folder.html", "page.html"}));
    EXPECT_TRUE(listing(dir.join("folder.html")).empty());
}

}  // namespace
}  // namespace corvane::report
