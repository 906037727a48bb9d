// meridel.Acquisition (an opened acquisition) and its spectrum iterator.
//
// The Acquisition holds a shared_ptr to a const Reader; close() drops it. Every call takes
// its own copy under the interpreter lock and then works on that copy with the lock
// released, so a close() on another thread never pulls the Reader from under a decode.
// What a call does to the records on their way out (peak picking, the declared precursor)
// is a processing::Processor, held with the reader it reads from (Processed).
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <exception>
#include <map>
#include <optional>

#include "analysis.hpp"
#include "meridel.hpp"
#include "report.hpp"

namespace corvane::pymeridel {

namespace {

struct Pipeline;

// A Processor together with the reader it reads: whoever holds one keeps both alive.
struct Processed {
    Processed(std::shared_ptr<const Reader> kept, processing::Options options)
        : reader(std::move(kept)), processor(*reader, std::move(options)) {}

    std::shared_ptr<const Reader> reader;
    processing::Processor processor;  // after reader, which it reads
};

// One record from processed when there is a Processor, from reader as decoded otherwise.
SpectrumRecord record_from(const Reader& reader, const Processed* processed, std::size_t i) {
    return processed != nullptr ? processed->processor.record_at(i) : reader.record_at(i);
}

struct AcquisitionData {
    std::shared_ptr<const Reader> reader;  // null once closed
    Ref path;                              // str, os.fspath of what was given
    // The member declared to hold the precursor m/z (open(precursor_mz=...)), and the
    // Processor its single spectra and plain iterations come from (null when none was
    // declared: records go out as decoded). Dropped by close() with the reader.
    std::optional<processing::PrecursorMember> member;
    std::shared_ptr<const Processed> processed;
    bool salvage = false;  // opened with open(salvage=True), and pickles so
    // The decoding pipelines of its iterators. They are owned here, so that close() stops
    // and frees every one; an iterator holds a weak reference, and a strong one only while
    // it takes a record. Changed with the interpreter lock held.
    std::vector<std::shared_ptr<Pipeline>> pipelines;
};

using AcquisitionObject = Object<AcquisitionData>;

constexpr const char* acquisition_name = "meridel.Acquisition";
constexpr const char* iterator_name = "meridel.SpectrumIterator";

// The reader, or null with ValueError when the acquisition is closed.
std::shared_ptr<const Reader> reader_of(PyObject* self) {
    std::shared_ptr<const Reader> reader = AcquisitionObject::body(self).reader;
    if (!reader) raise_closed();
    return reader;
}

// ---------------------------------------------------------------------------------------
// Decoding (no Python objects: runs without the interpreter lock)

// A selection decoded ahead on worker threads through the engine's ordered pool, taken
// record by record by the iterator, without the interpreter lock. Results never depend on
// the thread count: each record is decoded (and processed) on its own.
struct Pipeline {
    Pipeline(std::shared_ptr<const Reader> kept, std::shared_ptr<const Processed> with, std::vector<std::size_t> scans,
             unsigned threads)
        : reader(std::move(kept)), processed(std::move(with)), stream(make_stream(std::move(scans), threads)) {}

    std::shared_ptr<const Reader> reader;        // kept alive while the workers read
    std::shared_ptr<const Processed> processed;  // null: records as decoded
    analysis::RecordStream stream;               // after both: stopped and joined first

private:
    analysis::RecordStream make_stream(std::vector<std::size_t> scans, unsigned threads) const {
        if (processed) return analysis::RecordStream(processed->processor, std::move(scans), threads);
        return analysis::RecordStream(*reader, std::move(scans), threads);
    }
};

// The Processor a call with these options reads through: none when they change nothing,
// the acquisition's own when they are its options, a new one otherwise.
std::shared_ptr<const Processed> processed_for(const AcquisitionData& a, const std::shared_ptr<const Reader>& reader,
                                               const processing::Options& options) {
    if (processing::is_plain(options)) return nullptr;
    if (a.processed && !options.centroid && !options.top_n && !options.min_intensity &&
        options.precursor_mz == a.member && options.envelope_ppm == a.processed->processor.options().envelope_ppm) {
        return a.processed;
    }
    return std::make_shared<const Processed>(reader, options);
}

// The options of a call on the acquisition: its declared member, and peak picking when asked.
processing::Options call_options(const AcquisitionData& a, bool centroid) {
    processing::Options options;
    options.precursor_mz = a.member;
    options.centroid = centroid;
    return options;
}

unsigned resolve_threads(unsigned threads) { return threads == 0 ? analysis::default_threads() : threads; }

// Stops the pipelines (an iterator on another thread may wait in one: it wakes with
// nothing) and frees them, which joins their threads, with the interpreter lock released.
// An iterator taking a record from one holds it until that step ends, and frees it then.
void stop_pipelines(std::vector<std::shared_ptr<Pipeline>> pipelines) {
    if (pipelines.empty()) return;
    for (const auto& pipeline : pipelines) pipeline->stream.cancel();
    without_gil([&] {
        pipelines.clear();
        return 0;
    });
}

// close() and __exit__: the reader goes (decodes in flight hold their own copy), and so
// does every pipeline.
void close_acquisition(AcquisitionData& a) {
    a.reader.reset();
    a.processed.reset();
    stop_pipelines(std::move(a.pipelines));
}

// ---------------------------------------------------------------------------------------
// SpectrumIterator

struct IteratorData {
    Ref acquisition;                 // its reader is taken again at each step
    std::vector<std::size_t> scans;  // the selection, ascending
    std::size_t next_scan = 0;       // position in scans of the next record to decode
    unsigned threads = 1;
    std::shared_ptr<const Processed> processed;  // null: records as decoded
    std::weak_ptr<Pipeline> pipeline;  // with several threads: made at the first step
    bool busy = false;                 // a step is running with the lock released
    bool finished = false;             // exhausted, or closed: StopIteration from now on
    // The damaged records handed out so far, told once (DamagedDataWarning) when the
    // iteration ends: exhausted or closed.
    analysis::Damage damaged;
    std::size_t handed_out = 0;
    bool warned = false;
};

using IteratorObject = Object<IteratorData>;

// The iteration's one DamagedDataWarning, if it handed out damaged records and has not
// said so yet; false when the warning was turned into an exception.
bool warn_iteration_damage(PyObject* self, IteratorData& it) {
    if (it.warned || it.damaged.count == 0) return true;
    it.warned = true;
    return warn_damaged(state_of(self), it.handed_out, it.damaged);
}

// Lets the iterator's pipeline go, if it has one: out of the acquisition's list, stopped,
// and freed unless a step on another thread still holds it (that step frees it).
void release_pipeline(IteratorData& it, bool release_lock) {
    std::shared_ptr<Pipeline> pipeline = it.pipeline.lock();
    it.pipeline.reset();
    if (!pipeline) return;
    std::erase(AcquisitionObject::body(it.acquisition.get()).pipelines, pipeline);
    pipeline->stream.cancel();
    if (release_lock) {
        without_gil([&] {
            pipeline.reset();
            return 0;
        });
    }
}

PyObject* iterator_next(PyObject* self) {
    return guarded([&]() -> PyObject* {
        IteratorData& it = IteratorObject::body(self);
        if (it.busy) {
            PyErr_SetString(PyExc_ValueError, message::already_executing);
            return nullptr;
        }
        // Checked at every step, also for records already decoded: closed means closed.
        const std::shared_ptr<const Reader> reader = reader_of(it.acquisition.get());
        if (!reader) {
            it.processed.reset();  // the reader it holds goes as the acquisition's did
            return nullptr;
        }
        if (it.finished || it.next_scan == it.scans.size()) {
            warn_iteration_damage(self, it);
            return nullptr;  // StopIteration, or the warning as an exception
        }
        it.busy = true;
        struct Done {
            bool& busy;
            ~Done() { busy = false; }
        } done{it.busy};
        std::optional<SpectrumRecord> record;
        if (it.threads <= 1) {
            const std::size_t scan = it.scans[it.next_scan];
            // A copy: close() on another thread may let go of the iterator's own meanwhile.
            const std::shared_ptr<const Processed> processed = it.processed;
            record = without_gil(
                [&] { return std::optional<SpectrumRecord>(record_from(*reader, processed.get(), scan)); });
        } else {
            std::shared_ptr<Pipeline> pipeline = it.pipeline.lock();
            if (!pipeline) {
                std::vector<std::size_t> left(it.scans.begin() + static_cast<std::ptrdiff_t>(it.next_scan),
                                              it.scans.end());
                pipeline = std::make_shared<Pipeline>(reader, it.processed, std::move(left), it.threads);
                AcquisitionObject::body(it.acquisition.get()).pipelines.push_back(pipeline);
                it.pipeline = pipeline;
            }
            record = without_gil([&] { return pipeline->stream.next(); });
            if (!record) {
                // The last record, or close() stopped the pipeline while this step waited.
                release_pipeline(it, true);
                without_gil([&] {
                    pipeline.reset();
                    return 0;
                });
                if (!reader_of(it.acquisition.get())) return nullptr;
                it.finished = true;
                warn_iteration_damage(self, it);
                return nullptr;
            }
        }
        it.damaged.note(*record);
        ++it.handed_out;
        if (++it.next_scan == it.scans.size()) {
            // The last one: the threads go now, not when the iterator is collected.
            release_pipeline(it, true);
            it.processed.reset();
            it.finished = true;
        }
        return new_spectrum(state_of(self), std::make_shared<const SpectrumRecord>(std::move(*record)));
    }, static_cast<PyObject*>(nullptr));
}

// close(): ends the iteration (StopIteration from now on) and lets its threads go.
PyObject* iterator_close(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        IteratorData& it = IteratorObject::body(self);
        it.finished = true;
        release_pipeline(it, !it.busy);
        it.processed.reset();  // a step running on another thread holds its own copy
        if (!warn_iteration_damage(self, it)) return nullptr;
        Py_RETURN_NONE;
    }, static_cast<PyObject*>(nullptr));
}

