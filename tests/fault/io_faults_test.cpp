// What the file system can do to a reader: interrupted and short reads, files it may not
// read, loops, special files, and what reading must leave behind (the acquisition
// untouched, no descriptor open).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <numeric>
#include <string>
#include <vector>

#include "sample_writer.hpp"
#include "raw/msscan.hpp"
#include "raw/raw.hpp"
#include "reader.hpp"
#include "sys.hpp"

namespace {

namespace fx = corvane::sample_writer;
namespace fs = std::filesystem;
using corvane::Reader;

// ---- Acquisitions and what a reader makes of them -------------------------------------

// Three scans with profile and peak data, both XML files present.
fx::AcquisitionSpec sample_spec(std::uint32_t points = 64) {
    fx::AcquisitionSpec spec;
    spec.stride = 284;
    for (std::uint32_t i = 0; i < 3; ++i) {
        fx::ScanSpec s;
        s.scan_id = 100 + i;
        s.rt_min = 0.5 * i;
        s.ms_level = static_cast<std::uint16_t>(i == 2 ? 2 : 1);
        if (i == 2) {
            s.msn_value_1 = 445.12;
            s.msn_value_2 = 1.0;
        }
        s.mz_first = 100.0;
        s.mz_last = 900.0;
        if (i != 1) {
            fx::ProfileSpec p;
            p.intensities.resize(points);
            std::iota(p.intensities.begin(), p.intensities.end(), 7 * i);
            s.profile = p;
        } else {
            fx::PeakSpec k;
            k.format = 3;
            k.mz = {101.5, 202.25, 303.125};
            k.intensity = {1.0f, 20.0f, 300.0f};
            s.peaks = k;
        }
        spec.scans.push_back(s);
    }
    const std::string devices =
        "<Devices><Device><Name>LC/MS</Name><ModelNumber>G6530A</ModelNumber></Device></Devices>";
    const std::string contents = "<Contents><AcquiredTime>2020-01-02T03:04:05Z</AcquiredTime></Contents>";
    spec.files["Devices.xml"] = fx::ByteVec(devices.begin(), devices.end());
    spec.files["Contents.xml"] = fx::ByteVec(contents.begin(), contents.end());
    return spec;
}

std::string write_sample(const fx::TempDir& tmp, const std::string& name,
                         const fx::AcquisitionSpec& spec = sample_spec()) {
    const std::string dir = tmp.join(name);
    auto ok = fx::write_acquisition(dir, spec);
    EXPECT_TRUE(ok) << (ok ? "" : ok.error());
    return dir;
}

// One line per scan: id, level, point count and the sum of the values; enough to tell
// two readings of the same acquisition apart.
std::string digest(const Reader& reader) {
    std::string out;
    auto it = reader.iter_spectra();
    while (auto r = it->next()) {
        const double mz = std::accumulate(r->mz.begin(), r->mz.end(), 0.0);
        const double in = std::accumulate(r->intensity.begin(), r->intensity.end(), 0.0);
        out += std::to_string(r->scan_id) + " L" + std::to_string(r->ms_level) + " n" +
               std::to_string(r->mz.size()) + " mz" + std::to_string(mz) + " i" +
               std::to_string(in) + (r->is_profile ? " profile\n" : " peaks\n");
    }
    out += reader.instrument().name + " | " + reader.acquired_time().value_or("(no time)");
    return out;
}

// Opens and drains dir: the digest, or the error's display text.
std::string open_and_drain(const std::string& dir) {
    auto reader = Reader::open(dir);
    if (!reader) return reader.error().display();
    return digest(*reader);
}

// The read call swapped for the test's lifetime, restored whatever happens.
class ReadCallGuard : public corvane::sys::Swapped<corvane::sys::ReadFn> {
public:
    explicit ReadCallGuard(corvane::sys::ReadFn call) : Swapped(corvane::sys::read_seam, call) {}
};

long real_read(int fd, void* buffer, unsigned long count, long long offset) {
    return offset < 0 ? ::read(fd, buffer, count) : ::pread(fd, buffer, count, offset);
}

// ---- Interrupted reads ----------------------------------------------------------------

std::atomic<long> seam_calls{0};

// Every other call is interrupted before reading anything; the others read 3 bytes at most.
long interrupting_read(int fd, void* buffer, unsigned long count, long long offset) {
    if (seam_calls.fetch_add(1) % 2 == 0) {
        errno = EINTR;
        return -1;
    }
    return real_read(fd, buffer, count < 3 ? count : 3, offset);
}

fx::ByteVec pattern(std::size_t n) {
    fx::ByteVec v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>((i * 131 + i / 251) & 0xFF);
    return v;
}

TEST(InterruptedRead, RetriedUntilTheBufferIsFull) {
    fx::TempDir tmp;
    const fx::ByteVec data = pattern(1000);
    ASSERT_TRUE(fx::write_file(tmp.join("data.bin"), data));
    const std::string dir = write_sample(tmp, "run.d");
    const std::string expected = open_and_drain(dir);
    auto scan_plain = corvane::raw::MSScan::from_path(dir + "/AcqData/MSScan.bin");
    ASSERT_TRUE(scan_plain);

    ReadCallGuard guard(interrupting_read);
    seam_calls = 0;
    auto bytes = corvane::raw::read_bytes(tmp.join("data.bin"), 17, 900);
    ASSERT_TRUE(bytes) << bytes.error().display();
    EXPECT_EQ(*bytes, fx::ByteVec(data.begin() + 17, data.begin() + 917));
    EXPECT_EQ(seam_calls.load(), 600);  // 300 reads of 3 bytes, each interrupted once

    auto whole = corvane::raw::read_file(tmp.join("data.bin"));
    ASSERT_TRUE(whole) << whole.error().display();
    EXPECT_EQ(*whole, data);

    auto scan = corvane::raw::MSScan::from_path(dir + "/AcqData/MSScan.bin");
    ASSERT_TRUE(scan) << scan.error().display();
    EXPECT_EQ(scan->records.size(), scan_plain->records.size());
    EXPECT_EQ(open_and_drain(dir), expected);
}

std::atomic<long> alarms{0};
extern "C" void count_alarm(int) { alarms.fetch_add(1); }

// A real interval timer, its handler installed without SA_RESTART, firing all through
// large reads: every read must still return the file's bytes. (Reads of regular files
// rarely return EINTR on Linux; the seam test above drives the retry itself.)
TEST(InterruptedRead, IntervalTimerDuringLargeReads) {
    fx::TempDir tmp;
    const fx::ByteVec data = pattern(std::size_t{16} << 20);
    ASSERT_TRUE(fx::write_file(tmp.join("big.bin"), data));
    fx::AcquisitionSpec spec = sample_spec(200000);
    const std::string dir = write_sample(tmp, "run.d", spec);
    const std::string expected = open_and_drain(dir);

    struct sigaction action {};
    action.sa_handler = count_alarm;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: an interrupted call fails with EINTR
    struct sigaction old_action {};
    ASSERT_EQ(sigaction(SIGALRM, &action, &old_action), 0);
    itimerval timer{};
    timer.it_interval.tv_usec = 100;
    timer.it_value.tv_usec = 100;
    itimerval old_timer{};
    ASSERT_EQ(setitimer(ITIMER_REAL, &timer, &old_timer), 0);

    alarms = 0;
    int rounds = 0;
    bool all_equal = true;
    std::string drained;
    // Go on until the timer has fired often during the reads (bounded, never by time).
    while (alarms.load() < 200 && rounds < 400) {
        auto bytes = corvane::raw::read_bytes(tmp.join("big.bin"), 3, data.size() - 3);
        all_equal = all_equal && bytes && std::equal(bytes->begin(), bytes->end(), data.begin() + 3);
        if (rounds % 8 == 0) drained = open_and_drain(dir);
        if (drained != expected) all_equal = false;
        ++rounds;
    }
    itimerval stop{};
    setitimer(ITIMER_REAL, &stop, nullptr);
    sigaction(SIGALRM, &old_action, nullptr);

    EXPECT_TRUE(all_equal);
    EXPECT_EQ(drained, expected);
    EXPECT_GE(alarms.load(), 200) << "the timer hardly fired in " << rounds << " rounds";
}

// ---- Short files and failing reads -----------------------------------------------------

// Pretends every file ends after 60 bytes, as when a file shrinks after its size query.
long truncating_read(int fd, void* buffer, unsigned long count, long long offset) {
    constexpr long long end = 60;
    if (offset < 0) return ::read(fd, buffer, count);
    if (offset >= end) return 0;
    const auto room = static_cast<unsigned long>(end - offset);
    return ::pread(fd, buffer, count < room ? count : room, offset);
}

long failing_read(int, void*, unsigned long, long long) {
    errno = EIO;
    return -1;
}

TEST(ShortRead, FileEndingEarlyFailsToFillBuffer) {
    fx::TempDir tmp;
    ASSERT_TRUE(fx::write_file(tmp.join("data.bin"), pattern(100)));
    const std::string dir = write_sample(tmp, "run.d");
    {
        ReadCallGuard guard(truncating_read);
        auto bytes = corvane::raw::read_bytes(tmp.join("data.bin"), 10, 80);
        ASSERT_FALSE(bytes);
        EXPECT_EQ(bytes.error().display(), "I/O error: failed to fill whole buffer");
        auto fits = corvane::raw::read_bytes(tmp.join("data.bin"), 10, 50);  // ends at 60
        EXPECT_TRUE(fits);

        // A scan whose block cannot be read whole gets empty lists; the rest still read.
        auto reader = Reader::open(dir);
        ASSERT_TRUE(reader) << reader.error().display();
        auto it = reader->iter_spectra();
        std::size_t scans = 0;
        while (auto r = it->next()) {
            EXPECT_EQ(r->mz.size(), r->intensity.size());
            ++scans;
        }
        EXPECT_EQ(scans, 3u);
    }
    {
        ReadCallGuard guard(failing_read);
        auto bytes = corvane::raw::read_bytes(tmp.join("data.bin"), 0, 10);
        ASSERT_FALSE(bytes);
        EXPECT_EQ(bytes.error().display(), "I/O error: Input/output error (os error 5)");
        auto opened = Reader::open(dir);
        ASSERT_FALSE(opened);
        EXPECT_EQ(opened.error().display(), "I/O error: Input/output error (os error 5)");
    }
}

// sysfs files report a size of 4096 and hold a few bytes: a short file the kernel makes.
TEST(ShortRead, SysfsFileSmallerThanItsSize) {
    const std::string path = "/sys/devices/system/cpu/online";
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || st.st_size != 4096) {
        GTEST_SKIP() << path << " is missing or does not report a 4096-byte size";
    }
    auto bytes = corvane::raw::read_bytes(path, 0, 4096);
    ASSERT_FALSE(bytes);
    EXPECT_EQ(bytes.error().display(), "I/O error: failed to fill whole buffer");
}

