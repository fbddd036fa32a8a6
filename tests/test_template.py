"""TemplateEngine: search order, rendering rules, module-level names read at
use, and the built-in templates that ship with the package."""

import collections
import html.parser
import re
import sys

import jinja2
import markupsafe
import pytest

import vantrel.template
from vantrel.template import TemplateEngine

BUILTIN = str(vantrel.template._DEFAULT_TEMPLATE_DIR)
MARKUP = "<b>Tom & Jerry</b>"
ESCAPED = "&lt;b&gt;Tom &amp; Jerry&lt;/b&gt;"


def make_dir(path, **templates):
    """A template directory holding `templates` (file name -> text)."""
    path.mkdir(parents=True, exist_ok=True)
    for name, text in templates.items():
        (path / name.replace("__", ".")).write_text(text, encoding="utf-8")
    return str(path)


# --- search order -------------------------------------------------------------


@pytest.mark.parametrize("args", [(), (None,), ("",)], ids=["absent", "None", "empty"])
def test_without_a_directory_only_builtins_are_searched(args):
    engine = TemplateEngine(*args)
    assert engine.env.loader.searchpath == [BUILTIN]
    assert engine.render("notification.txt", {"title": "t", "message": "m"}) is not None


def test_creator_directory_comes_before_builtins(tmp_path):
    creator = make_dir(tmp_path / "c", notification__txt="mine")
    engine = TemplateEngine(creator)
    assert engine.env.loader.searchpath == [creator, BUILTIN]
    assert engine.env.loader.searchpath[0] is creator
    assert engine.render("notification.txt", {}) == "mine"
    assert "Weekly" in engine.render("report.txt", {"title": "Weekly", "rows": {}})


def test_added_directories_come_first_latest_first(tmp_path):
    creator = make_dir(tmp_path / "c", who__txt="C", ac__txt="C", c__txt="C")
    a = make_dir(tmp_path / "a", who__txt="A", ac__txt="A")
    b = make_dir(tmp_path / "b", who__txt="B")
    engine = TemplateEngine(creator)
    assert engine.add_template_dir(a) is None
    engine.add_template_dir(b)
    assert engine.env.loader.searchpath == [b, a, creator, BUILTIN]
    rendered = [engine.render(name, {}) for name in ("who.txt", "ac.txt", "c.txt")]
    assert rendered == ["B", "A", "C"]
    # Neither checked nor normalised.
    engine.add_template_dir("no/such/dir/")
    assert engine.env.loader.searchpath[0] == "no/such/dir/"
    assert engine.render("who.txt", {}) == "B"


@pytest.mark.parametrize("cached", [True, False], ids=["cache", "no-cache"])
def test_added_directory_wins_over_a_template_loaded_before(tmp_path, cached):
    engine = TemplateEngine(make_dir(tmp_path / "c", who__txt="C"))
    if not cached:
        engine.env.cache = None
    assert engine.render("who.txt", {}) == "C"
    engine.add_template_dir(make_dir(tmp_path / "a", who__txt="A"))
    assert engine.render("who.txt", {}) == "A"


def test_a_replaced_search_path_gets_its_own_insert():
    # A plain list is inserted into directly; anything else must see the call.
    class Recording(list):
        def insert(self, index, value):
            calls.append((index, value))
            super().insert(index, value)

    calls = []
    engine = TemplateEngine()
    engine.env.loader.searchpath = Recording([BUILTIN])
    engine.add_template_dir("x")
    assert calls == [(0, "x")]
    assert engine.env.loader.searchpath == ["x", BUILTIN]


def test_add_template_dir_needs_a_search_path():
    engine = TemplateEngine()
    engine.env.loader = jinja2.DictLoader({})
    with pytest.raises(AttributeError):
        engine.add_template_dir("x")


# --- rendering ----------------------------------------------------------------


@pytest.mark.parametrize("name", ["nope.txt", "sub/nope.html", "../templates/nope.txt"])
@pytest.mark.parametrize("with_dir", [True, False])
def test_missing_template_gives_none(tmp_path, name, with_dir):
    engine = TemplateEngine(str(tmp_path / "missing-dir") if with_dir else None)
    assert engine.render(name, {"x": 1}) is None


@pytest.mark.parametrize(
    "source",
    [
        "{% include 'missing.html' %}",
        "{% extends 'missing.html' %}",
        "{% import 'missing.html' as m %}{{ m.x }}",
        "{% from 'missing.html' import x %}{{ x }}",
    ],
)
def test_broken_reference_in_an_existing_template_raises(tmp_path, source):
    engine = TemplateEngine(make_dir(tmp_path, broken__html=source))
    with pytest.raises(jinja2.TemplateNotFound) as info:
        engine.render("broken.html", {})
    assert info.value.name == "missing.html"
    with pytest.raises(jinja2.TemplateNotFound):
        engine.render_string(source, {})


