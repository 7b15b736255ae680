"""The model's native evaluation of formula texts against the interpreter's `eval`: which texts it
reads itself, and that for those it gives the same values, side effects and errors as `eval`,
down to the clauses, maps, counts and log lines of whole models."""

import sys

import pytest

import nubrix.sorn_engine as se
from zk_encoder import (And, AndIt, Equiv, IfThenElse, Implication, Model, One, Or, OrIt, Sum,
                        SumIt, Xor, XorIt, Zero, pow_expression)
from zk_encoder.encode.expressions import Expression, _expr2pb
from zk_encoder.encode.model import _eval_formula, _formula_is_native
from zk_encoder.core.variable import Variable as CoreVariable


# --- which texts are read natively ------------------------------------------------------------

NATIVE = {
    "name": "x",
    "reference": "x(i + 1,j - 1)",
    "index arithmetic": "x(2 * i,i + -2)",
    "sum": "Sum(*[x(i,j).to_pb() for i in range(0, 3) for j in [0, 2]])",
    "sum without foralls": "Sum(*[x(1,1).to_pb() ])",
    "empty list": "bx.eq_s([])",
    "tuple value": "bx.or_s([x(i,j).to_bx() for i in (0, 1) for j in range(0, 2)])",
    "one-tuple and empty tuple": "f((1,), ())",
    "comparison text": "FormulaPB(Sum(*[x(0,0).to_pb(), x(1,1).to_pb()]), "
                       "pb.Comparator_type.GEQ, 1).to_bx(manager)",
    "objective": "FormulaPB(3 * (x(1,1).to_pb()), None, None).to_maxsat(manager, False)",
    "power": "2 ** i * (x(i,0).to_pb())",
    "unary": "~(x(0,0).to_bx()) + -1 - +2",
    "trailing commas": "f(a, [1, 2,], *[3],)",
    "starred among positionals": "f(1, *[2, 3], 4, *[k for k in range(2)])",
    "blanks around": "  x ( 1 , 2 )  ",
    "attribute of a constant": "True.real",
    "long integer": "1" * 40,
    "long chain": " + ".join(["1"] * 900),
}

NOT_NATIVE = {
    "empty": "",
    "blanks only": "   ",
    "keyword argument": "f(a=1)",
    "string": "f('a')",
    "float": "1.5",
    "float without digits before": ".5",
    "exponent": "1e3",
    "imaginary": "1j",
    "underscore digits": "1_000",
    "hex": "0x10",
    "leading zero": "01",
    "comparison": "a < b",
    "equality": "a == b",
    "boolean operator": "a and b",
    "not": "not a",
    "conditional": "a if b else c",
    "lambda": "lambda: 1",
    "filtered comprehension": "[k for k in r if k]",
    "tuple target": "[k for k, m in r]",
    "generator argument": "f(k for k in r)",
    "parenthesized generator": "(k for k in r)",
    "starred name": "f(*a)",
    "starred call result": "f(*g())",
    "double star": "f(**d)",
    "starred in a list": "[*a]",
    "subscript": "a[0]",
    "division": "a / b",
    "floor division": "a // b",
    "modulo": "a % b",
    "matmul": "a @ b",
    "bitwise and": "a & b",
    "bitwise or": "a | b",
    "xor": "a ^ b",
    "shift": "a << 1",
    "dict": "{}",
    "walrus": "(a := 1)",
    "top-level tuple": "a, b",
    "two expressions": "a b",
    "statement separator": "a; b",
    "newline": "f(a,\nb)",
    "tab": "f(a,\tb)",
    "comment": "x  # note",
    "backslash": "a + \\\nb",
    "non-ascii name": "\u00e9",
    "keyword attribute": "x.if",
    "keyword name": "yield",
    "assign to a constant": "[k for True in r]",
    "ellipsis": "...",
    "frame builtin globals": "globals()",
    "frame builtin eval": "eval('1')",
    "frame builtin vars": "vars()",
    "debug constant": "__debug__",
    "null byte": "a\0",
    "unterminated": "f(a",
    "unbalanced": "a)",
    "call of an integer": "1(2)",
    "call of a list": "[f](2)",
    "call of a folded constant": "(1 + 2)(3)",
    "call of a sum": "(a + b)(3)",
}


@pytest.mark.parametrize("text", NATIVE.values(), ids=NATIVE.keys())
def test_library_forms_are_read_natively(text):
    assert _formula_is_native(text) is True


@pytest.mark.parametrize("text", NOT_NATIVE.values(), ids=NOT_NATIVE.keys())
def test_other_texts_go_to_eval(text):
    assert _formula_is_native(text) is False


