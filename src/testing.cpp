// vantrel.testing: capture() and its Outbox.  While a capture is active, the
// module-level name `smtplib` of vantrel.mailer (and of vantrel.session) is a
// stand-in whose SMTP and SMTP_SSL open connections to the outbox instead of
// a server.  The delivery code runs unchanged against them, and every message
// it submits is recorded; the failures a server gives can be rehearsed.
#include "frame/frame.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <new>
#include <vector>

using namespace vantrel;

namespace {

void module_body(ModuleFrame& frame, PyObject* module);

ModuleFrame testing_module{"testing", "vantrel.testing", module_body};

Name n_smtplib{"smtplib"};
Name n_SMTPAuthenticationError{"SMTPAuthenticationError"};
Name n_SMTPNotSupportedError{"SMTPNotSupportedError"};
Name n_SMTPRecipientsRefused{"SMTPRecipientsRefused"};
Name n_SMTPSenderRefused{"SMTPSenderRefused"};
Name n_SMTPServerDisconnected{"SMTPServerDisconnected"};
Name n_quoteaddr{"quoteaddr"};
Name n_fix_eols{"_fix_eols"};
Name n_encode{"encode"};
Name n_message_from_string{"message_from_string"};
Name n_message_from_bytes{"message_from_bytes"};
Name n_policy{"policy"};
Name n_default{"default"};
Name n_update_wrapper{"update_wrapper"};
Name n_iscoroutinefunction{"iscoroutinefunction"};
Name n_markcoroutinefunction{"markcoroutinefunction"};
Name n_throw{"throw"};
Name n_close{"close"};
KwNames kw_policy{"policy"};

// Constant values.
Text t_ascii{"ascii"};
Text t_Subject{"Subject"};
Text t_dunder{"__"};
Text t_ssl{"ssl"};
Text t_starttls{"starttls"};
Text t_plain{"plain"};
Text t_lf{"\n"};
Text t_cr{"\r"};
Text t_escaped_lf{"\\n"};
Text t_escaped_cr{"\\r"};

// Replies of a server that accepts everything, as smtplib returns them.
constexpr const char* ready_for_tls = "Ready to start TLS";
constexpr const char* authenticated = "2.7.0 Authentication successful";
constexpr const char* bye = "Bye";
// The texts of rehearsed refusals when the test gives none.
constexpr const char* recipient_refused = "5.1.1 Recipient address rejected: User unknown";
constexpr const char* sender_refused = "5.7.1 Sender address rejected: not owned by user";
constexpr const char* login_refused = "5.7.8 Authentication credentials invalid";

// Raises smtplib's exception class of that name (the real smtplib, read at
// each use) made from these arguments.
template <class... Args> [[noreturn]] void raise_smtplib(const Name& error, const Args&... args) {
    Ref instance = call(getattr(testing_module.global(n_smtplib), error), args...);
    raise_exception(instance.get());
}

Ref as_str(const char* value) {
    return checked(PyUnicode_FromString(value));
}

// ---------------------------------------------------------------------------
// Native instances, with the frame's Fields for their GC steps.  The fields of
// an outbox and of a sent message are set when it is made and never emptied,
// so those types need no tp_clear: every object they hold is either made here
// (a list, dicts, a tuple of a code and bytes, a parsed message) or existed
// before them, so a cycle through them runs through a list, a dict or an
// object's namespace too, which the collector clears.

constexpr unsigned native_flags =
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION;

// ---------------------------------------------------------------------------
// class SentMessage: one delivered message.

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

using SentMessageFields =
    Fields<SentMessageObject, &SentMessageObject::mail_from, &SentMessageObject::rcpt_tos,
           &SentMessageObject::message, &SentMessageObject::text, &SentMessageObject::host,
           &SentMessageObject::port, &SentMessageObject::mode, &SentMessageObject::username>;

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
    SENT_FIELD(text, "The message text handed to the server."),
    SENT_FIELD(host, "The host the connection was opened to."),
    SENT_FIELD(port, "The port the connection was opened to (25 or 465 when none was given)."),
    SENT_FIELD(mode, "'ssl' (implicit TLS), 'starttls' or 'plain'."),
    SENT_FIELD(username, "The login of the connection, or None without one.  The password is "
                         "not kept."),
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
                         "connection it went over (host, port, mode, username)."),
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

