"""Start-up of the package, observed in fresh interpreters."""

import json
import subprocess
import sys
import textwrap

import pytest

# The order in which importing zk_encoder finishes initialising its modules.
STARTUP_ORDER = [
    "zk_encoder.core",
    "zk_encoder.core.zk_logger",
    "zk_encoder.encode.expressions",
    "zk_encoder.encode",
    "zk_encoder.encode.variables",
    "zk_encoder.core.dumper",
    "zk_encoder.core.formula_container",
    "zk_encoder.core.pboperations",
    "zk_encoder.core.formulapb",
    "zk_encoder.core.variable",
    "zk_encoder.core.manager",
    "zk_encoder._exceptions",
    "zk_encoder.encode.model",
    "zk_encoder.linear_parser.linear_expression",
    "zk_encoder.linear_parser.compiled_linear_expressions",
    "zk_encoder.linear_parser.linear_variables",
    "zk_encoder.linear_parser.linear_model",
    "zk_encoder.linear_parser",
    "zk_encoder.version",
    "zk_encoder",
]
LINEAR2_ORDER = [
    "zk_encoder.linear_parser2._expression",
    "zk_encoder.linear_parser2.variable",
    "zk_encoder.linear_parser2.model",
    "zk_encoder.linear_parser2",
]

# Records the order in which package modules finish their bodies, then runs the given imports.
RECORDER = """
import importlib.abc, importlib.machinery, importlib.util, json, logging, sys
finished = []

class Recorder(importlib.abc.MetaPathFinder):
    def find_spec(self, name, path, target=None):
        if name != "zk_encoder" and not name.startswith("zk_encoder."):
            return None
        spec = importlib.machinery.PathFinder.find_spec(name, path)
        if spec is not None:
            run = spec.loader.exec_module
            def exec_module(module, run=run, name=name):
                run(module)
                finished.append(name)
            spec.loader.exec_module = exec_module
        return spec

sys.meta_path.insert(0, Recorder())
"""


def run_fresh(body):
    code = RECORDER + textwrap.dedent(body)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert out.returncode == 0, out.stderr
    return json.loads(out.stdout.strip().splitlines()[-1])


@pytest.fixture(scope="module")
def startup():
    return run_fresh("""
        import zk_encoder
        print(json.dumps({
            "finished": finished,
            "root_handlers": len(logging.getLogger().handlers),
            "loaded": sorted(m for m in sys.modules if m.startswith("zk_encoder")),
        }))
    """)


def test_modules_finish_in_startup_order(startup):
    finished = startup["finished"]
    assert finished == STARTUP_ORDER
    assert startup["loaded"] == sorted(finished)


def test_root_logging_is_configured_when_the_logger_loads(startup):
    assert "zk_encoder.core.zk_logger" in startup["finished"]
    assert startup["root_handlers"] == 1


def test_second_generation_loads_only_on_request():
    result = run_fresh("""
        import zk_encoder
        before = list(finished)
        import zk_encoder.linear_parser2
        print(json.dumps({"before": before, "after": finished[len(before):]}))
    """)
    assert not any(m.startswith("zk_encoder.linear_parser2") for m in result["before"])
    assert result["after"] == LINEAR2_ORDER


def test_any_submodule_first_runs_the_package_start_up(startup):
    result = run_fresh("""
        import zk_encoder.version
        print(json.dumps(finished))
    """)
    assert result == startup["finished"]


def test_version_and_package_surface():
    result = run_fresh("""
        import zk_encoder, zk_encoder.version as v, zk_encoder.core as core
        print(json.dumps({
            "version": zk_encoder.__version__,
            "same": zk_encoder.__version__ is v.zk_version is zk_encoder.zk_version,
            "docs": [zk_encoder.__doc__, v.__doc__, core.__doc__],
            "version_names": [n for n in vars(v) if not n.startswith("__")],
            "core_all": hasattr(core, "__all__"),
            "core_names": sorted(n for n in vars(core) if not n.startswith("__")),
            "all_is_list": type(zk_encoder.__all__) is list,
            "core_loaded": sorted(m.rsplit(".", 1)[1] for m in sys.modules
                                  if m.startswith("zk_encoder.core.")),
        }))
    """)
    assert result["version"] == "0.2.5.2048" and result["same"]
    assert result["docs"] == [None, None, None]
    assert result["version_names"] == ["zk_version"]
    assert not result["core_all"] and result["all_is_list"]
    # The package holds its loaded sub-modules as attributes and nothing else of its own.
    assert result["core_names"] == result["core_loaded"]


