// vantrel.testing, shared between its files: the module, the outbox and the
// messages it holds, and the active captures.
//
//   outbox.cpp      SentMessage, Outbox and its rehearsals, capture()
//   captures.cpp    the captures that are active and what they rebound
//   decorator.cpp   @outbox on a function and on a coroutine function
//   connection.cpp  the stand-in smtplib: SMTP and SMTP_SSL open a Connection
//   server.cpp      the stand-in SMTP server, protocol only (no Python)
//   transport.cpp   the server as a Python object, and the transport over it
//                   that a capture's _connect returns
//   module.cpp      the module's names and its body
#pragma once

#include "frame/frame.hpp"
#include "testing/server.hpp"

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
    PyObject* mechanism;
    static inline PyTypeObject* type; // made by the module body, kept for the process
};

// The delivered messages and the rehearsed failures.
struct OutboxObject {
    PyObject_HEAD
    PyObject* messages;               // list of SentMessage, in delivery order
    PyObject* refused_recipients;     // dict: envelope address -> (code, text)
    PyObject* refused_senders;        // dict: envelope address, None for all -> (code, text)
    PyObject* login_refusal;          // (code, text), or None
    PyObject* token_refusals;         // list of (code, text): each refuses one token sign-in
    Py_ssize_t disconnects;           // connection attempts still to refuse
    static inline PyTypeObject* type; // made by the module body, kept for the process
};

OutboxObject* outbox_of(PyObject* object, const char* method);

// A connection attempt to the innermost active capture: its outbox, with the
// capture's number in `serial`.  ConnectionRefusedError when a disconnection
// was rehearsed, RuntimeError when no capture is active.
Ref connect_to_capture(std::uint64_t& serial);

// What a SentMessage is made of; `parsed_from` (a str or bytes) is what its
// message is parsed from.
struct Recorded {
    PyObject* mail_from;
    PyObject* rcpt_tos;
    PyObject* text;
    PyObject* parsed_from;
    PyObject* host;
    PyObject* port;
    Mode mode;
    PyObject* username;
    PyObject* mechanism;
};
void record_message(PyObject* outbox, const Recorded& recorded);

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

// What a capture found in one of the names it rebinds: the module (empty
// where it left this one alone) and the value (empty where it was unbound).
struct Saved {
    Ref module;
    Ref value;
};

// A capture that has begun and not ended: its outbox, its number, and what it
// found, one for each of the names it rebinds.
struct Active {
    Ref outbox;
    std::uint64_t serial;
    std::vector<Saved> saved;
};

// Once at import: the stand-in module each capture copies to bind.
void start_captures(Ref standin);
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

// ---------------------------------------------------------------------------
// transport.cpp

// Makes _StandInServer and the transport type; returns _StandInServer.
Ref make_server_types(ModuleFrame& frame);
// A new _connect(host, port, timeout) for vantrel.session: each capture binds
// one of its own, so that what is bound changes whenever a capture begins or
// ends.
Ref new_connect_function();
// The same for vantrel.aio: _open(loop, protocol_factory, host, port,
// ssl_context, server_hostname) and _start_tls(loop, transport, protocol,
// ssl_context, server_hostname), over asyncio stand-in transports.
Ref new_aio_open_function();
Ref new_aio_start_tls_function();

} // namespace vantrel::testing
