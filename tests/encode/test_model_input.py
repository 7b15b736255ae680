"""Bad input to the pseudo-Boolean model fails in the call that gives it, with a clear message, and
leaves the model as it was: a model that saw refused calls builds the same clauses as one that
never saw them, in both back ends. numpy integers are numbers like Python's, names that would hide
the formula namespace are refused, preliminary values stay with their model."""

import itertools

import numpy as np
import pytest
from pysat.solvers import Solver

import nubrix.sorn_engine as se
from zk_encoder import And, Implication, Model, Or, Sum, SumIt, Xor, pow_expression
from zk_encoder._exceptions import FormulaError, TargetError, VariableError
from zk_encoder.encode.expressions import Expression

EngineError = se.EngineError

BACK_ENDS = pytest.mark.parametrize("use_fe", [False, True], ids=["own", "formula_encoder"])


def kind(error):
    """The error a program meets: the library's own, or the one the engine's encoder names."""
    if isinstance(error, EngineError) and error.__cause__ is not None:
        return type(error.__cause__)
    return type(error)


def fill(m, bad=None):
    """One model, with `bad(m, x, y, i, j)` tried before, between and after its formulas."""
    x = m.create_variables("x", i=4)
    y = m.create_variables("y", i=2, j=3)
    i, j = m.get_indexes(["i", "j"])
    errors = []

    def attempt():
        if bad is not None:
            with pytest.raises(Exception) as err:
                bad(m, x, y, i, j)
            errors.append(err.value)

    attempt()
    z = m.create_variables("z", k=2)  # a refused formula does not close the model to families
    m.add_constraint(Sum(x[i], i=range(4)) <= 2)
    m.add_constraint(y[i, j] | z[j - 1], i=range(2), j=range(1, 3))
    attempt()
    m.add_constraint(Implication(x[i], y[0, i]), i=range(3))
    attempt()
    m.add_soft_constraint(x[i] + 2 * z[0], 3, False, i=range(2))
    m.add_soft_constraint(SumIt([x[3], y[1, 2]]), 5, True)
    return errors


def built(m):
    assert m.build_wcnf() is True
    s = m.get_cnf_storage()
    stamps = [s.get_model_name(), s.get_variable_count(), s.get_clause_count(),
              s.get_weight_limit()]
    return s.hard_clauses(), s.soft_clauses(), stamps, m.get_var_mapping().get_var_map()


