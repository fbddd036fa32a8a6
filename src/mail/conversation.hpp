// One SMTP conversation without its I/O: the engine, the messages under way,
// and what became of each, as the failure policy (policy.hpp) and smtplib's
// exceptions say it.  A driver owns the transport: it writes what output()
// gives and calls consume(), hands what it reads to receive(), and a failed
// or closed transport to fail().  The blocking Session drives one over a
// socket; an asyncio protocol can drive one from data_received.
//
// Every call that feeds the engine also reads its events: outcomes pile up
// for take_outcome(), a TLS upgrade shows in tls_requested(), and a failed
// opening in setup_error().
#pragma once

#include "frame/frame.hpp"
#include "mail/policy.hpp"
#include "mail/prepare.hpp"
#include "smtp/client.hpp"

#include <deque>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

namespace vantrel::mail {

// What became of one message.
struct Outcome {
    Fate fate;
    Prepared message;  // given back, so that a driver can send it again
    Ref error;         // the exception for the caller; empty when sent to everyone
    smtp::Reply reply; // the final reply of a message sent
    // None of its octets was written (the engine's NotSent): it had no part
    // in what ended the connection.
    bool untouched = false;
};

class Conversation {
public:
    // `frame`: the module whose `smtplib` gives the exception classes.
    // `trace`: a logger for the exchange at DEBUG level, or empty; `label`
    // names the server in its lines.
    Conversation(const ModuleFrame& frame, const smtp::Options& options, Ref trace, Ref label);
    ~Conversation();
    Conversation(const Conversation&) = delete;
    Conversation& operator=(const Conversation&) = delete;

    // The opening: EHLO, STARTTLS when asked, then AUTH with the mechanisms
    // (an empty list: no login).
    void open(std::string_view local_name, bool starttls,
              std::vector<std::unique_ptr<smtp::Mechanism>> mechanisms);
    // Queues a message; its outcome comes later.  Raises what smtplib
    // raises for an envelope it cannot send: no recipients, or CR or LF in
    // an address.
    void submit(Prepared message);
    void quit();
    // Takes back the message whose Prepared::index is `index` if nothing of it
    // has been written yet (its sender gave up on it): it has no outcome then.
    bool withdraw(std::size_t index);

    // The driver's side.
    std::string_view output();
    void consume(std::size_t written);
    void receive(std::string_view data);
    // The transport failed with `error` (empty: the server closed it): every
    // message under way ends, NotSent or Lost.
    void fail(Ref error);
    void tls_established();

    bool tls_requested() const noexcept { return tls_requested_; }
    // The opening is done: messages may follow.
    bool ready() const noexcept { return ready_; }
    // The exception that ended the opening (greeting, EHLO, STARTTLS,
    // login), or empty.
    const Ref& setup_error() const noexcept { return setup_error_; }
    // The server refused the login itself (a 535 after the credentials), as
    // opposed to offering no mechanism: a token refused may be fetched anew.
    bool login_refused() const noexcept { return login_refused_; }
    bool closed() const noexcept { return client_.closed(); }
    // Replies are awaited or operations are queued.
    bool busy() const noexcept { return client_.busy(); }
    // Messages submitted whose outcome has not been taken.
    std::size_t under_way() const noexcept { return messages_.size() + outcomes_.size(); }
    bool has_outcome() const noexcept { return !outcomes_.empty(); }
    std::optional<Outcome> take_outcome();

private:
    struct InEngine;
    InEngine* in_engine(std::uint64_t tag) noexcept;
    void absorb();
    void on_outcome(smtp::Event& event);
    void trace(const smtp::Event& event);
    Ref smtplib_class(const Name& name) const;
    Ref connection_error();
    Ref exception_for(const smtp::Event& event, const Prepared& message);
    void set_setup_error(Ref error);

    const ModuleFrame& frame_;
    smtp::Client client_;
    Ref trace_;
    Ref label_;
    std::uint64_t next_tag_ = 1;
    struct InEngine {
        std::uint64_t tag;
        Prepared message;
        bool text_begun = false; // 354 to its DATA, or sent with BDAT
    };
    std::deque<InEngine> messages_;
    std::deque<Outcome> outcomes_;
    Ref setup_error_;
    Ref connection_error_; // what ended the connection, once it ended
    bool connection_error_used_ = false;
    bool options_chunking_;
    bool tls_requested_ = false;
    bool ready_ = false;
    int hellos_ = 0;          // EHLO (or HELO) replies taken
    int hellos_expected_ = 1; // 2 with STARTTLS: again over TLS
    bool logging_in_ = false;
    bool logged_in_ = false;
    bool login_refused_ = false;
    bool closing_ = false; // the server said 421
    smtp::Reply closing_reply_;
};

} // namespace vantrel::mail
