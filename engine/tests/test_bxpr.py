"""Boolean expressions of the engine stand-in: construction, text forms, Tseytin clause forms."""

import copy
import gc
import itertools
import random

import pytest
from pysat.solvers import Solver

import nubrix.sorn_engine.bxpr as bx

PREFIX = "_bxpr_aux"


@pytest.fixture
def ctx():
    return bx.Context()


@pytest.fixture
def xyz(ctx):
    return [ctx.get_var(n) for n in ("x", "y", "z")]


# ------------------------------------------------------------------------------------------
# Random formulas: a Python tree that evaluates itself, and its engine expression.


class Gen:
    """Random formula trees over `nvars` variables; subtrees are reused to make DAGs."""

    def __init__(self, rng, nvars):
        self.rng = rng
        self.nvars = nvars
        self.pool = []

    def tree(self, depth):
        rng = self.rng
        if self.pool and rng.random() < 0.15:
            return rng.choice(self.pool)
        if depth == 0 or rng.random() < 0.2:
            r = rng.random()
            if r < 0.03:
                return ("const", rng.random() < 0.5)
            t = ("var", rng.randrange(self.nvars))
            return ("not", t) if rng.random() < 0.4 else t
        op = rng.choice(["and", "or", "xor", "eq", "impl", "ite", "not", "and_raw", "and", "or"])
        if op == "not":
            t = ("not", self.tree(depth - 1))
        elif op == "impl":
            t = ("impl", self.tree(depth - 1), self.tree(depth - 1))
        elif op == "ite":
            t = ("ite", self.tree(depth - 1), self.tree(depth - 1), self.tree(depth - 1))
        else:
            k = rng.choice([0, 1, 2, 2, 3, 3, 4, 5, 6, 2, 3])
            kids = [self.tree(depth - 1) for _ in range(k)]
            if kids and rng.random() < 0.2:
                kids.append(rng.choice(kids))  # repeated operand
            t = (op, kids)
        self.pool.append(t)
        return t


def evaluate(t, a):
    op = t[0]
    if op == "const":
        return t[1]
    if op == "var":
        return a[t[1]]
    if op == "not":
        return not evaluate(t[1], a)
    if op == "impl":
        return (not evaluate(t[1], a)) or evaluate(t[2], a)
    if op == "ite":
        return evaluate(t[2], a) if evaluate(t[1], a) else evaluate(t[3], a)
    vals = [evaluate(k, a) for k in t[1]]
    if op in ("and", "and_raw"):
        return all(vals)
    if op == "or":
        return any(vals)
    if op == "xor":
        return sum(vals) % 2 == 1
    if op == "eq":
        return all(vals) or not any(vals)
    raise AssertionError(op)


def build(t, vs):
    op = t[0]
    if op == "const":
        return bx.one() if t[1] else bx.zero()
    if op == "var":
        return vs[t[1]]
    if op == "not":
        return ~build(t[1], vs)
    if op == "impl":
        return bx.impl_s(build(t[1], vs), build(t[2], vs))
    if op == "ite":
        return bx.ite_s(build(t[1], vs), build(t[2], vs), build(t[3], vs))
    fn = {"and": bx.and_s, "or": bx.or_s, "xor": bx.xor_s, "eq": bx.eq_s, "and_raw": bx.and_}[op]
    return fn([build(k, vs) for k in t[1]])


# ------------------------------------------------------------------------------------------
# Reading a clause form the way the library does: get_args() and str().


def literal_of(e):
    assert isinstance(e, (bx.Variable, bx.Complement)), f"not a literal: {e!r}"
    text = str(e)
    if isinstance(e, bx.Complement):
        assert text == "~" + str(~e)
        return str(~e), False
    return text, True


def clauses_of(form):
    """The clauses of a clause form as lists of (name, sign); checks the shape on the way."""
    assert not isinstance(form, (bx.Zero, bx.One))
    clauses = form.get_args() if isinstance(form, bx.And) else [form]
    out = []
    for c in clauses:
        lits = c.get_args() if isinstance(c, bx.Or) else [c]
        out.append([literal_of(lit) for lit in lits])
    return out


