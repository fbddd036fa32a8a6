"""DKIM signatures of vantrel.dkim, checked by an independent verifier
(dkimpy) and by vantrel's own verify(), over realistic messages."""

import base64
import email
import email.policy
import hashlib
import re

import dkim as dkimpy
import hypothesis
import pytest
from hypothesis import strategies as st

from vantrel import dkim
from vantrel.mailer import EasyMailer

from conftest import DKIM_DOMAIN as DOMAIN, DKIM_SELECTOR as SELECTOR


@pytest.fixture(params=["rsa-sha256", "ed25519-sha256"])
def signer(request, keys):
    return dkim.Signer(DOMAIN, SELECTOR, keys[request.param], request.param)


def dkimpy_verify(message, signer):
    record = signer.dns_record.encode()

    def dns(name, timeout=5):
        assert name == f"{SELECTOR}._domainkey.{DOMAIN}.".encode()
        return record

    return dkimpy.verify(message, dnsfunc=dns)


MAILER = EasyMailer("127.0.0.1", 25, "Ann <ann@example.test>", "x", use_ssl=False)


def build(**parts):
    defaults = dict(to="Bob <bob@example.test>", subject="Figures", body="Hello.\n", html=None,
                    cc=None, sender="ann@example.test", sender_name="Ann Example",
                    attachments=None, reply_to=None)
    defaults.update(parts)
    return MAILER._build_message(**defaults).as_bytes()


MESSAGES = {
    "plain": dict(),
    "attachments": dict(html="<p>See <b>attached</b></p>", attachments=[
        {"filename": "figures.csv", "data": b"a,b\n1,2\n" * 2000},
        {"filename": "blob.bin", "data": bytes(range(256)) * 40}]),
    "non-ascii headers": dict(subject="Grüße aus Köln – ½ € ✓", sender_name="Åsa Öberg",
                              body="Ünïcödé body\n"),
    "long folded headers": dict(subject="word " * 60, cc=[f"person{i}@example.test"
                                                          for i in range(30)]),
    "dot lines": dict(body=".\n..leading dots\n. space\nend\n.\n"),
    "trailing blank lines": dict(body="text\n\n\n\n"),
}


@pytest.mark.parametrize("shape", MESSAGES)
def test_dkimpy_verifies_what_vantrel_signs(signer, shape):
    signed = signer.sign(build(**MESSAGES[shape]))
    assert signed.startswith(b"DKIM-Signature: v=1; a=" + signer.algorithm.encode())
    assert dkimpy_verify(signed, signer)
    assert dkim.verify(signed, signer.dns_record)
    assert all(len(line) <= 78 for line in signed.split(b"\r\n\r\n")[0].split(b"\r\n"))


@pytest.mark.parametrize("tamper", [
    lambda m: m.replace(b"SGVsbG8uCg==", b"SGVsbG9uCg=="),     # the body
    lambda m: m.replace(b"Subject: Figures", b"Subject: Figurez"),
    lambda m: m.replace(b"\r\nFrom:", b"\r\nFrom: mallory@evil.test\r\nX-Old-From:", 1),
    lambda m: m.replace(b"\r\n\r\n", b"\r\nFrom: mallory@evil.test\r\n\r\n", 1),  # a second From
])
def test_a_tampered_message_fails_both_verifiers(signer, tamper):
    signed = signer.sign(build())
    assert dkim.verify(signed, signer.dns_record) and dkimpy_verify(signed, signer)
    bad = tamper(signed)
    assert bad != signed
    assert not dkim.verify(bad, signer.dns_record)
    assert not dkimpy_verify(bad, signer)


def test_vantrel_verifies_what_dkimpy_signs_simple_and_relaxed(keys):
    message = build(body="  spaced   text  \n\n")
    public = dkim.Signer(DOMAIN, SELECTOR, keys["rsa-sha256"]).dns_record
    for canon in ((b"simple", b"simple"), (b"relaxed", b"relaxed"), (b"relaxed", b"simple")):
        field = dkimpy.sign(message, SELECTOR.encode(), DOMAIN.encode(), keys["rsa-sha256"],
                            canonicalize=canon)
        assert dkim.verify(field + message, public), canon


def test_line_endings_are_made_crlf_before_signing(signer):
    lf = build().replace(b"\r\n", b"\n")
    signed = signer.sign(lf)
    assert b"\n" not in signed.replace(b"\r\n", b"")
    assert dkimpy_verify(signed, signer)


def test_signed_headers_are_those_present_with_from_oversigned(keys):
    signer = dkim.Signer(DOMAIN, SELECTOR, keys["ed25519-sha256"], "ed25519-sha256")
    signed = signer.sign(build(reply_to="help@example.test"))
    field = email.message_from_bytes(signed, policy=email.policy.compat32)["DKIM-Signature"]
    tags = dict(t.strip().split("=", 1) for t in "".join(field.split()).split(";") if t)
    assert tags["h"].split(":") == ["from", "to", "subject", "date", "reply-to",
                                    "mime-version", "content-type", "from"]
    assert (tags["c"], tags["d"], tags["s"]) == ("relaxed/relaxed", DOMAIN, SELECTOR)


def test_a_key_from_a_file_and_the_record_forms(tmp_path, keys):
    path = tmp_path / "dkim.pem"
    path.write_bytes(keys["rsa-sha256"])
    by_path, by_str = dkim.Signer(DOMAIN, SELECTOR, path), dkim.Signer(DOMAIN, SELECTOR, str(path))
    assert by_path.dns_record == by_str.dns_record
    assert by_path.dns_record.startswith("v=DKIM1; k=rsa; p=MII")
    assert repr(by_path) == "<Signer d=example.test s=mail2026 rsa-sha256>"


