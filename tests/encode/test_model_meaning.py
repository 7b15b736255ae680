"""What a model means wherever a comparison stands: under negation, in every connective, nested;
long chains; formulas whose shape depends on the for-all values; and random whole models. Every
model is judged by a SAT solver (python-sat) against brute force over the model's own variables:
for each assignment of them, the CNF must be satisfiable under that assignment exactly when the
assignment satisfies the model; MaxSAT optima (RC2) against the brute-force optimum."""

import itertools
import operator
import os
import random

import numpy as np
import pytest
from pysat.examples.rc2 import RC2
from pysat.formula import WCNF
from pysat.solvers import Solver

import nubrix.sorn_engine as se
from zk_encoder._exceptions import FormulaError
from zk_encoder import (And, AndIt, Equiv, IfThenElse, Implication, Model, Or, OrIt, Sum, SumIt,
                        Xor, XorIt, Zero, pow_expression)
from zk_encoder.encode.expressions import Expression

BACK_ENDS = [False, True]
BACK_END_IDS = ["own", "formula_encoder"]


def element_keys(model_map, families):
    return [k for k in model_map if k.split("[")[0] in families]


def values_of(assignment, sizes):
    """{family: [bits]} from an assignment {key: bool}."""
    return {f: [int(assignment[f"{f}[{k}]"]) for k in range(n)] for f, n in sizes.items()}


def assignments(sizes):
    keys = [f"{f}[{k}]" for f, n in sizes.items() for k in range(n)]
    for bits in itertools.product([False, True], repeat=len(keys)):
        yield dict(zip(keys, bits))


def projected_disagreements(clauses, nums, sizes, holds):
    """Assignments of the model's variables on which the CNF and the brute force disagree."""
    bad = []
    with Solver(name="cadical153", bootstrap_with=clauses) as solver:
        for values in assignments(sizes):
            lits = [nums[k] if v else -nums[k] for k, v in values.items()]
            if solver.solve(assumptions=lits) != bool(holds(values_of(values, sizes))):
                bad.append(values)
    return bad


def built_clauses(model):
    assert model.build_cnf() is True
    return model.get_cnf_storage().hard_clauses(), model.get_var_mapping().get_var_map()


def rc2_witness(storage):
    """An optimum of the weighted CNF in `storage` by RC2, or None when the hard part has none."""
    wcnf = WCNF()
    for c in storage.hard_clauses():
        wcnf.append(c)
    for c, w in storage.soft_clauses():
        wcnf.append(c, weight=w)
    with RC2(wcnf) as rc2:
        return rc2.compute()


def forced_through_eval(e):
    """The same formula in a text that only the host's `eval` reads (a conditional expression
    that means its first branch)."""
    return Expression("(" + str(e) + " if True else None)", e.soft)


# --- comparisons in every context ------------------------------------------------------------

def S(x):
    return SumIt([x[0], x[1], x[2], x[3]])


def s4(v):
    return sum(v["x"][:4])


