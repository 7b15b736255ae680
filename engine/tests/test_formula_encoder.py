"""The engine's formula encoder: what it accepts as families and for-all texts, that it encodes what
it received (rebuilt at every generate_cnf), metrics files, witness checks and its errors."""

import csv
import json
import keyword

import pytest
from pysat.solvers import Solver

import nubrix.sorn_engine as se
from zk_encoder import Model, Sum

EngineError = se.EngineError


@pytest.fixture
def enc():
    return se.manager().create_formula_encoder("fm")


def units(storage):
    return sorted(storage.hard_clauses())


def test_manager_makes_one_encoder_per_call():
    mgr = se.manager()
    a, b = mgr.create_formula_encoder("a"), mgr.create_formula_encoder("b")
    assert type(a) is se.formula_encoder and a is not b
    assert a.get_cnf_storage() is None and a.get_var_mapping() is None and a.target is None


# A bare reference "x(i)" as hard constraint is one unit clause per for-all value, which shows the
# values the encoder read. x has 5 elements, numbered 1..5 (0 is the placeholder).
ACCEPTED = [
    ("range", "Foralls: {'i': range(0, 3)}", "x(i)", [[1], [2], [3]]),
    ("range_step", "Foralls: {'i': range(1, 5, 2)}", "x(i)", [[2], [4]]),
    ("range_down", "Foralls: {'i': range(4, 1, -1)}", "x(i)", [[3], [4], [5]]),
    ("range_empty", "Foralls: {'i': range(3, 3)}", "x(i)", []),
    ("range_one_argument", "Foralls: {'i': range(2)}", "x(i)", [[1], [2]]),
    ("list", "Foralls: {'i': [0, 2]}", "x(i)", [[1], [3]]),
    ("list_empty", "Foralls: {'i': []}", "x(i)", []),
    ("tuple", "Foralls: {'i': (1, 4)}", "x(i)", [[2], [5]]),
    ("tuple_one", "Foralls: {'i': (3,)}", "x(i)", [[4]]),
    ("negative_values", "Foralls: {'i': [-1, -2]}", "x(i + 3)", [[2], [3]]),
    ("blanks", "Foralls:   { 'i' :[ 0 ,1 , ] }", "x(i)", [[1], [2]]),
    ("no_foralls", "Foralls: {}", "x(2)", [[3]]),
    ("two_indexes", "Foralls: {'i': [0, 1], 'j': (4,)}",
     "bx.or_s([x(i).to_bx(), x(j).to_bx()])", [[1, 5], [2, 5]]),
]


@pytest.mark.parametrize("foralls,text,clauses", [c[1:] for c in ACCEPTED],
                         ids=[c[0] for c in ACCEPTED])
def test_accepted_foralls(enc, foralls, text, clauses):
    enc.create_variables("x", [5])
    enc.add_constraint(text, foralls)
    enc.generate_cnf()
    assert units(enc.get_cnf_storage()) == sorted(clauses)


REFUSED = [
    ("no_prefix", "{'i': range(0, 3)}"),
    ("text_value", "Foralls: {'i': 'abc'}"),
    ("bare_name", "Foralls: {'i': abc}"),
    ("call", "Foralls: {'i': __import__('os').getcwd()}"),
    ("comprehension", "Foralls: {'i': [k for k in range(3)]}"),
    ("float", "Foralls: {'i': [0, 1.5]}"),
    ("bool", "Foralls: {'i': [True]}"),
    ("nested", "Foralls: {'i': [[0]]}"),
    ("numpy_array", "Foralls: {'i': array([1, 2])}"),
    ("zero_step", "Foralls: {'i': range(0, 3, 0)}"),
    ("range_too_many", "Foralls: {'i': range(0, 3, 1, 1)}"),
    ("parenthesised_integer", "Foralls: {'i': (3)}"),
    ("keyword_name", "Foralls: {'for': [1]}"),
    ("digit_name", "Foralls: {'1i': [1]}"),
    ("expression_name", "Foralls: {'i + 1': [1]}"),
    ("repeated_name", "Foralls: {'i': [1], 'i': [2]}"),
    ("trailing_text", "Foralls: {'i': [0]} + x"),
    ("unclosed", "Foralls: {'i': [0, 1}"),
    ("too_large", "Foralls: {'i': [99999999999999999999]}"),
    ("not_a_text", 7),
]


