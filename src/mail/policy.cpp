#include "mail/policy.hpp"

#include <cerrno>

namespace vantrel::mail {

Text partly_sent_note{"The message was accepted for the other recipients; only those in "
                      ".recipients were refused."};
Text fate_unknown_note{"The connection failed while the message's text was under way: the "
                       "server may have it, so it was not sent again."};

Fate fate_of(const smtp::Event& outcome, bool text_begun) noexcept {
    using smtp::EventKind;
    switch (outcome.kind) {
    case EventKind::Accepted:
        return Fate::Sent;
    case EventKind::NotSent:
        return Fate::Retry;
    case EventKind::Lost:
        // Commands of it were written, but without its text no server can
        // have taken it.
        return text_begun ? Fate::Unknown : Fate::Retry;
    case EventKind::Refused: {
        const int code = outcome.reply.code;
        // A 421 to MAIL, RCPT or the DATA command: the server closed before
        // the text, so nobody has the message.  After the text (a BDAT
        // chunk carries it) the server answered it, and it stays answered.
        const bool before_text = outcome.command == smtp::Command::Mail ||
                                 outcome.command == smtp::Command::Rcpt ||
                                 outcome.command == smtp::Command::Data;
        if (closing_code(code) && before_text) return Fate::Retry;
        if (outcome.command == smtp::Command::Rcpt) {
            // Every recipient refused: deferred only while one of them is.
            for (const smtp::Reply& reply : outcome.recipients) {
                if (reply.code >= 400 && reply.code < 500) return Fate::Deferred;
            }
            return code >= 400 && code < 500 ? Fate::Deferred : Fate::Permanent;
        }
        return code >= 400 && code < 500 ? Fate::Deferred : Fate::Permanent;
    }
    default:
        return Fate::Permanent;
    }
}

namespace {

Name n_SMTPRecipientsRefused{"SMTPRecipientsRefused"};
Name n_SMTPResponseException{"SMTPResponseException"};
Name n_SMTPServerDisconnected{"SMTPServerDisconnected"};
Name n_smtp_code{"smtp_code"};
Name n_recipients{"recipients"};
Name n_notes{"__notes__"};
Name n_errno{"errno"};
Name n_ssl{"ssl"};
Name n_SSLEOFError{"SSLEOFError"};
Name n_SSLZeroReturnError{"SSLZeroReturnError"};
Name n_socket{"socket"};
Name n_gaierror{"gaierror"};
Name n_EAI_AGAIN{"EAI_AGAIN"};

Ref loaded(const Name& module_name) {
    Ref module = Ref::steal(PyImport_GetModule(module_name.get()));
    if (!module && PyErr_Occurred()) raise_error();
    return module;
}

bool is_instance(PyObject* object, PyObject* module, const Name& name) {
    if (!module) return false;
    Ref type = optional_attr(module, name);
    return type && PyType_Check(type.get()) && checked(PyObject_IsInstance(object, type.get()));
}

// An instance of a class of a standard module, when that module is loaded
// (an exception of it cannot exist otherwise).
bool is_loaded_instance(PyObject* object, const Name& module_name, const Name& name) {
    Ref module = loaded(module_name);
    return module && is_instance(object, module.get(), name);
}

bool has_note(PyObject* exception, const Text& note) {
    Ref notes = optional_attr(exception, n_notes);
    if (!notes || !PyList_Check(notes.get())) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(notes.get()); ++i) {
        PyObject* item = PyList_GET_ITEM(notes.get(), i);
        if (PyUnicode_Check(item) && PyUnicode_Compare(item, note.get()) == 0) return true;
        if (PyErr_Occurred()) raise_error();
    }
    return false;
}

// The code of an exception's smtp_code, or 0.
long code_of(PyObject* code) {
    if (!code || !PyLong_Check(code)) return 0;
    int overflow = 0;
    const long value = PyLong_AsLongAndOverflow(code, &overflow);
    if (value == -1 && PyErr_Occurred()) raise_error();
    return overflow ? 0 : value;
}

const char* by_code(long code) {
    return code >= 400 && code < 500 ? "retry" : "permanent";
}

} // namespace

const char* classify(PyObject* exception, PyObject* smtplib) {
    if (has_note(exception, fate_unknown_note)) return "unknown";
    if (is_instance(exception, smtplib, n_SMTPRecipientsRefused)) {
        if (has_note(exception, partly_sent_note)) return "sent";
        Ref refused = optional_attr(exception, n_recipients);
        if (!refused || !PyDict_Check(refused.get())) return "permanent";
        bool deferred = false;
        Py_ssize_t position = 0;
        PyObject* address = nullptr;
        PyObject* reply = nullptr;
        while (PyDict_Next(refused.get(), &position, &address, &reply)) {
            if (!PyTuple_Check(reply) || PyTuple_GET_SIZE(reply) < 1) continue;
            const long code = code_of(PyTuple_GET_ITEM(reply, 0));
            // A 421: the server closed before the text, nobody has it.
            if (closing_code(static_cast<int>(code))) return "retry";
            deferred = deferred || (code >= 400 && code < 500);
        }
        return deferred ? "retry" : "permanent";
    }
    if (is_instance(exception, smtplib, n_SMTPResponseException)) {
        return by_code(code_of(optional_attr(exception, n_smtp_code).get()));
    }
    // No answer of the server's: a connection that failed, was refused or
    // timed out is worth another attempt; a setting that does not work (a
    // name that does not resolve, a certificate that does not verify) is not.
    if (is_instance(exception, smtplib, n_SMTPServerDisconnected) ||
        PyErr_GivenExceptionMatches(exception, PyExc_ConnectionError) ||
        PyErr_GivenExceptionMatches(exception, PyExc_TimeoutError) ||
        is_loaded_instance(exception, n_ssl, n_SSLEOFError) ||
        is_loaded_instance(exception, n_ssl, n_SSLZeroReturnError)) {
        return "retry";
    }
    if (is_loaded_instance(exception, n_socket, n_gaierror)) {
        Ref socket_module = loaded(n_socket);
        Ref again = socket_module ? optional_attr(socket_module.get(), n_EAI_AGAIN) : Ref();
        Ref number = optional_attr(exception, n_errno);
        const bool temporary =
            again && number && PyObject_RichCompareBool(again.get(), number.get(), Py_EQ) == 1;
        return temporary ? "retry" : "permanent";
    }
    if (PyErr_GivenExceptionMatches(exception, PyExc_OSError)) {
        const long number = code_of(optional_attr(exception, n_errno).get());
        const bool unreachable = number == ENETUNREACH || number == EHOSTUNREACH ||
                                 number == ENETDOWN || number == EHOSTDOWN;
        return unreachable ? "retry" : "permanent";
    }
    return "permanent";
}

} // namespace vantrel::mail
