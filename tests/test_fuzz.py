"""Every method fed arbitrary objects in arbitrary argument shapes.

Whatever comes in, a call either returns or raises an ordinary Python
exception of the kinds the method documents: the binder's TypeError with its
exact wording (predicted here from the method's introspected signature and
the rules its annotations stand for), an error that one of the caller's own
objects raised (``Boom`` below), or the documented failures of the body.  A
SystemError (the interpreter's sign of a broken C-API contract) or a crash is
never acceptable.  Nothing here touches the network: the modules' ``smtplib``
is rebound to a stand-in while deliveries are fuzzed.
"""

import contextlib
import copy
import ctypes
import email.errors
import email.header
import email.utils
import inspect
import smtplib
from email.mime.multipart import MIMEMultipart

import jinja2
import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

import vantrel.mailer as mailer_module
import vantrel.session as session_module
import vantrel.template as template_module
from vantrel.mailer import EasyMailer
from vantrel.session import Session
from vantrel.template import TemplateEngine

import wordings
from scripted import scripted
from hostile import (BadBool, BadFormat, BadIndex, BadInt, BadIter, BadLen, BadStr, Boom,
                     Dict, Int, List, Splits, Str)

FUZZ = settings(max_examples=150, deadline=None, derandomize=True,
                database=None,
                suppress_health_check=[HealthCheck.too_slow,
                                       HealthCheck.data_too_large])


HOSTILE = [BadBool(), BadLen(), BadIndex(), BadInt(), BadIter(), BadFormat(),
           BadStr()]
HUGE = ["x" * (1 << 20), ["a@example.test"] * 20000, b"\0" * (1 << 20),
        {"k%d" % i: i for i in range(5000)}, 10 ** 400, 1e308, float("nan"),
        float("-inf"), complex(1, 1)]
EMPTY = ["", [], (), {}, b"", 0, 0.0, set(), False, None]
SPECIAL = HOSTILE + HUGE + EMPTY


def special(index):
    # A copy: a method may change a list or dict it is given, and the next
    # example must not see that.
    return copy.copy(SPECIAL[index])


scalars = st.one_of(
    st.none(), st.booleans(), st.integers(), st.floats(), st.text(),
    st.binary(), st.text().map(Str), st.integers().map(Int))
anything = st.recursive(
    scalars | st.integers(0, len(SPECIAL) - 1).map(special),
    lambda inner: st.one_of(
        st.lists(inner, max_size=4), st.lists(inner, max_size=4).map(List),
        st.lists(inner, max_size=4).map(tuple),
        st.dictionaries(st.text(max_size=8), inner, max_size=4),
        st.dictionaries(st.text(max_size=8), inner, max_size=4).map(Dict)),
    max_leaves=8)


# --- the binder's rules, read off each method's annotations ---------------------

RULES = {"str": "str", "Optional[str]": "str?", "int": "int", "bool": "truth",
         "dict": "dict", "Dict": "dict", "Optional[dict]": "dict?",
         "List[str]": "list", "Optional[List[Union[str, Dict]]]": "list?"}
EXACT = {"str": str, "list": list, "dict": dict, "int": int}


def params_of(function):
    """(name, rule, required, default) per parameter, from the function's
    surface."""
    annotations = function.__annotations__
    return [(p.name, RULES.get(annotations.get(p.name), "any"),
             p.default is inspect.Parameter.empty, p.default)
            for p in inspect.signature(function).parameters.values()]


def valid(rule):
    """Values that pass a rule, so that calls reach the body often."""
    return {
        "str": st.text(max_size=30), "str?": st.none() | st.text(max_size=30),
        "int": st.integers(0, 65535) | st.floats(0, 65535),
        "truth": st.booleans() | st.none(),
        "dict": st.dictionaries(st.text(max_size=8), scalars, max_size=3),
        "dict?": st.none() | st.dictionaries(st.text(max_size=8), scalars,
                                             max_size=3),
        "list": st.lists(st.text(max_size=20), max_size=3),
        "list?": st.none() | st.lists(st.text(max_size=20), max_size=2),
        "any": st.text(max_size=20) | st.lists(st.text(max_size=20),
                                               max_size=3) | st.none(),
    }[rule]


def sometimes(draw, one_in):
    """True about once in `one_in` draws; False is the simplest choice."""
    return draw(st.integers(0, one_in - 1)) == one_in - 1


