// The asyncio protocol of one SMTP connection: what the transport reads goes
// into the conversation, what the conversation writes goes to the transport,
// STARTTLS goes through loop.start_tls, and a timer gives up on a server that
// stops answering.
#include "aio/aio.hpp"
#include "mail/settings.hpp"
#include "mail/signin.hpp"

#include <time.h>

#include <utility>

namespace vantrel::aio {

namespace {

Name n_ssl{"ssl"};
Name n_create_default_context{"create_default_context"};
Name n_asyncio{"asyncio"};
Name n_ensure_future{"ensure_future"};
Name n_add_done_callback{"add_done_callback"};
Name n_call_later{"call_later"};
Name n_cancel{"cancel"};
Name n_cancelled{"cancelled"};
Name n_exception{"exception"};
Name n_result{"result"};
Name n_write{"write"};
Name n_abort{"abort"};
Name n_start_tls_seam{"_start_tls"};
Name n_open{"_open"};
Name n_local_name{"_local_name"};
Name n_logging{"logging"};
Name n_getLogger{"getLogger"};
Name n_isEnabledFor{"isEnabledFor"};
Name n_smtplib{"smtplib"};
Name n_SMTPServerDisconnected{"SMTPServerDisconnected"};
Name n_run_in_executor{"run_in_executor"};
Name n_token{"token"};
Text t_vantrel_smtp{"vantrel.smtp"};
KwNames kw_loop{"loop"};

constexpr int debug_level = 10; // logging.DEBUG

double now() noexcept {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

SessionObject* session_of(ConnectionObject* c) {
    return reinterpret_cast<SessionObject*>(c->session);
}

Ref loop_of(ConnectionObject* c) {
    return Ref::borrow(session_of(c)->loop);
}

// Whether the connection waits for the server: being opened, TLS being set
// up, or replies awaited.
bool waiting_for_server(const ConnectionObject* c) {
    if (c->phase == Phase::Ended) return false;
    return c->task || c->phase == Phase::Opening || c->conversation->busy();
}

// A bound method of the connection, for asyncio to call back.
Ref callback(ConnectionObject* c, const char* name) {
    return checked(PyObject_GetAttrString(reinterpret_cast<PyObject*>(c), name));
}

// The timer runs while the connection waits for the server; it fires at most
// once per `timeout` and looks at the time of the last progress, so that
// reading needs no timer of its own.
void arm(ConnectionObject* c, double delay) {
    const double timeout = session_of(c)->timeout;
    if (timeout < 0 || c->timer) return;
    Ref seconds = checked(PyFloat_FromDouble(delay));
    c->timer = call_method(loop_of(c), n_call_later, seconds, callback(c, "_expired")).release();
}

void disarm(ConnectionObject* c) {
    Ref timer = Ref::steal(std::exchange(c->timer, nullptr));
    if (timer) call_method(timer, n_cancel);
}

Ref disconnected_error() {
    return call(getattr(aio_module.global(n_smtplib), n_SMTPServerDisconnected),
                Ref::steal(PyUnicode_FromString("Connection unexpectedly closed")));
}

Ref timeout_error() {
    return call(PyExc_TimeoutError,
                Ref::steal(PyUnicode_FromString("the SMTP server did not answer in time")));
}

void write_out(ConnectionObject* c) {
    if (!c->transport || c->paused || c->phase == Phase::Ended) return;
    for (;;) {
        std::string_view out = c->conversation->output();
        if (out.empty()) return;
        Ref chunk =
            checked(PyBytes_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size())));
        c->conversation->consume(out.size());
        if (!c->timer) c->last_activity = now();
        call_method(Ref::borrow(c->transport), n_write, chunk);
        if (c->paused) return;
    }
}

void start_tls(ConnectionObject* c) {
    Ref loop = loop_of(c);
    Ref upgrade = call(aio_module.global(n_start_tls_seam), loop, Ref::borrow(c->transport),
                       Ref::borrow(reinterpret_cast<PyObject*>(c)), tls_context(session_of(c)),
                       Ref::borrow(c->host));
    Ref task =
        call_method_kw(aio_module.global(n_asyncio), n_ensure_future, kw_loop, upgrade, loop);
    call_method(task, n_add_done_callback, callback(c, "_tls_done"));
    Py_XSETREF(c->task, task.release());
    c->last_activity = now();
}

// What a finished task of the connection gave, or the exception it ended
// with (TimeoutError when the timer cancelled it).
Ref task_outcome(ConnectionObject* c, PyObject* task, Ref& error) {
    if (task != c->task) return Ref(); // dropped meanwhile
    Py_CLEAR(c->task);
    if (truth(call_method(task, n_cancelled))) {
        error = c->failure ? Ref::borrow(c->failure) : timeout_error();
        return Ref();
    }
    Ref raised = call_method(task, n_exception);
    if (raised.get() != Py_None) {
        error = raised;
        return Ref();
    }
    return call_method(task, n_result);
}

} // namespace

