// vantrel.session: Session sends many messages of one EasyMailer over one SMTP
// connection, opening a new one only when the server has closed the last,
// after a fork, or after a set number of messages.
#include "frame/frame.hpp"
#include "mail/params.hpp"
#include "mail/sending.hpp"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

using namespace vantrel;
using namespace vantrel::mail;

namespace {

void module_body(ModuleFrame& frame, PyObject* module);

ModuleFrame session_module{"session", "vantrel.session", module_body};

Name n_EasyMailer{"EasyMailer"};
Name n_smtplib{"smtplib"};
Name n_SMTPSenderRefused{"SMTPSenderRefused"};
Name n_SMTPResponseException{"SMTPResponseException"};
Name n_SMTPRecipientsRefused{"SMTPRecipientsRefused"};
Name n_SMTPDataError{"SMTPDataError"};
Name n_smtp_code{"smtp_code"};
Name n_recipients{"recipients"};
Name n_rset{"rset"};
Name n_sock{"sock"};
Name n_fileno{"fileno"};
Name n_quit{"quit"};
Name n_close{"close"};
Name n_sendmail{"sendmail"};
Name n_as_string{"as_string"};
Name n_host{"host"};
Name n_port{"port"};
Name n_use_ssl{"use_ssl"};
Name n_use_tls{"use_tls"};
Name n_is_multipart{"is_multipart"};
Name n_get_payload{"get_payload"};
Name n_get_boundary{"get_boundary"};
Name n_set_boundary{"set_boundary"};
Name n_del_param{"del_param"};
Text t_boundary{"boundary"};

struct SessionObject {
    PyObject_HEAD
    PyObject* mailer;         // the EasyMailer whose settings and steps are used
    PyObject* connection;     // the open connection, or null
    PyObject* context;        // the TLS context made for it
    PyObject* opened_through; // the module bound to `smtplib` when it was opened
    pid_t pid;                // the process that opened the connection
    Py_ssize_t limit;         // messages per connection, 0 for no limit
    Py_ssize_t on_connection; // messages accepted on the current connection
    Py_ssize_t sent;          // messages accepted in all
    Py_ssize_t connections;   // connections opened in all
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
                // A callback of this thread's own send (a rebound smtplib, a
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
Ref take_connection(SessionObject* s) {
    Ref connection = Ref::steal(std::exchange(s->connection, nullptr));
    Py_CLEAR(s->context);
    Py_CLEAR(s->opened_through);
    s->on_connection = 0;
    return connection;
}

// Ends an SMTP session politely: QUIT, then close the socket.  The server may
// be gone already, so an error from QUIT is of no interest.
void quit_and_close(PyObject* connection, bool quiet_close) {
    ignoring_errors([&] { call_method(connection, n_quit); });
    if (quiet_close) {
        ignoring_errors([&] { call_method(connection, n_close); });
    } else {
        call_method(connection, n_close);
    }
}

// Drops a connection that is no longer usable (the server closed it, or an
// error left the exchange in an unknown state) without a QUIT.
void discard(SessionObject* s) {
    Ref connection = take_connection(s);
    ignoring_errors([&] { call_method(connection, n_close); });
}

// In a forked child, lets go of the connection that the parent opened: only
// this process's copy of its socket is closed, with nothing written to it, so
// that the parent carries on with it undisturbed.
void leave_inherited(SessionObject* s) {
    if (!s->connection || s->pid == getpid()) return;
    Ref connection = take_connection(s);
    ignoring_errors([&] {
        Ref sock = optional_attr(connection.get(), n_sock);
        if (sock && sock.get() != Py_None) call_method(sock, n_close);
    });
}

// The descriptor of the socket under a connection, which smtplib keeps in
// `sock`: none when the connection has no `sock` to look at (a stand-in of
// vantrel.testing), -1 once smtplib has closed it (`sock` is None).
std::optional<int> socket_fd(PyObject* connection) {
    Ref sock = optional_attr(connection, n_sock);
    if (!sock) return std::nullopt;
    if (sock.get() == Py_None) return -1;
    Ref fileno = call_method(sock, n_fileno);
    const int fd = PyLong_AsInt(fileno.get());
    if (fd == -1 && PyErr_Occurred()) raise_error();
    return fd;
}

// Whether a connection that was open before may still carry a message.  An
// idle SMTP server sends nothing unless it is closing the connection (a 421
// reply, or the end of the stream), so a socket with something to read is
// one the server has given up on.  A connection without a socket to look at
// is taken as it is.
bool alive(PyObject* connection) {
    const std::optional<int> fd = socket_fd(connection);
    if (!fd) return true;
    if (*fd < 0) return false;
    pollfd probe{*fd, POLLIN, 0};
    return poll(&probe, 1, 0) <= 0;
}

// Sends small writes at once.  The last short TLS record of a message would
// otherwise wait for the server's delayed acknowledgement of the record
// before it, some 40 ms a message.  An option the socket does not take (not
// TCP) leaves it as it is.
void write_without_delay(PyObject* connection) {
    ignoring_errors([&] {
        const std::optional<int> fd = socket_fd(connection);
        const int on = 1;
        if (fd && *fd >= 0) setsockopt(*fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    });
}

// Opens a connection as the mailer's settings say and logs in.  When STARTTLS
// or the login fails, the new connection is ended and the error propagates.
void connect(SessionObject* s, PyObject* mailer) {
    Ref through = session_module.global(n_smtplib);
    Opened opened = open_connection(session_module, mailer);
    ++s->connections;
    // Before STARTTLS: the TLS socket then wraps a descriptor that has it.
    write_without_delay(opened.connection.get());
    try {
        log_in(mailer, opened.connection.get(), opened);
    } catch (const Error&) {
        Ref pending = Ref::steal(PyErr_GetRaisedException());
        quit_and_close(opened.connection.get(), true);
        reraise(std::move(pending));
    }
    Py_XSETREF(s->connection, opened.connection.release());
    Py_XSETREF(s->context, opened.context.release());
    Py_XSETREF(s->opened_through, through.release());
    s->pid = getpid();
    s->on_connection = 0;
}

// Whether `smtplib` here is still the module the connection was opened
// through.  Each capture binds a stand-in module of its own while it is
// active, so anything else means that a capture began or ended since: the
// connection belongs to the state before (a real server, or an outbox that
// no longer receives).
bool opened_through_current(const SessionObject* s) {
    Ref now;
    ignoring_errors([&] { now = session_module.global(n_smtplib); });
    return now.get() == s->opened_through;
}

// Makes sure the session has a connection for the next message; true when it
// opened one for it.
bool ready_connection(SessionObject* s, PyObject* mailer) {
    leave_inherited(s);
    if (s->connection && s->limit > 0 && s->on_connection >= s->limit) {
        Ref connection = take_connection(s);
        quit_and_close(connection.get(), true);
    }
    if (s->connection && !opened_through_current(s)) {
        quit_and_close(take_connection(s).get(), true);
    }
    if (s->connection) {
        // A connection that cannot even be looked at is no better than one
        // the server closed.
        bool usable = false;
        ignoring_errors([&] { usable = alive(Ref::borrow(s->connection).get()); });
        if (!usable) discard(s);
    }
    if (s->connection) return false;
    connect(s, mailer);
    return true;
}

// What a failed sendmail left behind, and so what comes next.
enum class Failure : std::uint8_t {
    Answered, // the server answered and the transaction is over: carry on
    Open,     // the server answered, but the transaction may still be open
    Busy,     // 421 before the text (MAIL, RCPT, DATA): nothing was delivered
    Unknown,  // anything else, a 421 to the text too: the state is not known
};

bool is_error(PyObject* error, PyObject* smtplib, const Name& name) {
    Ref type = optional_attr(smtplib, name);
    return type && PyErr_GivenExceptionMatches(error, type.get());
}

bool has_code(PyObject* code, long expected) {
    int overflow = 0;
    return code && PyLong_Check(code) && PyLong_AsLongAndOverflow(code, &overflow) == expected;
}

// The (code, reply) of SMTPRecipientsRefused's `recipients` that is a 421
// (the server is closing), or none.  smtplib stops at such a reply, before
// DATA.
Ref closing_reply(PyObject* refused) {
    if (!refused || !PyDict_Check(refused)) return Ref();
    Py_ssize_t position = 0;
    PyObject* address = nullptr;
    PyObject* reply = nullptr;
    while (PyDict_Next(refused, &position, &address, &reply)) {
        if (PyTuple_Check(reply) && PyTuple_GET_SIZE(reply) > 0 &&
            has_code(PyTuple_GET_ITEM(reply, 0), 421)) {
            return Ref::borrow(reply);
        }
    }
    return Ref();
}

Failure classify(PyObject* error, PyObject* connection) {
    Failure failure = Failure::Unknown;
    ignoring_errors([&] {
        Ref smtplib = session_module.global(n_smtplib);
        Ref code = optional_attr(error, n_smtp_code);
        if (is_error(error, smtplib.get(), n_SMTPSenderRefused)) {
            failure = has_code(code.get(), 421) ? Failure::Busy : Failure::Answered;
        } else if (is_error(error, smtplib.get(), n_SMTPDataError)) {
            if (!has_code(code.get(), 421)) {
                // smtplib resets the transaction after a refused text, but not
                // after a refusal of the DATA command itself (greylisting,
                // milters): which one it was is not known here.
                failure = Failure::Open;
            } else {
                // smtplib closes the connection after a 421 to the text, not
                // after a 421 to the DATA command: a socket still there means
                // the text never went out.
                const std::optional<int> fd = socket_fd(connection);
                failure = fd && *fd >= 0 ? Failure::Busy : Failure::Unknown;
            }
        } else if (is_error(error, smtplib.get(), n_SMTPRecipientsRefused)) {
            Ref refused = optional_attr(error, n_recipients);
            failure = closing_reply(refused.get()) ? Failure::Busy : Failure::Answered;
        } else if (is_error(error, smtplib.get(), n_SMTPResponseException)) {
            failure = Failure::Answered;
        }
    });
    return failure;
}

// Ends the transaction that a refusal may have left open, so that the next
// MAIL FROM is not a nested one; a connection that does not take the RSET
// is dropped instead.
void reset_transaction(SessionObject* s) {
    bool reset = false;
    ignoring_errors([&] {
        Ref reply = call_method(Ref::borrow(s->connection), n_rset);
        reset = PyTuple_Check(reply.get()) && PyTuple_GET_SIZE(reply.get()) > 0 &&
                has_code(PyTuple_GET_ITEM(reply.get(), 0), 250);
    });
    if (!reset) discard(s);
}

// A 421 to one RCPT TO ends the transaction before the text, so none of the
// recipients has the message; smtplib names only those it had tried by then,
// which reads as a partial refusal.  The error given instead names every
// recipient, those smtplib did not with the 421 reply.  Anything unexpected
// on the way leaves smtplib's error as it is.
Ref refused_to_all(Ref error, PyObject* recipients) {
    Ref replaced;
    ignoring_errors([&] {
        Ref smtplib = session_module.global(n_smtplib);
        if (!is_error(error.get(), smtplib.get(), n_SMTPRecipientsRefused)) return;
        Ref refused = optional_attr(error.get(), n_recipients);
        Ref closing = closing_reply(refused.get());
        if (!closing) return;
        Ref all = checked(PyDict_New());
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(recipients); ++i) {
            Ref recipient = Ref::borrow(PyList_GET_ITEM(recipients, i));
            PyObject* known = nullptr;
            checked(PyDict_GetItemRef(refused.get(), recipient.get(), &known));
            Ref reply = known ? Ref::steal(known) : closing;
            checked(PyDict_SetItem(all.get(), recipient.get(), reply.get()));
        }
        checked(PyDict_Merge(all.get(), refused.get(), 0));
        Ref again = call(getattr(smtplib, n_SMTPRecipientsRefused), all);
        if (!PyExceptionInstance_Check(again.get())) return;
        PyException_SetCause(again.get(), Py_NewRef(error.get()));
        replaced = std::move(again);
    });
    return replaced ? std::move(replaced) : std::move(error);
}

// Submits one message over the session's connection and gives sendmail's
// result.  A message is sent at most once: the only retry is after a 421
// reply before its text (to MAIL FROM, RCPT TO or DATA) on a connection that
// was already open, and it goes over a new connection.
Ref deliver(SessionObject* s, PyObject* mailer, PyObject* sender, PyObject* recipients,
            PyObject* text) {
    Hold hold(s);
    bool opened_now = ready_connection(s, mailer);
    for (;;) {
        Ref connection = Ref::borrow(s->connection);
        try {
            Ref refused = call_method(connection, n_sendmail, sender, recipients, text);
            ++s->sent;
            ++s->on_connection;
            return refused;
        } catch (const Error&) {
            Ref error = Ref::steal(PyErr_GetRaisedException());
            switch (classify(error.get(), connection.get())) {
            case Failure::Answered:
                break;
            case Failure::Open:
                reset_transaction(s);
                break;
            case Failure::Unknown:
                discard(s);
                break;
            case Failure::Busy:
                // The server is closing this connection.
                discard(s);
                if (opened_now) {
                    error = refused_to_all(std::move(error), recipients);
                    break;
                }
                try {
                    connect(s, mailer);
                } catch (const Error&) {
                    Ref again = Ref::steal(PyErr_GetRaisedException());
                    PyException_SetContext(again.get(), error.release());
                    reraise(std::move(again));
                }
                opened_now = true;
                continue;
            }
            reraise(std::move(error));
        }
    }
}

// Ends the session's connection: QUIT and close in the process that opened
// it, only a release of the inherited socket in a forked child.
void end_session(SessionObject* s) {
    Hold hold(s);
    leave_inherited(s);
    if (!s->connection) return;
    Ref connection = take_connection(s);
    quit_and_close(connection.get(), false);
}

// A boundary chosen for one multipart part of a message, and how often the
// generator writes its delimiter: before every part and once more to close.
struct Chosen {
    Ref part;
    Ref delimiter; // "--" + boundary
    Py_ssize_t delimiters;
};

// A boundary of the email package's own form: "=" * 15, 19 random digits,
// "==".  Empty when the system has no random bytes to give.
Ref new_boundary() {
    std::uint64_t token = 0;
    if (getrandom(&token, sizeof token, 0) != sizeof token) return Ref();
    return checked(PyUnicode_FromFormat("===============%019llu==",
                                        static_cast<unsigned long long>(token % PY_SSIZE_T_MAX)));
}

// Chooses a boundary for every multipart part of `part` that has none yet.
void choose_boundaries(PyObject* part, std::vector<Chosen>& chosen) {
    // Parts nest as deep as the caller made them: RecursionError, as the
    // generator would raise, rather than the end of the C stack.
    if (Py_EnterRecursiveCall(" while choosing MIME boundaries")) raise_error();
    struct Leave {
        ~Leave() { Py_LeaveRecursiveCall(); }
    } leave;
    Ref is_multipart = optional_attr(part, n_is_multipart);
    if (!is_multipart || !truth(call(is_multipart))) return;
    Ref payload = call_method(part, n_get_payload);
    if (!PyList_CheckExact(payload.get())) return;
    if (call_method(part, n_get_boundary).get() == Py_None) {
        Ref boundary = new_boundary();
        if (!boundary) return;
        call_method(part, n_set_boundary, boundary);
        chosen.push_back({Ref::borrow(part), checked(PyUnicode_FromFormat("--%U", boundary.get())),
                          std::max<Py_ssize_t>(PyList_GET_SIZE(payload.get()), 1) + 1});
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(payload.get()); ++i) {
        Ref item = Ref::borrow(PyList_GET_ITEM(payload.get(), i));
        choose_boundaries(item.get(), chosen);
    }
}

// The text of a message, as msg.as_string() gives it.
//
// For each multipart part without a boundary, the email package's generator
// makes one and checks it against the text with a regular expression that it
// compiles anew for every message: about a third of what a small message
// costs to serialise.  So the session chooses those boundaries itself, of the
// same form and as random, and makes the same check on the finished text: a
// delimiter must occur exactly as often as the generator writes it.  Should a
// part's own text hold one as well, the boundaries are taken back and the
// generator chooses them as it always does.
Ref message_text(PyObject* msg) {
    std::vector<Chosen> chosen;
    choose_boundaries(msg, chosen);
    Ref text = call_method(msg, n_as_string);
    if (!PyUnicode_Check(text.get())) return text;
    bool clean = true;
    for (const Chosen& c : chosen) {
        const Py_ssize_t found = PyUnicode_Count(text.get(), c.delimiter.get(), 0, PY_SSIZE_T_MAX);
        if (found < 0) raise_error();
        clean = clean && found == c.delimiters;
    }
    if (clean) return text;
    for (const Chosen& c : chosen)
        call_method(c.part, n_del_param, t_boundary.get());
    return call_method(msg, n_as_string);
}

// ---------------------------------------------------------------------------
// class Session

constexpr Param init_params[] = {
    self_param,
    {"mailer", "EasyMailer", Rule::Any, Default::Required},
    {"max_per_connection", "Optional[int]", Rule::Any, Default::None},
};

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
    Hold hold(s);
    if (s->connection && s->mailer != mailer) {
        // Another mailer's settings: its connection is of no use any more.
        leave_inherited(s);
        if (s->connection) quit_and_close(take_connection(s).get(), true);
    }
    Py_XSETREF(s->mailer, Py_NewRef(mailer));
    s->limit = limit;
    return none();
}

const Signature init_signature = define<Session_init>({
    .name = "__init__",
    .doc = "Use the settings and message steps of `mailer` (an EasyMailer).\n"
           "\n"
           "max_per_connection: when given (at least 1), end the connection with QUIT\n"
           "and open a new one after that many messages, for servers that limit the\n"
           "messages of one connection.  None (the default) sets no limit.\n",
    .returns = "None",
});

// send_params, in src/mail/params.hpp: the parameters of EasyMailer.send.
Ref Session_send(FunctionObject*, Args<send_params> args) {
    SessionObject* s = as_session(args["self"], "send");
    Ref mailer = mailer_of(s);
    Outgoing outgoing = compose(mailer.get(), args);
    // What EasyMailer._do_send accepts, checked before the connection is used.
    if (!PyList_CheckExact(outgoing.recipients.get())) {
        raise_incorrect_type("recipients", "list", &PyList_Type, outgoing.recipients.get());
    }
    if (!PyUnicode_CheckExact(outgoing.sender.get())) {
        raise_incorrect_type("sender", "str", &PyUnicode_Type, outgoing.sender.get());
    }
    // The text is made before the session is taken, so that threads sharing
    // it build their messages side by side.
    Ref text = message_text(outgoing.message.get());
    Ref refused =
        deliver(s, mailer.get(), outgoing.sender.get(), outgoing.recipients.get(), text.get());
    check_refused(session_module, refused.get());
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
        "\n"
        "A connection that the server has closed since the last message is opened\n"
        "again first.  If the server refuses some recipients, SMTPRecipientsRefused\n"
        "names just those (the others have the message); the session stays usable.\n",
    .returns = "None",
});

