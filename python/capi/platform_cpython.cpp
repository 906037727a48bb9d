// The platform interface on CPython: exports are instances of the module's native buffer
// type, freed by reference counting the moment they die, and lists are filled in place.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "capi/platform.hpp"
#include "capi/runtime.hpp"

namespace corvane::capi::platform {

namespace {

PyTypeObject* native_buffer_type = nullptr;

// Points an empty export at a valid address: some consumers refuse a null buf.
const double empty_storage = 0.0;

template <class T>
PyObject* list_by_item(const std::vector<T>& values) {
    Ref list(result(PyList_New(static_cast<Py_ssize_t>(values.size()))));
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyObject* item = result(PyFloat_FromDouble(static_cast<double>(values[i])));
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

}  // namespace

bool refuses_by_itself() { return true; }

PyObject* qualified_name(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030B0000
    return PyType_GetQualName(type);
#else
    return PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__qualname__");
#endif
}

PyObject* float_list(const std::vector<double>& values) { return list_by_item(values); }
PyObject* float_list(const std::vector<float>& values) { return list_by_item(values); }

void start_exports(PyTypeObject* native_type, const char*) { native_buffer_type = native_type; }

PyObject* export_values(Values values, Lifetime) {
    if (native_buffer_type == nullptr) {
        PyErr_SetString(PyExc_SystemError, "buffer exports used before start_exports");
        throw NullObject{};
    }
    NativeBuffer b;
    b.owner = std::move(values.owner);
    b.data = values.count == 0 ? static_cast<const void*>(&empty_storage) : values.data;
    b.shape = static_cast<Py_ssize_t>(values.count);
    b.stride = static_cast<Py_ssize_t>(item_size(values.format));
    b.format[0] = values.format;
    return result(new_instance(native_buffer_type, std::move(b)));
}

PyObject* kept_address(Values) {
    PyErr_SetString(PyExc_NotImplementedError, "addresses are kept only where exports are made in Python (PyPy)");
    return nullptr;
}

void release_dead_exports() {}

std::shared_ptr<const void> paced(std::shared_ptr<const void> holder, std::size_t) { return holder; }

void note_native_memory(std::size_t) {}

}  // namespace corvane::capi::platform
