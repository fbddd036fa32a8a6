"""Composition without delivery: the envelope recipient list, attachment parts
and whole messages.  Every message built here is also serialised and parsed
back with the email package, and must come back with the same headers, bodies
and attachment bytes."""

import builtins
import email
import email.errors
import email.header
import email.policy
import email.utils
import re
from email.mime.base import MIMEBase
from email.mime.multipart import MIMEMultipart
from pathlib import Path

import pytest

import vantrel.mailer as mailer
from vantrel.mailer import EasyMailer

A, B, C, D = "ann@example.com", "bob@example.org", "cat@example.net", "dan@example.com"
DEFAULT_SENDER = "noreply@example.com"


@pytest.fixture
def m():
    return EasyMailer("smtp.example.com", 465, "user@example.com", "secret",
                      default_sender=DEFAULT_SENDER)


def build(m, to=A, subject="Subject", body=None, html=None, cc=None, sender=None,
          sender_name=None, attachments=None, reply_to=None):
    return m._build_message(to=to, subject=subject, body=body, html=html, cc=cc, sender=sender,
                            sender_name=sender_name, attachments=attachments,
                            reply_to=reply_to)


class Str(str):
    pass


class ListSub(list):
    pass


class DictSub(dict):
    pass


# ---------------------------------------------------------------- helpers

def text_of(value):
    """A header value as a reader sees it: unfolded, encoded words decoded."""
    value = re.sub(r"\r?\n(?=[ \t])", "", value)
    return str(email.header.make_header(email.header.decode_header(value)))


def outline(part):
    """Headers and content of a message tree, comparable across a round trip."""
    headers = [(k, text_of(v)) for k, v in part.items()]
    if part.is_multipart():
        return headers, [outline(p) for p in part.get_payload()]
    return headers, part.get_filename(), part.get_payload(decode=True)


def reparse(msg):
    text = msg.as_string()
    parsed = email.message_from_string(text)
    if msg.get_payload() == []:
        # the generator writes one empty part into an empty multipart
        assert [p.items() for p in parsed.get_payload()] == [[]]
        assert parsed.get_payload()[0].get_payload() == ""
        assert [(k, text_of(v)) for k, v in parsed.items()] == outline(msg)[0]
    else:
        assert outline(parsed) == outline(msg)
    return parsed


def texts(part):
    """(content type, charset, text) of the text parts, nested like the tree."""
    if part.is_multipart():
        return part.get_content_type(), [texts(p) for p in part.get_payload()]
    return (part.get_content_type(), part.get_content_charset(),
            part.get_payload(decode=True).decode(part.get_content_charset()))


def assert_no_extra_header(msg, filenames=None):
    """The email library either refuses to serialise the message, or it comes
    back with exactly the headers it was built with."""
    try:
        text = msg.as_string()
    except email.errors.MessageError:
        return
    parsed = email.message_from_string(text)
    built, back = list(msg.walk()), list(parsed.walk())
    assert len(back) == len(built)
    for a, b in zip(built, back):
        assert b.keys() == a.keys()
    if filenames is not None:
        assert [p.get_filename() for p in back if p.get_filename() is not None] == filenames


def add_header_reference(name):
    """The disposition header that the email library writes for a name given as a
    parameter: quoted, escaped, RFC 2231-encoded as needed."""
    part = MIMEBase("application", "octet-stream")
    part.add_header("Content-Disposition", "attachment", filename=name)
    return part["Content-Disposition"]


def is_token(name):
    return bool(name) and all(
        "!" <= ch <= "~" and ch not in '()<>@,;:\\"/[]?=' for ch in name)


def attached(msg):
    return msg.get_payload()


# ------------------------------------------------------- recipient collection

def fresh(s):
    return "".join(list(s))  # an equal string that is a different object


COMMA = f"{A},{B}"
STR_A = Str(A)
OBJ = object()


