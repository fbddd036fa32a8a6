// vantrel.session: Session sends many messages of one EasyMailer over one SMTP
// connection, opening a new one only when the server has closed the last,
// after a fork, or after a set number of messages.  It speaks SMTP through
// vantrel's own engine (src/smtp, by way of mail::Conversation) over a
// transport that the module-level `_connect` opens.
#include "frame/frame.hpp"
#include "mail/conversation.hpp"
#include "mail/params.hpp"
#include "mail/policy.hpp"
#include "mail/prepare.hpp"
#include "mail/sending.hpp"
#include "mail/settings.hpp"
#include "mail/signin.hpp"
#include "mail/tally.hpp"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <utility>

using namespace vantrel;
using namespace vantrel::mail;

namespace {

void module_body(ModuleFrame& frame, PyObject* module);

ModuleFrame session_module{"session", "vantrel.session", module_body};

Name n_EasyMailer{"EasyMailer"};
Name n_Signer{"Signer"};
Name n_smtplib{"smtplib"};
Name n_ssl{"ssl"};
Name n_socket{"socket"};
Name n_connect{"_connect"};
Name n_log{"_log"};
Name n_getLogger{"getLogger"};
Name n_create_default_context{"create_default_context"};
Name n_create_connection{"create_connection"};
Name n_wrap_socket{"wrap_socket"};
Name n_getfqdn{"getfqdn"};
Name n_gethostname{"gethostname"};
Name n_gethostbyname{"gethostbyname"};
Name n_isEnabledFor{"isEnabledFor"};
Name n_SMTPServerDisconnected{"SMTPServerDisconnected"};
Name n_send{"send"};
Name n_recv{"recv"};
Name n_pending{"pending"};
Name n_start_tls{"start_tls"};
Name n_close{"close"};
Name n_abandon{"abandon"};
Name n_sendall{"sendall"};
Name n_fileno{"fileno"};
Name n_detach{"detach"};
Name n_setblocking{"setblocking"};
Name n_settimeout{"settimeout"};
Name n_SSLWantReadError{"SSLWantReadError"};
KwNames kw_server_hostname{"server_hostname"};

// ---------------------------------------------------------------------------
// The transport: a TCP connection, with TLS once asked for.

struct TransportObject {
    PyObject_HEAD
    PyObject* sock;    // socket.socket, or ssl.SSLSocket after start_tls
    PyObject* timeout; // float or None, as the socket has it
    PyObject* early;   // bytes read ahead by pending(), or null
    bool at_end;       // pending() found the end of the stream
    bool tls;
    int fd;
    static inline PyTypeObject* type;
};

using TransportFields = Fields<TransportObject, &TransportObject::sock, &TransportObject::timeout,
                               &TransportObject::early>;

TransportObject* as_transport(PyObject* object, const char* method) {
    TransportObject* t = instance_of<TransportObject>(object, method);
    if (!t->sock) raise(PyExc_RuntimeError, "the transport is not connected");
    return t;
}

constexpr Param connect_params[] = {
    {"host", "str", Rule::Str, Default::Required},
    {"port", "int", Rule::Any, Default::Required},
    {"timeout", "Optional[float]", Rule::Any, Default::Required},
};

Ref session_connect(FunctionObject*, Args<connect_params> args) {
    Ref address = checked(PyTuple_Pack(2, args["host"], args["port"]));
    Ref sock =
        call_method(session_module.global(n_socket), n_create_connection, address, args["timeout"]);
    Ref fileno = call_method(sock, n_fileno);
    const int fd = PyLong_AsInt(fileno.get());
    if (fd == -1 && PyErr_Occurred()) raise_error();
    // Small writes go at once: the last short TLS record of a message would
    // otherwise wait for the server's delayed acknowledgement of the one
    // before, some 40 ms a message.
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    Ref transport = new_instance<TransportObject>();
    TransportObject* t = as<TransportObject>(transport.get());
    t->sock = sock.release();
    t->timeout = Py_NewRef(args["timeout"]);
    t->fd = fd;
    return transport;
}

const Signature connect_signature = define<session_connect>({
    .name = "_connect",
    .doc = "Open a TCP connection to host:port for a Session, with TCP_NODELAY and `timeout`\n"
           "(seconds, or None for no limit) on every later operation, and return its\n"
           "transport.  vantrel.testing binds another function here while it captures.\n",
    .returns = "object",
});

constexpr Param transport_send_params[] = {self_param,
                                           {"data", "bytes", Rule::Any, Default::Required}};

Ref Transport_send(FunctionObject*, Args<transport_send_params> args) {
    TransportObject* t = as_transport(args["self"], "send");
    call_method(t->sock, n_sendall, args["data"]);
    return none();
}

const Signature transport_send_signature = define<Transport_send>({
    .name = "send",
    .doc = "Write all of `data`.",
    .returns = "None",
});

constexpr Param transport_self[] = {self_param};

Ref Transport_recv(FunctionObject*, Args<transport_self> args) {
    TransportObject* t = as_transport(args["self"], "recv");
    if (t->early) return Ref::steal(std::exchange(t->early, nullptr));
    if (t->at_end) return checked(PyBytes_FromStringAndSize(nullptr, 0));
    Ref size = checked(PyLong_FromLong(65536));
    return call_method(t->sock, n_recv, size);
}

const Signature transport_recv_signature = define<Transport_recv>({
    .name = "recv",
    .doc = "What has arrived (at least one byte), or b\"\" once the server has closed.",
    .returns = "bytes",
});

// Whether recv() would return at once.  A readable TLS socket may hold a
// record without application data (a session ticket), so there a read that
// does not wait tells, and what it reads is kept for recv().
bool transport_pending(TransportObject* t) {
    if (t->early || t->at_end) return true;
    if (t->tls) {
        Ref buffered = call_method(t->sock, n_pending);
        if (truth(buffered)) return true;
    }
    pollfd probe{t->fd, POLLIN, 0};
    if (poll(&probe, 1, 0) <= 0) return false;
    if (!t->tls) return true;
    call_method(t->sock, n_setblocking, Py_False);
    Ref data;
    bool waiting = false;
    try {
        Ref size = checked(PyLong_FromLong(65536));
        data = call_method(t->sock, n_recv, size);
    } catch (const Error&) {
        Ref pending_error = Ref::steal(PyErr_GetRaisedException());
        Ref ssl = session_module.global(n_ssl);
        Ref want_read = optional_attr(ssl.get(), n_SSLWantReadError);
        if (!want_read || !PyErr_GivenExceptionMatches(pending_error.get(), want_read.get())) {
            call_method(t->sock, n_settimeout, t->timeout);
            reraise(std::move(pending_error));
        }
        waiting = true;
    }
    call_method(t->sock, n_settimeout, t->timeout);
    if (waiting) return false;
    if (PyBytes_Check(data.get()) && PyBytes_GET_SIZE(data.get()) == 0) {
        t->at_end = true;
    } else {
        Py_XSETREF(t->early, data.release());
    }
    return true;
}

Ref Transport_pending(FunctionObject*, Args<transport_self> args) {
    return checked(PyBool_FromLong(transport_pending(as_transport(args["self"], "pending"))));
}

const Signature transport_pending_signature = define<Transport_pending>({
    .name = "pending",
    .doc = "Whether recv() would return at once (data, or the end of the stream).",
    .returns = "bool",
});

constexpr Param transport_start_tls_params[] = {
    self_param,
    {"context", "ssl.SSLContext", Rule::Any, Default::Required},
    {"server_hostname", "str", Rule::Any, Default::Required},
};

Ref Transport_start_tls(FunctionObject*, Args<transport_start_tls_params> args) {
    TransportObject* t = as_transport(args["self"], "start_tls");
    // The plain socket is detached into the TLS one, which closes it when
    // the handshake fails.
    Ref wrapped = call_method_kw(args["context"], n_wrap_socket, kw_server_hostname, t->sock,
                                 args["server_hostname"]);
    Py_XSETREF(t->sock, wrapped.release());
    t->tls = true;
    return none();
}

const Signature transport_start_tls_signature = define<Transport_start_tls>({
    .name = "start_tls",
    .doc = "Do the TLS handshake over this connection, checking the server's name.",
    .returns = "None",
});

Ref Transport_close(FunctionObject*, Args<transport_self> args) {
    TransportObject* t = instance_of<TransportObject>(args["self"], "close");
    if (t->sock) call_method(t->sock, n_close);
    return none();
}

const Signature transport_close_signature = define<Transport_close>({
    .name = "close",
    .doc = "Close the connection.",
    .returns = "None",
});

Ref Transport_abandon(FunctionObject*, Args<transport_self> args) {
    TransportObject* t = instance_of<TransportObject>(args["self"], "abandon");
    if (!t->sock) return none();
    // Only this process's descriptor goes, with nothing written to it (no
    // TLS close_notify): the process that opened it carries on with it.
    Ref fd = call_method(t->sock, n_detach);
    const int number = PyLong_AsInt(fd.get());
    if (number == -1 && PyErr_Occurred()) raise_error();
    if (number >= 0) ::close(number);
    return none();
}

const Signature transport_abandon_signature = define<Transport_abandon>({
    .name = "abandon",
    .doc = "Let go of the descriptor without writing anything (in a forked child).",
    .returns = "None",
});

PyType_Slot transport_slots[] = {
    type_slot(Py_tp_doc, "A Session's connection to its server (see _connect)."),
    type_slot(Py_tp_dealloc, TransportFields::dealloc),
    type_slot(Py_tp_traverse, TransportFields::traverse),
    type_slot(Py_tp_clear, TransportFields::clear),
    {},
};

PyType_Spec transport_spec = {
    .name = "vantrel.session._Transport",
    .basicsize = sizeof(TransportObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = transport_slots,
};

// ---------------------------------------------------------------------------
// The session's state.

struct SessionObject {
    PyObject_HEAD
    PyObject* mailer;         // the EasyMailer whose settings and steps are used
    PyObject* transport;      // the open connection, or null
    PyObject* connected_by;   // the `_connect` that opened it
    PyObject* timeout;        // float or None
    PyObject* auth;           // XOAuth2 or OAuthBearer, or null for the password
    PyObject* tls_context;    // the connection's TLS context, while STARTTLS may need it
    PyObject* tls_host;       // the server name that its certificate must carry
    PyObject* message_id;     // False, True or a domain: the Message-ID it adds
    PyObject* dkim;           // None or the vantrel.dkim.Signer that signs its messages
    Conversation* exchange;   // the SMTP conversation over `transport`
    pid_t pid;                // the process that opened the connection
    Py_ssize_t limit;         // messages per connection, 0 for no limit
    Py_ssize_t on_connection; // messages accepted on the current connection
    mail::Tally tally;        // messages accepted, connections opened, the last reply
    bool pipelining;
    // Serialises connecting, sending and closing.  PyMutex_Lock lets go of
    // the interpreter while it waits, so a thread waiting for the session
    // holds up no other thread.
    PyMutex mutex;
    unsigned long holder; // the thread that holds the mutex
    pid_t holder_pid;     // and its process
    // The class, made by the module body and kept for the life of the process.
    static inline PyTypeObject* type;
};

SessionObject* as_session(PyObject* object, const char* method) {
    return instance_of<SessionObject>(object, method);
}

Ref mailer_of(const SessionObject* s) {
    if (!s->mailer) raise(PyExc_RuntimeError, "Session.__init__() has not been called");
    return Ref::borrow(s->mailer);
}

// What the session adds to its messages; held by the caller for the call, as
// another thread may set them anew meanwhile.
struct HeldAdditions {
    Ref message_id;
    Ref dkim;
    Additions additions() const noexcept { return {message_id.get(), dkim.get()}; }
};

HeldAdditions additions_of(const SessionObject* s) {
    return {Ref::borrow(s->message_id ? s->message_id : Py_False),
            Ref::borrow(s->dkim ? s->dkim : Py_None)};
}

// Holds the session's mutex for a scope.
class Hold {
public:
    explicit Hold(SessionObject* s) : s_(s) {
        const pid_t pid = getpid();
        const unsigned long thread = PyThread_get_thread_ident();
        if (PyMutex_IsLocked(&s->mutex)) {
            if (s->holder_pid != pid) {
                // Held at fork time by a thread of the parent process: no
                // thread of this process will ever let it go.
                s->mutex = PyMutex{};
            } else if (s->holder == thread) {
                // A callback of this thread's own send (a rebound _connect, a
                // property of the mailer) came back to the session: waiting
                // would never end.
                raise(PyExc_RuntimeError,
                      "Session used again by the thread that is already using it");
            }
        }
        PyMutex_Lock(&s->mutex);
        s->holder = thread;
        s->holder_pid = pid;
    }
    ~Hold() {
        s_->holder = 0;
        PyMutex_Unlock(&s_->mutex);
    }
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;

private:
    SessionObject* s_;
};

// Runs `step`; an Exception it raises is dropped.  Other BaseExceptions, such
// as KeyboardInterrupt, still propagate.
template <class Step> void ignoring_errors(Step&& step) {
    try {
        step();
    } catch (const Error&) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
        PyErr_Clear();
    }
}

// Takes the connection out of the session, which then has none.
Ref take_transport(SessionObject* s) {
    delete std::exchange(s->exchange, nullptr);
    Py_CLEAR(s->connected_by);
    Py_CLEAR(s->tls_context);
    Py_CLEAR(s->tls_host);
    s->on_connection = 0;
    return Ref::steal(std::exchange(s->transport, nullptr));
}

// Drops a connection that is no longer usable (the server closed it, or a
// failure left the exchange in an unknown state) without a QUIT.
void discard(SessionObject* s) {
    Ref transport = take_transport(s);
    if (transport) ignoring_errors([&] { call_method(transport, n_close); });
}

// In a forked child, lets go of the connection that the parent opened: only
// this process's descriptor is closed, with nothing written to it, so that
// the parent carries on with it undisturbed.
void leave_inherited(SessionObject* s) {
    if (!s->transport || s->pid == getpid()) return;
    Ref transport = take_transport(s);
    ignoring_errors([&] { call_method(transport, n_abandon); });
}

// ---------------------------------------------------------------------------
// The driver: the conversation's bytes over the transport.

// A failure of the transport, as the caller sees it: a timeout stays a
// TimeoutError; any other OSError of a read or write is smtplib's
// SMTPServerDisconnected, as smtplib reports a connection that failed under
// it, with the OSError as its cause.
Ref transport_error(Ref error) {
    if (PyErr_GivenExceptionMatches(error.get(), PyExc_TimeoutError) ||
        !PyErr_GivenExceptionMatches(error.get(), PyExc_OSError)) {
        return error;
    }
    Ref smtplib = session_module.global(n_smtplib);
    Ref disconnected = optional_attr(smtplib.get(), n_SMTPServerDisconnected);
    if (!disconnected || PyErr_GivenExceptionMatches(error.get(), disconnected.get())) {
        return error;
    }
    Ref text = checked(PyUnicode_FromFormat("Connection unexpectedly closed: %S", error.get()));
    Ref replaced = call(disconnected, text);
    if (!PyExceptionInstance_Check(replaced.get())) return error;
    PyException_SetCause(replaced.get(), error.release());
    return replaced;
}

// Runs one step of I/O; when it fails, the conversation ends with its error.
// An exception that is no Exception (KeyboardInterrupt) ends it too and
// propagates, with the connection dropped.
template <class Step> bool io(SessionObject* s, Step&& step) {
    try {
        step();
        return true;
    } catch (const Error&) {
        Ref error = Ref::steal(PyErr_GetRaisedException());
        if (!PyErr_GivenExceptionMatches(error.get(), PyExc_Exception)) {
            s->exchange->fail(Ref());
            discard(s);
            reraise(std::move(error));
        }
        s->exchange->fail(transport_error(std::move(error)));
        return false;
    }
}

// Reads once (waiting up to the timeout) and hands it to the conversation.
void read_once(SessionObject* s) {
    io(s, [&] {
        Ref data = call_method(s->transport, n_recv);
        if (!PyBytes_Check(data.get())) {
            raise_format(PyExc_TypeError, "transport.recv() must return bytes, not %.200s",
                         Py_TYPE(data.get())->tp_name);
        }
        if (PyBytes_GET_SIZE(data.get()) == 0) {
            s->exchange->fail(Ref());
        } else {
            s->exchange->receive(bytes_view(data.get()));
        }
    });
}

// Whether the transport has something to read now; a failure ends the
// conversation.
bool has_input(SessionObject* s) {
    bool pending = false;
    io(s, [&] { pending = truth(call_method(s->transport, n_pending)); });
    return pending && !s->exchange->closed();
}

// Writes what the conversation has to write.  Replies that arrive meanwhile
// are read between the pieces, so that a server answering while a long text
// goes out never waits for the client to read.
void flush(SessionObject* s) {
    Conversation& exchange = *s->exchange;
    for (;;) {
        if (exchange.closed()) return;
        const std::string_view out = exchange.output();
        if (out.empty()) return;
        if (has_input(s)) {
            read_once(s);
            continue;
        }
        if (exchange.closed()) return;
        Ref data =
            checked(PyBytes_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size())));
        const bool written = io(s, [&] { call_method(s->transport, n_send, data); });
        // What a failed write took is not known: all of it may have gone, so
        // a message begun in it counts as under way.
        if (!written) return;
        exchange.consume(out.size());
    }
}