@st.composite
def call_shape(draw, params, instance):
    """Positional and keyword arguments; position 0 holds `instance` when the
    method has one.  Mostly a call that binds, with one or two odd values;
    sometimes a shape that the binder must refuse."""
    values = [draw(anything if sometimes(draw, 6) else valid(rule))
              for _, rule, _, _ in params]
    first = 1 if instance is not None else 0
    npos = draw(st.integers(first, len(params) + (2 if sometimes(draw, 5)
                                                  else 0)))
    args = [instance] * first + values[first:npos]
    args += [draw(anything) for _ in range(npos - len(args))]
    kwargs = {}
    for index in range(npos, len(params)):
        if not sometimes(draw, 8):  # mostly given, sometimes left out
            kwargs[params[index][0]] = values[index]
    while sometimes(draw, 6):
        name = draw(st.sampled_from([p[0] for p in params] + ["surplus", "é"])
                    | st.text(max_size=6))
        kwargs[name] = draw(anything)
    order = draw(st.permutations(list(kwargs)))
    return args, {name: kwargs[name] for name in order}


def place(args, kwargs, params, **values):
    """Puts chosen values where the drawn shape passes those parameters."""
    names = [p[0] for p in params]
    for name, value in values.items():
        index = names.index(name)
        if index < len(args):
            args[index] = value
        elif name in kwargs:
            kwargs[name] = value


class Expected(Exception):
    """What the binder must raise: the exception and whether a note goes
    with it."""

    def __init__(self, error, note=False):
        self.error, self.note = error, note


def bind(name, params, args, kwargs):
    """The binder's verdict for a call: Expected, or the bound values."""
    count = len(params)
    required = sum(1 for p in params if p[2])

    def wrong_count(given):
        return Expected(TypeError(wordings.count(name, required, count, given)))

    if (not kwargs and not required <= len(args) <= count) or len(args) > count:
        raise wrong_count(len(args))
    bound = list(args) + [inspect.Parameter.empty] * (count - len(args))
    names = [p[0] for p in params]
    for key, value in kwargs.items():
        if key not in names:
            raise Expected(TypeError(wordings.unexpected(name, key)))
        index = names.index(key)
        if bound[index] is not inspect.Parameter.empty:
            raise Expected(TypeError(wordings.multiple(name, key)))
        bound[index] = value
    for index, (_, _, is_required, default) in enumerate(params):
        if bound[index] is inspect.Parameter.empty:
            if is_required:
                raise wrong_count(index)
            bound[index] = default
    # Conversions first, in parameter order; their own errors propagate.
    for index, (_, rule, _, _) in enumerate(params):
        value = bound[index]
        try:
            if rule == "int" and type(value) is not int and _is_number(value):
                bound[index] = int(value)
            elif rule == "truth":
                bound[index] = bool(value)
        except Exception as error:
            raise Expected(error)
    # Then the type tests, in parameter order.
    for index, (param, rule, _, _) in enumerate(params):
        value = bound[index]
        kind = rule.rstrip("?")
        if kind not in EXACT or (rule.endswith("?") and value is None):
            continue
        if type(value) is not EXACT[kind]:
            raise Expected(TypeError(wordings.incorrect_type(
                param, kind, wordings.type_name(type(value)))),
                note=isinstance(value, EXACT[kind]))
    return bound


def _is_number(value):
    kind = type(value)
    return isinstance(value, complex) or any(
        hasattr(kind, slot) for slot in ("__index__", "__int__", "__float__"))


def check_call(function, name, params, args, kwargs, allowed):
    """Calls function; checks the binder's verdict, or that the body raised
    only what `allowed` lists.  Returns (bound values, result or exception)."""
    try:
        bound = bind(name, params, args, kwargs)
    except Expected as expected:
        event(f"refused: {type(expected.error).__name__}")
        with pytest.raises(type(expected.error)) as caught:
            function(*args, **kwargs)
        assert str(caught.value) == str(expected.error)
        notes = getattr(caught.value, "__notes__", [])
        if expected.note:
            assert any("exact" in note.lower() for note in notes), notes
        else:
            assert notes == []
        return None, caught.value
    try:
        result = function(*args, **kwargs)
    except allowed as error:
        event(f"body raised {type(error).__name__}")
        return bound, error
    event("body returned")
    return bound, result


# --- stand-ins -------------------------------------------------------------------


class FakeSMTP:
    """Counts how often it was entered and left."""
    entered = exited = 0

    def __init__(self, host, port, context=None):
        pass

    def __enter__(self):
        FakeSMTP.entered += 1
        return self

    def __exit__(self, *exc):
        FakeSMTP.exited += 1

    def starttls(self, context):
        pass

    def login(self, user, password):
        pass

    def sendmail(self, sender, recipients, text):
        return {}

    def quit(self):
        pass

    def close(self):
        pass


