// What both kinds of sample share: the generator's PRNG, the detector's baseline noise,
// the instrument's XML files and the one-line summary the tool prints.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "sample_writer.hpp"

namespace corvane::make_sample {

// splitmix64: small, fast and the same everywhere (std distributions are not).
class Rng {
public:
    explicit Rng(std::uint64_t seed) : state_(seed) {}
    std::uint64_t next() {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
    // Uniform in [0, 1).
    double unit() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }
    // Uniform in [lo, hi).
    double uniform(double lo, double hi) { return lo + (hi - lo) * unit(); }
    // Uniform in [0, n).
    std::uint32_t below(std::uint32_t n) {
        return static_cast<std::uint32_t>(((next() >> 32) * n) >> 32);
    }

private:
    std::uint64_t state_;
};

// Baseline noise in patches (detector chatter), 0..39 counts added to 5..64 points at a
// time with 4..43 untouched points between: zeros elsewhere, so LZF shrinks the scans.
inline void add_baseline_noise(Rng& rng, std::vector<double>& counts) {
    const auto points = static_cast<std::uint32_t>(counts.size());
    for (std::uint32_t at = 0; at < points;) {
        const std::uint32_t gap = 4 + rng.below(40);
        const std::uint32_t patch = 5 + rng.below(60);
        for (std::uint32_t i = at + gap; i < at + gap + patch && i < points; ++i) {
            counts[i] += std::floor(rng.unit() * rng.unit() * 40.0);
        }
        at += gap + patch;
    }
}

inline constexpr const char* devices_xml = R"(<?xml version="1.0" encoding="utf-8"?>
<Devices>
  <Version>1</Version>
  <Device DeviceID="1">
    <Name>Q-TOF LC/MS</Name>
    <ModelNumber>G6530A</ModelNumber>
    <SerialNumber>SG00000001</SerialNumber>
    <Type>6</Type>
  </Device>
  <Device DeviceID="2">
    <Name>Binary Pump</Name>
    <ModelNumber>G1312B</ModelNumber>
  </Device>
</Devices>
)";

inline constexpr const char* contents_xml = R"(<?xml version="1.0" encoding="utf-8"?>
<Contents>
  <Version>1</Version>
  <AcquiredTime>2026-03-14T09:26:53Z</AcquiredTime>
  <AcqSoftwareVersion>sample</AcqSoftwareVersion>
  <InstrumentName>Instrument 1</InstrumentName>
</Contents>
)";

// The layout every sample has: 284-byte records, and the two XML files above.
inline sample_writer::AcquisitionSpec sample_spec() {
    sample_writer::AcquisitionSpec spec;
    spec.stride = 284;
    spec.files["Devices.xml"] = {devices_xml, devices_xml + std::string_view(devices_xml).size()};
    spec.files["Contents.xml"] = {contents_xml, contents_xml + std::string_view(contents_xml).size()};
    return spec;
}

// Prints "DIR: N scans, MSProfile.bin B bytes (R smaller/larger than ...), MSPeak.bin B
// bytes" on standard output.
inline void print_summary(const std::string& dir, std::uint32_t scans,
                          std::uint64_t profile_points, std::uint64_t profile_bytes,
                          std::uint64_t peak_bytes) {
    std::printf("%s: %u scans, MSProfile.bin %llu bytes", dir.c_str(), scans,
                static_cast<unsigned long long>(profile_bytes));
    if (profile_points > 0) {
        // Like with like: the file's bytes against the counts' own bytes (4 each), which is
        // what the blocks decompress to, less a 16-byte header per block. A few short scans
        // can come out larger than they went in.
        const std::uint64_t decoded_bytes = profile_points * 4;
        const bool smaller = profile_bytes <= decoded_bytes;
        const double ratio = smaller ? static_cast<double>(decoded_bytes) /
                                           static_cast<double>(profile_bytes)
                                     : static_cast<double>(profile_bytes) /
                                           static_cast<double>(decoded_bytes);
        std::printf(" (%.2fx %s than the %llu bytes of its %llu 4-byte points)", ratio,
                    smaller ? "smaller" : "larger", static_cast<unsigned long long>(decoded_bytes),
                    static_cast<unsigned long long>(profile_points));
    }
    std::printf(", MSPeak.bin %llu bytes\n", static_cast<unsigned long long>(peak_bytes));
}

}  // namespace corvane::make_sample
