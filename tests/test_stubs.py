"""The .pyi stubs describe the modules as they are: no stale names, no missing classes; the
stubs of the pseudo-Boolean and both linear front ends document every public class and method
(for editors and help() on the stubs; the runtime objects keep their own docstrings)."""

import ast
import functools
import importlib
import inspect
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
DOCUMENTED += ["zk_encoder.linear_parser", "zk_encoder.linear_parser.compiled_linear_expressions",
               "zk_encoder.linear_parser.linear_expression",
               "zk_encoder.linear_parser.linear_variables", "zk_encoder.linear_parser.linear_model",
               "zk_encoder.linear_parser2", "zk_encoder.linear_parser2._expression",
               "zk_encoder.linear_parser2.variable", "zk_encoder.linear_parser2.model"]


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


# Signatures: every function and method a stub declares is called the way the runtime object
# takes it (parameter names, kinds and defaults, in order), and every public method of a stubbed
# class is declared. The runtime signature is nanobind's __nb_signature__ (the text a function
# declares, or the one nanobind writes from its C++ parameters) or, for a Python function,
# inspect.signature. Annotations are not compared: nanobind writes its own types ("object") where
# a binding declares none, while the stubs carry the documented ones.

PARAM_KINDS = {
    inspect.Parameter.POSITIONAL_ONLY: "positional-only",
    inspect.Parameter.POSITIONAL_OR_KEYWORD: "positional-or-keyword",
    inspect.Parameter.VAR_POSITIONAL: "*args",
    inspect.Parameter.KEYWORD_ONLY: "keyword-only",
    inspect.Parameter.VAR_KEYWORD: "**kwargs",
}


def call_shape(func_def):
    """(name, kind, default text or None) of each parameter of an ast.FunctionDef."""
    a = func_def.args
    positional = a.posonlyargs + a.args
    defaults = [None] * (len(positional) - len(a.defaults)) + list(a.defaults)
    shape = []
    for i, (p, d) in enumerate(zip(positional, defaults)):
        kind = "positional-only" if i < len(a.posonlyargs) else "positional-or-keyword"
        shape.append((p.arg, kind, None if d is None else ast.unparse(d)))
    if a.vararg:
        shape.append((a.vararg.arg, "*args", None))
    for p, d in zip(a.kwonlyargs, a.kw_defaults):
        shape.append((p.arg, "keyword-only", None if d is None else ast.unparse(d)))
    if a.kwarg:
        shape.append((a.kwarg.arg, "**kwargs", None))
    return shape


def parse_def(text):
    return ast.parse(text + ": ...").body[0]


# Runtime objects that carry no signature of their own: slots of the interpreter's type machinery
# (a class's tp_call shows as "(self, /, *args, **kwargs)") and PBBaseOp's abstract bodies, which
# take anything.
UNSIGNED = {"wrapper_descriptor", "abstractslot"}


def runtime_shapes(obj):
    """The call shapes of a runtime callable (several for an overloaded nanobind function)."""
    if isinstance(obj, (staticmethod, classmethod)):
        obj = obj.__func__
    if isinstance(obj, functools.partial):
        obj = obj.func
    nb_signature = getattr(obj, "__nb_signature__", None)
    if nb_signature is not None:
        shapes = []
        for text, _doc, defaults in nb_signature:
            # nanobind writes the defaults it holds as \0, \1, ... and hands them over beside.
            for i, value in enumerate(defaults or ()):
                text = text.replace(f"\\{i}", repr(value))
            shapes.append(call_shape(parse_def(text)))
        return shapes
    signature = inspect.signature(obj)
    return [[(p.name, PARAM_KINDS[p.kind],
              None if p.default is p.empty else repr(p.default))
             for p in signature.parameters.values()]]


def same_call(stub_shape, runtime_shape):
    """Equal names and kinds; a default where the runtime has one, the same text unless the stub
    writes "..." (a default it does not spell out)."""
    if len(stub_shape) != len(runtime_shape):
        return False
    for (name, kind, default), (rt_name, rt_kind, rt_default) in zip(stub_shape, runtime_shape):
        if name != rt_name or kind != rt_kind or (default is None) != (rt_default is None):
            return False
        if default not in (None, "...") and default != rt_default:
            return False
    return True


def mangled(class_name, name):
    if name.startswith("__") and not name.endswith("__"):
        return f"_{class_name.lstrip('_')}{name}"
    return name


def class_attribute(cls, name):
    """The attribute as the class (or a base) holds it, descriptors unwrapped by nobody."""
    for klass in cls.__mro__:
        if name in vars(klass):
            return vars(klass)[name]
    raise AttributeError(name)


def is_static(obj):
    """A static method: wrapped by staticmethod, or a nanobind function that binds no instance
    (nanobind's static methods are plain nb_func objects; its methods are nb_method)."""
    return isinstance(obj, staticmethod) or type(obj).__name__ == "nb_func"


