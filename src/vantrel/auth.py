"""OAuth2 sign-in for sessions and the command line: token sources and the
SASL mechanisms that carry their tokens.

A token source gives an access token with ``token()`` and keeps it until
shortly before it expires; ``invalidate()`` drops it, so that the next
``token()`` fetches a new one (a session calls it when the server refused the
token). Sources are safe to share between threads and sessions: one fetch
serves every thread that asked for a token meanwhile.

    source = OAuth2ClientCredentials(
        "https://login.microsoftonline.com/TENANT/oauth2/v2.0/token",
        client_id, client_secret, "https://outlook.office365.com/.default")
    Session(mailer, auth=XOAuth2(source))

No token, secret or refresh token is ever written to a log line, a ``repr``
or an exception message.
"""

import json
import logging
import threading
import time
import urllib.parse

# subprocess and urllib.request are imported where a token is fetched: the
# sessions import this module, and most programs never sign in with a token.

__all__ = [
    "TokenError", "StaticToken", "TokenCommand", "OAuth2ClientCredentials",
    "OAuth2RefreshToken", "XOAuth2", "OAuthBearer",
]

log = logging.getLogger("vantrel.auth")

# A token is fetched again this long before the end of its life, so that a
# login that starts just before expiry does not present a token that dies on
# the way; short lifetimes keep at least a tenth of theirs.
_EARLY = 60.0


class TokenError(Exception):
    """A token could not be had: the endpoint refused (``error`` and
    ``error_description`` are its own), could not be reached, or a token
    command failed. Never carries a secret."""

    def __init__(self, message, error=None, error_description=None, status=None):
        super().__init__(message)
        self.error = error
        self.error_description = error_description
        self.status = status


class _Source:
    """What every source shares: the cache, its lock and the expiry rule."""

    def __init__(self):
        self._lock = threading.Lock()
        self._token = None
        self._renew_at = 0.0

    def token(self):
        """The access token, fetched when none is held or it is about to expire."""
        with self._lock:
            if self._token is None or time.monotonic() >= self._renew_at:
                token, lifetime = self._fetch()
                if not isinstance(token, str) or not token:
                    raise TokenError(f"{self._what()} gave no access token")
                self._token = token
                self._renew_at = time.monotonic() + _usable_for(lifetime)
            return self._token

    def cached(self):
        """The access token held when ``token()`` would give it without
        fetching, else None. Never waits: a fetch under way counts as none
        held, so that an event loop can ask it and run ``token()`` elsewhere."""
        if not self._lock.acquire(blocking=False):
            return None
        try:
            if self._token is None or time.monotonic() >= self._renew_at:
                return None
            return self._token
        finally:
            self._lock.release()

    def invalidate(self):
        """Forget the token held, so that the next ``token()`` fetches one."""
        with self._lock:
            self._token = None

    def _fetch(self):
        """A new (token, lifetime in seconds or None)."""
        raise NotImplementedError

    def _what(self):
        return type(self).__name__

    def __reduce__(self):
        raise TypeError(f"cannot pickle a {type(self).__name__}: it holds secrets")


def _usable_for(lifetime):
    if lifetime is None:
        return float("inf")
    lifetime = float(lifetime)
    return max(lifetime - _EARLY, lifetime * 0.9, 0.0)


class StaticToken(_Source):
    """A token given once, used as it is (for instance one your application
    already obtained); refreshing is up to you."""

    def __init__(self, token):
        super().__init__()
        if not isinstance(token, str) or not token:
            raise TypeError("StaticToken() needs the token as a non-empty str")
        self._static = token

    def _fetch(self):
        return self._static, None

    def __repr__(self):
        return "<StaticToken>"


class TokenCommand(_Source):
    """Runs a command and reads the token from its standard output, as
    credential helpers work. The output is the token on its own (its first
    line, kept for ``max_age`` seconds), or a JSON object with
    ``access_token`` and ``expires_in`` as a token endpoint answers."""

    def __init__(self, argv, *, timeout=30.0, max_age=300.0):
        super().__init__()
        if isinstance(argv, (str, bytes)) or not argv:
            raise TypeError("TokenCommand() needs the command as a list of arguments")
        self.argv = [str(a) for a in argv]
        self.timeout = timeout
        self.max_age = max_age

    def _fetch(self):
        import subprocess

        try:
            done = subprocess.run(self.argv, stdin=subprocess.DEVNULL, capture_output=True,
                                  timeout=self.timeout, check=False)
        except FileNotFoundError:
            raise TokenError(f"token command not found: {self.argv[0]}") from None
        except subprocess.TimeoutExpired:
            raise TokenError(f"token command {self.argv[0]} did not finish within "
                             f"{self.timeout:g} s") from None
        except OSError as error:
            raise TokenError(f"token command {self.argv[0]} could not run: "
                             f"{error.strerror}") from None
        if done.returncode != 0:
            # Its error output may be shown: a helper writes its diagnostics
            # there, and the token only ever to standard output.
            detail = done.stderr.decode("utf-8", "replace").strip().splitlines()
            raise TokenError(f"token command {self.argv[0]} failed with status "
                             f"{done.returncode}" + (f": {detail[-1]}" if detail else ""))
        output = done.stdout.decode("utf-8", "replace").strip()
        if output.startswith("{"):
            try:
                answer = json.loads(output)
            except ValueError:
                raise TokenError(f"token command {self.argv[0]} wrote JSON that "
                                 "does not parse") from None
            return _token_of(answer, self._what())
        log.debug("token command %s gave a token", self.argv[0])
        return (output.splitlines()[0] if output else ""), self.max_age

    def _what(self):
        return f"token command {self.argv[0]}"

    def __repr__(self):
        return f"<TokenCommand {self.argv[0]!r}>"


