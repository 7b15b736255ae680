"""Stating an LP one row per call, the way most programs state rows of different variables with
coefficients from their own data, on both linear generations beside PyOptInterface, PuLP and
highspy's own addRow, all in the same run, at growing sizes: the cost per row must not grow with
the model.

The model is bench_lp2.py's random LP (the same input arrays): n columns in [0, 1], n rows
`sum_k a[r, k] * x[c[r, k]] <= b[r]` of 4 distinct columns each, and a random cost to minimise.
The inputs are turned into the host's lists before the clock starts, the same on every route; each
route then states row r in one call of its own:
- "zk_encoder lp1": `model.add_constraint(x[c0] * a0 + x[c1] * a1 + x[c2] * a2 + x[c3] * a3 <= b)`
  with the first generation's text expressions, the target `SumIt([cost[i] * x[i] ...])`;
- "zk_encoder lp2": `lp.add_constraint(x[c0] * a0 + ... <= b)` with the second generation's
  rows, the target `dot(x[:], cost)`;
- "PyOptInterface": `m.add_linear_constraint(x[c0] * a0 + ..., poi.Leq, b)` (it writes into HiGHS
  as it goes), the objective as one ScalarAffineFunction;
- "PuLP": `prob += x[c0] * a0 + ... <= b`, the objective `lpDot`, handed to HiGHS through highspy;
- "engine addRow": the engine's own `addRow(-inf, b, 4, columns, values)`, one call per row with
  the row's int32 and float64 numpy arrays (what both generations hand it under their rows; made
  in the loop from the row's lists), then `changeColsCost` and `run`;
- "highspy addRow": highspy's `addRow` one call per row, then `changeColsCost` and `run`: the floor
  of one call per row.

Every route runs in a fresh interpreter of its own, so its peak memory is its own, and solves with
time_limit=0 and presolve off: the solver stops before its first iteration, so the figures show
the model's way into the solver and back (as bench_lp2.py measures it).
- "to solver s": from the inputs to the model in HiGHS, its run and the values read back, less
  HiGHS's own run time (by its own clock); "cpu s" the same by the process's processor time, which
  the other processes on a shared machine disturb far less than the wall clock.
- "us/row": "to solver" per row (columns and target included: there are as many as rows);
  "rows us/row": the loop of row calls alone, by the processor clock.
- "rows MiB": the resident size above the inputs once the rows are stated (before the target
  and the handoff); "peak MiB": the process's peak resident size above the inputs, the run
  included (at 10^6 rows mostly HiGHS's own run, the same on every route).
- "growth": us/row (processor time) at this size over us/row at the smallest size.
- "x POI": us/row (processor time) over PyOptInterface's; "PuLP/": PuLP's over ours;
  "mem x POI": peak over PyOptInterface's.
Each figure is the median of `--repeat` runs, which go round the routes in turn (a run expected
to take over a minute is made once); "spread" is (slowest - fastest) / median of the processor
time, a measure of how noisy the machine was.
Goals: every route's growth from 10^4 to 10^6 rows at most 1.3; the zk_encoder routes within 2
times PyOptInterface and at least 10 times faster than PuLP at 10^6 rows, peak memory within
1.5 times PyOptInterface's.
First, every route solves the model to the end at 2,000 rows: they must reach the same optimum,
so all of them state the same model.

A route whose expected time at a size (from its cost per row at the smaller sizes and how that
grew) is over `--budget` seconds a run is skipped there with that estimate, so that a slow route
does not hold the run for hours; every route that fits runs at 10^6 rows by default.

Usage: bench_rows.py [--sizes 10000,100000,1000000] [--repeat 3] [--budget 300]
                     [--routes "zk_encoder lp2,PyOptInterface"] [--no-check] [--json FILE]

PyOptInterface and PuLP are installed by `make bench` into .venv-bench; a peer that cannot be
imported is skipped with the reason.
"""

import argparse
import json
import math
import statistics
import sys
import time

