"""The second-generation LinearModel solved on the stand-in engine, judged by meaning: LP optima by
vertex enumeration, integer programs by brute force, quadratic optima known in closed form."""

import fractions
import itertools

import highspy
import numpy as np
import pytest

import zk_encoder.linear_parser.linear_model as first_module
from zk_encoder._exceptions import BuildError, FormulaError, SolverError
from zk_encoder.linear_parser2 import LinearModel, SolutionStatus, VariableType, dot, sumexp
from zk_encoder.linear_parser2.variable import VariableArray
from support.oracles import vertex_optimum
from support.seeds import fresh_seed


def test_random_lps_against_vertex_enumeration():
    seed = fresh_seed()
    rng = np.random.default_rng(seed)
    for _ in range(20):
        n, m = int(rng.integers(2, 4)), int(rng.integers(1, 4))
        A = rng.integers(-3, 4, (m, n)).astype(float)
        lo = rng.integers(-6, 0, m).astype(float)
        hi = rng.integers(0, 6, m).astype(float)
        c = rng.integers(-4, 5, n).astype(float)
        model = LinearModel()
        x = model.get_variable("x", VariableType.REAL, -3, 4, i=n)
        # Half of the rows as one block through weights, the rest one by one.
        for r in range(m):
            row = dot(x[0:n], A[r])
            if r % 2:
                model.add_constraint(row + 1, lower_bound=lo[r] + 1, upper_bound=hi[r] + 1)
            else:
                model.add_constraint(row, lo[r], hi[r])
        model.add_target(dot(x[0:n], c) + 7, minimization=False)
        assert model.solve(is_feasible=True) is SolutionStatus.OPTIMAL
        best = vertex_optimum(c, A, lo, hi, -3.0, 4.0)
        value = model.get_result("x")
        assert model.objective_value == pytest.approx(best, abs=1e-6)  # the constant stays out
        assert c @ value == pytest.approx(best, abs=1e-6)
        assert np.all(A @ value >= lo - 1e-6) and np.all(A @ value <= hi + 1e-6)


def test_block_constraints_against_vertex_enumeration():
    # max x + 2y + 3z subject to x + y <= 4, y + z <= 3, x + z <= 5 (one block), box [0, 10].
    model = LinearModel()
    v = model.get_variable("v", VariableType.REAL, 0, 10, i=3)
    pairs = v[[0, 1, 0]] + v[[1, 2, 2]]
    model.add_constraints(pairs <= np.array([4.0, 3.0, 5.0]))
    model.add_target(dot(np.array([1.0, 2.0, 3.0]), v[:]), False)
    assert model.solve() is SolutionStatus.OPTIMAL
    A = np.array([[1, 1, 0], [0, 1, 1], [1, 0, 1]], float)
    best = vertex_optimum([1.0, 2.0, 3.0], A, np.full(3, -np.inf), [4.0, 3.0, 5.0], 0, 10)
    assert model.objective_value == pytest.approx(best)


def knapsack_brute_force(values, weights, capacity, counts):
    best = None
    for picks in itertools.product(*(range(k + 1) for k in counts)):
        w = sum(p * wt for p, wt in zip(picks, weights))
        if w <= capacity:
            val = sum(p * v for p, v in zip(picks, values))
            best = val if best is None else max(best, val)
    return best


def test_random_integer_programs_against_brute_force():
    seed = fresh_seed()
    rng = np.random.default_rng(seed)
    for _ in range(10):
        n = int(rng.integers(2, 6))
        values, weights = rng.integers(1, 20, n), rng.integers(1, 10, n)
        capacity = int(rng.integers(5, 25))
        model = LinearModel()
        b = model.get_variable("b", VariableType.BINARY, i=n)
        k = model.get_variable("k", VariableType.INTEGER, 0, 2, i=n)
        model.add_constraint(dot(b[0:n], weights.astype(float)) + dot(k[0:n], weights.astype(float)),
                             upper_bound=capacity)
        model.add_target(dot(b[0:n], values.astype(float)) + dot(k[0:n], values.astype(float)),
                         False)
        assert model.solve() is SolutionStatus.OPTIMAL
        picks = model.get_result("b") + model.get_result("k")
        best = knapsack_brute_force(values, weights, capacity, [3] * n)
        assert picks.dtype == np.int32
        assert model.objective_value == pytest.approx(best)
        assert picks @ values == best and picks @ weights <= capacity


