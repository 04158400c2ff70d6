"""boundary_pairs on exact and near ties, next to Gaussian data of the same size.

    python benchmarks/bench_pairs_ties.py [--n N] [--m M] [--rounds N] [--best N] [--case NAME ...]
        [--blas-threads N] [--baseline DIR]

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
cases (and the baseline, if given) alternating within a round; peak MiB is
tracemalloc's peak during one further call beyond what was traced before it
(inputs excluded). The load average is printed, since timings on a shared
2-core machine spread widely; when the other core is busy, a product split
over both waits for it, so --blas-threads 1 gives steadier figures.

--baseline DIR times the boundary_pairs of another checkout's
DIR/vantrel_tools/_pairs.py beside this one, for instance the last commit's:

    git archive HEAD src/vantrel_tools | tar -x -C /tmp/base
    python benchmarks/bench_pairs_ties.py --baseline /tmp/base/src
"""

from __future__ import annotations

import argparse
import importlib.util
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


Pairs = Callable[..., tuple[np.ndarray, np.ndarray]]


def baseline(directory: str) -> Pairs:
    spec = importlib.util.spec_from_file_location(
        "baseline_pairs", os.path.join(directory, "vantrel_tools", "_pairs.py"))
    assert spec is not None and spec.loader is not None, directory
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    pairs: Pairs = module.boundary_pairs
    return pairs


def best_of(pairs: Pairs, case: Case, best: int) -> float:
    times = []
    for _ in range(best):
        began = time.perf_counter()
        pairs(*case)
        times.append(time.perf_counter() - began)
    return min(times)


def peak_mib(pairs: Pairs, case: Case) -> float:
    tracemalloc.start()
    before = tracemalloc.get_traced_memory()[0]
    pairs(*case)
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
    parser.add_argument("--blas-threads", type=int, help="limit BLAS to this many threads")
    parser.add_argument("--baseline", metavar="DIR", help="also time DIR/vantrel_tools/_pairs.py")
    parser.add_argument("--save", help="save each case's pairs and gaps to this .npz file")
    args = parser.parse_args()
    if args.blas_threads:
        from threadpoolctl import threadpool_limits
        threadpool_limits(args.blas_threads, user_api="blas")
    variants = {"this": boundary_pairs}
    if args.baseline:
        variants = {"baseline": baseline(args.baseline), **variants}
    names = args.case or list(CASES)
    cases = {name: CASES[name][0](args.n, args.m, CASES[name][1]) for name in names}
    seconds: dict[tuple[str, str], list[float]] = {(name, v): [] for name in names for v in variants}
    load = [os.getloadavg()[0]]
    for _ in range(args.rounds):
        for name, case in cases.items():
            for v, pairs in variants.items():
                seconds[name, v].append(best_of(pairs, case, args.best))
        load.append(os.getloadavg()[0])
    print(f"CPU: {os.cpu_count()} logical cores; BLAS threads: {args.blas_threads or 'default'};"
          f" load average {min(load):.2f} to {max(load):.2f};"
          f" median over {args.rounds} rounds of the best of {args.best}")
    print(f"{'case':<20}{'n':>8}{'m':>6}{'d':>3}" + "".join(
        f"{v + ' s':>13}{v + ' MiB':>13}" for v in variants))
    saved: dict[str, np.ndarray] = {}
    for name, case in cases.items():
        data, _, points = case
        print(f"{name:<20}{len(data):>8}{len(points):>6}{data.shape[1]:>3}" + "".join(
            f"{statistics.median(seconds[name, v]):>13.3f}{peak_mib(pairs, case):>13.1f}"
            for v, pairs in variants.items()))
        if args.save:
            saved[f"{name} pairs"], saved[f"{name} gaps"] = boundary_pairs(*case)
    if args.save:
        np.savez(args.save, **saved)


if __name__ == "__main__":
    main()
