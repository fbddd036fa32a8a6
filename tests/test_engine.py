"""The SMTP engine through its private test hook, vantrel._smtp: scripted
server replies go in, the bytes the engine would write and its events come
out, so that every state is reached, also those a real server rarely puts a
client in.  Last, the engine against aiosmtpd through a socket driven here."""

import base64
import hashlib
import hmac
import re
import socket
import ssl

import pytest

from conftest import PASSWORD, USER
from vantrel._smtp import Engine

PLAIN_ESMTP = ("PIPELINING", "8BITMIME")  # neither CHUNKING nor SIZE: DATA as it is
TEXT = b"Subject: hi\r\n\r\nbody\r\n"


def ehlo(*extensions):
    lines = ["mx.test greets client.test", *extensions]
    return "".join(f"250{'-' if i < len(lines) - 1 else ' '}{line}\r\n"
                   for i, line in enumerate(lines)).encode()


def kinds(events):
    return [event["kind"] for event in events]


def connect(extensions=PLAIN_ESMTP, **options):
    """An engine past the greeting and EHLO, with its events taken."""
    engine = Engine(**options)
    assert engine.hello("client.test")
    assert engine.output() == b""  # nothing before the greeting
    engine.receive(b"220 mx.test ESMTP\r\n")
    assert engine.output() == b"EHLO client.test\r\n"
    engine.receive(ehlo(*extensions))
    assert [k for k in kinds(engine.events()) if k not in ("sent", "received")] == [
        "greeting", "hello"]
    return engine


def exchange(engine, *replies):
    """Feeds replies one read at a time; returns what the engine wrote after
    each (the first item: before any of them)."""
    written = [engine.output()]
    for reply in replies:
        engine.receive(reply)
        written.append(engine.output())
    return written


def final(events):
    (outcome,) = [e for e in events if e["kind"] in ("accepted", "refused", "not_sent", "lost",
                                                     "unsupported")]
    return outcome


# ---------------------------------------------------------------------------
# Replies.

@pytest.mark.parametrize("split", [1, 2, 7, None], ids=["bytes", "pairs", "sevens", "whole"])
def test_a_reply_split_anywhere_reads_as_one(split):
    engine = Engine()
    engine.hello("client.test")
    script = b"220-mx.test ESMTP\r\n220 2.0.0 ready\r\n" + ehlo("PIPELINING", "SIZE 512")
    pieces = [script] if split is None else [script[i:i + split]
                                             for i in range(0, len(script), split)]
    for piece in pieces:
        engine.receive(piece)
    events = engine.events()
    assert events[0] == {"kind": "greeting", "reply": (220, "mx.test ESMTP\n2.0.0 ready")}
    assert events[1]["kind"] == "hello"
    caps = engine.capabilities()
    assert caps["pipelining"] and caps["size"] and caps["size_limit"] == 512
    assert not caps["chunking"]


def test_many_replies_in_one_read_each_answer_their_command():
    engine = connect()
    engine.send("a@x.test", ["b@x.test", "c@x.test"], TEXT)
    assert engine.output() == (b"MAIL FROM:<a@x.test>\r\nRCPT TO:<b@x.test>\r\n"
                               b"RCPT TO:<c@x.test>\r\nDATA\r\n")
    engine.receive(b"250 2.1.0 Ok\r\n250 2.1.5 Ok\r\n550 5.1.1 no such user\r\n354 go\r\n")
    assert engine.output() == TEXT + b".\r\n"
    engine.receive(b"250 2.0.0 Ok: queued as 4F2A\r\n")
    outcome = final(engine.events())
    assert outcome == {"kind": "accepted", "tag": 1, "reply": (250, "2.0.0 Ok: queued as 4F2A"),
                       "recipients": [(250, "2.1.5 Ok"), (550, "5.1.1 no such user")]}


