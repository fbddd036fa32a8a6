"""Real SMTP servers for the delivery tests.

Every server is an aiosmtpd instance on 127.0.0.1 with a port chosen by the
kernel, run in its own thread by a Controller and stopped at teardown.  Each
one insists on AUTH before MAIL, checks the credentials itself and records
what it was given (``Server.auths`` and ``Server.messages``).

Postfix, the real MTA, is there too (tests/postfix.py): one instance for the
whole run, started by the first test that asks for ``postfix_server`` (or
``postfix_dkim_server``, the one with OpenDKIM as a milter) and stopped at
the end; it delivers into a Maildir that each test finds empty.

Certificates come from trustme.  The client side trusts the test CA through
``SSL_CERT_FILE``: OpenSSL reads that variable whenever a context loads its
default verify paths, so the mailer's own ``ssl.create_default_context()``
(full verification, host name checking) trusts the test CA and nothing in the
product is replaced.  A second CA that the client does not trust signs the
certificate of the "untrusted" variant.
"""

import asyncio
import collections
import contextlib
import dataclasses
import gc
import os
import socket
import ssl
import threading
import warnings

import pytest
import trustme
from aiosmtpd.controller import Controller
from aiosmtpd.smtp import SMTP, AuthResult

import postfix
from oauth_server import check_bearer

# pytester runs the plugin's fixture in a pytest of its own.
pytest_plugins = ["pytester"]

USER = "mailer@example.test"
PASSWORD = "correct horse battery"
MODES = ("ssl", "starttls", "plain")


@dataclasses.dataclass
class Auth:
    mechanism: str
    login: str
    password: str
    accepted: bool
    tls: bool  # whether the credentials travelled over TLS


@dataclasses.dataclass
class Received:
    mail_from: str
    rcpt_tos: list  # accepted envelope recipients, in RCPT order
    data: bytes  # the message as it came in through DATA
    login: str  # the login the session authenticated with (None without AUTH)


class _Handler:
    """Records every transaction; can refuse or hang up at chosen steps."""

    def __init__(self, server):
        self.s = server

    async def handle_EHLO(self, server, session, envelope, hostname, responses):
        session.host_name = hostname  # what aiosmtpd does itself without the hook
        if not self.s.pipelining:
            return responses
        return [*responses[:-1], "250-PIPELINING", responses[-1]]

    async def handle_MAIL(self, server, session, envelope, address, options):
        if self.s.busy_after is not None and \
                getattr(session, "delivered", 0) >= self.s.busy_after:
            # What a provider that caps the messages of a connection answers.
            return "421 4.7.0 Too many messages on this connection, closing"
        if self.s.drop == "MAIL":
            server.transport.abort()
            return "421 closing"
        if self.s.refuse_mail:
            return "553 5.7.1 sender not allowed"
        envelope.mail_from = address
        envelope.mail_options.extend(options)
        return "250 OK"

    async def handle_RCPT(self, server, session, envelope, address, options):
        self.s.rcpt_attempts.append(address)
        self.s.attempts[address] += 1
        if address in self.s.refuse_rcpt:
            return "550 5.1.1 no such user"
        action = self._first_attempt(address)
        if action == "451-rcpt":
            return "451 4.7.1 try again later"
        if action == "421-rcpt":
            return "421 4.7.0 shutting down, closing"
        envelope.rcpt_tos.append(address)
        return "250 OK"

    def _first_attempt(self, address):
        """The first_attempt action for this address, if this is its first transaction."""
        return self.s.first_attempt.get(address) if self.s.attempts[address] == 1 else None

    def _actions(self, envelope):
        return {self._first_attempt(address) for address in envelope.rcpt_tos}

    def data_command_reply(self, envelope):
        """The reply to the DATA command itself, before any text, or None to go on."""
        actions = self._actions(envelope)
        for code in ("421", "451", "554"):
            if f"{code}-data-command" in actions:
                return {"421": "421 4.3.2 shutting down, closing",
                        "451": "451 4.7.1 greylisted, try again later",
                        "554": "554 5.7.1 sender blocked"}[code]
        return None

    async def handle_DATA(self, server, session, envelope):
        actions = self._actions(envelope)
        if self.s.drop == "DATA" or "drop-data" in actions:
            server.transport.abort()
            return "421 closing"
        if "451-data" in actions:
            return "451 4.3.0 local error, try again later"
        if "421-data" in actions:
            return "421 4.3.2 shutting down, closing"
        if "hold-data" in actions:
            self.s.holding.set()
            await asyncio.Event().wait()  # until the client goes away
        if self.s.refuse_data:
            return "554 5.6.0 message rejected"
        login = session.auth_data.login.decode() if session.auth_data else None
        self.s.messages.append(Received(
            envelope.mail_from, list(envelope.rcpt_tos), envelope.original_content, login))
        session.delivered = getattr(session, "delivered", 0) + 1
        return "250 OK"

    async def handle_QUIT(self, server, session, envelope):
        self.s.quits += 1
        return "221 Bye"

    async def auth_XOAUTH2(self, server, args):
        return await check_bearer(server, args, "XOAUTH2", self.s.oauth, self.s.record_bearer)

    async def auth_OAUTHBEARER(self, server, args):
        return await check_bearer(server, args, "OAUTHBEARER", self.s.oauth,
                                  self.s.record_bearer)


