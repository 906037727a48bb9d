// corvane-fuzz-seeds OUT: writes the seed corpora of the fuzz targets, made by the fixture
// writer, into OUT/<target>/ (one file per seed).
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "sample_writer.hpp"
#include "fuzz_input.hpp"

namespace fx = corvane::sample_writer;

namespace {

int failures = 0;

void save(const std::filesystem::path& dir, const std::string& name, const fx::ByteVec& bytes) {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (auto ok = fx::write_file((dir / name).string(), bytes); !ok) {
        std::fprintf(stderr, "corvane-fuzz-seeds: %s\n", ok.error().c_str());
        ++failures;
    }
}

fx::ByteVec text_bytes(std::string_view text) { return {text.begin(), text.end()}; }

const char* const devices_xml =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Devices>\n  <Device DeviceID=\"1\">\n"
    "    <Name> LC/MS </Name>\n    <ModelNumber> G6530A </ModelNumber>\n  </Device>\n</Devices>\n";
const char* const contents_xml =
    "<?xml version=\"1.0\"?>\n<Contents xmlns=\"urn:x\">\n  <AcquiredTime>\n"
    "    2021-03-04T05:06:07Z\n  </AcquiredTime>\n</Contents>\n";

std::vector<fx::AcquisitionSpec> acquisitions() {
    std::vector<fx::AcquisitionSpec> specs;
    const std::vector<std::uint32_t> ramp = {0, 5, 900, 70000, 16777217, 5, 5, 5, 5, 5, 5, 5};

    fx::AcquisitionSpec qtof;  // profile and peaks, MS1 and MS2
    qtof.stride = 284;
    for (std::uint32_t i = 0; i < 3; ++i) {
        fx::ScanSpec s;
        s.scan_id = 10 + i;
        s.rt_min = 0.25 * i;
        s.ms_level = static_cast<std::uint16_t>(i == 1 ? 2 : 1);
        if (i == 1) {
            s.msn_value_1 = 501.25;
            s.msn_value_2 = 2.0;
        }
        s.mz_first = 100.0;
        s.mz_last = 1000.0;
        s.profile.emplace().intensities = ramp;
        s.peaks.emplace();
        s.peaks->format = 3;
        s.peaks->mz = {100.5, 200.25};
        s.peaks->intensity = {1.0f, 2.5f};
        qtof.scans.push_back(s);
    }
    qtof.files["Devices.xml"] = text_bytes(devices_xml);
    qtof.files["Contents.xml"] = text_bytes(contents_xml);
    specs.push_back(qtof);

    for (const std::uint32_t stride : {220u, 216u, 196u, 186u}) {
        fx::AcquisitionSpec spec;
        spec.stride = stride;
        for (std::uint32_t i = 0; i < 2; ++i) {
            fx::ScanSpec s;
            s.scan_id = 1 + i;
            s.rt_min = 1.5 + i;
            s.ms_level = static_cast<std::uint16_t>(1 + i);
            if (stride <= 196) s.mrm_channel = 3 + i;
            if (i == 0 && stride != 196) {
                s.profile.emplace().intensities = ramp;
                s.profile->literal_only = stride == 216;
            } else {
                s.peaks.emplace();
                s.peaks->format = stride == 220 || stride == 186 ? 2u : 3u;
                s.peaks->mz = {123.45, 678.9, 1000.0};
                s.peaks->intensity = {10.0f, 0.0f, -1.0f};
            }
            spec.scans.push_back(s);
        }
        specs.push_back(spec);
    }
    return specs;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: corvane-fuzz-seeds OUT\n");
        return 2;
    }
    const std::filesystem::path out = argv[1];

    int k = 0;
    for (const auto& spec : acquisitions()) {
        auto files = fx::build_files(spec);
        if (!files) {
            std::fprintf(stderr, "corvane-fuzz-seeds: %s\n", files.error().c_str());
            return 1;
        }
        const std::string name = "fixture-" + std::to_string(k++);
        save(out / "msscan", name, (*files)["MSScan.bin"]);
        // The same index cut inside its last record, as a run stopped mid-acquisition
        // leaves it: the salvage mode's input.
        const fx::ByteVec& index = (*files)["MSScan.bin"];
        if (index.size() > 92 + 100) {
            save(out / "msscan", name + "-cut", fx::ByteVec(index.begin(), index.end() - 100));
        }
        std::vector<fx::ByteVec> parts;
        for (const char* file : {"MSScan.bin", "MSPeak.bin", "MSProfile.bin", "Devices.xml", "Contents.xml"}) {
            auto it = files->find(file);
            parts.push_back(it == files->end() ? fx::ByteVec{} : it->second);
        }
        save(out / "acquisition", name, corvane::fuzz::join_files(parts));
    }

