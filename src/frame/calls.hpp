// Calls and attributes, the handled exception and the with statement.
#pragma once

#include "frame/names.hpp"

namespace vantrel {

// Calls.  Arguments are Refs or borrowed pointers; results are new references
// or a thrown Error.

template <class... Args> Ref call(PyObject* callable, const Args&... args) {
    PyObject* stack[] = {nullptr, obj(args)...};
    return checked(PyObject_Vectorcall(callable, stack + 1,
                                       sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

template <class... Args> Ref call(const Ref& callable, const Args&... args) {
    return call(callable.get(), args...);
}

// A call whose last `kwnames.size()` arguments are passed by those keywords.
template <class... Args>
Ref call_kw(PyObject* callable, const KwNames& kwnames, const Args&... args) {
    PyObject* stack[] = {nullptr, obj(args)...};
    const size_t positional = sizeof...(Args) - static_cast<size_t>(kwnames.size());
    return checked(PyObject_Vectorcall(callable, stack + 1,
                                       positional | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.get()));
}

template <class... Args>
Ref call_kw(const Ref& callable, const KwNames& kwnames, const Args&... args) {
    return call_kw(callable.get(), kwnames, args...);
}

// callable(**mapping): the entries of a dict passed as keyword arguments.  The
// callee never receives the caller's dict itself, so it cannot change it.
Ref call_with_keywords(PyObject* callable, PyObject* mapping);

// self.name(*args), looked up by ordinary attribute lookup.
template <class... Args> Ref call_method(PyObject* self, const Name& name, const Args&... args) {
    PyObject* stack[] = {self, obj(args)...};
    return checked(PyObject_VectorcallMethod(
        name.get(), stack, (sizeof...(Args) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

template <class... Args> Ref call_method(const Ref& self, const Name& name, const Args&... args) {
    return call_method(self.get(), name, args...);
}

// self.name(*positional, **keywords) with the last kwnames.size() arguments
// passed by keyword.
template <class... Args>
Ref call_method_kw(PyObject* self, const Name& name, const KwNames& kwnames, const Args&... args) {
    PyObject* stack[] = {self, obj(args)...};
    const size_t positional = sizeof...(Args) + 1 - static_cast<size_t>(kwnames.size());
    return checked(PyObject_VectorcallMethod(
        name.get(), stack, positional | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.get()));
}

template <class... Args>
Ref call_method_kw(const Ref& self, const Name& name, const KwNames& kwnames, const Args&... args) {
    return call_method_kw(self.get(), name, kwnames, args...);
}

inline Ref getattr(PyObject* object, const Name& name) {
    return checked(PyObject_GetAttr(object, name.get()));
}
inline Ref getattr(const Ref& object, const Name& name) {
    return getattr(object.get(), name);
}

// An attribute, or an empty Ref when the object has none.
inline Ref optional_attr(PyObject* object, const Name& name) {
    PyObject* value = nullptr;
    checked(PyObject_GetOptionalAttr(object, name.get(), &value));
    return Ref::steal(value);
}

inline void setattr(PyObject* object, const Name& name, PyObject* value) {
    checked(PyObject_SetAttr(object, name.get(), value));
}

// The interpreter's truth test.
inline bool truth(PyObject* object) {
    return checked(PyObject_IsTrue(object)) != 0;
}
inline bool truth(const Ref& object) {
    return truth(object.get());
}

// While it lives, `exception` is the exception being handled, as inside an
// `except` clause: sys.exception() returns it, a bare `raise` raises it, and
// every exception raised meanwhile takes it as its __context__.  Afterwards
// the innermost handled-exception slot holds again exactly what it held.
class Handling {
public:
    explicit Handling(PyObject* exception) noexcept;
    ~Handling();
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;

private:
    PyObject* saved_; // the slot's value before, or null for none
};

// A context manager that has been entered: its bound __exit__ and the value
// that __enter__ returned.
struct Context {
    Ref exit;
    Ref value;
};

// Looks up __enter__ and __exit__ on the manager's type and calls __enter__.
Context enter_context(PyObject* manager);

// The way out of the statement when its body failed with the pending
// exception: calls __exit__ with that exception's type, value and traceback
// and tests the truth of its result, both while that exception is the one
// being handled.  Returns when __exit__ suppressed the exception; otherwise
// raises it again, or what __exit__ or the truth test raised.
void exit_on_failure(const Context& context);

// Runs `block(entered)` as the body of `with manager as entered:`, with the
// statement's semantics: __exit__ runs on every way out, sees the pending
// exception and may suppress it.  Returns false when it suppressed one.
template <class Block> bool with(PyObject* manager, Block&& block) {
    Context context = enter_context(manager);
    try {
        block(context.value.get());
    } catch (...) {
        // Whatever left the block, an Error or any other C++ exception, is
        // the pending Python exception that __exit__ is told about.
        set_python_error();
        exit_on_failure(context);
        return false;
    }
    // As in the statement, what __exit__ returns on the way out of a body
    // that succeeded is not looked at.
    call(context.exit, Py_None, Py_None, Py_None);
    return true;
}

} // namespace vantrel