@pytest.mark.parametrize("build,box,expected_x,expected_obj", [
    (lambda x: x[0] * x[0] + x[0] * x[1] + x[1] * x[1], (1, 2), [1, 1], 3.0),
    (lambda x: x[0] * x[0] - x[0] * 2, (0, 10), [1, None], -1.0),
    (lambda x: (x[0] - 3) * (x[0] - 3) + (x[1] + 1) * (x[1] - 1), (-5, 5), [3, 0], -1.0),
], ids=["cross-terms", "shifted-square", "with-constants"])
def test_convex_quadratic_optima(build, box, expected_x, expected_obj):
    model = LinearModel()
    x = model.get_variable("x", VariableType.REAL, *box, i=2)
    model.add_target(build(x), True)
    assert model.solve() is SolutionStatus.OPTIMAL
    got = model.get_result("x")
    for g, e in zip(got, expected_x):
        if e is not None:
            assert g == pytest.approx(e, abs=1e-4)
    target = build(x)
    constant = target.constant
    assert model.objective_value + constant == pytest.approx(expected_obj, abs=1e-6)


def test_quadratic_part_of_any_symmetry():
    # x'Qx with Q = [[1, 0], [2, 1]] is (x0 + x1)^2, whichever triangle holds the cross term.
    from scipy.sparse import csc_array
    from zk_encoder.linear_parser2._expression import LinearExpression
    model = LinearModel()
    x = model.get_variable("x", VariableType.REAL, 0, 3, i=2)
    linear = x[0] * -2 + x[1] * -3
    n = linear.linear_coefficients.shape[0]
    c0, c1 = x._shift, x._shift + 1
    q = csc_array(([1.0, 2.0, 1.0], ([c0, c1, c1], [c0, c0, c1])), shape=(n, n))
    model.add_target(LinearExpression(linear.linear_coefficients, 0.0, q), True)
    assert model.solve() is SolutionStatus.OPTIMAL
    assert model.objective_value == pytest.approx(-2.25, abs=1e-6)
    assert model.get_result("x").tolist() == pytest.approx([0.0, 1.5], abs=1e-4)


def test_quadratic_target_built_before_later_columns(monkeypatch):
    # As the first model of a process: the target's rows are as wide as its columns then.
    monkeypatch.setattr(VariableArray, "_total_created_variables", 0)
    model = LinearModel()
    x = model.get_variable("x", VariableType.REAL, 0, 10)
    target = x[()] * x[()] - x[()] * 2
    y = model.get_variable("y", VariableType.REAL, 0, 10, i=2)
    model.add_constraint(y[0] + y[1] >= 3)
    # The target's rows are narrower than the model's columns now.
    assert target.quadratic_coefficients.shape == (1, 1) and y._shift == 1
    model.add_target(target, True)
    assert model.solve() is SolutionStatus.OPTIMAL
    assert model.get_result("x") == pytest.approx(1.0, abs=1e-4)
    assert model.objective_value == pytest.approx(-1.0, abs=1e-6)
    assert model.get_result("y").sum() >= 3 - 1e-6


def test_replaced_objective_keeps_nothing_of_the_old_one():
    model = LinearModel()
    x = model.get_variable("x", VariableType.REAL, 0, 4, i=2)
    model.add_target(x[0] * x[0] + x[1] * 5, False)
    model.add_target(x[0] * -1, True)
    assert model.solve() is SolutionStatus.OPTIMAL
    assert model.objective_value == pytest.approx(-4.0)
    assert model.get_result("x")[0] == pytest.approx(4.0)


