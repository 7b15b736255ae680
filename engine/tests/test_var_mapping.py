"""var_mapping: names to clause-variable numbers and back."""

import numpy as np
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


def test_names_of_any_text_and_many_entries():
    # Non-ASCII names, names that are prefixes of others, the empty name, and enough entries
    # that every look-up goes through a real table.
    names = {"": 0, "é": 1, "x": 2, "x(1)": 3, "x(1,2)": 4, "日本(0)": 5, "a\0b": 6}
    names.update({f"q[{i},{i % 7}]": 7 + i for i in range(20_000)})
    m = se.var_mapping()
    m.set_var_map(names)
    assert all(m.get_var(n) == v for n, v in names.items())
    assert all(m.get_name(v) == n for n, v in names.items())
    assert "a" not in m and "x(1" not in m and "q[0,1]" not in m and 3 not in m
    assert m.get_var_map() == names and list(m.get_var_map()) == list(names)


def test_name_without_utf8_form_is_refused_and_changes_nothing():
    m = se.var_mapping()
    m.set_var_map({"a": 1})
    with pytest.raises(UnicodeEncodeError):
        m.set_var_map({"b": 2, "\ud800": 3})
    assert m.get_var_map() == {"a": 1} and "\ud800" not in m


class Name(str):
    pass


def test_other_kinds_of_numbers_and_names_read_the_same():
    content = {Name("s"): 1, "n": np.int64(2), "p": 3}
    m = se.var_mapping()
    m.set_var_map(content)
    assert m.get_var_map() == {"s": 1, "n": 2, "p": 3}
    assert type(next(iter(m.get_var_map()))) is str


@pytest.mark.parametrize("content, error, message", [
    ({"a": 1, "b": True}, TypeError, "a number must be an integer, not bool"),
    ({"a": 1, "b": 2**64}, OverflowError, "a number does not fit in 64 bits"),
    ({"a": 1, "b": -1, "c": 1.5}, ValueError, "the number -1 of 'b' is outside"),
    ({"a": 1.5, "b": -1}, TypeError, "must be an integer, not float"),
    ({"a": 1, 2: 1}, TypeError, "a name must be a str, not int"),
], ids=["bool", "beyond-64-bits", "first-fault-wins", "first-fault-wins-slow", "int-name"])
def test_refusals_name_the_first_fault(content, error, message):
    m = se.var_mapping()
    with pytest.raises(error, match=message):
        m.set_var_map(content)
    assert len(m) == 0


@pytest.mark.parametrize("far", [10, 2**31 - 1], ids=["dense", "sparse"])
def test_inverse_answers_with_the_first_name_however_far_the_numbers(far):
    m = se.var_mapping()
    m.set_var_map({"a": far, "b": 0, "c": far, "d": 1, "e": 0})
    m.build_inverse_map()
    assert [m.get_name(v) for v in (far, 0, 1)] == ["a", "b", "d"]
    for missing in (2, far + 1, -1):
        with pytest.raises(KeyError):
            m.get_name(missing)


def test_interpreter_keeps_the_content_its_tables_were_built_from():
    m = se.var_mapping()
    m.set_var_map({"x": 1, "y": 2})
    wi = se.witness_interpreter()
    wi.set_var_mapping(m)
    assert wi.build_mapping_tables(True)
    m.set_var_map({"z": 1})
    assert wi.interpret([1, -2]) == {"x": True, "y": False}
    assert m.get_var_map() == {"z": 1}
