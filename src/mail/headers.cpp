#include "mail/headers.hpp"

#include <string>
#include <vector>

namespace vantrel::mail {

namespace {

Name n_lower{"lower"};
Name n_email_utils{"email.utils"};
Name n_make_msgid{"make_msgid"};
KwNames kw_domain{"domain"};
Text t_message_id{"Message-ID"};
Text t_list_unsubscribe{"List-Unsubscribe"};
Text t_list_unsubscribe_post{"List-Unsubscribe-Post"};
Text t_one_click{"List-Unsubscribe=One-Click"};

// Printable ASCII without the colon, as RFC 5322 has a field name.
bool is_field_name(std::string_view name) {
    if (name.empty()) return false;
    for (unsigned char c : name) {
        if (c < 33 || c > 126 || c == ':') return false;
    }
    return true;
}

// Whatever str.splitlines() splits at: CR, LF and the other line breaks,
// any of which a mail program may take for the end of a header line.
bool has_line_break(PyObject* value) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(value);
    const int kind = PyUnicode_KIND(value);
    const void* data = PyUnicode_DATA(value);
    for (Py_ssize_t i = 0; i < length; ++i) {
        switch (PyUnicode_READ(kind, data, i)) {
        case '\n':
        case '\r':
        case '\v':
        case '\f':
        case 0x1c:
        case 0x1d:
        case 0x1e:
        case 0x85:
        case 0x2028:
        case 0x2029:
            return true;
        default:
            break;
        }
    }
    return false;
}

bool has_field(PyObject* message, PyObject* name) {
    return checked(PySequence_Contains(message, name)) == 1;
}

struct Field {
    Ref name;
    Ref lowered; // the name in lower case, as names compare
    Ref value;
};

bool given(const std::vector<Field>& fields, PyObject* lowered) {
    for (const Field& field : fields) {
        if (checked(PyObject_RichCompareBool(field.lowered.get(), lowered, Py_EQ))) return true;
    }
    return false;
}

// The unsubscribe URIs as the List-Unsubscribe value, "<a>, <b>", and
// whether one is https (then one click is offered).
std::pair<std::string, bool> unsubscribe_value(PyObject* unsubscribe) {
    std::vector<PyObject*> uris;
    Ref held;
    if (PyUnicode_Check(unsubscribe)) {
        uris.push_back(unsubscribe);
    } else if (PyList_Check(unsubscribe) || PyTuple_Check(unsubscribe)) {
        held = checked(PySequence_Fast(unsubscribe, "unsubscribe"));
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(held.get()); ++i)
            uris.push_back(PySequence_Fast_GET_ITEM(held.get(), i));
        if (uris.empty()) raise(PyExc_ValueError, "unsubscribe needs at least one URI");
    } else {
        raise_incorrect_type("unsubscribe", "Optional[Union[str, List[str]]]", nullptr,
                             unsubscribe);
    }
    std::string value;
    bool https = false;
    for (PyObject* uri : uris) {
        if (!PyUnicode_Check(uri)) {
            raise_incorrect_type("unsubscribe", "Optional[Union[str, List[str]]]", nullptr, uri);
        }
        const std::string_view text = utf8_view(uri);
        const bool is_https = text.starts_with("https://");
        if (!is_https && !text.starts_with("mailto:"))
            raise_format(PyExc_ValueError,
                         "unsubscribe URIs must be https:// or mailto: URIs, not %R", uri);
        for (unsigned char c : text) {
            if (c <= 32 || c >= 127 || c == '<' || c == '>' || c == ',')
                raise_format(PyExc_ValueError,
                             "an unsubscribe URI must be written in ASCII without spaces, "
                             "commas or angle brackets: %R",
                             uri);
        }
        https = https || is_https;
        if (!value.empty()) value += ", ";
        value += '<';
        value += text;
        value += '>';
    }
    return {value, https};
}

} // namespace

