"""Instantiating one clause template over many for-all values.

A 50-clause template with 3 literals a clause, over 100,000 values of one for-all index, built
through the formula container into the engine's clause storage; beside it, the same 5,000,000
clauses built by a plain Python loop into python-sat's CNF, which is what a user would write
without the library. Each side runs in a fresh interpreter so that its peak memory is its own.
"""

import json
import resource
import subprocess
import sys
import time

N = 100_000
CLAUSES = 50


def rss_mb():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * resource.getpagesize() / 2**20


def peak_mb():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def run_ours():
    import nubrix.sorn_engine.bxpr as bx
    from zk_encoder.core.formula_container import FormulaContainer
    from zk_encoder.encode.variables import Variable

    families = {"dummy_var": Variable("dummy_var", {"d": 1}, 0),
                "x": Variable("x", {"i": N, "c": CLAUSES + 1}, 1)}
    families["y"] = Variable("y", {"i": N}, 1 + N * (CLAUSES + 1))
    ctx = bx.Context()
    template = bx.and_([bx.or_s([ctx.get_var(f"x(i,{c})"), ~ctx.get_var(f"x(i,{c + 1})"),
                                 ctx.get_var("y(i)")]) for c in range(CLAUSES)])
    base = rss_mb()
    start = time.perf_counter()
    fc = FormulaContainer(families, 1 + N * (CLAUSES + 2))
    fc.add_hard_constraint(template, {"i": range(N)}, 0, 0)
    fc.build_cnf_formula("bench")
    seconds = time.perf_counter() - start
    stor = fc.cnf_storage()
    assert stor.num_hard_clauses() == N * CLAUSES
    return {"seconds": seconds, "clauses": stor.num_hard_clauses(), "base": base,
            "peak": peak_mb(), "end": rss_mb()}


def run_peer():
    from pysat.formula import CNF

    y0 = 1 + N * (CLAUSES + 1)
    base = rss_mb()
    start = time.perf_counter()
    cnf = CNF()
    for i in range(N):
        row = 1 + i * (CLAUSES + 1)
        for c in range(CLAUSES):
            cnf.append([row + c, -(row + c + 1), y0 + i])
    seconds = time.perf_counter() - start
    return {"seconds": seconds, "clauses": len(cnf.clauses), "base": base, "peak": peak_mb(),
            "end": rss_mb()}


def measure(side):
    out = subprocess.run([sys.executable, __file__, side], capture_output=True, text=True,
                         check=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


def main():
    if len(sys.argv) > 1:
        print(json.dumps(run_ours() if sys.argv[1] == "ours" else run_peer()))
        return
    ours, peer = measure("ours"), measure("peer")
    print(f"template of {CLAUSES} clauses x 3 literals over {N:,} for-all values "
          f"= {N * CLAUSES:,} clauses")
    print(f"{'':34}{'seconds':>9}{'clauses/s':>14}{'peak MB':>10}{'held MB':>10}")
    for name, r in (("zk_encoder container -> storage", ours),
                    ("python-sat CNF, plain loop", peer)):
        print(f"{name:34}{r['seconds']:9.3f}{r['clauses'] / r['seconds']:14,.0f}"
              f"{r['peak'] - r['base']:10.1f}{r['end'] - r['base']:10.1f}")
    print(f"speed ratio (ours / python-sat): {peer['seconds'] / ours['seconds']:.2f}x")
    print(f"peak memory ratio (ours / python-sat): "
          f"{(ours['peak'] - ours['base']) / (peer['peak'] - peer['base']):.2f}")


if __name__ == "__main__":
    main()
