"""Linear text expressions: templates character for character, bounds and their check, messages and
log lines, unhashability, the truth test of bounded expressions, and what the texts mean when
evaluated over numeric unit expressions."""

import fractions
import random

import numpy as np
import pytest
from scipy.sparse import coo_array

from zk_encoder._exceptions import FormulaError
from zk_encoder.linear_parser import linear_expression as le
from zk_encoder.linear_parser.compiled_linear_expressions import (
    CompiledLinearExpression, CompiledSum)
from zk_encoder.linear_parser.linear_expression import (
    LinearExpression, LinearVariableProxy, Sum, SumIt)
from support.reuse import check_freed_leave_nothing
from support.seeds import fresh_seed

BOUNDED = "It is forbidden to change the formula after setting the boundaries"
OPERAND = "Type 'LinearExpression' is expected for left side of expression"
SUM_OPERAND = "Type 'LinearExpression' is expected for variable 'expression'"
NOT_SEQUENCE = "Use an iterable sequence as SumIt input argument"
EMPTY = "The input sequence has zero length"
ITEMS = "Variable 'expressions' must contain only objects of type 'LinearExpression'"

x, y = LinearVariableProxy("x(i)"), LinearVariableProxy("y(i)")
xij = LinearVariableProxy("x(i,j)")
y0, y1 = LinearVariableProxy("y(0)"), LinearVariableProxy("y(1)")


def errors(sink):
    return sink.at("error")


# ------------------------------------------------------------------------------------------------
# Module and classes.

def test_module_binds_what_its_code_uses():
    assert le.FormulaError is FormulaError
    assert le.Integral.__name__ == "Integral" and le.Real.__name__ == "Real"
    assert le.tp.Sequence is not None and callable(le.log_e) and callable(le.log_w)
    for cls in (LinearVariableProxy, Sum, SumIt):
        assert cls.__bases__ == (LinearExpression,)
    assert LinearExpression.__module__ == "zk_encoder.linear_parser.linear_expression"


def test_default_and_given_text():
    e = LinearExpression()
    assert str(e) == "" and e.lo is None and e.hi is None and e._expression == ""
    f = LinearExpression(expression="a + b")
    assert str(f) == "a + b" and format(f, "") == "a + b"


def test_proxy():
    p = LinearVariableProxy("x(0,1)")
    assert str(p) == repr(p) == p._name == p._expression == "x(0,1)"
    assert p.lo is None and p.hi is None
    n = -p
    assert type(n) is LinearExpression and str(n) == "-(x(0,1))"


# ------------------------------------------------------------------------------------------------
# Operator templates.

TEXTS = [
    ("linear-combination", lambda: 2 * x + y - 3, "2 * (x(i)) + y(i) - 3"),
    ("minus-sum", lambda: x - (y + 1), "x(i) - (y(i) + 1)"),
    ("minus-chain", lambda: x - y - 1, "x(i) - (y(i)) - 1"),
    ("number-minus", lambda: 4 - x, "-(x(i)) + 4"),
    ("neg-sum", lambda: -(x + y), "-(x(i) + y(i))"),
    ("pos", lambda: +x, "+(x(i))"),
    ("product", lambda: x * y, "(x(i)) * (y(i))"),
    ("sum-times-number", lambda: (x + 1) * 3, "3 * (x(i) + 1)"),
    ("half", lambda: 0.5 * x, "0.5 * (x(i))"),
    ("tiny", lambda: x + 1e-07, "x(i) + 1e-07"),
    ("minus-negative", lambda: x - -2, "x(i) - -2"),
    ("number-plus", lambda: 3 + x, "x(i) + 3"),
    # A number is written as the plain int or float it stands for.
    ("bool", lambda: True * x, "1 * (x(i))"),
    ("fraction", lambda: x + fractions.Fraction(1, 3), "x(i) + 0.3333333333333333"),
    ("fraction-times", lambda: fractions.Fraction(1, 2) * x, "0.5 * (x(i))"),
    ("numpy-int", lambda: x * np.int64(5), "5 * (x(i))"),
    ("numpy-float", lambda: x - np.float64(2.5), "x(i) - 2.5"),
    ("numpy-float32", lambda: np.float32(0.1) * x, "0.10000000149011612 * (x(i))"),
    ("numpy-float-left", lambda: np.float64(2) * x, "2.0 * (x(i))"),
    ("numpy-int-left", lambda: np.int64(3) + x, "x(i) + 3"),
    ("numpy-uint64", lambda: x * np.uint64(2**64 - 1), "18446744073709551615 * (x(i))"),
    ("numpy-bool", lambda: x * np.True_, "1 * (x(i))"),
    ("large-int", lambda: x * 2**70, f"{2**70} * (x(i))"),
    ("subclass-operands", lambda: Sum(y, i=range(2)) + SumIt([y0]),
     "CompiledSum([y(i) for i in range(0, 2)]) + CompiledSum([y(0)])"),
]


