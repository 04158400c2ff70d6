"""Dense mode against the bare single-precision product it is built on.

For each workload this prints, from one run of the script:
  - tresk(sparse=False, seed=...) wall time, best of a few calls, with the pool
    and without, each round timed back to back with the floor below;
  - the sgemm floor: the same cblas_sgemm calls (same block shapes, same
    OpenBLAS library) repeated for as many sweeps as the run performed, with
    nothing else, best of a few;
  - the plain NumPy reference of the same algorithm (benchmarks/reference_numpy.py);
  - the ratios, and the peak resident memory of a process that makes one call;
  - side by side, alternating round by round in child processes, the same
    calls on a baseline build (--baseline, default build/baseline when
    benchmarks/build_baseline.sh has made it: the module as it was on Debian's
    OpenBLAS 0.3.21), and the speed-up over it;
  - with --busy, everything again while another process keeps one core busy.

The sweep count of a seeded run is recovered from the module itself: k, the
smallest max_iter whose result already equals the final one, is the number of
sweeps if every point sweep k moved moved by at most the tolerance, else the
run made one more sweep that froze points without moving them. When the moves
are too close to the tolerance to tell, the count shows as "k-(k+1)" and the
floor uses k, which can only make the ratio look worse.
Each workload runs in its own subprocess so that ru_maxrss belongs to it.

Usage: python benchmarks/bench_dense.py [--repeat N] [--rounds N] [--quick] [--busy] [--baseline DIR|none]
(the installed module; PYTHONPATH=build/<dir> runs another build as "this build")
"""

from __future__ import annotations

import argparse
import ctypes
import json
import mmap
import os
import pathlib
import resource
import subprocess
import sys
import time

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

from reference_numpy import normalise, tresk_dense_reference  # noqa: E402
from sidebyside import baseline_dir, machine_line, one_core_busy, parse_env, run_child  # noqa: E402

MAX_PRODUCT_ELEMENTS = 8_388_608
MAX_DATA_BLOCK_ROWS = 2048
SEED = 1
TOL = 1e-6  # the default tolerance the runs use

WORKLOADS = {
    "n=10000 d=32 m=2000": (10_000, 32, 2_000),
    "n=2000 d=2 m=5000": (2_000, 2, 5_000),
    "n=10000 d=128 m=2000": (10_000, 128, 2_000),
    "n=20000 d=128 m=1000": (20_000, 128, 1_000),
    "n=2000 d=32 m=2000": (2_000, 32, 2_000),  # small enough for one whole product per sweep
}


def make_data(n: int, d: int, seed: int = 0) -> tuple[np.ndarray, np.ndarray]:
    rng = np.random.default_rng(seed)
    data = rng.normal(size=(n, d)).astype(np.float32)
    labels = np.argmax(data @ rng.normal(size=(d, 3)), axis=1)
    return data, labels


