"""The model-level rules both linear generations share, side by side: solver options, the sizes
and bounds of a new block with the solver's column limit, and start values.

Each model runs on the stand-in engine through a recorder that keeps every solver call (arrays
with their dtypes, floats bit for bit). Numbers of other types are judged by the model the same
Python numbers give: the same engine calls and the same optimum. Each refusal is judged by the
model that never saw the call: after it, the same valid calls give the same engine calls and
the same optimum."""

import fractions
import functools
import itertools
import operator

import numpy as np
import pytest

import nubrix.sorn_engine as se
import zk_encoder.linear_parser.linear_model as first_module
import zk_encoder.linear_parser2.model as second_module
from zk_encoder.linear_parser import Sum, SumIt
from zk_encoder.linear_parser2 import dot
from zk_encoder.linear_parser2.variable import VariableArray
from support.fakes import RecordingLinsolver, plain
from support.qp_cases import QP_CASES, elements, objective_parts, optimum

NAN, INF = float("nan"), float("inf")


# --- the two generations behind one face ----------------------------------------------------


def member(kinds, kind):
    """The member of that name, or the text itself (which no generation takes as a kind)."""
    return getattr(kinds, kind, kind)


class Generation:
    """One generation's model, block creation and column count under one name each."""

    def __init__(self, module, add_block, counter):
        self.module, self.add_block, self.counter = module, add_block, counter

    def model(self, *args, **options):
        return self.module.LinearModel(*args, **options)

    def block(self, m, name, kind, *bounds, **dims):
        return getattr(m, self.add_block)(name, member(self.module.VariableType, kind), *bounds,
                                          **dims)


class First(Generation):
    def __init__(self):
        super().__init__(first_module, "get_variables", "_general_shift_variable")

    def bounds(self, block):
        return block.lo, block.hi

    def finish(self, m, weights, cap):
        """Every block of the model (one dimension each) in one row `sum <= cap`, and the
        target: the largest weighted sum."""
        i = m.get_indexes(["i"])
        blocks = list(m._variables.values())
        row = SumIt([Sum(b[i], i=range(b.shape[0])) for b in blocks])
        m.add_constraint(row <= cap)
        terms = [w * b[k] for b in blocks for k, w in zip(range(b.shape[0]), weights[b._name])]
        m.add_target(SumIt(terms), False)

    def solve(self, m):
        return m.solve()


class Second(Generation):
    def __init__(self):
        super().__init__(second_module, "get_variable", "_general_shift_variables")

    def bounds(self, array):
        return array.lower_bound, array.upper_bound

    def finish(self, m, weights, cap):
        arrays = list(m._variables.values())

        def weighted(weights_of):
            rows = [dot(a[0:a.shape[0]], np.asarray(weights_of(a), float)) for a in arrays]
            return functools.reduce(operator.add, rows)

        m.add_constraint(weighted(lambda a: np.ones(a.shape[0])) <= cap)
        m.add_target(weighted(lambda a: weights[a.name]), False)

    def solve(self, m):
        return m.solve(is_feasible=True)


GENERATIONS = [First(), Second()]


def recorded(monkeypatch, generation):
    """The generation with a recording engine of its own as its module's linsolver."""
    recorder = RecordingLinsolver(forward=True, keep=plain)
    monkeypatch.setattr(generation.module, "linsolver", recorder)
    generation.recorder = recorder
    return generation


@pytest.fixture(params=GENERATIONS, ids=["first", "second"])
def gen(request, monkeypatch):
    return recorded(monkeypatch, request.param)


@pytest.fixture(params=GENERATIONS, ids=["first", "second"])
def generation(request):
    """The generation on the stand-in engine itself, for what is judged end to end."""
    return request.param


# --- solving end to end ---------------------------------------------------------------------


def capped_knapsack(generation, weights, cap, **options):
    """Blocks `take` (binary) and `k` (integer, 0 to 5): every element at most `cap` in all, the
    target the largest weighted sum."""
    m = generation.model(**options)
    generation.block(m, "take", "BINARY", i=len(weights["take"]))
    generation.block(m, "k", "INTEGER", 0, 5, i=len(weights["k"]))
    generation.finish(m, weights, cap)
    return m


KNAPSACK = {"take": [4, 5], "k": [3, 2, 1]}


def test_time_limit_with_a_feasible_start_is_suboptimal(generation, log_sink):
    m = capped_knapsack(generation, KNAPSACK, 7, time_limit=0.0)
    m.set_solution("take", np.array([1, 0]))
    m.set_solution("k", np.array([1, 1, 1]))
    assert m.solve() is generation.module.SolutionStatus.SUBOPTIMAL
    assert log_sink.at("warning") == [
        "Solution is suboptimal due to a time limit, but a primal solution is available"]
    take, k = m.get_result("take"), m.get_result("k")
    assert take.sum() + k.sum() <= 7
    assert m.objective_value == pytest.approx(take @ KNAPSACK["take"] + k @ KNAPSACK["k"])