@pytest.mark.parametrize("build, text", [c[1:] for c in TEXTS], ids=[c[0] for c in TEXTS])
def test_operator_texts(build, text, log_sink):
    e = build()
    assert type(e) is LinearExpression
    assert str(e) == text and e.lo is None and e.hi is None
    assert log_sink.calls == []


BOUNDS = [
    ("le", lambda: x + y <= 4, "x(i) + y(i)", None, 4),
    ("ge", lambda: x + y >= 1, "x(i) + y(i)", 1, None),
    ("eq", lambda: x == 2, "x(i)", 2, 2),
    ("reflected-le", lambda: 3 <= x, "x(i)", 3, None),
    ("reflected-ge", lambda: 3 >= x, "x(i)", None, 3),
    ("zero", lambda: x <= 0, "x(i)", None, 0),
    ("any-value", lambda: x <= "free", "x(i)", None, "free"),
]


@pytest.mark.parametrize("build, text, lo, hi", [c[1:] for c in BOUNDS],
                         ids=[c[0] for c in BOUNDS])
def test_comparisons_give_bounded_copies(build, text, lo, hi):
    e = build()
    assert type(e) is LinearExpression and str(e) == text
    assert e.lo == lo and e.hi == hi


def test_equality_with_an_expression_keeps_the_object():
    e = x == y
    assert e.lo is y and e.hi is y and str(e) == "x(i)"


def test_comparison_of_a_proxy_copies_only_the_text():
    e = y0 <= 3
    assert type(e) is LinearExpression and not hasattr(e, "_name")
    assert y0.hi is None


REFUSED_BOUNDED = [
    ("plus", lambda b: b + 1),
    ("radd", lambda b: 1 + b),
    ("operand", lambda b: y - b),
    ("times", lambda b: b * 2),
    ("rmul", lambda b: 2 * b),
    ("product-operand", lambda b: y * b),
    ("compare", lambda b: b >= 0),
    ("equal", lambda b: b == 1),
    ("sum", lambda b: Sum(b, i=range(3))),
    ("sumit", lambda b: SumIt([y0, b])),
    ("bound-check", lambda b: b._check_borders()),
]


@pytest.mark.parametrize("bound", [lambda: x <= 4, lambda: x <= 0, lambda: x == 2],
                         ids=["upper", "upper-zero", "both"])
@pytest.mark.parametrize("use", [c[1] for c in REFUSED_BOUNDED], ids=[c[0] for c in REFUSED_BOUNDED])
def test_bounded_expressions_are_final(bound, use, log_sink):
    b = bound()
    with pytest.raises(FormulaError) as err:
        use(b)
    assert str(err.value) == BOUNDED and errors(log_sink) == [BOUNDED]


def test_check_order_bounded_receiver_first(log_sink):
    with pytest.raises(FormulaError):
        (x <= 4) + "text"
    assert errors(log_sink) == [BOUNDED]


def test_unary_and_reflected_subtraction_drop_bounds(log_sink):
    for e, text in ((-(x <= 4), "-(x(i))"), (+(x <= 4), "+(x(i))"), (4 - (x <= 4), "-(x(i)) + 4")):
        assert str(e) == text and e.lo is None and e.hi is None
    assert x._check_borders() is True
    assert log_sink.calls == []


REFUSED_TYPES = [
    ("text", lambda: x + "a"),
    ("list", lambda: x + [1]),
    ("numeric-expression", lambda: x + CompiledLinearExpression(coo_array(([1], ([0], [0]))))),
    ("none", lambda: x - None),
    ("text-times", lambda: x * "a"),
    ("array-times", lambda: x * np.array([1.0, 2.0])),
    ("array-left-times", lambda: np.array([1.0, 2.0]) * x),
    ("array-left-plus", lambda: np.array([1, 2]) + x),
    ("text-minus", lambda: "a" - x),
    ("decimal", lambda: x * __import__("decimal").Decimal(1)),
    # Complex numbers are no numbers to the operators, on either side.
    ("complex-plus", lambda: x + 1j),
    ("complex-left-plus", lambda: 1j + x),
    ("complex-minus", lambda: x - 1j),
    ("complex-left-minus", lambda: 1j - x),
    ("complex-times", lambda: x * 1j),
    ("complex-left-times", lambda: 1j * x),
    ("numpy-complex-times", lambda: x * np.complex128(2)),
    ("numpy-complex-left-plus", lambda: np.complex64(2) + x),
]


