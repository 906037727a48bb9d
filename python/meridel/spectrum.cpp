// meridel.Spectrum: one decoded scan. It shares its record (never copied) with the
// Buffers it hands out for mz and intensity; pickles by value.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstring>

#include "centroid.hpp"
#include "meridel.hpp"

namespace corvane::pymeridel {

namespace {

struct SpectrumData {
    std::shared_ptr<const SpectrumRecord> record;
};

using SpectrumObject = Object<SpectrumData>;

constexpr const char* spectrum_name = "meridel.Spectrum";

// The record of a Spectrum; throws for one whose body was never built.
const SpectrumRecord& record_of(PyObject* self) { return *SpectrumObject::body(self).record; }

PyObject* optional_float(const std::optional<double>& value) {
    if (!value) Py_RETURN_NONE;
    return result(PyFloat_FromDouble(*value));
}

PyObject* optional_text(const std::optional<std::string>& value) {
    if (!value) Py_RETURN_NONE;
    return text(*value);
}

PyObject* optional_charge(const std::optional<std::uint32_t>& value) {
    if (!value) Py_RETURN_NONE;
    return result(PyLong_FromUnsignedLong(*value));
}

// The selected ion as the tuple (mz, charge, monoisotopic_mz, envelope_scan), or None.
PyObject* selected_ion_members(const PrecursorInfo& p) {
    if (!p.selected_ion) Py_RETURN_NONE;
    const SelectedIon& ion = *p.selected_ion;
    Ref mz(result(PyFloat_FromDouble(ion.mz)));
    Ref charge(optional_charge(ion.charge));
    Ref monoisotopic(optional_float(ion.monoisotopic_mz));
    Ref envelope(optional_text(ion.envelope_scan));
    return result(PyTuple_Pack(4, mz.get(), charge.get(), monoisotopic.get(), envelope.get()));
}

// The precursor as the tuple (msn_value_1, msn_value_2, reference), followed by the
// selected ion's tuple when there is one, or None: what a pickle stores.
PyObject* precursor_state(const SpectrumRecord& r) {
    if (!r.precursor) Py_RETURN_NONE;
    Ref msn1(optional_float(r.precursor->msn_value_1));
    Ref msn2(optional_float(r.precursor->msn_value_2));
    Ref reference(optional_text(r.precursor->reference));
    if (!r.precursor->selected_ion) return result(PyTuple_Pack(3, msn1.get(), msn2.get(), reference.get()));
    Ref ion(selected_ion_members(*r.precursor));
    return result(PyTuple_Pack(4, msn1.get(), msn2.get(), reference.get(), ion.get()));
}

// The Precursor's seven members, or None.
PyObject* precursor_members(const SpectrumRecord& r) {
    if (!r.precursor) Py_RETURN_NONE;
    const PrecursorInfo& p = *r.precursor;
    Ref msn1(optional_float(p.msn_value_1));
    Ref msn2(optional_float(p.msn_value_2));
    Ref reference(optional_text(p.reference));
    if (!p.selected_ion) {
        return result(PyTuple_Pack(7, msn1.get(), msn2.get(), reference.get(), Py_None, Py_None, Py_None, Py_None));
    }
    Ref mz(result(PyFloat_FromDouble(p.selected_ion->mz)));
    Ref charge(optional_charge(p.selected_ion->charge));
    Ref monoisotopic(optional_float(p.selected_ion->monoisotopic_mz));
    Ref envelope(optional_text(p.selected_ion->envelope_scan));
    return result(PyTuple_Pack(7, msn1.get(), msn2.get(), reference.get(), mz.get(), charge.get(),
                               monoisotopic.get(), envelope.get()));
}

#define SPECTRUM_GETTER(name, body)                                                        \
    PyObject* name(PyObject* self, void*) {                                                \
        return guarded([&]() -> PyObject* {                                                \
            const SpectrumRecord& r = record_of(self);                                     \
            body                                                                           \
        }, static_cast<PyObject*>(nullptr));                                               \
    }

SPECTRUM_GETTER(spectrum_index, return result(PyLong_FromUnsignedLongLong(r.index));)
SPECTRUM_GETTER(spectrum_native_id, return text(r.native_id);)
SPECTRUM_GETTER(spectrum_scan_id, return result(PyLong_FromUnsignedLong(r.scan_id));)
SPECTRUM_GETTER(spectrum_ms_level, return result(PyLong_FromUnsignedLong(r.ms_level));)
SPECTRUM_GETTER(spectrum_rt, return result(PyFloat_FromDouble(r.retention_time_sec));)
SPECTRUM_GETTER(spectrum_mz_first, return optional_float(r.mz_first);)
SPECTRUM_GETTER(spectrum_mz_last, return optional_float(r.mz_last);)
SPECTRUM_GETTER(spectrum_is_profile, return result(PyBool_FromLong(r.is_profile ? 1 : 0));)
SPECTRUM_GETTER(spectrum_error, return optional_text(r.error);)
SPECTRUM_GETTER(spectrum_instrument_kind, return result(PyLong_FromUnsignedLong(r.instrument_kind));)
SPECTRUM_GETTER(spectrum_precursor, {
    Ref members(precursor_members(r));
    if (members.get() == Py_None) return members.release();
    return result(PyObject_CallObject(state_of(self).precursor, members.get()));
})
SPECTRUM_GETTER(spectrum_mz, {
    return vector_buffer(state_of(self), SpectrumObject::body(self).record, r.mz, Lifetime::of_scan);
})
SPECTRUM_GETTER(spectrum_intensity, {
    return vector_buffer(state_of(self), SpectrumObject::body(self).record, r.intensity, Lifetime::of_scan);
})

#undef SPECTRUM_GETTER

Py_ssize_t spectrum_length(PyObject* self) {
    return guarded([&] { return static_cast<Py_ssize_t>(record_of(self).mz.size()); }, Py_ssize_t{-1});
}

PyObject* spectrum_repr(PyObject* self) {
    return guarded([&] {
        const SpectrumRecord& r = record_of(self);
        const std::string repr = "<meridel.Spectrum index=" + std::to_string(r.index) +
                                 " scanId=" + std::to_string(r.scan_id) +
                                 " ms_level=" + std::to_string(r.ms_level) +
                                 " rt=" + capi::format_fixed(r.retention_time_sec, 3) +
                                 "s points=" + std::to_string(r.mz.size()) +
                                 (r.is_profile ? " profile>" : " centroid>");
        return text(repr);
    }, static_cast<PyObject*>(nullptr));
}

// (meridel._restore_spectrum, (state,)) with state = (index, native_id, scan_id, ms_level,
// rt, mz_first, mz_last, precursor tuple or None, mz bytes, intensity bytes, is_profile,
// instrument_kind, error str or None); the lists as their native bytes. A state without
// the last member (pickled before spectra carried their error) restores with error None.
// The precursor tuple is (msn_value_1, msn_value_2, reference) and, when the precursor has
// a selected ion, (mz, charge, monoisotopic_mz, envelope_scan) as a fourth member; a
// three-member one (pickled before precursors were declared) restores without.
PyObject* spectrum_reduce(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        const SpectrumRecord& r = record_of(self);
        Ref precursor(precursor_state(r));
        Ref mz_first(optional_float(r.mz_first));
        Ref mz_last(optional_float(r.mz_last));
        Ref native_id(text(r.native_id));
        Ref mz(result(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(r.mz.data()),
                                                static_cast<Py_ssize_t>(r.mz.size() * sizeof(double)))));
        Ref intensity(result(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(r.intensity.data()),
                                                       static_cast<Py_ssize_t>(r.intensity.size() * sizeof(float)))));
        Ref error(optional_text(r.error));
        Ref state(result(Py_BuildValue("(KOkkdOOOOOikO)", static_cast<unsigned long long>(r.index), native_id.get(),
                                       static_cast<unsigned long>(r.scan_id), static_cast<unsigned long>(r.ms_level),
                                       r.retention_time_sec, mz_first.get(), mz_last.get(), precursor.get(), mz.get(),
                                       intensity.get(), r.is_profile ? 1 : 0,
                                       static_cast<unsigned long>(r.instrument_kind), error.get())));
        Ref module(result(PyImport_ImportModule("meridel")));
        Ref restore(result(PyObject_GetAttrString(module.get(), "_restore_spectrum")));
        return result(Py_BuildValue("(O(O))", restore.get(), state.get()));
    }, static_cast<PyObject*>(nullptr));
}

