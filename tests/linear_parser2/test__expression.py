"""Numeric rows and blocks of rows of the second linear generation: every result is judged against
the same computation on dense numpy arrays, and by its value at random points."""

import copy
import fractions
import gc
import json
import pickle
import subprocess
import sys
import textwrap
import typing
import weakref

import numpy as np
import pytest
from scipy.sparse import csc_array, csr_array

from zk_encoder import _exceptions
from zk_encoder.core import zk_logger
from zk_encoder.linear_parser2 import _expression as E
from zk_encoder.linear_parser2._expression import (
    LinearExpression, LinearExpressionsArr, dot, sumexp)
from support.arrays import same_bits, same_number, same_sparse
from support.seeds import fresh_seed

FormulaError = _exceptions.FormulaError
N = 7  # row width of the hand-made cases

ROW_BOUNDED = "Operations with expressions with defined boundaries are not allowed."
ROW_TYPE = "Type 'float', 'int' or 'LinearExpression' is expected for left side of expression"
QUADRATIC = "Creating a quadratic expression is only available for linear expressions"
HAS_BOUNDARY = "The expression already has one of the boundaries set."
ROW_HAS_LOWER = "The expression already has a lower bound set."
ROW_HAS_UPPER = "The expression already has a upper bound set."
BLOCK_HAS_LOWER = "The expression already has a lower bounds set."
BLOCK_HAS_UPPER = "The expression already has a upper bounds set."
BORDER_SIZE = "The size of the border must match the number of constraints."
ELEMENT_COUNT = "Expression smust have the same number of elements."
BLOCK_TYPE = "Type 'float', 'int' or 'LinearExpressionsArr' is expected for left side of expression"
FACTOR_TYPE = "Type 'float' or 'int' is expected for left side of expression"
CONSTANTS_LENGTH = "constants and linear_coeffients must have the same number of elements."
BLOCK_NOT_CSR = "Linear coefficients must be a csr array with 2 dimensions."
ROW_NOT_CSR = "Linear coefficients must be a csr array"
CONSTANT = "Constant must be a float or int number"
QUAD_NOT_CSC = "Quadratic coefficients must be a csc array"
DOT_ARGS = "One of the arguments must be of type 'LinearExpressionsArr', the other 'np.ndarray'"
TRUTH = ("An expression with defined boundaries has no truth value: state each bound with its own "
         "comparison, without chained comparisons or '!='")


# ------------------------------------------------------------------------------------------------
# Helpers: rows as indexing makes them, dense views, values at points.

def seeded_rng():
    """A numpy generator with a fresh seed, printed (pytest shows it with a failure)."""
    seed = fresh_seed()
    return np.random.default_rng(seed)


def unit(col, n=N, dtype=np.float64):
    """The row of one variable, as indexing a variable array makes it."""
    return LinearExpression(
        linear_coefficients=csr_array(((dtype(1),), ((col,),)), shape=(n,)))


def units(cols, n=N, dtype=np.float64):
    """The block of the given variables, as indexing a variable array makes it."""
    cols = np.asarray(cols, dtype=np.int32)
    k = cols.size
    m = csr_array((np.ones((k,), dtype=dtype), (np.arange(k, dtype=np.int32), cols)), shape=(k, n))
    return LinearExpressionsArr(linear_coefficients=m, is_init=True)


def dense_row(r):
    q = r.quadratic_coefficients
    n = r.linear_coefficients.shape[0]
    return (r.linear_coefficients.toarray(), r.constant,
            np.zeros((n, n)) if q is None else q.toarray())


def row_value(r, x):
    a, c, q = dense_row(r)
    return c + a @ x + x @ q @ x


def errors_logged(sink):
    return [msg for msg, level in sink.calls if level.name == "error"]


def check_refusal(sink, call, exc_type, message):
    with pytest.raises(exc_type) as info:
        call()
    assert type(info.value) is exc_type
    assert info.value.args == (message,)
    assert errors_logged(sink) == [message]


@pytest.fixture
def debug(monkeypatch):
    """The module's checks switched on, as a non-empty DEBUG_SOLVER_MODE at import does."""
    monkeypatch.setattr(E, "DEBUG", "1")


# Random rows and blocks with small integer entries, so that float arithmetic is exact.

def random_row(rng, n, quadratic=False):
    k = int(rng.integers(0, n + 1))
    cols = rng.choice(n, size=k, replace=False)
    a = np.zeros(n)
    a[cols] = rng.integers(-4, 5, size=k)
    c = float(rng.integers(-4, 5))
    q = None
    if quadratic:
        dense = np.where(rng.random((n, n)) < 0.3, rng.integers(-3, 4, size=(n, n)), 0) * 0.5
        q = csc_array(dense + dense.T)
    row = LinearExpression(csr_array((a[cols], (cols,)), shape=(n,)), c, q)
    return row


def random_block(rng, k, n, dtype=np.float64, canonical=True):
    """A block with up to three stored values per row; non-canonical ones hold unsorted and
    repeated columns, as a caller's own csr arrays may."""
    counts = rng.integers(0, 4, size=k)
    indptr = np.concatenate([[0], np.cumsum(counts)]).astype(np.int32)
    indices = rng.integers(0, n, size=indptr[-1]).astype(np.int32)
    data = rng.integers(-4, 5, size=indptr[-1]).astype(dtype)
    m = csr_array((data, indices, indptr), shape=(k, n))
    if canonical:
        m.sum_duplicates()
    constants = rng.integers(-4, 5, size=k).astype(dtype)
    return LinearExpressionsArr(m, constants, is_init=bool(rng.integers(0, 2)))


def dense_block(b):
    return b.linear_coefficients.toarray(), np.asarray(b.constants)


def snapshot(*objs):
    """Copies of every array inside the given sparse arrays and numpy arrays."""
    out = []
    for o in objs:
        if o is None:
            continue
        for name in ("data", "indices", "indptr"):
            if hasattr(o, name) and not isinstance(o, np.ndarray):
                out.append((id(o), name, getattr(o, name).copy()))
        if isinstance(o, np.ndarray):
            out.append((id(o), "array", o.copy()))
    return out


def unchanged(snap, *objs):
    now = snapshot(*objs)
    return len(now) == len(snap) and all(
        a[0] == b[0] and a[1] == b[1] and a[2].dtype == b[2].dtype and same_bits(a[2], b[2])
        for a, b in zip(snap, now))


def row_arrays(r):
    return (r.linear_coefficients, r.quadratic_coefficients)


def block_arrays(b):
    return (b.linear_coefficients, b.constants, b.lower_bounds, b.upper_bounds)


# ------------------------------------------------------------------------------------------------
# Module surface.

def test_module_binds_its_imports_and_names():
    import os
    from numbers import Integral, Real
    from scipy import sparse
    assert E.__doc__ is None and not hasattr(E, "__all__")
    assert E.os is os and E.Real is Real and E.Integral is Integral
    assert E.Union is typing.Union and E.Optional is typing.Optional and E.Any is typing.Any
    assert E.np is np and E.csr_array is sparse.csr_array and E.csc_array is sparse.csc_array
    for name in ("logging", "se", "log_c", "log_e", "log_w", "log_i", "log_d", "log_t"):
        assert getattr(E, name) is getattr(zk_logger, name)
    assert E.FormulaError is FormulaError
    assert E._CoefType == typing.Union[Integral, Real, np.integer, np.floating]
    assert E._CoefType.__args__ == (Integral, Real, np.integer, np.floating)
    assert E.annotations.compiler_flag  # the __future__ feature itself


NUMBERS = [
    # value, whether it is an instance of _CoefType, the constant of `row + value` (the plain
    # number it stands for) or the refusal
    ("int", 3, True, 3.0), ("bool", True, True, 1.0), ("float", 2.5, True, 2.5),
    ("np.int32", np.int32(2), True, 2.0), ("np.uint8", np.uint8(2), True, 2.0),
    ("np.float32", np.float32(1.5), True, 1.5), ("np.float64", np.float64(1.5), True, 1.5),
    ("fraction", fractions.Fraction(1, 3), True, 1 / 3), ("np.bool_", np.bool_(True), False, 1.0),
    ("inf", float("inf"), True, (ValueError, "Constant must be a finite number, not inf")),
    ("nan", float("nan"), True, (ValueError, "Constant must be a finite number, not nan")),
    ("complex", 1j, False, (TypeError, ROW_TYPE)),
    ("decimal", __import__("decimal").Decimal(1), False, (TypeError, ROW_TYPE)),
    ("0-d array", np.array(1.0), False, (TypeError, ROW_TYPE)),
    ("text", "1", False, (TypeError, ROW_TYPE)), ("none", None, False, (TypeError, ROW_TYPE)),
    ("list", [1], False, (TypeError, ROW_TYPE)),
]


@pytest.mark.parametrize("value,coef_type,outcome", [c[1:] for c in NUMBERS],
                         ids=[c[0] for c in NUMBERS])
def test_numbers_are_read_as_the_plain_numbers_they_stand_for(log_sink, value, coef_type, outcome):
    assert isinstance(value, E._CoefType) is coef_type
    # A number moves the constant by its plain value; anything else is refused as an operand.
    row = unit(0)
    if isinstance(outcome, tuple):
        check_refusal(log_sink, lambda: row + value, *outcome)
    else:
        got = (row + value).constant
        assert got == outcome and type(got) is float


def test_classes_show_their_documented_surface():
    assert LinearExpression.__doc__ == "An expression specifying a single row of the constraint matrix"
    assert (LinearExpressionsArr.__doc__
            == "An expression defining several rows of the constraint matrix")
    row_names = ["__init__", "constant", "linear_coefficients", "quadratic_coefficients",
                 "lower_bound", "upper_bound", "__add__", "__radd__", "__sub__", "__rsub__",
                 "__mul__", "__rmul__", "__eq__", "__ge__", "__le__"]
    block_names = ["__init__", "num_constraints", "constants", "linear_coefficients",
                   "lower_bounds", "upper_bounds", "__add__", "__radd__", "__sub__", "__rsub__",
                   "__mul__", "__rmul__", "__eq__", "__ge__", "__le__", "sum", "dot"]
    for cls, names in ((LinearExpression, row_names), (LinearExpressionsArr, block_names)):
        own = [n for n in vars(cls) if n in names]
        assert own == names
        assert vars(cls)["__radd__"] is vars(cls)["__add__"]
        assert vars(cls)["__rmul__"] is vars(cls)["__mul__"]
        assert vars(cls)["__rsub__"] is not vars(cls)["__sub__"]
        assert cls.__hash__ is None
        assert cls.__bases__ == (object,)


@pytest.mark.parametrize("make", [lambda: unit(1), lambda: units([1, 2])], ids=["row", "block"])
@pytest.mark.parametrize("op", [
    lambda e: -e, lambda e: e / 2, lambda e: e < 1, lambda e: e > 1, lambda e: hash(e),
    lambda e: {e}, lambda e: e ** 2,
], ids=["neg", "div", "lt", "gt", "hash", "set", "pow"])
def test_operations_the_classes_do_not_define_are_the_hosts_type_errors(make, op, log_sink):
    with pytest.raises(TypeError):
        op(make())
    assert log_sink.calls == []


# ------------------------------------------------------------------------------------------------
# Row construction.

def test_row_keeps_its_arguments_exactly_as_given():
    lin = csr_array(([2.0], ([3],)), shape=(N,))
    q = csc_array(np.eye(N))
    r = LinearExpression(lin, 4, q, 1, 9)
    assert r.linear_coefficients is lin and r._linear_coefficients is lin
    assert r.quadratic_coefficients is q and r.constant == 4 and type(r.constant) is int
    assert (r.lower_bound, r.upper_bound) == (1, 9)
    d = LinearExpression(linear_coefficients=lin)
    assert type(d.constant) is float and d.constant == 0.0
    assert d.quadratic_coefficients is None and d.lower_bound is None and d.upper_bound is None
    for name in ("constant", "linear_coefficients", "quadratic_coefficients", "lower_bound",
                 "upper_bound"):
        with pytest.raises(AttributeError):
            setattr(r, name, 1)


def test_row_tests_nothing_with_the_checks_off(log_sink):
    assert not E.DEBUG
    r = LinearExpression(np.array([1.0, 2.0]), "text", "q")
    assert r.constant == "text" and r.quadratic_coefficients == "q"
    assert log_sink.calls == []


ROW_DEBUG_CASES = [
    ("dense-coefficients", lambda: LinearExpression(np.zeros(N)), ROW_NOT_CSR),
    ("csc-coefficients", lambda: LinearExpression(csc_array(np.eye(2))), ROW_NOT_CSR),
    ("text-constant", lambda: LinearExpression(csr_array(np.zeros(N)), "1"), CONSTANT),
    ("complex-constant", lambda: LinearExpression(csr_array(np.zeros(N)), 1j), CONSTANT),
    ("array-constant", lambda: LinearExpression(csr_array(np.zeros(N)), np.array(1.0)), CONSTANT),
    ("csr-quadratic", lambda: LinearExpression(csr_array(np.zeros(N)), 0, csr_array(np.eye(N))),
     QUAD_NOT_CSC),
    ("first-test-wins", lambda: LinearExpression(np.zeros(N), "1", "q"), ROW_NOT_CSR),
]


@pytest.mark.parametrize("build,message", [c[1:] for c in ROW_DEBUG_CASES],
                         ids=[c[0] for c in ROW_DEBUG_CASES])
def test_row_checks_with_debug(debug, log_sink, build, message):
    check_refusal(log_sink, build, TypeError, message)


