"""The .pyi stubs describe the modules as they are: no stale names, no missing classes; the
stubs of the pseudo-Boolean and both linear front ends document every public class and method
(for editors and help() on the stubs; the runtime objects keep their own docstrings)."""

import ast
import builtins
import copy
import functools
import importlib
import importlib.util
import inspect
import pathlib
import sys
import types

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


# Signatures, whole: every function, method and property a stub declares is called and annotated
# the way the runtime object is: parameter names, kinds, defaults and annotations in order, and
# the return annotation. The runtime signature is nanobind's __nb_signature__ (the text a binding
# declares with nb::sig, or the one nanobind writes from its C++ types) or, for a Python function,
# inspect.signature. Annotations are compared by what their names stand for (`np.ndarray` in a
# stub is `numpy.ndarray` at run time), a runtime text's names read in the runtime module and
# then in the stub's imports. Where the runtime leaves a type open, the stub documents it: no
# annotation, nanobind's `object` for a C++ nb::object (`object | None` where it takes None), or
# a bare container (`dict`, `list`, `tuple`) that the stub may give its items (`Dict[str, int]`).
# A stub writes a default as the runtime's text, or "..." where that text is no literal (-inf).

PARAM_KINDS = {
    inspect.Parameter.POSITIONAL_ONLY: "positional-only",
    inspect.Parameter.POSITIONAL_OR_KEYWORD: "positional-or-keyword",
    inspect.Parameter.VAR_POSITIONAL: "*args",
    inspect.Parameter.KEYWORD_ONLY: "keyword-only",
    inspect.Parameter.VAR_KEYWORD: "**kwargs",
}
OPEN_TYPES = {"object", "object | None", "typing.Optional[object]"}
CONTAINERS = {"dict": "typing.Dict", "list": "typing.List", "tuple": "typing.Tuple",
              "set": "typing.Set"}


def qualified(obj):
    """The name an object goes by wherever it is imported from."""
    if obj is None:
        return "None"
    if isinstance(obj, types.ModuleType):
        return obj.__name__
    if isinstance(obj, type):
        module = obj.__module__
        return obj.__qualname__ if module == "builtins" else f"{module}.{obj.__qualname__}"
    return repr(obj)


def look_up(dotted, namespaces):
    """The object a dotted name stands for in the first namespace that has its head (a module
    imported by its full name otherwise), or None."""
    head, *rest = dotted.split(".")
    for namespace in namespaces:
        if head in namespace:
            obj = namespace[head]
            try:
                for part in rest:
                    obj = getattr(obj, part)
            except AttributeError:
                return None
            return obj
    parts = [head, *rest]
    for cut in range(len(parts), 0, -1):
        module = sys.modules.get(".".join(parts[:cut]))
        if module is not None:
            try:
                return functools.reduce(getattr, parts[cut:], module)
            except AttributeError:
                return None
    return None


class Qualify(ast.NodeTransformer):
    """Writes every name of an annotation that stands for an object as that object's name."""

    def __init__(self, namespaces):
        self.namespaces = namespaces

    def _qualify(self, node):
        dotted = ast.unparse(node)
        if not all(part.isidentifier() for part in dotted.split(".")):
            return self.generic_visit(node)  # a call or subscript inside: its parts one by one
        obj = look_up(dotted, self.namespaces)
        if obj is None and dotted != "None":
            return node  # a name nothing holds: compared as written
        return ast.Name(id=qualified(obj), ctx=ast.Load())

    visit_Name = _qualify
    visit_Attribute = _qualify


def annotation(node, namespaces):
    """An annotation (an ast node, or None) as comparable text, or None."""
    if node is None:
        return None
    if isinstance(node, ast.Constant) and isinstance(node.value, str):
        node = ast.parse(node.value, mode="eval").body  # a quoted forward reference
    return ast.unparse(Qualify(namespaces).visit(copy.deepcopy(node)))


def stub_namespace(stub):
    """What the names of a stub stand for: its imports, and its own definitions as the module
    it describes holds them."""
    module = importlib.import_module(module_name(stub))
    namespace = {}
    for node in ast.parse(stub.read_text()).body:
        if isinstance(node, ast.Import):
            for a in node.names:
                imported = importlib.import_module(a.name)
                if a.asname:
                    namespace[a.asname] = imported
                else:
                    head = a.name.split(".")[0]
                    namespace[head] = sys.modules[head]
        elif isinstance(node, ast.ImportFrom):
            base = node.module or ""
            if node.level:
                package = module.__name__ if stub.name == "__init__.pyi" else \
                    module.__name__.rpartition(".")[0]
                base = importlib.util.resolve_name("." * node.level + base, package)
            source = importlib.import_module(base)
            for a in node.names:
                if a.name == "*":
                    namespace.update((k, v) for k, v in vars(source).items()
                                     if not k.startswith("_"))
                    continue
                value = getattr(source, a.name, None)
                if value is None:
                    value = importlib.import_module(f"{base}.{a.name}")
                namespace[a.asname or a.name] = value
    for name in stub_definitions(stub):
        if hasattr(module, name):
            namespace[name] = getattr(module, name)
    return namespace


