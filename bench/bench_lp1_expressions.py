"""First-generation numeric linear expressions: the sum of n unit expressions (what a text
"CompiledSum([x(i) for i in range(n)])" evaluates to), a weighted sum and a sum of n squares (a
quadratic objective),
beside the same arithmetic written directly over scipy's sparse arrays (fold of `+` over COO
columns, as the expressions define their results), measured in the same run.
"""

import time

import numpy as np
from scipy.sparse import coo_array

from zk_encoder.linear_parser.compiled_linear_expressions import (
    CompiledLinearExpression, CompiledSum)

REPEATS = 3  # best of: the machine may be shared


def best(fn):
    seconds = float("inf")
    for _ in range(REPEATS):
        start = time.perf_counter()
        result = fn()
        seconds = min(seconds, time.perf_counter() - start)
    return seconds, result


def scipy_sum(columns):
    total = None
    for c in columns:
        if total is None:
            total = c.copy()
            continue
        shape = np.maximum(total.shape, c.shape)
        a, b = total.copy(), c.copy()
        a.resize(shape)
        b.resize(shape)
        total = (a + b).tocoo()
    return total


def main():
    for n in (1_000, 10_000, 100_000):
        units = [CompiledLinearExpression(coo_array(([1], ([g], [0])))) for g in range(n)]
        columns = [coo_array(([1], ([g], [0]))) for g in range(n)]
        ours, e = best(lambda: CompiledSum(units))
        weighted, _ = best(lambda: CompiledSum([3 * u + 1 for u in units]))
        squares, q = best(lambda: CompiledSum([u * u for u in units]))
        assert len(e.linear_coefficients_indexes) == n
        assert q.quadratic_coefficients.nnz == n
        line = (f"n={n:>7}: sum {ours * 1e3:7.1f} ms, weighted sum {weighted * 1e3:7.1f} ms, "
                f"sum of squares {squares * 1e3:7.1f} ms")
        if n <= 1_000:
            peer, p = best(lambda: scipy_sum(columns))
            assert p.row.tolist() == e.linear_coefficients_indexes.tolist()
            line += f" | scipy fold of + {peer * 1e3:9.1f} ms"
        print(line)


if __name__ == "__main__":
    main()
