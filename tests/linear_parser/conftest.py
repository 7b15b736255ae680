"""Fixtures of the first linear generation's tests: an engine solver module that records every
call its solvers get, and a seeded random source."""

import random
import types

import pytest

import nubrix.sorn_engine.linsolver as real_linsolver


class Recorder:
    """Stands in for nubrix.sorn_engine.linsolver; keeps every call of its solvers as (operation,
    arguments), in call order. With `forward`, every call also goes to a solver of the real
    module, whose answers are returned, so that the model can be solved."""

    def __init__(self, forward=False):
        self.calls = []
        recorder = self

        class LinearSolver:
            def __init__(self):
                recorder.calls.append(("LinearSolver", ()))
                self._real = real_linsolver.LinearSolver() if forward else None

            def __getattr__(self, op):
                def call(*args):
                    recorder.calls.append((op, args))
                    if self._real is not None:
                        return getattr(self._real, op)(*args)
                    return None

                return call

        self.module = types.SimpleNamespace(
            LinearSolver=LinearSolver, LinsolverSolution=real_linsolver.LinsolverSolution,
            LinsolverVarType=real_linsolver.LinsolverVarType, ObjSense=real_linsolver.ObjSense,
            HessianFormat=real_linsolver.HessianFormat,
            LinsolverModelStatus=real_linsolver.LinsolverModelStatus,
            kLinsolverInf=real_linsolver.kLinsolverInf)


@pytest.fixture
def recorder():
    """The recording module's class: recorder() records, recorder(forward=True) also solves."""
    return Recorder


class Seeded(random.Random):
    """A random source that keeps its seed, to be named in a failure and replayed with."""

    def __init__(self, seed):
        super().__init__(seed)
        self.seed_value = seed


@pytest.fixture
def rng():
    """A random source with a fresh seed, printed (pytest shows it with a failure)."""
    seed = random.randrange(2**32)
    print("seed", seed)
    return Seeded(seed)
