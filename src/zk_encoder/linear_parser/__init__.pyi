"""The first-generation linear front end: `LinearModel` with variable blocks over named
dimensions, constraints and targets written as expressions over indexes (`x[i, j + 1]`), summed
with this package's `Sum` and `SumIt` (the top-level `zk_encoder.Sum` and `SumIt` belong to the
pseudo-Boolean models). `LinearModel`, `SolutionStatus`, `VariableType` and `inf` are also
exported by `zk_encoder`."""

from .linear_model import (LinearModel as LinearModel, SolutionStatus as SolutionStatus,
                           VariableType as VariableType, inf as inf)
from .linear_expression import Sum as Sum, SumIt as SumIt

__all__: list[str]