# (id, bad call, what the program meets in the own encoding, the same through the engine's
# formula encoder when it differs)
BAD_CALLS = [
    ("float_index", lambda m, x, y, i, j: m.add_constraint(x[1.5]), TypeError, ()),
    ("index_past_the_end", lambda m, x, y, i, j: m.add_constraint(x[4]), IndexError, ()),
    ("negative_index", lambda m, x, y, i, j: m.add_constraint(x[-1] | x[0]), IndexError, ()),
    ("none_index", lambda m, x, y, i, j: m.add_constraint(x[None]), TypeError, ()),
    ("too_many_positions", lambda m, x, y, i, j: m.add_constraint(y[1, 2, 0]), IndexError, ()),
    ("too_few_positions", lambda m, x, y, i, j: m.add_constraint(y[1] & x[0]), IndexError, ()),
    ("element_in_a_sum", lambda m, x, y, i, j: m.add_constraint(SumIt([x[0], x[7]]) >= 1),
     IndexError, ()),
    # The engine's encoder receives no index symbols, only for-all keywords: a name it has not
    # seen as one yet is unknown there.
    ("index_without_foralls", lambda m, x, y, i, j: m.add_constraint(x[i] | x[0]), FormulaError,
     (NameError, FormulaError)),
    ("index_of_another_formula", lambda m, x, y, i, j: m.add_constraint(x[i] | y[0, j],
                                                                        i=range(2)),
     FormulaError, (NameError, FormulaError)),
    ("foralls_not_integers", lambda m, x, y, i, j: m.add_constraint(x[i], i=[0, 0.5]), TypeError,
     ()),
    ("foralls_reach_outside", lambda m, x, y, i, j: m.add_constraint(x[i], i=range(5)),
     IndexError, ()),
    ("foralls_shifted_outside", lambda m, x, y, i, j: m.add_constraint(x[i + 1], i=range(4)),
     IndexError, ()),
    ("foralls_below_zero", lambda m, x, y, i, j: m.add_constraint(y[i, j - 1], i=[0],
                                                                  j=range(3)),
     IndexError, ()),
    ("foralls_of_a_sum", lambda m, x, y, i, j: m.add_constraint(Sum(y[i, j], j=range(3)) >= 1,
                                                                i=[1, 2]),
     IndexError, ()),
    ("foralls_far_outside", lambda m, x, y, i, j: m.add_constraint(x[i], i=range(2 ** 62)),
     IndexError, ()),
    ("foralls_past_64_bits", lambda m, x, y, i, j: m.add_constraint(x[i], i=range(2 ** 63)),
     ValueError, ()),
    ("foralls_set", lambda m, x, y, i, j: m.add_constraint(x[i], i={0, 1}), TypeError, ()),
    ("foralls_text", lambda m, x, y, i, j: m.add_constraint(x[i], i="range(2)"), TypeError,
     ()),
    ("foralls_generator", lambda m, x, y, i, j: m.add_constraint(x[i], i=(k for k in range(2))),
     TypeError, ()),
    ("foralls_nested", lambda m, x, y, i, j: m.add_constraint(x[i], i=np.array([[0, 1]])),
     TypeError, ()),
    ("foralls_keyword_is_a_family", lambda m, x, y, i, j: m.add_constraint(x[0], x=range(2)),
     VariableError, ()),
    ("foralls_keyword_hides_range", lambda m, x, y, i, j: m.add_constraint(x[0], range=[0]),
     VariableError, ()),
    # Item 7 of the sums: a comprehension over a range far past the family stops at once.
    ("sum_over_a_huge_range", lambda m, x, y, i, j: m.add_constraint(
        Sum(x[i], i=range(2 ** 63)) <= 1), IndexError, ()),
    ("syntax", lambda m, x, y, i, j: m.add_constraint(Expression("(((", False)), SyntaxError,
     ()),
    ("soft_weight_past_64_bits", lambda m, x, y, i, j: m.add_soft_constraint(x[0], 2 ** 63),
     ValueError, ()),
    ("soft_weights_together_past_64_bits",
     lambda m, x, y, i, j: m.add_soft_constraint(x[0] + x[1], 2 ** 62), ValueError, ()),
    ("soft_weight_float", lambda m, x, y, i, j: m.add_soft_constraint(x[0], 2.5), TypeError,
     ()),
    ("soft_element_outside", lambda m, x, y, i, j: m.add_soft_constraint(x[i], i=range(5)),
     IndexError, ()),
]


@BACK_ENDS
@pytest.mark.parametrize("bad,exc,fe_exc", [c[1:] for c in BAD_CALLS],
                         ids=[c[0] for c in BAD_CALLS])
def test_refusals_leave_the_model_as_it_was(log_sink, use_fe, bad, exc, fe_exc):
    reference = Model(se.manager(), "m", use_fe)
    assert fill(reference) == []
    model = Model(se.manager(), "m", use_fe)
    errors = fill(model, bad)
    expected = fe_exc if use_fe and fe_exc else (exc,)
    assert len(errors) == 3 and all(kind(e) in expected for e in errors)
    assert all(str(e) for e in errors)
    assert built(model) == built(reference)


