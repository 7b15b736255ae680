"""The pseudo-Boolean model: declarations, intake and modes, evaluation outcomes, builds, result
access and the forwarding to the engine's formula encoder, with their messages and log lines."""

import datetime as dt
import inspect
import itertools
import re
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import nubrix.sorn_engine as se
import zk_encoder
from zk_encoder import Sum, Zero
from zk_encoder._exceptions import BuildError, FormulaError, TargetError, VariableError
from zk_encoder.encode.expressions import Expression
from zk_encoder.encode.model import Model
from zk_encoder.encode.variables import Index, Variable


# --- fakes of the engine's side that record what the model hands them --------------------------


class RecordingEncoder:
    """Stands in for the engine's formula encoder and answers with fixed objects."""

    def __init__(self, name):
        self.name = name
        self.calls = []
        self.storage = object()
        self.mapping = None
        self.metrics_result = "metrics"
        self.check_result = "checked"

    def __getattr__(self, op):
        def record(*args):
            self.calls.append((op, args))
            return {
                "get_cnf_storage": self.storage,
                "get_var_mapping": self.mapping,
                "save_metrics_json": self.metrics_result,
                "save_metrics_csv": self.metrics_result,
                "check_another_witness": self.check_result,
            }.get(op)

        return record


class RecordingManager:
    """Stands in for the engine manager: records what it is handed, makes recording encoders."""

    def __init__(self):
        self.encoders = []
        self.storages = []
        self.interpreters = []
        self.storage = None

    def create_formula_encoder(self, name):
        enc = RecordingEncoder(name)
        self.encoders.append(enc)
        return enc

    def set_cnf_storage(self, storage):
        self.storages.append(storage)
        self.storage = storage

    def set_witness_interpreter(self, wi):
        self.interpreters.append(wi)

    def get_cnf_storage(self):
        return self.storage


class RecordingStorage:
    def __init__(self):
        self.values = []

    def insert_prefatory_value(self, lit):
        self.values.append(lit)


@pytest.fixture
def own():
    return Model(se.manager(), "m")


@pytest.fixture
def fake():
    return RecordingManager()


@pytest.fixture
def fem(fake):
    return Model(fake, "fm", True)


def lines(sink, level):
    return [str(m) for m in sink.at(level)]


# --- module and class -----------------------------------------------------------------------


def test_module_binds_its_names_in_order():
    import zk_encoder.encode.model as mod
    import nubrix.sorn_engine.bxpr as bx
    import nubrix.sorn_engine.pbct as pb
    import typing
    import traceback
    import functools
    import operator

    names = ["tp", "traceback", "re", "reduce", "mul", "datetime", "se", "bx", "pb", "Variable",
             "Index", "Expression", "FormulaContainer", "pboperations", "formulapb", "manager",
             "variable", "VariableError", "FormulaError", "TargetError", "BuildError"]
    present = [n for n in mod.__dict__ if n in names]
    assert present == names
    assert mod.tp is typing and mod.traceback is traceback and mod.re is re
    assert mod.reduce is functools.reduce and mod.mul is operator.mul
    assert mod.datetime is dt.datetime and mod.se is se and mod.bx is bx and mod.pb is pb
    assert mod.Variable is Variable and mod.Index is Index and mod.Expression is Expression
    for fn in ["log_c", "log_e", "log_w", "log_i", "log_d", "log_t", "logging"]:
        assert hasattr(mod, fn)


def test_package_exports_model_first():
    assert zk_encoder.Model is Model
    assert zk_encoder.__all__[0] == "Model"


def test_class_attributes_and_docs():
    pattern = Model._Model__EXPRESSION_FORMULA_RE
    assert pattern.pattern == r"(.*),\sline\s(\d+),(.*)\n(.*)" and len(pattern.pattern) == 29
    assert Model._Model__BXPR_AUX == "_bxpr_aux"
    assert Model._Model__PBCT_AUX == "_pbct_aux"
    assert Model._Model__DUMMY_VAR == "dummy_var"
    assert Model.__doc__.startswith("Main class of pseudo-boolean model")
    assert Model.__init__.__doc__ is not None and "Initializes an instance of model." in \
        Model.__init__.__doc__
    assert "Provides variables for writing expressions." in Model.create_variables.__doc__
    assert "Creation CNF" in Model.build_cnf.__doc__


# The operations in definition order: the signature line with the declared annotations and
# defaults, and the first line of the documentation text (None: no documentation).
OPERATIONS = [
    ("__init__", "__init__(self, smanager: se.manager, name: str, "
     "use_formula_encoder: bool = False) -> None", "Initializes an instance of model."),
    ("get_name", "get_name(self) -> str", None),
    ("create_variables", "create_variables(self, name: str, **dims: int) -> Variable",
     "Provides variables for writing expressions."),
    ("get_indexes", "get_indexes(self, indexes: tp.Sequence[str]) -> "
     "tp.Union[Index, tp.Sequence[Index]]", "Provides indexes for writing expressions."),
    ("add_constraint", "add_constraint(self, constraint: Expression, "
     "**foralls: tp.Sequence[int]) -> None", "Adds hard constraint to the model."),
    ("add_soft_constraint", "add_soft_constraint(self, constraint: Expression, weight: int = 1, "
     "minimization: bool = False, **foralls: tp.Sequence[int]) -> None",
     "Adds soft constraint to the model."),
    ("use_target", "use_target(self) -> bool", "Is the target set in the model"),
    ("add_target", "add_target(self, target) -> None", "Adds target to the model."),
    ("_Model__reset_target", "_Model__reset_target(self) -> None", None),
    ("_Model__build_target", "_Model__build_target(self, border: int, minimization: bool)", None),
    ("_Model__fill_hard_constraint", "_Model__fill_hard_constraint(self, constraint, "
     "foralls: tp.Dict[str, tp.Sequence[int]])", None),
    ("_Model__fill_soft_constraint", "_Model__fill_soft_constraint(self, constraint, weight: int, "
     "minimization: bool, foralls: tp.Dict[str, tp.Sequence[int]])", None),
    ("_Model__fill_target", "_Model__fill_target(self, target)", None),
    ("_Model__init_formula_container", "_Model__init_formula_container(self)", None),
    ("_Model__init_formula_encoder", "_Model__init_formula_encoder(self)", None),
    ("build_cnf", "build_cnf(self, border: tp.Optional[int] = None, "
     "minimization: tp.Optional[bool] = None) -> bool", "Creation CNF"),
    ("build_wcnf", "build_wcnf(self) -> bool", None),
    ("get_cnf_storage", "get_cnf_storage(self) -> se.wcnf_storage", None),
    ("get_var_mapping", "get_var_mapping(self) -> se.var_mapping", None),
    ("save_metrics_json", "save_metrics_json(self, filename: str)", None),
    ("save_metrics_csv", "save_metrics_csv(self, filename: str)", None),
    ("reset", "reset(self) -> None", None),
    ("set_witness", "set_witness(self, witness) -> None", None),
    ("set_another_witness", "set_another_witness(self, witness) -> None", None),
    ("check_another_witness", "check_another_witness(self) -> bool", None),
    ("get_var_index", "get_var_index(self, var: int) -> int", None),
    ("add_preliminary_var_value", "add_preliminary_var_value(self, var: int, negative=False)",
     None),
]


