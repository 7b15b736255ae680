"""The dumper: comprehension texts, instance and block numbering, the auxiliary map, writing."""

import builtins
import dataclasses
import inspect
import typing

import pytest

import nubrix.sorn_engine as se
from zk_encoder._exceptions import FormulaError
from zk_encoder.core.dumper import DumpArgs, Dumper, One2OneDumper, reduce_ex
from zk_encoder.encode.variables import Variable


class Recorder:
    """A clause storage that keeps the calls it receives, in order."""

    def __init__(self):
        self.calls = []

    def add_hard_clause(self, lits):
        self.calls.append(("hard", lits))

    def add_soft_clause(self, lits, weight):
        self.calls.append(("soft", lits, weight))


def record(template, foralls=None, *, weights=None, f=0, init=10, pb=0, bx=0, families=None,
           stor="new"):
    return DumpArgs(
        template_constraint=template, weights=weights, foralls=foralls or {}, num_formula=f,
        init_shift_variable=init, shift_pb_variable=pb, shift_bx_variable=bx,
        offset_shift_for_formula=0,
        eval_state={fam.name: fam.copy() for fam in (families or [])},
        cnf_stor=Recorder() if stor == "new" else stor)


class EvaluatedFamily(Variable):
    """A family that is not the modelling-side Variable itself: its records are evaluated."""


@pytest.fixture
def x():
    return Variable("x", {"i": 3, "j": 3}, 1)


@pytest.fixture
def ex():
    return EvaluatedFamily("x", {"i": 3, "j": 3}, 1)


@pytest.fixture
def texts(monkeypatch):
    """The comprehension texts that the dumper hands to eval, in order."""
    seen = []
    real = builtins.eval

    def spy(text, *args):
        seen.append(text)
        return real(text, *args)

    monkeypatch.setattr(builtins, "eval", spy)
    return seen


# --- the record type and the classes -------------------------------------------------------

def test_dump_args_is_a_plain_dataclass():
    assert dataclasses.is_dataclass(DumpArgs) and DumpArgs.__bases__ == (object,)
    names = [f.name for f in dataclasses.fields(DumpArgs)]
    assert names == ["template_constraint", "weights", "foralls", "num_formula",
                     "init_shift_variable", "shift_pb_variable", "shift_bx_variable",
                     "offset_shift_for_formula", "eval_state", "cnf_stor"]
    ann = DumpArgs.__annotations__
    assert ann["template_constraint"] == typing.Sequence[typing.Sequence[str]]
    assert ann["weights"] == typing.Optional[typing.Sequence[int]]
    assert ann["eval_state"] == typing.Dict[str, typing.Any]
    assert ann["cnf_stor"] is se.wcnf_storage
    assert all(f.default is dataclasses.MISSING for f in dataclasses.fields(DumpArgs))
    a = DumpArgs(*range(10))
    assert a == DumpArgs(*range(10)) and a != DumpArgs(*range(1, 11))
    assert repr(a).startswith("DumpArgs(template_constraint=0, weights=1,")
    assert DumpArgs.__hash__ is None
    with pytest.raises(TypeError):
        a < a
    a.num_formula = 5
    assert a.num_formula == 5
    with pytest.raises(TypeError):
        DumpArgs(*range(9))


def test_dumper_is_abstract_and_names_the_auxiliary_prefixes():
    assert inspect.isabstract(Dumper) and not inspect.isabstract(One2OneDumper)
    with pytest.raises(TypeError):
        Dumper()
    assert Dumper._Dumper__BXPR_AUX == "_bxpr_aux" and Dumper._Dumper__PBCT_AUX == "_pbct_aux"
    assert Dumper.__annotations__ == {"_Dumper__BXPR_AUX": str, "_Dumper__PBCT_AUX": str}
    assert Dumper.dump([]) is None
    assert One2OneDumper.__bases__ == (Dumper,)


