"""A function's parameter table is the one source of its signature: the
compiler refuses a body that names a parameter the table lacks, a table too
long for the binder's buffers, and a required parameter after a default."""

import shutil
import subprocess
import sysconfig
from pathlib import Path

import pytest

SRC = Path(__file__).resolve().parent.parent / "src"
COMPILER = shutil.which("g++") or shutil.which("c++")

pytestmark = pytest.mark.skipif(
    COMPILER is None or not (SRC / "frame" / "frame.hpp").exists(),
    reason="needs a C++ compiler and the source tree")

PARAM = '{{"p{0}", nullptr, Rule::Any, Default::{1}}}'


def table(*defaults):
    return ", ".join(PARAM.format(i, d) for i, d in enumerate(defaults))


def program(params, used):
    return f"""
#include "frame/frame.hpp"
using namespace vantrel;
constexpr Param params[] = {{{params}}};
PyObject* body(FunctionObject*, Args<params> args) {{ return args["{used}"]; }}
const Signature signature = define<body>({{.name = "f", .qualname = "f"}});
"""


def compiles(tmp_path, source):
    path = tmp_path / "probe.cpp"
    path.write_text(source)
    result = subprocess.run(
        [COMPILER, "-std=c++20", "-fsyntax-only", f"-I{SRC}",
         f"-I{sysconfig.get_paths()['include']}", str(path)],
        capture_output=True, text=True)
    return result.returncode == 0, result.stderr


@pytest.mark.parametrize("params, used, refusal", [
    (table("Required", "None"), "p1", None),
    (table("Required", "None"), "p2", "no parameter of that name"),
    (table(*["Required"] * 16), "p15", None),
    (table(*["Required"] * 17), "p0", "more parameters than the binder takes"),
    (table("None", "Required"), "p0", "a required parameter follows a default"),
])
def test_tables_are_checked_when_compiling(tmp_path, params, used, refusal):
    ok, errors = compiles(tmp_path, program(params, used))
    if refusal is None:
        assert ok, errors
    else:
        assert not ok and refusal in errors
