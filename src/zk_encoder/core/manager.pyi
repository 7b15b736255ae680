from typing import Dict, Tuple as Tuple

import nubrix.sorn_engine.bxpr as bx
import nubrix.sorn_engine.pbct as pb
from zk_encoder.core.variable import GeneratorVariable as GeneratorVariable

class Manager:
    bx_context: bx.Context
    pb_config: pb.PBConfig
    pb_var_manager: pb.AuxVarManager
    name2genvar: Dict[str, GeneratorVariable]
    name2pb: Dict[str, int]
    pb2bx: Dict[int, bx.Variable]
    pb2name: Dict[int, str]
    cnt_pbvar: int
    def __init__(self): ...
    def registration_generator_variables(self, name: str) -> None: ...
    def add_variable(self, name: str) -> Tuple[bx.Variable, int]: ...
    def get_pb_var(self, pb_var: int, prefix: str = "_pbct_aux") -> bx.Variable: ...
    def reset(self) -> None: ...