# (id, constraint over x of 5 elements, predicate over {"x": bits})
CONTEXT_CASES = [
    ("negated_at_most", lambda x: ~(S(x) <= 1), lambda v: not s4(v) <= 1),
    ("implication_condition", lambda x: Implication(S(x) >= 2, x[4]),
     lambda v: s4(v) < 2 or v["x"][4]),
    ("implication_conclusion", lambda x: Implication(x[4], S(x) >= 2),
     lambda v: not v["x"][4] or s4(v) >= 2),
    ("negated_equality", lambda x: ~(S(x) == 2), lambda v: s4(v) != 2),
    ("equivalence", lambda x: Equiv(S(x) == 2, x[4]), lambda v: (s4(v) == 2) == bool(v["x"][4])),
    ("equivalence_of_three", lambda x: Equiv(S(x) <= 1, x[4], ~(x[0] + x[4] >= 1)),
     lambda v: (s4(v) <= 1) == bool(v["x"][4]) == (v["x"][0] + v["x"][4] < 1)),
    ("xor", lambda x: (S(x) >= 3) ^ x[4], lambda v: (s4(v) >= 3) != bool(v["x"][4])),
    ("xor_of_a_sequence", lambda x: XorIt([S(x) <= 2, x[4], 2 * x[0] + x[4] >= 2]),
     lambda v: ((s4(v) <= 2) + v["x"][4] + (2 * v["x"][0] + v["x"][4] >= 2)) % 2 == 1),
    ("ite_condition", lambda x: IfThenElse(S(x) <= 1, x[4], ~x[4]),
     lambda v: bool(v["x"][4]) == (s4(v) <= 1)),
    ("ite_branches", lambda x: IfThenElse(x[4], S(x) >= 3, ~(S(x) >= 1)),
     lambda v: s4(v) >= 3 if v["x"][4] else s4(v) == 0),
    ("double_negation", lambda x: ~~(S(x) <= 1), lambda v: s4(v) <= 1),
    ("negated_disjunction", lambda x: ~((S(x) <= 1) | x[4]),
     lambda v: s4(v) > 1 and not v["x"][4]),
    ("negated_conjunction_in_or", lambda x: ~((S(x) >= 2) & x[4]) | (x[0] + x[1] + x[2] == 3),
     lambda v: not (s4(v) >= 2 and v["x"][4]) or sum(v["x"][:3]) == 3),
    ("nested_implications", lambda x: Implication(Implication(S(x) >= 2, x[4]), S(x) == 4),
     lambda v: (s4(v) >= 2 and not v["x"][4]) or s4(v) == 4),
    ("weighted_under_negation", lambda x: ~(3 * x[0] + 2 * x[1] - x[2] + x[3] + x[4] <= 2),
     lambda v: 3 * v["x"][0] + 2 * v["x"][1] - v["x"][2] + v["x"][3] + v["x"][4] > 2),
    ("negated_and_with_keyword", lambda x: ~And(x[0] + x[1] + x[2] >= 2, o=range(2)),
     lambda v: sum(v["x"][:3]) < 2),
    ("or_of_negations", lambda x: OrIt([~(S(x) <= 2), ~(x[2] + x[3] + x[4] >= 1)]),
     lambda v: s4(v) > 2 or sum(v["x"][2:]) == 0),
    ("negated_or_keyword", lambda x: ~Or(x[0] + x[1] >= 2, o=range(1)) & (S(x) <= 3),
     lambda v: not (v["x"][0] and v["x"][1]) and s4(v) <= 3),
]


@pytest.mark.parametrize("road", ["native", "eval"])
@pytest.mark.parametrize("use_fe", BACK_ENDS, ids=BACK_END_IDS)
@pytest.mark.parametrize("make,holds", [c[1:] for c in CONTEXT_CASES],
                         ids=[c[0] for c in CONTEXT_CASES])
def test_a_comparison_means_its_truth_value_in_every_context(make, holds, use_fe, road):
    model = Model(se.manager(), "t", use_fe)
    x = model.create_variables("x", n=5)
    constraint = make(x)
    model.add_constraint(constraint if road == "native" else forced_through_eval(constraint))
    clauses, nums = built_clauses(model)
    assert projected_disagreements(clauses, nums, {"x": 5}, holds) == []


@pytest.mark.parametrize("use_fe", BACK_ENDS, ids=BACK_END_IDS)
def test_a_family_whose_texts_only_eval_reads(use_fe):
    model = Model(se.manager(), "t", use_fe)
    x = model.create_variables("\u00e9", n=5)
    model.add_constraint(Implication(S(x) >= 2, x[4]) & ~(x[0] + x[1] + x[4] == 2))
    clauses, nums = built_clauses(model)
    nums = {k.replace("\u00e9", "x"): v for k, v in nums.items()}
    assert projected_disagreements(
        clauses, nums, {"x": 5},
        lambda v: (s4(v) < 2 or v["x"][4]) and v["x"][0] + v["x"][1] + v["x"][4] != 2) == []


def test_comparisons_standing_as_requirements_keep_their_clauses():
    def clauses_of(fill):
        model = Model(se.manager(), "t")
        x = model.create_variables("x", n=5)
        fill(model, x)
        model.build_cnf()
        storage = model.get_cnf_storage()
        return storage.hard_clauses(), storage.get_variable_count()

    alone, count = clauses_of(lambda m, x: m.add_constraint(S(x) <= 1))
    # A conjunction at the top adds only its other operand: no literal stands for the comparison.
    both, both_count = clauses_of(lambda m, x: m.add_constraint((S(x) <= 1) & x[4]))
    assert both_count == count
    assert sorted(map(sorted, both)) == sorted(map(sorted, alone + [[5]]))