import bench_lp2
import transport_peers

K = bench_lp2.K  # entries a row
CHECK_ROWS = 2_000
TIME_LIMIT = 0.0
SIZES = (10_000, 100_000, 1_000_000)
REPEAT = 3
BUDGET = 300.0
LONG_RUN = 60.0  # seconds: a run expected to take longer is made once, not `--repeat` times
GOAL_GROWTH = 1.3
GOAL_POI = 2.0
GOAL_PULP = 10.0
GOAL_MEMORY = 1.5
OURS = ("zk_encoder lp1", "zk_encoder lp2")


# ---------------------------------------------------------------------------------------------
# Input rows (made before the clock starts, the same on every route).

def inputs(n):
    """bench_lp2.py's random LP as the host's lists, one entry per row: `cols` and `vals` the
    row's 4 columns and coefficients, `upper` its bound; `cost` one float per column and
    `cost_array` the same as a numpy array (what `dot` takes)."""
    import numpy as np
    data = bench_lp2.random_inputs(n)
    return {
        "cols": np.stack(data["cols"], axis=1).tolist(),
        "vals": np.stack(data["vals"], axis=1).tolist(),
        "upper": data["upper"].tolist(),
        "cost": data["cost"].tolist(),
        "cost_array": data["cost"],
    }


class Watch:
    """The wall and processor clocks of one stretch of a route."""

    def __init__(self):
        self.wall, self.cpu = time.perf_counter(), time.process_time()

    def figures(self, name):
        return {f"{name}_wall": time.perf_counter() - self.wall,
                f"{name}_cpu": time.process_time() - self.cpu,
                f"{name}_rss": transport_peers.rss_mib()}


def with_rows(result, watch_figures, total):
    """A route's report: (to solver, run, status, objective) and the figures of its row loop and
    of its whole way by the processor clock."""
    built, run, status, objective = result
    extra = dict(watch_figures)
    extra["cpu"] = total.figures("total")["total_cpu"] - run
    return built, run, status, objective, extra


# ---------------------------------------------------------------------------------------------
# Routes: each states the model from the inputs, one row per call, and hands it to HiGHS.

def route_lp1(n, data, clock, time_limit):
    from zk_encoder import LinearModel, VariableType
    from zk_encoder.linear_parser import SumIt
    from zk_encoder._exceptions import SolverError
    total = Watch()
    start = clock()
    model = LinearModel(time_limit=time_limit, presolve="off")
    x = model.get_variables("x", VariableType.REAL, lo=0, hi=1, i=n)
    rows = Watch()
    for (c0, c1, c2, c3), (a0, a1, a2, a3), b in zip(data["cols"], data["vals"], data["upper"]):
        model.add_constraint(x[c0] * a0 + x[c1] * a1 + x[c2] * a2 + x[c3] * a3 <= b)
    loop = rows.figures("rows")
    cost = data["cost"]
    model.add_target(SumIt([cost[i] * x[i] for i in range(n)]), minimization=True)
    try:
        model.solve()
    except SolverError:
        pass  # no solution at the time limit: the engine's status says so
    return with_rows(engine_report(model, clock() - start), loop, total)


def route_lp2(n, data, clock, time_limit):
    from zk_encoder.linear_parser2 import LinearModel, VariableType, dot
    total = Watch()
    start = clock()
    lp = LinearModel(time_limit=time_limit, presolve="off")
    x = lp.get_variable("x", VariableType.REAL, 0, 1, i=n)
    rows = Watch()
    for (c0, c1, c2, c3), (a0, a1, a2, a3), b in zip(data["cols"], data["vals"], data["upper"]):
        lp.add_constraint(x[c0] * a0 + x[c1] * a1 + x[c2] * a2 + x[c3] * a3 <= b)
    loop = rows.figures("rows")
    lp.add_target(dot(x[:], data["cost_array"]), minimization=True)
    lp.solve()  # at the time limit SUBOPTIMAL or INFEASIBLE (with a warning)
    return with_rows(engine_report(lp, clock() - start), loop, total)