@pytest.mark.parametrize("build", [c[1] for c in REFUSED_TYPES], ids=[c[0] for c in REFUSED_TYPES])
def test_foreign_operands(build, log_sink):
    with pytest.raises(TypeError) as err:
        build()
    assert str(err.value) == OPERAND and errors(log_sink) == [OPERAND]


# Numbers that are no coefficient or term: refused where they are written, with what they stood for.
REFUSED_NUMBERS = [
    ("nan-times", lambda: float("nan") * x, ValueError,
     "Coefficient must be a finite number, not nan"),
    ("inf-times", lambda: x * float("inf"), ValueError,
     "Coefficient must be a finite number, not inf"),
    ("numpy-nan", lambda: np.float64("nan") * x, ValueError,
     "Coefficient must be a finite number, not nan"),
    ("minus-inf-plus", lambda: x + float("-inf"), ValueError,
     "Constant must be a finite number, not -inf"),
    ("nan-minus", lambda: x - np.nan, ValueError, "Constant must be a finite number, not nan"),
    ("inf-reflected-minus", lambda: np.inf - x, ValueError,
     "Constant must be a finite number, not inf"),
]


# Bounds that are no bound: refused where they are written.
REFUSED_BOUNDS = [
    ("le-none", lambda: x <= None, TypeError,
     "'<=' not supported between instances of 'LinearVariableProxy' and 'NoneType'"),
    ("ge-none", lambda: (x + 1) >= None, TypeError,
     "'>=' not supported between instances of 'LinearExpression' and 'NoneType'"),
    ("eq-none", lambda: x == None, TypeError,  # noqa: E711
     "'==' not supported between instances of 'LinearVariableProxy' and 'NoneType'"),
    ("reflected-none", lambda: None <= x, TypeError,
     "'>=' not supported between instances of 'LinearVariableProxy' and 'NoneType'"),
    ("nan", lambda: x <= float("nan"), ValueError,
     "Upper bound must be a number, not nan"),
    ("numpy-nan", lambda: x >= np.float32("nan"), ValueError,
     "Lower bound must be a number, not nan"),
    ("eq-nan", lambda: x == np.nan, ValueError, "Equation bound must be a number, not nan"),
    ("complex", lambda: x <= 2j, TypeError, "Upper bound must be a real number, not complex: 2j"),
    ("numpy-complex", lambda: x == np.complex128(2), TypeError,
     "Equation bound must be a real number, not complex: np.complex128(2+0j)"),
]


@pytest.mark.parametrize("build, exc, msg", [c[1:] for c in REFUSED_NUMBERS + REFUSED_BOUNDS],
                         ids=[c[0] for c in REFUSED_NUMBERS + REFUSED_BOUNDS])
def test_numbers_that_are_no_coefficient_or_bound(build, exc, msg, log_sink):
    with pytest.raises(exc) as err:
        build()
    assert str(err.value) == msg and errors(log_sink) == [msg]


@pytest.mark.parametrize("bound", [float("inf"), -np.inf, np.float32(4), 2**70, True],
                         ids=["inf", "numpy-minus-inf", "float32", "large-int", "bool"])
def test_number_bounds_are_kept_as_given(bound):
    e = x <= bound
    assert e.hi is bound and e.lo is None


def test_numpy_operands_on_the_left_give_what_the_right_gives():
    # numpy hands the expression back to its reflected operators.
    assert str(np.float64(2.5) * x) == str(x * np.float64(2.5)) == "2.5 * (x(i))"
    assert str(np.int64(7) - x) == str(7 - x) == "-(x(i)) + 7"
    e = np.float32(4) >= x
    assert type(e) is LinearExpression and e.hi is not None and float(e.hi) == 4.0


@pytest.mark.parametrize("build", [lambda: x < 1, lambda: x > 1, lambda: x / 2, lambda: x ** 2],
                         ids=["lt", "gt", "div", "pow"])
def test_host_refuses_undefined_operators(build, log_sink):
    with pytest.raises(TypeError):
        build()
    assert log_sink.calls == []


