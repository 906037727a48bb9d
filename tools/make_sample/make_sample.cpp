// corvane-make-sample [options] DIR
//
// Writes a deterministic, realistic-looking acquisition to DIR (DIR/AcqData/...): MS1
// profile scans (Gaussian peaks with isotope partners on a patchy noisy baseline, long zero
// runs, so LZF shrinks them about 3-4x), each followed by MS2 centroid scans of a precursor
// taken from it (format 3, every fourth one format 2), 284-byte records, a Devices.xml
// naming a G6530A and a Contents.xml with the acquisition time.
//
//   --ms1 N      MS1 profile scans (default 150)
//   --points N   points per MS1 scan (default 4000)
//   --ms2 N      MS2 centroid scans, spread evenly after the MS1 scans (default 150)
//   --peaks N    most peaks of an MS2 scan (default 200; each has 10..N)
//   --tiny N     instead of the above: N centroid scans of 10 peaks each, MS1 and MS2
//                alternating (per-scan overhead)
//   --seed N     another data set of the same shape (default 1)
//   --           ends the options: a DIR starting with "-" goes after it
//
// -h/--help prints the usage and --version the version, on standard output; any other
// argument starting with "-" is a usage error, never taken for DIR.
//
// Exit status: 0 when the sample was written, 1 when it could not be, 2 for a usage error
// (then nothing is written).
//
// The same options always give the same bytes: the generator has its own PRNG.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "fixture.hpp"
#include "version.hpp"

namespace {

using corvane::fixture::AcquisitionSpec;
using corvane::fixture::AcquisitionWriter;
using corvane::fixture::ScanSpec;

// splitmix64: small, fast and the same everywhere (std distributions are not).
class Rng {
public:
    explicit Rng(std::uint64_t seed) : state_(seed) {}
    std::uint64_t next() {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
    // Uniform in [0, 1).
    double unit() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }
    // Uniform in [lo, hi).
    double uniform(double lo, double hi) { return lo + (hi - lo) * unit(); }
    // Uniform in [0, n).
    std::uint32_t below(std::uint32_t n) {
        return static_cast<std::uint32_t>(((next() >> 32) * n) >> 32);
    }

private:
    std::uint64_t state_;
};

struct Options {
    std::uint32_t ms1 = 150;
    std::uint32_t points = 4000;
    std::uint32_t ms2 = 150;
    std::uint32_t peaks = 200;
    std::uint32_t tiny = 0;
    std::uint64_t seed = 1;
    std::string dir;
};

constexpr double mz_low = 100.0;
constexpr double mz_high = 1700.0;
constexpr double seconds_per_scan = 0.25;
constexpr double proton = 1.00727646688;
constexpr double isotope_gap = 1.0033548;

const char* const devices_xml = R"(<?xml version="1.0" encoding="utf-8"?>
<Devices>
  <Version>1</Version>
  <Device DeviceID="1">
    <Name>Q-TOF LC/MS</Name>
    <ModelNumber>G6530A</ModelNumber>
    <SerialNumber>SG00000001</SerialNumber>
    <Type>6</Type>
  </Device>
  <Device DeviceID="2">
    <Name>Binary Pump</Name>
    <ModelNumber>G1312B</ModelNumber>
  </Device>
</Devices>
)";

const char* const contents_xml = R"(<?xml version="1.0" encoding="utf-8"?>
<Contents>
  <Version>1</Version>
  <AcquiredTime>2026-03-14T09:26:53Z</AcquiredTime>
  <AcqSoftwareVersion>sample</AcqSoftwareVersion>
  <InstrumentName>Instrument 1</InstrumentName>
</Contents>
)";

// One MS1 profile scan: counts on an even axis from mz_low to mz_high, and the m/z of its
// most intense peaks (precursor candidates for the MS2 scans that follow).
struct ProfileScan {
    std::vector<std::uint32_t> counts;
    std::vector<double> precursors;
};

