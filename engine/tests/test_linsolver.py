"""The linsolver module: a linear, quadratic and mixed-integer solver on HiGHS, judged by the
meaning of its results (vertex enumeration, brute force, known optima, HiGHS reading back the
written file)."""

import enum
import fractions
import itertools
import json
import random
import subprocess
import sys

import highspy
import numpy as np
import pytest
import scipy.sparse as sp

import nubrix.sorn_engine as se
from nubrix.sorn_engine import linsolver as ls
from support.oracles import vertex_optimum
from support.qp_cases import (QP_CASES, direct_highs, first_generation_columns, objective_parts,
                              optimum, second_generation_columns)

inf = ls.kLinsolverInf
INTEGER = ls.LinsolverVarType.kInteger
Status = ls.LinsolverModelStatus
TOL = 1e-6


def solver(**options):
    s = ls.LinearSolver()
    s.setOptionValue("log_to_console", False)
    for name, value in options.items():
        s.setOptionValue(name, value)
    return s


def add_integer_cols(s, n, lo, hi):
    first = s.getNumCol()
    s.addVars(n, np.full(n, lo, dtype=np.int32), np.full(n, hi, dtype=np.int32))
    s.changeColsIntegrality(n, np.arange(first, first + n), np.full(n, fill_value=INTEGER))


def add_dense_rows(s, a, lower, upper):
    m = sp.csr_array(np.asarray(a, dtype=np.float64))
    s.addRows(m.shape[0], np.asarray(lower, dtype=np.float64), np.asarray(upper, dtype=np.float64),
              m.nnz, m.indptr, m.indices, m.data)


def solve(s):
    s.run()
    return s.getModelStatus(), s.getSolution(), s.getInfo()


def model_shape(s):
    return s.getNumCol(), s.getNumRow(), s.getNumNz()


# ---- the module's names ----


def test_module_names():
    assert ls.__name__ == "nubrix.sorn_engine.linsolver"
    assert sys.modules["nubrix.sorn_engine.linsolver"] is ls
    assert isinstance(inf, float) and inf == float("inf") and inf - 3 == inf
    for cls in (ls.LinsolverVarType, ls.ObjSense, ls.HessianFormat, ls.LinsolverModelStatus):
        assert issubclass(cls, enum.Enum) and cls.__module__ == "nubrix.sorn_engine.linsolver"
    for name in ("kOptimal", "kInfeasible", "kUnbounded", "kUnboundedOrInfeasible", "kTimeLimit",
                 "kIterationLimit", "kModelError", "kSolveError", "kNotset"):
        assert isinstance(getattr(Status, name), Status)
    assert ls.LinsolverSolution().value_valid is False
    assert len(ls.LinsolverSolution().col_value) == 0


def test_records_are_dataclasses_of_their_own():
    import dataclasses

    for cls in (ls.LinsolverSolution, ls.LinsolverInfo):
        assert dataclasses.is_dataclass(cls) and cls.__module__ == "nubrix.sorn_engine.linsolver"
    a, b = ls.LinsolverSolution(), ls.LinsolverSolution()
    assert a == a and a != b
    assert a.col_value is not b.col_value
    assert ls.LinsolverInfo().objective_function_value == 0.0


def test_fresh_solver_reports_nothing_yet():
    s = ls.LinearSolver()
    assert s.getModelStatus() == Status.kNotset
    assert not s.getSolution().value_valid
    assert model_shape(s) == (0, 0, 0)


def test_import_leaves_highspy_unloaded_until_first_use():
    code = ("import sys, nubrix.sorn_engine.linsolver as ls; s = ls.LinearSolver(); "
            "print('highspy' in sys.modules)")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "False"


# ---- optima by meaning ----


@pytest.mark.parametrize("seed", range(12))
def test_lp_optimum_matches_vertex_enumeration(seed):
    print("seed", seed)
    rng = np.random.default_rng(seed)
    n, m = 3, 3
    lo, hi = rng.integers(-3, 1, n).astype(float), rng.integers(1, 4, n).astype(float)
    a = rng.integers(-3, 4, (m, n)).astype(float)
    row_lo = np.where(rng.random(m) < 0.5, -inf, rng.integers(-4, 2, m))
    row_hi = np.where(rng.random(m) < 0.5, inf, rng.integers(0, 5, m))
    c = rng.integers(-5, 6, n).astype(float)
    maximize = bool(seed % 2)

    s = solver()
    s.addVars(n, lo, hi)
    add_dense_rows(s, a, row_lo, row_hi)
    s.changeObjectiveSense(ls.ObjSense.kMaximize if maximize else ls.ObjSense.kMinimize)
    s.changeColsCost(n, np.arange(n), c)
    status, sol, info = solve(s)

    expected = vertex_optimum(c, a, row_lo, row_hi, lo, hi, maximize=maximize)
    if expected is None:
        assert status == Status.kInfeasible
        return
    assert status == Status.kOptimal and sol.value_valid
    assert info.objective_function_value == pytest.approx(expected, abs=TOL)
    x = sol.col_value
    assert np.all(x >= lo - TOL) and np.all(x <= hi + TOL)
    assert np.all(a @ x >= row_lo - TOL) and np.all(a @ x <= row_hi + TOL)
    assert float(c @ x) == pytest.approx(expected, abs=TOL)


@pytest.mark.parametrize("seed", range(8))
def test_knapsack_optimum_matches_brute_force(seed):
    rng = random.Random(seed)
    print("seed", seed)
    n = 6
    values = [rng.randint(1, 20) for _ in range(n)]
    weights = [[rng.randint(1, 9) for _ in range(n)] for _ in range(2)]
    caps = [rng.randint(8, 25) for _ in range(2)]
    upper = 2 if seed % 2 else 1

    s = solver()
    add_integer_cols(s, n, 0, upper)
    for w, cap in zip(weights, caps):
        s.addRow(-inf, cap, n, np.arange(n), np.array(w, dtype=float))
    s.changeObjectiveSense(ls.ObjSense.kMaximize)
    for j in range(n):
        s.changeColCost(np.int64(j), np.float64(values[j]))
    status, sol, info = solve(s)

    best = max(sum(v * x for v, x in zip(values, xs))
               for xs in itertools.product(range(upper + 1), repeat=n)
               if all(sum(wi * x for wi, x in zip(w, xs)) <= cap for w, cap in zip(weights, caps)))
    assert status == Status.kOptimal
    x = sol.col_value
    # Integer columns come back as exact integers, so a truncating cast gives their value.
    assert np.array_equal(x, np.round(x))
    assert np.array_equal(x.astype(np.int32), np.round(x))
    assert info.objective_function_value == best
    assert sum(v * xi for v, xi in zip(values, x)) == best


@pytest.mark.parametrize("seed", range(20))
def test_random_integer_models_with_repeated_entries_match_brute_force(seed):
    """Rows given with repeated columns (summed), equality and two-sided rows, either sense."""
    rng = np.random.default_rng(1000 + seed)
    print("seed", 1000 + seed)
    n, m = 3, int(rng.integers(1, 4))
    lo, hi = rng.integers(-2, 1, n), rng.integers(0, 3, n)
    lengths = rng.integers(1, 6, m)
    starts = np.concatenate([[0], np.cumsum(lengths)])
    indices = rng.integers(0, n, starts[-1])
    values = rng.integers(-3, 4, starts[-1]).astype(float)
    dense = np.zeros((m, n))
    for r in range(m):
        np.add.at(dense[r], indices[starts[r]:starts[r + 1]], values[starts[r]:starts[r + 1]])
    row_lo = rng.integers(-4, 2, m).astype(float)
    row_hi = row_lo + rng.integers(0, 4, m)
    row_lo[rng.random(m) < 0.3] = -inf
    cost = rng.integers(-4, 5, n).astype(float)
    maximize = bool(rng.integers(0, 2))

    s = solver()
    s.addVars(n, lo, hi)  # int64 bounds
    s.changeColsIntegrality(n, np.arange(n), np.full(n, fill_value=INTEGER))
    s.addRows(m, row_lo, row_hi, len(indices), starts, indices, values)
    s.changeObjectiveSense(ls.ObjSense.kMaximize if maximize else ls.ObjSense.kMinimize)
    s.changeColsCost(n, np.arange(n), cost)
    status, sol, info = solve(s)

    points = [np.array(p, dtype=float)
              for p in itertools.product(*[range(a, b + 1) for a, b in zip(lo, hi)])]
    feasible = [p for p in points if np.all(dense @ p >= row_lo) and np.all(dense @ p <= row_hi)]
    if not feasible:
        assert status == Status.kInfeasible
        return
    best = (max if maximize else min)(float(cost @ p) for p in feasible)
    assert status == Status.kOptimal
    assert info.objective_function_value == best
    x = sol.col_value
    assert np.array_equal(x, np.round(x)) and float(cost @ x) == best
    assert np.all(dense @ x >= row_lo - TOL) and np.all(dense @ x <= row_hi + TOL)


