"""vantrel.testing: what a capture records, how it rebinds and restores, and
every rehearsed failure set against a real server configured alike."""

import asyncio
import contextlib
import email
import email.policy
import gc
import importlib.metadata
import inspect
import pydoc
import smtplib
import sys
import threading

import pytest

import vantrel.mailer as mailer_module
import vantrel.session as session_module
import vantrel.testing
from vantrel.mailer import EasyMailer
from vantrel.session import Session
from vantrel.testing import Outbox, SentMessage, capture

from network import closed_port

A, B, C = "ann@example.test", "bob@example.test", "cat@example.test"
SENDER = "mailer@example.test"
UNBOUND = object()


def bound(module=mailer_module):
    return vars(module).get("smtplib", UNBOUND)


def send(mailer, path, **kwargs):
    """One message through EasyMailer.send or send_template; two through a
    session, one of each."""
    args = dict(to=[A], cc=B, bcc=[C], sender_name="Mailer", reply_to="r@example.test")
    args.update(kwargs)
    if path == "session":
        with Session(mailer) as session:
            send(session, "send", **kwargs)
            send(session, "send_template", **kwargs)
    elif path == "send":
        mailer.send(subject="Plain Grüße", body="text", html="<p>html</p>",
                    attachments=[{"filename": "a.csv", "data": b"x,y\n"}], **args)
    else:
        mailer.send_template(subject="[{{ title }}]", template_name="notification",
                             context={"title": "T", "message": "M", "occurred_at": "now"},
                             **args)


def content(msg):
    """Headers (but the date and the boundary), bodies and attachments."""
    headers = [(k, str(v)) for k, v in msg.items() if k not in ("Date", "Content-Type")]
    bodies = [msg.get_body((kind,)) for kind in ("plain", "html")]
    return (headers, [b.get_content() for b in bodies if b],
            [(a.get_filename(), a.get_content()) for a in msg.iter_attachments()])


@pytest.mark.parametrize("path", ["send", "send_template", "session"])
def test_each_mode_and_path_lands_as_a_server_receives_it(server, path):
    mailer = EasyMailer(**server.mailer_args)
    send(mailer, path)
    received = list(server.messages)
    with capture() as outbox:
        send(mailer, path)
    assert server.messages == received  # the capture reached no server
    assert len(outbox) == len(received) == (2 if path == "session" else 1)
    for sent, real in zip(outbox, received):
        assert (sent.mail_from, sent.rcpt_tos, sent.username) == (
            real.mail_from, real.rcpt_tos, real.login)
        assert sent.mechanism == "PLAIN"  # as smtplib and the engine choose among PLAIN, LOGIN
        assert sent.rcpt_tos == [A, B, C] and "Bcc" not in sent.message
        assert (sent.host, sent.port, sent.mode) == (server.host, server.port, server.mode)
        assert isinstance(sent.message, email.message.EmailMessage)
        assert sent.message.get_boundary() in sent.text  # parsed from that very text
        parsed = email.message_from_bytes(real.data, policy=email.policy.default)
        assert content(sent.message) == content(parsed)


def subjects(messages):
    return [m.message["Subject"] for m in messages]


# --- rebinding and restoring --------------------------------------------------

class Boom(Exception):
    pass


@pytest.mark.parametrize("module", [mailer_module, session_module], ids=["mailer", "session"])
@pytest.mark.parametrize("before", ["smtplib", "own", "unbound"])
@pytest.mark.parametrize("fails", [False, True])
def test_exit_restores_exactly_what_was_bound(monkeypatch, module, before, fails):
    own = {"smtplib": smtplib, "own": object(), "unbound": UNBOUND}[before]
    if own is UNBOUND:
        monkeypatch.delattr(module, "smtplib")
    else:
        monkeypatch.setattr(module, "smtplib", own)
    with pytest.raises(Boom) if fails else contextlib.nullcontext():
        with capture():
            assert bound(module) not in (own, smtplib)
            assert bound(module) is bound(mailer_module if module is session_module
                                          else session_module)
            assert bound(module).SMTPException is smtplib.SMTPException
            if fails:
                raise Boom
    assert bound(module) is own


