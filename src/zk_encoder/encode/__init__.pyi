"""The pseudo-Boolean expression language (`Model` lives in `zk_encoder.encode.model`)."""

from .expressions import (Sum as Sum, SumIt as SumIt, And as And, AndIt as AndIt, Or as Or,
                          OrIt as OrIt, Xor as Xor, XorIt as XorIt, Equiv as Equiv,
                          Implication as Implication, IfThenElse as IfThenElse,
                          pow_expression as pow_expression, Zero as Zero, One as One)

__all__: list[str]
