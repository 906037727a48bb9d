// corvane-info [--spectra] PATH
//
// Opens the acquisition at PATH and prints one JSON document describing it: root,
// source_name, instrument {accession, name}, acquired_time, record_stride, payload_offset,
// scan_count, spectra (one object per scan: error is null when its data decoded, else
// the text of the failure that left its lists empty; with --spectra also its mz and
// intensity lists) and damaged_scans (how many spectra have an error). Absent values are null. Numbers are written in the shortest form that reads back
// to the same double (float intensities widened to double first); JSON has no NaN or
// infinity, so such values are written as null. Each spectrum stands on a line of its own.
//
// Exit status: 0 on success; 1 when the acquisition cannot be opened ("corvane-info: PATH: "
// and the error's text on standard error) or the output cannot be written; 2 for a usage
// error (the usage on standard error, nothing on standard output).
#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdio>
#include <iostream>
#include <string>
#include <string_view>

#include "args.hpp"
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
    "usage: corvane-info [--spectra] [--] PATH\n"
    "\n"
    "Prints the acquisition at PATH (a run.d folder) as one JSON document.\n"
    "\n"
    "  --spectra   also list each spectrum's mz and intensity values\n"
    "  --          take the next argument as PATH even if it starts with -\n"
    "  -h, --help  show this help and exit\n"
    "  --version   show the version and exit\n"
    "\n"
    "Exit status: 0 on success, 1 when PATH cannot be read or the output cannot be\n"
    "written, 2 for a usage error.\n";

int usage() {
    std::cerr << usage_text;
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    bool with_lists = false;
    const char* path = nullptr;
    corvane::tools::Args args(argc, argv, false);
    while (args.next()) {
        if (args.operand()) {
            if (path != nullptr) return usage();
            path = args.arg().data();
        } else if (args.is("--spectra")) {
            with_lists = true;
        } else if (args.is("-h", "--help")) {
            return corvane::tools::answer(usage_text);
        } else if (args.is("--version")) {
            return corvane::tools::answer(std::string("corvane-info ") + corvane::version + "\n");
        } else {
            // Also a lone "-": there is no reading from standard input.
            return usage();
        }
    }
    if (path == nullptr) return usage();

    auto reader = corvane::Reader::open(path);
    if (!reader) {
        std::cerr << "corvane-info: " << path << ": " << reader.error().display() << '\n';
        return 1;
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
    std::string text = head.dump(-1, ' ', false, dump_mode);
    text.pop_back();  // the closing brace; the spectra list comes first
    std::cout << text << ",\"spectra\":[";

    auto spectra = reader->iter_spectra();
    bool first = true;
    std::size_t damaged = 0;
    while (auto record = spectra->next()) {
        if (record->error) ++damaged;
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
    return 0;
}
