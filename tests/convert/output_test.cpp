// The output layer's rules (export/output.hpp), and the report page written through them.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "export/output.hpp"
#include "report.hpp"
#include "sample_writer.hpp"
#include "sys.hpp"

namespace {

namespace fs = std::filesystem;
namespace out = corvane::output;
using corvane::sample_writer::TempDir;

std::vector<std::string> listing(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string contents(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(OutputName, OneRuleForEveryFormat) {
    struct Row {
        std::string input;
        std::string extension;
        std::string name;
    };
    const Row rows[] = {
        {"/data/run.d", "mzML", "run.mzML"},   {"run.D", "mzML", "run.mzML"},
        {"../../x.D/", "mzML", "x.mzML"},      {"run.d///", "html", "run.html"},
        {"a/b.d.d", "mzML", "b.d.mzML"},       {"plain", "html", "plain.html"},
        {".d", "mzML", ".d.mzML"},             {"run.dd", "mzML", "run.dd.mzML"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.input);
        const auto name = out::file_name(row.input, row.extension);
        ASSERT_TRUE(name) << name.error().message;
        EXPECT_EQ(*name, row.name);
    }
    EXPECT_EQ(out::file_name("run.d", out::Format::mzml).value(), "run.mzML");
    // "." and ".." are named after the folder they stand for; "/" after nothing.
    EXPECT_EQ(out::file_name(".", "html").value(), fs::current_path().filename().string() + ".html");
    const auto root = out::file_name("/", "html");
    ASSERT_FALSE(root);
    EXPECT_EQ(root.error().message, "/: cannot name an output after it");
}

TEST(OutputFile, ReplacesOnlyWhenAskedAndNeverAFolder) {
    TempDir dir;
    const std::string target = dir.join("page.html");
    ASSERT_TRUE(out::write_text({target, "", false}, "first"));
    const auto kept = out::write_text({target, "", false}, "second");
    ASSERT_FALSE(kept);
    EXPECT_EQ(kept.error().os_error, EEXIST);
    EXPECT_EQ(kept.error().message, target + ": already exists (--force replaces it)");
    EXPECT_EQ(contents(target), "first");
    ASSERT_TRUE(out::write_text({target, "", true}, "second"));
    EXPECT_EQ(contents(target), "second");

    ASSERT_EQ(::mkdir(dir.join("folder").c_str(), 0755), 0);
    for (const bool replace : {false, true}) {
        const auto onto_folder = out::write_text({dir.join("folder"), "", replace}, "x");
        ASSERT_FALSE(onto_folder);
        EXPECT_EQ(onto_folder.error().os_error, EISDIR);
    }
    const auto missing = out::write_text({dir.join("no/page.html"), "", true}, "x");
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().os_error, ENOENT);
    EXPECT_EQ(listing(dir.path()), (std::vector<std::string>{"folder", "page.html"}));
    EXPECT_TRUE(listing(dir.join("folder")).empty());
}

TEST(OutputFile, NewFilesTakeTheUmask) {
    TempDir dir;
    const mode_t previous = ::umask(027);
    const auto written = out::write_text({dir.join("a"), "", false}, "x");
    ::umask(previous);
    ASSERT_TRUE(written);
    struct stat st {};
    ASSERT_EQ(::stat(dir.join("a").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST(OutputFile, NothingIsWrittenInsideTheAcquisition) {
    TempDir dir;
    const std::string acq = dir.join("run.d");
    ASSERT_EQ(::mkdir(acq.c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((acq + "/AcqData").c_str(), 0755), 0);
    ASSERT_EQ(::symlink((acq + "/AcqData").c_str(), dir.join("link").c_str()), 0);
    ASSERT_EQ(::mkdir(dir.join("run.d2").c_str(), 0755), 0);
    struct Row {
        std::string target;
        std::string acquisition;
        bool refused;
    };
    const Row rows[] = {
        {acq + "/x.html", acq, true},
        {acq + "/AcqData/MSScan.bin", acq, true},
        {acq + "/AcqData/x", acq + "//", true},
        {dir.join("link/x"), acq, true},                  // through a link into it
        {dir.join("run.d2/x"), acq, false},               // a sibling that shares its name's start
        {dir.join("x.html"), acq, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.target);
        const auto before = listing(acq + "/AcqData");
        const auto written = out::write_text({row.target, row.acquisition, true}, "x");
        if (row.refused) {
            ASSERT_FALSE(written);
            EXPECT_TRUE(written.error().refused);
            EXPECT_EQ(written.error().message,
                      row.target + ": inside the acquisition " + row.acquisition + ", which is never written to");
        } else {
            EXPECT_TRUE(written);
        }
        EXPECT_EQ(listing(acq + "/AcqData"), before);
    }
    EXPECT_TRUE(listing(acq + "/AcqData").empty());
}

// A target whose own name is as long as the folder allows still gets a temporary file.
TEST(OutputFile, ALongNameIsNoLongerForItsTemporaryFile) {
    TempDir dir;
    const std::string plain = std::string(255 - 5, 'n') + ".html";
    // 255 bytes whose cut falls inside a two-byte character (é is C3 A9).
    std::string accented = "x";
    while (accented.size() + 2 <= 255 - 5) accented += "\xC3\xA9";
    accented += std::string(255 - 5 - accented.size(), 'e') + ".mzML";
    for (const std::string& name : {plain, accented}) {
        SCOPED_TRACE(name.size());
        ASSERT_EQ(name.size(), 255u);
        const auto written = out::write_text({dir.join(name), "", false}, "x");
        ASSERT_TRUE(written) << written.error().message;
        EXPECT_EQ(contents(dir.join(name)), "x");
    }
    EXPECT_EQ(listing(dir.path()).size(), 2u);
}

std::atomic<int> fsyncs{0};
std::atomic<int> folder_fsyncs{0};  // of them, on a folder
std::atomic<int> fsync_error{0};

int counting_fsync(int fd) {
    ++fsyncs;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) ++folder_fsyncs;
    if (fsync_error != 0) {
        errno = fsync_error;
        return -1;
    }
    return ::fsync(fd);
}

int refused_fchmod(int, mode_t) {
    errno = EPERM;
    return -1;
}

long no_room_write(int, const void*, unsigned long, long long) {
    errno = ENOSPC;
    return -1;
}

long nothing_written(int, const void*, unsigned long, long long) { return 0; }

TEST(OutputFile, FlushedBeforeItsRenameAndFailuresLeaveNothing) {
    TempDir dir;
    const std::string target = dir.join("page.html");
    ASSERT_TRUE(out::write_text({target, "", false}, "older"));
    corvane::sys::Swapped counted(corvane::sys::fsync_seam, counting_fsync);
    fsyncs = 0;
    folder_fsyncs = 0;
    ASSERT_TRUE(out::write_text({target, "", true}, "newer"));
    EXPECT_EQ(fsyncs, 2);  // the file before its rename, the folder after it
    EXPECT_EQ(folder_fsyncs, 1);

    // Each failure: one line naming the path, the older file kept, no temporary file left.
    struct Row {
        const char* name;
        corvane::sys::FchmodFn fchmod;
        corvane::sys::WriteFn write;
        int fsync_errno;
        int os_error;
    };
    const Row rows[] = {
        {"fsync fails", nullptr, nullptr, EIO, EIO},
        {"permissions refused", refused_fchmod, nullptr, 0, EPERM},
        {"no room", nullptr, no_room_write, 0, ENOSPC},
        {"a write that takes nothing", nullptr, nothing_written, 0, ENOSPC},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        corvane::sys::Swapped fchmod(corvane::sys::fchmod_seam, row.fchmod);
        corvane::sys::Swapped write(corvane::sys::write_seam, row.write);
        fsync_error = row.fsync_errno;
        const auto written = out::write_text({target, "", true}, "lost");
        fsync_error = 0;
        ASSERT_FALSE(written);
        EXPECT_EQ(written.error().os_error, row.os_error);
        EXPECT_TRUE(written.error().message.starts_with(dir.path() + "/")) << written.error().message;
        EXPECT_EQ(contents(target), "newer");
        EXPECT_EQ(listing(dir.path()), std::vector<std::string>{"page.html"});
    }
}

// The report's page once went to disk without fsync, into the acquisition when asked
// to, and through a temporary name that could be too long for the folder.
TEST(ReportPage, WrittenByTheOutputLayersRules) {
    TempDir dir;
    const std::string acq = dir.join("run.d");
    ASSERT_EQ(::mkdir(acq.c_str(), 0755), 0);

    corvane::sys::Swapped counted(corvane::sys::fsync_seam, counting_fsync);
    fsyncs = 0;
    ASSERT_TRUE(corvane::report::write_file(acq, dir.join("run.html"), "<html>"));
    EXPECT_EQ(fsyncs, 2);  // the page, then its folder
    ASSERT_TRUE(corvane::report::write_file(acq, dir.join("run.html"), "<html>again"));  // replaces
    EXPECT_EQ(contents(dir.join("run.html")), "<html>again");

    const auto inside = corvane::report::write_file(acq, acq + "/run.html", "<html>");
    ASSERT_FALSE(inside);
    EXPECT_TRUE(inside.error().refused);
    EXPECT_EQ(inside.error().message, acq + "/run.html: inside the acquisition " + acq + ", which is never written to");
    EXPECT_TRUE(listing(acq).empty());

    const std::string longest = dir.join(std::string(250, 'r') + ".html");
    const auto long_name = corvane::report::write_file(acq, longest, "<html>");
    EXPECT_TRUE(long_name) << long_name.error().message;
    EXPECT_EQ(listing(dir.path()), (std::vector<std::string>{std::string(250, 'r') + ".html", "run.d", "run.html"}));
}

}  // namespace