def test_a_formula_that_always_holds_is_still_redundant(log_sink):
    model = Model(se.manager(), "t")
    x = model.create_variables("x", n=5)
    model.add_constraint(Implication(S(x) >= 2, x[4] | ~x[4]))
    assert [m for m in log_sink.at("warning") if m.startswith("Redundant constraint")]
    model.add_constraint(x[0])
    clauses, nums = built_clauses(model)
    assert clauses == [[nums["x[0]"]]]


# --- chained comparisons -------------------------------------------------------------------

def test_a_chained_comparison_is_refused_where_it_is_written():
    model = Model(se.manager(), "t")
    x = model.create_variables("x", n=3)
    with pytest.raises(TypeError, match="write the two bounds as two constraints or join them"):
        model.add_constraint(1 <= x[0] + x[1] + x[2] <= 2)
    model.add_constraint((x[0] + x[1] + x[2] >= 1) & (x[0] + x[1] + x[2] <= 2))
    clauses, nums = built_clauses(model)
    assert projected_disagreements(clauses, nums, {"x": 3},
                                   lambda v: 1 <= sum(v["x"]) <= 2) == []


# --- long chains -----------------------------------------------------------------------------

N_CHAIN = 10000

# (id, operator, constraint from the chain, assignments as {index: value} over all-equal others,
#  whether each holds)
CHAINS = [
    ("or", operator.or_, lambda e: e,
     [({}, False), ({N_CHAIN - 1: 1}, True), ({0: 1, 7: 1}, True)]),
    ("and", operator.and_, lambda e: e,
     [({}, False), ("all", True), (("all_but", 4321), False)]),
    ("plus", operator.add, lambda e: e <= 1,
     [({}, True), ({5000: 1}, True), ({0: 1, N_CHAIN - 1: 1}, False)]),
]


@pytest.mark.parametrize("use_fe", BACK_ENDS, ids=BACK_END_IDS)
@pytest.mark.parametrize("op,make,probes", [c[1:] for c in CHAINS], ids=[c[0] for c in CHAINS])
def test_ten_thousand_operand_chains(op, make, probes, use_fe):
    model = Model(se.manager(), "t", use_fe)
    x = model.create_variables("x", n=N_CHAIN)
    e = x[0]
    for k in range(1, N_CHAIN):
        e = op(e, x[k])
    model.add_constraint(make(e))
    clauses, nums = built_clauses(model)
    var = [nums[f"x[{k}]"] for k in range(N_CHAIN)]
    with Solver(name="cadical153", bootstrap_with=clauses) as solver:
        for probe, expected in probes:
            if probe == "all":
                bits = [1] * N_CHAIN
            elif isinstance(probe, tuple):
                bits = [1] * N_CHAIN
                bits[probe[1]] = 0
            else:
                bits = [probe.get(k, 0) for k in range(N_CHAIN)]
            lits = [v if b else -v for v, b in zip(var, bits)]
            assert solver.solve(assumptions=lits) == expected, probe


def test_chain_texts_keep_their_form():
    model = Model(se.manager(), "t")
    x = model.create_variables("x", n=3)
    assert str(x[0] | x[1] | x[2]) == (
        "bx.or_s([bx.or_s([x(0).to_bx(), x(1).to_bx()]), x(2).to_bx()])")
    assert str(x[0] + x[1] + x[2]) == "x(0).to_pb() + x(1).to_pb() + x(2).to_pb()"
    e = x[0]
    for k in range(3000):
        e = e & x[k % 3]
    text = str(e)
    assert text.startswith("bx.and_s([" * 3000 + "x(0).to_bx(), x(0).to_bx()])")
    assert text.count(".to_bx()") == 3001 and str(e) is text


# --- formulas that depend on their for-all values; instances; factors ---------------------------

