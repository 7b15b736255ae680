"""zk_encoder: combinatorial optimisation problems stated with Python objects and operators.

Pseudo-Boolean front end: `Model` with variable families, the expression constructors (`Sum`,
`SumIt`, `And`, `AndIt`, `Or`, `OrIt`, `Xor`, `XorIt`, `Equiv`, `Implication`, `IfThenElse`,
`pow_expression`, `Zero`, `One`) and the operators of expressions; encoded into CNF or weighted
CNF for the solver engine `nubrix.sorn_engine`. Linear front end: `LinearModel`, `SolutionStatus`,
`VariableType`, `inf` (the second generation in `zk_encoder.linear_parser2`).

The exception classes (`VariableError`, `TargetError`, `FormulaError`, `BuildError`,
`SolverError`) are imported from `zk_encoder._exceptions`.
"""

from .encode.model import Model as Model
from .encode.expressions import (Sum as Sum, SumIt as SumIt, And as And, AndIt as AndIt, Or as Or,
                                 OrIt as OrIt, Xor as Xor, XorIt as XorIt, Equiv as Equiv,
                                 Implication as Implication, IfThenElse as IfThenElse,
                                 pow_expression as pow_expression, Zero as Zero, One as One)
from .linear_parser.linear_model import (LinearModel as LinearModel,
                                         SolutionStatus as SolutionStatus,
                                         VariableType as VariableType, inf as inf)
from .version import zk_version as zk_version

__all__: list[str]
__version__: str
