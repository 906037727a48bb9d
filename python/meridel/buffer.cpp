// meridel.Buffer: a read-only one-dimensional PEP 3118 export of values a C++ owner holds
// (a decoded record, index columns, whole-run arrays). The Buffer keeps the owner alive
// through a shared_ptr, so memoryviews and NumPy arrays made from it share its memory
// and stay valid after the Spectrum or Acquisition that made it is gone. On PyPy,
// new_buffer makes meridel._views.Buffer instead (see there), and this type is not used.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstring>
#include <unordered_map>

#include "meridel.hpp"

namespace corvane::pymeridel {

PyTypeObject* buffer_type = nullptr;

namespace {

struct BufferData {
    std::shared_ptr<const void> owner;
    const void* data = nullptr;
    Py_ssize_t shape = 0;   // item count; PEP 3118 wants shape and strides as arrays
    Py_ssize_t stride = 0;  // item size: the values are contiguous
    char format[2] = {0, 0};
};

using BufferObject = Instance<BufferData>;

constexpr const char* buffer_name = "meridel.Buffer";

// Points an empty export at a valid address: some consumers refuse a null buf.
const double empty_storage = 0.0;

std::size_t item_size_of(char format) { return format == 'f' || format == 'I' ? 4 : 8; }

int buffer_getbuffer(PyObject* self, Py_buffer* view, int flags) {
    BufferData& b = BufferObject::of(self)->value();
    if ((flags & PyBUF_WRITABLE) == PyBUF_WRITABLE) {
        view->obj = nullptr;
        PyErr_SetString(PyExc_BufferError, message::read_only);
        return -1;
    }
    view->buf = const_cast<void*>(b.data);
    view->obj = self;
    Py_INCREF(self);
    view->len = b.shape * b.stride;
    view->readonly = 1;
    view->itemsize = b.stride;
    view->format = (flags & PyBUF_FORMAT) == PyBUF_FORMAT ? b.format : nullptr;
    view->ndim = 1;
    view->shape = (flags & PyBUF_ND) == PyBUF_ND ? &b.shape : nullptr;
    view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? &b.stride : nullptr;
    view->suboffsets = nullptr;
    view->internal = nullptr;
    return 0;
}

void buffer_releasebuffer(PyObject*, Py_buffer*) {}

// Item i (0 <= i < shape) as a Python number.
PyObject* item_at(const BufferData& b, Py_ssize_t i) {
    const auto* bytes = static_cast<const unsigned char*>(b.data) + i * b.stride;
    switch (b.format[0]) {
    case 'd': {
        double v;
        std::memcpy(&v, bytes, sizeof v);
        return result(PyFloat_FromDouble(v));
    }
    case 'f': {
        float v;
        std::memcpy(&v, bytes, sizeof v);
        return result(PyFloat_FromDouble(static_cast<double>(v)));
    }
    case 'Q': {
        std::uint64_t v;
        std::memcpy(&v, bytes, sizeof v);
        return result(PyLong_FromUnsignedLongLong(v));
    }
    case 'I': {
        std::uint32_t v;
        std::memcpy(&v, bytes, sizeof v);
        return result(PyLong_FromUnsignedLong(v));
    }
    default: {
        std::int64_t v;
        std::memcpy(&v, bytes, sizeof v);
        return result(PyLong_FromLongLong(v));
    }
    }
}

Py_ssize_t buffer_length(PyObject* self) { return BufferObject::of(self)->value().shape; }

// sq_item (iteration) and b[i] once made non-negative.
PyObject* buffer_item(PyObject* self, Py_ssize_t i) {
    return guarded([&]() -> PyObject* {
        const BufferData& b = BufferObject::of(self)->value();
        if (i < 0 || i >= b.shape) {
            PyErr_SetString(PyExc_IndexError, message::buffer_out_of_range);
            return nullptr;
        }
        return item_at(b, i);
    }, static_cast<PyObject*>(nullptr));
}

// b[i] for an int i, negative from the end (PyPy does not adjust sq_item's index itself).
PyObject* buffer_subscript(PyObject* self, PyObject* key) {
    return guarded([&]() -> PyObject* {
        if (PyIndex_Check(key) == 0) {
            Ref name(type_name(key));
            PyErr_Format(PyExc_TypeError, message::not_buffer_index, PyUnicode_AsUTF8(name.get()));
            return nullptr;
        }
        Py_ssize_t i = PyNumber_AsSsize_t(key, PyExc_IndexError);
        if (i == -1 && PyErr_Occurred() != nullptr) return nullptr;
        if (i < 0) i += BufferObject::of(self)->value().shape;
        return buffer_item(self, i);
    }, static_cast<PyObject*>(nullptr));
}

PyObject* buffer_tolist(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        const BufferData& b = BufferObject::of(self)->value();
        Ref list(result(PyList_New(b.shape)));
        for (Py_ssize_t i = 0; i < b.shape; ++i) PyList_SET_ITEM(list.get(), i, item_at(b, i));
        return list.release();
    }, static_cast<PyObject*>(nullptr));
}

