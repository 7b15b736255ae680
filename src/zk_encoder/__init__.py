from .encode.model import Model
from .encode.expressions import (Sum, SumIt, And, AndIt, Or, OrIt, Xor, XorIt, Equiv,
                                 Implication, IfThenElse, pow_expression, Zero, One)
from .version import zk_version

__all__ = [
    "Model", "Sum", "SumIt", "And", "AndIt", "Or", "OrIt", "Xor", "XorIt", "Equiv", "Implication",
    "IfThenElse", "pow_expression", "Zero", "One",
]
__version__ = zk_version