// ---- Loops and special files -----------------------------------------------------------

TEST(SpecialFiles, SymbolicLinkLoops) {
    fx::TempDir tmp;
    // AcqData pointing at itself, and a two-link cycle.
    const std::string self = tmp.join("self.d");
    fs::create_directories(self);
    fs::create_directory_symlink("AcqData", self + "/AcqData");
    const std::string pair = tmp.join("pair.d");
    fs::create_directories(pair);
    fs::create_directory_symlink("Other", pair + "/AcqData");
    fs::create_directory_symlink("AcqData", pair + "/Other");
    for (const auto& dir : {self, pair}) {
        SCOPED_TRACE(dir);
        auto reader = Reader::open(dir);
        ASSERT_FALSE(reader);
        EXPECT_EQ(reader.error().display(), "parse error: AcqData directory not found");
    }

    // A loop in place of the index fails with the system's error; in place of the data
    // and metadata files it only empties the scans and the metadata.
    const std::string dir = write_sample(tmp, "run.d");
    const std::string acq = dir + "/AcqData/";
    for (const char* name : {"MSPeak.bin", "MSProfile.bin", "Devices.xml", "Contents.xml"}) {
        fs::remove(acq + name);
        fs::create_symlink(name, acq + name);
    }
    auto reader = Reader::open(dir);
    ASSERT_TRUE(reader) << reader.error().display();
    EXPECT_EQ(digest(*reader),
              "100 L1 n0 mz0.000000 i0.000000 peaks\n101 L1 n0 mz0.000000 i0.000000 peaks\n"
              "102 L2 n0 mz0.000000 i0.000000 peaks\nvendor Q-TOF | (no time)");
    fs::remove(acq + "MSScan.bin");
    fs::create_symlink("MSScan.bin", acq + "MSScan.bin");
    EXPECT_EQ(open_and_drain(dir), "I/O error: Too many levels of symbolic links (os error 40)");
}