@pytest.mark.parametrize("garbage, words", [
    (b"hello there\r\n", "malformed reply line"),
    (b"25\r\n", "malformed reply line"),
    (b"2500 no\r\n", "malformed reply line"),
    (b"650 six\r\n", "malformed reply line"),
    (b"250-one\r\n251 two\r\n", "different codes"),
    (b"250 " + b"x" * 9000 + b"\r\n", "longer than"),
    (b"250-" + b"x" * 9000, "longer than"),  # no end in sight: no waiting for ever
    (b"250-x\r\n" * 300, "more than 256 lines"),
])
def test_a_malformed_reply_is_a_protocol_error_and_the_message_is_lost(garbage, words):
    engine = connect()
    engine.send("a@x.test", ["b@x.test"], TEXT)
    engine.output()
    engine.receive(garbage)
    events = engine.events()
    assert events[0]["kind"] == "protocol_error" and words in events[0]["detail"]
    assert final(events)["kind"] == "lost"  # its commands were written
    assert engine.output() == b""
    engine.receive(b"250 more\r\n")  # nothing is read after the error
    assert engine.events() == []


def test_a_reply_nothing_asked_for_is_a_protocol_error():
    engine = connect()
    engine.receive(b"250 unasked\r\n")
    assert engine.events() == [{"kind": "protocol_error", "detail": "reply to no command: 250 unasked"}]


def test_limits_on_reply_lines_are_options():
    engine = Engine(max_line=20, max_lines=2)
    engine.hello("c")
    engine.receive(b"220-a\r\n220-b\r\n220 c\r\n")
    assert "more than 2 lines" in engine.events()[0]["detail"]


# ---------------------------------------------------------------------------
# EHLO, HELO, STARTTLS.

def test_helo_when_ehlo_is_refused_and_no_extension_is_used():
    engine = Engine()
    engine.hello("client.test")
    written = exchange(engine, b"220 old.test\r\n", b"502 what\r\n", b"250 old.test\r\n")
    assert written[1:] == [b"EHLO client.test\r\n", b"HELO client.test\r\n", b""]
    assert kinds(engine.events()) == ["greeting", "hello"]
    assert engine.capabilities()["esmtp"] is False
    engine.send("a@x.test", ["b@x.test", "c@x.test"], TEXT)
    # Without PIPELINING one command at a time.
    assert exchange(engine, b"250 ok\r\n", b"250 ok\r\n", b"250 ok\r\n") == [
        b"MAIL FROM:<a@x.test>\r\n", b"RCPT TO:<b@x.test>\r\n", b"RCPT TO:<c@x.test>\r\n",
        b"DATA\r\n"]


def test_refused_helo_drops_what_was_queued_but_quit():
    engine = Engine()
    engine.hello("client.test")
    engine.login("u", "p")
    tag = engine.send("a@x.test", ["b@x.test"], TEXT)
    engine.quit()
    written = exchange(engine, b"220 x\r\n", b"500 no\r\n", b"501 no\r\n", b"221 bye\r\n")
    assert written[3] == b"QUIT\r\n"
    events = engine.events()
    assert kinds(events) == ["greeting", "hello_refused", "not_sent", "closed"]
    assert events[2]["tag"] == tag


@pytest.mark.parametrize("greeting", [b"554 go away\r\n", b"421 busy\r\n"])
def test_a_refused_greeting_sends_nothing_of_the_message(greeting):
    engine = Engine()
    engine.hello("client.test")
    engine.send("a@x.test", ["b@x.test"], TEXT)
    engine.receive(greeting)
    assert engine.output() == b""
    assert kinds(engine.events())[:2] == ["greeting", "not_sent"]


def test_starttls_then_ehlo_again_with_the_new_capabilities():
    engine = connect(("STARTTLS",))
    engine.starttls()
    engine.login("user", "secret")
    assert engine.output() == b"STARTTLS\r\n"
    engine.receive(b"220 go ahead\r\n")
    assert kinds(engine.events()) == ["tls_ready"]
    assert engine.output() == b""  # nothing until the driver has wrapped the transport
    engine.tls_established()
    assert engine.output() == b"EHLO client.test\r\n"
    engine.receive(ehlo("AUTH PLAIN"))
    assert kinds(engine.events()) == ["hello"]
    assert engine.capabilities()["starttls"] is False
    assert engine.output().startswith(b"AUTH PLAIN ")


