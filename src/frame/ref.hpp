// Owned references as a C++ type, and the one way errors travel through C++.
//
// Business code never releases a reference by hand: every new reference goes
// into a Ref straight away, and a Python error set by any API call is turned
// into a C++ `Error` by `checked`, so that every scope in between releases what
// it holds while the exception travels to the boundary that returns NULL.
#pragma once

#include <Python.h>

#include <utility>

namespace vantrel {

// A Python exception is set; the C++ side unwinds to the nearest boundary.
struct Error {};

[[noreturn]] inline void raise_error() {
    throw Error{};
}

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref& other) noexcept : p_(Py_XNewRef(other.p_)) {}
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    // Takes over a new reference (which may be NULL).
    static Ref steal(PyObject* object) noexcept {
        Ref ref;
        ref.p_ = object;
        return ref;
    }
    // Adds a reference of its own to a borrowed object.
    static Ref borrow(PyObject* object) noexcept { return steal(Py_XNewRef(object)); }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    void reset() noexcept { Py_CLEAR(p_); }

private:
    PyObject* p_ = nullptr;
};

// A new reference from the C API, or the pending error thrown as `Error`.
inline Ref checked(PyObject* object) {
    if (!object) raise_error();
    return Ref::steal(object);
}

// A status from the C API (negative means an error is set).
inline int checked(int status) {
    if (status < 0) raise_error();
    return status;
}

// Anything that names an object: a Ref or a borrowed pointer.
inline PyObject* obj(PyObject* object) noexcept {
    return object;
}
inline PyObject* obj(const Ref& ref) noexcept {
    return ref.get();
}

} // namespace vantrel
