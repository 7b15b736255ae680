"""A transport problem with zk_encoder's first-generation LinearModel, solved by the engine's
linear solver.

Three plants ship goods to four markets. Every plant can send at most its supply, every market
must receive at least its demand, and every unit shipped on a route costs that route's price. The
model has one variable block `ship` over (plant, market); the supply and demand rows are for-all
constraints (one solver row per plant or market); the objective sums the shipping costs. The
result is printed, checked against the rules, and its cost compared with scipy's own linear
programming solver on the same data. The model is also written as an MPS file.
"""

import os
import tempfile

import numpy as np
from scipy.optimize import linprog

from zk_encoder import LinearModel, SolutionStatus, VariableType
from zk_encoder.linear_parser import Sum, SumIt

SUPPLY = [35, 50, 40]  # units each plant can send
DEMAND = [45, 20, 30, 30]  # units each market needs
COST = [  # price of one unit from plant p (row) to market m (column)
    [8, 6, 10, 9],
    [9, 12, 13, 7],
    [14, 9, 16, 5],
]


def groups(amounts):
    """Positions by amount: a for-all row repeats one bound, so equal amounts share a row call."""
    by_amount = {}
    for position, amount in enumerate(amounts):
        by_amount.setdefault(amount, []).append(position)
    return by_amount.items()


def build():
    plants, markets = len(SUPPLY), len(DEMAND)
    model = LinearModel()
    ship = model.get_variables("ship", VariableType.REAL, lo=0, plant=plants, market=markets)
    p, m = model.get_indexes(["p", "m"])
    # For all plants p of a supply: what leaves p fits in it.
    for supply, which in groups(SUPPLY):
        model.add_constraint(Sum(ship[p, m], m=range(markets)) <= supply, p=which)
    # For all markets m of a demand: what reaches m covers it.
    for demand, which in groups(DEMAND):
        model.add_constraint(Sum(ship[p, m], p=range(plants)) >= demand, m=which)
    cost = SumIt([COST[a][b] * ship[a, b] for a in range(plants) for b in range(markets)])
    model.add_target(cost, minimization=True)
    return model


def reference_cost():
    """The optimum of the same problem by scipy.optimize.linprog."""
    plants, markets = len(SUPPLY), len(DEMAND)
    rows, bounds = [], []
    for a in range(plants):
        row = np.zeros(plants * markets)
        row[a * markets:(a + 1) * markets] = 1
        rows.append(row)
        bounds.append(SUPPLY[a])
    for b in range(markets):
        row = np.zeros(plants * markets)
        row[b::markets] = -1
        rows.append(row)
        bounds.append(-DEMAND[b])
    result = linprog(np.ravel(COST), A_ub=np.array(rows), b_ub=bounds, bounds=(0, None))
    assert result.status == 0, result.message
    return result.fun


def main():
    model = build()
    status = model.solve()
    assert status is SolutionStatus.OPTIMAL, status
    ship = model.get_result("ship")
    print(f"transport: {len(SUPPLY)} plants, {len(DEMAND)} markets; {status.name}, "
          f"cost {model.objective_value:g}")
    print("   " + " ".join(f"{'m' + str(b):>6}" for b in range(len(DEMAND))) + "   sent/supply")
    for a, row in enumerate(ship):
        cells = " ".join(f"{v:6g}" for v in row)
        print(f"p{a} {cells}   {row.sum():g}/{SUPPLY[a]}")
    print("   " + " ".join(f"{v:6g}" for v in ship.sum(axis=0)) + "   received")
    print("   " + " ".join(f"{d:6g}" for d in DEMAND) + "   demand")

    tol = 1e-6
    assert ship.shape == (len(SUPPLY), len(DEMAND)) and (ship >= -tol).all()
    assert (ship.sum(axis=1) <= np.array(SUPPLY) + tol).all(), "a plant sends beyond its supply"
    assert (ship.sum(axis=0) >= np.array(DEMAND) - tol).all(), "a market gets less than needed"
    assert abs(float((np.array(COST) * ship).sum()) - model.objective_value) < tol
    best = reference_cost()
    assert abs(model.objective_value - best) < tol, (model.objective_value, best)
    print(f"   checked: supplies kept, demands met, cost equals scipy's linprog optimum {best:g}")

    with tempfile.TemporaryDirectory() as workdir:
        path = os.path.join(workdir, "models", "transport.mps")
        model.write_model(path)
        print(f"   written: {os.path.basename(path)}, {os.path.getsize(path)} bytes\n")


if __name__ == "__main__":
    main()