void start_tls(SessionObject* s) {
    call_method(s->transport, n_start_tls, s->tls_context, s->tls_host);
}

// Drives the conversation until `done()`, the end of the connection, or a
// point where nothing is awaited.
template <class Done> void drive(SessionObject* s, Done&& done) {
    Conversation& exchange = *s->exchange;
    for (;;) {
        flush(s);
        if (done() || exchange.closed()) return;
        if (exchange.tls_requested()) {
            // For STARTTLS, after its 220.
            if (!io(s, [&] { start_tls(s); })) return;
            exchange.tls_established();
            continue;
        }
        if (!exchange.busy()) return;
        read_once(s);
    }
}

// Ends an SMTP session politely: QUIT, its reply, then close.  The server may
// be gone already, so a failure before the close is of no interest.
void quit_and_close(SessionObject* s, bool quiet_close) {
    if (s->exchange && !s->exchange->closed()) {
        ignoring_errors([&] {
            s->exchange->quit();
            drive(s, [] { return false; });
        });
    }
    Ref transport = take_transport(s);
    if (!transport) return;
    if (quiet_close) {
        ignoring_errors([&] { call_method(transport, n_close); });
    } else {
        call_method(transport, n_close);
    }
}

// ---------------------------------------------------------------------------
// Connecting.

