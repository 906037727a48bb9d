// The Python module `corvane`, hand-written against the C API for CPython and PyPy.
//
//     class RawReader:                      # builtins.RawReader, final, no __dict__
//         def __new__(cls, path: str): ...  # opens the acquisition, decodes every scan
//         scan_count: int                   # read-only
//         def read_spectrum(self, scan_index: int) -> Spectrum: ...
//         # repr: RawReader('<path as given>', <n> scans)
//
//     class Spectrum:                       # builtins.Spectrum, final, not constructible
//         mz: list[float]                   # a new list on every read
//         intensity: list[float]            # 32-bit values widened exactly
//         ms_level: int
//         retention_time_sec: float
//         def __len__(self) -> int: ...     # number of m/z values
//         # repr: Spectrum(<n> peaks, RT <seconds, 2 decimals>s)
//
//     __all__ = ["RawReader", "Spectrum"]
//
// Core errors while opening become RuntimeError with the error's display text. No C++
// exception crosses into the interpreter: std::bad_alloc becomes MemoryError, anything
// else PanicException (a BaseException, so `except Exception` does not swallow it).
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "capi/platform.hpp"
#include "capi/runtime.hpp"
#include "reader.hpp"

namespace corvane::python {

using capi::Failure;
using capi::guarded;
using capi::Instance;
using capi::new_instance;
using capi::NullObject;
using capi::Ref;
using capi::result;

namespace {

// ---------------------------------------------------------------------------------------
// Failures at the boundary
//
// The exception names and texts written here (PanicException and its doc, the messages
// below, the "(os error N)" of the core's display texts that RuntimeError carries) are
// part of this module's frozen surface: callers match on them. Change none of them.

constexpr const char* panic_doc =
    "Raised when corvane's native code fails unexpectedly.\n\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so it\n"
    "typically propagates all the way up the stack and ends the interpreter.";

// PanicException, created at first need and kept for the process's life: the boundary
// raises it with no object at hand to find a module by. Null with an exception set when
// it cannot be created.
PyObject* panic_type() {
    static PyObject* type = nullptr;
    if (type == nullptr) {
        type = PyErr_NewExceptionWithDoc("corvane.PanicException", panic_doc,
                                         PyExc_BaseException, nullptr);
    }
    return type;
}

// Raises PanicException with the given text (lossy UTF-8: what() texts are not ours).
void raise_panic(std::string_view message) {
    PyObject* type = panic_type();
    if (type == nullptr) return;
    Ref text(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (!text) return;
    PyErr_SetObject(type, text.get());
}

// Adds the note to the pending exception through its add_note method. Interpreters
// without notes (before 3.11) and a failing add_note leave the exception as it was.
void add_note(const char* note) {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value != nullptr && PyObject_HasAttrString(value, "add_note") != 0) {
        Ref added(PyObject_CallMethod(value, "add_note", "s", note));
        if (!added) PyErr_Clear();
    }
    PyErr_Restore(type, value, traceback);
}

// RuntimeError whose only argument is message. Decoded leniently: an error text may quote
// bytes from the acquisition, and a stray byte must not turn the error into another one.
void raise_runtime_error(const std::string& message) {
    Ref text(result(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace")));
    PyErr_SetObject(PyExc_RuntimeError, text.get());
}

// ---------------------------------------------------------------------------------------
// Argument binding: one required parameter, by position or by keyword

// Every error text the module writes itself.
namespace message {
constexpr const char* too_many_positional = "%s takes 1 positional arguments but %zd were given";
constexpr const char* multiple_values = "%s got multiple values for argument '%s'";
constexpr const char* unexpected_keyword = "%s got an unexpected keyword argument '%S'";
constexpr const char* missing = "%s missing 1 required positional argument: '%s'";
constexpr const char* not_str = "'%U' object is not an instance of 'str'";
constexpr const char* none_not_str = "'None' is not an instance of 'str'";
constexpr const char* not_a_module = "corvane: the execution step needs a module object";
}  // namespace message

// The keyword arguments of either call shape: a dict (tp_new) or the names tuple of
// the fast calling convention with the values following the positional ones.
struct Keywords {
    PyObject* dict = nullptr;
    PyObject* names = nullptr;
    PyObject* const* values = nullptr;

    // Calls visit(name, value) for each keyword in the order passed; stops at false.
    template <class Visit>
    bool each(Visit&& visit) const {
        if (dict != nullptr) {
            Py_ssize_t position = 0;
            PyObject* name = nullptr;
            PyObject* value = nullptr;
            while (PyDict_Next(dict, &position, &name, &value) != 0) {
                if (!visit(name, value)) return false;
            }
        } else if (names != nullptr) {
            const Py_ssize_t count = PyTuple_Size(names);
            for (Py_ssize_t i = 0; i < count; ++i) {
                if (!visit(PyTuple_GetItem(names, i), values[i])) return false;
            }
        }
        return true;
    }
};

// The parameter's value (borrowed), or null with TypeError set.
PyObject* bind_one(const char* callable, const char* parameter, Py_ssize_t positional_count,
                   PyObject* first_positional, const Keywords& keywords) {
    if (positional_count > 1) {
        PyErr_Format(PyExc_TypeError, message::too_many_positional, callable, positional_count);
        return nullptr;
    }
    PyObject* bound = positional_count == 1 ? first_positional : nullptr;
    const bool ok = keywords.each([&](PyObject* name, PyObject* value) {
        const bool names_parameter =
            PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, parameter) == 0;
        if (!names_parameter) {
            PyErr_Format(PyExc_TypeError, message::unexpected_keyword, callable, name);
            return false;
        }
        if (bound != nullptr) {
            PyErr_Format(PyExc_TypeError, message::multiple_values, callable, parameter);
            return false;
        }
        bound = value;
        return true;
    });
    if (!ok) return nullptr;
    if (bound == nullptr) {
        PyErr_Format(PyExc_TypeError, message::missing, callable, parameter);
        return nullptr;
    }
    return bound;
}

// `path` as UTF-8 text, borrowed from the str; nothing with the exception set (and
// noted) when it is not a str or has no UTF-8 form.
std::optional<std::string_view> path_argument(PyObject* value) {
    if (!PyUnicode_Check(value)) {
        if (value == Py_None) {
            PyErr_SetString(PyExc_TypeError, message::none_not_str);
        } else if (Ref name{capi::platform::qualified_name(Py_TYPE(value))}) {
            PyErr_Format(PyExc_TypeError, message::not_str, name.get());
        }
        add_note("while processing 'path'");
        return std::nullopt;
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(value, &size);
    if (text == nullptr) {
        add_note("while processing 'path'");
        return std::nullopt;
    }
    return std::string_view(text, static_cast<std::size_t>(size));
}

// `scan_index` as an unsigned 64-bit value: an int directly, anything else through
// __index__. Nothing with the interpreter's TypeError or OverflowError set (and noted).
std::optional<std::uint64_t> index_argument(PyObject* value) {
    Ref converted;
    PyObject* number = value;
    if (!PyLong_Check(value)) {
        converted = Ref(PyNumber_Index(value));
        number = converted.get();
    }
    if (number != nullptr) {
        const unsigned long long index = PyLong_AsUnsignedLongLong(number);
        if (index != static_cast<unsigned long long>(-1) || PyErr_Occurred() == nullptr) {
            return static_cast<std::uint64_t>(index);
        }
    }
    add_note("while processing 'scan_index'");
    return std::nullopt;
}

// ---------------------------------------------------------------------------------------
// Module state: the module object's own type objects

struct State {
    PyTypeObject* reader = nullptr;
    PyTypeObject* spectrum = nullptr;
};

extern PyModuleDef module_def;

// The state of the module that made self's type. Throws NullObject (TypeError pending)
// for an object of no type of this module's.
State& state_of(PyObject* self) {
    void* state = capi::platform::module_state(Py_TYPE(self), &module_def);
    if (state == nullptr) throw NullObject{};
    return *static_cast<State*>(state);
}

// ---------------------------------------------------------------------------------------
// Spectrum

struct SpectrumData {
    std::vector<double> mz;
    std::vector<float> intensity;
    std::uint32_t ms_level = 0;
    double retention_time_sec = 0.0;

    explicit SpectrumData(const SpectrumRecord& record)
        : mz(record.mz),
          intensity(record.intensity),
          ms_level(record.ms_level),
          retention_time_sec(record.retention_time_sec) {}
    SpectrumData(SpectrumData&& other) noexcept
        : mz(std::move(other.mz)),
          intensity(std::move(other.intensity)),
          ms_level(other.ms_level),
          retention_time_sec(other.retention_time_sec) {}
};

using SpectrumObject = Instance<SpectrumData>;

constexpr const char* spectrum_name = "builtins.Spectrum";

PyObject* spectrum_mz(PyObject* self, void*) {
    return guarded([&] {
        SpectrumData& s = SpectrumObject::body(self);
        return capi::platform::float_list(s.mz);
    }, static_cast<PyObject*>(nullptr));
}

PyObject* spectrum_intensity(PyObject* self, void*) {
    return guarded([&] {
        SpectrumData& s = SpectrumObject::body(self);
        return capi::platform::float_list(s.intensity);
    }, static_cast<PyObject*>(nullptr));
}

PyObject* spectrum_ms_level(PyObject* self, void*) {
    return guarded([&] {
        SpectrumData& s = SpectrumObject::body(self);
        return result(PyLong_FromUnsignedLong(s.ms_level));
    }, static_cast<PyObject*>(nullptr));
}

PyObject* spectrum_retention_time(PyObject* self, void*) {
    return guarded([&] {
        SpectrumData& s = SpectrumObject::body(self);
        return result(PyFloat_FromDouble(s.retention_time_sec));
    }, static_cast<PyObject*>(nullptr));
}

Py_ssize_t spectrum_length(PyObject* self) {
    return guarded([&] {
        SpectrumData& s = SpectrumObject::body(self);
        return static_cast<Py_ssize_t>(s.mz.size());
    }, static_cast<Py_ssize_t>(-1));
}

PyObject* spectrum_repr(PyObject* self) {
    return guarded([&] {
        SpectrumData& s = SpectrumObject::body(self);
        const std::string text = "Spectrum(" + std::to_string(s.mz.size()) + " peaks, RT " +
                                 capi::format_fixed(s.retention_time_sec, 2) + "s)";
        return result(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    }, static_cast<PyObject*>(nullptr));
}

void spectrum_dealloc(PyObject* self) { capi::release_instance<SpectrumData>(self); }

// A new Spectrum of state's module holding copies of the record's lists, retention time
// and MS level.
PyObject* new_spectrum(const State& state, const SpectrumRecord& record) {
    return new_instance(state.spectrum, SpectrumData(record));
}

// ---------------------------------------------------------------------------------------
// RawReader

struct ReaderData {
    Reader reader;
    std::vector<SpectrumRecord> spectra;  // position i: scan-index entry i

    ReaderData(Reader r, std::vector<SpectrumRecord> s) : reader(std::move(r)), spectra(std::move(s)) {}
    ReaderData(ReaderData&& other) noexcept
        : reader(std::move(other.reader)), spectra(std::move(other.spectra)) {}
};

using ReaderObject = Instance<ReaderData>;

constexpr const char* reader_name = "builtins.RawReader";

// Opens the acquisition and decodes every scan; null with RuntimeError (the core's
// display text) when it does not open.
PyObject* reader_new_impl(PyTypeObject* type, std::string_view path) {
    auto opened = Reader::open(path);
    if (!opened) {
        raise_runtime_error(opened.error().display());
        return nullptr;
    }
    std::vector<SpectrumRecord> spectra;
    {
        // The iterator refers to the reader: it goes before the reader moves.
        const auto spectra_of = opened->iter_spectra();
        spectra.reserve(spectra_of->size_hint().first);
        while (auto record = spectra_of->next()) spectra.push_back(std::move(*record));
    }
    return new_instance(type, ReaderData(std::move(*opened), std::move(spectra)));
}

PyObject* reader_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        const Py_ssize_t count = PyTuple_Size(args);
        PyObject* first = count > 0 ? PyTuple_GetItem(args, 0) : nullptr;
        PyObject* value = bind_one("RawReader.__new__()", "path", count, first, Keywords{kwargs, nullptr, nullptr});
        if (value == nullptr) return nullptr;
        const auto path = path_argument(value);
        if (!path) return nullptr;
        return reader_new_impl(type, *path);
    }, static_cast<PyObject*>(nullptr));
}

PyObject* read_spectrum_impl(const State& state, ReaderData& r, std::uint64_t scan_index) {
    if (scan_index >= r.spectra.size()) {
        raise_runtime_error("scan " + std::to_string(scan_index) + " out of range");
        return nullptr;
    }
    return new_spectrum(state, r.spectra[static_cast<std::size_t>(scan_index)]);
}

PyObject* reader_read_spectrum(PyObject* self, PyObject* const* args, Py_ssize_t count, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* value = bind_one("RawReader.read_spectrum()", "scan_index", count,
                                   count > 0 ? args[0] : nullptr, Keywords{nullptr, kwnames, args + count});
        if (value == nullptr) return nullptr;
        const auto scan_index = index_argument(value);
        if (!scan_index) return nullptr;
        ReaderData& r = ReaderObject::body(self);
        return read_spectrum_impl(state_of(self), r, *scan_index);
    }, static_cast<PyObject*>(nullptr));
}

