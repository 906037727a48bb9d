// The converter's text helpers, spectrum summary, output planning and the writer's
// failures. The documents themselves are checked by independent mzML readers in
// test_readers.py.
#include <fcntl.h>
#include <expat.h>
#include <gtest/gtest.h>
#include <libdeflate.h>
#include <libmsnumpress/MSNumpress.hpp>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <limits>
#include <map>
#include <new>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "export/convert.hpp"
#include "export/cv.hpp"
#include "export/sha1.hpp"
#include "export/sink.hpp"
#include "export/text.hpp"
#include "export/thread.hpp"
#include "sample_writer.hpp"
#include "plan.hpp"
#include "sys.hpp"

namespace cc = corvane::mzml;

namespace {

std::string base64(std::string_view text) {
    std::string out(cc::base64_length(text.size()), '?');
    cc::base64_encode({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()}, out.data());
    return out;
}

}  // namespace

TEST(Base64, Rfc4648Vectors) {
    // Every remainder of the length modulo 3, the empty input included.
    EXPECT_EQ(base64(""), "");
    EXPECT_EQ(base64("f"), "Zg==");
    EXPECT_EQ(base64("fo"), "Zm8=");
    EXPECT_EQ(base64("foo"), "Zm9v");
    EXPECT_EQ(base64("foob"), "Zm9vYg==");
    EXPECT_EQ(base64("fooba"), "Zm9vYmE=");
    EXPECT_EQ(base64("foobar"), "Zm9vYmFy");
}

TEST(Base64, AllByteValuesUseTheWholeAlphabet) {
    std::string bytes;
    for (int i = 0; i < 256; ++i) bytes += static_cast<char>(i);
    const std::string text = base64(bytes);
    ASSERT_EQ(text.size(), 344u);
    EXPECT_EQ(text.substr(0, 8), "AAECAwQF");
    EXPECT_EQ(text.substr(text.size() - 8), "/P3+/w==");
}

