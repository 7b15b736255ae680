"""The first-generation model given the numbers, for-all values and blocks that programs really
pass: numpy scalars and arrays, booleans and fractions, integers beyond 64 bits, NaN and
infinities, None, another model's blocks, subscripts with the wrong number of positions.

Every case runs on both evaluation routes (the native one and the host's eval) and is judged by
meaning: the rows and costs the engine receives, and the optimum HiGHS gives for the same
matrices handed to it directly. Every refused call must leave the model exactly as if it had
never been made: the same engine calls afterwards and the same optimum."""

import fractions
import warnings

import highspy
import numpy as np
import pytest

import zk_encoder.linear_parser.linear_model as linear_model
from zk_encoder._exceptions import BuildError
from zk_encoder.linear_parser import Sum, SumIt
from zk_encoder.linear_parser.linear_expression import LinearExpression
from zk_encoder.linear_parser.linear_model import LinearModel, SolutionStatus, VariableType
from zk_encoder.linear_parser.linear_variables import LinearVariable

INF = float("inf")
SWITCH = "ZK_ENCODER_LP1_EVAL"


@pytest.fixture(params=["native", "host"])
def route(request, monkeypatch):
    if request.param == "host":
        monkeypatch.setenv(SWITCH, "host")
    else:
        monkeypatch.delenv(SWITCH, raising=False)
    return request.param


@pytest.fixture
def engine(monkeypatch, recorder):
    """A recording engine that also solves (the stand-in's own solver behind it)."""
    recording = recorder(forward=True)
    monkeypatch.setattr(linear_model, "linsolver", recording.module)
    return recording


def plain(value):
    """An engine argument as comparable host data; numbers as floats."""
    if isinstance(value, np.ndarray):
        return [plain(v) for v in value.tolist()]
    if isinstance(value, (tuple, list)):
        return [plain(v) for v in value]
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, float, np.number)):
        return value
    return float(value)


def plain_calls(calls):
    return [(op, plain(args)) for op, args in calls]


def rows(calls):
    """The rows handed over as (lower, upper, {column: coefficient}), numbers as floats; a
    stored zero means what no entry means."""
    out = []
    for op, args in calls:
        if op == "addRow":
            lower, upper, count, indexes, values = args
            assert count == len(indexes) == len(values)
            out.append((float(lower), float(upper),
                        {int(c): float(v) for c, v in zip(indexes, values) if v != 0}))
    return out


class Blocks:
    """A model with x (3 columns, 0 .. 10) and y (2 x 2, 0 .. 10) and its indexes i, j."""

    def __init__(self):
        self.m = LinearModel()
        self.x = self.m.get_variables("x", VariableType.REAL, 0, 10, k=3)
        self.y = self.m.get_variables("y", VariableType.REAL, 0, 10, a=2, b=2)
        self.i, self.j = self.m.get_indexes(["i", "j"])


def highs_optimum(ncols, lower, upper, rows_, costs, minimize, integral=None):
    """HiGHS's optimum of the same matrices, handed over directly; None without one."""
    h = highspy.Highs()
    h.setOptionValue("output_flag", False)
    starts, index, value = [0], [], []
    for _, _, entries in rows_:
        for c, v in sorted(entries.items()):
            index.append(c)
            value.append(v)
        starts.append(len(index))
    cost = np.zeros(ncols)
    for c, v in costs.items():
        cost[c] = v
    h.passModel(ncols, len(rows_), len(index), 2, 1 if minimize else -1, 0.0, cost,
                np.asarray(lower, float), np.asarray(upper, float),
                np.array([r[0] for r in rows_], float), np.array([r[1] for r in rows_], float),
                np.array(starts, np.int32), np.array(index, np.int32), np.array(value, float),
                np.zeros(ncols, np.int32) if integral is None else np.asarray(integral, np.int32))
    h.run()
    if h.getModelStatus() != highspy.HighsModelStatus.kOptimal:
        return None
    return h.getInfo().objective_function_value


