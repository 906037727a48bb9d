// The C-API runtime (python/capi/runtime.hpp) inside an embedded CPython: type
// registration past any small table, the instance life cycle with and without a built
// body, and the boundary's mapping of C++ exceptions to Python ones.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <gtest/gtest.h>

#include <limits>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "capi/platform.hpp"
#include "capi/runtime.hpp"

// The embedded interpreter is never finalized: what it still holds at exit is its own,
// not a leak of the runtime's (the sanitizer pass runs this test with leak detection).
extern "C" const char* __lsan_default_suppressions() { return "leak:libpython"; }
extern "C" const char* __lsan_default_options() { return "print_suppressions=0"; }

namespace corvane::capi {

// The module hook the runtime calls for failures it does not map itself.
void raise_unexpected(Failure failure, std::string_view what) noexcept {
    const char* kind = failure == Failure::null_object ? "null" : failure == Failure::exception ? "exception" : "unknown";
    PyErr_Format(PyExc_RuntimeError, "%s: %s", kind, std::string(what).c_str());
}

}  // namespace corvane::capi

namespace {

using corvane::capi::Creation;
using corvane::capi::Instance;
using corvane::capi::Ref;

// The Python exception pending now as "Type: text", cleared; "" when there is none.
std::string take_error() {
    if (PyErr_Occurred() == nullptr) return "";
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    Ref owned_type(type), owned_value(value), owned_traceback(traceback);
    Ref text(PyObject_Str(value));
    std::string out = reinterpret_cast<PyTypeObject*>(type)->tp_name;
    out += ": ";
    if (text) out += PyUnicode_AsUTF8(text.get());
    return out;
}

int destroyed = 0;

struct Counted {
    int value = 0;
    explicit Counted(int v) : value(v) {}
    Counted(Counted&& other) noexcept : value(other.value) {}
    ~Counted() { ++destroyed; }
};

using CountedObject = Instance<Counted>;

PyObject* counted_value(PyObject* self, void*) {
    return corvane::capi::guarded([&] { return PyLong_FromLong(CountedObject::body(self).value); },
                                  static_cast<PyObject*>(nullptr));
}

PyGetSetDef counted_getset[] = {
    {"value", &counted_value, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot counted_slots[] = {
    {Py_tp_dealloc, corvane::capi::slot(&corvane::capi::release_instance<Counted>)},
    {Py_tp_getset, counted_getset},
    {0, nullptr},
};

class Runtime : public ::testing::Test {
protected:
    static void SetUpTestSuite() { Py_InitializeEx(0); }
};

// A module object of a definition with no state, for the types to belong to.
PyModuleDef probe_def = {PyModuleDef_HEAD_INIT, "probe", nullptr, 0, nullptr, nullptr, nullptr, nullptr, nullptr};

Ref new_probe_module() { return Ref(PyModule_Create(&probe_def)); }

TEST_F(Runtime, RegistersEveryTypeMadePastEight) {
    // Each type has a name of its own; registration must keep all of them, however many.
    static std::vector<std::string> names;
    static std::vector<PyType_Spec> specs;
    constexpr int count = 12;
    names.reserve(count);
    specs.reserve(count);
    Ref module(new_probe_module());
    Ref other(new_probe_module());
    ASSERT_TRUE(module && other) << take_error();
    std::vector<Ref> types;
    const std::size_t before = corvane::capi::registered_types();
    for (int i = 0; i < count; ++i) {
        SCOPED_TRACE(i);
        names.push_back("probe.Type" + std::to_string(i));
        specs.push_back({names.back().c_str(), static_cast<int>(sizeof(CountedObject)), 0, 0, counted_slots});
        types.emplace_back(reinterpret_cast<PyObject*>(corvane::capi::make_type(module.get(), specs.back(), Creation::by_module)));
        ASSERT_TRUE(types.back()) << take_error();
        EXPECT_EQ(corvane::capi::registered_types(), before + static_cast<std::size_t>(i) + 1);
    }
    for (int i = 0; i < count; ++i) {
        SCOPED_TRACE(i);
        auto* type = reinterpret_cast<PyTypeObject*>(types[static_cast<std::size_t>(i)].get());
        EXPECT_STREQ(corvane::capi::full_name(type), names[static_cast<std::size_t>(i)].c_str());
        EXPECT_EQ(corvane::capi::platform::module_of(type, &probe_def), module.get());
        // Made for another module object: a type of its own (CPython), the description not registered again.
        Ref again(reinterpret_cast<PyObject*>(
            corvane::capi::make_type(other.get(), specs[static_cast<std::size_t>(i)], Creation::by_module)));
        ASSERT_TRUE(again) << take_error();
        EXPECT_NE(again.get(), reinterpret_cast<PyObject*>(type));
        EXPECT_EQ(corvane::capi::platform::module_of(reinterpret_cast<PyTypeObject*>(again.get()), &probe_def), other.get());
        EXPECT_STREQ(corvane::capi::full_name(reinterpret_cast<PyTypeObject*>(again.get())),
                     names[static_cast<std::size_t>(i)].c_str());
        // Not creatable from Python, in CPython's words.
        Ref made(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(type)));
        EXPECT_FALSE(made);
        EXPECT_EQ(take_error(), "TypeError: cannot create '" + names[static_cast<std::size_t>(i)] + "' instances");
    }
    EXPECT_EQ(corvane::capi::registered_types(), before + count);
}

TEST_F(Runtime, ModuleOfRefusesAnotherDefinitionsType) {
    static PyModuleDef other_def = {PyModuleDef_HEAD_INIT, "other", nullptr, 0, nullptr, nullptr, nullptr, nullptr, nullptr};
    static PyType_Spec spec{"probe.Owned", static_cast<int>(sizeof(CountedObject)), 0, 0, counted_slots};
    Ref module(new_probe_module());
    ASSERT_TRUE(module) << take_error();
    Ref type(reinterpret_cast<PyObject*>(corvane::capi::make_type(module.get(), spec, Creation::by_module)));
    ASSERT_TRUE(type) << take_error();
    EXPECT_EQ(corvane::capi::platform::module_of(reinterpret_cast<PyTypeObject*>(type.get()), &other_def), nullptr);
    EXPECT_EQ(take_error().rfind("TypeError: ", 0), 0U);
    EXPECT_EQ(corvane::capi::platform::module_of(&PyLong_Type, &probe_def), nullptr);
    EXPECT_EQ(take_error().rfind("TypeError: ", 0), 0U);
}

TEST_F(Runtime, InstanceWithoutBodyRefusesAndIsFreedWithoutDestructor) {
    static PyType_Spec spec{"probe.Counted", static_cast<int>(sizeof(CountedObject)), 0, 0, counted_slots};
    Ref module(new_probe_module());
    ASSERT_TRUE(module) << take_error();
    Ref owned(reinterpret_cast<PyObject*>(corvane::capi::make_type(module.get(), spec, Creation::by_module)));
    ASSERT_TRUE(owned) << take_error();
    auto* type = reinterpret_cast<PyTypeObject*>(owned.get());

    destroyed = 0;
    Ref built(corvane::capi::new_instance(type, Counted(7)));
    ASSERT_TRUE(built);
    destroyed = 0;  // the moved-from temporary
    Ref value(PyObject_GetAttrString(built.get(), "value"));
    ASSERT_TRUE(value) << take_error();
    EXPECT_EQ(PyLong_AsLong(value.get()), 7);
    built = Ref();
    EXPECT_EQ(destroyed, 1);

    // What object.__new__ gives on PyPy: the type's zeroed allocation, no body.
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    Ref bare(alloc(type, 0));
    ASSERT_TRUE(bare);
    Ref read(PyObject_GetAttrString(bare.get(), "value"));
    EXPECT_FALSE(read);
    EXPECT_EQ(take_error(), "TypeError: probe.Counted object is not initialized");
    bare = Ref();
    EXPECT_EQ(destroyed, 1);  // no destructor ran for the body that was never built
}

TEST_F(Runtime, BoundaryMapsEachExceptionKind) {
    struct Row {
        const char* name;
        void (*fail)();
        std::string expected;
    };
    const Row rows[] = {
        {"bad_alloc", [] { throw std::bad_alloc(); }, "MemoryError: "},
        {"std::exception", [] { throw std::runtime_error("broken"); }, "RuntimeError: exception: broken"},
        {"unknown", [] { throw 42; }, "RuntimeError: unknown: "},
        {"null object", [] {
             PyErr_SetString(PyExc_KeyError, "kept");
             throw corvane::capi::NullObject{};
         },
         "RuntimeError: null: PyObject pointer is null"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const int got = corvane::capi::guarded([&] {
            row.fail();
            return 0;
        }, -1);
        EXPECT_EQ(got, -1);
        EXPECT_EQ(take_error(), row.expected);
    }
}

TEST_F(Runtime, FormatsFixedPointFromTheExactValue) {
    struct Row {
        double value;
        int decimals;
        const char* expected;
    };
    const Row rows[] = {
        {0.125, 2, "0.12"},  // an exact tie goes to even
        {2.675, 2, "2.67"},  // stored just below the tie
        {-0.0, 2, "-0.00"},
        {1.0005, 3, "1.000"},
        {std::numeric_limits<double>::quiet_NaN(), 3, "NaN"},
        {-std::numeric_limits<double>::infinity(), 2, "-inf"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.expected);
        EXPECT_EQ(corvane::capi::format_fixed(row.value, row.decimals), row.expected);
    }
}

}  // namespace