def test_captures_nest_and_may_end_in_any_order(server):
    mailer = EasyMailer(**server.mailer_args)
    outer, inner = capture(), capture()
    with outer:
        send(mailer, "send", to=["outer@example.test"])
        with inner:
            send(mailer, "send", to=["inner@example.test"])
            with inner:  # the same outbox again, as a recursive decorated call does
                send(mailer, "send", to=["again@example.test"])
        send(mailer, "send", to=["outer-2@example.test"])
    assert [m.rcpt_tos[0] for m in outer] == ["outer@example.test", "outer-2@example.test"]
    assert [m.rcpt_tos[0] for m in inner] == ["inner@example.test", "again@example.test"]
    first, second = capture(), capture()
    first.__enter__()
    second.__enter__()
    first.__exit__(None, None, None)  # ended first: second restores what first found
    send(mailer, "send")
    assert len(second) == 1
    second.__exit__(None, None, None)
    assert bound() is smtplib and server.messages == []
    with pytest.raises(RuntimeError, match="not capturing"):
        second.__exit__(None, None, None)


def test_a_session_delivers_through_the_capture_state_of_each_send(smtp_server):
    """A connection belongs to the capture state it was opened in: a session
    opened before a capture sends nothing for real while it is active, one
    opened inside sends nothing into it after it ended."""
    server = smtp_server("plain")
    session = Session(EasyMailer(**server.mailer_args))

    def send(subject):
        session.send(to=A, subject=subject, body="b")

    send("real 1")
    with capture() as outer:
        send("outer 1")
        with capture() as inner:
            send("inner")
        send("outer 2")
    send("real 2")
    first, second = capture(), capture()
    first.__enter__()
    send("first")
    second.__enter__()
    send("second 1")
    first.__exit__(None, None, None)  # out of order: the second still receives
    send("second 2")
    second.__exit__(None, None, None)
    send("real 3")
    session.close()
    assert [email.message_from_bytes(m.data)["Subject"] for m in server.messages] == [
        "real 1", "real 2", "real 3"]
    assert (subjects(outer), subjects(inner)) == (["outer 1", "outer 2"], ["inner"])
    assert (subjects(first), subjects(second)) == (["first"], ["second 1", "second 2"])
    assert session.sent == 9 and session.connections == 8
    assert server.quits == 3  # each real connection ended politely


def test_threads_sharing_a_session_move_to_a_capture_together(smtp_server):
    server = smtp_server("plain")
    with Session(EasyMailer(**server.mailer_args)) as session:
        session.send(to=A, subject="real", body="b")
        start = threading.Barrier(2)

        def worker(name):
            start.wait()
            for i in range(20):
                session.send(to=A, subject=f"{name} {i}", body="b")

        with capture() as outbox:
            threads = [threading.Thread(target=worker, args=(n,)) for n in "xy"]
            for t in threads:
                t.start()
            for t in threads:
                t.join()
        assert len(outbox) == 40 and len(server.messages) == 1
        assert session.connections == 2  # one move for both threads


def test_an_outbox_decorates(server):
    outbox = capture()
    mailer = EasyMailer(**server.mailer_args)

    @outbox
    def deliver(subject):
        """Sends one."""
        mailer.send(to=A, subject=subject, body="b")
        if subject == "fail":
            raise Boom
        return bound()

    class Holder:
        method = outbox(lambda self: self)

    assert deliver("one") is not smtplib and bound() is smtplib
    with pytest.raises(Boom):
        deliver("fail")
    assert bound() is smtplib
    assert [m.message["Subject"] for m in outbox] == ["one", "fail"]
    assert (deliver.__name__, deliver.__doc__, deliver.__wrapped__.__name__) == (
        "deliver", "Sends one.", "deliver")
    assert repr(deliver).startswith("<capturing <function ")
    holder = Holder()
    assert holder.method() is holder
    with pytest.raises(TypeError, match="decorates a function, not a 'int'"):
        outbox(5)


def test_an_outbox_decorates_a_coroutine_function_around_its_awaited_body(smtp_server):
    server = smtp_server("plain")
    mailer = EasyMailer(**server.mailer_args)
    outbox = capture()
    calls = []

    @outbox
    async def deliver(subject, fail=False):
        calls.append(bound())  # called inside the capture, as patch does
        await asyncio.sleep(0)
        mailer.send(to=A, subject=subject, body="b")
        await asyncio.sleep(0)
        if fail:
            raise Boom
        return bound()

    @outbox
    async def wait_for(event):
        await event.wait()

    class Pause:
        def __await__(self):
            yield "paused"

    @outbox
    async def paused():
        await Pause()

    class Holder:
        method = deliver

    async def cancelled():
        event = asyncio.Event()
        task = asyncio.ensure_future(wait_for(event))
        await asyncio.sleep(0)
        assert bound() is not smtplib  # active while the task waits
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        return bound()

    assert inspect.iscoroutinefunction(deliver) and inspect.iscoroutinefunction(Holder().method)
    deliver("never awaited").close()
    assert calls == [] and bound() is smtplib
    assert asyncio.run(deliver("one")) is not smtplib and bound() is smtplib
    with pytest.raises(Boom):
        asyncio.run(deliver("fail", fail=True))
    assert asyncio.run(cancelled()) is smtplib
    pending = paused()
    assert pending.send(None) == "paused" and bound() is not smtplib  # suspended in the body
    del pending  # dropped unfinished: closed, and the capture ends
    gc.collect()
    assert bound() is smtplib and calls[0] is not smtplib
    assert subjects(outbox) == ["one", "fail"] and server.messages == []
    with pytest.raises(RuntimeError, match="already awaited"):
        done = deliver("again")
        asyncio.run(done)
        done.send(None)


