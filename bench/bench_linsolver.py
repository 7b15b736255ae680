"""Handing a large LP to the solver: linsolver's addVars + changeColsCost + one addRows + run
beside the same arrays given to highspy.Highs.passModel + run directly (and the solution read,
as linsolver's run keeps it), in the same run.

A random LP of 10^6 columns and 10^6 rows with 4 entries a row (distinct columns), run with
time_limit=0 and presolve off, so that the figures show the handoff rather than the solve (HiGHS
presolves before it looks at the clock). Each side runs in a fresh
interpreter, so its peak memory is its own; the arrays are built before the clock starts, and
the memory figures are the process's peak resident size, whole and above the built arrays.
Goal: the stand-in within 1.5 times the direct handoff in time and in peak memory.

Then rows one call each, as the first generation adds them: 10^4, 10^5 and 10^6 rows of 4
entries over the same columns, one addRow call a row, through linsolver beside the same rows
through highspy.Highs.addRow, each size and side in a fresh interpreter, best of 3 builds
(arrays made before the clock starts). The figures are microseconds per row and how the cost
per row grows from the smallest size. Goal: appending is amortised constant time, the cost per
row at 10^6 rows within 1.3 times the cost at 10^4.

Usage: bench_linsolver.py [columns [rows]]
"""

import json
import subprocess
import sys

SEED = 20240611
NNZ_PER_ROW = 4
GOAL = 1.5
ROW_COUNTS = (10_000, 100_000, 1_000_000)
ROW_REPEAT = 3
ROW_GROWTH_GOAL = 1.3

CHILD = r"""
import json, resource, sys, time
import numpy as np

n, m, side, seed = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3], int(sys.argv[4])
k = %(nnz)d


def rss_mib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * resource.getpagesize() / 2**20


rng = np.random.default_rng(seed)
lower, upper = np.zeros(n), np.ones(n)
cost = -rng.random(n)
row_lower = np.full(m, -np.inf)
row_upper = rng.random(m) * k
starts = np.arange(0, k * m + 1, k, dtype=np.int32)
step = max(n // k, 1)
indices = ((rng.integers(0, n, m)[:, None] + np.arange(k) * step) %% n).astype(np.int32).ravel()
values = rng.random(k * m) + 0.5
import highspy  # both sides load the solver before the clock starts
if side == "linsolver":
    from nubrix.sorn_engine import linsolver
    cols = np.arange(n)
base = rss_mib()

start = time.perf_counter()
if side == "linsolver":
    s = linsolver.LinearSolver()
    s.setOptionValue("log_to_console", False)
    s.setOptionValue("time_limit", 0.0)
    s.setOptionValue("presolve", "off")
    s.addVars(n, lower, upper)
    s.changeColsCost(n, cols, cost)
    s.addRows(m, row_lower, row_upper, k * m, starts, indices, values)
    built = time.perf_counter()
    s.run()
    solve = s.getInfo().run_time
    status = str(s.getModelStatus())
else:
    h = highspy.Highs()
    h.setOptionValue("output_flag", False)
    h.setOptionValue("time_limit", 0.0)
    h.setOptionValue("presolve", "off")
    h.passModel(n, m, k * m, 2, 1, 0.0, cost, lower, upper, row_lower, row_upper, starts,
                indices, values, np.zeros(n, dtype=np.int32))
    built = time.perf_counter()
    h.run()
    solve = h.getRunTime()
    status = str(h.getModelStatus())
    # What a caller reads after the run, as linsolver's run keeps it.
    sol = h.getSolution()
    values = (sol.col_value, sol.row_value) if sol.value_valid else None
    duals = (sol.col_dual, sol.row_dual) if sol.dual_valid else None
    h.getInfo()
end = time.perf_counter()
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
print(json.dumps({"build": built - start, "total": end - start, "solve": solve, "base": base,
                  "peak": peak, "status": status}))
""" % {"nnz": NNZ_PER_ROW}