void add_headers(PyObject* message, PyObject* headers, PyObject* unsubscribe) {
    std::vector<Field> fields;
    auto refuse_present = [&](PyObject* name) {
        if (has_field(message, name))
            raise_format(PyExc_ValueError,
                         "the message already has a %U header: it comes from send()'s own "
                         "arguments",
                         name);
    };
    if (headers != Py_None) {
        if (!PyDict_Check(headers)) {
            raise_incorrect_type("headers", "Optional[Dict[str, str]]", nullptr, headers);
        }
        PyObject *name, *value;
        Py_ssize_t at = 0;
        while (PyDict_Next(headers, &at, &name, &value)) {
            if (!PyUnicode_Check(name) || !PyUnicode_Check(value)) {
                raise_incorrect_type("headers", "Optional[Dict[str, str]]", nullptr,
                                     PyUnicode_Check(name) ? value : name);
            }
            const std::string_view text = utf8_view(name);
            if (!is_field_name(text))
                raise_format(PyExc_ValueError,
                             "%R is not a header field name (printable ASCII, no spaces or colons)",
                             name);
            if (has_line_break(value))
                raise_format(PyExc_ValueError, "the value of the %U header holds a line break",
                             name);
            Ref lowered = call_method(name, n_lower);
            if (PyUnicode_CompareWithASCIIString(lowered.get(), "bcc") == 0)
                raise(PyExc_ValueError,
                      "a Bcc header would show the blind copies to everyone: give them as bcc=");
            refuse_present(name);
            if (given(fields, lowered.get()))
                raise_format(PyExc_ValueError, "the %U header is given twice", name);
            fields.push_back({Ref::borrow(name), std::move(lowered), Ref::borrow(value)});
        }
    }
    if (unsubscribe != Py_None) {
        auto [value, https] = unsubscribe_value(unsubscribe);
        for (const Text* name : {&t_list_unsubscribe, &t_list_unsubscribe_post}) {
            refuse_present(name->get());
            if (given(fields, call_method(name->get(), n_lower).get()))
                raise(PyExc_ValueError,
                      "give List-Unsubscribe through unsubscribe= or headers=, not both");
        }
        fields.push_back({Ref::borrow(t_list_unsubscribe.get()), Ref(),
                          checked(PyUnicode_FromStringAndSize(
                              value.data(), static_cast<Py_ssize_t>(value.size())))});
        if (https)
            fields.push_back({Ref::borrow(t_list_unsubscribe_post.get()), Ref(),
                              Ref::borrow(t_one_click.get())});
    }
    for (const Field& field : fields)
        checked(PyObject_SetItem(message, field.name.get(), field.value.get()));
}

std::string domain_of(std::string_view address) {
    const std::size_t close = address.rfind('>');
    if (close != std::string_view::npos) address = address.substr(0, close);
    const std::size_t at = address.rfind('@');
    if (at == std::string_view::npos) return {};
    std::string_view domain = address.substr(at + 1);
    while (!domain.empty() && (domain.back() == ' ' || domain.back() == '\t'))
        domain.remove_suffix(1);
    return std::string(domain);
}

Ref new_message_id(PyObject* message_id, PyObject* sender) {
    Ref domain;
    if (PyUnicode_Check(message_id)) {
        domain = Ref::borrow(message_id);
    } else {
        const std::string found = PyUnicode_Check(sender) ? domain_of(utf8_view(sender)) : "";
        if (found.empty())
            raise(PyExc_ValueError,
                  "message_id=True needs a sender with a domain; give the domain as "
                  "message_id='example.com'");
        domain = checked(
            PyUnicode_FromStringAndSize(found.data(), static_cast<Py_ssize_t>(found.size())));
    }
    Ref make_msgid = checked(PyImport_ImportModuleAttr(n_email_utils.get(), n_make_msgid.get()));
    return call_kw(make_msgid, kw_domain, domain);
}

void add_message_id(PyObject* message, PyObject* message_id, PyObject* sender) {
    if (message_id == Py_False || has_field(message, t_message_id.get())) return;
    Ref id = new_message_id(message_id, sender);
    checked(PyObject_SetItem(message, t_message_id.get(), id.get()));
}

} // namespace vantrel::mail
