"""The second-generation LinearModel against a recording engine: every engine call, in order,
with its arguments and their dtypes; the refusals and log lines."""

import enum
import pathlib
import random

import numpy as np
import pytest

import nubrix.sorn_engine as se
from zk_encoder._exceptions import BuildError, FormulaError, SolverError, VariableError
from zk_encoder.linear_parser2 import LinearModel, SolutionStatus, VariableType, dot, inf, sumexp
from zk_encoder.linear_parser2 import model as model_module
from zk_encoder.linear_parser2._expression import LinearExpression
from zk_encoder.linear_parser2.variable import VariableArray
from scipy.sparse import csr_array

from zk_encoder.linear_parser.linear_model import VariableType as FirstVariableType
from nubrix.sorn_engine.linsolver import (HessianFormat, LinsolverModelStatus, LinsolverVarType,
                                          ObjSense)
from support.arrays import is_array, same_bits
from support.fakes import RecordingLinsolver, Solution
from support.seeds import fresh_seed


@pytest.fixture
def engine(monkeypatch):
    rec = RecordingLinsolver(record_answers=False)
    rec.solution = Solution([1.0, 2.0])
    rec.objective = 5.0
    monkeypatch.setattr(model_module, "linsolver", rec.module)
    return rec


@pytest.fixture
def debug(monkeypatch):
    monkeypatch.setattr(model_module, "DEBUG", "1")


# ---------------------------------------------------------------------------------------------
# Module surface and construction.

def test_module_surface():
    assert [m.name for m in SolutionStatus] == ["OPTIMAL", "SUBOPTIMAL", "INFEASIBLE"]
    assert [m.value for m in SolutionStatus] == [1, 2, 3]
    assert [m.name for m in VariableType] == ["REAL", "INTEGER", "BINARY"]
    assert [m.value for m in VariableType] == [1, 2, 3]
    assert issubclass(VariableType, enum.Enum) and not issubclass(VariableType, int)
    assert SolutionStatus.__module__ == "zk_encoder.linear_parser2.model"
    assert inf == model_module.linsolver.kLinsolverInf == float("inf")
    assert VariableType is not FirstVariableType
    assert LinearModel.__doc__ == ("An interface for initializing and solving a MILP problem "
                                   "with a quadratic objective function")
    names = list(vars(model_module))
    order = ["annotations", "os", "Enum", "auto", "reduce", "mul", "Path", "tp", "np", "linsolver",
             "log_e", "VariableError", "SolverError", "VariableArray", "_CoefType",
             "LinearExpression", "LinearExpressionsArr", "DEBUG", "SolutionStatus",
             "VariableType", "inf", "LinearModel"]
    assert [n for n in names if n in order] == order
    import zk_encoder.linear_parser2 as pkg
    assert pkg.__all__ == ["LinearModel", "VariableType", "SolutionStatus", "inf", "sumexp", "dot"]


def test_options_reach_the_solver_in_order(engine):
    m = LinearModel(True, time_limit=2.5, presolve="off")
    assert engine.solver_calls() == [("setOptionValue", ("log_to_console", True)),
                            ("setOptionValue", ("time_limit", 2.5)),
                            ("setOptionValue", ("presolve", "off"))]
    assert m._used_vars == set() and m._general_shift_variables == 0 and m._variables == {}
    for field in ("_prev_solution", "_solution", "_solution_values", "_objective_value"):
        assert getattr(m, field) is None


def test_keyword_log_to_console_is_set_later(engine):
    LinearModel(log_solver=True, log_to_console=False)
    assert engine.solver_calls() == [("setOptionValue", ("log_to_console", True)),
                            ("setOptionValue", ("log_to_console", False))]


# ---------------------------------------------------------------------------------------------
# Variables.

def test_real_array_calls(engine):
    m = LinearModel()
    before = VariableArray._total_created_variables
    x = m.get_variable("x", VariableType.REAL, -1, 4.5, i=2, j=3)
    (name, (n, lo, up)), = engine.solver_calls()[1:]
    assert name == "addVars" and n == 6
    is_array(lo, [-1.0] * 6, np.float64)
    is_array(up, [4.5] * 6, np.float64)
    assert x.shape == (2, 3) and x._shift == 0 and x.type is np.float64
    assert (x.lower_bound, x.upper_bound) == (-1, 4.5)
    assert m._variables == {"x": x} and m._general_shift_variables == 6
    assert VariableArray._total_created_variables == before + 6


def test_scalar_real_defaults(engine):
    m = LinearModel()
    x = m.get_variable("x", VariableType.REAL)
    (_, (n, lo, up)), = engine.solver_calls()[1:]
    assert n == 1 and lo.tolist() == [-inf] and up.tolist() == [inf]
    assert x.shape == () and x.lower_bound == -inf


