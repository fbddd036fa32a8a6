// An SMTP client that does no I/O: bytes from the server go in through
// receive(), the bytes to write come out of output(), and what happened comes
// out as events, in order.  The driver owns the socket, TLS and timeouts; the
// client owns every decision about what to write and how replies match the
// commands.  It knows nothing of Python.
//
// A driver's loop:
//
//     Client client(options);
//     client.hello("client.example");             // queued operations, done in order
//     client.start_tls();
//     client.login(password_mechanisms(user, password));
//     client.send(message);                      // as many as it likes
//     for (;;) {
//         write(client.output());                // then client.consume(n) for n written
//         while (client.next_event(event)) ...   // TlsReady: wrap, then tls_established()
//         client.receive(read());                // or receive_eof()
//     }
//
// Call output() and next_event() after every call that feeds the client
// (receive, an operation, consume): each of them may make output and events.
// With PIPELINING a message queued before the previous one's text is written
// (at its TextReady event at the latest) goes in the same group as that text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "smtp/sasl.hpp"
#include "smtp/text.hpp"

namespace vantrel::smtp {

// A reply of the server: its code and its lines after the code, joined by
// "\n" as smtplib joins them (enhanced status codes stay in the text).
struct Reply {
    int code = 0; // 0: no reply (an event that carries none)
    std::string text;
};

// The commands the client writes; Text is the end of a message's text after
// DATA (the final "."), whose reply is the message's final reply.
enum class Command : std::uint8_t {
    None,
    Ehlo,
    Helo,
    StartTls,
    Auth,
    AuthResponse,
    Mail,
    Rcpt,
    Data,
    Text,
    Bdat,
    Rset,
    Noop,
    Quit,
};

// "MAIL", "RCPT", "DATA", ...; "" for None.
const char* command_name(Command command) noexcept;

// What the server said of itself in its reply to EHLO.
struct Capabilities {
    bool esmtp = false; // EHLO was accepted (false after HELO)
    bool pipelining = false;
    bool chunking = false;
    bool eight_bit_mime = false;
    bool smtputf8 = false;
    bool starttls = false;
    bool auth = false;                   // AUTH advertised, with or without mechanisms
    bool size = false;                   // SIZE advertised
    std::uint64_t size_limit = 0;        // SIZE's limit; 0 when it gave none
    std::vector<std::string> mechanisms; // AUTH's mechanisms, upper case
    std::string greeting;                // the first line: the server's name and words
    // Every keyword (upper case) with its parameters, in the server's order.
    std::vector<std::pair<std::string, std::string>> extensions;

    bool offers(std::string_view keyword) const noexcept; // any case
    bool offers_mechanism(std::string_view mechanism) const noexcept;
};

// What the server lacks when an operation cannot even start.
enum class Extension : std::uint8_t { None, StartTls, Auth, AuthMechanism, SmtpUtf8 };

enum class EventKind : std::uint8_t {
    Greeting,      // reply: the greeting; anything but 220 refuses the session
    Hello,         // EHLO (or HELO) accepted: capabilities() describes the server
    HelloRefused,  // reply: HELO's refusal after EHLO's
    TlsReady,      // 220 to STARTTLS: wrap the transport, then call tls_established()
    TlsRefused,    // reply: the refusal of STARTTLS
    LoggedIn,      // reply: 235 (or smtplib's 503 "already authenticated")
    LoginRefused,  // reply: the refusal; detail: the last challenge, decoded
    Unsupported,   // missing: the extension an operation needs; tag for a message
    TextReady,     // tag: 354 to DATA, the text follows
    Accepted,      // tag; reply: the final one; recipients: the reply to each RCPT
    Refused,       // tag; command: what was refused, with reply; recipients
    NotSent,       // tag: nothing of the message reached the server; it may go again
    Lost,          // tag: the connection ended while the message was under way
    Done,          // command: a NOOP or RSET the driver asked for, and its reply
    Sent,          // trace only: detail is the command line written (secrets as ***)
    Received,      // trace only: reply is a reply just read
    ProtocolError, // detail: what the server got wrong; nothing more is written
    Closed,        // the session is over: reply to QUIT, a 421, or none at the end of input
};

const char* event_name(EventKind kind) noexcept;

struct Event {
    EventKind kind{};
    Command command = Command::None;
    Extension missing = Extension::None;
    std::uint64_t tag = 0; // the message's tag, for message events
    Reply reply;
    std::vector<Reply> recipients; // Accepted, Refused: in RCPT order (code 0: not answered)
    std::string detail;
};

// Whether an RCPT reply accepted its recipient (250 or 251, as smtplib has it).
inline bool accepted(const Reply& reply) noexcept {
    return reply.code == 250 || reply.code == 251;
}

struct Options {
    bool pipelining = true;              // group commands when the server offers PIPELINING
    bool chunking = true;                // BDAT instead of DATA when it offers CHUNKING
    std::size_t chunk_size = 1 << 20;    // the most octets of one BDAT chunk
    std::size_t output_limit = 64 << 10; // output buffered before the driver writes it
    std::size_t max_in_flight = 100;     // commands whose replies are awaited
    std::size_t max_line = 8192;         // the longest reply line taken
    std::size_t max_lines = 256;         // the most lines of one reply
    bool trace = false;                  // Sent and Received events
};

// One message.  The client copies the envelope; `text` is read in place and
// must stay valid until the message's last event (Accepted, Refused, NotSent,
// Lost or Unsupported).
struct Message {
    std::string_view sender; // a bare address, or "" for the null sender
    std::span<const std::string_view> recipients;
    std::string_view text; // the whole message, any line endings
    std::uint64_t tag = 0; // the driver's name for the message, in its events
    bool smtputf8 = false; // needs SMTPUTF8 even if its bytes do not say so
};

enum class Submitted : std::uint8_t {
    Queued,
    NoRecipients,
    BadAddress, // an address holding CR, LF or NUL, or an empty recipient
};

class Client {
public:
    explicit Client(Options options = {});
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // Operations, queued and carried out in order once the greeting is in.
    // Once the greeting, hello, start_tls or login has failed, every other
    // operation, queued before or after, is dropped (a message with a NotSent
    // event) except quit: the driver ends this connection.
    // EHLO, then HELO if EHLO is refused; false for a name holding CR, LF or NUL.
    bool hello(std::string_view local_name);
    void start_tls(); // EHLO again once tls_established()
    void tls_established();
    // Tries the mechanisms the server offers, in the order given; a 535 ends
    // the login at once, another refusal tries the next one.
    void login(std::vector<std::unique_ptr<Mechanism>> mechanisms);
    Submitted send(const Message& message);
    // Takes back a queued message of which nothing has been written yet (its
    // caller gave up on it): it ends with no event, and the connection goes
    // on as if it had never been queued.  False when its MAIL is written
    // already, or no such message is queued.
    bool withdraw(std::uint64_t tag);
    void reset();
    void noop();
    void quit();

