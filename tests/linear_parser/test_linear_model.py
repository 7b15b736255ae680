"""The first-generation LinearModel against a recording engine: every solver call, its order,
arguments and element types; the messages and log lines; the state a refusal leaves."""

import enum
import pathlib
import random
import types

import numpy as np
import pytest

import nubrix.sorn_engine as se
import zk_encoder.linear_parser.linear_model as linear_model
from zk_encoder._exceptions import BuildError, SolverError, VariableError
from zk_encoder.linear_parser import Sum, SumIt
from zk_encoder.linear_parser.compiled_linear_expressions import CompiledSum
from zk_encoder.linear_parser.linear_model import LinearModel, SolutionStatus, VariableType, inf
from zk_encoder.linear_parser.linear_variables import Index, LinearVariable
from nubrix.sorn_engine.linsolver import (HessianFormat, LinsolverModelStatus, LinsolverVarType,
                                          ObjSense)
from support.arrays import is_array, same_bits
from support.fakes import RecordingLinsolver, Solution

INF = float("inf")


# --- the recording engine -------------------------------------------------------------------


@pytest.fixture
def engine(monkeypatch):
    recording = RecordingLinsolver(record_starts=True)
    monkeypatch.setattr(linear_model, "linsolver", recording.module)
    return recording


def is_integrality(args, n, first):
    count, columns, types_ = args
    assert count == n
    assert is_array(columns, range(first, first + n), np.arange(1).dtype)
    # What the engine gets for its own (integer) enumeration member, dtype and all.
    assert same_bits(types_, np.full(n, LinsolverVarType.kInteger))
    return True


def model(engine, *args, **kwargs):
    m = LinearModel(*args, **kwargs)
    engine.take()
    return m


# --- module and class surface ---------------------------------------------------------------


def test_module_binds_its_names_in_order():
    names = [n for n in vars(linear_model) if not n.startswith("__")]
    assert names == [
        "annotations", "tp", "np", "linsolver", "Enum", "auto", "reduce", "mul", "Path",
        "Integral", "VariableError", "SolverError", "LinearVariable", "Index", "CompiledSum",
        "logging", "se", "log_c", "log_e", "log_w", "log_i", "log_d", "log_t", "inf",
        "SolutionStatus", "VariableType", "LinearModel"]
    import nubrix.sorn_engine.linsolver as real
    assert linear_model.inf == real.kLinsolverInf
    assert linear_model.__doc__ is None and not hasattr(linear_model, "__all__")


def test_enumerations():
    assert issubclass(SolutionStatus, enum.Enum) and issubclass(VariableType, enum.Enum)
    assert [(m.name, m.value) for m in SolutionStatus] == [("OPTIMAL", 1), ("SUBOPTIMAL", 2)]
    assert [(m.name, m.value) for m in VariableType] == [("REAL", 1), ("INTEGER", 2),
                                                         ("BINARY", 3)]
    assert SolutionStatus.__module__ == VariableType.__module__ == linear_model.__name__


OPERATIONS = [
    ("__init__", "__init__(self, log_solver: bool = False, **options)"),
    ("get_variables", "get_variables(self, name: str, variable_type: VariableType, "
     "lo: tp.Union[int, float] = -inf, hi: tp.Union[int, float] = inf, **dims: int)"),
    ("get_indexes", "get_indexes(self, indexes: tp.Sequence[str]) -> "
     "tp.Union[Index, tp.Sequence[Index]]"),
    ("add_constraint", "add_constraint(self, expression, lo: tp.Optional[Integral] = None, "
     "hi: tp.Optional[Integral] = None, eq: tp.Optional[Integral] = None, **foralls)"),
    ("add_target", "add_target(self, expression, minimization: bool) -> None"),
    ("set_solution", "set_solution(self, variable_name: str, solution: np.ndarray) -> None"),
    ("solve", "solve(self) -> SolutionStatus"),
    ("objective_value", "objective_value(self) -> float"),
    ("get_linsolver_solution", "get_linsolver_solution(self) -> linsolver.LinsolverSolution"),
    ("get_result", "get_result(self, variable_name: str) -> np.ndarray"),
    ("write_model", "write_model(self, model_path: Path | str) -> None"),
    ("_LinearModel__set_border", "_LinearModel__set_border(first_border, second_border)"),
]


def test_operations_in_order_with_their_declared_signatures():
    names = [n for n in vars(LinearModel) if n in dict(OPERATIONS)]
    assert names == [name for name, _ in OPERATIONS]
    for name, signature in OPERATIONS:
        op = vars(LinearModel)[name]
        fn = op.fget if isinstance(op, property) else getattr(LinearModel, name)
        assert fn.__doc__.split("\n")[0] == signature


def test_only_get_indexes_is_documented():
    # The signature line comes first, then the documentation text itself.
    doc = LinearModel.get_indexes.__doc__.partition("\n")[2]
    assert doc == ("\n        Provides indexes for writing expressions.\n\n"
                   "        :param indexes: sequence of index names.\n"
                   "        :return: sequence of indexes or single index.\n        ")
    assert LinearModel.solve.__doc__.strip() == "solve(self) -> SolutionStatus"


# --- construction ---------------------------------------------------------------------------


def test_new_model_sets_the_console_option_only(engine):
    m = LinearModel()
    assert engine.calls == [("LinearSolver", ()), ("setOptionValue", ("log_to_console", False))]
    assert m._used_vars == set() and m._general_shift_variable == 0
    assert m._variables == {} and m._indexes == {}
    assert m._formulas_dir == {"CompiledSum": CompiledSum}
    assert m._prev_solution is m._solution is m._solution_values is m._objective_value is None
    assert m._formulas_dir is not LinearModel()._formulas_dir


