// What any format's writer needs to put text into a file fast: a buffered, counting,
// optionally hashing sink that writes on threads of its own; a growable chunk for text
// built on a worker; numbers, floats and base64 put straight into either.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <cassert>
#include <charconv>
#include <cmath>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "base64.hpp"
#include "export/format.hpp"
#include "export/sha1.hpp"
#include "export/thread.hpp"

namespace corvane::output {

// Output buffer: large enough that writes stay few, small enough to stay in cache.
constexpr std::size_t sink_capacity = std::size_t{1} << 20;

// Bytes between two requests to start writing the file to disk.
constexpr std::uint64_t writeback_step = std::uint64_t{32} << 20;

// A write call that wrote no byte of a non-empty request: no errno says why, and
// calling again would only repeat it.
constexpr int wrote_nothing = -1;

// Writes all of data at offset (at the file position when offset < 0), continuing after
// short counts and EINTR. Returns 0, the errno value of the failure, or wrote_nothing.
int write_all(int fd, const char* data, std::size_t size, long long offset);

// The message for a result of write_all other than 0: "write failed: <OS text>" or
// "write failed: nothing written".
[[nodiscard]] std::string write_failure(int code);

// The failure for a result of write_all other than 0, with its errno when there is one.
[[nodiscard]] Failure write_failure_of(int code);

// Buffered output to a file descriptor that counts every byte, so element offsets are
// known as they are written. With threads, full buffers go to two threads of the sink's
// own, one hashing them (while hashing is on), one writing them, so that encoding,
// hashing and the write calls overlap; the caller fills the next buffer meanwhile.
// Without, the caller hashes and writes each full buffer itself. The first failure
// sticks (a write error, a thread that could not start, a step that threw) and status()
// reports it; later output is dropped.
class Sink {
public:
    Sink(int fd, bool hash, bool threaded) : fd_(fd) {
        for (auto& b : buffers_) b.reset(new char[sink_capacity]);
        if (hash) hasher_.emplace();
        threaded_ = threaded;
        if (!threaded) return;
        auto writer = workers_.start([this] { work(written_, "write failed: ", [this](const char* data, std::size_t size) { return write_step(data, size); }); });
        if (!writer) {
            fail_to_start(std::move(writer.error()));
            return;
        }
        writer_running_ = true;
        if (hash) {
            auto hasher = workers_.start([this] { work(hashed_, "checksum failed: ", [this](const char* data, std::size_t size) { return hash_step(data, size); }); });
            if (!hasher) {
                hasher_.reset();
                fail_to_start(std::move(hasher.error()));
                return;
            }
            hasher_running_ = true;
        }
    }
    Sink(const Sink&) = delete;
    Sink& operator=(const Sink&) = delete;
    ~Sink() {
        {
            const std::lock_guard lock(mutex_);
            closing_ = true;
        }
        changed_.notify_all();
        workers_.join();
    }

    [[nodiscard]] std::uint64_t offset() const { return flushed_ + used_; }

    // The first failure, if any. Called by the owner only.
    [[nodiscard]] Outcome<void> status() const {
        if (!failed_.load(std::memory_order_acquire)) return {};
        if (start_failure_) return std::unexpected(*start_failure_);
        if (write_error_ != 0) return std::unexpected(write_failure_of(write_error_));
        return std::unexpected(Failure{failed_step_ + mzml::exception_text(thrown_)});
    }

    void put(std::string_view text) {
        while (!text.empty()) {
            if (used_ == sink_capacity) hand_over();
            const std::size_t n = std::min(text.size(), sink_capacity - used_);
            std::memcpy(current() + used_, text.data(), n);
            used_ += n;
            text.remove_prefix(n);
        }
    }

    // Room for n contiguous bytes (n <= sink_capacity); commit what was used of it.
    char* reserve(std::size_t n) {
        if (n > sink_capacity - used_) hand_over();
        return current() + used_;
    }
    void commit(std::size_t n) { used_ += n; }
    static constexpr std::size_t max_reserve = sink_capacity;

