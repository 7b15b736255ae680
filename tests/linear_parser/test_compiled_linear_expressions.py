"""Numeric linear expressions: storage, properties, arithmetic, sums, refusals, and results that
are exactly what scipy's operations give (stored order, dtypes, explicit zeros)."""

import fractions
import random

import numpy as np
import pytest
from scipy.sparse import coo_array, csc_array, csr_array

from zk_encoder.linear_parser import compiled_linear_expressions as cle
from zk_encoder.linear_parser.compiled_linear_expressions import (
    CompiledLinearExpression as CLE, CompiledSum)
from support.arrays import same_bits, same_sparse
from support.seeds import fresh_seed

ADD_MSG = "Type 'LinearExpression' is expected for left side of expression"
MUL_MSG = "Type 'LinearExpression' or 'int' is expected for expression"


def unit_coo(g):
    return coo_array(([1], ([g], [0])))


def u(g):
    """The unit expression of global column g, as a variable element call makes it."""
    return CLE(unit_coo(g))


def lin(e):
    return dict(zip(e.linear_coefficients_indexes.tolist(), e.linear_coefficients.tolist()))


def quad(e):
    q = e.quadratic_coefficients
    return None if q is None else q.toarray()


# ------------------------------------------------------------------------------------------------
# A reference: the arithmetic written directly over scipy, step by step as the operators define it.

class Ref:
    def __init__(self, linear, constant=0, quadratic=None):
        self.c = constant
        self.L = linear if type(linear) is coo_array else linear.tocoo()
        self.Q = quadratic


def _align(a, b):
    shape = np.maximum(a.shape, b.shape)
    a, b = a.copy(), b.copy()
    a.resize(shape)
    b.resize(shape)
    return a, b


# Each step in the operators' order (constant, linear part, quadratic part), so that the first
# failure is the same one.

def ref_addsub(e, o, sub):
    if isinstance(o, Ref):
        constant = e.c - o.c if sub else e.c + o.c
        a, b = _align(e.L, o.L)
        linear = (a - b if sub else a + b).tocoo()
        if e.Q is not None and o.Q is not None:
            qa, qb = _align(e.Q, o.Q)
            q = (qa - qb if sub else qa + qb).tocoo()
        elif e.Q is not None:
            q = e.Q.copy()
        elif o.Q is not None:
            q = -(o.Q.copy()) if sub else o.Q.copy()
        else:
            q = None
        return Ref(linear, constant, q)
    constant = e.c - o if sub else e.c + o
    linear = e.L.copy()
    return Ref(linear, constant, None if e.Q is None else e.Q.copy())


def ref_mul(e, o):
    if not isinstance(o, Ref):
        constant = o * e.c
        linear = o * e.L
        return Ref(linear, constant, None if e.Q is None else o * e.Q)
    a, b = _align(e.L, o.L)
    constant = o.c * e.c
    linear = (o.c * a + e.c * b).tocoo()
    return Ref(linear, constant, (0.5 * (a @ b.T + b @ a.T)).tocoo())


def ref_neg(e):
    constant = -e.c
    linear = (-(e.L.copy())).tocoo()
    return Ref(linear, constant, None if e.Q is None else -(e.Q.copy()))


def ref_pos(e):
    constant = +e.c
    linear = e.L.copy().tocoo()
    return Ref(linear, constant, None if e.Q is None else e.Q.copy())


def same_as_ref(e, r):
    assert type(e.constant) is type(r.c) and repr(e.constant) == repr(r.c)
    same_sparse(e._linear_coefficients, r.L)
    same_bits(e.linear_coefficients_indexes, r.L.row.copy())
    same_bits(e.linear_coefficients, r.L.data.copy())
    if r.Q is None:
        assert e._quadratic_coefficients is None and e.quadratic_coefficients is None
    else:
        same_sparse(e._quadratic_coefficients, r.Q)
        same_sparse(e.quadratic_coefficients, 2 * r.Q.tocsc(copy=True))


# ------------------------------------------------------------------------------------------------
# The module and the classes.

def test_module_binds_what_its_code_uses():
    assert cle.np is np and cle.coo_array is coo_array
    assert cle.Integral.__name__ == "Integral" and cle.Real.__name__ == "Real"
    assert callable(cle.log_e)
    assert issubclass(CompiledSum, CLE)
    assert CLE.__module__ == "zk_encoder.linear_parser.compiled_linear_expressions"


def test_constructor_keeps_a_coo_array_itself_and_converts_other_forms():
    linear = unit_coo(5)
    e = CLE(linear)
    assert e._linear_coefficients is linear
    assert e.constant == 0 and e._quadratic_coefficients is None
    csr = csr_array(([2.0, 3.0], ([1, 4], [0, 0])), shape=(6, 1))
    f = CLE(csr, constant=7, quadratic_coefficients="anything")
    assert type(f._linear_coefficients) is coo_array
    assert lin(f) == {1: 2.0, 4: 3.0}
    assert f.constant == 7 and f._quadratic_coefficients == "anything"