REFUSAL_MESSAGES = [
    ("float", lambda x, y, i: x[1.5], {},
     "Index 1.5 of x(1.5) is neither an integer nor an index symbol"),
    ("past_the_end", lambda x, y, i: x[4], {},
     "Index value 4 of x(4) is outside the family: dimension 0 has the values 0 .. 3"),
    ("positions", lambda x, y, i: y[1], {}, "Variable y has 2 dimension(s), but y(1) names 1"),
    ("no_foralls", lambda x, y, i: x[i] | x[0], {},
     "Index i of x(i) has no for-all values in this formula"),
    ("foralls_outside", lambda x, y, i: x[i + 1], {"i": range(4)},
     "Index i + 1 of x(i + 1) takes the value 4 (at i = 3), outside the family: dimension 0 has "
     "the values 0 .. 3"),
    ("foralls_below", lambda x, y, i: y[1, -1 * i + 2], {"i": [0, 3]},
     "Index -1 * i + 2 of y(1,-1 * i + 2) takes the value -1 (at i = 3), outside the family: "
     "dimension 1 has the values 0 .. 2"),
    ("foralls_float", lambda x, y, i: x[i], {"i": [0, 1.5]},
     "For-all value 1.5 of i is not an integer"),
    ("foralls_set", lambda x, y, i: x[i], {"i": {0}},
     "For-all values of i must be a range or a sequence of integers, not set"),
    ("foralls_keyword", lambda x, y, i: x[0], {"x": [0]},
     "For-all index named x is the name of a variable family"),
]


@pytest.mark.parametrize("formula,foralls,msg", [c[1:] for c in REFUSAL_MESSAGES],
                         ids=[c[0] for c in REFUSAL_MESSAGES])
def test_refusal_messages(own_model, formula, foralls, msg):
    m, x, y, i = own_model
    with pytest.raises(Exception) as err:
        m.add_constraint(formula(x, y, i), **foralls)
    assert str(err.value) == msg


@pytest.fixture
def own_model():
    m = Model(se.manager(), "m")
    x = m.create_variables("x", i=4)
    y = m.create_variables("y", i=2, j=3)
    return m, x, y, m.get_indexes(["i"])


@pytest.mark.parametrize("formula,foralls", [(lambda x, i: x[i], {"i": range(5)}),
                                             (lambda x, i: x[4], {}),
                                             (lambda x, i: Sum(x[i], i=range(2 ** 63)) <= 1, {})],
                         ids=["foralls", "element", "sum"])
def test_bad_input_is_logged_once(log_sink, own_model, formula, foralls):
    m, x, y, i = own_model
    with pytest.raises(IndexError) as err:
        m.add_constraint(formula(x, i), **foralls)
    assert [str(s) for s in log_sink.at("error")] == [str(err.value)]


def test_refused_target_leaves_the_model_undecided(own_model):
    m, x, y, i = own_model
    with pytest.raises(IndexError):
        m.add_target(x[0] + x[4])
    assert m.use_target is False and m._is_wcnf is None and m._formula_container is None
    m.create_variables("z", k=1)  # still open to families
    m.add_constraint(x[0] | x[1])
    m.add_target(x[0] + 2 * x[1])
    assert m.build_cnf(1, True) is True


def test_refused_soft_constraint_keeps_the_mode(own_model):
    m, x, y, i = own_model
    with pytest.raises(ValueError):
        m.add_soft_constraint(x[0], 2 ** 63)
    assert m._is_wcnf is None
    m.add_constraint(x[0] | x[1])  # hard constraints are still accepted


def test_index_arithmetic_within_the_family_is_accepted(own_model):
    m, x, y, i = own_model
    j = m.get_indexes(["j"])
    m.add_constraint(y[i, j] | y[-1 * i + 1, -1 * j + 2] | x[2 * j + i], i=range(2), j=range(2))
    m.add_constraint(y[1, i + j], i=[0, 1], j=(1,))
    assert m.build_cnf() is True


# --- for-all values: both back ends accept and refuse the same, and agree -----------------------

