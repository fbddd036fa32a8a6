// The one failure policy: what became of a message after a delivery attempt,
// and so whether it counts as sent, may go again over a new connection, may
// be tried later, is refused for good, or must never be sent again because
// the server may have it.  The sessions decide by it, and classify() gives
// the same answer to the command line and to applications for an exception
// a session raised.
#pragma once

#include "frame/frame.hpp"
#include "smtp/client.hpp"

namespace vantrel::mail {

enum class Fate : unsigned char {
    Sent,      // accepted, for every recipient or for some of them
    Retry,     // nothing of it reached the server (the engine's NotSent, or
               // a 421 before its text): it may go again over a new connection
    Deferred,  // refused for now (a 4xx reply): worth another attempt later
    Permanent, // refused (a 5xx reply), or it cannot go this way at all
    Unknown,   // the connection failed while its text was under way: the
               // server may have it, so it is never sent again
};

// The fate of a message from its last event: Accepted, Refused, NotSent,
// Lost or Unsupported.  `text_begun`: octets of its text may have gone out
// (after the 354 to DATA, or with BDAT, which carries the text from its first
// group); a message lost before that never reached the server as a message.
Fate fate_of(const smtp::Event& outcome, bool text_begun) noexcept;

// Whether a reply code is the server saying that it is closing.
inline bool closing_code(int code) noexcept {
    return code == 421;
}

// The notes a session adds to the exceptions whose fate their class does not
// tell: a partial refusal (the others have the message) and a message lost
// with its connection (the server may have it).
extern Text partly_sent_note;
extern Text fate_unknown_note;

// What an exception raised while sending means for its message, by the rules
// above: "sent" (a partial refusal: the others have it), "retry" (a 4xx
// reply, or a connection that failed before the text: worth another attempt
// later), "permanent" (a 5xx reply, a login refused, a missing extension, a
// certificate or setting that will not do) or "unknown" (the connection
// failed while the text was under way).  `smtplib` is the module whose
// exception classes are meant.
const char* classify(PyObject* exception, PyObject* smtplib);

} // namespace vantrel::mail
