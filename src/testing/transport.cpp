// vantrel.testing: the stand-in server as a Python object, _StandInServer,
// and the transport over it that a capture's _connect returns.  The server
// consults the outbox of the capture it was opened in and records into it;
// once that capture has ended it is closed, as if the server had hung up.
#include "testing/testing.hpp"

#include <cerrno>
#include <string>

namespace vantrel::testing {
namespace {

Name n_SSLError{"SSLError"};

struct StandInServerObject;

// The outbox's rehearsals and its deliveries, for the server of one
// connection.
class OutboxBackend final : public Backend {
public:
    explicit OutboxBackend(StandInServerObject* owner) noexcept : owner_(owner) {}
    std::optional<ServerReply> refuse_sender(std::string_view address) override;
    std::optional<ServerReply> refuse_recipient(std::string_view address) override;
    std::optional<ServerReply> refuse_login() override;
    std::optional<ServerReply> refuse_token() override;
    void deliver(const Delivery& delivery) override;

private:
    OutboxObject* outbox() const noexcept;
    StandInServerObject* owner_;
};

// The protocol and its backend, made and freed together.
struct Served {
    Served(StandInServerObject* owner, std::string_view name)
        : backend(owner), server(backend, name) {}
    OutboxBackend backend;
    Server server;
};

struct StandInServerObject {
    PyObject_HEAD
    PyObject* outbox; // the outbox receiving when it was opened
    PyObject* host;
    PyObject* port;
    Served* served;
    std::uint64_t capture;            // the number of the capture it was opened in
    static inline PyTypeObject* type; // made by the module body, kept for the process
};

// Its fields are set when it is made and never emptied: an outbox, a str and
// an int can hold no reference back to it, so no cycle runs through it.
using StandInServerFields = Fields<StandInServerObject, &StandInServerObject::outbox,
                                   &StandInServerObject::host, &StandInServerObject::port>;

OutboxObject* OutboxBackend::outbox() const noexcept {
    return as<OutboxObject>(owner_->outbox);
}

// Text from the wire as a str: UTF-8, any other octet kept as a surrogate.
Ref wire_str(std::string_view text) {
    return checked(
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogateescape"));
}

// A rehearsal's (code, b"text") as a reply.
ServerReply as_reply(PyObject* refusal) {
    const long code = PyLong_AsLong(PyTuple_GET_ITEM(refusal, 0));
    if (code == -1 && PyErr_Occurred()) raise_error();
    char* text = nullptr;
    Py_ssize_t length = 0;
    checked(PyBytes_AsStringAndSize(PyTuple_GET_ITEM(refusal, 1), &text, &length));
    return {static_cast<int>(code), std::string(text, static_cast<std::size_t>(length))};
}

std::optional<ServerReply> rehearsed(PyObject* refusals, PyObject* key) {
    Ref found = refusal_for(refusals, key);
    if (!found) return std::nullopt;
    return as_reply(found.get());
}

std::optional<ServerReply> OutboxBackend::refuse_sender(std::string_view address) {
    if (auto reply = rehearsed(outbox()->refused_senders, wire_str(address).get())) return reply;
    return rehearsed(outbox()->refused_senders, Py_None);
}

std::optional<ServerReply> OutboxBackend::refuse_recipient(std::string_view address) {
    return rehearsed(outbox()->refused_recipients, wire_str(address).get());
}

std::optional<ServerReply> OutboxBackend::refuse_login() {
    if (outbox()->login_refusal == Py_None) return std::nullopt;
    return as_reply(outbox()->login_refusal);
}

std::optional<ServerReply> OutboxBackend::refuse_token() {
    PyObject* refusals = outbox()->token_refusals;
    if (PyList_GET_SIZE(refusals) == 0) return std::nullopt;
    ServerReply reply = as_reply(PyList_GET_ITEM(refusals, 0));
    checked(PyList_SetSlice(refusals, 0, 1, nullptr));
    return reply;
}

void OutboxBackend::deliver(const Delivery& delivery) {
    Ref recipients = checked(PyList_New(0));
    for (const std::string& recipient : delivery.recipients)
        checked(PyList_Append(recipients.get(), wire_str(recipient).get()));
    Ref octets = checked(PyBytes_FromStringAndSize(delivery.text.data(),
                                                   static_cast<Py_ssize_t>(delivery.text.size())));
    const bool signed_in = !delivery.mechanism.empty();
    Ref username = signed_in ? wire_str(delivery.username) : Ref::borrow(Py_None);
    Ref mechanism = signed_in ? wire_str(delivery.mechanism) : Ref::borrow(Py_None);
    record_message(owner_->outbox, {.mail_from = wire_str(delivery.mail_from).get(),
                                    .rcpt_tos = recipients.get(),
                                    .text = wire_str(delivery.text).get(),
                                    .parsed_from = octets.get(),
                                    .host = owner_->host,
                                    .port = owner_->port,
                                    .mode = delivery.mode,
                                    .username = username.get(),
                                    .mechanism = mechanism.get()});
}

// The server of an open connection: once its capture has ended, it has
// closed.
Server& server_of(StandInServerObject* s) {
    Server& server = s->served->server;
    if (!server.closed() && !capture_active(s->capture)) server.close();
    return server;
}

// A connection attempt: a new server for the innermost capture.
Ref open_server(PyObject* host, PyObject* port) {
    std::uint64_t serial = 0;
    Ref outbox = connect_to_capture(serial);
    Py_ssize_t length = 0;
    const char* name = PyUnicode_AsUTF8AndSize(host, &length);
    if (!name) raise_error();
    Ref made = new_instance<StandInServerObject>();
    StandInServerObject* s = as<StandInServerObject>(made.get());
    s->outbox = outbox.release();
    s->host = Py_NewRef(host);
    s->port = Py_NewRef(port);
    s->capture = serial;
    s->served = new Served(s, std::string_view(name, static_cast<std::size_t>(length)));
    return made;
}

// The bytes of a bytes-like object, for the length of a call.
class Octets {
public:
    explicit Octets(PyObject* object) { checked(PyObject_GetBuffer(object, &view_, PyBUF_SIMPLE)); }
    ~Octets() { PyBuffer_Release(&view_); }
    Octets(const Octets&) = delete;
    Octets& operator=(const Octets&) = delete;
    std::string_view view() const noexcept {
        return {static_cast<const char*>(view_.buf), static_cast<std::size_t>(view_.len)};
    }

private:
    Py_buffer view_{};
};

Ref taken_output(Server& server) {
    const std::string out = server.take_output();
    return checked(PyBytes_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size())));
}

// The TLS handshake, which fails as the ssl module reports one where the
// server does not expect it.
void handshake(Server& server) {
    if (server.start_tls()) return;
    Ref ssl = checked(PyImport_ImportModule("ssl"));
    Ref error = call(getattr(ssl, n_SSLError),
                     checked(PyUnicode_FromString("the server is not expecting a TLS handshake")));
    raise_exception(error.get());
}

void server_dealloc(PyObject* object) noexcept {
    delete as<StandInServerObject>(object)->served;
    StandInServerFields::dealloc(object);
}

// _StandInServer(host="localhost", port=25): a connection attempt.
PyObject* server_new(PyTypeObject*, PyObject* args, PyObject* kwargs) noexcept {
    return guarded(
        [&] {
            static const char* keywords[] = {"host", "port", nullptr};
            PyObject* host = nullptr;
            PyObject* port = nullptr;
            if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|UO!:_StandInServer",
                                             const_cast<char**>(keywords), &host, &PyLong_Type,
                                             &port)) {
                raise_error();
            }
            Ref default_host =
                host ? Ref::borrow(host) : checked(PyUnicode_FromString("localhost"));
            Ref default_port = port ? Ref::borrow(port) : checked(PyLong_FromLong(25));
            return open_server(default_host.get(), default_port.get()).release();
        },
        static_cast<PyObject*>(nullptr));
}