// send_template_params, in src/mail/params.hpp: those of EasyMailer.send_template.
Ref Session_send_template(FunctionObject*, Args<send_template_params> args) {
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
           "out as Session.send sends it.\n",
    .returns = "None",
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
    if (!s->connection) connect(s, mailer.get());
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
// The type's slots.

// A session dropped without close() lets its connection go as any unclosed
// socket goes: its dealloc releases the connection, and the socket's own
// finaliser closes it and warns.
using SessionFields = Fields<SessionObject, &SessionObject::mailer, &SessionObject::connection,
                             &SessionObject::context, &SessionObject::opened_through>;

// <Session smtp.example.com:587 starttls connected, 12 sent>
PyObject* session_repr(PyObject* object) noexcept {
    return guarded(
        [&]() -> PyObject* {
            SessionObject* s = as<SessionObject>(object);
            Ref name = checked(PyType_GetName(Py_TYPE(object)));
            if (!s->mailer) return PyUnicode_FromFormat("<%U, not initialised>", name.get());
            Ref mailer = Ref::borrow(s->mailer);
            Ref host = getattr(mailer, n_host);
            Ref port = getattr(mailer, n_port);
            const char* mode = truth(getattr(mailer, n_use_ssl))   ? "ssl"
                               : truth(getattr(mailer, n_use_tls)) ? "starttls"
                                                                   : "plain";
            const char* state = s->connection && s->pid == getpid() ? "connected"
                                : s->connections > 0                ? "closed"
                                                                    : "not connected";
            return PyUnicode_FromFormat("<%U %S:%S %s %s, %zd sent>", name.get(), host.get(),
                                        port.get(), mode, state, s->sent);
        },
        nullptr);
}

PyObject* get_sent(PyObject* object, void*) noexcept {
    return PyLong_FromSsize_t(as<SessionObject>(object)->sent);
}

PyObject* get_connections(PyObject* object, void*) noexcept {
    return PyLong_FromSsize_t(as<SessionObject>(object)->connections);
}

PyGetSetDef session_getset[] = {
    {"sent", get_sent, nullptr,
     PyDoc_STR("Messages the server has accepted through this session so far (int)."), nullptr},
    {"connections", get_connections, nullptr,
     PyDoc_STR("SMTP connections this session has opened so far (int)."), nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char* class_doc =
    "Many messages over one SMTP connection, with the settings of an EasyMailer.\n"
    "\n"
    "A Session takes its host, port, login, encryption mode, default sender and\n"
    "template engine from the mailer, and builds every message with the mailer's\n"
    "own methods, so that a message is the one EasyMailer.send would send.  Only\n"
    "the delivery differs: the connection is opened and logged in to once and\n"
    "carries every message until the session is closed.\n"
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
    "Threads may share one session: their sends take turns on the connection.\n";

PyType_Slot session_slots[] = {
    type_slot(Py_tp_doc, class_doc),
    type_slot(Py_tp_dealloc, SessionFields::dealloc),
    type_slot(Py_tp_traverse, SessionFields::traverse),
    type_slot(Py_tp_clear, SessionFields::clear),
    type_slot(Py_tp_repr, session_repr),
    type_slot(Py_tp_getset, session_getset),
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
    frame.import("ssl");
    frame.import_from("datetime", {"datetime"});
    frame.import_from("types", {"TracebackType"});
    frame.import_from("typing", {"List", "Optional", "Union", "Dict"});
    frame.import_from("mailer", {"EasyMailer"}, 1);

    Ref type =
        frame.native_class(session_spec, {init_signature, send_signature, send_template_signature,
                                          close_signature, enter_signature, exit_signature});
    frame.bind("Session", type.get());
    Py_XSETREF(SessionObject::type, reinterpret_cast<PyTypeObject*>(type.release()));
}

} // namespace

PyMODINIT_FUNC PyInit_session() noexcept {
    return session_module.init();
}
