// Building the `mz` and `intensity` lists.
//
// CPython: one PyFloat per value, stored straight into a list made at its final length.
// PyPy: every C-API call crosses cpyext's emulation layer, which costs far more than the
// float itself, so the values go over in one piece (one memcpy into an array.array of
// the right size) and the interpreter's own array.tolist() builds the list: a handful of
// crossings per list instead of one per value.
// Both give a new list of float with the same values in the same order.
#include <Python.h>

#include <cstring>
#include <stdexcept>

#include "capi/binding.hpp"

namespace corvane::python {

namespace {

#ifdef PYPY_VERSION

// One-element zero arrays of each code (the templates that `*` repeats) and the name of
// tolist; made at first use and kept for the process's life, like the type objects.
// Nothing else ever sees the templates, so they stay as made.
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

// (zero * n) gives an array of the final size; the values go into its buffer with one
// memcpy and array.tolist() builds the list. Four crossings per list whatever its length.
// (PyMemoryView_FromMemory would save the zero fill, but leaks about 1 KiB per call in
// PyPy 7.3.11.)
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

#else

template <class T>
PyObject* list_by_item(const std::vector<T>& values) {
    Ref list(result(PyList_New(static_cast<Py_ssize_t>(values.size()))));
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyObject* item = result(PyFloat_FromDouble(static_cast<double>(values[i])));
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

#endif

}  // namespace

PyObject* float_list(const std::vector<double>& values) {
#ifdef PYPY_VERSION
    return list_through_array(values, &ArrayCalls::zero_double);
#else
    return list_by_item(values);
#endif
}

PyObject* float_list(const std::vector<float>& values) {
#ifdef PYPY_VERSION
    return list_through_array(values, &ArrayCalls::zero_float);
#else
    return list_by_item(values);
#endif
}

}  // namespace corvane::python