@pytest.mark.parametrize("obj", [x, LinearExpression("a"), Sum(y, i=[1]), SumIt([y0]), x <= 1],
                         ids=["proxy", "plain", "sum", "sumit", "bounded"])
def test_unhashable(obj):
    with pytest.raises(TypeError):
        hash(obj)
    with pytest.raises(TypeError):
        {obj}
    with pytest.raises(TypeError):
        {obj: 1}


def test_non_text_surfaces_when_written():
    e = LinearExpression(5)
    assert e._expression == 5
    with pytest.raises(TypeError):
        str(e)


# ------------------------------------------------------------------------------------------------
# The truth test: a bounded expression has none, so chained comparisons cannot lose a bound.

def test_unbounded_expressions_are_true():
    assert bool(x) and bool(LinearExpression()) and bool(Sum(y, i=[1]))


@pytest.mark.parametrize("build", [
    lambda: 1 <= x <= 5,
    lambda: 0 <= x + y <= 5,
    lambda: bool(x >= 1),
    lambda: (x == 1) or 0,
    lambda: x != 3,
], ids=["chain", "chain-sum", "if", "or", "not-equal"])
def test_truth_of_bounded_expressions_is_refused(build, log_sink):
    with pytest.raises(TypeError):
        build()
    assert len(errors(log_sink)) == 1


# ------------------------------------------------------------------------------------------------
# Sum and SumIt.

CONSTRUCTED = [
    ("range", lambda: Sum(y, i=range(3)), "CompiledSum([y(i) for i in range(0, 3)])"),
    ("two-keywords", lambda: Sum(2 * xij, i=range(2), j=[0, 2]),
     "CompiledSum([2 * (x(i,j)) for i in range(0, 2) for j in [0, 2]])"),
    ("no-keywords", lambda: Sum(y), "CompiledSum([y(i) ])"),
    ("text-value", lambda: Sum(y, i="range(2)"), "CompiledSum([y(i) for i in range(2)])"),
    ("unused-name", lambda: Sum(y0, i=range(3)), "CompiledSum([y(0) for i in range(0, 3)])"),
    ("empty-range", lambda: Sum(y, i=[]), "CompiledSum([y(i) for i in []])"),
    ("nested", lambda: Sum(Sum(xij, j=range(3)), i=range(2)),
     "CompiledSum([CompiledSum([x(i,j) for j in range(0, 3)]) for i in range(0, 2)])"),
    ("keyword-operand", lambda: Sum(expression=y, i=[1]), "CompiledSum([y(i) for i in [1]])"),
    ("sequence", lambda: SumIt([y0, y1 + 1]), "CompiledSum([y(0), y(1) + 1])"),
    ("tuple", lambda: SumIt((y0,)), "CompiledSum([y(0)])"),
    ("keyword-sequence", lambda: SumIt(expressions=[y0, y1]), "CompiledSum([y(0), y(1)])"),
    ("long-item", lambda: SumIt([y0, LinearVariableProxy("z" * 200)]),
     "CompiledSum([y(0), " + "z" * 200 + "])"),
    ("long-item-between", lambda: SumIt([2 * y0, LinearVariableProxy("z" * 200), 3 * y1]),
     "CompiledSum([2 * (y(0)), " + "z" * 200 + ", 3 * (y(1))])"),
    ("not-ascii-item", lambda: SumIt([2 * y0, LinearVariableProxy("é(1)")]),
     "CompiledSum([2 * (y(0)), é(1)])"),
    ("float-products", lambda: SumIt([0.5 * y0, y1 * -2.25]),
     "CompiledSum([0.5 * (y(0)), -2.25 * (y(1))])"),
    # Values that are integers but not the host's plain ints are written as plain ints.
    ("numpy-ints", lambda: Sum(y, i=[np.int64(0), np.int64(2)]),
     "CompiledSum([y(i) for i in [0, 2]])"),
    ("numpy-array", lambda: Sum(y, i=np.arange(3)), "CompiledSum([y(i) for i in [0, 1, 2]])"),
    ("numpy-array-list", lambda: Sum(y, i=list(np.arange(2, 4))),
     "CompiledSum([y(i) for i in [2, 3]])"),
    ("bools-and-ints", lambda: Sum(y, i=(True, 3, np.uint8(4))),
     "CompiledSum([y(i) for i in [1, 3, 4]])"),
    ("empty-array", lambda: Sum(y, i=np.array([], dtype=np.int64)),
     "CompiledSum([y(i) for i in []])"),
    ("plain-tuple", lambda: Sum(y, i=(0, 2)), "CompiledSum([y(i) for i in (0, 2)])"),
]


