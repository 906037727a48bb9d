// The platform interface on PyPy. PyPy frees an object of an extension module only when
// its collector finds it dead, and every C-API call crosses cpyext's emulation layer.
// So exports are made in Python by the views module (whose memoryviews PyPy frees in
// cheap minor collections), the native memory of live records is counted here to pace
// the collector, lists go over in one piece, and the refusals CPython makes by itself
// are the runtime's.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <unordered_map>

#include "capi/platform.hpp"
#include "capi/runtime.hpp"

namespace corvane::capi::platform {

namespace {

// ---------------------------------------------------------------------------------------
// Lists: one memcpy into an array.array of the right size, and the interpreter's own
// array.tolist() builds the list; four crossings per list whatever its length.

// One-element zero arrays of each code (the templates that `*` repeats) and the names of
// the calls; made at first use and kept for the process's life, like the type objects.
struct ArrayCalls {
    PyObject* zero_double = nullptr;  // array('d', [0.0]): C double
    PyObject* zero_float = nullptr;   // array('f', [0.0]): C float
    PyObject* buffer_info = nullptr;
    PyObject* tolist = nullptr;
};

const ArrayCalls& array_calls() {
    static ArrayCalls calls;
    if (calls.tolist != nullptr) return calls;
    Ref module(result(PyImport_ImportModule("array")));
    Ref zero_double(result(PyObject_CallMethod(module.get(), "array", "s[d]", "d", 0.0)));
    Ref zero_float(result(PyObject_CallMethod(module.get(), "array", "s[d]", "f", 0.0)));
    Ref buffer_info(result(PyUnicode_InternFromString("buffer_info")));
    Ref tolist(result(PyUnicode_InternFromString("tolist")));
    calls.zero_double = zero_double.release();
    calls.zero_float = zero_float.release();
    calls.buffer_info = buffer_info.release();
    calls.tolist = tolist.release();
    return calls;
}

// (zero * n) gives an array of the final size. (PyMemoryView_FromMemory would save the
// zero fill, but leaks about 1 KiB per call in PyPy 7.3.11.)
template <class T>
PyObject* list_through_array(const std::vector<T>& values, PyObject* ArrayCalls::*zero) {
    static_assert(sizeof(double) == 8 && sizeof(float) == 4, "array codes d and f");
    if (values.empty()) return result(PyList_New(0));
    const ArrayCalls& calls = array_calls();
    Ref array(result(PySequence_Repeat(calls.*zero, static_cast<Py_ssize_t>(values.size()))));
    // buffer_info() is (address, length in elements) of the array's own storage.
    Ref info(result(PyObject_CallMethodObjArgs(array.get(), calls.buffer_info, nullptr)));
    void* address = PyLong_AsVoidPtr(PyTuple_GetItem(info.get(), 0));
    const Py_ssize_t length = PyLong_AsSsize_t(PyTuple_GetItem(info.get(), 1));
    if (address == nullptr || length < 0 || static_cast<std::size_t>(length) != values.size()) {
        throw std::logic_error("array.buffer_info() does not describe the new array");
    }
    std::memcpy(address, values.data(), values.size() * sizeof(T));
    return result(PyObject_CallMethodObjArgs(array.get(), calls.tolist, nullptr));
}

// ---------------------------------------------------------------------------------------
// Exports
//
// A buffer is the views module's Buffer, whose exports the interpreter frees without a
// major collection (see meridel/_views.py). This side keeps the owner of the values at
// each address for as long as a weak reference that the views module keeps with that
// address says a buffer of them may still be read. The values at one address have one
// owner at a time: another cannot have its values there while this one is kept.

const double empty_storage = 0.0;  // the address of an empty export
const char* views_name = nullptr;  // set by start_exports

struct Views {
    PyObject* make = nullptr;   // _make(address, nbytes, format, call_back) -> Buffer
    PyObject* sweep = nullptr;  // _sweep() -> the addresses of the dead references, removed
    PyObject* minor = nullptr;  // _minor(): one minor collection
};

struct Held {
    std::shared_ptr<const void> owner;
    std::size_t references = 0;  // weak references kept with this address
};

// Never destroyed, as it may still hold owners when the interpreter has gone.
std::unordered_map<std::uintptr_t, Held>& owners = *new std::unordered_map<std::uintptr_t, Held>;
std::size_t references = 0;        // kept in all
std::size_t references_swept = 0;  // kept after the last sweep
bool sweeping = false;             // a sweep runs Python code, which may collect and call back

const Views* views() {
    static Views loaded;
    if (loaded.sweep != nullptr) return &loaded;
    if (views_name == nullptr) {
        PyErr_SetString(PyExc_SystemError, "buffer exports used before start_exports");
        return nullptr;
    }
    Ref module(PyImport_ImportModule(views_name));
    if (!module) return nullptr;
    Ref make(PyObject_GetAttrString(module.get(), "_make"));
    Ref sweep(PyObject_GetAttrString(module.get(), "_sweep"));
    Ref minor(PyObject_GetAttrString(module.get(), "_minor"));
    if (!make || !sweep || !minor) return nullptr;
    loaded.make = make.release();
    loaded.minor = minor.release();
    loaded.sweep = sweep.release();  // last: views() is loaded once this is set
    return &loaded;
}

// One reference fewer to the values at address; the owner goes with the last.
void let_go(std::uintptr_t address) {
    const auto held = owners.find(address);
    if (held == owners.end()) return;
    --references;
    if (--held->second.references == 0) owners.erase(held);  // runs the deleter of an owner let go
}

// Keeps the owner for one more buffer of the values; returns their address, or a valid
// one that nothing keeps when there are none.
std::uintptr_t keep(Values values) {
    if (values.count == 0) return reinterpret_cast<std::uintptr_t>(&empty_storage);
    // Sweeping now and then bounds the owners of buffers that died without a collection.
    if (references >= 2 * references_swept + 64) release_dead_exports();
    const auto address = reinterpret_cast<std::uintptr_t>(values.data);
    Held& held = owners[address];
    if (!held.owner) held.owner = std::move(values.owner);
    ++held.references;
    ++references;
    return address;
}

// The format as a str, made once per format.
PyObject* format_text(char format) {
    static PyObject* texts[5] = {};
    static constexpr char formats[5] = {'d', 'f', 'Q', 'I', 'q'};
    for (std::size_t k = 0; k < 5; ++k) {
        if (formats[k] != format) continue;
        if (texts[k] == nullptr) texts[k] = PyUnicode_FromStringAndSize(&formats[k], 1);
        return texts[k];
    }
    PyErr_SetString(PyExc_SystemError, "unknown buffer format");
    return nullptr;
}

// Has the interpreter run a minor collection, which frees the objects that died young.
void collect_young() {
    const Views* v = views();
    PyObject* done = v == nullptr ? nullptr : PyObject_CallNoArgs(v->minor);
    Py_XDECREF(done);
    PyErr_Clear();  // a failed collection only postpones the release
}

void collect() {
    PyObject* gc = PyImport_ImportModule("gc");
    PyObject* done = gc == nullptr ? nullptr : PyObject_CallMethod(gc, "collect", nullptr);
    Py_XDECREF(done);
    Py_XDECREF(gc);
    PyErr_Clear();  // a failed collection only postpones the release
}

// ---------------------------------------------------------------------------------------
// Pacing
//
// The collector sees only its own small heap, not the arrays a spectrum holds: iterating
// a run would keep most of it. Telling it of every spectrum's bytes (PyTraceMalloc_Track)
// bounds that, but starts a major collection every few spectra, which made iterating
// half again as slow as on CPython. So the bytes that records hold are counted here.
// Whenever they have grown by `slack` since the least they were at the last such point,
// the interpreter runs a minor collection, which frees the spectra, buffers and views
// that died young, as most of them do; and when they have grown by `wide` since the
// least they were after the last full collection, a full one, which also frees those
// that lived through a minor collection before they died. Records that are kept cost a
// minor collection per `slack` and a full one per `wide` of them. Counts change with the
// interpreter lock held.
//
// The record made last is most likely one the caller still holds (a loop's variable
// holds it until the next one is made), so it lives through the collection and waits for
// a full one. A collection is therefore put off, by at most another `slack`, until that
// record is a `small` one: in a run that alternates full scans with MS2 centroid scans,
// that is the next one, and iterating it then needs few full collections.
constexpr std::size_t slack = std::size_t{8} << 20;
constexpr std::size_t wide = std::size_t{24} << 20;
constexpr std::size_t small = slack / 64;
std::size_t held = 0;    // bytes of the records still held
std::size_t least = 0;   // the least `held` has been since the last collection
std::size_t floor_ = 0;  // the least `held` has been since the last full collection
std::size_t last = 0;    // bytes of the record made last

}  // namespace

bool refuses_by_itself() { return false; }

namespace {

// The module object each module definition's types were first made for, kept for the
// process's life as the types are, and its state (PyModule_GetState is a crossing into
// the interpreter; the state's address does not change). A process loads one or two
// definitions.
struct FirstModule {
    PyModuleDef* def;
    PyObject* module;
    void* state;
};

std::vector<FirstModule>& first_modules() {
    static auto* modules = new std::vector<FirstModule>;
    return *modules;
}

}  // namespace

PyTypeObject* module_type(PyObject* module, PyType_Spec* spec, PyTypeObject*& kept) {
    if (kept == nullptr) {
        PyModuleDef* def = PyModule_GetDef(module);
        if (def == nullptr) return nullptr;
        auto& modules = first_modules();
        const bool known = std::any_of(modules.begin(), modules.end(), [&](const auto& m) { return m.def == def; });
        if (!known) modules.reserve(modules.size() + 1);  // nothing can fail past the type
        kept = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(spec));
        if (kept == nullptr) return nullptr;
        if (!known) {
            Py_INCREF(module);
            modules.push_back({def, module, PyModule_GetState(module)});
        }
    }
    Py_INCREF(kept);
    return kept;
}