def test_includes_are_found_through_the_search_path(tmp_path):
    engine = TemplateEngine(make_dir(tmp_path, part__txt="[{{ x }}]", page__txt="<{% include 'part.txt' %}>"))
    assert engine.render("page.txt", {"x": 1}) == "<[1]>"
    assert engine.render_string("{% include 'part.txt' %}!", {"x": 2}) == "[2]!"


def test_syntax_errors_raise(tmp_path):
    engine = TemplateEngine(make_dir(tmp_path, bad__html="{% if %}"))
    with pytest.raises(jinja2.TemplateSyntaxError):
        engine.render("bad.html", {})
    with pytest.raises(jinja2.TemplateSyntaxError):
        engine.render_string("{{ x ", {})


def test_errors_while_rendering_propagate_unchanged(tmp_path):
    engine = TemplateEngine(make_dir(tmp_path, call__txt="{{ fail() }}"))
    error = LookupError("from the caller")

    def fail():
        raise error

    with pytest.raises(LookupError) as by_name:
        engine.render("call.txt", {"fail": fail})
    with pytest.raises(LookupError) as from_string:
        engine.render_string("{{ fail() }}", {"fail": fail})
    assert by_name.value is error and from_string.value is error


@pytest.mark.parametrize("name", ["page.html", "page.txt", "page.xml", "page"])
def test_every_template_is_escaped(tmp_path, name):
    engine = TemplateEngine(make_dir(tmp_path, **{name.replace(".", "__"): "{{ value }}"}))
    assert engine.render(name, {"value": MARKUP}) == ESCAPED
    assert engine.render_string("{{ value }}", {"value": MARKUP}) == ESCAPED
    assert engine.render_string("{{ value }}", {"value": markupsafe.Markup(MARKUP)}) == MARKUP


def test_context_keys_must_be_strings(tmp_path):
    engine = TemplateEngine(make_dir(tmp_path, page__txt="x"))
    with pytest.raises(TypeError, match="keywords must be strings$"):
        engine.render("page.txt", {1: "a"})
    with pytest.raises(TypeError, match="keywords must be strings$"):
        engine.render_string("x", {1: "a"})


def test_env_is_read_only_and_stable():
    engine = TemplateEngine()
    env = engine.env
    assert isinstance(env, jinja2.Environment) and env is engine.env
    assert env.autoescape is True and type(env.loader) is jinja2.FileSystemLoader
    assert TemplateEngine().env is not env
    with pytest.raises(AttributeError):
        engine.env = jinja2.Environment()
    with pytest.raises(AttributeError):
        del engine.env
    assert engine.env is env


# --- module-level names are read when used ------------------------------------


def test_rebound_default_directory_is_used_by_new_engines(tmp_path, monkeypatch):
    old = TemplateEngine()
    directory = tmp_path / "elsewhere"
    make_dir(directory, notification__txt="elsewhere")
    monkeypatch.setattr(vantrel.template, "_DEFAULT_TEMPLATE_DIR", directory)
    assert TemplateEngine().env.loader.searchpath == [str(directory)]
    assert TemplateEngine().render("notification.txt", {}) == "elsewhere"
    assert old.env.loader.searchpath == [BUILTIN]
    as_text = str(directory)
    monkeypatch.setattr(vantrel.template, "_DEFAULT_TEMPLATE_DIR", as_text)
    assert TemplateEngine().env.loader.searchpath[0] is as_text


def test_environment_and_loader_are_made_as_configured(tmp_path, monkeypatch):
    made = []

    def loader(*args, **kwargs):
        made.append(("loader", args, kwargs))
        return jinja2.FileSystemLoader(*args, **kwargs)

    def environment(*args, **kwargs):
        made.append(("environment", args, list(kwargs.items())))
        return jinja2.Environment(*args, **kwargs)

    monkeypatch.setattr(vantrel.template, "FileSystemLoader", loader)
    monkeypatch.setattr(vantrel.template, "Environment", environment)
    engine = TemplateEngine(str(tmp_path))
    (loader_call, environment_call) = made
    assert loader_call == ("loader", ([str(tmp_path), BUILTIN],), {})
    assert environment_call == ("environment", (), [("loader", engine.env.loader), ("autoescape", True)])


