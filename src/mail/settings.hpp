// The mailer's settings: the attributes of an EasyMailer that say where and
// how to send, named once for every module that reads or sets them, and read
// together for a connection of a session.
#pragma once

#include "frame/frame.hpp"

namespace vantrel::mail {

// The instance attributes, in the order EasyMailer.__init__ sets them.
namespace attr {
extern Name host;
extern Name port;
extern Name username;
extern Name password;
extern Name use_ssl;
extern Name use_tls;
extern Name default_sender;
extern Name template_engine;
} // namespace attr

// How a connection is secured.
enum class Security : unsigned char { Plain, StartTls, ImplicitTls };

// "ssl", "starttls" or "plain", as the command line and the repr name them.
const char* security_name(Security security) noexcept;

// What a session needs to open and log in to one connection, read from the
// mailer when the connection is made, so that a setting changed meanwhile
// takes effect at the next connection as it does for EasyMailer.send.
struct Settings {
    Security security = Security::Plain;
    Ref host; // str
    Ref port; // int
    Ref username;
    Ref password;
    // Whether to log in: a mailer without username and password sends
    // without AUTH (a local relay that offers none).
    bool log_in = true;

    // Reads use_ssl, host, port, use_tls (only without implicit TLS),
    // username and password, in that order, as EasyMailer._do_send does.
    static Settings read(PyObject* mailer);
};

// The security a mailer's flags ask for; reads use_ssl, then use_tls only
// when implicit TLS is off.
Security security_of(PyObject* mailer);

} // namespace vantrel::mail
