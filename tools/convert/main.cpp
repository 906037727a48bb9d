// corvane-convert: writes each acquisition as an indexed mzML 1.1 file, or its fragment
// scans as an MGF file.
//
//   corvane-convert [options] INPUT.d... [-o OUT]
//
// Exit status: 0 when every input was converted, 1 when any failed, 2 for a usage error,
// 3 when every input was converted but with data loss (some scans could not be read and
// were written without data, or --salvage dropped the cut end of a scan index; a warning
// says which), 128 + the signal number when interrupted (nothing half-written is left
// behind).

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <expected>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "args.hpp"
#include "export/convert.hpp"
#include "export/thread.hpp"
#include "plan.hpp"
#include "version.hpp"

namespace {

using namespace corvane::mzml;
using corvane::convert::ConvertOptions;
using corvane::convert::convert_one;
using corvane::convert::plan_jobs;

constexpr std::string_view usage_text =
    "usage: corvane-convert [options] INPUT.d... [-o OUT]\n"
    "\n"
    "Writes each acquisition as an indexed mzML 1.1 file (or, with --format mgf, its\n"
    "fragment scans as an MGF file), by default beside it with the same name less the\n"
    ".d ending (run.d -> run.mzML, run.mgf).\n"
    "\n"
    "Options:\n"
    "  -o, --output OUT           the output file (one input only), or a folder: an\n"
    "                             existing one, or OUT ending in / (made, with any\n"
    "                             missing folder above it, when it does not exist)\n"
    "      --format NAME          the output format: mzml (the default) or mgf\n"
    "                             (fragment scans as peak lists; needs\n"
    "                             --precursor-mz)\n"
    "      --centroid             pick the peaks of profile scans; centroid scans are\n"
    "                             kept as they are (default: profile data stays\n"
    "                             profile)\n"
    "      --precursor-mz MEMBER  msn_value_1 or msn_value_2: the scan index's member\n"
    "                             that holds the precursor m/z (corvane-info\n"
    "                             --precursor-evidence shows which); charge and\n"
    "                             monoisotopic m/z then come from the MS1 data\n"
    "                             (default: none; the index's values are kept as\n"
    "                             parameters only)\n"
    "      --ms-level N           only scans of MS level N (default: every level)\n"
    "      --rt-range LOW HIGH    only scans whose retention time in seconds is from\n"
    "                             LOW to HIGH, both included (default: the whole run)\n"
    "      --top-n N              keep the N most intense peaks of each spectrum\n"
    "                             (default: every peak)\n"
    "      --min-intensity X      drop the peaks below intensity X (default: none)\n"
    "  -j, --jobs N               convert up to N inputs at once (default 1)\n"
    "  -t, --threads N            worker threads for each input (default: the\n"
    "                             machine's cores, shared among the jobs); the output\n"
    "                             is the same for every count\n"
    "      --numpress             mzML: MS-Numpress then zlib (lossy: m/z to about\n"
    "                             1e-9, intensities to about 2e-4 relative); smaller\n"
    "                             files. OpenMS reads them; Debian's pymzml 2.5 does\n"
    "                             not decode them correctly\n"
    "      --zlib-level N         mzML: zlib effort from 1 (fastest, the default) to\n"
    "                             12\n"
    "      --no-compression       mzML: store the binary arrays without compression\n"
    "      --no-index             mzML: no offset index and checksum\n"
    "  -f, --force                replace existing output files\n"
    "      --strict               fail an input with a scan that cannot be read,\n"
    "                             writing nothing for it (by default such a scan is\n"
    "                             written without data, or left out of an MGF file,\n"
    "                             and the exit status is 3)\n"
    "      --salvage              read a scan index cut inside a record (a run\n"
    "                             stopped mid-acquisition): convert every complete\n"
    "                             record, warn of the cut end dropped, exit status 3\n"
    "                             (by default such a run cannot be opened)\n"
    "  -q, --quiet                no progress line on the terminal\n"
    "  -h, --help                 show this help and exit\n"
    "      --version              show the version and exit\n"
    "  --                         take every later argument as an input\n"
    "\n"
    "Exit status:\n"
    "  0      every input was converted\n"
    "  1      a failure, one line on standard error; the other inputs are converted\n"
    "  2      usage error: nothing was converted\n"
    "  3      every input was converted, but with data loss: some scans could not be\n"
    "         read (written without data, left out of MGF), or --salvage dropped the\n"
    "         cut end of a scan index; a warning on standard error says which\n"
    "  128+N  stopped by signal N (130 for Ctrl-C); no partial output is left\n";

// The formats --format takes, as the help lists them.
std::string known_formats() {
    std::string names;
    for (const auto format : corvane::output::formats()) {
        if (!names.empty()) names += ", ";
        names += corvane::output::format_name(format);
    }
    return names;
}

struct Arguments {
    std::vector<std::string> inputs;
    std::optional<std::string> output;
    ConvertOptions options;
    unsigned jobs = 1;
    unsigned threads = 0;  // 0: not given
    bool quiet = false;
};

struct Usage {
    std::string message;  // empty: help was asked for
    int status = 2;
};

std::expected<Arguments, Usage> parse_arguments(int argc, char** argv) {
    Arguments args;
    corvane::tools::Args walk(argc, argv, true);
    while (walk.next()) {
        const std::string_view arg = walk.arg();
        if (walk.operand()) {
            args.inputs.emplace_back(arg);
        } else if (walk.is("-h", "--help")) {
            return std::unexpected(Usage{"", 0});
        } else if (walk.is("--version")) {
            return std::unexpected(Usage{std::string("corvane-convert ") + corvane::version, 0});
        } else if (walk.is("--no-compression")) {
            args.options.write.compression = Compression::none;
        } else if (walk.is("--numpress")) {
            args.options.write.compression = Compression::numpress;
        } else if (walk.is("--no-index")) {
            args.options.write.index = false;
        } else if (walk.is("-q", "--quiet")) {
            args.quiet = true;
        } else if (walk.is("-f", "--force")) {
            args.options.force = true;
        } else if (walk.is("--strict")) {
            args.options.write.strict = true;
        } else if (walk.is("--salvage")) {
            args.options.open.salvage = true;
        } else if (auto out = walk.value("-o", "--output")) {
            if (!*out || (*out)->empty()) return std::unexpected(Usage{"-o needs a file or folder"});
            args.output = std::move(*out);
        } else if (auto format = walk.value("--format", "--format")) {
            const auto known = corvane::output::parse_format(format->value_or(""));
            if (!known) {
                return std::unexpected(Usage{"--format needs one of: " + known_formats() + " (not '" +
                                             format->value_or("") + "')"});
            }
            args.options.format = *known;
        } else if (auto jobs = walk.value("-j", "--jobs")) {
            const auto n = corvane::tools::whole_number(jobs->value_or(""), 1U, ~0U);
            if (!n) return std::unexpected(Usage{"--jobs needs a whole number of 1 or more"});
            args.jobs = *n;
        } else if (auto level = walk.value("--zlib-level", "--zlib-level")) {
            const auto n = corvane::tools::whole_number(level->value_or(""), 1, 12);
            if (!n) return std::unexpected(Usage{"--zlib-level needs a whole number from 1 to 12"});
            args.options.write.zlib_level = *n;
        } else if (auto threads = walk.value("-t", "--threads")) {
            const auto n = corvane::tools::whole_number(threads->value_or(""), 1U, ~0U);
            if (!n) return std::unexpected(Usage{"--threads needs a whole number of 1 or more"});
            args.threads = *n;
        } else if (walk.is("--centroid")) {
            args.options.processing.centroid = true;
        } else if (auto member = walk.value("--precursor-mz", "--precursor-mz")) {
            const auto known = corvane::processing::parse_member(member->value_or(""));
            if (!known) {
                return std::unexpected(Usage{"--precursor-mz needs msn_value_1 or msn_value_2 (not '" +
                                             member->value_or("") + "')"});
            }
            args.options.processing.precursor_mz = *known;
        } else if (auto ms_level = walk.value("--ms-level", "--ms-level")) {
            const auto n = corvane::tools::whole_number(ms_level->value_or(""), 1U, ~0U);
            if (!n) return std::unexpected(Usage{"--ms-level needs a whole number of 1 or more"});
            args.options.selection.ms_level = *n;
        } else if (auto low = walk.value("--rt-range", "--rt-range")) {
            const auto high = walk.next_value();
            const auto from = corvane::tools::finite_number(low->value_or(""));
            const auto to = corvane::tools::finite_number(high.value_or(""));
            if (!from || !to || *from > *to) {
                return std::unexpected(
                    Usage{"--rt-range needs two numbers of seconds, LOW HIGH, with LOW no more than HIGH"});
            }
            args.options.selection.rt_range = std::pair(*from, *to);
        } else if (auto top = walk.value("--top-n", "--top-n")) {
            const auto n = corvane::tools::whole_number<std::size_t>(top->value_or(""), 1, SIZE_MAX);
            if (!n) return std::unexpected(Usage{"--top-n needs a whole number of 1 or more"});
            args.options.processing.top_n = *n;
        } else if (auto floor = walk.value("--min-intensity", "--min-intensity")) {
            const auto x = corvane::tools::finite_number(floor->value_or(""));
            if (!x || *x < 0) return std::unexpected(Usage{"--min-intensity needs a finite number of 0 or more"});
            args.options.processing.min_intensity = *x;
        } else {
            return std::unexpected(Usage{"unknown option " + std::string(arg)});
        }
    }
    if (args.inputs.empty()) return std::unexpected(Usage{"no input acquisition given"});
    if (auto problem = corvane::convert::usage_problem(args.options)) return std::unexpected(Usage{*problem});
    return args;
}

// A test seam: CORVANE_CONVERT_FAULT=SITE:N, SITE one of thread, compress, write, hash,
// makes the Nth pass through that site fail as if a thread could not start there or
// memory ran out. Read once, before any thread starts; anything else in it is ignored.
detail::FaultSite fault_site = detail::FaultSite::thread_start;
unsigned long fault_at = 0;
std::atomic<unsigned long> fault_passes{0};

void inject_fault(detail::FaultSite site) {
    if (site != fault_site || ++fault_passes != fault_at) return;
    if (site == detail::FaultSite::thread_start) throw std::system_error(EAGAIN, std::generic_category());
    throw std::bad_alloc();
}

void read_fault_seam() {
    const char* value = std::getenv("CORVANE_CONVERT_FAULT");
    if (value == nullptr) return;
    const std::string_view text(value);
    const auto colon = text.find(':');
    if (colon == std::string_view::npos) return;
    const std::string_view name = text.substr(0, colon);
    const std::string_view count = text.substr(colon + 1);
    const auto r = std::from_chars(count.data(), count.data() + count.size(), fault_at);
    if (r.ec != std::errc() || r.ptr != count.data() + count.size() || fault_at == 0) return;
    if (name == "thread") {
        fault_site = detail::FaultSite::thread_start;
    } else if (name == "compress") {
        fault_site = detail::FaultSite::compress_buffer;
    } else if (name == "write") {
        fault_site = detail::FaultSite::write_step;
    } else if (name == "hash") {
        fault_site = detail::FaultSite::hash_step;
    } else {
        return;
    }
    detail::set_fault_hook(inject_fault);
}

// Set by the signal handler; every writer checks it between spectra.
std::atomic<bool> stop_requested{false};
volatile std::sig_atomic_t stop_signal = 0;

extern "C" void on_signal(int signo) {
    stop_signal = signo;
    stop_requested.store(true);
}

// Standard error is shared by the progress line and the failure lines.
std::mutex stderr_mutex;
bool progress_shown = false;

void report_failure(const Failure& failure) {
    const std::lock_guard lock(stderr_mutex);
    if (progress_shown) std::fputs("\r\033[K", stderr);
    std::fprintf(stderr, "corvane-convert: %s\n", failure.message.c_str());
}

// "scanId=1, scanId=2 and 3 more": the first few of count identifiers.
std::string some_ids(std::uint64_t count, const std::vector<std::string>& first) {
    std::string text;
    for (std::size_t i = 0; i < first.size(); ++i) {
        if (i > 0) text += ", ";
        text += first[i];
    }
    if (count > first.size()) text += " and " + std::to_string(count - first.size()) + " more";
    return text;
}

// "corvane-convert: warning: INPUT: N scans could not be read and were written without data:
// scanId=1, scanId=2 and 3 more; first error: TEXT" (an MGF file leaves them out).
void report_damage(const std::string& input, const WriteStats& stats, corvane::output::Format format) {
    const bool mgf = format == corvane::output::Format::mgf;
    report_failure(Failure{"warning: " + input + ": " +
                           corvane::tools::damaged_scans_text(
                               stats.damaged, stats.first_damaged, stats.first_error,
                               mgf ? " and were left out" : " and were written without data",
                               mgf ? " and was left out" : " and was written without data")});
}

// "corvane-convert: warning: INPUT: salvaged a cut scan index: kept N complete records of
// S bytes, dropped B bytes (1 incomplete record) at the end of MSScan.bin".
void report_salvage(const std::string& input, const corvane::Salvage& salvaged) {
    report_failure(Failure{"warning: " + input + ": " + corvane::salvage_warning(salvaged)});
}

// "corvane-convert: warning: INPUT: N fragment scans have no precursor m/z in msn_value_1
// and were left out: scanId=1, ...". Not a failure: the member holds no value for them.
void report_without_precursor(const std::string& input, const WriteStats& stats,
                              const corvane::processing::Options& processing) {
    const bool one = stats.without_precursor == 1;
    const std::string_view member =
        processing.precursor_mz ? corvane::processing::member_name(*processing.precursor_mz) : "the declared member";
    report_failure(Failure{"warning: " + input + ": " + std::to_string(stats.without_precursor) +
                           (one ? " fragment scan has" : " fragment scans have") + " no precursor m/z in " +
                           std::string(member) + (one ? " and was left out: " : " and were left out: ") +
                           some_ids(stats.without_precursor, stats.first_without_precursor)});
}

// Redraws the progress line on a terminal a few times a second until told to stop.
class ProgressLine {
public:
    ProgressLine(const Progress& progress, std::size_t files) : progress_(progress), files_(files) {}

