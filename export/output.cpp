#include "export/output.hpp"

#include <fcntl.h>
#include <signal.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <system_error>
#include <utility>

#include "error.hpp"
#include "sys.hpp"

namespace corvane::output {

namespace fs = std::filesystem;

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

fs::path beside(const std::string& input) {
    const fs::path p = trim_trailing_slashes(input);
    const std::string name = p.filename().string();
    if (name.empty() || name == "." || name == "..") return resolved(p).parent_path();
    return p.parent_path();
}

Outcome<std::string> file_name(const std::string& input, std::string_view extension) {
    const fs::path p = trim_trailing_slashes(input);
    std::string name = p.filename().string();
    if (name.empty() || name == "." || name == "..") name = resolved(p).filename().string();
    if (name.empty() || name == "/" || name == "." || name == "..") {
        return std::unexpected(Failure{input + ": cannot name an output after it"});
    }
    if (name.size() > 2 && (name.ends_with(".d") || name.ends_with(".D"))) name.resize(name.size() - 2);
    name += '.';
    name += extension;
    return name;
}

Outcome<std::string> file_name(const std::string& input, Format format) {
    return file_name(input, format_extension(format));
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

Failure os_failure(const std::string& path, std::string_view what, int code) {
    std::string message = path + ": ";
    if (!what.empty()) message.append(what).append(": ");
    return Failure{message + os_message(code), code, path};
}

// The permissions a new file gets: 0666 less the process's umask, read from /proc
// without changing it (umask() would, for a moment, for every thread). 022 when /proc
// cannot say.
mode_t new_file_mode() {
    mode_t mask = 022;
    if (std::FILE* f = std::fopen("/proc/self/status", "re")) {
        char line[256];
        while (std::fgets(line, sizeof line, f) != nullptr) {
            unsigned value = 0;
            if (std::sscanf(line, "Umask: %o", &value) == 1) {
                mask = static_cast<mode_t>(value & 0777);
                break;
            }
        }
        std::fclose(f);
    }
    return static_cast<mode_t>(0666 & ~mask);
}

// ".<name>.XXXXXX" in folder, name cut (at a character boundary) so that the whole stays
// within the folder's limit on a file name: a target whose own name fits must never fail
// for its temporary file's.
std::string temporary_pattern(const fs::path& folder, const std::string& name) {
    long limit = ::pathconf(folder.c_str(), _PC_NAME_MAX);
    if (limit <= 0) limit = NAME_MAX;
    constexpr std::size_t added = 8;  // "." and ".XXXXXX"
    std::string kept = name;
    const std::size_t room = static_cast<std::size_t>(limit) > added ? static_cast<std::size_t>(limit) - added : 1;
    if (kept.size() > room) {
        std::size_t cut = room;
        // Not in the middle of a UTF-8 sequence: back to the start of the cut character.
        while (cut > 0 && (static_cast<unsigned char>(kept[cut]) & 0xC0) == 0x80) --cut;
        kept.resize(cut);
    }
    return (folder / ("." + kept + ".XXXXXX")).string();
}

// A pause point for tests that must act while a temporary file exists (interrupt the
// writer, kill its process) without racing it: with CORVANE_OUTPUT_PAUSE naming a FIFO,
// the layer writes "<pid> <temporary file>\n" to it once the file exists (the open waits
// for the test to read) and then stops its own process (SIGSTOP) until the test sends
// SIGCONT, or kills it. Unset, as everywhere but in those tests, it costs one getenv.
void pause_point(const std::string& temporary) {
    const char* fifo = std::getenv("CORVANE_OUTPUT_PAUSE");
    if (fifo == nullptr || *fifo == '\0') return;
    const int fd = ::open(fifo, O_WRONLY | O_CLOEXEC);
    if (fd < 0) return;
    const std::string line = std::to_string(::getpid()) + " " + temporary + "\n";
    const bool told = ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
    ::close(fd);
    if (told) ::kill(::getpid(), SIGSTOP);
}

// A temporary file in a folder, removed again unless committed.
class TempFile {
public:
    static Outcome<TempFile> create(const fs::path& folder, const std::string& final_name) {
        std::string pattern = temporary_pattern(folder, final_name);
        const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
        if (fd < 0) return std::unexpected(os_failure(folder.string(), "cannot create a file there", errno));
        return TempFile(fd, std::move(pattern));
    }

    TempFile(TempFile&& other) noexcept
        : fd_(std::exchange(other.fd_, -1)), path_(std::move(other.path_)), keep_(std::exchange(other.keep_, true)) {}
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    TempFile& operator=(TempFile&&) = delete;
    ~TempFile() {
        // Don't retry close on EINTR: the descriptor is gone either way on Linux.
        if (fd_ >= 0) ::close(fd_);
        if (!keep_) ::unlink(path_.c_str());
    }

    [[nodiscard]] int fd() const { return fd_; }
    [[nodiscard]] const std::string& path() const { return path_; }

    // Flushes the file to disk and closes it; the file stays until committed. A file
    // system that cannot sync (EINVAL) has nothing more to flush.
    Outcome<void> close() {
        const int rc_sync = sys::fsync(fd_);
        const int code_sync = errno;
        const int rc_close = ::close(fd_);
        const int code_close = errno;
        fd_ = -1;
        if (rc_sync != 0 && code_sync != EINVAL) return std::unexpected(os_failure(path_, "", code_sync));
        // A failing close can still mean lost data (NFS reports write errors there).
        if (rc_close != 0 && code_close != EINTR) return std::unexpected(os_failure(path_, "", code_close));
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
            return std::unexpected(os_failure(target, "cannot rename the finished file into place", code));
        }
        keep_ = true;
        sync_folder();
        return {};
    }

    static Failure already_exists(const std::string& target) {
        return Failure{target + ": already exists (--force replaces it)", EEXIST, target};
    }

private:
    TempFile(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}

    // The rename lives in the folder's entries: until they reach the disk, a crash can
    // lose the finished file although its bytes were synced. Done once the file is in
    // place, so a folder that cannot be synced (some network file systems refuse) leaves
    // a complete file and is not reported as a failure of the write.
    void sync_folder() const {
        const fs::path folder = fs::path(path_).parent_path();
        const int fd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) return;
        (void)sys::fsync(fd);
        ::close(fd);
    }

