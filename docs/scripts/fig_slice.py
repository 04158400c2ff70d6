"""A slice: the exact 1-NN boundary on the plane of the first two principal axes of digits.

scikit-learn's digits (1,797 x 64), each column standardised (the constant
columns left at 0). boundary_slice cuts the 64-dimensional 1-NN regions
with the plane through the column means spanned by the first two principal
axes. The script checks every segment's midpoint against float64 distances
to all rows in 64 dimensions (its two rows equally near, no row nearer),
then draws the boundary with the tenth of the rows nearest to the plane and,
beside it, the same boundary with tresk's points projected into the view.

    python docs/scripts/fig_slice.py
"""

from __future__ import annotations

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
from sklearn.datasets import load_digits  # noqa: E402

from common import best_time, figure_path, tresk, write_result  # noqa: E402
from vantrel_tools import boundary_slice  # noqa: E402

N_POINTS = 300
SEED = 0
NEAR = 0.1


def main() -> None:
    pixels, y = load_digits(return_X_y=True)
    std = pixels.std(axis=0)
    data = (pixels - pixels.mean(axis=0)) / np.where(std > 0, std, 1.0)
    seconds, view = best_time(lambda: boundary_slice(data, y))
    middle = view.origin + view.segments.mean(axis=1) @ view.basis.T
    dist = np.sqrt(((middle[:, None, :] - data[None, :, :]) ** 2).sum(axis=2))
    rows = np.arange(len(middle))
    first, second = dist[rows, view.pairs[:, 0]], dist[rows, view.pairs[:, 1]]
    worst = float(np.max(np.maximum(first, second) - dist.min(axis=1)) / dist.min())
    assert worst < 1e-9, f"a segment is not on the boundary ({worst:.1e})"
    points = tresk(data, y, n_points=N_POINTS, seed=SEED, sparse=False)
    _, row_offsets = view.project(data)
    _, point_offsets = view.project(points)
    coordinates, _ = view.project(data)
    present = np.unique(y[np.unique(view.pairs)])

    fig, axes = plt.subplots(1, 2, figsize=(11.0, 5.4), constrained_layout=True)
    view.plot(axes[0], data, y, near=NEAR)
    view.plot(axes[1], points=points)
    axes[0].set_title(f"the boundary in the plane, and the {NEAR:.0%} of rows nearest to it",
                      fontsize=9)
    axes[1].set_title(f"the same boundary, and {len(points)} tresk points projected", fontsize=9)
    axes[0].legend(loc="upper right", fontsize=7, ncols=2, markerscale=1.5, title="digit",
                   title_fontsize=7)
    for ax in axes:
        ax.set_xlabel("first principal axis (standardised units)")
    axes[0].set_ylabel("second principal axis")
    fig.suptitle("Digits: a cut through the 64-dimensional 1-NN regions", fontsize=11)
    fig.savefig(figure_path("slice"), dpi=100, metadata={"Software": None})
    plt.close(fig)
    inside = np.all((coordinates >= np.array(view.extent[::2])) &
                    (coordinates <= np.array(view.extent[1::2])), axis=1)
    write_result("slice", [
        f"Digits standardised, {len(data)} rows x {data.shape[1]} columns. `boundary_slice` on"
        f" the plane of the first two principal axes took {seconds * 1e3:.0f} ms (best of 3):"
        f" {len(view.segments)} segments between {len(set(map(tuple, view.pairs.tolist())))}"
        f" distinct pairs of rows; {len(np.unique(view.pairs))} rows and {len(present)} of the 10"
        f" digits have a region in the view ({inside.sum()} rows project into it). Every"
        f" segment's midpoint checked in 64 dimensions: its two rows equally near and no row"
        f" nearer, to {max(worst, 1e-16):.0e} relative.", "",
        f"Distance off the plane (standardised units): rows, median"
        f" {np.median(row_offsets):.1f} (the nearest tenth at most"
        f" {np.quantile(row_offsets, NEAR):.1f}); tresk's {len(points)} points (dense mode, seed"
        f" {SEED}), median {np.median(point_offsets):.1f}, least {point_offsets.min():.1f}."])


if __name__ == "__main__":
    main()
