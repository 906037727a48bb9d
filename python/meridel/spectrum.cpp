// meridel.Spectrum: one decoded scan. It shares its record (never copied) with the
// Buffers it hands out for mz and intensity; pickles by value.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstring>

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

// The precursor as the tuple (msn_value_1, msn_value_2, reference), or None: the
// Precursor's members, and what a pickle stores.
PyObject* precursor_members(const SpectrumRecord& r) {
    if (!r.precursor) Py_RETURN_NONE;
    Ref msn1(optional_float(r.precursor->msn_value_1));
    Ref msn2(optional_float(r.precursor->msn_value_2));
    Ref reference(optional_text(r.precursor->reference));
    return result(PyTuple_Pack(3, msn1.get(), msn2.get(), reference.get()));
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
PyObject* spectrum_reduce(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        const SpectrumRecord& r = record_of(self);
        Ref precursor(precursor_members(r));
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

PyMethodDef spectrum_methods[] = {
    {"__reduce__", method(&spectrum_reduce), METH_NOARGS, "__reduce__($self)\n--\n\nPickles by value."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef spectrum_getset[] = {
    {"index", &spectrum_index, nullptr, "position in the scan index", nullptr},
    {"native_id", &spectrum_native_id, nullptr, "\"scanId=N\"", nullptr},
    {"scan_id", &spectrum_scan_id, nullptr, nullptr, nullptr},
    {"ms_level", &spectrum_ms_level, nullptr, nullptr, nullptr},
    {"retention_time_sec", &spectrum_rt, nullptr, nullptr, nullptr},
    {"mz_first", &spectrum_mz_first, nullptr, "float or None", nullptr},
    {"mz_last", &spectrum_mz_last, nullptr, "float or None", nullptr},
    {"precursor", &spectrum_precursor, nullptr, "meridel.Precursor for MS level 2 and above, else None", nullptr},
    {"is_profile", &spectrum_is_profile, nullptr, "the points came from profile (continuum) data", nullptr},
    {"instrument_kind", &spectrum_instrument_kind, nullptr, nullptr, nullptr},
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
        if (ok && error != Py_None) {
            Py_ssize_t size = 0;
            const char* message = PyUnicode_Check(error) ? PyUnicode_AsUTF8AndSize(error, &size) : nullptr;
            ok = message != nullptr;
            if (ok) record->error = std::string(message, static_cast<std::size_t>(size));
        }
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
            PrecursorInfo info;
            ok = PyTuple_Check(precursor) && PyArg_ParseTuple(precursor, "OOO", &msn1, &msn2, &reference) != 0 &&
                 optional_double_from(msn1, info.msn_value_1) && optional_double_from(msn2, info.msn_value_2);
            if (ok && reference != Py_None) {
                Py_ssize_t size = 0;
                const char* ref = PyUnicode_Check(reference) ? PyUnicode_AsUTF8AndSize(reference, &size) : nullptr;
                ok = ref != nullptr;
                if (ok) info.reference = std::string(ref, static_cast<std::size_t>(size));
            }
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
