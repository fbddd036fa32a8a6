// One SMTP conversation without its I/O.
#include "mail/conversation.hpp"

#include <algorithm>

namespace vantrel::mail {

namespace {

Name n_smtplib{"smtplib"};
Name n_SMTPSenderRefused{"SMTPSenderRefused"};
Name n_SMTPRecipientsRefused{"SMTPRecipientsRefused"};
Name n_SMTPDataError{"SMTPDataError"};
Name n_SMTPConnectError{"SMTPConnectError"};
Name n_SMTPHeloError{"SMTPHeloError"};
Name n_SMTPAuthenticationError{"SMTPAuthenticationError"};
Name n_SMTPResponseException{"SMTPResponseException"};
Name n_SMTPNotSupportedError{"SMTPNotSupportedError"};
Name n_SMTPServerDisconnected{"SMTPServerDisconnected"};
Name n_SMTPException{"SMTPException"};
Name n_add_note{"add_note"};
Name n_debug{"debug"};
Name n_args{"args"};
Text t_sent_line{"%s > %s"};
Text t_received_line{"%s < %d %s"};

Ref bytes_of(std::string_view text) {
    return checked(PyBytes_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

Ref str_of(std::string_view text) {
    return checked(
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

Ref code_of(const smtp::Reply& reply) {
    return checked(PyLong_FromLong(reply.code));
}

// (code, text) of a reply, as smtplib's refusal dicts hold it.
Ref reply_tuple(const smtp::Reply& reply) {
    return checked(PyTuple_Pack(2, code_of(reply).get(), bytes_of(reply.text).get()));
}

// Another exception like `error`, for a second message that failed with the
// same connection: notes added to one are not the other's.
Ref fresh_copy(const Ref& error) {
    Ref copy;
    try {
        Ref args = getattr(error, n_args);
        if (PyTuple_Check(args.get())) {
            copy = checked(PyObject_Call(reinterpret_cast<PyObject*>(Py_TYPE(error.get())),
                                         args.get(), nullptr));
        }
    } catch (const Error&) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
        PyErr_Clear();
    }
    if (!copy || !PyExceptionInstance_Check(copy.get())) return error;
    PyException_SetCause(copy.get(), Py_NewRef(error.get()));
    return copy;
}

} // namespace

Conversation::Conversation(const ModuleFrame& frame, const smtp::Options& options, Ref trace,
                           Ref label)
    : frame_(frame), client_(options), trace_(std::move(trace)), label_(std::move(label)),
      options_chunking_(options.chunking) {}

Conversation::~Conversation() = default;

Ref Conversation::smtplib_class(const Name& name) const {
    return getattr(frame_.global(n_smtplib), name);
}

void Conversation::open(std::string_view local_name, bool starttls,
                        std::vector<std::unique_ptr<smtp::Mechanism>> mechanisms) {
    if (!client_.hello(local_name)) {
        raise(PyExc_ValueError, "the local host name cannot go into an EHLO command");
    }
    hellos_expected_ = starttls ? 2 : 1;
    if (starttls) client_.start_tls();
    logging_in_ = !mechanisms.empty();
    if (logging_in_) client_.login(std::move(mechanisms));
    absorb();
}

void Conversation::submit(Prepared message) {
    // Held before the engine may report on it, even at once; the views below
    // are of the held copy (a short string moves its characters).
    const Prepared& held = messages_.emplace_back(InEngine{next_tag_, std::move(message)}).message;
    std::vector<std::string_view> recipients(held.recipient_paths.begin(),
                                             held.recipient_paths.end());
    smtp::Message submitted;
    submitted.sender = held.sender_path;
    submitted.recipients = recipients;
    submitted.text = held.wire;
    submitted.tag = next_tag_;
    switch (client_.send(submitted)) {
    case smtp::Submitted::Queued:
        ++next_tag_;
        absorb();
        return;
    case smtp::Submitted::NoRecipients: {
        messages_.pop_back();
        // What smtplib's sendmail raises when no recipient is left.
        Ref none = checked(PyDict_New());
        raise_exception(call(smtplib_class(n_SMTPRecipientsRefused), none).get());
    }
    case smtp::Submitted::BadAddress:
        messages_.pop_back();
        raise(PyExc_ValueError,
              "an envelope address is empty or holds a line break or NUL, which no SMTP "
              "command may carry");
    }
}

bool Conversation::withdraw(std::size_t index) {
    const auto found = std::find_if(messages_.begin(), messages_.end(), [&](const InEngine& entry) {
        return entry.message.index == index;
    });
    if (found == messages_.end() || !client_.withdraw(found->tag)) return false;
    messages_.erase(found);
    absorb();
    return true;
}

void Conversation::quit() {
    client_.quit();
    absorb();
}

std::string_view Conversation::output() {
    std::string_view out = client_.output();
    if (out.empty()) absorb(); // producing output may settle a message (SMTPUTF8)
    return out;
}

void Conversation::consume(std::size_t written) {
    client_.consume(written);
    absorb();
}

void Conversation::receive(std::string_view data) {
    client_.receive(data);
    absorb();
}

void Conversation::fail(Ref error) {
    if (!client_.closed()) {
        if (!connection_error_) connection_error_ = std::move(error);
        client_.receive_eof();
    }
    absorb();
}

void Conversation::tls_established() {
    tls_requested_ = false;
    client_.tls_established();
    absorb();
}

std::optional<Outcome> Conversation::take_outcome() {
    if (outcomes_.empty()) return std::nullopt;
    Outcome outcome = std::move(outcomes_.front());
    outcomes_.pop_front();
    return outcome;
}

void Conversation::set_setup_error(Ref error) {
    if (!setup_error_) setup_error_ = std::move(error);
}

// What ended the connection, for a message that ended with it: the
// transport's own error for the first such message, a copy for the others.
Ref Conversation::connection_error() {
    if (connection_error_) {
        if (!connection_error_used_) {
            connection_error_used_ = true;
            return connection_error_;
        }
        return fresh_copy(connection_error_);
    }
    std::string text = "Connection unexpectedly closed";
    if (closing_) {
        text = "The server closed the connection: " + std::to_string(closing_reply_.code) + " " +
               closing_reply_.text;
    }
    return call(smtplib_class(n_SMTPServerDisconnected), str_of(text));
}

void Conversation::trace(const smtp::Event& event) {
    if (!trace_) return;
    if (event.kind == smtp::EventKind::Sent) {
        call_method(trace_, n_debug, t_sent_line.get(), label_, str_of(event.detail));
    } else {
        call_method(trace_, n_debug, t_received_line.get(), label_, code_of(event.reply),
                    str_of(event.reply.text));
    }
}

Ref Conversation::exception_for(const smtp::Event& event, const Prepared& message) {
    using smtp::Command;
    using smtp::EventKind;
    const smtp::Reply& reply = event.reply;
    switch (event.kind) {
    case EventKind::Accepted: {
        Ref refused = checked(PyDict_New());
        for (std::size_t i = 0; i < event.recipients.size(); ++i) {
            if (smtp::accepted(event.recipients[i])) continue;
            checked(PyDict_SetItem(
                refused.get(),
                PyList_GET_ITEM(message.recipients.get(), static_cast<Py_ssize_t>(i)),
                reply_tuple(event.recipients[i]).get()));
        }
        if (PyDict_GET_SIZE(refused.get()) == 0) return Ref();
        Ref error = call(smtplib_class(n_SMTPRecipientsRefused), refused);
        call_method(error, n_add_note, partly_sent_note.get());
        return error;
    }
    case EventKind::Unsupported:
        return call(smtplib_class(n_SMTPNotSupportedError),
                    str_of("SMTPUTF8 not supported by server"));
    case EventKind::Refused:
        break;
    default:
        return Ref(); // NotSent and Lost: filled in once the connection's end is known
    }
    switch (event.command) {
    case Command::Mail:
        return call(smtplib_class(n_SMTPSenderRefused), code_of(reply), bytes_of(reply.text),
                    message.sender);
    case Command::Rcpt: {
        // Every recipient is named: a 421 (the server closing) stands for
        // those it did not refuse itself, as nobody has the message.
        const bool closing = closing_code(reply.code);
        Ref refused = checked(PyDict_New());
        for (std::size_t i = 0; i < event.recipients.size(); ++i) {
            const smtp::Reply& own = event.recipients[i];
            const bool refused_itself = own.code != 0 && !smtp::accepted(own);
            if (!closing && !refused_itself) continue;
            const smtp::Reply& given = refused_itself && !closing_code(own.code) ? own : reply;
            checked(PyDict_SetItem(
                refused.get(),
                PyList_GET_ITEM(message.recipients.get(), static_cast<Py_ssize_t>(i)),
                reply_tuple(given).get()));
        }
        return call(smtplib_class(n_SMTPRecipientsRefused), refused);
    }
    default:
        return call(smtplib_class(n_SMTPDataError), code_of(reply), bytes_of(reply.text));
    }
}

Conversation::InEngine* Conversation::in_engine(std::uint64_t tag) noexcept {
    for (InEngine& entry : messages_) {
        if (entry.tag == tag) return &entry;
    }
    return nullptr;
}

void Conversation::on_outcome(smtp::Event& event) {
    const auto found = std::find_if(messages_.begin(), messages_.end(),
                                    [&](const InEngine& entry) { return entry.tag == event.tag; });
    if (found == messages_.end()) return;
    // BDAT carries the text from the first group on.
    const bool chunked = options_chunking_ && client_.capabilities().chunking;
    Ref error = exception_for(event, found->message);
    outcomes_.push_back(Outcome{fate_of(event, found->text_begun || chunked),
                                std::move(found->message), std::move(error), std::move(event.reply),
                                event.kind == smtp::EventKind::NotSent});
    messages_.erase(found);
}

void Conversation::absorb() {
    using smtp::EventKind;
    smtp::Event event;
    bool ended = false;
    while (client_.next_event(event)) {
        switch (event.kind) {
        case EventKind::Sent:
        case EventKind::Received:
            trace(event);
            break;
        case EventKind::Greeting:
            if (event.reply.code != 220) {
                set_setup_error(call(smtplib_class(n_SMTPConnectError), code_of(event.reply),
                                     bytes_of(event.reply.text)));
            }
            break;
        case EventKind::Hello:
            ++hellos_;
            break;
        case EventKind::HelloRefused:
            set_setup_error(call(smtplib_class(n_SMTPHeloError), code_of(event.reply),
                                 bytes_of(event.reply.text)));
            break;
        case EventKind::TlsReady:
            tls_requested_ = true;
            break;
        case EventKind::TlsRefused:
            set_setup_error(call(smtplib_class(n_SMTPResponseException), code_of(event.reply),
                                 bytes_of(event.reply.text)));
            break;
        case EventKind::LoggedIn:
            logged_in_ = true;
            break;
        case EventKind::LoginRefused:
            login_refused_ = true;
            set_setup_error(call(smtplib_class(n_SMTPAuthenticationError), code_of(event.reply),
                                 bytes_of(event.reply.text)));
            break;
        case EventKind::Unsupported:
            if (event.missing == smtp::Extension::SmtpUtf8) {
                on_outcome(event);
            } else if (event.missing == smtp::Extension::StartTls) {
                set_setup_error(call(smtplib_class(n_SMTPNotSupportedError),
                                     str_of("STARTTLS extension not supported by server.")));
            } else if (event.missing == smtp::Extension::Auth) {
                set_setup_error(call(smtplib_class(n_SMTPNotSupportedError),
                                     str_of("SMTP AUTH extension not supported by server.")));
            } else {
                set_setup_error(call(smtplib_class(n_SMTPException),
                                     str_of("No suitable authentication method found.")));
            }
            break;
        case EventKind::Accepted:
        case EventKind::Refused:
        case EventKind::NotSent:
        case EventKind::Lost:
            on_outcome(event);
            break;
        case EventKind::ProtocolError:
            if (!connection_error_) {
                connection_error_ = call(smtplib_class(n_SMTPServerDisconnected),
                                         str_of("The server broke the SMTP protocol (" +
                                                event.detail + "); the connection was dropped"));
            }
            break;
        case EventKind::Closed:
            if (closing_code(event.reply.code)) {
                closing_ = true;
                closing_reply_ = event.reply;
            }
            ended = true;
            break;
        case EventKind::TextReady:
            if (InEngine* entry = in_engine(event.tag)) entry->text_begun = true;
            break;
        case EventKind::Done:
            break;
        }
    }
    if (!ready_ && !setup_error_ && hellos_ >= hellos_expected_ && (!logging_in_ || logged_in_)) {
        ready_ = true;
    }
    if (ended && !ready_ && !setup_error_) set_setup_error(connection_error());
    // Messages that ended with the connection: the cause is known only now
    // that every event of the end is read.
    for (Outcome& outcome : outcomes_) {
        if (outcome.error || outcome.fate == Fate::Sent) continue;
        if (outcome.fate != Fate::Retry && outcome.fate != Fate::Unknown) continue;
        if (outcome.reply.code != 0) continue; // a 421 refusal has its own exception
        outcome.error = setup_error_ ? setup_error_ : connection_error();
        if (outcome.fate == Fate::Unknown) {
            if (outcome.error.get() == setup_error_.get())
                outcome.error = fresh_copy(outcome.error);
            call_method(outcome.error, n_add_note, fate_unknown_note.get());
        }
    }
}

} // namespace vantrel::mail
