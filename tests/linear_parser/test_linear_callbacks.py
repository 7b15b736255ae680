"""Program code wherever the first generation calls back into the host (a text's __format__, a
number's __index__ or __float__, an item's __eq__ or __del__, a collection): the rows the engine
receives are those the same program states without the callback's side effects, or the call
fails with the host's error; nothing crashes. Element references and their products written
when read must read, in every order of reads and writes, as the same objects made the ordinary
way."""

import gc
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import zk_encoder.linear_parser.linear_model as linear_model
from zk_encoder.linear_parser import Sum, SumIt
from zk_encoder.linear_parser.linear_expression import LinearExpression
from zk_encoder.linear_parser.linear_model import LinearModel, VariableType
from support.fakes import RecordingLinsolver, plain

SWITCH = "ZK_ENCODER_LP1_EVAL"


def rows_of(calls):
    """The rows among the calls, by either row call, as bounds, columns and float bits."""
    out = []
    for op, args in calls:
        if op in ("addRow", "addRowList"):
            lower, upper, _, indexes, values = args
            out.append((plain(lower), plain(upper), [int(c) for c in indexes],
                        [float(v).hex() for v in values]))
    return out


def rows_of_plain(calls):
    """The columns and value bits of the rows among calls as calls_of gives them."""
    return [(row[3], row[4]) for row in calls if row[0] == "row"]


def calls_of(calls):
    """Every call, rows by either row call alike, each argument down to its bits."""
    return [("row",) + tuple(rows_of([(op, args)])[0]) if op in ("addRow", "addRowList")
            else (op, tuple(plain(a) for a in args)) for op, args in calls]


@pytest.fixture
def engine(monkeypatch):
    """A recording engine whose solver class offers the faster row call (removable)."""
    recording = RecordingLinsolver()

    def addRowList(self, lower, upper, count, indexes, values):
        recording.calls.append(("addRowList", (lower, upper, count, indexes, values)))

    recording.LinearSolver.addRowList = addRowList
    monkeypatch.setattr(linear_model, "linsolver", recording.module)
    return recording


def model_with_x():
    m = LinearModel()
    x = m.get_variables("x", VariableType.REAL, lo=0, hi=1, n=4)
    return m, x


def on_both_roads(monkeypatch, engine, state):
    """`state(m, x)` on a new model with the native evaluation, then with the host's: what it
    returns (or the class of what it raises) and the calls the engine got, alike on both."""
    outcomes = []
    for host in (False, True):
        with monkeypatch.context() as mp:
            if host:
                mp.setenv(SWITCH, "host")
            else:
                mp.delenv(SWITCH, raising=False)
            m, x = model_with_x()
            engine.take()
            try:
                result = state(m, x)
            except Exception as exc:
                result = type(exc)
            outcomes.append((result, calls_of(engine.take())))
    assert outcomes[0] == outcomes[1]
    return outcomes[0]


# ---------------------------------------------------------------------------------------------
# The faster row call removed by the program's own code while a call runs


def remove_add_row_list(engine):
    def remove():
        if "addRowList" in vars(engine.LinearSolver):
            del engine.LinearSolver.addRowList
            gc.collect()
    return remove


def deleting_text(remove):
    class Sub(LinearExpression):
        def __format__(self, spec):
            remove()
            return super().__format__(spec)
    return Sub


def deleting_range(remove):
    class Values(list):
        def __format__(self, spec):
            remove()
            return "[0, 1, 2]"
    return Values([0, 1, 2])


def deleting_index(remove):
    class Index:
        def __init__(self, v):
            self.v = v

        def __index__(self):
            remove()
            return self.v
    return [Index(0), Index(1), Index(2)]


REMOVALS = {
    "text-format": lambda m, x, remove: m.add_constraint(deleting_text(remove)("x(i)"), hi=1,
                                                         i=range(3)),
    "forall-format": lambda m, x, remove: m.add_constraint(x[0] + x[1], hi=1,
                                                           i=deleting_range(remove)),
    "forall-index": lambda m, x, remove: m.add_constraint(LinearExpression("x(i)"), hi=1,
                                                          i=deleting_index(remove)),
}


