"""Building a transportation LP with the first linear generation (for-all constraints and a
target) and handing it to HiGHS, beside linopy, PyOptInterface and PuLP building the same model,
all in the same run.

The model: S sources x D sinks, shipments x[a, b] >= 0; every source sends at most its supply,
every sink receives at least its demand, every unit costs its route's price (integers 1..20;
supplies and demands integers, supplies enough for every demand). Input arrays are made before
the clock starts, the same on every route.

The first generation states rows as for-all constraints: one `add_constraint` gives one row per
for-all value, all with the same bound, so the rows are grouped by their bound (as
examples/transport_lp.py does):
    model.add_constraint(Sum(x[i, j], j=range(D)) <= supply, i=sources_of_that_supply)
    model.add_constraint(Sum(x[i, j], i=range(S)) >= demand, j=sinks_of_that_demand)
Two ways of writing the target are measured:
- "zk_encoder lp1": per source, the sinks grouped by price,
      SumIt([price * Sum(x[a, j], j=sinks) for each source a and price])
  (20 prices: 20,000 terms whose for-all lists name the million routes);
- "lp1 per route": one product per route, SumIt([cost[a][b] * x[a, b] for a for b]), a
  million text objects made by the program (most of that route's time is the program's own
  Python loop and objects).
The texts the library writes are evaluated natively; ZK_ENCODER_LP1_EVAL=host would evaluate
them through the host's eval (the check below solves one small model that way too).

Every route runs in a fresh interpreter of its own, so its peak memory is its own, and solves
with time_limit=0 and presolve off: the solver stops before its first iteration, so the figures
show the model's way into the solver and back.
- "to solver s": from the input arrays to the model in HiGHS and its run, less HiGHS's own run
  time (by its own clock).
- "HiGHS run s": HiGHS's run at time_limit=0 by its own clock.
- "peak MiB": the process's peak resident size above the input arrays, the run included.
numpy's BLAS runs single-threaded on every route (OPENBLAS_NUM_THREADS=1).
Goals: "zk_encoder lp1" faster than linopy and PyOptInterface, and at least 20 times faster
than PuLP; "lp1 per route" within 1.5 s, at least 2.5 times faster than linopy and 12 times
faster than PuLP, each in the same run.
First, every route solves the model to the end at 2,500 columns: they must reach the same
optimum, so all of them state the same model.

Usage: bench_lp1.py [columns [repeat]]   (default 1,000,000 columns, S = D = sqrt(columns);
zk_encoder runs `repeat` times, default 3, and shows its best, the peers once)

linopy, PyOptInterface and PuLP are installed by `make bench` into .venv-bench; a peer that
cannot be imported is skipped with the reason.
"""

import json
import math
import os
import sys

import transport_peers

SEED = 20261210
PRICES = 20
REPEAT = 3
CHECK_COLUMNS = 2_500
OURS = ("zk_encoder lp1", "lp1 per route")
TIME_LIMIT = 0.0
GOALS = {
    "zk_encoder lp1": "faster than linopy and PyOptInterface, at least 20x faster than PuLP",
    "lp1 per route": "within 1.5 s, at least 2.5x faster than linopy and 12x faster than PuLP",
}


# ---------------------------------------------------------------------------------------------
# Input arrays (made before the clock starts, the same on every route).

def inputs(s, d):
    import numpy as np
    rng = np.random.default_rng(SEED)
    demand = rng.integers(1, 10, d)
    supply = rng.integers(1, 10, s)
    supply *= int(math.ceil(1.5 * demand.sum() / supply.sum()))  # enough for every demand
    return {"supply": supply, "demand": demand, "cost": rng.integers(1, PRICES + 1, (s, d))}


def groups(values):
    """{value: [positions]} in the order values first appear."""
    by_value = {}
    for position, value in enumerate(values):
        by_value.setdefault(value, []).append(position)
    return by_value.items()


# ---------------------------------------------------------------------------------------------
# Routes: each builds the model from the inputs and hands it to HiGHS; returns (seconds to the
# solver, seconds of HiGHS's run, status text, objective).

def route_lp1(size, data, clock, time_limit, per_route=False):
    from zk_encoder import LinearModel, VariableType
    from zk_encoder.linear_parser import Sum, SumIt
    from zk_encoder._exceptions import SolverError
    s, d = size
    supply, demand = data["supply"].tolist(), data["demand"].tolist()
    cost = data["cost"].tolist()
    start = clock()
    model = LinearModel(time_limit=time_limit, presolve="off")
    x = model.get_variables("x", VariableType.REAL, lo=0, source=s, sink=d)
    i, j = model.get_indexes(["i", "j"])
    for amount, sources in groups(supply):
        model.add_constraint(Sum(x[i, j], j=range(d)) <= amount, i=sources)
    for amount, sinks in groups(demand):
        model.add_constraint(Sum(x[i, j], i=range(s)) >= amount, j=sinks)
    if per_route:
        target = SumIt([cost[a][b] * x[a, b] for a in range(s) for b in range(d)])
    else:
        terms = []
        for a in range(s):
            shipped = x[a, j]
            terms.extend(price * Sum(shipped, j=sinks) for price, sinks in groups(cost[a]))
        target = SumIt(terms)
    model.add_target(target, minimization=True)
    try:
        model.solve()
    except SolverError:
        pass  # no solution at the time limit: the engine's status says so
    total = clock() - start
    engine = model._linsolver_model
    info = engine.getInfo()
    return (total - info.run_time, info.run_time, str(engine.getModelStatus()),
            info.objective_function_value)


