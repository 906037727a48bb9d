// Peak picking: a profile scan's points on an even m/z axis become centroid peaks.
//
// Each local maximum of the intensities that passes the noise rule becomes one peak. Its
// m/z is the vertex of the parabola through the logarithms of the apex and its two
// neighbours (a Gaussian's top, exact for a Gaussian peak; sub-ppm on peaks a few points
// wide); its intensity is the interpolated apex height. The noise rule is documented with
// centroid() in centroid.cpp and in docs/identify.md.
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