def quadratic_solver(h, fmt=ls.HessianFormat.kTriangular, lo=1.0, hi=2.0, c=None):
    n = h.shape[0]
    s = solver()
    s.addVars(n, np.full(n, lo), np.full(n, hi))
    if c is not None:
        s.changeColsCost(n, np.arange(n), np.asarray(c, dtype=float))
    q = sp.csc_array(h)
    s.passHessian(n, q.size, fmt, q.indptr, q.indices, q.data)
    return s


@pytest.mark.parametrize("fmt", [ls.HessianFormat.kTriangular, ls.HessianFormat.kSquare],
                         ids=["triangular", "square"])
def test_convex_qp_with_cross_terms(fmt):
    # min x0^2 + x0*x1 + x1^2 on [1, 2]^2: 1/2 x'Hx with H = [[2, 1], [1, 2]], both triangles
    # stored as callers pass them.
    status, sol, info = solve(quadratic_solver(np.array([[2.0, 1.0], [1.0, 2.0]]), fmt))
    assert status == Status.kOptimal
    assert info.objective_function_value == pytest.approx(3.0, abs=TOL)
    assert sol.col_value == pytest.approx([1.0, 1.0], abs=1e-5)


def test_qp_with_linear_part_and_row():
    # (x0 - 1)^2 + (x1 - 2)^2 - 5 = x0^2 + x1^2 - 2 x0 - 4 x1, with x0 + x1 <= 2: the nearest
    # point of the half plane is (0.5, 1.5), value 0.5 - 5.
    s = quadratic_solver(2 * np.eye(2), lo=-10, hi=10, c=[-2.0, -4.0])
    s.addRow(-inf, 2, 2, np.array([0, 1]), np.array([1.0, 1.0]))
    status, sol, info = solve(s)
    assert status == Status.kOptimal
    assert sol.col_value == pytest.approx([0.5, 1.5], abs=1e-5)
    assert info.objective_function_value == pytest.approx(-4.5, abs=1e-6)


def test_objective_value_is_evaluated_at_the_returned_point():
    s = quadratic_solver(np.array([[4.0, 1.0], [1.0, 2.0]]), lo=-3, hi=3, c=[1.0, -1.0])
    status, sol, info = solve(s)
    x = sol.col_value
    h = np.array([[4.0, 1.0], [1.0, 2.0]])
    assert status == Status.kOptimal
    assert info.objective_function_value == pytest.approx(
        np.dot([1.0, -1.0], x) + 0.5 * x @ h @ x, abs=1e-12)


def test_hessian_cleared_by_empty_pass_and_dimension_below_columns():
    s = quadratic_solver(np.array([[2.0]]), lo=-1, hi=1, c=[1.0])
    assert solve(s)[2].objective_function_value == pytest.approx(-0.25, abs=TOL)
    s.addVars(1, np.array([0.0]), np.array([1.0]))  # a column beyond the quadratic part
    s.changeColCost(1, -1.0)
    assert solve(s)[2].objective_function_value == pytest.approx(-1.25, abs=TOL)
    s.passHessian(2, 0, ls.HessianFormat.kTriangular, np.zeros(3, dtype=np.int32),
                  np.array([], dtype=np.int32), np.array([]))
    status, sol, info = solve(s)
    assert status == Status.kOptimal and info.objective_function_value == pytest.approx(-2.0)


@pytest.mark.parametrize("width", [1, 2, 4], ids=["narrower", "square", "wider"])
def test_hessian_of_another_width_than_its_dimension(width):
    # Rows built for more (or fewer) columns than the model has give a matrix of that width;
    # its entries, all within the model's columns, are what counts.
    h = np.zeros((width, width))
    h[0, 0] = 2.0
    q = sp.csc_array(h)
    s = solver()
    s.addVars(2, np.array([-1.0, 0.0]), np.array([1.0, 1.0]))
    s.changeColsCost(2, np.arange(2), np.array([1.0, -1.0]))
    s.passHessian(2, q.size, ls.HessianFormat.kTriangular, q.indptr, q.indices, q.data)
    status, sol, info = solve(s)
    assert status == Status.kOptimal
    assert info.objective_function_value == pytest.approx(-1.25, abs=TOL)


@pytest.mark.parametrize("fmt, expected", [
    (ls.HessianFormat.kSquare, 3.0),      # x'Hx = 2 x0^2 + 2 x0 x1 + 2 x1^2
    (ls.HessianFormat.kTriangular, 2.0),  # the lower triangle: 2 x0^2 + 2 x1^2
], ids=["square", "triangular"])
def test_non_symmetric_matrix_read_by_format(fmt, expected):
    status, _, info = solve(quadratic_solver(np.array([[2.0, 2.0], [0.0, 2.0]]), fmt))
    assert status == Status.kOptimal
    assert info.objective_function_value == pytest.approx(expected, abs=TOL)


def test_strict_upper_triangle_is_ignored_under_triangular():
    # Only the lower triangle counts: an upper entry alone changes nothing.
    h = sp.csc_array(np.array([[2.0, 5.0], [0.0, 2.0]]))
    s = quadratic_solver(h.toarray())
    assert solve(s)[2].objective_function_value == pytest.approx(2.0, abs=TOL)


@pytest.mark.parametrize("seed", range(6))
def test_hessian_given_in_any_order_with_repeats(seed):
    # Entries out of order within their columns and split into repeated pieces give the same
    # model as the clean lower triangle.
    print(f"seed {seed}")
    rng = np.random.default_rng(seed)
    n = int(rng.integers(2, 12))
    b = rng.normal(size=(n, n))
    h = b.T @ b + np.eye(n)
    c = rng.normal(size=n) * 4
    cols, rows, vals = [], [], []
    for j in range(n):
        entries = []
        for i in range(n):
            if rng.random() < 0.5:
                part = rng.normal()
                entries += [(i, part), (i, h[i, j] - part)]
            else:
                entries.append((i, h[i, j]))
        rng.shuffle(entries)
        for i, v in entries:
            cols.append(j)
            rows.append(i)
            vals.append(v)
    starts = np.searchsorted(cols, np.arange(n + 1))
    s = solver()
    s.addVars(n, np.full(n, -1.0), np.full(n, 1.0))
    s.changeColsCost(n, np.arange(n), c)
    s.passHessian(n, len(vals), ls.HessianFormat.kTriangular, starts, np.array(rows),
                  np.array(vals))
    status, sol, info = solve(s)
    ref = quadratic_solver(h, lo=-1.0, hi=1.0, c=c)
    ref_status, ref_sol, ref_info = solve(ref)
    assert status == ref_status == Status.kOptimal
    assert info.objective_function_value == pytest.approx(ref_info.objective_function_value,
                                                          abs=1e-9)
    assert sol.col_value == pytest.approx(ref_sol.col_value, abs=1e-6)


# ---- quadratic models with columns that nothing reads ----


def run_isolated(code):
    """Runs code in a fresh interpreter and gives back the JSON it prints last: a run that HiGHS's
    QP solver cycles in fails the test at the timeout instead of hanging the suite."""
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 0, done.stderr[-1500:]
    return json.loads(done.stdout.strip().splitlines()[-1])


# min 3 x + 2 y0 + 4 x^2 subject to 3 x - 3 y0 <= -12, x in [-2, 4], y in [-2.5, 3.5]: y1, when
# there, has no cost, no quadratic term and no row (or, with extra_row, a row that never binds).
# Run here and in fresh interpreters alike.
CYCLING_QP = r"""
import json
import numpy as np
from nubrix.sorn_engine import linsolver as ls

def solve_cycling_qp(n, extra_row=False, **options):
    s = ls.LinearSolver()
    s.setOptionValue("log_to_console", False)
    for name, value in options.items():
        s.setOptionValue(name, value)
    s.addVars(1, np.array([-2.0]), np.array([4.0]))
    s.addVars(n, np.full(n, -2.5), np.full(n, 3.5))
    s.addRow(-ls.kLinsolverInf, -12, 2, np.array([0, 1]), np.array([3.0, -3.0]))
    if extra_row:
        s.addRow(-ls.kLinsolverInf, 10, 1, np.array([2]), np.array([1.0]))
    s.changeColsCost(2, np.array([0, 1]), np.array([3.0, 2.0]))
    s.passHessian(1 + n, 1, ls.HessianFormat.kTriangular, np.array([0] + [1] * (1 + n)),
                  np.array([0]), np.array([8.0]))
    s.run()
    sol, info = s.getSolution(), s.getInfo()
    return {"status": s.getModelStatus().name, "objective": info.objective_function_value,
            "iterations": info.qp_iteration_count, "col_value": sol.col_value.tolist(),
            "col_dual": sol.col_dual.tolist(), "row_value": sol.row_value.tolist(),
            "row_dual": sol.row_dual.tolist()}
"""


