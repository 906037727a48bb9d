#include "export/sink.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "error.hpp"
#include "sys.hpp"

namespace corvane::output {



int write_all(int fd, const char* data, std::size_t size, long long offset) {
    std::size_t done = 0;
    while (done < size) {
        const long long at = offset < 0 ? -1 : offset + static_cast<long long>(done);
        const long n = sys::write(fd, data + done, size - done, at);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (n == 0) return wrote_nothing;
        done += static_cast<std::size_t>(n);
    }
    return 0;
}

std::string write_failure(int code) {
    return "write failed: " + (code == wrote_nothing ? std::string("nothing written") : os_message(code));
}

Failure write_failure_of(int code) {
    return Failure{write_failure(code), code == wrote_nothing ? 0 : code};
}

int Sink::write_out(const char* data, std::size_t size) {
    if (const int code = write_all(fd_, data, size, -1); code != 0) return code;
    // Start the disk writes as the file grows, so the flush before the rename finds
    // little left to do. A hint only: its failure changes nothing.
    written_bytes_ += size;
    if (written_bytes_ - synced_ >= writeback_step) {
        ::sync_file_range(fd_, static_cast<off_t>(synced_), static_cast<off_t>(written_bytes_ - synced_),
                          SYNC_FILE_RANGE_WRITE);
        synced_ = written_bytes_;
    }
    return 0;
}

}  // namespace corvane::output