@pytest.mark.parametrize("vtype,bounds,engine_bounds,dtype,recorded", [
    (VariableType.INTEGER, (0.5, 2.5), ([0.5] * 3, [2.5] * 3), np.float64, (0.5, 2.5)),
    (VariableType.BINARY, (5, 7), ([0] * 3, [1] * 3), np.int32, (0, 1)),
], ids=["integer", "binary"])
def test_integral_arrays_mark_their_columns(engine, vtype, bounds, engine_bounds, dtype,
                                            recorded):
    m = LinearModel()
    m.get_variable("a", VariableType.REAL, i=2)
    x = m.get_variable("x", vtype, *bounds, i=3)
    (add, (n, lo, up)), (integ, (k, cols, types)) = engine.solver_calls()[2:]
    assert (add, n, integ, k) == ("addVars", 3, "changeColsIntegrality", 3)
    is_array(lo, engine_bounds[0], dtype)
    is_array(up, engine_bounds[1], dtype)
    is_array(cols, [2, 3, 4], np.arange(1).dtype)
    # What the engine gets for its own (integer) enumeration member, dtype and all.
    assert same_bits(types, np.full(3, LinsolverVarType.kInteger))
    assert (x.lower_bound, x.upper_bound) == recorded and x.type is np.int32 and x._shift == 2


def test_empty_dimension(engine):
    m = LinearModel()
    x = m.get_variable("x", VariableType.INTEGER, i=0)
    assert engine.solver_ops()[1:] == ["addVars", "changeColsIntegrality"]
    assert engine.solver_calls()[1][1][0] == 0 and engine.solver_calls()[2][1][0] == 0
    assert x._map().size == 0 and m._general_shift_variables == 0
    with pytest.raises(VariableError):
        m.get_variable("x", VariableType.REAL)


GET_REFUSED = [
    ("empty-name", ("", VariableType.REAL), {}, ValueError,
     "Linear variable must have a non-empty name containing only letters"),
    ("none-name", (None, VariableType.REAL), {}, ValueError,
     "Linear variable must have a non-empty name containing only letters"),
    ("digit-first", ("1x", VariableType.REAL), {}, ValueError,
     "Linear variable must have a non-empty name containing only letters"),
    ("blank", ("a b", VariableType.REAL), {}, ValueError,
     "Linear variable must have a non-empty name containing only letters"),
    ("kind", ("x", "REAL"), {}, ValueError, "Invalid variable format"),
    ("first-generation-kind", ("x", FirstVariableType.REAL), {}, ValueError,
     "Invalid variable format"),
    ("float-size", ("x", VariableType.REAL), {"i": 2.5}, ValueError,
     "Dimension sizes must be non-negative integers"),
    ("negative-size", ("x", VariableType.REAL), {"i": -2, "j": -3}, ValueError,
     "Dimension sizes must be non-negative integers"),
    ("too-many", ("x", VariableType.REAL), {"i": 2**16, "j": 2**15}, ValueError,
     "Linear variable named x has too many elements: its columns would run past 2147483647"),
    ("bad-bound", ("x", VariableType.REAL, "low"), {}, TypeError,
     "Lower bound must be a real number, not str"),
]


@pytest.mark.parametrize("args,shape,exc,msg", [c[1:] for c in GET_REFUSED],
                         ids=[c[0] for c in GET_REFUSED])
def test_refused_arrays_make_no_engine_call(engine, log_sink, args, shape, exc, msg):
    m = LinearModel()
    before = VariableArray._total_created_variables
    with pytest.raises(exc) as err:
        m.get_variable(*args, **shape)
    if msg is not None:
        assert str(err.value) == msg
        assert log_sink.calls == [(msg, se.log_level_type.error)]
    assert engine.solver_ops() == ["setOptionValue"]
    assert m._general_shift_variables == 0 and m._variables == {}
    assert VariableArray._total_created_variables == before
    # The model stays usable and numbers its next array from 0.
    y = m.get_variable("y", VariableType.REAL, i=2)
    assert y._shift == 0 and engine.solver_calls()[-1][1][0] == 2


def test_name_stays_taken_after_a_refusal(engine, log_sink):
    m = LinearModel()
    with pytest.raises(ValueError):
        m.get_variable("x", "bad")
    with pytest.raises(VariableError, match="^Linear variable named x is already in use$"):
        m.get_variable("x", VariableType.REAL)
    assert log_sink.at("error")[-1] == "Linear variable named x is already in use"
    LinearModel().get_variable("x", VariableType.REAL)  # another model has its own names


@pytest.mark.parametrize("bounds,ok", [
    ((), True), ((0, 10), True), ((True, 10), True), ((0.5, 2.5), False), ((0.0, 10), False),
    ((np.int64(0), 10), True), ((np.float64(0), 10), False), ((inf, 10), False),
    ((0, -inf), False), (("low", 10), False),
], ids=["defaults", "ints", "bool", "floats", "float-zero", "numpy-int", "numpy-float",
        "lower-inf", "upper-minus-inf", "text"])
def test_integer_bounds_under_checks(engine, debug, log_sink, bounds, ok):
    m = LinearModel()
    if ok:
        m.get_variable("x", VariableType.INTEGER, *bounds, i=2)
        return
    with pytest.raises(ValueError, match="^For integer variables, the boundaries must be integers$"):
        m.get_variable("x", VariableType.INTEGER, *bounds, i=2)
    assert engine.solver_ops() == ["setOptionValue"]
    assert "x" in m._used_vars


