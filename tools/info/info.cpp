// corvane-info [--salvage] [--spectra] PATH
// corvane-info [--salvage] --precursor-evidence [--ppm X] PATH
//
// Opens the acquisition at PATH and prints one JSON document describing it: root,
// source_name, instrument {accession, name}, acquired_time, record_stride, payload_offset,
// scan_count, salvaged (null, or what --salvage dropped from a cut scan index:
// {bytes_dropped, records_dropped, records_kept, record_stride}), spectra (one object per
// scan: error is null when its data decoded, else the text of the failure that left its
// lists empty; with --spectra also its mz and intensity lists) and damaged_scans (how
// many spectra have an error). Absent values are null. Numbers are written in the shortest form that reads back
// to the same double (float intensities widened to double first); JSON has no NaN or
// infinity, so such values are written as null. Each spectrum stands on a line of its own.
//
// With --precursor-evidence it prints instead, as a small table, how well each member of
// the fragment scans' index entries matches the MS1 data (processing::precursor_evidence:
// the share of fragment scans whose value lies within --ppm, default 10, of a centroid of
// the nearest earlier MS1 scan, and the median error), then one line: the member to
// declare with --precursor-mz when one clearly wins (a share of at least 50% and more than
// twice the other's), or that the evidence does not decide.
//
// Exit status: 0 on success; 1 when the acquisition cannot be opened ("corvane-info: PATH: "
// and the error's text on standard error: describe_unopenable's when the path says why)
// or the output cannot be written; 2 for a usage error (the usage on standard error,
// nothing on standard output); 3, as corvane-convert's, when the whole document was
// written but the run has data loss: scans that could not be read, or the cut end of the
// scan index that --salvage dropped, each named by a warning line on standard error.
#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdio>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "args.hpp"
#include "processing.hpp"
#include "reader.hpp"
#include "version.hpp"

namespace {

using Json = nlohmann::ordered_json;

// Text that is not valid UTF-8 (a path, say) is written with U+FFFD in place of bad bytes.
constexpr auto dump_mode = Json::error_handler_t::replace;

Json number(double v) { return std::isfinite(v) ? Json(v) : Json(nullptr); }

Json optional_number(const std::optional<double>& v) { return v ? number(*v) : Json(nullptr); }

Json optional_text(const std::optional<std::string>& v) { return v ? Json(*v) : Json(nullptr); }

Json spectrum_json(const corvane::SpectrumRecord& r, bool with_lists) {
    Json s;
    s["index"] = r.index;
    s["native_id"] = r.native_id;
    s["scan_id"] = r.scan_id;
    s["ms_level"] = r.ms_level;
    s["retention_time_sec"] = number(r.retention_time_sec);
    s["mz_first"] = optional_number(r.mz_first);
    s["mz_last"] = optional_number(r.mz_last);
    if (r.precursor) {
        s["precursor"] = Json{{"msn_value_1", optional_number(r.precursor->msn_value_1)},
                              {"msn_value_2", optional_number(r.precursor->msn_value_2)},
                              {"reference", optional_text(r.precursor->reference)}};
    } else {
        s["precursor"] = nullptr;
    }
    s["is_profile"] = r.is_profile;
    s["instrument_kind"] = r.instrument_kind;
    s["points"] = r.mz.size();
    s["error"] = optional_text(r.error);
    if (with_lists) {
        Json mz = Json::array();
        for (double v : r.mz) mz.push_back(number(v));
        Json intensity = Json::array();
        for (float v : r.intensity) intensity.push_back(number(static_cast<double>(v)));
        s["mz"] = std::move(mz);
        s["intensity"] = std::move(intensity);
    }
    return s;
}

constexpr std::string_view usage_text =
    "usage: corvane-info [--salvage] [--spectra] [--] PATH\n"
    "       corvane-info [--salvage] --precursor-evidence [--ppm X] [--] PATH\n"
    "\n"
    "Prints the acquisition at PATH (a run.d folder) as one JSON document.\n"
    "\n"
    "  --spectra              also list each spectrum's mz and intensity values\n"
    "  --precursor-evidence   instead, how well each member of the fragment scans'\n"
    "                         index entries (msn_value_1, msn_value_2) matches a\n"
    "                         centroid of the nearest earlier MS1 scan, and which one\n"
    "                         to declare with corvane-convert --precursor-mz\n"
    "  --ppm X                the match tolerance of --precursor-evidence in ppm\n"
    "                         (default 10)\n"
    "  --salvage              read a scan index cut inside a record (a run stopped\n"
    "                         mid-acquisition): every complete record, with a warning\n"
    "                         of the cut end dropped (by default such a run cannot be\n"
    "                         opened)\n"
    "  --                     take the next argument as PATH even if it starts with -\n"
    "  -h, --help             show this help and exit\n"
    "  --version              show the version and exit\n"
    "\n"
    "Exit status:\n"
    "  0  success\n"
    "  1  PATH cannot be read, or the output cannot be written\n"
    "  2  usage error\n"
    "  3  written, but with data loss: some scans could not be read, or --salvage\n"
    "     dropped the cut end of the scan index; a warning on standard error says\n"
    "     which (as corvane-convert's status 3)\n";

int usage() {
    std::cerr << usage_text;
    return 2;
}

// "corvane-info: warning: PATH: " and the text, on standard error.
void warn(const char* path, const std::string& text) {
    std::cerr << "corvane-info: warning: " << path << ": " << text << '\n';
}

// How many damaged scans the warning names by identifier.
constexpr std::size_t named_ids = 5;

// A member is worth declaring when at least half of the fragment scans match it and it
// matches more than twice as often as the other: the sample's charge member, say, matches
// almost never, an m/z member almost always.
constexpr double clear_share = 0.5;
constexpr double clear_ratio = 2.0;

std::string percent(double share) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f%%", share * 100.0);
    return text;
}