# (id, families, fill, predicate over {family: bits})
INSTANCE_CASES = [
    ("sum_index_plus_forall_index", {"x": 6},
     lambda m, f, i, j: m.add_constraint(Sum(f["x"][j + i], j=range(3)) <= 1, i=range(3)),
     lambda v: all(sum(v["x"][jj + ii] for jj in range(3)) <= 1 for ii in range(3))),
    ("forall_index_plus_sum_index", {"x": 6},
     lambda m, f, i, j: m.add_constraint(Sum(f["x"][i + j], j=range(3)) >= 1, i=range(3)),
     lambda v: all(sum(v["x"][jj + ii] for jj in range(3)) >= 1 for ii in range(3))),
    ("power_of_forall_index", {"b": 3, "x": 3},
     lambda m, f, i, j: m.add_constraint(pow_expression(3, i) * f["b"][i] + f["x"][i] <= 3,
                                         i=range(3)),
     lambda v: all(3 ** k * v["b"][k] + v["x"][k] <= 3 for k in range(3))),
    ("power_under_negation", {"b": 3, "x": 3},
     lambda m, f, i, j: m.add_constraint(~(pow_expression(2, i) * f["b"][i] + f["x"][i] >= 2),
                                         i=[1, 2]),
     lambda v: all(2 ** k * v["b"][k] + v["x"][k] < 2 for k in (1, 2))),
    ("no_instance", {"x": 2},
     lambda m, f, i, j: (m.add_constraint(Zero, o=[]), m.add_constraint(f["x"][0])),
     lambda v: v["x"][0] == 1),
    ("no_instance_of_a_contradiction", {"x": 2},
     lambda m, f, i, j: m.add_constraint(f["x"][i] + f["x"][i + 1] >= 3, i=range(0)),
     lambda v: True),
    ("compound_left_factor", {"x": 3},
     lambda m, f, i, j: m.add_constraint((f["x"][0] + f["x"][1]) * pow_expression(2, 1)
                                         + f["x"][2] >= 3),
     lambda v: 2 * (v["x"][0] + v["x"][1]) + v["x"][2] >= 3),
]


@pytest.mark.parametrize("use_fe", BACK_ENDS, ids=BACK_END_IDS)
@pytest.mark.parametrize("sizes,fill,holds", [c[1:] for c in INSTANCE_CASES],
                         ids=[c[0] for c in INSTANCE_CASES])
def test_formulas_mean_what_they_say_for_each_instance(sizes, fill, holds, use_fe):
    model = Model(se.manager(), "t", use_fe)
    fams = {name: model.create_variables(name, n=n) for name, n in sizes.items()}
    i, j = model.get_indexes(["i", "j"])
    fill(model, fams, i, j)
    clauses, nums = built_clauses(model)
    assert projected_disagreements(clauses, nums, sizes, holds) == []


def test_compound_left_factor_is_parenthesised_and_a_power_keeps_its_text():
    model = Model(se.manager(), "t")
    x = model.create_variables("x", n=2)
    i = model.get_indexes(["i"])
    assert str((x[0] + x[1]) * pow_expression(2, 1)) == (
        "(x(0).to_pb() + x(1).to_pb()) * (2 ** 1)")
    assert str((x[0] - x[1]) * x[0]) == "(x(0).to_pb() - (x(1).to_pb())) * (x(0).to_pb())"
    assert str(pow_expression(2, i) * x[i]) == "2 ** i * (x(i).to_pb())"
    assert str((3 * x[0]) * x[1]) == "3 * (x(0).to_pb()) * (x(1).to_pb())"


@pytest.mark.parametrize("use_fe", BACK_ENDS, ids=BACK_END_IDS)
def test_soft_weights_that_depend_on_the_for_all_values(use_fe):
    model = Model(se.manager(), "t", use_fe)
    x = model.create_variables("x", n=3)
    i = model.get_indexes(["i"])
    model.add_constraint(x[0] + x[1] + x[2] <= 2)
    model.add_soft_constraint(pow_expression(2, i) * x[i], 1, False, i=range(3))
    assert model.build_wcnf() is True
    storage = model.get_cnf_storage()
    witness = rc2_witness(storage)
    nums = model.get_var_mapping().get_var_map()
    chosen = [int(nums[f"x[{k}]"] in witness) for k in range(3)]
    assert chosen == [0, 1, 1]


# --- a term times an integer, on either side, in every context ---------------------------------

