"""Rows and blocks of rows of the second-generation linear model.

Subscripting a `VariableArray` gives a `LinearExpression` (one row: `x[0, 1]`) or a
`LinearExpressionsArr` (a block of rows: `x[:, 1]`, `x[[0, 2]]`, `x[mask]`). Both compute their
coefficients at once as sparse arrays; `<=`, `>=` and `==` set bounds and make them constraints
for `LinearModel.add_constraint` (a row) or `LinearModel.add_constraints` (a block).
Setting the environment variable `DEBUG_SOLVER_MODE` to any non-empty text before the import
adds input checks (marked "checked" below).
"""

from __future__ import annotations

import os
from numbers import Real, Integral
from typing import Union, Optional, Any, ClassVar

import numpy as np
from scipy.sparse import csr_array, csc_array

from ..core.zk_logger import *
from .._exceptions import FormulaError

DEBUG: Union[str, bool]
_CoefType = Union[Integral, Real, np.integer, np.floating]

class LinearExpression:
    """One row: a constant, a sparse row of coefficients over the solver columns, an optional
    quadratic part x'Qx and optional bounds.

    Rows combine with `+`, `-` with numbers and rows, `*` with numbers; the product of two
    linear rows gives a quadratic part (for targets; a constraint row ignores it). `e <= 5`,
    `e >= 1`, `e == 2` set bounds, and `(e >= 1) <= 5` both; a bounded row takes no arithmetic
    (`FormulaError`) and has no truth value (`TypeError`), so chained comparisons and `!=` are
    refused. There is no `<`, `>`, division or power; rows are unhashable and can be pickled.

    Operators raise `TypeError` ("Type 'float', 'int' or 'LinearExpression' is expected for
    left side of expression") for another operand, `ValueError` for a product with a quadratic
    operand, `FormulaError` for a bounded operand or a bound set twice.

    Numbers: numpy scalars, fractions and truth values mean what the same Python number means
    (`np.float64(2) * e` is `2.0 * e`). Integer coefficients never wrap around: they stay int32
    while the values fit, take int64 past that and float64 past int64. NaN and infinite
    coefficients and constants raise `ValueError` ("Coefficient must be a finite number, not
    nan"), complex ones `TypeError`. A bound is a number (an infinity means no bound on that
    side); a NaN bound raises `ValueError`, `None` or any other object `TypeError`. numpy arrays
    and scalars on the left defer to the row, so `a op e` gives what `e`'s reflected operation
    gives (`w * e` raises as `e * w` does).
    """

    _constant: _CoefType
    _linear_coefficients: csr_array
    _quadratic_coefficients: Optional[csc_array]
    _lower_bound: Optional[_CoefType]
    _upper_bound: Optional[_CoefType]
    def __init__(self, linear_coefficients: csr_array, constant: _CoefType = 0.0,
                 quadratic_coefficients: Optional[csc_array] = None,
                 lower_bound: Optional[_CoefType] = None,
                 upper_bound: Optional[_CoefType] = None) -> None:
        """A row from its parts; programs get rows by subscripting a variable array.

        :param linear_coefficients: a 1 x n `csr_array` over the solver columns.
        :param constant: the constant term.
        :param quadratic_coefficients: the symmetric matrix Q as a `csc_array`, or None.
        :param lower_bound: the lower bound, or None.
        :param upper_bound: the upper bound, or None.
        :raises TypeError: (checked) a part of the wrong type.
        """
    @property
    def constant(self) -> _CoefType:
        """The constant term."""
    @property
    def linear_coefficients(self) -> csr_array:
        """The row's coefficients over the solver columns (the stored array)."""
    @property
    def quadratic_coefficients(self) -> Optional[csc_array]:
        """The matrix Q of the quadratic part x'Qx, or None."""
    @property
    def lower_bound(self) -> Optional[_CoefType]:
        """The lower bound, or None."""
    @property
    def upper_bound(self) -> Optional[_CoefType]:
        """The upper bound, or None."""
    def __add__(self, other: Union[_CoefType, LinearExpression]) -> LinearExpression: ...
    def __radd__(self, other: Union[_CoefType, LinearExpression]) -> LinearExpression: ...
    def __sub__(self, other): ...
    def __rsub__(self, other): ...
    def __mul__(self, other: Union[_CoefType, LinearExpression]) -> LinearExpression: ...
    def __rmul__(self, other: Union[_CoefType, LinearExpression]) -> LinearExpression: ...
    def __eq__(self, other: _CoefType) -> LinearExpression: ...  # type: ignore[override]
    def __ge__(self, other: _CoefType) -> LinearExpression: ...
    def __le__(self, other: _CoefType) -> LinearExpression: ...
    def __bool__(self) -> bool: ...
    def __getstate__(self) -> dict: ...
    def __setstate__(self, state: dict) -> None: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]
    # numpy defers to the class's reflected operators (numpy's operator protocol).
    __array_ufunc__: ClassVar[None]