def test_constructor_keywords_and_refusal_of_non_sparse():
    e = CLE(constant=2.5, linear_coefficients=unit_coo(1))
    assert e.constant == 2.5
    with pytest.raises(AttributeError):
        CLE([1, 2])


def test_unit_expression_properties():
    e = u(5)
    assert e.constant == 0
    assert e.linear_coefficients_indexes.tolist() == [5]
    assert e.linear_coefficients.tolist() == [1]
    assert e.quadratic_coefficients is None


def test_properties_are_fresh_copies():
    e = u(0) * u(1) + u(3)
    idx = e.linear_coefficients_indexes
    val = e.linear_coefficients
    idx[:] = 99
    val[:] = 99
    assert lin(e) == {3: 1}
    q1, q2 = e.quadratic_coefficients, e.quadratic_coefficients
    assert q1 is not q2 and type(q1) is csc_array
    # The linear part grew to four rows; the quadratic part is copied as it was.
    assert q1.toarray().tolist() == [[0, 1], [1, 0]]
    q1.resize((7, 7))
    assert q2.shape == (2, 2) and e.quadratic_coefficients.shape == (2, 2)
    assert e._quadratic_coefficients.shape == (2, 2)


def test_read_only_properties():
    e = u(1)
    for name in ("constant", "linear_coefficients_indexes", "linear_coefficients",
                 "quadratic_coefficients"):
        with pytest.raises(AttributeError):
            setattr(e, name, 1)


# ------------------------------------------------------------------------------------------------
# The arithmetic's stated examples.

def test_sum_of_units_aligns_without_touching_operands():
    a, b = u(2), u(7)
    e = a + b
    assert e.constant == 0 and lin(e) == {2: 1, 7: 1}
    assert e._linear_coefficients.shape == (8, 1) and e.quadratic_coefficients is None
    assert a._linear_coefficients.shape == (3, 1) and b._linear_coefficients.shape == (8, 1)


EXAMPLES = [
    ("unit-plus-3", lambda: u(1) + 3, 3, {1: 1}, None),
    ("3-plus-unit", lambda: 3 + u(1), 3, {1: 1}, None),
    ("unit-minus-3", lambda: u(1) - 3, -3, {1: 1}, None),
    ("unit-minus-itself", lambda: u(3) - u(3), 0, {}, None),
    ("2-times", lambda: 2 * u(1), 0, {1: 2}, None),
    ("times-2", lambda: u(1) * 2, 0, {1: 2}, None),
    ("1.5-times", lambda: 1.5 * u(1), 0.0, {1: 1.5}, None),
    ("true-times", lambda: True * u(1), 0, {1: 1}, None),
    ("0-times-keeps-entry", lambda: 0 * u(1), 0, {1: 0}, None),
    ("plus-0", lambda: u(1) + 0, 0, {1: 1}, None),
    ("neg", lambda: -u(1), 0, {1: -1}, None),
    ("pos", lambda: +u(1), 0, {1: 1}, None),
    ("product", lambda: u(0) * u(1), 0, {}, [[0, 1], [1, 0]]),
    ("product-with-constants", lambda: (u(0) + 1) * (u(0) + 2), 2, {0: 3}, [[2]]),
    ("difference-of-products", lambda: u(0) * u(1) - u(2) * u(3), 0, {},
     [[0, 1, 0, 0], [1, 0, 0, 0], [0, 0, 0, -1], [0, 0, -1, 0]]),
    ("unit-minus-product", lambda: u(5) - u(0) * u(1), 0, {5: 1}, [[0, -1], [-1, 0]]),
    ("unit-plus-product", lambda: u(5) + u(0) * u(1), 0, {5: 1}, [[0, 1], [1, 0]]),
    ("product-plus-1", lambda: u(0) * u(1) + 1, 1, {}, [[0, 1], [1, 0]]),
    ("2-times-product", lambda: 2 * (u(0) * u(1)), 0, {}, [[0, 2], [2, 0]]),
]


@pytest.mark.parametrize("build, constant, linear, hessian", [c[1:] for c in EXAMPLES],
                         ids=[c[0] for c in EXAMPLES])
def test_examples(build, constant, linear, hessian):
    e = build()
    assert type(e) is CLE
    assert e.constant == constant and type(e.constant) is type(constant)
    assert lin(e) == linear
    if hessian is None:
        assert e.quadratic_coefficients is None
    else:
        h = quad(e)
        n = len(hessian)
        assert h[:n, :n].tolist() == hessian and not h[n:, :].any() and not h[:, n:].any()


def test_product_q_is_symmetric_coo():
    e = u(0) * u(1)
    q = e._quadratic_coefficients
    assert type(q) is coo_array and q.shape == (2, 2)
    assert q.toarray().tolist() == [[0, 0.5], [0.5, 0]]
    assert e.quadratic_coefficients.toarray().tolist() == [[0, 1.0], [1.0, 0]]


