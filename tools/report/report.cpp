// corvane-report [-o REPORT.html] [--threads N] [--precursor-mz MEMBER] [--salvage] [--] RUN.d
//
// Writes the run at RUN.d as one HTML page that opens offline in a browser: header facts,
// TIC and base-peak chromatograms, the LC-MS map and each scan's spectrum. Without -o the
// page goes beside RUN.d, as corvane-convert's output does: RUN.d's folder, RUN's name with
// ".html" (run.d or run.D -> run.html, the output layer's naming rule). An OUT inside the
// run is refused (nothing is written). With --salvage a scan index cut inside a record (a
// run stopped mid-acquisition) is read up to its last complete record, with a warning.
//
// Exit status: 0 when the page was written; 1 when the run cannot be opened ("corvane-report:
// RUN: " and the error's text, as corvane-info says it) or the page cannot be written
// ("corvane-report: OUT: " and the error's text); 2 for a usage error; 3 when the page was
// written but shows less than the run holds: some scans could not be read (a warning names
// them and the first error, as corvane-convert's does) or --salvage dropped the cut end of
// the index. With --precursor-mz the spectrum panel of a fragment scan also shows and marks
// the precursor read from the MS1 envelope. On failure nothing is written and an existing
// file at OUT is left as it was.
#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "args.hpp"
#include "export/output.hpp"
#include "processing.hpp"
#include "reader.hpp"
#include "report.hpp"
#include "version.hpp"

namespace {

constexpr std::string_view usage_text =
    "usage: corvane-report [-o REPORT.html] [--threads N] [--precursor-mz MEMBER]\n"
    "                      [--salvage] [--] RUN.d\n"
    "\n"
    "Writes the run at RUN.d (a run.d folder) as one self-contained HTML page, by\n"
    "default beside it with the same name less the .d ending (run.d -> run.html).\n"
    "\n"
    "  -o, --output FILE  the page to write (default: RUN's name with .html, in the\n"
    "                     folder that holds RUN.d)\n"
    "  --threads N        decoding threads (default: the machine's cores, at most 4)\n"
    "  --precursor-mz MEMBER\n"
    "                     msn_value_1 or msn_value_2: the index member that holds the\n"
    "                     precursor m/z (corvane-info --precursor-evidence shows\n"
    "                     which); fragment scans then show charge and monoisotopic\n"
    "                     m/z, and their spectrum marks the precursor m/z (default:\n"
    "                     none: nothing is marked)\n"
    "  --salvage          read a scan index cut inside a record (a run stopped\n"
    "                     mid-acquisition) up to its last complete record, and say\n"
    "                     what was dropped (default: such a run does not open)\n"
    "  --                 take the next argument as RUN.d even if it starts with -\n"
    "  -h, --help         show this help and exit\n"
    "  --version          show the version and exit\n"
    "\n"
    "Exit status:\n"
    "  0  the page was written\n"
    "  1  RUN.d cannot be read or the page cannot be written: nothing is written\n"
    "  2  usage error: nothing is written\n"
    "  3  the page was written, but some scans could not be read (they show no\n"
    "     points; a warning names them and the first error), or --salvage dropped\n"
    "     the cut end of the scan index (a warning says how much)\n";

constexpr int damaged_status = 3;

int usage() {
    std::cerr << usage_text;
    return 2;
}

// "corvane-report: warning: RUN: N scans could not be read and are shown without data:
// scanId=1, scanId=2 and 3 more; first error: TEXT", as corvane-convert words it.
void report_damage(std::string_view input, const corvane::report::RunSummary& summary) {
    std::uint64_t count = 0;
    std::vector<std::string> first_ids;
    const std::string* first_error = nullptr;
    for (const auto& scan : summary.scans) {
        if (!scan.damage) continue;
        if (first_ids.size() < corvane::output::damaged_ids_kept) first_ids.push_back(scan.native_id);
        if (first_error == nullptr) first_error = &*scan.damage;
        ++count;
    }
    if (count == 0) return;
    std::cerr << "corvane-report: warning: " << input << ": "
              << corvane::tools::damaged_scans_text(count, first_ids, *first_error, " and are shown without data",
                                                    " and is shown without data")
              << '\n';
}

}  // namespace

int main(int argc, char** argv) {
    const char* path = nullptr;
    std::optional<std::string> output;
    unsigned threads = 0;
    std::optional<corvane::processing::PrecursorMember> precursor_mz;
    corvane::OpenOptions open_options;
    corvane::tools::Args args(argc, argv, false);
    while (args.next()) {
        if (args.operand()) {
            if (path != nullptr) return usage();
            path = args.arg().data();
        } else if (args.is("-h", "--help")) {
            return corvane::tools::answer(usage_text);
        } else if (args.is("--version")) {
            return corvane::tools::answer(std::string("corvane-report ") + corvane::version + "\n");
        } else if (args.is("--salvage")) {
            open_options.salvage = true;
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

    auto reader = corvane::Reader::open(path, open_options);
    if (!reader) {
        // Where the path points says more than the open's error when it is no acquisition.
        const auto where = corvane::describe_unopenable(path);
        std::cerr << "corvane-report: " << path << ": " << (where ? *where : reader.error().display()) << '\n';
        return 1;
    }
    if (const auto& salvaged = reader->salvaged()) {
        std::cerr << "corvane-report: warning: " << path << ": " << corvane::salvage_warning(*salvaged) << '\n';
    }
    std::string out;
    if (output) {
        out = *output;
    } else if (auto name = corvane::output::file_name(path, "html")) {
        out = (corvane::output::beside(path) / *name).string();
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
    report_damage(path, summary);
    const bool damaged = std::any_of(summary.scans.begin(), summary.scans.end(),
                                     [](const corvane::report::ScanView& v) { return v.damage.has_value(); });
    return damaged || reader->salvaged() ? damaged_status : 0;
}
