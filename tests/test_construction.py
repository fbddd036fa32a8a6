"""EasyMailer construction: the stored settings, the encryption flags, the
default sender, the per-instance template engine, and the order in which the
constructor converts, checks and assigns."""

import builtins

import pytest

import vantrel.mailer as mailer
import vantrel.template
from vantrel.mailer import EasyMailer
from vantrel.template import TemplateEngine

HOST, USER, PW = "smtp.example.com", "user@example.com", "secret"
ATTRIBUTES = ["host", "port", "username", "password", "use_ssl", "use_tls",
              "default_sender", "_template_engine"]


class Recorder:
    """Stands in for TemplateEngine in the module namespace."""

    calls = []

    def __init__(self, *args, **kwargs):
        Recorder.calls.append((self, args, kwargs))


@pytest.fixture
def recorder(monkeypatch):
    Recorder.calls = []
    monkeypatch.setattr(mailer, "TemplateEngine", Recorder)
    return Recorder


def test_defaults():
    user = "".join(["user", "@example.com"])  # a fresh object, to check identity
    m = EasyMailer(HOST, 465, user, PW)
    assert list(vars(m)) == ATTRIBUTES
    assert (m.host, m.port, m.username, m.password) == (HOST, 465, user, PW)
    assert m.use_ssl is True and m.use_tls is False
    assert m.default_sender is user
    engine = m._template_engine
    assert type(engine) is TemplateEngine
    assert engine.env.loader.searchpath == [str(vantrel.template._DEFAULT_TEMPLATE_DIR)]


def test_all_by_keyword(tmp_path):
    m = EasyMailer(template_dir=str(tmp_path), default_sender="noreply@example.com",
                   use_tls=True, use_ssl=False, password=PW, username=USER, port=587,
                   host=HOST)
    assert [getattr(m, a) for a in ATTRIBUTES[:7]] == [
        HOST, 587, USER, PW, False, True, "noreply@example.com"]
    assert m._template_engine.env.loader.searchpath == [
        str(tmp_path), str(vantrel.template._DEFAULT_TEMPLATE_DIR)]


def test_each_instance_owns_its_engine():
    a, b = EasyMailer(HOST, 465, USER, PW), EasyMailer(HOST, 465, USER, PW)
    assert a._template_engine is not b._template_engine


@pytest.mark.parametrize(
    "use_ssl, use_tls, stored",
    [
        (True, False, (True, False)),
        (False, True, (False, True)),
        (False, False, (False, False)),
        (0, "yes", (False, True)),
        (None, None, (False, False)),
        ([], [0], (False, True)),
        ("x", "", (True, False)),
    ],
)
def test_flags_by_truth_value(use_ssl, use_tls, stored):
    m = EasyMailer(HOST, 25, USER, PW, use_ssl, use_tls)
    assert m.use_ssl is stored[0] and m.use_tls is stored[1]


@pytest.mark.parametrize("flags", [{"use_tls": True}, {"use_ssl": 1, "use_tls": "yes"}])
def test_both_flags_refused_before_anything_is_set(recorder, flags):
    m = EasyMailer.__new__(EasyMailer)
    with pytest.raises(ValueError) as info:
        EasyMailer.__init__(m, HOST, 587, USER, PW, **flags)
    assert info.value.args == ("use_ssl and use_tls cannot both be True.",)
    assert vars(m) == {}
    assert recorder.calls == []


class MyInt(int):
    pass


@pytest.mark.parametrize("port, stored", [
    (587, 587), (587.9, 587), (587.0, 587), (True, 1), (MyInt(25), 25), (-1.5, -1)])
def test_port_conversion(port, stored):
    m = EasyMailer(HOST, port, USER, PW)
    assert type(m.port) is int and m.port == stored


@pytest.mark.parametrize("port, got", [("587", "str"), (None, "NoneType"), (b"25", "bytes")])
def test_port_rejected(port, got):
    with pytest.raises(TypeError) as info:
        EasyMailer(HOST, port, USER, PW)
    assert info.value.args == (f"Argument 'port' has incorrect type (expected int, got {got})",)


class Str(str):
    pass


@pytest.mark.parametrize(
    "name, value, got",
    [(name, value, got)
     for name in ("host", "username", "password", "default_sender", "template_dir")
     for value, got in ((None, "NoneType"), (b"x", "bytes"), (Str("x"), "Str"))
     if not (value is None and name in ("default_sender", "template_dir"))],
)
def test_string_arguments_are_exact(name, value, got):
    args = dict(host=HOST, port=465, username=USER, password=PW)
    args[name] = value
    with pytest.raises(TypeError) as info:
        EasyMailer(**args)
    assert info.value.args == (
        f"Argument '{name}' has incorrect type (expected str, got {got})",)
    assert hasattr(info.value, "__notes__") == (got == "Str")


class Boom(Exception):
    pass


class Falsy:
    def __init__(self, tag):
        self.tag = tag

    def __bool__(self):
        raise Boom(self.tag)


