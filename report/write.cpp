// Writing the page: a temporary file beside the target, renamed over it once complete.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>

#include "report.hpp"

namespace corvane::report {

namespace {

// Distinct temporary names for writers in one process; the pid separates processes.
std::atomic<unsigned> temporary_serial{0};

Result<void> write_all(int fd, std::string_view text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return io_error(errno);
        }
        done += static_cast<std::size_t>(n);
    }
    return {};
}

}  // namespace

Result<void> write_file(const std::string& path, std::string_view text) {
    if (path.find('\0') != std::string::npos) return io_error(EINVAL);
    std::string temporary;
    int fd = -1;
    // O_EXCL: never write into a file that someone else made under the same name.
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temporary = path + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(temporary_serial++);
        fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) return io_error(errno);
    }
    if (fd < 0) return io_error(EEXIST);
    auto written = write_all(fd, text);
    // Don't retry close on EINTR: the descriptor is gone either way on Linux. A failing
    // close can still mean lost data (NFS reports write errors there), so it counts.
    const int closed = ::close(fd);
    if (written && closed != 0 && errno != EINTR) written = io_error(errno);
    if (written && ::rename(temporary.c_str(), path.c_str()) != 0) written = io_error(errno);
    if (!written) ::unlink(temporary.c_str());
    return written;
}

}  // namespace corvane::report
