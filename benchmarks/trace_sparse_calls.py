"""Per-call trace of sparse mode's default call, to see where slow calls go.

The call is bench_sparse.py's default one (n=5,000, d=16, three classes,
n_points=1000, batch_size=256, max_batches=20), made CALLS times in a row with
a new seed each time (or seed 0 every time with --fixed-seed, so that every
call does the same work) after ten warm-up calls. For every call it records
the wall time, this process's CPU time and involuntary context switches, how
long its threads waited, runnable, for a CPU (the kernel's per-thread
run_delay: a helper or pool thread woken late counts here), the CPU time other
processes used meanwhile and the time the hypervisor stole (both from
/proc/stat), and the huge pages and page faults the call caused (/proc/vmstat:
machine-wide, so other processes' faults count too). It prints the median,
p90, p99 and maximum wall time, and each recorded quantity averaged over the
calls within 1.2 times the median ("fast") and over the others ("slow"): a
quantity that differs between the two is where slow calls go. Linux only.

With --alternate, every call is followed by the same call on one thread (one
BLAS thread, no pool), and the printout adds how often that call was slow
right after a slow and after a fast call, and a line of slow (#) and
fast (.) calls of each kind in order: slow calls that come in runs, at the
same places for both kinds, are the machine's.

The thread counts are the caller's: OPENBLAS_NUM_THREADS for the BLAS,
--no-pool for the worker pool.

Usage: python benchmarks/trace_sparse_calls.py [--calls N] [--no-pool]
       [--fixed-seed] [--alternate] [--json]
"""

from __future__ import annotations

import argparse
import contextlib
import json
import os
import resource
import time
import warnings

import numpy as np
from threadpoolctl import ThreadpoolController

import vantrel

VMSTAT_KEYS = ("thp_fault_alloc", "compact_stall", "pgfault")


def blobs(n, d, classes, spread, seed):
    rng = np.random.default_rng(seed)
    centres = rng.normal(0.0, spread, size=(classes, d))
    labels = rng.integers(0, classes, size=n)
    return centres[labels] + rng.normal(size=(n, d)), labels


def machine_cpu() -> tuple[float, float]:
    """(busy seconds of all CPUs, stolen seconds) since boot."""
    fields = [int(v) for v in open("/proc/stat").readline().split()[1:9]]
    user, nice, system, _idle, _iowait, irq, softirq, steal = fields
    hz = os.sysconf("SC_CLK_TCK")
    return (user + nice + system + irq + softirq) / hz, steal / hz


def vmstat() -> list[int]:
    values = dict(line.split() for line in open("/proc/vmstat"))
    return [int(values.get(k, 0)) for k in VMSTAT_KEYS]


def run_delay_ms() -> float:
    """Time all of this process's threads have waited, runnable, for a CPU."""
    total = 0
    for tid in os.listdir("/proc/self/task"):
        with contextlib.suppress(OSError):  # a thread may end meanwhile
            with open(f"/proc/self/task/{tid}/schedstat") as f:
                total += int(f.read().split()[1])
    return total / 1e6


def one_thread() -> contextlib.AbstractContextManager:
    """Limits the OpenBLAS this module uses (not NumPy's) to one thread."""
    controller = ThreadpoolController()
    ours = [c.filepath for c in controller.lib_controllers if "scipy_openblas32" in c.filepath]
    if not ours:
        raise SystemExit("--alternate: this vantrel does not use scipy-openblas32's OpenBLAS")
    return controller.select(filepath=ours).limit(limits=1)


def traced_call(data: np.ndarray, labels: np.ndarray, parallel: bool, seed: int) -> list[float]:
    v0, r0, m0, d0 = vmstat(), resource.getrusage(resource.RUSAGE_SELF), machine_cpu(), run_delay_ms()
    start = time.perf_counter()
    vantrel.tresk(data, labels, parallel=parallel, seed=seed)
    wall = time.perf_counter() - start
    d1, m1, r1, v1 = run_delay_ms(), machine_cpu(), resource.getrusage(resource.RUSAGE_SELF), vmstat()
    cpu = (r1.ru_utime + r1.ru_stime) - (r0.ru_utime + r0.ru_stime)
    return ([wall * 1e3, cpu * 1e3, r1.ru_nivcsw - r0.ru_nivcsw, d1 - d0,
             max(0.0, (m1[0] - m0[0]) - cpu) / wall, (m1[1] - m0[1]) * 1e3]
            + [b - a for a, b in zip(v0, v1)])


