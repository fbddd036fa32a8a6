"""The module frame, seen through vantrel.template: start-up guards, the
argument binder's wordings, the exact-type rules and the function objects."""

import annotationlib
import builtins
import collections
import copy
import datetime
import importlib
import importlib.util
import inspect
import itertools
import os
import pathlib
import pickle
import pydoc
import re
import subprocess
import sys
import textwrap
import typing

import jinja2
import pytest

import vantrel.template
from vantrel.template import TemplateEngine
from wordings import count, incorrect_type, keyword_type, multiple, unexpected

INTERPRETER_CHANGE = (
    "Interpreter change detected - this module can only be loaded into one interpreter per process."
)


@pytest.fixture
def engine():
    return TemplateEngine()


def run_python(code, *options, env=None):
    """Runs code in a fresh interpreter, so that a crash or a poisoned
    process-wide state cannot reach the test session."""
    return subprocess.run(
        [sys.executable, *options, "-P", "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env=env,
        timeout=120,
    )


class StrSub(str):
    pass


# --- argument binding -------------------------------------------------------


BINDING_ERRORS = [
    (lambda e: TemplateEngine.__init__(), count("__init__", 1, 2, 0)),
    (lambda e: TemplateEngine("a", "b"), count("__init__", 1, 2, 3)),
    (lambda e: e.render("a", {}, {}), count("render", 3, 3, 4)),
    # With keywords: too many positionals, then a required parameter left empty.
    (lambda e: e.render("a", {}, "b", context={}), count("render", 3, 3, 4)),
    (lambda e: e.render(template_name="a"), count("render", 3, 3, 2)),
    (lambda e: TemplateEngine.env.fget(), count("env", 1, 1, 0)),
    (lambda e: e.render("a", template_name="b"), multiple("render", "template_name")),
    (lambda e: e.add_template_dir("a", self=e), multiple("add_template_dir", "self")),
    (lambda e: TemplateEngine(templatedir="a"), unexpected("__init__", "templatedir")),
    (lambda e: e.render(context={}, **{"größe": 1}), unexpected("render", "größe")),
]


@pytest.mark.parametrize("call, message", BINDING_ERRORS, ids=[message for _, message in BINDING_ERRORS])
def test_binding_errors(engine, call, message):
    with pytest.raises(TypeError) as info:
        call(engine)
    assert str(info.value) == message


def test_keywords_match_by_value_not_identity(engine):
    # Keyword names built at run time are not the interned parameter names.
    name = "".join(["template", "_string"])
    assert engine.render_string(**{name: "{{ x }}", "context": {"x": 1}}) == "1"
    assert TemplateEngine.render(self=engine, template_name="no-such", context={}) is None


def test_non_string_keyword_through_unpacking(engine):
    # The interpreter itself may refuse the key before the method sees it.
    with pytest.raises(TypeError) as info:
        engine.render(**{1: "a"})
    assert str(info.value).endswith("keywords must be strings")


def test_non_string_keyword_reaching_the_binder(engine):
    # Only a C caller can hand a non-string keyword name to vectorcall.
    ctypes = pytest.importorskip("ctypes")
    vectorcall = ctypes.pythonapi["PyObject_Vectorcall"]  # a private function pointer
    vectorcall.restype = ctypes.py_object
    vectorcall.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t, ctypes.py_object]
    args = (ctypes.py_object * 4)(engine, "a", {}, "value")
    with pytest.raises(TypeError) as info:
        vectorcall(TemplateEngine.render, args, 3, (1,))
    assert str(info.value) == keyword_type("render")


# --- exact types --------------------------------------------------------------


SUBCLASSES = {"StrSub", "collections.OrderedDict", "collections.defaultdict"}


LONG_NAME = type("N" * 300, (), {})


