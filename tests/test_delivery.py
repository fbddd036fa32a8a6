"""Delivery over SMTP: the order of library calls (with recording fakes, since
the order is the point), then every way a real server can fail the delivery.
"""

import smtplib
import ssl
import sys
import types

import pytest

import vantrel.mailer as mailer_module
from vantrel.mailer import EasyMailer

A, B = "ann@example.com", "bob@example.org"
SENDER = "sender@example.com"
WATCHED = {"host", "port", "username", "password", "use_ssl", "use_tls"}


class Boom(Exception):
    pass


class Watched(EasyMailer):
    """Logs every read of the settings that delivery uses."""

    log = None

    def __getattribute__(self, name):
        log = object.__getattribute__(self, "log")
        if log is not None and name in WATCHED:
            log.append(("read", name))
        return object.__getattribute__(self, name)


@pytest.fixture
def fake(monkeypatch):
    """Rebinds the module's ``smtplib`` and ``ssl`` to recording fakes;
    ``fake.msg`` is a message whose ``as_string`` is recorded as well.

    ``fake.fail`` names a call that raises ``fake.error``; ``fake.refused`` is
    what sendmail returns; ``fake.exit_result`` what ``__exit__`` returns.
    """
    f = types.SimpleNamespace(log=[], ctx=object(), fail=None, error=Boom("x"),
                              refused={}, exit_result=None)

    def record(name, *args, **kwargs):
        f.log.append((name, args, kwargs))
        if f.fail == name:
            raise f.error

    class Session:  # what __enter__ returns; not the connection object itself
        def starttls(self, *args, **kwargs):
            record("starttls", *args, **kwargs)

        def login(self, *args, **kwargs):
            record("login", *args, **kwargs)

        def sendmail(self, *args, **kwargs):
            record("sendmail", *args, **kwargs)
            return f.refused

    class Connection:
        def __init__(self, kind, args, kwargs):
            record(kind, *args, **kwargs)

        def __enter__(self):
            record("__enter__")
            return Session()

        def __exit__(self, kind, value, tb):
            record("__exit__", kind, value)
            return f.exit_result

    def create_default_context(*args, **kwargs):
        record("create_default_context", *args, **kwargs)
        return f.ctx

    class Message:
        def as_string(self, *args, **kwargs):
            record("as_string", *args, **kwargs)
            return "TEXT"

    f.msg = Message()
    monkeypatch.setattr(mailer_module, "ssl", types.SimpleNamespace(
        create_default_context=create_default_context))
    monkeypatch.setattr(mailer_module, "smtplib", types.SimpleNamespace(
        SMTP=lambda *a, **k: Connection("SMTP", a, k),
        SMTP_SSL=lambda *a, **k: Connection("SMTP_SSL", a, k),
        SMTPRecipientsRefused=smtplib.SMTPRecipientsRefused))
    return f


def expected_calls(f, use_ssl, use_tls, recipients, fail=None):
    calls = [("create_default_context", (), {}), ("read", "use_ssl"),
             ("read", "host"), ("read", "port")]
    if use_ssl:
        calls += [("SMTP_SSL", ("mx.example.com", 2525), {"context": f.ctx}),
                  ("__enter__", (), {})]
    else:
        calls += [("SMTP", ("mx.example.com", 2525), {}), ("__enter__", (), {}),
                  ("read", "use_tls")]
        if use_tls:
            calls.append(("starttls", (), {"context": f.ctx}))
    calls += [("read", "username"), ("read", "password"),
              ("login", ("user", "pw"), {}), ("as_string", (), {}),
              ("sendmail", (SENDER, recipients, "TEXT"), {})]
    if fail:
        cut = next(i for i, c in enumerate(calls) if c[0] == fail) + 1
        calls = calls[:cut]
        if "__enter__" in [c[0] for c in calls]:
            calls.append(("__exit__", (Boom, f.error), {}))
        return calls
    return calls + [("__exit__", (None, None), {})]


def watched(f, use_ssl, use_tls):
    m = Watched("mx.example.com", 2525, "user", "pw", use_ssl=use_ssl)
    m.use_tls = use_tls  # both true is possible by changing it afterwards
    m.log = f.log
    return m


MODES = [(True, False), (True, True), (False, True), (False, False)]


@pytest.mark.parametrize("use_ssl, use_tls", MODES)
@pytest.mark.parametrize("recipients", [[A, B], []])
def test_call_sequence(fake, use_ssl, use_tls, recipients):
    m = watched(fake, use_ssl, use_tls)
    assert m._do_send(fake.msg, recipients, SENDER) is None
    assert fake.log == expected_calls(fake, use_ssl, use_tls, recipients)
    assert fake.log[-2][1][1] is recipients


