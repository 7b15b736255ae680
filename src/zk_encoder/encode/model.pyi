"""`Model`, the pseudo-Boolean model: variable families, hard and soft constraints or a target,
encoded into CNF or weighted CNF for the solver engine `nubrix.sorn_engine`.

The order of work: create every family, then the indexes, then hard constraints, then either
soft constraints (`build_wcnf`) or one target (`build_cnf(border, minimization)`); a model with
hard constraints only is built with `build_cnf()`. Every refusal is logged at error level and
raised; the exception classes live in `zk_encoder._exceptions`.
"""

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
    """A pseudo-Boolean model, encoded into CNF or weighted CNF for the engine.

    Example::

        model = Model(se.manager(), "queens")
        q = model.create_variables("q", row=8, col=8)
        i, j = model.get_indexes(["i", "j"])
        model.add_constraint(Sum(q[i, j], j=range(8)) == 1, i=range(8))
        model.build_cnf()
        clauses = model.get_cnf_storage().hard_clauses()
    """

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
        """Creates an empty model.

        :param smanager: the engine manager (`nubrix.sorn_engine.manager()`); it receives the
            builds' clause storage and witness interpreter. Several models may share one.
        :param name: the model name, stamped on the clause storage.
        :param use_formula_encoder: True hands the whole model to the engine's formula encoder
            instead of encoding it in the library.
        """
    def get_name(self) -> str:
        """The model name."""
    def create_variables(self, name: str, **dims: int) -> Variable:
        """Creates a family of Boolean variables over named dimensions.

        `create_variables("x", i=3, j=4)` gives 12 variables, referenced as `x[i, j]` in
        expressions and named "x[0,0]" ... "x[2,3]" in the variable mapping; their numbers
        continue the model's count, row-major. Create every family before the first constraint.

        :param name: letters only.
        :param dims: dimension name to size (a non-negative integer), in order.
        :raises ValueError: the name is empty or holds a non-letter, or a size is not a
            non-negative integer.
        :raises VariableError: the name is already a family, or a constraint, soft constraint or
            target is already there.
        """
    def get_indexes(self, indexes: tp.Sequence[str]) -> tp.Union[Index, tp.Sequence[Index]]:
        """Creates index symbols for subscripts: `i, j = model.get_indexes(["i", "j"])`.

        An index takes its values from the for-all keyword of the same name or from the `Sum`,
        `And`, `Or`, `Xor` around it.

        :param indexes: the index names.
        :returns: the `Index` itself for one name, a list for several.
        :raises ValueError: the sequence is empty.
        :raises VariableError: a name is a family's name, "_bxpr_aux" or "_pbct_aux".
        """
    def add_constraint(self, constraint: Expression, **foralls: tp.Sequence[int]) -> None:
        """Adds a hard constraint, repeated for every combination of the for-all values.

        `add_constraint(Sum(x[i, j], j=range(n)) == 1, i=range(n))`: one constraint per row. Hard
        constraints come before soft constraints and a target.

        :param constraint: a Boolean formula (comparison or connective) or a variable reference.
        :param foralls: index name to its values (a `range` or a list of integers), for every
            index of the constraint that no `Sum`/`And`/`Or`/`Xor` inside it binds.
        :raises TypeError: `constraint` is not an expression.
        :raises TargetError: a soft constraint or a target is already there.
        :raises FormulaError: the constraint can never hold ("Contradiction was detected in
            formula ..."), or it is a term without a comparison. One that always holds is
            dropped with a warning.
        """
    def add_soft_constraint(
        self,
        constraint: Expression,
        weight: int = 1,
        minimization: bool = False,
        **foralls: tp.Sequence[int],
    ) -> None:
        """Adds a soft constraint: a weighted term for a MaxSAT solver; the model then builds
        with `build_wcnf()`.

        Each term of the sum becomes one soft clause weighted by `weight` times its coefficient:
        `x` wanted true when maximising, wanted false when minimising. A MaxSAT solver's cost is
        the weight of the soft clauses left false.

        :param constraint: a pseudo-Boolean term (variable, weighted sum, `Sum`, `SumIt`); not a
            clause or comparison.
        :param weight: an integer factor for every coefficient.
        :param minimization: True to minimise the term, False to maximise it.
        :param foralls: index name to its values, as for `add_constraint`.
        :raises FormulaError: `constraint` is not a term, or the model has a target.
        :raises TypeError: `weight` is not an integer.
        """
    @property
    def use_target(self) -> bool:
        """True when the model holds a target (`add_target`)."""
    def add_target(self, target) -> None:
        """Sets the target: a term whose bound `build_cnf(border, minimization)` adds.

        A second call replaces the target, with a warning. The model then takes no more hard or
        soft constraints.

        :param target: a pseudo-Boolean term (variable, weighted sum, `Sum`, `SumIt`).
        :raises TargetError: `target` is a comparison or formula, not a term.
        :raises FormulaError: the model has soft constraints.
        """
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
        """Builds the model into CNF and hands it to the engine manager.

        With a target the bound is added first: target <= border when `minimization` is true,
        target >= border when false. Afterwards `get_cnf_storage()` holds the clauses and the
        engine manager a witness interpreter that decodes solver models.

        :param border: the target's bound (needed only with a target).
        :param minimization: the bound's direction (needed only with a target).
        :returns: True when the engine's witness interpreter was built (False is logged).
        :raises BuildError: the model has soft constraints (use `build_wcnf`), holds no
            constraint or target, has a target but no border or direction, or already made a
            CNF build with its target (make a new model for another border).
        :raises FormulaError: no answer can reach the border ("Contradiction was detected in
            target").
        """
    def build_wcnf(self) -> bool:
        """Builds a model with soft constraints into weighted CNF and hands it to the engine
        manager, as `build_cnf` does.

        :returns: True when the witness interpreter was built.
        :raises BuildError: the model has no soft constraint.
        """
    def get_cnf_storage(self) -> se.wcnf_storage:
        """The clause storage: `hard_clauses()`, `soft_clauses()`, `write_cnf(path)`,
        `write_wcnf(path)`; complete after a build. None before the first constraint."""
    def get_var_mapping(self) -> se.var_mapping:
        """A new engine variable mapping: names such as "x[0,1]" (and the auxiliary variables)
        to clause-variable numbers; `get_var_map()` gives it as a dict. None before the first
        constraint."""
    def save_metrics_json(self, filename: str):
        """Has the engine's formula encoder write the model's counts as JSON.

        :returns: the encoder's answer; False when the model does not use the formula encoder.
        """
    def save_metrics_csv(self, filename: str):
        """Has the engine's formula encoder write the model's counts as CSV.

        :returns: the encoder's answer; False when the model does not use the formula encoder.
        """
    def reset(self) -> None:
        """Resets the engine's formula encoder (its witnesses and last encoding); does nothing
        when the model does not use the formula encoder."""
    def set_witness(self, witness) -> None:
        """Gives the formula encoder a solver model (signed integers) to compare against;
        does nothing when the model does not use the formula encoder."""
    def set_another_witness(self, witness) -> None:
        """Gives the formula encoder a second solver model; does nothing when the model does not
        use the formula encoder."""
    def check_another_witness(self) -> bool:
        """True when the formula encoder finds both witnesses solutions that differ on a model
        variable; False otherwise and when the model does not use the formula encoder."""
    def get_var_index(self, var: int) -> int:
        """The clause-variable number of an element number: the same number (`x(1, 2)` already
        is one)."""
    def add_preliminary_var_value(self, var: int, negative=False):
        """Adds a start value for a solver to the clause storage the engine manager holds (the
        latest build's): variable `var` true, or false when `negative`. A hint, not a
        constraint. Before a build there is no storage and only a debug line is logged.

        :param var: a clause-variable number, such as `x(1, 2)`.
        :param negative: True for the value false.
        """
