"""Sessions signing in with OAuth2 tokens: aiosmtpd servers whose XOAUTH2 and
OAUTHBEARER check each bearer token against a local token endpoint
(tests/oauth_server.py), with the refusal flow a provider runs."""

import asyncio
import json
import logging
import os
import shlex
import smtplib
import subprocess
import sys
import threading

import pytest

from conftest import USER
from network import closed_port
from oauth_server import CLIENT_ID, CLIENT_SECRET, REFRESH_TOKEN, TokenEndpoint
from vantrel import auth
from vantrel.aio import AsyncSession
from vantrel.mailer import EasyMailer
from vantrel.session import Session
from vantrel.testing import capture

SENDER = "app@example.test"
MECHANISMS = {"XOAUTH2": auth.XOAuth2, "OAUTHBEARER": auth.OAuthBearer}


@pytest.fixture
def endpoint():
    server = TokenEndpoint()
    yield server
    server.close()


def client_credentials(endpoint):
    return auth.OAuth2ClientCredentials(endpoint.url, CLIENT_ID, CLIENT_SECRET,
                                        "https://outlook.office365.com/.default")


def mailer_for(server):
    return EasyMailer(**{**server.mailer_args, "password": "", "default_sender": SENDER})


def deliver(kind, mailer, sign_in, count=1, **options):
    """Sends `count` messages through one Session or AsyncSession."""
    if kind == "session":
        with Session(mailer, auth=sign_in, **options) as session:
            for i in range(count):
                session.send(to="a@example.test", subject=f"m{i}", body="x")
        return

    async def run():
        async with AsyncSession(mailer, auth=sign_in, **options) as session:
            for i in range(count):
                await session.send(to="a@example.test", subject=f"m{i}", body="x")

    asyncio.run(run())


kinds = pytest.mark.parametrize("kind", ["session", "async"])


@kinds
@pytest.mark.parametrize("mechanism", list(MECHANISMS))
def test_sign_in_in_every_mode(smtp_server, endpoint, kind, mechanism):
    for mode in ("ssl", "starttls", "plain"):
        server = smtp_server(mode, mechanisms=(mechanism,), oauth=endpoint)
        source = client_credentials(endpoint)
        deliver(kind, mailer_for(server), MECHANISMS[mechanism](source))
        [login] = server.auths
        assert (login.mechanism, login.login, login.accepted) == (mechanism, USER, True)
        assert login.password == source.token() and len(server.messages) == 1
    assert endpoint.issued == 3


@kinds
def test_user_and_rotated_refresh_token(smtp_server, endpoint, kind):
    endpoint.rotate = True
    server = smtp_server("plain", mechanisms=("XOAUTH2",), oauth=endpoint)
    source = auth.OAuth2RefreshToken(endpoint.url, CLIENT_ID, CLIENT_SECRET, REFRESH_TOKEN)
    deliver(kind, mailer_for(server), auth.XOAuth2(source, user="shared@example.test"))
    assert [(a.login, a.accepted) for a in server.auths] == [("shared@example.test", True)]
    assert source.refresh_token == endpoint.refresh_token != REFRESH_TOKEN


@kinds
def test_expired_token_is_renewed_on_reconnect(smtp_server, endpoint, kind):
    server = smtp_server("plain", mechanisms=("OAUTHBEARER",), oauth=endpoint)
    source = client_credentials(endpoint)
    mailer = mailer_for(server)
    deliver(kind, mailer, auth.OAuthBearer(source))
    # An hour on: the endpoint no longer honours the token, and the source
    # knows that it has expired.
    endpoint.revoke()
    source._renew_at = 0.0
    deliver(kind, mailer, auth.OAuthBearer(source), count=2, max_per_connection=1)
    assert [a.accepted for a in server.auths] == [True, True, True]
    assert len({a.password for a in server.auths}) == 2 and endpoint.issued == 2
    assert len(server.messages) == 3


@kinds
@pytest.mark.parametrize("mechanism", list(MECHANISMS))
def test_revoked_token_is_refused_then_renewed_once(smtp_server, endpoint, kind, mechanism):
    server = smtp_server("starttls", mechanisms=(mechanism,), oauth=endpoint)
    source = client_credentials(endpoint)
    mailer = mailer_for(server)
    deliver(kind, mailer, MECHANISMS[mechanism](source))
    endpoint.revoke()  # before its time: the source still holds it
    deliver(kind, mailer, MECHANISMS[mechanism](source))
    assert [a.accepted for a in server.auths] == [True, False, True]
    assert endpoint.issued == 2 and len(server.messages) == 2


