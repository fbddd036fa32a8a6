// Strings made at start-up, keyword tuples and the with-statement helper.
#include "frame/frame.hpp"

namespace vantrel {

namespace {
// Intrusive lists of every StaticString and KwNames of this shared library.
// Plain pointers are zero-initialised before any constructor runs, so the
// order of static construction across files does not matter.
StaticString* all_strings;
KwNames* all_kwnames;

PyObject* make_string(const char* text, bool interned) {
    return interned ? PyUnicode_InternFromString(text) : PyUnicode_FromString(text);
}
} // namespace

StaticString::StaticString(const char* text, bool interned) noexcept
    : text_(text), interned_(interned), next_(all_strings) {
    all_strings = this;
}

KwNames* KwNames::link() noexcept {
    KwNames* head = all_kwnames;
    all_kwnames = this;
    return head;
}

void intern_names() {
    for (StaticString* string = all_strings; string; string = string->next_) {
        if (!string->object_)
            string->object_ = checked(make_string(string->text_, string->interned_)).release();
    }
    for (KwNames* kw = all_kwnames; kw; kw = kw->next_) {
        if (kw->tuple_) continue;
        Ref tuple = checked(PyTuple_New(kw->size_));
        for (Py_ssize_t i = 0; i < kw->size_; ++i) {
            PyTuple_SET_ITEM(tuple.get(), i, checked(make_string(kw->names_[i], true)).release());
        }
        kw->tuple_ = tuple.release();
    }
}

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
        PyErr_Format(PyExc_TypeError,
                     "'%T' object does not support the context manager protocol (missed %U "
                     "method)%s",
                     manager, name.get(),
                     asynchronous ? " but it supports the asynchronous context manager protocol. "
                                    "Did you mean to use 'async with'?"
                                  : "");
        raise_error();
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

bool exit_context(const Context& context, PyObject* pending) {
    if (!pending) return truth(call(context.exit, Py_None, Py_None, Py_None));
    // As in the interpreter, __exit__ runs while the pending exception is the
    // one being handled: sys.exception() sees it, and whatever __exit__
    // raises carries it as its context.
    Ref handled = Ref::steal(PyErr_GetHandledException());
    PyErr_SetHandledException(pending);
    Ref traceback = Ref::steal(PyException_GetTraceback(pending));
    Ref result = Ref::steal(PyObject_CallFunctionObjArgs(
        context.exit.get(), reinterpret_cast<PyObject*>(Py_TYPE(pending)), pending,
        traceback ? traceback.get() : Py_None, nullptr));
    PyErr_SetHandledException(handled.get());
    if (!result) raise_error();
    return truth(result);
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