def call_shape(func_def, namespaces):
    """([(name, kind, default text or None, annotation or None)], return annotation) of an
    ast.FunctionDef."""
    a = func_def.args
    positional = a.posonlyargs + a.args
    defaults = [None] * (len(positional) - len(a.defaults)) + list(a.defaults)
    shape = []
    for i, (p, d) in enumerate(zip(positional, defaults)):
        kind = "positional-only" if i < len(a.posonlyargs) else "positional-or-keyword"
        shape.append((p.arg, kind, None if d is None else ast.unparse(d),
                      annotation(p.annotation, namespaces)))
    if a.vararg:
        shape.append((a.vararg.arg, "*args", None, annotation(a.vararg.annotation, namespaces)))
    for p, d in zip(a.kwonlyargs, a.kw_defaults):
        shape.append((p.arg, "keyword-only", None if d is None else ast.unparse(d),
                      annotation(p.annotation, namespaces)))
    if a.kwarg:
        shape.append((a.kwarg.arg, "**kwargs", None, annotation(a.kwarg.annotation, namespaces)))
    return shape, annotation(func_def.returns, namespaces)


def parse_def(text, name=None):
    """A signature text as an ast.FunctionDef; a nameless one (nanobind's for some getters)
    takes `name`."""
    if name and text.startswith("def ("):
        text = f"def {name}" + text[len("def "):]
    return ast.parse(text + ": ...").body[0]


# Runtime objects that carry no signature of their own: slots of the interpreter's type machinery
# (a class's tp_call shows as "(self, /, *args, **kwargs)") and PBBaseOp's abstract bodies, which
# take anything.
UNSIGNED = {"wrapper_descriptor", "abstractslot"}


def runtime_annotation(value, namespaces):
    if value is inspect.Parameter.empty:
        return None
    if isinstance(value, str):
        return annotation(ast.parse(value, mode="eval").body, namespaces)
    if isinstance(value, type):
        return qualified(value)
    return annotation(ast.parse(repr(value), mode="eval").body, namespaces)  # typing.Dict[...]


def runtime_shapes(obj, name, namespaces):
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
            shapes.append(call_shape(parse_def(text, name), namespaces))
        return shapes
    signature = inspect.signature(obj)
    params = [(p.name, PARAM_KINDS[p.kind], None if p.default is p.empty else repr(p.default),
               runtime_annotation(p.annotation, namespaces))
              for p in signature.parameters.values()]
    return [(params, runtime_annotation(signature.return_annotation, namespaces))]


def same_annotation(stub, runtime):
    """The stub's annotation says what the runtime's does, or documents what it leaves open."""
    if runtime is None or runtime in OPEN_TYPES or stub == runtime:
        return True
    if runtime in CONTAINERS and stub is not None:
        node = ast.parse(stub, mode="eval").body
        return isinstance(node, ast.Subscript) and \
            ast.unparse(node.value) in (runtime, CONTAINERS[runtime])
    return False


def same_default(stub, runtime):
    if (stub is None) != (runtime is None) or stub == runtime:
        return stub == runtime
    if stub != "...":
        return False
    try:
        ast.literal_eval(runtime)
    except (ValueError, SyntaxError):
        return True
    return False