@pytest.mark.parametrize("build", [
    lambda: LinearExpression(csr_array(np.zeros(N)), True),
    lambda: LinearExpression(csr_array(np.eye(2)), np.float32(1)),
    lambda: LinearExpression(csr_array(np.zeros(N)), 1, csc_array(np.eye(N)), "lo", "hi"),
], ids=["bool-constant", "2d-coefficients", "bounds-untested"])
def test_row_checks_pass_what_they_do_not_test(debug, log_sink, build):
    build()
    assert log_sink.calls == []


def test_results_are_checked_by_the_constructor(monkeypatch, log_sink):
    row = LinearExpression(np.zeros(N))  # stored unchecked while the checks are off
    monkeypatch.setattr(E, "DEBUG", "yes")
    check_refusal(log_sink, lambda: row + 1, TypeError, ROW_NOT_CSR)


# ------------------------------------------------------------------------------------------------
# Row arithmetic by meaning.

@pytest.mark.parametrize("seed", range(12))
def test_row_arithmetic_matches_dense_numpy(seed):
    print("seed", seed)
    rng = np.random.default_rng(seed)
    n = int(rng.integers(1, 9))
    p, q = random_row(rng, n), random_row(rng, n)
    pq, qq = random_row(rng, n, quadratic=True), random_row(rng, n, quadratic=True)
    numbers_ = [int(rng.integers(-5, 6)), float(rng.integers(-5, 6)) / 2,
                np.int32(rng.integers(-5, 6)), np.float64(rng.integers(-5, 6)), True]
    cases = []
    for v in numbers_:
        for r in (p, pq):
            cases += [(r + v, lambda x, r=r, v=v: row_value(r, x) + v),
                      (v + r, lambda x, r=r, v=v: row_value(r, x) + v),
                      (r - v, lambda x, r=r, v=v: row_value(r, x) - v),
                      (v - r, lambda x, r=r, v=v: v - row_value(r, x)),
                      (r * v, lambda x, r=r, v=v: row_value(r, x) * v),
                      (v * r, lambda x, r=r, v=v: row_value(r, x) * v)]
    pairs = [(p, q), (p, pq), (pq, p), (pq, qq), (q, q)]
    for a, b in pairs:
        cases += [(a + b, lambda x, a=a, b=b: row_value(a, x) + row_value(b, x)),
                  (a - b, lambda x, a=a, b=b: row_value(a, x) - row_value(b, x)),
                  (a.__rsub__(b), lambda x, a=a, b=b: row_value(b, x) - row_value(a, x))]
    cases += [(p * q, lambda x: row_value(p, x) * row_value(q, x)),
              (q * q, lambda x: row_value(q, x) ** 2),
              ((p * q) * 3 - pq, lambda x: 3 * row_value(p, x) * row_value(q, x) - row_value(pq, x)),
              (sum([p, q, pq]), lambda x: row_value(p, x) + row_value(q, x) + row_value(pq, x))]
    points = rng.integers(-3, 4, size=(6, n)).astype(float)
    for result, expected in cases:
        assert type(result) is LinearExpression
        assert result.lower_bound is None and result.upper_bound is None
        lin = result.linear_coefficients
        assert isinstance(lin, csr_array) and lin.shape == (n,)
        qd = result.quadratic_coefficients
        assert qd is None or (isinstance(qd, csc_array) and qd.shape == (n, n))
        for x in points:
            assert row_value(result, x) == pytest.approx(expected(x))


def test_product_of_rows_in_coefficients():
    """(x0 + 2)(x1 + 3): constant 6, coefficients 3 and 2, and 0.5 in both off-diagonal cells of
    the symmetric quadratic matrix."""
    r = (unit(0) + 2) * (unit(1) + 3)
    a, c, q = dense_row(r)
    assert c == 6.0
    assert a.tolist() == [3, 2, 0, 0, 0, 0, 0]
    expected = np.zeros((N, N))
    expected[0, 1] = expected[1, 0] = 0.5
    assert same_bits(q, expected)
    assert isinstance(r.quadratic_coefficients, csc_array)
    sq = dense_row(unit(0) * unit(0))[2]
    assert sq[0, 0] == 1 and np.count_nonzero(sq) == 1


@pytest.mark.parametrize("seed", range(6))
def test_row_product_coefficients_match_dense_formula(seed):
    print("seed", seed)
    rng = np.random.default_rng(100 + seed)
    n = int(rng.integers(1, 8))
    p, q = random_row(rng, n), random_row(rng, n)
    a, ca, _ = dense_row(p)
    b, cb, _ = dense_row(q)
    r = p * q
    ra, rc, rq = dense_row(r)
    assert rc == ca * cb
    assert same_bits(ra, a * cb + b * ca)
    outer = np.outer(a, b)
    assert np.allclose(rq, 0.5 * (outer + outer.T))


def test_number_arithmetic_of_a_row():
    x0 = unit(0)
    r = 5 - x0
    assert r.constant == 5 and dense_row(r)[0][0] == -1
    r = x0 - 5
    assert r.constant == -5 and dense_row(r)[0][0] == 1
    quad = unit(1) * unit(2)
    diff = unit(0) - quad
    # By value: the dense negation writes -0.0 where the sparse result stores nothing.
    assert np.array_equal(dense_row(diff)[2], -dense_row(quad)[2])
    assert same_bits(dense_row(quad * 2)[2], 2 * dense_row(quad)[2])


@pytest.mark.parametrize("lhs,rhs", [
    (lambda: unit(0) * unit(1), lambda: unit(2)),
    (lambda: unit(2), lambda: unit(0) * unit(1)),
], ids=["quadratic-left", "quadratic-right"])
def test_product_with_a_quadratic_row_is_refused(log_sink, lhs, rhs):
    a, b = lhs(), rhs()
    snap = snapshot(*row_arrays(a), *row_arrays(b))
    check_refusal(log_sink, lambda: a * b, ValueError, QUADRATIC)
    assert unchanged(snap, *row_arrays(a), *row_arrays(b))


# Sharing: which arrays a result takes over from its operands.
def _share_cases():
    lin_only = unit(0) + 1
    quad = unit(1) * unit(2) + 1
    other = unit(3) + 2
    return lin_only, quad, other


SHARING = [
    # name, build(lin_only, quad, other) -> (result, operand), linear shared, quadratic shared
    ("row+number", lambda l, q, o: (q + 2, q), True, True),
    ("number+row", lambda l, q, o: (2 + q, q), True, True),
    ("row-number", lambda l, q, o: (q - 2, q), True, True),
    ("number-row", lambda l, q, o: (2 - q, q), False, False),
    ("row*number", lambda l, q, o: (q * 2, q), False, False),
    ("number*row", lambda l, q, o: (2 * q, q), False, False),
    ("row*one", lambda l, q, o: (q * 1, q), False, False),
    ("quad+linear", lambda l, q, o: (q + o, q), False, True),
    ("linear+quad", lambda l, q, o: (o + q, q), False, True),
    ("quad-linear", lambda l, q, o: (q - o, q), False, True),
    ("linear-quad", lambda l, q, o: (o - q, q), False, False),
    ("eq", lambda l, q, o: (q == 1, q), True, True),
    ("ge", lambda l, q, o: (q >= 1, q), True, True),
    ("le", lambda l, q, o: (q <= 1, q), True, True),
]


@pytest.mark.parametrize("build,lin_shared,quad_shared", [c[1:] for c in SHARING],
                         ids=[c[0] for c in SHARING])
def test_row_results_share_arrays_where_they_are_unchanged(build, lin_shared, quad_shared):
    l, q, o = _share_cases()
    snaps = snapshot(*row_arrays(l), *row_arrays(q), *row_arrays(o))
    result, operand = build(l, q, o)
    assert (result.linear_coefficients is operand.linear_coefficients) is lin_shared
    assert (result.quadratic_coefficients is operand.quadratic_coefficients) is quad_shared
    assert unchanged(snaps, *row_arrays(l), *row_arrays(q), *row_arrays(o))


def test_sum_of_linear_rows_has_no_quadratic_part_and_comparisons_keep_the_constant():
    r = unit(0) + unit(1)
    assert r.quadratic_coefficients is None
    c = r + 2
    b = c == 5
    assert b.constant is c.constant and (b.lower_bound, b.upper_bound) == (5, 5)


# ------------------------------------------------------------------------------------------------
# Row bounds and refusals.

def test_row_comparisons_attach_bounds_and_keep_the_other_side():
    x0 = unit(0)
    assert ((x0 >= 1).lower_bound, (x0 >= 1).upper_bound) == (1, None)
    assert ((x0 <= 5).lower_bound, (x0 <= 5).upper_bound) == (None, 5)
    both = (x0 >= 1) <= 5
    assert (both.lower_bound, both.upper_bound) == (1, 5)
    both = (x0 <= 5) >= 1
    assert (both.lower_bound, both.upper_bound) == (1, 5)
    left = 1 <= x0
    assert (left.lower_bound, left.upper_bound) == (1, None)
    assert ((5 >= x0).lower_bound, (5 >= x0).upper_bound) == (None, 5)
    assert ((3 == x0).lower_bound, (3 == x0).upper_bound) == (3, 3)
    # A bound is a number: anything else could reach the engine only as it came.
    with pytest.raises(TypeError, match="^'==' not supported between instances of "
                                        "'LinearExpression' and 'object'$"):
        x0 == object()


ROW_REFUSALS = [
    ("bounded+number", lambda: (unit(0) >= 1) + 1, FormulaError, ROW_BOUNDED),
    ("number+bounded", lambda: 1 + (unit(0) <= 1), FormulaError, ROW_BOUNDED),
    ("bounded-number", lambda: (unit(0) == 1) - 1, FormulaError, ROW_BOUNDED),
    ("number-bounded", lambda: 1 - (unit(0) == 1), FormulaError, ROW_BOUNDED),
    ("bounded*number", lambda: (unit(0) >= 1) * 2, FormulaError, ROW_BOUNDED),
    ("guard-before-type", lambda: (unit(0) >= 1) * "a", FormulaError, ROW_BOUNDED),
    ("row+bounded", lambda: unit(0) + (unit(1) >= 1), FormulaError, ROW_BOUNDED),
    ("row-bounded", lambda: unit(0) - (unit(1) <= 1), FormulaError, ROW_BOUNDED),
    ("row*bounded", lambda: unit(0) * (unit(1) == 1), FormulaError, ROW_BOUNDED),
    ("rsub-bounded", lambda: unit(0).__rsub__(unit(1) == 1), FormulaError, ROW_BOUNDED),
    ("row+text", lambda: unit(0) + "a", TypeError, ROW_TYPE),
    ("text+row", lambda: "a" + unit(0), TypeError, ROW_TYPE),
    ("row-none", lambda: unit(0) - None, TypeError, ROW_TYPE),
    ("list-row", lambda: [1] - unit(0), TypeError, ROW_TYPE),
    ("row*text", lambda: unit(0) * "a", TypeError, ROW_TYPE),
    ("row*complex", lambda: unit(0) * 1j, TypeError, ROW_TYPE),
    ("row*array", lambda: unit(0) * np.arange(N), TypeError, ROW_TYPE),
    ("row+block", lambda: unit(0) + units([1, 2]), TypeError, ROW_TYPE),
    ("row*block", lambda: unit(0) * units([1, 2]), TypeError, ROW_TYPE),
    ("quad*row", lambda: (unit(0) * unit(1)) * unit(2), ValueError, QUADRATIC),
    ("row*quad", lambda: unit(2) * (unit(0) * unit(1)), ValueError, QUADRATIC),
    ("ge-twice", lambda: (unit(0) >= 1) >= 2, FormulaError, ROW_HAS_LOWER),
    ("le-after-eq", lambda: (unit(0) == 1) <= 2, FormulaError, ROW_HAS_UPPER),
    ("ge-after-eq", lambda: (unit(0) == 1) >= 2, FormulaError, ROW_HAS_LOWER),
    ("eq-after-le", lambda: (unit(0) <= 5) == 3, FormulaError, HAS_BOUNDARY),
    ("eq-after-ge", lambda: (unit(0) >= 5) == 3, FormulaError, HAS_BOUNDARY),
    ("ne-of-bounded", lambda: (unit(0) >= 1) != 2, FormulaError, HAS_BOUNDARY),
    ("chained", lambda: 1 <= unit(0) <= 5, TypeError, TRUTH),
    ("ne", lambda: unit(0) != 1, TypeError, TRUTH),
    ("truth-of-bounded", lambda: bool(unit(0) >= 1), TypeError, TRUTH),
    ("in-list", lambda: unit(0) in [unit(1)], TypeError,
     "'==' not supported between instances of 'LinearExpression' and 'LinearExpression'"),
]


@pytest.mark.parametrize("call,exc_type,message", [c[1:] for c in ROW_REFUSALS],
                         ids=[c[0] for c in ROW_REFUSALS])
def test_row_refusals_are_logged_and_raised(log_sink, call, exc_type, message):
    check_refusal(log_sink, call, exc_type, message)


def test_unbounded_rows_are_true_and_refusals_change_no_operand(log_sink):
    x0 = unit(0) + 1
    assert bool(x0) is True and bool(units([0])) is True
    bounded = x0 >= 1
    snap = snapshot(*row_arrays(x0))
    for call in (lambda: bounded + x0, lambda: x0 + bounded, lambda: bounded >= 2,
                 lambda: x0 * "a"):
        with pytest.raises((FormulaError, TypeError)):
            call()
    assert unchanged(snap, *row_arrays(x0))
    assert (bounded.lower_bound, bounded.upper_bound, bounded.constant) == (1, None, 1.0)
    assert (x0.lower_bound, x0.upper_bound) == (None, None)