ProfileScan profile_scan(Rng& rng, std::uint32_t points) {
    ProfileScan scan;
    std::vector<double> counts(points, 0.0);
    const double step = points > 1 ? (mz_high - mz_low) / (points - 1) : 0.0;
    const auto index_of = [&](double mz) { return step > 0 ? (mz - mz_low) / step : 0.0; };

    // Baseline noise in patches (detector chatter); zeros elsewhere.
    for (std::uint32_t at = 0; at < points;) {
        const std::uint32_t gap = 20 + rng.below(200);
        const std::uint32_t patch = 5 + rng.below(60);
        for (std::uint32_t i = at + gap; i < at + gap + patch && i < points; ++i) {
            counts[i] += std::floor(rng.unit() * rng.unit() * 40.0);
        }
        at += gap + patch;
    }
    // Compounds: an isotope envelope of Gaussian peaks each.
    const std::uint32_t compounds = 20 + rng.below(40);
    const double width = std::max(1.5, points / 4000.0 * 2.0);  // peak sigma in points
    std::vector<std::pair<double, double>> by_height;  // (height, monoisotopic m/z)
    for (std::uint32_t c = 0; c < compounds; ++c) {
        const double charge = 1.0 + rng.below(3);
        const double mono = rng.uniform(mz_low + 20.0, mz_high - 40.0);
        const double height = std::exp(rng.uniform(std::log(2e3), std::log(2e6)));
        for (int iso = 0; iso < 4; ++iso) {
            const double mz = mono + iso * isotope_gap / charge;
            const double h = height * std::pow(0.55, iso);
            const double centre = index_of(mz);
            const auto from = static_cast<std::int64_t>(centre - 5 * width);
            const auto to = static_cast<std::int64_t>(centre + 5 * width);
            for (std::int64_t i = std::max<std::int64_t>(from, 0);
                 i <= to && i < static_cast<std::int64_t>(points); ++i) {
                const double d = (static_cast<double>(i) - centre) / width;
                counts[static_cast<std::size_t>(i)] += h * std::exp(-0.5 * d * d);
            }
        }
        by_height.emplace_back(height, mono + (charge - 1.0) * proton / charge);
    }
    std::sort(by_height.rbegin(), by_height.rend());
    for (std::size_t k = 0; k < by_height.size() && k < 8; ++k) {
        scan.precursors.push_back(by_height[k].second);
    }
    scan.counts.resize(points);
    for (std::uint32_t i = 0; i < points; ++i) {
        scan.counts[i] = static_cast<std::uint32_t>(std::min(counts[i], 4.0e9));
    }
    return scan;
}

// One MS2 centroid scan: fragments below the precursor, sorted by m/z.
void centroid_peaks(Rng& rng, std::uint32_t count, double precursor, std::vector<double>& mz,
                    std::vector<float>& intensity) {
    mz.resize(count);
    intensity.resize(count);
    double at = 50.0;
    const double span = std::max(precursor - 50.0, 10.0);
    for (std::uint32_t i = 0; i < count; ++i) {
        at += rng.unit() * 2.0 * span / count;
        mz[i] = std::round(at * 1e4) / 1e4;
        intensity[i] = static_cast<float>(std::exp(rng.uniform(std::log(50.0), std::log(5e5))));
    }
}

constexpr const char* usage_text =
    "usage: corvane-make-sample [--ms1 N] [--points N] [--ms2 N] [--peaks N] [--tiny N]\n"
    "                           [--seed N] [--] DIR\n"
    "\n"
    "Writes a deterministic sample acquisition to DIR (DIR/AcqData/...).\n"
    "\n"
    "  --ms1 N     MS1 profile scans (default 150)\n"
    "  --points N  points per MS1 scan, at least 1 (default 4000)\n"
    "  --ms2 N     MS2 centroid scans, spread over the MS1 scans (default 150)\n"
    "  --peaks N   most peaks of an MS2 scan, at least 10 (default 200)\n"
    "  --tiny N    instead: N centroid scans of 10 peaks, MS1 and MS2 alternating\n"
    "  --seed N    another data set of the same shape (default 1)\n"
    "  --          take the next argument as DIR even if it starts with -\n"
    "  -h, --help  show this help and exit\n"
    "  --version   show the version and exit\n"
    "\n"
    "Exit status: 0 when the sample was written, 1 when it could not be, 2 for a usage\n"
    "error (nothing is written then).\n";

