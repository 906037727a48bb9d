// The one reduction of a spectrum's intensities to its totals: the total ion current and
// the base peak. meridel's tic() and bpc(), the report's chromatograms and the mzML
// writer's chromatogram and per-spectrum terms all take their values from here, so they
// agree to the last bit. Adding a chromatogram kind means a new Trace and its line in
// trace_value (and a name where a format spells it).
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <limits>
#include <optional>
#include <span>
#include <string_view>

namespace corvane {

struct IonTotals {
    double total_ion_current = 0.0;         // 0 for an empty spectrum
    std::optional<std::size_t> base_peak;   // first index of the highest intensity; none
                                            // when empty or every intensity is NaN
    double base_peak_intensity = 0.0;       // its intensity widened, 0 without one
};

// The summation order is part of the result: four lanes over the points (lane i % 4,
// the last n % 4 points into lane 0), added as (l0 + l1) + (l2 + l3). One chain of
// dependent additions would be the slowest part of a chromatogram over decoded points;
// four independent ones run at the speed of the loads. The sum is as good as a
// sequential one, in another order. Comparisons with NaN are false: NaN is never the
// highest value.
[[nodiscard]] inline IonTotals ion_totals(std::span<const float> intensity) {
    constexpr float finf = std::numeric_limits<float>::infinity();
    std::array<double, 4> total{};
    std::array<float, 4> top{-finf, -finf, -finf, -finf};
    std::size_t i = 0;
    for (; intensity.size() - i >= 4; i += 4) {
        for (std::size_t lane = 0; lane < 4; ++lane) {
            const float v = intensity[i + lane];
            total[lane] += static_cast<double>(v);
            top[lane] = v > top[lane] ? v : top[lane];
        }
    }
    for (; i < intensity.size(); ++i) {
        total[0] += static_cast<double>(intensity[i]);
        top[0] = intensity[i] > top[0] ? intensity[i] : top[0];
    }
    IonTotals totals;
    totals.total_ion_current = (total[0] + total[1]) + (total[2] + total[3]);
    const float best = std::max(std::max(top[0], top[1]), std::max(top[2], top[3]));
    const auto at = std::find(intensity.begin(), intensity.end(), best);
    if (at != intensity.end()) {
        totals.base_peak = static_cast<std::size_t>(at - intensity.begin());
        totals.base_peak_intensity = static_cast<double>(best);
    }
    return totals;
}

// The lowest and highest m/z, NaN ignored; nothing for an empty or all-NaN array.
struct MzRange {
    std::optional<double> lowest;
    std::optional<double> highest;
};

[[nodiscard]] inline MzRange mz_range(std::span<const double> mz) {
    // Four lanes, as above: this runs over every point of a run.
    constexpr double inf = std::numeric_limits<double>::infinity();
    std::array<double, 4> low{inf, inf, inf, inf};
    std::array<double, 4> high{-inf, -inf, -inf, -inf};
    std::size_t j = 0;
    for (; mz.size() - j >= 4; j += 4) {
        for (std::size_t lane = 0; lane < 4; ++lane) {
            const double m = mz[j + lane];
            low[lane] = m < low[lane] ? m : low[lane];
            high[lane] = m > high[lane] ? m : high[lane];
        }
    }
    for (; j < mz.size(); ++j) {
        low[0] = mz[j] < low[0] ? mz[j] : low[0];
        high[0] = mz[j] > high[0] ? mz[j] : high[0];
    }
    const double lowest = std::min(std::min(low[0], low[1]), std::min(low[2], low[3]));
    const double highest = std::max(std::max(high[0], high[1]), std::max(high[2], high[3]));
    if (!(lowest <= highest)) return {};
    return {lowest, highest};
}

// The chromatograms a run is reduced to, one value per spectrum.
enum class Trace { tic, bpc };
inline constexpr std::array<Trace, 2> all_traces{Trace::tic, Trace::bpc};

// The value a spectrum with these totals gives the trace.
[[nodiscard]] constexpr double trace_value(Trace trace, const IonTotals& totals) {
    switch (trace) {
        case Trace::tic: return totals.total_ion_current;
        case Trace::bpc: return totals.base_peak_intensity;
    }
    return 0.0;
}

// The trace's short name, as chromatogram identifiers and meridel's kind spell it.
[[nodiscard]] constexpr std::string_view trace_name(Trace trace) {
    switch (trace) {
        case Trace::tic: return "TIC";
        case Trace::bpc: return "BPC";
    }
    return "";
}

}  // namespace corvane
