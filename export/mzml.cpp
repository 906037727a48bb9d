#include "mzml.hpp"

#include <fcntl.h>
#include <libdeflate.h>
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
#include <expected>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <thread>
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

// libdeflate at level 2 writes zlib streams as small as zlib's own level 1 to 6 on these
// arrays (m/z and intensities barely compress harder) in half the time of zlib's
// fastest; compression is most of a default conversion's time.
constexpr int deflate_level = 2;

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
// known as they are written. Full buffers go to two threads of their own, one hashing
// them (while hashing is on), one writing them, so that encoding, hashing and the write
// calls overlap; the caller fills the next buffer meanwhile. The first failure sticks (a
// write error, a thread that could not start, a step that threw on its thread) and
// status() reports it; later output is dropped.
class Sink {
public:
    Sink(int fd, bool hash) : fd_(fd) {
        for (auto& b : buffers_) b.reset(new char[sink_capacity]);
        auto writer = start_thread([this] {
            work(written_, "write failed: ", [this](const char* data, std::size_t size) {
                detail::fault_point(detail::FaultSite::write_step);
                return write_out(data, size);
            });
        });
        if (!writer) {
            fail_to_start(std::move(writer.error()));
            return;
        }
        writer_ = std::move(*writer);
        if (hash) {
            hasher_.emplace();
            auto hasher = start_thread([this] {
                work(hashed_, "checksum failed: ", [this](const char* data, std::size_t size) {
                    detail::fault_point(detail::FaultSite::hash_step);
                    if (hasher_) hasher_->update(data, size);
                    return 0;
                });
            });
            if (!hasher) {
                hasher_.reset();
                fail_to_start(std::move(hasher.error()));
                return;
            }
            hash_thread_ = std::move(*hasher);
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
        if (writer_.joinable()) writer_.join();
        if (hash_thread_.joinable()) hash_thread_.join();
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

    // Everything put so far is hashed and written (or dropped after a failure) when this
    // returns.
    void flush() {
        hand_over();
        if (!writer_.joinable()) return;
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return written_ == handed_ && (!hash_thread_.joinable() || hashed_ == handed_); });
    }