TEST(XmlEscape, EntitiesControlsAndBrokenUtf8) {
    struct Row {
        const char* name;
        std::string in;
        std::string out;
    };
    const std::vector<Row> rows = {
        {"markup", "a<b>&\"c'", "a&lt;b&gt;&amp;&quot;c&apos;"},
        {"whitespace as references", "a\tb\nc\rd", "a&#9;b&#10;c&#13;d"},
        {"control", std::string("a\x01" "b", 3), "a\xEF\xBF\xBD" "b"},
        {"nul", std::string("a\0b", 3), "a\xEF\xBF\xBD" "b"},
        {"utf-8 kept", "\xC3\xA9t\xC3\xA9", "\xC3\xA9t\xC3\xA9"},
        {"lone continuation", "a\x80z", "a\xEF\xBF\xBDz"},
        {"truncated", "a\xE2\x82", "a\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"overlong", "\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"surrogate", "\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"non-character", "\xEF\xBF\xBF", "\xEF\xBF\xBD"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(cc::xml_escape(row.in), row.out);
    }
}

TEST(XmlId, MakesNCNamesThatKeepTextsApart) {
    struct Row {
        const char* in;
        const char* out;
    };
    const std::vector<Row> rows = {
        {"run.d", "run.d"},
        {"my_run-2.d", "my_run-2.d"},
        {"", "_"},
        {"2020 run", "_x0032_020_x0020_run"},
        {"-run", "_x002D_run"},
        {".run", "_x002E_run"},
        {"a b", "a_x0020_b"},
        {"a_x0020_b", "a_x005F_x0020_b"},  // a literal "_x" is escaped, so no clash
        {"caf\xC3\xA9", "caf_x00E9_"},
        {"a:b", "a_x003A_b"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.in);
        EXPECT_EQ(cc::xml_id(row.in), row.out);
    }
}

TEST(XsDateTime, AcceptsTheSchemaForms) {
    for (const char* text : {"2012-03-15T10:22:31Z", "2012-03-15T10:22:31", "2012-03-15T10:22:31.1234567+01:00",
                             "2012-03-15T10:22:31-14:00", "2000-02-29T00:00:00", "2012-12-31T23:59:59Z",
                             "2012-03-15T24:00:00", "2012-03-15T24:00:00.000Z", "-0044-03-15T12:00:00",
                             "12012-03-15T10:22:31Z"}) {
        SCOPED_TRACE(text);
        EXPECT_TRUE(cc::is_xs_datetime(text));
    }
}

TEST(XsDateTime, RefusesEverythingElse) {
    for (const char* text : {"", "2012-03-15", "2012-03-15 10:22:31", "2012-03-15T10:22", "2012-3-15T10:22:31",
                             "2012-00-15T10:22:31", "2012-13-15T10:22:31", "2012-03-00T10:22:31",
                             "2012-04-31T10:22:31", "1900-02-29T10:22:31", "2013-02-29T10:22:31",
                             "2012-03-15T25:00:00", "2012-03-15T24:00:01", "2012-03-15T24:00:00.5",
                             "2012-03-15T10:60:00", "2012-03-15T10:22:60", "2012-03-15T10:22:31.",
                             "2012-03-15T10:22:31+15:00", "2012-03-15T10:22:31+14:01", "2012-03-15T10:22:31+0100",
                             "2012-03-15T10:22:31z", "2012-03-15T10:22:31Z ", " 2012-03-15T10:22:31Z",
                             "0000-03-15T10:22:31", "02012-03-15T10:22:31", "15/03/2012 10:22:31"}) {
        SCOPED_TRACE(text);
        EXPECT_FALSE(cc::is_xs_datetime(text));
    }
}

TEST(FileUri, EncodesWhatAUriCannotHold) {
    EXPECT_EQ(cc::file_uri("/data/run 1/AcqData"), "file:///data/run%201/AcqData");
    EXPECT_EQ(cc::file_uri("/a/b_c-d.e~f"), "file:///a/b_c-d.e~f");
    EXPECT_EQ(cc::file_uri("/x/%#?\xC3\xA9"), "file:///x/%25%23%3F%C3%A9");
}

TEST(CvTable, NamesComeFromTheVocabulary) {
    EXPECT_EQ(cc::cv::find("MS:1000511"), "ms level");
    EXPECT_EQ(cc::cv::find("UO:0000010"), "second");
    EXPECT_TRUE(cc::cv::is_instrument_model("MS:1000490"));
    EXPECT_TRUE(cc::cv::is_instrument_model("MS:1002786"));
    EXPECT_FALSE(cc::cv::is_instrument_model("MS:1000511"));
    // Withdrawn terms are left out, so they can never be written as terms.
    EXPECT_FALSE(cc::cv::find("MS:1000461"));
    EXPECT_FALSE(cc::cv::find("MS:9999999"));
}

TEST(PlanJobs, DefaultOutputsSitBesideTheInputs) {
    const auto jobs = corvane::convert::plan_jobs({"data/run.d", "other/x.D/", "plain", "a.b.d"}, std::nullopt);
    ASSERT_TRUE(jobs);
    ASSERT_EQ(jobs->size(), 4u);
    EXPECT_EQ((*jobs)[0].output, "data/run.mzML");
    EXPECT_EQ((*jobs)[1].output, "other/x.mzML");
    EXPECT_EQ((*jobs)[2].output, "plain.mzML");
    EXPECT_EQ((*jobs)[3].output, "a.b.mzML");
}

TEST(PlanJobs, OutputFileFolderAndClashes) {
    corvane::sample_writer::TempDir dir;
    const std::string folder = dir.path();

    const auto one = corvane::convert::plan_jobs({"a/run.d"}, std::string("x/out.mzML"));
    ASSERT_TRUE(one);
    EXPECT_EQ((*one)[0].output, "x/out.mzML");

    const auto into = corvane::convert::plan_jobs({"a/run.d", "b/other.d"}, folder);
    ASSERT_TRUE(into);
    EXPECT_EQ((*into)[0].output, folder + "/run.mzML");
    EXPECT_EQ((*into)[1].output, folder + "/other.mzML");

    const auto slash = corvane::convert::plan_jobs({"a/run.d"}, std::string("not/yet/"));
    ASSERT_TRUE(slash);
    EXPECT_EQ((*slash)[0].output, "not/yet/run.mzML");

    const auto several_to_file = corvane::convert::plan_jobs({"a/run.d", "b/other.d"}, std::string("out.mzML"));
    ASSERT_FALSE(several_to_file);
    EXPECT_EQ(several_to_file.error().message,
              "out.mzML: not a folder; several inputs need an output folder (an existing one, or a path "
              "ending in / to make one)");

    const auto clash = corvane::convert::plan_jobs({"a/run.d", "b/run.d"}, folder);
    ASSERT_FALSE(clash);
    EXPECT_EQ(clash.error().message, "a/run.d and b/run.d would both write " + folder + "/run.mzML");

    const auto unnamed = corvane::convert::plan_jobs({"/"}, std::nullopt);
    ASSERT_FALSE(unnamed);
    EXPECT_EQ(unnamed.error().message, "/: cannot name an output after it; give one with -o");
}

namespace {

// The given records as an indexed source, each decoded by copying it.
struct FakeSpectra {
    explicit FakeSpectra(std::vector<corvane::SpectrumRecord> given)
        : records(std::move(given)),
          source{records.size(), [this](std::size_t i) { return records[i]; }} {}
    FakeSpectra(const FakeSpectra&) = delete;
    FakeSpectra& operator=(const FakeSpectra&) = delete;

    std::vector<corvane::SpectrumRecord> records;
    cc::IndexedSource source;
};

corvane::SpectrumRecord record(std::uint32_t scan_id, std::size_t mz_points, std::size_t intensity_points) {
    corvane::SpectrumRecord r;
    r.scan_id = scan_id;
    r.native_id = "scanId=" + std::to_string(scan_id);
    r.ms_level = 1;
    r.mz.assign(mz_points, 100.0);
    r.intensity.assign(intensity_points, 1.0f);
    return r;
}

cc::RunInfo run_info(std::uint64_t count) {
    cc::RunInfo run;
    run.source_name = "run.d";
    run.source_file = "MSScan.bin";
    run.source_directory = "/data/run.d/AcqData";
    run.instrument_accession = "MS:1000490";
    run.instrument_name = "vendor Q-TOF";
    run.spectrum_count = count;
    run.expected_content = cc::content_ms1 | cc::content_centroid;
    return run;
}

}  // namespace

TEST(WriteMzml, Failures) {
    struct Row {
        const char* name;
        std::vector<corvane::SpectrumRecord> records;
        std::uint64_t announced;
        const char* file;
        bool stop;
        std::string message;
    };
    const std::vector<Row> rows = {
        {"fewer spectra than announced", {record(1, 2, 2)}, 2, nullptr, false,
         "the reader gave a number of spectra other than the 2 announced"},
        {"more spectra than announced", {record(1, 2, 2), record(2, 2, 2)}, 1, nullptr, false,
         "the reader gave a number of spectra other than the 1 announced"},
        {"arrays of different lengths", {record(1, 2, 2), record(7, 3, 2)}, 2, nullptr, false,
         "spectrum scanId=7 has arrays of different lengths"},
        {"interrupted", {record(1, 2, 2)}, 1, nullptr, true, "interrupted"},
        {"disk full", {record(1, 200000, 200000)}, 1, "/dev/full", false,
         "write failed: No space left on device"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        corvane::sample_writer::TempDir dir;
        const std::string path = row.file ? row.file : dir.join("out.mzML");
        const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0);
        FakeSpectra spectra(row.records);
        cc::Progress progress;
        const std::atomic<bool> stop{row.stop};
        const auto result = cc::write_mzml(fd, spectra.source, run_info(row.announced), cc::WriteOptions{}, progress, stop);
        ::close(fd);
        ASSERT_FALSE(result);
        EXPECT_EQ(result.error().message, row.message);
    }
}

TEST(WriteMzml, CountsWhatItWrote) {
    corvane::sample_writer::TempDir dir;
    const std::string path = dir.join("out.mzML");
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    FakeSpectra spectra({record(1, 3, 3), record(2, 0, 0), record(3, 5, 5)});
    cc::Progress progress;
    const std::atomic<bool> stop{false};
    const auto result = cc::write_mzml(fd, spectra.source, run_info(3), cc::WriteOptions{}, progress, stop);
    struct stat st {};
    ASSERT_EQ(::fstat(fd, &st), 0);
    ::close(fd);
    ASSERT_TRUE(result) << result.error().message;
    EXPECT_EQ(result->spectra, 3u);
    EXPECT_EQ(result->points, 8u);
    EXPECT_EQ(result->bytes, static_cast<std::uint64_t>(st.st_size));
    EXPECT_EQ(progress.scans_done.load(), 3u);
    EXPECT_EQ(progress.bytes_written.load(), result->bytes);
}

namespace {

std::string read_file(const std::string& path) {
    std::string text;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return text;
    char chunk[65536];
    for (ssize_t n; (n = ::read(fd, chunk, sizeof chunk)) > 0;) text.append(chunk, static_cast<std::size_t>(n));
    ::close(fd);
    return text;
}

// Profile spectra where the run promised centroid ones: the writer corrects the
// fileContent slot with pwrite after the spectra.
std::vector<corvane::SpectrumRecord> profile_records() {
    std::vector<corvane::SpectrumRecord> records{record(1, 5000, 5000), record(2, 300000, 300000)};
    for (auto& r : records) r.is_profile = true;
    return records;
}

// Writes profile_records() uncompressed (several buffers' worth) to path with the given
// write call in place.
cc::Outcome<cc::WriteStats> write_with(const std::string& path, corvane::sys::WriteFn call) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return std::unexpected(cc::Failure{"cannot create " + path});
    FakeSpectra spectra(profile_records());
    cc::Progress progress;
    const std::atomic<bool> stop{false};
    const corvane::sys::Swapped swapped(corvane::sys::write_seam, call);
    auto result = cc::write_mzml(fd, spectra.source, run_info(2), cc::WriteOptions{.compression = cc::Compression::none}, progress, stop);
    ::close(fd);
    return result;
}

long real_write(int fd, const void* data, unsigned long size, long long offset) {
    return offset < 0 ? ::write(fd, data, size) : ::pwrite(fd, data, size, offset);
}
// At most 1000 bytes per call, positioned or not.
long trickle(int fd, const void* data, unsigned long size, long long offset) {
    return real_write(fd, data, std::min(size, 1000ul), offset);
}
// Only the positioned write is short: 7 bytes at a time.
long short_pwrite(int fd, const void* data, unsigned long size, long long offset) {
    return real_write(fd, data, offset < 0 ? size : std::min(size, 7ul), offset);
}
long write_takes_nothing(int fd, const void* data, unsigned long size, long long offset) {
    return offset < 0 ? 0 : real_write(fd, data, size, offset);
}
long pwrite_takes_nothing(int fd, const void* data, unsigned long size, long long offset) {
    return offset < 0 ? real_write(fd, data, size, offset) : 0;
}
long pwrite_fails(int fd, const void* data, unsigned long size, long long offset) {
    if (offset < 0) return real_write(fd, data, size, offset);
    errno = EIO;
    return -1;
}

}  // namespace

