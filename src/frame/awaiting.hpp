// The pieces of a native object that behaves as a coroutine: what `await`
// takes from an awaitable, how throw() raises where the body stands, and how
// a step's result becomes an iterator's.
#pragma once

#include "frame/ref.hpp"

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

// A step's result as an iterator gives it: the value yielded, or NULL with
// StopIteration carrying what the body returned.
PyObject* as_iteration(PySendResult sent, PyObject* result) noexcept;

} // namespace vantrel
