"""send and send_template: whole messages through a real server in every
encryption mode, then the order in which they drive the private steps (through
a subclass, since there the order is the point)."""

import email
import email.policy
import re
from datetime import datetime
from unittest.mock import ANY

import jinja2
import pytest

from vantrel.mailer import EasyMailer
from vantrel.session import Session

TO, TO2, CC, BCC, BCC2 = ("to@example.com", "to2@example.org", "cc@example.net",
                          "hidden@example.com", "hidden2@example.org")
DEFAULT_SENDER = "noreply@example.com"
PDF = bytes(range(256)) * 40
STAMP = re.compile(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\Z")


def parse(raw):
    return email.message_from_bytes(raw, policy=email.policy.default)


def outline(part):
    if part.is_multipart():
        return (part.get_content_type(), [outline(p) for p in part.iter_parts()])
    return part.get_content_type()


def attached(msg):
    return [(p.get_filename(), p.get_content_type(), p.get_payload(decode=True))
            for p in msg.iter_attachments()]


def assert_blind(raw, *hidden):
    """Blind copies reach the envelope only: no header of any part names them."""
    for part in parse(raw).walk():
        assert part["Bcc"] is None
        for value in part.values():
            assert not any(h in value for h in hidden)
    assert not any(h.encode() in raw for h in hidden)


@pytest.fixture
def templates(tmp_path):
    d = tmp_path / "templates"
    d.mkdir()
    (d / "welcome.html").write_text(
        "<h1>Hi {{ name }}</h1><p>{{ occurred_at }}</p>", encoding="utf-8")
    (d / "welcome.txt").write_text(
        "{% autoescape false %}Hi {{ name }}, at {{ occurred_at }}{% endautoescape %}",
        encoding="utf-8")
    (d / "only.txt").write_text("text only, {{ name }}", encoding="utf-8")
    return d


def test_send(server, no_leaks, tmp_path):
    report = tmp_path / "Q3 report.pdf"
    report.write_bytes(PDF)
    m = EasyMailer(**server.mailer_args, default_sender=DEFAULT_SENDER)
    with no_leaks(server):
        m.send(
            [TO, TO2], "Quarterly report ✓", body="See the attachment ✓.",
            html="<p>See the <b>attachment</b> ✓.</p>", cc=CC, bcc=[BCC, BCC2],
            sender_name="Report Bot", reply_to="replies@example.com",
            attachments=[str(report), {"filename": "raw.bin", "data": b"\x00\xff" * 3},
                         {"filename": "n.txt", "data": b"hi", "content_type": "text/x-note"}])
        m.send(TO, "Second", html="<p>only html</p>", sender="boss@example.com")

    first, second = server.messages
    assert first.mail_from == DEFAULT_SENDER
    assert first.rcpt_tos == [TO, TO2, CC, BCC, BCC2]
    msg = parse(first.data)
    assert msg["From"] == f"Report Bot <{DEFAULT_SENDER}>"
    assert (msg["To"], msg["Cc"], msg["Reply-To"]) == (f"{TO}, {TO2}", CC, "replies@example.com")
    assert msg["Subject"] == "Quarterly report ✓"
    assert msg["Date"].datetime is not None
    assert outline(msg) == ("multipart/mixed", [
        ("multipart/alternative", ["text/plain", "text/html"]),
        "application/pdf", "application/octet-stream", "text/x-note"])
    plain, html = msg.get_payload(0).iter_parts()
    assert plain.get_content() == "See the attachment ✓."
    assert html.get_content() == "<p>See the <b>attachment</b> ✓.</p>"
    assert attached(msg) == [("Q3 report.pdf", "application/pdf", PDF),
                             ("raw.bin", "application/octet-stream", b"\x00\xff" * 3),
                             ("n.txt", "text/x-note", b"hi")]
    assert_blind(first.data, BCC, BCC2)

    assert (second.mail_from, second.rcpt_tos) == ("boss@example.com", [TO])
    msg = parse(second.data)
    assert msg["From"] == "boss@example.com"
    assert outline(msg) == ("multipart/mixed", ["text/html"])
    assert msg["Cc"] is None and msg["Reply-To"] is None


def test_send_template(server, no_leaks, templates, tmp_path):
    (tmp_path / "notes.txt").write_text("notes\n")
    m = EasyMailer(**server.mailer_args, template_dir=str(templates))
    context = {"name": "Tom & Jerry"}
    before = datetime.now().strftime("%Y-%m-%d %H:%M:%S")
    with no_leaks(server):
        m.send_template(TO, "Welcome {{ name }}", "welcome", context, cc=[CC], bcc=BCC,
                        attachments=[str(tmp_path / "notes.txt")])
        m.send_template([TO2], "Plain {{ name }}", "only", {"name": "<x>"})
    after = datetime.now().strftime("%Y-%m-%d %H:%M:%S")

    stamp = context["occurred_at"]  # set on the caller's own dict
    assert STAMP.match(stamp) and before <= stamp <= after
    first, second = server.messages
    assert (first.mail_from, first.rcpt_tos) == (m.username, [TO, CC, BCC])
    msg = parse(first.data)
    # every template escapes, the subject included
    assert msg["Subject"] == "Welcome Tom &amp; Jerry"
    assert outline(msg) == ("multipart/mixed", [
        ("multipart/alternative", ["text/plain", "text/html"]), "text/plain"])
    plain, html = msg.get_payload(0).iter_parts()
    assert plain.get_content() == f"Hi Tom & Jerry, at {stamp}"
    assert html.get_content() == f"<h1>Hi Tom &amp; Jerry</h1><p>{stamp}</p>"
    assert attached(msg) == [("notes.txt", "text/plain", b"notes\n")]
    assert_blind(first.data, BCC)

    assert second.rcpt_tos == [TO2]
    msg = parse(second.data)
    assert msg["Subject"] == "Plain &lt;x&gt;"
    assert outline(msg) == ("multipart/mixed", ["text/plain"])
    assert msg.get_payload(0).get_content() == "text only, &lt;x&gt;"


NAMED = {"to": ["Bøb Ström <bob@example.test>", "ann@example.test"],
         "cc": "Åsa Öberg <asa@example.test>", "reply_to": "Support Ü <help@example.test>"}


@pytest.mark.parametrize("via", ["mailer", "session"])
def test_non_ascii_display_names_on_the_wire(smtp_server, via):
    server = smtp_server("starttls")
    m = EasyMailer(**server.mailer_args)
    if via == "mailer":
        m.send(subject="S", body="b", **NAMED)
    else:
        with Session(m) as session:
            session.send(subject="S", body="b", **NAMED)
    [received] = server.messages
    assert received.rcpt_tos == ["bob@example.test", "ann@example.test", "asa@example.test"]
    lines = received.data.splitlines()
    assert b"To: =?utf-8?b?QsO4YiBTdHLDtm0=?= <bob@example.test>, ann@example.test" in lines
    assert b"Cc: =?utf-8?b?w4VzYSDDlmJlcmc=?= <asa@example.test>" in lines
    assert b"Reply-To: =?utf-8?q?Support_=C3=9C?= <help@example.test>" in lines
    msg = parse(received.data)
    assert [(a.display_name, a.addr_spec) for a in msg["To"].addresses] == [
        ("Bøb Ström", "bob@example.test"), ("", "ann@example.test")]
    assert str(msg["Cc"]) == NAMED["cc"] and str(msg["Reply-To"]) == NAMED["reply_to"]


# --- the order of the private steps ------------------------------------------

class Spy(EasyMailer):
    """Records the private steps and reads of default_sender, in order."""

    calls = None
    fail = None

    def __getattribute__(self, name):
        calls = object.__getattribute__(self, "calls")
        if calls is not None and name == "default_sender":
            calls.append(("read", name))
        return object.__getattribute__(self, name)

    def _step(self, name, args, kwargs, result=None):
        self.calls.append((name, args, kwargs))
        if self.fail == name:
            raise RuntimeError(name)
        return result

    def _build_message(self, *args, **kwargs):
        return self._step("_build_message", args, kwargs, self.built)

    def _collect_recipients(self, *args, **kwargs):
        return self._step("_collect_recipients", args, kwargs,
                          EasyMailer._collect_recipients(*args, **kwargs))

    def _do_send(self, *args, **kwargs):
        return self._step("_do_send", args, kwargs)


@pytest.fixture
def spy(templates):
    s = Spy("smtp.example.com", 465, "user@example.com", "pw",
            default_sender=DEFAULT_SENDER, template_dir=str(templates))
    s.built = object()
    s.calls = []
    return s


@pytest.mark.parametrize("sender", [None, "", "boss@example.com"])
def test_send_steps(spy, sender):
    cc, attachments = [CC], []
    assert spy.send(TO, "S", "text", "<p>html</p>", cc, BCC, sender, "Name",
                    attachments, "r@example.com") is None
    build, collect, *rest = spy.calls
    assert build[:2] == ("_build_message", ())
    assert list(build[2].items()) == [
        ("to", TO), ("subject", "S"), ("body", "text"), ("html", "<p>html</p>"),
        ("cc", cc), ("sender", sender), ("sender_name", "Name"),
        ("attachments", attachments), ("reply_to", "r@example.com")]
    assert build[2]["cc"] is cc and build[2]["attachments"] is attachments
    assert collect == ("_collect_recipients", (TO, cc, BCC), {})
    envelope = sender or DEFAULT_SENDER
    reads = [] if sender else [("read", "default_sender")]
    assert rest == reads + [("_do_send", (spy.built, [TO, CC, BCC], envelope), {})]


@pytest.mark.parametrize("fail, reached", [
    ("_build_message", ["_build_message"]),
    ("_collect_recipients", ["_build_message", "_collect_recipients"]),
])
def test_send_stops_at_the_first_failure(spy, fail, reached):
    spy.fail = fail
    with pytest.raises(RuntimeError, match=fail):
        spy.send(TO, "S", body="text")
    assert [c[0] for c in spy.calls] == reached


class Engine:
    """Passes calls on to the real engine and records them."""

    def __init__(self, real, calls):
        self.real, self.calls = real, calls

    def __getattr__(self, name):
        def call(*args, **kwargs):
            self.calls.append((name, args, kwargs))
            return getattr(self.real, name)(*args, **kwargs)
        return call


@pytest.fixture
def template_spy(spy):
    def send(*args, **kwargs):
        spy.calls.append(("send", args, kwargs))
    spy.send = send  # looked up on the instance
    spy._template_engine = Engine(spy._template_engine, spy.calls)
    return spy


@pytest.mark.parametrize("context, keeps", [
    (None, False), ({}, False), ({"name": "Ann"}, True),
    ({"name": "Ann", "occurred_at": "yesterday"}, True)])
def test_send_template_steps(template_spy, context, keeps):
    s = template_spy
    cc, bcc, attachments = [CC], (BCC,), []
    given = dict(context or {})
    assert s.send_template(TO, "Hi {{ name }} {{ occurred_at }}", "welcome", context, cc,
                           bcc, "me@example.com", "Me", attachments, "r@example.com") is None
    html, text, subject, send = s.calls
    used = html[1][1]
    assert html == ("render", ("welcome.html", used), {})
    assert text == ("render", ("welcome.txt", used), {})
    assert subject == ("render_string", ("Hi {{ name }} {{ occurred_at }}", used), {})
    assert text[1][1] is used and subject[1][1] is used
    assert (used is context) == keeps  # so the caller sees the stamp
    assert keeps or context in (None, {})
    if "occurred_at" in given:
        assert used["occurred_at"] == "yesterday"
    else:
        assert STAMP.match(used["occurred_at"])
    assert used == {**given, "occurred_at": used["occurred_at"]}

    name = used.get("name", "")
    assert send[:2] == ("send", ())
    assert list(send[2].items()) == [
        ("to", TO), ("subject", f"Hi {name} {used['occurred_at']}"),
        ("body", f"Hi {name}, at {used['occurred_at']}"),
        ("html", f"<h1>Hi {name}</h1><p>{used['occurred_at']}</p>"),
        ("cc", cc), ("bcc", bcc), ("sender", "me@example.com"), ("sender_name", "Me"),
        ("attachments", attachments), ("reply_to", "r@example.com")]
    assert send[2]["bcc"] is bcc and send[2]["attachments"] is attachments


@pytest.mark.parametrize("name, body, html", [
    ("only", "text only, ", None), ("empty", "", None)])  # rendering to nothing is no miss
def test_send_template_missing_templates(template_spy, templates, name, body, html):
    (templates / "empty.txt").write_text("{# nothing #}")
    template_spy.send_template(TO, "S", name)
    assert [c[1][0] for c in template_spy.calls[:2]] == [name + ".html", name + ".txt"]
    kwargs = template_spy.calls[-1][2]
    assert (kwargs["body"], kwargs["html"]) == (body, html)


class SendWatch(Spy):
    def __getattribute__(self, name):
        if name == "send":
            object.__getattribute__(self, "calls").append(("look up", "send"))
        return super().__getattribute__(name)


# A subject that does not compile shows that it was never rendered.
@pytest.mark.parametrize("name", ["missing", "welcome.html"])  # suffixes are appended all the same
def test_send_template_without_either_template(template_spy, name):
    template_spy.__class__ = SendWatch
    with pytest.raises(jinja2.TemplatesNotFound) as info:
        template_spy.send_template(TO, "{% if %}", name)
    assert info.value.templates == [name + ".html", name + ".txt"]
    assert [c[:2] for c in template_spy.calls] == [
        ("render", (name + ".html", {"occurred_at": ANY})),
        ("render", (name + ".txt", {"occurred_at": ANY}))]


def test_session_send_template_without_either_template(smtp_server, templates):
    server = smtp_server("plain")
    with Session(EasyMailer(**server.mailer_args, template_dir=str(templates))) as session:
        with pytest.raises(jinja2.TemplatesNotFound) as info:
            session.send_template(TO, "{% if %}", "missing")
        session.send_template(TO, "Still open", "only")
    assert info.value.templates == ["missing.html", "missing.txt"]
    assert [parse(m.data)["Subject"] for m in server.messages] == ["Still open"]
    assert session.sent == 1


def test_send_template_stops_at_a_broken_template(template_spy, templates):
    (templates / "broken.html").write_text("{% if %}")
    context = {"name": "Ann"}
    with pytest.raises(jinja2.TemplateSyntaxError):
        template_spy.send_template(TO, "S", "broken", context)
    assert [c[1][0] for c in template_spy.calls] == ["broken.html"]
    assert "occurred_at" in context
