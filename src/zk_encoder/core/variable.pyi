import nubrix.sorn_engine.bxpr as bx
from zk_encoder.core.pboperations import PBVariable as PBVariable

class GeneratorVariable:
    name: str
    manager: object
    def __init__(self, name: str, manager) -> None: ...
    def __call__(self, *items): ...

class Variable:
    bx_var: bx.Variable
    pb_var: int
    name: str
    def __init__(self, bx_var: bx.Variable, pb_var: int, name: str) -> None: ...
    def to_bx(self): ...
    def to_pb(self): ...

class Index:
    name: object
    range_start: object
    range_end: object
    range_step: object
    def __init__(self, name, range_start, range_end, range_step=1) -> None: ...