PyObject* reader_scan_count(PyObject* self, void*) {
    return guarded([&] {
        ReaderData& r = ReaderObject::body(self);
        return result(PyLong_FromUnsignedLongLong(r.spectra.size()));
    }, static_cast<PyObject*>(nullptr));
}

PyObject* reader_repr(PyObject* self) {
    return guarded([&] {
        ReaderData& r = ReaderObject::body(self);
        // The path exactly as given, unescaped; "scans" whatever the count.
        const std::string text = "RawReader('" + r.reader.root() + "', " + std::to_string(r.spectra.size()) + " scans)";
        return result(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    }, static_cast<PyObject*>(nullptr));
}

void reader_dealloc(PyObject* self) { capi::release_instance<ReaderData>(self); }

PyMethodDef reader_methods[] = {
    {"read_spectrum", capi::method(&reader_read_spectrum), METH_FASTCALL | METH_KEYWORDS,
     "read_spectrum($self, scan_index)\n--\n\n"
     "A new Spectrum for position scan_index (0-based, any object with __index__; negative\n"
     "positions do not count from the end). RuntimeError when scan_index >= scan_count."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef reader_getset[] = {
    {"scan_count", &reader_scan_count, nullptr, "number of scans in the acquisition (int), never 0", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot reader_slots[] = {
    {Py_tp_new, capi::slot(&reader_new)},
    {Py_tp_repr, capi::slot(&reader_repr)},
    {Py_tp_dealloc, capi::slot(&reader_dealloc)},
    {Py_tp_doc, const_cast<char*>("RawReader(path)\n--\n\n")},
    {Py_tp_methods, reader_methods},
    {Py_tp_getset, reader_getset},
    {0, nullptr},
};

// Flags are the runtime's (final, immutable).
const PyType_Spec reader_spec = {reader_name, static_cast<int>(sizeof(ReaderObject)), 0, 0, reader_slots};

PyGetSetDef spectrum_getset[] = {
    {"mz", &spectrum_mz, nullptr, "m/z values: a new list of float on every read", nullptr},
    {"intensity", &spectrum_intensity, nullptr,
     "intensities: a new list of float on every read, the stored 32-bit values widened exactly", nullptr},
    {"ms_level", &spectrum_ms_level, nullptr, "the MS level (int): 1 for a survey scan, 2 and above for fragments",
     nullptr},
    {"retention_time_sec", &spectrum_retention_time, nullptr, "the retention time in seconds (float)", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot spectrum_slots[] = {
    {Py_mp_length, capi::slot(&spectrum_length)},
    {Py_tp_repr, capi::slot(&spectrum_repr)},
    {Py_tp_dealloc, capi::slot(&spectrum_dealloc)},
    {Py_tp_getset, spectrum_getset},
    {0, nullptr},
};

const PyType_Spec spectrum_spec = {spectrum_name, static_cast<int>(sizeof(SpectrumObject)), 0, 0, spectrum_slots};

// ---------------------------------------------------------------------------------------
// Module

int clear_module(PyObject* module);

// Where the interpreter allows it (CPython) each module object has type objects of its
// own, held in its state; elsewhere (PyPy) the states hold the process's.
int exec_module(PyObject* module) {
    return guarded([&] {
        if (!capi::is_module(module, message::not_a_module)) return -1;
        clear_module(module);  // executed again: the types are made anew
        State& state = *static_cast<State*>(PyModule_GetState(module));
        Ref reader(reinterpret_cast<PyObject*>(capi::make_type(module, reader_spec, capi::Creation::by_tp_new)));
        if (!reader) return -1;
        Ref spectrum(reinterpret_cast<PyObject*>(capi::make_type(module, spectrum_spec, capi::Creation::by_module)));
        if (!spectrum) return -1;
        if (capi::add_to_module(module, "RawReader", reader.get()) < 0) return -1;
        if (capi::add_to_module(module, "Spectrum", spectrum.get()) < 0) return -1;
        state.reader = reinterpret_cast<PyTypeObject*>(reader.release());
        state.spectrum = reinterpret_cast<PyTypeObject*>(spectrum.release());
        return 0;
    }, -1);
}

int traverse_module(PyObject* module, visitproc visit, void* arg) {
    auto* state = static_cast<State*>(PyModule_GetState(module));
    if (state == nullptr) return 0;
    Py_VISIT(state->reader);
    Py_VISIT(state->spectrum);
    return 0;
}

int clear_module(PyObject* module) {
    auto* state = static_cast<State*>(PyModule_GetState(module));
    if (state == nullptr) return 0;
    Py_CLEAR(state->reader);
    Py_CLEAR(state->spectrum);
    return 0;
}

void free_module(void* module) { clear_module(static_cast<PyObject*>(module)); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, capi::slot(&exec_module)},
#ifdef Py_mod_multiple_interpreters
    // PanicException is the process's (and on PyPy the type objects are too).
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "corvane", "", static_cast<Py_ssize_t>(sizeof(State)), nullptr, module_slots,
    &traverse_module, &clear_module, &free_module,
};

}  // namespace
}  // namespace corvane::python

namespace corvane::capi {

// NullObject: the interpreter's own exception (usually MemoryError) goes to the
// unraisable hook and the caller sees the panic. A failure while raising cannot be
// reported in Python any more: write a diagnostic and abort.
void raise_unexpected(Failure failure, std::string_view what) noexcept {
    try {
        if (failure == Failure::null_object && PyErr_Occurred() != nullptr) PyErr_WriteUnraisable(nullptr);
        python::raise_panic(failure == Failure::unknown ? "corvane: native code failed without a message" : what);
    } catch (...) {
        std::fputs("corvane: uncaught panic at ffi boundary\n", stderr);
        std::abort();
    }
}

}  // namespace corvane::capi

PyMODINIT_FUNC PyInit_corvane() {
    return PyModuleDef_Init(&corvane::python::module_def);
}
