"""What the guide's scripts share: where results go, the machine stamp, timing,
and the pair of rows a point sits between.

Every script writes its figure to docs/figures/ and its table, as Markdown,
to docs/results/, each headed by the date, CPU and load it was measured
under; running a script again overwrites its outputs.
"""

from __future__ import annotations

import os
import platform
import subprocess
import time
import warnings
from datetime import datetime, timezone
from pathlib import Path

import numpy as np
from scipy.spatial.distance import cdist

import vantrel

DOCS = Path(__file__).resolve().parents[1]
FIGURES = DOCS / "figures"
RESULTS = DOCS / "results"
# Points per block of float64 distances: a block holds at most this many values.
BLOCK_VALUES = 4_000_000


def cpu_model() -> str:
    try:
        out = subprocess.run(["lscpu"], capture_output=True, text=True, check=True).stdout
        for line in out.splitlines():
            if line.startswith("Model name:"):
                return line.split(":", 1)[1].strip()
    except (OSError, subprocess.CalledProcessError):
        pass
    return platform.processor() or "unknown CPU"


def stamp() -> str:
    """One line: when, on what, under which load, with which build."""
    load = os.getloadavg()[0]
    return (f"{datetime.now(timezone.utc):%Y-%m-%d %H:%M} UTC, {cpu_model()}, "
            f"{os.cpu_count()} CPUs, load average {load:.1f} at the start, vantrel {vantrel.__version__}")


def write_result(name: str, lines: list[str]) -> Path:
    """Print a result and write it to docs/results/NAME.md under its stamp."""
    RESULTS.mkdir(exist_ok=True)
    text = "\n".join([f"Measured {stamp()}.", ""] + lines) + "\n"
    path = RESULTS / f"{name}.md"
    path.write_text(text)
    print(text)
    return path


def figure_path(name: str) -> Path:
    FIGURES.mkdir(exist_ok=True)
    return FIGURES / f"{name}.png"


def best_time(call, repeat: int = 3):
    """Best wall time of `repeat` calls, and the last call's result."""
    best = float("inf")
    for _ in range(repeat):
        began = time.perf_counter()
        result = call()
        best = min(best, time.perf_counter() - began)
    return best, result


def tresk(data, y, **kwargs) -> np.ndarray:
    """vantrel.tresk as an (m, d) float64 array, a sparse-mode shortfall not warned."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        points = vantrel.tresk(data, y, **kwargs)
    return np.asarray(points, dtype=np.float64).reshape(-1, data.shape[1])


def boundary_pairs(data: np.ndarray, y: np.ndarray, points: np.ndarray):
    """For each point, its nearest row and nearest row of another class.

    Ranked by exact float64 distances in data units, ties to the lower row.
    Returns `pairs`, (m, 2) int64 with the smaller index first, and `gaps`,
    distance to the farther of the two minus distance to the nearer (0 on the
    boundary).
    """
    data = np.asarray(data, dtype=np.float64)
    y = np.asarray(y)
    points = np.asarray(points, dtype=np.float64).reshape(-1, data.shape[1])
    pairs = np.empty((len(points), 2), dtype=np.int64)
    gaps = np.empty(len(points))
    step = max(1, BLOCK_VALUES // max(1, len(data)))
    for start in range(0, len(points), step):
        dist = np.sqrt(cdist(points[start:start + step], data, "sqeuclidean"))
        rows = np.arange(len(dist))
        nearest = dist.argmin(axis=1)  # argmin keeps the first, the lower index
        other = np.where(y[None, :] != y[nearest][:, None], dist, np.inf).argmin(axis=1)
        pairs[start:start + step] = np.sort(np.stack([nearest, other], axis=1), axis=1)
        gaps[start:start + step] = dist[rows, other] - dist[rows, nearest]
    return pairs, gaps


def distinct_pairs(pairs: np.ndarray) -> set[tuple[int, int]]:
    return {(int(a), int(b)) for a, b in pairs}


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


def exact_boundary_rows(data: np.ndarray, y: np.ndarray) -> np.ndarray:
    """Mask of the rows whose Voronoi cell touches a cell of another class."""
    return np.array([touches_other_class(data, y, i) for i in range(len(data))])