StandInServerObject* standin_of(PyObject* object, const char* method) {
    return instance_of<StandInServerObject>(object, method);
}

constexpr Param feed_params[] = {self_param, {"data", "bytes", Rule::Any, Default::Required}};

Ref StandInServer_feed(FunctionObject*, Args<feed_params> args) {
    Server& server = server_of(standin_of(args["self"], "feed"));
    Octets data(args["data"]);
    server.receive(data.view());
    return taken_output(server);
}

const Signature feed_signature = define<StandInServer_feed>({
    .name = "feed",
    .doc = "Give the server what the client wrote; return what the server has written since\n"
           "(the greeting first).  Nothing once it has closed.",
    .returns = "bytes",
});

constexpr Param server_start_tls_params[] = {self_param};

Ref StandInServer_start_tls(FunctionObject*, Args<server_start_tls_params> args) {
    handshake(server_of(standin_of(args["self"], "start_tls")));
    return none();
}

const Signature server_start_tls_signature = define<StandInServer_start_tls>({
    .name = "start_tls",
    .doc = "The TLS handshake: before the greeting was taken (implicit TLS), or after the reply\n"
           "to STARTTLS; ssl.SSLError anywhere else.",
    .returns = "None",
});

constexpr Param server_close_params[] = {self_param};

