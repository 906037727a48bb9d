// meridel.Buffer: a read-only one-dimensional PEP 3118 export of values a C++ owner holds
// (a decoded record, index columns, whole-run arrays). The Buffer keeps the owner alive
// through a shared_ptr, so memoryviews and NumPy arrays made from it share its memory
// and stay valid after the Spectrum or Acquisition that made it is gone. On PyPy,
// new_buffer makes meridel._views.Buffer instead (see there), and this type is not used.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstring>

#include "meridel.hpp"

namespace corvane::pymeridel {

namespace {

using BufferData = capi::platform::NativeBuffer;

using BufferObject = Object<BufferData>;

constexpr const char* buffer_name = "meridel.Buffer";

int buffer_getbuffer(PyObject* self, Py_buffer* view, int flags) {
    view->obj = nullptr;
    BufferData* found = guarded([&] { return &BufferObject::body(self); }, static_cast<BufferData*>(nullptr));
    if (found == nullptr) return -1;
    BufferData& b = *found;
    if ((flags & PyBUF_WRITABLE) == PyBUF_WRITABLE) {
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

Py_ssize_t buffer_length(PyObject* self) {
    return guarded([&] { return BufferObject::body(self).shape; }, Py_ssize_t{-1});
}

// sq_item (iteration) and b[i] once made non-negative.
PyObject* buffer_item(PyObject* self, Py_ssize_t i) {
    return guarded([&]() -> PyObject* {
        const BufferData& b = BufferObject::body(self);
        if (i < 0 || i >= b.shape) {
            PyErr_SetString(PyExc_IndexError, message::buffer_out_of_range);
            return nullptr;
        }
        return item_at(b, i);
    }, static_cast<PyObject*>(nullptr));
}

// b[a:b]: a Buffer over the same memory (the same owner kept alive); b[a:b:k] with a
// step other than 1: a read-only memoryview of it, strided over the same memory.
PyObject* buffer_slice(PyObject* self, PyObject* key) {
    const BufferData& b = BufferObject::body(self);
    Py_ssize_t start = 0;
    Py_ssize_t stop = 0;
    Py_ssize_t step = 0;
    if (PySlice_Unpack(key, &start, &stop, &step) < 0) return nullptr;
    const Py_ssize_t length = PySlice_AdjustIndices(b.shape, &start, &stop, step);
    if (step != 1) {
        Ref view(result(PyMemoryView_FromObject(self)));
        return result(PyObject_GetItem(view.get(), key));
    }
    BufferData part;
    part.owner = b.owner;
    // An empty part keeps a valid address, as an empty export does.
    part.data = length == 0 ? b.data : static_cast<const unsigned char*>(b.data) + start * b.stride;
    part.shape = length;
    part.stride = b.stride;
    part.format[0] = b.format[0];
    return result(new_instance(Py_TYPE(self), std::move(part)));
}

// b[i] for an int i, negative from the end (PyPy does not adjust sq_item's index itself);
// b[a:b] and b[a:b:k] as buffer_slice says.
PyObject* buffer_subscript(PyObject* self, PyObject* key) {
    return guarded([&]() -> PyObject* {
        if (PySlice_Check(key)) return buffer_slice(self, key);
        if (PyIndex_Check(key) == 0) {
            Ref name(type_name(key));
            PyErr_Format(PyExc_TypeError, message::not_buffer_index, PyUnicode_AsUTF8(name.get()));
            return nullptr;
        }
        Py_ssize_t i = PyNumber_AsSsize_t(key, PyExc_IndexError);
        if (i == -1 && PyErr_Occurred() != nullptr) return nullptr;
        if (i < 0) i += BufferObject::body(self).shape;
        return buffer_item(self, i);
    }, static_cast<PyObject*>(nullptr));
}

PyObject* buffer_tolist(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        const BufferData& b = BufferObject::body(self);
        Ref list(result(PyList_New(b.shape)));
        for (Py_ssize_t i = 0; i < b.shape; ++i) PyList_SET_ITEM(list.get(), i, item_at(b, i));
        return list.release();
    }, static_cast<PyObject*>(nullptr));
}

PyObject* buffer_iter(PyObject* self) {
    return guarded([&]() -> PyObject* {
        (void)BufferObject::body(self);
        return result(PySeqIter_New(self));
    }, static_cast<PyObject*>(nullptr));
}

// __array__(dtype=None, copy=None): NumPy's array over the same memory (through a
// memoryview, which keeps the Buffer alive), for libraries that ask for __array__ rather
// than the buffer protocol. dtype converts (a copy); copy=True copies.
PyObject* buffer_array(PyObject* self, PyObject* const* args, Py_ssize_t count, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"dtype", "copy"};
        PyObject* values[2];
        if (!bind("__array__()", names, 2, 0, args, count, kwnames, values)) return nullptr;
        (void)BufferObject::body(self);
        Ref numpy(PyImport_ImportModule("numpy"));
        if (!numpy) return nullptr;
        Ref view(result(PyMemoryView_FromObject(self)));
        PyObject* dtype = values[0] != nullptr ? values[0] : Py_None;
        Ref array(result(PyObject_CallMethod(numpy.get(), "asarray", "OO", view.get(), dtype)));
        int copy = 0;
        if (values[1] != nullptr && values[1] != Py_None) {
            copy = PyObject_IsTrue(values[1]);
            if (copy < 0) return nullptr;
        }
        if (copy == 0) return array.release();
        return result(PyObject_CallMethod(array.get(), "copy", nullptr));
    }, static_cast<PyObject*>(nullptr));
}

