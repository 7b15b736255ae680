"""Rows stated one call at a time, handed to an engine that offers the faster row call: read from
the values the operators kept, they must reach the engine exactly as the rows the host's
evaluation of the same texts gives (ZK_ENCODER_LP1_EVAL=host), down to types and the bits of
floats."""

import random

import numpy as np
import pytest

import zk_encoder.linear_parser.linear_model as linear_model
from zk_encoder.linear_parser import SumIt
from zk_encoder.linear_parser.linear_model import LinearModel, VariableType
from support.fakes import RecordingLinsolver, plain

SWITCH = "ZK_ENCODER_LP1_EVAL"
FACTORS = [2, -1, 0, 1, 3, 2**62, -(2**63), 2**53 + 1, 1.5, -2.5, 0.0, -0.0, 0.1, 1e300, 1e-300,
           -7.25, np.float64(-0.75), np.int32(4), True]
BOUNDS = [3, -2, 0, 0.5, -0.0, 0.0, 1e20, 10**30, np.float64(2.5), float("inf")]


def faster(recording):
    """The recorder's solver class offering the faster row call, where the model looks for it."""
    def add_row_list(self, lower, upper, count, indexes, values):
        assert type(indexes) is list and all(type(c) is int for c in indexes)
        assert type(values) is list and all(type(v) is float for v in values)
        recording.calls.append(("row", (plain(lower), plain(upper), plain(count), indexes,
                                        [v.hex() for v in values])))

    recording.LinearSolver.addRowList = add_row_list
    return recording


def as_rows(calls):
    """The calls, each row (by either call) as its bounds, count, columns and float values."""
    out = []
    for op, args in calls:
        if op == "addRow":
            lower, upper, count, (_, _, indexes), (_, _, values) = args
            args = (lower, upper, count, [c for _, c in indexes],
                    [v if kind == "float" else float(v).hex() for kind, v in values])
            op = "row"
        out.append((op, args))
    return out


class Routes:
    """The same blocks in two models: the first reads rows natively, the second through the
    host's evaluation; every row is stated on both and must give the same calls."""

    def __init__(self, monkeypatch, n):
        self.monkeypatch = monkeypatch
        self.engines = [faster(RecordingLinsolver(keep=plain)) for _ in range(2)]
        self.models = []
        for engine in self.engines:
            monkeypatch.setattr(linear_model, "linsolver", engine.module)
            model = LinearModel()
            model.get_variables("x", VariableType.REAL, lo=-3, hi=7, n=n)
            self.models.append(model)
        self.models[1]._variables = dict(self.models[0]._variables)
        self.x = self.models[0]._variables["x"]
        for engine in self.engines:
            engine.take()

    def row(self, state):
        outcomes = []
        for model, engine, host in zip(self.models, self.engines, (False, True)):
            self.monkeypatch.setattr(linear_model, "linsolver", engine.module)
            if host:
                self.monkeypatch.setenv(SWITCH, "host")
            else:
                self.monkeypatch.delenv(SWITCH, raising=False)
            try:
                state(model)
                outcomes.append(("ok", as_rows(engine.take())))
            except Exception as exc:  # the same error on both routes
                outcomes.append(("error", type(exc), str(exc), as_rows(engine.take())))
        self.monkeypatch.delenv(SWITCH, raising=False)
        assert outcomes[0] == outcomes[1]
        return outcomes[0]


def random_row(rng, x, n):
    count = rng.choice([1, 2, 3, 4, 4, 6])
    # Mostly distinct columns, as rows are; sometimes one column twice.
    columns = rng.sample(range(n), count) if rng.random() < 0.8 else [
        rng.randrange(3) for _ in range(count)]
    terms = [x[c] if rng.random() < 0.15 else
             (rng.choice(FACTORS) * x[c] if rng.random() < 0.5 else x[c] * rng.choice(FACTORS))
             for c in columns]
    if rng.random() < 0.1:
        return SumIt(terms)
    row = terms[0]
    for t in terms[1:]:
        row = row + t
    return row


def random_statement(rng, row):
    bound = rng.choice(BOUNDS)
    return rng.choice([
        lambda m: m.add_constraint(row <= bound),
        lambda m: m.add_constraint(row >= bound),
        lambda m: m.add_constraint(row == bound),
        lambda m: m.add_constraint(row, lo=bound),
        lambda m: m.add_constraint(row, lo=-1, hi=bound),
        lambda m: m.add_constraint(row, eq=bound),
        lambda m: m.add_constraint(row),
    ])