TEST(WriteMzml, ShortWritesAreContinued) {
    corvane::sample_writer::TempDir dir;
    const auto reference = write_with(dir.join("reference.mzML"), nullptr);
    ASSERT_TRUE(reference) << reference.error().message;
    const std::string want = read_file(dir.join("reference.mzML"));
    ASSERT_NE(want.find("MS:1000128"), std::string::npos);  // the corrected slot names profile data
    struct Row {
        const char* name;
        corvane::sys::WriteFn call;
    };
    for (const Row& row : {Row{"every write short", trickle}, Row{"short pwrite", short_pwrite}}) {
        SCOPED_TRACE(row.name);
        const auto result = write_with(dir.join("out.mzML"), row.call);
        ASSERT_TRUE(result) << result.error().message;
        EXPECT_EQ(read_file(dir.join("out.mzML")), want);
    }
}

TEST(WriteMzml, WritesThatFail) {
    struct Row {
        const char* name;
        corvane::sys::WriteFn call;
        std::string message;
    };
    const std::vector<Row> rows = {
        {"write takes nothing", write_takes_nothing, "write failed: nothing written"},
        {"pwrite takes nothing", pwrite_takes_nothing, "write failed: nothing written"},
        {"pwrite fails", pwrite_fails, "write failed: Input/output error"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        corvane::sample_writer::TempDir dir;
        const auto result = write_with(dir.join("out.mzML"), row.call);
        ASSERT_FALSE(result);
        EXPECT_EQ(result.error().message, row.message);
    }
}

namespace {

int fchmod_refused(int, mode_t) {
    errno = EPERM;
    return -1;
}

}  // namespace

TEST(ConvertOne, PermissionsThatCannotBeSetFailTheInput) {
    corvane::sample_writer::TempDir dir;
    corvane::sample_writer::AcquisitionSpec spec;
    auto s = corvane::sample_writer::scan(1);
    s.peaks = corvane::sample_writer::peaks({100.0, 200.0}, {1.0f, 2.0f});
    spec.scans.push_back(s);
    spec.omit.insert("MSProfile.bin");
    ASSERT_TRUE(corvane::sample_writer::write_acquisition(dir.join("run.d"), spec));
    const std::string out = dir.join("out");
    ASSERT_EQ(::mkdir(out.c_str(), 0700), 0);

    cc::Progress progress;
    const std::atomic<bool> stop{false};
    const corvane::sys::Swapped refused(corvane::sys::fchmod_seam, &fchmod_refused);
    const auto result = corvane::convert::convert_one({dir.join("run.d"), out + "/run.mzML"},
                                                      corvane::convert::ConvertOptions{}, progress, stop);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().message, out + "/run.mzML: cannot set its permissions: Operation not permitted");
    EXPECT_TRUE(std::filesystem::is_empty(out));
}

namespace {

// The failure that inject() makes: the fault_at-th pass through fault_site.
cc::detail::FaultSite fault_site = cc::detail::FaultSite::thread_start;
int fault_at = 0;
std::atomic<int> fault_passes{0};

void inject(cc::detail::FaultSite site) {
    if (site != fault_site || ++fault_passes != fault_at) return;
    if (site == cc::detail::FaultSite::thread_start) throw std::system_error(EAGAIN, std::generic_category());
    throw std::bad_alloc();
}

// Arrays that deflate poorly, so that a document fills several output buffers.
corvane::SpectrumRecord varied_record(std::uint32_t scan_id, std::size_t points) {
    corvane::SpectrumRecord r = record(scan_id, 0, 0);
    std::uint32_t x = scan_id;
    for (std::size_t i = 0; i < points; ++i) {
        x = x * 1664525u + 1013904223u;
        r.mz.push_back(100.0 + static_cast<double>(i) * 0.01 + static_cast<double>(x >> 8) * 1e-9);
        r.intensity.push_back(static_cast<float>(x >> 12));
    }
    return r;
}

}  // namespace

