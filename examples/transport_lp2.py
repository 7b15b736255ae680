"""A transport problem with the second linear generation: arrays and blocks of rows.

Three plants ship to four shops. Plant i can send at most supply[i] units, shop j needs at least
demand[j], and a unit from i to j costs cost[i, j]. The shipments form one 3 x 4 array; all supply
limits are one block of rows and all demands another, each handed to the solver in one call; the
cost is one weighted sum over the whole array. The optimum is checked against scipy's linprog.
"""

import sys

import numpy as np
from scipy.optimize import linprog

from zk_encoder.linear_parser2 import LinearModel, SolutionStatus, VariableType, dot

supply = np.array([35.0, 50.0, 40.0])
demand = np.array([45.0, 20.0, 30.0, 30.0])
cost = np.array([[8.0, 6.0, 10.0, 9.0],
                 [9.0, 12.0, 13.0, 7.0],
                 [14.0, 9.0, 16.0, 5.0]])
plants, shops = cost.shape


def main():
    model = LinearModel()
    ship = model.get_variable("ship", VariableType.REAL, 0, plant=plants, shop=shops)

    # Row i of the first block is what plant i sends (the sum over shops of ship[i, j]);
    # row j of the second is what shop j receives.
    sent = sum(ship[:, j] for j in range(shops))
    received = sum(ship[i, :] for i in range(plants))
    model.add_constraints(sent <= supply)
    model.add_constraints(received >= demand)
    model.add_target(dot(ship[:, :], cost.ravel()), minimization=True)

    status = model.solve(is_feasible=True)
    plan = model.get_result("ship")
    print("status:", status.name)
    print("shipments (plants x shops):")
    for i in range(plants):
        print("  ", " ".join(f"{v:6.1f}" for v in plan[i]))
    print(f"total cost: {model.objective_value:.1f}")

    # Checks: a feasible plan whose cost is the optimum scipy finds for the same problem.
    assert status is SolutionStatus.OPTIMAL and plan.shape == (plants, shops)
    assert np.all(plan >= -1e-9)
    assert np.all(plan.sum(axis=1) <= supply + 1e-6)
    assert np.all(plan.sum(axis=0) >= demand - 1e-6)
    assert abs((plan * cost).sum() - model.objective_value) < 1e-6
    a_ub = np.vstack([np.kron(np.eye(plants), np.ones(shops)),
                      -np.kron(np.ones(plants), np.eye(shops))])
    b_ub = np.concatenate([supply, -demand])
    reference = linprog(cost.ravel(), A_ub=a_ub, b_ub=b_ub, bounds=(0, None), method="highs")
    assert reference.status == 0 and abs(reference.fun - model.objective_value) < 1e-6
    print("checked: feasible, and optimal as scipy's linprog confirms")
    return 0


if __name__ == "__main__":
    sys.exit(main())