class _Endpoint(_Source):
    """A token endpoint of RFC 6749: a form POST answered with JSON."""

    def __init__(self, token_url, client_id, client_secret, scope, timeout):
        super().__init__()
        for name, value in (("token_url", token_url), ("client_id", client_id)):
            if not isinstance(value, str) or not value:
                raise TypeError(f"{type(self).__name__}() needs {name} as a non-empty str")
        if urllib.parse.urlsplit(token_url).scheme not in ("https", "http"):
            raise ValueError("token_url must be an https:// (or http://) URL")
        self.token_url = token_url
        self.client_id = client_id
        self._client_secret = client_secret
        self.scope = scope
        self.timeout = timeout

    def _grant(self, fields):
        import urllib.error
        import urllib.request

        form = dict(fields, client_id=self.client_id)
        if self._client_secret:
            form["client_secret"] = self._client_secret
        if self.scope:
            form["scope"] = self.scope
        request = urllib.request.Request(
            self.token_url, data=urllib.parse.urlencode(form).encode("ascii"),
            headers={"Content-Type": "application/x-www-form-urlencoded",
                     "Accept": "application/json"}, method="POST")
        where = self._where()
        try:
            with urllib.request.urlopen(request, timeout=self.timeout) as response:
                body = response.read()
        except urllib.error.HTTPError as error:
            body = error.read()
            error.close()
            answer = _json_or_none(body)
            code = answer.get("error") if isinstance(answer, dict) else None
            text = answer.get("error_description") if isinstance(answer, dict) else None
            message = f"token endpoint {where} refused with HTTP {error.code}"
            if code:
                message += f": {code}" + (f" ({text})" if text else "")
            raise TokenError(message, code, text, error.code) from None
        except (urllib.error.URLError, OSError) as error:
            reason = getattr(error, "reason", error)
            raise TokenError(f"token endpoint {where} could not be reached: {reason}") from None
        answer = _json_or_none(body)
        if not isinstance(answer, dict):
            raise TokenError(f"token endpoint {where} answered with something that is "
                             "not a JSON object")
        log.debug("fetched a token from %s", where)
        return answer

    def _where(self):
        # The endpoint without its query string, which could hold a secret.
        parts = urllib.parse.urlsplit(self.token_url)
        return urllib.parse.urlunsplit((parts.scheme, parts.netloc, parts.path, "", ""))

    def _what(self):
        return f"token endpoint {self._where()}"

    def __repr__(self):
        return f"<{type(self).__name__} {self._where()} client_id={self.client_id!r}>"


def _json_or_none(body):
    try:
        return json.loads(body.decode("utf-8"))
    except (ValueError, UnicodeDecodeError):
        return None


def _token_of(answer, what):
    token = answer.get("access_token")
    if not isinstance(token, str) or not token:
        raise TokenError(f"{what} gave no access token")
    lifetime = answer.get("expires_in")
    try:
        lifetime = float(lifetime) if lifetime is not None else None
    except (TypeError, ValueError):
        lifetime = None
    return token, lifetime


class OAuth2ClientCredentials(_Endpoint):
    """The client-credentials grant (RFC 6749, 4.4): an application signs in
    as itself, as Microsoft 365 apps do for SMTP."""

    def __init__(self, token_url, client_id, client_secret, scope, *, timeout=30.0):
        super().__init__(token_url, client_id, client_secret, scope, timeout)

    def _fetch(self):
        return _token_of(self._grant({"grant_type": "client_credentials"}), self._what())


class OAuth2RefreshToken(_Endpoint):
    """The refresh-token grant (RFC 6749, 6), for delegated access as Google
    and Microsoft give it. A new refresh token in the endpoint's answer
    replaces the old one; read ``refresh_token`` to store it."""

    def __init__(self, token_url, client_id, client_secret, refresh_token, scope=None, *,
                 timeout=30.0):
        super().__init__(token_url, client_id, client_secret, scope, timeout)
        if not isinstance(refresh_token, str) or not refresh_token:
            raise TypeError("OAuth2RefreshToken() needs refresh_token as a non-empty str")
        self._refresh_token = refresh_token

    @property
    def refresh_token(self):
        """The refresh token in use: the one given, or the newest the endpoint sent."""
        with self._lock:
            return self._refresh_token

    def _fetch(self):
        answer = self._grant({"grant_type": "refresh_token",
                              "refresh_token": self._refresh_token})
        rotated = answer.get("refresh_token")
        if isinstance(rotated, str) and rotated and rotated != self._refresh_token:
            self._refresh_token = rotated
            log.debug("the token endpoint rotated the refresh token")
        return _token_of(answer, self._what())


class _Mechanism:
    """A SASL mechanism that signs in with a token from ``source`` as
    ``user`` (the mailer's username when None)."""

    name = ""

    def __init__(self, source, user=None):
        if not callable(getattr(source, "token", None)):
            raise TypeError(f"{type(self).__name__}() needs a token source "
                            "(an object with a token() method)")
        if user is not None and (not isinstance(user, str) or not user):
            raise TypeError(f"{type(self).__name__}() needs user as a non-empty str or None")
        self.source = source
        self.user = user

    def __repr__(self):
        who = f" user={self.user!r}" if self.user else ""
        return f"<{type(self).__name__} {self.source!r}{who}>"


class XOAuth2(_Mechanism):
    """XOAUTH2, as Google and Microsoft name it."""

    name = "XOAUTH2"


class OAuthBearer(_Mechanism):
    """OAUTHBEARER (RFC 7628)."""

    name = "OAUTHBEARER"