@pytest.mark.parametrize(
    "make, expected",
    [
        (lambda: (A, None, None), [A]),
        (lambda: (A, [B, C], D), [A, B, C, D]),
        (lambda: (A, A, [A]), [A, A, A]),
        (lambda: (None, None, None), []),
        (lambda: ([], (), ""), [""]),
        (lambda: ((A, B), None, None), [A, B]),
        (lambda: (COMMA, None, [" "]), [COMMA, " "]),
        (lambda: ({A: 1, B: 2}, {C}, None), [A, B, C]),
        (lambda: (iter([A, B]), [OBJ, None], None), [A, B, OBJ, None]),
        (lambda: (b"ab", None, None), [97, 98]),
        (lambda: (STR_A, None, [STR_A]), [STR_A, STR_A]),
    ],
)
def test_collect_recipients(m, make, expected):
    to, cc, bcc = make()
    result = m._collect_recipients(to, cc, bcc)
    assert type(result) is list
    assert result == expected
    assert all(r is e for r, e in zip(result, expected))


def test_collect_recipients_on_class_and_keywords(m):
    args = (fresh(A), [B], (C, D))
    by_class = EasyMailer._collect_recipients(*args)
    by_keyword = m._collect_recipients(bcc=args[2], cc=args[1], to=args[0])
    assert by_class == by_keyword == [A, B, C, D]
    assert by_class is not by_keyword
    assert by_class[0] is args[0]


class Broken(Exception):
    pass


def failing_gen():
    yield A
    raise Broken


@pytest.mark.parametrize(
    "make, error, text",
    [
        (lambda: (A, 5, None), TypeError, "'int' object is not iterable"),
        (lambda: (A, None, 1.5), TypeError, "'float' object is not iterable"),
        (lambda: (A, failing_gen(), None), Broken, ""),
    ],
)
def test_collect_recipients_failures(make, error, text):
    with pytest.raises(error) as info:
        EasyMailer._collect_recipients(*make())
    assert str(info.value) == text


# ----------------------------------------------------------------- attachments

BINARY = bytes(range(256)) * 5


@pytest.mark.parametrize(
    "name, content, ctype",
    [
        ("report.pdf", BINARY, "application/pdf"),
        ("notes.txt", "naïve 内容\r\n".encode(), "text/plain"),
        ("README", b"plain", "application/octet-stream"),
        ("data.zzzq", BINARY, "application/octet-stream"),
        ("archive.tar.gz", BINARY, "application/x-tar"),
        ("empty.bin", b"", "application/octet-stream"),
    ],
)
def test_attach_file(tmp_path, name, content, ctype):
    path = tmp_path / "sub" / name
    path.parent.mkdir()
    path.write_bytes(content)
    msg = MIMEMultipart("mixed")
    assert EasyMailer._attach_file(msg, str(path)) is None
    [part] = attached(msg)
    assert type(part) is MIMEBase
    assert part.items() == [
        ("Content-Type", ctype), ("MIME-Version", "1.0"),
        ("Content-Transfer-Encoding", "base64"),
        ("Content-Disposition", "attachment; filename=" + name),
    ]
    assert part.get_payload(decode=True) == content
    assert reparse(msg).get_payload()[0].get_payload(decode=True) == content


@pytest.mark.parametrize(
    "make_path",
    [
        lambda tmp: str(tmp / "missing.txt"),
        lambda tmp: str(tmp),
        lambda tmp: str(tmp) + "/./nowhere/../missing.txt",
        lambda tmp: "/dev/null",
        lambda tmp: "",
    ],
)
def test_attach_file_not_a_file(tmp_path, make_path):
    path = make_path(tmp_path)
    msg = MIMEMultipart("mixed")
    EasyMailer._attach_binary(msg, {"filename": "first.txt", "data": b"1"})
    before = list(attached(msg))
    with pytest.raises(FileNotFoundError) as info:
        EasyMailer._attach_file(msg, path)
    assert info.value.args == ("Attachment not found: " + path,)
    assert attached(msg) == before and attached(msg)[0] is before[0]


def test_attach_file_uses_open_captured_at_import(tmp_path, monkeypatch):
    path = tmp_path / "a.bin"
    path.write_bytes(BINARY)

    def fake_open(*args, **kwargs):
        raise AssertionError("the rebound open was used")

    monkeypatch.setattr(builtins, "open", fake_open)
    msg = MIMEMultipart("mixed")
    EasyMailer._attach_file(msg, str(path))
    monkeypatch.undo()
    assert attached(msg)[0].get_payload(decode=True) == BINARY


