"""The linear model's two ways of evaluating its texts give the same engine calls.

The model evaluates the texts the library writes (element references with index arithmetic,
numbers, +, -, *, sums over for-all lists) natively and leaves every other text to the host's
evaluation. Each case here builds two identical models on recording engines, one evaluating
through the host only (ZK_ENCODER_LP1_EVAL=host), and compares every engine call, argument,
value and dtype, and every error, over random texts and for-all values."""

import random
import re
import signal
import sys
import warnings

import numpy as np
import pytest

import zk_encoder.linear_parser.linear_model as linear_model
import zk_encoder.linear_parser.linear_variables as linear_variables
from zk_encoder.linear_parser import Sum, SumIt
from zk_encoder.linear_parser.compiled_linear_expressions import (
    CompiledLinearExpression, CompiledSum)
from zk_encoder.linear_parser.linear_expression import LinearExpression
from zk_encoder.linear_parser.linear_model import LinearModel, VariableType
from zk_encoder.linear_parser.linear_variables import Index
from support.seeds import fresh_seed

SWITCH = "ZK_ENCODER_LP1_EVAL"


def same(a, b):
    """Equal values of the same type; arrays also of the same dtype and bytes; floats bit for
    bit."""
    if type(a) is not type(b):
        return False
    if isinstance(a, np.ndarray):
        return a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()
    if isinstance(a, np.generic):
        return a.dtype == b.dtype and a.tobytes() == b.tobytes()
    if isinstance(a, float):
        return a.hex() == b.hex() or (a != a and b != b)
    if isinstance(a, (tuple, list)):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    return a == b


def assert_same_calls(native, host):
    assert len(native) == len(host), ([op for op, _ in native], [op for op, _ in host])
    for (op_n, args_n), (op_h, args_h) in zip(native, host):
        assert op_n == op_h
        assert same(args_n, args_h), (op_n, args_n, args_h)


class Pair:
    """Two models with the same blocks and indexes: one evaluating natively where it can, one
    through the host only. Every step is done on both; results and errors must agree."""

    def __init__(self, monkeypatch, recorder, blocks):
        self.monkeypatch = monkeypatch
        self.native_engine, self.host_engine = recorder(), recorder()
        monkeypatch.setattr(linear_model, "linsolver", self.native_engine.module)
        self.native = LinearModel()
        monkeypatch.setattr(linear_model, "linsolver", self.host_engine.module)
        self.host = LinearModel()
        self.blocks = {}
        self.host_frames = 0
        for name, (kind, dims) in blocks.items():
            self.both(lambda m: m.get_variables(name, kind, lo=-3, hi=7, **dims))
            self.blocks[name] = self.value
        # One set of expressions serves both models: the host's model evaluates its texts with
        # the same block objects (the same columns), so that they are its own.
        self.host._variables = dict(self.native._variables)
        self.host_frames = 0

    def profile(self, frame, event, arg):
        # The host's evaluation runs the text as code of its own file name.
        if event == "call" and frame.f_code.co_filename == "<string>":
            self.host_frames += 1

    def both(self, step):
        """(whether the step succeeded, whether it did so without the host's evaluation), after
        checking that both models agree."""
        outcomes = []
        for model, engine, host in ((self.native, self.native_engine, False),
                                    (self.host, self.host_engine, True)):
            self.monkeypatch.setattr(linear_model, "linsolver", engine.module)
            if host:
                self.monkeypatch.setenv(SWITCH, "host")
            else:
                self.monkeypatch.delenv(SWITCH, raising=False)
            before = self.host_frames
            sys.setprofile(self.profile)
            try:
                value = step(model)
                sys.setprofile(None)
                outcomes.append(("ok", value, self.host_frames - before))
            except Exception as exc:  # compared below: the same error on both routes
                sys.setprofile(None)
                # Objects named in a message differ by address only.
                message = re.sub(r"0x[0-9a-f]+", "0x?", str(exc))
                outcomes.append(("error", (type(exc), message), None))
        self.monkeypatch.delenv(SWITCH, raising=False)
        (kind_n, value_n, units_n), (kind_h, value_h, _) = outcomes
        assert kind_n == kind_h, outcomes
        if kind_n == "error":
            assert value_n == value_h
        assert_same_calls(self.native_engine.calls, self.host_engine.calls)
        self.value = value_n
        return kind_n == "ok", kind_n == "ok" and units_n == 0


