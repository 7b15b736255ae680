import numpy as np
import pytest

from zk_encoder.core.manager import Manager
from zk_encoder.core.pboperations import PBVariable
from zk_encoder.core.variable import GeneratorVariable, Index, Variable


class Text:
    """An index value whose text form is an index expression, as the model's indexes are."""

    def __init__(self, text):
        self.text = text

    def __str__(self):
        return self.text


@pytest.fixture
def manager():
    m = Manager()
    m.registration_generator_variables("x")
    return m


@pytest.fixture
def x(manager):
    return manager.name2genvar["x"]


NAMES = [
    ((1, 2), "x(1,2)"),
    ((3,), "x(3)"),
    ((-1, 0), "x(-1,0)"),
    ((), "x()"),
    (("a",), "x(a)"),
    ((Text("i + 1"), Text("j")), "x(i + 1,j)"),
]


@pytest.mark.parametrize("items,name", NAMES, ids=[n for _, n in NAMES])
def test_element_name_is_family_and_item_texts(manager, x, items, name):
    v = x(*items)
    assert type(v) is Variable
    assert v.name == name
    assert manager.name2pb[name] == v.pb_var
    assert str(v.bx_var) == name  # the engine prints the variable back under that name


def test_equal_items_share_one_registration(manager, x):
    first, second = x(1, 2), x(1, 2)
    assert first is not second
    assert first.bx_var is second.bx_var and first.pb_var == second.pb_var
    assert list(manager.name2pb) == ["x(1,2)"]
    assert x(2, 1).pb_var != first.pb_var


def test_views_of_an_element(x):
    v = x(1, 2)
    assert v.to_bx() is v.bx_var and v.to_bx() is v.to_bx()
    node, again = v.to_pb(), v.to_pb()
    assert type(node) is PBVariable and node is not again
    assert (node.pb_var, node.name, node.coefficient) == (v.pb_var, "x(1,2)", 1)


# A formula text writes a product's left operand as it stands, so an element reference meets the
# integer factor of its right operand bare: "x(1,2) * (2 ** 3)". It scales as its term node does.
FACTORS = [("int", 3, 3), ("negative", -2, -2), ("zero", 0, 0), ("bool", True, 1),
           ("numpy_int64", np.int64(5), 5), ("numpy_uint8", np.uint8(7), 7),
           ("past_64_bits", 2 ** 70, 2 ** 70)]


@pytest.mark.parametrize("factor,plain", [f[1:] for f in FACTORS], ids=[f[0] for f in FACTORS])
def test_an_element_times_an_integer_is_its_scaled_term_on_either_side(x, factor, plain):
    v = x(1, 2)
    for node in (v * factor, factor * v):
        assert type(node) is PBVariable
        assert (node.pb_var, node.name, node.coefficient) == (v.pb_var, "x(1,2)", plain)
        assert type(node.coefficient) is int
    assert (v * factor).to_maxsat() == (factor * v.to_pb()).to_maxsat()


@pytest.mark.parametrize("factor", [2.5, "2", None], ids=["float", "text", "none"])
def test_an_element_times_anything_else_is_refused_as_the_host_refuses_it(x, factor):
    v = x(1)
    name = type(factor).__name__
    with pytest.raises(TypeError, match=f"^unsupported operand type\\(s\\) for \\*: 'Variable' "
                                        f"and '{name}'$"):
        v * factor
    with pytest.raises(TypeError):
        factor * v
    with pytest.raises(TypeError, match="'Variable' and 'Variable'"):
        v * x(2)
    with pytest.raises(TypeError, match="'Variable' and 'PBVariable'"):
        v * x(2).to_pb()


def test_keyword_items_are_refused(x):
    with pytest.raises(TypeError):
        x(1, j=2)


def test_after_a_reset_the_same_items_register_afresh(manager, x):
    before = x(1, 2)
    old_context = manager.bx_context
    manager.reset()
    after = x(1, 2)
    assert manager.name2genvar["x"] is x and x.manager is manager
    assert manager.bx_context is not old_context
    assert after.bx_var is not before.bx_var
    assert manager.name2pb == {"x(1,2)": after.pb_var}


def test_generator_registers_through_any_registry():
    class Registry:
        def __init__(self):
            self.names = []

        def add_variable(self, name):
            self.names.append(name)
            return ("engine-var", len(self.names))

    reg = Registry()
    g = GeneratorVariable("y", reg)
    assert (g.name, g.manager) == ("y", reg)
    v = g(0, Text("k"))
    assert (v.bx_var, v.pb_var, v.name) == ("engine-var", 1, "y(0,k)")
    assert reg.names == ["y(0,k)"]


def test_variable_and_index_are_plain_records():
    v = Variable("bx", 4, "z(1)")
    assert (v.bx_var, v.pb_var, v.name) == ("bx", 4, "z(1)")
    idx = Index("i", 0, 10)
    assert (idx.name, idx.range_start, idx.range_end, idx.range_step) == ("i", 0, 10, 1)
    assert Index("j", 1, 9, 2).range_step == 2


SIGNATURES = [
    (GeneratorVariable.__init__, "__init__(self, name: str, manager) -> None"),
    (GeneratorVariable.__call__, "__call__(self, *items)"),
    (Variable.__init__, "__init__(self, bx_var: bx.Variable, pb_var: int, name: str) -> None"),
    (Variable.to_bx, "to_bx(self)"),
    (Variable.to_pb, "to_pb(self)"),
    (Variable.__mul__, "__mul__(self, other)"),
    (Variable.__rmul__, "__rmul__(self, other)"),
]


@pytest.mark.parametrize("fn,text", SIGNATURES,
                         ids=["generator-init", "generator-call", "init", "to_bx", "to_pb", "mul", "rmul"])
def test_signatures_carry_the_declared_annotations(fn, text):
    assert fn.__doc__ == text


class Holder:
    pass


# Each bound class with the object that closes the cycle through one of its fields.
CYCLES = [
    ("generator-manager", lambda h: GeneratorVariable("x", h)),
    ("generator-name", lambda h: GeneratorVariable(h, None)),
    ("variable-bx", lambda h: Variable(h, 1, "x")),
    ("variable-name", lambda h: Variable(None, 1, h)),
    ("index-start", lambda h: Index("i", h, 3)),
    ("index-step", lambda h: Index("i", 0, 3, h)),
]


@pytest.mark.parametrize("make", [c[1] for c in CYCLES], ids=[c[0] for c in CYCLES])
def test_objects_in_a_cycle_through_their_fields_are_collected(make):
    import gc
    import weakref

    def cycle():
        holder = Holder()
        holder.back = make(holder)
        return weakref.ref(holder)

    ref = cycle()
    gc.collect()
    assert ref() is None


@pytest.mark.parametrize("cls, args", [
    (GeneratorVariable, ("x", None)), (Variable, (None, 1, "x")), (Index, ("i", 0, 3)),
], ids=["generator", "variable", "index"])
def test_a_subclass_dictionary_is_seen_once_and_its_cycles_are_collected(cls, args):
    import gc
    import weakref

    class Sub(cls):
        pass

    obj = Sub(*args)
    obj.extra = Holder()
    assert [r is vars(obj) for r in gc.get_referents(obj)].count(True) == 1

    def cycle():
        inner = Sub(*args)
        inner.holder = Holder()
        inner.holder.back = inner
        return weakref.ref(inner.holder)

    ref = cycle()
    gc.collect()
    assert ref() is None
