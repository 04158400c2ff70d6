"""Coverage: how much of the boundary the sampled points reach as the budget grows.

The budget is the number of start points moved: 256 x max_batches in sparse
mode (asked for more pairs than exist, so every batch runs), n_points in
dense mode. Each returned point's pair of rows is recomputed in float64.
Exact counts: in 2-D and 3-D the boundary faces are the Delaunay edges
between rows of different classes; on 30-column data (breast cancer,
standardised) the faces are too many to enumerate, so the exact count is of
boundary rows, from a linear program per row (checked here against Delaunay
on a small 2-D set first).

    python docs/scripts/fig_coverage.py
"""

from __future__ import annotations

import time

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
from scipy.spatial import Delaunay  # noqa: E402
from sklearn.datasets import load_breast_cancer  # noqa: E402
from sklearn.preprocessing import StandardScaler  # noqa: E402

from common import (boundary_pairs, distinct_pairs, exact_boundary_rows, figure_path,  # noqa: E402
                    stamp, tresk, write_result)

BATCH = 256
BATCHES = [1, 2, 4, 8, 16, 32]


def delaunay_faces(data: np.ndarray, y: np.ndarray) -> set[tuple[int, int]]:
    """Pairs of rows of different classes that share a Delaunay edge (a Voronoi face)."""
    faces = set()
    for simplex in Delaunay(data).simplices:
        for a in simplex:
            for b in simplex:
                if a < b and y[a] != y[b]:
                    faces.add((int(a), int(b)))
    return faces


def data_sets():
    rng = np.random.default_rng(0)
    square = rng.uniform(0, 1, size=(1000, 2))
    checker = ((np.floor(square[:, 0] * 3) + np.floor(square[:, 1] * 3)) % 2).astype(int)
    cube = rng.uniform(-1, 1, size=(1000, 3))
    shell = (np.linalg.norm(cube, axis=1) > 0.8).astype(int)
    cancer, cancer_y = load_breast_cancer(return_X_y=True)
    return [("2-D 3 x 3 checkerboard, 1,000 rows", square, checker, "faces"),
            ("3-D ball in a cube, 1,000 rows", cube, shell, "faces"),
            ("breast cancer, standardised, 569 x 30", StandardScaler().fit_transform(cancer),
             cancer_y, "rows")]


def check_oracle() -> None:
    """The per-row linear program agrees with Delaunay on a small 2-D set."""
    rng = np.random.default_rng(1)
    data = rng.uniform(0, 1, size=(40, 2))
    y = (data[:, 0] + 0.3 * np.sin(7 * data[:, 1]) > 0.5).astype(int)
    by_delaunay = np.zeros(len(data), dtype=bool)
    by_delaunay[[i for face in delaunay_faces(data, y) for i in face]] = True
    assert np.array_equal(exact_boundary_rows(data, y), by_delaunay)


def main() -> None:
    check_oracle()
    sets = data_sets()
    fig, axes = plt.subplots(1, len(sets), figsize=(12, 3.8), sharey=True)
    lines = ["Start points moved: 256 x max_batches in sparse mode (`n_points=10**6`, so every"
             " batch runs), `n_points` in dense mode; `seed=0`, other arguments default.", "",
             "| data | exact count | start points | sparse: reached | sparse: time (s) |"
             " dense: reached | dense: time (s) |", "|---|---|---|---|---|---|---|"]
    for ax, (name, data, y, unit) in zip(axes, sets):
        data = np.ascontiguousarray(data, dtype=np.float64)
        if unit == "faces":
            exact = len(delaunay_faces(data, y))
        else:
            exact = int(exact_boundary_rows(data, y).sum())
        curves = {"sparse": [], "dense": []}
        for batches in BATCHES:
            row = [name, f"{exact:,} {unit}", f"{BATCH * batches:,}"]
            for mode, kwargs in [("sparse", {"n_points": 10**6, "max_batches": batches}),
                                 ("dense", {"n_points": BATCH * batches, "sparse": False})]:
                began = time.perf_counter()
                points = tresk(data, y, seed=0, **kwargs)
                seconds = time.perf_counter() - began
                pairs = distinct_pairs(boundary_pairs(data, y, points)[0])
                reached = len(pairs) if unit == "faces" else len({i for p in pairs for i in p})
                curves[mode].append(reached / exact)
                row += [f"{reached:,} ({reached / exact:.1%})", f"{seconds:.2f}"]
            lines.append("| " + " | ".join(row) + " |")
            print(lines[-1], flush=True)
        starts = [BATCH * b for b in BATCHES]
        ax.plot(starts, curves["sparse"], "o-", label="sparse mode")
        ax.plot(starts, curves["dense"], "s--", label="dense mode")
        ax.set_xscale("log", base=2)
        ax.set_title(f"{name}\nexact: {exact:,} boundary {unit}", fontsize=9)
        ax.set_xlabel("start points moved")
        ax.grid(alpha=0.3)
    axes[0].set_ylabel("share of the exact count reached")
    axes[0].set_ylim(0, 1.02)
    axes[0].legend(fontsize=8)
    fig.tight_layout()
    path = figure_path("coverage")
    fig.savefig(path, dpi=100, metadata={"Software": None})
    plt.close(fig)
    print(f"coverage figure: {path} ({stamp()})")
    write_result("coverage", lines)


if __name__ == "__main__":
    main()
