// The peptide sample of corvane-make-sample --peptides FASTA: the tryptic peptides of the
// proteins elute over a data-dependent LC-MS/MS run (MS1 profile scans holding their
// isotope envelopes, MS2 centroid scans holding their b and y ions), with the ground truth
// beside it for the tests. How the run is built is told in peptides.cpp and
// docs/identify.md.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::make_sample {

// One entry of a FASTA file: the header's first word and the sequence in upper case.
struct Protein {
    std::string name;
    std::string sequence;
};

// The entries of FASTA text, read from `source` (named in messages). Blank lines, blanks
// and carriage returns are ignored, letters may be of either case. Fails with a one-line
// message ("SOURCE: line N: ...") for a sequence line before the first header, a header
// without a name, a character in a sequence that is not a letter, or no sequence at all.
[[nodiscard]] std::expected<std::vector<Protein>, std::string> parse_fasta(
    std::string_view text, const std::string& source);

// The same from a file; a file that cannot be read fails with "PATH: <reason>".
[[nodiscard]] std::expected<std::vector<Protein>, std::string> read_fasta(const std::string& path);

// The pieces of a protein that trypsin leaves: cut after K or R unless P follows, no
// missed cleavage. The pieces concatenate to the sequence.
[[nodiscard]] std::vector<std::string_view> tryptic_digest(std::string_view sequence);

// Numbers of atoms of the five elements of peptides.
struct Composition {
    int c = 0;
    int h = 0;
    int n = 0;
    int o = 0;
    int s = 0;
};

// The composition of a neutral peptide (its residues and one water), with cysteines
// carbamidomethylated (the search engines' default fixed modification); nothing when a
// letter is not one of the 20 amino acids.
[[nodiscard]] std::optional<Composition> peptide_composition(std::string_view sequence);

// Monoisotopic mass of a composition in Da.
[[nodiscard]] double monoisotopic_mass(const Composition& composition);

// Monoisotopic mass of one residue (carbamidomethyl C), 0 for a letter that is not an
// amino acid: the b and y ions are sums of these.
[[nodiscard]] double residue_mass(char residue);

// Relative abundances of the isotope peaks M, M+1, ... M+(count-1) of a composition, from
// the natural isotopes of C, H, N, O and S grouped by nominal mass (they sum to about 1).
[[nodiscard]] std::vector<double> isotope_abundances(const Composition& composition,
                                                     std::size_t count);

inline constexpr double proton_mass = 1.007276466812;
inline constexpr double water_mass = 18.0105646837;
// The spacing of a peptide's isotope peaks at charge 1 (13C - 12C).
inline constexpr double isotope_spacing = 1.003355;

struct PeptideRunOptions {
    std::string fasta;
    std::string dir;
    std::string truth;        // empty: no truth file
    std::uint32_t cycles = 200;  // MS1 scans, one every cycle_seconds
    double mz_low = 350.0;    // MS1 axis
    double mz_high = 1250.0;
    std::uint64_t seed = 1;
};

// The default MS1 axis of the peptide sample.
inline constexpr double peptide_mz_low = 350.0;
inline constexpr double peptide_mz_high = 1250.0;
// The MS1 axis step (a FWHM at m/z 350 spans 3.9 of them) and the widest axis in points
// (the other mode's --points bound).
inline constexpr double peptide_mz_step = 0.006;
inline constexpr double peptide_max_points = 10'000'000.0;

// What was written, for the tool's summary.
struct PeptideRunSummary {
    std::uint32_t scans = 0;
    std::uint32_t fragment_scans = 0;  // of the peptides
    std::uint64_t profile_points = 0;
    std::uint64_t profile_bytes = 0;
    std::uint64_t peak_bytes = 0;
    std::size_t peptides = 0;
    std::size_t fragmented = 0;       // peptides with at least one fragment scan
    std::size_t others = 0;                  // other compounds in the run
    std::uint32_t other_fragment_scans = 0;  // their fragment scans
    std::uint32_t isolated_m1 = 0;    // the peptides' fragment scans that isolated M+1
};

// Reads the FASTA, then writes the run to options.dir and the truth file (when asked).
// Fails with a one-line message; nothing is written when the FASTA is unusable (or holds
// no peptide for the MS1 axis) or the truth file cannot be created, and the truth file is
// removed again when the run cannot be written.
[[nodiscard]] std::expected<PeptideRunSummary, std::string> write_peptide_run(
    const PeptideRunOptions& options);

}  // namespace corvane::make_sample
