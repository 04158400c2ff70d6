"""boundary_slice on 200,000 x 32 Gaussian blobs: wall time and peak memory.

Goal: at most 2 s for 200,000 x 32 rows (default plane: principal axes) on a
2-core machine. Prints the best of --repeat runs, the median of those bests
over --rounds, the tracemalloc peak beyond the data, and the load average.

    python benchmarks/bench_slice.py [--rows 200000] [--cols 32] [--repeat 3] [--rounds 3]
"""

from __future__ import annotations

import argparse
import os
import platform
import statistics
import time
import tracemalloc

import numpy as np

from vantrel_tools import boundary_slice


def blobs(rows: int, cols: int, seed: int = 0) -> tuple[np.ndarray, np.ndarray]:
    rng = np.random.default_rng(seed)
    centres = rng.normal(scale=3.0, size=(8, cols))
    y = rng.integers(0, 8, rows)
    return centres[y] + rng.normal(size=(rows, cols)), y


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=200_000)
    parser.add_argument("--cols", type=int, default=32)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    data, y = blobs(args.rows, args.cols)
    print(f"{platform.processor() or platform.machine()}, {os.cpu_count()} CPUs,"
          f" load average {os.getloadavg()[0]:.2f} at the start")
    bests = []
    for _ in range(args.rounds):
        times = []
        for _ in range(args.repeat):
            began = time.perf_counter()
            view = boundary_slice(data, y)
            times.append(time.perf_counter() - began)
        bests.append(min(times))
        print(f"  best of {args.repeat}: {min(times):.3f} s")
    tracemalloc.start()
    boundary_slice(data, y)
    _, peak = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    print(f"{args.rows} x {args.cols}: median of {args.rounds} bests {statistics.median(bests):.3f} s"
          f" (goal 2 s); {len(view.segments)} segments; peak {peak / 2**20:.0f} MiB beyond the data"
          f" ({data.nbytes / 2**20:.0f} MiB); load average {os.getloadavg()[0]:.2f} at the end")


if __name__ == "__main__":
    main()
