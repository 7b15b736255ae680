import subprocess
import sys

import pytest

import zk_encoder
from zk_encoder import _exceptions as exc

NAMES = ["VariableError", "TargetError", "FormulaError", "BuildError", "SolverError"]
DOCS = {
    "VariableError": "The variable cannot be created",
    "TargetError": "Target entry error",
    "FormulaError": "",
    "BuildError": "",
    "SolverError": "",
}


@pytest.mark.parametrize("name", NAMES)
def test_class_shape(name):
    cls = getattr(exc, name)
    assert isinstance(cls, type) and type(cls) is type
    assert cls.__bases__ == (Exception,)
    assert cls.__doc__ == DOCS[name]
    assert cls.__module__ == "zk_encoder._exceptions"
    assert cls.__name__ == cls.__qualname__ == name
    assert set(vars(cls)) <= {"__doc__", "__module__", "__weakref__", "__dict__"}


def test_instances_behave_like_exception():
    err = exc.BuildError("text")
    assert str(err) == "text" and err.args == ("text",)
    assert repr(err) == "BuildError('text')"


def test_classes_are_unrelated():
    for a in NAMES:
        for b in NAMES:
            if a != b:
                assert not issubclass(getattr(exc, a), getattr(exc, b))
    with pytest.raises(exc.FormulaError):
        try:
            raise exc.FormulaError("f")
        except exc.VariableError:  # must not catch it
            pytest.fail("VariableError caught a FormulaError")


def test_module_namespace_and_star_import():
    assert exc.__doc__ is None
    assert not hasattr(exc, "__all__")
    assert [n for n in vars(exc) if not n.startswith("__")] == NAMES
    ns = {}
    exec("from zk_encoder._exceptions import *", ns)
    assert sorted(k for k in ns if k != "__builtins__") == sorted(NAMES)
    assert not hasattr(zk_encoder, "SolverError")


def test_uncaught_error_shows_dotted_name():
    out = subprocess.run(
        [sys.executable, "-c", "import zk_encoder._exceptions as e; raise e.FormulaError('boom')"],
        capture_output=True, text=True,
    )
    assert out.returncode == 1
    assert out.stderr.strip().splitlines()[-1] == "zk_encoder._exceptions.FormulaError: boom"
