import re
import traceback as traceback
import typing as tp
from datetime import datetime as datetime
from functools import reduce as reduce
from operator import mul as mul

import nubrix.sorn_engine as se
import nubrix.sorn_engine.bxpr as bx
import nubrix.sorn_engine.pbct as pb

from zk_encoder._exceptions import BuildError, FormulaError, TargetError, VariableError
from zk_encoder.core import formulapb, manager, pboperations, variable
from zk_encoder.core.formula_container import FormulaContainer
from zk_encoder.core.zk_logger import *
from zk_encoder.encode.expressions import Expression
from zk_encoder.encode.variables import Index, Variable

class Model:
    """Main class of pseudo-boolean model"""

    _Model__EXPRESSION_FORMULA_RE: re.Pattern[str]
    _Model__BXPR_AUX: str
    _Model__PBCT_AUX: str
    _Model__DUMMY_VAR: str

    _sorn_manager: se.manager
    _model_name: str
    _use_formula_encoder: bool
    _formula_encoder: tp.Any
    _formula_container: tp.Optional[FormulaContainer]
    _used_vars: tp.Set[str]
    _manager: manager.Manager
    _variables: tp.Dict[str, Variable]
    _indexes: tp.Dict[str, Index]
    _formulas_dir: tp.Dict[str, tp.Any]
    _shift_target_variable: int
    _is_wcnf: tp.Optional[bool]
    _template_target: tp.Optional[Expression]
    _start_time: datetime

    def __init__(self, smanager: se.manager, name: str, use_formula_encoder: bool = False) -> None:
        """Initializes an instance of model.

        :param smanager: sorn_engine manager is singleton
        """
    def get_name(self) -> str: ...
    def create_variables(self, name: str, **dims: int) -> Variable:
        """Provides variables for writing expressions."""
    def get_indexes(self, indexes: tp.Sequence[str]) -> tp.Union[Index, tp.Sequence[Index]]:
        """Provides indexes for writing expressions."""
    def add_constraint(self, constraint: Expression, **foralls: tp.Sequence[int]) -> None:
        """Adds hard constraint to the model."""
    def add_soft_constraint(
        self,
        constraint: Expression,
        weight: int = 1,
        minimization: bool = False,
        **foralls: tp.Sequence[int],
    ) -> None:
        """Adds soft constraint to the model."""
    @property
    def use_target(self) -> bool:
        """Is the target set in the model"""
    def add_target(self, target) -> None:
        """Adds target to the model."""
    def _Model__reset_target(self) -> None: ...
    def _Model__build_target(self, border: int, minimization: bool): ...
    def _Model__fill_hard_constraint(
        self, constraint, foralls: tp.Dict[str, tp.Sequence[int]]
    ): ...
    def _Model__fill_soft_constraint(
        self, constraint, weight: int, minimization: bool, foralls: tp.Dict[str, tp.Sequence[int]]
    ): ...
    def _Model__fill_target(self, target): ...
    def _Model__init_formula_container(self): ...
    def _Model__init_formula_encoder(self): ...
    def build_cnf(
        self, border: tp.Optional[int] = None, minimization: tp.Optional[bool] = None
    ) -> bool:
        """Creation CNF"""
    def build_wcnf(self) -> bool: ...
    def get_cnf_storage(self) -> se.wcnf_storage: ...
    def get_var_mapping(self) -> se.var_mapping: ...
    def save_metrics_json(self, filename: str): ...
    def save_metrics_csv(self, filename: str): ...
    def reset(self) -> None: ...
    def set_witness(self, witness) -> None: ...
    def set_another_witness(self, witness) -> None: ...
    def check_another_witness(self) -> bool: ...
    def get_var_index(self, var: int) -> int: ...
    def add_preliminary_var_value(self, var: int, negative=False): ...
