"""A knapsack with zk_encoder's first-generation LinearModel, solved by the engine's linear
solver.

First, the 0-1 knapsack (a mixed-integer program): pack items of the given weights and values
into a bag of limited capacity, each item whole or not at all, for the largest total value. One
binary variable per item, one capacity row, a linear objective. The packing is printed and
checked against every packing found by brute force.

Then the quadratic variant: the same goods are sold loose, any fraction of each item may be
packed, and each one's worth wears off the more of it is packed (value v*x - d*x^2 for a fraction
x). The objective has a quadratic part; the model is a convex quadratic program. The result is
checked against the optimality conditions, solved independently by bisection on the price of
capacity.
"""

import itertools

import numpy as np

from zk_encoder import LinearModel, SolutionStatus, VariableType
from zk_encoder.linear_parser import SumIt

WEIGHTS = [12, 7, 11, 8, 9, 6, 14, 5]
VALUES = [24, 13, 23, 15, 16, 11, 28, 8]
CAPACITY = 37
# The quadratic variant: how fast each item's worth wears off (value v*x - d*x^2 for a packed
# fraction x).
DECAY = [10, 4, 8, 5, 6, 3, 12, 2]


def knapsack():
    n = len(WEIGHTS)
    model = LinearModel()
    take = model.get_variables("take", VariableType.BINARY, item=n)
    model.add_constraint(SumIt([WEIGHTS[k] * take[k] for k in range(n)]) <= CAPACITY)
    model.add_target(SumIt([VALUES[k] * take[k] for k in range(n)]), minimization=False)
    status = model.solve()
    assert status is SolutionStatus.OPTIMAL, status
    chosen = model.get_result("take")
    weight = int(np.dot(WEIGHTS, chosen))
    value = int(np.dot(VALUES, chosen))
    print(f"knapsack: {n} items, capacity {CAPACITY}; {status.name}, "
          f"value {model.objective_value:g}")
    print(f"   packed items {[k for k in range(n) if chosen[k]]}, weight {weight}, value {value}")

    best = max(int(np.dot(VALUES, pick)) for pick in itertools.product((0, 1), repeat=n)
               if np.dot(WEIGHTS, pick) <= CAPACITY)
    assert chosen.dtype == np.int32 and set(chosen.tolist()) <= {0, 1}
    assert weight <= CAPACITY and value == best == round(model.objective_value)
    print(f"   checked: fits, and no packing of the {2 ** n} does better ({best})\n")


def fractions_at(price):
    """The best fraction of each item when capacity costs `price` per unit of weight."""
    v, w, d = (np.array(a, float) for a in (VALUES, WEIGHTS, DECAY))
    return np.clip((v - price * w) / (2 * d), 0, 1)


def reference_fractions():
    """Optimality conditions of the quadratic variant: raise the price of capacity until the
    best fractions at that price fit in the bag (bisection)."""
    x = fractions_at(0.0)
    if np.dot(WEIGHTS, x) <= CAPACITY:
        return x
    low, high = 0.0, max(VALUES)
    for _ in range(200):
        mid = (low + high) / 2
        if np.dot(WEIGHTS, fractions_at(mid)) > CAPACITY:
            low = mid
        else:
            high = mid
    return fractions_at(high)


def quadratic_knapsack():
    n = len(WEIGHTS)
    model = LinearModel()
    x = model.get_variables("x", VariableType.REAL, 0, 1, item=n)
    model.add_constraint(SumIt([WEIGHTS[k] * x[k] for k in range(n)]) <= CAPACITY)
    # Maximising a worth that wears off is minimising its negation, a convex quadratic.
    loss = SumIt([DECAY[k] * (x[k] * x[k]) - VALUES[k] * x[k] for k in range(n)])
    model.add_target(loss, minimization=True)
    status = model.solve()
    assert status is SolutionStatus.OPTIMAL, status
    got = model.get_result("x")
    worth = -model.objective_value
    print(f"quadratic knapsack: {n} items sold loose, capacity {CAPACITY}; {status.name}, "
          f"worth {worth:.4f}")
    print("   packed fractions " + " ".join(f"{v:.3f}" for v in got))

    expected = reference_fractions()
    v, d = np.array(VALUES, float), np.array(DECAY, float)
    assert np.dot(WEIGHTS, got) <= CAPACITY + 1e-6
    assert np.allclose(got, expected, atol=1e-4), (got, expected)
    assert abs(worth - float(v @ expected - d @ expected ** 2)) < 1e-4
    print("   checked: fits, and matches the optimality conditions solved by bisection\n")


def main():
    knapsack()
    quadratic_knapsack()


if __name__ == "__main__":
    main()