    // Peak blocks: format_id, point_count, block.
    for (const std::uint32_t format : {2u, 3u}) {
        const std::vector<double> mz = {123.45, 200.0, 1e6, -3.5};
        const std::vector<float> intensity = {1.0f, 0.5f, 3e9f, -0.0f};
        auto block = fx::peak_block(format, mz, intensity);
        if (!block) return 1;
        fx::ByteWriter w;
        w.u32(format).u32(static_cast<std::uint32_t>(mz.size())).bytes(*block);
        save(out / "peak", "format-" + std::to_string(format), w.data());
    }

    // Profile blocks and their LZF streams.
    const std::vector<std::vector<std::uint32_t>> profiles = {
        {1, 2, 3}, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 7}, {16777217, 4294967295u, 42}};
    int p = 0;
    for (const auto& intensities : profiles) {
        const auto n = static_cast<std::uint32_t>(intensities.size());
        const auto payload = fx::profile_payload(intensities);
        for (const bool literal : {false, true}) {
            const auto block = fx::profile_block(intensities, literal);
            fx::ByteWriter w;
            w.u32(n).u8(1).u32(static_cast<std::uint32_t>(payload.size())).f64(100.0).f64(101.0).bytes(block);
            save(out / "profile", "profile-" + std::to_string(p), w.data());

            const auto stream = literal ? fx::lzf_literal_only(payload) : fx::lzf_compress_bytes(payload);
            fx::ByteWriter l;
            l.u16(static_cast<std::uint16_t>(payload.size())).u8(0).bytes(stream);
            save(out / "lzf", "stream-" + std::to_string(p), l.data());
            ++p;
        }
    }
    // Overlapping back references: 00 61 20 00 expands to four 'a'; E0 takes a length byte.
    save(out / "lzf", "overlap", {4, 0, 0, 0x00, 0x61, 0x20, 0x00});
    save(out / "lzf", "long-reference", {40, 0, 0, 0x01, 0x61, 0x62, 0xE0, 0x1B, 0x01});

    // Profile points for peak picking: mode, declared m/z, then an even axis (first, step,
    // f32 intensities) with a charge-2 envelope on a little chatter, or (m/z, intensity)
    // pairs with a plateau, a NaN, an infinity and a step back.
    {
        fx::ByteWriter w;
        w.u8(0).f64(500.0).f64(499.5).f64(0.003);
        for (int i = 0; i < 800; ++i) {
            const double m = 499.5 + 0.003 * i;
            double y = (i * 7919) % 13 < 5 ? (i * 31) % 17 : 0;
            for (int iso = 0; iso < 3; ++iso) {
                const double d = (m - (500.0 + iso * 0.5017)) / 0.0106;
                y += 1e4 * (iso == 0 ? 1.0 : iso == 1 ? 0.6 : 0.2) * std::exp(-0.5 * d * d);
            }
            w.f32(static_cast<float>(y));
        }
        save(out / "centroid", "envelope", w.data());
        fx::ByteWriter v;
        v.u8(1).f64(100.1);
        const double mz[] = {100.0, 100.1, 100.2, 100.3, 100.4, 100.35, 100.5, 100.6, 100.7, 100.8};
        const float in[] = {0.0f, 5.0f, 5.0f, 1.0f, std::numeric_limits<float>::quiet_NaN(), 3.0f, 9.0f,
                            std::numeric_limits<float>::infinity(), 2.0f, 0.0f};
        for (int i = 0; i < 10; ++i) v.f64(mz[i]).f32(in[i]);
        save(out / "centroid", "points", v.data());
    }

    const char* const xml_seeds[] = {
        devices_xml,
        contents_xml,
        "<a:Device xmlns:a=\"urn:a\"><a:Name>X<![CDATA[Y]]></a:Name><a:ModelNumber>G65<!--c-->30A"
        "</a:ModelNumber></a:Device>",
        "<Devices><Device><Name>&#xA0;N&amp;M&#x3000;</Name><ModelNumber>\xE2\x80\x80G6410A"
        "</ModelNumber></Device><?pi x?></Devices>",
        "<!DOCTYPE Devices [<!ENTITY e \"v\">]><Devices><Device><Name>&e;</Name></Device></Devices>",
    };
    int x = 0;
    for (const char* xml : xml_seeds) save(out / "metadata", "xml-" + std::to_string(x++), text_bytes(xml));

    return failures == 0 ? 0 : 1;
}
