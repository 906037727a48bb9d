// The timing harness of `make bench` (scripts/bench.sh). Each command measures corvane
// against a baseline side by side (alternating rounds after a warm-up, warm page cache,
// median, CPU time) and prints one tab-separated line per result:
//
//   row <TAB> name <TAB> ratio <TAB> target <TAB> met <TAB> detail
//
//   corvane-bench lzf DIR       decoder throughput vs liblzf's lzf_decompress
//   corvane-bench drain DIR     iter_spectra drained vs reading every block + liblzf
//   corvane-bench tiny DIR      iter_spectra drained vs open, fstat, pread, close per block
//   corvane-bench keep DIR [N]  Reader::open + drain keeping every record, as RawReader
//                               does: prints "keep <TAB> seconds <TAB> points"
//   corvane-bench growth DIR... drain time per point at each size vs the last size
//   corvane-bench points DIR    total points of the acquisition
//
// Plain numbers for the rows of the meridel module (wall time, seconds, median):
//   corvane-bench open DIR [N]    Reader::open alone: "open <TAB> seconds <TAB> scans"
//   corvane-bench drop DIR [N]    one-thread drain of an opened reader, dropping each
//                                 record: "drop <TAB> seconds <TAB> points"
//   corvane-bench random DIR [N]  record_at(i) for every i once, in a seeded random order:
//                                 "random <TAB> microseconds per scan <TAB> scans"
//   corvane-bench engine DIR [N]  analysis::tic and analysis::xic (100 targets spread over
//                                 the MS1 m/z range, 10 ppm) of the MS1 scans, threads 1
//                                 and 2: "tic <TAB> threads <TAB> seconds <TAB> scans" and
//                                 "xic <TAB> threads <TAB> seconds <TAB> scans"
//
//   corvane-bench centroid DIR [N]  rows: centroided iteration of every scan (a Processor
//                                 with peak picking, analysis::for_each_record, records
//                                 dropped) at 1 and 2 threads, and with the precursor
//                                 declared too (msn_value_1: charge and monoisotopic m/z
//                                 from the envelopes) at 1 thread, against the plain
//                                 1-thread drain; wall time, rounds alternating
//
// Drains time an opened reader: opening (reading and parsing the index) is reported
// beside them.
#include <fcntl.h>
#include <lzf.h>
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <ctime>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "analysis.hpp"
#include "processing.hpp"
#include "raw/lzf.hpp"
#include "raw/msscan.hpp"
#include "raw/raw.hpp"
#include "reader.hpp"