TEST(WriteMzml, FailuresInsideItsThreads) {
    using Site = cc::detail::FaultSite;
    struct Row {
        const char* name;
        Site site;
        int at;
        std::string message;
    };
    const std::string no_thread = "cannot start a thread: Resource temporarily unavailable";
    const std::vector<Row> rows = {
        {"writing thread cannot start", Site::thread_start, 1, no_thread},
        {"hashing thread cannot start", Site::thread_start, 2, no_thread},
        {"first encoding thread cannot start", Site::thread_start, 3, no_thread},
        {"second encoding thread cannot start", Site::thread_start, 4, no_thread},
        {"no memory for the first arrays", Site::compress_buffer, 1, "compression failed: out of memory"},
        {"no memory for the second array", Site::compress_buffer, 2, "compression failed: out of memory"},
        {"no memory for a larger spectrum", Site::compress_buffer, 3, "compression failed: out of memory"},
        {"writing a buffer fails", Site::write_step, 2, "write failed: out of memory"},
        {"hashing a buffer fails", Site::hash_step, 2, "checksum failed: out of memory"},
    };
    // Two threads: the sink's writer and hasher, then two encoders; one thread: every
    // step on the calling thread, where the same failures give the same messages.
    for (const unsigned threads : {2U, 1U})
    for (const auto& row : rows) {
        if (threads == 1 && row.site == Site::thread_start) continue;
        SCOPED_TRACE(std::string(row.name) + ", threads " + std::to_string(threads));
        corvane::sample_writer::TempDir dir;
        const std::string path = dir.join("out.mzML");
        const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0);
        FakeSpectra spectra({varied_record(1, 1000), varied_record(2, 200000), varied_record(3, 200000)});
        cc::Progress progress;
        const std::atomic<bool> stop{false};
        fault_site = row.site;
        fault_at = row.at;
        fault_passes = 0;
        const auto previous = cc::detail::set_fault_hook(inject);
        const auto result =
            cc::write_mzml(fd, spectra.source, run_info(3), cc::WriteOptions{.threads = threads}, progress, stop);
        cc::detail::set_fault_hook(previous);
        ::close(fd);
        EXPECT_GE(fault_passes.load(), row.at);  // the fault was reached
        ASSERT_FALSE(result);
        EXPECT_EQ(result.error().message, row.message);
    }
}

namespace {

// Spectra of every kind the encoder treats apart: ordinary ones of several sizes, an
// empty one, one with NaN m/z and one with negative intensities (both kept exact under
// MS-Numpress, zlib-compressed only), and one with a huge intensity.
std::vector<corvane::SpectrumRecord> assorted_records() {
    std::vector<corvane::SpectrumRecord> records;
    for (std::uint32_t i = 1; i <= 23; ++i) records.push_back(varied_record(i, (i * 977) % 3000));
    records[3].mz.clear();
    records[3].intensity.clear();
    records[5].mz[1] = std::numeric_limits<double>::quiet_NaN();
    records[7].intensity[2] = -4.0f;
    records[9].intensity[0] = 3.0e38f;
    records[11].ms_level = 2;
    records[11].is_profile = true;
    return records;
}

// Writes records to a new file in dir as asked; returns the file's bytes, or the
// failure's message prefixed with "failed: ".
std::string written(const corvane::sample_writer::TempDir& dir, const std::vector<corvane::SpectrumRecord>& records,
                    cc::WriteOptions options) {
    const std::string path = dir.join("out-" + std::to_string(options.threads) + ".mzML");
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    EXPECT_GE(fd, 0);
    cc::Progress progress;
    const std::atomic<bool> stop{false};
    const cc::IndexedSource source{records.size(), [&](std::size_t i) { return records[i]; }};
    const auto result = cc::write_mzml(fd, source, run_info(records.size()), options, progress, stop);
    ::close(fd);
    if (!result) return "failed: " + result.error().message;
    EXPECT_EQ(progress.scans_done.load(), records.size());
    return read_file(path);
}

// The decoded bytes of every <binary> of the document, with the compression term of its
// array.
std::vector<std::pair<std::string, std::vector<std::uint8_t>>> binaries(const std::string& doc) {
    std::vector<std::pair<std::string, std::vector<std::uint8_t>>> out;
    const auto decode64 = [](std::string_view text) {
        std::vector<std::uint8_t> bytes;
        std::uint32_t acc = 0;
        int bits = 0;
        for (const char c : text) {
            if (c == '=') break;
            const auto at = std::string_view("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/").find(c);
            acc = (acc << 6) | static_cast<std::uint32_t>(at);
            bits += 6;
            if (bits >= 8) {
                bits -= 8;
                bytes.push_back(static_cast<std::uint8_t>(acc >> bits));
            }
        }
        return bytes;
    };
    for (std::size_t pos = 0; (pos = doc.find("<binaryDataArray ", pos)) != std::string::npos;) {
        const std::size_t end = doc.find("</binaryDataArray>", pos);
        const std::string_view element(doc.data() + pos, end - pos);
        std::string term = "MS:1000576";
        for (const char* t : {"MS:1000574", "MS:1002746", "MS:1002748"}) {
            if (element.find(t) != std::string_view::npos) term = t;
        }
        const std::size_t open = element.find("<binary>");
        if (open == std::string_view::npos) {  // an empty array: <binary/>
            EXPECT_NE(element.find("encodedLength=\"0\""), std::string_view::npos);
            EXPECT_NE(element.find("<binary/>"), std::string_view::npos);
            out.emplace_back(term, std::vector<std::uint8_t>{});
        } else {
            out.emplace_back(term, decode64(element.substr(open + 8, element.find("</binary>") - open - 8)));
        }
        pos = end;
    }
    return out;
}

std::vector<std::uint8_t> inflate(const std::vector<std::uint8_t>& packed, std::size_t limit) {
    std::vector<std::uint8_t> out(limit);
    std::size_t size = 0;
    auto* d = libdeflate_alloc_decompressor();
    const auto rc = libdeflate_zlib_decompress(d, packed.data(), packed.size(), out.data(), out.size(), &size);
    libdeflate_free_decompressor(d);
    EXPECT_EQ(rc, LIBDEFLATE_SUCCESS);
    out.resize(size);
    return out;
}

}  // namespace

TEST(WriteMzml, SameBytesForEveryThreadCount) {
    corvane::sample_writer::TempDir dir;
    const auto records = assorted_records();
    for (const auto compression : {cc::Compression::none, cc::Compression::zlib, cc::Compression::numpress}) {
        SCOPED_TRACE(static_cast<int>(compression));
        const std::string reference = written(dir, records, {.compression = compression, .threads = 1});
        ASSERT_FALSE(reference.starts_with("failed")) << reference;
        for (const unsigned threads : {2U, 3U, 8U, 64U}) {
            SCOPED_TRACE(std::to_string(threads) + " threads");
            EXPECT_TRUE(written(dir, records, {.compression = compression, .threads = threads}) == reference);
        }
    }
}