@pytest.mark.parametrize("kind", ["infeasible", "unbounded"])
def test_unsolved_models(kind, log_sink):
    model = LinearModel()
    x = model.get_variable("x", VariableType.REAL, 0 if kind == "infeasible" else -np.inf,
                           i=2)
    if kind == "infeasible":
        model.add_constraint(x[0] + x[1] <= -1)
    model.add_target(x[0] + x[1], False)
    assert model.solve() is SolutionStatus.INFEASIBLE
    assert log_sink.at("warning") == ["The model was not solved correctly"]
    with pytest.raises(SolverError, match="^The model was not solved correctly$"):
        model.solve(is_feasible=True)
    with pytest.raises(SolverError):
        model.get_result("x")


def test_start_values_reach_the_solver():
    model = LinearModel()
    k = model.get_variable("k", VariableType.INTEGER, 0, 3, i=2)
    model.add_constraint(k[0] + k[1] <= 4)
    model.add_target(k[0] * 2 + k[1], False)
    model.set_solution("k", np.array([2, 2]))
    assert model.solve() is SolutionStatus.OPTIMAL
    assert model.get_result("k").tolist() == [3, 1]
    assert model.get_linsolver_solution().value_valid


@pytest.mark.parametrize("suffix", [".mps", ".lp"])
def test_model_file_reads_back_with_the_same_optimum(tmp_path, suffix):
    model = LinearModel()
    x = model.get_variable("x", VariableType.REAL, 0, 10, i=2)
    b = model.get_variable("b", VariableType.BINARY, i=2)
    model.add_constraints((x[0:2] - b[0:2] * 4) <= 1)
    model.add_constraint(x[0] + x[1] <= 7)
    model.add_constraint(b[0] + b[1] <= 1)
    model.add_target(x[0] * 3 + x[1] * 2 - b[0] - b[1], False)
    assert model.solve() is SolutionStatus.OPTIMAL
    path = tmp_path / "sub" / ("m" + suffix)
    model.write_model(str(path))
    h = highspy.Highs()
    h.setOptionValue("output_flag", False)
    h.readModel(str(path))
    h.run()
    assert h.getModelStatus() == highspy.HighsModelStatus.kOptimal
    assert h.getInfo().objective_function_value == pytest.approx(model.objective_value)


# ---------------------------------------------------------------------------------------------
# The same models through both generations.

@pytest.fixture
def first():
    return first_module


def test_transport_equals_the_first_generation(first):
    from zk_encoder.linear_parser import Sum, SumIt
    supply, demand = [35, 50, 40], [45, 20, 30, 30]
    cost = [[8, 6, 10, 9], [9, 12, 13, 7], [14, 9, 16, 5]]
    one = first.LinearModel()
    ship = one.get_variables("ship", first.VariableType.REAL, lo=0, plant=3, market=4)
    p, m = one.get_indexes(["p", "m"])
    for a in range(3):
        one.add_constraint(Sum(ship[a, m], m=range(4)) <= supply[a])
    for b in range(4):
        one.add_constraint(Sum(ship[p, b], p=range(3)) >= demand[b])
    one.add_constraint(ship[p, m] <= 30, p=range(3), m=range(4))
    one.add_target(SumIt([cost[a][b] * ship[a, b] for a in range(3) for b in range(4)]), True)

    two = LinearModel()
    s = two.get_variable("ship", VariableType.REAL, 0, 30, plant=3, market=4)
    two.add_constraints(sum(s[:, b] for b in range(4)) <= np.array(supply, float))
    two.add_constraints(sum(s[a, :] for a in range(3)) >= np.array(demand, float))
    two.add_target(dot(s[:, :], np.array(cost, float).ravel()), True)

    assert one.solve() is first.SolutionStatus.OPTIMAL
    assert two.solve() is SolutionStatus.OPTIMAL
    assert two.objective_value == pytest.approx(one.objective_value)
    assert one.get_result("ship").shape == two.get_result("ship").shape == (3, 4)


