"""Sudoku of order n = 8 (a 64 x 64 board, values 1..64) built to CNF: zk_encoder beside
python-sat.

Every cell holds exactly one value, and every row, column and box holds every value exactly
once. Ours: a Model with the library's own encoding, each rule one constraint over for-all
indexes, the boxes through index arithmetic (cell row 8 * br + dr, column 8 * bc + dc). The
peer: the same rules written with python-sat's IDPool and CardEnc.equals with its default
encoding, which is what a user would write instead. Both in the same run; seconds from an empty
model to the finished clauses.
"""

import time

from pysat.card import CardEnc
from pysat.formula import CNF, IDPool

import nubrix.sorn_engine as se
from zk_encoder import Model, Sum

ORDER = 8
SIDE = ORDER * ORDER


def ours():
    start = time.perf_counter()
    model = Model(se.manager(), "sudoku")
    x = model.create_variables("x", row=SIDE, col=SIDE, val=SIDE)
    r, c, v, br, bc, dr, dc = model.get_indexes(["r", "c", "v", "br", "bc", "dr", "dc"])
    cells = range(SIDE)
    model.add_constraint(Sum(x[r, c, v], v=cells) == 1, r=cells, c=cells)
    model.add_constraint(Sum(x[r, c, v], c=cells) == 1, r=cells, v=cells)
    model.add_constraint(Sum(x[r, c, v], r=cells) == 1, c=cells, v=cells)
    model.add_constraint(Sum(x[ORDER * br + dr, ORDER * bc + dc, v], dr=range(ORDER),
                             dc=range(ORDER)) == 1,
                         br=range(ORDER), bc=range(ORDER), v=cells)
    assert model.build_cnf()
    seconds = time.perf_counter() - start
    storage = model.get_cnf_storage()
    return seconds, storage.num_hard_clauses(), storage.get_variable_count()


def pysat_peer():
    start = time.perf_counter()
    pool = IDPool()
    x = [[[pool.id(("x", row, col, val)) for val in range(SIDE)] for col in range(SIDE)]
         for row in range(SIDE)]
    cnf = CNF()
    cells = range(SIDE)
    for row in cells:
        for col in cells:
            cnf.extend(CardEnc.equals(x[row][col], 1, vpool=pool).clauses)
    for row in cells:
        for val in cells:
            cnf.extend(CardEnc.equals([x[row][col][val] for col in cells], 1, vpool=pool).clauses)
    for col in cells:
        for val in cells:
            cnf.extend(CardEnc.equals([x[row][col][val] for row in cells], 1, vpool=pool).clauses)
    for br in range(ORDER):
        for bc in range(ORDER):
            for val in cells:
                box = [x[ORDER * br + a][ORDER * bc + b][val]
                       for a in range(ORDER) for b in range(ORDER)]
                cnf.extend(CardEnc.equals(box, 1, vpool=pool).clauses)
    seconds = time.perf_counter() - start
    return seconds, len(cnf.clauses), pool.top


def main():
    rows = [("zk_encoder Model (own encoding)", ours()),
            ("python-sat IDPool + CardEnc", pysat_peer())]
    print(f"Sudoku n={ORDER} ({SIDE}x{SIDE} cells, values 1..{SIDE}): build CNF")
    print(f"{'':34} {'seconds':>9} {'clauses':>11} {'variables':>10}")
    for name, (seconds, clauses, variables) in rows:
        print(f"{name:34} {seconds:9.3f} {clauses:11,} {variables:10,}")
    print(f"speed: {rows[1][1][0] / rows[0][1][0]:.2f}x python-sat")


if __name__ == "__main__":
    main()