int usage() {
    std::fputs(usage_text, stderr);
    return 2;
}

// Writes text asked for with --help or --version; 1 when it cannot be written.
int answer(const char* text) {
    return std::fputs(text, stdout) >= 0 && std::fflush(stdout) == 0 ? 0 : 1;
}

enum class Parsed { run, help, version, usage_error };

bool parse_count(const char* text, std::uint64_t max, std::uint64_t& out) {
    char* end = nullptr;
    if (text == nullptr || *text < '0' || *text > '9') return false;
    const unsigned long long v = std::strtoull(text, &end, 10);
    if (*end != '\0' || v > max) return false;
    out = v;
    return true;
}

Parsed parse_options(int argc, char** argv, Options& o) {
    bool options_done = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        std::uint64_t value = 0;
        const auto take = [&](std::uint64_t max) {
            return i + 1 < argc && parse_count(argv[++i], max, value);
        };
        if (options_done || !arg.starts_with("-")) {
            if (!o.dir.empty()) return Parsed::usage_error;
            o.dir = arg;
        } else if (arg == "--") {
            options_done = true;
        } else if (arg == "-h" || arg == "--help") {
            return Parsed::help;
        } else if (arg == "--version") {
            return Parsed::version;
        } else if (arg == "--ms1" || arg == "--ms2" || arg == "--tiny") {
            if (!take(10'000'000)) return Parsed::usage_error;
            (arg == "--ms1" ? o.ms1 : arg == "--ms2" ? o.ms2 : o.tiny) =
                static_cast<std::uint32_t>(value);
        } else if (arg == "--points") {
            if (!take(10'000'000) || value == 0) return Parsed::usage_error;
            o.points = static_cast<std::uint32_t>(value);
        } else if (arg == "--peaks") {
            if (!take(1'000'000) || value < 10) return Parsed::usage_error;
            o.peaks = static_cast<std::uint32_t>(value);
        } else if (arg == "--seed") {
            if (!take(UINT64_MAX)) return Parsed::usage_error;
            o.seed = value;
        } else {
            // Any other "-..." (a lone "-" too) is a mistyped option, never a folder name:
            // a folder that starts with "-" goes after "--".
            return Parsed::usage_error;
        }
    }
    const bool has_scans = o.tiny > 0 || o.ms1 + o.ms2 > 0;
    return !o.dir.empty() && has_scans ? Parsed::run : Parsed::usage_error;
}

