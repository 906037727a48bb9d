// corvane-bench-export: what the mzML writer's encodings cost and lose, on every array of
// an acquisition (scripts/bench_convert.sh prints its rows).
//
//   corvane-bench-export deflate DIR   each zlib engine on every m/z and intensity array,
//       one thread, CPU time: libdeflate at levels 1, 2 (the writer's default) and 6,
//       zlib's own level 6, ISA-L's deflate (levels 1 and 2, zlib wrapper). Prints
//       "deflate <TAB> engine <TAB> bytes <TAB> seconds <TAB> raw bytes" per engine.
//   corvane-bench-export numpress DIR  the largest relative error of the writer's
//       MS-Numpress coding against the raw values: "numpress <TAB> mz <TAB> error <TAB>
//       values <TAB> exact arrays" and the same for intensity (relative to the value; for
//       values below 1, to 1).
//   corvane-bench-export fragments DIR      the baselines of an MGF conversion: decodes,
//   corvane-bench-export fragments-ms1 DIR  on one thread, the fragment scans alone, or
//       with the nearest earlier MS1 scan of each (each once: the scans a declared
//       precursor's envelope is read from), keeping nothing. Prints "scans points".
#include <isa-l/igzip_lib.h>
#include <libdeflate.h>
#include <libmsnumpress/MSNumpress.hpp>
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <exception>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "export/mzml.hpp"
#include "reader.hpp"

