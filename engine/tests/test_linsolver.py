"""The linsolver module: a linear, quadratic and mixed-integer solver on HiGHS, judged by the
meaning of its results (vertex enumeration, brute force, known optima, HiGHS reading back the
written file)."""

import enum
import itertools
import random
import subprocess
import sys

import highspy
import numpy as np
import pytest
import scipy.sparse as sp

import nubrix.sorn_engine as se
from nubrix.sorn_engine import linsolver as ls

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


def lp_optimum_by_vertices(c, halfspaces, n):
    """min c'x over {x: g'x <= h for (g, h) in halfspaces}, bounded; None when infeasible."""
    best = None
    for combo in itertools.combinations(range(len(halfspaces)), n):
        g = np.array([halfspaces[k][0] for k in combo])
        h = np.array([halfspaces[k][1] for k in combo])
        if abs(np.linalg.det(g)) < 1e-9:
            continue
        x = np.linalg.solve(g, h)
        if all(np.dot(gk, x) <= hk + 1e-7 for gk, hk in halfspaces):
            value = float(np.dot(c, x))
            best = value if best is None else min(best, value)
    return best


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

    halfspaces = []
    for j in range(n):
        e = np.eye(n)[j]
        halfspaces += [(-e, -lo[j]), (e, hi[j])]
    for i in range(m):
        if row_lo[i] > -inf:
            halfspaces.append((-a[i], -row_lo[i]))
        if row_hi[i] < inf:
            halfspaces.append((a[i], row_hi[i]))
    expected = lp_optimum_by_vertices(-c if maximize else c, halfspaces, n)
    if expected is None:
        assert status == Status.kInfeasible
        return
    expected = -expected if maximize else expected
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
