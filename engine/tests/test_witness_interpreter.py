"""witness_interpreter: decoding a solver's witness into the values of named elements."""

import os

import pytest
from pysat.solvers import Solver

import nubrix.sorn_engine as se

AUX = ["_bxpr_aux", "_pbct_aux"]
NAMES = {"dummy_var[0]": 0, "x[0]": 1, "x[1]": 2, "y[0]": 3,
         "_pbct_aux[0,0,0]": 4, "_bxpr_aux[0,0,0]": 5}


def interpreter(names=NAMES, leave_out=True):
    m = se.var_mapping()
    m.set_var_map(names)
    m.build_inverse_map()
    wi = se.witness_interpreter()
    wi.set_var_mapping(m)
    wi.set_auxiliary_vars(AUX)
    return wi, wi.build_mapping_tables(leave_out)


def test_decodes_named_elements_without_auxiliaries():
    wi, built = interpreter()
    assert built is True
    assert wi.interpret([1, -2, 3, -4, 5]) == {"x[0]": True, "x[1]": False, "y[0]": True}


def test_decodes_a_solver_model():
    wi, _ = interpreter()
    # x[0] or x[1];  not x[0];  x[1] -> aux4;  aux4 -> not y[0]
    with Solver(bootstrap_with=[[1, 2], [-1], [-2, 4], [-4, -3]]) as solver:
        assert solver.solve()
        assert wi.interpret(solver.get_model()) == {"x[0]": False, "x[1]": True, "y[0]": False}


def test_auxiliaries_kept_when_asked():
    wi, built = interpreter(leave_out=False)
    assert built
    assert wi.interpret([1, 2, 3, 4, -5]) == {"x[0]": True, "x[1]": True, "y[0]": True,
                                              "_pbct_aux[0,0,0]": True,
                                              "_bxpr_aux[0,0,0]": False}


def test_missing_variables_are_false_and_zeros_end_lines():
    wi, _ = interpreter()
    assert wi.interpret([2, 0]) == {"x[0]": False, "x[1]": True, "y[0]": False}


def test_auxiliary_prefix_is_a_prefix():
    wi, _ = interpreter({"a_bxpr_aux": 1, "_bxpr_aux_1": 2})
    assert wi.is_auxiliary("_bxpr_aux_1") and not wi.is_auxiliary("a_bxpr_aux")
    assert wi.get_auxiliary_vars() == AUX
    assert wi.interpret([1, 2]) == {"a_bxpr_aux": True}


def test_tables_need_a_non_empty_mapping():
    wi = se.witness_interpreter()
    assert wi.build_mapping_tables(True) is False
    wi.set_var_mapping(se.var_mapping())
    assert wi.build_mapping_tables(True) is False
    with pytest.raises(se.EngineError, match="build_mapping_tables"):
        wi.interpret([1])


@pytest.mark.parametrize("witness, error, message", [
    ([1, -1], ValueError, "both values"),
    ([1.0], TypeError, "must be an integer"),
    (5, TypeError, "sequence of integers"),
], ids=["contradiction", "float", "not-a-sequence"])
def test_refusals(witness, error, message):
    wi, _ = interpreter()
    with pytest.raises(error, match=message):
        wi.interpret(witness)


def test_set_var_mapping_refuses_other_objects():
    with pytest.raises(TypeError, match="expected a var_mapping"):
        se.witness_interpreter().set_var_mapping({"x": 1})


EXTREME_WITNESSES = [
    ("int64-min", [-2**63]),
    ("int64-max", [2**63 - 1, -(2**63 - 1) + 1]),
    ("beyond-variables", [2**31, -(2**40)]),
    ("mixed", [1, -2**63, -3, 2**62]),
]


@pytest.mark.parametrize("witness", [r[1] for r in EXTREME_WITNESSES],
                         ids=[r[0] for r in EXTREME_WITNESSES])
def test_literals_far_beyond_the_mapping_are_ignored(witness):
    wi, _ = interpreter()
    expected = {"x[0]": 1 in witness, "x[1]": False, "y[0]": False}
    assert wi.interpret(witness) == expected


def test_contradiction_beyond_the_mapping_is_refused():
    wi, _ = interpreter()
    with pytest.raises(ValueError, match="variable 4294967296 both values"):
        wi.interpret([2**32, 1, -(2**32)])


def run_isolated(code):
    import subprocess
    import sys
    import textwrap

    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=120)
    assert done.returncode == 0, done.stderr[-2000:]
    return done.stdout


# AddressSanitizer reserves terabytes of address space for its shadow memory: under it (make
# test-sanitize preloads its runtime) no address-space limit can hold.
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="an address-space limit cannot hold under AddressSanitizer")
def test_decoding_the_largest_number_needs_little_memory():
    # Under a 1.5 GB address-space limit: a table indexed by variable number would need 2 GB.
    out = run_isolated("""
        import resource
        import nubrix.sorn_engine as se
        resource.setrlimit(resource.RLIMIT_AS, (1536 << 20, 1536 << 20))
        m = se.var_mapping()
        m.set_var_map({"far": 2**31 - 1, "near": 1})
        wi = se.witness_interpreter()
        wi.set_var_mapping(m)
        wi.build_mapping_tables(True)
        print(wi.interpret([2**31 - 1, -1]), wi.interpret([-(2**31 - 1)]))
    """)
    assert out.split("\n")[0] == "{'far': True, 'near': False} {'far': False, 'near': False}"


def test_witness_changed_while_read():
    # __index__ empties the list mid-read; the interpreter must read what it was given.
    out = run_isolated("""
        import nubrix.sorn_engine as se
        m = se.var_mapping()
        m.set_var_map({"a": 1, "b": 2})
        wi = se.witness_interpreter()
        wi.set_var_mapping(m)
        wi.build_mapping_tables(True)
        class Shrinking:
            def __index__(self):
                witness.clear()
                return 1
        witness = [Shrinking()] + [2] * 100000
        print(wi.interpret(witness))
    """)
    assert out.strip() == "{'a': True, 'b': True}"


def test_auxiliary_prefixes_must_be_a_sequence_of_texts():
    # One text is not a list of prefixes: its characters would make "_..." names auxiliaries.
    wi = se.witness_interpreter()
    with pytest.raises(TypeError, match="expected a sequence of str prefixes, not str"):
        wi.set_auxiliary_vars("_bxpr_aux")
    with pytest.raises(TypeError, match="a prefix must be a str, not int"):
        wi.set_auxiliary_vars(["_bxpr_aux", 3])
    assert wi.get_auxiliary_vars() == []