@pytest.mark.parametrize("extensions, reply, expected", [
    (("STARTTLS",), b"454 4.7.0 TLS not available\r\n", ["tls_refused", "not_sent"]),
    (("STARTTLS",), b"421 closing\r\n", ["tls_refused", "not_sent", "closed"]),
    (("AUTH PLAIN",), b"421 closing\r\n", ["login_refused", "not_sent", "closed"]),
])
def test_a_refused_setup_step_sends_no_message(extensions, reply, expected):
    engine = connect(extensions)
    engine.starttls() if "STARTTLS" in extensions else engine.login("user", "secret")
    tag = engine.send("a@x.test", ["b@x.test"], TEXT)
    engine.output()
    engine.receive(reply)
    assert engine.output() == b""
    events = engine.events()
    assert kinds(events) == expected
    assert events[0]["reply"] == (int(reply[:3]), reply[4:].decode().strip())
    assert events[1]["tag"] == tag


def test_421_to_ehlo():
    engine = Engine()
    engine.hello("client.test")
    engine.receive(b"220 mx.test\r\n")
    engine.output()
    engine.receive(b"421 4.3.2 not now\r\n")
    assert kinds(engine.events()) == ["greeting", "hello_refused", "closed"]


def test_bytes_after_the_starttls_reply_are_refused():
    # Whatever came before TLS could have been put there by anyone on the way.
    engine = connect(("STARTTLS",))
    engine.starttls()
    engine.output()
    engine.receive(b"220 go ahead\r\n250 injected\r\n")
    assert kinds(engine.events()) == ["tls_ready", "protocol_error"]
    engine.tls_established()
    assert engine.output() == b""


def test_starttls_not_offered():
    engine = connect(())
    engine.starttls()
    tag = engine.send("a@x.test", ["b@x.test"], TEXT)
    assert engine.output() == b""
    assert engine.events() == [{"kind": "unsupported", "missing": "STARTTLS"},
                               {"kind": "not_sent", "tag": tag}]


# ---------------------------------------------------------------------------
# AUTH.

def b64(data):
    return base64.b64encode(data).decode()


@pytest.mark.parametrize("offered, first", [
    ("AUTH LOGIN PLAIN CRAM-MD5", b"AUTH CRAM-MD5\r\n"),
    ("AUTH LOGIN PLAIN", f"AUTH PLAIN {b64(b'\0user\0secret')}\r\n".encode()),
    ("AUTH=LOGIN", f"AUTH LOGIN {b64(b'user')}\r\n".encode()),
    ("AUTH login", f"AUTH LOGIN {b64(b'user')}\r\n".encode()),
])
def test_the_mechanism_is_chosen_in_smtplib_order(offered, first):
    engine = connect((offered,))
    engine.login("user", "secret")
    assert engine.output() == first


@pytest.mark.parametrize("challenge", [
    b"<1896.697170952@postoffice.example.net>",  # RFC 2195's
    b"<7?>\xff\xfe.1@x.test>>",  # base64 with "/" and padding
])
def test_cram_md5_answers_the_challenge(challenge):
    engine = connect(("AUTH CRAM-MD5",))
    engine.login("user", "secret")
    engine.output()
    engine.receive(f"334 {b64(challenge)}\r\n".encode())
    digest = hmac.new(b"secret", challenge, hashlib.md5).hexdigest()
    assert engine.output() == f"{b64(f'user {digest}'.encode())}\r\n".encode()
    engine.receive(b"235 2.7.0 ok\r\n")
    assert engine.events() == [{"kind": "logged_in", "command": "AUTH",
                                "reply": (235, "2.7.0 ok")}]


def test_login_sends_the_password_to_the_challenge():
    engine = connect(("AUTH LOGIN",))
    engine.login("user", "secret")
    engine.output()
    engine.receive(b"334 UGFzc3dvcmQ6\r\n")
    assert engine.output() == f"{b64(b'secret')}\r\n".encode()


def test_535_ends_the_login_at_once():
    engine = connect(("AUTH PLAIN LOGIN CRAM-MD5",))
    engine.login("user", "wrong")
    engine.send("a@x.test", ["b@x.test"], TEXT)
    engine.output()
    engine.receive(b"334 PDE+\r\n")
    engine.output()
    engine.receive(b"535 5.7.8 bad credentials\r\n")
    assert engine.output() == b""  # neither PLAIN nor LOGIN, and no MAIL
    events = engine.events()
    assert kinds(events) == ["login_refused", "not_sent"]
    assert events[0]["reply"] == (535, "5.7.8 bad credentials")


