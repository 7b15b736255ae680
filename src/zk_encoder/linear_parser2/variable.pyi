import os as os
from numbers import Integral as Integral
from typing import NoReturn, Sequence as Sequence, Union as Union

import numpy as np
from scipy.sparse import csr_array as csr_array

from zk_encoder.core.zk_logger import *
from zk_encoder.linear_parser2._expression import LinearExpression, LinearExpressionsArr

DEBUG: bool
_IndexType = Union[Integral, np.integer, slice]

class VariableArray:
    """Multidimensional array of task variables"""

    _total_created_variables: int

    _name: str
    _shape: Sequence[int]
    _count_elems: np.number
    _lower_bound: float
    _type: type
    _upper_bound: float
    _shift: int

    def __init__(self, name: str, shape: Sequence[int], lower_bound: float, upper_bound: float,
                 type_var: type, shift: int = 0) -> None: ...
    def __getitem__(
        self, item: Union[_IndexType, list, np.ndarray, Sequence[_IndexType]]
    ) -> Union[LinearExpression, LinearExpressionsArr]: ...
    def __iter__(self) -> NoReturn: ...
    @property
    def shape(self) -> Sequence[int]: ...
    @property
    def lower_bound(self) -> float: ...
    @property
    def upper_bound(self) -> float: ...
    @property
    def name(self) -> str: ...
    @property
    def type(self) -> type: ...
    def _map(self) -> np.ndarray: ...