@pytest.mark.parametrize("args,kwargs,options", [
    ((True,), {"a": 1, "b": 2}, [("log_to_console", True), ("a", 1), ("b", 2)]),
    ((), {"log_solver": False, "log_to_console": True},
     [("log_to_console", False), ("log_to_console", True)]),
    ((), {"time_limit": 0.5, "presolve": "off"},
     [("log_to_console", False), ("time_limit", 0.5), ("presolve", "off")]),
], ids=["flag_and_two", "console_twice", "in_call_order"])
def test_options_reach_the_solver_in_call_order(engine, args, kwargs, options):
    LinearModel(*args, **kwargs)
    assert engine.calls == [("LinearSolver", ())] + [("setOptionValue", o) for o in options]


def test_engine_failure_yields_no_model(engine):
    engine.fail["setOptionValue"] = RuntimeError("bad option")
    with pytest.raises(RuntimeError, match="bad option"):
        LinearModel(nope=1)


# --- variable blocks ------------------------------------------------------------------------


def test_real_block_without_bounds_or_dimensions(engine):
    m = model(engine)
    x = m.get_variables("x", VariableType.REAL)
    (op, (n, lower, upper)), = engine.calls
    assert op == "addVars" and n == 1
    assert is_array(lower, [-INF], np.float64) and is_array(upper, [INF], np.float64)
    assert isinstance(x, LinearVariable) and x.map == (0,) and x.shape == ()
    assert x.lo == -inf and x.hi == inf and x.type == "float64"
    assert m._variables == {"x": x} and m._general_shift_variable == 1


def test_integer_block_sends_int32_bounds_and_marks_its_columns(engine):
    m = model(engine)
    m.get_variables("y", VariableType.REAL, 0, 1, k=3)
    x = m.get_variables("x", VariableType.INTEGER, 0, 10, i=2, j=3)
    calls = engine.calls[1:]
    assert [op for op, _ in calls] == ["addVars", "changeColsIntegrality"]
    n, lower, upper = calls[0][1]
    assert n == 6 and is_array(lower, [0] * 6, np.int32) and is_array(upper, [10] * 6, np.int32)
    assert is_integrality(calls[1][1], 6, 3)
    assert x.type == "int32" and x._st_shift == 3 and x.map == (3, 5, 7, 4, 6, 8)
    assert m._general_shift_variable == 9


def test_binary_block_sends_zero_and_one_but_keeps_the_given_bounds(engine):
    m = model(engine)
    x = m.get_variables("x", VariableType.BINARY, 5, 7, i=2)
    (_, (n, lower, upper)), (_, integrality) = engine.calls
    assert n == 2 and is_array(lower, [0, 0], np.int32) and is_array(upper, [1, 1], np.int32)
    assert is_integrality(integrality, 2, 0)
    assert (x.lo, x.hi, x.type) == (5, 7, "int32")
    default = m.get_variables("y", VariableType.BINARY)
    assert (default.lo, default.hi) == (-inf, inf)


def test_blocks_take_consecutive_columns(engine):
    m = model(engine)
    x = m.get_variables("x", VariableType.REAL, i=2, j=3)
    z = m.get_variables("z", VariableType.REAL, k=4)
    assert x._st_shift == 0 and z._st_shift == 6 and m._general_shift_variable == 10
    assert list(x._indexes) == ["i", "j"]
    assert list(m._variables) == ["x", "z"]


@pytest.mark.parametrize("kind,ops", [
    (VariableType.REAL, ["addVars"]),
    (VariableType.INTEGER, ["addVars", "changeColsIntegrality"]),
    (VariableType.BINARY, ["addVars", "changeColsIntegrality"]),
], ids=["real", "integer", "binary"])
def test_empty_block_takes_its_name_but_no_column(engine, kind, ops):
    m = model(engine)
    x = m.get_variables("x", kind, 0, 1, i=0)
    assert engine.ops() == ops and engine.calls[0][1][0] == 0
    assert len(engine.calls[0][1][1]) == 0 and x.map == ()
    assert m._general_shift_variable == 0 and "x" in m._used_vars


@pytest.mark.parametrize("name", ["x1", "_y", "x_y", "émile", "compiledSum", "Range"])
def test_identifier_names_are_accepted(engine, name):
    assert model(engine).get_variables(name, VariableType.REAL)._name == name


BAD_NAME = "Linear variable must have a non-empty name containing only letters"


@pytest.mark.parametrize("name", ["", "1x", "a b", "a-b", None, 0],
                         ids=["empty", "leading_digit", "space", "hyphen", "none", "zero"])
def test_names_that_are_not_identifiers_are_refused(engine, log_sink, name):
    m = model(engine)
    with pytest.raises(ValueError) as err:
        m.get_variables(name, VariableType.REAL)
    assert str(err.value) == BAD_NAME and log_sink.at("error") == [BAD_NAME]
    assert m._used_vars == set() and engine.calls == []


def test_a_true_name_that_is_not_text_fails_in_the_host(engine, log_sink):
    m = model(engine)
    with pytest.raises(AttributeError):
        m.get_variables(5, VariableType.REAL)
    assert m._used_vars == set() and log_sink.calls == []