int fail(const std::string& what) {
    std::fprintf(stderr, "corvane-make-sample: %s\n", what.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    switch (parse_options(argc, argv, o)) {
        case Parsed::run: break;
        case Parsed::help: return answer(usage_text);
        case Parsed::version:
            return answer((std::string("corvane-make-sample ") + corvane::version + "\n").c_str());
        case Parsed::usage_error: return usage();
    }

    AcquisitionSpec spec;
    spec.stride = 284;
    spec.files["Devices.xml"] = {devices_xml, devices_xml + std::string_view(devices_xml).size()};
    spec.files["Contents.xml"] = {contents_xml,
                                  contents_xml + std::string_view(contents_xml).size()};
    auto writer = AcquisitionWriter::create(o.dir, std::move(spec));
    if (!writer) return fail(writer.error());

    Rng rng(o.seed * 0x2545F4914F6CDD1DULL + 17);
    std::uint32_t scan_id = 1;
    std::uint64_t profile_points = 0;
    const auto add = [&](ScanSpec& s) {
        s.scan_id = scan_id;
        s.rt_min = (scan_id - 1) * seconds_per_scan / 60.0;
        ++scan_id;
        return writer->add(s);
    };

    if (o.tiny > 0) {
        for (std::uint32_t i = 0; i < o.tiny; ++i) {
            ScanSpec s;
            s.ms_level = i % 2 == 0 ? 1 : 2;
            auto& peaks = s.peaks.emplace();
            centroid_peaks(rng, 10, 1000.0, peaks.mz, peaks.intensity);
            s.mz_first = peaks.mz.front();
            s.mz_last = peaks.mz.back();
            if (s.ms_level == 2) {
                s.msn_value_1 = 400.0 + rng.below(60000) / 100.0;
                s.msn_value_2 = 1.0 + rng.below(3);
            }
            if (auto ok = add(s); !ok) return fail(ok.error());
        }
    } else {
        std::uint32_t ms2_done = 0;
        for (std::uint32_t i = 0; i < o.ms1 || ms2_done < o.ms2; ++i) {
            std::vector<double> precursors{500.0};
            if (i < o.ms1) {
                ProfileScan p = profile_scan(rng, o.points);
                profile_points += p.counts.size();
                if (!p.precursors.empty()) precursors = std::move(p.precursors);
                ScanSpec s;
                s.ms_level = 1;
                s.mz_first = mz_low;
                s.mz_last = mz_high;
                s.profile = corvane::fixture::profile(std::move(p.counts));
                if (auto ok = add(s); !ok) return fail(ok.error());
            }
            // Spread the MS2 scans evenly over the MS1 cycles (all of them after the last).
            const std::uint64_t due =
                i + 1 >= o.ms1 ? o.ms2 : std::uint64_t{o.ms2} * (i + 1) / std::max(o.ms1, 1u);
            for (std::uint32_t k = 0; ms2_done < due; ++k) {
                ScanSpec s;
                s.ms_level = 2;
                const double precursor = precursors[k % precursors.size()];
                s.msn_value_1 = precursor;
                s.msn_value_2 = 1.0 + rng.below(3);
                auto& peaks = s.peaks.emplace();
                peaks.format = ms2_done % 4 == 3 ? 2 : 3;
                centroid_peaks(rng, 10 + rng.below(o.peaks - 9), precursor, peaks.mz,
                               peaks.intensity);
                s.mz_first = 50.0;
                s.mz_last = std::ceil(precursor);
                if (auto ok = add(s); !ok) return fail(ok.error());
                ++ms2_done;
            }
        }
    }

    const std::uint64_t peak_bytes = writer->peak_bytes();
    const std::uint64_t profile_bytes = writer->profile_bytes();
    if (auto ok = writer->finish(); !ok) return fail(ok.error());
    std::printf("%s: %u scans, MSProfile.bin %llu bytes", o.dir.c_str(), scan_id - 1,
                static_cast<unsigned long long>(profile_bytes));
    if (profile_points > 0) {
        // Like with like: the file's bytes against the counts' own bytes (4 each), which is
        // what the blocks decompress to, less a 16-byte header per block. A few short scans
        // can come out larger than they went in.
        const std::uint64_t decoded_bytes = profile_points * 4;
        const bool smaller = profile_bytes <= decoded_bytes;
        const double ratio = smaller ? static_cast<double>(decoded_bytes) /
                                           static_cast<double>(profile_bytes)
                                     : static_cast<double>(profile_bytes) /
                                           static_cast<double>(decoded_bytes);
        std::printf(" (%.2fx %s than the %llu bytes of its %llu 4-byte points)", ratio,
                    smaller ? "smaller" : "larger", static_cast<unsigned long long>(decoded_bytes),
                    static_cast<unsigned long long>(profile_points));
    }
    std::printf(", MSPeak.bin %llu bytes\n", static_cast<unsigned long long>(peak_bytes));
    return 0;
}
