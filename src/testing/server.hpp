// The stand-in SMTP server of a capture, as protocol alone: the client's bytes
// go in, the server's replies come out, in order, however the commands were
// grouped.  It knows no Python; what it must ask (the rehearsed refusals) and
// what it delivers go through a Backend.
//
// It speaks what the servers people submit to speak: EHLO with PIPELINING,
// SIZE, 8BITMIME, SMTPUTF8, CHUNKING, ENHANCEDSTATUSCODES, STARTTLS (until TLS
// is on) and AUTH PLAIN LOGIN XOAUTH2 OAUTHBEARER; MAIL with SIZE=, BODY= and
// SMTPUTF8; RCPT; DATA with its dots unstuffed; BDAT chunks up to LAST; RSET,
// NOOP, QUIT; and a 5xx reply for anything else.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vantrel::testing {

// How the connection is protected: no TLS, STARTTLS after the greeting, or
// TLS from its first byte.
enum class Mode : std::uint8_t { Plain, Starttls, Ssl };

// A reply: its code and its text, lines separated by "\n".
struct ServerReply {
    int code = 0;
    std::string text;
};

// A message the server accepted.
struct Delivery {
    std::string_view mail_from;
    const std::vector<std::string>& recipients; // those accepted, in order
    std::string_view text;                      // as received, dots unstuffed
    std::string_view username;                  // of the sign-in, when there was one
    std::string_view mechanism;                 // "" without AUTH
    Mode mode;
};

// What the server consults and where it delivers.  Each refusal is nullopt
// for "accept".  The calls may throw: the command that asked gets no reply.
class Backend {
public:
    virtual ~Backend() = default;
    virtual std::optional<ServerReply> refuse_sender(std::string_view address) = 0;
    virtual std::optional<ServerReply> refuse_recipient(std::string_view address) = 0;
    virtual std::optional<ServerReply> refuse_login() = 0;
    // A sign-in with a token: a refusal starts the failure flow (a challenge
    // the client must answer) and ends with this reply.  Taken once.
    virtual std::optional<ServerReply> refuse_token() = 0;
    virtual void deliver(const Delivery& delivery) = 0;
};

class Server {
public:
    // `name` is the host the client connected to, which the server calls
    // itself in its greeting and its reply to EHLO.
    Server(Backend& backend, std::string_view name);

    // The client's bytes, in any pieces.
    void receive(std::string_view data);
    // What the server has written since the last call; the greeting first.
    std::string take_output();
    bool has_output() const noexcept { return !out_.empty(); }
    // The TLS handshake: before anything was read or written (implicit TLS),
    // or after the reply to STARTTLS.  False anywhere else.
    bool start_tls();
    // The server has closed the connection (after QUIT or a 421), or close()
    // was called.
    bool closed() const noexcept { return closed_; }
    void close() noexcept { closed_ = true; }
    Mode mode() const noexcept { return mode_; }

private:
    enum class Phase : std::uint8_t { Commands, Data, Chunk, Auth, TlsWait };
    enum class Auth : std::uint8_t {
        None,
        PlainResponse,
        LoginUser,
        LoginPassword,
        TokenResponse, // XOAUTH2 or OAUTHBEARER without an initial response
        TokenFailure,  // the client's answer to the failure challenge
    };

    void command(std::string_view line);
    void ehlo(std::string_view verb, std::string_view argument);
    void mail(std::string_view argument);
    void rcpt(std::string_view argument);
    void data(std::string_view argument);
    void bdat(std::string_view argument);
    void auth(std::string_view argument);
    void auth_response(std::string_view line);
    void sign_in(std::string_view mechanism, std::string_view response);
    void signed_in(std::string username);
    void data_line(std::string_view line);
    void chunk_done();
    void accept_message();
    void reset_transaction();
    void reply(int code, std::string_view text);
    void reply(const ServerReply& reply);
    // A refusal from the backend: a 421 closes the connection after it.
    void refuse(const ServerReply& refusal);

    Backend& backend_;
    std::string name_;
    std::string in_;
    std::string out_;
    bool taken_ = false;   // output was taken: the greeting is out
    bool fed_ = false;     // input arrived
    bool closed_ = false;  // nothing more is read or written
    bool greeted_ = false; // EHLO or HELO since the start or TLS
    bool esmtp_ = false;   // EHLO rather than HELO
    Mode mode_ = Mode::Plain;
    Phase phase_ = Phase::Commands;

    // The sign-in.
    Auth auth_ = Auth::None;
    std::string auth_mechanism_; // under way, then the one that succeeded
    std::string auth_user_;      // LOGIN's username while its password is awaited
    ServerReply token_refusal_;  // the end of the failure flow
    bool authenticated_ = false;
    std::string username_;

    // The transaction.
    bool in_transaction_ = false;
    bool smtputf8_ = false;
    std::string mail_from_;
    std::vector<std::string> recipients_;
    std::string text_;
    std::uint64_t chunk_left_ = 0; // octets of the BDAT chunk still to come
    bool chunk_last_ = false;
    bool chunk_refused_ = false; // BDAT without a recipient: read, then refused
};

} // namespace vantrel::testing