def test_random_programs_equal_the_first_generation(first):
    from zk_encoder.linear_parser import SumIt
    seed = fresh_seed()
    rng = np.random.default_rng(seed)
    for trial in range(8):
        n, m = int(rng.integers(2, 5)), int(rng.integers(1, 4))
        A = rng.integers(-3, 4, (m, n))
        hi = rng.integers(1, 9, m)
        c = rng.integers(-5, 6, n)
        integral = trial % 2 == 1
        kind1 = first.VariableType.INTEGER if integral else first.VariableType.REAL
        kind2 = VariableType.INTEGER if integral else VariableType.REAL
        one = first.LinearModel()
        x1 = one.get_variables("x", kind1, lo=-2, hi=3, i=n)
        two = LinearModel()
        x2 = two.get_variable("x", kind2, -2, 3, i=n)
        for r in range(m):
            one.add_constraint(SumIt([int(A[r, j]) * x1[j] for j in range(n)]) <= int(hi[r]))
            two.add_constraint(dot(x2[0:n], A[r].astype(float)), upper_bound=int(hi[r]))
        one.add_target(SumIt([int(c[j]) * x1[j] for j in range(n)]), False)
        two.add_target(dot(x2[:], c.astype(float)), False)
        assert one.solve() is first.SolutionStatus.OPTIMAL
        assert two.solve() is SolutionStatus.OPTIMAL
        assert two.objective_value == pytest.approx(one.objective_value, abs=1e-6)
        assert two.get_result("x").dtype == one.get_result("x").dtype


def test_quadratic_programs_equal_the_first_generation(first):
    from zk_encoder.linear_parser import SumIt
    weights, values, decay = [12, 7, 11, 8, 9, 6, 14, 5], [24, 13, 23, 15, 16, 11, 28, 8], \
        [10, 4, 8, 5, 6, 3, 12, 2]
    n = len(weights)
    one = first.LinearModel()
    x1 = one.get_variables("x", first.VariableType.REAL, 0, 1, item=n)
    one.add_constraint(SumIt([weights[k] * x1[k] for k in range(n)]) <= 37)
    one.add_target(SumIt([decay[k] * (x1[k] * x1[k]) - values[k] * x1[k] for k in range(n)]),
                   True)
    two = LinearModel()
    x2 = two.get_variable("x", VariableType.REAL, 0, 1, item=n)
    two.add_constraint(dot(x2[:], np.array(weights, float)) <= 37)
    loss = dot(x2[:], -np.array(values, float))
    for k in range(n):
        loss = loss + x2[k] * x2[k] * decay[k]
    two.add_target(loss, True)
    assert one.solve() is first.SolutionStatus.OPTIMAL
    assert two.solve() is SolutionStatus.OPTIMAL
    assert two.objective_value == pytest.approx(one.objective_value, abs=1e-6)
    assert np.allclose(two.get_result("x"), one.get_result("x"), atol=1e-5)


def pairwise(blocks):
    blocks = list(blocks)
    while len(blocks) > 1:
        blocks = [sum(blocks[i:i + 2]) for i in range(0, len(blocks), 2)]
    return blocks[0]


