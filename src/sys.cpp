#include "sys.hpp"

#include <sys/stat.h>
#include <unistd.h>

namespace corvane::sys {

namespace {

long system_read(int fd, void* buffer, unsigned long count, long long offset) {
    if (offset < 0) return ::read(fd, buffer, count);
    return ::pread(fd, buffer, count, offset);
}

long system_write(int fd, const void* data, unsigned long size, long long offset) {
    if (offset < 0) return ::write(fd, data, size);
    return ::pwrite(fd, data, size, offset);
}

int system_fchmod(int fd, mode_t mode) { return ::fchmod(fd, mode); }

int system_fsync(int fd) { return ::fsync(fd); }

}  // namespace

constinit Seam<ReadFn> read_seam{system_read};
constinit Seam<WriteFn> write_seam{system_write};
constinit Seam<FchmodFn> fchmod_seam{system_fchmod};
constinit Seam<FsyncFn> fsync_seam{system_fsync};

}  // namespace corvane::sys