@pytest.mark.parametrize(
    "call, parameter, expected, got",
    [
        (lambda e: e.render(None, None), "template_name", "str", "NoneType"),
        (lambda e: e.render("a", None), "context", "dict", "NoneType"),
        (lambda e: e.render(context=None, template_name=1), "template_name", "str", "int"),
        (lambda e: e.render_string("a", [("x", 1)]), "context", "dict", "list"),
        (lambda e: e.add_template_dir(None), "directory", "str", "NoneType"),
        (lambda e: TemplateEngine(pathlib.Path("a")), "template_dir", "str", "PosixPath"),
        (lambda e: e.render(StrSub("a"), {}), "template_name", "str", "StrSub"),
        # Types from C go by their C-level name, module included, as in the
        # interpreter's own messages.
        (lambda e: e.render("a", collections.OrderedDict()), "context", "dict", "collections.OrderedDict"),
        (lambda e: e.render_string("a", collections.defaultdict(int)), "context", "dict", "collections.defaultdict"),
        (lambda e: e.render("a", datetime.date(2026, 1, 1)), "context", "dict", "datetime.date"),
        (lambda e: e.add_template_dir(itertools.chain()), "directory", "str", "itertools.chain"),
        # A name is cut after 200 bytes.
        (lambda e: e.render(LONG_NAME(), {}), "template_name", "str", "N" * 200),
        (lambda e: e.add_template_dir(StrSub("a")), "directory", "str", "StrSub"),
        (lambda e: TemplateEngine(StrSub("")), "template_dir", "str", "StrSub"),
    ],
    ids=lambda value: value[:30] if isinstance(value, str) else None,
)
def test_exact_types(engine, call, parameter, expected, got):
    with pytest.raises(TypeError) as info:
        call(engine)
    assert str(info.value) == incorrect_type(parameter, expected, got)
    notes = getattr(info.value, "__notes__", [])
    if got in SUBCLASSES:
        # Only a subclass of the expected type gets the explanation, which
        # names the type as the message does.
        (note,) = notes
        assert "exact" in note.lower() and expected in note and f" {got} " in note
    else:
        assert notes == []


# --- function objects -----------------------------------------------------------

RENDER_DOC = (
    "\n        Render a template by name.\n\n"
    "        Returns the rendered string, or None if the template does not exist.\n        "
)
RENDER_STRING_DOC = "\n        Render an inline Jinja2 string with the given context.\n        "
ADD_DIR_DOC = "Add an additional template search directory (prepended for priority)."
ENV_DOC = "Access the underlying Jinja2 Environment for advanced usage."

# name: (docstring, defaults, annotations, signature)
FUNCTIONS = {
    "__init__": (None, (None,), {"template_dir": "Optional[str]"}, "(self, template_dir: 'Optional[str]' = None)"),
    "render": (
        RENDER_DOC,
        None,
        {"template_name": "str", "context": "dict", "return": "Optional[str]"},
        "(self, template_name: 'str', context: 'dict') -> 'Optional[str]'",
    ),
    "render_string": (
        RENDER_STRING_DOC,
        None,
        {"template_string": "str", "context": "dict", "return": "str"},
        "(self, template_string: 'str', context: 'dict') -> 'str'",
    ),
    "add_template_dir": (ADD_DIR_DOC, None, {"directory": "str", "return": "None"}, "(self, directory: 'str') -> 'None'"),
    "env": (ENV_DOC, None, {"return": "Environment"}, "(self) -> 'Environment'"),
}


@pytest.mark.parametrize("name", FUNCTIONS)
def test_function_attributes(name):
    doc, defaults, annotations, signature = FUNCTIONS[name]
    function = TemplateEngine.env.fget if name == "env" else getattr(TemplateEngine, name)
    assert function.__name__ == name
    assert function.__qualname__ == f"TemplateEngine.{name}"
    assert function.__module__ == "vantrel.template"
    assert function.__doc__ == doc
    assert function.__defaults__ == defaults
    assert function.__kwdefaults__ is None
    assert function.__annotations__ is function.__annotations__
    assert list(function.__annotations__.items()) == list(annotations.items())
    for format in range(1, 5):
        assert function.__annotate__(format) == annotations
    for format in (annotationlib.Format.VALUE, annotationlib.Format.FORWARDREF, annotationlib.Format.STRING):
        assert annotationlib.get_annotations(function, format=format) == annotations
    assert str(inspect.signature(function)) == signature
    assert re.fullmatch(rf"<function TemplateEngine\.{name} at 0x[0-9a-fA-F]+>", repr(function))


