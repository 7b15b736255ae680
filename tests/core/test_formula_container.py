"""The formula container: templates, blocks, queues, targets, builds and their stamps."""

import itertools

import pytest
from pysat.solvers import Minisat22

import nubrix.sorn_engine as se
import nubrix.sorn_engine.bxpr as bx
from zk_encoder._exceptions import BuildError, FormulaError
from zk_encoder.core.dumper import DumpArgs
from zk_encoder.core.formula_container import FormulaContainer
from zk_encoder.encode.variables import Variable

bx2list = FormulaContainer._FormulaContainer__bx2list_clauses


class RecStore:
    """A clause storage that keeps, in order, each clause it holds with a tag of its origin."""

    def __init__(self):
        self.clauses = []
        self.stamps = {}

    def add_hard_clause(self, lits):
        self.clauses.append(("hard", lits))

    def add_soft_clause(self, lits, weight):
        self.clauses.append(("soft", lits, weight))

    def merge(self, other):
        self.clauses.extend(other.clauses)

    def __getattr__(self, name):
        if name.startswith("set_"):
            return lambda value: self.stamps.__setitem__(name[4:], value)
        raise AttributeError(name)


@pytest.fixture
def rec_store(monkeypatch):
    monkeypatch.setattr(se, "wcnf_storage", RecStore)


@pytest.fixture
def families():
    # As the model keeps them: the placeholder first, then the user families, numbered on.
    return {"dummy_var": Variable("dummy_var", {"d": 1}, 0),
            "x": Variable("x", {"i": 4}, 1),
            "y": Variable("y", {"i": 3, "j": 2}, 5)}


@pytest.fixture
def fc(families):
    return FormulaContainer(families, 11)


@pytest.fixture
def ctx():
    return bx.Context()


def lits(ctx, *names):
    return [~ctx.get_var(n[1:]) if n.startswith("~") else ctx.get_var(n) for n in names]


def units(ctx, *names):
    """A conjunction of unit clauses, as the soft path and simple hard formulas give."""
    return bx.and_(lits(ctx, *names))


# --- clause templates ----------------------------------------------------------------------

def test_template_of_a_conjunction_of_clauses(ctx):
    a, t = ctx.get_var("x(i,1)"), ctx.get_var("_bxpr_aux_0")
    assert bx2list(bx.and_([bx.or_s([a, ~t]), t])) == [["x(i,1)", "'~_bxpr_aux_0'"],
                                                       ["'_bxpr_aux_0'"]]


@pytest.mark.parametrize("build,template", [
    (lambda c: bx.or_s(lits(c, "x(i)", "~x(i + 1,2)", "_pbct_aux_3")),
     [["x(i)", "-x(i + 1,2)", "'_pbct_aux_3'"]]),
    (lambda c: lits(c, "~x(i + 1,2)")[0], [["-x(i + 1,2)"]]),
    (lambda c: lits(c, "~_bxpr_aux_0")[0], [["'~_bxpr_aux_0'"]]),
    (lambda c: units(c, "x(0)", "~y(1,0)"), [["x(0)"], ["-y(1,0)"]]),
], ids=["one_disjunction", "negated_variable", "negated_auxiliary", "units"])
def test_templates_of_other_forms(ctx, build, template):
    assert bx2list(build(ctx)) == template


# --- blocks and counts ---------------------------------------------------------------------

def test_counts_of_a_formula_over_two_for_alls(fc, ctx):
    tmpl = units(ctx, "x(i)", "x(i)", "x(i)", "x(i)", "x(i)")
    fc.add_hard_constraint(tmpl, {"i": range(2), "j": range(3)}, 4, 3)
    assert (fc._cur_init_shift_variable, fc.num_clauses, fc._num_formula) == (11 + 42, 30, 1)
    (a,) = fc._list_hard_constraint_dump_args
    assert isinstance(a, DumpArgs)
    assert (a.num_formula, a.init_shift_variable, a.shift_pb_variable, a.shift_bx_variable,
            a.offset_shift_for_formula, a.weights) == (0, 11, 4, 3, 0, None)
    assert list(a.eval_state) == ["dummy_var", "x", "y"]
    assert a.eval_state["x"] is not fc._target_variables["x"]
    fc.add_hard_constraint(units(ctx, "x(0)"), {}, 1, 1)
    assert (fc._cur_init_shift_variable, fc.num_clauses, fc._num_formula) == (55, 31, 2)
    assert fc._list_hard_constraint_dump_args[0].init_shift_variable == 53


