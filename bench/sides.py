"""The sides of the many-message rows: vantrel's sessions and the programs
they are measured against, each over connections it holds for a whole run.

A side is made for one running server (its mode and port) and has three
steps, each returning the seconds it took: open() (connect, TLS, login),
send(first, n) (messages first .. first + n - 1) and close().  A Contender
is a kind of side with the name the notes give it, and says why it cannot
be measured yet while the vantrel feature it needs is not there.
"""

import asyncio
import importlib.util
import random
import smtplib
import socket
import ssl
import time
from collections.abc import Callable
from dataclasses import dataclass, field

import baseline

from vantrel.mailer import EasyMailer
from vantrel.session import Session

TO = "a@example.com"
USER, PASSWORD = "bench@example.com", "secret"


@dataclass(frozen=True)
class Letter:
    """What every message of a row holds; message i differs by its subject alone.
    Attachments are in send's in-memory form (dicts with content_type)."""

    body: str
    html: str | None = None
    attachments: tuple = ()

    def subject(self, i):
        return f"Order {i}"

    def send_arguments(self, i):
        """Message i as keyword arguments of Session.send (and of send_many's items)."""
        arguments = dict(to=TO, subject=self.subject(i), body=self.body)
        if self.html:
            arguments["html"] = self.html
        if self.attachments:
            arguments["attachments"] = list(self.attachments)
        return arguments

    def email(self, i):
        """Message i built with the email package, as EasyMailer builds it."""
        return baseline.build_message(USER, TO, self.subject(i), self.body, self.html, None, None,
                                      None, list(self.attachments), None)

    def django(self, i, connection):
        from django.core.mail import EmailMultiAlternatives

        message = EmailMultiAlternatives(self.subject(i), self.body, USER, [TO],
                                         connection=connection)
        if self.html:
            message.attach_alternative(self.html, "text/html")
        for item in self.attachments:
            message.attach(item["filename"], item["data"], item["content_type"])
        return message


SMALL = Letter(body="Hello,\n\nyour order has shipped.\n")

# What a shop sends: a text and an HTML part and a 50 KB PDF made in memory,
# about 75 KB on the wire.
REALISTIC = Letter(
    body="Hello Ada,\n\nthank you for your order. Your invoice is attached; the parcel "
         "leaves our warehouse today.\n\n" + "- 1 x item, 12.00 EUR\n" * 40 + "\nKind regards\n",
    html="<html><body><p>Hello Ada,</p><p>thank you for your order. Your invoice is "
         "attached; the parcel leaves our warehouse <b>today</b>.</p><table>"
         + "<tr><td>1 x item</td><td>12.00 EUR</td></tr>\n" * 40
         + "</table><p>Kind regards</p></body></html>\n",
    attachments=({"filename": "invoice.pdf", "data": random.Random(2).randbytes(50 * 1024),
                  "content_type": "application/pdf"},),
)


@dataclass(frozen=True)
class Server:
    """A running benchmark server: its encryption mode, the port to use and
    its process (for smtp_server.accepted_turns)."""

    mode: str
    port: int
    process: object


class Side:
    """One side of a many-message row (see the module's docstring)."""

    def __init__(self, open_, send, close):
        self._open, self._send, self._close = open_, send, close

    def _timed(self, step, *args):
        start = time.perf_counter()
        step(*args)
        return time.perf_counter() - start

    def open(self):
        return self._timed(self._open)

    def send(self, first, n):
        return self._timed(self._send, first, n)

    def close(self):
        return self._timed(self._close)


def available():
    return None


@dataclass(frozen=True)
class Contender:
    label: str
    make: Callable[[Server], Side]
    # None when it can be measured, else why not (shown in the table).
    missing: Callable[[], str | None] = field(default=available)


def nothing():
    pass


def async_side(open_, send, close):
    """A Side whose steps are coroutine functions, run on an event loop of
    its own that lives from open() to close()."""
    loops = []

    def run(step, *args):
        return loops[0].run_until_complete(step(*args))

    def open_loop():
        loops.append(asyncio.new_event_loop())
        run(open_)

    def close_loop():
        try:
            run(close)
        finally:
            loops.pop().close()

    return Side(open_loop, lambda first, n: run(send, first, n), close_loop)


def mode_args(mode):
    return dict(use_ssl=mode == "ssl", use_tls=mode == "starttls")


def mailer_for(server):
    return EasyMailer("127.0.0.1", server.port, USER, PASSWORD, **mode_args(server.mode))


def missing_attribute(owner, name, where):
    return lambda: None if hasattr(owner, name) else f"{where} has no {name} yet"


def missing_module(name):
    return lambda: None if importlib.util.find_spec(name) else f"there is no {name} module yet"


# ---------------------------------------------------------------------------
# vantrel


def session_contender(label, send_batch, options=dict, missing=available):
    """One Session held for the run; send_batch(session, first, n) sends the
    messages; options() gives further keyword arguments of Session(...)."""

    def make(server):
        mailer = mailer_for(server)
        held = []

        def open_():
            held.append(Session(mailer, **options()).__enter__())

        def close():
            held.pop().close()

        return Side(open_, lambda first, n: send_batch(held[0], first, n), close)

    return Contender(label, make, missing)


def session_send(letter, label="Session.send", **contender):
    """Session.send in a loop."""

    def send_batch(session, first, n):
        for i in range(first, first + n):
            session.send(**letter.send_arguments(i))

    return session_contender(label, send_batch, **contender)