// A new Spectrum of the picked peaks, as a Processor with centroid set makes it
// (processing.cpp): the same record with the lists picked and is_profile false. A spectrum
// that is not profile data, or carries an error, has nothing to pick: itself.
PyObject* spectrum_centroid(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        const std::shared_ptr<const SpectrumRecord>& owner = SpectrumObject::body(self).record;
        if (!owner->is_profile || owner->error) {
            Py_INCREF(self);
            return self;
        }
        auto picked = without_gil([&] {
            auto record = std::make_shared<SpectrumRecord>();
            record->index = owner->index;
            record->native_id = owner->native_id;
            record->scan_id = owner->scan_id;
            record->ms_level = owner->ms_level;
            record->retention_time_sec = owner->retention_time_sec;
            record->mz_first = owner->mz_first;
            record->mz_last = owner->mz_last;
            record->precursor = owner->precursor;
            record->instrument_kind = owner->instrument_kind;
            centroid::Peaks peaks = centroid::pick(owner->mz, owner->intensity);
            record->mz = std::move(peaks.mz);
            record->intensity = std::move(peaks.intensity);
            record->is_profile = false;
            return record;
        });
        return new_spectrum(state_of(self), std::move(picked));
    }, static_cast<PyObject*>(nullptr));
}

// pandas.DataFrame with columns mz and intensity, one row per point.
PyObject* spectrum_to_frame(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        (void)record_of(self);
        Ref mz(PyObject_GetAttrString(self, "mz"));  // the property: PyPy makes its Buffers in Python
        if (!mz) return nullptr;
        Ref intensity(PyObject_GetAttrString(self, "intensity"));
        if (!intensity) return nullptr;
        return data_frame("to_frame()", {{"mz", mz.get()}, {"intensity", intensity.get()}});
    }, static_cast<PyObject*>(nullptr));
}

