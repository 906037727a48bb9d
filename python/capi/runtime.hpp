// The C-API runtime both extension modules stand on: owned references, the instance life
// cycle, the guarded call (the one catch-all boundary), type registration with the
// refusals the interpreter does not make itself, and the module helpers. What PyPy needs
// done differently is behind capi/platform.hpp, not here. Include after Python.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace corvane::capi {

// An owned (strong) reference; released when it goes out of scope.
class Ref {
public:
    Ref() = default;
    explicit Ref(PyObject* object) : object_(object) {}  // takes over the reference
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        std::swap(object_, other.object_);
        return *this;
    }
    ~Ref() { Py_XDECREF(object_); }

    // A new reference to object (None included).
    static Ref borrow(PyObject* object) {
        Py_INCREF(object);
        return Ref(object);
    }

    [[nodiscard]] PyObject* get() const { return object_; }
    [[nodiscard]] PyObject* release() { return std::exchange(object_, nullptr); }
    explicit operator bool() const { return object_ != nullptr; }

private:
    PyObject* object_ = nullptr;
};

// Thrown when the interpreter fails to create a result object; its exception is pending.
struct NullObject final : std::exception {
    [[nodiscard]] const char* what() const noexcept override { return "PyObject pointer is null"; }
};

// Thrown by Instance::body() for an instance whose C++ body was never built (PyPy lets
// object.__new__ make one). The boundary raises TypeError naming the type.
struct NotConstructed final : std::exception {
    explicit NotConstructed(PyTypeObject* t) : type(t) {}
    [[nodiscard]] const char* what() const noexcept override { return "instance not initialized"; }
    PyTypeObject* type;
};

// Checks a new reference to a result object; throws NullObject when it is null.
inline PyObject* result(PyObject* object) {
    if (object == nullptr) throw NullObject{};
    return object;
}

// ---------------------------------------------------------------------------------------
// The boundary

// The failures the runtime leaves to the module.
enum class Failure {
    null_object,  // NullObject: the interpreter's own exception is pending
    exception,    // another std::exception; `what` is its text
    unknown,      // anything else; `what` is empty
};

// What a module does with a failure the runtime does not map itself (any exception other
// than std::bad_alloc and NotConstructed). Each module defines it once. It must leave a
// Python exception set; it must not throw (a second failure there ends the process).
void raise_unexpected(Failure failure, std::string_view what) noexcept;

// Turns the C++ exception being handled into a Python exception: std::bad_alloc becomes
// MemoryError, NotConstructed TypeError, everything else goes to raise_unexpected.
void raise_current_exception() noexcept;

// Runs body; a C++ exception leaving it becomes a Python exception and failure is
// returned. Every slot and method goes through here.
template <class Body, class R>
R guarded(Body&& body, R failure) noexcept {
    try {
        return body();
    } catch (...) {
        raise_current_exception();
        return failure;
    }
}

// ---------------------------------------------------------------------------------------
// Instances: the interpreter's header, a mark, then one C++ value built in place

// The mark of an instance whose body was built. Memory from tp_alloc is zeroed, so an
// instance made without our constructor (object.__new__ on PyPy) does not carry it.
inline constexpr std::uint64_t constructed_mark = 0x636f7276616e6531ULL;

template <class T>
struct Instance {
    PyObject_HEAD
    std::uint64_t mark;
    alignas(T) unsigned char storage[sizeof(T)];

    static Instance* of(PyObject* object) { return reinterpret_cast<Instance*>(object); }

    // The body of object; throws NotConstructed when it was never built.
    static T& body(PyObject* object) {
        Instance* self = of(object);
        if (self->mark != constructed_mark) throw NotConstructed(Py_TYPE(object));
        return *std::launder(reinterpret_cast<T*>(self->storage));
    }
};

