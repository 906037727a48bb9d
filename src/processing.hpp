// What corvane does to a scan's record after decoding it, when the caller asks: peak
// picking of profile scans, the precursor of fragment scans read from the MS1 isotope
// envelope (once the caller has declared which member of the index holds its m/z), and
// the per-spectrum peak filters. One door for every consumer: the analysis calls, meridel,
// the mzML and MGF writers and the report all take records from a Processor.
//
// A record is processed on the thread that decoded it. The result depends on the run and
// the options alone, never on the thread count or on the order in which scans are asked for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "reader.hpp"
#include "spectrum_record/types.hpp"

namespace corvane::processing {

// The member of a fragment scan's index entry that holds its precursor m/z. The index
// does not say; the user declares it (and can look at precursor_evidence first).
enum class PrecursorMember { msn_value_1, msn_value_2 };

// "msn_value_1" / "msn_value_2"; parse takes exactly those names.
[[nodiscard]] std::string_view member_name(PrecursorMember member);
[[nodiscard]] std::optional<PrecursorMember> parse_member(std::string_view name);

// The member's value in a record's precursor, when it holds a usable m/z (present, finite
// and above 0); nothing otherwise, never a made-up value.
[[nodiscard]] std::optional<double> member_value(const PrecursorInfo& precursor, PrecursorMember member);

struct Options {
    bool centroid = false;  // profile scans become centroid peaks (centroid.hpp)
    // Which member holds the precursor m/z; absent: records keep the index's values only.
    std::optional<PrecursorMember> precursor_mz;
    // Peak filters, applied after peak picking: points below min_intensity go, then all
    // but the top_n most intense (ties: the lower m/z stays); the points keep m/z order.
    // A NaN intensity is below every bound (it goes) and the least intense for top_n.
    // Both apply to every record returned, fragment scans included; the envelope of a
    // precursor is read from the MS1 scan's peaks before any filter.
    std::optional<std::size_t> top_n;
    std::optional<double> min_intensity;
    // m/z tolerance of the envelope search around a declared precursor (read_envelope).
    double envelope_ppm = 10.0;
};

// True when the options change nothing (a Processor then hands records on as decoded).
[[nodiscard]] bool is_plain(const Options& options);

// What the isotope envelope around a declared precursor m/z decides; both absent, or both
// present.
struct Envelope {
    std::optional<std::uint32_t> charge;
    std::optional<double> monoisotopic_mz;
};

// Reads the envelope around `value` from centroid peaks in ascending m/z (an MS1 scan's,
// unfiltered). The declared peak is the most intense peak within ppm of value (none: the
// envelope does not decide). Neighbouring isotope peaks are 1.003355/z apart (within ppm,
// widened by 0.0015 Da per isotope step for the spread of isotope spacings), and the
// heavier of two is at most 1.25 x 0.0008 x mass times the lighter (the expected count of
// heavy isotopes of a molecule that rich in carbon; a peptide has 0.00053 per Da), M+1 at
// least that count for the fewest heavy isotopes times M. A charge z in 1..6 is supported
// when the peak 1/z above the declared one is there, at 5% of its height or more and no
// taller than that bound, nor smaller than M+1 of a molecule that poor in carbon (0.0002
// per Da, over the slack) unless a plausible lighter isotope lies 1/z below the declared
// peak; when it is r >= 0.5 times the declared peak, the peak 2/z above must follow at 0.3
// min(r, 1) times it or more (an envelope's next ratio is at least half the last); when it
// is lower than the declared peak, a peak 2/z above taller than 1.25 times its height
// makes it a valley (an envelope has one summit: one of them is another ion's), and the
// support weak. The charge is the highest supported one, weak support counting only when
// no charge has strong support, provided every other supported charge divides it (a true
// charge z also shows a peak 1/d above for every divisor d of z); otherwise, or when no
// charge is supported, nothing is decided. The monoisotopic m/z is that of the lowest peak
// reached stepping down by 1.003355/z, at most 4 steps, while the next peak down is at
// least 20% of the one above it and that one within the bound against it, and, once a step
// went down in height, no step goes up again (an envelope has one summit).
[[nodiscard]] Envelope read_envelope(std::span<const double> mz, std::span<const float> intensity, double value,
                                     double ppm);

// Processes records of one reader's run. Thread-safe: record_at may be called from many
// threads at once. Keeps the picked peaks of the last 16 MS1 scans used for the fragment
// scans that follow them, each picked once even when several threads ask at once (an MS1
// scan processed itself while a member is declared fills its entry from that decoding).
// The reader must outlive it.
class Processor {
public:
    Processor(const Reader& reader, Options options);
    ~Processor();
    Processor(const Processor&) = delete;
    Processor& operator=(const Processor&) = delete;

    [[nodiscard]] const Options& options() const;
    [[nodiscard]] const Reader& reader() const;

    // The record of scan i of the run (reader.record_at(i)), processed. A record that
    // carries an error is handed on untouched (it stays as decoded, profile flag and all).
    // With a declared precursor member, a fragment scan's precursor gets a SelectedIon
    // (types.hpp) when its member holds a usable m/z, none otherwise; its envelope comes
    // from the nearest earlier MS1 scan (previous_ms1, whatever the caller selected).
    [[nodiscard]] SpectrumRecord record_at(std::size_t i) const;

    // Position in the run of the nearest MS1 scan before scan i, from the index alone.
    [[nodiscard]] std::optional<std::size_t> previous_ms1(std::size_t i) const;

    // For an ordered pool over the scans at these positions (ordered.hpp): the end of the
    // run of scans from k on that read the same MS1 scan's peaks (an MS1 scan and the
    // fragment scans after it), so that one worker makes them all and none waits for
    // another's picking. Empty when no precursor member is declared (nothing is shared).
    [[nodiscard]] std::function<std::size_t(std::size_t)> groups(std::span<const std::size_t> scans) const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

// How well one member's values match the run's MS1 data: for each fragment scan with a
// usable value in the member and an earlier MS1 scan, whether a centroid of the nearest
// earlier MS1 scan lies within ppm of it.
struct MemberEvidence {
    PrecursorMember member = PrecursorMember::msn_value_1;
    std::uint64_t fragment_scans = 0;  // MS level >= 2
    std::uint64_t with_value = 0;      // of them, with a usable value in the member
    std::uint64_t with_ms1 = 0;        // of those, with an earlier MS1 scan that decoded
    std::uint64_t matched = 0;         // of those, with a centroid within ppm
    // matched / fragment_scans (0 for a run without fragment scans)
    double share = 0.0;
    // Median of the signed errors (value - centroid) / centroid * 1e6 of the matched scans.
    std::optional<double> median_error_ppm;
};

// One entry per member, msn_value_1 first. Decodes the fragment scans and their MS1 scans
// on up to `threads` threads (0: analysis::default_threads()).
[[nodiscard]] std::vector<MemberEvidence> precursor_evidence(const Reader& reader, double ppm, unsigned threads);

}  // namespace corvane::processing
