// The Python module `meridel`: whole-run access to an acquisition for NumPy users,
// hand-written against the C API for CPython and PyPy.
//
//     __version__: str
//     class FormatError(ValueError): ...            # the file's contents are at fault
//     class DamagedDataWarning(UserWarning): ...     # a result holds unreadable scans
//     def open(path: str | os.PathLike, precursor_mz: str | None = None,
//              salvage: bool = False) -> Acquisition: ...
//
//     class Acquisition:                            # final, from open() only
//         path, source_name, instrument, acquired_time, acquired_datetime, precursor_mz, salvaged
//         __len__, __getitem__(int) -> Spectrum, __iter__, by_scan_id, nearest, _repr_html_
//         scans() -> dict[str, Buffer | list], scans_frame()
//         iter(ms_level, rt_range, threads, centroid), arrays(...), tic(...), bpc(...), xic(...)
//         precursor_evidence(ppm, threads), report(), to_mzml(), to_mgf()
//         close(), __enter__, __exit__, __reduce__   # pickles by path (and precursor_mz)
//
//     class Spectrum:                               # final; pickles by value
//         index, native_id, scan_id, ms_level, retention_time_sec, mz_first, mz_last,
//         precursor, is_profile, instrument_kind, mz: Buffer, intensity: Buffer, centroid(),
//         to_frame(), _repr_html_
//
//     class Buffer:                                 # read-only PEP 3118 export, zero-copy
//         format, itemsize, nbytes, tolist(), __len__, __getitem__(int | slice), __iter__, __array__
//
//     Instrument, Precursor, PrecursorEvidence, Chromatogram, RunArrays, Salvage: named tuples
//     (Chromatogram.to_frame and _repr_html_ come from meridel/__init__.py)
//
// Decoding and whole-run work run with the interpreter lock released. No C++ exception
// crosses into the interpreter.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <limits>

#include "meridel.hpp"

// The project's version, given by the build (CMake's project(VERSION), which the pip
// build backend runs too).
#ifndef MERIDEL_VERSION
#error "MERIDEL_VERSION must be defined by the build"
#endif

namespace corvane::pymeridel {

// ---------------------------------------------------------------------------------------
// Failures

namespace {

// The errno of looking up root, then root/AcqData (0 when both are there).
int lookup_errno(std::string_view root) {
    struct stat st {};
    const std::string where = root.empty() ? std::string(".") : std::string(root);
    if (::stat(where.c_str(), &st) != 0) return errno;
    if (::stat(join_path(root, "AcqData").c_str(), &st) != 0) return errno;
    return 0;
}

}  // namespace

void raise_core_error(const State& state, const Error& error, PyObject* path) {
    const IoError* io = error.as_io();
    if (io != nullptr && !io->unexpected_eof) {
        // Only the index is read while opening: name it, as open() names the file it fails on.
        Py_ssize_t size = 0;
        const char* root = PyUnicode_AsUTF8AndSize(path, &size);
        if (root == nullptr) return;
        const std::string index_path =
            join_path(join_path(std::string_view(root, static_cast<std::size_t>(size)), "AcqData"), "MSScan.bin");
        Ref filename(text(index_path));
        Ref strerror(text(os_message(io->code)));
        // OSError(errno, strerror, filename) picks the subclass for errno itself.
        Ref exception(result(PyObject_CallFunction(PyExc_OSError, "iOO", io->code, strerror.get(), filename.get())));
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())), exception.get());
        return;
    }
    const ParseError* parse = error.as_parse();
    if (parse != nullptr && parse->message == "AcqData directory not found") {
        // Say where the path points: nothing there, a file, or a folder without AcqData.
        Py_ssize_t size = 0;
        const char* root = PyUnicode_AsUTF8AndSize(path, &size);
        if (root == nullptr) return;
        const std::optional<std::string> why = describe_unopenable(std::string_view(root, static_cast<std::size_t>(size)));
        const std::string reason = why ? *why : parse->message;
        // A file is not a directory; nothing there and a folder without AcqData are not
        // found; anything else is the system's reason for not looking (permissions).
        int code = ENOENT;
        if (reason.starts_with("a file,")) {
            code = ENOTDIR;
        } else if (why && !reason.starts_with("no such file") && !reason.starts_with("a directory without")) {
            code = lookup_errno(std::string_view(root, static_cast<std::size_t>(size)));
            if (code == 0) code = ENOENT;
        }
        Ref strerror(text(reason));
        // OSError(errno, strerror, filename) picks the subclass for errno itself.
        Ref exception(result(PyObject_CallFunction(PyExc_OSError, "iOO", code, strerror.get(), path)));
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())), exception.get());
        return;
    }
    Ref message(text(error.display()));
    PyErr_SetObject(state.format_error, message.get());
}