// A short HTML table for Jupyter: the scan's header and its five most intense points.
PyObject* spectrum_repr_html(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        const SpectrumRecord& r = record_of(self);
        std::string html = "<table class=\"meridel-spectrum\"><caption>meridel.Spectrum</caption>";
        const auto row = [&](std::string_view name, std::string_view value) { html_row(html, name, value); };
        row("scan", r.native_id + " (index " + std::to_string(r.index) + ")");
        row("MS level", std::to_string(r.ms_level));
        row("retention time", capi::format_fixed(r.retention_time_sec, 3) + " s");
        row("points", std::to_string(r.mz.size()) + (r.is_profile ? " (profile)" : " (centroid)"));
        if (r.mz_first && r.mz_last) {
            row("m/z range", capi::format_fixed(*r.mz_first, 4) + " - " + capi::format_fixed(*r.mz_last, 4));
        }
        if (r.precursor && r.precursor->selected_ion) {
            const SelectedIon& ion = *r.precursor->selected_ion;
            row("precursor m/z", capi::format_fixed(ion.mz, 4) +
                                     (ion.charge ? " (charge " + std::to_string(*ion.charge) + ")" : std::string()));
        }
        if (r.error) row("error", *r.error);
        // The most intense points, as a quick look at what the scan holds (NaN last).
        std::vector<std::size_t> order(r.mz.size());
        for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
        const std::size_t shown = std::min<std::size_t>(5, order.size());
        std::partial_sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(shown), order.end(),
                          [&](std::size_t a, std::size_t b) {
                              const float x = r.intensity[a];
                              const float y = r.intensity[b];
                              if (std::isnan(x) != std::isnan(y)) return std::isnan(y);
                              return x > y || (!(x < y) && a < b);
                          });
        std::string top;
        for (std::size_t k = 0; k < shown; ++k) {
            top += (k == 0 ? "" : ", ") + capi::format_fixed(r.mz[order[k]], 4) + " (" +
                   capi::format_fixed(static_cast<double>(r.intensity[order[k]]), 1) + ")";
        }
        if (!top.empty()) row("most intense m/z", top);
        html += "</table>";
        return text(html);
    }, static_cast<PyObject*>(nullptr));
}