def test_transport_lps_of_block_sums_equal_highs_directly():
    """Rows stated as sums and differences of many picked blocks (pairwise and with the host's
    sum()), against the same model handed to HiGHS directly as a dense matrix."""
    seed = fresh_seed()
    rng = np.random.default_rng(seed)
    for trial in range(12):
        s, d = int(rng.integers(1, 6)), int(rng.integers(1, 6))
        supply = rng.integers(1, 10, s).astype(float)
        demand = rng.integers(1, 10, d).astype(float)
        supply *= 1.5 * demand.sum() / supply.sum()
        cost = rng.integers(1, 20, (s, d)).astype(float)
        swing = rng.integers(-3, 4, s).astype(float)
        integral = trial % 3 == 2
        model = LinearModel()
        kind = VariableType.INTEGER if integral else VariableType.REAL
        ship = model.get_variable("ship", kind, 0, 50, source=s, sink=d)
        model.add_constraints(pairwise(ship[:, j] for j in range(d)) <= supply)
        model.add_constraints(sum(ship[i, :] for i in range(s)) >= demand)
        # Each source's first sink against the rest, a difference of sums.
        rest = pairwise(ship[:, j] for j in range(1, d)) if d > 1 else ship[:, 0] * 0
        model.add_constraints(ship[:, 0] * 2 - rest - ship[:, 0] <= swing + 30)
        model.add_target(dot(ship[:, :], cost.ravel()), minimization=True)
        status = model.solve()

        n = s * d
        A = np.zeros((s + d + s, n))
        for i in range(s):
            A[i, i * d:(i + 1) * d] = 1
            A[s + d + i, i * d] = 1
            A[s + d + i, i * d + 1:(i + 1) * d] = -1
        for j in range(d):
            A[s + j, j::d] = 1
        h = highspy.Highs()
        h.setOptionValue("output_flag", False)
        lower = np.concatenate([np.full(s, -np.inf), demand, np.full(s, -np.inf)])
        upper = np.concatenate([supply, np.full(d, np.inf), swing + 30])
        nz = np.nonzero(A)
        starts = np.searchsorted(nz[0], np.arange(A.shape[0] + 1)).astype(np.int32)
        h.passModel(n, A.shape[0], len(nz[0]), 2, 1, 0.0, cost.ravel(), np.zeros(n),
                    np.full(n, 50.0), lower, upper, starts, nz[1].astype(np.int32), A[nz],
                    np.full(n, 1 if integral else 0, dtype=np.int32))
        h.run()
        if h.getModelStatus() != highspy.HighsModelStatus.kOptimal:
            assert status is not SolutionStatus.OPTIMAL
            continue
        assert status is SolutionStatus.OPTIMAL
        assert model.objective_value == pytest.approx(h.getInfo().objective_function_value,
                                                      abs=1e-6)
        x = model.get_result("ship").ravel()
        assert np.all(A @ x >= lower - 1e-6) and np.all(A @ x <= upper + 1e-6)


# ---------------------------------------------------------------------------------------------
# Numbers as programs pass them, judged by the optimum HiGHS gives for the same data directly.

def highs_optimum(cost, sense_min, lower, upper, A, row_lo, row_hi, integral):
    h = highspy.Highs()
    h.setOptionValue("output_flag", False)
    n, m = len(cost), A.shape[0]
    nz = np.nonzero(A)
    starts = np.searchsorted(nz[0], np.arange(m + 1)).astype(np.int32)
    h.passModel(n, m, len(nz[0]), 2, 1 if sense_min else -1, 0.0, np.asarray(cost, float),
                np.asarray(lower, float), np.asarray(upper, float), np.asarray(row_lo, float),
                np.asarray(row_hi, float), starts, nz[1].astype(np.int32), A[nz].astype(float),
                np.asarray(integral, dtype=np.int32))
    h.run()
    if h.getModelStatus() != highspy.HighsModelStatus.kOptimal:
        return None
    return h.getInfo().objective_function_value


def test_integer_product_past_int32_solves_to_its_optimum():
    # min w0 subject to 3e9 w0 >= 1.2e10: w0 = 4. A coefficient wrapped to -1294967296 would
    # make the model infeasible.
    model = LinearModel()
    w = model.get_variable("w", VariableType.INTEGER, 0, 10, i=3)
    model.add_constraint(w[0] * 50000 * 60000 >= 12_000_000_000)
    model.add_target(w[0] * 1, True)
    assert model.solve() is SolutionStatus.OPTIMAL
    assert model.objective_value == pytest.approx(4.0)
    assert model.get_result("w")[0] == 4
    A = np.array([[3e9, 0, 0]])
    assert highs_optimum([1, 0, 0], True, [0] * 3, [10] * 3, A, [1.2e10], [np.inf],
                         [1] * 3) == pytest.approx(4.0)


