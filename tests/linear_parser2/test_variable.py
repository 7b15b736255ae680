"""Variable arrays of the second linear generation and their indexing, judged against numpy's own
indexing of an array of element numbers."""

import contextlib
import subprocess
import sys
import textwrap

import numpy as np
import pytest
from scipy.sparse import csr_array

import nubrix.sorn_engine as se
from zk_encoder.linear_parser2 import LinearModel, VariableType
from zk_encoder.linear_parser2 import variable as variable_module
from zk_encoder.linear_parser2._expression import LinearExpression, LinearExpressionsArr
from zk_encoder.linear_parser2.variable import VariableArray
from support.seeds import fresh_seed


def counter():
    return VariableArray._total_created_variables


def row_columns(row):
    """The one column of each row a block holds (each indexed row holds exactly one value 1)."""
    coefs = row.linear_coefficients
    if isinstance(row, LinearExpression):
        assert coefs.ndim == 1
        return coefs.indices.tolist()
    assert isinstance(row, LinearExpressionsArr)
    assert np.all(np.diff(coefs.indptr) == 1), "each row holds exactly one value"
    assert np.all(coefs.data == 1)
    return coefs.indices.tolist()


@pytest.fixture
def arrays():
    """A one-dimensional REAL array of 5 and a 3 x 4 INTEGER array, after some other columns."""
    model = LinearModel()
    model.get_variable("before", VariableType.REAL, k=3)
    x = model.get_variable("x", VariableType.REAL, i=5)
    y = model.get_variable("y", VariableType.INTEGER, 0, 9, i=3, j=4)
    return x, y


# ---------------------------------------------------------------------------------------------
# The array itself.

@pytest.mark.parametrize("shape,shift,cols,count", [
    ((2, 3), 5, [5, 6, 7, 8, 9, 10], 6),
    ((), 4, [4], 1.0),
    ((3, 0), 2, [], 0),
    ([2, 3], 0, [0, 1, 2, 3, 4, 5], 6),
], ids=["2x3", "scalar", "empty-dimension", "list-shape"])
def test_fields_map_and_shape(shape, shift, cols, count):
    before = counter()
    lower, upper = object(), object()
    x = VariableArray("x", shape, lower, upper, np.float64, shift)
    assert counter() == before
    assert x.shape == tuple(shape) and type(x.shape) is tuple
    assert x._shape is shape
    assert x._count_elems == count and type(x._count_elems) is type(np.prod(shape))
    assert x.lower_bound is lower and x.upper_bound is upper
    assert x.name == "x" and x.type is np.float64 and x._shift == shift
    first, second = x._map(), x._map()
    assert first.dtype == np.int32 and first.tolist() == cols
    assert first is not second
    first[...] = -1
    assert x._map().tolist() == cols


def test_properties_are_read_only():
    x = VariableArray("x", (2,), 0, 1, np.float64)
    for name in ("shape", "lower_bound", "upper_bound", "name", "type"):
        with pytest.raises(AttributeError):
            setattr(x, name, 1)
    assert x._shift == 0
    assert "_total_created_variables" not in dir(type(x)) or not hasattr(x, "__dict__")


def test_counter_counts_every_model_of_the_process():
    before = counter()
    a, b = LinearModel(), LinearModel()
    xa = a.get_variable("x", VariableType.REAL, i=3)
    xb = b.get_variable("x", VariableType.BINARY, i=2)
    assert counter() == before + 5
    assert (xa._shift, xb._shift) == (0, 0)
    assert (a._general_shift_variables, b._general_shift_variables) == (3, 2)


def test_iteration_is_refused(arrays):
    x, _ = arrays
    with pytest.raises(TypeError, match="not iterable"):
        iter(x)
    with pytest.raises(TypeError):
        list(x)


# ---------------------------------------------------------------------------------------------
# Indexing against numpy.

def numbers(x):
    """Element numbers laid out in the array's shape, as numpy indexes them."""
    return np.arange(int(x._count_elems)).reshape(x.shape)