@kinds
def test_token_refused_twice_is_an_authentication_error(smtp_server, endpoint, kind):
    server = smtp_server("plain", mechanisms=("XOAUTH2",), oauth=endpoint)
    elsewhere = TokenEndpoint()  # its tokens mean nothing to this server
    try:
        with pytest.raises(smtplib.SMTPAuthenticationError) as raised:
            deliver(kind, mailer_for(server), auth.XOAuth2(client_credentials(elsewhere)))
        assert elsewhere.issued == 2
    finally:
        elsewhere.close()
    assert raised.value.smtp_code == 535
    assert [a.accepted for a in server.auths] == [False, False] and not server.messages


@kinds
def test_token_endpoint_down_sends_nothing(smtp_server, kind):
    server = smtp_server("plain", mechanisms=("XOAUTH2",))
    source = auth.OAuth2ClientCredentials(f"http://127.0.0.1:{closed_port()}/token",
                                          CLIENT_ID, CLIENT_SECRET, "scope")
    with pytest.raises(auth.TokenError, match="could not be reached"):
        deliver(kind, mailer_for(server), auth.XOAuth2(source))
    assert server.connections == 0 and not server.messages


def test_threads_sharing_a_source_fetch_one_token(smtp_server, endpoint):
    server = smtp_server("plain", mechanisms=("XOAUTH2",), oauth=endpoint)
    sign_in = auth.XOAuth2(client_credentials(endpoint))
    mailer = mailer_for(server)
    start = threading.Barrier(8)
    failures = []

    def worker():
        try:
            start.wait()
            deliver("session", mailer, sign_in)
        except BaseException as error:  # reported below, in the test's thread
            failures.append(error)

    threads = [threading.Thread(target=worker) for _ in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert not failures
    assert endpoint.issued == 1 and len(server.messages) == 8
    assert len({a.password for a in server.auths}) == 1


def test_async_session_fetches_off_its_event_loop(smtp_server, endpoint):
    server = smtp_server("plain", mechanisms=("XOAUTH2",), oauth=endpoint)
    real = client_credentials(endpoint)
    go = threading.Event()

    class WaitingSource:
        """Gives its token only once a task on the loop says so: fetched on
        the loop's own thread, it would wait in vain."""

        def token(self):
            assert go.wait(30)
            return real.token()

    async def run():
        loop = asyncio.get_running_loop()
        loop.call_soon(go.set)
        async with AsyncSession(mailer_for(server), auth=auth.XOAuth2(WaitingSource())) as s:
            await s.send(to="a@example.test", subject="s", body="x")

    asyncio.run(run())
    assert [a.accepted for a in server.auths] == [True]


def test_no_secret_in_logs_reprs_or_errors(smtp_server, endpoint, caplog):
    caplog.set_level(logging.DEBUG, logger="vantrel.smtp")
    caplog.set_level(logging.DEBUG, logger="vantrel.auth")
    server = smtp_server("plain", mechanisms=("XOAUTH2",), oauth=endpoint)
    source = auth.OAuth2RefreshToken(endpoint.url, CLIENT_ID, CLIENT_SECRET, REFRESH_TOKEN)
    sign_in = auth.XOAuth2(source)
    mailer = mailer_for(server)
    texts = []
    with Session(mailer, auth=sign_in) as session:
        session.send(to="a@example.test", subject="s", body="x")
        texts += [repr(session), repr(sign_in), repr(source)]
    endpoint.revoke()
    deliver("async", mailer, sign_in)  # refused, then signed in anew
    endpoint.fail = "invalid_grant"
    endpoint.revoke()
    with pytest.raises(auth.TokenError) as raised:
        deliver("session", mailer, sign_in)
    texts += [str(raised.value), repr(raised.value)]
    texts += [record.getMessage() for record in caplog.records]
    assert any("AUTH XOAUTH2" in text for text in texts)  # the trace ran
    secrets = {CLIENT_SECRET, REFRESH_TOKEN} | {a.password for a in server.auths}
    assert len(secrets) == 4  # two access tokens: the second was refused at the end
    assert not [(s, t) for s in secrets for t in texts if s in t]


@pytest.mark.parametrize("make", [Session, AsyncSession])
@pytest.mark.parametrize("wrong", ["token", auth.StaticToken("t"), 1])
def test_auth_must_be_a_mechanism(smtp_server, make, wrong):
    with pytest.raises(TypeError, match="auth must be None"):
        make(EasyMailer("127.0.0.1", 1, USER, ""), auth=wrong)


@kinds
def test_capture_rehearses_a_refused_token(kind):
    source = auth.StaticToken("rehearsal-token")
    mailer = EasyMailer(host="smtp.example.test", port=587, username=USER, password="",
                        use_ssl=False, use_tls=True, default_sender=SENDER)
    with capture() as outbox:
        outbox.refuse_token()
        deliver(kind, mailer, auth.OAuthBearer(source))
        outbox.refuse_token()
        outbox.refuse_token()
        with pytest.raises(smtplib.SMTPAuthenticationError):
            deliver(kind, mailer, auth.OAuthBearer(source))
    assert [m.mechanism for m in outbox] == ["OAUTHBEARER"]


# --- the command line ---------------------------------------------------------

def run_cli(*args, token=None):
    """The vantrel command in its own process, without a terminal and
    without a password to be had."""
    env = {k: v for k, v in os.environ.items()
           if k not in ("VANTREL_SMTP_PASSWORD", "VANTREL_SMTP_TOKEN")}
    if token is not None:
        env["VANTREL_SMTP_TOKEN"] = token
    return subprocess.run([sys.executable, "-P", "-m", "vantrel", *map(str, args)],
                          capture_output=True, text=True, env=env, stdin=subprocess.DEVNULL,
                          timeout=120)


def send_args(server, *more):
    return ["send", "--host", server.host, "--port", server.port, "--mode", server.mode,
            "--user", USER, "--to", "a@example.test", "--subject", "s", "--body", "x", *more]


@pytest.mark.parametrize("mechanism", ["xoauth2", "oauthbearer"])
@pytest.mark.parametrize("given", ["command", "variable"])
def test_command_line_signs_in_with_a_token(smtp_server, endpoint, tmp_path, mechanism, given):
    server = smtp_server("starttls", mechanisms=(mechanism.upper(),), oauth=endpoint)
    token = client_credentials(endpoint).token()
    if given == "command":
        answer = tmp_path / "answer.json"
        answer.write_text(json.dumps({"access_token": token, "expires_in": 3600}))
        helper = shlex.join([sys.executable, "-c",
                             "import sys; print(open(sys.argv[1]).read())", str(answer)])
        result = run_cli(*send_args(server, "--auth", mechanism, "--token-command", helper))
    else:
        result = run_cli(*send_args(server, "--auth", mechanism), token=token)
    assert (result.returncode, result.stderr) == (0, "")
    assert [(a.mechanism, a.login, a.password) for a in server.auths] == [
        (mechanism.upper(), USER, token)]
    assert len(server.messages) == 1 and token not in result.stdout


@pytest.mark.parametrize("args, status, words", [
    (["--auth", "xoauth2"], 2, "--auth xoauth2 needs a token: give --token-command"),
    (["--token-command", "helper"], 2, "--token-command gives a token for --auth"),
    (["--auth", "oauthbearer", "--token-command", "'unbalanced"], 2, "--token-command: "),
    (["--auth", "xoauth2", "--token", "at-123"], 2, "--token: a token is never taken"),
    (["--auth", "xoauth2", "--token-command", "/nonexistent/helper --json"], 4,
     "no token to sign in with: token command not found: /nonexistent/helper"),
    (["--auth", "xoauth2", "--token-command", f"{sys.executable} -c 'import sys; sys.exit(3)'"],
     4, "failed with status 3"),
])
def test_command_line_token_errors(smtp_server, args, status, words):
    server = smtp_server("plain", mechanisms=("XOAUTH2",))
    result = run_cli(*send_args(server, *args))
    assert result.returncode == status and words in result.stderr
    assert len(result.stderr.splitlines()) == 1 and "at-123" not in result.stderr
    assert server.connections == 0