# --- random texts through the library's own constructors ------------------------------------

INDEXES = ("i", "j", "k")


def random_index_item(rng, size, indexes):
    roll = rng.random()
    if roll < 0.3 or not indexes:
        return rng.randrange(-1, size + 1) if rng.random() < 0.1 else rng.randrange(size)
    if roll < 0.33:
        return rng.choice([1.5, "q"])  # not an integer: the same refusal on both routes
    item = Index(rng.choice(indexes))
    for _ in range(rng.randrange(3)):
        step = rng.randrange(-2, 3)
        item = rng.choice([lambda v: v + step, lambda v: v - step, lambda v: abs(step) * v])(item)
    return item


def random_element(rng, blocks, indexes):
    name = rng.choice(sorted(blocks))
    block = blocks[name]
    sizes = block.shape
    items = tuple(random_index_item(rng, sizes[d], indexes) for d in range(len(sizes)))
    return block[items if len(items) != 1 or rng.random() < 0.5 else items[0]]


def random_iterable(rng):
    roll = rng.random()
    if roll < 0.4:
        start = rng.randrange(-1, 3)
        stop = start + rng.randrange(-1, 4)
        return range(start, stop) if rng.random() < 0.7 else range(stop, start - 1, -1)
    values = [rng.randrange(-1, 4) for _ in range(rng.randrange(4))]
    if roll < 0.65:
        return values
    if roll < 0.75:
        return tuple(values)
    if roll < 0.85:
        return np.array(values, dtype=rng.choice([np.int64, np.int32, np.uint8]) if
                        min(values, default=0) >= 0 else np.int64)
    return [rng.choice([np.int64, np.int16, bool])(v) if v in (0, 1) or rng.random() < 0.5
            else np.int64(v) for v in values]


def random_number(rng):
    return rng.choice([0, 1, -1, 2, 3, -7, 10**12, 0.0, -0.0, 0.5, -2.25, 1e-300, 3.0,
                       1 / 3, 1e300, np.int64(3), np.float64(-0.5), np.float32(0.1), True,
                       2**63, -(2**64) - 1, 2**40])


def random_expression(rng, blocks, indexes, depth=0):
    roll = rng.random() if depth < 3 else 0.0
    if roll < 0.3:
        return random_element(rng, blocks, indexes)
    if roll < 0.4:
        name = rng.choice(INDEXES)
        return Sum(random_expression(rng, blocks, list(indexes) + [name], depth + 1),
                   **{name: random_iterable(rng)})
    if roll < 0.47:
        return SumIt([random_expression(rng, blocks, indexes, depth + 1)
                      for _ in range(rng.randrange(4))])
    if roll < 0.52:
        return -random_expression(rng, blocks, indexes, depth + 1)
    if roll < 0.55:
        return +random_expression(rng, blocks, indexes, depth + 1)
    a = random_expression(rng, blocks, indexes, depth + 1)
    k = random_number(rng)
    op = rng.randrange(9)
    if op == 0:
        return a + random_expression(rng, blocks, indexes, depth + 1)
    if op == 1:
        return a - random_expression(rng, blocks, indexes, depth + 1)
    if op == 2:
        return a * random_expression(rng, blocks, indexes, depth + 1)
    return [a * k, k * a, a + k, k + a, a - k, k - a][op - 3]


def random_blocks(rng):
    blocks = {}
    for name in rng.sample(["x", "y", "z"], rng.randrange(1, 3)):
        dims = {f"d{d}": rng.randrange(1, 4) for d in range(rng.randrange(1, 4))}
        blocks[name] = (rng.choice([VariableType.REAL, VariableType.INTEGER]), dims)
    return blocks


def random_bounds(rng, expression):
    roll = rng.randrange(5)
    if roll == 0:
        return expression <= random_number(rng), {}
    if roll == 1:
        return expression >= random_number(rng), {}
    if roll == 2:
        return expression == random_number(rng), {}
    if roll == 3:
        return expression, {"lo": random_number(rng), "hi": random_number(rng)}
    return expression, {"eq": random_number(rng)}