TEST(WriteMzml, NumpressStaysCloseAndKeepsWhatItCannotCarryExact) {
    corvane::sample_writer::TempDir dir;
    const auto records = assorted_records();
    const std::string doc = written(dir, records, {.compression = cc::Compression::numpress, .threads = 2});
    const auto arrays = binaries(doc);
    ASSERT_EQ(arrays.size(), 2 * records.size() + 2);  // and the chromatogram's two
    for (std::size_t r = 0; r < records.size(); ++r) {
        SCOPED_TRACE(records[r].native_id);
        const auto& [mz_term, mz_packed] = arrays[2 * r];
        const auto& [intensity_term, intensity_packed] = arrays[2 * r + 1];
        const auto& mz = records[r].mz;
        const auto& intensity = records[r].intensity;
        if (mz.empty()) {  // nothing to encode: plain zlib, empty
            EXPECT_EQ(mz_term, "MS:1000574");
            EXPECT_EQ(intensity_term, "MS:1000574");
            continue;
        }
        const auto mz_bytes = inflate(mz_packed, 8 + mz.size() * 8);
        if (r == 5) {  // NaN: stored exactly
            ASSERT_EQ(mz_term, "MS:1000574");
            ASSERT_EQ(mz_bytes.size(), mz.size() * 8);
            EXPECT_EQ(std::memcmp(mz_bytes.data(), mz.data(), mz_bytes.size()), 0);
        } else {
            ASSERT_EQ(mz_term, "MS:1002746");
            std::vector<double> back(mz.size() + 2);
            ASSERT_EQ(ms::numpress::MSNumpress::decodeLinear(mz_bytes.data(), mz_bytes.size(), back.data()),
                      mz.size());
            for (std::size_t i = 0; i < mz.size(); ++i) EXPECT_NEAR(back[i], mz[i], mz[i] * 1e-9) << i;
        }
        const auto intensity_bytes = inflate(intensity_packed, 8 + intensity.size() * 4);
        if (r == 7) {  // a negative intensity: stored exactly, as 32-bit floats
            ASSERT_EQ(intensity_term, "MS:1000574");
            ASSERT_EQ(intensity_bytes.size(), intensity.size() * 4);
            EXPECT_EQ(std::memcmp(intensity_bytes.data(), intensity.data(), intensity_bytes.size()), 0);
        } else {
            ASSERT_EQ(intensity_term, "MS:1002748");
            std::vector<double> back(intensity.size());
            ASSERT_EQ(ms::numpress::MSNumpress::decodeSlof(intensity_bytes.data(), intensity_bytes.size(),
                                                          back.data()),
                      intensity.size());
            // Short logged floats keep log(x + 1) to half a step of the fixed point:
            // about 1e-4 relative below 2^20, 7e-4 with a value near the float's largest.
            const double tolerance = r == 9 ? 8e-4 : 2e-4;
            for (std::size_t i = 0; i < intensity.size(); ++i) {
                const double want = static_cast<double>(intensity[i]);
                EXPECT_NEAR((back[i] + 1) / (want + 1), 1.0, tolerance) << i;
            }
        }
    }
    // The document says 64-bit for what numpress decodes to; the exact fallbacks keep
    // their own widths.
    EXPECT_NE(doc.find("MS-Numpress linear prediction compression followed by zlib compression"), std::string::npos);
}

TEST(WriteMzml, RepeatedAxesAreWrittenFromTheirOwnValues) {
    // m/z axes that repeat are encoded once per worker; axes that differ from a kept one
    // only in their last value, or only in length, must still be written from their own.
    std::vector<corvane::SpectrumRecord> records;
    const auto axis = [](std::size_t n, double last_shift) {
        std::vector<double> mz(n);
        for (std::size_t i = 0; i < n; ++i) mz[i] = 100.0 + 0.01 * static_cast<double>(i);
        mz.back() += last_shift;
        return mz;
    };
    const std::vector<std::pair<std::size_t, double>> shapes = {
        {4000, 0}, {4000, 0.001}, {4000, 0}, {3999, 0}, {4000, 0}, {600, 0}, {4000, 0.001}, {4000, 0}, {4000, 0.002},
        {4000, 0}};
    for (std::uint32_t i = 0; i < shapes.size(); ++i) {
        auto r = varied_record(i + 1, shapes[i].first);
        r.mz = axis(shapes[i].first, shapes[i].second);
        records.push_back(std::move(r));
    }
    corvane::sample_writer::TempDir dir;
    for (const auto compression : {cc::Compression::none, cc::Compression::zlib, cc::Compression::numpress}) {
        for (const unsigned threads : {1U, 2U}) {
            SCOPED_TRACE(std::to_string(static_cast<int>(compression)) + ", threads " + std::to_string(threads));
            const auto arrays = binaries(written(dir, records, {.compression = compression, .threads = threads}));
            ASSERT_EQ(arrays.size(), 2 * records.size() + 2);
            for (std::size_t r = 0; r < records.size(); ++r) {
                const auto& mz = records[r].mz;
                auto bytes = arrays[2 * r].second;
                if (compression != cc::Compression::none) bytes = inflate(bytes, 8 + mz.size() * 8);
                std::vector<double> back(mz.size() + 2);
                if (compression == cc::Compression::numpress) {
                    back.resize(ms::numpress::MSNumpress::decodeLinear(bytes.data(), bytes.size(), back.data()));
                } else {
                    back.resize(bytes.size() / 8);
                    std::memcpy(back.data(), bytes.data(), back.size() * 8);
                }
                ASSERT_EQ(back.size(), mz.size()) << r;
                const double tolerance = compression == cc::Compression::numpress ? 1e-6 : 0.0;
                EXPECT_NEAR(back.back(), mz.back(), tolerance) << r;
            }
        }
    }
}

TEST(WriteMzml, ASourceThatFailsOnAWorkerFailsTheDocument) {
    // What a decoding worker throws ends the document as an ordinary failure, at every
    // thread count, and no worker is left waiting.
    const auto records = assorted_records();
    for (const unsigned threads : {1U, 2U, 5U}) {
        SCOPED_TRACE(threads);
        corvane::sample_writer::TempDir dir;
        const std::string path = dir.join("out.mzML");
        const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0);
        const cc::IndexedSource source{records.size(), [&](std::size_t i) {
                                           if (i == 13) throw std::bad_alloc();
                                           return records[i];
                                       }};
        cc::Progress progress;
        const std::atomic<bool> stop{false};
        const auto result =
            cc::write_mzml(fd, source, run_info(records.size()), {.threads = threads}, progress, stop);
        ::close(fd);
        ASSERT_FALSE(result);
        EXPECT_EQ(result.error().message, "encoding failed: out of memory");
        EXPECT_EQ(progress.scans_done.load(), 13u);  // everything before it, nothing after
    }
}