    // Everything put so far is hashed and written (or dropped after a failure) when this
    // returns.
    void flush() {
        hand_over();
        if (!writer_running_) return;
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return written_ == handed_ && (!hasher_running_ || hashed_ == handed_); });
    }

    // The SHA-1 of everything put so far; hashing stops here.
    Outcome<std::string> digest() {
        flush();
        if (auto ok = status(); !ok) return std::unexpected(ok.error());
        assert(hasher_);  // hashing was asked for, and it runs: no failure
        auto hex = hasher_->hex();
        hasher_.reset();  // the hashing thread is idle until the next buffer
        return hex;
    }

private:
    // Buffers in rotation: one being filled, up to two being hashed or written.
    static constexpr std::size_t buffer_count = 3;

    char* current() { return buffers_[handed_ % buffer_count].get(); }

    // No thread was started after this one failed to, so no thread can be racing here.
    void fail_to_start(Failure failure) {
        start_failure_ = std::move(failure);
        failed_.store(true, std::memory_order_release);
    }

    int write_step(const char* data, std::size_t size) {
        mzml::detail::fault_point(mzml::detail::FaultSite::write_step);
        return write_out(data, size);
    }
    int hash_step(const char* data, std::size_t size) {
        mzml::detail::fault_point(mzml::detail::FaultSite::hash_step);
        if (hasher_) hasher_->update(data, size);
        return 0;
    }

    // Records the first failure of a step: a write_all error or what it threw.
    void record_failure(int code, std::exception_ptr thrown, const char* name) {
        if (failed_.load(std::memory_order_relaxed)) return;
        write_error_ = code;
        thrown_ = std::move(thrown);
        failed_step_ = name;
        failed_.store(true, std::memory_order_release);
    }

    // Runs one step on the caller's thread (no threads): hashing, then writing.
    void run_inline(const char* data, std::size_t size) {
        const auto step = [&](const char* name, auto&& body) {
            if (failed_.load(std::memory_order_relaxed)) return;
            try {
                if (const int code = body(); code != 0) record_failure(code, nullptr, name);
            } catch (...) {
                record_failure(0, std::current_exception(), name);
            }
        };
        if (hasher_) step("checksum failed: ", [&] { return hash_step(data, size); });
        step("write failed: ", [&] { return write_step(data, size); });
    }

    // Passes the current buffer on and waits until the next one in rotation is free.
    // Without a writing thread the buffer is written here, or dropped after a thread
    // failed to start (the failure is recorded already).
    void hand_over() {
        if (used_ == 0) return;
        flushed_ += used_;
        if (!threaded_) {
            run_inline(current(), used_);
            used_ = 0;
            return;
        }
        if (!writer_running_) {
            used_ = 0;
            return;
        }
        std::unique_lock lock(mutex_);
        sizes_[handed_ % buffer_count] = used_;
        ++handed_;
        used_ = 0;
        changed_.notify_all();
        changed_.wait(lock, [&] {
            const std::uint64_t done = hasher_running_ ? std::min(written_, hashed_) : written_;
            return handed_ - done < buffer_count;
        });
    }

    // One worker: takes every handed buffer in order, applies step (which returns 0 or a
    // write_all error), counts it in done. A failure, returned or thrown, is recorded
    // with `name` as its message prefix; from then on every worker only counts buffers,
    // so the owner never waits for a step that will not come.
    template <class Step>
    void work(std::uint64_t& done, const char* name, Step step) {
        std::unique_lock lock(mutex_);
        for (;;) {
            changed_.wait(lock, [&] { return done < handed_ || closing_; });
            if (done == handed_) return;
            const std::size_t index = static_cast<std::size_t>(done % buffer_count);
            const std::size_t size = sizes_[index];
            lock.unlock();
            int code = 0;
            std::exception_ptr thrown;
            if (!failed_.load(std::memory_order_relaxed)) {
                try {
                    code = step(buffers_[index].get(), size);
                } catch (...) {
                    thrown = std::current_exception();
                }
            }
            lock.lock();
            if (code != 0 || thrown) record_failure(code, std::move(thrown), name);
            ++done;
            changed_.notify_all();
        }
    }

    // 0, or the write_all error.
    int write_out(const char* data, std::size_t size);

    int fd_;
    std::array<std::unique_ptr<char[]>, buffer_count> buffers_;
    std::array<std::size_t, buffer_count> sizes_{};
    std::size_t used_ = 0;             // bytes in the buffer being filled
    std::uint64_t flushed_ = 0;        // bytes handed on before it
    std::optional<mzml::Sha1> hasher_;       // used by the hashing step only while it holds a buffer
    std::uint64_t written_bytes_ = 0;  // the writing step's own counts
    std::uint64_t synced_ = 0;
    bool threaded_ = false;
    bool writer_running_ = false;
    bool hasher_running_ = false;

    // The first failure: set once, before failed_ is (release), read after it (acquire).
    std::atomic<bool> failed_{false};
    std::optional<Failure> start_failure_;  // a thread that could not start
    int write_error_ = 0;                   // a write_all error
    std::exception_ptr thrown_;             // or what a step threw,
    const char* failed_step_ = "";          // with its message prefix

    std::mutex mutex_;
    std::condition_variable changed_;
    std::uint64_t handed_ = 0;   // buffers handed on so far
    std::uint64_t written_ = 0;  // of them, written
    std::uint64_t hashed_ = 0;   // of them, hashed
    bool closing_ = false;
    mzml::Workers workers_;            // last: joined first, while everything they use exists
};