PyObject* iterator_enter(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        (void)IteratorObject::body(self);
        Py_INCREF(self);
        return self;
    }, static_cast<PyObject*>(nullptr));
}

PyObject* iterator_exit(PyObject* self, PyObject* args) {
    Ref closed(iterator_close(self, args));
    if (!closed) return nullptr;
    Py_RETURN_FALSE;
}

// Collected: the pipeline goes with the iterator (on PyPy, at the collection that finds
// it dead; close() or `with` lets go sooner).
void iterator_dealloc(PyObject* self) {
    try {
        release_pipeline(IteratorObject::body(self), false);
    } catch (...) {
        // Never built (NotConstructed): there is no pipeline.
    }
    capi::release_instance<IteratorData>(self);
}

PyObject* iterator_iter(PyObject* self) {
    Py_INCREF(self);
    return self;
}

PyObject* iterator_length_hint(PyObject* self, PyObject*) {
    return guarded([&] {
        const IteratorData& it = IteratorObject::body(self);
        const std::size_t left = it.finished ? 0 : it.scans.size() - it.next_scan;
        return result(PyLong_FromSize_t(left));
    }, static_cast<PyObject*>(nullptr));
}

PyMethodDef iterator_methods[] = {
    {"__length_hint__", method(&iterator_length_hint), METH_NOARGS,
     "__length_hint__($self)\n--\n\nThe number of spectra still to come."},
    {"close", method(&iterator_close), METH_NOARGS,
     "close($self)\n--\n\nEnds the iteration now (StopIteration from then on) and lets its decoding\n"
     "threads go. Exhausting the iterator, closing the acquisition and collecting the\n"
     "iterator do so too. Idempotent."},
    {"__enter__", method(&iterator_enter), METH_NOARGS, "__enter__($self)\n--\n\nThe iterator itself."},
    {"__exit__", method(&iterator_exit), METH_VARARGS,
     "__exit__($self, *exc_info)\n--\n\nCloses the iterator (see close()); exceptions pass on."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot iterator_slots[] = {
    {Py_tp_iter, slot(&iterator_iter)},
    {Py_tp_iternext, slot(&iterator_next)},
    {Py_tp_dealloc, slot(&iterator_dealloc)},
    {Py_tp_methods, iterator_methods},
    {Py_tp_doc, const_cast<char*>("Spectra of an Acquisition in scan order, decoded as they are asked for.")},
    {0, nullptr},
};

const PyType_Spec iterator_spec = {iterator_name, static_cast<int>(sizeof(IteratorObject)), 0, 0, iterator_slots};

PyObject* new_iterator(PyObject* acquisition, std::vector<std::size_t> scans, unsigned threads,
                       std::shared_ptr<const Processed> processed) {
    IteratorData it;
    Py_INCREF(acquisition);
    it.acquisition = Ref(acquisition);
    it.scans = std::move(scans);
    it.threads = threads;
    it.processed = std::move(processed);
    return result(new_instance(state_of(acquisition).iterator, std::move(it)));
}

// ---------------------------------------------------------------------------------------
// Acquisition times

// A date and time as written, checked: a valid calendar day in years 1-9999, 00:00:00 to
// 23:59:59, and an offset under a day when there is one.
struct IsoTime {
    int year = 1, month = 1, day = 1, hour = 0, minute = 0, second = 0, microsecond = 0;
    std::optional<int> offset_minutes;  // nothing: naive
};

// Parses YYYY-MM-DD, optionally followed by T or a space and hh:mm, hh:mm:ss or
// hh:mm:ss.f (a fraction of any length, truncated to microseconds, as CPython 3.11's
// fromisoformat does), then optionally Z, +hh:mm, -hh:mm, +hhmm or -hhmm. ASCII digits
// only. Nothing for anything else, or for a day or time that does not exist.
std::optional<IsoTime> parse_iso_time(std::string_view text) {
    std::size_t at = 0;
    const auto digits = [&](std::size_t count, int& out) {
        if (text.size() - at < count) return false;
        int value = 0;
        for (std::size_t k = 0; k < count; ++k) {
            const char c = text[at + k];
            if (c < '0' || c > '9') return false;
            value = value * 10 + (c - '0');
        }
        at += count;
        out = value;
        return true;
    };
    const auto literal = [&](char c) {
        if (at >= text.size() || text[at] != c) return false;
        ++at;
        return true;
    };
    IsoTime t;
    if (!digits(4, t.year) || !literal('-') || !digits(2, t.month) || !literal('-') || !digits(2, t.day)) {
        return std::nullopt;
    }
    if (at < text.size()) {
        if (text[at] != 'T' && text[at] != ' ') return std::nullopt;
        ++at;
        if (!digits(2, t.hour) || !literal(':') || !digits(2, t.minute)) return std::nullopt;
        if (literal(':')) {
            if (!digits(2, t.second)) return std::nullopt;
            if (literal('.')) {
                int place = 100000;
                std::size_t count = 0;
                for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at, ++count) {
                    t.microsecond += (text[at] - '0') * place;
                    place /= 10;
                }
                if (count == 0) return std::nullopt;
            }
        }
        if (literal('Z')) {
            t.offset_minutes = 0;
        } else if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
            const int sign = text[at] == '-' ? -1 : 1;
            ++at;
            int hours = 0;
            int minutes = 0;
            if (!digits(2, hours)) return std::nullopt;
            literal(':');
            if (!digits(2, minutes) || hours > 23 || minutes > 59) return std::nullopt;
            t.offset_minutes = sign * (hours * 60 + minutes);
        }
        if (at != text.size()) return std::nullopt;
    }
    static constexpr int days_in[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (t.year % 4 == 0 && t.year % 100 != 0) || t.year % 400 == 0;
    if (t.year < 1 || t.month < 1 || t.month > 12 || t.day < 1 || t.day > days_in[t.month - 1] ||
        (t.month == 2 && t.day == 29 && !leap) || t.hour > 23 || t.minute > 59 || t.second > 59) {
        return std::nullopt;
    }
    return t;
}

// The datetime.datetime of a parsed time, aware when it has an offset.
PyObject* datetime_of(const IsoTime& t) {
    Ref module(result(PyImport_ImportModule("datetime")));
    Ref cls(result(PyObject_GetAttrString(module.get(), "datetime")));
    Ref zone;
    if (t.offset_minutes) {
        Ref timezone(result(PyObject_GetAttrString(module.get(), "timezone")));
        Ref timedelta(result(PyObject_GetAttrString(module.get(), "timedelta")));
        Ref minutes(result(PyLong_FromLong(*t.offset_minutes)));
        Ref args(result(PyTuple_New(0)));
        Ref kwargs(result(Py_BuildValue("{sO}", "minutes", minutes.get())));
        Ref delta(result(PyObject_Call(timedelta.get(), args.get(), kwargs.get())));
        zone = Ref(result(PyObject_CallFunctionObjArgs(timezone.get(), delta.get(), nullptr)));
    } else {
        zone = Ref::borrow(Py_None);
    }
    return result(PyObject_CallFunction(cls.get(), "iiiiiiiO", t.year, t.month, t.day, t.hour, t.minute, t.second,
                                        t.microsecond, zone.get()));
}

// ---------------------------------------------------------------------------------------
// Acquisition: metadata and single scans

PyObject* acquisition_path(PyObject* self, void*) {
    return guarded([&] {
        PyObject* path = AcquisitionObject::body(self).path.get();
        Py_INCREF(path);
        return path;
    }, static_cast<PyObject*>(nullptr));
}

#define READER_GETTER(name, body)                                                          \
    PyObject* name(PyObject* self, void*) {                                                \
        return guarded([&]() -> PyObject* {                                                \
            const std::shared_ptr<const Reader> reader = reader_of(self);                  \
            if (!reader) return nullptr;                                                   \
            body                                                                           \
        }, static_cast<PyObject*>(nullptr));                                               \
    }

READER_GETTER(acquisition_source_name, return text(reader->source_name());)
READER_GETTER(acquisition_instrument, {
    Ref accession(text(reader->instrument().accession));
    Ref name(text(reader->instrument().name));
    return result(PyObject_CallFunctionObjArgs(state_of(self).instrument, accession.get(), name.get(), nullptr));
})
READER_GETTER(acquisition_acquired_time, {
    if (!reader->acquired_time()) Py_RETURN_NONE;
    return text(*reader->acquired_time());
})
READER_GETTER(acquisition_salvaged, {
    const std::optional<Salvage>& s = reader->salvaged();
    if (!s) Py_RETURN_NONE;
    return result(PyObject_CallFunction(state_of(self).salvage, "KKKk", static_cast<unsigned long long>(s->bytes_dropped),
                                        static_cast<unsigned long long>(s->records_dropped),
                                        static_cast<unsigned long long>(s->records_kept),
                                        static_cast<unsigned long>(s->record_stride)));
})
READER_GETTER(acquisition_acquired_datetime, {
    const std::optional<IsoTime> time = reader->acquired_time() ? parse_iso_time(*reader->acquired_time()) : std::nullopt;
    if (!time) Py_RETURN_NONE;
    return datetime_of(*time);
})

#undef READER_GETTER

Py_ssize_t acquisition_length(PyObject* self) {
    return guarded([&]() -> Py_ssize_t {
        const std::shared_ptr<const Reader> reader = reader_of(self);
        if (!reader) return -1;
        return static_cast<Py_ssize_t>(reader->scans().records.size());
    }, static_cast<Py_ssize_t>(-1));
}

// The spectrum at position i of the index, decoded (and processed when the acquisition
// declared a precursor member) without the lock.
PyObject* spectrum_at_impl(PyObject* self, const std::shared_ptr<const Reader>& reader, std::size_t i) {
    std::shared_ptr<const Processed> processed = AcquisitionObject::body(self).processed;
    SpectrumRecord record = without_gil([&] { return record_from(*reader, processed.get(), i); });
    analysis::Damage damage;
    damage.note(record);
    Ref spectrum(new_spectrum(state_of(self), std::make_shared<const SpectrumRecord>(std::move(record))));
    if (!warn_damaged(state_of(self), 1, damage)) return nullptr;
    return spectrum.release();
}

PyObject* acquisition_subscript(PyObject* self, PyObject* key) {
    return guarded([&]() -> PyObject* {
        if (PyIndex_Check(key) == 0) {
            Ref name(type_name(key));
            PyErr_Format(PyExc_TypeError, message::not_index, PyUnicode_AsUTF8(name.get()));
            return nullptr;
        }
        const Py_ssize_t given = PyNumber_AsSsize_t(key, PyExc_IndexError);
        if (given == -1 && PyErr_Occurred() != nullptr) return nullptr;
        const std::shared_ptr<const Reader> reader = reader_of(self);
        if (!reader) return nullptr;
        const auto count = static_cast<Py_ssize_t>(reader->scans().records.size());
        const Py_ssize_t i = given < 0 ? given + count : given;
        if (i < 0 || i >= count) {
            PyErr_SetString(PyExc_IndexError, message::out_of_range);
            return nullptr;
        }
        return spectrum_at_impl(self, reader, static_cast<std::size_t>(i));
    }, static_cast<PyObject*>(nullptr));
}

PyObject* acquisition_by_scan_id(PyObject* self, PyObject* const* args, Py_ssize_t count, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"scan_id"};
        PyObject* values[1];
        if (!bind("by_scan_id()", names, 1, 1, args, count, kwnames, values)) return nullptr;
        Ref scan_id(integer_argument("by_scan_id()", "scan_id", values[0], false));
        if (!scan_id) return nullptr;
        const unsigned long long wanted = PyLong_AsUnsignedLongLong(scan_id.get());
        const bool representable = !(wanted == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr);
        PyErr_Clear();  // negative or huge: no scan has it
        const std::shared_ptr<const Reader> reader = reader_of(self);
        if (!reader) return nullptr;
        const auto& records = reader->scans().records;
        for (std::size_t i = 0; representable && i < records.size(); ++i) {
            if (records[i].scan_id == wanted) return spectrum_at_impl(self, reader, i);
        }
        PyErr_SetObject(PyExc_KeyError, scan_id.get());
        return nullptr;
    }, static_cast<PyObject*>(nullptr));
}

