"""ADDER encoding of one constraint sum(a_i x_i) <= floor(sum(a_i) / 2), a_i drawn from 1..1000.

Prints our variables (inputs included), clauses and seconds beside the figures of an established
adder encoder of the same constraint, and our clauses per second. Then cardinality constraints
with a bound near one end (at most one, exactly one, at most two, at least two over n unit
literals) beside python-sat's CardEnc with its default encoding, measured in the same run.
"""

import random
import sys
import time

import numpy  # noqa: F401  (loaded before timing: the bulk accessor returns numpy arrays)

from pysat.card import CardEnc
from pysat.formula import IDPool

import nubrix.sorn_engine.pbct as pb

SEED = 20240611
ESTABLISHED = {1_000: (9_592, 60_002), 100_000: (873_949, 5_417_455)}
TARGET_CLAUSES_PER_SECOND = 10_000_000


REPEATS = 3  # best of: the machine may be shared


def run(n, seed=SEED):
    rng = random.Random(seed)
    weights = [rng.randint(1, 1000) for _ in range(n)]
    config = pb.PBConfig()
    config.pb_encoder = pb.PB_Encoder_type.ADDER
    config.max_clauses_per_constraint = 100_000_000
    aux = pb.AuxVarManager(1)
    xs = [aux.get_variable() for _ in range(n)]
    constraint = pb.PBConstraint([pb.WeightedLit(x, a) for x, a in zip(xs, weights)],
                                 pb.Comparator_type.LEQ, sum(weights) // 2)
    first_aux = aux.next_variable
    encode_seconds = float("inf")
    for _ in range(REPEATS):
        aux = pb.AuxVarManager(first_aux)
        db = pb.VectorClauseDatabase(config)
        start = time.perf_counter()
        pb.pb2cnf(config).encode2(constraint, db, aux)
        encode_seconds = min(encode_seconds, time.perf_counter() - start)
    start = time.perf_counter()
    offsets, _ = db.get_clause_arrays()
    arrays_seconds = time.perf_counter() - start
    return aux.next_variable - 1, len(offsets) - 1, encode_seconds, arrays_seconds


CARDINALITY = [("at most one", "LEQ", 1), ("exactly one", "BOTH", 1), ("at most two", "LEQ", 2),
               ("at least two", "GEQ", 2)]
CARDINALITY_N = 1_000


def ours_cardinality(n, comparator, bound):
    config = pb.PBConfig()
    config.max_clauses_per_constraint = 100_000_000
    aux = pb.AuxVarManager(n + 1)
    constraint = pb.PBConstraint([pb.WeightedLit(x, 1) for x in range(1, n + 1)],
                                 pb.Comparator_type[comparator], bound)
    db = pb.VectorClauseDatabase(config)
    pb.pb2cnf(config).encode2(constraint, db, aux)
    return aux.next_variable - 1, len(db)


def pysat_cardinality(n, comparator, bound):
    pool = IDPool(start_from=n + 1)
    make = {"LEQ": CardEnc.atmost, "GEQ": CardEnc.atleast, "BOTH": CardEnc.equals}[comparator]
    cnf = make(list(range(1, n + 1)), bound, vpool=pool)
    return max(n, pool.top), len(cnf.clauses)


def main():
    print(f"seed {SEED}; 'established': an established adder encoder of the same constraint")
    header = (f"{'n':>8} {'variables':>10} {'established':>11} {'clauses':>10} {'established':>11}"
              f" {'encode s':>9} {'arrays s':>9} {'clauses/s':>12}")
    print(header)
    slow = False
    for n, (peer_vars, peer_clauses) in ESTABLISHED.items():
        nvars, nclauses, seconds, arrays = run(n)
        rate = nclauses / seconds if seconds > 0 else float("inf")
        slow |= n >= 100_000 and rate < TARGET_CLAUSES_PER_SECOND
        print(f"{n:>8,} {nvars:>10,} {peer_vars:>11,} {nclauses:>10,} {peer_clauses:>11,}"
              f" {seconds:>9.4f} {arrays:>9.4f} {rate:>12,.0f}")
    print(f"\ncardinality over n = {CARDINALITY_N:,} unit literals;"
          " 'CardEnc': python-sat's default encoding")
    print(f"{'constraint':>14} {'variables':>10} {'CardEnc':>10} {'clauses':>10} {'CardEnc':>10}")
    for name, comparator, bound in CARDINALITY:
        nvars, nclauses = ours_cardinality(CARDINALITY_N, comparator, bound)
        peer_vars, peer_clauses = pysat_cardinality(CARDINALITY_N, comparator, bound)
        print(f"{name:>14} {nvars:>10,} {peer_vars:>10,} {nclauses:>10,} {peer_clauses:>10,}")
    if slow:
        print(f"below the aim of {TARGET_CLAUSES_PER_SECOND:,} clauses per second", file=sys.stderr)


if __name__ == "__main__":
    main()