// A growable text buffer with the sink's put/reserve/commit surface: one spectrum's
// element, built on a worker and copied into the sink in order. Keeps its memory from
// one spectrum to the next.
class Chunk {
public:
    static constexpr std::size_t max_reserve = std::numeric_limits<std::size_t>::max() / 4;

    void put(std::string_view text) {
        std::memcpy(reserve(text.size()), text.data(), text.size());
        used_ += text.size();
    }
    char* reserve(std::size_t n) {
        if (n > capacity_ - used_) grow(n);
        return data_.get() + used_;
    }
    void commit(std::size_t n) { used_ += n; }
    void clear() { used_ = 0; }
    [[nodiscard]] std::string_view view() const { return {data_.get(), used_}; }

private:
    void grow(std::size_t n) {
        const std::size_t capacity = std::max({capacity_ * 2, used_ + n, std::size_t{1} << 16});
        std::unique_ptr<char[]> data(new char[capacity]);
        if (used_ != 0) std::memcpy(data.get(), data_.get(), used_);
        data_ = std::move(data);
        capacity_ = capacity;
    }

    std::unique_ptr<char[]> data_;
    std::size_t used_ = 0;
    std::size_t capacity_ = 0;
};

// Decimal digits of value.
template <class Out>
void put_number(Out& out, std::uint64_t value) {
    char* p = out.reserve(24);
    const auto r = std::to_chars(p, p + 24, value);
    out.commit(static_cast<std::size_t>(r.ptr - p));
}

// Shortest text that reads back as the same value; xs:double spellings for the
// non-finite ones.
template <class Out, class Float>
void put_float(Out& out, Float value) {
    if (std::isnan(value)) return out.put("NaN");
    if (std::isinf(value)) return out.put(value > 0 ? "INF" : "-INF");
    char* p = out.reserve(32);
    const auto r = std::to_chars(p, p + 32, value);
    out.commit(static_cast<std::size_t>(r.ptr - p));
}

// The base64 text of bytes, in pieces that fit the output's reserve.
template <class Out>
void put_base64(Out& out, std::span<const std::uint8_t> bytes) {
    // Whole 3-byte groups per step, so padding can only appear at the very end.
    constexpr std::size_t step = std::min(Out::max_reserve, sink_capacity) / 4 * 3 / 2;
    while (!bytes.empty()) {
        const std::size_t n = std::min(bytes.size(), step);
        char* p = out.reserve(base64_length(n));
        base64_encode(bytes.first(n), p);
        out.commit(base64_length(n));
        bytes = bytes.subspan(n);
    }
}

// The bytes of values as they lie in memory (little-endian, as the formats store them).
template <class T>
std::span<const std::uint8_t> bytes_of(std::span<const T> values) {
    return {reinterpret_cast<const std::uint8_t*>(values.data()), values.size_bytes()};
}

}  // namespace corvane::output