# --- numbers and for-all values by meaning --------------------------------------------------

MEANINGS = [
    ("numpy list as for-all values", lambda b: b.m.add_constraint(
        b.x[b.i] <= 1, i=list(np.arange(3))),
     [(-INF, 1, {0: 1}), (-INF, 1, {1: 1}), (-INF, 1, {2: 1})]),
    ("numpy array as for-all values", lambda b: b.m.add_constraint(
        b.x[b.i] <= 1, i=np.arange(1, 3)),
     [(-INF, 1, {1: 1}), (-INF, 1, {2: 1})]),
    ("numpy arrays in two for-alls", lambda b: b.m.add_constraint(
        b.y[b.i, b.j] <= 2, i=np.array([1], np.int32), j=np.arange(2, dtype=np.uint8)),
     [(-INF, 2, {4: 1}), (-INF, 2, {6: 1})]),
    ("booleans as for-all values", lambda b: b.m.add_constraint(
        b.x[b.i] >= 1, i=[True, np.False_]),
     [(1, INF, {1: 1}), (1, INF, {0: 1})]),
    ("numpy integers in a Sum", lambda b: b.m.add_constraint(
        Sum(b.x[b.j], j=[np.int64(0), np.int64(2)]) <= 5),
     [(-INF, 5, {0: 1, 2: 1})]),
    ("numpy array in a Sum", lambda b: b.m.add_constraint(
        Sum(b.x[b.j], j=np.array([0, 2], dtype=np.int32)) + b.x[1] <= 5),
     [(-INF, 5, {0: 1, 1: 1, 2: 1})]),
    ("numpy float coefficient", lambda b: b.m.add_constraint(np.float64(2.5) * b.x[0] <= 5),
     [(-INF, 5, {0: 2.5})]),
    ("numpy scalar on the left", lambda b: b.m.add_constraint(np.float64(2) * b.x[0] <= 6),
     [(-INF, 6, {0: 2.0})]),
    ("numpy int coefficient, float32 bound", lambda b: b.m.add_constraint(
        b.x[0] * np.int64(3) <= np.float32(4)),
     [(-INF, 4, {0: 3})]),
    ("float32 coefficient by its value", lambda b: b.m.add_constraint(
        np.float32(0.1) * b.x[0] <= 1),
     [(-INF, 1, {0: float(np.float32(0.1))})]),
    ("fraction coefficient", lambda b: b.m.add_constraint(
        fractions.Fraction(1, 2) * b.x[0] <= 1),
     [(-INF, 1, {0: 0.5})]),
    ("fraction bound", lambda b: b.m.add_constraint(b.x[0] <= fractions.Fraction(7, 2)),
     [(-INF, 3.5, {0: 1})]),
    ("numpy bound arguments", lambda b: b.m.add_constraint(
        b.x[0] + b.x[1], lo=np.int64(1), hi=np.float32(2.5)),
     [(1, 2.5, {0: 1, 1: 1})]),
    ("numpy eq", lambda b: b.m.add_constraint(b.x[0] - b.x[1], eq=np.float64(0.5)),
     [(0.5, 0.5, {0: 1, 1: -1})]),
    ("infinite bound", lambda b: b.m.add_constraint(b.x[0] + 1 <= np.inf, lo=-INF),
     [(-INF, INF, {0: 1})]),
    ("numpy integer subscript", lambda b: b.m.add_constraint(b.x[np.int64(1)] <= 2),
     [(-INF, 2, {1: 1})]),
    ("product beyond 64 bits", lambda b: b.m.add_constraint(
        b.x[0] * 2**32 * 2**32 + b.x[1] <= 3),
     [(-INF, 3, {0: 2.0**64, 1: 1})]),
    ("large integers that cancel", lambda b: b.m.add_constraint(
        b.x[0] * (2**64 + 3) - b.x[0] * 2**64 <= 6),
     [(-INF, 6, {0: 3})]),
    ("products that cancel past 64 bits", lambda b: b.m.add_constraint(
        b.x[2] * 2**40 * 2**40 - b.x[2] * (2**40 + 1) * (2**40 - 1) <= 7),
     [(-INF, 7, {2: 1})]),
    ("a float entry beside large integers", lambda b: b.m.add_constraint(
        0.5 * b.x[0] + b.x[1] * 2**64 - b.x[1] * (2**64 - 1) <= 2),
     [(-INF, 2, {0: 0.5, 1: 1})]),
    ("large constant", lambda b: b.m.add_constraint(b.x[0] + 2**70 - (2**70 - 1) <= 2),
     [(-INF, 1, {0: 1})]),
    ("large sum", lambda b: b.m.add_constraint(
        Sum(b.x[0] * 2**62, j=range(4)) - b.x[0] * 2**64 + b.x[1] <= 2),
     [(-INF, 2, {1: 1})]),
]


