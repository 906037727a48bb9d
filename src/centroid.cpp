#include "centroid.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

namespace corvane::centroid {

namespace {

// The noise rule. A local maximum is a peak when its height reaches the threshold
//
//     T = min(10 N, max(1% of the base peak, F))
//
// where N is the median of the scan's positive finite intensities, the base peak is its
// highest finite intensity, and the floor F is 6 N when those positive intensities look
// like noise, 0 otherwise. So a peak is kept when it reaches 10 N, or when it reaches both
// 1% of the base peak and the floor.
//
// - On a noisy baseline most nonzero points are noise, so N is the noise level and noise
//   rarely reaches several times its median. The sample generator's chatter (counts 0..39
//   in patches) has N of about 8: 6 N is above its highest count, so a scan of chatter
//   alone gives no peak; 10 N (about 80) is also above chatter riding on the far tail of
//   a tall peak, where the tail falls too slowly to hide it.
// - Noise has its positive values within a narrow range (the chatter's upper quartile is
//   about 4 times its lower one, as for most noise distributions); the points of clean
//   peaks on a zero baseline spread over decades. When the upper quartile of the positive
//   intensities is 20 times the lower one or more, or fewer than 32 points are positive,
//   N is the peaks' own level, not noise, and no floor applies.
// - Between 10 N and the floor, 1% of the base peak decides: no peak above 1% of the base
//   peak is dropped unless it is within the floor (in a scan of strong peaks, 1% of the
//   base peak is far above 10 N, and everything above 10 N stays).
constexpr float noise_factor = 10.0f;
constexpr float floor_factor = 6.0f;
constexpr float base_share = 0.01f;
constexpr float noise_spread = 20.0f;

// The quartiles are estimated from about this many points, evenly spaced: enough for
// stable quartiles, few enough that the estimate costs a small fraction of the pass over
// the points.
constexpr std::size_t noise_samples = 1024;
// Fewer positive samples than this: the whole scan is used instead; fewer positive points
// than this in the whole scan: too few to tell noise, no floor.
constexpr std::size_t min_noise_samples = 32;

// Bins of the noise histogram: the sign, exponent and top three mantissa bits of a float,
// so each bin spans an eighth of an octave (9% of its lower edge). Positive finite floats
// only, whose bit patterns order as their values.
constexpr unsigned bin_shift = 20;
constexpr std::size_t bin_count = std::size_t{1} << (32 - bin_shift - 1);

bool positive_finite(float y) { return y > 0.0f && y <= std::numeric_limits<float>::max(); }

struct Noise {
    float level = 0.0f;  // N: 0 when no intensity is positive
    float floor = 0.0f;  // F
};

// The quartiles of the positive finite intensities at every `stride`-th point, each as
// the lower edge of its histogram bin. Sets `found` to how many there were.
struct Quartiles {
    float low = 0.0f;
    float median = 0.0f;
    float high = 0.0f;
};
Quartiles binned_quartiles(std::span<const float> intensity, std::size_t stride, std::size_t& found) {
    std::array<std::uint32_t, bin_count> bins{};
    found = 0;
    for (std::size_t i = 0; i < intensity.size(); i += stride) {
        const float y = intensity[i];
        if (!positive_finite(y)) continue;
        ++bins[std::bit_cast<std::uint32_t>(y) >> bin_shift];
        ++found;
    }
    Quartiles q;
    if (found == 0) return q;
    // 0-based ranks of the lower quartile, the lower median and the upper quartile.
    const std::size_t ranks[3] = {(found - 1) / 4, (found - 1) / 2, (3 * (found - 1)) / 4};
    float* const out[3] = {&q.low, &q.median, &q.high};
    std::size_t seen = 0;
    std::size_t next = 0;
    for (std::size_t b = 0; b < bin_count && next < 3; ++b) {
        seen += bins[b];
        while (next < 3 && seen > ranks[next]) {
            *out[next++] = std::bit_cast<float>(static_cast<std::uint32_t>(b << bin_shift));
        }
    }
    return q;
}

Noise noise_of(std::span<const float> intensity) {
    const std::size_t stride = std::max<std::size_t>(1, intensity.size() / noise_samples);
    std::size_t found = 0;
    Quartiles q = binned_quartiles(intensity, stride, found);
    if (found < min_noise_samples && stride > 1) q = binned_quartiles(intensity, 1, found);
    Noise noise;
    noise.level = q.median;
    if (found >= min_noise_samples && q.high < noise_spread * q.low) noise.floor = floor_factor * q.median;
    return noise;
}

bool finite(double v) { return std::isfinite(v); }

// Points tested together while looking for the next one that reaches the threshold.
constexpr std::size_t skip_run = 16;

// Whether any of the skip_run points from p reaches the threshold (NaN does not). Four
// lanes at a time in the compilers' vector types (GCC and Clang; plain code where the
// target has no vector unit): written as a loop, the test became a chain of branches.
typedef float Lanes __attribute__((vector_size(16)));
typedef std::int32_t Mask __attribute__((vector_size(16)));
constexpr std::size_t lanes = sizeof(Lanes) / sizeof(float);
static_assert(skip_run % lanes == 0);

bool any_reaches(const float* p, float threshold) {
    const Lanes bar = {threshold, threshold, threshold, threshold};
    Mask reaching = {0, 0, 0, 0};
    for (std::size_t k = 0; k < skip_run; k += lanes) {
        Lanes v;
        std::memcpy(&v, p + k, sizeof v);  // unaligned
        reaching |= v >= bar;
    }
    return (reaching[0] | reaching[1] | reaching[2] | reaching[3]) != 0;
}

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
        // Most points of a scan are below the threshold: a run of them is passed over with
        // one branch; the points of a run that has one reaching it are looked at one by one.
        if (n - i > skip_run && !any_reaches(in.data() + i, threshold)) {
            i += skip_run - 1;
            continue;
        }
        const float y = in[i];
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
            // A plateau: the top is flat, its middle is the best guess (halves first: the
            // sum of two m/z near the largest double would overflow).
            centre = 0.5 * m_first + 0.5 * m_last;
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
            const double neighbour = offset >= 0.0 ? m_after : m_before;
            const double toward = std::abs(offset);
            centre = m_first + toward * (neighbour - m_first);
            // The distance to the neighbour can overflow on an axis spanning more than the
            // largest double; the weighted mean of the two cannot.
            if (!std::isfinite(centre)) centre = (1.0 - toward) * m_first + toward * neighbour;
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