@pytest.mark.parametrize("text", [None, b"x", 1, "\ud800"],
                         ids=["None", "bytes", "int", "lone surrogate"])
def test_non_texts_and_unencodable_texts_go_to_eval(text):
    assert _formula_is_native(text) is False


def outcome(fn, *args):
    try:
        return ("value", fn(*args))
    except BaseException as exc:  # the very error is what is compared
        return ("error", type(exc), str(exc), getattr(exc, "name", "-"))


# Texts outside the library's own: scoping, evaluation order and the interpreter's errors.
PLAIN = {
    "arithmetic precedence": "-2 ** 2 + 3 * -4 - ~5 + 2 ** -1",
    "right-assoc power": "2 ** 3 ** 2",
    "nested loops": "[a * 10 + b for a in range(3) for b in range(a)]",
    "target shadows a global": "[a for a in [a, a + 1]]",
    "first iterable is outside": "[a for a in a]",
    "loop variable shadows a name": "[a for a in range(3) for b in [a]]",
    "nested comprehension sees outer": "[[a + c for c in range(a)] for a in range(4)]",
    "tuple and list values": "[(a, [a]) for a in (1, 2)]",
    "builtins": "len([1, 2]) + abs(-3)",
    "unknown name": "nothere + 1",
    "unknown name in a loop": "[nothere for a in range(2)]",
    "unbound local": "[a for a in range(2) for b in b]",
    "unbound free": "[a for a in [[1]] for b in [b for c in a]]",
    "not iterable": "[a for a in 5]",
    "not iterable inside": "[a for a in range(2) for b in a]",
    "bad operand": "1 + None",
    "bad attribute": "a.nothere",
    "bad call": "a(1)",
    "power of an index": "2 ** a",
    "empty tuple and list": "[(), []]",
    "starred lists": "max(*[3, 9], 4, *[b for b in range(7)])",
    "reused target": "[a for a in range(2) for a in range(3)]",
}


@pytest.mark.parametrize("text", PLAIN.values(), ids=PLAIN.keys())
def test_plain_texts_behave_as_eval(text):
    assert _formula_is_native(text)
    ns_native, ns_eval = {"a": 4}, {"a": 4}
    assert outcome(_eval_formula, text, ns_native) == outcome(eval, text, ns_eval, ns_eval)
    assert ns_native.keys() == ns_eval.keys()
    assert ns_native["__builtins__"] is ns_eval["__builtins__"]


def test_calls_of_literals_keep_the_compilers_warning():
    with pytest.warns(SyntaxWarning, match="perhaps you missed a comma"):
        assert outcome(_eval_formula, "1(2)", {})[:2] == ("error", TypeError)


# The host's own reading refuses such depths ("too many nested parentheses", RecursionError);
# the native reading takes any depth, and gives what the text means.
DEEP = {
    "parentheses": ("(" * 5000 + "1" + ")" * 5000, 1),
    "long chain": (" + ".join(["1"] * 100000), 100000),
    "nested calls": ("f(" * 20000 + "1" + ")" * 20000, 20001),
    "nested lists": ("[" * 20000 + "1" + "]" * 20000, None),
    "signs": ("-" * 30001 + "1", -1),
    "powers": (" ** ".join(["1"] * 20000), 1),
    "nested comprehensions": ("[" * 3000 + "a" + " for a in r]" * 3000, None),
}


@pytest.mark.parametrize("text,value", DEEP.values(), ids=DEEP.keys())
def test_deep_texts_are_evaluated_natively(text, value):
    assert _formula_is_native(text)
    ns = {"f": lambda v: v + 1, "r": [7]}
    got = _eval_formula(text, ns)
    if value is not None:
        assert got == value
    else:
        depth = 0
        while isinstance(got, list):
            assert len(got) == 1
            got, depth = got[0], depth + 1
        assert depth == text.count("[") and got in (1, 7)


def test_deep_texts_evaluate_where_the_host_recursion_limit_is_low():
    text = " + ".join(["1"] * 400)
    old = sys.getrecursionlimit()
    try:
        sys.setrecursionlimit(len(__import__("inspect").stack()) + 100)
        assert _formula_is_native(text)
        assert _eval_formula(text, {}) == 400
    finally:
        sys.setrecursionlimit(old)