@pytest.mark.parametrize("build, expected", [c[1:] for c in MEANINGS], ids=[c[0] for c in MEANINGS])
def test_inputs_mean_what_the_same_host_numbers_mean(route, engine, build, expected):
    b = Blocks()
    engine.calls.clear()
    build(b)
    got = rows(engine.calls)
    assert got == [(float(lo), float(hi), {c: float(v) for c, v in e.items()})
                   for lo, hi, e in expected]
    if any(abs(v) > 1e9 for _, _, e in got for v in e.values()):
        return  # beyond what HiGHS takes as a matrix value
    target = SumIt([b.x[0], b.x[1], b.x[2], b.y[0, 0]])
    b.m.add_target(target, False)
    assert b.m.solve() is SolutionStatus.OPTIMAL
    want = highs_optimum(7, [0] * 7, [10] * 7, got, {0: 1, 1: 1, 2: 1, 3: 1}, False)
    assert b.m.objective_value == pytest.approx(want, rel=1e-9, abs=1e-9)


# A numpy array as for-all values means what the list of the same host values means: the same
# rows, or the same error.
ARRAYS_AS_LISTS = [
    ("floats", np.array([0.0, 1.0]), [0.0, 1.0]),
    ("float32", np.array([1.5], dtype=np.float32), [1.5]),
    ("whole floats", np.array([2.0]), [2.0]),
    ("bools", np.array([True, False]), [True, False]),
    ("ints", np.array([2, 0], dtype=np.int8), [2, 0]),
    ("objects", np.array([1, np.int64(2)], dtype=object), [1, 2]),
    ("objects with a float", np.array([1, 0.5], dtype=object), [1, 0.5]),
    ("rows", np.array([[0, 1], [1, 2]]), [[0, 1], [1, 2]]),
    ("no dimension", np.array(2), 2),
    ("no dimension, a float", np.array(2.0), 2.0),
    ("empty floats", np.array([], dtype=float), []),
    ("complex", np.array([1j]), [1j]),
    ("texts", np.array(["1"]), ["1"]),
]


def forall_outcome(b, engine, values):
    engine.calls.clear()
    try:
        b.m.add_constraint(b.x[b.i] <= 1, i=values)
    except Exception as err:  # noqa: BLE001 - the error is the outcome compared
        return type(err), str(err)
    return rows(engine.calls)


@pytest.mark.parametrize("array,values", [c[1:] for c in ARRAYS_AS_LISTS],
                         ids=[c[0] for c in ARRAYS_AS_LISTS])
def test_a_numpy_array_of_for_all_values_means_its_list(route, engine, array, values):
    got = forall_outcome(Blocks(), engine, array)
    assert got == forall_outcome(Blocks(), engine, values)
    assert not (isinstance(got, tuple) and got[0] is SyntaxError)


