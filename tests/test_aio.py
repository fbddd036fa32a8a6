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


@pytest.mark.asyncio
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


LETTER = dict(subject="Report", body="Plain text\n.leading dot\n", html="<p>HTML</p>",
              attachments=[{"filename": "data.bin", "data": bytes(range(256)) * 200}])


@pytest.mark.asyncio
@pytest.mark.parametrize("connections", [1, 4])
@pytest.mark.parametrize("pipelining", [True, False], ids=["pipelining", "lock-step"])
async def test_concurrent_sends_each_delivered_once(smtp_server, connections, pipelining):
    server = smtp_server("starttls", pipelining=pipelining)
    mailer = mailer_for(server)
    with Session(mailer) as session:
        session.send(to="ref@example.test", **LETTER)
    reference = body_of(server.messages.pop().data)
    async with AsyncSession(mailer, connections=connections) as session:
        await asyncio.gather(*(session.send(to=f"u{i}@example.test", **LETTER)
                               for i in range(200)))
        assert session.sent == 200
    assert sorted(m.rcpt_tos[0] for m in server.messages) == \
        sorted(f"u{i}@example.test" for i in range(200))
    assert all(body_of(m.data) == reference for m in server.messages)
    # More connections only while more work waited than the open ones carry.
    assert session.connections == connections == server.connections - 1
    assert server.quits == connections + 1


@pytest.mark.asyncio
async def test_refusals_reach_only_their_own_caller(smtp_server):
    server = smtp_server("plain", pipelining=True,
                         refuse_rcpt={"bad@example.test"},
                         first_attempt={"later@example.test": "451-rcpt"})
    async with AsyncSession(mailer_for(server), connections=2) as session:
        outcomes = await asyncio.gather(
            *(session.send(to=to, subject="s", body="b") for to in
              ["a@example.test", "bad@example.test", ["c@example.test", "bad@example.test"],
               "later@example.test", "d@example.test"]),
            return_exceptions=True)
    assert outcomes[0] is None and outcomes[4] is None
    assert isinstance(outcomes[1], smtplib.SMTPRecipientsRefused)
    assert list(outcomes[1].recipients) == ["bad@example.test"]
    partial = outcomes[2]
    assert isinstance(partial, smtplib.SMTPRecipientsRefused)
    assert list(partial.recipients) == ["bad@example.test"] and partial.__notes__
    assert isinstance(outcomes[3], smtplib.SMTPRecipientsRefused)
    assert outcomes[3].recipients["later@example.test"][0] == 451
    assert sorted(m.rcpt_tos[0] for m in server.messages) == \
        ["a@example.test", "c@example.test", "d@example.test"]
    assert session.sent == 3


@pytest.mark.parametrize("refusal, error", [
    (dict(refuse_mail=True), smtplib.SMTPSenderRefused),
    (dict(refuse_data=True), smtplib.SMTPDataError),
])
@pytest.mark.asyncio
async def test_refused_message_raises_and_session_goes_on(smtp_server, refusal, error):
    server = smtp_server("plain", pipelining=True, **refusal)
    async with AsyncSession(mailer_for(server)) as session:
        with pytest.raises(error):
            await session.send(to="a@example.test", subject="s", body="b")
        server.refuse_mail = server.refuse_data = False
        await session.send(to="b@example.test", subject="s", body="b")
    assert [m.rcpt_tos for m in server.messages] == [["b@example.test"]]
    assert session.connections == 1


@pytest.mark.asyncio
async def test_connection_dropped_mid_pipeline(smtp_server):
    # The server hangs up instead of answering the text of one message: that
    # message's fate is unknown; the others go on, over a new connection.
    server = smtp_server("plain", pipelining=True,
                         first_attempt={"lost@example.test": "drop-data"})
    async with AsyncSession(mailer_for(server)) as session:
        outcomes = await asyncio.gather(
            *(session.send(to=f"u{i}@example.test" if i != 3 else "lost@example.test",
                           subject="s", body="b") for i in range(8)),
            return_exceptions=True)
    lost = [o for o in outcomes if o is not None]
    assert len(lost) == 1 and outcomes[3] is lost[0]
    assert isinstance(lost[0], smtplib.SMTPServerDisconnected)
    delivered = [m.rcpt_tos[0] for m in server.messages]
    assert sorted(delivered) == sorted(f"u{i}@example.test" for i in range(8) if i != 3)
    assert len(delivered) == len(set(delivered)) == session.sent == 7
    assert session.connections == 2


@pytest.mark.asyncio
async def test_server_closing_between_sends_reconnects(smtp_server):
    server = smtp_server("ssl")
    async with AsyncSession(mailer_for(server)) as session:
        await session.send(to="a@example.test", subject="s", body="b")
        server.hang_up("421 4.4.2 idle timeout")
        await asyncio.sleep(0.05)
        await session.send(to="b@example.test", subject="s", body="b")
    assert [m.rcpt_tos for m in server.messages] == [["a@example.test"], ["b@example.test"]]
    assert session.connections == 2


