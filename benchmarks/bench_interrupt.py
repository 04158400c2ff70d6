"""How fast Ctrl-C stops a call, and what the interrupt checks cost.

On the data sets of benchmarks/bench_dense.py (same n, d and labels):

1. Latency. 20 times per workload, mode (dense, sparse) and pool (on, off): a
   long call starts, a timer thread sends SIGINT to the process at a random
   moment 0.2-0.6 s in (as a terminal's Ctrl-C would), and the time from the
   signal to the KeyboardInterrupt in the caller is taken. Dense calls ask for
   25 times the workload's point count with tol=0, sparse calls for 200,000
   pairs with no practical batch limit, so each would run for seconds.
   Prints the median and the worst.
2. Cost. A call of roughly a second on the workload's data (dense: 10 m
   points; sparse: 10 m pairs, at most 200 batches), timed alternately from
   the main thread, which checks for signals, and from a second thread, which
   does not (Python runs signal handlers only in the main thread, so such
   calls get no check at all): alone, and while one or two other Python
   threads run CPU-bound loops, when every check has to wait for the
   interpreter lock (one switch interval with one such thread, often several
   with two). The ratio of the median main-thread time to the median
   second-thread time is printed; the second-thread call shares the machine
   with the same loops, so the ratio is the cost of the checks, not of the
   loops.

Usage: PYTHONPATH=build/<dir> python benchmarks/bench_interrupt.py [--rounds N] [--interrupts N] [--quick]
"""

from __future__ import annotations

import argparse
import os
import pathlib
import random
import signal
import statistics
import sys
import threading
import time
import warnings

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

from bench_dense import WORKLOADS, make_data  # noqa: E402

import vantrel  # noqa: E402

SEED = 1


def long_call(data, y, m: int, sparse: bool, parallel: bool):
    if sparse:
        return vantrel.tresk(data, y, n_points=200_000, sparse=True, parallel=parallel, seed=SEED,
                             max_batches=10**9)
    return vantrel.tresk(data, y, n_points=25 * m, max_iter=1_000, tol=0.0, sparse=False, parallel=parallel,
                         seed=SEED)


def cost_call(data, y, m: int, sparse: bool):
    """Long enough that the lock taken back once on return, up to a few switch
    intervals with busy threads, is small next to the checks being measured."""
    if sparse:
        return vantrel.tresk(data, y, n_points=10 * m, sparse=True, parallel=True, seed=SEED, max_batches=200)
    return vantrel.tresk(data, y, n_points=10 * m, sparse=False, parallel=True, seed=SEED)


def interrupt_latencies(data, y, m: int, sparse: bool, parallel: bool, count: int, rng: random.Random) -> list[float]:
    latencies = []
    for _ in range(count):
        sent = []
        delay = rng.uniform(0.2, 0.6)

        def fire():
            time.sleep(delay)
            sent.append(time.monotonic())
            os.kill(os.getpid(), signal.SIGINT)

        timer = threading.Thread(target=fire, daemon=True)
        timer.start()
        try:
            long_call(data, y, m, sparse, parallel)
            raise RuntimeError("a long call ended before the signal")
        except KeyboardInterrupt:
            latencies.append(time.monotonic() - sent[0])
        timer.join()
    return latencies


def timed_in_main(call) -> float:
    start = time.perf_counter()
    call()
    return time.perf_counter() - start


def timed_in_thread(call) -> float:
    elapsed = []
    worker = threading.Thread(target=lambda: elapsed.append(timed_in_main(call)))
    worker.start()
    worker.join()
    return elapsed[0]


class BusyThreads:
    """Python threads that spin on the interpreter lock until stopped."""

    def __init__(self, count: int) -> None:
        self.stop = False
        self.threads = [threading.Thread(target=self.spin, daemon=True) for _ in range(count)]

    def spin(self) -> None:
        x = 0
        while not self.stop:
            x += 1

    def __enter__(self):
        for t in self.threads:
            t.start()
        return self

    def __exit__(self, *exc) -> None:
        self.stop = True
        for t in self.threads:
            t.join()


def cost_ratio(call, rounds: int) -> tuple[float, float, float]:
    """Median time from the main thread over median time from a second thread,
    and the two medians, over alternating rounds. (A ratio per round is worse:
    with busy threads each time gains 0 or up to one switch interval at random,
    where the call takes the lock back to return, so the ratios scatter.)"""
    main_times, thread_times = [], []
    for _ in range(rounds):
        main_times.append(timed_in_main(call))
        thread_times.append(timed_in_thread(call))
    main_median, thread_median = statistics.median(main_times), statistics.median(thread_times)
    return main_median / thread_median, main_median, thread_median


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--interrupts", type=int, default=20)
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--quick", action="store_true", help="skip the d=128 workload")
    parser.add_argument("--part", choices=["latency", "cost", "all"], default="all")
    args = parser.parse_args()
    warnings.simplefilter("ignore", RuntimeWarning)  # sparse shortfalls
    rng = random.Random(0)
    names = [w for w in WORKLOADS if not (args.quick and "d=128" in w)]

    if args.part in ("latency", "all"):
        print(f"latency from SIGINT to KeyboardInterrupt, {args.interrupts} interrupts each, seconds")
        print(f"{'workload':22} {'mode':7} {'pool':5} {'median':>8} {'worst':>8}")
        for name in names:
            n, d, m = WORKLOADS[name]
            data, y = make_data(n, d)
            for sparse in (False, True):
                for parallel in (True, False):
                    lat = interrupt_latencies(data, y, m, sparse, parallel, args.interrupts, rng)
                    print(f"{name:22} {'sparse' if sparse else 'dense':7} {'on' if parallel else 'off':5} "
                          f"{statistics.median(lat):8.4f} {max(lat):8.4f}", flush=True)

    if args.part in ("cost", "all"):
        print(f"\ncost of the checks: median time of {args.rounds} main-thread calls / of {args.rounds} second-thread calls")
        columns = " ".join(f"{label:>7} {'main s':>8} {'2nd s':>8}" for label in ("alone", "busy 1", "busy 2"))
        print(f"{'workload':22} {'mode':7} {columns}")
        for name in names:
            n, d, m = WORKLOADS[name]
            data, y = make_data(n, d)
            for sparse in (False, True):
                call = lambda: cost_call(data, y, m, sparse)  # noqa: E731
                call()  # warm-up: pool, page faults
                cells = []
                for busy in (0, 1, 2):
                    with BusyThreads(busy):
                        ratio, main_time, thread_time = cost_ratio(call, args.rounds)
                    cells.append(f"{ratio:7.3f} {main_time:8.4f} {thread_time:8.4f}")
                print(f"{name:22} {'sparse' if sparse else 'dense':7} {' '.join(cells)}", flush=True)
        print("alone: no other Python thread; busy 1, busy 2: that many Python threads spinning in loops"
              f" meanwhile; switch interval {sys.getswitchinterval() * 1000:.0f} ms")


if __name__ == "__main__":
    main()
