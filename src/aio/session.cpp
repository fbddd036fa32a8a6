// vantrel.aio: AsyncSession, many messages of one EasyMailer over up to
// `connections` SMTP connections, from one asyncio event loop.
#include "aio/aio.hpp"
#include "frame/awaiting.hpp"
#include "mail/params.hpp"
#include "mail/sending.hpp"
#include "mail/settings.hpp"
#include "mail/signin.hpp"

#include <cmath>
#include <string>
#include <utility>

namespace vantrel::aio {

namespace {
void module_body(ModuleFrame& frame, PyObject* module);
} // namespace

ModuleFrame aio_module{"aio", "vantrel.aio", module_body};

namespace {

Name n_EasyMailer{"EasyMailer"};
Name n_Signer{"Signer"};
Name n_asyncio{"asyncio"};
Name n_get_running_loop{"get_running_loop"};
Name n_create_future{"create_future"};
Name n_set_result{"set_result"};
Name n_set_exception{"set_exception"};
Name n_done{"done"};
Name n_create_connection{"create_connection"};
Name n_start_tls{"start_tls"};
Name n_open{"_open"};
KwNames kw_server_hostname{"server_hostname"};
Name n_smtplib{"smtplib"};
Name n_SMTPServerDisconnected{"SMTPServerDisconnected"};
Name n_inspect{"inspect"};
Name n_markcoroutinefunction{"markcoroutinefunction"};
Name n_getfqdn{"getfqdn"};
Name n_Protocol{"Protocol"};
KwNames kw_ssl_hostname{"ssl", "server_hostname"};

SessionObject* as_session(PyObject* object, const char* method) {
    return instance_of<SessionObject>(object, method);
}

Pool& pool_of(SessionObject* s) {
    if (!s->pool || !s->mailer) {
        raise(PyExc_RuntimeError, "AsyncSession.__init__() has not been called");
    }
    return *s->pool;
}

ConnectionObject* connection_at(Pool& pool, std::size_t i) {
    return as<ConnectionObject>(pool.connections[i].get());
}

bool live(const ConnectionObject* c) {
    return c->phase != Phase::Ended && c->phase != Phase::Quitting;
}

// Resolves a future unless its waiter has cancelled it meanwhile.
void resolve(const Ref& future, PyObject* error) {
    if (truth(call_method(future, n_done))) return;
    if (error) {
        call_method(future, n_set_exception, error);
    } else {
        call_method(future, n_set_result, Py_None);
    }
}

// Every message still waiting fails with `error`: no connection is left to
// carry it, and the last attempt to open one failed so.
void fail_waiting(SessionObject* s, PyObject* error) {
    Pool& pool = *s->pool;
    while (!pool.waiting.empty()) {
        const std::uint64_t id = pool.waiting.front();
        pool.waiting.pop_front();
        auto found = pool.jobs.find(id);
        if (found == pool.jobs.end()) continue;
        Ref future = std::move(found->second.future);
        pool.jobs.erase(found);
        resolve(future, error);
    }
}

// The message of the waiting job `id`, built now unless it was built for an
// earlier attempt; nothing when its caller gave up on it, also while it was
// being built (building runs the mailer's Python steps, which may do
// anything, so the job is looked up again after).
std::optional<mail::Prepared> take_message(SessionObject* s, std::uint64_t id) {
    Pool& pool = *s->pool;
    auto found = pool.jobs.find(id);
    if (found == pool.jobs.end()) return std::nullopt;
    if (found->second.message) return std::exchange(found->second.message, std::nullopt);
    Ref arguments = std::move(found->second.arguments);
    Args<mail::session_send_params> args(tuple_items(arguments.get()));
    Ref mailer = Ref::borrow(s->mailer);
    Ref message_id = Ref::borrow(s->message_id ? s->message_id : Py_False);
    Ref dkim = Ref::borrow(s->dkim ? s->dkim : Py_None);
    mail::Prepared message = mail::prepare_send(mailer.get(), args, {message_id.get(), dkim.get()});
    if (!pool.jobs.contains(id)) return std::nullopt;
    message.index = static_cast<std::size_t>(id);
    message.may_retry = true;
    return message;
}

// One round of service: hands waiting messages to ready connections with
// room, opens connections while more is waiting than the opening ones will
// take, and closes what a limit or aclose() ends.  True when it did anything.
bool distribute(SessionObject* s) {
    Pool& pool = *s->pool;
    bool changed = false;
    Ref through = aio_module.global(n_open);
    Py_ssize_t opening = 0;
    Py_ssize_t open = 0;
    for (std::size_t i = 0; i < pool.connections.size(); ++i) {
        ConnectionObject* c = connection_at(pool, i);
        if (!live(c)) continue;
        ++open;
        if (c->phase != Phase::Ready) {
            ++opening;
            continue;
        }
        // Opened to a real server before a capture began, or to a stand-in
        // of a capture that has ended: it carries nothing more.
        const bool current = c->opened_through == through.get();
        while (current && !pool.waiting.empty() && c->carried < window(s) &&
               (s->limit == 0 || c->handed < s->limit)) {
            const std::uint64_t id = pool.waiting.front();
            pool.waiting.pop_front();
            changed = true;
            try {
                std::optional<mail::Prepared> message = take_message(s, id);
                if (!message) continue; // given up meanwhile
                // Should the connection have been dropped while the message
                // was built (a send given up in the mailer's steps), its
                // conversation gives the message back to go again.
                hand(c, std::move(*message));
                // Logging the commands runs handlers, which may give it up.
                if (auto found = pool.jobs.find(id); found != pool.jobs.end()) {
                    found->second.carrier = c;
                }
            } catch (const Error&) {
                // What building raised, or what smtplib raises for an
                // envelope it cannot send at all: this send's alone.
                Ref error = Ref::steal(PyErr_GetRaisedException());
                auto found = pool.jobs.find(id);
                if (found == pool.jobs.end()) continue;
                Ref future = std::move(found->second.future);
                pool.jobs.erase(found);
                resolve(future, error.get());
            }
        }
        const bool spent = s->limit > 0 && c->handed >= s->limit;
        if (c->carried == 0 && (spent || !current || (s->closing && pool.jobs.empty()))) {
            quit(c);
            --open;
            changed = true;
        }
    }
    if (s->closing && pool.jobs.empty()) {
        for (std::size_t i = 0; i < pool.connections.size(); ++i) {
            ConnectionObject* c = connection_at(pool, i);
            if (live(c) && c->phase != Phase::Ready) {
                quit(c);
                changed = true;
            }
        }
        return changed;
    }
    // Connections beyond the open ones only for work that they will not
    // carry: the opening ones will take a window's worth each.
    while (!pool.waiting.empty() &&
           open<s->max_connections&& static_cast<Py_ssize_t>(pool.waiting.size())> opening *
               window(s)) {
        ++open;
        ++opening;
        changed = true;
        try {
            open_connection(s);
        } catch (const Error&) {
            Ref error = Ref::steal(PyErr_GetRaisedException());
            if (open == 1) fail_waiting(s, error.get());
            break;
        }
    }
    return changed;
}

// Connections that have ended and have nothing left to settle leave the
// pool; once aclose() has nothing left, its future is resolved.
void sweep(SessionObject* s) {
    Pool& pool = *s->pool;
    std::erase_if(pool.connections, [](const Ref& held) {
        ConnectionObject* c = as<ConnectionObject>(held.get());
        // Its transport is let go of once asyncio has closed it, so that
        // aclose() returns with every socket closed.
        if (c->phase != Phase::Ended || c->carried > 0 || c->transport) return false;
        // The conversation holds the exceptions that ended it, whose frames
        // may hold the session: it goes with the connection's place in the
        // pool, as the collector cannot see into it.
        retire(c);
        return true;
    });
    if (s->closing && pool.jobs.empty() && pool.connections.empty()) {
        // A session opened again after aclose() reads the trusted
        // certificates anew.
        Py_CLEAR(s->context);
        Ref closing = Ref::steal(std::exchange(s->closing, nullptr));
        resolve(closing, nullptr);
    }
}

} // namespace

Py_ssize_t window(const SessionObject* s) {
    // With PIPELINING the text of one message rides with the next one's
    // commands, so the next must be queued when the text goes; a third keeps
    // the group full while the first one's outcome is settled.  One at a time
    // otherwise: the next goes as soon as the last one's reply is in.
    return s->pipelining ? 3 : 1;
}

void service(SessionObject* s) {
    if (!s->pool) return;
    if (s->servicing) {
        s->again = true;
        return;
    }
    s->servicing = true;
    struct Done {
        SessionObject* s;
        ~Done() { s->servicing = false; }
    } done{s};
    Ref keep = Ref::borrow(reinterpret_cast<PyObject*>(s));
    do {
        s->again = false;
        Pool& pool = *s->pool;
        // By index: a round may open connections, which go at the end.
        for (std::size_t i = 0; i < pool.connections.size(); ++i) {
            Ref held = pool.connections[i];
            if (pump(as<ConnectionObject>(held.get()))) s->again = true;
        }
        if (distribute(s)) s->again = true;
        sweep(s);
    } while (s->again);
}

Ref session_loop(SessionObject* s) {
    Ref loop = call(getattr(aio_module.global(n_asyncio), n_get_running_loop));
    if (!s->loop) {
        s->loop = Ref(loop).release();
    } else if (s->loop != loop.get()) {
        raise(PyExc_RuntimeError,
              "this AsyncSession belongs to another event loop: one AsyncSession is used "
              "from the loop it was opened in");
    }
    return loop;
}

Ref submit(SessionObject* s, Ref arguments, std::uint64_t& job_id) {
    Pool& pool = pool_of(s);
    Ref loop = session_loop(s);
    Ref future = call_method(loop, n_create_future);
    const std::uint64_t id = pool.next_job++;
    job_id = id;
    Job& job = pool.jobs[id];
    job.future = future;
    job.arguments = std::move(arguments);
    pool.waiting.push_back(id);
    service(s);
    return future;
}

void abandon(SessionObject* s, std::uint64_t id) {
    if (!s->pool) return;
    Pool& pool = *s->pool;
    auto found = pool.jobs.find(id);
    if (found == pool.jobs.end()) return;
    ConnectionObject* carrier = found->second.carrier;
    Ref keep = carrier ? Ref::borrow(reinterpret_cast<PyObject*>(carrier)) : Ref();
    pool.jobs.erase(found);
    if (!carrier) {
        std::erase(pool.waiting, id);
    } else if (!withdraw(carrier, id)) {
        // Its MAIL FROM is written: what the server makes of the rest is not
        // known, so the connection goes, and this message with it.  The
        // others on it that had not begun go again elsewhere.
        carrier->displaced = true;
        Ref error = call(getattr(aio_module.global(n_smtplib), n_SMTPServerDisconnected),
                         Ref::steal(PyUnicode_FromString(
                             "the connection was dropped: a send under way on it was cancelled")));
        drop(carrier, error);
    }
    service(s);
}

void settle(SessionObject* s, ConnectionObject* c, mail::Outcome outcome) {
    Pool& pool = *s->pool;
    --c->carried;
    if (outcome.fate == mail::Fate::Sent) {
        s->tally.record(outcome.reply.code, outcome.reply.text);
    }
    auto found = pool.jobs.find(static_cast<std::uint64_t>(outcome.message.index));
    if (found == pool.jobs.end()) return; // its caller gave up on it
    Job& job = found->second;
    job.carrier = nullptr;
    if (outcome.fate == mail::Fate::Retry && (outcome.message.may_retry || c->displaced)) {
        // Nothing of it reached the server: once more over another
        // connection, first in line.  A message put off because another one
        // was cancelled keeps its own second chance.
        if (!c->displaced) outcome.message.may_retry = false;
        job.message = std::move(outcome.message);
        pool.waiting.push_front(found->first);
        return;
    }
    Ref future = std::move(job.future);
    pool.jobs.erase(found);
    resolve(future, outcome.error.get());
}

void setup_failed(SessionObject* s, ConnectionObject* c, PyObject* error) {
    if (s->auth && !c->token_retry && !s->closing && c->conversation &&
        c->conversation->login_refused()) {
        // The token may have been revoked before its time: the source
        // forgets it, and a new connection signs in with a new one.  What
        // waits stays for that one; a second refusal ends it.
        try {
            mail::invalidate_token(s->auth);
            Ref again = open_connection(s);
            as<ConnectionObject>(again.get())->token_retry = true;
            return;
        } catch (const Error&) {
            // What waits fails with the first refusal, as without the retry.
            PyErr_Clear();
        }
    }
    if (s->entering) {
        Ref entering = Ref::steal(std::exchange(s->entering, nullptr));
        resolve(entering, error);
    }
    Pool& pool = *s->pool;
    for (std::size_t i = 0; i < pool.connections.size(); ++i) {
        if (live(connection_at(pool, i))) return; // the others carry on
    }
    fail_waiting(s, error);
}

void became_ready(SessionObject* s, ConnectionObject*) {
    if (s->entering) {
        Ref entering = Ref::steal(std::exchange(s->entering, nullptr));
        if (!truth(call_method(entering, n_done))) {
            call_method(entering, n_set_result, reinterpret_cast<PyObject*>(s));
        }
    }
}

namespace {

// ---------------------------------------------------------------------------
// class AsyncSession

Py_ssize_t count_argument(PyObject* value, const char* name, const char* message) {
    if (!PyLong_CheckExact(value)) raise_incorrect_type(name, "int", &PyLong_Type, value);
    int overflow = 0;
    const long long number = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (number == -1 && PyErr_Occurred()) raise_error();
    if (overflow < 0 || (overflow == 0 && number < 1)) raise(PyExc_ValueError, message);
    return overflow > 0 || number > PY_SSIZE_T_MAX ? PY_SSIZE_T_MAX
                                                   : static_cast<Py_ssize_t>(number);
}

constexpr Param init_params[] = {
    self_param,
    {"mailer", "EasyMailer", Rule::Any, Default::Required},
    {"connections", "int", Rule::Any, Default::Int, 1},
    {"max_per_connection", "Optional[int]", Rule::Any, Default::None},
    {"timeout", "Optional[float]", Rule::Any, Default::Float, 0, nullptr, 60.0},
    {"pipelining", "bool", Rule::Any, Default::True},
    {"auth", "Optional[Union[XOAuth2, OAuthBearer]]", Rule::Any, Default::None},
    {"message_id", "Union[bool, str]", Rule::Any, Default::False},
    {"dkim", "Optional[Signer]", Rule::Any, Default::None},
};

Ref AsyncSession_init(FunctionObject*, Args<init_params> args) {
    SessionObject* s = as_session(args["self"], "__init__");
    PyObject* mailer = args["mailer"];
    if (!checked(PyObject_IsInstance(mailer, aio_module.global(n_EasyMailer).get()))) {
        raise_incorrect_type("mailer", "EasyMailer", nullptr, mailer);
    }
    const Py_ssize_t connections =
        count_argument(args["connections"], "connections", "connections must be at least 1.");
    Py_ssize_t limit = 0;
    if (args["max_per_connection"] != Py_None) {
        limit = count_argument(args["max_per_connection"], "max_per_connection",
                               "max_per_connection must be at least 1, or None for no limit.");
    }
    double timeout = -1;
    PyObject* given = args["timeout"];
    if (given != Py_None) {
        if (PyBool_Check(given) || !(PyFloat_Check(given) || PyLong_Check(given))) {
            raise_incorrect_type("timeout", "float", nullptr, given);
        }
        timeout = PyFloat_AsDouble(given);
        if (timeout == -1 && PyErr_Occurred()) raise_error();
        if (!(timeout > 0) || !std::isfinite(timeout)) {
            raise(PyExc_ValueError,
                  "timeout must be a positive number of seconds, or None to wait for ever.");
        }
    }
    if (!PyBool_Check(args["pipelining"])) {
        raise_incorrect_type("pipelining", "bool", &PyBool_Type, args["pipelining"]);
    }
    Ref auth = mail::checked_auth(aio_module, args["auth"]);
    mail::check_additions(args["message_id"], args["dkim"], aio_module.global(n_Signer).get());
    if (s->pool && (!s->pool->connections.empty() || !s->pool->jobs.empty())) {
        raise(PyExc_RuntimeError, "AsyncSession.__init__() called on a session in use");
    }
    if (!s->pool) s->pool = new Pool();
    Py_XSETREF(s->mailer, Py_NewRef(mailer));
    s->max_connections = connections;
    s->limit = limit;
    s->timeout = timeout;
    s->pipelining = args["pipelining"] == Py_True;
    Py_XSETREF(s->auth, auth.release());
    Py_XSETREF(s->message_id, Py_NewRef(args["message_id"]));
    Py_XSETREF(s->dkim, Py_NewRef(args["dkim"]));
    return none();
}

const Signature init_signature = define<AsyncSession_init>({
    .name = "__init__",
    .doc = "Send with the settings and message steps of `mailer` (an EasyMailer).\n"
           "\n"
           "connections: how many SMTP connections the session may hold open to the\n"
           "server at once (at least 1); more than one opens only while more messages\n"
           "wait than the open ones carry.\n"
           "max_per_connection: when given (at least 1), end a connection with QUIT\n"
           "after that many messages and open a new one.  None sets no limit.\n"
           "timeout: seconds to wait for the server at each step (None: for ever).\n"
           "pipelining: group commands when the server offers PIPELINING (and use\n"
           "CHUNKING when offered); False keeps to one command at a time.\n"
           "auth: None logs in with the mailer's username and password; a\n"
           "vantrel.auth.XOAuth2 or OAuthBearer signs in with an OAuth2 token from its\n"
           "source for every connection, fetched in the loop's default executor when\n"
           "the source holds none.  A token the server refuses is fetched anew once;\n"
           "a second refusal fails with SMTPAuthenticationError.\n"
           "message_id: True adds a Message-ID (of the envelope sender's domain) to\n"
           "every message that has none; a str gives the domain.\n"
           "dkim: a vantrel.dkim.Signer that signs every message as it goes out.\n",
    .returns = "None",
});

// The first step of a send: it is queued, to be built when a connection
// takes it.
Ref start_send(PyObject* arguments, std::uint64_t& job) {
    SessionObject* s = as_session(PyTuple_GET_ITEM(arguments, 0), "send");
    return submit(s, Ref::borrow(arguments), job);
}

Ref AsyncSession_send(FunctionObject*, Args<mail::session_send_params> args) {
    as_session(args["self"], "send");
    return new_call(start_send, args.all(), std::size(mail::session_send_params));
}

const Signature send_signature = define<AsyncSession_send>({
    .name = "send",
    .doc = "Send one message; awaiting it returns once the server has accepted it.\n"
           "\n"
           "The arguments are those of Session.send (and EasyMailer.send), and so is the\n"
           "message and every refusal it raises.  Many sends may be awaited at once:\n"
           "they share the session's connections, and on each connection their commands\n"
           "are pipelined when the server offers PIPELINING.\n"
           "\n"
           "A send cancelled before its MAIL FROM was written sends nothing; one\n"
           "cancelled after that drops its connection (what the server makes of the\n"
           "message is then not known) and is never sent again.\n",
    .returns = "None",
});

Ref start_send_template(PyObject* arguments, std::uint64_t&) {
    Args<mail::session_send_template_params> args(tuple_items(arguments));
    SessionObject* s = as_session(args["self"], "send_template");
    pool_of(s);
    session_loop(s);
    Ref mailer = Ref::borrow(s->mailer);
    // Rendered with the mailer's engine; what self.send returns is awaited.
    return mail::send_template(aio_module, mailer.get(), args["self"], args);
}

Ref AsyncSession_send_template(FunctionObject*, Args<mail::session_send_template_params> args) {
    as_session(args["self"], "send_template");
    return new_call(start_send_template, args.all(), std::size(mail::session_send_template_params));
}

const Signature send_template_signature = define<AsyncSession_send_template>({
    .name = "send_template",
    .doc = "Send one message rendered from templates, as Session.send_template does.\n"
           "\n"
           "`template_name`.html and `template_name`.txt become the bodies and `subject`\n"
           "is rendered as a template string, with `context` (occurred_at added when\n"
           "missing), through the mailer's template engine; the message then goes out\n"
           "as AsyncSession.send sends it.\n",
    .returns = "None",
});

// A future of this loop that is already resolved with `value`.
Ref resolved(const Ref& loop, PyObject* value) {
    Ref future = call_method(loop, n_create_future);
    call_method(future, n_set_result, value);
    return future;
}

Ref begin_close(SessionObject* s) {
    Pool& pool = pool_of(s);
    Ref loop = session_loop(s);
    if (!s->closing) {
        if (pool.connections.empty() && pool.jobs.empty()) return resolved(loop, Py_None);
        s->closing = call_method(loop, n_create_future).release();
    }
    Ref closing = Ref::borrow(s->closing);
    service(s);
    return closing;
}

constexpr Param aclose_params[] = {self_param};

Ref AsyncSession_aclose(FunctionObject*, Args<aclose_params> args) {
    return begin_close(as_session(args["self"], "aclose"));
}

const Signature aclose_signature = define<AsyncSession_aclose>({
    .name = "aclose",
    .doc = "Wait for the messages in flight, then end every connection with QUIT.\n"
           "\n"
           "Returns an awaitable; awaiting it again, or on a session that is not\n"
           "connected, does nothing.  A later send opens a new connection.\n",
    .returns = "Awaitable[None]",
});

constexpr Param aenter_params[] = {self_param};

Ref AsyncSession_aenter(FunctionObject*, Args<aenter_params> args) {
    SessionObject* s = as_session(args["self"], "__aenter__");
    Pool& pool = pool_of(s);
    Ref loop = session_loop(s);
    for (std::size_t i = 0; i < pool.connections.size(); ++i) {
        if (connection_at(pool, i)->phase == Phase::Ready) {
            return resolved(loop, args["self"]);
        }
    }
    if (!s->entering) {
        s->entering = call_method(loop, n_create_future).release();
        Ref entering = Ref::borrow(s->entering);
        bool opening = false;
        for (std::size_t i = 0; i < pool.connections.size(); ++i)
            opening = opening || live(connection_at(pool, i));
        if (!opening) open_connection(s);
        service(s);
        return entering;
    }
    return Ref::borrow(s->entering);
}

const Signature aenter_signature = define<AsyncSession_aenter>({
    .name = "__aenter__",
    .doc = "Open the first connection, with TLS and login, and return the session.",
    .returns = "Awaitable[AsyncSession]",
});

constexpr Param aexit_params[] = {
    self_param,
    {"exc_type", "Optional[type[BaseException]]", Rule::Any, Default::Required},
    {"exc_value", "Optional[BaseException]", Rule::Any, Default::Required},
    {"traceback", "Optional[TracebackType]", Rule::Any, Default::Required},
};

Ref AsyncSession_aexit(FunctionObject*, Args<aexit_params> args) {
    // aclose()'s future never fails: the block's own exception propagates.
    return begin_close(as_session(args["self"], "__aexit__"));
}

const Signature aexit_signature = define<AsyncSession_aexit>({
    .name = "__aexit__",
    .doc = "Close the session (see aclose()); an exception of the block propagates.",
    .returns = "Awaitable[None]",
});

// ---------------------------------------------------------------------------
// _open, the seam through which every connection is made.

constexpr Param open_params[] = {
    {"loop", nullptr, Rule::Any, Default::Required},
    {"protocol_factory", nullptr, Rule::Any, Default::Required},
    {"host", nullptr, Rule::Any, Default::Required},
    {"port", nullptr, Rule::Any, Default::Required},
    {"ssl_context", nullptr, Rule::Any, Default::Required},
    {"server_hostname", nullptr, Rule::Any, Default::Required},
};

Ref aio_open(FunctionObject*, Args<open_params> args) {
    return call_method_kw(args["loop"], n_create_connection, kw_ssl_hostname,
                          args["protocol_factory"], args["host"], args["port"], args["ssl_context"],
                          args["server_hostname"]);
}

const Signature open_signature = define<aio_open>({
    .name = "_open",
    .doc = "Open one connection to the server: an awaitable giving (transport, protocol),\n"
           "as loop.create_connection does.  vantrel.testing rebinds it.",
});

constexpr Param start_tls_params[] = {
    {"loop", nullptr, Rule::Any, Default::Required},
    {"transport", nullptr, Rule::Any, Default::Required},
    {"protocol", nullptr, Rule::Any, Default::Required},
    {"ssl_context", nullptr, Rule::Any, Default::Required},
    {"server_hostname", nullptr, Rule::Any, Default::Required},
};

Ref aio_start_tls(FunctionObject*, Args<start_tls_params> args) {
    return call_method_kw(args["loop"], n_start_tls, kw_server_hostname, args["transport"],
                          args["protocol"], args["ssl_context"], args["server_hostname"]);
}

const Signature start_tls_signature = define<aio_start_tls>({
    .name = "_start_tls",
    .doc = "Upgrade a connection after STARTTLS: an awaitable giving the TLS transport,\n"
           "as loop.start_tls does.  vantrel.testing rebinds it.",
});

// ---------------------------------------------------------------------------
// The type's slots.

int session_traverse(PyObject* object, visitproc visit, void* arg) noexcept {
    SessionObject* s = as<SessionObject>(object);
    Py_VISIT(Py_TYPE(object));
    Py_VISIT(s->mailer);
    Py_VISIT(s->loop);
    Py_VISIT(s->entering);
    Py_VISIT(s->closing);
    if (int failed = s->tally.traverse(visit, arg)) return failed;
    Py_VISIT(s->auth);
    Py_VISIT(s->message_id);
    Py_VISIT(s->dkim);
    Py_VISIT(s->context);
    if (s->pool) {
        for (const auto& [id, job] : s->pool->jobs) {
            Py_VISIT(job.future.get());
            Py_VISIT(job.arguments.get());
        }
        for (const Ref& c : s->pool->connections)
            Py_VISIT(c.get());
    }
    return 0;
}

int session_clear(PyObject* object) noexcept {
    SessionObject* s = as<SessionObject>(object);
    Py_CLEAR(s->mailer);
    Py_CLEAR(s->loop);
    Py_CLEAR(s->entering);
    Py_CLEAR(s->closing);
    s->tally.clear();
    Py_CLEAR(s->auth);
    Py_CLEAR(s->message_id);
    Py_CLEAR(s->dkim);
    Py_CLEAR(s->context);
    if (Pool* pool = std::exchange(s->pool, nullptr)) {
        // What the pool holds goes after the session no longer points at it.
        Pool gone = std::move(*pool);
        delete pool;
    }
    return 0;
}

void session_dealloc(PyObject* object) noexcept {
    PyTypeObject* type = Py_TYPE(object);
    PyObject_GC_UnTrack(object);
    PyObject_ClearWeakRefs(object);
    session_clear(object);
    type->tp_free(object);
    Py_DECREF(type);
}

PyObject* session_new(PyTypeObject* type, PyObject*, PyObject*) noexcept {
    PyObject* object = PyType_GenericAlloc(type, 0);
    if (object) as<SessionObject>(object)->timeout = 60.0;
    return object;
}

// <AsyncSession smtp.example.com:587 starttls 2 connected, 12 sent>
PyObject* session_repr(PyObject* object) noexcept {
    return guarded(
        [&]() -> PyObject* {
            SessionObject* s = as<SessionObject>(object);
            if (!s->mailer || !s->pool) return mail::describe_uninitialised(object);
            Ref mailer = Ref::borrow(s->mailer);
            mail::Settings settings = mail::Settings::read(mailer.get());
            Py_ssize_t connected = 0;
            for (std::size_t i = 0; i < s->pool->connections.size(); ++i)
                connected += connection_at(*s->pool, i)->phase == Phase::Ready;
            const std::string state = connected > 0 ? std::to_string(connected) + " connected"
                                      : s->tally.connections > 0 ? "closed"
                                                                 : "not connected";
            return mail::describe_session(object, settings.host.get(), settings.port.get(),
                                          settings.security, state.c_str(), s->tally);
        },
        nullptr);
}

constexpr char last_reply_doc[] =
    "The server's final reply to the last message accepted, as (code, text),\n"
    "or None before the first; the text usually carries the queue id.";

using Attributes = mail::TallyAttributes<SessionObject, &SessionObject::tally, last_reply_doc>;

constexpr const char* class_doc =
    "Many messages of one EasyMailer over up to `connections` SMTP connections,\n"
    "from one asyncio event loop.\n"
    "\n"
    "    async with AsyncSession(mailer, connections=4) as session:\n"
    "        await asyncio.gather(*(session.send(to=user.email, subject=\"Hello\",\n"
    "                                            body=\"...\") for user in users))\n"
    "\n"
    "Messages are built with the mailer's own methods, as Session builds them,\n"
    "and take the same arguments and raise the same refusals.  Entering the block\n"
    "opens the first connection, with TLS and login, so that wrong settings fail\n"
    "at once; leaving it waits for the messages in flight, then ends every\n"
    "connection with QUIT.  Sends awaited at once share the connections; on each\n"
    "one the commands of one message go with the text of the one before when the\n"
    "server offers PIPELINING.  A connection the server closes is opened again for\n"
    "the next message; a message is never sent twice.  Nothing blocks the event\n"
    "loop but building a message, and no thread is started.  A session belongs to\n"
    "the event loop it was first used in.\n";

PyType_Slot session_slots[] = {
    type_slot(Py_tp_doc, class_doc),
    type_slot(Py_tp_new, session_new),
    type_slot(Py_tp_dealloc, session_dealloc),
    type_slot(Py_tp_traverse, session_traverse),
    type_slot(Py_tp_clear, session_clear),
    type_slot(Py_tp_repr, session_repr),
    type_slot(Py_tp_getset, Attributes::getset),
    {},
};

PyType_Spec session_spec = {
    .name = "vantrel.aio.AsyncSession",
    .basicsize = sizeof(SessionObject),
    .itemsize = 0,
    .flags =
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_MANAGED_WEAKREF,
    .slots = session_slots,
};

// The name this host gives itself in EHLO, as smtplib finds it; looked up
// once at import, so that no connection waits for the resolver.
void bind_local_name(ModuleFrame& frame) {
    Ref socket = checked(PyImport_ImportModule("socket"));
    Ref fqdn = call(getattr(socket, n_getfqdn));
    frame.bind("_local_name", fqdn.get());
}

void module_body(ModuleFrame& frame, PyObject*) {
    frame.import("asyncio");
    frame.import("logging");
    frame.import("smtplib");
    frame.import("ssl");
    frame.import_from("datetime", {"datetime"});
    frame.import_from("types", {"TracebackType"});
    frame.import_from("typing", {"Awaitable", "List", "Optional", "Union", "Dict"});
    frame.import_from("mailer", {"EasyMailer"}, 1);
    frame.import_from("auth", {"XOAuth2", "OAuthBearer"}, 1);
    frame.import_from("dkim", {"Signer"}, 1);

    bind_local_name(frame);
    Ref asyncio = frame.global(n_asyncio);
    make_connection_type(getattr(asyncio, n_Protocol).get());
    make_call_type(frame);

    Ref type =
        frame.native_class(session_spec, {init_signature, send_signature, send_template_signature,
                                          aclose_signature, aenter_signature, aexit_signature});
    frame.bind("AsyncSession", type.get());
    Py_XSETREF(SessionObject::type, reinterpret_cast<PyTypeObject*>(type.release()));

    // A call of send or send_template is awaited as a coroutine's is.
    Ref inspect = checked(PyImport_ImportModule("inspect"));
    for (const char* name : {"send", "send_template"}) {
        Ref method =
            checked(PyObject_GetAttrString(reinterpret_cast<PyObject*>(SessionObject::type), name));
        call_method(inspect, n_markcoroutinefunction, method);
    }
    frame.bind("_open", frame.function(open_signature).get());
    frame.bind("_start_tls", frame.function(start_tls_signature).get());
}

} // namespace

} // namespace vantrel::aio

PyMODINIT_FUNC PyInit_aio() noexcept {
    return vantrel::aio::aio_module.init();
}
