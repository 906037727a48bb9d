// The spectrum record: one scan as every spectrum source of corvane hands it out.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace corvane {

// The precursor ion of a fragment scan as corvane determined it, once the caller declared
// which member of the index holds its m/z (processing.hpp). Sources never fill it.
struct SelectedIon {
    double mz = 0.0;  // the declared member's value
    // From the isotope envelope in the MS1 scan before the fragment scan; both absent when
    // the envelope does not decide.
    std::optional<std::uint32_t> charge;
    std::optional<double> monoisotopic_mz;
    // Native id ("scanId=N") of the MS1 scan the envelope was read from; absent when the
    // fragment scan has no earlier MS1 scan, or that scan could not be decoded.
    std::optional<std::string> envelope_scan;
};

// Precursor description of a fragment scan (MS level 2 and above).
struct PrecursorInfo {
    std::optional<double> msn_value_1;  // handed on unchanged from the source
    std::optional<double> msn_value_2;  // absent when the scan belongs to an MRM channel
    std::optional<std::string> reference;  // "mrm_channel=N", "scanId=N" or absent
    std::optional<SelectedIon> selected_ion;  // filled by processing only
};

// One decoded spectrum. Plain value: owns its texts and lists, moved, never shared.
struct SpectrumRecord {
    std::uint64_t index = 0;  // position in the order the source produced it
    std::string native_id;    // "scanId=N"
    std::uint32_t scan_id = 0;
    std::uint32_t ms_level = 0;
    double retention_time_sec = 0.0;
    std::optional<double> mz_first;
    std::optional<double> mz_last;
    std::optional<PrecursorInfo> precursor;  // present exactly when ms_level >= 2
    std::vector<double> mz;                  // may be empty
    std::vector<float> intensity;            // one per m/z value
    bool is_profile = false;                 // lists came from profile (continuum) data
    std::uint8_t instrument_kind = 0;        // source-defined instrument family code
    // Why the lists are empty when a data block could not be read or decoded: the
    // source's display text of that failure. Absent when nothing failed, and also when a
    // failed block was made good by another one (the lists then hold that block's points).
    std::optional<std::string> error;
};

}  // namespace corvane