def test_reduce_ex_merges_later_wins_first_position_kept():
    a, b = {"a": 1}, {"c": 0, "a": 2, "b": 3}
    merged = reduce_ex([a, b])
    assert merged == {"a": 2, "c": 0, "b": 3} and list(merged) == ["a", "c", "b"]
    assert a == {"a": 1} and b == {"c": 0, "a": 2, "b": 3}
    empty = reduce_ex([])
    assert empty == {} and reduce_ex([]) is not empty
    assert reduce_ex(iter([a])) == a and reduce_ex([a]) is not a


# --- comprehension texts -------------------------------------------------------------------

def test_comprehension_text_with_two_for_clauses(texts, ex):
    a = record([["x(i,1)", "-x(i + 1,2)", "'_pbct_aux_0'"], ["'~_bxpr_aux_0'"]],
               {"i": range(2), "j": [1, 3]}, pb=1, bx=1, families=[ex])
    One2OneDumper.dump([a])
    assert texts == ["[[[x(i,1),-x(i + 1,2),'_pbct_aux_0'],['~_bxpr_aux_0']] "
                     "for i in range(0, 2) for j in [1, 3]]"]
    assert len(a.cnf_stor.calls) == 2 * 2 * 2


def test_comprehension_text_without_for_all_has_one_instance(texts, ex):
    a = record([["x(0,1)", "'_bxpr_aux_0'"]], init=10, bx=1, families=[ex])
    assert One2OneDumper.dump([a]) == {"_bxpr_aux[0,0,0]": 10}
    assert texts == ["[[[x(0,1),'_bxpr_aux_0']] ]"]
    assert a.cnf_stor.calls == [("hard", [2, 10])]


@pytest.mark.parametrize("template,foralls", [
    ([["x(i,1)", "-x(i + 1,2)", "'_pbct_aux_0'"], ["'~_bxpr_aux_0'"]],
     {"i": range(2), "j": [1, 3]}),
    ([["x(0,1)", "'_bxpr_aux_0'"]], {}),
    ([["-x(2 * (i + 1) - j,j + -1)", "7", "i + 5"]], {"i": [0], "j": (1, 2)}),
], ids=["two_for_alls", "no_for_all", "index_arithmetic"])
def test_texts_the_library_writes_are_instantiated_without_evaluation(texts, x, template,
                                                                      foralls):
    a = record(template, foralls, pb=1, bx=1, families=[x])
    One2OneDumper.dump([a])
    assert texts == [] and a.cnf_stor.calls
    assert a.eval_state["__builtins__"] is builtins.__dict__


def test_record_without_storage_evaluates_nothing(texts):
    a = record([["undefined_name"]], stor=None)
    assert Dumper._dump_cnf(a) == {} and One2OneDumper.dump([a]) == {}
    assert texts == []


def test_evaluation_sees_only_its_namespace_and_builtins(x):
    a = record([["x(i,0)"]], {"i": range(2)}, families=[x])
    One2OneDumper.dump([a])
    assert "__builtins__" in a.eval_state
    with pytest.raises(NameError):
        One2OneDumper.dump([record([["y(i)"]], {"i": range(2)}, families=[x])])
    with pytest.raises(TypeError):  # the keyword hides the family
        One2OneDumper.dump([record([["x(x,0)"]], {"x": range(2)}, families=[x])])


# --- numbering -----------------------------------------------------------------------------

def test_instances_run_last_keyword_fastest(x):
    fam = Variable("x", {"i": 2, "j": 3}, 1)
    a = record([["x(i,j)", "'_bxpr_aux_0'"]], {"i": range(2), "j": range(3)}, f=4, init=100,
               bx=1, families=[fam])
    mapping = One2OneDumper.dump([a])
    for o, (vi, vj) in enumerate((vi, vj) for vi in range(2) for vj in range(3)):
        assert a.cnf_stor.calls[o] == ("hard", [fam(vi, vj), 100 + o])
    assert mapping == {f"_bxpr_aux[4,{o},0]": 100 + o for o in range(6)}


