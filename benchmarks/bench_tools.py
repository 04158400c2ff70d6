"""What vantrel_tools costs next to tresk itself. Prints figures, asserts nothing.

    python benchmarks/bench_tools.py [--part pairs|spread|cluster|sparse] [--rounds N] [--best N]

- pairs: boundary_pairs of 2,000 points against n=50,000, d=64 data, next to
  the dense tresk call that found them (goal: at most a third of it); again
  with one BLAS thread and no worker pool.
- spread: dense tresk_distributed with 2 tasks on the local default (in the
  caller's process, one task after the other) next to one tresk call,
  n=50,000, d=64, 4,000 points (goal: at most 1.05 times), the two tresk
  calls of its tasks alone (what splitting costs in tresk itself), and what
  runs before the first task (the input conversion and the argument checks; goal:
  under 0.05 s); while a call runs, the child processes and /dev/shm entries
  it adds (goal: none).
- cluster: the same on a 2-worker dask LocalCluster (started once, outside
  the timing) with 2 and with 8 tasks: the data goes to each worker once, so
  8 tasks should cost about what 2 do.
- restart: on a 2-worker LocalCluster, the same dense call (8,000 points,
  4 tasks) undisturbed and with every worker killed once its tasks run: the
  nannies start new workers, the data is sent again and the lost tasks run
  again; the difference is what a restart costs.
- sparse: distinct pairs found on scikit-learn's wine data (178 x 13,
  standardised) for 2,000 requested, by one call and by 4 tasks.

Each figure is the median over --rounds rounds of the best of --best runs,
the variants alternating within a round; the machine's load average is
printed beside them, since shared machines make single runs noisy.
"""

from __future__ import annotations

import argparse
import os
import statistics
import time
import warnings

import numpy as np

import vantrel
from vantrel_tools import boundary_pairs, tresk_distributed


def synthetic(n: int, d: int, seed: int = 0) -> tuple[np.ndarray, np.ndarray]:
    """Gaussian rows, three classes cut by random hyperplanes."""
    rng = np.random.default_rng(seed)
    data = rng.normal(size=(n, d))
    return data, np.argmax(data @ rng.normal(size=(d, 3)), axis=1)


def best_of(call, best: int) -> float:
    times = []
    for _ in range(best):
        began = time.perf_counter()
        call()
        times.append(time.perf_counter() - began)
    return min(times)


def compare(variants: dict, rounds: int, best: int) -> dict[str, float]:
    """Median over rounds of each variant's best time, the variants alternating."""
    seen: dict[str, list[float]] = {name: [] for name in variants}
    for _ in range(rounds):
        for name, call in variants.items():
            seen[name].append(best_of(call, best))
    return {name: statistics.median(times) for name, times in seen.items()}


def report(title: str, figures: dict[str, float], base: str) -> None:
    print(f"\n{title}  (load average {os.getloadavg()[0]:.2f})")
    for name, seconds in figures.items():
        print(f"  {name:<34}{seconds:8.3f} s  {seconds / figures[base]:6.2f} x {base}")


def part_pairs(args) -> None:
    data, y = synthetic(50_000, 64)
    points = vantrel.tresk(data, y, n_points=2_000, sparse=False, seed=0)
    figures = compare({
        "tresk dense, 2,000 points": lambda: vantrel.tresk(data, y, n_points=2_000, sparse=False,
                                                           seed=0),
        "boundary_pairs of them": lambda: boundary_pairs(data, y, points),
    }, args.rounds, args.best)
    report("boundary_pairs, n=50,000, d=64, m=2,000", figures, "tresk dense, 2,000 points")
    # One core each: on a busy machine a product split over both cores waits
    # for the slower one, and the two BLAS libraries wait differently.
    from threadpoolctl import threadpool_limits

    with threadpool_limits(1, user_api="blas"):
        figures = compare({
            "tresk dense, no pool": lambda: vantrel.tresk(data, y, n_points=2_000, sparse=False,
                                                          parallel=False, seed=0),
            "boundary_pairs": lambda: boundary_pairs(data, y, points),
        }, args.rounds, args.best)
    report("the same on one BLAS thread", figures, "tresk dense, no pool")


def part_spread(args) -> None:
    from vantrel_tools import _distributed, _inputs

    data, y = synthetic(50_000, 64)

    def before_first_task() -> None:
        array, codes, _ = _inputs.checked_inputs(data, y)
        _distributed._check_as_tresk(array, codes, 2_000, {**_distributed.TRESK_DEFAULTS, "sparse": False})

    # The two calls of tresk that the 2 tasks make, with their seeds.
    seeds = [int(s.generate_state(1, np.uint64)[0]) for s in np.random.SeedSequence(0).spawn(2)]
    figures = compare({
        "one tresk call": lambda: vantrel.tresk(data, y, n_points=4_000, sparse=False, seed=0),
        "tresk_distributed, 2 tasks": lambda: tresk_distributed(data, y, 4_000, tasks=2,
                                                                sparse=False, seed=0),
        "its 2 tasks' tresk calls": lambda: [vantrel.tresk(data, y, n_points=2_000, sparse=False, seed=s)
                                             for s in seeds],
        "before the first task": before_first_task,
    }, args.rounds, args.best)
    report("dense, n=50,000, d=64, 4,000 points, local default", figures, "one tresk call")
    seen = watch_processes_and_shm(lambda: tresk_distributed(data, y, 4_000, tasks=2, sparse=False, seed=0))
    print(f"  during a call: at most {seen[0]} child processes and {seen[1]} new /dev/shm entries")


