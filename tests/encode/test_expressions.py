"""Formula texts of the expression language: templates, flags, refusals and what the texts mean."""

import gc
import itertools
import numbers
import re
import subprocess
import sys
import textwrap
import typing
import weakref

import numpy as np
import pytest

import zk_encoder
import zk_encoder.encode
from zk_encoder.core import zk_logger
from zk_encoder.encode import expressions as ex
from zk_encoder.encode.expressions import (
    And, AndIt, Equiv, Expression, IfThenElse, Implication, One, Or, OrIt, Sum, SumIt,
    VariableProxy, Xor, XorIt, Zero, pow_expression)

EXPORTED = ["Sum", "SumIt", "And", "AndIt", "Or", "OrIt", "Xor", "XorIt", "Equiv", "Implication",
            "IfThenElse", "pow_expression", "Zero", "One"]
CONSTRUCTORS = [VariableProxy, Sum, And, Or, Xor, Equiv, Implication, IfThenElse, SumIt, AndIt,
                OrIt, XorIt]

# Variable references as subscripting a family writes them.
x, y, z = VariableProxy("x(i)"), VariableProxy("y(j)"), VariableProxy("z(k)")
xij = VariableProxy("x(i,j)")
x0, y0, z0 = VariableProxy("x(0)"), VariableProxy("y(0)"), VariableProxy("z(0)")
xj, yj = VariableProxy("x(j)"), VariableProxy("y(j)")
yi, zi = VariableProxy("y(i)"), VariableProxy("z(i)")
x1, x2 = VariableProxy("x(1)"), VariableProxy("x(2)")
i_text = Expression("i")  # stands where an index symbol's text is written


def log_lines(sink):
    return [(msg, level.name) for msg, level in sink.calls]


def check_case(build, text, soft, cls, log_sink):
    result = build()
    assert str(result) == text
    assert result.soft is soft
    assert type(result) is cls
    return result


# ------------------------------------------------------------------------------------------------
# The base class, the constants and the position helpers.

BASE_CASES = [
    ("default", lambda: Expression(), "", True, Expression),
    ("positional", lambda: Expression("q", False), "q", False, Expression),
    ("keywords", lambda: Expression(soft=False, expr="q"), "q", False, Expression),
    ("one", lambda: One, "bx.one()", True, Expression),
    ("zero", lambda: Zero, "bx.zero()", True, Expression),
    ("proxy", lambda: VariableProxy("x(0,1)"), "x(0,1)", True, VariableProxy),
    ("sum-two-ranges", lambda: Sum(xij, i=range(3), j=[0, 2]),
     "Sum(*[x(i,j).to_pb() for i in range(0, 3) for j in [0, 2]])", True, Sum),
    ("sum-ranges-swapped", lambda: Sum(xij, j=[0, 2], i=range(3)),
     "Sum(*[x(i,j).to_pb() for j in [0, 2] for i in range(0, 3)])", True, Sum),
    ("sum-no-range", lambda: Sum(xij), "Sum(*[x(i,j).to_pb() ])", True, Sum),
    ("and-of-bounded-sum", lambda: And(Sum(xij, i=range(3)) <= 1, j=range(4)),
     "bx.and_s([FormulaPB(Sum(*[x(i,j).to_pb() for i in range(0, 3)]), "
     "pb.Comparator_type.LEQ, 1).to_bx(manager) for j in range(0, 4)])", False, And),
    ("implication-one", lambda: Implication(xij, One), "bx.impl_s(x(i,j).to_bx(), bx.one())",
     False, Implication),
    ("equiv-empty", lambda: Equiv(), "bx.eq_s([])", False, Equiv),
    ("power-times-ref", lambda: pow_expression(2, i_text) * xij, "2 ** i * (x(i,j).to_pb())",
     True, Expression),
    ("range-with-step", lambda: Sum(x, i=range(0, 10, 2)),
     "Sum(*[x(i).to_pb() for i in range(0, 10, 2)])", True, Sum),
    ("tuple-values", lambda: Or(x, i=(0, 2)), "bx.or_s([x(i).to_bx() for i in (0, 2)])", False, Or),
    ("string-value-unquoted", lambda: Sum(x, i="abc"), "Sum(*[x(i).to_pb() for i in abc])",
     True, Sum),
    ("formatted-string", lambda: Expression(f"{xij}"), "x(i,j)", True, Expression),
]


@pytest.mark.parametrize("build,text,soft,cls", [c[1:] for c in BASE_CASES],
                         ids=[c[0] for c in BASE_CASES])
def test_base_text_forms(build, text, soft, cls, log_sink):
    check_case(build, text, soft, cls, log_sink)
    assert log_sink.calls == []


class ProxySubclass(VariableProxy):
    pass


HELPER_CASES = [
    ("proxy", xij, "x(i,j).to_pb()", "x(i,j).to_bx()"),
    ("proxy-subclass", ProxySubclass("p(1)"), "p(1).to_pb()", "p(1).to_bx()"),
    ("constant", One, "bx.one()", "bx.one()"),
    ("compound", x + y, "x(i).to_pb() + y(j).to_pb()", "x(i).to_pb() + y(j).to_pb()"),
    ("not-an-expression", 5, "5", "5"),
]


@pytest.mark.parametrize("operand,pb_text,bx_text", [c[1:] for c in HELPER_CASES],
                         ids=[c[0] for c in HELPER_CASES])