TEST(MakeWriter, WritesTheRunOfAReader) {
    // The format's writer takes the run-level values from the reader itself: the run's
    // name, the scan file with its checksum, the count it announces to the progress line.
    corvane::sample_writer::TempDir dir;
    corvane::sample_writer::AcquisitionSpec spec;
    for (std::uint32_t id = 1; id <= 3; ++id) {
        auto s = corvane::sample_writer::scan(id);
        s.peaks = corvane::sample_writer::peaks({100.0, 200.0 + id}, {1.0f, 2.0f});
        spec.scans.push_back(s);
    }
    spec.omit.insert("MSProfile.bin");
    ASSERT_TRUE(corvane::sample_writer::write_acquisition(dir.join("run.d"), spec));
    auto reader = corvane::Reader::open(dir.join("run.d"));
    ASSERT_TRUE(reader);
    const auto sha1 = cc::sha1_of_file(dir.join("run.d/AcqData/MSScan.bin"));
    ASSERT_TRUE(sha1);

    const auto writer = cc::make_writer({.compression = cc::Compression::none, .threads = 2});
    EXPECT_EQ(writer->format(), corvane::output::Format::mzml);
    const std::string path = dir.join("out.mzML");
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    cc::Progress progress;
    const std::atomic<bool> stop{false};
    const auto result = writer->write(fd, *reader, progress, stop);
    ::close(fd);
    ASSERT_TRUE(result) << result.error().message;
    EXPECT_EQ(result->spectra, 3u);
    EXPECT_EQ(progress.scans_total.load(), 3u);
    EXPECT_EQ(progress.scans_done.load(), 3u);
    const std::string doc = read_file(path);
    EXPECT_NE(doc.find("<run id=\"run.d\""), std::string::npos);
    EXPECT_NE(doc.find("value=\"" + *sha1 + "\""), std::string::npos);
    EXPECT_NE(doc.find("location=\"file://" + std::filesystem::weakly_canonical(dir.join("run.d")).string() + "/AcqData\""),
              std::string::npos);
}

// A damaged profile scan has no points to show what it is: the mzML labels it by its index
// entry (profile), in its spectrum and in fileContent; picking makes every scan centroid.
TEST(MakeWriter, DamagedProfileScanIsNotLabelledCentroid) {
    namespace sw = corvane::sample_writer;
    sw::TempDir dir;
    sw::AcquisitionSpec spec;
    auto good = sw::scan(1);
    good.profile = sw::profile({1, 2, 3});
    auto damaged = sw::scan(2);
    damaged.profile = sw::profile({4, 5});
    damaged.profile->byte_offset = std::uint64_t{1} << 30;  // past the end of MSProfile.bin
    auto peaks = sw::scan(3);
    peaks.peaks = sw::peaks({100.0}, {1.0f});
    spec.scans = {good, damaged, peaks};
    // fileContent names a representation only when every spectrum has it: a run of
    // profile scans, one of them damaged, is a profile run.
    sw::AcquisitionSpec profile_only = spec;
    profile_only.scans.pop_back();
    ASSERT_TRUE(sw::write_acquisition(dir.join("run.d"), spec));
    ASSERT_TRUE(sw::write_acquisition(dir.join("profile.d"), profile_only));

    // Each spectrum's representation term, in order, and the fileContent's terms.
    auto terms = [&](const std::string& run, bool centroid) {
        auto reader = corvane::Reader::open(dir.join(run));
        EXPECT_TRUE(reader);
        corvane::convert::ConvertOptions options;
        options.processing.centroid = centroid;
        const std::string out = dir.join(run + (centroid ? ".picked" : "") + ".mzML");
        cc::Progress progress;
        const std::atomic<bool> stop{false};
        const auto written = corvane::convert::write_file(*reader, out, options, progress, stop);
        EXPECT_TRUE(written) << written.error().message;
        EXPECT_EQ(written->damaged, 1u);
        const std::string doc = read_file(out);
        // "P" for the profile term, "C" for the centroid term, in the part given.
        auto kinds = [](const std::string& part) {
            return std::string(part.find("MS:1000128") != std::string::npos ? "P" : "") +
                   (part.find("MS:1000127") != std::string::npos ? "C" : "");
        };
        const std::size_t content = doc.find("<fileContent>");
        std::string found = kinds(doc.substr(content, doc.find("</fileContent>") - content)) + " |";
        for (std::size_t at = doc.find("<spectrum "); at != std::string::npos; at = doc.find("<spectrum ", at + 1)) {
            found += " " + kinds(doc.substr(at, doc.find("</spectrum>", at) - at));
        }
        return found;
    };
    EXPECT_EQ(terms("run.d", false), " | P P C");
    EXPECT_EQ(terms("profile.d", false), "P | P P");
    EXPECT_EQ(terms("profile.d", true), "C | C C");
}

namespace {

// Every attribute value of every element named `element` whose name attribute (when
// `name` is given) equals it, as an XML parser reports them.
std::vector<std::string> parsed_attributes(const std::string& doc, const std::string& element, const std::string& attribute,
                                           const std::string& name = "") {
    struct State {
        const std::string& element;
        const std::string& attribute;
        const std::string& name;
        std::vector<std::string> found;
    } state{element, attribute, name, {}};
    XML_Parser parser = XML_ParserCreateNS(nullptr, ' ');
    XML_SetUserData(parser, &state);
    XML_SetStartElementHandler(parser, [](void* data, const XML_Char* tag, const XML_Char** attrs) {
        auto& st = *static_cast<State*>(data);
        const std::string_view local = std::string_view(tag).substr(std::string_view(tag).rfind(' ') + 1);
        if (local != st.element) return;
        std::map<std::string, std::string> values;
        for (std::size_t i = 0; attrs[i] != nullptr; i += 2) values[attrs[i]] = attrs[i + 1];
        if (!st.name.empty() && values["name"] != st.name) return;
        st.found.push_back(values[st.attribute]);
    });
    const bool ok = XML_Parse(parser, doc.data(), static_cast<int>(doc.size()), 1) == XML_STATUS_OK;
    EXPECT_TRUE(ok) << XML_ErrorString(XML_GetErrorCode(parser));
    XML_ParserFree(parser);
    return state.found;
}

}  // namespace

TEST(WriteMzml, WhitespaceInAttributesSurvivesAParser) {
    // A parser turns a raw tab, newline or carriage return inside an attribute value into a
    // space: they must reach the file as character references to come back unchanged.
    const std::string odd = "a\tb\nc\r\nd  e";
    std::vector<corvane::SpectrumRecord> records{record(1, 2, 2), record(2, 0, 0)};
    records[0].native_id = "scan\t" + odd;
    records[1].native_id = "scan\n2";
    records[1].error = "block\t" + odd;
    cc::RunInfo run = run_info(records.size());
    run.instrument_name = "model\r" + odd;
    corvane::sample_writer::TempDir dir;
    const std::string path = dir.join("out.mzML");
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    FakeSpectra spectra(records);
    cc::Progress progress;
    const std::atomic<bool> stop{false};
    const auto result = cc::write_mzml(fd, spectra.source, run, {.compression = cc::Compression::none}, progress, stop);
    ::close(fd);
    ASSERT_TRUE(result) << result.error().message;
    const std::string doc = read_file(path);
    EXPECT_EQ(parsed_attributes(doc, "spectrum", "id"), (std::vector<std::string>{records[0].native_id, records[1].native_id}));
    EXPECT_EQ(parsed_attributes(doc, "offset", "idRef"),
              (std::vector<std::string>{records[0].native_id, records[1].native_id, "TIC"}));
    EXPECT_EQ(parsed_attributes(doc, "userParam", "value", cc::data_error_param), std::vector<std::string>{*records[1].error});
    EXPECT_EQ(parsed_attributes(doc, "userParam", "value", "instrument model name"),
              std::vector<std::string>{run.instrument_name});
}