def test_solve_without_start_values(monkeypatch, generation, log_sink):
    recorded(monkeypatch, generation)
    m = capped_knapsack(generation, KNAPSACK, 7)
    assert m.solve() is generation.module.SolutionStatus.OPTIMAL
    assert "setSolution" not in generation.recorder.ops()
    # The optimum 4 + 5 + 5 * 3 is the only one: both items, then k0 up to its bound.
    assert m.get_result("take").tolist() == [1, 1] and m.get_result("k").tolist() == [5, 0, 0]
    assert m.objective_value == pytest.approx(24) and m.get_linsolver_solution().value_valid
    assert log_sink.at("warning") == []


def outcome(gen, m):
    """What a finished model gives: its optimum and every block's values."""
    gen.solve(m)
    return m.objective_value, {name: m.get_result(name).tolist() for name in m._variables}


WEIGHTS = {"x": [3, 2, 1], "y": [1, 4], "z": [2]}


def later_calls(gen, m):
    """The valid calls every model of a comparison gets after the call under test: one more
    block, a row over all blocks, a target, start values, a solve."""
    gen.block(m, "z", "INTEGER", 0, 4, n=1)
    gen.finish(m, WEIGHTS, 6)
    m.set_solution("z", 1)
    return outcome(gen, m)


# --- numpy numbers, large integers and other reals mean the same Python numbers ---------------

SAME_BLOCKS = [
    ("numpy-integer-bounds-and-size",
     ("INTEGER", np.int64(0), np.int32(5)), {"n": np.int64(3)},
     ("INTEGER", 0, 5), {"n": 3}),
    ("numpy-float-bounds",
     ("REAL", np.float64(0.5), np.float32(2)), {"n": np.int64(3)},
     ("REAL", 0.5, 2.0), {"n": 3}),
    ("unsigned-and-narrow-sizes",
     ("REAL", 0, 3), {"n": np.uint8(3)}, ("REAL", 0, 3), {"n": 3}),
    ("fraction-bound", ("REAL", fractions.Fraction(1, 2), 3), {"n": 3},
     ("REAL", 0.5, 3), {"n": 3}),
    ("large-int-bound", ("REAL", 0, 10**30), {"n": 3}, ("REAL", 0, 1e30), {"n": 3}),
    ("zero-dimensional-arrays", ("REAL", np.array(0), np.array(2.5)), {"n": 3},
     ("REAL", 0, 2.5), {"n": 3}),
    ("numpy-bool-bound", ("INTEGER", np.False_, np.int16(4)), {"n": 3},
     ("INTEGER", False, 4), {"n": 3}),
]


@pytest.mark.parametrize("numpy_kind,numpy_dims,python_kind,python_dims",
                         [c[1:] for c in SAME_BLOCKS], ids=[c[0] for c in SAME_BLOCKS])
def test_numbers_of_other_types_give_the_model_of_the_python_numbers(
        gen, numpy_kind, numpy_dims, python_kind, python_dims):
    results = []
    for kind, dims in ((numpy_kind, numpy_dims), (python_kind, python_dims)):
        m = gen.model()
        x = gen.block(m, "x", *kind, **dims)
        assert all(type(s) is int for s in x.shape)
        assert type(getattr(m, gen.counter)) is int
        results.append((x.shape, [(type(b), b) for b in gen.bounds(x)], later_calls(gen, m),
                        gen.recorder.take()))
    assert results[0] == results[1]


def test_a_numpy_model_has_the_brute_force_optimum(gen):
    m = gen.model(time_limit=np.float64(30), mip_rel_gap=np.float32(0))
    gen.block(m, "x", "INTEGER", np.int64(0), np.int32(5), n=np.int64(3))
    gen.block(m, "y", "INTEGER", np.int8(-1), np.uint16(2), n=np.int32(2))
    gen.finish(m, {"x": [3, -2, 1], "y": [1, 4]}, 7)
    m.set_solution("x", np.array([1, 0, 1], dtype=np.int64))
    m.set_solution("y", np.float32(1))
    best = max(3 * a - 2 * b + c + d + 4 * e
               for a, b, c in itertools.product(range(6), repeat=3)
               for d, e in itertools.product(range(-1, 3), repeat=2) if a + b + c + d + e <= 7)
    assert gen.solve(m).name == "OPTIMAL"
    assert m.objective_value == pytest.approx(best)
    x, y = m.get_result("x"), m.get_result("y")
    assert 3 * x[0] - 2 * x[1] + x[2] + y[0] + 4 * y[1] == best


@pytest.mark.parametrize("numpy_options,python_options", [
    ({"time_limit": np.float64(2.5), "mip_rel_gap": np.float32(0.5)},
     {"time_limit": 2.5, "mip_rel_gap": 0.5}),
    ({"time_limit": np.int64(3), "presolve": "off"}, {"time_limit": 3, "presolve": "off"}),
    ({"log_solver": np.False_, "mip_detect_symmetry": np.True_},
     {"log_solver": False, "mip_detect_symmetry": True}),
    ({"time_limit": INF, "mip_rel_gap": 0}, {"time_limit": INF, "mip_rel_gap": 0}),
], ids=["floats", "int-and-text", "switches", "no-limit-and-zero"])
def test_numpy_options_reach_the_solver_as_python_numbers(gen, numpy_options, python_options):
    calls = []
    for options in (numpy_options, python_options):
        m = gen.model(**options)
        calls.append((later_calls(gen, m), gen.recorder.take()))
    assert calls[0] == calls[1]