def aux_names(form, prefix=PREFIX):
    return sorted((str(v) for v in form.support() if str(v).startswith(prefix + "_")),
                  key=lambda s: int(s[len(prefix) + 1:]))


def check_aux_numbering(form, prefix=PREFIX, taken=()):
    """Auxiliaries are prefix_k, k from 0 without gaps (names the formula itself uses skipped)."""
    ks = sorted(int(n[len(prefix) + 1:]) for n in aux_names(form, prefix) if n not in taken)
    taken_ks = {int(n[len(prefix) + 1:]) for n in taken}
    free = itertools.islice((k for k in itertools.count() if k not in taken_ks), len(ks))
    assert ks == list(free)
    return len(ks)


def models_match(form, names, truth, seed):
    """Every assignment of `names` extends to a model of `form` exactly when truth(a) holds."""
    numbers = {n: i + 1 for i, n in enumerate(names)}
    if isinstance(form, bx.One):
        return all(truth(a) for a in itertools.product([False, True], repeat=len(names)))
    if isinstance(form, bx.Zero):
        return not any(truth(a) for a in itertools.product([False, True], repeat=len(names)))
    cnf = []
    for clause in clauses_of(form):
        row = []
        for name, sign in clause:
            n = numbers.setdefault(name, len(numbers) + 1)
            row.append(n if sign else -n)
        cnf.append(row)
    with Solver(name="m22", bootstrap_with=cnf) as solver:
        for a in itertools.product([False, True], repeat=len(names)):
            assumptions = [i + 1 if v else -(i + 1) for i, v in enumerate(a)]
            if solver.solve(assumptions=assumptions) != truth(a):
                raise AssertionError(f"seed {seed}: assignment {a} disagrees")
    return True


# ------------------------------------------------------------------------------------------
# Tseytin: meaning and shape on random formulas


@pytest.mark.parametrize("seed", range(100))
def test_tseytin_random_formulas_keep_their_models(seed):
    rng = random.Random(seed)
    nvars = rng.randint(1, 8)
    ctx = bx.Context()
    names = [f"v({i})" for i in range(nvars)]
    vs = [ctx.get_var(n) for n in names]
    gen = Gen(rng, nvars)
    for _ in range(8):
        tree = gen.tree(rng.randint(2, 6))
        expr = build(tree, vs)
        form = expr.tseytin(ctx, PREFIX)
        msg = f"seed {seed}: {expr} -> {form}"
        if not isinstance(form, (bx.Zero, bx.One)):
            for clause in clauses_of(form):
                for name, _ in clause:
                    assert name in names or name.startswith(PREFIX + "_"), msg
            check_aux_numbering(form)
            assert form.is_cnf(), msg
        assert models_match(form, names, lambda a: evaluate(tree, a), seed), msg


@pytest.mark.parametrize("seed", range(10))
def test_tseytin_of_negated_formula_is_its_complement(seed):
    # The same DAG at both polarities: auxiliaries defined one way must not leak into the other.
    rng = random.Random(1000 + seed)
    ctx = bx.Context()
    names = [f"v{i}" for i in range(6)]
    vs = [ctx.get_var(n) for n in names]
    tree = Gen(rng, 6).tree(4)
    expr = build(tree, vs)
    both = bx.and_s([bx.or_s([expr, vs[0]]), bx.or_s([~expr, vs[1]])])
    form = both.tseytin(ctx, PREFIX)

    def truth(a):
        f = evaluate(tree, a)
        return (f or a[0]) and ((not f) or a[1])

    assert models_match(form, names, truth, seed)