def failure_points():
    for use_ssl, use_tls in MODES:
        for fail in ["create_default_context", "connect", "starttls", "login",
                     "as_string", "sendmail"]:
            if fail == "starttls" and (use_ssl or not use_tls):
                continue  # no STARTTLS on this road
            if fail == "connect":
                fail = "SMTP_SSL" if use_ssl else "SMTP"
            yield pytest.param(use_ssl, use_tls, fail, id=f"{fail}-{use_ssl}-{use_tls}")


@pytest.mark.parametrize("use_ssl, use_tls, fail", list(failure_points()))
def test_failure_leaves_the_connection_and_propagates(fake, use_ssl, use_tls, fail):
    fake.fail = fail
    m = watched(fake, use_ssl, use_tls)
    with pytest.raises(Boom) as info:
        m._do_send(fake.msg, [A], SENDER)
    assert info.value is fake.error
    assert fake.log == expected_calls(fake, use_ssl, use_tls, [A], fail=fail)


def test_exit_may_suppress_the_failure(fake):
    fake.fail, fake.exit_result = "login", True
    m = watched(fake, False, False)
    assert m._do_send(fake.msg, [A], SENDER) is None
    assert [c[0] for c in fake.log][-2:] == ["login", "__exit__"]


@pytest.mark.parametrize("use_ssl", [True, False])
def test_partial_refusal_raises_after_the_session_ended(fake, use_ssl):
    fake.refused = {B: (550, b"5.1.1 no such user")}
    m = watched(fake, use_ssl, False)
    with pytest.raises(smtplib.SMTPRecipientsRefused) as info:
        m._do_send(fake.msg, [A, B], SENDER)
    assert info.value.recipients == fake.refused
    assert fake.log[-1] == ("__exit__", (None, None), {})
    [note] = info.value.__notes__
    assert "accepted" in note and "other recipients" in note


@pytest.mark.parametrize("result", [None, {}, object(), ["x"], "refused"])
def test_only_a_dict_of_refusals_is_a_refusal(fake, result):
    # A stand-in connection (a mock, say) may return anything from sendmail.
    fake.refused = result
    assert watched(fake, False, False)._do_send(fake.msg, [A], SENDER) is None


@pytest.mark.parametrize("recipients, sender, text", [
    ((A,), SENDER, "Argument 'recipients' has incorrect type (expected list, got tuple)"),
    ([A], None, "Argument 'sender' has incorrect type (expected str, got NoneType)"),
])
def test_bad_arguments_open_nothing(fake, recipients, sender, text):
    m = watched(fake, True, False)
    with pytest.raises(TypeError) as info:
        m._do_send(fake.msg, recipients, sender)
    assert info.value.args == (text,)
    assert fake.log == []


# --- against a real server -----------------------------------------------------

def deliver(server, **settings):
    m = EasyMailer(**{**server.mailer_args, **settings})
    m.send([A, B], "Hello", body="Hi there.", sender=SENDER)


@pytest.mark.parametrize("mode", ["ssl", "starttls", "plain"])
@pytest.mark.parametrize("mechanism", ["PLAIN", "LOGIN"])
def test_delivers_after_login(smtp_server, no_leaks, mode, mechanism):
    server = smtp_server(mode, mechanisms=(mechanism,))
    m = EasyMailer(**{**server.mailer_args, "password": "stale"})
    m.password = server.mailer_args["password"]  # read at delivery, not before
    with no_leaks(server):
        assert m.send([A, B], "Hello", body="Hi.", sender=SENDER) is None
    [auth] = server.auths
    assert (auth.mechanism, auth.login, auth.accepted) == (mechanism, m.username, True)
    assert auth.tls == (mode != "plain")
    [got] = server.messages
    assert (got.mail_from, got.rcpt_tos, got.login) == (SENDER, [A, B], m.username)
    assert server.connections == 1


ALL = ["ssl", "starttls", "plain"]
TLS = ["ssl", "starttls"]
FAILURES = [
    # id, server modes, server variant, mailer settings, expected exception
    ("wrong-password", ALL, dict(password="other"), {}, smtplib.SMTPAuthenticationError),
    ("starttls-not-offered", ["starttls"], dict(offer_starttls=False), {},
     smtplib.SMTPNotSupportedError),
    ("auth-only-after-tls", ["starttls"], {}, dict(use_tls=False),
     smtplib.SMTPNotSupportedError),
    ("untrusted-ca", TLS, dict(cert="untrusted"), {}, ssl.SSLCertVerificationError),
    ("wrong-host", TLS, dict(cert="wrong-host"), {}, ssl.SSLCertVerificationError),
    ("mail-refused", ALL, dict(refuse_mail=True), {}, smtplib.SMTPSenderRefused),
    ("all-refused", ALL, dict(refuse_rcpt={A, B}), {}, smtplib.SMTPRecipientsRefused),
    ("data-refused", ALL, dict(refuse_data=True), {}, smtplib.SMTPDataError),
    ("drop-at-mail", ALL, dict(drop="MAIL"), {}, smtplib.SMTPServerDisconnected),
    ("drop-at-data", ALL, dict(drop="DATA"), {}, smtplib.SMTPServerDisconnected),
]


