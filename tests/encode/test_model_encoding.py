"""What the model's clauses mean: for small models, brute force over every assignment of the model's
variables against a SAT solver (python-sat) on the built CNF, RC2 on the built WCNF against the
brute-force optimum, targets with borders, and both back ends side by side."""

import itertools
import os
import random

import pytest
from pysat.examples.rc2 import RC2
from pysat.formula import WCNF
from pysat.solvers import Solver

import nubrix.sorn_engine as se
from zk_encoder._exceptions import FormulaError
from zk_encoder import (And, Equiv, IfThenElse, Implication, Model, Or, Sum, SumIt, Xor,
                        XorIt, pow_expression)


class Assignment:
    """Values of the model's elements by element key ("x[0,1]"): `a.x(0, 1)` is 0 or 1."""

    def __init__(self, values):
        self._values = values

    def __getattr__(self, family):
        return lambda *idx: int(self._values[f"{family}[{','.join(map(str, idx))}]"])


def build(cases_fn, dims, use_fe=False):
    """A model with the families `dims` ({name: {dim: size}}), filled by `cases_fn`."""
    mgr = se.manager()
    model = Model(mgr, "t", use_fe)
    fams = {name: model.create_variables(name, **d) for name, d in dims.items()}
    idx = dict(zip("ijk", model.get_indexes(["i", "j", "k"])))
    cases_fn(model, fams, idx)
    return model, mgr, fams


def element_keys(fams):
    return [key for fam in fams.values() for key in fam.map]


def all_assignments(fams):
    keys = element_keys(fams)
    for bits in itertools.product([False, True], repeat=len(keys)):
        yield dict(zip(keys, bits))


def numbers(model):
    """Element key -> clause-variable number, as the built model's mapping gives it."""
    return model.get_var_mapping().get_var_map()


def assumptions(nums, values):
    return [nums[k] if v else -nums[k] for k, v in values.items()]


def decode(mgr, witness):
    return mgr.get_witness_interpreter().interpret(witness)


