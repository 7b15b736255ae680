"""Instantiating one clause template over many for-all values.

A 50-clause template with 3 literals a clause, over 100,000 values of one for-all index
(5,000,000 clauses), written by the dumper into an engine clause storage:

- native: the record's template compiled and instantiated in C++, handed to the storage in
  blocks (the path every record whose texts the library wrote takes);
- native, no storage: the same into a storage that drops the blocks (our side alone);
- evaluated: the generated comprehension evaluated by the interpreter
  (forced here by a family that is not the modelling-side Variable itself);
- floor: numpy's vectorised copy of the template with shifted numbers into flat arrays of the
  form the dumper hands to the storage (kept out of the library's modules), about the least any
  instantiation can cost;

and the whole formula-container road (container, queue, build with its stamps; the families'
element maps are made only when read, so the road does not name the 5.1M declared elements); and
a family of 10^8 declared elements with a few clauses through the same road, and through a
whole `Model` build (the engine's variable mapping filled from the family's shape). Beside them, the same clauses built by a plain Python loop
into python-sat's CNF, what a user would write without the library. Each side runs in a fresh
interpreter so that its peak memory is its own ("held": still resident at the end); numpy, which
the block insertion uses, is imported before the clock starts.
"""

import json
import resource
import subprocess
import sys
import time

N = 100_000
CLAUSES = 50
REPEAT = 3  # best of, for the sides that run in a fraction of a second


def rss_mb():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * resource.getpagesize() / 2**20


def peak_mb():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def families(family_cls=None):
    from zk_encoder.encode.variables import Variable

    cls = family_cls or Variable
    fams = {"dummy_var": cls("dummy_var", {"d": 1}, 0),
            "x": cls("x", {"i": N, "c": CLAUSES + 1}, 1)}
    fams["y"] = cls("y", {"i": N}, 1 + N * (CLAUSES + 1))
    return fams, 1 + N * (CLAUSES + 2)


def dump_once(family_cls=None, storage=None):
    import numpy  # noqa: F401  (loaded once per process by the first block insertion)

    import nubrix.sorn_engine as se
    from zk_encoder.core.dumper import DumpArgs, One2OneDumper

    fams, first_free = families(family_cls)
    template = [[f"x(i,{c})", f"-x(i,{c + 1})", "y(i)"] for c in range(CLAUSES)]
    record = DumpArgs(template_constraint=template, weights=None, foralls={"i": range(N)},
                      num_formula=0, init_shift_variable=first_free, shift_pb_variable=0,
                      shift_bx_variable=0, offset_shift_for_formula=0,
                      eval_state={name: f.copy() for name, f in fams.items()},
                      cnf_stor=storage() if storage else se.wcnf_storage())
    base = rss_mb()
    start = time.perf_counter()
    One2OneDumper.dump([record])
    seconds = time.perf_counter() - start
    return record.cnf_stor, {"seconds": seconds, "clauses": N * CLAUSES, "base": base,
                             "peak": peak_mb(), "end": rss_mb()}


def best_of(run):
    results = [run() for _ in range(REPEAT)]
    return min(results, key=lambda r: r["seconds"])


def run_native():
    def once():
        stor, r = dump_once()
        assert stor.num_hard_clauses() == N * CLAUSES
        return r
    return best_of(once)


class Dropping:
    """A storage that takes blocks and keeps nothing."""

    def add_hard_clauses(self, offsets, literals):
        assert len(offsets) == N * CLAUSES + 1 and len(literals) == 3 * N * CLAUSES


def run_native_alone():
    return best_of(lambda: dump_once(storage=Dropping)[1])


def run_evaluated():
    from zk_encoder.encode.variables import Variable

    class Evaluated(Variable):
        pass

    stor, r = dump_once(Evaluated)
    assert stor.num_hard_clauses() == N * CLAUSES
    return r


def run_floor():
    import numpy as np

    fams, _ = families()
    x, y = fams["x"], fams["y"]
    lits = np.array([v for c in range(CLAUSES) for v in (x(0, c), -x(0, c + 1), y(0))],
                    dtype=np.int64)
    signs = np.sign(lits)
    ends = np.arange(3, 3 * CLAUSES + 1, 3, dtype=np.int64)

    def once():
        base = rss_mb()
        start = time.perf_counter()
        # Instance i is instance 0 with x moved by i * (CLAUSES + 1); y moves by i as well, which
        # is one shift for all in this floor: what it measures is the copy, not the numbers.
        instances = np.arange(N, dtype=np.int64)
        out_lits = np.empty((N, lits.size), dtype=np.int64)
        np.multiply((instances * (CLAUSES + 1))[:, None], signs, out=out_lits)
        out_lits += lits
        out_offsets = np.empty(N * CLAUSES + 1, dtype=np.int64)
        out_offsets[0] = 0
        np.add((instances * lits.size)[:, None], ends, out=out_offsets[1:].reshape(N, CLAUSES))
        seconds = time.perf_counter() - start
        assert out_lits.size == 3 * N * CLAUSES
        return {"seconds": seconds, "clauses": N * CLAUSES, "base": base, "peak": peak_mb(),
                "end": rss_mb()}
    return best_of(once)


