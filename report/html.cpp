// The report page: the summary as JSON inside the HTML, with the plotting library and the
// page's own script and style inlined.
#include <nlohmann/json.hpp>

#include <cmath>
#include <cstring>

#include "assets.hpp"
#include "report.hpp"
#include "text.hpp"
#include "version.hpp"

namespace corvane::report {

namespace {

using Json = nlohmann::ordered_json;

Json number(double v) { return std::isfinite(v) ? Json(v) : Json(nullptr); }

Json optional_number(const std::optional<double>& v) { return v ? number(*v) : Json(nullptr); }

Json optional_text(const std::optional<std::string>& v) { return v ? Json(*v) : Json(nullptr); }

void put_u32(std::vector<std::uint8_t>& out, std::size_t at, std::uint32_t v) {
    for (std::size_t b = 0; b < 4; ++b) out[at + b] = static_cast<std::uint8_t>(v >> (8 * b));
}

// The kept points of every scan, scan after scan: each point's m/z as a u32 fraction of
// the scan's [mz_low, mz_high] (a step below 4e-7 for a range of 1,700, far finer than the
// page shows), then each intensity as a float; little-endian, as a browser's typed arrays
// read them. Each scan's part is padded to a multiple of 3 bytes, so that it is a whole
// stretch of the base64 text that the page decodes on its own when the scan is shown.
// Points without a finite m/z are left out.
struct PeakTable {
    std::vector<std::uint8_t> bytes;
    Json kept = Json::array();
    Json mz_low = Json::array();
    Json mz_high = Json::array();
};

std::size_t padded(std::size_t points) { return (points * 8 + 2) / 3 * 3; }

PeakTable peak_table(const std::vector<ScanView>& scans) {
    PeakTable table;
    std::size_t total = 0;
    for (const auto& s : scans) {
        std::size_t kept = 0;
        for (const double mz : s.mz) kept += std::isfinite(mz) ? 1u : 0u;
        total += padded(kept);
    }
    table.bytes.assign(total, 0);
    std::size_t at = 0;
    for (const auto& s : scans) {
        double low = 0.0, high = 0.0;
        std::size_t kept = 0;
        for (const double mz : s.mz) {
            if (!std::isfinite(mz)) continue;
            low = kept > 0 ? std::min(low, mz) : mz;
            high = kept > 0 ? std::max(high, mz) : mz;
            ++kept;
        }
        std::size_t p = 0;
        for (std::size_t i = 0; i < s.mz.size(); ++i) {
            if (!std::isfinite(s.mz[i])) continue;
            const double fraction = high > low ? (s.mz[i] - low) / (high - low) : 0.0;
            const auto q = static_cast<std::uint32_t>(std::llround(std::clamp(fraction, 0.0, 1.0) * 4294967295.0));
            std::uint32_t bits;
            std::memcpy(&bits, &s.intensity[i], sizeof bits);
            put_u32(table.bytes, at + p * 4, q);
            put_u32(table.bytes, at + kept * 4 + p * 4, bits);
            ++p;
        }
        at += padded(kept);
        table.kept.push_back(kept);
        table.mz_low.push_back(number(low));
        table.mz_high.push_back(number(high));
    }
    return table;
}

Json run_json(const RunSummary& s) {
    Json j;
    j["generator"] = std::string("corvane-report ") + corvane::version;
    j["source_name"] = s.source_name;
    j["path"] = s.path;
    j["instrument"] = Json{{"accession", s.instrument_accession}, {"name", s.instrument_name}};
    j["acquired_time"] = optional_text(s.acquired_time);
    Json levels = Json::array();
    for (const auto& [level, count] : s.scans_by_level) levels.push_back(Json::array({level, count}));
    j["scans_by_level"] = std::move(levels);
    j["scan_count"] = s.scans.size();
    j["total_points"] = s.total_points;
    j["points_per_scan"] = s.points_per_scan;

    Json chromatogram;
    chromatogram["level"] = s.chromatogram_level;
    chromatogram["scan"] = s.chromatogram_scans;
    Json tic = Json::array(), bpc = Json::array();
    for (const double v : s.tic) tic.push_back(number(v));
    for (const double v : s.bpc) bpc.push_back(number(v));
    chromatogram["tic"] = std::move(tic);
    chromatogram["bpc"] = std::move(bpc);
    j["chromatogram"] = std::move(chromatogram);

    const MapImage& m = s.map;
    // The fine cells as little-endian 16-bit values, as the page's typed arrays read them.
    std::vector<std::uint8_t> fine(m.fine_cells.size() * 2);
    for (std::size_t i = 0; i < m.fine_cells.size(); ++i) {
        fine[2 * i] = static_cast<std::uint8_t>(m.fine_cells[i] & 0xFF);
        fine[2 * i + 1] = static_cast<std::uint8_t>(m.fine_cells[i] >> 8);
    }
    Json column_rt = Json::array();
    for (const double v : m.column_rt) column_rt.push_back(number(v));
    j["map"] = Json{{"columns", m.columns},
                    {"rows", m.rows},
                    {"rt", Json::array({number(m.rt_low), number(m.rt_high)})},
                    {"mz", Json::array({number(m.mz_low), number(m.mz_high)})},
                    {"from_kept_points", m.binned_from_kept_points},
                    {"top", number(m.top)},
                    {"decades", MapImage::decades},
                    {"fine_decades", MapImage::fine_decades},
                    {"fine_cells", base64(fine)},
                    {"column_scans", m.column_scans},
                    {"column_rt", std::move(column_rt)}};
    if (s.salvaged) {
        j["salvaged"] = Json{{"warning", salvage_warning(*s.salvaged)},
                             {"bytes_dropped", s.salvaged->bytes_dropped},
                             {"records_dropped", s.salvaged->records_dropped},
                             {"records_kept", s.salvaged->records_kept}};
    } else {
        j["salvaged"] = nullptr;
    }

    Json scan_id = Json::array(), native_id = Json::array(), level = Json::array(), rt = Json::array(),
         profile = Json::array(), points = Json::array(), step = Json::array(), msn1 = Json::array(),
         msn2 = Json::array(), reference = Json::array(), damaged = Json::array(), selected = Json::array(),
         charge = Json::array(), mono = Json::array(), envelope = Json::array();
    for (std::size_t i = 0; i < s.scans.size(); ++i) {
        const ScanView& v = s.scans[i];
        scan_id.push_back(v.scan_id);
        native_id.push_back(v.native_id);
        level.push_back(v.ms_level);
        rt.push_back(number(v.rt_sec));
        profile.push_back(v.is_profile ? 1 : 0);
        points.push_back(v.points);
        step.push_back(number(v.profile_step));
        msn1.push_back(v.precursor ? optional_number(v.precursor->msn_value_1) : Json(nullptr));
        msn2.push_back(v.precursor ? optional_number(v.precursor->msn_value_2) : Json(nullptr));
        reference.push_back(v.precursor ? optional_text(v.precursor->reference) : Json(nullptr));
        const SelectedIon* ion = v.precursor && v.precursor->selected_ion ? &*v.precursor->selected_ion : nullptr;
        selected.push_back(ion ? number(ion->mz) : Json(nullptr));
        charge.push_back(ion && ion->charge ? Json(*ion->charge) : Json(nullptr));
        mono.push_back(ion ? optional_number(ion->monoisotopic_mz) : Json(nullptr));
        envelope.push_back(ion ? optional_text(ion->envelope_scan) : Json(nullptr));
        if (v.damage) damaged.push_back(Json{{"scan", i}, {"scan_id", v.scan_id}, {"error", *v.damage}});
    }
    PeakTable peaks = peak_table(s.scans);
    j["scans"] = Json{{"scan_id", std::move(scan_id)}, {"native_id", std::move(native_id)},
                      {"level", std::move(level)},     {"rt", std::move(rt)},
                      {"profile", std::move(profile)}, {"points", std::move(points)},
                      {"kept", std::move(peaks.kept)}, {"mz_low", std::move(peaks.mz_low)},
                      {"mz_high", std::move(peaks.mz_high)}, {"step", std::move(step)},
                      {"msn_value_1", std::move(msn1)}, {"msn_value_2", std::move(msn2)},
                      {"reference", std::move(reference)}};
    if (s.precursor_mz) {
        j["precursor"] = Json{{"member", std::string(processing::member_name(*s.precursor_mz))},
                              {"mz", std::move(selected)},
                              {"charge", std::move(charge)},
                              {"monoisotopic_mz", std::move(mono)},
                              {"envelope_scan", std::move(envelope)}};
    } else {
        j["precursor"] = nullptr;
    }
    j["damaged"] = std::move(damaged);
    j["peaks"] = base64(peaks.bytes);
    return j;
}

std::string_view asset(const Asset& a) { return {a.begin, static_cast<std::size_t>(a.end - a.begin)}; }

// Records errors, failed loads and blocked content before anything else runs, so a test
// (or a reader) sees them in #page-errors; alert() is recorded instead of shown.
constexpr std::string_view watch_script =
    "(function(){var seen=window.pageErrors=[];"
    "function flush(){var e=document.getElementById('page-errors');"
    "if(e&&seen.length){e.textContent=seen.join('\\n');e.hidden=false;}}"
    "function note(t){seen.push(String(t));flush();}"
    "window.notePageError=note;"
    "window.addEventListener('error',function(e){note('error: '+(e.message||(e.target&&e.target.tagName)||e));},true);"
    "window.addEventListener('unhandledrejection',function(e){note('rejection: '+e.reason);});"
    "document.addEventListener('securitypolicyviolation',function(e){note('blocked: '+e.violatedDirective+' '+e.blockedURI);});"
    "var ce=console.error;console.error=function(){note('console: '+Array.prototype.join.call(arguments,' '));"
    "return ce.apply(console,arguments);};"
    "window.alert=function(t){note('alert: '+t);};"
    "document.addEventListener('DOMContentLoaded',flush);})();";

}  // namespace

std::string render(const RunSummary& summary) {
    const std::string data = script_safe_json(run_json(summary).dump(-1, ' ', false, Json::error_handler_t::replace));
    const std::string_view library = asset(dygraph_js);
    const std::string_view page = asset(page_js);
    const std::string policy = "default-src 'none'; script-src " + script_hash_source(watch_script) + " " +
                               script_hash_source(library) + " " + script_hash_source(page) +
                               "; style-src 'unsafe-inline'; img-src data:; base-uri 'none'; form-action 'none'";
    const std::string name = html_text(summary.source_name);

    std::string html;
    html.reserve(data.size() + library.size() + page.size() + 16384);
    html += "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n";
    html += "<meta http-equiv=\"Content-Security-Policy\" content=\"" + policy + "\">\n";
    html += "<script>";
    html += watch_script;
    html += "</script>\n";
    html += "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n";
    html += "<meta name=\"generator\" content=\"corvane-report " + html_text(corvane::version) + "\">\n";
    html += "<title>" + name + " \xE2\x80\x94 run report</title>\n<style>\n";
    html += asset(dygraph_css);
    html += '\n';
    html += asset(page_css);
    html += "</style>\n</head>\n<body>\n";
    html += "<header>\n<h1 id=\"run-name\">" + name + "</h1>\n";
    html += asset(page_html);
    html += "<pre id=\"page-errors\" hidden></pre>\n";
    html += "<script type=\"application/json\" id=\"run-data\">";
    html += data;
    html += "</script>\n<script>";
    html += library;
    html += "</script>\n<script>";
    html += page;
    html += "</script>\n</body>\n</html>\n";
    return html;
}

}  // namespace corvane::report
