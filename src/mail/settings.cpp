#include "mail/settings.hpp"

namespace vantrel::mail {

namespace attr {
Name host{"host"};
Name port{"port"};
Name username{"username"};
Name password{"password"};
Name use_ssl{"use_ssl"};
Name use_tls{"use_tls"};
Name default_sender{"default_sender"};
Name template_engine{"_template_engine"};
} // namespace attr

const char* security_name(Security security) noexcept {
    switch (security) {
    case Security::ImplicitTls:
        return "ssl";
    case Security::StartTls:
        return "starttls";
    case Security::Plain:
        break;
    }
    return "plain";
}

Security security_of(PyObject* mailer) {
    if (truth(getattr(mailer, attr::use_ssl))) return Security::ImplicitTls;
    return truth(getattr(mailer, attr::use_tls)) ? Security::StartTls : Security::Plain;
}

namespace {

// A str setting as UTF-8, or the TypeError of a setting of the wrong type.
std::string text_of(PyObject* value, const char* name) {
    if (!PyUnicode_Check(value)) {
        raise_format(PyExc_TypeError, "the mailer's %s must be a str, not %.200s", name,
                     Py_TYPE(value)->tp_name);
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(value, &size);
    if (!data) raise_error();
    return std::string(data, static_cast<std::size_t>(size));
}

} // namespace

Settings Settings::read(PyObject* mailer) {
    Settings settings;
    const bool implicit_tls = truth(getattr(mailer, attr::use_ssl));
    settings.host = getattr(mailer, attr::host);
    settings.port = getattr(mailer, attr::port);
    settings.security = implicit_tls                            ? Security::ImplicitTls
                        : truth(getattr(mailer, attr::use_tls)) ? Security::StartTls
                                                                : Security::Plain;
    settings.username = getattr(mailer, attr::username);
    settings.password = getattr(mailer, attr::password);
    settings.host_text = text_of(settings.host.get(), "host");
    const bool no_user = PyUnicode_Check(settings.username.get()) &&
                         PyUnicode_GET_LENGTH(settings.username.get()) == 0;
    const bool no_password = PyUnicode_Check(settings.password.get()) &&
                             PyUnicode_GET_LENGTH(settings.password.get()) == 0;
    settings.log_in = !(no_user && no_password);
    return settings;
}

} // namespace vantrel::mail