struct OutboxObject {
    PyObject_HEAD
    PyObject* messages;               // list of SentMessage, in delivery order
    PyObject* refused_recipients;     // dict: envelope address -> (code, text)
    PyObject* refused_senders;        // dict: envelope address, None for all -> (code, text)
    PyObject* login_refusal;          // (code, text), or None
    Py_ssize_t disconnects;           // connection attempts still to refuse
    static inline PyTypeObject* type; // made by the module body, kept for the process
};

using OutboxFields =
    Fields<OutboxObject, &OutboxObject::messages, &OutboxObject::refused_recipients,
           &OutboxObject::refused_senders, &OutboxObject::login_refusal>;

OutboxObject* outbox_of(PyObject* object, const char* method) {
    return instance_of<OutboxObject>(object, method);
}

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

// The address as smtplib writes it into MAIL FROM or RCPT TO: "<address>",
// the address part of "Name <address>".
Ref quoted_address(PyObject* address) {
    return call(getattr(testing_module.global(n_smtplib), n_quoteaddr), address);
}

// A quoted address without its angle brackets, as a server sees it.
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

Ref envelope_address(PyObject* address) {
    return unquoted(quoted_address(address));
}

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

// The refusal rehearsed for `key` in a dict of them, or an empty Ref.
Ref refusal_for(PyObject* refusals, PyObject* key) {
    PyObject* found = nullptr;
    checked(PyDict_GetItemRef(refusals, key, &found));
    return Ref::steal(found);
}

bool code_is(PyObject* refusal, long code) {
    return PyLong_AsLong(PyTuple_GET_ITEM(refusal, 0)) == code;
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

// ---------------------------------------------------------------------------
// Active captures.

// The modules whose `smtplib` a capture rebinds, and the stand-in module
// that each capture copies to bind there; both made at import and kept for
// the process.
PyObject* targets;
PyObject* standin;

// A capture that has begun and not ended: its outbox, its number, and what it
// found bound to `smtplib` in each target module (an empty Ref where the name
// was unbound).
struct Active {
    Ref outbox;
    std::uint64_t serial;
    std::vector<Ref> saved;
};

// The number of the capture that began last.  A connection remembers the
// capture it was opened in by its number, which no other capture of the
// process shares.
std::uint64_t last_serial;

// Innermost last.  Made at import and never destroyed: it holds references,
// which must not be released after the interpreter has gone.
std::vector<Active>* active;

// Binds `smtplib` in every target module to values[i], or unbinds it where
// values[i] is empty.
void bind_targets(const std::vector<Ref>& values) {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(targets); ++i) {
        PyObject* names = PyModule_GetDict(PyTuple_GET_ITEM(targets, i));
        const Ref& value = values[static_cast<size_t>(i)];
        if (value) {
            checked(PyDict_SetItem(names, n_smtplib.get(), value.get()));
        } else {
            checked(PyDict_Pop(names, n_smtplib.get(), nullptr));
        }
    }
}

// Each capture binds a stand-in module of its own, so that what is bound to
// `smtplib` changes whenever a capture begins or ends: a session that
// remembers the module it connected through sees that its connection belongs
// to another capture state.
Ref new_standin() {
    Ref module = checked(PyModule_New("smtplib"));
    checked(PyDict_Update(PyModule_GetDict(module.get()), PyModule_GetDict(standin)));
    return module;
}

// Makes a capture active; returns its number.
std::uint64_t begin_capture(PyObject* outbox) {
    Active entry{Ref::borrow(outbox), last_serial + 1, {}};
    Ref module = new_standin();
    std::vector<Ref> installed;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(targets); ++i) {
        PyObject* found = nullptr;
        checked(PyDict_GetItemRef(PyModule_GetDict(PyTuple_GET_ITEM(targets, i)), n_smtplib.get(),
                                  &found));
        entry.saved.push_back(Ref::steal(found));
        installed.push_back(module);
    }
    active->reserve(active->size() + 1);
    bind_targets(installed);
    last_serial = entry.serial;
    active->push_back(std::move(entry));
    return last_serial;
}

// Ends the innermost active capture that `match` accepts.  Ending one that is
// not the innermost hands what it saved to the capture that began after it,
// which then restores that when it ends.
template <class Match> void end_capture(Match&& match) {
    size_t i = active->size();
    while (i > 0 && !match((*active)[i - 1]))
        --i;
    if (i == 0) {
        raise(PyExc_RuntimeError, "this outbox is not capturing");
    }
    // Released only when the list is consistent again.
    Active ended = std::move((*active)[i - 1]);
    if (i == active->size()) {
        bind_targets(ended.saved);
    } else {
        std::swap((*active)[i].saved, ended.saved);
    }
    active->erase(active->begin() + static_cast<std::ptrdiff_t>(i - 1));
}