def test_inner_add_returns_record_block_and_clause_count(fc, ctx):
    foralls = {"i": range(3)}
    a, block, count = fc._FormulaContainer__inner_add_constraint(units(ctx, "x(i)"), None,
                                                                 foralls, 2, 1)
    assert (block, count) == (9, 3)
    assert a.foralls == foralls and a.foralls is not foralls
    assert fc._num_formula == 0 and fc._cur_init_shift_variable == 11


def test_zero_instances_wait_for_a_record_with_clauses(rec_store, fc, ctx):
    fc.add_hard_constraint(units(ctx, "x(i)"), {"i": range(0)}, 0, 0)
    fc.add_hard_constraint(units(ctx, "x(1)"), {}, 0, 0)
    assert len(fc._list_hard_constraint_dump_args) == 2 and fc.cnf_storage().clauses == []
    fc.add_hard_constraint(units(ctx, "x(2)"), {}, 0, 0)
    assert fc._list_hard_constraint_dump_args[0].foralls == {}
    assert fc.cnf_storage().clauses == [("hard", [2])]
    lone = FormulaContainer(fc._target_variables, 11)
    lone.add_hard_constraint(units(ctx, "x(i)"), {"i": []}, 0, 0)
    lone.build_cnf_formula("m")
    assert len(lone._list_hard_constraint_dump_args) == 1 and lone.cnf_storage().clauses == []


# --- queues and the order of clauses in the storage ----------------------------------------

def test_interleaved_write_outs_give_the_documented_order(rec_store, fc, ctx):
    for n in range(3):
        fc.add_hard_constraint(units(ctx, f"x({n})"), {}, 0, 0)
        if n == 0:
            assert fc.cnf_storage().clauses == []  # the first formula writes nothing out
    for n in range(2):
        fc.add_soft_formula(units(ctx, f"~y({n},0)"), [n + 1], {}, 0, 0)
    fc.build_wcnf_formula("model")
    assert fc.cnf_storage().clauses == [
        ("hard", [1]), ("hard", [2]), ("soft", [-5], 1), ("hard", [3]), ("soft", [-7], 2)]
    assert fc._list_hard_constraint_dump_args == [] and fc._list_soft_constraint_dump_args == []
    assert fc.cnf_storage() is fc.cnf_storage()


def test_cnf_build_leaves_the_soft_queue(rec_store, fc, ctx):
    fc.add_soft_formula(units(ctx, "x(0)"), [2], {}, 0, 0)
    fc.build_cnf_formula("m")
    assert len(fc._list_soft_constraint_dump_args) == 1 and fc.cnf_storage().clauses == []


def test_target_is_written_at_once_without_reserving_a_formula(rec_store, fc, ctx):
    fc.add_hard_constraint(units(ctx, "x(0)"), {}, 0, 0)
    fc.add_hard_constraint(units(ctx, "x(1)"), {}, 0, 0)
    before = fc._num_formula
    fc.add_target_constraint(bx.and_([bx.or_s(lits(ctx, "x(2)", "_bxpr_aux_0")),
                                       lits(ctx, "~_bxpr_aux_0")[0]]), {}, 0, 1)
    assert fc.cnf_storage().clauses == [("hard", [1]), ("hard", [3, 11]), ("hard", [-11])]
    assert fc._num_formula == before and fc.num_clauses == 2 and fc._target_num_clauses == 2
    assert fc.mapping["_bxpr_aux[2,0,0]"] == 11
    # Its auxiliaries are taken for good: later blocks start after them.
    assert fc._cur_init_shift_variable == 12
    fc.build_cnf_formula("m")
    assert fc.cnf_storage().clauses[-1] == ("hard", [2])
    assert fc.cnf_storage().stamps == {"model_name": "m", "variable_count": 11,
                                       "clause_count": 4}


