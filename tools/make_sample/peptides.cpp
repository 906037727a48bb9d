// The peptide sample: what a data-dependent LC-MS/MS run of a tryptic digest looks like to
// the reader, built so that a search engine and a feature finder can be checked against a
// known answer.
//
// Peptides. Each protein is cut after K and R unless P follows (no missed cleavage);
// pieces of 7 to 25 residues made of the 20 amino acids are kept, once each (the first
// protein that holds a piece names it). Cysteines carry carbamidomethyl, the fixed
// modification search engines assume by default. Masses come from the elemental
// composition (monoisotopic element masses); the isotope envelope from the natural
// isotopes of C, H, N, O and S convolved by nominal mass, its peaks 1.003355 / z apart.
// Each peptide gets one charge, 2 or 3 (3 for the heavier ones, 2 mostly), and is kept
// when its envelope's first four peaks fit on the MS1 axis. At most max_peptides are used
// (a random choice, in FASTA order), so a whole proteome still gives a run of sane size.
//
// Other compounds. Up to a third as many again (those whose envelope fits the axis)
// elute like the peptides, at charge 2 or 3, with averagine envelopes (the composition
// of an average residue, scaled to a mass of 800 to 2,800 Da): real runs fragment many
// precursors no search engine can name, and a search must leave their scans unidentified
// (or to the decoys). Their fragment scans hold 15 to 44 peaks anywhere below their mass.
// They are not in the truth file.
//
// Elution. Every peptide and compound elutes once: a Gaussian in time (sigma 2.2 to 3.4 s
// before the apex, 1.2 to 1.8 times that after it, as columns tail) with its apex
// somewhere in the run, its most abundant isotope peak 10^4 to 2 x 10^6 counts high at
// the apex (log-uniform), scan-to-scan jitter of 3 %.
//
// MS1 scans: one profile scan every cycle_seconds, on an even m/z axis mz_step apart;
// each isotope peak is a Gaussian whose FWHM is m/z / resolving_power (at least 3.9
// points per FWHM at m/z 350, so centroids can be exact to well under 1 ppm), on the
// patchy baseline noise of the other sample, plus one background ion every run shows
// (protonated bis(2-ethylhexyl) phthalate, m/z 391.28, charge 1).
//
// MS2 scans (data-dependent acquisition): after each MS1 scan, up to top_n fragment scans
// of the peptides and compounds whose isolated peak is the most intense in it, above
// trigger_counts and not fragmented in the last exclusion_seconds (dynamic exclusion);
// the background ion is never chosen, as instruments skip charge 1 for peptides. The
// instrument isolates the most intense peak of the envelope: the monoisotopic peak, or
// the M+1 peak for peptides heavy enough that M+1 is the larger (about 1,800 Da and up).
// Each fragment scan holds the peptide's singly charged b ions (b2 and up) and y ions at
// their exact m/z, a few of them missing, y ions stronger and cleavage before proline
// favoured, plus 20 to 49 noise peaks; centroid peaks, every fourth block in format 2
// (m/z x 100), the others format 3.
//
// The scan index: msn_value_1 holds the m/z of the isolated peak; msn_value_2 holds the
// collision energy in eV (3.4 per 100 m/z plus 2, to 0.1 eV), never a charge.
//
// Ground truth (--truth FILE, tab-separated, one header line, one row per peptide in
// FASTA order): sequence, protein, charge, monoisotopic m/z, apex retention time in
// seconds and the scan ids of its fragment scans (comma-separated, empty when none).
#include "peptides.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <sstream>
#include <utility>

#include <sys/stat.h>
#include <unistd.h>

#include "common.hpp"
#include "sample_writer.hpp"

