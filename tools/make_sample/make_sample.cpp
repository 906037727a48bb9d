// corvane-make-sample [options] DIR
//
// Writes a deterministic, realistic-looking LC/MS run to DIR (DIR/AcqData/...): a few dozen
// compounds elute over the run, each a peak in retention time a few to about 20 MS1 scans
// wide (a Gaussian with a longer tail) whose isotope envelope (M, M+1, M+2; charge 1 or 2)
// shows in the MS1 profile scans as Gaussian peaks a few points wide, on a patchy noisy
// baseline with long zero runs (so LZF shrinks the scans about 3-4x). Each MS1 scan is
// followed by MS2 centroid scans of the compounds eluting most strongly at that moment
// (format 3, every fourth one format 2), whose fragments lie below the precursor and inside
// the scan's m/z range. 284-byte records, a Devices.xml naming a G6530A and a Contents.xml
// with the acquisition time.
//
//   --ms1 N        MS1 profile scans (default 150)
//   --points N     points per MS1 scan (default 4000)
//   --mz-range L H m/z range of the MS1 scans (default: 3 mDa per point around m/z 500,
//                  within 100..1700, so a 10 ppm window holds a point or more; 4000
//                  points give 494..506, 60,000 give 410..590)
//   --ms2 N        MS2 centroid scans, spread evenly after the MS1 scans (default 150)
//   --peaks N      most peaks of an MS2 scan (default 200; each has 10..N)
//   --tiny N       instead of the above: N centroid scans of 10 peaks each, MS1 and MS2
//                  alternating (per-scan overhead)
//   --seed N       another data set of the same shape (default 1)
//   --             ends the options: a DIR starting with "-" goes after it
//
// Or, with --peptides FASTA, a data-dependent proteomics run of the FASTA's tryptic
// peptides (peptides.cpp tells how it is built): MS1 profile scans every 1.5 s on an
// m/z axis 6 mDa apart, each followed by up to 5 MS2 centroid scans of b and y ions (and
// of other compounds, a third as many, which no search engine can name).
// Its scan index stores the m/z of the isolated isotope peak (monoisotopic, or M+1 for
// heavy peptides) in msn_value_1 and the collision energy in eV in msn_value_2.
//   --peptides FASTA  the proteins to digest
//   --truth FILE      also write the ground truth, tab-separated, outside DIR: each
//                     peptide's sequence, protein, charge, monoisotopic m/z, apex time
//                     in seconds and fragment scan ids
//   --ms1 N           MS1 scans, 1.5 s apart (default 200: a 5-minute run)
//   --mz-range L H    the MS1 axis (default 350..1250)
//   --seed N          as above
// --ms2, --peaks, --points and --tiny do not apply to it. A FASTA that cannot be read,
// holds no sequence, has a character in a sequence that is not a letter, or gives no
// peptide for the axis is an error (exit status 1) and nothing is written.
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
#include <tuple>
#include <utility>
#include <vector>

#include "common.hpp"
#include "peptides.hpp"
#include "sample_writer.hpp"
#include "version.hpp"

namespace {

using corvane::make_sample::add_baseline_noise;
using corvane::make_sample::Rng;

using corvane::make_sample::sample_spec;
using corvane::sample_writer::AcquisitionWriter;
using corvane::sample_writer::ScanSpec;

struct Options {
    std::uint32_t ms1 = 150;
    std::uint32_t points = 4000;
    std::uint32_t ms2 = 150;
    std::uint32_t peaks = 200;
    std::uint32_t tiny = 0;
    std::uint64_t seed = 1;
    // MS1 m/z range; both unset: the default below.
    double mz_low = 0.0;
    double mz_high = 0.0;
    std::string dir;
    // The peptide sample (peptides.hpp): a FASTA, and optionally the truth file.
    std::string peptides;
    std::string truth;
    bool ms1_given = false;
    bool other_shape_given = false;  // --ms2, --peaks, --points or --tiny
};

constexpr double seconds_per_scan = 0.25;
// Isotope spacings for one charge: 13C - 12C, and twice that less the mass defects.
constexpr double isotope_gap_1 = 1.00336;
constexpr double isotope_gap_2 = 2.00671;
// Resolving power (m/z over peak FWHM) of the simulated TOF: sigma 0.0106 at m/z 500.
constexpr double resolving_power = 20000.0;
// The default MS1 axis: this step per point, centred here, clipped to the widest range.
constexpr double default_step = 0.003;
constexpr double default_centre = 500.0;
constexpr double widest_low = 100.0;
constexpr double widest_high = 1700.0;
// MS2 scans start here (or at half the precursor when that is lower).
constexpr double ms2_low = 50.0;

// One compound of the run: its ion's monoisotopic m/z and charge, and its elution profile
// in MS1 cycles (apex, left and right sigma; the right one longer, as columns tail).
struct Compound {
    double mz = 0.0;
    int charge = 1;
    double height = 0.0;  // profile apex counts of the monoisotopic peak at the elution apex
    double apex = 0.0;
    double sigma_left = 0.0;
    double sigma_right = 0.0;
    double abundance[3] = {1.0, 0.0, 0.0};  // M, M+1, M+2 relative to M