REFUSALS = [
    ("product-times-unit", lambda: (u(0) * u(1)) * u(2), MUL_MSG),
    ("unit-times-product", lambda: u(2) * (u(0) * u(1)), MUL_MSG),
    ("plus-text", lambda: u(1) + "a", ADD_MSG),
    ("text-plus", lambda: "a" + u(1), ADD_MSG),
    ("minus-list", lambda: u(1) - [1], ADD_MSG),
    ("plus-complex", lambda: u(1) + 1j, ADD_MSG),
    ("text-times", lambda: "a" * u(1), MUL_MSG),
    ("complex-times", lambda: 1j * u(1), MUL_MSG),
    ("times-none", lambda: u(1) * None, MUL_MSG),
]


@pytest.mark.parametrize("build, msg", [c[1:] for c in REFUSALS], ids=[c[0] for c in REFUSALS])
def test_refusals_are_logged_then_raised(build, msg, log_sink):
    with pytest.raises(TypeError) as err:
        build()
    assert str(err.value) == msg
    assert log_sink.at("error") == [msg]


@pytest.mark.parametrize("build", [lambda: 5 - u(1), lambda: u(1) / 2, lambda: u(1) ** 2,
                                   lambda: u(1) < u(2)], ids=["rsub", "div", "pow", "lt"])
def test_host_refuses_what_is_not_defined(build, log_sink):
    with pytest.raises(TypeError):
        build()
    assert log_sink.calls == []


def test_inplace_forms_fall_back_to_new_objects():
    e = f = u(1)
    e += u(2)
    assert e is not f and lin(f) == {1: 1} and lin(e) == {1: 1, 2: 1}


def test_compiled_sum_operand_results_are_plain():
    s = CompiledSum([u(1), u(2)])
    for r in (s + 1, 1 + s, s - s, 2 * s, s * u(0), -s, +s):
        assert type(r) is CLE


# ------------------------------------------------------------------------------------------------
# CompiledSum.

def test_compiled_sum_of_one_and_with_numbers():
    e = u(3) * 2 + 1
    s = CompiledSum([e])
    assert type(s) is CompiledSum and s.constant == 1 and lin(s) == {3: 2}
    assert s._linear_coefficients is not e._linear_coefficients
    t = CompiledSum(expressions=[e, 3])
    assert t.constant == 4
    g = CompiledSum(u(k) for k in range(3))
    assert lin(g) == {0: 1, 1: 1, 2: 1}


@pytest.mark.parametrize("items, constant", [([], 0), ([1, 2], 3), ([0.5, 1], 1.5), ((), 0)],
                         ids=["empty", "ints", "floats", "empty-tuple"])
def test_sum_without_expressions_is_a_constant(items, constant):
    s = CompiledSum(items)
    assert type(s) is CompiledSum
    assert s.constant == constant and type(s.constant) is type(constant)
    assert s.linear_coefficients_indexes.tolist() == [] and s.linear_coefficients.tolist() == []
    assert s.quadratic_coefficients is None
    # It combines like the number it is.
    for r in (s + u(2), u(2) + s, s * u(2)):
        assert r.constant * 0 == 0
    assert lin(s + u(2)) == {2: 1}
    assert lin(s * u(2)) == ({2: constant} if constant else {})


def test_sum_refusals(log_sink):
    with pytest.raises(TypeError) as err:
        CompiledSum([u(1), "a"])
    assert str(err.value) == ADD_MSG and log_sink.at("error") == [ADD_MSG]
    with pytest.raises(TypeError):
        CompiledSum(["a"])
    with pytest.raises(AttributeError):
        CompiledSum([np.array([1, 2])])


# ------------------------------------------------------------------------------------------------
# Exactly what scipy gives: random expressions against the reference, part by part.

LEAF_NUMBERS = [0, 1, -1, 2, 3, -2, 0.5, -0.25, 1.5, True, False, 0.0, 7]


def random_pair(rng, depth):
    """A random expression and its reference, built with the operators."""
    if depth == 0 or rng.random() < 0.25:
        g = rng.randrange(7)
        return u(g), Ref(unit_coo(g))
    kind = rng.choice(["add", "sub", "addn", "subn", "radd", "muln", "rmuln", "mul", "neg",
                       "pos", "sum"])
    e, r = random_pair(rng, depth - 1)
    if kind in ("addn", "subn", "radd", "muln", "rmuln"):
        k = rng.choice(LEAF_NUMBERS)
        if kind == "addn":
            return e + k, ref_addsub(r, k, False)
        if kind == "subn":
            return e - k, ref_addsub(r, k, True)
        if kind == "radd":
            return k + e, ref_addsub(r, k, False)
        if kind == "muln":
            return e * k, ref_mul(r, k)
        return k * e, ref_mul(r, k)
    if kind == "neg":
        return -e, ref_neg(r)
    if kind == "pos":
        return +e, ref_pos(r)
    f, s = random_pair(rng, depth - 1)
    if kind == "add":
        return e + f, ref_addsub(r, s, False)
    if kind == "sub":
        return e - f, ref_addsub(r, s, True)
    if kind == "sum":
        k = rng.choice(LEAF_NUMBERS)
        total = 0 + k
        rt = ref_addsub(r, total, False)
        rt = ref_addsub(rt, s, False)
        return CompiledSum([k, e, f]), rt
    if e._quadratic_coefficients is None and f._quadratic_coefficients is None:
        return e * f, ref_mul(r, s)
    return e + f, ref_addsub(r, s, False)


