"""N-queens, N = 200, built to CNF: zk_encoder beside python-sat.

Rows and columns exactly one queen (one for-all constraint each), every diagonal and
anti-diagonal at most one (one constraint each). Ours: a Model with the library's own encoding
(and the same model through the engine's formula encoder); the peer: the same rules written with
python-sat's IDPool and CardEnc, with its default encodings, which is what a user would write
instead. Both in the same run; seconds from an empty model to the finished clauses.
"""

import time

from pysat.card import CardEnc
from pysat.formula import CNF, IDPool

import nubrix.sorn_engine as se
from zk_encoder import Model, Sum, SumIt

N = 200


def ours(use_formula_encoder=False):
    start = time.perf_counter()
    model = Model(se.manager(), "queens", use_formula_encoder)
    queen = model.create_variables("queen", row=N, col=N)
    i, j = model.get_indexes(["i", "j"])
    model.add_constraint(Sum(queen[i, j], j=range(N)) == 1, i=range(N))
    model.add_constraint(Sum(queen[i, j], i=range(N)) == 1, j=range(N))
    for d in range(-(N - 2), N - 1):
        model.add_constraint(Sum(queen[i, i + d], i=range(max(0, -d), min(N, N - d))) <= 1)
    for s in range(1, 2 * N - 2):
        model.add_constraint(SumIt([queen[r, s - r]
                                    for r in range(max(0, s - N + 1), min(N, s + 1))]) <= 1)
    assert model.build_cnf()
    seconds = time.perf_counter() - start
    storage = model.get_cnf_storage()
    return seconds, storage.num_hard_clauses(), storage.get_variable_count()


def pysat_peer():
    start = time.perf_counter()
    pool = IDPool()
    q = [[pool.id(("q", r, c)) for c in range(N)] for r in range(N)]
    cnf = CNF()
    for r in range(N):
        cnf.extend(CardEnc.equals([q[r][c] for c in range(N)], 1, vpool=pool).clauses)
    for c in range(N):
        cnf.extend(CardEnc.equals([q[r][c] for r in range(N)], 1, vpool=pool).clauses)
    for d in range(-(N - 2), N - 1):
        cells = [q[r][r + d] for r in range(max(0, -d), min(N, N - d))]
        cnf.extend(CardEnc.atmost(cells, 1, vpool=pool).clauses)
    for s in range(1, 2 * N - 2):
        cells = [q[r][s - r] for r in range(max(0, s - N + 1), min(N, s + 1))]
        cnf.extend(CardEnc.atmost(cells, 1, vpool=pool).clauses)
    seconds = time.perf_counter() - start
    return seconds, len(cnf.clauses), pool.top


def main():
    rows = [
        ("zk_encoder Model (own encoding)", ours()),
        ("zk_encoder Model (formula encoder)", ours(True)),
        ("python-sat IDPool + CardEnc", pysat_peer()),
    ]
    print(f"N-queens N={N}: build CNF")
    print(f"{'':38} {'seconds':>9} {'clauses':>10} {'variables':>10}")
    for name, (seconds, clauses, variables) in rows:
        print(f"{name:38} {seconds:9.3f} {clauses:10,} {variables:10,}")


if __name__ == "__main__":
    main()