@pytest.mark.parametrize("arguments, error, match", [
    ((DOMAIN, SELECTOR, b"not a key"), ValueError, "not a PEM private key"),
    ((DOMAIN, SELECTOR, "ed25519", "rsa-sha256"), ValueError, "needs an RSA key"),
    ((DOMAIN, SELECTOR, "rsa", "ed25519-sha256"), ValueError, "needs an Ed25519 key"),
    ((DOMAIN, SELECTOR, "rsa", "rsa-sha1"), ValueError, "algorithm must be"),
    (("", SELECTOR, "rsa"), ValueError, "domain"),
    ((DOMAIN, "a;b", "rsa"), ValueError, "selector"),
    ((DOMAIN, SELECTOR, "rsa", "rsa-sha256", ["To"]), ValueError, "must include From"),
    ((DOMAIN, SELECTOR, "rsa", "rsa-sha256", ["From", "Bad Name"]), ValueError, "field name"),
    ((DOMAIN, SELECTOR, "rsa", "rsa-sha256", ["From", "DKIM-Signature"]), ValueError, "itself"),
    ((DOMAIN, SELECTOR, 42), TypeError, "private_key"),
])
def test_bad_settings_are_refused(keys, arguments, error, match):
    arguments = tuple(keys["rsa-sha256"] if a == "rsa" else keys["ed25519-sha256"]
                      if a == "ed25519" else a for a in arguments)
    with pytest.raises(error, match=match):
        dkim.Signer(*arguments)


def test_small_rsa_keys_are_refused():
    import subprocess
    small = subprocess.run(["openssl", "genpkey", "-algorithm", "RSA", "-pkeyopt",
                            "rsa_keygen_bits:768"], capture_output=True, check=True).stdout
    with pytest.raises(ValueError, match="at least 1024 bits"):
        dkim.Signer(DOMAIN, SELECTOR, small)


def test_a_signer_never_shows_or_pickles_its_key(keys):
    import pickle
    signer = dkim.Signer(DOMAIN, SELECTOR, keys["rsa-sha256"])
    with pytest.raises(TypeError, match="private key"):
        pickle.dumps(signer)
    assert "PRIVATE" not in repr(signer)


def test_verify_without_a_signature_or_with_a_wrong_key(keys, signer):
    other = dkim.Signer(DOMAIN, SELECTOR, keys["rsa-sha256"]).dns_record
    assert not dkim.verify(build(), signer.dns_record)
    signed = signer.sign(build())
    if signer.algorithm == "ed25519-sha256":
        assert not dkim.verify(signed, other)
    with pytest.raises(ValueError):
        dkim.verify(signed, "v=DKIM1; k=rsa; p=")


def test_the_outbox_checks_a_signature_of_what_was_sent(signer):
    from vantrel.testing import capture
    with capture() as outbox:
        MAILER.send(to="bob@example.test", subject="x", body="y")
    text = outbox[0].text
    assert not outbox[0].dkim_valid(signer.dns_record)
    signed = signer.sign(text.encode() if isinstance(text, str) else text)
    assert dkim.verify(signed, signer.dns_record)


def rfc_relaxed_body(body):
    """RFC 6376, 3.4.4, read plainly: runs of WSP become one space, WSP at
    line ends goes, empty lines at the end go."""
    lines = body.split(b"\r\n")[:-1]
    out = [re.sub(rb"[ \t]+", b" ", line).rstrip(b" ") for line in lines]
    while out and out[-1] == b"":
        out.pop()
    return b"".join(line + b"\r\n" for line in out)


@hypothesis.settings(max_examples=300, deadline=None)
@hypothesis.given(st.lists(st.sampled_from([b"a", b"b ", b" ", b"\t", b"\r\n", b"\r\n", b"  c"]),
                           max_size=40))
def test_the_body_hash_is_of_the_relaxed_body(keys, pieces):
    body = b"".join(pieces) + b"\r\n"
    signer = dkim.Signer(DOMAIN, SELECTOR, keys["ed25519-sha256"], "ed25519-sha256")
    signed = signer.sign(b"From: a@example.test\r\nSubject: s\r\n\r\n" + body)
    tags = "".join(signed.split(b"\r\n\r\n")[0].decode().split())
    body_hash = re.search(r"bh=([^;]+);", tags).group(1)
    assert base64.b64decode(body_hash) == hashlib.sha256(rfc_relaxed_body(body)).digest()


def test_a_signer_reports_its_settings(keys):
    signer = dkim.Signer(DOMAIN, SELECTOR, keys["ed25519-sha256"], "ed25519-sha256",
                         ["From", "Subject", "from", "X-Custom"])
    assert (signer.domain, signer.selector, signer.algorithm) == (
        DOMAIN, SELECTOR, "ed25519-sha256")
    assert signer.headers == ("from", "subject", "x-custom")  # lower case, once each
    assert dkim.Signer(DOMAIN, SELECTOR, keys["rsa-sha256"]).headers[-2:] == (
        "list-unsubscribe", "list-unsubscribe-post")
    blank = dkim.Signer.__new__(dkim.Signer)
    assert repr(blank) == "<Signer, not initialised>"
    with pytest.raises(RuntimeError, match="not been called"):
        blank.domain
