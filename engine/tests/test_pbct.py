"""The pbct module: weighted literals, constraints, configuration and the ADDER encoding."""

import itertools
import random

import numpy as np
import pytest
from pysat.solvers import Solver

import nubrix.sorn_engine as se
import nubrix.sorn_engine.pbct as pb


LEQ, GEQ, BOTH = pb.Comparator_type.LEQ, pb.Comparator_type.GEQ, pb.Comparator_type.BOTH


def make_config(limit=1000000):
    config = pb.PBConfig()
    config.pb_encoder = pb.PB_Encoder_type.ADDER
    config.max_clauses_per_constraint = limit
    return config


def encode(terms, comparator, *bounds, aux=None, config=None):
    """Encodes sum(coef * var) over (var, coef) pairs; returns (clauses, aux)."""
    if aux is None:
        top = max([abs(v) for v, _ in terms], default=0)
        aux = pb.AuxVarManager(top + 1)
    config = config or make_config()
    constraint = pb.PBConstraint([pb.WeightedLit(v, c) for v, c in terms], comparator, *bounds)
    db = pb.VectorClauseDatabase(config)
    pb.pb2cnf(config).encode2(constraint, db, aux)
    return db.get_clauses(), aux


def holds(terms, comparator, bounds, values):
    total = sum(c * (values[abs(v)] if v > 0 else 1 - values[abs(v)]) for v, c in terms)
    if comparator is pb.Comparator_type.LEQ:
        return total <= bounds[0]
    if comparator is pb.Comparator_type.GEQ:
        return total >= bounds[0]
    lower, upper = (bounds[0], bounds[0]) if len(bounds) == 1 else bounds
    return lower <= total <= upper


def models_agree(clauses, variables, predicate):
    """For every assignment of `variables`: does it extend to a model exactly when predicate?"""
    with Solver(name="minisat22", bootstrap_with=clauses) as solver:
        for bits in itertools.product((0, 1), repeat=len(variables)):
            values = dict(zip(variables, bits))
            assumptions = [v if b else -v for v, b in values.items()]
            if solver.solve(assumptions=assumptions) != predicate(values):
                return values
    return None


def random_constraint(rng, near_ends=False):
    """A random constraint; with near_ends its bounds lie within a few units of the lowest or
    the highest sum the coefficients allow, where the encoder fixes carries it knows false."""
    nvars = rng.randint(1, 10)
    terms = []
    for _ in range(rng.randint(0, 12)):
        var = rng.randint(1, nvars)
        if rng.random() < 0.2:
            var = -var
        terms.append((var, rng.choice([0, 1, -1, 2, -3, 5, -7, 8, 13, -21]) * rng.randint(1, 3)))
    low = sum(min(c, 0) for _, c in terms)
    high = sum(max(c, 0) for _, c in terms)
    comparator = rng.choice(list(pb.Comparator_type))
    if near_ends:
        bound = lambda: rng.choice([low, high]) + rng.randint(-4, 4)  # noqa: E731
    else:
        bound = lambda: rng.randint(low - 3, high + 3)  # noqa: E731
    if comparator is pb.Comparator_type.BOTH and rng.random() < 0.5:
        bounds = sorted((bound(), bound())) if rng.random() < 0.8 else (bound(), bound())
    else:
        bounds = (bound(),)
    return nvars, terms, comparator, tuple(bounds)


def check_encoding(terms, comparator, bounds, nvars, case):
    """The clauses over variables 1..nvars hold exactly when the constraint does, their
    auxiliaries come from the source, and constant constraints give their constant answer."""
    clauses, aux = encode(terms, comparator, *bounds, aux=pb.AuxVarManager(nvars + 1))
    used = {abs(l) for cl in clauses for l in cl}
    assert 0 not in used, case
    assert all(v <= nvars or nvars < v < aux.next_variable for v in used), case
    assert aux.get_variable() not in used, case
    bad = models_agree(clauses, list(range(1, nvars + 1)),
                       lambda vals: holds(terms, comparator, bounds, vals))
    assert bad is None, f"{case}: wrong answer for {bad}"
    answers = {holds(terms, comparator, bounds, dict(enumerate(bits, 1)))
               for bits in itertools.product((0, 1), repeat=nvars)}
    if answers == {True}:
        assert clauses == [], f"{case}: always holds"
    if answers == {False}:
        assert clauses == [[]], f"{case}: never holds"