def test_random_texts_give_the_same_engine_calls(monkeypatch, recorder):
    seed = fresh_seed()
    rng = random.Random(seed)
    rows_ok = rows_native = 0
    for _ in range(150):
        pair = Pair(monkeypatch, recorder, random_blocks(rng))
        for _ in range(4):
            indexes = rng.sample(INDEXES, rng.randrange(len(INDEXES) + 1))
            expression, bounds = random_bounds(
                rng, random_expression(rng, pair.blocks, indexes or ["i"]))
            foralls = {name: random_iterable(rng) for name in indexes}
            ok, native = pair.both(
                lambda m: m.add_constraint(expression, **bounds, **foralls))
            rows_ok += ok
            rows_native += native
        target = random_expression(rng, pair.blocks, [])
        minimization = rng.random() < 0.5
        pair.both(lambda m: m.add_target(target, minimization=minimization))
    # The comparison means something only if the native route did most of the work.
    assert rows_native > rows_ok // 2, (rows_native, rows_ok)


def test_a_large_for_all_model_gives_the_same_engine_calls(monkeypatch, recorder):
    seed = fresh_seed()
    rng = random.Random(seed)
    s, d = 12, 9
    pair = Pair(monkeypatch, recorder, {"ship": (VariableType.REAL, {"s": s, "d": d})})
    ship = pair.blocks["ship"]
    i, j = pair.native.get_indexes(["i", "j"])
    pair.host.get_indexes(["i", "j"])
    _, native = pair.both(lambda m: m.add_constraint(Sum(ship[i, j], j=range(d)) <= 5,
                                                     i=range(s)))
    assert native
    _, native = pair.both(lambda m: m.add_constraint(Sum(ship[i, j], i=range(s)) >= 2,
                                                     j=[0, 2, 3, 8]))
    assert native
    _, native = pair.both(lambda m: m.add_constraint(ship[i, j] - 2 * ship[i + 1, j] <= 1,
                                                     i=range(s - 1), j=(1, 4)))
    assert native
    cost = SumIt([rng.random() * ship[a, b] for a in range(s) for b in range(d)])
    _, native = pair.both(lambda m: m.add_target(cost, minimization=True))
    assert native


# --- texts the native route must leave to the host -------------------------------------------


def shadowing_block(name):
    # The models refuse blocks of these names; a block put into their tables still shadows.
    def build(pair):
        pair.both(lambda m: m.get_variables("shadow", VariableType.REAL, n=3))
        for m in (pair.native, pair.host):
            m._variables[name] = m._variables.pop("shadow")
        return Sum(pair.blocks["x"]["j"], j=range(2)) + 1, {"i": range(2)}
    return build


LEFT_TO_HOST = {
    "block named range": shadowing_block("range"),
    "block named CompiledSum": shadowing_block("CompiledSum"),
    "for-all name shadows a block": lambda pair: (pair.blocks["x"][0] + 1, {"x": range(2)}),
    "power": lambda pair: (LinearExpression("x(0) ** 1"), {}),
    "division": lambda pair: (LinearExpression("x(1) / 2"), {}),
    "name outside the namespace": lambda pair: (LinearExpression("x(0) + len([1])"), {}),
    "for-all over a generator": lambda pair: (pair.blocks["x"]["i"] + 0, {"i": iter([0])}),
    "integer beyond 64 bits": lambda pair: (pair.blocks["x"][0] * 2**70, {}),
    "index beyond 64 bits": lambda pair: (pair.blocks["x"][2**70], {}),
    "keyword text": lambda pair: (LinearExpression("x(0) if True else x(1)"), {}),
    "non-ASCII name": lambda pair: (LinearExpression("x(0) + \u00e9(0)"), {}),
    "leading blank": lambda pair: (LinearExpression(" x(0)"), {}),
    "number only": lambda pair: (LinearExpression("3"), {}),
    "subtraction from a number": lambda pair: (LinearExpression("3 - x(0)"), {}),
    "cubic product": lambda pair: (
        pair.blocks["x"][0] * pair.blocks["x"][1] * pair.blocks["x"][2], {}),
    "trailing comma in a call": lambda pair: (LinearExpression("x(0,)"), {}),
    "two items and a clause": lambda pair: (LinearExpression("x(0), x(1) for i in [1]"), {}),
    "tuple item": lambda pair: (LinearExpression("CompiledSum([(x(0), x(1))])"), {}),
    "float literal forms": lambda pair: (LinearExpression("1e5 * x(0) + 2. * x(1) + .5"), {}),
    "block element of an index": lambda pair: (pair.blocks["x"]["i"], {"i": [0, 1, 5]}),
}