// A FIFO would block the reader in open() until some writer came; a device would be read
// forever. Neither may hang the reader or make it allocate without end.
TEST(SpecialFiles, FifosAndDevicesDoNotHang) {
    fx::TempDir tmp;
    const std::string dir = write_sample(tmp, "run.d");
    const std::string acq = dir + "/AcqData/";
    for (const char* name : {"MSPeak.bin", "MSProfile.bin", "Contents.xml"}) {
        fs::remove(acq + name);
        ASSERT_EQ(::mkfifo((acq + name).c_str(), 0600), 0);
    }
    fs::remove(acq + "Devices.xml");
    fs::create_symlink("/dev/zero", acq + "Devices.xml");
    auto reader = Reader::open(dir);
    ASSERT_TRUE(reader) << reader.error().display();
    EXPECT_EQ(digest(*reader),
              "100 L1 n0 mz0.000000 i0.000000 peaks\n101 L1 n0 mz0.000000 i0.000000 peaks\n"
              "102 L2 n0 mz0.000000 i0.000000 peaks\nvendor Q-TOF | (no time)");

    const std::string index = acq + "MSScan.bin";
    fs::remove(index);
    ASSERT_EQ(::mkfifo(index.c_str(), 0600), 0);
    EXPECT_EQ(open_and_drain(dir), "I/O error: Invalid argument (os error 22)");
    fs::remove(index);
    fs::create_symlink("/dev/zero", index);
    EXPECT_EQ(open_and_drain(dir), "I/O error: Invalid argument (os error 22)");
    // A directory in its place: the read itself fails.
    fs::remove(index);
    fs::create_directory(index);
    EXPECT_EQ(open_and_drain(dir), "I/O error: Is a directory (os error 21)");
}