# --- rehearsed failures against real servers ----------------------------------

class NonAscii:
    def as_string(self):
        return "Subject: x\n\nGrüße\n"


BUSY = "4.7.0 Too many messages on this connection, closing"

# name: (server variant, rehearsal, send arguments)
REHEARSALS = {
    "login": (dict(password="another one"), lambda o: o.refuse_login(), {}),
    "every recipient": (dict(refuse_rcpt={A, B}),
                        lambda o: [o.refuse_recipient(a, 550, "5.1.1 no such user")
                                   for a in (A, B)], dict(to=[A, B])),
    "some recipients": (dict(refuse_rcpt={B}),
                        lambda o: o.refuse_recipient(B, message="5.1.1 no such user"),
                        dict(to=[A, f"Bob <{B}>", C])),
    "no recipient": ({}, lambda o: None, dict(to=[])),
    "sender": (dict(refuse_mail=True),
               lambda o: o.refuse_sender(message="5.7.1 sender not allowed"), {}),
    "this sender": (dict(refuse_mail=True),
                    lambda o: o.refuse_sender(SENDER, message="5.7.1 sender not allowed"), {}),
    "busy": (dict(busy_after=0), lambda o: o.refuse_sender(code=421, message=BUSY), {}),
    "disconnect": ("closed", lambda o: o.disconnect(), {}),
    "non-ASCII text": ({}, lambda o: None, "do_send"),
    # Refused by smtplib itself before the command goes out: the stand-in too.
    "non-ASCII sender": ({}, lambda o: None, dict(sender="sø@example.test")),
    "non-ASCII recipient": ({}, lambda o: None, dict(to=[A, "bø@example.test"])),
    "line break in a recipient": ({}, lambda o: None, dict(bcc=["b@exa\nmple.test"])),
    "line break after a refusal": (dict(refuse_rcpt={A}),
                                   lambda o: o.refuse_recipient(A, message="5.1.1 no such user"),
                                   dict(bcc=["b@exa\rmple.test"])),
    "non-ASCII password": ({}, lambda o: o.refuse_login(),
                           dict(mailer=dict(password="pässwörd"))),
}


def outcome(send):
    try:
        send()
    except Exception as error:
        return type(error), error.args, getattr(error, "__notes__", None)
    return None


def attempt(args, how, via):
    """The outcome of each message; through a session, of the session as a
    whole, then of two messages and the connections it opened for them."""
    settings = {} if how == "do_send" else dict(how.get("mailer", {}))
    mailer = EasyMailer(**{**args, **settings})
    message = {"to": A, "subject": "s", "body": "b",
               **(how if how != "do_send" else {})}
    message.pop("mailer", None)
    if how == "do_send":
        return [outcome(lambda: mailer._do_send(NonAscii(), [A], SENDER))]
    if via == "mailer":
        return [outcome(lambda: mailer.send(**message))]
    results = []

    def run():  # a session logs in when it begins
        with Session(mailer) as session:
            results.extend(outcome(lambda: session.send(**message)) for _ in range(2))
            results.append(session.connections)

    return [outcome(run)] + results


@pytest.mark.parametrize("name, via", [
    (name, via) for name in REHEARSALS for via in ("mailer", "session")
    if not (REHEARSALS[name][2] == "do_send" and via == "session")])  # a session composes
def test_rehearsed_failure_raises_what_a_real_server_gives(smtp_server, name, via):
    variant, rehearse, how = REHEARSALS[name]
    server = smtp_server("plain", **({} if variant == "closed" else variant))
    args = dict(server.mailer_args, default_sender=SENDER)
    if variant == "closed":
        args["port"] = closed_port()
    real = attempt(args, how, via)
    with capture() as outbox:
        rehearse(outbox)
        rehearsed = attempt(args, how, via)
    assert rehearsed == real and any(isinstance(r, tuple) for r in real)
    assert [(m.mail_from, m.rcpt_tos) for m in outbox] == [
        (m.mail_from, m.rcpt_tos) for m in server.messages]


