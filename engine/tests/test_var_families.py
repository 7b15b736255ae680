"""var_mapping.set_var_families: families by shape hold what the whole dict would hold."""

import itertools
import random

import pytest

import nubrix.sorn_engine as se

AUX = ["_bxpr_aux", "_pbct_aux"]


def family_dict(name, first, sizes):
    """The element names of a family and their numbers, row-major, last dimension fastest."""
    if any(s <= 0 for s in sizes):
        return {}
    return {f"{name}[{','.join(map(str, idx))}]": first + k
            for k, idx in enumerate(itertools.product(*(range(s) for s in sizes)))}


def whole_dict(families, other):
    d = {}
    for f in families:
        d.update(family_dict(*f))
    d.update(other)
    return d


def random_case(rng):
    names = rng.sample(["x", "y", "_pbct_aux", "_bxpr_aux", "x[0", "v_1", "_bxpr_a"], rng.randint(1, 4))
    families, first = [], rng.randint(0, 2)
    for name in names:
        sizes = [rng.randint(0 if rng.random() < 0.1 else 1, 4) for _ in range(rng.randint(0, 3))]
        families.append((name, first, sizes))
        first += max(1, len(family_dict(name, first, sizes))) + rng.randint(0, 2)
    other = {f"_pbct_aux_{i}": first + i for i in range(rng.randint(0, 5))}
    other.update({"dummy_var[0]": 0} if rng.random() < 0.5 else {})
    return families, other


def mappings(families, other):
    by_shape, by_dict = se.var_mapping(), se.var_mapping()
    by_shape.set_var_families(families, other)
    by_dict.set_var_map(whole_dict(families, other))
    return by_shape, by_dict


def interpret(mapping, witness, leave_out):
    wi = se.witness_interpreter()
    wi.set_var_mapping(mapping)
    wi.set_auxiliary_vars(AUX)
    assert wi.build_mapping_tables(leave_out)
    return wi.interpret(witness)


@pytest.mark.parametrize("seed", range(30))
def test_random_families_equal_the_dict(seed):
    print("seed", seed)
    rng = random.Random(seed)
    families, other = random_case(rng)
    by_shape, by_dict = mappings(families, other)
    whole = by_dict.get_var_map()
    got = by_shape.get_var_map()
    assert list(got.items()) == list(whole.items())
    assert len(by_shape) == len(by_dict) == len(whole)
    for name, number in whole.items():
        assert name in by_shape and by_shape.get_var(name) == number
        assert by_shape.get_name(number) == by_dict.get_name(number)
    for name in ["x[9]", "x[]", "x[0,]", "x[00]", "y", "x[0,0,0,0]", "zz[0]", "x[-0]", "x[+1]",
                 "x[ 1]", "x[1 ]", "x[99999999999999999999]", "x[0][0]", "[0]"]:
        assert (name in by_shape) == (name in whole)
    top = max(whole.values(), default=0)
    for leave_out in (True, False):
        for _ in range(3):
            witness = [v if rng.random() < 0.5 else -v for v in range(1, top + 1)
                       if rng.random() < 0.8]
            expected = interpret(by_dict, witness, leave_out)
            assert list(interpret(by_shape, witness, leave_out).items()) == list(expected.items())


def test_a_prefix_longer_than_the_family_name_takes_elements_one_by_one():
    families, other = [("_pbct", 1, [2, 2])], {}
    by_shape, by_dict = mappings(families, other)
    wi_args = ([1, -2, 3, 4],)
    for mapping in (by_shape, by_dict):
        wi = se.witness_interpreter()
        wi.set_var_mapping(mapping)
        wi.set_auxiliary_vars(["_pbct[1"])
        wi.build_mapping_tables(True)
        assert wi.interpret(*wi_args) == {"_pbct[0,0]": True, "_pbct[0,1]": False}


def test_a_large_family_costs_its_shape():
    m = se.var_mapping()
    m.set_var_families([("x", 1, [10000, 10000])], {"_pbct_aux_0": 100000001})
    m.build_inverse_map()
    assert len(m) == 10**8 + 1
    assert m.get_var("x[9999,9999]") == 10**8 and m.get_name(12345) == "x[1,2344]"
    wi = se.witness_interpreter()
    wi.set_var_mapping(m)
    wi.set_auxiliary_vars(["x"])
    assert wi.build_mapping_tables(True)
    assert wi.interpret([1, -100000001]) == {"_pbct_aux_0": False}


@pytest.mark.parametrize("families, other, error, message", [
    ([("x", 1, [2]), ("x", 5, [1])], {}, ValueError, "a family named twice: x"),
    ([("x", 1, [2])], {"x[1]": 7}, ValueError, "the name x[1] of other_map is an element"),
    ([("x", -1, [2])], {}, ValueError, "the numbers of family x"),
    ([("x", 2**31 - 1, [2])], {}, ValueError, "the numbers of family x"),
    ([("x", 1)], {}, TypeError, "a family must be"),
    ("x", {}, TypeError, "expected a list"),
    ([("x", 1, [2])], [], TypeError, "expected a dict"),
], ids=["name-twice", "element-in-other", "negative", "too-large", "short-tuple", "not-a-list",
        "other-not-dict"])
def test_bad_input_leaves_the_content(families, other, error, message):
    m = se.var_mapping()
    m.set_var_map({"a": 1})
    with pytest.raises(error, match=message.replace("[", r"\[").replace("]", r"\]")):
        m.set_var_families(families, other)
    assert m.get_var_map() == {"a": 1}


def test_empty_families_and_a_family_out_of_numbers_range_when_empty():
    m = se.var_mapping()
    m.set_var_families([("x", -5, [0, 3]), ("y", 0, [])], {})
    assert m.get_var_map() == {"y[]": 0}
    wi = se.witness_interpreter()
    wi.set_var_mapping(m)
    assert wi.build_mapping_tables(True)
    assert wi.interpret([1]) == {}
