"""A local SMTP server for the delivery benchmarks, run as its own process.

Plain SMTP with AUTH (PLAIN and LOGIN) offered without TLS; every login and
every message is accepted and the message is dropped.  Prints the port it
listens on, then serves until its standard input is closed.  running() starts
it from another program.

    smtp_server.py [--reply-delay MS]

--reply-delay answers MAIL, RCPT and the end of each message only after that
many milliseconds, as a server across a network would.
"""

import argparse
import asyncio
import contextlib
import logging
import socket
import subprocess
import sys
import warnings

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult


class Sink:
    async def handle_DATA(self, server, session, envelope):
        return "250 Message accepted for delivery"


class SlowSink(Sink):
    """A sink that answers MAIL, RCPT and each message after `delay` seconds."""

    def __init__(self, delay):
        self.delay = delay

    async def handle_MAIL(self, server, session, envelope, address, options):
        await asyncio.sleep(self.delay)
        envelope.mail_from = address
        envelope.mail_options.extend(options)
        return "250 OK"

    async def handle_RCPT(self, server, session, envelope, address, options):
        await asyncio.sleep(self.delay)
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        await asyncio.sleep(self.delay)
        return await super().handle_DATA(server, session, envelope)


def accept_any(server, session, envelope, mechanism, auth_data):
    return AuthResult(success=True)


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


@contextlib.contextmanager
def running(reply_delay=0):
    """This server in a process of its own: yields the process, with the
    port it listens on as `port`."""
    process = subprocess.Popen(
        [sys.executable, "-P", __file__, "--reply-delay", str(reply_delay)],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        process.port = int(process.stdout.readline())
        yield process
    finally:
        process.stdin.close()
        process.stdout.close()
        process.wait(timeout=30)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--reply-delay", type=float, default=0, metavar="MS",
                        help="milliseconds before answering MAIL, RCPT and each message (0)")
    options = parser.parse_args()
    # Quiet: aiosmtpd warns about AUTH without TLS at start-up, and about its
    # own deprecated attributes on every login.
    logging.getLogger("mail.log").setLevel(logging.ERROR)
    warnings.simplefilter("ignore")
    controller = Controller(
        SlowSink(options.reply_delay / 1000) if options.reply_delay else Sink(),
        hostname="127.0.0.1",
        port=free_port(),
        # A fixed greeting name: otherwise every connection asks for this
        # host's fully qualified name, a DNS query on some machines.
        server_hostname="bench.localhost",
        authenticator=accept_any,
        auth_require_tls=False,
    )
    controller.start()
    try:
        print(controller.port, flush=True)
        sys.stdin.read()
    finally:
        controller.stop()


if __name__ == "__main__":
    main()