def test_evaluation_order_and_side_effects():
    """Callee before arguments, arguments left to right, attribute looked up before arguments."""
    def namespace():
        calls = []

        class Obj:
            def __getattr__(self, name):
                calls.append(("getattr", name))
                return lambda *a: calls.append(("call", name, a)) or len(calls)

        def f(tag):
            calls.append(("f", tag))
            return tag

        return {"o": Obj(), "f": f, "calls": calls}

    text = "o.m(f(1), *[f(k) for k in [2, 3]], o.n(f(4))) + f(5) * f(6)"
    a, b = namespace(), namespace()
    assert _eval_formula(text, a) == eval(text, b, b)
    assert a["calls"] == b["calls"]


BUILTINS = {
    "module": lambda: __import__("builtins"),
    "dict": lambda: {"len": lambda v: 42},
    "mapping": lambda: __import__("collections").UserDict({"len": abs}),
    "not a mapping": lambda: None,
}


@pytest.mark.parametrize("make", BUILTINS.values(), ids=BUILTINS.keys())
@pytest.mark.parametrize("text", ["len([1])", "[len for k in [1]]", "nothere"])
def test_given_builtins_are_used_as_eval_uses_them(make, text):
    assert _formula_is_native(text)
    builtins = make()
    ns_a, ns_b = {"__builtins__": builtins}, {"__builtins__": builtins}
    assert outcome(_eval_formula, text, ns_a) == outcome(eval, text, ns_b, ns_b)


def test_namespaces_other_than_dicts_go_to_eval():
    class Namespace(dict):
        def __missing__(self, key):
            return 7

    for ns in [Namespace(), Namespace(x=1)]:
        assert outcome(_eval_formula, "x", ns) == outcome(eval, "x", ns, ns)
    assert outcome(_eval_formula, "x", [])[:2] == ("error", TypeError)


def test_errors_carry_the_texts_frames():
    try:
        _eval_formula("[nothere for a in range(1)]", {})
    except NameError as exc:
        tb = exc.__traceback__
        frames = []
        while tb:
            frames.append((tb.tb_frame.f_code.co_filename, tb.tb_frame.f_code.co_name))
            tb = tb.tb_next
    assert frames[-2:] == [("<string>", "<module>"), ("<string>", "<listcomp>")]


# --- model texts against eval on fresh namespaces -----------------------------------------------


def new_model():
    model = Model(se.manager(), "m")
    x = model.create_variables("x", a=4, b=4)
    y = model.create_variables("y", c=5)
    i, j = model.get_indexes(["i", "j"])
    return model, x, y, i, j


def namespace(model):
    ns = dict(model._formulas_dir)
    ns.update(model._indexes)
    ns.update(model._manager.name2genvar)
    return ns


def shown(value):
    if isinstance(value, CoreVariable):
        return ("Variable", str(value.to_bx()), str(value.to_pb()))
    if isinstance(value, (tuple, list)):
        return (type(value).__name__,) + tuple(shown(v) for v in value)
    return (type(value).__name__, repr(value))


def manager_state(model):
    mg = model._manager
    return (mg.cnt_pbvar, repr(mg.name2pb), repr(mg.pb2bx), repr(mg.pb2name))


# Every shape the expression language writes, and errors raised while evaluating them.
TEXTS = {
    "reference": lambda x, y, i, j: x[1, 2],
    "reference with index arithmetic": lambda x, y, i, j: x[i + 1, 2 * j],
    "sum": lambda x, y, i, j: Sum(x[i, j], i=range(3), j=[0, 2]),
    "sum without foralls": lambda x, y, i, j: Sum(x[1, 1]),
    "sum of tuple values": lambda x, y, i, j: Sum(y[i], i=(0, 3)),
    "sum it": lambda x, y, i, j: SumIt([x[0, 0], y[1], x[3, 3]]),
    "empty sum it": lambda x, y, i, j: SumIt([]),
    "at most": lambda x, y, i, j: Sum(x[i, j], i=range(4)) <= 1,
    "at least": lambda x, y, i, j: SumIt([y[0], y[1]]) >= 1,
    "equal": lambda x, y, i, j: Sum(y[i], i=range(5)) == 2,
    "nested for-alls": lambda x, y, i, j: And(Sum(x[i, j], i=range(3)) <= 1, j=range(4)),
    "or": lambda x, y, i, j: Or(x[i, j], i=(0, 1), j=range(2)),
    "xor": lambda x, y, i, j: Xor(x[i, 0], i=range(0, 4, 2)),
    "and it": lambda x, y, i, j: AndIt([x[0, 0], ~y[1]]),
    "or it": lambda x, y, i, j: OrIt([x[0, 1], y[2], One]),
    "xor it": lambda x, y, i, j: XorIt([x[0, 1], y[2]]),
    "connectives": lambda x, y, i, j: (x[0, 0] & y[0]) | (x[1, 1] ^ ~y[1]),
    "equiv": lambda x, y, i, j: Equiv(x[0, 0], y[0], x[1, 1]),
    "empty equiv": lambda x, y, i, j: Equiv(),
    "implication": lambda x, y, i, j: Implication(x[0, 0], One),
    "if then else": lambda x, y, i, j: IfThenElse(x[0, 0], y[1], ~x[2, 2]),
    "constants": lambda x, y, i, j: One & Zero,
    "linear term": lambda x, y, i, j: 3 * x[1, 1] + x[1, 2] - 2 * y[0],
    "power": lambda x, y, i, j: Sum(pow_expression(2, i) * y[i], i=range(4)) <= 5,
    "objective": lambda x, y, i, j: (2 * (x[1, 1] + y[3])).maxsat(True),
    "element out of range": lambda x, y, i, j: Sum(y[i], i=range(7)),
    "power outside a for clause": lambda x, y, i, j: pow_expression(2, i) * y[0],
    "term where a formula belongs": lambda x, y, i, j: And(Sum(y[i], i=range(2)), i=range(1)),
    "unknown name": lambda x, y, i, j: Sum(Expression("z(1)"), i=range(2)) <= 1,
}


