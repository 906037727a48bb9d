#include "mzml.hpp"

#include <fcntl.h>
#include <libdeflate.h>
#include <libmsnumpress/MSNumpress.hpp>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cassert>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <filesystem>
#include <expected>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "cv.hpp"
#include "error.hpp"
#include "sha1.hpp"
#include "text.hpp"
#include "thread.hpp"
#include "version.hpp"

namespace corvane::mzml {

static_assert(std::endian::native == std::endian::little,
              "mzML binary arrays are little-endian; this writer copies memory as is");

namespace detail {
namespace {

long system_write(int fd, const void* data, unsigned long size, long long offset) {
    if (offset < 0) return ::write(fd, data, size);
    return ::pwrite(fd, data, size, offset);
}

WriteCall write_call = system_write;

}  // namespace

WriteCall set_write_call(WriteCall call) {
    WriteCall previous = write_call;
    write_call = call != nullptr ? call : system_write;
    return previous;
}

}  // namespace detail

namespace {

// Output buffer: large enough that writes stay few, small enough to stay in cache.
constexpr std::size_t sink_capacity = std::size_t{1} << 20;

// Bytes between two requests to start writing the file to disk.
constexpr std::uint64_t writeback_step = std::uint64_t{32} << 20;

// A write call that wrote no byte of a non-empty request: no errno says why, and
// calling again would only repeat it.
constexpr int wrote_nothing = -1;

// Writes all of data at offset (at the file position when offset < 0), continuing after
// short counts and EINTR. Returns 0, the errno value of the failure, or wrote_nothing.
int write_all(int fd, const char* data, std::size_t size, long long offset) {
    std::size_t done = 0;
    while (done < size) {
        const long long at = offset < 0 ? -1 : offset + static_cast<long long>(done);
        const long n = detail::write_call(fd, data + done, size - done, at);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (n == 0) return wrote_nothing;
        done += static_cast<std::size_t>(n);
    }
    return 0;
}

// The message for a result of write_all other than 0.
std::string write_failure(int code) {
    return "write failed: " + (code == wrote_nothing ? std::string("nothing written") : os_message(code));
}

// The failure for a result of write_all other than 0, with its errno when there is one.
Failure write_failure_of(int code) {
    return Failure{write_failure(code), code == wrote_nothing ? 0 : code};
}


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
        return std::unexpected(Failure{failed_step_ + exception_text(thrown_)});
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
        detail::fault_point(detail::FaultSite::write_step);
        return write_out(data, size);
    }
    int hash_step(const char* data, std::size_t size) {
        detail::fault_point(detail::FaultSite::hash_step);
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
    int write_out(const char* data, std::size_t size) {
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

    int fd_;
    std::array<std::unique_ptr<char[]>, buffer_count> buffers_;
    std::array<std::size_t, buffer_count> sizes_{};
    std::size_t used_ = 0;             // bytes in the buffer being filled
    std::uint64_t flushed_ = 0;        // bytes handed on before it
    std::optional<Sha1> hasher_;       // used by the hashing step only while it holds a buffer
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
    Workers workers_;            // last: joined first, while everything they use exists
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


template <class T>
std::span<const std::uint8_t> bytes_of(std::span<const T> values) {
    return {reinterpret_cast<const std::uint8_t*>(values.data()), values.size_bytes()};
}

// `<cvParam cvRef=".." accession=".." name=".." value="` up to the opening quote of the
// value, for a term that the generated table names.
std::string cv_open(std::string_view accession) {
    const std::string_view prefix = accession.substr(0, accession.find(':'));
    return "<cvParam cvRef=\"" + std::string(prefix) + "\" accession=\"" + std::string(accession) +
           "\" name=\"" + xml_escape(cv::name(accession)) + "\" value=\"";
}

// A complete cvParam with an empty value.
std::string cv_flag(std::string_view accession) { return cv_open(accession) + "\"/>"; }

// The closing part after a value, with a unit term.
std::string unit_close(std::string_view unit) {
    const std::string_view prefix = unit.substr(0, unit.find(':'));
    return "\" unitCvRef=\"" + std::string(prefix) + "\" unitAccession=\"" + std::string(unit) +
           "\" unitName=\"" + xml_escape(cv::name(unit)) + "\"/>\n";
}

constexpr std::string_view mz_unit = "MS:1000040";
constexpr std::string_view counts_unit = "MS:1000131";
constexpr std::string_view second_unit = "UO:0000010";

// Every fixed line of the document, built once from the vocabulary table.
struct Lines {
    std::string ms_level = cv_open("MS:1000511");
    std::string ms1 = cv_flag("MS:1000579");
    std::string msn = cv_flag("MS:1000580");
    std::string mass_spectrum = cv_flag("MS:1000294");
    std::string centroid = cv_flag("MS:1000127");
    std::string profile = cv_flag("MS:1000128");
    std::string tic = cv_open("MS:1000285");
    std::string base_mz = cv_open("MS:1000504");
    std::string base_intensity = cv_open("MS:1000505");
    std::string lowest_mz = cv_open("MS:1000528");
    std::string highest_mz = cv_open("MS:1000527");
    std::string no_combination = cv_flag("MS:1000795");
    std::string scan_start = cv_open("MS:1000016");
    std::string f64 = cv_flag("MS:1000523");
    std::string f32 = cv_flag("MS:1000521");
    std::string zlib = cv_flag("MS:1000574");
    std::string raw = cv_flag("MS:1000576");
    std::string numpress_linear = cv_flag("MS:1002746");  // followed by zlib
    std::string numpress_slof = cv_flag("MS:1002748");    // likewise
    std::string mz_array = cv_open("MS:1000514") + unit_close(mz_unit);
    std::string intensity_array = cv_open("MS:1000515") + unit_close(counts_unit);
    std::string time_array = cv_open("MS:1000595") + unit_close(second_unit);
    std::string tic_chromatogram = cv_flag("MS:1000235");
    std::string mz_close = unit_close(mz_unit);
    std::string counts_close = unit_close(counts_unit);
    std::string second_close = unit_close(second_unit);
};

// The mapping rules of the format allow one representation term at most: it is given
// only when every spectrum has it.
std::string file_content(const Lines& lines, unsigned present) {
    if ((present & content_centroid) != 0 && (present & content_profile) != 0) {
        present &= ~(content_centroid | content_profile);
    }
    std::string text;
    const auto add = [&](unsigned flag, const std::string& line) {
        if ((present & flag) != 0) text += "        " + line + "\n";
    };
    add(content_ms1, lines.ms1);
    add(content_msn, lines.msn);
    add(content_mass_spectrum, lines.mass_spectrum);
    add(content_centroid, lines.centroid);
    add(content_profile, lines.profile);
    return text;
}


// A zlib-stream compressor with its output buffer, reused for every array.
class Deflater {
public:
    explicit Deflater(int level) : compressor_(libdeflate_alloc_compressor(level)) {}

    [[nodiscard]] bool ready() const { return compressor_ != nullptr; }

    // The compressed bytes, valid until the next call.
    std::span<const std::uint8_t> compress(std::span<const std::uint8_t> bytes) {
        const std::size_t bound = libdeflate_zlib_compress_bound(compressor_.get(), bytes.size());
        if (packed_.size() < bound) {
            detail::fault_point(detail::FaultSite::compress_buffer);
            packed_.resize(bound);
        }
        // Cannot fail: the room is the compressor's own bound.
        const std::size_t size =
            libdeflate_zlib_compress(compressor_.get(), bytes.data(), bytes.size(), packed_.data(), packed_.size());
        assert(size != 0);
        return std::span<const std::uint8_t>(packed_).first(size);
    }

private:
    struct Free {
        void operator()(libdeflate_compressor* c) const { libdeflate_free_compressor(c); }
    };
    std::unique_ptr<libdeflate_compressor, Free> compressor_;
    std::vector<std::uint8_t> packed_;
};

// Which MS-Numpress coding suits an array: linear prediction for smooth, growing values
// (m/z, retention times), short logged floats for intensities.
enum class Numpress { linear, slof };

// One array's values, as MS-Numpress bytes: nothing when the values are outside what the
// coding can carry (empty; not finite; negative, or past 2^31 for linear prediction; a
// fixed point the library cannot find) or when linear prediction has a single value
// (nothing to gain, and pymzml's decoder cannot read one). Such an array is stored
// zlib-compressed, exactly.
std::optional<std::span<const std::uint8_t>> numpress_encode(std::span<const double> values, Numpress kind,
                                                             std::vector<std::uint8_t>& out) {
    if (values.empty() || (kind == Numpress::linear && values.size() < 2)) return std::nullopt;
    for (const double v : values) {
        if (!std::isfinite(v)) return std::nullopt;
        if (kind == Numpress::slof && v < 0) return std::nullopt;
        if (kind == Numpress::linear && std::abs(v) >= 2147483647.0) return std::nullopt;
    }
    try {
        if (kind == Numpress::linear) {
            const double fixed = ms::numpress::MSNumpress::optimalLinearFixedPoint(values.data(), values.size());
            if (!(fixed >= 1.0)) return std::nullopt;
            out.resize(8 + values.size() * 5);  // the library's bound
            out.resize(ms::numpress::MSNumpress::encodeLinear(values.data(), values.size(), out.data(), fixed));
        } else {
            const double fixed = ms::numpress::MSNumpress::optimalSlofFixedPoint(values.data(), values.size());
            if (!(fixed > 0.0) || !std::isfinite(fixed)) return std::nullopt;
            out.resize(8 + values.size() * 2);
            out.resize(ms::numpress::MSNumpress::encodeSlof(values.data(), values.size(), out.data(), fixed));
        }
    } catch (const std::bad_alloc&) {
        throw;
    } catch (...) {  // the library throws a C string for values it cannot encode
        return std::nullopt;
    }
    return std::span<const std::uint8_t>(out);
}

// What compressing an array threw, told apart from the encoding's other failures.
struct CompressionError {
    std::exception_ptr cause;
};

// Turns arrays into <binaryDataArray> elements as the options ask: one per thread that
// encodes, with its compressor and buffers, reused from array to array.
class Encoder {
public:
    Encoder(const WriteOptions& options, const Lines& lines)
        : compression_(options.compression), lines_(lines), deflater_(options.zlib_level) {}

    [[nodiscard]] bool ready() const { return compression_ == Compression::none || deflater_.ready(); }

    template <class Out, class T>
    void array(Out& out, std::span<const T> values, Numpress kind, const std::string& array_line) {
        const std::span<const std::uint8_t> bytes = bytes_of(values);
        if (bytes.size() < Repeat::min_size || kind != Numpress::linear) return render(out, values, kind, array_line);
        // An m/z axis often repeats from scan to scan (a profile scan's axis follows from
        // its range alone), so the last few are kept with their element, compared whole.
        for (std::size_t i = 0; i < repeats_.size(); ++i) {
            const Repeat& r = repeats_[i];
            if (r.array_line == &array_line && r.values.size() == bytes.size() &&
                std::memcmp(r.values.data(), bytes.data(), bytes.size()) == 0) {
                std::rotate(repeats_.begin(), repeats_.begin() + static_cast<std::ptrdiff_t>(i),
                            repeats_.begin() + static_cast<std::ptrdiff_t>(i) + 1);
                return out.put(repeats_.front().element.view());
            }
        }
        std::rotate(repeats_.begin(), repeats_.end() - 1, repeats_.end());  // the oldest goes first
        Repeat& r = repeats_.front();
        r.array_line = nullptr;
        r.element.clear();
        render(r.element, values, kind, array_line);
        r.values.assign(bytes.begin(), bytes.end());
        r.array_line = &array_line;
        out.put(r.element.view());
    }

private:
    // An array seen recently and its encoded element.
    struct Repeat {
        static constexpr std::size_t min_size = 4096;  // smaller ones cost little to encode again
        std::vector<std::uint8_t> values;
        const std::string* array_line = nullptr;
        Chunk element;
    };

    template <class Out, class T>
    void render(Out& out, std::span<const T> values, Numpress kind, const std::string& array_line) {
        std::span<const std::uint8_t> bytes = bytes_of(values);
        const std::string* type = sizeof(T) == 8 ? &lines_.f64 : &lines_.f32;
        const std::string* coding = &lines_.raw;
        if (compression_ == Compression::numpress) {
            std::span<const double> wide;
            if constexpr (std::is_same_v<T, double>) {
                wide = values;
            } else {
                wide_.assign(values.begin(), values.end());
                wide = wide_;
            }
            if (auto packed = numpress_encode(wide, kind, numpress_)) {
                bytes = *packed;
                type = &lines_.f64;  // what a reader decodes numpress to
                coding = kind == Numpress::linear ? &lines_.numpress_linear : &lines_.numpress_slof;
            }
        }
        if (compression_ != Compression::none) {
            try {
                bytes = deflater_.compress(bytes);
            } catch (...) {
                throw CompressionError{std::current_exception()};
            }
            if (coding == &lines_.raw) coding = &lines_.zlib;
        }
        constexpr std::string_view indent = "          ";
        out.put(indent);
        out.put("<binaryDataArray encodedLength=\"");
        put_number(out, base64_length(bytes.size()));
        out.put("\">\n");
        out.put(indent);
        out.put("  ");
        out.put(*type);
        out.put("\n");
        out.put(indent);
        out.put("  ");
        out.put(*coding);
        out.put("\n");
        out.put(indent);
        out.put("  ");
        out.put(array_line);
        out.put(indent);
        out.put("  <binary>");
        put_base64(out, bytes);
        out.put("</binary>\n");
        out.put(indent);
        out.put("</binaryDataArray>\n");
    }

    Compression compression_;
    const Lines& lines_;
    Deflater deflater_;
    std::array<Repeat, 3> repeats_;       // most recently used first
    std::vector<double> wide_;            // float values widened for MS-Numpress
    std::vector<std::uint8_t> numpress_;  // MS-Numpress bytes before zlib
};

// What the writer keeps of every spectrum for the index and the chromatogram, with the
// spectrum's element itself, built on a worker.
struct EncodedSpectrum {
    Chunk element;  // from "<spectrum" to "</spectrum>\n"
    std::string native_id;
    double retention_time = 0.0;
    double total_ion_current = 0.0;
    std::uint64_t points = 0;
    unsigned content = 0;
    std::optional<std::string> error;  // why the record's data could not be read
};


// The element of one spectrum, into out.element, and what the index and the chromatogram
// need of it. Fails for a record whose arrays differ in length; throws what memory
// allocation or compression throws.
Outcome<void> encode_spectrum(const corvane::SpectrumRecord& record, std::uint64_t index, const Lines& lines,
                              Encoder& encoder, EncodedSpectrum& encoded) {
    if (record.mz.size() != record.intensity.size()) {
        return std::unexpected(Failure{"spectrum " + record.native_id + " has arrays of different lengths"});
    }
    const SpectrumSummary summary = summarize(record.mz, record.intensity);
    Chunk& out = encoded.element;
    out.clear();
    encoded.native_id = record.native_id;
    encoded.retention_time = record.retention_time_sec;
    encoded.total_ion_current = summary.total_ion_current;
    encoded.points = record.mz.size();
    encoded.error = record.error;

    out.put("<spectrum index=\"");
    put_number(out, index);
    out.put("\" id=\"");
    out.put(xml_escape(record.native_id));
    out.put("\" defaultArrayLength=\"");
    put_number(out, record.mz.size());
    out.put("\">\n        ");
    out.put(lines.ms_level);
    put_number(out, record.ms_level);
    out.put("\"/>\n        ");
    if (record.ms_level == 1) {
        out.put(lines.ms1);
        encoded.content = content_ms1;
    } else if (record.ms_level >= 2) {
        out.put(lines.msn);
        encoded.content = content_msn;
    } else {
        out.put(lines.mass_spectrum);
        encoded.content = content_mass_spectrum;
    }
    out.put("\n        ");
    out.put(record.is_profile ? lines.profile : lines.centroid);
    encoded.content |= record.is_profile ? content_profile : content_centroid;
    out.put("\n        ");
    out.put(lines.tic);
    put_float(out, summary.total_ion_current);
    out.put("\"/>\n");
    if (summary.base_peak) {
        out.put("        ");
        out.put(lines.base_mz);
        put_float(out, record.mz[*summary.base_peak]);
        out.put(lines.mz_close);
        out.put("        ");
        out.put(lines.base_intensity);
        // As a double: a reader parsing the text gets exactly the array's value, widened.
        put_float(out, static_cast<double>(record.intensity[*summary.base_peak]));
        out.put(lines.counts_close);
    }
    if (summary.lowest_mz) {
        out.put("        ");
        out.put(lines.lowest_mz);
        put_float(out, *summary.lowest_mz);
        out.put(lines.mz_close);
        out.put("        ");
        out.put(lines.highest_mz);
        put_float(out, *summary.highest_mz);
        out.put(lines.mz_close);
    }
    // What the scan index holds about a fragment scan's precursor is handed on as is:
    // nothing says which physical quantity the values are.
    if (record.precursor) {
        const auto& p = *record.precursor;
        const auto double_param = [&](std::string_view name, double value) {
            out.put("        <userParam name=\"");
            out.put(name);
            out.put("\" value=\"");
            put_float(out, value);
            out.put("\" type=\"xsd:double\"/>\n");
        };
        if (p.msn_value_1) double_param("msn_value_1", *p.msn_value_1);
        if (p.msn_value_2) double_param("msn_value_2", *p.msn_value_2);
        if (p.reference) {
            out.put("        <userParam name=\"precursor_reference\" value=\"");
            out.put(xml_escape(*p.reference));
            out.put("\" type=\"xsd:string\"/>\n");
        }
    }
    if (record.error) {
        out.put("        <userParam name=\"");
        out.put(data_error_param);
        out.put("\" value=\"");
        out.put(xml_escape(*record.error));
        out.put("\" type=\"xsd:string\"/>\n");
    }
    out.put("        <scanList count=\"1\">\n          ");
    out.put(lines.no_combination);
    out.put("\n          <scan>\n            ");
    out.put(lines.scan_start);
    put_float(out, record.retention_time_sec);
    out.put(lines.second_close);
    out.put("          </scan>\n"
            "        </scanList>\n"
            "        <binaryDataArrayList count=\"2\">\n");
    encoder.array(out, std::span<const double>(record.mz), Numpress::linear, lines.mz_array);
    encoder.array(out, std::span<const float>(record.intensity), Numpress::slof, lines.intensity_array);
    out.put("        </binaryDataArrayList>\n"
            "      </spectrum>\n");
    return {};
}

// Record k of the run (k taken in order from 0), or nothing when the source ran out.
// Called from several threads at once.
using Fetch = std::function<std::optional<corvane::SpectrumRecord>(std::size_t)>;

// Encodes record k into an EncodedSpectrum: a failure of the source or of the encoding as
// an ordinary Failure, whatever was thrown.
Outcome<bool> produce(const Fetch& fetch, std::size_t k, const Lines& lines, Encoder& encoder,
                      EncodedSpectrum& encoded) {
    try {
        // Taken even when the encoder cannot work: with an iterator, the next position
        // waits for this one to be taken.
        auto record = fetch(k);
        if (!record) return false;
        if (!encoder.ready()) return std::unexpected(Failure{"out of memory for the compressor"});
        if (auto ok = encode_spectrum(*record, k, lines, encoder, encoded); !ok) return std::unexpected(ok.error());
        return true;
    } catch (const CompressionError& e) {
        return std::unexpected(Failure{"compression failed: " + exception_text(e.cause)});
    } catch (...) {
        return std::unexpected(Failure{"encoding failed: " + exception_text(std::current_exception())});
    }
}

class DocumentWriter {
public:
    DocumentWriter(int fd, const RunInfo& run, const WriteOptions& options)
        : fd_(fd),
          threads_(options.threads == 0 ? machine_cores() : options.threads),
          out_(fd, options.index, threads_ > 1),
          run_(run),
          options_(options) {}

    Outcome<WriteStats> write(std::size_t count, const Fetch& fetch, const std::function<bool()>& more,
                              Progress& progress, const std::atomic<bool>& stop);

private:
    void header();
    // Every spectrum, in order: on the calling thread alone, or decoded and encoded by
    // workers while this thread copies each finished element into the file.
    Outcome<void> spectra(std::size_t count, const Fetch& fetch, Progress& progress, const std::atomic<bool>& stop);
    // Counts a spectrum whose record carries an error; with strict, fails instead.
    Outcome<void> damaged(const EncodedSpectrum& encoded);
    void append(const EncodedSpectrum& encoded);
    Outcome<void> chromatogram();
    void footer_and_index();
    Outcome<void> finish();

    Outcome<void> check_sink() const { return out_.status(); }

    int fd_;
    unsigned threads_;
    Sink out_;
    const RunInfo& run_;
    const WriteOptions& options_;
    Lines lines_;

    std::uint64_t content_slot_ = 0;     // where the fileContent terms go once known
    std::size_t content_slot_size_ = 0;
    std::string written_content_;        // what the slot holds
    unsigned content_ = 0;               // what the spectra turned out to be

    // What the index and the chromatogram need of every spectrum.
    std::vector<std::uint64_t> offsets_;
    std::vector<std::string> ids_;
    std::vector<double> times_;
    std::vector<double> totals_;
    std::uint64_t chromatogram_offset_ = 0;
    std::uint64_t points_ = 0;
    std::uint64_t reported_ = 0;         // bytes counted in progress so far
    WriteStats stats_;                   // the damaged records so far
};


void DocumentWriter::header() {
    constexpr std::string_view ns =
        "xmlns=\"http://psi.hupo.org/ms/mzml\" xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\"";
    const std::string run_id = xml_id(run_.source_name);
    out_.put("<?xml version=\"1.0\" encoding=\"utf-8\"?>\n");
    if (options_.index) {
        out_.put("<indexedmzML ");
        out_.put(ns);
        out_.put(" xsi:schemaLocation=\"http://psi.hupo.org/ms/mzml "
                 "http://psidev.info/files/ms/mzML/xsd/mzML1.1.0_idx.xsd\">\n");
    }
    out_.put("<mzML ");
    out_.put(ns);
    out_.put(" xsi:schemaLocation=\"http://psi.hupo.org/ms/mzml "
             "http://psidev.info/files/ms/mzML/xsd/mzML1.1.0.xsd\" id=\"");
    out_.put(run_id);
    out_.put("\" version=\"1.1.0\">\n");

    out_.put("  <cvList count=\"2\">\n"
             "    <cv id=\"MS\" fullName=\"Proteomics Standards Initiative Mass Spectrometry Ontology\" version=\"");
    out_.put(xml_escape(cv::ms_version));
    out_.put("\" URI=\"https://raw.githubusercontent.com/HUPO-PSI/psi-ms-CV/master/psi-ms.obo\"/>\n"
             "    <cv id=\"UO\" fullName=\"Unit Ontology\" version=\"");
    out_.put(xml_escape(cv::uo_version));
    out_.put("\" URI=\"http://ontologies.berkeleybop.org/uo.obo\"/>\n"
             "  </cvList>\n");

    // The spectrum types are certain only once every spectrum is decoded: the expected
    // terms go into a slot of blanks sized for any of them, corrected at the end if need be.
    out_.put("  <fileDescription>\n    <fileContent>\n");
    content_slot_ = out_.offset();
    content_slot_size_ = file_content(lines_, content_ms1 | content_msn | content_mass_spectrum | content_profile).size();
    written_content_ = file_content(lines_, run_.expected_content);
    written_content_.resize(content_slot_size_, ' ');
    out_.put(written_content_);
    out_.put("\n    </fileContent>\n"
             "    <sourceFileList count=\"1\">\n"
             "      <sourceFile id=\"source\" name=\"");
    out_.put(xml_escape(run_.source_file));
    out_.put("\" location=\"");
    out_.put(xml_escape(file_uri(run_.source_directory)));
    out_.put("\">\n        ");
    out_.put(cv_flag("MS:1001509"));
    out_.put("\n        ");
    out_.put(cv_flag("MS:1001508"));
    if (run_.source_sha1) {
        out_.put("\n        ");
        out_.put(cv_open("MS:1000569"));
        out_.put(*run_.source_sha1);
        out_.put("\"/>");
    }
    out_.put("\n      </sourceFile>\n"
             "    </sourceFileList>\n"
             "  </fileDescription>\n");

    out_.put("  <softwareList count=\"1\">\n"
             "    <software id=\"corvane\" version=\"");
    out_.put(corvane::version);
    out_.put("\">\n      ");
    out_.put(cv_open("MS:1000799"));
    out_.put("corvane-convert\"/>\n"
             "    </software>\n"
             "  </softwareList>\n");

    // The model term as the reader resolved it, named as the vocabulary names it. A term
    // this vocabulary lacks (newer than it, or withdrawn from it) cannot be written as a
    // term: the generic "instrument model" stands in and the reader's term follows as a
    // user parameter. A reader's name that differs from the vocabulary's is kept likewise.
    out_.put("  <instrumentConfigurationList count=\"1\">\n"
             "    <instrumentConfiguration id=\"instrument\">\n      ");
    const auto known = cv::find(run_.instrument_accession);
    const bool is_model = known && cv::is_instrument_model(run_.instrument_accession);
    out_.put(cv_flag(is_model ? std::string_view(run_.instrument_accession) : cv::instrument_model));
    out_.put("\n");
    if (!is_model) {
        out_.put("      <userParam name=\"instrument model accession\" value=\"");
        out_.put(xml_escape(run_.instrument_accession));
        out_.put("\" type=\"xsd:string\"/>\n");
    }
    if (!is_model || run_.instrument_name != *known) {
        out_.put("      <userParam name=\"instrument model name\" value=\"");
        out_.put(xml_escape(run_.instrument_name));
        out_.put("\" type=\"xsd:string\"/>\n");
    }
    out_.put("    </instrumentConfiguration>\n"
             "  </instrumentConfigurationList>\n");

    out_.put("  <dataProcessingList count=\"1\">\n"
             "    <dataProcessing id=\"conversion\">\n"
             "      <processingMethod order=\"0\" softwareRef=\"corvane\">\n        ");
    out_.put(cv_flag("MS:1000544"));
    out_.put("\n      </processingMethod>\n"
             "    </dataProcessing>\n"
             "  </dataProcessingList>\n");

    out_.put("  <run id=\"");
    out_.put(run_id);
    out_.put("\" defaultInstrumentConfigurationRef=\"instrument\" defaultSourceFileRef=\"source\"");
    if (run_.acquired_time && is_xs_datetime(*run_.acquired_time)) {
        out_.put(" startTimeStamp=\"");
        out_.put(xml_escape(*run_.acquired_time));
        out_.put("\"");
    }
    out_.put(">\n    <spectrumList count=\"");
    put_number(out_, run_.spectrum_count);
    out_.put("\" defaultDataProcessingRef=\"conversion\">\n");
}


Outcome<void> DocumentWriter::damaged(const EncodedSpectrum& encoded) {
    if (!encoded.error) return {};
    if (options_.strict) {
        return std::unexpected(
            Failure{"scan " + encoded.native_id + " is damaged: " + *encoded.error + "; nothing written"});
    }
    if (stats_.damaged++ == 0) stats_.first_error = *encoded.error;
    if (stats_.first_damaged.size() < damaged_ids_kept) stats_.first_damaged.push_back(encoded.native_id);
    return {};
}

void DocumentWriter::append(const EncodedSpectrum& encoded) {
    out_.put("      ");
    offsets_.push_back(out_.offset());  // the index points at the '<' of the element
    ids_.push_back(encoded.native_id);
    times_.push_back(encoded.retention_time);
    totals_.push_back(encoded.total_ion_current);
    points_ += encoded.points;
    content_ |= encoded.content;
    out_.put(encoded.element.view());
}

Outcome<void> DocumentWriter::spectra(std::size_t count, const Fetch& fetch, Progress& progress,
                                      const std::atomic<bool>& stop) {
    const auto miscounted = [&] {
        return std::unexpected(Failure{"the reader gave a number of spectra other than the " +
                                       std::to_string(run_.spectrum_count) + " announced"});
    };
    const auto delivered = [&] {
        progress.scans_done.fetch_add(1, std::memory_order_relaxed);
        progress.bytes_written.fetch_add(out_.offset() - reported_, std::memory_order_relaxed);
        reported_ = out_.offset();
    };
    const std::size_t workers = std::min<std::size_t>(threads_, count);
    if (workers <= 1) {
        Encoder encoder(options_, lines_);
        EncodedSpectrum encoded;
        for (std::size_t k = 0; k < count; ++k) {
            if (stop.load(std::memory_order_relaxed)) return std::unexpected(Failure{"interrupted"});
            auto made = produce(fetch, k, lines_, encoder, encoded);
            if (!made) return std::unexpected(made.error());
            if (!*made) return miscounted();
            if (auto ok = damaged(encoded); !ok) return ok;
            append(encoded);
            if (auto ok = check_sink(); !ok) return ok;
            delivered();
        }
        return {};
    }

    // The ordered pool: a worker takes the next position k only while k lies within the
    // window of elements this thread has not copied yet, and builds it in the window's
    // slot k % window, which no one else touches until this thread has copied it. So at
    // most `window` elements wait, whatever the run's size, and the file is the same for
    // every thread count.
    struct Slot {
        EncodedSpectrum encoded;
        std::optional<Failure> failure;
        bool ready = false;
        bool ended = false;  // the source ran out before this position
    };
    struct Shared {
        std::mutex mutex;
        std::condition_variable ready;  // this thread waits for its next slot
        std::condition_variable space;  // workers wait for the window to move on
        std::vector<Slot> slots;
        std::size_t next = 0;
        std::size_t copied = 0;
        bool stop = false;
    };
    Shared shared;
    shared.slots.resize(workers * 4);
    const std::size_t window = shared.slots.size();
    const Lines& lines = lines_;
    const WriteOptions& options = options_;

    const auto work = [&shared, &fetch, &lines, &options, count, window] {
        Encoder encoder(options, lines);
        std::unique_lock lock(shared.mutex);
        for (;;) {
            shared.space.wait(lock, [&] {
                return shared.stop || shared.next >= count || shared.next < shared.copied + window;
            });
            if (shared.stop || shared.next >= count) return;
            const std::size_t k = shared.next++;
            Slot& slot = shared.slots[k % window];
            lock.unlock();
            Outcome<bool> made = produce(fetch, k, lines, encoder, slot.encoded);
            lock.lock();
            if (!made) slot.failure = std::move(made.error());
            slot.ended = made && !*made;
            slot.ready = true;
            shared.ready.notify_one();
            if (!made || slot.ended) return;  // nothing after it will be copied
        }
    };

    Workers pool;
    // Stops and joins the workers on every way out of here.
    struct Stopper {
        Shared& shared;
        Workers& pool;
        ~Stopper() {
            {
                const std::lock_guard lock(shared.mutex);
                shared.stop = true;
            }
            shared.space.notify_all();
            pool.join();
        }
    } stopper{shared, pool};
    for (std::size_t w = 0; w < workers; ++w) {
        if (auto started = pool.start(work); !started) return started;
    }

    for (std::size_t k = 0; k < count; ++k) {
        Slot& slot = shared.slots[k % window];
        {
            std::unique_lock lock(shared.mutex);
            shared.ready.wait(lock, [&] { return slot.ready; });
        }
        if (stop.load(std::memory_order_relaxed)) return std::unexpected(Failure{"interrupted"});
        if (slot.failure) return std::unexpected(std::move(*slot.failure));
        if (slot.ended) return miscounted();
        if (auto ok = damaged(slot.encoded); !ok) return ok;
        append(slot.encoded);
        if (auto ok = check_sink(); !ok) return ok;
        delivered();
        {
            const std::lock_guard lock(shared.mutex);
            slot.ready = false;
            ++shared.copied;
        }
        shared.space.notify_all();
    }
    return {};
}

Outcome<void> DocumentWriter::chromatogram() {
    out_.put("    </spectrumList>\n"
             "    <chromatogramList count=\"1\" defaultDataProcessingRef=\"conversion\">\n");
    out_.put("      ");
    chromatogram_offset_ = out_.offset();
    out_.put("<chromatogram index=\"0\" id=\"TIC\" defaultArrayLength=\"");
    put_number(out_, times_.size());
    out_.put("\">\n        ");
    out_.put(lines_.tic_chromatogram);
    out_.put("\n        <binaryDataArrayList count=\"2\">\n");
    Encoder encoder(options_, lines_);
    if (!encoder.ready()) return std::unexpected(Failure{"out of memory for the compressor"});
    try {
        encoder.array(out_, std::span<const double>(times_), Numpress::linear, lines_.time_array);
        encoder.array(out_, std::span<const double>(totals_), Numpress::slof, lines_.intensity_array);
    } catch (const CompressionError& e) {
        return std::unexpected(Failure{"compression failed: " + exception_text(e.cause)});
    }
    out_.put("        </binaryDataArrayList>\n"
             "      </chromatogram>\n"
             "    </chromatogramList>\n"
             "  </run>\n"
             "</mzML>\n");
    return {};
}

void DocumentWriter::footer_and_index() {
    const std::uint64_t index_offset = out_.offset();
    out_.put("<indexList count=\"2\">\n  <index name=\"spectrum\">\n");
    for (std::size_t i = 0; i < offsets_.size(); ++i) {
        out_.put("    <offset idRef=\"");
        out_.put(xml_escape(ids_[i]));
        out_.put("\">");
        put_number(out_, offsets_[i]);
        out_.put("</offset>\n");
    }
    out_.put("  </index>\n  <index name=\"chromatogram\">\n    <offset idRef=\"TIC\">");
    put_number(out_, chromatogram_offset_);
    out_.put("</offset>\n  </index>\n</indexList>\n<indexListOffset>");
    put_number(out_, index_offset);
    out_.put("</indexListOffset>\n<fileChecksum>");
}

// Corrects the fileContent slot if the spectra proved the index wrong and, for an
// indexed document, appends the checksum of everything up to and including the
// <fileChecksum> tag: hashed while written, or read back when the slot changed.
Outcome<void> DocumentWriter::finish() {
    out_.flush();
    if (auto ok = check_sink(); !ok) return ok;
    std::string content = file_content(lines_, content_);
    content.resize(content_slot_size_, ' ');
    const bool corrected = content != written_content_;
    if (corrected) {
        const int code = write_all(fd_, content.data(), content.size(), static_cast<long long>(content_slot_));
        if (code != 0) return std::unexpected(write_failure_of(code));
    }
    if (!options_.index) return {};

    auto digest = out_.digest();
    if (corrected && digest) digest = sha1_of_fd(fd_, out_.offset());
    if (!digest) return std::unexpected(digest.error());
    out_.put(*digest);
    out_.put("</fileChecksum>\n</indexedmzML>\n");
    out_.flush();
    return check_sink();
}

// `more` tells, after the last announced spectrum, whether the source has one more.
Outcome<WriteStats> DocumentWriter::write(std::size_t count, const Fetch& fetch, const std::function<bool()>& more,
                                          Progress& progress, const std::atomic<bool>& stop) {
    // A thread that could not start fails the document before anything is written.
    if (auto ok = check_sink(); !ok) return std::unexpected(ok.error());
    header();
    if (auto ok = spectra(count, fetch, progress, stop); !ok) return std::unexpected(ok.error());
    // The list's count is written already; one spectrum more would contradict it.
    if (more()) {
        return std::unexpected(Failure{"the reader gave a number of spectra other than the " +
                                       std::to_string(run_.spectrum_count) + " announced"});
    }
    if (auto ok = chromatogram(); !ok) return std::unexpected(ok.error());
    if (options_.index) footer_and_index();
    if (auto ok = finish(); !ok) return std::unexpected(ok.error());
    progress.bytes_written.fetch_add(out_.offset() - reported_, std::memory_order_relaxed);
    stats_.spectra = count;
    stats_.points = points_;
    stats_.bytes = out_.offset();
    return stats_;
}

}  // namespace


SpectrumSummary summarize(std::span<const double> mz, std::span<const float> intensity) {
    // These loops run over every point of the run, so they keep four independent lanes
    // (one chain of dependent steps would be their slowest part) and no tests beyond the
    // comparisons. Comparisons with NaN are false: NaN never becomes the highest, lowest
    // or largest value. The sum is as good as a sequential one, in another order.
    SpectrumSummary s;
    constexpr float finf = std::numeric_limits<float>::infinity();
    std::array<double, 4> total{};
    std::array<float, 4> top{-finf, -finf, -finf, -finf};
    std::size_t i = 0;
    for (; intensity.size() - i >= 4; i += 4) {
        for (std::size_t lane = 0; lane < 4; ++lane) {
            const float v = intensity[i + lane];
            total[lane] += static_cast<double>(v);
            top[lane] = v > top[lane] ? v : top[lane];
        }
    }
    for (; i < intensity.size(); ++i) {
        total[0] += static_cast<double>(intensity[i]);
        top[0] = intensity[i] > top[0] ? intensity[i] : top[0];
    }
    s.total_ion_current = (total[0] + total[1]) + (total[2] + total[3]);
    // The base peak is the first point with the highest intensity; none if all are NaN.
    const float best = std::max(std::max(top[0], top[1]), std::max(top[2], top[3]));
    const auto at = std::find(intensity.begin(), intensity.end(), best);
    if (at != intensity.end()) s.base_peak = static_cast<std::size_t>(at - intensity.begin());

    constexpr double inf = std::numeric_limits<double>::infinity();
    std::array<double, 4> low{inf, inf, inf, inf};
    std::array<double, 4> high{-inf, -inf, -inf, -inf};
    std::size_t j = 0;
    for (; mz.size() - j >= 4; j += 4) {
        for (std::size_t lane = 0; lane < 4; ++lane) {
            const double m = mz[j + lane];
            low[lane] = m < low[lane] ? m : low[lane];
            high[lane] = m > high[lane] ? m : high[lane];
        }
    }
    for (; j < mz.size(); ++j) {
        low[0] = mz[j] < low[0] ? mz[j] : low[0];
        high[0] = mz[j] > high[0] ? mz[j] : high[0];
    }
    const double lowest = std::min(std::min(low[0], low[1]), std::min(low[2], low[3]));
    const double highest = std::max(std::max(high[0], high[1]), std::max(high[2], high[3]));
    if (lowest <= highest) {
        s.lowest_mz = lowest;
        s.highest_mz = highest;
    }
    return s;
}

namespace detail {

std::optional<std::vector<std::uint8_t>> numpress_bytes(std::span<const double> values, bool linear) {
    std::vector<std::uint8_t> out;
    if (!numpress_encode(values, linear ? Numpress::linear : Numpress::slof, out)) return std::nullopt;
    return out;
}

}  // namespace detail

Outcome<WriteStats> write_mzml(int fd, corvane::SpectrumIterator& spectra, const RunInfo& run,
                               const WriteOptions& options, Progress& progress,
                               const std::atomic<bool>& stop) {
    // The iterator gives its records in order, one caller at a time: a worker that took
    // position k waits for its turn, so decoding is serial and the rest is spread out.
    std::mutex mutex;
    std::condition_variable turn;
    std::size_t taken = 0;
    const Fetch fetch = [&](std::size_t k) {
        std::unique_lock lock(mutex);
        turn.wait(lock, [&] { return taken == k; });
        // Counted even when next() throws, so that the worker after this one never waits forever.
        struct Next {
            std::size_t& taken;
            std::condition_variable& turn;
            ~Next() {
                ++taken;
                turn.notify_all();
            }
        } next{taken, turn};
        return spectra.next();
    };
    DocumentWriter writer(fd, run, options);
    return writer.write(static_cast<std::size_t>(run.spectrum_count), fetch,
                        [&] { return spectra.next().has_value(); }, progress, stop);
}

Outcome<WriteStats> write_mzml(int fd, const IndexedSource& source, const RunInfo& run,
                               const WriteOptions& options, Progress& progress,
                               const std::atomic<bool>& stop) {
    const std::size_t count = std::min<std::size_t>(source.count, static_cast<std::size_t>(run.spectrum_count));
    const Fetch fetch = [&](std::size_t k) -> std::optional<corvane::SpectrumRecord> {
        if (k >= source.count) return std::nullopt;
        return source.record_at(k);
    };
    DocumentWriter writer(fd, run, options);
    return writer.write(count, fetch, [&] { return source.count > count; }, progress, stop);
}

RunInfo run_info(const Reader& reader) {
    namespace fs = std::filesystem;
    std::string root = reader.root();
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    std::error_code ec;
    fs::path acquisition = fs::weakly_canonical(root, ec);
    if (ec) acquisition = fs::absolute(root, ec).lexically_normal();

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
    return run;
}

namespace {

class MzmlWriter final : public output::FormatWriter {
public:
    explicit MzmlWriter(const WriteOptions& options) : options_(options) {}

    [[nodiscard]] output::Format format() const override { return output::Format::mzml; }

    [[nodiscard]] Outcome<WriteStats> write(int fd, const Reader& reader, Progress& progress,
                                            const std::atomic<bool>& stop) override {
        const RunInfo run = run_info(reader);
        progress.scans_total.fetch_add(run.spectrum_count, std::memory_order_relaxed);
        const IndexedSource source{reader.scans().records.size(),
                                   [&reader](std::size_t i) { return reader.record_at(i); }};
        return write_mzml(fd, source, run, options_, progress, stop);
    }

private:
    WriteOptions options_;
};

}  // namespace

std::unique_ptr<output::FormatWriter> make_writer(const WriteOptions& options) {
    return std::make_unique<MzmlWriter>(options);
}

}  // namespace corvane::mzml