def test_rehearsals_last_and_a_disconnection_is_one_attempt():
    mailer = EasyMailer("mx.example.test", 0, "u", "p", use_ssl=False)
    with capture() as outbox:
        outbox.disconnect()
        outbox.disconnect()
        for _ in range(2):
            with pytest.raises(ConnectionRefusedError):
                mailer.send(to=A, subject="s", body="b")
        mailer.send(to=A, subject="s", body="b")
        outbox.refuse_login(454, "4.7.0 Try again later")
        for _ in range(2):
            with pytest.raises(smtplib.SMTPAuthenticationError) as caught:
                mailer.send(to=A, subject="s", body="b")
        assert caught.value.args == (454, b"4.7.0 Try again later")
        outbox.clear()  # the messages only
        with pytest.raises(smtplib.SMTPAuthenticationError):
            mailer.send(to=A, subject="s", body="b")
    assert len(outbox) == 0


def test_stand_in_connection_behaves_as_smtplib_reports_a_server():
    with capture() as outbox:
        standin = mailer_module.smtplib
        with standin.SMTP_SSL("mx.example.test") as connection:
            with pytest.raises(smtplib.SMTPNotSupportedError, match="STARTTLS"):
                connection.starttls()
            assert connection.sendmail(SENDER, A, b"Subject: a\n\nb\n") == {}
            with pytest.raises(TypeError, match="object of type 'int' has no len"):
                connection.sendmail(SENDER, [A], 5)  # SIZE is offered
            with pytest.raises(TypeError, match="bytes-like object, got 'list'"):
                connection.sendmail(SENDER, [A], [5])
        assert connection.sock is None  # closed, as smtplib says it
        for method, args in [("sendmail", (SENDER, A, "x")), ("login", ("u", "p")),
                             ("starttls", ()), ("quit", ())]:
            with pytest.raises(smtplib.SMTPServerDisconnected, match="run connect"):
                getattr(connection, method)(*args)
        with pytest.raises(smtplib.SMTPServerDisconnected):
            standin.SMTP().sendmail(SENDER, [A], "x")  # no host: never connected
        outbox.refuse_sender(code=421, message="4.3.2 Shutting down")
        connection = standin.SMTP("mx.example.test", 2525)
        assert not hasattr(connection, "sock")  # open: nothing for a session to poll
        with pytest.raises(smtplib.SMTPSenderRefused) as caught:
            connection.sendmail(SENDER, [A], "x")
        assert caught.value.args == (421, b"4.3.2 Shutting down", SENDER)
        with pytest.raises(smtplib.SMTPServerDisconnected):  # 421 closes, as smtplib does
            connection.sendmail(SENDER, [A], "x")
        with capture() as inner:
            inner.refuse_recipient(B, code=421, message="4.3.2 Shutting down")
            connection = standin.SMTP("mx.example.test", 2525)
            with pytest.raises(smtplib.SMTPRecipientsRefused) as caught:  # no RCPT after B
                connection.sendmail(SENDER, [A, B, C], "x")
            assert caught.value.recipients == {B: (421, b"4.3.2 Shutting down")}
            assert connection.sock is None and len(inner) == 0
    (sent,) = outbox
    assert (sent.host, sent.port, sent.mode, sent.username) == ("mx.example.test", 465, "ssl", None)
    assert sent.text == b"Subject: a\n\nb\n" and sent.message["Subject"] == "a"
    with pytest.raises(RuntimeError, match="no vantrel.testing capture is active"):
        standin.SMTP("mx")


def test_a_connection_in_a_cycle_is_collected():
    outbox = capture()
    with outbox:
        connection = mailer_module.smtplib.SMTP("mx.example.test")
        connection.login((connection,), "p")  # the connection reaches itself
    before = sys.getrefcount(outbox)
    del connection
    gc.collect()
    assert sys.getrefcount(outbox) == before - 1


def test_two_threads_sending_at_once_lose_nothing():
    mailer = EasyMailer("mx.example.test", 25, "u", "p", use_ssl=False)
    start = threading.Barrier(2)

    def worker(name):
        start.wait()
        for i in range(100):
            mailer.send(to=A, subject=f"{name} {i}", body="b")

    with capture() as outbox:
        threads = [threading.Thread(target=worker, args=(n,)) for n in "xy"]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    subjects = [m.message["Subject"].split() for m in outbox]
    for name in "xy":
        assert [int(i) for n, i in subjects if n == name] == list(range(100))
    assert len(outbox) == 200