namespace {

// CPU time of this process (user + system): all the work here is on one thread and
// its reads come from the page cache, so this equals wall time on an idle machine and
// leaves out the time other processes take on a busy one.
double cpu_seconds() {
    timespec t{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

double seconds_of(const std::function<void()>& run) {
    const double start = cpu_seconds();
    run();
    return cpu_seconds() - start;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t m = v.size() / 2;
    return v.size() % 2 == 1 ? v[m] : 0.5 * (v[m - 1] + v[m]);
}

// Runs a and b alternately, `rounds` times each after one untimed warm-up of each (page
// cache, allocator, branch predictors), and returns the two medians.
std::pair<double, double> side_by_side(int rounds, const std::function<void()>& a,
                                       const std::function<void()>& b) {
    a();
    b();
    std::vector<double> ta;
    std::vector<double> tb;
    for (int r = 0; r < rounds; ++r) {
        ta.push_back(seconds_of(a));
        tb.push_back(seconds_of(b));
    }
    return {median(ta), median(tb)};
}

void row(const char* name, double ratio, const char* target, bool met, const std::string& detail) {
    std::printf("row\t%s\t%.3f\t%s\t%s\t%s\n", name, ratio, target, met ? "yes" : "NO",
                detail.c_str());
    std::fflush(stdout);
}

std::string fmt(const char* format, double a, double b = 0.0, double c = 0.0, double d = 0.0) {
    char text[256];
    std::snprintf(text, sizeof text, format, a, b, c, d);
    return text;
}

// Keeps the optimiser from discarding work whose result is otherwise unused.
volatile std::uint64_t sink = 0;

[[noreturn]] void die(const std::string& what) {
    std::fprintf(stderr, "corvane-bench: %s\n", what.c_str());
    std::exit(1);
}

corvane::raw::MSScan load_index(const std::string& dir) {
    auto scans = corvane::raw::MSScan::from_path(dir + "/AcqData/MSScan.bin");
    if (!scans) die(dir + ": " + scans.error().display());
    return std::move(*scans);
}

std::vector<std::uint8_t> load_file(const std::string& path) {
    auto bytes = corvane::raw::read_file(path);
    if (!bytes) die(path + ": " + bytes.error().display());
    return std::move(*bytes);
}

// A drain that drops each record frees about 1 MB per profile scan. With glibc's dynamic
// thresholds the top of the heap can then cross the trim threshold (twice the largest
// block freed so far) on every scan, and each scan pays a brk and fresh page faults: 2.4x
// slower on the quarter-size run when nothing larger had been freed before. That depends
// on the process's history, not on corvane, so the commands that drop records fix the
// thresholds (setting one turns the dynamic adjustment off for both). `keep` does not:
// it is compared with Python processes that run with the defaults.
void settle_allocator() {
    ::mallopt(M_MMAP_THRESHOLD, 32 << 20);
    ::mallopt(M_TRIM_THRESHOLD, 256 << 20);
}

corvane::Reader open_reader(const std::string& dir) {
    auto reader = corvane::Reader::open(dir);
    if (!reader) die(dir + ": " + reader.error().display());
    return std::move(*reader);
}

// Drains every record of an opened acquisition and drops each one as soon as it is
// made. Opening (reading and parsing the index) is left out: it is timed on its own.
std::uint64_t drain(const corvane::Reader& reader) {
    auto it = reader.iter_spectra();
    std::uint64_t points = 0;
    while (auto record = it->next()) points += record->mz.size();
    return points;
}

double open_seconds(const std::string& dir) {
    std::vector<double> times;
    for (int r = 0; r < 3; ++r) times.push_back(seconds_of([&] { sink = sink + open_reader(dir).scans().records.size(); }));
    return median(times);
}

// What the reader must do to a scan at the least: the block it would read.
struct Block {
    bool profile;
    std::uint64_t offset;
    std::uint32_t count;
    std::uint32_t expanded;  // profile blocks only
};

std::vector<Block> blocks_of(const corvane::raw::MSScan& index) {
    std::vector<Block> blocks;
    for (const auto& s : index.records) {
        if (s.profile_block && s.profile_block->point_count > 0) {
            const auto& b = *s.profile_block;
            blocks.push_back({true, b.byte_offset, b.byte_count, b.uncompressed_byte_count.value_or(0)});
        } else if (s.peak_block) {
            blocks.push_back({false, s.peak_block->byte_offset, s.peak_block->byte_count, 0});
        }
    }
    return blocks;
}

int open_or_die(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) die("cannot open " + path);
    return fd;
}

void pread_or_die(int fd, std::uint8_t* to, std::size_t count, std::uint64_t offset) {
    if (::pread(fd, to, count, static_cast<off_t>(offset)) != static_cast<ssize_t>(count)) {
        die("short read");
    }
}

int cmd_lzf(const std::string& dir) {
    const auto index = load_index(dir);
    const auto file = load_file(dir + "/AcqData/MSProfile.bin");
    struct Stream {
        corvane::Bytes bytes;
        std::size_t expected;
    };
    std::vector<Stream> streams;
    std::size_t total = 0;
    std::size_t largest = 0;
    for (const auto& b : blocks_of(index)) {
        if (!b.profile) continue;
        if (b.offset > file.size() || b.count > file.size() - b.offset || b.count < 16) die("bad block");
        streams.push_back({corvane::Bytes(file).subspan(b.offset + 16, b.count - 16), b.expanded});
        total += b.expanded;
        largest = std::max<std::size_t>(largest, b.expanded);
    }
    if (streams.empty()) die("no profile blocks");

    // liblzf writes into a buffer the caller owns; corvane returns a new one per block,
    // so its time includes that allocation, as in the reader.
    std::vector<std::uint8_t> scratch(largest);
    for (const auto& s : streams) {
        auto ours = corvane::raw::lzf::decompress(s.bytes, s.expected);
        const unsigned got = lzf_decompress(s.bytes.data(), static_cast<unsigned>(s.bytes.size()),
                                            scratch.data(), static_cast<unsigned>(scratch.size()));
        if (!ours || got != s.expected || !std::equal(ours->begin(), ours->end(), scratch.begin())) {
            die("decoders disagree");
        }
    }
    auto run_liblzf = [&] {
        std::uint64_t sum = 0;
        for (const auto& s : streams) {
            sum += lzf_decompress(s.bytes.data(), static_cast<unsigned>(s.bytes.size()),
                                  scratch.data(), static_cast<unsigned>(s.expected));
        }
        sink = sink + sum;
    };
    auto run_ours = [&] {
        std::uint64_t sum = 0;
        for (const auto& s : streams) {
            auto out = corvane::raw::lzf::decompress(s.bytes, s.expected);
            sum += out ? out->size() : 0;
        }
        sink = sink + sum;
    };
    const auto [t_lib, t_ours] = side_by_side(5, run_liblzf, run_ours);
    const double gb = static_cast<double>(total) / 1e9;
    const double ratio = t_lib / t_ours;
    row("LZF throughput, corvane / liblzf", ratio, ">= 1.30", ratio >= 1.30,
        fmt("%.2f vs %.2f GB/s", gb / t_ours, gb / t_lib));
    return 0;
}

int cmd_drain(const std::string& dir) {
    const auto index = load_index(dir);
    const auto blocks = blocks_of(index);
    std::size_t largest_read = 0;
    std::size_t largest_expanded = 0;
    for (const auto& b : blocks) {
        largest_read = std::max<std::size_t>(largest_read, b.count);
        largest_expanded = std::max<std::size_t>(largest_expanded, b.expanded);
    }
    std::vector<std::uint8_t> in(largest_read);
    std::vector<std::uint8_t> out(largest_expanded);
    const std::string profile_path = dir + "/AcqData/MSProfile.bin";
    const std::string peak_path = dir + "/AcqData/MSPeak.bin";
    // The floor: every block's bytes read from its file (opened once), every profile
    // stream expanded by liblzf into a reused buffer. No reader can do less.
    auto floor = [&] {
        const int profile = open_or_die(profile_path);
        const int peak = open_or_die(peak_path);
        std::uint64_t sum = 0;
        for (const auto& b : blocks) {
            pread_or_die(b.profile ? profile : peak, in.data(), b.count, b.offset);
            if (b.profile) {
                sum += lzf_decompress(in.data() + 16, b.count - 16, out.data(), b.expanded);
            }
        }
        ::close(profile);
        ::close(peak);
        sink = sink + sum;
    };
    const auto reader = open_reader(dir);
    std::uint64_t points = 0;
    auto ours = [&] { points = drain(reader); };
    const auto [t_floor, t_drain] = side_by_side(5, floor, ours);
    const double ratio = t_drain / t_floor;
    row("Drain, iter_spectra / floor (read + liblzf)", ratio, "<= 1.00", ratio <= 1.00,
        fmt("%.3f s vs %.3f s; %.2f ns/point; open %.3f s", t_drain, t_floor,
            t_drain * 1e9 / static_cast<double>(points), open_seconds(dir)));
    return 0;
}

int cmd_tiny(const std::string& dir) {
    const auto index = load_index(dir);
    const auto blocks = blocks_of(index);
    const std::string peak_path = dir + "/AcqData/MSPeak.bin";
    const std::string profile_path = dir + "/AcqData/MSProfile.bin";
    std::vector<std::uint8_t> in(1 << 20);
    // The baseline: the four system calls the reader has to make for each block.
    auto loop = [&] {
        std::uint64_t sum = 0;
        for (const auto& b : blocks) {
            const int fd = open_or_die(b.profile ? profile_path : peak_path);
            struct stat st {};
            if (::fstat(fd, &st) != 0) die("fstat");
            if (b.count > in.size()) in.resize(b.count);
            pread_or_die(fd, in.data(), b.count, b.offset);
            ::close(fd);
            sum += static_cast<std::uint64_t>(st.st_size) + in[0];
        }
        sink = sink + sum;
    };
    const auto reader = open_reader(dir);
    auto ours = [&] { sink = sink + drain(reader); };
    const auto [t_loop, t_drain] = side_by_side(7, loop, ours);
    const double ratio = t_drain / t_loop;
    const double n = static_cast<double>(index.records.size());
    row("Per-scan, drain / open+fstat+pread+close", ratio, "<= 1.25", ratio <= 1.25,
        fmt("%.2f vs %.2f us/scan; open %.2f us/scan", t_drain * 1e6 / n, t_loop * 1e6 / n,
            open_seconds(dir) * 1e6 / n));
    return 0;
}

int cmd_keep(const std::string& dir, int rounds) {
    std::vector<double> times;
    std::uint64_t points = 0;
    for (int r = 0; r < rounds; ++r) {
        std::vector<corvane::SpectrumRecord> records;
        times.push_back(seconds_of([&] {
            auto reader = corvane::Reader::open(dir);
            if (!reader) die(dir + ": " + reader.error().display());
            auto it = reader->iter_spectra();
            records.reserve(it->size_hint().first);
            while (auto record = it->next()) records.push_back(std::move(*record));
        }));
        points = 0;
        for (const auto& r2 : records) points += r2.mz.size();
    }
    std::printf("keep\t%.6f\t%llu\n", median(times), static_cast<unsigned long long>(points));
    return 0;
}

int cmd_growth(const std::vector<std::string>& dirs) {
    std::vector<double> per_point;
    for (const auto& dir : dirs) {
        const auto reader = open_reader(dir);
        std::vector<double> times;
        std::uint64_t points = drain(reader);  // warm-up
        for (int r = 0; r < 5; ++r) times.push_back(seconds_of([&] { points = drain(reader); }));
        per_point.push_back(median(times) / static_cast<double>(points));
    }
    const double full = per_point.back();
    for (std::size_t i = 0; i + 1 < dirs.size(); ++i) {
        const double ratio = per_point[i] / full;
        const std::string name = "Growth, time per point at " + dirs[i].substr(dirs[i].rfind('/') + 1) +
                                 " / at full size";
        row(name.c_str(), ratio, "0.90-1.10", ratio >= 0.90 && ratio <= 1.10,
            fmt("%.2f vs %.2f ns/point", per_point[i] * 1e9, full * 1e9));
    }
    return 0;
}

// Wall time: the engine rows run on several threads, whose CPU times add up.
double wall_seconds_of(const std::function<void()>& run) {
    const auto start = std::chrono::steady_clock::now();
    run();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Median wall time of `rounds` runs after one untimed warm-up.
double median_wall(int rounds, const std::function<void()>& run) {
    run();
    std::vector<double> times;
    for (int r = 0; r < rounds; ++r) times.push_back(wall_seconds_of(run));
    return median(times);
}

int cmd_open(const std::string& dir, int rounds) {
    std::size_t scans = 0;
    const double t = median_wall(rounds, [&] { scans = open_reader(dir).scans().records.size(); });
    std::printf("open\t%.6f\t%zu\n", t, scans);
    return 0;
}

int cmd_drop(const std::string& dir, int rounds) {
    const auto reader = open_reader(dir);
    std::uint64_t points = 0;
    const double t = median_wall(rounds, [&] { points = drain(reader); });
    std::printf("drop\t%.6f\t%llu\n", t, static_cast<unsigned long long>(points));
    return 0;
}

int cmd_random(const std::string& dir, int rounds) {
    const auto reader = open_reader(dir);
    const std::size_t n = reader.scans().records.size();
    if (n == 0) die("no scans");
    std::vector<std::size_t> order(n);
    for (std::size_t i = 0; i < n; ++i) order[i] = i;
    std::uint64_t state = 0x9E3779B97F4A7C15u;
    for (std::size_t i = n - 1; i > 0; --i) {  // Fisher-Yates with a fixed xorshift stream
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        std::swap(order[i], order[state % (i + 1)]);
    }
    const double t = median_wall(rounds, [&] {
        std::uint64_t points = 0;
        for (const std::size_t i : order) points += reader.record_at(i).mz.size();
        sink = sink + points;
    });
    std::printf("random\t%.4f\t%zu\n", t * 1e6 / static_cast<double>(n), n);
    return 0;
}

int cmd_engine(const std::string& dir, int rounds) {
    namespace analysis = corvane::analysis;
    const auto reader = open_reader(dir);
    const auto scans = analysis::select(reader, {1u, std::nullopt});
    if (scans.empty()) die("no MS1 scans");
    double low = INFINITY;
    double high = -INFINITY;
    for (const std::size_t i : scans) {
        const auto& s = reader.scans().records[i];
        if (s.mz_first && s.mz_last) {
            low = std::min(low, *s.mz_first);
            high = std::max(high, *s.mz_last);
        }
    }
    if (!(low < high)) {  // no m/z range in the index: the usual small-molecule range
        low = 100.0;
        high = 1000.0;
    }
    std::vector<analysis::XicWindow> windows;
    for (int t = 0; t < 100; ++t) {
        windows.push_back(analysis::window(low + (high - low) * (t + 0.5) / 100.0, 10.0, std::nullopt));
    }
    for (const unsigned threads : {1u, 2u}) {
        const double t_tic = median_wall(rounds, [&] {
            sink = sink + analysis::tic(reader, scans, threads).value.size();
        });
        std::printf("tic\t%u\t%.6f\t%zu\n", threads, t_tic, scans.size());
        std::fflush(stdout);
        const double t_xic = median_wall(rounds, [&] {
            sink = sink + analysis::xic(reader, scans, windows, threads).size();
        });
        std::printf("xic\t%u\t%.6f\t%zu\n", threads, t_xic, scans.size());
        std::fflush(stdout);
    }
    return 0;
}

int cmd_centroid(const std::string& dir, int rounds) {
    namespace analysis = corvane::analysis;
    namespace processing = corvane::processing;
    const auto reader = open_reader(dir);
    const auto scans = analysis::select(reader, {});
    processing::Options centroid;
    centroid.centroid = true;
    processing::Options declared = centroid;
    declared.precursor_mz = processing::PrecursorMember::msn_value_1;
    std::uint64_t plain_points = 0;
    std::uint64_t picked_points = 0;
    std::uint64_t charged = 0;
    // A fresh Processor per run: nothing is kept from one run to the next.
    auto iterate = [&](const processing::Options& options, unsigned threads) {
        const processing::Processor processor(reader, options);
        std::uint64_t points = 0;
        std::uint64_t with_charge = 0;
        analysis::for_each_record(processor, scans, threads, [&](std::size_t, corvane::SpectrumRecord&& r) {
            points += r.mz.size();
            with_charge += r.precursor && r.precursor->selected_ion && r.precursor->selected_ion->charge;
            return true;
        });
        picked_points = points;
        charged = with_charge;
    };
    const std::function<void()> runs[] = {
        [&] { plain_points = drain(reader); },
        [&] { iterate(centroid, 1); },
        [&] { iterate(centroid, 2); },
        [&] { iterate(declared, 1); },
    };
    constexpr std::size_t kinds = std::size(runs);
    std::vector<double> times[kinds];
    for (const auto& run : runs) run();  // warm-up
    for (int r = 0; r < rounds; ++r) {
        for (std::size_t k = 0; k < kinds; ++k) times[k].push_back(wall_seconds_of(runs[k]));
    }
    double t[kinds];
    for (std::size_t k = 0; k < kinds; ++k) t[k] = median(times[k]);
    const double one = t[1] / t[0];
    const double two = t[2] / t[0];
    const double with_precursor = t[3] / t[1];
    row("Centroided iteration, 1 thread / drain, 1 thread", one, "<= 1.30", one <= 1.30,
        fmt("%.3f s vs %.3f s; %.0f peaks from %.0f points", t[1], t[0], static_cast<double>(picked_points),
            static_cast<double>(plain_points)));
    row("Centroided iteration, 2 threads / drain, 1 thread", two, "<= 0.75", two <= 0.75,
        fmt("%.3f s vs %.3f s", t[2], t[0]));
    row("Centroided + precursor declared / centroided, 1 thread", with_precursor, "<= 1.10", with_precursor <= 1.10,
        fmt("%.3f s vs %.3f s; %.0f charges decided", t[3], t[1], static_cast<double>(charged)));
    return 0;
}

int cmd_points(const std::string& dir) {
    const auto index = load_index(dir);
    std::uint64_t points = 0;
    for (const auto& b : index.records) {
        if (b.profile_block && b.profile_block->point_count > 0) {
            points += b.profile_block->point_count;
        } else if (b.peak_block) {
            points += b.peak_block->point_count;
        }
    }
    std::printf("%llu\n", static_cast<unsigned long long>(points));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr,
                     "usage: corvane-bench lzf|drain|tiny|keep|growth|points|open|drop|random|engine|centroid DIR...\n");
        return 2;
    }
    const std::string_view cmd = argv[1];
    const std::string dir = argv[2];
    if (cmd != "keep") settle_allocator();
    if (cmd == "lzf") return cmd_lzf(dir);
    if (cmd == "drain") return cmd_drain(dir);
    if (cmd == "tiny") return cmd_tiny(dir);
    if (cmd == "keep") return cmd_keep(dir, argc > 3 ? std::atoi(argv[3]) : 3);
    if (cmd == "points") return cmd_points(dir);
    const int rounds = argc > 3 ? std::max(1, std::atoi(argv[3])) : 5;
    if (cmd == "open") return cmd_open(dir, rounds);
    if (cmd == "drop") return cmd_drop(dir, rounds);
    if (cmd == "random") return cmd_random(dir, rounds);
    if (cmd == "engine") return cmd_engine(dir, rounds);
    if (cmd == "centroid") return cmd_centroid(dir, rounds);
    if (cmd == "growth") return cmd_growth(std::vector<std::string>(argv + 2, argv + argc));
    std::fprintf(stderr, "corvane-bench: unknown command %s\n", argv[1]);
    return 2;
}