def test_rows_of_different_widths_fail_in_the_sparse_library_unlogged(log_sink):
    narrow, wide = unit(0, n=5), unit(0, n=8)
    for call in (lambda: narrow + wide, lambda: narrow - wide, lambda: narrow * wide):
        with pytest.raises(ValueError):
            call()
    assert log_sink.calls == []


def test_rows_with_cycles_are_collected():
    class Holder:
        pass

    h = Holder()
    r = unit(0) == 1
    h.row = r
    r.tag = h  # the attribute dictionary closes the cycle
    ref = weakref.ref(h)
    del h, r
    gc.collect()
    assert ref() is None


# ------------------------------------------------------------------------------------------------
# Block construction.

def test_block_keeps_its_arguments_and_reports_them():
    m = csr_array(np.array([[1.0, 0, 2], [0, 3, 0]]))
    c = np.array([1.0, 2.0])
    lo, hi = np.array([0.0, 0.0]), np.array([5.0, 5.0])
    b = LinearExpressionsArr(m, c, lo, hi, "yes")
    assert b.linear_coefficients is m and b.constants is c
    assert b.lower_bounds is lo and b.upper_bounds is hi and b._is_init == "yes"
    assert b.num_constraints == 2 and type(b.num_constraints) is int
    for name in ("num_constraints", "constants", "linear_coefficients", "lower_bounds",
                 "upper_bounds"):
        with pytest.raises(AttributeError):
            setattr(b, name, 1)


@pytest.mark.parametrize("dtype", [np.float64, np.int32], ids=["float64", "int32"])
def test_default_constants_are_one_zero_per_row(dtype):
    # Two stored values in row 0, none in row 1, one in row 2.
    m = csr_array((np.array([1, 2, 3], dtype=dtype), np.array([0, 4, 2]), np.array([0, 2, 2, 3])),
                  shape=(3, N))
    b = LinearExpressionsArr(m)
    assert b.constants.shape == (3,) and b.constants.dtype == dtype
    assert not b.constants.any() and b.num_constraints == 3
    assert b._is_init is False
    indexed = units([4, 0, 4], dtype=dtype)
    assert indexed.constants.dtype == dtype and indexed.num_constraints == 3


BLOCK_DEBUG_CASES = [
    ("constants-length", lambda: LinearExpressionsArr(csr_array(np.eye(3)), np.zeros(2)),
     FormulaError, CONSTANTS_LENGTH),
    ("length-before-kind", lambda: LinearExpressionsArr(np.eye(3), np.zeros(2)),
     FormulaError, CONSTANTS_LENGTH),
    ("dense-matrix", lambda: LinearExpressionsArr(np.eye(3), np.zeros(3)), TypeError, BLOCK_NOT_CSR),
    ("csc-matrix", lambda: LinearExpressionsArr(csc_array(np.eye(3))), TypeError, BLOCK_NOT_CSR),
    ("1d-csr", lambda: LinearExpressionsArr(csr_array(np.ones(3))), TypeError, BLOCK_NOT_CSR),
    ("list-constants", lambda: LinearExpressionsArr(csr_array(np.eye(2)), [0, 0]),
     TypeError, CONSTANT),
    ("2d-constants", lambda: LinearExpressionsArr(csr_array(np.eye(2)), np.zeros((2, 1))),
     TypeError, CONSTANT),
    ("0d-constants", lambda: LinearExpressionsArr(csr_array(np.eye(2)), np.array(0.0)),
     TypeError, CONSTANT),
    ("number-constants", lambda: LinearExpressionsArr(csr_array(np.eye(2)), 0.0),
     TypeError, CONSTANT),
]


@pytest.mark.parametrize("build,exc_type,message", [c[1:] for c in BLOCK_DEBUG_CASES],
                         ids=[c[0] for c in BLOCK_DEBUG_CASES])
def test_block_checks_with_debug(debug, log_sink, build, exc_type, message):
    check_refusal(log_sink, build, exc_type, message)


def test_block_checks_pass_a_sound_block_and_are_off_without_debug(monkeypatch, log_sink):
    LinearExpressionsArr(csr_array(np.eye(2)), np.zeros(2), None, None, True)
    monkeypatch.setattr(E, "DEBUG", "on")
    LinearExpressionsArr(csr_array(np.eye(2)), np.zeros(2, dtype=np.int32), "lo", "hi", True)
    assert log_sink.calls == []
    monkeypatch.setattr(E, "DEBUG", "")
    b = LinearExpressionsArr(np.eye(2), [0, 0])
    assert b.constants == [0, 0]


# ------------------------------------------------------------------------------------------------
# Block arithmetic by meaning.

@pytest.mark.parametrize("seed", range(12))
def test_block_arithmetic_matches_dense_numpy(seed):
    print("seed", seed)
    rng = np.random.default_rng(1000 + seed)
    k, n = int(rng.integers(0, 6)), int(rng.integers(1, 8))
    canonical = bool(seed % 2)
    X, Y = random_block(rng, k, n, canonical=canonical), random_block(rng, k, n)
    MX, CX = dense_block(X)
    MY, CY = dense_block(Y)
    w = rng.integers(-3, 4, size=k).astype(float)
    snap = snapshot(*block_arrays(X), *block_arrays(Y), w)
    v = float(rng.integers(-5, 6)) / 2
    cases = [
        (X + v, MX, CX + v), (v + X, MX, CX + v), (X - v, MX, CX - v), (v - X, -MX, v - CX),
        (X * v, MX * v, CX * v), (v * X, MX * v, CX * v), (X * w, MX * w[:, None], CX * w),
        (X + Y, MX + MY, CX + CY), (X - Y, MX - MY, CX - CY), (X.__rsub__(Y), MY - MX, CY - CX),
        ((X * 2 + Y) * w - 1, (2 * MX + MY) * w[:, None], (2 * CX + CY) * w - 1),
    ]
    for result, m, c in cases:
        assert type(result) is LinearExpressionsArr
        assert result.lower_bounds is None and result.upper_bounds is None
        lin = result.linear_coefficients
        assert isinstance(lin, csr_array) and lin.shape == (k, n)
        # By value: the dense formula writes -0.0 where the sparse result stores nothing.
        assert np.array_equal(lin.toarray(), m)
        assert same_bits(result.constants, c)
        assert result.num_constraints == k
    x = rng.integers(-3, 4, size=n).astype(float)
    folds = [
        (X.sum(), MX.sum(axis=0), CX.sum()), (sumexp(X), MX.sum(axis=0), CX.sum()),
        ((X + Y).sum(), (MX + MY).sum(axis=0), (CX + CY).sum()),
        (X.dot(w), w @ MX, CX @ w), (dot(X, w), w @ MX, CX @ w), (dot(w, X), w @ MX, CX @ w),
    ]
    for row, a, c in folds:
        assert type(row) is LinearExpression
        lin = row.linear_coefficients
        assert isinstance(lin, csr_array) and lin.shape == (n,)
        assert np.array_equal(lin.toarray(), a)
        assert row.constant == pytest.approx(c)
        assert row.quadratic_coefficients is None and row.lower_bound is None
        assert row_value(row, x) == pytest.approx(a @ x + c)
    assert unchanged(snap, *block_arrays(X), *block_arrays(Y), w)


def test_block_number_results_share_the_matrix_and_mark_the_fast_sum():
    b = units([1, 3]) * np.array([2.0, 3.0])
    assert b._is_init is False
    for result in (b + 1, 1 + b, b - 1):
        assert result.linear_coefficients is b.linear_coefficients
        assert result._is_init is True
    for result in (b * 2, 2 * b, 3 - b):
        assert result.linear_coefficients is not b.linear_coefficients
        assert result._is_init is True
    assert (b + b)._is_init is False and (b * np.ones(2))._is_init is False
    zero = units([1, 3]) * 0
    assert zero.linear_coefficients.nnz == 2 and not zero.linear_coefficients.data.any()


DTYPES = [
    # block values, operation, matrix dtype, constants dtype
    (np.int32, lambda b: b + 1, np.int32, np.int32),
    (np.int32, lambda b: b - np.int32(1), np.int32, np.int32),
    (np.int32, lambda b: b * 2, np.int32, np.int32),
    (np.int32, lambda b: b * 0.5, np.float64, np.float64),
    (np.int32, lambda b: b + 0.5, np.int32, np.float64),
    (np.int32, lambda b: b * np.array([1, 2], dtype=np.int32), np.int32, np.int32),
    (np.int32, lambda b: b * np.array([1.0, 2.0]), np.float64, np.float64),
    (np.int32, lambda b: b + units([0, 1]), np.float64, np.float64),
    (np.float64, lambda b: b * np.float32(2), np.float64, np.float64),
]


@pytest.mark.parametrize("dtype,op,matrix_dtype,constants_dtype", DTYPES,
                         ids=["int+int", "int-np.int32", "int*int", "int*half", "int+half",
                              "int*int-weights", "int*float-weights", "int+float-block",
                              "float*np.float32"])
def test_block_dtypes_follow_numpy_and_scipy(dtype, op, matrix_dtype, constants_dtype):
    b = units([0, 1], dtype=dtype)
    r = op(b)
    assert r.linear_coefficients.dtype == matrix_dtype
    assert r.constants.dtype == constants_dtype


def test_weights_of_length_one_scale_every_row_without_debug():
    b = units([0, 2]) + 1
    r = b * np.array([3.0])
    assert same_bits(r.linear_coefficients.toarray(), 3 * b.linear_coefficients.toarray())
    assert r.constants.tolist() == [3.0, 3.0]


def test_array_on_the_left_scales_the_rows_as_on_the_right():
    b = units([0, 1])
    out = np.array([1.0, 2.0]) * b
    assert type(out) is LinearExpressionsArr
    assert same_bits(out.linear_coefficients.toarray(),
                          (b * np.array([1.0, 2.0])).linear_coefficients.toarray())


# ------------------------------------------------------------------------------------------------
# Block bounds.

def test_block_comparisons_make_bound_arrays():
    b = units([0, 1, 2], dtype=np.int32) + 1
    eq = b == 3
    assert eq.lower_bounds is eq.upper_bounds
    assert eq.lower_bounds.dtype == np.float64 and eq.lower_bounds.tolist() == [3.0] * 3
    assert eq.constants is b.constants and eq.linear_coefficients is b.linear_coefficients
    assert eq._is_init is False
    ge = b >= 2.5
    assert ge.lower_bounds.tolist() == [2.5] * 3 and ge.upper_bounds is None
    le = b <= float("inf")
    assert le.upper_bounds.dtype == np.float64 and np.isinf(le.upper_bounds).all()
    given = np.array([1, 2, 3])
    assert (b >= given).lower_bounds is given
    both = (b >= 0) <= 5
    assert both.lower_bounds.tolist() == [0.0] * 3 and both.upper_bounds.tolist() == [5.0] * 3
    both = (b <= given) >= -1
    assert both.upper_bounds is given and both.lower_bounds.tolist() == [-1.0] * 3
    assert (5 >= b).upper_bounds.tolist() == [5.0] * 3
    assert (0 <= b).lower_bounds.tolist() == [0.0] * 3


BLOCK_REFUSALS = [
    ("bounded+number", lambda b: (b >= 0) + 1, FormulaError, HAS_BOUNDARY),
    ("number-bounded", lambda b: 1 - (b <= 0), FormulaError, HAS_BOUNDARY),
    ("bounded*number", lambda b: (b == 0) * 2, FormulaError, HAS_BOUNDARY),
    ("bounded-block", lambda b: (b >= 0) - b, FormulaError, HAS_BOUNDARY),
    ("block+bounded", lambda b: b + (b >= 0), FormulaError, HAS_BOUNDARY),
    ("block-bounded", lambda b: b - (b <= 0), FormulaError, HAS_BOUNDARY),
    ("rsub-bounded", lambda b: b.__rsub__(b == 0), FormulaError, HAS_BOUNDARY),
    ("eq-after-ge", lambda b: (b >= 0) == 1, FormulaError, HAS_BOUNDARY),
    ("ne-of-bounded", lambda b: (b == 1) != 2, FormulaError, HAS_BOUNDARY),
    ("sum-bounded", lambda b: (b >= 0).sum(), FormulaError, HAS_BOUNDARY),
    ("sumexp-bounded", lambda b: sumexp(b <= 1), FormulaError, HAS_BOUNDARY),
    ("dot-bounded", lambda b: (b >= 0).dot(np.ones(3)), FormulaError, HAS_BOUNDARY),
    ("module-dot-bounded", lambda b: dot(np.ones(3), b == 1), FormulaError, HAS_BOUNDARY),
    ("ge-twice", lambda b: (b == 3) >= 1, FormulaError, BLOCK_HAS_LOWER),
    ("le-twice", lambda b: (b <= 3) <= 1, FormulaError, BLOCK_HAS_UPPER),
    ("border-length", lambda b: b == np.array([1, 2]), FormulaError, BORDER_SIZE),
    ("border-2d", lambda b: b >= np.zeros((3, 1)), FormulaError, BORDER_SIZE),
    ("border-0d", lambda b: b <= np.array(1.0), FormulaError, BORDER_SIZE),
    ("row-count", lambda b: b + units([0, 1]), FormulaError, ELEMENT_COUNT),
    ("block+row", lambda b: b + unit(0), TypeError, BLOCK_TYPE),
    ("block-text", lambda b: b - "a", TypeError, BLOCK_TYPE),
    ("array-block", lambda b: b.__rsub__(np.ones(3)), TypeError, BLOCK_TYPE),
    ("block+array", lambda b: b + np.ones(3), TypeError, BLOCK_TYPE),
    ("block*row", lambda b: b * unit(0), TypeError, FACTOR_TYPE),
    ("block*block", lambda b: b * b, TypeError, FACTOR_TYPE),
    ("block*list", lambda b: b * [1, 2, 3], TypeError, FACTOR_TYPE),
    ("chained", lambda b: 0 <= b <= 5, TypeError, TRUTH),
    ("ne", lambda b: b != 5, TypeError, TRUTH),
]