void raise_closed() { PyErr_SetString(PyExc_ValueError, message::closed); }

bool warn_damaged_text(const State& state, const std::string& text_of) {
    return PyErr_WarnEx(state.damaged_warning, text_of.c_str(), 1) == 0;
}

bool warn_damaged(const State& state, std::size_t total, const analysis::Damage& damage) {
    if (damage.count == 0) return true;
    const bool one = damage.count == 1;
    const std::string warning = std::to_string(damage.count) + " of " + std::to_string(total) +
                                (one ? " scans is damaged and holds no data in this result: "
                                     : " scans are damaged and hold no data in this result; first: ") +
                                damage.first_native_id + ": " + damage.first_error;
    return warn_damaged_text(state, warning);
}

PyObject* data_frame(const char* callable, const std::vector<std::pair<const char*, PyObject*>>& columns) {
    Ref pandas(PyImport_ImportModule("pandas"));
    Ref numpy(pandas ? PyImport_ImportModule("numpy") : nullptr);
    if (!numpy) {
        if (PyErr_ExceptionMatches(PyExc_ImportError) == 0) return nullptr;
        // One line that says what to install, not the import machinery's traceback.
        PyErr_Clear();
        PyErr_Format(PyExc_ModuleNotFoundError, message::no_pandas, callable);
        return nullptr;
    }
    Ref arrays(result(PyDict_New()));
    for (const auto& [name, value] : columns) {
        Ref array(PyList_Check(value) ? Ref::borrow(value)
                                      : Ref(result(PyObject_CallMethod(numpy.get(), "asarray", "O", value))));
        if (PyDict_SetItemString(arrays.get(), name, array.get()) < 0) return nullptr;
    }
    return result(PyObject_CallMethod(pandas.get(), "DataFrame", "O", arrays.get()));
}

namespace {

std::string html_escape(std::string_view value) {
    std::string out;
    out.reserve(value.size());
    for (const char c : value) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#x27;"; break;
        default: out += c;
        }
    }
    return out;
}

}  // namespace

void html_row(std::string& html, std::string_view name, std::string_view value) {
    html += "<tr><th style=\"text-align:left\">" + html_escape(name) + "</th><td style=\"text-align:left\">" +
            html_escape(value) + "</td></tr>";
}

PyObject* frame_function(PyObject*, PyObject* const* args, Py_ssize_t count) {
    return guarded([&]() -> PyObject* {
        if (count != 2 || !PyUnicode_Check(args[0]) || !PyDict_Check(args[1])) {
            PyErr_SetString(PyExc_TypeError, "_frame(callable, columns) takes a str and a dict");
            return nullptr;
        }
        const char* callable = PyUnicode_AsUTF8(args[0]);
        if (callable == nullptr) return nullptr;
        // Names and values held here: making the arrays runs Python code, which may change the dict.
        std::vector<std::pair<std::string, Ref>> named;
        PyObject* name = nullptr;
        PyObject* value = nullptr;
        Py_ssize_t position = 0;
        while (PyDict_Next(args[1], &position, &name, &value) != 0) {
            const char* utf8 = PyUnicode_Check(name) ? PyUnicode_AsUTF8(name) : nullptr;
            if (utf8 == nullptr) {
                if (PyErr_Occurred() == nullptr) PyErr_SetString(PyExc_TypeError, "_frame(): column names are str");
                return nullptr;
            }
            named.emplace_back(utf8, Ref::borrow(value));
        }
        std::vector<std::pair<const char*, PyObject*>> columns;
        for (const auto& [n, v] : named) columns.emplace_back(n.c_str(), v.get());
        return data_frame(callable, columns);
    }, static_cast<PyObject*>(nullptr));
}

// ---------------------------------------------------------------------------------------
// Arguments