@pytest.mark.parametrize("name", ["for", "\uff58", "\ufb01", "range", "CompiledSum",
                                  "__builtins__"],
                         ids=["keyword", "fullwidth-x", "ligature", "range", "summation-class",
                              "builtins"])
def test_names_reach_no_text_and_no_engine_call(engine, tmp_path, name):
    # The second generation evaluates no text, and the engine numbers columns without names:
    # a name only has to be an identifier that is new in the model.
    m = LinearModel()
    x = m.get_variable(name, VariableType.REAL, 0, 1, i=2)
    m.add_constraint(x[0] + x[1] <= 1)
    m.add_target(x[0] * 1.0, minimization=False)
    m.write_model(tmp_path / "model.lp")
    assert x.name == name and list(m._variables) == [name]
    assert all(name not in (a for a in args if isinstance(a, str)) for _, args in engine.solver_calls())


def test_the_limit_counts_the_columns_of_every_model(engine, log_sink, monkeypatch):
    # Rows span the columns of every model of the process: a model of its own few columns is
    # refused an array that would take the process past the limit.
    monkeypatch.setattr(VariableArray, "_total_created_variables", 2**31 - 2)
    m = LinearModel()
    msg = "Linear variable named x has too many elements: its columns would run past 2147483647"
    with pytest.raises(ValueError, match="^" + msg + "$"):
        m.get_variable("x", VariableType.REAL, i=2)
    assert log_sink.at("error") == [msg] and engine.solver_ops() == ["setOptionValue"]
    assert VariableArray._total_created_variables == 2**31 - 2
    m.get_variable("y", VariableType.REAL)
    assert VariableArray._total_created_variables == 2**31 - 1


# ---------------------------------------------------------------------------------------------
# Constraints.

@pytest.fixture
def model(engine):
    m = LinearModel()
    x = m.get_variable("x", VariableType.REAL, i=3)
    k = m.get_variable("k", VariableType.INTEGER, 0, 9, i=3)
    del engine.solvers[0].calls[:]
    return m, x, k


@pytest.mark.parametrize("build,kwargs,lo,up", [
    (lambda x: (x[0] + 2) == 5, {}, 3, 3),
    (lambda x: x[0] + 2, {}, -inf, inf),
    (lambda x: (x[0] - 1) >= 0, {"upper_bound": 4}, 1, 5),
    (lambda x: x[0] + 2, {"equation_bound": 0}, -2, -2),
    (lambda x: x[0] + 2, {"lower_bound": 1, "equation_bound": 7}, 5, 5),
    (lambda x: x[1] * 2 + x[2], {"lower_bound": 1, "upper_bound": 4}, 1, 4),
], ids=["equal", "free", "row-and-argument", "false-equation", "equation-wins", "arguments"])
def test_add_constraint_moves_bounds_by_the_constant(model, build, kwargs, lo, up):
    m, x, _ = model
    row = build(x)
    m.add_constraint(row, **kwargs)
    (name, (low, high, nnz, idx, vals)), = model[0]._linsolver_model.calls
    assert name == "addRow" and (low, high) == (lo, up)
    coefs = row.linear_coefficients
    assert nnz == coefs.nnz and idx is coefs.indices and vals is coefs.data


@pytest.mark.parametrize("build,kwargs", [
    (lambda x: x[0] == 1, {"equation_bound": 1}),
    (lambda x: x[0] >= 1, {"lower_bound": 0}),
    (lambda x: x[0] <= 1, {"equation_bound": 0}),
], ids=["equal-and-equation", "lower-twice", "upper-and-equation"])
def test_bound_given_twice_is_refused_before_the_engine(model, log_sink, build, kwargs):
    m, x, _ = model
    with pytest.raises(ValueError, match="^The border is set twice$"):
        m.add_constraint(build(x), **kwargs)
    assert m._linsolver_model.calls == [] and log_sink.calls == []


def test_add_constraints_one_call_for_the_block(model):
    m, _, k = model
    block = k[[2, 0, 1]] + 1
    m.add_constraints(block <= 4)
    (name, args), = m._linsolver_model.calls
    count, lo, up, nnz, starts, idx, vals = args
    mtx = block.linear_coefficients
    assert name == "addRows" and count == 3 and nnz == 3
    is_array(lo, [-inf] * 3, np.float64)
    is_array(up, [3, 3, 3], np.float64)
    assert starts is mtx.indptr and idx is mtx.indices and vals is mtx.data
    assert idx.tolist() == [5, 3, 4]


def test_add_constraints_defaults_and_equations(model):
    m, x, k = model
    eq = np.array([1.0, 2.0])
    block = k[0:2] - 3
    m.add_constraints(block, equation_bounds=eq)
    m.add_constraints(k[0:2])
    m.add_constraints(x[0:2], lower_bounds=0.5)
    (_, a), (_, b), (_, c) = m._linsolver_model.calls
    assert a[1].tolist() == [4, 5] and a[2].tolist() == [4, 5] and a[1] is not a[2]
    assert eq.tolist() == [1.0, 2.0]
    is_array(b[1], [-inf, -inf], np.float64)
    is_array(b[2], [inf, inf], np.float64)
    assert c[1].tolist() == [0.5, 0.5]