    void run(const std::atomic<std::size_t>& files_done) {
        const auto start = std::chrono::steady_clock::now();
        std::unique_lock lock(mutex_);
        // Drawn at once, then a few times a second, so even a short run shows it.
        do {
            const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            const auto total = progress_.scans_total.load(std::memory_order_relaxed);
            const auto scans = progress_.scans_done.load(std::memory_order_relaxed);
            const double mb = static_cast<double>(progress_.bytes_written.load(std::memory_order_relaxed)) / 1e6;
            char left[32] = "?";
            if (scans > 0 && total >= scans) {
                const auto s = static_cast<long long>(seconds / static_cast<double>(scans) *
                                                      static_cast<double>(total - scans));
                std::snprintf(left, sizeof left, "%lld:%02lld", s / 60, s % 60);
            }
            char files[48] = "";
            if (files_ > 1) std::snprintf(files, sizeof files, "%zu of %zu files done, ", files_done.load(), files_);
            const std::lock_guard out(stderr_mutex);
            std::fprintf(stderr, "\r\033[Kcorvane-convert: %s%llu of %llu scans, %.1f MB/s, %s left", files,
                         static_cast<unsigned long long>(scans), static_cast<unsigned long long>(total),
                         seconds > 0 ? mb / seconds : 0.0, left);
            progress_shown = true;
        } while (!cv_.wait_for(lock, std::chrono::milliseconds(200), [&] { return done_; }));
        const std::lock_guard out(stderr_mutex);
        if (progress_shown) std::fputs("\r\033[K", stderr);
        progress_shown = false;
    }

