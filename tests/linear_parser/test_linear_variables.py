"""Index placeholders and variable blocks of the first linear generation."""

import itertools
import random

import pytest

import zk_encoder.linear_parser.linear_variables as lv
from zk_encoder.linear_parser.compiled_linear_expressions import CompiledLinearExpression
from zk_encoder.linear_parser.linear_expression import (
    LinearExpression, LinearVariableProxy, SumIt)
from zk_encoder.linear_parser.linear_variables import Index, LinearVariable
from support.seeds import fresh_seed

i, j = Index("i"), Index("j")


def block(sizes=(2, 3), first=10, name="x", type_var="float64"):
    dims = {f"d{k}": s for k, s in enumerate(sizes)}
    return LinearVariable(name, 0, 5, dims, first, type_var=type_var)


# --- module surface -------------------------------------------------------------------------


def test_module_binds_its_imports_and_two_classes():
    names = [n for n in vars(lv) if not n.startswith("__")]
    assert sorted(names) == sorted([
        "annotations", "tp", "accumulate", "product", "mul", "coo_array", "LinearVariableProxy",
        "CompiledLinearExpression", "Index", "LinearVariable"])
    assert lv.__doc__ is None and not hasattr(lv, "__all__")
    assert lv.LinearVariableProxy is LinearVariableProxy
    assert lv.CompiledLinearExpression is CompiledLinearExpression
    import __future__
    assert lv.annotations is __future__.annotations


# --- index texts ----------------------------------------------------------------------------

SINGLE_STEP = [
    ("plain", lambda: i, "i"),
    ("plus", lambda: i + 1, "i + 1"),
    ("minus", lambda: i - 1, "i - 1"),
    ("times", lambda: 2 * i, "2 * i"),
    ("plus_negative", lambda: i + -1, "i + -1"),
    ("plus_index", lambda: i + j, "i + j"),
    ("plus_shifted_index", lambda: i + (j + 1), "i + j + 1"),
]


@pytest.mark.parametrize("build,text", [c[1:] for c in SINGLE_STEP],
                         ids=[c[0] for c in SINGLE_STEP])
def test_single_step_texts(build, text):
    idx = build()
    assert idx.name == "i" and idx.expression == text
    assert str(idx) == text and format(idx, "") == text
    assert i.expression == "i", "the operand is unchanged"


def test_constructor_texts():
    assert Index("i").expression == "i" and Index("i").name == "i"
    empty = Index("i", "")
    assert empty.expression == "" and str(empty) == ""
    assert Index("k", "k + 4").expression == "k + 4"


# Chains build on the current text, so the text evaluates to what the chain computes.
CHAINS = [
    ("plus_plus", lambda a, b: (a + 1) + 2, "i + 1 + 2"),
    ("times_plus", lambda a, b: 2 * a + 1, "2 * i + 1"),
    ("times_difference", lambda a, b: 3 * (a - 1), "3 * (i - 1)"),
    ("minus_sum", lambda a, b: a - (b + 1), "i - (j + 1)"),
    ("times_times", lambda a, b: 3 * (2 * a), "3 * 2 * i"),
    ("deep", lambda a, b: 2 * ((a - b) + 1) - 1, "2 * (i - j + 1) - 1"),
]


@pytest.mark.parametrize("chain,text", [c[1:] for c in CHAINS], ids=[c[0] for c in CHAINS])
def test_chains_keep_their_value(chain, text):
    built = chain(i, j)
    assert built.expression == text and built.name == "i"
    for vi, vj in itertools.product(range(-3, 4), repeat=2):
        assert eval(str(built), {"i": vi, "j": vj}) == chain(vi, vj)


def test_random_chains_keep_their_value():
    seed = fresh_seed()
    rng = random.Random(seed)
    for _ in range(300):
        built, value = i, lambda v: v
        for _ in range(rng.randint(1, 5)):
            k = rng.randint(-4, 4)
            op = rng.choice("+-*")
            if op == "+":
                built, value = built + k, (lambda f, k: lambda v: f(v) + k)(value, k)
            elif op == "-":
                built, value = built - k, (lambda f, k: lambda v: f(v) - k)(value, k)
            else:
                built, value = k * built, (lambda f, k: lambda v: k * f(v))(value, k)
        for v in range(-3, 4):
            assert eval(str(built), {"i": v}) == value(v), (str(built), seed)