Ref StandInServer_close(FunctionObject*, Args<server_close_params> args) {
    server_of(standin_of(args["self"], "close")).close();
    return none();
}

const Signature server_close_signature = define<StandInServer_close>({
    .name = "close",
    .doc = "The client has gone: the server writes and reads nothing more.",
    .returns = "None",
});

constexpr Param closed_params[] = {self_param};

Ref StandInServer_closed(FunctionObject*, Args<closed_params> args) {
    return Ref::borrow(server_of(standin_of(args["self"], "closed")).closed() ? Py_True : Py_False);
}

const Signature closed_signature = define<StandInServer_closed>({
    .name = "closed",
    .doc = "Whether the connection is over: after QUIT, a 421, close(), or the end of the\n"
           "capture it was opened in.",
    .returns = "bool",
});

PyType_Slot server_slots[] = {
    type_slot(Py_tp_new, server_new),
    type_slot(Py_tp_dealloc, server_dealloc),
    type_slot(Py_tp_traverse, StandInServerFields::traverse),
    type_slot(Py_tp_doc,
              "_StandInServer(host='localhost', port=25): the far end of one connection to the\n"
              "innermost active capture, an SMTP server in the process that records what it\n"
              "accepts into the capture's outbox and answers its rehearsals.  Making one is a\n"
              "connection attempt: a rehearsed disconnect() refuses it."),
    {},
};

