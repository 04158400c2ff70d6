"""How many rows of a real data set lie on its class boundary?

A row lies on the boundary of the 1-nearest-neighbour classifier when its
Voronoi cell touches the cell of a row of another class. Sparse mode of
vantrel.tresk returns boundary points on distinct neighbouring pairs of rows,
so the rows seen in those pairs estimate the share of boundary rows from
below. This script shows how that estimate settles as the budget (n_points,
max_batches) grows, on data bundled with scikit-learn (nothing is downloaded):
iris (150 x 4) and handwritten digits (1,797 x 64), and prints the exact share
beside it: a linear program per row decides whether the row's Voronoi cell
touches a cell of another class (for every row of small data, for a random
sample of rows of larger data). In high dimensions the sampled points reach
only a part of the boundary, so there the estimate stays far below the exact
share however the budget grows.

The pairs come from vantrel_tools.boundary_pairs (each point's nearest row and
nearest row of another class, in float64), because the module returns points
only.

    python examples/boundary_share.py [--dataset iris|digits|all] [--budgets 50x5,200x20] [--exact-rows 200]
    python examples/boundary_share.py --quick      # iris, small budgets
"""

from __future__ import annotations

import argparse
import sys
import time
import warnings

import numpy as np

try:
    from sklearn.datasets import load_digits, load_iris
except ImportError as err:  # --help still works; main() reports it
    load_digits = load_iris = None
    SKLEARN_IMPORT_ERROR = err

try:
    import vantrel
    from vantrel_tools import boundary_pairs
except ImportError as err:  # --help still works; main() reports it
    vantrel = None
    IMPORT_ERROR = err


DUPLICATE_MESSAGE = "points from different classes are identical after normalization"
DEFAULT_BUDGETS = "100x8,400x32,1600x128,6400x512,25600x2048"
QUICK_BUDGETS = "20x2,60x6"
QUICK_EXACT_ROWS = 40
# Rows checked by the linear program when the data has more: each check takes
# milliseconds to a few tenths of a second on digits.
EXACT_ROWS = 200

LOADERS = {"iris": load_iris, "digits": load_digits}


def parse_budgets(text: str) -> list[tuple[int, int]]:
    budgets = []
    for item in text.split(","):
        n_points, sep, max_batches = item.strip().partition("x")
        if not sep or not n_points.isdigit() or not max_batches.isdigit():
            raise argparse.ArgumentTypeError(f"budget {item!r} is not N_POINTSxMAX_BATCHES")
        if int(n_points) < 1 or int(max_batches) < 1:
            raise argparse.ArgumentTypeError(f"budget {item!r} must be positive")
        budgets.append((int(n_points), int(max_batches)))
    return budgets


def cross_class_duplicates(data: np.ndarray, y: np.ndarray) -> np.ndarray:
    """Mask of rows whose normalised float32 values also occur in another class.

    Uses the module's normalisation (column midpoints, one global scale), so
    rows that only coincide after rounding to float32 are caught as well.
    """
    lo, hi = data.min(axis=0), data.max(axis=0)
    z = ((data - (0.5 * lo + 0.5 * hi)) / (hi - lo).max()).astype(np.float32) + np.float32(0)
    classes_at: dict[bytes, set[int]] = {}
    for row, label in zip(z, y):
        classes_at.setdefault(row.tobytes(), set()).add(int(label))
    return np.array([len(classes_at[row.tobytes()]) > 1 for row in z])


def touches_other_class(data: np.ndarray, y: np.ndarray, i: int) -> bool:
    """Does row i's Voronoi cell share a face with the cell of a row of another class?

    Rows of the other class are tried nearest first. For each candidate j, the
    midpoint test settles it when no row is nearer the midpoint of i and j
    than they are; otherwise a linear program looks for a point equidistant
    from i and j with every other row at least a margin s farther, and
    maximises s (s > 0: a face of full dimension).
    """
    from scipy.optimize import linprog

    v = np.asarray(data, dtype=np.float64) - data[i]  # rows seen from row i
    sq = (v * v).sum(axis=1)
    scale = sq[sq > 0].min()
    others = np.flatnonzero(y != y[i])
    for j in others[np.argsort(sq[others], kind="stable")]:
        mid = 0.5 * v[j]
        to_mid = ((v - mid) ** 2).sum(axis=1)
        rest = np.ones(len(v), dtype=bool)
        rest[[i, j]] = False
        if np.all(to_mid[rest] > 0.25 * sq[j]):
            return True
        # |u - v_k|^2 - |u|^2 >= s for every other row k, = 0 for row j.
        a_ub = np.hstack([2 * v[rest], np.ones((rest.sum(), 1))])
        result = linprog(c=np.r_[np.zeros(v.shape[1]), -1.0], A_ub=a_ub, b_ub=sq[rest],
                         A_eq=np.r_[2 * v[j], 0.0][None, :], b_eq=[sq[j]],
                         bounds=[(None, None)] * v.shape[1] + [(None, scale)], method="highs")
        if result.status == 0 and -result.fun > 1e-9 * scale:
            return True
    return False


def exact_share(data: np.ndarray, y: np.ndarray, max_rows: int, seed: int) -> tuple[float, int]:
    """The share of boundary rows by the linear program, over every row or a
    random sample of max_rows of them; returns (share, rows checked)."""
    rows = np.arange(len(data))
    if len(rows) > max_rows:
        rows = np.random.default_rng(seed).choice(rows, size=max_rows, replace=False)
    return float(np.mean([touches_other_class(data, y, int(i)) for i in rows])), len(rows)