def test_add_constraints_bound_twice(model):
    m, _, k = model
    with pytest.raises(ValueError, match="^The border is set twice$"):
        m.add_constraints(k[0:2] >= 0, lower_bounds=np.zeros(2))
    assert m._linsolver_model.calls == []


@pytest.mark.parametrize("call,msg", [
    (lambda m, x: m.add_constraint(x[0:2]),
     "To add a constraint of type 'LinearExpressionsArr', the 'add_constraints' function is used."),
    (lambda m, x: m.add_constraint(3), "Unknown type <class 'int'>"),
    (lambda m, x: m.add_constraints(x[0]),
     "To add a constraint of type 'LinearExpression', the 'add_constraint' function is used."),
    (lambda m, x: m.add_constraints([1]), "Unknown type <class 'list'>"),
    (lambda m, x: m.add_constraint(x[0], lower_bound=0, equation_bound=1),
     "The border is set twice"),
    (lambda m, x: m.add_constraints(x[0:1], upper_bounds=1, equation_bounds=np.ones(1)),
     "The border is set twice"),
], ids=["block-as-row", "int-as-row", "row-as-block", "list-as-block", "equation-and-lower",
        "equation-and-upper"])
def test_checks_of_the_add_operations(model, debug, log_sink, call, msg):
    m, x, _ = model
    with pytest.raises(BuildError) as err:
        call(m, x)
    assert str(err.value) == msg
    assert log_sink.calls == [(msg, se.log_level_type.error)]
    assert m._linsolver_model.calls == []


def test_without_checks_wrong_kinds_fail_before_the_engine(model):
    m, x, _ = model
    with pytest.raises(AttributeError):
        m.add_constraint(x[0:2])
    assert m._linsolver_model.calls == []


def test_static_border_choices(monkeypatch):
    strict = LinearModel._LinearModel__set_border
    assert strict(None, None) is None and strict(1, None) == 1 and strict(None, 2) == 2
    with pytest.raises(ValueError, match="The border is set twice"):
        strict(np.zeros(2), np.zeros(2))
    assert LinearModel._set_border(1, 2) == 1
    monkeypatch.setattr(model_module, "DEBUG", "yes")
    with pytest.raises(BuildError, match="The border is set twice"):
        LinearModel._set_border(1, 2)


# ---------------------------------------------------------------------------------------------
# Objective.

def test_linear_target_replaces_the_whole_objective(model):
    m, x, k = model
    target = x[0] * 2 + k[1] + 4
    m.add_target(target, True)
    calls = m._linsolver_model.calls
    assert [c[0] for c in calls] == ["changeObjectiveSense", "changeColsCost", "passHessian",
                                     "changeColsCost"]
    assert calls[0][1] == (ObjSense.kMinimize,)
    n, cols, zeros = calls[1][1]
    assert n == 6 and cols.tolist() == list(range(6)) and zeros.tolist() == [0.0] * 6
    dim, count, fmt, starts, idx, vals = calls[2][1]
    assert (dim, count, fmt) == (6, 0, HessianFormat.kTriangular)
    assert starts.tolist() == [0] * 7 and idx.size == 0 and vals.size == 0
    coefs = target.linear_coefficients
    assert calls[3][1] == (coefs.nnz, coefs.indices, coefs.data)


@pytest.mark.parametrize("flag,sense", [(0, "kMaximize"), ("", "kMaximize"), (None, "kMaximize"),
                                        (2, "kMinimize")], ids=["zero", "empty", "none", "two"])
def test_sense_by_truth_value(model, flag, sense):
    m, x, _ = model
    m.add_target(x[0], flag)
    assert m._linsolver_model.calls[0][1] == (getattr(ObjSense, sense),)


def test_quadratic_part_goes_as_hessian(engine):
    m = LinearModel()
    x = m.get_variable("x", VariableType.REAL, i=3)
    m.add_target(x[0] * x[1], True)
    assert engine.solver_ops()[-4:] == ["changeColsCost", "passHessian", "changeColsCost",
                                   "passHessian"]
    dim, count, fmt, starts, idx, vals = engine.solver_calls()[-1][1]
    # x0 * x1 = 1/2 x'Hx with H[0,1] = H[1,0] = 1.
    assert (dim, count) == (3, 2) and starts.tolist() == [0, 1, 2, 2]
    assert idx.tolist() == [1, 0] and vals.tolist() == [1.0, 1.0]


def test_quadratic_part_widened_to_later_columns(engine, monkeypatch):
    monkeypatch.setattr(VariableArray, "_total_created_variables", 0)
    m = LinearModel()
    x = m.get_variable("x", VariableType.REAL, i=2)
    target = x[0] * x[0] - x[0] * 2
    assert target.quadratic_coefficients.shape == (2, 2)
    m.get_variable("y", VariableType.REAL, i=3)
    m.add_target(target, True)
    dim, count, _, starts, idx, vals = engine.solver_calls()[-1][1]
    assert (dim, count) == (5, 1) and starts.tolist() == [0, 1, 1, 1, 1, 1]
    assert idx.tolist() == [0] and vals.tolist() == [2.0]