def test_position_helpers(operand, pb_text, bx_text):
    assert ex._expr2pb(operand) == pb_text
    assert ex._expr2bx(operand) == bx_text


def test_expression_stores_its_arguments_unconverted():
    text, flag = "q", 0
    e = Expression(text, flag)
    assert e._expr is text and e._soft is flag and e.soft is flag
    # any text passes through, lone surrogates and non-ASCII included
    assert str(Expression("\ud800é") & x) == "bx.and_s([\ud800é, x(i).to_bx()])"
    odd = Expression(5)
    with pytest.raises(TypeError, match="returned non-string"):
        str(odd)
    with pytest.raises(TypeError, match="returned non-string"):
        x + odd


def test_soft_is_read_only():
    with pytest.raises(AttributeError, match="^can't set attribute 'soft'$"):
        One.soft = False
    assert One.soft is True


def test_expressions_are_unhashable_and_always_true():
    for value in (One, xij, Sum(x), x + y):
        with pytest.raises(TypeError, match="^unhashable type: "):
            hash(value)
    with pytest.raises(TypeError):
        {One}
    with pytest.raises(TypeError):
        {Zero: 1}
    assert bool(Zero) and bool(Expression(""))


SIGNATURES = [
    ("init", Expression.__init__, "__init__(self, expr: str = '', soft: bool = True) -> None"),
    ("soft-getter", Expression.soft.fget, "soft(self)"),
    ("str", Expression.__str__, "__str__(self) -> str"),
    ("expr2pb", ex._expr2pb, "_expr2pb(expr: Expression) -> str"),
    ("expr2bx", ex._expr2bx, "_expr2bx(expr: Expression) -> str"),
    ("proxy-repr", VariableProxy.__repr__, "__repr__(self)"),
    ("indexed", Sum.__init__, "__init__(self, expr: Expression, **indexes) -> None"),
    ("sequence", SumIt.__init__, "__init__(self, expressions: tp.Sequence[Expression]) -> None"),
    ("power", pow_expression, "pow_expression(base: int, exp) -> Expression"),
]


@pytest.mark.parametrize("fn,text", [c[1:] for c in SIGNATURES], ids=[c[0] for c in SIGNATURES])
def test_signatures_carry_the_declared_annotations(fn, text):
    assert fn.__doc__ == text


def test_representations():
    assert re.fullmatch(r"<zk_encoder\.encode\.expressions\.Expression object at 0x[0-9a-f]+>",
                        repr(One))
    p = VariableProxy("x(0,1)")
    assert repr(p) == str(p) == p.name == "x(0,1)"


def test_class_layout():
    assert Expression.__bases__ == (object,)
    for cls in CONSTRUCTORS:
        assert cls.__bases__ == (Expression,), cls
        assert cls.__module__ == "zk_encoder.encode.expressions"
    assert not hasattr(ex, "__all__")
    assert ex.tp is typing and ex.Integral is numbers.Integral
    for name in ("log_c", "log_e", "log_w", "log_i", "log_d", "log_t", "logging", "se"):
        assert getattr(ex, name) is getattr(zk_logger, name), name
    order = ["_expr2bx", "_expr2pb", "Expression", "VariableProxy", "Sum", "And", "Or", "Xor",
             "Equiv", "Implication", "IfThenElse", "SumIt", "AndIt", "OrIt", "XorIt", "One",
             "Zero", "pow_expression"]
    assert [n for n in vars(ex) if n in order] == order


def test_package_exports():
    assert zk_encoder.encode.__all__ == EXPORTED
    for name in EXPORTED:
        assert getattr(zk_encoder.encode, name) is getattr(ex, name)
        assert getattr(zk_encoder, name) is getattr(ex, name)
    top = [n for n in zk_encoder.__all__ if n in EXPORTED]
    assert top == EXPORTED
    for hidden in ("Expression", "VariableProxy"):
        assert hidden not in zk_encoder.__all__ and not hasattr(zk_encoder, hidden)
        assert not hasattr(zk_encoder.encode, hidden)
    with pytest.raises(AttributeError):
        zk_encoder.encode.Model


class Marker:
    pass


CYCLE_FIELDS = [(Expression, w) for w in ["attribute", "text", "flag"]] + [
    (VariableProxy, w) for w in ["attribute", "text", "flag", "name"]]


@pytest.mark.parametrize("cls, where", CYCLE_FIELDS,
                         ids=[f"{c.__name__}-{w}" for c, w in CYCLE_FIELDS])
def test_reference_cycles_through_an_expression_are_collected(cls, where):
    e, marker = cls("x[1]"), Marker()
    marker.back = e
    if where == "attribute":
        e.extra = marker
    elif where == "text":
        e._expr = marker
    elif where == "flag":
        e._soft = marker
    else:
        e.name = marker
    probe = weakref.ref(marker)
    del e, marker
    gc.collect()
    assert probe() is None


def test_python_subclasses():
    class Named(Expression):
        def __init__(self, text):
            super().__init__(soft=False)
            self._expr = text
            self.label = "own"

    n = Named("q")
    assert str(n) == "q" and n.soft is False and vars(n) == {"label": "own"}
    assert isinstance(n, Expression)
    both = n & x
    assert str(both) == "bx.and_s([q, x(i).to_bx()])" and type(both) is Expression

    class Scaled(Expression):
        def __mul__(self, other):
            return "own product"

    assert 3 * Scaled("s") == "own product"  # the reflected form looks __mul__ up on self


# ------------------------------------------------------------------------------------------------
# Operators.

