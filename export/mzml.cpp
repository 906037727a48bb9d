#include "mzml.hpp"

#include <libdeflate.h>
#include <libmsnumpress/MSNumpress.hpp>

#include <algorithm>
#include <array>
#include <bit>
#include <cassert>
#include <cmath>
#include <cstring>
#include <exception>
#include <expected>
#include <filesystem>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string_view>
#include <type_traits>
#include <unordered_set>
#include <utility>
#include <vector>

#include "cv.hpp"
#include "error.hpp"
#include "export/sink.hpp"
#include "ion_totals.hpp"
#include "ordered.hpp"
#include "sha1.hpp"
#include "text.hpp"
#include "thread.hpp"
#include "version.hpp"

namespace corvane::mzml {

using output::bytes_of;
using output::Chunk;
using output::put_base64;
using output::put_float;
using output::put_number;
using output::Sink;
using output::write_all;
using output::write_failure_of;

static_assert(std::endian::native == std::endian::little,
              "mzML binary arrays are little-endian; this writer copies memory as is");

namespace {


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
    std::string selected_ion_mz = cv_open("MS:1000744");
    std::string charge_state = cv_open("MS:1000041");
    std::string dissociation = cv_flag("MS:1000133");  // the schema asks for a method; nothing tells the real one
    std::string tic_chromatogram = cv_flag("MS:1000235");
    std::string bpc_chromatogram = cv_flag("MS:1000628");
    std::string mz_close = unit_close(mz_unit);
    std::string counts_close = unit_close(counts_unit);
    std::string second_close = unit_close(second_unit);