ROWS_CHILD = r"""
import json, sys, time
import numpy as np

n, m, side, seed, repeat = (int(sys.argv[1]), int(sys.argv[2]), sys.argv[3], int(sys.argv[4]),
                            int(sys.argv[5]))
k = %(nnz)d
rng = np.random.default_rng(seed)
step = max(n // k, 1)
indices = ((rng.integers(0, n, m)[:, None] + np.arange(k) * step) %% n).astype(np.int32)
indices.sort(axis=1)
values = rng.random((m, k)) + 0.5
upper = rng.random(m) * k
rows = [(float(upper[r]), indices[r], values[r]) for r in range(m)]
lower = np.zeros(n)
col_upper = np.ones(n)
import highspy
if side == "linsolver":
    from nubrix.sorn_engine import linsolver

best = None
for _ in range(repeat):
    if side == "linsolver":
        s = linsolver.LinearSolver()
        s.setOptionValue("log_to_console", False)
    else:
        s = highspy.Highs()
        s.setOptionValue("output_flag", False)
    s.addVars(n, lower, col_upper)
    add_row = s.addRow
    inf = float("inf")
    start = time.perf_counter()
    for up, idx, val in rows:
        add_row(-inf, up, k, idx, val)
    took = time.perf_counter() - start
    assert s.getNumRow() == m
    best = took if best is None else min(best, took)
    del s
print(json.dumps({"us_per_row": best / m * 1e6}))
""" % {"nnz": NNZ_PER_ROW}


def measure(side, n, m, child=CHILD, *more):
    out = subprocess.run([sys.executable, "-c", child, str(n), str(m), side, str(SEED),
                          *map(str, more)], capture_output=True, text=True, check=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


def rows_one_call_each(n):
    print(f"\nRows one addRow call each: {NNZ_PER_ROW} entries a row over {n:,} columns, "
          f"best of {ROW_REPEAT}")
    print(f"{'rows':>10}{'linsolver us/row':>18}{'highspy us/row':>16}{'ratio':>7}"
          f"{'linsolver growth':>18}{'highspy growth':>16}")
    first = None
    for m in ROW_COUNTS:
        ours = measure("linsolver", n, m, ROWS_CHILD, ROW_REPEAT)["us_per_row"]
        direct = measure("highspy", n, m, ROWS_CHILD, ROW_REPEAT)["us_per_row"]
        first = first or (ours, direct)
        print(f"{m:>10,}{ours:>18.2f}{direct:>16.2f}{ours / direct:>7.2f}"
              f"{ours / first[0]:>18.2f}{direct / first[1]:>16.2f}")
    print(f"growth of linsolver's cost per row from {ROW_COUNTS[0]:,} to {ROW_COUNTS[-1]:,} rows: "
          f"{ours / first[0]:.2f} (goal: at most {ROW_GROWTH_GOAL})")


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    m = int(sys.argv[2]) if len(sys.argv) > 2 else n
    print(f"LP: {n:,} columns, {m:,} rows, {NNZ_PER_ROW * m:,} entries; time_limit=0, presolve off")
    direct = measure("highspy", n, m)
    ours = measure("linsolver", n, m)
    print(f"{'':26}{'build s':>9}{'total s':>9}{'HiGHS run s':>13}{'handoff s':>11}"
          f"{'peak MiB':>10}{'above arrays':>14}")
    for name, r in (("highspy passModel + run", direct), ("linsolver model + run", ours)):
        print(f"{name:26}{r['build']:9.3f}{r['total']:9.3f}{r['solve']:13.3f}"
              f"{r['total'] - r['solve']:11.3f}{r['peak']:10.0f}{r['peak'] - r['base']:14.0f}"
              f"   {r['status']}")
    # The handoff is everything but HiGHS's own run (its timer): the part that the stand-in
    # adds or replaces, without the solver's start-up that varies with the machine's load.
    time_ratio = (ours["total"] - ours["solve"]) / (direct["total"] - direct["solve"])
    peak_ratio = ours["peak"] / direct["peak"]
    print(f"ratio linsolver / highspy: handoff time {time_ratio:.2f}, peak memory {peak_ratio:.2f} "
          f"(goal: at most {GOAL})")
    rows_one_call_each(n)


if __name__ == "__main__":
    main()
