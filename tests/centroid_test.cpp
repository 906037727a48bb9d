// Peak picking: interpolated m/z against the Gaussians drawn, the noise rule, and the
// inputs that must not give a peak.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "centroid.hpp"

namespace corvane::centroid {
namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr float fnan = std::numeric_limits<float>::quiet_NaN();
constexpr float finf = std::numeric_limits<float>::infinity();

struct Gaussian {
    double mz;
    double height;
    double sigma;  // in m/z
};

// A profile scan: n points from first in steps of step, the Gaussians added up.
struct Scan {
    std::vector<double> mz;
    std::vector<float> intensity;
};

Scan draw(double first, double step, std::size_t n, const std::vector<Gaussian>& peaks, bool counts = false) {
    Scan s;
    for (std::size_t i = 0; i < n; ++i) {
        const double m = static_cast<double>(i) * step + first;
        double y = 0.0;
        for (const Gaussian& g : peaks) {
            // Drawn over eight sigmas, zero beyond, as a detector records it.
            const double d = (m - g.mz) / g.sigma;
            if (std::abs(d) < 8.0) y += g.height * std::exp(-0.5 * d * d);
        }
        s.mz.push_back(m);
        s.intensity.push_back(static_cast<float>(counts ? std::floor(y) : y));
    }
    return s;
}

// The sample generator's chatter: patches of counts 0..39 between runs of zeros.
void add_chatter(Scan& s, std::uint64_t seed) {
    auto next = [&seed] {
        seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<double>(seed >> 11) * 0x1.0p-53;
    };
    const std::size_t n = s.intensity.size();
    for (std::size_t at = 0; at < n;) {
        const auto gap = 4 + static_cast<std::size_t>(next() * 40);
        const auto patch = 5 + static_cast<std::size_t>(next() * 60);
        for (std::size_t i = at + gap; i < at + gap + patch && i < n; ++i) {
            s.intensity[i] += static_cast<float>(std::floor(next() * next() * 40.0));
        }
        at += gap + patch;
    }
}

double ppm(double got, double want) { return (got - want) / want * 1e6; }

TEST(Pick, GaussianVertexIsSubPpmAtEverySampling) {
    // Peaks from one point wide (sigma = step) to a dozen, their centres anywhere between
    // two points, at low and high m/z; heights as floats and as whole counts.
    const double step = 0.003;
    for (const double sigma_points : {1.0, 1.5, 2.5, 3.5, 6.0, 12.0}) {
        for (const double phase : {0.0, 0.13, 0.37, 0.5, 0.71, 0.96}) {
            for (const double around : {150.0, 500.0, 1650.0}) {
                for (const bool counts : {false, true}) {
                    SCOPED_TRACE("sigma " + std::to_string(sigma_points) + " points, phase " + std::to_string(phase) +
                                 ", m/z " + std::to_string(around) + (counts ? ", counts" : ", floats"));
                    const double first = around - 200 * step;
                    const double centre = first + (200.0 + phase) * step;
                    const Scan s = draw(first, step, 400, {{centre, 2.0e5, sigma_points * step}}, counts);
                    const Peaks p = pick(s.mz, s.intensity);
                    ASSERT_EQ(p.mz.size(), 1u);
                    ASSERT_EQ(p.intensity.size(), 1u);
                    EXPECT_LT(std::abs(ppm(p.mz[0], centre)), counts ? 0.2 : 0.01);
                    // The apex point's height, as measured.
                    EXPECT_EQ(p.intensity[0], *std::max_element(s.intensity.begin(), s.intensity.end()));
                }
            }
        }
    }
}

TEST(Pick, NoiseRuleAgainstTheBasePeak) {
    // Chatter everywhere but around the peaks drawn (its median N is 8 or 9), a base peak,
    // and small peaks: kept when they reach 10 N, or both 6 N and 1% of the base peak.
    struct Row {
        const char* name;
        double base;  // 0: no base peak, chatter alone
        std::vector<double> small;
        std::vector<double> kept;  // of the small ones
        bool chatter = true;
    };
    const std::vector<Row> rows = {
        {"chatter alone", 0.0, {}, {}},
        // 1% of the base peak is 1,000: only what reaches 10 N stays.
        {"strong scan", 1.0e5, {70.0, 120.0, 900.0}, {120.0, 900.0}},
        // 1% of the base peak is 80, between 6 N and 10 N: it decides.
        {"medium scan", 8.0e3, {75.0, 85.0}, {85.0}},
        // 1% of the base peak is 30, under 6 N: 6 N decides.
        {"weak scan", 3.0e3, {40.0, 60.0}, {60.0}},
        // Peaks on a zero baseline: their points spread over decades, N is their tails'
        // level and there is no floor: every maximum is signal and stays.
        {"clean scan", 1.0e5, {60.0, 1500.0, 3.0e4}, {60.0, 1500.0, 3.0e4}, false},
    };
    const double step = 0.003;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        // Peaks centred on points, so each apex is the drawn height.
        std::vector<Gaussian> drawn;
        if (row.base > 0.0) drawn.push_back({494.0 + 500 * step, row.base, 0.0106});
        for (std::size_t k = 0; k < row.small.size(); ++k) {
            drawn.push_back({494.0 + static_cast<double>(1000 + 400 * k) * step, row.small[k], 0.0106});
        }
        Scan s = draw(494.0, step, 4000, drawn);
        Scan chatter = draw(494.0, step, 4000, {});
        if (row.chatter) add_chatter(chatter, 3);
        for (std::size_t i = 0; i < s.mz.size(); ++i) {
            bool near = false;
            for (const Gaussian& g : drawn) near = near || std::abs(s.mz[i] - g.mz) < 0.1;
            if (!near) s.intensity[i] += chatter.intensity[i];
        }
        const Peaks p = pick(s.mz, s.intensity);
        std::vector<double> heights;
        for (const float y : p.intensity) heights.push_back(y);
        std::vector<double> want = row.kept;
        if (row.base > 0.0) want.insert(want.begin(), row.base);
        for (double& h : want) h = static_cast<double>(static_cast<float>(h));
        EXPECT_EQ(heights, want);
    }
}

