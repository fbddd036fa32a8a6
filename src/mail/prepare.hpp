// A message made ready for the engine: its text, read in place, and its
// envelope, both as the caller gave them (for smtplib's exceptions) and as
// the commands carry them.  Shared by the sessions; what a session adds to a
// message (headers, a signature) goes in between building and handing over.
#pragma once

#include "frame/frame.hpp"
#include "mail/params.hpp"

#include <string>
#include <string_view>
#include <vector>

namespace vantrel::mail {

struct Prepared {
    Ref text;              // a str (read as UTF-8) or bytes, held until the outcome
    std::string_view wire; // its octets, any line endings: the engine makes them CRLF
    Ref sender;            // the envelope sender as given (str)
    Ref recipients;        // the envelope recipients as given (a list of str)
    std::string sender_path;
    std::vector<std::string> recipient_paths; // bare addresses, for RCPT TO
    std::size_t index = 0; // the driver's: its place among the messages of a call
    bool may_retry = true; // the driver's: a second attempt is still allowed
};

// The text of a message object as msg.as_string() gives it, with multipart
// boundaries chosen by the session (see serialise.cpp).
Ref message_text(PyObject* msg);

// A message ready for the engine from its text (str or bytes) and envelope
// (a str and a list of str, checked by the caller).  The addresses go into
// the commands as smtplib's quoteaddr has them: the display name dropped.
Prepared prepare(Ref text, Ref sender, Ref recipients);

// What a session adds to every message it sends, as its constructor took
// them: `message_id` False, True (the envelope sender's domain) or a domain;
// `dkim` None or a vantrel.dkim.Signer.  Borrowed from the session.
struct Additions {
    PyObject* message_id = Py_False;
    PyObject* dkim = Py_None;
};

// Checks a session's message_id and dkim arguments: TypeError for another
// type, ValueError for an empty domain.  `signer_class` is vantrel.dkim.Signer.
void check_additions(PyObject* message_id, PyObject* dkim, PyObject* signer_class);

// Builds the message of a send call through the mailer's own steps, checks
// what EasyMailer._do_send would check, adds the caller's headers and the
// session's Message-ID, serialises it and makes it ready, signed when the
// session signs: the engine sends exactly the bytes signed.
Prepared prepare_send(PyObject* mailer, Args<session_send_params> args, const Additions& additions);

// A message already built, as send_message takes it: its text (str or bytes)
// gets a Message-ID in front when it has none and the session adds one, then
// the signature.
Prepared prepare_built(Ref text, Ref sender, Ref recipients, const Additions& additions);

// What the command line shows and sends: `msg` with the headers and the
// Message-ID added, serialised, every line ending CRLF, signed.  Bytes.
Ref finished_text(PyObject* msg, PyObject* sender, PyObject* headers, PyObject* unsubscribe,
                  const Additions& additions);

// The envelope of a message object from its headers, as smtplib's
// send_message takes it: Sender or From, and To, Cc and Bcc (the Resent-
// ones when the message has one Resent- block).  Either may be given.
void envelope_from_headers(PyObject* msg, Ref& sender, Ref& recipients);

} // namespace vantrel::mail