def test_a_second_target_is_refused(rec_store, log_sink, fc, ctx):
    fc.add_target_constraint(units(ctx, "x(0)"), {}, 0, 0)
    fc.build_cnf_formula("m")
    fc.reset_target()
    held = list(fc.cnf_storage().clauses)
    for attempt in (lambda: fc.add_target_constraint(units(ctx, "x(1)"), {}, 0, 0),
                    lambda: fc.build_cnf_formula("m")):
        with pytest.raises(BuildError) as info:
            attempt()
        assert "second target is refused" in str(info.value)
    assert log_sink.at("error") == [str(info.value)] * 2
    assert fc.cnf_storage().clauses == held and fc._target_num_clauses == 1


def test_target_added_twice_before_a_build_is_refused(rec_store, fc, ctx):
    fc.add_target_constraint(units(ctx, "x(0)"), {}, 0, 0)
    with pytest.raises(BuildError):
        fc.add_target_constraint(units(ctx, "x(1)"), {}, 0, 0)
    assert fc.cnf_storage().clauses == [("hard", [1])]


def test_repeated_builds_without_a_target_stamp_again(fc, ctx):
    fc.add_hard_constraint(units(ctx, "x(0)", "y(2,1)"), {}, 0, 0)
    for _ in range(2):
        fc.build_cnf_formula("m")
        stor = fc.cnf_storage()
        assert stor.hard_clauses() == [[1], [10]]
        assert (stor.get_model_name(), stor.get_variable_count(), stor.get_clause_count()) == \
            ("m", 10, 2)


# --- weights -------------------------------------------------------------------------------

def test_hard_weight_counts_every_instance(fc, ctx):
    assert fc.hard_weight == 1
    fc.add_soft_formula(units(ctx, "x(0)", "x(1)"), [2, 5], {}, 0, 0)
    fc.add_soft_formula(units(ctx, "x(2)"), [4], {}, 0, 0)
    assert fc.hard_weight == 12
    fc.add_soft_formula(units(ctx, "x(i)"), [3], {"i": range(4)}, 0, 0)
    assert fc.hard_weight == 24
    fc.add_soft_formula(units(ctx, "x(i)"), [9], {"i": range(0)}, 0, 0)
    fc.build_wcnf_formula("w")
    stor = fc.cnf_storage()
    total = sum(w for _, w in stor.soft_clauses())
    assert total == 23 and stor.get_weight_limit() == 24 > total
    assert stor.get_clause_count() == fc.num_clauses == 7 == len(stor.soft_clauses())


def test_zero_weight_writes_and_counts_nothing(fc, ctx):
    fc.add_soft_formula(units(ctx, "x(i)", "~x(i)"), [0, 2], {"i": range(3)}, 0, 0)
    fc.build_wcnf_formula("w")
    stor = fc.cnf_storage()
    assert stor.soft_clauses() == [([-1], 2), ([-2], 2), ([-3], 2)] and stor.hard_clauses() == []
    assert fc.num_clauses == 3 and stor.get_clause_count() == 3 and fc.hard_weight == 7


def test_weights_that_cannot_be_summed_change_nothing(fc, ctx):
    with pytest.raises(TypeError):
        fc.add_soft_formula(units(ctx, "x(0)"), ["a"], {}, 0, 0)
    assert (fc.hard_weight, fc._num_formula, fc._list_soft_constraint_dump_args) == (1, 0, [])


class Unreadable(int):
    """A weight whose truth value cannot be told."""

    def __bool__(self):
        raise ValueError("no truth value")


class Contrary(int):
    """A weight whose truth value disagrees with its value."""

    def __bool__(self):
        return not int(self)


def queued(fc):
    return (fc.hard_weight, fc._num_formula, fc._num_clauses, fc._cur_init_shift_variable,
            list(fc._list_soft_constraint_dump_args), fc._cur_count_clauses_soft_constraints)