OPERATOR_CASES = [
    ("add", lambda: x + y, "x(i).to_pb() + y(j).to_pb()", True),
    ("sub", lambda: x - y, "x(i).to_pb() - (y(j).to_pb())", True),
    ("sub-compound", lambda: x - (y + z), "x(i).to_pb() - (y(j).to_pb() + z(k).to_pb())", True),
    ("add-then-sub", lambda: x + y - z, "x(i).to_pb() + y(j).to_pb() - (z(k).to_pb())", True),
    ("int-times", lambda: 3 * x, "3 * (x(i).to_pb())", True),
    ("times-int", lambda: x * 3, "3 * (x(i).to_pb())", True),
    ("negative-times", lambda: -2 * x, "-2 * (x(i).to_pb())", True),
    ("times-bool", lambda: x * True, "True * (x(i).to_pb())", True),
    ("times-expression", lambda: x * y, "x(i) * (y(j).to_pb())", True),
    ("times-compound", lambda: 2 * (x + y), "2 * (x(i).to_pb() + y(j).to_pb())", True),
    ("sum-times-expression", lambda: (x + y) * z, "(x(i).to_pb() + y(j).to_pb()) * (z(k).to_pb())",
     True),
    ("power-times-expression", lambda: pow_expression(2, i_text) * pow_expression(3, i_text),
     "2 ** i * (3 ** i)", True),
    ("negated-times-expression", lambda: Expression("-i") * y, "-i * (y(j).to_pb())", True),
    ("conditional-times-expression", lambda: Expression("i if i else 3") * y,
     "(i if i else 3) * (y(j).to_pb())", True),
    ("le", lambda: x <= 3, "FormulaPB(x(i).to_pb(), pb.Comparator_type.LEQ, 3).to_bx(manager)",
     False),
    ("reflected-ge", lambda: 3 >= x,
     "FormulaPB(x(i).to_pb(), pb.Comparator_type.LEQ, 3).to_bx(manager)", False),
    ("ge", lambda: x + y >= 1,
     "FormulaPB(x(i).to_pb() + y(j).to_pb(), pb.Comparator_type.GEQ, 1).to_bx(manager)", False),
    ("reflected-le", lambda: 1 <= x,
     "FormulaPB(x(i).to_pb(), pb.Comparator_type.GEQ, 1).to_bx(manager)", False),
    ("eq", lambda: x == 0, "FormulaPB(x(i).to_pb(), pb.Comparator_type.BOTH, 0).to_bx(manager)",
     False),
    ("reflected-eq", lambda: 0 == x,
     "FormulaPB(x(i).to_pb(), pb.Comparator_type.BOTH, 0).to_bx(manager)", False),
    ("le-negative-bound", lambda: x <= -1,
     "FormulaPB(x(i).to_pb(), pb.Comparator_type.LEQ, -1).to_bx(manager)", False),
    ("and", lambda: x & y, "bx.and_s([x(i).to_bx(), y(j).to_bx()])", False),
    ("or-of-and", lambda: (x & y) | z,
     "bx.or_s([bx.and_s([x(i).to_bx(), y(j).to_bx()]), z(k).to_bx()])", False),
    ("xor", lambda: x ^ y, "bx.xor_s([x(i).to_bx(), y(j).to_bx()])", False),
    ("invert", lambda: ~x, "~(x(i).to_bx())", False),
    ("invert-twice", lambda: ~~x, "~(~(x(i).to_bx()))", False),
    ("maxsat", lambda: (2 * x).maxsat(False),
     "FormulaPB(2 * (x(i).to_pb()), None, None).to_maxsat(manager, False)", True),
    ("maxsat-keyword", lambda: x.maxsat(minimization=True),
     "FormulaPB(x(i).to_pb(), None, None).to_maxsat(manager, True)", True),
    ("maxsat-any-value", lambda: x.maxsat("m"),
     "FormulaPB(x(i).to_pb(), None, None).to_maxsat(manager, m)", True),
    ("formula-as-term", lambda: (x & y) + z,
     "bx.and_s([x(i).to_bx(), y(j).to_bx()]) + z(k).to_pb()", True),
    ("term-as-formula", lambda: ~(x + y), "~(x(i).to_pb() + y(j).to_pb())", False),
    ("constant-operand", lambda: x & One, "bx.and_s([x(i).to_bx(), bx.one()])", False),
]


@pytest.mark.parametrize("build,text,soft", [c[1:] for c in OPERATOR_CASES],
                         ids=[c[0] for c in OPERATOR_CASES])
def test_operator_texts(build, text, soft, log_sink):
    check_case(build, text, soft, Expression, log_sink)
    assert log_sink.calls == []
    # operands are values: nothing an operator builds changes them
    assert (str(x), str(y), str(z), x.soft, y.soft, z.soft) == ("x(i)", "y(j)", "z(k)", True, True,
                                                                True)


NO_TRUTH_VALUE = ("A Boolean formula has no truth value (a chained comparison such as "
                  "1 <= x + y <= 2 keeps only its last bound): write the two bounds as two "
                  "constraints or join them with '&'")


# The host reads `1 <= s <= 2` as `(1 <= s) and (s <= 2)` and `s != 1` as `not (s == 1)`: both
# take the truth value of a formula, which would silently drop a bound or the constraint.
@pytest.mark.parametrize("build", [
    lambda: 1 <= x + y <= 2,
    lambda: 0 <= x <= 1,
    lambda: x != 3,
    lambda: bool(x & y),
    lambda: bool(~x),
    lambda: not (x + y >= 1),
], ids=["chained-term", "chained-proxy", "not-equal", "and", "invert", "not"])
def test_truth_test_of_a_formula_is_refused(build, log_sink):
    with pytest.raises(TypeError) as err:
        build()
    assert str(err.value) == NO_TRUTH_VALUE
    assert log_sink.at("error") == [NO_TRUTH_VALUE]