def test_random_expressions_match_scipy_exactly():
    seed = fresh_seed()
    rng = random.Random(seed)
    for _ in range(300):
        e, r = random_pair(rng, 4)
        same_as_ref(e, r)


def test_operands_are_left_unchanged():
    rng = random.Random(7)
    for _ in range(50):
        e, r = random_pair(rng, 3)
        f, s = random_pair(rng, 3)
        before = [(x.constant, lin(x), None if x.quadratic_coefficients is None else
                   x.quadratic_coefficients.toarray().tolist()) for x in (e, f)]
        _ = e + f, e - f, -e, +e, 2 * e, e + 1
        if e._quadratic_coefficients is None and f._quadratic_coefficients is None:
            _ = e * f
        after = [(x.constant, lin(x), None if x.quadratic_coefficients is None else
                  x.quadratic_coefficients.toarray().tolist()) for x in (e, f)]
        assert before == after
        same_as_ref(e, r)


# ------------------------------------------------------------------------------------------------
# By meaning: the polynomial c + l·x + xᵀQx equals the arithmetic the operators stand for.

def value_of(e, x):
    v = float(e.constant) + sum(c * x[i] for i, c in lin(e).items())
    q = e.quadratic_coefficients
    if q is not None:
        h = q.toarray()
        n = h.shape[0]
        v += 0.5 * float(np.asarray(x[:n]) @ h @ np.asarray(x[:n]))
    return v


def random_tree(rng, depth):
    """A random expression and a function that evaluates the same arithmetic on numbers."""
    if depth == 0 or rng.random() < 0.3:
        if rng.random() < 0.2:
            k = rng.choice(LEAF_NUMBERS)
            return k, lambda x, k=k: float(k)
        g = rng.randrange(6)
        return u(g), lambda x, g=g: x[g]
    op = rng.choice(["+", "-", "*", "neg", "sum"])
    a, fa = random_tree(rng, depth - 1)
    if op == "neg":
        if not isinstance(a, CLE):
            return a, fa
        return -a, lambda x: -fa(x)
    b, fb = random_tree(rng, depth - 1)
    if not isinstance(a, CLE) and not isinstance(b, CLE):
        return a, fa
    if op == "+":
        return a + b, lambda x: fa(x) + fb(x)
    if op == "sum":
        return CompiledSum([a, b]), lambda x: fa(x) + fb(x)
    if op == "-":
        if not isinstance(a, CLE):
            return -b + a, lambda x: fa(x) - fb(x)
        return a - b, lambda x: fa(x) - fb(x)
    qa = isinstance(a, CLE) and a._quadratic_coefficients is not None
    qb = isinstance(b, CLE) and b._quadratic_coefficients is not None
    if isinstance(a, CLE) and isinstance(b, CLE) and (qa or qb):
        return a + b, lambda x: fa(x) + fb(x)
    return a * b, lambda x: fa(x) * fb(x)


def test_polynomials_by_meaning():
    seed = fresh_seed()
    rng = random.Random(seed)
    for _ in range(300):
        e, f = random_tree(rng, 4)
        if not isinstance(e, CLE):
            continue
        for _ in range(3):
            x = [rng.uniform(-3, 3) for _ in range(8)]
            assert value_of(e, x) == pytest.approx(f(x), rel=1e-9, abs=1e-9)


def test_fraction_and_numpy_scalars_follow_the_host_and_numpy():
    e = u(1) + fractions.Fraction(1, 3)
    assert e.constant == fractions.Fraction(1, 3)
    f = u(1) * np.float32(2)
    same_as_ref(f, ref_mul(Ref(unit_coo(1)), np.float32(2)))
    assert type(f.constant) is np.float32 and f.linear_coefficients.dtype == np.float64
    # numpy's own scalar operators take the expression as an object and hand it a float.
    assert type(np.float32(2) * u(1)) is CLE
    g = u(1) + np.int64(4)
    assert type(g.constant) is np.int64 and g.constant == 4


# ------------------------------------------------------------------------------------------------
# Wider inputs: expressions made from sparse arrays of several dtypes, index widths, formats and
# entry orders (explicit zeros, unsorted entries, arrays flagged canonical, quadratic parts given
# to the constructor), and numbers of several kinds; every result against the reference, failures
# included.

