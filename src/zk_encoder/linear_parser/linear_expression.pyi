"""Text expressions of the first-generation linear model.

Subscripting a variable block (`x[i, j + 1]`) gives a `LinearVariableProxy`; the operators
`+`, `-`, `*` with numbers and other expressions join texts, and `<=`, `>=`, `==` with a number
set a bound. Nothing is evaluated here: the model evaluates the text when it receives a
constraint or a target. `Sum` and `SumIt` (exported by `zk_encoder.linear_parser`, not by the
package top level, whose `Sum` and `SumIt` belong to the pseudo-Boolean models) add expressions
up.
"""

from __future__ import annotations

import typing as tp
from numbers import Integral, Real

from .._exceptions import FormulaError
from ..core.zk_logger import *

class LinearExpression:
    """The text of a linear (or, for a target, quadratic) expression, with optional bounds.

    `2 * x[i] + y[i] - 3` is an unbounded expression; `x[i] + y[i] <= 4` a bounded one, a
    finished constraint: it takes no further arithmetic or comparison (`FormulaError`) and has
    no truth value (`TypeError`), so chained comparisons (`1 <= e <= 5`) and `!=` are refused;
    give both bounds to `add_constraint` instead. There is no `<`, `>`, division or power.
    Expressions are unhashable.

    A number (int, bool, float, a numpy scalar, a `Fraction`) is written into the text as the
    plain int or float it stands for, so `np.float32(0.1) * x[0]` has the coefficient
    0.10000000149011612 and `Fraction(1, 2) * x[0]` the coefficient 0.5; numpy's operators on the
    left (`np.float64(2) * x[0]`) give what the same operands give the other way round, and a
    numpy array times an expression is refused as the expression times the array is.

    Operators raise `TypeError` ("Type 'LinearExpression' is expected for left side of
    expression") for an operand that is neither a number nor a `LinearExpression`, `TypeError`
    for a complex number ("Coefficient must be a real number, not complex: 1j"; "Constant ..."
    for a term added or subtracted), `ValueError` for NaN or an infinity ("Coefficient must be a
    finite number, not nan"), and `FormulaError` ("It is forbidden to change the formula after
    setting the boundaries") for a bounded operand. A comparison with None raises `TypeError`
    ("'<=' not supported between instances of 'LinearVariableProxy' and 'NoneType'"), with a
    complex number `TypeError`, with NaN `ValueError` ("Upper bound must be a number, not
    nan"); an infinite bound is no bound on that side. All are logged first.
    """

    _expression: str
    _lo: tp.Optional[tp.Union[Integral, Real]]
    _hi: tp.Optional[tp.Union[Integral, Real]]
    def __init__(self, expression: str = ''):
        """An unbounded expression with the given text.

        :param expression: the text, as the model will evaluate it.
        """
    @property
    def lo(self) -> tp.Optional[tp.Union[Integral, Real]]:
        """The lower bound set by `>=` or `==`, or None."""
    @property
    def hi(self) -> tp.Optional[tp.Union[Integral, Real]]:
        """The upper bound set by `<=` or `==`, or None."""
    def __pos__(self) -> LinearExpression: ...
    def __neg__(self) -> LinearExpression: ...
    def __add__(self, other: tp.Union[LinearExpression, Integral, Real]) -> LinearExpression: ...
    def __radd__(self, other: tp.Union[LinearExpression, Integral, Real]) -> LinearExpression: ...
    def __sub__(self, other: tp.Union[LinearExpression, Integral, Real]) -> LinearExpression: ...
    def __rsub__(self, other: tp.Union[LinearExpression, Integral, Real]) -> LinearExpression: ...
    def __mul__(self, other: tp.Union[Integral, Real, LinearExpression]) -> LinearExpression: ...
    def __rmul__(self, other: tp.Union[LinearExpression, Integral, Real]) -> LinearExpression: ...
    def __eq__(self, other: tp.Union[Integral, Real]): ...  # type: ignore[override]
    def __le__(self, other: tp.Union[Integral, Real]): ...
    def __ge__(self, other: tp.Union[Integral, Real]): ...
    def __str__(self) -> str: ...
    def _check_borders(self): ...
    def __bool__(self) -> bool: ...
    __hash__: tp.ClassVar[None]  # type: ignore[assignment]

class LinearVariableProxy(LinearExpression):
    """The reference text of one element of a variable block, such as "x(i,j + 1)"; made by
    subscripting the block, not by programs."""

    _name: str
    def __init__(self, name: str) -> None:
        """An unbounded expression whose text is `name`.

        :param name: the reference text.
        """
    def __repr__(self): ...

class Sum(LinearExpression):
    """The sum of one expression over every combination of values of named ranges.

    `Sum(2 * x[i, j], i=range(2), j=[0, 2])` adds the four terms; the first keyword is the
    outer loop. Sums nest: an inner `Sum` sees the outer one's index values.
    """

    def __init__(self, expression: LinearExpression, **indexes) -> None:
        """Writes the sum's text; nothing is evaluated until the model receives it.

        :param expression: an unbounded expression, usually using the indexes by name.
        :param indexes: index name to its values: a range, a sequence of integers (numpy
            integers and integer arrays included), or the text of a Python expression giving
            them ("range(2)"). An empty range adds nothing: the sum is 0.
        :raises TypeError: `expression` is not a `LinearExpression` ("Type 'LinearExpression'
            is expected for variable 'expression'").
        :raises FormulaError: `expression` is bounded.
        """

class SumIt(LinearExpression):
    """The sum of the expressions of a sequence: `SumIt([x[0], 2 * x[1] + 1])`."""

    def __init__(self, expressions: tp.Sequence[LinearExpression]) -> None:
        """Writes the sum's text; nothing is evaluated until the model receives it.

        :param expressions: a sequence (list, tuple) of unbounded expressions; a generator or a
            set is not a sequence. An empty one is accepted with a warning; its sum is 0.
        :raises TypeError: `expressions` is not a sequence ("Use an iterable sequence as SumIt
            input argument"), or an item is not a `LinearExpression` ("Variable 'expressions'
            must contain only objects of type 'LinearExpression'").
        :raises FormulaError: an item is bounded.
        """