def test_blocks_place_pb_then_tseytin_auxiliaries():
    a = record([["'~_pbct_aux_3'", "'_bxpr_aux_1'"]], {"i": range(2)}, f=7, init=10, pb=4, bx=2)
    mapping = One2OneDumper.dump([a])
    assert a.cnf_stor.calls == [("hard", [-13, 15]), ("hard", [-19, 21])]
    assert mapping == {"_pbct_aux[7,0,3]": 13, "_bxpr_aux[7,0,1]": 15,
                       "_pbct_aux[7,1,3]": 19, "_bxpr_aux[7,1,1]": 21}


def test_repeated_auxiliary_records_one_key_per_instance():
    a = record([["'_bxpr_aux_0'"], ["'~_bxpr_aux_0'", "'_pbct_aux_0'"]], init=5, pb=1, bx=1)
    assert One2OneDumper.dump([a]) == {"_bxpr_aux[0,0,0]": 6, "_pbct_aux[0,0,0]": 5}
    assert a.cnf_stor.calls == [("hard", [6]), ("hard", [5, -6])]


@pytest.mark.parametrize("lits,written", [(["7", "-3", "3", "5"], [-3, 3, 5, 7]),
                                          (["3", "-3"], [3, -3]), (["-3", "3"], [-3, 3])],
                         ids=["mixed", "pos_first", "neg_first"])
def test_literals_sorted_stably_by_absolute_value(lits, written):
    a = record([lits])
    One2OneDumper.dump([a])
    assert a.cnf_stor.calls == [("hard", written)]


def test_empty_for_all_value_and_empty_template_write_nothing(x):
    a = record([["x(i,0)", "'_bxpr_aux_0'"]], {"i": range(0)}, bx=1, families=[x])
    b = record([], {"i": range(3)})
    assert One2OneDumper.dump([a, b]) == {}
    assert a.cnf_stor.calls == [] and b.cnf_stor.calls == []


def test_clause_without_literals_is_written_empty():
    a = record([[]], {"i": range(2)})
    s = record([[], []], weights=[4, 0])
    One2OneDumper.dump([a, s])
    assert a.cnf_stor.calls == [("hard", []), ("hard", [])]
    assert s.cnf_stor.calls == [("soft", [], 4)]


def test_soft_records_write_every_instance_with_its_weight(x):
    w = 2 ** 40
    a = record([["x(i,0)"], ["-x(i,1)"], ["x(i,2)"]], {"i": range(2)}, weights=[3, 0, w],
               families=[x])
    One2OneDumper.dump([a])
    assert a.cnf_stor.calls == [("soft", [x(0, 0)], 3), ("soft", [x(0, 2)], w),
                                ("soft", [x(1, 0)], 3), ("soft", [x(1, 2)], w)]
    assert a.cnf_stor.calls[1][2] is w


@pytest.mark.parametrize("weights,error", [([1], IndexError), ([1, -2], FormulaError),
                                           ([1, 2.5], FormulaError)],
                         ids=["too_few", "negative", "float"])
def test_bad_weights_fail_before_writing(weights, error):
    a = record([["1"], ["2"]], weights=weights)
    with pytest.raises(error):
        One2OneDumper.dump([a])
    assert a.cnf_stor.calls == []


def test_later_record_wins_on_an_equal_key():
    a = record([["'_bxpr_aux_0'"]], init=10, bx=1)
    b = record([["'_bxpr_aux_0'"]], init=20, bx=1)
    assert One2OneDumper.dump([a, b]) == {"_bxpr_aux[0,0,0]": 20}


# --- refused literals: nothing reaches any storage ------------------------------------------

