# Type information for the vantrel extension module.
#
# The module is a single compiled file, so these declarations are shipped
# beside it as a stub-only package (vantrel-stubs) that type checkers find in
# site-packages. Keep the signature in step with the binding in src/lib.cpp.
from collections.abc import Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

__all__ = ["tresk"]

__version__: str

def tresk(
    data: npt.NDArray[np.float32] | npt.NDArray[np.float64],
    y: Sequence[int] | npt.NDArray[np.integer[Any]],
    n_points: int = 1000,
    max_iter: int = 100,
    tol: float = 1e-6,
    sparse: bool | np.bool_ = True,
    parallel: bool | np.bool_ = True,
    seed: int | None = None,
    *,
    batch_size: int = 256,
    max_batches: int = 20,
) -> list[list[float]]:
    """Points on the decision boundary of the 1-nearest-neighbour classifier of (data, y).

    Each returned point is (up to the tolerance) equally far from its nearest
    row of ``data`` and from the nearest row of another class. With
    ``sparse=True`` (default) the points lie on distinct neighbouring pairs and
    the list may be shorter than ``n_points`` (a RuntimeWarning says so); with
    ``sparse=False`` exactly ``n_points`` points are returned.

    Points are in the units and the precision of ``data``: float64 values for
    float64 data (since 0.2.0; before, they were rounded to float32), float32
    values for float32 data. The search itself runs in float32 on normalised
    data, so a point's coordinates carry about 1e-7 of the largest column range
    of error, wherever the data lies.
    """