def test_random_rows_reach_the_engine_as_the_host_states_them(monkeypatch, rng):
    n = 8
    routes = Routes(monkeypatch, n)
    fast = 0
    for _ in range(300):
        row = random_row(rng, routes.x, n)
        outcome = routes.row(random_statement(rng, row))
        fast += outcome[0] == "ok" and [op for op, _ in outcome[1]] == ["row"]
    assert fast > 200


ROWS = {
    "zero-factors-dropped": (lambda x: 0 * x[1] + 0.0 * x[2] + x[3] * -0.0 + 2 * x[4] <= 1),
    "lone-zero-kept": (lambda x: 0.0 * x[1] <= 1),
    "negative-zero-constant": (lambda x: -1.5 * x[1] + -2.5 * x[2] >= -0.0),
    "mixed-ints-and-floats": (lambda x: 2**62 * x[3] + 0.5 * x[1] + 3 * x[0] <= 10**30),
    "unordered-columns": (lambda x: x[5] + x[0] * 2 + x[3] * 3 + x[1] == 2.5),
    "one-column-twice": (lambda x: 0.1 * x[0] + 0.2 * x[0] + 0.3 * x[1] <= 1),
}


@pytest.mark.parametrize("build", list(ROWS.values()), ids=list(ROWS))
def test_row_forms_reach_the_engine_as_the_host_states_them(monkeypatch, build):
    routes = Routes(monkeypatch, 8)
    kind, calls = routes.row(lambda m: m.add_constraint(build(routes.x)))
    assert kind == "ok" and [op for op, _ in calls] == ["row"]


def test_an_infinite_bound_and_a_nan_bound_are_read_as_before(monkeypatch):
    routes = Routes(monkeypatch, 4)
    x = routes.x
    assert routes.row(lambda m: m.add_constraint(2 * x[0] + x[1], hi=float("inf")))[0] == "ok"
    outcome = routes.row(lambda m: m.add_constraint(2 * x[0] + x[1], hi=float("nan")))
    assert outcome[0] == "error" and outcome[1] is ValueError and outcome[3] == []


def test_long_sums_of_many_factors_reach_the_engine_as_the_host_states_them(monkeypatch, rng):
    # More distinct factors than a sum keeps scaled units for, ints and floats of the same bits
    # (0 and 0.0), repeated columns: as a target, and as a row.
    n = 8
    routes = Routes(monkeypatch, n)
    x = routes.x
    factors = [f for f in FACTORS if f != 1e300] + [rng.uniform(-5, 5) for _ in range(150)] + [
        rng.randrange(-10**6, 10**6) for _ in range(50)]
    terms = [rng.choice(factors) * x[rng.randrange(n)] for _ in range(400)]
    assert routes.row(lambda m: m.add_target(SumIt(terms), minimization=True))[0] == "ok"
    # A long item among short ones: the sum takes its items a second time, as pieces.
    mixed = terms[:200] + [SumIt(terms[200:260])] + terms[260:]
    assert routes.row(lambda m: m.add_target(SumIt(mixed), minimization=True))[0] == "ok"
    row = terms[0]
    for t in terms[1:80]:
        row = row + t
    assert routes.row(lambda m: m.add_constraint(row <= 1))[0] == "ok"


def test_element_references_reach_the_engine_as_the_host_reads_them(monkeypatch):
    # Subscripts of plain ints are read from their values, any other from their texts: both must
    # name the columns the host's evaluation of the texts names, or fail as it fails.
    routes = Routes(monkeypatch, 8)
    for model, engine in zip(routes.models, routes.engines):
        monkeypatch.setattr(linear_model, "linsolver", engine.module)
        model.get_variables("y", VariableType.REAL, a=3, b=4)
        engine.take()
    routes.models[1]._variables = dict(routes.models[0]._variables)
    x, y = routes.x, routes.models[0]._variables["y"]
    references = [
        lambda: x[7], lambda: x[-1], lambda: x[8], lambda: x[2, ], lambda: x[2**63],
        lambda: x[np.int64(3)], lambda: x[True], lambda: y[2, 3], lambda: y[0, 1],
        lambda: y[1, 0], lambda: y[3, 0], lambda: y[1, -1], lambda: y[1, 4], lambda: y[[1, 2]],
        lambda: y[1, 2**64], lambda: y[(2, 1)],
    ]
    outcomes = [routes.row(lambda m, ref=ref: m.add_constraint(2 * ref() + x[0] <= 1))[0]
                for ref in references]
    assert outcomes.count("ok") == 9
