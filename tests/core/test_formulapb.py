import itertools
import random
import types

import numpy as np
import pytest
from pysat.solvers import Solver

import nubrix.sorn_engine.bxpr as bx
import nubrix.sorn_engine.pbct as pb
from zk_encoder.core import formulapb
from zk_encoder.core.formulapb import FormulaPB
from zk_encoder.core.manager import Manager
from zk_encoder.core.pboperations import Sum

COMPARATORS = {
    "LEQ": (pb.Comparator_type.LEQ, lambda s, k: s <= k),
    "GEQ": (pb.Comparator_type.GEQ, lambda s, k: s >= k),
    "BOTH": (pb.Comparator_type.BOTH, lambda s, k: s == k),
}


@pytest.fixture
def manager():
    m = Manager()
    for family in ("x", "y"):
        m.registration_generator_variables(family)
    return m


def family(manager, name):
    return manager.name2genvar[name]


class FixedEncoding:
    """Stands in for the engine's encoder and database: the clauses are given by the test."""

    def __init__(self, clauses, bulk=False):
        self.clauses, self.bulk, self.constraints = clauses, bulk, []

    def namespace(self):
        enc = self

        class Database:
            def __init__(self, config):
                self.config, self.clauses = config, None

            def get_clauses(self):
                return self.clauses

        class BulkDatabase(Database):
            def get_clauses(self):
                raise AssertionError("the flat arrays should have been read")

            def get_clause_arrays(self):
                offsets = np.cumsum([0] + [len(c) for c in self.clauses], dtype=np.int64)
                lits = np.array([l for c in self.clauses for l in c], dtype=np.int32)
                return offsets, lits

        class Encoder:
            def __init__(self, config):
                self.config = config

            def encode2(self, constraint, db, aux):
                db.clauses = enc.clauses

        def constraint(*args):
            enc.constraints.append(args)
            return args

        return types.SimpleNamespace(
            PBConstraint=constraint,
            VectorClauseDatabase=BulkDatabase if self.bulk else Database,
            pb2cnf=Encoder,
        )


@pytest.fixture(params=[False, True], ids=["clause-lists", "flat-arrays"])
def fixed(monkeypatch, request):
    """Installs a FixedEncoding; its clauses are set by the test."""
    enc = FixedEncoding([], bulk=request.param)
    monkeypatch.setattr(formulapb, "pb", enc.namespace())
    return enc


# --- construction --------------------------------------------------------------------------------


def test_fields_and_further_bounds(manager, fixed):
    term = family(manager, "x")(1).to_pb()
    two = FormulaPB(term, pb.Comparator_type.LEQ)
    assert (two.expression, two.comparator, two.border) == (term, pb.Comparator_type.LEQ, ())
    two.to_bx(manager)
    four = FormulaPB(term, pb.Comparator_type.BOTH, 5, 6)
    assert four.border == (5, 6)
    four.to_bx(manager)
    lits = fixed.constraints[0][0]
    assert fixed.constraints == [
        (lits, pb.Comparator_type.LEQ),
        (fixed.constraints[1][0], pb.Comparator_type.BOTH, 5, 6),
    ]


# --- translation of the encoder's clauses --------------------------------------------------------


def test_clauses_become_a_conjunction_of_disjunctions(manager, fixed):
    x1, y1 = family(manager, "x")(1), family(manager, "y")(1)
    fixed.clauses = [[x1.pb_var, -7], [7, y1.pb_var]]
    result = FormulaPB(x1.to_pb() + y1.to_pb(), pb.Comparator_type.LEQ, 1).to_bx(manager)
    aux = manager.pb2bx[7]
    assert str(aux) == "_pbct_aux_0" and manager.cnt_pbvar == 1
    expected = bx.and_s([bx.or_s([x1.bx_var, ~aux]), bx.or_s([aux, y1.bx_var])])
    assert str(result) == str(expected)


def test_auxiliaries_are_named_by_first_appearance(manager, fixed):
    fixed.clauses = [[9, 8], [-8, 9, 10]]
    FormulaPB(family(manager, "x")(1).to_pb(), pb.Comparator_type.GEQ, 1).to_bx(manager)
    assert [manager.pb2name[n] for n in (9, 8, 10)] == ["_pbct_aux_0", "_pbct_aux_1", "_pbct_aux_2"]
    assert manager.cnt_pbvar == 3


@pytest.mark.parametrize(
    "clauses,expected",
    [([], lambda: bx.and_s([])), ([[]], lambda: bx.and_s([bx.or_s([])]))],
    ids=["no-clause", "empty-clause"],
)
def test_degenerate_clause_lists(manager, fixed, clauses, expected):
    fixed.clauses = clauses
    result = FormulaPB(Sum(), pb.Comparator_type.LEQ, 0).to_bx(manager)
    assert str(result) == str(expected())