# (id, families, constraints, predicate over an Assignment)
HARD_CASES = [
    ("exactly_one_per_row", {"x": {"r": 2, "c": 3}},
     lambda m, f, ix: m.add_constraint(Sum(f["x"][ix["i"], ix["j"]], j=range(3)) == 1,
                                       i=range(2)),
     lambda a: all(sum(a.x(r, c) for c in range(3)) == 1 for r in range(2))),
    ("at_most_one_per_column", {"x": {"r": 2, "c": 3}},
     lambda m, f, ix: m.add_constraint(Sum(f["x"][ix["i"], ix["j"]], i=range(2)) <= 1,
                                       j=range(3)),
     lambda a: all(a.x(0, c) + a.x(1, c) <= 1 for c in range(3))),
    ("weighted_at_most", {"x": {"n": 4}},
     lambda m, f, ix: m.add_constraint(2 * f["x"][0] + 3 * f["x"][1] + f["x"][2] + 4 * f["x"][3]
                                       <= 5),
     lambda a: 2 * a.x(0) + 3 * a.x(1) + a.x(2) + 4 * a.x(3) <= 5),
    ("negative_coefficient", {"x": {"n": 3}},
     lambda m, f, ix: m.add_constraint(f["x"][0] + f["x"][1] - f["x"][2] >= 1),
     lambda a: a.x(0) + a.x(1) - a.x(2) >= 1),
    ("powers_of_two_equal", {"x": {"n": 4}},
     lambda m, f, ix: m.add_constraint(Sum(pow_expression(2, ix["i"]) * f["x"][ix["i"]],
                                           i=range(4)) == 5),
     lambda a: sum(2 ** n * a.x(n) for n in range(4)) == 5),
    ("implication_chain", {"x": {"n": 4}},
     lambda m, f, ix: m.add_constraint(Implication(f["x"][ix["i"]], f["x"][ix["i"] + 1]),
                                       i=range(3)),
     lambda a: all(a.x(n) <= a.x(n + 1) for n in range(3))),
    ("alternating_xor", {"x": {"n": 4}},
     lambda m, f, ix: m.add_constraint(f["x"][ix["i"]] ^ f["x"][ix["i"] + 1], i=range(3)),
     lambda a: all(a.x(n) != a.x(n + 1) for n in range(3))),
    ("xor_over_a_row", {"x": {"r": 2, "c": 3}},
     lambda m, f, ix: m.add_constraint(Xor(f["x"][ix["i"], ix["j"]], j=range(3)), i=range(2)),
     lambda a: all(sum(a.x(r, c) for c in range(3)) % 2 == 1 for r in range(2))),
    ("xor_of_a_sequence", {"x": {"n": 4}},
     lambda m, f, ix: m.add_constraint(~XorIt([f["x"][0], f["x"][1], f["x"][3]])),
     lambda a: (a.x(0) + a.x(1) + a.x(3)) % 2 == 0),
    ("equivalence", {"x": {"n": 3}},
     lambda m, f, ix: m.add_constraint(Equiv(f["x"][0], ~f["x"][1]) & f["x"][2]),
     lambda a: a.x(0) != a.x(1) and a.x(2) == 1),
    ("if_then_else", {"x": {"n": 3}},
     lambda m, f, ix: m.add_constraint(IfThenElse(f["x"][0], f["x"][1], ~f["x"][2])),
     lambda a: (a.x(1) == 1) if a.x(0) else (a.x(2) == 0)),
    ("or_per_row_and_not_both", {"x": {"r": 2, "c": 3}},
     lambda m, f, ix: (m.add_constraint(Or(f["x"][ix["i"], ix["j"]], j=range(3)), i=range(2)),
                       m.add_constraint(~(f["x"][0, ix["j"]] & f["x"][1, ix["j"]]), j=range(3))),
     lambda a: all(any(a.x(r, c) for c in range(3)) for r in range(2))
     and all(not (a.x(0, c) and a.x(1, c)) for c in range(3))),
    ("and_of_bounds", {"x": {"r": 2, "c": 3}},
     lambda m, f, ix: m.add_constraint(And(Sum(f["x"][ix["i"], ix["j"]], i=range(2)) >= 1,
                                           j=range(3))),
     lambda a: all(a.x(0, c) + a.x(1, c) >= 1 for c in range(3))),
    ("bound_inside_implication", {"x": {"n": 4}},
     lambda m, f, ix: m.add_constraint(Implication(f["x"][0], Sum(f["x"][ix["i"]], i=range(1, 4))
                                                   >= 2)),
     lambda a: not a.x(0) or a.x(1) + a.x(2) + a.x(3) >= 2),
    ("scaled_index", {"x": {"n": 6}},
     lambda m, f, ix: m.add_constraint(Implication(f["x"][2 * ix["i"]], f["x"][ix["i"]]),
                                       i=range(3)),
     lambda a: all(not a.x(2 * n) or a.x(n) for n in range(3))),
    ("shifted_down_index", {"x": {"n": 4}},
     lambda m, f, ix: m.add_constraint(f["x"][ix["i"] - 1] | f["x"][ix["i"]], i=[1, 3]),
     lambda a: (a.x(0) or a.x(1)) and (a.x(2) or a.x(3))),
    ("tuple_forall_and_two_families", {"x": {"n": 3}, "y": {"n": 3}},
     lambda m, f, ix: (m.add_constraint(Implication(f["x"][ix["i"]], f["y"][ix["i"]]), i=(0, 2)),
                       m.add_constraint(SumIt([f["x"][0], f["x"][2], 2 * f["y"][1]]) >= 2)),
     lambda a: all(not a.x(n) or a.y(n) for n in (0, 2))
     and a.x(0) + a.x(2) + 2 * a.y(1) >= 2),
    ("nested_forall_order", {"x": {"r": 2, "c": 2}},
     lambda m, f, ix: m.add_constraint(f["x"][ix["i"], ix["j"]] | f["x"][ix["j"], ix["i"]],
                                       j=range(2), i=range(2)),
     lambda a: all(a.x(r, c) or a.x(c, r) for r in range(2) for c in range(2))),
    ("unsatisfiable", {"x": {"n": 3}},
     lambda m, f, ix: (m.add_constraint(Sum(f["x"][ix["i"]], i=range(3)) >= 2),
                       m.add_constraint(Sum(f["x"][ix["i"]], i=range(3)) <= 1)),
     lambda a: False),
    ("bare_references", {"x": {"n": 3}},
     lambda m, f, ix: (m.add_constraint(f["x"][1]), m.add_constraint(~f["x"][ix["i"]], i=[0, 2])),
     lambda a: (a.x(0), a.x(1), a.x(2)) == (0, 1, 0)),
]