def test_methods_bind_like_python_functions(engine):
    method = engine.render
    assert inspect.ismethod(method)
    assert method.__func__ is TemplateEngine.render and method.__self__ is engine
    assert TemplateEngine.__dict__["render"].__get__(None, TemplateEngine) is TemplateEngine.render
    assert str(inspect.signature(method)) == "(template_name: 'str', context: 'dict') -> 'Optional[str]'"
    assert str(inspect.signature(TemplateEngine)) == "(template_dir: 'Optional[str]' = None)"

    class Holder:
        render = staticmethod(TemplateEngine.render)

    assert Holder().render(engine, "no-such", {}) is None


def test_annotations_resolve_in_the_module_namespace():
    import vantrel.mailer
    from vantrel.mailer import EasyMailer

    assert TemplateEngine.render.__globals__ is vantrel.template.__dict__
    assert EasyMailer.send.__globals__ is vantrel.mailer.__dict__
    assert typing.get_type_hints(TemplateEngine.render) == {
        "template_name": str, "context": dict, "return": typing.Optional[str]}
    hints = typing.get_type_hints(EasyMailer.send)
    assert hints["to"] == typing.Union[str, typing.List[str]]
    assert hints["attachments"] == typing.Optional[typing.List[typing.Union[str, typing.Dict]]]
    assert inspect.get_annotations(EasyMailer._collect_recipients, eval_str=True)["return"] == typing.List[str]


def test_signature_follows_changed_annotations():
    # As for a Python function, the signature is read off __annotations__.
    result = run_python("""
        import inspect
        from vantrel.template import TemplateEngine
        TemplateEngine.render.__annotations__["context"] = "Mapping"
        print(inspect.signature(TemplateEngine.render))
        """)
    assert result.stdout == "(self, template_name: 'str', context: 'Mapping') -> 'Optional[str]'\n", result.stderr


def test_a_cleared_function_still_answers():
    # The collector clears what may hold a cycle; a cleared function must not
    # crash whoever still reaches it.
    result = run_python("""
        import ctypes
        from vantrel.template import TemplateEngine
        render = TemplateEngine.render
        get_slot = ctypes.pythonapi.PyType_GetSlot
        get_slot.restype, get_slot.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_int]
        clear = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object)(get_slot(type(render), 51))
        render.attribute = render  # a cycle through __dict__
        assert clear(render) == 0
        print(render.__name__, render.__qualname__, render.__module__, render.__doc__,
              render.__globals__, render.__dict__, repr(render).split(" at ")[0])
        print(render(TemplateEngine(), "missing", {}))
        """)
    assert result.returncode == 0, result.stderr
    assert result.stdout == ("render TemplateEngine.render None None None {} <function TemplateEngine.render\n"
                             "None\n")


def test_a_cleared_inner_function_raises():
    # _collect_recipients' inner _add can be reached while it runs; once the
    # collector's clear step has emptied what it closes over, calling it
    # raises instead of reading a null closure.
    result = run_python("""
        import ctypes, gc
        from vantrel.mailer import EasyMailer
        get_slot = ctypes.pythonapi.PyType_GetSlot
        get_slot.restype, get_slot.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_int]
        clear = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object)(get_slot(type(EasyMailer.send), 51))
        found = []

        def addresses():
            yield "c@example.test"
            found.extend(o for o in gc.get_objects() if type(o) is type(EasyMailer.send)
                         and o.__qualname__.endswith("<locals>._add"))
            assert clear(found[0]) == 0  # while it is still extending the list
            yield "d@example.test"

        print(EasyMailer._collect_recipients("a@example.test", ["b@example.test"], addresses()))
        for value in (None, "d@example.test", ["e@example.test"]):
            try:
                found[0](value)
            except RuntimeError as error:
                print(error)
        """)
    assert result.returncode == 0, result.stderr
    message = "_add() can no longer be called: the garbage collector has cleared what it closes over\n"
    assert result.stdout == "['a@example.test', 'b@example.test', 'c@example.test', 'd@example.test']\n" + message * 3


