"""Offset data, float32 and float64: how far returned points are from the boundary.

400 rows in 2-D, spread 100, two classes split by a diagonal, shifted by an
offset; dense mode, 500 points, tol=0. For every point, float64 brute force
of (distance to the nearest row of another class) - (distance to the nearest
row), in data units; 0 is on the boundary. The search itself is exact in its
normalised space; what the offset costs is the rounding of the returned
values. "float32-valued" says whether every returned value is a float32
value (a build that returns float64 points for float64 data says "no").

    python docs/scripts/table_offset.py
"""

from __future__ import annotations

import numpy as np

from common import boundary_pairs, tresk, write_result

OFFSETS = [0.0, 1e4, 1e6, 1e8, 1.7e9]


def main() -> None:
    rng = np.random.default_rng(0)
    base = rng.uniform(0, 100, size=(400, 2))
    y = (base[:, 0] > base[:, 1]).astype(int)
    lines = ["Dense mode, 500 points, `tol=0`, `seed=0`; gap = distance to the other row minus"
             " distance to the nearest row, float64, in data units.", "",
             "| offset | dtype | median gap | largest gap | float32-valued |", "|---|---|---|---|---|"]
    for offset in OFFSETS:
        for dtype in (np.float64, np.float32):
            data = (base + offset).astype(dtype)
            try:
                points = tresk(data, y, n_points=500, sparse=False, tol=0.0, seed=0)
            except ValueError as err:  # rows that float32 cannot tell apart
                lines.append(f"| {offset:g} | {np.dtype(dtype).name} | refused: `{err}` | | |")
                print(lines[-1], flush=True)
                continue
            _, gaps = boundary_pairs(data.astype(np.float64), y, points)
            single = bool(np.all(points.astype(np.float32).astype(np.float64) == points))
            lines.append(f"| {offset:g} | {np.dtype(dtype).name} | {np.median(gaps):.2g} |"
                         f" {gaps.max():.2g} | {'yes' if single else 'no'} |")
            print(lines[-1], flush=True)
    write_result("offset", lines)


if __name__ == "__main__":
    main()