@pytest.mark.parametrize("case", list(LEFT_TO_HOST), ids=list(LEFT_TO_HOST))
def test_texts_left_to_the_host_give_the_same_engine_calls(monkeypatch, recorder, case):
    pair = Pair(monkeypatch, recorder, {"x": (VariableType.REAL, {"n": 3})})
    expression, foralls = LEFT_TO_HOST[case](pair)
    pair.both(lambda m: m.add_constraint(expression <= 4, **foralls))
    pair.both(lambda m: m.add_target(expression, minimization=False))


# --- parts of the host's evaluation a program has replaced ------------------------------------


def counting(calls, original):
    def replacement(*args, **kwargs):
        calls.append(1)
        return original(*args, **kwargs)
    return replacement


REPLACED = {
    "the unit expressions' sparse array": lambda mp, calls: mp.setattr(
        linear_variables, "coo_array", counting(calls, linear_variables.coo_array)),
    "the unit expressions' class": lambda mp, calls: mp.setattr(
        linear_variables, "CompiledLinearExpression",
        counting(calls, linear_variables.CompiledLinearExpression)),
    "the expressions' addition": lambda mp, calls: mp.setattr(
        CompiledLinearExpression, "__add__", counting(calls, CompiledLinearExpression.__add__)),
    "the expressions' reflected product": lambda mp, calls: mp.setattr(
        CompiledLinearExpression, "__rmul__", counting(calls, CompiledLinearExpression.__rmul__)),
    "the summation's constructor": lambda mp, calls: mp.setattr(
        CompiledSum, "__init__", counting(calls, CompiledSum.__init__)),
}


@pytest.mark.parametrize("case", list(REPLACED), ids=list(REPLACED))
def test_replaced_parts_send_the_texts_to_the_host(monkeypatch, recorder, case):
    pair = Pair(monkeypatch, recorder, {"x": (VariableType.REAL, {"n": 4})})
    x, i = pair.blocks["x"], Index("i")
    calls = []
    REPLACED[case](monkeypatch, calls)
    ok, native = pair.both(
        lambda m: m.add_constraint(Sum(2 * x[i] + x[i + 1], i=range(3)) <= 1, i=[0]))
    assert ok and not native and calls


# --- texts the native route takes ---------------------------------------------------------------


def taken(pair):
    x, y = pair.blocks["x"], pair.blocks["y"]
    i, j = Index("i"), Index("j")
    return {
        "element": (x[1, 2] <= 1, {}),
        "index arithmetic": (x[(i + 1) + 2, 3 * (j - 1)] <= 1, {"i": range(-3, 0), "j": [1, 2]}),
        "float forms": (LinearExpression("1e-05 * (x(0,0)) + 2.5e+20 * (y(1)) + 0.1"), {}),
        "negative numbers": (-x[0, 0] * -2 - (-3.5), {}),
        "reflected subtraction": (7 - x[i, 0], {"i": (0, 3)}),
        "one-item tuple": (x[i, i] >= 0, {"i": (2,)}),
        "empty for-all": (x[i, 0] >= 0, {"i": []}),
        "descending range": (x[i, 0] >= 0, {"i": range(3, -1, -2)}),
        "nested sums": (Sum(Sum(x[i, j], i=range(4)) - y[j], j=[0, 2]) <= 3, {}),
        "sums over outer for-alls": (Sum(x[i, j], j=range(4)) <= 3, {"i": range(4)}),
        "SumIt": (SumIt([x[0, 0], 2 * y[i], y[i + 1] * 0.5]) == 1, {"i": range(2)}),
        "empty SumIt and sum": (SumIt([]) + Sum(y[i], i=range(0)) + x[0, 0] <= 1, {}),
        "product": ((x[0, 1] + 1) * (y[2] - x[1, 1]) <= 2, {}),
        "numpy for-all values": (x[i, j] <= 1, {"i": np.arange(2), "j": [np.int64(3), True]}),
        "numpy sum values": (Sum(y[j], j=np.array([0, 2], dtype=np.int32)) <= 1, {}),
        "numpy numbers": (np.float64(2.5) * x[0, 0] + np.int64(3) * y[1] - np.float32(0.5)
                          <= np.float32(4), {}),
        # Literals within 64 bits whose products and sums are not.
        "integers beyond 64 bits": (x[0, 0] * 2**32 * 2**32 + x[0, 1] * 2**40 * 2**40
                                    - x[0, 1] * 2**40 * (2**40 - 1) <= 3, {}),
        "a sum beyond 64 bits": (Sum(x[0, 0] * 2**62, j=range(4)) + y[0] * -(2**62) * 4
                                 - Sum(x[0, 0] * 2**62, j=range(3)) <= 1, {}),
    }