# After binding: port conversion, use_ssl's truth value, use_tls's truth value,
# then the type tests of host, port, username, password, default_sender and
# template_dir.  Each row breaks everything from some step on; the earliest wins.
@pytest.mark.parametrize(
    "args, expected",
    [
        ((None, float("nan"), None, None, Falsy("ssl"), Falsy("tls"), 1, 1),
         (ValueError, "cannot convert float NaN to integer")),
        ((None, "25", None, None, Falsy("ssl"), Falsy("tls"), 1, 1), (Boom, "ssl")),
        ((None, "25", None, None, True, Falsy("tls"), 1, 1), (Boom, "tls")),
        ((None, "25", None, None, True, True, 1, 1),
         (TypeError, "Argument 'host' has incorrect type (expected str, got NoneType)")),
        ((HOST, "25", None, None, True, True, 1, 1),
         (TypeError, "Argument 'port' has incorrect type (expected int, got str)")),
        ((HOST, 25, None, None, True, True, 1, 1),
         (TypeError, "Argument 'username' has incorrect type (expected str, got NoneType)")),
        ((HOST, 25, USER, None, True, True, 1, 1),
         (TypeError, "Argument 'password' has incorrect type (expected str, got NoneType)")),
        ((HOST, 25, USER, PW, True, True, 1, 1),
         (TypeError, "Argument 'default_sender' has incorrect type (expected str, got int)")),
        ((HOST, 25, USER, PW, True, True, None, 1),
         (TypeError, "Argument 'template_dir' has incorrect type (expected str, got int)")),
        ((HOST, 25, USER, PW, True, True, None, None),
         (ValueError, "use_ssl and use_tls cannot both be True.")),
    ],
)
def test_order_of_checks(recorder, args, expected):
    m = EasyMailer.__new__(EasyMailer)
    with pytest.raises(expected[0]) as info:
        EasyMailer.__init__(m, *args)
    assert str(info.value) == expected[1]
    assert vars(m) == {} and recorder.calls == []


@pytest.mark.parametrize(
    "given, stored",
    [(None, USER), ("", USER), ("noreply@example.com", "noreply@example.com"),
     ("not an address at all", "not an address at all")],
)
def test_default_sender(given, stored):
    m = EasyMailer(HOST, 465, USER, PW, default_sender=given)
    assert m.default_sender == stored
    assert m.default_sender is (given if given else USER)


@pytest.mark.parametrize("template_dir", [None, "", "templates/mail"])
def test_engine_made_from_template_dir(recorder, template_dir):
    m = EasyMailer(HOST, 465, USER, PW, template_dir=template_dir)
    [(engine, args, kwargs)] = recorder.calls
    assert len(args) == 1 and args[0] is template_dir and kwargs == {}
    assert m._template_engine is engine


def test_empty_template_dir_reaches_the_real_engine():
    m = EasyMailer(HOST, 465, USER, PW, template_dir="")
    assert m._template_engine.env.loader.searchpath == [
        str(vantrel.template._DEFAULT_TEMPLATE_DIR)]


@pytest.fixture
def module_namespace():
    """Restores the mailer's namespace with its order of names."""
    ns = vars(mailer)
    saved = dict(ns)
    yield ns
    ns.clear()
    ns.update(saved)


def test_engine_looked_up_at_call_time_with_builtins_fallback(monkeypatch, module_namespace):
    del module_namespace["TemplateEngine"]
    with pytest.raises(NameError) as info:
        EasyMailer(HOST, 465, USER, PW)
    assert info.value.args == ("name 'TemplateEngine' is not defined",)
    token = object()
    monkeypatch.setattr(builtins, "TemplateEngine", lambda d: token, raising=False)
    assert EasyMailer(HOST, 465, USER, PW)._template_engine is token


def test_engine_failure_propagates_after_seven_attributes(monkeypatch):
    def failing(template_dir):
        raise Boom(template_dir)

    monkeypatch.setattr(mailer, "TemplateEngine", failing)
    m = EasyMailer.__new__(EasyMailer)
    with pytest.raises(Boom) as info:
        EasyMailer.__init__(m, HOST, 465.5, USER, PW, None, 0, "", "dir")
    assert info.value.args == ("dir",)
    assert vars(m) == {"host": HOST, "port": 465, "username": USER, "password": PW,
                       "use_ssl": False, "use_tls": False, "default_sender": USER}
    assert list(vars(m)) == ATTRIBUTES[:7]


class Recording(EasyMailer):
    def __setattr__(self, name, value):
        type(self).seen.append(name)
        if name == type(self).refuse:
            raise AttributeError(name)
        object.__setattr__(self, name, value)


@pytest.mark.parametrize("refuse", [None, "use_ssl", "_template_engine"])
def test_attributes_assigned_through_setattr_in_order(refuse):
    Recording.seen, Recording.refuse = [], refuse
    if refuse is None:
        m = Recording(HOST, 465, USER, PW)
        assert Recording.seen == ATTRIBUTES
        assert EasyMailer.__init__(m, HOST, 465, USER, PW) is None
        return
    m = Recording.__new__(Recording)
    with pytest.raises(AttributeError):
        Recording.__init__(m, HOST, 465, USER, PW)
    stop = ATTRIBUTES.index(refuse)
    assert Recording.seen == ATTRIBUTES[: stop + 1]
    assert list(vars(m)) == ATTRIBUTES[:stop]