def random_sparse(rng, rows, cols):
    cells = rng.sample([(r, c) for r in range(rows) for c in range(cols)],
                       rng.randrange(0, min(4, rows * cols) + 1))
    values = [rng.choice([0, 1, -2, 3, 5]) for _ in cells]
    kind = rng.choice(["int64", "float64", "int32-index", "dense", "csr", "float32", "float-half",
                       "int64-index-from-arrays", "duplicates", "flagged-unsorted"])
    shape = (rows, cols)
    r = np.array([c[0] for c in cells], dtype=np.int64)
    c = np.array([c[1] for c in cells], dtype=np.int64)
    if kind == "int64":
        return coo_array((np.array(values, dtype=np.int64), (r, c)), shape=shape)
    if kind == "float64":
        return coo_array((np.array(values, dtype=np.float64) * 0.75, (r, c)), shape=shape)
    if kind == "float-half":
        return coo_array((np.array(values, dtype=np.float64) / 3, (r, c)), shape=shape)
    if kind == "int32-index":
        return coo_array((np.array(values, dtype=np.int64),
                          (r.astype(np.int32), c.astype(np.int32))), shape=shape)
    if kind == "dense":
        dense = np.zeros(shape, dtype=np.int64)
        for (i, j), v in zip(cells, values):
            dense[i, j] = v
        return coo_array(dense)
    if kind == "csr":
        return csr_array((np.array(values, dtype=np.float64), (r, c)), shape=shape)
    if kind == "duplicates" and cells:
        return coo_array((np.array(values + [2.5], dtype=np.float64),
                          (np.append(r, r[0]), np.append(c, c[0]))), shape=shape)
    if kind == "flagged-unsorted":
        a = coo_array((np.array(values, dtype=np.int64), (r[::-1].copy(), c[::-1].copy())),
                      shape=shape)
        a.has_canonical_format = True
        return a
    if kind == "float32":
        return coo_array((np.array(values, dtype=np.float32), (r, c)), shape=shape)
    return coo_array((np.array(values, dtype=np.int64), (list(r), list(c))), shape=shape)


WIDE_NUMBERS = [0, 1, -3, 2.5, -0.0, True, 2**70, np.int64(3), np.float64(-1.5),
                np.float32(0.5), fractions.Fraction(1, 2)]


def random_wide_leaf(rng):
    rows = rng.randrange(1, 6)
    linear = random_sparse(rng, rows, 1)
    constant = rng.choice([0, 1, -2, 0.5, 2**65, np.int64(2)])
    q = None
    if rng.random() < 0.3:
        m = rng.randrange(1, 5)
        q = random_sparse(rng, m, rng.choice([m, m, m + 1]))
        if q.format != "coo":
            q = q.tocoo()
    return (CLE(linear, constant, q), Ref(linear, constant, q))


def outcome(fn):
    try:
        return fn(), None
    except Exception as exc:  # the reference's failure is what ours must match
        return None, type(exc)


def random_wide_pair(rng, depth):
    if depth == 0 or rng.random() < 0.3:
        return random_wide_leaf(rng)
    kind = rng.choice(["add", "sub", "mul", "addn", "subn", "muln", "rmuln", "neg", "pos",
                       "sum"])
    e, r = random_wide_pair(rng, depth - 1)
    k = rng.choice(WIDE_NUMBERS)
    if kind in ("neg", "pos", "addn", "subn", "muln", "rmuln"):
        ours = {"neg": lambda: -e, "pos": lambda: +e, "addn": lambda: e + k,
                "subn": lambda: e - k, "muln": lambda: e * k, "rmuln": lambda: k * e}[kind]
        ref = {"neg": lambda: ref_neg(r), "pos": lambda: ref_pos(r),
               "addn": lambda: ref_addsub(r, k, False), "subn": lambda: ref_addsub(r, k, True),
               "muln": lambda: ref_mul(r, k), "rmuln": lambda: ref_mul(r, k)}[kind]
        if kind == "rmuln" and isinstance(k, np.generic):
            return e, r  # numpy's scalar operators hand the expression a converted number
    else:
        f, s = random_wide_pair(rng, depth - 1)
        if kind == "mul" and (r.Q is not None or s.Q is not None):
            kind = "add"
        ours = {"add": lambda: e + f, "sub": lambda: e - f, "mul": lambda: e * f,
                "sum": lambda: CompiledSum([e, f])}[kind]
        ref = {"add": lambda: ref_addsub(r, s, False), "sub": lambda: ref_addsub(r, s, True),
               "mul": lambda: ref_mul(r, s),
               "sum": lambda: ref_addsub(ref_addsub(r, 0, False), s, False)}[kind]
    want, want_exc = outcome(ref)
    got, got_exc = outcome(ours)
    other = s if kind in ("add", "sub", "mul", "sum") else None
    numbers = [r.c, k] if other is None else [r.c, other.c]
    if (want_exc is OverflowError and got_exc is None and
            not any(isinstance(n, np.generic) for n in numbers)):
        # scipy cannot take an int beyond 64 bits into int64 arrays; ours are exact, as the
        # host's ints: the result means what the host's arithmetic gives.
        assert meaning(got) == exact_meaning(kind, r, k, other), kind
        return e, r
    assert got_exc is want_exc, (kind, got_exc, want_exc)
    if want_exc is not None:
        return e, r
    return got, want


def parts(r):
    """A reference's constant, linear and quadratic entries as the host's numbers."""
    linear, quadratic = {}, {}
    for i, v in zip(r.L.row.tolist(), r.L.data.tolist()):
        linear[i] = linear.get(i, 0) + v
    if r.Q is not None:
        q = r.Q.tocoo()
        for i, j, v in zip(q.row.tolist(), q.col.tolist(), q.data.tolist()):
            quadratic[i, j] = quadratic.get((i, j), 0) + v
    return r.c, linear, quadratic