// The name given in EHLO, as smtplib chooses it: the host's fully qualified
// name, or its address in brackets when that name has no dot.  Found once
// for the process.
const std::string& local_name() {
    static std::string name;
    if (!name.empty()) return name;
    Ref socket = session_module.global(n_socket);
    Ref fqdn = call_method(socket, n_getfqdn);
    Py_ssize_t size = 0;
    const char* text =
        PyUnicode_Check(fqdn.get()) ? PyUnicode_AsUTF8AndSize(fqdn.get(), &size) : nullptr;
    if (!text) PyErr_Clear();
    std::string found = text ? std::string(text, static_cast<std::size_t>(size)) : std::string();
    if (found.find('.') == std::string::npos) {
        std::string address = "127.0.0.1";
        ignoring_errors([&] {
            Ref host = call_method(socket, n_gethostname);
            Ref number = call_method(socket, n_gethostbyname, host);
            const char* digits = PyUnicode_AsUTF8(number.get());
            if (!digits) raise_error();
            address = digits;
        });
        found = "[" + address + "]";
    }
    name = std::move(found);
    return name;
}

constexpr int debug_level = 10; // logging.DEBUG

// Opens a connection as the mailer's settings say, through the `_connect`
// bound now, and logs in.  When the opening fails, the new connection is
// ended (with QUIT when the server is still listening) and the error
// propagates.  A token the server refused may have been revoked before its
// time: the source forgets it and one more connection signs in with a new
// one (`retried`).
void connect(SessionObject* s, PyObject* mailer, bool retried = false) {
    Ref connect_through = session_module.global(n_connect);
    Settings settings = Settings::read(mailer);
    // Made for every connection, as EasyMailer._do_send makes it, also for
    // one that will not use it.
    Ref context = call_method(session_module.global(n_ssl), n_create_default_context);
    // A token is had for every login, before connecting: one that expired
    // since the last connection is renewed, and a source that fails leaves
    // no connection behind.
    Ref token = s->auth ? fetch_token(s->auth) : Ref();
    std::vector<std::unique_ptr<smtp::Mechanism>> mechanisms =
        login_mechanisms(settings, s->auth, token.get());
    Ref log = session_module.global(n_log);
    Ref level = checked(PyLong_FromLong(debug_level));
    const bool tracing = truth(call_method(log, n_isEnabledFor, level));
    Ref label = checked(PyUnicode_FromFormat("%S:%S", settings.host.get(), settings.port.get()));

    Ref transport = call(connect_through, settings.host, settings.port, s->timeout);
    ++s->tally.connections;
    smtp::Options options;
    options.pipelining = s->pipelining;
    options.chunking = s->pipelining;
    options.trace = tracing;
    s->exchange = new Conversation(session_module, options, tracing ? log : Ref(), label);
    s->transport = transport.release();
    s->connected_by = connect_through.release();
    s->tls_context = context.release();
    s->tls_host = Py_NewRef(settings.host.get());
    s->pid = getpid();
    s->on_connection = 0;
    try {
        if (settings.security == Security::ImplicitTls) start_tls(s);
        s->exchange->open(local_name(), settings.security == Security::StartTls,
                          std::move(mechanisms));
    } catch (const Error&) {
        Ref error = Ref::steal(PyErr_GetRaisedException());
        discard(s);
        reraise(std::move(error));
    }
    Conversation& exchange = *s->exchange;
    drive(s, [&] { return exchange.ready() || exchange.setup_error(); });
    if (exchange.ready()) return;
    Ref error = exchange.setup_error();
    if (!error) {
        exchange.fail(Ref());
        error = exchange.setup_error();
    }
    const bool token_refused = s->auth && exchange.login_refused();
    quit_and_close(s, true);
    if (token_refused && !retried) {
        invalidate_token(s->auth);
        connect(s, mailer, true);
        return;
    }
    reraise(std::move(error));
}

