# Which pair of data rows each point sits between: its nearest row and its
# nearest row of another class, ranked by float64 distances in data units.
#
# Ranking every point against every row in float64 would cost a double-
# precision product per block, twice the time of a single-precision one. So a
# float32 product on a centred, scaled copy of each block only shortlists:
# it keeps, per point, every row whose approximate squared distance lies
# within a proven error bound of the second-smallest class minimum (which
# covers both the nearest row and the nearest row of any other class), and
# only the shortlist is measured again in float64 on the caller's values.
# Ties therefore go to the lower row index exactly as a brute-force float64
# search would break them.
#
# Work runs over blocks of rows (outer loop, so each block is converted once)
# and blocks of points (inner loop), each block product at most
# BLOCK_ELEMENTS values; a running "nearest, nearest of another class" state
# per point merges the blocks, so memory stays at a few tens of MiB beyond the
# inputs and the (m,) results, whatever n and m are.
from __future__ import annotations

import numpy as np
import numpy.typing as npt

from ._inputs import checked_inputs, finite

# Values in one block product (8 MiB of float32). With the block's rows in
# float32, its mask and the rows being converted, tracemalloc saw peaks of 30
# to 41 MiB beyond the inputs on 200,000 x 64, 20,000 x 2,000 and
# 1,000,000 x 4 data (the last mostly the labels' class codes, 8 bytes a row).
BLOCK_ELEMENTS = 1 << 21
# Rows per block (128 points share a product). Timed on 50,000 x 64 data and
# 2,000 points with one BLAS thread on a 2-core EPYC (loaded machine, best of
# 3): 128 x 16,384 took 0.28 s, 256 x 4,096 0.33 s, 2,000 x 512 0.30 s; the
# product alone was 0.20 to 0.25 s in each.
ROW_BLOCK = 16_384
# Candidates re-measured in float64 at once (each costs one row of d values).
REFINE_ELEMENTS = 1 << 20
# A point farther than this from the data (in units of its extent) cannot be
# ranked in float32; it is compared with every row in float64 instead.
FAR = 2.0**60
# Unit roundoff of float32 and float64.
U32 = 2.0**-24
U64 = 2.0**-53

ArrayLike = npt.ArrayLike