def test_a_float_array_of_for_all_values_gives_the_lists_error(route, engine):
    b = Blocks()
    with pytest.raises(TypeError, match=r"^Linear variable x: index 0\.0 must be an integer$"):
        b.m.add_constraint(b.x[b.i] <= 1, i=np.array([0.0, 1.0]))
    with pytest.raises(TypeError, match=r"^Linear variable x: index 1\.0 must be an integer$"):
        b.m.add_constraint(Sum(b.x[b.j], j=np.array([1.0])) <= 1)
    assert rows(engine.calls) == []


def test_an_integer_beyond_64_bits_as_an_objective_cost(route, engine):
    b = Blocks()
    engine.calls.clear()
    b.m.add_target(b.x[0] * 2**32 * 2**32 - b.x[0] * (2**64 - 2) + b.x[1] * 2**70, True)
    costs = [(int(args[0]), args[1]) for op, args in engine.calls if op == "changeColCost"]
    assert costs == [(0, 2), (1, float(2**70))]


# --- refusals that leave the model as it was ------------------------------------------------

def other_model():
    other = LinearModel()
    return (other.get_variables("x", VariableType.REAL, 0, 10, k=3),
            other.get_variables("z", VariableType.REAL, 0, 10, k=2))


def without_numpy_warning(call):
    # A float product that overflows warns as numpy does before the call is refused.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        call()


BLOCK_X = "Variable x belongs to another model"
BLOCK_Z = "Variable z belongs to another model"
REFUSALS = [
    ("infinity through arithmetic", lambda b, o: without_numpy_warning(
        lambda: b.m.add_constraint(Sum(b.x[b.j], j="range(i)") * 1e308 * 10 + b.x[0] <= 4,
                                   i=range(3))),
     ValueError, "Coefficient must be a finite number, not inf"),
    ("NaN coefficient", lambda b, o: b.m.add_constraint(float("nan") * b.x[0] <= 1),
     ValueError, "Coefficient must be a finite number, not nan"),
    ("infinite coefficient", lambda b, o: b.m.add_constraint(b.x[0] * float("inf") <= 1),
     ValueError, "Coefficient must be a finite number, not inf"),
    ("infinite literal in a text", lambda b, o: b.m.add_constraint(
        LinearExpression("1e400 * (x(0))") <= 1),
     ValueError, "Coefficient must be a finite number, not inf"),
    ("complex coefficient", lambda b, o: b.m.add_constraint(2j * b.x[0] <= 1),
     TypeError, "Type 'LinearExpression' is expected for left side of expression"),
    ("another model's block of the same name", lambda b, o: b.m.add_constraint(o[0][1] <= 0),
     BuildError, BLOCK_X),
    ("another model's block of another name", lambda b, o: b.m.add_constraint(
        b.x[0] + o[1][0] <= 0),
     BuildError, BLOCK_Z),
    ("a block of no model", lambda b, o: b.m.add_constraint(
        LinearVariable("x", 0, 1, {"k": 3}, 0, type_var="float64")[1] <= 1),
     BuildError, BLOCK_X),
    ("another model's block in a Sum", lambda b, o: b.m.add_constraint(
        Sum(o[0][b.j], j=range(2)) + b.x[0] <= 1, lo=0),
     BuildError, BLOCK_X),
    ("another model's block in the objective", lambda b, o: b.m.add_target(
        SumIt([b.x[0], 3 * o[1][1]]), True),
     BuildError, BLOCK_Z),
    ("an objective with an infinite coefficient", lambda b, o: without_numpy_warning(
        lambda: b.m.add_target(1e200 * (1e200 * b.x[0]), True)),
     ValueError, "Coefficient must be a finite number, not inf"),
    ("an objective with an infinite quadratic part", lambda b, o: without_numpy_warning(
        lambda: b.m.add_target((1e200 * b.x[0]) * (1e200 * b.x[1]), True)),
     ValueError, "Coefficient must be a finite number, not inf"),
    ("a comparison with None", lambda b, o: b.m.add_constraint(b.x[0] <= None),
     TypeError, "'<=' not supported between instances of 'LinearVariableProxy' and 'NoneType'"),
    ("a NaN bound", lambda b, o: b.m.add_constraint(b.x[0] >= np.nan),
     ValueError, "Lower bound must be a number, not nan"),
    ("a NaN bound argument", lambda b, o: b.m.add_constraint(b.x[0] + b.x[1], hi=float("nan")),
     ValueError, "Upper bound must be a number, not nan"),
    ("a NaN eq", lambda b, o: b.m.add_constraint(b.x[0] + 0, eq=np.float32("nan")),
     ValueError, "Equation bound must be a number, not nan"),
    ("a complex bound argument", lambda b, o: b.m.add_constraint(b.x[0] + 0, lo=1j),
     TypeError, "Lower bound must be a real number, not complex: 1j"),
    ("an expression as a bound", lambda b, o: b.m.add_constraint(b.x[0] == b.x[1]),
     TypeError, "Lower bound must be a real number, not LinearVariableProxy"),
    ("a surplus position", lambda b, o: b.m.add_constraint(b.x[0, 2] <= 1),
     IndexError, "Variable x has 1 dimension(s), but x(0,2) names 2"),
    ("a missing position", lambda b, o: b.m.add_constraint(b.y[1] <= 1),
     IndexError, "Variable y has 2 dimension(s), but y(1) names 1"),
    ("an element outside its block in the last instance", lambda b, o: b.m.add_constraint(
        b.x[b.i + 1] <= 1, i=np.arange(3)),
     IndexError, "Linear variable x: index 3 is outside dimension 'k' of size 3"),
    ("a coefficient beyond the floats", lambda b, o: b.m.add_constraint(b.x[0] * 2**1100 <= 1),
     OverflowError, "int too large to convert to float"),
    ("a constant beyond the floats", lambda b, o: b.m.add_constraint(b.x[0] + 2**1100 <= 1),
     OverflowError, "int too large to convert to float"),
]


