"""The one source of seeds for the random tests: every seed is drawn here and printed, so that
pytest shows it with a failure and the run can be replayed with it."""

import os
import random


class Seeded(random.Random):
    """A random source that keeps its seed, to be named in a failure and replayed with."""

    def __init__(self, seed):
        super().__init__(seed)
        self.seed_value = seed


def fresh_seed(variable=None):
    """A fresh seed, printed. With `variable`, a value of that name in the environment replays
    a run instead, and the seed is printed under that name. The draw does not touch the global
    random state, which a test may have seeded itself."""
    given = os.environ.get(variable) if variable else None
    seed = int(given) if given else random.SystemRandom().randrange(2**32)
    print(f"{variable or 'seed'}={seed}")
    return seed
