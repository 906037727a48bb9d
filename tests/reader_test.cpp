#include "reader.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <optional>
#include <string>

#include "sample_writer.hpp"

namespace corvane {
namespace {

using sample_writer::AcquisitionSpec;
using sample_writer::ScanSpec;

AcquisitionSpec two_scans(std::uint32_t stride = 284) {
    AcquisitionSpec spec;
    spec.stride = stride;
    ScanSpec a;
    a.scan_id = 1;
    a.peaks = sample_writer::peaks({100.0, 200.0}, {1.0f, 2.0f});
    ScanSpec b;
    b.scan_id = 2;
    b.ms_level = 2;
    spec.scans = {a, b};
    return spec;
}

std::string devices_xml(const std::string& model) {
    return "<Devices><Device><Name>LC/MS</Name><ModelNumber>" + model +
           "</ModelNumber></Device></Devices>";
}

sample_writer::ByteVec bytes_of(const std::string& text) { return {text.begin(), text.end()}; }

class ReaderOpen : public ::testing::Test {
protected:
    // Writes the acquisition to <tmp>/<name> and returns that path.
    std::string write(const AcquisitionSpec& spec, const std::string& name = "run.d") {
        const std::string path = dir_.join(name);
        auto ok = sample_writer::write_acquisition(path, spec);
        EXPECT_TRUE(ok.has_value()) << ok.error();
        return path;
    }

    static std::string open_error(std::string_view path) {
        auto reader = Reader::open(path);
        return reader ? "<opened>" : reader.error().display();
    }

