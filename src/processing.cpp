#include "processing.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <exception>
#include <future>
#include <mutex>
#include <utility>

#include "analysis.hpp"
#include "centroid.hpp"
#include "ordered.hpp"

namespace corvane::processing {

namespace {

// The mass difference of 13C and 12C: the spacing of an isotope envelope at charge 1.
constexpr double isotope_step = 1.003355;
// Isotopes of other elements (15N, 2H, 18O, 34S) shift the mean spacing of a heavier
// isotope peak by up to about a millidalton per step; this much per step widens the
// tolerance of each isotope peak beyond envelope_ppm.
constexpr double spacing_slack = 0.0015;
// Charges tried: 1 to 6 covers small molecules and tryptic peptides; higher charges need
// a resolution that puts isotope peaks 0.14 apart, where the window would hold chatter.
constexpr std::uint32_t max_charge = 6;
// Heights of neighbouring isotope peaks. In an isotope envelope the heavier of two
// neighbours (M+j against M+j-1) is about lambda / j times the lighter one, lambda being
// the molecule's expected number of heavy isotopes: so at most lambda times. lambda grows
// with the mass, fastest for a hydrocarbon (13C and 2H, 0.0008 per Da; a peptide has
// 0.00053 per Da); with a quarter more for the noise of peak heights, this bounds how
// tall a heavier neighbour may be.
constexpr double heavy_isotopes_per_dalton = 0.0008;
constexpr double height_slack = 1.25;
// And at least this many per Da (an organic molecule as poor in carbon as they come, one
// carbon per 50 Da): a declared peak that is M of its envelope has its M+1 at lambda of it
// or more, so a first isotope peak smaller than that says the declared peak is not M, and
// then M or another lighter isotope lies 1/z below it.
constexpr double fewest_heavy_isotopes_per_dalton = 0.0002;
// A charge's first isotope peak must also be at least this share of the declared peak
// (M+1 of a molecule of 100 Da is 5% of M; a smaller peak there is noise or another ion).
constexpr double first_ratio_low = 0.05;
// The peak after the first isotope peak: with the first at r times the declared one
// (lambda / j), the next is at least r / 2 times the first (lambda / (j + 1)). Where r is
// this large the next one is tall enough to be seen, and must be there, at this share of
// r (less than a half, for the noise of heights) times the first, r taken at most 1.
constexpr double next_needed_from = 0.5;
constexpr double next_share = 0.3;
// The step down towards the monoisotopic peak takes a peak only when it is at least this
// share of the one above it: M is about 45% of M+1 at 4 kDa, and falls under 20% only
// beyond about 9 kDa; a smaller peak there is another compound or noise.
constexpr double lighter_share = 0.2;
// The monoisotopic peak lies at most this many steps below the declared one (the most
// abundant isotope of a peptide up to about 6 kDa is at most M+3).
constexpr int max_steps_down = 4;
// Picked MS1 scans the Processor keeps. The fragment scans of one MS1 scan come right after
// it, and the ordered engine has at most a few scans per thread in flight, so the MS1 scan
// a fragment scan needs is nearly always among the last few.
constexpr std::size_t cache_size = 16;

// The index of the most intense peak within [target - tol, target + tol] (ties: the lower
// m/z), or mz.size() when there is none. mz ascends.
std::size_t find_peak(std::span<const double> mz, std::span<const float> intensity, double target, double tol) {
    std::size_t best = mz.size();
    const auto from = std::lower_bound(mz.begin(), mz.end(), target - tol);
    for (auto it = from; it != mz.end() && *it <= target + tol; ++it) {
        const auto k = static_cast<std::size_t>(it - mz.begin());
        if (best == mz.size() || intensity[k] > intensity[best]) best = k;
    }
    return best;
}

// The peaks of an MS1 scan the envelope and the evidence are read from: its centroid peaks
// in ascending m/z (profile data picked, centroid data as recorded, ordered by m/z, without
// points whose m/z or intensity is not finite).
struct Ms1Peaks {
    bool decoded = false;  // false: the record carried an error, there are no peaks
    std::string native_id;
    std::vector<double> mz;
    std::vector<float> intensity;
};

Ms1Peaks ms1_peaks(const SpectrumRecord& record) {
    Ms1Peaks peaks;
    if (record.error) return peaks;
    peaks.decoded = true;
    peaks.native_id = record.native_id;
    if (record.is_profile) {
        centroid::Peaks picked = centroid::pick(record.mz, record.intensity);
        peaks.mz = std::move(picked.mz);
        peaks.intensity = std::move(picked.intensity);
        return peaks;
    }
    const std::size_t n = std::min(record.mz.size(), record.intensity.size());
    std::vector<std::size_t> order;
    order.reserve(n);
    for (std::size_t k = 0; k < n; ++k) {
        if (std::isfinite(record.mz[k]) && std::isfinite(record.intensity[k])) order.push_back(k);
    }
    // Peak lists may be unsorted; ties keep their recorded order.
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return record.mz[a] < record.mz[b] || (record.mz[a] == record.mz[b] && a < b);
    });
    peaks.mz.reserve(order.size());
    peaks.intensity.reserve(order.size());
    for (const std::size_t k : order) {
        peaks.mz.push_back(record.mz[k]);
        peaks.intensity.push_back(record.intensity[k]);
    }
    return peaks;
}

