// Writes the benchmark acquisitions: deterministic, large, and shaped like real runs.
//
//   corvane-bench-data [--ms1 N] [--points N] [--ms2 N] [--peaks N] [--tiny N] DIR
//
// The default is the large shape: 3,000 MS1 profile scans of 60,000 points (Gaussian
// peaks on a noisy baseline with long zero runs, so LZF shrinks them 3-4x) interleaved
// with 3,000 MS2 centroid scans of 100-400 peaks. `--tiny N` writes the second shape
// instead: N centroid scans of 10 peaks each, for per-scan overhead. The same flags
// always give the same bytes (own PRNG, no std distributions).
#include <lzf.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace {

using ByteVec = std::vector<std::uint8_t>;

// splitmix64: tiny, fast and the same on every platform.
class Rng {
public:
    explicit Rng(std::uint64_t seed) : state_(seed) {}
    std::uint64_t next() {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
    // Uniform in [0, n).
    std::uint32_t below(std::uint32_t n) {
        return static_cast<std::uint32_t>((next() >> 32) * n >> 32);
    }
    // Uniform in [0, 1).
    double unit() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }

private:
    std::uint64_t state_;
};

template <class T>
void put(ByteVec& out, std::size_t at, T value) {
    std::memcpy(out.data() + at, &value, sizeof value);
}
template <class T>
void append(ByteVec& out, T value) {
    const std::size_t at = out.size();
    out.resize(at + sizeof value);
    put(out, at, value);
}

// The 284-byte record layout: the one that carries an m/z range for profile scans.
constexpr std::uint32_t stride = 284;
constexpr std::uint32_t header_size = 92;
constexpr std::size_t scan_id_at = 0;
constexpr std::size_t rt_at = 12;
constexpr std::size_t level_at = 20;
constexpr std::size_t msn1_at = 76;
constexpr std::size_t msn2_at = 84;
constexpr std::size_t profile_desc_at = 156;
constexpr std::size_t peak_desc_at = 220;
constexpr std::size_t mz_first_at = 244;
constexpr std::size_t mz_last_at = 252;

struct Options {
    std::uint32_t ms1 = 3000;
    std::uint32_t points = 60000;
    std::uint32_t ms2 = 3000;
    std::uint32_t peaks = 0;  // 0: 100-400 per MS2 scan
    std::uint32_t tiny = 0;
    std::string dir;
};

class Writer {
public:
    explicit Writer(const std::string& acq) {
        peak_ = std::fopen((acq + "/MSPeak.bin").c_str(), "wb");
        profile_ = std::fopen((acq + "/MSProfile.bin").c_str(), "wb");
        index_.assign(header_size, 0);
        put<std::uint32_t>(index_, 0, 257);
        put<std::uint32_t>(index_, 88, header_size);
    }
    [[nodiscard]] bool ok() const { return peak_ != nullptr && profile_ != nullptr; }

    ByteVec& new_record(std::uint32_t scan_id, double rt_min, std::uint16_t level) {
        const std::size_t at = index_.size();
        index_.resize(at + stride, 0);
        put(index_, at + scan_id_at, scan_id);
        put(index_, at + rt_at, rt_min);
        put(index_, at + level_at, level);
        record_at_ = at;
        return index_;
    }
    void set_double(std::size_t field, double v) { put(index_, record_at_ + field, v); }

    bool add_profile(const std::vector<std::uint32_t>& intensity, double first, double last) {
        payload_.assign(16 + 4 * intensity.size(), 0);
        std::memcpy(payload_.data() + 16, intensity.data(), 4 * intensity.size());
        block_.assign(16 + payload_.size() + payload_.size() / 16 + 64, 0);
        const unsigned packed = lzf_compress(payload_.data(), static_cast<unsigned>(payload_.size()),
                                             block_.data() + 16,
                                             static_cast<unsigned>(block_.size() - 16));
        if (packed == 0) return false;
        const std::size_t count = 16 + packed;
        descriptor(profile_desc_at, 1, profile_offset_, count, intensity.size());
        put(index_, record_at_ + profile_desc_at + 20, static_cast<std::uint32_t>(payload_.size()));
        set_double(mz_first_at, first);
        set_double(mz_last_at, last);
        profile_offset_ += count;
        raw_bytes_ += payload_.size();
        packed_bytes_ += count;
        return std::fwrite(block_.data(), 1, count, profile_) == count;
    }