TAKEN = ["element", "index arithmetic", "float forms", "negative numbers",
         "reflected subtraction", "one-item tuple", "empty for-all", "descending range",
         "nested sums", "sums over outer for-alls", "SumIt", "empty SumIt and sum", "product",
         "numpy for-all values", "numpy sum values", "numpy numbers", "integers beyond 64 bits",
         "a sum beyond 64 bits"]


@pytest.mark.parametrize("case", TAKEN, ids=TAKEN)
def test_library_texts_are_evaluated_natively(monkeypatch, recorder, case):
    pair = Pair(monkeypatch, recorder, {"x": (VariableType.REAL, {"a": 4, "b": 4}),
                              "y": (VariableType.INTEGER, {"c": 3})})
    expression, foralls = taken(pair)[case]
    ok, native = pair.both(lambda m: m.add_constraint(expression, **foralls))
    assert ok and native
    if foralls:
        return  # the objective has no for-all values to bind its indexes
    target = LinearExpression(str(expression))
    ok, native = pair.both(lambda m: m.add_target(target, minimization=False))
    assert ok and native


# Texts both routes refuse alike, before any engine call: (expression, what a row raises, what
# an objective raises; None where it is taken).
def refused(pair):
    x = pair.blocks["x"]
    return {
        "surplus item": (LinearExpression("y(1, 5)") <= 1, IndexError, IndexError),
        "missing item": (LinearExpression("x(2)") <= 1, IndexError, IndexError),
        "an infinite literal": (LinearExpression("1e400 * (x(0,0))") <= 1, ValueError,
                                ValueError),
        "an infinite constant": (LinearExpression("x(0,0) + 1e400") <= 1, ValueError,
                                 ValueError),
        "a NaN from literals": (LinearExpression("1e400 * 0 * (x(0,0)) + 1") <= 1, ValueError,
                                ValueError),
        "an infinite sum of numbers": (LinearExpression("CompiledSum([1e308, 1e308, x(0,0)])")
                                       <= 1, ValueError, ValueError),
        "an infinite item of a sum": (LinearExpression("CompiledSum([x(0,0), -1e400])") <= 1,
                                      ValueError, ValueError),
        "an overflow of a coefficient": (LinearExpression("1e200 * (1e200 * (x(0,0)))") <= 1,
                                         ValueError, ValueError),
        # A row ignores the quadratic part, an objective does not.
        "an overflow in a product": (LinearExpression("(1e200 * (x(0,0))) * (1e200 * (y(0)))")
                                     <= 1, None, ValueError),
        "a coefficient beyond the floats": (x[0, 0] * 2**1100 <= 1, OverflowError,
                                            OverflowError),
        # An objective does not read its constant.
        "a constant beyond the floats": (x[0, 0] + 2**1100 <= 1, OverflowError, None),
    }


REFUSED = ["surplus item", "missing item", "an infinite literal", "an infinite constant",
           "a NaN from literals", "an infinite sum of numbers", "an infinite item of a sum",
           "an overflow of a coefficient", "an overflow in a product",
           "a coefficient beyond the floats", "a constant beyond the floats"]


@pytest.mark.parametrize("case", REFUSED, ids=REFUSED)
def test_texts_refused_alike_on_both_routes(monkeypatch, recorder, case):
    pair = Pair(monkeypatch, recorder, {"x": (VariableType.REAL, {"a": 4, "b": 4}),
                              "y": (VariableType.INTEGER, {"c": 3})})
    expression, row_exc, target_exc = refused(pair)[case]
    blocks = list(pair.native_engine.calls)
    # A float product that overflows warns as numpy does before it is refused.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        for call, exc in [(lambda m: m.add_constraint(expression), row_exc),
                          (lambda m: m.add_target(LinearExpression(str(expression)), True),
                           target_exc)]:
            before = len(pair.native_engine.calls)
            ok, _ = pair.both(call)
            assert ok == (exc is None)
            if exc is not None:
                with pytest.raises(exc):
                    call(pair.native)
                # Nothing reached the engine.
                assert len(pair.native_engine.calls) == before
    assert pair.native_engine.calls[:len(blocks)] == blocks