def test_help_shows_signatures_and_docstrings():
    # pydoc may or may not quote string annotations; the signature is the point.
    text = pydoc.render_doc(TemplateEngine, renderer=pydoc.plaintext).replace("'", "")
    for name, (doc, _, _, signature) in FUNCTIONS.items():
        shown = f"{name}{signature}".replace("'", "").replace("(self) -> Environment", "")
        assert shown in text
        assert all(line in text for line in inspect.cleandoc(doc or "").splitlines())


# --- module and class surface ---------------------------------------------------


def test_module_namespace():
    module = vantrel.template
    assert module.__doc__ is None
    assert set(vars(module)) == {
        "__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__", "__builtins__",
        "Path", "Optional", "Environment", "FileSystemLoader", "TemplateNotFound",
        "_DEFAULT_TEMPLATE_DIR", "TemplateEngine",
    }  # fmt: skip
    assert module.__name__ == "vantrel.template"
    assert module.__package__ == "vantrel"
    assert module.__file__ == module.__spec__.origin
    assert module.__loader__ is module.__spec__.loader
    assert module.__builtins__ is builtins
    imported = {"Path": pathlib.Path, "Optional": typing.Optional, "Environment": jinja2.Environment,
                "FileSystemLoader": jinja2.FileSystemLoader, "TemplateNotFound": jinja2.TemplateNotFound}  # fmt: skip
    assert all(getattr(module, name) is value for name, value in imported.items())
    assert module._DEFAULT_TEMPLATE_DIR == pathlib.Path(module.__file__).parent / "templates"
    assert module._DEFAULT_TEMPLATE_DIR.is_dir()


def test_class_surface():
    assert TemplateEngine.__module__ == "vantrel.template"
    assert TemplateEngine.__qualname__ == "TemplateEngine"
    assert TemplateEngine.__bases__ == (object,)
    assert TemplateEngine.__doc__ == (
        "\n    Jinja2-based template renderer.\n\n"
        "    Templates are looked up in the following order:\n"
        "    1. User-provided template directory (if given).\n"
        "    2. Built-in templates directory (vantrel/templates).\n    "
    )
    members = ["__init__", "render", "render_string", "add_template_dir", "env"]
    assert [name for name in vars(TemplateEngine) if name in members] == members
    env = TemplateEngine.env
    assert isinstance(env, property) and env.fset is None and env.fdel is None
    assert env.__doc__ == ENV_DOC


# --- start-up -----------------------------------------------------------------


@pytest.fixture
def forget_template_module():
    """Lets a test drop vantrel.template from sys.modules; puts it back."""
    module = sys.modules["vantrel.template"]
    yield module
    sys.modules["vantrel.template"] = module
    vantrel.template = module


def test_reimport_returns_the_same_module(forget_template_module):
    module = forget_template_module
    marker = module._DEFAULT_TEMPLATE_DIR
    module._DEFAULT_TEMPLATE_DIR = "rebound"
    try:
        del sys.modules["vantrel.template"]
        again = importlib.import_module("vantrel.template")
        assert again is module
        assert again.TemplateEngine is TemplateEngine
        # The body did not run a second time.
        assert again._DEFAULT_TEMPLATE_DIR == "rebound"
        assert importlib.util.module_from_spec(module.__spec__) is module
    finally:
        module._DEFAULT_TEMPLATE_DIR = marker


def test_module_level_names_fall_back_to_builtins(monkeypatch):
    monkeypatch.delattr(vantrel.template, "FileSystemLoader")
    with pytest.raises(NameError) as info:
        TemplateEngine()
    assert str(info.value) == "name 'FileSystemLoader' is not defined"
    monkeypatch.setattr(builtins, "FileSystemLoader", jinja2.FileSystemLoader, raising=False)
    assert isinstance(TemplateEngine().env.loader, jinja2.FileSystemLoader)


