"""Recording fakes of the engine, shared by the tests."""

import types

import numpy as np

import nubrix.sorn_engine.linsolver as real_linsolver


def plain(value):
    """A recorded argument as what it is, down to dtypes and the bits of floats, so that two
    recordings compare equal only when the engine got the same."""
    if isinstance(value, np.ndarray):
        return ("array", value.dtype.str, [plain(v) for v in value.tolist()])
    if isinstance(value, np.generic):
        return ("scalar", value.dtype.str, plain(value.item()))
    if isinstance(value, float):
        return ("float", value.hex())
    if isinstance(value, real_linsolver.LinsolverSolution):
        return ("start", plain(np.asarray(value.col_value)))
    if isinstance(value, (bool, int, str)) or value is None:
        return (type(value).__name__, value)
    return ("other", repr(value))


class Solution:
    """A solution record as the engine's getSolution answers it, or as a model fills it with start
    values. Unlike the engine's own, it keeps what it is given as it is (the same array), so that
    a test can see what a model handed over."""

    def __init__(self, col_value=(), value_valid=True):
        self.col_value = list(col_value)
        self.value_valid = value_valid


ANSWERS = ("getSolution", "getInfo", "getModelStatus")


class RecordingLinsolver:
    """Stands in for nubrix.sorn_engine.linsolver, with its enumerations and constants. Every call
    its solvers get is kept in `calls`, in call order, as (operation, arguments), a new solver as
    ("LinearSolver", ()); each solver (in `solvers`) also keeps its own calls in its `calls`.
    `keep` is applied to each argument first (as given when it is None; `plain` for a comparison
    down to the bits).

    With `forward`, every call also goes to a solver of the real module, whose answers are
    returned. Otherwise the recorder answers: getSolution with `solution`, getInfo with
    `objective`, getModelStatus with `status`; an operation named in `fail` raises the exception
    given there. `record_answers=False` leaves those three questions out of the record;
    `record_starts` records each new LinsolverSolution as ("LinsolverSolution", ())."""

    def __init__(self, forward=False, keep=None, record_answers=True, record_starts=False):
        self.calls = []
        self.solvers = []
        self.status = real_linsolver.LinsolverModelStatus.kOptimal
        self.solution = Solution()
        self.objective = 0.0
        self.fail = {}
        self._forward = forward
        self._record_starts = record_starts
        recorder = self
        keep = keep or (lambda value: value)

        class LinearSolver:
            def __init__(self):
                self.calls = []
                recorder.calls.append(("LinearSolver", ()))
                recorder.solvers.append(self)
                self._real = real_linsolver.LinearSolver() if forward else None

            def __getattr__(self, op):
                # Forwarding, an operation the real solver lacks is missing here too.
                method = getattr(self._real, op) if self._real is not None else None

                def call(*args):
                    if record_answers or op not in ANSWERS:
                        call_record = (op, tuple(keep(a) for a in args))
                        recorder.calls.append(call_record)
                        self.calls.append(call_record)
                    if method is not None:
                        return method(*args)
                    if op in recorder.fail:
                        raise recorder.fail[op]
                    return recorder._answer(op)

                return call

        self.LinearSolver = LinearSolver

    def _answer(self, op):
        if op == "getSolution":
            return self.solution
        if op == "getInfo":
            return types.SimpleNamespace(objective_function_value=self.objective)
        if op == "getModelStatus":
            return self.status
        return None

    def LinsolverSolution(self):
        if self._record_starts:
            self.calls.append(("LinsolverSolution", ()))
        return real_linsolver.LinsolverSolution() if self._forward else Solution(value_valid=False)

    def __getattr__(self, name):
        return getattr(real_linsolver, name)

    @property
    def module(self):
        """What a model's module takes as its `linsolver`: the recorder itself."""
        return self

    def ops(self):
        return [op for op, _ in self.calls]

    def take(self):
        """The calls so far, which are then forgotten."""
        calls, self.calls = self.calls, []
        return calls

    def solver_calls(self):
        """The calls of the only solver made so far."""
        assert len(self.solvers) == 1
        return self.solvers[0].calls

    def solver_ops(self):
        return [op for op, _ in self.solver_calls()]