@pytest.mark.parametrize("foralls", [c[1] for c in REFUSED], ids=[c[0] for c in REFUSED])
def test_refused_foralls(enc, foralls):
    enc.create_variables("x", [3])
    with pytest.raises((EngineError, TypeError)) as err:
        enc.add_constraint("x(i)", foralls)
    assert str(err.value).startswith("formula encoder: ")
    with pytest.raises((EngineError, TypeError)):
        enc.add_soft_constraint("x(i)", foralls, 1, False)
    enc.generate_cnf()  # nothing refused was kept
    assert enc.get_cnf_storage().hard_clauses() == []


FAMILY_REFUSALS = [
    ("placeholder_name", "dummy_var", [1],
     "formula encoder: the family name dummy_var is reserved"),
    ("not_identifier", "a b", [1], "formula encoder: family name a b is not an identifier"),
    ("negative_size", "y", [2, -1],
     "formula encoder: dimension sizes of family y must not be negative"),
    ("repeated", "x", [2], "formula encoder: family x is already defined"),
]


@pytest.mark.parametrize("name,sizes,msg", [c[1:] for c in FAMILY_REFUSALS],
                         ids=[c[0] for c in FAMILY_REFUSALS])
def test_refused_families(enc, name, sizes, msg):
    enc.create_variables("x", [3])
    with pytest.raises(EngineError) as err:
        enc.create_variables(name, sizes)
    assert str(err.value) == msg


# Names outside ASCII: the encoder's identifier test gives the host's answer for them, as it
# does for ASCII names from the library's own tables.
NAMES_OUTSIDE_ASCII = [
    ("letters", "\u00e9t\u00e9"),
    ("greek", "\u03bb"),
    ("superscript_digit", "x\u00b2"),
    ("dash", "a\u2013b"),
]


@pytest.mark.parametrize("name", [c[1] for c in NAMES_OUTSIDE_ASCII],
                         ids=[c[0] for c in NAMES_OUTSIDE_ASCII])
def test_family_names_outside_ascii_as_the_host_reads_them(enc, name):
    if name.isidentifier() and not keyword.iskeyword(name):
        enc.create_variables(name, [2])
        enc.add_constraint(f"{name}(1)", "Foralls: {}")
        enc.generate_cnf()
        assert units(enc.get_cnf_storage()) == [[2]]
    else:
        with pytest.raises(EngineError) as err:
            enc.create_variables(name, [2])
        assert str(err.value) == f"formula encoder: family name {name} is not an identifier"


def test_generate_rebuilds_from_scratch(enc):
    enc.create_variables("x", [3, 2])
    enc.add_constraint(str(Sum(_ref("x", "i", "j"), j=range(2)) == 1),
                       "Foralls: {'i': range(0, 3)}")
    enc.generate_cnf()
    first = enc.get_cnf_storage()
    first_clauses = first.hard_clauses()
    enc.generate_cnf()
    again = enc.get_cnf_storage()
    assert again is not first and again.hard_clauses() == first_clauses
    assert again.get_clause_count() == first.get_clause_count() == len(first_clauses)
    enc.add_constraint("x(0,0)", "Foralls: {}")
    enc.generate_cnf()
    grown = enc.get_cnf_storage()
    assert [1] in grown.hard_clauses() and len(grown.hard_clauses()) == len(first_clauses) + 1
    assert first.hard_clauses() == first_clauses  # an earlier result is left as it was


def _ref(family, *indexes):
    from zk_encoder.encode.expressions import VariableProxy
    return VariableProxy(f"{family}({','.join(indexes)})")


def test_replay_receives_the_texts_and_foralls():
    """The same model through both back ends: same clauses, numbers, stamps. The encoder replays
    what it received through the library's own encoding, so this checks the transport (families,
    formula texts, for-all values, weights and flags arrive intact and in order), not the
    encoding, which is the same code on both sides: tests/encode/test_model_encoding.py judges
    that by meaning."""
    def fill(m):
        x = m.create_variables("x", r=3, c=3)
        i, j = m.get_indexes(["i", "j"])
        m.add_constraint(Sum(x[i, j], j=range(3)) == 1, i=range(3))
        m.add_constraint(Sum(x[i, j], i=range(3)) <= 1, j=range(3))
        m.add_soft_constraint(x[i, i], 2, False, i=range(3))
        return m

    own = fill(Model(se.manager(), "m"))
    fe = fill(Model(se.manager(), "m", True))
    assert own.build_wcnf() is True and fe.build_wcnf() is True
    a, b = own.get_cnf_storage(), fe.get_cnf_storage()
    assert b.hard_clauses() == a.hard_clauses() and b.soft_clauses() == a.soft_clauses()
    for stamp in ["get_model_name", "get_variable_count", "get_clause_count", "get_weight_limit"]:
        assert getattr(b, stamp)() == getattr(a, stamp)()
    assert fe.get_var_mapping().get_var_map() == own.get_var_mapping().get_var_map()