# --- the surface ----------------------------------------------------------------

def test_outbox_is_a_sequence_of_read_only_records():
    mailer = EasyMailer("mx.example.test", 25, "u", "p", use_ssl=False)
    with capture() as outbox:
        for subject in ("one", "two", "three"):
            mailer.send(to=A, subject=subject, body="b")
    assert len(outbox) == 3 and bool(outbox) and repr(outbox) == "<Outbox: 3 messages>"
    assert [m.message["Subject"] for m in (outbox[0], outbox[-1], *outbox[1:2])] == [
        "one", "three", "two"]
    assert outbox[0] in outbox and list(outbox) == outbox[:]
    assert repr(outbox[0]) == f"<SentMessage from 'u' to ['{A}'], subject 'one'>"
    for key, error in [(3, IndexError), (-4, IndexError), (1 << 70, IndexError),
                       ("0", TypeError)]:
        with pytest.raises(error):
            outbox[key]
    with pytest.raises(AttributeError):
        outbox[0].mail_from = "x"
    outbox.clear()
    assert len(outbox) == 0 and repr(outbox) == "<Outbox: 0 messages>"
    for cls in (Outbox, SentMessage):
        with pytest.raises(TypeError):
            cls()


@pytest.mark.parametrize("call, error, match", [
    (lambda o: o.refuse_recipient(A, 250), ValueError, "4xx or 5xx reply code, not 250"),
    (lambda o: o.refuse_login(600), ValueError, "not 600"),
    (lambda o: o.refuse_sender(code="553"), TypeError, "expected int, got str"),
    (lambda o: o.refuse_recipient(A, message=b"x"), TypeError, "expected str, got bytes"),
    (lambda o: Outbox.clear(5), TypeError,
     "descriptor 'clear' for 'vantrel.testing.Outbox' objects doesn't apply to a 'int'"),
    (lambda o: o.disconnect(1), TypeError, r"takes exactly 1 positional argument \(2 given\)"),
])
def test_argument_errors(call, error, match):
    with pytest.raises(error, match=match):
        call(capture())


def test_help_says_a_capture_is_process_wide():
    for subject in (vantrel.testing, capture, Outbox):
        text = pydoc.render_doc(subject, renderer=pydoc.plaintext)
        assert "process-wide" in text, subject
    assert "code: int = 550" in text and "SentMessage" in text


# --- the pytest plugin -----------------------------------------------------------

def test_the_plugin_is_an_entry_point():
    (plugin,) = [e for e in importlib.metadata.entry_points(group="pytest11")
                 if e.value.startswith("vantrel")]
    assert plugin.load().mail_outbox


def test_fixture_in_a_pytest_run(pytester):
    pytester.makepyfile("""
        import smtplib
        import pytest
        import vantrel.mailer
        from vantrel.mailer import EasyMailer
        from vantrel.session import Session
        from vantrel.testing import capture

        mailer = EasyMailer("smtp.example.com", 587, "me@example.com", "pw",
                            use_ssl=False, use_tls=True)

        def test_welcome(mail_outbox):
            mailer.send(to="ann@example.com", subject="Welcome", body="Hi Ann")
            assert mail_outbox[0].message["Subject"] == "Welcome"
            assert mail_outbox[0].mode == "starttls"

        def test_refused(mail_outbox):
            mail_outbox.refuse_recipient("bob@example.com")
            with pytest.raises(smtplib.SMTPRecipientsRefused):
                mailer.send(to="bob@example.com", subject="s", body="b")
            assert len(mail_outbox) == 0

        outbox = capture()

        @outbox
        def test_decorated():
            mailer.send(to="cat@example.com", subject="s", body="b")
            assert outbox[-1].rcpt_tos == ["cat@example.com"]

        @pytest.mark.asyncio
        @outbox
        async def test_decorated_coroutine():
            mailer.send(to="dan@example.com", subject="s", body="b")
            assert outbox[-1].rcpt_tos == ["dan@example.com"]

        sessions = []

        def session():  # opened by the application at its first message
            if not sessions:
                sessions.append(Session(mailer))
            return sessions[0]

        @pytest.mark.parametrize("name", ["eve", "fay"])
        def test_a_lazy_session_serves_each_test(mail_outbox, name):
            session().send(to=f"{name}@example.com", subject="s", body="b")
            assert [m.rcpt_tos for m in mail_outbox] == [[f"{name}@example.com"]]

        def test_restored_after_each_test():
            assert vantrel.mailer.smtplib is smtplib
    """)
    result = pytester.runpytest_subprocess("-p", "no:cacheprovider")
    result.assert_outcomes(passed=7)