// The evidence table and the verdict line.
std::string evidence_text(const std::string& path, double ppm,
                          const std::vector<corvane::processing::MemberEvidence>& evidence) {
    using corvane::processing::member_name;
    char line[256];  // the table's lines are short: members and counts
    std::snprintf(line, sizeof line, "%g", ppm);
    std::string text = "precursor evidence for " + path + ": fragment scans whose value lies within " + line +
                       " ppm of a centroid of the nearest earlier MS1 scan\n";
    std::snprintf(line, sizeof line, "%-12s %14s %11s %9s %8s %7s  %s\n", "member", "fragment scans", "with value",
                  "with MS1", "matched", "share", "median error");
    text += line;
    for (const auto& e : evidence) {
        std::string error = "-";
        if (e.median_error_ppm) {
            char value[32];
            // No "-0.00": an error that rounds to nothing has no sign.
            const double ppm_error = std::abs(*e.median_error_ppm) < 0.005 ? 0.0 : *e.median_error_ppm;
            std::snprintf(value, sizeof value, "%+.2f ppm", ppm_error);
            error = value;
        }
        std::snprintf(line, sizeof line, "%-12s %14llu %11llu %9llu %8llu %7s  %s\n",
                      std::string(member_name(e.member)).c_str(), static_cast<unsigned long long>(e.fragment_scans),
                      static_cast<unsigned long long>(e.with_value), static_cast<unsigned long long>(e.with_ms1),
                      static_cast<unsigned long long>(e.matched), percent(e.share).c_str(), error.c_str());
        text += line;
    }
    if (evidence.size() != 2 || evidence[0].fragment_scans == 0) {
        return text + "no fragment scans: there is no precursor to declare\n";
    }
    const auto& a = evidence[0];
    const auto& b = evidence[1];
    const auto clearly = [](const auto& winner, const auto& other) {
        return winner.share >= clear_share && winner.share > clear_ratio * other.share;
    };
    const auto* winner = clearly(a, b) ? &a : clearly(b, a) ? &b : nullptr;
    if (winner != nullptr) {
        const auto& other = winner == &a ? b : a;
        return text + "declare --precursor-mz " + std::string(member_name(winner->member)) + ": it matches in " +
               percent(winner->share) + " of the fragment scans, " + std::string(member_name(other.member)) +
               " in " + percent(other.share) + "\n";
    }
    return text + "the evidence does not decide: " + std::string(member_name(a.member)) + " matches in " +
           percent(a.share) + " of the fragment scans, " + std::string(member_name(b.member)) + " in " +
           percent(b.share) + " (a member is clear at 50% or more and more than twice the other's share)\n";
}

}  // namespace