# (id, term over the family v of 4 elements, `j` (an index with the one for-all value 2, or the
#  integer 2 itself) and the index `k`, coefficients {element: coefficient} at j = 2). A product's left operand is
# written as it stands, so a bare reference meets the integer factor of its right operand in the
# evaluated text ("v(j) * (2 ** 1)").
SCALED_TERMS = [
    ("ref_times_power", lambda v, j, k: v[j] * pow_expression(2, 1), {2: 2}),
    ("power_times_ref", lambda v, j, k: pow_expression(2, 1) * v[j], {2: 2}),
    ("ref_times_int", lambda v, j, k: v[j] * 3, {2: 3}),
    ("int_times_ref", lambda v, j, k: 3 * v[j], {2: 3}),
    ("ref_times_numpy_int", lambda v, j, k: v[j] * np.int64(3), {2: 3}),
    ("numpy_int_times_ref", lambda v, j, k: np.int32(3) * v[j], {2: 3}),
    ("ref_times_bool", lambda v, j, k: v[j] * True, {2: 1}),
    ("ref_times_negative_int", lambda v, j, k: v[j] * -2, {2: -2}),
    ("ref_times_numpy_power", lambda v, j, k: v[j] * pow_expression(np.int64(2), np.int32(2)),
     {2: 4}),
    ("ref_times_power_of_the_index", lambda v, j, k: v[j] * pow_expression(2, j), {2: 4}),
    ("ref_times_negative_power", lambda v, j, k: v[j] * pow_expression(-3, 1), {2: -3}),
    ("power_times_scaled_ref", lambda v, j, k: pow_expression(2, 1) * (v[j] * pow_expression(3, 1)),
     {2: 6}),
    ("scaled_ref_plus_ref", lambda v, j, k: v[j] * pow_expression(2, 1) + v[1], {2: 2, 1: 1}),
    ("ref_minus_scaled_ref", lambda v, j, k: v[0] - v[j] * pow_expression(2, 1), {0: 1, 2: -2}),
    ("pair_times_power", lambda v, j, k: (v[j] + v[0]) * pow_expression(2, 1), {2: 2, 0: 2}),
    ("sum_times_power", lambda v, j, k: Sum(v[k], k=range(2)) * pow_expression(3, 1),
     {0: 3, 1: 3}),
    ("sumit_times_numpy_int", lambda v, j, k: SumIt([v[0], v[j]]) * np.int64(2), {0: 2, 2: 2}),
]
SCALED_IDS = [c[0] for c in SCALED_TERMS]
SCALED_PARAMS = [c[1:] for c in SCALED_TERMS]


def term_value(coefs, bits):
    return sum(c * bits[k] for k, c in coefs.items())


def scaled_model(use_fe):
    model = Model(se.manager(), "t", use_fe)
    v = model.create_variables("v", n=4)
    j, k = model.get_indexes(["j", "k"])
    return model, v, j, k


@pytest.mark.parametrize("road", ["native", "eval"])
@pytest.mark.parametrize("use_fe", BACK_ENDS, ids=BACK_END_IDS)
@pytest.mark.parametrize("make,coefs", SCALED_PARAMS, ids=SCALED_IDS)
def test_a_scaled_term_in_a_hard_constraint(make, coefs, use_fe, road):
    model, v, j, k = scaled_model(use_fe)
    # The largest value the term takes: its positive coefficients' elements true, the others false.
    bound = sum(c for c in coefs.values() if c > 0)
    constraint = make(v, j, k) == bound
    model.add_constraint(constraint if road == "native" else forced_through_eval(constraint),
                         j=[2])
    clauses, nums = built_clauses(model)
    assert projected_disagreements(clauses, nums, {"v": 4},
                                   lambda b: term_value(coefs, b["v"]) == bound) == []


@pytest.mark.parametrize("minimization", [False, True], ids=["maximise", "minimise"])
@pytest.mark.parametrize("road", ["native", "eval"])
@pytest.mark.parametrize("use_fe", BACK_ENDS, ids=BACK_END_IDS)
@pytest.mark.parametrize("make,coefs", SCALED_PARAMS, ids=SCALED_IDS)
def test_a_scaled_term_as_a_soft_constraint(make, coefs, use_fe, road, minimization):
    model, v, j, k = scaled_model(use_fe)
    model.add_constraint(v[0] + v[1] + v[2] + v[3] <= 2)
    term = make(v, j, k)
    model.add_soft_constraint(term if road == "native" else forced_through_eval(term), 3,
                              minimization, j=[2])
    assert model.build_wcnf() is True
    storage = model.get_cnf_storage()
    nums = model.get_var_mapping().get_var_map()
    # One soft clause per term: its element, negated where a true element costs, weighted by the
    # weight times the coefficient.
    expected = [([nums[f"v[{e}]"] if (c > 0) != minimization else -nums[f"v[{e}]"]], 3 * abs(c))
                for e, c in coefs.items()]
    assert sorted(storage.soft_clauses()) == sorted(expected)
    witness = set(rc2_witness(storage))
    sign = -3 if minimization else 3
    chosen = [int(nums[f"v[{e}]"] in witness) for e in range(4)]
    best = max(sign * term_value(coefs, bits) for bits in itertools.product([0, 1], repeat=4)
               if sum(bits) <= 2)
    assert sum(chosen) <= 2 and sign * term_value(coefs, chosen) == best