@pytest.mark.asyncio
async def test_max_per_connection(smtp_server):
    server = smtp_server("plain", pipelining=True)
    async with AsyncSession(mailer_for(server), max_per_connection=3) as session:
        await asyncio.gather(*(session.send(to=f"u{i}@example.test", subject="s", body="b")
                               for i in range(7)))
    assert session.sent == 7 and session.connections == 3


@pytest.mark.asyncio
async def test_opening_fails_at_once(smtp_server):
    server = smtp_server("plain", password="other")
    session = AsyncSession(mailer_for(server))
    with pytest.raises(smtplib.SMTPAuthenticationError):
        async with session:
            pass
    # A send after it tries again, and fails the same way.
    with pytest.raises(smtplib.SMTPAuthenticationError):
        await session.send(to="a@example.test", subject="s", body="b")
    assert server.messages == []


# --- cancellation, timeouts and closing ---------------------------------------

class CountingMailer(EasyMailer):
    """Counts the messages it builds."""

    built = 0

    def _build_message(self, *args, **kwargs):
        type(self).built += 1
        return super()._build_message(*args, **kwargs)


@pytest.mark.asyncio
async def test_cancelled_while_waiting_for_a_connection(smtp_server):
    server = smtp_server("plain", pipelining=True)
    mailer = CountingMailer(**{**server.mailer_args, "default_sender": SENDER})
    CountingMailer.built = 0
    async with AsyncSession(mailer) as session:
        tasks = [asyncio.ensure_future(session.send(to=f"u{i}@example.test", subject="s",
                                                    body="b")) for i in range(10)]
        await asyncio.sleep(0)  # every send has queued its message
        tasks[-1].cancel()
        results = await asyncio.gather(*tasks, return_exceptions=True)
        assert isinstance(results[-1], asyncio.CancelledError)
        await session.send(to="after@example.test", subject="s", body="b")
    delivered = sorted(m.rcpt_tos[0] for m in server.messages)
    assert "u9@example.test" not in delivered and len(delivered) == 10
    assert session.connections == 1
    # A message is built when a connection takes it: the cancelled one never was.
    assert CountingMailer.built == 10


@pytest.mark.asyncio
async def test_connection_dropped_while_a_message_is_built(smtp_server):
    """The mailer's steps may give up a send under way (its call closed):
    that drops the connection, and the message being built for it goes over
    a new one."""
    server = smtp_server("plain", pipelining=True)
    under_way = []

    class GivingUp(EasyMailer):
        def _build_message(self, *args, **kwargs):
            if under_way:
                under_way.pop().close()
            return super()._build_message(*args, **kwargs)

    async with AsyncSession(GivingUp(**{**server.mailer_args, "default_sender": SENDER})) as session:
        first = session.send(to="first@example.test", subject="s", body="b")
        first.send(None)  # queued, built and its MAIL FROM written
        under_way.append(first)
        await session.send(to="second@example.test", subject="s", body="b")
        assert session.connections == 2
    assert [m.rcpt_tos for m in server.messages] == [["second@example.test"]]


@pytest.mark.asyncio
async def test_connections_share_one_tls_context(smtp_server, monkeypatch):
    import ssl
    import types

    import vantrel.aio

    made = []

    def create_default_context(*args, **kwargs):
        made.append(ssl.create_default_context(*args, **kwargs))
        return made[-1]

    monkeypatch.setattr(vantrel.aio, "ssl", types.SimpleNamespace(
        create_default_context=create_default_context))
    server = smtp_server("starttls", pipelining=True)
    session = AsyncSession(mailer_for(server), connections=3)
    for _ in range(2):
        async with session:
            await asyncio.gather(*(session.send(to=f"u{i}@example.test", subject="s", body="b")
                                   for i in range(30)))
    assert session.connections == 6 and len(server.messages) == 60
    assert len(made) == 2  # one for each time the session was opened


@pytest.mark.asyncio
async def test_cancelled_after_mail_from_drops_only_its_connection(smtp_server):
    server = smtp_server("plain", pipelining=True,
                         first_attempt={"held@example.test": "hold-data"})
    async with AsyncSession(mailer_for(server), timeout=30) as session:
        held = asyncio.ensure_future(session.send(to="held@example.test", subject="s",
                                                  body="b"))
        while not server.holding.is_set():
            await asyncio.sleep(0.01)
        held.cancel()
        with pytest.raises(asyncio.CancelledError):
            await held
        # The connection went; the next send opens another.
        await session.send(to="next@example.test", subject="s", body="b")
    assert [m.rcpt_tos for m in server.messages] == [["next@example.test"]]
    assert server.attempts["held@example.test"] == 1  # never sent again
    assert session.connections == 2 and session.sent == 1