// Keeps the points whose flag is set, in their order.
void keep_points(SpectrumRecord& record, const std::vector<char>& keep) {
    std::size_t out = 0;
    for (std::size_t k = 0; k < keep.size(); ++k) {
        if (!keep[k]) continue;
        record.mz[out] = record.mz[k];
        record.intensity[out] = record.intensity[k];
        ++out;
    }
    record.mz.resize(out);
    record.intensity.resize(out);
}

// The peak filters of the options, in their order: min_intensity, then top_n.
void filter(SpectrumRecord& record, const Options& options) {
    const std::size_t n = std::min(record.mz.size(), record.intensity.size());
    record.mz.resize(n);
    record.intensity.resize(n);
    if (options.min_intensity) {
        // A point stays when its intensity is at least the bound: a NaN intensity is not,
        // and goes. A NaN bound (a caller's slip) drops nothing rather than everything.
        const double low = *options.min_intensity;
        std::vector<char> keep(n, 1);
        if (!std::isnan(low)) {
            for (std::size_t k = 0; k < n; ++k) keep[k] = static_cast<double>(record.intensity[k]) >= low;
        }
        keep_points(record, keep);
    }
    if (options.top_n && record.mz.size() > *options.top_n) {
        const auto& mz = record.mz;
        const auto& in = record.intensity;
        // Higher intensity first, NaN last; ties: the lower m/z (NaN last), then the
        // earlier point. A strict order, so the N kept never depend on the sort.
        auto better = [&](std::size_t a, std::size_t b) {
            const bool na = std::isnan(in[a]);
            const bool nb = std::isnan(in[b]);
            if (na != nb) return nb;
            if (!na && in[a] != in[b]) return in[a] > in[b];
            const bool ma = std::isnan(mz[a]);
            const bool mb = std::isnan(mz[b]);
            if (ma != mb) return mb;
            if (!ma && mz[a] != mz[b]) return mz[a] < mz[b];
            return a < b;
        };
        std::vector<std::size_t> order(mz.size());
        for (std::size_t k = 0; k < order.size(); ++k) order[k] = k;
        const auto top = static_cast<std::ptrdiff_t>(*options.top_n);
        std::nth_element(order.begin(), order.begin() + top, order.end(), better);
        std::vector<char> keep(mz.size(), 0);
        for (auto it = order.begin(); it != order.begin() + top; ++it) keep[*it] = 1;
        keep_points(record, keep);
    }
}

}  // namespace

std::string_view member_name(PrecursorMember member) {
    return member == PrecursorMember::msn_value_1 ? "msn_value_1" : "msn_value_2";
}

std::optional<PrecursorMember> parse_member(std::string_view name) {
    if (name == "msn_value_1") return PrecursorMember::msn_value_1;
    if (name == "msn_value_2") return PrecursorMember::msn_value_2;
    return std::nullopt;
}

std::optional<double> member_value(const PrecursorInfo& precursor, PrecursorMember member) {
    const std::optional<double>& value =
        member == PrecursorMember::msn_value_1 ? precursor.msn_value_1 : precursor.msn_value_2;
    if (value && std::isfinite(*value) && *value > 0.0) return value;
    return std::nullopt;
}