@pytest.mark.parametrize("make", TEXTS.values(), ids=TEXTS.keys())
def test_model_texts_evaluate_as_with_eval(make):
    ma, *va = new_model()
    mb, *vb = new_model()
    text = str(make(*va))
    assert text == str(make(*vb))
    assert _formula_is_native(text)
    ns_a, ns_b = namespace(ma), namespace(mb)
    a = outcome(_eval_formula, text, ns_a)
    b = outcome(eval, text, ns_b, ns_b)
    assert a[0] == b[0]
    if a[0] == "value":
        assert shown(a[1]) == shown(b[1])
    else:
        assert a == b
    assert sorted(ns_a) == sorted(ns_b)
    assert manager_state(ma) == manager_state(mb)


class Unprintable:
    def __str__(self):
        raise RuntimeError("no text form")


def test_unknown_name_and_generator_errors():
    model, x, y, i, j = new_model()
    with pytest.raises(NameError, match="^name 'z' is not defined$") as info:
        _eval_formula("Sum(*[z(i).to_pb() for i in range(0, 2)])", namespace(model))
    assert info.value.name == "z"
    # The generator variable names its element after its arguments' text forms.
    text = "Sum(*[y(i, bad).to_pb() for i in range(0, 2)])"
    ns_a, ns_b = namespace(model), namespace(model)
    ns_a["bad"] = ns_b["bad"] = Unprintable()
    a = outcome(_eval_formula, text, ns_a)
    assert a[:3] == ("error", RuntimeError, "no text form")
    assert a == outcome(eval, text, ns_b, ns_b)


# --- whole models: native against eval forced -----------------------------------------------------

# A conditional expression is outside the native forms and means exactly its first branch: a
# constraint written through it is evaluated by `eval`, with the same effects.
FORCE_HEAD, FORCE_TAIL = "(", " if True else None)"


class Road:
    """Hands constraints to a model as they are (native) or through `eval`."""

    def __init__(self, forced):
        self.forced = forced
        self.replacements = {}

    def _wrap(self, inner, shown_as, soft):
        text = FORCE_HEAD + inner + FORCE_TAIL
        assert not _formula_is_native(text)
        self.replacements[text] = shown_as
        return Expression(text, soft)

    def hard(self, e):
        return self._wrap(str(e), str(e), e.soft) if self.forced else e

    def term(self, e):
        return self._wrap(_expr2pb(e), str(e), True) if self.forced else e

    def undo(self, text):
        for wrapped, original in self.replacements.items():
            text = text.replace(wrapped, original)
        return text


def cnf_fill(m, r, x, y, i, j):
    m.add_constraint(r.hard(Sum(x[i, j], j=range(4)) == 1), i=range(4))
    m.add_constraint(r.hard(Sum(x[i, j], i=range(4)) <= 1), j=range(4))
    m.add_constraint(r.hard(Implication(x[i, 0], y[i])), i=range(4))
    m.add_constraint(r.hard(Or(y[i], i=range(5)) & ~y[4]))
    m.add_constraint(r.hard(Equiv(y[0], x[0, 1] | x[1, 0])))
    m.add_constraint(r.hard(IfThenElse(y[1], Xor(x[2, j], j=range(3)), y[2])))
    m.add_constraint(r.hard(x[3, 3]))
    m.add_target(r.term(SumIt([y[0], y[1]]) + 2 * y[2] + Sum(pow_expression(2, i) * x[i, i],
                                                              i=range(3))))
    return m.build_cnf(4, True)