@contextlib.contextmanager
def no_network():
    # The mailer connects through its smtplib, a session through _connect.
    fake = type("smtplib", (), {"SMTP": FakeSMTP, "SMTP_SSL": FakeSMTP})
    transport = scripted()
    saved = mailer_module.smtplib, session_module._connect
    mailer_module.smtplib, session_module._connect = fake, transport
    FakeSMTP.entered = FakeSMTP.exited = 0
    try:
        yield
    finally:
        mailer_module.smtplib, session_module._connect = saved
    # Every connection that was entered was also left, whatever failed.
    assert FakeSMTP.entered == FakeSMTP.exited
    assert transport.opened == transport.closed


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    root = tmp_path_factory.mktemp("fuzz")
    (root / "a.txt").write_text("attached")
    (root / "page.html").write_text("<p>{{ name }}</p>")
    (root / "page.txt").write_text("{{ name }} {{ occurred_at }}")
    return root


def mailer(files, **kwargs):
    return EasyMailer("127.0.0.1", 2525, "user@example.test", "pw",
                      template_dir=str(files), **kwargs)


# Exceptions a body may raise on arbitrary input: the ones each method
# documents, and whatever the caller's own objects or the libraries below
# raise about those objects.
FROM_CALLER = (Boom, TypeError, ValueError, AttributeError, OverflowError)
COMPOSING = FROM_CALLER + (KeyError, FileNotFoundError, LookupError,
                           email.errors.MessageError)
RENDERING = FROM_CALLER + (jinja2.TemplateError, ArithmeticError, KeyError)
# What a session's server may say of such a message: no recipients left, or
# an address that needs SMTPUTF8, which the scripted server does not offer.
DELIVERING = (smtplib.SMTPRecipientsRefused, smtplib.SMTPNotSupportedError)


# --- the tests ---------------------------------------------------------------------


@FUZZ
@given(data=st.data())
def test_constructor(data, files):
    params = params_of(EasyMailer.__init__)
    instance = EasyMailer.__new__(EasyMailer)
    args, kwargs = data.draw(call_shape(params, instance))
    bound, outcome = check_call(EasyMailer.__init__, "__init__", params, args,
                                kwargs, (ValueError,))
    if bound is None:
        return
    _, host, port, username, password, use_ssl, use_tls, sender, _ = bound
    if use_ssl and use_tls:
        assert str(outcome) == "use_ssl and use_tls cannot both be True."
        return
    assert outcome is None
    assert type(instance.port) is int and instance.port == port
    assert (instance.use_ssl, instance.use_tls) == (use_ssl, use_tls)
    assert instance.default_sender is (sender or username)


@FUZZ
@given(data=st.data())
def test_collect_recipients(data):
    function = EasyMailer._collect_recipients
    params = params_of(function)
    args, kwargs = data.draw(call_shape(params, None))
    bound, outcome = check_call(function, "_collect_recipients", params, args,
                                kwargs, (TypeError, Boom))
    if bound is None or isinstance(outcome, Exception):
        return
    expected = []
    for value in bound:
        if isinstance(value, str):
            expected.append(value)
        elif value is not None:
            expected.extend(value)
    assert type(outcome) is list and outcome == expected


@FUZZ
@given(data=st.data())
def test_attach_binary(data):
    function = EasyMailer._attach_binary
    params = params_of(function)
    msg = MIMEMultipart()
    fields = {"filename": anything | st.text(max_size=20),
              "data": anything | st.binary(max_size=50),
              "content_type": anything | st.sampled_from(
                  ["image/png", "text/plain", "x", "", "a/b/c",
                   Splits(["a", "b", "c"]), Splits(["a"]), Splits(7)])
              | st.builds(lambda: Splits(iter(["a", "b"])))}
    # Mostly a whole item, sometimes one with keys missing.
    item = data.draw(st.fixed_dictionaries(
        {key: fields[key] for key in ("filename", "data")},
        optional={"content_type": fields["content_type"]})
        | st.fixed_dictionaries({}, optional=fields))
    args, kwargs = data.draw(call_shape(params, None))
    place(args, kwargs, params, msg=msg, item=item)
    bound, outcome = check_call(function, "_attach_binary", params, args,
                                kwargs, COMPOSING)
    attached = len(msg.get_payload())
    if bound is not None and bound[0] is msg:
        # A part is attached on success only, and only as the last step.
        assert attached == (0 if isinstance(outcome, Exception) else 1)