@pytest.mark.parametrize(
    "item, content_type, disposition",
    [
        ({"filename": "x.txt", "content_type": "image/png"}, "image/png",
         "attachment; filename=x.txt"),
        ({"filename": "photo.jpg", "content_type": ""}, "image/jpeg", None),
        ({"filename": "photo.jpg", "content_type": None}, "image/jpeg", None),
        ({"filename": "photo.jpg"}, "image/jpeg", None),
        ({"filename": "blob"}, "application/octet-stream", None),
        ({"filename": "a.tar.gz"}, "application/x-tar", None),
        ({"filename": "x", "content_type": "application/vnd.a/b"}, "application/vnd.a/b",
         None),
        ({"filename": 123, "content_type": "text/csv"}, "text/csv",
         "attachment; filename=123"),
        ({"filename": Path("dir/pic.png")}, "image/png", add_header_reference("dir/pic.png")),
        ({"filename": "a.txt", "content-type": "image/png", "extra": 1}, "text/plain",
         "attachment; filename=a.txt"),
    ],
)
def test_attach_binary(item, content_type, disposition):
    item = dict(item, data=BINARY)
    msg = MIMEMultipart("mixed")
    assert EasyMailer._attach_binary(msg, item) is None
    [part] = attached(msg)
    assert type(part) is MIMEBase
    assert part["Content-Type"] == content_type
    assert part["Content-Transfer-Encoding"] == "base64"
    assert part.get_payload(decode=True) == BINARY
    name = item["filename"]
    if disposition is None:
        disposition = "attachment; filename=" + name
    assert part["Content-Disposition"] == disposition
    assert reparse(msg).get_payload()[0].get_filename() == f"{name}"


@pytest.mark.parametrize(
    "item, error, args",
    [
        ({"data": b"x"}, KeyError, ("filename",)),
        ({}, KeyError, ("filename",)),
        ({"filename": "a.txt"}, KeyError, ("data",)),
        ({"filename": "a", "data": b"", "content_type": "textplain"}, ValueError,
         ("need more than 1 value to unpack",)),
        ({"filename": 5, "data": b""}, TypeError, None),
        ({"filename": "a", "data": b"", "content_type": 5}, AttributeError, None),
        (DictSub(filename="a", data=b""), TypeError,
         ("Argument 'item' has incorrect type (expected dict, got DictSub)",)),
        (None, TypeError, ("Argument 'item' has incorrect type (expected dict, got NoneType)",)),
    ],
)
def test_attach_binary_failures_leave_msg_alone(item, error, args):
    msg = MIMEMultipart("mixed")
    EasyMailer._attach_binary(msg, {"filename": "first.txt", "data": b"1"})
    before = list(attached(msg))
    with pytest.raises(error) as info:
        EasyMailer._attach_binary(msg, item)
    if args is not None:
        assert info.value.args == args
    assert len(getattr(info.value, "__notes__", [])) == (type(item) is DictSub)
    assert attached(msg) == before and attached(msg)[0] is before[0]


# Names a file may carry on disk; the in-memory form takes a few more.
FILE_NAMES = [
    "report.pdf",
    "v1.2_final-draft~1.txt",
    "my report 2024.txt",
    "报告.txt",
    'say "hi".txt',
    "a;b=c.txt",
    "x(1)[2].txt",
    "naïve café.pdf",
    "back\\slash.txt",
    "tab\there.txt",
    "很长的文件名" * 12 + ".pdf",
]
BINARY_NAMES = FILE_NAMES + ["a/b.txt", "q?.txt", "x@y.z", "", "="]


def check_name(part, name):
    if is_token(name):
        assert part["Content-Disposition"] == "attachment; filename=" + name
    elif name:
        assert part["Content-Disposition"] == add_header_reference(name)
    assert part.get_filename() == name


@pytest.mark.parametrize("name", FILE_NAMES)
def test_file_name_round_trip_from_disk(tmp_path, name):
    path = tmp_path / name
    path.write_bytes(BINARY)
    msg = MIMEMultipart("mixed")
    EasyMailer._attach_file(msg, str(path))
    check_name(attached(msg)[0], name)
    back = reparse(msg).get_payload()[0]
    assert back.get_filename() == name
    assert back.get_payload(decode=True) == BINARY


@pytest.mark.parametrize("name", BINARY_NAMES)
def test_file_name_round_trip_in_memory(name):
    msg = MIMEMultipart("mixed")
    EasyMailer._attach_binary(msg, {"filename": name, "data": BINARY,
                                    "content_type": "application/octet-stream"})
    check_name(attached(msg)[0], name)
    assert reparse(msg).get_payload()[0].get_filename() == name