def test_another_refusal_tries_the_next_mechanism_then_reports_the_last():
    engine = connect(("AUTH PLAIN LOGIN",))
    engine.login("user", "secret")
    written = exchange(engine, b"504 not that one\r\n", b"454 try later\r\n")
    assert written[0].startswith(b"AUTH PLAIN ") and written[1].startswith(b"AUTH LOGIN ")
    assert written[2] == b""
    assert engine.events() == [{"kind": "login_refused", "command": "AUTH",
                                "reply": (454, "try later")}]


@pytest.mark.parametrize("offered, missing", [
    ((), "AUTH"),
    (("AUTH GSSAPI XOAUTH2",), "AUTH mechanism"),
])
def test_no_login_possible(offered, missing):
    engine = connect(offered)
    engine.login("user", "secret")
    assert engine.output() == b""
    assert engine.events() == [{"kind": "unsupported", "missing": missing}]


def test_a_garbled_challenge_cancels_and_the_trace_hides_secrets():
    engine = connect(("AUTH LOGIN",), trace=True)
    engine.events()
    engine.login("user", "secret")
    engine.output()
    engine.receive(b"334 !!notbase64\r\n")
    assert engine.output() == b"*\r\n"
    engine.receive(b"501 cancelled\r\n")
    sent = [e["detail"] for e in engine.events() if e["kind"] == "sent"]
    assert sent == ["AUTH LOGIN ***", "*"]


# ---------------------------------------------------------------------------
# Pipelining and refusals inside one group.

ENVELOPE = (b"MAIL FROM:<a@x.test>\r\nRCPT TO:<b@x.test>\r\nRCPT TO:<c@x.test>\r\nDATA\r\n")


@pytest.mark.parametrize("replies, then, outcome", [
    # first RCPT refused: the text goes to the other
    (b"250 ok\r\n550 no b\r\n250 ok\r\n354 go\r\n", TEXT + b".\r\n",
     {"kind": "accepted", "reply": (250, "queued"),
      "recipients": [(550, "no b"), (250, "ok")]}),
    # every RCPT refused, DATA refused: RSET
    (b"250 ok\r\n550 no b\r\n550 no c\r\n554 no valid recipients\r\n", b"RSET\r\n",
     {"kind": "refused", "command": "RCPT", "reply": (550, "no b"),
      "recipients": [(550, "no b"), (550, "no c")]}),
    # every RCPT refused and DATA accepted anyway: a lone "." and RSET
    (b"250 ok\r\n550 no b\r\n550 no c\r\n354 go\r\n", b".\r\nRSET\r\n",
     {"kind": "refused", "command": "RCPT", "reply": (550, "no b"),
      "recipients": [(550, "no b"), (550, "no c")]}),
    # DATA refused
    (b"250 ok\r\n250 ok\r\n250 ok\r\n451 4.3.0 later\r\n", b"RSET\r\n",
     {"kind": "refused", "command": "DATA", "reply": (451, "4.3.0 later"),
      "recipients": [(250, "ok"), (250, "ok")]}),
    # MAIL refused (a 552 for SIZE, say): every reply after it is awaited
    (b"552 too big\r\n503 need MAIL\r\n503 need MAIL\r\n503 need MAIL\r\n", b"RSET\r\n",
     {"kind": "refused", "command": "MAIL", "reply": (552, "too big"),
      "recipients": [(503, "need MAIL"), (503, "need MAIL")]}),
], ids=["first-rcpt", "all-rcpt", "all-rcpt-354", "data", "mail"])
def test_refusal_mixes_inside_one_group(replies, then, outcome):
    engine = connect()
    tag = engine.send("a@x.test", ["b@x.test", "c@x.test"], TEXT)
    assert engine.output() == ENVELOPE  # one group
    engine.receive(replies)
    assert engine.output() == then
    if outcome["kind"] == "accepted":
        engine.receive(b"250 queued\r\n")
    assert final(engine.events()) == {**outcome, "tag": tag}