CONSTANT_CASES = [
    ("and_s of nothing", lambda x, y: bx.and_s([]), bx.One),
    ("or_s of nothing", lambda x, y: bx.or_s([]), bx.Zero),
    ("conjunction with empty or_s", lambda x, y: bx.and_s([x, bx.or_s([]), y]), bx.Zero),
    ("and_ with empty or_s", lambda x, y: bx.and_([x, bx.or_s([])]), bx.Zero),
    ("and_ of nothing", lambda x, y: bx.and_([]), bx.One),
    ("and_ of ones", lambda x, y: bx.and_([bx.one(), bx.and_s([])]), bx.One),
    ("x or not x", lambda x, y: bx.or_s([x, ~x]), bx.One),
    ("and_ of x and not x", lambda x, y: bx.and_([x, y, ~x]), bx.Zero),
    ("nested contradiction", lambda x, y: bx.and_s([x, bx.and_s([y, ~x])]), bx.Zero),
    ("xor of a repeat", lambda x, y: bx.xor_s([x, y, x, y]), bx.Zero),
    ("xor with one", lambda x, y: bx.xor_s([x, bx.one(), ~x]), bx.Zero),
    ("eq of x and not x", lambda x, y: bx.eq_s([x, ~x]), bx.Zero),
    ("eq of one item", lambda x, y: bx.eq_s([x]), bx.One),
    ("impl from zero", lambda x, y: bx.impl_s(bx.zero(), x), bx.One),
    ("impl to itself", lambda x, y: bx.impl_s(bx.and_s([x, y]), bx.and_s([x, y])), bx.One),
    ("ite equal branches", lambda x, y: bx.ite_s(x, bx.one(), bx.one()), bx.One),
    ("ite of constants", lambda x, y: bx.ite_s(bx.one(), bx.zero(), x), bx.Zero),
]


@pytest.mark.parametrize("make, expected", [c[1:] for c in CONSTANT_CASES],
                         ids=[c[0] for c in CONSTANT_CASES])
def test_tseytin_reports_constants(ctx, make, expected):
    x, y = ctx.get_var("x"), ctx.get_var("y")
    form = make(x, y).tseytin(ctx, PREFIX)
    assert isinstance(form, expected)
    assert form.support() == frozenset()
    assert form.get_args() == ()


def test_clause_shaped_input_passes_through_without_auxiliaries(ctx):
    # What a pseudo-Boolean encoding gives: conjunctions of disjunctions of literals, combined
    # into a conjunction again.
    rng = random.Random(7)
    vs = [ctx.get_var(f"x({i})") for i in range(300)]
    blocks = []
    for b in range(5):
        clauses = []
        for k in range(400):
            lits = [ctx.get_var(f"u({b},{k})")] + rng.sample(vs, rng.randint(1, 5))
            clauses.append(bx.or_s([v if rng.random() < 0.5 else ~v for v in lits]))
        blocks.append(clauses)
    expr = bx.and_s([bx.and_s(b) for b in blocks])
    form = expr.tseytin(ctx, PREFIX)
    assert aux_names(form) == []
    expected = [str(c) for b in blocks for c in b]
    assert [str(c) for c in form.get_args()] == expected


def test_nested_disjunctions_give_one_clause(ctx):
    x, y, z, w, u, v = (ctx.get_var(n) for n in "xyzwuv")
    expr = bx.or_s([bx.or_s([x, y]), bx.impl_s(z, w), ~bx.and_s([u, v])])
    form = expr.tseytin(ctx, PREFIX)
    assert isinstance(form, bx.Or)
    assert [str(lit) for lit in form.get_args()] == ["x", "y", "~z", "w", "~u", "~v"]


SHAPES = [
    ("implication over a clause block",
     lambda x, y, z, w: bx.impl_s(x, bx.and_s([bx.or_s([y, z]), bx.or_s([~y, w])])),
     [["~x", "y", "z"], ["~x", "~y", "w"]]),
    ("disjunction over a conjunction", lambda x, y, z, w: bx.or_s([x, bx.and_s([y, z])]),
     [["x", "y"], ["x", "z"]]),
    ("repeated literal merged",
     lambda x, y, z, w: bx.or_s([x, bx.and_s([bx.or_s([x, y]), z])]), [["x", "y"], ["x", "z"]]),
    ("clause that always holds dropped",
     lambda x, y, z, w: bx.or_s([x, bx.and_s([bx.or_s([~x, y]), z])]), [["x", "z"]]),
    ("negated disjunction at the top", lambda x, y, z, w: ~bx.or_s([x, ~y, bx.and_s([z, w])]),
     [["~x"], ["y"], ["~z", "~w"]]),
]