int main(int argc, char** argv) {
    bool with_lists = false;
    bool evidence = false;
    bool salvage = false;
    std::optional<double> ppm;
    const char* path = nullptr;
    corvane::tools::Args args(argc, argv, false);
    while (args.next()) {
        if (args.operand()) {
            if (path != nullptr) return usage();
            path = args.arg().data();
        } else if (args.is("--spectra")) {
            with_lists = true;
        } else if (args.is("--precursor-evidence")) {
            evidence = true;
        } else if (args.is("--salvage")) {
            salvage = true;
        } else if (auto value = args.value("--ppm", "--ppm")) {
            ppm = corvane::tools::finite_number(value->value_or(""));
            if (!ppm || *ppm <= 0) {
                std::cerr << "corvane-info: --ppm needs a finite number above 0\n";
                return 2;
            }
        } else if (args.is("-h", "--help")) {
            return corvane::tools::answer(usage_text);
        } else if (args.is("--version")) {
            return corvane::tools::answer(std::string("corvane-info ") + corvane::version + "\n");
        } else {
            // Also a lone "-": there is no reading from standard input.
            return usage();
        }
    }
    // --ppm belongs to the evidence, --spectra to the document.
    if (path == nullptr || (evidence && with_lists) || (ppm && !evidence)) return usage();

    auto reader = corvane::Reader::open(path, corvane::OpenOptions{.salvage = salvage});
    if (!reader) {
        const auto where = corvane::describe_unopenable(path);
        std::cerr << "corvane-info: " << path << ": " << where.value_or(reader.error().display()) << '\n';
        return 1;
    }
    const auto& salvaged = reader->salvaged();

    if (evidence) {
        const double tolerance = ppm.value_or(10.0);
        std::cout << evidence_text(path, tolerance, corvane::processing::precursor_evidence(*reader, tolerance, 0));
        std::cout.flush();
        if (!std::cout) {
            std::cerr << "corvane-info: cannot write the output\n";
            return 1;
        }
        if (salvaged) {
            warn(path, corvane::salvage_warning(*salvaged));
            return corvane::tools::data_loss_status;
        }
        return 0;
    }

    // The head is one object; the spectra follow one by one, so that a large acquisition
    // never has to be held as a JSON tree.
    Json head;
    head["root"] = reader->root();
    head["source_name"] = reader->source_name();
    head["instrument"] = Json{{"accession", reader->instrument().accession},
                              {"name", reader->instrument().name}};
    head["acquired_time"] = optional_text(reader->acquired_time());
    head["record_stride"] = reader->scans().record_stride;
    head["payload_offset"] = reader->scans().payload_offset;
    head["scan_count"] = reader->scans().records.size();
    if (salvaged) {
        head["salvaged"] = Json{{"bytes_dropped", salvaged->bytes_dropped},
                                {"records_dropped", salvaged->records_dropped},
                                {"records_kept", salvaged->records_kept},
                                {"record_stride", salvaged->record_stride}};
    } else {
        head["salvaged"] = nullptr;
    }
    std::string text = head.dump(-1, ' ', false, dump_mode);
    text.pop_back();  // the closing brace; the spectra list comes first
    std::cout << text << ",\"spectra\":[";

    auto spectra = reader->iter_spectra();
    bool first = true;
    std::size_t damaged = 0;
    std::vector<std::string> first_damaged;
    std::string first_error;
    while (auto record = spectra->next()) {
        if (record->error) {
            if (damaged++ == 0) first_error = *record->error;
            if (first_damaged.size() < named_ids) first_damaged.push_back(record->native_id);
        }
        std::cout << (first ? "\n" : ",\n")
                  << spectrum_json(*record, with_lists).dump(-1, ' ', false, dump_mode);
        first = false;
    }
    // Counted on the way, so it follows the list.
    std::cout << "\n],\"damaged_scans\":" << damaged << "}\n";
    std::cout.flush();
    if (!std::cout) {
        std::cerr << "corvane-info: cannot write the output\n";
        return 1;
    }
    if (salvaged) warn(path, corvane::salvage_warning(*salvaged));
    if (damaged > 0) warn(path, corvane::tools::damaged_scans_text(damaged, first_damaged, first_error));
    return salvaged || damaged > 0 ? corvane::tools::data_loss_status : 0;
}