# --- refused options: before anything is made ---------------------------------------------

OPTIONS_REFUSED = [
    ("nan-time-limit", {"time_limit": NAN}, "time_limit must be a non-negative number, not nan"),
    ("negative-time-limit", {"time_limit": -1}, "time_limit must be a non-negative number, not -1"),
    ("negative-numpy-time-limit", {"time_limit": np.float64(-0.5)},
     "time_limit must be a non-negative number, not -0.5"),
    ("nan-gap", {"mip_rel_gap": np.float32("nan")},
     "mip_rel_gap must be a non-negative number, not nan"),
    ("negative-gap", {"presolve": "off", "mip_rel_gap": -1e-9},
     "mip_rel_gap must be a non-negative number, not -1e-09"),
    ("nan-other-option", {"mip_feasibility_tolerance": NAN},
     "mip_feasibility_tolerance must be a number, not nan"),
]


@pytest.mark.parametrize("options,message", [c[1:] for c in OPTIONS_REFUSED],
                         ids=[c[0] for c in OPTIONS_REFUSED])
def test_refused_options_make_no_solver(gen, log_sink, options, message):
    with pytest.raises(ValueError) as err:
        gen.model(**options)
    assert str(err.value) == message
    assert log_sink.calls == [(message, se.log_level_type.error)]
    assert gen.recorder.calls == []


# --- the solver's column limit -------------------------------------------------------------

TOO_MANY = "Linear variable named x has too many elements: its columns would run past 2147483647"


@pytest.mark.parametrize("dims", [{"n": 10**12}, {"n": 2**31}, {"i": 2**16, "j": 2**15},
                                  {"i": 10**10, "j": 10**10, "k": 10**10}, {"n": 10**30},
                                  {"n": np.uint64(2**63)}],
                         ids=["10^12", "2^31", "2^16x2^15", "10^30-as-product", "10^30",
                              "numpy-2^63"])
def test_a_block_past_the_column_limit_is_refused_before_anything_is_allocated(
        gen, log_sink, dims):
    m = gen.model()
    gen.recorder.take()
    with pytest.raises(ValueError) as err:
        gen.block(m, "x", "REAL", **dims)
    assert str(err.value) == TOO_MANY and log_sink.at("error") == [TOO_MANY]
    assert gen.recorder.calls == [] and getattr(m, gen.counter) == 0


def test_the_limit_counts_the_columns_the_model_has(gen, monkeypatch):
    m = gen.model()
    # Numbering as if the model held 2**31 - 4 columns already: three more fit, four do not.
    setattr(m, gen.counter, 2**31 - 4)
    if isinstance(gen, Second):
        monkeypatch.setattr(VariableArray, "_total_created_variables", 2**31 - 4)
    gen.recorder.take()
    with pytest.raises(ValueError, match="^" + TOO_MANY + "$"):
        gen.block(m, "x", "REAL", n=4)
    assert gen.recorder.calls == []
    y = gen.block(m, "y", "REAL", n=3)
    assert getattr(m, gen.counter) == 2**31 - 1
    assert [op for op, *_ in gen.recorder.calls] == ["addVars"]
    with pytest.raises(ValueError, match="^Linear variable named z has too many elements"):
        gen.block(m, "z", "REAL")
    assert gen.bounds(y) == (-INF, INF)


def test_an_empty_dimension_makes_a_huge_product_empty(gen):
    m = gen.model()
    x = gen.block(m, "x", "REAL", i=10**12, j=0)
    assert getattr(m, gen.counter) == 0 and x.shape == (10**12, 0)


# --- a refused block changes nothing ------------------------------------------------------

BAD_SIZES = "Dimension sizes must be non-negative integers"

