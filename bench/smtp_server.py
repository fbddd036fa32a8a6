"""A local SMTP server for the delivery benchmarks, run as its own process.

    smtp_server.py [--mode plain|starttls|ssl] [--ca FILE] [--delay SECONDS]

AUTH (PLAIN and LOGIN) is required; every login and every message is
accepted and the message is dropped.  plain offers AUTH without TLS,
starttls requires STARTTLS first, ssl speaks TLS from the first byte; the
TLS modes use a certificate for 127.0.0.1 from a test CA made at start-up,
written to FILE so that the client can trust it (SSL_CERT_FILE).

EHLO offers PIPELINING (RFC 2920): aiosmtpd reads commands from a buffer,
one after the other, so a group of them sent at once is answered in order.
It offers no CHUNKING, as aiosmtpd has no BDAT; a client that would chunk
sends DATA here.

With --delay the port printed is that of a relay in front of the server
that holds every chunk for that long in each direction, and opening a
connection as well: a provider that far away, as a round trip of twice the
delay.  The relay runs on the server's own event loop, in this process, so
that it competes with neither side of a benchmark for the interpreter.

The relay also counts client turns: a client's writes that follow a reply
of the server, up to the next reply it reads, are one turn however many
chunks they come in.  Every message accepted notes the count of turns so
far, over all connections; accepted_turns() asks for those notes.

Prints the port to use, then serves until its standard input is closed;
a line "turns" on standard input is answered with one line, the notes
taken since the last such line as a JSON list.  running() starts it from
another program.
"""

import argparse
import asyncio
import contextlib
import json
import logging
import socket
import ssl
import subprocess
import sys
import warnings

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult


class Turns:
    """Client turns counted by the relay, and the count at each message accepted."""

    def __init__(self):
        self.count = 0
        self.at_message = []

    def take_notes(self):
        notes, self.at_message = self.at_message, []
        return notes


class Sink:
    def __init__(self, turns):
        self.turns = turns

    async def handle_EHLO(self, server, session, envelope, hostname, responses):
        session.host_name = hostname  # what aiosmtpd does itself when there is no hook
        return [*responses[:-1], "250-PIPELINING", responses[-1]]

    async def handle_DATA(self, server, session, envelope):
        self.turns.at_message.append(self.turns.count)
        return "250 Message accepted for delivery"


def accept_any(server, session, envelope, mechanism, auth_data):
    return AuthResult(success=True)


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def tls_context(ca_file):
    import trustme

    ca = trustme.CA()
    ca.cert_pem.write_to_path(ca_file)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ca.issue_cert("127.0.0.1", "localhost").configure_cert(context)
    return context


async def pipe(reader, writer, delay, on_read=None, on_write=None):
    """Copies one direction of a connection, each chunk `delay` late, in order;
    on_read and on_write are told of each chunk as it is read and written."""
    loop = asyncio.get_running_loop()
    queue = asyncio.Queue()

    async def forward():
        while True:
            due, data = await queue.get()
            pause = due - loop.time()
            if pause > 0:
                await asyncio.sleep(pause)
            if not data:
                break
            writer.write(data)
            if on_write:
                on_write()
        writer.close()

    forwarding = asyncio.create_task(forward())
    with contextlib.suppress(ConnectionError):
        while data := await reader.read(1 << 16):
            if on_read:
                on_read()
            queue.put_nowait((loop.time() + delay, data))
    queue.put_nowait((loop.time() + delay, b""))
    await forwarding


async def start_relay(upstream, delay, turns):
    """Starts the relay, counting client turns into `turns`; returns the port
    it listens on and a coroutine function that stops it, ending every
    connection it carries."""
    running = set()

    async def relay(client_reader, client_writer):
        running.add(asyncio.current_task())
        server_writer = None
        # Set when a reply has been passed on to the client: what the client
        # writes after that is a new turn.  A chunk the client wrote just
        # before a reply reached it but that is read here just after can
        # count as one more turn, never as one less.
        replied = False

        def from_client():
            nonlocal replied
            if replied:
                turns.count += 1
                replied = False

        def to_client():
            nonlocal replied
            replied = True

        try:
            await asyncio.sleep(delay)  # the connection request on its way
            server_reader, server_writer = await asyncio.open_connection("127.0.0.1", upstream)
            await asyncio.gather(pipe(client_reader, server_writer, delay, on_read=from_client),
                                 pipe(server_reader, client_writer, delay, on_write=to_client),
                                 return_exceptions=True)
        finally:
            for writer in (client_writer, server_writer):
                if writer is not None:
                    writer.transport.abort()
            running.discard(asyncio.current_task())

    async def stop():
        # The SMTP server waits for every connection to it to end before it
        # stops, so a relay still forwarding must end its connections first.
        server.close()
        for task in list(running):
            task.cancel()
        await asyncio.gather(*running, return_exceptions=True)

    server = await asyncio.start_server(relay, "127.0.0.1", 0)
    return server.sockets[0].getsockname()[1], stop


@contextlib.contextmanager
def running(*options):
    """This server in a process of its own, with these command-line options:
    yields the process, with the port to use as `port`."""
    process = subprocess.Popen([sys.executable, "-P", __file__, *map(str, options)],
                               stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        process.port = int(process.stdout.readline())
        yield process
    finally:
        process.stdin.close()
        process.stdout.close()
        process.wait(timeout=30)


async def _on_loop(function):
    return function()


def accepted_turns(process):
    """The relay's count of client turns at each message the server accepted
    since the last call (the first call: since start), oldest first."""
    process.stdin.write("turns\n")
    process.stdin.flush()
    return json.loads(process.stdout.readline())


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--mode", choices=("plain", "starttls", "ssl"), default="plain")
    parser.add_argument("--ca", help="where to write the test CA's certificate (TLS modes)")
    parser.add_argument("--delay", type=float, default=0.0)
    options = parser.parse_args()
    # Quiet: aiosmtpd warns about AUTH without TLS at start-up, and about its
    # own deprecated attributes on every login.
    logging.getLogger("mail.log").setLevel(logging.ERROR)
    warnings.simplefilter("ignore")
    extra = {}
    if options.mode != "plain":
        context = tls_context(options.ca)
        if options.mode == "ssl":
            extra = dict(ssl_context=context)
        else:
            extra = dict(tls_context=context, require_starttls=True, auth_require_tls=True)
    turns = Turns()
    controller = Controller(
        Sink(turns),
        hostname="127.0.0.1",
        port=free_port(),
        # A fixed greeting name: otherwise every connection asks for this
        # host's fully qualified name, a DNS query on some machines.
        server_hostname="bench.localhost",
        authenticator=accept_any,
        **{"auth_require_tls": False, **extra},
    )
    controller.start()
    stop_relay = None
    try:
        port = controller.port
        if options.delay:
            port, stop_relay = asyncio.run_coroutine_threadsafe(
                start_relay(controller.port, options.delay, turns), controller.loop).result()
        print(port, flush=True)
        for line in sys.stdin:
            if line.strip() == "turns":
                notes = asyncio.run_coroutine_threadsafe(
                    _on_loop(turns.take_notes), controller.loop).result()
                print(json.dumps(notes), flush=True)
    finally:
        if stop_relay:
            asyncio.run_coroutine_threadsafe(stop_relay(), controller.loop).result(30)
        controller.stop()


if __name__ == "__main__":
    main()