PyType_Spec server_spec = {
    .name = "vantrel.testing._StandInServer",
    .basicsize = sizeof(StandInServerObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .slots = server_slots,
};

// ---------------------------------------------------------------------------
// The transport of the session's seam over a stand-in server.

struct StandInTransportObject {
    PyObject_HEAD
    PyObject* server;                 // a _StandInServer
    bool closed;                      // by close() or abandon()
    static inline PyTypeObject* type; // made by the module body, kept for the process
};

using StandInTransportFields = Fields<StandInTransportObject, &StandInTransportObject::server>;

// The server of an open transport; a closed one fails as a closed socket.
Server& transport_server(PyObject* object, const char* method) {
    StandInTransportObject* t = instance_of<StandInTransportObject>(object, method);
    if (t->closed) raise_errno(EBADF);
    return server_of(as<StandInServerObject>(t->server));
}

constexpr Param send_params[] = {self_param, {"data", "bytes", Rule::Any, Default::Required}};

Ref Transport_send(FunctionObject*, Args<send_params> args) {
    Server& server = transport_server(args["self"], "send");
    Octets data(args["data"]);
    if (server.closed()) raise_errno(EPIPE);
    server.receive(data.view());
    return none();
}

const Signature send_signature = define<Transport_send>({
    .name = "send",
    .doc = "Write all of the data to the server.",
    .returns = "None",
});

constexpr Param recv_params[] = {self_param};

// An open server that has nothing to say never will: a socket would wait
// until its timeout.
Ref Transport_recv(FunctionObject*, Args<recv_params> args) {
    Server& server = transport_server(args["self"], "recv");
    if (!server.has_output() && !server.closed()) raise(PyExc_TimeoutError, "timed out");
    return taken_output(server);
}

const Signature recv_signature = define<Transport_recv>({
    .name = "recv",
    .doc = "What the server has written, or b'' once it has closed; TimeoutError when it has\n"
           "nothing to say.",
    .returns = "bytes",
});

constexpr Param pending_params[] = {self_param};

Ref Transport_pending(FunctionObject*, Args<pending_params> args) {
    Server& server = transport_server(args["self"], "pending");
    return Ref::borrow(server.has_output() || server.closed() ? Py_True : Py_False);
}

const Signature pending_signature = define<Transport_pending>({
    .name = "pending",
    .doc = "Whether recv() would return at once: the server wrote, or closed.",
    .returns = "bool",
});

constexpr Param transport_start_tls_params[] = {
    self_param,
    {"context", "ssl.SSLContext", Rule::Any, Default::Required},
    {"server_hostname", "str", Rule::Any, Default::Required},
};

Ref Transport_start_tls(FunctionObject*, Args<transport_start_tls_params> args) {
    handshake(transport_server(args["self"], "start_tls"));
    return none();
}

const Signature transport_start_tls_signature = define<Transport_start_tls>({
    .name = "start_tls",
    .doc = "The TLS handshake: right after connecting (implicit TLS) or after the reply to\n"
           "STARTTLS.",
    .returns = "None",
});

constexpr Param transport_close_params[] = {self_param};

// The client hangs up: the server's session ends too.
void hang_up(PyObject* object, const char* method) {
    StandInTransportObject* t = instance_of<StandInTransportObject>(object, method);
    if (!t->closed) server_of(as<StandInServerObject>(t->server)).close();
    t->closed = true;
}

Ref Transport_close(FunctionObject*, Args<transport_close_params> args) {
    hang_up(args["self"], "close");
    return none();
}

const Signature transport_close_signature = define<Transport_close>({
    .name = "close",
    .doc = "Close the connection.",
    .returns = "None",
});

// In a forked child there is no descriptor to let go of, only the object.
Ref Transport_abandon(FunctionObject*, Args<transport_close_params> args) {
    hang_up(args["self"], "abandon");
    return none();
}

const Signature abandon_signature = define<Transport_abandon>({
    .name = "abandon",
    .doc = "Let the connection go without writing anything.",
    .returns = "None",
});

PyType_Slot transport_slots[] = {
    type_slot(Py_tp_dealloc, StandInTransportFields::dealloc),
    type_slot(Py_tp_traverse, StandInTransportFields::traverse),
    type_slot(Py_tp_doc, "A connection to a stand-in server, as a capture's _connect returns it."),
    {},
};

PyType_Spec transport_spec = {
    .name = "vantrel.testing._StandInTransport",
    .basicsize = sizeof(StandInTransportObject),
    .itemsize = 0,
    .flags = native_flags,
    .slots = transport_slots,
};

constexpr Param connect_params[] = {
    {"host", "str", Rule::Str, Default::Required},
    {"port", "int", Rule::Int, Default::Required},
    {"timeout", "Optional[float]", Rule::Any, Default::None},
};

Ref standin_connect(FunctionObject*, Args<connect_params> args) {
    Ref server = open_server(args["host"], args["port"]);
    Ref made = new_instance<StandInTransportObject>();
    as<StandInTransportObject>(made.get())->server = server.release();
    return made;
}

const Signature connect_signature = define<standin_connect>({
    .name = "_connect",
    .doc = "Open a connection to the active capture's stand-in SMTP server, in place of\n"
           "vantrel.session._connect.",
    .returns = "_StandInTransport",
});

} // namespace

Ref make_server_types(ModuleFrame& frame) {
    native_type(frame, StandInTransportObject::type, transport_spec,
                {send_signature, recv_signature, pending_signature, transport_start_tls_signature,
                 transport_close_signature, abandon_signature});
    return native_type(frame, StandInServerObject::type, server_spec,
                       {feed_signature,
                        server_start_tls_signature,
                        server_close_signature,
                        {closed_signature, Method::Property}});
}

Ref new_connect_function() {
    return testing_module.function(connect_signature);
}

} // namespace vantrel::testing
