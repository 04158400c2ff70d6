"""Cost: how the time of a dense call grows with rows, columns, points and sweeps.

Each sweep multiplies every point with every data row in single precision
(converged points too; only the scan after the product skips them), so a
call costs about sweeps x points x rows x columns, where sweeps is how many
the call makes (until its slowest point converges, at most max_iter), plus
fixed costs (checking and normalising the data, row norms, the first use of
the thread pools) that do not grow with points or sweeps. With max_iter=1
every call makes exactly one sweep, which isolates the product term; the
sweeps series and the sweep count check the model on one call; the last part
predicts a large call from small ones and compares with the measured time.

    python docs/scripts/table_cost.py
"""

from __future__ import annotations

import numpy as np

from common import best_time, tresk, write_result

BASE = {"n": 20_000, "d": 32, "m": 1_000}
ROUNDS = 3
REPEAT = 5  # best of, for the table: the machine may be shared
SWEEP_LIMIT = 16


def blobs(n: int, d: int, seed: int = 0) -> tuple[np.ndarray, np.ndarray]:
    """Three Gaussian classes with overlapping centres, float64."""
    rng = np.random.default_rng(seed)
    y = np.arange(n) % 3
    centres = rng.normal(scale=1.5, size=(3, d))
    return centres[y] + rng.normal(size=(n, d)), y


def timed(n: int, d: int, m: int, max_iter: int, repeat: int = 3) -> float:
    data, y = blobs(n, d)
    seconds, _ = best_time(lambda: tresk(data, y, n_points=m, max_iter=max_iter, sparse=False,
                                         seed=0), repeat)
    return seconds


def main() -> None:
    lines = [f"Dense mode on three Gaussian classes, `seed=0`, best of {REPEAT} calls.", "",
             "| rows n | columns d | points m | max_iter | time (s) |"
             " ns per point x row x column (one sweep) |", "|---|---|---|---|---|---|"]

    def row(n, d, m, max_iter, seconds):
        per = f"{seconds / (n * d * m) * 1e9:.3f}" if max_iter == 1 else ""
        lines.append(f"| {n:,} | {d} | {m:,} | {max_iter} | {seconds:.3f} | {per} |")
        print(lines[-1], flush=True)

    cases = ([(n, BASE["d"], BASE["m"], 1) for n in (5_000, 10_000, 20_000, 40_000)]
             + [(BASE["n"], d, BASE["m"], 1) for d in (8, 16, 64, 128, 256)]
             + [(BASE["n"], BASE["d"], m, 1) for m in (1, 250, 500, 2_000)]
             + [(BASE["n"], BASE["d"], BASE["m"], k) for k in (2, 4, 8, 16, 100)])
    by_columns = {}
    for n, d, m, max_iter in cases:
        seconds = timed(n, d, m, max_iter, REPEAT)
        row(n, d, m, max_iter, seconds)
        if (n, m, max_iter) == (BASE["n"], BASE["m"], 1):
            by_columns[d] = seconds

    # One sweep = a product (per point, row and column) + a scan of its scores (per
    # point and row, whatever d is): fit time = a + b d over the columns series.
    columns = np.array(sorted(by_columns))
    slope, intercept = np.polyfit(columns, [by_columns[d] for d in columns], 1)
    per = BASE["n"] * BASE["m"]
    lines += ["", f"Straight line through the columns series (n={BASE['n']:,}, m={BASE['m']:,},"
              f" one sweep): {intercept:.3f} s + {slope * 1e3:.2f} ms per column, that is"
              f" {slope / per * 1e9:.3f} ns per point x row x column plus"
              f" {intercept / per * 1e9:.2f} ns per point x row; the two are equal at"
              f" d = {intercept / slope:.0f}."]

    # Sweeps a call makes: every sweep multiplies all m points (converged ones
    # too) with all rows, and the call ends one sweep after the last point moved,
    # when that point finds its pair unchanged. Count the points that moved in each
    # sweep from the same seeded call with max_iter = 1, 2, 3, ...
    data, y = blobs(BASE["n"], BASE["d"])
    after = [tresk(data, y, n_points=BASE["m"], max_iter=k, sparse=False, seed=0)
             for k in range(1, SWEEP_LIMIT + 1)]
    moved = [int(np.any(b != a, axis=1).sum()) for a, b in zip(after, after[1:])]
    sweeps = 2 + max((k for k, count in enumerate(moved) if count), default=-1) + 1
    one_sweep = timed(BASE["n"], BASE["d"], BASE["m"], 1, REPEAT)
    full = timed(BASE["n"], BASE["d"], BASE["m"], 100, REPEAT)
    lines += ["", f"Sweeps of the call n={BASE['n']:,}, d={BASE['d']}, m={BASE['m']:,}: points"
              f" that moved in sweeps 2 to {SWEEP_LIMIT}: {', '.join(map(str, moved))}; so the"
              f" call makes {sweeps} sweeps.",
              f"One sweep took {one_sweep:.3f} s (the max_iter=1 call), so {sweeps} full sweeps"
              f" would take {one_sweep * sweeps:.3f} s; the call with max_iter=100 took"
              f" {full:.3f} s (later sweeps scan only the points still searching)."]

    # Predicting a large call: from fewer points (a line through two small calls) or
    # from all the points on a random subsample of the rows (time grows with rows).
    n, d, m = 100_000, 32, 2_000
    data, y = blobs(n, d)
    subsample = np.random.default_rng(1).permutation(n)

    everything = np.arange(n)
    calls = {"m250": (everything, 250), "m500": (everything, 500),
             "rows8": (np.sort(subsample[:n // 8]), m), "rows4": (np.sort(subsample[:n // 4]), m),
             "full": (everything, m)}
    # Round-robin, best of ROUNDS: a load that changes during the run hits every call alike.
    best = dict.fromkeys(calls, float("inf"))
    for _ in range(ROUNDS):
        for key, (rows, points) in calls.items():
            subset, labels = np.ascontiguousarray(data[rows]), y[rows]
            seconds, _ = best_time(lambda: tresk(subset, labels, n_points=points, sparse=False,
                                                 seed=0), 1)
            best[key] = min(best[key], seconds)
    few = {250: best["m250"], 500: best["m500"]}
    slope = (few[500] - few[250]) / 250
    part = {8: best["rows8"], 4: best["rows4"]}
    measured = best["full"]
    lines += ["", f"Predicting the call n={n:,}, d={d}, m={m:,} (default max_iter;"
              f" calls round-robin, best of {ROUNDS}):", "",
              "| from | small call(s) (s) | predicted (s) | predicted / measured |", "|---|---|---|---|"]
    for label, small, predicted in [
            ("m=250, times 8", f"{few[250]:.3f}", few[250] * 8),
            ("m=250 and m=500, straight line", f"{few[250]:.3f}, {few[500]:.3f}",
             few[250] + slope * (m - 250)),
            (f"{n // 8:,} random rows, m={m:,}, times 8", f"{part[8]:.3f}", part[8] * 8),
            (f"{n // 4:,} random rows, m={m:,}, times 4", f"{part[4]:.3f}", part[4] * 4)]:
        lines.append(f"| {label} | {small} | {predicted:.3f} | {predicted / measured:.2f} |")
    lines += ["", f"Measured: {measured:.3f} s."]
    write_result("cost", lines)


if __name__ == "__main__":
    main()