// ---- Permissions -----------------------------------------------------------------------

// Runs `work` in a child process without root's right to read anything (as "nobody" when
// the test runs as root) and returns the lines it produced. Empty optional and a reason
// when the child cannot give up that right.
struct ChildOutcome {
    std::string skip_reason;
    std::vector<std::string> lines;
};

ChildOutcome run_unprivileged(const std::function<std::vector<std::string>()>& work) {
    ChildOutcome outcome;
    uid_t uid = ::geteuid();
    gid_t gid = ::getegid();
    if (uid == 0) {
        const passwd* nobody = ::getpwnam("nobody");
        if (nobody == nullptr) {
            outcome.skip_reason = "running as root and there is no user 'nobody' to become";
            return outcome;
        }
        uid = nobody->pw_uid;
        gid = nobody->pw_gid;
    }
    int fds[2];
    if (::pipe(fds) != 0) {
        outcome.skip_reason = "pipe() failed";
        return outcome;
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        std::string out;
        if (::geteuid() == 0 &&
            (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0)) {
            out = std::string("SKIP cannot drop root: ") + std::strerror(errno) + "\n";
        } else if (::geteuid() == 0 || ::access("/proc/self/status", R_OK) != 0) {
            out = "SKIP still privileged after setuid\n";
        } else {
            for (const auto& line : work()) out += line + "\n";
        }
        std::size_t done = 0;
        while (done < out.size()) {
            const ssize_t n = ::write(fds[1], out.data() + done, out.size() - done);
            if (n <= 0) break;
            done += static_cast<std::size_t>(n);
        }
        ::_exit(0);
    }
    ::close(fds[1]);
    std::string text;
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(fds[0], buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<std::size_t>(n));
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        outcome.lines.push_back("child died with status " + std::to_string(status));
        return outcome;
    }
    if (text.starts_with("SKIP ")) {
        outcome.skip_reason = text.substr(5, text.size() - 6);
        return outcome;
    }
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        outcome.lines.push_back(text.substr(start, end - start));
    }
    return outcome;
}

