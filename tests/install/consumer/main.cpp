// consumer RUN.d OUT.mzML OUT.html: opens the run, counts its scans and points, writes
// it as mzML and as the HTML report, and prints "<scans> <points> <version>", so the
// check can compare with corvane-info. Uses each installed library once.
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>

#include "export/convert.hpp"
#include "reader.hpp"
#include "report/report.hpp"
#include "version.hpp"

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: consumer RUN.d OUT.mzML OUT.html\n");
        return 2;
    }
    auto reader = corvane::Reader::open(argv[1]);
    if (!reader) {
        std::fprintf(stderr, "%s\n", reader.error().display().c_str());
        return 1;
    }
    std::uint64_t scans = 0;
    std::uint64_t points = 0;
    auto it = reader->iter_spectra();
    while (auto record = it->next()) {
        ++scans;
        points += record->mz.size();
    }
    corvane::output::Progress progress;
    std::atomic<bool> stop{false};
    auto written = corvane::convert::write_file(*reader, argv[2], {}, progress, stop);
    if (!written) {
        std::fprintf(stderr, "%s\n", written.error().message.c_str());
        return 1;
    }
    auto page = corvane::report::write_file(argv[1], argv[3],
                                            corvane::report::render(corvane::report::summarize(*reader, 1)));
    if (!page) {
        std::fprintf(stderr, "%s\n", page.error().message.c_str());
        return 1;
    }
    std::printf("%llu %llu %s\n", static_cast<unsigned long long>(scans), static_cast<unsigned long long>(points),
                corvane::version);
    return 0;
}