def engine_report(model, total):
    """A zk_encoder model's figures, from its engine solver."""
    engine = model._linsolver_model
    info = engine.getInfo()
    return (total - info.run_time, info.run_time, str(engine.getModelStatus()),
            info.objective_function_value)


def route_pyoptinterface(n, data, clock, time_limit):
    import pyoptinterface as poi
    from pyoptinterface import highs
    total = Watch()
    start = clock()
    m = highs.Model()
    m.set_model_attribute(poi.ModelAttribute.Silent, True)
    x = m.add_m_variables(n, lb=0.0, ub=1.0)
    rows = Watch()
    for (c0, c1, c2, c3), (a0, a1, a2, a3), b in zip(data["cols"], data["vals"], data["upper"]):
        m.add_linear_constraint(x[c0] * a0 + x[c1] * a1 + x[c2] * a2 + x[c3] * a3, poi.Leq, b)
    loop = rows.figures("rows")
    m.set_objective(poi.ScalarAffineFunction(data["cost"], [v.index for v in x]),
                    poi.ObjectiveSense.Minimize)
    return with_rows(transport_peers.pyoptinterface_run(m, time_limit, clock, start), loop, total)


def route_pulp(n, data, clock, time_limit):
    import pulp
    total = Watch()
    start = clock()
    prob = pulp.LpProblem("rows", pulp.LpMinimize)
    x = [pulp.LpVariable(f"x{i}", lowBound=0, upBound=1) for i in range(n)]
    rows = Watch()
    for (c0, c1, c2, c3), (a0, a1, a2, a3), b in zip(data["cols"], data["vals"], data["upper"]):
        prob += x[c0] * a0 + x[c1] * a1 + x[c2] * a2 + x[c3] * a3 <= b
    loop = rows.figures("rows")
    prob += pulp.lpDot(data["cost"], x)
    return with_rows(transport_peers.pulp_run(prob, time_limit, clock, start), loop, total)


def route_engine(n, data, clock, time_limit):
    import numpy as np
    from nubrix.sorn_engine import linsolver
    total = Watch()
    start = clock()
    s = linsolver.LinearSolver()
    s.setOptionValue("log_to_console", False)
    s.setOptionValue("time_limit", time_limit)
    s.setOptionValue("presolve", "off")
    s.addVars(n, np.zeros(n), np.ones(n))
    inf = linsolver.kLinsolverInf
    rows = Watch()
    int32 = np.int32
    for cols, vals, b in zip(data["cols"], data["vals"], data["upper"]):
        s.addRow(-inf, b, K, np.array(cols, dtype=int32), np.array(vals))
    loop = rows.figures("rows")
    s.changeColsCost(n, np.arange(n), data["cost_array"])
    s.run()
    s.getSolution()
    info = s.getInfo()
    built = clock() - start - info.run_time
    return with_rows((built, info.run_time, str(s.getModelStatus()),
                      info.objective_function_value), loop, total)


def route_highspy(n, data, clock, time_limit):
    import numpy as np
    import highspy
    total = Watch()
    start = clock()
    h = highspy.Highs()
    h.setOptionValue("output_flag", False)
    h.addVars(n, np.zeros(n), np.ones(n))
    inf = highspy.kHighsInf
    rows = Watch()
    for cols, vals, b in zip(data["cols"], data["vals"], data["upper"]):
        h.addRow(-inf, b, K, cols, vals)
    loop = rows.figures("rows")
    h.changeColsCost(n, np.arange(n, dtype=np.int32), data["cost_array"])
    return with_rows(transport_peers.highspy_run(h, time_limit, clock, start), loop, total)


ROUTES = {
    "highspy addRow": (route_highspy, "highspy"),
    "engine addRow": (route_engine, "nubrix.sorn_engine.linsolver"),
    "zk_encoder lp1": (route_lp1, "zk_encoder.linear_parser"),
    "zk_encoder lp2": (route_lp2, "zk_encoder.linear_parser2"),
    "PyOptInterface": (route_pyoptinterface, "pyoptinterface.highs"),
    "PuLP": (route_pulp, "pulp"),
}


