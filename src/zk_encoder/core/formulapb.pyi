import nubrix.sorn_engine.bxpr as bx
import nubrix.sorn_engine.pbct as pb
from zk_encoder.core.zk_logger import *

class FormulaPB:
    expression: object
    comparator: object
    border: tuple
    def __init__(self, expression, comparator, *border) -> None: ...
    def to_bx(self, manager): ...
    def to_maxsat(self, manager, minimization) -> tuple: ...
