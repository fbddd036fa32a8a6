"""The tests' Postfix (tests/postfix.py), driven by smtplib and by hand: the
logins of each port, delivery byte for byte, its strict pipelining checks,
its refusals inside a pipelined group, BDAT, SMTPUTF8, OpenDKIM's verdicts,
and that nothing outlives it."""

import email
import os
import signal
import smtplib
import subprocess
import sys

import pytest

import postfix
from conftest import MODES, PASSWORD, USER
from vantrel.mailer import EasyMailer

RECIPIENT = "someone@example.test"

# What a round trip could spoil: a lone "." line and others that begin with
# one (dot-stuffing), a line of 998 characters, 8-bit text, a blank last line.
MESSAGE = (f"From: {USER}\r\nTo: {RECIPIENT}\r\nSubject: round trip\r\n\r\n"
           ".a line that starts with a dot\r\n..and one with two\r\n.\r\n"
           f"{'x' * 998}\r\nGrüße\r\n\r\n").encode()


def envelope(*recipients, sender=USER):
    """MAIL and RCPT lines, for a conversation by hand."""
    return b"".join([f"MAIL FROM:<{sender}>\r\n".encode(),
                     *(f"RCPT TO:<{r}>\r\n".encode() for r in recipients)])


# MESSAGE as DATA sends it: dot-stuffed, with the end-of-data line.
MESSAGE_DATA = MESSAGE.replace(b"\r\n.", b"\r\n..") + b".\r\n"


def bdat(chunk, last=False):
    return b"BDAT %d%s\r\n" % (len(chunk), b" LAST" * last) + chunk


@pytest.mark.parametrize("mechanism", ["PLAIN", "LOGIN"])
@pytest.mark.parametrize("mode", MODES)
def test_login_and_delivery_byte_for_byte(postfix_server, mode, mechanism):
    with postfix_server.connect(mode, login=False) as client:
        client.ehlo()
        client.user, client.password = USER, PASSWORD
        assert client.auth(mechanism, getattr(client, f"auth_{mechanism.lower()}"))[0] == 235
        assert client.sendmail(USER, [RECIPIENT, "other@example.test"], MESSAGE) == {}
    deliveries = postfix_server.wait_for(2)
    assert sorted(d.recipient for d in deliveries) == ["other@example.test", RECIPIENT]
    for delivery in deliveries:
        assert delivery.sent == MESSAGE
        assert delivery.sender == USER


@pytest.mark.parametrize("mode", MODES)
def test_the_mailer_delivers_with_its_settings(postfix_server, mode):
    """The mailer's own TLS context trusts the server's certificate."""
    EasyMailer(**postfix_server.mailer_args(mode)).send(
        [RECIPIENT], "Hello", body="Hi there.", sender=USER)
    [delivery] = postfix_server.wait_for(1)
    message = email.message_from_bytes(delivery.sent)
    assert (delivery.sender, delivery.recipient, message["Subject"]) == (USER, RECIPIENT, "Hello")


@pytest.mark.parametrize("mode", MODES)
def test_mail_needs_auth_and_the_right_password(postfix_server, mode):
    with postfix_server.connect(mode, login=False) as client:
        client.ehlo()
        code, text = client.mail(USER)
        assert (code, text.endswith(b"Authentication required")) == (530, True)
        with pytest.raises(smtplib.SMTPAuthenticationError) as refused:
            client.login(USER, PASSWORD + "!")
    assert refused.value.smtp_code == 535


def test_submission_port_takes_nothing_before_starttls(postfix_server):
    with smtplib.SMTP(postfix_server.host, postfix_server.ports["starttls"]) as client:
        client.ehlo()
        assert client.has_extn("starttls") and not client.has_extn("auth")
        assert client.mail(USER)[0] == 530


@pytest.mark.parametrize("before, group", [
    (None, b"EHLO client.example.test\r\n" + envelope()),  # before EHLO's reply
    ("login", b"NOOP\r\n" + envelope()),
    ("envelope", b"DATA\r\nSubject: too soon\r\n"),  # text before the 354
], ids=["after EHLO", "after NOOP", "after DATA"])
def test_pipelining_where_it_must_not_disconnects(postfix_server, before, group):
    with postfix_server.conversation("plain") as smtp:
        if before:
            smtp.login()
        if before == "envelope":
            assert [code for code, _ in smtp.send(envelope(RECIPIENT), 2)] == [250, 250]
        assert smtp.send(group) == [(554, "5.5.0 Error: SMTP protocol synchronization")]
        assert smtp.closed()


def test_pipelined_groups_where_allowed(postfix_server):
    """MAIL, the RCPTs and DATA in one write; then the text, the next
    message's MAIL and RCPT and its text as BDAT ... LAST, all in one."""
    with postfix_server.conversation("plain") as smtp:
        smtp.login()
        assert {"PIPELINING", "CHUNKING"} <= smtp.extensions
        replies = smtp.send(envelope(RECIPIENT, "other@example.test") + b"DATA\r\n", 4)
        assert [code for code, _ in replies] == [250, 250, 250, 354]
        replies = smtp.send(MESSAGE_DATA + envelope(RECIPIENT) + bdat(MESSAGE, last=True), 4)
        assert [code for code, _ in replies] == [250, 250, 250, 250]
    deliveries = postfix_server.wait_for(3)
    assert [d.sent for d in deliveries] == [MESSAGE] * 3
    queued = {text.rsplit(" ", 1)[1] for _, text in (replies[0], replies[3])}
    assert {d.queue_id for d in deliveries} == queued