def nonzero(entries):
    return {key: float(v) for key, v in entries.items() if v != 0}


def exact_meaning(kind, r, k, s):
    """What an operation means with the host's exact ints: constant, linear and 2Q entries."""
    c, a, qa = parts(r)
    if kind in ("muln", "rmuln"):
        return k * c, nonzero({i: k * v for i, v in a.items()}), nonzero(
            {ij: 2 * k * v for ij, v in qa.items()})
    d, b, qb = parts(s)
    assert kind == "mul", kind
    linear = {i: d * a.get(i, 0) + c * b.get(i, 0) for i in set(a) | set(b)}
    quadratic = {}
    for i, v in a.items():
        for j, w in b.items():
            quadratic[i, j] = quadratic.get((i, j), 0) + v * w
            quadratic[j, i] = quadratic.get((j, i), 0) + v * w
    return d * c, nonzero(linear), nonzero(quadratic)


def meaning(e):
    q = e.quadratic_coefficients
    quadratic = {} if q is None else {
        (i, j): v for (i, j), v in np.ndenumerate(q.toarray()) if v != 0}
    return e.constant, nonzero(lin(e)), {ij: float(v) for ij, v in quadratic.items()}


def test_wide_random_expressions_match_scipy_exactly():
    seed = fresh_seed()
    rng = random.Random(seed)
    for _ in range(400):
        e, r = random_wide_pair(rng, 4)
        same_as_ref(e, r)


def ref_fold(items):
    total = 0
    for item in items:
        if isinstance(total, Ref):
            total = ref_addsub(total, item, False)
        elif isinstance(item, Ref):
            total = ref_addsub(item, total, False)
        else:
            total = total + item
    return total


def random_sum_item(rng):
    pick = rng.random()
    if pick < 0.2:
        k = rng.choice([0, 1, -1, 2.5, -0.0, True, 7])
        return k, k
    if pick < 0.5:
        g = rng.randrange(6)
        k = rng.choice([1, -1, 2, 0, 0.5])
        return u(g) * k, ref_mul(Ref(unit_coo(g)), k)
    if pick < 0.65:
        a, b = rng.randrange(4), rng.randrange(4)
        return u(a) * u(b), ref_mul(Ref(unit_coo(a)), Ref(unit_coo(b)))
    return random_wide_leaf(rng)


def test_sums_of_many_items_match_the_fold_exactly():
    seed = fresh_seed()
    rng = random.Random(seed)
    for _ in range(300):
        pairs = [random_sum_item(rng) for _ in range(rng.randrange(0, 9))]
        ours = [p[0] for p in pairs]
        want, want_exc = outcome(lambda: ref_fold([p[1] for p in pairs]))
        got, got_exc = outcome(lambda: CompiledSum(ours))
        assert got_exc is want_exc
        if want_exc is not None:
            continue
        assert type(got) is CompiledSum
        if isinstance(want, Ref):
            same_as_ref(got, want)
        else:
            assert repr(got.constant) == repr(want) and got.linear_coefficients.size == 0


def column_sum_item(rng, g, columns):
    k = rng.choice([1, -1, 2, 0, 0.5, -0.5])
    if rng.random() < 0.1:
        h = rng.choice(columns)
        return u(g) + u(h) * k, ref_addsub(Ref(unit_coo(g)), ref_mul(Ref(unit_coo(h)), k), False)
    return u(g) * k, ref_mul(Ref(unit_coo(g)), k)


def shuffled(rng, values):
    values = list(values)
    rng.shuffle(values)
    return values


# The columns of a sum's items, close together and far apart: the running sum keeps its cells
# by row while they are dense and hashed otherwise, and moves from one to the other.
SPREADS = {
    "close": lambda rng: [rng.randrange(6) for _ in range(rng.randrange(1, 60))],
    "far": lambda rng: [rng.randrange(10**5) for _ in range(rng.randrange(1, 60))],
    "dense, then hashed": lambda rng: (shuffled(rng, range(40)) + [10**5 + 3]
                                       + [rng.randrange(40) for _ in range(20)]),
    "hashed, then dense": lambda rng: ([1499] + shuffled(rng, range(1499))[:300]
                                       + [rng.randrange(1500) for _ in range(20)]),
}


@pytest.mark.parametrize("spread", list(SPREADS), ids=list(SPREADS))
def test_sums_over_close_and_far_columns_match_the_fold_exactly(spread):
    seed = fresh_seed()
    rng = random.Random(seed)
    for _ in range(3):
        columns = SPREADS[spread](rng)
        pairs = [column_sum_item(rng, g, columns) for g in columns]
        got = CompiledSum([p[0] for p in pairs])
        same_as_ref(got, ref_fold([p[1] for p in pairs]))