    // Format 3: interleaved f64 m/z, f32 intensity.
    bool add_peaks(const std::vector<double>& mz, const std::vector<float>& intensity) {
        block_.clear();
        for (std::size_t i = 0; i < mz.size(); ++i) {
            append(block_, mz[i]);
            append(block_, intensity[i]);
        }
        descriptor(peak_desc_at, 3, peak_offset_, block_.size(), mz.size());
        peak_offset_ += block_.size();
        return std::fwrite(block_.data(), 1, block_.size(), peak_) == block_.size();
    }

    bool finish(const std::string& acq) {
        bool good = std::fclose(peak_) == 0;
        good = std::fclose(profile_) == 0 && good;
        peak_ = profile_ = nullptr;
        FILE* f = std::fopen((acq + "/MSScan.bin").c_str(), "wb");
        if (f == nullptr) return false;
        good = std::fwrite(index_.data(), 1, index_.size(), f) == index_.size() && good;
        return std::fclose(f) == 0 && good;
    }

    [[nodiscard]] double compression_ratio() const {
        return packed_bytes_ == 0 ? 0.0
                                  : static_cast<double>(raw_bytes_) / static_cast<double>(packed_bytes_);
    }

private:
    void descriptor(std::size_t at, std::uint32_t format, std::uint64_t offset, std::size_t count,
                    std::size_t points) {
        put(index_, record_at_ + at, format);
        put(index_, record_at_ + at + 4, offset);
        put(index_, record_at_ + at + 12, static_cast<std::uint32_t>(count));
        put(index_, record_at_ + at + 16, static_cast<std::uint32_t>(points));
    }

    std::FILE* peak_ = nullptr;
    std::FILE* profile_ = nullptr;
    ByteVec index_;
    ByteVec payload_;
    ByteVec block_;
    std::size_t record_at_ = 0;
    std::uint64_t peak_offset_ = 0;
    std::uint64_t profile_offset_ = 0;
    std::uint64_t raw_bytes_ = 0;
    std::uint64_t packed_bytes_ = 0;
};

// A continuum scan: quiet stretches that the instrument reports as zeros, stretches of
// baseline noise, and Gaussian peaks (some on the baseline, most clustered as isotope
// envelopes). Tuned so that LZF shrinks the blocks about 3.5x, as on real runs.
void profile_scan(Rng& rng, std::vector<std::uint32_t>& out) {
    const std::size_t n = out.size();
    std::size_t i = 0;
    while (i < n) {
        const bool quiet = rng.below(100) < 35;
        const std::size_t len = std::min<std::size_t>(n - i, 40 + rng.below(quiet ? 900 : 300));
        for (std::size_t k = 0; k < len; ++k, ++i) {
            out[i] = quiet ? 0 : 80 + rng.below(48);
        }
    }
    const std::uint32_t envelopes = 60 + rng.below(60);
    for (std::uint32_t e = 0; e < envelopes; ++e) {
        const double centre = rng.unit() * static_cast<double>(n);
        const double height = 2000.0 + 4.0e6 * std::pow(rng.unit(), 4.0);
        const double sigma = 2.0 + 3.0 * rng.unit();
        const std::uint32_t isotopes = 1 + rng.below(4);
        for (std::uint32_t iso = 0; iso < isotopes; ++iso) {
            const double c = centre + 25.0 * iso;
            const double h = height / (1.0 + iso);
            const auto lo = static_cast<std::ptrdiff_t>(c - 5 * sigma);
            const auto hi = static_cast<std::ptrdiff_t>(c + 5 * sigma);
            for (std::ptrdiff_t j = std::max<std::ptrdiff_t>(lo, 0);
                 j <= hi && j < static_cast<std::ptrdiff_t>(n); ++j) {
                const double d = (static_cast<double>(j) - c) / sigma;
                const double v = h * std::exp(-0.5 * d * d) * (0.97 + 0.06 * rng.unit());
                out[static_cast<std::size_t>(j)] += static_cast<std::uint32_t>(v);
            }
        }
    }
}

void centroid_scan(Rng& rng, std::uint32_t count, std::vector<double>& mz, std::vector<float>& in) {
    mz.resize(count);
    in.resize(count);
    double at = 100.0;
    for (std::uint32_t i = 0; i < count; ++i) {
        at += 0.01 + rng.unit() * (1500.0 / count);
        mz[i] = at;
        in[i] = static_cast<float>(50.0 + 1.0e5 * std::pow(rng.unit(), 3.0));
    }
}

