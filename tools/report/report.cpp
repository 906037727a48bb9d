// corvane-report [-o REPORT.html] [--threads N] [--] RUN.d
//
// Writes the run at RUN.d as one HTML page that opens offline in a browser: header facts,
// TIC and base-peak chromatograms, the LC-MS map and each scan's spectrum. Without -o the
// page goes to RUN's name with ".html" in the current folder (run.d -> run.html).
//
// Exit status: 0 when the page was written; 1 when the run cannot be opened ("corvane-report:
// RUN: " and the error's text, as corvane-info says it) or the page cannot be written
// ("corvane-report: OUT: " and the error's text); 2 for a usage error. On failure nothing
// is written and an existing file at OUT is left as it was.
#include <charconv>
#include <cstdio>
#include <iostream>
#include <string>
#include <string_view>

#include "reader.hpp"
#include "report.hpp"
#include "version.hpp"

namespace {

constexpr std::string_view usage_text =
    "usage: corvane-report [-o REPORT.html] [--threads N] [--] RUN.d\n"
    "\n"
    "Writes the run at RUN.d (a run.d folder) as one self-contained HTML page.\n"
    "\n"
    "  -o, --output FILE  the page to write (default: RUN's name with .html, here)\n"
    "  --threads N        decoding threads (default: the machine's cores)\n"
    "  --                 take the next argument as RUN.d even if it starts with -\n"
    "  -h, --help         show this help and exit\n"
    "  --version          show the version and exit\n"
    "\n"
    "Exit status: 0 when the page was written, 1 when RUN.d cannot be read or the page\n"
    "cannot be written (then nothing is written), 2 for a usage error.\n";

int usage() {
    std::cerr << usage_text;
    return 2;
}

int answer(std::string_view text) {
    std::cout << text << std::flush;
    return std::cout ? 0 : 1;
}

// run.d -> run.html; a name without ".d" gets ".html" appended.
std::string default_output(const std::string& source_name) {
    std::string_view stem = source_name;
    if (stem.size() > 2 && stem.ends_with(".d")) stem.remove_suffix(2);
    return std::string(stem) + ".html";
}

}  // namespace

int main(int argc, char** argv) {
    bool options_done = false;
    const char* path = nullptr;
    const char* output = nullptr;
    unsigned threads = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (!options_done && (arg == "-o" || arg == "--output")) {
            if (++i >= argc || output != nullptr) return usage();
            output = argv[i];
        } else if (!options_done && arg == "--threads") {
            if (++i >= argc) return usage();
            const std::string_view n = argv[i];
            const auto [end, ec] = std::from_chars(n.data(), n.data() + n.size(), threads);
            if (ec != std::errc() || end != n.data() + n.size() || threads == 0) return usage();
        } else if (!options_done && arg == "--") {
            options_done = true;
        } else if (!options_done && (arg == "--help" || arg == "-h")) {
            return answer(usage_text);
        } else if (!options_done && arg == "--version") {
            return answer(std::string("corvane-report ") + corvane::version + "\n");
        } else if (!options_done && arg.starts_with("-")) {
            return usage();
        } else if (path != nullptr) {
            return usage();
        } else {
            path = argv[i];
        }
    }
    if (path == nullptr) return usage();

    auto reader = corvane::Reader::open(path);
    if (!reader) {
        std::cerr << "corvane-report: " << path << ": " << reader.error().display() << '\n';
        return 1;
    }
    const std::string out = output != nullptr ? std::string(output) : default_output(reader->source_name());
    const auto summary = corvane::report::summarize(*reader, threads);
    if (auto written = corvane::report::write_file(out, corvane::report::render(summary)); !written) {
        std::cerr << "corvane-report: " << out << ": " << written.error().display() << '\n';
        return 1;
    }
    return 0;
}
