"""The type stubs describe the real functions."""

import ast
import inspect
import os
from pathlib import Path

import pytest

import ostrel_py

ROOT = Path(__file__).resolve().parents[2]
STUB = ROOT / "src" / "ostrel_py.pyi"


def stub_functions():
    tree = ast.parse(STUB.read_text())
    return {node.name: node for node in tree.body if isinstance(node, ast.FunctionDef)}


def test_stub_lists_exactly_the_modules_functions():
    assert list(stub_functions()) == ostrel_py.__all__


@pytest.mark.parametrize("name", ostrel_py.__all__)
def test_stub_signature_matches_the_function(name):
    node = stub_functions()[name]
    stub_params = [a.arg for a in node.args.args]
    stub_defaults = [ast.literal_eval(d) for d in node.args.defaults]
    real = inspect.signature(getattr(ostrel_py, name)).parameters.values()
    assert stub_params == [p.name for p in real]
    assert stub_defaults == [p.default for p in real if p.default is not inspect.Parameter.empty]
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in real)


def test_typed_usage_passes_mypy():
    api = pytest.importorskip("mypy.api")
    # No cache: mypy keeps it in sqlite3, which a CPython may lack (musl's here).
    arguments = ["--strict", "--no-incremental", "--no-sqlite-cache", "--cache-dir", os.devnull,
                 str(ROOT / "tests" / "typing" / "usage.py")]
    stdout, stderr, status = api.run(arguments)
    assert status == 0, stdout + stderr


def test_typed_usage_runs():
    source = (ROOT / "tests" / "typing" / "usage.py").read_text()
    exec(compile(source, "usage.py", "exec"), {})
