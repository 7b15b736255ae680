"""Recording fakes of the engine, shared by the tests. (The first generation's test_linear_model
and the second's test_model keep recorders of their own: they answer for the solver and record
what only their tests look at.)"""

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


class RecordingLinsolver:
    """Stands in for nubrix.sorn_engine.linsolver. Every call its solvers get is kept in `calls`,
    in call order, as (operation, arguments); a new solver as ("LinearSolver", ()). `keep` is
    applied to each argument first (as given when it is None; `plain` for a comparison down to
    the bits). With `forward`, every call also goes to a solver of the real module, whose answers
    are returned (None otherwise), so that the model can be solved. Everything else is the real
    module's."""

    def __init__(self, forward=False, keep=None):
        self.calls = []
        recorder = self
        keep = keep or (lambda value: value)

        class LinearSolver:
            def __init__(self):
                recorder.calls.append(("LinearSolver", ()))
                self._real = real_linsolver.LinearSolver() if forward else None

            def __getattr__(self, op):
                # Forwarding, an operation the real solver lacks is missing here too.
                method = getattr(self._real, op) if self._real is not None else None

                def call(*args):
                    recorder.calls.append((op, tuple(keep(a) for a in args)))
                    return method(*args) if method is not None else None

                return call

        self.LinearSolver = LinearSolver

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