ONE_D = [
    ("int", 2), ("numpy-int", np.int64(4)), ("slice", slice(1, 4)),
    ("step", slice(0, 5, 2)), ("reverse", slice(None, None, -1)), ("tail", slice(-2, None)),
    ("empty-slice", slice(3, 1)), ("all", slice(None)), ("list", [4, 0, 4]), ("empty-list", []),
    ("int-array", np.array([1, 3])), ("int32-array", np.array([0, 4], dtype=np.int32)),
    ("mask", np.array([True, False, True, False, False])), ("tuple", (3,)),
    ("tuple-slice", (slice(1, None),)),
]


@contextlib.contextmanager
def numpy_1_names():
    """numpy's module without np.bool, as numpy 1 names it (numpy 2 brought it back): the
    benchmarks' environment keeps numpy 1 for linopy, and indexing must not look the name up."""
    saved = vars(np).pop("bool", None)
    try:
        yield
    finally:
        if saved is not None:
            np.bool = saved


@pytest.mark.parametrize("index", [i for _, i in ONE_D], ids=[n for n, _ in ONE_D])
def test_one_dimensional_indexing_selects_as_numpy_does(arrays, index):
    x, _ = arrays
    with numpy_1_names():
        result = x[index]
    expected = np.atleast_1d(numbers(x)[index]).ravel() + x._shift
    assert row_columns(result) == expected.tolist()
    single = isinstance(index, (int, np.integer)) or (
        isinstance(index, tuple) and all(isinstance(i, (int, np.integer)) for i in index))
    assert isinstance(result, LinearExpression if single else LinearExpressionsArr)


TWO_D = [
    ("element", (1, 2)), ("numpy-element", (np.int64(2), np.int32(3))), ("row", (1, slice(None))),
    ("column", (slice(None), 2)), ("window", (slice(0, 2), slice(1, 3))),
    ("list-rows", ([2, 0], slice(None))), ("list-columns", (1, [3, 0, 3])),
    ("array-columns", (slice(None, None, -1), np.array([1, 2]))), ("mask", np.eye(3, 4, dtype=bool)),
    ("flat-list", [11, 0]), ("empty", (slice(2, 2), slice(None))),
    ("mask-element", (np.array([True, False, True]), 0)),
    ("mask-list-element", (slice(None), [False, True, True, False])),
    ("row-mask", np.array([False, True, True])), ("row-mask-list", [True, False, True]),
]


@pytest.mark.parametrize("index", [i for _, i in TWO_D], ids=[n for n, _ in TWO_D])
def test_two_dimensional_indexing_selects_as_numpy_does(arrays, index):
    _, y = arrays
    if isinstance(index, list) and not np.asarray(index).dtype == bool:
        expected = np.array(index)  # a list of integers names flat element numbers
    else:
        expected = np.atleast_1d(numbers(y)[index]).ravel()
    with numpy_1_names():
        result = y[index]
    assert row_columns(result) == (expected + y._shift).tolist()


def test_random_indexes_against_numpy(arrays):
    seed = fresh_seed()
    rng = np.random.default_rng(seed)
    x, y = arrays
    for _ in range(200):
        kind = rng.integers(4)
        if kind == 0:
            sl = slice(*(None if rng.random() < 0.3 else int(v) for v in rng.integers(-7, 7, 2)),
                       int(rng.choice([-2, -1, 1, 2, 3])))
            index, expected = sl, numbers(x)[sl]
        elif kind == 1:
            index = rng.integers(0, 5, rng.integers(0, 6))
            expected = numbers(x)[index]
        elif kind == 2:
            index = rng.random(y.shape) < 0.5
            expected = numbers(y)[index]
        else:
            rows = slice(int(rng.integers(0, 3)), None)
            cols = rng.integers(0, 4, rng.integers(1, 4)).tolist()
            index = (rows, cols)
            expected = numbers(y)[np.ix_(np.arange(3)[rows], cols)]
        target = x if kind < 2 else y
        assert row_columns(target[index]) == (expected.ravel() + target._shift).tolist(), index


