"""vantrel.session: many messages over one connection to real local servers.

What the server received is the measure throughout: every message exactly
once, over as few connections and logins as the rules allow.
"""

import collections
import email
import inspect
import os
import re
import smtplib
import socket
import ssl
import sys
import threading
import uuid
import warnings
from email.mime.multipart import MIMEMultipart

import pytest

import vantrel.session as session_module
from vantrel.mailer import EasyMailer
from vantrel.session import Session

A, B, C = "ann@example.com", "bob@example.org", "cy@example.net"

BOUNDARY = re.compile(rb"={15}\d+==")
DATE = re.compile(rb"^Date: .*$", re.M)


def normal(data):
    """A message with its Date header and MIME boundaries made constant."""
    return DATE.sub(b"Date:", BOUNDARY.sub(b"=BOUNDARY=", data))


def subjects(server):
    return [email.message_from_bytes(m.data)["Subject"] for m in server.messages]


# --- the same messages as EasyMailer ----------------------------------------

SHAPES = {
    "text": dict(to=A, subject="Plain", body="Just text."),
    "everything": dict(to=[A, B], subject="Report", body="Text part.", html="<p>HTML part</p>",
                       cc=C, bcc=["audit@example.com"], sender="billing@example.com",
                       sender_name="Billing Désk", reply_to="help@example.com",
                       attachments=[{"filename": "data.csv", "data": b"a,b\n1,2\n"}]),
}


@pytest.mark.parametrize("shape", SHAPES)
def test_message_equals_the_mailers(server, no_leaks, tmp_path, shape):
    args = dict(SHAPES[shape])
    if shape == "everything":
        path = tmp_path / "notes.txt"
        path.write_text("notes\n")
        args["attachments"] = args["attachments"] + [str(path)]
    mailer = EasyMailer(**server.mailer_args)
    with no_leaks(server):
        mailer.send(**args)
        with Session(mailer) as session:
            session.send(**args)
            assert session.sent == 1
    by_mailer, by_session = server.messages
    assert (by_session.mail_from, by_session.rcpt_tos) == (by_mailer.mail_from, by_mailer.rcpt_tos)
    assert normal(by_session.data) == normal(by_mailer.data)


