"""A scripted SMTP server behind Session's transport seam, in this process: a
plain module with no test dependencies, so that tests/refleak/run.py can
import it too.  ``scripted(**behaviour)`` makes a class to bind as
vantrel.session._connect; its class attributes script the server."""


class ScriptedTransport:
    """A transport as Session's _connect gives it, whose far end is a small
    scripted SMTP server.  Class attributes script it; `log` keeps what
    happened, and `opened` and `closed` count transports."""
    pipelining = True
    busy_after = fail_login = fail_quit = fail_close = hang_up_after = None
    failure = None
    log = []

    opened = closed = 0

    def __init__(self, host, port, timeout):
        if self.failure == "connect":
            raise ConnectionRefusedError("scripted")
        type(self).opened += 1
        self.replies, self.buffer, self.in_text, self.count = [b"220 ready\r\n"], b"", False, 0

    def send(self, data):
        self.buffer += data
        while True:
            if self.in_text:
                if self.failure == "unknown" and self.buffer:
                    raise OSError("lost")
                end = self.buffer.find(b"\r\n.\r\n")
                if end < 0:
                    return
                self.buffer, self.in_text = self.buffer[end + 5:], False
                self.count += 1
                self.log.append("text")
                if self.failure == "answered":
                    self.replies.append(b"554 no\r\n")
                    continue
                self.replies.append(b"250 queued as 1\r\n")
                if self.hang_up_after is not None and self.count >= self.hang_up_after:
                    self.replies.append(b"")
                continue
            line, crlf, rest = self.buffer.partition(b"\r\n")
            if not crlf:
                return
            self.buffer = rest
            self.replies.append(self.answer(line.split(b" ")[0].upper()))

    def answer(self, command):
        self.log.append(command.decode())
        if command == b"EHLO":
            extensions = b"250-PIPELINING\r\n" if self.pipelining else b""
            return b"250-fake\r\n" + extensions + b"250-STARTTLS\r\n250 AUTH PLAIN LOGIN\r\n"
        if command == b"STARTTLS":
            return b"220 go ahead\r\n"
        if command == b"AUTH":
            return b"535 no\r\n" if self.fail_login else b"235 ok\r\n"
        if command == b"MAIL" and self.busy_after is not None and self.count >= self.busy_after:
            type(self).failure = self.failure_after_busy
            return b"421 busy\r\n"
        if command == b"DATA":
            self.in_text = True
            return b"354 go\r\n"
        if command == b"QUIT":
            if self.fail_quit:
                raise OSError("quit")
            return b"221 bye\r\n"
        if command == b"REENTER":
            return b"500 what\r\n"
        return b"250 ok\r\n"

    failure_after_busy = None

    def recv(self):
        if self.failure == "reentrant" and "text" not in self.log:
            type(self).failure = None
            try:
                self.session.send("a", "again")
            finally:
                type(self).failure = "reentrant"
        return self.replies.pop(0) if self.replies else b""

    def pending(self):
        return bool(self.replies)

    def start_tls(self, context, server_hostname):
        self.log.append("start_tls")

    def close(self):
        type(self).closed += 1
        self.log.append("close")
        if self.fail_close:
            raise OSError("close")

    def abandon(self):
        type(self).closed += 1
        self.log.append("abandon")


def scripted(**behaviour):
    return type("Scripted", (ScriptedTransport,), dict(behaviour, log=[]))