@pytest.mark.parametrize("op", [lambda: i * 2, lambda: 1 + i, lambda: 1 - i, lambda: -i],
                         ids=["times_right", "plus_left", "minus_left", "negation"])
def test_unsupported_index_operators(op):
    with pytest.raises(TypeError):
        op()


# --- reference texts ------------------------------------------------------------------------

REFERENCES = [
    ("two_indexes", (2, 3), lambda x: x[i, j + 1], "x(i,j + 1)"),
    ("one_index", (4,), lambda x: x[i], "x(i)"),
    ("one_tuple", (4,), lambda x: x[i, ], "x(i)"),
    ("list", (2, 3), lambda x: x[[i, 2]], "x(i,2)"),
    ("text", (2, 3), lambda x: x["ij"], "x(i,j)"),
    ("empty_tuple", (), lambda x: x[()], "x()"),
    ("integer", (5,), lambda x: x[4], "x(4)"),
    ("integer_and_index", (4, 3), lambda x: x[3, i], "x(3,i)"),
    ("three_items", (2, 3, 4), lambda x: x[1, 2, 3], "x(1,2,3)"),
]


@pytest.mark.parametrize("sizes,build,text", [c[1:] for c in REFERENCES],
                         ids=[c[0] for c in REFERENCES])
def test_reference_texts(sizes, build, text):
    proxy = build(block(sizes))
    assert type(proxy) is LinearVariableProxy and isinstance(proxy, LinearExpression)
    assert str(proxy) == text and repr(proxy) == text
    assert proxy.lo is None and proxy.hi is None


def test_references_of_plain_ints_read_as_any_other_subscript_writes_them():
    # A subscript of plain ints keeps its text unwritten until it is read; it must be the text a
    # list subscript writes, in every layout and for every element, and so must a product's.
    seed = fresh_seed()
    rnd = random.Random(seed)
    for _ in range(200):
        sizes = tuple(rnd.randint(1, 6) for _ in range(rnd.randint(0, 4)))
        x = block(sizes, first=rnd.choice([0, 7, 2**31 - 10**4]), name=rnd.choice(["x", "é_1"]))
        items = tuple(rnd.randrange(s) if rnd.random() < 0.9 else rnd.choice([-1, s, 2**40])
                      for s in sizes)
        written = str(x[list(items)])
        k = rnd.choice([0, 3, -7, 2**62])
        assert str(x[items]) == written, (seed, sizes, items)
        assert str(k * x[items]) == str(x[items] * k) == f"{k} * ({written})", (seed, items)
        if len(items) == 1:
            assert str(x[items[0]]) == written, (seed, items)
        summed = SumIt([k * x[items], x[items], 2 * x[items]])
        assert str(summed) == f"CompiledSum([{k} * ({written}), {written}, 2 * ({written})])", (
            seed, items)


def test_subscripts_follow_the_class_s_getitem_wherever_it_is_replaced(monkeypatch):
    class Own(LinearVariable):
        def __getitem__(self, items):
            return ("own", items)

    class Plain(LinearVariable):
        pass

    x, plain = block((3,)), Plain("p", 0, 5, {"d0": 3}, 0, "float64")
    assert Own("o", 0, 5, {"d0": 3}, 0, "float64")[1] == ("own", 1)
    assert (str(x[1]), str(plain[2])) == ("x(1)", "p(2)")
    monkeypatch.setattr(LinearVariable, "__getitem__", lambda self, items: "replaced")
    assert (x[1], plain[2]) == ("replaced", "replaced")
    monkeypatch.undo()
    assert (str(x[1]), str(plain[2])) == ("x(1)", "p(2)")
    never_initialised = LinearVariable.__new__(LinearVariable)
    with pytest.warns(RuntimeWarning), pytest.raises(TypeError):
        never_initialised[1]


def test_a_reference_keeps_the_name_it_was_made_with():
    x = block((3, 4))
    p = x[2, 3]
    assert repr(p) == p._name == str(p) == "x(2,3)" and p._name is str(p)
    q = x[1, 0]
    q._expression = "other"
    assert (q._name, repr(q), str(q)) == ("x(1,0)", "x(1,0)", "other")
    r = x[0, 1]
    r._name = "renamed"
    assert (r._name, str(r)) == ("renamed", "x(0,1)")
    bounded = x[2, 2] <= 4
    assert type(bounded) is LinearExpression and str(bounded) == "x(2,2)" and bounded.hi == 4
    bounded._expression = "y"
    assert str(bounded) == "y"
    with pytest.raises(TypeError):
        x[0, 0]._name = None