bool is_plain(const Options& options) {
    return !options.centroid && !options.precursor_mz && !options.top_n && !options.min_intensity;
}

Envelope read_envelope(std::span<const double> mz, std::span<const float> intensity, double value, double ppm) {
    Envelope envelope;
    const std::size_t n = std::min(mz.size(), intensity.size());
    mz = mz.first(n);
    intensity = intensity.first(n);
    if (!std::isfinite(value) || !(ppm >= 0.0) || !std::isfinite(ppm)) return envelope;
    const std::size_t p0 = find_peak(mz, intensity, value, value * ppm * 1e-6);
    if (p0 == n || !(intensity[p0] > 0.0f)) return envelope;
    const double base_mz = mz[p0];
    const double base_height = intensity[p0];
    // The tolerance of the isotope peak k steps of 1/z away from the declared peak.
    auto tolerance = [&](double at, int k, std::uint32_t z) {
        return at * ppm * 1e-6 + spacing_slack * k / static_cast<double>(z);
    };

    // The most a heavier neighbour may be, relative to a lighter one at m/z `at`; and the
    // least M+1 may be relative to M there.
    auto heaviest = [](double at, std::uint32_t z) {
        return height_slack * heavy_isotopes_per_dalton * at * static_cast<double>(z);
    };
    auto least_first = [](double at, std::uint32_t z) {
        return fewest_heavy_isotopes_per_dalton * at * static_cast<double>(z) / height_slack;
    };
    // Whether a plausible lighter isotope of the peak at index k lies 1/z below it.
    auto lighter_below = [&](std::size_t k, std::uint32_t z) {
        const double at = mz[k] - isotope_step / z;
        const std::size_t q = find_peak(mz, intensity, at, tolerance(at, 1, z));
        return q != n && static_cast<double>(intensity[q]) >= lighter_share * intensity[k] &&
               static_cast<double>(intensity[k]) <= heaviest(mz[q], z) * intensity[q];
    };

    // A charge z is supported when its first isotope peak, 1/z above the declared one, is
    // there with a plausible height (at least 5% of the declared peak, at most what the
    // mass z x m/z allows, and at least what it allows for M+1 unless a lighter isotope
    // lies below); when it is half the declared peak or more, the next one, 2/z above,
    // must follow (above). When it is lower than the declared peak the envelope is
    // past its summit, and a peak 2/z above taller than it (with the slack) makes it a
    // valley: one of the two belongs to another ion, and the support is weak.
    //
    // A true charge z also supports every divisor d of z: the peak 1/d above is its
    // (z/d)-th isotope. So the highest supported charge is the answer, provided every
    // other supported charge divides it; a supported charge that does not (a peak of
    // another compound at 1/d) makes the envelope contradictory. Weak support counts only
    // when no charge has strong support.
    bool strong[max_charge + 1] = {};
    bool weak[max_charge + 1] = {};
    for (std::uint32_t z = 1; z <= max_charge; ++z) {
        const double at = base_mz + isotope_step / z;
        const std::size_t q = find_peak(mz, intensity, at, tolerance(at, 1, z));
        if (q == n) continue;
        const double ratio = static_cast<double>(intensity[q]) / base_height;
        if (!(ratio >= first_ratio_low && ratio <= heaviest(base_mz, z))) continue;
        if (ratio < least_first(base_mz, z) && !lighter_below(p0, z)) continue;
        const double next_at = base_mz + 2.0 * isotope_step / z;
        const std::size_t next = find_peak(mz, intensity, next_at, tolerance(next_at, 2, z));
        const double next_ratio = next == n ? 0.0 : static_cast<double>(intensity[next]) / intensity[q];
        if (ratio >= next_needed_from && !(next_ratio >= next_share * std::min(ratio, 1.0))) continue;
        if (ratio > 1.0) {
            strong[z] = next_ratio <= heaviest(mz[q], z);
        } else {
            strong[z] = next_ratio <= height_slack;
            weak[z] = !strong[z];
        }
    }
    const bool any_strong = std::find(std::begin(strong), std::end(strong), true) != std::end(strong);
    const bool* supported = any_strong ? strong : weak;
    std::uint32_t charge = 0;
    for (std::uint32_t z = 1; z <= max_charge; ++z) {
        if (supported[z]) charge = z;
    }
    if (charge == 0) return envelope;
    for (std::uint32_t d = 1; d < charge; ++d) {
        if (supported[d] && charge % d != 0) return envelope;
    }

    // The monoisotopic peak: step down by 1/z while a plausible lighter isotope is there:
    // at least 20% of the one above it, which in turn is at most what the mass allows
    // against it; and, the envelope having one summit, once a step went down in height
    // (the summit passed), no later step goes up again.
    std::size_t current = p0;
    bool past_summit = false;
    for (int k = 1; k <= max_steps_down; ++k) {
        const double at = base_mz - k * isotope_step / charge;
        const std::size_t q = find_peak(mz, intensity, at, tolerance(at, k, charge));
        if (q == n) break;
        const double lighter = intensity[q];
        const double heavier = intensity[current];
        if (!(lighter >= lighter_share * heavier) || !(heavier <= heaviest(mz[q], charge) * lighter)) break;
        if (past_summit && lighter > heavier) break;
        past_summit = past_summit || lighter < heavier;
        current = q;
    }
    envelope.charge = charge;
    envelope.monoisotopic_mz = mz[current];
    return envelope;
}

