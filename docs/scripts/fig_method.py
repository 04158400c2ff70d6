"""The method in a picture: start points, their paths sweep by sweep, the boundary.

A seeded call is reproducible bit for bit, so the path of a start point is
the same call repeated with max_iter = 1, 2, 3, ...: each result is where
the points stand after that many sweeps (a converged point stays put).

Start points are not returned, but the draw depends only on the seed, the
number of points and the data's bounding box. Two calls on data sets of two
rows each, at opposite corners of the same box, move the same start points
onto two known, crossing lines (the bisectors of the two diagonals), and the
two feet give each start point back. The script checks the recovered start
points against the first sweep on the real data before it draws them.

    python docs/scripts/fig_method.py
"""

from __future__ import annotations

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
from matplotlib.collections import LineCollection  # noqa: E402

from common import boundary_pairs, figure_path, tresk, write_result  # noqa: E402
from demo import exact_boundary  # noqa: E402  (examples/, on the path through common)

SEED = 4
N_POINTS = 12
SWEEPS = 8


def make_data() -> tuple[np.ndarray, np.ndarray]:
    rng = np.random.default_rng(7)
    data = rng.uniform(0.0, 1.0, size=(40, 2))
    y = (data[:, 1] > 0.5 + 0.25 * np.sin(2 * np.pi * data[:, 0])).astype(int)
    return data, y


def start_points(data: np.ndarray) -> np.ndarray:
    """The start points of a seeded dense call on `data`, from two corner-pair calls."""
    lo, hi = data.min(axis=0), data.max(axis=0)
    feet, normals, offsets = [], [], []
    for a, b in [(lo, hi), (np.array([lo[0], hi[1]]), np.array([hi[0], lo[1]]))]:
        corners = np.array([a, b])
        feet.append(tresk(corners, [0, 1], n_points=N_POINTS, max_iter=1, sparse=False, seed=SEED))
        normals.append((b - a) / np.linalg.norm(b - a))
        offsets.append(normals[-1] @ (0.5 * (a + b)))
    # A start point s has foot f = s - (n.s - c) n on each line, so s = f + t n:
    # solve f1 + t1 n1 = f2 + t2 n2 for every point.
    n1, n2 = normals
    matrix = np.stack([n1, -n2], axis=1)
    t = np.linalg.solve(matrix, (feet[1] - feet[0]).T)
    return feet[0] + t[0][:, None] * n1


def first_sweep(start: np.ndarray, data: np.ndarray, y: np.ndarray) -> np.ndarray:
    """Each start point projected onto the bisector of its pair, in float64."""
    pairs, _ = boundary_pairs(data, y, start)
    a, b = data[pairs[:, 0]], data[pairs[:, 1]]
    normal = (b - a) / np.linalg.norm(b - a, axis=1, keepdims=True)
    along = ((start - 0.5 * (a + b)) * normal).sum(axis=1, keepdims=True)
    return start - along * normal


def main() -> None:
    data, y = make_data()
    start = start_points(data)
    paths = [start] + [tresk(data, y, n_points=N_POINTS, max_iter=k, sparse=False, seed=SEED)
                       for k in range(1, SWEEPS + 1)]
    error = np.abs(first_sweep(start, data, y) - paths[1]).max()
    assert error < 1e-5, f"recovered start points disagree with the first sweep by {error:.2e}"
    paths = np.stack(paths, axis=1)  # (points, sweeps + 1, 2)
    sweeps_moved = [int(np.sum(np.any(np.abs(np.diff(p, axis=0)) > 0, axis=1))) for p in paths]
    _, gaps = boundary_pairs(data, y, paths[:, -1])

    fig, ax = plt.subplots(figsize=(6.4, 6.4))
    ax.add_collection(LineCollection(exact_boundary(data, y), colors="0.35", linewidths=1.2,
                                     label="1-NN class boundary"))
    for label, colour, marker in [(0, "tab:blue", "o"), (1, "tab:orange", "s")]:
        rows = data[y == label]
        ax.scatter(rows[:, 0], rows[:, 1], c=colour, marker=marker, s=36, edgecolors="k",
                   linewidths=0.5, label=f"rows of class {label}", zorder=3)
    for path in paths:
        ax.plot(path[:, 0], path[:, 1], "-", color="tab:green", lw=1.0, zorder=4)
        ax.plot(path[1:-1, 0], path[1:-1, 1], ".", color="tab:green", ms=5, zorder=4)
    ax.scatter(paths[:, 0, 0], paths[:, 0, 1], marker="x", c="k", s=40, zorder=5,
               label="start points")
    ax.scatter(paths[:, -1, 0], paths[:, -1, 1], marker="*", c="tab:red", s=110,
               edgecolors="k", linewidths=0.4, zorder=6, label=f"after {SWEEPS} sweeps")
    ax.plot([], [], "-", color="tab:green", label="path, a dot per sweep")
    lo, hi = data.min(axis=0), data.max(axis=0)
    ax.add_patch(plt.Rectangle(lo, *(hi - lo), fill=False, ls=":", color="0.5",
                               label="bounding box of the data"))
    pad = 0.06
    ax.set_xlim(lo[0] - pad, hi[0] + pad)
    ax.set_ylim(lo[1] - pad, hi[1] + pad)
    ax.set_aspect("equal")
    ax.legend(loc="upper center", bbox_to_anchor=(0.5, -0.06), ncol=3, fontsize=8, frameon=False)
    ax.set_title(f"tresk, dense mode: {N_POINTS} start points, seed {SEED}", fontsize=10)
    fig.tight_layout()
    path = figure_path("method")
    fig.savefig(path, dpi=110, metadata={"Software": None})
    plt.close(fig)
    write_result("method", [
        f"{len(data)} rows, {N_POINTS} start points, seed {SEED}. Start points recovered to within"
        f" {error:.1e} of the first sweep. Sweeps in which a point moved, per point:"
        f" {', '.join(map(str, sorted(sweeps_moved)))}. After {SWEEPS} sweeps the largest gap"
        f" (distance to the other row minus distance to the nearest) is {gaps.max():.1e}."])

if __name__ == "__main__":
    main()
