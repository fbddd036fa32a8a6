"""Reference-leak hunt over every method of vantrel, on good and bad paths.

Run by tools/refleaks under the debug interpreter.  Each case is a small
function that drives one method down one or more paths (a success, a binding
error, an error raised half-way, ...) and checks that the path went where it
was meant to go.  A case runs ``--warmup`` times to fill the caches that the
standard library and Jinja2 keep, then ``--rounds`` more times; after each run
the cyclic garbage collector runs and sys.gettotalrefcount() and
sys.getallocatedblocks() are read.  The case passes when every one of the
counted rounds leaves both numbers exactly where the round before left them.

Delivery goes to real aiosmtpd servers (plain, STARTTLS and implicit TLS, all
with AUTH) run by tests/refleak/server.py in a separate process, so that no
server thread allocates here while the counts are taken.  The server's test
CA reaches the mailer's own ssl.create_default_context() through
SSL_CERT_FILE; nothing in the package is replaced for those cases.
"""

import argparse
import contextlib
import copy
import ctypes
import email.utils
import gc
import importlib
import inspect
import json
import os
import pickle
import re
import smtplib
import ssl
import subprocess
import sys
import tempfile
import types
import weakref
from email.mime.multipart import MIMEMultipart

# MarkupSafe's C speedups are built for the release interpreter, whose
# extensions the debug one loads as well; they do not count references, which
# would skew every count below.  Its pure-Python twin does the same work.
sys.modules["markupsafe._speedups"] = None

import vantrel.mailer as mailer_module
import vantrel.session as session_module
import vantrel.template as template_module
import vantrel.testing as testing_module
from vantrel.mailer import EasyMailer
from vantrel.session import Session
from vantrel.template import TemplateEngine
from vantrel.testing import Outbox, SentMessage, capture
from vantrel._smtp import Engine
import vantrel.dkim as dkim_module

HERE = os.path.dirname(os.path.abspath(__file__))
# The hostile arguments are the fuzz tests' own, one folder up.
sys.path.insert(0, os.path.dirname(HERE))
from hostile import (BadBool, BadFormat, BadIndex, BadInt, BadIter, Boom,  # noqa: E402
                     Dict, Int, List, Splits, Str)
import wordings  # noqa: E402
from network import closed_port  # noqa: E402
from scripted import scripted  # noqa: E402
USER = "leak@example.test"
PASSWORD = "secret"

# ---------------------------------------------------------------------------
# Hostile and odd arguments, made once so that no case creates classes.


class BadNumber(BadInt, BadIndex):
    """Has the number protocol, but int() fails."""

    def __float__(self):
        return 1.0


def failing_generator():
    yield "a@example.test"
    raise Boom("generator")


class NamedPath:
    """A stand-in for pathlib.Path whose name is not a string."""

    def __init__(self, path):
        self._path = path

    def is_file(self):
        return True

    def __str__(self):
        return self._path

    def __fspath__(self):
        return self._path

    name = 42


class Joins:
    """A file name that is no string but joins text like one."""

    def __radd__(self, text):
        return text + "joined.txt"


class JoiningPath(NamedPath):
    name = Joins()


def raises(expected, function, *args, match=None, **kwargs):
    """Calls function and checks that it raises `expected` (message regex)."""
    try:
        function(*args, **kwargs)
    except expected as error:
        if match is not None and not re.search(match, str(error)):
            raise AssertionError(f"{expected.__name__} message {str(error)!r} "
                                 f"does not match {match!r}") from None
        return
    raise AssertionError(f"{getattr(function, '__qualname__', function)} did "
                         f"not raise {expected.__name__}")


@contextlib.contextmanager
def rebound(module, name, value):
    """Temporarily rebinds (or, with value=DELETE, removes) a module global."""
    old = module.__dict__[name]
    if value is DELETE:
        del module.__dict__[name]
    else:
        module.__dict__[name] = value
    try:
        yield
    finally:
        module.__dict__[name] = old


DELETE = object()

# ---------------------------------------------------------------------------
# Files and servers.

TMP = tempfile.mkdtemp(prefix="vantrel-refleak-")
TEXT_FILE = os.path.join(TMP, "note.txt")
BARE_FILE = os.path.join(TMP, "README")
SPACED_FILE = os.path.join(TMP, "year report.pdf")
TEMPLATES = os.path.join(TMP, "templates")
MISSING = os.path.join(TMP, "missing.txt")
for path, data in [(TEXT_FILE, b"hello\n"), (BARE_FILE, b"\x00\x01"),
                   (SPACED_FILE, b"%PDF-1.4\n")]:
    with open(path, "wb") as f:
        f.write(data)
os.mkdir(TEMPLATES)
for name, text in [
        ("welcome.html", "<p>Hello {{ name }} at {{ occurred_at }}</p>"),
        ("welcome.txt", "Hello {{ name }}"),
        ("only.txt", "text only {{ name }}"),
        ("broken.html", "{% if %}"),
        ("failing.html", "{{ 1 // zero }}"),
        ("includes.html", "{% include 'nowhere.html' %}")]:
    with open(os.path.join(TEMPLATES, name), "w", encoding="utf-8") as f:
        f.write(text)
FIFO = os.path.join(TMP, "fifo")
os.mkfifo(FIFO)