namespace {

// A fragment scan with three peaks whose precursor carries the given selected ion, as
// processing makes it (the declared member is msn_value_1).
corvane::SpectrumRecord fragment(std::uint32_t scan_id, std::optional<corvane::SelectedIon> ion) {
    corvane::SpectrumRecord r = record(scan_id, 0, 0);
    r.ms_level = 2;
    r.retention_time_sec = 60.0 + scan_id;
    r.mz = {150.25, 250.5, 350.125};
    r.intensity = {10.0f, 20.5f, 3.0f};
    r.precursor = corvane::PrecursorInfo{500.25, 2.0, r.native_id, std::move(ion)};
    return r;
}

corvane::SelectedIon ion(double mz, std::optional<std::uint32_t> charge = std::nullopt,
                         std::optional<double> monoisotopic = std::nullopt,
                         std::optional<std::string> envelope = std::nullopt) {
    return corvane::SelectedIon{mz, charge, monoisotopic, std::move(envelope)};
}

// Writes records with the given run values to a new file in dir; the file's bytes.
std::string written_run(const corvane::sample_writer::TempDir& dir, const std::vector<corvane::SpectrumRecord>& records,
                        const cc::RunInfo& run, cc::WriteOptions options = {.compression = cc::Compression::none}) {
    const std::string path = dir.join("run-" + std::to_string(options.threads) + ".mzML");
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    EXPECT_GE(fd, 0);
    cc::Progress progress;
    const std::atomic<bool> stop{false};
    const cc::IndexedSource source{records.size(), [&](std::size_t i) { return records[i]; }};
    const auto result = cc::write_mzml(fd, source, run, options, progress, stop);
    ::close(fd);
    if (!result) return "failed: " + result.error().message;
    return read_file(path);
}

}  // namespace

TEST(WriteMzml, PrecursorsOfSelectedIons) {
    // The selected ion m/z is the monoisotopic one when the envelope decided it, else the
    // declared value; never a made-up 0. The index's own values stay user parameters.
    const auto nan = std::numeric_limits<double>::quiet_NaN();
    using Strings = std::vector<std::string>;
    struct Row {
        const char* name;
        std::optional<corvane::SelectedIon> ion;
        Strings mz, charge;
        Strings spectrum_ref, external_id;  // one per precursor element
    };
    const std::vector<Row> rows = {
        {"declared value only", ion(500.25, {}, {}, "scanId=1"), {"500.25"}, {}, {"scanId=1"}, {""}},
        {"monoisotopic m/z and charge", ion(500.25, 2, 499.748, "scanId=1"), {"499.748"}, {"2"}, {"scanId=1"}, {""}},
        {"no MS1 scan before it", ion(500.25), {"500.25"}, {}, {""}, {""}},
        {"MS1 scan left out of the document", ion(500.25, 2, 499.748, "scanId=9"), {"499.748"}, {"2"}, {""},
         {"scanId=9"}},
        {"declared value 0", ion(0.0, 2, {}, "scanId=1"), {}, {}, {}, {}},
        {"declared value not a number", ion(nan, {}, {}, "scanId=1"), {}, {}, {}, {}},
        {"no selected ion", std::nullopt, {}, {}, {}, {}},
    };
    corvane::sample_writer::TempDir dir;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::vector<corvane::SpectrumRecord> records{record(1, 2, 2), fragment(10, row.ion)};
        cc::RunInfo run = run_info(records.size());
        run.in_document = [](std::string_view id) { return id != "scanId=9"; };
        const std::string doc = written_run(dir, records, run);
        EXPECT_EQ(parsed_attributes(doc, "cvParam", "value", "selected ion m/z"), row.mz);
        EXPECT_EQ(parsed_attributes(doc, "cvParam", "value", "charge state"), row.charge);
        EXPECT_EQ(parsed_attributes(doc, "precursor", "spectrumRef"), row.spectrum_ref);
        EXPECT_EQ(parsed_attributes(doc, "precursor", "externalSpectrumID"), row.external_id);
        EXPECT_EQ(parsed_attributes(doc, "cvParam", "accession", "collision-induced dissociation"),
                  Strings(row.spectrum_ref.size(), "MS:1000133"));
        EXPECT_EQ(parsed_attributes(doc, "userParam", "value", "msn_value_1"), Strings{"500.25"});
        EXPECT_EQ(parsed_attributes(doc, "userParam", "value", "scan index reference"), Strings{"scanId=10"});
    }
}

TEST(WriteMzml, PeakPickingIsRecordedBesideTheConversion) {
    corvane::sample_writer::TempDir dir;
    const std::vector<corvane::SpectrumRecord> records{record(1, 2, 2), record(2, 3, 3)};
    for (const bool picked : {false, true}) {
        SCOPED_TRACE(picked);
        cc::RunInfo run = run_info(records.size());
        run.peak_picking = picked;
        const std::string doc = written_run(dir, records, run);
        const std::string id = picked ? "conversion_and_peak_picking" : "conversion";
        EXPECT_EQ(parsed_attributes(doc, "dataProcessing", "id"), std::vector<std::string>{id});
        EXPECT_EQ(parsed_attributes(doc, "processingMethod", "softwareRef"),
                  std::vector<std::string>(picked ? 2 : 1, "corvane"));
        EXPECT_EQ(parsed_attributes(doc, "cvParam", "accession", "peak picking").size(), picked ? 1u : 0u);
        EXPECT_EQ(parsed_attributes(doc, "cvParam", "accession", "Conversion to mzML"),
                  std::vector<std::string>{"MS:1000544"});
        EXPECT_EQ(parsed_attributes(doc, "spectrumList", "defaultDataProcessingRef"), std::vector<std::string>{id});
    }
}

