// Peak picking and the envelope reader on any numbers. Input: mode (u8), a declared m/z
// (f64), then either (mode bit 0 clear) the axis's first m/z and step (f64 each) and one
// f32 intensity per point, or (bit 0 set) one (f64 m/z, f32 intensity) pair per point.
// Whatever the values (NaN, infinities, negative, disordered), the peaks are finite,
// ascending, inside the axis, no higher than its highest point, the same on a second
// call; and the envelope read from them decides a charge of 1 to 6 with a monoisotopic
// m/z among the peaks, or nothing.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "centroid.hpp"
#include "fuzz_input.hpp"
#include "processing.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    corvane::fuzz::FieldReader in({data, size});
    const auto mode = in.take<std::uint8_t>();
    const auto declared = in.take<double>();
    std::vector<double> mz;
    std::vector<float> intensity;
    if ((mode & 1) == 0) {
        const auto first = in.take<double>();
        const auto step = in.take<double>();
        const std::size_t n = in.rest().size() / sizeof(float);
        for (std::size_t i = 0; i < n; ++i) {
            mz.push_back(first + static_cast<double>(i) * step);
            intensity.push_back(in.take<float>());
        }
    } else {
        const std::size_t n = in.rest().size() / (sizeof(double) + sizeof(float));
        for (std::size_t i = 0; i < n; ++i) {
            mz.push_back(in.take<double>());
            intensity.push_back(in.take<float>());
        }
    }
    // Lists of different lengths: the shorter decides.
    if ((mode & 2) != 0 && !mz.empty()) mz.pop_back();

    const corvane::centroid::Peaks peaks = corvane::centroid::pick(mz, intensity);
    FUZZ_CHECK(peaks.mz.size() == peaks.intensity.size());
    const std::size_t n = std::min(mz.size(), intensity.size());
    FUZZ_CHECK(peaks.mz.size() <= n / 2);
    double low = std::numeric_limits<double>::infinity();
    double high = -low;
    float top = 0.0f;
    for (std::size_t i = 0; i < n; ++i) {
        if (std::isfinite(mz[i])) {
            low = std::min(low, mz[i]);
            high = std::max(high, mz[i]);
        }
        if (std::isfinite(intensity[i])) top = std::max(top, intensity[i]);
    }
    for (std::size_t k = 0; k < peaks.mz.size(); ++k) {
        FUZZ_CHECK(std::isfinite(peaks.mz[k]) && low <= peaks.mz[k] && peaks.mz[k] <= high);
        FUZZ_CHECK(k == 0 || peaks.mz[k - 1] < peaks.mz[k]);
        FUZZ_CHECK(std::isfinite(peaks.intensity[k]) && peaks.intensity[k] > 0.0f && peaks.intensity[k] <= top);
    }
    const corvane::centroid::Peaks again = corvane::centroid::pick(mz, intensity);
    FUZZ_CHECK(again.mz.size() == peaks.mz.size());
    // Bit for bit (memcmp takes no null pointer, which an empty list may hold).
    FUZZ_CHECK(peaks.mz.empty() ||
               std::memcmp(again.mz.data(), peaks.mz.data(), peaks.mz.size() * sizeof(double)) == 0);
    FUZZ_CHECK(peaks.mz.empty() || std::memcmp(again.intensity.data(), peaks.intensity.data(),
                                               peaks.intensity.size() * sizeof(float)) == 0);

    // The envelope around the declared m/z, from these peaks, and from the raw points when
    // they are ascending and finite as the reader requires.
    for (const double ppm : {10.0, 1e6}) {
        const auto e = corvane::processing::read_envelope(peaks.mz, peaks.intensity, declared, ppm);
        FUZZ_CHECK(e.charge.has_value() == e.monoisotopic_mz.has_value());
        if (e.charge) {
            FUZZ_CHECK(*e.charge >= 1 && *e.charge <= 6);
            FUZZ_CHECK(std::find(peaks.mz.begin(), peaks.mz.end(), *e.monoisotopic_mz) != peaks.mz.end());
        }
    }
    const auto end = mz.begin() + static_cast<std::ptrdiff_t>(n);
    const bool finite = std::all_of(mz.begin(), end, [](double m) { return std::isfinite(m); }) &&
                        std::all_of(intensity.begin(), intensity.begin() + static_cast<std::ptrdiff_t>(n),
                                    [](float y) { return std::isfinite(y); });
    if (finite && std::is_sorted(mz.begin(), end)) {
        const auto e = corvane::processing::read_envelope(mz, intensity, declared, 10.0);
        FUZZ_CHECK(e.charge.has_value() == e.monoisotopic_mz.has_value());
    }
    return 0;
}
