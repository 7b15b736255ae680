"""Building a large LP with the second linear generation and handing it to HiGHS, beside the
same arrays given to highspy.Highs.passModel directly (the floor), and beside linopy and
PyOptInterface building the same model, all in the same run.

Two models, each stated from the same prebuilt numpy arrays on every route:
- random: n columns in [0, 1], n rows `sum_k a[r, k] * x[c[r, k]] <= b[r]` with 4 distinct
  columns a row, and a random cost; built as four blocks `x[c[:, k]] * a[:, k]` added up;
- transport: S sources x D sinks, one row per source (what it sends <= its supply) and one per
  sink (what it receives >= its demand), cost per route; the row blocks are sums of the columns
  (`ship[:, j]`) and of the rows (`ship[i, :]`) of the shipment array, added pairwise.

Every route runs in a fresh interpreter of its own, so its peak memory is its own, and solves
with time_limit=0 and presolve off: the solver stops before its first iteration, so the figures
show the model's way into the solver and back. The clock starts after the input arrays are made.
- "to solver s": the whole road, from the input arrays to the model in HiGHS, its run and the
  values read back, less HiGHS's own run time (by its own clock). For highspy that is passModel
  with the prebuilt arrays and reading the values and duals (what the engine reads back); for
  zk_encoder the model, its blocks and `solve`; for linopy the model and `to_highspy`; for
  PyOptInterface the model (it writes into HiGHS as it goes).
- "HiGHS run s": HiGHS's run at time_limit=0 by its own clock (the same work on every route).
- "peak MiB": the process's peak resident size above the input arrays, the run included.
numpy's BLAS runs single-threaded on every route (OPENBLAS_NUM_THREADS=1): its idle worker
threads would otherwise spin on the two shared cores.
Goal: zk_encoder within 2 times the passModel floor in time and in peak memory.
First, every route solves both models to the end at 2,500 columns: they must reach the same
optimum, so all of them state the same models.

Usage: bench_lp2.py [columns [repeat]]   (default 1,000,000 columns, the transport LP S x D
with S = D = sqrt(columns); highspy and zk_encoder run `repeat` times, default 3, and show their
best, the peers once)

linopy and PyOptInterface are installed by `make bench` into .venv-bench (linopy on CPython
3.10 needs numpy below 2); a peer that cannot be imported is skipped with the reason.
"""

import json
import math
import sys

import transport_peers

SEED = 20261210
K = 4  # entries a row in the random LP
GOAL = 2.0
REPEAT = 3
CHECK_COLUMNS = 2_500
OURS_AND_FLOOR = ("highspy passModel", "zk_encoder lp2")
TIME_LIMIT = 0.0


# ---------------------------------------------------------------------------------------------
# Input arrays (made before the clock starts, the same on every route).

