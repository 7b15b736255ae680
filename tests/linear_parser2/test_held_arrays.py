"""Rows and blocks whose arrays a program holds: those arrays are what every later operation, the
model and pickling read, and every count the engine gets is that of the arrays it gets with it;
cycles through the coefficients rows and blocks share are freed; operands the operators refuse
are refused in the operators' own words."""

import gc
import math
import pickle
import re
import weakref

import numpy as np
import pytest
from scipy.sparse import csr_array

from zk_encoder._exceptions import BuildError
from zk_encoder.linear_parser2 import LinearModel, VariableType, dot, inf
from zk_encoder.linear_parser2 import model as model_module
from zk_encoder.linear_parser2.variable import VariableArray
from support.arrays import same_bits, same_sparse
from support.fakes import RecordingLinsolver, plain

ROW_TYPE = "Type 'float', 'int' or 'LinearExpression' is expected for left side of expression"
BLOCK_TYPE = "Type 'float', 'int' or 'LinearExpressionsArr' is expected for left side of expression"
BLOCK_FACTOR = "Type 'float' or 'int' is expected for left side of expression"


@pytest.fixture
def engine(monkeypatch):
    rec = RecordingLinsolver()
    monkeypatch.setattr(model_module, "linsolver", rec)
    return rec


@pytest.fixture
def model(engine):
    m = LinearModel()
    x = m.get_variable("x", VariableType.REAL, i=3)
    engine.take()
    return m, x


def rows_of(engine):
    """The addRow calls the engine got, as (lower, upper, count, columns, values) of plain lists,
    each count checked against its arrays' lengths."""
    out = []
    for op, args in engine.take():
        if op == "addRow":
            lo, hi, count, idx, vals = args
            assert count == len(idx) == len(vals), (count, idx, vals)
            out.append((lo, hi, count, list(idx), [float(v).hex() for v in vals]))
    return out


def hexes(*values):
    return [float(v).hex() for v in values]


# ------------------------------------------------------------------------------------------------
# Arrays a program holds are the row's truth.

def write_first(row, value=7):
    row.linear_coefficients.data[0] = value
    return row


ADDED = [
    # build(x) -> the constraint added after the program's reads and writes; the engine's row
    ("written-data", lambda x: write_first(x[0] * 2.0 + x[1]) <= 14,
     (-inf, 14, 2, [0, 1], hexes(7, 1))),
    ("bound-made-before-write",
     lambda x: (lambda r: (lambda b: (write_first(r), b)[1])(r <= 14))(x[0] * 2.0 + x[1]),
     (-inf, 14, 2, [0, 1], hexes(7, 1))),
    ("shifted-made-before-write",
     lambda x: (lambda r: (lambda s: (write_first(r), s <= 3)[1])(r + 1.0))(x[0] * 2.0 + x[1]),
     (-inf, 2, 2, [0, 1], hexes(7, 1))),
    ("sum-after-write", lambda x: (write_first(x[0] * 2.0 + x[1]) + x[2] - x[2]) <= 14,
     (-inf, 14, 2, [0, 1], hexes(7, 1))),
    ("scaled-after-write", lambda x: write_first(x[0] * 2.0 + x[1]) * 2 >= 0,
     (0, inf, 2, [0, 1], hexes(14, 2))),
    ("negated-after-write", lambda x: (1 - write_first(x[0] * 2.0 + x[1])) == 0,
     (-1, -1, 2, [0, 1], hexes(-7, -1))),
    ("eliminated-zeros",
     lambda x: (lambda z: (z.linear_coefficients.eliminate_zeros(), z <= 1)[1])(x[0] * 0.0 + 0.0),
     (-inf, 1, 0, [], [])),
    ("explicit-zero-written", lambda x: write_first(x[0] + x[1], 0.0) <= 1,
     (-inf, 1, 2, [0, 1], hexes(0.0, 1))),
    ("negative-zero-written", lambda x: write_first(x[0] + x[1], -0.0) <= 1,
     (-inf, 1, 2, [0, 1], hexes(-0.0, 1))),
    ("pickled-after-write",
     lambda x: pickle.loads(pickle.dumps(write_first(x[0] * 2.0 + x[1]))) <= 14,
     (-inf, 14, 2, [0, 1], hexes(7, 1))),
    ("block-sum-after-write",
     lambda x: (lambda b: (b.linear_coefficients.data.__setitem__(0, 3.0), b.sum() <= 1)[1])(
         x[[0, 1]]),
     (-inf, 1, 2, [0, 1], hexes(3, 1))),
    ("block-dot-after-write",
     lambda x: (lambda b: (b.linear_coefficients.data.__setitem__(1, 5.0),
                           dot(b, np.array([1.0, 2.0])) <= 1)[1])(x[[0, 1]]),
     (-inf, 1, 2, [0, 1], hexes(1, 10))),
    ("block-of-sum-after-write",
     lambda x: (lambda b: (b.linear_coefficients.data.__setitem__(0, 3.0),
                           (b + x[[2, 2]]).sum() <= 1)[1])(x[[0, 1]]),
     (-inf, 1, 3, [0, 1, 2], hexes(3, 1, 2))),
]


