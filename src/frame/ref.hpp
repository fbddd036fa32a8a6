// Owned references as a C++ type, and the one way errors travel through C++.
//
// Business code never releases a reference by hand: every new reference goes
// into a Ref straight away, and a Python error set by any API call is turned
// into a C++ `Error` by `checked`, so that every scope in between releases what
// it holds while the exception travels to the boundary that returns NULL.
#pragma once

#include <Python.h>

#include <cassert>
#include <cerrno>
#include <cstdarg>
#include <exception>
#include <new>
#include <type_traits>
#include <utility>

namespace vantrel {

// A Python exception is set; the C++ side unwinds to the nearest boundary.
struct Error {};

// Unwinds with the Python exception that is already set.
[[noreturn]] inline void raise_error() {
    assert(PyErr_Occurred());
    throw Error{};
}

// `raise type(message)`: sets the exception and unwinds.
[[noreturn]] inline void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    raise_error();
}

// The same with a message formatted as PyErr_Format formats it.
[[noreturn]] inline void raise_format(PyObject* type, const char* format, ...) {
    va_list args;
    va_start(args, format);
    PyErr_FormatV(type, format, args);
    va_end(args);
    raise_error();
}

// The OSError that the system's error number `code` stands for, as the
// interpreter makes it (ConnectionRefusedError for ECONNREFUSED).
[[noreturn]] inline void raise_errno(int code) {
    errno = code;
    PyErr_SetFromErrno(PyExc_OSError);
    raise_error();
}

// `raise exception` for an object: TypeError, as the statement has it, when
// the object is no exception.
[[noreturn]] inline void raise_exception(PyObject* exception) {
    if (!PyExceptionInstance_Check(exception)) {
        raise(PyExc_TypeError, "exceptions must derive from BaseException");
    }
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception)), exception);
    raise_error();
}

// Inside a catch block at a boundary: makes the C++ exception being handled
// the pending Python exception.  An Error has set one already; running out of
// memory is MemoryError; anything else is a fault of ours, SystemError.
inline void set_python_error() noexcept {
    try {
        throw;
    } catch (const Error&) {
        assert(PyErr_Occurred());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        PyErr_Format(PyExc_SystemError, "unexpected C++ exception: %s", error.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
    }
}

// The boundary where the interpreter calls into C++: runs `work` and returns
// its result, or `failed` with the Python exception set, whatever `work`
// threw.  Nothing C++ crosses into the interpreter.
template <class Work>
std::invoke_result_t<Work&> guarded(Work&& work, std::invoke_result_t<Work&> failed) noexcept {
    try {
        return work();
    } catch (...) {
        set_python_error();
        return failed;
    }
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

// A new reference to None, what a body returns for `return None`.
inline Ref none() noexcept {
    return Ref::borrow(Py_None);
}

// Raises a held exception again, unchanged: the bare `raise` of a handler.
[[noreturn]] inline void reraise(Ref exception) {
    PyErr_SetRaisedException(exception.release());
    raise_error();
}

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