# Refusals after the name test: (call, exception, message). The name stays taken and no engine
# call is made.
REFUSALS = [
    ("integer_float_bound", lambda m: m.get_variables("x", VariableType.INTEGER, 0.0, 3),
     ValueError, "For integer variables, the boundaries must be integers"),
    ("integer_float_upper", lambda m: m.get_variables("x", VariableType.INTEGER, 0, 3.0),
     ValueError, "For integer variables, the boundaries must be integers"),
    ("integer_numpy_float_bound",
     lambda m: m.get_variables("x", VariableType.INTEGER, np.float64(0), 3),
     ValueError, "For integer variables, the boundaries must be integers"),
    ("integer_default_bounds", lambda m: m.get_variables("x", VariableType.INTEGER),
     ValueError, "For integer variables, the boundaries must be integers"),
    ("integer_too_big", lambda m: m.get_variables("x", VariableType.INTEGER, 0, 3_000_000_000),
     ValueError, "For integer variables, the boundaries must lie between -2147483648 and "
     "2147483647"),
    ("integer_too_small", lambda m: m.get_variables("x", VariableType.INTEGER, -2**31 - 1, 0),
     ValueError, "For integer variables, the boundaries must lie between -2147483648 and "
     "2147483647"),
    ("type_as_integer", lambda m: m.get_variables("x", 2), ValueError, "Invalid variable format"),
    ("type_as_text", lambda m: m.get_variables("x", "REAL"), ValueError,
     "Invalid variable format"),
    ("foreign_enum", lambda m: m.get_variables(
        "x", enum.Enum("VariableType", "REAL INTEGER BINARY").REAL), ValueError,
     "Invalid variable format"),
    ("negative_size", lambda m: m.get_variables("x", VariableType.REAL, i=-1),
     ValueError, "Dimension sizes must be non-negative integers"),
    ("two_negative_sizes", lambda m: m.get_variables("x", VariableType.REAL, i=-1, j=-2),
     ValueError, "Dimension sizes must be non-negative integers"),
    ("fractional_size", lambda m: m.get_variables("x", VariableType.REAL, i=2.5),
     ValueError, "Dimension sizes must be non-negative integers"),
]


@pytest.mark.parametrize("call,exc,message", [c[1:] for c in REFUSALS],
                         ids=[c[0] for c in REFUSALS])
def test_refused_blocks_keep_the_name_and_reach_no_engine(engine, log_sink, call, exc, message):
    m = model(engine)
    with pytest.raises(exc) as err:
        call(m)
    assert str(err.value) == message and log_sink.at("error") == [message]
    assert engine.calls == [] and m._variables == {} and m._general_shift_variable == 0
    assert m._used_vars == {"x"}
    with pytest.raises(VariableError, match="^Linear variable named x is already in use$"):
        m.get_variables("x", VariableType.REAL)
    # A refused block leaves the numbering in step with the engine.
    y = m.get_variables("y", VariableType.REAL, i=2)
    assert y.map == (0, 1) and engine.ops() == ["addVars"]


def test_a_bound_that_is_no_number_makes_no_engine_call(engine):
    m = model(engine)
    with pytest.raises(TypeError, match="^Lower bound must be a real number, not str$"):
        m.get_variables("x", VariableType.REAL, "low", 1)
    assert engine.calls == [] and m._general_shift_variable == 0 and "x" in m._used_vars


@pytest.mark.parametrize("lo,hi", [
    (True, False), (-2**31, 2**31 - 1), (np.int64(-2**31), np.uint32(2**31 - 1)),
    (np.True_, np.int8(3)),
], ids=["bools", "limits", "numpy_limits", "numpy_bool_and_int8"])
def test_integer_bounds_that_fit(engine, lo, hi):
    m = model(engine)
    m.get_variables("x", VariableType.INTEGER, lo, hi)
    assert is_array(engine.calls[0][1][1], [int(lo)], np.int32)
    assert is_array(engine.calls[0][1][2], [int(hi)], np.int32)


def test_duplicate_name_is_logged_and_refused(engine, log_sink):
    m = model(engine)
    m.get_variables("x", VariableType.REAL)
    engine.take()
    with pytest.raises(VariableError) as err:
        m.get_variables("x", VariableType.BINARY)
    assert str(err.value) == "Linear variable named x is already in use"
    assert log_sink.at("error") == [str(err.value)] and engine.calls == []


def test_engine_failure_after_its_columns_exist_keeps_the_count_in_step(engine):
    m = model(engine)
    engine.fail["changeColsIntegrality"] = RuntimeError("engine says no")
    with pytest.raises(RuntimeError, match="engine says no"):
        m.get_variables("x", VariableType.INTEGER, 0, 1, i=3)
    assert "x" not in m._variables and m._general_shift_variable == 3
    del engine.fail["changeColsIntegrality"]
    assert m.get_variables("y", VariableType.REAL)._st_shift == 3


def test_engine_failure_in_add_vars_adds_nothing(engine):
    m = model(engine)
    engine.fail["addVars"] = RuntimeError("engine says no")
    with pytest.raises(RuntimeError):
        m.get_variables("x", VariableType.REAL, i=3)
    assert m._general_shift_variable == 0 and m._variables == {}


# --- indexes --------------------------------------------------------------------------------


@pytest.mark.parametrize("names,expected", [
    (["i"], "i"), ("i", "i"), (["i", "j"], ["i", "j"]), ("ij", ["i", "j"]),
    (("a", "b", "c"), ["a", "b", "c"]),
], ids=["one_in_list", "one_letter", "two", "two_letters", "tuple"])
def test_get_indexes(engine, names, expected):
    m = model(engine)
    got = m.get_indexes(names)
    if isinstance(expected, str):
        assert type(got) is Index and got.name == expected and got.expression == expected
    else:
        assert type(got) is list and [g.name for g in got] == expected
    assert engine.calls == []


