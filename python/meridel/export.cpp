// Acquisition.to_mzml() and to_mgf(): the run written as an mzML or MGF file by the
// writers in export/, with the interpreter lock released, under the output layer's rules
// (export/output.hpp: temporary file in the target folder, fsync, atomic rename, no
// replacing unless asked, never into the acquisition). meridel._output_name: that layer's
// naming rule, and meridel._check_convert: the same argument checks without a run, for
// meridel.batch.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "export/convert.hpp"
#include "export/output.hpp"
#include "meridel.hpp"

namespace corvane::pymeridel {

namespace {

// compression: None or "none", "zlib", "numpress". False with the exception set.
bool compression_argument(const char* callable, PyObject* value, mzml::Compression& out) {
    if (value == nullptr) return true;
    if (value == Py_None) {
        out = mzml::Compression::none;
        return true;
    }
    if (!PyUnicode_Check(value)) {
        Ref name(type_name(value));
        PyErr_Format(PyExc_TypeError, message::not_compression_type, callable, PyUnicode_AsUTF8(name.get()));
        return false;
    }
    const char* text = PyUnicode_AsUTF8(value);
    if (text == nullptr) return false;
    const std::string_view name(text);
    if (name == "zlib") {
        out = mzml::Compression::zlib;
    } else if (name == "numpress") {
        out = mzml::Compression::numpress;
    } else if (name == "none") {
        out = mzml::Compression::none;
    } else {
        PyErr_Format(PyExc_ValueError, message::not_compression, callable, value);
        return false;
    }
    return true;
}

// A failure of the writer as a Python exception: OSError (subclass by errno) with the
// filename for the operating system's, ValueError for a refused output, MemoryError when
// memory ran out, RuntimeError otherwise.
void raise_failure(const output::Failure& failure, PyObject* path, const std::string& output) {
    if (failure.os_error != 0) {
        Ref filename;
        if (failure.path.empty() || failure.path == output) {
            Py_INCREF(path);
            filename = Ref(path);
        } else {
            filename = Ref(text(failure.path));
        }
        Ref strerror(text(os_message(failure.os_error)));
        Ref exception(result(PyObject_CallFunction(PyExc_OSError, "iOO", failure.os_error, strerror.get(),
                                                   filename.get())));
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())), exception.get());
        return;
    }
    Ref message(text(failure.message));
    if (failure.refused) {
        PyErr_SetObject(PyExc_ValueError, message.get());
    } else if (failure.message.ends_with("out of memory")) {
        PyErr_SetObject(PyExc_MemoryError, message.get());
    } else {
        PyErr_SetObject(PyExc_RuntimeError, message.get());
    }
}

// A flag of the file rules (index, overwrite): anything with a truth value.
bool flag_argument(PyObject* value, bool& out) {
    if (value == nullptr) return true;
    const int flag = PyObject_IsTrue(value);
    if (flag < 0) return false;
    out = flag != 0;
    return true;
}

// What both writers take beside the file rules: the scans (ms_level, rt_range) and what
// happens to each spectrum (centroid, top_n, min_intensity); null: absent. The precursor
// member is the acquisition's, set by the caller.
bool selection_arguments(const char* callable, PyObject* centroid, PyObject* ms_level, PyObject* rt_range,
                         PyObject* top_n, PyObject* min_intensity, convert::ConvertOptions& options) {
    return processing_arguments(callable, centroid, top_n, min_intensity, options.processing) &&
           ms_level_argument(callable, ms_level, std::nullopt, options.selection.ms_level) &&
           rt_range_argument(callable, rt_range, options.selection.rt_range);
}

// The converter's words for what Python users write instead of its options.
constexpr convert::Spelling method_spelling{"to_mgf()", "meridel.open(path, precursor_mz='msn_value_1'|'msn_value_2')",
                                            "acq.precursor_evidence()"};
constexpr convert::Spelling batch_spelling{"format='mgf'", "precursor_mz='msn_value_1'|'msn_value_2'",
                                           "meridel.open(run).precursor_evidence()"};

// The converter's refusal of the options (MGF without a declared precursor member), in
// its words, as ValueError; true when it takes them.
bool format_accepts(const convert::ConvertOptions& options, const convert::Spelling& spelling) {
    const std::optional<std::string> problem = convert::usage_problem(options, spelling);
    if (!problem) return true;
    Ref message(text(*problem));
    PyErr_SetObject(PyExc_ValueError, message.get());
    return false;
}