// Ends the innermost capture of this outbox, as leaving a with block does.
void end_capture(PyObject* outbox) {
    end_capture([&](const Active& a) { return a.outbox.get() == outbox; });
}

// Ends the capture of this number, wherever it is among the active ones:
// calls of decorated coroutine functions interleave, so the one that ends is
// not always the innermost of its outbox.
void end_capture(std::uint64_t serial) {
    end_capture([&](const Active& a) { return a.serial == serial; });
}

// The innermost active capture, which receives.
const Active& receiving_capture() {
    if (active->empty()) {
        raise(PyExc_RuntimeError, "no vantrel.testing capture is active");
    }
    return active->back();
}

bool capture_active(std::uint64_t serial) {
    return std::ranges::any_of(*active, [&](const Active& a) { return a.serial == serial; });
}

constexpr Param enter_params[] = {self_param};

Ref Outbox_enter(FunctionObject*, Args<enter_params> args) {
    outbox_of(args["self"], "__enter__");
    begin_capture(args["self"]);
    return Ref::borrow(args["self"]);
}

const Signature enter_signature = define<Outbox_enter>({
    .name = "__enter__",
    .doc = "Make this capture active; return the outbox.",
    .returns = "Outbox",
});

constexpr Param exit_params[] = {
    self_param,
    {"exc_type", nullptr, Rule::Any, Default::Required},
    {"exc_value", nullptr, Rule::Any, Default::Required},
    {"traceback", nullptr, Rule::Any, Default::Required},
};

Ref Outbox_exit(FunctionObject*, Args<exit_params> args) {
    outbox_of(args["self"], "__exit__");
    end_capture(args["self"]);
    return none();
}

const Signature exit_signature = define<Outbox_exit>({
    .name = "__exit__",
    .doc = "End this capture: each module gets back what it had when the capture began.",
    .returns = "None",
});

// ---------------------------------------------------------------------------
// A call of a decorated coroutine function.  Awaiting it runs the function
// with the capture active from the first step of its body to the last, as
// `async def call(...): with outbox: return await function(...)` would: the
// capture begins when the awaiting starts, and ends when the body returns or
// raises, or when the call is closed or dropped unfinished.

enum class Run : std::uint8_t { Fresh, Running, Done };

struct CapturingCoroutineObject {
    PyObject_HEAD
    PyObject* outbox;
    PyObject* function;
    PyObject* arguments; // the positional values, then the keyword values
    PyObject* kwnames;   // the keywords, or null
    PyObject* awaiting;  // the iterator of the function's awaitable, while running
    Py_ssize_t positional;
    std::uint64_t capture; // the number of its capture, while running
    Run run;
    bool executing;                   // a step is under way: a second one must not start
    static inline PyTypeObject* type; // made by the module body, kept for the process
};

using CapturingCoroutineFields =
    Fields<CapturingCoroutineObject, &CapturingCoroutineObject::outbox,
           &CapturingCoroutineObject::function, &CapturingCoroutineObject::arguments,
           &CapturingCoroutineObject::kwnames, &CapturingCoroutineObject::awaiting>;

CapturingCoroutineObject* coroutine_of(PyObject* object, const char* method) {
    return instance_of<CapturingCoroutineObject>(object, method);
}

Ref new_capturing_coroutine(PyObject* outbox, PyObject* function, PyObject* const* args,
                            Py_ssize_t positional, PyObject* kwnames) {
    const Py_ssize_t count = positional + (kwnames ? PyTuple_GET_SIZE(kwnames) : 0);
    Ref arguments = checked(PyTuple_New(count));
    for (Py_ssize_t i = 0; i < count; ++i)
        PyTuple_SET_ITEM(arguments.get(), i, Py_NewRef(args[i]));
    Ref made = new_instance<CapturingCoroutineObject>();
    CapturingCoroutineObject* c = as<CapturingCoroutineObject>(made.get());
    c->outbox = Py_NewRef(outbox);
    c->function = Py_NewRef(function);
    c->arguments = arguments.release();
    c->kwnames = Py_XNewRef(kwnames);
    c->positional = positional;
    return made;
}

// What `await` takes from an awaitable: a coroutine itself, or the iterator
// its __await__ returns.
Ref await_iterator(Ref awaitable) {
    if (PyCoro_CheckExact(awaitable.get())) return awaitable;
    PyTypeObject* type = Py_TYPE(awaitable.get());
    unaryfunc await = type->tp_as_async ? type->tp_as_async->am_await : nullptr;
    if (!await) raise_format(PyExc_TypeError, "'%.100s' object can't be awaited", type->tp_name);
    Ref iterator = checked(await(awaitable.get()));
    if (!PyIter_Check(iterator.get())) {
        raise_format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'",
                     Py_TYPE(iterator.get())->tp_name);
    }
    return iterator;
}

