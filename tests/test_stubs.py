"""The .pyi stubs describe the modules as they are: no stale names, no missing classes."""

import ast
import importlib
import pathlib

import pytest

import zk_encoder

PACKAGE_DIR = pathlib.Path(zk_encoder.__file__).parent
STUBS = sorted(PACKAGE_DIR.rglob("*.pyi"))


def module_name(stub):
    rel = stub.relative_to(PACKAGE_DIR.parent).with_suffix("")
    return ".".join(rel.parts)


def stub_definitions(stub):
    """Names the stub defines itself (imports only serve its annotations)."""
    names = set()
    for node in ast.parse(stub.read_text()).body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            names.add(node.name)
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            names.add(node.target.id)
        elif isinstance(node, ast.Assign):
            names.update(t.id for t in node.targets if isinstance(t, ast.Name))
    return names


def test_stubs_are_shipped_with_py_typed():
    assert (PACKAGE_DIR / "py.typed").exists()
    assert len(STUBS) >= 12


@pytest.mark.parametrize("stub", STUBS, ids=module_name)
def test_stub_matches_module(stub):
    module = importlib.import_module(module_name(stub))
    names = stub_definitions(stub)
    assert sorted(n for n in names if not hasattr(module, n)) == []
    own = [n for n, v in vars(module).items()
           if not n.startswith("_") and callable(v)
           and getattr(v, "__module__", None) == module.__name__]
    assert [n for n in own if n not in names] == []