@pytest.mark.parametrize("make, clauses", [c[1:] for c in SHAPES], ids=[c[0] for c in SHAPES])
def test_clauses_inside_clauses_need_no_auxiliaries(ctx, make, clauses):
    vs = [ctx.get_var(n) for n in "xyzw"]
    form = make(*vs).tseytin(ctx, PREFIX)
    assert form.clause_texts() == clauses


@pytest.mark.parametrize("combine", [
    lambda a, b: a & b, lambda a, b: a | b, lambda a, b: bx.impl_s(~b, a),
    lambda a, b: ~(~a | ~b),
], ids=["and", "or", "implication", "negated or"])
def test_long_chains_become_one_flat_connective(ctx, combine):
    # ((v0 op v1) op v2) op ...: merged in one pass, in order, without auxiliaries.
    vs = [ctx.get_var(f"v{i}") for i in range(50_000)]
    e = vs[0]
    for v in vs[1:]:
        e = combine(e, v)
    form = e.tseytin(ctx, PREFIX)
    assert aux_names(form) == []
    assert len(form.get_args()) == len(vs)
    texts = [str(a) for a in form.get_args()]
    assert texts == [str(v) for v in vs] or texts == [str(v) for v in vs[::-1]]


def test_pbct_translation_example(ctx):
    x1, y1, a = ctx.get_var("x(1)"), ctx.get_var("y(1)"), ctx.get_var("_pbct_aux_0")
    expr = bx.and_s([bx.or_s([x1, ~a]), bx.or_s([a, y1])])
    form = expr.tseytin(ctx, PREFIX)
    assert [[str(lit) for lit in c.get_args()] for c in form.get_args()] == [
        ["x(1)", "~_pbct_aux_0"], ["_pbct_aux_0", "y(1)"]]


def test_auxiliaries_live_in_the_given_context_and_restart_per_result(ctx, xyz):
    x, y, z = xyz
    expr = bx.or_s([bx.and_s([x, y]), bx.and_s([y, z]), bx.xor_s([x, z])])
    first = expr.tseytin(ctx, "t")
    n = check_aux_numbering(first, "t")
    assert n >= 2
    aux = {str(v): v for v in first.support() if str(v).startswith("t_")}
    assert ctx.get_var("t_0") == aux["t_0"]
    other = bx.or_s([bx.and_s([x, z]), bx.and_s([~y, z])]).tseytin(ctx, "t")
    check_aux_numbering(other, "t")
    assert "t_0" in {str(v) for v in other.support()}


def test_auxiliary_names_skip_the_formulas_own_variables(ctx):
    p0, p1, q = ctx.get_var("p_0"), ctx.get_var("p_1"), ctx.get_var("q")
    expr = bx.or_s([bx.and_s([p0, q]), bx.and_s([p1, ~q]), bx.xor_s([p0, p1, q, ~p0, q])])
    form = expr.tseytin(ctx, "p")
    taken = ("p_0", "p_1")
    assert check_aux_numbering(form, "p", taken) >= 1
    truth = lambda a: (a[0] and a[2]) or (a[1] and not a[2]) or (not a[1])
    assert models_match(form, ["p_0", "p_1", "q"], truth, "fixed")


def test_long_xor_and_equivalence_chains(ctx):
    vs = [ctx.get_var(f"v{i}") for i in range(8)]
    names = [str(v) for v in vs]
    cases = [
        (bx.xor_s(vs), lambda a: sum(a) % 2 == 1),
        (~bx.xor_s(vs[:7]), lambda a: sum(a[:7]) % 2 == 0),
        (bx.eq_s(vs[:6]), lambda a: len(set(a[:6])) == 1),
        (~bx.eq_s(vs[2:]), lambda a: len(set(a[2:])) == 2),
        (bx.or_s([bx.xor_s(vs[:5]), bx.eq_s(vs[4:])]),
         lambda a: sum(a[:5]) % 2 == 1 or len(set(a[4:])) == 1),
    ]
    for i, (expr, truth) in enumerate(cases):
        form = expr.tseytin(ctx, PREFIX)
        check_aux_numbering(form)
        assert models_match(form, names, truth, f"case {i}")