@pytest.mark.parametrize("call,exc_type,message", [c[1:] for c in BLOCK_REFUSALS],
                         ids=[c[0] for c in BLOCK_REFUSALS])
def test_block_refusals_are_logged_and_raised(log_sink, call, exc_type, message):
    b = units([0, 3, 3]) + 1
    snap = snapshot(*block_arrays(b))
    check_refusal(log_sink, lambda: call(b), exc_type, message)
    assert unchanged(snap, *block_arrays(b))


BLOCK_DEBUG_REFUSALS = [
    ("weights-length", lambda b: b * np.ones(2), FormulaError, ELEMENT_COUNT),
    ("weights-2d", lambda b: b * np.ones((3, 1)), FormulaError, ELEMENT_COUNT),
    ("weights-length-one", lambda b: b * np.ones(1), FormulaError, ELEMENT_COUNT),
    ("dot-list", lambda b: b.dot([1, 2, 3]), TypeError, "Undefined type <class 'list'>"),
    ("dot-number", lambda b: b.dot(2), TypeError, "Undefined type <class 'int'>"),
    ("module-dot-two-arrays", lambda b: dot(np.ones(3), np.ones(3)), FormulaError, DOT_ARGS),
    ("module-dot-two-blocks", lambda b: dot(b, b), FormulaError, DOT_ARGS),
    ("module-dot-list", lambda b: dot(b, [1, 2, 3]), FormulaError, DOT_ARGS),
]


@pytest.mark.parametrize("call,exc_type,message", [c[1:] for c in BLOCK_DEBUG_REFUSALS],
                         ids=[c[0] for c in BLOCK_DEBUG_REFUSALS])
def test_block_refusals_with_debug(debug, log_sink, call, exc_type, message):
    b = units([0, 3, 3]) + 1
    check_refusal(log_sink, lambda: call(b), exc_type, message)


def test_without_debug_lists_and_arrays_pass_to_numpy(log_sink):
    b = units([0, 3, 3]) + 1
    by_list = b.dot([1, 2, 3])
    by_array = b.dot(np.array([1, 2, 3]))
    assert same_bits(by_list.linear_coefficients.toarray(),
                          by_array.linear_coefficients.toarray())
    assert dot(np.array([1, 2]), np.array([3, 4])) == 11
    with pytest.raises(AttributeError):
        b == [1, 2, 3]  # no shape: the host's own error
    with pytest.raises(ValueError):
        b * np.ones(2)  # numpy's broadcasting
    with pytest.raises(ValueError):
        b.dot(np.ones(2))
    assert log_sink.calls == []


def test_blocks_of_different_widths_fail_in_the_sparse_library_unlogged(log_sink):
    with pytest.raises(ValueError):
        units([0, 1], n=5) + units([0, 1], n=8)
    assert log_sink.calls == []


# ------------------------------------------------------------------------------------------------
# Folding a block into a row.

def test_sum_of_indexed_blocks():
    r = (units([0, 1]) + 1).sum()
    assert dense_row(r)[0].tolist() == [1, 1, 0, 0, 0, 0, 0] and r.constant == 2
    r = units([0, 0]).sum()
    assert dense_row(r)[0].tolist() == [2, 0, 0, 0, 0, 0, 0]
    empty = units([]).sum()
    assert empty.linear_coefficients.shape == (N,) and empty.linear_coefficients.nnz == 0
    assert empty.constant == 0
    assert sumexp(units([2, 5])) is not None


@pytest.mark.parametrize("is_init", [True, False], ids=["direct", "by-columns"])
def test_sum_leaves_a_block_with_repeated_columns_as_it_was(is_init):
    m = csr_array((np.array([1.0, 2.0, 3.0, 4.0]), np.array([4, 1, 4, 1]), np.array([0, 3, 4])),
                  shape=(2, N))
    b = LinearExpressionsArr(m, is_init=is_init)
    before = m.toarray()
    snap = snapshot(m)
    first = b.sum()
    second = b.sum()
    assert unchanged(snap, m) and same_bits(m.toarray(), before)
    expected = before.sum(axis=0)
    assert same_bits(first.linear_coefficients.toarray(), expected)
    assert same_bits(second.linear_coefficients.toarray(), expected)
    assert same_bits((b * 2).linear_coefficients.toarray(), 2 * before)


def test_dot_of_block_ignores_nothing_and_the_forms_agree():
    b = units([1, 2, 1]) + np.float64(2)
    w = np.array([1.0, -2.0, 3.0])
    rows = [b.dot(w), dot(b, w), dot(w, b)]
    for r in rows:
        assert dense_row(r)[0].tolist() == [0, 4, -2, 0, 0, 0, 0]
        assert r.constant == 4.0


def test_builtin_sum_of_rows_starts_from_zero():
    r = sum(unit(i) for i in range(N))
    assert dense_row(r)[0].tolist() == [1] * N and r.constant == 0.0


def test_numpy_scalars_on_the_left_reach_the_reflected_operations():
    r = np.float64(2) * (unit(0) + 1)
    assert type(r) is LinearExpression and r.constant == 2.0
    b = np.int32(3) + units([0, 1])
    assert type(b) is LinearExpressionsArr and b.constants.tolist() == [3.0, 3.0]


COPIES = [("copy", copy.copy), ("deepcopy", copy.deepcopy),
          ("pickle", lambda o: pickle.loads(pickle.dumps(o)))]


@pytest.mark.parametrize("clone", [c[1] for c in COPIES], ids=[c[0] for c in COPIES])
def test_rows_and_blocks_copy_and_pickle_with_their_attributes(clone):
    row = ((unit(0) + 1) * (unit(2) - 2)) >= 3
    row.note = "kept"
    c = clone(row)
    assert type(c) is LinearExpression and c.note == "kept"
    assert (c.constant, c.lower_bound, c.upper_bound) == (row.constant, 3, None)
    for x in np.random.default_rng(5).integers(-3, 4, size=(4, N)).astype(float):
        assert row_value(c, x) == row_value(row, x)
    block = (units([1, 1, 4], dtype=np.int32) + 2) <= np.arange(3)
    b = clone(block)
    assert type(b) is LinearExpressionsArr and b._is_init == block._is_init
    assert same_bits(b.constants, block.constants) and b.constants.dtype == np.int32
    assert same_bits(b.upper_bounds, block.upper_bounds) and b.lower_bounds is None
    assert same_bits(b.linear_coefficients.toarray(), block.linear_coefficients.toarray())


def test_results_of_subclass_operands_are_plain_rows_and_blocks():
    class Row(LinearExpression):
        pass

    class Block(LinearExpressionsArr):
        pass

    r = Row(csr_array(([1.0], ([2],)), shape=(N,)))
    assert type(r + 1) is LinearExpression and type(unit(0) + r) is LinearExpression
    assert type(r >= 1) is LinearExpression
    b = Block(csr_array(np.eye(2, N)), is_init=True)
    assert type(b * 2) is LinearExpressionsArr and type(units([0, 1]) - b) is LinearExpressionsArr
    assert type(b.sum()) is LinearExpression and type(dot(np.ones(2), b)) is LinearExpression


# ------------------------------------------------------------------------------------------------
# The switch read from the environment, in fresh interpreters.

DEBUG_PROBE = textwrap.dedent("""
    import json
    import numpy as np
    from zk_encoder.linear_parser2 import _expression as E
    out = {"debug": E.DEBUG}
    def attempt(name, call):
        try:
            call()
            out[name] = "ok"
        except Exception as e:
            out[name] = type(e).__name__ + ": " + str(e)
    attempt("row", lambda: E.LinearExpression(np.zeros(3), "1"))
    attempt("block", lambda: E.LinearExpressionsArr(np.eye(2), [0, 0]))
    attempt("dot", lambda: E.dot(np.ones(2), np.ones(2)))
    import os
    os.environ["DEBUG_SOLVER_MODE"] = "" if E.DEBUG else "1"
    out["after_env_change"] = E.DEBUG  # read once, at import
    E.DEBUG = "x" if not E.DEBUG else False
    attempt("rebound", lambda: E.LinearExpression(np.zeros(3)))
    print(json.dumps(out))
""")

ENVIRONMENTS = [
    ("unset", None, False, False),
    ("empty", "", "", False),
    ("zero", "0", "0", True),
    ("false", "false", "false", True),
    ("one", "1", "1", True),
]


@pytest.mark.parametrize("value,debug,checks", [c[1:] for c in ENVIRONMENTS],
                         ids=[c[0] for c in ENVIRONMENTS])
def test_debug_is_read_from_the_environment_at_import(value, debug, checks):
    import os
    env = {k: v for k, v in os.environ.items() if k != "DEBUG_SOLVER_MODE"}
    if value is not None:
        env["DEBUG_SOLVER_MODE"] = value
    proc = subprocess.run([sys.executable, "-c", DEBUG_PROBE], capture_output=True, text=True,
                          env=env)
    assert proc.returncode == 0, proc.stderr
    out = json.loads(proc.stdout.strip().splitlines()[-1])
    assert out["debug"] == debug and out["after_env_change"] == debug
    if checks:
        assert out["row"] == "TypeError: " + ROW_NOT_CSR
        assert out["block"] == "TypeError: " + BLOCK_NOT_CSR
        assert out["dot"] == "FormulaError: " + DOT_ARGS
        assert out["rebound"] == "ok"
    else:
        assert out["row"] == out["block"] == "ok"
        assert out["dot"] == "ok"
        assert out["rebound"] == "TypeError: " + ROW_NOT_CSR


def test_importing_the_package_does_not_load_the_second_generation():
    code = textwrap.dedent("""
        import json, sys
        import zk_encoder
        before = sorted(m for m in sys.modules if m.startswith("zk_encoder.linear_parser2"))
        import zk_encoder.linear_parser2._expression
        after = sorted(m for m in sys.modules if m.startswith("zk_encoder.linear_parser2"))
        print(json.dumps([before, after]))
    """)
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert proc.returncode == 0, proc.stderr
    before, after = json.loads(proc.stdout.strip().splitlines()[-1])
    assert before == []
    assert "zk_encoder.linear_parser2._expression" in after


# ------------------------------------------------------------------------------------------------
# Large blocks take shortcuts for row weights and weighted sums; every result must hold exactly
# the arrays that the sparse library's own computation gives (values, places, dtypes).

def random_matrix(rng, canonical):
    k, n = int(rng.integers(0, 7)), int(rng.integers(1, 9))
    per_row = rng.integers(0, 5, k) if rng.random() < 0.7 else np.ones(k, dtype=np.int64)
    indptr = np.concatenate([[0], np.cumsum(per_row)])
    rows = []
    for count in per_row:
        if canonical:
            rows.append(np.sort(rng.choice(n, min(int(count), n), replace=False)))
        else:
            rows.append(rng.integers(0, n, int(count)))
    if canonical:
        indptr = np.concatenate([[0], np.cumsum([len(r) for r in rows])])
    indices = np.concatenate(rows + [np.zeros(0, dtype=np.int64)]).astype(np.int32)
    data = rng.choice([0.0, 1.0, -2.5, 0.1, 1e300, np.inf], indices.size)
    dtype = rng.choice(["float64", "int32", "int64", "float32"], p=[0.55, 0.2, 0.15, 0.1])
    if dtype != "float64":
        data = np.nan_to_num(data, posinf=7, neginf=-7).clip(-9, 9).astype(dtype)
    m = csr_array((data, indices, indptr.astype(np.int32)), shape=(k, n))
    if rng.random() < 0.1:  # wide indices stay wide in the library's way
        m.indices, m.indptr = m.indices.astype(np.int64), m.indptr.astype(np.int64)
    return m


def random_weights(rng, k):
    w = rng.choice([2.0, -1.5, 0.3, 1e10, 0.0, np.inf, np.nan], k,
                   p=[0.3, 0.2, 0.2, 0.1, 0.1, 0.05, 0.05])
    kind = rng.choice(["float64", "int64", "int32", "bool", "float32"], p=[0.5, 0.2, 0.1, 0.1, 0.1])
    if kind != "float64":
        w = np.nan_to_num(w, posinf=3, neginf=-3).clip(-5, 5).astype(kind)
    return w


@pytest.mark.filterwarnings("ignore:invalid value:RuntimeWarning",
                            "ignore:overflow:RuntimeWarning")