class Server:
    """One running server; ``mailer_args`` are the EasyMailer settings for it.

    Records: ``auths`` (every AUTH attempt), ``messages`` (every message accepted),
    ``rcpt_attempts`` (every RCPT address, refused ones included; ``attempts``
    counts them by address), ``connections`` (connections accepted) and
    ``quits`` (QUIT commands).

    ``first_attempt`` maps addresses to what happens to the first transaction
    that names them, the later ones going through: "451-rcpt" or "421-rcpt"
    (the RCPT is answered so), "421-data-command", "451-data-command" or
    "554-data-command" (the DATA command itself is answered so, before any
    text, and the transaction stays open as a server leaves it), "451-data"
    or "421-data" (the text is answered so), "drop-data" (the server hangs up
    instead of answering the text) or "hold-data" (the text is never
    answered, until the client goes away; ``holding`` is set then).  A 421
    reply, whatever its cause, is followed by the server closing the
    connection.
    """

    def __init__(self, mode, tls_context, *, password=PASSWORD,
                 offer_starttls=True, mechanisms=("LOGIN", "PLAIN"),
                 refuse_rcpt=(), refuse_mail=False, refuse_data=False,
                 drop=None, busy_after=None, first_attempt=None, pipelining=False,
                 smtputf8=False, size_limit=None, auth=True, oauth=None):
        self.mode = mode
        self.pipelining = pipelining
        self.oauth = oauth  # a TokenEndpoint: XOAUTH2 and OAUTHBEARER check tokens there
        self.password = password
        self.refuse_rcpt = set(refuse_rcpt)
        self.refuse_mail = refuse_mail
        self.refuse_data = refuse_data
        self.drop = drop
        self.busy_after = busy_after
        self.first_attempt = dict(first_attempt or {})
        self.auths = []
        self.messages = []
        self.rcpt_attempts = []
        self.attempts = collections.Counter()
        self.connections = 0
        self.quits = 0
        self.holding = threading.Event()
        smtp_kwargs = dict(
            auth_required=auth,
            enable_SMTPUTF8=smtputf8,
            # aiosmtpd only counts STARTTLS as TLS; implicit TLS is TLS anyway.
            # Without STARTTLS on offer AUTH is allowed in the clear, so that a
            # client skipping STARTTLS would be seen sending its credentials.
            auth_require_tls=mode == "starttls" and offer_starttls and auth,
            authenticator=self._authenticate if auth else None,
            auth_exclude_mechanism=[m for m in ("LOGIN", "PLAIN", "XOAUTH2", "OAUTHBEARER")
                                    if m not in mechanisms],
        )
        if size_limit is not None:
            smtp_kwargs.update(data_size_limit=size_limit)
        if mode == "starttls" and offer_starttls:
            smtp_kwargs.update(tls_context=tls_context, require_starttls=True)
        self._controller = _Controller(
            _Handler(self), self._connected,
            ssl_context=tls_context if mode == "ssl" else None, **smtp_kwargs)
        self._controller.start()
        self.connections = 0  # accepted after start-up's own probe
        self.host = "127.0.0.1"
        self.port = self._controller.port

    @property
    def mailer_args(self):
        return dict(host=self.host, port=self.port, username=USER,
                    password=PASSWORD, use_ssl=self.mode == "ssl",
                    use_tls=self.mode == "starttls")

    def _connected(self):
        self.connections += 1

    def record_bearer(self, mechanism, user, token, accepted, tls):
        self.auths.append(Auth(mechanism, user, token, accepted, tls))

    def _authenticate(self, server, session, envelope, mechanism, data):
        login, password = data.login.decode(), data.password.decode()
        ok = login == USER and password == self.password
        tls = server.transport.get_extra_info("ssl_object") is not None
        self.auths.append(Auth(mechanism, login, password, ok, tls))
        return AuthResult(success=ok, handled=False, auth_data=data)

    def hang_up(self, reply=None):
        """Close every client connection from the server's side, as an idle
        timeout does, writing the line `reply` first when given (a 421).

        The end of the stream goes out before this returns, right behind the
        reply, so that a client sees it before its next command."""

        async def close_all():
            for protocol in self._controller.protocols:
                transport = protocol.transport
                if transport is None or transport.is_closing():
                    continue
                if reply:
                    transport.write(reply.encode() + b"\r\n")
                transport.get_extra_info("socket").shutdown(socket.SHUT_WR)
                transport.close()

        asyncio.run_coroutine_threadsafe(close_all(), self._controller.loop).result(20)

    def wait_idle(self, timeout=20):
        """Wait until the server has closed every connection and finished
        every session task (logging included).

        Its accepted sockets live in this process too, so a descriptor count
        taken while the server is still tearing a session down would be off.
        """
        server = self._controller.server

        async def settled():
            while server._clients or len(asyncio.all_tasks()) > 1:
                await asyncio.sleep(0.01)

        future = asyncio.run_coroutine_threadsafe(settled(), self._controller.loop)
        try:
            future.result(timeout)
        except TimeoutError:
            future.cancel()
            return False
        return True

    def stop(self):
        c = self._controller
        if c.server is not None:
            c.loop.call_soon_threadsafe(c.server.close)
            c.loop.call_soon_threadsafe(c.server.abort_clients)
        c.stop()


