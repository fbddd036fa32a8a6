// Header fields a session adds to a message the mailer built: the caller's
// own (checked as the mailer's are never checked: names by RFC 5322's rule,
// values without line breaks), List-Unsubscribe for one-click unsubscribe
// (RFC 8058), and a Message-ID.  EasyMailer adds none of them.
#pragma once

#include "frame/frame.hpp"

namespace vantrel::mail {

// Adds `headers` (None or a dict of str names to str values) and the
// List-Unsubscribe fields for `unsubscribe` (None, a URI, or a list of them;
// https and mailto only) to `message`.  ValueError for a name that is not a
// field name, a value with a line break, a field the message already has, a
// Bcc field, or a URI of another scheme; TypeError for values not str.
// Nothing is added unless everything is right.
void add_headers(PyObject* message, PyObject* headers, PyObject* unsubscribe);

// A new Message-ID, "<unique@domain>" as email.utils.make_msgid makes it:
// `message_id` is True (the domain of `sender`, the envelope sender) or a
// str (that domain).  ValueError when True finds no domain in the sender.
Ref new_message_id(PyObject* message_id, PyObject* sender);

// Sets a new Message-ID when `message_id` is not False and the message has
// none.
void add_message_id(PyObject* message, PyObject* message_id, PyObject* sender);

// The domain part of an address ("Ann <ann@example.com>" gives
// "example.com"), or an empty string for none.
std::string domain_of(std::string_view address);

} // namespace vantrel::mail
