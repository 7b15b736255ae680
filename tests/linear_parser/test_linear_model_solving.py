"""The first-generation LinearModel solved on the stand-in engine, judged by meaning: optima by
vertex enumeration and brute force, files read back by HiGHS, the time-limit path."""

import itertools
import random

import highspy
import numpy as np
import pytest

from zk_encoder import LinearModel, SolutionStatus, VariableType
from zk_encoder._exceptions import SolverError
from zk_encoder.linear_parser import Sum, SumIt
from support.oracles import vertex_optimum
from support.seeds import fresh_seed

TOL = 1e-6


def seeded():
    seed = fresh_seed()
    return random.Random(seed), seed


def dot(coefs, x, n):
    return SumIt([coefs[k] * x[k] for k in range(n)])


# --- linear programs ------------------------------------------------------------------------


def test_random_lps_match_vertex_enumeration():
    rng, seed = seeded()
    for _ in range(25):
        n, m = 3, rng.randint(2, 5)
        A = [[rng.randint(-4, 6) for _ in range(n)] for _ in range(m)]
        b = [rng.randint(-2, 15) for _ in range(m)]
        c = [rng.randint(-5, 5) for _ in range(n)]
        model = LinearModel()
        x = model.get_variables("x", VariableType.REAL, 0, 5, k=n)
        for a, v in zip(A, b):
            model.add_constraint(dot(a, x, n) <= v)
        model.add_target(dot(c, x, n), False)
        expected = vertex_optimum(c, A, [-np.inf] * m, b, 0, 5)
        if expected is None:
            with pytest.raises(SolverError):
                model.solve()
            continue
        assert model.solve() is SolutionStatus.OPTIMAL, seed
        values = model.get_result("x")
        assert model.objective_value == pytest.approx(expected, abs=TOL), seed
        assert float(np.dot(c, values)) == pytest.approx(expected, abs=TOL), seed
        assert all(np.dot(a, values) <= v + TOL for a, v in zip(A, b)), seed


def test_assignment_over_for_all_rows_matches_brute_force():
    rng, seed = seeded()
    n = 4
    cost = [[rng.randint(1, 50) for _ in range(n)] for _ in range(n)]
    model = LinearModel()
    x = model.get_variables("x", VariableType.REAL, 0, 1, w=n, t=n)
    i, j = model.get_indexes(["i", "j"])
    model.add_constraint(Sum(x[i, j], j=range(n)) == 1, i=range(n))
    model.add_constraint(Sum(x[i, j], i=range(n)) == 1, j=range(n))
    model.add_target(SumIt([cost[a][b] * x[a, b] for a in range(n) for b in range(n)]), True)
    assert model.solve() is SolutionStatus.OPTIMAL
    best = min(sum(cost[a][p[a]] for a in range(n)) for p in itertools.permutations(range(n)))
    assert model.objective_value == pytest.approx(best), seed
    values = model.get_result("x")
    assert values.shape == (n, n)
    assert np.allclose(values.sum(axis=0), 1) and np.allclose(values.sum(axis=1), 1)
    assert float((np.array(cost) * values).sum()) == pytest.approx(best), seed


# --- integer programs -----------------------------------------------------------------------


def test_random_integer_programs_match_brute_force():
    rng, seed = seeded()
    for _ in range(20):
        n, m = 3, rng.randint(1, 4)
        A = [[rng.randint(-3, 4) for _ in range(n)] for _ in range(m)]
        b = [rng.randint(-3, 8) for _ in range(m)]
        c = [rng.randint(-4, 4) for _ in range(n)]
        model = LinearModel()
        x = model.get_variables("x", VariableType.INTEGER, -3, 3, k=n)
        for a, v in zip(A, b):
            model.add_constraint(dot(a, x, n), hi=v)
        model.add_target(dot(c, x, n), True)
        points = [p for p in itertools.product(range(-3, 4), repeat=n)
                  if all(np.dot(a, p) <= v for a, v in zip(A, b))]
        if not points:
            with pytest.raises(SolverError):
                model.solve()
            continue
        assert model.solve() is SolutionStatus.OPTIMAL, seed
        best = min(int(np.dot(c, p)) for p in points)
        values = model.get_result("x")
        assert values.dtype == np.int32 and tuple(values) in points, seed
        assert int(np.dot(c, values)) == best and model.objective_value == pytest.approx(best)


def test_knapsack_matches_brute_force():
    rng, seed = seeded()
    n = 10
    weights = [rng.randint(1, 20) for _ in range(n)]
    values = [rng.randint(1, 30) for _ in range(n)]
    capacity = sum(weights) // 2
    model = LinearModel()
    take = model.get_variables("take", VariableType.BINARY, item=n)
    model.add_constraint(dot(weights, take, n) <= capacity)
    model.add_target(dot(values, take, n), False)
    assert model.solve() is SolutionStatus.OPTIMAL
    best = max(sum(v for v, t in zip(values, pick) if t)
               for pick in itertools.product((0, 1), repeat=n)
               if sum(w for w, t in zip(weights, pick) if t) <= capacity)
    chosen = model.get_result("take")
    assert chosen.dtype == np.int32 and set(chosen.tolist()) <= {0, 1}
    assert int(np.dot(weights, chosen)) <= capacity
    assert int(np.dot(values, chosen)) == best and model.objective_value == pytest.approx(best)


