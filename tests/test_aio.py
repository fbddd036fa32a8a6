"""vantrel.aio.AsyncSession against real aiosmtpd servers: what it sends,
how concurrent sends share connections, refusals, cancellation, timeouts
and closing."""

import asyncio
import email
import inspect
import smtplib

import pytest

from vantrel.aio import AsyncSession
from vantrel.mailer import EasyMailer
from vantrel.session import Session

pytestmark = pytest.mark.asyncio

SENDER = "app@example.test"


def mailer_for(server, **overrides):
    return EasyMailer(**{**server.mailer_args, "default_sender": SENDER, **overrides})


def body_of(data):
    """The message without the headers that differ between two sends."""
    message = email.message_from_bytes(data)
    for name in ("Date", "Message-ID"):
        del message[name]
    # Boundaries are random; compare the parts.
    return [(part.get_content_type(), part.get_payload(decode=True))
            for part in message.walk()]


@pytest.mark.parametrize("pipelining", [True, False], ids=["pipelining", "lock-step"])
async def test_send_in_each_mode(smtp_server, pipelining):
    for mode in ("ssl", "starttls", "plain"):
        server = smtp_server(mode, pipelining=pipelining)
        async with AsyncSession(mailer_for(server)) as session:
            await session.send(to="a@example.test", subject="Hi", body="Hello")
            await session.send_template(to="b@example.test", subject="T {{ n }}",
                                        template_name="notification",
                                        context={"n": 1, "title": "x", "message": "y"})
            assert session.sent == 2 and session.connections == 1
            assert session.last_reply[0] == 250
        assert [m.rcpt_tos for m in server.messages] == [["a@example.test"], ["b@example.test"]]
        assert server.quits == 1
