"""Session on vantrel's own SMTP engine, against aiosmtpd servers that offer
PIPELINING and ones that do not: what arrives, in what groups, and what the
session makes of every way a server can refuse or fail."""

import email
import logging
import re
import selectors
import smtplib
import socket
import threading
import time
from email.message import EmailMessage

import pytest
from aiosmtpd.smtp import SMTP as AiosmtpdSMTP

import vantrel.session as session_module
from vantrel.mailer import EasyMailer
from vantrel.session import Session

A, B, C = "ann@example.com", "bob@example.org", "cy@example.net"
GROUPED = [True, False]


def subjects(server):
    return [email.message_from_bytes(m.data)["Subject"] for m in server.messages]


def wire(text):
    """A text as it travels: every line ending CRLF, a final one added."""
    data = re.sub(rb"\r\n|\r|\n", b"\r\n", text)
    return data if data.endswith(b"\r\n") else data + b"\r\n"


class Writes:
    """Wraps the module's _connect: keeps every write of every connection."""

    def __init__(self, monkeypatch):
        self.real, self.writes = session_module._connect, []
        monkeypatch.setattr(session_module, "_connect", self)

    def __call__(self, host, port, timeout):
        transport = self.real(host, port, timeout)
        writes = self.writes

        class Kept:
            def send(self, data):
                writes.append(data)
                transport.send(data)

            def __getattr__(self, name):
                return getattr(transport, name)

        return Kept()

    def commands(self):
        """The command words of each write, one list per write."""
        return [re.findall(rb"^([A-Z]{4})[ :\r]", w, re.M) for w in self.writes]


# --- what arrives ------------------------------------------------------------

AWKWARD = (b"Subject: awkward\n\n.starts with a dot\n..two\n.\nlone CR\rlone LF\n"
           + b"x" * 998 + b"\r\nlast line without an end")


@pytest.mark.parametrize("pipelining", GROUPED, ids=["pipelining", "lockstep"])
@pytest.mark.parametrize("mode", ["ssl", "starttls", "plain"])
def test_every_message_arrives_once_byte_for_byte(smtp_server, no_leaks, mode, pipelining):
    server = smtp_server(mode, pipelining=pipelining)
    built = []

    class Keeping(EasyMailer):
        def _build_message(self, *args, **kwargs):
            built.append(super()._build_message(*args, **kwargs))
            return built[-1]

    with no_leaks(server):
        with Session(Keeping(**server.mailer_args)) as session:
            session.send([A, B], "Built", body=".dot\nline\r\n.", html="<p>x</p>", bcc=C,
                         attachments=[{"filename": "a.bin", "data": bytes(range(256))}])
            session.send_message(AWKWARD, sender=A, recipients=[B])
            session.send(A, "After", body="x")
            assert session.last_reply[0] == 250
    first, second, third = server.messages
    assert first.rcpt_tos == [A, B, C]
    assert first.data == wire(built[0].as_string().encode())
    assert (second.mail_from, second.rcpt_tos, second.data) == (A, [B], wire(AWKWARD))
    assert subjects(server) == ["Built", "awkward", "After"]


def test_pipelined_groups(smtp_server, monkeypatch):
    # MAIL, every RCPT and DATA in one write; the text and its end in the
    # next; with pipelining off, one command a write.
    server = smtp_server("plain", pipelining=True)
    writes = Writes(monkeypatch)
    with Session(EasyMailer(**server.mailer_args)) as session:
        session.send([A, B], "Grouped", body="x")
    with Session(EasyMailer(**server.mailer_args), pipelining=False) as session:
        session.send([A, B], "One by one", body="x")
    grouped, lockstep = writes.commands()[:5], writes.commands()[5:]
    assert [b"MAIL", b"RCPT", b"RCPT", b"DATA"] in grouped
    assert [b"QUIT"] in grouped
    assert all(len(words) <= 1 for words in lockstep)
    assert [w for words in lockstep for w in words][2:] == [b"MAIL", b"RCPT", b"RCPT", b"DATA",
                                                           b"QUIT"]
    assert subjects(server) == ["Grouped", "One by one"]


