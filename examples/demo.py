"""Demo: boundary points of a 1-nearest-neighbour classifier on a 2-D data set.

Generates three interleaved spiral classes (seeded), asks vantrel.tresk for
boundary points in sparse and in dense mode, prints what came back and writes
a picture of the data, the returned points and the exact class boundary.

The figures printed come from vantrel_tools.boundary_pairs, which finds each
returned point's nearest data row and nearest row of another class in float64,
independently of the module's own float32 work. The exact boundary of a 2-D data set is the set of
Voronoi edges between rows of different classes, drawn with vantrel_tools.boundary_slice.

    python examples/demo.py [--seed N] [--n-points N] [--output FILE.png]   # default: ./vantrel-demo.png
"""

from __future__ import annotations

import argparse
import os
import re
import sys
import tempfile
import time
import warnings
from pathlib import Path

import numpy as np

try:
    # The picture is written to a file; never open a window.
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.collections import LineCollection
except ImportError as err:  # --help still works; main() reports it
    plt = None
    PLOT_IMPORT_ERROR = err

try:
    import vantrel
    from vantrel_tools import boundary_pairs, boundary_slice
except ImportError as err:  # --help still works; main() reports it
    vantrel = None
    IMPORT_ERROR = err


N_CLASSES = 3
ROWS_PER_CLASS = 150
SPIRAL_TURNS = 1.6
NOISE = 0.045
MAX_POOL_THREADS = 2**32 - 1  # larger values of RAYON_NUM_THREADS are ignored
TOL = 1e-6  # tresk's default: bound on the squared length of a point's last move
DEFAULT_NAME = "vantrel-demo.png"
CLASS_COLOURS = ["#4C72B0", "#DD8452", "#55A868", "#C44E52", "#8172B3"]


class Stages:
    """Prints one line per stage with the time elapsed since the start."""

    def __init__(self) -> None:
        self.start = time.perf_counter()

    def __call__(self, text: str) -> None:
        print(f"[{time.perf_counter() - self.start:6.2f} s] {text}", flush=True)


def make_spirals(seed: int) -> tuple[np.ndarray, np.ndarray]:
    """Interleaved noisy spiral arms, one per class, in roughly [-1, 1]^2."""
    rng = np.random.default_rng(seed)
    rows, labels = [], []
    for k in range(N_CLASSES):
        t = np.sqrt(rng.uniform(0.02, 1.0, ROWS_PER_CLASS))  # even density along the arm
        angle = 2 * np.pi * (SPIRAL_TURNS * t + k / N_CLASSES)
        arm = np.column_stack([t * np.cos(angle), t * np.sin(angle)])
        rows.append(arm + rng.normal(0.0, NOISE, arm.shape))
        labels.append(np.full(ROWS_PER_CLASS, k))
    return np.concatenate(rows), np.concatenate(labels)


def pool_threads() -> int:
    """Threads of the module's worker pool: RAYON_NUM_THREADS, else usable CPUs."""
    match = re.fullmatch(r"\+?([0-9]+)", os.environ.get("RAYON_NUM_THREADS", ""))
    if match and 0 < int(match[1]) <= MAX_POOL_THREADS:
        return int(match[1])
    return len(os.sched_getaffinity(0))


def exact_boundary(data: np.ndarray, y: np.ndarray) -> np.ndarray:
    """The cross-class Voronoi edges as (m, 2, 2) segments, from boundary_slice on
    the data's own plane, cut well beyond the drawing area so that every edge
    is counted."""
    lo, hi = data.min(axis=0), data.max(axis=0)
    far = 4.0 * float(np.max(hi - lo))
    return boundary_slice(data, y, extent=(lo[0] - far, hi[0] + far, lo[1] - far, hi[1] + far)).segments


def duration(seconds: float) -> str:
    return f"{seconds * 1000:.1f} ms" if seconds < 1 else f"{seconds:.2f} s"


def run_mode(label: str, data, y, args, stage: Stages) -> dict:
    sparse = label == "sparse"
    stage(f"{label} mode: tresk(n_points={args.n_points}, sparse={sparse}, seed={args.seed})")
    began = time.perf_counter()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", RuntimeWarning)
        points = vantrel.tresk(data, y, n_points=args.n_points, tol=TOL, sparse=sparse,
                               seed=args.seed)
    seconds = time.perf_counter() - began
    points = np.asarray(points, dtype=np.float64).reshape(-1, data.shape[1])
    pairs, gap = boundary_pairs(data, y, points)
    distinct = len({(int(a), int(b)) for a, b in pairs})
    notes = [str(w.message) for w in caught if issubclass(w.category, RuntimeWarning)]
    stage(f"{label} mode: {len(points)} points in {duration(seconds)}")
    return {"label": label, "points": points, "pairs": distinct, "gap": gap,
            "seconds": seconds, "notes": notes}