def check_cnf_against_brute_force(model, mgr, fams, predicate):
    assert model.build_cnf() is True
    clauses = model.get_cnf_storage().hard_clauses()
    nums = numbers(model)
    found = False
    with Solver(name="cadical153", bootstrap_with=clauses) as solver:
        for values in all_assignments(fams):
            expected = bool(predicate(Assignment(values)))
            assert solver.solve(assumptions=assumptions(nums, values)) == expected, values
            found |= expected
        assert solver.solve() == found
        if found:
            assert predicate(Assignment(decode(mgr, solver.get_model())))
    return clauses


@pytest.mark.parametrize("dims,fill,predicate", [c[1:] for c in HARD_CASES],
                         ids=[c[0] for c in HARD_CASES])
def test_cnf_models_are_the_brute_force_models(dims, fill, predicate):
    model, mgr, fams = build(fill, dims)
    check_cnf_against_brute_force(model, mgr, fams, predicate)


@pytest.mark.parametrize("dims,fill,predicate", [c[1:] for c in HARD_CASES],
                         ids=[c[0] for c in HARD_CASES])
def test_formula_encoder_receives_texts_and_foralls(dims, fill, predicate):
    """Both back ends give the same clauses, numbering and stamps. The engine's formula encoder
    replays the texts through the library's own encoding, so this checks the transport of the
    families, formula texts and for-all values to the engine, not the encoding (which
    test_cnf_models_are_the_brute_force_models judges by meaning)."""
    own, own_mgr, fams = build(fill, dims)
    fe, fe_mgr, fe_fams = build(fill, dims, use_fe=True)
    assert own.build_cnf() is True and fe.build_cnf() is True
    own_store, fe_store = own.get_cnf_storage(), fe.get_cnf_storage()
    assert fe_store.hard_clauses() == own_store.hard_clauses()
    assert fe_store.get_variable_count() == own_store.get_variable_count()
    assert fe_store.get_clause_count() == own_store.get_clause_count()
    assert fe.get_var_mapping().get_var_map() == own.get_var_mapping().get_var_map()
    assert fe_mgr.get_cnf_storage() is fe_store


def _random_constraint(rng, n):
    terms = [(rng.randint(-3, 3), rng.randrange(n)) for _ in range(rng.randint(1, 5))]
    op = rng.choice(["<=", ">=", "=="])
    total_pos = sum(c for c, _ in terms if c > 0)
    total_neg = sum(c for c, _ in terms if c < 0)
    bound = rng.randint(total_neg - 1, total_pos + 1)
    return terms, op, bound


def _expr(x, terms):
    e = None
    for c, v in terms:
        t = c * x[v]
        e = t if e is None else e + t
    return e


def _holds(a, terms, op, bound):
    s = sum(c * a.x(v) for c, v in terms)
    return {"<=": s <= bound, ">=": s >= bound, "==": s == bound}[op]


SEED = int(os.environ.get("ZK_MODEL_SEED", "20261210"))