@pytest.mark.parametrize("build,want", [c[1:] for c in ADDED], ids=[c[0] for c in ADDED])
def test_the_engine_gets_the_arrays_a_program_holds(model, engine, build, want):
    m, x = model
    m.add_constraint(build(x))
    assert rows_of(engine) == [want]


def test_a_row_added_twice_and_read_between_gives_one_set_of_arrays(model, engine):
    m, x = model
    r = x[0] * 2.0 + x[1]
    m.add_constraint(r <= 1)
    (_, (_, _, _, idx, vals)), = engine.calls
    # The arrays the engine got are those the matrix holds (as had it been read first); a write
    # into them is what the next constraint reads.
    coefs = r.linear_coefficients
    assert idx is coefs.indices and vals is coefs.data
    coefs.data[1] = 4.0
    engine.take()
    m.add_constraint(r >= 0)
    assert rows_of(engine) == [(0, inf, 2, [0, 1], hexes(2, 4))]


def test_a_target_reads_the_written_matrix(model, engine):
    m, x = model
    r = write_first(x[0] * 2.0 + x[1])
    m.add_target(r, True)
    costs = [args for op, args in engine.take() if op.startswith("changeCol")]
    got = {int(i): v for count, idx, vals in costs for i, v in zip(idx, vals)}
    assert {i: v for i, v in got.items() if v} == {0: 7.0, 1: 1.0}


def shortened(matrix, name):
    """The matrix with one of its arrays replaced by a copy one entry short."""
    setattr(matrix, name, getattr(matrix, name)[:-1].copy())
    return matrix


STORED = "The coefficient matrix's arrays do not hold the number of entries it stores"
MISCOUNTED = [
    # call(m, x): hands the model a matrix whose arrays disagree with the entries it stores
    ("row-data", lambda m, x: (lambda r: (shortened(r.linear_coefficients, "data"),
                                          m.add_constraint(r <= 1)))(x[0] * 2.0 + x[1])),
    ("row-indices", lambda m, x: (lambda r: (shortened(r.linear_coefficients, "indices"),
                                             m.add_constraint(r <= 1)))(x[0] * 2.0 + x[1])),
    ("block-data", lambda m, x: (lambda b: (shortened(b.linear_coefficients, "data"),
                                            m.add_constraints(b <= 1)))(x[[0, 1]])),
    ("block-starts", lambda m, x: (lambda b: (shortened(b.linear_coefficients, "indptr"),
                                              m.add_constraints(b <= 1)))(x[[0, 1, 2]])),
    ("target-data", lambda m, x: (lambda r: (shortened(r.linear_coefficients, "data"),
                                             m.add_target(r, True)))(x[0] * 2.0 + x[1])),
]


@pytest.mark.parametrize("call", [c[1] for c in MISCOUNTED], ids=[c[0] for c in MISCOUNTED])
def test_arrays_that_disagree_with_the_stored_count_reach_no_engine(model, engine, log_sink, call):
    m, x = model
    with pytest.raises(ValueError, match=re.escape(STORED)):
        call(m, x)
    assert engine.take() == []
    assert log_sink.at("error")[-1:] == [STORED]


@pytest.mark.parametrize("value", [float("nan"), float("inf")], ids=["nan", "inf"])
def test_a_value_no_row_can_hold_written_into_a_held_matrix_is_refused(model, engine, value):
    m, x = model
    r = write_first(x[0] * 2.0 + x[1], value)
    with pytest.raises(ValueError):
        m.add_constraint(r <= 1)
    assert engine.calls == []


