"""Are the returned points a margin? Distance from test points to the nearest
returned point, against an upper bound on the true distance to the boundary.

For a test point x predicted as class c by the 1-NN classifier of the
training rows, the segment from x to the nearest training row of another
class crosses the boundary; 40 steps of bisection on the predicted class
along it find a boundary point b, so |x - b| bounds x's distance to the
boundary from above. A margin estimated from the sampled points,
min |x - p|, should not be larger than that bound; the ratio says how much
larger it is.

    python docs/scripts/table_margin.py
"""

from __future__ import annotations

import numpy as np
from scipy.spatial.distance import cdist
from sklearn.datasets import load_breast_cancer, load_digits
from sklearn.decomposition import PCA
from sklearn.preprocessing import StandardScaler

from common import tresk, write_result

STEPS = 40


def predict(train, labels, x):
    return labels[cdist(x, train, "sqeuclidean").argmin(axis=1)]


def bisection_distance(train, labels, x):
    """|x - b| for a boundary point b on the way to the nearest row of another class."""
    c = predict(train, labels, x)
    dist = cdist(x, train, "sqeuclidean")
    target = train[np.where(labels[None, :] != c[:, None], dist, np.inf).argmin(axis=1)]
    lo, hi = np.zeros(len(x)), np.ones(len(x))
    for _ in range(STEPS):
        mid = 0.5 * (lo + hi)
        same = predict(train, labels, x + mid[:, None] * (target - x)) == c
        lo, hi = np.where(same, mid, lo), np.where(same, hi, mid)
    return lo * np.linalg.norm(target - x, axis=1)


def main() -> None:
    lines = ["Training rows: 70% of the rows (random split, seed 0); test rows: the rest."
             " Sparse mode, `n_points=20_000`, `seed=0`, other arguments default.", "",
             "| data | max_batches | points returned | median ratio | share of test rows with ratio <= 1 |",
             "|---|---|---|---|---|"]
    rng = np.random.default_rng(0)
    digits, digits_y = load_digits(return_X_y=True)
    cancer, cancer_y = load_breast_cancer(return_X_y=True)
    for name, data, y in [
            ("breast cancer, standardised (30 columns)", StandardScaler().fit_transform(cancer),
             cancer_y),
            ("digits, PCA 10 whitened", PCA(10, whiten=True, random_state=0).fit_transform(digits),
             digits_y)]:
        order = rng.permutation(len(data))
        cut = int(0.7 * len(data))
        train, test = np.ascontiguousarray(data[order[:cut]]), data[order[cut:]]
        labels = y[order[:cut]]
        bound = bisection_distance(train, labels, test)
        for max_batches in (10, 80):
            points = tresk(train, labels, n_points=20_000, max_batches=max_batches, seed=0)
            sampled = np.sqrt(cdist(test, points, "sqeuclidean").min(axis=1))
            ratio = sampled / bound
            lines.append(f"| {name} | {max_batches} | {len(points):,} | {np.median(ratio):.2f} |"
                         f" {np.mean(ratio <= 1.0):.1%} |")
            print(lines[-1], flush=True)
    write_result("margin", lines)


if __name__ == "__main__":
    main()
