#include "mail/signin.hpp"

#include <string>

namespace vantrel::mail {

namespace {

Name n_XOAuth2{"XOAuth2"};
Name n_OAuthBearer{"OAuthBearer"};
Name n_source{"source"};
Name n_user{"user"};
Name n_name{"name"};
Name n_token{"token"};
Name n_cached{"cached"};
Name n_invalidate{"invalidate"};

std::string text_of(PyObject* value, const char* what) {
    if (!PyUnicode_Check(value)) {
        raise_format(PyExc_TypeError, "the %s must be a str, not %.200s", what,
                     Py_TYPE(value)->tp_name);
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(value, &size);
    if (!data) raise_error();
    return std::string(data, static_cast<std::size_t>(size));
}

// A token as the mechanisms carry it: a str without the octets that would
// break the SASL response apart.
std::string token_text(PyObject* token) {
    std::string text = text_of(token, "token a token source gives");
    if (text.empty() ||
        text.find_first_of(std::string_view("\x01\r\n\0", 4)) != std::string::npos) {
        raise(PyExc_ValueError, "the token source gave a token that is empty or holds a control "
                                "character, which no login may carry");
    }
    return text;
}

} // namespace

Ref checked_auth(const ModuleFrame& frame, PyObject* auth) {
    if (auth == Py_None) return Ref();
    for (const Name* name : {&n_XOAuth2, &n_OAuthBearer}) {
        if (checked(PyObject_IsInstance(auth, frame.global(*name).get()))) return Ref::borrow(auth);
    }
    raise_format(PyExc_TypeError,
                 "auth must be None (the mailer's password) or a vantrel.auth.XOAuth2 or "
                 "OAuthBearer, not %.200s",
                 Py_TYPE(auth)->tp_name);
}

Ref token_source(PyObject* auth) {
    return getattr(auth, n_source);
}

Ref fetch_token(PyObject* auth) {
    return call_method(token_source(auth), n_token);
}

Ref cached_token(PyObject* auth) {
    Ref source = token_source(auth);
    if (!checked(PyObject_HasAttrWithError(source.get(), n_cached.get()))) return Ref();
    Ref token = call_method(source, n_cached);
    return token.get() == Py_None ? Ref() : token;
}

void invalidate_token(PyObject* auth) {
    Ref source = token_source(auth);
    if (checked(PyObject_HasAttrWithError(source.get(), n_invalidate.get()))) {
        call_method(source, n_invalidate);
    }
}

std::vector<std::unique_ptr<smtp::Mechanism>> login_mechanisms(const Settings& settings,
                                                               PyObject* auth, PyObject* token) {
    if (!auth) {
        if (!settings.log_in) return {};
        return smtp::password_mechanisms(text_of(settings.username.get(), "mailer's username"),
                                         text_of(settings.password.get(), "mailer's password"));
    }
    Ref user = getattr(auth, n_user);
    if (user.get() == Py_None) user = settings.username;
    // The class's own name for its mechanism, as servers advertise it.
    const std::string name = text_of(getattr(auth, n_name).get(), "auth's mechanism name");
    const smtp::Bearer kind =
        name == "OAUTHBEARER" ? smtp::Bearer::OAuthBearer : smtp::Bearer::XOAuth2;
    const unsigned long port = PyLong_AsUnsignedLong(settings.port.get());
    if (port == static_cast<unsigned long>(-1) && PyErr_Occurred()) raise_error();
    std::vector<std::unique_ptr<smtp::Mechanism>> mechanisms;
    mechanisms.push_back(smtp::bearer_mechanism(
        kind, text_of(user.get(), "user to sign in as"), token_text(token),
        text_of(settings.host.get(), "mailer's host"), static_cast<unsigned>(port)));
    return mechanisms;
}

} // namespace vantrel::mail