def test_quadratic_part_cut_to_the_models_columns(engine):
    m = LinearModel()
    x = m.get_variable("x", VariableType.REAL, i=2)
    LinearModel().get_variable("other", VariableType.REAL, i=4)
    target = x[1] * x[1]
    assert target.quadratic_coefficients.shape[0] > 2
    m.add_target(target, False)
    dim, count, _, starts, idx, vals = m._linsolver_model.calls[-1][1]
    assert (dim, count) == (2, 1) and starts.tolist() == [0, 0, 1]
    assert idx.tolist() == [1] and vals.tolist() == [2.0]


def test_target_on_foreign_columns_is_refused(log_sink):
    m = LinearModel()
    m.get_variable("x", VariableType.REAL, i=2)
    other = LinearModel()
    other.get_variable("pad", VariableType.REAL, i=2)
    y = other.get_variable("y", VariableType.REAL, i=2)
    before = list(log_sink.calls)
    msg = "Variable y belongs to another model"
    for target in (y[1] * y[1], y[0] + 1):
        with pytest.raises(BuildError, match=f"^{msg}$"):
            m.add_target(target, True)
    assert log_sink.calls[len(before):] == [(msg, se.log_level_type.error)] * 2
    # A row made from arrays directly records no variable: its columns are checked.
    wide = VariableArray._total_created_variables
    direct = LinearExpression(linear_coefficients=csr_array(([1.0], ([3],)), shape=(wide,)))
    msg = "The target refers to columns that this model does not hold"
    with pytest.raises(BuildError, match=f"^{msg}$"):
        m.add_target(direct, True)


def test_target_check_under_debug_before_the_sense(model, debug, log_sink):
    m, x, _ = model
    with pytest.raises(BuildError, match="^Unknown type <class 'int'> for target$"):
        m.add_target(3, True)
    assert m._linsolver_model.calls == []


# ---------------------------------------------------------------------------------------------
# Solving and results.

def test_solve_without_start_values(model, engine):
    m, x, k = model
    engine.solution = Solution([0.5, 1.5, 2.5, 0.9999999, 2.9999999, -1.5])
    assert m.solve() is SolutionStatus.OPTIMAL
    assert engine.solver_ops() == ["run"]
    assert m.objective_value == 5.0
    is_array(m.get_result("x"), [0.5, 1.5, 2.5], np.float64)
    is_array(m.get_result("k"), [0, 2, -1], np.int32)
    assert m.get_linsolver_solution() is m._solution


def test_start_values_and_growth(engine):
    m = LinearModel()
    m.get_variable("x", VariableType.REAL, i=2, j=3)
    m.get_variable("z", VariableType.REAL, i=2)
    with pytest.raises(KeyError):
        m.set_solution("missing", np.ones(2))
    assert m._prev_solution is None
    m.set_solution("x", np.arange(6).reshape(2, 3))
    with pytest.raises(ValueError):
        m.set_solution("z", np.ones(3))
    assert m._prev_solution.tolist() == [0, 1, 2, 3, 4, 5, 0, 0]
    m.get_variable("w", VariableType.REAL)
    m.set_solution("w", 7)
    m.solve()
    (setsol, (start,)), run = engine.solver_calls()[-2:]
    assert setsol == "setSolution" and run == ("run", ())
    is_array(start.col_value, [0, 1, 2, 3, 4, 5, 0, 0, 7], np.float64)
    assert start.col_value is m._prev_solution


def test_start_vector_grows_before_it_reaches_the_engine(engine):
    m = LinearModel()
    m.get_variable("x", VariableType.REAL, i=2)
    m.set_solution("x", [1, 2])
    m.get_variable("y", VariableType.REAL, i=2)
    m.solve()
    assert engine.solver_calls()[-2][1][0].col_value.tolist() == [1, 2, 0, 0]


@pytest.mark.parametrize("status,valid,expected", [
    ("kTimeLimit", True, SolutionStatus.SUBOPTIMAL),
    ("kTimeLimit", False, SolutionStatus.INFEASIBLE),
    ("kInfeasible", True, SolutionStatus.INFEASIBLE),
], ids=["time-limit-valid", "time-limit-invalid", "infeasible"])
def test_status_mapping(model, engine, log_sink, status, valid, expected):
    m, _, _ = model
    engine.status = getattr(LinsolverModelStatus, status)
    engine.solution.value_valid = valid
    assert m.solve() is expected
    warnings = log_sink.at("warning")
    if expected is SolutionStatus.SUBOPTIMAL:
        assert warnings == ["Solution is suboptimal due to a time limit, but a primal solution "
                            "is available"]
        assert m.objective_value == 5.0
    else:
        assert warnings == ["The model was not solved correctly"]
        assert m.get_linsolver_solution() is m._solution
        msg = "There is no solution to the problem. Run 'solve' to find it"
        for read in (lambda: m.objective_value, lambda: m.get_result("x")):
            with pytest.raises(SolverError, match=f"^{msg}$"):
                read()


