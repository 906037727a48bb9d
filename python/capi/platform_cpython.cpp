// The platform interface on CPython: exports are instances of the module's native buffer
// type, freed by reference counting the moment they die, and lists are filled in place.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "capi/platform.hpp"
#include "capi/runtime.hpp"

namespace corvane::capi::platform {

namespace {

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

PyTypeObject* module_type(PyObject* module, PyType_Spec* spec, PyTypeObject*&) {
    return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, spec, nullptr));
}

PyObject* module_of(PyTypeObject* type, PyModuleDef* def) {
#if PY_VERSION_HEX >= 0x030B0000
    return PyType_GetModuleByDef(type, def);
#else
    // Before 3.11 only the defining type names its module. Ours are final, so an
    // instance's type is the defining one; anything else is refused here.
    PyObject* module = PyType_GetModule(type);
    if (module != nullptr && PyModule_GetDef(module) != def) {
        PyErr_Format(PyExc_TypeError, "PyType_GetModuleByDef: No superclass of '%s' has the given module", type->tp_name);
        return nullptr;
    }
    return module;
#endif
}

PyObject* qualified_name(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030B0000
    return PyType_GetQualName(type);
#else
    return PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__qualname__");
#endif
}

void* module_state(PyTypeObject* type, PyModuleDef* def) {
    PyObject* module = module_of(type, def);
    return module != nullptr ? PyModule_GetState(module) : nullptr;
}

PyObject* float_list(const std::vector<double>& values) { return list_by_item(values); }
PyObject* float_list(const std::vector<float>& values) { return list_by_item(values); }

void start_exports(const char*) {}

PyObject* export_values(PyTypeObject* native_type, Values values, Lifetime) {
    NativeBuffer b;
    b.owner = std::move(values.owner);
    b.data = values.count == 0 ? static_cast<const void*>(&empty_storage) : values.data;
    b.shape = static_cast<Py_ssize_t>(values.count);
    b.stride = static_cast<Py_ssize_t>(item_size(values.format));
    b.format[0] = values.format;
    return result(new_instance(native_type, std::move(b)));
}

PyObject* kept_address(Values) {
    PyErr_SetString(PyExc_NotImplementedError, "addresses are kept only where exports are made in Python (PyPy)");
    return nullptr;
}

void release_dead_exports() {}

std::shared_ptr<const void> paced(std::shared_ptr<const void> holder, std::size_t) { return holder; }

void note_native_memory(std::size_t) {}

}  // namespace corvane::capi::platform