def test_row_weights_and_weighted_sums_equal_the_library_computation():
    rng = seeded_rng()
    for _ in range(400):
        m = random_matrix(rng, canonical=rng.random() < 0.8)
        w = random_weights(rng, m.shape[0])
        b = LinearExpressionsArr(linear_coefficients=m)
        snap, weights = snapshot(*block_arrays(b)), w.copy()
        want_scaled = (w[:, None] * m.copy()).tocsr()
        want_folded = csr_array(w).dot(m.copy()).tocsr()
        if not np.all(np.isfinite(w)):  # NaN and infinite weights are refused
            with pytest.raises(ValueError, match="^Coefficient must be a finite number, not "):
                b * w
            with pytest.raises(ValueError, match="^Coefficient must be a finite number, not "):
                b.dot(w)
            continue
        for got, want in ((lambda: b * w, want_scaled), (lambda: b.dot(w), want_folded)):
            if not np.all(np.isfinite(want.data)):  # 1e300 * 1e10: refused where it is made
                with pytest.raises(ValueError, match="^Coefficient must be a finite number, not "):
                    got()
            else:
                result = got().linear_coefficients
                assert same_sparse(result, want), (m, w, result, want)
        assert unchanged(snap, *block_arrays(b))
        assert np.array_equal(w, weights, equal_nan=True)


# ------------------------------------------------------------------------------------------------
# Blocks that indexing a variable array makes, and their sums and differences, beside twins made
# from the same matrices with the sparse library's own constructor: every operation must give
# both the same arrays (values, places, dtypes), constants and flags.

def counter():
    from zk_encoder.linear_parser2.variable import VariableArray
    return VariableArray._total_created_variables


def picked(x, item):
    """x[item] and its twin, a block over the same csr_array the library builds itself."""
    count = int(np.prod(x.shape))
    # A list names elements by their flat numbers, other indices by position.
    flat = np.array(item) if isinstance(item, list) else np.arange(count).reshape(x.shape)[item]
    flat = flat.ravel()
    k = len(flat)
    matrix = csr_array((np.ones(k, dtype=x.type), (flat + x._shift).astype(np.int32),
                        np.arange(k + 1, dtype=np.int32)), shape=(k, counter()))
    return x[item], LinearExpressionsArr(linear_coefficients=matrix, is_init=True)


def assert_same_block(got, want):
    m, w = got._linear_coefficients, want._linear_coefficients
    assert type(m) is csr_array and m.shape == w.shape
    for name in ("data", "indices", "indptr"):
        a, b = getattr(m, name), getattr(w, name)
        assert a.dtype == b.dtype, name
        assert same_bits(a, b), name
    assert got._constants.dtype == want._constants.dtype
    assert same_bits(got._constants, want._constants)
    assert bool(got._is_init) == bool(want._is_init)


@pytest.fixture
def arrays():
    from zk_encoder.linear_parser2.variable import VariableArray
    real = VariableArray("r", (4, 5), 0, 1, np.float64, counter())
    VariableArray._total_created_variables += 20
    ints = VariableArray("z", (6,), 0, 9, np.int32, counter())
    VariableArray._total_created_variables += 6
    return real, ints


def random_block_pairs(rng, arrays, k, steps):
    """Seeded random expressions over picked blocks of k rows: sums and differences (also of a
    block with itself), numbers on either side, scaling by numbers and by row weights, and the
    host's sum() over many blocks."""
    real, ints = arrays

    def pick():
        x = real if rng.random() < 0.6 else ints
        count = int(np.prod(x.shape))
        if x is real and rng.random() < 0.4:
            # Rows and columns of the 4 x 5 array, as the transport rows take them.
            start = int(rng.integers(0, 5 - k + 1))
            item = ((slice(None), int(rng.integers(5))) if k == 4 and rng.random() < 0.5 else
                    (int(rng.integers(4)), slice(start, start + k)))
            return picked(x, item)
        return picked(x, [int(i) for i in rng.integers(0, count, k)])

    pool = [pick() for _ in range(4)]
    for _ in range(steps):
        (a, ta), (b, tb) = pool[int(rng.integers(len(pool)))], pool[int(rng.integers(len(pool)))]
        c = [int(rng.integers(-3, 4)), float(rng.integers(-6, 7)) / 2][int(rng.integers(2))]
        op = int(rng.integers(11))
        if op == 0:
            pair = pick()
        elif op in (1, 2):
            pair = (a + b, ta + tb)
        elif op in (3, 4):
            pair = (a - b, ta - tb)
        elif op == 5:
            pair = (a + a, ta + ta)
        elif op == 6:
            pair = (c - a, c - ta) if rng.random() < 0.5 else (a + c, ta + c)
        elif op == 7:
            pair = (a * c, ta * c)
        elif op == 8:
            w = rng.integers(-2, 3, k).astype(float)
            pair = (a * w, ta * w)
        elif op == 9:
            chosen = [pool[int(i)] for i in rng.integers(0, len(pool), int(rng.integers(2, 6)))]
            pair = (sum(p[0] for p in chosen), sum(p[1] for p in chosen))
        else:
            pair = (a - a, ta - ta)
        pool.append(pair)
    return pool


def test_random_block_expressions_equal_the_sparse_library(arrays):
    rng = seeded_rng()
    for _ in range(30):
        k = int(rng.choice([1, 3, 4]))
        pool = random_block_pairs(rng, arrays, k, 12)
        w = rng.integers(-3, 4, k).astype(float)
        # Read in reverse, so that a result is read before the blocks it was made of.
        for got, want in reversed(pool):
            assert_same_block(got, want)
            s, t = got.sum(), want.sum()
            assert s.constant == t.constant
            assert same_bits(s.linear_coefficients.toarray(), t.linear_coefficients.toarray())
            d, e = got.dot(w), want.dot(w)
            assert same_bits(d.linear_coefficients.toarray(),
                                  e.linear_coefficients.toarray())


def test_a_read_matrix_is_kept_and_later_sums_use_it_as_read(arrays):
    real, _ = arrays
    (a, ta), (b, tb) = picked(real, (0, slice(None))), picked(real, (1, slice(None)))
    s, ts = a + b, ta + tb
    assert (s + 1)._linear_coefficients is s._linear_coefficients
    m = s.linear_coefficients
    assert m is s._linear_coefficients and (s == 2).linear_coefficients is m
    assert (s >= 0)._linear_coefficients is m and (s - 4)._linear_coefficients is m
    before, twin_before = s - a, ts - ta
    # A caller that changes the matrix it read changes what later sums see, as with the
    # library's own arrays; a sum made before keeps what it was made of.
    m.data *= 3
    ts._linear_coefficients.data *= 3
    assert_same_block(s - a, ts - ta)
    assert_same_block(before, twin_before)


def test_sums_of_many_blocks(arrays):
    real, ints = arrays
    # Every column of `real` once per row block, pairwise and with the host's sum().
    cols = [picked(real, (slice(None), j)) for j in range(5)]
    pairwise = ((cols[0][0] + cols[1][0]) + (cols[2][0] + cols[3][0])) + cols[4][0]
    twin = ((cols[0][1] + cols[1][1]) + (cols[2][1] + cols[3][1])) + cols[4][1]
    assert_same_block(pairwise, twin)
    assert_same_block(sum(c[0] for c in cols), sum(c[1] for c in cols))
    dense = pairwise.linear_coefficients.toarray()
    assert dense.sum() == 20 and dense[:, real._shift:real._shift + 20].reshape(4, 4, 5).sum(
        axis=(1, 2)).tolist() == [5] * 4
    # A long chain made one block at a time, and a block doubled 40 times (weights past 2^31
    # are added step by step, int32 values wrapping as the library's do).
    one, twin_one = picked(ints, [2])
    chain, twin_chain = one, twin_one
    for _ in range(3000):
        chain, twin_chain = chain + one, twin_chain + twin_one
    assert_same_block(chain, twin_chain)
    assert chain.linear_coefficients.data.tolist() == [3001]
    for x, item in ((ints, [1, 1, 4]), (real, [2, 17, 17])):
        block, twin = picked(x, item)
        for _ in range(40):
            block, twin = block + block, twin + twin
        assert_same_block(block, twin)


def test_a_very_long_chain_is_freed():
    # Made by the host's sum() over 100,000 one-row blocks: taking it apart must not recurse.
    script = textwrap.dedent("""
        import gc
        from zk_encoder.linear_parser2 import LinearModel, VariableType
        x = LinearModel().get_variable("x", VariableType.REAL, 0, 1, i=3)
        one = x[[1]]
        total = sum(one for _ in range(100_000))
        del total
        gc.collect()
        total = sum(one for _ in range(100_000)) - x[[1]]
        print(total.linear_coefficients.data.tolist())
    """)
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == ["[99999.0]"]


@pytest.mark.parametrize("reader", [
    lambda b: pickle.loads(pickle.dumps(b)),
    copy.copy,
    copy.deepcopy,
], ids=["pickle", "copy", "deepcopy"])
def test_copies_of_sums_hold_the_matrix(arrays, reader):
    real, ints = arrays
    (a, ta), (b, tb) = picked(real, (slice(None), 0)), picked(real, (slice(None), 3))
    assert_same_block(reader(a - b), ta - tb)
    (c, tc), (d, td) = picked(ints, [0, 5]), picked(ints, [5, 5])
    assert_same_block(reader(c + d + 2), tc + td + 2)


def test_blocks_of_different_widths_fail_in_the_sparse_library():
    from zk_encoder.linear_parser2.variable import VariableArray
    x = VariableArray("x", (2,), 0, 1, np.float64, counter())
    VariableArray._total_created_variables += 2
    early = x[[0, 1]]
    VariableArray._total_created_variables += 1
    late = x[[1, 0]]
    with pytest.raises(ValueError) as lazy:
        early + late
    twin_early = LinearExpressionsArr(linear_coefficients=csr_array(
        early.linear_coefficients.toarray()), is_init=True)
    twin_late = LinearExpressionsArr(linear_coefficients=csr_array(
        late.linear_coefficients.toarray()), is_init=True)
    with pytest.raises(ValueError) as eager:
        twin_early + twin_late
    assert str(lazy.value) == str(eager.value)


def test_a_cycle_through_the_matrix_of_a_sum_is_collected(arrays):
    real, _ = arrays

    class Holder:
        pass

    def cycle():
        block, holder = real[0, :] - real[1, :], Holder()
        holder.block = block
        block._linear_coefficients = holder  # the cycle runs through the matrix field alone
        return weakref.ref(holder)

    ref = cycle()
    gc.collect()
    assert ref() is None


def test_a_cycle_through_a_given_matrix_kept_by_several_blocks_is_collected():
    class Matrix:
        pass

    def cycle():
        matrix = Matrix()
        block = LinearExpressionsArr(linear_coefficients=matrix, constants=np.zeros(2))
        matrix.blocks = [block, block + 1, block == 2, block >= 0, block <= 3]
        return weakref.ref(matrix)

    ref = cycle()
    gc.collect()
    assert ref() is None


def assert_same_row(got, want):
    # By bits: the twins are fed negative zeros, and a sign lost on one road must show.
    same_sparse(got.linear_coefficients, want.linear_coefficients)
    same_number(got.constant, want.constant)


@pytest.mark.parametrize("index, weights", [
    ([3, 1, 3, 0], np.array([0.5, -2.0, 0.25, 3.0])),
    ([3, 1, 3, 0], np.array([1.0, 2.0, -1.0, 4.0])),  # column 3 adds up to 0
    ([2, 4], np.array([0.0, 1.0])),
    ([2, 4, 1, 0], np.arange(1.0, 9.0)[::2]),  # not contiguous
    ([2, 4], np.array([3, -1])),
    ([2, 4], np.array([3, -1], dtype=np.int32)),
    ([2, 4], np.array([1.5, 2.5], dtype=np.float32)),
    ([2, 4], np.array([1.0, 2.0], dtype=">f8")),
    ([], np.array([])),
], ids=["fractions", "cancelling", "zero-weight", "strided", "int64",
        "int32", "float32", "big-endian", "empty"])
@pytest.mark.parametrize("which", ["real", "integer"])
def test_weighted_sums_of_picked_blocks(arrays, which, index, weights):
    real, ints = arrays
    x = real if which == "real" else ints
    block, twin = picked(x, index)
    assert_same_row(block.dot(weights), twin.dot(weights))
    assert_same_row(dot(weights, block), dot(twin, weights))
    assert_same_block(block, twin)


@pytest.mark.parametrize("weights,text", [
    (np.array([np.inf, -np.inf]), "inf"), (np.array([1.0, np.nan]), "nan"),
    (np.array([1.0, -np.inf], dtype=np.float32), "-inf"),
], ids=["infinities", "nan", "float32"])
@pytest.mark.parametrize("which", ["real", "integer"])
def test_weighted_sums_with_weights_no_row_can_hold_are_refused(arrays, log_sink, which, weights,
                                                                 text):
    x = arrays[0] if which == "real" else arrays[1]
    msg = f"Coefficient must be a finite number, not {text}"
    for b in picked(x, [5, 2]):
        for call in (lambda: b.dot(weights), lambda: dot(weights, b), lambda: b * weights):
            log_sink.calls.clear()
            check_refusal(log_sink, call, ValueError, msg)


def test_weighted_sum_of_another_length_fails_in_numpy(arrays):
    block, twin = picked(arrays[0], [1, 2, 3])
    for b in (block, twin):
        with pytest.raises(ValueError, match="not aligned"):
            b.dot(np.ones(2))


# ------------------------------------------------------------------------------------------------
# Integer coefficients and constants never wrap: random products and sums of large integers on the
# rows and blocks of an INTEGER array, against the same computation with the host's integers. The
# values keep the array's int32 while every value along the way fits it, take int64 from the step
# that leaves int32, and float64 from a step that leaves int64, computed from there on as a REAL
# array's arithmetic computes it.