# --- refusals inside one group -------------------------------------------------

@pytest.mark.parametrize("pipelining", GROUPED, ids=["pipelining", "lockstep"])
@pytest.mark.parametrize("case", ["first-rcpt", "all-rcpt", "data-command", "mail", "text"])
def test_refusal_mixes(smtp_server, no_leaks, case, pipelining):
    server = smtp_server("starttls", pipelining=pipelining)
    to = [A, B, C]
    if case == "first-rcpt":
        server.refuse_rcpt = {A}
    elif case == "all-rcpt":
        server.refuse_rcpt = set(to)
    elif case == "data-command":
        server.first_attempt[B] = "554-data-command"
    elif case == "text":
        server.first_attempt[B] = "451-data"
    with no_leaks(server):
        with Session(EasyMailer(**server.mailer_args), pipelining=pipelining) as session:
            server.refuse_mail = case == "mail"
            with pytest.raises(smtplib.SMTPException) as caught:
                session.send(to, "Refused", body="x")
            server.refuse_mail = False
            server.refuse_rcpt = set()
            session.send(to, "Next", body="x")
            assert session.connections == 1
    error = caught.value
    if case == "first-rcpt":
        assert isinstance(error, smtplib.SMTPRecipientsRefused)
        assert error.recipients == {A: (550, b"5.1.1 no such user")}
        assert session_module.classify(error) == "sent"
        assert subjects(server) == ["Refused", "Next"]
        assert session.sent == 2
        return
    assert subjects(server) == ["Next"] and session.sent == 1
    if case == "all-rcpt":
        assert isinstance(error, smtplib.SMTPRecipientsRefused)
        assert sorted(error.recipients) == sorted(to)
        assert session_module.classify(error) == "permanent"
    elif case == "mail":
        assert type(error) is smtplib.SMTPSenderRefused
        assert (error.smtp_code, error.sender) == (553, "mailer@example.test")
    else:
        assert type(error) is smtplib.SMTPDataError
        assert session_module.classify(error) == ("retry" if case == "text" else "permanent")


# --- a server that drops the connection ---------------------------------------

class Dropping(AiosmtpdSMTP):
    """Hangs up once, at the command named by the server's `drop_at`."""

    async def smtp_MAIL(self, arg):
        await self._maybe_drop("MAIL") or await super().smtp_MAIL(arg)

    async def smtp_RCPT(self, arg):
        await self._maybe_drop("RCPT") or await super().smtp_RCPT(arg)

    async def smtp_DATA(self, arg):
        if await self._maybe_drop("DATA"):
            return
        if self.event_handler.s.drop_at == "text" and self.envelope.rcpt_tos:
            self.event_handler.s.drop_at = None
            await self.push("354 End data with <CR><LF>.<CR><LF>")
            await self._reader.readuntil(b"\r\n")
            self.transport.abort()
            return
        await super().smtp_DATA(arg)

    async def smtp_EHLO(self, arg):
        await self._maybe_drop("EHLO") or await super().smtp_EHLO(arg)

    async def smtp_AUTH(self, arg):
        await self._maybe_drop("AUTH") or await super().smtp_AUTH(arg)

    async def _maybe_drop(self, command):
        if self.event_handler.s.drop_at != command:
            return False
        self.event_handler.s.drop_at = None
        self.transport.abort()
        return True


def dropping_server(smtp_server, pipelining):
    server = smtp_server("plain", pipelining=pipelining)
    server.drop_at = None
    c = server._controller
    c.factory = lambda: (server._connected(), c.protocols.append(
        Dropping(c.handler, loop=c.loop, **c.SMTP_kwargs)), c.protocols[-1])[-1]
    return server


