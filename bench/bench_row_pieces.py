"""Where the time of one row goes: each step of stating `x[c0] * a0 + x[c1] * a1 + x[c2] * a2 +
x[c3] * a3 <= b` and adding it, timed alone, on both linear generations and on the engine's
addRow beneath them, at two model widths (a step whose cost grows with the width makes the whole
road quadratic).

Steps, each timed on its own with prebuilt operands (the median of several timeit rounds, by the
process's processor clock, in microseconds a step):
- "element": `x[c]`, one element reference;
- "product": `x[c] * a`, an element times a float;
- "sum 1+1", "sum 2+1", "sum 3+1": the three additions of a 4-term row, in the order the host
  evaluates them;
- "compare": `row <= b`;
- "add_constraint": the model's call with the bounded row (the engine's addRow inside);
- "engine addRow": the engine's addRow alone with the arrays add_constraint hands it;
- "whole row": the statement and the call together, as a program writes it;
and for the target of the first generation, written one product per column:
- "target product": `cost[i] * x[i]`; "SumIt per term": SumIt of a list of such products, per
  term; "add_target per term": add_target of that SumIt, per term (changeColCost inside);
and, for the second generation, the sparse library's own steps its rows are made of:
- "csr_array(1 entry)": a 1-D row of one entry made from its arrays; "csr * float";
  "csr + csr" (two 1-D rows of 1 entry).
The model is made once per width and takes the rows it is given: only the steps' cost matters.

Usage: bench_row_pieces.py [width [width ...]]   (default 10,000 and 1,000,000 columns)
"""

import statistics
import sys
import time
import timeit

WIDTHS = (10_000, 1_000_000)
ROUNDS = 5


def per_call(fn, number):
    """Microseconds a call of fn, the median of ROUNDS rounds of `number` calls."""
    timer = timeit.Timer(fn, timer=time.process_time)
    return statistics.median(t / number * 1e6 for t in timer.repeat(ROUNDS, number))


def steps(x, n, add_constraint, number):
    """The steps of one row over the block x of n columns; the row's columns spread over it."""
    c0, c1, c2, c3 = 1, n // 4 + 1, n // 2 + 1, 3 * n // 4 + 1
    a0, a1, a2, a3, b = 0.5, 1.25, 0.75, 1.5, 2.0
    e0, e1, e2, e3 = x[c0], x[c1], x[c2], x[c3]
    p0, p1, p2, p3 = e0 * a0, e1 * a1, e2 * a2, e3 * a3
    s2 = p0 + p1
    s3 = s2 + p2
    s4 = s3 + p3
    bounded = s4 <= b
    yield "element", per_call(lambda: x[c2], number)
    yield "product", per_call(lambda: e2 * a2, number)
    yield "sum 1+1", per_call(lambda: p0 + p1, number)
    yield "sum 2+1", per_call(lambda: s2 + p2, number)
    yield "sum 3+1", per_call(lambda: s3 + p3, number)
    yield "compare", per_call(lambda: s4 <= b, number)
    yield "add_constraint", per_call(lambda: add_constraint(bounded), number)
    yield "whole row", per_call(
        lambda: add_constraint(x[c0] * a0 + x[c1] * a1 + x[c2] * a2 + x[c3] * a3 <= b), number)


def lp1_steps(n, number):
    from zk_encoder import LinearModel, VariableType
    from zk_encoder.linear_parser import SumIt
    model = LinearModel()
    x = model.get_variables("x", VariableType.REAL, lo=0, hi=1, i=n)
    yield from steps(x, n, model.add_constraint, number)
    cost = [1.5] * n
    terms = min(n, 100_000)
    yield "target product", per_call(lambda: cost[7] * x[7], number)
    products = [cost[i] * x[i] for i in range(terms)]
    t = time.process_time()
    target = SumIt(products)
    yield "SumIt per term", (time.process_time() - t) / terms * 1e6
    t = time.process_time()
    model.add_target(target, minimization=True)
    yield "add_target per term", (time.process_time() - t) / terms * 1e6


def lp2_steps(n, number):
    from zk_encoder.linear_parser2 import LinearModel, VariableType
    lp = LinearModel()
    x = lp.get_variable("x", VariableType.REAL, 0, 1, i=n)
    yield from steps(x, n, lp.add_constraint, number)
    from scipy.sparse import csr_array
    one, col = (1.0,), ((n // 2,),)
    yield "csr_array(1 entry)", per_call(lambda: csr_array((one, col), shape=(n,)), number)
    r = csr_array((one, col), shape=(n,))
    q = csr_array(((2.0,), ((n // 3,),)), shape=(n,))
    yield "csr * float", per_call(lambda: r * 0.5, number)
    yield "csr + csr", per_call(lambda: r + q, number)


def engine_steps(n, number):
    import numpy as np
    from nubrix.sorn_engine import linsolver
    s = linsolver.LinearSolver()
    s.addVars(n, np.zeros(n), np.ones(n))
    cols = np.array([1, n // 4 + 1, n // 2 + 1, 3 * n // 4 + 1], dtype=np.int32)
    vals = np.array([0.5, 1.25, 0.75, 1.5])
    inf = linsolver.kLinsolverInf
    yield "engine addRow", per_call(lambda: s.addRow(-inf, 2.0, 4, cols, vals), number)
    yield "engine addRow, lists", per_call(
        lambda: s.addRow(-inf, 2.0, 4, [1, 2, 3, 4], [0.5, 1.25, 0.75, 1.5]), number)


def main():
    widths = [int(a) for a in sys.argv[1:]] or list(WIDTHS)
    table = {}
    for name, fn, number in (("lp1", lp1_steps, 2_000), ("lp2", lp2_steps, 200),
                             ("engine", engine_steps, 2_000)):
        for n in widths:
            for step, us in fn(n, number):
                table.setdefault((name, step), {})[n] = us
    print("microseconds a step, by the processor clock (median of "
          f"{ROUNDS} rounds); columns: model width")
    print(f"  {'':28}" + "".join(f"{n:>12,}" for n in widths))
    for (name, step), by_width in table.items():
        print(f"  {name + ' ' + step:28}" + "".join(f"{by_width[n]:12.2f}" for n in widths))


if __name__ == "__main__":
    main()