PyObject* acquisition_nearest(PyObject* self, PyObject* const* args, Py_ssize_t count, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"rt_seconds", "ms_level"};
        PyObject* values[2];
        if (!bind("nearest()", names, 2, 1, args, count, kwnames, values)) return nullptr;
        const auto rt = real_argument("nearest()", "rt_seconds", values[0]);
        if (!rt) return nullptr;
        if (!std::isfinite(*rt)) {
            PyErr_Format(PyExc_ValueError, message::not_finite, "nearest()", "rt_seconds", values[0]);
            return nullptr;
        }
        std::optional<std::uint32_t> ms_level;
        if (!ms_level_argument("nearest()", values[1], std::nullopt, ms_level)) return nullptr;
        const std::shared_ptr<const Reader> reader = reader_of(self);
        if (!reader) return nullptr;
        const std::vector<std::size_t> scans = analysis::select(*reader, analysis::Selection{ms_level, std::nullopt});
        const auto& records = reader->scans().records;
        std::optional<std::size_t> best;
        double best_distance = 0.0;
        for (const std::size_t i : scans) {
            const double distance = std::fabs(records[i].retention_time_min * 60.0 - *rt);
            if (std::isnan(distance)) continue;  // a scan without a usable time is never nearest
            if (!best || distance < best_distance) {
                best = i;
                best_distance = distance;
            }
        }
        if (!best) {
            PyErr_SetString(PyExc_ValueError, message::none_selected);
            return nullptr;
        }
        return spectrum_at_impl(self, reader, *best);
    }, static_cast<PyObject*>(nullptr));
}

// ---------------------------------------------------------------------------------------
// Acquisition: the index as columns

struct Columns {
    std::vector<std::uint64_t> index;
    std::vector<std::uint32_t> scan_id;
    std::vector<std::uint32_t> ms_level;
    std::vector<double> retention_time_sec;
    std::vector<double> mz_first;
    std::vector<double> mz_last;
    std::vector<double> msn_value_1;
    std::vector<double> msn_value_2;
    std::vector<std::int64_t> mrm_channel;
    std::vector<std::uint64_t> profile_points;
    std::vector<std::uint64_t> profile_bytes;
    std::vector<std::uint64_t> peak_points;
    std::vector<std::uint64_t> peak_bytes;