namespace {

struct MgfOutcome {
    std::string text;
    cc::Outcome<cc::WriteStats> result;
};

MgfOutcome written_mgf(const corvane::sample_writer::TempDir& dir, const std::vector<corvane::SpectrumRecord>& records,
                       corvane::mgf::WriteOptions options, const std::atomic<bool>& stop = std::atomic<bool>{false},
                       const char* file = nullptr) {
    const std::string path = file ? file : dir.join("out-" + std::to_string(options.threads) + ".mgf");
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    EXPECT_GE(fd, 0);
    cc::Progress progress;
    const corvane::output::IndexedSource source{records.size(), [&](std::size_t i) {
                                                    return records[i];
                                                }};
    auto result = corvane::mgf::write_mgf(fd, source, options, progress, stop);
    ::close(fd);
    if (result) {
        EXPECT_EQ(progress.scans_done.load(), records.size());
        EXPECT_EQ(progress.bytes_written.load(), result->bytes);
    }
    return {file ? std::string() : read_file(path), std::move(result)};
}

}  // namespace

TEST(WriteMgf, EntriesOfFragmentScansWithAPrecursor) {
    const auto nan = std::numeric_limits<double>::quiet_NaN();
    std::vector<corvane::SpectrumRecord> records{record(1, 2, 2)};                  // MS1: no entry
    records.push_back(fragment(2, ion(500.25, 2, 499.748, "scanId=1")));          // monoisotopic and charge
    records.push_back(fragment(3, std::nullopt));                                 // no precursor m/z
    records.push_back(fragment(4, ion(500.25)));                                  // damaged
    records.back().mz.clear();
    records.back().intensity.clear();
    records.back().error = "parse error: Truncated MSPeak.bin block";
    records.push_back(fragment(5, ion(612.5, {}, {}, "scanId=1")));               // points that cannot be written
    records.back().mz[0] = nan;
    records.back().intensity[2] = std::numeric_limits<float>::infinity();
    records.push_back(fragment(6, ion(0.0, 2)));                                  // a declared value of 0
    records.push_back(fragment(7, ion(700.125, 3)));                              // no peaks
    records.back().mz.clear();
    records.back().intensity.clear();
    records.back().retention_time_sec = 0.1;
    records.push_back(fragment(8, ion(800.5)));                                   // a time no reader takes
    records.back().retention_time_sec = nan;
    records.back().mz.resize(1);
    records.back().intensity.resize(1);
    corvane::sample_writer::TempDir dir;
    const auto [text, result] = written_mgf(dir, records, {.threads = 2});
    ASSERT_TRUE(result) << result.error().message;
    EXPECT_EQ(text,
              "BEGIN IONS\nTITLE=scanId=2\nRTINSECONDS=62\nPEPMASS=499.748\nCHARGE=2+\nSCANS=2\n"
              "150.25 10\n250.5 20.5\n350.125 3\nEND IONS\n"
              "\n"
              "BEGIN IONS\nTITLE=scanId=5\nRTINSECONDS=65\nPEPMASS=612.5\nSCANS=5\n"
              "250.5 20.5\nEND IONS\n"
              "\n"
              "BEGIN IONS\nTITLE=scanId=7\nRTINSECONDS=0.1\nPEPMASS=700.125\nCHARGE=3+\nSCANS=7\nEND IONS\n"
              "\n"
              "BEGIN IONS\nTITLE=scanId=8\nPEPMASS=800.5\nSCANS=8\n150.25 10\nEND IONS\n");
    EXPECT_EQ(result->spectra, 4u);
    EXPECT_EQ(result->points, 5u);
    EXPECT_EQ(result->bytes, text.size());
    EXPECT_EQ(result->damaged, 1u);
    EXPECT_EQ(result->first_damaged, std::vector<std::string>{"scanId=4"});
    EXPECT_EQ(result->first_error, "parse error: Truncated MSPeak.bin block");
    EXPECT_EQ(result->without_precursor, 2u);
    EXPECT_EQ(result->first_without_precursor, (std::vector<std::string>{"scanId=3", "scanId=6"}));
}

TEST(WriteMgf, SameBytesForEveryThreadCount) {
    std::vector<corvane::SpectrumRecord> records = assorted_records();
    for (std::size_t i = 0; i < records.size(); ++i) {
        auto& r = records[i];
        r.ms_level = 2;
        r.precursor = corvane::PrecursorInfo{400.0 + static_cast<double>(i), 2.0, r.native_id, std::nullopt};
        if (i % 5 == 3) continue;  // no precursor m/z: left out
        r.precursor->selected_ion = ion(400.0 + static_cast<double>(i) / 7.0);
        if (i % 3 == 0) r.precursor->selected_ion->charge = 2;
    }
    corvane::sample_writer::TempDir dir;
    const auto reference = written_mgf(dir, records, {.threads = 1});
    ASSERT_TRUE(reference.result) << reference.result.error().message;
    EXPECT_EQ(reference.result->spectra, records.size() - 4);  // every fifth from the fourth has no precursor
    for (const unsigned threads : {2U, 3U, 8U, 64U}) {
        SCOPED_TRACE(threads);
        const auto other = written_mgf(dir, records, {.threads = threads});
        ASSERT_TRUE(other.result) << other.result.error().message;
        EXPECT_TRUE(other.text == reference.text);
    }
}

TEST(WriteMgf, Failures) {
    auto damaged = fragment(4, ion(500.25));
    damaged.mz.clear();
    damaged.intensity.clear();
    damaged.error = "parse error: LZF: invalid back reference";
    auto uneven = fragment(5, ion(500.25));
    uneven.intensity.pop_back();
    auto big = fragment(7, ion(500.25));
    big.mz.assign(300000, 123.456789);
    big.intensity.assign(300000, 98765.4f);
    struct Row {
        const char* name;
        std::vector<corvane::SpectrumRecord> records;
        corvane::mgf::WriteOptions options;
        bool stop;
        const char* file;
        std::string message;
    };
    const std::vector<Row> rows = {
        {"damaged, strict", {fragment(2, ion(500.25)), damaged}, {.strict = true}, false, nullptr,
         "scan scanId=4 is damaged: parse error: LZF: invalid back reference; nothing written"},
        {"arrays of different lengths", {fragment(2, ion(500.25)), uneven}, {}, false, nullptr,
         "spectrum scanId=5 has arrays of different lengths"},
        {"disk full", {big, big, big}, {}, false, "/dev/full", "write failed: No space left on device"},
    };
    for (const unsigned threads : {1U, 3U}) {
        for (const Row& row : rows) {
            SCOPED_TRACE(std::string(row.name) + ", threads " + std::to_string(threads));
            corvane::sample_writer::TempDir dir;
            auto options = row.options;
            options.threads = threads;
            const std::atomic<bool> stop{row.stop};
            const auto outcome = written_mgf(dir, row.records, options, stop, row.file);
            ASSERT_FALSE(outcome.result);
            EXPECT_EQ(outcome.result.error().message, row.message);
        }
    }
}