BLOCK_REFUSED = [
    ("complex-lower", ("REAL", 1j, 2), {"n": 2}, TypeError,
     "Lower bound must be a real number, not complex: 1j"),
    ("numpy-complex-upper", ("REAL", 0, np.complex128(2 + 1j)), {"n": 2}, TypeError,
     "Upper bound must be a real number, not complex: np.complex128(2+1j)"),
    ("complex-integer-bound", ("INTEGER", 0j, 2), {"n": 2}, TypeError,
     "Lower bound must be a real number, not complex: 0j"),
    ("text-bound", ("REAL", "0", 2), {"n": 2}, TypeError,
     "Lower bound must be a real number, not str"),
    ("none-bound", ("REAL", 0, None), {"n": 2}, TypeError,
     "Upper bound must be a real number, not NoneType"),
    ("list-bound-of-texts", ("REAL", ["0", "1"], 2), {"n": 2}, TypeError,
     "Lower bound must be a real number, not str"),
    ("text-in-a-list-bound", ("REAL", 0, [1, "2"]), {"n": 2}, TypeError,
     "Upper bound must be a real number, not str"),
    ("none-in-a-list-bound", ("REAL", [0, None], 2), {"n": 2}, TypeError,
     "Lower bound must be a real number, not NoneType"),
    ("nan-in-a-bound-array", ("REAL", np.array([0.0, NAN]), 2), {"n": 2}, ValueError,
     "Lower bound must be a number, not nan"),
    ("nan-in-a-bound-of-one", ("REAL", 0, np.array([NAN])), {"n": 2}, ValueError,
     "Upper bound must be a number, not nan"),
    ("complex-in-a-bound-array", ("REAL", 0, np.array([1, 2j])), {"n": 2}, TypeError,
     "Upper bound must be a real number, not complex: 2j"),
    ("complex-in-a-list-bound", ("REAL", [0, 1j], 2), {"n": 2}, TypeError,
     "Lower bound must be a real number, not complex: 1j"),
    ("complex-in-an-object-bound", ("REAL", np.array([0, np.complex64(3)], dtype=object), 2),
     {"n": 2}, TypeError, "Lower bound must be a real number, not complex: np.complex64(3+0j)"),
    ("int-past-the-floats-in-a-bound", ("REAL", [0, 10**400], 10**401), {"n": 2},
     OverflowError, "int too large to convert to float"),
    ("nan-lower", ("REAL", NAN, 2), {"n": 2}, ValueError, "Lower bound must be a number, not nan"),
    ("numpy-nan-upper", ("REAL", 0, np.float64(NAN)), {"n": 2}, ValueError,
     "Upper bound must be a number, not nan"),
    ("nan-integer-bound", ("INTEGER", 0, NAN), {"n": 2}, ValueError,
     "Upper bound must be a number, not nan"),
    ("float-size", ("REAL", 0, 2), {"n": 2.0}, ValueError, BAD_SIZES),
    ("numpy-float-size", ("REAL", 0, 2), {"n": np.float64(2)}, ValueError, BAD_SIZES),
    ("negative-numpy-size", ("REAL", 0, 2), {"n": np.int64(-1)}, ValueError, BAD_SIZES),
    ("true-size", ("REAL", 0, 2), {"n": True}, ValueError, BAD_SIZES),
    ("false-size", ("REAL", 0, 2), {"n": False}, ValueError, BAD_SIZES),
    ("numpy-bool-size", ("REAL", 0, 2), {"n": np.bool_(True)}, ValueError, BAD_SIZES),
    ("too-many", ("REAL", 0, 2), {"i": 2**20, "j": 2**20}, ValueError, TOO_MANY),
    ("kind", ("REALS", 0, 2), {"n": 2}, ValueError, "Invalid variable format"),
]


def check_refused_block(gen, log_sink, kind, bounds, dims, exc, message, logged):
    """A block the model refuses with `exc` and `message` (logged or not) leaves the model as
    one that was never asked, but for its name."""
    results = []
    for bad in (True, False):
        m = gen.model()
        gen.block(m, "y", "REAL", -1, 3, n=2)
        before = VariableArray._total_created_variables
        if bad:
            calls = len(gen.recorder.calls)
            with pytest.raises(exc) as err:
                gen.block(m, "x", kind, *bounds, **dims)
            assert type(err.value) is exc and str(err.value) == message
            assert log_sink.at("error") == ([message] if logged else [])
            assert len(gen.recorder.calls) == calls
            assert VariableArray._total_created_variables == before
            # The name stays taken: it passed the name tests.
            assert "x" in m._used_vars and "x" not in m._variables
        results.append((later_calls(gen, m), gen.recorder.take(), getattr(m, gen.counter),
                        list(m._variables)))
    assert results[0] == results[1]


@pytest.mark.parametrize("args,dims,exc,message", [c[1:] for c in BLOCK_REFUSED],
                         ids=[c[0] for c in BLOCK_REFUSED])
def test_a_refused_block_leaves_the_model_as_if_never_asked(gen, log_sink, args, dims, exc,
                                                             message):
    kind, *bounds = args
    check_refused_block(gen, log_sink, kind, bounds, dims, exc, message,
                        logged=exc is not OverflowError)


# --- a bound for each element ------------------------------------------------------------
#
# A bound that numpy spreads over the block's elements as np.full does (a number, n values in
# row-major element order, one value in an array of one) gives each element its own bound. The
# first generation numbers its columns with the first dimension fastest: element e's bound must
# still reach element e's column.


def element_columns(gen, block):
    """The model column of each element, in row-major element order."""
    return list(block.map) if isinstance(gen, First) else block._map().tolist()


def recorded_floats(arg):
    """A recorded float64 vector (support.fakes.plain) as its floats."""
    kind, dtype, values = arg
    assert (kind, dtype) == ("array", "<f8"), arg
    return [float.fromhex(v[1]) for v in values]


def sent_bounds(gen, block, calls):
    """The bounds the engine received for each element of `block`, in row-major element order,
    from the last addVars call."""
    (_, (count, lower, upper)), = [c for c in calls if c[0] == "addVars"][-1:]
    lower, upper = recorded_floats(lower), recorded_floats(upper)
    first = min(element_columns(gen, block), default=0)
    at = [c - first for c in element_columns(gen, block)]
    return [lower[k] for k in at], [upper[k] for k in at]