def session_send_many(letter):
    """One Session.send_many call for each batch; a message refused stops the row."""

    def send_batch(session, first, n):
        results = session.send_many(letter.send_arguments(i) for i in range(first, first + n))
        for result in results:
            if result is not None:
                raise result

    return session_contender("Session.send_many", send_batch,
                             missing=missing_attribute(Session, "send_many", "Session"))


def private_key(algorithm):
    """A new signing key for `algorithm`, as PEM bytes (PKCS #8)."""
    from cryptography.hazmat.primitives import serialization
    from cryptography.hazmat.primitives.asymmetric import ed25519, rsa

    if algorithm == "rsa-sha256":
        key = rsa.generate_private_key(public_exponent=65537, key_size=2048)
    else:
        key = ed25519.Ed25519PrivateKey.generate()
    return key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                             serialization.NoEncryption())


def signed_session_send(letter, algorithm):
    """Session.send in a loop, every message DKIM-signed with a key made for the run."""

    made = []

    def options():
        # One key for the run, as a sender loads its key once: making a
        # 2048-bit RSA key takes longer than a run's messages.
        from vantrel.dkim import Signer

        if not made:
            made.append(Signer("example.com", "bench", private_key(algorithm),
                               algorithm=algorithm))
        return {"dkim": made[0]}

    return session_send(letter, f"Session.send, DKIM {algorithm}", options=options,
                        missing=missing_module("vantrel.dkim"))


def async_session(letter, connections=1):
    """One AsyncSession held for the run; each batch's sends awaited at once."""

    def make(server):
        from vantrel.aio import AsyncSession

        mailer = mailer_for(server)
        held = []

        async def open_():
            held.append(await AsyncSession(mailer, connections=connections).__aenter__())

        async def send(first, n):
            session = held[0]
            await asyncio.gather(*(session.send(**letter.send_arguments(i))
                                   for i in range(first, first + n)))

        async def close():
            await held.pop().aclose()

        return async_side(open_, send, close)

    return Contender(f"AsyncSession(connections={connections})", make,
                     missing_module("vantrel.aio"))


def mailer_send(letter):
    """EasyMailer.send for every message: a connection, TLS and login each."""

    def make(server):
        mailer = mailer_for(server)

        def send(first, n):
            for i in range(first, first + n):
                mailer.send(**letter.send_arguments(i))

        return Side(nothing, send, nothing)

    return Contender("EasyMailer.send", make)


# ---------------------------------------------------------------------------
# The programs vantrel is measured against


def aiosmtplib_clients(letter, connections=1):
    """aiosmtplib: `connections` SMTP clients, each sending its share of a
    batch one message after the other (send_message), all at once."""

    def make(server):
        import aiosmtplib

        clients = []

        async def open_():
            clients[:] = [aiosmtplib.SMTP(hostname="127.0.0.1", port=server.port,
                                          username=USER, password=PASSWORD,
                                          use_tls=server.mode == "ssl",
                                          start_tls=server.mode == "starttls")
                          for _ in range(connections)]
            await asyncio.gather(*(client.connect() for client in clients))

        async def send(first, n):
            async def share(k, client):
                for i in range(first + k, first + n, connections):
                    await client.send_message(letter.email(i))

            await asyncio.gather(*(share(k, client) for k, client in enumerate(clients)))

        async def close():
            await asyncio.gather(*(client.quit() for client in clients))
            clients.clear()

        return async_side(open_, send, close)

    return Contender("aiosmtplib" if connections == 1 else f"{connections} aiosmtplib clients",
                     make)


def configure_django():
    import django
    from django.conf import settings

    if not settings.configured:
        settings.configure(EMAIL_BACKEND="django.core.mail.backends.smtp.EmailBackend",
                           DEFAULT_CHARSET="utf-8")
        django.setup()
    return django.get_version()


def django_connection(letter):
    """Django's get_connection().send_messages(), one call for each batch."""

    def make(server):
        configure_django()
        from django.core.mail import get_connection

        held = []

        def open_():
            connection = get_connection("django.core.mail.backends.smtp.EmailBackend",
                                        host="127.0.0.1", port=server.port, username=USER,
                                        password=PASSWORD, **mode_args(server.mode))
            connection.open()
            held.append(connection)

        def send(first, n):
            connection = held[0]
            sent = connection.send_messages([letter.django(i, connection)
                                             for i in range(first, first + n)])
            if sent != n:
                raise RuntimeError(f"Django sent {sent} of {n} messages")

        def close():
            held.pop().close()

        return Side(open_, send, close)

    return Contender("Django", make)


def smtplib_nodelay(letter):
    """smtplib over one connection with TCP_NODELAY set on its socket, the
    messages from the email package: what a session without Nagle's stall
    costs when it sends through smtplib."""

    def make(server):
        held = []

        def open_():
            context = ssl.create_default_context()
            if server.mode == "ssl":
                connection = smtplib.SMTP_SSL("127.0.0.1", server.port, context=context)
            else:
                connection = smtplib.SMTP("127.0.0.1", server.port)
            connection.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            if server.mode == "starttls":
                connection.starttls(context=context)
            connection.login(USER, PASSWORD)
            held.append(connection)

        def send(first, n):
            for i in range(first, first + n):
                held[0].sendmail(USER, [TO], letter.email(i).as_string())

        def close():
            held.pop().quit()

        return Side(open_, send, close)

    return Contender("smtplib with TCP_NODELAY", make)
