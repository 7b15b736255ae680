"""`LinearModel`, the first-generation linear model: variable blocks with bounds, constraints
written as text expressions over indexes, a linear or quadratic target, solved by the engine's
solver `nubrix.sorn_engine.linsolver`.

Also exported by `zk_encoder` and `zk_encoder.linear_parser`; `Sum` and `SumIt` for these
models come from `zk_encoder.linear_parser`. Refusals raise the classes of
`zk_encoder._exceptions` (`VariableError`, `SolverError`) or `ValueError`.
"""

from __future__ import annotations

import typing as tp
from enum import Enum as Enum, auto as auto
from functools import reduce as reduce
from numbers import Integral as Integral
from operator import mul as mul
from pathlib import Path as Path

import numpy as np
import nubrix.sorn_engine.linsolver as linsolver

from zk_encoder._exceptions import SolverError as SolverError, VariableError as VariableError
from zk_encoder.core.zk_logger import *
from zk_encoder.linear_parser.compiled_linear_expressions import CompiledSum as CompiledSum
from zk_encoder.linear_parser.linear_expression import LinearExpression
from zk_encoder.linear_parser.linear_variables import Index as Index, LinearVariable as LinearVariable

inf: float

class SolutionStatus(Enum):
    """What `solve` found: the optimum, or a feasible answer when the time limit ended the
    search."""

    OPTIMAL = 1
    SUBOPTIMAL = 2

class VariableType(Enum):
    """The kind of a variable block: continuous, integer, or 0/1."""

    REAL = 1
    INTEGER = 2
    BINARY = 3