bool bind(const char* callable, const char* const* names, std::size_t count, std::size_t required,
          PyObject* const* args, Py_ssize_t positional, PyObject* kwnames, PyObject** out) {
    for (std::size_t i = 0; i < count; ++i) out[i] = nullptr;
    if (positional < 0 || static_cast<std::size_t>(positional) > count) {
        PyErr_Format(PyExc_TypeError, message::too_many_positional, callable,
                     static_cast<Py_ssize_t>(count), positional);
        return false;
    }
    for (Py_ssize_t i = 0; i < positional; ++i) out[i] = args[i];
    const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_Size(kwnames);
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        PyObject* name = PyTuple_GetItem(kwnames, k);
        std::size_t i = 0;
        while (i < count && !(PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, names[i]) == 0)) ++i;
        if (i == count) {
            PyErr_Format(PyExc_TypeError, message::unexpected_keyword, callable, name);
            return false;
        }
        if (out[i] != nullptr) {
            PyErr_Format(PyExc_TypeError, message::multiple_values, callable, names[i]);
            return false;
        }
        out[i] = args[positional + k];
    }
    for (std::size_t i = 0; i < required; ++i) {
        if (out[i] == nullptr) {
            PyErr_Format(PyExc_TypeError, message::missing, callable, names[i]);
            return false;
        }
    }
    return true;
}

Ref type_name(PyObject* value) {
    return Ref(result(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(value)), "__name__")));
}

PyObject* integer_argument(const char* callable, const char* name, PyObject* value, bool none_allowed) {
    if (PyIndex_Check(value) == 0) {
        Ref name_of(type_name(value));
        PyErr_Format(PyExc_TypeError, none_allowed ? message::not_int_or_none : message::not_int, callable, name,
                     PyUnicode_AsUTF8(name_of.get()));
        return nullptr;
    }
    return PyNumber_Index(value);
}

bool is_real_number(PyObject* value) {
    if (PyFloat_Check(value) || PyLong_Check(value)) return true;
    // float() also parses text: a number given as text is refused as the wrong type.
    if (PyUnicode_Check(value) || PyBytes_Check(value) || PyByteArray_Check(value)) return false;
    if (PyIndex_Check(value) != 0) return true;
    const int has_float = PyObject_HasAttrString(reinterpret_cast<PyObject*>(Py_TYPE(value)), "__float__");
    return has_float == 1;
}

std::optional<double> number_value(PyObject* value) {
    Ref number(PyNumber_Float(value));
    if (!number) return std::nullopt;
    const double v = PyFloat_AsDouble(number.get());
    if (v == -1.0 && PyErr_Occurred() != nullptr) return std::nullopt;
    return v;
}

PyObject* path_argument(const char* callable, const char* name, PyObject* value) {
    if (PyUnicode_Check(value) || PyObject_HasAttrString(value, "__fspath__") != 0) {
        Ref path(PyOS_FSPath(value));
        if (!path) return nullptr;
        if (PyUnicode_Check(path.get())) return path.release();
        value = path.get();  // bytes from __fspath__: refused below, by its type
        Ref name_of(type_name(value));
        PyErr_Format(PyExc_TypeError, message::not_path, callable, name, PyUnicode_AsUTF8(name_of.get()));
        return nullptr;
    }
    Ref name_of(type_name(value));
    PyErr_Format(PyExc_TypeError, message::not_path, callable, name, PyUnicode_AsUTF8(name_of.get()));
    return nullptr;
}

namespace {

// An integer (anything with __index__: int, bool as Python's own APIs take it, NumPy's
// integer scalars) as long long; nothing with TypeError or OverflowError set.
std::optional<long long> int_value(const char* callable, const char* name, PyObject* value, bool none_allowed) {
    Ref number(integer_argument(callable, name, value, none_allowed));
    if (!number) return std::nullopt;
    const long long n = PyLong_AsLongLong(number.get());
    if (n == -1 && PyErr_Occurred() != nullptr) return std::nullopt;
    return n;
}

// Threads beyond this many only cost memory: the work is split by scan.
constexpr long long max_threads = 256;

}  // namespace

std::optional<unsigned> threads_argument(const char* callable, PyObject* value) {
    if (value == nullptr || value == Py_None) return 0U;
    const auto number = int_value(callable, "threads", value, true);
    if (!number) return std::nullopt;
    if (*number < 1) {
        PyErr_Format(PyExc_ValueError, message::too_small, callable, "threads", value);
        return std::nullopt;
    }
    return static_cast<unsigned>(std::min(*number, max_threads));
}