@FUZZ
@given(data=st.data(), name=st.sampled_from(["a.txt", "", ".", "missing",
                                             "a.txt/x", "a.txt\0"]))
def test_attach_file(data, name, files):
    function = EasyMailer._attach_file
    params = params_of(function)
    msg = MIMEMultipart()
    args, kwargs = data.draw(call_shape(params, None))
    path = str(files / name) if data.draw(st.booleans()) else data.draw(
        st.text(max_size=30))
    place(args, kwargs, params, msg=msg, filepath=path)
    bound, outcome = check_call(function, "_attach_file", params, args,
                                kwargs, COMPOSING)
    if bound is None or bound[0] is not msg:
        return
    if isinstance(outcome, FileNotFoundError):
        assert outcome.args == ("Attachment not found: " + bound[1],)
    assert len(msg.get_payload()) == (0 if isinstance(outcome, Exception)
                                      else 1)


@FUZZ
@given(data=st.data())
def test_build_message(data, files):
    m = mailer(files)
    params = params_of(EasyMailer._build_message)
    args, kwargs = data.draw(call_shape(params, m))
    if data.draw(st.booleans()) and "attachments" in kwargs:
        kwargs["attachments"] = data.draw(st.lists(
            st.sampled_from([str(files / "a.txt"), str(files / "none"),
                             {"filename": "f.bin", "data": b"x"}, Str("x"),
                             Dict(filename="f", data=b""), {}, 5]),
            max_size=3))
    bound, outcome = check_call(EasyMailer._build_message, "_build_message",
                                params, args, kwargs, COMPOSING)
    if bound is not None and not isinstance(outcome, Exception):
        assert isinstance(outcome, MIMEMultipart)
        assert "Bcc" not in outcome


def reads_as(name):
    """A display name as a mail reader shows it."""
    return str(email.header.make_header(email.header.decode_header(name)))


# Address lists, well formed or nearly, with names of any text.
address_lists = st.lists(st.builds(
    str.format, st.sampled_from(["{0} <{1}>", '"{0}" <{1}>', "{1} ({0})", "{0}{1}", "{0}"]),
    st.text(alphabet="aøÅ张 ", min_size=1, max_size=6)
    | st.text(alphabet=' aøÅ张"(),\\.:;<>@=?\r\n\t', max_size=8),
    st.sampled_from(["a@b.test", "x.y@z.test", '"a b"@c.test', "@b.test", "a", "", "ø@b.test"])),
    min_size=1, max_size=3).map(", ".join)


@settings(FUZZ, max_examples=400)
@given(value=address_lists | st.text(alphabet='ab@.<>,;:"() øÅ', max_size=20),
       as_list=st.booleans(), subclass=st.booleans())
def test_address_headers_keep_their_addresses(value, as_list, subclass, files):
    given = Str(value) if subclass else value
    msg = mailer(files)._build_message([given] if as_list else given, "s", None, None, given,
                                       None, None, None, value)
    pairs = email.utils.getaddresses([value])
    for header in ("To", "Cc", "Reply-To"):
        written = msg[header]
        if written is None or written == value:
            continue  # as given
        event("display names encoded")
        assert written.isascii() and "\r" not in written and "\n" not in written
        back = email.utils.getaddresses([written])
        assert [a for _, a in back] == [a for _, a in pairs]
        # An ASCII name is written as it was, to be read as any ASCII name is:
        # its runs of white space are one, its encoded words decoded.
        for (name, _), (original, _) in zip(back, pairs):
            assert reads_as(name).split() == original.split() or "=?" in original


@FUZZ
@given(data=st.data())
def test_send(data, files):
    m = mailer(files, use_ssl=data.draw(st.booleans()))
    params = params_of(EasyMailer.send)
    args, kwargs = data.draw(call_shape(params, m))
    with no_network():
        bound, outcome = check_call(EasyMailer.send, "send", params, args,
                                    kwargs, COMPOSING)
    if bound is not None and not isinstance(outcome, Exception):
        assert outcome is None


@FUZZ
@given(data=st.data(), template=st.sampled_from(["page", "nowhere", "../page",
                                                 ""]))
def test_send_template(data, template, files):
    m = mailer(files, use_ssl=False, use_tls=data.draw(st.booleans()))
    params = params_of(EasyMailer.send_template)
    args, kwargs = data.draw(call_shape(params, m))
    place(args, kwargs, params, template_name=template)
    with no_network():
        check_call(EasyMailer.send_template, "send_template", params, args,
                   kwargs, COMPOSING + RENDERING)