def watch_processes_and_shm(call) -> tuple[int, int]:
    """Runs call while a thread counts this process's children and the new entries in /dev/shm."""
    import threading

    def children() -> int:
        tasks = f"/proc/{os.getpid()}/task"
        return sum(len(open(f"{tasks}/{t}/children").read().split()) for t in os.listdir(tasks))

    shm_before = set(os.listdir("/dev/shm"))
    most = [0, 0]
    done = threading.Event()

    def watch() -> None:
        while not done.is_set():
            most[0] = max(most[0], children())
            most[1] = max(most[1], len(set(os.listdir("/dev/shm")) - shm_before))
            time.sleep(0.005)

    watcher = threading.Thread(target=watch)
    watcher.start()
    try:
        call()
    finally:
        done.set()
        watcher.join()
    return most[0], most[1]


def part_restart(args) -> None:
    import signal
    import threading

    from distributed import Client, LocalCluster

    data, y = synthetic(50_000, 16)
    kwargs = dict(tasks=4, sparse=False, seed=0, max_iter=100)
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                      silence_logs=50) as cluster, Client(cluster) as client:
        tresk_distributed(data, y, 100, client=client, **kwargs)  # workers warm

        def killed_mid_call() -> None:
            pids = list(client.run(os.getpid).values())

            def kill() -> None:
                while not any(client.processing().values()):
                    time.sleep(0.01)
                time.sleep(0.3)
                for pid in pids:
                    os.kill(pid, signal.SIGKILL)

            killer = threading.Thread(target=kill)
            killer.start()
            tresk_distributed(data, y, 8_000, client=client, **kwargs)
            killer.join()
            client.wait_for_workers(2, timeout=120)

        figures = compare({
            "undisturbed": lambda: tresk_distributed(data, y, 8_000, client=client, **kwargs),
            "every worker killed mid-call": killed_mid_call,
        }, args.rounds, 1)
    report("dense, n=50,000, d=16, 8,000 points, 4 tasks, 2-worker LocalCluster", figures,
           "undisturbed")


def part_cluster(args) -> None:
    from distributed import Client, LocalCluster

    data, y = synthetic(50_000, 64)
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                      silence_logs=40) as cluster, Client(cluster) as client:
        figures = compare({
            "one tresk call (here)": lambda: vantrel.tresk(data, y, n_points=4_000, sparse=False,
                                                           seed=0),
            **{f"LocalCluster, {tasks} tasks": (
                lambda tasks=tasks: tresk_distributed(data, y, 4_000, tasks=tasks, client=client,
                                                      sparse=False, seed=0))
               for tasks in (2, 8)},
        }, args.rounds, args.best)
    report("dense, n=50,000, d=64, 4,000 points, 2-worker LocalCluster", figures,
           "one tresk call (here)")


def part_sparse(args) -> None:
    from sklearn.datasets import load_wine

    data, y = load_wine(return_X_y=True)
    data = (data - data.mean(axis=0)) / data.std(axis=0)
    print(f"\nsparse, wine {data.shape[0]} x {data.shape[1]}, 2,000 pairs requested"
          f" (load average {os.getloadavg()[0]:.2f})")
    for name, call in {
        "one tresk call": lambda seed: vantrel.tresk(data, y, n_points=2_000, seed=seed),
        "tresk_distributed, 4 tasks": lambda seed: tresk_distributed(data, y, 2_000, tasks=4,
                                                                     seed=seed),
    }.items():
        for seed in range(3):
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", RuntimeWarning)
                began = time.perf_counter()
                points = np.asarray(call(seed), dtype=np.float64)
                seconds = time.perf_counter() - began
            pairs = {tuple(p) for p in boundary_pairs(data, y, points)[0].tolist()}
            print(f"  {name:<28} seed {seed}: {len(points):5d} points, {len(pairs):5d} distinct"
                  f" pairs, {seconds:6.2f} s")


PARTS = {"pairs": part_pairs, "spread": part_spread, "cluster": part_cluster, "restart": part_restart,
         "sparse": part_sparse}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--part", choices=list(PARTS), action="append",
                        help="what to measure (default: all)")
    parser.add_argument("--rounds", type=int, default=5, help="rounds (default: 5)")
    parser.add_argument("--best", type=int, default=3, help="runs per round (default: 3)")
    args = parser.parse_args()
    print(f"CPU: {os.cpu_count()} logical cores; vantrel {vantrel.__version__}")
    for part in args.part or list(PARTS):
        PARTS[part](args)


if __name__ == "__main__":
    main()
