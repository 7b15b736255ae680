"""Program code wherever the host can call back into a program while rows and blocks are made
(index objects, number-likes and numpy scalar subclasses, finalizers and collections in the middle
of an operation, subclasses overriding the operators), and dimensions of size 0: every result is
the one the sparse library's own operations give, to the bit."""

import fractions
import gc
import numbers

import numpy as np
import pytest
from scipy.sparse import csr_array

from zk_encoder.linear_parser2 import LinearModel, VariableType, dot, sumexp
from zk_encoder.linear_parser2 import model as model_module
from zk_encoder.linear_parser2._expression import LinearExpression, LinearExpressionsArr
from zk_encoder.linear_parser2.variable import VariableArray
from support.arrays import same_bits, same_number, same_sparse
from support.fakes import RecordingLinsolver


def width():
    return VariableArray._total_created_variables


def new_array(shape, dtype=np.float64):
    x = VariableArray("x", shape, 0.0, 1.0, dtype, width())
    VariableArray._total_created_variables += int(np.prod(shape))
    return x


@pytest.fixture
def x():
    return new_array((4,))


def same_row(got, want_lin, want_const):
    assert type(got) is LinearExpression
    return same_sparse(got.linear_coefficients, want_lin) and same_number(got.constant, want_const)


def same_block(got, want_lin, want_consts):
    assert type(got) is LinearExpressionsArr
    return same_sparse(got.linear_coefficients, want_lin) and same_bits(got.constants, want_consts)


# Where the library and the sparse road part today: each case runs and must fail (strict), so
# that the day the library gives the sparse road's result the marker has to go.
NUMPY_CONSTANT = ("a numpy scalar operand: the library's number rule makes the constant a host "
                  "number where the sparse road keeps numpy's scalar")
HOOKED_NUMBER = ("a number subclass: the sparse library reads it through its own __float__ or "
                 "__int__ (a Fraction as an object), the library by its value")


def part(request, reason):
    request.applymarker(pytest.mark.xfail(strict=True, reason=reason))


def outcome(call):
    """What a call gives: its result, or the class of what it raised."""
    try:
        return call()
    except Exception as e:  # the roads must fail alike
        return type(e)


# ------------------------------------------------------------------------------------------------
# The sparse library's road, written out with the sparse library.

def sparse_index(x, item):
    """What indexing gives on the sparse library's road: the coefficients of the row or block."""
    n = width()
    if isinstance(item, (numbers.Integral, np.integer)):
        return csr_array(((x._type(1),), ((item + x._shift,),)), shape=(n,))
    if isinstance(item, slice):
        start, stop, stride = item.indices(x._shape[0])
        k = len(range(start, stop, stride))
        cols = np.arange(start, stop, stride, dtype=np.int32) + x._shift
        return csr_array((np.ones((k,), dtype=x._type), (np.arange(k, dtype=np.int32), cols)),
                         shape=(k, n))
    if isinstance(item, np.ndarray) and np.issubdtype(item.dtype, "bool") and \
            item.shape == tuple(x._shape):
        cols = np.flatnonzero(item)
    elif isinstance(item, np.ndarray):
        cols = item
    else:
        cols = np.int32(item)
    rows = np.arange(len(cols), dtype=np.int32)
    return csr_array((np.ones((rows.size,), dtype=x._type), (rows, cols + x._shift)),
                     shape=(len(rows), n))


# ------------------------------------------------------------------------------------------------
# Index objects.

class HookedInt(int):
    """An integer whose conversions say something else than its value."""

    def __index__(self):
        return 3

    def __int__(self):
        return 2

    def __float__(self):
        return 9.0


class HookedNumpyInt(np.int64):
    def __index__(self):
        return 3

    def __int__(self):
        return 2


INDEXES = [
    ("int-subclass", lambda: HookedInt(1)),
    ("numpy-int-subclass", lambda: HookedNumpyInt(1)),
    ("bool", lambda: True),
    ("slice-of-hooked", lambda: slice(HookedInt(0), HookedInt(1))),
    ("list-of-hooked", lambda: [HookedInt(1), 0]),
    ("list-of-numpy-hooked", lambda: [HookedNumpyInt(1), 2]),
    ("empty-list", lambda: []),
    ("empty-int32-array", lambda: np.array([], dtype=np.int32)),
    ("empty-slice", lambda: slice(3, 1)),
    ("empty-int-array", lambda: np.array([], dtype=np.int64)),
    ("false-mask", lambda: np.zeros(4, dtype=bool)),
    ("int32-array", lambda: np.array([3, 0, 3], dtype=np.int32)),
]


