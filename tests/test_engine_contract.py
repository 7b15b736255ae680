"""The engine contract (engine/CONTRACT.md): the library runs on an engine that offers none of the
faster calls, with the same meaning. Whole models are built twice, on the stand-in as it is
(every optional call offered, and counted) and with every optional call hidden, and each build is
judged by what its clauses mean: the assignments of the model's elements that satisfy the hard
clauses (enumerated by a SAT solver, and checked against the model's own rule) and, for weighted
CNF, the soft cost of each of them."""

import itertools
import random
import pathlib
import re

import pytest
from pysat.solvers import Solver

import nubrix.sorn_engine as se
import nubrix.sorn_engine.bxpr as bx
import nubrix.sorn_engine.linsolver as ls
import nubrix.sorn_engine.pbct as pb
import zk_encoder.linear_parser as lp1
from zk_encoder import Implication, LinearModel, Model, Sum, SumIt, VariableType, Xor

# The engine's faster calls that the library uses only where they are offered, as
# engine/CONTRACT.md lists them: (owner, attribute).
OPTIONAL_CALLS = [
    (se.wcnf_storage, "add_hard_clauses"),
    (se.wcnf_storage, "add_soft_clauses"),
    (bx.BaseExpr, "clause_arrays"),
    (bx, "clauses_s"),
    (pb.VectorClauseDatabase, "get_clause_arrays"),
    (se.var_mapping, "set_var_families"),
    (ls.LinearSolver, "addRowList"),
    (ls.LinearSolver, "changeColCostArrays"),
]
CONTRACT = pathlib.Path(__file__).resolve().parents[1] / "engine" / "CONTRACT.md"


def defining_owner(owner, name):
    """The class (or module) whose dictionary holds the attribute."""
    if isinstance(owner, type):
        return next(k for k in owner.__mro__ if name in vars(k))
    return owner


class Offered:
    """Every optional call in place, each wrapped to count its calls. The arrays handed to the
    bulk insertions are looked at during the call and not kept (they are valid only then)."""

    def __init__(self, monkeypatch):
        self.counts = dict.fromkeys([name for _, name in OPTIONAL_CALLS], 0)
        self.arrays_seen = []  # (dtype, ndim, writeable) of every array handed over
        for owner, name in OPTIONAL_CALLS:
            home = defining_owner(owner, name)
            original = vars(home)[name]
            monkeypatch.setattr(home, name, self._counting(name, original, home is bx))

    def _counting(self, name, original, is_function):
        def look_at(arrays):
            self.arrays_seen.extend((a.dtype.name, a.ndim, a.flags.writeable) for a in arrays)

        if is_function:
            def call(*args):
                self.counts[name] += 1
                return original(*args)
        else:
            def call(obj, *args):
                self.counts[name] += 1
                if name in ("add_hard_clauses", "add_soft_clauses"):
                    look_at(args)
                return original(obj, *args)
        return call


@pytest.fixture(params=["offered", "hidden"])
def engine(request, monkeypatch):
    if request.param == "offered":
        return Offered(monkeypatch)
    for owner, name in OPTIONAL_CALLS:
        monkeypatch.delattr(defining_owner(owner, name), name)
        assert not hasattr(owner, name)
    return None


# ---------------------------------------------------------------------------------------------
# Models: (families, fill(model, families, indexes), rule over the element values, soft cost or
# None, target build arguments or None). Element values are looked up as v["x[0,1]"] (0 or 1).

def queens(n):
    def fill(m, f, ix):
        q, i, j = f["q"], ix["i"], ix["j"]
        m.add_constraint(Sum(q[i, j], j=range(n)) == 1, i=range(n))
        m.add_constraint(Sum(q[i, j], i=range(n)) == 1, j=range(n))
        for s in range(1, 2 * n - 2):
            m.add_constraint(SumIt([q[r, s - r] for r in range(n) if 0 <= s - r < n]) <= 1)
            m.add_constraint(SumIt([q[r, r + s - n + 1] for r in range(n)
                                    if 0 <= r + s - n + 1 < n]) <= 1)

    def rule(v):
        cells = [(r, c) for r in range(n) for c in range(n) if v[f"q[{r},{c}]"]]
        return (sorted(r for r, _ in cells) == list(range(n))
                and sorted(c for _, c in cells) == list(range(n))
                and len({r + c for r, c in cells}) == n and len({r - c for r, c in cells}) == n)

    return {"q": {"r": n, "c": n}}, fill, rule, None, None