def test_template_equals_the_mailers(server, no_leaks):
    mailer = EasyMailer(**server.mailer_args)
    context = {"title": "Backup & restore", "message": "Done.",
               "occurred_at": "2026-12-08 10:00:00"}
    with no_leaks(server):
        mailer.send_template(A, "[ops] {{ title }}", "notification", dict(context), cc=B)
        with Session(mailer) as session:
            session.send_template(A, "[ops] {{ title }}", "notification", dict(context), cc=B)
            stamped = {"title": "t", "message": "m"}
            session.send_template(A, "{{ occurred_at }}", "notification", stamped)
    first, second, third = server.messages
    assert normal(second.data) == normal(first.data)
    assert re.fullmatch(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d", stamped["occurred_at"])
    assert subjects(server)[2] == stamped["occurred_at"]


def test_subclass_steps_are_honoured(smtp_server):
    class Tagged(EasyMailer):
        def _build_message(self, *args, **kwargs):
            msg = super()._build_message(*args, **kwargs)
            msg["X-Tag"] = "tagged"
            return msg

        @staticmethod
        def _collect_recipients(to, cc, bcc):
            return [to, "archive@example.com"]

    server = smtp_server("plain")
    with Session(Tagged(**server.mailer_args)) as session:
        session.send(A, "Hi", body="x", bcc=B)
    (received,) = server.messages
    assert received.rcpt_tos == [A, "archive@example.com"]
    assert email.message_from_bytes(received.data)["X-Tag"] == "tagged"


def test_a_boundary_found_in_the_text_is_chosen_again(smtp_server):
    # The session picks the boundaries; one that occurs in the text other than
    # as a delimiter (here: planted in the preamble) is given back to the
    # email package to choose.
    class Colliding(MIMEMultipart):
        chosen = None

        def set_boundary(self, boundary):
            if self.chosen is None:
                self.chosen, self.preamble = boundary, f"--{boundary}"
            super().set_boundary(boundary)

    class Mailer(EasyMailer):
        def _build_message(self, *args, **kwargs):
            msg = super()._build_message(*args, **kwargs)
            msg.__class__ = Colliding
            built.append(msg)
            return msg

    built = []
    server = smtp_server("plain")
    with Session(Mailer(**server.mailer_args)) as session:
        session.send(A, "Collision", body="Still here.", html="<p>Still here.</p>")
    (received,) = server.messages
    msg = email.message_from_bytes(received.data)
    assert msg.get_boundary() not in (None, built[0].chosen)
    assert msg.preamble.strip() == f"--{built[0].chosen}"
    (alternative,) = msg.get_payload()
    assert [part.get_payload(decode=True) for part in alternative.get_payload()] == [
        b"Still here.", b"<p>Still here.</p>"]


# --- one connection, one login ----------------------------------------------

def test_many_messages_one_connection(server, no_leaks):
    mailer = EasyMailer(**server.mailer_args)
    with no_leaks(server):
        with Session(mailer) as session:
            assert repr(session) == (f"<Session 127.0.0.1:{server.port} {server.mode} "
                                     f"connected, 0 sent>")
            for i in range(5):
                session.send(A, f"Message {i}", body="x")
            assert (session.sent, session.connections) == (5, 1)
        assert repr(session).endswith("closed, 5 sent>")
        session.close()  # a second close does nothing
    assert subjects(server) == [f"Message {i}" for i in range(5)]
    assert (server.connections, len(server.auths), server.quits) == (1, 1, 1)
    assert all(auth.tls for auth in server.auths) == (server.mode != "plain")


def delays(port):
    """Whether each socket of this process connected to `port` on 127.0.0.1
    delays small writes (Nagle's algorithm): the client ends of the server's
    connections."""
    found = []
    for name in os.listdir("/proc/self/fd"):
        try:
            if not os.readlink(f"/proc/self/fd/{name}").startswith("socket:"):
                continue
            sock = socket.socket(fileno=os.dup(int(name)))
        except OSError:  # closed meanwhile
            continue
        with sock:
            try:
                peer = sock.getpeername()
            except OSError:
                continue
            if sock.family == socket.AF_INET and peer == ("127.0.0.1", port):
                found.append(not sock.getsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY))
    return found


def test_every_connection_writes_without_delay(server):
    # The last short TLS record of a message must not wait for the server's
    # delayed acknowledgement of the one before.
    with Session(EasyMailer(**server.mailer_args)) as session:
        assert delays(server.port) == [False]
        server.hang_up()
        session.send(A, "Over a new connection", body="x")
        assert delays(server.port) == [False]
        assert session.connections == 2


def test_block_error_propagates_and_quits(smtp_server, no_leaks):
    server = smtp_server("starttls")
    with no_leaks(server):
        with pytest.raises(KeyError, match="mine"):
            with Session(EasyMailer(**server.mailer_args)):
                raise KeyError("mine")
    assert (server.connections, server.quits) == (1, 1)


@pytest.mark.parametrize("mode", ["ssl", "starttls", "plain"])
def test_login_refused_at_enter(smtp_server, no_leaks, mode):
    server = smtp_server(mode, password="another one")
    session = Session(EasyMailer(**server.mailer_args))
    with no_leaks(server):
        with pytest.raises(smtplib.SMTPAuthenticationError):
            with session:
                pytest.fail("the block ran")
    assert server.messages == [] and server.quits == 1
    assert repr(session).endswith("closed, 0 sent>")


def test_untrusted_certificate_at_enter(smtp_server, no_leaks):
    server = smtp_server("ssl", cert="untrusted")
    with no_leaks(server), pytest.raises(ssl.SSLCertVerificationError):
        Session(EasyMailer(**server.mailer_args)).__enter__()
    assert server.auths == []


# --- reconnecting ------------------------------------------------------------

@pytest.mark.parametrize("reply", [None, "421 4.4.2 Idle timeout, closing"],
                         ids=["closed", "421-then-closed"])