@pytest.mark.parametrize("state", list(REMOVALS.values()), ids=list(REMOVALS))
def test_the_faster_call_removed_while_a_row_is_made(engine, state):
    m, x = model_with_x()
    engine.take()
    state(m, x, remove_add_row_list(engine))
    rows = rows_of(engine.take())
    assert len(rows) == 3
    assert all(r[1] == plain(1) for r in rows)


def test_the_borrowed_method_reproducer_under_the_debug_allocator():
    """The reproducer in an interpreter of its own with the debug allocator, which overwrites
    freed memory at once."""
    program = textwrap.dedent("""
        import gc
        import zk_encoder.linear_parser.linear_model as lm
        from zk_encoder.linear_parser.linear_expression import LinearExpression
        from zk_encoder.linear_parser.linear_model import LinearModel, VariableType
        from support.fakes import RecordingLinsolver

        rec = RecordingLinsolver()
        def addRowList(self, *args):
            rec.calls.append(("addRowList", args))
        rec.LinearSolver.addRowList = addRowList
        lm.linsolver = rec.module
        del addRowList

        class Sub(LinearExpression):
            def __format__(self, spec):
                if "addRowList" in vars(rec.LinearSolver):
                    del rec.LinearSolver.addRowList
                gc.collect()
                return super().__format__(spec)

        m = LinearModel()
        m.get_variables("x", VariableType.REAL, lo=0, hi=1, n=3)
        m.add_constraint(Sub("x(i)"), hi=1, i=range(3))
        print(sorted({op for op, _ in rec.calls if op.startswith("addRow")}),
              sum(op.startswith("addRow") for op, _ in rec.calls))
    """)
    env = dict(os.environ, PYTHONMALLOC="debug")
    env["PYTHONPATH"] = os.pathsep.join(
        [os.path.dirname(os.path.dirname(__file__))] + sys.path)
    run = subprocess.run([sys.executable, "-c", program], env=env, capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    assert run.stdout.split()[-1] == "3"


# ---------------------------------------------------------------------------------------------
# Callbacks in the middle of a SumIt's one pass and of an operator


class Key(str):
    """A dictionary key equal to a method's name, whose comparison runs the program's code."""

    def __new__(cls, text, action):
        k = super().__new__(cls, text)
        k.action = action
        return k

    def __hash__(self):
        return hash(str(self))

    def __eq__(self, other):
        self.action()
        return str(self) == other


@pytest.mark.parametrize("empties", [False, True], ids=["records", "empties-the-list"])
def test_an_item_attribute_compared_during_a_sum_it(engine, monkeypatch, empties):
    """An item with an attribute whose key's comparison runs code: the items are read as the
    host's own loop reads them (an emptied list has no items left), on both roads alike."""
    def state(m, x):
        items = [x[0], x[1] * 1, 2 * x[2], x[3]]
        odd = items[1]
        action = items.clear if empties else (lambda: None)
        vars(odd)[Key("_check_borders", action)] = odd._check_borders
        total = SumIt(items)
        try:
            m.add_constraint(total <= 5)
        except Exception as exc:
            return str(total), type(exc)
        return str(total)

    result, calls = on_both_roads(monkeypatch, engine, state)
    if empties:
        # What an empty SumIt gives, on both roads alike.
        assert result == "CompiledSum([])"
    else:
        assert result == "CompiledSum([x(0), 1 * (x(1)), 2 * (x(2)), x(3)])"
        assert rows_of_plain(calls) == [([0, 1, 2, 3], [v.hex() for v in (1.0, 1.0, 2.0, 1.0)])]


def test_del_and_a_collection_during_a_sum_it_pass(engine):
    m, x = model_with_x()
    engine.take()
    freed = []

    class Noisy:
        def __del__(self):
            freed.append(1)
            gc.collect()

    items = [x[0] + 0, x[1], 2 * x[2], x[3] * 1.5]
    for e in items:
        e.keep = Noisy()  # dropped with the item, if the pass freed one
    total = SumIt(items)
    del items
    gc.collect()
    m.add_constraint(total <= 5)
    (row,) = rows_of(engine.take())
    assert row[2] == [0, 1, 2, 3]
    assert row[3] == [v.hex() for v in (1.0, 1.0, 2.0, 1.5)]


def test_a_number_whose_float_runs_code(engine):
    m, x = model_with_x()
    engine.take()

    class Half:
        def __float__(self):
            gc.collect()
            return 0.5
    from numbers import Real
    Real.register(Half)
    try:
        e = x[0] * Half() + x[1]
    finally:
        pass
    m.add_constraint(e <= 1)
    (row,) = rows_of(engine.take())
    assert row[2:] == ([0, 1], [0.5.hex(), 1.0.hex()])


def test_a_list_item_index_that_empties_the_list():
    holder = []

    class Shrinking:
        def __index__(self):
            holder.clear()
            return 1

    holder.extend([Shrinking(), 2, 3])
    # The values as they were given: the keyword's list is read once.
    assert str(Sum(LinearExpression("x(i)"), i=holder)) == \
        "CompiledSum([x(i) for i in [1, 2, 3]])"


def test_dimensions_of_size_zero(engine):
    m = LinearModel()
    m.get_variables("z", VariableType.REAL, lo=0, hi=1, k=0)
    y = m.get_variables("y", VariableType.REAL, lo=0, hi=1, a=2, b=0, c=3)
    x = m.get_variables("x", VariableType.REAL, lo=0, hi=1, n=2)
    engine.take()
    # A reference into an empty dimension is only a text (no element to write it from); its
    # evaluation refuses it, and no row is added.
    r = y[0, 0, 0]
    assert (repr(r), str(3 * r)) == ("y(0,0,0)", "3 * (y(0,0,0))")
    for host in (False, True):
        with pytest.MonkeyPatch.context() as mp:
            if host:
                mp.setenv(SWITCH, "host")
            with pytest.raises(IndexError, match="outside dimension 'b' of size 0"):
                m.add_constraint(r + x[0] <= 1)
    assert rows_of(engine.take()) == []
    m.add_constraint(x[1] + 2 * x[0] <= 1)
    (row,) = rows_of(engine.take())
    assert row[2] == [0, 1] and row[3] == [2.0.hex(), 1.0.hex()]


# ---------------------------------------------------------------------------------------------
# One random program of reads, writes and operations, run three ways: references of plain ints
# (written when read), the same references made the ordinary way (numpy index), and the former
# with every text evaluated by the host. Every read and every call the engine gets must agree,
# floats by their bits.

FACTORS = [3, -1, 0, 2, 1.5, -0.0, 0.0, -2.5, 0.1, 2**40]
TEXTS = ["y(0)", "x(0,1)", "y(1) + 2", "-(x(1,0))", "0.5 * (y(0))"]


def reads(obj):
    out = [type(obj).__name__, str(obj), format(obj, ""), obj._expression, plain(obj.lo),
           plain(obj.hi)]
    if hasattr(type(obj), "_name"):
        out += [obj._name, repr(obj)]
    return out


def random_program(seed, numpy_index, host, monkeypatch):
    import random
    rng = random.Random(seed)
    if host:
        monkeypatch.setenv(SWITCH, "host")
    else:
        monkeypatch.delenv(SWITCH, raising=False)
    recording = RecordingLinsolver()

    def addRowList(self, *args):
        recording.calls.append(("addRowList", args))
    recording.LinearSolver.addRowList = addRowList
    monkeypatch.setattr(linear_model, "linsolver", recording.module)
    m = LinearModel()
    x = m.get_variables("x", VariableType.REAL, lo=-3, hi=7, a=2, b=3)
    m.get_variables("y", VariableType.REAL, lo=-3, hi=7, n=2)
    recording.take()
    trace = []

    def ref(i, j):
        return x[np.int64(i), j] if numpy_index else x[i, j]

    pool = [ref(rng.randrange(2), rng.randrange(3)) for _ in range(3)]
    for _ in range(40):
        step = rng.randrange(10)
        obj = rng.choice(pool)
        try:
            if step == 0:
                pool.append(ref(rng.randrange(2), rng.randrange(3)))
            elif step == 1:
                pool.append(rng.choice(FACTORS) * ref(rng.randrange(2), rng.randrange(3)))
            elif step == 2:
                trace.append(reads(obj))
            elif step == 3:
                obj._expression = rng.choice(TEXTS)
            elif step == 4 and hasattr(type(obj), "_name"):
                obj._name = rng.choice(TEXTS)
            elif step == 5:
                k = rng.choice(FACTORS)
                pool.append(obj * k if rng.random() < 0.5 else k * obj)
            elif step == 6:
                other = rng.choice(pool)
                pool.append(obj + other if rng.random() < 0.5 else obj - other + 1)
            elif step == 7:
                pool.append(SumIt(rng.sample(pool, min(3, len(pool)))))
            elif step == 8:
                m.add_constraint(obj, lo=rng.choice([-1, -0.0, None]), hi=2.5)
            else:
                m.add_target(obj, rng.random() < 0.5)
        except Exception as exc:  # the same refusal on every road
            trace.append(("error", type(exc).__name__, str(exc)))
        trace.append(calls_of(recording.take()))
    trace.append([reads(o) for o in pool])
    monkeypatch.delenv(SWITCH, raising=False)
    return trace


def test_random_programs_read_alike_on_every_road(monkeypatch, rng):
    for _ in range(30):
        seed = rng.randrange(2**32)
        pending = random_program(seed, False, False, monkeypatch)
        assert pending == random_program(seed, True, False, monkeypatch), seed
        assert pending == random_program(seed, False, True, monkeypatch), seed


READ_WRITES = {
    "str-then-text": lambda r: (str(r), setattr(r, "_expression", "y(0)")),
    "format-then-text": lambda r: (format(r, ""), setattr(r, "_expression", "y(0)")),
    "product-then-text": lambda r: (r * 1.5, setattr(r, "_expression", "y(0)")),
    "int-product-then-text": lambda r: (r * 3, setattr(r, "_expression", "y(0)")),
    "sum-it-then-text": lambda r: (SumIt([r, r]), setattr(r, "_expression", "y(0)")),
    "text-then-name": lambda r: (setattr(r, "_expression", "y(0)"), r._name),
    "name-then-text": lambda r: (setattr(r, "_name", "q"), setattr(r, "_expression", "y(0)")),
}


@pytest.mark.parametrize("steps", list(READ_WRITES.values()), ids=list(READ_WRITES))
def test_a_reference_keeps_its_name_as_the_ordinary_one_does(steps):
    m = LinearModel()
    x = m.get_variables("x", VariableType.REAL, lo=0, hi=1, a=2, b=3)
    m.get_variables("y", VariableType.REAL, lo=0, hi=1, n=1)
    pending, ordinary = x[1, 2], x[np.int64(1), 2]
    steps(pending)
    steps(ordinary)
    assert reads(pending) == reads(ordinary)
    assert (3 * pending)._expression == (3 * ordinary)._expression


# ---------------------------------------------------------------------------------------------
# Subclasses that replace a hook the fast roads skip when it is the class's own


def hooked(name, body):
    return type("Hooked", (LinearExpression,), {name: body})


HOOKS = {
    "str": ("__str__", lambda self: "x(3)"),
    "format": ("__format__", lambda self, spec: "(x(2) + 1)"),
    "mul": ("__mul__", lambda self, k: LinearExpression.__mul__(self, k) + 1),
    "rmul": ("__rmul__", lambda self, k: LinearExpression.__rmul__(self, k) - 1),
    "add": ("__add__", lambda self, o: LinearExpression.__add__(self, o) * 2),
    "check-borders": ("_check_borders", lambda self: gc.collect() >= 0),
}


@pytest.mark.parametrize("hook", list(HOOKS.values()), ids=list(HOOKS))
def test_subclass_hooks_read_alike_on_both_roads(engine, monkeypatch, hook):
    def state(m, x):
        e = hooked(*hook)("x(0)")
        made = [e, 3 * e, e * 2.5, e + x[1], SumIt([x[1], e, 2 * x[2]]), Sum(e, i=range(2))]
        for item in made:
            m.add_constraint(item, lo=-0.0, hi=4)
        m.add_target(SumIt(made[:5]), True)
        return [str(o) for o in made]

    texts, calls = on_both_roads(monkeypatch, engine, state)
    assert len(rows_of_plain(calls)) == len(texts)
