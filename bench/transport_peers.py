"""The peers' transportation LP, shared by bench_lp1.py and bench_lp2.py: linopy and
PyOptInterface build the same S x D model (one row per source: what it sends <= its supply; one
per sink: what it receives >= its demand; cost per route) and hand it to HiGHS.

Each route takes the size (S, D), the input arrays {"supply", "demand", "cost"}, the clock and
HiGHS's time limit, and returns (seconds to the solver, seconds of HiGHS's run, status text,
objective): the clock runs from the model's making to the end of the run, less HiGHS's own run
time. linopy_run and pyoptinterface_run, which run a finished model, serve bench_lp2.py's random
LP as well. run_child and best_of run one measurement in a fresh process and keep the best of
several. Nothing here runs when the file itself is run.
"""

import json
import os
import subprocess
import sys


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


def best_of(measure_once, repeat):
    """The best of `repeat` measurements (time and peak each at their least): on a shared
    machine the other processes' load only ever adds."""
    best = None
    for _ in range(repeat):
        r = measure_once()
        if "skipped" in r:
            return r
        if best is None:
            best = r
        else:
            for key in ("built", "run", "peak"):
                best[key] = min(best[key], r[key])
    return best
