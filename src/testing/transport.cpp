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
    const std::string_view name = utf8_view(host);
    Ref made = new_instance<StandInServerObject>();
    StandInServerObject* s = as<StandInServerObject>(made.get());
    s->outbox = outbox.release();
    s->host = Py_NewRef(host);
    s->port = Py_NewRef(port);
    s->capture = serial;
    s->served = new Served(s, name);
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

// ---------------------------------------------------------------------------
// The asyncio transport of vantrel.aio's seam over a stand-in server.  What
// the protocol writes goes to the server at once; the server's replies reach
// the protocol's data_received from the event loop, as a socket's would, and
// so does the end of the connection.

Name n_call_soon{"call_soon"};
Name n_create_future{"create_future"};
Name n_set_result{"set_result"};
Name n_connection_made{"connection_made"};
Name n_data_received{"data_received"};
Name n_connection_lost{"connection_lost"};
Name n_deliver{"_deliver"};

struct AsyncTransportObject {
    PyObject_HEAD
    PyObject* server;   // a _StandInServer
    PyObject* protocol; // the protocol the factory made
    PyObject* loop;
    bool scheduled; // a delivery is on its way
    bool closing;   // close() or abort() was called
    bool lost;      // connection_lost is on its way, or done
    static inline PyTypeObject* type;
};

using AsyncTransportFields = Fields<AsyncTransportObject, &AsyncTransportObject::server,
                                    &AsyncTransportObject::protocol, &AsyncTransportObject::loop>;

AsyncTransportObject* async_transport(PyObject* object, const char* method) {
    return instance_of<AsyncTransportObject>(object, method);
}

Server& async_server(AsyncTransportObject* t) {
    return server_of(as<StandInServerObject>(t->server));
}

void schedule(AsyncTransportObject* t) {
    if (t->scheduled || t->lost) return;
    t->scheduled = true;
    call_method(t->loop, n_call_soon, getattr(reinterpret_cast<PyObject*>(t), n_deliver));
}

constexpr Param deliver_params[] = {self_param};

// The server's replies, then, once it has closed, the end of the connection.
Ref AsyncTransport_deliver(FunctionObject*, Args<deliver_params> args) {
    AsyncTransportObject* t = async_transport(args["self"], "_deliver");
    t->scheduled = false;
    if (t->lost) return none();
    Server& server = async_server(t);
    Ref protocol = Ref::borrow(t->protocol);
    if (server.has_output() && !t->closing) {
        call_method(protocol, n_data_received, taken_output(server));
    }
    if ((server.closed() || t->closing) && !t->lost) {
        t->lost = true;
        call_method(protocol, n_connection_lost, Py_None);
    }
    return none();
}

const Signature deliver_signature = define<AsyncTransport_deliver>({
    .name = "_deliver",
    .doc = "Hand the server's replies to the protocol (called by the event loop).",
    .returns = "None",
});

Ref AsyncTransport_write(FunctionObject*, Args<send_params> args) {
    AsyncTransportObject* t = async_transport(args["self"], "write");
    if (t->closing) return none();
    Server& server = async_server(t);
    Octets data(args["data"]);
    if (!server.closed()) server.receive(data.view());
    if (server.has_output() || server.closed()) schedule(t);
    return none();
}

const Signature write_signature = define<AsyncTransport_write>({
    .name = "write",
    .doc = "Write the data to the server.",
    .returns = "None",
});

constexpr Param async_close_params[] = {self_param};

Ref AsyncTransport_close(FunctionObject*, Args<async_close_params> args) {
    AsyncTransportObject* t = async_transport(args["self"], "close");
    if (!t->closing) async_server(t).close();
    t->closing = true;
    schedule(t);
    return none();
}

const Signature async_close_signature = define<AsyncTransport_close>({
    .name = "close",
    .doc = "Close the connection; the protocol's connection_lost follows.",
    .returns = "None",
});

const Signature abort_signature = define<AsyncTransport_close>({
    .name = "abort",
    .doc = "Close the connection at once; the protocol's connection_lost follows.",
    .returns = "None",
});

Ref AsyncTransport_is_closing(FunctionObject*, Args<async_close_params> args) {
    return Ref::borrow(async_transport(args["self"], "is_closing")->closing ? Py_True : Py_False);
}

const Signature is_closing_signature = define<AsyncTransport_is_closing>({
    .name = "is_closing",
    .doc = "Whether close() or abort() was called.",
    .returns = "bool",
});

constexpr Param extra_info_params[] = {
    self_param,
    {"name", "str", Rule::Any, Default::Required},
    {"default", nullptr, Rule::Any, Default::None},
};

