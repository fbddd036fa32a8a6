"""Faults at every stage of a delivery, against real servers on 127.0.0.1.

Each fault must reach the caller as its own exception, leave no descriptor
open and raise no ResourceWarning, and the next good delivery must still go
through, exactly once.  The mailer sets no socket timeout of its own, so the
cases with a silent server give it one through its module-level ``smtplib``.
"""

import dataclasses
import email
import functools
import itertools
import os
import smtplib
import socket
import ssl
import types
import uuid

import pytest
from aiosmtpd.smtp import SMTP as AiosmtpdSMTP

import vantrel.mailer
from vantrel.mailer import EasyMailer

TO = "rcpt@example.test"
REFUSED = ("gone@example.test", "nobody@example.test")
SILENT_TIMEOUT = 0.5  # seconds; the silent server never answers, so any bound works
BIG = os.urandom(1 << 20)  # far more than one socket send, to be cut off mid-stream


class _Smtplib(types.ModuleType):
    """smtplib as the mailer sees it, with a timeout on every connection: the
    package sets none, so a caller bounds a silent server this way.
    Everything else is the real smtplib."""

    def __init__(self, **settings):
        super().__init__("smtplib")
        self.SMTP = functools.partial(smtplib.SMTP, **settings)
        self.SMTP_SSL = functools.partial(smtplib.SMTP_SSL, **settings)

    def __getattr__(self, name):
        return getattr(smtplib, name)


class _CutDataSMTP(AiosmtpdSMTP):
    """Answers DATA with 354, reads one line of the message, then hangs up."""

    async def smtp_DATA(self, arg):
        if arg or not self.envelope.rcpt_tos:
            return await super().smtp_DATA(arg)
        await self.push("354 End data with <CR><LF>.<CR><LF>")
        await self._reader.readuntil(b"\r\n")
        self.transport.abort()


# Servers by role: (mode, variant) for the conftest factory.
SERVERS = {
    "plain": ("plain", dict(refuse_rcpt=REFUSED)),
    "starttls": ("starttls", dict(refuse_rcpt=REFUSED)),
    "ssl": ("ssl", dict(refuse_rcpt=REFUSED)),
    "untrusted": ("ssl", dict(cert="untrusted")),
    "auth": ("ssl", dict(password="not the one the client has")),
    "mail": ("starttls", dict(refuse_mail=True)),
    "data": ("plain", dict(refuse_data=True)),
    "drop-mail": ("starttls", dict(drop="MAIL")),
    "drop-data": ("ssl", dict(drop="DATA")),
    "cut-data": ("starttls", {}),
}


class Lab:
    """The servers and sockets that a test needs, started on first use."""

    def __init__(self, smtp_server):
        self._start = smtp_server
        self.servers = {}
        self.sockets = {}
        self._mailers = {}

    def server(self, role):
        if role not in self.servers:
            mode, variant = SERVERS[role]
            server = self._start(mode, **variant)
            if role == "cut-data":
                c = server._controller
                c.factory = lambda: _CutDataSMTP(c.handler, loop=c.loop, **c.SMTP_kwargs)
            self.servers[role] = server
        return self.servers[role]

    def socket(self, role):
        """A socket by role.  closed: bound but not listening, so connecting
        is refused (and no other process can take the port meanwhile).
        silent: listening, so the kernel completes every connection, but
        nobody ever accepts one or says a word."""
        if role not in self.sockets:
            sock = socket.socket()
            sock.bind(("127.0.0.1", 0))
            if role == "silent":
                sock.listen(256)
            self.sockets[role] = sock
        return self.sockets[role]

    def mailer(self, role, **changes):
        key = (role, tuple(sorted(changes.items())))
        if key not in self._mailers:
            if role in ("closed", "silent"):
                host, port = self.socket(role).getsockname()
                args = dict(host=host, port=port, username="u", password="p",
                            use_ssl=False, use_tls=False)
            else:
                args = self.server(role).mailer_args
            self._mailers[key] = EasyMailer(**(args | changes))
        return self._mailers[key]

    def wait_idle(self):
        # What the shared descriptor check asks of a server, for all of them.
        return all(server.wait_idle() for server in self.servers.values())

    def received(self, tag):
        return [(role, m) for role, server in self.servers.items()
                for m in server.messages if tag.encode() in m.data]

    def close(self):
        for sock in self.sockets.values():
            sock.close()


@pytest.fixture
def lab(smtp_server):
    lab = Lab(smtp_server)
    yield lab
    lab.close()


# --- the faults ---------------------------------------------------------------

@dataclasses.dataclass
class Fault:
    name: str
    role: str  # which server or socket
    error: type  # the exact type the caller must see
    mailer: dict = dataclasses.field(default_factory=dict)  # setting changes
    to: list = dataclasses.field(default_factory=lambda: [TO])
    big: bool = False  # a message far larger than the socket buffers
    timeout: bool = False  # through the timed smtplib
    submitted: bool = False  # whether the server stored the message anyway

    def __str__(self):
        return self.name