@pytest.mark.parametrize("vtype,dtype", [(VariableType.REAL, np.float64),
                                         (VariableType.INTEGER, np.int32),
                                         (VariableType.BINARY, np.int32)],
                         ids=["real", "integer", "binary"])
def test_rows_carry_the_element_type(vtype, dtype):
    model = LinearModel()
    x = model.get_variable("x", vtype, i=3)
    row, block = x[1], x[0:2]
    assert row.linear_coefficients.dtype == dtype and block.linear_coefficients.dtype == dtype
    assert row.constant == 0.0 and type(row.constant) is float
    assert row.quadratic_coefficients is None and row.lower_bound is None
    assert block.constants.dtype == dtype and block.constants.tolist() == [0, 0]
    assert block.lower_bounds is None and block.upper_bounds is None


def test_row_width_is_the_process_count_when_indexed(arrays):
    x, _ = arrays
    before = x[2]
    assert before.linear_coefficients.shape == (counter(),)
    LinearModel().get_variable("more", VariableType.REAL, i=6)
    after = x[2]
    assert after.linear_coefficients.shape == (before.linear_coefficients.shape[0] + 6,)
    assert x[0:2].linear_coefficients.shape == (2, counter())
    assert isinstance(after.linear_coefficients, csr_array)


# ---------------------------------------------------------------------------------------------
# Refusals (checks off).

REFUSED = [
    ("float", 1.5, "Undefined type <class 'float'> for indexing"),
    ("text", "a", "Undefined type <class 'str'> for indexing"),
    ("none", None, "Undefined type <class 'NoneType'> for indexing"),
    ("range", range(2), "Undefined type <class 'range'> for indexing"),
    ("negative", -1, "-1 is not a valid index"),
    ("past-end", 5, "5 is not a valid index"),
    ("huge", 2**70, f"{2**70} is not a valid index"),
    ("list-past-end", [7], "[7] is not a valid index"),
    ("list-negative", [0, -1], "[0, -1] is not a valid index"),
    ("list-of-floats", [1.7], "[1.7] is not a valid index"),
    ("list-huge", [2**40], f"[{2**40}] is not a valid index"),
    ("list-2d", [[0]], "[[0]] is not a valid index"),
    ("array-past-end", np.array([0, 5]), "[0 5] is not a valid index"),
    ("array-negative", np.array([-1]), "[-1] is not a valid index"),
    ("float-array", np.array([1.7]), "[1.7] is not a valid index"),
    ("2d-array", np.array([[0]]), "[[0]] is not a valid index"),
    ("tuple-length", (1, 2), "The dimension of the variable is 2, but 1 dimensions are obtained."),
    ("tuple-range", (5,), "5 is not a valid index"),
]


@pytest.mark.parametrize("index,msg", [(i, m) for _, i, m in REFUSED],
                         ids=[n for n, _, _ in REFUSED])
def test_refused_indexes_are_logged_index_errors(arrays, log_sink, index, msg):
    x, _ = arrays
    with pytest.raises(IndexError) as err:
        x[index]
    assert str(err.value) == msg
    assert log_sink.calls == [(msg, se.log_level_type.error)]


TUPLE_REFUSED = [
    ("float-element", (1.5, 0), "Unsupported index type for multiindex: <class 'float'>"),
    ("text-element", (0, "a"), "Unsupported index type for multiindex: <class 'str'>"),
    ("2d-element", (np.array([[0]]), 0), "Unsupported index type for multiindex: "
                                         "<class 'numpy.ndarray'>"),
    ("2d-mask-element", (np.ones((3, 4), dtype=bool), 0), "Unsupported index type for "
                                                          "multiindex: <class 'numpy.ndarray'>"),
]


@pytest.mark.parametrize("index,msg", [(i, m) for _, i, m in TUPLE_REFUSED],
                         ids=[n for n, _, _ in TUPLE_REFUSED])
def test_tuples_with_other_elements_raise_value_error_unlogged(arrays, log_sink, index, msg):
    _, y = arrays
    with pytest.raises(ValueError) as err:
        y[index]
    assert str(err.value) == msg
    assert log_sink.calls == []