    sample_writer::TempDir dir_;
};

TEST_F(ReaderOpen, OpensAndKeepsWhatItRead) {
    AcquisitionSpec spec = two_scans();
    spec.files["Devices.xml"] = bytes_of(devices_xml(" G6530A "));
    spec.files["Contents.xml"] =
        bytes_of("<Contents><AcquiredTime> 2026-03-14T09:26:53Z </AcquiredTime></Contents>");
    const std::string path = write(spec);
    auto reader = Reader::open(path);
    ASSERT_TRUE(reader.has_value()) << reader.error().display();
    EXPECT_EQ(reader->root(), path);
    EXPECT_EQ(reader->source_name(), "run.d");
    EXPECT_EQ(reader->scans().records.size(), 2u);
    EXPECT_EQ(reader->scans().record_stride, 284u);
    EXPECT_EQ(reader->peak_path(), path + "/AcqData/MSPeak.bin");
    EXPECT_EQ(reader->profile_path(), path + "/AcqData/MSProfile.bin");
    EXPECT_EQ(reader->instrument(), (InstrumentModel{"MS:1002786", "6530A Q-TOF LC/MS"}));
    EXPECT_EQ(reader->acquired_time(), "2026-03-14T09:26:53Z");

    // An index already in memory goes through the same steps.
    const Reader same = Reader::from_parts(path, reader->scans());
    EXPECT_EQ(same.root(), reader->root());
    EXPECT_EQ(same.source_name(), reader->source_name());
    EXPECT_EQ(same.peak_path(), reader->peak_path());
    EXPECT_EQ(same.profile_path(), reader->profile_path());
    EXPECT_EQ(same.instrument(), reader->instrument());
    EXPECT_EQ(same.acquired_time(), reader->acquired_time());
}

TEST_F(ReaderOpen, OnlyTheScanIndexIsNeeded) {
    for (std::uint32_t stride : {186u, 196u, 216u, 220u, 284u}) {
        SCOPED_TRACE(stride);
        AcquisitionSpec spec = two_scans(stride);
        spec.scans[0].peaks.reset();
        spec.omit = {"MSPeak.bin", "MSProfile.bin"};
        auto reader = Reader::open(write(spec, "only" + std::to_string(stride) + ".d"));
        ASSERT_TRUE(reader.has_value()) << reader.error().display();
        EXPECT_FALSE(reader->acquired_time().has_value());
        EXPECT_EQ(reader->instrument(),
                  (InstrumentModel{"MS:1000490", stride < 220 ? "vendor QQQ" : "vendor Q-TOF"}));
    }
}

TEST_F(ReaderOpen, TrailingSeparatorAndSourceName) {
    const std::string path = write(two_scans());
    auto reader = Reader::open(path + "/");
    ASSERT_TRUE(reader.has_value());
    EXPECT_EQ(reader->root(), path + "/");
    EXPECT_EQ(reader->source_name(), "run.d");
    EXPECT_EQ(reader->peak_path(), path + "/AcqData/MSPeak.bin");
}

TEST_F(ReaderOpen, Failures) {
    AcquisitionSpec bad_magic = two_scans();
    bad_magic.magic = 256;
    AcquisitionSpec empty_index = two_scans();
    empty_index.scans.clear();
    const std::string good = write(two_scans(), "good.d");
    const std::string magic = write(bad_magic, "magic.d");
    const std::string empty = write(empty_index, "empty.d");
    AcquisitionSpec no_index = two_scans();
    no_index.omit = {"MSScan.bin"};
    const std::string missing_index = write(no_index, "noindex.d");

    const std::string file_acq = dir_.join("file.d");
    ASSERT_EQ(::mkdir(file_acq.c_str(), 0755), 0);
    ASSERT_TRUE(sample_writer::write_file(file_acq + "/AcqData", std::string_view("x")).has_value());

    const std::string dangling = dir_.join("dangling.d");
    ASSERT_EQ(::mkdir(dangling.c_str(), 0755), 0);
    ASSERT_EQ(::symlink("/nonexistent/corvane", (dangling + "/AcqData").c_str()), 0);

    const std::string not_found = "parse error: AcqData directory not found";
    struct Row {
        const char* name;
        std::string path;
        std::string message;
    };
    const Row rows[] = {
        {"no AcqData", dir_.path(), not_found},
        {"no such directory", dir_.join("absent.d"), not_found},
        {"dangling link", dangling, not_found},
        {"NUL in the path", good + std::string(1, '\0') + "x", not_found},
        {"NUL at the end", good + std::string(1, '\0'), not_found},
        {"AcqData is a file", file_acq, Error::io(ENOTDIR).display()},
        {"no scan index", missing_index, Error::io(ENOENT).display()},
        {"bad magic", magic, "parse error: Invalid MSScan magic: 256"},
        {"no records", empty, "parse error: Cannot determine record stride for payload len 0"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(open_error(row.path), row.message);
    }
}

TEST_F(ReaderOpen, DescribeUnopenableSaysWhere) {
    const std::string good = write(two_scans(), "good.d");
    const std::string plain_file = dir_.join("notes.txt");
    ASSERT_TRUE(sample_writer::write_file(plain_file, std::string_view("x")).has_value());
    const std::string file_acq = dir_.join("file.d");
    ASSERT_EQ(::mkdir(file_acq.c_str(), 0755), 0);
    ASSERT_TRUE(sample_writer::write_file(file_acq + "/AcqData", std::string_view("x")).has_value());

    const std::string missing = "no such file or directory";
    const std::string is_file = "a file, not an acquisition directory (a run.d folder with AcqData inside)";
    const std::string no_acq = "a directory without AcqData inside, not an acquisition directory";
    struct Row {
        const char* name;
        std::string path;
        std::optional<std::string> text;
    };
    const Row rows[] = {
        {"does not exist", dir_.join("absent.d"), missing},
        {"below a missing folder", dir_.join("absent.d/run.d"), missing},
        {"below a plain file", plain_file + "/run.d", missing},
        {"NUL in the path", good + std::string(1, '\0'), missing},
        {"plain file", plain_file, is_file},
        {"plain file, trailing separator", plain_file + "/", missing},
        {"directory without AcqData", dir_.path(), no_acq},
        // The open's own error names these: AcqData is there.
        {"an acquisition", good, std::nullopt},
        {"AcqData is a file", file_acq, std::nullopt},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(describe_unopenable(row.path), row.text);
        // Each described path is one the open refuses with its unchanged error.
        if (row.text) {
            EXPECT_EQ(open_error(row.path), "parse error: AcqData directory not found");
        }
    }
}

// The reader over an index cut inside a record: refused plainly, salvaged on request, and
// a whole index in salvage mode opens as it always did.
TEST_F(ReaderOpen, SalvageModeOnACutIndex) {
    AcquisitionSpec spec = two_scans(220);
    for (std::uint32_t id = 3; id <= 6; ++id) {
        ScanSpec s = sample_writer::scan(id);
        s.rt_min = 0.1 * id;
        s.peaks = sample_writer::peaks({100.0 + id}, {1.0f});
        spec.scans.push_back(s);
    }
    const std::string whole = write(spec, "whole.d");
    auto full_index = sample_writer::build_msscan(spec);
    ASSERT_TRUE(full_index.has_value());
    sample_writer::ByteVec cut_index = *full_index;
    cut_index.resize(cut_index.size() - 100);  // inside the sixth record
    spec.msscan = cut_index;
    const std::string cut = write(spec, "cut.d");

    EXPECT_EQ(open_error(cut), "parse error: Cannot determine record stride for payload len 1220");

    auto salvaged = Reader::open(cut, OpenOptions{.salvage = true});
    ASSERT_TRUE(salvaged.has_value()) << salvaged.error().display();
    EXPECT_EQ(salvaged->scans().records.size(), 5u);
    ASSERT_TRUE(salvaged->salvaged().has_value());
    const Salvage& s = *salvaged->salvaged();
    EXPECT_EQ(s.bytes_dropped, 120u);
    EXPECT_EQ(s.records_dropped, 1u);
    EXPECT_EQ(s.records_kept, 5u);
    EXPECT_EQ(s.record_stride, 220u);
    EXPECT_EQ(salvage_warning(s),
              "salvaged a cut scan index: kept 5 complete records of 220 bytes, dropped 120 bytes "
              "(1 incomplete record) at the end of MSScan.bin");
    // The kept records read their data as the whole run's do.
    auto spectra = salvaged->iter_spectra();
    std::size_t read = 0;
    while (auto record = spectra->next()) {
        EXPECT_FALSE(record->error.has_value()) << *record->error;
        ++read;
    }
    EXPECT_EQ(read, 5u);

    for (const OpenOptions options : {OpenOptions{}, OpenOptions{.salvage = true}}) {
        SCOPED_TRACE(options.salvage ? "salvage" : "plain");
        auto reader = Reader::open(whole, options);
        ASSERT_TRUE(reader.has_value());
        EXPECT_EQ(reader->scans().records.size(), 6u);
        EXPECT_FALSE(reader->salvaged().has_value());
    }
}

TEST_F(ReaderOpen, SymbolicLinkToAcqDataIsFollowed) {
    const std::string real = write(two_scans(), "real.d");
    const std::string linked = dir_.join("linked.d");
    ASSERT_EQ(::mkdir(linked.c_str(), 0755), 0);
    ASSERT_EQ(::symlink((real + "/AcqData").c_str(), (linked + "/AcqData").c_str()), 0);
    auto reader = Reader::open(linked);
    ASSERT_TRUE(reader.has_value());
    EXPECT_EQ(reader->source_name(), "linked.d");
}

TEST_F(ReaderOpen, EmptyPathLooksInTheWorkingDirectory) {
    const std::string path = write(two_scans());
    char previous[4096];
    ASSERT_NE(::getcwd(previous, sizeof previous), nullptr);
    ASSERT_EQ(::chdir(path.c_str()), 0);
    auto reader = Reader::open("");
    auto dot = Reader::open(".");
    ASSERT_EQ(::chdir(previous), 0);
    ASSERT_TRUE(reader.has_value());
    EXPECT_EQ(reader->source_name(), "bundle.d");
    EXPECT_EQ(reader->peak_path(), "AcqData/MSPeak.bin");
    ASSERT_TRUE(dot.has_value());
    EXPECT_EQ(dot->source_name(), "bundle.d");
}

TEST_F(ReaderOpen, LeavesNoFileOpen) {
    AcquisitionSpec spec = two_scans();
    spec.files["Devices.xml"] = bytes_of(devices_xml("G6530A"));
    spec.files["Contents.xml"] = bytes_of("<Contents><AcquiredTime>t</AcquiredTime></Contents>");
    const std::string path = write(spec);
    AcquisitionSpec bad = two_scans();
    bad.magic = 1;
    const std::string bad_path = write(bad, "bad.d");

    const std::size_t before = sample_writer::open_fd_count();
    {
        auto reader = Reader::open(path);
        ASSERT_TRUE(reader.has_value());
        EXPECT_EQ(sample_writer::open_fd_count(), before);
        auto spectra = reader->iter_spectra();
        while (spectra->next()) {
        }
        EXPECT_EQ(sample_writer::open_fd_count(), before);
    }
    EXPECT_FALSE(Reader::open(bad_path).has_value());
    EXPECT_FALSE(Reader::open(dir_.path()).has_value());
    EXPECT_EQ(sample_writer::open_fd_count(), before);
}

TEST(SourceName, LastComponent) {
    struct Row {
        std::string root;
        std::string name;
    };
    const Row rows[] = {
        {"run.d", "run.d"},
        {"/data/run.d", "run.d"},
        {"/data/run.d/", "run.d"},
        {"/data/run.d//", "run.d"},
        {"/data/run.d/.", "run.d"},
        {"/data/run.d/./", "run.d"},
        {"data/./run.d", "run.d"},
        {"/data/x.d/..", "bundle.d"},
        {"..", "bundle.d"},
        {".", "bundle.d"},
        {"./", "bundle.d"},
        {"/", "bundle.d"},
        {"//", "bundle.d"},
        {"", "bundle.d"},
        {"/data/r\xff" "n.d", "r\uFFFDn.d"},
        {"/data/\xC3\xA9t\xC3\xA9.d", "\xC3\xA9t\xC3\xA9.d"},
        {"/data/\xE2\x82.d", "\uFFFD.d"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.root);
        EXPECT_EQ(source_name_of(row.root), row.name);
    }
}

TEST(JoinPath, OneSeparator) {
    EXPECT_EQ(join_path("", "AcqData"), "AcqData");
    EXPECT_EQ(join_path("run.d", "AcqData"), "run.d/AcqData");
    EXPECT_EQ(join_path("run.d/", "AcqData"), "run.d/AcqData");
    EXPECT_EQ(join_path("/", "AcqData"), "/AcqData");
}

TEST(ResolveInstrument, ModelTable) {
    struct Row {
        std::string model;
        const char* accession;
        const char* name;
    };
    const Row rows[] = {
        {"G6530A", "MS:1002786", "6530A Q-TOF LC/MS"},
        {"g6530a", "MS:1002786", "6530A Q-TOF LC/MS"},
        {"G6530a", "MS:1002786", "6530A Q-TOF LC/MS"},
        {"  G6530A\n", "MS:1002786", "6530A Q-TOF LC/MS"},
        {"G6410A", "MS:1003526", "6410A Triple Quadrupole LC/MS"},
        {"G6530B", "MS:1002787", "6530B Q-TOF LC/MS"},
        {"g6550a", "MS:1002784", "6550A iFunnel Q-TOF LC/MS"},
        {"G6530AX", "MS:1000490", "vendor instrument model"},
        {"G653", "MS:1000490", "vendor instrument model"},
        {"G6540A", "MS:1000490", "vendor instrument model"},
        {"G6530A ", "MS:1002786", "6530A Q-TOF LC/MS"},
        {"G6530\xC3\xA1", "MS:1000490", "vendor instrument model"},
    };
    sample_writer::TempDir dir;
    raw::MSScan scans;
    scans.record_stride = 196;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.model);
        ASSERT_TRUE(sample_writer::write_file(dir.join("Devices.xml"), devices_xml(row.model)).has_value());
        EXPECT_EQ(resolve_instrument(dir.path(), scans), (InstrumentModel{row.accession, row.name}));
    }
}

TEST(ResolveInstrument, FallbackByStride) {
    sample_writer::TempDir dir;
    raw::MSScan scans;
    for (std::uint32_t stride : {186u, 196u, 216u, 219u, 220u, 284u}) {
        SCOPED_TRACE(stride);
        scans.record_stride = stride;
        const InstrumentModel fallback{"MS:1000490", stride < 220 ? "vendor QQQ" : "vendor Q-TOF"};
        std::remove(dir.join("Devices.xml").c_str());
        EXPECT_EQ(resolve_instrument(dir.path(), scans), fallback);
        // A first device with an empty name counts as no device.
        ASSERT_TRUE(sample_writer::write_file(
                        dir.join("Devices.xml"),
                        std::string_view("<Devices><Device><Name/><ModelNumber>G6530A"
                                         "</ModelNumber></Device></Devices>"))
                        .has_value());
        EXPECT_EQ(resolve_instrument(dir.path(), scans), fallback);
    }
}

}  // namespace
}  // namespace corvane