def test_failed_solve_keeps_the_earlier_results(model, engine, log_sink):
    m, _, _ = model
    engine.solution = Solution([1, 2, 3, 4, 5, 6])
    m.solve()
    first = m._solution
    engine.solution = Solution([1, 2, 3, 4, 5, 6])
    engine.status = LinsolverModelStatus.kInfeasible
    engine.objective = 99.0
    with pytest.raises(SolverError, match="^The model was not solved correctly$"):
        m.solve(is_feasible=True)
    assert log_sink.at("error") == ["The model was not solved correctly"]
    assert m.objective_value == 5.0 and m.get_result("x").tolist() == [1, 2, 3]
    assert m.get_linsolver_solution() is not first


def test_readers_before_any_solve(model, log_sink):
    m, _, _ = model
    msg = "There is no solution to the problem. Run 'solve' to find it"
    for read in (lambda: m.objective_value, m.get_linsolver_solution, lambda: m.get_result("x")):
        with pytest.raises(SolverError, match=f"^{msg}$"):
            read()
    assert log_sink.at("error") == [msg] * 3


def test_write_model_creates_parents(model, tmp_path, monkeypatch):
    m, _, _ = model
    monkeypatch.chdir(tmp_path)
    m.write_model("a/b/model.mps")
    m.write_model(pathlib.Path("c") / "m.lp")
    assert (tmp_path / "a" / "b").is_dir() and (tmp_path / "c").is_dir()
    assert m._linsolver_model.calls[-2:] == [("writeModel", ("a/b/model.mps",)),
                                             ("writeModel", ("c/m.lp",))]


def test_engine_is_looked_up_at_each_use(monkeypatch):
    first, second = RecordingLinsolver(), RecordingLinsolver()
    monkeypatch.setattr(model_module, "linsolver", first)
    m = LinearModel()
    monkeypatch.setattr(model_module, "linsolver", second)
    m.get_variable("b", VariableType.BINARY, i=1)
    types = first.solver_calls()[-1][1][2]
    assert types.tolist() == [second.LinsolverVarType.kInteger]


# ---------------------------------------------------------------------------------------------
# Rows, blocks and targets hold only their own model's variables, and a refused call changes
# nothing: the model then hands the engine exactly the calls of a model that never saw it.

def comparable(calls):
    """Engine calls with their array arguments as plain lists (dtypes kept)."""
    out = []
    for name, args in calls:
        out.append((name, tuple((a.dtype.str, a.tolist()) if isinstance(a, np.ndarray) else a
                                for a in args)))
    return out


def build(m, x, k):
    m.add_constraint(x[0] + x[1] * 2 <= 4)
    m.add_constraints(k[[0, 1]] - x[[2, 2]] >= np.array([-1.0, 0.0]))
    m.add_target(x[0] + k[2] * 3, True)


def twin_models(engine):
    """Two models of the same arrays, each with its own solver in the recording engine."""
    made = []
    for _ in range(2):
        m = LinearModel()
        made.append((m, m.get_variable("x", VariableType.REAL, 0, 5, i=3),
                     m.get_variable("k", VariableType.INTEGER, 0, 9, i=3)))
    return made


FOREIGN = [
    ("row", lambda m, own, other: m.add_constraint(other[2] <= 1)),
    ("same-column-other-name", lambda m, own, other: m.add_constraint(other[0] + 1 >= 0)),
    ("mixed-row", lambda m, own, other: m.add_constraint(own[0] + other[2] <= 1)),
    ("mixed-product", lambda m, own, other: m.add_target(own[0] * other[1], True)),
    ("block", lambda m, own, other: m.add_constraints(other[:] <= 1)),
    ("mixed-block", lambda m, own, other: m.add_constraints(own[0:2] - other[[1, 2]] == 0)),
    ("folded-block", lambda m, own, other: m.add_constraint(sumexp(own[:] + other[:]) <= 3)),
    ("target", lambda m, own, other: m.add_target(dot(other[:], np.ones(3)), False)),
]


@pytest.mark.parametrize("other_name", ["x", "v"], ids=["same-name", "other-name"])
@pytest.mark.parametrize("call", [c for _, c in FOREIGN], ids=[n for n, _ in FOREIGN])
def test_another_models_variables_are_refused_before_the_engine(engine, log_sink, call,
                                                                 other_name):
    (m, x, k), (clean, cx, ck) = twin_models(engine)
    other_model = LinearModel()
    other = other_model.get_variable(other_name, VariableType.REAL, 0, 5, i=3)
    assert other._shift == x._shift  # the same column numbers in either model
    before = list(m._linsolver_model.calls)
    with pytest.raises(BuildError) as err:
        call(m, x, other)
    msg = f"Variable {other_name} belongs to another model"
    assert str(err.value) == msg and log_sink.at("error") == [msg]
    assert m._linsolver_model.calls == before
    build(m, x, k)
    build(clean, cx, ck)
    assert comparable(m._linsolver_model.calls) == comparable(clean._linsolver_model.calls)


def test_an_array_made_outside_any_model_is_foreign(engine, log_sink):
    m = LinearModel()
    x = m.get_variable("x", VariableType.REAL, i=3)
    loose = VariableArray("x", (3,), 0, 1, np.float64, 0)
    with pytest.raises(BuildError, match="^Variable x belongs to another model$"):
        m.add_constraint(loose[1] + x[0] <= 1)