def refused(command):
    return postfix.REFUSALS[command][0]


@pytest.mark.parametrize("sender, recipients, codes", [
    (USER, [refused("RCPT"), RECIPIENT], [250, 550, 250, 354]),
    (USER, [refused("RCPT later"), refused("RCPT")], [250, 450, 550, 554]),
    (refused("MAIL"), [RECIPIENT], [553, 503, 503]),
    (refused("DATA"), [RECIPIENT], [250, 250, 554]),
], ids=["first RCPT refused", "all RCPT refused", "MAIL refused", "DATA refused"])
def test_refusals_inside_one_pipelined_group(postfix_server, sender, recipients, codes):
    with postfix_server.conversation("plain") as smtp:
        smtp.login()
        replies = smtp.send(envelope(*recipients, sender=sender) + b"DATA\r\n", len(codes))
        assert [code for code, _ in replies] == codes
        if codes[-1] == 354:
            assert smtp.send(MESSAGE_DATA)[0][0] == 250
        assert smtp.send(b"RSET\r\n") == [(250, "2.0.0 Ok")]
    assert [d.recipient for d in postfix_server.wait_for(0)] == [RECIPIENT] * (codes[-1] == 354)


def test_bdat_chunks_of_a_5_mb_message(postfix_server):
    """Chunk borders fall anywhere, between a CR and its LF too."""
    body = b"".join(b".%06d %s\r\n" % (n, b"y" * 70) for n in range(5 * 1024 * 1024 // 80))
    message = MESSAGE + body
    cut, size = message.index(b"\r\n", 1_000_000) + 1, 1_000_003
    chunks = [message[:cut]] + [message[at:at + size] for at in range(cut, len(message), size)]
    with postfix_server.conversation("starttls") as smtp:
        smtp.login()
        assert postfix_server.size_limit > len(message)
        smtp.send(b"MAIL FROM:<%s> SIZE=%d\r\n" % (USER.encode(), len(message))
                  + f"RCPT TO:<{RECIPIENT}>\r\n".encode(), 2)
        for index, chunk in enumerate(chunks, 1):
            [(code, text)] = smtp.send(bdat(chunk, last=index == len(chunks)))
            assert code == 250, text
    [delivery] = postfix_server.wait_for(1)
    assert delivery.sent == message


def test_non_ascii_addresses_over_smtputf8(postfix_server):
    sender, recipient = "absender@bücher.example", "jörg@bücher.example"
    message = f"From: {sender}\r\nTo: {recipient}\r\nSubject: Grüße\r\n\r\nHallo\r\n".encode()
    with postfix_server.connect("starttls") as client:
        client.sendmail(sender, [recipient], message, mail_options=["SMTPUTF8"])
    [delivery] = postfix_server.wait_for(1)
    assert (delivery.sender, delivery.recipient, delivery.sent) == (sender, recipient, message)


@pytest.mark.parametrize("signed, tampered, verdict", [
    (True, False, "pass"), (True, True, "fail"), (False, False, "none")])
def test_opendkim_verdict(postfix_dkim_server, signed, tampered, verdict):
    dkim = pytest.importorskip("dkim")
    signer = postfix_dkim_server.dkim
    message = MESSAGE
    if signed:
        message = dkim.sign(message, signer.selector.encode(), signer.domain.encode(),
                            signer.private_key, include_headers=[b"from", b"to", b"subject"]) + message
    if tampered:
        message = message.replace(b"Gr\xc3\xbc\xc3\x9fe", b"Hallo")
    with postfix_dkim_server.connect("plain") as client:
        client.sendmail(USER, [RECIPIENT], message)
    [delivery] = postfix_dkim_server.wait_for(1)
    assert (delivery.dkim, delivery.sent) == (verdict, message)


# Starts an instance and dies without stopping it, as a crashed run would.
ABANDON = """
import os, signal, sys, trustme
sys.path.insert(0, sys.argv[1])
import postfix
server = postfix.Postfix(trustme.CA(), "user@example.test", "secret")
print(server.dir, *server.groups(), flush=True)
os.kill(os.getpid(), signal.SIGKILL)
"""


@pytest.mark.parametrize("end", ["stopped", "test process killed"])
def test_nothing_outlives_an_instance(test_ca, end):
    if reason := postfix.available():
        pytest.skip(reason)
    if end == "stopped":
        server = postfix.Postfix(test_ca, USER, PASSWORD)
        directory, groups = server.dir, server.groups()
        server.stop()
    else:
        run = subprocess.run([sys.executable, "-c", ABANDON, os.path.dirname(__file__)],
                             capture_output=True, text=True, timeout=postfix.PATIENCE)
        assert run.returncode == -signal.SIGKILL, run.stderr
        directory, *groups = run.stdout.split()
        groups = [int(group) for group in groups]
    assert len(groups) == 2  # Dovecot's and Postfix's
    postfix._wait(lambda: not any(map(postfix.group_members, groups))
                  and not os.path.exists(directory), "the instance outlived its end")