@pytest.mark.parametrize("foralls", [{}, {"i": range(2)}], ids=["plain", "for-all"])
def test_weight_without_truth_value_is_refused_with_nothing_queued(fc, ctx, foralls):
    before = queued(fc)
    with pytest.raises(ValueError, match="^no truth value$"):
        fc.add_soft_formula(units(ctx, "x(0)"), [Unreadable(2)], foralls, 0, 0)
    assert queued(fc) == before
    fc.add_soft_formula(units(ctx, "x(1)"), [3], {}, 0, 0)
    fc.build_wcnf_formula("w")
    assert fc.cnf_storage().soft_clauses() == [([2], 3)]


@pytest.mark.parametrize("foralls", [{}, {"i": range(3)}], ids=["plain", "for-all"])
def test_weight_subclass_is_counted_as_it_is_written(fc, ctx, foralls):
    # The count at queueing time and the clauses written agree, whichever way the record is
    # numbered: a clause is kept exactly when its weight is true.
    fc.add_soft_formula(units(ctx, "x(0)", "x(1)"), [Contrary(3), 2], foralls, 0, 0)
    fc.build_wcnf_formula("w")
    stor = fc.cnf_storage()
    instances = 3 if foralls else 1
    assert stor.soft_clauses() == [([2], 2)] * instances
    assert fc.num_clauses == stor.get_clause_count() == instances


@pytest.mark.parametrize("args, err", [
    (({"i": range(2 ** 62)}, 0, 4), OverflowError),
    (({}, 2 ** 62, 2 ** 62), OverflowError),
    (({}, 2 ** 64, 0), OverflowError),
    (({}, 1.5, 0), TypeError),
], ids=["instances-times-block", "block-sum", "shift-beyond-64-bits", "shift-not-integer"])
def test_counts_beyond_64_bits_are_refused_with_nothing_queued(fc, ctx, args, err):
    before = (fc._num_formula, fc._num_clauses, fc._cur_init_shift_variable,
              list(fc._list_hard_constraint_dump_args))
    with pytest.raises(err):
        fc.add_hard_constraint(bx.or_s(lits(ctx, "x(0)", "_bxpr_aux_0")), *args)
    assert (fc._num_formula, fc._num_clauses, fc._cur_init_shift_variable,
            list(fc._list_hard_constraint_dump_args)) == before


class NoMap:
    pass


@pytest.mark.parametrize("make_args, err", [
    (lambda fams: (fams, "11"), TypeError),
    (lambda fams: (fams, 1.5), TypeError),
    (lambda fams: (fams, 2 ** 70), OverflowError),
    (lambda fams: ([], 10_011), AttributeError),
    (lambda fams: ({"x": NoMap()}, 10_011), AttributeError),
], ids=["shift-str", "shift-float", "shift-too-large", "families-not-a-map", "family-no-map"])
def test_refused_construction_keeps_no_reference(families, make_args, err):
    import sys
    args = make_args(families)
    counts = [sys.getrefcount(a) for a in args]
    for _ in range(50):
        with pytest.raises(err):
            FormulaContainer(*args)
    assert [sys.getrefcount(a) for a in args] == counts


# --- the map and the stamps ----------------------------------------------------------------

def test_mapping_is_fresh_and_holds_families_then_auxiliaries(fc, families, ctx):
    m = fc.mapping
    assert list(m) == list(families["dummy_var"].map) + list(families["x"].map) + \
        list(families["y"].map)
    m["x[0]"] = 99
    assert fc.mapping["x[0]"] == 1 and fc.mapping is not fc.mapping
    fc.add_hard_constraint(bx.or_s(lits(ctx, "x(i)", "_bxpr_aux_0")), {"i": range(2)}, 1, 2)
    fc.build_cnf_formula("m")
    assert {k: v for k, v in fc.mapping.items() if "aux" in k} == {
        "_bxpr_aux[0,0,0]": 12, "_bxpr_aux[0,1,0]": 15}
    # Reserved numbers that no clause uses do not raise the variable count.
    assert fc._cur_init_shift_variable == 17 and fc.cnf_storage().get_variable_count() == 15


