"""A small OAuth2 token endpoint on 127.0.0.1 for the sign-in tests.

It implements the client-credentials and refresh-token grants of RFC 6749
with form-encoded requests and JSON answers, issues opaque tokens with a
short ``expires_in``, and remembers which tokens are valid, so that the
tests' SMTP servers can check a bearer token against it. ``fail`` makes the
next answers errors (``invalid_client``, ``invalid_grant``), ``revoke()``
withdraws every token issued so far, and ``rotate`` makes each refresh-token
grant answer with a new refresh token.
"""

import http.server
import json
import secrets
import threading
import time
import urllib.parse

CLIENT_ID = "vantrel-tests"
CLIENT_SECRET = "s3cret-client-" + "x" * 8
REFRESH_TOKEN = "refresh-" + "y" * 16


class TokenEndpoint:
    def __init__(self, expires_in=3600, rotate=False):
        self.expires_in = expires_in
        self.rotate = rotate
        self.fail = None  # "invalid_client" or "invalid_grant" for every answer
        self.requests = []  # the form of every request, as parsed
        self.refresh_token = REFRESH_TOKEN
        self._valid = {}  # token -> time of expiry (monotonic)
        self._lock = threading.Lock()
        endpoint = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                length = int(self.headers.get("Content-Length", 0))
                form = dict(urllib.parse.parse_qsl(self.rfile.read(length).decode()))
                status, answer = endpoint._answer(self.path, form)
                body = json.dumps(answer).encode()
                self.send_response(status)
                self.send_header("Content-Type", "application/json")
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *args):
                pass

        self._server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self._server.daemon_threads = True
        self._thread = threading.Thread(target=self._server.serve_forever, daemon=True)
        self._thread.start()
        self.url = f"http://127.0.0.1:{self._server.server_port}/oauth2/token"

    def close(self):
        self._server.shutdown()
        self._server.server_close()
        self._thread.join()

    def valid(self, token):
        with self._lock:
            expiry = self._valid.get(token)
        return expiry is not None and time.monotonic() < expiry

    def revoke(self):
        with self._lock:
            self._valid.clear()

    @property
    def issued(self):
        return sum(1 for form in self.requests if form.get("grant_type"))

    def _answer(self, path, form):
        with self._lock:
            self.requests.append(form)
            if path != "/oauth2/token":
                return 404, {"error": "not_found"}
            if self.fail == "invalid_client" or form.get("client_id") != CLIENT_ID or \
                    form.get("client_secret") != CLIENT_SECRET:
                return 401, {"error": "invalid_client",
                             "error_description": "Client authentication failed."}
            grant = form.get("grant_type")
            if grant == "refresh_token":
                if self.fail == "invalid_grant" or form.get("refresh_token") != self.refresh_token:
                    return 400, {"error": "invalid_grant",
                                 "error_description": "The refresh token is expired or revoked."}
            elif grant != "client_credentials":
                return 400, {"error": "unsupported_grant_type"}
            token = "at-" + secrets.token_urlsafe(18)
            self._valid[token] = time.monotonic() + self.expires_in
            answer = {"access_token": token, "token_type": "Bearer",
                      "expires_in": self.expires_in}
            if grant == "refresh_token" and self.rotate:
                self.refresh_token = "refresh-" + secrets.token_urlsafe(12)
                answer["refresh_token"] = self.refresh_token
            return 200, answer


# --- the SMTP side: SASL mechanisms that check bearer tokens ----------------

def _bearer_failure(scope="https://mail.example.test/"):
    return json.dumps({"status": "invalid_token", "schemes": "bearer", "scope": scope}).encode()


def parse_xoauth2(blob):
    """(user, token) of an XOAUTH2 initial response, or None when malformed."""
    parts = blob.split(b"\x01")
    if len(parts) != 4 or parts[2:] != [b"", b""] or not parts[0].startswith(b"user=") \
            or not parts[1].startswith(b"auth=Bearer "):
        return None
    return parts[0][5:].decode(), parts[1][12:].decode()


def parse_oauthbearer(blob):
    """(user, token) of an OAUTHBEARER initial response (RFC 7628), or None."""
    header, sep, rest = blob.partition(b"\x01")
    fields = header.split(b",")
    if not sep or len(fields) != 3 or fields[0] not in (b"n", b"y") or fields[2] != b"" \
            or not rest.endswith(b"\x01\x01"):
        return None
    user = fields[1][2:].decode() if fields[1].startswith(b"a=") else ""
    pairs = dict(pair.split(b"=", 1) for pair in rest[:-2].split(b"\x01") if b"=" in pair)
    auth = pairs.get(b"auth", b"")
    if not auth.startswith(b"Bearer "):
        return None
    return user, auth[7:].decode()


async def check_bearer(server, args, mechanism, endpoint, record):
    """One AUTH XOAUTH2 or OAUTHBEARER exchange as a provider runs it: a valid
    token signs in; a refused one gets the 334 JSON challenge, the client's
    empty (XOAUTH2) or ^A (OAUTHBEARER) answer, then 535.

    ``record(mechanism, user, token, accepted, tls)`` sees every attempt."""
    from aiosmtpd.smtp import MISSING, AuthResult
    from base64 import b64decode
    if len(args) > 1:  # ["XOAUTH2", initial response]
        try:
            blob = b64decode(args[1], validate=True)
        except ValueError:
            return AuthResult(success=False, handled=False,
                              message="501 5.5.2 Can't decode base64")
    else:
        blob = await server.challenge_auth("")
        if blob is MISSING:
            return AuthResult(success=False, handled=True)
    parsed = (parse_xoauth2 if mechanism == "XOAUTH2" else parse_oauthbearer)(blob)
    if parsed is None:
        return AuthResult(success=False, handled=False,
                          message="501 5.5.2 Malformed initial response")
    user, token = parsed
    ok = endpoint.valid(token)
    record(mechanism, user, token, ok, server.transport.get_extra_info("ssl_object") is not None)
    if ok:
        return AuthResult(success=True, auth_data=type("Login", (), {"login": user.encode()})())
    answer = await server.challenge_auth(_bearer_failure(), encode_to_b64=True)
    if answer is MISSING:
        return AuthResult(success=False, handled=True)
    return AuthResult(success=False, handled=False,
                      message="535 5.7.8 Username and Password not accepted")