struct Processor::State {
    struct Entry {
        std::size_t scan = 0;
        std::uint64_t id = 0;    // which claim made it, so a failed one removes only itself
        std::uint64_t used = 0;  // last use, for eviction
        std::shared_future<std::shared_ptr<const Ms1Peaks>> peaks;
    };

    State(const Reader& r, Options o) : reader(r), options(std::move(o)) {
        const auto& records = reader.scans().records;
        feeds.assign(records.size(), 0);
        for (std::size_t i = 0; i < records.size(); ++i) {
            if (records[i].ms_level == 1) {
                ms1.push_back(i);
            } else if (records[i].ms_level >= 2 && !ms1.empty()) {
                feeds[ms1.back()] = 1;
            }
        }
    }

    // The cache entry of MS1 scan `scan`. When there was none, a new one is made and its
    // promise returned: the caller must fulfil it (publish) or withdraw it (fail).
    std::optional<std::pair<std::promise<std::shared_ptr<const Ms1Peaks>>, std::uint64_t>> claim(
        std::size_t scan, std::shared_future<std::shared_ptr<const Ms1Peaks>>& out) {
        const std::lock_guard lock(mutex);
        ++tick;
        for (Entry& e : cache) {
            if (e.scan == scan) {
                e.used = tick;
                out = e.peaks;
                return std::nullopt;
            }
        }
        std::promise<std::shared_ptr<const Ms1Peaks>> promise;
        out = promise.get_future().share();
        if (cache.size() == cache_size) {
            // The least recently used entry goes; whoever still waits on it keeps its future.
            auto oldest = std::min_element(cache.begin(), cache.end(),
                                           [](const Entry& a, const Entry& b) { return a.used < b.used; });
            cache.erase(oldest);
        }
        cache.push_back({scan, tick, tick, out});
        return std::make_pair(std::move(promise), tick);
    }

    // Withdraws a claim whose computation failed, so a later call tries again.
    void forget(std::size_t scan, std::uint64_t id) {
        const std::lock_guard lock(mutex);
        std::erase_if(cache, [&](const Entry& e) { return e.scan == scan && e.id == id; });
    }

    // The picked peaks of MS1 scan `scan`, computed once while they stay in the cache.
    std::shared_ptr<const Ms1Peaks> peaks_of(std::size_t scan) {
        std::shared_future<std::shared_ptr<const Ms1Peaks>> future;
        if (auto claimed = claim(scan, future)) {
            try {
                claimed->first.set_value(std::make_shared<const Ms1Peaks>(ms1_peaks(reader.record_at(scan))));
            } catch (...) {
                forget(scan, claimed->second);
                claimed->first.set_exception(std::current_exception());
            }
        }
        return future.get();
    }

    const Reader& reader;
    const Options options;
    std::vector<std::size_t> ms1;  // positions of the MS1 scans, ascending
    std::vector<char> feeds;       // by position: an MS1 scan with fragment scans after it
    std::mutex mutex;
    std::vector<Entry> cache;
    std::uint64_t tick = 0;
};