def wcnf_fill(m, r, x, y, i, j):
    m.add_constraint(r.hard(Sum(y[i], i=range(5)) >= 2))
    m.add_constraint(r.hard(And(Sum(x[i, j], i=range(3)) <= 1, j=range(4))))
    m.add_soft_constraint(r.term(y[1]), 3)
    m.add_soft_constraint(r.term(x[i, 0] + 2 * x[i, 1]), 2, True, i=range(4))
    m.add_soft_constraint(r.term(Sum(y[i], i=[0, 3])), 1)
    return m.build_wcnf()


def redundant_and_contradiction(m, r, x, y, i, j):
    m.add_constraint(r.hard(Implication(x[0, 0], One)))
    m.add_constraint(r.hard(Zero & y[0]))


def failing_generator(m, r, x, y, i, j):
    m.add_constraint(r.hard(Sum(y[i], i=range(2)) <= 1))
    m.add_constraint(r.hard(Sum(y[i], i=range(9)) <= 1))
    return m.build_cnf()


def unknown_name(m, r, x, y, i, j):
    m.add_constraint(r.hard(Sum(Expression("z(i)"), i=range(2)) <= 1))


def term_as_constraint(m, r, x, y, i, j):
    m.add_constraint(r.hard(Sum(y[i], i=range(2))))


def target_contradiction(m, r, x, y, i, j):
    m.add_constraint(r.hard(y[0]))
    m.add_target(r.term(y[1] + y[2]))
    return m.build_cnf(5, False)


MODELS = {
    "cnf with target": cnf_fill,
    "wcnf": wcnf_fill,
    "redundant and contradiction": redundant_and_contradiction,
    "element out of range": failing_generator,
    "unknown name": unknown_name,
    "term as constraint": term_as_constraint,
    "target contradiction": target_contradiction,
}


def run_model(fill, forced, sink):
    road = Road(forced)
    mgr = se.manager()
    model = Model(mgr, "m")
    x = model.create_variables("x", a=4, b=4)
    y = model.create_variables("y", c=5)
    i, j = model.get_indexes(["i", "j"])
    del sink.calls[:]
    result = outcome(fill, model, road, x, y, i, j)
    if result[0] == "error":
        result = result[:2] + (road.undo(result[2]),) + result[3:]
    storage = model.get_cnf_storage()
    facts = {
        "result": result,
        "logs": [(road.undo(str(msg)), level) for msg, level in sink.calls
                 if "Duration = " not in str(msg)],
        "manager": manager_state(model),
    }
    if storage is not None:
        facts["hard"] = [list(c) for c in storage.hard_clauses()]
        facts["soft"] = [(list(c), w) for c, w in storage.soft_clauses()]
        facts["counts"] = (storage.num_hard_clauses(), storage.get_variable_count())
        mapping = model.get_var_mapping()
        facts["map"] = None if mapping is None else dict(mapping.get_var_map())
    return facts


@pytest.mark.parametrize("fill", MODELS.values(), ids=MODELS.keys())
def test_models_built_natively_equal_models_built_through_eval(fill, log_sink):
    native = run_model(fill, False, log_sink)
    forced = run_model(fill, True, log_sink)
    assert native == forced
    assert native["logs"]


# --- the one switch of the native routes ---------------------------------------------------------

SWITCH = "ZK_ENCODER_LP1_EVAL"


@pytest.mark.parametrize("fill", MODELS.values(), ids=MODELS.keys())
def test_models_built_natively_equal_models_built_with_native_routes_off(fill, log_sink,
                                                                        monkeypatch):
    monkeypatch.delenv(SWITCH, raising=False)
    native = run_model(fill, False, log_sink)
    monkeypatch.setenv(SWITCH, "host")
    switched = run_model(fill, False, log_sink)
    assert native == switched


def test_switched_off_texts_go_to_eval(monkeypatch):
    # The host's reading refuses this depth; the native reading does not.
    deep = "(" * 300 + "1" + ")" * 300
    monkeypatch.delenv(SWITCH, raising=False)
    assert _eval_formula(deep, {}) == 1
    monkeypatch.setenv(SWITCH, "host")
    assert _formula_is_native(deep)
    with pytest.raises(SyntaxError, match="too many nested parentheses"):
        _eval_formula(deep, {})
    # Any other value leaves the native routes on.
    monkeypatch.setenv(SWITCH, "native")
    assert _eval_formula(deep, {}) == 1
