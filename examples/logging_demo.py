"""The library's diagnostics reach the program's own logging configuration through the engine."""

import logging
import sys

logging.basicConfig(level=logging.DEBUG, stream=sys.stdout,
                    format="%(levelname)-8s %(name)s: %(message)s")

import zk_encoder  # noqa: E402
from zk_encoder import _exceptions  # noqa: E402
from zk_encoder.core.zk_logger import log_d, log_e, log_i, log_w  # noqa: E402

print("zk_encoder", zk_encoder.__version__)
log_i("info line from the library")
log_d("debug line from the library")
log_w("warning line from the library")
try:
    log_e("Variable 'x' cannot be created")
    raise _exceptions.VariableError("Variable 'x' cannot be created")
except _exceptions.VariableError as err:
    print("caught", type(err).__qualname__, "-", err)