def test_a_column_of_another_model_written_into_a_held_matrix_is_refused(model, engine):
    m, x = model
    LinearModel().get_variable("y", VariableType.REAL, i=2)
    engine.take()
    r = x[0] + x[1]
    r.linear_coefficients.indices[1] = VariableArray._total_created_variables - 1
    with pytest.raises(BuildError):
        m.add_constraint(r <= 1)
    assert engine.calls == []


# ------------------------------------------------------------------------------------------------
# The collector frees cycles through rows, blocks and variable arrays.

def row_cycle(x):
    r = x[0] * 2.0 + x[1]
    b = r <= 4
    r.linear_coefficients.owner = (r, b)
    return r


def block_cycle(x):
    blk = x[[0, 1]]
    c = blk + 1
    blk.linear_coefficients.owner = (blk, c)
    return blk


def sum_cycle(x):
    a, b = x[[0, 1]], x[[1, 2]]
    s = a + b
    a.linear_coefficients.owner = (a, s)
    return a


@pytest.mark.parametrize("make", [row_cycle, block_cycle, sum_cycle],
                         ids=["shared-row-matrix", "shared-block-matrix", "matrix-below-a-sum"])
def test_cycles_through_shared_coefficients_are_collected(model, make):
    _, x = model
    obj = make(x)
    ref = weakref.ref(obj.linear_coefficients)
    del obj
    gc.collect()
    assert ref() is None


class Kept(VariableArray):
    """An array class of a program's, whose instances have a dictionary to keep rows in."""


def kept_array(n=3):
    v = Kept("v", (n,), 0.0, 1.0, np.float64, VariableArray._total_created_variables)
    VariableArray._total_created_variables += n
    return v


KEPT = [
    # what the array v keeps in its own dictionary, made from v (and w, an array made with it)
    ("element", lambda v, w: v[0]),
    ("slice-block", lambda v, w: v[0:2]),
    ("list-block", lambda v, w: v[[2, 0]]),
    ("sum-row", lambda v, w: v[0] * 2.0 + v[1]),
    ("bounded-row", lambda v, w: v[0] + 1.0 <= 3),
    ("block-sum", lambda v, w: (v[0:2] + v[[1, 2]]).sum()),
    ("row-of-two-arrays", lambda v, w: v[0] + w[1]),
    ("block-of-two-arrays", lambda v, w: v[0:2] - w[[2, 1]]),
    ("read-matrix", lambda v, w: (lambda r: (r.linear_coefficients, r)[1])(v[1] - v[2])),
    ("in-a-list", lambda v, w: [v[0], v[1:3]]),
]


@pytest.mark.parametrize("keep", [c[1] for c in KEPT], ids=[c[0] for c in KEPT])
def test_an_array_that_keeps_its_own_rows_is_collected(keep):
    v, w = kept_array(), kept_array()
    v.keep = w.keep = keep(v, w)
    refs = [weakref.ref(v), weakref.ref(w)]
    del v, w
    gc.collect()
    assert [r() for r in refs] == [None, None]


def test_rows_alone_keep_their_subclassed_array_alive():
    v = kept_array()
    ref = weakref.ref(v)
    rows = [v[0], v[0:2], v[1] * 2.0 + v[2]]
    del v
    gc.collect()
    assert ref() is not None
    # Rows made after the earlier ones are gone are still the array's own.
    again = ref()[2]
    del rows
    gc.collect()
    assert ref() is not None
    del again
    gc.collect()
    assert ref() is None


# ------------------------------------------------------------------------------------------------
# Operands the operators refuse, in their own words; values the comparisons let through are
# refused for what they are.

