"""A target with a border: pack the most valuable knapsack by raising a bound until it fails.

The weight limit is a hard constraint; the total value is the model's target, a pseudo-Boolean
term without a bound. `build_cnf(border, minimization=False)` adds "value >= border" and builds
plain CNF, so each build answers one yes/no question. A model takes one target build, so every
border gets a fresh model. Starting from border 1, each answer found raises the border past its
value; when the CNF has no model, the last answer is the best. A border above the sum of all values
cannot be reached at all: the build itself refuses it with FormulaError. Brute force confirms
the optimum.
"""

import itertools

from pysat.solvers import Solver

import nubrix.sorn_engine as se
from zk_encoder import Model, SumIt
from zk_encoder._exceptions import FormulaError

WEIGHT = [5, 4, 6, 3, 7, 2]
VALUE = [10, 40, 30, 50, 35, 15]
CAPACITY = 14


def packing_with_value_at_least(border):
    """The packed items of a packing worth at least border, or None when there is none."""
    engine = se.manager()
    model = Model(engine, f"knapsack_value_{border}")
    take = model.create_variables("take", item=len(WEIGHT))
    model.add_constraint(SumIt([w * take[i] for i, w in enumerate(WEIGHT)]) <= CAPACITY)
    model.add_target(SumIt([v * take[i] for i, v in enumerate(VALUE)]))
    model.build_cnf(border, minimization=False)     # target >= border (True would give <=)
    with Solver(name="cadical153", bootstrap_with=model.get_cnf_storage().hard_clauses()) as s:
        if not s.solve():
            return None
        values = engine.get_witness_interpreter().interpret(s.get_model())
    return [i for i in range(len(WEIGHT)) if values[f"take[{i}]"]]


def main():
    border, best = 1, None
    while (packed := packing_with_value_at_least(border)) is not None:
        value = sum(VALUE[i] for i in packed)
        weight = sum(WEIGHT[i] for i in packed)
        print(f"value >= {border:>3}: items {packed}, value {value}, weight {weight}")
        assert value >= border and weight <= CAPACITY
        best, border = value, value + 1
    print(f"value >= {border:>3}: no packing, so {best} is the best value")

    try:
        packing_with_value_at_least(sum(VALUE) + 1)
    except FormulaError as err:
        print(f"border {sum(VALUE) + 1}, above every packing: FormulaError \"{err}\" "
              "(the library logs the message as well)")
    else:
        raise AssertionError("an unreachable border was accepted")

    brute = max(sum(VALUE[i] for i in s) for n in range(len(WEIGHT) + 1)
                for s in itertools.combinations(range(len(WEIGHT)), n)
                if sum(WEIGHT[i] for i in s) <= CAPACITY)
    assert best == brute, (best, brute)
    print(f"checked: brute force over every packing finds the same best value ({brute})")


if __name__ == "__main__":
    main()