@pytest.mark.parametrize(
    "replacement, missing_gives_none",
    [(LookupError, True), (jinja2.TemplateNotFound, True), (KeyError, False), (type("Other", (Exception,), {}), False)],
)
def test_rebound_template_not_found_is_read_at_each_call(monkeypatch, replacement, missing_gives_none):
    engine = TemplateEngine()
    monkeypatch.setattr(vantrel.template, "TemplateNotFound", replacement)
    if missing_gives_none:
        assert engine.render("nope.txt", {}) is None
    else:
        with pytest.raises(jinja2.TemplateNotFound):
            engine.render("nope.txt", {})


@pytest.mark.parametrize("replacement", ["x", (LookupError, "x"), None])
def test_rebound_template_not_found_that_no_except_accepts(monkeypatch, replacement):
    # As `except TemplateNotFound:` would: a TypeError whose context is the
    # failure that was to be caught.
    monkeypatch.setattr(vantrel.template, "TemplateNotFound", replacement)
    with pytest.raises(TypeError, match="^catching classes that do not inherit from BaseException is not allowed$") as info:
        TemplateEngine().render("nope.txt", {})
    assert type(info.value.__context__) is jinja2.TemplateNotFound


def test_a_missing_template_not_found_keeps_the_failure_as_context(monkeypatch):
    # As `except TemplateNotFound:` would: the NameError of the lookup carries
    # the failure it was to catch, and afterwards nothing is being handled.
    monkeypatch.delattr(vantrel.template, "TemplateNotFound")
    with pytest.raises(NameError, match="^name 'TemplateNotFound' is not defined$") as info:
        TemplateEngine().render("nope.txt", {})
    assert type(info.value.__context__) is jinja2.TemplateNotFound
    assert sys.exception() is None


class FakeEnvironment:
    """Stands in for jinja2.Environment: its templates render to `result`."""

    result = None

    def __init__(self, loader, autoescape):
        self.loader = loader
        self.calls = []

    def get_template(self, name):
        self.calls.append(("get_template", name))
        return self

    def from_string(self, source):
        self.calls.append(("from_string", source))
        return self

    def render(self, *args, **kwargs):
        self.calls.append(("render", args, kwargs))
        return self.result


@pytest.mark.parametrize(
    "method, result, message",
    [
        ("render", 42, "Expected str, got int"),
        ("render", b"x", "Expected str, got bytes"),
        ("render", markupsafe.Markup("x"), "Expected str, got Markup"),
        ("render", collections.OrderedDict(), "Expected str, got collections.OrderedDict"),
        ("render", None, None),
        ("render_string", None, "Expected str, got NoneType"),
        ("render_string", 42, "Expected str, got int"),
        ("render_string", "fine", None),
    ],
)
def test_result_must_be_exactly_str(monkeypatch, method, result, message):
    monkeypatch.setattr(FakeEnvironment, "result", result)
    monkeypatch.setattr(vantrel.template, "Environment", FakeEnvironment)
    engine = TemplateEngine()
    context = {"a": 1, "b": 2}
    if message is None:
        assert getattr(engine, method)("name", context) is result
    else:
        with pytest.raises(TypeError) as info:
            getattr(engine, method)("name", context)
        assert str(info.value) == message
    # The context arrives as keyword arguments, never as one positional dict.
    assert engine.env.calls[-1] == ("render", (), context)


def test_type_checks_run_before_any_lookup(monkeypatch):
    monkeypatch.setattr(vantrel.template, "Environment", FakeEnvironment)
    engine = TemplateEngine()
    with pytest.raises(TypeError):
        engine.render("name", None)
    with pytest.raises(TypeError):
        engine.render_string("name", None)
    assert engine.env.calls == []


# --- built-in templates -------------------------------------------------------

VOID = {"area", "base", "br", "col", "embed", "hr", "img", "input", "link", "meta", "source", "track", "wbr"}


class MailHtml(html.parser.HTMLParser):
    """Collects what a mail client would trip over: unbalanced tags, scripts,
    event handlers and anything that points outside the message."""

    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.open, self.problems, self.links, self.text = [], [], [], []

    def handle_starttag(self, tag, attrs):
        if tag in {"script", "iframe", "object", "embed", "img", "link", "style", "form"}:
            self.problems.append(f"<{tag}>")
        for name, value in attrs:
            if name.startswith("on") or name in {"src", "srcset", "background", "action"}:
                self.problems.append(f"{tag} {name}={value!r}")
            if name == "style" and re.search(r"url\(|@import|expression\(", value or ""):
                self.problems.append(f"{tag} style={value!r}")
            if name == "href":
                self.links.append(value)
        if tag not in VOID:
            self.open.append(tag)

    def handle_startendtag(self, tag, attrs):
        self.handle_starttag(tag, attrs)
        if tag not in VOID:
            self.open.pop()

    def handle_endtag(self, tag):
        if not self.open or self.open.pop() != tag:
            self.problems.append(f"</{tag}> out of place")

    def handle_data(self, data):
        self.text.append(data)


