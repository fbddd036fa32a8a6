// Messages made ready for the engine.
#include "mail/prepare.hpp"
#include "mail/headers.hpp"
#include "mail/sending.hpp"
#include "mail/signer_object.hpp"
#include "smtp/text.hpp"

#include <sys/random.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <ctime>

namespace vantrel::mail {

namespace {

Name n_as_string{"as_string"};
Name n_is_multipart{"is_multipart"};
Name n_get_payload{"get_payload"};
Name n_get_boundary{"get_boundary"};
Name n_set_boundary{"set_boundary"};
Name n_del_param{"del_param"};
Name n_get_all{"get_all"};
Name n_get{"get"};
Name n_email_utils{"email.utils"};
Name n_parseaddr{"parseaddr"};
Name n_getaddresses{"getaddresses"};
Text t_boundary{"boundary"};
Text t_Resent_Date{"Resent-Date"};
Text t_Sender{"Sender"};
Text t_From{"From"};
Text t_To{"To"};
Text t_Bcc{"Bcc"};
Text t_Cc{"Cc"};
Text t_Resent_Sender{"Resent-Sender"};
Text t_Resent_From{"Resent-From"};
Text t_Resent_To{"Resent-To"};
Text t_Resent_Bcc{"Resent-Bcc"};
Text t_Resent_Cc{"Resent-Cc"};

// A boundary chosen for one multipart part of a message, and how often the
// generator writes its delimiter: before every part and once more to close.
struct Chosen {
    Ref part;
    Ref delimiter; // "--" + boundary
    Py_ssize_t delimiters;
};

// A boundary of the email package's own form: "=" * 15, 19 random digits,
// "==".  Empty when the system has no random bytes to give.
Ref new_boundary() {
    std::uint64_t token = 0;
    if (getrandom(&token, sizeof token, 0) != sizeof token) return Ref();
    return checked(PyUnicode_FromFormat("===============%019llu==",
                                        static_cast<unsigned long long>(token % PY_SSIZE_T_MAX)));
}

// Chooses a boundary for every multipart part of `part` that has none yet.
void choose_boundaries(PyObject* part, std::vector<Chosen>& chosen) {
    // Parts nest as deep as the caller made them: RecursionError, as the
    // generator would raise, rather than the end of the C stack.
    if (Py_EnterRecursiveCall(" while choosing MIME boundaries")) raise_error();
    struct Leave {
        ~Leave() { Py_LeaveRecursiveCall(); }
    } leave;
    Ref is_multipart = optional_attr(part, n_is_multipart);
    if (!is_multipart || !truth(call(is_multipart))) return;
    Ref payload = call_method(part, n_get_payload);
    if (!PyList_CheckExact(payload.get())) return;
    if (call_method(part, n_get_boundary).get() == Py_None) {
        Ref boundary = new_boundary();
        if (!boundary) return;
        call_method(part, n_set_boundary, boundary);
        chosen.push_back({Ref::borrow(part), checked(PyUnicode_FromFormat("--%U", boundary.get())),
                          std::max<Py_ssize_t>(PyList_GET_SIZE(payload.get()), 1) + 1});
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(payload.get()); ++i) {
        Ref item = Ref::borrow(PyList_GET_ITEM(payload.get(), i));
        choose_boundaries(item.get(), chosen);
    }
}

// Characters of an address that parseaddr leaves as they are: an address
// made only of them is its own envelope path, without a call into the email
// package for every recipient of every message.
bool plain_address(std::string_view address) noexcept {
    if (address.empty() || address.front() == '.' || address.back() == '.') return false;
    return std::all_of(address.begin(), address.end(), [](char c) {
        const unsigned char u = static_cast<unsigned char>(c);
        return u > ' ' && u < 0x7f &&
               std::string_view("\"(),:;<>[\\]").find(c) == std::string_view::npos;
    });
}

// The address as MAIL FROM or RCPT TO carries it, as smtplib's quoteaddr
// makes it: what parseaddr finds, or the text itself when it finds nothing.
std::string envelope_path(PyObject* address) {
    const std::string_view text = utf8_view(address);
    if (plain_address(text) && std::count(text.begin(), text.end(), '@') <= 1) {
        return std::string(text);
    }
    Ref parseaddr = checked(PyImport_ImportModuleAttr(n_email_utils.get(), n_parseaddr.get()));
    Ref parsed = call(parseaddr, address);
    if (PyTuple_Check(parsed.get()) && PyTuple_GET_SIZE(parsed.get()) == 2) {
        PyObject* name = PyTuple_GET_ITEM(parsed.get(), 0);
        PyObject* bare = PyTuple_GET_ITEM(parsed.get(), 1);
        if (PyUnicode_Check(name) && PyUnicode_Check(bare) &&
            (PyUnicode_GET_LENGTH(name) > 0 || PyUnicode_GET_LENGTH(bare) > 0)) {
            return std::string(utf8_view(bare));
        }
    }
    // Nothing parsed: the text as it is ("<>" stays the null sender).
    std::string_view kept = text;
    while (!kept.empty() && kept.front() == ' ')
        kept.remove_prefix(1);
    while (!kept.empty() && kept.back() == ' ')
        kept.remove_suffix(1);
    if (kept.size() >= 2 && kept.front() == '<' && kept.back() == '>') {
        kept = kept.substr(1, kept.size() - 2);
    }
    return std::string(kept);
}

// Whether the header section of `text` (up to its first empty line) has a
// field named `lowered` (in lower case).
bool has_header_field(std::string_view text, std::string_view lowered) {
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find('\n', at);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(at, end - at);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty()) return false;
        if (line.size() > lowered.size() && line[lowered.size()] == ':' &&
            std::equal(lowered.begin(), lowered.end(), line.begin(), [](char a, char b) {
                return a == static_cast<char>(std::tolower(static_cast<unsigned char>(b)));
            }))
            return true;
        at = end + 1;
    }
    return false;
}

