"""What a session adds to the messages it sends: the caller's headers,
List-Unsubscribe, a Message-ID, and a DKIM signature over the exact octets
the server receives (checked by dkimpy and by OpenDKIM)."""

import asyncio
import email
import email.policy
import email.utils
import re

import dkim as dkimpy
import pytest

from vantrel import dkim
from vantrel.aio import AsyncSession
from vantrel.mailer import EasyMailer
from vantrel.session import Session, _finished_text

from conftest import DKIM_DOMAIN as DOMAIN, DKIM_SELECTOR as SELECTOR
SENDER = "ann@example.test"


@pytest.fixture(params=["rsa-sha256", "ed25519-sha256"])
def signer(request, keys):
    return dkim.Signer(DOMAIN, SELECTOR, keys[request.param], request.param)


def dkimpy_verify(message, signer):
    record = signer.dns_record.encode()
    return dkimpy.verify(message, dnsfunc=lambda name, timeout=5: record)


def headers_of(data):
    return email.message_from_bytes(data, policy=email.policy.compat32)


@pytest.fixture
def plain(smtp_server):
    server = smtp_server("plain")
    return server, EasyMailer(**server.mailer_args)


MESSAGES = {
    "attachments": dict(html="<p>See <b>attached</b></p>", attachments=[
        {"filename": "figures.csv", "data": b"a,b\n1,2\n" * 2000},
        {"filename": "blob.bin", "data": bytes(range(256)) * 40}]),
    "non-ascii headers": dict(subject="Grüße aus Köln – ½ € ✓", sender_name="Åsa Öberg",
                              body="Ünïcödé body\n"),
    "long folded headers": dict(subject="word " * 60,
                                cc=[f"person{i}@example.test" for i in range(30)]),
    "dot lines": dict(body=".\n..leading dots\n. space\nend\n.\n"),
}


@pytest.mark.parametrize("shape", MESSAGES)
def test_sessions_sign_what_the_server_receives(plain, signer, shape):
    server, mailer = plain
    args = dict(to="bob@example.test", subject="Figures", body="Hello.\n", sender=SENDER,
                headers={"X-Campaign": "spring"}, unsubscribe="https://example.test/u/1")
    args.update(MESSAGES[shape])
    with Session(mailer, message_id=True, dkim=signer) as session:
        session.send(**args)

    async def send_async():
        async with AsyncSession(mailer, message_id=True, dkim=signer) as session:
            await session.send(**args)
    asyncio.run(send_async())
    for received in server.messages:
        data = received.data
        assert data.startswith(b"DKIM-Signature: v=1; a=" + signer.algorithm.encode())
        assert dkimpy_verify(data, signer)
        assert dkim.verify(data, signer.dns_record)
        fields = headers_of(data)
        assert fields["X-Campaign"] == "spring"
        assert fields["List-Unsubscribe-Post"] == "List-Unsubscribe=One-Click"
        h = "".join(fields["DKIM-Signature"].split()).split("h=")[1].split(";")[0].split(":")
        assert {"message-id", "list-unsubscribe", "list-unsubscribe-post"} <= set(h)
        tampered = data.replace(b"X-Campaign: spring", b"X-Campaign: autumn")
        body_tampered = data[:-2] + b"x\r\n"
        subject_tampered = re.sub(rb"Subject: .", b"Subject: !", data, count=1)
        assert not dkimpy_verify(subject_tampered, signer)
        assert dkimpy_verify(tampered, signer)  # an unsigned field may change
        assert not dkimpy_verify(body_tampered, signer)
    assert len(server.messages) == 2


def test_opendkim_passes_what_a_session_signs(postfix_dkim_server):
    key = postfix_dkim_server.dkim
    signer = dkim.Signer(key.domain, key.selector, key.private_key)
    mailer = EasyMailer(**postfix_dkim_server.mailer_args("plain"))
    with Session(mailer, message_id=True, dkim=signer) as session:
        session.send(to="bob@example.test", subject="Grüße", sender=f"ann@{key.domain}",
                     body=".dot\n" + "x" * 5000, unsubscribe=["mailto:u@example.test",
                                                           "https://example.test/u"],
                     attachments=[{"filename": "a.bin", "data": bytes(range(256)) * 30}])
    [delivery] = postfix_dkim_server.wait_for(1)
    assert delivery.dkim == "pass"
    assert delivery.sent.startswith(b"DKIM-Signature:")


