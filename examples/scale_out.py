"""Boundary points from a dask cluster: vantrel_tools.tresk_distributed.

Starts a dask LocalCluster of worker processes on this machine (or connects to
a running cluster with --scheduler), runs the search spread over tasks in
sparse or dense mode, and prints what came back: points, distinct pairs of
rows, how far the farthest point is from the boundary, the time. With a seed
it then runs the same call on the local default (the tasks one after another
in this process, without dask) and says whether the points are the same, as
they should be: the result depends on the seed and the number of tasks, not
on what runs them.

    python examples/scale_out.py [--workers 2] [--tasks 4] [--n-points 2000] [--dense]
    python examples/scale_out.py --quick                   # small data, a few seconds
    python examples/scale_out.py --scheduler tcp://HOST:8786   # a real cluster

A real cluster: start a scheduler on one machine (`dask scheduler`) and
workers on the others (`dask worker tcp://HOST:8786 --nworkers 4 --nthreads 1`),
each with vantrel installed; or let dask-jobqueue (SLURM, PBS) or the dask
Kubernetes operator start them, and pass their scheduler address here. The
data is sent to each worker once; docs/scale_out.md says what limits it.
Needs dask: pip install .[dask]
"""

from __future__ import annotations

import argparse
import sys
import time
import warnings

import numpy as np

try:
    from distributed import Client, LocalCluster

    from vantrel_tools import boundary_pairs, tresk_distributed
except ImportError as err:  # --help still works; main() reports it
    Client = None
    IMPORT_ERROR = err


def make_data(rows: int, cols: int, seed: int) -> tuple[np.ndarray, np.ndarray]:
    """Gaussian rows in three classes cut by random hyperplanes."""
    rng = np.random.default_rng(seed)
    data = rng.normal(size=(rows, cols))
    return data, np.argmax(data @ rng.normal(size=(cols, 3)), axis=1)


def run(data, y, args, client) -> tuple[np.ndarray, float, list[str]]:
    began = time.perf_counter()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", RuntimeWarning)
        points = tresk_distributed(data, y, args.n_points, tasks=args.tasks, client=client,
                                   seed=args.seed, sparse=not args.dense)
    return points, time.perf_counter() - began, [str(w.message) for w in caught]


def describe(label: str, data, y, points, seconds: float) -> None:
    pairs, gaps = boundary_pairs(data, y, points)
    distinct = len({(int(a), int(b)) for a, b in pairs})
    extent = float(np.ptp(data, axis=0).max())
    print(f"{label}: {len(points)} points on {distinct} distinct pairs of rows in {seconds:.2f} s;"
          f" largest gap {gaps.max() / extent:.1e} of the data's extent")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        description="Run vantrel_tools.tresk_distributed on a dask cluster (a LocalCluster"
                    " unless --scheduler is given) and compare with the local default.")
    parser.add_argument("--scheduler", help="address of a running dask scheduler, e.g."
                                            " tcp://HOST:8786 (default: start a LocalCluster)")
    parser.add_argument("--workers", type=int, default=2,
                        help="LocalCluster worker processes, one thread each (default: 2)")
    parser.add_argument("--tasks", type=int, default=4, help="tasks per round (default: 4)")
    parser.add_argument("--n-points", type=int, default=2_000,
                        help="points requested (default: 2000)")
    parser.add_argument("--rows", type=int, default=50_000, help="data rows (default: 50000)")
    parser.add_argument("--cols", type=int, default=16, help="data columns (default: 16)")
    parser.add_argument("--dense", action="store_true", help="dense mode (default: sparse)")
    parser.add_argument("--seed", type=int, default=0, help="seed for data and search (default: 0)")
    parser.add_argument("--quick", action="store_true",
                        help="5,000 x 8 data, 300 points (a few seconds)")
    args = parser.parse_args(argv)
    if Client is None:
        sys.exit(f"cannot import dask.distributed or vantrel_tools ({IMPORT_ERROR});"
                 " install them with: pip install .[dask]")
    if args.quick:
        args.rows, args.cols, args.n_points = 5_000, 8, 300

    data, y = make_data(args.rows, args.cols, args.seed)
    print(f"data: {args.rows} rows x {args.cols} columns, 3 classes;"
          f" {'dense' if args.dense else 'sparse'} mode, {args.tasks} tasks, seed {args.seed}")
    if args.scheduler:
        cluster = None
        client = Client(args.scheduler, timeout="60s")
    else:
        cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                               dashboard_address=None, silence_logs=40)
        client = Client(cluster)
    try:
        workers = client.scheduler_info()["workers"]
        print(f"cluster: {len(workers)} workers at {client.scheduler.address}")
        points, seconds, notes = run(data, y, args, client)
        describe("cluster", data, y, points, seconds)
    finally:
        client.close()
        if cluster is not None:
            cluster.close()
    local, seconds, _ = run(data, y, args, None)
    describe("local default", data, y, local, seconds)
    print(f"same points on both: {'yes' if np.array_equal(points, local) else 'NO'}")
    for note in notes:
        print(f"note: {note}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