bool ms_level_argument(const char* callable, PyObject* value, std::optional<std::uint32_t> fallback,
                       std::optional<std::uint32_t>& out) {
    if (value == nullptr) {
        out = fallback;
        return true;
    }
    if (value == Py_None) {
        out.reset();
        return true;
    }
    const auto number = int_value(callable, "ms_level", value, true);
    if (!number) return false;
    if (*number < 1) {
        PyErr_Format(PyExc_ValueError, message::too_small, callable, "ms_level", value);
        return false;
    }
    // Levels past 32 bits match no scan; keep them unmatched rather than wrapped.
    out = static_cast<std::uint32_t>(std::min<long long>(*number, 0xFFFFFFFFLL));
    return true;
}

std::optional<double> real_argument(const char* callable, const char* name, PyObject* value, bool none_allowed) {
    if (is_real_number(value)) {
        const auto number = number_value(value);
        // A __float__ that refuses (PyPy 3.9's complex has one) refuses the type.
        if (number || PyErr_ExceptionMatches(PyExc_TypeError) == 0) return number;
        PyErr_Clear();
    }
    Ref name_of(type_name(value));
    PyErr_Format(PyExc_TypeError, none_allowed ? message::not_number_or_none : message::not_number, callable, name,
                 PyUnicode_AsUTF8(name_of.get()));
    return std::nullopt;
}

bool rt_range_argument(const char* callable, PyObject* value, std::optional<std::pair<double, double>>& out) {
    out.reset();
    if (value == nullptr || value == Py_None) return true;
    if (PyUnicode_Check(value) || PyBytes_Check(value) || !PySequence_Check(value) || PySequence_Size(value) != 2) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, message::not_pair, callable, "rt_range");
        return false;
    }
    Ref low(PySequence_GetItem(value, 0));
    Ref high(PySequence_GetItem(value, 1));
    if (!low || !high) return false;
    const auto lo = real_argument(callable, "rt_range", low.get());
    if (!lo) return false;
    const auto hi = real_argument(callable, "rt_range", high.get());
    if (!hi) return false;
    if (!(*lo <= *hi)) {  // NaN at either end fails too
        PyErr_Format(PyExc_ValueError, message::not_ordered, callable, "rt_range", low.get(), high.get());
        return false;
    }
    out.emplace(*lo, *hi);
    return true;
}

bool bool_argument(const char* callable, const char* name, PyObject* value, bool& out) {
    if (value == nullptr) return true;
    if (!PyBool_Check(value)) {
        Ref name_of(type_name(value));
        PyErr_Format(PyExc_TypeError, message::not_bool, callable, name, PyUnicode_AsUTF8(name_of.get()));
        return false;
    }
    out = value == Py_True;
    return true;
}

bool member_argument(const char* callable, PyObject* value, std::optional<processing::PrecursorMember>& out) {
    out.reset();
    if (value == nullptr || value == Py_None) return true;
    if (!PyUnicode_Check(value)) {
        Ref name_of(type_name(value));
        PyErr_Format(PyExc_TypeError, message::not_member_type, callable, PyUnicode_AsUTF8(name_of.get()));
        return false;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);
    if (utf8 == nullptr) {
        // A lone surrogate cannot name a member: say so as for any other wrong name.
        PyErr_Clear();
    } else {
        out = processing::parse_member(std::string_view(utf8, static_cast<std::size_t>(size)));
        if (out) return true;
    }
    PyErr_Format(PyExc_ValueError, message::not_member, callable, value);
    return false;
}

bool processing_arguments(const char* callable, PyObject* centroid, PyObject* top_n, PyObject* min_intensity,
                          processing::Options& options) {
    if (!bool_argument(callable, "centroid", centroid, options.centroid)) return false;
    options.top_n.reset();
    if (top_n != nullptr && top_n != Py_None) {
        Ref index(integer_argument(callable, "top_n", top_n, true));
        if (!index) return false;
        int overflow = 0;
        const long long number = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
        if (number == -1 && overflow == 0 && PyErr_Occurred() != nullptr) return false;
        if (overflow < 0 || (overflow == 0 && number < 1)) {
            PyErr_Format(PyExc_ValueError, message::too_small, callable, "top_n", top_n);
            return false;
        }
        // More peaks than any spectrum can hold keep them all.
        options.top_n = overflow > 0 ? std::numeric_limits<std::size_t>::max() : static_cast<std::size_t>(number);
    }
    options.min_intensity.reset();
    if (min_intensity != nullptr && min_intensity != Py_None) {
        const auto given = real_argument(callable, "min_intensity", min_intensity, true);
        if (!given) return false;  // also an int past a double's range
        const double number = *given;
        if (!std::isfinite(number)) {
            PyErr_Format(PyExc_ValueError, message::not_finite, callable, "min_intensity", min_intensity);
            return false;
        }
        options.min_intensity = number;
    }
    return true;
}

