"""Objects made and freed by the million are kept for reuse: a new one must show nothing of one
freed before it."""

import gc
import weakref


def check_freed_leave_nothing(make, fresh, rounds=300):
    """make(): a new object; fresh(obj): whether it is as new. An attribute set on a freed one
    and a weak reference to it must not reach the objects made after it."""
    e = make()
    e.note = 1
    ref = weakref.ref(e) if type(e).__weakrefoffset__ else None
    del e
    gc.collect()
    assert ref is None or ref() is None
    for _ in range(rounds):
        f = make()
        assert not hasattr(f, "note") and fresh(f)