BAD_LITERALS = [
    ("no_prefix", "'_aux_0'", 0, 0, "Index is not pbct or bxpr: _aux_0"),
    ("no_prefix_negated", "'~foo_1'", 0, 0, "Index is not pbct or bxpr: ~foo_1"),
    ("bxpr_at_block_end", "'_bxpr_aux_2'", 1, 2, "Indefinite bxpr index: _bxpr_aux_2"),
    ("bxpr_past_block", "'~_bxpr_aux_5'", 1, 2, "Indefinite bxpr index: ~_bxpr_aux_5"),
    ("pbct_at_block_end", "'_pbct_aux_1'", 1, 2, "Indefinite pbct index: _pbct_aux_1"),
    ("bxpr_without_block", "'_bxpr_aux_0'", 0, 0, "Indefinite bxpr index: _bxpr_aux_0"),
    ("negative_index", "'_bxpr_aux_-1'", 0, 2, "Indefinite bxpr index: _bxpr_aux_-1"),
    ("zero_literal", "0", 0, 0, "Clause literal out of range: 0"),
    ("float_literal", "1.5", 0, 0, "Clause literal is neither a variable number nor an "
                                   "auxiliary name: 1.5"),
]


@pytest.mark.parametrize("lit,pb,bx,msg", [c[1:] for c in BAD_LITERALS],
                         ids=[c[0] for c in BAD_LITERALS])
def test_bad_literal_raises_and_leaves_every_storage_empty(log_sink, lit, pb, bx, msg):
    good = record([["1", "'_bxpr_aux_0'"]], {"i": range(3)}, bx=1)
    bad = record([["2"], ["3", lit]], {"i": range(2)}, pb=pb, bx=bx)
    with pytest.raises(FormulaError) as info:
        One2OneDumper.dump([good, bad])
    assert str(info.value).startswith(msg)
    assert log_sink.at("error") == [str(info.value)]
    assert good.cnf_stor.calls == [] and bad.cnf_stor.calls == []


def test_bad_literal_in_a_single_record_writes_nothing(x):
    # Instance 0 is fine; instance 1 reaches past its block.
    a = record([["x(i,0)", "'_bxpr_aux_0'"]], {"i": range(2)}, bx=1, families=[x])
    a.template_constraint = [["x(i,0)", "'_bxpr_aux_' + str(i)"]]
    with pytest.raises(FormulaError):
        Dumper._dump_cnf(a)
    assert a.cnf_stor.calls == []


def test_auxiliary_index_that_is_not_decimal_raises_value_error():
    a = record([["'_bxpr_aux_x'"]], bx=1)
    with pytest.raises(ValueError):
        One2OneDumper.dump([a])
    assert a.cnf_stor.calls == []


# --- the class hooks -----------------------------------------------------------------------

def test_dump_reaches_dump_cnf_through_the_class_it_was_called_on():
    seen = []

    class Counting(One2OneDumper):
        @staticmethod
        def _dump_cnf(a):
            seen.append(a.num_formula)
            return {f"k{a.num_formula}": a.num_formula}

    out = Counting.dump([record([["1"]], f=1), record([["1"]], f=2)])
    assert seen == [1, 2] and out == {"k1": 1, "k2": 2}


def test_dump_cnf_and_print_all_formula_fill_the_given_map():
    a = record([["'_bxpr_aux_0'", "4"]], {"i": range(2)}, init=30, bx=1)
    assert Dumper._dump_cnf(a) == {"_bxpr_aux[0,0,0]": 30, "_bxpr_aux[0,1,0]": 31}
    mapping, stor = {"keep": 1}, Recorder()
    assert Dumper._Dumper__print_all_formula([[["_pbct_aux_1", 9]]], [5], 3, 40, 2, 0, 0,
                                             mapping, stor) is None
    assert mapping == {"keep": 1, "_pbct_aux[3,0,1]": 41}
    assert stor.calls == [("soft", [9, 41], 5)]