def test_qp_with_a_column_that_nothing_reads_ends_as_without_it():
    without, with_idle = run_isolated(
        CYCLING_QP + "print(json.dumps([solve_cycling_qp(1), solve_cycling_qp(2)]))")
    assert without["status"] == with_idle["status"] == "kOptimal"
    assert with_idle["objective"] == pytest.approx(6.4375, abs=1e-6)
    assert with_idle["objective"] == without["objective"]
    assert with_idle["col_value"] == without["col_value"] + [0.0]  # y1 at its point nearest 0
    assert with_idle["col_dual"] == without["col_dual"] + [0.0]
    assert with_idle["row_value"] == without["row_value"]
    assert with_idle["row_dual"] == without["row_dual"]
    # HiGHS itself on the model without y1
    h = highspy.Highs()
    h.setOptionValue("output_flag", False)
    h.addVars(2, np.array([-2.0, -2.5]), np.array([4.0, 3.5]))
    h.addRow(-inf, -12, 2, np.array([0, 1], dtype=np.int32), np.array([3.0, -3.0]))
    h.changeColsCost(2, np.array([0, 1], dtype=np.int32), np.array([3.0, 2.0]))
    h.passHessian(2, 1, 1, np.array([0, 1, 1], dtype=np.int32), np.array([0], dtype=np.int32),
                  np.array([8.0]))
    h.run()
    assert h.getModelStatus() == highspy.HighsModelStatus.kOptimal
    assert with_idle["col_value"][:2] == pytest.approx(list(h.getSolution().col_value), abs=1e-9)


LIBRARY_CYCLING_QP = {
    "second generation": r"""
from zk_encoder.linear_parser2 import LinearModel, VariableType
model = LinearModel()
x = model.get_variable("x", VariableType.REAL, -2, 4)
y = model.get_variable("y", VariableType.REAL, -2.5, 3.5, n=2)
model.add_constraint(x[0] * 3 - y[0] * 3 <= -12)
model.add_target(x[0] * 3 + y[0] * 2 + x[0] * x[0] * 4, minimization=True)
""",
    "first generation": r"""
from zk_encoder import LinearModel, VariableType
model = LinearModel()
x = model.get_variables("x", VariableType.REAL, lo=-2, hi=4, n=1)
y = model.get_variables("y", VariableType.REAL, lo=-2.5, hi=3.5, n=2)
model.add_constraint(x[0] * 3 - y[0] * 3 <= -12)
model.add_target(x[0] * 3 + y[0] * 2 + x[0] * x[0] * 4, True)
""",
}


@pytest.mark.parametrize("build", LIBRARY_CYCLING_QP.values(), ids=LIBRARY_CYCLING_QP.keys())
def test_library_qp_with_an_unused_element_solves(build):
    status, objective, x, y = run_isolated(
        "import json\n" + build + "status = model.solve()\n"
        "print(json.dumps([status.name, model.objective_value, "
        "model.get_result('x').ravel().tolist(), model.get_result('y').tolist()]))\n")
    assert status == "OPTIMAL"
    assert objective == pytest.approx(6.4375, abs=1e-6)
    assert x == pytest.approx([-0.625], abs=1e-6)
    assert y[0] == pytest.approx(3.375, abs=1e-6) and y[1] == 0.0


def test_qp_that_still_cycles_ends_at_an_iteration_limit():
    # y1 is read by a row that never binds: it is not idle, and HiGHS cycles on it as well.
    out = run_isolated(CYCLING_QP + "print(json.dumps(solve_cycling_qp(2, extra_row=True)))")
    assert out["status"] == "kIterationLimit"
    assert 0 < out["iterations"] <= 1000


@pytest.mark.parametrize("limit", [50, 2500], ids=["below-ours", "above-ours"])
def test_programs_own_qp_iteration_limit_wins(limit):
    names = {}
    exec(CYCLING_QP, names)
    out = names["solve_cycling_qp"](2, extra_row=True, qp_iteration_limit=limit)
    assert out["status"] == "kIterationLimit" and out["iterations"] == limit


# (lower, upper) of an idle column and the value it takes.
IDLE_BOUNDS = {
    "free": (-inf, inf, 0.0), "box around 0": (-1.0, 3.0, 0.0), "above 0": (1.0, 2.5, 1.0),
    "below 0": (-4.0, -1.5, -1.5), "up to -2": (-inf, -2.0, -2.0), "from 0.5": (0.5, inf, 0.5),
    "fixed": (1.5, 1.5, 1.5), "at 0": (0.0, 0.0, 0.0), "up from 0": (0.0, inf, 0.0),
}


@pytest.mark.parametrize("lower, upper, expected", IDLE_BOUNDS.values(), ids=IDLE_BOUNDS.keys())
def test_idle_column_takes_its_point_nearest_zero(lower, upper, expected):
    # min (x0 - 1)^2 with x0 + 0 * x1 >= 1.5: the explicit zeros (a row entry, a quadratic entry)
    # do not make x1 read.
    s = solver()
    s.addVars(2, np.array([-5.0, lower]), np.array([5.0, upper]))
    s.addRow(1.5, inf, 2, np.array([0, 1]), np.array([1.0, 0.0]))
    s.changeColsCost(2, np.arange(2), np.array([-2.0, 0.0]))
    s.passHessian(2, 3, ls.HessianFormat.kTriangular, np.array([0, 2, 3]), np.array([0, 1, 1]),
                  np.array([2.0, 0.0, 0.0]))
    status, sol, info = solve(s)
    assert status == Status.kOptimal and sol.value_valid
    assert sol.col_value[0] == pytest.approx(1.5, abs=1e-6)
    assert sol.col_value[1] == expected and sol.col_dual[1] == 0.0
    assert info.objective_function_value == pytest.approx(1.5 ** 2 - 3.0, abs=1e-6)
    assert model_shape(s) == (2, 1, 2)  # the model itself keeps the column and its zeros


@pytest.mark.parametrize("lower, upper, expected", [
    (3.0, 1.0, {Status.kInfeasible}), (inf, inf, {Status.kModelError}),
], ids=["crossed", "lower +inf"])
def test_column_whose_bounds_hold_no_value_is_left_to_highs(lower, upper, expected):
    s = quadratic_solver(np.array([[2.0, 0.0], [0.0, 0.0]]), lo=-1.0, hi=1.0)
    s.addVars(1, np.array([lower]), np.array([upper]))
    assert solve(s)[0] in expected


@pytest.mark.parametrize("seed", range(30))
def test_random_qps_with_idle_columns_match_highs_without_them(seed):
    print(f"seed {seed}")
    rng = np.random.default_rng(seed)
    k, n_idle, m = int(rng.integers(1, 7)), int(rng.integers(1, 4)), int(rng.integers(0, 4))
    n = k + n_idle
    order = rng.permutation(n)
    read, idle = np.sort(order[:k]), np.sort(order[k:])
    lo, hi, expected = np.zeros(n), np.zeros(n), {}
    lo[read] = rng.uniform(-3, 0, k)
    hi[read] = lo[read] + rng.uniform(0.5, 5, k)
    kinds = list(IDLE_BOUNDS.values())
    for j in idle:
        lo[j], hi[j], expected[j] = kinds[rng.integers(len(kinds))]
    cost = np.zeros(n)
    cost[read] = rng.normal(size=k) * 3
    b = rng.normal(size=(k, k))
    h_read = b.T @ b + np.diag(rng.uniform(0.1, 1, k))  # positive definite: one optimum
    x0 = lo[read] + rng.random(k) * (hi[read] - lo[read])
    a_read = rng.normal(size=(m, k)) * (rng.random((m, k)) < 0.7)
    slack = rng.uniform(0, 1, (2, m))
    row_lo, row_hi = a_read @ x0 - slack[0], a_read @ x0 + slack[1]
    row_lo[rng.random(m) < 0.4] = -inf

    s = solver()
    s.addVars(n, lo, hi)
    for r in range(m):
        cols = list(read[a_read[r] != 0]) + list(idle[rng.random(n_idle) < 0.5])  # zeros too
        vals = [a_read[r, list(read).index(c)] if c in read else 0.0 for c in cols]
        s.addRow(row_lo[r], row_hi[r], len(cols), np.array(cols, dtype=np.int64),
                 np.array(vals))
    s.changeColsCost(n, np.arange(n), cost)
    h = np.zeros((n, n))
    h[np.ix_(read, read)] = h_read
    rows, cols = np.nonzero(h)
    # An explicit zero on every idle column's diagonal too: it does not make the column read.
    q = sp.csc_array((np.r_[h[rows, cols], np.zeros(n_idle)],
                      (np.r_[rows, idle], np.r_[cols, idle])), shape=(n, n))
    assert q.nnz == len(rows) + n_idle
    s.passHessian(n, q.nnz, ls.HessianFormat.kTriangular, q.indptr, q.indices, q.data)
    status, sol, info = solve(s)

    ref = highspy.Highs()
    ref.setOptionValue("output_flag", False)
    ref.addVars(k, lo[read], hi[read])
    ref.changeColsCost(k, np.arange(k, dtype=np.int32), cost[read])
    for r in range(m):
        cols = np.flatnonzero(a_read[r]).astype(np.int32)
        ref.addRow(row_lo[r], row_hi[r], len(cols), cols, a_read[r, cols])
    lower = sp.csc_array(np.tril(h_read))
    ref.passHessian(k, lower.nnz, 1, lower.indptr.astype(np.int32),
                    lower.indices.astype(np.int32), lower.data)
    ref.run()
    assert ref.getModelStatus() == highspy.HighsModelStatus.kOptimal
    assert status == Status.kOptimal and sol.value_valid
    assert info.objective_function_value == pytest.approx(
        ref.getInfo().objective_function_value, abs=1e-6)
    assert sol.col_value[read] == pytest.approx(list(ref.getSolution().col_value), abs=1e-5)
    assert sol.row_value == pytest.approx(list(ref.getSolution().row_value), abs=1e-5)
    for j in idle:
        assert sol.col_value[j] == expected[j] and sol.col_dual[j] == 0.0


