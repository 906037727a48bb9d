// The system calls whose failures the project handles and tests provoke: reading the data
// files, writing and finishing output files. Each goes through a seam, one mechanism for
// all: the call the project makes is the seam's current function, the system's own unless
// a test swapped in another (one that fails, returns short counts, or pauses).
#pragma once

#include <sys/types.h>

#include <atomic>

namespace corvane::sys {

// pread/pwrite semantics; an offset of -1 means a plain read or write at the file position.
using ReadFn = long (*)(int fd, void* buffer, unsigned long count, long long offset);
using WriteFn = long (*)(int fd, const void* data, unsigned long size, long long offset);
using FchmodFn = int (*)(int fd, mode_t mode);
using FsyncFn = int (*)(int fd);

// One swappable call. Swapping is atomic, so a test may swap while threads make the call;
// each call sees either the old or the new function.
template <class Fn>
class Seam {
public:
    explicit constexpr Seam(Fn own) : system_(own), current_(own) {}
    Seam(const Seam&) = delete;
    Seam& operator=(const Seam&) = delete;

    [[nodiscard]] Fn get() const { return current_.load(std::memory_order_acquire); }
    [[nodiscard]] Fn system() const { return system_; }
    // Installs fn (nullptr: the system's own) and returns the one it replaces.
    Fn swap(Fn fn) { return current_.exchange(fn != nullptr ? fn : system_, std::memory_order_acq_rel); }

private:
    const Fn system_;
    std::atomic<Fn> current_;
};

extern Seam<ReadFn> read_seam;
extern Seam<WriteFn> write_seam;
extern Seam<FchmodFn> fchmod_seam;
extern Seam<FsyncFn> fsync_seam;

inline long read(int fd, void* buffer, unsigned long count, long long offset) {
    return read_seam.get()(fd, buffer, count, offset);
}
inline long write(int fd, const void* data, unsigned long size, long long offset) {
    return write_seam.get()(fd, data, size, offset);
}
inline int fchmod(int fd, mode_t mode) { return fchmod_seam.get()(fd, mode); }
inline int fsync(int fd) { return fsync_seam.get()(fd); }

// For tests: fn in place of a seam's call for the guard's lifetime.
template <class Fn>
class Swapped {
public:
    Swapped(Seam<Fn>& seam, Fn fn) : seam_(seam), previous_(seam.swap(fn)) {}
    ~Swapped() { seam_.swap(previous_); }
    Swapped(const Swapped&) = delete;
    Swapped& operator=(const Swapped&) = delete;

private:
    Seam<Fn>& seam_;
    Fn previous_;
};

}  // namespace corvane::sys
