"""`VariableArray`, a variable of the second-generation linear model: an n-dimensional array of
solver columns, subscripted like a numpy array to give rows and blocks of rows."""

import os as os
from numbers import Integral as Integral
from typing import NoReturn, Sequence as Sequence, Union as Union

import numpy as np
from scipy.sparse import csr_array as csr_array

from zk_encoder.core.zk_logger import *
from zk_encoder.linear_parser2._expression import LinearExpression, LinearExpressionsArr

DEBUG: bool
_IndexType = Union[Integral, np.integer, slice]

class VariableArray:
    """Multidimensional array of task variables

    Made by `LinearModel.get_variable`. `x[1, 2]` (an integer per dimension) is one row, a
    `LinearExpression`; a slice, a list or array of integers, or a boolean mask in any place
    gives a block of rows, a `LinearExpressionsArr`, one row per element selected, in
    row-major order (`x[:, :]` lists all elements). A single integer on a many-dimensional
    array picks the element at that row-major position (checked: `IndexError`). A mask (a
    boolean array or a list of truth values) picks what numpy's indexing picks: it covers the
    leading dimensions, and one of another shape raises `IndexError`. Several index lists in a
    tuple take every combination of them. Rows and blocks record the array, so a model refuses
    those of another model's arrays. Not iterable (`TypeError`).
    """

    _total_created_variables: int

    _name: str
    _shape: Sequence[int]
    _count_elems: np.number
    _lower_bound: float
    _type: type
    _upper_bound: float
    _shift: int

    def __init__(self, name: str, shape: Sequence[int], lower_bound: float, upper_bound: float,
                 type_var: type, shift: int = 0) -> None:
        """An array; use `LinearModel.get_variable`, which also adds its solver columns.

        :param name: the variable name.
        :param shape: the dimension sizes.
        :param lower_bound: the lower bound of every element.
        :param upper_bound: the upper bound of every element.
        :param type_var: the numpy type of results (`np.float64` or `np.int32`).
        :param shift: the first solver column.
        """
    def __getitem__(
        self, item: Union[_IndexType, list, np.ndarray, Sequence[_IndexType]]
    ) -> Union[LinearExpression, LinearExpressionsArr]:
        """A row (integers only) or a block of rows (a slice, list, array or mask anywhere).

        :raises IndexError: an index outside its dimension (negative ones included), more
            indexes than dimensions, or a mask of another shape.
        :raises ValueError: a list or array of a type that is not an index.
        """
    def __iter__(self) -> NoReturn: ...
    @property
    def shape(self) -> Sequence[int]:
        """The dimension sizes."""
    @property
    def lower_bound(self) -> float:
        """The lower bound of every element."""
    @property
    def upper_bound(self) -> float:
        """The upper bound of every element."""
    @property
    def name(self) -> str:
        """The variable name."""
    @property
    def type(self) -> type:
        """The numpy type of results: `np.float64` for REAL, `np.int32` for INTEGER and
        BINARY."""
    def _map(self) -> np.ndarray: ...
