"""Per-call trace of sparse mode's default call, to see where slow calls go.

The call is bench_sparse.py's default one (n=5,000, d=16, three classes,
n_points=1000, batch_size=256, max_batches=20), made CALLS times in a row with
a new seed each time after ten warm-up calls. For every call it records the
wall time, this process's CPU time and involuntary context switches, the CPU
time other processes used meanwhile and the time the hypervisor stole (both
from /proc/stat), and the huge pages and page faults the call caused
(/proc/vmstat: machine-wide, so other processes' faults count too). It prints
the median, p90, p99 and maximum wall time, and each recorded quantity
averaged over the calls within 1.2 times the median ("fast") and over the
others ("slow"): a quantity that differs between the two is where slow calls
go. Linux only.

The thread counts are the caller's: OPENBLAS_NUM_THREADS for the BLAS,
--no-pool for the worker pool.

Usage: python benchmarks/trace_sparse_calls.py [--calls N] [--no-pool] [--json]
"""

from __future__ import annotations

import argparse
import json
import os
import resource
import time
import warnings

import numpy as np

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


def trace(calls: int, parallel: bool) -> dict:
    data, labels = blobs(5000, 16, 3, 1.5, seed=1)
    warnings.simplefilter("ignore", RuntimeWarning)
    for _ in range(10):
        vantrel.tresk(data, labels, parallel=parallel)
    rows = []
    for seed in range(calls):
        v0, r0, m0 = vmstat(), resource.getrusage(resource.RUSAGE_SELF), machine_cpu()
        start = time.perf_counter()
        vantrel.tresk(data, labels, parallel=parallel, seed=seed)
        wall = time.perf_counter() - start
        m1, r1, v1 = machine_cpu(), resource.getrusage(resource.RUSAGE_SELF), vmstat()
        cpu = (r1.ru_utime + r1.ru_stime) - (r0.ru_utime + r0.ru_stime)
        rows.append([wall * 1e3, cpu * 1e3, r1.ru_nivcsw - r0.ru_nivcsw,
                     max(0.0, (m1[0] - m0[0]) - cpu) / wall, (m1[1] - m0[1]) * 1e3]
                    + [b - a for a, b in zip(v0, v1)])
    a = np.array(rows)
    wall = a[:, 0]
    slow = wall > 1.2 * np.median(wall)
    names = ["cpu_ms", "involuntary_switches", "other_processes_cores", "stolen_ms"] + list(VMSTAT_KEYS)
    split = {name: [float(a[~slow, k + 1].mean()), float(a[slow, k + 1].mean()) if slow.any() else None]
             for k, name in enumerate(names)}
    return {"calls": calls, "parallel": parallel, "blas_threads": os.environ.get("OPENBLAS_NUM_THREADS", "default"),
            "median_ms": float(np.median(wall)), "p90_ms": float(np.percentile(wall, 90)),
            "p99_ms": float(np.percentile(wall, 99)), "max_ms": float(wall.max()),
            "slow_share": float(slow.mean()), "fast_vs_slow": split, "load_average": os.getloadavg()}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=300)
    parser.add_argument("--no-pool", action="store_true")
    parser.add_argument("--json", action="store_true", help="print one JSON line instead of a table")
    args = parser.parse_args()
    r = trace(args.calls, not args.no_pool)
    if args.json:
        print(json.dumps(r))
        return
    print(f"{r['calls']} calls, pool {'on' if r['parallel'] else 'off'}, BLAS threads {r['blas_threads']}, "
          f"load average at the end {r['load_average'][0]:.2f}")
    print(f"wall ms: median {r['median_ms']:.1f}, p90 {r['p90_ms']:.1f}, p99 {r['p99_ms']:.1f}, "
          f"max {r['max_ms']:.1f}; {r['slow_share']:.0%} of calls above 1.2 x median")
    for name, (fast, slow) in r["fast_vs_slow"].items():
        print(f"  {name:24s} fast {fast:9.2f}   slow {'-' if slow is None else f'{slow:9.2f}'}")


if __name__ == "__main__":
    main()
