"""The expression language of the pseudo-Boolean front end.

An expression is a piece of formula text, not a tree: operators and constructors only join their
operands' texts, nothing is evaluated until a `Model` takes the expression in. Two sorts:

- pseudo-Boolean terms (`soft` true): a variable reference such as `x[i, j]`, `3 * x[0]`,
  `x[0] + x[1]`, `Sum`, `SumIt`, `pow_expression`; usable as soft constraints and targets;
- Boolean formulas (`soft` false): comparisons of a term with an integer (`<=`, `>=`, `==`) and
  the connectives `&`, `|`, `^`, `~`, `And`, `Or`, `Xor`, `Equiv`, `Implication`, `IfThenElse`,
  `AndIt`, `OrIt`, `XorIt`; usable as hard constraints.

Nothing checks that an operand's sort suits its place: such a text fails when the model
evaluates it. A refused operand is logged at error level and raised as `TypeError`.
"""

from __future__ import annotations

import typing as tp
from numbers import Integral

from ..core.zk_logger import *

def _expr2bx(expr: Expression) -> str: ...
def _expr2pb(expr: Expression) -> str: ...

class Expression:
    """A formula text and its sort: a pseudo-Boolean term (`soft` true) or a Boolean formula.

    Programs rarely make one directly: subscripting a variable family, the operators and the
    constructor classes make them. Expressions are values: no operation changes one. They are
    unhashable (`==` builds a constraint). Terms are true in a truth test; a Boolean formula
    refuses one.
    """

    _expr: str
    _soft: bool
    def __init__(self, expr: str = '', soft: bool = True) -> None:
        """Wraps a formula text.

        :param expr: the formula text, kept unchanged.
        :param soft: True for a pseudo-Boolean term, False for a Boolean formula.
        """
    def __add__(self, other: Expression) -> Expression:
        """`a + b`: the sum of two terms.

        :raises TypeError: `other` is not an expression (`x + 1`; constants go into bounds).
        """
    def __sub__(self, other: Expression) -> Expression:
        """`a - b`: `a` minus the term `b`.

        :raises TypeError: `other` is not an expression.
        """
    def __mul__(self, other: tp.Union[Integral, Expression]) -> Expression:
        """`a * n` (also `n * a`): the term with every coefficient times the integer `n`;
        `a * b` with an expression `b`, for a constant factor such as `pow_expression(2, i)`.

        :raises TypeError: `other` is neither an integer nor an expression (`x * 2.5`).
        """
    def __rmul__(self, other: int) -> Expression:
        """`n * a`: as `a * n`.

        :raises TypeError: `other` is not an integer.
        """
    def __le__(self, other: Integral) -> Expression:
        """`a <= n`: the constraint "the term is at most n" (a Boolean formula, not a truth value).

        :raises TypeError: `other` is not an integer.
        """
    def __ge__(self, other: Integral) -> Expression:
        """`a >= n`: the constraint "the term is at least n".

        :raises TypeError: `other` is not an integer.
        """
    def __eq__(self, other: Integral) -> Expression:  # type: ignore[override]
        """`a == n`: the constraint "the term equals n". Not a comparison of expressions.

        :raises TypeError: `other` is not an integer (`x == y` too).
        """
    def __and__(self, other: Expression) -> Expression:
        """`a & b`: both formulas hold. A variable reference stands for "the variable is true".

        :raises TypeError: `other` is not an expression.
        """
    def __or__(self, other: Expression) -> Expression:
        """`a | b`: at least one of the formulas holds.

        :raises TypeError: `other` is not an expression.
        """
    def __xor__(self, other: Expression) -> Expression:
        """`a ^ b`: exactly one of the two formulas holds.

        :raises TypeError: `other` is not an expression.
        """
    def __invert__(self) -> Expression:
        """`~a`: the formula does not hold."""
    def __bool__(self) -> bool:
        """True for a term. A Boolean formula has no truth value: `1 <= s <= 2` would keep only
        its last bound.

        :raises TypeError: a Boolean formula (write the two bounds as two constraints or join
            them with `&`).
        """
    def maxsat(self, minimization: bool) -> Expression:
        """The term as a MaxSAT objective; `Model.add_soft_constraint` makes this itself.

        :param minimization: True to minimise the term, False to maximise it.
        """
    @property
    def soft(self) -> bool:
        """True for a pseudo-Boolean term, False for a Boolean formula (read-only)."""
    def __str__(self) -> str:
        """The formula text."""
    __hash__: tp.ClassVar[None]  # type: ignore[assignment]

class VariableProxy(Expression):
    """One element of a variable family, as `x[i, j + 1]` gives it (a term, coefficient 1).

    In a Boolean place it stands for "the variable is true".
    """

    name: str
    def __init__(self, name: str) -> None:
        """:param name: the reference text, such as "x(i,j + 1)"."""
    def __repr__(self) -> str:
        """The reference text."""