@pytest.mark.parametrize("near_ends", [False, True], ids=["any-bound", "bound-near-ends"])
@pytest.mark.parametrize("seed", range(40), ids=lambda s: f"seed{s}")
def test_adder_holds_exactly_when_the_constraint_holds(seed, near_ends):
    rng = random.Random(seed + (5000 if near_ends else 0))
    for _ in range(8):
        nvars, terms, comparator, bounds = random_constraint(rng, near_ends)
        check_encoding(terms, comparator, bounds, nvars,
                       f"seed={seed} near_ends={near_ends}: {terms} {comparator.name} {bounds}")


# Small bounds: the sum lies a few units above its lowest value (or below its highest), so the
# carries into the columns above the bound are fixed false, and one side may be a plain clause.
# "mixed" weights include 3 (signed digits 4 - 1) and weights above the bound; "signed" has
# negated literals, negative coefficients, a zero coefficient and a repeated variable.
def unit_terms(n):
    return [(v, 1) for v in range(1, n + 1)]


def mixed_terms(n):
    return [(v, (1, 2, 3, 1, 5, 3, 7)[v % 7]) for v in range(1, n + 1)]


def signed_terms(n):
    pattern = [(1, 1), (-1, 2), (1, -3), (1, 3), (-1, -1), (1, 0), (-1, 3)]
    terms = [(sign * v, c) for v, (sign, c) in
             ((v, pattern[(v - 1) % len(pattern)]) for v in range(1, n + 1))]
    return terms + ([(2, 1)] if n >= 2 else [])


def sum_range(terms, n):
    sums = [sum(c * (bits[abs(v) - 1] if v > 0 else 1 - bits[abs(v) - 1]) for v, c in terms)
            for bits in itertools.product((0, 1), repeat=n)]
    return min(sums), max(sums)


SMALL_BOUND_SHAPES = [
    ("leq-low+k", LEQ, lambda low, high, k: (low + k,)),
    ("geq-low+k", GEQ, lambda low, high, k: (low + k,)),
    ("geq-high-k", GEQ, lambda low, high, k: (high - k,)),
    ("leq-high-k", LEQ, lambda low, high, k: (high - k,)),
    ("both-low+k", BOTH, lambda low, high, k: (low + k,)),
    ("both-low+k..k+1", BOTH, lambda low, high, k: (low + k, low + k + 1)),
    ("both-low+1..high-k", BOTH, lambda low, high, k: (low + 1, high - k)),
    ("both-high-k", BOTH, lambda low, high, k: (high - k,)),
]
TERM_KINDS = [("unit", unit_terms), ("mixed", mixed_terms), ("signed", signed_terms)]


@pytest.mark.parametrize("make_terms", [t[1] for t in TERM_KINDS], ids=[t[0] for t in TERM_KINDS])
@pytest.mark.parametrize("comparator, make_bounds", [s[1:] for s in SMALL_BOUND_SHAPES],
                         ids=[s[0] for s in SMALL_BOUND_SHAPES])
def test_small_bounds_hold_exactly_when_the_constraint_holds(make_terms, comparator, make_bounds):
    for n in range(1, 13):
        terms = make_terms(n)
        low, high = sum_range(terms, n)
        for k in range(4):
            bounds = make_bounds(low, high, k)
            check_encoding(terms, comparator, bounds, n, f"{terms} {comparator.name} {bounds}")


HUGE_CONSTANT = [(v, 2**62) for v in (1, 2, 3)] + [(-v, 2**62) for v in (1, 2, 3)] + [(4, 1)]