def summary(rows: list[list[float]]) -> dict:
    a = np.array(rows)
    wall = a[:, 0]
    slow = wall > 1.2 * np.median(wall)
    names = ["cpu_ms", "involuntary_switches", "run_delay_ms", "other_processes_cores", "stolen_ms"] + list(VMSTAT_KEYS)
    split = {name: [float(a[~slow, k + 1].mean()), float(a[slow, k + 1].mean()) if slow.any() else None]
             for k, name in enumerate(names)}
    return {"median_ms": float(np.median(wall)), "p90_ms": float(np.percentile(wall, 90)),
            "p99_ms": float(np.percentile(wall, 99)), "max_ms": float(wall.max()),
            "slow_share": float(slow.mean()), "slow_calls": "".join(".#"[int(x)] for x in slow),
            "fast_vs_slow": split}


def trace(calls: int, parallel: bool, fixed_seed: bool, alternate: bool) -> dict:
    data, labels = blobs(5000, 16, 3, 1.5, seed=1)
    warnings.simplefilter("ignore", RuntimeWarning)
    for _ in range(10):
        vantrel.tresk(data, labels, parallel=parallel)
    rows, single = [], []
    for seed in [0] * calls if fixed_seed else range(calls):
        rows.append(traced_call(data, labels, parallel, seed))
        if alternate:
            with one_thread():
                single.append(traced_call(data, labels, False, seed))
    result = {"calls": calls, "parallel": parallel, "fixed_seed": fixed_seed,
              "blas_threads": os.environ.get("OPENBLAS_NUM_THREADS", "default"), **summary(rows)}
    if alternate:
        result["one_thread"] = summary(single)
        threaded = np.array([c == "#" for c in result["slow_calls"]])
        after = np.array([c == "#" for c in result["one_thread"]["slow_calls"]])
        result["one_thread_slow_after"] = {"slow": float(after[threaded].mean()) if threaded.any() else None,
                                           "fast": float(after[~threaded].mean())}
    result["load_average"] = os.getloadavg()
    return result


def print_summary(title: str, r: dict) -> None:
    print(f"{title}: wall ms median {r['median_ms']:.1f}, p90 {r['p90_ms']:.1f} "
          f"({r['p90_ms'] / r['median_ms']:.2f} x median), p99 {r['p99_ms']:.1f}, max {r['max_ms']:.1f}; "
          f"{r['slow_share']:.0%} of calls above 1.2 x median")
    for name, (fast, slow) in r["fast_vs_slow"].items():
        print(f"  {name:24s} fast {fast:9.2f}   slow {'-' if slow is None else f'{slow:9.2f}'}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=300)
    parser.add_argument("--no-pool", action="store_true")
    parser.add_argument("--fixed-seed", action="store_true", help="seed 0 for every call: the same work each time")
    parser.add_argument("--alternate", action="store_true", help="follow every call with the same call on one thread")
    parser.add_argument("--json", action="store_true", help="print one JSON line instead of a table")
    args = parser.parse_args()
    r = trace(args.calls, not args.no_pool, args.fixed_seed, args.alternate)
    if args.json:
        print(json.dumps(r))
        return
    print(f"{r['calls']} calls, pool {'on' if r['parallel'] else 'off'}, BLAS threads {r['blas_threads']}, "
          f"{'seed 0 each time' if r['fixed_seed'] else 'a new seed each time'}, "
          f"load average at the end {r['load_average'][0]:.2f}")
    print_summary("calls", r)
    if "one_thread" in r:
        print_summary("one-thread calls", r["one_thread"])
        after = r["one_thread_slow_after"]
        after_slow = "-" if after["slow"] is None else f"{after['slow']:.0%}"
        print(f"one-thread call slow right after a slow call: {after_slow}, "
              f"after a fast one: {after['fast']:.0%}")
        print("slow calls in order (# slow, . fast), first 100:")
        print(f"  calls      {r['slow_calls'][:100]}")
        print(f"  one thread {r['one_thread']['slow_calls'][:100]}")


if __name__ == "__main__":
    main()