def boundary_pairs(
    data: ArrayLike, y: ArrayLike, points: ArrayLike
) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.float64]]:
    """The pair of data rows each point lies between, and how close it is.

    For each point: its nearest row of ``data`` and the nearest row whose
    class differs from that row's class, ranked by float64 Euclidean distances
    in data units, ties to the lower row index.

    Parameters
    ----------
    data : array_like, shape (n, d)
        The data set: an array, a DataFrame or nested lists of finite real
        numbers (float32 is kept, other types are measured as float64).
    y : array_like, length n
        Class labels per row: integers, strings, floats, bools or the values
        of a categorical; only equality matters. At least two classes.
    points : array_like, shape (m, d)
        Points, for instance the list of lists ``vantrel.tresk`` returns or an
        array of real numbers; an empty list is zero points.

    Returns
    -------
    pairs : ndarray of int64, shape (m, 2)
        Row indices of the nearest row and of the nearest row of another
        class, the smaller index first.
    gaps : ndarray of float64, shape (m,)
        Distance to the other-class row minus distance to the nearest row:
        0 on the exact boundary, never negative.

    Raises
    ------
    ValueError
        Shapes that do not fit (``data`` not 2-D or empty, ``y`` of another
        length, ``points`` of another width), non-finite values (long double
        data beyond float64's range included), a single class.
    TypeError
        Data or points that are not real numbers (complex, bool, text);
        labels that cannot be compared with each other.

    See Also
    --------
    vantrel.tresk : points on the boundary.
    tresk_distributed : the same search over several processes or machines.

    Examples
    --------
    >>> import numpy as np
    >>> from vantrel_tools import boundary_pairs
    >>> data = np.array([[0.0, 0.0], [2.0, 0.0], [4.0, 0.0]])
    >>> pairs, gaps = boundary_pairs(data, [0, 1, 1], [[1.0, 0.0], [2.5, 0.0]])
    >>> pairs.tolist()
    [[0, 1], [0, 1]]
    >>> gaps.tolist()
    [0.0, 2.0]
    """
    data, codes, points = _checked(data, y, points)
    m, n = len(points), len(data)
    state = _RunningPairs(m)
    # Distances are measured on values times a power of two (exact), so data
    # near the float64 limits neither overflows nor underflows.
    unit = _unit(data, points)
    if m == 0:
        return state.result(unit)
    center, scale = _frame(data)
    row_block = max(1, min(n, ROW_BLOCK, BLOCK_ELEMENTS // (data.shape[1] + 1)))
    point_block = max(1, min(m, BLOCK_ELEMENTS // row_block, BLOCK_ELEMENTS // (data.shape[1] + 1)))
    # One product buffer for all blocks: a fresh 8 MiB array per block costs
    # its page faults again each time.
    buffer = np.empty(point_block * row_block, dtype=np.float32)
    for r0 in range(0, n, row_block):
        rows = _RowBlock(data, codes, r0, min(n, r0 + row_block), center, scale)
        for p0 in range(0, m, point_block):
            p1 = min(m, p0 + point_block)
            best = _block_best(rows, points[p0:p1], center, scale, unit, buffer)
            state.merge(slice(p0, p1), *best)
    return state.result(unit)


def _checked(
    data: ArrayLike, y: ArrayLike, points: ArrayLike
) -> tuple[np.ndarray, npt.NDArray[np.int64], npt.NDArray[np.float64]]:
    """Inputs as arrays, or a clear error."""
    data, codes, _ = checked_inputs(data, y)
    if isinstance(points, np.ndarray) or len(points) > 0:  # type: ignore[arg-type]
        points = np.asarray(points)
        if points.dtype.kind not in "fiu":
            raise TypeError(f"points must hold real numbers, not {points.dtype}")
        points = points.astype(np.float64, copy=False)
    else:
        points = np.empty((0, data.shape[1]))
    if points.ndim != 2 or points.shape[1] != data.shape[1]:
        raise ValueError(f"points must have shape (m, {data.shape[1]}) to match data,"
                         f" not {points.shape}")
    if not finite(points):
        raise ValueError("points must contain only finite values")
    return data, codes, points


def _largest(values: np.ndarray) -> float:
    return max(abs(float(values.min())), abs(float(values.max()))) if values.size else 0.0


def _unit(data: np.ndarray, points: npt.NDArray[np.float64]) -> float:
    """A power of two that brings the largest magnitude of data and points near 1."""
    largest = max(_largest(data), _largest(points))
    # Capped so that the factor itself stays finite for subnormal data.
    return float(np.ldexp(1.0, min(1000, -int(np.frexp(largest)[1])))) if largest > 0 else 1.0


def _frame(data: np.ndarray) -> tuple[npt.NDArray[np.float64], float]:
    """Column midpoints and half the largest column range (1 if all rows coincide)."""
    lo = data.min(axis=0).astype(np.float64)
    hi = data.max(axis=0).astype(np.float64)
    half_range = 0.5 * hi - 0.5 * lo  # halves first: the range itself may overflow
    return 0.5 * lo + 0.5 * hi, float(half_range.max()) or 1.0


def _width(d: int) -> int:
    """Columns of the augmented rows: d values, zeros, |z|^2 last; a multiple of 8.

    With 72 columns instead of 65 the blocked product of 2,000 points and
    50,000 rows took 0.91 s instead of 1.02 s (one BLAS thread, loaded
    2-core EPYC, best of 3); the zeros change no sum.
    """
    return (d + 1 + 7) // 8 * 8


class _RowBlock:
    """Rows [r0, r1) grouped by class, scaled to float32 and augmented for one product.

    Each row z becomes (z, 0..., |z|^2), so that a point q given as (-2q, 0..., 1) yields
    |z|^2 - 2 q.z, its squared distance up to the point's own |q|^2, from the
    product alone.
    """

    def __init__(self, data: np.ndarray, codes: npt.NDArray[np.int64], r0: int, r1: int,
                 center: npt.NDArray[np.float64], scale: float) -> None:
        order = np.argsort(codes[r0:r1], kind="stable")
        self.index = r0 + order  # caller's row index of each column
        self.codes = codes[self.index]
        self.starts = np.flatnonzero(np.r_[True, self.codes[1:] != self.codes[:-1]])
        self.data = data  # the caller's array, for the float64 re-measurement
        z = data[self.index].astype(np.float64)  # a fresh copy, scaled in place
        z -= center
        z /= scale
        self.z = np.zeros((len(order), _width(z.shape[1])), dtype=np.float32)
        self.z[:, :z.shape[1]] = z
        self.z[:, -1] = np.einsum("ij,ij->i", z, z)
        self.radius = float(np.sqrt(self.z[:, -1].max()))


def _block_best(rows: _RowBlock, points: npt.NDArray[np.float64], center: npt.NDArray[np.float64],
                scale: float, unit: float, buffer: npt.NDArray[np.float32]) -> tuple[np.ndarray, ...]:
    """Per point: nearest row of the block and nearest of another class (rows, squared distances, classes)."""
    with np.errstate(over="ignore", invalid="ignore"):
        q = (points - center) / scale
        norm = np.sqrt((q * q).sum(axis=1))
        far = ~(norm <= FAR)
        query = np.zeros((len(q), _width(q.shape[1])), dtype=np.float32)
        query[:, :q.shape[1]] = np.where(far[:, None], 0.0, -2.0 * q)
        query[:, -1] = 1.0
        approx = np.matmul(query, rows.z.T, out=buffer[:len(q) * len(rows.z)].reshape(len(q), -1))
        # Error of each approximate squared distance (in scaled units): the
        # rounding of z and q to float32 and of a (d+1)-term float32 dot
        # product, at most (d + 5) u32 (|z| + |q|)^2, and that of the float64
        # re-measurement, (d + 2) u64 of the same. A row outside the
        # threshold is farther than the shortlisted minimum by more than
        # twice that; a further factor 2 is margin.
        d = q.shape[1]
        bound = 4.0 * ((d + 5) * U32 + (d + 2) * U64) * (rows.radius + norm) ** 2
    class_min = np.minimum.reduceat(approx, rows.starts, axis=1)
    # The smallest class minimum bounds the nearest row, the second smallest
    # the nearest row of any class but the nearest one's.
    second = np.partition(class_min, 1, axis=1)[:, 1] if class_min.shape[1] > 1 else class_min[:, 0]
    # Rounded up to float32, so the comparison runs in the product's type
    # (a float64 threshold would convert the whole block) and keeps every row
    # the float64 threshold keeps.
    threshold = np.nextafter(np.where(far, np.inf, second + bound).astype(np.float32), np.float32(np.inf))
    # Flat indices: a two-dimensional nonzero is several times slower.
    point, column = np.divmod(np.flatnonzero(approx <= threshold[:, None]), approx.shape[1])
    return _refine(rows, points, point, column, unit)


def _refine(rows: _RowBlock, points: npt.NDArray[np.float64], point: np.ndarray, column: np.ndarray,
            unit: float) -> tuple[np.ndarray, ...]:
    """Float64 ranking of the shortlisted (point, column) candidates."""
    dist = np.empty(len(point))
    step = max(1, REFINE_ELEMENTS // points.shape[1])
    for c0 in range(0, len(point), step):
        c = slice(c0, c0 + step)
        diff = rows.data[rows.index[column[c]]].astype(np.float64) * unit - points[point[c]] * unit
        dist[c] = np.einsum("ij,ij->i", diff, diff)
    # Sorted by point, then distance, then row index: the first candidate of
    # a point is its nearest row, ties to the lower index.
    index = rows.index[column]
    order = np.lexsort((index, dist, point))
    point, dist, index, code = point[order], dist[order], index[order], rows.codes[column[order]]
    near = _first_per_point(len(points), point, index, dist, code)
    other = code != near[2][point]
    return near + _first_per_point(len(points), point[other], index[other], dist[other], code[other])


def _first_per_point(m: int, point: np.ndarray, index: np.ndarray, dist: np.ndarray,
                     code: np.ndarray) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Row, squared distance and class of each point's first candidate (-1, inf, -1 for none)."""
    first = np.r_[True, point[1:] != point[:-1]] if len(point) else np.zeros(0, dtype=bool)
    row, best, cls = np.full(m, -1), np.full(m, np.inf), np.full(m, -1)
    at = point[first]
    row[at], best[at], cls[at] = index[first], dist[first], code[first]
    return row, best, cls


class _RunningPairs:
    """Per point: the nearest row so far, and the nearest row of another class so far.

    Blocks arrive in increasing row order, so on equal distance the row
    already held has the lower index and stays.
    """

    def __init__(self, m: int) -> None:
        self.near = np.full(m, -1, dtype=np.int64)
        self.near_dist = np.full(m, np.inf)
        self.near_code = np.full(m, -1, dtype=np.int64)
        self.rival = np.full(m, -1, dtype=np.int64)
        self.rival_dist = np.full(m, np.inf)

    def merge(self, at: slice, *best: np.ndarray) -> None:
        # The block's nearest row and its nearest row of another class are
        # the only rows of the block that can change the state.
        self._insert(at, *best[:3])
        self._insert(at, *best[3:])

    def _insert(self, at: slice, row: np.ndarray, dist: np.ndarray, code: np.ndarray) -> None:
        near, near_dist, near_code = self.near[at], self.near_dist[at], self.near_code[at]
        rival, rival_dist = self.rival[at], self.rival_dist[at]
        nearer = (row >= 0) & (dist < near_dist)
        differs = code != near_code
        # A new nearest row of another class makes the old nearest the rival;
        # otherwise a row of another class may still beat the rival.
        demote = nearer & differs
        promote = ~nearer & (row >= 0) & differs & (dist < rival_dist)
        self.rival[at] = np.where(demote, near, np.where(promote, row, rival))
        self.rival_dist[at] = np.where(demote, near_dist, np.where(promote, dist, rival_dist))
        self.near[at] = np.where(nearer, row, near)
        self.near_dist[at] = np.where(nearer, dist, near_dist)
        self.near_code[at] = np.where(nearer, code, near_code)

    def result(self, unit: float) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.float64]]:
        pairs = np.sort(np.column_stack([self.near, self.rival]), axis=1)
        gaps = (np.sqrt(self.rival_dist) - np.sqrt(self.near_dist)) / unit
        return pairs, gaps