def logic_and_weights():
    def fill(m, f, ix):
        x, y, i, j = f["x"], f["y"], ix["i"], ix["j"]
        m.add_constraint(Implication(x[i], x[i + 1]), i=range(2))
        m.add_constraint(2 * x[0] + 3 * x[1] + x[2] + 4 * x[3] <= 5)
        m.add_constraint(Xor(y[i, j], j=range(2)), i=range(2))
        m.add_constraint(x[3] | ~y[i, 0], i=range(2))

    def rule(v):
        x = [v[f"x[{k}]"] for k in range(4)]
        y = [[v[f"y[{r},{c}]"] for c in range(2)] for r in range(2)]
        return (all(not x[k] or x[k + 1] for k in range(2))
                and 2 * x[0] + 3 * x[1] + x[2] + 4 * x[3] <= 5
                and all(y[r][0] != y[r][1] for r in range(2))
                and all(x[3] or not y[r][0] for r in range(2)))

    return {"x": {"n": 4}, "y": {"r": 2, "c": 2}}, fill, rule, None, None


def weighted():
    def fill(m, f, ix):
        x, i, j = f["x"], ix["i"], ix["j"]
        m.add_constraint(Sum(x[i, j], j=range(3)) == 1, i=range(2))
        m.add_soft_constraint(x[i, i], 2, False, i=range(2))          # wishes
        m.add_soft_constraint(3 * x[0, 2] + x[1, 0], 1, True)          # costs

    def rule(v):
        return all(sum(v[f"x[{r},{c}]"] for c in range(3)) == 1 for r in range(2))

    def cost(v):
        return (2 * (1 - v["x[0,0]"]) + 2 * (1 - v["x[1,1]"]) + 3 * v["x[0,2]"] + v["x[1,0]"])

    return {"x": {"r": 2, "c": 3}}, fill, rule, cost, None


def target_with_border():
    def fill(m, f, ix):
        x, i = f["x"], ix["i"]
        m.add_constraint(Sum(x[i], i=range(5)) <= 3)
        m.add_target(SumIt([3 * x[0], 2 * x[1], x[2], 4 * x[3], x[4]]))

    def rule(v):
        x = [v[f"x[{k}]"] for k in range(5)]
        return sum(x) <= 3 and 3 * x[0] + 2 * x[1] + x[2] + 4 * x[3] + x[4] >= 8

    return {"x": {"n": 5}}, fill, rule, None, (8, False)


MODELS = {"queens5": queens(5), "logic_and_weights": logic_and_weights(),
          "weighted": weighted(), "target_with_border": target_with_border()}


def build(case):
    dims, fill, _rule, cost, target = MODELS[case]
    model = Model(se.manager(), case)
    fams = {name: model.create_variables(name, **d) for name, d in dims.items()}
    fill(model, fams, dict(zip("ij", model.get_indexes(["i", "j"]))))
    if cost is not None:
        assert model.build_wcnf() is True
    else:
        assert (model.build_cnf(*target) if target else model.build_cnf()) is True
    keys = [key for fam in fams.values() for key in fam.map]
    return model, keys


def meaning(model, keys):
    """The element assignments that satisfy the hard clauses (enumerated with blocking clauses)
    and, where there are soft clauses, the weight of those each assignment leaves unmet."""
    storage, numbers = model.get_cnf_storage(), model.get_var_mapping().get_var_map()
    soft = storage.soft_clauses()
    solutions = {}
    with Solver(name="cadical153", bootstrap_with=storage.hard_clauses()) as solver:
        while solver.solve():
            true = {lit for lit in solver.get_model() if lit > 0}
            values = {k: int(numbers[k] in true) for k in keys}
            lits = {numbers[k] if values[k] else -numbers[k] for k in keys}
            # Soft clauses hold literals of elements only: the cost follows from the values.
            solutions[tuple(values[k] for k in keys)] = sum(
                w for clause, w in soft if not any(lit in lits for lit in clause))
            solver.add_clause([-lit for lit in lits])
    return solutions


@pytest.mark.parametrize("case", MODELS)
def test_models_mean_the_same_without_the_faster_calls(case, engine):
    _dims, _fill, rule, cost, _target = MODELS[case]
    model, keys = build(case)
    found = meaning(model, keys)
    # The rule decides every assignment of the elements (few enough to try them all, but for
    # the queens, whose solutions are counted instead).
    if case == "queens5":
        assert len(found) == 10 and all(rule(dict(zip(keys, s))) for s in found)
    else:
        expected = {bits for bits in itertools.product([0, 1], repeat=len(keys))
                    if rule(dict(zip(keys, bits)))}
        assert set(found) == expected
    if cost is not None:
        assert all(found[s] == cost(dict(zip(keys, s))) for s in found)
    if engine is not None:
        assert sum(engine.counts.values()) > 0