# The package's exports, in order.
TOP_ALL = ["Model", "Sum", "SumIt", "And", "AndIt", "Or", "OrIt", "Xor", "XorIt", "Equiv",
           "Implication", "IfThenElse", "pow_expression", "Zero", "One", "LinearModel",
           "SolutionStatus", "VariableType", "inf"]


def test_star_import_binds_exactly_the_exports():
    import zk_encoder
    import zk_encoder.encode.model

    assert zk_encoder.__all__ == TOP_ALL
    ns = {}
    exec("from zk_encoder import *", ns)
    assert sorted(k for k in ns if k != "__builtins__") == sorted(zk_encoder.__all__)
    assert zk_encoder.encode.model.Model is zk_encoder.Model
    for hidden in ("zk_version", "__version__", "FormulaError", "log_e", "Expression"):
        assert hidden not in ns


def test_linear_names_of_the_package_and_its_first_linear_sub_package():
    import zk_encoder
    import zk_encoder.encode.expressions as expressions
    import zk_encoder.linear_parser as lp
    import zk_encoder.linear_parser.linear_expression as linear_expression
    import zk_encoder.linear_parser.linear_model as linear_model

    assert lp.__all__ == ["LinearModel", "SolutionStatus", "VariableType", "inf", "Sum", "SumIt"]
    assert lp.__doc__ is None
    for name in ("LinearModel", "SolutionStatus", "VariableType", "inf"):
        assert getattr(zk_encoder, name) is getattr(lp, name) is getattr(linear_model, name)
    assert lp.Sum is linear_expression.Sum and lp.SumIt is linear_expression.SumIt
    assert zk_encoder.Sum is expressions.Sum is not lp.Sum
    assert zk_encoder.SumIt is expressions.SumIt is not lp.SumIt
    ns = {}
    exec("from zk_encoder.linear_parser import *", ns)
    assert sorted(k for k in ns if k != "__builtins__") == sorted(lp.__all__)


def test_the_linear_model_reads_the_solver_infinity_while_it_loads():
    result = run_fresh("""
        import nubrix.sorn_engine.linsolver as linsolver
        linsolver.kLinsolverInf = 1e30
        import zk_encoder
        from zk_encoder.linear_parser import linear_model
        linsolver.kLinsolverInf = 5.0
        linear_model.inf = 7.0
        x = zk_encoder.LinearModel().get_variables("x", zk_encoder.VariableType.REAL)
        print(json.dumps({"inf": zk_encoder.inf, "lo": x.lo, "hi": x.hi}))
    """)
    # Read once, before the class was made: the default bounds keep that value.
    assert result == {"inf": 1e30, "lo": -1e30, "hi": 1e30}


# --- a dependency that cannot be imported ------------------------------------------------------

