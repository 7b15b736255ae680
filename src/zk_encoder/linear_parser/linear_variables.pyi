"""Variable blocks and indexes of the first-generation linear model.

`LinearModel.get_variables` makes a `LinearVariable`, `LinearModel.get_indexes` an `Index`;
programs do not construct them. Subscripting a block with integers and indexes writes a
reference text (`x[i, j + 1]` gives "x(i,j + 1)"); the model evaluates it with the indexes bound
by the for-all keywords of `add_constraint` or by `Sum`.
"""

from __future__ import annotations

import typing as tp
from itertools import accumulate as accumulate, product as product
from operator import mul as mul

from scipy.sparse import coo_array as coo_array

from zk_encoder.linear_parser.compiled_linear_expressions import CompiledLinearExpression
from zk_encoder.linear_parser.linear_expression import LinearVariableProxy

class Index:
    """A placeholder for an integer in expressions: `i`, `i + 1`, `i - 1`, `2 * i`.

    Shifts do not add up (`(i + 1) + 2` is `i + 2`); `i * 2`, `1 + i` and `-i` are not
    supported (`TypeError`).
    """

    @property
    def name(self) -> str:
        """The index name, bound to each value in turn when the model evaluates a text."""
    @property
    def expression(self) -> str:
        """The index's text in reference texts: the name, or a shifted form such as "i + 1"."""
    def __init__(self, name: str, expression: tp.Optional[str] = None) -> None:
        """An index; use `LinearModel.get_indexes`, which also reserves the name.

        :param name: the index name.
        :param expression: its text; the name when None.
        """
    def __add__(self, shift: int) -> Index: ...
    def __sub__(self, shift: int) -> Index: ...
    def __rmul__(self, shift: int) -> Index: ...
    def __str__(self) -> str: ...

class LinearVariable:
    """A block of solver columns with named dimensions, made by `LinearModel.get_variables`.

    `x[i, j]` is an expression for constraints and targets; `get_result` and `set_solution`
    read and write the whole block as an array of `shape`. A block is not iterable
    (`TypeError`).
    """

    def __init__(self, name: str, lo: int, hi: int, indexes: tp.Dict[str, int], st_shift: int,
                 type_var) -> None:
        """A block; use `LinearModel.get_variables`, which also adds its solver columns.

        :param name: the block name.
        :param lo: the lower bound, as given.
        :param hi: the upper bound, as given.
        :param indexes: dimension name to size, in order.
        :param st_shift: the block's first solver column.
        :param type_var: the element type name, "float64" or "int32".
        :raises OverflowError: the columns do not fit in 64 bits.
        """
    def __getitem__(self, items) -> LinearVariableProxy:
        """The reference text of an element: `x[i, j + 1]`, `x[2, i]`, `x[0]`, one position per
        dimension (`x[()]` for a block without dimensions).

        An index value outside its dimension is refused when the model evaluates the text
        (`IndexError`). The reference belongs to this block: a model given it must hold this
        very block (`BuildError` otherwise).

        :raises IndexError: the number of positions is not the block's number of dimensions
            ("Variable x has 1 dimension(s), but x(0,2) names 2"); logged first.
        """
    def __call__(self, *items: int) -> CompiledLinearExpression:
        """The numeric expression of one element (coefficient 1 on its solver column), what a
        reference text evaluates to.

        :raises IndexError: the number of items is not the number of dimensions, or an item
            lies outside its dimension; logged first.
        :raises TypeError: an item is not an integer; logged first.
        """
    def __iter__(self) -> tp.NoReturn: ...
    @property
    def lo(self) -> int:
        """The lower bound given at creation."""
    @property
    def hi(self) -> int:
        """The upper bound given at creation."""
    @property
    def map(self) -> tp.Sequence[int]:
        """The solver columns of all elements, in row-major element order (a new tuple)."""
    @property
    def shape(self) -> tp.Sequence[int]:
        """The dimension sizes, in creation order."""
    @property
    def type(self) -> str:
        """The element type name of results: "float64" for REAL, "int32" for INTEGER and
        BINARY blocks."""
    @property
    def _name(self) -> str: ...
    @property
    def _lo(self) -> int: ...
    @property
    def _hi(self) -> int: ...
    @property
    def _indexes(self) -> tp.Dict[str, int]: ...
    @property
    def _st_shift(self) -> int: ...
    @property
    def _shifts(self) -> tp.List[int]: ...
    @property
    def _type(self) -> str: ...