def child(route, n, time_limit):
    fn, module = ROUTES[route]
    transport_peers.child_report(module, lambda: inputs(n),
                                 lambda data, clock: fn(n, data, clock, time_limit))


def measure_once(route, n, time_limit=TIME_LIMIT):
    return transport_peers.run_child(__file__, [route, str(n), str(time_limit)])


# ---------------------------------------------------------------------------------------------
# The run.

def check_model(routes, n=CHECK_ROWS):
    """Every route states the same model: solved to the end at a small size, they reach the same
    optimum."""
    found = {}
    for route in routes:
        r = measure_once(route, n, time_limit=math.inf)
        if "skipped" in r:
            print(f"check: {route} skipped ({r['skipped']})")
        else:
            found[route] = r["objective"]
    values = list(found.values())
    same = bool(values) and all(
        abs(v - values[0]) <= 1e-6 * max(1.0, abs(values[0])) for v in values)
    if not same:
        print(f"check: the routes disagree: {found}")
        raise SystemExit(1)
    print(f"check, random LP of {n:,} rows solved to the end: optimum {values[0]:.6f} on "
          f"{len(values)} routes ({', '.join(found)})")


def summary(runs, n):
    """The medians of a route's runs at n rows, and the spread of its processor time."""
    for r in runs:
        r["rows_mib"] = r["rows_rss"] - r["base"]
    med = {key: statistics.median(r[key] for r in runs)
           for key in ("built", "run", "peak", "cpu", "rows_cpu", "rows_mib")}
    cpus = [r["cpu"] for r in runs]
    med["spread"] = (max(cpus) - min(cpus)) / med["cpu"] if med["cpu"] > 0 else 0.0
    med["us"] = med["cpu"] / n * 1e6
    med["wall_us"] = med["built"] / n * 1e6
    med["rows_us"] = med["rows_cpu"] / n * 1e6
    med["status"] = runs[0]["status"]
    med["runs"] = len(runs)
    return med


def expected_seconds(done, n):
    """A route's expected processor time at n rows from its smaller sizes: the cost per row at
    the largest, grown as it grew between the last two (never less)."""
    if not done:
        return 0.0
    sizes = sorted(done)
    last = done[sizes[-1]]["us"]
    growth = 1.0
    if len(sizes) > 1:
        before = done[sizes[-2]]["us"]
        steps = math.log(n / sizes[-1]) / math.log(sizes[-1] / sizes[-2])
        growth = max(1.0, last / before) ** steps if before > 0 else 1.0
    return last * growth * n / 1e6


def ratio(f, other, key="us"):
    """f[key] / other[key], NaN where either was not measured."""
    if not f or not other or key not in f or key not in other or not other[key]:
        return math.nan
    return f[key] / other[key]


def print_size(n, figures, smallest):
    print(f"\n{n:,} columns, {n:,} rows, {K * n:,} entries")
    print(f"  {'':16}{'to solver s':>12}{'cpu s':>8}{'us/row':>8}{'rows us/row':>12}"
          f"{'rows MiB':>9}{'peak MiB':>9}{'growth':>7}{'x POI':>7}{'PuLP/':>7}{'mem x POI':>10}"
          f"{'spread':>7}")
    poi, pulp = figures.get(("PyOptInterface", n)), figures.get(("PuLP", n))
    for route in ROUTES:
        f = figures.get((route, n))
        if f is None:
            continue
        if "skipped" in f:
            print(f"  {route:16}skipped ({f['skipped']})")
            continue
        print(f"  {route:16}{f['built']:12.2f}{f['cpu']:8.2f}{f['us']:8.1f}{f['rows_us']:12.1f}"
              f"{f['rows_mib']:9.0f}{f['peak']:9.0f}{ratio(f, figures.get((route, smallest))):7.2f}"
              f"{ratio(f, poi):7.2f}{ratio(pulp, f):7.1f}{ratio(f, poi, 'peak'):10.2f}"
              f"{f['spread']:7.2f}   {f['status']} ({f['runs']} runs)")