CONSTANT_CASES = [
    ("leq-above-reach", [(1, 2), (2, 3)], LEQ, (5,), True),
    ("leq-far-above", [(1, 2), (2, 3)], LEQ, (10**30,), True),
    ("geq-below-reach", [(1, 2), (2, -3)], GEQ, (-3,), True),
    ("empty-leq-0", [], LEQ, (0,), True),
    ("zero-coefficients", [(1, 0), (2, 0)], BOTH, (0,), True),
    ("cancelling-repeats", [(1, 4), (1, -4)], GEQ, (0,), True),
    ("leq-below-reach", [(1, 2), (2, 3)], LEQ, (-1,), False),
    ("geq-above-reach", [(1, 2), (2, 3)], GEQ, (6,), False),
    ("geq-far-above", [(1, 2)], GEQ, (10**30,), False),
    ("both-unreachable-parity", [(1, 2), (2, 2)], BOTH, (3,), False),
    ("both-empty-range", [(1, 1), (2, 1)], BOTH, (2, 1), False),
    ("empty-geq-1", [], GEQ, (1,), False),
    ("both-between-reachable-sums", [(1, 3), (2, 5)], BOTH, (4,), False),
    ("both-gap-with-negative", [(1, 3), (2, 5), (3, -11)], BOTH, (-2, -1), False),
    ("both-gap-with-negated", [(1, 3), (-2, 5), (3, 11)], BOTH, (9, 10), False),
    # x and (1 - x) with weight 2**62 each, three times: the sum is 3 * 2**62 + y, beyond 64 bits.
    ("huge-constant-leq-far-above", HUGE_CONSTANT, LEQ, (2**100,), True),
    ("huge-constant-leq-reach", HUGE_CONSTANT, LEQ, (3 * 2**62 + 1,), True),
    ("huge-constant-geq-far-below", HUGE_CONSTANT, GEQ, (-(2**100),), True),
    ("huge-constant-leq-below", HUGE_CONSTANT, LEQ, (3 * 2**62 - 1,), False),
    ("huge-constant-both-far", HUGE_CONSTANT, BOTH, (2**100, 2**101), False),
]


@pytest.mark.parametrize("terms, comparator, bounds, always",
                         [c[1:] for c in CONSTANT_CASES], ids=[c[0] for c in CONSTANT_CASES])
def test_constant_constraints(terms, comparator, bounds, always):
    clauses, _ = encode(terms, comparator, *bounds)
    assert clauses == ([] if always else [[]])


def test_forced_literals_become_unit_clauses():
    # 5a + b + c <= 2 forces a false and leaves b + c <= 2, which always holds.
    clauses, aux = encode([(1, 5), (2, 1), (3, 1)], LEQ, 2)
    assert clauses == [[-1]]
    assert aux.next_variable == 4


@pytest.mark.parametrize("bounds, unit", [((3 * 2**62,), -4), ((3 * 2**62 + 1,), 4),
                                          ((3 * 2**62 + 1, 2**90), 4)],
                         ids=["equal-low", "equal-high", "between"])
def test_bounds_beyond_64_bits_meet_a_constant_beyond_64_bits(bounds, unit):
    clauses, _ = encode(HUGE_CONSTANT, BOTH, *bounds)
    assert clauses == [[unit]]


@pytest.mark.parametrize("coef", [2**40 + 3, -(2**45) + 1], ids=["big", "big-negative"])
def test_large_coefficients(coef):
    terms = [(1, coef), (2, 3 * coef), (3, -coef), (4, 7)]
    bounds = (coef + 7,)
    for comparator in (LEQ, GEQ, BOTH):
        clauses, _ = encode(terms, comparator, *bounds)
        assert models_agree(clauses, [1, 2, 3, 4],
                            lambda v: holds(terms, comparator, bounds, v)) is None


def test_auxiliaries_come_from_the_source_in_order():
    aux = pb.AuxVarManager(1)
    xs = [aux.get_variable() for _ in range(5)]
    assert xs == [1, 2, 3, 4, 5]
    clauses, aux = encode([(x, i + 2) for i, x in enumerate(xs)], LEQ, 7, aux=aux)
    drawn = sorted({abs(l) for cl in clauses for l in cl} - set(xs))
    assert drawn == list(range(6, aux.next_variable))
    assert aux.get_variable() == drawn[-1] + 1


LIMIT_CASES = [
    ("weighted", [(v, v) for v in range(1, 11)], LEQ, (20,)),
    ("at-most-one", [(v, 1) for v in range(1, 11)], LEQ, (1,)),
    ("exactly-one", [(v, 1) for v in range(1, 11)], BOTH, (1,)),
    ("two-sided", [(v, v) for v in range(1, 11)], BOTH, (3, 5)),
]