// Whether a domain given for the Message-ID holds what the field cannot
// carry: spaces, line breaks, controls or angle brackets.
bool unfit_for_message_id(PyObject* text) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    for (Py_ssize_t i = 0; i < length; ++i) {
        const Py_UCS4 c = PyUnicode_READ_CHAR(text, i);
        if (c <= ' ' || c == 0x7f || Py_UNICODE_ISSPACE(c) || c == '<' || c == '>') return true;
    }
    return false;
}

// The message's text becomes `front` followed by `rest`, in new bytes.
void replace_text(Prepared& prepared, std::string_view front, std::string_view rest) {
    Ref text = checked(
        PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(front.size() + rest.size())));
    char* out = PyBytes_AS_STRING(text.get());
    std::memcpy(out, front.data(), front.size());
    std::memcpy(out + front.size(), rest.data(), rest.size());
    prepared.wire = {out, front.size() + rest.size()};
    prepared.text = std::move(text);
}

// Signs the text as the engine will send it (every line ending CRLF, the
// final CRLF), with the DKIM-Signature field in front: nothing between here
// and the wire changes an octet of it.
void sign(Prepared& prepared, PyObject* dkim) {
    if (dkim == Py_None) return;
    const dkim::Signer* signer = reinterpret_cast<SignerObject*>(dkim)->signer;
    if (!signer) raise(PyExc_RuntimeError, "Signer.__init__() has not been called");
    const std::string wire = smtp::wire_text(prepared.wire);
    std::string field;
    try {
        field = signer->field(wire, static_cast<std::int64_t>(std::time(nullptr)));
    } catch (const dkim::Problem& problem) {
        raise(PyExc_ValueError, problem.what());
    }
    replace_text(prepared, field, wire);
}

// The caller's headers and the session's Message-ID added, the message
// serialised.
Ref completed_text(PyObject* msg, PyObject* sender, PyObject* headers, PyObject* unsubscribe,
                   PyObject* message_id) {
    add_headers(msg, headers, unsubscribe);
    add_message_id(msg, message_id, sender);
    return message_text(msg);
}

} // namespace