class _SMTP(SMTP):
    """aiosmtpd's protocol, with the DATA command answered before any text
    when the handler says so (greylisting and milters do it), and the
    connection closed after every 421 reply, as a server that says it is
    closing does."""

    async def smtp_DATA(self, arg):
        reply = None
        if self.envelope is not None and self.envelope.rcpt_tos:
            reply = self.event_handler.data_command_reply(self.envelope)
        if reply is None:
            await super().smtp_DATA(arg)
        else:
            await self.push(reply)

    async def push(self, status):
        await super().push(status)
        if status[:3] in ("421", b"421") and self.transport is not None:
            self.transport.close()


class _Controller(Controller):
    """A Controller on a port chosen by the kernel."""

    def __init__(self, handler, on_connect, **kwargs):
        super().__init__(handler, hostname="127.0.0.1", port=0,
                         server_hostname="localhost", **kwargs)
        self._on_connect = on_connect
        self.protocols = []

    def factory(self):  # called once for every connection accepted
        self._on_connect()
        protocol = _SMTP(self.handler, loop=self.loop, **self.SMTP_kwargs)
        self.protocols.append(protocol)
        return protocol

    def _trigger_server(self):
        # Bound to port 0: learn the real port before the first connection.
        self.port = self.server.sockets[0].getsockname()[1]
        super()._trigger_server()


def pytest_configure(config):
    # The plain-text server asks for AUTH without TLS on purpose.
    config.addinivalue_line(
        "filterwarnings",
        "ignore:Requiring AUTH while not requiring TLS:UserWarning")


# --- certificates and client trust -----------------------------------------

@pytest.fixture(scope="session")
def test_ca():
    return trustme.CA()


@pytest.fixture(scope="session", autouse=True)
def trust_test_ca(test_ca, tmp_path_factory):
    """Make ``ssl.create_default_context()`` trust the test CA, for the session.

    SSL_CERT_FILE replaces the default CA bundle for every default context the
    process creates from now on; verification and host name checks stay on.
    """
    path = tmp_path_factory.mktemp("ca") / "test-ca.pem"
    test_ca.cert_pem.write_to_path(str(path))
    with pytest.MonkeyPatch.context() as mp:
        mp.setenv("SSL_CERT_FILE", str(path))
        mp.delenv("SSL_CERT_DIR", raising=False)
        yield path


def _server_context(ca, *names):
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ca.issue_cert(*names).configure_cert(ctx)
    return ctx