// Permission bits only bind a process without root's override, so the checks run in a
// child that has become "nobody". The acquisitions are made by this process.
TEST(Permissions, UnreadableFilesAndUnsearchableDirectories) {
    fx::TempDir tmp;
    ::chmod(tmp.path().c_str(), 0755);
    const std::string readable = write_sample(tmp, "readable.d");
    const std::string expected = open_and_drain(readable);

    struct Case {
        const char* name;
        std::function<void(const std::string& dir)> damage;
        std::string expected;
    };
    const std::string empty_scans =
        "100 L1 n0 mz0.000000 i0.000000 peaks\n101 L1 n0 mz0.000000 i0.000000 peaks\n"
        "102 L2 n0 mz0.000000 i0.000000 peaks\nvendor Q-TOF | (no time)";
    const std::vector<Case> cases = {
        {"acqdata-no-search", [](const std::string& d) { ::chmod((d + "/AcqData").c_str(), 0644); },
         "I/O error: Permission denied (os error 13)"},
        {"acqdata-mode-000", [](const std::string& d) { ::chmod((d + "/AcqData").c_str(), 0); },
         "I/O error: Permission denied (os error 13)"},
        {"root-no-search", [](const std::string& d) { ::chmod(d.c_str(), 0644); },
         "parse error: AcqData directory not found"},
        {"msscan-mode-000", [](const std::string& d) { ::chmod((d + "/AcqData/MSScan.bin").c_str(), 0); },
         "I/O error: Permission denied (os error 13)"},
        {"others-mode-000",
         [](const std::string& d) {
             for (const char* f : {"MSPeak.bin", "MSProfile.bin", "Devices.xml", "Contents.xml"}) {
                 ::chmod((d + "/AcqData/" + f).c_str(), 0);
             }
         },
         empty_scans},
        {"read-only-copy",
         [](const std::string& d) {
             for (const auto& entry : fs::directory_iterator(d + "/AcqData")) {
                 ::chmod(entry.path().c_str(), 0444);
             }
             ::chmod((d + "/AcqData").c_str(), 0555);
             ::chmod(d.c_str(), 0555);
         },
         expected},
    };
    std::vector<std::string> dirs;
    for (const auto& c : cases) {
        dirs.push_back(write_sample(tmp, std::string(c.name) + ".d"));
        // Everything readable by others first, then the damage.
        for (const auto& entry : fs::recursive_directory_iterator(dirs.back())) {
            ::chmod(entry.path().c_str(), entry.is_directory() ? 0755 : 0644);
        }
        ::chmod(dirs.back().c_str(), 0755);
        c.damage(dirs.back());
    }

    // The child reports one line per folder.
    auto one_line = [](std::string text) {
        std::replace(text.begin(), text.end(), '\n', '/');
        return text;
    };
    const auto outcome = run_unprivileged([&] {
        // The temporary folder may lie below a folder that only root can enter.
        if (::access(tmp.path().c_str(), X_OK) != 0) return std::vector<std::string>{"unreachable"};
        std::vector<std::string> lines{one_line(open_and_drain(readable))};
        for (const auto& d : dirs) lines.push_back(one_line(open_and_drain(d)));
        return lines;
    });
    // Let TempDir remove everything again.
    for (const auto& d : dirs) {
        ::chmod(d.c_str(), 0755);
        ::chmod((d + "/AcqData").c_str(), 0755);
    }
    if (!outcome.skip_reason.empty()) GTEST_SKIP() << outcome.skip_reason;
    if (outcome.lines == std::vector<std::string>{"unreachable"}) {
        GTEST_SKIP() << "nobody cannot enter " << tmp.path() << " (set TMPDIR to a folder it can)";
    }
    ASSERT_EQ(outcome.lines.size(), cases.size() + 1) << (outcome.lines.empty() ? "" : outcome.lines[0]);
    // The unprivileged child can read the untouched copy at all: otherwise the temporary
    // folder itself is out of its reach and nothing below would mean anything.
    ASSERT_EQ(outcome.lines[0], one_line(expected));
    for (std::size_t i = 0; i < cases.size(); ++i) {
        EXPECT_EQ(outcome.lines[i + 1], one_line(cases[i].expected)) << cases[i].name;
    }
}

// ---- What reading leaves behind --------------------------------------------------------

struct EntryState {
    fx::ByteVec bytes;
    timespec mtime{};
    timespec ctime{};
    mode_t mode = 0;
};

