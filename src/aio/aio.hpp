// vantrel.aio: AsyncSession, the SMTP conversation of the blocking Session
// driven from asyncio transports instead of a socket.  What the pieces share:
// the session with its pool of connections and the messages waiting for one
// (session.cpp), the protocol that feeds one conversation from its transport
// (connection.cpp), and the awaitable a send returns (calls.cpp).
//
// Nothing here blocks and nothing waits: every step is a callback of the
// event loop (data read, a connection opened, TLS up, a timer), each feeds
// one conversation and then lets the session run `service`, which writes
// what the conversations have to write, settles the messages that ended and
// hands waiting messages to connections with room for them.
#pragma once

#include "frame/frame.hpp"
#include "mail/conversation.hpp"
#include "mail/tally.hpp"

#include <cstdint>
#include <deque>
#include <optional>
#include <unordered_map>
#include <vector>

namespace vantrel::aio {

extern ModuleFrame aio_module;

// Where a connection stands.
enum class Phase : std::uint8_t {
    Opening,  // the transport is being made
    Setup,    // greeting, EHLO, STARTTLS, AUTH
    Ready,    // messages may go
    Quitting, // QUIT written, or about to be; takes no more messages
    Ended,    // closed or dropped; leaves the pool at the next service
};

// One asyncio protocol: a transport and the conversation it carries.
struct ConnectionObject {
    PyObject_HEAD
    PyObject* session;   // the AsyncSession it belongs to
    PyObject* transport; // once connection_made, then the TLS transport
    PyObject* task;      // the task opening it or starting TLS on it, while it runs
    PyObject* timer;     // the timeout's TimerHandle, while armed
    PyObject* host;      // the server's name, for the certificate check
    PyObject* failure;   // the exception that ended it, once it ended
    // The module's _open when it was opened: a capture that began or ended
    // since binds another, and this connection then takes no more messages.
    PyObject* opened_through;
    mail::Conversation* conversation;
    double last_activity; // CLOCK_MONOTONIC seconds of the last progress
    Py_ssize_t handed;    // messages handed to it in all
    Py_ssize_t carried;   // messages it carries now
    Phase phase;
    bool starttls;    // the plain connection is upgraded once the server says so
    bool paused;      // the transport's buffer is full: write nothing until resumed
    bool displaced;   // dropped because of another message: its unsent ones go again freely
    bool token_retry; // opened to sign in again after the server refused a token
    static inline PyTypeObject* type;
};

// A send waiting for its outcome.  Its message is built only when a
// connection takes it, so that building (the loop's one long step) goes on
// while the connections already at work carry what they hold; a message put
// back for another attempt is kept as it was built.
struct Job {
    Ref future;
    Ref arguments;                         // send's bound arguments, until it is built
    std::optional<mail::Prepared> message; // built and waiting again for a connection
    ConnectionObject* carrier = nullptr;   // while handed; the pool holds the connection
};

// The session's moving parts, owned by the session object.
struct Pool {
    std::unordered_map<std::uint64_t, Job> jobs;
    std::deque<std::uint64_t> waiting; // jobs not handed to a connection, oldest first
    std::vector<Ref> connections;      // ConnectionObjects, in any phase
    std::uint64_t next_job = 1;
};

struct SessionObject {
    PyObject_HEAD
    PyObject* mailer;
    PyObject* loop;       // the event loop it belongs to, once used
    PyObject* entering;   // the future __aenter__ awaits, while the first connection opens
    PyObject* closing;    // the future aclose() returns, while closing
    PyObject* auth;       // XOAuth2 or OAuthBearer, or null for the password
    PyObject* message_id; // False, True or a domain: the Message-ID it adds
    PyObject* dkim;       // None or the vantrel.dkim.Signer that signs its messages
    PyObject* context;    // the TLS context its connections share, once one needed it
    Pool* pool;
    Py_ssize_t max_connections;
    Py_ssize_t limit;  // messages per connection, 0 for no limit
    mail::Tally tally; // messages accepted, connections opened, the last reply
    double timeout;    // seconds; negative for none
    bool pipelining;
    bool servicing; // service() is running: a nested call only asks for one more round
    bool again;
    static inline PyTypeObject* type;
};

// The items of a tuple of bound arguments, as Args reads them.
inline PyObject* const* tuple_items(PyObject* tuple) noexcept {
    return reinterpret_cast<PyTupleObject*>(tuple)->ob_item;
}

// session.cpp ---------------------------------------------------------------

// Writes, settles and hands out until nothing changes.
void service(SessionObject* s);
// The loop running now, which must be the session's (bound at first use).
Ref session_loop(SessionObject* s);
// Queues a send, from the tuple of its bound arguments, as the job `job_id`;
// the future that its outcome resolves.
Ref submit(SessionObject* s, Ref arguments, std::uint64_t& job_id);
// The TLS context of the session's connections, made when first needed: one
// context serves them all, as loading the trusted certificates is the
// costly part of making one.
Ref tls_context(SessionObject* s);
// The caller of a send gave up on it (cancelled, closed): a message still
// waiting, or queued with nothing of it written, is taken back; one under way
// drops its connection and is never sent again.
void abandon(SessionObject* s, std::uint64_t job);
// The session's end of an outcome of one of the connection's messages.
void settle(SessionObject* s, ConnectionObject* c, mail::Outcome outcome);
// A connection ended before it was ready, with `error`.
void setup_failed(SessionObject* s, ConnectionObject* c, PyObject* error);
// A connection became ready.
void became_ready(SessionObject* s, ConnectionObject* c);

// connection.cpp ------------------------------------------------------------

// Starts opening a new connection of the session, through the module's _open.
Ref open_connection(SessionObject* s);
// Writes what the conversation has, takes its outcomes, follows its phase.
// True when anything changed.
bool pump(ConnectionObject* c);
// Hands a message to a ready connection.
void hand(ConnectionObject* c, mail::Prepared message);
// Takes back a message of which nothing is written yet; false when under way.
bool withdraw(ConnectionObject* c, std::uint64_t job);
// Ends the connection with QUIT once its messages are done.
void quit(ConnectionObject* c);
// Drops the connection at once: its messages under way end with `error`.
void drop(ConnectionObject* c, Ref error);
// Lets go of the conversation of a connection that has ended and left the
// pool; callbacks that still come for it do nothing.
void retire(ConnectionObject* c);
// Messages one connection of the session may carry at once.
Py_ssize_t window(const SessionObject* s);
// The protocol type, a subclass of asyncio.Protocol.
void make_connection_type(PyObject* protocol_base);

// calls.cpp -----------------------------------------------------------------

// The first step of an awaitable call, given the tuple of its bound
// arguments: the awaitable it then waits on.  A call of send sets `job` to
// the message it queued.
using Start = Ref (*)(PyObject* arguments, std::uint64_t& job);
// An awaitable that runs `start` with the bound arguments at its first step.
Ref new_call(Start start, PyObject* const* bound, std::size_t count);
void make_call_type(ModuleFrame& frame);

} // namespace vantrel::aio