@pytest.mark.parametrize("pipelining", GROUPED, ids=["pipelining", "lockstep"])
@pytest.mark.parametrize("step, outcome", [
    ("EHLO", "connect-fails"), ("AUTH", "connect-fails"),
    # Before the text: nothing of it reached the server, so it goes again.
    ("MAIL", "sent-again"), ("RCPT", "sent-again"), ("DATA", "sent-again"),
    # While or after the text went: the server may have it, never again.
    ("text", "unknown"), ("after-text", "unknown"),
])
def test_a_server_that_drops_the_connection(smtp_server, no_leaks, step, outcome, pipelining):
    server = dropping_server(smtp_server, pipelining)
    with no_leaks(server):
        with Session(EasyMailer(**server.mailer_args), pipelining=pipelining) as session:
            session.send(A, "1", body="x")
            if step in ("EHLO", "AUTH"):
                server.hang_up()  # the next message opens a connection
            if step == "after-text":
                server.drop = "DATA"
            else:
                server.drop_at = step
            if outcome == "sent-again":
                session.send(A, "2", body="x")
            else:
                with pytest.raises(smtplib.SMTPServerDisconnected) as caught:
                    session.send(A, "2", body="x")
                fate = session_module.classify(caught.value)
                assert fate == ("unknown" if outcome == "unknown" else "retry")
            server.drop = None
            session.send(A, "3", body="x")
    expected = ["1", "2", "3"] if outcome == "sent-again" else ["1", "3"]
    assert subjects(server) == expected
    assert session.sent == len(expected)
    opened = {"sent-again": 2, "unknown": 2, "connect-fails": 3}[outcome]
    assert session.connections == server.connections == opened


# --- how replies arrive ---------------------------------------------------------

class Relay:
    """A TCP relay in front of a server that changes how its replies arrive:
    "bytes" sends them one byte a write (with a pause, so that each byte is a
    read of its own), "batched" holds them until the server has been quiet a
    moment and sends them in one write."""

    def __init__(self, target_port, style):
        self.target_port, self.style = target_port, style
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.stopped = False
        self.threads = [threading.Thread(target=self._accept, daemon=True)]
        self.threads[0].start()

    def _accept(self):
        while not self.stopped:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            server = socket.create_connection(("127.0.0.1", self.target_port))
            for sock in (client, server):
                sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            thread = threading.Thread(target=self._pump, args=(client, server), daemon=True)
            thread.start()
            self.threads.append(thread)

    def _pump(self, client, server):
        selector = selectors.DefaultSelector()
        selector.register(client, selectors.EVENT_READ)
        selector.register(server, selectors.EVENT_READ)
        held = b""
        with client, server, selector:
            while True:
                ready = selector.select(0.02 if held else None)
                if not ready and held:  # the server went quiet
                    client.sendall(held)
                    held = b""
                    continue
                for key, _ in ready:
                    data = key.fileobj.recv(65536)
                    if not data:
                        if held:
                            client.sendall(held)
                        return
                    if key.fileobj is client:
                        server.sendall(data)
                    elif self.style == "bytes":
                        for i in range(len(data)):
                            client.sendall(data[i:i + 1])
                            time.sleep(0.0005)
                    else:
                        held += data

    def close(self):
        self.stopped = True
        self.listener.close()


@pytest.mark.parametrize("style", ["bytes", "batched"])
def test_replies_split_into_bytes_or_batched(smtp_server, style):
    server = smtp_server("plain", pipelining=True)
    relay = Relay(server.port, style)
    try:
        args = dict(server.mailer_args, port=relay.port)
        with Session(EasyMailer(**args)) as session:
            results = session.send_many(dict(to=[A, B], subject=f"{i}", body="x")
                                        for i in range(3))
            session.send(C, "last", body="x")
    finally:
        relay.close()
    assert results == [None] * 3
    assert subjects(server) == ["0", "1", "2", "last"]


