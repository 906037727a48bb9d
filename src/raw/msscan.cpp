#include "raw/msscan.hpp"

#include <array>
#include <cmath>
#include <cstddef>

#include "raw/raw.hpp"

namespace corvane::raw {

namespace {

constexpr std::size_t header_size = 92;
constexpr std::uint32_t scan_magic = 257;
constexpr std::size_t payload_offset_at = 88;

// Record layouts, largest first: the order in which strides are probed.
enum class DescriptorForm { narrow, wide };

struct Layout {
    std::uint32_t stride;
    bool has_mrm_channel;   // bytes 4..7
    bool has_msn_values;    // bytes 76..91, read for MS level >= 2
    bool has_mz_range;      // bytes 244..259
    DescriptorForm form;
    std::array<std::size_t, 2> descriptor_at;  // offsets in the record, applied in order
    std::size_t descriptor_count;
};

constexpr std::array<Layout, 5> layouts = {{
    {284, false, true, true, DescriptorForm::wide, {156, 220}, 2},
    {220, false, true, false, DescriptorForm::wide, {156, 0}, 1},
    {216, false, true, false, DescriptorForm::wide, {152, 0}, 1},
    {196, true, false, false, DescriptorForm::wide, {144, 0}, 1},
    {186, true, false, false, DescriptorForm::narrow, {136, 0}, 1},
}};

// Field offsets shared by every layout.
constexpr std::size_t scan_id_at = 0;
constexpr std::size_t mrm_channel_at = 4;
constexpr std::size_t retention_time_at = 12;
constexpr std::size_t ms_level_at = 20;
constexpr std::size_t msn_value_1_at = 76;
constexpr std::size_t msn_value_2_at = 84;
constexpr std::size_t mz_first_at = 244;
constexpr std::size_t mz_last_at = 252;

// The second record's identifier must exceed the first by less than this to pass the probe.
constexpr std::uint32_t probe_window = 100000;

constexpr std::uint32_t profile_format = 1;

// Reads one descriptor at `at` inside record r. Every layout's descriptors, including
// the uncompressed byte count of a profile descriptor, end inside the record.
std::optional<BlockRef> read_descriptor(Bytes r, std::size_t at, DescriptorForm form) {
    BlockRef ref;
    std::size_t next = at;
    if (form == DescriptorForm::narrow) {
        ref.format_id = load_le<std::uint16_t>(r, at);  // 18 bytes (+4 for format 1)
        next += 2;
    } else {
        ref.format_id = load_le<std::uint32_t>(r, at);  // 20 bytes (+4 for format 1)
        next += 4;
    }
    if (ref.format_id < 1 || ref.format_id > 3) return std::nullopt;
    ref.byte_offset = load_le<std::uint64_t>(r, next);
    ref.byte_count = load_le<std::uint32_t>(r, next + 8);
    ref.point_count = load_le<std::uint32_t>(r, next + 12);
    if (ref.format_id == profile_format) {
        ref.uncompressed_byte_count = load_le<std::uint32_t>(r, next + 16);
    }
    return ref;
}

ScanRecord read_record(Bytes r, const Layout& layout) {
    ScanRecord s;
    s.scan_id = load_le<std::uint32_t>(r, scan_id_at);
    s.retention_time_min = load_le<double>(r, retention_time_at);
    s.ms_level = load_le<std::uint16_t>(r, ms_level_at);
    if (layout.has_mrm_channel) s.mrm_channel = load_le<std::uint32_t>(r, mrm_channel_at);
    if (layout.has_mz_range) {
        s.mz_first = load_le<double>(r, mz_first_at);
        s.mz_last = load_le<double>(r, mz_last_at);
    }
    for (std::size_t k = 0; k < layout.descriptor_count; ++k) {
        auto ref = read_descriptor(r, layout.descriptor_at[k], layout.form);
        if (!ref) continue;
        // A later descriptor replaces an earlier one of the same kind only.
        if (ref->format_id == profile_format) {
            s.profile_block = ref;
        } else {
            s.peak_block = ref;
        }
    }
    if (layout.has_msn_values && s.ms_level >= 2) {
        s.msn_value_1 = load_le<double>(r, msn_value_1_at);
        s.msn_value_2 = load_le<double>(r, msn_value_2_at);
    }
    return s;
}

// Whether `layout` explains a record area of `len` bytes starting at `payload`.
bool stride_fits(Bytes bytes, std::size_t payload, std::size_t len, const Layout& layout) {
    if (len % layout.stride != 0) return false;
    if (len == layout.stride) return true;  // a single record: nothing to probe
    const auto first = load_le<std::uint32_t>(bytes, payload + scan_id_at);
    const std::uint32_t bound = first + probe_window;  // wraps modulo 2^32 by design
    const std::size_t second_at = payload + layout.stride;
    const auto second = load_le<std::uint32_t>(bytes, second_at + scan_id_at);
    const auto level = load_le<std::uint16_t>(bytes, second_at + ms_level_at);
    return (level == 1 || level == 2) && first < second && second < bound;
}

// A stride that explains whole records of a cut record area must also make records
// that look like a run: every complete record at MS level 1 or 2, scan identifiers
// rising, retention times finite, non-negative and never going back, and the blocks each
// data file's descriptors name following one another without overlap (each file is
// written front to back). One misaligned record breaks one of these at once, so over
// the two or more records required, a wrong stride is refused.
bool salvage_supports(Bytes bytes, std::size_t payload, std::size_t count, const Layout& layout) {
    if (count < 2) return false;
    std::uint32_t last_id = 0;
    double last_rt = 0.0;
    std::array<std::uint64_t, 2> block_end{};  // profile, peak
    bool any_block = false;
    for (std::size_t i = 0; i < count; ++i) {
        const Bytes r = bytes.subspan(payload + i * layout.stride, layout.stride);
        const auto id = load_le<std::uint32_t>(r, scan_id_at);
        const auto level = load_le<std::uint16_t>(r, ms_level_at);
        const auto rt = load_le<double>(r, retention_time_at);
        if (level != 1 && level != 2) return false;
        if (!std::isfinite(rt) || rt < 0.0) return false;
        if (i > 0) {
            // The plain probe's window, applied to every step rather than only the first.
            if (id <= last_id || id - last_id >= probe_window) return false;
            if (rt < last_rt) return false;
        }
        last_id = id;
        last_rt = rt;
        for (std::size_t k = 0; k < layout.descriptor_count; ++k) {
            const auto ref = read_descriptor(r, layout.descriptor_at[k], layout.form);
            if (!ref) continue;
            std::uint64_t& end = block_end[ref->format_id == profile_format ? 0 : 1];
            if (ref->byte_offset < end) return false;
            if (ref->byte_offset > UINT64_MAX - ref->byte_count) return false;
            end = ref->byte_offset + ref->byte_count;
            any_block = true;
        }
    }
    return any_block;
}

// The header checks every parse starts with; the record area's offset when they pass.
Result<std::uint32_t> check_header(Bytes bytes) {
    const std::size_t n = bytes.size();
    if (n < header_size) return parse_error("MSScan.bin too small for header");
    const auto magic = load_le<std::uint32_t>(bytes, 0);
    if (magic != scan_magic) return parse_error("Invalid MSScan magic: " + std::to_string(magic));
    const auto payload_offset = load_le<std::uint32_t>(bytes, payload_offset_at);
    if (payload_offset > n) return parse_error("MSScan.bin truncated header");
    return payload_offset;
}

MSScan read_records(Bytes bytes, std::uint32_t payload_offset, std::size_t count,
                    const Layout& layout) {
    MSScan scan;
    scan.payload_offset = payload_offset;
    scan.record_stride = layout.stride;
    scan.records.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        scan.records.push_back(
            read_record(bytes.subspan(payload_offset + i * layout.stride, layout.stride), layout));
    }
    return scan;
}

}  // namespace

