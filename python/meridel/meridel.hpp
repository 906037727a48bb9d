// Pieces of the `meridel` module shared by its source files: the failure boundary, the
// argument binder and converters, the instance layout and the types' entry points.
// Include after Python.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "capi/binding.hpp"
#include "reader.hpp"

namespace corvane::pymeridel {

using python::NullObject;
using python::Ref;
using python::result;

// ---------------------------------------------------------------------------------------
// Failures at the boundary

// Turns the C++ exception being handled into a Python exception: std::bad_alloc becomes
// MemoryError, NullObject keeps the interpreter's pending exception, anything else becomes
// SystemError with its text.
void raise_current_exception() noexcept;

// Runs body; a C++ exception leaving it becomes a Python exception and failure is
// returned. Every slot and method goes through here.
template <class Body, class R>
R guarded(Body&& body, R failure) noexcept {
    try {
        return body();
    } catch (...) {
        raise_current_exception();
        return failure;
    }
}

// Runs work with the interpreter lock released; work must not touch Python objects. An
// exception from work is carried past the lock and rethrown once it is held again.
template <class Work>
auto without_gil(Work&& work) -> decltype(work()) {
    std::exception_ptr failure;
    std::optional<decltype(work())> value;
    Py_BEGIN_ALLOW_THREADS
    try {
        value.emplace(work());
    } catch (...) {
        failure = std::current_exception();
    }
    Py_END_ALLOW_THREADS
    if (failure) std::rethrow_exception(failure);
    return std::move(*value);
}

// Raises the exception for a core error while opening path (the str given): OSError
// subclasses with errno and filename for operating-system failures, FileNotFoundError for
// a missing AcqData directory, FormatError with the display text for everything else.
void raise_core_error(const Error& error, PyObject* path);

// ValueError("I/O operation on closed acquisition").
void raise_closed();

// Every error text the module writes itself.
namespace message {
constexpr const char* too_many_positional = "%s takes at most %zd positional arguments but %zd were given";
constexpr const char* multiple_values = "%s got multiple values for argument '%s'";
constexpr const char* unexpected_keyword = "%s got an unexpected keyword argument '%S'";
constexpr const char* missing = "%s missing required argument '%s'";
constexpr const char* not_path = "%s argument '%s' must be str or os.PathLike, not %s";
constexpr const char* null_in_path = "%s argument '%s' contains a null character";
constexpr const char* not_int = "%s argument '%s' must be int, not %s";
constexpr const char* not_int_or_none = "%s argument '%s' must be int or None, not %s";
constexpr const char* not_bool = "%s argument '%s' must be bool, not %s";
constexpr const char* not_number = "%s argument '%s' must be a real number, not %s";
constexpr const char* not_number_or_none = "%s argument '%s' must be a real number or None, not %s";
constexpr const char* too_small = "%s argument '%s' must be at least 1, not %R";
constexpr const char* not_positive = "%s argument '%s' must be positive, not %R";
constexpr const char* not_finite = "%s argument '%s' must be finite, not %R";
constexpr const char* not_pair = "%s argument '%s' must be a (low, high) pair of numbers or None";
constexpr const char* not_ordered = "%s argument '%s' must have low <= high, not (%R, %R)";
constexpr const char* not_targets = "%s argument 'targets' must be a real number or a sequence of real numbers, not %s";
constexpr const char* ppm_and_da = "%s takes 'ppm' or 'da', not both";
constexpr const char* closed = "I/O operation on closed acquisition";
constexpr const char* out_of_range = "acquisition index out of range";
constexpr const char* not_index = "acquisition indices must be integers, not %s";
constexpr const char* none_selected = "nearest(): no scan matches the selection";
constexpr const char* already_executing = "iterator already executing";
constexpr const char* no_pandas = "scans_frame() needs pandas (and NumPy); install them to use it";
constexpr const char* bad_state = "_restore_spectrum(): not a pickled spectrum";
constexpr const char* not_buffer_index = "meridel.Buffer indices must be integers, not %s";
constexpr const char* buffer_out_of_range = "meridel.Buffer index out of range";
constexpr const char* read_only = "meridel.Buffer is read-only";
constexpr const char* not_compression_type = "%s argument 'compression' must be str or None, not %s";
constexpr const char* not_compression = "%s argument 'compression' must be 'zlib', 'numpress', 'none' or None, not %R";
constexpr const char* empty_path = "%s argument '%s' must not be empty";
constexpr const char* not_a_module = "meridel: the execution step needs a module object";
// Where the interpreter does not refuse by itself (PyPy; CPython before 3.10 for
// not_instantiable), the refusals CPython makes, in CPython's words.
constexpr const char* not_a_base = "type '%s' is not an acceptable base type";
constexpr const char* not_writable = "attribute '%s' of '%s' objects is not writable";
constexpr const char* no_attribute = "'%s' object has no attribute '%U'";
constexpr const char* not_instantiable = "cannot create '%s' instances";
}  // namespace message

// ---------------------------------------------------------------------------------------
// Arguments (METH_FASTCALL | METH_KEYWORDS)

// Binds the call's arguments to names[0..count): out[i] is the borrowed value or null when
// not given. The first `required` names must be given. False with TypeError set otherwise.
bool bind(const char* callable, const char* const* names, std::size_t count, std::size_t required,
          PyObject* const* args, Py_ssize_t positional, PyObject* kwnames, PyObject** out);

// The type name of value for messages, new reference to a str.
Ref type_name(PyObject* value);

// A path (str or os.PathLike giving str) as a new str reference; null with TypeError.
PyObject* path_argument(const char* callable, const char* name, PyObject* value);

// `threads`: None or absent -> 0 (the machine's cores), else an int >= 1 (capped).
std::optional<unsigned> threads_argument(const char* callable, PyObject* value);

// `ms_level`: None -> nothing, else an int >= 1. `fallback` when absent.
bool ms_level_argument(const char* callable, PyObject* value, std::optional<std::uint32_t> fallback,
                       std::optional<std::uint32_t>& out);

// `rt_range`: None or absent -> nothing, else a pair of finite numbers with low <= high.
bool rt_range_argument(const char* callable, PyObject* value, std::optional<std::pair<double, double>>& out);

// A real number as double: null-free result or nothing with TypeError set.
std::optional<double> real_argument(const char* callable, const char* name, PyObject* value);

// ---------------------------------------------------------------------------------------
// Instances: the interpreter's header followed by one C++ value built in place

template <class T>
struct Instance {
    PyObject_HEAD
    alignas(T) unsigned char storage[sizeof(T)];