# --- quadratic objectives -------------------------------------------------------------------


def test_convex_qp_with_a_cross_term():
    model = LinearModel()
    x = model.get_variables("x", VariableType.REAL, 1, 2, k=2)
    model.add_target(x[0] * x[0] + x[0] * x[1] + x[1] * x[1], True)
    assert model.solve() is SolutionStatus.OPTIMAL
    assert model.objective_value == pytest.approx(3)
    assert model.get_result("x").tolist() == pytest.approx([1, 1])


def test_qp_with_linear_part_and_a_constant():
    # min (x - 3)^2 + (y + 1)^2 = x^2 - 6x + y^2 + 2y + 10; the constant stays out.
    model = LinearModel()
    x = model.get_variables("x", VariableType.REAL, -10, 10)
    y = model.get_variables("y", VariableType.REAL, 0, 10)
    model.add_target((x[()] - 3) * (x[()] - 3) + (y[()] + 1) * (y[()] + 1), True)
    assert model.solve() is SolutionStatus.OPTIMAL
    assert model.get_result("x") == pytest.approx(3) and model.get_result("y") == pytest.approx(0)
    assert model.objective_value == pytest.approx(1 - 10)


# --- a replaced objective -------------------------------------------------------------------


@pytest.mark.parametrize("first", [
    lambda x, y: x[()] + 3 * y[()], lambda x, y: x[()] * x[()] + y[()]],
    ids=["stale_cost", "stale_quadratic"])
def test_a_replaced_objective_leaves_nothing_behind(first):
    model = LinearModel()
    x = model.get_variables("x", VariableType.REAL, 0, 4)
    y = model.get_variables("y", VariableType.REAL, 0, 4)
    model.add_constraint(x[()] + y[()] >= 2)
    model.add_target(first(x, y), True)
    model.solve()
    model.add_target(y[()], True)
    assert model.solve() is SolutionStatus.OPTIMAL
    assert model.objective_value == pytest.approx(0)
    assert model.get_result("y") == pytest.approx(0)


# --- failures and the time-limit path -------------------------------------------------------


def test_infeasible_model_raises(log_sink):
    model = LinearModel()
    x = model.get_variables("x", VariableType.REAL, 0, 10)
    model.add_constraint(x[()] >= 3)
    model.add_constraint(x[()] <= 1)
    with pytest.raises(SolverError, match="^The model was not solved correctly$"):
        model.solve()
    assert log_sink.at("error") == ["The model was not solved correctly"]
    assert model.get_linsolver_solution() is not None
    with pytest.raises(SolverError, match="Run 'solve'"):
        model.get_result("x")


def knapsack_with_start(**options):
    model = LinearModel(**options)
    take = model.get_variables("take", VariableType.BINARY, item=4)
    model.add_constraint(SumIt([3 * take[0], 4 * take[1], 5 * take[2], 6 * take[3]]) <= 9)
    model.add_target(SumIt([4 * take[0], 5 * take[1], 6 * take[2], 8 * take[3]]), False)
    return model


def test_start_values_of_blocks_made_after_the_first_ones_reach_the_solver():
    model = LinearModel(time_limit=0.0)
    a = model.get_variables("a", VariableType.INTEGER, 0, 5, k=2)
    model.set_solution("a", [1, 2])
    b = model.get_variables("b", VariableType.INTEGER, 0, 5)
    model.set_solution("b", 4)
    model.add_constraint(a[0] + a[1] + b[()] <= 7)
    model.add_target(a[0] + a[1] + b[()], False)
    assert model.solve() is SolutionStatus.SUBOPTIMAL
    assert model.get_result("a").tolist() == [1, 2] and model.get_result("b") == 4


def test_solving_again_after_more_rows():
    model = knapsack_with_start()
    assert model.solve() is SolutionStatus.OPTIMAL
    assert model.objective_value == pytest.approx(12)
    take = model._variables["take"]
    model.add_constraint(take[3] == 0)
    assert model.solve() is SolutionStatus.OPTIMAL
    assert model.objective_value == pytest.approx(11)


# --- model files ----------------------------------------------------------------------------


@pytest.mark.parametrize("suffix", [".mps", ".lp"])
def test_written_model_reads_back_with_the_same_optimum(tmp_path, suffix):
    model = knapsack_with_start()
    path = tmp_path / "deep" / ("knapsack" + suffix)
    model.write_model(str(path))
    assert model.solve() is SolutionStatus.OPTIMAL
    h = highspy.Highs()
    h.setOptionValue("output_flag", False)
    assert h.readModel(str(path)) == highspy.HighsStatus.kOk
    h.run()
    assert h.getModelStatus() == highspy.HighsModelStatus.kOptimal
    assert h.getInfo().objective_function_value == pytest.approx(model.objective_value)