def test_server_hangs_up_between_messages(server, no_leaks, reply):
    with no_leaks(server):
        with Session(EasyMailer(**server.mailer_args)) as session:
            for i in range(3):
                session.send(A, f"Message {i}", body="x")
            server.hang_up(reply)
            for i in range(3, 6):
                session.send(A, f"Message {i}", body="x")
            assert (session.sent, session.connections) == (6, 2)
    assert subjects(server) == [f"Message {i}" for i in range(6)]
    assert (server.connections, len(server.auths)) == (2, 2)


def test_hang_up_before_the_first_message(smtp_server):
    server = smtp_server("ssl")
    with Session(EasyMailer(**server.mailer_args)) as session:
        server.hang_up()
        session.send(A, "After the idle time", body="x")
    assert subjects(server) == ["After the idle time"]
    assert server.connections == 2


def test_421_to_mail_from_is_retried_once(server, no_leaks):
    server.busy_after = 2
    with no_leaks(server):
        with Session(EasyMailer(**server.mailer_args)) as session:
            for i in range(5):
                session.send(A, f"Message {i}", body="x")
            assert (session.sent, session.connections) == (5, 3)
    assert subjects(server) == [f"Message {i}" for i in range(5)]
    assert server.connections == 3


def test_421_is_retried_only_once(smtp_server, no_leaks):
    server = smtp_server("plain", busy_after=0)
    with no_leaks(server):
        with Session(EasyMailer(**server.mailer_args)) as session:
            with pytest.raises(smtplib.SMTPSenderRefused) as caught:
                session.send(A, "Refused", body="x")
            assert caught.value.smtp_code == 421
            assert session.connections == 2
            # A connection opened for the message itself is not tried again.
            with pytest.raises(smtplib.SMTPSenderRefused):
                session.send(A, "Refused", body="x")
            assert session.connections == 3
    assert server.messages == []


def test_drop_during_data_is_not_resent(smtp_server, no_leaks):
    server = smtp_server("starttls")
    with no_leaks(server):
        with Session(EasyMailer(**server.mailer_args)) as session:
            session.send(A, "First", body="x")
            server.drop = "DATA"
            with pytest.raises(smtplib.SMTPServerDisconnected):
                session.send(A, "Lost", body="x")
            assert server.connections == 1  # nothing was tried again
            server.drop = None
            session.send(A, "Third", body="x")
            assert (session.sent, session.connections) == (2, 2)
    assert subjects(server) == ["First", "Third"]


@pytest.mark.parametrize("failure", ["421-rcpt", "421-data-command"])
def test_421_before_the_text_is_sent_again_once(server, no_leaks, failure):
    # The server accepted A's RCPT, then answered B's RCPT (or the DATA
    # command) with 421 and closed: nothing was delivered.
    server.first_attempt[B] = failure
    with no_leaks(server):
        with Session(EasyMailer(**server.mailer_args)) as session:
            session.send([A, B, C], "Closing", body="x")
            assert (session.sent, session.connections) == (1, 2)
    (received,) = server.messages
    assert received.rcpt_tos == [A, B, C]
    assert server.attempts[B] == 2


@pytest.mark.parametrize("failure, entered, error", [
    # Over a connection opened for the message itself: no second try.
    ("421-rcpt", False, smtplib.SMTPRecipientsRefused),
    ("421-data-command", False, smtplib.SMTPDataError),
    # After the text the server may have the message: never sent again.
    ("421-data", True, smtplib.SMTPDataError),
])
def test_a_421_that_is_not_sent_again(smtp_server, no_leaks, failure, entered, error):
    server = smtp_server("starttls", first_attempt={B: failure})
    with no_leaks(server):
        session = Session(EasyMailer(**server.mailer_args))
        if entered:
            session.__enter__()
        with pytest.raises(error) as caught:
            session.send([A, B, C], "Closing", body="x")
        assert (session.sent, session.connections) == (0, 1)
        session.send([A, B, C], "Next", body="x")
        session.close()
    if error is smtplib.SMTPRecipientsRefused:
        # Nobody has the message: every recipient is named, none as delivered.
        assert caught.value.recipients == dict.fromkeys(
            [A, B, C], (421, b"4.7.0 shutting down, closing"))
        assert not hasattr(caught.value, "__notes__")
    else:
        assert caught.value.smtp_code == 421
    assert subjects(server) == ["Next"]
    assert server.attempts[B] == 2


