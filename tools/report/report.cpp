// corvane-report [-o REPORT.html] [--threads N] [--precursor-mz MEMBER] [--] RUN.d
//
// Writes the run at RUN.d as one HTML page that opens offline in a browser: header facts,
// TIC and base-peak chromatograms, the LC-MS map and each scan's spectrum. Without -o the
// page goes to RUN's name with ".html" in the current folder (run.d or run.D -> run.html,
// the output layer's naming rule). An OUT inside the run is refused (nothing is written).
//
// Exit status: 0 when the page was written; 1 when the run cannot be opened ("corvane-report:
// RUN: " and the error's text, as corvane-info says it) or the page cannot be written
// ("corvane-report: OUT: " and the error's text); 2 for a usage error. With --precursor-mz
// the spectrum panel of a fragment scan also shows the precursor read from the MS1 envelope. On failure nothing
// is written and an existing file at OUT is left as it was.
#include <iostream>
#include <optional>
#include <string>
#include <string_view>

#include "args.hpp"
#include "export/output.hpp"
#include "processing.hpp"
#include "reader.hpp"
#include "report.hpp"
#include "version.hpp"

namespace {

constexpr std::string_view usage_text =
    "usage: corvane-report [-o REPORT.html] [--threads N] [--precursor-mz MEMBER] [--] RUN.d\n"
    "\n"
    "Writes the run at RUN.d (a run.d folder) as one self-contained HTML page.\n"
    "\n"
    "  -o, --output FILE  the page to write (default: RUN's name with .html, here)\n"
    "  --threads N        decoding threads (default: the machine's cores, at most 4)\n"
    "  --precursor-mz MEMBER\n"
    "                     msn_value_1 or msn_value_2: the index member that holds the\n"
    "                     precursor m/z (see corvane-info --precursor-evidence); fragment\n"
    "                     scans then show charge and monoisotopic m/z (default: none)\n"
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

}  // namespace

int main(int argc, char** argv) {
    const char* path = nullptr;
    std::optional<std::string> output;
    unsigned threads = 0;
    std::optional<corvane::processing::PrecursorMember> precursor_mz;
    corvane::tools::Args args(argc, argv, false);
    while (args.next()) {
        if (args.operand()) {
            if (path != nullptr) return usage();
            path = args.arg().data();
        } else if (args.is("-h", "--help")) {
            return corvane::tools::answer(usage_text);
        } else if (args.is("--version")) {
            return corvane::tools::answer(std::string("corvane-report ") + corvane::version + "\n");
        } else if (auto out = args.value("-o", "--output")) {
            if (!*out || output) return usage();
            output = std::move(*out);
        } else if (auto n = args.value("--threads", "--threads")) {
            const auto count = corvane::tools::whole_number(n->value_or(""), 1U, ~0U);
            if (!count) return usage();
            threads = *count;
        } else if (auto member = args.value("--precursor-mz", "--precursor-mz")) {
            const std::string given(member->value_or(""));
            precursor_mz = corvane::processing::parse_member(given);
            if (!precursor_mz) {
                std::cerr << "corvane-report: --precursor-mz needs msn_value_1 or msn_value_2 (not '" << given
                          << "')\n";
                return 2;
            }
        } else {
            return usage();
        }
    }
    if (path == nullptr) return usage();

    auto reader = corvane::Reader::open(path);
    if (!reader) {
        std::cerr << "corvane-report: " << path << ": " << reader.error().display() << '\n';
        return 1;
    }
    std::string out;
    if (output) {
        out = *output;
    } else if (auto name = corvane::output::file_name(reader->source_name(), "html")) {
        out = *name;
    } else {
        std::cerr << "corvane-report: " << name.error().message << "; give one with -o\n";
        return 1;
    }
    const auto summary = corvane::report::summarize(*reader, threads, {}, precursor_mz);
    const auto written = corvane::report::write_file(reader->root(), out, corvane::report::render(summary));
    if (!written) {
        // A refusal says what was refused; the system's failures read as the reader's do.
        const auto& failure = written.error();
        if (failure.refused || failure.os_error == 0) {
            std::cerr << "corvane-report: " << failure.message << '\n';
        } else {
            std::cerr << "corvane-report: " << out << ": " << corvane::Error::io(failure.os_error).display() << '\n';
        }
        return 1;
    }
    return 0;
}