@pytest.mark.parametrize("index,msg", [
    ((3, 0), "3 is not a valid index"), ((0, -1), "-1 is not a valid index"),
    ((slice(None), [4]), "[4] is not a valid index"),
    ((0, 1, 2), "The dimension of the variable is 3, but 2 dimensions are obtained."),
], ids=["row-past-end", "negative", "list-past-end", "too-long"])
def test_tuple_elements_are_range_checked(arrays, log_sink, index, msg):
    _, y = arrays
    with pytest.raises(IndexError, match=msg.replace("[", r"\[").replace("]", r"\]")):
        y[index]
    assert log_sink.calls == [(msg, se.log_level_type.error)]


def test_without_checks_integers_and_slices_are_flat_numbers(arrays):
    x, y = arrays
    assert row_columns(x[True]) == [x._shift + 1]  # an integer, not numpy's zero-dimensional mask
    assert row_columns(y[4]) == [y._shift + 4]
    # A slice resolves against the first dimension and names flat numbers.
    assert row_columns(y[0:2]) == [y._shift, y._shift + 1]
    # A mask is a mask only where numpy takes it as one.
    with pytest.raises(IndexError, match="^boolean index did not match indexed array along axis "
                                         "0; size of axis is 3 but size of corresponding boolean "
                                         "axis is 2$"):
        y[np.array([True, False])]


def test_slice_past_an_empty_dimension_is_refused(log_sink):
    model = LinearModel()
    z = model.get_variable("z", VariableType.REAL, i=3, j=0)
    with pytest.raises(IndexError, match=r"slice\(0, 3, None\) is not a valid index"):
        z[0:3]
    assert row_columns(z[0:0]) == []


@pytest.mark.parametrize("dtype", [np.int8, np.uint8, np.int16, np.uint64, np.int32],
                         ids=lambda d: d.__name__)
def test_narrow_integer_types_never_wrap(dtype):
    model = LinearModel()
    model.get_variable("pad", VariableType.REAL, i=300)
    x = model.get_variable("x", VariableType.REAL, i=120)
    assert row_columns(x[dtype(100)]) == [400]
    assert row_columns(x[np.array([100, 3], dtype=dtype)]) == [400, 303]
    _, cols = x[(dtype(100),)], x[(np.array([119], dtype=dtype),)]
    assert row_columns(cols) == [419]


def test_scalar_variable_is_its_element_zero():
    model = LinearModel()
    s = model.get_variable("s", VariableType.REAL)
    assert s.shape == ()
    assert row_columns(s[0]) == [s._shift] and row_columns(s[()]) == [s._shift]


def test_indexing_changes_neither_the_array_nor_the_counter(arrays):
    x, _ = arrays
    index = np.array([3, 1])
    before = counter()
    block = x[index]
    assert index.tolist() == [3, 1] and counter() == before and x._map().size == 5
    assert row_columns(block) == [x._shift + 3, x._shift + 1]


# ---------------------------------------------------------------------------------------------
# The checks switched on by the environment, in fresh interpreters.

def run_fresh(body, debug):
    env = {k: v for k, v in __import__("os").environ.items() if k != "DEBUG_SOLVER_MODE"}
    if debug is not None:
        env["DEBUG_SOLVER_MODE"] = debug
    code = textwrap.dedent("""
        import json
        import numpy as np
        import nubrix.sorn_engine as se
        from zk_encoder.linear_parser2 import LinearModel, VariableType
        from zk_encoder.linear_parser2 import variable, model, _expression
        logged = []
        se.log_encoder = lambda msg, level: logged.append(msg)
        m = LinearModel()
        x = m.get_variable("x", VariableType.REAL, i=5)
        y = m.get_variable("y", VariableType.REAL, i=2, j=3)
        def outcome(fn):
            logged.clear()
            try:
                r = fn()
                return ["ok", r.linear_coefficients.indices.tolist()]
            except Exception as e:
                return [type(e).__name__, str(e), list(logged)]
    """) + textwrap.dedent(body)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env)
    assert out.returncode == 0, out.stderr
    import json
    return json.loads(out.stdout.strip().splitlines()[-1])


