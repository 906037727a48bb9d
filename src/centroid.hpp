// Peak picking: a profile scan's points on an even m/z axis become centroid peaks.
//
// Each local maximum of the intensities that passes the noise rule becomes one peak. Its
// m/z is the vertex of the parabola through the logarithms of the apex and its two
// neighbours (a Gaussian's top, exact for a Gaussian peak; sub-ppm on peaks a few points
// wide), or of the plain parabola when a neighbour is 0 or below, or the middle of a
// plateau of equal points; it never leaves the neighbours' m/z. Its intensity is the apex
// point's height as measured. Noise rule (details in centroid.cpp), with N the median of
// the scan's positive intensities: a local maximum is kept when it reaches 10 N, or both
// 1% of the base peak and a floor, 6 N when the positive intensities look like noise
// (within a narrow range), else 0. So a scan of noise alone gives no peak, and no peak
// above 1% of the base peak is dropped unless it is within 6 times the noise.
#pragma once

#include <span>
#include <vector>

namespace corvane::centroid {

struct Peaks {
    std::vector<double> mz;
    std::vector<float> intensity;
};

// The centroid peaks of one profile scan, in ascending m/z. mz and intensity have the
// same length (the shorter decides otherwise). Points with a NaN or infinite intensity
// or m/z never make a peak nor its neighbour; fewer than three points give no peak.
[[nodiscard]] Peaks pick(std::span<const double> mz, std::span<const float> intensity);

}  // namespace corvane::centroid
