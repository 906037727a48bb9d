#include "convert.hpp"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <system_error>
#include <utility>

#include "error.hpp"
#include "reader.hpp"
#include "sha1.hpp"

namespace corvane::mzml {

namespace fs = std::filesystem;

namespace detail {
namespace {

int system_fchmod(int fd, mode_t mode) { return ::fchmod(fd, mode); }

FchmodCall fchmod_call = system_fchmod;

}  // namespace

FchmodCall set_fchmod_call(FchmodCall call) {
    FchmodCall previous = fchmod_call;
    fchmod_call = call != nullptr ? call : system_fchmod;
    return previous;
}

}  // namespace detail

std::string trim_trailing_slashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

fs::path resolved(const fs::path& path) {
    std::error_code ec;
    fs::path p = fs::weakly_canonical(path, ec);
    if (ec) p = fs::absolute(path, ec).lexically_normal();
    return p;
}

namespace {

// Whether inner is dir itself or lies below it (both resolved).
bool within(const fs::path& inner, const fs::path& dir) {
    auto d = dir.begin();
    auto i = inner.begin();
    for (; d != dir.end(); ++d, ++i) {
        if (d->empty()) continue;  // the empty last element of a path ending in "/"
        if (i == inner.end() || *i != *d) return false;
    }
    return true;
}

Failure already_exists(const std::string& target) {
    return Failure{target + ": already exists (--force replaces it)", EEXIST, target};
}

// A temporary file in folder, removed again unless committed.
class TempFile {
public:
    static Outcome<TempFile> create(const fs::path& folder, const std::string& final_name) {
        std::string pattern = (folder.empty() ? fs::path(".") : folder) / ("." + final_name + ".XXXXXX");
        const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
        if (fd < 0) {
            const int code = errno;
            const std::string where = folder.empty() ? std::string(".") : folder.string();
            return std::unexpected(Failure{where + ": cannot create a file there: " + os_message(code), code, where});
        }
        return TempFile(fd, std::move(pattern));
    }

    TempFile(TempFile&& other) noexcept
        : fd_(std::exchange(other.fd_, -1)), path_(std::move(other.path_)), keep_(other.keep_) {
        other.keep_ = true;
    }
    TempFile& operator=(TempFile&&) = delete;
    ~TempFile() {
        // Don't retry close on EINTR: the descriptor is gone either way on Linux.
        if (fd_ >= 0) ::close(fd_);
        if (!keep_) ::unlink(path_.c_str());
    }

    [[nodiscard]] int fd() const { return fd_; }
    [[nodiscard]] const std::string& path() const { return path_; }

    // Flushes the file to disk and closes it; the file stays until committed.
    Outcome<void> close() {
        const int rc_sync = ::fdatasync(fd_);
        const int code_sync = errno;
        const int rc_close = ::close(fd_);
        const int code_close = errno;
        fd_ = -1;
        if (rc_sync != 0 && code_sync != EINVAL) {
            return std::unexpected(Failure{path_ + ": " + os_message(code_sync), code_sync, path_});
        }
        if (rc_close != 0) return std::unexpected(Failure{path_ + ": " + os_message(code_close), code_close, path_});
        return {};
    }

    // Renames the file to target: atomically refusing an existing target unless replace.
    Outcome<void> commit(const std::string& target, bool replace) {
        int rc = 0;
        if (replace) {
            rc = ::rename(path_.c_str(), target.c_str());
        } else {
            rc = ::renameat2(AT_FDCWD, path_.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE);
            if (rc != 0 && (errno == EINVAL || errno == ENOSYS)) {
                // A file system without the no-replace rename: a hard link refuses an
                // existing name just as atomically.
                rc = ::link(path_.c_str(), target.c_str());
                if (rc == 0) ::unlink(path_.c_str());
            }
        }
        if (rc != 0) {
            const int code = errno;
            if (code == EEXIST) return std::unexpected(already_exists(target));
            return std::unexpected(
                Failure{target + ": cannot rename the finished file into place: " + os_message(code), code, target});
        }
        keep_ = true;
        return {};
    }

private:
    TempFile(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}

    int fd_;
    std::string path_;
    bool keep_ = false;
};

}  // namespace

Outcome<WriteStats> convert_one(const Job& job, const ConvertOptions& options, Progress& progress,
                                const std::atomic<bool>& stop) {
    auto reader = Reader::open(job.input);
    if (!reader) {
        return std::unexpected(Failure{job.input + ": cannot open as an acquisition: " + reader.error().display()});
    }
    return write_file(*reader, job.output, options, progress, stop);
}

Outcome<WriteStats> write_file(const Reader& reader, const std::string& output, const ConvertOptions& options,
                               Progress& progress, const std::atomic<bool>& stop) {
    const fs::path acquisition = resolved(trim_trailing_slashes(reader.root()));
    const fs::path target(output);
    const fs::path folder = target.parent_path();
    if (within(resolved(folder.empty() ? fs::path(".") : folder), acquisition)) {
        Failure inside{output + ": inside the acquisition " + reader.root() + ", which is never written to"};
        inside.refused = true;
        return std::unexpected(std::move(inside));
    }
    std::error_code ec;
    const auto status = fs::symlink_status(target, ec);
    if (fs::exists(status)) {
        if (fs::is_directory(status)) return std::unexpected(Failure{output + ": is a folder", EISDIR, output});
        if (!options.force) return std::unexpected(already_exists(output));
    }

    auto temp = TempFile::create(folder, target.filename().string());
    if (!temp) return std::unexpected(temp.error());
    if (detail::fchmod_call(temp->fd(), options.file_mode) != 0) {
        const int code = errno;
        return std::unexpected(Failure{output + ": cannot set its permissions: " + os_message(code), code, output});
    }

    RunInfo run;
    run.source_name = reader.source_name();
    if (run.source_name.empty()) run.source_name = acquisition.filename().string();
    run.source_file = "MSScan.bin";
    run.source_directory = (acquisition / "AcqData").string();
    if (auto digest = sha1_of_file(run.source_directory + "/" + run.source_file)) run.source_sha1 = *digest;
    run.instrument_accession = reader.instrument().accession;
    run.instrument_name = reader.instrument().name;
    run.acquired_time = reader.acquired_time();
    run.spectrum_count = reader.scans().records.size();
    for (const auto& scan : reader.scans().records) {
        run.expected_content |= scan.ms_level == 1   ? content_ms1
                                : scan.ms_level >= 2 ? content_msn
                                                     : content_mass_spectrum;
        run.expected_content |= scan.profile_block ? content_profile : content_centroid;
    }
    progress.scans_total.fetch_add(run.spectrum_count, std::memory_order_relaxed);

    const IndexedSource source{reader.scans().records.size(),
                               [&reader](std::size_t i) { return reader.record_at(i); }};
    auto stats = write_mzml(temp->fd(), source, run, options.write, progress, stop);
    if (!stats) {
        Failure failure = std::move(stats.error());
        failure.message = output + ": " + failure.message;
        if (failure.os_error != 0 && failure.path.empty()) failure.path = output;
        return std::unexpected(std::move(failure));
    }
    if (auto ok = temp->close(); !ok) return std::unexpected(ok.error());
    if (stop.load()) return std::unexpected(Failure{output + ": interrupted"});
    if (auto ok = temp->commit(output, options.force); !ok) return std::unexpected(ok.error());
    return stats;
}

}  // namespace corvane::mzml