def test_normal_qp_is_not_cut_by_the_iteration_limit():
    # Box least squares over 800 columns: HiGHS takes more iterations than there are columns.
    rng = np.random.default_rng(3)
    n = 800
    a, b = rng.normal(size=(n + 50, n)), rng.normal(size=n + 50) * 5
    h, c = 2 * a.T @ a, -2 * a.T @ b
    s = quadratic_solver(h, lo=-0.1, hi=0.1, c=c)
    status, sol, info = solve(s)
    ref = highspy.Highs()
    ref.setOptionValue("output_flag", False)
    ref.addVars(n, np.full(n, -0.1), np.full(n, 0.1))
    ref.changeColsCost(n, np.arange(n, dtype=np.int32), c)
    lower = sp.csc_array(np.tril(h))
    ref.passHessian(n, lower.nnz, 1, lower.indptr.astype(np.int32),
                    lower.indices.astype(np.int32), lower.data)
    ref.run()
    print(f"iterations: ours {info.qp_iteration_count}, HiGHS {ref.getInfo().qp_iteration_count}")
    assert ref.getModelStatus() == highspy.HighsModelStatus.kOptimal
    assert status == Status.kOptimal
    assert info.objective_function_value == pytest.approx(
        ref.getInfo().objective_function_value, rel=1e-9)


def test_written_model_keeps_the_idle_column(tmp_path):
    s = quadratic_solver(np.array([[2.0, 0.0], [0.0, 0.0]]), lo=-1.0, hi=1.0, c=[1.0, 0.0])
    path = tmp_path / "qp.lp"
    s.writeModel(path.as_posix())
    h = highspy.Highs()
    h.setOptionValue("output_flag", False)
    h.readModel(str(path))
    assert h.getNumCol() == 2


# ---- outcomes other than optimal ----


@pytest.mark.parametrize("case, expected", [
    ("infeasible", {Status.kInfeasible}),
    ("unbounded", {Status.kUnbounded, Status.kUnboundedOrInfeasible}),
    ("integer_infeasible", {Status.kInfeasible}),
], ids=lambda v: v if isinstance(v, str) else "")
def test_failed_outcomes(case, expected):
    s = solver()
    if case == "infeasible":
        s.addVars(2, np.zeros(2), np.ones(2))
        s.addRow(3, inf, 2, np.array([0, 1]), np.array([1.0, 1.0]))
    elif case == "unbounded":
        s.addVars(1, np.zeros(1), np.full(1, inf))
        s.changeObjectiveSense(ls.ObjSense.kMaximize)
        s.changeColCost(0, 1.0)
    else:
        add_integer_cols(s, 1, 0, 5)
        s.addRow(0.2, 0.8, 1, np.array([0]), np.array([1.0]))
    status, sol, _ = solve(s)
    assert status in expected
    assert status != Status.kOptimal
    if case != "unbounded":
        assert not sol.value_valid


# ---- solve errors of HiGHS's QP solver, and why a run gave no answer ----


def qp_case_solver(case, columns, **options):
    """The case of support.qp_cases with its elements on `columns`, handed over as the library
    hands a model: bounds, rows, costs and both triangles of the Hessian."""
    n = case["a"] * case["b"]
    perm = np.zeros((n, n))
    perm[columns, np.arange(n)] = 1
    cost, hessian, _ = objective_parts(case)
    s = solver(**options)
    s.addVars(n, np.full(n, case["lo"]), np.full(n, case["hi"]))
    add_dense_rows(s, [perm @ np.array(r, float) for r, _ in case["rows"]],
                   [-inf] * len(case["rows"]), [cap for _, cap in case["rows"]])
    s.changeColsCost(n, np.arange(n), perm @ cost)
    q = sp.csc_array(perm @ hessian @ perm.T)
    s.passHessian(n, q.nnz, ls.HessianFormat.kTriangular, q.indptr, q.indices, q.data)
    return s


ORDERS = [("first-generation-order", first_generation_columns),
          ("second-generation-order", second_generation_columns)]


@pytest.mark.parametrize("order", [o for _, o in ORDERS], ids=[n for n, _ in ORDERS])
@pytest.mark.parametrize("case", [c for _, c in QP_CASES], ids=[n for n, _ in QP_CASES])
def test_a_qp_highs_fails_in_one_column_order_is_solved_in_every_order(case, order):
    s = qp_case_solver(case, order(case))
    status, sol, info = solve(s)
    assert status == Status.kOptimal and sol.value_valid
    assert info.objective_function_value == pytest.approx(optimum(case), abs=1e-9)
    x = sol.col_value[order(case)]  # row-major elements
    cost, hessian, _ = objective_parts(case)
    assert info.objective_function_value == pytest.approx(cost @ x + x @ hessian @ x / 2,
                                                          abs=1e-9)
    assert np.all(x >= case["lo"] - TOL) and np.all(x <= case["hi"] + TOL)
    for row, cap in case["rows"]:
        assert np.dot(row, x) <= cap + TOL


@pytest.mark.parametrize("case", [c for _, c in QP_CASES], ids=[n for n, _ in QP_CASES])
def test_a_programs_own_qp_regularization_is_run_as_given(case, caplog):
    failing = [o for _, o in ORDERS if direct_highs(case, o(case))[1] is None]
    if not failing:
        pytest.skip("this HiGHS solves the case in every column order")
    # HiGHS's own default, set by the program: no second run with another value.
    s = qp_case_solver(case, failing[0](case), qp_regularization_value=1e-7)
    with caplog.at_level("WARNING", logger="nubrix.sorn_engine"):
        status, sol, _ = solve(s)
    assert status == Status.kSolveError and not sol.value_valid
    assert [r.getMessage() for r in caplog.records] == ["run: no solution, model status kSolveError"]


def one_column_row(value):
    s = solver()
    s.addVars(2, np.zeros(2), np.ones(2))
    s.addRow(-inf, 1, 2, np.array([0, 1]), np.array([value, 1.0]))
    s.changeColsCost(2, np.arange(2), np.array([1.0, 1.0]))
    s.changeObjectiveSense(ls.ObjSense.kMaximize)
    return s


def integer_qp():
    s = solver()
    add_integer_cols(s, 2, 0, 3)
    s.passHessian(2, 2, ls.HessianFormat.kTriangular, np.array([0, 1, 2]), np.array([0, 1]),
                  np.array([2.0, 2.0]))
    return s


def infeasible():
    s = solver()
    s.addVars(2, np.zeros(2), np.ones(2))
    s.addRow(3, inf, 2, np.array([0, 1]), np.array([1.0, 1.0]))
    return s


def no_columns_infeasible():
    s = solver()
    s.addRow(1, inf, 0, np.array([], dtype=np.int64), np.array([]))
    return s


NO_ANSWER = [
    ("matrix-value-past-highs-limit", lambda: one_column_row(1e16), Status.kModelError,
     "run: no solution, model status kModelError: HighsSparseMatrix User matrix matrix contains "
     "1 |value| in [1e+16, 1e+16] at/above tolerance of 1e+15"),
    ("quadratic-with-integers", integer_qp, Status.kModelError,
     "run: no solution, model status kModelError: HiGHS solves no model with both a quadratic "
     "objective and integer columns"),
    ("infeasible", infeasible, Status.kInfeasible, "run: no solution, model status kInfeasible"),
    ("no-columns", no_columns_infeasible, Status.kInfeasible,
     "run: no solution, model status kInfeasible"),
    ("optimal", lambda: one_column_row(2.0), Status.kOptimal, None),
]