def test_equal_index_names_give_distinct_indexes(engine):
    m = model(engine)
    a, b = m.get_indexes(["i", "i"])
    assert a is not b and m._indexes == {"i": b}


EMPTY = "The indexes parameter must contain a non-empty sequence of index names"


@pytest.mark.parametrize("names", [[], ""], ids=["list", "text"])
def test_empty_index_list_is_refused(engine, log_sink, names):
    with pytest.raises(ValueError, match=f"^{EMPTY}$"):
        model(engine).get_indexes(names)
    assert log_sink.at("error") == [EMPTY]


def test_index_named_like_a_variable_is_refused_after_the_earlier_ones(engine, log_sink):
    m = model(engine)
    m.get_variables("x", VariableType.REAL)
    with pytest.raises(VariableError, match="^Index named x is already in use$"):
        m.get_indexes(["i", "x"])
    assert list(m._indexes) == ["i"]
    assert log_sink.at("error") == ["Index named x is already in use"]


def test_an_index_does_not_block_a_variable_name(engine):
    m = model(engine)
    m.get_indexes(["k"])
    assert m.get_variables("k", VariableType.REAL)._name == "k"


# --- constraints ----------------------------------------------------------------------------


@pytest.fixture
def lp(engine):
    """A model with x of sizes (2, 3) at columns 0..5 and y of size 4 at columns 6..9."""
    m = model(engine)
    x = m.get_variables("x", VariableType.REAL, 0, 10, i=2, j=3)
    y = m.get_variables("y", VariableType.REAL, 0, 10, k=4)
    i, j = m.get_indexes(["i", "j"])
    engine.take()
    return types.SimpleNamespace(m=m, x=x, y=y, i=i, j=j)


def rows(engine):
    """The rows handed over as (lower, upper, {column: value})."""
    out = []
    for op, (lower, upper, count, indexes, values) in engine.take():
        assert op == "addRow" and count == len(indexes) == len(values)
        assert isinstance(indexes, np.ndarray) and isinstance(values, np.ndarray)
        out.append((lower, upper, dict(zip(indexes.tolist(), values.tolist()))))
    return out


def test_one_row_without_for_alls(lp, engine):
    lp.m.add_constraint(lp.x[0, 1] + 2 * lp.y[3] <= 5)
    assert rows(engine) == [(-INF, 5, {2: 1, 9: 2})]


def test_one_row_per_for_all_item_in_loop_order(lp, engine):
    lp.m.add_constraint(lp.x[lp.i, lp.j] - lp.y[lp.j + 1] >= 1, i=range(2), j=[0, 2])
    assert rows(engine) == [
        (1, INF, {0: 1, 7: -1}), (1, INF, {4: 1, 9: -1}),
        (1, INF, {1: 1, 7: -1}), (1, INF, {5: 1, 9: -1})]


def test_text_for_all_may_use_an_earlier_index(lp, engine):
    lp.m.add_constraint(lp.y[lp.i] + lp.y[lp.j] == 1, i=range(3), j="range(i)")
    assert rows(engine) == [(1, 1, {7: 1, 6: 1}), (1, 1, {8: 1, 6: 1}), (1, 1, {8: 1, 7: 1})]


def test_empty_for_all_adds_no_row(lp, engine):
    lp.m.add_constraint(lp.y[lp.i] <= 1, i=range(0))
    assert engine.calls == []


def test_row_bounds_are_moved_by_the_constant(lp, engine):
    lp.m.add_constraint(lp.y[0] + 3 <= 10)
    lp.m.add_constraint(lp.y[0] - 2, eq=0)
    assert rows(engine) == [(-INF, 7, {6: 1}), (2, 2, {6: 1})]


def test_sums_in_rows(lp, engine):
    lp.m.add_constraint(Sum(lp.x[lp.i, lp.j], j=range(3)) <= 4, i=range(2))
    lp.m.add_constraint(SumIt([lp.y[0], lp.y[1], lp.y[3]]) >= 1)
    assert rows(engine) == [(-INF, 4, {0: 1, 2: 1, 4: 1}), (-INF, 4, {1: 1, 3: 1, 5: 1}),
                            (1, INF, {6: 1, 7: 1, 9: 1})]


def test_products_in_rows_keep_only_their_linear_part(lp, engine):
    lp.m.add_constraint((lp.y[0] + 1) * (lp.y[1] + 2) <= 8)
    assert rows(engine) == [(-INF, 6, {6: 2, 7: 1})]


# (expression builder, lo, hi, eq) -> rows or message.
MERGES = [
    ("argument_lower", lambda y: y[0] <= 5, {"lo": 0}, (0, 5)),
    ("clash_upper", lambda y: y[0] <= 5, {"hi": 3}, "The border is set twice"),
    ("clash_eq", lambda y: y[0] <= 5, {"eq": 2}, "The borders is set twice"),
    ("both_clash_lower", lambda y: y[0] == 3, {"lo": 1}, "The border is set twice"),
    ("both_clash_eq", lambda y: y[0] == 3, {"eq": 3}, "The borders is set twice"),
    ("both_clash_lower_first", lambda y: y[0] == 3, {"lo": 1, "hi": 2},
     "The border is set twice"),
    ("eq_unbounded", lambda y: y[0] + 0, {"eq": 0}, (0, 0)),
    ("zero_is_set", lambda y: y[0] >= 0, {"lo": 0}, "The border is set twice"),
    ("none", lambda y: y[0] + 0, {}, (-INF, INF)),
]


