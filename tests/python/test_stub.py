"""The shipped type stub describes exactly the module that is built: the same
public names in the same order, and the same parameters for every callable."""
import ast
import pathlib

import pytest

import tessarin_hdc as hdc

STUB = pathlib.Path(__file__).resolve().parents[2] / "stubs" / "tessarin_hdc.pyi"


def stub_tree():
    return ast.parse(STUB.read_text(encoding="utf-8"))


def parameters(fn: ast.FunctionDef) -> str:
    names = [a.arg for a in fn.args.args if a.arg not in ("self", "cls")]
    defaults = [None] * (len(fn.args.args) - len(fn.args.defaults)) + fn.args.defaults
    shown = []
    for arg, default in zip(fn.args.args, defaults):
        if arg.arg in ("self", "cls"):
            continue
        shown.append(arg.arg + ("=None" if default is not None else ""))
    assert len(shown) == len(names)
    return "(" + ", ".join(shown) + ")"


def runtime_parameters(obj) -> str:
    sig = obj.__text_signature__
    return sig.replace("$self, ", "").replace("($self)", "()")


def stub_entries():
    for node in stub_tree().body:
        if isinstance(node, ast.FunctionDef):
            yield node.name, None, node
        elif isinstance(node, ast.ClassDef):
            yield node.name, node, None


def test_stub_lists_the_public_names_in_order():
    names = [name for name, _, _ in stub_entries()]
    assert names == hdc.__all__


@pytest.mark.parametrize("name, cls, fn", list(stub_entries()), ids=[n for n, _, _ in stub_entries()])
def test_stub_parameters_match_the_module(name, cls, fn):
    obj = getattr(hdc, name)
    if fn is not None:
        assert parameters(fn) == runtime_parameters(obj)
        return
    members = {n.name: n for n in cls.body if isinstance(n, ast.FunctionDef)}
    assert parameters(members.pop("__new__")) == obj.__text_signature__
    runtime = [k for k, v in vars(obj).items() if not k.startswith("__")]
    assert sorted(members) == sorted(runtime)
    for member, node in members.items():
        attribute = vars(obj)[member]
        is_property = any((isinstance(d, ast.Name) and d.id == "property") or
                          (isinstance(d, ast.Attribute) and d.attr == "setter") for d in node.decorator_list)
        if is_property:
            assert type(attribute).__name__ == "getset_descriptor"
        else:
            assert parameters(node) == runtime_parameters(attribute), member