@pytest.mark.parametrize("minimization", [False, True], ids=["at_least", "at_most"])
@pytest.mark.parametrize("road", ["native", "eval"])
@pytest.mark.parametrize("make,coefs", SCALED_PARAMS, ids=SCALED_IDS)
def test_a_scaled_term_as_the_target(make, coefs, road, minimization):
    # The engine's formula encoder keeps a target without encoding it: the own encoding only.
    model, v, _, k = scaled_model(False)
    term = make(v, 2, k)
    model.add_target(term if road == "native" else forced_through_eval(term))
    values = [term_value(coefs, bits) for bits in itertools.product([0, 1], repeat=4)]
    border = max(values) if not minimization else min(values)
    assert model.build_cnf(border, minimization) is True
    storage = model.get_cnf_storage()
    nums = model.get_var_mapping().get_var_map()
    meets = (lambda b: term_value(coefs, b["v"]) <= border) if minimization else (
        lambda b: term_value(coefs, b["v"]) >= border)
    assert projected_disagreements(storage.hard_clauses(), nums, {"v": 4}, meets) == []


# --- random whole models ---------------------------------------------------------------------

SEED = int(os.environ.get("ZK_MEANING_SEED", "1210"))


class Gen:
    """Random expressions of the whole language with their meaning: each builder returns the
    expression and a function of (values {family: bits}, bindings {index name: value})."""

    def __init__(self, rng, fams, indexes):
        self.rng = rng
        self.fams = fams          # {name: (family, size)}
        self.indexes = indexes    # {name: Index}

    def ref(self, scope):
        rng = self.rng
        name = rng.choice(sorted(self.fams))
        fam, n = self.fams[name]
        if scope and rng.random() < 0.7:
            picked = rng.sample(sorted(scope), k=min(len(scope), rng.choice([1, 1, 2])))
            lo = sum(scope[p][0] for p in picked)
            hi = sum(scope[p][1] for p in picked)
            shifts = [c for c in range(-n, n + 1) if lo + c >= 0 and hi + c < n]
            if shifts:
                c = rng.choice(shifts)
                sym = self.indexes[picked[0]]
                for p in picked[1:]:
                    sym = sym + self.indexes[p]
                if c > 0:
                    sym = sym + c
                elif c < 0:
                    sym = sym - (-c)
                return fam[sym], lambda v, b: v[name][sum(b[p] for p in picked) + c]
        k = rng.randrange(n)
        return fam[k], lambda v, b: v[name][k]

    def term(self, scope, depth=2):
        rng = self.rng
        kind = rng.choice(["ref", "scaled", "scaled", "pair", "sum", "sumit", "pow"]
                          if depth > 0 else ["ref", "scaled"])
        if kind == "ref":
            return self.ref(scope)
        if kind == "scaled":
            e, f = self.ref(scope)
            c = rng.randint(-3, 3)
            return (c * e if rng.random() < 0.5 else e * c), lambda v, b: c * f(v, b)
        if kind == "pair":
            (e1, f1), (e2, f2) = self.term(scope, depth - 1), self.term(scope, depth - 1)
            if rng.random() < 0.5:
                return e1 + e2, lambda v, b: f1(v, b) + f2(v, b)
            return e1 - e2, lambda v, b: f1(v, b) - f2(v, b)
        if kind == "sum":
            m = rng.randint(1, 3)
            inner = dict(scope, j=(0, m - 1))
            e, f = self.term(inner, 0)
            return (Sum(e, j=range(m)),
                    lambda v, b: sum(f(v, dict(b, j=k)) for k in range(m)))
        if kind == "sumit":
            parts = [self.term(scope, 0) for _ in range(rng.randint(1, 3))]
            return (SumIt([p[0] for p in parts]),
                    lambda v, b: sum(p[1](v, b) for p in parts))
        # pow: a coefficient that is a power of an index in scope, or of a constant, on either
        # side of the reference
        e, f = self.ref(scope)
        left = rng.random() < 0.5
        if scope and rng.random() < 0.7:
            p = rng.choice(sorted(scope))
            power = pow_expression(2, self.indexes[p])
            return (power * e if left else e * power), lambda v, b: 2 ** b[p] * f(v, b)
        k = rng.randint(0, 2)
        power = pow_expression(2, k)
        return (power * e if left else e * power), lambda v, b: 2 ** k * f(v, b)

    def sample(self, f, scope):
        """The value of `f` at a random assignment and random index values."""
        rng = self.rng
        v = {name: [rng.randint(0, 1) for _ in range(n)] for name, (_, n) in self.fams.items()}
        b = {name: rng.randint(lo, hi) for name, (lo, hi) in scope.items()}
        return f(v, b)

    def comparison(self, scope):
        rng = self.rng
        e, f = self.term(scope)
        # Near a value the term takes, so that few comparisons are constant.
        bound = self.sample(f, scope) + rng.choice([-1, 0, 0, 1])
        op = rng.choice(["<=", ">=", "=="])
        expr = {"<=": e <= bound, ">=": e >= bound, "==": e == bound}[op]
        test = {"<=": operator.le, ">=": operator.ge, "==": operator.eq}[op]
        return expr, lambda v, b: test(f(v, b), bound)

    def formula(self, scope, depth):
        rng = self.rng
        if depth <= 0:
            if rng.random() < 0.25:
                return self.ref(scope)
            return self.comparison(scope)
        kind = rng.choice(["not", "and", "or", "xor", "impl", "equiv", "ite", "keyword", "it",
                           "cmp"])
        sub = lambda: self.formula(scope, depth - 1)
        if kind == "cmp":
            return self.comparison(scope)
        if kind == "not":
            e, f = sub()
            return ~e, lambda v, b: not f(v, b)
        if kind in ("and", "or", "xor"):
            (e1, f1), (e2, f2) = sub(), sub()
            if kind == "and":
                return e1 & e2, lambda v, b: bool(f1(v, b)) and bool(f2(v, b))
            if kind == "or":
                return e1 | e2, lambda v, b: bool(f1(v, b)) or bool(f2(v, b))
            return e1 ^ e2, lambda v, b: bool(f1(v, b)) != bool(f2(v, b))
        if kind == "impl":
            (e1, f1), (e2, f2) = sub(), sub()
            return Implication(e1, e2), lambda v, b: (not f1(v, b)) or bool(f2(v, b))
        if kind == "equiv":
            parts = [sub() for _ in range(rng.randint(2, 3))]
            return (Equiv(*[p[0] for p in parts]),
                    lambda v, b: len({bool(p[1](v, b)) for p in parts}) == 1)
        if kind == "ite":
            (c, fc), (t, ft), (e, fe) = sub(), sub(), sub()
            return (IfThenElse(c, t, e),
                    lambda v, b: bool(ft(v, b)) if fc(v, b) else bool(fe(v, b)))
        if kind == "keyword":
            m = rng.randint(1, 3)
            e, f = self.formula(dict(scope, j=(0, m - 1)), depth - 1)
            cls, agg = rng.choice([(And, all), (Or, any),
                                   (Xor, lambda xs: sum(map(bool, xs)) % 2 == 1)])
            return (cls(e, j=range(m)),
                    lambda v, b: agg([f(v, dict(b, j=k)) for k in range(m)]))
        parts = [sub() for _ in range(rng.randint(1, 3))]
        cls, agg = rng.choice([(AndIt, all), (OrIt, any),
                               (XorIt, lambda xs: sum(map(bool, xs)) % 2 == 1)])
        return (cls([p[0] for p in parts]),
                lambda v, b: agg([p[1](v, b) for p in parts]))