REFUSED = [
    ("row+complex", lambda x: x[0] + complex(1, 1), ROW_TYPE),
    ("complex+row", lambda x: complex(1, 1) + x[0], ROW_TYPE),
    ("row-complex", lambda x: x[0] - 1j, ROW_TYPE),
    ("complex-row", lambda x: 1j - x[0], ROW_TYPE),
    ("row*complex", lambda x: x[0] * 1j, ROW_TYPE),
    ("complex*row", lambda x: 1j * x[0], ROW_TYPE),
    ("row+np.complex128", lambda x: x[0] + np.complex128(1j), ROW_TYPE),
    ("np.complex64*row", lambda x: np.complex64(1j) * x[0], ROW_TYPE),
    ("sum-row+complex", lambda x: (x[0] * 2.0 + x[1]) + 1j, ROW_TYPE),
    ("block+complex", lambda x: x[[0, 1]] + 1j, BLOCK_TYPE),
    ("complex+block", lambda x: 1j + x[[0, 1]], BLOCK_TYPE),
    ("block-complex", lambda x: x[[0, 1]] - 1j, BLOCK_TYPE),
    ("complex-block", lambda x: 1j - x[[0, 1]], BLOCK_TYPE),
    ("block*complex", lambda x: x[[0, 1]] * 1j, BLOCK_FACTOR),
    ("complex*block", lambda x: 1j * x[[0, 1]], BLOCK_FACTOR),
    ("row<=complex", lambda x: x[0] <= 1j, "Upper bound must be a real number, not complex: 1j"),
    ("block*complex-weights", lambda x: x[[0, 1]] * np.array([1j, 2]),
     "Coefficient must be a real number, not complex: 1j"),
]


@pytest.mark.parametrize("call,message", [c[1:] for c in REFUSED], ids=[c[0] for c in REFUSED])
def test_complex_operands_are_refused_in_the_operators_words(model, log_sink, call, message):
    _, x = model
    with pytest.raises(TypeError) as info:
        call(x)
    assert str(info.value) == message
    assert log_sink.at("error")[-1:] == [message]


# ------------------------------------------------------------------------------------------------
# The fast road against the sparse library's own operations, in random sequences of operations, reads and
# in-place writes of the arrays a program holds.

class Twin:
    """A row and, beside it, what the sparse library's own operations give: its csr_array and constant."""

    def __init__(self, row, lin, const):
        self.row, self.lin, self.const = row, lin, const


def unit(x, col, width):
    return Twin(x[col], csr_array(([1.0], ([col],)), shape=(width,)), 0.0)


NUMBERS = [0.0, -0.0, 1.0, -1.5, 2, -3, 0, 1e-300, 0.1]


def step(rng, x, width, pool):
    a = rng.choice(pool)
    kind = rng.randrange(8)
    if kind == 0:
        return unit(x, rng.randrange(3), width)
    if kind in (1, 2):
        b = rng.choice(pool)
        minus = kind == 2
        return Twin(a.row - b.row if minus else a.row + b.row,
                    a.lin - b.lin if minus else a.lin + b.lin,
                    a.const - b.const if minus else a.const + b.const)
    k = rng.choice(NUMBERS)
    if kind == 3:
        return Twin(a.row + k, a.lin, a.const + k)
    if kind == 4:
        return Twin(a.row - k, a.lin, a.const - k)
    if kind == 5:
        return Twin(k - a.row, -a.lin, k - a.const)
    if kind == 6:
        return Twin(a.row * k, k * a.lin, k * a.const)
    # A read, and sometimes a write into what was read.
    got = a.row.linear_coefficients
    assert same_sparse(got, a.lin)
    if got.nnz and rng.random() < 0.6:
        at = rng.randrange(got.nnz)
        value = rng.choice([0.0, -0.0, 5.0, -2.25])
        got.data[at] = value
        a.lin.data[at] = value
    return None


def test_random_sequences_give_what_the_sparse_library_gives(model, engine, rng):
    m, x = model
    width = VariableArray._total_created_variables
    for _ in range(20):
        pool = [unit(x, c, width) for c in range(3)]
        for _ in range(40):
            made = step(rng, x, width, pool)
            if made is not None:
                pool.append(made)
        for t in pool:
            assert math.copysign(1, t.row.constant) == math.copysign(1, t.const), rng.seed_value
            assert float(t.row.constant).hex() == float(t.const).hex(), rng.seed_value
            engine.take()
            m.add_constraint(t.row == 1)
            (_, (lo, hi, count, idx, vals)), = engine.take()
            assert count == t.lin.nnz == len(idx) == len(vals), rng.seed_value
            assert same_bits(idx, t.lin.indices) and same_bits(vals, t.lin.data), rng.seed_value
            assert same_sparse(t.row.linear_coefficients, t.lin), rng.seed_value