namespace {

const FirstModule* first_module(PyTypeObject* type, PyModuleDef* def) {
    for (const FirstModule& m : first_modules()) {
        if (m.def == def) return &m;
    }
    PyErr_Format(PyExc_TypeError, "no module holds the type '%s'", type->tp_name);
    return nullptr;
}

}  // namespace

PyObject* module_of(PyTypeObject* type, PyModuleDef* def) {
    const FirstModule* m = first_module(type, def);
    return m != nullptr ? m->module : nullptr;
}

void* module_state(PyTypeObject* type, PyModuleDef* def) {
    const FirstModule* m = first_module(type, def);
    return m != nullptr ? m->state : nullptr;
}

PyObject* qualified_name(PyTypeObject* type) {
    // PyPy 3.9 has no PyType_GetQualName.
    return PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__qualname__");
}

PyObject* float_list(const std::vector<double>& values) { return list_through_array(values, &ArrayCalls::zero_double); }
PyObject* float_list(const std::vector<float>& values) { return list_through_array(values, &ArrayCalls::zero_float); }

void start_exports(const char* views_module) { views_name = views_module; }

PyObject* export_values(PyTypeObject*, Values values, Lifetime lifetime) {
    const Views* v = views();
    if (v == nullptr) throw NullObject{};
    PyObject* const text_format = format_text(values.format);
    if (text_format == nullptr) throw NullObject{};
    const std::size_t count = values.count;
    Ref size(result(PyLong_FromSize_t(count * item_size(values.format))));
    Ref where(result(kept_address(std::move(values))));
    PyObject* buffer = PyObject_CallFunctionObjArgs(v->make, where.get(), size.get(), text_format,
                                                    lifetime == Lifetime::of_run ? Py_True : Py_False, nullptr);
    if (buffer == nullptr) {
        if (count != 0) let_go(PyLong_AsSize_t(where.get()));  // no reference was kept with it
        throw NullObject{};
    }
    return buffer;
}