// Allocates an instance of type and moves value into it; null with the interpreter's
// exception when allocation fails (value then stays with the caller).
template <class T>
PyObject* new_instance(PyTypeObject* type, T&& value) {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* object = alloc(type, 0);
    if (object == nullptr) return nullptr;
    ::new (static_cast<void*>(Instance<T>::of(object)->storage)) T(std::forward<T>(value));
    Instance<T>::of(object)->mark = constructed_mark;
    return object;
}

// The tp_dealloc of every type: destroys the body if it was built, frees the memory
// through the type, drops the instance's reference to its heap type.
template <class T>
void release_instance(PyObject* object) {
    PyTypeObject* type = Py_TYPE(object);
    Instance<T>* self = Instance<T>::of(object);
    if (self->mark == constructed_mark) {
        self->mark = 0;
        std::launder(reinterpret_cast<T*>(self->storage))->~T();
    }
    auto free_memory = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_memory(object);
    Py_DECREF(type);
}

// Casts a slot or method function to the pointer type the tables store.
template <class F>
void* slot(F* function) {
    return reinterpret_cast<void*>(function);
}

template <class F>
PyCFunction method(F* function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// ---------------------------------------------------------------------------------------
// Types

// CPython 3.10+ flags; where they are missing the runtime refuses in their place.
#ifdef Py_TPFLAGS_IMMUTABLETYPE
inline constexpr unsigned long immutable_type = Py_TPFLAGS_IMMUTABLETYPE;
#else
inline constexpr unsigned long immutable_type = 0;
#endif
#ifdef Py_TPFLAGS_DISALLOW_INSTANTIATION
inline constexpr unsigned long not_instantiable_type = Py_TPFLAGS_DISALLOW_INSTANTIATION;
#else
inline constexpr unsigned long not_instantiable_type = 0;
#endif

// How a type is made: from Python by its own tp_new, or only by the module.
enum class Creation { by_tp_new, by_module };

// Makes a final, immutable type from its description (name, basic size and slots; the flags are set
// here) for module, in its execution step, and registers the description. Where the interpreter
// does not refuse by itself it adds the refusals CPython makes, in CPython's words:
// subclassing (an __init_subclass__ that raises TypeError), setting attributes on
// instances (a tp_setattro that raises AttributeError) and, for Creation::by_module,
// creating instances. Returns a new reference, or null with an exception. The type is the
// module object's own where the interpreter allows it, else the process's
// (platform::module_type); either way platform::module_of finds the module whose state
// holds it. The description must outlive every type made from it (a module's static one does).
PyTypeObject* make_type(PyObject* module, const PyType_Spec& spec, Creation creation);

// The name a registered type was made with ("meridel.Spectrum"; PyPy's tp_name drops the
// module part); tp_name for any other type. For a subclass, its nearest registered base's.
const char* full_name(PyTypeObject* type);

// The number of type descriptions registered in this process (one each, however many types).
std::size_t registered_types();

// A new dict {getter name: its docstring} of a registered type's getters (those with one);
// empty for any other type. PyPy's cpyext drops getters' docstrings, so the module's
// Python side puts them back from here. Throws NullObject.
PyObject* getter_docs(PyTypeObject* type);

// ---------------------------------------------------------------------------------------
// Modules

// Sets module.name = object and appends name to module.__all__ (made when missing).
// -1 with an exception on failure.
int add_to_module(PyObject* module, const char* name, PyObject* object);

// TypeError(message) unless module is a module object; for the execution step.
bool is_module(PyObject* module, const char* message);

// ---------------------------------------------------------------------------------------
// Texts

// value in fixed point with the given decimals, from the exact binary value with ties to
// even (0.125 with two decimals is "0.12"), sign kept (also for -0.0); "NaN", "inf" and
// "-inf" without decimals.
std::string format_fixed(double value, int decimals);

// A new str from UTF-8 text, stray bytes replaced (error texts may quote the file's
// bytes, and a stray byte must not turn one error into another). Throws NullObject.
PyObject* text(std::string_view value);

}  // namespace corvane::capi