    int fd_;
    std::string path_;
    bool keep_ = false;
};

}  // namespace

Outcome<void> make_folder(const std::string& path, const std::vector<std::string>& acquisitions) {
    if (path.find('\0') != std::string::npos) {
        return std::unexpected(Failure{path + ": cannot create the folder: " + os_message(EINVAL), EINVAL, path});
    }
    std::error_code ec;
    if (fs::is_directory(path, ec)) return {};  // nothing to make; the writes apply their own rules
    for (const auto& acquisition : acquisitions) {
        if (within(resolved(trim_trailing_slashes(path)), resolved(trim_trailing_slashes(acquisition)))) {
            Failure inside{path + ": inside the acquisition " + acquisition + ", which is never written to"};
            inside.refused = true;
            return std::unexpected(std::move(inside));
        }
    }
    fs::create_directories(trim_trailing_slashes(path), ec);
    if (!ec) return {};
    return std::unexpected(Failure{path + ": cannot create the folder: " + os_message(ec.value()), ec.value(), path});
}

Outcome<void> write_file(const Target& target, const Fill& fill) {
    const std::string& output = target.path;
    if (output.empty() || output.find('\0') != std::string::npos) {
        return std::unexpected(Failure{output + ": not a file name", EINVAL, output});
    }
    const fs::path path(output);
    const fs::path folder = path.parent_path().empty() ? fs::path(".") : path.parent_path();
    if (!target.acquisition.empty() &&
        within(resolved(folder), resolved(trim_trailing_slashes(target.acquisition)))) {
        Failure inside{output + ": inside the acquisition " + target.acquisition + ", which is never written to"};
        inside.refused = true;
        return std::unexpected(std::move(inside));
    }
    std::error_code ec;
    const auto status = fs::symlink_status(path, ec);
    if (fs::exists(status)) {
        if (fs::is_directory(status)) return std::unexpected(Failure{output + ": is a folder", EISDIR, output});
        if (!target.replace) return std::unexpected(TempFile::already_exists(output));
    }

    auto temp = TempFile::create(folder, path.filename().string());
    if (!temp) return std::unexpected(std::move(temp.error()));
    if (sys::fchmod(temp->fd(), new_file_mode()) != 0) {
        return std::unexpected(os_failure(output, "cannot set its permissions", errno));
    }
    pause_point(temp->path());
    if (auto filled = fill(temp->fd()); !filled) return filled;
    if (auto ok = temp->close(); !ok) return ok;
    return temp->commit(output, target.replace);
}

Outcome<WriteStats> write_run(const Reader& reader, FormatWriter& writer, const Target& target, Progress& progress,
                              const std::atomic<bool>& stop) {
    Target run_target = target;
    run_target.acquisition = reader.root();
    WriteStats stats;
    auto written = write_file(run_target, [&](int fd) -> Outcome<void> {
        auto result = writer.write(fd, reader, progress, stop);
        if (!result) {
            Failure failure = std::move(result.error());
            failure.message = target.path + ": " + failure.message;
            if (failure.os_error != 0 && failure.path.empty()) failure.path = target.path;
            return std::unexpected(std::move(failure));
        }
        if (stop.load()) return std::unexpected(Failure{target.path + ": interrupted"});
        stats = std::move(*result);
        return {};
    });
    if (!written) return std::unexpected(std::move(written.error()));
    return stats;
}

Outcome<void> write_text(const Target& target, std::string_view text) {
    return write_file(target, [&](int fd) -> Outcome<void> {
        std::size_t done = 0;
        while (done < text.size()) {
            const long n = sys::write(fd, text.data() + done, text.size() - done, -1);
            if (n < 0) {
                if (errno == EINTR) continue;
                return std::unexpected(os_failure(target.path, "write failed", errno));
            }
            // A write that takes nothing would take nothing again: no space, in effect.
            if (n == 0) return std::unexpected(os_failure(target.path, "write failed", ENOSPC));
            done += static_cast<std::size_t>(n);
        }
        return {};
    });
}

}  // namespace corvane::output