    [[nodiscard]] const std::string& chromatogram_term(Trace trace) const {
        switch (trace) {
            case Trace::tic: return tic_chromatogram;
            case Trace::bpc: return bpc_chromatogram;
        }
        return tic_chromatogram;
    }
};

// The chromatograms the document carries, in this order, each with every spectrum's value
// (ion_totals.hpp makes them).
constexpr std::array written_traces{Trace::tic};

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
        // An empty array is written empty (encodedLength 0, <binary/>) under its coding's
        // terms, as readers expect: a zlib stream of nothing is eight bytes that some of
        // them refuse to inflate.
        if (compression_ != Compression::none) {
            if (!bytes.empty()) {
                try {
                    bytes = deflater_.compress(bytes);
                } catch (...) {
                    throw CompressionError{std::current_exception()};
                }
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
        if (bytes.empty()) {
            out.put("  <binary/>\n");
        } else {
            out.put("  <binary>");
            put_base64(out, bytes);
            out.put("</binary>\n");
        }
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
    std::array<double, all_traces.size()> traces{};  // the spectrum's value of each trace
    std::uint64_t points = 0;
    unsigned content = 0;
    std::optional<std::string> error;  // why the record's data could not be read
};


// A fragment scan's precursor as corvane determined it (a selected ion, processing.hpp):
// its selected ion m/z (output::precursor_mz: the monoisotopic m/z when the envelope
// decided one, else the declared value, which also stays in its msn_value user
// parameter), its charge when known, and the MS1 scan the envelope was read from. Nothing
// for a record without a usable selected ion. There is no isolation window: the index
// holds none. The activation element is the schema's requirement; the index does not say
// how the ions were fragmented, and collision-induced dissociation is what these
// instruments do.
void precursor_list(Chunk& out, const corvane::SpectrumRecord& record, const RunInfo& run, const Lines& lines) {
    const auto mz = output::precursor_mz(record);
    if (!mz) return;
    const SelectedIon& ion = *record.precursor->selected_ion;
    out.put("        <precursorList count=\"1\">\n"
            "          <precursor");
    if (ion.envelope_scan) {
        // A scan left out of this document is named in the source file instead.
        const bool local = !run.in_document || run.in_document(*ion.envelope_scan);
        out.put(local ? " spectrumRef=\"" : " sourceFileRef=\"source\" externalSpectrumID=\"");
        out.put(xml_escape(*ion.envelope_scan));
        out.put("\"");
    }
    out.put(">\n"
            "            <selectedIonList count=\"1\">\n"
            "              <selectedIon>\n"
            "                ");
    out.put(lines.selected_ion_mz);
    put_float(out, *mz);
    out.put(lines.mz_close);
    if (const auto charge = output::precursor_charge(record)) {
        out.put("                ");
        out.put(lines.charge_state);
        put_number(out, *charge);
        out.put("\"/>\n");
    }
    out.put("              </selectedIon>\n"
            "            </selectedIonList>\n"
            "            <activation>\n"
            "              ");
    out.put(lines.dissociation);
    out.put("\n"
            "            </activation>\n"
            "          </precursor>\n"
            "        </precursorList>\n");
}

// The element of one spectrum, into out.element, and what the index and the chromatogram
// need of it. Fails for a record whose arrays differ in length; throws what memory
// allocation or compression throws.
Outcome<void> encode_spectrum(const corvane::SpectrumRecord& record, std::uint64_t index, const RunInfo& run,
                              const Lines& lines, Encoder& encoder, EncodedSpectrum& encoded) {
    if (record.mz.size() != record.intensity.size()) {
        return std::unexpected(Failure{"spectrum " + record.native_id + " has arrays of different lengths"});
    }
    const IonTotals totals = ion_totals(record.intensity);
    const MzRange range = mz_range(record.mz);
    Chunk& out = encoded.element;
    out.clear();
    encoded.native_id = record.native_id;
    encoded.retention_time = record.retention_time_sec;
    for (std::size_t t = 0; t < all_traces.size(); ++t) encoded.traces[t] = trace_value(all_traces[t], totals);
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
    put_float(out, totals.total_ion_current);
    out.put("\"/>\n");
    if (totals.base_peak) {
        out.put("        ");
        out.put(lines.base_mz);
        put_float(out, record.mz[*totals.base_peak]);
        out.put(lines.mz_close);
        out.put("        ");
        out.put(lines.base_intensity);
        // As a double: a reader parsing the text gets exactly the array's value, widened.
        put_float(out, totals.base_peak_intensity);
        out.put(lines.counts_close);
    }
    if (range.lowest) {
        out.put("        ");
        out.put(lines.lowest_mz);
        put_float(out, *range.lowest);
        out.put(lines.mz_close);
        out.put("        ");
        out.put(lines.highest_mz);
        put_float(out, *range.highest);
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
            out.put("        <userParam name=\"");
            out.put(index_reference_param);
            out.put("\" value=\"");
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
            "        </scanList>\n");
    precursor_list(out, record, run, lines);
    out.put("        <binaryDataArrayList count=\"2\">\n");
    encoder.array(out, std::span<const double>(record.mz), Numpress::linear, lines.mz_array);
    encoder.array(out, std::span<const float>(record.intensity), Numpress::slof, lines.intensity_array);
    out.put("        </binaryDataArrayList>\n"
            "      </spectrum>\n");
    return {};
}

// Record k of the run. Called from several threads at once.
using Fetch = std::function<corvane::SpectrumRecord(std::size_t)>;
using Group = std::function<std::size_t(std::size_t)>;

// Encodes record k into an EncodedSpectrum: a failure of the source or of the encoding as
// an ordinary Failure, whatever was thrown.
Outcome<void> produce(const Fetch& fetch, std::size_t k, const RunInfo& run, const Lines& lines, Encoder& encoder,
                      EncodedSpectrum& encoded) {
    try {
        const corvane::SpectrumRecord record = fetch(k);
        if (!encoder.ready()) return std::unexpected(Failure{"out of memory for the compressor"});
        return encode_spectrum(record, k, run, lines, encoder, encoded);
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

    Outcome<WriteStats> write(std::size_t count, const Fetch& fetch, Progress& progress,
                              const std::atomic<bool>& stop, const Group& group = {});

private:
    void header();
    // Every spectrum, in order: on the calling thread alone, or decoded and encoded by
    // workers while this thread copies each finished element into the file.
    Outcome<void> spectra(std::size_t count, const Fetch& fetch, Progress& progress, const std::atomic<bool>& stop,
                          const Group& group);
    // Counts a spectrum whose record carries an error; with strict, fails instead.
    Outcome<void> damaged(const EncodedSpectrum& encoded);
    void append(const EncodedSpectrum& encoded);
    Outcome<void> chromatogram();
    void footer_and_index();
    Outcome<void> finish();

    Outcome<void> check_sink() const { return out_.status(); }

    // The one dataProcessing element's id, which the spectra and the chromatogram refer to.
    [[nodiscard]] std::string_view processing_id() const {
        return run_.peak_picking ? "conversion_and_peak_picking" : "conversion";
    }

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
    std::array<std::vector<double>, all_traces.size()> traces_;
    std::vector<std::uint64_t> chromatogram_offsets_;
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
    // Sized for every level with the profile term. With the centroid term the text is one
    // letter longer and loses its last line break, which the document does not need (the
    // slot keeps this size so that files stay byte for byte what they were).
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
             "    <dataProcessing id=\"");
    out_.put(processing_id());
    out_.put("\">\n"
             "      <processingMethod order=\"0\" softwareRef=\"corvane\">\n        ");
    out_.put(cv_flag("MS:1000544"));
    out_.put("\n      </processingMethod>\n");
    if (run_.peak_picking) {
        // Profile scans were picked; centroid scans passed through unchanged, which the
        // one step describes as well (picking centroids changes nothing).
        out_.put("      <processingMethod order=\"1\" softwareRef=\"corvane\">\n        ");
        out_.put(cv_flag("MS:1000035"));
        out_.put("\n      </processingMethod>\n");
    }
    out_.put("    </dataProcessing>\n"
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
    out_.put("\" defaultDataProcessingRef=\"");
    out_.put(processing_id());
    out_.put("\">\n");
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
    for (std::size_t t = 0; t < all_traces.size(); ++t) traces_[t].push_back(encoded.traces[t]);
    points_ += encoded.points;
    content_ |= encoded.content;
    out_.put(encoded.element.view());
}

Outcome<void> DocumentWriter::spectra(std::size_t count, const Fetch& fetch, Progress& progress,
                                      const std::atomic<bool>& stop, const Group& group) {
    // Decoded and encoded on the ordered pool (the calling thread alone with one thread),
    // each element copied into the file in order by this thread: at most a window of
    // elements waits, whatever the run's size, and the file is the same for every thread
    // count. A slot keeps its element's memory from one spectrum to the next.
    struct Slot {
        EncodedSpectrum encoded;
        std::optional<Failure> failure;
    };
    // One encoder per worker, made on its thread at its first spectrum.
    std::vector<std::optional<Encoder>> encoders(std::max<std::size_t>(1, OrderedPool<Slot>::worker_count(count, threads_)));
    const Lines& lines = lines_;
    const WriteOptions& options = options_;
    const RunInfo& run = run_;
    OrderedPool<Slot> pool(
        count, threads_,
        [&encoders, &fetch, &run, &lines, &options](std::size_t k, std::size_t worker, Slot& slot) {
            std::optional<Encoder>& encoder = encoders[worker];
            slot.failure.reset();
            try {
                if (!encoder) encoder.emplace(options, lines);
            } catch (...) {
                slot.failure = Failure{"encoding failed: " + exception_text(std::current_exception())};
                return;
            }
            if (auto made = produce(fetch, k, run, lines, *encoder, slot.encoded); !made) {
                slot.failure = std::move(made.error());
            }
        },
        [] { detail::fault_point(detail::FaultSite::thread_start); }, group);
    if (const auto failure = pool.start_failure()) {
        return std::unexpected(Failure{"cannot start a thread: " + exception_text(failure)});
    }
    for (std::size_t k = 0; k < count; ++k) {
        if (stop.load(std::memory_order_relaxed)) return std::unexpected(Failure{"interrupted"});
        Slot* slot = pool.next();  // make never throws: produce turns everything into a Failure
        assert(slot != nullptr);
        if (slot->failure) return std::unexpected(std::move(*slot->failure));
        if (auto ok = damaged(slot->encoded); !ok) return ok;
        append(slot->encoded);
        if (auto ok = check_sink(); !ok) return ok;
        progress.scans_done.fetch_add(1, std::memory_order_relaxed);
        progress.bytes_written.fetch_add(out_.offset() - reported_, std::memory_order_relaxed);
        reported_ = out_.offset();
    }
    return {};
}

Outcome<void> DocumentWriter::chromatogram() {
    out_.put("    </spectrumList>\n"
             "    <chromatogramList count=\"");
    put_number(out_, written_traces.size());
    out_.put("\" defaultDataProcessingRef=\"");
    out_.put(processing_id());
    out_.put("\">\n");
    Encoder encoder(options_, lines_);
    if (!encoder.ready()) return std::unexpected(Failure{"out of memory for the compressor"});
    for (std::size_t c = 0; c < written_traces.size(); ++c) {
        const Trace trace = written_traces[c];
        out_.put("      ");
        chromatogram_offsets_.push_back(out_.offset());
        out_.put("<chromatogram index=\"");
        put_number(out_, c);
        out_.put("\" id=\"");
        out_.put(trace_name(trace));
        out_.put("\" defaultArrayLength=\"");
        put_number(out_, times_.size());
        out_.put("\">\n        ");
        out_.put(lines_.chromatogram_term(trace));
        out_.put("\n        <binaryDataArrayList count=\"2\">\n");
        const std::vector<double>& values = traces_[static_cast<std::size_t>(trace)];
        try {
            encoder.array(out_, std::span<const double>(times_), Numpress::linear, lines_.time_array);
            encoder.array(out_, std::span<const double>(values), Numpress::slof, lines_.intensity_array);
        } catch (const CompressionError& e) {
            return std::unexpected(Failure{"compression failed: " + exception_text(e.cause)});
        }
        out_.put("        </binaryDataArrayList>\n"
                 "      </chromatogram>\n");
    }
    out_.put("    </chromatogramList>\n"
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
    out_.put("  </index>\n  <index name=\"chromatogram\">\n");
    for (std::size_t c = 0; c < written_traces.size(); ++c) {
        out_.put("    <offset idRef=\"");
        out_.put(trace_name(written_traces[c]));
        out_.put("\">");
        put_number(out_, chromatogram_offsets_[c]);
        out_.put("</offset>\n");
    }
    out_.put("  </index>\n</indexList>\n<indexListOffset>");
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

Outcome<WriteStats> DocumentWriter::write(std::size_t count, const Fetch& fetch, Progress& progress,
                                          const std::atomic<bool>& stop, const Group& group) {
    // A thread that could not start fails the document before anything is written.
    if (auto ok = check_sink(); !ok) return std::unexpected(ok.error());
    header();
    if (auto ok = spectra(count, fetch, progress, stop, group); !ok) return std::unexpected(ok.error());
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


namespace detail {

std::optional<std::vector<std::uint8_t>> numpress_bytes(std::span<const double> values, bool linear) {
    std::vector<std::uint8_t> out;
    if (!numpress_encode(values, linear ? Numpress::linear : Numpress::slof, out)) return std::nullopt;
    return out;
}

}  // namespace detail

Outcome<WriteStats> write_mzml(int fd, const IndexedSource& source, const RunInfo& run,
                               const WriteOptions& options, Progress& progress,
                               const std::atomic<bool>& stop) {
    // The list's count is written before the spectra: a source that holds another number
    // would contradict it.
    if (source.count != run.spectrum_count) {
        return std::unexpected(Failure{"the reader gave a number of spectra other than the " +
                                       std::to_string(run.spectrum_count) + " announced"});
    }
    DocumentWriter writer(fd, run, options);
    return writer.write(source.count, source.record_at, progress, stop, source.group);
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

// The native identifier the reader gives the record of an index entry.
std::string native_id_of(const raw::ScanRecord& scan) { return "scanId=" + std::to_string(scan.scan_id); }

class MzmlWriter final : public output::FormatWriter {
public:
    MzmlWriter(const WriteOptions& options, const processing::Options& processing,
               const analysis::Selection& selection)
        : options_(options), processing_(processing), selection_(selection) {}

    [[nodiscard]] output::Format format() const override { return output::Format::mzml; }

    [[nodiscard]] Outcome<WriteStats> write(int fd, const Reader& reader, Progress& progress,
                                            const std::atomic<bool>& stop) override {
        const std::vector<std::size_t> scans = analysis::select(reader, selection_);
        const auto& index = reader.scans().records;
        RunInfo run = run_info(reader);
        run.spectrum_count = scans.size();
        run.peak_picking = processing_.centroid;
        // What the selected scans promise, once picked: a profile scan becomes a centroid one.
        run.expected_content = 0;
        for (const std::size_t i : scans) {
            const auto& scan = index[i];
            run.expected_content |= scan.ms_level == 1   ? content_ms1
                                    : scan.ms_level >= 2 ? content_msn
                                                         : content_mass_spectrum;
            run.expected_content |= scan.profile_block && !processing_.centroid ? content_profile : content_centroid;
        }
        std::unordered_set<std::string> written;
        if (scans.size() < index.size()) {
            for (const std::size_t i : scans) written.insert(native_id_of(index[i]));
            run.in_document = [&written](std::string_view id) { return written.contains(std::string(id)); };
        }
        progress.scans_total.fetch_add(run.spectrum_count, std::memory_order_relaxed);
        const processing::Processor processor(reader, processing_);
        const bool picking = processing_.centroid;
        const IndexedSource source{scans.size(),
                                   [&processor, &scans, &index, picking](std::size_t k) {
                                       SpectrumRecord record = processor.record_at(scans[k]);
                                       // A damaged scan has no points to show what it is; its
                                       // index entry does. A profile scan whose block could not
                                       // be read stays a profile spectrum (as fileContent
                                       // promised), not a centroid one.
                                       if (record.error && record.mz.empty() && index[scans[k]].profile_block &&
                                           !picking) {
                                           record.is_profile = true;
                                       }
                                       return record;
                                   },
                                   processor.groups(scans)};
        return write_mzml(fd, source, run, options_, progress, stop);
    }

private:
    WriteOptions options_;
    processing::Options processing_;
    analysis::Selection selection_;
};

}  // namespace

std::unique_ptr<output::FormatWriter> make_writer(const WriteOptions& options) {
    return make_writer(options, processing::Options{}, analysis::Selection{});
}

std::unique_ptr<output::FormatWriter> make_writer(const WriteOptions& options, const processing::Options& processing,
                                                  const analysis::Selection& selection) {
    return std::make_unique<MzmlWriter>(options, processing, selection);
}

}  // namespace corvane::mzml
