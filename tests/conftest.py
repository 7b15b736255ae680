"""Fixtures shared by the library's tests (the engine's log sink is the repository's conftest.py;
plain helpers are in tests/support/)."""

import random

import pytest

from support.fakes import RecordingLinsolver


@pytest.fixture
def recorder():
    """The recording linsolver class: recorder() records, recorder(forward=True) also solves."""
    return RecordingLinsolver


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