    explicit Columns(const raw::MSScan& scans) {
        const double nan = std::nan("");
        for (std::size_t i = 0; i < scans.records.size(); ++i) {
            const raw::ScanRecord& s = scans.records[i];
            index.push_back(i);
            scan_id.push_back(s.scan_id);
            ms_level.push_back(s.ms_level);
            retention_time_sec.push_back(s.retention_time_min * 60.0);  // as the decoded spectrum has it
            mz_first.push_back(s.mz_first.value_or(nan));
            mz_last.push_back(s.mz_last.value_or(nan));
            msn_value_1.push_back(s.msn_value_1.value_or(nan));
            msn_value_2.push_back(s.msn_value_2.value_or(nan));
            mrm_channel.push_back(s.mrm_channel ? static_cast<std::int64_t>(*s.mrm_channel) : -1);
            profile_points.push_back(s.profile_block ? s.profile_block->point_count : 0U);
            profile_bytes.push_back(s.profile_block ? s.profile_block->byte_count : 0U);
            peak_points.push_back(s.peak_block ? s.peak_block->point_count : 0U);
            peak_bytes.push_back(s.peak_block ? s.peak_block->byte_count : 0U);
        }
    }
};

// The columns of scans(), in their order.
constexpr const char* scan_columns[] = {
    "index",       "scan_id",     "native_id",   "ms_level",       "retention_time_sec", "mz_first",
    "mz_last",     "msn_value_1", "msn_value_2", "reference",      "mrm_channel",        "profile_points",
    "profile_bytes", "peak_points", "peak_bytes", "error"};

// Sets dict[name] = value, taking the new reference value.
void set_item(PyObject* dict, const char* name, PyObject* value) {
    Ref owned(value);
    if (PyDict_SetItemString(dict, name, owned.get()) < 0) throw NullObject{};
}

// The "error" column: what the index and the files' sizes prove (decode false), or what
// decoding every scan finds (decode true, on up to `threads` threads, the lock released).
std::vector<std::optional<std::string>> error_column(const Reader& reader, bool decode, unsigned threads) {
    return without_gil([&] {
        if (!decode) return analysis::index_errors(reader);
        return analysis::errors(reader, analysis::select(reader, {}), resolve_threads(threads));
    });
}

PyObject* scans_impl(const State& state, const Reader& reader, bool decode, unsigned threads) {
    const std::vector<std::optional<std::string>> errors = error_column(reader, decode, threads);
    const auto columns = std::make_shared<const Columns>(reader.scans());
    const auto& c = *columns;
    Ref dict(result(PyDict_New()));
    set_item(dict.get(), "index", vector_buffer(state, columns, c.index));
    set_item(dict.get(), "scan_id", vector_buffer(state, columns, c.scan_id));
    const auto& records = reader.scans().records;
    Ref native_ids(result(PyList_New(static_cast<Py_ssize_t>(records.size()))));
    Ref references(result(PyList_New(static_cast<Py_ssize_t>(records.size()))));
    for (std::size_t i = 0; i < records.size(); ++i) {
        const raw::ScanRecord& s = records[i];
        const std::string native_id = "scanId=" + std::to_string(s.scan_id);
        PyList_SET_ITEM(native_ids.get(), static_cast<Py_ssize_t>(i), text(native_id));
        // The precursor reference as the decoded spectrum gives it.
        PyObject* reference = nullptr;
        if (s.ms_level >= 2 && s.mrm_channel) {
            reference = text("mrm_channel=" + std::to_string(*s.mrm_channel));
        } else if (s.ms_level >= 2 && s.msn_value_2) {
            reference = text(native_id);
        } else {
            Py_INCREF(Py_None);
            reference = Py_None;
        }
        PyList_SET_ITEM(references.get(), static_cast<Py_ssize_t>(i), reference);
    }
    set_item(dict.get(), "native_id", native_ids.release());
    set_item(dict.get(), "ms_level", vector_buffer(state, columns, c.ms_level));
    set_item(dict.get(), "retention_time_sec", vector_buffer(state, columns, c.retention_time_sec));
    set_item(dict.get(), "mz_first", vector_buffer(state, columns, c.mz_first));
    set_item(dict.get(), "mz_last", vector_buffer(state, columns, c.mz_last));
    set_item(dict.get(), "msn_value_1", vector_buffer(state, columns, c.msn_value_1));
    set_item(dict.get(), "msn_value_2", vector_buffer(state, columns, c.msn_value_2));
    set_item(dict.get(), "reference", references.release());
    set_item(dict.get(), "mrm_channel", vector_buffer(state, columns, c.mrm_channel));
    set_item(dict.get(), "profile_points", vector_buffer(state, columns, c.profile_points));
    set_item(dict.get(), "profile_bytes", vector_buffer(state, columns, c.profile_bytes));
    set_item(dict.get(), "peak_points", vector_buffer(state, columns, c.peak_points));
    set_item(dict.get(), "peak_bytes", vector_buffer(state, columns, c.peak_bytes));
    Ref error_texts(result(PyList_New(static_cast<Py_ssize_t>(errors.size()))));
    for (std::size_t i = 0; i < errors.size(); ++i) {
        PyObject* value = nullptr;
        if (errors[i]) {
            value = text(*errors[i]);
        } else {
            Py_INCREF(Py_None);
            value = Py_None;
        }
        PyList_SET_ITEM(error_texts.get(), static_cast<Py_ssize_t>(i), value);
    }
    set_item(dict.get(), "error", error_texts.release());
    return dict.release();
}

// The arguments of scans() and scans_frame(): decode (a bool, default false) and threads.
bool scans_arguments(const char* callable, PyObject* const* args, Py_ssize_t count, PyObject* kwnames,
                     bool& decode, unsigned& threads) {
    static const char* const names[] = {"decode", "threads"};
    PyObject* values[2];
    if (!bind(callable, names, 2, 0, args, count, kwnames, values)) return false;
    if (values[0] != nullptr) {
        if (!PyBool_Check(values[0])) {
            Ref name(type_name(values[0]));
            PyErr_Format(PyExc_TypeError, message::not_bool, callable, "decode", PyUnicode_AsUTF8(name.get()));
            return false;
        }
        decode = values[0] == Py_True;
    }
    const auto t = threads_argument(callable, values[1]);
    if (!t) return false;
    threads = *t;
    return true;
}

PyObject* acquisition_scans(PyObject* self, PyObject* const* args, Py_ssize_t count, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        bool decode = false;
        unsigned threads = 0;
        if (!scans_arguments("scans()", args, count, kwnames, decode, threads)) return nullptr;
        const std::shared_ptr<const Reader> reader = reader_of(self);
        if (!reader) return nullptr;
        return scans_impl(state_of(self), *reader, decode, threads);
    }, static_cast<PyObject*>(nullptr));
}

PyObject* acquisition_scans_frame(PyObject* self, PyObject* const* args, Py_ssize_t count, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        bool decode = false;
        unsigned threads = 0;
        if (!scans_arguments("scans_frame()", args, count, kwnames, decode, threads)) return nullptr;
        // pandas is looked for first: without it the call fails at once, not after decoding.
        {
            Ref none(data_frame("scans_frame()", {}));
            if (!none) return nullptr;
        }
        const std::shared_ptr<const Reader> reader = reader_of(self);
        if (!reader) return nullptr;
        Ref columns(scans_impl(state_of(self), *reader, decode, threads));
        std::vector<std::pair<const char*, PyObject*>> named;
        for (const char* name : scan_columns) named.emplace_back(name, result(PyDict_GetItemString(columns.get(), name)));
        return data_frame("scans_frame()", named);
    }, static_cast<PyObject*>(nullptr));
}

// ---------------------------------------------------------------------------------------
// Acquisition: iteration

// The selection arguments every whole-run call takes. ms_level_default is nothing for
// iter() and arrays(), 1 for the chromatograms.
struct RunArguments {
    analysis::Selection selection;
    unsigned threads = 0;
    bool centroid = false;  // iter() and arrays() only
};

bool run_arguments(const char* callable, PyObject* ms_level, PyObject* rt_range, PyObject* threads,
                   std::optional<std::uint32_t> ms_level_default, RunArguments& out) {
    if (!ms_level_argument(callable, ms_level, ms_level_default, out.selection.ms_level)) return false;
    if (!rt_range_argument(callable, rt_range, out.selection.rt_range)) return false;
    const auto t = threads_argument(callable, threads);
    if (!t) return false;
    out.threads = *t;
    return true;
}