// "scanId=1, scanId=2 and 3 more", as corvane-convert names the scans of a warning.
std::string some_ids(std::uint64_t count, const std::vector<std::string>& first) {
    std::string ids;
    for (std::size_t i = 0; i < first.size(); ++i) {
        if (i > 0) ids += ", ";
        ids += first[i];
    }
    if (count > first.size()) ids += " and " + std::to_string(count - first.size()) + " more";
    return ids;
}

// The fragment scans an MGF file left out, as warnings in corvane-convert's words: the file
// was written, but without them. Those without a precursor m/z are a UserWarning, the
// damaged ones a meridel.DamagedDataWarning (a UserWarning too). False when a warning was
// turned into an exception.
bool warn_left_out(const State& state, const char* callable, const convert::ConvertOptions& options,
                   const output::WriteStats& stats) {
    std::vector<std::pair<PyObject*, std::string>> lines;
    if (stats.without_precursor > 0) {
        const bool one = stats.without_precursor == 1;
        const std::string member(options.processing.precursor_mz ? processing::member_name(*options.processing.precursor_mz)
                                                                 : "the declared member");
        lines.emplace_back(PyExc_UserWarning,
                           std::to_string(stats.without_precursor) + (one ? " fragment scan has" : " fragment scans have") +
                        " no precursor m/z in " + member + (one ? " and was left out: " : " and were left out: ") +
                        some_ids(stats.without_precursor, stats.first_without_precursor));
    }
    if (stats.damaged > 0) {
        const bool one = stats.damaged == 1;
        lines.emplace_back(state.damaged_warning,
                           std::to_string(stats.damaged) +
                               (one ? " scan could not be read and was left out: "
                                    : " scans could not be read and were left out: ") +
                               some_ids(stats.damaged, stats.first_damaged) + (one ? "; error: " : "; first error: ") +
                               stats.first_error);
    }
    for (const auto& [category, line] : lines) {
        const std::string warning = std::string(callable) + ": " + line;
        if (PyErr_WarnEx(category, warning.c_str(), 1) < 0) return false;
    }
    return true;
}

// The damaged scans an mzML file holds without data (each with its error), as the one
// DamagedDataWarning of the call. False when it was turned into an exception.
bool warn_written_damaged(const State& state, const output::WriteStats& stats) {
    if (stats.damaged == 0) return true;
    analysis::Damage damage;
    damage.count = static_cast<std::size_t>(stats.damaged);
    damage.first_native_id = stats.first_damaged.empty() ? std::string() : stats.first_damaged.front();
    damage.first_error = stats.first_error;
    return warn_damaged(state, static_cast<std::size_t>(stats.spectra), damage);
}

PyObject* write_impl(const State& state, const char* callable, std::shared_ptr<const Reader> reader, Ref path,
                     const convert::ConvertOptions& options) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(path.get(), &size);
    if (utf8 == nullptr) return nullptr;
    const std::string output(utf8, static_cast<std::size_t>(size));
    if (output.find('\0') != std::string::npos || output.empty()) {
        PyErr_Format(PyExc_ValueError, output.empty() ? message::empty_path : message::null_in_path, callable, "path");
        return nullptr;
    }
    auto written = without_gil([&] {
        output::Progress progress;
        const std::atomic<bool> stop{false};
        return convert::write_file(*reader, output, options, progress, stop);
    });
    if (!written) {
        raise_failure(written.error(), path.get(), output);
        return nullptr;
    }
    // mzML writes a damaged scan without data (its spectrum's error says why); MGF leaves
    // scans out. Either way the caller is told.
    if (options.format == output::Format::mgf ? !warn_left_out(state, callable, options, *written)
                                              : !warn_written_damaged(state, *written)) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

}  // namespace

PyObject* acquisition_to_mzml(PyObject* self, PyObject* const* args, Py_ssize_t count, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        constexpr const char* callable = "to_mzml()";
        static const char* const names[] = {"path",     "compression", "index",    "threads", "overwrite",
                                            "centroid", "ms_level",    "rt_range", "top_n",   "min_intensity"};
        PyObject* values[10];
        if (!bind(callable, names, 10, 1, args, count, kwnames, values)) return nullptr;
        Ref path(path_argument(callable, "path", values[0]));
        if (!path) return nullptr;
        convert::ConvertOptions options;
        options.format = output::Format::mzml;
        if (!compression_argument(callable, values[1], options.write.compression) ||
            !flag_argument(values[2], options.write.index)) {
            return nullptr;
        }
        const auto threads = threads_argument(callable, values[3]);
        if (!threads) return nullptr;
        options.write.threads = *threads;
        if (!flag_argument(values[4], options.force) ||
            !selection_arguments(callable, values[5], values[6], values[7], values[8], values[9], options)) {
            return nullptr;
        }
        std::shared_ptr<const Reader> reader = acquisition_reader(self);
        if (!reader) return nullptr;
        options.processing.precursor_mz = acquisition_member(self);
        return write_impl(state_of(self), callable, std::move(reader), std::move(path), options);
    }, static_cast<PyObject*>(nullptr));
}

