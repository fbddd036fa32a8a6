"""The capture's stand-in SMTP server: raw SMTP bytes in, replies out, and
vantrel's own engine (through its test hook) against it; then the capture's
_connect and the transport it returns."""

import base64
import re
import ssl

import pytest

import vantrel.session as session_module
from vantrel._smtp import Engine
from vantrel.testing import _StandInServer, capture

EHLO = b"EHLO client.test\r\n"


def b64(data):
    return base64.b64encode(data)


def codes(replies):
    """The code of each reply (the last line of a multi-line one)."""
    return [int(line[:3]) for line in replies.split(b"\r\n") if line[3:4] == b" "]


def opened(outbox=None, **kwargs):
    server = _StandInServer("mx.test", 587, **kwargs)
    assert server.feed(b"").startswith(b"220 mx.test ")
    return server


@pytest.fixture
def outbox():
    with capture() as box:
        yield box


# ---------------------------------------------------------------------------
# Raw SMTP.

def test_ehlo_offers_what_submission_servers_offer(outbox):
    server = opened()
    reply = server.feed(EHLO).decode()
    assert reply.startswith("250-mx.test\r\n") and reply.endswith(
        "250 AUTH PLAIN LOGIN XOAUTH2 OAUTHBEARER\r\n")
    for keyword in ("PIPELINING", "SIZE", "8BITMIME", "SMTPUTF8", "CHUNKING", "STARTTLS"):
        assert f"250-{keyword}\r\n" in reply


def test_a_pipelined_group_is_answered_in_order_and_the_text_unstuffed(outbox):
    outbox.refuse_recipient("gone@x.test")
    server = opened()
    group = (EHLO + b"MAIL FROM:<a@x.test> SIZE=40 BODY=8BITMIME\r\nRCPT TO:<b@x.test>\r\n"
             b"RCPT TO:<gone@x.test>\r\nRCPT TO:<c@x.test>\r\nDATA\r\n")
    # Split anywhere: the replies do not depend on how the bytes arrive.
    replies = b"".join(server.feed(group[i:i + 7]) for i in range(0, len(group), 7))
    assert codes(replies) == [250, 250, 250, 550, 250, 354]
    assert server.feed(b"Subject: s\r\n\r\n..one\r\n..\r\n...\r\n") == b""
    assert codes(server.feed(b".\r\nQUIT\r\n")) == [250, 221]
    assert server.closed and server.feed(b"NOOP\r\n") == b""
    (sent,) = outbox
    assert (sent.mail_from, sent.rcpt_tos) == ("a@x.test", ["b@x.test", "c@x.test"])
    assert sent.text == "Subject: s\r\n\r\n.one\r\n.\r\n..\r\n"
    assert (sent.host, sent.port, sent.mode, sent.username, sent.mechanism) == (
        "mx.test", 587, "plain", None, None)


def test_bdat_chunks_up_to_last_are_one_message(outbox):
    server = opened()
    server.feed(EHLO)
    replies = server.feed(b"MAIL FROM:<a@x.test>\r\nRCPT TO:<b@x.test>\r\nBDAT 9\r\n"
                          b"Subject: ")
    replies += server.feed(b"BDAT 9 LAST\r\nx\r\n\r\n.b\r\n")
    assert codes(replies) == [250, 250, 250, 250]
    assert outbox[0].text == "Subject: x\r\n\r\n.b\r\n"  # no dots removed from chunks
    # A chunk without a recipient is read all the same, then refused.
    assert codes(server.feed(b"MAIL FROM:<a@x.test>\r\nBDAT 6 LAST\r\nRSET\r\nNOOP\r\n")) == [
        250, 554, 250]