    // The SHA-1 of everything put so far; hashing stops here.
    Outcome<std::string> digest() {
        flush();
        if (auto ok = status(); !ok) return std::unexpected(ok.error());
        assert(hasher_);  // hashing was asked for, and its thread runs: no failure
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

    // Passes the current buffer on and waits until the next one in rotation is free.
    // Without a writing thread the buffer is dropped: the failure is recorded already.
    void hand_over() {
        if (used_ == 0) return;
        flushed_ += used_;
        if (!writer_.joinable()) {
            used_ = 0;
            return;
        }
        std::unique_lock lock(mutex_);
        sizes_[handed_ % buffer_count] = used_;
        ++handed_;
        used_ = 0;
        changed_.notify_all();
        changed_.wait(lock, [&] {
            const std::uint64_t done = hash_thread_.joinable() ? std::min(written_, hashed_) : written_;
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
            if ((code != 0 || thrown) && !failed_.load(std::memory_order_relaxed)) {
                write_error_ = code;
                thrown_ = std::move(thrown);
                failed_step_ = name;
                failed_.store(true, std::memory_order_release);
            }
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
    std::optional<Sha1> hasher_;       // used by the hashing thread only while it holds a buffer
    std::uint64_t written_bytes_ = 0;  // the writer's own counts
    std::uint64_t synced_ = 0;

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
    std::thread writer_;
    std::thread hash_thread_;
};

void put_number(Sink& out, std::uint64_t value) {
    char* p = out.reserve(24);
    const auto r = std::to_chars(p, p + 24, value);
    out.commit(static_cast<std::size_t>(r.ptr - p));
}

// Shortest text that reads back as the same value; xs:double spellings for the
// non-finite ones.
template <class Float>
void put_float(Sink& out, Float value) {
    if (std::isnan(value)) return out.put("NaN");
    if (std::isinf(value)) return out.put(value > 0 ? "INF" : "-INF");
    char* p = out.reserve(32);
    const auto r = std::to_chars(p, p + 32, value);
    out.commit(static_cast<std::size_t>(r.ptr - p));
}

void put_base64(Sink& out, std::span<const std::uint8_t> bytes) {
    // Whole 3-byte groups per step, so padding can only appear at the very end.
    constexpr std::size_t step = sink_capacity / 4 * 3 / 2;
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
    Deflater() : compressor_(libdeflate_alloc_compressor(deflate_level)) {}

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

// A Deflater on a thread of its own: compresses one array while the caller compresses
// the other, since deflate is most of a compressed conversion's time. What the
// compression throws on that thread is handed back by result().
class BackgroundDeflater {
public:
    BackgroundDeflater() {
        // Started last, once everything the thread uses exists.
        auto thread = start_thread([this] { loop(); });
        if (thread) {
            thread_ = std::move(*thread);
        } else {
            start_failure_ = std::move(thread.error());
        }
    }
    BackgroundDeflater(const BackgroundDeflater&) = delete;
    BackgroundDeflater& operator=(const BackgroundDeflater&) = delete;
    ~BackgroundDeflater() {
        if (!thread_.joinable()) return;
        {
            const std::lock_guard lock(mutex_);
            closing_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }

    [[nodiscard]] bool ready() const { return deflater_.ready(); }
    // Why the thread could not start; start() must not be called then.
    [[nodiscard]] const std::optional<Failure>& start_failure() const { return start_failure_; }

    // bytes must stay valid until result() returns.
    void start(std::span<const std::uint8_t> bytes) {
        {
            const std::lock_guard lock(mutex_);
            input_ = bytes;
            busy_ = true;
        }
        changed_.notify_all();
    }

    // The compressed bytes of the array last started, valid until the next start, or
    // what compressing it threw.
    std::expected<std::span<const std::uint8_t>, std::exception_ptr> result() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return !busy_; });
        if (thrown_) return std::unexpected(std::exchange(thrown_, nullptr));
        return output_;
    }

private:
    void loop() {
        std::unique_lock lock(mutex_);
        for (;;) {
            changed_.wait(lock, [&] { return busy_ || closing_; });
            if (!busy_) return;
            const auto input = input_;
            lock.unlock();
            std::span<const std::uint8_t> output;
            std::exception_ptr thrown;
            try {
                output = deflater_.compress(input);
            } catch (...) {
                thrown = std::current_exception();
            }
            lock.lock();
            output_ = output;
            thrown_ = std::move(thrown);
            busy_ = false;
            changed_.notify_all();
        }
    }

    Deflater deflater_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::span<const std::uint8_t> input_;
    std::span<const std::uint8_t> output_;
    std::exception_ptr thrown_;
    bool busy_ = false;
    bool closing_ = false;
    std::optional<Failure> start_failure_;
    std::thread thread_;
};

class DocumentWriter {
public:
    DocumentWriter(int fd, const RunInfo& run, const WriteOptions& options)
        : fd_(fd),
          out_(fd, options.index),
          run_(run),
          options_(options) {
        if (options.compression != Compression::none) {
            deflater_.emplace();
            background_.emplace();
        }
    }

    Outcome<WriteStats> write(meridel::SpectrumIterator& spectra, Progress& progress,
                              const std::atomic<bool>& stop);

private:
    void header();
    Outcome<void> spectrum(const meridel::SpectrumRecord& record, std::uint64_t index);
    // Compressed or not as asked: the first array on the background thread, the second
    // here, at once. Fails with "compression failed: <reason>".
    Outcome<std::pair<std::span<const std::uint8_t>, std::span<const std::uint8_t>>> encode_pair(
        std::span<const std::uint8_t> first, std::span<const std::uint8_t> second);
    void binary_array(std::span<const std::uint8_t> encoded, const std::string& type_line,
                      const std::string& array_line, std::string_view indent);
    Outcome<void> chromatogram();
    void footer_and_index();
    Outcome<void> finish();

    Outcome<void> check_sink() const { return out_.status(); }

    int fd_;
    Sink out_;
    const RunInfo& run_;
    const WriteOptions& options_;
    Lines lines_;
    std::optional<Deflater> deflater_;              // with compression only
    std::optional<BackgroundDeflater> background_;  // likewise

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

Outcome<std::pair<std::span<const std::uint8_t>, std::span<const std::uint8_t>>> DocumentWriter::encode_pair(
    std::span<const std::uint8_t> first, std::span<const std::uint8_t> second) {
    if (options_.compression == Compression::none) return std::pair{first, second};
    background_->start(first);
    std::span<const std::uint8_t> packed_second;
    std::exception_ptr thrown;
    try {
        packed_second = deflater_->compress(second);
    } catch (...) {
        thrown = std::current_exception();
    }
    // Waited for even after a failure here: the other thread reads first until then.
    auto packed_first = background_->result();
    if (!thrown && !packed_first) thrown = packed_first.error();
    if (thrown) return std::unexpected(Failure{"compression failed: " + exception_text(thrown)});
    return std::pair{*packed_first, packed_second};
}

void DocumentWriter::binary_array(std::span<const std::uint8_t> encoded, const std::string& type_line,
                                  const std::string& array_line, std::string_view indent) {
    out_.put(indent);
    out_.put("<binaryDataArray encodedLength=\"");
    put_number(out_, base64_length(encoded.size()));
    out_.put("\">\n");
    out_.put(indent);
    out_.put("  ");
    out_.put(type_line);
    out_.put("\n");
    out_.put(indent);
    out_.put("  ");
    out_.put(options_.compression != Compression::none ? lines_.zlib : lines_.raw);
    out_.put("\n");
    out_.put(indent);
    out_.put("  ");
    out_.put(array_line);
    out_.put(indent);
    out_.put("  <binary>");
    put_base64(out_, encoded);
    out_.put("</binary>\n");
    out_.put(indent);
    out_.put("</binaryDataArray>\n");
}

Outcome<void> DocumentWriter::spectrum(const meridel::SpectrumRecord& record, std::uint64_t index) {
    const SpectrumSummary summary = summarize(record.mz, record.intensity);
    out_.put("      ");
    offsets_.push_back(out_.offset());  // the index points at the '<' of the element
    ids_.push_back(record.native_id);
    times_.push_back(record.retention_time_sec);
    totals_.push_back(summary.total_ion_current);
    points_ += record.mz.size();

    out_.put("<spectrum index=\"");
    put_number(out_, index);
    out_.put("\" id=\"");
    out_.put(xml_escape(record.native_id));
    out_.put("\" defaultArrayLength=\"");
    put_number(out_, record.mz.size());
    out_.put("\">\n        ");
    out_.put(lines_.ms_level);
    put_number(out_, record.ms_level);
    out_.put("\"/>\n        ");
    if (record.ms_level == 1) {
        out_.put(lines_.ms1);
        content_ |= content_ms1;
    } else if (record.ms_level >= 2) {
        out_.put(lines_.msn);
        content_ |= content_msn;
    } else {
        out_.put(lines_.mass_spectrum);
        content_ |= content_mass_spectrum;
    }
    out_.put("\n        ");
    out_.put(record.is_profile ? lines_.profile : lines_.centroid);
    content_ |= record.is_profile ? content_profile : content_centroid;
    out_.put("\n        ");
    out_.put(lines_.tic);
    put_float(out_, summary.total_ion_current);
    out_.put("\"/>\n");
    if (summary.base_peak) {
        out_.put("        ");
        out_.put(lines_.base_mz);
        put_float(out_, record.mz[*summary.base_peak]);
        out_.put(lines_.mz_close);
        out_.put("        ");
        out_.put(lines_.base_intensity);
        // As a double: a reader parsing the text gets exactly the array's value, widened.
        put_float(out_, static_cast<double>(record.intensity[*summary.base_peak]));
        out_.put(lines_.counts_close);
    }
    if (summary.lowest_mz) {
        out_.put("        ");
        out_.put(lines_.lowest_mz);
        put_float(out_, *summary.lowest_mz);
        out_.put(lines_.mz_close);
        out_.put("        ");
        out_.put(lines_.highest_mz);
        put_float(out_, *summary.highest_mz);
        out_.put(lines_.mz_close);
    }
    // What the scan index holds about a fragment scan's precursor is handed on as is:
    // nothing says which physical quantity the values are.
    if (record.precursor) {
        const auto& p = *record.precursor;
        const auto double_param = [&](std::string_view name, double value) {
            out_.put("        <userParam name=\"");
            out_.put(name);
            out_.put("\" value=\"");
            put_float(out_, value);
            out_.put("\" type=\"xsd:double\"/>\n");
        };
        if (p.msn_value_1) double_param("msn_value_1", *p.msn_value_1);
        if (p.msn_value_2) double_param("msn_value_2", *p.msn_value_2);
        if (p.reference) {
            out_.put("        <userParam name=\"precursor_reference\" value=\"");
            out_.put(xml_escape(*p.reference));
            out_.put("\" type=\"xsd:string\"/>\n");
        }
    }
    if (record.error) {
        out_.put("        <userParam name=\"");
        out_.put(data_error_param);
        out_.put("\" value=\"");
        out_.put(xml_escape(*record.error));
        out_.put("\" type=\"xsd:string\"/>\n");
    }
    out_.put("        <scanList count=\"1\">\n          ");
    out_.put(lines_.no_combination);
    out_.put("\n          <scan>\n            ");
    out_.put(lines_.scan_start);
    put_float(out_, record.retention_time_sec);
    out_.put(lines_.second_close);
    out_.put("          </scan>\n"
             "        </scanList>\n"
             "        <binaryDataArrayList count=\"2\">\n");
    const auto encoded = encode_pair(bytes_of(std::span<const double>(record.mz)),
                                     bytes_of(std::span<const float>(record.intensity)));
    if (!encoded) return std::unexpected(encoded.error());
    binary_array(encoded->first, lines_.f64, lines_.mz_array, "          ");
    binary_array(encoded->second, lines_.f32, lines_.intensity_array, "          ");
    out_.put("        </binaryDataArrayList>\n"
             "      </spectrum>\n");
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
    const auto encoded = encode_pair(bytes_of(std::span<const double>(times_)),
                                     bytes_of(std::span<const double>(totals_)));
    if (!encoded) return std::unexpected(encoded.error());
    binary_array(encoded->first, lines_.f64, lines_.time_array, "          ");
    binary_array(encoded->second, lines_.f64, lines_.intensity_array, "          ");
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

Outcome<WriteStats> DocumentWriter::write(meridel::SpectrumIterator& spectra, Progress& progress,
                                          const std::atomic<bool>& stop) {
    // A thread that could not start fails the document before anything is written.
    if (auto ok = check_sink(); !ok) return std::unexpected(ok.error());
    if (options_.compression != Compression::none && background_->start_failure()) return std::unexpected(*background_->start_failure());
    if (options_.compression != Compression::none && (!deflater_->ready() || !background_->ready())) {
        return std::unexpected(Failure{"out of memory for the compressor"});
    }
    const auto miscounted = [&] {
        return std::unexpected(Failure{"the reader gave a number of spectra other than the " +
                                       std::to_string(run_.spectrum_count) + " announced"});
    };
    header();
    std::uint64_t count = 0;
    std::uint64_t reported = 0;
    WriteStats stats;
    while (auto record = spectra.next()) {
        if (stop.load(std::memory_order_relaxed)) return std::unexpected(Failure{"interrupted"});
        if (record->mz.size() != record->intensity.size()) {
            return std::unexpected(Failure{"spectrum " + record->native_id +
                                           " has arrays of different lengths"});
        }
        // The list's count is written already; one spectrum more would contradict it.
        if (count == run_.spectrum_count) return miscounted();
        if (record->error) {
            if (options_.strict) {
                return std::unexpected(Failure{"scan " + record->native_id + " is damaged: " + *record->error +
                                               "; nothing written"});
            }
            if (stats.damaged++ == 0) stats.first_error = *record->error;
            if (stats.first_damaged.size() < damaged_ids_kept) stats.first_damaged.push_back(record->native_id);
        }
        if (auto ok = spectrum(*record, count); !ok) return std::unexpected(ok.error());
        ++count;
        if (auto ok = check_sink(); !ok) return std::unexpected(ok.error());
        progress.scans_done.fetch_add(1, std::memory_order_relaxed);
        progress.bytes_written.fetch_add(out_.offset() - reported, std::memory_order_relaxed);
        reported = out_.offset();
    }
    if (count != run_.spectrum_count) return miscounted();
    if (auto ok = chromatogram(); !ok) return std::unexpected(ok.error());
    if (options_.index) footer_and_index();
    if (auto ok = finish(); !ok) return std::unexpected(ok.error());
    progress.bytes_written.fetch_add(out_.offset() - reported, std::memory_order_relaxed);
    stats.spectra = count;
    stats.points = points_;
    stats.bytes = out_.offset();
    return stats;
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

Outcome<WriteStats> write_mzml(int fd, meridel::SpectrumIterator& spectra, const RunInfo& run,
                               const WriteOptions& options, Progress& progress,
                               const std::atomic<bool>& stop) {
    DocumentWriter writer(fd, run, options);
    return writer.write(spectra, progress, stop);
}

}  // namespace corvane::mzml