def print_goals(figures, sizes):
    smallest, largest = sizes[0], sizes[-1]
    print(f"\ngoals at {largest:,} rows (processor time; growth from {smallest:,}):")
    poi, pulp = figures.get(("PyOptInterface", largest)), figures.get(("PuLP", largest))
    for route in ROUTES:
        f, first = figures.get((route, largest)), figures.get((route, smallest))
        if f is None:
            continue  # not asked for
        if "us" not in f or not first or "us" not in first:
            print(f"  {route:16}not measured at both sizes")
            continue
        checks = [f"growth {ratio(f, first):.2f} (<= {GOAL_GROWTH})"]
        if route in OURS:
            checks += [f"{ratio(f, poi):.2f}x PyOptInterface's time (<= {GOAL_POI})",
                       f"{ratio(pulp, f):.1f}x faster than PuLP (>= {GOAL_PULP})",
                       f"{ratio(f, poi, 'peak'):.2f}x PyOptInterface's memory (<= {GOAL_MEMORY})"]
        print(f"  {route:16}" + ", ".join(checks))


def main():
    parser = argparse.ArgumentParser(description="One row per call, both generations and peers.")
    parser.add_argument("--sizes", default=",".join(str(s) for s in SIZES),
                        help="row counts, comma-separated (default %(default)s)")
    parser.add_argument("--repeat", type=int, default=REPEAT,
                        help="runs of every route at every size (default %(default)s)")
    parser.add_argument("--budget", type=float, default=BUDGET,
                        help="seconds a run may be expected to take (default %(default)s)")
    parser.add_argument("--routes", default=",".join(ROUTES),
                        help="routes to run, comma-separated (default: all)")
    parser.add_argument("--no-check", action="store_true", help="skip the optimum check")
    parser.add_argument("--json", help="also write every figure to this file")
    args = parser.parse_args()
    sizes = sorted(int(s) for s in args.sizes.split(","))
    routes = [r.strip() for r in args.routes.split(",")]
    unknown = [r for r in routes if r not in ROUTES]
    if unknown:
        parser.error(f"unknown routes {unknown}; the routes are {list(ROUTES)}")
    if not args.no_check:
        check_model(routes)
    print(f"\ntime_limit={TIME_LIMIT}, presolve off; each route in its own process, the median "
          f"of {args.repeat} runs; a run expected over {args.budget:.0f} s is skipped")
    figures, done = {}, {route: {} for route in routes}
    for n in sizes:
        # The repeats go round the routes in turn, so that a change in the machine's load
        # falls on every route alike.
        runs, repeat = {}, {}
        for route in routes:
            expected = expected_seconds(done[route], n)
            if expected > args.budget:
                figures[(route, n)] = {
                    "skipped": f"expected about {expected:,.0f} s a run, over the budget"}
            else:
                runs[route] = []
                repeat[route] = args.repeat if expected <= LONG_RUN else 1
        for k in range(args.repeat):
            for route in [r for r in runs if isinstance(runs[r], list) and k < repeat[r]]:
                r = measure_once(route, n)
                runs[route] = r if "skipped" in r else runs[route] + [r]
        for route, got in runs.items():
            if isinstance(got, dict):
                figures[(route, n)] = got
                done[route] = {}
            else:
                figures[(route, n)] = done[route][n] = summary(got, n)
        print_size(n, figures, sizes[0])
        sys.stdout.flush()
    print_goals(figures, sizes)
    if args.json:
        with open(args.json, "w") as f:
            json.dump({f"{route}@{n}": v for (route, n), v in figures.items()}, f, indent=1)


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        child(sys.argv[2], int(sys.argv[3]), float(sys.argv[4]))
    else:
        main()