def test_families_added_later_are_seen_by_later_records_only(fc, families, ctx):
    families["z"] = Variable("z", {"i": 2}, 20)
    fc.add_hard_constraint(units(ctx, "z(1)"), {}, 0, 0)
    fc.build_cnf_formula("m")
    assert "z[0]" not in fc.mapping and fc.cnf_storage().hard_clauses() == [[21]]


def test_bad_template_fails_at_write_out_with_the_storage_untouched(fc, ctx):
    fc.add_hard_constraint(units(ctx, "x(0)"), {}, 0, 0)
    # Claims one Tseytin auxiliary per instance but uses two.
    fc.add_hard_constraint(bx.or_s(lits(ctx, "x(i)", "_bxpr_aux_0", "_bxpr_aux_1")),
                           {"i": range(2)}, 0, 1)
    with pytest.raises(FormulaError):
        fc.build_cnf_formula("m")
    assert len(fc.cnf_storage()) == 1 and len(fc._list_hard_constraint_dump_args) == 1
    assert fc._cur_count_clauses_hard_constraints == 2


def test_out_of_range_reference_fails_at_write_out(fc, ctx):
    fc.add_hard_constraint(bx.or_s(lits(ctx, "x(i)", "~x(i + 1)")), {"i": range(4)}, 0, 0)
    with pytest.raises(IndexError, match="'x'.*value 4"):
        fc.build_cnf_formula("m")
    assert len(fc.cnf_storage()) == 0


# --- by meaning: the stored clauses hold exactly when the instantiated constraint does -------

def test_instantiated_clauses_agree_with_the_constraint(fc, families, ctx):
    # For i in 0..2: (x(i) xor y(i,1)) implies x(i + 1), through the engine's Tseytin form.
    x, y = (ctx.get_var("x(i)"), ctx.get_var("y(i,1)")), ctx.get_var("x(i + 1)")
    formula = bx.impl_s(bx.xor_s([x[0], x[1]]), y).tseytin(ctx, "_bxpr_aux")
    n_aux = sum("_bxpr_aux" in str(v) for v in formula.support())
    fc.add_hard_constraint(formula, {"i": range(3)}, 0, n_aux)
    fc.add_hard_constraint(units(ctx, "~y(0,0)"), {}, 0, 0)
    fc.build_cnf_formula("m")
    stor = fc.cnf_storage()
    clauses = stor.hard_clauses()
    assert len(clauses) == fc.num_clauses == stor.get_clause_count()
    xs, ys = families["x"], families["y"]
    user = [xs(k) for k in range(4)] + [ys(k, 1) for k in range(3)]
    with Minisat22(bootstrap_with=clauses) as solver:
        for bits in itertools.product([False, True], repeat=len(user)):
            xv, yv = bits[:4], bits[4:]
            holds = all(not (xv[k] != yv[k]) or xv[k + 1] for k in range(3))
            assumptions = [v if b else -v for v, b in zip(user, bits)] + [-ys(0, 0)]
            assert solver.solve(assumptions=assumptions) == holds, bits
        assert not solver.solve(assumptions=[ys(0, 0)])
    aux_numbers = [v for k, v in fc.mapping.items() if k.startswith("_bxpr_aux")]
    assert len(aux_numbers) == 3 * n_aux and min(aux_numbers) >= 11


# --- the template from the engine's clause arrays, the merged map kept between reads --------

def operand_template(expr):
    """The template as the operands and their text forms give it, one engine object a literal."""
    def text(lit):
        t = str(lit)
        return t.replace("~", "-") if "(" in t else f"'{t}'"

    def clause(c):
        return [text(a) for a in c.get_args()] if isinstance(c, bx.Or) else [text(c)]

    return [clause(c) for c in expr.get_args()] if isinstance(expr, bx.And) else [clause(expr)]