// Whether `_connect` is still the function the connection was opened
// through.  A capture binds one of its own while it is active, so anything
// else means that a capture began or ended since: the connection belongs to
// the state before (a real server, or an outbox that no longer receives).
bool connected_through_current(const SessionObject* s) {
    Ref now;
    ignoring_errors([&] { now = session_module.global(n_connect); });
    return now.get() == s->connected_by;
}

// Whether a connection that was open before may still carry a message.  An
// idle SMTP server sends nothing unless it is closing the connection (a 421,
// or the end of the stream); what it did send is read, so the conversation
// knows.
bool still_open(SessionObject* s) {
    Conversation& exchange = *s->exchange;
    while (!exchange.closed() && has_input(s))
        read_once(s);
    return !exchange.closed();
}

// Makes sure the session has a connection for the next message; true when it
// opened one for it.
bool ready_connection(SessionObject* s, PyObject* mailer) {
    leave_inherited(s);
    if (s->transport && s->limit > 0 && s->on_connection >= s->limit) quit_and_close(s, true);
    if (s->transport && !connected_through_current(s)) quit_and_close(s, true);
    if (s->transport && !still_open(s)) discard(s);
    if (s->transport) return false;
    connect(s, mailer);
    return true;
}

// ---------------------------------------------------------------------------
// Delivering.

void record_sent(SessionObject* s, const smtp::Reply& reply) {
    ++s->on_connection;
    s->tally.record(reply.code, reply.text);
}

// Sends one message and waits for its outcome, which the failure policy
// reads: a message that did not reach the server goes once more over a new
// connection, unless that connection was opened for it; every other failure
// is raised, and the connection kept while the server is still talking.
void deliver(SessionObject* s, PyObject* mailer, Prepared message) {
    Hold hold(s);
    message.may_retry = !ready_connection(s, mailer);
    for (;;) {
        Conversation& exchange = *s->exchange;
        exchange.submit(std::move(message));
        drive(s, [&] { return exchange.has_outcome(); });
        if (!exchange.has_outcome()) exchange.fail(Ref());
        Outcome outcome = *exchange.take_outcome();
        if (exchange.closed()) discard(s);
        switch (outcome.fate) {
        case Fate::Sent:
            record_sent(s, outcome.reply);
            if (outcome.error) raise_exception(outcome.error.get());
            return;
        case Fate::Retry:
            if (!outcome.message.may_retry) break;
            discard(s);
            try {
                connect(s, mailer);
            } catch (const Error&) {
                Ref again = Ref::steal(PyErr_GetRaisedException());
                PyException_SetContext(again.get(), outcome.error.release());
                reraise(std::move(again));
            }
            message = std::move(outcome.message);
            message.may_retry = false;
            continue;
        case Fate::Unknown:
            discard(s);
            break;
        case Fate::Deferred:
        case Fate::Permanent:
            break;
        }
        raise_exception(outcome.error.get());
    }
}

// Ends the session's connection: QUIT and close in the process that opened
// it, only a release of the inherited descriptor in a forked child.
void end_session(SessionObject* s) {
    Hold hold(s);
    leave_inherited(s);
    if (s->transport) quit_and_close(s, false);
}

// ---------------------------------------------------------------------------
// class Session

constexpr Param init_params[] = {
    self_param,
    {"mailer", "EasyMailer", Rule::Any, Default::Required},
    {"max_per_connection", "Optional[int]", Rule::Any, Default::None},
    {"timeout", "Optional[float]", Rule::Any, Default::Float, 0, nullptr, 60.0},
    {"pipelining", "bool", Rule::Truth, Default::True},
    {"auth", "Optional[Union[XOAuth2, OAuthBearer]]", Rule::Any, Default::None},
    {"message_id", "Union[bool, str]", Rule::Any, Default::False},
    {"dkim", "Optional[Signer]", Rule::Any, Default::None},
};

// A day and more would be a limit only in name; a year is where the socket
// layer is still far from its own bounds.
constexpr double longest_timeout = 365.0 * 86400.0;

// The timeout as the socket layer takes it: a float, or None for no limit.
Ref checked_timeout(PyObject* timeout) {
    if (timeout == Py_None) return Ref::borrow(timeout);
    if (!PyFloat_CheckExact(timeout) && !PyLong_CheckExact(timeout)) {
        raise_incorrect_type("timeout", "float", &PyFloat_Type, timeout);
    }
    const double seconds = PyFloat_AsDouble(timeout);
    if (seconds == -1.0 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) raise_error();
        PyErr_Clear();
        raise(PyExc_ValueError, "timeout must be a positive number of seconds (at most a year), "
                                "or None to wait for ever.");
    }
    if (!(seconds > 0.0) || !std::isfinite(seconds) || seconds > longest_timeout) {
        raise(PyExc_ValueError, "timeout must be a positive number of seconds (at most a year), "
                                "or None to wait for ever.");
    }
    return checked(PyFloat_FromDouble(seconds));
}

Ref Session_init(FunctionObject*, Args<init_params> args) {
    SessionObject* s = as_session(args["self"], "__init__");
    PyObject* mailer = args["mailer"];
    PyObject* max_per_connection = args["max_per_connection"];
    Ref easy_mailer = session_module.global(n_EasyMailer);
    if (!checked(PyObject_IsInstance(mailer, easy_mailer.get()))) {
        raise_incorrect_type("mailer", "EasyMailer", nullptr, mailer);
    }
    Py_ssize_t limit = 0;
    if (max_per_connection != Py_None) {
        if (!PyLong_CheckExact(max_per_connection)) {
            raise_incorrect_type("max_per_connection", "int", &PyLong_Type, max_per_connection);
        }
        int overflow = 0;
        const long long value = PyLong_AsLongLongAndOverflow(max_per_connection, &overflow);
        if (value == -1 && PyErr_Occurred()) raise_error();
        if (overflow < 0 || (overflow == 0 && value < 1)) {
            raise(PyExc_ValueError, "max_per_connection must be at least 1, or None for no limit.");
        }
        // A limit beyond any count the session can reach is no limit.
        limit = overflow > 0 || value > PY_SSIZE_T_MAX ? PY_SSIZE_T_MAX
                                                       : static_cast<Py_ssize_t>(value);
    }
    Ref timeout = checked_timeout(args["timeout"]);
    Ref auth = checked_auth(session_module, args["auth"]);
    check_additions(args["message_id"], args["dkim"], session_module.global(n_Signer).get());
    Hold hold(s);
    if (s->transport && s->mailer != mailer) {
        // Another mailer's settings: its connection is of no use any more.
        leave_inherited(s);
        if (s->transport) quit_and_close(s, true);
    }
    Py_XSETREF(s->mailer, Py_NewRef(mailer));
    Py_XSETREF(s->timeout, timeout.release());
    s->limit = limit;
    s->pipelining = args["pipelining"] == Py_True;
    Py_XSETREF(s->auth, auth.release());
    Py_XSETREF(s->message_id, Py_NewRef(args["message_id"]));
    Py_XSETREF(s->dkim, Py_NewRef(args["dkim"]));
    return none();
}