@pytest.mark.parametrize("make, status, message", [c[1:] for c in NO_ANSWER],
                         ids=[c[0] for c in NO_ANSWER])
@pytest.mark.parametrize("console", [False, True], ids=["quiet", "console"])
def test_a_run_without_an_answer_says_why(make, status, message, console, caplog, capfd):
    s = make()
    s.setOptionValue("log_to_console", console)
    with caplog.at_level("WARNING", logger="nubrix.sorn_engine"):
        got, _, _ = solve(s)
    assert got == status
    assert [r.getMessage() for r in caplog.records] == ([] if message is None else [message])
    assert all(r.levelname == "WARNING" for r in caplog.records)
    # The program's console log is HiGHS's as before: nothing when it is off.
    if not console:
        assert capfd.readouterr().out == ""


def test_integer_columns_with_quadratic_part_are_a_model_error():
    s = solver()
    add_integer_cols(s, 2, 0, 3)
    s.passHessian(2, 2, ls.HessianFormat.kTriangular, np.array([0, 1, 2]), np.array([0, 1]),
                  np.array([2.0, 2.0]))
    status, sol, _ = solve(s)
    assert status == Status.kModelError
    assert not sol.value_valid


def test_empty_model_is_optimal_with_objective_zero():
    status, sol, info = solve(solver())
    assert status == Status.kOptimal and sol.value_valid
    assert info.objective_function_value == 0.0
    assert len(sol.col_value) == 0


def test_empty_model_with_an_unsatisfiable_row_is_infeasible():
    s = solver()
    s.addRow(1, inf, 0, np.array([], dtype=np.int64), np.array([]))
    assert solve(s)[0] == Status.kInfeasible


# ---- start values and the time limit ----


def knapsack(time_limit=None):
    s = solver() if time_limit is None else solver(time_limit=time_limit)
    add_integer_cols(s, 3, 0, 1)
    s.addRow(-inf, 5, 3, np.array([0, 1, 2]), np.array([2.0, 3.0, 1.0]))
    s.changeObjectiveSense(ls.ObjSense.kMaximize)
    s.changeColsCost(3, np.arange(3), np.array([5.0, 4.0, 3.0]))
    return s


def start(values):
    sol = ls.LinsolverSolution()
    sol.col_value = np.asarray(values, dtype=np.float64)
    return sol


def test_time_limit_zero_with_complete_feasible_start_returns_the_start():
    s = knapsack(time_limit=0)
    s.setSolution(start([1.0, 0.0, 1.0]))
    status, sol, info = solve(s)
    assert status == Status.kTimeLimit and sol.value_valid
    assert list(sol.col_value) == [1.0, 0.0, 1.0]
    assert info.objective_function_value == 8.0


def test_time_limit_without_start_has_no_valid_values():
    status, sol, _ = solve(knapsack(time_limit=0.0))
    assert status == Status.kTimeLimit and not sol.value_valid


@pytest.mark.parametrize("values", [[1.0], [1.0, 0.0], [1.0, 1.0, 0.0], []],
                         ids=["one", "two", "complete", "empty"])
def test_start_values_partial_or_complete_leave_the_optimum(values):
    s = knapsack()
    s.setSolution(start(values))
    status, sol, info = solve(s)
    assert status == Status.kOptimal and info.objective_function_value == 9.0


def test_start_is_copied_and_a_longer_one_refused():
    s = knapsack(time_limit=0)
    rec = start([1.0, 0.0, 1.0])
    s.setSolution(rec)
    rec.col_value[:] = 7.0  # the caller's array changes afterwards: the start does not
    assert list(solve(s)[1].col_value) == [1.0, 0.0, 1.0]
    with pytest.raises(ValueError, match="4 values for 3 columns"):
        s.setSolution(start([0.0] * 4))
    assert list(solve(s)[1].col_value) == [1.0, 0.0, 1.0]


# ---- rows ----


@pytest.mark.parametrize("length", [3, 40, 200], ids=["short", "long", "longer"])
def test_repeated_columns_within_a_row_are_summed(length):
    rng = np.random.default_rng(length)
    n = 50
    x = rng.integers(-3, 4, n).astype(float)
    s = solver()
    s.addVars(n, x, x)  # columns fixed, so the row's value shows its coefficients
    idx = rng.integers(0, 5 if length == 3 else n, length)
    idx[1] = idx[0]
    vals = rng.integers(-4, 5, length).astype(float)
    vals[0] = 0.0  # explicit zeros are kept without harm
    s.addRows(1, np.array([-inf]), np.array([inf]), length, np.array([0, length]), idx, vals)
    s.addRow(-inf, inf, length, idx.astype(np.int32), vals)
    merged = np.zeros(n)
    np.add.at(merged, idx, vals)
    status, sol, _ = solve(s)
    assert status == Status.kOptimal
    assert sol.row_value == pytest.approx([merged @ x, merged @ x])
    assert s.getNumNz() == 2 * len(np.unique(idx))


def test_many_rows_through_add_rows_and_infinite_bounds_shifted():
    rng = np.random.default_rng(5)
    n, m = 30, 200
    a = sp.random_array((m, n), density=0.2, random_state=rng, format="csr")
    x = rng.random(n)
    s = solver()
    s.addVars(n, x, x)
    consts = rng.random(m)
    s.addRows(m, -inf - consts, inf - consts, a.nnz, a.indptr, a.indices, a.data)
    status, sol, _ = solve(s)
    assert status == Status.kOptimal
    assert sol.row_value == pytest.approx(a @ x)


# ---- input conversion ----


@pytest.mark.parametrize("kind", ["int32", "int64", "float64", "object", "list"])
def test_array_arguments_of_every_accepted_kind(kind):
    def arr(values):
        if kind == "list":
            return list(values)
        return np.array(values, dtype=object if kind == "object" else kind)

    def idx(values):
        if kind == "float64":
            return np.array(values, dtype=np.int64)
        return arr(values)

    s = solver()
    s.addVars(2, arr([0, 0]), arr([3, 3]))
    types = [INTEGER, INTEGER] if kind in ("object", "list") else [1, 1]
    s.changeColsIntegrality(2, idx([0, 1]), arr(types) if kind != "float64" else idx(types))
    s.addRows(1, arr([-10]), arr([4]), 2, idx([0, 2]), idx([0, 1]), arr([1, 1]))
    s.changeObjectiveSense(ls.ObjSense.kMaximize)
    s.changeColsCost(2, idx([0, 1]), arr([2, 3]))
    status, sol, info = solve(s)
    assert status == Status.kOptimal and info.objective_function_value == 11.0


@pytest.mark.parametrize("index_dtype, value_dtype", [
    (">i4", ">f8"), ("uint16", "float32"), ("int8", "int16"), ("<i8", "bool"),
], ids=["big-endian", "unsigned-float32", "narrow", "bool-values"])
def test_other_dtypes_and_byte_orders(index_dtype, value_dtype):
    s = solver()
    s.addVars(3, np.zeros(3, dtype=value_dtype), np.ones(3, dtype=value_dtype))
    s.addRows(1, np.array([-5], dtype=">f8"), np.ones(1, dtype=value_dtype), 3,
              np.array([0, 3], dtype=index_dtype), np.array([2, 0, 1], dtype=index_dtype),
              np.ones(3, dtype=value_dtype))
    s.changeObjectiveSense(ls.ObjSense.kMaximize)
    s.changeColsCost(3, np.arange(3, dtype=index_dtype), np.array([1, 2, 3], dtype=value_dtype)
                     if value_dtype != "bool" else np.ones(3, dtype=bool))
    status, sol, info = solve(s)
    assert status == Status.kOptimal
    assert info.objective_function_value == (3.0 if value_dtype != "bool" else 1.0)


@pytest.mark.parametrize("layout", ["strided", "read-only", "reversed", "empty-first"])
def test_arrays_read_where_they_lie_or_converted(layout):
    def arr(values, dtype):
        a = np.asarray(values, dtype=dtype)
        if layout == "strided":
            b = np.zeros(2 * len(a), dtype=dtype)
            b[::2] = a
            return b[::2]
        if layout == "read-only":
            a.flags.writeable = False
        if layout == "reversed":
            return a[::-1].copy()[::-1]
        return a

    s = solver()
    if layout == "empty-first":
        s.addRows(0, np.array([]), np.array([]), 0, np.array([0], dtype=np.int32),
                  np.array([], dtype=np.int64), np.array([]))
    s.addVars(3, arr([0, 0, 0], np.float64), arr([1, 1, 1], np.float64))
    s.addRow(-inf, 2, 3, arr([2, 0, 1], np.int32), arr([1.0, 1.0, 1.0], np.float64))
    s.addRows(1, arr([-inf], np.float64), arr([1.5], np.float64), 2, arr([0, 2], np.int64),
              arr([0, 1], np.int64), arr([1.0, 1.0], np.float64))
    s.changeObjectiveSense(ls.ObjSense.kMaximize)
    s.changeColsCost(3, arr([0, 1, 2], np.int64), arr([1.0, 2.0, 3.0], np.float64))
    status, sol, info = solve(s)
    # x2 = 1, then x1 = 1 (x0 + x1 <= 1.5 and the sum <= 2): 3 + 2
    assert status == Status.kOptimal and info.objective_function_value == pytest.approx(5.0)