ACCEPTED_FORALLS = [
    ("range", range(3), [0, 1, 2]),
    ("range_step", range(3, -1, -2), [3, 1]),
    ("list", [0, 2], [0, 2]),
    ("tuple", (1, 3), [1, 3]),
    ("tuple_of_one", (2,), [2]),
    ("empty", [], []),
    ("bools", [True, False], [1, 0]),
    ("numpy_arange", np.arange(3), [0, 1, 2]),
    ("numpy_integers", [np.int64(1), np.int32(3)], [1, 3]),
    ("numpy_unsigned", np.array([2, 0], dtype=np.uint8), [2, 0]),
    ("numpy_empty", np.array([], dtype=np.int64), []),
]


def _forall_model(use_fe, values):
    m = Model(se.manager(), "m", use_fe)
    x = m.create_variables("x", i=4)
    y = m.create_variables("y", i=4)
    i = m.get_indexes(["i"])
    m.add_constraint(x[i] | y[-1 * i + 3], i=values)
    m.add_constraint(SumIt([x[0], x[1], x[2], x[3]]) <= 2)
    return m


@BACK_ENDS
@pytest.mark.parametrize("values,plain", [c[1:] for c in ACCEPTED_FORALLS],
                         ids=[c[0] for c in ACCEPTED_FORALLS])
def test_accepted_forall_values(log_sink, use_fe, values, plain):
    m, reference = _forall_model(use_fe, values), _forall_model(False, plain)
    assert m.build_cnf() is True and reference.build_cnf() is True
    assert m.get_cnf_storage().hard_clauses() == reference.get_cnf_storage().hard_clauses()
    assert m.get_var_mapping().get_var_map() == reference.get_var_mapping().get_var_map()
    debug = [str(s) for s in log_sink.at("debug") if str(s).startswith("     constraint : ")]
    assert "np." not in debug[0] and "array" not in debug[0]  # texts carry plain integers


REFUSED_FORALLS = [
    ("set", {0, 1}, TypeError),
    ("dict", {0: 1}, TypeError),
    ("text", "01", TypeError),
    ("integer", 3, TypeError),
    ("none", None, TypeError),
    ("floats", [0.0, 1.0], TypeError),
    ("numpy_floats", np.array([0.0]), TypeError),
    ("nested", [[0]], TypeError),
    ("past_64_bits", [2 ** 64], ValueError),
    ("range_past_64_bits", range(2 ** 64, 2 ** 64 + 1), ValueError),
    ("outside", [0, 4], IndexError),
    ("negative", [-1], IndexError),
]


@BACK_ENDS
@pytest.mark.parametrize("values,exc", [c[1:] for c in REFUSED_FORALLS],
                         ids=[c[0] for c in REFUSED_FORALLS])
def test_refused_forall_values(log_sink, use_fe, values, exc):
    with pytest.raises(Exception) as err:
        _forall_model(use_fe, values)
    assert kind(err.value) is exc


# --- numpy integers are numbers ---------------------------------------------------------------


@BACK_ENDS
def test_numpy_integers_everywhere_mean_what_python_integers_mean(log_sink, use_fe):
    """Sizes, for-all values, bounds, weights and a keyword range of numpy integers: the same
    clauses as with Python's integers, and those clauses mean the constraints (SAT solver
    against brute force)."""

    def make(n):
        m = Model(se.manager(), "m", use_fe)
        x = m.create_variables("x", r=n(2), c=n(3))
        i, j = m.get_indexes(["i", "j"])
        m.add_constraint(Sum(x[i, j], j=np.arange(3) if n is np.int64 else range(3)) <= n(2),
                         i=np.arange(2) if n is np.int64 else range(2))
        m.add_constraint(x[0, j] + x[1, j] >= n(1), j=[n(0), n(2)])
        m.add_soft_constraint(x[i, 1], n(4), False, i=[n(0), n(1)])
        return m

    ours, plain = make(np.int64), make(int)
    assert ours.build_wcnf() is True and plain.build_wcnf() is True
    a, b = ours.get_cnf_storage(), plain.get_cnf_storage()
    assert a.hard_clauses() == b.hard_clauses() and a.soft_clauses() == b.soft_clauses()
    assert a.get_weight_limit() == b.get_weight_limit() == 1 + 4 * 2
    nums = ours.get_var_mapping().get_var_map()
    keys = [f"x[{r},{c}]" for r in range(2) for c in range(3)]
    with Solver(name="cadical153", bootstrap_with=a.hard_clauses()) as s:
        for bits in itertools.product([0, 1], repeat=6):
            v = dict(zip(keys, bits))
            rows_ok = all(sum(v[f"x[{r},{c}]"] for c in range(3)) <= 2 for r in range(2))
            cols_ok = all(v[f"x[0,{c}]"] + v[f"x[1,{c}]"] >= 1 for c in (0, 2))
            lits = [nums[k] if v[k] else -nums[k] for k in keys]
            assert s.solve(assumptions=lits) == (rows_ok and cols_ok), v