@pytest.mark.parametrize("make", [c[1] for c in INDEXES], ids=[c[0] for c in INDEXES])
def test_index_objects_give_the_sparse_library_s_rows(x, make):
    got = x[make()]
    same_sparse(got.linear_coefficients, sparse_index(x, make()))


# ------------------------------------------------------------------------------------------------
# Number-likes on either side of the operators.

class HookedFloat(float):
    def __float__(self):
        return 99.0

    def __eq__(self, other):
        return True

    __hash__ = float.__hash__


class HookedNumpyFloat(np.float64):
    def __float__(self):
        return 99.0

    def __eq__(self, other):
        return True

    __hash__ = np.float64.__hash__


NUMBERS = [
    ("float-subclass", lambda: HookedFloat(-0.5)),
    ("int-subclass", lambda: HookedInt(3)),
    ("numpy-float-subclass", lambda: HookedNumpyFloat(2.5)),
    ("numpy-int-subclass", lambda: HookedNumpyInt(-2)),
    ("negative-zero", lambda: -0.0),
    ("numpy-negative-zero", lambda: np.float64(-0.0)),
    ("bool", lambda: True),
    ("big-int", lambda: 2**70),
    ("numpy-int32", lambda: np.int32(7)),
    ("fraction", lambda: fractions.Fraction(1, 3)),
]

ROW_OPS = [
    # (name, the operation on a row r and a number k, the sparse library's road on (lin, const, k))
    ("row+k", lambda r, k: r + k, lambda a, c, k: (a, c + k)),
    ("k+row", lambda r, k: k + r, lambda a, c, k: (a, c + k)),
    ("row-k", lambda r, k: r - k, lambda a, c, k: (a, c - k)),
    ("k-row", lambda r, k: k - r, lambda a, c, k: (-a, k - c)),
    ("row*k", lambda r, k: r * k, lambda a, c, k: (k * a, k * c)),
    ("k*row", lambda r, k: k * r, lambda a, c, k: (k * a, k * c)),
]


@pytest.mark.parametrize("op", [c[1:] for c in ROW_OPS], ids=[c[0] for c in ROW_OPS])
@pytest.mark.parametrize("make", [c[1] for c in NUMBERS], ids=[c[0] for c in NUMBERS])
@pytest.mark.parametrize("base", ["element", "sum"])
def test_number_likes_give_the_sparse_library_s_rows(request, x, op, make, base):
    road, sparse = op
    number, name = request.node.callspec.id.split("-", 1)[1].rsplit("-", 1)
    if number.startswith("numpy-"):
        part(request, NUMPY_CONSTANT)
    elif number in ("float-subclass", "int-subclass", "fraction") and "*" in name:
        part(request, HOOKED_NUMBER)
    r = x[1] if base == "element" else x[1] * 2.0 + x[3] - 1.5
    lin, const = r.linear_coefficients.copy(), r.constant
    got = outcome(lambda: road(r, make()))
    want = outcome(lambda: sparse(lin, const, make()))
    if isinstance(want, type):
        assert got is want or isinstance(got, type) and issubclass(got, want), (got, want)
    else:
        same_row(got, *want)


BLOCK_OPS = [
    ("block+k", lambda b, k: b + k, lambda a, c, k: (a, c + k)),
    ("block-k", lambda b, k: b - k, lambda a, c, k: (a, c - k)),
    ("block*k", lambda b, k: b * k, lambda a, c, k: (k * a, k * c)),
    ("k*block", lambda b, k: k * b, lambda a, c, k: (k * a, k * c)),
]


@pytest.mark.parametrize("op", [c[1:] for c in BLOCK_OPS], ids=[c[0] for c in BLOCK_OPS])
@pytest.mark.parametrize("make", [c[1] for c in NUMBERS[:7]], ids=[c[0] for c in NUMBERS[:7]])
def test_number_likes_give_the_sparse_library_s_blocks(request, x, op, make):
    road, sparse = op
    if any(request.node.callspec.id.startswith(n + "-")
           for n in ("float-subclass", "int-subclass", "numpy-int-subclass")):
        part(request, HOOKED_NUMBER)
    b = x[[1, 3, 1]] + x[[0, 0, 2]]
    lin, consts = b.linear_coefficients.copy(), b.constants.copy()
    got = road(b, make())
    same_block(got, *sparse(lin, consts, make()))