INJECTED_NAMES = ["bad\r\nX-Injected: 1.txt", "bad\nX-Injected: 1.txt",
                  "bad\rX-Injected: 1.txt", "报告\r\nX-Injected: 1.txt"]


@pytest.mark.parametrize("name", INJECTED_NAMES)
def test_line_breaks_in_names_never_add_a_header(tmp_path, name):
    path = tmp_path / name
    path.write_bytes(b"data")
    msg = MIMEMultipart("mixed")
    EasyMailer._attach_file(msg, str(path))
    EasyMailer._attach_binary(msg, {"filename": name, "data": b"data"})
    assert_no_extra_header(msg, filenames=[name, name])


# ----------------------------------------------------------- message assembly

BODY = "Hello, 世界\nsecond line\n"
HTML = "<p>Hello, <b>世界</b></p>"


@pytest.mark.parametrize(
    "body, html, expected",
    [
        (BODY, HTML, [("multipart/alternative", [("text/plain", "utf-8", BODY),
                                                  ("text/html", "utf-8", HTML)])]),
        (None, HTML, [("text/html", "utf-8", HTML)]),
        ("", HTML, [("text/html", "utf-8", HTML)]),
        (BODY, None, [("text/plain", "utf-8", BODY)]),
        (BODY, "", [("text/plain", "utf-8", BODY)]),
        (None, None, []),
        ("", "", []),
        ("", None, []),
    ],
)
def test_body_shapes(m, body, html, expected):
    msg = build(m, body=body, html=html)
    assert type(msg) is MIMEMultipart
    assert texts(msg) == ("multipart/mixed", expected)
    parsed = reparse(msg)
    if expected:
        assert texts(parsed) == ("multipart/mixed", expected)


def test_all_headers_in_order(m):
    msg = build(m, to=[A, B], subject="Quarterly report", body="b", cc=[C, D],
                sender="boss@example.com", sender_name="The Boss",
                reply_to="replies@example.com")
    assert msg.keys() == ["Content-Type", "MIME-Version", "From", "To", "Subject", "Date",
                          "Cc", "Reply-To"]
    assert msg.get_content_type() == "multipart/mixed"
    assert msg["From"] == "The Boss <boss@example.com>"
    assert msg["To"] == f"{A}, {B}"
    assert msg["Subject"] == "Quarterly report"
    assert msg["Cc"] == f"{C}, {D}"
    assert msg["Reply-To"] == "replies@example.com"
    assert "Bcc" not in msg and "Message-ID" not in msg
    date = email.utils.parsedate_to_datetime(msg["Date"])
    assert msg["Date"] == email.utils.formatdate(date.timestamp(), localtime=True)
    reparse(msg)


@pytest.mark.parametrize(
    "sender, sender_name, expected",
    [
        (None, None, DEFAULT_SENDER),
        ("", "", DEFAULT_SENDER),
        ("boss@example.com", None, "boss@example.com"),
        ("boss@example.com", "", "boss@example.com"),
        (None, "Support", "Support <noreply@example.com>"),
        ("boss@example.com", "Doe, John", '"Doe, John" <boss@example.com>'),
        ("boss@example.com", "张三", None),
        ("boss@example.com", "Zoë Ünïcode", None),
        ("not an address", "Name", "Name <not an address>"),
    ],
)
def test_from_header(m, sender, sender_name, expected):
    msg = build(m, sender=sender, sender_name=sender_name)
    address = sender or DEFAULT_SENDER
    if expected is None:
        expected = email.utils.formataddr((sender_name, address))
        assert expected.isascii()
    assert msg["From"] == expected
    text = msg.as_string()
    reparse(msg)
    if sender_name and "@" in address:
        [back] = email.message_from_string(text, policy=email.policy.default)["From"].addresses
        assert (back.display_name, back.addr_spec) == (sender_name, address)


class Probe(EasyMailer):
    reads = 0

    @property
    def default_sender(self):
        Probe.reads += 1
        return self._sender

    @default_sender.setter
    def default_sender(self, value):
        self._sender = value


def test_default_sender_read_only_when_needed_and_at_build_time():
    p = Probe("smtp.example.com", 465, "user@example.com", "secret")
    Probe.reads = 0
    assert build(p, sender="boss@example.com")["From"] == "boss@example.com"
    assert Probe.reads == 0
    p.default_sender = "changed@example.com"
    assert build(p, sender="")["From"] == "changed@example.com"
    assert Probe.reads == 1