// ---------------------------------------------------------------------------------------
// Module

namespace {

// A named tuple class meridel.<name> into cls, its last `optional` fields None by default,
// each field documented by field_docs (one per field, in order: the factory's own "Alias
// for field number N" says nothing); null with an exception.
PyObject* make_named_tuple(PyObject*& cls, const char* name, const char* fields, const char* doc,
                           std::initializer_list<const char*> field_docs, int optional = 0) {
    Ref collections(PyImport_ImportModule("collections"));
    if (!collections) return nullptr;
    Ref factory(PyObject_GetAttrString(collections.get(), "namedtuple"));
    if (!factory) return nullptr;
    Ref args(Py_BuildValue("(ss)", name, fields));
    Ref kwargs(Py_BuildValue("{ss}", "module", "meridel"));
    if (!args || !kwargs) return nullptr;
    if (optional > 0) {
        Ref defaults(PyTuple_New(optional));
        if (!defaults) return nullptr;
        for (int i = 0; i < optional; ++i) {
            Py_INCREF(Py_None);
            PyTuple_SET_ITEM(defaults.get(), i, Py_None);
        }
        if (PyDict_SetItemString(kwargs.get(), "defaults", defaults.get()) < 0) return nullptr;
    }
    Ref made(PyObject_Call(factory.get(), args.get(), kwargs.get()));
    if (!made || PyObject_SetAttrString(made.get(), "__doc__", Ref(PyUnicode_FromString(doc)).get()) < 0) {
        return nullptr;
    }
    Ref names(PyObject_GetAttrString(made.get(), "_fields"));
    if (!names) return nullptr;
    if (PyTuple_Size(names.get()) != static_cast<Py_ssize_t>(field_docs.size())) {
        PyErr_Format(PyExc_SystemError, "meridel: %s has %zd fields, %zu documented", name, PyTuple_Size(names.get()),
                     field_docs.size());
        return nullptr;
    }
    Py_ssize_t k = 0;
    for (const char* field_doc : field_docs) {
        Ref getter(PyObject_GetAttr(made.get(), PyTuple_GetItem(names.get(), k++)));
        Ref text_of(PyUnicode_FromString(field_doc));
        if (!getter || !text_of || PyObject_SetAttrString(getter.get(), "__doc__", text_of.get()) < 0) return nullptr;
    }
    cls = made.release();
    return cls;
}

constexpr const char* precursor_doc =
    "Precursor(msn_value_1, msn_value_2, reference, mz, charge, monoisotopic_mz, envelope_scan) of a\n"
    "fragment scan. The first three are the index's values as it names them. The others are\n"
    "set once the acquisition was opened with precursor_mz: mz is the declared member's value\n"
    "(None when the scan has no usable value there); charge and monoisotopic_mz come from the\n"
    "isotope envelope in the MS1 scan before it (None when the envelope does not decide), read\n"
    "from the scan envelope_scan names (its native id).";

constexpr const char* evidence_doc =
    "PrecursorEvidence(member, fragment_scans, with_value, with_ms1, matched, share,\n"
    "median_error_ppm): how well one member's values match a centroid of the MS1 scan before\n"
    "each fragment scan. with_value: fragment scans with a usable value in the member;\n"
    "with_ms1: of those, with an earlier MS1 scan that decoded; matched: of those, with a\n"
    "centroid within the tolerance; share: matched / fragment_scans; median_error_ppm: the\n"
    "median signed error of the matched ones (None when none matched).";

constexpr const char* format_error_doc =
    "The acquisition's contents are at fault (a damaged or unknown index, a file cut short).";

constexpr const char* damaged_warning_doc =
    "A call's result includes scans whose data could not be read or decoded (they hold no\n"
    "points; their Spectrum.error says why), or open(salvage=True) dropped the cut end of the\n"
    "scan index. One warning per call, naming the count and the first error. A UserWarning:\n"
    "warnings.simplefilter('error', meridel.DamagedDataWarning) makes it an exception.";

constexpr const char* salvage_doc =
    "Salvage(bytes_dropped, records_dropped, records_kept, record_stride): what\n"
    "open(path, salvage=True) left out of a scan index cut inside a record.";

// The state's references, in the order traverse and clear visit them.
template <class Visit>
void each_reference(State& state, Visit&& visit) {
    visit(state.acquisition);
    visit(state.iterator);
    visit(state.spectrum);
    visit(state.buffer);
    visit(state.format_error);
    visit(state.damaged_warning);
    visit(state.salvage);
    visit(state.instrument);
    visit(state.precursor);
    visit(state.evidence);
    visit(state.chromatogram);
    visit(state.run_arrays);
}

int clear_module(PyObject* module);

int exec_module(PyObject* module) {
    return guarded([&] {
        if (!capi::is_module(module, message::not_a_module)) return -1;
        clear_module(module);  // executed again: the types and classes are made anew
        State& state = module_state(module);
        if (make_acquisition_types(module, state) < 0 || make_spectrum_type(module, state) < 0 ||
            make_buffer_type(module, state) < 0) {
            return -1;
        }
        PyObject* owner = capi::platform::module_of(state.acquisition, &module_def);
        if (owner == nullptr) return -1;
        if (owner != module) {
            // The types are the process's and belong to the first module object (PyPy):
            // share its classes too, so that what this module's calls raise and return
            // is what it exports.
            const State& first = module_state(owner);
            state.format_error = Ref::borrow(first.format_error).release();
            state.damaged_warning = Ref::borrow(first.damaged_warning).release();
            state.salvage = Ref::borrow(first.salvage).release();
            state.instrument = Ref::borrow(first.instrument).release();
            state.precursor = Ref::borrow(first.precursor).release();
            state.evidence = Ref::borrow(first.evidence).release();
            state.chromatogram = Ref::borrow(first.chromatogram).release();
            state.run_arrays = Ref::borrow(first.run_arrays).release();
        } else {
            state.format_error = PyErr_NewExceptionWithDoc("meridel.FormatError", format_error_doc, PyExc_ValueError,
                                                           nullptr);
            if (state.format_error == nullptr) return -1;
            state.damaged_warning = PyErr_NewExceptionWithDoc("meridel.DamagedDataWarning", damaged_warning_doc,
                                                              PyExc_UserWarning, nullptr);
            if (state.damaged_warning == nullptr) return -1;
            if (make_named_tuple(state.instrument, "Instrument", "accession name",
                                 "Instrument(accession, name): the instrument model's vocabulary term",
                                 {"the model's accession in the PSI-MS vocabulary (for example 'MS:1000031')",
                                  "the model's name as the vocabulary or Devices.xml gives it"}) == nullptr ||
                make_named_tuple(state.precursor, "Precursor",
                                 "msn_value_1 msn_value_2 reference mz charge monoisotopic_mz envelope_scan",
                                 precursor_doc,
                                 {"the index's first precursor value as recorded (float), or None",
                                  "the index's second precursor value as recorded (float), or None",
                                  "the index's precursor reference: 'mrm_channel=N' for an MRM scan, the scan's "
                                  "own native id when the index records msn_value_2, else None",
                                  "the declared member's value (open(precursor_mz=...)); None when none was "
                                  "declared or the scan has no usable value there (never 0)",
                                  "the charge read from the isotope envelope around mz in the MS1 scan before, "
                                  "or None when the envelope does not decide",
                                  "the envelope's monoisotopic m/z, or None with charge",
                                  "the native id of the MS1 scan the envelope was read from, or None"},
                                 4) == nullptr ||
                make_named_tuple(state.evidence, "PrecursorEvidence",
                                 "member fragment_scans with_value with_ms1 matched share median_error_ppm",
                                 evidence_doc,
                                 {"the index member looked at: 'msn_value_1' or 'msn_value_2'",
                                  "the number of fragment scans (MS level 2 and above)",
                                  "fragment scans with a usable value in the member (present, finite, above 0)",
                                  "of those, the ones with an earlier MS1 scan that decoded",
                                  "of those, the ones with an MS1 centroid within ppm of the value",
                                  "matched / fragment_scans (0.0 without fragment scans)",
                                  "the median signed error of the matched ones in ppm, or None when none matched"}) ==
                    nullptr ||
                make_named_tuple(state.chromatogram, "Chromatogram", "kind rt intensity target window",
                                 "Chromatogram(kind, rt, intensity, target, window): one value per selected "
                                 "scan; target and window are None except for 'xic'",
                                 {"'tic', 'bpc' or 'xic'",
                                  "retention times in seconds, one per selected scan: meridel.Buffer of 'd'",
                                  "the value of each selected scan (summed for 'tic' and 'xic', the largest for "
                                  "'bpc'; 0.0 for a scan without points in the window): meridel.Buffer of 'd'",
                                  "the XIC's target m/z as given, or None",
                                  "the XIC's (low, high) m/z window, both ends included, or None"}) == nullptr ||
                make_named_tuple(state.run_arrays, "RunArrays", "offsets mz intensity scan_index",
                                 "RunArrays(offsets, mz, intensity, scan_index): the points of the selected "
                                 "scans; scan k owns mz[offsets[k]:offsets[k + 1]]",
                                 {"where each selected scan's points begin, one more than scans: meridel.Buffer "
                                  "of 'Q'",
                                  "the m/z values of every selected scan, one after the other: meridel.Buffer of 'd'",
                                  "the intensities, in the same order as mz: meridel.Buffer of 'f'",
                                  "each selected scan's position in the index: meridel.Buffer of 'Q'"}) == nullptr ||
                make_named_tuple(state.salvage, "Salvage", "bytes_dropped records_dropped records_kept record_stride",
                                 salvage_doc,
                                 {"the bytes of the incomplete record cut off at the end of MSScan.bin",
                                  "the records those bytes began (1)",
                                  "the complete records read",
                                  "the record layout's size in bytes, as the data support it"}) == nullptr) {
                return -1;
            }
        }
        capi::platform::start_exports("meridel._views");
        Ref version(PyUnicode_FromString(MERIDEL_VERSION));
        if (!version || PyObject_SetAttrString(module, "__version__", version.get()) < 0) return -1;
        const std::pair<const char*, PyObject*> names[] = {
            {"Acquisition", reinterpret_cast<PyObject*>(state.acquisition)},
            {"Buffer", reinterpret_cast<PyObject*>(state.buffer)},
            {"Chromatogram", state.chromatogram},
            {"DamagedDataWarning", state.damaged_warning},
            {"FormatError", state.format_error},
            {"Instrument", state.instrument},
            {"Precursor", state.precursor},
            {"PrecursorEvidence", state.evidence},
            {"RunArrays", state.run_arrays},
            {"Salvage", state.salvage},
            {"Spectrum", reinterpret_cast<PyObject*>(state.spectrum)},
        };
        for (const auto& [name, object] : names) {
            if (capi::add_to_module(module, name, object) < 0) return -1;
        }
        Ref all(PyObject_GetAttrString(module, "__all__"));
        Ref open_name(PyUnicode_FromString("open"));
        if (!all || !open_name || PyList_Append(all.get(), open_name.get()) < 0) return -1;
        return 0;
    }, -1);
}

PyObject* getter_docs_function(PyObject*, PyObject* type) {
    return guarded([&]() -> PyObject* {
        if (!PyType_Check(type)) {
            PyErr_SetString(PyExc_TypeError, "_getter_docs(type) takes a type");
            return nullptr;
        }
        return capi::getter_docs(reinterpret_cast<PyTypeObject*>(type));
    }, static_cast<PyObject*>(nullptr));
}

int traverse_module(PyObject* module, visitproc visit, void* arg) {
    auto* state = static_cast<State*>(PyModule_GetState(module));
    if (state == nullptr) return 0;
    int failed = 0;
    each_reference(*state, [&](auto*& object) {
        if (failed == 0 && object != nullptr) failed = visit(reinterpret_cast<PyObject*>(object), arg);
    });
    return failed;
}

int clear_module(PyObject* module) {
    auto* state = static_cast<State*>(PyModule_GetState(module));
    if (state != nullptr) each_reference(*state, [](auto*& object) { Py_CLEAR(object); });
    return 0;
}

void free_module(void* module) { clear_module(static_cast<PyObject*>(module)); }

PyMethodDef module_methods[] = {
    {"open", method(&open_acquisition), METH_FASTCALL | METH_KEYWORDS,
     "open(path, precursor_mz=None, salvage=False)\n--\n\n"
     "Opens the acquisition directory at path (str or os.PathLike): reads its scan index and\n"
     "metadata; spectra are decoded when asked for.\n\n"
     "precursor_mz: which member of the index holds a fragment scan's precursor m/z,\n"
     "'msn_value_1' or 'msn_value_2' (the index does not say: precursor_evidence() shows\n"
     "which one matches the MS1 data). Once declared, every fragment spectrum's precursor\n"
     "carries that m/z and the charge and monoisotopic m/z of its isotope envelope, and\n"
     "to_mzml() and to_mgf() write them. None: the index's values only.\n\n"
     "salvage: read a scan index cut inside a record (a run stopped mid-acquisition): every\n"
     "complete record is kept under the record layout the data support, the cut end is\n"
     "dropped with a meridel.DamagedDataWarning saying how much, and acq.salvaged says it\n"
     "too. Without it such an index is a meridel.FormatError.\n\n"
     "Raises FileNotFoundError when nothing is at path or the directory has no AcqData,\n"
     "NotADirectoryError when path is a file, PermissionError or another OSError (errno and\n"
     "filename set) when the index cannot be read, and meridel.FormatError when the index is\n"
     "damaged. Use as a context manager."},
    {"_restore_spectrum", method(&restore_spectrum), METH_O, "_restore_spectrum(state)\n--\n\nUnpickles a Spectrum."},
    {"_check_convert", method(&check_convert), METH_FASTCALL | METH_KEYWORDS,
     "_check_convert(format, precursor_mz=None, centroid=False, ms_level=None, rt_range=None, top_n=None, "
     "min_intensity=None, command_line=False)\n--\n\n"
     "Raises what to_mzml() (format 'mzml') or to_mgf() ('mgf') would raise for these\n"
     "arguments, without an acquisition (meridel.batch checks a batch's arguments once);\n"
     "returns the format's name ('mzml' or 'mgf'). command_line: words the refusal of MGF\n"
     "without a precursor member in corvane-batch's options rather than batch.convert's."},
    {"_frame", method(&frame_function), METH_FASTCALL,
     "_frame(callable, columns)\n--\n\nA pandas.DataFrame of the dict columns (Buffers as NumPy arrays); "
     "ImportError naming\nthe extra when pandas is missing (callable names the call in it)."},
    {"_getter_docs", method(&getter_docs_function), METH_O,
     "_getter_docs(type)\n--\n\nThe docstrings of one of the module's types' getters, as a dict (empty where\n"
     "the interpreter keeps them itself: only PyPy's types are found)."},
    {"_output_name", method(&output_name), METH_FASTCALL, "_output_name(path, format)\n--\n\nThe output layer's file name for path's output in format (run.d -> run.mzML)."},
    {"_release_dead_exports", method(&release_dead_exports_function), METH_NOARGS,
     "_release_dead_exports()\n--\n\nLets go of the values of Buffers that have died (see meridel._views)."},
    {"_spectrum_values", method(&spectrum_values), METH_FASTCALL,
     "_spectrum_values(spectrum, which)\n--\n\nThe address of a spectrum's mz (0) or intensity (1), kept for a Buffer\n"
     "that meridel._views makes of them until a sweep reports its reference dead."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, slot(&exec_module)},
#ifdef Py_mod_multiple_interpreters
    // The export and pacing bookkeeping and the registry of type tables are the
    // process's (and on PyPy the type objects too).
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
    {0, nullptr},
};

}  // namespace

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "meridel",
    "Whole-run access to LC/MS acquisition directories: spectra as zero-copy buffers,\n"
    "chromatograms and the run as arrays, decoded on several threads without the GIL.",
    static_cast<Py_ssize_t>(sizeof(State)),
    module_methods,
    module_slots,
    &traverse_module,
    &clear_module,
    &free_module,
};
}  // namespace corvane::pymeridel

namespace corvane::capi {

// NullObject keeps the interpreter's pending exception; anything else becomes SystemError
// with its text.
void raise_unexpected(Failure failure, std::string_view what) noexcept {
    try {
        switch (failure) {
        case Failure::null_object:
            if (PyErr_Occurred() == nullptr) PyErr_SetString(PyExc_SystemError, "meridel: null result");
            return;
        case Failure::exception:
            PyErr_Format(PyExc_SystemError, "meridel: %s", std::string(what).c_str());
            return;
        case Failure::unknown:
            PyErr_SetString(PyExc_SystemError, "meridel: native code failed without a message");
            return;
        }
    } catch (...) {
        std::fputs("meridel: uncaught failure at the interpreter boundary\n", stderr);
        std::abort();
    }
}

}  // namespace corvane::capi

PyMODINIT_FUNC PyInit_meridel() {
    return PyModuleDef_Init(&corvane::pymeridel::module_def);
}