def test_max_per_connection(smtp_server, no_leaks):
    server = smtp_server("plain")
    with no_leaks(server):
        with Session(EasyMailer(**server.mailer_args), max_per_connection=2) as session:
            for i in range(5):
                session.send(A, f"Message {i}", body="x")
            assert (session.sent, session.connections) == (5, 3)
    assert subjects(server) == [f"Message {i}" for i in range(5)]
    assert (server.connections, server.quits) == (3, 3)


# --- refusals ---------------------------------------------------------------

def test_refusals_leave_the_session_usable(server, no_leaks):
    server.refuse_rcpt = {B, C}
    with no_leaks(server):
        with Session(EasyMailer(**server.mailer_args)) as session:
            with pytest.raises(smtplib.SMTPRecipientsRefused) as partly:
                session.send([A, B], "Partly", body="x")
            with pytest.raises(smtplib.SMTPRecipientsRefused) as wholly:
                session.send([B, C], "Wholly", body="x")
            session.send(A, "Afterwards", body="x")
            assert (session.sent, session.connections) == (2, 1)
    assert list(partly.value.recipients) == [B]
    assert "accepted for the other recipients" in partly.value.__notes__[0]
    assert sorted(wholly.value.recipients) == [B, C]
    assert not hasattr(wholly.value, "__notes__")
    assert subjects(server) == ["Partly", "Afterwards"]


@pytest.mark.parametrize("failure, code", [
    ("451-data-command", 451), ("554-data-command", 554), ("451-data", 451)])
def test_a_refused_data_command_leaves_the_session_usable(server, no_leaks, failure, code):
    # Answered before the text (greylisting, a milter), the DATA command
    # leaves the transaction open on the server until it is reset.
    server.first_attempt[B] = failure
    with no_leaks(server):
        with Session(EasyMailer(**server.mailer_args)) as session:
            with pytest.raises(smtplib.SMTPDataError) as caught:
                session.send([A, B], "Deferred", body="x")
            session.send(C, "Unrelated", body="x")
            session.send([A, B], "Deferred", body="x")
            assert session.sent == 2
    assert caught.value.smtp_code == code
    assert subjects(server) == ["Unrelated", "Deferred"]


def test_sender_refused_leaves_the_session_usable(smtp_server):
    server = smtp_server("plain", refuse_mail=True)
    with Session(EasyMailer(**server.mailer_args)) as session:
        with pytest.raises(smtplib.SMTPSenderRefused):
            session.send(A, "Refused", body="x")
        server.refuse_mail = False
        session.send(A, "Accepted", body="x")
        assert session.connections == 1
    assert subjects(server) == ["Accepted"]


# --- processes and threads --------------------------------------------------

def test_fork_child_opens_its_own_connection(smtp_server, no_leaks):
    server = smtp_server("starttls")
    with no_leaks(server):
        with Session(EasyMailer(**server.mailer_args)) as session:
            session.send(A, "Parent 1", body="x")
            with warnings.catch_warnings():
                # The test server runs in a thread of this process.
                warnings.simplefilter("ignore", DeprecationWarning)
                pid = os.fork()
            if pid == 0:  # the child
                status = 1
                try:
                    session.send(A, "Child", body="x")
                    session.close()
                    status = 0 if session.connections == 2 else 2
                finally:
                    os._exit(status)
            assert os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) == 0
            session.send(A, "Parent 2", body="x")
            assert (session.sent, session.connections) == (2, 1)
    assert subjects(server) == ["Parent 1", "Child", "Parent 2"]
    assert (server.connections, server.quits) == (2, 2)