    // Bytes read from the server; any split, any number of replies.
    void receive(std::string_view data);
    // The server closed the connection (or the driver gave up on it): every
    // message under way ends with NotSent or Lost, then Closed.
    void receive_eof();

    // The bytes to write now (at most about output_limit); empty when nothing
    // is to be written until more is read.  The view lasts until the next call.
    std::string_view output();
    void consume(std::size_t written);

    bool next_event(Event& event);

    const Capabilities& capabilities() const noexcept { return caps_; }
    // Replies are awaited or operations are queued.
    bool busy() const noexcept { return !pending_.empty() || !jobs_.empty(); }
    bool closed() const noexcept { return state_ == State::Closed; }

private:
    enum class State : std::uint8_t { Greeting, Ready, TlsWait, Quitting, Closed };
    struct Job;
    struct Pending {
        Command command;
        std::uint64_t job;   // the job's sequence number
        std::uint32_t index; // the recipient of an RCPT
        bool last = false;   // BDAT ... LAST
        bool asked = false;  // a RSET or NOOP the driver asked for
    };

    Job* job(std::uint64_t seq) noexcept;
    Job& enqueue(int kind);
    bool pipelining() const noexcept;
    bool can_write() const noexcept;
    std::uint64_t produced() const noexcept { return consumed_ + (out_.size() - out_pos_); }

    void pump();
    bool advance(Job& job);
    bool advance_message(Job& job);
    bool advance_login(Job& job);
    void write_command(Command command, std::uint64_t job, std::string_view line,
                       std::uint32_t index = 0, bool last = false, bool asked = false);
    void write_auth(Job& job, std::string_view line, bool secret_tail, Command command);
    void write_chunk_header(Job& job);
    void trace_sent(std::string_view line);

    void parse();
    void on_reply(Reply& reply);
    void on_message_reply(Job& job, const Pending& pending, Reply& reply);
    void on_login_reply(Job& job, Reply& reply);
    void settle(Job& job, EventKind kind, Command command, const Reply& reply);
    void settle_envelope(Job& job);
    void emit_outcome(Job& job);
    void fail_setup(Job& failed);
    void drop_queued(std::uint64_t from);
    void finish(Job& job);
    void closing(const Reply& reply);
    void terminate(bool lost_possible);
    void protocol_error(std::string detail);
    void emit(Event&& event);
    void emit_simple(EventKind kind, Command command, const Reply& reply, std::uint64_t tag = 0);

    Options options_;
    State state_ = State::Greeting;
    Capabilities caps_;
    std::string local_name_;
    bool setup_failed_ = false; // greeting, EHLO/HELO, STARTTLS or login refused

    std::deque<std::unique_ptr<Job>> jobs_;
    std::uint64_t next_seq_ = 0;
    std::uint64_t writer_ = 0; // the first job not yet wholly written
    std::deque<Pending> pending_;

    std::string out_;
    std::size_t out_pos_ = 0;
    std::uint64_t consumed_ = 0; // bytes the driver has written in all
    bool open_bytes_ = false;    // the last pending command's text is partly written

    std::string in_;
    std::size_t in_pos_ = 0;  // start of the first unparsed line
    std::size_t in_scan_ = 0; // where the search for its end goes on
    Reply partial_;           // the lines of a reply read so far
    std::size_t partial_lines_ = 0;

    std::deque<Event> events_;
};

} // namespace vantrel::smtp