def route_lp1_per_route(size, data, clock, time_limit):
    return route_lp1(size, data, clock, time_limit, per_route=True)


def route_linopy(size, data, clock, time_limit):
    return transport_peers.linopy_transport(size, data, clock, time_limit)


def route_pyoptinterface(size, data, clock, time_limit):
    return transport_peers.pyoptinterface_transport(size, data, clock, time_limit)


def route_pulp(size, data, clock, time_limit):
    import pulp
    s, d = size
    supply, demand = data["supply"].tolist(), data["demand"].tolist()
    cost = data["cost"].tolist()
    start = clock()
    prob = pulp.LpProblem("transport", pulp.LpMinimize)
    x = [[pulp.LpVariable(f"x_{a}_{b}", lowBound=0) for b in range(d)] for a in range(s)]
    prob += pulp.lpSum(cost[a][b] * x[a][b] for a in range(s) for b in range(d))
    for a in range(s):
        prob += pulp.lpSum(x[a]) <= supply[a]
    for b in range(d):
        prob += pulp.lpSum(x[a][b] for a in range(s)) >= demand[b]
    return transport_peers.pulp_run(prob, time_limit, clock, start)


ROUTES = {
    "zk_encoder lp1": (route_lp1, "zk_encoder.linear_parser"),
    "lp1 per route": (route_lp1_per_route, "zk_encoder.linear_parser"),
    "linopy": (route_linopy, "linopy"),
    "PyOptInterface": (route_pyoptinterface, "pyoptinterface.highs"),
    "PuLP": (route_pulp, "pulp"),
}


def child(route, size, time_limit):
    fn, module = ROUTES[route]
    transport_peers.child_report(module, lambda: inputs(*size),
                                 lambda data, clock: fn(size, data, clock, time_limit))


def measure_once(route, size, time_limit=TIME_LIMIT, host_eval=False):
    env = dict(os.environ)
    env.pop("ZK_ENCODER_LP1_EVAL", None)
    if host_eval:
        env["ZK_ENCODER_LP1_EVAL"] = "host"
    return transport_peers.run_child(__file__, [route, json.dumps(size), str(time_limit)], env)


def measure(route, size, repeat):
    return transport_peers.best_of(lambda: measure_once(route, size), repeat)


def check_model(n=CHECK_COLUMNS):
    """Every route states the same model: solved to the end at a small size, they reach the same
    optimum (the first generation also with its texts evaluated by the host)."""
    side = math.isqrt(n)
    found = {}
    for route in ROUTES:
        r = measure_once(route, [side, side], time_limit=math.inf)
        if "skipped" not in r:
            found[route] = r["objective"]
    r = measure_once("zk_encoder lp1", [side, side], time_limit=math.inf, host_eval=True)
    found["lp1, host eval"] = r.get("objective")
    values = list(found.values())
    same = None not in values and all(
        abs(v - values[0]) <= 1e-6 * max(1.0, abs(values[0])) for v in values)
    if not same:
        print(f"check: the routes disagree: {found}")
        raise SystemExit(1)
    print(f"check, transport LP of {side * side:,} columns solved to the end: optimum "
          f"{values[0]:.6f} on {len(values)} routes ({', '.join(found)})")


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    repeat = int(sys.argv[2]) if len(sys.argv) > 2 else REPEAT
    side = max(int(math.isqrt(n)), 1)
    check_model()
    print(f"\ntransport LP: {side:,} sources x {side:,} sinks, {side * side:,} columns, "
          f"{2 * side:,} rows, {2 * side * side:,} entries")
    print(f"time_limit={TIME_LIMIT}, presolve off; each route in its own process, the best of "
          f"{repeat} for zk_encoder, the peers once")
    print(f"  {'':20}{'to solver s':>12}{'HiGHS run s':>13}{'peak MiB':>10}")
    figures = {}
    for route in ROUTES:
        r = measure(route, [side, side], repeat if route in OURS else 1)
        if "skipped" in r:
            print(f"  {route:20}skipped ({r['skipped']})")
            continue
        figures[route] = r
        print(f"  {route:20}{r['built']:12.3f}{r['run']:13.3f}{r['peak']:10.0f}   {r['status']}")
    # The peers beside each way of writing the target: how many times their time is ours.
    for route, goal in GOALS.items():
        ours = figures.get(route)
        if not ours:
            continue
        print(f"  {route}:")
        for peer in ("linopy", "PyOptInterface", "PuLP"):
            if peer in figures:
                print(f"    {peer} / {route}: time "
                      f"{figures[peer]['built'] / ours['built']:.1f}x, peak memory "
                      f"{figures[peer]['peak'] / ours['peak']:.2f}x")
        print(f"    goal: {goal}")


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        child(sys.argv[2], json.loads(sys.argv[3]), float(sys.argv[4]))
    else:
        main()
