# The inputs every vantrel_tools function takes, turned into what the
# computations need: one place for what counts as data and as labels.
#
# Data: any array-like of real numbers (an array, a DataFrame, nested
# lists; integers, float16, long double). float32 stays float32, as tresk
# computes on it without loss; everything else becomes float64, the type
# every result is measured in. Complex, boolean and text data are refused,
# and so is long double data that float64 cannot hold (it would turn into
# infinities far from where the caller put it).
#
# Labels: anything NumPy can compare and sort (integers, floats, strings,
# bools, the values of a categorical), factorised into class codes 0..k-1
# in the order of the sorted distinct labels. Only equality matters to every
# function here, so two labellings with the same classes give the same
# results.
from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt

Data = npt.NDArray[np.float32] | npt.NDArray[np.float64]
Codes = npt.NDArray[np.int64]


def checked_inputs(data: Any, y: Any) -> tuple[Data, Codes, np.ndarray]:
    """Data as float32 or float64, labels as codes, and the distinct labels; or a clear error.

    Raises ``TypeError`` or ``ValueError`` naming ``data`` or ``y``: data
    that is not a non-empty two-dimensional array of finite real numbers,
    labels of another length, not comparable with each other, or of a single
    class.
    """
    array = as_data(data)
    codes, classes = as_labels(y)
    if len(codes) != len(array):
        raise ValueError(f"y has length {len(codes)} but data has {len(array)} rows")
    if len(classes) < 2:
        raise ValueError("y must contain at least two different classes")
    return array, codes, classes


def as_data(data: Any, name: str = "data") -> Data:
    """A non-empty 2-D array of finite values: float32 kept, other real types as float64."""
    array = np.asarray(data)
    if array.dtype.kind == "O":  # e.g. a DataFrame of mixed column types
        try:
            array = np.asarray(data, dtype=np.float64)
        except (TypeError, ValueError):
            raise TypeError(f"{name} must hold real numbers, not {_kind(data)}") from None
    if array.dtype.kind not in "fiu":
        raise TypeError(f"{name} must hold real numbers, not {array.dtype}")
    if array.ndim != 2 or array.shape[0] == 0 or array.shape[1] == 0:
        raise ValueError(f"{name} must be a non-empty two-dimensional array, not of shape {array.shape}")
    if not finite(array):
        raise ValueError(f"{name} must contain only finite values")
    if array.dtype == np.float32 or array.dtype == np.float64:
        return array
    with np.errstate(over="ignore"):
        converted = array.astype(np.float64)
    if not finite(converted):
        raise ValueError(f"{name} holds values beyond the range of float64 ({array.dtype})")
    return converted


def as_labels(y: Any) -> tuple[Codes, np.ndarray]:
    """Class codes 0..k-1 (int64) and the distinct labels, sorted, that they stand for."""
    if isinstance(y, str):
        raise TypeError("y must be a sequence of labels, one per row, not a str")
    labels = np.frombuffer(y, dtype=np.uint8) if isinstance(y, bytes) else np.asarray(y)
    if labels.ndim != 1:
        raise ValueError(f"y must be one-dimensional, not of shape {labels.shape}")
    if labels.dtype.kind == "c":
        raise TypeError(f"y must hold labels that can be ordered, not {labels.dtype}")
    try:
        classes, codes = np.unique(labels, return_inverse=True)
    except TypeError as err:  # e.g. strings mixed with numbers, or None
        raise TypeError(f"y must hold labels that can be compared with each other ({err})") from None
    return codes.reshape(-1).astype(np.int64), classes


def as_points(points: Any, d: int, name: str = "points") -> npt.NDArray[np.float64]:
    """Points of width d as float64, an empty sequence as zero points; or a clear error."""
    if not isinstance(points, np.ndarray) and hasattr(points, "__len__") and len(points) == 0:
        return np.empty((0, d))
    try:
        array = np.asarray(points)
    except ValueError:  # rows of different lengths
        raise ValueError(f"{name} must have shape (m, {d}) to match data, not rows of"
                         " different lengths") from None
    if array.dtype.kind not in "fiu":
        raise TypeError(f"{name} must hold real numbers, not {array.dtype}")
    if array.ndim != 2 or array.shape[1] != d:
        raise ValueError(f"{name} must have shape (m, {d}) to match data, not {array.shape}")
    with np.errstate(over="ignore"):  # long double beyond float64 becomes inf, refused below
        converted = array.astype(np.float64, copy=False)
    if not finite(converted):
        raise ValueError(f"{name} must contain only finite values")
    return converted


def finite(values: np.ndarray) -> bool:
    """No NaN or infinity, found by two reductions instead of a mask as large as values."""
    return values.size == 0 or bool(np.isfinite(values.min()) and np.isfinite(values.max()))


def _kind(value: Any) -> str:
    return type(value).__name__