INT32 = (-2**31, 2**31 - 1)
INT64 = (-2**63, 2**63 - 1)
BIG = [0, 1, -1, 3, 7, -12, 50000, 60000, 3_000_000_000, 2**31 - 1, -2**31, 2**31, 2**40, 2**53,
       2**62, -(2**63), 2**63 - 1, 2**63, 2**70]
REAL = 128  # the width of values past int64


def program_int(rng, value):
    """The same integer as a program may hand it over: the host's, numpy's, a truth value."""
    forms = [value]
    if INT64[0] <= value <= INT64[1]:
        forms.append(np.int64(value))
    if INT32[0] <= value <= INT32[1]:
        forms.append(np.int32(value))
    if 0 <= value <= 255:
        forms.append(np.uint8(value))
    if value in (0, 1):
        forms.append(bool(value))
    return forms[int(rng.integers(len(forms)))]


class Values:
    """Exact values (the host's integers) beside the width their type must have: 32 while every
    value so far fit int32, 64 from a step past it, REAL (the host's floats) past int64."""

    def __init__(self, values, width):
        self.values, self.width = list(values), width

    def apply(self, fn, others, least=32):
        """fn(value, other) for every pair: exactly while the results fit int64; past that, as
        real values, from the operands' real values."""
        least = max(self.width, least)
        if least < REAL:
            exact = [fn(v, o) for v, o in zip(self.values, others)]
            if all(INT64[0] <= v <= INT64[1] for v in exact):
                wide = least == 64 or any(not INT32[0] <= v <= INT32[1] for v in exact)
                return Values(exact, 64 if wide else 32)
        return Values([fn(float(v), float(o)) for v, o in zip(self.values, others)], REAL)


def dtype_of(width):
    return {32: np.int32, 64: np.int64, REAL: np.float64}[width]


def assert_values(array, want):
    assert array.dtype == dtype_of(want.width), (array.dtype, want.width)
    got = array.tolist()
    if want.width == REAL:
        scale = max([abs(v) for v in want.values] + [1.0])
        assert got == pytest.approx(want.values, abs=scale * 1e-15)
    else:
        assert got == want.values


def assert_row_values(coefs, columns, want):
    """A row's stored values against `want` (Values over `columns`): every column whose value
    is not 0 is stored."""
    got = dict(zip(coefs.indices.tolist(), range(coefs.nnz)))
    kept = [i for i, c in enumerate(columns) if c in got]
    assert all(want.values[i] == 0 for i, c in enumerate(columns) if c not in got)
    assert_values(coefs.data[[got[columns[i]] for i in kept]],
                  Values([want.values[i] for i in kept], want.width))


class Block:
    """A block's exact shadow: coefficients per stored place (row, column) and constants."""

    def __init__(self, places, coefs, constants, is_init=True):
        self.places, self.coefs, self.constants, self.is_init = places, coefs, constants, is_init


def dense_places(matrix):
    m = matrix.tocsr()
    rows = np.repeat(np.arange(m.shape[0]), np.diff(m.indptr))
    return list(zip(rows.tolist(), m.indices.tolist())), m.data


def check_block(block, shadow):
    places, data = dense_places(block.linear_coefficients)
    got = dict(zip(places, range(len(places))))
    want = {p: i for i, p in enumerate(shadow.places)}
    # Every place with a value that is not 0 is stored; stored zeros may stay.
    for p, i in want.items():
        value = shadow.coefs.values[i]
        if p not in got:
            assert value == 0, (p, value)
    kept = [p for p in shadow.places if p in got]
    sub = Values([shadow.coefs.values[want[p]] for p in kept], shadow.coefs.width)
    assert_values(data[[got[p] for p in kept]], sub)
    assert all(p in want or data[i] == 0 for p, i in got.items())
    assert_values(block.constants, shadow.constants)


def random_integer_step(rng, block, shadow, z):
    k = len(shadow.constants.values)
    op = rng.integers(6)
    if op == 0:  # times a number
        c = int(rng.choice(BIG)) * int(rng.choice([1, -1]))
        new = block * program_int(rng, c)
        n = len(shadow.places)
        return new, Block(shadow.places, shadow.coefs.apply(lambda v, o: v * o, [c] * n),
                          shadow.constants.apply(lambda v, o: v * o, [c] * k))
    if op in (1, 2):  # plus or minus a number
        c = int(rng.choice(BIG))
        sign = 1 if op == 1 else -1
        new = block + program_int(rng, c) if op == 1 else block - program_int(rng, c)
        return new, Block(shadow.places, shadow.coefs,
                          shadow.constants.apply(lambda v, o: v + sign * o, [c] * k))
    if op == 3:  # a number minus the block
        c = int(rng.choice(BIG))
        new = program_int(rng, c) - block
        n = len(shadow.places)
        return new, Block(shadow.places, shadow.coefs.apply(lambda v, o: v * o, [-1] * n),
                          shadow.constants.apply(lambda v, o: o - v, [c] * k))
    if op == 4:  # plus or minus a block of the array
        cols = rng.integers(0, 6, k)
        sign = int(rng.choice([1, -1]))
        other = z[cols.tolist()]
        new = block + other if sign == 1 else block - other
        values = dict(zip(shadow.places, shadow.coefs.values))
        for r, c in enumerate(cols.tolist()):
            values.setdefault((r, c + z._shift), 0)
        places = sorted(values)
        exact = Values([values[p] for p in places], shadow.coefs.width)
        adds = [sign if (p[1] - z._shift) == cols[p[0]] else 0 for p in places]
        return new, Block(places, exact.apply(lambda v, o: v + o, adds),
                          shadow.constants, is_init=False)
    dtype = rng.choice([np.int32, np.int64])  # times integer weights
    w = np.array([int(rng.choice([1, -1, 2, 50000, 2**20, 3_000_000])) for _ in range(k)],
                 dtype=dtype)
    least = 64 if dtype == np.int64 else 32
    new = block * w
    per_place = [int(w[r]) for r, _ in shadow.places]
    return new, Block(shadow.places, shadow.coefs.apply(lambda v, o: v * o, per_place, least),
                      shadow.constants.apply(lambda v, o: v * o, w.tolist(), least),
                      is_init=False)


def integer_array(size=3):
    """An INTEGER variable array made after every column so far."""
    from zk_encoder.linear_parser2.variable import VariableArray
    z = VariableArray("z", (size,), 0, 9, np.int32, counter())
    VariableArray._total_created_variables += size
    return z


def test_random_integer_blocks_against_the_hosts_integers():
    rng, z = seeded_rng(), integer_array(6)
    for _ in range(300):
        k = int(rng.integers(1, 4))
        cols = rng.integers(0, 6, k).tolist()
        block = z[cols]
        shadow = Block([(r, c + z._shift) for r, c in enumerate(cols)], Values([1] * k, 32),
                       Values([0] * k, 32))
        for _ in range(int(rng.integers(1, 7))):
            block, shadow = random_integer_step(rng, block, shadow, z)
            check_block(block, shadow)
        # Folded into one row: the constants add up to the host's exact integer (while they are
        # integers), the coefficients by column.
        folded = sumexp(block)
        if shadow.constants.width < REAL:
            assert folded.constant == sum(shadow.constants.values)
            assert type(folded.constant) is int
        by_column = {}
        for (r, c), v in zip(shadow.places, shadow.coefs.values):
            by_column.setdefault(c, []).append(v)
        columns = sorted(by_column)
        # A direct sum keeps the stored values' type; the column sums of a block of sums are
        # numpy's sums, int64 from the start.
        least = shadow.coefs.width if shadow.is_init else max(64, shadow.coefs.width)
        if least < REAL:
            exact = [sum(by_column[c]) for c in columns]
            sums = Values(exact, 32).apply(lambda v, o: v, exact, least)
        else:
            sums = Values([sum(map(float, by_column[c])) for c in columns], REAL)
        assert_row_values(folded.linear_coefficients, columns, sums)


def random_integer_row_step(rng, row, shadow, z):
    """One operation on a row (`shadow`: {column: value} as Values over sorted columns)."""
    columns, values = shadow
    op = rng.integers(4)
    if op == 0:
        c = int(rng.choice(BIG)) * int(rng.choice([1, -1]))
        return row * program_int(rng, c), (columns, values.apply(lambda v, o: v * o,
                                                                 [c] * len(columns)))
    if op == 1:
        c = int(rng.choice(BIG))
        return program_int(rng, c) - row, (columns, values.apply(lambda v, o: v * o,
                                                                 [-1] * len(columns)))
    col = int(rng.integers(0, 6))
    sign = 1 if op == 2 else -1
    new = row + z[col] if sign == 1 else row - z[col]
    merged = dict(zip(columns, values.values))
    merged.setdefault(col + z._shift, 0)
    cols = sorted(merged)
    before = Values([merged[c] for c in cols], values.width)
    return new, (cols, before.apply(lambda v, o: v + o,
                                    [sign if c == col + z._shift else 0 for c in cols]))


def test_random_integer_rows_against_the_hosts_integers():
    rng, z = seeded_rng(), integer_array(6)
    for _ in range(300):
        col = int(rng.integers(0, 6))
        row, shadow = z[col], ([col + z._shift], Values([1], 32))
        for _ in range(int(rng.integers(1, 7))):
            row, shadow = random_integer_row_step(rng, row, shadow, z)
            assert_row_values(row.linear_coefficients, *shadow)
            assert type(row.constant) is float  # an indexed row's constant is 0.0


def doubled(block, times):
    for _ in range(times):
        block = block + block
    return block


EXACT_INTEGERS = [
    # what a program writes on an INTEGER array z (column z0 first), the coefficients or
    # constants it gives, and their type
    ("product-past-int32", lambda z: z[0] * 50000 * 60000, "coefs", [3_000_000_000], np.int64),
    ("numpy-factors", lambda z: z[0] * np.int32(50000) * np.int32(60000), "coefs",
     [3_000_000_000], np.int64),
    ("host-integer-past-int32", lambda z: z[0] * 3_000_000_000, "coefs", [3_000_000_000],
     np.int64),
    ("past-int64", lambda z: z[0] * 2**63, "coefs", [2.0**63], np.float64),
    ("back-below-int64", lambda z: (z[[0]] - 1) + 2**63, "constants", [2**63 - 1], np.int64),
    ("block-constants", lambda z: (z[[0]] + 2**30) + 2**30, "constants", [2**31], np.int64),
    ("least-int32", lambda z: z[[0]] * -2**31, "coefs", [-(2**31)], np.int32),
    ("least-int32-negated", lambda z: 0 - z[[0]] * -2**31, "coefs", [2**31], np.int64),
    ("number-minus-block", lambda z: -2**31 - (z[[0]] - 2**31), "constants", [0], np.int32),
    ("doubled-40-times", lambda z: doubled(z[[0]], 40), "coefs", [2**40], np.int64),
    ("doubled-70-times", lambda z: doubled(z[[0]], 70), "coefs", [2.0**70], np.float64),
    ("doubled-and-back", lambda z: doubled(z[[0]], 31) - doubled(z[[0]], 31) + z[[0]], "coefs",
     [1], np.int64),
    ("sum-past-int32", lambda z: sumexp(z[[0, 0]] * 2**30), "coefs", [2**31], np.int64),
    ("sum-of-constants", lambda z: sumexp(z[[0, 1]] + 2**62), "constant", 2**63, int),
    ("int64-weights", lambda z: dot(z[[0, 0]], np.array([2**62, 2**62 - 1])), "coefs",
     [2**63 - 1], np.int64),
    ("weights-past-int64", lambda z: dot(z[[0, 0]], np.array([2**62, 2**62])), "coefs",
     [2.0**63], np.float64),
    ("weighted-constants", lambda z: dot(z[[0, 1]] + 2**40, np.array([2**40, 2**40])),
     "constant", 2**81, int),
    ("int32-weights", lambda z: z[[0, 1]] * np.array([50000, 2], dtype=np.int32) * 60000,
     "coefs", [3_000_000_000, 120000], np.int64),
    ("rows-cancel", lambda z: z[0] * 2**62 - z[0] * 2**62 + z[1], "coefs", [1], np.int64),
    ("rows-past-int64", lambda z: z[0] * 2**62 + z[0] * 2**62, "coefs", [2.0**63], np.float64),
]


@pytest.mark.parametrize("build,part,values,dtype", [c[1:] for c in EXACT_INTEGERS],
                         ids=[c[0] for c in EXACT_INTEGERS])
def test_integer_coefficients_never_wrap(build, part, values, dtype):
    result = build(integer_array())
    if part == "constant":
        assert result.constant == values and type(result.constant) is dtype
        return
    got = result.constants if part == "constants" else result.linear_coefficients.data
    assert got.dtype == dtype and got.tolist() == values


def test_quadratic_parts_of_large_integers_are_real_values():
    z = integer_array()
    q = (z[0] * 2**40) * (z[1] * 2**40)
    assert q.quadratic_coefficients.data.tolist() == [2.0**79, 2.0**79]
    assert q.linear_coefficients.nnz == 0 and q.constant == 0.0


# ------------------------------------------------------------------------------------------------
# Numbers as programs pass them: numpy scalars, fractions and truth values mean what the same
# host number means; complex values, NaN and infinite coefficients and constants are refused in
# the call that gives them; an infinite bound is no bound, a NaN bound and None are refused.

