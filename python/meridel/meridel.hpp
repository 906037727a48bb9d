// Pieces of the `meridel` module shared by its source files: work without the interpreter
// lock, the argument binder and converters, and the types' entry points. The instance
// life cycle, the boundary and type registration are the runtime's (python/capi/).
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

#include "capi/platform.hpp"
#include "capi/runtime.hpp"
#include "analysis.hpp"
#include "processing.hpp"
#include "reader.hpp"

namespace corvane::pymeridel {

using capi::guarded;
using capi::method;
using capi::new_instance;
using capi::NullObject;
using capi::Ref;
using capi::result;
using capi::slot;
using capi::text;

struct State;  // the module's types and classes, below

// ---------------------------------------------------------------------------------------
// Failures and the interpreter lock

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
// subclasses with errno and filename for operating-system failures; for a path that is
// not an acquisition directory, FileNotFoundError (nothing there, or a directory without
// AcqData) or NotADirectoryError (a file), with corvane::describe_unopenable's words and
// the path as filename; FormatError with the display text for everything else.
void raise_core_error(const State& state, const Error& error, PyObject* path);

// Issues one meridel.DamagedDataWarning for a result of `total` scans of which damage
// names the unreadable ones: "3 of 120 scans are damaged and hold no data in this result;
// first: scanId=17: <error>". Nothing when none is. False when the warning was turned
// into an exception (it is then set).
bool warn_damaged(const State& state, std::size_t total, const analysis::Damage& damage);

// The same with a text of its own (the salvage warning); false with the exception set.
bool warn_damaged_text(const State& state, const std::string& text);

// A pandas.DataFrame of the named columns (Buffers as NumPy arrays, lists as they are),
// in the given order; ImportError naming the extra when pandas is missing. callable names
// the call in that message ("to_frame()").
PyObject* data_frame(const char* callable, const std::vector<std::pair<const char*, PyObject*>>& columns);

// One row of the HTML tables meridel's objects show in Jupyter, appended to html: name
// and value escaped for HTML (& < > " ', as Python's html.escape does).
void html_row(std::string& html, std::string_view name, std::string_view value);

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
constexpr const char* no_pandas = "%s needs pandas: pip install 'corvane[pandas]'";
constexpr const char* bad_state = "_restore_spectrum(): not a pickled spectrum";
constexpr const char* not_buffer_index = "meridel.Buffer indices must be integers or slices, not %s";
constexpr const char* buffer_out_of_range = "meridel.Buffer index out of range";
constexpr const char* read_only = "meridel.Buffer is read-only";
constexpr const char* not_compression_type = "%s argument 'compression' must be str or None, not %s";
constexpr const char* not_compression = "%s argument 'compression' must be 'zlib', 'numpress', 'none' or None, not %R";
constexpr const char* empty_path = "%s argument '%s' must not be empty";
constexpr const char* not_a_module = "meridel: the execution step needs a module object";
constexpr const char* not_member_type = "%s argument 'precursor_mz' must be str or None, not %s";
constexpr const char* not_member = "%s argument 'precursor_mz' must be 'msn_value_1', 'msn_value_2' or None, not %R";
constexpr const char* strided_export = "meridel.Buffer: a slice with a step is not contiguous; ask for strides";
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

// An integer argument: anything with __index__ (int, bool, NumPy's integer scalars) as a
// new int reference; null with TypeError ("must be int" or "must be int or None").
PyObject* integer_argument(const char* callable, const char* name, PyObject* value, bool none_allowed);

// Whether float() takes value as a number: int, float, anything with __index__ or
// __float__ (NumPy's scalars, Decimal, Fraction); never text.
bool is_real_number(PyObject* value);

// float(value) for a value is_real_number takes; nothing with the exception set.
std::optional<double> number_value(PyObject* value);

// A real number as double (anything is_real_number takes): nothing with TypeError set
// ("must be a real number", "... or None" when none_allowed) or float()'s own error.
std::optional<double> real_argument(const char* callable, const char* name, PyObject* value,
                                    bool none_allowed = false);

// A flag that must be a bool (absent: false). False with TypeError set otherwise.
bool bool_argument(const char* callable, const char* name, PyObject* value, bool& out);

// `precursor_mz`: None or absent -> nothing, else "msn_value_1" or "msn_value_2".
bool member_argument(const char* callable, PyObject* value, std::optional<processing::PrecursorMember>& out);

// What happens to each spectrum on its way out: `centroid` (a bool), `top_n` (None or an
// int >= 1) and `min_intensity` (None or a finite number), into options; any of them may
// be null (absent). False with the exception set.
bool processing_arguments(const char* callable, PyObject* centroid, PyObject* top_n, PyObject* min_intensity,
                          processing::Options& options);

// ---------------------------------------------------------------------------------------
// Instances and types (python/capi/runtime.hpp)

// The instance of a type whose body is one T: Object<T>::body(self) is the body, or
// throws (TypeError at the boundary) for an instance whose body was never built.
template <class T>
using Object = capi::Instance<T>;

// tp_dealloc of a type whose body is one T.
template <class T>
void dealloc(PyObject* self) {
    capi::release_instance<T>(self);
}

// ---------------------------------------------------------------------------------------
// The types and classes, in the module's state (made in its exec step)

// Where the interpreter allows it (CPython) each module object has type objects and
// classes of its own; elsewhere (PyPy) the types are the process's (capi::make_type).
struct State {
    PyTypeObject* acquisition = nullptr;
    PyTypeObject* iterator = nullptr;
    PyTypeObject* spectrum = nullptr;
    PyTypeObject* buffer = nullptr;
    PyObject* format_error = nullptr;   // meridel.FormatError(ValueError)
    PyObject* damaged_warning = nullptr;  // meridel.DamagedDataWarning(UserWarning)
    PyObject* salvage = nullptr;        // namedtuple Salvage (bytes_dropped, records_dropped, records_kept,
                                        //   record_stride)
    PyObject* instrument = nullptr;     // namedtuple (accession, name)
    PyObject* precursor = nullptr;      // namedtuple (msn_value_1, msn_value_2, reference, mz, charge,
                                        //   monoisotopic_mz, envelope_scan)
    PyObject* evidence = nullptr;       // namedtuple PrecursorEvidence (processing::MemberEvidence)
    PyObject* chromatogram = nullptr;   // namedtuple (kind, rt, intensity, target, window)
    PyObject* run_arrays = nullptr;     // namedtuple (offsets, mz, intensity, scan_index)
};

extern PyModuleDef module_def;

// The state of a meridel module object.
inline State& module_state(PyObject* module) { return *static_cast<State*>(PyModule_GetState(module)); }

// The state of the module that made self's type (self: an instance of one of the module's
// types). Throws NullObject (TypeError pending) for anything else.
inline State& state_of(PyObject* self) {
    void* state = capi::platform::module_state(Py_TYPE(self), &module_def);
    if (state == nullptr) throw NullObject{};
    return *static_cast<State*>(state);
}

// Each makes its types for module into state; -1 with an exception.
int make_acquisition_types(PyObject* module, State& state);
int make_spectrum_type(PyObject* module, State& state);
int make_buffer_type(PyObject* module, State& state);

// meridel.open(path) and its impl.
PyObject* open_acquisition(PyObject* module, PyObject* const* args, Py_ssize_t count, PyObject* kwnames);

// The reader of an Acquisition, or null with ValueError when it is closed.
std::shared_ptr<const Reader> acquisition_reader(PyObject* self);

// The precursor member an Acquisition was opened with (meridel.open(path, precursor_mz=...)).
std::optional<processing::PrecursorMember> acquisition_member(PyObject* self);

// Acquisition.to_mzml(path, compression='zlib', index=True, threads=None, overwrite=False,
// centroid=False, ms_level=None, rt_range=None, top_n=None, min_intensity=None).
PyObject* acquisition_to_mzml(PyObject* self, PyObject* const* args, Py_ssize_t count, PyObject* kwnames);
// Acquisition.to_mgf(path, centroid=False, ms_level=None, rt_range=None, top_n=None,
// min_intensity=None, threads=None, overwrite=False).
PyObject* acquisition_to_mgf(PyObject* self, PyObject* const* args, Py_ssize_t count, PyObject* kwnames);
// meridel._meridel._check_convert(format, precursor_mz, centroid, ms_level, rt_range, top_n,
// min_intensity): refuses what to_mzml / to_mgf would refuse, on no data (batch.py).
PyObject* check_convert(PyObject* module, PyObject* const* args, Py_ssize_t count, PyObject* kwnames);
// meridel._meridel._output_name(path, format): the output layer's naming rule (batch.py).
PyObject* output_name(PyObject* module, PyObject* const* args, Py_ssize_t count);

// A new Spectrum of state's module sharing the record.
PyObject* new_spectrum(const State& state, std::shared_ptr<const SpectrumRecord> record);

// meridel._meridel._frame(callable, columns): data_frame() for the package's Python side
// (Chromatogram.to_frame), columns a dict.
PyObject* frame_function(PyObject* module, PyObject* const* args, Py_ssize_t count);

// Unpickles a spectrum from the state Spectrum.__reduce__ gives.
PyObject* restore_spectrum(PyObject* module, PyObject* state);

// meridel._views' calls into the module (used on PyPy, where Buffers are made there):
// _release_dead_exports() lets go of the values of Buffers that have died;
// _spectrum_values(spectrum, which) is the kept address of its mz (0) or intensity (1).
PyObject* release_dead_exports_function(PyObject* module, PyObject*);
PyObject* spectrum_values(PyObject* module, PyObject* const* args, Py_ssize_t count);

using capi::platform::Lifetime;

// A Buffer (of state's module where Buffers are native) over a whole vector the owner holds.
template <class T>
PyObject* vector_buffer(const State& state, std::shared_ptr<const void> owner, const std::vector<T>& values,
                        Lifetime lifetime = Lifetime::of_run);

template <class T>
constexpr char format_of() {
    if constexpr (std::is_same_v<T, double>) return 'd';
    else if constexpr (std::is_same_v<T, float>) return 'f';
    else if constexpr (std::is_same_v<T, std::uint64_t>) return 'Q';
    else if constexpr (std::is_same_v<T, std::uint32_t>) return 'I';
    else return 'q';
}

template <class T>
PyObject* vector_buffer(const State& state, std::shared_ptr<const void> owner, const std::vector<T>& values,
                        Lifetime lifetime) {
    static_assert(sizeof(T) == 8 || sizeof(T) == 4);
    return capi::platform::export_values(state.buffer, {std::move(owner), values.data(), values.size(), format_of<T>()}, lifetime);
}

}  // namespace corvane::pymeridel