@FUZZ
@given(data=st.data())
def test_do_send(data, files):
    m = mailer(files, use_ssl=False, use_tls=True)
    params = params_of(EasyMailer._do_send)
    args, kwargs = data.draw(call_shape(params, m))
    if data.draw(st.booleans()):
        place(args, kwargs, params, msg=MIMEMultipart())
    with no_network():
        check_call(EasyMailer._do_send, "_do_send", params, args, kwargs,
                   FROM_CALLER + (email.errors.MessageError,))


@pytest.mark.parametrize("method", ["send", "send_template"])
@FUZZ
@given(data=st.data())
def test_session_sending(method, data, files):
    function = getattr(Session, method)
    params = params_of(function)
    with no_network():
        session = Session(mailer(files, use_ssl=data.draw(st.booleans())))
        args, kwargs = data.draw(call_shape(params, session))
        if method == "send_template" and data.draw(st.booleans()):
            place(args, kwargs, params, template_name="page")
        try:
            bound, outcome = check_call(function, method, params, args, kwargs,
                                        COMPOSING + RENDERING + DELIVERING)
        finally:
            session.close()
    if bound is not None and not isinstance(outcome, Exception):
        assert outcome is None and session.sent == 1


@FUZZ
@given(mailer_arg=anything, limit=anything)
def test_session_construction(mailer_arg, limit, files):
    try:
        Session(mailer_arg, limit)
    except TypeError as error:
        assert str(error).startswith("Argument '")
    except ValueError as error:
        assert "at least 1" in str(error)
    else:
        assert isinstance(mailer_arg, EasyMailer)
        assert limit is None or type(limit) is int and limit >= 1


@pytest.mark.parametrize("method", ["__init__", "render", "render_string",
                                    "add_template_dir"])
@FUZZ
@given(data=st.data())
def test_template_engine(method, data, files):
    function = getattr(TemplateEngine, method)
    params = params_of(function)
    instance = (TemplateEngine.__new__(TemplateEngine) if method == "__init__"
                else TemplateEngine(str(files)))
    args, kwargs = data.draw(call_shape(params, instance))
    bound, outcome = check_call(function, method, params, args, kwargs,
                                RENDERING)
    if bound is None or isinstance(outcome, Exception):
        return
    if method in ("render", "render_string"):
        assert outcome is None and method == "render" or type(outcome) is str
    else:
        assert outcome is None


METHODS = [EasyMailer.__init__, EasyMailer.send, EasyMailer.send_template,
           EasyMailer._build_message, EasyMailer._attach_file,
           EasyMailer._attach_binary, EasyMailer._collect_recipients,
           EasyMailer._do_send, TemplateEngine.__init__, TemplateEngine.render,
           TemplateEngine.render_string, TemplateEngine.add_template_dir,
           Session.__init__, Session.send, Session.send_template, Session.close,
           Session.__enter__, Session.__exit__]


@pytest.mark.parametrize("function", METHODS, ids=lambda f: f.__qualname__)
@pytest.mark.parametrize("key", [1, None, b"to", ("to",)])
def test_keyword_names_that_are_not_strings(function, key):
    # Through ** the interpreter refuses them before the method is reached.
    with pytest.raises(TypeError, match="^keywords must be strings$"):
        function(**{key: 1})
    # Through the C API they reach the method's own binder.
    api = ctypes.pythonapi.PyObject_Vectorcall
    api.restype = ctypes.py_object
    api.argtypes = [ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t,
                    ctypes.py_object]
    stack = (ctypes.py_object * 1)(0)
    with pytest.raises(TypeError) as caught:
        api(function, ctypes.addressof(stack), 0, (key,))
    assert str(caught.value) == wordings.keyword_type(function.__name__)


def test_env_property_of_a_broken_engine():
    engine = TemplateEngine.__new__(TemplateEngine)
    with pytest.raises(AttributeError):
        engine.env


# --- module-level names rebound to odd stand-ins --------------------------------
#
# Every module-level name is looked up when it is used, so callers (and their
# test doubles) may rebind them.  Whatever a stand-in returns, the methods
# raise a Python exception about it or carry on; they never trust its type.


class Returns:
    """A callable object (no fast call path) that gives `leaf`, and that
    joins text the way a string does."""

    def __init__(self, leaf):
        self.leaf = leaf

    def __call__(self, *args, **kwargs):
        return self.leaf

    def __radd__(self, text):
        return text + "stand-in"