@pytest.mark.parametrize("build,bounds,outcome", [c[1:] for c in MERGES],
                         ids=[c[0] for c in MERGES])
def test_bound_merges(lp, engine, log_sink, build, bounds, outcome):
    if isinstance(outcome, str):
        with pytest.raises(ValueError) as err:
            lp.m.add_constraint(build(lp.y), **bounds)
        assert str(err.value) == outcome
        assert engine.calls == [] and log_sink.calls == []
    else:
        lp.m.add_constraint(build(lp.y), **bounds)
        assert rows(engine) == [(outcome[0], outcome[1], {6: 1})]


def test_set_border_is_a_static_method():
    set_border = LinearModel._LinearModel__set_border
    assert set_border(None, 3) == 3 and set_border(0, None) == 0 and set_border(None, None) is None
    with pytest.raises(ValueError, match="The border is set twice"):
        set_border(0, 0)


EVAL_FAILURES = [
    ("unknown_name", lambda t: t.m.add_constraint(t.y[t.i] <= 1), NameError),
    # A 2-D array means its nested list: each value a row, no index.
    ("array_for_all", lambda t: t.m.add_constraint(t.y[t.i] <= 1, i=np.ones((2, 2), int)),
     TypeError),
    ("text_for_all_not_an_expression", lambda t: t.m.add_constraint(t.y[t.i] <= 1,
                                                                     i="[0 1 2]"), SyntaxError),
    ("plain_text", lambda t: t.m.add_constraint("y(0) + y(1)"), AttributeError),
]


@pytest.mark.parametrize("call,exc", [c[1:] for c in EVAL_FAILURES],
                         ids=[c[0] for c in EVAL_FAILURES])
def test_evaluation_failures_add_no_row(lp, engine, log_sink, call, exc):
    with pytest.raises(exc) as err:
        call(lp)
    assert engine.calls == []
    # What the host refuses is not logged; a block's own refusal is, with its message.
    logged = [(str(err.value), se.log_level_type.error)] if exc is TypeError else []
    assert log_sink.calls == logged


def test_an_item_that_is_not_numeric_adds_no_row_at_all(lp, engine):
    # The first item is a numeric expression, the second a plain number.
    from zk_encoder.linear_parser.linear_expression import LinearExpression
    text = LinearExpression("y(0) if i == 0 else 3") <= 1
    with pytest.raises(AttributeError):
        lp.m.add_constraint(text, i=range(2))
    assert engine.calls == []


def test_for_all_named_like_a_variable_hides_it(lp, engine):
    from zk_encoder.linear_parser.linear_expression import LinearExpression
    lp.m.add_constraint(LinearExpression("x(y, 0)") <= 1, y=range(2))
    assert rows(engine) == [(-INF, 1, {0: 1}), (-INF, 1, {1: 1})]


def test_the_namespace_binds_the_summation_class_and_the_blocks(engine):
    m = model(engine)
    m.get_variables("s", VariableType.REAL, i=2)
    m.get_variables("z", VariableType.REAL)
    # The model refuses a block of that name; one put into the table hides the class.
    m._variables["CompiledSum"] = m._variables.pop("s")
    engine.take()
    m.add_constraint(m._variables["z"][()] <= 1)
    assert rows(engine) == [(-INF, 1, {2: 1})]
    with pytest.raises(TypeError):
        m.add_constraint(Sum(m._variables["z"][()], i=range(2)) <= 1)
    assert m._formulas_dir == {"CompiledSum": CompiledSum}


# --- objective ------------------------------------------------------------------------------


def reset_calls(n):
    """The calls that clear an earlier objective: every cost 0, no quadratic part."""
    return [("changeColsCost", (n, list(range(n)), [0.0] * n)),
            ("passHessian", (n, 0, HessianFormat.kTriangular, [0] * (n + 1), [], []))]


def plain(calls):
    out = []
    for op, args in calls:
        out.append((op, tuple(a.tolist() if isinstance(a, np.ndarray) else a for a in args)))
    return out


def test_target_calls_in_order(lp, engine):
    lp.m.add_target(lp.x[1, 0] + 3 * lp.y[2] + 7, True)
    calls = engine.take()
    assert calls[0] == ("changeObjectiveSense", (ObjSense.kMinimize,))
    op, (n, cols, costs) = calls[1]
    assert op == "changeColsCost" and n == 10
    assert is_array(cols, range(10), np.arange(1).dtype) and is_array(costs, [0.0] * 10, np.float64)
    op, (n, count, fmt, starts, indexes, values) = calls[2]
    assert (op, n, count, fmt) == ("passHessian", 10, 0, HessianFormat.kTriangular)
    assert is_array(starts, [0] * 11, np.int32) and is_array(indexes, [], np.int32)
    assert is_array(values, [], np.float64)
    assert [(op, tuple(int(a) for a in args)) for op, args in calls[3:]] == [
        ("changeColCost", (1, 1)), ("changeColCost", (8, 3))]
    assert len(calls) == 5, "the constant does not reach the solver"


@pytest.mark.parametrize("flag,sense", [
    (True, ObjSense.kMinimize), (1, ObjSense.kMinimize), ("yes", ObjSense.kMinimize),
    (False, ObjSense.kMaximize), (0, ObjSense.kMaximize), (None, ObjSense.kMaximize),
    ("", ObjSense.kMaximize)], ids=["true", "one", "text", "false", "zero", "none", "empty"])