def test_deep_expressions_need_no_deep_stack(ctx):
    # Far deeper than any recursive walk would survive.
    depth = 200_000
    x, y = ctx.get_var("x"), ctx.get_var("y")
    vs = [ctx.get_var(f"v{i}") for i in range(depth)]
    e = x
    for i, v in enumerate(vs):
        e = bx.or_s([e, v]) if i % 2 else bx.and_s([e, ~v])
    text = str(e)
    assert text.startswith("Or(And(Or(") and text.endswith(")")
    assert len(e.support()) == depth + 1
    form = bx.and_s([e, ~y]).tseytin(ctx, PREFIX)
    assert form.is_cnf()
    names, offsets, lits = form.clause_arrays()
    assert len(offsets) == len(form.get_args()) + 1
    # Setting the last variable settles the or at the top: a one-literal check of meaning.
    cnf = [list(map(int, lits[offsets[i]:offsets[i + 1]])) for i in range(len(offsets) - 1)]
    num = {n: i + 1 for i, n in enumerate(names)}
    with Solver(name="m22", bootstrap_with=cnf) as s:
        assert s.solve(assumptions=[num[f"v{depth - 1}"], -num["y"]])
        assert not s.solve(assumptions=[num["y"]])


# ------------------------------------------------------------------------------------------
# Construction, text forms and the Python surface


NAMES = ["x(i + 1,2)", "x(0,3)", "a b", "2*x+1", "(", ")", "", "~lead", "_pbct_aux_7", "ünï"]


@pytest.mark.parametrize("name", NAMES, ids=repr)
def test_names_round_trip_through_text(ctx, name):
    v = ctx.get_var(name)
    assert isinstance(v, bx.Variable) and isinstance(v, bx.BaseExpr)
    assert str(v) == name and v.name == name
    assert isinstance(~v, bx.Complement)
    assert str(~v) == "~" + name
    assert ctx.get_var(name) == v and ~~v == v
    assert [str(u) for u in v.support()] == [name]


def test_one_variable_per_name_and_context(ctx):
    a, b = ctx.get_var("x"), ctx.get_var("x")
    assert a == b and hash(a) == hash(b)
    assert len(bx.and_s([a, b]).support()) == 1
    other = bx.Context().get_var("x")
    assert other != a
    with pytest.raises(ValueError, match="different contexts"):
        bx.and_s([a, other])
    with pytest.raises(ValueError, match="context"):
        a.tseytin(bx.Context(), PREFIX)


def test_and_keeps_every_item_in_order(xyz):
    x, y, _ = xyz
    items = [x, x, ~x, y, bx.one(), x]
    e = bx.and_(items)
    assert isinstance(e, bx.And)
    assert list(e.get_args()) == items
    assert [str(a) for a in e.get_args()] == ["x", "x", "~x", "y", "1", "x"]
    assert bx.and_([]).get_args() == () and isinstance(bx.and_([]), bx.And)
    assert bx.and_([y]).get_args() == (y,)


N_ARY = [
    ("and_s []", bx.and_s, [], bx.One),
    ("or_s []", bx.or_s, [], bx.Zero),
    ("xor_s []", bx.xor_s, [], bx.Zero),
    ("eq_s []", bx.eq_s, [], bx.One),
    ("and_s [x]", bx.and_s, ["x"], bx.Variable),
    ("or_s [~x]", bx.or_s, ["~x"], bx.Complement),
    ("xor_s [x]", bx.xor_s, ["x"], bx.Variable),
    ("eq_s [x]", bx.eq_s, ["x"], bx.One),
    ("and_s [x, y]", bx.and_s, ["x", "y"], bx.And),
    ("or_s [x, y]", bx.or_s, ["x", "y"], bx.Or),
    ("xor_s [x, y]", bx.xor_s, ["x", "y"], bx.Xor),
    ("eq_s [x, y, z]", bx.eq_s, ["x", "y", "z"], bx.Equal),
    ("xor_s [~x, y]", bx.xor_s, ["~x", "y"], bx.Not),
]


