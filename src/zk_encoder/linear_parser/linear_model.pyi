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
    OPTIMAL = 1
    SUBOPTIMAL = 2

class VariableType(Enum):
    REAL = 1
    INTEGER = 2
    BINARY = 3

class LinearModel:
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

    def __init__(self, log_solver: bool = False, **options) -> None: ...
    def get_variables(self, name: str, variable_type: VariableType,
                      lo: tp.Union[int, float] = ..., hi: tp.Union[int, float] = ...,
                      **dims: int) -> LinearVariable: ...
    def get_indexes(self, indexes: tp.Sequence[str]) -> tp.Union[Index, tp.Sequence[Index]]:
        """Provides indexes for writing expressions.

        :param indexes: sequence of index names.
        :return: sequence of indexes or single index.
        """
    def add_constraint(self, expression: LinearExpression, lo: tp.Optional[Integral] = None,
                       hi: tp.Optional[Integral] = None, eq: tp.Optional[Integral] = None,
                       **foralls: tp.Union[tp.Iterable[int], str]) -> None: ...
    def add_target(self, expression: tp.Union[LinearExpression, str], minimization: bool) -> None: ...
    def set_solution(self, variable_name: str, solution: np.ndarray) -> None: ...
    def solve(self) -> SolutionStatus: ...
    @property
    def objective_value(self) -> float: ...
    def get_linsolver_solution(self) -> linsolver.LinsolverSolution: ...
    def get_result(self, variable_name: str) -> np.ndarray: ...
    def write_model(self, model_path: Path | str) -> None: ...
    @staticmethod
    def _LinearModel__set_border(first_border, second_border): ...
