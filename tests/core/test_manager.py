import gc
import weakref

import pytest

import nubrix.sorn_engine.pbct as pb
from zk_encoder.core.manager import Manager
from zk_encoder.core.variable import GeneratorVariable


class Counting:
    """Wraps an engine object and counts the calls of one of its methods."""

    def __init__(self, inner, method):
        self.inner, self.method, self.calls = inner, method, []

    def __getattr__(self, name):
        attr = getattr(self.inner, name)
        if name != self.method:
            return attr

        def counted(*args):
            self.calls.append(args)
            return attr(*args)

        return counted


@pytest.fixture
def manager():
    return Manager()


@pytest.fixture
def counted(manager):
    """The manager's number source and context, each call counted."""
    manager.pb_var_manager = Counting(manager.pb_var_manager, "get_variable")
    manager.bx_context = Counting(manager.bx_context, "get_var")
    return manager


def test_a_new_manager(manager):
    assert manager.cnt_pbvar == 0
    for m in (manager.name2genvar, manager.name2pb, manager.pb2bx, manager.pb2name):
        assert type(m) is dict and m == {}
    assert manager.pb_config.pb_encoder == pb.PB_Encoder_type.ADDER
    assert manager.pb_config.max_clauses_per_constraint == 1000000
    assert type(manager.pb_var_manager) is pb.AuxVarManager


def test_a_name_reaches_the_engine_once(counted):
    first = counted.add_variable("x(1,2)")
    again = counted.add_variable("x(1,2)")
    assert first == again and first[0] is again[0]
    assert len(counted.pb_var_manager.calls) == 1
    assert counted.bx_context.calls == [("x(1,2)",)]
    assert str(first[0]) == "x(1,2)"


def test_names_and_numbers_map_both_ways(manager):
    v1, n1 = manager.add_variable("x(1)")
    v2, n2 = manager.add_variable("y(1)")
    assert n1 != n2
    assert manager.name2pb == {"x(1)": n1, "y(1)": n2}
    assert manager.pb2name == {n1: "x(1)", n2: "y(1)"}
    assert manager.pb2bx[n1] is v1 and manager.pb2bx[n2] is v2
    # The engine's encoder draws from the same source: its numbers never collide with these.
    assert manager.pb_var_manager.get_variable() not in (n1, n2)


def test_a_registered_number_is_not_an_auxiliary(manager):
    v, n = manager.add_variable("x(1)")
    assert manager.get_pb_var(n) is v
    assert manager.cnt_pbvar == 0


def test_auxiliaries_are_named_in_order_of_first_request(counted):
    a7, a5, again = counted.get_pb_var(7), counted.get_pb_var(5), counted.get_pb_var(7)
    assert (str(a7), str(a5)) == ("_pbct_aux_0", "_pbct_aux_1")
    assert again is a7
    assert counted.cnt_pbvar == 2
    assert counted.bx_context.calls == [("_pbct_aux_0",), ("_pbct_aux_1",)]
    assert counted.pb2name == {7: "_pbct_aux_0", 5: "_pbct_aux_1"}
    assert counted.name2pb == {"_pbct_aux_0": 7, "_pbct_aux_1": 5}
    assert counted.pb_var_manager.calls == []


def test_another_prefix_consumes_the_shared_counter(manager):
    manager.cnt_pbvar = 3
    assert str(manager.get_pb_var(11, "aux")) == "aux_3"
    assert manager.cnt_pbvar == 4
    assert str(manager.get_pb_var(12)) == "_pbct_aux_4"


def test_unhashable_numbers_fail_in_the_map(manager):
    with pytest.raises(TypeError):
        manager.get_pb_var([1])


def test_first_registration_of_a_family_wins(manager):
    manager.registration_generator_variables("x")
    first = manager.name2genvar["x"]
    assert manager.registration_generator_variables("x") is None
    assert manager.name2genvar["x"] is first
    assert type(first) is GeneratorVariable
    assert first.name == "x" and first.manager is manager


