"""The benchmarks' SMTP server and its relay (bench/smtp_server.py): what its
EHLO offers and the client turns the relay counts, which targets of the
benchmark table are stated in."""

import runpy
import smtplib
from pathlib import Path

import pytest

SERVER = runpy.run_path(str(Path(__file__).resolve().parents[1] / "bench" / "smtp_server.py"))
SETTLING, COUNTED = 5, 3
ENVELOPE = ["MAIL FROM:<a@example.com>\r\n", "RCPT TO:<b@example.com>\r\n", "DATA\r\n"]
TEXT = "Subject: turns\r\n\r\nHello.\r\n.\r\n"


@pytest.fixture(scope="module")
def relay():
    # 20 ms each way: far longer than the client needs between the writes
    # of one burst, so that no reply can fall between them.
    with SERVER["running"]("--mode", "plain", "--delay", 0.02) as server:
        yield server


def replies(connection, n):
    for _ in range(n):
        code, text = connection.getreply()
        assert code in (250, 354), text


def lock_step(connection, messages):
    for _ in range(messages):
        for line in [*ENVELOPE, TEXT]:
            connection.send(line)
            replies(connection, 1)


def grouped(connection, messages):
    """The envelope as one burst, written line by line, then the text."""
    for _ in range(messages):
        for line in ENVELOPE:
            connection.send(line)
        replies(connection, len(ENVELOPE))
        connection.send(TEXT)
        replies(connection, 1)


def across_messages(connection, messages):
    """Each text together with the next message's envelope."""
    connection.send("".join(ENVELOPE))
    replies(connection, len(ENVELOPE))
    for _ in range(messages - 1):
        connection.send(TEXT + "".join(ENVELOPE))
        replies(connection, 1 + len(ENVELOPE))
    connection.send(TEXT)
    replies(connection, 1)


@pytest.mark.parametrize("client, expected", [(lock_step, 4), (grouped, 2),
                                              (across_messages, 1)])
def test_relay_counts_client_turns_per_message(relay, client, expected):
    SERVER["accepted_turns"](relay)  # forget what earlier tests sent
    with smtplib.SMTP("127.0.0.1", relay.port) as connection:
        connection.ehlo()
        assert connection.has_extn("pipelining")
        assert not connection.has_extn("chunking")  # aiosmtpd has no BDAT
        connection.login("bench@example.com", "secret")
        client(connection, SETTLING + COUNTED)
    notes = SERVER["accepted_turns"](relay)
    assert len(notes) == SETTLING + COUNTED
    assert (notes[-1] - notes[SETTLING - 1]) / COUNTED == expected
