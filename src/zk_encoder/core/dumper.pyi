from abc import ABC, abstractmethod
from dataclasses import dataclass
from typing import Any, Dict, Optional, Sequence

import nubrix.sorn_engine as se
from zk_encoder.core.zk_logger import *

def reduce_ex(mappings) -> Dict[str, int]: ...
def _compile_template(record: DumpArgs) -> bool: ...

@dataclass
class DumpArgs:
    template_constraint: Sequence[Sequence[str]]
    weights: Optional[Sequence[int]]
    foralls: Dict[str, Sequence[int]]
    num_formula: int
    init_shift_variable: int
    shift_pb_variable: int
    shift_bx_variable: int
    offset_shift_for_formula: int
    eval_state: Dict[str, Any]
    cnf_stor: se.wcnf_storage

class Dumper(ABC):
    __BXPR_AUX: str
    __PBCT_AUX: str
    @classmethod
    @abstractmethod
    def dump(cls, dump_args: Sequence[DumpArgs]) -> None: ...
    @staticmethod
    def _dump_cnf(a: DumpArgs) -> Dict[str, int]: ...
    @staticmethod
    def __print_all_formula(temp_cnf, weights, num_formula, init_shift_variable,
                            shift_pb_variable, shift_bx_variable, offset_shift_formulas,
                            mapping: Dict[str, int], cnf_stor) -> None: ...

class One2OneDumper(Dumper):
    @classmethod
    def dump(cls, list_dump_args: Sequence[DumpArgs]) -> Dict[str, int]: ...