def test_the_next_message_rides_with_the_text_and_replies_match_in_order():
    engine = connect()
    first = engine.send("a@x.test", ["b@x.test"], b"one\r\n")
    second = engine.send("a@x.test", ["c@x.test"], b"two\r\n")
    third = engine.send("a@x.test", ["d@x.test"], b"three\r\n")
    assert engine.output() == b"MAIL FROM:<a@x.test>\r\nRCPT TO:<b@x.test>\r\nDATA\r\n"
    engine.receive(b"250 ok\r\n250 ok\r\n354 go\r\n")
    # The text of the first and the commands of the second in one group.
    assert engine.output() == (b"one\r\n.\r\nMAIL FROM:<a@x.test>\r\nRCPT TO:<c@x.test>\r\n"
                               b"DATA\r\n")
    engine.receive(b"250 first queued\r\n250 ok\r\n550 no c\r\n354 go\r\n")
    # The second's recipient was refused: a lone "." and RSET, then the third.
    assert engine.output() == (b".\r\nRSET\r\nMAIL FROM:<a@x.test>\r\nRCPT TO:<d@x.test>\r\n"
                               b"DATA\r\n")
    engine.receive(b"250 ok\r\n250 reset\r\n250 ok\r\n250 ok\r\n354 go\r\n")
    assert engine.output() == b"three\r\n.\r\n"
    engine.receive(b"250 third queued\r\n")
    outcomes = [(e["kind"], e["tag"]) for e in engine.events() if e["kind"] != "text_ready"]
    assert outcomes == [("accepted", first), ("refused", second), ("accepted", third)]
    assert not engine.busy()


def test_quit_rides_after_the_last_text():
    engine = connect()
    engine.send("a@x.test", ["b@x.test"], TEXT)
    engine.quit()
    engine.output()
    engine.receive(b"250 ok\r\n250 ok\r\n354 go\r\n")
    assert engine.output() == TEXT + b".\r\nQUIT\r\n"
    engine.receive(b"250 queued\r\n221 bye\r\n")
    assert kinds(engine.events()) == ["text_ready", "accepted", "closed"]


@pytest.mark.parametrize("extensions, pipelining", [((), True), (("PIPELINING",), False)],
                         ids=["not-offered", "turned-off"])
def test_without_pipelining_one_command_at_a_time(extensions, pipelining):
    engine = connect(extensions, pipelining=pipelining)
    engine.send("a@x.test", ["b@x.test", "c@x.test"], TEXT)
    engine.send("a@x.test", ["d@x.test"], TEXT)
    written = exchange(engine, b"250 ok\r\n", b"250 ok\r\n", b"250 ok\r\n", b"354 go\r\n",
                       b"250 queued\r\n", b"550 no\r\n", b"250 reset\r\n")
    assert written == [b"MAIL FROM:<a@x.test>\r\n", b"RCPT TO:<b@x.test>\r\n",
                       b"RCPT TO:<c@x.test>\r\n", b"DATA\r\n", TEXT + b".\r\n",
                       b"MAIL FROM:<a@x.test>\r\n", b"RSET\r\n", b""]
    assert [e["kind"] for e in engine.events() if e["kind"] != "text_ready"] == [
        "accepted", "refused"]


def test_commands_in_flight_are_bounded():
    engine = connect(max_in_flight=3)
    recipients = [f"r{i}@x.test" for i in range(7)]
    engine.send("a@x.test", recipients, TEXT)
    counts = []
    for _ in range(2):
        counts.append(engine.output().count(b"\r\n"))
        engine.receive(b"250 ok\r\n" * 3)
    assert counts == [3, 3]  # MAIL and 2 RCPT, then 3 RCPT
    assert engine.output() == b"RCPT TO:<r5@x.test>\r\nRCPT TO:<r6@x.test>\r\nDATA\r\n"
    engine.receive(b"250 ok\r\n250 ok\r\n354 go\r\n")
    assert engine.output() == TEXT + b".\r\n"


def test_421_ends_the_session_and_later_messages_are_not_sent():
    engine = connect()
    first = engine.send("a@x.test", ["b@x.test"], TEXT)
    second = engine.send("a@x.test", ["c@x.test"], TEXT)
    engine.output()
    engine.receive(b"250 ok\r\n250 ok\r\n354 go\r\n")
    engine.output()  # the text of the first and the envelope of the second
    engine.receive(b"421 4.3.2 shutting down\r\n")
    events = engine.events()
    assert [(e["kind"], e.get("tag")) for e in events if e["kind"] != "text_ready"] == [
        ("refused", first), ("not_sent", second), ("closed", None)]
    assert events[1]["command"] == "text"


def test_an_unasked_421_is_the_server_closing():
    engine = connect()
    engine.receive(b"421 idle too long\r\n")
    assert engine.events() == [{"kind": "closed", "reply": (421, "idle too long")}]
    tag = engine.send("a@x.test", ["b@x.test"], TEXT)
    assert engine.events() == [{"kind": "not_sent", "tag": tag}]