def test_integrality_array_of_enum_members_as_object_dtype():
    s = solver()
    s.addVars(1, np.array([0.0]), np.array([2.5]))
    s.changeColsIntegrality(1, np.arange(1), np.full(1, INTEGER, dtype=object))
    s.changeObjectiveSense(ls.ObjSense.kMaximize)
    s.changeColCost(np.int32(0), np.float32(1.0))
    assert solve(s)[2].objective_function_value == 2.0


def test_empty_calls_change_nothing():
    s = knapsack()
    s.addVars(0, np.full(0, fill_value=0, dtype=np.int32), np.full(0, fill_value=1, dtype=np.int32))
    s.changeColsIntegrality(0, np.arange(3, 3), np.full(0, fill_value=INTEGER))
    s.addVars(0, np.full(0, -inf), np.full(0, inf))
    s.addRows(0, np.array([]), np.array([]), 0, np.array([0]), np.array([], dtype=np.int32),
              np.array([]))
    s.changeColsCost(0, np.array([], dtype=np.int32), np.array([]))
    assert model_shape(s) == (3, 1, 3)
    assert solve(s)[2].objective_function_value == 9.0


def test_values_are_copied_not_aliased():
    lo, hi = np.zeros(2), np.ones(2)
    idx, vals = np.array([0, 1]), np.array([1.0, 1.0])
    s = solver()
    s.addVars(2, lo, hi)
    s.addRow(-inf, 1.5, 2, idx, vals)
    s.changeObjectiveSense(ls.ObjSense.kMaximize)
    s.changeColsCost(2, idx, vals)
    lo[:], hi[:], idx[:], vals[:] = 5, 9, 0, 100
    assert solve(s)[2].objective_function_value == pytest.approx(1.5)


# ---- refusals: raised in the call, nothing changed ----


def refusal_base():
    s = solver()
    s.addVars(3, np.zeros(3), np.ones(3))
    s.addRow(-inf, 1.5, 3, np.array([0, 1, 2]), np.array([1.0, 1.0, 1.0]))
    s.changeObjectiveSense(ls.ObjSense.kMaximize)
    s.changeColsCost(3, np.arange(3), np.array([1.0, 1.0, 1.5]))
    return s  # LP optimum 2.0 (x2 = 1 and half a column more); with integers it would be 1.5


I32 = np.int32
REFUSALS = {
    "addVars length": (lambda s: s.addVars(2, np.zeros(3), np.ones(2)), ValueError),
    "addVars nan": (lambda s: s.addVars(2, np.array([0, np.nan]), np.ones(2)), ValueError),
    "addVars negative": (lambda s: s.addVars(-1, np.zeros(0), np.zeros(0)), ValueError),
    "addVars 2-D": (lambda s: s.addVars(1, np.zeros((1, 1)), np.ones(1)), TypeError),
    "integrality column": (
        lambda s: s.changeColsIntegrality(2, np.array([0, 3]), np.full(2, INTEGER)), IndexError),
    "integrality type": (
        lambda s: s.changeColsIntegrality(2, np.array([0, 1]), np.array([1, 9])), ValueError),
    "integrality length": (
        lambda s: s.changeColsIntegrality(2, np.array([0]), np.full(2, INTEGER)), ValueError),
    "integrality float columns": (
        lambda s: s.changeColsIntegrality(1, np.array([0.0]), np.full(1, INTEGER)), TypeError),
    "addRow column": (lambda s: s.addRow(0, 1, 2, np.array([0, 3]), np.ones(2)), IndexError),
    "addRow negative column": (
        lambda s: s.addRow(0, 1, 1, np.array([-1]), np.ones(1)), IndexError),
    "addRow count": (lambda s: s.addRow(0, 1, 3, np.array([0, 1]), np.ones(2)), ValueError),
    "addRow nan bound": (lambda s: s.addRow(np.nan, 1, 1, np.array([0]), np.ones(1)), ValueError),
    "addRow nan value": (
        lambda s: s.addRow(0, 1, 1, np.array([0]), np.array([np.nan])), ValueError),
    "addRow text bound": (lambda s: s.addRow("0", 1, 1, np.array([0]), np.ones(1)), TypeError),
    "addRows starts length": (
        lambda s: s.addRows(2, np.zeros(2), np.ones(2), 2, np.array([0, 2]), np.array([0, 1]),
                            np.ones(2)), ValueError),
    "addRows starts decrease": (
        lambda s: s.addRows(2, np.zeros(2), np.ones(2), 2, np.array([0, 2, 1]),
                            np.array([0, 1]), np.ones(2)), ValueError),
    "addRows last start": (
        lambda s: s.addRows(2, np.zeros(2), np.ones(2), 2, np.array([0, 1, 1]),
                            np.array([0, 1]), np.ones(2)), ValueError),
    "addRows first start": (
        lambda s: s.addRows(1, np.zeros(1), np.ones(1), 2, np.array([1, 2]), np.array([0, 1]),
                            np.ones(2)), ValueError),
    "addRows bounds length": (
        lambda s: s.addRows(2, np.zeros(1), np.ones(2), 2, np.array([0, 1, 2]),
                            np.array([0, 1]), np.ones(2)), ValueError),
    "addRows column late": (
        lambda s: s.addRows(2, np.zeros(2), np.ones(2), 2, np.array([0, 1, 2], dtype=I32),
                            np.array([0, 7], dtype=I32), np.ones(2)), IndexError),
    "addRows value late": (
        lambda s: s.addRows(2, np.zeros(2), np.ones(2), 2, np.array([0, 1, 2], dtype=I32),
                            np.array([0, 1], dtype=I32), np.array([1.0, np.inf])), ValueError),
    "addRows column before value": (
        lambda s: s.addRows(2, np.zeros(2), np.ones(2), 2, np.array([0, 1, 2], dtype=I32),
                            np.array([0, 7], dtype=I32), np.array([np.nan, 1.0])), IndexError),
    "addRows long row column": (
        lambda s: s.addRows(1, np.zeros(1), np.ones(1), 20, np.array([0, 20]),
                            np.array([2, 1, 0] * 6 + [1, 9]), np.ones(20)), IndexError),
    "addRows nan upper": (
        lambda s: s.addRows(1, np.zeros(1), np.array([np.nan]), 1, np.array([0, 1]),
                            np.array([0]), np.ones(1)), ValueError),
    "colsCost column": (
        lambda s: s.changeColsCost(2, np.array([0, 3]), np.zeros(2)), IndexError),
    "colsCost length": (lambda s: s.changeColsCost(2, np.array([0]), np.zeros(2)), ValueError),
    "colCost column": (lambda s: s.changeColCost(5, 1.0), IndexError),
    "colCost nan": (lambda s: s.changeColCost(0, np.nan), ValueError),
    "sense": (lambda s: s.changeObjectiveSense(0), ValueError),
    "hessian dim": (
        lambda s: s.passHessian(4, 1, ls.HessianFormat.kTriangular, np.array([0, 1, 1, 1, 1]),
                                np.array([0]), np.ones(1)), ValueError),
    "hessian starts": (
        lambda s: s.passHessian(2, 1, ls.HessianFormat.kTriangular, np.array([0, 2, 1]),
                                np.array([0]), np.ones(1)), ValueError),
    "hessian beyond dimension": (
        lambda s: s.passHessian(2, 1, ls.HessianFormat.kTriangular, np.array([0, 0, 0, 1]),
                                np.array([0]), np.ones(1)), ValueError),
    "hessian count": (
        lambda s: s.passHessian(2, 2, ls.HessianFormat.kTriangular, np.array([0, 1, 1]),
                                np.array([0]), np.ones(1)), ValueError),
    "hessian row": (
        lambda s: s.passHessian(2, 1, ls.HessianFormat.kTriangular, np.array([0, 1, 1]),
                                np.array([2]), np.ones(1)), IndexError),
    "hessian format": (
        lambda s: s.passHessian(1, 1, 7, np.array([0, 1]), np.array([0]), np.ones(1)),
        ValueError),
    "start nan": (lambda s: s.setSolution(start([np.nan])), ValueError),
    "start too long": (lambda s: s.setSolution(start([0.0] * 4)), ValueError),
    "unknown option": (lambda s: s.setOptionValue("no_such_option", 1), ValueError),
    "option type": (lambda s: s.setOptionValue("time_limit", "soon"), TypeError),
    "option nan text": (lambda s: s.setOptionValue("time_limit", "nan"), TypeError),
    "option nan": (lambda s: s.setOptionValue("time_limit", np.nan), ValueError),
    "option negative time": (lambda s: s.setOptionValue("time_limit", -1), ValueError),
    "option nan gap": (lambda s: s.setOptionValue("mip_rel_gap", np.nan), ValueError),
    "option value": (lambda s: s.setOptionValue("presolve", "sometimes"), ValueError),
}