PyMethodDef spectrum_methods[] = {
    {"__reduce__", method(&spectrum_reduce), METH_NOARGS, "__reduce__($self)\n--\n\nPickles by value."},
    {"to_frame", method(&spectrum_to_frame), METH_NOARGS,
     "to_frame($self)\n--\n\n"
     "The points as a pandas.DataFrame with columns mz (float64) and intensity (float32), one\n"
     "row per point, in point order. Needs pandas: pip install 'corvane[pandas]'."},
    {"_repr_html_", method(&spectrum_repr_html), METH_NOARGS,
     "_repr_html_($self)\n--\n\nA short HTML table of the scan for Jupyter, with its five most intense points."},
    {"centroid", method(&spectrum_centroid), METH_NOARGS,
     "centroid($self)\n--\n\n"
     "The spectrum with its profile points picked into centroid peaks: a new Spectrum with\n"
     "is_profile False, the same as iter(centroid=True) gives (each local maximum above the\n"
     "noise rule is a peak at the interpolated top, with the apex's measured height). Itself\n"
     "when it is not profile data, or its data could not be decoded."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef spectrum_getset[] = {
    {"index", &spectrum_index, nullptr, "position in the scan index (0 for the first scan)", nullptr},
    {"native_id", &spectrum_native_id, nullptr, "the scan's native identifier, \"scanId=N\" with N its scan_id", nullptr},
    {"scan_id", &spectrum_scan_id, nullptr, "the scan's number as the index records it (int)", nullptr},
    {"ms_level", &spectrum_ms_level, nullptr, "the MS level: 1 for a survey scan, 2 and above for fragment scans",
     nullptr},
    {"retention_time_sec", &spectrum_rt, nullptr, "the retention time in seconds (the index's minutes times 60)",
     nullptr},
    {"mz_first", &spectrum_mz_first, nullptr, "the low end of the scan's m/z range as the index records it, or None",
     nullptr},
    {"mz_last", &spectrum_mz_last, nullptr, "the high end of the scan's m/z range as the index records it, or None",
     nullptr},
    {"precursor", &spectrum_precursor, nullptr, "meridel.Precursor for MS level 2 and above, else None", nullptr},
    {"is_profile", &spectrum_is_profile, nullptr, "the points came from profile (continuum) data", nullptr},
    {"instrument_kind", &spectrum_instrument_kind, nullptr,
     "the instrument family code the scan index records for the scan (int)", nullptr},
    {"error", &spectrum_error, nullptr,
     "None, or the text of the failure that left the lists empty (a data block that could not be read "
     "or decoded)",
     nullptr},
    {"mz", &spectrum_mz, nullptr, "m/z values: meridel.Buffer of 'd', sharing the spectrum's memory", nullptr},
    {"intensity", &spectrum_intensity, nullptr, "intensities: meridel.Buffer of 'f', sharing the spectrum's memory",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot spectrum_slots[] = {
    {Py_mp_length, slot(&spectrum_length)},
    {Py_tp_repr, slot(&spectrum_repr)},
    {Py_tp_dealloc, slot(&dealloc<SpectrumData>)},
    {Py_tp_methods, spectrum_methods},
    {Py_tp_getset, spectrum_getset},
    {Py_tp_doc, const_cast<char*>("One decoded scan; from an Acquisition only. len() is its number of points.")},
    {0, nullptr},
};

const PyType_Spec spectrum_layout = {spectrum_name, static_cast<int>(sizeof(SpectrumObject)), 0, 0, spectrum_slots};

// Values of a pickled state, checked.
bool optional_double_from(PyObject* value, std::optional<double>& out) {
    if (value == Py_None) return true;
    const double v = PyFloat_AsDouble(value);
    if (v == -1.0 && PyErr_Occurred() != nullptr) return false;
    out = v;
    return true;
}

bool optional_text_from(PyObject* value, std::optional<std::string>& out) {
    if (value == Py_None) return true;
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_Check(value) ? PyUnicode_AsUTF8AndSize(value, &size) : nullptr;
    if (utf8 == nullptr) return false;
    out = std::string(utf8, static_cast<std::size_t>(size));
    return true;
}

// (mz, charge, monoisotopic_mz, envelope_scan) or None.
bool selected_ion_from(PyObject* value, std::optional<SelectedIon>& out) {
    if (value == Py_None) return true;
    PyObject* mz = nullptr;
    PyObject* charge = nullptr;
    PyObject* monoisotopic = nullptr;
    PyObject* envelope = nullptr;
    SelectedIon ion;
    std::optional<double> given_mz;
    if (!PyTuple_Check(value) || PyArg_ParseTuple(value, "OOOO", &mz, &charge, &monoisotopic, &envelope) == 0 ||
        mz == Py_None || !optional_double_from(mz, given_mz) ||
        !optional_double_from(monoisotopic, ion.monoisotopic_mz) || !optional_text_from(envelope, ion.envelope_scan)) {
        return false;
    }
    ion.mz = *given_mz;
    if (charge != Py_None) {
        if (!PyLong_Check(charge)) return false;
        const unsigned long number = PyLong_AsUnsignedLong(charge);
        if (PyErr_Occurred() != nullptr || number > 0xFFFFFFFFUL) return false;
        ion.charge = static_cast<std::uint32_t>(number);
    }
    out = std::move(ion);
    return true;
}

template <class T>
bool vector_from(PyObject* bytes, std::vector<T>& out) {
    if (!PyBytes_Check(bytes) || PyBytes_Size(bytes) % static_cast<Py_ssize_t>(sizeof(T)) != 0) return false;
    const auto size = static_cast<std::size_t>(PyBytes_Size(bytes));
    out.resize(size / sizeof(T));
    if (size != 0) std::memcpy(out.data(), PyBytes_AsString(bytes), size);
    return true;
}

}  // namespace

PyObject* spectrum_values(PyObject* module, PyObject* const* args, Py_ssize_t count) {
    return guarded([&]() -> PyObject* {
        if (count != 2 || !PyObject_TypeCheck(args[0], module_state(module).spectrum) || !PyLong_Check(args[1])) {
            PyErr_SetString(PyExc_TypeError, "_spectrum_values(spectrum, which)");
            return nullptr;
        }
        const long which = PyLong_AsLong(args[1]);
        const auto& owner = SpectrumObject::body(args[0]).record;
        // The caller takes the length from len(spectrum): the lists are of equal length.
        if (which == 0) return capi::platform::kept_address({owner, owner->mz.data(), owner->mz.size(), 'd'});
        if (which != 1 || owner->intensity.size() != owner->mz.size()) {
            PyErr_SetString(PyExc_ValueError, "_spectrum_values(spectrum, which)");
            return nullptr;
        }
        return capi::platform::kept_address({owner, owner->intensity.data(), owner->intensity.size(), 'f'});
    }, static_cast<PyObject*>(nullptr));
}

int make_spectrum_type(PyObject* module, State& state) {
    state.spectrum = capi::make_type(module, spectrum_layout, capi::Creation::by_module);
    return state.spectrum == nullptr ? -1 : 0;
}

PyObject* new_spectrum(const State& state, std::shared_ptr<const SpectrumRecord> record) {
    // Where the collector does not see the record's arrays, they are counted while held.
    const SpectrumRecord* raw = record.get();
    const std::size_t bytes = raw->mz.capacity() * sizeof(double) + raw->intensity.capacity() * sizeof(float);
    std::shared_ptr<const SpectrumRecord> held(capi::platform::paced(std::move(record), bytes), raw);
    return result(new_instance(state.spectrum, SpectrumData{std::move(held)}));
}

PyObject* restore_spectrum(PyObject* module, PyObject* state) {
    return guarded([&]() -> PyObject* {
        auto record = std::make_shared<SpectrumRecord>();
        unsigned long long index = 0;
        PyObject* native_id = nullptr;
        unsigned long scan_id = 0;
        unsigned long ms_level = 0;
        PyObject* mz_first = nullptr;
        PyObject* mz_last = nullptr;
        PyObject* precursor = nullptr;
        PyObject* mz = nullptr;
        PyObject* intensity = nullptr;
        int is_profile = 0;
        unsigned long kind = 0;
        PyObject* error = Py_None;
        bool ok = PyTuple_Check(state) &&
                  PyArg_ParseTuple(state, "KUkkdOOOOOpk|O", &index, &native_id, &scan_id, &ms_level,
                                   &record->retention_time_sec, &mz_first, &mz_last, &precursor, &mz, &intensity,
                                   &is_profile, &kind, &error) != 0;
        if (ok) ok = optional_text_from(error, record->error);
        if (ok) {
            Py_ssize_t size = 0;
            const char* id = PyUnicode_AsUTF8AndSize(native_id, &size);
            ok = id != nullptr && scan_id <= 0xFFFFFFFFUL && ms_level <= 0xFFFFFFFFUL && kind <= 0xFFUL &&
                 optional_double_from(mz_first, record->mz_first) && optional_double_from(mz_last, record->mz_last) &&
                 vector_from(mz, record->mz) && vector_from(intensity, record->intensity) &&
                 record->mz.size() == record->intensity.size();
            if (ok) record->native_id.assign(id, static_cast<std::size_t>(size));
        }
        if (ok && precursor != Py_None) {
            PyObject* msn1 = nullptr;
            PyObject* msn2 = nullptr;
            PyObject* reference = nullptr;
            PyObject* ion = Py_None;
            PrecursorInfo info;
            ok = PyTuple_Check(precursor) &&
                 PyArg_ParseTuple(precursor, "OOO|O", &msn1, &msn2, &reference, &ion) != 0 &&
                 optional_double_from(msn1, info.msn_value_1) && optional_double_from(msn2, info.msn_value_2) &&
                 optional_text_from(reference, info.reference) && selected_ion_from(ion, info.selected_ion);
            record->precursor = std::move(info);
        }
        if (!ok) {
            PyErr_Clear();
            PyErr_SetString(PyExc_ValueError, message::bad_state);
            return nullptr;
        }
        record->index = index;
        record->scan_id = static_cast<std::uint32_t>(scan_id);
        record->ms_level = static_cast<std::uint32_t>(ms_level);
        record->is_profile = is_profile != 0;
        record->instrument_kind = static_cast<std::uint8_t>(kind);
        return new_spectrum(module_state(module), std::move(record));
    }, static_cast<PyObject*>(nullptr));
}

}  // namespace corvane::pymeridel