def test_threads_share_one_session(smtp_server, no_leaks):
    server = smtp_server("starttls")
    threads, per_thread = 8, 50
    run_id = uuid.uuid4().hex
    start = threading.Barrier(threads)
    failures = []

    def worker(session, t):
        start.wait()
        try:
            for i in range(per_thread):
                session.send(f"to-{t}@example.test", f"{run_id}-{t}-{i}", body=f"body {t} {i}",
                             bcc=f"bcc-{t}-{i}@example.test")
        except BaseException as error:  # reported below, in the test's thread
            failures.append(error)

    with no_leaks(server):
        with Session(EasyMailer(**server.mailer_args)) as session:
            workers = [threading.Thread(target=worker, args=(session, t))
                       for t in range(threads)]
            for w in workers:
                w.start()
            for w in workers:
                w.join()
    assert failures == []
    assert (session.sent, session.connections, server.connections) == (400, 1, 1)
    seen = collections.Counter()
    for received in server.messages:
        tag = email.message_from_bytes(received.data)["Subject"]
        _, t, i = tag.rsplit("-", 2)
        assert received.rcpt_tos == [f"to-{t}@example.test", f"bcc-{t}-{i}@example.test"]
        seen[tag] += 1
    assert seen == {f"{run_id}-{t}-{i}": 1 for t in range(threads) for i in range(per_thread)}


# --- surface ----------------------------------------------------------------

@pytest.mark.parametrize("name", ["send", "send_template"])
def test_same_parameters_as_the_mailer(name):
    # The mailer's, then the session's own headers and unsubscribe.
    ours, theirs = getattr(Session, name), getattr(EasyMailer, name)
    params = list(inspect.signature(ours).parameters.values())
    assert params[:-2] == list(inspect.signature(theirs).parameters.values())
    assert [(p.name, p.default) for p in params[-2:]] == [("headers", None), ("unsubscribe", None)]
    annotations = dict(ours.__annotations__)
    assert annotations.pop("headers") == "Optional[Dict[str, str]]"
    assert annotations.pop("unsubscribe") == "Optional[Union[str, List[str]]]"
    assert annotations == theirs.__annotations__
    assert ours.__qualname__ == f"Session.{name}"


@pytest.mark.parametrize("call, message", [
    (lambda s: s.send(A, None), "Argument 'subject' has incorrect type "
                                "(expected str, got NoneType)"),
    (lambda s: s.send(A), "send() takes at least 3 positional arguments (2 given)"),
    (lambda s: s.send_template(A, "s", "t", attachments=()),
     "Argument 'attachments' has incorrect type (expected list, got tuple)"),
    (lambda s: s.send_template(A, "s", "t", colour=1),
     "send_template() got an unexpected keyword argument 'colour'"),
    (lambda s: Session.send(object(), A, "s"),
     "descriptor 'send' for 'vantrel.session.Session' objects doesn't apply to a 'object' "
     "object"),
])
def test_argument_errors(call, message):
    session = Session(EasyMailer("127.0.0.1", 1, "u", "p"))
    with pytest.raises(TypeError) as caught:
        call(session)
    assert str(caught.value) == message
    assert session.connections == 0


@pytest.mark.parametrize("args, error, message", [
    ((object(),), TypeError, "Argument 'mailer' has incorrect type "
                             "(expected EasyMailer, got object)"),
    ((None,), TypeError, "Argument 'mailer' has incorrect type (expected EasyMailer, "
                         "got NoneType)"),
    (("M", "2"), TypeError, "Argument 'max_per_connection' has incorrect type "
                            "(expected int, got str)"),
    (("M", True), TypeError, "Argument 'max_per_connection' has incorrect type "
                             "(expected int, got bool)"),
    (("M", 0), ValueError, "max_per_connection must be at least 1, or None for no limit."),
    (("M", -2**70), ValueError, "max_per_connection must be at least 1, or None for no limit."),
])
def test_construction_errors(args, error, message):
    mailer = EasyMailer("127.0.0.1", 1, "u", "p")
    args = tuple(mailer if a == "M" else a for a in args)
    with pytest.raises(error) as caught:
        Session(*args)
    assert str(caught.value) == message


def test_repr_and_counters_before_use():
    mailer = EasyMailer("mx.example.com", 25, "u", "p", use_ssl=False)
    session = Session(mailer, max_per_connection=2**80)
    assert repr(session) == "<Session mx.example.com:25 plain not connected, 0 sent>"
    with pytest.raises(AttributeError):
        session.sent = 1
    with pytest.raises(RuntimeError, match="__init__"):
        Session.__new__(Session).send(A, "s")