def print_summary(results: list[dict], n_ridges: int, extent: float) -> None:
    print()
    print(f"{'mode':<8}{'points':>8}{'distinct pairs':>16}{'largest gap':>14}{'time (s)':>10}")
    for r in results:
        gap = r["gap"].max() / extent if len(r["gap"]) else float("nan")
        print(f"{r['label']:<8}{len(r['points']):>8}{r['pairs']:>16}{gap:>14.1e}"
              f"{r['seconds']:>10.4f}")
    print()
    print(f"cross-class Voronoi edges of the data (most distinct pairs possible): {n_ridges}")
    print("largest gap: max over points of (distance to the nearest row of another class"
          " - distance to the nearest row), relative to the data's extent. A point stops"
          f" once its last move was at most sqrt(tol) long, so with tol={TOL:g} gaps up to"
          f" about {2 * np.sqrt(TOL) / extent:.1e} are expected")
    print(f"worker pool threads: {pool_threads()}"
          " (RAYON_NUM_THREADS, else the CPUs this process may use)")
    for r in results:
        for note in r["notes"]:
            print(f"note ({r['label']} mode): {note}")


def draw(data, y, segments, results, path: Path, seed: int) -> None:
    lo, hi = data.min(axis=0), data.max(axis=0)
    pad = 0.04 * (hi - lo)
    fig, axes = plt.subplots(1, len(results), figsize=(6.2 * len(results), 6.4),
                             constrained_layout=True)
    for ax, r in zip(np.atleast_1d(axes), results):
        for k in range(N_CLASSES):
            rows = data[y == k]
            ax.scatter(rows[:, 0], rows[:, 1], s=11, color=CLASS_COLOURS[k], alpha=0.55,
                       linewidths=0, label=f"class {k}")
        ax.add_collection(LineCollection(segments, colors="#333333", linewidths=0.9,
                                         alpha=0.8, label="exact boundary", zorder=2))
        pts = r["points"]
        ax.scatter(pts[:, 0], pts[:, 1], s=16, marker="o", facecolors="none",
                   edgecolors="black", linewidths=0.9, zorder=3,
                   label=f"returned points ({len(pts)})")
        ax.set_xlim(lo[0] - pad[0], hi[0] + pad[0])
        ax.set_ylim(lo[1] - pad[1], hi[1] + pad[1])
        ax.set_aspect("equal")
        ax.set_xticks([])
        ax.set_yticks([])
        for side in ax.spines.values():
            side.set_color("#bbbbbb")
        ax.set_title(f"{r['label']} mode: {len(pts)} points on {r['pairs']} distinct pairs"
                     f" ({duration(r['seconds'])})", fontsize=12)
    handles, names = np.atleast_1d(axes)[0].get_legend_handles_labels()
    names = [name.split(" (")[0] for name in names]  # counts differ per panel
    fig.legend(handles, names, loc="outside lower center", ncols=len(names), fontsize=10,
               frameon=False, markerscale=1.5)
    fig.suptitle(f"1-nearest-neighbour decision boundary found by vantrel.tresk"
                 f" ({len(data)} rows, seed {seed})", fontsize=14)
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=110)
    plt.close(fig)


def default_output() -> Path:
    """The picture's default path: the current folder, or the temporary one when
    the current folder is not writable (a read-only checkout, say)."""
    folder = Path.cwd()
    if not os.access(folder, os.W_OK):
        folder = Path(tempfile.gettempdir())
    return folder / DEFAULT_NAME


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        description="Find points on the 1-nearest-neighbour decision boundary of a seeded"
                    " 2-D data set with vantrel.tresk (sparse and dense mode), print a"
                    " summary and write a PNG picture.")
    parser.add_argument("--seed", type=int, default=7,
                        help="seed for the data set and for tresk (default: 7)")
    parser.add_argument("--n-points", type=int, default=150,
                        help="boundary points requested in each mode (default: 150)")
    parser.add_argument("--output", type=Path, default=None,
                        help=f"PNG file to write (default: {DEFAULT_NAME} in the current folder, or in the "
                             "temporary folder when the current one is not writable)")
    args = parser.parse_args(argv)
    if args.output is None:
        args.output = default_output()
    if vantrel is None:
        sys.exit(f"cannot import vantrel ({IMPORT_ERROR}); install it with: bash scripts/setup.sh")
    if plt is None:
        sys.exit(f"cannot import matplotlib ({PLOT_IMPORT_ERROR}); install it with: pip install \".[demo]\"")
    if args.n_points < 1:
        parser.error("--n-points must be at least 1")
    if args.seed < 0:
        parser.error("--seed must be non-negative")

    stage = Stages()
    data, y = make_spirals(args.seed)
    stage(f"data: {len(data)} rows, {data.shape[1]} columns, {N_CLASSES} interleaved classes")
    results = [run_mode(label, data, y, args, stage) for label in ("sparse", "dense")]
    stage("exact boundary: Voronoi edges between rows of different classes")
    segments = exact_boundary(data, y)
    print_summary(results, len(segments), float(np.ptp(data, axis=0).max()))
    print()
    stage("drawing")
    draw(data, y, segments, results, args.output, args.seed)
    stage(f"picture written to {args.output}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