PyObject* iter_impl(PyObject* self, const RunArguments& run) {
    const std::shared_ptr<const Reader> reader = reader_of(self);
    if (!reader) return nullptr;
    const AcquisitionData& a = AcquisitionObject::body(self);
    return new_iterator(self, analysis::select(*reader, run.selection), resolve_threads(run.threads),
                        processed_for(a, reader, call_options(a, run.centroid)));
}

PyObject* acquisition_iter(PyObject* self) {
    return guarded([&] { return iter_impl(self, RunArguments{}); }, static_cast<PyObject*>(nullptr));
}

PyObject* acquisition_iter_method(PyObject* self, PyObject* const* args, Py_ssize_t count, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"ms_level", "rt_range", "threads", "centroid"};
        PyObject* values[4];
        RunArguments run;
        if (!bind("iter()", names, 4, 0, args, count, kwnames, values) ||
            !run_arguments("iter()", values[0], values[1], values[2], std::nullopt, run) ||
            !bool_argument("iter()", "centroid", values[3], run.centroid)) {
            return nullptr;
        }
        return iter_impl(self, run);
    }, static_cast<PyObject*>(nullptr));
}

// ---------------------------------------------------------------------------------------
// Acquisition: whole-run arrays and chromatograms

PyObject* arrays_impl(PyObject* self, const RunArguments& run) {
    const std::shared_ptr<const Reader> reader = reader_of(self);
    if (!reader) return nullptr;
    // Only the points go out: the precursor is of no use here, peak picking is.
    processing::Options options;
    options.centroid = run.centroid;
    const std::shared_ptr<const Processed> processed = processed_for(AcquisitionObject::body(self), reader, options);
    auto arrays = without_gil([&] {
        const std::vector<std::size_t> scans = analysis::select(*reader, run.selection);
        const unsigned threads = resolve_threads(run.threads);
        return std::make_shared<const analysis::RunArrays>(
            processed ? analysis::arrays(processed->processor, scans, threads) : analysis::arrays(*reader, scans, threads));
    });
    capi::platform::note_native_memory(arrays->offsets.size() * sizeof(std::uint64_t) + arrays->mz.size() * sizeof(double) +
                       arrays->intensity.size() * sizeof(float) + arrays->scan_index.size() * sizeof(std::uint64_t));
    const State& state = state_of(self);
    Ref offsets(vector_buffer(state, arrays, arrays->offsets));
    Ref mz(vector_buffer(state, arrays, arrays->mz));
    Ref intensity(vector_buffer(state, arrays, arrays->intensity));
    Ref scan_index(vector_buffer(state, arrays, arrays->scan_index));
    Ref made(result(PyObject_CallFunctionObjArgs(state.run_arrays, offsets.get(), mz.get(), intensity.get(),
                                                 scan_index.get(), nullptr)));
    if (!warn_damaged(state, arrays->scan_index.size(), arrays->damaged)) return nullptr;
    return made.release();
}

PyObject* acquisition_arrays(PyObject* self, PyObject* const* args, Py_ssize_t count, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"ms_level", "rt_range", "threads", "centroid"};
        PyObject* values[4];
        RunArguments run;
        if (!bind("arrays()", names, 4, 0, args, count, kwnames, values) ||
            !run_arguments("arrays()", values[0], values[1], values[2], std::nullopt, run) ||
            !bool_argument("arrays()", "centroid", values[3], run.centroid)) {
            return nullptr;
        }
        return arrays_impl(self, run);
    }, static_cast<PyObject*>(nullptr));
}

// A Chromatogram object sharing chromatogram's vectors; target and window None unless given.
PyObject* chromatogram_object(const State& state, const char* kind,
                              std::shared_ptr<const analysis::Chromatogram> chromatogram,
                              const analysis::XicWindow* window) {
    Ref kind_text(text(kind));
    Ref rt(vector_buffer(state, chromatogram, chromatogram->rt));
    Ref intensity(vector_buffer(state, chromatogram, chromatogram->value));
    Ref target;
    Ref bounds;
    if (window != nullptr) {
        target = Ref(result(PyFloat_FromDouble(window->mz)));
        bounds = Ref(result(Py_BuildValue("(dd)", window->low, window->high)));
    } else {
        Py_INCREF(Py_None);
        target = Ref(Py_None);
        Py_INCREF(Py_None);
        bounds = Ref(Py_None);
    }
    return result(PyObject_CallFunctionObjArgs(state.chromatogram, kind_text.get(), rt.get(), intensity.get(),
                                               target.get(), bounds.get(), nullptr));
}

enum class Summary { tic, bpc };

PyObject* summary_impl(PyObject* self, Summary summary, const RunArguments& run) {
    const std::shared_ptr<const Reader> reader = reader_of(self);
    if (!reader) return nullptr;
    auto chromatogram = without_gil([&] {
        const std::vector<std::size_t> scans = analysis::select(*reader, run.selection);
        const unsigned threads = resolve_threads(run.threads);
        return std::make_shared<const analysis::Chromatogram>(
            summary == Summary::tic ? analysis::tic(*reader, scans, threads) : analysis::bpc(*reader, scans, threads));
    });
    const State& state = state_of(self);
    const std::size_t total = chromatogram->rt.size();
    const analysis::Damage damage = chromatogram->damaged;
    Ref made(chromatogram_object(state, summary == Summary::tic ? "tic" : "bpc", std::move(chromatogram), nullptr));
    if (!warn_damaged(state, total, damage)) return nullptr;
    return made.release();
}

template <Summary summary>
PyObject* acquisition_summary(PyObject* self, PyObject* const* args, Py_ssize_t count, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        const char* callable = summary == Summary::tic ? "tic()" : "bpc()";
        static const char* const names[] = {"ms_level", "rt_range", "threads"};
        PyObject* values[3];
        RunArguments run;
        if (!bind(callable, names, 3, 0, args, count, kwnames, values) ||
            !run_arguments(callable, values[0], values[1], values[2], 1U, run)) {
            return nullptr;
        }
        return summary_impl(self, summary, run);
    }, static_cast<PyObject*>(nullptr));
}

PyObject* xic_impl(PyObject* self, const std::vector<double>& targets, std::optional<double> ppm,
                   std::optional<double> da, const RunArguments& run) {
    const std::shared_ptr<const Reader> reader = reader_of(self);
    if (!reader) return nullptr;
    std::vector<analysis::XicWindow> windows;
    windows.reserve(targets.size());
    for (const double target : targets) windows.push_back(analysis::window(target, ppm, da));
    auto chromatograms = without_gil([&] {
        const std::vector<std::size_t> scans = analysis::select(*reader, run.selection);
        return std::make_shared<const std::vector<analysis::Chromatogram>>(
            analysis::xic(*reader, scans, windows, resolve_threads(run.threads)));
    });
    const State& state = state_of(self);
    Ref list(result(PyList_New(static_cast<Py_ssize_t>(windows.size()))));
    for (std::size_t t = 0; t < windows.size() && t < chromatograms->size(); ++t) {
        // Each chromatogram's buffers keep the whole set alive (one allocation for all).
        std::shared_ptr<const analysis::Chromatogram> one(chromatograms, &(*chromatograms)[t]);
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(t), chromatogram_object(state, "xic", std::move(one), &windows[t]));
    }
    // One warning for the call, not one per target: every chromatogram has the same scans.
    if (!chromatograms->empty() && !warn_damaged(state, chromatograms->front().rt.size(), chromatograms->front().damaged)) {
        return nullptr;
    }
    return list.release();
}

// `targets`: one real number or a sequence of them.
bool targets_argument(PyObject* value, std::vector<double>& out) {
    // A number is one target; anything else (a list, a tuple, a NumPy array, a Buffer) is
    // a sequence of them.
    if (is_real_number(value) && (PyFloat_Check(value) || PyLong_Check(value) || PySequence_Check(value) == 0)) {
        const auto target = real_argument("xic()", "targets", value);
        if (!target) return false;
        out.push_back(*target);
        return true;
    }
    Ref sequence(PyUnicode_Check(value) || PyBytes_Check(value) ? nullptr
                                                                 : PySequence_Fast(value, "targets"));
    if (!sequence) {
        PyErr_Clear();
        Ref name(type_name(value));
        PyErr_Format(PyExc_TypeError, message::not_targets, "xic()", PyUnicode_AsUTF8(name.get()));
        return false;
    }
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(sequence.get());
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(sequence.get(), i);
        const auto target = is_real_number(item) ? number_value(item) : std::nullopt;
        if (!target) {
            if (PyErr_Occurred() != nullptr && PyErr_ExceptionMatches(PyExc_TypeError) == 0) return false;
            PyErr_Clear();
            Ref name(type_name(item));
            PyErr_Format(PyExc_TypeError, message::not_targets, "xic()", PyUnicode_AsUTF8(name.get()));
            return false;
        }
        out.push_back(*target);
    }
    return true;
}