def test_connect_is_read_from_the_module(monkeypatch, smtp_server):
    server = smtp_server("plain")
    made = []
    real = session_module._connect

    def connect(host, port, timeout):
        made.append((host, port, timeout))
        return real(host, port, timeout)

    monkeypatch.setattr(session_module, "_connect", connect)
    with Session(EasyMailer(**server.mailer_args), timeout=7) as session:
        session.send(A, "Through the rebound function", body="x")
    assert made == [("127.0.0.1", server.port, 7.0)]
    assert subjects(server) == ["Through the rebound function"]


# --- what the session does with the connection, in order -------------------

COMMAND = re.compile(rb"^(EHLO|HELO|STARTTLS|AUTH|MAIL|RCPT|DATA|BDAT|RSET|NOOP|QUIT)\b", re.M)


class Recorder:
    """The module's _connect, wrapped: its transports reach the real server
    and log, per connection (1, 2, ...), every command the session writes and
    every close.  ``fail`` maps an entry (such as ("QUIT", 1)) to the
    exception that the transport raises instead of doing it."""

    def __init__(self, monkeypatch, fail=()):
        self.log, self.fail = [], dict(fail)
        self.real = session_module._connect
        monkeypatch.setattr(session_module, "_connect", self)

    def __call__(self, host, port, timeout):
        failure = self.fail.get(("connect", self.connections + 1))
        if failure is not None:
            raise failure
        transport = self.real(host, port, timeout)
        self.log.append(("connect", self.connections + 1))
        return Recorded(self, self.connections, transport)

    @property
    def connections(self):
        return sum(entry[0] == "connect" for entry in self.log)

    def commands(self, n):
        return [name for name, m in self.log if m == n and name not in ("connect", "close")]


class Recorded:
    def __init__(self, recorder, n, transport):
        self.recorder, self.n, self.transport = recorder, n, transport

    def _record(self, name):
        self.recorder.log.append((name, self.n))
        failure = self.recorder.fail.get((name, self.n))
        if callable(failure) and not isinstance(failure, BaseException):
            failure = failure()
        if failure is not None:
            raise failure

    def send(self, data):
        for command in COMMAND.findall(data):
            self._record(command.decode())
        self.transport.send(data)

    def close(self):
        self.transport.close()
        self._record("close")

    def __getattr__(self, name):  # recv, pending, start_tls, abandon
        return getattr(self.transport, name)


def test_parts_nested_too_deep(monkeypatch):
    class Nested(EasyMailer):
        def _build_message(self, *args, **kwargs):
            msg = inner = MIMEMultipart("mixed")
            for _ in range(sys.getrecursionlimit() * 3):
                part = MIMEMultipart("mixed")
                inner.attach(part)
                inner = part
            return msg

    recorder = Recorder(monkeypatch)
    with pytest.raises(RecursionError):
        Session(Nested("mx", 25, "u", "p", use_ssl=False)).send(A, "deep")
    assert recorder.log == []


OPENING = ["EHLO", "AUTH"]
MESSAGE = ["MAIL", "RCPT", "DATA"]


@pytest.mark.parametrize("failure, error, kept", [
    ("hold-data", TimeoutError, False),
    ("drop-data", smtplib.SMTPServerDisconnected, False),
    ("451-data", smtplib.SMTPDataError, []),
    ("451-data-command", smtplib.SMTPDataError, ["RSET"]),
    ("refuse-mail", smtplib.SMTPSenderRefused, ["RSET"]),
], ids=["timeout", "disconnected", "text-refused", "data-refused", "sender-refused"])
def test_a_failed_message_is_never_sent_again(monkeypatch, smtp_server, failure, error, kept):
    server = smtp_server("plain")
    if failure != "refuse-mail":
        server.first_attempt[B] = failure
    recorder = Recorder(monkeypatch)
    with Session(EasyMailer(**server.mailer_args), timeout=0.5, pipelining=False) as session:
        session.send(A, "1", body="x")
        server.refuse_mail = failure == "refuse-mail"
        with pytest.raises(error) as caught:
            session.send(B, "2", body="x")
        server.refuse_mail = False
        session.send(A, "3", body="x")
    if kept is not False:  # the server answered: in step once the transaction is over
        assert recorder.commands(1) == OPENING + MESSAGE + MESSAGE[:1 if failure == "refuse-mail"
                                                                 else 3] + kept + MESSAGE + ["QUIT"]
        assert recorder.connections == 1
        assert session_module.classify(caught.value) == "retry" if "451" in failure else True
    else:  # state unknown: closed without QUIT, the next message on a new one
        assert recorder.commands(1) == OPENING + MESSAGE + MESSAGE
        assert recorder.commands(2) == OPENING + MESSAGE + ["QUIT"]
        assert ("close", 1) in recorder.log
        assert session_module.classify(caught.value) == "unknown"
    assert session.sent == 2
    assert subjects(server) == ["1", "3"]