class LinearExpressionsArr:
    """A block of rows: one constant and one sparse row of coefficients per row, optional
    bounds per row.

    Blocks combine with `+`, `-` with numbers and blocks of the same row count (not with
    single rows), `*` with numbers and weight vectors (one weight per row); `<=`, `>=`, `==`
    with a number or an array of one bound per row set bounds. `sum()` and `dot(w)` fold the block into one row.
    A bounded block takes no arithmetic (`FormulaError`) and has no truth value (`TypeError`).
    Python's `sum()` over rows or blocks works (it starts from 0).

    Operators raise `TypeError` for an operand of another type, `FormulaError` for a bounded
    operand, a bound set twice, or row counts that differ ("Expression smust have the same
    number of elements.", "The size of the border must match the number of constraints.").
    Numbers, weights and bounds follow the rows' rules (numpy values as the same Python
    numbers, integers exact, NaN and infinite weights refused, NaN bounds refused); a numpy
    array on the left defers to the block (`w * b` scales the rows as `b * w` does).
    """

    _constants: np.ndarray
    _linear_coefficients: csr_array
    _lower_bounds: Optional[np.ndarray]
    _upper_bounds: Optional[np.ndarray]
    _is_init: bool
    def __init__(self, linear_coefficients: csr_array, constants: Optional[np.ndarray] = None,
                 lower_bounds: Optional[np.ndarray] = None,
                 upper_bounds: Optional[np.ndarray] = None, is_init: bool = False) -> None:
        """A block from its parts; programs get blocks by subscripting a variable array.

        :param linear_coefficients: an m x n `csr_array`, one row per constraint row.
        :param constants: one constant per row (zeros when None).
        :param lower_bounds: one lower bound per row, or None.
        :param upper_bounds: one upper bound per row, or None.
        :param is_init: True when every row holds one coefficient 1 on distinct columns (as a
            subscript gives), which makes `sum` faster.
        :raises TypeError: (checked) a part of the wrong type.
        :raises FormulaError: (checked) `constants` does not have one entry per row.
        """
    @property
    def num_constraints(self) -> int:
        """The number of rows."""
    @property
    def constants(self) -> np.ndarray:
        """The rows' constants."""
    @property
    def linear_coefficients(self) -> csr_array:
        """The coefficient matrix, one row per constraint row."""
    @property
    def lower_bounds(self) -> Optional[np.ndarray]:
        """The rows' lower bounds, or None."""
    @property
    def upper_bounds(self) -> Optional[np.ndarray]:
        """The rows' upper bounds, or None."""
    def __add__(self, other: Union[_CoefType, LinearExpressionsArr]) -> LinearExpressionsArr: ...
    def __radd__(self, other: Union[_CoefType, LinearExpressionsArr]) -> LinearExpressionsArr: ...
    def __sub__(self, other: Union[_CoefType, LinearExpressionsArr]) -> LinearExpressionsArr: ...
    def __rsub__(self, other: Union[_CoefType, LinearExpressionsArr]) -> LinearExpressionsArr: ...
    def __mul__(self, other: Union[_CoefType, np.ndarray]) -> LinearExpressionsArr: ...
    def __rmul__(self, other: Union[_CoefType, np.ndarray]) -> LinearExpressionsArr: ...
    def __eq__(self, other: Union[np.ndarray, _CoefType]) -> LinearExpressionsArr: ...  # type: ignore[override]
    def __ge__(self, other: Union[np.ndarray, _CoefType]) -> LinearExpressionsArr: ...
    def __le__(self, other: Union[np.ndarray, _CoefType]) -> LinearExpressionsArr: ...
    def sum(self) -> LinearExpression:
        """The sum of all rows, as one unbounded row.

        :raises FormulaError: the block is bounded.
        """
    def dot(self, other: np.ndarray) -> LinearExpression:
        """The weighted sum of the rows, one weight per row, as one unbounded row.

        :param other: a 1-D array of weights.
        :raises FormulaError: the block is bounded.
        :raises TypeError: (checked) `other` is not a numpy array; a weight that is no real
            number.
        :raises ValueError: a NaN or infinite weight.
        """
    def __bool__(self) -> bool: ...
    def __getstate__(self) -> dict: ...
    def __setstate__(self, state: dict) -> None: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]
    # numpy defers to the class's reflected operators (numpy's operator protocol).
    __array_ufunc__: ClassVar[None]

def sumexp(expr: LinearExpressionsArr) -> LinearExpression:
    """`expr.sum()`: the sum of a block's rows as one row."""
def dot(first_expr: Union[LinearExpressionsArr, np.ndarray],
        second_expr: Union[LinearExpressionsArr, np.ndarray]) -> LinearExpression:
    """The weighted sum of a block's rows, the block and the weights in either order:
    `dot(x[:, :], cost.ravel())`.

    :raises FormulaError: (checked) not one block and one numpy array ("One of the arguments
        must be of type 'LinearExpressionsArr', the other 'np.ndarray'").
    """