def decorators(func_def):
    return {ast.unparse(d) for d in func_def.decorator_list}


def declared_callables(stub):
    """(dotted name, ast.FunctionDef, runtime object, whether a method) of every function and
    method the stub declares; the runtime object is None when the module lacks it."""
    module = importlib.import_module(module_name(stub))
    for node in ast.parse(stub.read_text()).body:
        if isinstance(node, ast.FunctionDef):
            yield node.name, node, getattr(module, node.name, None), False
        elif isinstance(node, ast.ClassDef):
            cls = getattr(module, node.name, None)
            for sub in node.body:
                if isinstance(sub, ast.FunctionDef):
                    try:
                        obj = class_attribute(cls, mangled(node.name, sub.name))
                    except (AttributeError, TypeError):
                        obj = None
                    yield f"{node.name}.{sub.name}", sub, obj, True


def signature_differences(stub):
    found = []
    for name, func_def, obj, method in declared_callables(stub):
        marks = decorators(func_def)
        if obj is None:
            found.append(f"{name}: missing at run time")
        elif "property" in marks or isinstance(obj, property):
            if not ("property" in marks and isinstance(obj, property)):
                found.append(f"{name}: a property on one side only")
        elif method and (("staticmethod" in marks) != is_static(obj) or
                         ("classmethod" in marks) != isinstance(obj, classmethod)):
            found.append(f"{name}: static or class method on one side only")
        elif type(obj).__name__ not in UNSIGNED:
            stub_shape = call_shape(func_def)
            shapes = runtime_shapes(obj)
            if not any(same_call(stub_shape, rt) for rt in shapes):
                found.append(f"{name}: stub {stub_shape} != runtime {shapes}")
    return found


@pytest.mark.parametrize("stub", STUBS, ids=module_name)
def test_stub_signatures_match_runtime(stub):
    assert signature_differences(stub) == []


def undeclared_methods(stub):
    """Public methods (and __init__) of the stub's classes that the stub does not declare; a
    dataclass's generated __init__ comes from its declared fields."""
    module = importlib.import_module(module_name(stub))
    missing = []
    for node in ast.parse(stub.read_text()).body:
        if not isinstance(node, ast.ClassDef) or not isinstance(getattr(module, node.name), type):
            continue
        declared = {sub.name for sub in node.body if isinstance(sub, ast.FunctionDef)}
        declared |= {sub.target.id for sub in node.body if isinstance(sub, ast.AnnAssign)}
        declared |= {t.id for sub in node.body if isinstance(sub, ast.Assign)
                     for t in sub.targets if isinstance(t, ast.Name)}
        if "dataclass" in decorators(node):
            declared.add("__init__")
        for name, value in vars(getattr(module, node.name)).items():
            if (not name.startswith("_") or name == "__init__") and callable(value) \
                    and name not in declared:
                missing.append(f"{node.name}.{name}")
    return missing


@pytest.mark.parametrize("stub", STUBS, ids=module_name)
def test_stub_declares_every_public_method(stub):
    assert undeclared_methods(stub) == []


# The comparison itself, on a bound function whose runtime signature is known:
# zk_logger.log_c is "def log_c(msg: str)", Manager.get_pb_var
# "def get_pb_var(self, pb_var: int, prefix: str = '_pbct_aux') -> bx.Variable".
SIGNATURE_CASES = [
    ("same", "zk_logger.log_c", "def log_c(msg: str)", True),
    ("annotation_differs", "zk_logger.log_c", "def log_c(msg)", True),
    ("renamed", "zk_logger.log_c", "def log_c(message: str)", False),
    ("extra_parameter", "zk_logger.log_c", "def log_c(msg: str, level)", False),
    ("keyword_only", "zk_logger.log_c", "def log_c(*, msg: str)", False),
    ("varargs", "zk_logger.log_c", "def log_c(*msg)", False),
    ("default_spelled", "Manager.get_pb_var", "def get_pb_var(self, pb_var, prefix='_pbct_aux')",
     True),
    ("default_elided", "Manager.get_pb_var", "def get_pb_var(self, pb_var, prefix=...)", True),
    ("default_differs", "Manager.get_pb_var", "def get_pb_var(self, pb_var, prefix='aux')", False),
    ("default_missing", "Manager.get_pb_var", "def get_pb_var(self, pb_var, prefix)", False),
]


@pytest.mark.parametrize("target,stub_text,matches", [c[1:] for c in SIGNATURE_CASES],
                         ids=[c[0] for c in SIGNATURE_CASES])
def test_signature_comparison_sees_differences(target, stub_text, matches):
    from zk_encoder.core import manager, zk_logger
    owner, name = target.split(".")
    obj = {"zk_logger": zk_logger, "Manager": manager.Manager}[owner]
    runtime = getattr(obj, name)
    stub_shape = call_shape(parse_def(stub_text))
    assert any(same_call(stub_shape, rt) for rt in runtime_shapes(runtime)) is matches