def test_to_bx_logs_before_and_after(manager, fixed, log_sink):
    x1 = family(manager, "x")(1)
    term = 2 * x1.to_pb()
    fixed.clauses = [[-x1.pb_var]]
    result = FormulaPB(term, pb.Comparator_type.LEQ, 1).to_bx(manager)
    assert log_sink.at("debug") == [
        "FormulaPB before to_bx: " + repr(term),
        "Bx formula from FormulaPB: " + str(result),
    ]


def test_a_failed_encoding_writes_only_the_first_line(manager, monkeypatch, log_sink):
    def refuse(*args):
        raise RuntimeError("refused by the engine")

    monkeypatch.setattr(formulapb, "pb", types.SimpleNamespace(PBConstraint=refuse))
    term = family(manager, "x")(1).to_pb()
    with pytest.raises(RuntimeError, match="refused by the engine"):
        FormulaPB(term, pb.Comparator_type.LEQ, 1).to_bx(manager)
    assert log_sink.at("debug") == ["FormulaPB before to_bx: " + repr(term)]


# --- the real encoder ----------------------------------------------------------------------------


def clause_form(expr):
    """The Tseytin result as lists of (name, positive) literals."""
    clauses = expr.get_args() if isinstance(expr, bx.And) else [expr]
    out = []
    for clause in clauses:
        lits = clause.get_args() if isinstance(clause, bx.Or) else [clause]
        out.append([(str(l)[1:], False) if str(l).startswith("~") else (str(l), True)
                    for l in lits])
    return out


def check_meaning(manager, elements, term_pairs, comparator, bound, holds):
    """The encoded constraint, with the variables fixed, is satisfiable exactly when it holds."""
    coefs = [(elements[i], k) for i, k in term_pairs]
    term = Sum(*[k * e.to_pb() for e, k in coefs])
    formula = FormulaPB(term, comparator, bound).to_bx(manager)
    t = formula.tseytin(manager.bx_context, "_bxpr_aux")
    names = {e.name: i + 1 for i, e in enumerate(elements)}
    for values in itertools.product([False, True], repeat=len(elements)):
        total = sum(k for (e, k) in coefs if values[elements.index(e)])
        expected = holds(total, bound)
        if isinstance(t, bx.One):
            assert expected, (term_pairs, bound, values)
            continue
        if isinstance(t, bx.Zero):
            assert not expected, (term_pairs, bound, values)
            continue
        clauses = [[(names.setdefault(n, len(names) + 1)) * (1 if s else -1) for n, s in c]
                   for c in clause_form(t)]
        assumptions = [(i + 1) if v else -(i + 1) for i, v in enumerate(values)]
        with Solver(name="minisat22", bootstrap_with=clauses) as s:
            assert s.solve(assumptions=assumptions) == expected, (term_pairs, bound, values)


@pytest.mark.parametrize("seed", range(6))
def test_encoding_holds_exactly_when_the_constraint_does(seed):
    rng = random.Random(seed)
    for _ in range(60):
        manager = Manager()
        manager.registration_generator_variables("x")
        n = rng.randint(1, 5)
        elements = [manager.name2genvar["x"](i) for i in range(n)]
        # Repeated variables and zero coefficients on purpose; the bound near a reachable sum, so
        # that most constraints are neither always true nor never.
        pairs = [(rng.randrange(n), rng.randint(-3, 3)) for _ in range(rng.randint(0, 7))]
        name = rng.choice(sorted(COMPARATORS))
        comparator, holds = COMPARATORS[name]
        chosen = [rng.random() < 0.5 for _ in range(n)]
        bound = sum(k for i, k in pairs if chosen[i]) + rng.choice([-1, 0, 0, 1])
        try:
            check_meaning(manager, elements, pairs, comparator, bound, holds)
        except AssertionError:
            print(f"seed {seed}: {name} {pairs} bound {bound}")
            raise


def test_constraints_of_one_formula_share_the_counter_and_the_numbers(manager):
    x = family(manager, "x")
    elements = [x(i) for i in range(4)]
    term = Sum(*[e.to_pb() for e in elements])
    FormulaPB(term, pb.Comparator_type.LEQ, 2).to_bx(manager)
    first = manager.cnt_pbvar
    assert first > 0
    FormulaPB(term, pb.Comparator_type.GEQ, 2).to_bx(manager)
    assert manager.cnt_pbvar > first
    aux = sorted(n for n, name in manager.pb2name.items() if name.startswith("_pbct_aux_"))
    assert sorted(manager.pb2name[n] for n in aux) == sorted(
        f"_pbct_aux_{k}" for k in range(manager.cnt_pbvar))
    assert not set(aux) & {e.pb_var for e in elements}


# --- objectives ----------------------------------------------------------------------------------