PyObject* buffer_format(PyObject* self, void*) {
    return guarded([&] { return result(PyUnicode_FromString(BufferObject::of(self)->value().format)); },
                   static_cast<PyObject*>(nullptr));
}

PyObject* buffer_itemsize(PyObject* self, void*) {
    return guarded([&] { return result(PyLong_FromSsize_t(BufferObject::of(self)->value().stride)); },
                   static_cast<PyObject*>(nullptr));
}

PyObject* buffer_nbytes(PyObject* self, void*) {
    return guarded([&] {
        const BufferData& b = BufferObject::of(self)->value();
        return result(PyLong_FromSsize_t(b.shape * b.stride));
    }, static_cast<PyObject*>(nullptr));
}

PyObject* buffer_repr(PyObject* self) {
    return guarded([&] {
        const BufferData& b = BufferObject::of(self)->value();
        const std::string repr = std::string("<meridel.Buffer format='") + b.format +
                                 "' len=" + std::to_string(b.shape) + ">";
        return text(repr);
    }, static_cast<PyObject*>(nullptr));
}

void buffer_dealloc(PyObject* self) { release_instance<BufferData>(self); }

PyMethodDef buffer_methods[] = {
    {"tolist", method(&buffer_tolist), METH_NOARGS, "tolist($self)\n--\n\nThe values as a new list of float or int."},
#ifdef PYPY_VERSION
    {"__init_subclass__", method(&refuse_subclass), METH_VARARGS | METH_KEYWORDS | METH_CLASS, nullptr},
#endif
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef buffer_getset[] = {
    {"format", &buffer_format, nullptr, "struct format of one item: 'd', 'f', 'Q', 'I' or 'q'", nullptr},
    {"itemsize", &buffer_itemsize, nullptr, "bytes per item", nullptr},
    {"nbytes", &buffer_nbytes, nullptr, "bytes in all: len(self) * itemsize", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot buffer_slots[] = {
    {Py_bf_getbuffer, slot(&buffer_getbuffer)},
    {Py_bf_releasebuffer, slot(&buffer_releasebuffer)},
    {Py_sq_length, slot(&buffer_length)},
    {Py_sq_item, slot(&buffer_item)},
    {Py_mp_length, slot(&buffer_length)},
    {Py_mp_subscript, slot(&buffer_subscript)},
    {Py_tp_repr, slot(&buffer_repr)},
    {Py_tp_dealloc, slot(&buffer_dealloc)},
    {Py_tp_methods, buffer_methods},
    {Py_tp_getset, buffer_getset},
    {Py_tp_doc, const_cast<char*>(
        "A read-only run of numbers that C++ owns, shared without copying: memoryview(b),\n"
        "numpy.asarray(b) and array.array(b.format, b) all read the same memory.")},
#ifndef Py_TPFLAGS_DISALLOW_INSTANTIATION
    {Py_tp_new, slot(&refuse_new)},
#endif
#ifdef PYPY_VERSION
    {Py_tp_setattro, slot(&refuse_setattr)},
#endif
    {0, nullptr},
};

PyType_Spec buffer_spec = {
    buffer_name, static_cast<int>(sizeof(BufferObject)), 0,
    static_cast<unsigned int>(Py_TPFLAGS_DEFAULT | immutable_type | not_instantiable_type), buffer_slots,
};

#ifdef PYPY_VERSION
// On PyPy a Buffer is meridel._views.Buffer, whose exports the interpreter frees without a
// major collection (see there). This module keeps the owner of the values at each address
// for as long as a weak reference that _views keeps with that address says a Buffer of
// them may still be read. The values at one address have one owner at a time: another
// cannot have its values there while this one is kept.
struct Views {
    PyObject* make = nullptr;   // _make(address, nbytes, format, call_back) -> Buffer
    PyObject* sweep = nullptr;  // _sweep() -> the addresses of the dead references, removed
    PyObject* minor = nullptr;  // _minor(): one minor collection
};

struct Held {
    std::shared_ptr<const void> owner;
    std::size_t references = 0;  // weak references kept with this address
};

// Never destroyed, as it may still hold owners when the interpreter has gone.
std::unordered_map<std::uintptr_t, Held>& owners = *new std::unordered_map<std::uintptr_t, Held>;
std::size_t references = 0;        // kept in all
std::size_t references_swept = 0;  // kept after the last sweep
bool sweeping = false;             // a sweep runs Python code, which may collect and call back

// One reference fewer to the values at address; the owner goes with the last.
void let_go(std::uintptr_t address) {
    const auto held = owners.find(address);
    if (held == owners.end()) return;
    --references;
    if (--held->second.references == 0) owners.erase(held);  // runs the deleter of an owner let go
}

// Keeps owner for one more Buffer of the count items at data; returns their address, or a
// valid one that nothing keeps when there are none.
std::uintptr_t keep(std::shared_ptr<const void> owner, const void* data, std::size_t count) {
    if (count == 0) return reinterpret_cast<std::uintptr_t>(&empty_storage);
    // Sweeping now and then bounds the owners of Buffers that died without a collection.
    if (references >= 2 * references_swept + 64) release_dead_exports();
    const auto address = reinterpret_cast<std::uintptr_t>(data);
    Held& held = owners[address];
    if (!held.owner) held.owner = std::move(owner);
    ++held.references;
    ++references;
    return address;
}

// The format as a str, made once per format.
PyObject* format_text(char format) {
    static PyObject* texts[5] = {};
    static constexpr char formats[5] = {'d', 'f', 'Q', 'I', 'q'};
    for (std::size_t k = 0; k < 5; ++k) {
        if (formats[k] != format) continue;
        if (texts[k] == nullptr) texts[k] = PyUnicode_FromStringAndSize(&formats[k], 1);
        return texts[k];
    }
    PyErr_SetString(PyExc_SystemError, "meridel: unknown buffer format");
    return nullptr;
}

const Views* views() {
    static Views loaded;
    if (loaded.sweep != nullptr) return &loaded;
    Ref module(PyImport_ImportModule("meridel._views"));
    if (!module) return nullptr;
    Ref make(PyObject_GetAttrString(module.get(), "_make"));
    Ref sweep(PyObject_GetAttrString(module.get(), "_sweep"));
    Ref minor(PyObject_GetAttrString(module.get(), "_minor"));
    if (!make || !sweep || !minor) return nullptr;
    loaded.make = make.release();
    loaded.minor = minor.release();
    loaded.sweep = sweep.release();  // last: views() is loaded once this is set
    return &loaded;
}
#endif

}  // namespace

#ifdef PYPY_VERSION
void release_dead_exports() {
    const Views* v = sweeping ? nullptr : views();
    if (v == nullptr) {
        PyErr_Clear();
        return;
    }
    sweeping = true;
    Ref dead(PyObject_CallNoArgs(v->sweep));
    sweeping = false;
    if (!dead || !PyList_Check(dead.get())) {
        PyErr_Clear();  // the owners stay until a later sweep
        return;
    }
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(dead.get()); ++k) {
        const std::uintptr_t address = PyLong_AsSize_t(PyList_GET_ITEM(dead.get(), k));
        if (address == static_cast<std::size_t>(-1) && PyErr_Occurred() != nullptr) {
            PyErr_Clear();
            continue;
        }
        let_go(address);
    }
    references_swept = references;
}

void collect_young() {
    const Views* v = views();
    PyObject* done = v == nullptr ? nullptr : PyObject_CallNoArgs(v->minor);
    Py_XDECREF(done);
    PyErr_Clear();  // a failed collection only postpones the release
}

PyObject* kept_address(std::shared_ptr<const void> owner, const void* data, std::size_t count) {
    const std::uintptr_t address = keep(std::move(owner), data, count);
    PyObject* number = PyLong_FromSize_t(address);
    if (number == nullptr && count != 0) let_go(address);
    return number;
}

PyObject* release_dead_exports_function(PyObject*, PyObject*) {
    release_dead_exports();
    Py_RETURN_NONE;
}
#endif

int make_buffer_type() { return make_type(buffer_type, buffer_spec, buffer_getset) == nullptr ? -1 : 0; }

PyObject* new_buffer(std::shared_ptr<const void> owner, const void* data, std::size_t count, char format,
                     [[maybe_unused]] Values values) {
    const std::size_t item_size = item_size_of(format);
#ifdef PYPY_VERSION
    const Views* v = views();
    if (v == nullptr) throw NullObject{};
    PyObject* const text_format = format_text(format);
    if (text_format == nullptr) throw NullObject{};
    Ref size(result(PyLong_FromSize_t(count * item_size)));
    Ref where(result(kept_address(std::move(owner), data, count)));
    PyObject* buffer = PyObject_CallFunctionObjArgs(v->make, where.get(), size.get(), text_format,
                                                    values == Values::of_run ? Py_True : Py_False, nullptr);
    if (buffer == nullptr) {
        if (count != 0) let_go(PyLong_AsSize_t(where.get()));  // no reference was kept with it
        throw NullObject{};
    }
    return buffer;
#else
    BufferData b;
    b.owner = std::move(owner);
    b.data = count == 0 ? static_cast<const void*>(&empty_storage) : data;
    b.shape = static_cast<Py_ssize_t>(count);
    b.stride = static_cast<Py_ssize_t>(item_size);
    b.format[0] = format;
    return result(new_instance(buffer_type, std::move(b)));
#endif
}

}  // namespace corvane::pymeridel