@pytest.mark.parametrize("terms, comparator, bounds", [c[1:] for c in LIMIT_CASES],
                         ids=[c[0] for c in LIMIT_CASES])
def test_clause_limit_raises_and_leaves_database_and_source_unchanged(terms, comparator, bounds):
    config = make_config()
    aux = pb.AuxVarManager(11)
    db = pb.VectorClauseDatabase(config)
    encoder = pb.pb2cnf(config)
    constraint = pb.PBConstraint([pb.WeightedLit(v, c) for v, c in terms], comparator, *bounds)
    encoder.encode2(constraint, db, aux)
    before, next_before = db.get_clauses(), aux.next_variable
    assert 0 < len(before) < 1000
    config.max_clauses_per_constraint = len(before) - 1  # read at encoding time
    with pytest.raises(se.EngineError, match=r"more than \d+ clauses \(max_clauses_per_constraint\)"):
        encoder.encode2(constraint, db, aux)
    assert db.get_clauses() == before
    assert aux.next_variable == next_before
    config.max_clauses_per_constraint = len(before)
    encoder.encode2(constraint, db, aux)
    assert len(db) == 2 * len(before)


def bench_constraint(n, seed=20240611):
    rng = random.Random(seed)
    return [(v, rng.randint(1, 1000)) for v in range(1, n + 1)]


# Size ceilings, inputs excluded: cardinality constraints with a bound near either end of the
# range cost a few clauses per literal, and the weighted constraint of bench/bench_adder.py
# stays below an established adder encoder's 9,592 variables (1,000 inputs) and 60,002 clauses.
UNITS = lambda n: [(v, 1) for v in range(1, n + 1)]  # noqa: E731