// `ppm` or `da`: None or absent -> nothing, else a positive finite number.
bool tolerance_argument(const char* name, PyObject* value, std::optional<double>& out) {
    if (value == nullptr || value == Py_None) return true;
    const auto given = real_argument("xic()", name, value, true);
    if (!given) return false;
    const double number = *given;
    if (!(number > 0.0) || std::isinf(number)) {
        PyErr_Format(PyExc_ValueError, std::isinf(number) ? message::not_finite : message::not_positive, "xic()",
                     name, value);
        return false;
    }
    out = number;
    return true;
}

// A ppm window when neither is given.
constexpr double default_ppm = 10.0;

PyObject* acquisition_xic(PyObject* self, PyObject* const* args, Py_ssize_t count, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"targets", "ppm", "da", "ms_level", "rt_range", "threads"};
        PyObject* values[6];
        if (!bind("xic()", names, 6, 1, args, count, kwnames, values)) return nullptr;
        std::vector<double> targets;
        std::optional<double> ppm;
        std::optional<double> da;
        RunArguments run;
        if (!targets_argument(values[0], targets) || !tolerance_argument("ppm", values[1], ppm) ||
            !tolerance_argument("da", values[2], da)) {
            return nullptr;
        }
        if (ppm && da) {
            PyErr_Format(PyExc_ValueError, message::ppm_and_da, "xic()");
            return nullptr;
        }
        if (!ppm && !da) ppm = default_ppm;
        for (const double target : targets) {
            if (!std::isfinite(target)) {
                Ref value(result(PyFloat_FromDouble(target)));
                PyErr_Format(PyExc_ValueError, message::not_finite, "xic()", "targets", value.get());
                return nullptr;
            }
        }
        if (!run_arguments("xic()", values[3], values[4], values[5], 1U, run)) return nullptr;
        return xic_impl(self, targets, ppm, da, run);
    }, static_cast<PyObject*>(nullptr));
}

// ---------------------------------------------------------------------------------------
// Acquisition: which member holds the precursor m/z

PyObject* acquisition_precursor_mz(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        const AcquisitionData& a = AcquisitionObject::body(self);
        if (!a.member) Py_RETURN_NONE;
        return text(processing::member_name(*a.member));
    }, static_cast<PyObject*>(nullptr));
}

// The evidence tolerance when none is given, in ppm.
constexpr double default_evidence_ppm = 10.0;

PyObject* acquisition_precursor_evidence(PyObject* self, PyObject* const* args, Py_ssize_t count,
                                         PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        constexpr const char* callable = "precursor_evidence()";
        static const char* const names[] = {"ppm", "threads"};
        PyObject* values[2];
        if (!bind(callable, names, 2, 0, args, count, kwnames, values)) return nullptr;
        double ppm = default_evidence_ppm;
        if (values[0] != nullptr) {
            const auto given = real_argument(callable, "ppm", values[0]);
            if (!given) return nullptr;
            if (!(*given > 0.0) || std::isinf(*given)) {
                PyErr_Format(PyExc_ValueError, std::isinf(*given) ? message::not_finite : message::not_positive,
                             callable, "ppm", values[0]);
                return nullptr;
            }
            ppm = *given;
        }
        const auto threads = threads_argument(callable, values[1]);
        if (!threads) return nullptr;
        const std::shared_ptr<const Reader> reader = reader_of(self);
        if (!reader) return nullptr;
        const std::vector<processing::MemberEvidence> evidence =
            without_gil([&] { return processing::precursor_evidence(*reader, ppm, resolve_threads(*threads)); });
        const State& state = state_of(self);
        Ref list(result(PyList_New(static_cast<Py_ssize_t>(evidence.size()))));
        for (std::size_t k = 0; k < evidence.size(); ++k) {
            const processing::MemberEvidence& e = evidence[k];
            Ref member(text(processing::member_name(e.member)));
            Ref median;
            if (e.median_error_ppm) {
                median = Ref(result(PyFloat_FromDouble(*e.median_error_ppm)));
            } else {
                median = Ref::borrow(Py_None);
            }
            PyObject* row = result(PyObject_CallFunction(
                state.evidence, "OKKKKdO", member.get(), static_cast<unsigned long long>(e.fragment_scans),
                static_cast<unsigned long long>(e.with_value), static_cast<unsigned long long>(e.with_ms1),
                static_cast<unsigned long long>(e.matched), e.share, median.get()));
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), row);
        }
        return list.release();
    }, static_cast<PyObject*>(nullptr));
}

// ---------------------------------------------------------------------------------------
// Acquisition: the HTML report

PyObject* report_impl(PyObject* self, PyObject* path, unsigned threads) {
    const std::shared_ptr<const Reader> reader = reader_of(self);
    if (!reader) return nullptr;
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(path, &size);
    if (utf8 == nullptr) return nullptr;
    const std::string out(utf8, static_cast<std::size_t>(size));
    if (out.find('\0') != std::string::npos) {
        PyErr_Format(PyExc_ValueError, message::null_in_path, "report()", "path");
        return nullptr;
    }
    // A page of an acquisition opened with a declared precursor member shows the selected ions.
    const std::optional<processing::PrecursorMember> member = AcquisitionObject::body(self).member;
    analysis::Damage damage;
    std::size_t scans = 0;
    auto written = without_gil([&] {
        const auto summary = report::summarize(*reader, resolve_threads(threads), {}, member);
        scans = summary.scans.size();
        for (const report::ScanView& scan : summary.scans) {
            if (scan.damage && damage.count++ == 0) {
                damage.first_native_id = scan.native_id;
                damage.first_error = *scan.damage;
            }
        }
        return report::write_file(reader->root(), out, report::render(summary));
    });
    if (!written) {
        // A page inside the run is refused as a document there is (ValueError); the
        // system's failures become OSError, which picks the subclass.
        if (written.error().refused || written.error().os_error == 0) {
            Ref message(text(written.error().message));
            PyErr_SetObject(PyExc_ValueError, message.get());
            return nullptr;
        }
        const int code = written.error().os_error;
        Ref strerror(text(os_message(code)));
        Ref exception(result(PyObject_CallFunction(PyExc_OSError, "iOO", code, strerror.get(), path)));
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())), exception.get());
        return nullptr;
    }
    // The page lists them; the caller is told as well.
    if (!warn_damaged(state_of(self), scans, damage)) return nullptr;
    Py_RETURN_NONE;
}

PyObject* acquisition_report(PyObject* self, PyObject* const* args, Py_ssize_t count, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"path", "threads"};
        PyObject* values[2];
        if (!bind("report()", names, 2, 1, args, count, kwnames, values)) return nullptr;
        Ref path(path_argument("report()", "path", values[0]));
        if (!path) return nullptr;
        const auto threads = threads_argument("report()", values[1]);
        if (!threads) return nullptr;
        return report_impl(self, path.get(), *threads);
    }, static_cast<PyObject*>(nullptr));
}

// ---------------------------------------------------------------------------------------
// Acquisition: lifetime

PyObject* acquisition_close(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        close_acquisition(AcquisitionObject::body(self));
        Py_RETURN_NONE;
    }, static_cast<PyObject*>(nullptr));
}

PyObject* acquisition_enter(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        if (!reader_of(self)) return nullptr;
        Py_INCREF(self);
        return self;
    }, static_cast<PyObject*>(nullptr));
}

PyObject* acquisition_exit(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        close_acquisition(AcquisitionObject::body(self));
        Py_RETURN_FALSE;
    }, static_cast<PyObject*>(nullptr));
}

