"""Knapsacks with the second linear generation.

Part 1: a 0/1 knapsack, a mixed-integer program over one array of binary variables: pick items of
the greatest total value whose weights fit the capacity. Checked against every subset.

Part 2, a quadratic variant: items may be taken in fractions x[i] in [0, 1], and each item's
value wears off as more of it is taken: it brings value[i] * x[i] - wear[i] * x[i]**2. The
objective is quadratic (a product of rows) and concave, so maximising it is a convex problem.
Checked against scipy's SLSQP solver on the same problem.
"""

import itertools
import sys

import numpy as np
from scipy.optimize import minimize

from zk_encoder.linear_parser2 import LinearModel, SolutionStatus, VariableType, dot

value = np.array([60.0, 100.0, 120.0, 80.0, 30.0, 70.0])
weight = np.array([10.0, 20.0, 30.0, 15.0, 5.0, 25.0])
capacity = 60.0
wear = np.array([20.0, 60.0, 40.0, 30.0, 10.0, 50.0])
items = len(value)


def zero_one():
    model = LinearModel()
    take = model.get_variable("take", VariableType.BINARY, item=items)
    model.add_constraint(dot(take[:], weight) <= capacity)
    model.add_target(dot(take[:], value), minimization=False)
    status = model.solve(is_feasible=True)
    picked = model.get_result("take")
    print("0/1 knapsack:", status.name, "items", np.flatnonzero(picked).tolist(),
          "value", model.objective_value)

    best = max(sum(value[list(s)]) for r in range(items + 1)
               for s in itertools.combinations(range(items), r)
               if sum(weight[list(s)]) <= capacity)
    assert status is SolutionStatus.OPTIMAL and picked.dtype == np.int32
    assert picked @ weight <= capacity and picked @ value == best == model.objective_value
    print("  checked against all", 2 ** items, "subsets")


def quadratic():
    model = LinearModel()
    x = model.get_variable("x", VariableType.REAL, 0, 1, item=items)
    model.add_constraint(dot(x[:], weight) <= capacity)
    # Each item's wear is a product of its row with itself; the rows add up to one target.
    target = dot(x[:], value)
    for i in range(items):
        target = target - x[i] * x[i] * wear[i]
    model.add_target(target, minimization=False)
    status = model.solve(is_feasible=True)
    share = model.get_result("x")
    print("quadratic knapsack:", status.name, "shares", np.round(share, 3).tolist(),
          f"value {model.objective_value:.4f}")

    def worth(v):
        return v @ value - (wear * v * v).sum()

    reference = minimize(lambda v: -worth(v), np.full(items, 0.5), method="SLSQP",
                         bounds=[(0, 1)] * items,
                         constraints=[{"type": "ineq", "fun": lambda v: capacity - v @ weight}])
    assert status is SolutionStatus.OPTIMAL and reference.success
    assert share @ weight <= capacity + 1e-6 and np.all((share >= -1e-9) & (share <= 1 + 1e-9))
    assert abs(worth(share) - model.objective_value) < 1e-5
    assert abs(-reference.fun - model.objective_value) < 1e-4
    print("  checked against scipy's SLSQP:", f"{-reference.fun:.4f}")


def main():
    zero_one()
    quadratic()
    return 0


if __name__ == "__main__":
    sys.exit(main())
