// The handled exception, the with statement and calls with keywords from a
// dict.
#include "frame/calls.hpp"

namespace vantrel {

namespace {
Name enter_name{"__enter__"};
Name exit_name{"__exit__"};
Name aenter_name{"__aenter__"};
Name aexit_name{"__aexit__"};

// The attribute `name` of a type as its MRO gives it, or an empty Ref.
Ref type_attribute(PyTypeObject* type, const Name& name) {
    // Comparing keys may run Python code: hold what the walk reads.
    Ref mro = Ref::borrow(type->tp_mro);
    const Py_ssize_t bases = mro ? PyTuple_GET_SIZE(mro.get()) : 0;
    for (Py_ssize_t i = 0; i < bases; ++i) {
        Ref dict = checked(
            PyType_GetDict(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro.get(), i))));
        PyObject* value = nullptr;
        if (checked(PyDict_GetItemRef(dict.get(), name.get(), &value))) return Ref::steal(value);
    }
    return Ref();
}

// The manager's special method as the with statement finds it: looked up on
// the type through its MRO, never on the instance, then bound by the
// descriptor protocol.  A plain function becomes a bound method, a
// staticmethod yields its function, and an attribute that is no descriptor
// (any other callable) is used as it is, so that it is called without self.
Ref special_method(PyObject* manager, const Name& name) {
    PyTypeObject* type = Py_TYPE(manager);
    Ref found = type_attribute(type, name);
    if (!found) {
        // The interpreter's wording, with its hint for an asynchronous manager.
        const bool asynchronous =
            type_attribute(type, aenter_name) && type_attribute(type, aexit_name);
        raise_format(PyExc_TypeError,
                     "'%T' object does not support the context manager protocol (missed %U "
                     "method)%s",
                     manager, name.get(),
                     asynchronous ? " but it supports the asynchronous context manager protocol. "
                                    "Did you mean to use 'async with'?"
                                  : "");
    }
    descrgetfunc get = Py_TYPE(found.get())->tp_descr_get;
    if (!get) return found;
    return checked(get(found.get(), manager, reinterpret_cast<PyObject*>(type)));
}
} // namespace

Context enter_context(PyObject* manager) {
    // The statement's order: __exit__ is looked up and bound before __enter__.
    Ref exit = special_method(manager, exit_name);
    Ref enter = special_method(manager, enter_name);
    Ref value = call(enter);
    return Context{std::move(exit), std::move(value)};
}

namespace {
// The innermost handled-exception slot of the running thread: what an except
// clause pushes and pops (PUSH_EXC_INFO, POP_EXCEPT), null or None when empty.
//
// No public call reads this slot.  PyErr_GetHandledException() walks outward
// past empty slots: inside a generator that its caller runs while handling an
// exception, it gives the caller's exception, and writing that back with
// PyErr_SetHandledException() (which sets the innermost slot) would leave the
// caller's exception in the generator's own state.  So the slot is read from
// the thread state, whose exc_info points at it: a field of the interpreter's
// own headers, not of its stable or documented API, read here and nowhere
// else.  The layout was checked on 3.14; check it again for another version.
#if PY_VERSION_HEX < 0x030E0000 || PY_VERSION_HEX >= 0x030F0000
#error "innermost_handled() reads PyThreadState::exc_info as Python 3.14 lays it out"
#endif
PyObject* innermost_handled() noexcept {
    return PyThreadState_Get()->exc_info->exc_value;
}
} // namespace

Handling::Handling(PyObject* exception) noexcept {
    // The interpreter pushes and pops exactly the innermost slot around an
    // except clause, and so does this.
    PyObject* innermost = innermost_handled();
    saved_ = innermost == Py_None ? nullptr : Py_XNewRef(innermost);
    PyErr_SetHandledException(exception);
}

Handling::~Handling() {
    // Null and None both mean "nothing handled here"; the setter stores either
    // as null, as the interpreter's own POP_EXCEPT does.
    PyErr_SetHandledException(saved_ ? saved_ : Py_None);
    Py_XDECREF(saved_);
}

void exit_on_failure(const Context& context) {
    Ref pending = Ref::steal(PyErr_GetRaisedException());
    assert(pending);
    bool suppressed;
    {
        Handling handling(pending.get());
        Ref traceback = Ref::steal(PyException_GetTraceback(pending.get()));
        Ref result = call(context.exit, reinterpret_cast<PyObject*>(Py_TYPE(pending.get())),
                          pending, traceback ? traceback.get() : Py_None);
        suppressed = truth(result);
    }
    if (!suppressed) reraise(std::move(pending));
}

Ref call_with_keywords(PyObject* callable, PyObject* mapping) {
    if (PyVectorcall_Function(callable)) {
        // Vectorcall unpacks the entries onto the stack: no dict is shared.
        return checked(PyObject_VectorcallDict(callable, nullptr, 0, mapping));
    }
    Ref copy = checked(PyDict_Copy(mapping));
    Ref no_args = checked(PyTuple_New(0));
    return checked(PyObject_Call(callable, no_args.get(), copy.get()));
}

} // namespace vantrel