const Signature init_signature = define<Session_init>({
    .name = "__init__",
    .doc = "Use the settings and message steps of `mailer` (an EasyMailer).\n"
           "\n"
           "max_per_connection: when given (at least 1), end the connection with QUIT\n"
           "and open a new one after that many messages, for servers that limit the\n"
           "messages of one connection.  None (the default) sets no limit.\n"
           "timeout: the seconds any one network operation may take (connecting, the\n"
           "TLS handshake, each read and write); None waits for ever.\n"
           "pipelining: send commands in groups (RFC 2920) and texts in BDAT chunks\n"
           "(RFC 3030) when the server offers them; False keeps to one command at a\n"
           "time, for a server that advertises what it does not do.\n"
           "auth: None logs in with the mailer's username and password; a\n"
           "vantrel.auth.XOAuth2 or OAuthBearer signs in with an OAuth2 token from its\n"
           "source, fetched for every login.  A token the server refuses is fetched\n"
           "anew once; a second refusal raises SMTPAuthenticationError.\n"
           "message_id: True adds a Message-ID (of the envelope sender's domain) to\n"
           "every message that has none; a str gives the domain.\n"
           "dkim: a vantrel.dkim.Signer that signs every message as it goes out.\n",
    .returns = "None",
});

// session_send_params, in src/mail/params.hpp: EasyMailer.send's, then
// headers and unsubscribe.
Ref Session_send(FunctionObject*, Args<session_send_params> args) {
    SessionObject* s = as_session(args["self"], "send");
    Ref mailer = mailer_of(s);
    // The message is made (and signed) before the session is taken, so that
    // threads sharing it build their messages side by side.
    HeldAdditions held = additions_of(s);
    deliver(s, mailer.get(), prepare_send(mailer.get(), args, held.additions()));
    return none();
}

const Signature send_signature = define<Session_send>({
    .name = "send",
    .doc =
        "Send one message over the session's connection.\n"
        "\n"
        "The arguments are those of EasyMailer.send, and so is the message:\n"
        "    to: one address or a list of addresses\n"
        "    subject: the subject\n"
        "    body: the plain-text body\n"
        "    html: the HTML body; with body as well, both go as alternatives\n"
        "    cc: carbon-copy addresses\n"
        "    bcc: blind-copy addresses (in the envelope only)\n"
        "    sender: the sender address, instead of the mailer's default sender\n"
        "    sender_name: the sender's display name\n"
        "    attachments: a list of file paths (str) and dicts\n"
        "        {\"filename\": \"name.png\", \"data\": bytes, \"content_type\": \"image/png\"}\n"
        "        (content_type is optional and guessed from the file name)\n"
        "    reply_to: the Reply-To address\n"
        "    headers: a dict of more header fields, {\"X-Campaign\": \"spring\"}; none\n"
        "        that the message sets already, no Bcc, no line breaks in values\n"
        "    unsubscribe: an https:// or mailto: URI, or a list of them, for\n"
        "        List-Unsubscribe (with one-click List-Unsubscribe-Post for https)\n"
        "\n"
        "It returns once the server has accepted the message.  A connection that the\n"
        "server has closed since the last message is opened again first.  If the\n"
        "server refuses some recipients, SMTPRecipientsRefused names just those (the\n"
        "others have the message); the session stays usable.\n",
    .returns = "None",
});

// session_send_template_params, in src/mail/params.hpp: those of
// EasyMailer.send_template, then headers and unsubscribe.
Ref Session_send_template(FunctionObject*, Args<session_send_template_params> args) {
    SessionObject* s = as_session(args["self"], "send_template");
    Ref mailer = mailer_of(s);
    // Rendered with the mailer's engine, sent through this session's send.
    send_template(session_module, mailer.get(), args["self"], args);
    return none();
}

const Signature send_template_signature = define<Session_send_template>({
    .name = "send_template",
    .doc = "Send one message rendered from templates over the session's connection.\n"
           "\n"
           "The arguments are those of EasyMailer.send_template: `template_name`.html\n"
           "and `template_name`.txt become the HTML and text bodies and `subject` is\n"
           "rendered as a template string, all with `context` (occurred_at added when\n"
           "missing), through the mailer's template engine.  The message then goes\n"
           "out as Session.send sends it, with `headers` and `unsubscribe`.\n",
    .returns = "None",
});

// send_message(self, message, sender=None, recipients=None)
constexpr Param send_message_params[] = {
    self_param,
    {"message", "Union[Message, bytes]", Rule::Any, Default::Required},
    {"sender", "Optional[str]", Rule::OptStr, Default::None},
    {"recipients", "Optional[Union[str, List[str]]]", Rule::Any, Default::None},
};

// The recipients of send_message: one address, or a list or tuple of them.
Ref recipient_list(PyObject* recipients) {
    if (PyUnicode_Check(recipients)) {
        Ref list = checked(PyList_New(0));
        checked(PyList_Append(list.get(), recipients));
        return list;
    }
    if (!PyList_Check(recipients) && !PyTuple_Check(recipients)) {
        raise_incorrect_type("recipients", "list", nullptr, recipients);
    }
    Ref list = checked(PySequence_List(recipients));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
        if (!PyUnicode_Check(PyList_GET_ITEM(list.get(), i))) {
            raise_incorrect_type("recipients", "list of str", nullptr,
                                 PyList_GET_ITEM(list.get(), i));
        }
    }
    return list;
}

Name n_email_parser{"email.parser"};
Name n_Message{"Message"};
Name n_BytesHeaderParser{"BytesHeaderParser"};
Name n_parsebytes{"parsebytes"};
Name n_copy{"copy"};
Name n_get{"get"};
Text t_Bcc{"Bcc"};
Text t_Resent_Bcc{"Resent-Bcc"};

// A copy of the message without its blind-copy headers, as smtplib's
// send_message sends it: the message itself stays as it is.
Ref without_bcc(PyObject* msg) {
    Ref bcc = call_method(msg, n_get, t_Bcc.get());
    Ref resent_bcc = call_method(msg, n_get, t_Resent_Bcc.get());
    if (bcc.get() == Py_None && resent_bcc.get() == Py_None) return Ref::borrow(msg);
    Ref copy = call(checked(PyImport_ImportModuleAttr(n_copy.get(), n_copy.get())), msg);
    checked(PyObject_DelItem(copy.get(), t_Bcc.get()));
    checked(PyObject_DelItem(copy.get(), t_Resent_Bcc.get()));
    return copy;
}

