"""Token sources of vantrel.auth against a real local token endpoint."""

import logging
import sys
import threading

import pytest

from vantrel import auth
from network import closed_port
from oauth_server import CLIENT_ID, CLIENT_SECRET, REFRESH_TOKEN, TokenEndpoint


@pytest.fixture
def endpoint():
    server = TokenEndpoint()
    yield server
    server.close()


def client_credentials(endpoint, **kwargs):
    return auth.OAuth2ClientCredentials(endpoint.url, CLIENT_ID, CLIENT_SECRET,
                                        "https://outlook.office365.com/.default", **kwargs)


def refresh_source(endpoint, secret=CLIENT_SECRET):
    return auth.OAuth2RefreshToken(endpoint.url, CLIENT_ID, secret, REFRESH_TOKEN)


def test_client_credentials_grant_is_fetched_once_and_cached(endpoint):
    source = client_credentials(endpoint)
    token = source.token()
    assert endpoint.valid(token) and source.token() == token
    assert endpoint.requests == [{
        "grant_type": "client_credentials", "client_id": CLIENT_ID,
        "client_secret": CLIENT_SECRET, "scope": "https://outlook.office365.com/.default"}]


def test_a_token_near_its_expiry_and_an_invalidated_one_are_fetched_again(endpoint):
    endpoint.expires_in = 0  # already inside the renewal margin when it arrives
    source = client_credentials(endpoint)
    first, second = source.token(), source.token()
    assert first != second and endpoint.issued == 2
    endpoint.expires_in = 3600
    third = source.token()
    source.invalidate()
    assert source.token() != third and endpoint.issued == 4


def test_refresh_grant_keeps_the_rotated_refresh_token(endpoint):
    endpoint.rotate = True
    source = refresh_source(endpoint)
    source.token()
    rotated = source.refresh_token
    assert rotated == endpoint.refresh_token != REFRESH_TOKEN
    source.invalidate()
    assert endpoint.valid(source.token())  # the first refresh token would be refused now
    assert endpoint.requests[-1]["refresh_token"] == rotated


@pytest.mark.parametrize("fail, status", [("invalid_client", 401), ("invalid_grant", 400)])
def test_a_refusal_carries_the_endpoints_error_and_no_secret(endpoint, fail, status):
    endpoint.fail = fail
    with pytest.raises(auth.TokenError) as raised:
        refresh_source(endpoint).token()
    error = raised.value
    assert (error.error, error.status) == (fail, status)
    assert error.error_description and error.error_description in str(error)
    assert error.__cause__ is None and error.__suppress_context__
    for secret in (CLIENT_SECRET, REFRESH_TOKEN):
        assert secret not in str(error) and secret not in repr(error)


def test_an_endpoint_that_is_down_is_a_token_error():
    source = auth.OAuth2ClientCredentials(f"http://127.0.0.1:{closed_port()}/token",
                                          CLIENT_ID, CLIENT_SECRET, "scope")
    with pytest.raises(auth.TokenError, match="could not be reached"):
        source.token()


def test_threads_sharing_a_source_fetch_one_token(endpoint):
    source = client_credentials(endpoint)
    start = threading.Barrier(8)
    tokens = []

    def worker():
        start.wait()
        tokens.append(source.token())

    threads = [threading.Thread(target=worker) for _ in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert len(set(tokens)) == 1 and len(tokens) == 8 and endpoint.issued == 1


def test_no_secret_in_logs_or_reprs(endpoint, caplog):
    caplog.set_level(logging.DEBUG, logger="vantrel.auth")
    endpoint.rotate = True
    sources = [client_credentials(endpoint), refresh_source(endpoint),
               auth.StaticToken("static-token-value")]
    tokens = [source.token() for source in sources]
    mechanisms = [auth.XOAuth2(sources[0], "me@example.test"), auth.OAuthBearer(sources[1])]
    shown = caplog.text + "".join(repr(x) for x in sources + mechanisms)
    assert "fetched a token" in caplog.text
    for secret in [CLIENT_SECRET, REFRESH_TOKEN, sources[1].refresh_token, *tokens]:
        assert secret not in shown


def test_command_output_plain_or_json(tmp_path):
    plain = auth.TokenCommand([sys.executable, "-c", "print('tok-1'); print('ignored')"])
    assert plain.token() == "tok-1"
    as_json = auth.TokenCommand(
        [sys.executable, "-c", "print('{\"access_token\": \"tok-2\", \"expires_in\": 3600}')"])
    assert as_json.token() == "tok-2"


@pytest.mark.parametrize("argv, message", [
    ([sys.executable, "-c", "import sys; print('tok'); sys.exit('no session open')"],
     "failed with status 1: no session open"),
    (["/nonexistent/token-helper"], "not found"),
    ([sys.executable, "-c", "print('')"], "gave no access token"),
])
def test_a_failing_command_says_why_without_its_output(argv, message):
    with pytest.raises(auth.TokenError, match=message) as raised:
        auth.TokenCommand(argv).token()
    assert "tok\n" not in str(raised.value)


@pytest.mark.parametrize("make", [
    lambda: auth.TokenCommand("helper --token"),
    lambda: auth.StaticToken(""),
    lambda: auth.XOAuth2(object()),
    lambda: auth.OAuthBearer(auth.StaticToken("t"), user=""),
    lambda: auth.OAuth2RefreshToken("https://x.test/t", "id", "s", None),
])
def test_wrong_arguments_are_type_errors(make):
    with pytest.raises(TypeError):
        make()


def test_sources_refuse_pickling():
    import pickle
    with pytest.raises(TypeError, match="holds secrets"):
        pickle.dumps(auth.StaticToken("t"))


# --- the tests' SMTP servers speak both mechanisms as providers do ---------

def xoauth2(user, token):
    return f"user={user}\x01auth=Bearer {token}\x01\x01"


def oauthbearer(user, token):
    return f"n,a={user},\x01host=localhost\x01port=25\x01auth=Bearer {token}\x01\x01"


@pytest.mark.parametrize("mechanism, initial, failure_answer", [
    ("XOAUTH2", xoauth2, ""), ("OAUTHBEARER", oauthbearer, "\x01")])
def test_test_servers_check_tokens_with_the_failure_flow(smtp_server, endpoint, mechanism,
                                                         initial, failure_answer):
    import smtplib
    server = smtp_server("plain", mechanisms=(mechanism,), oauth=endpoint)
    good = client_credentials(endpoint).token()
    challenges = []

    def answer(token):
        def step(challenge=None):
            if challenge is None:
                return initial("mailer@example.test", token)
            challenges.append(challenge)
            return failure_answer
        return step

    with smtplib.SMTP(server.host, server.port) as client:
        client.ehlo()
        with pytest.raises(smtplib.SMTPAuthenticationError) as refused:
            client.auth(mechanism, answer("revoked"))
        assert refused.value.smtp_code == 535
        assert client.auth(mechanism, answer(good))[0] == 235
    assert b'"status": "invalid_token"' in challenges[0]
    assert [(a.mechanism, a.login, a.accepted) for a in server.auths] == [
        (mechanism, "mailer@example.test", False), (mechanism, "mailer@example.test", True)]


def test_cached_says_whether_token_would_fetch(endpoint):
    source = client_credentials(endpoint)
    assert source.cached() is None and endpoint.issued == 0
    token = source.token()
    assert source.cached() == token
    source.invalidate()
    assert source.cached() is None and endpoint.issued == 1