PyObject* acquisition_to_mgf(PyObject* self, PyObject* const* args, Py_ssize_t count, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        constexpr const char* callable = "to_mgf()";
        static const char* const names[] = {"path",          "centroid", "ms_level", "rt_range",
                                            "top_n", "min_intensity", "threads",  "overwrite"};
        PyObject* values[8];
        if (!bind(callable, names, 8, 1, args, count, kwnames, values)) return nullptr;
        Ref path(path_argument(callable, "path", values[0]));
        if (!path) return nullptr;
        convert::ConvertOptions options;
        options.format = output::Format::mgf;
        if (!selection_arguments(callable, values[1], values[2], values[3], values[4], values[5], options)) {
            return nullptr;
        }
        const auto threads = threads_argument(callable, values[6]);
        if (!threads) return nullptr;
        options.write.threads = *threads;
        if (!flag_argument(values[7], options.force)) return nullptr;
        std::shared_ptr<const Reader> reader = acquisition_reader(self);
        if (!reader) return nullptr;
        options.processing.precursor_mz = acquisition_member(self);
        if (!format_accepts(options, method_spelling)) return nullptr;
        return write_impl(state_of(self), callable, std::move(reader), std::move(path), options);
    }, static_cast<PyObject*>(nullptr));
}

PyObject* check_convert(PyObject*, PyObject* const* args, Py_ssize_t count, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        constexpr const char* callable = "convert()";
        static const char* const names[] = {"format", "precursor_mz", "centroid",      "ms_level",
                                            "rt_range", "top_n",      "min_intensity", "command_line"};
        PyObject* values[8];
        if (!bind(callable, names, 8, 1, args, count, kwnames, values)) return nullptr;
        bool command_line = false;
        if (!bool_argument(callable, "command_line", values[7], command_line)) return nullptr;
        const char* name = PyUnicode_Check(values[0]) ? PyUnicode_AsUTF8(values[0]) : nullptr;
        const auto format = name != nullptr ? output::parse_format(name) : std::nullopt;
        if (!format) {
            PyErr_Clear();
            PyErr_Format(PyExc_ValueError, "%s argument 'format' must be 'mzml' or 'mgf', not %R", callable, values[0]);
            return nullptr;
        }
        convert::ConvertOptions options;
        options.format = *format;
        if (!member_argument(callable, values[1], options.processing.precursor_mz) ||
            !selection_arguments(callable, values[2], values[3], values[4], values[5], values[6], options) ||
            !format_accepts(options, command_line ? convert::Spelling{} : batch_spelling)) {
            return nullptr;
        }
        return text(output::format_name(options.format));
    }, static_cast<PyObject*>(nullptr));
}

PyObject* output_name(PyObject*, PyObject* const* args, Py_ssize_t count) {
    return guarded([&]() -> PyObject* {
        if (count != 2 || !PyUnicode_Check(args[0]) || !PyUnicode_Check(args[1])) {
            PyErr_SetString(PyExc_TypeError, "_output_name(path, format) takes two str");
            return nullptr;
        }
        // Paths as the file system has them: bytes that are not UTF-8 are kept (surrogateescape).
        Ref encoded(PyUnicode_EncodeFSDefault(args[0]));
        if (!encoded) return nullptr;
        char* bytes = nullptr;
        Py_ssize_t size = 0;
        if (PyBytes_AsStringAndSize(encoded.get(), &bytes, &size) < 0) return nullptr;
        const char* name = PyUnicode_AsUTF8(args[1]);
        if (name == nullptr) return nullptr;
        const auto format = output::parse_format(name);
        if (!format) {
            PyErr_Format(PyExc_ValueError, "unknown output format %R", args[1]);
            return nullptr;
        }
        const auto file = output::file_name(std::string(bytes, static_cast<std::size_t>(size)), *format);
        const std::string& result = file ? *file : file.error().message;
        Ref decoded(PyUnicode_DecodeFSDefaultAndSize(result.data(), static_cast<Py_ssize_t>(result.size())));
        if (!decoded || file) return decoded.release();
        PyErr_SetObject(PyExc_ValueError, decoded.get());
        return nullptr;
    }, static_cast<PyObject*>(nullptr));
}

}  // namespace corvane::pymeridel
