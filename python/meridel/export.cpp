// Acquisition.to_mzml(): the run written as an mzML file by the writer in export/, with
// the interpreter lock released, under the output layer's rules (export/output.hpp:
// temporary file in the target folder, fsync, atomic rename, no replacing unless asked,
// never into the acquisition). meridel._output_name: that layer's naming rule, for
// meridel.batch.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cerrno>
#include <string>
#include <string_view>

#include "export/convert.hpp"
#include "export/output.hpp"
#include "meridel.hpp"

namespace corvane::pymeridel {

namespace {

constexpr const char* callable = "to_mzml()";

// compression: None or "none", "zlib", "numpress". False with the exception set.
bool compression_argument(PyObject* value, mzml::Compression& out) {
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

PyObject* to_mzml_impl(std::shared_ptr<const Reader> reader, Ref path, const convert::ConvertOptions& options) {
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
    Py_RETURN_NONE;
}

}  // namespace

PyObject* acquisition_to_mzml(PyObject* self, PyObject* const* args, Py_ssize_t count, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"path", "compression", "index", "threads", "overwrite"};
        PyObject* values[5];
        if (!bind(callable, names, 5, 1, args, count, kwnames, values)) return nullptr;
        Ref path(path_argument(callable, "path", values[0]));
        if (!path) return nullptr;
        convert::ConvertOptions options;
        if (!compression_argument(values[1], options.write.compression)) return nullptr;
        if (values[2] != nullptr) {
            const int index = PyObject_IsTrue(values[2]);
            if (index < 0) return nullptr;
            options.write.index = index != 0;
        }
        const auto threads = threads_argument(callable, values[3]);
        if (!threads) return nullptr;
        options.write.threads = *threads;
        if (values[4] != nullptr) {
            const int overwrite = PyObject_IsTrue(values[4]);
            if (overwrite < 0) return nullptr;
            options.force = overwrite != 0;
        }
        std::shared_ptr<const Reader> reader = acquisition_reader(self);
        if (!reader) return nullptr;
        return to_mzml_impl(std::move(reader), std::move(path), options);
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