def check_html(page):
    assert page.startswith("<!DOCTYPE html>")
    parser = MailHtml()
    parser.feed(page)
    parser.close()
    assert parser.problems == [] and parser.open == []
    return parser


ACTION = "https://example.org/jobs/7?view=full&tab=log"
NOTIFICATION = {
    "title": "Backup <db-1> & friends",
    "message": "Finished & verified.\nSize: <12 GB>",
    "action_url": ACTION,
    "action_label": "Open log & details",
    "occurred_at": "2026-03-04 05:06:07",
}
REPORT = {
    "title": "Weekly <mail> report",
    "intro": "Totals & failures",
    "rows": {"Sent": 120, "Bounced & deferred": "<3>"},
    "occurred_at": "2026-03-04 05:06:07",
}
MINIMAL = {
    "notification": {"title": "Disk almost full", "message": "Free space: 4%"},
    "report": {"title": "Empty report", "rows": []},
}


@pytest.mark.parametrize("name, context", [("notification", NOTIFICATION), ("report", REPORT)])
def test_builtin_pair_with_everything(name, context):
    engine = TemplateEngine()
    page = engine.render(f"{name}.html", context)
    text = engine.render(f"{name}.txt", context)
    parser = check_html(page)
    visible = "".join(parser.text)
    values = [context["title"], context["occurred_at"]]
    if name == "notification":
        values += [context["action_label"], *context["message"].split("\n")]
        assert parser.links == [ACTION]
        assert "&amp;tab=log" in page and ACTION in text
    else:
        values += [context["intro"], *[str(item) for row in context["rows"].items() for item in row]]
        assert parser.links == []
    for value in values:
        assert value in visible  # escaped in the page, shown as is
        assert str(markupsafe.escape(value)) in page
        assert value in text  # plain text is not escaped
    assert "&amp;" not in text and "&lt;" not in text
    assert "None" not in page + text


@pytest.mark.parametrize("name", ["notification", "report"])
def test_builtin_pair_without_optional_values(name):
    engine = TemplateEngine()
    context = MINIMAL[name]
    page = engine.render(f"{name}.html", context)
    text = engine.render(f"{name}.txt", context)
    parser = check_html(page)
    assert parser.links == []
    for output in (page, text):
        assert context["title"] in output
        assert "None" not in output and "Undefined" not in output
    assert not re.search(r"\n\s*\n\s*\n", text), "no runs of blank lines"
    assert text.endswith("\n") and not text.endswith("\n\n")


def test_report_rows_as_pairs_keep_their_order():
    engine = TemplateEngine()
    rows = [("zeta", 1), ("alpha", 2), ("zeta", 3)]
    context = {"title": "Pairs", "rows": rows}
    text = engine.render("report.txt", context)
    lines = [line.split() for line in text.splitlines() if line.endswith(("1", "2", "3"))]
    assert lines == [["zeta:", "1"], ["alpha:", "2"], ["zeta:", "3"]]
    page = engine.render("report.html", context)
    check_html(page)
    assert re.findall(r">(zeta|alpha|\d)<", page) == ["zeta", "1", "alpha", "2", "zeta", "3"]


class _Cache:
    """A stand-in for Jinja2's cache that records whether it was cleared."""

    def __init__(self, length):
        self.length, self.cleared = length, False

    def clear(self):
        self.cleared = True


class _SizedCache(_Cache):
    def __len__(self):
        return self.length


@pytest.mark.parametrize("cache, cleared", [(_SizedCache(0), False), (_SizedCache(3), True),
                                            (_Cache(None), True)], ids=["empty", "full", "no-len"])
def test_add_template_dir_clears_a_cache_unless_it_is_empty(cache, cleared):
    engine = TemplateEngine()
    engine.env.cache = cache
    engine.add_template_dir("x")
    assert cache.cleared is cleared


def test_add_template_dir_lets_an_error_of_the_cache_through():
    class Broken(_SizedCache):
        def __len__(self):
            raise KeyboardInterrupt

    engine = TemplateEngine()
    engine.env.cache = Broken(0)
    with pytest.raises(KeyboardInterrupt):
        engine.add_template_dir("x")
