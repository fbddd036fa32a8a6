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