@pytest.mark.asyncio
async def test_timeout(smtp_server):
    server = smtp_server("plain", first_attempt={"held@example.test": "hold-data"})
    async with AsyncSession(mailer_for(server), timeout=0.3) as session:
        with pytest.raises(TimeoutError):
            await session.send(to="held@example.test", subject="s", body="b")
        await session.send(to="next@example.test", subject="s", body="b")
    assert [m.rcpt_tos for m in server.messages] == [["next@example.test"]]


@pytest.mark.asyncio
async def test_aclose_waits_for_sends_in_flight(smtp_server):
    server = smtp_server("starttls", pipelining=True)
    session = AsyncSession(mailer_for(server), connections=2)
    await session.__aenter__()
    tasks = [asyncio.ensure_future(session.send(to=f"u{i}@example.test", subject="s", body="b"))
             for i in range(20)]
    await asyncio.sleep(0)
    await session.aclose()
    assert all(t.done() and t.exception() is None for t in tasks)
    assert len(server.messages) == 20
    await session.aclose()  # again: nothing to do
    assert "closed" in repr(session)


@pytest.mark.asyncio
async def test_block_exception_propagates(smtp_server):
    server = smtp_server("plain")
    with pytest.raises(KeyError):
        async with AsyncSession(mailer_for(server)) as session:
            await session.send(to="a@example.test", subject="s", body="b")
            raise KeyError("block")
    assert server.quits == 1 and len(server.messages) == 1


def test_belongs_to_one_event_loop(smtp_server):
    server = smtp_server("plain")
    session = AsyncSession(mailer_for(server))

    async def send():
        await session.send(to="a@example.test", subject="s", body="b")

    async def send_and_close():
        await send()
        await session.aclose()

    asyncio.run(send_and_close())
    with pytest.raises(RuntimeError, match="another event loop"):
        asyncio.run(send())
    assert len(server.messages) == 1


@pytest.mark.asyncio
async def test_surface(smtp_server):
    server = smtp_server("plain")
    assert inspect.iscoroutinefunction(AsyncSession.send)
    assert inspect.iscoroutinefunction(AsyncSession.send_template)
    assert str(inspect.signature(AsyncSession.send)) == str(inspect.signature(Session.send))
    session = AsyncSession(mailer_for(server))
    assert inspect.iscoroutinefunction(session.send)
    assert repr(session) == f"<AsyncSession 127.0.0.1:{server.port} plain not connected, 0 sent>"
    assert session.last_reply is None
    call = session.send(to="a@example.test", subject="s", body="b")
    assert asyncio.iscoroutine(call)
    call.close()  # never awaited: nothing is sent
    async with session:
        assert repr(session).endswith("plain 1 connected, 0 sent>")
    assert server.messages == []


@pytest.mark.parametrize("arguments, error", [
    (dict(connections=0), ValueError),
    (dict(connections="2"), TypeError),
    (dict(max_per_connection=0), ValueError),
    (dict(timeout=0), ValueError),
    (dict(timeout="1"), TypeError),
    (dict(pipelining=1), TypeError),
])
def test_arguments_checked(arguments, error):
    with pytest.raises(error):
        AsyncSession(EasyMailer("h", 25, "u", "p", "s@example.test"), **arguments)


# --- vantrel.testing ----------------------------------------------------------

@pytest.mark.asyncio
@pytest.mark.parametrize("mode", ["ssl", "starttls", "plain"])
async def test_capture_records_without_a_server(mode):
    from vantrel.testing import capture

    mailer = EasyMailer(host="mail.example.test", port=587, username="user",
                        password="secret", default_sender=SENDER,
                        use_ssl=mode == "ssl", use_tls=mode == "starttls")
    with capture() as outbox:
        outbox.refuse_recipient("bad@example.test")
        async with AsyncSession(mailer, connections=2) as session:
            results = await asyncio.gather(
                *(session.send(to=to, subject="s", body="b")
                  for to in ["a@example.test", "bad@example.test", "c@example.test"]),
                return_exceptions=True)
    assert results[0] is None and results[2] is None
    assert isinstance(results[1], smtplib.SMTPRecipientsRefused)
    assert sorted(m.rcpt_tos[0] for m in outbox) == ["a@example.test", "c@example.test"]
    assert {m.mode for m in outbox} == {mode} and outbox[0].username == "user"


@pytest.mark.asyncio
async def test_session_opened_before_a_capture_sends_nothing_for_real(smtp_server):
    from vantrel.testing import capture

    server = smtp_server("plain", pipelining=True)
    async with AsyncSession(mailer_for(server)) as session:
        await session.send(to="real@example.test", subject="s", body="b")
        with capture() as outbox:
            await session.send(to="captured@example.test", subject="s", body="b")
        await session.send(to="real-again@example.test", subject="s", body="b")
    assert [m.rcpt_tos[0] for m in outbox] == ["captured@example.test"]
    assert [m.rcpt_tos[0] for m in server.messages] == ["real@example.test",
                                                        "real-again@example.test"]
    assert session.connections == 3