def weighted(gen, x, weights, elements):
    if isinstance(gen, First):
        return SumIt([float(w) * x[e] for e, w in zip(elements, weights)])
    return functools.reduce(operator.add, [x[e] * float(w) for e, w in zip(elements, weights)])


def test_a_bound_for_each_element_solves_as_highs_given_the_same_columns(gen):
    from scipy.optimize import linprog

    sizes = (2, 3)
    elements = list(itertools.product(*map(range, sizes)))
    lo = np.array([-3.0, 0.5, -1.0, 2.0, 0.0, -2.5])
    hi = lo + np.array([1.0, 2.5, 4.0, 1.5, 3.0, 0.5])
    weights = [5.0, 1.0, 3.0, 4.0, 2.0, 6.0]
    m = gen.model()
    gen.block(m, "w", "REAL", 0, 1, n=2)  # x's columns do not start at 0
    x = gen.block(m, "x", "REAL", lo, hi, i=sizes[0], j=sizes[1])
    assert sent_bounds(gen, x, gen.recorder.calls) == (lo.tolist(), hi.tolist())
    # The block records the bounds the program gave.
    assert gen.bounds(x)[0] is lo and gen.bounds(x)[1] is hi
    cap = 4.0
    m.add_constraint(weighted(gen, x, [1.0] * 6, elements) <= cap)
    m.add_target(weighted(gen, x, weights, elements), False)
    assert gen.solve(m).name == "OPTIMAL"
    want = linprog(-np.array(weights), A_ub=[[1.0] * 6], b_ub=[cap], bounds=list(zip(lo, hi)),
                   method="highs")
    assert want.status == 0
    assert m.objective_value == pytest.approx(-want.fun, abs=1e-9)
    assert m.get_result("x").reshape(-1) == pytest.approx(want.x, abs=1e-9)


@pytest.mark.parametrize("sizes", [(3,), (2, 3), (3, 2), (2, 1, 3), (4, 3, 2)],
                         ids=lambda s: "x".join(map(str, s)))
def test_each_elements_bound_reaches_its_own_column(gen, sizes):
    m = gen.model()
    gen.block(m, "w", "REAL", 0, 1, n=1)
    n = int(np.prod(sizes))
    lo = np.arange(n, dtype=float) * 10
    hi = lo + 1 + np.arange(n) % 3
    x = gen.block(m, "x", "REAL", lo, hi, **{f"d{k}": s for k, s in enumerate(sizes)})
    assert sent_bounds(gen, x, gen.recorder.calls) == (lo.tolist(), hi.tolist())
    # Each element alone in the target: it ends at its own upper bound.
    elements = list(itertools.product(*map(range, sizes)))
    m.add_target(weighted(gen, x, [1.0] * n, elements), False)
    gen.solve(m)
    assert m.get_result("x").tolist() == hi.reshape(sizes).tolist()


SAME_ELEMENT_BOUNDS = [
    ("list", [0, 1, 2], np.array([0.0, 1.0, 2.0])),
    ("tuple", (0.5, 1, -INF), np.array([0.5, 1.0, -INF])),
    ("one-value-array", np.array([2.5]), np.array([2.5, 2.5, 2.5])),
    ("one-value-list", [-1], np.array([-1.0, -1.0, -1.0])),
    ("int-array", np.array([1, 2, 3], dtype=np.int16), np.array([1.0, 2.0, 3.0])),
    ("float32-array", np.array([0.1, 2, 3], dtype=np.float32),
     np.array([float(np.float32(0.1)), 2.0, 3.0])),
    ("bool-array", np.array([True, False, True]), np.array([1.0, 0.0, 1.0])),
    ("numbers-of-all-kinds", [fractions.Fraction(1, 2), np.int64(2), 10**30],
     np.array([0.5, 2.0, 1e30])),
    ("object-array", np.array([1, np.float32(0.5), True], dtype=object),
     np.array([1.0, 0.5, 1.0])),
    ("infinities", np.array([-INF, 0, INF]), np.array([-INF, 0.0, INF])),
]


@pytest.mark.parametrize("given,floats", [c[1:] for c in SAME_ELEMENT_BOUNDS],
                         ids=[c[0] for c in SAME_ELEMENT_BOUNDS])
@pytest.mark.parametrize("side", ["lower", "upper"])
def test_bounds_numpy_spreads_give_the_model_of_their_float_vector(gen, given, floats, side):
    results = []
    for bound in (given, floats):
        m = gen.model()
        lo, hi = (bound, INF) if side == "lower" else (-INF, bound)
        x = gen.block(m, "x", "REAL", lo, hi, n=3)
        assert gen.bounds(x)[side == "upper"] is bound
        results.append(gen.recorder.take())
    assert results[0] == results[1]


BOUNDS_NUMPY_REFUSES = [
    ("two-values-for-three", (np.zeros(2), 1), {"n": 3}),
    ("four-values-for-three", (0, [1, 2, 3, 4]), {"n": 3}),
    ("a-column-of-three", (np.zeros((3, 1)), 1), {"n": 3}),
    ("the-block-shape", (np.zeros((2, 3)), 1), {"i": 2, "j": 3}),
    ("values-for-an-empty-block", ([1.0], [2.0, 3.0]), {"n": 0}),
    ("ragged", ([[0], [1, 2]], 1), {"n": 2}),
]


