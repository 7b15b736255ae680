"""The .pyi stubs describe the modules as they are: no stale names, no missing classes; the
pseudo-Boolean front end's stubs document every public class and method (for editors and help()
on the stubs; the runtime objects keep their own docstrings)."""

import ast
import importlib
import pathlib

import pytest

import zk_encoder

PACKAGE_DIR = pathlib.Path(zk_encoder.__file__).parent
STUBS = sorted(PACKAGE_DIR.rglob("*.pyi"))


def module_name(stub):
    rel = stub.relative_to(PACKAGE_DIR.parent).with_suffix("")
    parts = rel.parts[:-1] if rel.name == "__init__" else rel.parts
    return ".".join(parts)


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


def stub_names(stub):
    """Names the stub binds: its definitions and its re-exports ("import x as x")."""
    names = stub_definitions(stub)
    for node in ast.parse(stub.read_text()).body:
        if isinstance(node, ast.ImportFrom):
            names.update(a.asname or a.name for a in node.names)
    return names


PACKAGE_STUBS = [s for s in STUBS if s.name == "__init__.pyi"]


@pytest.mark.parametrize("stub", PACKAGE_STUBS, ids=module_name)
def test_package_stub_offers_all(stub):
    module = importlib.import_module(module_name(stub))
    assert sorted(set(getattr(module, "__all__", [])) - stub_names(stub)) == []


# The stubs whose every public class, method and function carries a docstring.
DOCUMENTED = ["zk_encoder", "zk_encoder.encode", "zk_encoder.encode.model",
              "zk_encoder.encode.expressions", "zk_encoder.encode.variables"]


def undocumented(tree):
    """Public classes and functions (methods included, dunders but __init__ excluded) without a
    docstring, as dotted paths."""
    missing = []

    def walk(body, prefix):
        for node in body:
            if not isinstance(node, (ast.ClassDef, ast.FunctionDef)):
                continue
            public = not node.name.startswith("_") or node.name == "__init__"
            if public and not ast.get_docstring(node):
                missing.append(prefix + node.name)
            if isinstance(node, ast.ClassDef) and public:
                walk(node.body, prefix + node.name + ".")

    walk(tree.body, "")
    return missing


@pytest.mark.parametrize("name", DOCUMENTED)
def test_stub_documents_public_names(name):
    stub = next(s for s in STUBS if module_name(s) == name)
    tree = ast.parse(stub.read_text())
    assert ast.get_docstring(tree)
    assert undocumented(tree) == []