def test_cancelling_sum_keeps_scipy_order_and_dtypes():
    items = [u(3), u(1) * -1.0, u(1), u(3) * -1, u(0) * 0]
    got = CompiledSum(items)
    same_as_ref(got, ref_fold([Ref(unit_coo(3)), ref_mul(Ref(unit_coo(1)), -1.0),
                               Ref(unit_coo(1)), ref_mul(Ref(unit_coo(3)), -1),
                               ref_mul(Ref(unit_coo(0)), 0)]))
    assert got.linear_coefficients_indexes.tolist() == []
    assert got.linear_coefficients.dtype == np.float64


@pytest.mark.parametrize("build", [
    lambda e: e * 10.0,
    lambda e: 10 * e,
    lambda e: e * 1e10,
    lambda e: e * (e + 1e300),
], ids=["times", "rtimes", "times-large", "product"])
def test_float_overflow_warns_as_numpy_does(build):
    e = CLE(coo_array(([1e308], ([0], [0]))))
    with pytest.warns(RuntimeWarning):
        build(e)


def test_hessian_overflow_warns_as_numpy_does():
    e = CLE(unit_coo(0), 0, coo_array(([1e308], ([0], [0])), shape=(1, 1))) + u(1)
    with pytest.warns(RuntimeWarning):
        e.quadratic_coefficients


# ------------------------------------------------------------------------------------------------
# Integers never wrap: where numpy's int64 loops would, the values are kept exactly, as the host's
# ints are, and handed out as float64 (the widest type the sparse library holds); they are int64
# again once they fit.

BIG = [2**31, 2**32, 2**62, 2**63 - 1, 2**63, 2**64, 3**41, 2**100 + 7, 10**30]


def random_big(rng):
    v = rng.choice(BIG + [rng.randrange(1, 2**rng.randrange(1, 130))])
    return -v if rng.random() < 0.5 else v


def random_exact_tree(rng, depth):
    """(expression, {column: coefficient}, constant) with the host's exact ints."""
    if depth == 0 or rng.random() < 0.25:
        g, k = rng.randrange(4), random_big(rng)
        return u(g) * k, {g: k}, 0
    e, a, c = random_exact_tree(rng, depth - 1)
    roll = rng.random()
    if roll < 0.3:
        k = random_big(rng)
        return e * k, {i: k * v for i, v in a.items()}, k * c
    if roll < 0.45:
        k = random_big(rng)
        return e + k, a, c + k
    if roll < 0.55:
        return -e, {i: -v for i, v in a.items()}, -c
    f, b, d = random_exact_tree(rng, depth - 1)
    keys = set(a) | set(b)
    if roll < 0.8:
        return e + f, {i: a.get(i, 0) + b.get(i, 0) for i in keys}, c + d
    if roll < 0.92:
        return e - f, {i: a.get(i, 0) - b.get(i, 0) for i in keys}, c - d
    return CompiledSum([e, f, e]), {i: 2 * a.get(i, 0) + b.get(i, 0) for i in keys}, 2 * c + d


def check_exact(e, linear, constant):
    assert e.constant == constant and type(e.constant) is int
    want = {i: v for i, v in linear.items() if v != 0}
    got = {i: v for i, v in lin(e).items() if v != 0}
    # Each coefficient is the host's float of the exact value: int64 while every one fits.
    assert {i: float(v) for i, v in got.items()} == {i: float(v) for i, v in want.items()}
    fits = all(-2**63 <= v < 2**63 for v in want.values())
    assert e.linear_coefficients.dtype == (np.int64 if fits else np.float64)
    if fits:
        assert got == want


def test_large_integer_arithmetic_matches_the_hosts_ints(rng):
    for _ in range(400):
        e, linear, constant = random_exact_tree(rng, 4)
        check_exact(e, linear, constant)


def test_products_of_large_integers_never_wrap():
    e = u(0) * 2**32 * 2**32 + u(1)
    assert e.linear_coefficients.dtype == np.float64
    assert lin(e) == {0: 2.0**64, 1: 1.0}
    # Exact in between: the difference is an int64 again.
    f = u(0) * 2**64 * 3 - u(0) * (3 * 2**64 - 5)
    assert f.linear_coefficients.dtype == np.int64 and lin(f) == {0: 5}
    g = (u(0) + 2**63) * (u(1) - 2**63)
    assert g.constant == -(2**126)
    assert lin(g) == {0: -float(2**63), 1: float(2**63)}
    assert quad(g).tolist() == [[0, 1], [1, 0]]


@pytest.mark.parametrize("v", [2**64 + 2**11, 2**64 + 2**11 + 1, 2**64 + 3 * 2**11,
                               2**64 - 2**10, -(2**64 + 2**11), 2**1023 * 3 // 2 + 1,
                               (2**53 - 1) * 2**971, 2**200 + 1, -(2**63) - 1],
                         ids=["tie-down", "above-tie", "tie-up", "below", "negative-tie",
                              "large", "largest-float", "odd", "just-below-int64"])
def test_large_integers_round_as_the_host_rounds(v):
    # Ties go to the even neighbour, as float(int) does.
    assert lin(u(0) * v) == {0: float(v)} and lin(u(0) * 1 * v) == {0: float(v)}


