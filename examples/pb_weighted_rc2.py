"""Weighted CNF solved with RC2: open the cheapest set of depots that serves every town.

Hard constraints: every town is served by at least one open depot. Soft constraint: the opening
costs, a weighted sum to minimise. The model is built to weighted CNF (hard clauses, and one soft
clause per term of the sum, weighted by its coefficient); python-sat's RC2 (MaxSAT) finds the
answer of least cost, the witness interpreter reads it back, and brute force over every set of
depots confirms that no cheaper one serves every town.
"""

import itertools

from pysat.examples.rc2 import RC2
from pysat.formula import WCNF

import nubrix.sorn_engine as se
from zk_encoder import Model, OrIt, SumIt

COST = [7, 4, 5, 6, 3]                       # opening cost of depot d
SERVES = [{0, 1}, {1, 2, 3}, {0, 3, 4}, {2, 4, 5}, {4, 5}]   # towns that depot d reaches
TOWNS = 6


def main():
    engine = se.manager()
    model = Model(engine, "depots")
    depot = model.create_variables("depot", d=len(COST))
    # Hard constraints come first: once a soft constraint is added, add_constraint is refused.
    for town in range(TOWNS):
        model.add_constraint(OrIt([depot[d] for d in range(len(COST)) if town in SERVES[d]]))
    # A soft constraint takes a pseudo-Boolean term (a sum of weighted variables), not a clause.
    # minimization=True: every term that is true costs its coefficient.
    model.add_soft_constraint(SumIt([COST[d] * depot[d] for d in range(len(COST))]),
                              weight=1, minimization=True)
    assert model.build_wcnf()

    storage = model.get_cnf_storage()
    wcnf = WCNF()
    for clause in storage.hard_clauses():
        wcnf.append(clause)
    for clause, weight in storage.soft_clauses():
        wcnf.append(clause, weight=weight)
    with RC2(wcnf) as rc2:
        witness = rc2.compute()
        cost = rc2.cost                      # total weight of the soft clauses left false
    values = engine.get_witness_interpreter().interpret(witness)
    opened = [d for d in range(len(COST)) if values[f"depot[{d}]"]]
    print(f"{storage.num_hard_clauses()} hard and {storage.num_soft_clauses()} soft clauses")
    print(f"open depots {opened}: cost {sum(COST[d] for d in opened)} (RC2 cost {cost})")

    assert set().union(*(SERVES[d] for d in opened)) == set(range(TOWNS))
    assert cost == sum(COST[d] for d in opened)
    best = min(sum(COST[d] for d in subset)
               for n in range(len(COST) + 1) for subset in itertools.combinations(range(len(COST)), n)
               if set().union(*(SERVES[d] for d in subset)) == set(range(TOWNS)))
    assert cost == best
    print(f"checked: every town is served, and brute force finds no cheaper set (best {best})")


if __name__ == "__main__":
    main()