def test_records_go_to_their_own_storages_with_the_real_storage_type(x):
    a = record([["x(i,0)"]], {"i": range(3)}, families=[x], stor=se.wcnf_storage())
    b = record([["-x(0,i)"]], {"i": range(2)}, weights=[2], families=[x], stor=se.wcnf_storage())
    One2OneDumper.dump([a, b])
    assert a.cnf_stor.hard_clauses() == [[x(0, 0)], [x(1, 0)], [x(2, 0)]]
    assert a.cnf_stor.soft_clauses() == []
    assert b.cnf_stor.soft_clauses() == [([-x(0, 0)], 2), ([-x(0, 1)], 2)]
    assert b.cnf_stor.hard_clauses() == []


# --- the compiled and the evaluated path agree ----------------------------------------------

class BulkRecorder(Recorder):
    """A clause storage that also takes whole blocks, as the engine's does."""

    def add_hard_clauses(self, offsets, literals):
        for b, e in zip(offsets[:-1], offsets[1:]):
            self.calls.append(("hard", [int(v) for v in literals[b:e]]))

    def add_soft_clauses(self, offsets, literals, weights):
        for b, e, w in zip(offsets[:-1], offsets[1:], weights):
            self.calls.append(("soft", [int(v) for v in literals[b:e]], int(w)))


def random_index_text(rng, names):
    """An index text as the index arithmetic writes it: symbols, integers, + - and k *."""
    from zk_encoder.encode.variables import Index

    def operand(depth):
        roll = rng.random()
        if not names or roll < 0.3:
            return rng.randint(-1, 3) if rng.random() < 0.1 else rng.randint(0, 3)
        sym = Index(rng.choice(names))
        if depth == 0 or roll < 0.5:
            return sym
        inner = operand(depth - 1)
        op = rng.choice(["+", "+", "-", "*", "+sym"])
        if op == "+":
            return sym + inner
        if op == "-":
            return sym - inner
        if op == "*":
            return rng.choice([-1, 1, 2, 3]) * (sym if isinstance(inner, int) else inner)
        return sym + Index(rng.choice(names))

    value = operand(2)
    return str(value)


def random_record(rng, families, family_cls):
    names = rng.sample(["i", "j", "k"], rng.randint(0, 3))
    foralls = {}
    for n in names:
        kind = rng.random()
        if kind < 0.1:
            foralls[n] = range(0)
        elif kind < 0.6:
            foralls[n] = range(rng.randint(0, 2), rng.randint(2, 5))
        elif kind < 0.65:
            foralls[n] = (True, False, 2)
        else:
            foralls[n] = [rng.randint(0, 4) for _ in range(rng.randint(1, 3))]
    pb, bx = rng.randint(0, 2), rng.randint(0, 2)
    template = []
    for _ in range(rng.randint(0, 4)):
        clause = []
        for _ in range(rng.randint(0, 4)):
            roll = rng.random()
            if roll < 0.65:
                fam = rng.choice(families)
                items = ",".join(random_index_text(rng, names) for _ in fam.shifts)
                clause.append(("-" if rng.random() < 0.4 else "") + f"{fam.name}({items})")
            elif roll < 0.9 and (pb or bx or rng.random() < 0.05):
                kind = rng.choice([k for k, n in (("_pbct_aux", pb), ("_bxpr_aux", bx)) if n]
                                  or ["_bxpr_aux"])
                cap = pb if kind == "_pbct_aux" else bx
                k = rng.randint(0, cap - 1) if cap and rng.random() < 0.97 else cap
                clause.append(f"'{'~' if rng.random() < 0.4 else ''}{kind}_{k}'")
            else:
                clause.append(str(rng.randint(1, 60)))
        template.append(clause)
    weights = None
    if rng.random() < 0.3:
        weights = [rng.choice([0, 1, 3]) for _ in template]
    return dict(template=template, foralls=foralls, weights=weights,
                f=rng.randint(0, 3), init=rng.randint(50, 80), pb=pb, bx=bx,
                families=[family_cls(fam.name, dict(fam.indexes), fam.st_shift)
                          for fam in families])