class Sum(Expression):
    """The sum of a term over every combination of index values (a pseudo-Boolean term).

    `Sum(x[i, j], j=range(n))` is x[i,0] + ... + x[i,n-1]; several keywords nest, the first
    outermost. Without keywords it is the term itself. An index that no keyword binds keeps the
    values of the constraint's for-all keyword of that name.
    """

    def __init__(self, expr: Expression, **indexes) -> None:
        """:param expr: the term to sum; integer factors may use the indexes (`pow_expression`).
        :param indexes: index name to its values: a `range` or a sequence of integers, read as
            for-all values are (booleans are 0 and 1, numpy integers and arrays their ints).
        :raises TypeError: `expr` is not an expression.
        """

class And(Expression):
    """A formula holding for every combination of index values (a Boolean formula).

    `And(x[i] | y[i], i=range(3))` is (x[0] | y[0]) & (x[1] | y[1]) & (x[2] | y[2]).
    """

    def __init__(self, expr: Expression, **indexes) -> None:
        """:param expr: the formula.
        :param indexes: index name to its values: a `range` or a sequence of integers, read as
            for-all values are (booleans are 0 and 1, numpy integers and arrays their ints).
        :raises TypeError: `expr` is not an expression.
        """

class Or(Expression):
    """A formula holding for at least one combination of index values (a Boolean formula)."""

    def __init__(self, expr: Expression, **indexes) -> None:
        """:param expr: the formula.
        :param indexes: index name to its values: a `range` or a sequence of integers, read as
            for-all values are (booleans are 0 and 1, numpy integers and arrays their ints).
        :raises TypeError: `expr` is not an expression.
        """

class Xor(Expression):
    """A formula holding for an odd number of the combinations of index values."""

    def __init__(self, expr: Expression, **indexes) -> None:
        """:param expr: the formula.
        :param indexes: index name to its values: a `range` or a sequence of integers, read as
            for-all values are (booleans are 0 and 1, numpy integers and arrays their ints).
        :raises TypeError: `expr` is not an expression.
        """

class Equiv(Expression):
    """All the formulas have the same value: `Equiv(a, b, c)` (a Boolean formula)."""

    def __init__(self, *expressions: Expression) -> None:
        """:param expressions: the formulas, given one by one (`Equiv(*formulas)` for a list).
        :raises TypeError: an argument is not an expression.
        """

class Implication(Expression):
    """`if_expr` implies `then_expr` (a Boolean formula)."""

    def __init__(self, if_expr: Expression, then_expr: Expression) -> None:
        """:param if_expr: the condition.
        :param then_expr: what must hold when the condition does.
        :raises TypeError: an argument is not an expression.
        """

class IfThenElse(Expression):
    """`then_expr` where `if_expr` holds, `else_expr` where it does not (a Boolean formula)."""

    def __init__(self, if_expr: Expression, then_expr: Expression,
                 else_expr: Expression) -> None:
        """:param if_expr: the condition.
        :param then_expr: the formula when the condition holds.
        :param else_expr: the formula when it does not.
        :raises TypeError: an argument is not an expression.
        """

class SumIt(Expression):
    """The sum of the terms of a sequence: `SumIt([3 * x[0], x[1]])` (a pseudo-Boolean term).

    Use it (or `Sum`) where Python's `sum()` would fail. An empty sequence is the empty sum,
    with a warning.
    """

    def __init__(self, expressions: tp.Sequence[Expression]) -> None:
        """:param expressions: a list or tuple of terms (not a generator).
        :raises TypeError: `expressions` is not a sequence, or an item is not an expression.
        """

class AndIt(Expression):
    """All the formulas of a sequence hold (a Boolean formula)."""

    def __init__(self, expressions: tp.Sequence[Expression]) -> None:
        """:param expressions: a list or tuple of formulas (not a generator).
        :raises TypeError: `expressions` is not a sequence, or an item is not an expression.
        """

class OrIt(Expression):
    """At least one formula of a sequence holds: `OrIt([x[0], x[1]])` is a clause."""

    def __init__(self, expressions: tp.Sequence[Expression]) -> None:
        """:param expressions: a list or tuple of formulas (not a generator).
        :raises TypeError: `expressions` is not a sequence, or an item is not an expression.
        """

class XorIt(Expression):
    """An odd number of the formulas of a sequence hold (a Boolean formula)."""

    def __init__(self, expressions: tp.Sequence[Expression]) -> None:
        """:param expressions: a list or tuple of formulas (not a generator).
        :raises TypeError: `expressions` is not a sequence, or an item is not an expression.
        """

One: Expression
"""The constant true, for use inside formulas."""
Zero: Expression
"""The constant false, for use inside formulas."""

def pow_expression(base: int, exp) -> Expression:
    """`base ** exp` as a constant factor of a term: `Sum(pow_expression(2, i) * x[i], i=range(3))`
    is x[0] + 2 x[1] + 4 x[2]. The operands are written without parentheses.

    :param base: an integer.
    :param exp: an integer or an index bound by the surrounding `Sum` or for-all keyword.
    """