Ref Session_send_message(FunctionObject*, Args<send_message_params> args) {
    SessionObject* s = as_session(args["self"], "send_message");
    Ref mailer = mailer_of(s);
    PyObject* message = args["message"];
    Ref sender = args["sender"] == Py_None ? Ref() : Ref::borrow(args["sender"]);
    Ref recipients = args["recipients"] == Py_None ? Ref() : recipient_list(args["recipients"]);
    Ref text;
    if (PyBytes_Check(message)) {
        if (!sender || !recipients) {
            Ref parser = call(checked(
                PyImport_ImportModuleAttr(n_email_parser.get(), n_BytesHeaderParser.get())));
            Ref headers = call_method(parser, n_parsebytes, message);
            envelope_from_headers(headers.get(), sender, recipients);
        }
        text = Ref::borrow(message);
    } else {
        Ref message_class = session_module.global(n_Message);
        if (!checked(PyObject_IsInstance(message, message_class.get()))) {
            raise_incorrect_type("message", "Message or bytes", nullptr, message);
        }
        envelope_from_headers(message, sender, recipients);
        text = message_text(without_bcc(message).get());
    }
    HeldAdditions held = additions_of(s);
    deliver(
        s, mailer.get(),
        prepare_built(std::move(text), std::move(sender), std::move(recipients), held.additions()));
    return none();
}

const Signature send_message_signature = define<Session_send_message>({
    .name = "send_message",
    .doc = "Send a message that is already built, over the session's connection.\n"
           "\n"
           "message: an email.message.Message, serialised here (without its Bcc and\n"
           "Resent-Bcc headers, as smtplib's send_message sends it), or bytes, sent\n"
           "exactly as given (line endings become CRLF on the wire).\n"
           "sender: the envelope sender; by default the address of the message's\n"
           "Sender header, or of its From header.\n"
           "recipients: an address or a list of them; by default every address of\n"
           "its To, Cc and Bcc headers (the Resent- ones when the message has a\n"
           "Resent- block).\n"
           "\n"
           "The session's Message-ID (when the message has none) and signature are\n"
           "added to what goes out; the message object itself is left as it is.\n"
           "Delivery, reconnecting and errors are those of Session.send.\n",
    .returns = "None",
});

// send_many: each message is bound by send's own parameter table, so its
// arguments are checked, defaulted and refused exactly as send's.  The
// binding function puts the message it made where the caller points.
thread_local Prepared* preparing = nullptr;

Ref Session_prepare(FunctionObject*, Args<session_send_params> args) {
    Prepared* out = std::exchange(preparing, nullptr);
    if (!out) raise(PyExc_RuntimeError, "not called by Session.send_many");
    SessionObject* s = as_session(args["self"], "send");
    Ref mailer = mailer_of(s);
    HeldAdditions held = additions_of(s);
    *out = prepare_send(mailer.get(), args, held.additions());
    return none();
}

const Signature prepare_signature = define<Session_prepare>({
    .name = "send",
    .doc = "Session.send's binding of one message of send_many.",
    .returns = "None",
});

PyObject* prepare_function; // made by the module body, kept for the process

// One message of send_many, made ready as send makes it.
Prepared prepare_item(PyObject* session, PyObject* item) {
    if (!PyDict_Check(item)) {
        raise_format(PyExc_TypeError,
                     "send_many() takes dicts of send()'s keyword arguments, not %.200s",
                     Py_TYPE(item)->tp_name);
    }
    Prepared prepared;
    Prepared* outer = std::exchange(preparing, &prepared);
    struct Restore {
        Prepared* outer;
        ~Restore() { preparing = outer; }
    } restore{outer};
    Ref positional = checked(PyTuple_Pack(1, session));
    checked(PyObject_Call(prepare_function, positional.get(), item));
    return prepared;
}

// How many messages send_many keeps under way at once: the one whose text
// is going out, the next one, whose commands go with that text, and one
// built while the server answers.
constexpr std::size_t send_many_window = 3;

// Whether an exception may go into send_many's list (an Exception), or
// must propagate (KeyboardInterrupt and the like).
Ref caught_exception() {
    Ref error = Ref::steal(PyErr_GetRaisedException());
    if (!PyErr_GivenExceptionMatches(error.get(), PyExc_Exception)) reraise(std::move(error));
    return error;
}

constexpr Param send_many_params[] = {
    self_param,
    {"messages", "Iterable[Dict[str, Any]]", Rule::Any, Default::Required},
};

Ref Session_send_many(FunctionObject*, Args<send_many_params> args) {
    PyObject* session = args["self"];
    SessionObject* s = as_session(session, "send_many");
    Ref mailer = mailer_of(s);
    Ref items = checked(PyObject_GetIter(args["messages"]));
    Ref results = checked(PyList_New(0));
    auto set_result = [&](std::size_t index, PyObject* value) {
        checked(PyList_SetItem(results.get(), static_cast<Py_ssize_t>(index), Py_NewRef(value)));
    };
    Hold hold(s);
    std::deque<Prepared> again; // to go once more over a new connection
    Ref iteration_error;        // raised by the iterable: raised once the rest is settled
    bool exhausted = false;
    std::size_t in_flight = 0;
    // Messages given to the current connection, by earlier sends too.
    Py_ssize_t on_this_connection = s->on_connection;

    // The next message to go, from `again` first; false when there is none now.
    auto next_message = [&](Prepared& out) -> bool {
        if (!again.empty()) {
            out = std::move(again.front());
            again.pop_front();
            return true;
        }
        while (!exhausted) {
            Ref item = Ref::steal(PyIter_Next(items.get()));
            if (!item) {
                exhausted = true;
                if (PyErr_Occurred()) iteration_error = caught_exception();
                return false;
            }
            const std::size_t index = static_cast<std::size_t>(PyList_GET_SIZE(results.get()));
            checked(PyList_Append(results.get(), Py_None));
            try {
                out = prepare_item(session, item.get());
                out.index = index;
                return true;
            } catch (const Error&) {
                set_result(index, caught_exception().get());
            }
        }
        return false;
    };

    bool connection_failed = false; // under an earlier message of this connection

    // Files what became of the messages the conversation has settled.
    auto file_outcomes = [&] {
        Conversation& exchange = *s->exchange;
        while (std::optional<Outcome> outcome = exchange.take_outcome()) {
            --in_flight;
            if (outcome->fate == Fate::Retry && outcome->untouched && connection_failed) {
                // It never went out: the connection ended under the message
                // before it, so its own second chance is not spent.
                again.push_back(std::move(outcome->message));
                continue;
            }
            connection_failed =
                connection_failed || outcome->fate == Fate::Retry || outcome->fate == Fate::Unknown;
            switch (outcome->fate) {
            case Fate::Sent:
                record_sent(s, outcome->reply);
                if (outcome->error) set_result(outcome->message.index, outcome->error.get());
                break;
            case Fate::Retry:
                if (outcome->message.may_retry) {
                    outcome->message.may_retry = false;
                    again.push_back(std::move(outcome->message));
                    break;
                }
                set_result(outcome->message.index, outcome->error.get());
                break;
            default:
                set_result(outcome->message.index, outcome->error.get());
                break;
            }
        }
        if (exchange.closed()) discard(s);
    };

    // Builds and submits the next message when the window has room; false
    // when there is nothing to do now.
    auto submit_next = [&]() -> bool {
        if (in_flight >= send_many_window) return false;
        const bool at_limit = s->transport && s->limit > 0 && on_this_connection >= s->limit;
        if (at_limit && in_flight > 0) return false; // the connection ends after these
        Prepared message;
        if (!next_message(message)) return false;
        if (in_flight == 0) {
            // Between messages, as send does: a new connection when the
            // server closed the last, the limit was reached or a capture
            // began or ended.
            bool opened = false;
            try {
                if (at_limit) quit_and_close(s, true);
                opened = ready_connection(s, mailer.get());
            } catch (const Error&) {
                set_result(message.index, caught_exception().get());
                return true;
            }
            if (opened) {
                on_this_connection = 0;
                connection_failed = false;
                message.may_retry = false; // the connection was opened for it
            }
        }
        try {
            s->exchange->submit(std::move(message));
        } catch (const Error&) {
            set_result(message.index, caught_exception().get());
            return true;
        }
        ++in_flight;
        ++on_this_connection;
        return true;
    };

    // What is ready goes first: outcomes, then what may be written, then what
    // has arrived.  The next message is built only when the client would
    // otherwise wait for the server, so that building it delays nothing.
    auto send_all = [&] {
        for (;;) {
            if (s->exchange) {
                flush(s);
                if (s->exchange->has_outcome() || s->exchange->closed()) {
                    file_outcomes();
                    continue;
                }
                if (in_flight > 0 && has_input(s)) {
                    read_once(s);
                    continue;
                }
            }
            if (submit_next()) continue;
            if (in_flight == 0) {
                if (exhausted && again.empty()) return;
                continue;
            }
            Conversation& exchange = *s->exchange;
            if (!exchange.busy()) {
                exchange.fail(Ref()); // nothing awaited, yet messages under way
                continue;
            }
            read_once(s);
        }
    };
    try {
        send_all();
    } catch (const Error&) {
        // Messages still under way have no fate the caller could learn.
        Ref error = Ref::steal(PyErr_GetRaisedException());
        if (in_flight > 0) discard(s);
        reraise(std::move(error));
    }
    if (iteration_error) reraise(std::move(iteration_error));
    return results;
}