def test_a_server_that_never_answers(no_leaks):
    silent = socket.create_server(("127.0.0.1", 0))  # listens, never accepts
    host, port = silent.getsockname()
    with silent:
        session = Session(EasyMailer(host, port, "u", "p", use_ssl=False), timeout=0.2)
        with pytest.raises(TimeoutError):
            session.send(A, "Never", body="x")
        assert session.connections == 1 and session.sent == 0
        assert session_module.classify(TimeoutError()) == "retry"


# --- send_many -------------------------------------------------------------------

@pytest.mark.parametrize("pipelining", GROUPED, ids=["pipelining", "lockstep"])
def test_send_many_with_refusals_among_the_messages(smtp_server, no_leaks, pipelining):
    server = smtp_server("ssl", pipelining=pipelining, refuse_rcpt={"gone@example.test"},
                         first_attempt={"grey@example.test": "451-data-command"})
    messages = [
        dict(to=A, subject="0", body="x"),
        dict(to="gone@example.test", subject="1", body="x"),          # every RCPT refused
        dict(to=[B, "gone@example.test"], subject="2", body="x"),     # one refused
        dict(to=A, subject=None),                                     # send's own TypeError
        "not a dict",
        dict(to=A, subject="5", colour="red"),                        # an unknown argument
        dict(to="grey@example.test", subject="6", body="x"),          # DATA deferred
        dict(to=C, subject="7", body="x"),
    ]
    with no_leaks(server):
        with Session(EasyMailer(**server.mailer_args), pipelining=pipelining) as session:
            results = session.send_many(messages)
            assert (session.sent, session.connections) == (3, 1)
    assert [type(r).__name__ for r in results] == [
        "NoneType", "SMTPRecipientsRefused", "SMTPRecipientsRefused", "TypeError", "TypeError",
        "TypeError", "SMTPDataError", "NoneType"]
    assert str(results[3]) == "Argument 'subject' has incorrect type (expected str, got NoneType)"
    assert str(results[5]) == "send() got an unexpected keyword argument 'colour'"
    assert [session_module.classify(r) for r in (results[1], results[2], results[6])] == [
        "permanent", "sent", "retry"]
    assert subjects(server) == ["0", "2", "7"]


def test_send_many_builds_each_message_when_it_goes(smtp_server):
    # A generator of many messages is drawn from as they go out: never more
    # than a few ahead of what the server has.
    server = smtp_server("plain", pipelining=True)
    ahead = []

    def messages(count):
        for i in range(count):
            ahead.append(i - len(server.messages))
            yield dict(to=A, subject=str(i), body="x" * 2000)

    with Session(EasyMailer(**server.mailer_args), max_per_connection=150) as session:
        results = session.send_many(messages(400))
        assert session.connections == 3
    assert results == [None] * 400
    assert subjects(server) == [str(i) for i in range(400)]
    assert max(ahead) <= 4


def test_send_many_sends_again_what_did_not_reach_the_server(smtp_server, no_leaks):
    server = smtp_server("plain", pipelining=True, busy_after=2)
    with no_leaks(server):
        with Session(EasyMailer(**server.mailer_args)) as session:
            results = session.send_many(dict(to=A, subject=str(i), body="x") for i in range(5))
            assert (session.sent, session.connections) == (5, 3)
    assert results == [None] * 5
    assert subjects(server) == [str(i) for i in range(5)]


def test_send_many_raises_what_its_iterable_raises(smtp_server):
    server = smtp_server("plain", pipelining=True)

    def messages():
        yield dict(to=A, subject="0", body="x")
        raise KeyError("mine")

    with Session(EasyMailer(**server.mailer_args)) as session:
        with pytest.raises(KeyError):
            session.send_many(messages())
        session.send(A, "1", body="x")
    assert subjects(server) == ["0", "1"]


# --- extensions ------------------------------------------------------------------

def test_size_refused_before_the_text(smtp_server, monkeypatch):
    server = smtp_server("plain", pipelining=True, size_limit=10_000)
    writes = Writes(monkeypatch)
    with Session(EasyMailer(**server.mailer_args)) as session:
        with pytest.raises(smtplib.SMTPSenderRefused) as caught:
            session.send(A, "Too big", body="x" * 20_000)
        session.send(A, "Small", body="x")
    assert caught.value.smtp_code == 552
    assert b"x" * 1000 not in b"".join(writes.writes)  # nothing of the text went
    assert subjects(server) == ["Small"]


