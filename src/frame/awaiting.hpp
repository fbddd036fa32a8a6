// A native object that behaves as a coroutine: what `await` takes from an
// awaitable, how throw() raises where the body stands, how a step's result
// becomes an iterator's, and Coroutine, the send/throw/close/__await__ of an
// object that waits on one awaited iterator.
#pragma once

#include "frame/calls.hpp"
#include "frame/functions.hpp"
#include "frame/native.hpp"
#include "frame/ref.hpp"

#include <cstdint>

namespace vantrel {

// What `await` takes from an awaitable: a coroutine itself, or the iterator
// its __await__ returns; the interpreter's TypeError for anything else.
Ref await_iterator(Ref awaitable);

// What throw(typ, val, tb) raises where a body stands, as a generator's throw
// raises it in its own frame.
[[noreturn]] void raise_thrown(PyObject* typ, PyObject* val, PyObject* tb);

// awaiting.throw(typ, val, tb) as given (the three-argument form warns
// there), or raise_thrown when it has no throw.
Ref throw_into(PyObject* awaiting, PyObject* typ, PyObject* val, PyObject* tb);

// awaiting.close(), when it has one.
void close_into(PyObject* awaiting);

// A step's result as an iterator gives it: the value yielded, or NULL with
// StopIteration carrying what the body returned.
PyObject* as_iteration(PySendResult sent, PyObject* result) noexcept;

// Where a coroutine-like object's body stands.
enum class Run : std::uint8_t { Fresh, Running, Done };

inline constexpr Param coroutine_send_params[] = {
    self_param,
    {"value", nullptr, Rule::Any, Default::Required},
};

inline constexpr Param coroutine_throw_params[] = {
    self_param,
    {"typ", nullptr, Rule::Any, Default::Required},
    {"val", nullptr, Rule::Any, Default::None},
    {"tb", nullptr, Rule::Any, Default::None},
};

inline constexpr Param coroutine_close_params[] = {self_param};

// The steps of a native type whose instance runs as the coroutine of an
// `async def` would: the first step starts the body and waits on the iterator
// of what it gave, each step passes on to that iterator, throw() and close()
// reach it where it waits, and an instance dropped unfinished is closed.
//
// Body says what is particular to the type:
//   using Object = ...;     the instance: PyObject* awaiting (the iterator,
//                           while running), Run run, bool executing
//   using Fields = ...;     the GC steps of its object fields
//   void begin(Object*)     before the first step (a failure leaves it fresh)
//   Ref start(Object*)      the first step: the awaitable to wait on
//   void ended(Object*)     after the body ended and its iterator is released
//   void give_up(Object*)   before a throw() or close() reaches the body
//   PyObject* repr(PyObject*) noexcept, const char doc[]: the type's repr, docstring
// Each type defines its own send/throw/close Signatures (their qualified
// names and docstrings) from send_method, throw_method and close_method, and
// its type from `slots`.
template <class Body> struct Coroutine {
    using Object = typename Body::Object;

    // am_send: the value the body yields next, or PYGEN_RETURN with what it
    // returned.
    static PySendResult send(PyObject* object, PyObject* value, PyObject** result) noexcept {
        *result = nullptr;
        return guarded(
            [&] {
                Object* c = as<Object>(object);
                Step step(c);
                if (c->run == Run::Done) raise_reused();
                if (c->run == Run::Fresh) {
                    if (value != Py_None) {
                        raise(PyExc_TypeError,
                              "can't send non-None value to a just-started coroutine");
                    }
                    Body::begin(c);
                    c->run = Run::Running;
                    running(c, [&] { c->awaiting = await_iterator(Body::start(c)).release(); });
                }
                PyObject* out = nullptr;
                const PySendResult sent = running(c, [&] {
                    // Held: the step may end the body, which releases it.
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

    static PyObject* next(PyObject* object) noexcept {
        PyObject* result = nullptr;
        const PySendResult sent = send(object, Py_None, &result);
        return as_iteration(sent, result);
    }

    static PyObject* await_self(PyObject* object) noexcept { return Py_NewRef(object); }

    static PyObject* send_method(FunctionObject*, Args<coroutine_send_params> args) {
        PyObject* self = reinterpret_cast<PyObject*>(instance_of<Object>(args["self"], "send"));
        PyObject* result = nullptr;
        const PySendResult sent = send(self, args["value"], &result);
        return as_iteration(sent, result);
    }

    static Ref throw_method(FunctionObject*, Args<coroutine_throw_params> args) {
        Object* c = instance_of<Object>(args["self"], "throw");
        Step step(c);
        if (c->run == Run::Done) raise_reused();
        // Not started, the body never runs: the exception comes out at once.
        if (c->run == Run::Fresh) {
            c->run = Run::Done;
            raise_thrown(args["typ"], args["val"], args["tb"]);
        }
        return running(c, [&] {
            Body::give_up(c);
            Ref awaiting = Ref::borrow(c->awaiting);
            return throw_into(awaiting.get(), args["typ"], args["val"], args["tb"]);
        });
    }

    static Ref close_method(FunctionObject*, Args<coroutine_close_params> args) {
        close(instance_of<Object>(args["self"], "close"));
        return none();
    }

    // Dropped unfinished, as a coroutine is: closed where it waits.
    static void finalize(PyObject* object) noexcept {
        Object* c = as<Object>(object);
        if (c->run != Run::Running) return;
        Ref pending = Ref::steal(PyErr_GetRaisedException());
        const bool closed = guarded(
            [&] {
                close(c);
                return true;
            },
            false);
        if (!closed) PyErr_WriteUnraisable(object);
        PyErr_SetRaisedException(pending.release());
    }

    static void dealloc(PyObject* object) noexcept {
        if (PyObject_CallFinalizerFromDealloc(object) < 0) return; // brought back to life
        Body::Fields::dealloc(object);
    }

    // A body in a cycle of references is closed by the finaliser before this.
    static int clear(PyObject* object) noexcept {
        as<Object>(object)->run = Run::Done;
        return Body::Fields::clear(object);
    }

    static inline PyType_Slot slots[] = {
        type_slot(Py_tp_dealloc, dealloc),
        type_slot(Py_tp_traverse, Body::Fields::traverse),
        type_slot(Py_tp_clear, clear),
        type_slot(Py_tp_finalize, finalize),
        type_slot(Py_tp_repr, Body::repr),
        type_slot(Py_tp_iter, PyObject_SelfIter),
        type_slot(Py_tp_iternext, next),
        type_slot(Py_am_await, await_self),
        type_slot(Py_am_send, send),
        type_slot(Py_tp_doc, Body::doc),
        {},
    };

private:
    [[noreturn]] static void raise_reused() {
        raise(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
    }

    // Marks a step under way for its scope; refuses one started inside
    // another, as a coroutine does.
    class Step {
    public:
        explicit Step(Object* c) : c_(c) {
            if (c->executing) raise(PyExc_ValueError, "coroutine already executing");
            c->executing = true;
        }
        ~Step() { c_->executing = false; }
        Step(const Step&) = delete;
        Step& operator=(const Step&) = delete;

    private:
        Object* c_;
    };

    // The body has ended.  An exception it raised stays the one that
    // propagates; should Body::ended fail, that failure does, with the
    // body's exception as its context.
    static void finish(Object* c) {
        Ref pending = Ref::steal(PyErr_GetRaisedException());
        c->run = Run::Done;
        Py_CLEAR(c->awaiting);
        try {
            Body::ended(c);
        } catch (const Error&) {
            Ref failure = Ref::steal(PyErr_GetRaisedException());
            if (pending) PyException_SetContext(failure.get(), pending.release());
            reraise(std::move(failure));
        }
        if (pending) reraise(std::move(pending));
    }

    // Runs `step` on the running body; the body has ended when it raises.
    template <class Work> static auto running(Object* c, Work&& step) {
        try {
            return step();
        } catch (const Error&) {
            finish(c);
            throw;
        }
    }

    static void close(Object* c) {
        Step step(c);
        if (c->run != Run::Running) {
            c->run = Run::Done;
            return;
        }
        running(c, [&] {
            Body::give_up(c);
            Ref awaiting = Ref::borrow(c->awaiting);
            close_into(awaiting.get());
        });
        finish(c);
    }
};

} // namespace vantrel