PyObject* kept_address(Values values) {
    const std::size_t count = values.count;
    const std::uintptr_t address = keep(std::move(values));
    PyObject* number = PyLong_FromSize_t(address);
    if (number == nullptr && count != 0) let_go(address);
    return number;
}

void release_dead_exports() {
    const Views* v = sweeping ? nullptr : views();
    if (v == nullptr) {
        PyErr_Clear();
        return;
    }
    sweeping = true;
    Ref dead(PyObject_CallNoArgs(v->sweep));
    sweeping = false;
    if (!dead || !PyList_Check(dead.get())) {
        PyErr_Clear();  // the owners stay until a later sweep
        return;
    }
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(dead.get()); ++k) {
        const std::uintptr_t address = PyLong_AsSize_t(PyList_GET_ITEM(dead.get(), k));
        if (address == static_cast<std::size_t>(-1) && PyErr_Occurred() != nullptr) {
            PyErr_Clear();
            continue;
        }
        let_go(address);
    }
    references_swept = references;
}

std::shared_ptr<const void> paced(std::shared_ptr<const void> holder, std::size_t bytes) {
    if (held > least + slack && (last <= small || held > least + 2 * slack)) {
        // The records freed by the previous collection have been let go by now: what is
        // left above `floor_` lived through a minor collection.
        const bool full = held > floor_ + wide;
        if (full) {
            collect();
        } else {
            collect_young();
        }
        release_dead_exports();
        least = held;
        if (full) floor_ = held;
    }
    held += bytes;
    last = bytes;
    const void* raw = holder.get();
    return {raw, [bytes, holder = std::move(holder)](const void*) mutable {
                holder.reset();
                held -= bytes;
                least = std::min(least, held);
                floor_ = std::min(floor_, held);
            }};
}

void note_native_memory(std::size_t bytes) { PyTraceMalloc_Track(0, 0, bytes); }

}  // namespace corvane::capi::platform