class Odd:
    """Calling it gives itself; every method of it, and every item, gives
    `leaf`; as a path it names a real file."""

    def __init__(self, leaf, path):
        self.leaf, self.path = leaf, path

    def __call__(self, *args, **kwargs):
        return self

    def __getattr__(self, name):
        if name.startswith("__"):
            raise AttributeError(name)
        return Returns(self.leaf)

    def __getitem__(self, key):
        return self.leaf

    def __fspath__(self):
        return self.path

    def __str__(self):
        return self.path


def odd_smtplib(leaf):
    class SMTP(FakeSMTP):
        def sendmail(self, *args):
            return leaf

    return type("smtplib", (), {"SMTP": SMTP, "SMTP_SSL": SMTP,
                                "SMTPRecipientsRefused": lambda refused: leaf})


REBINDABLE = [(mailer_module, name) for name in (
    "smtplib", "ssl", "Path", "mimetypes", "MIMEBase", "MIMEText", "MIMEMultipart", "encoders",
    "formataddr", "formatdate", "datetime", "TemplateEngine")] + [
    (template_module, name) for name in (
        "Environment", "FileSystemLoader", "_DEFAULT_TEMPLATE_DIR",
        "TemplateNotFound")] + [
    (session_module, name) for name in ("smtplib", "ssl", "datetime", "EasyMailer")]


def through_a_session(files):
    with Session(mailer(files, use_ssl=False, use_tls=True)) as session:
        session.send(["a@example.test"], "s", body="b", bcc="c@example.test")
        session.send_template("a@example.test", "Hi", "page", {"name": "Ann"})


# The calls below that read each name; the others must not notice it.
READ_BY = {
    "smtplib": {"send", "send_template"}, "ssl": {"send", "send_template"},
    "Path": {"send"}, "mimetypes": {"send"}, "MIMEBase": {"send"},
    "MIMEText": {"send", "send_template"},
    "MIMEMultipart": {"send", "send_template"}, "encoders": {"send"},
    "formataddr": {"send"}, "formatdate": {"send", "send_template"},
    "datetime": {"send_template"},
    "TemplateEngine": {"send", "send_template"},
    "Environment": {"send", "send_template", "render"},
    "FileSystemLoader": {"send", "send_template", "render"},
    "_DEFAULT_TEMPLATE_DIR": {"send", "send_template", "render"},
    "TemplateNotFound": {"render"},
}
# A session builds through the mailer (with no sender name or attachment here)
# and reads its own smtplib, ssl, datetime and EasyMailer.
for _name in ("MIMEText", "MIMEMultipart", "formatdate", "TemplateEngine", "Environment",
              "FileSystemLoader", "_DEFAULT_TEMPLATE_DIR"):
    READ_BY[_name] = READ_BY[_name] | {"session"}
READ_BY_SESSION = dict.fromkeys(("smtplib", "ssl", "datetime", "EasyMailer"), {"session"})


def expected_from_stand_in(name, error):
    """What using a stand-in may raise: the interpreter's error for an object
    that cannot do what is asked of it (no such attribute, not callable, no
    such item, values that do not unpack), one that the object raises itself,
    or the documented error that an odd answer leads to."""
    if isinstance(error, (TypeError, AttributeError, LookupError, ValueError, Boom)):
        return True
    if isinstance(error, smtplib.SMTPNotSupportedError):
        return True  # a header the stand-in made non-ASCII needs SMTPUTF8 of the server
    if isinstance(error, FileNotFoundError):  # a Path whose file is no file
        return name == "Path" and str(error).startswith("Attachment not found: ")
    # An `except` given something that matches nothing lets it through.
    return name == "TemplateNotFound" and isinstance(error, jinja2.TemplateNotFound)


@pytest.mark.parametrize("module, name", REBINDABLE,
                         ids=[name for _, name in REBINDABLE])
@settings(FUZZ, max_examples=60)
@given(leaf=anything, as_odd=st.booleans())
def test_rebound_module_names(module, name, leaf, as_odd, files):
    stand_in = Odd(leaf, str(files / "a.txt")) if as_odd else leaf
    calls = {
        "send": lambda: mailer(files, use_ssl=False).send(
            ["a@example.test"], "s", body="b", html="<p>h</p>",
            cc="c@example.test", sender_name="Ann",
            attachments=[str(files / "a.txt"),
                         {"filename": "b.bin", "data": b"x"}],
            reply_to="r@example.test"),
        "send_template": lambda: mailer(files).send_template(
            "a@example.test", "Hi", "page"),
        "render": lambda: TemplateEngine(str(files)).render("nowhere", {}),
        "session": lambda: through_a_session(files),
    }
    read_by = (READ_BY_SESSION if module is session_module else READ_BY)[name]
    with no_network():
        saved = module.__dict__[name]
        module.__dict__[name] = stand_in
        try:
            for call, run in calls.items():
                try:
                    result = run()
                except Exception as error:
                    assert call in read_by, (call, error)
                    assert expected_from_stand_in(name, error), (call, error)
                else:
                    assert result is None
        finally:
            module.__dict__[name] = saved