PyObject* buffer_format(PyObject* self, void*) {
    return guarded([&] { return result(PyUnicode_FromString(BufferObject::body(self).format)); },
                   static_cast<PyObject*>(nullptr));
}

PyObject* buffer_itemsize(PyObject* self, void*) {
    return guarded([&] { return result(PyLong_FromSsize_t(BufferObject::body(self).stride)); },
                   static_cast<PyObject*>(nullptr));
}

PyObject* buffer_nbytes(PyObject* self, void*) {
    return guarded([&] {
        const BufferData& b = BufferObject::body(self);
        return result(PyLong_FromSsize_t(b.shape * b.stride));
    }, static_cast<PyObject*>(nullptr));
}

PyObject* buffer_repr(PyObject* self) {
    return guarded([&] {
        const BufferData& b = BufferObject::body(self);
        const std::string repr = std::string("<meridel.Buffer format='") + b.format +
                                 "' len=" + std::to_string(b.shape) + ">";
        return text(repr);
    }, static_cast<PyObject*>(nullptr));
}

PyMethodDef buffer_methods[] = {
    {"tolist", method(&buffer_tolist), METH_NOARGS, "tolist($self)\n--\n\nThe values as a new list of float or int."},
    {"__array__", method(&buffer_array), METH_FASTCALL | METH_KEYWORDS,
     "__array__($self, dtype=None, copy=None)\n--\n\n"
     "The values as a read-only NumPy array sharing the Buffer's memory (dtype: converted, a copy)."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef buffer_getset[] = {
    {"format", &buffer_format, nullptr,
     "struct format of one item: 'd' (float64), 'f' (float32), 'Q' (uint64), 'I' (uint32) or 'q' (int64)",
     nullptr},
    {"itemsize", &buffer_itemsize, nullptr, "bytes per item: 8, or 4 for 'f' and 'I'", nullptr},
    {"nbytes", &buffer_nbytes, nullptr, "bytes in all: len(self) * itemsize", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot buffer_slots[] = {
    {Py_bf_getbuffer, slot(&buffer_getbuffer)},
    {Py_bf_releasebuffer, slot(&buffer_releasebuffer)},
    {Py_sq_length, slot(&buffer_length)},
    {Py_sq_item, slot(&buffer_item)},
    {Py_tp_iter, slot(&buffer_iter)},
    {Py_mp_length, slot(&buffer_length)},
    {Py_mp_subscript, slot(&buffer_subscript)},
    {Py_tp_repr, slot(&buffer_repr)},
    {Py_tp_dealloc, slot(&dealloc<BufferData>)},
    {Py_tp_methods, buffer_methods},
    {Py_tp_getset, buffer_getset},
    {Py_tp_doc, const_cast<char*>(
        "A read-only run of numbers that C++ owns, shared without copying: memoryview(b),\n"
        "numpy.asarray(b) and array.array(b.format, b) all read the same memory. b[i] is one\n"
        "number (negative i from the end); b[a:b] a Buffer over the same memory; b[a:b:k] with\n"
        "a step other than 1 a read-only memoryview over it. pandas takes a Buffer as a column.")},
    {0, nullptr},
};

const PyType_Spec buffer_spec = {buffer_name, static_cast<int>(sizeof(BufferObject)), 0, 0, buffer_slots};

}  // namespace

PyObject* release_dead_exports_function(PyObject*, PyObject*) {
    capi::platform::release_dead_exports();
    Py_RETURN_NONE;
}

int make_buffer_type(PyObject* module, State& state) {
    state.buffer = capi::make_type(module, buffer_spec, capi::Creation::by_module);
    return state.buffer == nullptr ? -1 : 0;
}

}  // namespace corvane::pymeridel