@pytest.mark.parametrize("value,on", [(None, False), ("", False), ("1", True), ("0", True),
                                      ("no", True)], ids=["unset", "empty", "1", "0", "no"])
def test_each_module_reads_the_flag_at_import(value, on):
    flags = run_fresh("""
        print(json.dumps([variable.DEBUG, model.DEBUG, _expression.DEBUG]))
    """, value)
    assert flags[0] is on
    assert bool(flags[1]) is on and flags[1] == (False if value is None else value)


DEBUG_CASES = [
    ("x[5]", ["IndexError", "5 is not a valid index"]),
    ("x[-1]", ["IndexError", "-1 is not a valid index"]),
    ("x[4]", ["ok", [4]]),
    ("y[0]", ["IndexError", "Variable can only have one index"]),
    ("y[0:1]", ["IndexError", "Variable can only have one index"]),
    ("y[(1,)]", ["IndexError", "The dimension of the variable is 1, but 2 dimensions are obtained."]),
    ("x[np.array([0, 5])]", ["IndexError", "[0 5] is not a valid index"]),
    ("x[np.array([0.0])]", ["IndexError", "[0.] is not a valid index"]),
    ("x[np.array([[0]])]", ["IndexError", "[[0]] is not a valid index"]),
    ("x[np.array([True, False])]", ["IndexError", "[ True False] is not a valid index"]),
    ("x[np.array([0, 4])]", ["ok", [0, 4]]),
    ("x[[4, 4]]", ["ok", [4, 4]]),
    ("x[:]", ["ok", [0, 1, 2, 3, 4]]),
    ("x[2:]", ["ok", [2, 3, 4]]),
    ("x[0:5]", ["ok", [0, 1, 2, 3, 4]]),
    ("x[4:-9:-1]", ["ok", [4, 3, 2, 1, 0]]),
    ("x[0:0:-1]", ["ok", []]),
    ("y[1, 2]", ["ok", [10]]),
    ("y[1, :]", ["ok", [8, 9, 10]]),
    ("y[np.ones((2, 3), dtype=bool)]", ["ok", [5, 6, 7, 8, 9, 10]]),
]


@pytest.mark.parametrize("debug", [None, "1"], ids=["checks-off", "checks-on"])
def test_checks_on_and_off(debug):
    exprs = [e for e, _ in DEBUG_CASES]
    results = run_fresh(f"""
        print(json.dumps([outcome(lambda: eval(e)) for e in {exprs!r}]))
    """, debug)
    for (expr, expected), got in zip(DEBUG_CASES, results):
        if debug is None and expected[0] == "IndexError" and "one index" in expected[1]:
            continue  # without the checks these name flat numbers
        if debug is None and expr in ("y[(1,)]",):
            assert got[0] == "IndexError"
            continue
        if debug is None and expr == "x[np.array([True, False])]":
            msg = ("boolean index did not match indexed array along axis 0; size of axis is 5 "
                   "but size of corresponding boolean axis is 2")
            assert got == ["IndexError", msg, [msg]]
            continue
        assert got[:2] == expected[:2], expr
        if got[0] == "IndexError":
            assert got[2] == [expected[1]], expr


def test_module_surface():
    names = [n for n in vars(variable_module) if not n.startswith("__")]
    order = ["os", "Sequence", "Union", "Integral", "np", "csr_array", "log_e", "LinearExpression",
             "LinearExpressionsArr", "DEBUG", "_IndexType", "VariableArray"]
    assert [n for n in names if n in order] == order
    assert VariableArray.__module__ == "zk_encoder.linear_parser2.variable"
    assert VariableArray.__doc__ == "Multidimensional array of task variables"
    assert isinstance(variable_module.DEBUG, bool)
    import typing
    assert typing.get_args(variable_module._IndexType)[2] is slice


def test_rebinding_the_flag_switches_the_checks(arrays, monkeypatch, log_sink):
    _, y = arrays
    y[0]
    monkeypatch.setattr(variable_module, "DEBUG", True)
    with pytest.raises(IndexError, match="^Variable can only have one index$"):
        y[0]