    const Noise noise = noise_of(intensity);
    if (!(noise.level > 0.0f)) return peaks;  // nothing above 0: no peak
    // A profile scan of n points holds at most n / 2 maxima; most hold far fewer. This
    // reserve covers a typical scan's peaks without holding memory for the worst case.
    const std::size_t guess = std::min<std::size_t>(n / 2, 64 + n / 64);
    peaks.mz.reserve(guess);
    peaks.intensity.reserve(guess);

    // One pass finds every maximum that reaches the lowest threshold the rule can set (the
    // floor, or 1% of the base peak when there is none, known only after the pass: so any
    // maximum above 0); the base peak is then known (the highest point, if any reached
    // the floor; otherwise no maximum can pass), and the peaks under the threshold go.
    const float low = std::max(noise.floor, std::numeric_limits<float>::denorm_min());
    const float base = scan_peaks(mz, intensity, low, peaks);
    const float threshold = std::min(noise_factor * noise.level, std::max(base_share * base, noise.floor));
    std::size_t kept = 0;
    for (std::size_t k = 0; k < peaks.mz.size(); ++k) {
        if (!(peaks.intensity[k] >= threshold)) continue;
        peaks.mz[kept] = peaks.mz[k];
        peaks.intensity[kept] = peaks.intensity[k];
        ++kept;
    }
    peaks.mz.resize(kept);
    peaks.intensity.resize(kept);
    return peaks;
}

}  // namespace corvane::centroid