@pytest.mark.parametrize("call, error", REFUSALS.values(), ids=REFUSALS.keys())
def test_refusals_raise_and_change_nothing(call, error):
    s = refusal_base()
    before = solve(s)
    shape = model_shape(s)
    with pytest.raises(error):
        call(s)
    assert model_shape(s) == shape
    after = solve(s)
    assert after[0] == before[0] == Status.kOptimal
    assert after[2].objective_function_value == before[2].objective_function_value == 2.0
    assert list(after[1].col_value) == list(before[1].col_value)


def test_refused_integrality_change_marks_no_column():
    s = refusal_base()
    with pytest.raises(IndexError):
        s.changeColsIntegrality(3, np.array([0, 1, 3]), np.full(3, INTEGER))
    with pytest.raises(ValueError):
        s.changeColsIntegrality(3, np.array([0, 1, 2]), np.array([1, 1, -1]))
    assert solve(s)[2].objective_function_value == 2.0
    s.changeColsIntegrality(3, np.array([0, 1, 2]), np.full(3, INTEGER))
    assert solve(s)[2].objective_function_value == 1.5


def test_refused_calls_after_many_appends_take_back_what_they_appended():
    # Rows and columns one call at a time leave room behind the arrays; a refused call must
    # still leave the model exactly as it was, and the next rows land where they belong.
    rng = np.random.default_rng(11)
    n, m = 40, 3000
    x = rng.integers(-3, 4, n).astype(float)
    s = solver()
    for j in range(n):
        s.addVars(1, x[j:j + 1], x[j:j + 1])  # fixed columns: row values show the rows
    rows = [np.sort(rng.choice(n, 4, replace=False)) for _ in range(m)]
    coefs = rng.integers(-5, 6, (m, 4)).astype(float)
    for r in range(m):
        s.addRow(-inf, inf, 4, rows[r], coefs[r])
    for call in (lambda: s.addRow(0, 1, 2, np.array([0, n]), np.ones(2)),
                 lambda: s.addRows(2, np.zeros(2), np.ones(2), 2, np.array([0, 1, 2]),
                                   np.array([0, 1]), np.array([1.0, np.inf])),
                 lambda: s.addVars(2, np.array([0.0, np.nan]), np.ones(2))):
        with pytest.raises((ValueError, IndexError)):
            call()
        assert model_shape(s) == (n, m, 4 * m)
    s.addRow(-inf, inf, 2, np.array([0, 1]), np.array([1.0, 2.0]))
    status, sol, _ = solve(s)
    assert status == Status.kOptimal
    expected = [coefs[r] @ x[rows[r]] for r in range(m)] + [x[0] + 2 * x[1]]
    assert sol.row_value == pytest.approx(expected)


# ---- options ----


@pytest.mark.parametrize("value", [False, True, 0, 1, np.True_], ids=str)
def test_log_to_console_takes_truth_values(value, capfd):
    s = ls.LinearSolver()
    s.setOptionValue("log_to_console", value)
    s.setOptionValue("log_to_console", False)
    s.addVars(1, np.zeros(1), np.ones(1))
    s.run()
    assert capfd.readouterr().out == ""


def test_console_log_when_asked(capfd):
    s = ls.LinearSolver()
    s.setOptionValue("log_to_console", True)
    s.addVars(1, np.zeros(1), np.ones(1))
    s.run()
    assert "HiGHS" in capfd.readouterr().out


# Values that HiGHS takes but misreads, and the words the refusal gives after the value.
MISREAD_OPTIONS = {
    "time limit nan": ("time_limit", float("nan"), "NaN is not a number"),
    "time limit float32 nan": ("time_limit", np.float32("nan"), "NaN is not a number"),
    "time limit negative": ("time_limit", -1.0, "must not be negative"),
    "time limit negative int": ("time_limit", -3, "must not be negative"),
    "time limit negative numpy": ("time_limit", np.float64(-0.5), "must not be negative"),
    "iis time limit negative": ("iis_time_limit", -2.0, "must not be negative"),
    "relative gap nan": ("mip_rel_gap", float("nan"), "NaN is not a number"),
    "absolute gap nan": ("mip_abs_gap", np.nan, "NaN is not a number"),
    "objective bound nan": ("objective_bound", float("nan"), "NaN is not a number"),
    "tolerance nan": ("mip_feasibility_tolerance", float("nan"), "NaN is not a number"),
    "time limit past a float": ("time_limit", 10**400, ""),
}


@pytest.mark.parametrize("name, value, reason", MISREAD_OPTIONS.values(),
                         ids=MISREAD_OPTIONS.keys())
def test_option_values_highs_would_misread_are_refused(name, value, reason):
    s = knapsack(time_limit=0)
    s.setOptionValue(name, 0.5 if name != "time_limit" else 0)
    with pytest.raises(ValueError) as refused:
        s.setOptionValue(name, value)
    text = str(refused.value)
    assert text.startswith(f"setOptionValue: option '{name}' (float) does not accept the value "
                           f"{value!r}") and text.endswith(reason)
    # The options stay as they were: the time limit 0 still ends the run at once.
    status, sol, _ = solve(s)
    assert status == Status.kTimeLimit and not sol.value_valid
    s.setOptionValue("time_limit", inf)
    assert solve(s)[2].objective_function_value == 9.0


# Calls that must keep working, and the knapsack's status after them.
VALID_OPTIONS = {
    "infinite time limit": ("time_limit", inf, Status.kOptimal),
    "infinite time limit text": ("time_limit", "inf", Status.kOptimal),
    "time limit 0 int": ("time_limit", 0, Status.kTimeLimit),
    "time limit -0.0": ("time_limit", -0.0, Status.kTimeLimit),
    "time limit float32": ("time_limit", np.float32(0), Status.kTimeLimit),
    "time limit int32": ("time_limit", np.int32(0), Status.kTimeLimit),
    "time limit fraction": ("time_limit", fractions.Fraction(0), Status.kTimeLimit),
    "time limit text": ("time_limit", "0", Status.kTimeLimit),
    "relative gap 0": ("mip_rel_gap", 0.0, Status.kOptimal),
    "relative gap float32": ("mip_rel_gap", np.float32(1e-6), Status.kOptimal),
    "node limit numpy": ("mip_max_nodes", np.int64(1000), Status.kOptimal),
    "true as 1": ("mip_detect_symmetry", 1, Status.kOptimal),
}


@pytest.mark.parametrize("name, value, expected", VALID_OPTIONS.values(),
                         ids=VALID_OPTIONS.keys())
def test_valid_option_values_are_kept(name, value, expected):
    s = knapsack()
    s.setOptionValue(name, value)
    status, _, info = solve(s)
    assert status == expected
    if expected == Status.kOptimal:
        assert info.objective_function_value == 9.0


@pytest.mark.parametrize("name, value", [
    ("threads", np.int64(2**40)), ("threads", 2**40), ("qp_iteration_limit", -1),
], ids=["numpy int past 32 bits", "int past 32 bits", "negative limit"])
def test_integer_option_out_of_range_is_a_value_error(name, value):
    with pytest.raises(ValueError, match=f"option '{name}' \\(int\\) does not accept"):
        solver().setOptionValue(name, value)


# ---- model files ----


@pytest.mark.parametrize("suffix", [".mps", ".lp"])
def test_written_model_reads_back_with_the_same_optimum(tmp_path, suffix):
    s = knapsack()
    s.addVars(1, np.array([-1.0]), np.array([2.0]))
    s.addRow(-inf, 4.5, 2, np.array([0, 3]), np.array([1.0, 2.0]))
    s.changeColCost(3, 0.5)
    path = tmp_path / ("model" + suffix)
    s.writeModel(path.as_posix())
    expected = solve(s)[2].objective_function_value

    h = highspy.Highs()
    h.setOptionValue("output_flag", False)
    assert h.readModel(str(path)) == highspy.HighsStatus.kOk
    h.run()
    assert h.getModelStatus() == highspy.HighsModelStatus.kOptimal
    assert h.getInfo().objective_function_value == pytest.approx(expected)
    if suffix == ".mps":
        assert path.read_text().splitlines()[0].startswith("NAME")