SIZE_CASES = [  # terms, comparator, bounds, largest clause count, largest auxiliary count
    ("at-most-one", UNITS, LEQ, lambda n: (1,), lambda n: 3 * n, lambda n: n // 2),
    ("exactly-one", UNITS, BOTH, lambda n: (1,), lambda n: 3 * n + 1, lambda n: n // 2),
    ("all-but-one", UNITS, GEQ, lambda n: (n - 1,), lambda n: 3 * n, lambda n: n // 2),
    ("at-most-two", UNITS, LEQ, lambda n: (2,), lambda n: 5 * n, lambda n: 5 * n // 4),
    ("at-least-two", UNITS, GEQ, lambda n: (2,), lambda n: 7 * n // 2, lambda n: n),
    ("all-but-two", UNITS, LEQ, lambda n: (n - 2,), lambda n: 7 * n // 2, lambda n: n),
    ("at-least-one", UNITS, GEQ, lambda n: (1,), lambda n: 1, lambda n: 0),
    ("not-all", UNITS, LEQ, lambda n: (n - 1,), lambda n: 1, lambda n: 0),
    ("one-of-negated", lambda n: [(-v, 2) for v in range(1, n + 1)], BOTH, lambda n: (2,),
     lambda n: 3 * n + 1, lambda n: n // 2),
]


@pytest.mark.parametrize("n", [10, 100, 200])
@pytest.mark.parametrize("make_terms, comparator, make_bounds, max_clauses, max_aux",
                         [c[1:] for c in SIZE_CASES], ids=[c[0] for c in SIZE_CASES])
def test_cardinality_sizes(n, make_terms, comparator, make_bounds, max_clauses, max_aux):
    clauses, aux = encode(make_terms(n), comparator, *make_bounds(n))
    assert len(clauses) <= max_clauses(n)
    assert aux.next_variable - (n + 1) <= max_aux(n)


def test_weighted_size_below_an_established_adder_encoder():
    terms = bench_constraint(1000)
    clauses, aux = encode(terms, LEQ, sum(c for _, c in terms) // 2)
    assert aux.next_variable - 1 <= 9592
    assert len(clauses) <= 60002


def test_clause_arrays_match_clause_lists():
    config = make_config()
    db = pb.VectorClauseDatabase(config)
    pb.pb2cnf(config).encode2(
        pb.PBConstraint([pb.WeightedLit(v, c) for v, c in [(1, 3), (2, 5), (3, -4), (4, 6)]],
                        BOTH, 1, 6), db, pb.AuxVarManager(5))
    clauses = db.get_clauses()
    assert clauses and all(isinstance(c, list) for c in clauses)
    offsets, lits = db.get_clause_arrays()
    assert offsets.dtype == np.int64 and lits.dtype == np.int32
    assert len(offsets) == len(clauses) + 1 and offsets[0] == 0
    assert [lits[a:b].tolist() for a, b in zip(offsets[:-1], offsets[1:])] == clauses


def test_interface_values():
    config = pb.PBConfig()
    assert config.pb_encoder is pb.PB_Encoder_type.ADDER
    assert config.max_clauses_per_constraint == 1000000
    assert [m.name for m in pb.Comparator_type] == ["LEQ", "GEQ", "BOTH"]
    lit = pb.WeightedLit(3, -2)
    assert (lit.var, lit.coef) == (3, -2)
    assert repr([lit]) == "[WeightedLit(3, -2)]"
    c = pb.PBConstraint([lit], BOTH, 1, 4)
    assert c.comparator is BOTH and c.bounds == (1, 4) and c.lits == [lit]
    far = pb.PBConstraint([lit], BOTH, -(2**70), np.int64(9))
    assert far.bounds == (-(2**70), 9) and type(far.bounds[1]) is int
    assert repr(far) == "PBConstraint([WeightedLit(3, -2)], Comparator_type.BOTH, -%d, 9)" % 2**70
    assert pb.AuxVarManager(7).get_variable() == 7


def set_encoder(value):
    pb.PBConfig().pb_encoder = value


def set_limit(value):
    pb.PBConfig().max_clauses_per_constraint = value


def encode_with_low_source():
    encode([(5, 1), (6, 1)], LEQ, 1, aux=pb.AuxVarManager(3))


REFUSALS = [
    ("literal-0", lambda: pb.WeightedLit(0, 1), ValueError, "must not be 0"),
    ("float-literal", lambda: pb.WeightedLit(1.0, 1), TypeError, "must be an integer"),
    ("float-coefficient", lambda: pb.WeightedLit(1, 1.5), TypeError, "must be an integer"),
    ("huge-coefficient", lambda: pb.WeightedLit(1, 2**63), OverflowError, "64 bits"),
    ("coefficient-sum", lambda: encode([(1, 2**62), (2, 2**62)], LEQ, 1), OverflowError, "2\\*\\*62"),
    ("int64-min-negated", lambda: encode([(-1, -(2**63))], LEQ, 0), OverflowError, "2\\*\\*62"),
    ("numpy-bool-coefficient", lambda: pb.WeightedLit(1, np.True_), TypeError, "not bool"),
    ("numpy-bool-bound", lambda: pb.PBConstraint([], LEQ, np.False_), TypeError, "not bool"),
    ("leq-two-bounds", lambda: pb.PBConstraint([], LEQ, 1, 2), TypeError, "LEQ takes one bound"),
    ("geq-no-bound", lambda: pb.PBConstraint([], GEQ), TypeError, "GEQ takes one bound"),
    ("both-three-bounds", lambda: pb.PBConstraint([], BOTH, 1, 2, 3), TypeError, "BOTH takes"),
    ("none-bound", lambda: pb.PBConstraint([], LEQ, None), TypeError, "must be an integer"),
    ("int-comparator", lambda: pb.PBConstraint([], 0, 1), TypeError, "Comparator_type"),
    ("tuple-term", lambda: pb.PBConstraint([(1, 2)], LEQ, 1), TypeError, "WeightedLit"),
    ("int-encoder", lambda: set_encoder(0), TypeError, "PB_Encoder_type"),
    ("negative-limit", lambda: set_limit(-1), ValueError, "negative"),
    ("source-at-0", lambda: pb.AuxVarManager(0), ValueError, "first number"),
    ("config-type", lambda: pb.pb2cnf(None), TypeError, "PBConfig"),
    ("source-below-variables", encode_with_low_source, ValueError, "not below the next number"),
]


@pytest.mark.parametrize("call, error, message", [r[1:] for r in REFUSALS],
                         ids=[r[0] for r in REFUSALS])
def test_refusals(call, error, message):
    with pytest.raises(error, match=message):
        call()


@pytest.mark.parametrize("seed", range(20), ids=lambda s: f"seed{s}")
def test_constraints_sharing_one_source_and_database(seed):
    # As a formula with several pseudo-Boolean constraints does: one source, auxiliaries of
    # each constraint disjoint from the variables and from the other constraints' ones.
    rng = random.Random(1000 + seed)
    nvars = 8
    aux = pb.AuxVarManager(1)
    variables = [aux.get_variable() for _ in range(nvars)]
    config = make_config()
    db = pb.VectorClauseDatabase(config)
    encoder = pb.pb2cnf(config)
    constraints, drawn = [], []
    for _ in range(rng.randint(2, 3)):
        _, terms, comparator, bounds = random_constraint(rng)
        terms = [(v if abs(v) <= nvars else (abs(v) - 1) % nvars + 1, c) for v, c in terms]
        before, start = len(db), aux.next_variable
        encoder.encode2(pb.PBConstraint([pb.WeightedLit(v, c) for v, c in terms], comparator,
                                        *bounds), db, aux)
        new = {abs(l) for cl in db.get_clauses()[before:] for l in cl} - set(variables)
        assert new <= set(range(start, aux.next_variable)), f"seed={seed}"
        drawn.append(new)
        constraints.append((terms, comparator, bounds))
    assert all(not (a & b) for i, a in enumerate(drawn) for b in drawn[i + 1:]), f"seed={seed}"
    assert aux.get_variable() not in {abs(l) for cl in db.get_clauses() for l in cl}
    bad = models_agree(db.get_clauses(), variables,
                       lambda vals: all(holds(t, c, b, vals) for t, c, b in constraints))
    assert bad is None, f"seed={seed}: {constraints} wrong for {bad}"


DROPPED_NAMES = [
    ("comparator-enum", "c = pb.PBConstraint([], pb.Comparator_type.LEQ, 1)\n"
                        "del pb.Comparator_type\ngc.collect()\nprint(c.comparator.name)", "LEQ"),
    ("encoder-enum", "config = pb.PBConfig()\ndel pb.PB_Encoder_type\ngc.collect()\n"
                     "print(config.pb_encoder.name)", "ADDER"),
    ("engine-error", "del se.EngineError, pb.EngineError\ngc.collect()\n"
                     "source = pb.AuxVarManager(2**31 - 1)\nsource.get_variable()\n"
                     "try:\n    source.get_variable()\n"
                     "except RuntimeError as e:\n    print(type(e).__name__)", "EngineError"),
]


@pytest.mark.parametrize("code, expected", [r[1:] for r in DROPPED_NAMES],
                         ids=[r[0] for r in DROPPED_NAMES])
def test_engine_keeps_its_classes_when_module_names_are_dropped(code, expected):
    import subprocess
    import sys

    prelude = "import gc\nimport nubrix.sorn_engine as se\nimport nubrix.sorn_engine.pbct as pb\n"
    done = subprocess.run([sys.executable, "-c", prelude + code], capture_output=True, text=True,
                          timeout=60)
    assert (done.returncode, done.stdout.strip()) == (0, expected), done.stderr[-1500:]


@pytest.mark.parametrize("cls, members", [
    (pb.Comparator_type, [("LEQ", 0), ("GEQ", 1), ("BOTH", 2)]),
    (pb.PB_Encoder_type, [("ADDER", 0)]),
], ids=["comparator", "encoder"])
def test_enumerations_are_plain_enums_of_the_module(cls, members):
    import enum
    import pickle

    assert issubclass(cls, enum.Enum) and not issubclass(cls, int)
    assert [(m.name, m.value) for m in cls] == members
    assert cls.__module__ == "nubrix.sorn_engine.pbct"
    assert cls.__qualname__ == cls.__name__
    assert cls.__doc__
    for m in cls:
        assert pickle.loads(pickle.dumps(m)) is m
        assert cls(m.value) is m and cls[m.name] is m