def test_each_entry_keeps_its_own_exactness():
    # A float coefficient of one column leaves another column's integers exact, as the host's
    # numbers would (numpy's object arrays); all entries floats or int64 again, the dtype is back.
    e = u(0) * 0.5 + u(1) * 2**64 - u(1) * (2**64 - 1)
    assert lin(e) == {0: 0.5, 1: 1.0} and e.linear_coefficients.dtype == np.float64
    f = u(0) * 2**64 * 0.5
    assert lin(f) == {0: 2.0**63} and f.linear_coefficients.dtype == np.float64
    g = (u(0) * 2**64 + u(1) * 3) - u(0) * 2**64
    assert lin(g) == {1: 3} and g.linear_coefficients.dtype == np.int64


def test_a_running_sum_that_leaves_64_bits_goes_on_exactly():
    items = [u(g) * (2**62) for g in [0, 1, 0, 2, 0, 0, 1]] + [u(0) * -(2**64), u(3)]
    s = CompiledSum(items)
    exact = {0: 4 * 2**62 - 2**64, 1: 2 * 2**62, 2: 2**62, 3: 1}
    assert {i: float(v) for i, v in lin(s).items() if v != 0} == {
        i: float(v) for i, v in exact.items() if v != 0}
    # The same sum step by step.
    total = 0
    for item in items:
        total = total + item
    assert lin(total) == lin(s) and total.linear_coefficients.dtype == s.linear_coefficients.dtype


def test_hessian_of_large_integers():
    e = (u(0) * 2**40) * (u(1) * 2**40)
    h = e.quadratic_coefficients
    assert h.dtype == np.float64 and h.toarray().tolist() == [[0, 2.0**80], [2.0**80, 0]]


def test_a_coefficient_beyond_the_floats_fails_where_it_is_read():
    e = u(0) * 2**1100
    assert e.constant == 0
    with pytest.raises(OverflowError, match="int too large to convert to float"):
        e.linear_coefficients
    f = e - u(0) * (2**1100 - 3)
    assert lin(f) == {0: 3} and f.linear_coefficients.dtype == np.int64


# ------------------------------------------------------------------------------------------------
# NaN and infinities as factors or terms, and numpy's own operators.

NON_FINITE = [
    ("times-nan", lambda: u(1) * float("nan"), "Coefficient must be a finite number, not nan"),
    ("inf-times", lambda: float("inf") * u(1), "Coefficient must be a finite number, not inf"),
    ("numpy-inf-times", lambda: u(1) * np.float32("-inf"),
     "Coefficient must be a finite number, not -inf"),
    ("zero-times-inf", lambda: (u(1) * 0.0) * float("inf"),
     "Coefficient must be a finite number, not inf"),
    ("plus-nan", lambda: u(1) + np.nan, "Constant must be a finite number, not nan"),
    ("nan-plus", lambda: np.nan + u(1), "Constant must be a finite number, not nan"),
    ("minus-inf", lambda: u(1) - float("inf"), "Constant must be a finite number, not inf"),
    ("sum-inf", lambda: CompiledSum([u(1), float("inf")]),
     "Constant must be a finite number, not inf"),
    ("sum-starting-inf", lambda: CompiledSum([1e308, 1e308, u(1)]),
     "Constant must be a finite number, not inf"),
]


@pytest.mark.parametrize("build, msg", [c[1:] for c in NON_FINITE], ids=[c[0] for c in NON_FINITE])
def test_non_finite_factors_and_terms_are_refused(build, msg, log_sink):
    with pytest.raises(ValueError) as err:
        build()
    assert str(err.value) == msg and log_sink.at("error") == [msg]


def test_numpy_operands_on_the_left_give_what_the_right_gives():
    assert type(np.float64(2) * u(1)) is CLE and lin(np.float64(2) * u(1)) == {1: 2.0}
    assert lin(np.int64(3) * u(1)) == {1: 3} and (np.int64(3) + u(1)).constant == 3
    for build in (lambda: np.array([1.0, 2.0]) * u(1), lambda: u(1) * np.array([1.0, 2.0])):
        with pytest.raises(TypeError, match=MUL_MSG):
            build()
    for build in (lambda: np.array([1, 2]) + u(1), lambda: u(1) + np.array([1, 2])):
        with pytest.raises(TypeError, match=ADD_MSG):
            build()


# ------------------------------------------------------------------------------------------------
# Garbage collection: an expression is freed with a cycle through its attribute dictionary, in
# either form.

class _Marker:
    pass


@pytest.mark.parametrize("build", [lambda: u(1), lambda: u(1) * 2 + u(3), lambda: u(2) * u(3),
                                   lambda: CompiledSum([u(1), u(2)])],
                         ids=["given-parts", "computed", "quadratic", "sum"])
def test_cycles_through_an_expression_are_collected(build):
    import gc
    import weakref
    freed = []
    e = build()
    e.marker = _Marker()
    weakref.finalize(e.marker, freed.append, True)
    e.me = [e]
    del e
    gc.collect()
    assert freed == [True]


def test_numpy_bool_factor_follows_numpy():
    e = u(1) * np.True_
    same_as_ref(e, ref_mul(Ref(unit_coo(1)), np.True_))