def random_model(rng, use_fe, mode):
    """A random model and what it means: (model, sizes, hard predicate, extra)."""
    sizes = {"x": rng.randint(2, 4)}
    if rng.random() < 0.6:
        sizes["y"] = rng.randint(1, 3)
    model = Model(se.manager(), "r", use_fe)
    fams = {name: (model.create_variables(name, n=n), n) for name, n in sizes.items()}
    i, j = model.get_indexes(["i", "j"])
    gen = Gen(rng, fams, {"i": i, "j": j})
    smallest = min(sizes.values())

    def forall():
        if rng.random() < 0.5:
            return {}, {}
        if rng.random() < 0.6:
            count = rng.randint(1, smallest)
            values = range(count) if rng.random() < 0.5 else list(range(count))
        else:
            values = sorted(rng.sample(range(smallest), k=rng.randint(1, smallest)))
        return {"i": values}, {"i": (min(values), max(values))}

    hard = []
    refused = []
    for _ in range(rng.randint(1, 3)):
        foralls, scope = forall()
        e, f = gen.formula(scope, rng.randint(0, 3))
        instances = list(foralls.get("i", [None]))

        def holds(v, f=f, instances=instances):
            return all(f(v, {} if k is None else {"i": k}) for k in instances)
        # Some texts go the host's `eval` road: they must mean the same.
        if rng.random() < 0.25:
            e = forced_through_eval(e)
        try:
            model.add_constraint(e, **foralls)
            hard.append(holds)
        except (FormulaError, se.EngineError) as err:
            # The encoder may judge a formula when it arrives, with the library's error inside.
            assert "Contradiction was detected in formula " in str(err)
            refused.append(holds)
    extra = None
    if mode == "wcnf":
        softs = []
        for _ in range(rng.randint(1, 3)):
            foralls, scope = forall()
            e, f = gen.term(scope)
            weight, minimization = rng.randint(1, 3), rng.random() < 0.5
            instances = list(foralls.get("i", [None]))
            model.add_soft_constraint(e, weight, minimization, **foralls)
            sign = -weight if minimization else weight
            softs.append(lambda v, f=f, s=sign, ins=instances:
                         sum(s * f(v, {} if k is None else {"i": k}) for k in ins))
        extra = lambda v: sum(s(v) for s in softs)
    elif mode == "target":
        e, f = gen.term({})
        model.add_target(e)
        extra = (f, gen.sample(f, {}) + rng.choice([-1, 0, 1]), rng.random() < 0.5)
    return model, sizes, hard, refused, extra


