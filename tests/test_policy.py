"""The one failure policy, vantrel.session.classify(): what a caller (the
command line, the Celery recipe, an application) should do with each kind
of failure."""

import errno
import smtplib
import socket
import ssl

import pytest

from vantrel.session import classify


def refused(**codes):
    return smtplib.SMTPRecipientsRefused({f"{name}@example.test": (code, b"x")
                                          for name, code in codes.items()})


@pytest.mark.parametrize("error, fate", [
    (smtplib.SMTPServerDisconnected("gone"), "retry"),
    (ConnectionResetError(errno.ECONNRESET, "reset"), "retry"),
    (ConnectionRefusedError(errno.ECONNREFUSED, "refused"), "retry"),
    (TimeoutError("timed out"), "retry"),
    (ssl.SSLEOFError(8, "EOF occurred in violation of protocol"), "retry"),
    (ssl.SSLZeroReturnError(6, "TLS/SSL connection has been closed"), "retry"),
    (socket.gaierror(socket.EAI_AGAIN, "Temporary failure in name resolution"), "retry"),
    (socket.gaierror(socket.EAI_NONAME, "Name or service not known"), "permanent"),
    (OSError(errno.ENETUNREACH, "Network is unreachable"), "retry"),
    (OSError(errno.EHOSTUNREACH, "No route to host"), "retry"),
    (OSError(errno.EACCES, "Permission denied"), "permanent"),
    (ssl.SSLCertVerificationError(1, "certificate verify failed"), "permanent"),
    (smtplib.SMTPSenderRefused(451, b"4.3.0 try later", "a@example.test"), "retry"),
    (smtplib.SMTPSenderRefused(553, b"5.7.1 not yours", "a@example.test"), "permanent"),
    (smtplib.SMTPDataError(452, b"4.3.1 out of space"), "retry"),
    (smtplib.SMTPDataError(554, b"5.6.0 rejected"), "permanent"),
    (smtplib.SMTPAuthenticationError(535, b"5.7.8 bad credentials"), "permanent"),
    (refused(a=550, b=551), "permanent"),
    (refused(a=550, b=450), "retry"),            # one of them may take it later
    (refused(a=250, b=421), "retry"),            # the server was closing: nobody has it
    (smtplib.SMTPRecipientsRefused("not a dict"), "permanent"),
    (ValueError("a bad address"), "permanent"),
])
def test_each_failure_has_one_fate(error, fate):
    assert classify(error) == fate