namespace corvane::make_sample {

namespace {

using corvane::sample_writer::AcquisitionWriter;
using corvane::sample_writer::ScanSpec;

constexpr std::size_t min_length = 7;
constexpr std::size_t max_length = 25;
constexpr std::size_t max_peptides = 3000;
// Time: an MS1 scan starts every cycle; its fragment scans follow scan_seconds apart.
constexpr double cycle_seconds = 1.5;
constexpr double scan_seconds = 0.25;
constexpr std::size_t top_n = 5;
constexpr double exclusion_seconds = 12.0;
constexpr double trigger_counts = 1000.0;
// MS1 profile: an axis step of 6 mDa against a FWHM of 23 mDa at m/z 350 (83 at 1250).
constexpr double resolving_power = 15000.0;
constexpr double mz_step = peptide_mz_step;
constexpr std::size_t envelope_peaks = 6;
// Envelope peaks below this share of the largest are not drawn.
constexpr double envelope_floor = 0.005;
// MS2 axis.
constexpr double ms2_first = 50.0;
constexpr double ms2_last = 3200.0;

// Monoisotopic element masses (Da).
constexpr double mass_c = 12.0;
constexpr double mass_h = 1.00782503207;
constexpr double mass_n = 14.0030740048;
constexpr double mass_o = 15.99491461956;
constexpr double mass_s = 31.97207100;

// Residues as they sit in a chain (the amino acid less one water).
std::optional<Composition> residue_composition(char residue) {
    switch (residue) {
        case 'G': return Composition{2, 3, 1, 1, 0};
        case 'A': return Composition{3, 5, 1, 1, 0};
        case 'S': return Composition{3, 5, 1, 2, 0};
        case 'P': return Composition{5, 7, 1, 1, 0};
        case 'V': return Composition{5, 9, 1, 1, 0};
        case 'T': return Composition{4, 7, 1, 2, 0};
        case 'C': return Composition{5, 8, 2, 2, 1};  // carbamidomethyl: C3H5NOS + C2H3NO
        case 'L':
        case 'I': return Composition{6, 11, 1, 1, 0};
        case 'N': return Composition{4, 6, 2, 2, 0};
        case 'D': return Composition{4, 5, 1, 3, 0};
        case 'Q': return Composition{5, 8, 2, 2, 0};
        case 'K': return Composition{6, 12, 2, 1, 0};
        case 'E': return Composition{5, 7, 1, 3, 0};
        case 'M': return Composition{5, 9, 1, 1, 1};
        case 'H': return Composition{6, 7, 3, 1, 0};
        case 'F': return Composition{9, 9, 1, 1, 0};
        case 'R': return Composition{6, 12, 4, 1, 0};
        case 'Y': return Composition{9, 9, 1, 2, 0};
        case 'W': return Composition{11, 10, 2, 1, 0};
        default: return std::nullopt;
    }
}

void add(Composition& to, const Composition& c) {
    to.c += c.c;
    to.h += c.h;
    to.n += c.n;
    to.o += c.o;
    to.s += c.s;
}

// Natural abundances by extra neutrons (IUPAC).
constexpr std::array<double, 2> iso_c = {0.9893, 0.0107};
constexpr std::array<double, 2> iso_h = {0.999885, 0.000115};
constexpr std::array<double, 2> iso_n = {0.99636, 0.00364};
constexpr std::array<double, 3> iso_o = {0.99757, 0.00038, 0.00205};
constexpr std::array<double, 5> iso_s = {0.9499, 0.0075, 0.0425, 0.0, 0.0001};

// a * b, truncated to count terms.
std::vector<double> convolve(const std::vector<double>& a, const std::vector<double>& b,
                             std::size_t count) {
    std::vector<double> out(count, 0.0);
    for (std::size_t i = 0; i < a.size() && i < count; ++i) {
        for (std::size_t j = 0; j < b.size() && i + j < count; ++j) out[i + j] += a[i] * b[j];
    }
    return out;
}

// pattern^atoms, truncated to count terms (square and multiply).
template <std::size_t N>
std::vector<double> power(const std::array<double, N>& pattern, int atoms, std::size_t count) {
    std::vector<double> result(count, 0.0);
    result[0] = 1.0;
    std::vector<double> base(pattern.begin(), pattern.end());
    for (unsigned e = static_cast<unsigned>(std::max(atoms, 0)); e > 0; e >>= 1) {
        if (e & 1U) result = convolve(result, base, count);
        if (e > 1) base = convolve(base, base, count);
    }
    return result;
}

// A peptide, or (with no sequence) another compound.
struct Analyte {
    std::string sequence;
    std::string protein;
    int charge = 2;
    double mono_mz = 0.0;
    double height = 0.0;  // apex counts of the envelope's largest peak
    double apex = 0.0;    // seconds
    double sigma_left = 0.0;
    double sigma_right = 0.0;
    std::vector<double> envelope;  // relative to the largest peak
    std::size_t isolated = 0;      // the peak the instrument isolates (0: monoisotopic)
    double last_fragmented = -std::numeric_limits<double>::infinity();
    std::vector<std::uint32_t> fragment_scans;

