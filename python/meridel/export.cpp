// Acquisition.to_mzml(): the run written as an mzML file by the writer in export/, with
// the interpreter lock released, under the converter's rules (temporary file in the
// target folder, atomic rename, no replacing unless asked, never into the acquisition).
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "export/convert.hpp"
#include "meridel.hpp"

namespace corvane::pymeridel {

namespace {

constexpr const char* callable = "to_mzml()";

// The process's file creation mask, read without changing it (umask() would, for a
// moment, for every thread). 022 when /proc cannot say.
mode_t creation_mask() {
    mode_t mask = 022;
    if (std::FILE* f = std::fopen("/proc/self/status", "re")) {
        char line[256];
        while (std::fgets(line, sizeof line, f) != nullptr) {
            unsigned value = 0;
            if (std::sscanf(line, "Umask: %o", &value) == 1) {
                mask = static_cast<mode_t>(value & 0777);
                break;
            }
        }
        std::fclose(f);
    }
    return mask;
}

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
void raise_failure(const mzml::Failure& failure, PyObject* path, const std::string& output) {
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

PyObject* to_mzml_impl(std::shared_ptr<const Reader> reader, Ref path, mzml::ConvertOptions options) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(path.get(), &size);
    if (utf8 == nullptr) return nullptr;
    const std::string output(utf8, static_cast<std::size_t>(size));
    if (output.find('\0') != std::string::npos || output.empty()) {
        PyErr_Format(PyExc_ValueError, output.empty() ? message::empty_path : message::null_in_path, callable, "path");
        return nullptr;
    }
    options.file_mode = static_cast<mode_t>(0666 & ~creation_mask());
    auto written = without_gil([&] {
        mzml::Progress progress;
        const std::atomic<bool> stop{false};
        return mzml::write_file(*reader, output, options, progress, stop);
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
        mzml::ConvertOptions options;
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

}  // namespace corvane::pymeridel