def numpy_error(bounds, count):
    """What np.full says of the first bound it cannot spread over `count` columns."""
    for bound in bounds:
        try:
            np.full(count, fill_value=bound, dtype=np.float64)
        except ValueError as err:
            return str(err)
    raise AssertionError("numpy spreads both bounds")


@pytest.mark.parametrize("bounds,dims", [c[1:] for c in BOUNDS_NUMPY_REFUSES],
                         ids=[c[0] for c in BOUNDS_NUMPY_REFUSES])
def test_bounds_numpy_cannot_spread_fail_with_its_error_and_add_no_column(gen, log_sink, bounds,
                                                                         dims):
    message = numpy_error(bounds, int(np.prod(list(dims.values()))))
    check_refused_block(gen, log_sink, "REAL", bounds, dims, ValueError, message, logged=False)


def test_first_generation_integer_blocks_keep_their_int_test(monkeypatch, log_sink):
    gen = first(monkeypatch)
    m = gen.model()
    message = "For integer variables, the boundaries must be integers"
    for bounds in ((np.array([0, 1]), 2), (0, [1, 2]), (np.zeros(1, dtype=np.int64), 1)):
        log_sink.calls.clear()
        with pytest.raises(ValueError) as err:
            gen.block(m, "k", "INTEGER", *bounds, n=2)
        assert str(err.value) == message and log_sink.at("error") == [message]
        m = gen.model()
    assert [op for op, _ in gen.recorder.calls] == ["LinearSolver", "setOptionValue"] * 4


def test_second_generation_integer_arrays_take_bounds_for_each_element(monkeypatch, log_sink):
    gen = recorded(monkeypatch, Second())
    results = []
    for lo, hi in (([0, 1, 2], np.array([4, 4, 5])), ([0.0, 1.0, 2.0], [4.0, 4.0, 5.0])):
        m = gen.model()
        x = gen.block(m, "k", "INTEGER", lo, hi, n=3)
        assert gen.bounds(x) == (lo, hi)
        m.add_target(dot(x[0:3], np.array([1.0, 1.0, 1.0])), False)
        gen.solve(m)
        results.append((m.get_result("k").tolist(), gen.recorder.take()))
    assert results[0] == results[1] and results[0][0] == [4, 4, 5]
    # The input checks hold integer arrays to one integer bound for every element.
    monkeypatch.setattr(second_module, "DEBUG", "1")
    m = gen.model()
    gen.recorder.take()
    message = "For integer variables, the boundaries must be integers"
    with pytest.raises(ValueError) as err:
        gen.block(m, "k", "INTEGER", np.array([0, 1, 2]), 5, n=3)
    assert str(err.value) == message and log_sink.at("error") == [message]
    assert [op for op, _ in gen.recorder.calls] == []


# --- a QP that HiGHS fails in one generation's column order --------------------------------


def unplain(value):
    """A recorded argument (support.fakes.plain) as the plain value it stands for."""
    kind = value[0]
    if kind == "array":
        return [unplain(v) for v in value[2]]
    if kind == "scalar":
        return unplain(value[2])
    if kind == "float":
        return float.fromhex(value[1])
    return value[1]


def engine_model(calls, n):
    """The rows, costs and Hessian the engine received, as dense arrays over n columns."""
    rows, cost, hessian = [], np.zeros(n), np.zeros((n, n))
    for op, args in calls:
        args = [unplain(a) for a in args]
        if op == "addRow":
            row = np.zeros(n)
            np.add.at(row, args[3], args[4])
            rows.append((args[0], args[1], row))
        elif op == "changeColCost":
            cost[args[0]] = args[1]
        elif op == "changeColsCost":
            cost[args[1]] = args[2]
        elif op == "passHessian":
            dim, _, _, starts, index, values = args
            hessian = np.zeros((n, n))
            for col in range(dim):
                for k in range(starts[col], starts[col + 1]):
                    hessian[index[k], col] += values[k]
    return rows, cost, hessian


@pytest.mark.parametrize("case", [c for _, c in QP_CASES], ids=[n for n, _ in QP_CASES])
def test_a_qp_highs_fails_in_one_generations_column_order_solves_in_both(gen, case):
    m = gen.model()
    x = gen.block(m, "x", "REAL", case["lo"], case["hi"], i=case["a"], j=case["b"])
    n = case["a"] * case["b"]

    def affine(coefs, constant):
        used = [(e, w) for e, w in zip(elements(case), coefs) if w]
        return weighted(gen, x, [w for _, w in used], [e for e, _ in used]) + constant

    for row, cap in case["rows"]:
        m.add_constraint(affine(row, 0) <= cap)
    target = affine(case["c"], 0)
    for row, constant in zip(case["B"], case["d"]):
        square = affine(row, constant)
        target = target + square * square
    m.add_target(target, True)
    assert gen.solve(m).name == "OPTIMAL"
    assert m.objective_value == pytest.approx(optimum(case), abs=1e-9)
    # The engine received the case's rows, costs and Hessian on the block's columns.
    columns = element_columns(gen, x)
    perm = np.zeros((n, n))
    perm[columns, np.arange(n)] = 1
    rows, cost, hessian = engine_model(gen.recorder.calls, n)
    want_cost, want_hessian, _ = objective_parts(case)
    assert [(lo, hi, row.tolist()) for lo, hi, row in rows] == \
        [(-INF, float(cap), (perm @ np.array(r, float)).tolist()) for r, cap in case["rows"]]
    assert cost.tolist() == (perm @ want_cost).tolist()
    assert np.tril(hessian).tolist() == np.tril(perm @ want_hessian @ perm.T).tolist()


