"""Index symbols and variable families of the modelling side."""

import itertools

import pytest

from zk_encoder.encode.expressions import VariableProxy
from zk_encoder.encode.variables import Index, Variable

i, j = Index("i"), Index("j")


# --- index symbols -------------------------------------------------------------------------

SINGLE_STEP = [
    ("plain", lambda: i, "i"),
    ("plus", lambda: i + 1, "i + 1"),
    ("minus", lambda: i - 2, "i - 2"),
    ("times", lambda: 2 * i, "2 * i"),
    ("plus_negative", lambda: i + -1, "i + -1"),
    ("plus_symbol", lambda: i + j, "i + j"),
    ("plus_sum", lambda: i + (j + 1), "i + j + 1"),
    ("plus_product", lambda: i + (2 * j), "i + 2 * j"),
]


@pytest.mark.parametrize("build,text", [c[1:] for c in SINGLE_STEP], ids=[c[0] for c in SINGLE_STEP])
def test_single_operation_texts(build, text):
    idx = build()
    assert str(idx) == text and format(idx, "") == text
    assert idx.name == "i" and idx.expression == text


# Chains of operations: the text must compute what the chain computes once the for-all values
# are substituted, also after the model has re-evaluated it over index symbols.
CHAINS = [
    ("plus_plus", lambda a, b: (a + 1) + 1, "i + 1 + 1"),
    ("minus_plus", lambda a, b: (a - 3) + 1, "i - 3 + 1"),
    ("times_plus", lambda a, b: (2 * a) + 1, "2 * i + 1"),
    ("times_sum", lambda a, b: 2 * (a + 1), "2 * (i + 1)"),
    ("minus_sum", lambda a, b: a - (b + 1), "i - (j + 1)"),
    ("minus_difference", lambda a, b: a - (b - 1), "i - (j - 1)"),
    ("times_times", lambda a, b: 3 * (2 * a), "3 * 2 * i"),
    ("deep", lambda a, b: 2 * ((a - b) + 1) - 1, "2 * (i - j + 1) - 1"),
]


@pytest.mark.parametrize("chain,text", [c[1:] for c in CHAINS], ids=[c[0] for c in CHAINS])
def test_chained_operations_keep_their_value(chain, text):
    built = chain(i, j)
    assert str(built) == text and built.name == "i"
    for vi, vj in itertools.product(range(-3, 4), repeat=2):
        assert eval(str(built), {"i": vi, "j": vj}) == chain(vi, vj)
    again = str(eval(str(built), {"i": Index("i"), "j": Index("j")}))
    for vi, vj in itertools.product(range(-3, 4), repeat=2):
        assert eval(again, {"i": vi, "j": vj}) == chain(vi, vj)


def test_constructor_keeps_name_and_text():
    k = Index("k")
    assert (k.name, k.expression, str(k)) == ("k", "k", "k")
    empty = Index("k", "")
    assert (empty.name, empty.expression, str(empty)) == ("k", "", "")
    assert str(Index("k", "k + 4")) == "k + 4"


def test_operators_make_new_symbols():
    k = Index("k")
    shifted = k + 1
    assert shifted is not k and str(k) == "k"
    assert Index("k") != Index("k")  # identity, no equality of its own


@pytest.mark.parametrize("op", [lambda: i * 2, lambda: 1 + i, lambda: 1 - i, lambda: -i,
                                lambda: i / 2, lambda: i < 1],
                         ids=["symbol_times_int", "int_plus", "int_minus", "negate", "divide",
                              "compare"])
def test_undefined_operators_raise_type_error(op):
    with pytest.raises(TypeError):
        op()


# --- variable families ---------------------------------------------------------------------

@pytest.fixture
def x():
    return Variable("x", {"i": 3, "j": 4, "k": 5}, 1)


FAMILY_OVERFLOWS = [
    ("size", {"i": 2, "j": 2 ** 64}, 0, OverflowError,
     "Variable family 'v': the size of dimension 'j' does not fit in 64 bits"),
    ("negative_size", {"i": -2 ** 63 - 1}, 0, OverflowError,
     "Variable family 'v': the size of dimension 'i' does not fit in 64 bits"),
    ("first_number", {"i": 2}, 2 ** 63, OverflowError,
     "Variable family 'v': the first number does not fit in 64 bits"),
    ("element_count", {"i": 2 ** 32, "j": 2 ** 32}, 0, OverflowError,
     "Variable family 'v': the numbers of its elements do not fit in 64 bits"),
    ("last_number", {"i": 4}, 2 ** 63 - 3, OverflowError,
     "Variable family 'v': the numbers of its elements do not fit in 64 bits"),
]


@pytest.mark.parametrize("dims,shift,exc,msg", [c[1:] for c in FAMILY_OVERFLOWS],
                         ids=[c[0] for c in FAMILY_OVERFLOWS])
def test_families_beyond_64_bits_are_refused_by_name(dims, shift, exc, msg):
    with pytest.raises(exc) as err:
        Variable("v", dims, shift)
    assert str(err.value) == msg


def test_largest_64_bit_family_is_kept():
    fam = Variable("v", {"i": 4}, 2 ** 63 - 4)
    assert fam(3) == 2 ** 63 - 1 and fam.shifts == [1]


@pytest.mark.parametrize("sizes,strides", [((3, 4, 5), [20, 5, 1]), ((3, 4), [4, 1]), ((7,), [1]),
                                           ((), [])], ids=["three", "two", "one", "none"])