@pytest.mark.parametrize("commands, expected", [
    (b"MAIL FROM:<a@x.test>\r\n", [503]),  # no EHLO yet
    (EHLO + b"RCPT TO:<b@x.test>\r\n", [250, 503]),
    (EHLO + b"MAIL FROM:<a@x.test>\r\nDATA\r\n", [250, 250, 554]),  # no recipient
    (EHLO + b"MAIL FROM:<a@x.test>\r\nMAIL FROM:<a@x.test>\r\n", [250, 250, 503]),
    (EHLO + b"MAIL FROM:<a@x.test> FROBNICATE\r\n", [250, 555]),
    (b"HELO client.test\r\nMAIL FROM:<a@x.test> SIZE=3\r\n", [250, 555]),  # no ESMTP
    (EHLO + b"MAIL FROM:<a@x.test\r\n", [250, 501]),
    (EHLO + "MAIL FROM:<å@x.test>\r\n".encode(), [250, 553]),
    (EHLO + "MAIL FROM:<a@x.test>\r\nRCPT TO:<å@x.test>\r\n".encode(), [250, 250, 553]),
    (EHLO + "MAIL FROM:<å@x.test> SMTPUTF8\r\nRCPT TO:<å@x.test>\r\n".encode(), [250, 250, 250]),
    (EHLO + b"AUTH CRAM-MD5\r\n", [250, 504]),
    (EHLO + b"VRFY ann\r\n\r\nRSET\r\nNOOP\r\n", [250, 502, 500, 250, 250]),
    (EHLO + b"STARTTLS now\r\n", [250, 501]),
])
def test_what_a_server_refuses(outbox, commands, expected):
    assert codes(opened().feed(commands)) == expected


def test_a_non_ascii_address_without_smtputf8_is_refused_as_a_server_words_it(outbox):
    server = opened()
    reply = server.feed(EHLO + "MAIL FROM:<å@x.test>\r\n".encode()).split(b"\r\n")[-2]
    assert reply == b"553 5.6.7 Must declare SMTPUTF8 to send unicode address"


@pytest.mark.parametrize("steps, user", [
    ([b"AUTH PLAIN " + b64(b"\0ann\0pw")], "ann"),
    ([b"AUTH PLAIN", b64(b"z\0ann\0pw")], "ann"),
    ([b"AUTH LOGIN", b64(b"ann"), b64(b"pw")], "ann"),
    ([b"AUTH LOGIN " + b64(b"ann"), b64(b"pw")], "ann"),
    ([b"AUTH XOAUTH2 " + b64(b"user=ann\x01auth=Bearer tok\x01\x01")], "ann"),
    ([b"AUTH OAUTHBEARER " + b64(b"n,a=a=2Cnn,\x01host=mx\x01auth=Bearer tok\x01\x01")], "a,nn"),
], ids=["plain", "plain-challenge", "login", "login-initial", "xoauth2", "oauthbearer"])
def test_each_mechanism_signs_in_and_is_recorded(outbox, steps, user):
    server = opened()
    server.feed(EHLO)
    replies = [server.feed(step + b"\r\n") for step in steps]
    assert [codes(r) for r in replies] == [[334]] * (len(steps) - 1) + [[235]]
    server.feed(b"MAIL FROM:<a@x.test>\r\nRCPT TO:<b@x.test>\r\nBDAT 3 LAST\r\nx\r\n")
    mechanism = steps[0].split()[1].decode()
    assert (outbox[0].username, outbox[0].mechanism) == (user, mechanism)
    assert codes(server.feed(b"AUTH PLAIN " + b64(b"\0ann\0pw") + b"\r\n")) == [503]


@pytest.mark.parametrize("mechanism, response, answer, status", [
    ("XOAUTH2", b"user=ann\x01auth=Bearer old\x01\x01", b"", "401"),
    ("OAUTHBEARER", b"n,a=ann,\x01auth=Bearer old\x01\x01", b64(b"\x01"), "invalid_token"),
])
def test_a_refused_token_gets_the_providers_failure_flow_once(outbox, mechanism, response,
                                                              answer, status):
    outbox.refuse_token(message="5.7.8 token expired")
    server = opened()
    server.feed(EHLO)
    auth = f"AUTH {mechanism} ".encode() + b64(response) + b"\r\n"
    challenge = server.feed(auth)
    assert challenge.startswith(b"334 ")
    assert f'"status":"{status}"' in base64.b64decode(challenge[4:]).decode()
    assert server.feed(answer + b"\r\n") == b"535 5.7.8 token expired\r\n"
    assert codes(server.feed(auth)) == [235]  # a new token (or the same) goes through


