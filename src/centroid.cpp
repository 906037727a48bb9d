#include "centroid.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

namespace corvane::centroid {

namespace {

// The noise rule. A local maximum is a peak when its height reaches the threshold
//
//     T = min(noise_factor x N, 1% of the base peak)
//
// where N is the median of the scan's positive finite intensities (estimated from an even
// sample, below) and the base peak is the scan's highest finite intensity.
//
// - noise_factor x N drops the baseline chatter: on a noisy baseline most nonzero points
//   are noise, so N is the noise level, and noise rarely reaches several times its median
//   (the sample generator's chatter, counts 0..39 in patches, has N of about 8 and so a
//   threshold near 80, also above chatter riding on the far tail of a tall peak).
// - The 1% cap means no peak above 1% of the base peak is ever dropped, whatever the
//   noise estimate says (a scan that is mostly signal has a high N). The price: in a scan
//   whose base peak is less than 100 x noise_factor x N (weak signal, or noise alone),
//   local maxima of the noise above 1% of the base peak stay, as any picker keeping
//   everything above a share of the base peak would keep them.
constexpr float noise_factor = 10.0f;
constexpr float base_share = 0.01f;

// The median is estimated from about this many points, evenly spaced: enough for a stable
// median, few enough that the estimate costs a small fraction of the pass over the points.
constexpr std::size_t noise_samples = 1024;
// Fewer positive samples than this: the whole scan is used instead.
constexpr std::size_t min_noise_samples = 32;

// Bins of the noise histogram: the sign, exponent and top three mantissa bits of a float,
// so each bin spans an eighth of an octave (9% of its lower edge). Positive finite floats
// only, whose bit patterns order as their values.
constexpr unsigned bin_shift = 20;
constexpr std::size_t bin_count = std::size_t{1} << (32 - bin_shift - 1);

bool positive_finite(float y) { return y > 0.0f && y <= std::numeric_limits<float>::max(); }

// The lower edge of the bin holding the lower median of the positive finite intensities
// at every `stride`-th point; 0 when there are none. Sets `found` to how many there were.
float binned_median(std::span<const float> intensity, std::size_t stride, std::size_t& found) {
    std::array<std::uint32_t, bin_count> bins{};
    found = 0;
    for (std::size_t i = 0; i < intensity.size(); i += stride) {
        const float y = intensity[i];
        if (!positive_finite(y)) continue;
        ++bins[std::bit_cast<std::uint32_t>(y) >> bin_shift];
        ++found;
    }
    if (found == 0) return 0.0f;
    const std::size_t rank = (found - 1) / 2;  // 0-based rank of the lower median
    std::size_t seen = 0;
    for (std::size_t b = 0; b < bin_count; ++b) {
        seen += bins[b];
        if (seen > rank) return std::bit_cast<float>(static_cast<std::uint32_t>(b << bin_shift));
    }
    return 0.0f;  // not reached: the bins hold `found` values
}

// The noise level N of the rule above.
float noise_level(std::span<const float> intensity) {
    const std::size_t stride = std::max<std::size_t>(1, intensity.size() / noise_samples);
    std::size_t found = 0;
    const float level = binned_median(intensity, stride, found);
    if (found >= min_noise_samples || stride == 1) return level;
    return binned_median(intensity, 1, found);
}

// The highest finite intensity, or 0 when there is none above 0.
float base_peak(std::span<const float> intensity) {
    float top = 0.0f;
    for (const float y : intensity) {
        if (y > top && y <= std::numeric_limits<float>::max()) top = y;
    }
    return top;
}

bool finite(double v) { return std::isfinite(v); }

// Writes the peaks of every local maximum at or above `threshold` (> 0) and returns the
// highest finite intensity among the points at or above it (0 when none is).
//
// A local maximum is a point, or a run of equal points (a plateau), higher than the point
// before and the point after it. It needs a finite neighbour on each side with a finite
// m/z, so points at the ends of the axis and points next to NaN or infinite values never
// make a peak; nor does a maximum whose m/z neighbourhood is not strictly ascending (an
// axis of equal or disordered values has no m/z to give).
float scan_peaks(std::span<const double> mz, std::span<const float> in, float threshold, Peaks& out) {
    const std::size_t n = in.size();
    float top = 0.0f;
    for (const std::size_t end : {std::size_t{0}, n - 1}) {
        if (in[end] >= threshold && in[end] > top && in[end] <= std::numeric_limits<float>::max()) top = in[end];
    }
    double last_mz = -std::numeric_limits<double>::infinity();
    for (std::size_t i = 1; i + 1 < n; ++i) {
        const float y = in[i];
        // Most points of a scan are below the threshold: one test sends them on.
        if (!(y >= threshold)) continue;
        if (!(y <= std::numeric_limits<float>::max())) continue;  // +inf
        if (y > top) top = y;
        const float before = in[i - 1];
        if (!(y > before) || !(y >= in[i + 1])) continue;
        // The plateau i..j of points equal to y.
        std::size_t j = i;
        while (j + 1 < n && in[j + 1] == y) ++j;
        if (j + 1 == n) break;  // runs to the end of the axis
        const float after = in[j + 1];
        const std::size_t from = i;
        i = j;  // the loop goes on after the plateau
        if (!(after < y)) continue;  // rises again, or NaN after it
        if (!std::isfinite(before) || !std::isfinite(after)) continue;
        const double m_before = mz[from - 1];
        const double m_first = mz[from];
        const double m_last = mz[j];
        const double m_after = mz[j + 1];
        if (!finite(m_before) || !finite(m_first) || !finite(m_last) || !finite(m_after)) continue;
        if (!(m_before < m_first && m_first <= m_last && m_last < m_after)) continue;

        double centre;
        if (from != j) {
            // A plateau: the top is flat, its middle is the best guess.
            centre = 0.5 * (m_first + m_last);
        } else {
            // The vertex of the parabola through (-1, a), (0, b), (1, c), as an offset in
            // points: through the logarithms (a Gaussian's top, exact for a Gaussian peak)
            // when both neighbours are above 0, through the heights otherwise. b is above
            // a and c, so the offset lies within half a point either way; the clamp only
            // guards against rounding.
            const double a = before;
            const double b = y;
            const double c = after;
            double offset = 0.0;
            if (a > 0.0 && c > 0.0) {
                const double la = std::log(a);
                const double lb = std::log(b);
                const double lc = std::log(c);
                const double curvature = la - 2.0 * lb + lc;
                if (curvature < 0.0) offset = 0.5 * (la - lc) / curvature;
            } else {
                const double curvature = a - 2.0 * b + c;
                if (curvature < 0.0) offset = 0.5 * (a - c) / curvature;
            }
            offset = std::clamp(offset, -0.5, 0.5);
            centre = offset >= 0.0 ? m_first + offset * (m_after - m_first) : m_first + offset * (m_first - m_before);
        }
        // Ascending output even from an uneven axis; on an even axis this always holds.
        if (!(centre > last_mz)) continue;
        last_mz = centre;
        out.mz.push_back(centre);
        out.intensity.push_back(y);
    }
    return top;
}

}  // namespace

// Peaks: each local maximum that passes the noise rule above gives one peak; its m/z is
// the interpolated vertex (log-parabola, or the plain parabola when a neighbour is 0 or
// below, or the middle of a plateau), never outside its neighbours' m/z; its intensity is
// the apex point's height as measured (not an interpolated height, which a steep peak
// sampled by few points can overshoot by a large factor).
Peaks pick(std::span<const double> mz, std::span<const float> intensity) {
    Peaks peaks;
    const std::size_t n = std::min(mz.size(), intensity.size());
    if (n < 3) return peaks;
    mz = mz.first(n);
    intensity = intensity.first(n);

    const float noise = noise_level(intensity);
    if (noise <= 0.0f) return peaks;  // nothing above 0: no peak
    // A profile scan of n points holds at most n / 2 maxima; most hold far fewer. This
    // reserve covers a typical scan's peaks without holding memory for the worst case.
    const std::size_t guess = std::min<std::size_t>(n / 2, 64 + n / 64);
    peaks.mz.reserve(guess);
    peaks.intensity.reserve(guess);

    const float noise_threshold = noise_factor * noise;
    const float top = scan_peaks(mz, intensity, noise_threshold, peaks);
    // top is the base peak when any point reached the noise threshold; the threshold then
    // stands unless 1% of the base peak lies below it.
    if (top > 0.0f && base_share * top >= noise_threshold) return peaks;
    const float base = top > 0.0f ? top : base_peak(intensity);
    if (!(base > 0.0f)) return peaks;
    // Never 0: a base peak near the smallest float must not let every point through.
    const float threshold = std::max(base_share * base, std::numeric_limits<float>::denorm_min());
    peaks.mz.clear();
    peaks.intensity.clear();
    scan_peaks(mz, intensity, threshold, peaks);
    return peaks;
}

}  // namespace corvane::centroid
