"""Index symbols and variable families of the pseudo-Boolean front end.

`Model.get_indexes` gives the index symbols and `Model.create_variables` the families; programs
use them to write variable references such as `x[i, j + 1]` inside expressions.
"""

from typing import Dict, Optional

from zk_encoder.core.zk_logger import *
from zk_encoder.encode.expressions import VariableProxy

class Index:
    """An index symbol (from `Model.get_indexes`) for use in subscripts: `x[i, j + 1]`.

    It carries its name and a text; its values come from the for-all keyword of the same name
    (`add_constraint(..., i=range(n))`) or from the `Sum`/`And`/`Or`/`Xor` around it. Allowed
    forms: `i`, `i + n`, `i - n`, `n * i` and `i + j` (one operation, integer on the right of
    `+`/`-`, on the left of `*`).
    """

    name: str
    expression: str
    def __init__(self, name: str, expression: Optional[str] = None) -> None:
        """:param name: the index name.
        :param expression: the index text; the name when None.
        """
    def __add__(self, shift: int) -> Index:
        """`i + shift`: the index moved by an integer (or another index)."""
    def __sub__(self, shift: int) -> Index:
        """`i - shift`: the index moved back by an integer."""
    def __rmul__(self, shift: int) -> Index:
        """`shift * i`: the index times an integer (`i * 2` is not supported)."""
    def __str__(self) -> str:
        """The index text, such as "i + 1"."""

class Variable:
    """A family of Boolean variables over named dimensions (from `Model.create_variables`).

    `x[i, j]` gives a variable reference for expressions. The elements carry consecutive
    clause-variable numbers in row-major order (last index fastest), from `st_shift` on.
    """

    name: str
    indexes: Dict[str, int]
    st_shift: int
    shifts: list[int]
    def __init__(self, name: str, indexes: Dict[str, int], st_shift: int) -> None:
        """Made by `Model.create_variables`; programs need not make one.

        :param name: the family name.
        :param indexes: dimension name to size, in order.
        :param st_shift: the number of the first element.
        """
    def __getitem__(self, items) -> VariableProxy:
        """`x[i, j + 1]`, `x[0, 3]`: a reference to one element, for use in expressions.

        :param items: one index symbol or integer per dimension (not checked here; index values
            beyond the sizes are not detected: keep them in range).
        """
    def __call__(self, *items: int) -> int:
        """`x(1, 2)`: the clause-variable number of the element with these index values.

        :param items: one integer per dimension (not checked against the sizes).
        :raises TypeError: the count of values differs from the dimensions, or one is not an int.
        """
    @property
    def map(self) -> Dict[str, int]:
        """Element names to numbers, such as {"x[0,0]": 1, "x[0,1]": 2, ...}; a new dict."""
    def copy(self) -> Variable:
        """A new family with the same name, sizes and numbers."""