def test_refuse_login_refuses_every_mechanism_and_a_421_closes(outbox):
    outbox.refuse_login()
    server = opened()
    server.feed(EHLO)
    assert server.feed(b"AUTH PLAIN " + b64(b"\0ann\0pw") + b"\r\n") == (
        b"535 5.7.8 Authentication credentials invalid\r\n")
    assert codes(server.feed(b"AUTH XOAUTH2 " + b64(b"user=a\x01auth=Bearer t\x01\x01") +
                             b"\r\n")) == [535]
    assert codes(server.feed(b"AUTH LOGIN\r\n*\r\n")) == [334, 501]
    outbox.refuse_sender(code=421, message="4.3.2 Shutting down")
    assert server.feed(b"MAIL FROM:<a@x.test>\r\nNOOP\r\n") == b"421 4.3.2 Shutting down\r\n"
    assert server.closed


@pytest.mark.parametrize("implicit", [True, False], ids=["ssl", "starttls"])
def test_tls_only_where_a_server_expects_the_handshake(outbox, implicit):
    server = _StandInServer("mx.test", 465 if implicit else 587)
    if implicit:
        server.start_tls()
        assert b"STARTTLS" not in server.feed(b"") + server.feed(EHLO)
    else:
        server.feed(b"")
        with pytest.raises(ssl.SSLError):  # the greeting was read: no implicit TLS now
            server.start_tls()
        assert codes(server.feed(EHLO + b"STARTTLS\r\nNOOP\r\n")) == [250, 220]  # NOOP dropped
        server.start_tls()
        assert codes(server.feed(b"MAIL FROM:<a@x.test>\r\n")) == [503]  # EHLO again first
        assert b"STARTTLS" not in server.feed(EHLO)
    server.feed(b"MAIL FROM:<a@x.test>\r\nRCPT TO:<b@x.test>\r\nBDAT 3 LAST\r\nx\r\n")
    assert outbox[0].mode == ("ssl" if implicit else "starttls")
    with pytest.raises(ssl.SSLError):
        server.start_tls()


def test_a_server_needs_a_capture_and_ends_with_it():
    with pytest.raises(RuntimeError, match="no vantrel.testing capture is active"):
        _StandInServer()
    with capture() as outbox:
        outbox.disconnect()
        with pytest.raises(ConnectionRefusedError):
            _StandInServer()
        server = opened()
    assert server.closed and server.feed(EHLO) == b"" and len(outbox) == 0


# ---------------------------------------------------------------------------
# vantrel's engine against the server.

def converse(engine, server):
    """Writes what the engine writes, feeds it what the server answers; returns
    the events and the number of groups the engine wrote."""
    events, groups = [], 0
    engine.receive(server.feed(b""))
    while True:
        out = engine.output()
        batch = engine.events()
        events += batch
        if any(e["kind"] == "tls_ready" for e in batch):
            server.start_tls()
            engine.tls_established()
            continue
        if any(e["kind"] in ("closed", "protocol_error") for e in batch):
            return events, groups
        if not out:
            raise AssertionError(f"the engine waits for ever: {events}")
        groups += 1
        reply = server.feed(out)
        engine.receive(reply) if reply or not server.closed else engine.receive_eof()


TEXTS = [b"Subject: one\r\n\r\nplain\r\n", b"Subject: dots\n\n.\n..x\n.",
         b"Subject: long\r\n\r\n" + b"y" * 998 + b"\r\n"]


@pytest.mark.parametrize("chunking", [True, False], ids=["bdat", "data"])
@pytest.mark.parametrize("starttls", [True, False], ids=["starttls", "plain"])
def test_the_engine_pipelines_against_the_server(outbox, chunking, starttls):
    outbox.refuse_recipient("gone@x.test")
    engine = Engine(chunking=chunking)
    engine.hello("client.test")
    if starttls:
        engine.starttls()
    engine.login("ann", "secret")
    tags = [engine.send("a@x.test", ["b@x.test", "gone@x.test"], text) for text in TEXTS]
    engine.quit()
    events, groups = converse(engine, _StandInServer("mx.test", 587))
    accepted = [e for e in events if e["kind"] == "accepted"]
    assert [e["tag"] for e in accepted] == tags
    assert all(e["recipients"][1][0] == 550 for e in accepted)
    assert [m.text.encode() for m in outbox] == [
        re.sub(rb"\r\n|\r|\n", b"\r\n", text).removesuffix(b"\r\n") + b"\r\n" for text in TEXTS]
    assert {(m.rcpt_tos[0], m.username, m.mechanism, m.mode) for m in outbox} == {
        ("b@x.test", "ann", "PLAIN", "starttls" if starttls else "plain")}
    # EHLO, (STARTTLS, EHLO,) AUTH, then the messages in groups: with DATA,
    # each text goes with the next envelope; with BDAT, one group each.
    assert groups == (3 if starttls else 1) + 1 + (4 if not chunking else 3) + (1 if chunking else 0)