class LinearModel:
    """A mixed-integer linear problem with an optional quadratic objective.

    Example::

        model = LinearModel()
        x = model.get_variables("x", VariableType.INTEGER, lo=0, hi=10, item=3)
        i = model.get_indexes(["i"])
        model.add_constraint(Sum(2 * x[i], i=range(3)) <= 15)
        model.add_constraint(x[i] - x[i + 1] >= -2, i=range(2))
        model.add_target(SumIt([x[0], 2 * x[1], 3 * x[2]]), minimization=False)
        model.solve()                  # SolutionStatus.OPTIMAL, or SolverError
        model.objective_value, model.get_result("x")
    """

    _linsolver_model: linsolver.LinearSolver
    _used_vars: tp.Set[str]
    _general_shift_variable: int
    _variables: tp.Dict[str, LinearVariable]
    _indexes: tp.Dict[str, Index]
    _formulas_dir: tp.Dict[str, tp.Any]
    _prev_solution: tp.Optional[np.ndarray]
    _solution: tp.Optional[linsolver.LinsolverSolution]
    _solution_values: tp.Optional[np.ndarray]
    _objective_value: tp.Optional[float]

    def __init__(self, log_solver: bool = False, **options) -> None:
        """An empty model with its own solver.

        :param log_solver: True lets the solver write its log to the console.
        :param options: solver options by name, such as `time_limit=10.0`; the solver refuses
            an unknown one. numpy numbers go over as the same Python numbers.
        :raises ValueError: a NaN option, or a negative `time_limit` or `mip_rel_gap`, before
            any solver is made.
        """
    def get_variables(self, name: str, variable_type: VariableType,
                      lo: tp.Union[int, float] = ..., hi: tp.Union[int, float] = ...,
                      **dims: int) -> LinearVariable:
        """Adds a block of solver columns over named dimensions: `get_variables("x",
        VariableType.REAL, lo=0, plant=3, market=4)` gives 12 columns, written `x[p, m]` in
        expressions.

        :param name: a new name, a Python identifier (letters, digits after the first
            character, underscores; the error message says letters only) that the texts read
            back as itself: not a keyword (`for`), not one the host reads as another name
            (fullwidth letters, ligatures), not `CompiledSum`, `range` or `__builtins__`. An
            index may not take a block's name.
        :param variable_type: a member of this module's `VariableType`.
        :param lo: the lower bound of every element (`-inf`: none); a number (numpy's too;
            other reals such as fractions by their float value).
        :param hi: the upper bound of every element (`inf`: none). INTEGER blocks need both
            bounds given, as integers between -2147483648 and 2147483647 (numpy integers too);
            BINARY blocks are always 0/1.
        :param dims: dimension name to size (a non-negative integer), in order. The model
            holds at most 2147483647 columns.
        :raises ValueError: a bad name, type, integer bound or size, or too many columns.
        :raises TypeError: a bound that is complex or no number.
        :raises VariableError: the name is in use, or one the texts cannot hold.
        """
    def get_indexes(self, indexes: tp.Sequence[str]) -> tp.Union[Index, tp.Sequence[Index]]:
        """Provides indexes for writing expressions.

        :param indexes: sequence of index names.
        :return: sequence of indexes or single index.
        :raises ValueError: the sequence is empty.
        :raises VariableError: a name is a block's name.
        """
    def add_constraint(self, expression: LinearExpression, lo: tp.Optional[Integral] = None,
                       hi: tp.Optional[Integral] = None, eq: tp.Optional[Integral] = None,
                       **foralls: tp.Union[tp.Iterable[int], str]) -> None:
        """Adds one solver row, or one row per combination of for-all values.

        `add_constraint(x[i] + y[i] <= 4, i=range(3))` adds three rows. Bounds come from the
        expression's comparison or from `lo`, `hi`, `eq` (give both `lo` and `hi` here for a
        row bounded on both sides: a chained comparison is refused).

        :param expression: a linear expression, bounded or not (the quadratic part of a product
            is ignored in rows).
        :param lo: the row's lower bound.
        :param hi: the row's upper bound.
        :param eq: both bounds.
        :param foralls: index name to its values (a range, a list of integers, or the text of
            a Python expression); the first keyword is the outer loop.
        :raises ValueError: a bound is given twice ("The border is set twice"), or `eq` with
            `lo` or `hi` ("The borders is set twice").
        :raises NameError: an index in the expression has no for-all keyword or `Sum` around it.
        :raises IndexError: an index value lies outside its dimension.
        :raises TypeError: an index value is not an integer.

        When it raises, no row of the call has been added.
        """
    def add_target(self, expression: tp.Union[LinearExpression, str], minimization: bool) -> None:
        """Sets the objective, replacing an earlier one whole (its bound, if any, is ignored).

        A product of two expressions gives a quadratic objective; the stand-in solver solves it
        only when every column is REAL (with integer columns `solve` raises `SolverError`).

        :param expression: an expression, or its text.
        :param minimization: True minimises, False maximises.
        :raises NameError: an index in it has no `Sum` around it.
        """
    def set_solution(self, variable_name: str, solution: np.ndarray) -> None:
        """Gives start values for one block to the next `solve` (columns without any start at
        0.0); the solver uses them for models with integer columns.

        :param variable_name: the block's name.
        :param solution: an array of the block's shape (or one value for all), of finite
            numbers.
        :raises KeyError: no block has that name.
        :raises ValueError: the values do not fit the block, or one is NaN or infinite.
        :raises TypeError: a value that is complex or no number.

        A refused call leaves the start values as they were.
        """
    def solve(self) -> SolutionStatus:
        """Solves the model as it stands.

        :return: OPTIMAL, or SUBOPTIMAL (with a warning) when a time limit ended the search
            with an answer.
        :raises SolverError: no answer: infeasible, unbounded, a time limit without an answer,
            or integer columns with a quadratic objective ("The model was not solved
            correctly"). The results of an earlier answer stay readable then.
        """
    @property
    def objective_value(self) -> float:
        """The objective's value at the last answer (the constant of the target not counted).

        :raises SolverError: there is no answer yet.
        """
    def get_linsolver_solution(self) -> linsolver.LinsolverSolution:
        """The solver's record of the last solve: values of all columns and rows.

        :raises SolverError: the model was never solved.
        """
    def get_result(self, variable_name: str) -> np.ndarray:
        """The values of one block at the last answer: a new array of its shape, float64 for a
        REAL block, int32 (rounded by the solver to integers) for INTEGER and BINARY.

        :raises SolverError: there is no answer yet.
        :raises KeyError: no block has that name.
        """
    def write_model(self, model_path: Path | str) -> None:
        """Writes the model to a file, MPS for a name ending in ".mps", LP for ".lp"; missing
        folders are created.

        :param model_path: the file's path.
        """
    @staticmethod
    def _LinearModel__set_border(first_border, second_border): ...