def test_a_text_that_is_not_utf8_goes_to_the_host(monkeypatch, recorder):
    pair = Pair(monkeypatch, recorder, {"x": (VariableType.REAL, {"n": 2})})
    target = LinearExpression("x(0) + \ud800")
    ok, native = pair.both(lambda m: m.add_target(target, minimization=True))
    assert not ok


class Alarm(Exception):
    pass


def test_a_signal_ends_a_long_native_evaluation(monkeypatch):
    # A sum over a billion for-all values would take the native loop about half a minute; the
    # alarm's handler runs inside it, as it would inside the host's loop.
    def ring(signum, frame):
        raise Alarm

    model = LinearModel()
    x = model.get_variables("x", VariableType.REAL, n=3)
    previous = signal.signal(signal.SIGALRM, ring)
    signal.setitimer(signal.ITIMER_REAL, 0.2)
    try:
        with pytest.raises(Alarm):
            model.add_constraint(Sum(x[0], i=range(10**9)) <= 1)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


# --- values the expressions' operators kept ---------------------------------------------------


def random_term(rng, x):
    """One product, element or number of a sum written left to right."""
    roll = rng.random()
    element = x[rng.randrange(6)]
    if roll < 0.2:
        return element
    if roll < 0.3:
        return random_number(rng)
    return rng.choice([-2.5, -1, -0.0, 0, 0.0, 3, 1e-300, 1e300, 2**62, np.float64(-0.75),
                       0.1, -(2**63), 7]) * element


@pytest.mark.parametrize("length", [1, 2, 3, 4, 8, 16, 17, 40], ids=lambda n: f"{n} items")
def test_sums_written_left_to_right_give_the_same_engine_calls(monkeypatch, recorder, length):
    seed = fresh_seed()
    rng = random.Random(seed)
    pair = Pair(monkeypatch, recorder, {"x": (VariableType.REAL, {"n": 6})})
    x = pair.blocks["x"]
    natives = 0
    for _ in range(25):
        terms = [rng.choice([-2.5, -0.0, 2, -1]) * x[rng.randrange(6)]]
        terms += [random_term(rng, x) for _ in range(length - 1)]
        expression = terms[0]
        for term in terms[1:]:
            expression = expression + term
        if rng.random() < 0.3:
            expression = rng.choice([lambda e: 2 * e, lambda e: -e, lambda e: e - x[1],
                                     lambda e: 3 - e, lambda e: e * x[2]])(expression)
        ok, native = pair.both(lambda m: m.add_constraint(expression <= 4))
        natives += native
        pair.both(lambda m: m.add_target(expression, minimization=False))
        pair.both(lambda m: m.add_target(SumIt([expression, terms[-1] * 1 + 0]), True))
    assert natives > 0


def test_a_sum_regrouped_by_its_text_is_read_from_the_text(monkeypatch, recorder):
    # a + (b + c) is written "a + b + c", which the evaluation groups as (a + b) + c: the text,
    # not the order the operators ran in, is what the row means (the floats differ).
    pair = Pair(monkeypatch, recorder, {"x": (VariableType.REAL, {"n": 3})})
    x = pair.blocks["x"]
    expression = 0.1 * x[0] + (0.2 * x[0] + 0.3 * x[0])
    assert str(expression) == "0.1 * (x(0)) + 0.2 * (x(0)) + 0.3 * (x(0))"
    pair.both(lambda m: m.add_constraint(expression <= 1))
    ((_, (_, _, _, _, values)),) = pair.native_engine.calls[-1:]
    assert values.tolist() == [0.1 + 0.2 + 0.3]


@pytest.mark.parametrize("kind", ["row", "target"])
def test_a_known_value_is_taken_without_the_texts(monkeypatch, recorder, kind):
    pair = Pair(monkeypatch, recorder, {"x": (VariableType.REAL, {"n": 4, "m": 3})})
    x = pair.blocks["x"]
    expression = SumIt([x[a, b] * (a - b) for a in range(4) for b in range(3)]) + x[1, 1] * 0.5
    if kind == "row":
        _, native = pair.both(lambda m: m.add_constraint(expression >= -3))
    else:
        _, native = pair.both(lambda m: m.add_target(expression, minimization=True))
    assert native
    # The text reads as it always did once a program asks for it.
    assert str(expression).startswith("CompiledSum([0 * (x(0,0)), -1 * (x(0,1)), ")