def test_end_of_input_tells_written_messages_from_unwritten_ones():
    engine = connect(output_limit=10)
    first = engine.send("a@x.test", ["b@x.test"], TEXT)
    engine.output(limit=5)  # part of MAIL written
    second = engine.send("a@x.test", ["c@x.test"], TEXT)
    engine.receive_eof()
    assert [(e["kind"], e.get("tag")) for e in engine.events()] == [
        ("lost", first), ("not_sent", second), ("closed", None)]


def test_a_reply_before_the_text_is_complete_stops_everything():
    engine = connect(output_limit=1024)
    engine.send("a@x.test", ["b@x.test"], b"x" * 100_000)
    engine.output()
    engine.receive(b"250 ok\r\n250 ok\r\n354 go\r\n")
    engine.output()
    engine.receive(b"554 no thanks\r\n")
    assert kinds(engine.events()) == ["text_ready", "protocol_error", "lost"]
    assert engine.output() == b""


# ---------------------------------------------------------------------------
# The text.

@pytest.mark.parametrize("text, wire", [
    (b"a\nb\n", b"a\r\nb\r\n"),
    (b"a\rb\r", b"a\r\nb\r\n"),
    (b"a\r\n\rb", b"a\r\n\r\nb\r\n"),
    (b"a\n\r\nb\r\r\n", b"a\r\n\r\nb\r\n\r\n"),
    (b"no final line ending", b"no final line ending\r\n"),
    (b"", b"\r\n"),
    (b".\r\n", b"..\r\n"),
    (b".leading\n..two\nmid.dle\r.\rx.", b"..leading\r\n...two\r\nmid.dle\r\n..\r\nx.\r\n"),
    (b"x" * 998 + b"\r\n" + b"." + b"y" * 997, b"x" * 998 + b"\r\n.." + b"y" * 997 + b"\r\n"),
], ids=["lf", "cr", "lone-cr", "mixed", "no-eol", "empty", "dot", "dots", "998"])
@pytest.mark.parametrize("limit", [1, 3, 65536])
def test_line_endings_and_dot_stuffing_for_data(text, wire, limit):
    engine = connect(output_limit=limit)
    engine.send("a@x.test", ["b@x.test"], text)
    while engine.output(limit=limit):
        pass
    engine.receive(b"250 ok\r\n250 ok\r\n354 go\r\n")
    out = b""
    while piece := engine.output(limit=limit):
        out += piece
    assert out == wire + b".\r\n"


@pytest.mark.parametrize("text, wire", [
    (b"a\nb", b"a\r\nb\r\n"),
    (b".x\r\n", b".x\r\n"),  # no dot-stuffing with BDAT
    (b"", b"\r\n"),
])
def test_bdat_carries_the_text_unstuffed_with_its_exact_size(text, wire):
    engine = connect(("PIPELINING", "CHUNKING"))
    engine.send("a@x.test", ["b@x.test"], text)
    assert engine.output() == (b"MAIL FROM:<a@x.test>\r\nRCPT TO:<b@x.test>\r\n"
                               + f"BDAT {len(wire)} LAST\r\n".encode() + wire)
    engine.receive(b"250 ok\r\n250 ok\r\n250 2.0.0 queued\r\n")
    assert final(engine.events())["reply"] == (250, "2.0.0 queued")


def split_chunks(data):
    """The BDAT chunks of a stream: [(size, last, body)]."""
    chunks = []
    while data:
        header, _, data = data.partition(b"\r\n")
        words = header.split()
        assert words[0] == b"BDAT", header
        size = int(words[1])
        chunks.append((size, words[2:] == [b"LAST"], data[:size]))
        data = data[size:]
    return chunks