def test_the_engine_sees_refusals_and_a_421_as_from_a_server(outbox):
    outbox.refuse_sender("bad@x.test")
    outbox.refuse_recipient("b@x.test", code=421, message="4.7.0 try later")
    engine = Engine()
    engine.hello("client.test")
    first = engine.send("bad@x.test", ["c@x.test"], TEXTS[0])
    second = engine.send("a@x.test", ["c@x.test", "b@x.test"], TEXTS[0])
    events, _ = converse(engine, _StandInServer("mx.test", 25))
    outcomes = {e["tag"]: e for e in events if e["kind"] in ("refused", "lost", "not_sent")}
    assert outcomes[first]["command"] == "MAIL" and outcomes[first]["reply"][0] == 553
    assert outcomes[second]["kind"] in ("refused", "lost", "not_sent")
    assert events[-1]["kind"] == "closed" and len(outbox) == 0


# ---------------------------------------------------------------------------
# The capture's _connect and its transport.

UNSET = object()


@pytest.mark.parametrize("before", ["absent", "own"])
def test_the_capture_rebinds_connect_only_where_there_is_one(monkeypatch, before):
    own = object()
    if before == "own":
        monkeypatch.setattr(session_module, "_connect", own, raising=False)
    else:
        monkeypatch.delattr(session_module, "_connect", raising=False)
    with capture():
        bound = getattr(session_module, "_connect", UNSET)
        with capture():  # each capture binds a _connect of its own
            inner = getattr(session_module, "_connect", UNSET)
        assert getattr(session_module, "_connect", UNSET) is bound
    assert getattr(session_module, "_connect", UNSET) is (own if before == "own" else UNSET)
    if before == "own":
        assert callable(bound) and bound is not inner and bound is not own
    else:
        assert bound is inner is UNSET


def test_captures_ending_out_of_order_restore_connect(monkeypatch):
    own = object()
    monkeypatch.setattr(session_module, "_connect", own, raising=False)
    first, second = capture(), capture()
    first.__enter__()
    second.__enter__()
    bound = session_module._connect
    first.__exit__(None, None, None)
    assert session_module._connect is bound
    second.__exit__(None, None, None)
    assert session_module._connect is own


def test_the_transport_follows_the_seam(monkeypatch):
    monkeypatch.setattr(session_module, "_connect", object(), raising=False)
    with capture() as outbox:
        outbox.disconnect()
        with pytest.raises(ConnectionRefusedError) as refused:
            session_module._connect("mx.test", 465, 5.0)
        assert refused.value.args == (111, "Connection refused")
        transport = session_module._connect("mx.test", 465, 5.0)
        transport.start_tls(ssl.create_default_context(), "mx.test")  # before the greeting
        assert transport.pending() and transport.recv().startswith(b"220 ")
        assert not transport.pending()
        with pytest.raises(TimeoutError):  # a server with nothing to say
            transport.recv()
        transport.send(EHLO + b"MAIL FROM:<a@x.test>\r\nRCPT TO:<b@x.test>\r\n"
                              b"BDAT 3 LAST\r\nx\r\n")
        assert codes(transport.recv()) == [250, 250, 250, 250]
        assert outbox[0].mode == "ssl" and outbox[0].port == 465
        idle = session_module._connect("mx.test", 25, None)
        transport.send(b"QUIT\r\n")
        assert transport.recv() == b"221 2.0.0 Bye\r\n" and transport.recv() == b""
        with pytest.raises(BrokenPipeError):
            transport.send(b"NOOP\r\n")
        transport.close()
        with pytest.raises(OSError):
            transport.recv()
    # Its capture over, a connection reads as closed by the server.
    assert idle.pending() and idle.recv().startswith(b"220 ") and idle.recv() == b""
    idle.abandon()