def test_target_sense_follows_the_truth_of_minimization(lp, engine, flag, sense):
    lp.m.add_target(lp.y[0], flag)
    assert engine.calls[0] == ("changeObjectiveSense", (sense,))


def test_target_given_as_plain_text(lp, engine):
    lp.m.add_target("y(0) + y(1)", True)
    assert plain(engine.take()[3:]) == [("changeColCost", (6, 1)), ("changeColCost", (7, 1))]


def test_quadratic_part_of_a_product(engine):
    m = model(engine)
    x = m.get_variables("x", VariableType.REAL, i=3)
    engine.take()
    m.add_target(x[0] * x[1], True)
    calls = plain(engine.take())
    assert calls[1:3] == reset_calls(3)
    assert calls[-1] == ("passHessian", (3, 2, HessianFormat.kTriangular, [0, 1, 2, 2], [1, 0],
                                         [1.0, 1.0]))


def test_quadratic_part_of_a_square(engine):
    m = model(engine)
    x = m.get_variables("x", VariableType.REAL, i=3)
    engine.take()
    m.add_target(x[0] * x[0], False)
    assert plain(engine.take())[-1] == ("passHessian", (3, 1, HessianFormat.kTriangular,
                                                        [0, 1, 1, 1], [0], [2.0]))


def test_a_constant_does_not_change_the_costs(lp, engine):
    lp.m.add_target(2 * lp.y[1] + lp.x[0, 0], False)
    without = plain(engine.take())
    lp.m.add_target(2 * lp.y[1] + lp.x[0, 0] + 5, False)
    assert plain(engine.take()) == without


def test_a_new_target_replaces_the_old_one_whole(lp, engine):
    lp.m.add_target(lp.y[0] * lp.y[1] + lp.x[0, 0] + lp.x[0, 1], True)
    engine.take()
    lp.m.add_target(lp.x[0, 1], True)
    calls = plain(engine.take())
    assert calls == [("changeObjectiveSense", (ObjSense.kMinimize,))] + reset_calls(10) + [
        ("changeColCost", (2, 1))]


def test_target_evaluation_failure_keeps_the_old_objective(lp, engine):
    # The sense belongs to the objective: a refused one leaves the previous one whole.
    with pytest.raises(NameError):
        lp.m.add_target("w(0)", True)
    assert engine.calls == []


# --- solving --------------------------------------------------------------------------------


def test_solve_without_start_values(lp, engine):
    engine.solution = Solution(range(10))
    engine.objective = 4.5
    assert lp.m.solve() is SolutionStatus.OPTIMAL
    assert engine.ops() == ["run", "getSolution", "getInfo", "getModelStatus"]
    assert lp.m.objective_value == 4.5 and lp.m.get_linsolver_solution() is engine.solution
    assert lp.m._solution_values.tolist() == list(range(10))


def test_solve_hands_over_the_start_vector_itself(lp, engine):
    lp.m.set_solution("y", [1, 2, 3, 4])
    assert engine.calls == []
    lp.m.solve()
    (op1, _), (op2, (record,)) = engine.calls[:2]
    assert (op1, op2) == ("LinsolverSolution", "setSolution")
    assert record.col_value is lp.m._prev_solution
    assert is_array(record.col_value, [0] * 6 + [1, 2, 3, 4], np.float64)
    assert engine.ops()[2:] == ["run", "getSolution", "getInfo", "getModelStatus"]


def test_suboptimal_at_a_time_limit_with_a_valid_solution(lp, engine, log_sink):
    engine.status = LinsolverModelStatus.kTimeLimit
    engine.solution = Solution([1.5] * 10, value_valid=True)
    engine.objective = 2.0
    assert lp.m.solve() is SolutionStatus.SUBOPTIMAL
    assert log_sink.at("warning") == [
        "Solution is suboptimal due to a time limit, but a primal solution is available"]
    assert lp.m.objective_value == 2.0 and lp.m.get_result("y").tolist() == [1.5] * 4


NOT_SOLVED = "The model was not solved correctly"
NO_SOLUTION = "There is no solution to the problem. Run 'solve' to find it"


@pytest.mark.parametrize("status,valid", [
    (LinsolverModelStatus.kTimeLimit, False), (LinsolverModelStatus.kInfeasible, True),
    (LinsolverModelStatus.kNotset, True)], ids=["time_limit_invalid", "infeasible", "not_set"])
def test_other_outcomes_raise_and_keep_the_last_accepted_results(lp, engine, log_sink, status,
                                                                 valid):
    engine.solution = Solution([2.0] * 10)
    engine.objective = 7.0
    lp.m.solve()
    engine.status = status
    engine.solution = Solution([9.0] * 10, value_valid=valid)
    engine.objective = 1.0
    with pytest.raises(SolverError) as err:
        lp.m.solve()
    assert str(err.value) == NOT_SOLVED and log_sink.at("error") == [NOT_SOLVED]
    assert lp.m.get_linsolver_solution() is engine.solution
    assert lp.m.objective_value == 7.0 and lp.m.get_result("y").tolist() == [2.0] * 4


@pytest.mark.parametrize("read", [
    lambda m: m.objective_value, lambda m: m.get_result("y"), lambda m: m.get_result("nope"),
    lambda m: m.get_linsolver_solution()], ids=["objective", "result", "unknown_result",
                                                 "record"])
def test_results_before_a_solve(lp, log_sink, read):
    with pytest.raises(SolverError) as err:
        read(lp.m)
    assert str(err.value) == NO_SOLUTION and log_sink.at("error") == [NO_SOLUTION]