def outcome(records, sink):
    sink.calls.clear()
    try:
        result = ("map", list(One2OneDumper.dump(records).items()))
    except Exception as exc:  # the error itself is what is compared
        result = ("error", type(exc), str(exc))
    return result, [(str(r.cnf_stor.calls) if isinstance(r.cnf_stor, Recorder) else
                     (r.cnf_stor.hard_clauses(), r.cnf_stor.soft_clauses()))
                    for r in records], list(sink.calls), \
        [sorted(r.eval_state) for r in records]


@pytest.mark.parametrize("seed", range(40))
def test_compiled_and_evaluated_paths_give_the_same_result(seed, log_sink, texts):
    import random

    rng = random.Random(seed)
    print("seed", seed)
    families = [Variable("x", {"a": 16, "b": 12}, 1), Variable("y", {"a": 24}, 193),
                Variable("z", {}, 217)]
    for _ in range(6):
        state = rng.getstate()
        stores = [rng.choice(["recorder", "bulk", "engine"]) for _ in range(3)]

        def build(family_cls):
            rng.setstate(state)
            made = []
            for kind in stores:
                stor = {"recorder": Recorder, "bulk": BulkRecorder,
                        "engine": se.wcnf_storage}[kind]()
                spec = random_record(rng, families, family_cls)
                made.append(record(spec.pop("template"), spec.pop("foralls"), stor=stor,
                                   **spec))
            return made

        texts.clear()
        native = outcome(build(Variable), log_sink)
        native_evaluations = len(texts)
        evaluated = outcome(build(EvaluatedFamily), log_sink)
        assert native == evaluated
        # Every text here is one the library writes: the evaluation runs only to report an
        # error, never for a record that is written.
        if native[0][0] == "map":
            assert native_evaluations == 0


def test_records_changed_after_compiling_are_compiled_again(x):
    from zk_encoder.core import dumper

    a = record([["x(i,0)"]], {"i": range(2)}, families=[x])
    assert dumper._compile_template(a)
    assert list(vars(a)) == [f.name for f in dataclasses.fields(DumpArgs)]
    a.template_constraint = [["-x(0,i)"]]
    One2OneDumper.dump([a])
    assert a.cnf_stor.calls == [("hard", [-x(0, 0)]), ("hard", [-x(0, 1)])]
    b = record([["x(i,0)"]], {"i": range(2)}, families=[x])
    assert dumper._compile_template(b)
    b.eval_state["x"] = Variable("x", {"i": 3, "j": 3}, 100)
    One2OneDumper.dump([b])
    assert b.cnf_stor.calls == [("hard", [100]), ("hard", [103])]


@pytest.mark.parametrize("template,foralls,families", [
    ([["x(i * j,0)"]], {"i": [1], "j": [1]}, "x"),            # a product of two symbols
    ([["x(i ** 2,0)"]], {"i": [1]}, "x"),                       # a power
    ([["x(i,0)"]], {"i": (v for v in range(2))}, "x"),          # a generator
    ([["x(x,0)"]], {"x": range(2)}, "x"),                        # a keyword hides the family
    ([["x(n,0)"]], {"i": range(2)}, "x"),                        # not a for-all keyword
    ([["x(01,0)"]], {}, "x"),                                    # not a plain integer
    ([["x(i,0)"]], {"i": range(2)}, "evaluated"),                # not the modelling-side family
], ids=["product", "power", "generator", "hidden_family", "unknown_name", "leading_zero",
        "other_family"])
def test_other_texts_take_the_evaluation(texts, x, ex, template, foralls, families):
    a = record(template, foralls, families=[x if families == "x" else ex])
    try:
        One2OneDumper.dump([a])
    except Exception:
        pass
    assert len(texts) == 1