def test_target_is_kept_but_not_encoded(enc):
    enc.create_variables("x", [2])
    enc.add_constraint("bx.or_s([x(0).to_bx(), x(1).to_bx()])", "Foralls: {}")
    enc.add_target("x(0).to_pb() + x(1).to_pb()")
    enc.add_target("x(0).to_pb()")
    enc.generate_cnf()
    assert enc.target == "x(0).to_pb()"
    assert enc.get_cnf_storage().hard_clauses() == [[1, 2]]


def _metrics_model():
    mgr = se.manager()
    m = Model(mgr, "metrics, \"quoted\"", True)
    x = m.create_variables("x", r=2, c=3)
    y = m.create_variables("y")
    i, j = m.get_indexes(["i", "j"])
    m.add_constraint(Sum(x[i, j], j=range(3)) <= 1, i=range(2))
    m.add_target(x[0, 0] + y[()])
    m.add_soft_constraint(x[i, 0], 3, False, i=range(2))
    return m


def test_metrics_files(tmp_path):
    m = _metrics_model()
    json_path, csv_path = tmp_path / "m.json", tmp_path / "m.csv"
    assert m.save_metrics_json(str(json_path)) is True
    before = json.loads(json_path.read_text())
    assert before == {"model_name": "metrics, \"quoted\"", "families": 2, "elements": 7,
                      "constraints": 1, "soft_constraints": 1, "targets": 1, "clauses": None,
                      "variables": None, "weight_limit": None}
    assert m.build_wcnf() is True
    storage = m.get_cnf_storage()
    assert m.save_metrics_json(str(json_path)) is True
    assert m.save_metrics_csv(str(csv_path)) is True
    after = json.loads(json_path.read_text())
    assert after["clauses"] == storage.get_clause_count()
    assert after["variables"] == storage.get_variable_count()
    assert after["weight_limit"] == storage.get_weight_limit() == 1 + 3 * 2
    with csv_path.open(newline="") as f:
        rows = list(csv.DictReader(f))
    assert len(rows) == 1
    assert {k: (int(v) if k != "model_name" else v) for k, v in rows[0].items()} == after


def test_metrics_of_unwritable_path(tmp_path):
    m = _metrics_model()
    missing = tmp_path / "no" / "such" / "dir" / "m.json"
    assert m.save_metrics_json(str(missing)) is False
    assert m.save_metrics_csv(str(missing)) is False


@pytest.fixture
def queens4():
    """4-queens rows and columns only: 24 permutation-matrix solutions."""
    m = Model(se.manager(), "q", True)
    x = m.create_variables("x", r=4, c=4)
    i, j = m.get_indexes(["i", "j"])
    m.add_constraint(Sum(x[i, j], j=range(4)) == 1, i=range(4))
    m.add_constraint(Sum(x[i, j], i=range(4)) == 1, j=range(4))
    assert m.build_cnf() is True
    return m


def _solutions(clauses, count):
    with Solver(name="cadical153", bootstrap_with=clauses) as s:
        found = []
        while len(found) < count and s.solve():
            model = s.get_model()
            found.append(model)
            s.add_clause([-lit for lit in model[:16]])
        return found


def test_witness_checks(queens4):
    m = queens4
    first, second = _solutions(m.get_cnf_storage().hard_clauses(), 2)
    assert m.check_another_witness() is False  # nothing set
    m.set_witness(first)
    assert m.check_another_witness() is False
    m.set_another_witness(first)
    assert m.check_another_witness() is False  # the same solution
    m.set_another_witness(second)
    assert m.check_another_witness() is True
    broken = [-lit if abs(lit) == 1 else lit for lit in second]
    m.set_another_witness(broken)
    assert m.check_another_witness() is False  # violates a row or column
    m.set_another_witness(second)
    m.reset()
    assert m.check_another_witness() is False
    assert m.get_cnf_storage() is None and m.get_var_mapping() is None


def test_bad_witness(enc):
    with pytest.raises(TypeError):
        enc.set_witness("1 2 3")
    with pytest.raises(ValueError):
        enc.set_witness([1, 0])
    with pytest.raises(ValueError, match="both values"):
        enc.set_another_witness([1, -2, -1])