@pytest.mark.parametrize(
    "to, expected",
    [
        ([A, B], f"{A}, {B}"),
        ([A], A),
        ([], ""),
        (A, A),
        (f"{A},{B}", f"{A},{B}"),
        (ListSub([A, B]), f"{A}, {B}"),
        ([A, B, C, D, "eve@example.com", "fay@example.com"], None),
    ],
)
def test_to_header(m, to, expected):
    msg = build(m, to=to)
    assert msg["To"] == (expected if expected is not None else ", ".join(to))
    reparse(msg)


def test_to_tuple_is_stored_as_given(m):
    assert build(m, to=(A, B))["To"] == (A, B)
    assert build(m, cc=(C,))["Cc"] == (C,)


@pytest.mark.parametrize("field", ["to", "cc"])
def test_list_with_a_non_string(m, field):
    with pytest.raises(TypeError):
        build(m, **{field: [A, 5]})


@pytest.mark.parametrize(
    "cc, reply_to, keys_after_date, values",
    [
        (None, None, [], []),
        ("", "", [], []),
        ([], None, [], []),
        (C, None, ["Cc"], [C]),
        ([C, D], "", ["Cc"], [f"{C}, {D}"]),
        ([""], None, ["Cc"], [""]),
        (None, "r@example.com", ["Reply-To"], ["r@example.com"]),
        (ListSub([C]), "r@example.com", ["Cc", "Reply-To"], [C, "r@example.com"]),
    ],
)
def test_cc_and_reply_to(m, cc, reply_to, keys_after_date, values):
    msg = build(m, cc=cc, reply_to=reply_to)
    keys = msg.keys()
    assert keys[:6] == ["Content-Type", "MIME-Version", "From", "To", "Subject", "Date"]
    assert keys[6:] == keys_after_date
    assert [msg[k] for k in keys_after_date] == values
    reparse(msg)


ADDRESS_HEADERS = {"to": "To", "cc": "Cc", "reply_to": "Reply-To"}
BOB = "bob@example.test"


def addresses_read_back(msg, header):
    """(display name, address) pairs of a header, as a reader's mail program
    parses the serialised message."""
    parsed = email.message_from_string(msg.as_string(), policy=email.policy.default)
    return [(a.display_name, a.addr_spec) for a in parsed[header].addresses]


@pytest.mark.parametrize("field", ADDRESS_HEADERS)
@pytest.mark.parametrize("value, pairs", [
    (f"Bøb Ström <{BOB}>", [("Bøb Ström", BOB)]),
    ([f"Bøb <{BOB}>", "ann@example.test"], [("Bøb", BOB), ("", "ann@example.test")]),
    (f'"Ström, Bøb" <{BOB}>, Ann <ann@example.test>',
     [("Ström, Bøb", BOB), ("Ann", "ann@example.test")]),
    (f"{BOB} (Bøb)", [("Bøb", BOB)]),
    (f"{'Ø' * 80} <{BOB}>", [("Ø" * 80, BOB)]),
    (f'张三 <{BOB}>, "Doe, 约翰" <john@example.test>',
     [("张三", BOB), ("Doe, 约翰", "john@example.test")]),
], ids=["one", "list", "quoted-comma", "comment", "long", "two"])
def test_non_ascii_display_names_are_encoded_apart_from_their_addresses(m, field, value, pairs):
    if field == "reply_to" and isinstance(value, list):
        value = ", ".join(value)  # reply_to takes one string
    msg = build(m, **{field: value})
    assert msg[ADDRESS_HEADERS[field]].isascii()
    assert addresses_read_back(msg, ADDRESS_HEADERS[field]) == pairs
    reparse(msg)


@pytest.mark.parametrize("field", ADDRESS_HEADERS)
@pytest.mark.parametrize("value", [
    f"Bob Strom <{BOB}>",  # ASCII
    "Bøb <bøb@example.test>",  # an address that needs SMTPUTF8
    f"Ann <ann@example.test>, Åsa@example.test",
    f"Bøb <{BOB}> and more",  # getaddresses: ('', '')
    f"Bøb <{BOB}>,",  # one address fewer than the commas say
    f"Bøb <{BOB}>, Bob Strom",  # a name without its address
    f"Bøb Ström {BOB}",
    f"Team Ü: {BOB};",  # the group's name would be lost
    f"Bøb <{BOB}> (cømment)",  # and the comment here
    "@example.test (Bøb)",  # would be read back as a route, not an address
    f'Åsa <{BOB}>, "Ann\r\nBcc: evil@example.test" <ann@example.test>',  # a line break
], ids=["ascii", "utf8-address", "utf8-address-in-list", "unparsed", "short", "bare-name",
        "no-brackets", "group", "comment", "route", "line-break"])