@pytest.mark.parametrize("mode, variant, settings, error", [
    pytest.param(mode, variant, settings, error, id=f"{name}-{mode}")
    for name, modes, variant, settings, error in FAILURES for mode in modes
])
def test_failure_reaches_the_caller(smtp_server, no_leaks, mode, variant, settings, error):
    server = smtp_server(mode, **variant)
    with no_leaks(server):
        with pytest.raises(error) as info:
            deliver(server, **settings)
    assert type(info.value) is error
    assert server.connections == 1  # nothing retried
    if error in (smtplib.SMTPNotSupportedError, ssl.SSLCertVerificationError):
        assert server.auths == []  # no credentials sent
    if error is smtplib.SMTPAuthenticationError:
        assert server.auths and not any(a.accepted for a in server.auths)
        assert server.rcpt_attempts == []
    if error is smtplib.SMTPRecipientsRefused:
        assert set(info.value.recipients) == {A, B}
    assert server.messages == []


@pytest.mark.parametrize("mode", ALL)
def test_partial_refusal(smtp_server, no_leaks, mode):
    server = smtp_server(mode, refuse_rcpt={B})
    with no_leaks(server):
        with pytest.raises(smtplib.SMTPRecipientsRefused) as info:
            deliver(server)
    assert info.value.recipients == {B: (550, b"5.1.1 no such user")}
    assert any("accepted" in note for note in info.value.__notes__)
    [got] = server.messages
    assert got.rcpt_tos == [A]
    assert server.connections == 1


def test_exit_runs_while_the_failure_is_handled(monkeypatch):
    """__exit__ sees the pending failure as the one being handled, and an error
    it raises chains through its own handlers back to that failure."""
    seen = []

    class Connection:
        def __enter__(self):
            return self

        def __exit__(self, exc_type, exc, tb):
            seen.append(sys.exception())
            try:
                raise KeyError("inside __exit__")
            except KeyError:
                raise ValueError("from __exit__")

        def login(self, username, password):
            raise RuntimeError("login failed")

    fake = types.SimpleNamespace(SMTP=lambda host, port: Connection(),
                                 SMTPRecipientsRefused=smtplib.SMTPRecipientsRefused)
    monkeypatch.setattr(mailer_module, "smtplib", fake)
    mailer = EasyMailer("h", 25, "u", "p", use_ssl=False)
    with pytest.raises(ValueError) as info:
        mailer._do_send(None, [], "s")
    assert isinstance(seen[0], RuntimeError)
    assert isinstance(info.value.__context__, KeyError)
    assert isinstance(info.value.__context__.__context__, RuntimeError)
    assert sys.exception() is None


class _TruthFails:
    def __bool__(self):
        raise Boom("__bool__")


def _exiting_with(result):
    """The real smtplib, with an SMTP whose __exit__ ends the session as
    usual and then returns `result`."""

    class SMTP(smtplib.SMTP):
        def __exit__(self, *exc):
            super().__exit__(*exc)
            return result

    return types.SimpleNamespace(SMTP=SMTP, SMTPRecipientsRefused=smtplib.SMTPRecipientsRefused)


def test_what_exit_returns_after_a_delivery_is_not_looked_at(smtp_server, no_leaks, monkeypatch):
    # The statement ignores it: a delivered message must not turn into an
    # exception that makes a caller send it again.
    server = smtp_server("plain")
    monkeypatch.setattr(mailer_module, "smtplib", _exiting_with(_TruthFails()))
    with no_leaks(server):
        assert EasyMailer(**server.mailer_args).send(A, "Hello", body="Hi.") is None
    assert len(server.messages) == 1


def test_a_failing_truth_test_of_exit_chains_to_the_failure(smtp_server, monkeypatch):
    server = smtp_server("plain", password="other")
    monkeypatch.setattr(mailer_module, "smtplib", _exiting_with(_TruthFails()))
    with pytest.raises(Boom, match="^__bool__$") as info:
        EasyMailer(**server.mailer_args).send(A, "Hello", body="Hi.")
    assert type(info.value.__context__) is smtplib.SMTPAuthenticationError
    assert sys.exception() is None
    assert server.messages == []