def test_a_large_message_goes_in_bounded_chunks_and_bounded_output():
    text = b"".join(b"line %06d\n" % i for i in range(50_000))  # lone LFs
    wire = text.replace(b"\n", b"\r\n")
    engine = connect(("PIPELINING", "CHUNKING", "SIZE"), chunk_size=100_000, output_limit=32_768)
    engine.send("a@x.test", ["b@x.test"], text)
    first = engine.output()
    assert first.startswith(b"MAIL FROM:<a@x.test> SIZE=%d\r\nRCPT TO:<b@x.test>\r\n" % len(wire))
    assert len(first) <= 32_768 + 100  # never the whole message at once
    stream = first[first.index(b"BDAT"):]
    while piece := engine.output():
        assert len(piece) <= 32_768 + 100
        stream += piece
    # Only the first chunk goes before the envelope's replies are in.
    assert len(split_chunks(stream)) == 1
    engine.receive(b"250 ok\r\n250 ok\r\n")
    while piece := engine.output():
        assert len(piece) <= 32_768 + 100
        stream += piece
    chunks = split_chunks(stream)
    assert [size for size, _, _ in chunks] == [100_000] * 6 + [len(wire) - 600_000]
    assert [last for _, last, _ in chunks] == [False] * 6 + [True]
    assert b"".join(body for _, _, body in chunks) == wire
    engine.receive(b"250 ok\r\n" * 6 + b"250 queued\r\n")
    assert final(engine.events())["kind"] == "accepted"


def test_no_recipient_accepted_stops_the_chunks():
    engine = connect(("PIPELINING", "CHUNKING"), chunk_size=10)
    engine.send("a@x.test", ["b@x.test"], b"x" * 50)
    out = engine.output()
    assert out.endswith(b"BDAT 10\r\n" + b"x" * 10)
    engine.receive(b"250 ok\r\n550 no\r\n")
    assert engine.output() == b"RSET\r\n"
    engine.receive(b"554 no valid recipients\r\n250 reset\r\n")
    assert final(engine.events())["command"] == "RCPT"
    assert not engine.busy()


def test_a_refused_chunk_ends_the_message_with_rset():
    engine = connect(("CHUNKING",))  # no PIPELINING: one chunk at a time
    engine.send("a@x.test", ["b@x.test"], b"x" * 25, )
    written = exchange(engine, b"250 ok\r\n", b"250 ok\r\n", b"452 disk full\r\n")
    assert written[:2] == [b"MAIL FROM:<a@x.test>\r\n", b"RCPT TO:<b@x.test>\r\n"]
    assert written[2] == b"BDAT 27 LAST\r\n" + b"x" * 25 + b"\r\n"
    assert written[3] == b"RSET\r\n"
    assert final(engine.events()) == {"kind": "refused", "tag": 1, "command": "BDAT",
                                      "reply": (452, "disk full"), "recipients": [(250, "ok")]}


# ---------------------------------------------------------------------------
# MAIL parameters: SIZE, 8BITMIME, SMTPUTF8.

@pytest.mark.parametrize("extensions, sender, text, mail", [
    (("SIZE 1000",), "a@x.test", b"abc\n", b"MAIL FROM:<a@x.test> SIZE=5"),
    (("8BITMIME",), "a@x.test", "Subject: x\n\ncaf\u00e9\n".encode(),
     b"MAIL FROM:<a@x.test> BODY=8BITMIME"),
    (("8BITMIME",), "a@x.test", TEXT, b"MAIL FROM:<a@x.test>"),
    ((), "a@x.test", "Subject: x\n\ncaf\u00e9\n".encode(), b"MAIL FROM:<a@x.test>"),
    (("8BITMIME", "SMTPUTF8"), "j\u00f6rg@x.test", TEXT,
     "MAIL FROM:<j\u00f6rg@x.test> SMTPUTF8".encode()),
    (("8BITMIME", "SMTPUTF8"), "a@x.test", "Subject: caf\u00e9\n\nx\n".encode(),
     b"MAIL FROM:<a@x.test> BODY=8BITMIME SMTPUTF8"),
    (("SMTPUTF8",), "", TEXT, b"MAIL FROM:<>"),
])
def test_mail_parameters(extensions, sender, text, mail):
    engine = connect(extensions)
    engine.send(sender, ["b@x.test"], text)
    assert engine.output().split(b"\r\n")[0] == mail


@pytest.mark.parametrize("sender, recipient, text", [
    ("j\u00f6rg@x.test", "b@x.test", TEXT),
    ("a@x.test", "b@\u00fc.test", TEXT),
    ("a@x.test", "b@x.test", "Subject: caf\u00e9\r\n\r\nx\r\n".encode()),
])
def test_smtputf8_needed_and_not_offered_sends_nothing(sender, recipient, text):
    engine = connect(("8BITMIME",))
    tag = engine.send(sender, [recipient], text)
    after = engine.send("a@x.test", ["b@x.test"], TEXT)
    assert engine.output() == b"MAIL FROM:<a@x.test>\r\n"  # only the next message
    assert engine.events() == [{"kind": "unsupported", "missing": "SMTPUTF8", "tag": tag}]
    assert after == tag + 1