def test_reset_renews_the_engine_objects_and_keeps_the_generators(manager):
    manager.registration_generator_variables("x")
    generators = dict(manager.name2genvar)
    x = manager.name2genvar["x"]
    before = x(1)
    manager.get_pb_var(1000)
    maps = (manager.name2pb, manager.pb2bx, manager.pb2name)
    engine = (manager.bx_context, manager.pb_config, manager.pb_var_manager)

    assert manager.reset() is None
    assert manager.cnt_pbvar == 0
    assert maps == (manager.name2pb, manager.pb2bx, manager.pb2name) == ({}, {}, {})
    assert all(old is new for old, new in zip(maps, (manager.name2pb, manager.pb2bx,
                                                       manager.pb2name)))
    for old, new in zip(engine, (manager.bx_context, manager.pb_config, manager.pb_var_manager)):
        assert old is not new
    assert manager.pb_config.pb_encoder == pb.PB_Encoder_type.ADDER
    assert manager.pb_config.max_clauses_per_constraint == 1000000
    assert manager.name2genvar == generators and manager.name2genvar["x"] is x

    # Registering afresh after the reset: a number from the new source, a variable of the new
    # context, and the auxiliary counter starts again from 0.
    counted = Counting(manager.pb_var_manager, "get_variable")
    manager.pb_var_manager = counted
    after = x(1)
    assert len(counted.calls) == 1
    assert after.bx_var is not before.bx_var
    assert manager.name2pb == {"x(1)": after.pb_var}
    assert str(manager.get_pb_var(1000)) == "_pbct_aux_0"


def test_a_manager_and_its_generators_are_collected():
    class Marker:
        pass

    manager = Manager()
    manager.registration_generator_variables("x")
    manager.name2genvar["x"](1)
    marker = Marker()
    manager.pb_config = marker
    alive = weakref.ref(marker)
    del manager, marker
    gc.collect()
    assert alive() is None


SIGNATURES = [
    ("init", Manager.__init__, "__init__(self)"),
    ("registration", Manager.registration_generator_variables,
     "registration_generator_variables(self, name: str) -> None"),
    ("add_variable", Manager.add_variable,
     "add_variable(self, name: str) -> Tuple[bx.Variable, int]"),
    ("get_pb_var", Manager.get_pb_var,
     "get_pb_var(self, pb_var: int, prefix: str = '_pbct_aux') -> bx.Variable"),
    ("reset", Manager.reset, "reset(self) -> None"),
]


@pytest.mark.parametrize("fn,text", [c[1:] for c in SIGNATURES], ids=[c[0] for c in SIGNATURES])
def test_signatures_carry_the_declared_annotations(fn, text):
    assert fn.__doc__ == text


class Refusing:
    """Stands in for the engine module `pb` with one factory that fails."""

    def __init__(self, failing):
        self.failing = failing

    def __getattr__(self, name):
        if name == self.failing:
            def refuse(*args):
                raise RuntimeError(f"{name} refused")
            return refuse
        return getattr(pb, name)


# (failing engine factory, the engine fields that a failed reset has made again)
PARTIAL_RESETS = [
    ("PBConfig", ["bx_context"]),
    ("AuxVarManager", ["bx_context", "pb_config"]),
]


@pytest.mark.parametrize("failing,renewed", PARTIAL_RESETS, ids=[p[0] for p in PARTIAL_RESETS])
def test_a_reset_the_engine_fails_keeps_what_it_had_made(monkeypatch, manager, failing, renewed):
    import zk_encoder.core.manager as module

    manager.add_variable("x(1)")
    old = {f: getattr(manager, f) for f in ("bx_context", "pb_config", "pb_var_manager")}
    monkeypatch.setattr(module, "pb", Refusing(failing))
    with pytest.raises(RuntimeError, match=f"^{failing} refused$"):
        manager.reset()
    assert manager.cnt_pbvar == 0 and manager.name2pb == {} and manager.pb2bx == {}
    for field, before in old.items():
        if field in renewed:
            assert getattr(manager, field) is not before
        else:
            with pytest.raises(AttributeError, match=f"object has no attribute '{field}'$"):
                getattr(manager, field)
