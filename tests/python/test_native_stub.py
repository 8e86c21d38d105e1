"""The installed package carries its types, and the native module's stub
names exactly what the module has: a function or method added or dropped on
one side only fails here, not in a user's type checker."""

import ast
from pathlib import Path

import pytest

import tavrin_ahrs_tools
from tavrin_ahrs_tools import _native

PACKAGE = Path(tavrin_ahrs_tools.__file__).parent
STUB = PACKAGE / "_native.pyi"


def _stub_tree():
    return ast.parse(STUB.read_text())


def _runtime_classes(tree):
    """The stub's classes that exist at run time (marked @final); the others are TypedDicts."""
    return {
        node.name: node
        for node in tree.body
        if isinstance(node, ast.ClassDef) and any(getattr(d, "id", None) == "final" for d in node.decorator_list)
    }


def _public(names):
    return {n for n in names if not n.startswith("_")}


@pytest.mark.parametrize("name", ["py.typed", "_native.pyi"])
def test_the_installed_package_ships_its_types(name):
    assert (PACKAGE / name).is_file()


def test_the_stub_names_every_function_and_class_of_the_module_and_no_more():
    tree = _stub_tree()
    functions = {node.name for node in tree.body if isinstance(node, ast.FunctionDef)}
    stubbed = functions | set(_runtime_classes(tree))
    assert stubbed == _public(dir(_native))
    for name in functions:
        assert callable(getattr(_native, name))


def test_the_stub_names_every_method_and_property_of_each_class():
    for name, node in _runtime_classes(_stub_tree()).items():
        members = {item.name for item in node.body if isinstance(item, ast.FunctionDef)}
        runtime = getattr(_native, name)
        assert _public(members) == _public(vars(runtime)), name
