"""What nearest_boundary costs and how exact it is. Prints figures, asserts nothing.

    python benchmarks/bench_nearest.py [--part exact|blobs|digits|memory] [--rounds N] [--best N]

- exact: distances next to an exhaustive float64 reference (every cell of
  another class projected with all its constraints) on small 2-D, 3-D and
  wine sets (goal: equal within 1e-7 relative).
- blobs: 100,000 x 32 Gaussian blobs (10 classes of 3 blobs each, centres
  N(0, 2^2), unit spread), 300 queries drawn from the same blobs: time per
  query of nearest_boundary next to the straightforward implementation below
  (one query at a time, cells in bound order, cutting planes, one NumPy
  product per test), both on Voronoi cells (every row tested) and on the
  query's class only (nearest_boundary's planes), on the first 30 queries
  (goal: at most 1/20 of it; moonshot 1/100); with NumPy's BLAS threads and
  with one; and the largest relative difference of their distances.
- digits: scikit-learn's digits, columns standardised (constant ones left at
  0), 97 held-out rows as queries (goal: under 1 ms per query).
- memory: tracemalloc peak of the blobs call beyond its inputs (goal: a few
  tens of MiB).

Each time is the median over --rounds rounds of the best of --best runs, the
variants alternating within a round; the load average is printed beside
them, since the machine is shared and single runs are noisy.
"""

from __future__ import annotations

import argparse
import os
import statistics
import time
import tracemalloc
from contextlib import nullcontext

import numpy as np
from scipy.optimize import nnls

from bench_tools import best_of  # beside this script
from vantrel_tools import nearest_boundary

try:
    from threadpoolctl import threadpool_limits
except ImportError:  # then only with the BLAS threads NumPy has
    threadpool_limits = None


def blobs(n: int = 100_000, d: int = 32, queries: int = 300, seed: int = 0):
    rng = np.random.default_rng(seed)
    centres = rng.normal(scale=2.0, size=(30, d))
    blob = rng.integers(0, 30, n + queries)
    points = centres[blob] + rng.normal(size=(n + queries, d))
    return points[:n], blob[:n] % 10, points[n:]


def digits(held_out: int = 97, seed: int = 0):
    from sklearn.datasets import load_digits
    data, y = load_digits(return_X_y=True)
    std = data.std(axis=0)
    data = (data - data.mean(axis=0)) / np.where(std > 0, std, 1.0)
    rows = np.random.default_rng(seed).permutation(len(data))
    return data[rows[held_out:]], y[rows[held_out:]], data[rows[:held_out]]


def least_distance(normals: np.ndarray, h: np.ndarray) -> np.ndarray:
    """Shortest z with normals @ z <= h (LDP through NNLS)."""
    e = np.zeros(normals.shape[1] + 1)
    e[-1] = 1.0
    matrix = np.vstack([-normals.T, -h[None, :]])
    u, _ = nnls(matrix, e, maxiter=50 * matrix.shape[1])
    r = matrix @ u - e
    return -r[:-1] / r[-1]


def planes(q, rj, rk):
    normals = rk - rj
    lengths = np.linalg.norm(normals, axis=1)
    keep = lengths > 0
    normals, lengths, rk = normals[keep], lengths[keep], rk[keep]
    return normals / lengths[:, None], np.einsum("ij,ij->i", normals, 0.5 * (rk + rj) - q) / lengths