bool parse_count(const char* text, std::uint32_t& out) {
    char* end = nullptr;
    const unsigned long v = std::strtoul(text, &end, 10);
    if (end == text || *end != '\0' || v > 100000000UL) return false;
    out = static_cast<std::uint32_t>(v);
    return true;
}

int usage() {
    std::fprintf(stderr,
                 "usage: corvane-bench-data [--ms1 N] [--points N] [--ms2 N] [--peaks N] "
                 "[--tiny N] DIR\n");
    return 2;
}

bool write_text(const std::string& path, std::string_view text) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    const bool good = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    return std::fclose(f) == 0 && good;
}

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    for (int a = 1; a < argc; ++a) {
        const std::string_view arg = argv[a];
        std::uint32_t* target = nullptr;
        if (arg == "--ms1") target = &opt.ms1;
        else if (arg == "--points") target = &opt.points;
        else if (arg == "--ms2") target = &opt.ms2;
        else if (arg == "--peaks") target = &opt.peaks;
        else if (arg == "--tiny") target = &opt.tiny;
        if (target != nullptr) {
            if (a + 1 >= argc || !parse_count(argv[++a], *target)) return usage();
        } else if (opt.dir.empty() && !arg.starts_with("-")) {
            opt.dir = arg;
        } else {
            return usage();
        }
    }
    if (opt.dir.empty()) return usage();

    const std::string acq = opt.dir + "/AcqData";
    std::error_code ec;
    std::filesystem::create_directories(acq, ec);
    if (ec) {
        std::fprintf(stderr, "cannot create %s: %s\n", acq.c_str(), ec.message().c_str());
        return 1;
    }
    Writer w(acq);
    if (!w.ok()) {
        std::fprintf(stderr, "cannot write into %s\n", acq.c_str());
        return 1;
    }

    Rng rng(opt.tiny > 0 ? 0x7157 : 0xC0A7A1E5);
    std::vector<std::uint32_t> profile(opt.points);
    std::vector<double> mz;
    std::vector<float> intensity;
    std::uint32_t scan_id = 1;
    std::uint64_t points = 0;
    bool good = true;
    if (opt.tiny > 0) {
        for (std::uint32_t s = 0; s < opt.tiny && good; ++s) {
            w.new_record(scan_id++, 0.001 * s, static_cast<std::uint16_t>(1 + s % 2));
            centroid_scan(rng, 10, mz, intensity);
            good = w.add_peaks(mz, intensity);
            points += 10;
        }
    } else {
        const std::uint32_t total = std::max(opt.ms1, opt.ms2);
        for (std::uint32_t s = 0; s < total && good; ++s) {
            const double rt = 0.005 * s;
            if (s < opt.ms1) {
                w.new_record(scan_id++, rt, 1);
                profile_scan(rng, profile);
                good = w.add_profile(profile, 100.0, 1700.0);
                points += opt.points;
            }
            if (s < opt.ms2 && good) {
                w.new_record(scan_id++, rt + 0.001, 2);
                w.set_double(msn1_at, 200.0 + rng.unit() * 1000.0);
                w.set_double(msn2_at, 20.0 + rng.unit() * 30.0);
                const std::uint32_t count = opt.peaks > 0 ? opt.peaks : 100 + rng.below(301);
                centroid_scan(rng, count, mz, intensity);
                good = w.add_peaks(mz, intensity);
                points += count;
            }
        }
    }
    good = w.finish(acq) && good;
    good = write_text(acq + "/Devices.xml",
                      "<?xml version=\"1.0\"?>\n<Devices><Device><Name>Q-TOF</Name>"
                      "<ModelNumber>G6550A</ModelNumber></Device></Devices>\n") && good;
    good = write_text(acq + "/Contents.xml",
                      "<?xml version=\"1.0\"?>\n<Contents><AcquiredTime>2026-01-01T00:00:00Z"
                      "</AcquiredTime></Contents>\n") && good;
    if (!good) {
        std::fprintf(stderr, "writing %s failed\n", opt.dir.c_str());
        return 1;
    }
    std::printf("%s: %u scans, %llu points, profile LZF ratio %.2f\n", opt.dir.c_str(),
                scan_id - 1, static_cast<unsigned long long>(points), w.compression_ratio());
    return 0;
}