@pytest.fixture(scope="session")
def server_contexts(test_ca):
    return {
        "good": _server_context(test_ca, "127.0.0.1", "localhost"),
        "untrusted": _server_context(trustme.CA(), "127.0.0.1", "localhost"),
        "wrong-host": _server_context(test_ca, "mail.example.test"),
    }


# --- servers ----------------------------------------------------------------

@pytest.fixture
def smtp_server(server_contexts):
    """Factory: ``smtp_server(mode, cert="good", **variant)`` starts a server.

    mode is "ssl" (implicit TLS), "starttls" or "plain".  Variants:
    pipelining=True (EHLO offers PIPELINING), smtputf8=True (and SMTPUTF8),
    size_limit=n (SIZE n, refused at MAIL beyond), auth=False (no AUTH asked),
    password= (the one the server accepts), offer_starttls=False,
    mechanisms=("LOGIN",), refuse_rcpt={addr, ...}, refuse_mail=True,
    refuse_data=True, drop="MAIL" or "DATA" (hang up instead of answering),
    busy_after=k (answer MAIL with 421 once a connection has carried k
    messages), first_attempt={addr: action} (see Server).
    Every server started is stopped at teardown.
    """
    started = []

    def start(mode, cert="good", **variant):
        server = Server(mode, server_contexts[cert], **variant)
        started.append(server)
        return server

    yield start
    for server in reversed(started):
        server.stop()


def _postfix_instance(test_ca, **options):
    if reason := postfix.available(**options):
        pytest.skip(reason)
    instance = postfix.Postfix(test_ca, USER, PASSWORD, **options)
    yield instance
    instance.stop()


@pytest.fixture(scope="session")
def postfix_instance(test_ca):
    """Postfix, the real MTA, started once for the test run (tests/postfix.py)."""
    yield from _postfix_instance(test_ca)


@pytest.fixture(scope="session")
def postfix_dkim_instance(test_ca):
    """A second Postfix, with OpenDKIM verifying every message as a milter."""
    yield from _postfix_instance(test_ca, dkim=True)


@pytest.fixture
def postfix_server(postfix_instance):
    """The run's Postfix, its mailbox emptied for this test.

    ``mailer_args(mode)`` gives the EasyMailer settings of a mode's port;
    ``wait_for(n)`` returns the deliveries once n arrived and the queue is
    empty, each with ``sent`` (the client's bytes), ``sender``,
    ``recipient`` and ``queue_id``."""
    postfix_instance.clear()
    return postfix_instance


@pytest.fixture
def postfix_dkim_server(postfix_dkim_instance):
    """The Postfix with OpenDKIM, its mailbox emptied; ``dkim`` holds the
    signer's key, each delivery's ``dkim`` OpenDKIM's verdict."""
    postfix_dkim_instance.clear()
    return postfix_dkim_instance


@pytest.fixture(params=MODES)
def server(request, smtp_server):
    """A well-behaved server, once per encryption mode."""
    return smtp_server(request.param)


def _fds():
    fds = {}
    for name in os.listdir("/proc/self/fd"):
        with contextlib.suppress(FileNotFoundError):
            fds[name] = os.readlink(f"/proc/self/fd/{name}")
    return fds


@pytest.fixture
def no_leaks():
    """Context manager: ``with no_leaks(server): ...`` checks the block leaves
    no descriptor open (client or server side) and raises no ResourceWarning.
    """

    @contextlib.contextmanager
    def check(server):
        assert server.wait_idle(), "server never became idle"
        gc.collect()
        before = _fds()
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always", ResourceWarning)
            yield
            gc.collect()
        assert server.wait_idle(), "a connection to the server is still open"
        after = _fds()
        assert {k: v for k, v in after.items() if before.get(k) != v} == {}
        assert [str(w.message) for w in caught if w.category is ResourceWarning] == []

    return check


# --- DKIM keys ----------------------------------------------------------------

DKIM_DOMAIN, DKIM_SELECTOR = "example.test", "mail2026"


@pytest.fixture(scope="session")
def keys():
    """A PEM private key for each DKIM algorithm, made once for the run."""
    from cryptography.hazmat.primitives import serialization
    from cryptography.hazmat.primitives.asymmetric import ed25519, rsa

    def pem(key):
        return key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                 serialization.NoEncryption())

    return {"rsa-sha256": pem(rsa.generate_private_key(public_exponent=65537, key_size=2048)),
            "ed25519-sha256": pem(ed25519.Ed25519PrivateKey.generate())}