// Marks a step under way for its scope; refuses one started inside another,
// as a coroutine does.
class Step {
public:
    explicit Step(CapturingCoroutineObject* c) : c_(c) {
        if (c->executing) raise(PyExc_ValueError, "coroutine already executing");
        c->executing = true;
    }
    ~Step() { c_->executing = false; }
    Step(const Step&) = delete;
    Step& operator=(const Step&) = delete;

private:
    CapturingCoroutineObject* c_;
};

// The body has ended: its capture ends too.  An exception the body raised
// stays the one that propagates; should ending fail, that failure does, with
// the body's exception as its context.
void finish(CapturingCoroutineObject* c) {
    Ref pending = Ref::steal(PyErr_GetRaisedException());
    c->run = Run::Done;
    Py_CLEAR(c->awaiting);
    try {
        end_capture(c->capture);
    } catch (const Error&) {
        Ref failure = Ref::steal(PyErr_GetRaisedException());
        if (pending) PyException_SetContext(failure.get(), pending.release());
        reraise(std::move(failure));
    }
    if (pending) reraise(std::move(pending));
}

// Runs `step` on the running body; the body has ended when it raises.
template <class Work> auto running(CapturingCoroutineObject* c, Work&& step) {
    try {
        return step();
    } catch (const Error&) {
        finish(c);
        throw;
    }
}

// The first step: the capture begins and the function is called inside it.
void start(CapturingCoroutineObject* c) {
    c->capture = begin_capture(c->outbox);
    c->run = Run::Running;
    running(c, [&] {
        PyObject* const* items = reinterpret_cast<PyTupleObject*>(c->arguments)->ob_item;
        Ref awaitable = checked(PyObject_Vectorcall(c->function, items, c->positional, c->kwnames));
        c->awaiting = await_iterator(std::move(awaitable)).release();
    });
}

