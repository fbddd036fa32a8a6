"""The SMTP engine against a model server that answers at random, as servers
may: every message ends exactly once, the server holds exactly the messages
the engine reports accepted (byte for byte), the engine never writes where
RFC 2920 says it must wait, and it never stops while it still waits for
something the server has already said."""

import random
import re

from hypothesis import event as statistic, given, settings
from hypothesis import strategies as st

from vantrel._smtp import Engine

GROUP_ENDS = {"EHLO", "HELO", "AUTH", "AUTH-RESPONSE", "DATA", "NOOP", "QUIT"}


class Violation(AssertionError):
    pass


def unstuff(body):
    body = body.replace(b"\r\n..", b"\r\n.")
    return body[1:] if body.startswith(b"..") else body


class ModelServer:
    """Reads what the engine writes and answers each command from `rng`,
    keeping the state a real server keeps."""

    def __init__(self, rng, pipelining, chunking):
        self.rng = rng
        self.extensions = ["SIZE 100000", "8BITMIME", "AUTH PLAIN LOGIN"]
        if rng.random() < 0.5:
            self.extensions.append("SMTPUTF8")
        if pipelining:
            self.extensions.append("PIPELINING")
        if chunking:
            self.extensions.append("CHUNKING")
        self.pipelining = pipelining
        self.inbox = []       # the texts accepted, in order
        self.buffer = b""
        self.mode = "command"  # or "data", or "bdat" with `left` octets
        self.left = 0
        self.text = b""
        self.undelivered = 0   # replies written that the engine has not read in full
        self.waiting_on = None  # a group-ending command whose reply is not delivered
        self.closed = False
        self.senders = []  # every MAIL FROM read
        self.reset()

    def reset(self):
        self.sender = None
        self.recipients = 0
        self.failed = False  # a BDAT failed: RSET needed

    def reply(self, code, text="ok"):
        self.out.append(b"%d %s\r\n" % (code, text.encode()))

    def pick(self, *weighted):
        codes, weights = zip(*weighted)
        return self.rng.choices(codes, weights)[0]

    def feed(self, data):
        """The engine's output; returns the replies it provokes."""
        self.out = []
        self.buffer += data
        while self.buffer and not self.closed:
            if self.mode == "data":
                end = self.buffer.find(b"\r\n.\r\n") if self.text or not self.buffer.startswith(
                    b".\r\n") else -2
                if end == -1:
                    self.text, self.buffer = self.text + self.buffer, b""
                    # Keep a possible terminator's start for the next read.
                    cut = max(0, len(self.text) - 4)
                    self.text, self.buffer = self.text[:cut], self.text[cut:]
                    break
                if end == -2:
                    body, self.buffer = b"", self.buffer[3:]
                else:
                    body, self.buffer = self.text + self.buffer[:end + 2], self.buffer[end + 5:]
                    self.text = b""
                self.mode = "command"
                self.end_of_text(unstuff(body))
                continue
            if self.mode == "bdat":
                take = self.buffer[:self.left]
                self.buffer = self.buffer[len(take):]
                self.text += take
                self.left -= len(take)
                if self.left:
                    break
                self.mode = "command"
                self.end_of_chunk()
                continue
            line, sep, rest = self.buffer.partition(b"\r\n")
            if not sep:
                break
            self.buffer = rest
            self.command(line.decode("utf-8", "surrogateescape"))
        replies = b"".join(self.out)
        return replies

    def check_may_write(self, verb):
        if self.undelivered and not self.pipelining:
            raise Violation(f"{verb} written before the last reply was read, without pipelining")
        if self.waiting_on:
            raise Violation(f"{verb} written before the reply to {self.waiting_on} was read")

    def drops(self):
        """Whether the connection breaks here, with no reply."""
        if self.rng.random() < 0.02:
            self.closed = True
        return self.closed

    def command(self, line):
        verb = line.split(" ", 1)[0].upper()
        if verb == "MAIL":
            self.senders.append(line.split("<")[1].split(">")[0])
        if self.drops():
            return
        if self.auth_step:
            verb = "AUTH-RESPONSE"
        else:
            self.check_may_write(verb)
        before = len(self.out)
        if verb == "EHLO":
            lines = ["model.test", *self.extensions]
            self.out.append("".join(f"250{'-' if i < len(lines) - 1 else ' '}{x}\r\n"
                                    for i, x in enumerate(lines)).encode())
        elif verb == "AUTH" or verb == "AUTH-RESPONSE":
            code = self.pick((235, 6), (535, 1), (334, 2), (504, 1), (421, 1))
            if code == 334:
                self.reply(334, "UGFzc3dvcmQ6")
            else:
                self.reply(code)
            self.auth_step = code == 334
            self.authed = code == 235
        elif verb == "MAIL":
            if self.sender is not None or self.failed:
                raise Violation("MAIL inside a transaction")
            code = self.pick((250, 8), (552, 1), (451, 1), (421, 1))
            if code == 250:
                self.sender = line
            self.reply(code)
        elif verb == "RCPT":
            code = self.pick((250, 6), (251, 1), (550, 3), (421, 1))
            if self.sender is None:
                code = 503
            self.recipients += code in (250, 251)
            self.reply(code)
        elif verb == "DATA":
            if self.sender is None or not self.recipients:
                # Some servers answer 354 all the same.
                code = self.pick((554, 3), (354, 1))
                self.lone = True
            else:
                code = self.pick((354, 8), (451, 1), (421, 1))
                self.lone = False
            if code == 354:
                self.mode = "data"
            self.reply(code)
        elif verb == "BDAT":
            words = line.split()
            self.left = int(words[1])
            self.last = words[2:] == ["LAST"]
            self.mode = "bdat" if self.left else "command"
            self.text = b""
            if not self.left:
                self.end_of_chunk()
        elif verb == "RSET":
            self.reset()
            self.reply(250)
        elif verb == "NOOP":
            self.reply(250)
        elif verb == "QUIT":
            self.reply(221, "bye")
            self.closed = True
        else:
            raise Violation(f"unknown command {line!r}")
        self.after_reply(verb, before)

    def after_reply(self, verb, before):
        if len(self.out) > before:
            self.undelivered += len(self.out) - before
            if verb in GROUP_ENDS:
                self.waiting_on = verb
            if self.out[-1].startswith(b"421"):
                self.closed = True

    def end_of_text(self, body):
        if self.rng.random() < 0.02:
            # Broken after the text: taken or not, the client cannot know.
            if self.rng.random() < 0.5 and not self.lone:
                self.inbox.append(body)
            self.closed = True
            return
        if self.lone:
            if body:
                raise Violation("a text went after DATA though no recipient was accepted")
            self.reply(554, "no valid recipients")
        else:
            code = self.pick((250, 8), (554, 1), (421, 1))
            if code == 250:
                self.inbox.append(body)
            self.reply(code)
        self.reset()
        self.undelivered += 1
        if self.out[-1].startswith(b"421"):
            self.closed = True

    def end_of_chunk(self):
        self.chunks = getattr(self, "chunks", b"") + self.text
        if self.failed or self.sender is None or not self.recipients:
            self.failed = True
            code = 554
        else:
            code = self.pick((250, 12), (552, 1)) if not self.last else self.pick(
                (250, 8), (554, 1), (421, 1))
        if code != 250:
            self.failed = True
        elif self.last:
            self.inbox.append(self.chunks)
        if self.last or self.failed:
            self.chunks = b""
        if self.last and code == 250:
            self.reset()
        self.reply(code)
        self.undelivered += 1
        if code == 421:
            self.closed = True

    def delivered(self, count):
        self.undelivered -= count
        if self.undelivered == 0:
            self.waiting_on = None

    auth_step = False
    authed = False