def straightforward(data, y, queries, cells="voronoi"):
    """One query at a time: cells of other classes in bisector-bound order, each
    cut by the bisector of the row nearest to the current point until the point
    is in the cell; one NumPy product per test.

    cells="voronoi" tests against every row (the Voronoi cell of r_j, as the
    geometry is usually stated); cells="class" only against the rows of the
    query's class, as nearest_boundary does (the union of the cells is the
    same set, and each test is smaller).
    """
    norms = np.einsum("ij,ij->i", data, data)
    out = []
    for q in queries:
        sq = norms - 2.0 * data @ q + q @ q
        i = int(np.argmin(sq))
        own = np.flatnonzero(y == y[i]) if cells == "class" else np.arange(len(data))
        others = np.flatnonzero(y != y[i])
        apart = np.linalg.norm(data[others] - data[i], axis=1)
        bound = (sq[others] - sq[i]) / (2.0 * np.where(apart > 0, apart, 1.0))
        best = np.inf
        for t in np.argsort(bound):
            if bound[t] > best:
                break
            j = others[t]
            cut = [i]
            while True:
                normals, h = planes(q, data[j], data[cut])
                z = least_distance(normals, h) if len(h) else np.zeros_like(q)
                if np.linalg.norm(z) > best:
                    break
                x = q + z
                to_rows = norms[own] - 2.0 * data[own] @ x + x @ x  # the test: one product
                to_rows[np.isin(own, cut + [j])] = np.inf
                k = int(np.argmin(to_rows))
                if to_rows[k] > ((x - data[j]) ** 2).sum() * (1 + 1e-12) + 1e-12:
                    best = min(best, float(np.linalg.norm(z)))
                    break
                cut.append(int(own[k]))
        out.append(best)
    return np.array(out)


def load() -> str:
    return f"load average {os.getloadavg()[0]:.2f}"


def part_exact(args) -> None:
    import sys
    sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "python"))
    import test_tools as t
    print(f"\nexact: largest relative difference from every cell projected ({load()})")
    for case in (t.blobs_2d, t.grid_3d, t.wine_subset):
        data, y, queries = case(np.random.default_rng(5))
        got = nearest_boundary(data, y, queries)[1]
        want = t.cells_by_exhaustion(data, y, queries)
        rel = np.abs(got - want) / np.where(want > 0, want, 1.0)
        print(f"  {case.__name__:<14}{len(queries):4d} queries  {rel.max():.1e}")


def part_blobs(args) -> None:
    data, y, queries = blobs()
    sub = queries[:args.baseline_queries]
    fast = nearest_boundary(data, y, queries)[1]
    threads = [None, 1] if threadpool_limits else [None]
    seen: dict[tuple, list[float]] = {}
    differences = []
    for _ in range(args.rounds):
        for limit in threads:
            with threadpool_limits(limit) if limit else nullcontext():
                seen.setdefault(("nearest_boundary", limit), []).append(
                    best_of(lambda: nearest_boundary(data, y, queries), args.best) / len(queries))
                for cells in ("class", "voronoi"):
                    began = time.perf_counter()
                    slow = straightforward(data, y, sub, cells)
                    seen.setdefault((f"straightforward, {cells}", limit), []).append(
                        (time.perf_counter() - began) / len(sub))
                    differences.append(np.abs(fast[:len(sub)] - slow).max() / slow.min())
    print(f"\nblobs 100,000 x 32, 300 queries; straightforward on the first {len(sub)} ({load()})")
    for limit in threads:
        base = statistics.median(seen[("nearest_boundary", limit)])
        print(f"  BLAS threads: {'as NumPy has them' if limit is None else limit}")
        for (name, lim), times in seen.items():
            if lim == limit:
                t = statistics.median(times)
                print(f"    {name:<30}{t * 1e3:9.2f} ms per query  ({t / base:5.1f} x nearest_boundary)")
    print(f"  largest difference of distances from the straightforward ones, relative: {max(differences):.1e};"
          f" median distance {np.median(fast):.2f}")


def part_digits(args) -> None:
    data, y, queries = digits()
    times = [best_of(lambda: nearest_boundary(data, y, queries), args.best) for _ in range(args.rounds)]
    print(f"\ndigits standardised, 97 held-out queries ({load()})")
    print(f"  nearest_boundary   {statistics.median(times) / len(queries) * 1e3:8.3f} ms per query")


def part_memory(args) -> None:
    data, y, queries = blobs()
    tracemalloc.start()
    nearest_boundary(data, y, queries)
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    print(f"\nmemory, blobs 100,000 x 32 (inputs {(data.nbytes + y.nbytes + queries.nbytes) / 2**20:.0f} MiB):"
          f" tracemalloc peak {peak / 2**20:.1f} MiB beyond them")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--part", choices=["exact", "blobs", "digits", "memory"], action="append")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--best", type=int, default=3)
    parser.add_argument("--baseline-queries", type=int, default=30)
    args = parser.parse_args()
    for part in args.part or ["exact", "digits", "memory", "blobs"]:
        globals()[f"part_{part}"](args)


if __name__ == "__main__":
    main()