@settings(FUZZ, max_examples=60)
@given(refused=anything)
def test_odd_sendmail_results(refused, files):
    # Only a dict that names refused recipients is a refusal; the stand-in's
    # SMTPRecipientsRefused gives it back, which is no exception to raise.
    refusal = isinstance(refused, dict) and dict.__len__(refused) > 0
    saved = mailer_module.smtplib
    mailer_module.smtplib = odd_smtplib(refused)
    try:
        result = mailer(files).send("a@example.test", "s", body="b")
    except TypeError as error:
        assert refusal and str(error) == "exceptions must derive from BaseException"
    else:
        assert not refusal and result is None
    finally:
        mailer_module.smtplib = saved


class NotAnError:
    def add_note(self, note):
        pass


def test_a_refusal_that_is_no_exception(files):
    # As `raise` would: a TypeError, not the interpreter's SystemError.
    saved = mailer_module.smtplib
    mailer_module.smtplib = odd_smtplib({"b@example.test": (550, b"no")})
    mailer_module.smtplib.SMTPRecipientsRefused = lambda refused: NotAnError()
    try:
        with pytest.raises(TypeError,
                           match="^exceptions must derive from BaseException$"):
            mailer(files).send(["a@example.test", "b@example.test"], "s",
                               body="b")
    finally:
        mailer_module.smtplib = saved


# --- the function objects themselves ---------------------------------------------


def python_function():
    pass


@pytest.mark.parametrize("attribute", ["__name__", "__qualname__",
                                       "__module__", "__doc__"])
@settings(FUZZ, max_examples=40)
@given(value=anything, function=st.sampled_from(METHODS), delete=st.booleans())
def test_function_attributes_take_what_python_functions_take(
        attribute, value, function, delete):
    # A Python function is the model: whatever it accepts or refuses (with
    # which message), the methods accept or refuse alike.
    saved = getattr(function, attribute)
    try:
        model = python_function
        model_saved = getattr(model, attribute)
        if delete and attribute != "__module__":
            def change(f):
                delattr(f, attribute)
        else:
            def change(f):
                setattr(f, attribute, value)
        try:
            change(model)
        except Exception as refused:
            with pytest.raises(type(refused)) as caught:
                change(function)
            assert str(caught.value) == str(refused)
            assert getattr(function, attribute) is saved
        else:
            change(function)
            assert getattr(function, attribute) == getattr(model, attribute)
        finally:
            setattr(model, attribute, model_saved)
    finally:
        setattr(function, attribute, saved)


@settings(FUZZ, max_examples=60)
@given(format=anything, function=st.sampled_from(METHODS))
def test_annotate_with_any_format(format, function):
    try:
        result = function.__annotate__(format)
    except (NotImplementedError, OverflowError):
        assert not (type(format) in (int, bool, Int) and 1 <= format <= 4)
    else:
        assert result == function.__annotations__


# --- the with statement around a connection ---------------------------------------


class Scripted(FakeSMTP):
    """A connection that fails at a chosen step and whose __exit__ returns,
    suppresses or raises as chosen."""
    fail_at = exit_does = None

    def _step(self, name):
        if self.fail_at == name:
            raise Boom(name)

    def starttls(self, context):
        self._step("starttls")

    def login(self, user, password):
        self._step("login")

    def sendmail(self, sender, recipients, text):
        self._step("sendmail")
        return {}

    def __exit__(self, kind, value, traceback):
        FakeSMTP.exited += 1
        Scripted.seen = value
        if self.exit_does == "raise":
            raise KeyError("exit")
        return self.exit_does == "suppress"


@settings(FUZZ, max_examples=60)
@given(fail_at=st.sampled_from([None, "starttls", "login", "sendmail"]),
       exit_does=st.sampled_from([None, "suppress", "raise"]),
       use_ssl=st.booleans(), use_tls=st.booleans())
