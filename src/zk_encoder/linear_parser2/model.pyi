"""`LinearModel` of the second generation: variables as numeric arrays, constraints added a
row (`add_constraint`) or a block of rows (`add_constraints`) at a time, a linear or quadratic
target, solved by the engine's solver `nubrix.sorn_engine.linsolver`.

Refusals raise `ValueError`, `TypeError`, or the classes of `zk_encoder._exceptions`
(`VariableError`, `BuildError`, `SolverError`). With the environment variable
`DEBUG_SOLVER_MODE` set to a non-empty text before the import, more input checks run (marked
"checked" below).
"""

import os as os
import typing as tp
from enum import Enum as Enum, auto as auto
from functools import reduce as reduce
from operator import mul as mul
from pathlib import Path as Path

import numpy as np

import nubrix.sorn_engine.linsolver as linsolver

from zk_encoder._exceptions import *
from zk_encoder.core.zk_logger import *
from zk_encoder.linear_parser2._expression import (_CoefType, LinearExpression,
                                                   LinearExpressionsArr)
from zk_encoder.linear_parser2.variable import VariableArray

DEBUG: tp.Union[str, bool]

class SolutionStatus(Enum):
    """What `solve` found: the optimum, a feasible answer when the time limit ended the search,
    or no answer."""

    OPTIMAL = 1
    SUBOPTIMAL = 2
    INFEASIBLE = 3

class VariableType(Enum):
    """The kind of a variable: continuous, integer, or 0/1."""

    REAL = 1
    INTEGER = 2
    BINARY = 3

inf: float

