#include "frame/awaiting.hpp"

#include "frame/calls.hpp"

namespace vantrel {

namespace {
Name n_throw{"throw"};
Name n_close{"close"};
} // namespace

Ref await_iterator(Ref awaitable) {
    if (PyCoro_CheckExact(awaitable.get())) return awaitable;
    PyTypeObject* type = Py_TYPE(awaitable.get());
    unaryfunc await = type->tp_as_async ? type->tp_as_async->am_await : nullptr;
    if (!await) raise_format(PyExc_TypeError, "'%.100s' object can't be awaited", type->tp_name);
    Ref iterator = checked(await(awaitable.get()));
    if (!PyIter_Check(iterator.get())) {
        raise_format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'",
                     Py_TYPE(iterator.get())->tp_name);
    }
    return iterator;
}

void raise_thrown(PyObject* typ, PyObject* val, PyObject* tb) {
    if (PyExceptionInstance_Check(typ)) {
        if (val != Py_None) {
            raise(PyExc_TypeError, "instance exception may not have a separate value");
        }
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(typ)), typ);
    } else if (PyExceptionClass_Check(typ)) {
        PyErr_SetObject(typ, val);
    } else {
        raise_format(PyExc_TypeError,
                     "exceptions must be classes or instances deriving from BaseException, "
                     "not %.100s",
                     Py_TYPE(typ)->tp_name);
    }
    if (tb == Py_None) raise_error();
    Ref exception = Ref::steal(PyErr_GetRaisedException());
    checked(PyException_SetTraceback(exception.get(), tb));
    reraise(std::move(exception));
}

Ref throw_into(PyObject* awaiting, PyObject* typ, PyObject* val, PyObject* tb) {
    Ref method = optional_attr(awaiting, n_throw);
    if (!method) raise_thrown(typ, val, tb);
    return tb != Py_None    ? call(method, typ, val, tb)
           : val != Py_None ? call(method, typ, val)
                            : call(method, typ);
}

void close_into(PyObject* awaiting) {
    Ref method = optional_attr(awaiting, n_close);
    if (method) call(method);
}

PyObject* as_iteration(PySendResult sent, PyObject* result) noexcept {
    if (sent != PYGEN_RETURN) return result;
    Ref value = Ref::steal(result);
    Ref stop = Ref::steal(PyObject_CallOneArg(PyExc_StopIteration, value.get()));
    if (stop) PyErr_SetObject(PyExc_StopIteration, stop.get());
    return nullptr;
}

} // namespace vantrel