// For each multipart part without a boundary, the email package's generator
// makes one and checks it against the text with a regular expression that it
// compiles anew for every message: about a third of what a small message
// costs to serialise.  So the session chooses those boundaries itself, of the
// same form and as random, and makes the same check on the finished text: a
// delimiter must occur exactly as often as the generator writes it.  Should a
// part's own text hold one as well, the boundaries are taken back and the
// generator chooses them as it always does.
Ref message_text(PyObject* msg) {
    std::vector<Chosen> chosen;
    choose_boundaries(msg, chosen);
    Ref text = call_method(msg, n_as_string);
    if (!PyUnicode_Check(text.get())) return text;
    bool clean = true;
    for (const Chosen& c : chosen) {
        const Py_ssize_t found = PyUnicode_Count(text.get(), c.delimiter.get(), 0, PY_SSIZE_T_MAX);
        if (found < 0) raise_error();
        clean = clean && found == c.delimiters;
    }
    if (clean) return text;
    for (const Chosen& c : chosen)
        call_method(c.part, n_del_param, t_boundary.get());
    return call_method(msg, n_as_string);
}

Prepared prepare(Ref text, Ref sender, Ref recipients) {
    Prepared prepared;
    if (PyBytes_Check(text.get())) {
        prepared.wire = {PyBytes_AS_STRING(text.get()),
                         static_cast<std::size_t>(PyBytes_GET_SIZE(text.get()))};
    } else if (PyUnicode_Check(text.get())) {
        Py_ssize_t size = 0;
        const char* data = PyUnicode_AsUTF8AndSize(text.get(), &size);
        if (!data) {
            // Lone surrogates: the octets of a message read from bytes that
            // were not UTF-8, given back as they came.
            if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) raise_error();
            PyErr_Clear();
            text = checked(PyUnicode_AsEncodedString(text.get(), "utf-8", "surrogateescape"));
            return prepare(std::move(text), std::move(sender), std::move(recipients));
        }
        prepared.wire = {data, static_cast<std::size_t>(size)};
    } else {
        raise_format(PyExc_TypeError, "the message text must be str or bytes, not %.200s",
                     Py_TYPE(text.get())->tp_name);
    }
    prepared.sender_path = envelope_path(sender.get());
    const Py_ssize_t count = PyList_GET_SIZE(recipients.get());
    prepared.recipient_paths.reserve(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* recipient = PyList_GET_ITEM(recipients.get(), i);
        if (!PyUnicode_Check(recipient)) {
            raise_format(PyExc_TypeError, "a recipient must be a str, not %.200s",
                         Py_TYPE(recipient)->tp_name);
        }
        prepared.recipient_paths.push_back(envelope_path(recipient));
    }
    prepared.text = std::move(text);
    prepared.sender = std::move(sender);
    prepared.recipients = std::move(recipients);
    return prepared;
}

Prepared prepare_send(PyObject* mailer, Args<session_send_params> args,
                      const Additions& additions) {
    // The mailer's own steps take send's arguments, the first ones here.
    Outgoing outgoing = compose(mailer, Args<send_params>(args.all()));
    // What EasyMailer._do_send accepts, checked before the connection is used.
    if (!PyList_CheckExact(outgoing.recipients.get())) {
        raise_incorrect_type("recipients", "list", &PyList_Type, outgoing.recipients.get());
    }
    if (!PyUnicode_CheckExact(outgoing.sender.get())) {
        raise_incorrect_type("sender", "str", &PyUnicode_Type, outgoing.sender.get());
    }
    Ref text = completed_text(outgoing.message.get(), outgoing.sender.get(), args["headers"],
                              args["unsubscribe"], additions.message_id);
    Prepared prepared =
        prepare(std::move(text), std::move(outgoing.sender), std::move(outgoing.recipients));
    sign(prepared, additions.dkim);
    return prepared;
}

Prepared prepare_built(Ref text, Ref sender, Ref recipients, const Additions& additions) {
    Prepared prepared = prepare(std::move(text), std::move(sender), std::move(recipients));
    if (additions.message_id != Py_False && !has_header_field(prepared.wire, "message-id")) {
        Ref id = new_message_id(additions.message_id, prepared.sender.get());
        Ref field = checked(PyUnicode_FromFormat("Message-ID: %U\r\n", id.get()));
        replace_text(prepared, utf8_view(field.get()), prepared.wire);
    }
    sign(prepared, additions.dkim);
    return prepared;
}

