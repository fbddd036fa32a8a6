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
    const bool no_user = PyUnicode_Check(settings.username.get()) &&
                         PyUnicode_GET_LENGTH(settings.username.get()) == 0;
    const bool no_password = PyUnicode_Check(settings.password.get()) &&
                             PyUnicode_GET_LENGTH(settings.password.get()) == 0;
    settings.log_in = !(no_user && no_password);
    return settings;
}

} // namespace vantrel::mail