@pytest.mark.parametrize("round_", range(30))
def test_random_pseudo_boolean_constraints(round_):
    rng = random.Random(SEED * 100 + round_)
    n = rng.randint(2, 6)
    cons = [_random_constraint(rng, n) for _ in range(rng.randint(1, 3))]

    contradictions = []

    def fill(m, f, ix):
        for c in cons:
            terms, op, bound = c
            e = _expr(f["x"], terms)
            try:
                m.add_constraint({"<=": e <= bound, ">=": e >= bound, "==": e == bound}[op])
            except FormulaError as err:
                assert str(err).startswith("Contradiction was detected in formula ")
                contradictions.append(c)

    try:
        model, mgr, fams = build(fill, {"x": {"n": n}})
        # A constraint refused as a contradiction has no model at all.
        for c in contradictions:
            assert not any(_holds(Assignment(v), *c) for v in all_assignments(fams))
        kept = [c for c in cons if c not in contradictions]
        if kept:
            check_cnf_against_brute_force(model, mgr, fams,
                                          lambda a: all(_holds(a, *c) for c in kept))
    except Exception:
        print(f"seed {SEED} round {round_}: constraints {cons}")
        raise


# --- weighted CNF ---------------------------------------------------------------------------

# (id, families, hard part, soft constraints as (term builder, weight, minimization, foralls),
#  gain of one assignment: the sum of +-weight*term, + when maximised)
SOFT_CASES = [
    ("maximise_count_under_at_most_two", {"x": {"n": 4}},
     lambda m, f, ix: m.add_constraint(Sum(f["x"][ix["i"]], i=range(4)) <= 2),
     [(lambda f, ix: f["x"][ix["i"]], 1, False, {"i": range(4)})],
     lambda a: sum(a.x(n) for n in range(4))),
    ("weighted_choice", {"x": {"n": 4}},
     lambda m, f, ix: m.add_constraint(Sum(f["x"][ix["i"]], i=range(4)) == 2),
     [(lambda f, ix: 3 * f["x"][0] + 5 * f["x"][1] + 2 * f["x"][2] + 4 * f["x"][3], 1, False, {})],
     lambda a: 3 * a.x(0) + 5 * a.x(1) + 2 * a.x(2) + 4 * a.x(3)),
    ("minimise_with_weight", {"x": {"n": 4}},
     lambda m, f, ix: m.add_constraint(f["x"][ix["i"]] | f["x"][ix["i"] + 1], i=range(3)),
     [(lambda f, ix: f["x"][ix["i"]], 2, True, {"i": range(4)}),
      (lambda f, ix: f["x"][1], 3, True, {})],
     lambda a: -(2 * sum(a.x(n) for n in range(4)) + 3 * a.x(1))),
    ("mixed_directions_and_signs", {"x": {"n": 3}, "y": {"n": 2}},
     lambda m, f, ix: m.add_constraint(Implication(f["y"][ix["i"]], f["x"][ix["i"]]), i=range(2)),
     [(lambda f, ix: f["x"][0] + f["x"][1] + f["x"][2], 2, True, {}),
      (lambda f, ix: 3 * f["y"][ix["i"]], 1, False, {"i": range(2)}),
      (lambda f, ix: f["x"][2] - f["y"][0], 1, False, {})],
     lambda a: -2 * (a.x(0) + a.x(1) + a.x(2)) + 3 * (a.y(0) + a.y(1)) + a.x(2) - a.y(0)),
    ("soft_only", {"x": {"n": 3}},
     lambda m, f, ix: None,
     [(lambda f, ix: f["x"][0] + f["x"][1], 1, True, {}),
      (lambda f, ix: f["x"][2], 4, False, {})],
     lambda a: -(a.x(0) + a.x(1)) + 4 * a.x(2)),
]


def _fill_soft(hard, softs):
    def fill(m, f, ix):
        hard(m, f, ix)
        for term, weight, minimization, foralls in softs:
            m.add_soft_constraint(term(f, ix), weight, minimization, **foralls)
    return fill


def _hard_ok(model_clauses, nums, values):
    with Solver(name="cadical153", bootstrap_with=model_clauses) as s:
        return s.solve(assumptions=assumptions(nums, values))


@pytest.mark.parametrize("dims,hard,softs,gain", [c[1:] for c in SOFT_CASES],
                         ids=[c[0] for c in SOFT_CASES])