Result<MSScan> MSScan::from_path(const std::string& path, bool salvage) {
    auto bytes = read_file(path);
    if (!bytes) return std::unexpected(std::move(bytes.error()));
    return salvage ? salvage_bytes(*bytes) : from_bytes(*bytes);
}

Result<MSScan> MSScan::from_bytes(Bytes bytes) {
    auto header = check_header(bytes);
    if (!header) return std::unexpected(std::move(header.error()));
    const std::uint32_t payload_offset = *header;

    const std::size_t len = bytes.size() - payload_offset;
    auto no_stride = [len] {
        return parse_error("Cannot determine record stride for payload len " + std::to_string(len));
    };
    if (len < 4) return no_stride();

    const Layout* layout = nullptr;
    for (const auto& candidate : layouts) {
        if (stride_fits(bytes, payload_offset, len, candidate)) {
            layout = &candidate;
            break;
        }
    }
    if (layout == nullptr) return no_stride();
    return read_records(bytes, payload_offset, len / layout->stride, *layout);
}

Result<MSScan> MSScan::salvage_bytes(Bytes bytes) {
    auto whole = from_bytes(bytes);
    if (whole) return whole;
    auto header = check_header(bytes);
    if (!header) return whole;  // the same header error
    const std::uint32_t payload_offset = *header;
    const std::size_t len = bytes.size() - payload_offset;

    const Layout* chosen = nullptr;
    for (const auto& candidate : layouts) {
        // A layout that divides the area evenly was the plain parse's to take, and it
        // refused it: salvage is only for an area cut inside a record.
        if (len % candidate.stride == 0) continue;
        if (!salvage_supports(bytes, payload_offset, len / candidate.stride, candidate)) continue;
        if (chosen != nullptr) {
            return parse_error("Cannot salvage MSScan.bin: record layouts of " +
                               std::to_string(chosen->stride) + " and " +
                               std::to_string(candidate.stride) +
                               " bytes both explain payload len " + std::to_string(len));
        }
        chosen = &candidate;
    }
    if (chosen == nullptr) {
        return parse_error("Cannot salvage MSScan.bin: no record layout explains payload len " +
                           std::to_string(len));
    }
    MSScan scan = read_records(bytes, payload_offset, len / chosen->stride, *chosen);
    scan.bytes_dropped = len % chosen->stride;
    return scan;
}

}  // namespace corvane::raw