def test_tuples_of_integers_and_one_slice_against_numpy():
    """A row, a column or a line through a higher array: one progression of element numbers."""
    seed = fresh_seed()
    rng = np.random.default_rng(seed)
    model = LinearModel()
    z = model.get_variable("z", VariableType.REAL, a=3, b=4, c=5)
    for _ in range(300):
        index = [int(rng.integers(0, size)) for size in z.shape]
        axis = int(rng.integers(0, 3))
        index[axis] = slice(*(None if rng.random() < 0.3 else int(v)
                              for v in rng.integers(-6, 6, 2)), int(rng.choice([-2, -1, 1, 3])))
        index = tuple(index)
        expected = numbers(z)[index].ravel() + z._shift
        block = z[index]
        assert row_columns(block) == expected.tolist(), index
        coefs = block.linear_coefficients
        assert coefs.indices.dtype == coefs.indptr.dtype == np.int32


@pytest.mark.parametrize("index", [np.array([4, 0, 2]), [1, 1], np.array([3, 1], dtype=np.uint64),
                                   slice(None, None, -2), (slice(1, 4),)],
                         ids=["int64-array", "list", "uint64-array", "reverse-slice", "tuple"])
def test_blocks_hold_32_bit_columns_and_starts(arrays, index):
    """Columns and row starts in the 32 bits that the sparse library's own results use, whatever
    the integer type of the index."""
    x, _ = arrays
    coefs = x[index].linear_coefficients
    cols = numbers(x)[index].astype(np.int64).ravel() + x._shift
    assert coefs.shape == (cols.size, counter())
    assert coefs.indices.dtype == coefs.indptr.dtype == np.int32
    assert coefs.indices.tolist() == cols.tolist()
    assert coefs.indptr.tolist() == list(range(cols.size + 1))
    assert coefs.data.dtype == np.float64 and np.all(coefs.data == 1)
    assert (x[index] + x[index]).linear_coefficients.indices.dtype == np.int32


# ---------------------------------------------------------------------------------------------
# Every index form against numpy's own indexing of an array of element numbers of the same shape.
# Where the forms differ by design the reference says so: an integer, a slice or a list of
# integers names flat element numbers on an array of any shape, negative numbers are refused
# (slices alone count from the end), and a tuple with several index sequences takes every
# combination of them (np.ix_), which numpy's fancy indexing takes only for one.

def axis_positions(element, size):
    """The positions one element of a tuple selects along its axis, numpy's way, negative
    numbers refused."""
    if isinstance(element, slice):
        return np.arange(size)[element], False
    if isinstance(element, (int, np.integer)):
        if not 0 <= int(element) < size:
            raise IndexError
        return np.array([int(element)]), True
    arr = np.asarray(element)
    if arr.dtype == bool and arr.size:
        return np.arange(size)[arr], False  # numpy's IndexError for another length
    arr = arr.astype(np.int64)
    if arr.size and (arr.min() < 0 or arr.max() >= size):
        raise IndexError
    return arr, False


def expected_elements(shape, index):
    numbers = np.arange(int(np.prod(shape))).reshape(shape)
    count = numbers.size
    if isinstance(index, (int, np.integer)):
        if not 0 <= int(index) < count:
            raise IndexError
        return [int(index)]
    if isinstance(index, slice):
        picked = list(range(*index.indices(shape[0])))
        if any(e >= count for e in picked):
            raise IndexError
        return picked
    if isinstance(index, tuple):
        if len(index) != len(shape):
            raise IndexError
        axes = [axis_positions(e, d) for e, d in zip(index, shape)]
        flat = np.ravel_multi_index(np.ix_(*[a for a, _ in axes]), shape).ravel().tolist()
        # With one sequence at most, numpy's fancy indexing picks the same elements in the same
        # order, unless the integers and the sequence stand apart (numpy then moves their axis
        # first; the order here stays row-major).
        advanced = [d for d, e in enumerate(index) if not isinstance(e, slice)]
        sequences = sum(1 for e in index if not isinstance(e, (int, np.integer, slice)))
        together = not advanced or advanced[-1] - advanced[0] == len(advanced) - 1
        if sequences <= 1 and (sequences == 0 or together):
            assert np.atleast_1d(numbers[index]).ravel().tolist() == flat, index
        return flat
    arr = np.asarray(index)
    if arr.dtype == bool:
        return numbers[arr].ravel().tolist()  # a mask, numpy's way
    if arr.size == 0:
        return []
    if arr.ndim != 1 or arr.min() < 0 or arr.max() >= count:
        raise IndexError
    return arr.tolist()


