"""The shipped type stub: it describes the module that is built (stubtest),
type checkers find it and it types a user's script under `mypy --strict`, and
it documents every public name. Its examples run as doctests."""
import ast
import os
import pathlib
import subprocess
import sys

import pytest

import tessarin_hdc as hdc

REPO = pathlib.Path(__file__).resolve().parents[2]
STUB = REPO / "stubs" / "tessarin_hdc.pyi"
USER_SCRIPT = pathlib.Path(__file__).with_name("typed_usage.py")
# The type checks hold for any build; under the sanitizers they would only run slower.
typing_run = pytest.mark.skipif(os.environ.get("TESSARIN_SANITIZED") == "1", reason="checked in the plain build")


def stub_tree():
    return ast.parse(STUB.read_text(encoding="utf-8"))


def mypy_env():
    """The environment for mypy: an installed module brings its stub package;
    a build tree on PYTHONPATH gets the stub from the source tree."""
    env = dict(os.environ, MYPY_CACHE_DIR=os.devnull)
    installed = pathlib.Path(hdc.__file__).parent / "tessarin_hdc-stubs" / "__init__.pyi"
    if not installed.exists():
        env["MYPYPATH"] = str(STUB.parent)
    return env


def run_mypy(module, *args):
    pytest.importorskip("mypy")
    return subprocess.run([sys.executable, "-m", module, *args],
                          capture_output=True, text=True, env=mypy_env(), cwd=REPO)


def test_stub_lists_the_public_names_in_order():
    names = [node.name for node in stub_tree().body
             if isinstance(node, (ast.FunctionDef, ast.ClassDef)) and not node.name.startswith("_")]
    assert names == hdc.__all__


@typing_run
def test_stubtest_finds_the_stub_equal_to_the_module():
    result = run_mypy("mypy.stubtest", "tessarin_hdc")
    assert result.returncode == 0, result.stdout + result.stderr


@typing_run
def test_a_typed_user_script_passes_strict_mode():
    pytest.importorskip("numpy")
    result = run_mypy("mypy", "--strict", str(USER_SCRIPT))
    assert result.returncode == 0, result.stdout + result.stderr


def test_the_typed_vector_kinds_are_accepted_at_run_time():
    pytest.importorskip("numpy")
    import typed_usage

    for kind in typed_usage.kinds():
        typed_usage.every_vector_parameter(kind)
    typed_usage.matrices()


def public_definitions():
    for node in stub_tree().body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)) and not node.name.startswith("_"):
            yield node.name, node
            if isinstance(node, ast.ClassDef):
                for member in node.body:
                    setter = any(isinstance(d, ast.Attribute) and d.attr == "setter" for d in member.decorator_list) \
                        if isinstance(member, ast.FunctionDef) else False
                    if isinstance(member, ast.FunctionDef) and not member.name.startswith("_") and not setter:
                        yield f"{node.name}.{member.name}", member


@pytest.mark.parametrize("name, node", list(public_definitions()), ids=[n for n, _ in public_definitions()])
def test_every_public_name_is_documented_with_an_example(name, node):
    doc = ast.get_docstring(node) or ""
    assert doc.strip(), name
    assert ">>>" in doc, name


# ---- the companion package's stub (python/tessarin/__init__.pyi, installed
# inside the package beside py.typed) ------------------------------------------

COMPANION_STUB = REPO / "python" / "tessarin" / "__init__.pyi"


def test_companion_stub_lists_the_public_names():
    import tessarin

    tree = ast.parse(COMPANION_STUB.read_text(encoding="utf-8"))
    names = [node.name for node in tree.body if isinstance(node, (ast.FunctionDef, ast.ClassDef))
             and not node.name.startswith("_")]
    assert sorted(names) == sorted(tessarin.__all__)
    for node in tree.body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)) and not node.name.startswith("_"):
            assert ">>>" in (ast.get_docstring(node) or ""), node.name


@typing_run
def test_companion_stubtest_and_a_strict_user_script():
    result = run_mypy("mypy.stubtest", "tessarin")
    assert result.returncode == 0, result.stdout + result.stderr
    pytest.importorskip("numpy")
    result = run_mypy("mypy", "--strict", str(USER_SCRIPT.with_name("typed_companion.py")))
    assert result.returncode == 0, result.stdout + result.stderr
    pytest.importorskip("distributed")
    result = run_mypy("mypy", "--strict", str(COMPANION_STUB.with_name("dask.py")))
    assert result.returncode == 0, result.stdout + result.stderr


def test_companion_stub_examples_run():
    pytest.importorskip("numpy")
    import doctest

    result = doctest.testfile(str(COMPANION_STUB), module_relative=False, optionflags=doctest.NORMALIZE_WHITESPACE)
    assert result.failed == 0
