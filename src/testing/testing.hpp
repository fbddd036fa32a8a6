// vantrel.testing, shared between its files: the module, the outbox and the
// messages it holds, and the active captures.
//
//   outbox.cpp      SentMessage, Outbox and its rehearsals, capture()
//   captures.cpp    the captures that are active and what they rebound
//   decorator.cpp   @outbox on a function and on a coroutine function
//   connection.cpp  the stand-in smtplib: SMTP and SMTP_SSL open a Connection
//   module.cpp      the module's names and its body
#pragma once

#include "frame/frame.hpp"

#include <cstdint>
#include <initializer_list>
#include <vector>

namespace vantrel::testing {

extern ModuleFrame testing_module;
extern Name n_smtplib;

// The native types of the module: GC-tracked, made by the module only.
constexpr unsigned native_flags =
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION;

// Makes a native type once per process: a module that starts again after a
// failed import reuses it.
Ref native_type(ModuleFrame& frame, PyTypeObject*& type, PyType_Spec& spec,
                std::initializer_list<Method> methods);

// Raises smtplib's exception class of that name (the real smtplib, read at
// each use) made from these arguments.
template <class... Args> [[noreturn]] void raise_smtplib(const Name& error, const Args&... args) {
    Ref instance = call(getattr(testing_module.global(n_smtplib), error), args...);
    raise_exception(instance.get());
}

// __exit__(exc_type, exc_value, traceback), of an outbox and of a connection.
inline constexpr Param exit_params[] = {
    self_param,
    {"exc_type", nullptr, Rule::Any, Default::Required},
    {"exc_value", nullptr, Rule::Any, Default::Required},
    {"traceback", nullptr, Rule::Any, Default::Required},
};

// ---------------------------------------------------------------------------
// outbox.cpp

// One delivered message.
struct SentMessageObject {
    PyObject_HEAD
    PyObject* mail_from;
    PyObject* rcpt_tos;
    PyObject* message;
    PyObject* text;
    PyObject* host;
    PyObject* port;
    PyObject* mode;
    PyObject* username;
    static inline PyTypeObject* type; // made by the module body, kept for the process
};

// The delivered messages and the rehearsed failures.
struct OutboxObject {
    PyObject_HEAD
    PyObject* messages;               // list of SentMessage, in delivery order
    PyObject* refused_recipients;     // dict: envelope address -> (code, text)
    PyObject* refused_senders;        // dict: envelope address, None for all -> (code, text)
    PyObject* login_refusal;          // (code, text), or None
    Py_ssize_t disconnects;           // connection attempts still to refuse
    static inline PyTypeObject* type; // made by the module body, kept for the process
};

OutboxObject* outbox_of(PyObject* object, const char* method);

// The address as smtplib writes it into MAIL FROM or RCPT TO: "<address>",
// the address part of "Name <address>".
Ref quoted_address(PyObject* address);
// A quoted address without its angle brackets, as a server sees it.
Ref unquoted(Ref quoted);
// The refusal rehearsed for `key` in a dict of them, or an empty Ref.
Ref refusal_for(PyObject* refusals, PyObject* key);
bool code_is(PyObject* refusal, long code);

extern const Signature capture_signature;
// Makes SentMessage and Outbox; returns Outbox.
Ref make_outbox_types(ModuleFrame& frame);

// ---------------------------------------------------------------------------
// captures.cpp

// A capture that has begun and not ended: its outbox, its number, and what it
// found bound to `smtplib` in each target module (an empty Ref where the name
// was unbound).
struct Active {
    Ref outbox;
    std::uint64_t serial;
    std::vector<Ref> saved;
};

// Once at import: the modules a capture rebinds, and the stand-in module
// each capture copies to bind there.
void start_captures(Ref targets, Ref standin);
// Makes a capture active; returns its number.
std::uint64_t begin_capture(PyObject* outbox);
// Ends the innermost capture of this outbox, as leaving a with block does.
void end_capture(PyObject* outbox);
// Ends the capture of this number, wherever it is among the active ones.
void end_capture(std::uint64_t serial);
// The innermost active capture, which receives.
const Active& receiving_capture();
bool capture_active(std::uint64_t serial);

extern const Signature enter_signature;
extern const Signature exit_signature;

// ---------------------------------------------------------------------------
// decorator.cpp

extern const Signature call_signature;
void make_decorator_types(ModuleFrame& frame);

// ---------------------------------------------------------------------------
// connection.cpp

// Makes the Connection type and the stand-in smtplib module.
Ref make_smtplib_standin(ModuleFrame& frame);

} // namespace vantrel::testing
