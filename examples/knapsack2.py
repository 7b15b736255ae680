"""Knapsacks with the second linear generation: one variable array, rows by weighted sums.

First, the 0-1 knapsack (a mixed-integer program): pack items of the given weights and values
into a bag of limited capacity, each item whole or not at all, for the largest total value. One
binary array over the items, one capacity row (the weights dotted with the array), a linear
objective. The packing is printed and checked against every packing found by brute force.

Then the quadratic variant: the same goods are sold loose, any fraction of each item may be
packed, and each one's worth wears off the more of it is packed (value v*x - d*x^2 for a fraction
x). Each wear term is the product of an item's row with itself, so the objective has a quadratic
part; the model is a convex quadratic program. The result is checked against the optimality
conditions, solved independently by bisection on the price of capacity.
"""

import itertools
import sys

import numpy as np

from zk_encoder.linear_parser2 import LinearModel, SolutionStatus, VariableType, dot

WEIGHTS = np.array([12, 7, 11, 8, 9, 6, 14, 5], dtype=float)
VALUES = np.array([24, 13, 23, 15, 16, 11, 28, 8], dtype=float)
CAPACITY = 37
# The quadratic variant: how fast each item's worth wears off (value v*x - d*x^2 for a packed
# fraction x).
DECAY = np.array([10, 4, 8, 5, 6, 3, 12, 2], dtype=float)


def knapsack():
    n = len(WEIGHTS)
    model = LinearModel()
    take = model.get_variable("take", VariableType.BINARY, item=n)
    model.add_constraint(dot(take[:], WEIGHTS) <= CAPACITY)
    model.add_target(dot(take[:], VALUES), minimization=False)
    status = model.solve(is_feasible=True)
    chosen = model.get_result("take")
    weight, value = int(WEIGHTS @ chosen), int(VALUES @ chosen)
    print(f"knapsack: {n} items, capacity {CAPACITY}; {status.name}, "
          f"value {model.objective_value:g}")
    print(f"   packed items {np.flatnonzero(chosen).tolist()}, weight {weight}, value {value}")

    best = max(int(VALUES @ pick) for pick in itertools.product((0, 1), repeat=n)
               if WEIGHTS @ pick <= CAPACITY)
    assert status is SolutionStatus.OPTIMAL
    assert chosen.dtype == np.int32 and set(chosen.tolist()) <= {0, 1}
    assert weight <= CAPACITY and value == best == round(model.objective_value)
    print(f"   checked: fits, and no packing of the {2 ** n} does better ({best})\n")


def fractions_at(price):
    """The best fraction of each item when capacity costs `price` per unit of weight."""
    return np.clip((VALUES - price * WEIGHTS) / (2 * DECAY), 0, 1)


def reference_fractions():
    """Optimality conditions of the quadratic variant: raise the price of capacity until the
    best fractions at that price fit in the bag (bisection)."""
    x = fractions_at(0.0)
    if WEIGHTS @ x <= CAPACITY:
        return x
    low, high = 0.0, VALUES.max()
    for _ in range(200):
        mid = (low + high) / 2
        if WEIGHTS @ fractions_at(mid) > CAPACITY:
            low = mid
        else:
            high = mid
    return fractions_at(high)


def quadratic_knapsack():
    n = len(WEIGHTS)
    model = LinearModel()
    x = model.get_variable("x", VariableType.REAL, 0, 1, item=n)
    model.add_constraint(dot(x[:], WEIGHTS) <= CAPACITY)
    # Maximising a worth that wears off is minimising its negation, a convex quadratic.
    loss = dot(x[:], -VALUES)
    for k in range(n):
        loss = loss + x[k] * x[k] * DECAY[k]
    model.add_target(loss, minimization=True)
    status = model.solve(is_feasible=True)
    got = model.get_result("x")
    worth = -model.objective_value
    print(f"quadratic knapsack: {n} items sold loose, capacity {CAPACITY}; {status.name}, "
          f"worth {worth:.4f}")
    print("   packed fractions " + " ".join(f"{v:.3f}" for v in got))

    expected = reference_fractions()
    assert status is SolutionStatus.OPTIMAL
    assert WEIGHTS @ got <= CAPACITY + 1e-6
    assert np.allclose(got, expected, atol=1e-4), (got, expected)
    assert abs(worth - float(VALUES @ expected - DECAY @ expected ** 2)) < 1e-4
    print("   checked: fits, and matches the optimality conditions solved by bisection\n")


def main():
    knapsack()
    quadratic_knapsack()
    return 0


if __name__ == "__main__":
    sys.exit(main())
