// A call of AsyncSession.send or send_template: an object that behaves as the
// coroutine of an `async def` would.  Its first step runs the start function
// (build the message, queue it), then it waits on what that gave (the
// message's future, or for send_template the call of send it made).  When its
// waiter gives up on it (a CancelledError or any other exception thrown in,
// close(), or being dropped unfinished), the session learns it first.
#include "aio/aio.hpp"
#include "frame/awaiting.hpp"

namespace vantrel::aio {

namespace {

Name n_close{"close"};

enum class Run : std::uint8_t { Fresh, Running, Done };

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

using CallFields = Fields<CallObject, &CallObject::arguments, &CallObject::awaiting>;

CallObject* call_of(PyObject* object, const char* method) {
    return instance_of<CallObject>(object, method);
}

// Marks a step under way; refuses one started inside another.
class Step {
public:
    explicit Step(CallObject* c) : c_(c) {
        if (c->executing) raise(PyExc_ValueError, "coroutine already executing");
        c->executing = true;
    }
    ~Step() { c_->executing = false; }
    Step(const Step&) = delete;
    Step& operator=(const Step&) = delete;

private:
    CallObject* c_;
};

void finish(CallObject* c) {
    c->run = Run::Done;
    c->job = 0;
    Py_CLEAR(c->awaiting);
}

// The waiter no longer waits: the session takes the message back or drops
// its connection.  The exception being raised stays the pending one.
void give_up(CallObject* c) {
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

template <class Work> auto running(CallObject* c, Work&& step) {
    try {
        return step();
    } catch (const Error&) {
        finish(c);
        throw;
    }
}

[[noreturn]] void raise_reused() {
    raise(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
}

PySendResult call_send(PyObject* object, PyObject* value, PyObject** result) noexcept {
    *result = nullptr;
    return guarded(
        [&] {
            CallObject* c = as<CallObject>(object);
            Step step(c);
            if (c->run == Run::Done || !c->arguments) raise_reused();
            if (c->run == Run::Fresh) {
                if (value != Py_None) {
                    raise(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
                }
                c->run = Run::Running;
                running(c, [&] {
                    PyObject* const* bound =
                        reinterpret_cast<PyTupleObject*>(c->arguments)->ob_item;
                    c->awaiting = await_iterator(c->start(bound, c->job)).release();
                });
            }
            PyObject* out = nullptr;
            const PySendResult sent = running(c, [&] {
                Ref awaiting = Ref::borrow(c->awaiting);
                const PySendResult body = PyIter_Send(awaiting.get(), value, &out);
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

PyObject* call_next(PyObject* object) noexcept {
    PyObject* result = nullptr;
    const PySendResult sent = call_send(object, Py_None, &result);
    return as_iteration(sent, result);
}

PyObject* call_await(PyObject* object) noexcept {
    return Py_NewRef(object);
}

constexpr Param send_params[] = {
    self_param,
    {"value", nullptr, Rule::Any, Default::Required},
};

PyObject* Call_send(FunctionObject*, Args<send_params> args) {
    PyObject* self = reinterpret_cast<PyObject*>(call_of(args["self"], "send"));
    PyObject* result = nullptr;
    const PySendResult sent = call_send(self, args["value"], &result);
    return as_iteration(sent, result);
}

const Signature send_signature = define<Call_send>({
    .name = "send",
    .qualname = "send_call.send",
    .doc = "Send a value into the call; return the next value it yields, or raise\n"
           "StopIteration with its result.",
});

constexpr Param throw_params[] = {
    self_param,
    {"typ", nullptr, Rule::Any, Default::Required},
    {"val", nullptr, Rule::Any, Default::None},
    {"tb", nullptr, Rule::Any, Default::None},
};

Ref Call_throw(FunctionObject*, Args<throw_params> args) {
    CallObject* c = call_of(args["self"], "throw");
    Step step(c);
    if (c->run != Run::Running) {
        c->run = Run::Done;
        raise_thrown(args["typ"], args["val"], args["tb"]);
    }
    return running(c, [&] {
        give_up(c);
        Ref awaiting = Ref::borrow(c->awaiting);
        return throw_into(awaiting.get(), args["typ"], args["val"], args["tb"]);
    });
}

const Signature throw_signature = define<Call_throw>({
    .name = "throw",
    .qualname = "send_call.throw",
    .doc = "Raise an exception where the call waits: the message is given up.",
});

void close_call(CallObject* c) {
    Step step(c);
    if (c->run != Run::Running) {
        c->run = Run::Done;
        return;
    }
    running(c, [&] {
        give_up(c);
        Ref method = optional_attr(c->awaiting, n_close);
        if (method) call(method);
    });
    finish(c);
}

constexpr Param close_params[] = {self_param};

Ref Call_close(FunctionObject*, Args<close_params> args) {
    close_call(call_of(args["self"], "close"));
    return none();
}

const Signature close_signature = define<Call_close>({
    .name = "close",
    .qualname = "send_call.close",
    .doc = "Give the call up where it waits.",
    .returns = "None",
});

void call_finalize(PyObject* object) noexcept {
    CallObject* c = as<CallObject>(object);
    if (c->run != Run::Running) return;
    Ref pending = Ref::steal(PyErr_GetRaisedException());
    const bool closed = guarded(
        [&] {
            close_call(c);
            return true;
        },
        false);
    if (!closed) PyErr_WriteUnraisable(object);
    PyErr_SetRaisedException(pending.release());
}

void call_dealloc(PyObject* object) noexcept {
    if (PyObject_CallFinalizerFromDealloc(object) < 0) return; // brought back to life
    CallFields::dealloc(object);
}

int call_clear(PyObject* object) noexcept {
    CallObject* c = as<CallObject>(object);
    c->run = Run::Done;
    c->job = 0;
    return CallFields::clear(object);
}

PyObject* call_repr(PyObject* object) noexcept {
    CallObject* c = as<CallObject>(object);
    return PyUnicode_FromFormat("<send_call %s at %p>",
                                c->run == Run::Fresh     ? "not started"
                                : c->run == Run::Running ? "running"
                                                         : "done",
                                object);
}

PyType_Slot call_slots[] = {
    type_slot(Py_tp_dealloc, call_dealloc),
    type_slot(Py_tp_traverse, CallFields::traverse),
    type_slot(Py_tp_clear, call_clear),
    type_slot(Py_tp_finalize, call_finalize),
    type_slot(Py_tp_repr, call_repr),
    type_slot(Py_tp_iter, PyObject_SelfIter),
    type_slot(Py_tp_iternext, call_next),
    type_slot(Py_am_await, call_await),
    type_slot(Py_am_send, call_send),
    type_slot(Py_tp_doc, "A call of AsyncSession.send or send_template, awaited as a coroutine."),
    {},
};

PyType_Spec call_spec = {
    .name = "vantrel.aio.send_call",
    .basicsize = sizeof(CallObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .slots = call_slots,
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