def test_terms_and_constants_stay_true():
    assert bool(x) and bool(x + y) and bool(3 * x) and bool(One) and bool(Zero)


LEFT_EXPR = "Type 'Expression' is expected for left side of expression"
EXPR_OR_INT = "Type 'Expression' or 'int' is expected for expression"
LEFT_INT = "Type 'int' is expected for left side of expression"
OPERAND = "Type 'Expression' is expected for variable 'expression'"
ITEMS = "Variable 'expressions' must contain only objects of type 'Expression'"
IMPL = "Type 'Expression' is expected for variables 'if_expr' and 'then_expr'"
ITE = "Type 'Expression' is expected for variables 'if_expr', 'then_expr' and 'else_expr'"

# (id, call, message, whether the message is logged before the raise)
REFUSED = [
    ("add-int", lambda: x + 1, LEFT_EXPR, True),
    ("sub-int", lambda: x - 1, LEFT_EXPR, True),
    ("and-bool", lambda: x & True, LEFT_EXPR, True),
    ("or-int", lambda: x | 0, LEFT_EXPR, True),
    ("xor-int", lambda: x ^ 1, LEFT_EXPR, True),
    ("times-float", lambda: x * 2.5, EXPR_OR_INT, True),
    ("float-times", lambda: 2.5 * x, EXPR_OR_INT, True),
    ("times-str", lambda: x * "2", EXPR_OR_INT, True),
    ("times-none", lambda: x * None, EXPR_OR_INT, True),
    ("le-float", lambda: x <= 2.5, LEFT_INT, True),
    ("ge-expression", lambda: x >= y, LEFT_INT, True),
    ("eq-expression", lambda: x == y, LEFT_INT, True),
    ("eq-none", lambda: x == None, LEFT_INT, True),  # noqa: E711
    ("sum-int", lambda: Sum(3), OPERAND, True),
    ("and-list", lambda: And([x]), OPERAND, True),
    ("or-none", lambda: Or(None, i=range(2)), OPERAND, True),
    ("xor-str", lambda: Xor("x(i)"), OPERAND, True),
    ("equiv-int", lambda: Equiv(x0, 1), ITEMS, True),
    ("equiv-list", lambda: Equiv([x0, y0]), ITEMS, True),
    ("implication-if", lambda: Implication(1, x0), IMPL, True),
    ("implication-then", lambda: Implication(x0, 1), IMPL, True),
    ("ite-else", lambda: IfThenElse(x0, y0, 0), ITE, True),
    ("ite-if", lambda: IfThenElse(None, y0, z0), ITE, True),
    ("sumit-generator", lambda: SumIt(e for e in [x0]), "Use an iterable sequence as SumIt input "
     "argument", True),
    ("sumit-set", lambda: SumIt({1}), "Use an iterable sequence as SumIt input argument", True),
    ("andit-single", lambda: AndIt(x0), "Use an iterable sequence as AndIt input argument", False),
    ("orit-dict", lambda: OrIt({"a": x0}), "Use an iterable sequence as OrIt input argument",
     False),
    ("xorit-iterator", lambda: XorIt(iter([x0])), "Use an iterable sequence as XorIt input "
     "argument", False),
    ("sumit-range", lambda: SumIt(range(2)), ITEMS, True),
    ("andit-string", lambda: AndIt("ab"), ITEMS, True),
    ("orit-late-item", lambda: OrIt([x0, x1, 2]), ITEMS, True),
    ("xorit-tuple", lambda: XorIt((x0, None)), ITEMS, True),
]


@pytest.mark.parametrize("call,message,logged", [c[1:] for c in REFUSED],
                         ids=[c[0] for c in REFUSED])
def test_refused_operands(call, message, logged, log_sink):
    with pytest.raises(TypeError) as info:
        call()
    assert info.value.args == (message,)
    assert log_lines(log_sink) == ([(message, "error")] if logged else [])


def test_log_sink_error_replaces_the_type_error(monkeypatch):
    def failing_sink(msg, level):
        raise RuntimeError("sink down")

    monkeypatch.setattr(zk_logger.se, "log_encoder", failing_sink)
    with pytest.raises(RuntimeError, match="sink down"):
        x + 1