# --- Postfix, the real MTA: strict pipelining checks, CHUNKING on -------------

@pytest.mark.asyncio
@pytest.mark.parametrize("mode", ["ssl", "starttls", "plain"])
async def test_postfix_concurrent_sends_arrive_once_as_session_sends_them(postfix_server, mode):
    from conftest import USER

    mailer = EasyMailer(**postfix_server.mailer_args(mode), default_sender=USER)
    with Session(mailer) as session:
        session.send(to="ref@example.test", **LETTER)
    [reference] = postfix_server.wait_for(1)
    postfix_server.clear()
    count = 200 if mode == "starttls" else 40
    async with AsyncSession(mailer, connections=4) as session:
        results = await asyncio.gather(
            *(session.send(to=f"u{i}@example.test", **LETTER) for i in range(count)),
            session.send(to="refused@example.test", **LETTER),
            return_exceptions=True)
    assert results[:count] == [None] * count
    assert isinstance(results[count], smtplib.SMTPRecipientsRefused)
    deliveries = postfix_server.wait_for(count)
    assert sorted(d.recipient for d in deliveries) == sorted(f"u{i}@example.test"
                                                             for i in range(count))
    assert all(body_of(d.sent) == body_of(reference.sent) for d in deliveries)
    assert session.sent == count and session.connections <= 4


# --- the coroutine protocol of a send and of a capturing coroutine -------------

def coroutine_makers():
    """A call of AsyncSession.send and of an outbox-decorated coroutine
    function, beside a plain `async def` coroutine whose behaviour both copy.
    None of them is started: that needs no server and no event loop."""
    from vantrel.testing import capture

    async def plain():
        pass

    mailer = EasyMailer("127.0.0.1", 9, "user", "password", use_ssl=False,
                        default_sender=SENDER)
    session = AsyncSession(mailer)
    return {
        "async def": plain,
        "send": lambda: session.send(to="a@example.test", subject="s", body="b"),
        "capturing": capture()(plain),
    }


def outcome(step):
    try:
        return ("returned", step())
    except BaseException as error:  # noqa: BLE001 - the outcome is what is compared
        return (type(error), str(error))


# Each sequence of steps on a fresh coroutine, as (method, arguments).
SEQUENCES = {
    "non-None first": [("send", ("x",))],
    "throw before start, then send": [("throw", (ValueError("early"),)), ("send", (None,))],
    "throw a class with a value": [("throw", (KeyError, "k")), ("send", (None,))],
    "instance with a value": [("throw", (ValueError(), 1))],
    "not an exception": [("throw", (42,))],
    "close, then send": [("close", ()), ("send", (None,)), ("close", ())],
    "close, then throw": [("close", ()), ("throw", (ValueError("late"),))],
    "throw twice": [("throw", (ValueError("early"),)), ("throw", (ValueError("late"),))],
}


@pytest.mark.filterwarnings("ignore::DeprecationWarning")
@pytest.mark.parametrize("steps", SEQUENCES.values(), ids=SEQUENCES.keys())
def test_unstarted_calls_behave_as_coroutines(steps):
    outcomes = {}
    for name, make in coroutine_makers().items():
        coroutine = make()
        outcomes[name] = [outcome(lambda: getattr(coroutine, method)(*arguments))
                          for method, arguments in steps]
        coroutine.close()
    assert outcomes["send"] == outcomes["async def"]
    assert outcomes["capturing"] == outcomes["async def"]


@pytest.mark.asyncio
async def test_an_envelope_that_cannot_be_sent_fails_only_its_own_send(smtp_server):
    server = smtp_server("plain", pipelining=True)
    async with AsyncSession(mailer_for(server)) as session:
        results = await asyncio.gather(
            session.send(to="a@example.test", subject="1", body="x"),
            session.send(to=[], subject="2", body="x"),
            session.send(to="b@example.test", bcc="b@exa\rmple.test", subject="3", body="x"),
            session.send(to="c@example.test", subject="4", body="x"),
            return_exceptions=True)
        call = session.send(to="d@example.test", subject="5", body="x")
        assert repr(call).startswith("<send_call not started at ")
        await call
        assert repr(call).startswith("<send_call done at ")
    assert results[0] is None and results[3] is None
    assert type(results[1]) is smtplib.SMTPRecipientsRefused and results[1].recipients == {}
    assert type(results[2]) is ValueError
    assert sorted(m.rcpt_tos[0] for m in server.messages) == [
        "a@example.test", "c@example.test", "d@example.test"]