def test_numpy_sizes_become_plain_integers(log_sink):
    m = Model(se.manager(), "m")
    x = m.create_variables("x", i=np.int64(3), j=np.uint16(2))
    assert x.indexes == {"i": 3, "j": 2} and all(type(v) is int for v in x.indexes.values())
    assert "    add new var : x{'i': 3, 'j': 2} = [6]" in [str(s) for s in log_sink.at("info")]
    for size in [np.float64(3.0), np.bool_(True), True, False, np.array([2, 3])]:
        with pytest.raises(ValueError, match="^Dimension sizes must be non-negative integers$"):
            m.create_variables("y", i=size)


def test_numpy_border_and_weight_through_the_formula_encoder(log_sink):
    m = Model(se.manager(), "fm", True)
    x = m.create_variables("x", i=3)
    m.add_soft_constraint(x[0] + x[1], np.int64(2), np.bool_(False))
    assert m.build_wcnf() is True
    assert m.get_cnf_storage().get_weight_limit() == 1 + 2 + 2


# --- keyword values of Sum, And, Or, Xor: read as for-all values are -------------------------------

# Ways of giving the values 0 and 1.
ZERO_ONE = [
    ("bools", [False, True]),
    ("bools_tuple", (False, True)),
    ("bool_and_int", [0, True]),
    ("numpy_arange", np.arange(2)),
    ("numpy_integers", [np.int64(0), np.uint8(1)]),
    ("numpy_bools", [np.bool_(False), np.bool_(True)]),
    ("numpy_bool_array", np.array([False, True])),
]


def _bits(v):
    return {(r, c): v[f"w[{r},{c}]"] for r in range(2) for c in range(2)}


# (id, hard constraints of a model over the family w of 2 x 2 elements and the index symbols p and
#  q, the values V standing for 0 and 1; what the constraints mean)
KEYWORD_HARD = [
    ("sum", lambda m, w, p, q, V: m.add_constraint(Sum(w[0, p], p=V) >= 1),
     lambda b: b[0, 0] or b[0, 1]),
    ("and", lambda m, w, p, q, V: m.add_constraint(And(w[p, 1], p=V)),
     lambda b: b[0, 1] and b[1, 1]),
    ("or", lambda m, w, p, q, V: m.add_constraint(Or(w[1, p], p=V)),
     lambda b: b[1, 0] or b[1, 1]),
    ("xor", lambda m, w, p, q, V: m.add_constraint(Xor(w[p, p], p=V)),
     lambda b: b[0, 0] != b[1, 1]),
    ("sum_of_two_keywords", lambda m, w, p, q, V: m.add_constraint(Sum(w[p, q], p=V, q=V) == 1),
     lambda b: sum(b.values()) == 1),
    ("sum_under_a_forall", lambda m, w, p, q, V: m.add_constraint(Sum(w[q, p], p=V) <= 1, q=V),
     lambda b: b[0, 0] + b[0, 1] <= 1 and b[1, 0] + b[1, 1] <= 1),
    ("negated_and_in_an_or", lambda m, w, p, q, V: m.add_constraint(
        ~And(w[0, p], p=V) | Or(w[1, p] & w[0, p], p=V)),
     lambda b: not (b[0, 0] and b[0, 1]) or (b[1, 0] and b[0, 0]) or (b[1, 1] and b[0, 1])),
]