@pytest.mark.parametrize("fn, operands, cls", [c[1:] for c in N_ARY], ids=[c[0] for c in N_ARY])
def test_n_ary_connectives_of_any_length(ctx, fn, operands, cls):
    lits = [~ctx.get_var(o[1:]) if o.startswith("~") else ctx.get_var(o) for o in operands]
    assert isinstance(fn(lits), cls)
    assert isinstance(fn(tuple(lits)), cls)
    assert isinstance(fn(iter(lits)), cls)


def test_connectives_semantics_by_truth_tables(ctx):
    vs = [ctx.get_var(f"v{i}") for i in range(3)]
    x, y, z = vs
    table = {
        "impl": (bx.impl_s(x, y), lambda a, b, c: (not a) or b),
        "ite": (bx.ite_s(x, y, z), lambda a, b, c: b if a else c),
        "xor3": (bx.xor_s(vs), lambda a, b, c: (a + b + c) % 2 == 1),
        "eq3": (bx.eq_s(vs), lambda a, b, c: a == b == c),
        "nand": (~bx.and_s(vs), lambda a, b, c: not (a and b and c)),
    }
    for name, (expr, truth) in table.items():
        form = expr.tseytin(ctx, PREFIX)
        assert models_match(form, ["v0", "v1", "v2"], lambda a: truth(*a), name)


def test_equal_subexpressions_are_shared(xyz):
    x, y, z = xyz
    a = bx.and_s([x, bx.or_s([y, ~z])])
    b = bx.and_s([x, bx.or_s([y, ~z])])
    assert a == b and hash(a) == hash(b)
    assert a.get_args()[1] == b.get_args()[1]
    assert bx.and_s([x, x, y]) == bx.and_s([x, y])
    assert bx.and_s([x, bx.one()]) == x
    assert isinstance(bx.and_s([x, ~x]), bx.Zero)
    assert isinstance(bx.or_s([y, ~y]), bx.One)
    assert bx.xor_s([~x, y]) == ~bx.xor_s([x, y])


def test_operators(xyz):
    x, y, z = xyz
    assert (x & y) == bx.and_s([x, y])
    assert (x | y) == bx.or_s([x, y])
    assert (x ^ y) == bx.xor_s([x, y])
    assert isinstance(~(x & y), bx.Not)
    assert (~(x & y)).get_args() == (x & y,)
    assert ~~(x | z) == (x | z)
    assert isinstance(~bx.one(), bx.Zero) and isinstance(~bx.zero(), bx.One)
    assert copy.copy(x) is x and copy.deepcopy([x & y])[0] == x & y
    with pytest.raises(TypeError):
        x & 1


def test_text_forms(xyz):
    x, y, z = xyz
    assert str(bx.and_s([x, ~y])) == "And(x, ~y)"
    assert str(bx.or_s([x, bx.and_s([y, z])])) == "Or(x, And(y, z))"
    assert str(~bx.or_s([x, y])) == "~Or(x, y)"
    assert str(bx.impl_s(x, y)) == "Implies(x, y)"
    assert str(bx.ite_s(x, y, z)) == "ITE(x, y, z)"
    assert str(bx.eq_s([x, y])) == "Equal(x, y)"
    assert str(bx.one()) == "1" and str(bx.zero()) == "0"


def test_support_is_a_set_of_variables(xyz):
    x, y, z = xyz
    s = bx.or_s([bx.and_s([x, ~y]), bx.xor_s([~x, y])]).support()
    assert isinstance(s, frozenset)
    assert s == {x, y}
    assert all(isinstance(v, bx.Variable) for v in s)
    assert bx.one().support() == frozenset()


