// Building the `mz` and `intensity` lists.
//
// CPython: one PyFloat per value, stored straight into a list made at its final length.
// PyPy: every C-API call crosses cpyext's emulation layer, which costs far more than the
// float itself, so the values go over in one piece (a memoryview of the vector copied by
// array.frombytes) and the interpreter's own array.tolist() builds the list: a handful
// of crossings per list instead of one per value.
// Both give a new list of float with the same values in the same order.
#include <Python.h>

#include <cstring>

#include "binding.hpp"

namespace corvane::python {

namespace {

#ifdef PYPY_VERSION

// array.array and the call's constant arguments; made at first use and kept for the
// process's life, like the type objects.
struct ArrayCalls {
    PyObject* array_type = nullptr;
    PyObject* code_double = nullptr;  // "d": C double
    PyObject* code_float = nullptr;   // "f": C float
    PyObject* frombytes = nullptr;
    PyObject* tolist = nullptr;
};

const ArrayCalls& array_calls() {
    static ArrayCalls calls;
    if (calls.tolist != nullptr) return calls;
    Ref module(result(PyImport_ImportModule("array")));
    Ref type(result(PyObject_GetAttrString(module.get(), "array")));
    Ref code_double(result(PyUnicode_InternFromString("d")));
    Ref code_float(result(PyUnicode_InternFromString("f")));
    Ref frombytes(result(PyUnicode_InternFromString("frombytes")));
    Ref tolist(result(PyUnicode_InternFromString("tolist")));
    calls.array_type = type.release();
    calls.code_double = code_double.release();
    calls.code_float = code_float.release();
    calls.frombytes = frombytes.release();
    calls.tolist = tolist.release();
    return calls;
}

// Releases a memoryview over our memory when it goes out of scope, so that nothing can
// read through it after the vector is gone, even if it is still referenced somewhere
// (a traceback, say). A pending exception is kept.
class ViewRelease {
public:
    explicit ViewRelease(PyObject* view) : view_(view) {}
    ViewRelease(const ViewRelease&) = delete;
    ViewRelease& operator=(const ViewRelease&) = delete;
    ~ViewRelease() {
        PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
        PyErr_Fetch(&type, &value, &traceback);
        Ref released(PyObject_CallMethod(view_, "release", nullptr));
        if (!released) PyErr_WriteUnraisable(view_);
        PyErr_Restore(type, value, traceback);
    }

private:
    PyObject* view_;
};

template <class T>
PyObject* list_through_array(const std::vector<T>& values, PyObject* ArrayCalls::*code) {
    static_assert(sizeof(double) == 8 && sizeof(float) == 4, "array codes d and f");
    if (values.empty()) return result(PyList_New(0));
    const ArrayCalls& calls = array_calls();
    // array(code).frombytes(memoryview of the vector).tolist(): one copy into the
    // interpreter, then its own list building.
    Ref array(result(PyObject_CallFunctionObjArgs(calls.array_type, calls.*code, nullptr)));
    auto* data = const_cast<char*>(reinterpret_cast<const char*>(values.data()));  // read-only view
    Ref view(result(PyMemoryView_FromMemory(data, static_cast<Py_ssize_t>(values.size() * sizeof(T)), PyBUF_READ)));
    {
        ViewRelease release(view.get());
        Ref filled(result(PyObject_CallMethodObjArgs(array.get(), calls.frombytes, view.get(), nullptr)));
    }
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
    return list_through_array(values, &ArrayCalls::code_double);
#else
    return list_by_item(values);
#endif
}

PyObject* float_list(const std::vector<float>& values) {
#ifdef PYPY_VERSION
    return list_through_array(values, &ArrayCalls::code_float);
#else
    return list_by_item(values);
#endif
}

}  // namespace corvane::python