// A stand-in has no socket, peer or certificate to tell of.
Ref AsyncTransport_get_extra_info(FunctionObject*, Args<extra_info_params> args) {
    async_transport(args["self"], "get_extra_info");
    return Ref::borrow(args["default"]);
}

const Signature extra_info_signature = define<AsyncTransport_get_extra_info>({
    .name = "get_extra_info",
    .doc = "`default`: a stand-in connection has no socket, peer or certificate.",
});

PyType_Slot async_transport_slots[] = {
    type_slot(Py_tp_dealloc, AsyncTransportFields::dealloc),
    type_slot(Py_tp_traverse, AsyncTransportFields::traverse),
    type_slot(Py_tp_clear, AsyncTransportFields::clear),
    type_slot(Py_tp_doc,
              "An asyncio transport to a stand-in server, as a capture's _open makes it\n"
              "for vantrel.aio."),
    {},
};

PyType_Spec async_transport_spec = {
    .name = "vantrel.testing._StandInAsyncTransport",
    .basicsize = sizeof(AsyncTransportObject),
    .itemsize = 0,
    .flags = native_flags,
    .slots = async_transport_slots,
};

Ref done_future(PyObject* loop, PyObject* value) {
    Ref future = call_method(loop, n_create_future);
    call_method(future, n_set_result, value);
    return future;
}

constexpr Param aio_open_params[] = {
    {"loop", nullptr, Rule::Any, Default::Required},
    {"protocol_factory", nullptr, Rule::Any, Default::Required},
    {"host", "str", Rule::Str, Default::Required},
    {"port", "int", Rule::Int, Default::Required},
    {"ssl_context", nullptr, Rule::Any, Default::Required},
    {"server_hostname", nullptr, Rule::Any, Default::Required},
};

// As loop.create_connection: the protocol hears of its connection from the
// loop, then the greeting.
Ref standin_aio_open(FunctionObject*, Args<aio_open_params> args) {
    Ref server = open_server(args["host"], args["port"]);
    if (args["ssl_context"] != Py_None) {
        handshake(server_of(as<StandInServerObject>(server.get())));
    }
    Ref protocol = call(args["protocol_factory"]);
    Ref made = new_instance<AsyncTransportObject>();
    AsyncTransportObject* t = as<AsyncTransportObject>(made.get());
    t->server = server.release();
    t->protocol = Ref(protocol).release();
    t->loop = Py_NewRef(args["loop"]);
    call_method(args["loop"], n_call_soon, getattr(protocol, n_connection_made), made);
    schedule(t);
    Ref pair = checked(PyTuple_Pack(2, made.get(), protocol.get()));
    return done_future(args["loop"], pair.get());
}

const Signature aio_open_signature = define<standin_aio_open>({
    .name = "_open",
    .doc = "Open a connection to the active capture's stand-in SMTP server, in place of\n"
           "vantrel.aio._open: an awaitable giving (transport, protocol).",
});

constexpr Param aio_start_tls_params[] = {
    {"loop", nullptr, Rule::Any, Default::Required},
    {"transport", nullptr, Rule::Any, Default::Required},
    {"protocol", nullptr, Rule::Any, Default::Required},
    {"ssl_context", nullptr, Rule::Any, Default::Required},
    {"server_hostname", nullptr, Rule::Any, Default::Required},
};

Ref standin_aio_start_tls(FunctionObject*, Args<aio_start_tls_params> args) {
    AsyncTransportObject* t = async_transport(args["transport"], "start_tls");
    handshake(async_server(t));
    return done_future(args["loop"], args["transport"]);
}

const Signature aio_start_tls_signature = define<standin_aio_start_tls>({
    .name = "_start_tls",
    .doc = "The TLS handshake with the stand-in server, in place of vantrel.aio._start_tls:\n"
           "an awaitable giving the transport.",
});

} // namespace

Ref make_server_types(ModuleFrame& frame) {
    native_type(frame, StandInTransportObject::type, transport_spec,
                {send_signature, recv_signature, pending_signature, transport_start_tls_signature,
                 transport_close_signature, abandon_signature});
    native_type(frame, AsyncTransportObject::type, async_transport_spec,
                {deliver_signature, write_signature, async_close_signature, abort_signature,
                 is_closing_signature, extra_info_signature});
    return native_type(frame, StandInServerObject::type, server_spec,
                       {feed_signature,
                        server_start_tls_signature,
                        server_close_signature,
                        {closed_signature, Method::Property}});
}

Ref new_connect_function() {
    return testing_module.function(connect_signature);
}

Ref new_aio_open_function() {
    return testing_module.function(aio_open_signature);
}

Ref new_aio_start_tls_function() {
    return testing_module.function(aio_start_tls_signature);
}

} // namespace vantrel::testing