def transport():
    """The README's transport LP, rows one by one and the target one product per route: its
    optimum and the amounts shipped."""
    supply, demand = [35, 50, 40], [45, 20, 30, 30]
    cost = [[8, 6, 10, 9], [9, 12, 13, 7], [14, 9, 16, 5]]
    model = LinearModel()
    ship = model.get_variables("ship", VariableType.REAL, lo=0, plant=3, market=4)
    for a in range(3):
        model.add_constraint(lp1.SumIt([ship[a, b] for b in range(4)]) <= supply[a])
    for b in range(4):
        model.add_constraint(ship[0, b] + ship[1, b] + 1.0 * ship[2, b] >= demand[b])
    model.add_target(lp1.SumIt([cost[a][b] * ship[a, b] for a in range(3) for b in range(4)]),
                     True)
    model.solve()
    return model.objective_value, model.get_result("ship")


def test_linear_models_mean_the_same_without_the_faster_calls(engine):
    objective, shipped = transport()
    assert objective == pytest.approx(1020)
    assert all(t <= s + 1e-9 for t, s in zip(shipped.sum(axis=1), [35, 50, 40]))
    assert all(t >= d - 1e-9 for t, d in zip(shipped.sum(axis=0), [45, 20, 30, 30]))
    if engine is not None:
        assert engine.counts["addRowList"] == 7 and engine.counts["changeColCostArrays"] == 1


@pytest.mark.parametrize("hidden", OPTIONAL_CALLS, ids=[name for _, name in OPTIONAL_CALLS])
def test_each_faster_call_hidden_alone(hidden, monkeypatch):
    """Each fallback on its own, beside every other faster call: the roads are independent, so
    one missing call changes the meaning of nothing."""
    owner, name = hidden
    monkeypatch.delattr(defining_owner(owner, name), name)
    for case in ("logic_and_weights", "weighted", "target_with_border"):
        _dims, _fill, rule, cost, _target = MODELS[case]
        model, keys = build(case)
        found = meaning(model, keys)
        expected = {bits for bits in itertools.product([0, 1], repeat=len(keys))
                    if rule(dict(zip(keys, bits)))}
        assert set(found) == expected, case
        if cost is not None:
            assert all(found[s] == cost(dict(zip(keys, s))) for s in found), case
    objective, shipped = transport()
    assert objective == pytest.approx(1020)
    assert shipped.sum() == pytest.approx(125)


def test_every_faster_call_is_used_where_offered(monkeypatch):
    """With the calls offered, the models above take every one of them, so that hiding them
    changes the road; the arrays the bulk insertions receive are read-only 1-D int64 views."""
    offered = Offered(monkeypatch)
    for case in MODELS:
        build(case)
    transport()
    assert [name for name, n in offered.counts.items() if n == 0] == []
    assert offered.arrays_seen and set(offered.arrays_seen) == {("int64", 1, False)}


def test_contract_lists_the_optional_calls():
    """engine/CONTRACT.md's table of faster calls names exactly the calls hidden here."""
    text = CONTRACT.read_text()
    table = text.split("## Faster calls", 1)[1].split("\n## ", 1)[0]
    listed = re.findall(r"^\| `(?:bx\.)?(\w+)\(", table, flags=re.M)
    assert sorted(listed) == sorted(name for _, name in OPTIONAL_CALLS)


@pytest.mark.parametrize("case", MODELS)
def test_the_variable_mapping_is_the_containers_map(case, engine):
    model, _keys = build(case)
    expected = model._formula_container.mapping
    mapping = model.get_var_mapping()
    assert list(mapping.get_var_map().items()) == list(expected.items())
    assert all(mapping.get_name(n) == next(k for k, v in expected.items() if v == n)
               for n in set(expected.values()))
    # The build's interpreter decodes a witness into every non-auxiliary element numbered >= 1.
    rng = random.Random(7)
    top = max(expected.values())
    witness = [v if rng.random() < 0.5 else -v for v in range(1, top + 1)]
    true = {v for v in witness if v > 0}
    decoded = model._sorn_manager.get_witness_interpreter().interpret(witness)
    assert decoded == {k: v in true for k, v in expected.items()
                       if v >= 1 and not k.startswith(("_bxpr_aux", "_pbct_aux"))}
    if engine is not None:
        assert engine.counts["set_var_families"] > 0