def test_logging_never_imports_the_module_again():
    # In a fresh interpreter: once the host's registry no longer holds the module, a refusal or a
    # warning must not run its body a second time.
    code = textwrap.dedent("""
        import sys, warnings
        warnings.simplefilter("error")
        import nubrix.sorn_engine as se
        from zk_encoder.encode import expressions as ex
        lines = []
        se.log_encoder = lambda msg, level: lines.append((msg, level.name))
        del sys.modules["zk_encoder.encode.expressions"]
        try:
            ex.VariableProxy("x(0)") + 1
        except TypeError as e:
            lines.append(str(e))
        ex.AndIt([])
        print(lines, "zk_encoder.encode.expressions" in sys.modules)
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == str([(LEFT_EXPR, "error"), LEFT_EXPR,
                                      ("The input sequence has zero length", "warning")]) + " False"
    assert out.stderr == ""


def host_twin(name):
    """A plain Python class with the same name and operator set as the expression classes, so the
    interpreter's own errors for the missing operations can be compared."""
    def binary(self, other):
        return "built"

    ops = {op: binary for op in ("__add__", "__sub__", "__mul__", "__rmul__", "__le__", "__ge__",
                                 "__eq__", "__and__", "__or__", "__xor__")}
    ops["__invert__"] = lambda self: "built"
    return type(name, (), ops)()


HOST_ERRORS = [
    ("int-plus", lambda a: 1 + a),
    ("int-minus", lambda a: 1 - a),
    ("int-and", lambda a: 1 & a),
    ("int-or", lambda a: 1 | a),
    ("int-xor", lambda a: 1 ^ a),
    ("lt", lambda a: a < 3),
    ("int-lt", lambda a: 3 < a),
    ("gt", lambda a: a > 3),
    ("int-gt", lambda a: 3 > a),
    ("neg", lambda a: -a),
    ("pos", lambda a: +a),
    ("abs", lambda a: abs(a)),
    ("div", lambda a: a / 2),
    ("floordiv", lambda a: a // 2),
    ("mod", lambda a: a % 2),
    ("pow", lambda a: a ** 2),
    ("int-pow", lambda a: 2 ** a),
    ("shift", lambda a: a << 1),
    ("builtin-sum", lambda a: sum([a, a])),
    ("hash", lambda a: hash(a)),
    ("len", lambda a: len(a)),
]


@pytest.mark.parametrize("op", [c[1] for c in HOST_ERRORS], ids=[c[0] for c in HOST_ERRORS])
@pytest.mark.parametrize("operand", [x, One, Sum(x)], ids=["proxy", "expression", "constructor"])
def test_undefined_operations_raise_the_hosts_own_error(op, operand, log_sink):
    with pytest.raises(TypeError) as ours:
        op(operand)
    with pytest.raises(TypeError) as host:
        op(host_twin(type(operand).__name__))
    assert str(ours.value) == str(host.value)
    assert log_sink.calls == []


# ------------------------------------------------------------------------------------------------
# Variable references and indexed constructors.

INDEXED_CASES = [
    ("sum", lambda: Sum(x, i=range(3)), "Sum(*[x(i).to_pb() for i in range(0, 3)])", True, Sum),
    ("and-two-ranges", lambda: And(xij, i=range(2), j=[0, 2]),
     "bx.and_s([x(i,j).to_bx() for i in range(0, 2) for j in [0, 2]])", False, And),
    ("and-of-comparison", lambda: And(Sum(xij, j=range(3)) <= 1, i=range(2)),
     "bx.and_s([FormulaPB(Sum(*[x(i,j).to_pb() for j in range(0, 3)]), pb.Comparator_type.LEQ, "
     "1).to_bx(manager) for i in range(0, 2)])", False, And),
    ("sum-no-keyword", lambda: Sum(x), "Sum(*[x(i).to_pb() ])", True, Sum),
    ("or-no-keyword", lambda: Or(x), "bx.or_s([x(i).to_bx() ])", False, Or),
    ("xor-text-value", lambda: Xor(x, i="range(2)"), "bx.xor_s([x(i).to_bx() for i in range(2)])",
     False, Xor),
    ("and-of-and", lambda: And(x & yi, i=range(2)),
     "bx.and_s([bx.and_s([x(i).to_bx(), y(i).to_bx()]) for i in range(0, 2)])", False, And),
    ("sum-of-formula", lambda: Sum(x & yi, i=range(2)),
     "Sum(*[bx.and_s([x(i).to_bx(), y(i).to_bx()]) for i in range(0, 2)])", True, Sum),
    ("and-of-term", lambda: And(x + yi), "bx.and_s([x(i).to_pb() + y(i).to_pb() ])", False, And),
    ("empty-range", lambda: Sum(x, i=[]), "Sum(*[x(i).to_pb() for i in []])", True, Sum),
    ("operand-by-keyword", lambda: Or(expr=x, i=range(1)),
     "bx.or_s([x(i).to_bx() for i in range(0, 1)])", False, Or),
    ("combined-bounded", lambda: Sum(x, i=range(3)) <= 2,
     "FormulaPB(Sum(*[x(i).to_pb() for i in range(0, 3)]), pb.Comparator_type.LEQ, 2)"
     ".to_bx(manager)", False, Expression),
    ("combined-or", lambda: And(x, i=range(3)) | y0,
     "bx.or_s([bx.and_s([x(i).to_bx() for i in range(0, 3)]), y(0).to_bx()])", False, Expression),
]


@pytest.mark.parametrize("build,text,soft,cls", [c[1:] for c in INDEXED_CASES],
                         ids=[c[0] for c in INDEXED_CASES])
def test_indexed_constructor_texts(build, text, soft, cls, log_sink):
    check_case(build, text, soft, cls, log_sink)
    assert log_sink.calls == []


# Keyword values read as a model reads for-all values: booleans are 0 and 1, numpy integers and
# arrays their plain ints, so the texts carry plain integers and name the elements as plain
# integers do. Values of other kinds are written as they format.
KEYWORD_VALUES = [
    ("bools", [False, True], "[0, 1]"),
    ("bools_and_ints", [0, True, 2], "[0, 1, 2]"),
    ("tuple_of_a_bool", (True,), "(1,)"),
    ("tuple_of_bools", (True, False), "(1, 0)"),
    ("numpy_arange", np.arange(3), "[0, 1, 2]"),
    ("numpy_integers", [np.int64(2), np.uint8(0)], "[2, 0]"),
    ("numpy_empty", np.array([], dtype=np.int64), "[]"),
    ("plain_list", [0, 2], "[0, 2]"),
    ("range", range(1, 3), "range(1, 3)"),
    ("text", "range(2)", "range(2)"),
    ("floats", [0.5], "[0.5]"),
]
HEADS = [(Sum, "Sum(*[", ".to_pb()"), (And, "bx.and_s([", ".to_bx()"),
         (Or, "bx.or_s([", ".to_bx()"), (Xor, "bx.xor_s([", ".to_bx()")]


@pytest.mark.parametrize("cls,head,suffix", HEADS, ids=[h[0].__name__ for h in HEADS])
@pytest.mark.parametrize("value,text", [v[1:] for v in KEYWORD_VALUES],
                         ids=[v[0] for v in KEYWORD_VALUES])
def test_keyword_values_are_written_as_for_all_values(cls, head, suffix, value, text, log_sink):
    e = cls(xij, i=value, j=[True])
    assert str(e) == f"{head}x(i,j){suffix} for i in {text} for j in [1]])"
    assert log_sink.calls == []


@pytest.mark.parametrize("cls", [Sum, And, Or, Xor])
@pytest.mark.parametrize("keyword", ["expr", "self"])
def test_operand_names_are_no_range_names(cls, keyword, log_sink):
    with pytest.raises(TypeError):
        cls(x, **{keyword: range(2)})
    assert log_sink.calls == []


def test_variable_proxy():
    p = VariableProxy("x(0,1)")
    assert (str(p), repr(p), p.name, p.soft) == ("x(0,1)", "x(0,1)", "x(0,1)", True)
    assert type(p * p) is Expression


# ------------------------------------------------------------------------------------------------
# Connectives over several formulas.

CONNECTIVE_CASES = [
    ("equiv-three", lambda: Equiv(x0, y0, z0),
     "bx.eq_s([x(0).to_bx(), y(0).to_bx(), z(0).to_bx()])", Equiv),
    ("equiv-one", lambda: Equiv(x0), "bx.eq_s([x(0).to_bx()])", Equiv),
    ("equiv-none", lambda: Equiv(), "bx.eq_s([])", Equiv),
    ("equiv-unpacked", lambda: Equiv(*[x0, y0]), "bx.eq_s([x(0).to_bx(), y(0).to_bx()])", Equiv),
    ("implication-of-or", lambda: Implication(x, yi | zi),
     "bx.impl_s(x(i).to_bx(), bx.or_s([y(i).to_bx(), z(i).to_bx()]))", Implication),
    ("ite", lambda: IfThenElse(x0, y0, ~z0),
     "bx.ite_s(x(0).to_bx(), y(0).to_bx(), ~(z(0).to_bx()))", IfThenElse),
    ("ite-keywords", lambda: IfThenElse(else_expr=z0, then_expr=y0, if_expr=x0),
     "bx.ite_s(x(0).to_bx(), y(0).to_bx(), z(0).to_bx())", IfThenElse),
    ("indexed-implication", lambda: And(Implication(x, yi), i=range(3)),
     "bx.and_s([bx.impl_s(x(i).to_bx(), y(i).to_bx()) for i in range(0, 3)])", And),
    ("term-premise", lambda: Implication(x0 + y0, z0),
     "bx.impl_s(x(0).to_pb() + y(0).to_pb(), z(0).to_bx())", Implication),
    ("keywords", lambda: Implication(then_expr=y0, if_expr=x0),
     "bx.impl_s(x(0).to_bx(), y(0).to_bx())", Implication),
    ("comparison-conclusion", lambda: Implication(x0, Sum(yj, j=range(2)) >= 1),
     "bx.impl_s(x(0).to_bx(), FormulaPB(Sum(*[y(j).to_pb() for j in range(0, 2)]), "
     "pb.Comparator_type.GEQ, 1).to_bx(manager))", Implication),
]


@pytest.mark.parametrize("build,text,cls", [c[1:] for c in CONNECTIVE_CASES],
                         ids=[c[0] for c in CONNECTIVE_CASES])
def test_connective_texts(build, text, cls, log_sink):
    check_case(build, text, False, cls, log_sink)
    assert log_sink.calls == []


# ------------------------------------------------------------------------------------------------
# Sequence constructors and powers.

EMPTY = [("The input sequence has zero length", "warning")]

SEQUENCE_CASES = [
    ("sumit", lambda: SumIt([x0, x1, x2]), "Sum(*[x(0).to_pb(), x(1).to_pb(), x(2).to_pb()])",
     True, SumIt, []),
    ("andit-tuple", lambda: AndIt((x0, x1)), "bx.and_s([x(0).to_bx(), x(1).to_bx()])", False,
     AndIt, []),
    ("orit-nested", lambda: OrIt([x0, AndIt([x1, x2])]),
     "bx.or_s([x(0).to_bx(), bx.and_s([x(1).to_bx(), x(2).to_bx()])])", False, OrIt, []),
    ("xorit-one", lambda: XorIt([x0]), "bx.xor_s([x(0).to_bx()])", False, XorIt, []),
    ("sumit-empty", lambda: SumIt([]), "Sum(*[])", True, SumIt, EMPTY),
    ("andit-empty-string", lambda: AndIt(""), "bx.and_s([])", False, AndIt, EMPTY),
    ("orit-empty-range", lambda: OrIt(range(0)), "bx.or_s([])", False, OrIt, EMPTY),
    ("xorit-empty-tuple", lambda: XorIt(()), "bx.xor_s([])", False, XorIt, EMPTY),
    ("sumit-of-formulas", lambda: SumIt([x0 & x1, One]),
     "Sum(*[bx.and_s([x(0).to_bx(), x(1).to_bx()]), bx.one()])", True, SumIt, []),
    ("andit-of-terms", lambda: AndIt([x0 + x1, Zero]),
     "bx.and_s([x(0).to_pb() + x(1).to_pb(), bx.zero()])", False, AndIt, []),
    ("sumit-keyword", lambda: SumIt(expressions=[x0]), "Sum(*[x(0).to_pb()])", True, SumIt, []),
]


@pytest.mark.parametrize("build,text,soft,cls,log", [c[1:] for c in SEQUENCE_CASES],
                         ids=[c[0] for c in SEQUENCE_CASES])
def test_sequence_constructor_texts(build, text, soft, cls, log, log_sink):
    check_case(build, text, soft, cls, log_sink)
    assert log_lines(log_sink) == log


def test_sequence_errors_pass_through(log_sink):
    class Broken(typing.Sequence):
        def __len__(self):
            raise LookupError("no length")

        def __getitem__(self, k):
            raise IndexError

    with pytest.raises(LookupError, match="no length"):
        SumIt(Broken())
    assert log_sink.calls == []


# (id, base, exponent, text, namespace in which the text is evaluated)
POWER_CASES = [
    ("numbers", 2, 3, "2 ** 3", {}),
    ("index", 2, i_text, "2 ** i", {"i": 3}),
    ("negative-exponent", 2, -1, "2 ** -1", {}),
    ("negated-index-exponent", 2, Expression("-i"), "2 ** -i", {"i": 2}),
    ("power-exponent", 2, Expression("2 ** i"), "2 ** 2 ** i", {"i": 3}),
    ("call-base", Expression("f(2)"), 2, "f(2) ** 2", {"f": lambda v: v + 1}),
    ("bool-base", True, 5, "True ** 5", {}),
    # these need parentheses to mean the power they stand for
    ("negative-base", -2, 2, "(-2) ** 2", {}),
    ("negative-base-index", -2, i_text, "(-2) ** i", {"i": 3}),
    ("compound-exponent", 2, Expression("i + 1"), "2 ** (i + 1)", {"i": 2}),
    ("product-exponent", 3, Expression("i * 2"), "3 ** (i * 2)", {"i": 2}),
    ("compound-base", Expression("i + 1"), 2, "(i + 1) ** 2", {"i": 2}),
    ("power-base", Expression("2 ** i"), 2, "(2 ** i) ** 2", {"i": 3}),
    ("conditional-exponent", 2, Expression("i if i else 3"), "2 ** (i if i else 3)", {"i": 0}),
    # a text is read for its top level only: brackets, literals and trailers stay whole
    ("subscript-base", Expression("v[i - 1]"), 2, "v[i - 1] ** 2", {"v": [5, 7], "i": 1}),
    ("attribute-exponent", 2, Expression("v.real"), "2 ** v.real", {"v": 3}),
    ("string-call-base", Expression("len('a + b')"), 2, "len('a + b') ** 2", {}),
    ("negated-power-exponent", 2, Expression("-i ** 2"), "2 ** -i ** 2", {"i": 1}),
    ("not-exponent", 2, Expression("not i"), "2 ** (not i)", {"i": 0}),
    ("comparison-base", Expression("i < 1"), 3, "(i < 1) ** 3", {"i": 0}),
    ("division-base", Expression("i / 2"), 2, "(i / 2) ** 2", {"i": 3}),
    ("division-exponent", 4, Expression("i / 2"), "4 ** (i / 2)", {"i": 1}),
]


@pytest.mark.parametrize("base,exp,text,names", [c[1:] for c in POWER_CASES],
                         ids=[c[0] for c in POWER_CASES])
def test_power_texts_evaluate_to_the_power(base, exp, text, names, log_sink):
    power = check_case(lambda: pow_expression(base, exp), text, True, Expression, log_sink)
    assert log_sink.calls == []
    intended = eval(format(base, ""), dict(names)) ** eval(format(exp, ""), dict(names))
    assert eval(str(power), dict(names)) == intended


def test_power_as_coefficient_inside_a_sum():
    s = Sum(pow_expression(2, i_text) * x, i=range(3))
    assert str(s) == "Sum(*[2 ** i * (x(i).to_pb()) for i in range(0, 3)])"
    assert str(pow_expression(base=2, exp=3)) == "2 ** 3"


# ------------------------------------------------------------------------------------------------
# What the texts mean: evaluated in the model's kind of namespace, they give engine formulas whose
# models are the intended ones.

def three(v, name="x"):
    return [v[f"{name}({k})"] for k in range(3)]


X0, X1, X2 = (VariableProxy(f"x({k})") for k in range(3))
Y0 = VariableProxy("y(0)")

# (id, expression, variables, intended truth of an assignment)
MEANING_CASES = [
    ("at-most-one", Sum(x, i=range(3)) <= 1, ["x(0)", "x(1)", "x(2)"],
     lambda v: sum(three(v)) <= 1),
    ("at-least-two", SumIt([X0, X1, X2]) >= 2, ["x(0)", "x(1)", "x(2)"],
     lambda v: sum(three(v)) >= 2),
    ("weighted-equal", 2 * X0 + X1 - X2 == 1, ["x(0)", "x(1)", "x(2)"],
     lambda v: 2 * v["x(0)"] + v["x(1)"] - v["x(2)"] == 1),
    ("binary-number", Sum(pow_expression(2, i_text) * x, i=range(3)) == 5, ["x(0)", "x(1)", "x(2)"],
     lambda v: v["x(0)"] + 2 * v["x(1)"] + 4 * v["x(2)"] == 5),
    ("and-or-not", (X0 & X1) | ~X2, ["x(0)", "x(1)", "x(2)"],
     lambda v: (v["x(0)"] and v["x(1)"]) or not v["x(2)"]),
    ("implies-xor", Implication(X0, X1 ^ X2), ["x(0)", "x(1)", "x(2)"],
     lambda v: not v["x(0)"] or (v["x(1)"] != v["x(2)"])),
    ("if-then-else", IfThenElse(X0, X1, X2), ["x(0)", "x(1)", "x(2)"],
     lambda v: v["x(1)"] if v["x(0)"] else v["x(2)"]),
    ("equivalence", Equiv(X0, Y0), ["x(0)", "y(0)"], lambda v: v["x(0)"] == v["y(0)"]),
    ("indexed-implications", And(Implication(x, VariableProxy("y(i)")), i=range(2)),
     ["x(0)", "x(1)", "y(0)", "y(1)"],
     lambda v: all(not v[f"x({k})"] or v[f"y({k})"] for k in range(2))),
    ("or-over-range-minus-first", Or(x, i=range(3)) & ~X0, ["x(0)", "x(1)", "x(2)"],
     lambda v: any(three(v)) and not v["x(0)"]),
    ("andit-of-orit", AndIt([X0, OrIt([X1, X2])]), ["x(0)", "x(1)", "x(2)"],
     lambda v: v["x(0)"] and (v["x(1)"] or v["x(2)"])),
    ("empty-sequences", OrIt([]) | (AndIt([]) & X0), ["x(0)"], lambda v: v["x(0)"]),
    ("implies-false", Implication(X0, Zero) & One, ["x(0)"], lambda v: not v["x(0)"]),
    ("two-dimensions", And(Sum(xij, j=range(2)) == 1, i=range(2)),
     ["x(0,0)", "x(0,1)", "x(1,0)", "x(1,1)"],
     lambda v: all(v[f"x({a},0)"] + v[f"x({a},1)"] == 1 for a in range(2))),
]


@pytest.fixture
def formula_namespace():
    import nubrix.sorn_engine.bxpr as bx
    import nubrix.sorn_engine.pbct as pb
    import pysat.solvers as solvers
    import zk_encoder.core.manager as manager_mod
    from zk_encoder.core import formulapb, pboperations

    def make():
        manager = manager_mod.Manager()
        for family in ("x", "y"):
            manager.registration_generator_variables(family)
        namespace = {"Sum": pboperations.Sum, "FormulaPB": formulapb.FormulaPB, "bx": bx,
                     "pb": pb, "manager": manager}
        namespace.update(manager.name2genvar)
        return namespace

    return make, bx, solvers


def satisfying_assignments(formula, namespace, names, bx, solvers):
    """The assignments of `names` under which the Tseytin clauses of `formula` can be satisfied."""
    cnf = formula.tseytin(namespace["manager"].bx_context, "_bxpr_aux")
    if isinstance(cnf, bx.Zero):
        return set()
    clauses = [] if isinstance(cnf, bx.One) else (
        list(cnf.get_args()) if isinstance(cnf, bx.And) else [cnf])
    numbers = {}
    numeric = []
    for clause in clauses:
        literals = list(clause.get_args()) if isinstance(clause, bx.Or) else [clause]
        row = []
        for lit in literals:
            text = str(lit)
            negated = text.startswith("~")
            number = numbers.setdefault(text.lstrip("~"), len(numbers) + 1)
            row.append(-number if negated else number)
        numeric.append(row)
    assert set(n for n in numbers if not n.startswith(("_bxpr_aux", "_pbct_aux"))) <= set(names)
    found = set()
    with solvers.Solver(name="m22", bootstrap_with=numeric) as solver:
        for values in itertools.product([False, True], repeat=len(names)):
            assumptions = [numbers[n] if val else -numbers[n]
                           for n, val in zip(names, values) if n in numbers]
            if solver.solve(assumptions=assumptions):
                found.add(values)
    return found


@pytest.mark.parametrize("expr,names,intended", [c[1:] for c in MEANING_CASES],
                         ids=[c[0] for c in MEANING_CASES])
def test_texts_mean_the_intended_formulas(expr, names, intended, formula_namespace):
    make, bx, solvers = formula_namespace
    namespace = make()
    formula = eval(str(expr), namespace)
    expected = {values for values in itertools.product([False, True], repeat=len(names))
                if intended(dict(zip(names, values)))}
    assert satisfying_assignments(formula, namespace, names, bx, solvers) == expected


@pytest.mark.parametrize("make", [
    lambda: Expression("a"), lambda: VariableProxy("x[1]"), lambda: SumIt([Expression("a")]),
], ids=["expression", "proxy", "sum"])
def test_the_attribute_dictionary_is_seen_once(make):
    class Sub(type(make())):
        pass

    for obj in (make(), Sub.__new__(Sub)):
        obj.extra = Marker()
        assert [r is vars(obj) for r in gc.get_referents(obj)].count(True) == 1