TEST(Pick, InputsWithoutAPeak) {
    struct Row {
        const char* name;
        std::vector<double> mz;
        std::vector<float> intensity;
    };
    const std::vector<Row> rows = {
        {"empty", {}, {}},
        {"one point", {100.0}, {5.0f}},
        {"plateau running to the end", {100.0, 100.1, 100.2, 100.3}, {1.0f, 4.0f, 4.0f, 4.0f}},
        {"NaN apex", {100.0, 100.1, 100.2}, {1.0f, fnan, 1.0f}},
        {"infinite apex", {100.0, 100.1, 100.2}, {1.0f, finf, 1.0f}},
        {"NaN m/z at the apex", {100.0, nan, 100.2}, {1.0f, 4.0f, 1.0f}},
        {"lists of different lengths", {100.0, 100.1}, {1.0f, 4.0f, 1.0f}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const Peaks p = pick(row.mz, row.intensity);
        EXPECT_TRUE(p.mz.empty());
        EXPECT_TRUE(p.intensity.empty());
    }
}

TEST(Pick, ShapesAtTheEdges) {
    struct Row {
        const char* name;
        std::vector<float> intensity;  // on the axis 100.0, 100.1, ...
        std::vector<double> want_mz;
        std::vector<float> want_intensity;
    };
    const std::vector<Row> rows = {
        // Equal neighbours: one peak in the middle of the top.
        {"plateau of two", {1.0f, 5.0f, 5.0f, 1.0f}, {100.15}, {5.0f}},
        // The apex next to the first and the last point still has both neighbours.
        {"peaks next to both ends", {1.0f, 9.0f, 1.0f, 0.0f, 1.0f, 9.0f, 1.0f}, {100.1, 100.5}, {9.0f, 9.0f}},
        // A NaN beside one peak spoils that one only.
        {"NaN beside one of two", {1.0f, 9.0f, fnan, 0.0f, 1.0f, 9.0f, 1.0f}, {100.5}, {9.0f}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::vector<double> mz;
        for (std::size_t i = 0; i < row.intensity.size(); ++i) mz.push_back(100.0 + 0.1 * static_cast<double>(i));
        const Peaks p = pick(mz, row.intensity);
        ASSERT_EQ(p.mz.size(), row.want_mz.size());
        for (std::size_t k = 0; k < p.mz.size(); ++k) {
            EXPECT_NEAR(p.mz[k], row.want_mz[k], 1e-9) << k;
            EXPECT_EQ(p.intensity[k], row.want_intensity[k]) << k;
        }
    }
}

TEST(Pick, AxisNearTheLargestDouble) {
    // Halfway between two m/z near the top of the double range, and a vertex a fraction
    // of a step away: neither may overflow to infinity.
    const double top = std::numeric_limits<double>::max();
    const std::vector<double> mz = {top * 0.90, top * 0.92, top * 0.94, top * 0.96, top * 0.98, top};
    for (const auto& in : {std::vector<float>{1.0f, 4.0f, 4.0f, 1.0f, 0.0f, 0.0f},
                           std::vector<float>{0.0f, 1.0f, 2.0f, 5.0f, 3.0f, 0.0f}}) {
        const Peaks p = pick(mz, in);
        ASSERT_EQ(p.mz.size(), 1u);
        EXPECT_TRUE(std::isfinite(p.mz[0]));
        EXPECT_GT(p.mz[0], mz[1]);
        EXPECT_LT(p.mz[0], mz[4]);
    }
    // Neighbours whose distance is beyond the range.
    const Peaks wide = pick(std::vector<double>{-top, -top * 0.9, top * 0.9, top}, std::vector<float>{0.0f, 5.0f, 3.0f, 0.0f});
    ASSERT_EQ(wide.mz.size(), 1u);
    EXPECT_TRUE(std::isfinite(wide.mz[0]));
    EXPECT_GT(wide.mz[0], -top * 0.9);
    EXPECT_LT(wide.mz[0], top * 0.9);
}

}  // namespace
}  // namespace corvane::centroid