def test_infinite_bounds_are_no_bounds():
    model = LinearModel()
    x = model.get_variable("x", VariableType.REAL, 0, 3, i=2)
    model.add_constraint((x[0] + x[1] <= np.inf) >= -np.inf)
    model.add_constraints(x[0:2] <= np.array([np.inf, 2.0]))
    model.add_constraint(x[0] + 1, lower_bound=np.float64(-np.inf), upper_bound=float("inf"))
    model.add_target(x[0] + x[1], False)
    assert model.solve() is SolutionStatus.OPTIMAL
    assert model.objective_value == pytest.approx(5.0)


def reference_model():
    model = LinearModel()
    x = model.get_variable("x", VariableType.REAL, 0, 4, i=3)
    k = model.get_variable("k", VariableType.INTEGER, 0, 5, i=2)
    return model, x, k


def finish(model, x, k):
    model.add_constraint(x[0] + x[1] + k[0] <= 6)
    model.add_constraints(x[[1, 2]] - k[[0, 1]] * 2 <= np.array([1.0, 0.5]))
    model.add_target(dot(x[:], np.array([1.0, 2.0, 3.0])) + k[1] * 4, False)
    return model.solve(), model.objective_value, model.get_result("x").tolist()


REFUSED_IN_A_MODEL = [
    ("foreign-row", lambda m, x, k, v: m.add_constraint(v[0] + x[0] <= 1), BuildError),
    ("foreign-block", lambda m, x, k, v: m.add_constraints(v[0:2] <= 1), BuildError),
    ("foreign-target", lambda m, x, k, v: m.add_target(v[1] * 1, True), BuildError),
    ("nan-bound", lambda m, x, k, v: m.add_constraint(x[0] <= float("nan")), ValueError),
    ("nan-bound-vector", lambda m, x, k, v: m.add_constraints(
        x[0:2], upper_bounds=np.array([np.nan, 1.0])), ValueError),
    ("nan-coefficient", lambda m, x, k, v: m.add_constraint(x[0] * np.nan <= 1), ValueError),
    ("complex-bound", lambda m, x, k, v: m.add_constraint(x[0], upper_bound=2j), TypeError),
    ("none-comparison", lambda m, x, k, v: m.add_constraint(x[0] <= None), TypeError),
    # numpy's own error: three bounds do not spread over two rows.
    ("bound-vector-size", lambda m, x, k, v: m.add_constraints(
        x[0:2], lower_bounds=np.zeros(3)), ValueError),
    ("border-size", lambda m, x, k, v: m.add_constraints(x[0:2] >= np.zeros(3)), FormulaError),
    ("short-mask", lambda m, x, k, v: m.add_constraints(x[[True, False]] <= 1), IndexError),
]


@pytest.mark.parametrize("call,exc", [c[1:] for c in REFUSED_IN_A_MODEL],
                         ids=[c[0] for c in REFUSED_IN_A_MODEL])
def test_a_refused_call_leaves_a_model_that_solves_as_one_that_never_saw_it(log_sink, call, exc):
    model, x, k = reference_model()
    other = LinearModel()
    v = other.get_variable("x", VariableType.REAL, 0, 4, i=3)
    with pytest.raises(exc):
        call(model, x, k, v)
    assert finish(model, x, k) == finish(*reference_model())


def scalar_forms(rng, value):
    """A number as a program may hand it over."""
    forms = [value]
    if float(value).is_integer() and abs(value) < 2**31:
        forms += [np.int32(int(value)), np.int64(int(value))]
    forms += [np.float64(value), fractions.Fraction(value).limit_denominator(1000)
              if float(value).is_integer() else np.float64(value)]
    return forms[int(rng.integers(len(forms)))]


def big_cancel(rng):
    """Two large integers whose difference is small: only exact integer arithmetic keeps it."""
    big = int(rng.choice([2**31, 3_000_000_000, 2**40, 2**53 + 1, 2**60, 2**62]))
    small = int(rng.integers(-3, 4))
    return big + small, big, small


