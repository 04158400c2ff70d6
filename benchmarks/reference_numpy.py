"""Plain NumPy version of the dense boundary search, for comparison.

The same steps as the compiled dense mode: normalise the data by column
midpoints and one global scale, draw start points uniformly in the bounding
box, then sweep: float32 products and scores, nearest row and nearest row of
another class (NaN never wins, ties to the lower index), projection onto
their bisector in float64, convergence on a repeated pair or a squared move of
at most the scaled tolerance. Start points come from NumPy's generator, so the
points differ from the compiled module's; the sweep count is what the
benchmark borrows.
"""

from __future__ import annotations

import numpy as np


def normalise(data: np.ndarray) -> tuple[np.ndarray, np.ndarray, float]:
    x = np.asarray(data, dtype=np.float64)
    lo = x.min(axis=0)
    hi = x.max(axis=0)
    center = 0.5 * lo + 0.5 * hi
    scale = float((hi - lo).max())
    return ((x - center) / scale).astype(np.float32), center, scale


def converge(points: np.ndarray, data: np.ndarray, classes: np.ndarray, tol: float,
             max_iter: int) -> tuple[np.ndarray, np.ndarray, int]:
    """Moves float32 points (m x d) in place; returns points, converged flags, sweeps."""
    m = points.shape[0]
    half = np.float32(0.5) * np.einsum("ij,ij->i", data, data, dtype=np.float32)
    prev_pairs = np.full((m, 2), -1, dtype=np.int64)
    converged = np.zeros(m, dtype=bool)
    tol32 = np.float32(tol)
    sweeps = 0
    while True:
        sweeps += 1
        active = np.flatnonzero(~converged)
        p = points[active]
        scores = p @ data.T - half
        scores[np.isnan(scores)] = -np.inf
        best = np.argmax(scores, axis=1)
        best_class = classes[best]
        scores[classes[None, :] == best_class[:, None]] = -np.inf
        second = np.argmax(scores, axis=1)
        has_pair = scores[np.arange(len(active)), second] > -np.inf
        pairs = np.stack([np.minimum(best, second), np.maximum(best, second)], axis=1)
        repeated = has_pair & np.all(pairs == prev_pairs[active], axis=1)
        move = has_pair & ~repeated

        a = data[best[move]].astype(np.float64)
        b = data[second[move]].astype(np.float64)
        diff = b - a
        mid = diff * 0.5 + a
        q = p[move].astype(np.float64)
        num = ((q - mid) * diff).sum(axis=1)
        den = (diff * diff).sum(axis=1)
        ok = den != 0.0
        t = np.where(ok, num / np.where(ok, den, 1.0), 0.0)
        moved = np.where(ok, (den * t * t).astype(np.float32), np.float32(np.inf))
        q = q - diff * t[:, None]
        rows = active[move]
        points[rows[ok]] = q[ok].astype(np.float32)

        new_flags = repeated.copy()
        new_flags[move] = moved <= tol32
        prev_pairs[active] = np.where(has_pair[:, None], pairs, -1)
        converged[active] = new_flags
        if converged.all() or sweeps >= max_iter:
            return points, converged, sweeps


def tresk_dense_reference(data: np.ndarray, y: np.ndarray, n_points: int, max_iter: int = 100,
                          tol: float = 1e-6, seed: int = 0) -> tuple[np.ndarray, int]:
    """Boundary points in data units and the number of sweeps performed."""
    z, center, scale = normalise(data)
    _, classes = np.unique(np.asarray(y), return_inverse=True)
    rng = np.random.default_rng(seed)
    lo = z.min(axis=0)
    hi = z.max(axis=0)
    start = rng.uniform(lo, hi, size=(n_points, z.shape[1])).astype(np.float32)
    scaled_tol = np.float32((np.sqrt(tol) / scale) ** 2) if tol != 0 else np.float32(0.0)
    points, _, sweeps = converge(start, z, classes, float(scaled_tol), max_iter)
    return points.astype(np.float64) * scale + center, sweeps