    [[nodiscard]] double peak_mz(std::size_t k) const {
        return mono_mz + static_cast<double>(k) * isotope_spacing / charge;
    }
    // 1 at the apex, 0 beyond five sigmas.
    [[nodiscard]] double elution(double t) const {
        const double sigma = t < apex ? sigma_left : sigma_right;
        const double d = (t - apex) / sigma;
        return std::abs(d) > 5.0 ? 0.0 : std::exp(-0.5 * d * d);
    }
};

std::vector<double> relative_envelope(const Composition& composition) {
    std::vector<double> e = isotope_abundances(composition, envelope_peaks);
    const double top = *std::max_element(e.begin(), e.end());
    for (double& v : e) v /= top;
    return e;
}

// The digest's peptides that fit the axis and the other compounds, each with its charge,
// elution and envelope.
std::vector<Analyte> make_analytes(Rng& rng, const std::vector<Protein>& proteins,
                                   const PeptideRunOptions& o, double duration) {
    std::vector<Analyte> analytes;
    std::map<std::string_view, bool> seen;
    for (const Protein& protein : proteins) {
        for (std::string_view piece : tryptic_digest(protein.sequence)) {
            if (piece.size() < min_length || piece.size() > max_length) continue;
            if (!seen.emplace(piece, true).second) continue;
            const auto composition = peptide_composition(piece);
            if (!composition) continue;
            const double mass = monoisotopic_mass(*composition);
            int charge = mass > 2400.0 || (mass > 1400.0 && rng.unit() < 0.3) ? 3 : 2;
            const auto fits = [&](int z) {
                const double mz = (mass + z * proton_mass) / z;
                return mz - 0.5 >= o.mz_low && mz + 3.0 * isotope_spacing / z + 0.2 <= o.mz_high;
            };
            if (!fits(charge)) charge = 5 - charge;
            if (!fits(charge)) continue;
            Analyte p;
            p.sequence = piece;
            p.protein = protein.name;
            p.charge = charge;
            p.mono_mz = (mass + charge * proton_mass) / charge;
            p.envelope = relative_envelope(*composition);
            p.isolated = p.envelope[1] > p.envelope[0] ? 1 : 0;
            analytes.push_back(std::move(p));
        }
    }
    if (analytes.size() > max_peptides) {
        // A random max_peptides of them, kept in FASTA order.
        std::vector<std::size_t> order(analytes.size());
        for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
        for (std::size_t i = 0; i < max_peptides; ++i) {
            const auto left = static_cast<std::uint32_t>(order.size() - i);
            std::swap(order[i], order[i + rng.below(left)]);
        }
        order.resize(max_peptides);
        std::sort(order.begin(), order.end());
        std::vector<Analyte> kept;
        kept.reserve(max_peptides);
        for (std::size_t i : order) kept.push_back(std::move(analytes[i]));
        analytes = std::move(kept);
    }
    // Other compounds, a third as many: what a real run also fragments and no search
    // engine can name.
    const std::size_t others = analytes.size() / 3;
    for (std::size_t k = 0; k < others; ++k) {
        const int charge = rng.unit() < 0.7 ? 2 : 3;
        const double target = rng.uniform(800.0, 2800.0);
        // Averagine (the average residue's composition) scaled to the mass.
        const double units = target / 111.1254;
        const Composition c{static_cast<int>(std::lround(4.9384 * units)),
                            static_cast<int>(std::lround(7.7583 * units)),
                            static_cast<int>(std::lround(1.3577 * units)),
                            static_cast<int>(std::lround(1.4773 * units)),
                            static_cast<int>(std::lround(0.0417 * units))};
        Analyte p;
        p.charge = charge;
        p.mono_mz = (monoisotopic_mass(c) + charge * proton_mass) / charge;
        if (p.mono_mz - 0.5 < o.mz_low || p.peak_mz(3) + 0.2 > o.mz_high) continue;
        p.envelope = relative_envelope(c);
        p.isolated = p.envelope[1] > p.envelope[0] ? 1 : 0;
        analytes.push_back(std::move(p));
    }
    // Apexes leave room for whole peaks at both ends of runs long enough for that.
    const double first = duration > 80.0 ? 20.0 : duration * 0.2;
    const double last = duration > 80.0 ? duration - 30.0 : duration * 0.7;
    for (Analyte& p : analytes) {
        p.height = std::exp(rng.uniform(std::log(1e4), std::log(2e6)));
        p.apex = rng.uniform(first, last);
        p.sigma_left = rng.uniform(2.2, 3.4);
        p.sigma_right = p.sigma_left * rng.uniform(1.2, 1.8);
    }
    return analytes;
}

// Adds a Gaussian peak of this apex height at mz to counts (axis low + i * step), drawn
// over five sigmas of points only.
void draw_peak(std::vector<double>& counts, double low, double step, double mz, double height) {
    const double points = static_cast<double>(counts.size());
    // Never narrower than a point, or a peak could fall between two.
    const double width = std::max(mz / resolving_power / 2.3548, step) / step;
    const double centre = (mz - low) / step;
    const double from = std::max(std::ceil(centre - 5 * width), 0.0);
    const double to = std::min(std::floor(centre + 5 * width), points - 1.0);
    for (double i = from; i <= to; ++i) {
        const double d = (i - centre) / width;
        counts[static_cast<std::size_t>(i)] += height * std::exp(-0.5 * d * d);
    }
}

// The background ion: protonated bis(2-ethylhexyl) phthalate, C24H38O4 + H+.
constexpr Composition background = {24, 38, 0, 4, 0};
constexpr double background_height = 3e4;

// One fragment scan of p: b and y ions and noise, sorted by m/z, inside the MS2 axis.
void fragment_peaks(Rng& rng, const Analyte& p, double precursor_counts, std::vector<double>& mz,
                    std::vector<float>& intensity) {
    std::vector<std::pair<double, double>> peaks;
    const std::string& s = p.sequence;
    if (s.empty()) {
        // Another compound: 15 to 44 fragments anywhere below its mass, no ladder.
        const double mass = (p.mono_mz - proton_mass) * p.charge;
        const std::uint32_t count = 15 + rng.below(30);
        for (std::uint32_t k = 0; k < count; ++k) {
            const double m = rng.uniform(ms2_first + 1.0, std::min(mass, ms2_last - 1.0));
            peaks.emplace_back(std::round(m * 1e4) / 1e4, rng.uniform(0.05, 1.0));
        }
    }
    std::vector<double> prefix(s.size() + 1, 0.0);
    for (std::size_t i = 0; i < s.size(); ++i) prefix[i + 1] = prefix[i] + residue_mass(s[i]);
    const double residues = s.empty() ? (p.mono_mz - proton_mass) * p.charge - water_mass
                                      : prefix.back();
    for (std::size_t i = 1; i < s.size(); ++i) {
        // The bond between residue i-1 and i: b_i on the left, y_(n-i) on the right.
        double y = rng.uniform(0.15, 1.0);
        if (s[i] == 'P') y *= 2.5;
        const double b = rng.uniform(0.05, 0.5);
        const bool keep_y = rng.unit() >= 0.12;
        const bool keep_b = rng.unit() >= 0.25;
        if (keep_y) peaks.emplace_back(residues - prefix[i] + water_mass + proton_mass, y);
        if (keep_b && i >= 2) peaks.emplace_back(prefix[i] + proton_mass, b);
    }
    double top = 0.0;
    for (const auto& [m, v] : peaks) top = std::max(top, v);
    const double scale = std::max(precursor_counts * rng.uniform(0.2, 0.6), 200.0) / top;
    for (auto& [m, v] : peaks) v *= scale;
    const double noise_top = std::min(residues + water_mass + proton_mass, ms2_last - 1.0);
    const std::uint32_t noise = 20 + rng.below(30);
    for (std::uint32_t k = 0; k < noise; ++k) {
        const double m = std::round(rng.uniform(ms2_first + 1.0, noise_top) * 1e4) / 1e4;
        peaks.emplace_back(m, top * scale * std::exp(rng.uniform(std::log(0.003), std::log(0.05))));
    }
    std::sort(peaks.begin(), peaks.end());
    mz.clear();
    intensity.clear();
    for (const auto& [m, v] : peaks) {
        if (m <= ms2_first || m >= ms2_last) continue;
        if (!mz.empty() && m == mz.back()) {
            intensity.back() += static_cast<float>(v);
            continue;
        }
        mz.push_back(m);
        intensity.push_back(static_cast<float>(v));
    }
}

bool inside(const std::filesystem::path& path, const std::filesystem::path& folder) {
    std::error_code ec;
    const auto a = std::filesystem::absolute(path, ec).lexically_normal();
    const auto b = std::filesystem::absolute(folder, ec).lexically_normal();
    if (ec) return false;
    auto ai = a.begin();
    for (auto bi = b.begin(); bi != b.end(); ++bi, ++ai) {
        if (bi->empty() && std::next(bi) == b.end()) break;  // "dir/" ends in an empty name
        if (ai == a.end() || *ai != *bi) return false;
    }
    return true;
}

std::string format_truth(const std::vector<Analyte>& analytes) {
    std::string out = "sequence\tprotein\tcharge\tmonoisotopic_mz\tapex_rt_sec\tfragment_scans\n";
    char buffer[64];
    for (const Analyte& p : analytes) {
        if (p.sequence.empty()) continue;  // another compound
        out += p.sequence;
        out += '\t';
        out += p.protein;
        std::snprintf(buffer, sizeof buffer, "\t%d\t%.6f\t%.3f\t", p.charge, p.mono_mz, p.apex);
        out += buffer;
        for (std::size_t k = 0; k < p.fragment_scans.size(); ++k) {
            if (k > 0) out += ',';
            out += std::to_string(p.fragment_scans[k]);
        }
        out += '\n';
    }
    return out;
}

std::string errno_text(int error) { return std::strerror(error); }

}  // namespace

std::expected<std::vector<Protein>, std::string> parse_fasta(std::string_view text,
                                                              const std::string& source) {
    std::vector<Protein> proteins;
    std::size_t line_number = 0;
    const auto fail = [&](const std::string& what) {
        return std::unexpected(source + ": line " + std::to_string(line_number) + ": " + what);
    };
    while (!text.empty()) {
        ++line_number;
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.starts_with('>')) {
            line.remove_prefix(1);
            const std::size_t start = line.find_first_not_of(" \t");
            if (start == std::string_view::npos) return fail("a header without a name");
            line.remove_prefix(start);
            proteins.push_back({std::string(line.substr(0, line.find_first_of(" \t"))), {}});
            continue;
        }
        for (const char ch : line) {
            if (ch == ' ' || ch == '\t') continue;
            const bool letter = (ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z');
            if (!letter) {
                const auto byte = static_cast<unsigned char>(ch);
                char shown[16];
                if (byte >= 0x20 && byte < 0x7F) {
                    std::snprintf(shown, sizeof shown, "'%c'", ch);
                } else {
                    std::snprintf(shown, sizeof shown, "byte 0x%02X", byte);
                }
                return fail(std::string(shown) + " in a sequence is not an amino acid letter");
            }
            if (proteins.empty()) return fail("a sequence before the first '>' header");
            proteins.back().sequence += static_cast<char>(ch & ~0x20);
        }
    }
    std::erase_if(proteins, [](const Protein& p) { return p.sequence.empty(); });
    if (proteins.empty()) return std::unexpected(source + ": no protein sequence");
    return proteins;
}

std::expected<std::vector<Protein>, std::string> read_fasta(const std::string& path) {
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) {
        return std::unexpected(path + ": " + errno_text(EISDIR));
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::unexpected(path + ": " + errno_text(errno));
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) return std::unexpected(path + ": read error");
    return parse_fasta(text.str(), path);
}