const Signature send_many_signature = define<Session_send_many>({
    .name = "send_many",
    .doc = "Send many messages over the session's connection, pipelined.\n"
           "\n"
           "messages: an iterable (a generator will do) of dicts of Session.send's\n"
           "keyword arguments, one dict a message, each checked as send checks them.\n"
           "A message is built only when it is about to go out, so a generator of any\n"
           "length needs the memory of a few messages.  When the server offers\n"
           "pipelining, the text of one message goes together with the next one's\n"
           "commands.\n"
           "\n"
           "Returns a list with one entry per message, in order: None when the server\n"
           "accepted it, else the exception that send would have raised for it.  One\n"
           "refused message never stops the others, and no message is sent twice.\n",
    .returns = "List[Optional[Exception]]",
});

constexpr Param close_params[] = {self_param};

Ref Session_close(FunctionObject*, Args<close_params> args) {
    end_session(as_session(args["self"], "close"));
    return none();
}

const Signature close_signature = define<Session_close>({
    .name = "close",
    .doc = "End the SMTP session with QUIT and close the connection.\n"
           "\n"
           "Calling it again, or on a session that is not connected, does nothing.  A\n"
           "later send opens a new connection.\n",
    .returns = "None",
});

constexpr Param enter_params[] = {self_param};

Ref Session_enter(FunctionObject*, Args<enter_params> args) {
    PyObject* session = args["self"];
    SessionObject* s = as_session(session, "__enter__");
    Ref mailer = mailer_of(s);
    Hold hold(s);
    leave_inherited(s);
    if (!s->transport) connect(s, mailer.get());
    return Ref::borrow(session);
}

const Signature enter_signature = define<Session_enter>({
    .name = "__enter__",
    .doc = "Connect and log in, and return the session.",
    .returns = "Session",
});

constexpr Param exit_params[] = {
    self_param,
    {"exc_type", "Optional[type[BaseException]]", Rule::Any, Default::Required},
    {"exc_value", "Optional[BaseException]", Rule::Any, Default::Required},
    {"traceback", "Optional[TracebackType]", Rule::Any, Default::Required},
};

Ref Session_exit(FunctionObject*, Args<exit_params> args) {
    SessionObject* s = as_session(args["self"], "__exit__");
    if (args["exc_type"] == Py_None) {
        end_session(s);
    } else {
        // The block's own exception is the one that propagates.
        ignoring_errors([&] { end_session(s); });
    }
    return none();
}

const Signature exit_signature = define<Session_exit>({
    .name = "__exit__",
    .doc = "Close the session (see close()); an exception of the block propagates.",
    .returns = "None",
});

// ---------------------------------------------------------------------------
// _finished_text(), for the command line: the message as a session sends it.

constexpr Param finished_text_params[] = {
    {"message", "Message", Rule::Any, Default::Required},
    {"sender", "str", Rule::Str, Default::Required},
    {"headers", "Optional[Dict[str, str]]", Rule::Any, Default::None},
    {"unsubscribe", "Optional[Union[str, List[str]]]", Rule::Any, Default::None},
    {"message_id", "Union[bool, str]", Rule::Any, Default::False},
    {"dkim", "Optional[Signer]", Rule::Any, Default::None},
};

Ref session_finished_text(FunctionObject*, Args<finished_text_params> args) {
    PyObject* message = args["message"];
    if (!checked(PyObject_IsInstance(message, session_module.global(n_Message).get())))
        raise_incorrect_type("message", "Message", nullptr, message);
    check_additions(args["message_id"], args["dkim"], session_module.global(n_Signer).get());
    return finished_text(message, args["sender"], args["headers"], args["unsubscribe"],
                         {args["message_id"], args["dkim"]});
}

const Signature finished_text_signature = define<session_finished_text>({
    .name = "_finished_text",
    .doc = "The bytes a session would send for `message` (which gets the headers and\n"
           "the Message-ID): every line ending CRLF, signed when `dkim` is given.\n"
           "Send them with send_message() on a session that adds nothing more.\n",
    .returns = "bytes",
});

// ---------------------------------------------------------------------------
// classify(), for the command line and applications.

constexpr Param classify_params[] = {
    {"error", "BaseException", Rule::Any, Default::Required},
};

Ref session_classify(FunctionObject*, Args<classify_params> args) {
    PyObject* error = args["error"];
    if (!PyExceptionInstance_Check(error)) {
        raise_incorrect_type("error", "BaseException", nullptr, error);
    }
    Ref smtplib = session_module.global(n_smtplib);
    return checked(PyUnicode_FromString(classify(error, smtplib.get())));
}