# With the formula encoder the encoding is the library's own again (replayed by the engine): that
# case checks that soft texts, weights and minimization flags reach the engine intact.
@pytest.mark.parametrize("use_fe", [False, True], ids=["own", "formula_encoder"])
def test_rc2_optimum_is_the_brute_force_optimum(dims, hard, softs, gain, use_fe):
    model, mgr, fams = build(_fill_soft(hard, softs), dims, use_fe)
    assert model.build_wcnf() is True
    storage = model.get_cnf_storage()
    wcnf = WCNF()
    for clause in storage.hard_clauses():
        wcnf.append(clause)
    for clause, weight in storage.soft_clauses():
        wcnf.append(clause, weight=weight)
    # The hard-clause weight outweighs every soft clause together.
    assert storage.get_weight_limit() > sum(w for _, w in storage.soft_clauses())

    hard_clauses, nums = storage.hard_clauses(), numbers(model)
    best = max(gain(Assignment(v)) for v in all_assignments(fams)
               if _hard_ok(hard_clauses, nums, v))
    with RC2(wcnf) as rc2:
        witness = rc2.compute()
    assert witness is not None
    solution = Assignment(decode(mgr, witness))
    assert gain(solution) == best


# --- target with a border -------------------------------------------------------------------

TARGET_CASES = [
    ("weighted_sum_under_cover", {"x": {"n": 4}},
     lambda m, f, ix: m.add_constraint(f["x"][ix["i"]] | f["x"][ix["i"] + 1], i=range(3)),
     lambda f, ix: 3 * f["x"][0] + f["x"][1] + 2 * f["x"][2] + 2 * f["x"][3],
     lambda a: 3 * a.x(0) + a.x(1) + 2 * a.x(2) + 2 * a.x(3)),
    ("count_under_exclusion", {"x": {"r": 2, "c": 3}},
     lambda m, f, ix: m.add_constraint(Sum(f["x"][ix["i"], ix["j"]], j=range(3)) <= 2,
                                       i=range(2)),
     lambda f, ix: Sum(f["x"][0, ix["j"]], j=range(3)) + Sum(f["x"][1, ix["j"]], j=range(3)),
     lambda a: sum(a.x(r, c) for r in range(2) for c in range(3))),
]


def _target_fill(hard, target):
    def fill(m, f, ix):
        hard(m, f, ix)
        m.add_target(target(f, ix))
    return fill


@pytest.mark.parametrize("dims,hard,target,value", [c[1:] for c in TARGET_CASES],
                         ids=[c[0] for c in TARGET_CASES])
@pytest.mark.parametrize("minimization", [True, False], ids=["min", "max"])
def test_target_border_is_met_exactly_when_the_optimum_meets_it(dims, hard, target, value,
                                                              minimization):
    probe, _, fams = build(hard, dims)
    probe.build_cnf()
    hard_clauses, nums = probe.get_cnf_storage().hard_clauses(), numbers(probe)
    feasible = [v for v in all_assignments(fams) if _hard_ok(hard_clauses, nums, v)]
    values = [value(Assignment(v)) for v in feasible]
    optimum = min(values) if minimization else max(values)
    for border in range(optimum - 2, optimum + 3):
        model, mgr, fams = build(_target_fill(hard, target), dims)
        meets = optimum <= border if minimization else optimum >= border
        try:
            assert model.build_cnf(border, minimization) is True
        except FormulaError as err:
            # A bound that no assignment can meet is found before any clause is written.
            assert str(err) == "Contradiction was detected in target" and not meets
            continue
        with Solver(name="cadical153", bootstrap_with=model.get_cnf_storage().hard_clauses()) as s:
            sat = s.solve()
            assert sat == meets, border
            if sat:
                decoded = decode(mgr, s.get_model())
                got = value(Assignment(decoded))
                assert (got <= border) if minimization else (got >= border)
                assert _hard_ok(hard_clauses, nums, {k: decoded[k] for k in element_keys(fams)})
