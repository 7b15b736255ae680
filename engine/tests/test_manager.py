"""The engine manager, and the engine calls that end a build, in the library's order."""

import pytest

import nubrix.sorn_engine as se


def test_new_manager_holds_nothing():
    m = se.manager()
    assert m.get_cnf_storage() is None and m.get_witness_interpreter() is None


def test_keeps_the_very_objects_given():
    m = se.manager()
    first, second = se.wcnf_storage(), se.wcnf_storage()
    m.set_cnf_storage(first)
    assert m.get_cnf_storage() is first
    m.set_cnf_storage(second)
    assert m.get_cnf_storage() is second
    wi = se.witness_interpreter()
    m.set_witness_interpreter(wi)
    assert m.get_witness_interpreter() is wi


def test_end_of_build_sequence():
    manager = se.manager()
    storage = se.wcnf_storage()
    storage.add_hard_clause([1, 2])
    storage.set_model_name("m")
    storage.set_variable_count(2)
    storage.set_clause_count(1)
    manager.set_cnf_storage(storage)
    mapping = se.var_mapping()
    mapping.set_var_map({"dummy_var[0]": 0, "x[0]": 1, "x[1]": 2})
    mapping.build_inverse_map()
    wi = se.witness_interpreter()
    wi.set_var_mapping(mapping)
    wi.set_auxiliary_vars(["_bxpr_aux", "_pbct_aux"])
    assert wi.build_mapping_tables(True)
    manager.set_witness_interpreter(wi)
    # A preliminary value through the manager lands in the model's own storage.
    manager.get_cnf_storage().insert_prefatory_value(-5)
    assert storage.get_prefatory_values() == [-5]
    assert manager.get_witness_interpreter().interpret([-1, 2]) == {"x[0]": False, "x[1]": True}


@pytest.mark.parametrize("method, value", [
    ("set_cnf_storage", [[1]]),
    ("set_witness_interpreter", se.var_mapping()),
], ids=["storage", "interpreter"])
def test_refuses_other_objects(method, value):
    with pytest.raises(TypeError, match="expected a"):
        getattr(se.manager(), method)(value)