def test_other_values_are_set_as_given(m, field, value):
    msg = build(m, **{field: value})
    assert msg[ADDRESS_HEADERS[field]] is value


# getaddresses is imported where it is used: a patched one is what runs.
@pytest.mark.parametrize("result", ["not a list", [("Bøb",)], [(1, BOB)], []])
def test_an_odd_parse_keeps_the_value(m, monkeypatch, result):
    monkeypatch.setattr(email.utils, "getaddresses", lambda fields: result)
    value = f"Bøb <{BOB}>"
    assert build(m, to=value)["To"] is value


def test_display_names_are_written_by_the_modules_formataddr(m, monkeypatch):
    calls = []
    real = mailer.formataddr

    def formataddr(*args, **kwargs):
        calls.append((args, kwargs))
        return real(*args, **kwargs)

    monkeypatch.setattr(mailer, "formataddr", formataddr)
    msg = build(m, to=[f"Bøb <{BOB}>", "ann@example.test"], cc=f"Åsa <{BOB}>")
    assert calls == [((("Bøb", BOB),), {"charset": "utf-8"}),
                     ((("", "ann@example.test"),), {"charset": "utf-8"}),
                     ((("Åsa", BOB),), {"charset": "utf-8"})]
    assert msg["To"] == f"=?utf-8?q?B=C3=B8b?= <{BOB}>, ann@example.test"


# The module-level names are looked up when used, so wrapping them shows what
# the message is made from, and in which order.
def test_library_calls_in_order(m, monkeypatch):
    calls, results = [], {}

    def recording(name):
        real = getattr(mailer, name)

        def call(*args, **kwargs):
            calls.append((name, args, kwargs))
            results[name] = real(*args, **kwargs)
            return results[name]

        monkeypatch.setattr(mailer, name, call)

    for name in ("MIMEMultipart", "MIMEText", "formataddr", "formatdate"):
        recording(name)
    msg = build(m, body=BODY, html=HTML, sender_name="N")
    assert msg["From"] == results["formataddr"]
    assert msg["Date"] == results["formatdate"]
    assert calls == [
        ("MIMEMultipart", ("mixed",), {}),
        ("formataddr", (("N", DEFAULT_SENDER),), {}),
        ("formatdate", (), {"localtime": True}),
        ("MIMEMultipart", ("alternative",), {}),
        ("MIMEText", (BODY, "plain", "utf-8"), {}),
        ("MIMEText", (HTML, "html", "utf-8"), {}),
    ]


@pytest.mark.parametrize("kind", ["file", "binary"])
def test_attachment_name_is_read_after_the_encoding(monkeypatch, tmp_path, kind):
    log = []
    real = mailer.encoders

    class Encoders:
        @staticmethod
        def encode_base64(part):
            log.append("encode_base64")
            real.encode_base64(part)

    class LoggedPath(Path):
        @property
        def name(self):
            log.append("name")
            return super().name

    class LoggedName:
        def __format__(self, spec):
            log.append("name")
            return "data.bin"

    monkeypatch.setattr(mailer, "encoders", Encoders)
    monkeypatch.setattr(mailer, "Path", LoggedPath)
    msg = MIMEMultipart()
    if kind == "file":
        (tmp_path / "data.bin").write_bytes(b"x")
        EasyMailer._attach_file(msg, str(tmp_path / "data.bin"))
    else:
        EasyMailer._attach_binary(msg, {"filename": LoggedName(), "data": b"x",
                                        "content_type": "a/b"})
    assert log == ["encode_base64", "name"]
    assert msg.get_payload()[0].get_filename() == "data.bin"


def test_a_failed_encoding_is_reported_before_the_name_is_made():
    class Name:
        def __format__(self, spec):
            raise AssertionError("the name was made first")

    msg = MIMEMultipart()
    with pytest.raises(TypeError):
        EasyMailer._attach_binary(msg, {"filename": Name(), "data": 123, "content_type": "a/b"})
    assert msg.get_payload() == []


