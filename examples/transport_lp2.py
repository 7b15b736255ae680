"""A transport problem with the second linear generation: one variable array, blocks of rows.

Three plants ship goods to four markets. Every plant can send at most its supply, every market
must receive at least its demand, and every unit shipped on a route costs that route's price. The
shipments are one 3 x 4 array; all supply limits are one block of rows and all demands another,
each handed to the solver in one call; the cost is one weighted sum over the whole array. The
result is printed, checked against the rules, and its cost compared with scipy's own linear
programming solver on the same data. The model is also written as an MPS file.
"""

import os
import sys
import tempfile

import numpy as np
from scipy.optimize import linprog

from zk_encoder.linear_parser2 import LinearModel, SolutionStatus, VariableType, dot

SUPPLY = np.array([35.0, 50.0, 40.0])  # units each plant can send
DEMAND = np.array([45.0, 20.0, 30.0, 30.0])  # units each market needs
COST = np.array([  # price of one unit from plant p (row) to market m (column)
    [8.0, 6.0, 10.0, 9.0],
    [9.0, 12.0, 13.0, 7.0],
    [14.0, 9.0, 16.0, 5.0],
])
PLANTS, MARKETS = COST.shape


def build():
    model = LinearModel()
    ship = model.get_variable("ship", VariableType.REAL, 0, plant=PLANTS, market=MARKETS)
    # ship[:, b] is a block with one row per plant, ship[a, :] one with a row per market: adding
    # the columns gives what each plant sends, adding the rows what each market receives.
    sent = sum(ship[:, b] for b in range(MARKETS))
    received = sum(ship[a, :] for a in range(PLANTS))
    model.add_constraints(sent <= SUPPLY)
    model.add_constraints(received >= DEMAND)
    # ship[:, :] lists the routes in row-major order, as COST.ravel() does.
    model.add_target(dot(ship[:, :], COST.ravel()), minimization=True)
    return model


def reference_cost():
    """The optimum of the same problem by scipy.optimize.linprog."""
    a_ub = np.vstack([np.kron(np.eye(PLANTS), np.ones(MARKETS)),
                      -np.kron(np.ones(PLANTS), np.eye(MARKETS))])
    b_ub = np.concatenate([SUPPLY, -DEMAND])
    result = linprog(COST.ravel(), A_ub=a_ub, b_ub=b_ub, bounds=(0, None))
    assert result.status == 0, result.message
    return result.fun


def main():
    model = build()
    status = model.solve(is_feasible=True)
    ship = model.get_result("ship")
    print(f"transport: {PLANTS} plants, {MARKETS} markets; {status.name}, "
          f"cost {model.objective_value:g}")
    print("   " + " ".join(f"{'m' + str(b):>6}" for b in range(MARKETS)) + "   sent/supply")
    for a, row in enumerate(ship):
        cells = " ".join(f"{v:6g}" for v in row)
        print(f"p{a} {cells}   {row.sum():g}/{SUPPLY[a]:g}")
    print("   " + " ".join(f"{v:6g}" for v in ship.sum(axis=0)) + "   received")
    print("   " + " ".join(f"{d:6g}" for d in DEMAND) + "   demand")

    tol = 1e-6
    assert status is SolutionStatus.OPTIMAL
    assert ship.shape == (PLANTS, MARKETS) and (ship >= -tol).all()
    assert (ship.sum(axis=1) <= SUPPLY + tol).all(), "a plant sends beyond its supply"
    assert (ship.sum(axis=0) >= DEMAND - tol).all(), "a market gets less than needed"
    assert abs(float((COST * ship).sum()) - model.objective_value) < tol
    best = reference_cost()
    assert abs(model.objective_value - best) < tol, (model.objective_value, best)
    print(f"   checked: supplies kept, demands met, cost equals scipy's linprog optimum {best:g}")

    with tempfile.TemporaryDirectory() as workdir:
        path = os.path.join(workdir, "models", "transport2.mps")
        model.write_model(path)
        print(f"   written: {os.path.basename(path)}, {os.path.getsize(path)} bytes\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
