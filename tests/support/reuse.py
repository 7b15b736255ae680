"""Objects made and freed by the million are kept for reuse: a new one must show nothing of one
freed before it."""

import gc
import weakref

import pytest


def check_freed_leave_nothing(make, fresh, rounds=300):
    """make(): a new object; fresh(obj): whether it is as new. An attribute set on a freed one
    must not reach the objects made after it, nor may a weak reference: a type that takes weak
    references must clear them when the object goes, and one that does not must refuse them
    (a reuse list that kept a weak reference alive would hand it to the next object)."""
    e = make()
    e.note = 1
    if type(e).__weakrefoffset__:
        ref = weakref.ref(e)
    else:
        with pytest.raises(TypeError, match="weak reference"):
            weakref.ref(e)
        ref = None
    del e
    gc.collect()
    assert ref is None or ref() is None
    for _ in range(rounds):
        f = make()
        assert not hasattr(f, "note") and fresh(f)
