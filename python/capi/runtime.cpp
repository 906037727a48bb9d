// The runtime shared by both modules: the boundary, type registration and the refusals.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <memory>
#include <vector>

#include "capi/platform.hpp"
#include "capi/runtime.hpp"

namespace corvane::capi {

void raise_current_exception() noexcept {
    try {
        try {
            throw;
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
        } catch (const NotConstructed& e) {
            PyErr_Format(PyExc_TypeError, "%s object is not initialized", full_name(e.type));
        } catch (const NullObject& e) {
            raise_unexpected(Failure::null_object, e.what());
        } catch (const std::exception& e) {
            raise_unexpected(Failure::exception, e.what());
        } catch (...) {
            raise_unexpected(Failure::unknown, {});
        }
    } catch (...) {
        std::fputs("corvane: uncaught failure at the interpreter boundary\n", stderr);
        std::abort();
    }
}

// ---------------------------------------------------------------------------------------
// Registered types

namespace {

// The refusals CPython makes, in CPython's words.
namespace message {
constexpr const char* not_a_base = "type '%s' is not an acceptable base type";
constexpr const char* not_writable = "attribute '%s' of '%s' objects is not writable";
constexpr const char* no_attribute = "'%s' object has no attribute '%U'";
constexpr const char* not_instantiable = "cannot create '%s' instances";
}  // namespace message

struct Registered {
    const PyType_Spec* spec = nullptr;         // the module's description this entry was made from
    PyTypeObject* type = nullptr;              // the process's type, where types are (PyPy)
    const char* name = nullptr;                // as made: PyPy's tp_name drops the module part
    const PyGetSetDef* getters = nullptr;      // for the setattr refusal's wording
    std::vector<PyType_Slot> slots;            // the description's, with the refusals added
    std::vector<PyMethodDef> methods;          // likewise; every type made keeps pointers into it
};

// One entry per type description, made at its first type and never destroyed, so that the tables stay
// valid for every type made from them (one per module object on CPython) and for whatever
// the interpreter still runs at exit. A deque keeps each entry where it is as more are
// added. Only process-wide types are recorded by address: a module's own type may die and
// its address be reused, and CPython's tp_name is the full name anyway.
std::deque<Registered>& registry() {
    static auto* types = new std::deque<Registered>;
    return *types;
}

const Registered* find_registered(PyTypeObject* type) {
    for (PyTypeObject* t = type; t != nullptr; t = t->tp_base) {
        for (const Registered& r : registry()) {
            if (r.type == t) return &r;
        }
    }
    return nullptr;
}

PyObject* refuse_subclass(PyObject* cls, PyObject*, PyObject*) {
    // Called on the new subclass, whose base is one of ours.
    PyErr_Format(PyExc_TypeError, message::not_a_base, full_name(reinterpret_cast<PyTypeObject*>(cls)->tp_base));
    return nullptr;
}

int refuse_setattr(PyObject* self, PyObject* name, PyObject*) {
    // Answers as CPython does for a type without __dict__ whose getters have no setter.
    // (PyPy 7.3.11 crashes when C code looks up one of the class's getset descriptors, so
    // the getter names come from our own tables.)
    const Registered* r = find_registered(Py_TYPE(self));
    if (r != nullptr && r->getters != nullptr && PyUnicode_Check(name)) {
        for (const PyGetSetDef* getter = r->getters; getter->name != nullptr; ++getter) {
            if (PyUnicode_CompareWithASCIIString(name, getter->name) == 0) {
                PyErr_Format(PyExc_AttributeError, message::not_writable, getter->name, full_name(Py_TYPE(self)));
                return -1;
            }
        }
    }
    PyErr_Format(PyExc_AttributeError, message::no_attribute, full_name(Py_TYPE(self)), name);
    return -1;
}

PyObject* refuse_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyErr_Format(PyExc_TypeError, message::not_instantiable, full_name(type));
    return nullptr;
}

}  // namespace

const char* full_name(PyTypeObject* type) {
    const Registered* r = find_registered(type);
    return r != nullptr ? r->name : type->tp_name;
}

std::size_t registered_types() { return registry().size(); }