def same_call(stub_shape, runtime_shape):
    """Equal names and kinds, defaults and annotations as the comment above says."""
    (params, returns), (rt_params, rt_returns) = stub_shape, runtime_shape
    if len(params) != len(rt_params) or not same_annotation(returns, rt_returns):
        return False
    for (name, kind, default, note), (rt_name, rt_kind, rt_default, rt_note) in zip(params,
                                                                                     rt_params):
        if name != rt_name or kind != rt_kind or not same_default(default, rt_default) \
                or not same_annotation(note, rt_note):
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
    module = importlib.import_module(module_name(stub))
    stub_names_ = [stub_namespace(stub), vars(builtins)]
    runtime_names = [vars(module), *stub_names_]
    for name, func_def, obj, method in declared_callables(stub):
        marks = decorators(func_def)
        if obj is None:
            found.append(f"{name}: missing at run time")
            continue
        if "property" in marks or isinstance(obj, property):
            if not ("property" in marks and isinstance(obj, property)):
                found.append(f"{name}: a property on one side only")
                continue
            obj = obj.fget
        elif method and (("staticmethod" in marks) != is_static(obj) or
                         ("classmethod" in marks) != isinstance(obj, classmethod)):
            found.append(f"{name}: static or class method on one side only")
            continue
        if type(obj).__name__ not in UNSIGNED:
            stub_shape = call_shape(func_def, stub_names_)
            shapes = runtime_shapes(obj, func_def.name, runtime_names)
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


# The comparison itself, on runtime functions whose signatures are known, each read with the
# names of its module's stub: zk_logger.log_c is "def log_c(msg: str)"; Manager.get_pb_var
# "def get_pb_var(self, pb_var: int, prefix: str = '_pbct_aux') -> bx.Variable";
# FormulaContainer.build_cnf_formula "def build_cnf_formula(self, name_formula: object) -> None"
# (nanobind's own text) and its __bx2list_clauses "def ...(bx_clauses: object) -> list".
LOG_C = ("zk_encoder.core.zk_logger", "log_c")
PB_VAR = ("zk_encoder.core.manager", "Manager.get_pb_var")
BUILD = ("zk_encoder.core.formula_container", "FormulaContainer.build_cnf_formula")
CLAUSES = ("zk_encoder.core.formula_container",
           "FormulaContainer._FormulaContainer__bx2list_clauses")
PB_VAR_HEAD = "def get_pb_var(self, pb_var: int, prefix: str = "
SIGNATURE_CASES = [
    ("same", LOG_C, "def log_c(msg: str)", True),
    ("return_the_runtime_leaves_open", LOG_C, "def log_c(msg: str) -> None", True),
    ("annotation_missing", LOG_C, "def log_c(msg)", False),
    ("annotation_differs", LOG_C, "def log_c(msg: bytes)", False),
    ("renamed", LOG_C, "def log_c(message: str)", False),
    ("extra_parameter", LOG_C, "def log_c(msg: str, level)", False),
    ("keyword_only", LOG_C, "def log_c(*, msg: str)", False),
    ("varargs", LOG_C, "def log_c(*msg: str)", False),
    ("default_spelled", PB_VAR, PB_VAR_HEAD + "'_pbct_aux') -> bx.Variable", True),
    ("name_by_its_full_path", PB_VAR,
     PB_VAR_HEAD + "'_pbct_aux') -> nubrix.sorn_engine.bxpr.Variable", True),
    ("return_differs", PB_VAR, PB_VAR_HEAD + "'_pbct_aux') -> bx.BaseExpr", False),
    ("return_missing", PB_VAR, PB_VAR_HEAD + "'_pbct_aux')", False),
    ("literal_default_elided", PB_VAR, PB_VAR_HEAD + "...) -> bx.Variable", False),
    ("default_differs", PB_VAR, PB_VAR_HEAD + "'aux') -> bx.Variable", False),
    ("default_missing", PB_VAR, "def get_pb_var(self, pb_var: int, prefix: str) -> bx.Variable",
     False),
    ("object_documented", BUILD, "def build_cnf_formula(self, name_formula: str) -> None", True),
    ("object_left_open", BUILD, "def build_cnf_formula(self, name_formula) -> None", True),
    ("list_with_its_items", CLAUSES, "def f(bx_clauses) -> List[List[str]]", True),
    ("list_as_another_container", CLAUSES, "def f(bx_clauses) -> Sequence[str]", False),
]


@pytest.mark.parametrize("target,stub_text,matches", [c[1:] for c in SIGNATURE_CASES],
                         ids=[c[0] for c in SIGNATURE_CASES])
def test_signature_comparison_sees_differences(target, stub_text, matches):
    module_dotted, path = target
    module = importlib.import_module(module_dotted)
    stub = next(s for s in STUBS if module_name(s) == module_dotted)
    names = [stub_namespace(stub), vars(builtins)]
    owner, _, attribute = path.rpartition(".")
    holder = getattr(module, owner) if owner else module
    runtime = class_attribute(holder, attribute) if owner else getattr(module, attribute)
    stub_shape = call_shape(parse_def(stub_text), names)
    shapes = runtime_shapes(runtime, attribute, [vars(module), *names])
    assert any(same_call(stub_shape, rt) for rt in shapes) is matches