# ------------------------------------------------------------------------------------------------
# Finalizers and collections in the middle of an operation read and write what operands hold.

class Meddler:
    """Reads every held row's and block's matrix and writes each value back unchanged, from a
    finalizer and from the collector's callback, so the library meets its operands' arrays made,
    read and written in the middle of its own passes."""

    def __init__(self, held):
        self.held = held

    def __call__(self, *args):
        for obj in self.held:
            m = obj.linear_coefficients
            if m.nnz:
                m.data[0] = m.data[0]
            obj.constant if isinstance(obj, LinearExpression) else obj.constants


class Finalized:
    def __init__(self, meddle):
        self.meddle, self.me = meddle, self

    def __del__(self):
        self.meddle()


@pytest.fixture
def meddling():
    """Collections after every allocation, each reading and writing what `held` holds and
    running a finalizer that does the same."""
    held = []
    meddle = Meddler(held)
    threshold = gc.get_threshold()
    gc.callbacks.append(meddle)
    gc.set_threshold(1, 1, 1)
    try:
        yield held, lambda: Finalized(meddle)
    finally:
        gc.set_threshold(*threshold)
        gc.callbacks.remove(meddle)
        gc.collect()


PASSES = [
    # (name, operands from x, the operation, the sparse library's road on the operands' arrays)
    ("row-sum", lambda x: [x[0] * 2.0 + x[1], x[1] - x[2] * 0.5],
     lambda a, b: a + b, lambda a, b: (a[0] + b[0], a[1] + b[1])),
    ("row-difference", lambda x: [x[0] * 2.0 + x[1], x[1] - x[2] * 0.5],
     lambda a, b: a - b, lambda a, b: (a[0] - b[0], a[1] - b[1])),
    ("host-sum", lambda x: [x[0], x[1] * 3.0, x[0] - 1.0],
     lambda *rows: sum(rows), lambda *p: (sum((q[0] for q in p), csr_array((width(),))) + 0,
                                           0 + sum(q[1] for q in p))),
]


@pytest.mark.parametrize("case", [c[1:] for c in PASSES], ids=[c[0] for c in PASSES])
def test_operations_meet_their_operands_read_and_written_midway(x, meddling, case):
    make, road, sparse = case
    held, finalized = meddling
    operands = make(x)
    want = sparse(*[(r.linear_coefficients.copy(), r.constant) for r in operands])
    fresh = make(x)  # not yet read: the library's own arrays until the meddler reads them
    held.extend(fresh)
    finalized()
    got = road(*fresh)
    assert same_sparse(got.linear_coefficients, want[0].tocsr() if want[0].format != "csr"
                       else want[0])
    assert float(got.constant) == float(want[1])


def test_blocks_meet_their_operands_read_and_written_midway(x, meddling):
    held, finalized = meddling
    a, b = x[[0, 1, 2]], x[[3, 3, 0]]
    want_sum = (a.linear_coefficients + b.linear_coefficients).sum(axis=0)
    a, b = x[[0, 1, 2]], x[[3, 3, 0]]
    s = a + b
    held.extend([a, b, s])
    finalized()
    got = s.sum()
    assert got.linear_coefficients.toarray().tolist() == np.asarray(want_sum).ravel().tolist()
    w = np.array([1.0, -0.0, 2.5])
    want = csr_array(w).dot(a.linear_coefficients + b.linear_coefficients).tocsr()
    same_sparse(dot(s, w).linear_coefficients, want)


def test_a_model_meets_its_rows_read_and_written_midway(monkeypatch, meddling):
    held, finalized = meddling
    monkeypatch.setattr(model_module, "linsolver", RecordingLinsolver())
    m = LinearModel()
    y = m.get_variable("y", VariableType.REAL, 0, 1, i=3)
    rows = [y[0] * 2.0 + y[1], y[2] - y[0]]
    held.extend(rows)
    finalized()
    for r in rows:
        m.add_constraint(r <= 1)
    m.add_constraints((y[[0, 1]] + y[[2, 2]]) >= 0)
    lines = [(op, [list(np.asarray(a)) if hasattr(a, "__len__") else a for a in args])
             for op, args in model_module.linsolver.take() if op.startswith("addRow")]
    assert [op for op, _ in lines] == ["addRow", "addRow", "addRows"]
    assert lines[0][1][2:] == [2, [0, 1], [2.0, 1.0]]
    assert lines[1][1][2:] == [2, [0, 2], [-1.0, 1.0]]


