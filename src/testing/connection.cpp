// vantrel.testing: the stand-in smtplib that a capture binds in the modules
// that deliver through smtplib.  Its SMTP and SMTP_SSL open a Connection: an
// SMTP server that accepts everything except the failures rehearsed on its
// outbox, and answers as smtplib reports a real one.
#include "testing/testing.hpp"

#include <cstdint>

namespace vantrel::testing {
namespace {

Name n_SMTPAuthenticationError{"SMTPAuthenticationError"};
Name n_SMTPNotSupportedError{"SMTPNotSupportedError"};
Name n_SMTPRecipientsRefused{"SMTPRecipientsRefused"};
Name n_SMTPSenderRefused{"SMTPSenderRefused"};
Name n_SMTPServerDisconnected{"SMTPServerDisconnected"};
Name n_fix_eols{"_fix_eols"};
Name n_encode{"encode"};

Text t_ascii{"ascii"};
Text t_dunder{"__"};
Text t_lf{"\n"};
Text t_cr{"\r"};
Text t_escaped_lf{"\\n"};
Text t_escaped_cr{"\\r"};

// Replies of a server that accepts everything, as smtplib returns them.
constexpr const char* ready_for_tls = "Ready to start TLS";
constexpr const char* authenticated = "2.7.0 Authentication successful";
constexpr const char* bye = "Bye";

Ref as_str(const char* value) {
    return checked(PyUnicode_FromString(value));
}

struct ConnectionObject {
    PyObject_HEAD
    PyObject* outbox;      // the outbox receiving when it was opened
    std::uint64_t capture; // the serial of the capture it was opened in
    PyObject* host;
    PyObject* port;
    PyObject* username; // None until a login succeeds
    Mode mode;
    bool open;
    static inline PyTypeObject* type; // made by the module body, kept for the process
};

using ConnectionFields =
    Fields<ConnectionObject, &ConnectionObject::outbox, &ConnectionObject::host,
           &ConnectionObject::port, &ConnectionObject::username>;

// A caller can close a cycle through a connection that the collector cannot
// break elsewhere (a tuple holding the connection, passed as its own login).
// A cleared connection is closed, and no method reads its fields.
int connection_clear(PyObject* object) noexcept {
    as<ConnectionObject>(object)->open = false;
    return ConnectionFields::clear(object);
}

// Whether the connection is open.  A capture owns the connections made while
// it is active: when it ends they close, as if the server had hung up, and
// nothing more is delivered to its outbox.
bool is_open(ConnectionObject* c) {
    if (c->open && !capture_active(c->capture)) c->open = false;
    return c->open;
}

// smtplib's `sock`, as far as a caller may look at it: None once the
// connection is closed, and no attribute while it is open, as there is no
// socket to look at.
PyObject* connection_sock(PyObject* object, void*) noexcept {
    if (!is_open(as<ConnectionObject>(object))) Py_RETURN_NONE;
    PyErr_Format(PyExc_AttributeError, "'%.200s' object has no attribute 'sock'",
                 Py_TYPE(object)->tp_name);
    return nullptr;
}

PyGetSetDef connection_getset[] = {
    {"sock", connection_sock, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot connection_slots[] = {
    type_slot(Py_tp_getset, connection_getset),
    type_slot(Py_tp_dealloc, ConnectionFields::dealloc),
    type_slot(Py_tp_traverse, ConnectionFields::traverse),
    type_slot(Py_tp_clear, connection_clear),
    type_slot(Py_tp_doc, "A connection to the active capture's outbox, in place of "
                         "smtplib.SMTP and smtplib.SMTP_SSL."),
    {},
};

PyType_Spec connection_spec = {
    .name = "vantrel.testing.Connection",
    .basicsize = sizeof(ConnectionObject),
    .itemsize = 0,
    .flags = native_flags,
    .slots = connection_slots,
};

// The connection of a method call, which must still be open.
ConnectionObject* require_open(PyObject* object, const char* method) {
    ConnectionObject* connection = instance_of<ConnectionObject>(object, method);
    if (!is_open(connection))
        raise_smtplib(n_SMTPServerDisconnected, as_str("please run connect() first"));
    return connection;
}

// (code, b"text"): a reply as smtplib's methods return it.
Ref reply(long code, const char* text) {
    return checked(Py_BuildValue("(ly)", code, text));
}

// Opens a connection to the innermost capture, or refuses it as a closed port
// does when a disconnection was rehearsed.  With no host, as smtplib does, it
// stays unconnected.
Ref open_to_outbox(PyObject* host, PyObject* port, Mode mode) {
    const bool connects = truth(host);
    Ref port_used =
        truth(port) ? Ref::borrow(port) : checked(PyLong_FromLong(mode == Mode::Ssl ? 465 : 25));
    std::uint64_t serial = 0;
    Ref outbox;
    if (connects) {
        outbox = connect_to_capture(serial);
    } else {
        const Active& receiving = receiving_capture();
        serial = receiving.serial;
        outbox = receiving.outbox;
    }
    Ref connection = new_instance<ConnectionObject>();
    ConnectionObject* c = as<ConnectionObject>(connection.get());
    c->outbox = outbox.release();
    c->capture = serial;
    c->host = Py_NewRef(host);
    c->port = port_used.release();
    c->username = Py_NewRef(Py_None);
    c->mode = mode;
    c->open = connects;
    return connection;
}

constexpr Param smtp_params[] = {
    {"host", "Optional[str]", Rule::Any, Default::None},
    {"port", "int", Rule::Any, Default::Int, 0},
    {"local_hostname", "Optional[str]", Rule::Any, Default::None},
    {"timeout", "Optional[float]", Rule::Any, Default::None},
    {"source_address", "Optional[tuple[str, int]]", Rule::Any, Default::None},
};

Ref smtp(FunctionObject*, Args<smtp_params> args) {
    return open_to_outbox(args["host"], args["port"], Mode::Plain);
}

const Signature smtp_signature = define<smtp>({
    .name = "SMTP",
    .doc = "Open a plain connection to the active capture's outbox, in place of smtplib.SMTP.",
    .returns = "Connection",
});

constexpr Param smtp_ssl_params[] = {
    smtp_params[0], smtp_params[1],
    smtp_params[2], smtp_params[3],
    smtp_params[4], {"context", "Optional[ssl.SSLContext]", Rule::Any, Default::None},
};

Ref smtp_ssl(FunctionObject*, Args<smtp_ssl_params> args) {
    return open_to_outbox(args["host"], args["port"], Mode::Ssl);
}

const Signature smtp_ssl_signature = define<smtp_ssl>({
    .name = "SMTP_SSL",
    .doc = "Open an implicit-TLS connection to the active capture's outbox, in place of\n"
           "smtplib.SMTP_SSL.",
    .returns = "Connection",
});

constexpr Param starttls_params[] = {
    self_param,
    {"context", "Optional[ssl.SSLContext]", Rule::Any, Default::None},
};

Ref Connection_starttls(FunctionObject*, Args<starttls_params> args) {
    ConnectionObject* c = require_open(args["self"], "starttls");
    // Over TLS already, a server offers no STARTTLS.
    if (c->mode != Mode::Plain) {
        raise_smtplib(n_SMTPNotSupportedError,
                      as_str("STARTTLS extension not supported by server."));
    }
    c->mode = Mode::Starttls;
    return reply(220, ready_for_tls);
}

const Signature starttls_signature = define<Connection_starttls>({
    .name = "starttls",
    .doc = "Upgrade the connection to TLS, as smtplib.SMTP.starttls.",
    .returns = "tuple[int, bytes]",
});

constexpr Param login_params[] = {
    self_param,
    {"user", "str", Rule::Any, Default::Required},
    {"password", "str", Rule::Any, Default::Required},
    {"initial_response_ok", "bool", Rule::Any, Default::True},
};

Ref Connection_login(FunctionObject*, Args<login_params> args) {
    ConnectionObject* c = require_open(args["self"], "login");
    // smtplib's AUTH PLAIN (the server offers PLAIN and LOGIN) sends
    // "\0user\0password" as ASCII: its UnicodeEncodeError comes before any
    // answer of the server.
    Ref credentials =
        checked(PyUnicode_FromFormat("%c%S%c%S", 0, args["user"], 0, args["password"]));
    call_method(credentials, n_encode, t_ascii.get());
    Ref refused = Ref::borrow(as<OutboxObject>(c->outbox)->login_refusal);
    if (refused.get() != Py_None) {
        raise_smtplib(n_SMTPAuthenticationError, PyTuple_GET_ITEM(refused.get(), 0),
                      PyTuple_GET_ITEM(refused.get(), 1));
    }
    Py_XSETREF(c->username, Py_NewRef(args["user"]));
    return reply(235, authenticated);
}

const Signature login_signature = define<Connection_login>({
    .name = "login",
    .doc = "Log in, as smtplib.SMTP.login; the password is not kept.",
    .returns = "tuple[int, bytes]",
});

// Records a message delivered over a connection.
void record_delivery(ConnectionObject* c, PyObject* mail_from, PyObject* accepted, PyObject* msg) {
    Ref text = Ref::borrow(msg);
    if (!PyUnicode_Check(msg)) {
        if (!PyObject_CheckBuffer(msg)) {
            // What smtplib's DATA step raises for a message that is no text.
            raise_format(PyExc_TypeError, "expected string or bytes-like object, got '%.200s'",
                         Py_TYPE(msg)->tp_name);
        }
        text = checked(PyBytes_FromObject(msg));
    }
    // smtplib's login uses PLAIN when the server offers PLAIN and LOGIN.
    Ref mechanism = c->username == Py_None ? Ref::borrow(Py_None) : as_str("PLAIN");
    record_message(c->outbox, {.mail_from = mail_from,
                               .rcpt_tos = accepted,
                               .text = text.get(),
                               .parsed_from = text.get(),
                               .host = c->host,
                               .port = c->port,
                               .mode = c->mode,
                               .username = c->username,
                               .mechanism = mechanism.get()});
}

constexpr Param sendmail_params[] = {
    self_param,
    {"from_addr", "str", Rule::Any, Default::Required},
    {"to_addrs", "Union[str, Sequence[str]]", Rule::Any, Default::Required},
    {"msg", "Union[str, bytes]", Rule::Any, Default::Required},
    {"mail_options", "Sequence[str]", Rule::Any, Default::None},
    {"rcpt_options", "Sequence[str]", Rule::Any, Default::None},
};

// A command as smtplib puts it on the wire, refused where smtplib refuses it
// before sending: a line break is its ValueError, and a character beyond
// ASCII (no SMTPUTF8 is asked for) its UnicodeEncodeError, positions and all.
void put_command(PyObject* line) {
    if (PyUnicode_FindChar(line, '\r', 0, PY_SSIZE_T_MAX, 1) != -1 ||
        PyUnicode_FindChar(line, '\n', 0, PY_SSIZE_T_MAX, 1) != -1) {
        Ref shown = checked(PyUnicode_Replace(line, t_lf.get(), t_escaped_lf.get(), -1));
        shown = checked(PyUnicode_Replace(shown.get(), t_cr.get(), t_escaped_cr.get(), -1));
        raise_format(PyExc_ValueError,
                     "command and arguments contain prohibited newline characters: %U",
                     shown.get());
    }
    Ref wire = checked(PyUnicode_FromFormat("%U\r\n", line));
    call_method(wire, n_encode, t_ascii.get());
}

// smtplib's steps in smtplib's order: the text is encoded and its size
// offered with MAIL FROM (a server offers SIZE), then each RCPT TO and DATA;
// a 421 reply closes the connection.
Ref Connection_sendmail(FunctionObject*, Args<sendmail_params> args) {
    ConnectionObject* c = require_open(args["self"], "sendmail");
    PyObject* mail_from = args["from_addr"];
    PyObject* to_addrs = args["to_addrs"];
    PyObject* msg = args["msg"];
    OutboxObject* outbox = as<OutboxObject>(c->outbox);
    Ref wire = Ref::borrow(msg);
    if (PyUnicode_Check(msg)) {
        // A text goes out as ASCII with CRLF line ends.
        Ref fix_eols = optional_attr(testing_module.global(n_smtplib).get(), n_fix_eols);
        Ref text = fix_eols ? call(fix_eols, msg) : Ref::borrow(msg);
        wire = call_method(text, n_encode, t_ascii.get());
    }
    const Py_ssize_t size = PyObject_Size(wire.get());
    if (size < 0) raise_error();

    Ref sender = quoted_address(mail_from);
    put_command(checked(PyUnicode_FromFormat("mail from:%S size=%zd", sender.get(), size)).get());
    Ref refused = refusal_for(outbox->refused_senders, unquoted(sender).get());
    if (!refused) refused = refusal_for(outbox->refused_senders, Py_None);
    if (refused) {
        if (code_is(refused.get(), 421)) c->open = false;
        raise_smtplib(n_SMTPSenderRefused, PyTuple_GET_ITEM(refused.get(), 0),
                      PyTuple_GET_ITEM(refused.get(), 1), mail_from);
    }

    // One address or any iterable of them, as smtplib takes it.
    Ref recipients = PyUnicode_Check(to_addrs) ? checked(Py_BuildValue("[O]", to_addrs))
                                               : checked(PySequence_List(to_addrs));
    Ref errors = checked(PyDict_New());
    Ref accepted = checked(PyList_New(0));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(recipients.get()); ++i) {
        Ref recipient = Ref::borrow(PyList_GET_ITEM(recipients.get(), i));
        Ref quoted = quoted_address(recipient.get());
        put_command(checked(PyUnicode_FromFormat("rcpt to:%S", quoted.get())).get());
        Ref refused_here = refusal_for(outbox->refused_recipients, unquoted(quoted).get());
        if (!refused_here) {
            checked(PyList_Append(accepted.get(), recipient.get()));
            continue;
        }
        checked(PyDict_SetItem(errors.get(), recipient.get(), refused_here.get()));
        if (code_is(refused_here.get(), 421)) {
            c->open = false;
            raise_smtplib(n_SMTPRecipientsRefused, errors);
        }
    }
    if (PyList_GET_SIZE(accepted.get()) == 0) raise_smtplib(n_SMTPRecipientsRefused, errors);

    record_delivery(c, mail_from, accepted.get(), msg);
    return errors;
}

const Signature sendmail_signature = define<Connection_sendmail>({
    .name = "sendmail",
    .doc = "Deliver a message to the outbox, as smtplib.SMTP.sendmail: returns the dict of\n"
           "refused recipients when some were accepted.",
    .returns = "dict[str, tuple[int, bytes]]",
});

constexpr Param quit_params[] = {self_param};

Ref Connection_quit(FunctionObject*, Args<quit_params> args) {
    require_open(args["self"], "quit")->open = false;
    return reply(221, bye);
}

const Signature quit_signature = define<Connection_quit>({
    .name = "quit",
    .doc = "End the session and close the connection.",
    .returns = "tuple[int, bytes]",
});

constexpr Param close_params[] = {self_param};

Ref Connection_close(FunctionObject*, Args<close_params> args) {
    instance_of<ConnectionObject>(args["self"], "close")->open = false;
    return none();
}

const Signature close_signature = define<Connection_close>({
    .name = "close",
    .doc = "Close the connection.",
    .returns = "None",
});

constexpr Param connection_enter_params[] = {self_param};

Ref Connection_enter(FunctionObject*, Args<connection_enter_params> args) {
    instance_of<ConnectionObject>(args["self"], "__enter__");
    return Ref::borrow(args["self"]);
}

const Signature connection_enter_signature = define<Connection_enter>({
    .name = "__enter__",
    .returns = "Connection",
});

// Leaving the block ends the session and closes, whatever happened in it.
Ref Connection_exit(FunctionObject*, Args<exit_params> args) {
    instance_of<ConnectionObject>(args["self"], "__exit__")->open = false;
    return none();
}

const Signature connection_exit_signature = define<Connection_exit>({
    .name = "__exit__",
    .returns = "None",
});

// A module named smtplib holding every name of the real one, with SMTP and
// SMTP_SSL replaced: what each capture copies.
Ref make_standin_module(ModuleFrame& frame) {
    Ref module = checked(PyModule_New("smtplib"));
    PyObject* names = PyModule_GetDict(module.get());
    Ref real = checked(PyDict_Copy(PyModule_GetDict(frame.global(n_smtplib).get())));
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(real.get(), &position, &key, &value)) {
        if (PyUnicode_Check(key) && PyUnicode_Tailmatch(key, t_dunder.get(), 0, 2, -1)) continue;
        checked(PyDict_SetItem(names, key, value));
    }
    Ref doc = checked(PyUnicode_FromString(
        "smtplib as vantrel.testing.capture() installs it: SMTP and SMTP_SSL connect to the "
        "active capture's outbox; every other name is smtplib's own."));
    checked(PyDict_SetItemString(names, "__doc__", doc.get()));
    checked(PyDict_SetItemString(names, "SMTP", frame.function(smtp_signature).get()));
    checked(PyDict_SetItemString(names, "SMTP_SSL", frame.function(smtp_ssl_signature).get()));
    return module;
}

} // namespace

Ref make_smtplib_standin(ModuleFrame& frame) {
    native_type(frame, ConnectionObject::type, connection_spec,
                {connection_enter_signature, connection_exit_signature, starttls_signature,
                 login_signature, sendmail_signature, quit_signature, close_signature});
    return make_standin_module(frame);
}

} // namespace vantrel::testing