void retire(ConnectionObject* c) {
    disarm(c);
    delete std::exchange(c->conversation, nullptr);
}

void hand(ConnectionObject* c, mail::Prepared message) {
    ++c->handed;
    ++c->carried;
    try {
        c->conversation->submit(std::move(message));
    } catch (const Error&) {
        --c->carried;
        throw;
    }
    // Its commands go before the next message is built.
    write_out(c);
}

bool withdraw(ConnectionObject* c, std::uint64_t job) {
    if (c->phase == Phase::Ended || !c->conversation->withdraw(job)) return false;
    --c->carried;
    return true;
}

void quit(ConnectionObject* c) {
    if (c->phase == Phase::Ended || c->phase == Phase::Quitting) return;
    if (c->phase == Phase::Opening || c->task || !c->transport) {
        // Nothing said yet that a QUIT could end.
        drop(c, timeout_error());
        return;
    }
    c->phase = Phase::Quitting;
    c->conversation->quit();
}

void drop(ConnectionObject* c, Ref error) {
    if (c->phase == Phase::Ended) return;
    if (!error) error = disconnected_error();
    const bool ready = c->phase == Phase::Ready || c->phase == Phase::Quitting;
    c->phase = Phase::Ended;
    if (!c->failure) c->failure = Ref(error).release();
    c->conversation->fail(error);
    disarm(c);
    if (Ref task = Ref::steal(std::exchange(c->task, nullptr))) call_method(task, n_cancel);
    if (c->transport) call_method(Ref::borrow(c->transport), n_abort);
    if (!ready) setup_failed(session_of(c), c, c->failure);
}

bool pump(ConnectionObject* c) {
    if (!c->conversation) return false;
    if (c->phase == Phase::Ended) {
        // Outcomes of its end still to be settled.
        bool settled = false;
        while (std::optional<mail::Outcome> outcome = c->conversation->take_outcome()) {
            settle(session_of(c), c, std::move(*outcome));
            settled = true;
        }
        return settled;
    }
    bool changed = false;
    write_out(c);
    if (c->conversation->tls_requested() && !c->task) start_tls(c);
    if (const Ref& failed = c->conversation->setup_error()) {
        drop(c, failed);
        return true;
    }
    if (c->phase == Phase::Setup && c->conversation->ready()) {
        c->phase = Phase::Ready;
        became_ready(session_of(c), c);
        changed = true;
    }
    while (std::optional<mail::Outcome> outcome = c->conversation->take_outcome()) {
        settle(session_of(c), c, std::move(*outcome));
        changed = true;
    }
    if (c->conversation->closed()) {
        // QUIT answered, a 421, or the server's end of the stream.
        if (c->phase != Phase::Ended) {
            const bool ready = c->phase == Phase::Ready || c->phase == Phase::Quitting;
            c->phase = Phase::Ended;
            disarm(c);
            // Nothing more is said on it either way: a TLS close_notify would
            // only wait for a peer that has gone.
            if (c->transport) call_method(Ref::borrow(c->transport), n_abort);
            if (!ready) {
                Py_XSETREF(c->failure, disconnected_error().release());
                setup_failed(session_of(c), c, c->failure);
            }
        }
        return true;
    }
    if (waiting_for_server(c)) arm(c, session_of(c)->timeout);
    return changed;
}

// The rest of opening, once the token for its login is had (`token`, or null
// for the password): the conversation's opening is queued and the transport
// asked for, with the mailer's settings as they are now.
void begin_opening(ConnectionObject* c, PyObject* token) {
    SessionObject* s = session_of(c);
    mail::Settings settings = mail::Settings::read(s->mailer);
    c->host = Ref(settings.host).release();
    c->starttls = settings.security == mail::Security::StartTls;
    const bool implicit = settings.security == mail::Security::ImplicitTls;
    // Made before the connection, while nothing waits for it; STARTTLS
    // takes the same one later.
    Ref context = settings.security == mail::Security::Plain ? none() : tls_context(s);

    // The exchange at DEBUG level, when the logger shows it: otherwise the
    // engine makes no trace at all.
    Ref logger = call_method(aio_module.global(n_logging), n_getLogger, t_vantrel_smtp.get());
    Ref level = checked(PyLong_FromLong(debug_level));
    const bool tracing = truth(call_method(logger, n_isEnabledFor, level));
    smtp::Options options;
    options.pipelining = s->pipelining;
    options.chunking = s->pipelining;
    options.trace = tracing;
    Ref label = checked(PyUnicode_FromFormat("%S:%S", settings.host.get(), settings.port.get()));
    delete std::exchange(c->conversation, nullptr);
    c->conversation = new mail::Conversation(aio_module, options, tracing ? logger : Ref(), label);

    std::vector<std::unique_ptr<smtp::Mechanism>> mechanisms =
        mail::login_mechanisms(settings, s->auth, token);
    Ref local_name = aio_module.global(n_local_name);
    if (!PyUnicode_Check(local_name.get())) {
        raise_incorrect_type("_local_name", "str", &PyUnicode_Type, local_name.get());
    }
    c->conversation->open(utf8_view(local_name.get()), c->starttls, std::move(mechanisms));

    Ref loop = Ref::borrow(s->loop);
    Ref through = aio_module.global(n_open);
    c->opened_through = Ref(through).release();
    Ref opening = call(through, loop, callback(c, "_protocol"), settings.host, settings.port,
                       implicit ? context : none(), implicit ? settings.host : none());
    Ref task =
        call_method_kw(aio_module.global(n_asyncio), n_ensure_future, kw_loop, opening, loop);
    call_method(task, n_add_done_callback, callback(c, "_opened"));
    Py_XSETREF(c->task, task.release());
    arm(c, s->timeout);
}

