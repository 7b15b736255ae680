"""Fixtures shared by the library's tests (the engine's log sink is the repository's conftest.py;
plain helpers are in tests/support/)."""

import pytest

from support.fakes import RecordingLinsolver
from support.seeds import Seeded, fresh_seed


@pytest.fixture
def recorder():
    """The recording linsolver class: recorder() records, recorder(forward=True) also solves."""
    return RecordingLinsolver


@pytest.fixture
def rng():
    """A random source with a fresh seed, printed (pytest shows it with a failure)."""
    seed = fresh_seed()
    return Seeded(seed)