MODES = ["cnf", "wcnf", "target"]


@pytest.mark.parametrize("round_", range(150))
def test_random_whole_models_mean_what_brute_force_says(round_):
    rng = random.Random(SEED * 1000 + round_)
    mode = MODES[round_ % 3]
    print(f"seed {SEED} round {round_} mode {mode} (replay with ZK_MEANING_SEED={SEED})")
    own_refused = False
    for use_fe in ([False] if mode == "target" else BACK_ENDS):
        # Both back ends get the same model.
        state = rng.getstate()
        model, sizes, hard, refused, extra = random_model(rng, use_fe, mode)
        rng.setstate(state)
        own_refused = own_refused or bool(refused)
        all_values = [values_of(a, sizes) for a in assignments(sizes)]
        # A constraint refused as a contradiction has no model at all.
        for holds in refused:
            assert not any(holds(v) for v in all_values)
        if own_refused and use_fe and not refused:
            continue  # the encoder refuses it at its build, as the library refused it
        holds_all = lambda v: all(h(v) for h in hard)
        if mode == "target":
            f, border, minimization = extra
            meets = (lambda v: f(v, {}) <= border) if minimization else (
                lambda v: f(v, {}) >= border)
            try:
                model.build_cnf(border, minimization)
            except FormulaError as err:
                assert str(err) == "Contradiction was detected in target"
                assert not any(meets(v) for v in all_values)
                continue
            storage = model.get_cnf_storage()
            nums = model.get_var_mapping().get_var_map()
            bad = projected_disagreements(storage.hard_clauses(), nums, sizes,
                                          lambda v: holds_all(v) and meets(v))
            assert bad == [], (SEED, round_)
            continue
        if mode == "cnf":
            if not hard:
                continue  # every constraint was refused: there is nothing to build
            clauses, nums = built_clauses(model)
            assert projected_disagreements(clauses, nums, sizes, holds_all) == [], (SEED, round_)
            continue
        assert model.build_wcnf() is True
        storage = model.get_cnf_storage()
        nums = model.get_var_mapping().get_var_map()
        assert projected_disagreements(storage.hard_clauses(), nums, sizes, holds_all) == []
        feasible = [v for v in all_values if holds_all(v)]
        witness = rc2_witness(storage)
        if not feasible:
            assert witness is None
            continue
        chosen = set(witness)
        solution = {f: [int(nums[f"{f}[{k}]"] in chosen) for k in range(n)]
                    for f, n in sizes.items()}
        assert holds_all(solution)
        assert extra(solution) == max(extra(v) for v in feasible), (SEED, round_)