Ref tls_context(SessionObject* s) {
    if (!s->context) {
        s->context = call_method(aio_module.global(n_ssl), n_create_default_context).release();
    }
    return Ref::borrow(s->context);
}

Ref open_connection(SessionObject* s) {
    Ref made = new_instance<ConnectionObject>();
    ConnectionObject* c = as<ConnectionObject>(made.get());
    c->session = Py_NewRef(reinterpret_cast<PyObject*>(s));
    c->phase = Phase::Opening;
    c->last_activity = now();
    s->pool->connections.push_back(made);
    ++s->tally.connections;
    if (!s->auth) {
        begin_opening(c, nullptr);
        return made;
    }
    if (Ref token = mail::cached_token(s->auth)) {
        begin_opening(c, token.get());
        return made;
    }
    // The source must fetch (an HTTP request, a command): in a thread of the
    // loop's default executor, while the loop goes on.  Until the opening
    // begins, a conversation with nothing queued stands in, so that a drop
    // (the timeout, aclose) ends the connection as any other.
    c->conversation = new mail::Conversation(aio_module, smtp::Options(), Ref(), Ref());
    Ref fetch = call_method(Ref::borrow(s->loop), n_run_in_executor, Py_None,
                            getattr(mail::token_source(s->auth), n_token));
    call_method(fetch, n_add_done_callback, callback(c, "_token_ready"));
    c->task = fetch.release();
    arm(c, s->timeout);
    return made;
}

// ---------------------------------------------------------------------------
// The protocol's methods, as asyncio calls them, and the callbacks of its
// tasks and timer.  Each feeds the conversation, then lets the session serve.

