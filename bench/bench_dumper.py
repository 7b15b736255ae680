"""Instantiating one clause template over many for-all values.

A 50-clause template with 3 literals a clause, over 100,000 values of one for-all index, written
by the dumper into an engine clause storage, and by the whole formula-container road; beside
them, the same 5,000,000 clauses built by a plain Python loop into python-sat's CNF, which is
what a user would write without the library. Each side runs in a fresh interpreter so that its
peak memory is its own ("held": still resident at the end).
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


def families():
    from zk_encoder.encode.variables import Variable

    fams = {"dummy_var": Variable("dummy_var", {"d": 1}, 0),
            "x": Variable("x", {"i": N, "c": CLAUSES + 1}, 1)}
    fams["y"] = Variable("y", {"i": N}, 1 + N * (CLAUSES + 1))
    return fams, 1 + N * (CLAUSES + 2)


def run_dumper():
    """The dumper alone: one queued record instantiated into its clause storage."""
    import nubrix.sorn_engine as se
    from zk_encoder.core.dumper import DumpArgs, One2OneDumper

    fams, first_free = families()
    template = [[f"x(i,{c})", f"-x(i,{c + 1})", "y(i)"] for c in range(CLAUSES)]
    record = DumpArgs(template_constraint=template, weights=None, foralls={"i": range(N)},
                      num_formula=0, init_shift_variable=first_free, shift_pb_variable=0,
                      shift_bx_variable=0, offset_shift_for_formula=0,
                      eval_state={name: f.copy() for name, f in fams.items()},
                      cnf_stor=se.wcnf_storage())
    base = rss_mb()
    start = time.perf_counter()
    One2OneDumper.dump([record])
    seconds = time.perf_counter() - start
    stor = record.cnf_stor
    assert stor.num_hard_clauses() == N * CLAUSES
    return {"seconds": seconds, "clauses": stor.num_hard_clauses(), "base": base,
            "peak": peak_mb(), "end": rss_mb()}


def run_container():
    """The whole road: container creation (with the name map of all 5.1M elements), the engine
    template turned into text, the queue, the build with its merge and stamps."""
    import nubrix.sorn_engine.bxpr as bx
    from zk_encoder.core.formula_container import FormulaContainer

    fams, first_free = families()
    ctx = bx.Context()
    template = bx.and_([bx.or_s([ctx.get_var(f"x(i,{c})"), ~ctx.get_var(f"x(i,{c + 1})"),
                                 ctx.get_var("y(i)")]) for c in range(CLAUSES)])
    base = rss_mb()
    start = time.perf_counter()
    fc = FormulaContainer(fams, first_free)
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


SIDES = {"dumper": run_dumper, "container": run_container, "peer": run_peer}


def main():
    if len(sys.argv) > 1:
        print(json.dumps(SIDES[sys.argv[1]]()))
        return
    results = {side: measure(side) for side in SIDES}
    print(f"template of {CLAUSES} clauses x 3 literals over {N:,} for-all values "
          f"= {N * CLAUSES:,} clauses")
    print(f"{'':38}{'seconds':>9}{'clauses/s':>14}{'peak MB':>10}{'held MB':>10}")
    names = {"dumper": "zk_encoder dumper -> storage", "container": "zk_encoder container, whole road",
             "peer": "python-sat CNF, plain Python loop"}
    for side, r in results.items():
        print(f"{names[side]:38}{r['seconds']:9.3f}{r['clauses'] / r['seconds']:14,.0f}"
              f"{r['peak'] - r['base']:10.1f}{r['end'] - r['base']:10.1f}")
    peer = results["peer"]
    for side in ("dumper", "container"):
        r = results[side]
        print(f"{side}: speed {peer['seconds'] / r['seconds']:.2f}x python-sat, peak memory "
              f"{(r['peak'] - r['base']) / (peer['peak'] - peer['base']):.2f}x python-sat")


if __name__ == "__main__":
    main()