def usable(name: str, data: np.ndarray, y: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """The data set as the module accepts it: rows that coincide across classes removed."""
    try:
        vantrel.tresk(data, y, n_points=1, sparse=False, max_iter=1, seed=0)
        return data, y
    except ValueError as err:
        if str(err) != DUPLICATE_MESSAGE:
            raise
    clash = cross_class_duplicates(data, y)
    print(f"{name}: {int(clash.sum())} rows coincide with a row of another class and were"
          " removed (their class is ambiguous, so the module refuses them)")
    return data[~clash], y[~clash]


def study(name: str, budgets: list[tuple[int, int]], seed: int, exact_rows: int) -> list[dict]:
    data, y = LOADERS[name](return_X_y=True)
    data = np.ascontiguousarray(data, dtype=np.float64)
    y = np.asarray(y, dtype=np.int64)
    data, y = usable(name, data, y)
    n = len(data)
    print(f"\n{name}: {n} rows x {data.shape[1]} columns, {len(np.unique(y))} classes")
    print(f"{'n_points':>9}{'max_batches':>12}{'points':>8}{'pairs':>7}"
          f"{'boundary rows':>15}{'share':>8}{'change':>8}{'time':>9}")
    rows: list[dict] = []
    for n_points, max_batches in budgets:
        began = time.perf_counter()
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always", RuntimeWarning)
            points = vantrel.tresk(data, y, n_points=n_points, max_batches=max_batches,
                                   sparse=True, seed=seed)
        seconds = time.perf_counter() - began
        points = np.asarray(points, dtype=np.float64).reshape(-1, data.shape[1])
        pairs = {(int(a), int(b)) for a, b in boundary_pairs(data, y, points)[0]}
        on_boundary = {i for pair in pairs for i in pair}
        share = len(on_boundary) / n
        short = " (budget ran out)" if caught else ""
        change = f"{share - rows[-1]['share']:+8.3f}" if rows else f"{'':>8}"
        print(f"{n_points:>9}{max_batches:>12}{len(points):>8}{len(pairs):>7}"
              f"{len(on_boundary):>15}{share:>8.3f}{change}{seconds:>8.2f}s{short}",
              flush=True)
        rows.append({"n_points": n_points, "max_batches": max_batches,
                     "points": len(points), "pairs": len(pairs),
                     "boundary_rows": len(on_boundary), "share": share})
    if exact_rows > 0:
        began = time.perf_counter()
        exact, checked = exact_share(data, y, exact_rows, seed)
        which = "every row" if checked == n else f"a random sample of {checked} rows"
        print(f"exact share (a linear program per row, {which}): {exact:.3f}, in"
              f" {time.perf_counter() - began:.1f}s; the last estimate is"
              f" {rows[-1]['share'] / exact:.0%} of it" + (
                  "" if checked == n else f" (sampling error of the exact share about"
                  f" {np.sqrt(max(exact * (1 - exact), 1 / checked) / checked):.3f})"))
    return rows


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        description="Estimate the share of rows on the 1-nearest-neighbour class boundary of"
                    " bundled real data sets with vantrel.tresk, for growing budgets.")
    parser.add_argument("--dataset", choices=["iris", "digits", "all"], default="all",
                        help="data set to study (default: all)")
    parser.add_argument("--budgets", type=parse_budgets, default=None,
                        help="comma-separated N_POINTSxMAX_BATCHES budgets"
                             f" (default: {DEFAULT_BUDGETS})")
    parser.add_argument("--quick", action="store_true",
                        help=f"iris only, budgets {QUICK_BUDGETS}, {QUICK_EXACT_ROWS} rows checked"
                             " exactly (a few seconds)")
    parser.add_argument("--seed", type=int, default=0, help="seed for tresk (default: 0)")
    parser.add_argument("--exact-rows", type=int, default=EXACT_ROWS,
                        help="rows checked exactly by a linear program when the data has more"
                             f" (default: {EXACT_ROWS}; 0 skips the exact share)")
    args = parser.parse_args(argv)
    if vantrel is None:
        sys.exit(f"cannot import vantrel ({IMPORT_ERROR}); install it with: bash scripts/setup.sh")
    if load_iris is None:
        sys.exit(f"cannot import scikit-learn ({SKLEARN_IMPORT_ERROR}); install it with: pip install \".[demo]\"")

    names = ["iris", "digits"] if args.dataset == "all" else [args.dataset]
    budgets = args.budgets or parse_budgets(DEFAULT_BUDGETS)
    if args.quick:
        names = ["iris"] if args.dataset == "all" else names
        budgets = args.budgets or parse_budgets(QUICK_BUDGETS)
        args.exact_rows = min(args.exact_rows, QUICK_EXACT_ROWS)
    print("share = rows that appear in some distinct cross-class neighbouring pair / all rows;"
          " a lower bound on the exact share, printed after each table. It grows with the"
          " budget, but in high dimensions it stays far below the exact share.\n"
          "budget ran out: fewer than n_points distinct pairs turned up within max_batches"
          " (the data may hold fewer).")
    for name in names:
        study(name, budgets, args.seed, args.exact_rows)
    return 0


if __name__ == "__main__":
    sys.exit(main())
