"""The nearest boundary point: robustness radii of held-out digits, and one counterfactual.

scikit-learn's digits (1,797 x 64, pixel values 0 to 16), each column
standardised (the constant columns, always 0, left at 0); 97 rows held out
at random, the other 1,700 the 1-NN classifier's data. For every held-out
row, nearest_boundary gives the nearest point at which the classifier's
prediction changes and its distance, the row's robustness radius. The script
checks each point: a step of 1e-6 of the radius beyond it (away from the
query) is predicted as another digit, and the pair's two rows are as far
from it. It draws the distribution of the radii and one row's counterfactual
(in pixel units) beside the row and the training row that takes over.

    python docs/scripts/fig_nearest.py
"""

from __future__ import annotations

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
from sklearn.datasets import load_digits  # noqa: E402

from common import best_time, figure_path, write_result  # noqa: E402
from vantrel_tools import nearest_boundary  # noqa: E402

HELD_OUT = 97
THRESHOLDS = [0.5, 1.0, 1.5, 2.0, 3.0]


def digits() -> tuple[np.ndarray, ...]:
    """Training rows, labels, held-out rows and labels (standardised), and the column scales."""
    pixels, digit = load_digits(return_X_y=True)
    mean, std = pixels.mean(axis=0), pixels.std(axis=0)
    std = np.where(std > 0, std, 1.0)  # constant columns stay 0
    data = (pixels - mean) / std
    rows = np.random.default_rng(0).permutation(len(data))
    train, test = rows[HELD_OUT:], rows[:HELD_OUT]
    return data[train], digit[train], data[test], digit[test], mean, std


def predict(data: np.ndarray, y: np.ndarray, points: np.ndarray) -> np.ndarray:
    sq = ((points[:, None, :] - data[None, :, :]) ** 2).sum(axis=2)
    return y[np.argmin(sq, axis=1)]


def main() -> None:
    data, y, queries, truth, mean, std = digits()
    seconds, (points, radius, pairs) = best_time(lambda: nearest_boundary(data, y, queries))
    predicted = predict(data, y, queries)
    beyond = queries + (1.0 + 1e-6) * (points - queries)
    changed = predict(data, y, beyond) != predicted
    first = np.linalg.norm(points - data[pairs[:, 0]], axis=1)
    second = np.linalg.norm(points - data[pairs[:, 1]], axis=1)
    assert changed.all() and np.allclose(first, second, rtol=1e-9), "a point is not on the boundary"
    dist = np.sqrt(((queries[:, None, :] - data[None, :, :]) ** 2).sum(axis=2))
    to_row = dist.min(axis=1)
    to_other = np.where(y[None, :] != predicted[:, None], dist, np.inf).min(axis=1)
    right = predicted == truth

    fig, ax = plt.subplots(figsize=(6.4, 3.4))
    bins = np.linspace(0.0, radius.max() * 1.02, 30)
    ax.hist([radius[right], radius[~right]], bins=bins, stacked=True,
            label=["predicted right", "predicted wrong"], color=["tab:blue", "tab:red"])
    ax.set_xlabel("robustness radius (standardised units)")
    ax.set_ylabel("held-out rows")
    ax.legend(frameon=False)
    ax.set_title(f"Digits: distance to the nearest 1-NN boundary point, {HELD_OUT} held-out rows",
                 fontsize=9)
    fig.tight_layout()
    fig.savefig(figure_path("nearest_radius"), dpi=120)
    plt.close(fig)

    # The held-out row of median radius among those predicted right.
    ranked = np.flatnonzero(right)[np.argsort(radius[right])]
    pick = int(ranked[len(ranked) // 2])
    images = [queries[pick], points[pick], data[pairs[pick, 1]], points[pick] - queries[pick]]
    titles = [f"held-out row ({truth[pick]})", f"nearest point where\nthe prediction changes",
              f"training row that takes\nover ({y[pairs[pick, 1]]}, row {pairs[pick, 1]})",
              "change (standardised)"]
    fig, axes = plt.subplots(1, 4, figsize=(8.0, 2.6))
    for k, (ax, image, title) in enumerate(zip(axes, images, titles)):
        if k < 3:
            ax.imshow((image * std + mean).reshape(8, 8), cmap="gray_r", vmin=0, vmax=16)
        else:
            lim = np.abs(image).max()
            ax.imshow(image.reshape(8, 8), cmap="RdBu_r", vmin=-lim, vmax=lim)
        ax.set_title(title, fontsize=8)
        ax.set_xticks([])
        ax.set_yticks([])
    fig.suptitle(f"radius {radius[pick]:.2f}; nearest training row at {to_row[pick]:.2f}", fontsize=9)
    fig.tight_layout()
    fig.savefig(figure_path("nearest_digit"), dpi=120)
    plt.close(fig)

    pixel_change = np.abs((points[pick] - queries[pick]) * std)
    lines = [f"Digits standardised, {len(data)} training rows, {HELD_OUT} held out (seed 0);"
             f" `nearest_boundary` took {seconds * 1e3:.0f} ms for the {HELD_OUT} rows"
             f" ({seconds / HELD_OUT * 1e3:.2f} ms a row, best of 3). Every point checked:"
             " a step of 1e-6 of its radius beyond it changes the prediction.", "",
             "| held-out rows | count | median radius | " +
             " | ".join(f"radius < {t:g}" for t in THRESHOLDS) + " |",
             "|---|---|---|" + "---|" * len(THRESHOLDS)]
    for name, mask in [("all", np.ones(len(radius), dtype=bool)), ("predicted right", right),
                       ("predicted wrong", ~right)]:
        shares = " | ".join(f"{np.mean(radius[mask] < t):.0%}" for t in THRESHOLDS) if mask.any() \
            else " | ".join("-" for _ in THRESHOLDS)
        median = f"{np.median(radius[mask]):.2f}" if mask.any() else "-"
        lines.append(f"| {name} | {mask.sum()} | {median} | {shares} |")
    lines += ["", f"Median distance from a held-out row to its nearest training row"
              f" {np.median(to_row):.2f}, to its nearest training row of another class than the"
              f" prediction {np.median(to_other):.2f}. The row drawn (held-out row {pick},"
              f" a {truth[pick]}): radius {radius[pick]:.2f}, taken over by training row"
              f" {pairs[pick, 1]} (a {y[pairs[pick, 1]]}) from row {pairs[pick, 0]};"
              f" the largest pixel change is {pixel_change.max():.1f} of 16.",
              "", f"The largest radius, {radius.max():.1f}, is of held-out row {np.argmax(radius)},"
              f" whose largest standardised value is {np.abs(queries[np.argmax(radius)]).max():.1f}"
              f" (of the training rows: {np.abs(data).max():.1f})."]
    write_result("nearest", lines)


if __name__ == "__main__":
    main()