@pytest.mark.parametrize("build, text", [c[1:] for c in CONSTRUCTED],
                         ids=[c[0] for c in CONSTRUCTED])
def test_constructor_texts(build, text, log_sink):
    e = build()
    assert str(e) == text and e.lo is None and e.hi is None
    assert log_sink.calls == []


def test_sums_nested_in_a_loop_keep_every_text():
    # Each sum holds the one before; the last one's text is all of them in order.
    s, text = SumIt([y0]), "CompiledSum([y(0)])"
    for k in range(300):
        s = SumIt([s, k * y1])
        text = f"CompiledSum([{text}, {k} * (y(1))])"
    assert str(s) == text


def test_freed_expressions_leave_nothing_to_new_ones():
    # Expressions are made and freed by the million: a new one must not show anything of one
    # freed before it (attributes, weak references).
    for make in (lambda: 2 * y0, lambda: LinearVariableProxy("y(3)"), lambda: y0 + y1):
        check_freed_leave_nothing(make, lambda f: f.lo is None and f.hi is None)


def test_bounded_sum_is_plain():
    e = Sum(y, i=range(3)) <= 10
    assert type(e) is LinearExpression and e.hi == 10
    assert str(e) == "CompiledSum([y(i) for i in range(0, 3)])"


def test_empty_sequence_warns(log_sink):
    e = SumIt([])
    assert str(e) == "CompiledSum([])"
    assert [(m, lv.name) for m, lv in log_sink.calls] == [(EMPTY, "warning")]


CONSTRUCTOR_REFUSALS = [
    ("sum-number", lambda: Sum(3), TypeError, SUM_OPERAND),
    ("sum-numeric", lambda: Sum(CompiledLinearExpression(coo_array(([1], ([0], [0]))))),
     TypeError, SUM_OPERAND),
    ("sum-bounded", lambda: Sum(y <= 10, i=range(3)), FormulaError, BOUNDED),
    ("sumit-generator", lambda: SumIt(y0 for _ in range(2)), TypeError, NOT_SEQUENCE),
    ("sumit-array", lambda: SumIt(np.array([1])), TypeError, NOT_SEQUENCE),
    ("sumit-dict", lambda: SumIt({1: y0}), TypeError, NOT_SEQUENCE),
    ("sumit-number-item", lambda: SumIt([y0, 3]), TypeError, ITEMS),
    ("sumit-bounded-first", lambda: SumIt([y0 <= 1, 3]), FormulaError, BOUNDED),
    ("sumit-text", lambda: SumIt("ab"), TypeError, ITEMS),
]


@pytest.mark.parametrize("build, exc, msg", [c[1:] for c in CONSTRUCTOR_REFUSALS],
                         ids=[c[0] for c in CONSTRUCTOR_REFUSALS])
def test_constructor_refusals(build, exc, msg, log_sink):
    with pytest.raises(exc) as err:
        build()
    assert type(err.value) is exc and str(err.value) == msg
    assert errors(log_sink) == [msg]


def test_sumit_of_a_set_fails_in_the_host():
    with pytest.raises(TypeError):
        SumIt({y0})


@pytest.mark.parametrize("call", [lambda: Sum(y, expression=y), lambda: Sum(i=[1]),
                                  lambda: Sum(y, y), lambda: Sum(y, self=1)],
                         ids=["operand-twice", "no-operand", "two-positional", "self-keyword"])
def test_sum_argument_binding(call, log_sink):
    with pytest.raises(TypeError):
        call()
    assert log_sink.calls == []


# ------------------------------------------------------------------------------------------------
# Meaning: texts evaluated as the linear model evaluates them, over unit expressions of known
# columns, give the polynomial the operators stand for.

class Block:
    """A variable block as an evaluated reference text calls it: first column plus strides."""

    def __init__(self, first, shifts):
        self.first, self.shifts = first, shifts

    def __call__(self, *items):
        g = self.first + sum(s * i for s, i in zip(self.shifts, items))
        return CompiledLinearExpression(coo_array(([1], ([g], [0]))))


# x: 2 x 3 block at columns 0..5, y: 4 elements at columns 6..9.
NAMESPACE = {"CompiledSum": CompiledSum, "x": Block(0, [3, 1]), "y": Block(6, [1])}
N_COLUMNS = 10


def evaluate(text, **bound):
    return eval(text, {**NAMESPACE, **bound})


