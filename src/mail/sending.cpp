// The sending steps that EasyMailer and Session share.
#include "mail/sending.hpp"
#include "mail/policy.hpp"
#include "mail/settings.hpp"

namespace vantrel::mail {

namespace {

Name n_build_message{"_build_message"};
Name n_collect_recipients{"_collect_recipients"};
Name n_send{"send"};
Name n_render{"render"};
Name n_render_string{"render_string"};
Name n_datetime{"datetime"};
Name n_now{"now"};
Name n_strftime{"strftime"};
Name n_occurred_at{"occurred_at"};
Text t_time_format{"%Y-%m-%d %H:%M:%S"};
Name n_ssl{"ssl"};
Name n_create_default_context{"create_default_context"};
Name n_smtplib{"smtplib"};
Name n_SMTP_SSL{"SMTP_SSL"};
Name n_SMTP{"SMTP"};
Name n_starttls{"starttls"};
Name n_login{"login"};
Name n_SMTPRecipientsRefused{"SMTPRecipientsRefused"};
Name n_add_note{"add_note"};
Name n_jinja2{"jinja2"};
Name n_TemplatesNotFound{"TemplatesNotFound"};

KwNames kw_build_message{"to",     "subject",     "body",        "html",    "cc",
                         "sender", "sender_name", "attachments", "reply_to"};
KwNames kw_send{"to",  "subject", "body",        "html",        "cc",
                "bcc", "sender",  "sender_name", "attachments", "reply_to"};
KwNames kw_session_send{"to",          "subject",  "body",    "html",
                        "cc",          "bcc",      "sender",  "sender_name",
                        "attachments", "reply_to", "headers", "unsubscribe"};
KwNames kw_context{"context"};

// `raise jinja2.TemplatesNotFound([html_name, text_name])`.  Imported here, as
// a function would import it: the error is jinja2's own, and no name of the
// calling module stands for it.
[[noreturn]] void raise_templates_not_found(const Ref& html_name, const Ref& text_name) {
    Ref error_type = checked(PyImport_ImportModuleAttr(n_jinja2.get(), n_TemplatesNotFound.get()));
    Ref names = checked(PyList_New(0));
    checked(PyList_Append(names.get(), html_name.get()));
    checked(PyList_Append(names.get(), text_name.get()));
    Ref error = call(error_type, names);
    raise_exception(error.get());
}

} // namespace

Ref sender_or_default(PyObject* mailer, PyObject* sender) {
    return truth(sender) ? Ref::borrow(sender) : getattr(mailer, attr::default_sender);
}

Outgoing compose(PyObject* mailer, Args<send_params> args) {
    // Blind copies go to the envelope only: _build_message never sees them.
    Ref message =
        call_method_kw(mailer, n_build_message, kw_build_message, args["to"], args["subject"],
                       args["body"], args["html"], args["cc"], args["sender"], args["sender_name"],
                       args["attachments"], args["reply_to"]);
    Ref recipients = call_method(mailer, n_collect_recipients, args["to"], args["cc"], args["bcc"]);
    return Outgoing{std::move(message), std::move(recipients),
                    sender_or_default(mailer, args["sender"])};
}

Ref template_variables(const ModuleFrame& frame, PyObject* context) {
    Ref variables = truth(context) ? Ref::borrow(context) : checked(PyDict_New());
    Ref now = call_method(frame.global(n_datetime), n_now);
    Ref stamp = call_method(now, n_strftime, t_time_format.get());
    checked(PyDict_SetDefaultRef(variables.get(), n_occurred_at.get(), stamp.get(), nullptr));
    return variables;
}

namespace {

// send_template's work; `headers` and `unsubscribe` (a session's) go to
// target.send as well unless null.
Ref render_and_send(const ModuleFrame& frame, PyObject* mailer, PyObject* target,
                    Args<send_template_params> args, PyObject* headers, PyObject* unsubscribe) {
    PyObject* template_name = args["template_name"];
    Ref variables = template_variables(frame, args["context"]);

    Ref html_name = checked(PyUnicode_FromFormat("%U.html", template_name));
    Ref html = call_method(getattr(mailer, attr::template_engine), n_render, html_name, variables);
    Ref text_name = checked(PyUnicode_FromFormat("%U.txt", template_name));
    Ref text = call_method(getattr(mailer, attr::template_engine), n_render, text_name, variables);
    // A name with neither file is a mistake (a misspelt name, another
    // directory), not a message without text; one of the two is enough, and
    // a template that renders to an empty text was found.
    if (html.get() == Py_None && text.get() == Py_None) {
        raise_templates_not_found(html_name, text_name);
    }
    Ref rendered_subject = call_method(getattr(mailer, attr::template_engine), n_render_string,
                                       args["subject"], variables);

    if (headers)
        return call_method_kw(target, n_send, kw_session_send, args["to"], rendered_subject, text,
                              html, args["cc"], args["bcc"], args["sender"], args["sender_name"],
                              args["attachments"], args["reply_to"], headers, unsubscribe);
    return call_method_kw(target, n_send, kw_send, args["to"], rendered_subject, text, html,
                          args["cc"], args["bcc"], args["sender"], args["sender_name"],
                          args["attachments"], args["reply_to"]);
}

} // namespace

Ref send_template(const ModuleFrame& frame, PyObject* mailer, PyObject* target,
                  Args<send_template_params> args) {
    return render_and_send(frame, mailer, target, args, nullptr, nullptr);
}

Ref send_template(const ModuleFrame& frame, PyObject* mailer, PyObject* target,
                  Args<session_send_template_params> args) {
    return render_and_send(frame, mailer, target, Args<send_template_params>(args.all()),
                           args["headers"], args["unsubscribe"]);
}

Opened open_connection(const ModuleFrame& frame, PyObject* mailer) {
    Opened opened;
    opened.context = call_method(frame.global(n_ssl), n_create_default_context);
    // Implicit TLS from the first byte, or a plain connection that STARTTLS
    // may upgrade; login and submission are the same on both.
    opened.implicit_tls = truth(getattr(mailer, attr::use_ssl));
    Ref connection_class =
        getattr(frame.global(n_smtplib), opened.implicit_tls ? n_SMTP_SSL : n_SMTP);
    Ref host = getattr(mailer, attr::host);
    Ref port = getattr(mailer, attr::port);
    opened.connection = opened.implicit_tls
                            ? call_kw(connection_class, kw_context, host, port, opened.context)
                            : call(connection_class, host, port);
    return opened;
}

void log_in(PyObject* mailer, PyObject* connection, const Opened& opened) {
    if (!opened.implicit_tls && truth(getattr(mailer, attr::use_tls))) {
        call_method_kw(connection, n_starttls, kw_context, opened.context);
    }
    Ref username = getattr(mailer, attr::username);
    Ref password = getattr(mailer, attr::password);
    call_method(connection, n_login, username, password);
}

void check_refused(const ModuleFrame& frame, PyObject* refused) {
    // The server took the message for some recipients and refused others
    // (sendmail's dict of them): the caller must learn which, so that it can
    // retry just those.
    if (!refused || !PyDict_Check(refused) || PyDict_GET_SIZE(refused) == 0) return;
    Ref error_type = getattr(frame.global(n_smtplib), n_SMTPRecipientsRefused);
    Ref error = call(error_type, refused);
    // `raise error`: a rebound smtplib may give something that is no
    // exception, which the interpreter refuses before anything else.
    if (!PyExceptionInstance_Check(error.get())) raise_exception(error.get());
    call_method(error, n_add_note, partly_sent_note.get());
    raise_exception(error.get());
}

} // namespace vantrel::mail