@pytest.mark.parametrize("offered", [True, False])
def test_smtputf8(smtp_server, monkeypatch, offered):
    server = smtp_server("plain", pipelining=True, smtputf8=offered)
    writes = Writes(monkeypatch)
    with Session(EasyMailer(**server.mailer_args)) as session:
        if offered:
            session.send("jürgen@example.de", "Grüße", body="x")
        else:
            with pytest.raises(smtplib.SMTPNotSupportedError, match="SMTPUTF8"):
                session.send("jürgen@example.de", "Grüße", body="x")
            assert not any(b"MAIL" in w for w in writes.writes)
        session.send(A, "Plain", body="x")
    if offered:
        assert server.messages[0].rcpt_tos == ["jürgen@example.de"]
    assert subjects(server)[-1] == "Plain"


def test_without_username_and_password_no_login(smtp_server):
    server = smtp_server("plain", auth=False)
    mailer = EasyMailer(server.host, server.port, "", "", use_ssl=False,
                        default_sender="relay@example.test")
    with Session(mailer) as session:
        session.send(A, "No login", body="x")
    assert server.auths == [] and subjects(server) == ["No login"]


# --- send_message ------------------------------------------------------------------

def test_send_message_takes_its_envelope_from_the_headers(smtp_server):
    server = smtp_server("starttls", pipelining=True)
    msg = EmailMessage()
    msg["From"] = "Ann <ann@example.com>"
    msg["To"] = "Bob <bob@example.org>, cy@example.net"
    msg["Bcc"] = "hidden@example.test"
    msg["Subject"] = "Built elsewhere"
    msg.set_content("body\n")
    with Session(EasyMailer(**server.mailer_args)) as session:
        session.send_message(msg)
        session.send_message(msg.as_bytes(), recipients="only@example.test")
    first, second = server.messages
    assert (first.mail_from, first.rcpt_tos) == (A, [B, C, "hidden@example.test"])
    assert b"hidden@example.test" not in first.data
    assert msg["Bcc"] == "hidden@example.test"  # the caller's message is unchanged
    assert (second.mail_from, second.rcpt_tos) == (A, ["only@example.test"])
    with pytest.raises(TypeError, match="expected Message or bytes"):
        session.send_message("text")


# --- the logger --------------------------------------------------------------------

def test_the_conversation_at_debug_level(smtp_server, caplog):
    server = smtp_server("plain", pipelining=True)
    mailer = EasyMailer(**server.mailer_args)
    with caplog.at_level(logging.INFO, logger="vantrel.smtp"):
        with Session(mailer) as session:
            session.send(A, "Quiet", body="x")
    assert [r for r in caplog.records if r.name == "vantrel.smtp"] == []
    with caplog.at_level(logging.DEBUG, logger="vantrel.smtp"):
        with Session(mailer) as session:
            session.send(A, "Traced", body="x")
    ours = [r for r in caplog.records if r.name == "vantrel.smtp"]
    lines = [r.getMessage() for r in ours]
    assert all(r.levelno == logging.DEBUG for r in ours)
    where = f"127.0.0.1:{server.port}"
    assert f"{where} > MAIL FROM:<mailer@example.test> SIZE=" in "\n".join(lines)
    assert f"{where} < 354 End data with <CR><LF>.<CR><LF>" in lines
    auth = [line for line in lines if " > AUTH" in line]
    assert auth and all(line.endswith("***") for line in auth)
    assert not any(mailer.password in line for line in lines)


# --- arguments -----------------------------------------------------------------------

