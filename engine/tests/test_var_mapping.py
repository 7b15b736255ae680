"""var_mapping: names to clause-variable numbers and back."""

import pytest

import nubrix.sorn_engine as se

NAMES = {"dummy_var[0]": 0, "x[0,0]": 1, "x[0,1]": 2, "_pbct_aux[0,0,0]": 3, "_bxpr_aux[1,0,0]": 4}


@pytest.fixture
def mapping():
    m = se.var_mapping()
    m.set_var_map(NAMES)
    m.build_inverse_map()
    return m


def test_look_up_both_ways(mapping):
    assert len(mapping) == mapping.size() == 5
    assert [mapping.get_var(n) for n in NAMES] == list(NAMES.values())
    assert [mapping.get_name(v) for v in NAMES.values()] == list(NAMES)
    assert "x[0,1]" in mapping and "x[1,1]" not in mapping
    assert mapping.get_var_map() == NAMES


def test_missing_keys(mapping):
    with pytest.raises(KeyError):
        mapping.get_var("y[0]")
    with pytest.raises(KeyError):
        mapping.get_name(99)


def test_new_mapping_is_empty_and_set_replaces():
    m = se.var_mapping()
    assert len(m) == 0 and m.get_var_map() == {}
    m.set_var_map({"a": 1})
    m.set_var_map({"b": 2})
    assert m.get_var_map() == {"b": 2}
    assert m.get_name(2) == "b"  # look-up by number works without an explicit build


def test_shared_number_answers_with_the_first_name():
    m = se.var_mapping()
    m.set_var_map({"first": 5, "second": 5})
    m.build_inverse_map()
    assert m.get_name(5) == "first"


@pytest.mark.parametrize("content, error", [
    ([("a", 1)], TypeError),
    ({1: 1}, TypeError),
    ({"a": "1"}, TypeError),
    ({"a": -1}, ValueError),
    ({"a": 2**31}, ValueError),
], ids=["not-a-dict", "int-name", "text-number", "negative", "too-large"])
def test_refusals(content, error):
    with pytest.raises(error):
        se.var_mapping().set_var_map(content)


def test_dict_changed_while_read():
    # __index__ of a number deletes the entries; the mapping keeps what it was given.
    class Emptying:
        def __index__(self):
            content.clear()
            return 7

    content = {"a": Emptying(), **{f"n{i}": i for i in range(1, 1000)}}
    m = se.var_mapping()
    m.set_var_map(content)
    assert len(m) == 1000 and m.get_var("a") == 7 and m.get_name(999) == "n999"
