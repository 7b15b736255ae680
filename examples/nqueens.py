"""N-queens with zk_encoder, solved by python-sat.

First: place N queens on an N x N board so that no two attack each other. Rows and columns hold
exactly one queen each (one for-all constraint each), every diagonal at most one. The model is
built to CNF, written as a DIMACS file by the engine's clause storage, solved with a CDCL solver,
decoded by the engine's witness interpreter, printed and checked.

Then the weighted variant: every square has a value; the queens should stand on squares worth
as much as possible, and preferably off the main diagonal. Both wishes are soft constraints; the
model is built to weighted CNF, written as a WCNF file, solved with RC2 (MaxSAT), decoded, printed
and checked against every placement found by brute force.

    python examples/nqueens.py [N [FOLDER]]

N is the board size (default 8; the weighted variant uses at most 7, to keep the brute force
short). The DIMACS files go to FOLDER (default examples/output/), which is kept afterwards so the
files can be handed to any other SAT or MaxSAT solver.
"""

import itertools
import os
import sys

from pysat.examples.rc2 import RC2
from pysat.formula import CNF, WCNF
from pysat.solvers import Solver

import nubrix.sorn_engine as se
from zk_encoder import Model, Sum, SumIt


def add_queens_rules(model, n):
    """The queens' rules; returns the board family."""
    queen = model.create_variables("queen", row=n, col=n)
    i, j = model.get_indexes(["i", "j"])
    # One queen in every row and in every column: one constraint each, repeated for all values.
    model.add_constraint(Sum(queen[i, j], j=range(n)) == 1, i=range(n))
    model.add_constraint(Sum(queen[i, j], i=range(n)) == 1, j=range(n))
    # At most one queen on every diagonal (column - row = d) and anti-diagonal (row + column = s).
    for d in range(-(n - 2), n - 1):
        model.add_constraint(Sum(queen[i, i + d], i=range(max(0, -d), min(n, n - d))) <= 1)
    for s in range(1, 2 * n - 2):
        cells = [queen[r, s - r] for r in range(max(0, s - n + 1), min(n, s + 1))]
        model.add_constraint(SumIt(cells) <= 1)
    return queen


def board_of(decoded, n):
    """The decoded element values as a set of (row, column) squares holding a queen."""
    return {(r, c) for r in range(n) for c in range(n) if decoded[f"queen[{r},{c}]"]}


def attacks(queens, n):
    """Every rule the placement breaks, as readable texts (empty when it is a solution)."""
    broken = []
    for r in range(n):
        if sum((r, c) in queens for c in range(n)) != 1:
            broken.append(f"row {r}")
    for c in range(n):
        if sum((r, c) in queens for r in range(n)) != 1:
            broken.append(f"column {c}")
    for a, b in itertools.combinations(sorted(queens), 2):
        if abs(a[0] - b[0]) == abs(a[1] - b[1]):
            broken.append(f"diagonal {a} {b}")
    return broken


def show(queens, n, value=None):
    for r in range(n):
        cells = []
        for c in range(n):
            mark = "Q" if (r, c) in queens else "."
            cells.append(f"{mark}{value(r, c)}" if value else mark)
        print("   " + " ".join(cells))


def plain_queens(n, workdir):
    mgr = se.manager()
    model = Model(mgr, f"queens{n}")
    add_queens_rules(model, n)
    assert model.build_cnf(), "the witness interpreter has no tables"
    path = os.path.join(workdir, f"queens{n}.cnf")
    model.get_cnf_storage().write_cnf(path)

    cnf = CNF(from_file=path)
    with Solver(name="cadical153", bootstrap_with=cnf.clauses) as solver:
        assert solver.solve(), "N-queens has a solution for N >= 4"
        witness = solver.get_model()
    queens = board_of(mgr.get_witness_interpreter().interpret(witness), n)
    print(f"{n}-queens: {cnf.nv} variables, {len(cnf.clauses)} clauses, written to {path}")
    print(f"   CaDiCaL found a model; the witness interpreter turned it back into the {n * n}\n"
          f"   board variables queen[row,col] (auxiliary variables left out). Q marks a queen:")
    show(queens, n)
    broken = attacks(queens, n)
    assert not broken, broken
    print("   checked: one queen per row and column, none sharing a diagonal\n")


def square_value(r, c):
    return (3 * r + 5 * c + r * c) % 7 + 1


def weighted_queens(n, workdir):
    mgr = se.manager()
    model = Model(mgr, f"weighted_queens{n}")
    queen = add_queens_rules(model, n)
    i = model.get_indexes(["i"])
    # Wish 1: as much value under the queens as possible (one soft constraint, weights per term).
    values = SumIt([square_value(r, c) * queen[r, c] for r in range(n) for c in range(n)])
    model.add_soft_constraint(values, weight=1, minimization=False)
    # Wish 2: the main diagonal stays empty, worth 4 per square (repeated for all values of i).
    model.add_soft_constraint(queen[i, i], weight=4, minimization=True, i=range(n))
    assert model.build_wcnf(), "the witness interpreter has no tables"
    path = os.path.join(workdir, f"weighted_queens{n}.wcnf")
    model.get_cnf_storage().write_wcnf(path)

    wcnf = WCNF(from_file=path)
    with RC2(wcnf) as rc2:
        witness = rc2.compute()
        cost = rc2.cost
    assert witness is not None
    queens = board_of(mgr.get_witness_interpreter().interpret(witness), n)

    def gain(placement):
        return (sum(square_value(r, c) for r, c in placement)
                - 4 * sum(1 for r, c in placement if r == c))

    all_squares = sum(square_value(r, c) for r in range(n) for c in range(n))
    under_queens = sum(square_value(r, c) for r, c in queens)
    on_diagonal = sum(r == c for r, c in queens)
    print(f"weighted {n}-queens: {wcnf.nv} variables, {len(wcnf.hard)} hard and "
          f"{len(wcnf.soft)} soft clauses, written to {path}")
    print("   Each square shows its value after the mark (Q: a queen, .: empty):")
    show(queens, n, square_value)
    broken = attacks(queens, n)
    assert not broken, broken
    # RC2 minimises the weight of the soft clauses the answer leaves false: every square without
    # a queen (its value) and every queen on the main diagonal (4). So the cost is the value of
    # the whole board minus the value of the placement, and the least cost is the best value.
    print(f"   value {gain(queens)}: the squares under the queens give {under_queens}, minus 4 for each "
          f"queen on the main diagonal ({on_diagonal})")
    print(f"   RC2 cost {cost}: the weight of the wishes left unmet, i.e. the value of all squares "
          f"({all_squares}) minus the value {gain(queens)}")
    assert cost == all_squares - gain(queens), (cost, all_squares, gain(queens))
    # Brute force: every placement with one queen per row and column, no shared diagonal.
    placements = [{(r, perm[r]) for r in range(n)} for perm in itertools.permutations(range(n))]
    solutions = [p for p in placements if not attacks(p, n)]
    best = max(gain(p) for p in solutions)
    assert gain(queens) == best
    print(f"   checked: a solution of the queens' rules, and the best value of all {len(solutions)} "
          f"solutions (brute force: {best})\n")


def main(argv):
    n = int(argv[1]) if len(argv) > 1 else 8
    workdir = argv[2] if len(argv) > 2 else os.path.join(os.path.dirname(__file__), "output")
    if not os.path.relpath(workdir).startswith(os.pardir):
        workdir = os.path.relpath(workdir)
    os.makedirs(workdir, exist_ok=True)
    plain_queens(n, workdir)
    weighted_queens(min(n, 7), workdir)


if __name__ == "__main__":
    main(sys.argv)
