// A call of AsyncSession.send or send_template: an object that behaves as the
// coroutine of an `async def` would.  Its first step runs the start function
// (queue the message), then it waits on what that gave (the
// message's future, or for send_template the call of send it made).  When its
// waiter gives up on it (a CancelledError or any other exception thrown in,
// close(), or being dropped unfinished), the session learns it first.
#include "aio/aio.hpp"
#include "frame/awaiting.hpp"

namespace vantrel::aio {

namespace {

struct CallObject {
    PyObject_HEAD
    PyObject* arguments; // the bound arguments, the session first
    PyObject* awaiting;  // the iterator waited on, while running
    Start start;
    std::uint64_t job; // the message a send queued, until it is settled or given up
    Run run;
    bool executing;
    static inline PyTypeObject* type;
};

struct SendCall {
    using Object = CallObject;
    using Fields = vantrel::Fields<CallObject, &CallObject::arguments, &CallObject::awaiting>;

    static void begin(CallObject*) {}

    static Ref start(CallObject* c) { return c->start(c->arguments, c->job); }

    static void ended(CallObject* c) { c->job = 0; }

    // The waiter no longer waits: the session takes the message back or drops
    // its connection.  The exception being raised stays the pending one.
    static void give_up(CallObject* c) {
        const std::uint64_t job = std::exchange(c->job, 0);
        if (!job || !c->arguments) return;
        Ref pending = Ref::steal(PyErr_GetRaisedException());
        Ref session = Ref::borrow(PyTuple_GET_ITEM(c->arguments, 0));
        try {
            abandon(reinterpret_cast<SessionObject*>(session.get()), job);
        } catch (const Error&) {
            if (!pending) throw;
            PyErr_WriteUnraisable(session.get());
        }
        if (pending) PyErr_SetRaisedException(pending.release());
    }

    static PyObject* repr(PyObject* object) noexcept {
        CallObject* c = as<CallObject>(object);
        return PyUnicode_FromFormat("<send_call %s at %p>",
                                    c->run == Run::Fresh     ? "not started"
                                    : c->run == Run::Running ? "running"
                                                             : "done",
                                    object);
    }

    static constexpr char doc[] =
        "A call of AsyncSession.send or send_template, awaited as a coroutine.";
};

using Call = Coroutine<SendCall>;

const Signature send_signature = define<Call::send_method>({
    .name = "send",
    .qualname = "send_call.send",
    .doc = "Send a value into the call; return the next value it yields, or raise\n"
           "StopIteration with its result.",
});

const Signature throw_signature = define<Call::throw_method>({
    .name = "throw",
    .qualname = "send_call.throw",
    .doc = "Raise an exception where the call waits: the message is given up.",
});

const Signature close_signature = define<Call::close_method>({
    .name = "close",
    .qualname = "send_call.close",
    .doc = "Give the call up where it waits.",
    .returns = "None",
});

PyType_Spec call_spec = {
    .name = "vantrel.aio.send_call",
    .basicsize = sizeof(CallObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .slots = Call::slots,
};

} // namespace

Ref new_call(Start start, PyObject* const* bound, std::size_t count) {
    Ref arguments = checked(PyTuple_New(static_cast<Py_ssize_t>(count)));
    for (std::size_t i = 0; i < count; ++i)
        PyTuple_SET_ITEM(arguments.get(), static_cast<Py_ssize_t>(i), Py_NewRef(bound[i]));
    Ref made = new_instance<CallObject>();
    CallObject* c = as<CallObject>(made.get());
    c->arguments = arguments.release();
    c->start = start;
    return made;
}

void make_call_type(ModuleFrame& frame) {
    Ref type = frame.native_class(call_spec, {send_signature, throw_signature, close_signature});
    Py_XSETREF(CallObject::type, reinterpret_cast<PyTypeObject*>(type.release()));
}

} // namespace vantrel::aio