class Servers:
    def __init__(self):
        ca_file = os.path.join(TMP, "ca.pem")
        self.process = subprocess.Popen(
            [sys.executable, "-P", os.path.join(HERE, "server.py"), ca_file],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        line = self.process.stdout.readline()
        if not line:
            raise SystemExit("refleak: the SMTP servers did not start")
        self.ports = json.loads(line)
        os.environ["SSL_CERT_FILE"] = ca_file
        os.environ.pop("SSL_CERT_DIR", None)

    def mailer(self, mode, password=PASSWORD):
        return EasyMailer("127.0.0.1", self.ports[mode], USER, password,
                          use_ssl=mode == "ssl", use_tls=mode == "starttls",
                          template_dir=TEMPLATES)

    def close(self):
        self.process.stdin.close()
        self.process.wait(timeout=30)
        self.process.stdout.close()


SERVERS = None

# ---------------------------------------------------------------------------
# Cases.

CASES = {}


def case(function):
    CASES[function.__name__] = function
    return function


def case_per_mode(name):
    """Registers function(mode) as one case per encryption mode,
    named name[mode]."""
    def register(function):
        for mode in ("plain", "starttls", "ssl"):
            def run(mode=mode):
                function(mode)
            run.__name__ = f"{name}[{mode}]"
            CASES[run.__name__] = run
        return function
    return register


def mailer(**kwargs):
    args = dict(host="127.0.0.1", port=2525, username=USER, password=PASSWORD,
                use_ssl=False)
    args.update(kwargs)
    return EasyMailer(**args)


def new_msg():
    return MIMEMultipart("mixed")


# Each method with valid arguments (as keywords) and the parameters that its
# binder checks, with a value of the wrong type for each.
def method_table():
    m = mailer()
    engine = TemplateEngine()
    outbox = capture()
    message = new_msg()
    send_args = dict(to="a@example.test", subject="s", body=None, html=None,
                     cc=None, bcc=None, sender=None, sender_name=None,
                     attachments=None, reply_to=None)
    build_args = dict(send_args)
    del build_args["bcc"]
    template_args = dict(to="a@example.test", subject="s",
                         template_name="welcome", context=None, cc=None,
                         bcc=None, sender=None, sender_name=None,
                         attachments=None, reply_to=None)
    return [
        ("__init__", EasyMailer, dict(host="h", port=25, username="u",
                                      password="p", use_ssl=False,
                                      use_tls=False, default_sender=None,
                                      template_dir=None),
         {"host": Str("h"), "username": None, "password": 1,
          "default_sender": Str("d"), "template_dir": b"t", "port": "25"}),
        ("send", m.send, send_args,
         {"subject": Str("s"), "body": 1, "html": Str(), "sender": b"",
          "sender_name": 1.5, "attachments": List(), "reply_to": Str()}),
        ("send_template", m.send_template, template_args,
         {"subject": None, "template_name": Str("t"), "context": Dict(),
          "sender": Str(), "sender_name": [], "attachments": (),
          "reply_to": 0}),
        ("_build_message", m._build_message, build_args,
         {"subject": Str(), "body": b"", "html": 0, "sender": Str(),
          "sender_name": Str(), "attachments": List(), "reply_to": []}),
        ("_attach_file", EasyMailer._attach_file,
         dict(msg=message, filepath=TEXT_FILE), {"filepath": Str("x")}),
        ("_attach_binary", EasyMailer._attach_binary,
         dict(msg=message, item={"filename": "a.txt", "data": b"x"}),
         {"item": Dict()}),
        ("_collect_recipients", EasyMailer._collect_recipients,
         dict(to="a", cc=None, bcc=None), {}),
        ("_do_send", m._do_send, dict(msg=message, recipients=[], sender="s"),
         {"recipients": List(), "sender": Str()}),
        ("TemplateEngine.__init__", TemplateEngine, dict(template_dir=None),
         {"template_dir": Str()}),
        ("render", engine.render, dict(template_name="x", context={}),
         {"template_name": None, "context": Dict()}),
        ("render_string", engine.render_string,
         dict(template_string="x", context={}),
         {"template_string": Str(), "context": None}),
        ("add_template_dir", engine.add_template_dir,
         dict(directory="/nowhere"), {"directory": Str()}),
        ("refuse_recipient", outbox.refuse_recipient,
         dict(address="a@example.test", code=550, message=None),
         {"address": None, "code": "550", "message": b"x"}),
        ("refuse_sender", outbox.refuse_sender,
         dict(address=None, code=553, message="m"),
         {"address": Str("a"), "code": None, "message": 1}),
        ("refuse_login", outbox.refuse_login, dict(code=535, message=None),
         {"code": "535", "message": Str()}),
        ("refuse_token", outbox.refuse_token, dict(code=535, message=None),
         {"code": "535", "message": Str()}),
        ("Outbox.__exit__", outbox.__exit__,
         dict(exc_type=None, exc_value=None, traceback=None), {}),
        ("Session.__init__", Session.__new__(Session).__init__,
         dict(mailer=m, max_per_connection=None, timeout=60.0, pipelining=True, auth=None,
              message_id=False, dkim=None),
         {"mailer": Str(), "max_per_connection": Int(2)}),
        ("Session.send", Session(m).send, dict(send_args, headers=None, unsubscribe=None),
         {"subject": Str("s"), "body": 1, "attachments": List(), "reply_to": Str()}),
        ("Session.send_template", Session(m).send_template,
         dict(template_args, headers=None, unsubscribe=None),
         {"template_name": Str("t"), "context": Dict(), "attachments": ()}),
        ("Session.__exit__", Session(m).__exit__,
         dict(exc_type=None, exc_value=None, traceback=None), {}),
    ]


def vectorcall_with_non_string_keyword(function, args):
    """Calls through PyObject_Vectorcall with a keyword name that is no str,
    which Python code itself cannot do."""
    api = ctypes.pythonapi
    api.PyObject_Vectorcall.restype = ctypes.py_object
    api.PyObject_Vectorcall.argtypes = [ctypes.py_object,
                                        ctypes.POINTER(ctypes.py_object),
                                        ctypes.c_size_t, ctypes.py_object]
    stack = (ctypes.py_object * (len(args) + 1))(*args, 0)
    return api.PyObject_Vectorcall(function, stack, len(args), (1,))


# The methods whose parameters all have defaults.
ALL_OPTIONAL = {"TemplateEngine.__init__", "refuse_sender", "refuse_login", "refuse_token"}


def expected_kind(annotation):
    """The exact type that a parameter's annotation stands for."""
    if annotation == "EasyMailer":  # Session's mailer: the class or a subclass
        return annotation
    for kind in ("List", "dict", "Dict", "int"):
        if annotation.replace("Optional[", "").startswith(kind):
            return kind.lower()
    return "str"


def binder_case(name, function, good, wrong):
    names = list(good)
    values = list(good.values())
    bare = name.rpartition(".")[2]
    target = (function.__init__ if isinstance(function, type)
              else getattr(function, "__func__", function))
    params = inspect.signature(target).parameters.values()
    total = len(params)
    required = sum(p.default is inspect.Parameter.empty for p in params)
    offset = total - len(good)  # 1 where the call fills in the instance

    def exactly(text):
        return "^" + re.escape(text) + "$"

    def counted(given):
        return exactly(wordings.count(bare, required, total, offset + given))

    def run():
        # Positional counts: none, one too many.
        if name not in ALL_OPTIONAL:
            raises(TypeError, function, match=counted(0))
        raises(TypeError, function, *values, 0, match=counted(len(values) + 1))
        raises(TypeError, function, *values, **{names[0]: values[0]},
               match=exactly(wordings.multiple(bare, names[0])))
        raises(TypeError, function, **good, surplus=1,
               match=exactly(wordings.unexpected(bare, "surplus")))
        # The first parameter left empty while a later one comes by keyword.
        if name not in ALL_OPTIONAL and len(names) > 1:
            raises(TypeError, function, **{names[-1]: values[-1]},
                   match=counted(0))
        # A class turns the keywords into a dict first, and refuses the name
        # in its own words.
        refused = ("keywords must be strings" if isinstance(function, type)
                   else wordings.keyword_type(bare))
        raises(TypeError, vectorcall_with_non_string_keyword, function,
               values[:1], match=exactly(refused))
        for parameter, value in wrong.items():
            args = dict(good)
            args[parameter] = value
            kind = expected_kind(target.__annotations__[parameter])
            raises(TypeError, function, **args, match=exactly(wordings.incorrect_type(
                parameter, kind, wordings.type_name(type(value)))))
    run.__name__ = f"binder[{name}]"
    return run


def register_binder_cases():
    for name, function, good, wrong in method_table():
        CASES[f"binder[{name}]"] = binder_case(name, function, good, wrong)


@case
def subclass_note():
    try:
        mailer(host=Str("h"))
    except TypeError as error:
        assert error.__notes__ and "Exact built-in types" in error.__notes__[0]
    else:
        raise AssertionError("no TypeError")


@case
def construction():
    m = mailer()
    assert m.default_sender == USER and m.use_ssl is False
    m = mailer(port=587.9, use_ssl=0, use_tls="yes", default_sender="d@x",
               template_dir=TEMPLATES)
    assert m.port == 587 and m.use_tls is True
    m = mailer(port=True, default_sender="", template_dir="")
    raises(ValueError, mailer, use_ssl=True, use_tls=True,
           match="cannot both be True")
    raises(TypeError, mailer, port="587", match="expected int, got str")
    raises(TypeError, mailer, port=None, match="expected int, got NoneType")
    raises(Boom, mailer, port=BadNumber())
    raises(Boom, mailer, use_ssl=BadBool())
    raises(Boom, mailer, use_tls=BadBool())


@case
def construction_engine_errors():
    with rebound(mailer_module, "TemplateEngine", DELETE):
        raises(NameError, mailer, match="name 'TemplateEngine' is not defined")
    with rebound(mailer_module, "TemplateEngine", BadFormat):
        raises(TypeError, mailer)


class Frozen(EasyMailer):
    def __setattr__(self, name, value):
        if name == "password":
            raise Boom("frozen")
        super().__setattr__(name, value)


@case
def construction_setattr_error():
    raises(Boom, Frozen, "h", 25, "u", "p")


@case
def function_attributes():
    send = EasyMailer.send
    assert send.__name__ == "send" and send.__qualname__ == "EasyMailer.send"
    assert send.__module__ == "vantrel.mailer" and send.__doc__
    assert send.__defaults__ == (None,) * 8 and send.__kwdefaults__ is None
    assert send.__annotations__["return"] == "None"
    assert send.__annotate__(1) is send.__annotations__
    raises(NotImplementedError, send.__annotate__, 5)
    raises(NotImplementedError, send.__annotate__, "x")
    raises(OverflowError, send.__annotate__, 1 << 100)
    assert str(inspect.signature(send)).startswith("(self, to: 'Union")
    assert repr(send).startswith("<function EasyMailer.send at ")
    raises(TypeError, setattr, send, "__name__", 1)
    raises(TypeError, setattr, send, "__qualname__", None)
    assert weakref.ref(send)() is send
    m = mailer()
    assert m.send.__func__ is send
    assert send.__get__(None, EasyMailer) is send
    raises(AttributeError, setattr, send, "__defaults__", ())
    assert pickle.loads(pickle.dumps(send)) is send
    assert copy.deepcopy(EasyMailer._attach_file) is EasyMailer._attach_file


@case
def function_attributes_writable():
    # Writes go to a function of its own: a fresh module import is not
    # possible, so the old values are put back.
    f = EasyMailer._build_message
    name, qualname, module, doc = (f.__name__, f.__qualname__, f.__module__,
                                   f.__doc__)
    f.__name__ = "renamed"
    f.__qualname__ = "Renamed"
    f.__module__ = None
    f.__doc__ = "doc"
    f.extra = [1, 2]
    del f.__doc__
    f.__name__, f.__qualname__, f.__module__, f.__doc__ = (name, qualname,
                                                           module, doc)
    del f.extra


@case
def collect_recipients():
    collect = EasyMailer._collect_recipients
    assert collect("a", None, None) == ["a"]
    assert collect("a", ["b", "c"], "d") == ["a", "b", "c", "d"]
    assert collect(("a", "b"), {"c": 1}, {"d"}) == ["a", "b", "c", "d"]
    assert collect(Str("a,b"), [], "") == ["a,b", ""]
    assert collect(iter(["a"]), (x for x in "bc"), None) == ["a", "b", "c"]
    assert mailer()._collect_recipients(to=None, cc=None, bcc=None) == []
    raises(TypeError, collect, "a", 1, None, match="not iterable")
    raises(Boom, collect, BadIter(), None, None)
    raises(Boom, collect, "a", None, failing_generator())


@case
def build_message_shapes():
    m = mailer(default_sender="d@example.test")
    attachments = [TEXT_FILE, {"filename": "a.png", "data": b"\x89PNG"}]
    for body, html in [("b", "h"), (None, "h"), ("b", ""), (None, None)]:
        msg = m._build_message(["a", "b"], "s", body, html, ["c"], None,
                               "Ann Example", attachments, "r@example.test")
        msg.as_string()
    msg = m._build_message("a", "s", None, None, "", "x@example.test", "",
                           None, None)
    assert "Cc" not in msg and "Reply-To" not in msg
    msg = m._build_message(List(["a"]), "s", "b", None, List(["c"]), "",
                           None, [], "")
    assert msg["To"] == "a"
    # Non-ASCII display names: encoded apart from their addresses, or the
    # value kept as given when it does not read as addresses.
    msg = m._build_message(["Bøb <b@example.test>", "a@example.test"], "s", "b",
                           None, Str("Åsa <c@example.test>"), None, None, None,
                           "Ü <r@example.test>")
    assert msg["To"].isascii() and msg["Cc"].isascii() and msg["Reply-To"].isascii()
    msg.as_string()
    for kept in ("Bøb <bøb@example.test>", "Bøb <b@example.test> x", "Ü: a@example.test;",
                 "@example.test (Bøb)", 'Å <a@example.test>, "\n" <b@example.test>'):
        assert m._build_message(kept, "s", None, None, None, None, None, None,
                                None)["To"] is kept
    named = "Bøb <b@example.test>"
    for odd in ("not a list", [("Bøb",)], [(1, "b@example.test")]):
        with rebound(email.utils, "getaddresses", lambda fields, odd=odd: odd):
            assert m._build_message(named, "s", None, None, None, None, None,
                                    None, None)["To"] is named


@case
def build_message_errors():
    m = mailer()
    raises(TypeError, m._build_message, ["a", 1], "s", None, None, None,
           None, None, None, None)
    raises(TypeError, m._build_message, "a", "s", None, None, [None], None,
           None, None, None)
    raises(FileNotFoundError, m._build_message, "a", "s", "b", None, None,
           None, None, [TEXT_FILE, MISSING], None)
    raises(TypeError, m._build_message, "a", "s", None, None, None, None,
           None, [Dict(filename="a", data=b"")], None)
    raises(TypeError, m._build_message, "a", "s", None, None, None, None,
           None, [Str(TEXT_FILE)], None)
    raises(KeyError, m._build_message, "a", "s", None, None, None, None,
           None, [{}], None)
    m.default_sender = 7
    raises(AttributeError, m._build_message, "a", "s", None, None, None, None,
           "Ann", None, None)
    del m.default_sender
    raises(AttributeError, m._build_message, "a", "s", None, None, None, None,
           None, None, None)


@case
def build_message_missing_global():
    m = mailer()
    with rebound(mailer_module, "MIMEText", DELETE):
        raises(NameError, m._build_message, "a", "s", "b", None, None, None,
               None, None, None, match="MIMEText")


@case
def attach_file_ok():
    msg = new_msg()
    for path in (TEXT_FILE, BARE_FILE, SPACED_FILE):
        EasyMailer._attach_file(msg, path)
    assert len(msg.get_payload()) == 3
    msg.as_string()


@case
def attach_file_refused():
    msg = new_msg()
    for path in (MISSING, TMP, FIFO, "", "a\0b"):
        raises(FileNotFoundError, EasyMailer._attach_file, msg, path,
               match="Attachment not found: ")
    assert msg.get_payload() == []


@case
def attach_file_odd_path_type():
    # A rebound Path whose name is no string: the header is refused with the
    # interpreter's own TypeError for str + int.
    with rebound(mailer_module, "Path", NamedPath):
        raises(TypeError, EasyMailer._attach_file, new_msg(), TEXT_FILE,
               match="can only concatenate str")
    msg = new_msg()
    with rebound(mailer_module, "Path", JoiningPath):
        EasyMailer._attach_file(msg, TEXT_FILE)
    assert msg.get_payload()[0]["Content-Disposition"].endswith("joined.txt")


@case
def attach_binary_ok():
    msg = new_msg()
    attach = EasyMailer._attach_binary
    attach(msg, {"filename": "a.png", "data": b"x", "content_type": "image/png"})
    attach(msg, {"filename": "a.pdf", "data": b"x", "content_type": ""})
    attach(msg, {"filename": "noext", "data": b"x"})
    attach(msg, {"filename": "quarterly report.txt", "data": b"x"})
    attach(msg, {"filename": "résumé.txt", "data": b"x"})
    attach(msg, {"filename": 12, "data": b"x", "content_type": "a/b/c"})
    assert len(msg.get_payload()) == 6
    msg.as_string()


@case
def attach_binary_errors():
    msg = new_msg()
    attach = EasyMailer._attach_binary
    raises(KeyError, attach, msg, {}, match="filename")
    raises(KeyError, attach, msg, {"filename": "a"}, match="data")
    raises(ValueError, attach, msg,
           {"filename": "a", "data": b"", "content_type": "plain"},
           match="need more than 1 value to unpack")
    raises(AttributeError, attach, msg,
           {"filename": "a", "data": b"", "content_type": 5})
    raises(TypeError, attach, msg, {"filename": 12, "data": b""})
    raises(Boom, attach, msg,
           {"filename": BadFormat(), "data": b"", "content_type": "a/b"})
    raises(Boom, attach, msg,
           {"filename": "a", "data": b"", "content_type": BadBool()})
    for parts, message in [(["a", "b", "c"], "too many values"),
                           (["a"], "need more than 1 value"),
                           (7, "cannot unpack"),
                           (iter("abcd"), r"too many values to unpack \(expected 2\)$"),
                           (iter(""), "need more than 0 values"),
                           (failing_generator(), "generator"),
                           (BadIter(), "__iter__"),
                           (dict.fromkeys("abc"), "got 3")]:
        raises((ValueError, TypeError, Boom), attach, msg,
               {"filename": "a", "data": b"", "content_type": Splits(parts)},
               match=message)
    # The payload is encoded before the name is made: the encoding's error wins.
    raises(TypeError, attach, msg,
           {"filename": BadFormat(), "data": 5, "content_type": "a/b"})
    assert msg.get_payload() == []


@case
def template_engine():
    engine = TemplateEngine(TEMPLATES)
    assert engine.render("welcome.txt", {"name": "<b>"}) == "Hello &lt;b&gt;"
    assert engine.render("nowhere.html", {}) is None
    assert engine.render_string("{{ a }}", {"a": "&"}) == "&amp;"
    engine.add_template_dir(TMP)
    assert engine.env is engine.env
    TemplateEngine()
    TemplateEngine("")


@case
def template_engine_errors():
    import jinja2
    engine = TemplateEngine(TEMPLATES)
    raises(jinja2.TemplateSyntaxError, engine.render, "broken.html", {})
    raises(ZeroDivisionError, engine.render, "failing.html", {"zero": 0})
    raises(jinja2.TemplateNotFound, engine.render, "includes.html", {})
    raises(TypeError, engine.render, "welcome.txt", {1: 2},
           match="keywords must be strings")
    raises(jinja2.TemplateSyntaxError, engine.render_string, "{{", {})
    raises(jinja2.TemplateNotFound, engine.render_string,
           "{% include 'nowhere' %}", {})
    raises(TypeError, engine.render_string, "x", {1: 2})
    with rebound(template_module, "TemplateNotFound", "not a class"):
        raises(TypeError, engine.render, "missing.html", {},
               match="catching classes that do not inherit from BaseException")


class FakeTemplate:
    def render(self, **context):
        return 1


class CallableRender:
    """A template whose render is a callable object, which the engine calls
    through the generic path rather than the fast one."""

    def __init__(self):
        self.render = self

    def __call__(self, **context):
        return "rendered"


class FakeEnvironment:
    loader = None
    template = FakeTemplate

    def get_template(self, name):
        return self.template()

    def from_string(self, text):
        return self.template()


@case
def template_engine_odd_environment():
    engine = TemplateEngine()
    engine._env = FakeEnvironment()
    raises(TypeError, engine.render, "x", {}, match="Expected str, got int")
    raises(TypeError, engine.render_string, "x", {},
           match="Expected str, got int")
    raises(AttributeError, engine.add_template_dir, "d")
    engine._env.template = CallableRender
    assert engine.render("x", {"a": 1}) == "rendered"
    assert engine.render_string("x", {"a": 1}) == "rendered"
    del engine._env
    raises(AttributeError, engine.render, "x", {})
    raises(AttributeError, lambda: engine.env)
    with rebound(template_module, "TemplateNotFound", DELETE):
        raises(NameError, TemplateEngine().render, "nowhere", {})


class Searchpath(list):
    """A search path that is not exactly a list: insert goes through the
    method."""


class NoLength:
    def clear(self):
        pass


class BadLength:
    def __len__(self):
        raise Boom("len")

    def clear(self):
        raise Boom("clear")


@case
def template_engine_odd_loader():
    engine = TemplateEngine()
    loader = engine.env.loader
    for searchpath in (Searchpath(["a"]), ("a",), None):
        loader.searchpath = searchpath
        if searchpath is None or type(searchpath) is tuple:
            raises(AttributeError, engine.add_template_dir, "d")
        else:
            engine.add_template_dir("d")
    loader.searchpath = ["a"]
    for cache, error in ((None, None), ({}, None), ({"k": 1}, None),
                         (NoLength(), None), (BadLength(), Boom),
                         (5, AttributeError)):
        engine.env.cache = cache
        if error:
            raises(error, engine.add_template_dir, "d")
        else:
            engine.add_template_dir("d")


@case
def template_engine_missing_globals():
    for name in ("Environment", "FileSystemLoader", "_DEFAULT_TEMPLATE_DIR"):
        with rebound(template_module, name, DELETE):
            raises(NameError, TemplateEngine, match=name)


# --- delivery -----------------------------------------------------------------


@case_per_mode("send")
def send_ok(mode):
    m = SERVERS.mailer(mode)
    m.send(["a@example.test"], "s", body="b", html="<p>h</p>",
           cc="c@example.test", bcc=["d@example.test"],
           sender_name="Ann", attachments=[TEXT_FILE], reply_to="r@x")


@case
def send_auth_refused():
    m = SERVERS.mailer("plain", password="wrong")
    raises(smtplib.SMTPAuthenticationError, m.send, "a@example.test", "s",
           body="b")


@case
def send_partly_refused():
    m = SERVERS.mailer("plain")
    try:
        m.send(["a@example.test", "refused@example.test"], "s", body="b")
    except smtplib.SMTPRecipientsRefused as error:
        assert list(error.recipients) == ["refused@example.test"]
    else:
        raise AssertionError("partial refusal not reported")


@case
def send_all_refused():
    m = SERVERS.mailer("plain")
    raises(smtplib.SMTPRecipientsRefused, m.send, "refused@example.test",
           "s", body="b")


@case
def send_sender_refused():
    m = SERVERS.mailer("plain")
    raises(smtplib.SMTPSenderRefused, m.send, "a@example.test", "s",
           body="b", sender="refused@example.test")


@case
def send_connection_refused():
    m = mailer(port=closed_port())
    raises(ConnectionRefusedError, m.send, "a@example.test", "s", body="b")


@case
def send_fails_before_delivery():
    m = mailer(port=closed_port())
    raises(FileNotFoundError, m.send, "a", "s", attachments=[MISSING])
    raises(TypeError, m.send, "a", "s", cc=5)


@case
def send_template_ok():
    m = SERVERS.mailer("plain")
    m.send_template("a@example.test", "Hi {{ name }}", "welcome",
                    {"name": "Ann"})
    m.send_template("a@example.test", "Hi", "only", None)
    m.send_template("a@example.test", "Hi", "welcome",
                    {"occurred_at": "then", "name": "x"})


@case
def send_template_errors():
    import jinja2
    m = mailer(port=closed_port(), template_dir=TEMPLATES)
    raises(jinja2.TemplateSyntaxError, m.send_template, "a", "s", "broken")
    raises(jinja2.TemplateSyntaxError, m.send_template, "a", "{{", "only")
    # Neither template: refused before the subject is rendered.
    raises(jinja2.TemplatesNotFound, m.send_template, "a", "{{", "nowhere")
    raises(ConnectionRefusedError, m.send_template, "a", "s", "welcome",
           {"name": 1})
    raises(TypeError, m.send_template, "a", "s", "welcome", {1: 2})
    del m._template_engine
    raises(AttributeError, m.send_template, "a", "s", "welcome")
    with rebound(mailer_module, "datetime", DELETE):
        raises(NameError, m.send_template, "a", "s", "welcome")


# --- _do_send with a stand-in smtplib: the with-statement paths -----------------


class FakeSMTP:
    """Records nothing; fails or suppresses where its class attributes say."""
    fail_enter = fail_login = fail_exit = suppress = False
    refused = {}

    def __init__(self, host, port, context=None):
        self.closed = False

    def __enter__(self):
        if self.fail_enter:
            raise Boom("enter")
        return self

    def __exit__(self, kind, value, traceback):
        self.closed = True
        if self.fail_exit:
            raise Boom("exit")
        return self.suppress

    def starttls(self, context):
        pass

    def login(self, user, password):
        if self.fail_login:
            raise smtplib.SMTPAuthenticationError(535, b"no")

    def sendmail(self, sender, recipients, text):
        return self.refused


def fake_smtplib(**behaviour):
    smtp = type("SMTP", (FakeSMTP,), behaviour)
    return types.SimpleNamespace(
        SMTP=smtp, SMTP_SSL=smtp,
        SMTPRecipientsRefused=smtplib.SMTPRecipientsRefused)


FAKES = {name: fake_smtplib(**behaviour) for name, behaviour in [
    ("ok", {}),
    ("enter", {"fail_enter": True}),
    ("login", {"fail_login": True}),
    ("exit", {"fail_exit": True}),
    ("login+exit", {"fail_login": True, "fail_exit": True}),
    ("suppress", {"fail_login": True, "suppress": True}),
    ("refused", {"refused": {"b@x": (550, b"no")}}),
    ("no-context-manager", {"__enter__": None}),
    ("static-exit", {"__exit__": staticmethod(lambda kind, value, traceback: None)}),
    ("odd-result", {"refused": ["not", "a", "dict"]}),
    ("truth-fails", {"suppress": BadBool()}),
    ("login+truth-fails", {"fail_login": True, "suppress": BadBool()}),
]}
FAKES["no-context-manager"].SMTP = object


class OnlyAsynchronous:
    def __init__(self, host, port, context=None):
        pass

    async def __aenter__(self):
        return self

    async def __aexit__(self, *exc):
        pass


FAKES["asynchronous"] = types.SimpleNamespace(SMTP=OnlyAsynchronous, SMTP_SSL=OnlyAsynchronous)


class NotAnError:
    def add_note(self, note):
        pass


FAKES["refused-odd"] = fake_smtplib(refused={"b@x": (550, b"no")})
FAKES["refused-odd"].SMTPRecipientsRefused = lambda refused: NotAnError()


@case
def do_send_with_statement():
    msg = new_msg()
    for use_ssl, use_tls in [(True, False), (False, True), (False, False)]:
        m = mailer(use_ssl=use_ssl, use_tls=use_tls)
        with rebound(mailer_module, "smtplib", FAKES["ok"]):
            assert m._do_send(msg, ["a"], "s") is None
        with rebound(mailer_module, "smtplib", FAKES["suppress"]):
            assert m._do_send(msg, ["a"], "s") is None
        with rebound(mailer_module, "smtplib", FAKES["enter"]):
            raises(Boom, m._do_send, msg, ["a"], "s", match="enter")
        with rebound(mailer_module, "smtplib", FAKES["login"]):
            raises(smtplib.SMTPAuthenticationError, m._do_send, msg, ["a"],
                   "s")
        with rebound(mailer_module, "smtplib", FAKES["exit"]):
            raises(Boom, m._do_send, msg, ["a"], "s", match="exit")
        with rebound(mailer_module, "smtplib", FAKES["login+exit"]):
            try:
                m._do_send(msg, ["a"], "s")
            except Boom as error:
                assert isinstance(error.__context__,
                                  smtplib.SMTPAuthenticationError)
            else:
                raise AssertionError("no error from __exit__")
        with rebound(mailer_module, "smtplib", FAKES["refused"]):
            raises(smtplib.SMTPRecipientsRefused, m._do_send, msg, ["a"], "s")
        with rebound(mailer_module, "smtplib", FAKES["no-context-manager"]):
            raises(TypeError, m._do_send, msg, ["a"], "s")
        with rebound(mailer_module, "smtplib", FAKES["asynchronous"]):
            raises(TypeError, m._do_send, msg, ["a"], "s", match="async with")
        for quiet in ("static-exit", "odd-result"):
            with rebound(mailer_module, "smtplib", FAKES[quiet]):
                assert m._do_send(msg, ["a"], "s") is None
        with rebound(mailer_module, "smtplib", FAKES["refused-odd"]):
            raises(TypeError, m._do_send, msg, ["a"], "s",
                   match="must derive from BaseException")
        # What __exit__ returns counts only on the way out of a failure.
        with rebound(mailer_module, "smtplib", FAKES["truth-fails"]):
            assert m._do_send(msg, ["a"], "s") is None
        with rebound(mailer_module, "smtplib", FAKES["login+truth-fails"]):
            raises(Boom, m._do_send, msg, ["a"], "s", match="__bool__")


def suppressed_in_a_generator(m, msg):
    m._do_send(msg, ["a"], "s")
    yield sys.exception()
    yield sys.exception()


@case
def do_send_inside_a_generator():
    # The handled exception is saved and restored around __exit__ in the
    # generator's own slot, while its caller handles another.
    m, msg = mailer(use_ssl=False), new_msg()
    with rebound(mailer_module, "smtplib", FAKES["suppress"]):
        try:
            raise Boom("the caller's")
        except Boom:
            generator = suppressed_in_a_generator(m, msg)
            assert isinstance(next(generator), Boom)
        assert next(generator) is None


@case
def do_send_odd_instances():
    msg = new_msg()
    m = mailer()
    with rebound(mailer_module, "smtplib", FAKES["ok"]):
        raises(AttributeError, m._do_send, object(), ["a"], "s")
        m.use_ssl = BadBool()
        raises(Boom, m._do_send, msg, ["a"], "s")
        m.use_ssl = False
        m.use_tls = BadBool()
        raises(Boom, m._do_send, msg, ["a"], "s")
        del m.use_tls
        raises(AttributeError, m._do_send, msg, ["a"], "s")
        del m.password
        raises(AttributeError, m._do_send, msg, ["a"], "s")
    with rebound(mailer_module, "ssl", DELETE):
        raises(NameError, m._do_send, msg, ["a"], "s", match="ssl")


# --- vantrel.session: many messages over one connection --------------------------


@case_per_mode("session")
def session_ok(mode):
    with Session(SERVERS.mailer(mode)) as session:
        session.send(["a@example.test"], "s", body="b", bcc="d@example.test",
                     attachments=[TEXT_FILE])
        # The second message looks at the socket before it goes.
        session.send_template("a@example.test", "Hi {{ name }}", "welcome",
                              {"name": "Ann"})
        assert session.sent == 2 and session.connections == 1
        repr(session)
    session.close()


@case
def session_refusals():
    with Session(SERVERS.mailer("plain")) as session:
        try:
            session.send(["a@example.test", "refused@example.test"], "s", body="b")
        except smtplib.SMTPRecipientsRefused as error:
            assert list(error.recipients) == ["refused@example.test"]
        else:
            raise AssertionError("partial refusal not reported")
        raises(smtplib.SMTPRecipientsRefused, session.send, "refused@example.test", "s")
        raises(smtplib.SMTPSenderRefused, session.send, "a@example.test", "s",
               sender="refused@example.test")
        session.send("a@example.test", "s")
        assert session.connections == 1


@case
def session_cannot_connect():
    raises(smtplib.SMTPAuthenticationError,
           Session(SERVERS.mailer("starttls", password="wrong")).__enter__)
    session = Session(mailer(port=closed_port()))
    raises(ConnectionRefusedError, session.send, "a@example.test", "s")
    raises(ConnectionRefusedError, session.__enter__)
    assert session.connections == 0


@case
def session_errors():
    m = mailer()
    raises(TypeError, Session, object(), match="expected EasyMailer, got object")
    raises(TypeError, Session, m, True, match="expected int, got bool")
    raises(ValueError, Session, m, 0, match="at least 1")
    raises(ValueError, Session, m, -2 ** 80, match="at least 1")
    Session(m, 2 ** 80)
    raises(TypeError, Session.send, m, "a", "s", match="doesn't apply to a 'EasyMailer'")
    bare = Session.__new__(Session)
    raises(RuntimeError, bare.send, "a", "s", match="__init__")
    raises(RuntimeError, bare.__enter__, match="__init__")
    bare.close()
    repr(bare)
    session = Session(m)
    raises(FileNotFoundError, session.send, "a", "s", attachments=[MISSING])
    with rebound(session_module, "EasyMailer", DELETE):
        raises(NameError, Session, m, match="EasyMailer")
    with rebound(session_module, "ssl", DELETE):
        raises(NameError, session.send, "a", "s", match="ssl")
    with rebound(session_module, "datetime", DELETE):
        raises(NameError, session.send_template, "a", "s", "welcome")
    m.default_sender = None
    raises(TypeError, session.send, "a", "s", match="Argument 'sender'")
    m._collect_recipients = lambda to, cc, bcc: ("a",)
    raises(TypeError, session.send, "a", "s", match="Argument 'recipients'")
    del m.use_ssl
    raises(AttributeError, repr, session)


@case
def session_reconnecting():
    m = mailer()
    # 421 to the second MAIL FROM of each connection; a server that hangs up
    # after the first message; a limit of two messages per connection; the
    # same without pipelining.
    for behaviour, limit, sends, connections in [
            ({"busy_after": 1}, None, 3, 3),
            ({"hang_up_after": 1}, None, 3, 3),
            ({}, 2, 3, 2),
            ({"pipelining": False, "busy_after": 1}, None, 3, 3)]:
        with rebound(session_module, "_connect", scripted(**behaviour)):
            with Session(m, max_per_connection=limit) as session:
                for _ in range(sends):
                    session.send("a", "s")
                assert (session.sent, session.connections) == (sends, connections), behaviour
                results = session.send_many([dict(to="a", subject="s")] * sends)
                assert results == [None] * sends
    fake = scripted(busy_after=1, failure_after_busy="connect")
    with rebound(session_module, "_connect", fake):
        session = Session(m)
        session.send("a", "s")
        try:
            session.send("a", "s")
        except ConnectionRefusedError as error:
            assert isinstance(error.__context__, smtplib.SMTPSenderRefused)
        else:
            raise AssertionError("the reconnection did not fail")
    with rebound(session_module, "_connect", scripted(busy_after=0)):
        session = Session(m)
        raises(smtplib.SMTPSenderRefused, session.send, "a", "s")
        results = session.send_many([dict(to="a", subject="s"), dict(to="a", subject=None)])
        assert [type(r) for r in results] == [smtplib.SMTPSenderRefused, TypeError]


@case
def session_failures():
    m = mailer()
    for failure, error, fate in [("unknown", smtplib.SMTPServerDisconnected, "unknown"),
                                 ("answered", smtplib.SMTPDataError, "permanent")]:
        with rebound(session_module, "_connect", scripted(failure=failure)):
            session = Session(m)
            raises(error, session.send, "a", "s")
            try:
                session.send("a", "s")
            except error as caught:
                assert session_module.classify(caught) == fate
            results = session.send_many([dict(to="a", subject="s")] * 2)
            assert [type(r) for r in results] == [error, error]
            session.close()
    fake = scripted(failure="reentrant")
    with rebound(session_module, "_connect", fake):
        session = Session(m)
        fake.session = session
        raises(RuntimeError, session.send, "a", "s", match="already using it")
        del fake.session
    with rebound(session_module, "_connect", scripted(fail_login=True)):
        raises(smtplib.SMTPAuthenticationError, Session(m).__enter__)
    with rebound(session_module, "_connect", scripted(fail_quit=True, fail_close=True)):
        session = Session(m).__enter__()
        # QUIT's error is of no interest, close's propagates.
        raises(OSError, session.close, match="close")
        session.close()  # nothing left to close
        session.__enter__()
        raises(OSError, session.__exit__, None, None, None)
        # After an error in the block, the block's error is the one raised.
        try:
            with Session(m):
                raise Boom("block")
        except Boom:
            pass
    with rebound(session_module, "_connect", scripted()):
        session = Session(m).__enter__()
        session.__init__(mailer())  # another mailer: the connection is ended
        session.__init__(session_module.EasyMailer("h", 1, "u", "p"), 3)
        session.close()
        for bad in [BadIter(), [object()], [dict(to=Boom())]]:
            try:
                session.send_many(bad)
            except Exception:
                pass
        session.close()


@case
def session_messages():
    with rebound(session_module, "_connect", scripted()):
        with Session(mailer(), timeout=None, pipelining=False) as session:
            msg = new_msg()
            msg["From"] = "Ann <a@example.test>"
            msg["To"] = "b@example.test, c@example.test"
            msg["Bcc"] = "d@example.test"
            session.send_message(msg)
            session.send_message(b"From: a@example.test\r\nTo: b@example.test\r\n\r\nx\r\n")
            session.send_message(b"x\r\n", "a@example.test", "b@example.test")
            raises(TypeError, session.send_message, "x", match="Message or bytes")
            raises(ValueError, session.send_message, b"x\r\n", match="From")
            raises(ValueError, session.send_message, b"x", "a@x", [""], match="empty")
            assert session.last_reply == (250, "queued as 1")
    for error in [smtplib.SMTPRecipientsRefused({"a": (421, b"closing")}), OSError(), Boom(),
                  smtplib.SMTPDataError(451, b"later"), TimeoutError()]:
        session_module.classify(error)
    raises(TypeError, session_module.classify, "x", match="BaseException")
    raises(ValueError, Session, mailer(), timeout=0, match="positive")
    raises(TypeError, Session, mailer(), timeout="1", match="expected float")


@case
def session_fork():
    with rebound(session_module, "_connect", scripted()):
        session = Session(mailer()).__enter__()
        pid = os.fork()
        if pid == 0:
            try:
                session.send("a", "child")
                session.close()
            finally:
                os._exit(0)
        os.waitpid(pid, 0)
        session.send("a", "parent")
        session.close()


# --- vantrel.testing: captures, the stand-in connection, rehearsals ----------------


def captured_mailer(mode):
    return mailer(host="mx.example.test", use_ssl=mode == "ssl",
                  use_tls=mode == "starttls", template_dir=TEMPLATES)


@case_per_mode("capture_send")
def capture_send(mode):
    with capture() as outbox:
        captured_mailer(mode).send(
            ["a@example.test"], "s", body="b", html="<p>h</p>", bcc="d@x",
            sender_name="Ann", attachments=[TEXT_FILE])
        captured_mailer(mode).send_template("a@example.test", "Hi {{ name }}",
                                            "welcome", {"name": "Ann"})
    assert [m.mode for m in outbox] == [mode, mode]
    assert outbox[0].rcpt_tos == ["a@example.test", "d@x"]
    assert outbox[1].message["Subject"] == "Hi Ann"


class NonAscii:
    def as_string(self):
        return "Subject: x\n\nGr\u00fc\u00dfe\n"


@case
def capture_rehearsals():
    m = captured_mailer("plain")
    with capture() as outbox:
        outbox.refuse_recipient("Bob <refused@x>", message="5.1.1 gone")
        raises(smtplib.SMTPRecipientsRefused, m.send, "refused@x", "s", body="b")
        raises(smtplib.SMTPRecipientsRefused, m.send, ["a@x", "refused@x"], "s",
               body="b")
        raises(smtplib.SMTPRecipientsRefused, m.send, [], "s", body="b")
        raises(UnicodeEncodeError, m._do_send, NonAscii(), ["a@x"], "s@x")
        outbox.refuse_sender("s@x", 421)
        raises(smtplib.SMTPSenderRefused, m.send, "a@x", "s", body="b",
               sender="s@x")
        outbox.refuse_sender()
        raises(smtplib.SMTPSenderRefused, m.send, "a@x", "s", body="b")
        outbox.refuse_login()
        outbox.refuse_login(454, "4.7.0 later")
        raises(smtplib.SMTPAuthenticationError, m.send, "a@x", "s", body="b")
        outbox.disconnect()
        raises(ConnectionRefusedError, m.send, "a@x", "s", body="b")
        for code in (250, 600, 1 << 70):
            raises((ValueError, OverflowError), outbox.refuse_login, code)
    assert len(outbox) == 1 and outbox[0].rcpt_tos == ["a@x"]


@case
def capture_refused_by_smtplib():
    m = captured_mailer("plain")
    with capture() as outbox:
        raises(UnicodeEncodeError, m.send, "a@x", "s", body="b", sender="s\u00f8@x")
        raises(UnicodeEncodeError, m.send, ["a@x", "b\u00f8@x"], "s", body="b")
        raises(ValueError, m.send, "a@x", "s", body="b", bcc=["b@x\ny"])
        raises(TypeError, mailer_module.smtplib.SMTP("mx").sendmail, "s@x", "a@x", 5)
        raises(UnicodeEncodeError, mailer(host="mx", password="p\u00e4ss").send,
               "a@x", "s", body="b")
    assert len(outbox) == 0


@case
def capture_session_states():
    first, second = capture(), capture()
    session = Session(captured_mailer("plain"))
    with first:
        session.send("a@x", "one", body="b")
        with second:
            session.send("a@x", "two", body="b")
        session.send("a@x", "three", body="b")
    first.__enter__()
    second.__enter__()
    first.__exit__(None, None, None)
    session.send("a@x", "four", body="b")
    second.__exit__(None, None, None)
    session.close()
    assert [len(first), len(second), session.connections] == [2, 2, 4]


@case
def capture_session():
    with capture() as outbox:
        with Session(captured_mailer("starttls")) as session:
            session.send("a@x", "one", body="b")
            session.send_template("a@x", "Hi {{ name }}", "welcome", {"name": "Ann"})
            outbox.refuse_sender(code=421, message="4.7.0 Too many messages")
            raises(smtplib.SMTPSenderRefused, session.send, "a@x", "two", body="b")
            assert session.connections == 2
    assert [m.message["Subject"] for m in outbox] == ["one", "Hi Ann"]


@case
def capture_session_token():
    from vantrel.auth import OAuthBearer, StaticToken, TokenCommand, TokenError, XOAuth2
    m = captured_mailer("starttls")
    with capture() as outbox:
        with Session(m, auth=XOAuth2(StaticToken("tok"))) as session:
            session.send("a@x", "one", body="b")
        outbox.refuse_token()  # refused once, then signed in with a new token
        with Session(m, auth=OAuthBearer(StaticToken("tok"), user="u@x")) as session:
            session.send("a@x", "two", body="b")
        outbox.refuse_token()
        outbox.refuse_token()
        raises(smtplib.SMTPAuthenticationError,
               Session(m, auth=XOAuth2(StaticToken("tok"))).__enter__)
        raises(TokenError, Session(m, auth=XOAuth2(TokenCommand(["/nonexistent/x"]))).__enter__)
        raises(TypeError, Session, m, auth="tok")
    assert [sent.mechanism for sent in outbox] == ["XOAUTH2", "OAUTHBEARER"]


@case
def capture_async_session_token():
    import asyncio
    from vantrel.aio import AsyncSession
    from vantrel.auth import StaticToken, XOAuth2

    async def send(m):
        async with AsyncSession(m, auth=XOAuth2(StaticToken("tok"))) as session:
            await session.send("a@x", "one", body="b")

    m = captured_mailer("plain")
    with capture() as outbox:
        asyncio.run(send(m))
        outbox.refuse_token()  # the new token comes from the loop's executor
        asyncio.run(send(m))
    assert [sent.mechanism for sent in outbox] == ["XOAUTH2", "XOAUTH2"]


@case
def capture_recipients_421():
    with capture() as outbox:
        connection = mailer_module.smtplib.SMTP("mx", 25)
        outbox.refuse_recipient("b@x", 421)
        raises(smtplib.SMTPRecipientsRefused, connection.sendmail, "s@x",
               ["a@x", "b@x", "c@x"], "x")
        raises(smtplib.SMTPServerDisconnected, connection.sendmail, "s@x", "a@x", "x")


def b64(data):
    import base64
    return base64.b64encode(data)


@case
def standin_server():
    with capture() as outbox:
        outbox.refuse_recipient("gone@x", message="5.1.1 gone")
        outbox.refuse_token(message="5.7.8 expired")
        outbox.disconnect()
        raises(ConnectionRefusedError, testing_module._StandInServer)
        server = testing_module._StandInServer("mx", 587)
        server.feed(b"")
        raises(ssl.SSLError, server.start_tls)
        raises(TypeError, server.feed, 5)
        server.feed(b"EHLO c\r\nSTARTTLS\r\n")
        server.start_tls()
        token = b64(b"user=u\x01auth=Bearer t\x01\x01")
        server.feed(b"EHLO c\r\nAUTH XOAUTH2 " + token + b"\r\n\r\nAUTH XOAUTH2 " + token + b"\r\n")
        server.feed("MAIL FROM:<é@x> SMTPUTF8 SIZE=9\r\nRCPT TO:<gone@x>\r\n".encode())
        server.feed(b"RCPT TO:<a@x>\r\nDATA\r\nSubject: a\r\n\r\n..b\xff\r\n.\r\n")
        server.feed(b"MAIL FROM:<s@x>\r\nRCPT TO:<a@x>\r\nBDAT 4\r\nab\r\nBDAT 0 LAST\r\n")
        server.feed(b"BDAT x\r\n")
        assert server.closed and [m.mechanism for m in outbox] == ["XOAUTH2"] * 2
        outbox.refuse_sender(code=421)
        other = testing_module._StandInServer()
        other.feed(b"HELO c\r\nAUTH LOGIN\r\nMAIL FROM:<s@x>\r\n")
        other.close()
    assert outbox[0].text == "Subject: a\r\n\r\n.b\udcff\r\n"


@case
def standin_transport():
    saved = session_module.__dict__.get("_connect")
    session_module._connect = object()  # as where the session connects through it
    try:
        with capture() as outbox:
            connect = session_module._connect
            outbox.disconnect()
            raises(ConnectionRefusedError, connect, "mx", 465, None)
            raises(TypeError, connect, 5, 465, None)
            transport = connect("mx", 465, 1.0)
            transport.start_tls(None, "mx")
            assert transport.pending() and transport.recv()
            raises(TimeoutError, transport.recv)
            transport.send(b"EHLO c\r\nAUTH PLAIN " + b64(b"\0u\0p") + b"\r\nQUIT\r\n")
            assert transport.recv() and transport.recv() == b""
            raises(BrokenPipeError, transport.send, b"NOOP\r\n")
            transport.close()
            raises(OSError, transport.pending)
            idle = connect("mx", 25, None)
        assert idle.pending()
        idle.abandon()
    finally:
        if saved is None:
            del session_module._connect
        else:
            session_module._connect = saved


@case
def capture_connection():
    with capture() as outbox:
        standin = mailer_module.smtplib
        with standin.SMTP_SSL("mx", context=None) as connection:
            raises(smtplib.SMTPNotSupportedError, connection.starttls)
            assert connection.login("u", "p")[0] == 235
            assert connection.sendmail("s@x", "a@x", b"Subject: a\n\nb\n") == {}
            assert connection.sendmail("s@x", ("a@x",), bytearray(b"\n")) == {}
            raises(TypeError, connection.sendmail, "s@x", ["a@x"], 5)
            raises(TypeError, connection.sendmail, "s@x", 5, "x")
            assert connection.quit() == (221, b"Bye")
        for method, args in [("sendmail", ("s", "a", "x")), ("login", ("u", "p")),
                             ("starttls", ()), ("quit", ())]:
            raises(smtplib.SMTPServerDisconnected, getattr(connection, method), *args)
        connection.close()
        assert connection.sock is None
        plain = standin.SMTP("mx")
        raises(AttributeError, getattr, plain, "sock")
        assert plain.starttls(context=None)[0] == 220
        plain.close()
        looped = standin.SMTP("mx")
        looped.login((looped,), "p")  # a cycle only the connection's clear step breaks
        del looped
        raises(smtplib.SMTPServerDisconnected, standin.SMTP().sendmail, "s", "a", "x")
        raises(TypeError, type(connection).close, outbox)
    assert [m.port for m in outbox] == [465, 465]
    raises(RuntimeError, standin.SMTP, "mx")


def user_binding():
    """Captures over each binding a user may have made, ending in any order."""
    own = object()
    for binding in (own, DELETE):
        with rebound(mailer_module, "smtplib", binding):
            with capture():
                raise_inside = capture()
                try:
                    with raise_inside:
                        raise Boom("inside")
                except Boom:
                    pass
            found = mailer_module.__dict__.get("smtplib", DELETE)
            assert found is binding
    first, second = capture(), capture()
    first.__enter__()
    second.__enter__()
    first.__exit__(None, None, None)
    second.__exit__(None, None, None)
    assert mailer_module.smtplib is smtplib
    raises(RuntimeError, second.__exit__, None, None, None)


CASES["capture_nesting"] = user_binding


class Holder:
    pass


@case
def capture_decorator():
    outbox = capture()
    m = captured_mailer("starttls")

    def deliver(subject):
        m.send("a@x", subject, body="b")
        if subject == "fail":
            raise Boom("fail")
        return subject

    wrapped = outbox(deliver)
    assert wrapped("one") == "one" and wrapped.__wrapped__ is deliver
    raises(Boom, wrapped, "fail")
    Holder.method = outbox(lambda self, x: x)
    assert Holder().method(3) == 3 and Holder.method(None, 4) == 4
    assert repr(wrapped).startswith("<capturing <function ")
    raises(TypeError, outbox, 5)
    raises(TypeError, outbox, match="takes exactly 2 positional arguments")
    raises(TypeError, outbox, len, len)
    assert weakref.ref(wrapped)() is wrapped
    del Holder.method
    assert len(outbox) == 2


class Pause:
    def __await__(self):
        yield "paused"


@case
def capture_coroutine_decorator():
    outbox = capture()
    m = captured_mailer("plain")

    async def deliver(subject):
        await Pause()
        m.send("a@x", subject, body="b")
        if subject == "fail":
            raise Boom("fail")
        return subject

    wrapped = outbox(deliver)
    assert inspect.iscoroutinefunction(wrapped)
    call = wrapped("one")
    assert call.send(None) == "paused"
    raises(StopIteration, call.send, None)
    raises(RuntimeError, call.send, None)
    call = wrapped("fail")
    call.send(None)
    raises(Boom, call.send, None)
    call = wrapped(subject="thrown")
    call.send(None)
    raises(KeyError, call.throw, KeyError("k"))
    raises(KeyError, wrapped("fresh").throw, KeyError, None, None)
    wrapped("never").close()
    call = wrapped("closed")
    call.send(None)
    call.close()
    dropped = wrapped("dropped")
    dropped.send(None)
    del dropped
    looped = [wrapped]
    call = outbox(inspect.markcoroutinefunction(lambda box: Pause()))(looped)
    looped.append(call)
    call.send(None)
    del call, looped  # a cycle through the call's arguments: closed by the collector
    gc.collect()
    raises(TypeError, outbox(inspect.markcoroutinefunction(lambda: 5))().send, None)
    assert mailer_module.smtplib is smtplib and len(outbox) == 2


@case
def outbox_sequence():
    m = captured_mailer("plain")
    with capture() as outbox:
        for subject in ("one", "two"):
            m.send("a@x", subject, body="b")
    assert len(outbox) == 2 and outbox[-1].message["Subject"] == "two"
    assert [s.port for s in outbox[0:5]] == [2525, 2525] and list(outbox)
    assert repr(outbox) == "<Outbox: 2 messages>" and "subject 'one'" in repr(outbox[0])
    first = outbox[0]
    assert (first.mail_from, first.host, first.username, first.text[:0]) == (
        USER, "mx.example.test", USER, "")
    for key, error in [(2, IndexError), (-3, IndexError), (1 << 70, IndexError),
                       ("0", TypeError), (None, TypeError)]:
        raises(error, outbox.__getitem__, key)
    raises(AttributeError, setattr, first, "mail_from", "x")
    raises(TypeError, Outbox.clear, 5, match="doesn't apply to a 'int'")
    raises(TypeError, Outbox)
    raises(TypeError, SentMessage)
    outbox.clear()
    assert repr(outbox) == "<Outbox: 0 messages>"
    assert "code: 'int' = 550" in str(inspect.signature(Outbox.refuse_recipient))


def reimport():
    for name, module in (("vantrel.mailer", mailer_module),
                         ("vantrel.session", session_module),
                         ("vantrel.template", template_module),
                         ("vantrel.testing", testing_module)):
        del sys.modules[name]
        try:
            assert importlib.import_module(name) is module
        finally:
            sys.modules[name] = module


# The import system itself keeps one memory block for every import of an
# extension module whose creation step hands back a module it already made
# (as the module frame does, so that a second import gives the same module):
# a minimal C module with only that creation step shows the same.  No
# reference is kept.
reimport.blocks_per_round = 4
CASES["reimport"] = reimport


# ---------------------------------------------------------------------------
# The hunt.


def cleanup():
    for module in list(sys.modules.values()):
        if hasattr(module, "__warningregistry__"):
            del module.__warningregistry__
    re.purge()
    import linecache
    linecache.clearcache()
    typing = sys.modules.get("typing")
    if typing is not None:
        for clear in typing._cleanups:
            clear()
    sys._clear_internal_caches()
    gc.collect()
    gc.collect()


INT_POOL = {value: value for value in range(-1000, 1000)}


def pooled(value):
    return INT_POOL.setdefault(value, value)


def hunt(function, warmup, rounds):
    """Runs function warmup + rounds times; the deltas of the counted rounds."""
    total = warmup + rounds
    ref_deltas = [0] * total
    block_deltas = [0] * total
    refs_before = blocks_before = 0
    gettotalrefcount = sys.gettotalrefcount
    getallocatedblocks = sys.getallocatedblocks
    cleanup()
    for i in range(total):
        function()
        cleanup()
        blocks_after = getallocatedblocks()
        refs_after = gettotalrefcount()
        ref_deltas[i] = pooled(refs_after - refs_before)
        block_deltas[i] = pooled(blocks_after - blocks_before)
        refs_before = refs_after
        blocks_before = blocks_after
    return ref_deltas[warmup:], block_deltas[warmup:]


@case
def smtp_engine():
    # A login, one message pipelined with a refused recipient, then the
    # engine's own errors; the events become dicts and the texts are held
    # until each message's last event.
    engine = Engine(trace=True)
    engine.hello("client.test")
    engine.login("user", "secret")
    engine.receive(b"220 mx.test\r\n")
    engine.output()
    engine.receive(b"250-mx.test\r\n250-PIPELINING\r\n250 AUTH PLAIN\r\n")
    engine.output()
    engine.receive(b"235 ok\r\n")
    engine.send("a@x.test", ["b@x.test", "c@x.test"], b"text\n")
    engine.output()
    engine.receive(b"250 ok\r\n250 ok\r\n550 no\r\n354 go\r\n")
    engine.output()
    engine.receive(b"250 queued\r\n")
    assert engine.events()[-1]["kind"] == "accepted"
    assert engine.capabilities()["pipelining"]
    raises(ValueError, engine.send, "a@x.test\r\n", ["b@x.test"], b"")
    raises(TypeError, engine.send, "a@x.test", ["b@x.test"], "not bytes")
    raises(TypeError, engine.send, "a@x.test", [1], b"")
    raises(TypeError, engine.receive, "not bytes")
    raises(ValueError, Engine, chunk_size=0)
    # A message still under way when the engine is made again or dropped.
    engine.send("a@x.test", ["b@x.test"], b"held")
    engine.__init__()
    engine.send("a@x.test", ["b@x.test"], b"held")
    engine.receive(b"garbage\r\n")
    assert engine.events()[0]["kind"] == "protocol_error"
    engine.send("a@x.test", ["b@x.test"], b"held")


# --- vantrel.dkim -------------------------------------------------------------

def openssl_key(*options):
    """A PEM private key from the openssl command: no key library is loaded
    into this interpreter, whose counts it would skew."""
    return subprocess.run(["openssl", "genpkey", *options], capture_output=True,
                          check=True).stdout


DKIM_KEYS = {}


def dkim_key(algorithm):
    if algorithm not in DKIM_KEYS:
        DKIM_KEYS[algorithm] = openssl_key(
            "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048") \
            if algorithm == "rsa-sha256" else openssl_key("-algorithm", "ED25519")
    return DKIM_KEYS[algorithm]


DKIM_MESSAGE = (b"From: Ann <ann@example.test>\r\nTo: bob@example.test\r\n"
                b"Subject: hi\r\n\r\n.dots\n  spaced  \r\n\r\n")


@case
def dkim_sign_and_verify():
    for algorithm in ("rsa-sha256", "ed25519-sha256"):
        signer = dkim_module.Signer("example.test", "sel", dkim_key(algorithm), algorithm)
        signed = signer.sign(DKIM_MESSAGE)
        assert dkim_module.verify(signed, signer.dns_record)
        assert not dkim_module.verify(signed.replace(b"hi", b"ho"), signer.dns_record)
        assert not dkim_module.verify(DKIM_MESSAGE, signer.dns_record)
        assert signer.headers[0] == "from" and repr(signer).startswith("<Signer")
        signer.sign(DKIM_MESSAGE.decode())


@case
def dkim_errors():
    key = dkim_key("rsa-sha256")
    raises(ValueError, dkim_module.Signer, "example.test", "sel", b"junk")
    raises(ValueError, dkim_module.Signer, "example.test", "sel", key, "rsa-sha1")
    raises(ValueError, dkim_module.Signer, "example.test", "sel", key, "ed25519-sha256")
    raises(ValueError, dkim_module.Signer, "example.test", "sel", key, "rsa-sha256", ["To"])
    raises(TypeError, dkim_module.Signer, "example.test", "sel", key, "rsa-sha256", [1])
    raises(TypeError, dkim_module.Signer, "example.test", "sel", 42)
    raises(FileNotFoundError, dkim_module.Signer, "example.test", "sel", "/nonexistent.pem")
    signer = dkim_module.Signer("example.test", "sel", key)
    raises(TypeError, signer.sign, 42)
    raises(ValueError, signer.sign, b"no header line at all")
    raises(ValueError, dkim_module.verify, DKIM_MESSAGE, "v=DKIM1; k=rsa; p=")
    raises(TypeError, dkim_module.verify, DKIM_MESSAGE, 42)
    raises(TypeError, pickle.dumps, signer)

# --- vantrel.aio -----------------------------------------------------------


def run_async(coroutine_function):
    """One event loop per round, closed at the end: what it made goes with it."""
    import asyncio
    asyncio.run(coroutine_function())


@case_per_mode("async_session")
def async_session_ok(mode):
    import asyncio
    from vantrel.aio import AsyncSession

    async def body():
        async with AsyncSession(SERVERS.mailer(mode), connections=2) as session:
            await asyncio.gather(*(session.send(f"u{i}@example.test", "s", body="b")
                                   for i in range(6)))
            await session.send_template("a@example.test", "Hi {{ name }}", "welcome",
                                        {"name": "Ann"})
            assert session.sent == 7
            repr(session)
        await session.aclose()

    run_async(body)


@case
def async_session_refusals_and_cancellation():
    import asyncio
    from vantrel.aio import AsyncSession

    async def body():
        async with AsyncSession(SERVERS.mailer("plain")) as session:
            results = await asyncio.gather(
                session.send(["a@example.test", "refused@example.test"], "s", body="b"),
                session.send("refused@example.test", "s"),
                session.send("a@example.test", "s", sender="refused@example.test"),
                return_exceptions=True)
            assert [type(r) for r in results] == [smtplib.SMTPRecipientsRefused] * 2 + \
                [smtplib.SMTPSenderRefused]
            # Built as a connection takes them: what building raises goes to
            # that send's future.
            results = await asyncio.gather(
                session.send("a@example.test", "s", attachments=["/nonexistent/file"]),
                session.send("a@example.test", "s", bcc="b@exa\rmple.test"),
                session.send("a@example.test", "s", body="b"),
                return_exceptions=True)
            assert [type(r) for r in results] == [FileNotFoundError, ValueError, type(None)]
            waiting = [asyncio.ensure_future(session.send("a@example.test", "s"))
                       for _ in range(3)]
            await asyncio.sleep(0)
            for task in waiting:
                task.cancel()
            await asyncio.gather(*waiting, return_exceptions=True)
            never = session.send("a@example.test", "s")
            never.close()
            await session.send("a@example.test", "s")

    run_async(body)


@case
def async_session_errors():
    from vantrel.aio import AsyncSession

    raises(TypeError, AsyncSession, object())
    raises(ValueError, AsyncSession, mailer(), connections=0)
    raises(TypeError, AsyncSession, mailer(), timeout="1")

    async def run():
        session = AsyncSession(SERVERS.mailer("starttls", password="wrong"))
        try:
            await session.__aenter__()
        except smtplib.SMTPAuthenticationError:
            pass
        else:
            raise AssertionError("login accepted")
        closed = AsyncSession(mailer(port=closed_port()))
        try:
            await closed.send("a@example.test", "s")
        except ConnectionRefusedError:
            pass
        else:
            raise AssertionError("connected to a closed port")

    run_async(run)



def addressed_msg():
    msg = new_msg()
    msg["From"], msg["To"], msg["Subject"] = "ann@example.test", "a@example.test", "s"
    return msg


@case
def session_signed():
    signer = dkim_module.Signer("example.test", "sel", dkim_key("ed25519-sha256"),
                                "ed25519-sha256")
    with Session(SERVERS.mailer("plain"), message_id=True, dkim=signer) as session:
        session.send("a@example.test", "s", body="b", headers={"X-A": "1"},
                     unsubscribe=["https://example.test/u", "mailto:u@example.test"])
        session.send_template("a@example.test", "s", "welcome", {"name": "Ann"},
                              unsubscribe="mailto:u@example.test")
        msg = addressed_msg()
        session.send_message(msg)
        session.send_message(msg.as_bytes())
        assert "Message-ID" not in msg
        results = session.send_many([dict(to="a@example.test", subject="s",
                                          headers={"X-B": "2"}),
                                     dict(to="a@example.test", subject="s",
                                          headers={"Subject": "x"})])
        assert results[0] is None and isinstance(results[1], ValueError)
    text = session_module._finished_text(addressed_msg(), "ann@example.test", {"X-A": "1"},
                                         "https://example.test/u", "example.test", signer)
    assert dkim_module.verify(text, signer.dns_record)


@case
def session_header_errors():
    signer = dkim_module.Signer("example.test", "sel", dkim_key("rsa-sha256"))
    m = mailer()
    raises(TypeError, Session, m, message_id=1, match="message_id")
    raises(ValueError, Session, m, message_id="a b", match="message_id")
    raises(TypeError, Session, m, dkim="key", match="dkim")
    session = Session(m, message_id=True, dkim=signer)
    for headers, unsubscribe, error in [
            ({"X-A": "a\nb"}, None, ValueError), ({"X A": "1"}, None, ValueError),
            ({"From": "x"}, None, ValueError), ({"bcc": "x"}, None, ValueError),
            ({"X-A": 1}, None, TypeError), ([], None, TypeError),
            ({"X-A": "1", "x-a": "2"}, None, ValueError),
            ({"List-Unsubscribe": "<mailto:a@b>"}, "mailto:a@b", ValueError),
            (None, "ftp://example.test", ValueError), (None, [1], TypeError),
            (None, [], ValueError), (None, "https://a b", ValueError)]:
        raises(error, session.send, "a", "s", headers=headers, unsubscribe=unsubscribe)
    m.default_sender = "nodomain"
    raises(ValueError, session.send, "a", "s", match="needs a sender with a domain")
    unsigned = Session.__new__(Session)
    raises(RuntimeError, unsigned.send, "a", "s", match="__init__")
    bare = dkim_module.Signer.__new__(dkim_module.Signer)
    raises(RuntimeError, session_module._finished_text, addressed_msg(), "a@b.test", None, None,
           False, bare, match="__init__")
    raises(TypeError, session_module._finished_text, b"bytes", "a@b.test")


def main():
    global SERVERS
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--warmup", type=int, default=6)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("-k", dest="pattern", default="",
                        help="only the cases whose name contains this")
    parser.add_argument("--list", action="store_true")
    options = parser.parse_args()

    if not hasattr(sys, "gettotalrefcount"):
        raise SystemExit("refleak: needs a debug build of the interpreter")
    register_binder_cases()
    selected = {name: f for name, f in CASES.items() if options.pattern in name}
    if options.list:
        print("\n".join(selected))
        return 0

    unraisable = []
    sys.unraisablehook = unraisable.append
    SERVERS = Servers()
    failures = []
    try:
        for name, function in selected.items():
            try:
                refs, blocks = hunt(function, options.warmup, options.rounds)
            except Exception as error:
                failures.append(name)
                print(f"FAIL  {name}: {type(error).__name__}: {error}",
                      flush=True)
                continue
            allowed = getattr(function, "blocks_per_round", 0)
            leaked = any(refs) or any(b != allowed for b in blocks)
            if leaked:
                failures.append(name)
            print(f"{'LEAK' if leaked else 'ok  '}  {name:40} "
                  f"refs {refs} blocks {blocks}", flush=True)
    finally:
        SERVERS.close()
    release = sorted(
        getattr(module, "__file__", "") for module in list(sys.modules.values())
        if ".cpython-314-" in (getattr(module, "__file__", None) or ""))
    for path in release:
        failures.append("release-ABI")
        print(f"RELEASE-ABI  {path} does not count its references")
    for hook in unraisable:
        failures.append("unraisable")
        print(f"UNRAISABLE  {hook.exc_type.__name__}: {hook.exc_value} "
              f"in {hook.object!r}")
    print(f"{len(selected)} cases, {options.warmup} warm-up and "
          f"{options.rounds} counted rounds each: "
          f"{len(failures)} failing" + (f" ({', '.join(failures)})"
                                        if failures else ""))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
