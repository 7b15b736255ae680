import abc
import subprocess
import sys
import textwrap
import types

import numpy as np
import pytest

from zk_encoder.core import pboperations
from zk_encoder.core.pboperations import AddOp, PBBaseOp, PBVariable, Sum


@pytest.fixture
def fake_pb(monkeypatch):
    """Weighted literals as plain tuples, so flattening can be compared item by item."""
    monkeypatch.setattr(
        pboperations, "pb", types.SimpleNamespace(WeightedLit=lambda v, c: ("WL", v, c))
    )


a = PBVariable(1, "a")
b = PBVariable(2, "b")
c = PBVariable(3, "c")


# --- the abstract base ---------------------------------------------------------------------------


def test_base_is_abstract_with_the_hosts_error():
    assert type(PBBaseOp) is abc.ABCMeta
    assert issubclass(PBBaseOp, abc.ABC)
    assert PBBaseOp.__abstractmethods__ == {"__neg__", "__rmul__", "to_pb", "to_maxsat"}
    with pytest.raises(TypeError) as err:
        PBBaseOp()
    assert str(err.value) == (
        "Can't instantiate abstract class PBBaseOp with abstract methods "
        "__neg__, __rmul__, to_maxsat, to_pb"
    )
    for cls in (PBVariable, AddOp, Sum):
        assert cls.__bases__ == (PBBaseOp,)
        assert not cls.__abstractmethods__


def test_a_subclass_that_leaves_a_method_abstract_cannot_be_made():
    class Partial(PBBaseOp):
        def __neg__(self):
            return self

    with pytest.raises(TypeError, match="Can't instantiate abstract class Partial"):
        Partial()


# --- construction and text form ------------------------------------------------------------------


def test_constructors_store_their_arguments_unchanged():
    leaf = PBVariable(7, "x(1,2)")
    assert (leaf.pb_var, leaf.name, leaf.coefficient) == (7, "x(1,2)", 1)
    assert PBVariable(7, "x", coefficient=4).coefficient == 4
    node = AddOp(a, 3)
    assert node.first_variable is a and node.second_variable == 3
    s = Sum(a, b)
    assert type(s.variables) is tuple and s.variables[0] is a and s.variables[1] is b
    assert Sum().variables == ()


def test_sum_takes_positional_operands_only():
    with pytest.raises(TypeError, match="unexpected keyword argument 'variables'"):
        Sum(variables=(a,))


TEXTS = [
    (PBVariable(7, "x(1,2)", -3), "Var(coeff: -3; pb num: 7; bx var: x(1,2))"),
    (
        AddOp(a, b),
        "AddOp(Var(coeff: 1; pb num: 1; bx var: a), Var(coeff: 1; pb num: 2; bx var: b))",
    ),
    (Sum(), "Sum()"),
    (
        Sum(a, Sum(b), 5),
        "Sum(Var(coeff: 1; pb num: 1; bx var: a), Sum(Var(coeff: 1; pb num: 2; bx var: b)), 5)",
    ),
]


@pytest.mark.parametrize("node,text", TEXTS, ids=["leaf", "addop", "empty-sum", "nested"])
def test_text_form(node, text):
    assert repr(node) == text
    assert str(node) == text


# --- flattening, negation, scaling ---------------------------------------------------------------

FLATTENING = [
    ("v+v", lambda: a + a, [(1, 1), (1, 1)]),
    ("a-b", lambda: a - b, [(1, 1), (2, -1)]),
    ("-(a-b)", lambda: -(a - b), [(1, -1), (2, 1)]),
    ("3*(a-b)", lambda: 3 * (a - b), [(1, 3), (2, -3)]),
    ("2*(a+b)", lambda: 2 * (a + b), [(1, 2), (2, 2)]),
    ("0*v", lambda: 0 * a, [(1, 0)]),
    ("-sum", lambda: -Sum(a, b, c), [(1, -1), (2, -1), (3, -1)]),
    ("3*sum", lambda: 3 * Sum(a, b), [(1, 3), (2, 3)]),
    ("nested-sum", lambda: Sum(a, Sum(b, c)), [(1, 1), (2, 1), (3, 1)]),
    ("sum-of-chain", lambda: Sum(c, a - b + c), [(3, 1), (1, 1), (2, -1), (3, 1)]),
    ("scaled-twice", lambda: 2 * (3 * (a - 2 * b)), [(1, 6), (2, -12)]),
    ("empty-sum", lambda: Sum(), []),
    ("scaled-empty", lambda: 3 * -Sum(), []),
]


@pytest.mark.parametrize("build,pairs", [f[1:] for f in FLATTENING], ids=[f[0] for f in FLATTENING])
def test_flattening_keeps_term_order_and_merges_nothing(fake_pb, build, pairs):
    term = build()
    assert term.to_maxsat() == pairs
    assert term.to_pb() == [("WL", v, k) for v, k in pairs]
    assert term.to_maxsat() is not term.to_maxsat()  # a new list for every caller


