"""boundary_pairs on exact and near ties, next to Gaussian data of the same size.

    python benchmarks/bench_pairs_ties.py [--n N] [--m M] [--rounds N] [--best N] [--case NAME ...]

Cases (n rows, m points, three classes drawn at random unless said):

- gaussian: normal rows, classes cut by random hyperplanes, m dense points
  from vantrel.tresk (on the boundary, as boundary_pairs is used), d=2 and 8.
- circle centre: rows on a unit circle, every point at its centre, so every
  row is at the same distance up to rounding; d=2, and d=8 with the circle in
  a random plane.
- circle near: the same with points 1e-9 from the centre (distinct points,
  all rows within float32 rounding of one another).
- nine rows: nine distinct rows repeated to n rows, random normal points.

Seconds are the median over --rounds rounds of the best of --best calls, the
cases alternating within a round; peak MiB is tracemalloc's peak during one
further call beyond what was traced before it (inputs excluded). The load
average is printed, since timings on a shared 2-core machine spread widely.
"""

from __future__ import annotations

import argparse
import os
import statistics
import time
import tracemalloc
from collections.abc import Callable

import numpy as np

import vantrel
from vantrel_tools import boundary_pairs

Case = tuple[np.ndarray, np.ndarray, np.ndarray]


def gaussian(n: int, m: int, d: int) -> Case:
    rng = np.random.default_rng(0)
    data = rng.normal(size=(n, d))
    y = np.argmax(data @ rng.normal(size=(d, 3)), axis=1)
    points = np.asarray(vantrel.tresk(data, y, n_points=m, sparse=False, seed=0))
    return data, y, points


def circle(n: int, d: int, rng: np.random.Generator) -> tuple[np.ndarray, np.ndarray]:
    angle = rng.uniform(0, 2 * np.pi, n)
    plane = np.linalg.qr(rng.normal(size=(d, 2)))[0].T if d > 2 else np.eye(2)
    return np.column_stack([np.cos(angle), np.sin(angle)]) @ plane, rng.integers(0, 3, n)


def circle_centre(n: int, m: int, d: int) -> Case:
    data, y = circle(n, d, np.random.default_rng(1))
    return data, y, np.zeros((m, d))


def circle_near(n: int, m: int, d: int) -> Case:
    rng = np.random.default_rng(2)
    data, y = circle(n, d, rng)
    return data, y, 1e-9 * rng.normal(size=(m, d))


def nine_rows(n: int, m: int, d: int) -> Case:
    rng = np.random.default_rng(3)
    data = rng.normal(size=(9, d))[rng.integers(0, 9, n)]
    return data, rng.integers(0, 3, n), rng.normal(size=(m, d))


CASES: dict[str, tuple[Callable[[int, int, int], Case], int]] = {
    "gaussian d=2": (gaussian, 2),
    "gaussian d=8": (gaussian, 8),
    "circle centre d=2": (circle_centre, 2),
    "circle centre d=8": (circle_centre, 8),
    "circle near d=2": (circle_near, 2),
    "circle near d=8": (circle_near, 8),
    "nine rows d=2": (nine_rows, 2),
    "nine rows d=8": (nine_rows, 8),
}


def best_of(case: Case, best: int) -> float:
    times = []
    for _ in range(best):
        began = time.perf_counter()
        boundary_pairs(*case)
        times.append(time.perf_counter() - began)
    return min(times)


def peak_mib(case: Case) -> float:
    tracemalloc.start()
    before = tracemalloc.get_traced_memory()[0]
    boundary_pairs(*case)
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    return (peak - before) / 2**20


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--n", type=int, default=100_000, help="rows (default: 100,000)")
    parser.add_argument("--m", type=int, default=1_000, help="points (default: 1,000)")
    parser.add_argument("--rounds", type=int, default=5, help="rounds (default: 5)")
    parser.add_argument("--best", type=int, default=3, help="calls per round (default: 3)")
    parser.add_argument("--case", choices=list(CASES), action="append",
                        help="cases to run (default: all)")
    parser.add_argument("--save", help="save each case's pairs and gaps to this .npz file")
    args = parser.parse_args()
    names = args.case or list(CASES)
    cases = {name: CASES[name][0](args.n, args.m, CASES[name][1]) for name in names}
    seconds: dict[str, list[float]] = {name: [] for name in names}
    for _ in range(args.rounds):
        for name, case in cases.items():
            seconds[name].append(best_of(case, args.best))
    print(f"CPU: {os.cpu_count()} logical cores; load average {os.getloadavg()[0]:.2f};"
          f" median over {args.rounds} rounds of the best of {args.best}")
    print(f"{'case':<20}{'n':>9}{'m':>7}{'d':>4}{'seconds':>10}{'peak MiB':>10}")
    saved = {}
    for name, case in cases.items():
        data, _, points = case
        print(f"{name:<20}{len(data):>9}{len(points):>7}{data.shape[1]:>4}"
              f"{statistics.median(seconds[name]):>10.3f}{peak_mib(case):>10.1f}")
        if args.save:
            pairs, gaps = boundary_pairs(*case)
            saved[f"{name} pairs"], saved[f"{name} gaps"] = pairs, gaps
    if args.save:
        np.savez(args.save, **saved)


if __name__ == "__main__":
    main()