Processor::Processor(const Reader& reader, Options options)
    : state_(std::make_unique<State>(reader, std::move(options))) {}

Processor::~Processor() = default;

const Options& Processor::options() const { return state_->options; }

const Reader& Processor::reader() const { return state_->reader; }

std::optional<std::size_t> Processor::previous_ms1(std::size_t i) const {
    const auto& ms1 = state_->ms1;
    const auto it = std::lower_bound(ms1.begin(), ms1.end(), i);
    if (it == ms1.begin()) return std::nullopt;
    return *std::prev(it);
}

std::function<std::size_t(std::size_t)> Processor::groups(std::span<const std::size_t> scans) const {
    if (!state_->options.precursor_mz) return {};
    const auto& records = state_->reader.scans().records;
    // The MS1 scan whose peaks a scan reads or fills: its own for an MS1 scan.
    const auto source = [&](std::size_t i) -> std::optional<std::size_t> {
        if (records[i].ms_level == 1) return i;
        return previous_ms1(i);
    };
    auto ends = std::make_shared<std::vector<std::size_t>>(scans.size());
    for (std::size_t k = scans.size(); k-- > 0;) {
        const bool joined = k + 1 < scans.size() && source(scans[k + 1]) == source(scans[k]);
        (*ends)[k] = joined ? (*ends)[k + 1] : k + 1;
    }
    return [ends](std::size_t k) { return k < ends->size() ? (*ends)[k] : k + 1; };
}

SpectrumRecord Processor::record_at(std::size_t i) const {
    State& s = *state_;
    const Options& o = s.options;
    if (is_plain(o)) return s.reader.record_at(i);

    // An MS1 scan read while a precursor member is declared will be needed by the fragment
    // scans after it (when there are any): its picked peaks go into the cache now, from
    // this decoding, unless they are there already.
    std::optional<std::pair<std::promise<std::shared_ptr<const Ms1Peaks>>, std::uint64_t>> claimed;
    if (o.precursor_mz && s.feeds[i]) {
        std::shared_future<std::shared_ptr<const Ms1Peaks>> unused;
        claimed = s.claim(i, unused);
    }
    SpectrumRecord record;
    try {
        record = s.reader.record_at(i);
        if (claimed) {
            auto peaks = std::make_shared<Ms1Peaks>(ms1_peaks(record));
            if (o.centroid && record.is_profile && !record.error) {
                // The record's own peaks are the ones just picked: no second pick.
                record.mz = peaks->mz;
                record.intensity = peaks->intensity;
                record.is_profile = false;
            }
            claimed->first.set_value(std::move(peaks));
            claimed.reset();
        }
    } catch (...) {
        if (claimed) {
            s.forget(i, claimed->second);
            claimed->first.set_exception(std::current_exception());
        }
        throw;
    }
    if (record.error) return record;

    if (o.centroid && record.is_profile) {
        centroid::Peaks picked = centroid::pick(record.mz, record.intensity);
        record.mz = std::move(picked.mz);
        record.intensity = std::move(picked.intensity);
        record.is_profile = false;
    }
    if (o.min_intensity || o.top_n) filter(record, o);

    if (o.precursor_mz && record.ms_level >= 2 && record.precursor) {
        record.precursor->selected_ion.reset();
        if (const auto value = member_value(*record.precursor, *o.precursor_mz)) {
            SelectedIon ion;
            ion.mz = *value;
            if (const auto parent = previous_ms1(i)) {
                const std::shared_ptr<const Ms1Peaks> peaks = s.peaks_of(*parent);
                if (peaks->decoded) {
                    ion.envelope_scan = peaks->native_id;
                    const Envelope envelope = read_envelope(peaks->mz, peaks->intensity, *value, o.envelope_ppm);
                    ion.charge = envelope.charge;
                    ion.monoisotopic_mz = envelope.monoisotopic_mz;
                }
            }
            record.precursor->selected_ion = std::move(ion);
        }
    }
    return record;
}

