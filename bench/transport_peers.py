"""The peers' transportation LP, shared by bench_lp1.py and bench_lp2.py: linopy and
PyOptInterface build the same S x D model (one row per source: what it sends <= its supply; one
per sink: what it receives >= its demand; cost per route) and hand it to HiGHS.

Each route takes the size (S, D), the input arrays {"supply", "demand", "cost"}, the clock and
HiGHS's time limit, and returns (seconds to the solver, seconds of HiGHS's run, status text,
objective): the clock runs from the model's making to the end of the run, less HiGHS's own run
time. linopy_run, pyoptinterface_run, pulp_run and highspy_run, which run a finished model, serve
the random LP of bench_lp2.py and bench_rows.py as well. run_child, child_report, runs_of and
best_of run one measurement in a fresh process, report it, and keep the best of several. Nothing
here runs when the file itself is run.
"""

import importlib
import json
import os
import resource
import subprocess
import sys
import time


def linopy_transport(size, data, clock, time_limit):
    import pandas as pd
    import xarray as xr
    import linopy
    s, d = size
    start = clock()
    m = linopy.Model()
    x = m.add_variables(lower=0, coords=[pd.RangeIndex(s, name="source"),
                                         pd.RangeIndex(d, name="sink")], name="x")
    m.add_constraints(x.sum("sink") <= xr.DataArray(data["supply"], dims="source"),
                      name="supply")
    m.add_constraints(x.sum("source") >= xr.DataArray(data["demand"], dims="sink"),
                      name="demand")
    m.add_objective((xr.DataArray(data["cost"], dims=("source", "sink")) * x).sum())
    return linopy_run(m, time_limit, clock, start)


def linopy_run(m, time_limit, clock, start):
    """Hands a linopy model to HiGHS in memory, runs it and reports it."""
    import linopy
    h = linopy.io.to_highspy(m)
    h.setOptionValue("output_flag", False)
    h.setOptionValue("time_limit", time_limit)
    h.setOptionValue("presolve", "off")
    h.run()
    run = h.getRunTime()
    return clock() - start - run, run, str(h.getModelStatus()), h.getInfo().objective_function_value


def pyoptinterface_transport(size, data, clock, time_limit):
    """One row per call (its way for rows of different variables), the objective in one call."""
    import numpy as np
    import pyoptinterface as poi
    from pyoptinterface import highs
    s, d = size
    supply, demand = data["supply"].tolist(), data["demand"].tolist()
    start = clock()
    m = highs.Model()
    m.set_model_attribute(poi.ModelAttribute.Silent, True)
    x = m.add_m_variables((s, d), lb=0.0)
    for a in range(s):
        m.add_linear_constraint(poi.quicksum(x[a, :]), poi.Leq, supply[a])
    for b in range(d):
        m.add_linear_constraint(poi.quicksum(x[:, b]), poi.Geq, demand[b])
    m.set_objective(poi.ScalarAffineFunction(np.asarray(data["cost"], dtype=float).ravel().tolist(),
                                             [v.index for v in x.ravel()]),
                    poi.ObjectiveSense.Minimize)
    return pyoptinterface_run(m, time_limit, clock, start)


def pyoptinterface_run(m, time_limit, clock, start):
    """Runs a PyOptInterface HiGHS model (it writes into HiGHS as it goes) and reports it."""
    import pyoptinterface as poi
    m.set_raw_parameter("time_limit", time_limit)
    m.set_raw_parameter("presolve", "off")
    m.optimize()
    run = m.get_model_attribute(poi.ModelAttribute.SolveTimeSec)
    status = str(m.get_model_attribute(poi.ModelAttribute.TerminationStatus))
    return (clock() - start - run, run, status,
            m.get_model_attribute(poi.ModelAttribute.ObjectiveValue))


def pulp_run(prob, time_limit, clock, start):
    """Solves a PuLP problem with its HiGHS interface (through highspy: it builds the solver's
    model column by column) and reports it."""
    import pulp
    prob.solve(pulp.HiGHS(msg=False, timeLimit=time_limit, presolve="off"))
    h = prob.solverModel
    run = h.getRunTime()
    return clock() - start - run, run, str(h.getModelStatus()), h.getInfo().objective_function_value


def highspy_run(h, time_limit, clock, start):
    """Runs a highspy model and reads back what the engine reads after its run (values and
    duals), then reports it."""
    import numpy as np
    h.setOptionValue("output_flag", False)
    h.setOptionValue("time_limit", time_limit)
    h.setOptionValue("presolve", "off")
    h.run()
    sol = h.getSolution()
    read_back = []
    if sol.value_valid:
        read_back += [np.array(sol.col_value), np.array(sol.row_value)]
    if sol.dual_valid:
        read_back += [np.array(sol.col_dual), np.array(sol.row_dual)]
    run = h.getRunTime()
    return clock() - start - run, run, str(h.getModelStatus()), h.getInfo().objective_function_value


def rss_mib():
    """The process's resident size now."""
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * resource.getpagesize() / 2**20


def child_report(module, make_inputs, run):
    """The child's side of run_child. Imports the route's module (a peer that cannot be imported
    is reported skipped, with the reason) and highspy (every route loads the solver before the
    clock starts), makes the inputs, then runs `run(data, clock)`: (seconds to the solver,
    seconds of HiGHS's run, status text, objective), optionally followed by a dict of further
    figures. Prints one JSON line with those, the peak resident size above the inputs and the
    resident size with the inputs made ("base")."""
    try:
        loaded = importlib.import_module(module)
        if module == "pyoptinterface.highs" and not loaded.is_library_loaded():
            raise ImportError("no HiGHS library for PyOptInterface (install highsbox)")
        if module == "pulp" and not hasattr(loaded, "HiGHS"):
            raise ImportError("this PuLP has no HiGHS interface")
    except Exception as exc:  # a peer that cannot be imported is skipped, with the reason
        print(json.dumps({"skipped": f"{type(exc).__name__}: {exc}"}))
        return
    import highspy  # noqa: F401
    data = make_inputs()
    base = rss_mib()
    result = run(data, time.perf_counter)
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    built, run_s, status, objective = result[:4]
    report = {"built": built, "run": run_s, "peak": peak - base, "status": status,
              "objective": objective, "base": base}
    if len(result) > 4:
        report.update(result[4])
    print(json.dumps(report))


def run_child(script, args, env=None):
    """`script --child args...` in a fresh process: the JSON of the last line it prints, or why
    it printed none. numpy's BLAS runs single-threaded on every route: its idle workers would
    spin on the shared cores."""
    env = dict(os.environ if env is None else env, OPENBLAS_NUM_THREADS="1")
    out = subprocess.run([sys.executable, script, "--child", *args], capture_output=True,
                         text=True, env=env)
    lines = out.stdout.strip().splitlines()
    if out.returncode != 0 or not lines:
        tail = (out.stderr.strip().splitlines() or ["no output"])[-1]
        return {"skipped": f"failed: {tail}"}
    return json.loads(lines[-1])


def runs_of(measure_once, repeat):
    """`repeat` measurements, or the first one's reason when it was skipped."""
    runs = []
    for _ in range(repeat):
        r = measure_once()
        if "skipped" in r:
            return r
        runs.append(r)
    return runs


def best_of(measure_once, repeat, keys=("built", "run", "peak")):
    """The best of `repeat` measurements (each of `keys` at its least): on a shared machine the
    other processes' load only ever adds."""
    runs = runs_of(measure_once, repeat)
    if isinstance(runs, dict):
        return runs
    best = dict(runs[0])
    for r in runs[1:]:
        for key in keys:
            best[key] = min(best[key], r[key])
    return best