namespace {

double cpu_seconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

template <class T>
std::span<const std::uint8_t> bytes_of(const std::vector<T>& values) {
    return {reinterpret_cast<const std::uint8_t*>(values.data()), values.size() * sizeof(T)};
}

// Every array of the run, as bytes: m/z then intensities, scan by scan.
std::vector<std::vector<std::uint8_t>> run_arrays(const corvane::Reader& reader) {
    std::vector<std::vector<std::uint8_t>> arrays;
    for (std::size_t i = 0; i < reader.scans().records.size(); ++i) {
        const auto record = reader.record_at(i);
        const auto mz = bytes_of(record.mz);
        const auto intensity = bytes_of(record.intensity);
        arrays.emplace_back(mz.begin(), mz.end());
        arrays.emplace_back(intensity.begin(), intensity.end());
    }
    return arrays;
}

int cmd_deflate(const corvane::Reader& reader) {
    const auto arrays = run_arrays(reader);
    std::size_t raw = 0;
    std::size_t largest = 0;
    for (const auto& a : arrays) {
        raw += a.size();
        largest = std::max(largest, a.size());
    }
    std::vector<std::uint8_t> out(largest + largest / 8 + 4096);
    const auto measure = [&](const char* engine, const std::function<std::size_t(const std::vector<std::uint8_t>&)>& f) {
        const double start = cpu_seconds();
        std::size_t total = 0;
        for (const auto& a : arrays) total += f(a);
        const double seconds = cpu_seconds() - start;
        std::printf("deflate\t%s\t%zu\t%.3f\t%zu\n", engine, total, seconds, raw);
        std::fflush(stdout);
    };
    for (const int level : {1, 2, 6}) {
        libdeflate_compressor* c = libdeflate_alloc_compressor(level);
        const std::string name = "libdeflate " + std::to_string(level);
        measure(name.c_str(), [&](const std::vector<std::uint8_t>& a) {
            return libdeflate_zlib_compress(c, a.data(), a.size(), out.data(), out.size());
        });
        libdeflate_free_compressor(c);
    }
    measure("zlib 6", [&](const std::vector<std::uint8_t>& a) {
        uLongf n = out.size();
        compress2(out.data(), &n, a.data(), a.size(), 6);
        return static_cast<std::size_t>(n);
    });
    for (const int level : {1, 2}) {
        std::vector<std::uint8_t> work(level == 1 ? ISAL_DEF_LVL1_DEFAULT : ISAL_DEF_LVL2_DEFAULT);
        const std::string name = "isa-l " + std::to_string(level);
        measure(name.c_str(), [&](const std::vector<std::uint8_t>& a) -> std::size_t {
            isal_zstream s;
            isal_deflate_stateless_init(&s);
            s.level = static_cast<std::uint32_t>(level);
            s.level_buf = work.data();
            s.level_buf_size = static_cast<std::uint32_t>(work.size());
            s.gzip_flag = IGZIP_ZLIB;
            s.next_in = const_cast<std::uint8_t*>(a.data());
            s.avail_in = static_cast<std::uint32_t>(a.size());
            s.next_out = out.data();
            s.avail_out = static_cast<std::uint32_t>(out.size());
            s.end_of_stream = 1;
            s.flush = NO_FLUSH;
            if (isal_deflate_stateless(&s) != COMP_OK) return 0;
            return s.total_out;
        });
    }
    return 0;
}

int cmd_numpress(const corvane::Reader& reader) {
    struct Loss {
        double largest = 0.0;
        std::size_t values = 0;
        std::size_t exact_arrays = 0;  // stored zlib-only: nothing lost
    };
    Loss mz_loss;
    Loss intensity_loss;
    std::vector<double> back;
    const auto measure = [&](std::span<const double> values, bool linear, Loss& loss) {
        if (values.empty()) return;
        const auto packed = corvane::mzml::detail::numpress_bytes(values, linear);
        if (!packed) {
            ++loss.exact_arrays;
            return;
        }
        back.assign(values.size() + 2, 0.0);
        const std::size_t n =
            linear ? ms::numpress::MSNumpress::decodeLinear(packed->data(), packed->size(), back.data())
                   : ms::numpress::MSNumpress::decodeSlof(packed->data(), packed->size(), back.data());
        if (n != values.size()) {
            std::fprintf(stderr, "corvane-bench-export: decoded %zu values of %zu\n", n, values.size());
            std::exit(1);
        }
        for (std::size_t i = 0; i < n; ++i) {
            const double scale = std::max(std::abs(values[i]), 1.0);
            loss.largest = std::max(loss.largest, std::abs(back[i] - values[i]) / scale);
        }
        loss.values += n;
    };
    std::vector<double> wide;
    for (std::size_t i = 0; i < reader.scans().records.size(); ++i) {
        const auto record = reader.record_at(i);
        measure(record.mz, true, mz_loss);
        wide.assign(record.intensity.begin(), record.intensity.end());
        measure(wide, false, intensity_loss);
    }
    std::printf("numpress\tmz\t%.3e\t%zu\t%zu\n", mz_loss.largest, mz_loss.values, mz_loss.exact_arrays);
    std::printf("numpress\tintensity\t%.3e\t%zu\t%zu\n", intensity_loss.largest, intensity_loss.values,
                intensity_loss.exact_arrays);
    return 0;
}

int cmd_fragments(const corvane::Reader& reader, bool with_ms1) {
    const auto& index = reader.scans().records;
    std::uint64_t scans = 0;
    std::uint64_t points = 0;
    const auto drain = [&](std::size_t i) {
        const auto record = reader.record_at(i);
        ++scans;
        points += record.mz.size();
    };
    const std::size_t none = index.size();
    std::size_t last_ms1 = none;  // the nearest earlier MS1 scan, while not yet decoded
    for (std::size_t i = 0; i < index.size(); ++i) {
        if (index[i].ms_level == 1) {
            last_ms1 = i;
        } else if (index[i].ms_level >= 2) {
            if (with_ms1 && last_ms1 != none) drain(last_ms1);
            last_ms1 = none;
            drain(i);
        }
    }
    std::printf("%llu %llu\n", static_cast<unsigned long long>(scans), static_cast<unsigned long long>(points));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fputs("usage: corvane-bench-export deflate|numpress|fragments|fragments-ms1 DIR\n", stderr);
        return 2;
    }
    try {
        auto reader = corvane::Reader::open(argv[2]);
        if (!reader) {
            std::fprintf(stderr, "corvane-bench-export: %s: %s\n", argv[2], reader.error().display().c_str());
            return 1;
        }
        const std::string_view cmd = argv[1];
        if (cmd == "deflate") return cmd_deflate(*reader);
        if (cmd == "numpress") return cmd_numpress(*reader);
        if (cmd == "fragments") return cmd_fragments(*reader, false);
        if (cmd == "fragments-ms1") return cmd_fragments(*reader, true);
        std::fprintf(stderr, "corvane-bench-export: unknown command %s\n", argv[1]);
        return 2;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "corvane-bench-export: %s\n", e.what());
        return 1;
    }
}