def parts(e):
    """Everything an expression holds, with the types of its numbers."""
    if isinstance(e, LinearExpression):
        m, q = e.linear_coefficients, e.quadratic_coefficients
        return (m.data.dtype, m.data.tolist(), m.indices.tolist(), m.indptr.tolist(),
                None if q is None else (q.data.dtype, q.data.tolist()),
                type(e.constant), e.constant, type(e.lower_bound), e.lower_bound,
                type(e.upper_bound), e.upper_bound)
    m = e.linear_coefficients
    bounds = [None if b is None else (b.dtype, b.tolist()) for b in (e.lower_bounds,
                                                                      e.upper_bounds)]
    return (m.data.dtype, m.data.tolist(), m.indices.tolist(), m.indptr.tolist(),
            e.constants.dtype, e.constants.tolist(), bounds)


NUMBER_FORMS = [
    ("np.float64", np.float64(2.5), 2.5), ("np.float32", np.float32(0.1), float(np.float32(0.1))),
    ("np.float16", np.float16(-1.5), -1.5), ("np.int64", np.int64(3), 3),
    ("np.int32", np.int32(-4), -4), ("np.uint8", np.uint8(7), 7), ("np.int16", np.int16(2), 2),
    ("np.bool_", np.bool_(True), 1), ("bool", False, 0), ("fraction", fractions.Fraction(1, 3), 1 / 3),
    ("big-np.int64", np.int64(2**40), 2**40), ("np.uint64", np.uint64(2**63), 2**63),
]

NUMBER_USES = [
    ("times", lambda e, v: e * v), ("times-left", lambda e, v: v * e),
    ("plus", lambda e, v: e + v), ("plus-left", lambda e, v: v + e),
    ("minus", lambda e, v: e - v), ("minus-left", lambda e, v: v - e),
    ("at-most", lambda e, v: e <= v), ("at-least-left", lambda e, v: v <= e),
    ("equal", lambda e, v: e == v), ("both-bounds", lambda e, v: (e <= 5) >= v),
]


@pytest.mark.parametrize("use", [u for _, u in NUMBER_USES], ids=[n for n, _ in NUMBER_USES])
@pytest.mark.parametrize("value,plain", [c[1:] for c in NUMBER_FORMS],
                         ids=[c[0] for c in NUMBER_FORMS])
@pytest.mark.parametrize("dtype", [np.float64, np.int32], ids=["real", "integer"])
def test_numpy_numbers_mean_what_the_same_host_numbers_mean(dtype, value, plain, use):
    for expr in (unit(2, dtype=dtype) + 1, units([1, 4], dtype=dtype) * 2, unit(0) * unit(1)):
        assert parts(use(expr, value)) == parts(use(expr, plain))


@pytest.mark.parametrize("value,plain", [c[1:] for c in NUMBER_FORMS[:6]],
                         ids=[c[0] for c in NUMBER_FORMS[:6]])
def test_numpy_weights_and_bound_vectors_mean_their_values(value, plain):
    b = units([1, 4]) + 1
    weights = np.array([value, value])
    assert parts(b * weights) == parts(b * np.array([plain, plain]))
    assert parts(b.dot(weights)) == parts(b.dot(np.array([plain, plain])))
    as_objects = np.array([value, fractions.Fraction(1, 2)], dtype=object)
    assert parts(b * as_objects) == parts(b * np.array([float(plain), 0.5]))


def test_integer_weights_in_objects_stay_exact():
    b = units([1, 4], dtype=np.int32)
    weights = np.array([2**40, 3], dtype=object)
    assert parts(b * weights) == parts(b * np.array([2**40, 3]))
    assert b.dot(weights).linear_coefficients.data.tolist() == [2**40, 3]


REFUSED_NUMBERS = [
    ("row*nan", lambda: unit(0) * float("nan"), ValueError,
     "Coefficient must be a finite number, not nan"),
    ("row*inf", lambda: unit(0) * float("inf"), ValueError,
     "Coefficient must be a finite number, not inf"),
    ("np.nan*row", lambda: np.float64("nan") * unit(0), ValueError,
     "Coefficient must be a finite number, not nan"),
    ("row*np.float32-inf", lambda: unit(0) * np.float32("-inf"), ValueError,
     "Coefficient must be a finite number, not -inf"),
    ("overflowing-product", lambda: unit(0) * 1e200 * 1e200, ValueError,
     "Coefficient must be a finite number, not inf"),
    ("row+inf", lambda: unit(0) + float("inf"), ValueError,
     "Constant must be a finite number, not inf"),
    ("nan-row", lambda: float("nan") - unit(0), ValueError,
     "Constant must be a finite number, not nan"),
    ("overflowing-constant", lambda: (unit(0) + 1e308) + 1e308, ValueError,
     "Constant must be a finite number, not inf"),
    ("block*nan", lambda: units([0, 1]) * float("nan"), ValueError,
     "Coefficient must be a finite number, not nan"),
    ("block*nan-weight", lambda: units([0, 1]) * np.array([1.0, np.nan]), ValueError,
     "Coefficient must be a finite number, not nan"),
    ("nan-weight-of-an-empty-row", lambda: LinearExpressionsArr(
        csr_array((2, N)), constants=np.zeros(2)) * np.array([1.0, np.nan]), ValueError,
     "Coefficient must be a finite number, not nan"),
    ("block+inf", lambda: units([0, 1]) + float("-inf"), ValueError,
     "Constant must be a finite number, not -inf"),
    ("overflowing-block", lambda: units([0, 1]) * np.array([1e300, 1.0]) * 1e300, ValueError,
     "Coefficient must be a finite number, not inf"),
    ("dot-inf", lambda: dot(units([0, 1]), np.array([np.inf, 1.0])), ValueError,
     "Coefficient must be a finite number, not inf"),
    ("object-weight-nan", lambda: units([0, 1]) * np.array([1, float("nan")], dtype=object),
     ValueError, "Coefficient must be a finite number, not nan"),
    ("row*complex", lambda: unit(0) * (1 + 2j), TypeError, ROW_TYPE),
    ("row+np.complex", lambda: unit(0) + np.complex128(1j), TypeError, ROW_TYPE),
    ("complex-weights", lambda: units([0, 1]) * np.array([1 + 1j, 2]), TypeError,
     "Coefficient must be a real number, not complex: (1+1j)"),
    ("complex-dot", lambda: dot(np.array([1j, 2]), units([0, 1])), TypeError,
     "Coefficient must be a real number, not complex: 1j"),
    ("text-weights", lambda: units([0, 1]) * np.array(["a", "b"]), TypeError,
     "Coefficient must be a real number, not str"),
    ("object-weight-text", lambda: units([0, 1]) * np.array([1, "b"], dtype=object), TypeError,
     "Coefficient must be a real number, not str"),
    ("row<=nan", lambda: unit(0) <= float("nan"), ValueError, "Upper bound must be a number, not nan"),
    ("row>=np.nan", lambda: unit(0) >= np.float64("nan"), ValueError,
     "Lower bound must be a number, not nan"),
    ("row==nan", lambda: unit(0) == float("nan"), ValueError,
     "Equation bound must be a number, not nan"),
    ("row<=complex", lambda: unit(0) <= 1j, TypeError,
     "Upper bound must be a real number, not complex: 1j"),
    ("block<=nan", lambda: units([0, 1]) <= np.array([1.0, np.nan]), ValueError,
     "Upper bound must be a number, not nan"),
    ("block>=nan", lambda: units([0, 1]) >= float("nan"), ValueError,
     "Lower bound must be a number, not nan"),
    ("block==complex", lambda: units([0, 1]) == np.array([1j, 2]), TypeError,
     "Equation bound must be a real number, not complex: 1j"),
    ("block<=texts", lambda: units([0, 1]) <= np.array(["a", "b"]), TypeError,
     "Upper bound must be a real number, not str"),
    ("row<=None", lambda: unit(0) <= None, TypeError,
     "'<=' not supported between instances of 'LinearExpression' and 'NoneType'"),
    ("row>=None", lambda: unit(0) >= None, TypeError,
     "'>=' not supported between instances of 'LinearExpression' and 'NoneType'"),
    ("row==None", lambda: unit(0) == None, TypeError,  # noqa: E711
     "'==' not supported between instances of 'LinearExpression' and 'NoneType'"),
    ("None<=row", lambda: None <= unit(0), TypeError,
     "'>=' not supported between instances of 'LinearExpression' and 'NoneType'"),
    ("block<=None", lambda: units([0, 1]) <= None, TypeError,
     "'<=' not supported between instances of 'LinearExpressionsArr' and 'NoneType'"),
    ("block==None", lambda: units([0, 1]) == None, TypeError,  # noqa: E711
     "'==' not supported between instances of 'LinearExpressionsArr' and 'NoneType'"),
    ("row<=text", lambda: unit(0) <= "5", TypeError,
     "'<=' not supported between instances of 'LinearExpression' and 'str'"),
    ("row<=array", lambda: unit(0) <= np.array([1.0, 2.0]), TypeError,
     "'<=' not supported between instances of 'LinearExpression' and 'numpy.ndarray'"),
]


@pytest.mark.parametrize("call,exc_type,message", [c[1:] for c in REFUSED_NUMBERS],
                         ids=[c[0] for c in REFUSED_NUMBERS])
def test_numbers_no_row_can_hold_are_refused_where_they_are_given(log_sink, call, exc_type,
                                                                   message):
    check_refusal(log_sink, call, exc_type, message)


def test_infinite_bounds_are_no_bounds_and_fractions_their_values():
    e = unit(0) + 1
    assert (e <= float("inf")).upper_bound == float("inf")
    assert (e >= np.float64("-inf")).lower_bound == float("-inf")
    assert type((e >= np.float64("-inf")).lower_bound) is float
    b = units([0, 1]) >= np.array([-np.inf, 0.0])
    assert b.lower_bounds.tolist() == [-np.inf, 0.0]
    half = unit(0) * fractions.Fraction(1, 2) + fractions.Fraction(3, 4)
    assert half.linear_coefficients.data.tolist() == [0.5] and half.constant == 0.75
    assert type(half.constant) is float


# ------------------------------------------------------------------------------------------------
# numpy arrays and scalars on the left: rows and blocks take part in numpy's operator protocol
# (__array_ufunc__ = None), so numpy defers to their reflected operations, as the host's numbers
# do: an operand on the left gives what it gives on the right, and what neither side defines is
# refused alike.

import operator  # noqa: E402

REFLECTED = [
    ("+", operator.add, lambda e, a: e + a), ("-", operator.sub, lambda e, a: e.__rsub__(a)),
    ("*", operator.mul, lambda e, a: e * a), ("<=", operator.le, lambda e, a: e >= a),
    (">=", operator.ge, lambda e, a: e <= a), ("==", operator.eq, lambda e, a: e == a),
    ("/", operator.truediv, None), ("//", operator.floordiv, None), ("@", operator.matmul, None),
    ("**", operator.pow, None), ("%", operator.mod, None), ("<", operator.lt, None),
    (">", operator.gt, None),
]

LEFT = [
    ("float-array", np.array([1.5, 2.0])), ("int-array", np.array([2, 3])),
    ("int32-array", np.array([2, -3], dtype=np.int32)), ("0-d-array", np.array(2.0)),
    ("np.float64", np.float64(2.5)), ("np.int32", np.int32(3)), ("np.float32", np.float32(0.5)),
    ("np.uint8", np.uint8(4)),
]


def outcome(call):
    try:
        result = call()
    except Exception as e:  # the library's own refusals by their words, the host's by type
        text = str(e)
        ours = "supported between" not in text and "unsupported operand" not in text
        return type(e), str(e) if ours else None
    assert not isinstance(result, np.ndarray), "numpy applied the operator element by element"
    return parts(result)


@pytest.mark.parametrize("left", [v for _, v in LEFT], ids=[n for n, _ in LEFT])
@pytest.mark.parametrize("name,op,reflected", REFLECTED, ids=[r[0] for r in REFLECTED])
@pytest.mark.parametrize("kind", ["row", "block", "integer-block"])
def test_numpy_operands_on_the_left_give_what_they_give_on_the_right(log_sink, kind, name, op,
                                                                    reflected, left):
    e = {"row": unit(1) * 2 + 1, "block": units([0, 3]) + 1,
         "integer-block": units([0, 3], dtype=np.int32) * 3}[kind]
    got = outcome(lambda: op(left, e))
    if reflected is None:
        assert got[0] is TypeError  # neither side defines it
        with pytest.raises(TypeError):
            op(e, left)
        return
    assert got == outcome(lambda: reflected(e, left))


def test_ufuncs_called_on_rows_are_refused():
    with pytest.raises(TypeError, match="does not support ufuncs"):
        np.add(np.array([1.0]), unit(0))
    with pytest.raises(TypeError, match="does not support ufuncs"):
        np.multiply(units([0, 1]), 2.0)


def test_left_weights_scale_rows_and_left_numbers_are_host_numbers():
    b = units([0, 3], dtype=np.int32)
    assert parts(np.array([2, 3]) * b) == parts(b * np.array([2, 3]))
    assert parts(np.float64(2.5) * unit(0)) == parts(unit(0) * 2.5)
    assert parts(np.int32(3) - unit(0)) == parts(3 - unit(0))
    assert parts(np.array([1.0, 2.0]) <= b) == parts(b >= np.array([1.0, 2.0]))
    with pytest.raises(TypeError, match="is expected for left side"):
        np.array([1.0, 2.0]) * unit(0)


# ------------------------------------------------------------------------------------------------
# Rows that element references make, and the arithmetic of single rows, kept as plain rows until a
# program reads them: each result equals, array for array, the row the sparse library's own
# operations give for the same expression over csr_arrays (`twin` rows, made by the constructor,
# take the host's way), and for real values the direct scipy computation too.