BAD_OPERANDS = [
    ("integer item", lambda x: bx.and_s([x, 1])),
    ("None item", lambda x: bx.or_s([None])),
    ("bare expression", lambda x: bx.xor_s(x)),
    ("string item", lambda x: bx.eq_s(["x"])),
    ("impl of int", lambda x: bx.impl_s(x, 0)),
]


@pytest.mark.parametrize("call", [c[1] for c in BAD_OPERANDS], ids=[c[0] for c in BAD_OPERANDS])
def test_non_expressions_are_refused(ctx, call):
    with pytest.raises(TypeError, match="bxpr"):
        call(ctx.get_var("x"))


def test_expressions_outlive_their_context():
    def make():
        c = bx.Context()
        x, y = c.get_var("x(1)"), c.get_var("y(1)")
        return bx.or_s([bx.and_s([x, y]), ~x]), x

    e, x = make()
    gc.collect()
    assert str(e) == "Or(And(x(1), y(1)), ~x(1))"
    assert {str(v) for v in e.support()} == {"x(1)", "y(1)"}
    assert str(bx.and_s([e, x])) == "And(Or(And(x(1), y(1)), ~x(1)), x(1))"


def test_variable_free_expressions_join_any_context(ctx, xyz):
    x = xyz[0]
    empty = bx.and_([])
    combined = bx.or_s([empty, x])
    assert str(combined) == "Or(And(), x)"  # operands are taken as they are...
    assert isinstance(combined.tseytin(ctx, PREFIX), bx.One)  # ...and simplified here
    e = bx.and_s([bx.xor_s([bx.and_([]), bx.and_([bx.zero()])]), x])
    assert isinstance(e.tseytin(ctx, PREFIX), bx.Variable)
    assert isinstance(empty.tseytin(bx.Context(), PREFIX), bx.One)


def test_bulk_readers_agree_with_get_args(ctx):
    vs = [ctx.get_var(f"v({i})") for i in range(6)]
    expr = bx.and_s([bx.or_s([bx.xor_s(vs[:3]), bx.and_s(vs[3:])]), bx.impl_s(vs[0], vs[5])])
    form = expr.tseytin(ctx, PREFIX)
    texts = form.clause_texts()
    assert texts == [[str(lit) for lit in (c.get_args() if isinstance(c, bx.Or) else [c])]
                     for c in form.get_args()]
    names, offsets, lits = form.clause_arrays()
    assert offsets.dtype.name == "int64" and lits.dtype.name == "int32"
    rebuilt = [[("~" if lit < 0 else "") + names[abs(lit) - 1] for lit in lits[a:b]]
               for a, b in zip(offsets[:-1], offsets[1:])]
    assert rebuilt == texts
    assert bx.one().clause_texts() == [] and bx.zero().clause_texts() == [[]]
    assert not expr.is_cnf()
    with pytest.raises(ValueError, match="clause form"):
        expr.clause_arrays()


@pytest.mark.parametrize("seed", range(10))
def test_clauses_in_one_call_equal_the_clause_by_clause_build(ctx, seed):
    rng = random.Random(seed)
    names = [ctx.get_var(f"v{k}") for k in range(5)]
    pool = names + [~v for v in names]
    clauses = [[rng.choice(pool) for _ in range(rng.randint(0, 4))]
               for _ in range(rng.randint(0, 6))]
    exprs = list({id(e): e for c in clauses for e in c}.values())
    picks = [next(k for k, e in enumerate(exprs) if e is lit) for c in clauses for lit in c]
    offsets = list(itertools.accumulate([len(c) for c in clauses], initial=0))
    built = bx.and_s([bx.or_s(c) for c in clauses])
    assert bx.clauses_s(exprs, offsets, picks) == built
    assert str(bx.clauses_s(exprs, offsets, picks)) == str(built)


def test_clauses_in_one_call_refuse_bad_offsets_and_picks(ctx):
    x = ctx.get_var("x")
    with pytest.raises(ValueError):
        bx.clauses_s([x], [0, 2], [0])
    with pytest.raises(IndexError):
        bx.clauses_s([x], [0, 1], [3])