@pytest.mark.parametrize("seed", range(20))
def test_template_from_clause_arrays_equals_the_operand_walk(ctx, seed):
    import random

    rng = random.Random(seed)
    names = ["x(i,0)", "x(i + 1,j)", "y(2 * i)", "_bxpr_aux_0", "_pbct_aux_3", "_pbct_aux_1"]
    clauses = []
    for _ in range(rng.randint(1, 6)):
        chosen = rng.sample(names, rng.randint(1, 4))
        ls = lits(ctx, *[("~" if rng.random() < 0.5 else "") + n for n in chosen])
        clauses.append(bx.or_s(ls) if len(ls) > 1 or rng.random() < 0.5 else ls[0])
    expr = bx.and_(clauses) if len(clauses) > 1 or rng.random() < 0.5 else clauses[0]
    assert bx2list(expr) == operand_template(expr)


def test_expressions_outside_clause_form_keep_the_operand_walk(ctx):
    nested = bx.and_([bx.and_(lits(ctx, "a", "b")), ctx.get_var("c")])
    assert bx2list(nested) == operand_template(nested)


def test_mapping_follows_changes_to_the_kept_maps(fc, families):
    first = fc.mapping
    assert first == {k: v for f in families.values() for k, v in f.map.items()}
    fc._mappings[1]["x[0]"] = 99  # a kept map changed behind the container's back
    assert fc.mapping["x[0]"] == 99
    fc._mappings.append({"extra": 7})
    assert fc.mapping["extra"] == 7 and "extra" not in first


@pytest.fixture
def imports(monkeypatch):
    """The package modules imported from now on, however the import is made."""
    import builtins
    seen = []
    real = builtins.__import__

    def spy(name, *args, **kwargs):
        seen.append(name)
        return real(name, *args, **kwargs)

    monkeypatch.setattr(builtins, "__import__", spy)
    return lambda: [n for n in seen if n.startswith("zk_encoder")]


def test_refusals_log_and_raise_without_importing(families, log_sink, ctx, imports):
    # The container's own refusal and the dumper's, raised while the record is written out: the
    # logging function and the exception classes are the package's, reached without an import.
    refused = FormulaContainer(families, 11)
    with pytest.raises(FormulaError) as formula_err:
        refused.add_target_constraint(units(ctx, "z"), {}, 0, 0)
    built = FormulaContainer(families, 11)
    built.add_target_constraint(units(ctx, "x(0)"), {}, 0, 0)
    built.build_cnf_formula("m")
    with pytest.raises(BuildError) as build_err:
        built.build_cnf_formula("m")
    assert log_sink.at("error") == [str(formula_err.value), str(build_err.value)]
    assert imports() == []


def test_names_the_module_lost_fail_as_in_module_code(families, monkeypatch):
    import zk_encoder.core.formula_container as mod
    monkeypatch.delattr(mod, "DumpArgs")
    with pytest.raises(NameError, match="^name 'DumpArgs' is not defined$"):
        FormulaContainer(families, 11).add_hard_constraint(bx.and_([]), {}, 0, 0)


# ---------------------------------------------------------------------------------------------
# Family maps made only when read: the stamps, `_mappings` and `mapping` as if every map had been
# taken at creation.

class Renamed(Variable):
    """A family of another type whose map is its own: its keys may name other families' elements."""

    def __init__(self, name, indexes, st_shift, entries=()):
        super().__init__(name, indexes, st_shift)
        self.entries = entries  # copies (one per queued record) are only numbered from

    @property
    def map(self):
        return dict(self.entries)