std::vector<std::string_view> tryptic_digest(std::string_view sequence) {
    std::vector<std::string_view> pieces;
    std::size_t start = 0;
    for (std::size_t i = 0; i < sequence.size(); ++i) {
        const char c = sequence[i];
        const bool cut = (c == 'K' || c == 'R') &&
                         (i + 1 == sequence.size() || sequence[i + 1] != 'P');
        if (cut || i + 1 == sequence.size()) {
            pieces.push_back(sequence.substr(start, i + 1 - start));
            start = i + 1;
        }
    }
    return pieces;
}

std::optional<Composition> peptide_composition(std::string_view sequence) {
    Composition total{0, 2, 0, 1, 0};  // water
    for (const char c : sequence) {
        const auto r = residue_composition(c);
        if (!r) return std::nullopt;
        add(total, *r);
    }
    return total;
}

double monoisotopic_mass(const Composition& c) {
    return c.c * mass_c + c.h * mass_h + c.n * mass_n + c.o * mass_o + c.s * mass_s;
}

double residue_mass(char residue) {
    const auto r = residue_composition(residue);
    return r ? monoisotopic_mass(*r) : 0.0;
}

std::vector<double> isotope_abundances(const Composition& c, std::size_t count) {
    if (count == 0) return {};
    std::vector<double> result = power(iso_c, c.c, count);
    result = convolve(result, power(iso_h, c.h, count), count);
    result = convolve(result, power(iso_n, c.n, count), count);
    result = convolve(result, power(iso_o, c.o, count), count);
    return convolve(result, power(iso_s, c.s, count), count);
}

