"""Numeric linear expressions of the first-generation linear model.

A `LinearModel` evaluates the text of every constraint and target; each variable element call in
it (`x(3, 5)`) gives a `CompiledLinearExpression`, and the text's operators combine them. A
program rarely makes these objects itself: it writes `LinearExpression` texts
(`zk_encoder.linear_parser.linear_expression`) and the model reads the result through the
properties below.
"""

from __future__ import annotations

import typing as tp
from numbers import Integral, Real

import numpy as np
from scipy.sparse import coo_array

from ..core.zk_logger import *

class CompiledLinearExpression:
    """A constant, a sparse column of coefficients indexed by solver column and an optional
    quadratic part x'Qx.

    A value: it never changes after construction, and every operator returns a new expression
    (`+`, `-`, `*` with numbers and other numeric expressions; the product of two expressions
    carries a quadratic part). A number minus an expression and every division are refused by
    Python with `TypeError`; a NaN or infinite number as a factor or term with `ValueError`
    ("Coefficient must be a finite number, not nan", "Constant must be ..."), logged first.

    Integer coefficients never wrap: where int64 arrays would, the values are kept exactly, as
    Python's ints (numpy's object arrays) would hold them, and the arrays handed out are then
    float64 (int64 again once every value fits); a value beyond the float range raises
    `OverflowError` where it is read.
    """

    _constant: tp.Union[Integral, Real]
    _linear_coefficients: coo_array
    _quadratic_coefficients: tp.Optional[coo_array]
    def __init__(self, linear_coefficients: coo_array,
                 constant: tp.Union[Integral, Real] = 0,
                 quadratic_coefficients: tp.Optional[coo_array] = None) -> None:
        """Makes an expression from its parts, stored without copying.

        :param linear_coefficients: a sparse column of shape (n, 1): an entry at row r stands
            for its value times the element of solver column r. Another sparse format is
            converted to COO form.
        :param constant: the constant term.
        :param quadratic_coefficients: the symmetric matrix Q of the quadratic part, or None.
        :raises AttributeError: `linear_coefficients` is not a sparse array.
        """
    @property
    def constant(self) -> tp.Union[Integral, Real]:
        """The constant term."""
    @property
    def linear_coefficients_indexes(self) -> tp.Sequence[int]:
        """A new array of the solver columns of the linear entries, in stored order."""
    @property
    def quadratic_coefficients(self):
        """None, or a new CSC matrix 2Q (the solver's Hessian of x'Qx) over the solver columns."""
    @property
    def linear_coefficients(self) -> tp.Sequence[Integral]:
        """A new array of the linear coefficients, in the order of
        `linear_coefficients_indexes`."""
    def __pos__(self) -> CompiledLinearExpression: ...
    def __neg__(self) -> CompiledLinearExpression: ...
    def __radd__(self, other: tp.Union[CompiledLinearExpression, Integral, Real]
                 ) -> CompiledLinearExpression: ...
    def __add__(self, other: tp.Union[CompiledLinearExpression, Integral, Real]
                ) -> CompiledLinearExpression: ...
    def __sub__(self, other: tp.Union[CompiledLinearExpression, Integral, Real]
                ) -> CompiledLinearExpression: ...
    def __mul__(self, other: tp.Union[Integral, Real, CompiledLinearExpression]
                ) -> CompiledLinearExpression: ...
    def __rmul__(self, other: int) -> CompiledLinearExpression: ...

class CompiledSum(CompiledLinearExpression):
    """The sum of numeric expressions and numbers: what the texts of `Sum` and `SumIt` evaluate
    to. Arithmetic on it gives a plain `CompiledLinearExpression`."""

    def __init__(self, expressions: tp.Sequence[CompiledLinearExpression]) -> None:
        """Adds up the items.

        :param expressions: numeric expressions and numbers (numbers go into the constant).
            Without any expression the sum is the constant alone (0 for an empty sequence).
        :raises TypeError: an item is neither a number nor an expression ("Type
            'LinearExpression' is expected for left side of expression" after an expression).
        """