BAD_CALLS = [
    ("nan-lower", lambda m, x, k: m.add_constraint(x[0], lower_bound=float("nan")), ValueError,
     "Lower bound must be a number, not nan"),
    ("nan-equation", lambda m, x, k: m.add_constraint(x[0], equation_bound=np.float64("nan")),
     ValueError, "Equation bound must be a number, not nan"),
    ("complex-upper", lambda m, x, k: m.add_constraint(x[0], upper_bound=1j), TypeError,
     "Upper bound must be a real number, not complex: 1j"),
    ("text-upper", lambda m, x, k: m.add_constraint(x[0], upper_bound="5"), TypeError,
     "Upper bound must be a real number, not str"),
    ("array-lower", lambda m, x, k: m.add_constraint(x[0], lower_bound=np.zeros(2)), TypeError,
     "Lower bound must be a real number, not numpy.ndarray"),
    ("nan-bound-vector", lambda m, x, k: m.add_constraints(
        k[0:2], upper_bounds=np.array([1.0, np.nan])), ValueError,
     "Upper bound must be a number, not nan"),
    ("complex-bound-vector", lambda m, x, k: m.add_constraints(
        k[0:2], lower_bounds=np.array([1j, 0])), TypeError,
     "Lower bound must be a real number, not complex: 1j"),
    ("bound-vector-of-another-shape", lambda m, x, k: m.add_constraints(
        k[0:2], lower_bounds=np.zeros((2, 1))), ValueError,
     "could not broadcast input array from shape (2,1) into shape (2,)"),
    ("two-bounds-for-three-rows", lambda m, x, k: m.add_constraints(
        k[0:3], upper_bounds=np.array([1.0, 2.0])), ValueError,
     "could not broadcast input array from shape (2,) into shape (3,)"),
    ("nan-in-a-row-made-directly", lambda m, x, k: m.add_constraint(LinearExpression(
        csr_array(([np.nan], ([1],)), shape=(VariableArray._total_created_variables,))) <= 1),
     ValueError, "Coefficient must be a finite number, not nan"),
    ("columns-past-the-model", lambda m, x, k: m.add_constraint(LinearExpression(
        csr_array(([1.0], ([7],)), shape=(VariableArray._total_created_variables + 9,))) <= 1),
     BuildError, "The constraint refers to columns that this model does not hold"),
    ("target-past-the-model", lambda m, x, k: m.add_target(LinearExpression(
        csr_array(([1.0], ([7],)), shape=(VariableArray._total_created_variables + 9,))), False),
     BuildError, "The target refers to columns that this model does not hold"),
    ("border-twice", lambda m, x, k: m.add_constraint(x[0] <= 1, upper_bound=2), ValueError,
     "The border is set twice"),
]


@pytest.mark.parametrize("call,exc,msg", [c[1:] for c in BAD_CALLS], ids=[c[0] for c in BAD_CALLS])
def test_a_refused_call_changes_nothing(engine, log_sink, call, exc, msg):
    (m, x, k), (clean, cx, ck) = twin_models(engine)
    m.add_constraint(x[2] >= 1)
    clean.add_constraint(cx[2] >= 1)
    with pytest.raises(exc) as err:
        call(m, x, k)
    assert type(err.value) is exc and str(err.value) == msg
    build(m, x, k)
    build(clean, cx, ck)
    assert comparable(m._linsolver_model.calls) == comparable(clean._linsolver_model.calls)


BOUNDS_THAT_DO_NOT_SPREAD = [
    ("lower", lambda m, x: m.add_constraints(x[[0, 1, 2, 0]] * 2.0, lower_bounds=np.zeros(2))),
    ("upper-list", lambda m, x: m.add_constraints(x[0:3] + 1, upper_bounds=[1, 2, 3, 4])),
    ("equation", lambda m, x: m.add_constraints(x[[2, 1, 0, 1]],
                                                equation_bounds=np.array([1.0, 2.0]))),
    ("a-column", lambda m, x: m.add_constraints(x[0:3] >= 0, upper_bounds=np.ones((3, 1)))),
]


@pytest.mark.parametrize("call", [c for _, c in BOUNDS_THAT_DO_NOT_SPREAD],
                         ids=[n for n, _ in BOUNDS_THAT_DO_NOT_SPREAD])
def test_bound_vectors_numpy_cannot_spread_over_the_rows_fail_with_its_error(engine, log_sink,
                                                                           call):
    (m, x, k), (clean, cx, ck) = twin_models(engine)
    with pytest.raises(ValueError) as err:
        call(m, x)
    # numpy's own error, as it refuses to spread the values over one bound per row.
    assert type(err.value) is ValueError
    assert str(err.value).startswith("could not broadcast input array from shape")
    assert log_sink.at("error") == []
    assert "addRows" not in [name for name, _ in m._linsolver_model.calls]
    build(m, x, k)
    build(clean, cx, ck)
    assert comparable(m._linsolver_model.calls) == comparable(clean._linsolver_model.calls)
    # The block's comparison keeps its own refusal.
    with pytest.raises(FormulaError, match="^The size of the border must match the number of "
                                           "constraints.$"):
        x[[0, 1, 2, 0]] >= np.zeros(2)