def test_results_after_a_failed_first_solve(lp, engine):
    engine.status = LinsolverModelStatus.kInfeasible
    with pytest.raises(SolverError):
        lp.m.solve()
    assert lp.m.get_linsolver_solution() is engine.solution
    with pytest.raises(SolverError, match="Run 'solve'"):
        lp.m.objective_value


def test_results_in_the_shape_of_the_block(engine):
    m = model(engine)
    m.get_variables("pad", VariableType.REAL, k=10)
    m.get_variables("x", VariableType.REAL, i=2, j=3)
    m.get_variables("n", VariableType.INTEGER, 0, 5, k=2)
    m.get_variables("s", VariableType.REAL)
    engine.solution = Solution([float(c) for c in range(16)] + [2.9999999, -1.5, 0.25])
    m.solve()
    x = m.get_result("x")
    assert x.shape == (2, 3) and x.dtype == np.float64
    for a in range(2):
        for b in range(3):
            assert x[a, b] == 10 + a + 2 * b
    n = m.get_result("n")
    assert n.dtype == np.int32 and n.tolist() == [2, -1], "integer values are cast, not rounded"
    s = m.get_result("s")
    assert s.shape == () and s == 0.25
    with pytest.raises(KeyError):
        m.get_result("nope")


# --- start values ---------------------------------------------------------------------------


def test_start_values_reach_each_elements_own_column(engine):
    m = model(engine)
    m.get_variables("pad", VariableType.REAL, k=10)
    m.get_variables("x", VariableType.REAL, i=2, j=3)
    m.set_solution("x", np.array([[0, 1, 2], [3, 4, 5]]))
    vector = m._prev_solution
    assert vector.dtype == np.float64 and len(vector) == 16
    for a in range(2):
        for b in range(3):
            assert vector[10 + a + 2 * b] == 3 * a + b
    m.set_solution("pad", 7)
    assert m._prev_solution[:10].tolist() == [7.0] * 10
    assert m._prev_solution[10:].tolist() == vector[10:].tolist()


def test_unknown_name_leaves_no_start_vector(engine):
    m = model(engine)
    with pytest.raises(KeyError):
        m.set_solution("x", [1])
    assert m._prev_solution is None
    m.get_variables("x", VariableType.REAL, i=2)
    m.set_solution("x", [1, 2])
    assert m._prev_solution.tolist() == [1.0, 2.0]


def test_start_values_of_a_later_block(engine):
    m = model(engine)
    m.get_variables("x", VariableType.REAL, i=2)
    m.set_solution("x", [1, 2])
    m.get_variables("y", VariableType.REAL, i=3)
    m.set_solution("y", [3, 4, 5])
    assert m._prev_solution.tolist() == [1, 2, 3, 4, 5]


def test_the_start_vector_grows_with_the_model_before_a_solve(engine):
    m = model(engine)
    m.get_variables("x", VariableType.REAL, i=2)
    m.set_solution("x", [1, 2])
    m.get_variables("y", VariableType.REAL, i=3)
    engine.solution = Solution([0.0] * 5)
    engine.take()
    m.solve()
    record = engine.calls[1][1][0]
    assert is_array(record.col_value, [1, 2, 0, 0, 0], np.float64)


def test_a_refused_start_value_count_changes_nothing(engine):
    m = model(engine)
    m.get_variables("x", VariableType.REAL, i=3)
    with pytest.raises(ValueError):
        m.set_solution("x", [1, 2])
    assert m._prev_solution is None
    m.set_solution("x", [1, 2, 3])
    with pytest.raises(ValueError):
        m.set_solution("x", [[1, 2], [3, 4]])
    assert m._prev_solution.tolist() == [1, 2, 3]


# --- model file -----------------------------------------------------------------------------


@pytest.mark.parametrize("as_path", [False, True], ids=["text", "path"])
def test_write_model_creates_the_parent_directories(lp, engine, tmp_path, as_path):
    target = tmp_path / "a" / "b" / "model.mps"
    lp.m.write_model(target if as_path else str(target))
    assert engine.calls == [("writeModel", (target.as_posix(),))]
    assert target.parent.is_dir()


