// vantrel.testing: an outbox as a decorator.  A decorated function runs each
// call inside the capture; a decorated coroutine function stays one, and the
// capture spans the awaited body.
#include "testing/testing.hpp"

#include "frame/awaiting.hpp"

#include <cstdint>

namespace vantrel::testing {
namespace {

Name n_update_wrapper{"update_wrapper"};
Name n_iscoroutinefunction{"iscoroutinefunction"};
Name n_markcoroutinefunction{"markcoroutinefunction"};

// ---------------------------------------------------------------------------
// A call of a decorated coroutine function.  Awaiting it runs the function
// with the capture active from the first step of its body to the last, as
// `async def call(...): with outbox: return await function(...)` would: the
// capture begins when the awaiting starts, and ends when the body returns or
// raises, or when the call is closed or dropped unfinished.

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

struct CapturingBody {
    using Object = CapturingCoroutineObject;
    using Fields =
        vantrel::Fields<CapturingCoroutineObject, &CapturingCoroutineObject::outbox,
                        &CapturingCoroutineObject::function, &CapturingCoroutineObject::arguments,
                        &CapturingCoroutineObject::kwnames, &CapturingCoroutineObject::awaiting>;

    // The capture begins before the first step of the body.
    static void begin(CapturingCoroutineObject* c) { c->capture = begin_capture(c->outbox); }

    // The function is called inside the capture.
    static Ref start(CapturingCoroutineObject* c) {
        PyObject* const* items = reinterpret_cast<PyTupleObject*>(c->arguments)->ob_item;
        return checked(PyObject_Vectorcall(c->function, items, c->positional, c->kwnames));
    }

    // The body has ended, returned, raised or closed: its capture ends too.
    static void ended(CapturingCoroutineObject* c) { end_capture(c->capture); }

    static void give_up(CapturingCoroutineObject*) {}

    static PyObject* repr(PyObject* object) noexcept {
        PyObject* function = as<CapturingCoroutineObject>(object)->function;
        if (!function) return PyUnicode_FromString("<capturing coroutine>");
        return PyUnicode_FromFormat("<capturing coroutine of %R>", function);
    }

    static constexpr char doc[] =
        "A call of a coroutine function that an outbox decorates: awaiting it\n"
        "runs the function's body with the capture active.";
};

using CapturingCoroutine = Coroutine<CapturingBody>;

const Signature coroutine_send_signature = define<CapturingCoroutine::send_method>({
    .name = "send",
    .qualname = "capturing_coroutine.send",
    .doc = "Send a value into the body; return the next value it yields, or raise\n"
           "StopIteration with what it returned.",
});

const Signature coroutine_throw_signature = define<CapturingCoroutine::throw_method>({
    .name = "throw",
    .qualname = "capturing_coroutine.throw",
    .doc = "Raise an exception where the body waits; return the next value it yields.",
});

const Signature coroutine_close_signature = define<CapturingCoroutine::close_method>({
    .name = "close",
    .qualname = "capturing_coroutine.close",
    .doc = "Close the body where it waits, and end the capture.",
    .returns = "None",
});

PyType_Spec capturing_coroutine_spec = {
    .name = "vantrel.testing.capturing_coroutine",
    .basicsize = sizeof(CapturingCoroutineObject),
    .itemsize = 0,
    .flags = native_flags,
    .slots = CapturingCoroutine::slots,
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