def test_numpy_bounds_reach_the_engine_as_the_same_host_numbers(engine):
    (m, x, k), (clean, cx, ck) = twin_models(engine)
    m.add_constraint((x[0] + np.float64(0.5)) <= np.int64(4), lower_bound=np.float32(0.25))
    m.add_constraints(k[0:2] + np.int32(1), lower_bounds=np.int8(-1),
                      upper_bounds=np.array([3, 4], dtype=np.int16))
    m.add_constraints(k[1:3], equation_bounds=np.float64(2))
    clean.add_constraint((cx[0] + 0.5) <= 4, lower_bound=0.25)
    clean.add_constraints(ck[0:2] + 1, lower_bounds=-1, upper_bounds=np.array([3.0, 4.0]))
    clean.add_constraints(ck[1:3], equation_bounds=np.array([2.0, 2.0]))
    assert comparable(m._linsolver_model.calls) == comparable(clean._linsolver_model.calls)
    (_, (low, high, *_)) = m._linsolver_model.calls[-3]
    assert (type(low), low, type(high), high) == (float, -0.25, float, 3.5)


def test_integer_coefficients_past_int32_reach_the_engine_exactly(engine):
    m = LinearModel()
    w = m.get_variable("w", VariableType.INTEGER, 0, 10, i=2)
    m.add_constraint(w[0] * 50000 * 60000 >= 12_000_000_000)
    m.add_constraints((w[[0, 1]] + 2**30) + 2**30 <= 2**32)
    (_, (low, high, nnz, idx, vals)), (_, (count, lows, ups, *_, data)) = \
        m._linsolver_model.calls[-2:]
    assert vals.dtype == np.int64 and vals.tolist() == [3_000_000_000]
    assert (low, high) == (12_000_000_000, inf)
    assert ups.tolist() == [2.0**31, 2.0**31] and data.dtype == np.int32


def test_bound_sequences_and_one_bound_for_every_row(engine):
    (m, x, k), (clean, cx, ck) = twin_models(engine)
    m.add_constraints(k[0:2] + 1, lower_bounds=[1, 2], upper_bounds=np.array([7]))
    clean.add_constraints(ck[0:2] + 1, lower_bounds=np.array([1.0, 2.0]),
                          upper_bounds=np.array([7.0, 7.0]))
    assert comparable(m._linsolver_model.calls) == comparable(clean._linsolver_model.calls)
    (_, (_, lows, ups, *_)), = m._linsolver_model.calls[-1:]
    assert lows.tolist() == [0.0, 1.0] and ups.tolist() == [6.0, 6.0]


def test_rows_of_element_references_reach_the_engine_as_their_matrices_would(engine):
    """Rows that indexing and single-row arithmetic keep as plain rows hand addRow the same
    arrays (values, dtypes) as the same rows made by the constructor from csr_arrays, whether the
    program read the coefficients first or not."""
    seed = fresh_seed()
    rng = random.Random(seed)
    m = LinearModel()
    x = m.get_variable("x", VariableType.REAL, i=6)
    k = m.get_variable("k", VariableType.INTEGER, 0, 9, i=6)
    n = VariableArray._total_created_variables

    def twin(v, i):
        row = csr_array(((v.type(1),), ((i + v._shift,),)), shape=(n,))
        return LinearExpression(linear_coefficients=row)

    for _ in range(60):
        terms = [(rng.choice([x, k]), rng.randrange(6),
                  rng.choice([2, -1, 0.5, np.float64(1.5), 2**31, np.int32(3)]))
                 for _ in range(rng.randint(1, 4))]
        got = sum((v[i] * c for v, i, c in terms), 0) + 1
        want = sum((twin(v, i) * c for v, i, c in terms), 0) + 1
        if rng.random() < 0.3:
            got.linear_coefficients
        del engine.solvers[0].calls[:]
        m.add_constraint(got <= 4)
        (_, (low, high, nnz, idx, vals)), = engine.solver_calls()
        coefs = want.linear_coefficients
        assert (low, high, nnz) == (-inf, 3, coefs.nnz)
        for a, b in ((idx, coefs.indices), (vals, coefs.data)):
            assert same_bits(a, b)


@pytest.mark.parametrize("cls", [SolutionStatus, VariableType], ids=lambda c: c.__name__)
def test_enumerations_pickle_and_look_up_as_module_members(cls):
    import pickle

    assert cls.__qualname__ == cls.__name__
    for m in cls:
        assert pickle.loads(pickle.dumps(m)) is m
        assert cls(m.value) is m and cls[m.name] is m


@pytest.mark.parametrize("field", ["_variables", "_solution", "_linsolver_model"])
def test_a_model_in_a_cycle_through_its_fields_is_collected(field):
    import gc
    import weakref

    class Holder:
        pass

    def cycle():
        holder, m = Holder(), LinearModel()
        holder.model = m
        setattr(m, field, holder)
        return weakref.ref(holder)

    ref = cycle()
    gc.collect()
    assert ref() is None