# Makes modules unimportable, as an uninstalled package is, and puts them back.
HIDING = """
import importlib, importlib.abc, json, sys, traceback

class Hide(importlib.abc.MetaPathFinder):
    def __init__(self, names):
        self.names = names

    def hidden(self, name):
        return any(name == n or name.startswith(n + ".") for n in self.names)

    def find_spec(self, name, path, target=None):
        if self.hidden(name):
            raise ModuleNotFoundError(f"No module named {name!r}", name=name)

def hide(*names):
    finder = Hide(names)
    # A module that is loaded already is found without a finder: it goes until it is put back.
    finder.loaded = {n: m for n, m in sys.modules.items() if finder.hidden(n)}
    for n in finder.loaded:
        del sys.modules[n]
    sys.meta_path.insert(0, finder)
    return finder

def put_back(finder):
    sys.meta_path.remove(finder)
    sys.modules.update(finder.loaded)

def failure(module):
    try:
        importlib.import_module(module)
    except BaseException as e:
        return {"type": type(e).__name__, "message": str(e), "cause": repr(e.__cause__),
                "context": repr(e.__context__), "trace": traceback.format_exc()}
    return None

def works():
    # Both front ends, once every module has loaded.
    import numpy as np
    import nubrix.sorn_engine as se
    import zk_encoder
    import zk_encoder.linear_parser2 as lp2
    m = zk_encoder.Model(se.manager(), "m")
    x = m.create_variables("x", n=2)
    m.add_constraint(x[0] + x[1] >= 2)
    assert m.build_cnf() is True
    lp = lp2.LinearModel()
    y = lp.get_variable("y", lp2.VariableType.REAL, 0, 4, n=2)
    lp.add_constraints(y[:] <= np.array([1.0, 2.0]))
    lp.add_target(lp2.dot(y[:], np.array([1.0, 1.0])), minimization=False)
    lp.solve()
    return [m.get_cnf_storage().hard_clauses(), lp.objective_value]
"""

# (id, code run first, modules made unimportable, module imported, the error it fails with)
MISSING = [
    ("engine", "", ["nubrix.sorn_engine"], "zk_encoder",
     ("ModuleNotFoundError", "No module named 'nubrix.sorn_engine'")),
    # The stand-in engine needs numpy itself: without it, the engine's import fails first, and
    # with the host's error as well.
    ("numpy_before_the_engine", "", ["numpy"], "zk_encoder",
     ("ModuleNotFoundError", "No module named 'numpy'")),
    ("numpy", "import nubrix.sorn_engine", ["numpy"], "zk_encoder",
     ("ModuleNotFoundError", "No module named 'numpy'")),
    ("scipy", "", ["scipy"], "zk_encoder", ("ModuleNotFoundError", "No module named 'scipy'")),
    ("numpy_second_generation_first", "import nubrix.sorn_engine", ["numpy"],
     "zk_encoder.linear_parser2", ("ModuleNotFoundError", "No module named 'numpy'")),
    ("numpy_second_generation_after_the_package", "import zk_encoder", ["numpy"],
     "zk_encoder.linear_parser2", ("ModuleNotFoundError", "No module named 'numpy'")),
]


@pytest.mark.parametrize("first,names,module,error", [m[1:] for m in MISSING],
                         ids=[m[0] for m in MISSING])
def test_a_missing_dependency_fails_the_import_with_the_hosts_own_error(first, names, module,
                                                                        error):
    result = run_fresh(HIDING + textwrap.dedent(f"""
        {first}
        finder = hide(*{names!r})
        failed = failure({module!r})
        left = sorted(m for m in sys.modules if m.startswith("zk_encoder"))
        put_back(finder)
        # The host's import rules decide what runs again: the next attempt succeeds.
        print(json.dumps({{"failed": failed, "left": left, "works": works()}}))
    """))
    failed = result["failed"]
    assert failed is not None, "the import did not fail"
    assert (failed["type"], failed["message"]) == error
    assert failed["cause"] == "None" and failed["context"] == "None"
    assert "initializing the extension" not in failed["trace"]
    assert module not in result["left"]
    assert result["works"][1] == 3.0
    # Nothing of the failure outlives its process.
    assert run_fresh(HIDING + "print(json.dumps(works()))") == result["works"]


def test_an_engine_that_lacks_a_name_fails_the_import_with_the_hosts_own_error():
    result = run_fresh(HIDING + textwrap.dedent("""
        import nubrix.sorn_engine.bxpr as bx
        variable = bx.Variable
        del bx.Variable
        failed = failure("zk_encoder")
        bx.Variable = variable
        print(json.dumps({"failed": failed, "works": works()}))
    """))
    failed = result["failed"]
    assert (failed["type"], failed["message"]) == (
        "AttributeError", "module 'nubrix.sorn_engine.bxpr' has no attribute 'Variable'")
    assert failed["cause"] == "None" and "initializing the extension" not in failed["trace"]
    assert result["works"][1] == 3.0
