// corvane-drain DIR: opens an acquisition and takes every record from the core's
// iterator, discarding each, then prints "scans points". The baseline that
// scripts/bench_convert.sh times corvane-convert against: the same reading and
// decoding, nothing written.
#include <cstdint>
#include <cstdio>
#include <exception>

#include "reader.hpp"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: corvane-drain DIR\n", stderr);
        return 2;
    }
    try {
        auto reader = corvane::Reader::open(argv[1]);
        if (!reader) {
            std::fprintf(stderr, "corvane-drain: %s: %s\n", argv[1], reader.error().display().c_str());
            return 1;
        }
        auto spectra = reader->iter_spectra();
        std::uint64_t scans = 0;
        std::uint64_t points = 0;
        while (auto record = spectra->next()) {
            ++scans;
            points += record->mz.size();
        }
        std::printf("%llu %llu\n", static_cast<unsigned long long>(scans), static_cast<unsigned long long>(points));
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "corvane-drain: %s\n", e.what());
        return 1;
    }
}
