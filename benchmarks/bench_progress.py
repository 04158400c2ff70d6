"""What progress=True costs. Prints figures, asserts nothing.

    python benchmarks/bench_progress.py [--rounds N] [--best N] [--only NAME]

Each call runs with progress off, with the tqdm bar and with the plain
lines (tqdm made unimportable), alternating within each round; the bar and
the lines go to /dev/null, so their formatting is timed but no terminal.
Each figure is the median over --rounds rounds of the best of --best runs,
with the overhead against off; the load average is printed beside them,
since the machine is shared and single runs are noisy (goal: at most 1%).

On a loaded machine the calls' own noise is larger than 1%, so the cost of
the reporting itself is measured too: the time of one step (advance() and
what the call computes for the count, in each mode) times the steps a call
takes, against the call's time off.
"""

from __future__ import annotations

import argparse
import contextlib
import os
import statistics
import sys
import time

import numpy as np

from vantrel_tools import _progress, boundary_pairs, nearest_boundary, tresk_distributed


def calls():
    rng = np.random.default_rng(0)
    big = rng.normal(size=(100_000, 16))
    big_y = rng.integers(0, 5, len(big))
    points = rng.normal(size=(10_000, 16))
    centres = rng.normal(0, 2, size=(10, 16))
    blob_y = rng.integers(0, 10, 20_000)
    blobs = centres[blob_y] + rng.normal(size=(20_000, 16))
    queries = centres[rng.integers(0, 10, 300)] + rng.normal(size=(300, 16))
    small, small_y = big[:5_000, :8], big_y[:5_000]
    return {
        "boundary_pairs 100,000 x 16 rows, 10,000 points (7 x 79 blocks)":
            lambda p: boundary_pairs(big, big_y, points, progress=p),
        "nearest_boundary 20,000 x 16 blobs, 300 queries":
            lambda p: nearest_boundary(blobs, blob_y, queries, progress=p),
        "tresk_distributed 5,000 x 8, 1,000 points, 8 tasks, sparse":
            lambda p: tresk_distributed(small, small_y, 1000, tasks=8, seed=1, progress=p),
    }


@contextlib.contextmanager
def mode(name):
    saved_err, saved_tqdm = sys.stderr, _progress._tqdm
    with open(os.devnull, "w") as sink:
        sys.stderr = sink
        if name == "plain":
            _progress._tqdm = lambda: None
        try:
            yield name != "off"
        finally:
            sys.stderr, _progress._tqdm = saved_err, saved_tqdm


def best_of(call, name, best):
    times = []
    for _ in range(best):
        with mode(name) as on:
            start = time.perf_counter()
            call(on)
            times.append(time.perf_counter() - start)
    return min(times)


def steps_of(call):
    """(advance/reach calls, seconds in them) of one call with the bar on, into /dev/null."""
    counted = [0, 0.0]
    reach = _progress.Progress.reach

    def timed(self, done):
        start = time.perf_counter()
        reach(self, done)
        counted[0] += 1
        counted[1] += time.perf_counter() - start

    _progress.Progress.reach = timed
    try:
        with mode("tqdm"):
            call(True)
    finally:
        _progress.Progress.reach = reach
    return counted


def step_cost(name, steps=20_000):
    """Seconds per advance() of a bar of `steps` steps in mode `name`."""
    with mode(name) as on, _progress.progress_of(on, "bench", steps, "steps") as bar:
        start = time.perf_counter()
        for _ in range(steps):
            bar.advance()
        return (time.perf_counter() - start) / steps


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--best", type=int, default=3)
    parser.add_argument("--only", default="")
    args = parser.parse_args()
    modes = ["off", "tqdm", "plain"]
    for label, call in calls().items():
        if args.only not in label:
            continue
        call(False)  # warm up
        figures = {m: [] for m in modes}
        loads = []
        for r in range(args.rounds):
            order = modes if r % 2 == 0 else modes[::-1]
            for m in order:
                figures[m].append(best_of(call, m, args.best))
            loads.append(os.getloadavg()[0])
        off = statistics.median(figures["off"])
        text = ", ".join(f"{m} {statistics.median(figures[m]):.3f} s"
                         + ("" if m == "off" else f" ({100 * (statistics.median(figures[m]) / off - 1):+.1f}%)")
                         for m in modes)
        print(f"{label}: {text}; load {min(loads):.2f}-{max(loads):.2f}", flush=True)
        count, spent = steps_of(call)
        print(f"    {count} steps, {1e3 * spent:.2f} ms in them with tqdm:"
              f" {100 * spent / off:.3f}% of the call off", flush=True)
    for m in modes:
        cost = statistics.median(step_cost(m) for _ in range(5))
        print(f"one advance(), {m}: {1e6 * cost:.2f} us", flush=True)


if __name__ == "__main__":
    main()