class LinearModel:
    """An interface for initializing and solving a MILP problem with a quadratic objective
    function

    Example::

        model = LinearModel()
        x = model.get_variable("x", VariableType.INTEGER, 0, 10, item=3)
        model.add_constraint(2 * x[0] + 3 * x[1] <= 12)                # one row
        model.add_constraints(x[:] * np.array([1.0, 2, 3]) <= 9)       # three rows at once
        model.add_target(dot(x[:], np.array([1.0, 2, 3])), minimization=False)
        model.solve()               # SolutionStatus.OPTIMAL, or INFEASIBLE with a warning
        model.objective_value, model.get_result("x")
    """

    _linsolver_model: linsolver.LinearSolver
    _used_vars: tp.Set[str]
    _general_shift_variables: int
    _variables: tp.Dict[str, VariableArray]
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
    def get_variable(self, name: str, variable_type: VariableType,
                     lower_bound: tp.Union[int, float] = ...,
                     upper_bound: tp.Union[int, float] = ..., **shape: int) -> VariableArray:
        """Adds an array of solver columns: `get_variable("ship", VariableType.REAL, 0, 45,
        plant=3, market=4)` gives a 3 x 4 array; no keywords give a single element.

        :param name: a new name, a Python identifier (letters, digits after the first
            character, underscores; the error message says letters only).
        :param variable_type: a member of this module's `VariableType`.
        :param lower_bound: the lower bound of every element (`-inf`: none); a number
            (numpy's too; other reals such as fractions by their float value).
        :param upper_bound: the upper bound of every element (`inf`: none); BINARY variables
            are always 0/1. (checked) INTEGER bounds other than the infinities are integers
            (numpy integers too).
        :param shape: dimension name to size (a non-negative integer), in order. The models of
            a process hold at most 2147483647 columns together.
        :raises ValueError: a bad name, type or size, too many columns, or (checked) integer
            bounds that are not integers.
        :raises TypeError: a bound that is complex or no number.
        :raises VariableError: the name is in use.
        """
    def add_constraint(self, constraint: LinearExpression,
                       lower_bound: tp.Optional[_CoefType] = None,
                       upper_bound: tp.Optional[_CoefType] = None,
                       equation_bound: tp.Optional[_CoefType] = None) -> None:
        """Adds one solver row, a `LinearExpression` (`x[0] + x[1] <= 4`); blocks go to
        `add_constraints`.

        Bounds come from the row's comparisons or from the arguments; the quadratic part of a
        row is ignored.

        :param constraint: a row, bounded or not.
        :param lower_bound: the row's lower bound.
        :param upper_bound: the row's upper bound.
        :param equation_bound: both bounds.
        :raises ValueError: a bound given both by the row and the argument ("The border is set
            twice"); a NaN bound; a NaN or infinite coefficient in a row made directly.
        :raises TypeError: a bound that is no real number (None stands for no bound).
        :raises AttributeError: a block or another type (unchecked).
        :raises BuildError: a row holding another model's variables ("Variable v belongs to
            another model"); (checked) a block or another type, or `equation_bound` with another
            bound (unchecked, `equation_bound` wins).

        Everything is checked before the solver is called: a refused row leaves the model as
        it was.
        """
    def add_constraints(self, constraints: LinearExpressionsArr,
                        lower_bounds: tp.Optional[np.ndarray] = None,
                        upper_bounds: tp.Optional[np.ndarray] = None,
                        equation_bounds: tp.Optional[np.ndarray] = None) -> None:
        """Adds a block of rows in one solver call (`x[:, 0] + x[:, 1] <= caps`); single rows
        go to `add_constraint`.

        :param constraints: a block, bounded or not.
        :param lower_bounds: one lower bound per row.
        :param upper_bounds: one upper bound per row.
        :param equation_bounds: both bounds, one per row.
        :raises ValueError: a bound given both by the block and the argument ("The border is
            set twice"); a NaN bound.
        :raises TypeError: bounds that are no real numbers.
        :raises FormulaError: a bound vector without one entry per row ("The size of the border
            must match the number of constraints."); one number (or a vector of one) serves
            every row.
        :raises AttributeError: a single row or another type (unchecked).
        :raises BuildError: a block holding another model's variables; (checked) a single row
            or another type, or `equation_bounds` with other bounds (unchecked,
            `equation_bounds` wins).

        Everything is checked before the solver is called: a refused block leaves the model
        as it was.
        """
    def add_target(self, target: LinearExpression, minimization: bool) -> None:
        """Sets the objective, replacing an earlier one whole; its constant and bounds are not
        used.

        A product of rows gives a quadratic objective; the stand-in solver solves it only when
        every column is REAL (with integer columns `solve` finds no answer).

        :param target: a row (a block folded by `sumexp` or `dot`).
        :param minimization: True minimises, False maximises.
        :raises BuildError: the row holds another model's variables, or refers to columns this
            model does not hold, or (checked) it is not a row.
        :raises AttributeError: a block or another type (unchecked).

        Everything is checked before the solver is called, the sense included: a refused
        target leaves the objective as it was.
        """
    @staticmethod
    def _set_border(first_border: _CoefType, second_border: _CoefType) -> _CoefType: ...
    def set_solution(self, variable_name: str, solution: np.ndarray) -> None:
        """Gives start values for one variable to the next `solve` (other columns at 0.0);
        the solver uses them for models with integer columns.

        :param variable_name: the variable's name.
        :param solution: an array of the variable's shape (or one value for all), of finite
            numbers.
        :raises KeyError: no variable has that name.
        :raises ValueError: the values do not fit the variable, or one is NaN or infinite.
        :raises TypeError: a value that is complex or no number.

        A refused call leaves the start values as they were.
        """
    def solve(self, is_feasible: bool = False) -> SolutionStatus:
        """Solves the model as it stands.

        :param is_feasible: True when the model is known to have an answer: no answer then
            raises `SolverError` instead of returning INFEASIBLE.
        :return: OPTIMAL; SUBOPTIMAL (with a warning) when a time limit ended the search with
            an answer; INFEASIBLE (with the warning "The model was not solved correctly") when
            there is no answer: infeasible, unbounded, or integer columns with a quadratic
            objective. The results of an earlier solve stay readable then.
        :raises SolverError: no answer and `is_feasible` is True.
        """
    @property
    def objective_value(self) -> float:
        """The objective's value at the last answer (the target's constant not counted).

        :raises SolverError: there is no answer yet.
        """
    def get_linsolver_solution(self) -> linsolver.LinsolverSolution:
        """The solver's record of the last solve: values of all columns and rows.

        :raises SolverError: the model was never solved.
        """
    def get_result(self, variable_name: str) -> np.ndarray:
        """The values of one variable at the last answer: a new array of its shape, float64
        for REAL, int32 for INTEGER and BINARY.

        :raises SolverError: there is no answer yet.
        :raises KeyError: no variable has that name.
        """
    def write_model(self, model_path: Path | str) -> None:
        """Writes the model to a file, MPS for a name ending in ".mps", LP for ".lp"; missing
        folders are created.

        :param model_path: the file's path.
        """
    @staticmethod
    def _LinearModel__set_border(first_border, second_border): ...