@pytest.mark.parametrize("kwargs, error, message", [
    (dict(timeout="5"), TypeError,
     "Argument 'timeout' has incorrect type (expected float, got str)"),
    (dict(timeout=True), TypeError,
     "Argument 'timeout' has incorrect type (expected float, got bool)"),
    (dict(timeout=0), ValueError, "timeout must be a positive number of seconds (at most a "
                                  "year), or None to wait for ever."),
    (dict(timeout=float("nan")), ValueError, "timeout must be a positive number of seconds "
                                             "(at most a year), or None to wait for ever."),
    (dict(timeout=float("inf")), ValueError, "timeout must be a positive number of seconds "
                                             "(at most a year), or None to wait for ever."),
    (dict(timeout=10**400), ValueError, "timeout must be a positive number of seconds "
                                        "(at most a year), or None to wait for ever."),
])
def test_timeout_errors(kwargs, error, message):
    with pytest.raises(error) as caught:
        Session(EasyMailer("127.0.0.1", 1, "u", "p"), **kwargs)
    assert str(caught.value) == message


def test_send_many_reports_a_server_it_cannot_reach_for_each_message():
    from network import closed_port
    mailer = EasyMailer("127.0.0.1", closed_port(), "u", "p", use_ssl=False)
    batch = [dict(to=f"r{i}@example.test", subject="s", body="b") for i in range(3)]
    session = Session(mailer)  # not entered: entering would connect
    results = session.send_many(batch)
    session.close()
    assert [type(r) for r in results] == [ConnectionRefusedError] * 3
    assert (session.sent, session.connections) == (0, 0)


def test_a_transport_that_reads_what_is_not_bytes_is_a_clear_error(monkeypatch):
    class Broken:
        def send(self, data): pass
        def recv(self): return "220 a str\r\n"
        def pending(self): return False
        def close(self): pass
        def abandon(self): pass
        def start_tls(self, context, server_hostname): pass

    monkeypatch.setattr(session_module, "_connect", lambda host, port, timeout: Broken())
    session = Session(EasyMailer("127.0.0.1", 25, "u", "p", use_ssl=False))
    with pytest.raises(TypeError, match=r"transport.recv\(\) must return bytes, not str"):
        session.send(to="a@example.test", subject="s", body="b")
    session.close()


class Answering:
    """A transport whose server answers each command line from a script:
    the greeting first, then a reply for every command, in order."""
    script = []

    def __init__(self, host, port, timeout):
        self.replies = [self.script[0]]
        self.answers = list(self.script[1:])

    def send(self, data):
        for _ in range(data.count(b"\r\n")):
            self.replies.append(self.answers.pop(0) if self.answers else b"")

    def recv(self):
        return self.replies.pop(0) if self.replies else b""

    def pending(self):
        return bool(self.replies)

    def start_tls(self, context, server_hostname):
        pass

    def close(self):
        pass

    abandon = close


@pytest.mark.parametrize("script, error, code", [
    ([b"554 5.3.2 no service here\r\n"], smtplib.SMTPConnectError, 554),
    ([b"220 hi\r\n", b"502 no EHLO\r\n", b"502 no HELO either\r\n"], smtplib.SMTPHeloError, 502),
    ([b"220 hi\r\n", b"250-mx\r\n250 STARTTLS\r\n", b"454 4.7.0 TLS not available\r\n"],
     smtplib.SMTPResponseException, 454),
    ([b"220 hi\r\n", b"250 mx\r\n", b"this is not SMTP\r\n"], smtplib.SMTPServerDisconnected, None),
], ids=["greeting", "hello", "starttls", "garbage"])
def test_setup_refusals_are_smtplibs_exceptions(monkeypatch, script, error, code):
    monkeypatch.setattr(Answering, "script", script)
    monkeypatch.setattr(session_module, "_connect", Answering)
    starttls = any(b"STARTTLS" in line for line in script)
    session = Session(EasyMailer("127.0.0.1", 25, "", "", use_ssl=False, use_tls=starttls))
    with pytest.raises(error) as caught:
        session.send(to="a@example.test", subject="s", body="b")
    if code is not None:
        assert caught.value.smtp_code == code
    session.close()