std::expected<PeptideRunSummary, std::string> write_peptide_run(const PeptideRunOptions& o) {
    auto proteins = read_fasta(o.fasta);
    if (!proteins) return std::unexpected(proteins.error());
    if (!o.truth.empty() && inside(o.truth, o.dir)) {
        return std::unexpected(o.truth + ": the truth file goes outside the acquisition " + o.dir);
    }

    Rng rng(o.seed * 0x2545F4914F6CDD1DULL + 29);
    const double duration = o.cycles * cycle_seconds;
    std::vector<Analyte> analytes = make_analytes(rng, *proteins, o, duration);
    if (analytes.empty()) {
        char range[64];
        std::snprintf(range, sizeof range, "%g..%g", o.mz_low, o.mz_high);
        return std::unexpected(o.fasta + ": no tryptic peptide of 7 to 25 residues has an ion "
                               "of charge 2 or 3 inside m/z " + range);
    }

    // The truth file is written under a temporary name beside its place, created before
    // the run so that a path that cannot be written stops everything before anything is
    // written, and renamed into place only once the run is complete.
    std::string truth_part;
    std::FILE* truth = nullptr;
    if (!o.truth.empty()) {
        std::error_code ec;
        if (std::filesystem::is_directory(o.truth, ec)) {
            return std::unexpected(o.truth + ": " + errno_text(EISDIR));
        }
        std::string name = o.truth + ".XXXXXX";
        const int fd = ::mkstemp(name.data());
        if (fd < 0) return std::unexpected(o.truth + ": " + errno_text(errno));
        truth = ::fdopen(fd, "wb");
        if (truth == nullptr) {
            const int error = errno;
            ::close(fd);
            ::unlink(name.c_str());
            return std::unexpected(o.truth + ": " + errno_text(error));
        }
        truth_part = std::move(name);
    }
    const auto drop_truth = [&](const std::string& why) {
        if (truth != nullptr) {
            std::fclose(truth);
            ::unlink(truth_part.c_str());
        }
        return std::unexpected(why);
    };

    auto writer = AcquisitionWriter::create(o.dir, sample_spec());
    if (!writer) return drop_truth(writer.error());

    const auto points =
        static_cast<std::size_t>(std::llround((o.mz_high - o.mz_low) / mz_step)) + 1;
    const double step = (o.mz_high - o.mz_low) / static_cast<double>(points - 1);
    const double background_mz = monoisotopic_mass(background) + proton_mass;
    const std::vector<double> background_envelope = relative_envelope(background);

    PeptideRunSummary summary;
    std::uint32_t scan_id = 1;
    const auto add_scan = [&](ScanSpec& s, double seconds) {
        s.scan_id = scan_id++;
        s.rt_min = seconds / 60.0;
        ++summary.scans;
        return writer->add(s);
    };

    std::vector<double> counts;
    std::vector<std::pair<double, std::size_t>> candidates;  // (isolated peak counts, peptide)
    for (std::uint32_t cycle = 0; cycle < o.cycles; ++cycle) {
        const double t = cycle * cycle_seconds;
        counts.assign(points, 0.0);
        add_baseline_noise(rng, counts);
        if (background_mz >= o.mz_low && background_mz + 3.0 * isotope_spacing <= o.mz_high) {
            const double h = background_height * rng.uniform(0.95, 1.05);
            for (std::size_t k = 0; k < background_envelope.size(); ++k) {
                if (background_envelope[k] < envelope_floor) continue;
                const double mz = background_mz + static_cast<double>(k) * isotope_spacing;
                draw_peak(counts, o.mz_low, step, mz, h * background_envelope[k]);
            }
        }
        candidates.clear();
        for (std::size_t i = 0; i < analytes.size(); ++i) {
            const Analyte& p = analytes[i];
            const double e = p.elution(t);
            if (e <= 0.0) continue;
            const double h = p.height * e * rng.uniform(0.97, 1.03);
            for (std::size_t k = 0; k < p.envelope.size(); ++k) {
                if (p.envelope[k] < envelope_floor) continue;
                draw_peak(counts, o.mz_low, step, p.peak_mz(k), h * p.envelope[k]);
            }
            const double isolated = h * p.envelope[p.isolated];
            if (isolated >= trigger_counts && t - p.last_fragmented >= exclusion_seconds) {
                candidates.emplace_back(isolated, i);
            }
        }
        std::vector<std::uint32_t> profile(points);
        for (std::size_t i = 0; i < points; ++i) {
            profile[i] = static_cast<std::uint32_t>(std::min(std::floor(counts[i] + 0.5), 4.0e9));
        }
        summary.profile_points += points;
        ScanSpec ms1;
        ms1.ms_level = 1;
        ms1.mz_first = o.mz_low;
        ms1.mz_last = o.mz_high;
        ms1.profile = corvane::sample_writer::profile(std::move(profile));
        if (auto ok = add_scan(ms1, t); !ok) return drop_truth(ok.error());

        // The most intense first; equal counts (never in practice) by FASTA order.
        std::sort(candidates.begin(), candidates.end(), [](const auto& a, const auto& b) {
            return a.first != b.first ? a.first > b.first : a.second < b.second;
        });
        for (std::size_t k = 0; k < candidates.size() && k < top_n; ++k) {
            Analyte& p = analytes[candidates[k].second];
            const double isolated_mz = p.peak_mz(p.isolated);
            ScanSpec ms2;
            ms2.ms_level = 2;
            ms2.msn_value_1 = isolated_mz;
            ms2.msn_value_2 = std::round((3.4 * isolated_mz / 100.0 + 2.0) * 10.0) / 10.0;
            ms2.mz_first = ms2_first;
            ms2.mz_last = ms2_last;
            auto& peaks = ms2.peaks.emplace();
            peaks.format = summary.fragment_scans % 4 == 3 ? 2 : 3;
            fragment_peaks(rng, p, candidates[k].first, peaks.mz, peaks.intensity);
            p.last_fragmented = t;
            p.fragment_scans.push_back(scan_id);
            if (p.isolated != 0 && !p.sequence.empty()) ++summary.isolated_m1;
            if (auto ok = add_scan(ms2, t + static_cast<double>(k + 1) * scan_seconds); !ok) {
                return drop_truth(ok.error());
            }
        }
    }

    summary.peak_bytes = writer->peak_bytes();
    summary.profile_bytes = writer->profile_bytes();
    if (auto ok = writer->finish(); !ok) return drop_truth(ok.error());
    for (const Analyte& p : analytes) {
        const auto scans = static_cast<std::uint32_t>(p.fragment_scans.size());
        if (p.sequence.empty()) {
            ++summary.others;
            summary.other_fragment_scans += scans;
            continue;
        }
        summary.fragment_scans += scans;
        ++summary.peptides;
        summary.fragmented += p.fragment_scans.empty() ? 0U : 1U;
    }

    if (truth != nullptr) {
        // mkstemp makes the file 0600; a truth file is an ordinary output.
        const mode_t mask = ::umask(0);
        ::umask(mask);
        const std::string text = format_truth(analytes);
        bool ok = std::fwrite(text.data(), 1, text.size(), truth) == text.size();
        int error = ok ? 0 : errno;
        if (ok && ::fchmod(::fileno(truth), 0666 & ~mask) != 0) ok = false, error = errno;
        if (std::fclose(truth) != 0 && ok) ok = false, error = errno;
        if (ok && ::rename(truth_part.c_str(), o.truth.c_str()) != 0) ok = false, error = errno;
        if (!ok) {
            ::unlink(truth_part.c_str());
            return std::unexpected(o.truth + ": " + errno_text(error));
        }
    }
    return summary;
}

}  // namespace corvane::make_sample
