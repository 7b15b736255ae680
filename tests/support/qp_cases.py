"""Small convex QPs that HiGHS's QP solver (1.16) ends with a solve error in one column order and
solves in another. Each is a block of a x b real columns between `lo` and `hi`, elements
numbered row-major (element e = i * b + j); minimise c.x + sum_k (B_k.x + d_k)^2 subject to
row.x <= cap for each of `rows`. The first generation numbers a block's columns with the first
dimension fastest, the second row-major, so each case is one generation's model whose twin in
the other generation solves. Found by a seeded search over such random QPs (integer data, halves
in B and d)."""

import highspy
import numpy as np
import scipy.sparse as sp

QP_CASES = [
    # Fails in the first generation's order (the twin solves at -26.75 without the constant 2).
    ("fails-in-first-generation-order", {
        "a": 3, "b": 3, "lo": -1.0, "hi": 2.0,
        "B": [[0, 0, 0, 0, -1, -1, 1, 0, 0], [0, 0, 0.5, -1, 0, 1, 0, 0.5, 0]],
        "d": [1, -1],
        "c": [-2, -3, 3, -2, 3, -1, 2, -2, 1],
        "rows": [([1, -1, 0, 2, -2, 0, 2, 1, -2], 2), ([0, 0, -2, 2, 1, -2, 1, 0, 0], 1),
                 ([1, -2, 1, 0, 1, 1, 2, -2, -2], -1)],
    }),
]


def elements(case):
    """The block's elements (i, j) in row-major order."""
    return [(i, j) for i in range(case["a"]) for j in range(case["b"])]


def first_generation_columns(case):
    """The column of each row-major element when the first dimension runs fastest."""
    return [i + case["a"] * j for i, j in elements(case)]


def second_generation_columns(case):
    return list(range(case["a"] * case["b"]))


def objective_parts(case):
    """The objective over the elements as c'x + 1/2 x'Hx + constant."""
    b = np.array(case["B"], float)
    d = np.array(case["d"], float)
    return np.array(case["c"], float) + 2 * b.T @ d, 2 * b.T @ b, float(d @ d)


def direct_highs(case, columns, **options):
    """HiGHS given the case directly with the elements on `columns`: (model status, objective
    c'x + 1/2 x'Hx without the constant, or None)."""
    n = case["a"] * case["b"]
    perm = np.zeros((n, n))
    perm[columns, np.arange(n)] = 1
    cost, hessian, _ = objective_parts(case)
    a = sp.csr_array(np.array([perm @ np.array(r, float) for r, _ in case["rows"]]))
    q = sp.csc_array(np.tril(perm @ hessian @ perm.T))
    h = highspy.Highs()
    h.setOptionValue("output_flag", False)
    for name, value in options.items():
        h.setOptionValue(name, value)
    m = len(case["rows"])
    h.passModel(n, m, a.nnz, q.nnz, 2, 1, 1, 0.0, perm @ cost, np.full(n, case["lo"]),
                np.full(n, case["hi"]), np.full(m, -highspy.kHighsInf),
                np.array([cap for _, cap in case["rows"]], float), a.indptr.astype(np.int32),
                a.indices.astype(np.int32), a.data, q.indptr.astype(np.int32),
                q.indices.astype(np.int32), q.data, np.zeros(n, np.int32))
    h.run()
    status = h.getModelStatus()
    if status != highspy.HighsModelStatus.kOptimal:
        return status, None
    return status, h.getInfo().objective_function_value


def optimum(case):
    """The optimum HiGHS gives for the case in the column orders it solves (they agree), without
    the constant."""
    found = [direct_highs(case, cols)[1]
             for cols in (first_generation_columns(case), second_generation_columns(case))]
    found = [v for v in found if v is not None]
    assert found and max(found) - min(found) < 1e-9, found
    return found[0]