def wire_form(text):
    """The text as the engine must send it: CRLF endings, a final CRLF."""
    text = re.sub(rb"\r\n|\r|\n", b"\r\n", text)
    return text if text.endswith(b"\r\n") else text + b"\r\n"


PIECES = [b"a", b".", b"..", b"\r", b"\n", b"\r\n", b"x" * 300, "\u00e9".encode()]


# Every choice comes from one seed, so that the examples spread evenly over the
# combinations of options, server offers and replies.
@settings(max_examples=500, deadline=None, derandomize=True, database=None)
@given(seed=st.integers(0, 2**64))
def test_the_engine_against_a_random_server(seed):
    rng = random.Random(seed)
    pipelining, chunking, turn_off, login = (rng.random() < 0.5 for _ in range(4))
    messages = [(rng.randint(1, 4), b"".join(rng.choices(PIECES, k=rng.randint(0, 12))))
                for _ in range(rng.randint(1, 6))]
    output_limit = rng.choice([1, 7, 64, 4096])
    chunk_size = rng.choice([1, 5, 100, 1 << 20])
    max_in_flight = rng.choice([1, 2, 100])
    server = ModelServer(rng, pipelining, chunking)
    engine = Engine(pipelining=not turn_off, chunk_size=chunk_size, output_limit=output_limit,
                    max_in_flight=max_in_flight)
    server.pipelining = pipelining and not turn_off
    engine.hello("client.test")
    if login:
        engine.login("user", "secret")
    texts_by_tag = {}
    for count, text in messages:
        tag = engine.send(f"m{len(texts_by_tag) + 1}@x.test",
                          [f"r{i}@x.test" for i in range(count)], text)
        assert tag == len(texts_by_tag) + 1
        texts_by_tag[tag] = text
    engine.quit()

    ends = {}
    replies = b"220 model.test\r\n"
    server.undelivered = 1
    for _ in range(100_000):
        # The replies reach the engine in random pieces.
        while replies:
            cut = rng.randint(1, len(replies))
            piece, replies = replies[:cut], replies[cut:]
            engine.receive(piece)
        server.delivered(server.undelivered)
        for event in engine.events():
            if event["kind"] in ("accepted", "refused", "not_sent", "lost", "unsupported"):
                assert event["tag"] not in ends, f"two outcomes for {event['tag']}"
                ends[event["tag"]] = event["kind"]
        out = engine.output(limit=rng.choice([1, 50, -1]))
        if server.closed and not out:
            engine.receive_eof()
            break
        if not out:
            # Nothing to write and nothing to read: the engine must be done.
            assert not engine.busy(), "the engine waits for a reply that is not coming"
            break
        replies = server.feed(out)
    for event in engine.events():
        if event["kind"] in ("accepted", "refused", "not_sent", "lost", "unsupported"):
            assert event["tag"] not in ends
            ends[event["tag"]] = event["kind"]

    for kind in sorted(set(ends.values())):
        statistic(kind)
    assert sorted(ends) == sorted(texts_by_tag), "every message ends exactly once"
    # In order: what was accepted is in the inbox, what was lost may be.
    inbox = iter(server.inbox)
    held = next(inbox, None)
    for tag in sorted(ends):
        if held == wire_form(texts_by_tag[tag]) and ends[tag] in ("accepted", "lost"):
            held = next(inbox, None)
        else:
            assert ends[tag] != "accepted", f"message {tag} accepted but not in the inbox"
        if ends[tag] in ("not_sent", "unsupported"):
            assert f"m{tag}@x.test" not in server.senders, f"message {tag} went out"
    assert held is None, "the inbox holds a message not accepted"