# A reference names one item per dimension: a surplus item would be dropped and a missing one
# taken as 0, naming another element than the one written.
ARITY = [
    ("surplus", (4,), lambda x: x[0, 2], "Variable x has 1 dimension(s), but x(0,2) names 2"),
    ("missing", (2, 3), lambda x: x[1], "Variable x has 2 dimension(s), but x(1) names 1"),
    ("list", (4,), lambda x: x[[0, 1]], "Variable x has 1 dimension(s), but x(0,1) names 2"),
    ("empty_tuple", (4,), lambda x: x[()], "Variable x has 1 dimension(s), but x() names 0"),
    ("index", (2, 3), lambda x: x[i], "Variable x has 2 dimension(s), but x(i) names 1"),
    ("no_dimensions", (), lambda x: x[0], "Variable x has 0 dimension(s), but x(0) names 1"),
    ("text", (4,), lambda x: x["ij"], "Variable x has 1 dimension(s), but x(i,j) names 2"),
]


@pytest.mark.parametrize("sizes,build,message", [c[1:] for c in ARITY],
                         ids=[c[0] for c in ARITY])
def test_references_name_one_item_per_dimension(sizes, build, message, log_sink):
    with pytest.raises(IndexError) as err:
        build(block(sizes))
    assert str(err.value) == message and log_sink.at("error") == [message]


# --- numbering ------------------------------------------------------------------------------

NUMBERING = [
    ("two_dims", (2, 3), 10, [1, 2], (10, 12, 14, 11, 13, 15)),
    ("two_dims_at_zero", (2, 3), 0, [1, 2], (0, 2, 4, 1, 3, 5)),
    ("three_dims", (2, 3, 4), 0, [1, 2, 6], None),
    ("no_dims", (), 7, [], (7,)),
    ("empty_dim", (2, 0), 3, [1, 2], ()),
    ("one_dim", (4,), 5, [1], (5, 6, 7, 8)),
]


@pytest.mark.parametrize("sizes,first,strides,columns", [c[1:] for c in NUMBERING],
                         ids=[c[0] for c in NUMBERING])
def test_strides_map_and_shape(sizes, first, strides, columns):
    x = block(sizes, first)
    assert x._shifts == strides and x.shape == tuple(sizes)
    if columns is not None:
        assert x.map == columns
    # map follows the row-major order of shape, each element at its own column.
    elements = list(itertools.product(*(range(s) for s in sizes)))
    assert len(x.map) == len(elements)
    for element, column in zip(elements, x.map):
        assert column == first + sum(s * v for s, v in zip(strides, element))
        assert list(x(*element).linear_coefficients_indexes) == [column]
    assert sorted(x.map) == list(range(first, first + len(elements)))


def test_element_call_is_a_unit_expression():
    e = block()(1, 2)
    assert type(e) is CompiledLinearExpression
    assert list(e.linear_coefficients_indexes) == [15] and list(e.linear_coefficients) == [1]
    assert e.constant == 0 and e.quadratic_coefficients is None


def test_the_element_call_takes_one_item_per_dimension(log_sink):
    assert list(block()(1, 2).linear_coefficients_indexes) == [15]
    for items, text in [((1,), "x(1)"), ((), "x()"), ((1, 2, 7), "x(1,2,7)")]:
        with pytest.raises(IndexError) as err:
            block()(*items)
        assert str(err.value) == (f"Variable x has 2 dimension(s), but {text} names "
                                  f"{len(items)}")


# An item outside its dimension would name a column of another block.
OUT_OF_RANGE = [
    ("too_big_first", (2, 0), "index 2 is outside dimension 'd0' of size 2"),
    ("too_big_last", (0, 3), "index 3 is outside dimension 'd1' of size 3"),
    ("negative", (-1, 0), "index -1 is outside dimension 'd0' of size 2"),
    ("huge", (0, 2**70), f"index {2**70} is outside dimension 'd1' of size 3"),
]