@pytest.mark.parametrize("sender, recipients", [
    ("a@x.test\r\nRSET", ["b@x.test"]),
    ("a@x.test", ["b@x.test\nDATA"]),
    ("a@x.test", [""]),
    ("a@x.test", []),
])
def test_addresses_that_would_break_the_command_are_refused(sender, recipients):
    engine = connect()
    with pytest.raises(ValueError):
        engine.send(sender, recipients, TEXT)
    assert engine.output() == b""
    assert not engine.hello("bad\r\nname")


def test_reset_and_noop_report_their_replies():
    engine = connect()
    engine.reset()
    engine.noop()
    # RSET in a group, NOOP as its last command (RFC 2920).
    assert exchange(engine, b"250 reset\r\n", b"250 noop\r\n") == [b"RSET\r\nNOOP\r\n", b"", b""]
    assert engine.events() == [{"kind": "done", "command": "RSET", "reply": (250, "reset")},
                               {"kind": "done", "command": "NOOP", "reply": (250, "noop")}]


# ---------------------------------------------------------------------------
# Against aiosmtpd, through a socket driven by hand: TLS in the three modes,
# AUTH, pipelining offered or not.

def converse(engine, sock, tls_context):
    """A blocking driver: writes what the engine writes, wraps the socket when
    STARTTLS is accepted, reads when nothing is to be written, until the
    session is over.  Returns the socket and every event."""
    events = []
    while True:
        out = engine.output()
        if out:
            sock.sendall(out)
        batch = engine.events()
        events += batch
        if any(e["kind"] == "tls_ready" for e in batch):
            sock = tls_context.wrap_socket(sock, server_hostname="localhost")
            engine.tls_established()
            continue
        if any(e["kind"] in ("closed", "protocol_error") for e in batch):
            return sock, events
        if not out:
            data = sock.recv(65536)
            engine.receive(data) if data else engine.receive_eof()


def offer_pipelining(server):
    async def handle_EHLO(smtp, session, envelope, hostname, responses):
        session.host_name = hostname
        return [*responses[:-1], "250-PIPELINING", responses[-1]]
    server._controller.handler.handle_EHLO = handle_EHLO


TEXTS = [b"Subject: one\r\n\r\nplain\r\n", b"Subject: dots\n\n.\n..x\n.", b"Subject: cr\r\rlone\r",
         b"Subject: long\r\n\r\n" + b"y" * 998 + b"\r\n", b"Subject: last\r\n\r\nbye"]


@pytest.mark.parametrize("pipelining", [True, False], ids=["pipelining", "lock-step"])
def test_messages_arrive_byte_for_byte_over_one_connection(server, pipelining):
    if pipelining:
        offer_pipelining(server)
    context = ssl.create_default_context()
    sock = socket.create_connection((server.host, server.port), timeout=20)
    if server.mode == "ssl":
        sock = context.wrap_socket(sock, server_hostname="localhost")
    engine = Engine()
    engine.hello("client.test")
    if server.mode == "starttls":
        engine.starttls()
    engine.login(USER, PASSWORD)
    refused = "nobody@example.test"
    server.refuse_rcpt.add(refused)
    tags = [engine.send("from@example.test", ["to@example.test", refused], text)
            for text in TEXTS]
    engine.quit()
    sock, events = converse(engine, sock, context)
    sock.close()
    assert engine.capabilities()["pipelining"] is pipelining
    accepted = [e for e in events if e["kind"] == "accepted"]
    assert [e["tag"] for e in accepted] == tags
    assert all(e["recipients"][1][0] == 550 for e in accepted)
    assert [m.data for m in server.messages] == [
        re.sub(rb"\r\n|\r|\n", b"\r\n", text).removesuffix(b"\r\n") + b"\r\n" for text in TEXTS]
    assert [m.rcpt_tos for m in server.messages] == [["to@example.test"]] * len(TEXTS)
    assert server.auths[-1].accepted and server.quits == 1