def test_replay_errors_name_the_formula(log_sink):
    mgr = se.manager()
    m = Model(mgr, "fm", True)
    x = m.create_variables("x", n=2)
    m.add_constraint(x[1])
    # Refused in the call that gives it, quoting that call.
    with pytest.raises(EngineError) as err:
        m.add_constraint(x[0] & ~x[0])
    msg = str(err.value)
    assert msg.startswith("formula encoder: constraint 2 bx.and_s([x(0).to_bx(), ~(x(0).to_bx())])"
                          " Foralls: {}: FormulaError: Contradiction was detected in formula "
                          "m.add_constraint(x[0] & ~x[0]), line ")
    assert type(err.value.__cause__).__name__ == "FormulaError"
    assert m.get_cnf_storage() is None
    assert m.build_cnf() is True  # nothing of the refused constraint was kept
    assert m.get_cnf_storage().hard_clauses() == [[2]]


def test_replay_logs_only_its_findings(log_sink):
    m = Model(se.manager(), "fm", True)
    x = m.create_variables("x", n=2)
    before = len(log_sink.calls)
    m.add_constraint(x[0] | ~x[0])
    m.add_constraint(x[1])
    assert m.build_cnf() is True
    replay = [str(msg) for msg, _ in log_sink.calls[before:]]
    warnings = [str(msg) for msg in log_sink.at("warning")]
    assert warnings == [w for w in replay if w.startswith("formula encoder fm: ")]
    assert len(warnings) == 1 and "Redundant constraint was detected in formula" in warnings[0]
    assert not any("add new var" in line or "python version" in line for line in replay)
    assert se.log_encoder is log_sink  # the program's sink is back


def test_model_without_formulas(enc):
    enc.create_variables("x", [2])
    enc.generate_cnf()
    storage = enc.get_cnf_storage()
    assert storage.hard_clauses() == [] and storage.get_variable_count() == 2
    assert enc.get_var_mapping().get_var_map() == {"dummy_var[0]": 0, "x[0]": 1, "x[1]": 2}


# --- refused input is refused when it is given, and nothing of it is kept ----------------------


def _encoding(enc):
    enc.generate_cnf()
    s = enc.get_cnf_storage()
    return (s.hard_clauses(), s.soft_clauses(), s.get_variable_count(), s.get_clause_count(),
            enc.get_var_mapping().get_var_map())


def _valid_inputs(enc):
    enc.create_variables("x", [3])
    enc.create_variables("y", [2, 2])
    enc.add_constraint("bx.or_s([x(i).to_bx(), y(i,1).to_bx()])", "Foralls: {'i': range(0, 2)}")
    enc.add_constraint("FormulaPB(Sum(*[x(0).to_pb(), x(1).to_pb(), x(2).to_pb()]), "
                       "pb.Comparator_type.LEQ, 1).to_bx(manager)", "Foralls: {}")


BAD_INPUTS = [
    ("syntax", lambda e: e.add_constraint("(((", "Foralls: {}"), "SyntaxError"),
    ("family_past_the_literal_range", lambda e: e.create_variables("z", [2 ** 31]),
     "VariableError"),
    ("unknown_family", lambda e: e.add_constraint("w(0)", "Foralls: {}"), "NameError"),
    ("element_outside", lambda e: e.add_constraint("x(3)", "Foralls: {}"), "IndexError"),
    ("foralls_outside", lambda e: e.add_constraint("y(i,j)", "Foralls: {'i': [0], 'j': [1, 2]}"),
     "IndexError"),
    ("index_without_foralls", lambda e: e.add_constraint("x(j)", "Foralls: {'i': [0]}"),
     "NameError"),
    ("term_as_constraint", lambda e: e.add_constraint("x(0).to_pb() + x(1).to_pb()",
                                                      "Foralls: {}"), "FormulaError"),
    ("contradiction", lambda e: e.add_constraint("bx.zero()", "Foralls: {}"), "FormulaError"),
    ("soft_weight_past_64_bits", lambda e: e.add_soft_constraint("x(0)", "Foralls: {}", 2 ** 63,
                                                                 False), "ValueError"),
    ("soft_weight_float", lambda e: e.add_soft_constraint("x(0)", "Foralls: {}", 1.5, False),
     "TypeError"),
    ("soft_outside", lambda e: e.add_soft_constraint("x(i)", "Foralls: {'i': range(0, 4)}", 1,
                                                     False), "IndexError"),
]


