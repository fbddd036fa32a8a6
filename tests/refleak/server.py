"""SMTP servers for the reference-leak run, in a process of their own.

The leak run counts every reference and memory block of its interpreter, so
the servers cannot share it: their event loop would allocate and free while
the counts are taken.  This process starts three aiosmtpd servers on
127.0.0.1 (plain, STARTTLS and implicit TLS, all with AUTH), writes the CA
certificate that signed their certificate to the file named by its argument,
prints the ports as one JSON line and serves until its standard input closes.

Every server takes the login USER with PASSWORD.  A MAIL FROM or RCPT TO
address that starts with "refused" is refused, so that one run can reach the
sender-refused, partly-refused and all-refused outcomes.
"""

import json
import logging
import ssl
import sys
import warnings

import trustme
from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult

USER = "leak@example.test"
PASSWORD = "secret"


class Handler:
    async def handle_MAIL(self, server, session, envelope, address, options):
        if address.startswith("refused"):
            return "553 5.7.1 sender refused"
        envelope.mail_from = address
        return "250 OK"

    async def handle_RCPT(self, server, session, envelope, address, options):
        if address.startswith("refused"):
            return "550 5.1.1 no such user"
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        return "250 OK"


class EphemeralController(Controller):
    """A Controller on a port chosen by the kernel."""

    def _trigger_server(self):
        self.port = self.server.sockets[0].getsockname()[1]
        super()._trigger_server()


def authenticate(server, session, envelope, mechanism, data):
    ok = data.login == USER.encode() and data.password == PASSWORD.encode()
    # handled=False: aiosmtpd then sends the 535 reply itself; its default
    # (True) leaves a refused client waiting for a reply that never comes.
    return AuthResult(success=ok, handled=False, auth_data=data)


def main():
    # aiosmtpd warns on every connection that AUTH without TLS is unsafe,
    # which is the point of the plain server here.
    warnings.simplefilter("ignore")
    logging.disable(logging.CRITICAL)
    ca = trustme.CA()
    ca.cert_pem.write_to_path(sys.argv[1])
    cert = ca.issue_cert("127.0.0.1", "localhost")

    def server_context():
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        cert.configure_cert(context)
        return context

    common = dict(hostname="127.0.0.1", port=0, auth_required=True,
                  authenticator=authenticate,
                  # One mechanism: a refused login ends in one 535 reply.
                  auth_exclude_mechanism=["LOGIN"])
    controllers = {
        "plain": EphemeralController(Handler(), auth_require_tls=False, **common),
        "starttls": EphemeralController(Handler(), tls_context=server_context(),
                               require_starttls=True, **common),
        "ssl": EphemeralController(Handler(), ssl_context=server_context(),
                          auth_require_tls=False, **common),
    }
    for controller in controllers.values():
        controller.start()
    print(json.dumps({name: c.port for name, c in controllers.items()}),
          flush=True)
    sys.stdin.read()
    for controller in controllers.values():
        controller.stop()


if __name__ == "__main__":
    main()