def _keyword_model(use_fe):
    m = Model(se.manager(), "m", use_fe)
    w = m.create_variables("w", r=2, c=2)
    p, q = m.get_indexes(["p", "q"])
    return m, w, p, q


def _disagreements(m, holds):
    """Assignments of w on which the built CNF and the brute force disagree."""
    nums = m.get_var_mapping().get_var_map()
    keys = [f"w[{r},{c}]" for r in range(2) for c in range(2)]
    bad = []
    with Solver(name="cadical153", bootstrap_with=m.get_cnf_storage().hard_clauses()) as s:
        for bits in itertools.product([False, True], repeat=4):
            v = dict(zip(keys, bits))
            lits = [nums[k] if v[k] else -nums[k] for k in keys]
            if s.solve(assumptions=lits) != bool(holds(_bits(v))):
                bad.append(v)
    return bad


@BACK_ENDS
@pytest.mark.parametrize("values", [z[1] for z in ZERO_ONE], ids=[z[0] for z in ZERO_ONE])
@pytest.mark.parametrize("fill,holds", [k[1:] for k in KEYWORD_HARD], ids=[k[0] for k in KEYWORD_HARD])
def test_keyword_values_in_hard_constraints_mean_zero_and_one(log_sink, use_fe, values, fill,
                                                              holds):
    m, w, p, q = _keyword_model(use_fe)
    fill(m, w, p, q, values)
    assert m.build_cnf() is True
    assert _disagreements(m, holds) == []


@BACK_ENDS
@pytest.mark.parametrize("values", [z[1] for z in ZERO_ONE], ids=[z[0] for z in ZERO_ONE])
@pytest.mark.parametrize("minimization", [False, True], ids=["maximise", "minimise"])
def test_keyword_values_in_soft_constraints_mean_zero_and_one(log_sink, use_fe, values,
                                                              minimization):
    m, w, p, q = _keyword_model(use_fe)
    m.add_soft_constraint(Sum(w[p, 0], p=values), 2, minimization)
    m.add_soft_constraint(Sum(pow_expression(3, p) * w[q, p], p=values), 1, minimization, q=[1])
    assert m.build_wcnf() is True
    nums = m.get_var_mapping().get_var_map()
    sign = -1 if minimization else 1
    expected = [([sign * nums["w[0,0]"]], 2), ([sign * nums["w[1,0]"]], 2),
                ([sign * nums["w[1,0]"]], 1), ([sign * nums["w[1,1]"]], 3)]
    assert sorted(m.get_cnf_storage().soft_clauses()) == sorted(expected)


@pytest.mark.parametrize("values", [z[1] for z in ZERO_ONE], ids=[z[0] for z in ZERO_ONE])
@pytest.mark.parametrize("border,minimization,holds", [
    (2, False, lambda b: b[0, 0] and b[0, 1]),
    (0, True, lambda b: not b[0, 0] and not b[0, 1]),
], ids=["at_least", "at_most"])
def test_keyword_values_in_a_target_mean_zero_and_one(log_sink, values, border, minimization,
                                                      holds):
    m, w, p, q = _keyword_model(False)
    m.add_target(Sum(w[0, p], p=values))
    assert m.build_cnf(border, minimization) is True
    assert _disagreements(m, holds) == []


@pytest.mark.parametrize("values", [z[1] for z in ZERO_ONE], ids=[z[0] for z in ZERO_ONE])
def test_keyword_values_reach_the_formula_encoder_as_plain_integers(log_sink, values):
    # The engine's formula encoder keeps a target without encoding it; it takes the text.
    m, w, p, q = _keyword_model(True)
    m.add_target(Sum(w[0, p], p=values))
    m.add_constraint(Or(w[p, 0], p=values))
    assert m.build_cnf() is True
    plain = "(0, 1)" if type(values) is tuple else "[0, 1]"
    assert m._formula_encoder.target == f"Sum(*[w(0,p).to_pb() for p in {plain}])"
    assert _disagreements(m, lambda b: b[0, 0] or b[1, 0]) == []