def test_strides_are_row_major(sizes, strides):
    fam = Variable("v", {f"d{n}": s for n, s in enumerate(sizes)}, 0)
    assert fam.shifts == strides


def test_element_numbers_and_map_of_three_dimensions(x):
    assert (x(0, 0, 0), x(1, 2, 3), x(2, 3, 4)) == (1, 34, 60)
    m = x.map
    assert len(m) == 60
    assert list(m.items())[0] == ("x[0,0,0]", 1) and list(m.items())[-1] == ("x[2,3,4]", 60)
    assert list(m.values()) == list(range(1, 61))
    for key, number in m.items():
        values = [int(v) for v in key[2:-1].split(",")]
        assert x(*values) == number
    assert x.map is not m and x.map == m


def test_map_of_two_dimensions_runs_last_index_fastest():
    fam = Variable("x", {"i": 3, "j": 4}, 1)
    keys = [f"x[{a},{b}]" for a in range(3) for b in range(4)]
    assert fam.map == dict(zip(keys, range(1, 13)))
    assert list(fam.map) == keys


@pytest.mark.parametrize("name,dims,shift,expected", [
    ("dummy_var", {"d": 1}, 0, {"dummy_var[0]": 0}),
    ("s", {}, 7, {"s[]": 7}),
    ("e", {"i": 3, "j": 0}, 5, {}),
], ids=["placeholder", "no_dimensions", "empty_dimension"])
def test_small_maps(name, dims, shift, expected):
    assert Variable(name, dims, shift).map == expected


def test_family_without_dimensions_is_called_without_values():
    assert Variable("s", {}, 7)() == 7


@pytest.mark.parametrize("values", [(1,), (1, 2, 3, 4), (1.0, 2, 3), ("1", 2, 3), (i, 2, 3)],
                         ids=["too_few", "too_many", "float", "text", "symbol"])
def test_call_refuses_wrong_values_with_bare_type_error(x, values):
    with pytest.raises(TypeError) as info:
        x(*values)
    assert str(info.value) == ""


def test_truth_values_count_as_integers(x):
    assert x(True, 0, 0) == x(1, 0, 0) == 21


@pytest.mark.parametrize("values,position,value", [
    ((3, 0, 0), 0, 3), ((0, 4, 0), 1, 4), ((0, 0, -1), 2, -1), ((2, 3, 5), 2, 5),
    ((2 ** 70, 0, 0), 0, 2 ** 70),
], ids=["first_past_end", "second_past_end", "negative", "last_past_end", "huge"])
def test_call_refuses_values_outside_the_sizes(x, values, position, value):
    with pytest.raises(IndexError) as info:
        x(*values)
    msg = str(info.value)
    assert "'x'" in msg and f"position {position}" in msg and f"value {value} " in msg


def test_refusal_of_a_value_outside_holds_the_whole_message():
    name, value = "v" * 600, 10 ** 400
    with pytest.raises(IndexError) as info:
        Variable(name, {"i": 3}, 1)(value)
    assert str(info.value) == (f"Variable family '{name}': index value {value} at position 0 "
                               "is outside 0 .. 2")


def test_subscripts_write_reference_texts(x):
    cases = {
        (i, j + 1): "x(i,j + 1)",
        (1, 2): "x(1,2)",
        (1,): "x(1)",
        "ab": "x(a,b)",
    }
    for items, text in cases.items():
        proxy = x[items]
        assert isinstance(proxy, VariableProxy) and str(proxy) == text
    assert str(x[i]) == "x(i)" and str(x[2]) == "x(2)"
    assert str(x[2 * (i + 1), j - (i - 1)]) == "x(2 * (i + 1),j - (i - 1))"


def test_copy_shares_nothing_mutable(x):
    y = x.copy()
    assert isinstance(y, Variable) and y is not x
    assert (y.name, y.st_shift, y.shifts, y.map) == (x.name, x.st_shift, x.shifts, x.map)
    assert y.indexes == x.indexes and y.indexes is not x.indexes
    x.indexes["i"] = 100
    assert y.indexes["i"] == 3 and y(2, 3, 4) == 60


def test_family_keeps_the_dimension_dictionary_given():
    dims = {"i": 2}
    assert Variable("x", dims, 0).indexes is dims


def test_reference_text_evaluates_to_the_element_number(x):
    # What the formula layer does with a template literal: evaluate it with integer for-all values.
    text = "-" + str(x[i, j + 1, 2 * i])
    ns = {"x": x.copy()}
    for vi, vj in [(0, 0), (1, 2), (2, 1)]:
        ns.update(i=vi, j=vj)
        assert eval(text, ns) == -x(vi, vj + 1, 2 * vi)
    with pytest.raises(IndexError):
        eval(text, dict(ns, i=2, j=3))


@pytest.mark.parametrize("args, err", [
    (("v", {"i": "a"}, 10_001), TypeError),
    (("v", {"i": 2}, "10001"), TypeError),
    (("v", {"i": 2 ** 70}, 10_001), OverflowError),
    (("v", {"i": 2 ** 40, "j": 2 ** 40}, 10_001), OverflowError),
    (("v", [], 10_001), AttributeError),
], ids=["size-not-integer", "shift-not-integer", "size-too-large", "count-too-large",
        "indexes-not-a-map"])
def test_refused_family_keeps_no_reference(args, err):
    import sys
    counts = [sys.getrefcount(a) for a in args]
    for _ in range(50):
        with pytest.raises(err):
            Variable(*args)
    assert [sys.getrefcount(a) for a in args] == counts