def test_send_message_and_send_many_get_id_signature_and_headers(plain, signer):
    server, mailer = plain
    built = mailer._build_message(to="bob@example.test", subject="Built", body="b", html=None,
                                  cc=None, sender=SENDER, sender_name=None, attachments=None,
                                  reply_to=None)
    with Session(mailer, message_id="lists.example.test", dkim=signer) as session:
        session.send_message(built)
        session.send_message(built.as_bytes())
        results = session.send_many(
            dict(to="bob@example.test", subject=f"n{i}", body="x", sender=SENDER,
                 headers={"X-Item": str(i)}) for i in range(3))
    assert results == [None] * 3
    assert "Message-ID" not in built  # the caller's message stays as it was
    ids = set()
    for received in server.messages:
        assert dkimpy_verify(received.data, signer)
        ids.add(headers_of(received.data)["Message-ID"])
    assert len(ids) == 5 and all(i.endswith("@lists.example.test>") for i in ids)
    assert [headers_of(m.data)["X-Item"] for m in server.messages[2:]] == ["0", "1", "2"]


def test_a_capture_shows_the_headers_as_sent_and_the_signature(signer):
    from vantrel.testing import capture
    mailer = EasyMailer("smtp.example.test", 587, SENDER, "pw")
    with capture() as outbox, Session(mailer, message_id=True, dkim=signer) as session:
        session.send(to="bob@example.test", subject="x", body="y", headers={"X-Tag": "1"},
                     unsubscribe="mailto:unsubscribe@example.test")
    [sent] = outbox
    assert sent.dkim_valid(signer.dns_record)
    assert sent.message["X-Tag"] == "1"
    assert sent.message["List-Unsubscribe"] == "<mailto:unsubscribe@example.test>"
    assert sent.message["List-Unsubscribe-Post"] is None  # no one click without https


MSGID = re.compile(r"^<\d+\.\d+\.\d+@example\.test>$")


def test_message_ids_are_unique_and_of_make_msgids_form():
    mailer = EasyMailer("127.0.0.1", 25, SENDER, "pw", use_ssl=False)
    ids = set()
    for i in range(10_000):
        msg = mailer._build_message(to="b@example.test", subject="s", body="b", html=None,
                                    cc=None, sender=None, sender_name="Ann", attachments=None,
                                    reply_to=None)
        text = _finished_text(msg, "Ann <ann@example.test>", message_id=True)
        value = headers_of(text)["Message-ID"]
        assert MSGID.match(value), value
        assert email.utils.parseaddr(value)[1] == value[1:-1]
        ids.add(value)
    assert len(ids) == 10_000


def unsubscribe_fields(unsubscribe):
    mailer = EasyMailer("127.0.0.1", 25, SENDER, "pw", use_ssl=False)
    msg = mailer._build_message(to="b@example.test", subject="s", body="b", html=None, cc=None,
                                sender=None, sender_name=None, attachments=None, reply_to=None)
    fields = headers_of(_finished_text(msg, SENDER, unsubscribe=unsubscribe))
    return fields["List-Unsubscribe"], fields["List-Unsubscribe-Post"]


@pytest.mark.parametrize("unsubscribe, value, post", [
    ("https://example.test/u?id=1", "<https://example.test/u?id=1>", True),
    (["mailto:u@example.test", "https://example.test/u"],
     "<mailto:u@example.test>, <https://example.test/u>", True),
    (("mailto:u@example.test",), "<mailto:u@example.test>", False),
])
def test_unsubscribe_forms(unsubscribe, value, post):
    assert unsubscribe_fields(unsubscribe) == (
        value, "List-Unsubscribe=One-Click" if post else None)


