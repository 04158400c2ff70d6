"""How preprocessing changes what a call reaches, on two bundled data sets.

The search measures Euclidean distance on the columns as given and draws its
start points uniformly in the data's bounding box, so scaling, whitening and
dimensionality reduction change both the boundary and how much of it a fixed
budget reaches. For each variant: one sparse-mode call with the same budget
and seed, the distinct pairs of rows its points sit between (recomputed in
float64), the share of rows that appear in a pair, the call's time, and for
breast cancer the exact share of rows whose Voronoi cell touches another
class (a linear program per row).

    python docs/scripts/table_preparation.py
"""

from __future__ import annotations

import time

import numpy as np
from sklearn.datasets import load_breast_cancer, load_digits
from sklearn.decomposition import PCA
from sklearn.preprocessing import MinMaxScaler, StandardScaler

from common import boundary_pairs, distinct_pairs, exact_boundary_rows, tresk, write_result

BUDGET = {"n_points": 5000, "max_batches": 20, "seed": 0}  # 20 x 256 start points at most


def variants(data: np.ndarray) -> list[tuple[str, np.ndarray]]:
    return [
        ("as given", data),
        ("MinMaxScaler (each column to [0, 1])", MinMaxScaler().fit_transform(data)),
        ("StandardScaler", StandardScaler().fit_transform(data)),
        ("PCA, 10 components", PCA(10, random_state=0).fit_transform(data)),
        ("PCA, 10 components, whitened", PCA(10, whiten=True, random_state=0).fit_transform(data)),
        ("StandardScaler, then PCA 10, whitened",
         PCA(10, whiten=True, random_state=0).fit_transform(StandardScaler().fit_transform(data))),
    ]


def main() -> None:
    lines = [f"Sparse mode, `n_points={BUDGET['n_points']}, max_batches={BUDGET['max_batches']}`"
             f" (at most {BUDGET['max_batches'] * 256:,} start points), `seed=0`; one call each.", "",
             "| data set | preprocessing | columns | points | distinct pairs | rows reached |"
             " exact boundary rows | widest column / median column range | time (s) |",
             "|---|---|---|---|---|---|---|---|---|"]
    for name, loader, exact in [("digits", load_digits, False),
                                ("breast cancer", load_breast_cancer, True)]:
        raw, y = loader(return_X_y=True)
        for label, data in variants(raw.astype(np.float64)):
            data = np.ascontiguousarray(data)
            began = time.perf_counter()
            points = tresk(data, y, **BUDGET)
            seconds = time.perf_counter() - began
            pairs = distinct_pairs(boundary_pairs(data, y, points)[0])
            reached = len({i for pair in pairs for i in pair}) / len(data)
            exact_share = f"{exact_boundary_rows(data, y).mean():.1%}" if exact else "not computed"
            ranges = np.ptp(data, axis=0)
            spread = ranges.max() / np.median(ranges[ranges > 0])
            lines.append(f"| {name} ({len(data)} rows) | {label} | {data.shape[1]} | {len(points):,} |"
                         f" {len(pairs):,} | {reached:.1%} | {exact_share} | {spread:.1f} |"
                         f" {seconds:.2f} |")
            print(lines[-1], flush=True)
    write_result("preparation", lines)


if __name__ == "__main__":
    main()