namespace {

// The fragment scans that share one nearest earlier MS1 scan (none: before any MS1 scan).
struct EvidenceGroup {
    std::optional<std::size_t> ms1;
    std::vector<std::size_t> fragments;
};

// What one group adds to each member's evidence.
struct EvidencePart {
    struct Member {
        std::uint64_t with_value = 0;
        std::uint64_t with_ms1 = 0;
        std::vector<double> errors;  // signed ppm of each matched scan, in scan order
    };
    Member members[2];
};

// The signed error in ppm of value against the nearest peak, when one lies within ppm.
std::optional<double> match(const Ms1Peaks& peaks, double value, double ppm) {
    const auto& mz = peaks.mz;
    const auto it = std::lower_bound(mz.begin(), mz.end(), value);
    std::optional<double> nearest;
    if (it != mz.end()) nearest = *it;
    if (it != mz.begin() && (!nearest || value - *std::prev(it) < *nearest - value)) nearest = *std::prev(it);
    if (!nearest || !(*nearest > 0.0)) return std::nullopt;
    const double error = (value - *nearest) / *nearest * 1e6;
    if (!(std::abs(error) <= ppm)) return std::nullopt;
    return error;
}

}  // namespace

std::vector<MemberEvidence> precursor_evidence(const Reader& reader, double ppm, unsigned threads) {
    if (threads == 0) threads = analysis::default_threads();
    const auto& records = reader.scans().records;
    std::vector<EvidenceGroup> groups;
    std::uint64_t fragment_scans = 0;
    std::optional<std::size_t> last_ms1;
    for (std::size_t i = 0; i < records.size(); ++i) {
        if (records[i].ms_level == 1) {
            last_ms1 = i;
        } else if (records[i].ms_level >= 2) {
            ++fragment_scans;
            if (groups.empty() || groups.back().ms1 != last_ms1) groups.push_back({last_ms1, {}});
            groups.back().fragments.push_back(i);
        }
    }

    constexpr PrecursorMember members[2] = {PrecursorMember::msn_value_1, PrecursorMember::msn_value_2};
    std::vector<MemberEvidence> evidence(2);
    std::vector<double> errors[2];
    for (int m = 0; m < 2; ++m) {
        evidence[static_cast<std::size_t>(m)].member = members[m];
        evidence[static_cast<std::size_t>(m)].fragment_scans = fragment_scans;
    }
    for_each_ordered<EvidencePart>(
        groups.size(), threads,
        [&](std::size_t k) {
            const EvidenceGroup& group = groups[k];
            EvidencePart part;
            std::optional<Ms1Peaks> peaks;
            for (const std::size_t f : group.fragments) {
                const SpectrumRecord record = reader.record_at(f);
                if (!record.precursor) continue;
                for (int m = 0; m < 2; ++m) {
                    const auto value = member_value(*record.precursor, members[m]);
                    if (!value) continue;
                    auto& counts = part.members[m];
                    ++counts.with_value;
                    if (!group.ms1) continue;
                    // The MS1 scan is decoded once per group, and only when a value needs it.
                    if (!peaks) peaks = ms1_peaks(reader.record_at(*group.ms1));
                    if (!peaks->decoded) continue;
                    ++counts.with_ms1;
                    if (const auto error = match(*peaks, *value, ppm)) counts.errors.push_back(*error);
                }
            }
            return part;
        },
        [&](std::size_t, EvidencePart&& part) {
            for (int m = 0; m < 2; ++m) {
                auto& e = evidence[static_cast<std::size_t>(m)];
                e.with_value += part.members[m].with_value;
                e.with_ms1 += part.members[m].with_ms1;
                e.matched += part.members[m].errors.size();
                errors[m].insert(errors[m].end(), part.members[m].errors.begin(), part.members[m].errors.end());
            }
            return true;
        });
    for (int m = 0; m < 2; ++m) {
        auto& e = evidence[static_cast<std::size_t>(m)];
        auto& list = errors[m];
        e.share = fragment_scans == 0 ? 0.0 : static_cast<double>(e.matched) / static_cast<double>(fragment_scans);
        if (list.empty()) continue;
        std::sort(list.begin(), list.end());
        const std::size_t mid = list.size() / 2;
        e.median_error_ppm = list.size() % 2 == 1 ? list[mid] : 0.5 * (list[mid - 1] + list[mid]);
    }
    return evidence;
}

}  // namespace corvane::processing
