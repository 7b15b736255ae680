from .model import LinearModel, VariableType, SolutionStatus, inf
from ._expression import sumexp, dot

__all__ = ["LinearModel", "VariableType", "SolutionStatus", "inf", "sumexp", "dot"]