SIGNS = [
    (True, ["~x(1)", "y(1)", "x(1)"]),
    (False, ["x(1)", "~y(1)", "~x(1)"]),
    (1, ["~x(1)", "y(1)", "x(1)"]),
    ("", ["x(1)", "~y(1)", "~x(1)"]),
]


@pytest.mark.parametrize("minimization,literals", SIGNS, ids=["true", "false", "one", "empty"])
def test_maxsat_literal_signs_and_absolute_weights(manager, log_sink, minimization, literals):
    x1, y1 = family(manager, "x")(1), family(manager, "y")(1)
    term = Sum(3 * x1.to_pb(), -2 * y1.to_pb(), 0 * x1.to_pb())
    formula, weights = FormulaPB(term, None, None).to_maxsat(manager, minimization)
    assert weights == [3, 2, 0]
    assert isinstance(formula, bx.And)
    assert [str(l) for l in formula.get_args()] == literals
    assert log_sink.at("debug") == ["FormulaPB before to_maxsat: " + repr(term)]
    assert manager.cnt_pbvar == 0


def test_maxsat_of_an_empty_sum(manager):
    formula, weights = FormulaPB(Sum(), None, None).to_maxsat(manager, True)
    assert weights == [] and str(formula) == str(bx.and_([]))


@pytest.mark.parametrize("minimization", [True, False])
@pytest.mark.parametrize("seed", range(4))
def test_falsified_weight_follows_the_term(seed, minimization):
    rng = random.Random(seed)
    manager = Manager()
    manager.registration_generator_variables("x")
    elements = [manager.name2genvar["x"](i) for i in range(4)]
    pairs = [(rng.randrange(4), rng.randint(-4, 4)) for _ in range(rng.randint(1, 7))]
    term = Sum(*[k * elements[i].to_pb() for i, k in pairs])
    formula, weights = FormulaPB(term, None, None).to_maxsat(manager, minimization)
    literals = [str(l) for l in formula.get_args()]
    offsets = set()
    for values in itertools.product([False, True], repeat=4):
        value = {e.name: v for e, v in zip(elements, values)}
        falsified = sum(w for w, l in zip(weights, literals)
                        if (value[l[1:]] if l.startswith("~") else not value[l]))
        total = sum(k for i, k in pairs if values[i])
        offsets.add(falsified - total if minimization else falsified + total)
    assert len(offsets) == 1, (pairs, minimization)


def test_maxsat_items_must_be_pairs(manager):
    class Bad:
        def __repr__(self):
            return "Bad"

        def to_maxsat(self):
            return [(1, 2, 3)]

    with pytest.raises(ValueError, match="too many values to unpack"):
        FormulaPB(Bad(), None, None).to_maxsat(manager, True)


def test_a_derived_registry_is_asked_through_its_own_method(fixed):
    class Tracing(Manager):
        def __init__(self):
            super().__init__()
            self.asked = []

        def get_pb_var(self, pb_var, prefix="_pbct_aux"):
            self.asked.append(pb_var)
            return super().get_pb_var(pb_var, prefix)

    manager = Tracing()
    fixed.clauses = [[3, -4], [4]]
    result = FormulaPB(Sum(), pb.Comparator_type.LEQ, 0).to_bx(manager)
    assert manager.asked == [3, 4, 4]
    a, b = manager.pb2bx[3], manager.pb2bx[4]
    assert str(result) == str(bx.and_s([bx.or_s([a, ~b]), bx.or_s([b])]))
    formula, weights = FormulaPB(Sum(), None, None).to_maxsat(manager, True)
    assert weights == []


@pytest.mark.parametrize("seed", range(4))
def test_one_call_and_clause_by_clause_translations_agree(monkeypatch, seed):
    """Where the engine builds all clauses in one call, the formula and the names it gives the
    auxiliaries are those of the clause-by-clause build."""
    def encode(bulk):
        if not bulk:
            monkeypatch.delattr(bx, "clauses_s")
        rng = random.Random(seed)
        manager = Manager()
        manager.registration_generator_variables("x")
        elements = [manager.name2genvar["x"](i) for i in range(6)]
        term = Sum(*[rng.randint(1, 3) * elements[rng.randrange(6)].to_pb() for _ in range(6)])
        result = FormulaPB(term, pb.Comparator_type.LEQ, rng.randint(1, 5)).to_bx(manager)
        monkeypatch.undo()
        return str(result), dict(manager.name2pb)

    assert encode(True) == encode(False)


@pytest.mark.parametrize("field", ["expression", "comparator", "border"])
def test_a_formula_in_a_cycle_through_its_fields_is_collected(field):
    import gc
    import weakref

    class Holder:
        pass

    def cycle():
        holder = Holder()
        f = FormulaPB(None, pb.Comparator_type.LEQ, 1)
        setattr(f, field, holder)
        holder.back = f
        return weakref.ref(holder)

    ref = cycle()
    gc.collect()
    assert ref() is None