    // Elution factor at MS1 cycle c, 1 at the apex; 0 beyond five sigmas.
    [[nodiscard]] double elution(double c) const {
        const double sigma = c < apex ? sigma_left : sigma_right;
        const double d = (c - apex) / sigma;
        return std::abs(d) > 5.0 ? 0.0 : std::exp(-0.5 * d * d);
    }
};

// A few dozen compounds spread over the run's MS1 cycles and the MS1 m/z range.
std::vector<Compound> make_compounds(Rng& rng, std::uint32_t cycles, double low, double high) {
    std::vector<Compound> compounds(24 + rng.below(25));
    for (Compound& c : compounds) {
        c.charge = rng.below(10) < 7 ? 1 : 2;
        c.mz = rng.uniform(low, high);
        c.height = std::exp(rng.uniform(std::log(5e3), std::log(3e6)));
        // About 1.1% 13C per carbon and a carbon per 14 Da: M+1 grows with the mass.
        const double a1 = std::min(0.9, c.mz * c.charge / 1270.0);
        c.abundance[1] = a1;
        c.abundance[2] = a1 * a1 / 2.0 + 0.02;
        // Visible (above 2% of the apex) over 5 to 18 MS1 scans.
        c.sigma_left = rng.uniform(0.8, 2.5);
        c.sigma_right = c.sigma_left * rng.uniform(1.0, 1.6);
        // Whole peaks where the run is long enough for them.
        const double n = static_cast<double>(cycles);
        const double before = std::min(3.0 * c.sigma_left, n / 4.0);
        const double after = std::min(3.0 * c.sigma_right, n / 4.0);
        c.apex = rng.uniform(before, std::max(before, n - after));
    }
    return compounds;
}

// One MS1 profile scan: counts on an even axis from low to high, and the m/z of the
// compounds eluting most strongly (precursors for the MS2 scans that follow).
struct ProfileScan {
    std::vector<std::uint32_t> counts;
    std::vector<double> precursors;
    std::vector<int> charges;
};

ProfileScan profile_scan(Rng& rng, std::uint32_t points, double low, double high,
                         const std::vector<Compound>& compounds, double cycle) {
    ProfileScan scan;
    std::vector<double> counts(points, 0.0);
    const double step = points > 1 ? (high - low) / (points - 1) : 0.0;

    add_baseline_noise(rng, counts);
    // Eluting compounds: three Gaussian peaks each, drawn over five sigmas of points only
    // (never the whole axis: the bench shape has 60,000 points and 3,000 scans).
    std::vector<std::pair<double, std::size_t>> strongest;  // (apex counts, compound)
    for (std::size_t k = 0; k < compounds.size(); ++k) {
        const Compound& c = compounds[k];
        const double e = c.elution(cycle);
        if (e <= 0.0) continue;
        // A little scan-to-scan jitter, as ion statistics give (small enough that the
        // flanks of an elution peak still rise and fall scan by scan).
        const double height = c.height * e * rng.uniform(0.98, 1.02);
        strongest.emplace_back(height, k);
        for (int iso = 0; iso < 3; ++iso) {
            const double mz = c.mz + (iso == 0 ? 0.0 : iso == 1 ? isotope_gap_1 : isotope_gap_2) /
                                         c.charge;
            const double h = height * c.abundance[iso];
            // Never narrower than a point, or a peak could fall between two.
            const double width = step > 0 ? std::max(mz / resolving_power / 2.3548, step) / step
                                           : 1.0;
            const double centre = step > 0 ? (mz - low) / step : 0.0;
            const double from = std::max(std::ceil(centre - 5 * width), 0.0);
            const double to = std::min(std::floor(centre + 5 * width), points - 1.0);
            for (double i = from; i <= to; ++i) {
                const double d = (i - centre) / width;
                counts[static_cast<std::size_t>(i)] += h * std::exp(-0.5 * d * d);
            }
        }
    }
    std::sort(strongest.rbegin(), strongest.rend());
    for (std::size_t k = 0; k < strongest.size() && k < 8; ++k) {
        scan.precursors.push_back(compounds[strongest[k].second].mz);
        scan.charges.push_back(compounds[strongest[k].second].charge);
    }
    scan.counts.resize(points);
    for (std::uint32_t i = 0; i < points; ++i) {
        scan.counts[i] = static_cast<std::uint32_t>(std::min(counts[i], 4.0e9));
    }
    return scan;
}

// The compound whose apex is nearest to cycle: the precursor when nothing elutes.
const Compound& nearest_compound(const std::vector<Compound>& compounds, double cycle) {
    return *std::min_element(compounds.begin(), compounds.end(),
                             [cycle](const Compound& a, const Compound& b) {
                                 return std::abs(a.apex - cycle) < std::abs(b.apex - cycle);
                             });
}

// The m/z range of an MS2 scan of this precursor: from 50 (or half the precursor when that
// is lower) to the precursor rounded up.
std::pair<double, double> ms2_range(double precursor) {
    return {std::min(ms2_low, std::floor(precursor / 2.0)), std::ceil(precursor)};
}

// One MS2 centroid scan: count fragments, sorted by m/z, strictly inside the scan's range
// and below the precursor (a margin of 0.5 keeps them there after rounding to 0.1 mDa and
// through format 2's m/z x 100).
void centroid_peaks(Rng& rng, std::uint32_t count, double precursor, std::vector<double>& mz,
                    std::vector<float>& intensity) {
    const auto [first, last] = ms2_range(precursor);
    const double from = first + 0.5;
    const double to = std::max(std::min(last, precursor) - 0.5, from);
    mz.resize(count);
    intensity.resize(count);
    for (double& v : mz) v = std::round(rng.uniform(from, to) * 1e4) / 1e4;
    std::sort(mz.begin(), mz.end());
    for (float& v : intensity) {
        v = static_cast<float>(std::exp(rng.uniform(std::log(50.0), std::log(5e5))));
    }
}

constexpr const char* usage_text =
    "usage: corvane-make-sample [--ms1 N] [--points N] [--mz-range LOW HIGH] [--ms2 N]\n"
    "                           [--peaks N] [--tiny N] [--seed N] [--] DIR\n"
    "       corvane-make-sample --peptides FASTA [--truth FILE] [--ms1 N]\n"
    "                           [--mz-range LOW HIGH] [--seed N] [--] DIR\n"
    "\n"
    "Writes a deterministic sample acquisition to DIR (DIR/AcqData/...): compounds\n"
    "eluting over the MS1 profile scans, MS2 centroid scans of the strongest of them.\n"
    "\n"
    "  --ms1 N     MS1 profile scans (default 150)\n"
    "  --points N  points per MS1 scan, at least 1 (default 4000)\n"
    "  --mz-range LOW HIGH\n"
    "              m/z range of the MS1 scans, 0 <= LOW < HIGH (default: 3 mDa per\n"
    "              point around m/z 500, within 100..1700)\n"
    "  --ms2 N     MS2 centroid scans, spread over the MS1 scans (default 150)\n"
    "  --peaks N   most peaks of an MS2 scan, at least 10 (default 200)\n"
    "  --tiny N    instead: N centroid scans of 10 peaks, MS1 and MS2 alternating\n"
    "  --seed N    another data set of the same shape (default 1)\n"
    "  --          take the next argument as DIR even if it starts with -\n"
    "  -h, --help  show this help and exit\n"
    "  --version   show the version and exit\n"
    "\n"
    "With --peptides FASTA, a data-dependent proteomics run of the FASTA's tryptic\n"
    "peptides (cut after K/R, not before P, no missed cleavage, 7-25 residues,\n"
    "carbamidomethyl C), each eluting once as an isotope envelope at charge 2 or 3\n"
    "on MS1 profile scans 1.5 s apart (resolving power 15,000, 6 mDa per point),\n"
    "each followed by up to 5 MS2 centroid scans (b and y ions, and noise) of the\n"
    "most intense peptides not fragmented in the last 12 s, and of other compounds\n"
    "(a third as many) that no search engine can name. msn_value_1 holds the\n"
    "m/z of the isolated peak (the monoisotopic one, M+1 for peptides whose M+1\n"
    "peak is the larger); msn_value_2 holds the collision energy in eV, not a charge.\n"
    "  --peptides FASTA  the proteins to digest\n"
    "  --truth FILE      also write the ground truth (tab-separated) to FILE, outside\n"
    "                    DIR: each peptide's sequence, protein, charge, monoisotopic\n"
    "                    m/z, apex time in seconds and fragment scan ids\n"
    "  --ms1 N           MS1 scans, at least 1 (default 200: a 5-minute run)\n"
    "  --mz-range LOW HIGH  the MS1 axis (default 350 1250)\n"
    "  --ms2, --peaks, --points and --tiny do not apply to it.\n"
    "\n"
    "Exit status: 0 when the sample was written, 1 when it could not be (or the FASTA\n"
    "is unusable: then nothing is written), 2 for a usage error (nothing is written\n"
    "then).\n";

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

bool parse_mz(const char* text, double& out) {
    char* end = nullptr;
    if (text == nullptr || *text < '0' || *text > '9') return false;
    const double v = std::strtod(text, &end);
    if (*end != '\0' || !std::isfinite(v) || v > 1e6) return false;
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
            (arg == "--ms1" ? o.ms1_given : o.other_shape_given) = true;
        } else if (arg == "--points") {
            if (!take(10'000'000) || value == 0) return Parsed::usage_error;
            o.points = static_cast<std::uint32_t>(value);
            o.other_shape_given = true;
        } else if (arg == "--peaks") {
            if (!take(1'000'000) || value < 10) return Parsed::usage_error;
            o.peaks = static_cast<std::uint32_t>(value);
            o.other_shape_given = true;
        } else if (arg == "--peptides" || arg == "--truth") {
            // File names, taken as they are (a name may start with "-").
            if (i + 1 >= argc || *argv[i + 1] == '\0') return Parsed::usage_error;
            (arg == "--peptides" ? o.peptides : o.truth) = argv[++i];
        } else if (arg == "--mz-range") {
            if (i + 2 >= argc || !parse_mz(argv[i + 1], o.mz_low) ||
                !parse_mz(argv[i + 2], o.mz_high) || !(o.mz_low < o.mz_high)) {
                return Parsed::usage_error;
            }
            i += 2;
        } else if (arg == "--seed") {
            if (!take(UINT64_MAX)) return Parsed::usage_error;
            o.seed = value;
        } else {
            // Any other "-..." (a lone "-" too) is a mistyped option, never a folder name:
            // a folder that starts with "-" goes after "--".
            return Parsed::usage_error;
        }
    }
    if (!o.peptides.empty()) {
        if (o.mz_high == 0.0) {
            o.mz_low = corvane::make_sample::peptide_mz_low;
            o.mz_high = corvane::make_sample::peptide_mz_high;
        }
        if (!o.ms1_given) o.ms1 = 200;
        const bool axis_fits = (o.mz_high - o.mz_low) / corvane::make_sample::peptide_mz_step <
                               corvane::make_sample::peptide_max_points;
        return !o.dir.empty() && !o.other_shape_given && o.ms1 > 0 && axis_fits
                   ? Parsed::run
                   : Parsed::usage_error;
    }
    if (!o.truth.empty()) return Parsed::usage_error;  // the truth of a peptide sample only
    if (o.mz_high == 0.0) {
        // 3 mDa per point, centred on m/z 500 and shifted (then clipped) into 100..1700.
        const double width = std::min(default_step * (o.points - 1.0), widest_high - widest_low);
        o.mz_low = std::max(default_centre - width / 2.0, widest_low);
        o.mz_high = std::min(o.mz_low + std::max(width, default_step), widest_high);
        o.mz_low = std::round(o.mz_low * 1e3) / 1e3;
        o.mz_high = std::round(o.mz_high * 1e3) / 1e3;
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
    if (!o.peptides.empty()) {
        corvane::make_sample::PeptideRunOptions p;
        p.fasta = o.peptides;
        p.dir = o.dir;
        p.truth = o.truth;
        p.cycles = o.ms1;
        p.mz_low = o.mz_low;
        p.mz_high = o.mz_high;
        p.seed = o.seed;
        auto done = corvane::make_sample::write_peptide_run(p);
        if (!done) return fail(done.error());
        corvane::make_sample::print_summary(o.dir, done->scans, done->profile_points,
                                            done->profile_bytes, done->peak_bytes);
        std::printf("%s: %zu peptides, %zu of them fragmented, in %u scans (%u isolated the "
                    "M+1 peak); %u scans of %zu other compounds\n",
                    o.dir.c_str(), done->peptides, done->fragmented, done->fragment_scans,
                    done->isolated_m1, done->other_fragment_scans, done->others);
        return 0;
    }

    auto writer = AcquisitionWriter::create(o.dir, sample_spec());
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
            const double precursor = 400.0 + rng.below(60000) / 100.0;
            centroid_peaks(rng, 10, s.ms_level == 2 ? precursor : widest_high, peaks.mz,
                           peaks.intensity);
            if (s.ms_level == 2) {
                std::tie(s.mz_first, s.mz_last) = ms2_range(precursor);
                s.msn_value_1 = precursor;
                s.msn_value_2 = 1.0 + rng.below(2);
            } else {
                s.mz_first = peaks.mz.front();
                s.mz_last = peaks.mz.back();
            }
            if (auto ok = add(s); !ok) return fail(ok.error());
        }
    } else {
        const std::vector<Compound> compounds =
            make_compounds(rng, std::max(o.ms1, 1u), o.mz_low, o.mz_high);
        std::uint32_t ms2_done = 0;
        for (std::uint32_t i = 0; i < o.ms1 || ms2_done < o.ms2; ++i) {
            const double cycle = i;
            std::vector<double> precursors;
            std::vector<int> charges;
            if (i < o.ms1) {
                ProfileScan p =
                    profile_scan(rng, o.points, o.mz_low, o.mz_high, compounds, cycle);
                precursors = std::move(p.precursors);
                charges = std::move(p.charges);
                profile_points += p.counts.size();
                ScanSpec s;
                s.ms_level = 1;
                s.mz_first = o.mz_low;
                s.mz_last = o.mz_high;
                s.profile = corvane::sample_writer::profile(std::move(p.counts));
                if (auto ok = add(s); !ok) return fail(ok.error());
            }
            // Nothing eluting (or no MS1 scans at all): the compound nearest in time.
            if (precursors.empty()) {
                const Compound& c = nearest_compound(compounds, cycle);
                precursors.push_back(c.mz);
                charges.push_back(c.charge);
            }
            // Spread the MS2 scans evenly over the MS1 cycles (all of them after the last).
            const std::uint64_t due =
                i + 1 >= o.ms1 ? o.ms2 : std::uint64_t{o.ms2} * (i + 1) / std::max(o.ms1, 1u);
            for (std::uint32_t k = 0; ms2_done < due; ++k) {
                ScanSpec s;
                s.ms_level = 2;
                const double precursor = precursors[k % precursors.size()];
                s.msn_value_1 = precursor;
                s.msn_value_2 = charges[k % charges.size()];
                auto& peaks = s.peaks.emplace();
                peaks.format = ms2_done % 4 == 3 ? 2 : 3;
                centroid_peaks(rng, 10 + rng.below(o.peaks - 9), precursor, peaks.mz,
                               peaks.intensity);
                std::tie(s.mz_first, s.mz_last) = ms2_range(precursor);
                if (auto ok = add(s); !ok) return fail(ok.error());
                ++ms2_done;
            }
        }
    }

    const std::uint64_t peak_bytes = writer->peak_bytes();
    const std::uint64_t profile_bytes = writer->profile_bytes();
    if (auto ok = writer->finish(); !ok) return fail(ok.error());
    corvane::make_sample::print_summary(o.dir, scan_id - 1, profile_points, profile_bytes,
                                        peak_bytes);
    return 0;
}