def twin(x, flat):
    """The row x[flat] as the constructor makes it from the csr_array indexing once built."""
    m = csr_array(((x.type(1),), ((flat + x._shift,),)), shape=(counter(),))
    return LinearExpression(linear_coefficients=m)


def assert_same_full_row(got, want):
    assert_same_row(got, want)
    q, w = got.quadratic_coefficients, want.quadratic_coefficients
    assert (q is None) == (w is None)
    if q is not None:
        same_sparse(q, w)


NUMBERS = [lambda rng: int(rng.integers(-3, 4)), lambda rng: float(rng.integers(-6, 7)) / 2,
           lambda rng: np.int64(rng.integers(-5, 6)), lambda rng: np.float64(rng.normal()),
           lambda rng: np.int32(rng.integers(-9, 10)), lambda rng: 0,
           lambda rng: int(rng.choice([2**31 - 1, -2**31, 2**40, 2**62, -2**63])),
           lambda rng: 2**31, lambda rng: fractions.Fraction(3, 4), lambda rng: True]


def random_row_pairs(rng, arrays, steps):
    """Seeded random expressions of single rows, each made twice: from x[c] and from its twin."""
    real, ints = arrays

    def pick():
        x = real if rng.random() < 0.5 else ints
        flat = int(rng.integers(0, int(np.prod(x.shape))))
        index = np.unravel_index(flat, x.shape)
        return (x[tuple(int(i) for i in index)], twin(x, flat))

    pool = [pick() for _ in range(3)]
    for _ in range(steps):
        (a, ta), (b, tb) = pool[int(rng.integers(len(pool)))], pool[int(rng.integers(len(pool)))]
        c = NUMBERS[int(rng.integers(len(NUMBERS)))](rng)
        op = int(rng.integers(9))
        if op == 0:
            pair = pick()
        elif op == 1:
            pair = (a + b, ta + tb)
        elif op == 2:
            pair = (a - b, ta - tb)
        elif op == 3:
            pair = (a * c, ta * c) if rng.random() < 0.5 else (c * a, c * ta)
        elif op == 4:
            pair = (c - a, c - ta) if rng.random() < 0.5 else (a + c, ta + c)
        elif op == 5:
            chosen = [pool[int(i)] for i in rng.integers(0, len(pool), int(rng.integers(2, 5)))]
            pair = (sum(p[0] for p in chosen), sum(p[1] for p in chosen))
        elif op == 6:
            pair = (a - a, ta - ta)
        elif op == 7:
            pair = (a * 0 + b, ta * 0 + tb)
        else:
            pair = (a, ta)
        pool.append(pair)
    return pool


def test_random_row_expressions_equal_the_sparse_library(arrays):
    rng = seeded_rng()
    for _ in range(40):
        pool = random_row_pairs(rng, arrays, 12)
        # Read in a random order: a result read before or after the rows it was made of.
        for i in rng.permutation(len(pool)):
            got, want = pool[int(i)]
            assert_same_full_row(got, want)
            assert got.linear_coefficients is got.linear_coefficients
            back = pickle.loads(pickle.dumps(got))
            assert_same_full_row(back, want)
        (a, ta), (b, tb) = pool[-1], pool[-2]
        assert_same_full_row(a * b, ta * tb)
        assert_same_full_row((a * b) + a, (ta * tb) + ta)


def test_real_rows_equal_scipy_computed_directly(arrays):
    rng = seeded_rng()
    real, _ = arrays
    n = counter()
    for _ in range(200):
        cols = [int(c) for c in rng.integers(0, 20, 4)]
        vals = [float(v) for v in rng.integers(-3, 4, 4)]
        got = sum((real[c // 5, c % 5] * v for c, v in zip(cols, vals)), 0)
        units_ = [csr_array(((1.0,), ((c + real._shift,),)), shape=(n,)) for c in cols]
        want = units_[0] * vals[0]
        for u, v in zip(units_[1:], vals[1:]):
            want = want + u * v
        same_sparse(got.linear_coefficients, want)
        assert got.constant == 0.0


@pytest.mark.parametrize("make, dtype", [
    (lambda z: z[0] * (2**31 - 1) + z[0] * (2**31 - 1), np.int64),
    (lambda z: z[0] * (2**62) + z[0] * (2**62), np.float64),
    (lambda z: z[0] * 2**31, np.int64),
    (lambda z: z[0] * -1 - z[1] * (2**31 - 1) - z[1] * 2, np.int64),
    (lambda z: z[0] * 3 + z[1] * np.int32(4), np.int32),
    (lambda z: z[0] * 0.5, np.float64),
    (lambda z: -2**31 - z[0], np.int32),
], ids=["int32-sum-to-int64", "int64-sum-to-float64", "int32-product-to-int64",
        "int32-difference-to-int64", "int32-stays", "int-times-float", "number-minus-row"])
def test_integer_rows_never_wrap(arrays, make, dtype):
    _, ints = arrays
    got = make(ints)
    want = make(np.array([twin(ints, 0), twin(ints, 1)], dtype=object))
    assert got.linear_coefficients.data.dtype == dtype
    assert_same_full_row(got, want)


def test_explicit_zeros_are_kept_by_products_and_dropped_by_sums(arrays):
    real, ints = arrays
    for x in (real, ints):
        zero = x[0] * 0 if x is ints else x[0, 0] * 0
        assert zero.linear_coefficients.nnz == 1
        assert zero.linear_coefficients.data[0] == 0
        assert (zero + zero).linear_coefficients.nnz == 0
        one = x[1] if x is ints else x[0, 1]
        assert list((zero + one).linear_coefficients.indices) == [one.linear_coefficients
                                                                  .indices[0]]


def test_rows_past_the_float_range_are_refused_as_before(arrays, log_sink):
    real, _ = arrays
    big = real[0, 0] * 1e308
    with pytest.raises(ValueError) as got:
        big + big
    t = twin(real, 0) * 1e308
    with pytest.raises(ValueError) as want:
        t + t
    assert str(got.value) == str(want.value)
    with pytest.raises(ValueError):
        big * 10.0
    # The refused operations left the operands as they were.
    assert_same_full_row(big, t)


def test_sums_and_weighted_sums_of_a_few_elements_equal_the_sparse_library(arrays):
    rng = seeded_rng()
    real, ints = arrays
    for _ in range(150):
        x = real if rng.random() < 0.5 else ints
        k = int(rng.integers(0, 6))
        item = [int(i) for i in rng.integers(0, int(np.prod(x.shape)), k)]
        got, want = picked(x, item)
        assert_same_row(sumexp(got), sumexp(want))
        kind = ["float64", "zeros", "int64", "half"][int(rng.integers(4))]
        w = {"float64": rng.integers(-3, 4, k).astype(float) + 0.5,
             "zeros": rng.integers(-1, 2, k).astype(float),
             "int64": rng.integers(-3, 4, k),
             "half": rng.normal(size=k) * 1e-3}[kind]
        assert_same_row(dot(got, w), dot(want, w))
        back = pickle.loads(pickle.dumps(dot(got, w)))
        assert_same_row(back, dot(want, w))
        # The rows take part in the arithmetic of single rows like any other.
        assert_same_row(dot(got, w) + sumexp(got) * 2, dot(want, w) + sumexp(want) * 2)


# ------------------------------------------------------------------------------------------------
# Rows stated one term at a time with host floats and ints (`x[c] * a + x[d] * b <= u`): every
# step, the bounds of a comparison among them, and every refusal equal the constructor-made twin's,
# also where a result leaves the range the direct road takes (infinities, NaN, integers past 64
# bits, results past the float range).

HOST_NUMBERS = [lambda rng: float(rng.integers(-6, 7)) / 4, lambda rng: int(rng.integers(-5, 6)),
                lambda rng: float(rng.normal()) * 1e300, lambda rng: 2**63 - 1,
                lambda rng: -2**63, lambda rng: 2**64 + 1, lambda rng: float("inf"),
                lambda rng: float("-inf"), lambda rng: float("nan"), lambda rng: 5e-324,
                lambda rng: -0.0, lambda rng: 0]

TERM_STEPS = [
    ("row+row", lambda a, b, k: a + b), ("row-row", lambda a, b, k: a - b),
    ("row+k", lambda a, b, k: a + k), ("k+row", lambda a, b, k: k + a),
    ("row-k", lambda a, b, k: a - k), ("k-row", lambda a, b, k: k - a),
    ("row*k", lambda a, b, k: a * k), ("k*row", lambda a, b, k: k * a),
]

TERM_COMPARISONS = [lambda a, k: a <= k, lambda a, k: a >= k, lambda a, k: a == k,
               lambda a, k: (a >= k) <= k, lambda a, k: a <= k <= k]


def step_outcome(fn):
    """What a call gives: ("row", result) or ("error", its type, its arguments)."""
    try:
        return ("row", fn())
    except Exception as e:  # noqa: BLE001 - every refusal is compared with the twin's
        return ("error", type(e), e.args)


def assert_same_outcome(got, want):
    assert got[0] == want[0], (got, want)
    if got[0] == "error":
        assert got[1:] == want[1:]
        return
    assert_same_full_row(got[1], want[1])
    for side in ("lower_bound", "upper_bound"):
        g, w = getattr(got[1], side), getattr(want[1], side)
        assert same_number(g, w), side


def test_rows_stated_term_by_term_equal_their_twins(arrays, log_sink):
    rng = seeded_rng()
    real, ints = arrays

    def pick():
        x = real if rng.random() < 0.5 else ints
        flat = int(rng.integers(0, int(np.prod(x.shape))))
        index = flat if x is ints else (flat // 5, flat % 5)
        return x[index], twin(x, flat)

    for _ in range(300):
        a, ta = pick()
        for _ in range(int(rng.integers(1, 7))):
            name, step = TERM_STEPS[int(rng.integers(len(TERM_STEPS)))]
            b, tb = pick()
            k = HOST_NUMBERS[int(rng.integers(len(HOST_NUMBERS)))](rng)
            got = step_outcome(lambda: step(a, b, k))
            want = step_outcome(lambda: step(ta, tb, k))
            assert_same_outcome(got, want)
            if got[0] == "error":
                break
            a, ta = got[1], want[1]
        k = HOST_NUMBERS[int(rng.integers(len(HOST_NUMBERS)))](rng)
        compare = TERM_COMPARISONS[int(rng.integers(len(TERM_COMPARISONS)))]
        assert_same_outcome(step_outcome(lambda: compare(a, k)), step_outcome(lambda: compare(ta, k)))


def test_rows_stated_term_by_term_leave_their_operands_as_they_were(arrays):
    real, _ = arrays
    a, b = real[0, 1] * 2.0, real[1, 2] * 0.5
    want_a, want_b = parts(a), parts(b)
    for result in (a + b, a - b, 3 - a, a + 1, a * 4, a <= 2.0, b == 1, a >= 0):
        assert result is not a and result is not b
        assert type(result) is LinearExpression
    assert parts(a) == want_a and parts(b) == want_b


PRODUCT_FACTORS = [lambda rng: float(rng.integers(-6, 7)) / 4, lambda rng: int(rng.integers(-5, 6)),
                   lambda rng: 0, lambda rng: 0.0, lambda rng: 5e-324, lambda rng: 1e200,
                   lambda rng: -1e-200, lambda rng: 2**62, lambda rng: float(rng.normal())]


def test_products_of_rows_stated_term_by_term_equal_their_twins(arrays, log_sink):
    """The quadratic part of a product of two rows, array for array, with terms that cancel,
    products that are zero or underflow, and values past the float range."""
    rng = seeded_rng()
    real, ints = arrays

    def term():
        x = real if rng.random() < 0.5 else ints
        flat = int(rng.integers(0, 6))  # few columns, so that terms meet and cancel
        index = flat if x is ints else (flat // 5, flat % 5)
        k = PRODUCT_FACTORS[int(rng.integers(len(PRODUCT_FACTORS)))](rng)
        return x[index] * k, twin(x, flat) * k

    def row():
        a, ta = term()
        for _ in range(int(rng.integers(0, 4))):
            b, tb = term()
            minus = rng.random() < 0.3
            a, ta = (a - b, ta - tb) if minus else (a + b, ta + tb)
        c = float(rng.integers(-2, 3))
        return a + c, ta + c

    for _ in range(300):
        (a, ta), (b, tb) = row(), row()
        got, want = step_outcome(lambda: a * b), step_outcome(lambda: ta * tb)
        assert_same_outcome(got, want)
        if got[0] == "row":
            q = got[1].quadratic_coefficients
            assert q.has_sorted_indices and q.has_canonical_format
            # The product of a row with itself, and the product's own sums, take the same road.
            assert_same_outcome(step_outcome(lambda: a * a), step_outcome(lambda: ta * ta))
            assert_same_outcome(step_outcome(lambda: got[1] + a), step_outcome(lambda: want[1] + ta))


def test_freed_rows_leave_nothing_to_new_ones():
    # Rows are made and freed by the million: a new one must not show anything of one freed
    # before it (attributes, weak references).
    from zk_encoder.linear_parser2 import LinearModel, VariableType
    from support.reuse import check_freed_leave_nothing
    x = LinearModel().get_variable("x", VariableType.REAL, 0, 1, i=3)
    expected = (x[0] * 2 + x[1]).linear_coefficients
    check_freed_leave_nothing(
        lambda: x[0] * 2 + x[1],
        lambda f: same_sparse(f.linear_coefficients, expected))