@pytest.mark.parametrize("headers, unsubscribe, error, match", [
    ({"X-A": "one\r\nBcc: victim@example.test"}, None, ValueError, "line break"),
    ({"X-A": "one\ntwo"}, None, ValueError, "line break"),
    ({"X-A": "one\rtwo"}, None, ValueError, "line break"),
    ({"X-A": "one\u2028two"}, None, ValueError, "line break"),
    ({"X-A": "one\x85two"}, None, ValueError, "line break"),
    ({"X A": "v"}, None, ValueError, "field name"),
    ({"X-A:": "v"}, None, ValueError, "field name"),
    ({"": "v"}, None, ValueError, "field name"),
    ({"X-Ä": "v"}, None, ValueError, "field name"),
    ({"subject": "other"}, None, ValueError, "already has a subject"),
    ({"From": "mallory@example.test"}, None, ValueError, "already has a From"),
    ({"BCC": "a@example.test"}, None, ValueError, "Bcc"),
    ({"X-A": "1", "x-a": "2"}, None, ValueError, "twice"),
    ({"List-Unsubscribe": "<https://a.test>"}, "https://b.test", ValueError, "not both"),
    ({"X-A": 1}, None, TypeError, "headers"),
    (["X-A"], None, TypeError, "headers"),
    (None, "http://example.test/u", ValueError, "https:// or mailto:"),
    (None, "javascript:alert(1)", ValueError, "https:// or mailto:"),
    (None, "https://example.test/a b", ValueError, "without spaces"),
    (None, "https://example.test/>,<x", ValueError, "angle brackets"),
    (None, [], ValueError, "at least one"),
    (None, 42, TypeError, "unsubscribe"),
])
def test_bad_headers_are_refused_before_anything_is_sent(plain, headers, unsubscribe, error,
                                                          match):
    server, mailer = plain
    with Session(mailer) as session:
        with pytest.raises(error, match=match):
            session.send(to="bob@example.test", subject="s", body="b", headers=headers,
                         unsubscribe=unsubscribe)
        [result] = session.send_many([dict(to="bob@example.test", subject="s", body="b",
                                           headers=headers, unsubscribe=unsubscribe)])
        assert isinstance(result, error)
    assert server.messages == []


@pytest.mark.parametrize("arguments, error, match", [
    (dict(message_id="no domain"), ValueError, "message_id must be"),
    (dict(message_id=""), ValueError, "message_id must be"),
    (dict(message_id=1), TypeError, "message_id"),
    (dict(dkim="key.pem"), TypeError, "dkim"),
])
def test_bad_session_arguments(arguments, error, match):
    mailer = EasyMailer("127.0.0.1", 25, SENDER, "pw", use_ssl=False)
    for session_class in (Session, AsyncSession):
        with pytest.raises(error, match=match):
            session_class(mailer, **arguments)


def test_message_id_true_needs_a_sender_domain(plain):
    server, _ = plain
    mailer = EasyMailer(**{**server.mailer_args, "default_sender": "nobody"})
    with Session(mailer, message_id=True) as session:
        with pytest.raises(ValueError, match="needs a sender with a domain"):
            session.send(to="bob@example.test", subject="s", body="b")
        session.send(to="bob@example.test", subject="s", body="b", sender="a@b.test")
    assert headers_of(server.messages[0].data)["Message-ID"].endswith("@b.test>")


def test_send_template_passes_headers_on(plain, tmp_path):
    server, mailer = plain
    (tmp_path / "note.txt").write_text("Hi {{ name }}")
    mailer = EasyMailer(**server.mailer_args, template_dir=str(tmp_path))

    async def send_async():
        async with AsyncSession(mailer) as session:
            await session.send_template("bob@example.test", "s", "note", {"name": "B"},
                                        headers={"X-T": "a"}, unsubscribe="https://e.test/u")
    asyncio.run(send_async())
    with Session(mailer) as session:
        session.send_template("bob@example.test", "s", "note", {"name": "B"},
                              headers={"X-T": "b"})
    got = [headers_of(m.data) for m in server.messages]
    assert [m["X-T"] for m in got] == ["a", "b"]
    assert got[0]["List-Unsubscribe"] == "<https://e.test/u>" and not got[1]["List-Unsubscribe"]


# --- the command line ---------------------------------------------------------

@pytest.fixture
def key_files(tmp_path, keys):
    paths = {}
    for algorithm, key in keys.items():
        paths[algorithm] = tmp_path / f"{algorithm}.pem"
        paths[algorithm].write_bytes(key)
    return paths