std::map<std::string, EntryState> snapshot(const std::string& dir) {
    std::map<std::string, EntryState> out;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
        EntryState s;
        struct stat st {};
        ::lstat(entry.path().c_str(), &st);
        s.mtime = st.st_mtim;
        s.ctime = st.st_ctim;
        s.mode = st.st_mode;
        if (S_ISREG(st.st_mode)) {
            auto bytes = corvane::raw::read_file(entry.path().string());
            if (bytes) s.bytes = std::move(*bytes);
        }
        out[entry.path().string()] = std::move(s);
    }
    return out;
}

bool same_time(const timespec& a, const timespec& b) { return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec; }

// Reading changes neither the bytes nor the modification and change times of anything
// in the acquisition, and creates or removes nothing. (Access times follow the mount.)
TEST(LeavesNoTrace, BytesAndTimesUnchanged) {
    fx::TempDir tmp;
    const std::string dir = write_sample(tmp, "run.d");
    const auto before = snapshot(dir);
    ASSERT_EQ(before.size(), 6u);  // AcqData and its five files
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(open_and_drain(dir).ends_with("6530A Q-TOF LC/MS | 2020-01-02T03:04:05Z"));
    const auto after = snapshot(dir);
    ASSERT_EQ(after.size(), before.size());
    for (const auto& [path, was] : before) {
        SCOPED_TRACE(path);
        auto it = after.find(path);
        ASSERT_NE(it, after.end());
        EXPECT_EQ(it->second.bytes, was.bytes);
        EXPECT_TRUE(same_time(it->second.mtime, was.mtime));
        EXPECT_TRUE(same_time(it->second.ctime, was.ctime));
        EXPECT_EQ(it->second.mode, was.mode);
    }
}

// 1,000 openings, successes and every kind of failure mixed, leave the descriptor table
// as they found it.
TEST(LeavesNoTrace, NoDescriptorOpenAfterThousandOpens) {
    fx::TempDir tmp;
    const std::string good = write_sample(tmp, "good.d");

    fx::AcquisitionSpec damaged = sample_spec();
    for (auto& s : damaged.scans) {
        if (s.profile) s.profile->uncompressed_byte_count = 0x20000000u;  // LZF error
        if (s.peaks) s.peaks->byte_count = 0xFFFFFFFFu;                  // span error
    }
    const std::string broken_blocks = write_sample(tmp, "blocks.d", damaged);

    fx::AcquisitionSpec no_data = sample_spec();
    no_data.omit = {"MSPeak.bin", "MSProfile.bin", "Devices.xml", "Contents.xml"};
    const std::string missing = write_sample(tmp, "missing.d", no_data);

    fx::AcquisitionSpec bad_index = sample_spec();
    bad_index.magic = 256;
    const std::string bad_magic = write_sample(tmp, "magic.d", bad_index);

    const std::string no_index = write_sample(tmp, "noindex.d");
    fs::remove(no_index + "/AcqData/MSScan.bin");
    const std::string looping = tmp.join("loop.d");
    fs::create_directories(looping);
    fs::create_directory_symlink("AcqData", looping + "/AcqData");

    const std::vector<std::string> dirs = {good,      broken_blocks, missing,          bad_magic,
                                           no_index,  looping,       tmp.join("none.d"),
                                           good + "/AcqData/MSScan.bin"};
    const std::size_t fds_before = fx::open_fd_count();
    std::size_t failures = 0;
    for (int i = 0; i < 1000; ++i) {
        const std::string& dir = dirs[static_cast<std::size_t>(i) % dirs.size()];
        auto reader = Reader::open(dir);
        if (!reader) {
            ++failures;
            continue;
        }
        auto it = reader->iter_spectra();
        while (it->next()) {
        }
    }
    EXPECT_EQ(fx::open_fd_count(), fds_before);
    EXPECT_EQ(failures, 625u);  // five of the eight folders cannot be opened
    {
        ReadCallGuard guard(truncating_read);
        for (int i = 0; i < 50; ++i) (void)open_and_drain(good);
        ReadCallGuard fail(failing_read);
        for (int i = 0; i < 50; ++i) (void)open_and_drain(good);
    }
    EXPECT_EQ(fx::open_fd_count(), fds_before);
}

}  // namespace
