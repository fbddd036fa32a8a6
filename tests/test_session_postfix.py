"""Session and AsyncSession through Postfix, the real MTA, with its strict
pipelining checks, CHUNKING and SMTPUTF8 on: every message arrives once and
byte for byte as the session sent it, refusals inside one pipelined group
reach the right messages, and nothing trips the synchronization checks."""

import asyncio
import smtplib

import pytest

import postfix
from conftest import MODES, USER
from vantrel.aio import AsyncSession
from vantrel.mailer import EasyMailer
from vantrel.session import Session

RECIPIENT = "someone@example.test"


def crlf(text):
    """What goes on the wire for `text`: every line ending CRLF, a final one."""
    lines = text.replace(b"\r\n", b"\n").replace(b"\r", b"\n").split(b"\n")
    wire = b"\r\n".join(lines)
    return wire if wire.endswith(b"\r\n") else wire + b"\r\n"


def message(subject, body, sender=USER, to=RECIPIENT):
    head = (f"From: {sender}\r\nTo: {to}\r\nSubject: {subject}\r\nMIME-Version: 1.0\r\n"
            "Content-Type: text/plain; charset=utf-8\r\nContent-Transfer-Encoding: 8bit\r\n\r\n")
    return head.encode() + body


# What a round trip could spoil: lines that begin with ".", a lone "." line,
# lone CR and LF, a line of 998 characters, 8-bit text, no final line end.
AWKWARD = (b".a line that starts with a dot\n..two dots\r\n.\r\nlone\rcarriage return\n"
           + b"y" * 998 + "\r\nGrüße\r\nno final line end".encode())


@pytest.mark.parametrize("pipelining", [True, False], ids=["pipelined", "lock-step"])
@pytest.mark.parametrize("mode", MODES)
def test_messages_arrive_once_byte_for_byte(postfix_server, mode, pipelining):
    mailer = EasyMailer(**postfix_server.mailer_args(mode))
    texts = [message(f"awkward {i}", AWKWARD) for i in range(3)]
    with Session(mailer, pipelining=pipelining) as session:
        for text in texts:
            session.send_message(text, sender=USER, recipients=[RECIPIENT])
        assert session.last_reply[0] == 250 and "queued as" in session.last_reply[1]
        assert (session.sent, session.connections) == (3, 1)
    deliveries = postfix_server.wait_for(3)
    assert sorted(d.sent for d in deliveries) == sorted(crlf(t) for t in texts)


def test_a_five_megabyte_message_goes_in_bdat_chunks(postfix_server):
    body = b"".join(b"%07d " % i + b"z" * 70 + b"\r\n" for i in range(5 * 1024 * 1024 // 79))
    text = message("big", body)
    with Session(EasyMailer(**postfix_server.mailer_args("starttls"))) as session:
        session.send_message(text, sender=USER, recipients=[RECIPIENT])
    (delivery,) = postfix_server.wait_for(1)
    assert delivery.sent == text and len(text) > 5 * 1024 * 1024


def test_non_ascii_addresses_go_over_smtputf8(postfix_server):
    sender, recipient = "sø@example.test", "bø@exämple.test"
    mailer = EasyMailer(**postfix_server.mailer_args("ssl"))
    with Session(mailer) as session:
        session.send(to=recipient, subject="Grüße", body="Hallo", sender=sender)
    (delivery,) = postfix_server.wait_for(1)
    assert (delivery.sender, delivery.recipient) == (sender, recipient)


MAIL, RCPT, LATER, DATA = (postfix.REFUSALS[k][0] for k in ("MAIL", "RCPT", "RCPT later", "DATA"))


@pytest.mark.parametrize("case, kwargs, raised, delivered", [
    ("first RCPT refused", dict(to=[RCPT, "a@example.test"]), smtplib.SMTPRecipientsRefused,
     ["a@example.test"]),
    ("every RCPT refused", dict(to=[RCPT, LATER]), smtplib.SMTPRecipientsRefused, []),
    ("MAIL refused", dict(to=["a@example.test"], sender=MAIL), smtplib.SMTPSenderRefused, []),
])
def test_refusals_inside_a_pipelined_group(postfix_server, case, kwargs, raised, delivered):
    mailer = EasyMailer(**postfix_server.mailer_args("plain"))
    with Session(mailer) as session:
        session.send(to="before@example.test", subject="before", body="x")
        with pytest.raises(raised):
            session.send(subject=case, body="x", **kwargs)
        session.send(to="after@example.test", subject="after", body="x")
        assert session.connections == 1  # Postfix never saw a protocol error
    deliveries = postfix_server.wait_for(2 + len(delivered))
    assert sorted(d.recipient for d in deliveries) == sorted(
        ["before@example.test", "after@example.test", *delivered])


def test_a_refused_data_command_leaves_the_session_usable(postfix_server):
    """Postfix checks its data restrictions at DATA, which BDAT has none of:
    only a lock-step session, which sends DATA, meets them."""
    mailer = EasyMailer(**postfix_server.mailer_args("plain"))
    with Session(mailer, pipelining=False) as session:
        with pytest.raises(smtplib.SMTPDataError) as refused:
            session.send(to="a@example.test", subject="refused", body="x", sender=DATA)
        assert refused.value.smtp_code == 554
        session.send(to="after@example.test", subject="after", body="x")
    assert [d.recipient for d in postfix_server.wait_for(1)] == ["after@example.test"]


def test_send_many_pipelines_a_batch_past_the_strict_checks(postfix_server):
    mailer = EasyMailer(**postfix_server.mailer_args("starttls"))
    batch = [dict(to=f"r{i}@example.test", subject=f"n{i}", body="x") for i in range(40)]
    batch[7]["to"] = RCPT
    with Session(mailer) as session:
        results = session.send_many(iter(batch))
        assert session.connections == 1
    assert [type(r) for r in results].count(smtplib.SMTPRecipientsRefused) == 1
    assert results[7] is not None and [r for i, r in enumerate(results) if i != 7] == [None] * 39
    assert len(postfix_server.wait_for(39)) == 39


def test_concurrent_async_sends_arrive_once(postfix_server):
    mailer = EasyMailer(**postfix_server.mailer_args("ssl"))

    async def main():
        async with AsyncSession(mailer, connections=2) as session:
            await asyncio.gather(*(session.send(to=f"a{i}@example.test", subject=f"{i}",
                                                body="x") for i in range(30)))
            return session.sent

    assert asyncio.run(main()) == 30
    assert sorted(d.recipient for d in postfix_server.wait_for(30)) == sorted(
        f"a{i}@example.test" for i in range(30))
