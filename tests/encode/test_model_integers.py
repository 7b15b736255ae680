"""Integers as programs pass them to a pseudo-Boolean model (for-all values, element indexes,
dimension sizes, weights and bounds): numpy integers and bools, objects with __index__ and the
edges of 64 bits mean what the same plain ints mean, or are refused in the call that gives them
with the model left as if it never saw the call."""

import numpy as np
import pytest

import nubrix.sorn_engine as se
from zk_encoder import Model
from zk_encoder._exceptions import VariableError


class Index:
    """An integer that only converts through __index__."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def _model(use_fe=False):
    m = Model(se.manager(), "m", use_fe)
    x = m.create_variables("x", i=3)
    return m, x, m.get_indexes(["i"])


def _clauses(m):
    assert m.build_cnf() is True
    return sorted(m.get_cnf_storage().hard_clauses()), m.get_var_mapping().get_var_map()


def _reference(build):
    m, x, i = _model()
    build(m, x, i)
    return _clauses(m)


# --- for-all values in a list --------------------------------------------------------------------

FORALL_ONE = [
    ("int", 1),
    ("numpy_int64", np.int64(1)),
    ("numpy_uint8", np.uint8(1)),
    ("bool", True),
    ("numpy_bool", np.bool_(True)),
    ("index_object", Index(1)),
]


@pytest.mark.parametrize("use_fe", [False, True], ids=["own", "formula_encoder"])
@pytest.mark.parametrize("value", [c[1] for c in FORALL_ONE], ids=[c[0] for c in FORALL_ONE])
def test_forall_value_means_its_integer(use_fe, value):
    m, x, i = _model(use_fe)
    m.add_constraint(x[i] == 1, i=[value, 2])
    assert _clauses(m) == _reference(lambda m, x, i: m.add_constraint(x[i] == 1, i=[1, 2]))


# (id, the value, the error; the values next to the edges of 64 bits still fit and are judged as
#  indexes, the ones past them are refused as for-all values)
FORALL_EDGES = [
    ("largest_int64", 2 ** 63 - 1, IndexError, "takes the value 9223372036854775807"),
    ("smallest_int64", -2 ** 63, IndexError, "takes the value -9223372036854775808"),
    ("past_int64", 2 ** 63, ValueError, "^For-all values of i must fit in 64 bits$"),
    ("below_int64", -2 ** 63 - 1, ValueError, "^For-all values of i must fit in 64 bits$"),
    ("index_object_past_int64", Index(2 ** 63), ValueError, "must fit in 64 bits"),
    ("numpy_uint64_past_int64", np.uint64(2 ** 63), ValueError, "must fit in 64 bits"),
    ("float", 1.0, TypeError, "^For-all value 1.0 of i is not an integer$"),
]


@pytest.mark.parametrize("value,error,match", [c[1:] for c in FORALL_EDGES],
                         ids=[c[0] for c in FORALL_EDGES])
def test_forall_value_at_the_edges_of_64_bits(log_sink, value, error, match):
    m, x, i = _model()
    with pytest.raises(error, match=match):
        m.add_constraint(x[i] == 1, i=[0, value])
    assert [str(s) for s in log_sink.at("error")], "the refusal is logged"
    m.add_constraint(x[i] == 1, i=[2])
    assert _clauses(m) == _reference(lambda m, x, i: m.add_constraint(x[i] == 1, i=[2]))


# --- element indexes -----------------------------------------------------------------------------

INDEX_ONE = [
    ("numpy_int64", np.int64(1)),
    ("numpy_uint8", np.uint8(1)),
    ("numpy_int8", np.int8(1)),
]


@pytest.mark.parametrize("value", [c[1] for c in INDEX_ONE], ids=[c[0] for c in INDEX_ONE])
def test_element_index_means_its_integer(value):
    m, x, i = _model()
    m.add_constraint(x[value] == 1)
    assert _clauses(m) == _reference(lambda m, x, i: m.add_constraint(x[1] == 1))


@pytest.mark.parametrize("value", [3, -1, 2 ** 63 - 1, 2 ** 63, -2 ** 63, -2 ** 63 - 1, 2 ** 70],
                         ids=["size", "negative", "largest_int64", "past_int64", "smallest_int64",
                              "below_int64", "past_70_bits"])
def test_element_index_outside_the_family(log_sink, value):
    m, x, i = _model()
    with pytest.raises(IndexError, match=f"^Index value {value} of x\\({value}\\) is outside"):
        m.add_constraint(x[value] == 1)
    m.add_constraint(x[0] == 1)
    assert _clauses(m) == _reference(lambda m, x, i: m.add_constraint(x[0] == 1))


# --- dimension sizes -----------------------------------------------------------------------------

@pytest.mark.parametrize("size", [np.int64(2), np.uint8(2), Index(2)],
                         ids=["numpy_int64", "numpy_uint8", "index_object"])
def test_size_means_its_integer(size):
    m = Model(se.manager(), "m")
    x = m.create_variables("x", i=size)
    assert x.indexes == {"i": 2} and type(x.indexes["i"]) is int


@pytest.mark.parametrize("size,error", [
    (2 ** 63, VariableError),
    (2 ** 31, VariableError),
    (-2 ** 63 - 1, ValueError),
    (Index(-1), ValueError),
    (np.bool_(False), ValueError),
], ids=["past_int64", "past_literals", "below_int64", "negative_index_object", "numpy_bool"])
def test_size_refused(log_sink, size, error):
    m = Model(se.manager(), "m")
    with pytest.raises(error):
        m.create_variables("x", i=size)
    assert [str(s) for s in log_sink.at("error")], "the refusal is logged"
    x = m.create_variables("x", i=3)
    m.add_constraint(x[1] == 1)
    assert _clauses(m) == _reference(lambda m, x, i: m.add_constraint(x[1] == 1))


# --- weights and bounds of sums ------------------------------------------------------------------

@pytest.mark.parametrize("weight,bound", [
    (np.int64(2), np.int64(2)),
    (np.uint8(2), np.int32(2)),
    (True, 2),
], ids=["numpy_int64", "numpy_small", "bool_weight"])
def test_numpy_weight_and_bound_mean_their_integers(weight, bound):
    m, x, i = _model()
    m.add_constraint(weight * x[0] + 2 * x[1] <= bound)
    plain_weight = int(weight)
    assert _clauses(m) == _reference(
        lambda m, x, i: m.add_constraint(plain_weight * x[0] + 2 * x[1] <= 2))


@pytest.mark.parametrize("bound,holds", [
    (2 ** 63, True), (2 ** 70, True), (-2 ** 63 - 1, False), (2 ** 63 - 1, True), (-2 ** 63, False),
], ids=["past_int64", "past_70_bits", "below_int64", "largest_int64", "smallest_int64"])
def test_bound_at_the_edges_of_64_bits(log_sink, bound, holds):
    """A bound past what any sum reaches makes the constraint always true (no clause) or a
    contradiction, whatever its width."""
    m, x, i = _model()
    if holds:
        m.add_constraint(x[0] + x[1] <= bound)
        assert _clauses(m)[0] == []
    else:
        with pytest.raises(Exception, match="Contradiction was detected"):
            m.add_constraint(x[0] + x[1] <= bound)