MAP_CASES = {
    "plain": lambda: {"dummy_var": Variable("dummy_var", {"d": 1}, 0),
                      "x": Variable("x", {"i": 4, "j": 3}, 1)},
    "later-map-replaces-the-last-element": lambda: {
        "x": Variable("x", {"i": 4}, 1),
        "o": Renamed("o", {"i": 1}, 0, {"x[3]": 2, "o[0]": 3})},
    "earlier-map-is-replaced": lambda: {
        "o": Renamed("o", {"i": 1}, 0, {"x[1]": 50}),
        "x": Variable("x", {"i": 4}, 1)},
    "same-name-twice": lambda: {"a": Variable("x", {"i": 9}, 1),
                                "b": Variable("x", {"i": 2}, 10)},
    "empty-family": lambda: {"x": Variable("x", {"i": 3}, 1), "e": Variable("e", {"i": 0}, 40)},
    "no-dimension": lambda: {"x": Variable("x", {"i": 3}, 1), "z": Variable("z", {}, 30)},
    "bracket-in-name": lambda: {
        "a": Variable("a[1", {"i": 2, "j": 2}, 20),
        "o": Renamed("o", {"i": 1}, 0, {"a[1[1,1]": 4, "a[1[01,1]": 5, "a[1[1,2]": 6})},
    "non-canonical-index-text": lambda: {
        "x": Variable("x", {"i": 12}, 1),
        "o": Renamed("o", {"i": 1}, 0, {"x[011]": 3, "x[+1]": 2, "x[1,]": 2, "x[]": 2})},
}


@pytest.mark.parametrize("aux", [0, 2], ids=["no-aux", "aux"])
@pytest.mark.parametrize("case", MAP_CASES.values(), ids=MAP_CASES.keys())
def test_variable_count_and_maps_as_if_taken_at_creation(rec_store, ctx, case, aux):
    fams = case()
    fams["t"] = Variable("t", {"i": 3}, 90)  # the one the clauses use
    snapshot = [f.map for f in fams.values()]
    fc = FormulaContainer(fams, 100)
    fc.add_hard_constraint(bx.or_s(lits(ctx, "t(i)", "~t(2)")), {"i": range(3)}, 0, aux)
    fc.build_cnf_formula("m")
    count = fc.cnf_storage().stamps["variable_count"]
    # Read only now: the maps are made from the families' shapes at this point.
    assert fc._mappings[:len(snapshot)] == snapshot
    merged = {}
    for m in fc._mappings:
        merged.update(m)
    assert list(fc.mapping.items()) == list(merged.items())
    assert count == max(merged.values())


# Shapes are given only where they stand for the map: the families of the library's type before
# every other map, distinct names, no other key naming one of their elements.
SHAPES_GIVEN = {"plain", "empty-family", "no-dimension"}


@pytest.mark.parametrize("t_first", [False, True], ids=["t-last", "t-first"])
@pytest.mark.parametrize("aux", [0, 2], ids=["no-aux", "aux"])
@pytest.mark.parametrize("case", MAP_CASES, ids=MAP_CASES.keys())
def test_shapes_stand_for_the_map_exactly_or_are_not_given(rec_store, ctx, case, aux, t_first):
    t = {"t": Variable("t", {"i": 3}, 90)}
    fams = {**t, **MAP_CASES[case]()} if t_first else {**MAP_CASES[case](), **t}
    fc = FormulaContainer(fams, 100)
    fc.add_hard_constraint(bx.or_s(lits(ctx, "t(i)", "~t(2)")), {"i": range(3)}, 0, aux)
    shapes = fc._mapping_shapes()
    given = SHAPES_GIVEN | ({"non-canonical-index-text"} if t_first else set())
    assert (shapes is not None) == (case in given)
    if shapes is None:
        return
    mapping = se.var_mapping()
    mapping.set_var_families(*shapes)
    assert list(mapping.get_var_map().items()) == list(fc.mapping.items())


def test_kept_maps_are_made_once_and_then_kept(fc, families):
    kept = fc._mappings
    assert kept is fc._mappings and kept[1] is fc._mappings[1]
    assert kept == [f.map for f in families.values()]


def test_a_large_family_costs_nothing_until_its_map_is_read(rec_store, ctx):
    import tracemalloc

    fams = {"dummy_var": Variable("dummy_var", {"d": 1}, 0),
            "x": Variable("x", {"i": 10**4, "j": 10**4}, 1)}
    tracemalloc.start()
    try:
        fc = FormulaContainer(fams, 1 + 10**8)
        fc.add_hard_constraint(bx.or_s(lits(ctx, "x(1,2)", "x(3,4)")), {}, 0, 1)
        fc.build_cnf_formula("big")
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < 2**20
    assert fc.cnf_storage().stamps["variable_count"] == 10**8  # x[9999,9999]