def block_sizes(m: int, n: int) -> tuple[int, int]:
    if m * n <= MAX_PRODUCT_ELEMENTS:
        return m, n
    if n < m:
        w = n if n <= MAX_PRODUCT_ELEMENTS else 2896
    else:
        w = min(max(MAX_PRODUCT_ELEMENTS // m, 1), n, MAX_DATA_BLOCK_ROWS)
    return min(m, MAX_PRODUCT_ELEMENTS // w), w


def huge_page_buffer(count: int) -> tuple[mmap.mmap, np.ndarray]:
    """count float32 values, 2 MiB aligned and offered for huge pages, as the
    module's own product buffer is, so the floor pays no TLB misses it avoids."""
    huge = 2 << 20
    mapping = mmap.mmap(-1, count * 4 + huge)
    if hasattr(mmap, "MADV_HUGEPAGE"):
        mapping.madvise(mmap.MADV_HUGEPAGE)
    raw = np.frombuffer(mapping, dtype=np.uint8)
    offset = (-raw.ctypes.data) % huge
    return mapping, raw[offset:offset + count * 4].view(np.float32)


def module_blas() -> tuple[ctypes.CDLL, str]:
    """The OpenBLAS the imported module links (found by its name among the
    loaded libraries, as the module's loader found it), and its symbol prefix."""
    import vantrel  # noqa: F401  loads the module's BLAS

    for name, prefix in (("libscipy_openblas.so", "scipy_"), ("libopenblas.so.0", "")):
        try:
            return ctypes.CDLL(name, mode=os.RTLD_NOLOAD), prefix
        except OSError:
            continue
    raise RuntimeError("the module's OpenBLAS is not loaded")


def sgemm_floor_runner(points: np.ndarray, data: np.ndarray, sweeps: int):
    """A callable making the run's sgemm calls, sweep after sweep, and nothing else."""
    blas, prefix = module_blas()
    sgemm = getattr(blas, prefix + "cblas_sgemm")
    fp = ctypes.POINTER(ctypes.c_float)
    sgemm.argtypes = [ctypes.c_int] * 6 + [ctypes.c_float, fp, ctypes.c_int, fp, ctypes.c_int,
                                           ctypes.c_float, fp, ctypes.c_int]
    sgemm.restype = None
    m, d = points.shape
    n = data.shape[0]
    r_max, w_max = block_sizes(m, n)
    holder, out = huge_page_buffer(r_max * w_max)
    out_ptr = out.ctypes.data_as(fp)
    calls = []
    for q0 in range(0, m, r_max):
        for j0 in range(0, n, w_max):
            r, c = min(r_max, m - q0), min(w_max, n - j0)
            calls.append((r, c, points[q0:].ctypes.data_as(fp), data[j0:].ctypes.data_as(fp)))

    def run() -> None:
        assert holder  # the mapping lives as long as the runner
        for _ in range(sweeps):
            for r, c, q, x in calls:
                sgemm(101, 111, 112, r, c, d, 1.0, q, d, x, d, 0.0, out_ptr, c)

    return run


def timed(fn) -> float:
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def numpy_floor(points: np.ndarray, data: np.ndarray, sweeps: int, repeat: int) -> float:
    out = np.empty((points.shape[0], data.shape[0]), dtype=np.float32)
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        for _ in range(sweeps):
            np.matmul(points, data.T, out=out)
        best = min(best, time.perf_counter() - start)
    return best


def blas_label() -> str:
    """Version and kernel of the OpenBLAS the imported module links."""
    from threadpoolctl import threadpool_info

    module_blas()
    for lib in threadpool_info():
        # NumPy's and SciPy's own copies live in their .libs folders.
        if lib["internal_api"] == "openblas" and not any(s in lib["filepath"] for s in ("numpy.libs", "scipy.libs")):
            return f"OpenBLAS {lib['version']} ({lib['architecture']}, {lib['num_threads']} threads)"
    return "unknown BLAS"


def time_worker(name: str, repeat: int) -> dict:
    """Best wall time of the seeded dense call with the pool and without."""
    import vantrel

    n, d, m = WORKLOADS[name]
    data, y = make_data(n, d)

    def run(parallel: bool) -> None:
        vantrel.tresk(data, y, n_points=m, sparse=False, seed=SEED, parallel=parallel)

    run(True)  # first call: pool, BLAS threads and pages
    rounds = [(timed(lambda: run(True)), timed(lambda: run(False))) for _ in range(repeat)]
    return {"parallel": min(r[0] for r in rounds), "serial": min(r[1] for r in rounds), "blas": blas_label()}


def worker(name: str, repeat: int) -> dict:
    import vantrel

    n, d, m = WORKLOADS[name]
    data, y = make_data(n, d)

    def run(**kwargs):
        return vantrel.tresk(data, y, n_points=m, sparse=False, seed=SEED, **kwargs)

    rss_before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    final = run(max_iter=100)
    rss_after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss

    # Smallest max_iter k whose result is already the final one.
    lo, hi = 1, 100
    while lo < hi:
        mid = (lo + hi) // 2
        if run(max_iter=mid) == final:
            hi = mid
        else:
            lo = mid + 1
    sweeps = lo
    # Sweep k moved some points; the loop stopped after it only if every such
    # move was within the tolerance (1e-6, squared, data units), else it ran
    # one more sweep that froze them without moving them.
    exact = False
    if sweeps > 1:
        before = np.array(run(max_iter=sweeps - 1), dtype=np.float64)
        largest = float(((np.array(final, dtype=np.float64) - before) ** 2).sum(axis=1).max())
        if largest > TOL * 1.01:
            sweeps, exact = sweeps + 1, True
        elif largest < TOL * 0.99:
            exact = True

    z, _, _ = normalise(data)
    points = np.ascontiguousarray(np.array(final, dtype=np.float32))  # any m x d block of the same size
    floor_run = sgemm_floor_runner(points, z, sweeps)
    # Rounds of back-to-back timings: the best of each, and the median of the
    # per-round ratios, which is steadier on a shared machine.
    rounds = []
    for _ in range(repeat):
        rounds.append((timed(lambda: run(parallel=True)), timed(lambda: run(parallel=False)), timed(floor_run)))
    par, ser, floor = (min(r[k] for r in rounds) for k in range(3))
    paired = float(np.median([r[0] / r[2] for r in rounds]))
    np_floor = numpy_floor(points, z, sweeps, repeat)

    start = time.perf_counter()
    _, ref_sweeps = tresk_dense_reference(data, y, m, seed=SEED)
    ref_time = time.perf_counter() - start

    return {
        "name": name,
        "sweeps": sweeps,
        "sweeps_exact": exact,
        "tresk_parallel": par,
        "tresk_serial": ser,
        "floor": floor,
        "paired_ratio": paired,
        "numpy_floor": np_floor,
        "reference": ref_time,
        "reference_sweeps": ref_sweeps,
        "rss_before_mib": rss_before / 1024,
        "rss_peak_mib": rss_after / 1024,
    }


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--worker")
    parser.add_argument("--time-only", action="store_true")
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--rounds", type=int, default=3, help="alternations of this build and the baseline")
    parser.add_argument("--quick", action="store_true", help="skip the d=128 workloads")
    parser.add_argument("--baseline", help="build folder of the baseline module (default build/baseline if built;"
                                           " 'none' for no baseline)")
    parser.add_argument("--baseline-env", action="append", metavar="KEY=VALUE",
                        help="environment of the baseline's processes, e.g. OPENBLAS_CORETYPE=Prescott")
    parser.add_argument("--busy", action="store_true", help="also run everything with one core kept busy")
    args = parser.parse_args()
    if args.worker:
        result = time_worker(args.worker, args.repeat) if args.time_only else worker(args.worker, args.repeat)
        print(json.dumps(result))
        return

    baseline = baseline_dir(args.baseline)
    names = [w for w in WORKLOADS if not (args.quick and "d=128" in w)]
    print(machine_line())
    for busy in (False, True) if args.busy else (False,):
        print(f"\n== {'one core kept busy by another process' if busy else 'idle machine'}")
        print(f"{'workload':22} {'sweeps':>6} {'par':>7} {'serial':>7} {'floor':>7} {'par/fl':>6} {'ser/fl':>6} "
              f"{'ser/par':>7} {'np ref':>7} {'ref/par':>7} {'MiB':>5} | {'base par':>8} {'base ser':>8} "
              f"{'speed-up':>8}")
        labels = set()
        with one_core_busy(busy):
            for name in names:
                full = run_child([__file__, "--worker", name, "--repeat", str(args.repeat)], None)
                mine, base = [], []
                for _ in range(args.rounds):
                    t = run_child([__file__, "--worker", name, "--time-only", "--repeat", str(args.repeat)], None)
                    mine.append(t)
                    labels.add(f"this build: {t['blas']}")
                    if baseline is not None:
                        b = run_child([__file__, "--worker", name, "--time-only", "--repeat", str(args.repeat)],
                                      baseline, parse_env(args.baseline_env))
                        base.append(b)
                        labels.add(f"baseline: {b['blas']}")
                par = min([full["tresk_parallel"]] + [t["parallel"] for t in mine])
                ser = min([full["tresk_serial"]] + [t["serial"] for t in mine])
                best = min(par, ser)
                count = f"{full['sweeps']}" if full["sweeps_exact"] else f"{full['sweeps']}-{full['sweeps'] + 1}"
                line = (f"{name:22} {count:>6} {par:7.4f} {ser:7.4f} {full['floor']:7.4f} {par / full['floor']:6.2f} "
                        f"{ser / full['floor']:6.2f} {ser / par:7.2f} {full['reference']:7.3f} "
                        f"{full['reference'] / par:7.1f} {full['rss_peak_mib']:5.0f} |")
                if base:
                    bpar = min(b["parallel"] for b in base)
                    bser = min(b["serial"] for b in base)
                    line += f" {bpar:8.4f} {bser:8.4f} {min(bpar, bser) / best:8.2f}"
                print(line, flush=True)
        for label in sorted(labels):
            print(label)
    print("times in seconds, best of all rounds; floor = the run's sgemm calls alone on the same library (its own"
          " threads); par/fl, ser/fl = tresk with the pool / without, over the floor; np ref = plain NumPy version"
          " of the algorithm (its own start points); MiB = peak RSS of a process making one call; speed-up ="
          " baseline's best (pool or not) / this build's best")


if __name__ == "__main__":
    main()