Ref finished_text(PyObject* msg, PyObject* sender, PyObject* headers, PyObject* unsubscribe,
                  const Additions& additions) {
    Ref text = completed_text(msg, sender, headers, unsubscribe, additions.message_id);
    Prepared prepared = prepare(std::move(text), Ref::borrow(sender), checked(PyList_New(0)));
    if (additions.dkim != Py_None) {
        sign(prepared, additions.dkim);
        return prepared.text;
    }
    const std::string wire = smtp::wire_text(prepared.wire);
    return checked(PyBytes_FromStringAndSize(wire.data(), static_cast<Py_ssize_t>(wire.size())));
}

void check_additions(PyObject* message_id, PyObject* dkim, PyObject* signer_class) {
    if (PyUnicode_Check(message_id)) {
        if (PyUnicode_GET_LENGTH(message_id) == 0 || unfit_for_message_id(message_id))
            raise(PyExc_ValueError,
                  "message_id must be True, False or a domain such as 'example.com'");
    } else if (!PyBool_Check(message_id)) {
        raise_incorrect_type("message_id", "Union[bool, str]", nullptr, message_id);
    }
    if (dkim != Py_None && !checked(PyObject_IsInstance(dkim, signer_class)))
        raise_incorrect_type("dkim", "Optional[Signer]", nullptr, dkim);
}

void envelope_from_headers(PyObject* msg, Ref& sender, Ref& recipients) {
    Ref resent = call_method(msg, n_get_all, t_Resent_Date.get());
    bool prefixed = false;
    if (resent.get() != Py_None) {
        const Py_ssize_t blocks = checked(static_cast<int>(PyObject_Length(resent.get())));
        if (blocks > 1) raise(PyExc_ValueError, "message has more than one 'Resent-' header block");
        prefixed = blocks == 1;
    }
    Ref getaddresses =
        checked(PyImport_ImportModuleAttr(n_email_utils.get(), n_getaddresses.get()));
    auto header = [&](const Text& plain, const Text& resent_name) {
        return call_method(msg, n_get, (prefixed ? resent_name : plain).get());
    };
    if (!sender) {
        Ref from = header(t_Sender, t_Resent_Sender);
        if (from.get() == Py_None) from = header(t_From, t_Resent_From);
        if (from.get() == Py_None) raise(PyExc_ValueError, "the message has no From header");
        Ref fields = checked(PyList_New(0));
        checked(PyList_Append(fields.get(), from.get()));
        Ref pairs = call(getaddresses, fields);
        if (!PyList_Check(pairs.get()) || PyList_GET_SIZE(pairs.get()) == 0) {
            raise(PyExc_ValueError, "the message's From header holds no address");
        }
        PyObject* first = PyList_GET_ITEM(pairs.get(), 0);
        if (!PyTuple_Check(first) || PyTuple_GET_SIZE(first) != 2) {
            raise(PyExc_ValueError, "the message's From header holds no address");
        }
        sender = Ref::borrow(PyTuple_GET_ITEM(first, 1));
    }
    if (!recipients) {
        Ref fields = checked(PyList_New(0));
        for (auto [plain, resent_name] :
             {std::pair{&t_To, &t_Resent_To}, std::pair{&t_Bcc, &t_Resent_Bcc},
              std::pair{&t_Cc, &t_Resent_Cc}}) {
            Ref value = header(*plain, *resent_name);
            if (value.get() != Py_None) checked(PyList_Append(fields.get(), value.get()));
        }
        Ref pairs = call(getaddresses, fields);
        recipients = checked(PyList_New(0));
        if (PyList_Check(pairs.get())) {
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(pairs.get()); ++i) {
                PyObject* pair = PyList_GET_ITEM(pairs.get(), i);
                if (PyTuple_Check(pair) && PyTuple_GET_SIZE(pair) == 2) {
                    checked(PyList_Append(recipients.get(), PyTuple_GET_ITEM(pair, 1)));
                }
            }
        }
    }
}

} // namespace vantrel::mail
