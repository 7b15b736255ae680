"""Integers as programs pass them to the variable arrays of the second linear generation: element
indexes and sizes given as numpy integers, bools, objects with __index__ and values at the edges
of 64 bits select the columns the same plain ints select, or are refused in the call that gives
them."""

import numpy as np
import pytest

from zk_encoder.linear_parser2 import LinearModel, VariableType


class Index:
    """An integer that only converts through __index__."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def _arrays():
    model = LinearModel()
    model.get_variable("before", VariableType.REAL, k=3)
    x = model.get_variable("x", VariableType.REAL, i=5)
    y = model.get_variable("y", VariableType.INTEGER, 0, 9, i=3, j=4)
    return x, y


def _columns(row):
    return row.linear_coefficients.indices.tolist()


SAME_AS_ONE = [
    ("numpy_int64", np.int64(1)),
    ("numpy_uint8", np.uint8(1)),
    ("numpy_uint64", np.uint64(1)),
    ("bool", True),
]


@pytest.mark.parametrize("value", [c[1] for c in SAME_AS_ONE], ids=[c[0] for c in SAME_AS_ONE])
def test_index_means_its_integer(value):
    x, y = _arrays()
    assert _columns(x[value]) == _columns(x[1]) == [4]
    assert _columns(y[value, 1]) == _columns(y[1, 1]) == [13]


@pytest.mark.parametrize("value", [5, -1, 2 ** 63 - 1, 2 ** 63, -2 ** 63, -2 ** 63 - 1, 2 ** 70,
                                   np.uint64(2 ** 64 - 1)],
                         ids=["size", "negative", "largest_int64", "past_int64", "smallest_int64",
                              "below_int64", "past_70_bits", "numpy_uint64_max"])
def test_index_outside_the_array(log_sink, value):
    x, y = _arrays()
    with pytest.raises(IndexError, match=f"^{int(value)} is not a valid index$"):
        x[value]
    with pytest.raises(IndexError, match=f"^{int(value)} is not a valid index$"):
        y[value, 0]
    assert _columns(x[4]) == [7]


@pytest.mark.parametrize("size", [np.int64(3), np.uint16(3), Index(3)],
                         ids=["numpy_int64", "numpy_uint16", "index_object"])
def test_size_means_its_integer(size):
    model = LinearModel()
    x = model.get_variable("x", VariableType.REAL, i=size, j=2)
    assert x.shape == (3, 2) and all(type(d) is int for d in x.shape)
    assert _columns(x[2, 1]) == [5]


@pytest.mark.parametrize("size", [True, np.bool_(True), -1, -2 ** 63 - 1, 1.0],
                         ids=["bool", "numpy_bool", "negative", "below_int64", "float"])
def test_size_refused(log_sink, size):
    model = LinearModel()
    with pytest.raises(ValueError, match="^Dimension sizes must be non-negative integers$"):
        model.get_variable("x", VariableType.REAL, i=size)
    # The refused name stays taken; the columns are as if the call had never been made.
    y = model.get_variable("y", VariableType.REAL, i=2)
    assert _columns(y[1]) == [1]
