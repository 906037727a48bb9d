// Pieces of the `corvane` module shared by its source files: owned references, the
// failure type for objects the interpreter could not create, and the list and text
// builders. Include after Python.h.
#pragma once

#include <cstddef>
#include <exception>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace corvane::python {

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

    [[nodiscard]] PyObject* get() const { return object_; }
    [[nodiscard]] PyObject* release() { return std::exchange(object_, nullptr); }
    explicit operator bool() const { return object_ != nullptr; }

private:
    PyObject* object_ = nullptr;
};

// Thrown when the interpreter fails to create a result object (an int, float, list or
// str to hand back). The boundary writes the pending exception through the unraisable
// hook and raises PanicException instead.
struct NullObject final : std::exception {
    [[nodiscard]] const char* what() const noexcept override { return "PyObject pointer is null"; }
};

// Checks a new reference to a result object; throws NullObject when it is null.
inline PyObject* result(PyObject* object) {
    if (object == nullptr) throw NullObject{};
    return object;
}

// A new list of float, one per value, same order. 32-bit values are widened exactly.
// Throws NullObject when the interpreter cannot build it.
PyObject* float_list(const std::vector<double>& values);
PyObject* float_list(const std::vector<float>& values);

// Retention time as repr shows it: fixed point, two decimals, ties to even on the exact
// stored value, sign kept (also for -0.0); "NaN", "inf" and "-inf" without decimals.
std::string format_seconds(double seconds);

}  // namespace corvane::python
