// vantrel.testing: SentMessage, the Outbox, its rehearsals and capture().
#include "testing/testing.hpp"

#include <array>
#include <cerrno>

namespace vantrel::testing {
namespace {

Name n_quoteaddr{"quoteaddr"};
Name n_message_from_string{"message_from_string"};
Name n_message_from_bytes{"message_from_bytes"};
Name n_policy{"policy"};
Name n_default{"default"};
KwNames kw_policy{"policy"};
Text t_Subject{"Subject"};
Text t_ssl{"ssl"};
Text t_starttls{"starttls"};
Text t_plain{"plain"};

// The texts of rehearsed refusals when the test gives none.
constexpr const char* recipient_refused = "5.1.1 Recipient address rejected: User unknown";
constexpr const char* sender_refused = "5.7.1 Sender address rejected: not owned by user";
constexpr const char* login_refused = "5.7.8 Authentication credentials invalid";
constexpr const char* token_refused = "5.7.8 Username and Password not accepted";

// The fields of an outbox and of a sent message are set when it is made and
// never emptied, so those types need no tp_clear: every object they hold is
// either made here (a list, dicts, a tuple of a code and bytes, a parsed
// message) or existed before them, so a cycle through them runs through a
// list, a dict or an object's namespace too, which the collector clears.

// ---------------------------------------------------------------------------
// class SentMessage: one delivered message.

using SentMessageFields =
    Fields<SentMessageObject, &SentMessageObject::mail_from, &SentMessageObject::rcpt_tos,
           &SentMessageObject::message, &SentMessageObject::text, &SentMessageObject::host,
           &SentMessageObject::port, &SentMessageObject::mode, &SentMessageObject::username,
           &SentMessageObject::mechanism>;

PyObject* sent_message_repr(PyObject* object) noexcept {
    return guarded(
        [&] {
            SentMessageObject* sent = as<SentMessageObject>(object);
            Ref subject = checked(PyObject_GetItem(sent->message, t_Subject.get()));
            return checked(PyUnicode_FromFormat("<SentMessage from %R to %R, subject %R>",
                                                sent->mail_from, sent->rcpt_tos, subject.get()))
                .release();
        },
        static_cast<PyObject*>(nullptr));
}

#define SENT_FIELD(name, doc)                                                                      \
    {#name, Py_T_OBJECT_EX, offsetof(SentMessageObject, name), Py_READONLY, doc}

PyMemberDef sent_message_members[] = {
    SENT_FIELD(mail_from, "The envelope sender, as passed to the server."),
    SENT_FIELD(rcpt_tos, "The envelope recipients the server accepted, in the order given: "
                         "every recipient unless refusals were rehearsed.  Blind copies are "
                         "here and in no header."),
    SENT_FIELD(message, "The message as an email.message.EmailMessage, parsed with "
                        "email.policy.default from text."),
    SENT_FIELD(text, "The message text as the server received it: from a Session, a str with "
                     "CRLF line ends and the dots of DATA removed; from EasyMailer, what it "
                     "handed to smtplib."),
    SENT_FIELD(host, "The host the connection was opened to."),
    SENT_FIELD(port, "The port the connection was opened to (25 or 465 when none was given)."),
    SENT_FIELD(mode, "'ssl' (implicit TLS), 'starttls' or 'plain'."),
    SENT_FIELD(username, "The login of the connection, or None without one.  The password is "
                         "not kept."),
    SENT_FIELD(mechanism, "The AUTH mechanism of the login: 'PLAIN', 'LOGIN', 'XOAUTH2', "
                          "'OAUTHBEARER', or None without one."),
    {nullptr, 0, 0, 0, nullptr},
};

#undef SENT_FIELD

PyType_Slot sent_message_slots[] = {
    type_slot(Py_tp_dealloc, SentMessageFields::dealloc),
    type_slot(Py_tp_traverse, SentMessageFields::traverse),
    type_slot(Py_tp_repr, sent_message_repr),
    type_slot(Py_tp_members, sent_message_members),
    type_slot(Py_tp_doc, "A message delivered while a capture was active: its envelope\n"
                         "(mail_from, rcpt_tos), its text and parsed message, and the\n"
                         "connection it went over (host, port, mode, username, mechanism)."),
    {},
};

PyType_Spec sent_message_spec = {
    .name = "vantrel.testing.SentMessage",
    .basicsize = sizeof(SentMessageObject),
    .itemsize = 0,
    .flags = native_flags,
    .slots = sent_message_slots,
};

// ---------------------------------------------------------------------------
// class Outbox: the delivered messages and the rehearsed failures.

using OutboxFields = Fields<OutboxObject, &OutboxObject::messages,
                            &OutboxObject::refused_recipients, &OutboxObject::refused_senders,
                            &OutboxObject::login_refusal, &OutboxObject::token_refusals>;

} // namespace

OutboxObject* outbox_of(PyObject* object, const char* method) {
    return instance_of<OutboxObject>(object, method);
}

namespace {

Py_ssize_t outbox_length(PyObject* object) noexcept {
    return PyList_GET_SIZE(as<OutboxObject>(object)->messages);
}

PyObject* outbox_item(PyObject* object, Py_ssize_t index) noexcept {
    PyObject* messages = as<OutboxObject>(object)->messages;
    if (index < 0 || index >= PyList_GET_SIZE(messages)) {
        PyErr_SetString(PyExc_IndexError, "outbox index out of range");
        return nullptr;
    }
    return Py_NewRef(PyList_GET_ITEM(messages, index));
}

// outbox[i] counts from the end for a negative i; outbox[i:j] is a list.
PyObject* outbox_subscript(PyObject* object, PyObject* key) noexcept {
    PyObject* messages = as<OutboxObject>(object)->messages;
    if (PySlice_Check(key)) return PyObject_GetItem(messages, key);
    if (!PyIndex_Check(key)) {
        PyErr_Format(PyExc_TypeError, "outbox indices must be integers or slices, not %.200s",
                     Py_TYPE(key)->tp_name);
        return nullptr;
    }
    Py_ssize_t index = PyNumber_AsSsize_t(key, PyExc_IndexError);
    if (index == -1 && PyErr_Occurred()) return nullptr;
    if (index < 0) index += PyList_GET_SIZE(messages);
    return outbox_item(object, index);
}

PyObject* outbox_iter(PyObject* object) noexcept {
    return PyObject_GetIter(as<OutboxObject>(object)->messages);
}

PyObject* outbox_repr(PyObject* object) noexcept {
    const Py_ssize_t count = outbox_length(object);
    return PyUnicode_FromFormat("<Outbox: %zd message%s>", count, count == 1 ? "" : "s");
}

PyType_Slot outbox_slots[] = {
    type_slot(Py_tp_dealloc, OutboxFields::dealloc),
    type_slot(Py_tp_traverse, OutboxFields::traverse),
    type_slot(Py_tp_repr, outbox_repr),
    type_slot(Py_tp_iter, outbox_iter),
    {Py_sq_length, reinterpret_cast<void*>(outbox_length)},
    {Py_sq_item, reinterpret_cast<void*>(outbox_item)},
    {Py_mp_length, reinterpret_cast<void*>(outbox_length)},
    {Py_mp_subscript, reinterpret_cast<void*>(outbox_subscript)},
    type_slot(Py_tp_doc,
              "The messages delivered while a capture is active, oldest first, and the\n"
              "failures to rehearse.\n"
              "\n"
              "capture() makes one.  It is a sequence of SentMessage (len(), outbox[i],\n"
              "outbox[i:j], iteration); a context manager that makes the capture active;\n"
              "and a decorator: `@outbox` makes it active around each call of a function\n"
              "(while the call is awaited, for a coroutine function).\n"
              "Messages stay until clear(); rehearsed failures stay for the outbox's life.\n"
              "\n"
              "A capture is process-wide: while it is active, every thread that sends\n"
              "through vantrel delivers to it.  Captures nest; the innermost one receives."),
    {},
};

PyType_Spec outbox_spec = {
    .name = "vantrel.testing.Outbox",
    .basicsize = sizeof(OutboxObject),
    .itemsize = 0,
    .flags = native_flags,
    .slots = outbox_slots,
};

// (code, text) for a rehearsed refusal; a code must be a failure reply.
Ref refusal(PyObject* code, PyObject* message, const char* fallback) {
    const long value = PyLong_AsLong(code);
    if (value == -1 && PyErr_Occurred()) raise_error();
    if (value < 400 || value > 599) {
        raise_format(PyExc_ValueError, "code must be a 4xx or 5xx reply code, not %ld", value);
    }
    Ref text = message == Py_None ? checked(PyBytes_FromString(fallback))
                                  : checked(PyUnicode_AsUTF8String(message));
    return checked(PyTuple_Pack(2, code, text.get()));
}

} // namespace

Ref connect_to_capture(std::uint64_t& serial) {
    const Active& receiving = receiving_capture();
    serial = receiving.serial;
    OutboxObject* o = as<OutboxObject>(receiving.outbox.get());
    if (o->disconnects > 0) {
        o->disconnects -= 1;
        raise_errno(ECONNREFUSED);
    }
    return receiving.outbox;
}

void record_message(PyObject* outbox, const Recorded& recorded) {
    Ref policy = getattr(testing_module.global(n_policy), n_default);
    const bool is_str = PyUnicode_Check(recorded.parsed_from);
    Ref message =
        call_kw(testing_module.global(is_str ? n_message_from_string : n_message_from_bytes),
                kw_policy, Ref::borrow(recorded.parsed_from), policy);
    const Text& mode = recorded.mode == Mode::Ssl        ? t_ssl
                       : recorded.mode == Mode::Starttls ? t_starttls
                                                         : t_plain;
    Ref record = new_instance<SentMessageObject>();
    SentMessageObject* sent = as<SentMessageObject>(record.get());
    sent->mail_from = Py_NewRef(recorded.mail_from);
    sent->rcpt_tos = Py_NewRef(recorded.rcpt_tos);
    sent->message = message.release();
    sent->text = Py_NewRef(recorded.text);
    sent->host = Py_NewRef(recorded.host);
    sent->port = Py_NewRef(recorded.port);
    sent->mode = Py_NewRef(mode.get());
    sent->username = Py_NewRef(recorded.username);
    sent->mechanism = Py_NewRef(recorded.mechanism);
    checked(PyList_Append(as<OutboxObject>(outbox)->messages, record.get()));
}

Ref quoted_address(PyObject* address) {
    return call(getattr(testing_module.global(n_smtplib), n_quoteaddr), address);
}

Ref unquoted(Ref quoted) {
    if (PyUnicode_Check(quoted.get())) {
        const Py_ssize_t length = PyUnicode_GET_LENGTH(quoted.get());
        if (length >= 2 && PyUnicode_READ_CHAR(quoted.get(), 0) == '<' &&
            PyUnicode_READ_CHAR(quoted.get(), length - 1) == '>') {
            return checked(PyUnicode_Substring(quoted.get(), 1, length - 1));
        }
    }
    return quoted;
}

Ref refusal_for(PyObject* refusals, PyObject* key) {
    PyObject* found = nullptr;
    checked(PyDict_GetItemRef(refusals, key, &found));
    return Ref::steal(found);
}

bool code_is(PyObject* refusal, long code) {
    return PyLong_AsLong(PyTuple_GET_ITEM(refusal, 0)) == code;
}

namespace {

Ref envelope_address(PyObject* address) {
    return unquoted(quoted_address(address));
}

constexpr Param refuse_recipient_params[] = {
    self_param,
    {"address", "str", Rule::Str, Default::Required},
    {"code", "int", Rule::Int, Default::Int, 550},
    {"message", "Optional[str]", Rule::OptStr, Default::None},
};

Ref Outbox_refuse_recipient(FunctionObject*, Args<refuse_recipient_params> args) {
    OutboxObject* outbox = outbox_of(args["self"], "refuse_recipient");
    Ref value = refusal(args["code"], args["message"], recipient_refused);
    checked(PyDict_SetItem(outbox->refused_recipients, envelope_address(args["address"]).get(),
                           value.get()));
    return none();
}

const Signature refuse_recipient_signature = define<Outbox_refuse_recipient>({
    .name = "refuse_recipient",
    .doc = "Refuse this recipient address at RCPT TO from now on, with this reply code and text.\n"
           "\n"
           "Delivery then fails as against a real server: sendmail raises\n"
           "smtplib.SMTPRecipientsRefused when it refuses every recipient of a message; when it\n"
           "refuses only some, the message is delivered to the others and EasyMailer raises its\n"
           "partial refusal, smtplib.SMTPRecipientsRefused naming the refused ones.  A display\n"
           "name does not matter: \"Ann <ann@example.com>\" is the address ann@example.com.",
    .returns = "None",
});

constexpr Param refuse_sender_params[] = {
    self_param,
    {"address", "Optional[str]", Rule::OptStr, Default::None},
    {"code", "int", Rule::Int, Default::Int, 553},
    {"message", "Optional[str]", Rule::OptStr, Default::None},
};

Ref Outbox_refuse_sender(FunctionObject*, Args<refuse_sender_params> args) {
    OutboxObject* outbox = outbox_of(args["self"], "refuse_sender");
    Ref value = refusal(args["code"], args["message"], sender_refused);
    Ref key = args["address"] == Py_None ? Ref::borrow(Py_None) : envelope_address(args["address"]);
    checked(PyDict_SetItem(outbox->refused_senders, key.get(), value.get()));
    return none();
}

const Signature refuse_sender_signature = define<Outbox_refuse_sender>({
    .name = "refuse_sender",
    .doc = "Refuse this envelope sender at MAIL FROM from now on (every sender when address is\n"
           "None): delivery raises smtplib.SMTPSenderRefused(code, message, sender).  A 421 reply\n"
           "also closes the connection, as smtplib does.",
    .returns = "None",
});

constexpr Param refuse_login_params[] = {
    self_param,
    {"code", "int", Rule::Int, Default::Int, 535},
    {"message", "Optional[str]", Rule::OptStr, Default::None},
};

Ref Outbox_refuse_login(FunctionObject*, Args<refuse_login_params> args) {
    OutboxObject* outbox = outbox_of(args["self"], "refuse_login");
    Ref value = refusal(args["code"], args["message"], login_refused);
    Py_XSETREF(outbox->login_refusal, value.release());
    return none();
}

const Signature refuse_login_signature = define<Outbox_refuse_login>({
    .name = "refuse_login",
    .doc = "Refuse every login from now on: login raises smtplib.SMTPAuthenticationError(code,\n"
           "message), and nothing is sent.",
    .returns = "None",
});

constexpr Param refuse_token_params[] = {
    self_param,
    {"code", "int", Rule::Int, Default::Int, 535},
    {"message", "Optional[str]", Rule::OptStr, Default::None},
};

Ref Outbox_refuse_token(FunctionObject*, Args<refuse_token_params> args) {
    OutboxObject* outbox = outbox_of(args["self"], "refuse_token");
    Ref value = refusal(args["code"], args["message"], token_refused);
    checked(PyList_Append(outbox->token_refusals, value.get()));
    return none();
}

const Signature refuse_token_signature = define<Outbox_refuse_token>({
    .name = "refuse_token",
    .doc = "Refuse the next sign-in with a token (XOAUTH2 or OAUTHBEARER) as a provider refuses\n"
           "an expired or revoked one: the server answers AUTH with 334 and a base64 JSON\n"
           "challenge, the client answers it (an empty line, or ^A), and the server ends with\n"
           "this reply code and text.  Each call refuses one more sign-in; a session that\n"
           "fetches a new token and signs in again then succeeds.",
    .returns = "None",
});

constexpr Param disconnect_params[] = {self_param};

Ref Outbox_disconnect(FunctionObject*, Args<disconnect_params> args) {
    outbox_of(args["self"], "disconnect")->disconnects += 1;
    return none();
}

const Signature disconnect_signature = define<Outbox_disconnect>({
    .name = "disconnect",
    .doc = "Make the next connection attempt fail as one to a server that is not listening:\n"
           "ConnectionRefusedError(111, 'Connection refused').  Each call fails one more attempt.",
    .returns = "None",
});

constexpr Param clear_params[] = {self_param};

Ref Outbox_clear(FunctionObject*, Args<clear_params> args) {
    PyObject* messages = outbox_of(args["self"], "clear")->messages;
    checked(PyList_SetSlice(messages, 0, PyList_GET_SIZE(messages), nullptr));
    return none();
}

const Signature clear_signature = define<Outbox_clear>({
    .name = "clear",
    .doc = "Forget the messages delivered so far (not the rehearsals).",
    .returns = "None",
});

constexpr std::array<Param, 0> capture_params{};

Ref capture(FunctionObject*, Args<capture_params>) {
    Ref outbox = new_instance<OutboxObject>();
    OutboxObject* o = as<OutboxObject>(outbox.get());
    o->messages = checked(PyList_New(0)).release();
    o->refused_recipients = checked(PyDict_New()).release();
    o->refused_senders = checked(PyDict_New()).release();
    o->login_refusal = Py_NewRef(Py_None);
    o->token_refusals = checked(PyList_New(0)).release();
    return outbox;
}

} // namespace

const Signature capture_signature = define<capture>({
    .name = "capture",
    .doc = "Return a new Outbox, which captures what vantrel sends while it is active.\n"
           "\n"
           "    with capture() as outbox:\n"
           "        mailer.send(to=\"ann@example.com\", subject=\"Hi\", body=\"...\")\n"
           "    assert outbox[0].message[\"Subject\"] == \"Hi\"\n"
           "\n"
           "While active, what vantrel connects through (smtplib in vantrel.mailer, _connect in\n"
           "vantrel.session) is a stand-in whose connections deliver to the outbox: the TLS\n"
           "context is still made, and STARTTLS, login and submission run as against a server\n"
           "that accepts everything.  On exit, also\n"
           "on error, each module gets back exactly what it had.  Captures nest.  An outbox is\n"
           "also a decorator: `@outbox` makes it active around each call of the function (while\n"
           "the call is awaited, for a coroutine function).\n"
           "\n"
           "A capture is process-wide: it rebinds module names, so every thread that sends\n"
           "through vantrel while it is active delivers to it.",
    .returns = "Outbox",
});

Ref make_outbox_types(ModuleFrame& frame) {
    native_type(frame, SentMessageObject::type, sent_message_spec, {});
    return native_type(frame, OutboxObject::type, outbox_spec,
                       {enter_signature, exit_signature, call_signature, clear_signature,
                        refuse_recipient_signature, refuse_sender_signature, refuse_login_signature,
                        refuse_token_signature, disconnect_signature});
}

} // namespace vantrel::testing