    static Instance* of(PyObject* object) { return reinterpret_cast<Instance*>(object); }
    T& value() { return *std::launder(reinterpret_cast<T*>(storage)); }
};

// Allocates an instance of type and moves value into it; null with the interpreter's
// exception when allocation fails.
template <class T>
PyObject* new_instance(PyTypeObject* type, T&& value) {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* object = alloc(type, 0);
    if (object == nullptr) return nullptr;
    ::new (static_cast<void*>(Instance<T>::of(object)->storage)) T(std::forward<T>(value));
    return object;
}

// Destroys the C++ body, frees the memory through the type, drops the type reference.
template <class T>
void release_instance(PyObject* object) {
    PyTypeObject* type = Py_TYPE(object);
    Instance<T>::of(object)->value().~T();
    auto free_memory = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_memory(object);
    Py_DECREF(type);
}

// Casts a slot or method function to the pointer type the tables store.
template <class F>
void* slot(F* function) {
    return reinterpret_cast<void*>(function);
}

template <class F>
PyCFunction method(F* function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

#ifdef Py_TPFLAGS_IMMUTABLETYPE
constexpr unsigned long immutable_type = Py_TPFLAGS_IMMUTABLETYPE;
#else
constexpr unsigned long immutable_type = 0;
#endif
#ifdef Py_TPFLAGS_DISALLOW_INSTANTIATION
constexpr unsigned long not_instantiable_type = Py_TPFLAGS_DISALLOW_INSTANTIATION;
#else
constexpr unsigned long not_instantiable_type = 0;
#endif

// PyPy and old CPython refusals (see module.cpp): registered per type at creation.
void register_type(PyTypeObject* type, const char* name, const PyGetSetDef* getters);
PyObject* refuse_subclass(PyObject* cls, PyObject*, PyObject*);
int refuse_setattr(PyObject* self, PyObject* name, PyObject*);
PyObject* refuse_new(PyTypeObject* type, PyObject*, PyObject*);

// Makes the type from its PyType_Spec once per process and registers it; null with an exception.
PyTypeObject* make_type(PyTypeObject*& type, PyType_Spec& spec, const PyGetSetDef* getters);

// ---------------------------------------------------------------------------------------
// The types and classes (made in the module's exec step, kept for the process's life)

extern PyTypeObject* acquisition_type;
extern PyTypeObject* iterator_type;
extern PyTypeObject* spectrum_type;
extern PyTypeObject* buffer_type;
extern PyObject* format_error;       // meridel.FormatError(ValueError)
extern PyObject* instrument_class;   // namedtuple (accession, name)
extern PyObject* precursor_class;    // namedtuple (msn_value_1, msn_value_2, reference)
extern PyObject* chromatogram_class; // namedtuple (kind, rt, intensity, target, window)
extern PyObject* run_arrays_class;   // namedtuple (offsets, mz, intensity, scan_index)

int make_acquisition_types();
int make_spectrum_type();
int make_buffer_type();

// meridel.open(path) and its impl.
PyObject* open_acquisition(PyObject* module, PyObject* const* args, Py_ssize_t count, PyObject* kwnames);

// The reader of an Acquisition, or null with ValueError when it is closed.
std::shared_ptr<const Reader> acquisition_reader(PyObject* self);

// Acquisition.to_mzml(path, compression='zlib', index=True, threads=None, overwrite=False).
PyObject* acquisition_to_mzml(PyObject* self, PyObject* const* args, Py_ssize_t count, PyObject* kwnames);
// meridel._meridel._output_name(path, format): the output layer's naming rule (batch.py).
PyObject* output_name(PyObject* module, PyObject* const* args, Py_ssize_t count);

// A new Spectrum sharing the record.
PyObject* new_spectrum(std::shared_ptr<const SpectrumRecord> record);

// Tells the interpreter that an object about to be made holds this much native memory
// (run arrays: made once, large).
inline void note_native_memory(std::size_t bytes) {
#ifdef PYPY_VERSION
    PyTraceMalloc_Track(0, 0, bytes);
#else
    (void)bytes;
#endif
}

// Unpickles a spectrum from the state Spectrum.__reduce__ gives.
PyObject* restore_spectrum(PyObject* module, PyObject* state);

// Whose values a Buffer shows: one scan's (many, short-lived: on PyPy let go by the next
// sweep after they die) or a whole run's (few and large: let go as soon as they die).
enum class Values { of_scan, of_run };

// A new read-only Buffer of count items of the given format ('d', 'f', 'Q', 'I', 'q') at
// data, which owner keeps alive.
PyObject* new_buffer(std::shared_ptr<const void> owner, const void* data, std::size_t count, char format,
                     Values values);

#ifdef PYPY_VERSION
// Lets go of the owners of Buffers whose exported bytes have all died.
void release_dead_exports();
// Has the interpreter run a minor collection, which frees the objects that died young.
void collect_young();
PyObject* release_dead_exports_function(PyObject* module, PyObject*);
// The address of the count items at data as an int, for a Buffer that meridel._views makes
// itself; owner is kept until a sweep reports the weak reference kept with it dead. (With
// no items, a valid address that nothing keeps.) Null with an exception, nothing kept.
PyObject* kept_address(std::shared_ptr<const void> owner, const void* data, std::size_t count);
// _spectrum_values(spectrum, which) -> kept_address of its mz (0) or intensity (1).
PyObject* spectrum_values(PyObject* module, PyObject* const* args, Py_ssize_t count);
#endif

// A Buffer over a whole vector the owner holds.
template <class T>
PyObject* vector_buffer(std::shared_ptr<const void> owner, const std::vector<T>& values,
                        Values kind = Values::of_run);

template <class T>
constexpr char format_of() {
    if constexpr (std::is_same_v<T, double>) return 'd';
    else if constexpr (std::is_same_v<T, float>) return 'f';
    else if constexpr (std::is_same_v<T, std::uint64_t>) return 'Q';
    else if constexpr (std::is_same_v<T, std::uint32_t>) return 'I';
    else return 'q';
}

template <class T>
PyObject* vector_buffer(std::shared_ptr<const void> owner, const std::vector<T>& values, Values kind) {
    static_assert(sizeof(T) == 8 || sizeof(T) == 4);
    return new_buffer(std::move(owner), values.data(), values.size(), format_of<T>(), kind);
}

// A new str from UTF-8 text; stray bytes replaced. Throws NullObject.
PyObject* text(std::string_view value);

}  // namespace corvane::pymeridel