def test_written_qp_keeps_its_quadratic_part(tmp_path):
    path = tmp_path / "qp.mps"
    quadratic_solver(np.array([[2.0, 1.0], [1.0, 2.0]])).writeModel(str(path))
    h = highspy.Highs()
    h.setOptionValue("output_flag", False)
    h.readModel(str(path))
    h.run()
    assert h.getInfo().objective_function_value == pytest.approx(3.0, abs=TOL)


@pytest.mark.parametrize("name, error", [
    ("missing/model.mps", OSError), ("model.txt", ValueError), ("", ValueError),
], ids=["no directory", "other suffix", "empty"])
def test_write_refusals(tmp_path, monkeypatch, name, error):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(error):
        knapsack().writeModel(name)
    assert list(tmp_path.iterdir()) == []


def test_write_refused_model_raises_engine_error(tmp_path):
    s = solver()
    s.addVars(1, np.array([inf]), np.array([inf]))  # HiGHS refuses a lower bound of +inf
    with pytest.raises(se.EngineError):
        s.writeModel(str(tmp_path / "m.mps"))
    assert list(tmp_path.iterdir()) == []
    assert solve(s)[0] == Status.kModelError


# ---- the two models' call sequences ----


def test_first_generation_call_sequence():
    """Integer blocks with int32 bounds, costs column by column, rows from coefficient arrays with
    the constant moved to the bounds, twice the symmetric matrix resized to the column count."""
    s = ls.LinearSolver()
    s.setOptionValue("log_to_console", False)
    s.addVars(2, np.full(2, fill_value=0, dtype=np.int32), np.full(2, fill_value=4, dtype=np.int32))
    s.changeColsIntegrality(2, np.arange(0, 2), np.full(2, fill_value=INTEGER))
    s.addVars(1, np.full(1, fill_value=-inf, dtype=np.float64),
              np.full(1, fill_value=inf, dtype=np.float64))
    # x0 + x1 + 3 <= 8.5 and x2 - x0 == 0.5 (constant -0.5 moved to both sides)
    s.addRow(-inf - 3, 8.5 - 3, 2, np.array([0, 1], dtype=np.int32), np.array([1.0, 1.0]))
    s.addRow(0 - -0.5, 0 - -0.5, 2, np.array([2, 0], dtype=np.int32), np.array([1.0, -1.0]))
    s.changeObjectiveSense(ls.ObjSense.kMaximize)
    for col, cost in zip(np.array([0, 1, 2], dtype=np.int32), np.array([1.0, 2.0, 1.0])):
        s.changeColCost(col, cost)
    status, sol, info = solve(s)
    # x0 + x1 <= 5.5 with integers: best 2 x1 + 2 x0 + 0.5 with x0 + x1 = 5, x1 <= 4 -> 10.5
    assert status == Status.kOptimal
    assert info.objective_function_value == pytest.approx(10.5)
    assert sol.col_value[:2].astype(np.int32).sum() == 5


def test_second_generation_call_sequence():
    """Float64 bounds for integer-typed data, a block of rows with int32 data and constants, one
    costs call from a 1-D row, and a symmetric matrix passed with both triangles."""
    from scipy.optimize import minimize

    s = ls.LinearSolver()
    s.setOptionValue("log_to_console", False)
    s.addVars(3, np.full(3, fill_value=0, dtype=np.float64),
              np.full(3, fill_value=3, dtype=np.float64))
    block = sp.csr_array(np.array([[1, 1, 0], [0, 1, 1]], dtype=np.int32))
    consts = np.array([1, 0], dtype=np.int32)
    s.addRows(2, -inf - consts, 3 - consts, block.nnz, block.indptr, block.indices, block.data)
    row = sp.csr_array(np.array([-2, -3, -1], dtype=np.int32))
    s.changeColsCost(row.nnz, row.indices, row.data)
    h = np.array([[2.0, 0.5, 0.0], [0.5, 1.0, 0.0], [0.0, 0.0, 1.0]])
    q = sp.csc_array(h)
    s.passHessian(3, q.size, ls.HessianFormat.kTriangular, q.indptr, q.indices, q.data)
    status, sol, info = solve(s)

    c = np.array([-2.0, -3.0, -1.0])
    reference = minimize(lambda x: c @ x + 0.5 * x @ h @ x, np.zeros(3), method="SLSQP",
                         jac=lambda x: c + h @ x, bounds=[(0, 3)] * 3,
                         constraints=[{"type": "ineq",  # the rows: x0 + x1 <= 2, x1 + x2 <= 3
                                       "fun": lambda x: np.array([2.0, 3.0]) - block @ x}],
                         options={"ftol": 1e-12})
    assert status == Status.kOptimal
    assert info.objective_function_value == pytest.approx(reference.fun, abs=1e-6)
    x = sol.col_value
    assert info.objective_function_value == pytest.approx(c @ x + 0.5 * x @ h @ x, abs=1e-12)


# --- rows as the host's lists, costs as plain numbers ----------------------------------------

LIST_ROWS = {
    "ints and floats": (-1.5, 4, [0, 2], [1.5, -2.0]),
    "int values": (0, 9, [1, 0], [3, 2**40 + 1]),
    "empty": (1, inf, [], []),
    "numpy scalars inside": (np.float64(-2), 3, [np.int64(1), 2], [np.float64(0.5), 1]),
    "truth values": (0, 1, [True, 0], [1.0, True]),
    "int beyond 64 bits": (0, 1, [0], [2**70]),
    "float index": (0, 1, [0.0], [1.0]),
    "index beyond 64 bits": (0, 1, [2**70], [1.0]),
    "negative index": (0, 1, [-1], [1.0]),
    "column outside": (0, 1, [3], [1.0]),
    "nan value": (0, 1, [0], [float("nan")]),
    "infinite value": (0, 1, [1], [-inf]),
    "text value": (0, 1, [1], ["1"]),
    "count": (0, 1, [0, 1], [1.0]),
    "big bound": (-(2**70), 2**70, [1], [1.0]),
    "bool count": (0, 1, [2], [1.0]),
}


def outcome(step, tmp_path, name):
    """What a step leaves: the model written out, or the error it raised."""
    s = solver()
    s.addVars(3, np.zeros(3), np.ones(3))
    path = tmp_path / f"{name}.mps"
    try:
        step(s)
        s.writeModel(str(path))
    except Exception as exc:  # compared between the two ways
        return type(exc), str(exc)
    return path.read_text()


@pytest.mark.parametrize("case", list(LIST_ROWS), ids=list(LIST_ROWS))
@pytest.mark.parametrize("call", ["addRow", "addRowList"])
def test_rows_given_as_lists_mean_what_numpy_makes_of_them(case, call, tmp_path):
    lower, upper, indexes, values = LIST_ROWS[case]
    count = True if case == "bool count" else len(indexes) + (case == "count")

    def as_lists(s):
        getattr(s, call)(lower, upper, count, list(indexes), list(values))

    def as_arrays(s):
        s.addRow(lower, upper, count, np.asarray(indexes), np.asarray(values))

    assert outcome(as_lists, tmp_path, "lists") == outcome(as_arrays, tmp_path, "arrays")


@pytest.mark.parametrize("col,cost", [
    (1, 2.5), (2, -3), (0, 2**60 + 1), (np.int32(1), np.float32(0.1)), (1, True), (True, 1.0),
    (2, 2**70), (2**70, 1.0), (1.0, 1.0), (1, "1"), (1, float("nan")), (-1, 1.0)],
    ids=["float", "int", "wide int", "numpy", "truth cost", "truth column", "int beyond 64 bits",
         "column beyond 64 bits", "float column", "text cost", "nan", "negative column"])
def test_plain_costs_mean_what_the_general_reading_makes_of_them(col, cost, tmp_path):
    def plain(s):
        s.changeColCost(col, cost)

    def numpy_kind(v):
        # numpy's scalars are read by the general readers, which every other number takes.
        if type(v) is float:
            return np.float64(v)
        if type(v) is int and -(2**63) <= v < 2**63:
            return np.int64(v)
        return v

    def general(s):
        s.changeColCost(numpy_kind(col), numpy_kind(cost))

    plain_outcome, general_outcome = (outcome(plain, tmp_path, "plain"),
                                      outcome(general, tmp_path, "general"))
    if isinstance(plain_outcome, tuple):  # the messages name the types given
        plain_outcome, general_outcome = plain_outcome[0], general_outcome[0]
    assert plain_outcome == general_outcome


def test_costs_as_arrays_set_what_one_call_per_column_sets(tmp_path):
    cols, costs = np.array([2, 0], dtype=np.int32), np.array([1.5, -4.0])

    def arrays(s):
        s.changeColCostArrays(2, cols, costs)

    def one_by_one(s):
        for c, v in zip(cols.tolist(), costs.tolist()):
            s.changeColCost(c, v)

    assert outcome(arrays, tmp_path, "arrays") == outcome(one_by_one, tmp_path, "single")
