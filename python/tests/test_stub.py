import ast
import importlib
import importlib.util
import inspect
import os

import TavixHardwareAPI as api


def stub_tree():
    module_file = importlib.util.find_spec("TavixHardwareAPI").origin
    stub = os.path.join(os.path.dirname(module_file), "TavixHardwareAPI.pyi")
    with open(stub) as source:
        return ast.parse(source.read())


def public(names):
    return {name for name in names if not name.startswith("_")}


def reexports(body):
    """{name: module} for each `from module import name as name` (the classes written in
    Python, in the tavix package, that the module imports)."""
    return {alias.name: node.module for node in body if isinstance(node, ast.ImportFrom)
            for alias in node.names if alias.asname == alias.name}


def defined_names(body):
    names = set(reexports(body))
    for node in body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            names.add(node.name)
        elif isinstance(node, ast.AnnAssign):
            names.add(node.target.id)
        elif isinstance(node, ast.Assign):
            names.update(target.id for target in node.targets)
    return names


def test_stub_is_installed_beside_the_module_and_names_what_it_has():
    tree = stub_tree()
    module_names = public(name for name in vars(api) if not inspect.ismodule(getattr(api, name)))
    assert public(defined_names(tree.body)) == module_names
    for node in tree.body:
        if isinstance(node, ast.ClassDef) and not node.name.startswith("_"):
            assert public(defined_names(node.body)) == public(vars(getattr(api, node.name))), node.name
    # A class the stub imports is the very class the module has: its source is its stub.
    for name, module in reexports(tree.body).items():
        assert getattr(api, name) is getattr(importlib.import_module(module), name), name