def test_operations_are_defined_in_order():
    names = [n for n in vars(Model) if not n.startswith("__") or n == "__init__"]
    assert [n for n in names if n in dict((c[0], 0) for c in OPERATIONS)] == \
        [c[0] for c in OPERATIONS]


@pytest.mark.parametrize("name,signature,doc", OPERATIONS, ids=[c[0] for c in OPERATIONS])
def test_signatures_carry_the_declared_annotations(name, signature, doc):
    op = getattr(Model, name)
    text = (op.fget if isinstance(op, property) else op).__doc__
    if isinstance(op, property):
        assert text.split("\n")[0] == signature and op.__doc__.split("\n")[0] == doc
        return
    first, _, rest = text.partition("\n\n")
    assert first == signature
    assert (rest.split("\n")[0] if rest else None) == doc


def test_importing_the_model_module_first_runs_the_whole_start_up():
    code = textwrap.dedent("""
        import sys
        import zk_encoder.encode.model as m
        print(m.Model is sys.modules["zk_encoder"].Model,
              "zk_encoder.linear_parser2" in sys.modules)
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.split() == ["True", "False"]


# --- construction ---------------------------------------------------------------------------


def test_construction_logs_and_placeholder(log_sink):
    m = Model(se.manager(), "m")
    assert lines(log_sink, "info") == [
        " python version : " + se.get_python_version(),
        "     model name : m",
        "           ssfe : False",
        "    add new var : dummy_var{'d': 1} = [1]",
    ]
    assert m._shift_target_variable == 1
    assert list(m._variables) == ["dummy_var"] and m._used_vars == {"dummy_var"}
    assert m._variables["dummy_var"].map == {"dummy_var[0]": 0}
    assert m._is_wcnf is None and m._template_target is None and m.use_target is False
    assert m._formula_container is None and m._formula_encoder is None
    assert m.get_name() == "m"
    assert list(m._formulas_dir) == ["Sum", "FormulaPB", "bx", "pb", "manager"]
    assert m._formulas_dir["manager"] is m._manager
    assert list(m._manager.name2genvar) == ["dummy_var"]


def test_formula_encoder_construction(log_sink, fake):
    m = Model(fake, "fm", True)
    assert lines(log_sink, "info")[2] == "           ssfe : True"
    assert len(lines(log_sink, "info")) == 3
    assert m._shift_target_variable == 0 and m._variables == {} and m._used_vars == set()
    assert fake.encoders == []  # created on first need only


def test_model_name_must_be_a_text(log_sink):
    with pytest.raises(TypeError):
        Model(se.manager(), 7)
    assert len(lines(log_sink, "info")) == 1


# --- variable families and indexes ----------------------------------------------------------


def test_families_follow_each_other(own, log_sink):
    x = own.create_variables("x", i=3, j=4)
    y = own.create_variables("y", k=2)
    z = own.create_variables("z")
    e = own.create_variables("e", k=0)
    w = own.create_variables("w", k=1)
    assert (x.st_shift, y.st_shift, z.st_shift, e.st_shift, w.st_shift) == (1, 13, 15, 16, 16)
    assert own._shift_target_variable == 17
    assert lines(log_sink, "info")[-5:] == [
        "    add new var : x{'i': 3, 'j': 4} = [12]",
        "    add new var : y{'k': 2} = [2]",
        "    add new var : z{} = [1]",
        "    add new var : e{'k': 0} = [0]",
        "    add new var : w{'k': 1} = [1]",
    ]
    assert list(own._variables) == ["dummy_var", "x", "y", "z", "e", "w"]
    assert x.indexes == {"i": 3, "j": 4} and x(2, 3) == 12


def test_create_variables_resets_the_clock(own):
    own._start_time = dt.datetime(2000, 1, 1)
    own.create_variables("x", i=1)
    assert own._start_time.year > 2000


LETTERS = "Variable must have a non-empty name containing only letters"
BAD_FAMILY_NAMES = [
    ("empty", "", ValueError, LETTERS),
    ("digit", "x1", ValueError, LETTERS),
    ("underscore", "a_b", ValueError, LETTERS),
    ("bxpr_prefix", "_bxpr_aux", ValueError, LETTERS),
    ("pbct_prefix", "_pbct_aux", ValueError, LETTERS),
    ("blank", "a b", ValueError, LETTERS),
    ("not_text", 5, ValueError, LETTERS),
    ("placeholder", "dummy_var", VariableError, "Variable named dummy_var is already in use"),
    # Letters only, but a formula text naming them would not name this family.
    ("keyword", "lambda", VariableError,
     "Variable named lambda is a keyword and cannot name a variable"),
    ("micro_sign_read_as_mu", "\u00b5", VariableError,
     "Variable named \u00b5 would not read back as the same name in a formula text"),
    ("ligature_read_as_letters", "\ufb01", VariableError,
     "Variable named \ufb01 would not read back as the same name in a formula text"),
    ("letter_outside_identifiers", "\u2e2f", VariableError,
     "Variable named \u2e2f would not read back as the same name in a formula text"),
]


@pytest.mark.parametrize("name,exc,msg", [c[1:] for c in BAD_FAMILY_NAMES],
                         ids=[c[0] for c in BAD_FAMILY_NAMES])
def test_family_name_refusals(own, log_sink, name, exc, msg):
    with pytest.raises(exc) as err:
        own.create_variables(name, i=2)
    assert str(err.value) == msg and err.value.args == (msg,)
    assert lines(log_sink, "error") == [msg]
    assert own._shift_target_variable == 1 and list(own._variables) == ["dummy_var"]


def test_letters_of_any_script_are_accepted(own):
    for name in ["xy", "Öl", "δ"]:
        own.create_variables(name, i=1)


def test_repeated_family_name(own, log_sink):
    own.create_variables("x", i=2)
    with pytest.raises(VariableError, match="^Variable named x is already in use$"):
        own.create_variables("x", i=2)


@pytest.mark.parametrize("use_fe", [False, True], ids=["own", "formula_encoder"])
def test_names_are_refused_unless_they_read_back(fake, log_sink, use_fe):
    # The interpreter reads the micro sign of a formula text as the Greek mu, so a family or an
    # index named with it could never be looked up; the Greek mu itself reads back.
    model = Model(fake if use_fe else se.manager(), "m", use_fe)
    with pytest.raises(VariableError, match="^Variable named \u00b5 would not read back"):
        model.create_variables("\u00b5", i=2)
    with pytest.raises(VariableError, match="^Index named \u00b5 would not read back"):
        model.get_indexes(["\u00b5"])
    assert "\u00b5" not in model._indexes and model._shift_target_variable == (0 if use_fe else 1)
    mu = model.create_variables("\u03bc", i=2)
    k = model.get_indexes(["\u03ba"])
    model.add_constraint(mu[k] | mu[k + 1], **{"\u03ba": range(1)})
    if not use_fe:
        assert model.build_cnf() is True
        assert model.get_cnf_storage().hard_clauses() == [[1, 2]]


@pytest.mark.parametrize("size", [-1, 1.5, "3", True, None], ids=["negative", "float", "text",
                                                                    "bool", "none"])
def test_dimension_sizes_must_be_non_negative_integers(own, log_sink, size):
    with pytest.raises(ValueError, match="^Dimension sizes must be non-negative integers$"):
        own.create_variables("x", i=2, j=size)
    assert own._shift_target_variable == 1 and "x" not in own._used_vars


TOO_MANY = ("Variable named x has too many elements: their numbers would run past 2147483647, "
            "the largest clause literal")


@pytest.mark.parametrize("use_fe,exc,msg", [
    (False, VariableError, TOO_MANY),
    (True, VariableError, TOO_MANY),
], ids=["own", "formula_encoder"])
def test_family_too_large_leaves_no_trace(fake, log_sink, use_fe, exc, msg):
    # The model refuses a family past the literal range in both back ends (the formula encoder
    # numbers the same elements); the name stays free.
    model = Model(fake if use_fe else se.manager(), "m", use_fe)
    with pytest.raises(exc) as err:
        model.create_variables("x", i=10 ** 30)
    assert str(err.value) == msg
    assert model._used_vars == (set() if use_fe else {"dummy_var"})
    assert list(model._manager.name2genvar) == ([] if use_fe else ["dummy_var"])
    assert model._shift_target_variable == (0 if use_fe else 1)
    assert [call for enc in fake.encoders for call in enc.calls] == []
    assert model.create_variables("x", i=2).st_shift == (0 if use_fe else 1)


@pytest.mark.parametrize("dims,accepted", [
    ({"i": 2 ** 31 - 2}, True),               # numbers 1 .. 2**31 - 2
    ({"i": 2 ** 31 - 1}, True),               # the last one is exactly 2**31 - 1
    ({"i": 2 ** 31}, False),
    ({"i": 2 ** 16, "j": 2 ** 15}, False),    # the product counts, not each size
    ({"i": 2 ** 40, "j": 0}, True),           # no elements, nothing numbered
], ids=["below", "at_the_limit", "one_past", "product", "empty"])
def test_families_must_fit_the_literal_range(log_sink, dims, accepted):
    model = Model(se.manager(), "m")
    if accepted:
        # Only the family's bounds are read: its elements are numbered when formulas name them.
        model.create_variables("x", **dims)
        assert list(model._variables) == ["dummy_var", "x"]
        return
    with pytest.raises(VariableError) as err:
        model.create_variables("x", **dims)
    assert str(err.value) == TOO_MANY and lines(log_sink, "error") == [TOO_MANY]
    assert model._used_vars == {"dummy_var"} and list(model._variables) == ["dummy_var"]
    assert list(model._manager.name2genvar) == ["dummy_var"]
    assert model._shift_target_variable == 1


def test_literal_range_counts_from_where_the_last_family_ended(log_sink):
    model = Model(se.manager(), "m")
    model.create_variables("a", i=2 ** 30)
    with pytest.raises(VariableError, match="^Variable named x has too many elements"):
        model.create_variables("x", i=2 ** 30)
    assert model.create_variables("x", i=2 ** 30 - 1).st_shift == 2 ** 30 + 1


@pytest.mark.parametrize("first", ["constraint", "soft", "target"])
def test_family_after_the_first_formula_is_refused(own, log_sink, first):
    x = own.create_variables("x", i=2)
    {"constraint": lambda: own.add_constraint(x[0] | x[1]),
     "soft": lambda: own.add_soft_constraint(x[0]),
     "target": lambda: own.add_target(x[0] + x[1])}[first]()
    with pytest.raises(VariableError) as err:
        own.create_variables("y", j=2)
    assert str(err.value).startswith("Variable named y cannot be created after the first "
                                     "constraint or target")
    assert lines(log_sink, "error")[-1] == str(err.value)
    assert "y" not in own._variables and own._shift_target_variable == 3


def test_formula_encoder_families(fem, fake, log_sink):
    x = fem.create_variables("x", i=3, j=4)
    fem.create_variables("x", i=2)  # the engine judges repeated names
    fem.create_variables("dummy_var", d=1)
    fem.create_variables("z")
    assert [enc.name for enc in fake.encoders] == ["fm"]
    assert fake.encoders[0].calls == [
        ("create_variables", ("x", [3, 4])),
        ("create_variables", ("x", [2])),
        ("create_variables", ("dummy_var", [1])),
        ("create_variables", ("z", [])),
    ]
    assert x.st_shift == 0 and x(1, 1) == 5
    assert fem._variables == {} and fem._used_vars == set()
    assert fem._shift_target_variable == 12 + 2 + 1 + 1


def test_get_indexes(own):
    i = own.get_indexes(["i"])
    assert isinstance(i, Index) and i.name == "i" and str(i) == "i"
    pair = own.get_indexes(["i", "j"])
    assert isinstance(pair, list) and [p.name for p in pair] == ["i", "j"]
    assert own._indexes["i"] is pair[0]
    twice = own.get_indexes(["k", "k"])
    assert len(twice) == 2 and own._indexes["k"] is twice[1]
    chars = own.get_indexes("ab")
    assert [c.name for c in chars] == ["a", "b"]


RESERVED = "Names '_bxpr_aux' and '_pbct_aux' are reserved. Change the name to a valid one"
BAD_INDEXES = [
    ("empty", [], ValueError,
     "The indexes parameter must contain a non-empty sequence of index names"),
    ("bxpr", ["_bxpr_aux"], VariableError, RESERVED),
    ("pbct_after_good", ["i", "_pbct_aux"], VariableError, RESERVED),
    ("family", ["x"], VariableError, "Index named x is already in use"),
    ("placeholder", ["dummy_var"], VariableError, "Index named dummy_var is already in use"),
    ("expression", ["i + 1"], VariableError,
     "Index named i + 1 must be an identifier that is not a keyword"),
    ("keyword", ["for"], VariableError,
     "Index named for must be an identifier that is not a keyword"),
    ("digit_first", ["1i"], VariableError,
     "Index named 1i must be an identifier that is not a keyword"),
    ("not_text", [3], VariableError, "Index named 3 must be an identifier that is not a keyword"),
    ("ligature_read_as_letters", ["\ufb01"], VariableError,
     "Index named \ufb01 would not read back as the same name in a formula text"),
]


@pytest.mark.parametrize("names,exc,msg", [c[1:] for c in BAD_INDEXES],
                         ids=[c[0] for c in BAD_INDEXES])
def test_index_refusals(own, log_sink, names, exc, msg):
    own.create_variables("x", i=2)
    with pytest.raises(exc) as err:
        own.get_indexes(names)
    assert err.value.args == (msg,)
    assert lines(log_sink, "error") == [msg]


def test_index_refusal_keeps_earlier_names(own):
    with pytest.raises(VariableError):
        own.get_indexes(["i", "_pbct_aux"])
    assert list(own._indexes) == ["i"]


def test_formula_encoder_indexes_may_not_reuse_family_names(fem, log_sink):
    fem.create_variables("x", i=2)
    with pytest.raises(VariableError, match="^Index named x is already in use$"):
        fem.get_indexes(["x"])
    with pytest.raises(VariableError):
        fem.get_indexes(["if"])
    assert fem._indexes == {}


# --- intake and modes -----------------------------------------------------------------------


def _family(model):
    x = model.create_variables("x", i=3)
    i = model.get_indexes(["i"])
    return x, i


HARD = lambda x, i: x[0] | x[1]  # noqa: E731
SOFT = lambda x, i: x[0] + x[1]  # noqa: E731
TARGET = lambda x, i: x[0] + 2 * x[2]  # noqa: E731

# (id, back end, operations before, operation, expected exception, message)
MODE_REFUSALS = [
    ("own_target_then_hard", False, ["target"], "hard", TargetError,
     "Target has already been defined"),
    ("own_target_then_soft", False, ["target"], "soft", FormulaError,
     "Current model already works with CNF"),
    ("own_soft_then_hard", False, ["soft"], "hard", TargetError,
     "Soft constraint has already been defined"),
    ("own_soft_then_target", False, ["soft"], "target", FormulaError,
     "Current model already works with WCNF"),
    ("fe_soft_then_hard", True, ["soft"], "hard", TargetError,
     "Soft constraint has already been defined"),
    ("fe_soft_then_target", True, ["soft"], "target", FormulaError,
     "Current model already works with WCNF"),
    ("own_int_constraint_any_mode", False, ["soft"], "int", TypeError,
     "Variable 'constraint' must contain only objects of type 'Expression'"),
    ("own_boolean_soft_in_target_mode", False, ["target"], "bool_soft", FormulaError,
     "Current model already works with CNF"),
    ("own_boolean_soft", False, [], "bool_soft", FormulaError,
     "Input constraint cannot be converted to a soft constraints"),
    ("fe_boolean_soft", True, [], "bool_soft", FormulaError,
     "Input constraint cannot be converted to a soft constraints"),
    ("own_boolean_target", False, [], "bool_target", TargetError,
     "Target is not a pseudo-boolean function without border"),
]


def _apply(model, x, i, op):
    {
        "hard": lambda: model.add_constraint(HARD(x, i)),
        "soft": lambda: model.add_soft_constraint(SOFT(x, i)),
        "target": lambda: model.add_target(TARGET(x, i)),
        "int": lambda: model.add_constraint(3),
        "bool_soft": lambda: model.add_soft_constraint(x[0] & x[1]),
        "bool_target": lambda: model.add_target(x[0] <= 1),
    }[op]()


@pytest.mark.parametrize("use_fe,before,op,exc,msg", [c[1:] for c in MODE_REFUSALS],
                         ids=[c[0] for c in MODE_REFUSALS])
def test_mode_refusals(log_sink, fake, use_fe, before, op, exc, msg):
    model = Model(fake if use_fe else se.manager(), "m", use_fe)
    x, i = _family(model)
    for b in before:
        _apply(model, x, i, b)
    state = (model._is_wcnf, model._template_target)
    with pytest.raises(exc) as err:
        _apply(model, x, i, op)
    assert err.value.args == (msg,)
    assert lines(log_sink, "error")[-1] == msg
    assert (model._is_wcnf, model._template_target) == state


# (id, back end, operations, mode flag after, use_target after)
MODE_TRANSITIONS = [
    ("new", False, [], None, False),
    ("own_hards", False, ["hard", "hard", "hard"], None, False),
    ("own_soft", False, ["hard", "soft", "soft"], True, False),
    ("own_target", False, ["hard", "target"], False, True),
    ("own_two_targets", False, ["target", "target"], False, True),
    ("fe_target_then_hard", True, ["target", "hard", "target"], None, False),
    ("fe_soft", True, ["hard", "soft"], True, False),
]


@pytest.mark.parametrize("use_fe,ops,flag,target", [c[1:] for c in MODE_TRANSITIONS],
                         ids=[c[0] for c in MODE_TRANSITIONS])
def test_mode_transitions(fake, use_fe, ops, flag, target):
    model = Model(fake if use_fe else se.manager(), "m", use_fe)
    x, i = _family(model)
    for op in ops:
        _apply(model, x, i, op)
    assert model._is_wcnf is flag and model.use_target is target


def test_second_target_replaces_the_first(own, log_sink):
    x, i = _family(own)
    first, second = x[0] + x[1], x[1] + x[2]
    own.add_target(first)
    assert lines(log_sink, "warning") == []
    own.add_target(second)
    assert lines(log_sink, "warning") == ["Target already used"]
    assert own._template_target is second and own.use_target


def test_refused_target_still_creates_the_container(own):
    x, i = _family(own)
    with pytest.raises(TargetError):
        own.add_target(x[0] >= 1)
    assert own._formula_container is not None and own._is_wcnf is None


def test_reset_target_keeps_target_mode(own):
    x, i = _family(own)
    own.add_target(x[0] + x[1])
    own._Model__reset_target()
    assert own._template_target is None and own._is_wcnf is False


def test_constraint_debug_line(own, log_sink):
    x, i = _family(own)
    c = Sum(x[i], i=range(2)) >= 1
    own.add_constraint(x[i] | x[i + 1], i=range(2))
    own.add_constraint(c)
    assert lines(log_sink, "debug")[0] == \
        "     constraint : bx.or_s([x(i).to_bx(), x(i + 1).to_bx()])___{'i': range(0, 2)}"
    assert "     constraint : " + str(c) + "___{}" in lines(log_sink, "debug")


def test_formula_encoder_forwarding(fem, fake, log_sink):
    x, i = _family(fem)
    hard = x[i] | x[i + 1]
    fem.add_constraint(hard, i=range(2))
    fem.add_constraint(x[0] >= 1)
    fem.add_target(x[0] + x[1])
    fem.add_soft_constraint(x[0] + x[1])
    fem.add_soft_constraint(x[i], 3, True, i=[0, 2])
    assert fake.encoders[0].calls[1:] == [
        ("add_constraint", (str(hard), "Foralls: {'i': range(0, 2)}")),
        ("add_constraint", (str(x[0] >= 1), "Foralls: {}")),
        ("add_target", ("x(0).to_pb() + x(1).to_pb()",)),
        ("add_soft_constraint", ("x(0).to_pb() + x(1).to_pb()", "Foralls: {}", 1, False)),
        ("add_soft_constraint", ("x(i)", "Foralls: {'i': [0, 2]}", 3, True)),
    ]
    assert len(fake.encoders) == 1
    assert "     constraint : " + str(hard) + "___{'i': range(0, 2)}" in lines(log_sink, "debug")


def test_formula_encoder_refused_soft_constraint_keeps_the_mode(fake):
    m = Model(fake, "fm", True)
    x = m.create_variables("x", i=2)
    seen = []

    def failing(*args):
        seen.append(m._is_wcnf)  # weighted while the encoder has it
        raise RuntimeError("engine down")

    fake.encoders[0].__dict__["add_soft_constraint"] = failing
    with pytest.raises(RuntimeError, match="engine down"):
        m.add_soft_constraint(x[0])
    assert seen == [True] and m._is_wcnf is None
    m.add_constraint(x[0] | x[1])  # still undecided: hard constraints are accepted


# --- evaluation outcomes --------------------------------------------------------------------


def test_contradiction_quotes_the_calling_line(own, log_sink):
    x, i = _family(own)
    line = inspect.currentframe().f_lineno + 2
    with pytest.raises(FormulaError) as err:
        own.add_constraint(x[0] & ~x[0])
    msg = f"Contradiction was detected in formula own.add_constraint(x[0] & ~x[0]), line {line}"
    assert err.value.args == (msg,)
    assert lines(log_sink, "error") == [msg]
    assert own._manager.cnt_pbvar == 0 and own._manager.name2pb == {}
    own.add_constraint(x[0] | x[1])  # the model goes on


def test_redundant_constraint_warns_with_the_calling_line(own, log_sink):
    x, i = _family(own)
    line = inspect.currentframe().f_lineno + 1
    own.add_constraint(x[0] | ~x[0])
    assert lines(log_sink, "warning") == [
        "Redundant constraint was detected in formula own.add_constraint(x[0] | ~x[0]), "
        f"line {line}"
    ]


def test_contradiction_of_a_constant(own, log_sink):
    _family(own)
    line = inspect.currentframe().f_lineno + 2
    with pytest.raises(FormulaError) as err:
        own.add_constraint(Zero)
    assert str(err.value) == \
        f"Contradiction was detected in formula own.add_constraint(Zero), line {line}"


def test_call_from_code_without_source_quotes_no_text(own, log_sink):
    x, i = _family(own)
    code = compile("own.add_constraint(x[0] & ~x[0])", "<no source>", "exec")
    with pytest.raises(FormulaError) as err:
        exec(code, {"own": own, "x": x})
    assert str(err.value) == "Contradiction was detected in formula , line 1"


def test_hard_constraint_log_lines(own, log_sink):
    x, i = _family(own)
    own.add_constraint(x[0] | x[1])
    assert "Enumerating hard utility variables" in lines(log_sink, "trace")


def test_bare_variable_reference_is_a_constraint(own):
    x, i = _family(own)
    own.add_constraint(x[1])
    own.add_constraint(x[i], i=range(3))
    assert own._formula_container.num_clauses == 4


def test_term_without_comparison_is_refused(own, log_sink):
    x, i = _family(own)
    with pytest.raises(FormulaError) as err:
        own.add_constraint(x[0] + x[1])
    assert str(err.value) == "Constraint is not a Boolean formula: x(0).to_pb() + x(1).to_pb()"
    assert lines(log_sink, "error") == [str(err.value)]


FAILING_EVALUATIONS = [
    ("unknown_name", lambda x, i: Expression("FormulaPB(x(0).to_pb() + x(1).to_pb(), "
                                             "pb.Comparator_type.LEQ, 1).to_bx(manager) & nope",
                                             False), NameError),
    ("term_as_constraint", lambda x, i: x[0] + x[1], FormulaError),
    ("syntax", lambda x, i: Expression("x(0) +", False), SyntaxError),
]


@pytest.mark.parametrize("build,exc", [c[1:] for c in FAILING_EVALUATIONS],
                         ids=[c[0] for c in FAILING_EVALUATIONS])
def test_failed_evaluation_resets_the_manager(own, build, exc):
    x, i = _family(own)
    before = own._manager.bx_context
    with pytest.raises(exc):
        own.add_constraint(build(x, i))
    mgr = own._manager
    assert mgr.cnt_pbvar == 0 and mgr.name2pb == {} and mgr.pb2bx == {} and mgr.pb2name == {}
    assert mgr.bx_context is not before
    assert list(mgr.name2genvar) == ["dummy_var", "x"]


def test_failed_soft_evaluation_resets_the_manager(own):
    x, i = _family(own)
    # The two variables are registered before the evaluation fails on the module.
    with pytest.raises(TypeError):
        own.add_soft_constraint(Expression("x(0).to_pb() + x(1).to_pb() + bx", True))
    assert own._manager.name2pb == {} and own._manager.cnt_pbvar == 0 and own._is_wcnf is None


def test_soft_constraint_debug_line(own, log_sink):
    x, i = _family(own)
    own.add_soft_constraint(x[1], 3)
    assert "Building soft constraint: x(1)" in lines(log_sink, "debug")
    assert own._is_wcnf is True


def test_soft_weight_refused_by_the_product(own, log_sink):
    x, i = _family(own)
    with pytest.raises(TypeError, match="^Type 'Expression' or 'int' is expected for expression$"):
        own.add_soft_constraint(x[1], 2.5)
    assert own._is_wcnf is None


# --- builds ---------------------------------------------------------------------------------

DURATION = r"\d\d:\d\d:\d\d\.\d\d\d"


def test_cnf_build_lines(own, log_sink):
    x, i = _family(own)
    own.add_constraint(x[0] | x[1])
    assert own.build_cnf() is True
    info = lines(log_sink, "info")
    assert info[-2] == "      CNF build : started. Model <m>; Target variables = 3"
    assert re.fullmatch(r"         action : CNF build finished\. Duration = " + DURATION, info[-1])


def test_wcnf_build_lines(own, log_sink):
    x, i = _family(own)
    own.add_soft_constraint(x[0])
    assert own.build_wcnf() is True
    assert lines(log_sink, "info")[-2:] == [
        "     WCNF build : started. Model <m>; Target variables = 3",
        "         action : WCNF build finished.",
    ]


def test_duration_text(own, log_sink):
    x, i = _family(own)
    own.add_constraint(x[0] | x[1])
    own._start_time = dt.datetime.now() - dt.timedelta(hours=25, minutes=3, seconds=2.5)
    own.build_cnf()
    end = lines(log_sink, "info")[-1]
    assert re.fullmatch(r".* Duration = 01:03:0[23]\.\d\d\d", end)


def test_build_hands_results_to_the_engine_manager(log_sink):
    mgr = se.manager()
    m = Model(mgr, "m")
    x = m.create_variables("x", i=2)
    m.add_constraint(x[0] | x[1])
    assert m.build_cnf() is True
    assert mgr.get_cnf_storage() is m.get_cnf_storage() is m._formula_container.cnf_storage()


# (id, back end, ops, build, args, message)
BUILD_REFUSALS = [
    ("cnf_of_weighted", False, ["soft"], "cnf", (), "This expression is defined for WCNF format"),
    ("wcnf_of_hards", False, ["hard"], "wcnf", (), "This expression is defined for CNF format"),
    ("wcnf_of_target", False, ["target"], "wcnf", (), "This expression is defined for CNF format"),
    ("wcnf_of_new", False, [], "wcnf", (), "This expression is defined for CNF format"),
    ("target_without_border", False, ["target"], "cnf", (),
     "Border or minimization arguments are not defined, but target is set"),
    ("target_without_minimization", False, ["target"], "cnf", (5,),
     "Border or minimization arguments are not defined, but target is set"),
    ("no_container", False, [], "cnf", (), "The model doesn't contain any formula container"),
    ("fe_cnf_of_weighted", True, ["soft"], "cnf", (), "This expression is defined for WCNF format"),
    ("fe_wcnf_of_hards", True, ["hard"], "wcnf", (), "This expression is defined for CNF format"),
]


@pytest.mark.parametrize("use_fe,ops,build,args,msg", [c[1:] for c in BUILD_REFUSALS],
                         ids=[c[0] for c in BUILD_REFUSALS])
def test_build_refusals(log_sink, fake, use_fe, ops, build, args, msg):
    model = Model(fake if use_fe else se.manager(), "m", use_fe)
    x, i = _family(model)
    for op in ops:
        _apply(model, x, i, op)
    with pytest.raises(BuildError) as err:
        getattr(model, "build_" + build)(*args)
    assert err.value.args == (msg,)
    assert lines(log_sink, "error") == [msg]


def test_second_target_build_is_refused_and_resets_the_manager(own, log_sink):
    # The first bound stays in the storage the engine manager holds, so the container refuses a
    # second one; the bound's evaluation must not leave its names and numbers behind.
    x, i = _family(own)
    own.add_constraint(x[0] | x[1])
    own.add_target(Sum(x[i], i=range(3)))
    assert own.build_cnf(2, True) is True
    with pytest.raises(BuildError, match="second target is refused"):
        own.build_cnf(1, True)
    mgr = own._manager
    assert mgr.cnt_pbvar == 0 and mgr.name2pb == {} and mgr.pb2bx == {} and mgr.pb2name == {}
    assert own.use_target and own._template_target is not None


def test_undecided_model_ignores_border(own):
    x, i = _family(own)
    own.add_constraint(x[0] | x[1])
    assert own.build_cnf(5, True) is True


def test_build_without_engine_manager(log_sink):
    m = Model(None, "m")
    x = m.create_variables("x", i=2)
    m.add_constraint(x[0] | x[1])
    with pytest.raises(BuildError, match="^Sorn manager is not set or empty$"):
        m.build_cnf()
    assert lines(log_sink, "info")[-1].startswith("      CNF build : started.")


def test_build_with_empty_mapping_returns_false(own, log_sink):
    x, i = _family(own)
    own.add_constraint(x[0] | x[1])
    container = own._formula_container
    fake = RecordingManager()
    own._sorn_manager = fake

    class EmptyMap:
        """The container with an empty name-to-number map."""
        mapping = {}

        def __getattr__(self, name):
            return getattr(container, name)

    own._formula_container = EmptyMap()
    assert own.build_cnf() is False
    assert lines(log_sink, "error") == ["Variable mapping is empty"]
    assert fake.storages == [container.cnf_storage()] and fake.interpreters == []
    assert not lines(log_sink, "info")[-1].startswith("         action")


def test_false_mapping_tables_are_not_registered(own, log_sink, monkeypatch):
    x, i = _family(own)
    own.add_constraint(x[0] | x[1])
    fake = RecordingManager()
    own._sorn_manager = fake
    made = []

    class Interpreter:
        def __init__(self):
            self.calls = []
            made.append(self)

        def __getattr__(self, op):
            def record(*args):
                self.calls.append((op, args))
                return 0 if op == "build_mapping_tables" else None
            return record

    monkeypatch.setattr(se, "witness_interpreter", Interpreter)
    assert own.build_cnf() == 0
    assert [c[0] for c in made[0].calls] == ["set_var_mapping", "set_auxiliary_vars",
                                             "build_mapping_tables"]
    assert made[0].calls[1][1] == (["_bxpr_aux", "_pbct_aux"],)
    assert made[0].calls[2][1] == (True,)
    assert fake.interpreters == []
    assert lines(log_sink, "info")[-1].startswith("         action : CNF build finished.")


def test_formula_encoder_build_road(fem, fake, log_sink):
    x, i = _family(fem)
    enc = fake.encoders[0]
    enc.mapping = se.var_mapping()
    enc.mapping.set_var_map({"x[0]": 0, "x[1]": 1})
    enc.mapping.build_inverse_map()
    assert fem.build_cnf() is True
    assert [c[0] for c in enc.calls[1:]] == ["generate_cnf", "get_cnf_storage", "get_var_mapping"]
    assert fake.storages == [enc.storage] and len(fake.interpreters) == 1
    info = lines(log_sink, "info")
    assert info[-2] == "      CNF build : started. Model <fm>; Target variables = 2"
    assert re.fullmatch(r"         action : CNF build finished \(formula encoder\)\. Duration = "
                        + DURATION, info[-1])
    fem.add_soft_constraint(x[0])
    assert fem.build_wcnf() is True
    assert lines(log_sink, "info")[-1] == "         action : WCNF build finished(formula encoder)."


@pytest.mark.parametrize("build,msg", [("cnf", "CNF storage is empty"),
                                       ("wcnf", "WCNF storage is empty")])
def test_formula_encoder_without_storage(fem, fake, log_sink, build, msg):
    x, i = _family(fem)
    fake.encoders[0].storage = None
    if build == "wcnf":
        fem.add_soft_constraint(x[0])
    with pytest.raises(BuildError) as err:
        getattr(fem, "build_" + build)()
    assert err.value.args == (msg,)


def test_formula_encoder_without_mapping(fem, fake, log_sink):
    _family(fem)
    assert fem.build_cnf() is False
    assert lines(log_sink, "error") == ["Variable mapping is empty"]
    assert fake.storages == [fake.encoders[0].storage]


def test_formula_encoder_build_creates_the_encoder(fake):
    m = Model(fake, "lazy", True)
    m.build_cnf()
    assert [e.name for e in fake.encoders] == ["lazy"]
    assert fake.encoders[0].calls[0] == ("generate_cnf", ())


class Journal:
    """One list of the engine calls of a build, whatever object they reach."""

    def __init__(self):
        self.calls = []

    def recorder(self, who, answers=None):
        journal, answers = self, answers or {}

        class Recorder:
            def __getattr__(self, op):
                def record(*args):
                    journal.calls.append((who + "." + op, args))
                    return answers.get(op)
                return record

        return Recorder()

    def factory(self, name, obj):
        def make():
            self.calls.append((name + "()", ()))
            return obj
        return make


# The engine calls that end a build, in order: the storage (the formula encoder's, or the
# container's), hand-over, mapping, then the witness interpreter, registered when its tables built.
BUILD_CALLS = {
    False: ["manager.set_cnf_storage", "var_mapping()", "mapping.set_var_families",
            "mapping.build_inverse_map", "witness_interpreter()", "wi.set_var_mapping",
            "wi.set_auxiliary_vars", "wi.build_mapping_tables", "manager.set_witness_interpreter"],
    True: ["encoder.generate_cnf", "encoder.get_cnf_storage", "manager.set_cnf_storage",
           "encoder.get_var_mapping", "witness_interpreter()", "wi.set_var_mapping",
           "wi.set_auxiliary_vars", "wi.build_mapping_tables", "manager.set_witness_interpreter"],
}


@pytest.mark.parametrize("build", ["cnf", "wcnf"])
@pytest.mark.parametrize("use_fe", [False, True], ids=["own", "formula_encoder"])
def test_engine_calls_of_a_build_in_order(monkeypatch, log_sink, use_fe, build):
    journal = Journal()
    storage, mapping = object(), journal.recorder("mapping")
    encoder = journal.recorder("encoder", {"get_cnf_storage": storage, "get_var_mapping": mapping})
    wi = journal.recorder("wi", {"build_mapping_tables": True})
    engine_manager = journal.recorder("manager", {"create_formula_encoder": encoder})
    monkeypatch.setattr(se, "var_mapping", journal.factory("var_mapping", mapping))
    monkeypatch.setattr(se, "witness_interpreter", journal.factory("witness_interpreter", wi))
    model = Model(engine_manager, "m", use_fe)
    x, i = _family(model)
    model.add_constraint(x[i] | x[i + 1], i=range(2))
    if build == "wcnf":
        model.add_soft_constraint(x[0], 2)
    del journal.calls[:]
    assert getattr(model, "build_" + build)() is True
    assert [op for op, _ in journal.calls] == BUILD_CALLS[use_fe]
    args = dict(journal.calls)
    if not use_fe:
        assert args["manager.set_cnf_storage"] == (model._formula_container.cnf_storage(),)
        # The recorder offers the bulk call: the families by shape, then the other names.
        families, other = args["mapping.set_var_families"]
        whole = {f"{name}[{','.join(map(str, idx))}]": first + k
                 for name, first, sizes in families
                 for k, idx in enumerate(itertools.product(*(range(s) for s in sizes)))}
        whole.update(other)
        assert list(whole.items()) == list(model._formula_container.mapping.items())
    else:
        assert args["manager.set_cnf_storage"] == (storage,)
    assert args["wi.set_var_mapping"] == (mapping,)
    assert args["wi.set_auxiliary_vars"] == (["_bxpr_aux", "_pbct_aux"],)
    assert args["wi.build_mapping_tables"] == (True,)
    assert args["manager.set_witness_interpreter"] == (wi,)


# --- result access and encoder-only operations ----------------------------------------------

ENCODER_ONLY = [
    ("save_metrics_json", ("f.json",), False, "metrics"),
    ("save_metrics_csv", ("f.csv",), False, "metrics"),
    ("check_another_witness", (), False, "checked"),
    ("reset", (), None, None),
    ("set_witness", ([1, -2],), None, None),
    ("set_another_witness", ([1, 2],), None, None),
]


@pytest.mark.parametrize("op,args,fallback,served", ENCODER_ONLY, ids=[c[0] for c in ENCODER_ONLY])
def test_encoder_only_operations(tmp_path, monkeypatch, fake, op, args, fallback, served):
    monkeypatch.chdir(tmp_path)
    own_model = Model(se.manager(), "m")
    assert getattr(own_model, op)(*args) == fallback
    fe_model = Model(fake, "fm", True)
    assert getattr(fe_model, op)(*args) == fallback
    assert fake.encoders == []  # never created by these operations
    fe_model.create_variables("x", i=1)
    assert getattr(fe_model, op)(*args) == served
    assert fake.encoders[0].calls[-1] == (op, args)
    assert list(tmp_path.iterdir()) == []


def test_result_accessors(own, fake):
    assert own.get_cnf_storage() is None and own.get_var_mapping() is None
    x, i = _family(own)
    own.add_constraint(x[0] | x[1])
    assert own.get_cnf_storage() is own._formula_container.cnf_storage()
    a, b = own.get_var_mapping(), own.get_var_mapping()
    assert a is not b
    fe_model = Model(fake, "fm", True)
    assert fe_model.get_cnf_storage() is None and fe_model.get_var_mapping() is None
    assert fake.encoders == []
    fe_model.create_variables("x", i=1)
    assert fe_model.get_cnf_storage() is fake.encoders[0].storage
    assert fe_model.get_var_mapping() is None


def test_get_var_index(own):
    assert own.get_var_index(7) == 7 and own.get_var_index(-3) == -3


@pytest.mark.parametrize("var,negative,lit", [(5, True, -5), (5, False, 5), (5, 0, 5), (5, "", 5),
                                              (4, "yes", -4), (np.int64(2), True, -2)])
def test_preliminary_values(log_sink, var, negative, lit):
    m = Model(se.manager(), "m")
    x = m.create_variables("x", i=6)
    m.add_preliminary_var_value(var, negative)  # before any build: kept for it
    m.add_constraint(x[0] | x[1])
    assert m.build_cnf() is True
    storage = m.get_cnf_storage()
    assert storage.get_prefatory_values() == [lit]
    m.add_preliminary_var_value(6)  # after a build: into this model's storage at once
    assert storage.get_prefatory_values() == [lit, 6]
    assert m.build_cnf() is True  # a build inserts only what its storage lacks
    assert storage.get_prefatory_values() == [lit, 6]
    assert f"Preliminary variable value was added: {lit}" in lines(log_sink, "debug")


def test_preliminary_default_is_positive():
    m = Model(se.manager(), "m")
    x = m.create_variables("x", i=3)
    m.add_preliminary_var_value(3)
    m.add_constraint(x[0] | x[1])
    m.build_cnf()
    assert m.get_cnf_storage().get_prefatory_values() == [3]


def test_preliminary_values_stay_with_their_model():
    shared = se.manager()
    a, b = Model(shared, "a"), Model(shared, "b")
    xa, xb = a.create_variables("x", i=2), b.create_variables("x", i=2)
    a.add_constraint(xa[0] | xa[1])
    b.add_constraint(xb[0] | xb[1])
    a.build_cnf()
    b.build_cnf()  # the shared manager now holds b's storage
    a.add_preliminary_var_value(1, True)
    assert a.get_cnf_storage().get_prefatory_values() == [-1]
    assert b.get_cnf_storage().get_prefatory_values() == []
    assert shared.get_cnf_storage() is b.get_cnf_storage()


def test_preliminary_values_reach_every_formula_encoder_build(log_sink):
    m = Model(se.manager(), "fm", True)
    x = m.create_variables("x", i=3)
    m.add_preliminary_var_value(3, True)
    m.add_constraint(x[0] | x[1])
    m.build_cnf()
    first = m.get_cnf_storage()
    m.add_preliminary_var_value(1)
    assert first.get_prefatory_values() == [-3, 1]
    m.build_cnf()  # a new storage: it gets every value
    assert m.get_cnf_storage() is not first
    assert m.get_cnf_storage().get_prefatory_values() == [-3, 1]


@pytest.mark.parametrize("use_fe", [False, True], ids=["own", "formula_encoder"])
@pytest.mark.parametrize("var", [0, 4, -1, 2.0, "1", None, True, 2 ** 70],
                         ids=["zero", "past_the_last", "negative", "float", "text", "none", "bool",
                              "huge"])
def test_preliminary_value_must_name_a_variable(log_sink, fake, use_fe, var):
    m = Model(fake if use_fe else se.manager(), "m", use_fe)
    m.create_variables("x", i=3)
    msg = f"A preliminary value must name a variable of the model: a number from 1 to 3, not {var!r}"
    with pytest.raises(ValueError) as err:
        m.add_preliminary_var_value(var)
    assert err.value.args == (msg,) and lines(log_sink, "error") == [msg]


def test_model_in_a_cycle_is_collected():
    import gc
    import weakref

    class Holder(RecordingManager):
        model = None

    holder = Holder()
    holder.model = Model(holder, "m")
    ref = weakref.ref(holder)
    del holder
    gc.collect()
    assert ref() is None


def test_model_without_engine_manager(log_sink):
    own_model = Model(None, "m")
    own_model.create_variables("x", i=3)
    own_model.add_preliminary_var_value(3)  # nothing built yet: kept and logged
    assert lines(log_sink, "debug")[-1] == "Preliminary variable value was added: 3"
    fe_model = Model(None, "fm", True)
    with pytest.raises(BuildError, match="^Sorn manager is not set or empty$"):
        fe_model.create_variables("x", i=2)
    assert lines(log_sink, "error") == ["Sorn manager is not set or empty"]
    assert fe_model._shift_target_variable == 0