def value_of(e, v):
    value = float(e.constant)
    for g, c in zip(e.linear_coefficients_indexes.tolist(), e.linear_coefficients.tolist()):
        value += c * v[g]
    q = e.quadratic_coefficients
    if q is not None:
        q = q.copy()
        q.resize((N_COLUMNS, N_COLUMNS))
        value += 0.5 * float(np.asarray(v) @ q.toarray() @ np.asarray(v))
    return value


def leaf(rng):
    if rng.random() < 0.5:
        i, j = rng.randrange(2), rng.randrange(3)
        return LinearVariableProxy(f"x({i},{j})"), lambda v: v[3 * i + j], 1
    k = rng.randrange(4)
    return LinearVariableProxy(f"y({k})"), lambda v: v[6 + k], 1


NUMBERS = [0, 1, -1, 2, 3, 0.5, -2.5, True]


def random_text(rng, depth):
    """A text expression, the function it stands for, and its degree."""
    if depth == 0 or rng.random() < 0.2:
        return leaf(rng)
    op = rng.choice(["add", "sub", "mul", "addn", "subn", "rsub", "muln", "rmuln", "radd",
                     "neg", "pos", "sum", "sumit"])
    a, fa, da = random_text(rng, depth - 1)
    k = rng.choice(NUMBERS)
    if op == "addn":
        return a + k, lambda v: fa(v) + k, da
    if op == "radd":
        return k + a, lambda v: k + fa(v), da
    if op == "subn":
        return a - k, lambda v: fa(v) - k, da
    if op == "rsub":
        return k - a, lambda v: k - fa(v), da
    if op == "muln":
        return a * k, lambda v: fa(v) * k, da
    if op == "rmuln":
        return k * a, lambda v: k * fa(v), da
    if op == "neg":
        return -a, lambda v: -fa(v), da
    if op == "pos":
        return +a, fa, da
    if op == "sum":
        # Sum over an index that the operand uses through a shifted y reference.
        term = LinearVariableProxy("y(i + 1)") * k + a
        return (Sum(term, i=range(3)),
                lambda v: sum(k * v[6 + i + 1] + fa(v) for i in range(3)), da)
    b, fb, db = random_text(rng, depth - 1)
    if op == "sumit":
        return SumIt([a, b]), lambda v: fa(v) + fb(v), max(da, db)
    if op == "add":
        return a + b, lambda v: fa(v) + fb(v), max(da, db)
    if op == "sub":
        return a - b, lambda v: fa(v) - fb(v), max(da, db)
    if da + db <= 2 and da <= 1 and db <= 1:
        return a * b, lambda v: fa(v) * fb(v), da + db
    return a + b, lambda v: fa(v) + fb(v), max(da, db)


def test_texts_by_meaning():
    seed = fresh_seed()
    rng = random.Random(seed)
    for _ in range(300):
        text, f, _ = random_text(rng, 4)
        e = evaluate(str(text))
        assert isinstance(e, CompiledLinearExpression)
        for _ in range(3):
            v = [rng.uniform(-2, 2) for _ in range(N_COLUMNS)]
            assert value_of(e, v) == pytest.approx(f(v), rel=1e-9, abs=1e-9)


def test_sum_texts_evaluate_as_sums():
    e = evaluate(str(Sum(2 * LinearVariableProxy("x(i,j)"), i=range(2), j=[0, 2])))
    assert dict(zip(e.linear_coefficients_indexes.tolist(), e.linear_coefficients.tolist())) == {
        0: 2, 2: 2, 3: 2, 5: 2}
    e = evaluate(str(Sum(y0, i=range(3))))
    assert e.linear_coefficients.sum() == 3
    nested = Sum(Sum(LinearVariableProxy("x(i,j)"), j=range(3)), i=range(2))
    e = evaluate(str(nested))
    assert sorted(e.linear_coefficients_indexes.tolist()) == list(range(6))


def test_constraint_wrapping_binds_free_indexes():
    # The constraint intake writes "[" text " " for-all clauses "]".
    text = Sum(LinearVariableProxy("x(i,j)"), j=range(3)) - LinearVariableProxy("y(i)")
    rows = evaluate("[" + format(text, "") + " for i in range(2)]")
    assert [sorted(zip(r.linear_coefficients_indexes.tolist(), r.linear_coefficients.tolist()))
            for r in rows] == [[(0, 1), (1, 1), (2, 1), (6, -1)], [(3, 1), (4, 1), (5, 1), (7, -1)]]