    void finish() {
        {
            const std::lock_guard lock(mutex_);
            done_ = true;
        }
        cv_.notify_all();
    }

private:
    const Progress& progress_;
    std::size_t files_;
    std::mutex mutex_;
    std::condition_variable cv_;
    bool done_ = false;
};

int run(int argc, char** argv) {
    read_fault_seam();
    auto args = parse_arguments(argc, argv);
    if (!args) {
        if (args.error().status == 0) {
            std::fputs(args.error().message.empty() ? usage_text.data() : (args.error().message + "\n").c_str(),
                       stdout);
            return 0;
        }
        std::fprintf(stderr, "corvane-convert: %s (--help for usage)\n", args.error().message.c_str());
        return 2;
    }
    auto jobs = plan_jobs(args->inputs, args->output, args->options.format);
    if (!jobs) {
        report_failure(jobs.error());
        return 2;
    }
    // An output folder named with a final "/" is made when missing, as --out-dir is.
    if (args->output && args->output->ends_with('/')) {
        if (auto made = corvane::output::make_folder(*args->output, args->inputs); !made) {
            report_failure(made.error());
            return 1;
        }
    }

    struct sigaction action {};
    action.sa_handler = on_signal;
    action.sa_flags = static_cast<int>(SA_RESETHAND);  // a second signal ends the process the usual way
    sigemptyset(&action.sa_mask);
    for (const int signo : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(signo, &action, nullptr);

    // The jobs share the machine: each input gets its share of the cores (at least one
    // thread), and --threads asks for fewer, never for more than that share.
    const unsigned running = static_cast<unsigned>(std::min<std::size_t>(args->jobs, jobs->size()));
    const unsigned share = std::max(1U, machine_cores() / running);
    args->options.write.threads = args->threads == 0 ? share : std::min(args->threads, share);

    Progress progress;
    std::atomic<std::size_t> next_job{0};
    std::atomic<std::size_t> files_done{0};
    std::atomic<bool> any_failed{false};
    std::atomic<bool> any_damaged{false};
    const auto worker = [&] {
        for (std::size_t i = next_job++; i < jobs->size() && !stop_requested.load(); i = next_job++) {
            Outcome<WriteStats> result = std::unexpected(Failure{});
            try {
                result = convert_one((*jobs)[i], args->options, progress, stop_requested);
            } catch (const std::exception& e) {  // out of memory: this input fails, not all
                result = std::unexpected(Failure{(*jobs)[i].input + ": " + e.what()});
            }
            if (!result && !stop_requested.load()) {
                report_failure(result.error());
                any_failed = true;
            } else if (result) {
                if (result->without_precursor > 0) {
                    report_without_precursor((*jobs)[i].input, *result, args->options.processing);
                }
                if (result->salvaged) {
                    report_salvage((*jobs)[i].input, *result->salvaged);
                    any_damaged = true;
                }
                if (result->damaged > 0) {
                    report_damage((*jobs)[i].input, *result, args->options.format);
                    any_damaged = true;
                }
            }
            ++files_done;
        }
    };

    // A thread that cannot start is reported like a failed input; the threads that did
    // start (this one among them) still convert every input.
    std::optional<ProgressLine> line;
    Workers line_thread;
    if (!args->quiet && ::isatty(STDERR_FILENO) == 1) {
        line.emplace(progress, jobs->size());
        if (auto started = line_thread.start([&] { line->run(files_done); }); !started) {
            line.reset();
            report_failure(started.error());
            any_failed = true;
        }
    }
    Workers workers;
    for (unsigned w = 1; w < running; ++w) {
        if (auto started = workers.start(worker); !started) {
            report_failure(started.error());
            any_failed = true;
            break;
        }
    }
    worker();
    workers.join();
    if (line) {
        line->finish();
        line_thread.join();
    }
    if (const auto failure = line_thread.failure()) {
        report_failure(Failure{"progress line: " + *failure});
        any_failed = true;
    }
    if (const auto failure = workers.failure()) {  // the worker catches its own; never expected
        report_failure(Failure{*failure});
        any_failed = true;
    }

    if (stop_requested.load()) {
        std::fputs("corvane-convert: interrupted; no partial output left\n", stderr);
        return 128 + static_cast<int>(stop_signal);
    }
    return any_failed ? 1 : any_damaged ? corvane::tools::data_loss_status : 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "corvane-convert: %s\n", e.what());
    } catch (...) {
        std::fprintf(stderr, "corvane-convert: unexpected failure\n");
    }
    return 1;
}
