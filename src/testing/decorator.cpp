// vantrel.testing: an outbox as a decorator.  A decorated function runs each
// call inside the capture; a decorated coroutine function stays one, and the
// capture spans the awaited body.
#include "testing/testing.hpp"

#include <cstdint>

namespace vantrel::testing {
namespace {

Name n_update_wrapper{"update_wrapper"};
Name n_iscoroutinefunction{"iscoroutinefunction"};
Name n_markcoroutinefunction{"markcoroutinefunction"};
Name n_throw{"throw"};
Name n_close{"close"};

// ---------------------------------------------------------------------------
// A call of a decorated coroutine function.  Awaiting it runs the function
// with the capture active from the first step of its body to the last, as
// `async def call(...): with outbox: return await function(...)` would: the
// capture begins when the awaiting starts, and ends when the body returns or
// raises, or when the call is closed or dropped unfinished.

enum class Run : std::uint8_t { Fresh, Running, Done };

struct CapturingCoroutineObject {
    PyObject_HEAD
    PyObject* outbox;
    PyObject* function;
    PyObject* arguments; // the positional values, then the keyword values
    PyObject* kwnames;   // the keywords, or null
    PyObject* awaiting;  // the iterator of the function's awaitable, while running
    Py_ssize_t positional;
    std::uint64_t capture; // the number of its capture, while running
    Run run;
    bool executing;                   // a step is under way: a second one must not start
    static inline PyTypeObject* type; // made by the module body, kept for the process
};

using CapturingCoroutineFields =
    Fields<CapturingCoroutineObject, &CapturingCoroutineObject::outbox,
           &CapturingCoroutineObject::function, &CapturingCoroutineObject::arguments,
           &CapturingCoroutineObject::kwnames, &CapturingCoroutineObject::awaiting>;

CapturingCoroutineObject* coroutine_of(PyObject* object, const char* method) {
    return instance_of<CapturingCoroutineObject>(object, method);
}

Ref new_capturing_coroutine(PyObject* outbox, PyObject* function, PyObject* const* args,
                            Py_ssize_t positional, PyObject* kwnames) {
    const Py_ssize_t count = positional + (kwnames ? PyTuple_GET_SIZE(kwnames) : 0);
    Ref arguments = checked(PyTuple_New(count));
    for (Py_ssize_t i = 0; i < count; ++i)
        PyTuple_SET_ITEM(arguments.get(), i, Py_NewRef(args[i]));
    Ref made = new_instance<CapturingCoroutineObject>();
    CapturingCoroutineObject* c = as<CapturingCoroutineObject>(made.get());
    c->outbox = Py_NewRef(outbox);
    c->function = Py_NewRef(function);
    c->arguments = arguments.release();
    c->kwnames = Py_XNewRef(kwnames);
    c->positional = positional;
    return made;
}

// What `await` takes from an awaitable: a coroutine itself, or the iterator
// its __await__ returns.
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

// Marks a step under way for its scope; refuses one started inside another,
// as a coroutine does.
class Step {
public:
    explicit Step(CapturingCoroutineObject* c) : c_(c) {
        if (c->executing) raise(PyExc_ValueError, "coroutine already executing");
        c->executing = true;
    }
    ~Step() { c_->executing = false; }
    Step(const Step&) = delete;
    Step& operator=(const Step&) = delete;

private:
    CapturingCoroutineObject* c_;
};

// The body has ended: its capture ends too.  An exception the body raised
// stays the one that propagates; should ending fail, that failure does, with
// the body's exception as its context.
void finish(CapturingCoroutineObject* c) {
    Ref pending = Ref::steal(PyErr_GetRaisedException());
    c->run = Run::Done;
    Py_CLEAR(c->awaiting);
    try {
        end_capture(c->capture);
    } catch (const Error&) {
        Ref failure = Ref::steal(PyErr_GetRaisedException());
        if (pending) PyException_SetContext(failure.get(), pending.release());
        reraise(std::move(failure));
    }
    if (pending) reraise(std::move(pending));
}

// Runs `step` on the running body; the body has ended when it raises.
template <class Work> auto running(CapturingCoroutineObject* c, Work&& step) {
    try {
        return step();
    } catch (const Error&) {
        finish(c);
        throw;
    }
}

// The first step: the capture begins and the function is called inside it.
void start(CapturingCoroutineObject* c) {
    c->capture = begin_capture(c->outbox);
    c->run = Run::Running;
    running(c, [&] {
        PyObject* const* items = reinterpret_cast<PyTupleObject*>(c->arguments)->ob_item;
        Ref awaitable = checked(PyObject_Vectorcall(c->function, items, c->positional, c->kwnames));
        c->awaiting = await_iterator(std::move(awaitable)).release();
    });
}

[[noreturn]] void raise_reused() {
    raise(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
}

// send(value): the value the body yields next, or PYGEN_RETURN with what it
// returned.
PySendResult coroutine_send(PyObject* object, PyObject* value, PyObject** result) {
    *result = nullptr;
    return guarded(
        [&] {
            CapturingCoroutineObject* c = as<CapturingCoroutineObject>(object);
            Step step(c);
            if (c->run == Run::Done) raise_reused();
            if (c->run == Run::Fresh) {
                if (value != Py_None) {
                    raise(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
                }
                start(c);
            }
            PyObject* out = nullptr;
            const PySendResult sent = running(c, [&] {
                const PySendResult body = PyIter_Send(c->awaiting, value, &out);
                if (body == PYGEN_ERROR) raise_error();
                return body;
            });
            Ref held = Ref::steal(out);
            if (sent == PYGEN_RETURN) finish(c);
            *result = held.release();
            return sent;
        },
        PYGEN_ERROR);
}

// A result of coroutine_send as an iterator gives it: the value yielded, or
// StopIteration carrying what the body returned.
PyObject* as_iteration(PySendResult sent, PyObject* result) {
    if (sent != PYGEN_RETURN) return result;
    Ref value = Ref::steal(result);
    Ref stop = Ref::steal(PyObject_CallOneArg(PyExc_StopIteration, value.get()));
    if (stop) PyErr_SetObject(PyExc_StopIteration, stop.get());
    return nullptr;
}

PyObject* coroutine_next(PyObject* object) {
    PyObject* result = nullptr;
    const PySendResult sent = coroutine_send(object, Py_None, &result);
    return as_iteration(sent, result);
}

PyObject* coroutine_await(PyObject* object) {
    return Py_NewRef(object);
}

constexpr Param coroutine_send_params[] = {
    self_param,
    {"value", nullptr, Rule::Any, Default::Required},
};

PyObject* CapturingCoroutine_send(FunctionObject*, Args<coroutine_send_params> args) {
    PyObject* self = reinterpret_cast<PyObject*>(coroutine_of(args["self"], "send"));
    PyObject* result = nullptr;
    const PySendResult sent = coroutine_send(self, args["value"], &result);
    return as_iteration(sent, result);
}

const Signature coroutine_send_signature = define<CapturingCoroutine_send>({
    .name = "send",
    .qualname = "capturing_coroutine.send",
    .doc = "Send a value into the body; return the next value it yields, or raise\n"
           "StopIteration with what it returned.",
});

// What throw(typ, val, tb) raises where the body stands, as a generator's
// throw raises it in its own frame.
[[noreturn]] void raise_thrown(PyObject* typ, PyObject* val, PyObject* tb) {
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

constexpr Param coroutine_throw_params[] = {
    self_param,
    {"typ", nullptr, Rule::Any, Default::Required},
    {"val", nullptr, Rule::Any, Default::None},
    {"tb", nullptr, Rule::Any, Default::None},
};

Ref CapturingCoroutine_throw(FunctionObject*, Args<coroutine_throw_params> args) {
    CapturingCoroutineObject* c = coroutine_of(args["self"], "throw");
    PyObject* typ = args["typ"];
    PyObject* val = args["val"];
    PyObject* tb = args["tb"];
    Step step(c);
    // Not started, the body never runs: the exception comes out at once.
    if (c->run != Run::Running) {
        c->run = Run::Done;
        raise_thrown(typ, val, tb);
    }
    return running(c, [&] {
        Ref method = optional_attr(c->awaiting, n_throw);
        if (!method) raise_thrown(typ, val, tb);
        // Passed on as given: the three-argument form warns there.
        return tb != Py_None    ? call(method, typ, val, tb)
               : val != Py_None ? call(method, typ, val)
                                : call(method, typ);
    });
}

const Signature coroutine_throw_signature = define<CapturingCoroutine_throw>({
    .name = "throw",
    .qualname = "capturing_coroutine.throw",
    .doc = "Raise an exception where the body waits; return the next value it yields.",
});

constexpr Param coroutine_close_params[] = {self_param};

// Closes the body where it waits; the capture ends.
void close_coroutine(CapturingCoroutineObject* c) {
    Step step(c);
    if (c->run != Run::Running) {
        c->run = Run::Done;
        return;
    }
    running(c, [&] {
        Ref method = optional_attr(c->awaiting, n_close);
        if (method) call(method);
    });
    finish(c);
}

Ref CapturingCoroutine_close(FunctionObject*, Args<coroutine_close_params> args) {
    close_coroutine(coroutine_of(args["self"], "close"));
    return Ref::borrow(Py_None);
}

const Signature coroutine_close_signature = define<CapturingCoroutine_close>({
    .name = "close",
    .qualname = "capturing_coroutine.close",
    .doc = "Close the body where it waits, and end the capture.",
    .returns = "None",
});

// Dropped unfinished, as a coroutine is: closed, so that its capture ends.
void coroutine_finalize(PyObject* object) {
    CapturingCoroutineObject* c = as<CapturingCoroutineObject>(object);
    if (c->run != Run::Running) return;
    Ref pending = Ref::steal(PyErr_GetRaisedException());
    const bool closed = guarded(
        [&] {
            close_coroutine(c);
            return true;
        },
        false);
    if (!closed) {
        PyErr_WriteUnraisable(object);
    }
    PyErr_SetRaisedException(pending.release());
}

void coroutine_dealloc(PyObject* object) {
    if (PyObject_CallFinalizerFromDealloc(object) < 0) return; // brought back to life
    CapturingCoroutineFields::dealloc(object);
}

// A body in a cycle of references is closed by the finaliser before this.
int coroutine_clear(PyObject* object) {
    CapturingCoroutineObject* c = as<CapturingCoroutineObject>(object);
    c->run = Run::Done;
    Py_CLEAR(c->outbox);
    Py_CLEAR(c->function);
    Py_CLEAR(c->arguments);
    Py_CLEAR(c->kwnames);
    Py_CLEAR(c->awaiting);
    return 0;
}

PyObject* coroutine_repr(PyObject* object) {
    PyObject* function = as<CapturingCoroutineObject>(object)->function;
    if (!function) return PyUnicode_FromString("<capturing coroutine>");
    return PyUnicode_FromFormat("<capturing coroutine of %R>", function);
}

PyType_Slot capturing_coroutine_slots[] = {
    type_slot(Py_tp_dealloc, coroutine_dealloc),
    type_slot(Py_tp_traverse, CapturingCoroutineFields::traverse),
    type_slot(Py_tp_clear, coroutine_clear),
    type_slot(Py_tp_finalize, coroutine_finalize),
    type_slot(Py_tp_repr, coroutine_repr),
    type_slot(Py_tp_iter, PyObject_SelfIter),
    type_slot(Py_tp_iternext, coroutine_next),
    type_slot(Py_am_await, coroutine_await),
    type_slot(Py_am_send, coroutine_send),
    type_slot(Py_tp_doc, "A call of a coroutine function that an outbox decorates: awaiting it\n"
                         "runs the function's body with the capture active."),
    {},
};

PyType_Spec capturing_coroutine_spec = {
    .name = "vantrel.testing.capturing_coroutine",
    .basicsize = sizeof(CapturingCoroutineObject),
    .itemsize = 0,
    .flags = native_flags,
    .slots = capturing_coroutine_slots,
};

// ---------------------------------------------------------------------------
// A function decorated with an outbox: each call runs inside the capture.

struct CapturingObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject* outbox;
    PyObject* function;
    PyObject* dict; // __wrapped__, __name__, ... as functools.update_wrapper sets them
    PyObject* weakrefs;
    PyObject* coroutine_mark;         // what inspect.markcoroutinefunction set, or null
    bool coroutine;                   // a coroutine function: a call returns a capturing coroutine
    static inline PyTypeObject* type; // made by the module body, kept for the process
};

using CapturingFields =
    Fields<CapturingObject, &CapturingObject::outbox, &CapturingObject::function,
           &CapturingObject::dict, &CapturingObject::coroutine_mark>;

PyObject* capturing_call(PyObject* callable, PyObject* const* args, size_t nargsf,
                         PyObject* kwnames) noexcept {
    return guarded(
        [&] {
            CapturingObject* capturing = as<CapturingObject>(callable);
            Ref outbox = Ref::borrow(capturing->outbox);
            Ref function = Ref::borrow(capturing->function);
            if (capturing->coroutine) {
                return new_capturing_coroutine(outbox.get(), function.get(), args,
                                               PyVectorcall_NARGS(nargsf), kwnames)
                    .release();
            }
            Ref result;
            with(outbox.get(), [&](PyObject*) {
                result = checked(PyObject_Vectorcall(function.get(), args, nargsf, kwnames));
            });
            return result.release();
        },
        static_cast<PyObject*>(nullptr));
}

// As a Python function: bound to an instance it gives a method.
PyObject* capturing_get(PyObject* callable, PyObject* instance, PyObject*) noexcept {
    if (!instance || instance == Py_None) return Py_NewRef(callable);
    return PyMethod_New(callable, instance);
}

PyObject* capturing_repr(PyObject* callable) noexcept {
    return PyUnicode_FromFormat("<capturing %R>", as<CapturingObject>(callable)->function);
}

int capturing_clear(PyObject* callable) noexcept {
    Py_CLEAR(as<CapturingObject>(callable)->dict);
    Py_CLEAR(as<CapturingObject>(callable)->coroutine_mark);
    return 0;
}

// The attribute that inspect.markcoroutinefunction sets and
// inspect.iscoroutinefunction reads, kept in the object rather than in its
// __dict__: a synchronous function made around the wrapper with
// functools.wraps (pytest-asyncio's runner of a test) must not pass for a
// coroutine function as well.  An `async def` function carries the same fact
// in its code object, which wraps does not copy either.
PyObject* get_coroutine_mark(PyObject* callable, void*) {
    PyObject* mark = as<CapturingObject>(callable)->coroutine_mark;
    if (!mark) {
        PyErr_SetString(PyExc_AttributeError, "not a coroutine function");
        return nullptr;
    }
    return Py_NewRef(mark);
}

int set_coroutine_mark(PyObject* callable, PyObject* mark, void*) {
    Py_XSETREF(as<CapturingObject>(callable)->coroutine_mark, Py_XNewRef(mark));
    return 0;
}

PyMemberDef capturing_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(CapturingObject, vectorcall), Py_READONLY,
     nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(CapturingObject, dict), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(CapturingObject, weakrefs), Py_READONLY,
     nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef capturing_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"_is_coroutine_marker", get_coroutine_mark, set_coroutine_mark, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot capturing_slots[] = {
    type_slot(Py_tp_dealloc, CapturingFields::dealloc),
    type_slot(Py_tp_traverse, CapturingFields::traverse),
    type_slot(Py_tp_clear, capturing_clear),
    type_slot(Py_tp_call, PyVectorcall_Call),
    type_slot(Py_tp_descr_get, capturing_get),
    type_slot(Py_tp_repr, capturing_repr),
    type_slot(Py_tp_members, capturing_members),
    type_slot(Py_tp_getset, capturing_getset),
    {},
};

PyType_Spec capturing_spec = {
    .name = "vantrel.testing.capturing",
    .basicsize = sizeof(CapturingObject),
    .itemsize = 0,
    .flags = native_flags | Py_TPFLAGS_HAVE_VECTORCALL,
    .slots = capturing_slots,
};

constexpr Param call_params[] = {
    self_param,
    {"function", "Callable", Rule::Any, Default::Required},
};

Ref Outbox_call(FunctionObject*, Args<call_params> args) {
    outbox_of(args["self"], "__call__");
    PyObject* function = args["function"];
    if (!PyCallable_Check(function)) {
        raise_format(PyExc_TypeError, "an outbox decorates a function, not a '%.200s' object",
                     Py_TYPE(function)->tp_name);
    }
    Ref wrapper = new_instance<CapturingObject>();
    CapturingObject* capturing = as<CapturingObject>(wrapper.get());
    capturing->vectorcall = capturing_call;
    capturing->outbox = Py_NewRef(args["self"]);
    capturing->function = Py_NewRef(function);
    // As unittest.mock.patch does: a coroutine function stays one, and the
    // capture spans its awaited body.
    capturing->coroutine = truth(call(testing_module.global(n_iscoroutinefunction), function));
    Ref wrapped = call(testing_module.global(n_update_wrapper), wrapper, function);
    if (capturing->coroutine) call(testing_module.global(n_markcoroutinefunction), wrapped);
    return wrapped;
}

} // namespace

const Signature call_signature = define<Outbox_call>({
    .name = "__call__",
    .doc = "Decorate a function: each call of it runs with this capture active.  A coroutine\n"
           "function stays one: the capture is active while a call of it is awaited, from the\n"
           "first step of its body to the end.",
    .returns = "Callable",
});

void make_decorator_types(ModuleFrame& frame) {
    native_type(frame, CapturingObject::type, capturing_spec, {});
    native_type(frame, CapturingCoroutineObject::type, capturing_coroutine_spec,
                {coroutine_send_signature, coroutine_throw_signature, coroutine_close_signature});
}

} // namespace vantrel::testing