def test_the_connection_is_left_as_a_with_statement_leaves_it(
        fail_at, exit_does, use_ssl, use_tls, files):
    Scripted.fail_at, Scripted.exit_does = fail_at, exit_does
    m = mailer(files)
    m.use_ssl, m.use_tls = use_ssl, use_tls
    failed = fail_at if fail_at != "starttls" or (use_tls and not use_ssl) \
        else None
    fake = type("smtplib", (), {"SMTP": Scripted, "SMTP_SSL": Scripted})
    saved, mailer_module.smtplib = mailer_module.smtplib, fake
    FakeSMTP.entered = FakeSMTP.exited = 0
    try:
        m._do_send(MIMEMultipart(), ["a@example.test"], "s@example.test")
    except Exception as error:
        outcome = error
    else:
        outcome = None
    finally:
        mailer_module.smtplib = saved
    assert FakeSMTP.entered == FakeSMTP.exited == 1
    # __exit__ saw the failure of the block, or none.
    assert (str(Scripted.seen) if Scripted.seen else None) == failed
    if exit_does == "raise":
        assert isinstance(outcome, KeyError)
        # ... and what it raised carries that failure as its context.
        assert (str(outcome.__context__) if outcome.__context__ else None) \
            == failed
    elif failed and exit_does != "suppress":
        assert isinstance(outcome, Boom) and str(outcome) == failed
    else:
        assert outcome is None


# --- rendering through objects that take keywords their own way ---------------------


class Changes:
    """A template whose render is a callable object (no fast call path)
    that changes the keywords it is given."""

    def __init__(self):
        self.render = self

    def __call__(self, **context):
        context.clear()
        context["added"] = True
        return "rendered"


class ChangesFast:
    """The same, with render as an ordinary method."""

    def render(self, **context):
        context.clear()
        return "rendered"


@settings(FUZZ, max_examples=40)
@given(context=st.dictionaries(st.text(max_size=8), anything, max_size=4),
       template=st.sampled_from([Changes, ChangesFast]),
       method=st.sampled_from(["render", "render_string"]))
def test_the_callers_context_is_never_changed(context, template, method):
    engine = TemplateEngine()
    engine._env = type("Environment", (), {
        "get_template": lambda self, name: template(),
        "from_string": lambda self, text: template()})()
    before = dict(context)
    assert getattr(engine, method)("x", context) == "rendered"
    assert context == before


@settings(FUZZ, max_examples=80)
@given(searchpath=anything, cache=anything, directory=st.text(max_size=10))
def test_add_template_dir_with_an_odd_loader_or_cache(searchpath, cache,
                                                      directory):
    engine = TemplateEngine()
    engine.env.loader.searchpath = searchpath
    engine.env.cache = cache
    try:
        engine.add_template_dir(directory)
    except (AttributeError, TypeError, Boom):
        return
    if isinstance(searchpath, list):
        assert searchpath[0] is directory


def taken(log, items):
    """A generator over `items` that logs each item it hands out."""
    for item in items:
        log.append(item)
        yield item


class NotIterable:
    def __iter__(self):
        raise TypeError("refuses")


# As `maintype, subtype = parts` words it; the older wording for too few.
@pytest.mark.parametrize("make, error, message, handed_out", [
    (lambda log: ["a", "b", "c"], ValueError,
     "too many values to unpack (expected 2, got 3)", None),
    (lambda log: ("a", "b", "c", "d"), ValueError,
     "too many values to unpack (expected 2, got 4)", None),
    (lambda log: dict.fromkeys("abc"), ValueError,
     "too many values to unpack (expected 2, got 3)", None),
    (lambda log: taken(log, "abcd"), ValueError,
     "too many values to unpack (expected 2)", ["a", "b", "c"]),
    (lambda log: "abc", ValueError, "too many values to unpack (expected 2)", None),
    (lambda log: ["a"], ValueError, "need more than 1 value to unpack", None),
    (lambda log: taken(log, ""), ValueError, "need more than 0 values to unpack", []),
    (lambda log: 7, TypeError, "cannot unpack non-iterable int object", None),
    (lambda log: NotIterable(), TypeError, "refuses", None),
], ids=["list", "tuple", "dict", "generator", "str", "one", "none", "int", "iter-fails"])
def test_a_content_type_whose_split_misbehaves(make, error, message, handed_out):
    msg, log = MIMEMultipart(), []
    with pytest.raises(error) as caught:
        EasyMailer._attach_binary(msg, {"filename": "a", "data": b"",
                                        "content_type": Splits(make(log))})
    assert str(caught.value) == message
    if handed_out is not None:
        assert log == handed_out
    assert msg.get_payload() == []