def scenario(refused=None, exc=None, message=None, other=None):
    """A model built in steps, with an objective before and rows after the refused call."""
    b = Blocks()
    b.m.add_constraint(b.x[0] + b.x[1] <= 4)
    b.m.add_target(b.x[0] + 2 * b.x[1] + b.y[0, 0], False)
    if refused is not None:
        with pytest.raises(exc) as err:
            refused(b, other)
        assert str(err.value) == message
    b.m.add_constraint(Sum(b.x[b.i], i=range(3)) + b.y[0, 0] <= 7)
    b.m.add_constraint(b.y[b.i, b.j] <= 1, i=range(2), j=range(2))
    assert b.m.solve() is SolutionStatus.OPTIMAL
    return b.m.objective_value


@pytest.mark.parametrize("refused, exc, message", [c[1:] for c in REFUSALS],
                         ids=[c[0] for c in REFUSALS])
def test_a_refused_call_changes_nothing(route, engine, log_sink, refused, exc, message):
    clean = scenario()
    clean_calls = plain_calls(engine.calls)
    other = other_model()
    engine.calls.clear()
    log_sink.calls.clear()
    assert scenario(refused, exc, message, other) == clean
    assert plain_calls(engine.calls) == clean_calls
    if exc is not OverflowError:
        assert message in log_sink.at("error")


def test_the_reproducer_of_a_partly_added_constraint_solves_as_without_it(route):
    def build(refused):
        b = Blocks()
        if refused:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", RuntimeWarning)
                with pytest.raises(ValueError):
                    b.m.add_constraint(
                        Sum(b.x[b.j], j="range(i)") * 1e308 * 10 + b.x[0] <= 4, i=range(3))
        b.m.add_constraint(b.x[0] + b.x[1] + b.x[2] <= 30)
        b.m.add_target(b.x[0] + b.x[1] + b.x[2], False)
        b.m.solve()
        return b.m.objective_value
    assert build(True) == build(False) == 30