def random_element(rng, size, kinds):
    kind = rng.choice(kinds)
    if kind == "int":
        return int(rng.integers(-2, size + 2)) if rng.random() < 0.9 else np.int64(
            rng.integers(0, size + 1))
    if kind == "slice":
        ends = [None if rng.random() < 0.3 else int(v) for v in rng.integers(-size - 2, size + 3, 2)]
        return slice(ends[0], ends[1], int(rng.choice([-2, -1, 1, 2, 3])))
    if kind == "list":
        return [int(v) for v in rng.integers(-1, size + 1, rng.integers(0, 5))]
    if kind == "array":
        dtype = rng.choice([np.int8, np.int32, np.int64, np.uint8, np.uint64])
        low = 0 if np.dtype(dtype).kind == "u" else -1
        return rng.integers(low, size + 1, rng.integers(0, 5)).astype(dtype)
    length = size if rng.random() < 0.85 else int(rng.integers(0, size + 2))
    mask = rng.random(length) < 0.5
    return mask.tolist() if kind == "bool-list" else mask


def random_index(rng, shape):
    count = int(np.prod(shape))
    kind = rng.choice(["int", "slice", "list", "array", "mask", "mask-list", "tuple"])
    if kind in ("int", "slice", "list", "array") and shape:
        return random_element(rng, count if kind != "slice" else shape[0], [kind])
    if kind in ("mask", "mask-list") and shape:
        k = int(rng.integers(1, len(shape) + 1))
        mask_shape = shape[:k] if rng.random() < 0.85 else tuple(
            int(d) for d in rng.integers(0, 4, k))
        mask = rng.random(mask_shape) < 0.5
        return mask.tolist() if kind == "mask-list" and mask.ndim else mask
    length = len(shape) if rng.random() < 0.9 else int(rng.integers(0, len(shape) + 2))
    sizes = list(shape) + [3] * length
    return tuple(random_element(rng, sizes[d], ["int", "slice", "list", "array", "mask",
                                                "bool-list"]) for d in range(length))


@pytest.mark.parametrize("shape", [(5,), (3, 4), (2, 3, 4), (4, 0), ()],
                         ids=["1d", "2d", "3d", "empty-axis", "scalar"])
def test_every_index_form_against_numpy(shape, log_sink):
    seed = fresh_seed()
    rng = np.random.default_rng(seed)
    model = LinearModel()
    model.get_variable("pad", VariableType.REAL, k=2)
    x = model.get_variable("x", VariableType.REAL, **{f"d{i}": n for i, n in enumerate(shape)})
    for _ in range(400):
        index = random_index(rng, shape)
        try:
            want = expected_elements(shape, index)
        except IndexError:
            with pytest.raises((IndexError, ValueError)):
                x[index]
            continue
        except ValueError:  # an element numpy's indexing takes no part in here either
            with pytest.raises((IndexError, ValueError)):
                x[index]
            continue
        got = x[index]
        assert row_columns(got) == [e + x._shift for e in want], index


MASKS = [
    # the array's shape, the mask, the elements it picks (numpy's own selection)
    ((3,), [True, False, True], [0, 2]),
    ((3,), np.array([True, False, True]), [0, 2]),
    ((3, 4), np.array([False, True, False]), [4, 5, 6, 7]),
    ((3, 4), [[True, False, False, False], [False] * 4, [False, False, False, True]], [0, 11]),
    ((2, 3, 4), np.array([[False, True, False], [True, False, False]]), [4, 5, 6, 7, 12, 13, 14,
                                                                         15]),
    ((3,), [False, False, False], []),
]