def test_a_send_from_inside_a_send_is_refused(monkeypatch, smtp_server):
    server = smtp_server("plain")
    session = Session(EasyMailer(**server.mailer_args))
    recorder = Recorder(monkeypatch, {("MAIL", 1): lambda: session.send(A, "inner")})
    with pytest.raises(RuntimeError, match="already using it"):
        session.send(A, "outer")
    assert recorder.commands(1).count("MAIL") == 1
    assert server.messages == []
    session.close()


def test_close_errors(monkeypatch, smtp_server):
    server = smtp_server("plain")
    recorder = Recorder(monkeypatch, {("QUIT", 1): OSError("quit"), ("close", 1): OSError("close"),
                                      ("QUIT", 2): OSError("quit"), ("close", 2): OSError("close")})
    session = Session(EasyMailer(**server.mailer_args))
    with pytest.raises(KeyError):  # the block's error, not close's
        with session:
            raise KeyError("block")
    with pytest.raises(OSError, match="close"):  # quit's error is dropped
        session.__enter__().close()
    session.close()
    assert recorder.log == [("connect", 1), ("EHLO", 1), ("AUTH", 1), ("QUIT", 1), ("close", 1),
                            ("connect", 2), ("EHLO", 2), ("AUTH", 2), ("QUIT", 2), ("close", 2)]


def test_reconnecting_after_421_can_fail(monkeypatch, smtp_server):
    server = smtp_server("plain", busy_after=1)
    recorder = Recorder(monkeypatch, {("connect", 2): ConnectionRefusedError("no more")})
    session = Session(EasyMailer(**server.mailer_args))
    session.send(A, "1", body="x")
    with pytest.raises(ConnectionRefusedError) as caught:
        session.send(A, "2", body="x")
    assert isinstance(caught.value.__context__, smtplib.SMTPSenderRefused)
    del recorder.fail[("connect", 2)]
    session.send(A, "3", body="x")
    assert (session.sent, session.connections) == (2, 2)
    session.close()
    assert subjects(server) == ["1", "3"]


def test_what_the_mailer_hands_over_is_checked(monkeypatch):
    recorder = Recorder(monkeypatch)
    mailer = EasyMailer("mx", 25, "u", "p", use_ssl=False)
    session = Session(mailer)
    mailer.default_sender = None  # as EasyMailer._do_send would refuse it
    with pytest.raises(TypeError, match=r"^Argument 'sender' has incorrect type \(expected str, "
                                        r"got NoneType\)$"):
        session.send(A, "s")
    mailer._collect_recipients = lambda to, cc, bcc: (to,)
    with pytest.raises(TypeError, match=r"^Argument 'recipients' has incorrect type \(expected "
                                        r"list, got tuple\)$"):
        session.send(A, "s", sender="me@example.com")
    assert recorder.log == []  # nothing reached the connection


def test_another_mailer_ends_the_connection(monkeypatch, smtp_server):
    server = smtp_server("plain")
    recorder = Recorder(monkeypatch)
    session = Session(EasyMailer(**server.mailer_args)).__enter__()
    session.__init__(EasyMailer("other", 25, "u", "p", use_ssl=False), 5)
    assert recorder.log == [("connect", 1), ("EHLO", 1), ("AUTH", 1), ("QUIT", 1), ("close", 1)]
    assert repr(session) == "<Session other:25 plain closed, 0 sent>"


def test_repr_of_a_mailer_without_settings():
    mailer = EasyMailer("mx", 25, "u", "p")
    session = Session(mailer)
    del mailer.port
    with pytest.raises(AttributeError, match="port"):
        repr(session)
    assert repr(Session.__new__(Session)) == "<Session, not initialised>"