def test_a_refused_objective_keeps_the_previous_one(route, engine):
    b = Blocks()
    b.m.add_constraint(b.x[0] + b.x[1] <= 4)
    b.m.add_target(b.x[0] + 2 * b.x[1], False)
    engine.calls.clear()
    other_x, _ = other_model()
    engine.calls.clear()
    with pytest.raises(BuildError, match=BLOCK_X):
        b.m.add_target(b.x[2] + other_x[0], True)
    assert engine.calls == []
    assert b.m.solve() is SolutionStatus.OPTIMAL and b.m.objective_value == pytest.approx(8)


# --- whole models over numpy scalars, large integers and numpy for-all values ------------------

def coefficient_forms(v):
    """Ways a program writes v * e with v an integer or a float exact in float32."""
    forms = [lambda e: v * e, lambda e: e * np.float64(v), lambda e: np.float32(v) * e,
             lambda e: fractions.Fraction(v) * e]
    if float(v).is_integer():
        w = int(v)
        forms += [lambda e: np.int64(w) * e, lambda e: e * np.int32(w),
                  lambda e: e * (2**64 + w) - e * 2**64,
                  lambda e: e * 2**40 * (2**40 * w) - e * (2**80 * w - w),
                  lambda e: Sum(e * 2**62, r=range(4)) * w - e * (2**64 * w - w)]
    return forms


def number_forms(v):
    forms = [v, np.float64(v), np.float32(v), fractions.Fraction(v)]
    if float(v).is_integer():
        forms += [np.int64(int(v)), int(v), np.int16(int(v))]
    return forms


def forall_forms(values):
    return [list(values), np.array(values), np.array(values, dtype=np.int32),
            [np.int64(v) for v in values], tuple(int(v) for v in values)]


def random_value(rng):
    return rng.choice([rng.randint(-4, 4), rng.randint(-4, 4) * 0.5, 0.25, -1.5])


def random_model(rng):
    """(model builder, expected columns, rows and objective) over random forms."""
    n = rng.randint(2, 6)
    lo = [rng.randint(-3, 0) for _ in range(n)]
    hi = [rng.randint(1, 5) for _ in range(n)]
    integral = rng.random() < 0.3
    steps, expected = [], []

    for _ in range(rng.randint(1, 4)):  # explicit rows
        entries = {k: random_value(rng) for k in rng.sample(range(n), rng.randint(1, n))}
        bound = rng.randint(-2, 8)
        forms = {k: rng.choice(coefficient_forms(v)) for k, v in entries.items()}
        constant = rng.choice([0, 1, -2])
        bound_form = rng.choice(number_forms(bound))
        steps.append(lambda m, x, f=forms, c=constant, bf=bound_form: m.add_constraint(
            SumIt([g(x[k]) for k, g in f.items()]) + c <= bf))
        expected.append((-INF, bound - constant, {k: v for k, v in entries.items() if v}))

    if n >= 2:  # a for-all family over x[i], x[i + 1]
        a, c = random_value(rng), random_value(rng)
        lower = rng.randint(-6, 0)
        values = sorted(rng.sample(range(n - 1), rng.randint(1, n - 1)))
        fa, fc = rng.choice(coefficient_forms(a)), rng.choice(coefficient_forms(c))
        over = rng.choice(forall_forms(values))
        low = rng.choice(number_forms(lower))
        steps.append(lambda m, x, fa=fa, fc=fc, over=over, low=low: m.add_constraint(
            fa(x[i_of(m)]) + fc(x[i_of(m) + 1]), lo=low, i=over))
        for v in values:
            row = {}
            for k, w in ((v, a), (v + 1, c)):
                if w:
                    row[k] = row.get(k, 0) + w
            expected.append((lower, INF, row))

    # A Sum over numpy for-all values.
    subset = sorted(rng.sample(range(n), rng.randint(1, n)))
    s, bound = random_value(rng), rng.randint(0, 9)
    fs, over = rng.choice(coefficient_forms(s)), rng.choice(forall_forms(subset))
    steps.append(lambda m, x, fs=fs, over=over, b=bound: m.add_constraint(
        Sum(fs(x[j_of(m)]), j=over) <= b))
    expected.append((-INF, bound, {k: s for k in subset} if s else {}))

    costs = {k: random_value(rng) for k in range(n)}
    cost_forms = {k: rng.choice(coefficient_forms(v)) for k, v in costs.items()}
    minimize = rng.random() < 0.5
    steps.append(lambda m, x: m.add_target(
        SumIt([g(x[k]) for k, g in cost_forms.items()]) + 5, minimize))

    def build(m):
        kind = VariableType.INTEGER if integral else VariableType.REAL
        x = m.get_variables("x", kind, lo=min(lo), hi=max(hi), k=n)
        m.get_indexes(["i", "j"])
        for k in range(n):
            m.add_constraint(x[k], lo=lo[k], hi=hi[k])
        for step in steps:
            step(m, x)
        return x

    bounds_rows = [(lo[k], hi[k], {k: 1}) for k in range(n)]
    return build, n, (min(lo), max(hi)), bounds_rows + expected, costs, minimize, integral