FAULTS = [
    Fault("connection refused", "closed", ConnectionRefusedError),
    Fault("TLS from the first byte to a plain server", "plain", ssl.SSLError,
          mailer=dict(use_ssl=True, use_tls=False)),
    Fault("untrusted certificate", "untrusted", ssl.SSLCertVerificationError),
    Fault("TLS handshake never answered", "silent", TimeoutError,
          mailer=dict(use_ssl=True), timeout=True),
    Fault("greeting never sent", "silent", smtplib.SMTPServerDisconnected, timeout=True),
    Fault("AUTH refused", "auth", smtplib.SMTPAuthenticationError),
    Fault("MAIL FROM refused", "mail", smtplib.SMTPSenderRefused),
    Fault("hang-up at MAIL FROM", "drop-mail", smtplib.SMTPServerDisconnected),
    Fault("every RCPT refused", "starttls", smtplib.SMTPRecipientsRefused, to=list(REFUSED)),
    Fault("one RCPT refused", "ssl", smtplib.SMTPRecipientsRefused,
          to=[TO, REFUSED[0]], submitted=True),
    Fault("DATA refused", "data", smtplib.SMTPDataError),
    Fault("hang-up instead of the reply to DATA", "drop-data",
          smtplib.SMTPServerDisconnected),
    Fault("hang-up in the middle of DATA", "cut-data", smtplib.SMTPServerDisconnected,
          big=True),
]

# What each fault must look like beyond its type.
CHECKS = {
    "greeting never sent": lambda e: isinstance(e.__context__, TimeoutError),
    "AUTH refused": lambda e: e.smtp_code == 535,
    "MAIL FROM refused": lambda e: e.smtp_code == 553,
    "every RCPT refused": lambda e: e.recipients.keys() == set(REFUSED),
    "one RCPT refused": lambda e: e.recipients.keys() == {REFUSED[0]},
    "DATA refused": lambda e: e.smtp_code == 554,
}


def attempt(lab, fault, tag, monkeypatch):
    """One delivery that runs into ``fault``; returns the exception it raised."""
    m = lab.mailer(fault.role, **fault.mailer)
    attachments = [{"filename": "big.bin", "data": BIG}] if fault.big else None
    with monkeypatch.context() as mp:
        if fault.timeout:
            mp.setattr(vantrel.mailer, "smtplib", _Smtplib(timeout=SILENT_TIMEOUT))
        with pytest.raises(Exception) as info:
            m.send(fault.to, tag, body=tag, attachments=attachments)
    error = info.value
    assert type(error) is fault.error, repr(error)
    assert CHECKS.get(fault.name, bool)(error), repr(error)
    got = lab.received(tag)
    if not fault.submitted:
        assert got == []
    else:
        # Stored once for the recipients that were accepted, never retried.
        assert [(role, m.rcpt_tos) for role, m in got] == [
            (fault.role, [r for r in fault.to if r not in REFUSED])]
    return error


def deliver(lab, role, tag):
    lab.mailer(role).send([TO], tag, body=tag)
    got = lab.received(tag)
    assert [(r, m.rcpt_tos) for r, m in got] == [(role, [TO])]
    assert email.message_from_bytes(got[0][1].data)["Subject"] == tag


def prepare(lab, fault):
    # Start what the fault and the good delivery after it need before the
    # descriptors are counted.
    if fault.role in ("closed", "silent"):
        lab.socket(fault.role)
    else:
        lab.server(fault.role)
    lab.server("plain")


@pytest.mark.parametrize("fault", FAULTS, ids=str)
def test_fault_reaches_the_caller(lab, no_leaks, fault, monkeypatch):
    prepare(lab, fault)
    with no_leaks(lab):
        attempt(lab, fault, f"fault {uuid.uuid4()}", monkeypatch)
        deliver(lab, "plain", f"after {uuid.uuid4()}")


def test_one_refused_recipient_is_reported_after_the_others_got_it(lab, monkeypatch):
    fault = next(f for f in FAULTS if f.name == "one RCPT refused")
    error = attempt(lab, fault, f"partial {uuid.uuid4()}", monkeypatch)
    assert error.recipients == {REFUSED[0]: (550, b"5.1.1 no such user")}
    assert len(error.__notes__) == 1
    assert "accepted for the other recipients" in error.__notes__[0]
    assert lab.server("ssl").rcpt_attempts == [TO, REFUSED[0]]


def test_two_hundred_deliveries_through_every_fault(lab, no_leaks, monkeypatch):
    for fault in FAULTS:
        prepare(lab, fault)
    for role in ("starttls", "ssl"):
        lab.server(role)
    good = itertools.cycle(["plain", "starttls", "ssl"])
    faults = itertools.cycle(FAULTS)
    seen = set()
    stored = 0  # messages that a failing server took in before failing
    with no_leaks(lab):
        for i in range(100):
            fault = next(faults)
            attempt(lab, fault, f"fault {i} {uuid.uuid4()}", monkeypatch)
            seen.add(fault.name)
            stored += fault.submitted
            deliver(lab, next(good), f"good {i} {uuid.uuid4()}")
    assert seen == {f.name for f in FAULTS}
    # Nothing was stored twice or behind the caller's back.
    assert sum(len(s.messages) for s in lab.servers.values()) == 100 + stored