def test_second_module_object_is_not_initialised():
    result = run_python("""
        import importlib.util, sys
        spec = importlib.util.find_spec("vantrel.template")
        first = importlib.util.module_from_spec(spec)
        second = importlib.util.module_from_spec(spec)
        assert first is not second
        spec.loader.exec_module(first)
        assert sys.modules["vantrel.template"] is first
        try:
            spec.loader.exec_module(second)
        except RuntimeError as error:
            print(error)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout == (
        "Module 'template' has already been imported. Re-initialisation is not supported.\n"
    )


def test_failed_import_can_be_retried():
    result = run_python("""
        import sys
        sys.modules["jinja2"] = None
        try:
            import vantrel.template
        except ImportError:
            print("refused")
        assert "vantrel.template" not in sys.modules
        del sys.modules["jinja2"]
        from vantrel.template import TemplateEngine
        print(TemplateEngine().render_string("{{ x }}", {"x": "ok"}))
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "refused\nok\n"


@pytest.mark.parametrize("blocked, module", [("mimetypes", "vantrel.mailer"), ("jinja2", "vantrel.template")])
def test_import_refused_by_none_in_sys_modules(blocked, module):
    # The module's own imports fail exactly as the statements would.
    result = run_python(f"""
        import sys
        sys.modules["{blocked}"] = None
        for statement in ("import {blocked}", "import {module}"):
            try:
                exec(statement)
            except ImportError as error:
                print(type(error).__name__, error, error.name)
    """)
    assert result.returncode == 0, result.stderr
    expected = f"ModuleNotFoundError import of {blocked} halted; None in sys.modules {blocked}\n"
    assert result.stdout == expected * 2


FAKE_JINJA2 = {
    "no location": "",
    "file": "fake.__file__ = '/nowhere/jinja2/__init__.py'",
    "spec location": """
        fake.__spec__ = importlib.machinery.ModuleSpec("jinja2", None, origin="/spec/jinja2.py")
        fake.__spec__.has_location = True
    """,
    "initializing": """
        fake.__spec__ = importlib.machinery.ModuleSpec("jinja2", None, origin="/spec/jinja2.py")
        fake.__spec__.has_location = True
        fake.__spec__._initializing = True
    """,
    "initializing, no location": """
        fake.__spec__ = importlib.machinery.ModuleSpec("jinja2", None)
        fake.__spec__._initializing = True
    """,
    "no __spec__": "del fake.__spec__; fake.__file__ = '/nowhere/jinja2.py'",
}


@pytest.mark.parametrize("setup", FAKE_JINJA2.values(), ids=FAKE_JINJA2)
def test_missing_name_in_from_import_fails_like_the_statement(setup):
    before = """
        import importlib.machinery, sys, types
        fake = types.ModuleType("jinja2")
        fake.Environment = fake.FileSystemLoader = object
    """
    after = """
        sys.modules["jinja2"] = fake
        for statement in ("from jinja2 import TemplateNotFound", "import vantrel.template"):
            try:
                exec(statement)
            except ImportError as error:
                print(repr((type(error), str(error), error.name, error.path, error.name_from)))
    """
    result = run_python("".join(textwrap.dedent(part) for part in (before, setup, after)))
    assert result.returncode == 0, result.stderr
    plain, ours = result.stdout.splitlines()
    assert "TemplateNotFound" in plain
    assert ours == plain


def test_failed_start_under_another_name_leaves_no_alias():
    # Loaded as altpkg.template, the module enters itself as vantrel.template
    # too; when its start fails, that entry must go with it.
    result = run_python("""
        import importlib, importlib.machinery, importlib.util, sys
        path = importlib.util.find_spec("vantrel.template").origin
        loader = importlib.machinery.ExtensionFileLoader("altpkg.template", path)
        spec = importlib.util.spec_from_file_location("altpkg.template", path, loader=loader)
        broken = importlib.util.module_from_spec(spec)
        sys.modules["jinja2"] = None
        try:
            loader.exec_module(broken)
        except ImportError as error:
            print(error)
        print("vantrel.template" in sys.modules)
        del sys.modules["jinja2"]
        module = importlib.import_module("vantrel.template")
        print(module is broken, module.TemplateEngine().render_string("{{ x }}", {"x": "ok"}))
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "import of jinja2 halted; None in sys.modules\nFalse\nFalse ok\n"


def test_creation_copies_the_import_spec():
    result = run_python("""
        import _imp, importlib.util, types
        origin = importlib.util.find_spec("vantrel.template").origin
        spec = types.SimpleNamespace(name="vantrel.template", origin=origin,
                                     submodule_search_locations=["somewhere"])
        module = _imp.create_dynamic(spec)
        # Attributes missing from the ModuleSpec are skipped: these keep the module defaults.
        assert module.__loader__ is None and module.__package__ is None
        assert module.__file__ == origin and module.__path__ == ["somewhere"]

        class Broken:
            name = "vantrel.template"
            origin = spec.origin
            @property
            def parent(self):
                raise ValueError("no parent today")
        try:
            _imp.create_dynamic(Broken())
        except ValueError as error:
            print(error)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "no parent today\n"


@pytest.mark.parametrize("main_first", [True, False], ids=["main-first", "subinterpreter-first"])
def test_one_interpreter_per_process(main_first):
    result = run_python(f"""
        from concurrent import interpreters
        interpreter = interpreters.create()
        try:
            if {main_first}:
                import vantrel.template
                try:
                    interpreter.exec("import vantrel.template")
                except interpreters.ExecutionFailed as failure:
                    print(failure.excinfo.type.__name__, failure.excinfo.msg)
            else:
                interpreter.exec("import vantrel.template")
                try:
                    import vantrel.template
                except ImportError as error:
                    print("ImportError", error)
        finally:
            interpreter.close()
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout == f"ImportError {INTERPRETER_CHANGE}\n"


def test_no_version_warning_for_the_interpreter_built_for():
    result = run_python("import vantrel.template", "-W", "error")
    assert result.returncode == 0, result.stderr


# The test job (tools/env test) builds a copy of the module that declares 3.13.
@pytest.fixture
def version_probe():
    probe = os.environ.get("VANTREL_VERSION_PROBE")
    if not probe:
        pytest.skip("VANTREL_VERSION_PROBE is not set: run through `tools/env test` to build the 3.13 module")
    env = dict(os.environ, PYTHONPATH=probe)
    return probe, env


def test_version_warning_as_error(version_probe):
    _, env = version_probe
    result = run_python("import vantrel.template", "-W", "error::RuntimeWarning", env=env)
    assert result.returncode != 0
    assert (
        "RuntimeWarning: compile time Python version 3.13 of module 'vantrel.template' "
        "does not match runtime version 3.14" in result.stderr
    )


def test_version_warning_lets_the_import_go_on(version_probe):
    probe, env = version_probe
    result = run_python(
        """
        import warnings
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            import vantrel.template
        for warning in caught:
            print(warning.category.__name__, warning.message)
        print(vantrel.template.__file__)
        print(vantrel.template.TemplateEngine().render_string("{{ x }}", {"x": "ok"}))
        """,
        env=env,
    )
    assert result.returncode == 0, result.stderr
    warning, location, rendered = result.stdout.splitlines()
    assert warning == (
        "RuntimeWarning compile time Python version 3.13 of module 'vantrel.template' "
        "does not match runtime version 3.14"
    )
    assert location.startswith(os.path.join(probe, "vantrel", "template."))
    assert rendered == "ok"


@pytest.mark.parametrize("protocol", [2, pickle.HIGHEST_PROTOCOL])
def test_methods_pickle_and_copy_as_references(protocol):
    from vantrel.mailer import EasyMailer

    for function in (TemplateEngine.render, EasyMailer.send, EasyMailer._attach_file):
        assert pickle.loads(pickle.dumps(function, protocol)) is function
        assert copy.deepcopy(function) is function
