"""Oracles that judge a solved model by its meaning, independently of the solver."""

import itertools

import numpy as np

DETERMINANT_TOL = 1e-9
FEASIBILITY_TOL = 1e-7


def vertex_optimum(c, a=(), row_lo=(), row_hi=(), col_lo=(), col_hi=(), maximize=True):
    """The best value of c.x over row_lo <= a x <= row_hi and col_lo <= x <= col_hi, by
    enumerating the vertices (every n of the bounding planes that meet in one point inside all
    the others); None when the region is empty. Infinite row bounds bound nothing. Every column
    needs both its bounds finite: a bounded region that is not empty has its optimum at a vertex.
    Column bounds may be single numbers, for every column alike."""
    c = np.asarray(c, float)
    n = len(c)
    col_lo, col_hi = np.broadcast_to(col_lo, n), np.broadcast_to(col_hi, n)
    assert np.all(np.isfinite(col_lo)) and np.all(np.isfinite(col_hi)), "an unbounded column"
    planes = []  # (g, h): g.x <= h
    for row, lo, hi in zip(np.asarray(a, float).reshape(-1, n), row_lo, row_hi):
        if np.isfinite(hi):
            planes.append((row, float(hi)))
        if np.isfinite(lo):
            planes.append((-row, -float(lo)))
    for j, e in enumerate(np.eye(n)):
        planes += [(e, float(col_hi[j])), (-e, -float(col_lo[j]))]
    best = None
    for chosen in itertools.combinations(planes, n):
        g = np.array([p[0] for p in chosen])
        if abs(np.linalg.det(g)) < DETERMINANT_TOL:
            continue
        x = np.linalg.solve(g, np.array([p[1] for p in chosen]))
        if all(gk @ x <= hk + FEASIBILITY_TOL for gk, hk in planes):
            value = float(c @ x)
            if best is None or (value > best if maximize else value < best):
                best = value
    return best