PyObject* getter_docs(PyTypeObject* type) {
    Ref docs(result(PyDict_New()));
    const Registered* r = find_registered(type);
    if (r == nullptr || r->getters == nullptr) return docs.release();
    for (const PyGetSetDef* getter = r->getters; getter->name != nullptr; ++getter) {
        if (getter->doc == nullptr) continue;
        Ref doc(text(getter->doc));
        if (PyDict_SetItemString(docs.get(), getter->name, doc.get()) < 0) throw NullObject{};
    }
    return docs.release();
}

namespace {

// The registry's entry for a type description, made at the first call.
Registered& entry_for(const PyType_Spec& spec, Creation creation) {
    for (Registered& r : registry()) {
        if (r.spec == &spec) return r;
    }
    Registered& r = registry().emplace_back();
    r.spec = &spec;
    r.name = spec.name;
    const bool refuse = !platform::refuses_by_itself();
    bool has_new = false;
    for (const PyType_Slot* s = spec.slots; s->slot != 0; ++s) {
        if (s->slot == Py_tp_getset) r.getters = static_cast<const PyGetSetDef*>(s->pfunc);
        if (s->slot == Py_tp_new) has_new = true;
        if (s->slot == Py_tp_methods) {
            for (auto* m = static_cast<const PyMethodDef*>(s->pfunc); m->ml_name != nullptr; ++m) r.methods.push_back(*m);
            continue;
        }
        r.slots.push_back(*s);
    }
    if (refuse) {
        r.methods.push_back({"__init_subclass__", method(&refuse_subclass), METH_VARARGS | METH_KEYWORDS | METH_CLASS,
                             nullptr});
        r.slots.push_back({Py_tp_setattro, slot(&refuse_setattr)});
    }
    if (creation == Creation::by_module && !has_new && not_instantiable_type == 0) {
        r.slots.push_back({Py_tp_new, slot(&refuse_new)});
    }
    r.methods.push_back({nullptr, nullptr, 0, nullptr});
    r.slots.push_back({Py_tp_methods, r.methods.data()});
    r.slots.push_back({0, nullptr});
    return r;
}

}  // namespace

PyTypeObject* make_type(PyObject* module, const PyType_Spec& spec, Creation creation) {
    Registered& r = entry_for(spec, creation);
    unsigned long flags = Py_TPFLAGS_DEFAULT | immutable_type;
    if (creation == Creation::by_module) flags |= not_instantiable_type;
    PyType_Spec made{spec.name, spec.basicsize, spec.itemsize, static_cast<unsigned int>(flags), r.slots.data()};
    return platform::module_type(module, &made, r.type);
}

// ---------------------------------------------------------------------------------------
// Modules

int add_to_module(PyObject* module, const char* name, PyObject* object) {
    Ref key(PyUnicode_FromString(name));
    if (!key || PyObject_SetAttr(module, key.get(), object) < 0) return -1;
    static constexpr const char* all_name = "__all__";
    Ref all(PyObject_GetAttrString(module, all_name));
    if (!all) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError) == 0) return -1;
        PyErr_Clear();
        all = Ref(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, all_name, all.get()) < 0) return -1;
    }
    return PyList_Append(all.get(), key.get());
}

bool is_module(PyObject* module, const char* message) {
    if (PyType_IsSubtype(Py_TYPE(module), &PyModule_Type) != 0) return true;
    PyErr_SetString(PyExc_TypeError, message);
    return false;
}

// ---------------------------------------------------------------------------------------
// Texts

std::string format_fixed(double value, int decimals) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
    // std::to_chars works from the exact binary value and breaks exact ties to even. The
    // largest double has 309 integer digits; sign, point and decimals fit in the rest.
    std::array<char, 330> buffer{};
    const auto [end, ec] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value,
                                         std::chars_format::fixed, decimals);
    if (ec != std::errc{}) return "NaN";  // cannot happen with this buffer size and decimals <= 6
    return std::string(buffer.data(), end);
}

PyObject* text(std::string_view value) {
    return result(PyUnicode_DecodeUTF8(value.data(), static_cast<Py_ssize_t>(value.size()), "replace"));
}

}  // namespace corvane::capi