def test_attachments_follow_the_body_in_list_order(m, tmp_path):
    first = tmp_path / "first.pdf"
    first.write_bytes(BINARY)
    last = tmp_path / "last name.txt"
    last.write_bytes(b"last\n")
    items = [str(first), {"filename": "图.png", "data": b"\x89PNG\r\n"},
             {"filename": "x.bin", "data": b"", "content_type": "application/x-thing"},
             str(last)]
    msg = build(m, body=BODY, html=HTML, attachments=items)
    parts = attached(msg)
    assert [p.get_content_type() for p in parts] == [
        "multipart/alternative", "application/pdf", "image/png", "application/x-thing",
        "text/plain"]
    back = reparse(msg).get_payload()
    assert [(p.get_filename(), p.get_payload(decode=True)) for p in back[1:]] == [
        ("first.pdf", BINARY), ("图.png", b"\x89PNG\r\n"), ("x.bin", b""),
        ("last name.txt", b"last\n")]


class Dispatch(EasyMailer):
    calls = []

    @staticmethod
    def _attach_file(*args):
        Dispatch.calls.append(("file",) + args)
        return "ignored"

    def _attach_binary(self, *args):
        Dispatch.calls.append(("binary",) + args)


def test_attachment_dispatch_through_the_instance():
    d = Dispatch("smtp.example.com", 465, "user@example.com", "secret")
    Dispatch.calls = []
    sub, plain, path = DictSub(filename="s"), {"filename": "p"}, Path("x.txt")
    items = ["a.txt", plain, sub, path, 42]
    msg = build(d, attachments=items)
    assert [(c[0], len(c)) for c in Dispatch.calls] == [
        ("file", 3), ("binary", 3), ("binary", 3), ("file", 3), ("file", 3)]
    assert all(c[1] is msg for c in Dispatch.calls)
    assert all(c[2] is i for c, i in zip(Dispatch.calls, items))
    assert attached(msg) == []


@pytest.mark.parametrize(
    "item, error, text",
    [
        (Path("x.txt"), TypeError,
         "Argument 'filepath' has incorrect type (expected str, got PosixPath)"),
        (Str("x.txt"), TypeError,
         "Argument 'filepath' has incorrect type (expected str, got Str)"),
        (None, TypeError,
         "Argument 'filepath' has incorrect type (expected str, got NoneType)"),
        (DictSub(filename="a", data=b""), TypeError,
         "Argument 'item' has incorrect type (expected dict, got DictSub)"),
        ("/nonexistent/x.txt", FileNotFoundError, "Attachment not found: /nonexistent/x.txt"),
        ({"data": b""}, KeyError, "'filename'"),
    ],
)
def test_failing_attachment_reaches_the_caller(m, item, error, text):
    with pytest.raises(error) as info:
        build(m, body="b", attachments=[{"filename": "ok.txt", "data": b"1"}, item])
    assert str(info.value) == text


@pytest.mark.parametrize(
    "field, value, text",
    [
        ("subject", None, "Argument 'subject' has incorrect type (expected str, got NoneType)"),
        ("body", 1, "Argument 'body' has incorrect type (expected str, got int)"),
        ("sender_name", 0, "Argument 'sender_name' has incorrect type (expected str, got int)"),
        ("attachments", ListSub(),
         "Argument 'attachments' has incorrect type (expected list, got ListSub)"),
        ("reply_to", 1.0, "Argument 'reply_to' has incorrect type (expected str, got float)"),
    ],
)
def test_build_message_argument_types(m, field, value, text):
    with pytest.raises(TypeError) as info:
        build(m, **{field: value})
    assert info.value.args == (text,)


INJECTIONS = ["x\r\nBcc: evil@example.com", "x\nX-Injected: yes", "x\rX-Injected: yes",
              "你好\r\nX-Injected: yes"]


@pytest.mark.parametrize("payload", INJECTIONS)
@pytest.mark.parametrize("field", ["subject", "to", "to-list", "cc", "cc-list", "reply_to",
                                   "sender_name", "sender"])
def test_header_injection_never_adds_a_header(m, field, payload):
    name, _, form = field.partition("-")
    value = [A, payload] if form else payload
    try:
        msg = build(m, body="b", **{name: value})
    except (email.errors.MessageError, ValueError):
        return  # refused while building
    assert_no_extra_header(msg)