// open(path), open(path, member) when a member was declared, open(path, member, True)
// when it was opened in salvage mode.
PyObject* acquisition_reduce(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        const AcquisitionData& a = AcquisitionObject::body(self);
        Ref module(result(PyImport_ImportModule("meridel")));
        Ref open(result(PyObject_GetAttrString(module.get(), "open")));
        Ref member(a.member ? text(processing::member_name(*a.member)) : Ref::borrow(Py_None).release());
        if (a.salvage) return result(Py_BuildValue("(O(OOO))", open.get(), a.path.get(), member.get(), Py_True));
        if (!a.member) return result(Py_BuildValue("(O(O))", open.get(), a.path.get()));
        return result(Py_BuildValue("(O(OO))", open.get(), a.path.get(), member.get()));
    }, static_cast<PyObject*>(nullptr));
}

PyObject* acquisition_repr(PyObject* self) {
    return guarded([&]() -> PyObject* {
        const AcquisitionData& a = AcquisitionObject::body(self);
        if (!a.reader) return result(PyUnicode_FromFormat("<meridel.Acquisition %R closed>", a.path.get()));
        if (a.member) {
            const std::string member(processing::member_name(*a.member));
            return result(PyUnicode_FromFormat("<meridel.Acquisition %R scans=%zu precursor_mz=%s>", a.path.get(),
                                               a.reader->scans().records.size(), member.c_str()));
        }
        return result(PyUnicode_FromFormat("<meridel.Acquisition %R scans=%zu>", a.path.get(),
                                           a.reader->scans().records.size()));
    }, static_cast<PyObject*>(nullptr));
}

// A short HTML table for Jupyter: what the repr says, and the scans by MS level.
PyObject* acquisition_repr_html(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        const AcquisitionData& a = AcquisitionObject::body(self);
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(a.path.get(), &size);
        if (utf8 == nullptr) {
            // A path with lone surrogates (undecodable bytes) is shown with replacements.
            PyErr_Clear();
            utf8 = "";
            size = 0;
        }
        const std::string path(utf8, static_cast<std::size_t>(size));
        std::string html = "<table class=\"meridel-acquisition\"><caption>meridel.Acquisition</caption>";
        const auto row = [&](std::string_view name, std::string_view value) { html_row(html, name, value); };
        row("path", path);
        if (!a.reader) {
            row("state", "closed");
        } else {
            const Reader& r = *a.reader;
            row("source name", r.source_name());
            row("instrument", r.instrument().name + " (" + r.instrument().accession + ")");
            row("acquired", r.acquired_time() ? *r.acquired_time() : std::string("not recorded"));
            std::map<std::uint32_t, std::size_t> levels;
            for (const raw::ScanRecord& scan : r.scans().records) ++levels[scan.ms_level];
            std::string scans = std::to_string(r.scans().records.size());
            std::string by_level;
            for (const auto& [level, n] : levels) {
                by_level += (by_level.empty() ? "" : ", ") + std::string("MS") + std::to_string(level) + ": " +
                            std::to_string(n);
            }
            if (!by_level.empty()) scans += " (" + by_level + ")";
            row("scans", scans);
            row("precursor m/z", a.member ? std::string(processing::member_name(*a.member)) : "not declared");
            if (r.salvaged()) row("salvaged", salvage_warning(*r.salvaged()));
        }
        html += "</table>";
        return text(html);
    }, static_cast<PyObject*>(nullptr));
}

constexpr const char* selection_doc =
    "ms_level: only scans of this MS level (None: all); rt_range: (low, high) retention\n"
    "times in seconds, both included (None: all); threads: decoding threads (None: the\n"
    "machine's cores, at most 4). Results never depend on threads. A scan whose data could not\n"
    "be read counts as empty, and the call issues one meridel.DamagedDataWarning naming how\n"
    "many and the first error.";

constexpr const char* centroid_doc =
    "\ncentroid: profile scans become centroid peaks (picked in C++ on the decoding threads;\n"
    "centroid scans pass unchanged), as Spectrum.centroid() gives them.";

const std::string iter_doc =
    std::string("iter($self, ms_level=None, rt_range=None, threads=None, centroid=False)\n--\n\n") +
    "The selected spectra in scan order, decoded ahead on the threads. The\n"
    "iterator's threads go when it is exhausted, closed (close(), or `with`), its\n"
    "acquisition closed, or it is collected.\n\n" + selection_doc + centroid_doc;
const std::string arrays_doc =
    std::string("arrays($self, ms_level=None, rt_range=None, threads=None, centroid=False)\n--\n\n") +
    "The points of the selected scans as one meridel.RunArrays (offsets, mz, intensity,\n"
    "scan_index): scan k's points are mz[offsets[k]:offsets[k + 1]].\n\n" + selection_doc + centroid_doc;
const std::string tic_doc = std::string("tic($self, ms_level=1, rt_range=None, threads=None)\n--\n\n") +
                            "Total-ion chromatogram: the summed intensity of each selected scan.\n\n" + selection_doc;
const std::string bpc_doc = std::string("bpc($self, ms_level=1, rt_range=None, threads=None)\n--\n\n") +
                            "Base-peak chromatogram: the largest intensity of each selected scan.\n\n" + selection_doc;
const std::string xic_doc =
    std::string("xic($self, targets, ppm=None, da=None, ms_level=1, rt_range=None, threads=None)\n--\n\n") +
    "Extracted-ion chromatograms, one per target m/z (a float or a sequence of floats), in\n"
    "one pass: a list of meridel.Chromatogram with kind 'xic', target and window (low, high).\n"
    "The window is target +- ppm parts per million or +- da; give at most one (default 10 ppm).\n\n" +
    selection_doc;

constexpr const char* output_filters_doc =
    "centroid: profile scans as centroid peaks; ms_level, rt_range (low, high seconds): only\n"
    "those scans; top_n: only each spectrum's top_n most intense points; min_intensity: only\n"
    "points at least that intense. The precursor member declared with open() is written.\n";

const std::string to_mzml_doc =
    std::string("to_mzml($self, path, compression='zlib', index=True, threads=None, overwrite=False, "
                "centroid=False, ms_level=None, rt_range=None, top_n=None, min_intensity=None)\n--\n\n") +
    "Writes the run as an mzML 1.1 file at path, as corvane-convert does: into a temporary\n"
    "file beside it, renamed into place once complete (nothing is left after a failure).\n"
    "compression: 'zlib', 'numpress' (lossy MS-Numpress, then zlib) or None; index: wrap in\n"
    "indexedmzML with offsets and a checksum; threads: worker threads (None: the machine's\n"
    "cores, at most 4), the file is the same for every count; overwrite: replace an existing file.\n" +
    output_filters_doc +
    "Raises FileExistsError (or another OSError, errno and filename set) and ValueError for\n"
    "a path inside the acquisition. Runs with the interpreter lock released.";

const std::string to_mgf_doc =
    std::string("to_mgf($self, path, centroid=False, ms_level=None, rt_range=None, top_n=None, "
                "min_intensity=None, threads=None, overwrite=False)\n--\n\n") +
    "Writes the run's fragment scans as an MGF file at path (TITLE, RTINSECONDS, PEPMASS,\n"
    "CHARGE when known, SCANS, the peaks), under the same file rules as to_mzml(). Needs the\n"
    "precursor member declared with open(path, precursor_mz=...): ValueError otherwise, and\n"
    "nothing is written. Fragment scans without a usable precursor m/z, or whose data could\n"
    "not be read, are left out, with a UserWarning naming them. " + output_filters_doc +
    "threads: worker threads, the file is the same for every count; overwrite: replace an\n"
    "existing file. Runs with the interpreter lock released.";

constexpr const char* evidence_method_doc =
    "precursor_evidence($self, ppm=10, threads=None)\n--\n\n"
    "For each member of the index that may hold the precursor m/z ('msn_value_1' first), how\n"
    "many fragment scans have a value there that matches a centroid of the nearest earlier MS1\n"
    "scan within ppm, and the median error: a list of meridel.PrecursorEvidence. The member\n"
    "with the large share and the small median error is the one to declare with\n"
    "meridel.open(path, precursor_mz=...). Decodes the fragment scans and their MS1 scans.";