def test_negation_and_scaling_keep_the_shape_and_the_operands():
    term = -(a - b)
    assert type(term) is AddOp
    assert type(term.first_variable) is PBVariable and type(term.second_variable) is PBVariable
    assert (term.first_variable.pb_var, term.first_variable.name) == (1, "a")
    s = -Sum(a, b, c)
    assert type(s) is Sum and len(s.variables) == 3
    assert [v.name for v in s.variables] == ["a", "b", "c"]
    scaled = 3 * Sum(a, AddOp(b, c))
    assert type(scaled.variables[1]) is AddOp
    assert scaled.variables[1].second_variable.coefficient == 3
    # Nothing changes a node once made.
    assert (a.coefficient, b.coefficient, c.coefficient) == (1, 1, 1)
    assert (-a) is not a and (1 * a) is not a


def test_numbers_in_a_term_are_negated_and_scaled_plainly():
    assert (a - 3).second_variable == -3
    assert (2 * (a + 3)).second_variable == 6
    assert (-Sum(a, 4)).variables[1] == -4


def test_the_multiplier_is_taken_as_it_comes():
    assert (2.5 * a).coefficient == 2.5
    # None reaches the coefficient too, and fails there with the host's own error
    with pytest.raises(TypeError) as ours:
        None * a
    with pytest.raises(TypeError) as host:
        None * a.coefficient
    assert str(ours.value) == str(host.value)


SIGNATURES = [
    ("PBBaseOp.__add__", PBBaseOp.__add__, "__add__(self, other)"),
    ("PBBaseOp.__sub__", PBBaseOp.__sub__, "__sub__(self, other)"),
    ("PBVariable.__init__", PBVariable.__init__, "__init__(self, pb_var, name, coefficient=1)"),
    ("AddOp.__init__", AddOp.__init__, "__init__(self, first_variable, second_variable)"),
    ("Sum.__init__", Sum.__init__, "__init__(self, *variables)"),
] + [(f"{cls.__name__}.{name}", getattr(cls, name),
      f"{name}({'self, other' if name == '__rmul__' else 'self'})")
     for cls in (PBVariable, AddOp, Sum)
     for name in ("__neg__", "__rmul__", "__repr__", "to_pb", "to_maxsat")]


@pytest.mark.parametrize("fn,text", [c[1:] for c in SIGNATURES], ids=[c[0] for c in SIGNATURES])
def test_no_parameter_or_result_is_annotated(fn, text):
    assert fn.__doc__ == text


class Custom(PBBaseOp):
    """A term node from outside the module: walks must use its own methods."""

    def __init__(self, k=1):
        self.k = k

    def __neg__(self):
        return Custom(-self.k)

    def __rmul__(self, other):
        return Custom(other * self.k)

    def __repr__(self):
        return f"Custom({self.k})"

    def to_pb(self):
        return [("custom", self.k)]

    def to_maxsat(self):
        return [(99, self.k), (98, self.k)]


def test_foreign_nodes_take_part_through_their_own_methods(fake_pb):
    term = Sum(a, Custom(2)) - Custom(5)
    assert term.to_maxsat() == [(1, 1), (99, 2), (98, 2), (99, -5), (98, -5)]
    assert term.to_pb() == [("WL", 1, 1), ("custom", 2), ("custom", -5)]
    assert (3 * term).to_maxsat()[1:3] == [(99, 6), (98, 6)]
    assert repr(AddOp(a, Custom(4))).endswith(", Custom(4))")


# --- what the nodes refuse -----------------------------------------------------------------------

REFUSED = [
    ("number-plus-node", lambda: 3 + a),
    ("number-minus-node", lambda: 3 - a),
    ("builtin-sum", lambda: sum([a, b])),
    ("product-of-leaves", lambda: a * b),
    ("product-of-terms", lambda: (a + b) * (a + c)),
    ("leaf-times-term", lambda: a * (b + c)),
    ("ordering", lambda: a <= 3),
]


@pytest.mark.parametrize("build", [r[1] for r in REFUSED], ids=[r[0] for r in REFUSED])
def test_refused_operations_raise_type_error(build):
    with pytest.raises(TypeError):
        build()


# A formula text may put an integer-valued factor right of a term: (a + b) * (2 ** k).
def test_a_term_times_an_integer_scales_it():
    assert (a * 3).to_maxsat() == (3 * a).to_maxsat() == [(1, 3)]
    assert ((a + b) * 2).to_maxsat() == [(1, 2), (2, 2)]


INTEGER_FACTORS = [
    ("bool", True, 1),
    ("numpy_int64", np.int64(3), 3),
    ("numpy_uint8", np.uint8(2), 2),
    ("numpy_int64_past_its_range_once_scaled", np.int64(2 ** 62), 2 ** 62),
]
TERMS = [("leaf", lambda: PBVariable(1, "a", 4)), ("addop", lambda: AddOp(PBVariable(1, "a", 4), b)),
         ("sum", lambda: Sum(PBVariable(1, "a", 4), Sum(b)))]


