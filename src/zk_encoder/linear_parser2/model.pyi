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
    OPTIMAL = 1
    SUBOPTIMAL = 2
    INFEASIBLE = 3

class VariableType(Enum):
    REAL = 1
    INTEGER = 2
    BINARY = 3

inf: float

class LinearModel:
    """An interface for initializing and solving a MILP problem with a quadratic objective
    function"""

    _linsolver_model: linsolver.LinearSolver
    _used_vars: tp.Set[str]
    _general_shift_variables: int
    _variables: tp.Dict[str, VariableArray]
    _prev_solution: tp.Optional[np.ndarray]
    _solution: tp.Optional[linsolver.LinsolverSolution]
    _solution_values: tp.Optional[np.ndarray]
    _objective_value: tp.Optional[float]

    def __init__(self, log_solver: bool = False, **options) -> None: ...
    def get_variable(self, name: str, variable_type: VariableType,
                     lower_bound: tp.Union[int, float] = ...,
                     upper_bound: tp.Union[int, float] = ..., **shape: int) -> VariableArray: ...
    def add_constraint(self, constraint: LinearExpression,
                       lower_bound: tp.Optional[_CoefType] = None,
                       upper_bound: tp.Optional[_CoefType] = None,
                       equation_bound: tp.Optional[_CoefType] = None) -> None: ...
    def add_constraints(self, constraints: LinearExpressionsArr,
                        lower_bounds: tp.Optional[np.ndarray] = None,
                        upper_bounds: tp.Optional[np.ndarray] = None,
                        equation_bounds: tp.Optional[np.ndarray] = None) -> None: ...
    def add_target(self, target: LinearExpression, minimization: bool) -> None: ...
    @staticmethod
    def _set_border(first_border: _CoefType, second_border: _CoefType) -> _CoefType: ...
    def set_solution(self, variable_name: str, solution: np.ndarray) -> None: ...
    def solve(self, is_feasible: bool = False) -> SolutionStatus: ...
    @property
    def objective_value(self) -> float: ...
    def get_linsolver_solution(self) -> linsolver.LinsolverSolution: ...
    def get_result(self, variable_name: str) -> np.ndarray: ...
    def write_model(self, model_path: Path | str) -> None: ...
    @staticmethod
    def _LinearModel__set_border(first_border, second_border): ...