[[noreturn]] void raise_reused() {
    raise(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
}

// send(value): the value the body yields next, or PYGEN_RETURN with what it
// returned.
PySendResult coroutine_send(PyObject* object, PyObject* value, PyObject** result) {
    *result = nullptr;
    return guarded(
        [&] {
            CapturingCoroutineObject* c = as<CapturingCoroutineObject>(object);
            Step step(c);
            if (c->run == Run::Done) raise_reused();
            if (c->run == Run::Fresh) {
                if (value != Py_None) {
                    raise(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
                }
                start(c);
            }
            PyObject* out = nullptr;
            const PySendResult sent = running(c, [&] {
                const PySendResult body = PyIter_Send(c->awaiting, value, &out);
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

// A result of coroutine_send as an iterator gives it: the value yielded, or
// StopIteration carrying what the body returned.
PyObject* as_iteration(PySendResult sent, PyObject* result) {
    if (sent != PYGEN_RETURN) return result;
    Ref value = Ref::steal(result);
    Ref stop = Ref::steal(PyObject_CallOneArg(PyExc_StopIteration, value.get()));
    if (stop) PyErr_SetObject(PyExc_StopIteration, stop.get());
    return nullptr;
}

PyObject* coroutine_next(PyObject* object) {
    PyObject* result = nullptr;
    const PySendResult sent = coroutine_send(object, Py_None, &result);
    return as_iteration(sent, result);
}

PyObject* coroutine_await(PyObject* object) {
    return Py_NewRef(object);
}

constexpr Param coroutine_send_params[] = {
    self_param,
    {"value", nullptr, Rule::Any, Default::Required},
};

PyObject* CapturingCoroutine_send(FunctionObject*, Args<coroutine_send_params> args) {
    PyObject* self = reinterpret_cast<PyObject*>(coroutine_of(args["self"], "send"));
    PyObject* result = nullptr;
    const PySendResult sent = coroutine_send(self, args["value"], &result);
    return as_iteration(sent, result);
}

const Signature coroutine_send_signature = define<CapturingCoroutine_send>({
    .name = "send",
    .qualname = "capturing_coroutine.send",
    .doc = "Send a value into the body; return the next value it yields, or raise\n"
           "StopIteration with what it returned.",
});

// What throw(typ, val, tb) raises where the body stands, as a generator's
// throw raises it in its own frame.
[[noreturn]] void raise_thrown(PyObject* typ, PyObject* val, PyObject* tb) {
    if (PyExceptionInstance_Check(typ)) {
        if (val != Py_None) {
            raise(PyExc_TypeError, "instance exception may not have a separate value");
        }
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(typ)), typ);
    } else if (PyExceptionClass_Check(typ)) {
        PyErr_SetObject(typ, val);
    } else {
        raise_format(PyExc_TypeError,
                     "exceptions must be classes or instances deriving from BaseException, "
                     "not %.100s",
                     Py_TYPE(typ)->tp_name);
    }
    if (tb == Py_None) raise_error();
    Ref exception = Ref::steal(PyErr_GetRaisedException());
    checked(PyException_SetTraceback(exception.get(), tb));
    reraise(std::move(exception));
}

constexpr Param coroutine_throw_params[] = {
    self_param,
    {"typ", nullptr, Rule::Any, Default::Required},
    {"val", nullptr, Rule::Any, Default::None},
    {"tb", nullptr, Rule::Any, Default::None},
};

Ref CapturingCoroutine_throw(FunctionObject*, Args<coroutine_throw_params> args) {
    CapturingCoroutineObject* c = coroutine_of(args["self"], "throw");
    PyObject* typ = args["typ"];
    PyObject* val = args["val"];
    PyObject* tb = args["tb"];
    Step step(c);
    // Not started, the body never runs: the exception comes out at once.
    if (c->run != Run::Running) {
        c->run = Run::Done;
        raise_thrown(typ, val, tb);
    }
    return running(c, [&] {
        Ref method = optional_attr(c->awaiting, n_throw);
        if (!method) raise_thrown(typ, val, tb);
        // Passed on as given: the three-argument form warns there.
        return tb != Py_None    ? call(method, typ, val, tb)
               : val != Py_None ? call(method, typ, val)
                                : call(method, typ);
    });
}

const Signature coroutine_throw_signature = define<CapturingCoroutine_throw>({
    .name = "throw",
    .qualname = "capturing_coroutine.throw",
    .doc = "Raise an exception where the body waits; return the next value it yields.",
});

constexpr Param coroutine_close_params[] = {self_param};

// Closes the body where it waits; the capture ends.
void close_coroutine(CapturingCoroutineObject* c) {
    Step step(c);
    if (c->run != Run::Running) {
        c->run = Run::Done;
        return;
    }
    running(c, [&] {
        Ref method = optional_attr(c->awaiting, n_close);
        if (method) call(method);
    });
    finish(c);
}

Ref CapturingCoroutine_close(FunctionObject*, Args<coroutine_close_params> args) {
    close_coroutine(coroutine_of(args["self"], "close"));
    return Ref::borrow(Py_None);
}

const Signature coroutine_close_signature = define<CapturingCoroutine_close>({
    .name = "close",
    .qualname = "capturing_coroutine.close",
    .doc = "Close the body where it waits, and end the capture.",
    .returns = "None",
});

// Dropped unfinished, as a coroutine is: closed, so that its capture ends.
void coroutine_finalize(PyObject* object) {
    CapturingCoroutineObject* c = as<CapturingCoroutineObject>(object);
    if (c->run != Run::Running) return;
    Ref pending = Ref::steal(PyErr_GetRaisedException());
    const bool closed = guarded(
        [&] {
            close_coroutine(c);
            return true;
        },
        false);
    if (!closed) {
        PyErr_WriteUnraisable(object);
    }
    PyErr_SetRaisedException(pending.release());
}

void coroutine_dealloc(PyObject* object) {
    if (PyObject_CallFinalizerFromDealloc(object) < 0) return; // brought back to life
    CapturingCoroutineFields::dealloc(object);
}

// A body in a cycle of references is closed by the finaliser before this.
int coroutine_clear(PyObject* object) {
    CapturingCoroutineObject* c = as<CapturingCoroutineObject>(object);
    c->run = Run::Done;
    Py_CLEAR(c->outbox);
    Py_CLEAR(c->function);
    Py_CLEAR(c->arguments);
    Py_CLEAR(c->kwnames);
    Py_CLEAR(c->awaiting);
    return 0;
}

PyObject* coroutine_repr(PyObject* object) {
    PyObject* function = as<CapturingCoroutineObject>(object)->function;
    if (!function) return PyUnicode_FromString("<capturing coroutine>");
    return PyUnicode_FromFormat("<capturing coroutine of %R>", function);
}

PyType_Slot capturing_coroutine_slots[] = {
    type_slot(Py_tp_dealloc, coroutine_dealloc),
    type_slot(Py_tp_traverse, CapturingCoroutineFields::traverse),
    type_slot(Py_tp_clear, coroutine_clear),
    type_slot(Py_tp_finalize, coroutine_finalize),
    type_slot(Py_tp_repr, coroutine_repr),
    type_slot(Py_tp_iter, PyObject_SelfIter),
    type_slot(Py_tp_iternext, coroutine_next),
    type_slot(Py_am_await, coroutine_await),
    type_slot(Py_am_send, coroutine_send),
    type_slot(Py_tp_doc, "A call of a coroutine function that an outbox decorates: awaiting it\n"
                         "runs the function's body with the capture active."),
    {},
};

PyType_Spec capturing_coroutine_spec = {
    .name = "vantrel.testing.capturing_coroutine",
    .basicsize = sizeof(CapturingCoroutineObject),
    .itemsize = 0,
    .flags = native_flags,
    .slots = capturing_coroutine_slots,
};

// ---------------------------------------------------------------------------
// A function decorated with an outbox: each call runs inside the capture.

struct CapturingObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject* outbox;
    PyObject* function;
    PyObject* dict; // __wrapped__, __name__, ... as functools.update_wrapper sets them
    PyObject* weakrefs;
    PyObject* coroutine_mark;         // what inspect.markcoroutinefunction set, or null
    bool coroutine;                   // a coroutine function: a call returns a capturing coroutine
    static inline PyTypeObject* type; // made by the module body, kept for the process
};

using CapturingFields =
    Fields<CapturingObject, &CapturingObject::outbox, &CapturingObject::function,
           &CapturingObject::dict, &CapturingObject::coroutine_mark>;

PyObject* capturing_call(PyObject* callable, PyObject* const* args, size_t nargsf,
                         PyObject* kwnames) noexcept {
    return guarded(
        [&] {
            CapturingObject* capturing = as<CapturingObject>(callable);
            Ref outbox = Ref::borrow(capturing->outbox);
            Ref function = Ref::borrow(capturing->function);
            if (capturing->coroutine) {
                return new_capturing_coroutine(outbox.get(), function.get(), args,
                                               PyVectorcall_NARGS(nargsf), kwnames)
                    .release();
            }
            Ref result;
            with(outbox.get(), [&](PyObject*) {
                result = checked(PyObject_Vectorcall(function.get(), args, nargsf, kwnames));
            });
            return result.release();
        },
        static_cast<PyObject*>(nullptr));
}

// As a Python function: bound to an instance it gives a method.
PyObject* capturing_get(PyObject* callable, PyObject* instance, PyObject*) noexcept {
    if (!instance || instance == Py_None) return Py_NewRef(callable);
    return PyMethod_New(callable, instance);
}

PyObject* capturing_repr(PyObject* callable) noexcept {
    return PyUnicode_FromFormat("<capturing %R>", as<CapturingObject>(callable)->function);
}

int capturing_clear(PyObject* callable) noexcept {
    Py_CLEAR(as<CapturingObject>(callable)->dict);
    Py_CLEAR(as<CapturingObject>(callable)->coroutine_mark);
    return 0;
}

// The attribute that inspect.markcoroutinefunction sets and
// inspect.iscoroutinefunction reads, kept in the object rather than in its
// __dict__: a synchronous function made around the wrapper with
// functools.wraps (pytest-asyncio's runner of a test) must not pass for a
// coroutine function as well.  An `async def` function carries the same fact
// in its code object, which wraps does not copy either.
PyObject* get_coroutine_mark(PyObject* callable, void*) {
    PyObject* mark = as<CapturingObject>(callable)->coroutine_mark;
    if (!mark) {
        PyErr_SetString(PyExc_AttributeError, "not a coroutine function");
        return nullptr;
    }
    return Py_NewRef(mark);
}

int set_coroutine_mark(PyObject* callable, PyObject* mark, void*) {
    Py_XSETREF(as<CapturingObject>(callable)->coroutine_mark, Py_XNewRef(mark));
    return 0;
}

PyMemberDef capturing_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(CapturingObject, vectorcall), Py_READONLY,
     nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(CapturingObject, dict), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(CapturingObject, weakrefs), Py_READONLY,
     nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef capturing_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"_is_coroutine_marker", get_coroutine_mark, set_coroutine_mark, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot capturing_slots[] = {
    type_slot(Py_tp_dealloc, CapturingFields::dealloc),
    type_slot(Py_tp_traverse, CapturingFields::traverse),
    type_slot(Py_tp_clear, capturing_clear),
    type_slot(Py_tp_call, PyVectorcall_Call),
    type_slot(Py_tp_descr_get, capturing_get),
    type_slot(Py_tp_repr, capturing_repr),
    type_slot(Py_tp_members, capturing_members),
    type_slot(Py_tp_getset, capturing_getset),
    {},
};

PyType_Spec capturing_spec = {
    .name = "vantrel.testing.capturing",
    .basicsize = sizeof(CapturingObject),
    .itemsize = 0,
    .flags = native_flags | Py_TPFLAGS_HAVE_VECTORCALL,
    .slots = capturing_slots,
};

constexpr Param call_params[] = {
    self_param,
    {"function", "Callable", Rule::Any, Default::Required},
};

Ref Outbox_call(FunctionObject*, Args<call_params> args) {
    outbox_of(args["self"], "__call__");
    PyObject* function = args["function"];
    if (!PyCallable_Check(function)) {
        raise_format(PyExc_TypeError, "an outbox decorates a function, not a '%.200s' object",
                     Py_TYPE(function)->tp_name);
    }
    Ref wrapper = new_instance<CapturingObject>();
    CapturingObject* capturing = as<CapturingObject>(wrapper.get());
    capturing->vectorcall = capturing_call;
    capturing->outbox = Py_NewRef(args["self"]);
    capturing->function = Py_NewRef(function);
    // As unittest.mock.patch does: a coroutine function stays one, and the
    // capture spans its awaited body.
    capturing->coroutine = truth(call(testing_module.global(n_iscoroutinefunction), function));
    Ref wrapped = call(testing_module.global(n_update_wrapper), wrapper, function);
    if (capturing->coroutine) call(testing_module.global(n_markcoroutinefunction), wrapped);
    return wrapped;
}

const Signature call_signature = define<Outbox_call>({
    .name = "__call__",
    .doc = "Decorate a function: each call of it runs with this capture active.  A coroutine\n"
           "function stays one: the capture is active while a call of it is awaited, from the\n"
           "first step of its body to the end.",
    .returns = "Callable",
});

constexpr std::array<Param, 0> capture_params{};

Ref capture(FunctionObject*, Args<capture_params>) {
    Ref outbox = new_instance<OutboxObject>();
    OutboxObject* o = as<OutboxObject>(outbox.get());
    o->messages = checked(PyList_New(0)).release();
    o->refused_recipients = checked(PyDict_New()).release();
    o->refused_senders = checked(PyDict_New()).release();
    o->login_refusal = Py_NewRef(Py_None);
    return outbox;
}

const Signature capture_signature = define<capture>({
    .name = "capture",
    .doc = "Return a new Outbox, which captures what vantrel sends while it is active.\n"
           "\n"
           "    with capture() as outbox:\n"
           "        mailer.send(to=\"ann@example.com\", subject=\"Hi\", body=\"...\")\n"
           "    assert outbox[0].message[\"Subject\"] == \"Hi\"\n"
           "\n"
           "While active, `smtplib` in vantrel.mailer and vantrel.session is a stand-in whose\n"
           "connections deliver to the outbox: the TLS context is still made, and STARTTLS,\n"
           "login and submission run as against a server that accepts everything.  On exit, also\n"
           "on error, each module gets back exactly what it had.  Captures nest.  An outbox is\n"
           "also a decorator: `@outbox` makes it active around each call of the function (while\n"
           "the call is awaited, for a coroutine function).\n"
           "\n"
           "A capture is process-wide: it rebinds module names, so every thread that sends\n"
           "through vantrel while it is active delivers to it.",
    .returns = "Outbox",
});

// ---------------------------------------------------------------------------
// The stand-in connection: an SMTP server that accepts everything except the
// failures rehearsed on its outbox, and answers as smtplib reports a real one.

enum class Mode : std::uint8_t { Plain, Starttls, Ssl };

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
    const Active& receiving = receiving_capture();
    const std::uint64_t serial = receiving.serial;
    Ref outbox = receiving.outbox;
    OutboxObject* o = as<OutboxObject>(outbox.get());
    if (connects && o->disconnects > 0) {
        o->disconnects -= 1;
        raise_errno(ECONNREFUSED);
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
    Ref text;
    Ref message;
    Ref policy = getattr(testing_module.global(n_policy), n_default);
    if (PyUnicode_Check(msg)) {
        text = Ref::borrow(msg);
        message = call_kw(testing_module.global(n_message_from_string), kw_policy, text, policy);
    } else {
        if (!PyObject_CheckBuffer(msg)) {
            // What smtplib's DATA step raises for a message that is no text.
            raise_format(PyExc_TypeError, "expected string or bytes-like object, got '%.200s'",
                         Py_TYPE(msg)->tp_name);
        }
        text = checked(PyBytes_FromObject(msg));
        message = call_kw(testing_module.global(n_message_from_bytes), kw_policy, text, policy);
    }
    const Text& mode = c->mode == Mode::Ssl        ? t_ssl
                       : c->mode == Mode::Starttls ? t_starttls
                                                   : t_plain;
    Ref record = new_instance<SentMessageObject>();
    SentMessageObject* sent = as<SentMessageObject>(record.get());
    sent->mail_from = Py_NewRef(mail_from);
    sent->rcpt_tos = Py_NewRef(accepted);
    sent->message = message.release();
    sent->text = text.release();
    sent->host = Py_NewRef(c->host);
    sent->port = Py_NewRef(c->port);
    sent->mode = Py_NewRef(mode.get());
    sent->username = Py_NewRef(c->username);
    checked(PyList_Append(as<OutboxObject>(c->outbox)->messages, record.get()));
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

constexpr const char* module_doc =
    "Test support for code that sends mail with vantrel.\n"
    "\n"
    "capture() returns an Outbox.  While it is active (a with block, or a function it\n"
    "decorates), vantrel delivers nothing: every message lands in the outbox as a\n"
    "SentMessage with its envelope, text, parsed message and connection.  The outbox can\n"
    "also rehearse what real servers do to a delivery: refuse_recipient, refuse_sender,\n"
    "refuse_login and disconnect make it fail with smtplib's own exceptions.\n"
    "\n"
    "With pytest, the fixture mail_outbox is a capture around one test.\n"
    "\n"
    "Captures are process-wide: they rebind the name smtplib in vantrel's modules, so\n"
    "every thread's deliveries land in the innermost active capture.\n";

// Makes a native type once per process: a module that starts again after a
// failed import reuses it.
Ref native_type(ModuleFrame& frame, PyTypeObject*& type, PyType_Spec& spec,
                std::initializer_list<Method> methods) {
    if (!type) {
        type = reinterpret_cast<PyTypeObject*>(frame.native_class(spec, methods).release());
    }
    return Ref::borrow(reinterpret_cast<PyObject*>(type));
}

// The modules whose `smtplib` a capture rebinds.
Ref target_modules() {
    Ref mailer = checked(PyImport_ImportModule("vantrel.mailer"));
    Ref session = checked(PyImport_ImportModule("vantrel.session"));
    return checked(PyTuple_Pack(2, mailer.get(), session.get()));
}

// A module named smtplib holding every name of the real one, with SMTP and
// SMTP_SSL replaced: what each capture copies.
Ref make_standin(ModuleFrame& frame) {
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

void module_body(ModuleFrame& frame, PyObject*) {
    Ref doc = checked(PyUnicode_FromString(module_doc));
    frame.bind("__doc__", doc.get());
    frame.import("smtplib");
    frame.import_from("email", {"message_from_bytes", "message_from_string", "policy"});
    frame.import_from("functools", {"update_wrapper"});
    frame.import_from("inspect", {"iscoroutinefunction", "markcoroutinefunction"});

    native_type(frame, SentMessageObject::type, sent_message_spec, {});
    native_type(frame, CapturingObject::type, capturing_spec, {});
    native_type(frame, CapturingCoroutineObject::type, capturing_coroutine_spec,
                {coroutine_send_signature, coroutine_throw_signature, coroutine_close_signature});
    native_type(frame, ConnectionObject::type, connection_spec,
                {connection_enter_signature, connection_exit_signature, starttls_signature,
                 login_signature, sendmail_signature, quit_signature, close_signature});
    Ref outbox = native_type(frame, OutboxObject::type, outbox_spec,
                             {enter_signature, exit_signature, call_signature, clear_signature,
                              refuse_recipient_signature, refuse_sender_signature,
                              refuse_login_signature, disconnect_signature});
    if (!targets) targets = target_modules().release();
    if (!standin) standin = make_standin(frame).release();
    if (!active) active = new std::vector<Active>;

    frame.bind("capture", frame.function(capture_signature).get());
    frame.bind("Outbox", outbox.get());
    frame.bind("SentMessage", reinterpret_cast<PyObject*>(SentMessageObject::type));
}

} // namespace

PyMODINIT_FUNC PyInit_testing() noexcept {
    return testing_module.init();
}
