"""Integer arguments of the engine read by one rule: an int, a numpy integer or an object with
__index__, never a truth value; 64-bit arguments refuse what lies past 64 bits, on both sides."""

import numpy as np
import pytest

import nubrix.sorn_engine as se
import nubrix.sorn_engine.pbct as pb


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


# (id, value, the error, or None when the value means 3)
VALUES = [
    ("int", 3, None),
    ("numpy_int64", np.int64(3), None),
    ("numpy_uint64", np.uint64(3), None),
    ("index_object", Index(3), None),
    ("bool", True, (TypeError, "must be an integer, not bool")),
    ("numpy_bool", np.bool_(True), (TypeError, "must be an integer, not bool")),
    ("float", 3.0, (TypeError, "must be an integer, not float")),
    ("past_int64", 2**63, (OverflowError, "does not fit in 64 bits")),
    ("below_int64", -2**63 - 1, (OverflowError, "does not fit in 64 bits")),
    ("numpy_uint64_past_int64", np.uint64(2**63), (OverflowError, "does not fit in 64 bits")),
    ("index_object_past_int64", Index(2**63), (OverflowError, "does not fit in 64 bits")),
]


@pytest.mark.parametrize("value,error", [c[1:] for c in VALUES], ids=[c[0] for c in VALUES])
def test_var_map_number(value, error):
    m = se.var_mapping()
    if error is None:
        m.set_var_map({"dummy_var[0]": 0, "x[0]": value})
        assert m.get_var_map() == {"dummy_var[0]": 0, "x[0]": 3}
        assert all(type(v) is int for v in m.get_var_map().values())
        return
    with pytest.raises(error[0], match="^set_var_map: a number " + error[1]):
        m.set_var_map({"dummy_var[0]": 0, "x[0]": value})
    assert len(m) == 0


@pytest.mark.parametrize("value,error", [c[1:] for c in VALUES], ids=[c[0] for c in VALUES])
def test_weighted_lit_coefficient(value, error):
    if error is None:
        assert pb.WeightedLit(1, value).coef == 3
        return
    with pytest.raises(error[0], match="^WeightedLit: the coefficient " + error[1]):
        pb.WeightedLit(1, value)


# Bounds are exact past 64 bits (the engine saturates them far beyond any sum).
BOUNDS = [
    ("numpy_int64", np.int64(3), 3),
    ("index_object", Index(3), 3),
    ("past_int64", 2**63, 2**63),
    ("below_int64", -2**63 - 1, -2**63 - 1),
    ("index_object_past_int64", Index(2**63), 2**63),
]


@pytest.mark.parametrize("value,plain", [c[1:] for c in BOUNDS], ids=[c[0] for c in BOUNDS])
def test_pb_constraint_bound(value, plain):
    c = pb.PBConstraint([pb.WeightedLit(1, 2)], pb.Comparator_type.LEQ, value)
    assert list(c.bounds) == [plain] and type(c.bounds[0]) is int