@pytest.mark.parametrize("items,message", [c[1:] for c in OUT_OF_RANGE],
                         ids=[c[0] for c in OUT_OF_RANGE])
def test_items_outside_their_dimension_are_refused(items, message):
    with pytest.raises(IndexError) as err:
        block()(*items)
    assert str(err.value) == "Linear variable x: " + message


def test_an_item_of_an_empty_dimension_is_refused():
    with pytest.raises(IndexError, match="index 0 is outside dimension 'd1' of size 0"):
        block((2, 0))(1, 0)


def test_non_integer_items_are_refused():
    with pytest.raises(TypeError, match="index 1.5 must be an integer"):
        block()(1.5, 0)
    import numpy as np
    assert list(block()(np.int64(1), True).linear_coefficients_indexes) == [13]
    assert list(block()(np.True_, np.int8(2)).linear_coefficients_indexes) == [15]


def test_attributes_are_kept_as_given():
    dims = {"i": 2, "j": 3}
    x = LinearVariable("x", -1.5, "hi", dims, 4, type_var="int32")
    assert x.lo == -1.5 and x.hi == "hi" and x.type == "int32"
    assert x._name == "x" and x._lo == -1.5 and x._hi == "hi" and x._type == "int32"
    assert x._indexes is dims and x._st_shift == 4
    assert list(x._indexes) == ["i", "j"]


@pytest.mark.parametrize("use", [iter, list, lambda x: 0 in x, lambda x: [*x]],
                         ids=["iter", "list", "in", "unpack"])
def test_a_block_is_not_iterable(use):
    with pytest.raises(TypeError, match="not iterable"):
        use(block())


def test_a_block_has_no_length_and_no_text_of_its_own():
    with pytest.raises(TypeError):
        len(block())
    assert "LinearVariable" in repr(block())


def test_references_are_made_by_the_proxy_class_bound_at_the_time(monkeypatch):
    made = []

    class Recorded(LinearVariableProxy):
        def __init__(self, text):
            made.append(text)
            super().__init__(text)

    monkeypatch.setattr(lv, "LinearVariableProxy", Recorded)
    reference = block()[1, i + 1]
    assert type(reference) is Recorded and made == ["x(1,i + 1)"]


ELEMENT_REFUSALS = [
    ("outside", (2, 0), IndexError, "Linear variable x: index 2 is outside dimension 'd0' of size 2"),
    ("huge", (0, 2**70), IndexError,
     f"Linear variable x: index {2**70} is outside dimension 'd1' of size 3"),
    ("float", (1.5, 0), TypeError, "Linear variable x: index 1.5 must be an integer"),
    ("text", (0, "1"), TypeError, "Linear variable x: index 1 must be an integer"),
]


@pytest.mark.parametrize("items, exc, message", [c[1:] for c in ELEMENT_REFUSALS],
                         ids=[c[0] for c in ELEMENT_REFUSALS])
def test_element_refusals_are_logged_then_raised(items, exc, message, log_sink):
    v = block()
    with pytest.raises(exc) as err:
        v(*items)
    assert str(err.value) == message and log_sink.at("error") == [message]
    # The block is left as it was: the next element is the one it always was.
    assert list(v(1, 2).linear_coefficients_indexes) == [10 + 1 + 2 * 2]


BLOCK_REFUSALS = [
    ("size-float", {"d0": 2.0}, 0, TypeError,
     "Linear variable x: the size of dimension 'd0' must be an integer"),
    ("size-wide", {"d0": 2**64}, 0, OverflowError,
     "Linear variable x: the size of dimension 'd0' does not fit in 64 bits"),
    ("shift-float", {"d0": 2}, 1.0, TypeError,
     "Linear variable x: the first column must be an integer"),
    ("columns-wide", {"d0": 2**62, "d1": 4}, 0, OverflowError,
     "Linear variable x: its columns do not fit in 64 bits"),
]


@pytest.mark.parametrize("dims, first, exc, message", [c[1:] for c in BLOCK_REFUSALS],
                         ids=[c[0] for c in BLOCK_REFUSALS])
def test_block_layout_refusals_name_the_block(dims, first, exc, message):
    with pytest.raises(exc) as err:
        LinearVariable("x", 0, 1, dims, first, None)
    assert str(err.value) == message