def i_of(m):
    return m._indexes["i"]


def j_of(m):
    return m._indexes["j"]


def test_random_models_match_highs_given_the_same_matrices(route, engine, rng):
    seed = rng.seed_value
    for _ in range(40):
        build, n, (lo, hi), expected, costs, minimize, integral = random_model(rng)
        engine.calls.clear()
        m = LinearModel()
        build(m)
        got = rows(engine.calls)
        assert got == [(float(a), float(b), {k: float(v) for k, v in e.items()})
                       for a, b, e in expected], seed
        set_costs = {int(args[0]): float(args[1]) for op, args in engine.calls
                     if op == "changeColCost" and args[1] != 0}
        assert set_costs == {k: float(v) for k, v in costs.items() if v}, seed
        want = highs_optimum(n, [lo] * n, [hi] * n, got, costs, minimize,
                             [1] * n if integral else None)
        if want is None:
            with pytest.raises(Exception):
                m.solve()
            continue
        assert m.solve() is SolutionStatus.OPTIMAL, seed
        assert m.objective_value == pytest.approx(want, rel=1e-9, abs=1e-9), seed


def test_references_made_by_a_replaced_proxy_class_keep_their_block(route, engine, monkeypatch):
    import zk_encoder.linear_parser.linear_variables as linear_variables
    from zk_encoder.linear_parser.linear_expression import LinearVariableProxy

    class Recorded(LinearVariableProxy):
        pass

    monkeypatch.setattr(linear_variables, "LinearVariableProxy", Recorded)
    b = Blocks()
    other_x, _ = other_model()
    engine.calls.clear()
    with pytest.raises(BuildError, match=BLOCK_X):
        b.m.add_constraint(other_x[0] + 0 <= 1)
    b.m.add_constraint(b.x[0] + 0 <= 1)
    assert type(b.x[0]) is Recorded and rows(engine.calls) == [(-INF, 1, {0: 1})]


def test_a_block_keeps_its_identity_through_every_operation(route, engine):
    # Unary, reflected and bounded forms, sums and products all carry the blocks they name.
    b = Blocks()
    other_x, other_z = other_model()
    engine.calls.clear()
    for build in (lambda v: -v, lambda v: +v, lambda v: 3 - v, lambda v: 2 * v + 1,
                  lambda v: (v + 1) * b.x[1], lambda v: b.x[1] * v, lambda v: Sum(v, r=[0]),
                  lambda v: SumIt([b.x[2], v]), lambda v: b.x[1] - v):
        with pytest.raises(BuildError, match=BLOCK_Z):
            b.m.add_constraint(build(other_z[1]) <= 1)
        with pytest.raises(BuildError, match=BLOCK_Z):
            b.m.add_target(build(other_z[1]), True)
    assert engine.calls == []