def test_a_generator_keeps_its_own_handled_exception(smtp_server, monkeypatch):
    """A generator that delivers while its caller handles an exception must
    not keep the caller's exception in its own state."""
    server = smtp_server("plain", password="other")
    monkeypatch.setattr(mailer_module, "smtplib", _exiting_with(True))  # suppresses the refusal
    mailer = EasyMailer(**server.mailer_args)

    def steps():
        assert mailer.send(A, "Hello", body="Hi.") is None
        yield sys.exception()
        yield sys.exception()
        try:
            raise
        except RuntimeError as error:
            yield str(error)
        try:
            raise ValueError("later")
        except ValueError as error:
            yield error.__context__

    callers = KeyError("the caller's")
    try:
        raise callers
    except KeyError:
        generator = steps()
        assert next(generator) is callers  # seen from the generator while the caller handles it
    assert next(generator) is None
    assert next(generator) == "No active exception to reraise"
    assert next(generator) is None
    assert server.messages == []


# --- how the connection's __enter__ and __exit__ are found and called ---------


class _Connection:
    """login and sendmail succeed; __enter__ and __exit__ come from the case."""

    def login(self, username, password):
        pass

    def sendmail(self, sender, recipients, text):
        return {}


class _NoDescriptor:
    """Callable but no descriptor: found on the type, it is called without self."""

    def __init__(self, log, name):
        self.log, self.name = log, name

    def __call__(self, *args):
        self.log.append((self.name, args))
        return None if self.name == "__exit__" else _Connection()


def _connection_class(kind, log):
    def method(name):
        def record(*args):
            log.append((name, tuple("self" if isinstance(a, _Connection) else a for a in args)))
            return None if name == "__exit__" else _Connection()

        return record

    def cls_method(name):
        return classmethod(lambda cls, *args: method(name)("cls", *args))

    members = {
        "function": lambda name: method(name),
        "staticmethod": lambda name: staticmethod(method(name)),
        "classmethod": cls_method,
        "callable object": lambda name: _NoDescriptor(log, name),
    }
    if kind == "inherited":
        base = type("Base", (_Connection,), {n: method(n) for n in ("__enter__", "__exit__")})
        return type("Inherited", (base,), {})
    make = members[kind]
    return type(kind, (_Connection,), {n: make(n) for n in ("__enter__", "__exit__")})


@pytest.mark.parametrize("kind", ["function", "staticmethod", "classmethod", "callable object", "inherited"])
def test_connection_special_methods_bind_like_the_with_statement(monkeypatch, kind):
    expected, got = [], []
    with _connection_class(kind, expected)():
        pass
    cls = _connection_class(kind, got)
    monkeypatch.setattr(mailer_module, "smtplib", types.SimpleNamespace(SMTP=lambda host, port: cls()))
    EasyMailer("h", 25, "u", "p", use_ssl=False).send(A, "s", "b")
    assert got == expected


class _EnterOnInstance(_Connection):
    def __init__(self):
        self.__enter__ = lambda: self

    def __exit__(self, *exc):
        pass


class _ExitOnInstance(_Connection):
    def __init__(self):
        self.__exit__ = lambda *exc: None

    def __enter__(self):
        return self


class _Asynchronous(_Connection):
    async def __aenter__(self):
        return self

    async def __aexit__(self, *exc):
        pass


@pytest.mark.parametrize("cls", [object, _EnterOnInstance, _ExitOnInstance, _Asynchronous])
def test_special_methods_on_the_instance_are_not_used(monkeypatch, cls):
    monkeypatch.setattr(mailer_module, "smtplib", types.SimpleNamespace(SMTP=lambda host, port: cls()))
    with pytest.raises(TypeError) as info:
        EasyMailer("h", 25, "u", "p", use_ssl=False).send(A, "s", "b")
    with pytest.raises(TypeError) as statement:
        with cls():
            pass
    assert str(info.value) == str(statement.value)
    assert "(missed __" in str(info.value)


def test_mock_connection_records_the_call_shapes(monkeypatch):
    from unittest import mock

    smtp = mock.MagicMock()
    connection = smtp.return_value
    connection.__enter__.return_value.sendmail.return_value = {}
    monkeypatch.setattr(mailer_module, "smtplib", types.SimpleNamespace(SMTP=smtp))
    EasyMailer("h", 25, "u", "p", use_ssl=False).send(A, "s", "b")
    assert connection.__enter__.call_args_list == [mock.call()]
    assert connection.__exit__.call_args_list == [mock.call(None, None, None)]