@pytest.mark.parametrize("expr", [Sum(LinearVariableProxy("y(i)"), i=[]), SumIt([])],
                         ids=["empty-range", "empty-sequence"])
def test_empty_sums_evaluate_to_zero(expr, log_sink):
    e = evaluate(str(expr))
    assert e.constant == 0 and e.linear_coefficients_indexes.tolist() == []
    total = evaluate(str(expr + y0))
    assert total.linear_coefficients_indexes.tolist() == [6]


# ------------------------------------------------------------------------------------------------
# Meaning through the model: random binary programs over texts built with the operators and
# constructors (empty sums included), solved, and their optimum compared with brute force.

def test_random_programs_solve_to_the_brute_force_optimum():
    import itertools

    from zk_encoder import LinearModel, SolutionStatus, VariableType

    seed = fresh_seed()
    rng = random.Random(seed)
    points = [list(p) for p in itertools.product((0, 1), repeat=N_COLUMNS)]
    for _ in range(15):
        model = LinearModel()
        model.get_variables("x", VariableType.BINARY, r=2, c=3)
        model.get_variables("y", VariableType.BINARY, n=4)
        feasible_point = rng.choice(points)
        rows = []
        while len(rows) < 3:
            text, f, degree = random_text(rng, 3)
            if degree > 1:
                continue
            if rng.random() < 0.3:
                text = text + SumIt([]) - Sum(LinearVariableProxy("y(i)"), i=[])
            value = f(feasible_point)
            lo, hi = value - rng.choice([0, 0.5, 2]), value + rng.choice([0, 0.5, 2])
            model.add_constraint(text, lo=lo, hi=hi)
            rows.append((f, lo, hi))
        target, g, degree = random_text(rng, 3)
        while degree > 1:
            target, g, degree = random_text(rng, 3)
        model.add_target(target, minimization=True)
        assert model.solve() is SolutionStatus.OPTIMAL
        tolerance = 1e-6
        best = min(g(p) for p in points
                   if all(lo - tolerance <= f(p) <= hi + tolerance for f, lo, hi in rows))
        # The objective carries no constant: the model sets only the column costs.
        assert model.objective_value == pytest.approx(best - g([0] * N_COLUMNS), abs=1e-6)


# ------------------------------------------------------------------------------------------------
# Look-ups a program can redirect: the texts follow an instance attribute, a subclass's method or
# a text that is not a string exactly as the host's method calls would.

class OwnText(LinearExpression):
    def __str__(self):
        return "own"


class OwnFormat(LinearExpression):
    def __format__(self, spec):
        return "formatted"


class OwnProduct(LinearExpression):
    def __mul__(self, other):
        return "own product"


def with_check(calls):
    e = LinearExpression("e")
    e._check_borders = lambda: calls.append("checked")
    return e


REDIRECTED = [  # (id, build, text, whether the instance's own bound check ran)
    ("subclass str, operand", lambda c: x + OwnText("t"), "x(i) + own", False),
    ("subclass str, receiver", lambda c: OwnText("t") + 1, "own + 1", False),
    ("subclass str, SumIt item", lambda c: SumIt([OwnText("t")]), "CompiledSum([own])", False),
    ("subclass format, operand", lambda c: x - OwnFormat("t"), "x(i) - (formatted)", False),
    ("subclass format, SumIt item", lambda c: SumIt([OwnFormat("t")]), "CompiledSum([t])", False),
    ("subclass product, reflected", lambda c: 2 * OwnProduct("t"), "own product", False),
    ("instance check, operand", lambda c: x + with_check(c), "x(i) + e", True),
    ("instance check, receiver", lambda c: with_check(c) * 3, "3 * (e)", True),
    ("instance check, Sum", lambda c: Sum(with_check(c), i=[1]), "CompiledSum([e for i in [1]])",
     True),
    ("instance check, SumIt item", lambda c: SumIt([2 * x, with_check(c), x]),
     "CompiledSum([2 * (x(i)), e, x(i)])", True),
]


@pytest.mark.parametrize("build,text,checked", [c[1:] for c in REDIRECTED],
                         ids=[c[0] for c in REDIRECTED])
def test_texts_follow_redirected_lookups(build, text, checked):
    calls = []
    assert str(build(calls)) == text
    assert calls == (["checked"] if checked else [])


@pytest.mark.parametrize("build", [lambda e: x + e, lambda e: e + 1, lambda e: SumIt([e])],
                         ids=["operand", "receiver", "SumIt item"])