@pytest.mark.parametrize("shape,mask,elements", MASKS,
                         ids=["list-1d", "array-1d", "rows-of-2d", "list-2d", "leading-of-3d",
                              "none-true"])
def test_masks_pick_as_numpy_picks(shape, mask, elements):
    model = LinearModel()
    x = model.get_variable("x", VariableType.INTEGER, 0, 5,
                           **{f"d{i}": n for i, n in enumerate(shape)})
    numbers = np.arange(int(np.prod(shape))).reshape(shape)
    assert numbers[np.asarray(mask)].ravel().tolist() == elements
    assert row_columns(x[mask]) == [e + x._shift for e in elements]


@pytest.mark.parametrize("debug_mode", [False, True], ids=["checks-off", "checks-on"])
@pytest.mark.parametrize("mask", [[True, False], np.array([True, False]),
                                  np.array([True, False, True, False]), [[True, False, True]]],
                         ids=["short-list", "short-array", "long-array", "too-many-axes"])
def test_masks_of_another_shape_are_refused_always(monkeypatch, log_sink, mask, debug_mode):
    monkeypatch.setattr(variable_module, "DEBUG", debug_mode)
    model = LinearModel()
    x = model.get_variable("x", VariableType.REAL, i=3)
    with pytest.raises(IndexError) as err:
        x[mask]
    assert log_sink.calls == [(str(err.value), se.log_level_type.error)]
    if not debug_mode:  # numpy's own words
        with pytest.raises(IndexError) as numpy_err:
            np.arange(3)[np.asarray(mask)]
        assert str(err.value) == str(numpy_err.value)


@pytest.mark.parametrize("where", ["name", "bound"])
def test_a_variable_array_in_a_cycle_is_collected(where):
    import gc
    import weakref

    class Holder:
        def __str__(self):
            return "x"

    def cycle():
        holder = Holder()
        if where == "name":
            array = VariableArray(holder, (2,), 0.0, 1.0, VariableType.REAL)
        else:
            array = VariableArray("x", (2,), holder, 1.0, VariableType.REAL)
        holder.array = array
        return weakref.ref(holder)

    ref = cycle()
    gc.collect()
    assert ref() is None


def test_rows_keep_their_array_alive_and_free_it_with_them():
    import gc
    import weakref

    class Name:
        def __str__(self):
            return "x"

    name = Name()
    alive = weakref.ref(name)
    array = VariableArray(name, (3,), 0.0, 1.0, np.float64, counter())
    VariableArray._total_created_variables += 3
    rows = [array[0], array[1] * 2.0, array[2] + array[0], array[0:2]]
    del array, name
    gc.collect()
    assert alive() is not None
    del rows
    gc.collect()
    assert alive() is None


def test_an_arrays_rows_made_after_its_earlier_ones_are_gone_are_still_its_own(log_sink):
    import gc

    from zk_encoder._exceptions import BuildError
    own, other = LinearModel(), LinearModel()
    x = own.get_variable("x", VariableType.REAL, 0, 1, i=4)
    other.get_variable("x", VariableType.REAL, 0, 1, i=4)
    for _ in range(2):
        own.add_constraint(x[1] * 2.0 + x[2] <= 1.0)
        with pytest.raises(BuildError, match="^Variable x belongs to another model$"):
            other.add_constraint(x[1] * 2.0 + x[2] <= 1.0)
        gc.collect()


def test_element_references_follow_the_rows_class_and_the_counter(arrays, monkeypatch):
    x, _ = arrays
    first = x[2]
    # A module that binds another row class makes its rows through that class's constructor.
    class Row(LinearExpression):
        pass
    monkeypatch.setattr(variable_module, "LinearExpression", Row)
    made = x[2]
    assert type(made) is Row
    assert row_columns(made) == row_columns(first)
    monkeypatch.undo()
    # Rows span every column of the process at the time they are made.
    before = x[2].linear_coefficients.shape
    VariableArray._total_created_variables += 1
    try:
        assert x[2].linear_coefficients.shape == (before[0] + 1,)
    finally:
        VariableArray._total_created_variables -= 1
