// vantrel._smtp: the SMTP engine (src/smtp) behind one object, for the tests
// only.  They feed it a server's bytes by hand and read what it writes and
// reports; no socket is involved.  Not part of the package's interface.
#include "frame/frame.hpp"
#include "smtp/client.hpp"

#include <string>
#include <string_view>
#include <vector>

using namespace vantrel;

namespace {

void module_body(ModuleFrame& frame, PyObject* module);

ModuleFrame hook_module{"_smtp", "vantrel._smtp", module_body};

PyTypeObject* engine_type;

struct EngineObject {
    PyObject_HEAD
    smtp::Client* client;
    // tag -> the bytes of a message under way: the engine reads them in place
    // until the message's last event.
    PyObject* texts;
    unsigned long long last_tag;
};

EngineObject* as_engine(PyObject* object) {
    return reinterpret_cast<EngineObject*>(object);
}

// The engine of an initialised instance.
smtp::Client& client_of(PyObject* self, const char* method) {
    EngineObject* engine = reinterpret_cast<EngineObject*>(instance_of(self, engine_type, method));
    if (!engine->client) raise(PyExc_RuntimeError, "Engine.__init__() has not been called");
    return *engine->client;
}

std::string_view bytes_argument(PyObject* object, const char* param) {
    if (!PyBytes_Check(object)) {
        raise_incorrect_type(param, "bytes", nullptr, object);
    }
    return bytes_view(object);
}

std::size_t positive(PyObject* number, const char* param) {
    const Py_ssize_t value = PyLong_AsSsize_t(number);
    if (value == -1 && PyErr_Occurred()) raise_error();
    if (value < 1) raise_format(PyExc_ValueError, "%s must be at least 1", param);
    return static_cast<std::size_t>(value);
}

// ---------------------------------------------------------------------------
// Engine(...)

constexpr Param init_params[] = {
    self_param,
    {"pipelining", "bool", Rule::Truth, Default::True},
    {"chunking", "bool", Rule::Truth, Default::True},
    {"chunk_size", "int", Rule::Int, Default::Int, 1 << 20},
    {"output_limit", "int", Rule::Int, Default::Int, 64 << 10},
    {"max_in_flight", "int", Rule::Int, Default::Int, 100},
    {"max_line", "int", Rule::Int, Default::Int, 8192},
    {"max_lines", "int", Rule::Int, Default::Int, 256},
    {"trace", "bool", Rule::Truth, Default::False},
};

PyObject* Engine_init(FunctionObject*, Args<init_params> args) {
    EngineObject* engine =
        reinterpret_cast<EngineObject*>(instance_of(args["self"], engine_type, "__init__"));
    smtp::Options options;
    options.pipelining = args["pipelining"] == Py_True;
    options.chunking = args["chunking"] == Py_True;
    options.chunk_size = positive(args["chunk_size"], "chunk_size");
    options.output_limit = positive(args["output_limit"], "output_limit");
    options.max_in_flight = positive(args["max_in_flight"], "max_in_flight");
    options.max_line = positive(args["max_line"], "max_line");
    options.max_lines = positive(args["max_lines"], "max_lines");
    options.trace = args["trace"] == Py_True;
    Ref texts = checked(PyDict_New());
    delete engine->client;
    engine->client = new smtp::Client(options);
    Py_XSETREF(engine->texts, texts.release());
    Py_RETURN_NONE;
}

const Signature init_signature = define<Engine_init>({
    .name = "__init__",
    .qualname = "Engine.__init__",
    .doc = "A new engine with these options, waiting for the server's greeting.",
    .returns = "None",
});

// ---------------------------------------------------------------------------
// Operations.

constexpr Param self_only[] = {self_param};

// A method that calls one of the engine's operations without arguments.
template <void (smtp::Client::*operation)(), const char* name>
PyObject* Engine_operation(FunctionObject*, Args<self_only> args) {
    (client_of(args["self"], name).*operation)();
    Py_RETURN_NONE;
}

#define OPERATION(method, member, text)                                                            \
    constexpr char method##_name[] = #method;                                                      \
    const Signature method##_signature =                                                           \
        define<Engine_operation<&smtp::Client::member, method##_name>>(                            \
            {.name = #method, .qualname = "Engine." #method, .doc = text, .returns = "None"})

OPERATION(starttls, start_tls, "Queue STARTTLS (EHLO again once tls_established()).");
OPERATION(tls_established, tls_established, "Say that TLS is up over the transport.");
OPERATION(reset, reset, "Queue RSET.");
OPERATION(noop, noop, "Queue NOOP.");
OPERATION(quit, quit, "Queue QUIT.");
OPERATION(receive_eof, receive_eof, "The server closed the connection.");

#undef OPERATION

constexpr Param hello_params[] = {self_param, {"name", "str", Rule::Str, Default::Required}};

PyObject* Engine_hello(FunctionObject*, Args<hello_params> args) {
    smtp::Client& client = client_of(args["self"], "hello");
    return PyBool_FromLong(client.hello(utf8_view(args["name"])));
}

const Signature hello_signature = define<Engine_hello>({
    .name = "hello",
    .qualname = "Engine.hello",
    .doc = "Queue EHLO (HELO if refused); False for a name that cannot go in a command.",
    .returns = "bool",
});

constexpr Param login_params[] = {
    self_param,
    {"user", "str", Rule::Str, Default::Required},
    {"password", "str", Rule::Str, Default::Required},
};

PyObject* Engine_login(FunctionObject*, Args<login_params> args) {
    smtp::Client& client = client_of(args["self"], "login");
    client.login(smtp::password_mechanisms(utf8_view(args["user"]), utf8_view(args["password"])));
    Py_RETURN_NONE;
}

const Signature login_signature = define<Engine_login>({
    .name = "login",
    .qualname = "Engine.login",
    .doc = "Queue AUTH with CRAM-MD5, PLAIN or LOGIN, whichever the server offers first.",
    .returns = "None",
});

constexpr Param login_token_params[] = {
    self_param,
    {"mechanism", "str", Rule::Str, Default::Required},
    {"user", "str", Rule::Str, Default::Required},
    {"token", "str", Rule::Str, Default::Required},
    {"host", "str", Rule::Str, Default::Text, 0, ""},
    {"port", "int", Rule::Int, Default::Int, 0},
};

Ref Engine_login_token(FunctionObject*, Args<login_token_params> args) {
    smtp::Client& client = client_of(args["self"], "login_token");
    const std::string mechanism(utf8_view(args["mechanism"]));
    if (mechanism != "XOAUTH2" && mechanism != "OAUTHBEARER")
        raise(PyExc_ValueError, "mechanism must be 'XOAUTH2' or 'OAUTHBEARER'");
    const long port = PyLong_AsLong(args["port"]);
    if (port == -1 && PyErr_Occurred()) raise_error();
    std::vector<std::unique_ptr<smtp::Mechanism>> mechanisms;
    mechanisms.push_back(smtp::bearer_mechanism(
        mechanism == "XOAUTH2" ? smtp::Bearer::XOAuth2 : smtp::Bearer::OAuthBearer,
        utf8_view(args["user"]), utf8_view(args["token"]), utf8_view(args["host"]),
        static_cast<unsigned>(port)));
    client.login(std::move(mechanisms));
    return Ref::borrow(Py_None);
}

const Signature login_token_signature = define<Engine_login_token>({
    .name = "login_token",
    .doc = "Queue AUTH XOAUTH2 or OAUTHBEARER with a bearer token.",
    .returns = "None",
});

constexpr Param send_params[] = {
    self_param,
    {"sender", "str", Rule::Str, Default::Required},
    {"recipients", "list[str]", Rule::List, Default::Required},
    {"text", "bytes", Rule::Any, Default::Required},
    {"smtputf8", "bool", Rule::Truth, Default::False},
};

PyObject* Engine_send(FunctionObject*, Args<send_params> args) {
    EngineObject* engine = as_engine(args["self"]);
    smtp::Client& client = client_of(args["self"], "send");
    PyObject* list = args["recipients"];
    std::vector<std::string_view> recipients;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        PyObject* recipient = PyList_GET_ITEM(list, i);
        if (!PyUnicode_Check(recipient)) {
            raise_incorrect_type("recipients", "list[str]", nullptr, recipient);
        }
        // The list holds each str, and its UTF-8 form lives with it.
        recipients.push_back(utf8_view(recipient));
    }
    smtp::Message message;
    message.sender = utf8_view(args["sender"]);
    message.recipients = recipients;
    message.text = bytes_argument(args["text"], "text");
    message.tag = engine->last_tag + 1;
    message.smtputf8 = args["smtputf8"] == Py_True;
    Ref tag = checked(PyLong_FromUnsignedLongLong(message.tag));
    // Held before the engine may read it, and before an event may let it go.
    checked(PyDict_SetItem(engine->texts, tag.get(), args["text"]));
    switch (client.send(message)) {
    case smtp::Submitted::Queued:
        break;
    case smtp::Submitted::NoRecipients:
        checked(PyDict_DelItem(engine->texts, tag.get()));
        raise(PyExc_ValueError, "no recipients");
    case smtp::Submitted::BadAddress:
        checked(PyDict_DelItem(engine->texts, tag.get()));
        raise(PyExc_ValueError, "an address holds CR, LF or NUL, or a recipient is empty");
    }
    ++engine->last_tag;
    return tag.release();
}

const Signature send_signature = define<Engine_send>({
    .name = "send",
    .qualname = "Engine.send",
    .doc = "Queue a message; returns its tag, which its events carry.",
    .returns = "int",
});

constexpr Param receive_params[] = {self_param, {"data", "bytes", Rule::Any, Default::Required}};

PyObject* Engine_receive(FunctionObject*, Args<receive_params> args) {
    smtp::Client& client = client_of(args["self"], "receive");
    client.receive(bytes_argument(args["data"], "data"));
    Py_RETURN_NONE;
}

const Signature receive_signature = define<Engine_receive>({
    .name = "receive",
    .qualname = "Engine.receive",
    .doc = "Feed bytes read from the server.",
    .returns = "None",
});

// ---------------------------------------------------------------------------
// What comes out.

constexpr Param output_params[] = {self_param, {"limit", "int", Rule::Int, Default::Int, -1}};

PyObject* Engine_output(FunctionObject*, Args<output_params> args) {
    smtp::Client& client = client_of(args["self"], "output");
    const Py_ssize_t limit = PyLong_AsSsize_t(args["limit"]);
    if (limit == -1 && PyErr_Occurred()) raise_error();
    std::string_view pending = client.output();
    if (limit >= 0) pending = pending.substr(0, static_cast<std::size_t>(limit));
    Ref taken =
        checked(PyBytes_FromStringAndSize(pending.data(), static_cast<Py_ssize_t>(pending.size())));
    client.consume(pending.size());
    return taken.release();
}

const Signature output_signature = define<Engine_output>({
    .name = "output",
    .qualname = "Engine.output",
    .doc = "Take the bytes to write (at most `limit` of them when it is not negative),\n"
           "as a driver that has written them.",
    .returns = "bytes",
});

Ref text_of(const std::string& text) {
    return checked(
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogateescape"));
}

Ref reply_of(const smtp::Reply& reply) {
    Ref code = checked(PyLong_FromLong(reply.code));
    Ref text = text_of(reply.text);
    return checked(PyTuple_Pack(2, code.get(), text.get()));
}

void set_item(PyObject* dict, const char* key, const Ref& value) {
    checked(PyDict_SetItemString(dict, key, value.get()));
}

const char* extension_name(smtp::Extension extension) {
    switch (extension) {
    case smtp::Extension::None:
        return "";
    case smtp::Extension::StartTls:
        return "STARTTLS";
    case smtp::Extension::Auth:
        return "AUTH";
    case smtp::Extension::AuthMechanism:
        return "AUTH mechanism";
    case smtp::Extension::SmtpUtf8:
        return "SMTPUTF8";
    }
    return "";
}

// {"kind": "refused", "command": "RCPT", "reply": (550, "..."), "tag": 1, ...}
// with only the keys that mean something for the event.
Ref event_dict(const smtp::Event& event) {
    Ref dict = checked(PyDict_New());
    set_item(dict.get(), "kind", checked(PyUnicode_FromString(smtp::event_name(event.kind))));
    if (event.command != smtp::Command::None)
        set_item(dict.get(), "command",
                 checked(PyUnicode_FromString(smtp::command_name(event.command))));
    if (event.reply.code) set_item(dict.get(), "reply", reply_of(event.reply));
    if (event.tag) set_item(dict.get(), "tag", checked(PyLong_FromUnsignedLongLong(event.tag)));
    if (event.missing != smtp::Extension::None)
        set_item(dict.get(), "missing",
                 checked(PyUnicode_FromString(extension_name(event.missing))));
    if (!event.detail.empty()) set_item(dict.get(), "detail", text_of(event.detail));
    if (!event.recipients.empty()) {
        Ref list = checked(PyList_New(0));
        for (const smtp::Reply& reply : event.recipients)
            checked(PyList_Append(list.get(), reply_of(reply).get()));
        set_item(dict.get(), "recipients", list);
    }
    return dict;
}

PyObject* Engine_events(FunctionObject*, Args<self_only> args) {
    EngineObject* engine = as_engine(args["self"]);
    smtp::Client& client = client_of(args["self"], "events");
    Ref list = checked(PyList_New(0));
    smtp::Event event;
    while (client.next_event(event)) {
        checked(PyList_Append(list.get(), event_dict(event).get()));
        // After a message's last event the engine reads its text no more.
        if (event.tag && event.kind != smtp::EventKind::TextReady) {
            Ref tag = checked(PyLong_FromUnsignedLongLong(event.tag));
            checked(PyDict_Pop(engine->texts, tag.get(), nullptr));
        }
    }
    return list.release();
}

const Signature events_signature = define<Engine_events>({
    .name = "events",
    .qualname = "Engine.events",
    .doc = "Take the events so far, oldest first, as dicts.",
    .returns = "list[dict]",
});

PyObject* Engine_capabilities(FunctionObject*, Args<self_only> args) {
    const smtp::Capabilities& caps = client_of(args["self"], "capabilities").capabilities();
    Ref dict = checked(PyDict_New());
    const std::pair<const char*, bool> flags[] = {
        {"esmtp", caps.esmtp},       {"pipelining", caps.pipelining},
        {"chunking", caps.chunking}, {"8bitmime", caps.eight_bit_mime},
        {"smtputf8", caps.smtputf8}, {"starttls", caps.starttls},
        {"auth", caps.auth},         {"size", caps.size},
    };
    for (const auto& [name, value] : flags)
        set_item(dict.get(), name, Ref::borrow(value ? Py_True : Py_False));
    set_item(dict.get(), "size_limit", checked(PyLong_FromUnsignedLongLong(caps.size_limit)));
    Ref mechanisms = checked(PyList_New(0));
    for (const std::string& mechanism : caps.mechanisms)
        checked(PyList_Append(mechanisms.get(), text_of(mechanism).get()));
    set_item(dict.get(), "mechanisms", mechanisms);
    set_item(dict.get(), "greeting", text_of(caps.greeting));
    return dict.release();
}

const Signature capabilities_signature = define<Engine_capabilities>({
    .name = "capabilities",
    .qualname = "Engine.capabilities",
    .doc = "What the server's last reply to EHLO offered, as a dict.",
    .returns = "dict",
});

PyObject* Engine_busy(FunctionObject*, Args<self_only> args) {
    return PyBool_FromLong(client_of(args["self"], "busy").busy());
}

const Signature busy_signature = define<Engine_busy>({
    .name = "busy",
    .qualname = "Engine.busy",
    .doc = "Whether replies are awaited or operations are queued.",
    .returns = "bool",
});

// ---------------------------------------------------------------------------
// The type.

int engine_traverse(PyObject* object, visitproc visit, void* arg) noexcept {
    Py_VISIT(Py_TYPE(object));
    Py_VISIT(as_engine(object)->texts);
    return 0;
}

// The engine goes before the texts it reads.
int engine_clear(PyObject* object) noexcept {
    EngineObject* engine = as_engine(object);
    delete engine->client;
    engine->client = nullptr;
    Py_CLEAR(engine->texts);
    return 0;
}

void engine_dealloc(PyObject* object) noexcept {
    PyTypeObject* type = Py_TYPE(object);
    PyObject_GC_UnTrack(object);
    engine_clear(object);
    type->tp_free(object);
    Py_DECREF(type);
}

PyType_Slot engine_slots[] = {
    type_slot(Py_tp_doc, "The SMTP engine, fed and read by hand (for the tests)."),
    type_slot(Py_tp_dealloc, engine_dealloc),
    type_slot(Py_tp_traverse, engine_traverse),
    type_slot(Py_tp_clear, engine_clear),
    {},
};

PyType_Spec engine_spec = {
    .name = "vantrel._smtp.Engine",
    .basicsize = sizeof(EngineObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .slots = engine_slots,
};

void module_body(ModuleFrame& frame, PyObject*) {
    if (!engine_type) {
        Ref type = frame.native_class(engine_spec, {});
        for (const Signature* signature :
             {&init_signature, &hello_signature, &starttls_signature, &tls_established_signature,
              &login_signature, &login_token_signature, &send_signature, &reset_signature,
              &noop_signature, &quit_signature, &receive_signature, &receive_eof_signature,
              &output_signature, &events_signature, &capabilities_signature, &busy_signature}) {
            Ref method = frame.function(*signature);
            checked(PyObject_SetAttrString(type.get(), signature->description.name, method.get()));
        }
        engine_type = reinterpret_cast<PyTypeObject*>(type.release());
    }
    frame.bind("Engine", reinterpret_cast<PyObject*>(engine_type));
}

} // namespace

PyMODINIT_FUNC PyInit__smtp() noexcept {
    return hook_module.init();
}