def random_inputs(n):
    import numpy as np
    rng = np.random.default_rng(SEED)
    step = max(n // K, 1)
    # K distinct columns a row: a random first column and K - 1 more at fixed distances.
    cols = (rng.integers(0, n, n)[:, None] + np.arange(K) * step) % n
    return {
        "cols": [np.ascontiguousarray(cols[:, k]) for k in range(K)],
        "vals": [rng.random(n) + 0.5 for _ in range(K)],
        "upper": rng.random(n) * K,
        "cost": -rng.random(n),
    }


def transport_inputs(s, d):
    import numpy as np
    rng = np.random.default_rng(SEED)
    demand = rng.integers(1, 10, d).astype(float)
    supply = rng.integers(1, 10, s).astype(float)
    supply *= 1.5 * demand.sum() / supply.sum()  # enough supply for every demand
    return {"supply": supply, "demand": demand, "cost": rng.random((s, d)) * 10 + 1}


def tree_sum(items):
    """Adds up blocks pairwise: Python's sum() merges the growing block again at every step,
    which costs the square of the number of blocks."""
    items = list(items)
    while len(items) > 1:
        items = [items[i] + items[i + 1] if i + 1 < len(items) else items[i]
                 for i in range(0, len(items), 2)]
    return items[0]


# ---------------------------------------------------------------------------------------------
# Routes: each builds the model from the inputs and hands it to HiGHS; returns (seconds to the
# solver, seconds of HiGHS's run, status text).

def route_highspy(model, size, data, clock, time_limit):
    import numpy as np
    import highspy
    if model == "random":
        n = size
        starts = np.arange(0, K * n + 1, K, dtype=np.int32)
        index = np.stack(data["cols"], axis=1).astype(np.int32).ravel()
        value = np.stack(data["vals"], axis=1).ravel()
        args = (n, n, K * n, 2, 1, 0.0, data["cost"], np.zeros(n), np.ones(n),
                np.full(n, -np.inf), data["upper"], starts, index, value, np.zeros(n, np.int32))
    else:
        s, d = size
        n = s * d
        ids = np.arange(n, dtype=np.int32)
        starts = np.concatenate([np.arange(0, n, d), np.arange(n, 2 * n + 1, s)]).astype(np.int32)
        index = np.concatenate([ids, ids.reshape(s, d).T.ravel()])
        args = (n, s + d, 2 * n, 2, 1, 0.0, data["cost"].ravel(), np.zeros(n),
                np.full(n, np.inf), np.concatenate([np.full(s, -np.inf), data["demand"]]),
                np.concatenate([data["supply"], np.full(d, np.inf)]), starts, index,
                np.ones(2 * n), np.zeros(n, np.int32))
    # The floor: prebuilt arrays, one passModel call.
    start = clock()
    h = highspy.Highs()
    h.passModel(*args)
    return transport_peers.highspy_run(h, time_limit, clock, start)


def route_zk_encoder(model, size, data, clock, time_limit):
    from zk_encoder.linear_parser2 import LinearModel, VariableType, dot
    start = clock()
    lp = LinearModel(time_limit=time_limit, presolve="off")
    if model == "random":
        x = lp.get_variable("x", VariableType.REAL, 0, 1, i=size)
        rows = tree_sum(x[c] * a for c, a in zip(data["cols"], data["vals"]))
        lp.add_constraints(rows <= data["upper"])
        lp.add_target(dot(x[:], data["cost"]), minimization=True)
    else:
        s, d = size
        ship = lp.get_variable("ship", VariableType.REAL, 0, source=s, sink=d)
        lp.add_constraints(tree_sum(ship[:, j] for j in range(d)) <= data["supply"])
        lp.add_constraints(tree_sum(ship[i, :] for i in range(s)) >= data["demand"])
        lp.add_target(dot(ship[:, :], data["cost"].ravel()), minimization=True)
    lp.solve()
    total = clock() - start
    engine = lp._linsolver_model  # its status: at the time limit SUBOPTIMAL or INFEASIBLE
    info = engine.getInfo()
    return (total - info.run_time, info.run_time, str(engine.getModelStatus()),
            info.objective_function_value)


def route_linopy(model, size, data, clock, time_limit):
    if model == "transport":
        return transport_peers.linopy_transport(size, data, clock, time_limit)
    import xarray as xr
    import pandas as pd
    import linopy
    start = clock()
    m = linopy.Model()
    x = m.add_variables(lower=0, upper=1, coords=[pd.RangeIndex(size, name="i")], name="x")
    rows = sum(xr.DataArray(a, dims="r") * x.isel(i=xr.DataArray(c, dims="r"))
               for c, a in zip(data["cols"], data["vals"]))
    m.add_constraints(rows <= xr.DataArray(data["upper"], dims="r"), name="rows")
    m.add_objective((xr.DataArray(data["cost"], dims="i") * x).sum())
    return transport_peers.linopy_run(m, time_limit, clock, start)


def route_pyoptinterface(model, size, data, clock, time_limit):
    if model == "transport":
        return transport_peers.pyoptinterface_transport(size, data, clock, time_limit)
    import numpy as np
    from scipy.sparse import csr_array
    import pyoptinterface as poi
    from pyoptinterface import highs
    start = clock()
    m = highs.Model()
    m.set_model_attribute(poi.ModelAttribute.Silent, True)
    n = size
    x = m.add_m_variables(n, lb=0.0, ub=1.0)
    # Its bulk form: a sparse matrix over the variable vector.
    a = csr_array((np.stack(data["vals"], axis=1).ravel(),
                   np.stack(data["cols"], axis=1).ravel(),
                   np.arange(0, K * n + 1, K)), shape=(n, n))
    m.add_m_linear_constraints(a, x, poi.Leq, data["upper"])
    m.set_objective(poi.ScalarAffineFunction(data["cost"].tolist(), [v.index for v in x.ravel()]),
                    poi.ObjectiveSense.Minimize)
    return transport_peers.pyoptinterface_run(m, time_limit, clock, start)


ROUTES = {
    "highspy passModel": (route_highspy, "highspy"),
    "zk_encoder lp2": (route_zk_encoder, "zk_encoder.linear_parser2"),
    "linopy": (route_linopy, "linopy"),
    "PyOptInterface": (route_pyoptinterface, "pyoptinterface.highs"),
}


def child(route, model, size, time_limit):
    fn, module = ROUTES[route]
    transport_peers.child_report(
        module, lambda: random_inputs(size) if model == "random" else transport_inputs(*size),
        lambda data, clock: fn(model, size, data, clock, time_limit))


def measure_once(route, model, size, time_limit=TIME_LIMIT):
    return transport_peers.run_child(__file__, [route, model, json.dumps(size), str(time_limit)])


def measure(route, model, size, repeat):
    return transport_peers.best_of(lambda: measure_once(route, model, size), repeat)


def check_models(n=CHECK_COLUMNS):
    """Every route states the same models: solved to the end at a small size, they reach the
    same optimum."""
    side = math.isqrt(n)
    for model, size in (("random", n), ("transport", [side, side])):
        found = {}
        for route in ROUTES:
            r = measure_once(route, model, size, time_limit=math.inf)
            if "skipped" not in r:
                found[route] = r["objective"]
        values = list(found.values())
        same = all(abs(v - values[0]) <= 1e-6 * max(1.0, abs(values[0])) for v in values)
        print(f"check, {model} LP of {n:,} columns solved to the end: optimum "
              f"{values[0]:.6f} on {len(values)} routes" if same else
              f"check, {model} LP: the routes disagree: {found}")
        if not same:
            raise SystemExit(1)


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    repeat = int(sys.argv[2]) if len(sys.argv) > 2 else REPEAT
    side = max(int(math.isqrt(n)), 1)
    models = [
        ("random", n, f"random LP: {n:,} columns, {n:,} rows, {K * n:,} entries"),
        ("transport", [side, side], f"transport LP: {side:,} sources x {side:,} sinks, "
                                    f"{side * side:,} columns, {2 * side:,} rows, "
                                    f"{2 * side * side:,} entries"),
    ]
    check_models()
    print(f"\ntime_limit={TIME_LIMIT}, presolve off; each route in its own process, the best of "
          f"{repeat} for highspy and zk_encoder")
    for model, size, title in models:
        print(f"\n{title}")
        print(f"  {'':20}{'to solver s':>12}{'HiGHS run s':>13}{'peak MiB':>10}")
        figures = {}
        for route in ROUTES:
            # The peers take ten times as long: one run each.
            r = measure(route, model, size, repeat if route in OURS_AND_FLOOR else 1)
            if "skipped" in r:
                print(f"  {route:20}skipped ({r['skipped']})")
                continue
            figures[route] = r
            print(f"  {route:20}{r['built']:12.3f}{r['run']:13.3f}{r['peak']:10.0f}"
                  f"   {r['status']}")
        floor, ours = figures.get("highspy passModel"), figures.get("zk_encoder lp2")
        if floor and ours:
            print(f"  zk_encoder / passModel: time {ours['built'] / floor['built']:.2f}, "
                  f"peak memory {ours['peak'] / floor['peak']:.2f} (goal: at most {GOAL})")


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        child(sys.argv[2], sys.argv[3], json.loads(sys.argv[4]), float(sys.argv[5]))
    else:
        main()