PyMethodDef acquisition_methods[] = {
    {"by_scan_id", method(&acquisition_by_scan_id), METH_FASTCALL | METH_KEYWORDS,
     "by_scan_id($self, scan_id)\n--\n\nThe first spectrum with this scan id; KeyError when none has it."},
    {"nearest", method(&acquisition_nearest), METH_FASTCALL | METH_KEYWORDS,
     "nearest($self, rt_seconds, ms_level=None)\n--\n\n"
     "The spectrum whose retention time is closest to rt_seconds (the first of ties), among\n"
     "scans of ms_level (None: all); ValueError when no scan is selected."},
    {"scans", method(&acquisition_scans), METH_FASTCALL | METH_KEYWORDS,
     "scans($self, decode=False, threads=None)\n--\n\n"
     "The scan index as a dict of column name -> meridel.Buffer (lists for the texts).\n"
     "error: the text of the failure that leaves a scan's spectrum empty, or None. Without\n"
     "decode only what the index and the data files' sizes prove (a block past the end of\n"
     "its file, a missing file); decode=True decodes every scan to find all of them."},
    {"scans_frame", method(&acquisition_scans_frame), METH_FASTCALL | METH_KEYWORDS,
     "scans_frame($self, decode=False, threads=None)\n--\n\n"
     "The scans() columns as a pandas.DataFrame, in the same order. Needs pandas:\n"
     "pip install 'corvane[pandas]' (ModuleNotFoundError naming it otherwise)."},
    {"iter", method(&acquisition_iter_method), METH_FASTCALL | METH_KEYWORDS, iter_doc.c_str()},
    {"arrays", method(&acquisition_arrays), METH_FASTCALL | METH_KEYWORDS, arrays_doc.c_str()},
    {"tic", method(&acquisition_summary<Summary::tic>), METH_FASTCALL | METH_KEYWORDS, tic_doc.c_str()},
    {"bpc", method(&acquisition_summary<Summary::bpc>), METH_FASTCALL | METH_KEYWORDS, bpc_doc.c_str()},
    {"xic", method(&acquisition_xic), METH_FASTCALL | METH_KEYWORDS, xic_doc.c_str()},
    {"report", method(&acquisition_report), METH_FASTCALL | METH_KEYWORDS,
     "report($self, path, threads=None)\n--\n\n"
     "Writes the run as one self-contained HTML page to path (str or os.PathLike): header,\n"
     "TIC and base-peak chromatograms, the LC-MS map and every scan's spectrum, from one\n"
     "decoding pass. The page opens offline in a browser. Replaces path only once the page\n"
     "is complete; OSError (with filename) when it cannot be written. Returns None."},
    {"to_mzml", method(&acquisition_to_mzml), METH_FASTCALL | METH_KEYWORDS, to_mzml_doc.c_str()},
    {"to_mgf", method(&acquisition_to_mgf), METH_FASTCALL | METH_KEYWORDS, to_mgf_doc.c_str()},
    {"precursor_evidence", method(&acquisition_precursor_evidence), METH_FASTCALL | METH_KEYWORDS,
     evidence_method_doc},
    {"close", method(&acquisition_close), METH_NOARGS,
     "close($self)\n--\n\nReleases the acquisition and stops the decoding of its iterators (their next()\n"
     "raises ValueError, also on another thread); later data calls raise ValueError. Idempotent."},
    {"__enter__", method(&acquisition_enter), METH_NOARGS,
     "__enter__($self)\n--\n\nThe acquisition itself; ValueError when it is closed."},
    {"__exit__", method(&acquisition_exit), METH_VARARGS,
     "__exit__($self, *exc_info)\n--\n\nCloses the acquisition (see close()); exceptions pass on."},
    {"__reduce__", method(&acquisition_reduce), METH_NOARGS, "__reduce__($self)\n--\n\nPickles by path."},
    {"_repr_html_", method(&acquisition_repr_html), METH_NOARGS,
     "_repr_html_($self)\n--\n\nA short HTML table of the run for Jupyter: path, name, instrument, time,\n"
     "scans by MS level, the declared precursor member (a closed acquisition: its path)."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef acquisition_getset[] = {
    {"path", &acquisition_path, nullptr, "the path as given (os.fspath)", nullptr},
    {"source_name", &acquisition_source_name, nullptr, "the run's name: the last part of the path", nullptr},
    {"instrument", &acquisition_instrument, nullptr,
     "the instrument model as meridel.Instrument(accession, name), from Devices.xml or, without\n"
     "one, a generic term chosen by the index's record layout", nullptr},
    {"acquired_time", &acquisition_acquired_time, nullptr, "the acquisition time as written (str), or None",
     nullptr},
    {"acquired_datetime", &acquisition_acquired_datetime, nullptr, "the acquisition time as datetime, or None",
     nullptr},
    {"precursor_mz", &acquisition_precursor_mz, nullptr,
     "the member declared to hold the precursor m/z ('msn_value_1' or 'msn_value_2'), or None", nullptr},
    {"salvaged", &acquisition_salvaged, nullptr,
     "what open(path, salvage=True) dropped from a scan index cut inside a record, as\n"
     "meridel.Salvage(bytes_dropped, records_dropped, records_kept, record_stride); None when\n"
     "nothing was dropped (the index was whole, or salvage was not asked for)", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot acquisition_slots[] = {
    {Py_mp_length, slot(&acquisition_length)},
    {Py_mp_subscript, slot(&acquisition_subscript)},
    {Py_tp_iter, slot(&acquisition_iter)},
    {Py_tp_repr, slot(&acquisition_repr)},
    {Py_tp_dealloc, slot(&dealloc<AcquisitionData>)},
    {Py_tp_methods, acquisition_methods},
    {Py_tp_getset, acquisition_getset},
    {Py_tp_doc, const_cast<char*>("An opened acquisition directory; from meridel.open() only.")},
    {0, nullptr},
};

const PyType_Spec acquisition_spec = {acquisition_name, static_cast<int>(sizeof(AcquisitionObject)), 0, 0,
                                      acquisition_slots};

PyObject* open_impl(const State& state, Ref path, std::optional<processing::PrecursorMember> member, bool salvage) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(path.get(), &size);
    if (utf8 == nullptr) return nullptr;
    const std::string_view root(utf8, static_cast<std::size_t>(size));
    if (root.find('\0') != std::string_view::npos) {  // as the interpreter's own open() refuses it
        PyErr_Format(PyExc_ValueError, message::null_in_path, "open()", "path");
        return nullptr;
    }
    auto opened = without_gil([&] { return Reader::open(root, OpenOptions{.salvage = salvage}); });
    if (!opened) {
        raise_core_error(state, opened.error(), path.get());
        return nullptr;
    }
    AcquisitionData data;
    data.reader = std::make_shared<const Reader>(std::move(*opened));
    data.path = std::move(path);
    data.member = member;
    data.salvage = salvage;
    if (member) {
        processing::Options options;
        options.precursor_mz = member;
        data.processed = std::make_shared<const Processed>(data.reader, options);
    }
    const std::optional<Salvage> dropped = data.reader->salvaged();
    Ref acquisition(result(new_instance(state.acquisition, std::move(data))));
    if (dropped && !warn_damaged_text(state, salvage_warning(*dropped))) return nullptr;
    return acquisition.release();
}

}  // namespace

std::shared_ptr<const Reader> acquisition_reader(PyObject* self) { return reader_of(self); }

std::optional<processing::PrecursorMember> acquisition_member(PyObject* self) {
    return AcquisitionObject::body(self).member;
}

int make_acquisition_types(PyObject* module, State& state) {
    state.acquisition = capi::make_type(module, acquisition_spec, capi::Creation::by_module);
    if (state.acquisition == nullptr) return -1;
    state.iterator = capi::make_type(module, iterator_spec, capi::Creation::by_module);
    return state.iterator == nullptr ? -1 : 0;
}

PyObject* open_acquisition(PyObject* module, PyObject* const* args, Py_ssize_t count, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"path", "precursor_mz", "salvage"};
        PyObject* values[3];
        if (!bind("open()", names, 3, 1, args, count, kwnames, values)) return nullptr;
        Ref path(path_argument("open()", "path", values[0]));
        if (!path) return nullptr;
        std::optional<processing::PrecursorMember> member;
        bool salvage = false;
        if (!member_argument("open()", values[1], member) || !bool_argument("open()", "salvage", values[2], salvage)) {
            return nullptr;
        }
        return open_impl(module_state(module), std::move(path), member, salvage);
    }, static_cast<PyObject*>(nullptr));
}

}  // namespace corvane::pymeridel