# ------------------------------------------------------------------------------------------------
# Dimensions of size 0.

EMPTY = [
    # (name, shape of the array, the index)
    ("no-elements-list", (0,), []),
    ("no-elements-slice", (0,), slice(None)),
    ("no-elements-int-array", (0,), np.array([], dtype=np.int64)),
    ("zero-columns-mask", (2, 0), np.zeros((2, 0), dtype=bool)),
    ("empty-slice", (3,), slice(2, 2)),
]


@pytest.mark.parametrize("shape,item", [c[1:] for c in EMPTY], ids=[c[0] for c in EMPTY])
def test_empty_blocks_give_what_the_sparse_library_gives(shape, item):
    x = new_array(shape)
    b = x[item]
    want = sparse_index(x, item)
    same_sparse(b.linear_coefficients, want)
    n = width()
    # Sums over no rows: a row of no entries and the constant 0 of the constants' type.
    for got in (b.sum(), sumexp(b), (b + b).sum(), (b * 2.0).sum()):
        assert got.linear_coefficients.shape == (n,) and got.linear_coefficients.nnz == 0
        assert float(got.constant) == 0.0
    got = dot(b, np.array([], dtype=np.float64))
    same_sparse(got.linear_coefficients, csr_array(np.array([], dtype=np.float64)).dot(
        want).tocsr())
    same_bits((b - 1.0).constants, want.sum(axis=1).astype(np.float64).ravel()[:0] - 1.0)
    assert (b == np.array([])).constants.shape == (0,)


def test_an_empty_block_adds_no_rows(monkeypatch):
    rec = RecordingLinsolver()
    monkeypatch.setattr(model_module, "linsolver", rec)
    m = LinearModel()
    y = m.get_variable("y", VariableType.REAL, 0, 1, i=2)
    rec.take()
    m.add_constraints(y[[]] <= 1)
    m.add_constraints(y[1:1] + y[[]] >= 0)
    rows = [args for op, args in rec.take() if op.startswith("addRow")]
    assert all(args[0] == 0 for args in rows)


def test_an_empty_row_gives_what_the_sparse_library_gives(x):
    z = x[1] * 0.0
    z.linear_coefficients.eliminate_zeros()
    want = csr_array((width(),))
    for got, lin in ((z + x[2] - x[2], x[2].linear_coefficients - x[2].linear_coefficients),
                     (z * 3.0, 3.0 * z.linear_coefficients), (-1 - z, -z.linear_coefficients)):
        same_sparse(got.linear_coefficients, (lin if lin.nnz else lin))
    assert z.linear_coefficients.nnz == 0 and want.nnz == 0


# ------------------------------------------------------------------------------------------------
# Subclasses overriding the operators: the host hands them the operation first, and what the
# library makes of them is what it makes of their class.

class RowSub(LinearExpression):
    def __radd__(self, other):
        return "row-radd"

    def __mul__(self, other):
        return "row-mul"


class BlockSub(LinearExpressionsArr):
    def __radd__(self, other):
        return "block-radd"

    def __rmul__(self, other):
        return "block-rmul"


class ArraySub(VariableArray):
    def __getitem__(self, item):
        return super().__getitem__(item) * 2.0


def test_subclasses_overriding_the_operators_are_asked_first(x):
    r = RowSub(linear_coefficients=x[2].linear_coefficients)
    assert x[0] + r == "row-radd"
    assert sum([x[0], r]) == "row-radd"
    assert r * 3 == "row-mul"
    got = 3 * r  # the row class's own reflected product
    same_row(got, 3 * x[2].linear_coefficients, 0.0)
    b = BlockSub(linear_coefficients=x[[0, 1]].linear_coefficients, is_init=True)
    assert x[[2, 3]] + b == "block-radd"
    assert 2.0 * b == "block-rmul"
    got = b + x[[2, 3]]
    same_sparse(got.linear_coefficients,
                b.linear_coefficients + x[[2, 3]].linear_coefficients)


def test_a_variable_array_subclass_indexes_through_its_own_getitem():
    y = ArraySub("y", (3,), 0.0, 1.0, np.float64, width())
    VariableArray._total_created_variables += 3
    same_row(y[1], 2.0 * sparse_index(y, 1), 0.0)
    same_sparse(y[[0, 2]].linear_coefficients, 2.0 * sparse_index(y, [0, 2]))