def random_mixed_row(rng, x, k, n_x, n_k):
    """A row built with numpy scalars, large integers and integer arrays; its coefficients over
    the columns (x first, then k) and its constant, computed beside it."""
    coefs, constant = np.zeros(n_x + n_k), 0.0
    row = x[int(rng.integers(n_x))] * 0
    for _ in range(int(rng.integers(1, 5))):
        kind = rng.integers(4)
        if kind == 0:  # a scaled variable of either array
            c = int(rng.integers(-4, 5))
            if rng.random() < 0.5:
                j = int(rng.integers(n_x))
                row = row + x[j] * scalar_forms(rng, c)
                coefs[j] += c
            else:
                j = int(rng.integers(n_k))
                row = scalar_forms(rng, c) * k[j] + row
                coefs[n_x + j] += c
        elif kind == 1:  # large integers that cancel on an integer variable
            j = int(rng.integers(n_k))
            plus, minus, small = big_cancel(rng)
            row = row + (k[j] * np.int64(plus) - k[j] * minus) if plus < 2**63 else \
                row + (k[j] * plus - k[j] * minus)
            coefs[n_x + j] += small
        elif kind == 2:  # integer weights over a block of the integer array
            idx = rng.integers(0, n_k, 3)
            w = rng.integers(-3, 4, 3).astype(rng.choice([np.int32, np.int64]))
            row = row + dot(k[idx.tolist()], w)
            for i, wi in zip(idx, w):
                coefs[n_x + i] += wi
        else:  # a constant, as a numpy scalar
            c = int(rng.integers(-5, 6))
            row = row + scalar_forms(rng, c)
            constant += c
    return row, coefs, constant


def test_random_models_of_program_numbers_equal_highs_directly():
    seed = fresh_seed()
    rng = np.random.default_rng(seed)
    for _ in range(15):
        n_x, n_k = int(rng.integers(1, 4)), int(rng.integers(1, 4))
        model = LinearModel()
        x = model.get_variable("x", VariableType.REAL, np.float64(-3), np.int64(4), i=n_x)
        k = model.get_variable("k", VariableType.INTEGER, 0, 5, i=n_k)
        A, lo, hi = [], [], []
        for _ in range(int(rng.integers(1, 4))):
            row, coefs, constant = random_mixed_row(rng, x, k, n_x, n_k)
            upper = int(rng.integers(0, 8))
            model.add_constraint(row <= scalar_forms(rng, upper))
            A.append(coefs)
            lo.append(-np.inf)
            hi.append(upper - constant)
        # A block of rows: integer weights and large integers that cancel, bounds as an
        # integer array.
        idx = rng.integers(0, n_k, 2).tolist()
        plus, minus, small = big_cancel(rng)
        w = rng.integers(1, 3, 2).astype(np.int64)
        block = k[idx] * w + (k[idx] * plus - k[idx] * minus) - x[[0, n_x - 1]]
        upper = rng.integers(2, 9, 2).astype(np.int32)
        model.add_constraints(block <= upper)
        for r in range(2):
            coefs = np.zeros(n_x + n_k)
            coefs[n_x + idx[r]] += w[r] + small
            coefs[[0, n_x - 1][r]] -= 1
            A.append(coefs)
            lo.append(-np.inf)
            hi.append(float(upper[r]))
        target, cost, _ = random_mixed_row(rng, x, k, n_x, n_k)
        minimize = bool(rng.random() < 0.5)
        model.add_target(target, np.bool_(minimize))
        status = model.solve()
        want = highs_optimum(cost, minimize, [-3] * n_x + [0] * n_k, [4] * n_x + [5] * n_k,
                             np.array(A), lo, hi, [0] * n_x + [1] * n_k)
        if want is None:
            assert status is not SolutionStatus.OPTIMAL
            continue
        assert status is SolutionStatus.OPTIMAL
        assert model.objective_value == pytest.approx(want, abs=1e-6)
        values = np.concatenate([model.get_result("x"), model.get_result("k")])
        assert np.all(np.array(A) @ values <= np.array(hi) + 1e-6)
