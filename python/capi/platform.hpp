// What the two interpreters need done differently, behind one interface. The build
// compiles platform_cpython.cpp or platform_pypy.cpp into each module (never both), as
// CPython's thread.c takes thread_pthread.h or thread_nt.h; nothing else in either module
// asks which interpreter it runs in. Include after Python.h.
//
// - exporting read-only buffers over memory that C++ owns, and keeping that memory alive
//   for as long as an export of it may be read;
// - accounting for the native memory live records hold, so that the collector runs
//   when they pile up (PyPy frees our objects only when its collector finds them dead);
// - the few calls cpyext lacks or makes slow (type names, lists of float);
// - whether a module's type objects are its own (module state) or the process's;
// - whether the interpreter itself refuses subclassing and instance attributes.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

namespace corvane::capi::platform {

// True where the interpreter refuses by itself to subclass a type without
// Py_TPFLAGS_BASETYPE and to set attributes on instances without a __dict__ (CPython);
// false where the runtime must add those refusals (PyPy's cpyext allows both).
bool refuses_by_itself();

// A type made from its PyType_Spec description for module (in its execution step), new reference; null with an
// exception. Where the interpreter ties a type to its module (CPython), each module object
// gets a type of its own, whose module is `module`. Where it cannot be relied on to (PyPy:
// no PyType_GetModuleByDef, and cpyext types are never freed), the type is the process's:
// the first call makes it and keeps it in `kept`, later calls return it again, and the
// module object of the first call is the one module_of names for it.
PyTypeObject* module_type(PyObject* module, PyType_Spec* spec, PyTypeObject*& kept);

// The module object, defined by def, whose state holds `type` (an instance's type, made by
// module_type for a module of def): borrowed; null with an exception when type is not one
// of that module's.
PyObject* module_of(PyTypeObject* type, PyModuleDef* def);

// The state of module_of(type, def); null with an exception as there. The hot paths (a
// spectrum made per scan) come through here: on PyPy it is found without crossing into
// the interpreter.
void* module_state(PyTypeObject* type, PyModuleDef* def);

// The qualified name of a type, new reference; null with an exception.
PyObject* qualified_name(PyTypeObject* type);

// A new list of float, one per value, same order; 32-bit values are widened exactly.
// Throws NullObject when the interpreter cannot build it.
PyObject* float_list(const std::vector<double>& values);
PyObject* float_list(const std::vector<float>& values);

// ---------------------------------------------------------------------------------------
// Read-only exports of values that C++ owns

// count items of one format ('d', 'f', 'Q', 'I', 'q') at data; owner keeps them alive.
struct Values {
    std::shared_ptr<const void> owner;
    const void* data = nullptr;
    std::size_t count = 0;
    char format = 'd';
};

// Whose values an export shows: one scan's (many, short-lived) or a whole run's (few and
// large: let go as soon as their last export dies).
enum class Lifetime { of_scan, of_run };

// Bytes per item of a format.
constexpr std::size_t item_size(char format) { return format == 'f' || format == 'I' ? 4 : 8; }

// The body of the module's native buffer type (see meridel/buffer.cpp): the owner kept
// alive, the items, and the PEP 3118 shape and strides as the arrays the protocol wants.
struct NativeBuffer {
    std::shared_ptr<const void> owner;
    const void* data = nullptr;  // never null: an empty export points at a valid address
    Py_ssize_t shape = 0;        // item count
    Py_ssize_t stride = 0;       // item size: the values are contiguous
    char format[2] = {0, 0};
};

// Names, in the module's execution step, the Python module that makes exports where the
// native buffer type does not suit the interpreter (PyPy: meridel._views, imported at the
// first export).
void start_exports(const char* views_module);

// A new read-only buffer object over values: on CPython an instance of native_type (the
// module's native buffer type, of the caller's module); on PyPy one made by the views
// module, the owner kept until a sweep finds every export of the memory dead. Throws
// NullObject with the interpreter's exception.
PyObject* export_values(PyTypeObject* native_type, Values values, Lifetime lifetime);

// The address of the values as an int, for a buffer the views module makes itself; the
// owner is kept until a sweep reports the weak reference kept with the address dead.
// Null with an exception (NotImplementedError where exports are native).
PyObject* kept_address(Values values);

// Lets go of the owners of exports that have all died (nothing where exports are native).
void release_dead_exports();

// ---------------------------------------------------------------------------------------
// Pacing the collector

// The holder of `bytes` of native memory held by one short-lived object (a spectrum's
// record): where the collector does not see that memory, it is counted while the returned
// pointer (or a copy) lives, and the collector is run when the count has grown enough.
// Elsewhere holder itself.
std::shared_ptr<const void> paced(std::shared_ptr<const void> holder, std::size_t bytes);

// Tells the interpreter that an object about to be made holds this much native memory
// (run arrays: made once, large).
void note_native_memory(std::size_t bytes);

}  // namespace corvane::capi::platform