# --- start values ---------------------------------------------------------------------------

SAME_STARTS = [
    ("numpy-float", np.float64(1.0), 1.0),
    ("numpy-int-array", np.array([1, 0, 2], dtype=np.int64), [1.0, 0.0, 2.0]),
    ("float32-array", np.array([0.5, 1, 2], dtype=np.float32), [0.5, 1.0, 2.0]),
    ("bool-array", np.array([True, False, True]), [1.0, 0.0, 1.0]),
    ("mixed-list", [fractions.Fraction(1, 2), np.int32(2), 10**30], [0.5, 2.0, 1e30]),
    ("fraction", fractions.Fraction(3, 2), 1.5),
    ("nested", [[1], [np.int8(2)], [3]], [1.0, 2.0, 3.0]),
]


@pytest.mark.parametrize("given,python", [c[1:] for c in SAME_STARTS],
                         ids=[c[0] for c in SAME_STARTS])
def test_start_values_of_other_types_are_the_python_numbers(gen, given, python):
    results = []
    for values in (given, python):
        m = gen.model()
        gen.block(m, "x", "REAL", 0, 2, n=3)
        m.set_solution("x", values)
        results.append((m._prev_solution.tolist(), later_calls(gen, m), gen.recorder.take()))
    assert results[0] == results[1]


START_REFUSED = [
    ("nan", NAN, ValueError, "Start value must be a finite number, not nan"),
    ("numpy-nan", np.float64("nan"), ValueError, "Start value must be a finite number, not nan"),
    ("inf", INF, ValueError, "Start value must be a finite number, not inf"),
    ("minus-inf-in-list", [1, -INF, 2], ValueError,
     "Start value must be a finite number, not -inf"),
    ("nan-in-array", np.array([1.0, 2.0, np.nan]), ValueError,
     "Start value must be a finite number, not nan"),
    ("float32-inf", np.array([1, 2, np.inf], dtype=np.float32), ValueError,
     "Start value must be a finite number, not inf"),
    ("complex", 1j, TypeError, "Start value must be a real number, not complex: 1j"),
    ("numpy-complex", np.complex64(2), TypeError,
     "Start value must be a real number, not complex: (2+0j)"),
    ("complex-array", np.array([1, 2, 3], dtype=complex), TypeError,
     "Start value must be a real number, not complex: (1+0j)"),
    ("complex-in-list", [1, 2j, 3], TypeError,
     "Start value must be a real number, not complex: 2j"),
    ("real-complex-in-list", [1, 2 + 0j, 3], TypeError,
     "Start value must be a real number, not complex: (1+0j)"),
    ("text", "1.5", TypeError, "Start value must be a real number, not str"),
    ("texts", ["1", "2", "3"], TypeError, "Start value must be a real number, not str"),
    ("none", None, TypeError, "Start value must be a real number, not NoneType"),
    ("none-in-list", [1, None, 3], TypeError, "Start value must be a real number, not NoneType"),
]


@pytest.mark.parametrize("values,exc,message", [c[1:] for c in START_REFUSED],
                         ids=[c[0] for c in START_REFUSED])
def test_refused_start_values_keep_the_values_held_before(gen, log_sink, values, exc, message):
    results = []
    for bad in (True, False):
        m = gen.model()
        gen.block(m, "x", "REAL", 0, 2, n=3)
        gen.block(m, "y", "REAL", 0, 2, n=2)
        m.set_solution("x", [1, 2, 0])
        held = m._prev_solution.copy()
        if bad:
            with pytest.raises(exc) as err:
                m.set_solution("y", values)
            assert str(err.value) == message and log_sink.at("error") == [message]
            assert m._prev_solution.tolist() == held.tolist()
        results.append((m._prev_solution.tolist(), later_calls(gen, m), gen.recorder.take()))
    assert results[0] == results[1]
    # The solve hands over the values held before and the later ones (z's), nothing else.
    assert start_vectors(results[0][2]) == [[1.0, 2.0, 0.0, 0.0, 0.0, 1.0]]


def start_vectors(calls):
    return [[float.fromhex(v[1]) for v in args[0][1][2]]
            for op, args in calls if op == "setSolution"]