def test_write_model_keeps_a_relative_path(lp, engine, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    lp.m.write_model(pathlib.Path("out") / "m.lp")
    assert engine.calls == [("writeModel", ("out/m.lp",))] and (tmp_path / "out").is_dir()


def test_write_model_directories_exist_even_when_the_engine_fails(lp, engine, tmp_path):
    engine.fail["writeModel"] = OSError("disk full")
    with pytest.raises(OSError, match="disk full"):
        lp.m.write_model(tmp_path / "d" / "m.mps")
    assert (tmp_path / "d").is_dir()


def test_write_model_parent_that_cannot_be_made(lp, engine, tmp_path):
    (tmp_path / "file").write_text("")
    with pytest.raises(OSError):
        lp.m.write_model(tmp_path / "file" / "m.mps")
    assert engine.calls == []


# --- the engine's faster calls ---------------------------------------------------------------


OTHER = [None, None]  # an element of another model's block of the same name


def with_faster_calls(recording):
    """The recording module's solver class also offering the faster calls (on the class, where
    the model looks for them), recorded under their own names."""
    cls = recording.module.LinearSolver

    def add_row_list(self, *args):
        recording.calls.append(("addRowList", args))
        if self._real is not None:
            return self._real.addRowList(*args)

    def change_col_cost_arrays(self, *args):
        recording.calls.append(("changeColCostArrays", args))
        if self._real is not None:
            return self._real.changeColCostArrays(*args)

    cls.addRowList = add_row_list
    cls.changeColCostArrays = change_col_cost_arrays
    return recording


def both_engines(monkeypatch, recorder, forward=False):
    """A recording engine without the faster calls, then one with them, each made the model
    module's solver module in turn."""
    for faster in (False, True):
        recording = recorder(forward=forward)
        if faster:
            with_faster_calls(recording)
        monkeypatch.setattr(linear_model, "linsolver", recording.module)
        yield recording


def handed_over(calls):
    """Rows as (lower, upper, [(column, value)]) and the costs set as {column: cost}, every
    number as the float the engine makes of it (bit for bit), whichever call carried them."""
    rows, costs, other = [], {}, []
    for op, args in calls:
        if op in ("addRow", "addRowList"):
            lower, upper, count, indexes, values = args
            if op == "addRowList":
                assert type(indexes) is list and type(values) is list
                assert all(type(c) is int for c in indexes)
                assert all(type(v) is float for v in values)
            else:
                assert isinstance(indexes, np.ndarray) and isinstance(values, np.ndarray)
            assert count == len(indexes) == len(values)
            rows.append((float(lower).hex(), float(upper).hex(),
                         [(int(c), float(v).hex()) for c, v in zip(indexes, values)]))
        elif op == "changeColCost":
            costs[int(args[0])] = float(args[1]).hex()
        elif op == "changeColCostArrays":
            n, indexes, values = args
            assert n == len(indexes) == len(values)
            costs.update((int(c), float(v).hex()) for c, v in zip(indexes, values))
        else:
            other.append((op, [a.tolist() if isinstance(a, np.ndarray) else a for a in args]))
    return rows, costs, other


def random_model(m, rng):
    x = m.get_variables("x", VariableType.REAL, lo=-4, hi=9, i=5, j=3)
    y = m.get_variables("y", VariableType.INTEGER, lo=-3, hi=6, k=4)
    i = m.get_indexes(["i"])
    numbers = [0, 1, -1, 2.5, -0.0, 0.1, 3, 10**15, 2**53 + 1, -7.25, np.float64(1.5), True,
               np.int32(-2)]
    for _ in range(30):
        terms = [rng.choice(numbers) * x[rng.randrange(5), rng.randrange(3)]
                 for _ in range(rng.randrange(1, 6))]
        row = terms[0]
        for t in terms[1:]:
            row = row + t if rng.random() < 0.7 else row - t
        row = row + rng.choice(numbers) * y[rng.randrange(4)] + rng.choice([0, 2, -1.5])
        m.add_constraint(row, lo=rng.choice([None, -3, 0.5]), hi=rng.choice([None, 7, 10**20]))
    m.add_constraint(Sum(x[i, 1], i=range(5)) <= 4, i=range(2))
    m.add_target(SumIt([rng.choice(numbers) * x[a, b] for a in range(5) for b in range(3)])
                 + 2 * y[1] - y[3] * 0.5, rng.random() < 0.5)


def test_the_faster_calls_hand_over_what_the_required_calls_do(monkeypatch, recorder, rng):
    built = []
    for recording in both_engines(monkeypatch, recorder):
        random_model(LinearModel(), random.Random(rng.seed_value))
        built.append((recording.calls, handed_over(recording.calls)))
    (plain_calls, plain), (fast_calls, fast) = built
    assert fast == plain
    ops = [op for op, _ in fast_calls]
    assert "addRow" not in ops and "changeColCost" not in ops
    assert ops.count("addRowList") == 32 and ops.count("changeColCostArrays") == 1
    assert [op for op, _ in plain_calls].count("addRow") == 32


def test_the_faster_calls_give_the_same_optimum(monkeypatch, recorder, rng):
    optima = []
    for recording in both_engines(monkeypatch, recorder, forward=True):
        m = LinearModel()
        random_model(m, random.Random(rng.seed_value))
        try:
            m.solve()
            optima.append((m.objective_value, m.get_result("y").tolist()))
        except SolverError as exc:
            optima.append(str(exc))
    assert optima[0] == optima[1]


@pytest.mark.parametrize("bad,exc", [
    (lambda x: x[0] * 2 + OTHER[1] <= 1, BuildError), (lambda x: x[7] * 2 <= 1, IndexError),
    (lambda x: x[0] * 2 + 2**80 <= 1, None), (lambda x: x[0] * 2**80 <= 1, None),
    (lambda x: x[0] * 1e300 + x[1] * -1e300 + 1e-300 <= 1, None)],
    ids=["another model's block", "column outside", "big constant", "big coefficient",
         "extreme floats"])
def test_rows_through_the_faster_calls_are_checked_as_before(monkeypatch, recorder, bad, exc):
    OTHER[1] = LinearModel().get_variables("x", VariableType.REAL, i=3)[0]
    outcomes = []
    for recording in both_engines(monkeypatch, recorder):
        m = LinearModel()
        x = m.get_variables("x", VariableType.REAL, i=3)
        recording.calls.clear()
        try:
            m.add_constraint(bad(x))
            outcomes.append(("ok", handed_over(recording.calls)))
        except Exception as e:  # compared below
            outcomes.append((type(e), str(e), recording.calls))
    assert outcomes[0] == outcomes[1]
    assert (outcomes[0][0] == "ok") == (exc is None)
    if exc is not None:
        assert outcomes[0][0] is exc and outcomes[0][2] == []