namespace {

ConnectionObject* connection(PyObject* self) {
    return as<ConnectionObject>(self);
}

template <class Work> PyObject* serving(PyObject* self, Work&& work) noexcept {
    return guarded(
        [&]() -> PyObject* {
            ConnectionObject* c = connection(self);
            if (!c->session || !c->conversation) return Py_NewRef(Py_None);
            Ref keep = Ref::borrow(self); // the pool may let go of it meanwhile
            Ref session = Ref::borrow(c->session);
            work(c);
            service(reinterpret_cast<SessionObject*>(session.get()));
            return Py_NewRef(Py_None);
        },
        nullptr);
}

PyObject* connection_made(PyObject* self, PyObject* transport) noexcept {
    return serving(self, [&](ConnectionObject* c) {
        Py_XSETREF(c->transport, Py_NewRef(transport));
        if (c->phase == Phase::Opening) c->phase = Phase::Setup;
        c->last_activity = now();
    });
}

PyObject* data_received(PyObject* self, PyObject* data) noexcept {
    return serving(self, [&](ConnectionObject* c) {
        if (c->phase == Phase::Ended) return;
        char* bytes = nullptr;
        Py_ssize_t size = 0;
        if (PyBytes_AsStringAndSize(data, &bytes, &size) < 0) raise_error();
        c->last_activity = now();
        c->conversation->receive(std::string_view(bytes, static_cast<std::size_t>(size)));
    });
}

PyObject* eof_received(PyObject* self, PyObject*) noexcept {
    PyObject* result = serving(self, [&](ConnectionObject* c) {
        if (c->phase != Phase::Ended) c->conversation->fail(Ref());
    });
    if (!result) return nullptr;
    Py_DECREF(result);
    return Py_NewRef(Py_False); // the transport closes itself
}

PyObject* connection_lost(PyObject* self, PyObject* exc) noexcept {
    return serving(self, [&](ConnectionObject* c) {
        // After QUIT's reply or a 421 the conversation has ended already;
        // otherwise whatever is under way ends with the transport's error.
        if (c->phase != Phase::Ended && !c->conversation->closed()) {
            drop(c, exc == Py_None ? Ref() : Ref::borrow(exc));
        }
        Py_CLEAR(c->transport);
    });
}

PyObject* pause_writing(PyObject* self, PyObject*) noexcept {
    connection(self)->paused = true;
    return Py_NewRef(Py_None);
}

PyObject* resume_writing(PyObject* self, PyObject*) noexcept {
    return serving(self, [&](ConnectionObject* c) { c->paused = false; });
}

// The protocol factory that _open is given: the connection itself.
PyObject* protocol(PyObject* self, PyObject*) noexcept {
    return Py_NewRef(self);
}

PyObject* opened(PyObject* self, PyObject* task) noexcept {
    return serving(self, [&](ConnectionObject* c) {
        Ref error;
        Ref result = task_outcome(c, task, error);
        if (error) {
            drop(c, error);
        } else if (result && c->phase == Phase::Opening) {
            // A stand-in transport may not call connection_made itself.
            drop(c, call(PyExc_RuntimeError,
                         Ref::steal(PyUnicode_FromString("_open() made no connection"))));
        }
    });
}

PyObject* token_ready(PyObject* self, PyObject* task) noexcept {
    return serving(self, [&](ConnectionObject* c) {
        Ref error;
        Ref token = task_outcome(c, task, error);
        if (error) {
            drop(c, error); // the source's TokenError, as it is
        } else if (token && c->phase == Phase::Opening) {
            begin_opening(c, token.get());
        }
    });
}

PyObject* tls_done(PyObject* self, PyObject* task) noexcept {
    return serving(self, [&](ConnectionObject* c) {
        Ref error;
        Ref transport = task_outcome(c, task, error);
        if (error) {
            drop(c, error);
        } else if (transport) {
            Py_XSETREF(c->transport, transport.release());
            c->last_activity = now();
            c->conversation->tls_established();
        }
    });
}

PyObject* expired(PyObject* self, PyObject*) noexcept {
    return serving(self, [&](ConnectionObject* c) {
        Py_CLEAR(c->timer);
        if (!waiting_for_server(c)) return;
        const double timeout = session_of(c)->timeout;
        const double idle = now() - c->last_activity;
        if (idle < timeout) {
            arm(c, timeout - idle);
            return;
        }
        Ref error = timeout_error();
        Py_XSETREF(c->failure, Ref(error).release());
        drop(c, error);
    });
}

PyMethodDef connection_methods[] = {
    {"connection_made", connection_made, METH_O, nullptr},
    {"data_received", data_received, METH_O, nullptr},
    {"eof_received", eof_received, METH_NOARGS, nullptr},
    {"connection_lost", connection_lost, METH_O, nullptr},
    {"pause_writing", pause_writing, METH_NOARGS, nullptr},
    {"resume_writing", resume_writing, METH_NOARGS, nullptr},
    {"_protocol", protocol, METH_NOARGS, nullptr},
    {"_opened", opened, METH_O, nullptr},
    {"_tls_done", tls_done, METH_O, nullptr},
    {"_token_ready", token_ready, METH_O, nullptr},
    {"_expired", expired, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

using ConnectionFields =
    Fields<ConnectionObject, &ConnectionObject::session, &ConnectionObject::transport,
           &ConnectionObject::task, &ConnectionObject::timer, &ConnectionObject::host,
           &ConnectionObject::failure, &ConnectionObject::opened_through>;

void connection_dealloc(PyObject* self) noexcept {
    ConnectionObject* c = connection(self);
    delete std::exchange(c->conversation, nullptr);
    ConnectionFields::dealloc(self);
}

// The conversation may hold exceptions, and through their tracebacks
// anything: it goes with the fields.
int connection_clear(PyObject* self) noexcept {
    delete std::exchange(connection(self)->conversation, nullptr);
    return ConnectionFields::clear(self);
}

PyType_Slot connection_slots[] = {
    type_slot(Py_tp_doc, "The asyncio protocol of one AsyncSession connection."),
    type_slot(Py_tp_dealloc, connection_dealloc),
    type_slot(Py_tp_traverse, ConnectionFields::traverse),
    type_slot(Py_tp_clear, connection_clear),
    type_slot(Py_tp_methods, connection_methods),
    {},
};

PyType_Spec connection_spec = {
    .name = "vantrel.aio._Connection",
    .basicsize = sizeof(ConnectionObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .slots = connection_slots,
};

} // namespace

void make_connection_type(PyObject* protocol_base) {
    Ref bases = checked(PyTuple_Pack(1, protocol_base));
    Ref type = checked(PyType_FromSpecWithBases(&connection_spec, bases.get()));
    Py_XSETREF(ConnectionObject::type, reinterpret_cast<PyTypeObject*>(type.release()));
}

} // namespace vantrel::aio