def test_start_values_that_do_not_fit_the_block_keep_the_values_held_before(gen):
    m = gen.model()
    gen.block(m, "x", "REAL", 0, 2, n=3)
    m.set_solution("x", [1, 2, 0])
    with pytest.raises(ValueError):
        m.set_solution("x", [1, 2])
    assert m._prev_solution.tolist() == [1.0, 2.0, 0.0]
    gen.solve(m)
    assert start_vectors(gen.recorder.calls) == [[1.0, 2.0, 0.0]]


# --- first-generation names: what its texts can hold ---------------------------------------


def first(monkeypatch):
    return recorded(monkeypatch, First())


KEYWORD = " is a keyword and cannot name a variable"
NOT_READ_BACK = " would not read back as the same name in a formula text"
HIDES = " would hide a name that formula texts use"

NAMES_REFUSED = [
    ("keyword", "for", KEYWORD),
    ("keyword-none", "None", KEYWORD),
    ("keyword-lambda", "lambda", KEYWORD),
    ("fullwidth-x", "\uff58", NOT_READ_BACK),
    ("ligature-fi", "\ufb01", NOT_READ_BACK),
    ("micro-sign", "\u00b5", NOT_READ_BACK),
    ("roman-numeral", "\u2168", NOT_READ_BACK),
    ("combining-accent", "e\u0301", NOT_READ_BACK),
    ("summation-class", "CompiledSum", HIDES),
    ("range", "range", HIDES),
    ("builtins", "__builtins__", HIDES),
]


@pytest.mark.parametrize("name,tail", [c[1:] for c in NAMES_REFUSED],
                         ids=[c[0] for c in NAMES_REFUSED])
def test_names_the_texts_cannot_hold_are_refused_and_leave_nothing(monkeypatch, log_sink, name,
                                                                    tail):
    gen = first(monkeypatch)
    results = []
    for bad in (True, False):
        m = gen.model()
        gen.block(m, "y", "REAL", -1, 3, n=2)
        if bad:
            calls = len(gen.recorder.calls)
            with pytest.raises(first_module.VariableError) as err:
                gen.block(m, name, "REAL", 0, 1, n=3)
            message = "Linear variable named " + name + tail
            assert str(err.value) == message and log_sink.at("error") == [message]
            assert len(gen.recorder.calls) == calls
            # Refused by the name tests: the name is not taken.
            assert m._used_vars == {"y"}
        results.append((later_calls(gen, m), gen.recorder.take()))
    assert results[0] == results[1]


@pytest.mark.parametrize("name", ["x1", "_y", "x_y", "\u00e9mile", "sum", "match", "Range",
                                  "compiledSum", "\u03bc"])
def test_names_the_texts_hold_give_the_model_of_a_plain_name(monkeypatch, name):
    gen = first(monkeypatch)
    results = []
    for block_name in (name, "x"):
        m = gen.model()
        x = gen.block(m, block_name, "INTEGER", 0, 5, n=3)
        # Every kind of text that names the block: a for-all row, a sum, a target.
        i = m.get_indexes(["i"])
        m.add_constraint(x[i] <= 4, i=range(3))
        m.add_constraint(Sum(x[i], i=range(3)) <= 7)
        m.add_target(SumIt([3 * x[0], 2 * x[1], x[2]]), False)
        results.append((outcome(gen, m)[0], m.get_result(block_name).tolist(),
                        gen.recorder.take()))
    assert results[0] == results[1]
    assert results[0][:2] == (4 * 3 + 3 * 2, [4, 3, 0])


def test_later_start_values_leave_the_vector_held_before_as_it_was(gen):
    # The vector held may be the one the engine was given at the last solve.
    m = gen.model()
    gen.block(m, "x", "REAL", 0, 2, n=3)
    m.set_solution("x", [1, 2, 0])
    held = m._prev_solution
    m.set_solution("x", [0, 1, 1])
    assert held.tolist() == [1.0, 2.0, 0.0] and m._prev_solution.tolist() == [0.0, 1.0, 1.0]


# --- engine failures --------------------------------------------------------------------------


class FailingIntegrality:
    """The model's solver, except that marking columns integral fails after they were added."""

    def __init__(self, solver):
        self.solver = solver

    def changeColsIntegrality(self, *args):
        raise RuntimeError("engine says no")

    def __getattr__(self, op):
        return getattr(self.solver, op)


def test_engine_failure_after_the_columns_exist_keeps_the_counts_in_step(gen):
    m = gen.model()
    solver = m._linsolver_model
    before = VariableArray._total_created_variables
    m._linsolver_model = FailingIntegrality(solver)
    with pytest.raises(RuntimeError, match="engine says no"):
        gen.block(m, "x", "INTEGER", 0, 1, n=3)
    assert "x" not in m._variables and getattr(m, gen.counter) == 3
    m._linsolver_model = solver
    y = gen.block(m, "y", "REAL", 0, 2, n=2)
    # Numbered behind the columns the engine holds, in the model and across the process.
    assert (y._st_shift if isinstance(gen, First) else y._shift) == 3
    if isinstance(gen, Second):
        assert VariableArray._total_created_variables - before == 5
    m.set_solution("y", [1, 1])
    assert m._prev_solution.tolist() == [0, 0, 0, 1, 1]
