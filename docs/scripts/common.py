"""What the guide's scripts share: where results go, the machine stamp, timing,
and the exact boundary rows.

Every script writes its figure to docs/figures/ and its table, as Markdown,
to docs/results/, each headed by the date, CPU and load it was measured
under; running a script again overwrites its outputs.
"""

from __future__ import annotations

import os
import platform
import subprocess
import sys
import time
import warnings
from datetime import datetime, timezone
from pathlib import Path

import numpy as np

import vantrel
from vantrel_tools import boundary_pairs  # noqa: F401 - the scripts take it from here

DOCS = Path(__file__).resolve().parents[1]
FIGURES = DOCS / "figures"
RESULTS = DOCS / "results"
# The exact per-row check is the example's own (examples/boundary_share.py).
sys.path.insert(0, str(DOCS.parent / "examples"))
from boundary_share import touches_other_class  # noqa: E402


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


def distinct_pairs(pairs: np.ndarray) -> set[tuple[int, int]]:
    return {(int(a), int(b)) for a, b in pairs}


def exact_boundary_rows(data: np.ndarray, y: np.ndarray) -> np.ndarray:
    """Mask of the rows whose Voronoi cell touches a cell of another class."""
    return np.array([touches_other_class(data, y, i) for i in range(len(data))])