def test_the_command_line_sends_signed_with_headers(smtp_server, key_files):
    from test_cli import run_cli, server_args
    server = smtp_server("plain")
    result = run_cli("send", *server_args(server), "--sender", SENDER, "--to", "b@example.org",
                     "--body", ".dot line\nend", "--header", "X-Campaign=spring",
                     "--header", "X-Ref = 42", "--unsubscribe", "https://example.test/u/1",
                     "--unsubscribe", "mailto:u@example.test",
                     "--dkim-key", key_files["rsa-sha256"], "--dkim-selector", SELECTOR)
    assert (result.returncode, result.stderr) == (0, "")
    [received] = server.messages
    signer = dkim.Signer(DOMAIN, SELECTOR, key_files["rsa-sha256"])
    assert dkimpy_verify(received.data, signer)
    fields = headers_of(received.data)
    assert (fields["X-Campaign"], fields["X-Ref"]) == ("spring", "42")
    assert fields["List-Unsubscribe"] == "<https://example.test/u/1>, <mailto:u@example.test>"
    assert fields["List-Unsubscribe-Post"] == "List-Unsubscribe=One-Click"
    assert MSGID.match(fields["Message-ID"])


@pytest.mark.parametrize("command", ["dry-run", "preview"])
def test_dry_run_and_preview_show_the_message_as_it_goes_out(tmp_path, key_files, command):
    from test_cli import run_cli
    signer = dkim.Signer("signing.example", "s1", key_files["ed25519-sha256"], "ed25519-sha256")
    args = ["--sender", SENDER, "--to", "b@example.org", "--body", "hi", "--header", "X-A=1",
            "--dkim-key", key_files["ed25519-sha256"], "--dkim-selector", "s1",
            "--dkim-domain", "signing.example"]
    if command == "dry-run":
        result = run_cli("send", "--dry-run", *args, password=None)
        shown = result.stdout.replace("\n", "\r\n").encode()  # read back in text mode
    else:
        result = run_cli("preview", *args, "--out", tmp_path, password=None)
        shown = (tmp_path / "message.eml").read_bytes()
    assert result.returncode == 0, result.stderr
    assert shown.startswith(b"DKIM-Signature: v=1; a=ed25519-sha256;")
    assert dkimpy_verify(shown, signer)
    assert headers_of(shown)["X-A"] == "1" and MSGID.match(headers_of(shown)["Message-ID"])
    without = run_cli("send", "--dry-run", *args[:6], "--no-message-id", password=None)
    assert without.returncode == 0 and "Message-ID" not in without.stdout


@pytest.mark.parametrize("args, words", [
    (["--header", "X-A"], ["--header X-A", "NAME=VALUE"]),
    (["--header", "X-A=1", "--header", "X-A=2"], ["given twice"]),
    (["--header", "Bcc=c@example.net"], ["Bcc"]),
    (["--header", "Subject=other"], ["already has a Subject"]),
    (["--header", "X-A=a\rb"], ["line break"]),
    (["--header", "X B=1"], ["field name"]),
    (["--unsubscribe", "http://example.test/u"], ["https:// or mailto:"]),
    (["--dkim-key", "KEY"], ["--dkim-selector"]),
    (["--dkim-selector", "s1"], ["--dkim-key"]),
    (["--dkim-domain", "example.test"], ["--dkim-domain needs"]),
    (["--dkim-key", "missing.pem", "--dkim-selector", "s1"], ["cannot read", "missing.pem: No such file"]),
    (["--dkim-key", "BAD", "--dkim-selector", "s1"], ["--dkim-key", "PEM"]),
])
def test_option_faults_are_found_before_the_password(smtp_server, key_files, tmp_path, args,
                                                     words):
    from test_cli import assert_error, run_cli, server_args
    server = smtp_server("plain")
    (tmp_path / "bad.pem").write_text("not a key")
    args = [str(key_files["rsa-sha256"]) if a == "KEY" else str(tmp_path / "bad.pem")
            if a == "BAD" else str(tmp_path / a) if a == "missing.pem" else a for a in args]
    result = run_cli("send", *server_args(server), "--sender", SENDER, "--to", "b@example.org",
                     "--body", "x", *args, password=None)
    assert result.returncode == 2, result.stderr
    assert len(result.stderr.splitlines()) == 1
    assert all(word in result.stderr for word in words), result.stderr
    assert server.connections == 0