def run_container():
    """The whole road: container creation (the families' shapes, not their 5.1M names), the engine
    template turned into text, the queue, the build with its merge and stamps."""
    import numpy  # noqa: F401

    import nubrix.sorn_engine.bxpr as bx
    from zk_encoder.core.formula_container import FormulaContainer

    def once():
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
    return best_of(once)


LARGE = 10**8


def run_large():
    """A family of 10^8 declared elements (10^4 x 10^4) and a few clauses through the container
    road: the element names are not made, the variable count comes from the family's shape."""
    import numpy  # noqa: F401

    import nubrix.sorn_engine.bxpr as bx
    from zk_encoder.core.formula_container import FormulaContainer
    from zk_encoder.encode.variables import Variable

    ctx = bx.Context()
    template = bx.and_([bx.or_s([ctx.get_var(f"x({c},i)"), ~ctx.get_var(f"x({c + 1},i)")])
                        for c in range(4)])
    base = rss_mb()
    start = time.perf_counter()
    fams = {"dummy_var": Variable("dummy_var", {"d": 1}, 0),
            "x": Variable("x", {"i": 10**4, "j": 10**4}, 1)}
    fc = FormulaContainer(fams, 1 + LARGE)
    fc.add_hard_constraint(template, {"i": range(3)}, 0, 0)
    fc.build_cnf_formula("large")
    seconds = time.perf_counter() - start
    stor = fc.cnf_storage()
    assert stor.num_hard_clauses() == 12
    return {"seconds": seconds, "clauses": stor.num_hard_clauses(), "base": base,
            "peak": peak_mb(), "end": rss_mb()}


def run_model():
    """A whole Model build over a family of 10^8 declared elements with a few clauses: the
    container's variable count and the engine's variable mapping come from the family's shape
    (set_var_families), so no element name is made."""
    import numpy  # noqa: F401

    import nubrix.sorn_engine as se
    from zk_encoder import Model

    base = rss_mb()
    start = time.perf_counter()
    model = Model(se.manager(), "large")
    x = model.create_variables("x", i=10**4, j=10**4)
    i = model.get_indexes("i")
    model.add_constraint(x[i, 0] | ~x[i + 1, 1], i=range(3))
    model.add_constraint(x[5, 7] | x[9999, 9999])
    assert model.build_cnf() is True
    seconds = time.perf_counter() - start
    stor = model.get_cnf_storage()
    assert stor.num_hard_clauses() == 4 and len(model.get_var_mapping()) == LARGE + 1
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


SIDES = {
    "native": ("zk_encoder dumper, native -> storage", run_native),
    "alone": ("zk_encoder dumper, native, no storage", run_native_alone),
    "evaluated": ("zk_encoder dumper, evaluated comprehension", run_evaluated),
    "floor": ("numpy floor: copy into flat arrays", run_floor),
    "container": ("zk_encoder container, whole road", run_container),
    "large": ("container, 10^8 declared, 12 clauses", run_large),
    "model": ("Model build, 10^8 declared, 4 clauses", run_model),
    "peer": ("python-sat CNF, plain Python loop", run_peer),
}


def main():
    if len(sys.argv) > 1:
        print(json.dumps(SIDES[sys.argv[1]][1]()))
        return
    results = {side: measure(side) for side in SIDES}
    print(f"template of {CLAUSES} clauses x 3 literals over {N:,} for-all values "
          f"= {N * CLAUSES:,} clauses")
    print(f"{'':40}{'seconds':>9}{'clauses/s':>14}{'peak MB':>10}{'held MB':>10}")
    for side, r in results.items():
        if side in ("large", "model"):
            continue
        print(f"{SIDES[side][0]:40}{r['seconds']:9.3f}{r['clauses'] / r['seconds']:14,.0f}"
              f"{r['peak'] - r['base']:10.1f}{r['end'] - r['base']:10.1f}")
    large = results["large"]
    print(f"{SIDES['large'][0]:40}{large['seconds']:9.4f}{'':14}{large['peak']:10.1f}"
          f"{large['end'] - large['base']:10.1f}   (peak: whole process)")
    model = results["model"]
    print(f"{SIDES['model'][0]:40}{model['seconds']:9.4f}{'':14}{model['peak']:10.1f}"
          f"{model['end'] - model['base']:10.1f}   (peak: whole process)")
    floor, peer = results["floor"]["seconds"], results["peer"]["seconds"]
    for side in ("native", "alone", "evaluated", "container"):
        s = results[side]["seconds"]
        print(f"{side}: {s / floor:.2f}x the floor, {peer / s:.2f}x as fast as python-sat")
    native = results["native"]["seconds"]
    print(f"container whole road: {results['container']['seconds'] / native:.2f}x the native "
          f"dumper")


if __name__ == "__main__":
    main()