# --- names that would hide the formula namespace ----------------------------------------------

SHADOWING = ["bx", "pb", "Sum", "FormulaPB", "manager", "range"]


@BACK_ENDS
@pytest.mark.parametrize("name", SHADOWING)
def test_family_names_that_hide_the_namespace_are_refused(log_sink, use_fe, name):
    m = Model(se.manager(), "m", use_fe)
    msg = f"Variable named {name} would hide a name that formula texts use"
    with pytest.raises(VariableError) as err:
        m.create_variables(name, i=2)
    assert err.value.args == (msg,) and [str(s) for s in log_sink.at("error")] == [msg]
    assert m._shift_target_variable == (0 if use_fe else 1)


@BACK_ENDS
@pytest.mark.parametrize("name", SHADOWING + ["__builtins__"])
def test_index_names_that_hide_the_namespace_are_refused(log_sink, use_fe, name):
    m = Model(se.manager(), "m", use_fe)
    msg = f"Index named {name} would hide a name that formula texts use"
    with pytest.raises(VariableError) as err:
        m.get_indexes(["i", name])
    assert err.value.args == (msg,)
    assert list(m._indexes) == ["i"]


@BACK_ENDS
def test_the_placeholder_name_is_no_index(log_sink, use_fe):
    m = Model(se.manager(), "m", use_fe)
    with pytest.raises(VariableError, match="^Index named dummy_var is already in use$"):
        m.get_indexes(["dummy_var"])


@BACK_ENDS
def test_a_family_and_an_index_may_not_share_a_name(log_sink, use_fe):
    m = Model(se.manager(), "m", use_fe)
    m.create_variables("x", i=2)
    with pytest.raises(VariableError, match="^Index named x is already in use$"):
        m.get_indexes(["x"])
    m.get_indexes(["k"])
    with pytest.raises(VariableError, match="^Variable named k is already in use as an index"):
        m.create_variables("k", i=2)
    # Nothing of either refusal stays: formulas over the names that were accepted still work.
    x, k = m.create_variables("y", i=2), m._indexes["k"]
    m.add_constraint(x[k], k=range(2))
    assert m.build_cnf() is True


@BACK_ENDS
@pytest.mark.parametrize("keyword", SHADOWING + ["__builtins__", "x"])
def test_forall_keywords_that_hide_a_name_are_refused(log_sink, use_fe, keyword):
    m = Model(se.manager(), "m", use_fe)
    x = m.create_variables("x", i=2)
    with pytest.raises(VariableError, match=f"^For-all index named {keyword} "):
        m.add_constraint(x[0], **{keyword: range(1)})
    m.add_constraint(x[1])
    assert m.build_cnf() is True


def test_a_refused_formula_does_not_block_later_families():
    m = Model(se.manager(), "m")
    x = m.create_variables("x", i=2)
    with pytest.raises(IndexError):
        m.add_constraint(x[2])
    with pytest.raises(TargetError):
        m.add_target(x[0] >= 1)  # the container exists from here on, as a target asks
    with pytest.raises(VariableError, match="cannot be created after the first constraint"):
        m.create_variables("y", i=1)


@pytest.mark.parametrize("border,minimization", [(np.int64(1), np.bool_(True)),
                                                 (np.uint8(2), np.False_)],
                         ids=["at_most", "at_least"])
def test_numpy_target_border(log_sink, border, minimization):
    def make():
        m = Model(se.manager(), "m")
        x = m.create_variables("x", i=3)
        m.add_constraint(x[0] | x[1])
        m.add_target(x[0] + 2 * x[1] + x[2])
        return m

    ours, plain = make(), make()
    assert ours.build_cnf(border, minimization) is True
    assert plain.build_cnf(int(border), bool(minimization)) is True
    assert ours.get_cnf_storage().hard_clauses() == plain.get_cnf_storage().hard_clauses()
