#include "raw/raw.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <limits>
#include <utility>

#include "sys.hpp"

namespace corvane::raw {

namespace {

// Owns one descriptor and closes it on every path out.
class File {
public:
    explicit File(int fd) : fd_(fd) {}
    File(File&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    File& operator=(File&&) = delete;
    // Don't retry close on EINTR: on Linux the descriptor is gone either way.
    ~File() {
        if (fd_ >= 0) ::close(fd_);
    }
    [[nodiscard]] int fd() const { return fd_; }

private:
    int fd_;
};

Result<int> open_read_only(const std::string& path) {
    // A path with an embedded NUL cannot be handed to the system intact.
    if (path.find('\0') != std::string::npos) return io_error(EINVAL);
    int fd;
    do {
        // O_NONBLOCK: a FIFO would otherwise hold open() until some writer came along.
        // Regular files ignore the flag.
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return io_error(errno);
    return fd;
}

// Fills buffer[0, count) from the file at offset; EINTR is retried, a zero-byte read
// before the end is an early end of file.
Result<void> read_exact(int fd, std::uint8_t* buffer, std::size_t count, std::uint64_t offset) {
    std::size_t done = 0;
    while (done < count) {
        const long got = sys::read(fd, buffer + done, count - done,
                                           static_cast<long long>(offset + done));
        if (got < 0) {
            if (errno == EINTR) continue;
            return io_error(errno);
        }
        if (got == 0) return std::unexpected(Error::eof());
        done += static_cast<std::size_t>(got);
    }
    return {};
}

}  // namespace

namespace {

// The shared part of both ranged reads: opens the file, checks the span against its size
// and, for an empty span, positions the file (so that an offset the system refuses is
// still reported). On success the caller reads `length` bytes at `offset`, if any.
Result<File> open_span(const std::string& path, std::uint64_t offset, std::uint64_t length) {
    auto fd = open_read_only(path);
    if (!fd) return std::unexpected(std::move(fd.error()));
    File file(*fd);

    struct stat st {};
    if (::fstat(file.fd(), &st) != 0) return io_error(errno);
    if (auto error = span_error(path, static_cast<std::uint64_t>(st.st_size), offset, length)) {
        return std::unexpected(std::move(*error));
    }
    if (length == 0) {
        if (::lseek(file.fd(), static_cast<off_t>(offset), SEEK_SET) < 0) return io_error(errno);
    }
    return file;
}

}  // namespace

std::optional<Error> span_error(const std::string& path, std::uint64_t file_size,
                                std::uint64_t offset, std::uint64_t length) {
    const std::uint64_t remaining = offset <= file_size ? file_size - offset : 0;
    if (length > remaining) {
        return Error::parse("read_bytes: requested " + std::to_string(length) + " bytes at offset " +
                            std::to_string(offset) + " but " + path + " has only " +
                            std::to_string(remaining) + " bytes remaining");
    }
    if (length == 0 && offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
        return Error::io(EINVAL);
    }
    return std::nullopt;
}

Result<std::vector<std::uint8_t>> read_bytes(const std::string& path, std::uint64_t offset,
                                             std::uint64_t length) {
    auto file = open_span(path, offset, length);
    if (!file) return std::unexpected(std::move(file.error()));
    if (length == 0) return std::vector<std::uint8_t>{};
    // length <= remaining <= size, so the buffer is bounded by the file's real size and
    // every position read lies below it.
    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(length));
    if (auto ok = read_exact(file->fd(), buffer.data(), buffer.size(), offset); !ok) {
        return std::unexpected(std::move(ok.error()));
    }
    return buffer;
}

Result<void> read_bytes_into(const std::string& path, std::uint64_t offset,
                             std::span<std::uint8_t> out) {
    auto file = open_span(path, offset, out.size());
    if (!file) return std::unexpected(std::move(file.error()));
    if (out.empty()) return {};
    return read_exact(file->fd(), out.data(), out.size(), offset);
}

Result<std::vector<std::uint8_t>> read_file(const std::string& path) {
    auto fd = open_read_only(path);
    if (!fd) return std::unexpected(std::move(fd.error()));
    File file(*fd);

    struct stat st {};
    if (::fstat(file.fd(), &st) != 0) return io_error(errno);
    // Only regular files are read whole (a directory fails in read() with EISDIR): a
    // device such as /dev/zero never ends and a FIFO is no file to read as a whole.
    if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) return io_error(EINVAL);
    // The size is a hint (files under /proc report 0); read until end of file.
    std::vector<std::uint8_t> buffer;
    std::size_t used = 0;
    buffer.resize(st.st_size > 0 ? static_cast<std::size_t>(st.st_size) + 1 : 4096);
    for (;;) {
        if (used == buffer.size()) buffer.resize(buffer.size() * 2);
        const long got = sys::read(file.fd(), buffer.data() + used, buffer.size() - used, -1);
        if (got < 0) {
            if (errno == EINTR) continue;
            return io_error(errno);
        }
        if (got == 0) break;
        used += static_cast<std::size_t>(got);
    }
    buffer.resize(used);
    return buffer;
}

}  // namespace corvane::raw