@pytest.mark.parametrize("make", [t[1] for t in TERMS], ids=[t[0] for t in TERMS])
@pytest.mark.parametrize("factor,plain", [f[1:] for f in INTEGER_FACTORS],
                         ids=[f[0] for f in INTEGER_FACTORS])
def test_an_integer_of_any_kind_scales_by_its_plain_int_on_either_side(make, factor, plain):
    # The engine takes plain ints only (not a bool), and numpy's own product would wrap around.
    expected = [(v, plain * k) for v, k in make().to_maxsat()]
    for scaled in (make() * factor, factor * make()):
        pairs = scaled.to_maxsat()
        assert pairs == expected and all(type(k) is int for _, k in pairs)


@pytest.mark.parametrize("factor", [2.0, np.float64(2.0), "2", None, [2]],
                         ids=["float", "numpy_float", "text", "none", "list"])
def test_a_term_times_anything_but_an_integer_is_refused_with_the_hosts_words(factor):
    with pytest.raises(TypeError) as err:
        a * factor
    # The host names a type by its qualified name where it has one (numpy.float64).
    qualified = type(factor).__qualname__ if type(factor).__module__ == "builtins" else (
        f"{type(factor).__module__}.{type(factor).__qualname__}")
    assert str(err.value) == f"unsupported operand type(s) for *: 'PBVariable' and '{qualified}'"


LATE_FAILURES = [
    ("plus-number", lambda: a + 3),
    ("minus-number", lambda: a - 3),
    ("number-in-sum", lambda: Sum(a, 3)),
    ("list-as-operand", lambda: Sum([a, b])),
]


@pytest.mark.parametrize("build", [r[1] for r in LATE_FAILURES], ids=[r[0] for r in LATE_FAILURES])
def test_non_terms_are_stored_and_fail_when_flattened(fake_pb, log_sink, build):
    term = build()
    with pytest.raises(AttributeError, match="to_pb"):
        term.to_pb()
    with pytest.raises(AttributeError, match="to_maxsat"):
        term.to_maxsat()
    assert log_sink.calls == []  # a sum whose collection failed writes no line


def test_nodes_compare_and_hash_by_identity():
    twin = PBVariable(1, "a")
    assert twin != a and twin == twin
    assert len({twin, a}) == 2


# --- debug lines ---------------------------------------------------------------------------------


def test_every_sum_writes_its_result_inner_first(fake_pb, log_sink):
    Sum(a, Sum(b, c)).to_pb()
    inner = [("WL", 2, 1), ("WL", 3, 1)]
    assert log_sink.at("debug") == [
        "Sum to_pb result " + repr(inner),
        "Sum to_pb result " + repr([("WL", 1, 1)] + inner),
    ]
    assert len(log_sink.calls) == 2


def test_empty_sum_logs_an_empty_list(fake_pb, log_sink):
    assert Sum().to_pb() == []
    assert log_sink.at("debug") == ["Sum to_pb result []"]


def test_only_sums_in_to_pb_log(fake_pb, log_sink):
    (a + b - c).to_pb()
    Sum(a, Sum(b)).to_maxsat()
    assert log_sink.calls == []


def test_debug_line_shows_the_engines_weighted_literals(log_sink):
    items = Sum(a, b).to_pb()
    assert len(items) == 2
    assert log_sink.at("debug") == ["Sum to_pb result " + repr(items)]


# --- long chains ---------------------------------------------------------------------------------


def test_a_long_chain_neither_exhausts_the_stack_nor_crashes():
    # In a fresh interpreter: a crash must fail this test, not end the session.
    code = textwrap.dedent(
        """
        import sys
        from zk_encoder.core.pboperations import PBVariable, Sum
        n = 100_000
        leaves = [PBVariable(i + 1, "x") for i in range(n + 1)]
        term = leaves[0]
        for i in range(1, n + 1):
            term = term + leaves[i] if i % 2 else term - leaves[i]
        expected = [(1, 1)] + [(i + 1, 1 if i % 2 else -1) for i in range(1, n + 1)]
        assert term.to_maxsat() == expected
        assert len(term.to_pb()) == n + 1
        assert (-term).to_maxsat() == [(v, -k) for v, k in expected]
        assert (3 * term).to_maxsat() == [(v, 3 * k) for v, k in expected]
        assert (leaves[0] - term).to_maxsat()[1:] == [(v, -k) for v, k in expected]
        assert Sum(term, term).to_maxsat() == expected + expected
        text = repr(term)
        assert text.startswith("AddOp(" * 100) and text.count("Var(") == n + 1
        del term, text
        print("ok")
        """
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "ok"