def test_a_text_that_is_not_a_string_fails_as_str_does(build):
    with pytest.raises(TypeError, match="__str__ returned non-string"):
        build(LinearExpression(5))


# ------------------------------------------------------------------------------------------------
# What the host's cycle collection sees, and texts kept unwritten.

class Sentinel:
    """Records its own end: an object held only through a cycle ends only when the host's cycle
    collection finds that cycle."""

    ended = 0

    def __del__(self):
        Sentinel.ended += 1


def built_expressions():
    from zk_encoder.linear_parser.linear_model import LinearModel, VariableType
    m = LinearModel()
    v = m.get_variables("v", VariableType.REAL, i=4)
    return {
        "element": lambda: v[1], "product": lambda: 2.5 * v[1], "sum": lambda: v[0] + v[1] * 3,
        "difference": lambda: 3 - v[2], "negation": lambda: -v[0], "bounded": lambda: v[0] <= 3,
        "SumIt": lambda: SumIt([v[0], 2 * v[1]]), "Sum": lambda: Sum(v[0], i=range(2)),
        "placeholder": lambda: v["i"] * 2,
    }


@pytest.mark.parametrize("kind", list(built_expressions()))
def test_expressions_holding_no_references_are_not_collected_but_their_cycles_are(kind):
    import gc
    e = built_expressions()[kind]()
    # A million products kept in a list would otherwise be walked at every collection.
    assert not gc.is_tracked(e)
    for close_cycle in (lambda o: setattr(o, "me", o), lambda o: o.__dict__.update(me=o),
                        lambda o: vars(o).setdefault("me", o)):
        o = built_expressions()[kind]()
        close_cycle(o)
        assert gc.is_tracked(o)
        o.sentinel = Sentinel()
        before = Sentinel.ended
        del o
        gc.collect()
        assert Sentinel.ended == before + 1


def test_a_bound_that_can_refer_back_keeps_the_expression_collected():
    import gc
    assert not gc.is_tracked(y0 <= 3)
    assert gc.is_tracked(y0 <= fractions.Fraction(1, 2))
    e = LinearExpression("a")
    e._expression = e
    assert gc.is_tracked(e)


def test_long_sums_are_written_and_freed_without_recursion():
    from zk_encoder.linear_parser.linear_model import LinearModel, VariableType
    m = LinearModel()
    v = m.get_variables("v", VariableType.REAL, i=3)
    e = v[0]
    n = 200_000
    for k in range(n):
        e = e + v[k % 3] * 2
    text = str(e)
    assert text.startswith("v(0) + 2 * (v(0)) + 2 * (v(1)) + ") and text.count(" + ") == n
    assert e._expression is e._expression  # written once
    f = -e
    del e
    assert str(f) == "-(" + text + ")"
    del f


def test_a_replaced_text_is_the_expression():
    from zk_encoder.linear_parser.linear_model import LinearModel, VariableType
    m = LinearModel()
    v = m.get_variables("v", VariableType.REAL, lo=0, hi=5, i=3)
    e = v[0] + v[1]
    e._expression = "v(2)"
    assert str(e * 2) == "2 * (v(2))"
    m.add_target(e * 2, False)
    m.add_constraint(e * 2 <= 3)
    m.solve()
    assert m.get_result("v")[2] == 1.5 and m.objective_value == 3


@pytest.mark.parametrize("k,written", [
    (3, "3"), (-7, "-7"), (0, "0"), (True, "1"), (np.int64(5), "5"), (2**63, str(2**63)),
    (-(2**63), str(-(2**63))), (2**70, str(2**70)), (2.5, "2.5"), (np.float32(0.1), str(0.1))],
    ids=["int", "negative", "zero", "truth", "numpy int", "past int64", "int64 min", "wide",
         "float", "numpy float"])
@pytest.mark.parametrize("operand", [LinearVariableProxy("x(0,1)"), LinearVariableProxy("\udc80"),
                                     LinearExpression("a + b"), LinearVariableProxy("\u03b2(1)"),
                                     LinearVariableProxy("\U0001d465(2)")],
                         ids=["element", "surrogate", "sum text", "non-ascii", "astral"])
def test_products_read_as_their_template_however_they_are_kept(k, written, operand):
    if isinstance(k, np.float32):
        written = str(float(k))
    for e in (k * operand, operand * k):
        assert str(e) == e._expression == format(e, "") == f"{written} * ({operand._expression})"
        assert type(e) is LinearExpression and e.lo is None and e.hi is None