@pytest.mark.parametrize("bad,cause", [c[1:] for c in BAD_INPUTS], ids=[c[0] for c in BAD_INPUTS])
def test_refused_inputs_leave_nothing_behind(log_sink, bad, cause):
    reference = se.manager().create_formula_encoder("fm")
    _valid_inputs(reference)
    enc = se.manager().create_formula_encoder("fm")
    with pytest.raises(EngineError) as err:
        bad(enc)  # before any family
    enc.create_variables("x", [3])
    enc.create_variables("y", [2, 2])
    with pytest.raises(EngineError) as err:
        bad(enc)  # between families and formulas
    assert str(err.value).startswith("formula encoder: ")
    assert type(err.value.__cause__).__name__ == cause
    enc.add_constraint("bx.or_s([x(i).to_bx(), y(i,1).to_bx()])", "Foralls: {'i': range(0, 2)}")
    with pytest.raises(EngineError):
        bad(enc)  # between formulas
    enc.add_constraint("FormulaPB(Sum(*[x(0).to_pb(), x(1).to_pb(), x(2).to_pb()]), "
                       "pb.Comparator_type.LEQ, 1).to_bx(manager)", "Foralls: {}")
    assert _encoding(enc) == _encoding(reference)
    assert _encoding(enc) == _encoding(reference)  # and again: every build is whole


def test_reset_clears_the_encoder(log_sink):
    enc = se.manager().create_formula_encoder("fm")
    _valid_inputs(enc)
    enc.add_target("x(0).to_pb()")
    enc.generate_cnf()
    enc.reset()
    assert enc.get_cnf_storage() is None and enc.get_var_mapping() is None and enc.target is None
    enc.generate_cnf()
    assert enc.get_cnf_storage().hard_clauses() == []
    assert enc.get_var_mapping().get_var_map() == {"dummy_var[0]": 0}
    _valid_inputs(enc)  # the same families are new again
    reference = se.manager().create_formula_encoder("fm")
    _valid_inputs(reference)
    assert _encoding(enc) == _encoding(reference)


def test_a_family_after_formulas_is_encoded_as_if_it_came_first(log_sink):
    late = se.manager().create_formula_encoder("fm")
    late.create_variables("x", [2])
    late.add_constraint("bx.or_s([x(0).to_bx(), x(1).to_bx()])", "Foralls: {}")
    late.create_variables("y", [2])
    late.add_constraint("bx.and_s([y(i).to_bx() for i in range(0, 2)])", "Foralls: {}")
    early = se.manager().create_formula_encoder("fm")
    early.create_variables("x", [2])
    early.create_variables("y", [2])
    early.add_constraint("bx.or_s([x(0).to_bx(), x(1).to_bx()])", "Foralls: {}")
    early.add_constraint("bx.and_s([y(i).to_bx() for i in range(0, 2)])", "Foralls: {}")
    assert _encoding(late) == _encoding(early)
    with pytest.raises(EngineError, match="^formula encoder: family z: VariableError: "):
        late.create_variables("z", [2 ** 31])
    assert _encoding(late) == _encoding(early)


def test_errors_are_blamed_on_the_constraint_that_has_them(log_sink):
    m = Model(se.manager(), "fm", True)
    x = m.create_variables("x", n=3)
    i = m.get_indexes(["i"])
    m.add_constraint(x[i] | x[i + 1], i=range(2))
    with pytest.raises(EngineError) as err:
        m.add_constraint(x[i + 1], i=range(3))
    assert str(err.value).startswith("formula encoder: constraint 2 x(i + 1) "
                                     "Foralls: {'i': range(0, 3)}: IndexError: Index i + 1 of "
                                     "x(i + 1) takes the value 3 (at i = 2)")
    m.add_constraint(x[0])
    assert m.build_cnf() is True
    assert sorted(m.get_cnf_storage().hard_clauses()) == [[1], [1, 2], [2, 3]]


def test_a_hard_constraint_after_soft_ones_is_encoded_before_them(log_sink):
    enc = se.manager().create_formula_encoder("fm")
    enc.create_variables("x", [2])
    enc.add_soft_constraint("x(0)", "Foralls: {}", 2, False)
    enc.add_constraint("x(1)", "Foralls: {}")
    enc.generate_cnf()
    assert enc.get_cnf_storage().hard_clauses() == [[2]]
    assert enc.get_cnf_storage().soft_clauses() == [([1], 2)]


def test_dependency_on_the_library_is_declared():
    """The formula encoder replays models through zk_encoder: the distribution says so, as the
    extra "formula-encoder" (the rest of the engine needs no zk_encoder)."""
    import importlib.metadata

    requires = importlib.metadata.requires("nubrix-sorn-engine") or []
    assert [r for r in requires if r.startswith("zk_encoder")
            and 'extra == "formula-encoder"' in r]