const Signature classify_signature = define<session_classify>({
    .name = "classify",
    .doc = "What an exception that a send raised means for its message.\n"
           "\n"
           "    \"sent\"       the server accepted it for the other recipients: only\n"
           "                 those in error.recipients were refused\n"
           "    \"retry\"      not delivered, worth another attempt later: a 4xx reply,\n"
           "                 a connection refused, lost before the text or timed out\n"
           "    \"permanent\"  not delivered, and another attempt would fare no better:\n"
           "                 a 5xx reply, a login refused, a missing extension, a\n"
           "                 certificate or setting that does not work\n"
           "    \"unknown\"    the connection failed while the text was under way: the\n"
           "                 server may have the message, and a session never sends\n"
           "                 it again\n"
           "\n"
           "The session itself already sent again, once, every message that had not\n"
           "reached the server over a connection it had used before.\n",
    .returns = "str",
});

constexpr Param template_variables_params[] = {
    {"context", "Optional[dict]", Rule::OptDict, Default::None},
};

Ref session_template_variables(FunctionObject*, Args<template_variables_params> args) {
    return template_variables(session_module, args["context"]);
}

const Signature template_variables_signature = define<session_template_variables>({
    .name = "_template_variables",
    .doc = "The variables send_template renders with: `context` (a new dict when it is\n"
           "empty or None) with occurred_at, the time now, unless it holds one.\n",
    .returns = "dict",
});

// ---------------------------------------------------------------------------
// The type's slots.

// A session dropped without close() lets its connection go as any unclosed
// socket goes: its dealloc releases the transport, and the socket's own
// finaliser closes it and warns.
using SessionFields =
    Fields<SessionObject, &SessionObject::mailer, &SessionObject::transport,
           &SessionObject::connected_by, &SessionObject::timeout, &SessionObject::tls_context,
           &SessionObject::tls_host, &SessionObject::auth, &SessionObject::message_id,
           &SessionObject::dkim>;

int session_traverse(PyObject* object, visitproc visit, void* arg) noexcept {
    if (int failed = as<SessionObject>(object)->tally.traverse(visit, arg)) return failed;
    return SessionFields::traverse(object, visit, arg);
}

int session_clear(PyObject* object) noexcept {
    delete std::exchange(as<SessionObject>(object)->exchange, nullptr);
    as<SessionObject>(object)->tally.clear();
    return SessionFields::clear(object);
}

void session_dealloc(PyObject* object) noexcept {
    delete std::exchange(as<SessionObject>(object)->exchange, nullptr);
    as<SessionObject>(object)->tally.clear();
    SessionFields::dealloc(object);
}

// <Session smtp.example.com:587 starttls connected, 12 sent>
PyObject* session_repr(PyObject* object) noexcept {
    return guarded(
        [&]() -> PyObject* {
            SessionObject* s = as<SessionObject>(object);
            if (!s->mailer) return mail::describe_uninitialised(object);
            Ref mailer = Ref::borrow(s->mailer);
            Ref host = getattr(mailer, attr::host);
            Ref port = getattr(mailer, attr::port);
            const Security security = security_of(mailer.get());
            const char* state = s->transport && s->pid == getpid() ? "connected"
                                : s->tally.connections > 0         ? "closed"
                                                                   : "not connected";
            return mail::describe_session(object, host.get(), port.get(), security, state,
                                          s->tally);
        },
        nullptr);
}

constexpr char last_reply_doc[] =
    "The server's final reply to the last message it accepted, as (code, text),\n"
    "or None before the first; the text usually holds the server's queue id.";

using Attributes = mail::TallyAttributes<SessionObject, &SessionObject::tally, last_reply_doc>;

constexpr const char* class_doc =
    "Many messages over one SMTP connection, with the settings of an EasyMailer.\n"
    "\n"
    "A Session takes its host, port, login, encryption mode, default sender and\n"
    "template engine from the mailer, and builds every message with the mailer's\n"
    "own methods, so that a message is the one EasyMailer.send would send.  Only\n"
    "the delivery differs: the connection is opened and logged in to once and\n"
    "carries every message until the session is closed, with the commands of a\n"
    "message sent in one group when the server offers pipelining.\n"
    "\n"
    "    with Session(mailer) as session:\n"
    "        for user in users:\n"
    "            session.send(to=user.email, subject=\"Hello\", body=\"...\")\n"
    "\n"
    "Entering the block connects and logs in, so that wrong settings fail at once;\n"
    "leaving it ends the SMTP session with QUIT and closes the socket.  When the\n"
    "server has closed the connection since the last message (an idle timeout, a\n"
    "421 reply), the next send opens a new one; a message is never sent twice.\n"
    "max_per_connection, when given, makes the session start a new connection\n"
    "after that many messages.  A forked child opens a connection of its own.\n"
    "Threads may share one session: their sends take turns on the connection.\n"
    "The logger \"vantrel.smtp\" shows the conversation at DEBUG level.\n";

PyType_Slot session_slots[] = {
    type_slot(Py_tp_doc, class_doc),
    type_slot(Py_tp_dealloc, session_dealloc),
    type_slot(Py_tp_traverse, session_traverse),
    type_slot(Py_tp_clear, session_clear),
    type_slot(Py_tp_repr, session_repr),
    type_slot(Py_tp_getset, Attributes::getset),
    {},
};

PyType_Spec session_spec = {
    .name = "vantrel.session.Session",
    .basicsize = sizeof(SessionObject),
    .itemsize = 0,
    .flags =
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_MANAGED_WEAKREF,
    .slots = session_slots,
};

void module_body(ModuleFrame& frame, PyObject*) {
    frame.import("smtplib");
    frame.import("socket");
    frame.import("ssl");
    frame.import_from("datetime", {"datetime"});
    frame.import_from("types", {"TracebackType"});
    frame.import_from("typing", {"Any", "Dict", "Iterable", "List", "Optional", "Union"});
    frame.import_from("email.message", {"Message"});
    frame.import_from("mailer", {"EasyMailer"}, 1);
    frame.import_from("auth", {"XOAuth2", "OAuthBearer"}, 1);
    frame.import_from("dkim", {"Signer"}, 1);

    Ref logging = checked(PyImport_ImportModule("logging"));
    Ref logger_name = checked(PyUnicode_FromString("vantrel.smtp"));
    Ref logger = call_method(logging, n_getLogger, logger_name);
    frame.bind("_log", logger.get());

    frame.import_from("", {"USUAL_PORTS"}, 1);

    Ref transport = frame.native_class(transport_spec,
                                       {transport_send_signature, transport_recv_signature,
                                        transport_pending_signature, transport_start_tls_signature,
                                        transport_close_signature, transport_abandon_signature});
    Py_XSETREF(TransportObject::type, reinterpret_cast<PyTypeObject*>(transport.release()));
    frame.bind("_connect", frame.function(connect_signature).get());
    frame.bind("classify", frame.function(classify_signature).get());
    frame.bind("_finished_text", frame.function(finished_text_signature).get());
    frame.bind("_template_variables", frame.function(template_variables_signature).get());

    Ref type =
        frame.native_class(session_spec, {init_signature, send_signature, send_template_signature,
                                          send_message_signature, send_many_signature,
                                          close_signature, enter_signature, exit_signature});
    if (!prepare_function) prepare_function = frame.method("Session", prepare_signature).release();
    frame.bind("Session", type.get());
    Py_XSETREF(SessionObject::type, reinterpret_cast<PyTypeObject*>(type.release()));
}

} // namespace

PyMODINIT_FUNC PyInit_session() noexcept {
    return session_module.init();
}
