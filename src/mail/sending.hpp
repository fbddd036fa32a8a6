// What EasyMailer and Session do alike to make a message: compose it through
// the mailer's own steps and render templates; and the steps of
// EasyMailer._do_send's delivery through smtplib (open, log in, report
// recipients that the server refused; a Session delivers through its own
// engine instead, see conversation.hpp).  Module-level names (smtplib, ssl,
// datetime) are read from the calling module's namespace, given as its
// frame, at each use.
#pragma once

#include "frame/frame.hpp"
#include "mail/params.hpp"

namespace vantrel::mail {

// The sender when one was given (true by the truth test), else the mailer's
// default sender.
Ref sender_or_default(PyObject* mailer, PyObject* sender);

// A message ready for the envelope.
struct Outgoing {
    Ref message;
    Ref recipients;
    Ref sender;
};

// Builds the message with mailer._build_message, collects the envelope
// recipients with mailer._collect_recipients and chooses the envelope sender,
// from the arguments of a send call.
Outgoing compose(PyObject* mailer, Args<send_params> args);

// The variables a template is rendered with: `context` itself when it is a
// non-empty dict (so the caller sees the stamp), else a new dict, with
// occurred_at set to the time now ("%Y-%m-%d %H:%M:%S", from the calling
// module's `datetime`) unless it is there already.
Ref template_variables(const ModuleFrame& frame, PyObject* context);

// send_template's work: renders both bodies and the subject with the mailer's
// template engine, the context stamped with occurred_at, then calls
// target.send(...) with the rendered texts and the other arguments of the
// send_template call by keyword, and returns what that returns (an awaitable
// for an asyncio session).  Raises jinja2.TemplatesNotFound, before the
// subject is rendered, when neither <name>.html nor <name>.txt exists.
Ref send_template(const ModuleFrame& frame, PyObject* mailer, PyObject* target,
                  Args<send_template_params> args);
// A session's, whose send takes headers and unsubscribe too.
Ref send_template(const ModuleFrame& frame, PyObject* mailer, PyObject* target,
                  Args<session_send_template_params> args);

// A connection just opened as the mailer's settings say, before login.
struct Opened {
    Ref context; // ssl.create_default_context(), made for every connection
    bool implicit_tls;
    Ref connection;
};

// Makes the TLS context, reads use_ssl, host and port (in that order) and
// opens smtplib.SMTP_SSL(host, port, context=...) or smtplib.SMTP(host, port).
Opened open_connection(const ModuleFrame& frame, PyObject* mailer);

// Upgrades a plain connection with STARTTLS when the mailer's use_tls says
// so, then logs in with its username and password.
void log_in(PyObject* mailer, PyObject* connection, const Opened& opened);

// sendmail's result: when it names refused recipients (the server took the
// message for the others), raises smtplib.SMTPRecipientsRefused with just
// those and a note saying so.
void check_refused(const ModuleFrame& frame, PyObject* refused);

} // namespace vantrel::mail
