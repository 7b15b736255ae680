"""The second-generation linear front end, loaded only when imported: `LinearModel` with
variables as numeric arrays, whose subscripts give rows (`LinearExpression`) and blocks of rows
(`LinearExpressionsArr`) computed at once; `sumexp` and `dot` fold a block into one row.
Its `LinearModel`, `VariableType`, `SolutionStatus` and `inf` are not the first generation's."""

from .model import (LinearModel as LinearModel, VariableType as VariableType,
                    SolutionStatus as SolutionStatus, inf as inf)
from ._expression import sumexp as sumexp, dot as dot

__all__: list[str]
