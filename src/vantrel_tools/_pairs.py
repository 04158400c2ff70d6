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
#
# Exact and near ties (points at the centre of a circle of rows, rows
# repeated many times) would shortlist whole blocks, so: equal points are
# ranked once; once a block's shortlists grow long, each class keeps only the
# rows near its own minimum; a point still holding many rows of a block is
# shortlisted again by a float64 product, whose bound is some 10^8 times
# tighter; if that leaves many, the block drops every row that repeats an
# earlier row of its class (at an equal distance the earlier one wins, as
# nearest and as nearest of another class alike); and candidates are ranked
# a group of points at a time. With 100,000 rows and 1,000 points
# (benchmarks/bench_pairs_ties.py, one BLAS thread, 2-core EPYC with the
# other core busy, median of 7 best-of-3) points at the centre of a circle
# of rows took 0.03 to 0.05 s, points 1e-9 from it 0.17 to 0.22 s, nine
# distinct rows repeated 0.06 to 0.07 s, Gaussian data 0.06 to 0.09 s; the
# ties took 1.5 to 31 s and up to 178 MiB before, now at most 28 MiB.
from __future__ import annotations

from collections.abc import Iterable, Iterator
from typing import Any

import numpy as np
import numpy.typing as npt

from ._inputs import as_points, checked_inputs
from ._progress import checked_flag, progress_of

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
# Candidates ranked at once: a block's points go in groups whose shortlists
# add up to at most this (or one point's), so long shortlists cost time, not
# memory. With 30 points 1e20 away from 100,000 x 8 Gaussian data (every
# row a candidate; one BLAS thread, 2-core EPYC, other core busy, median of
# 3 best-of-3) 2^14 took 0.125 s and 8.1 MiB at peak, 2^15 0.120 s and
# 10.2 MiB, 2^16 0.135 s and 15.9 MiB, 2^17 0.220 s and 27.5 MiB.
CANDIDATES = 1 << 15
# A point with more candidates than this in one block is shortlisted again
# with a float64 product; if it still has more, the block's repeated rows go.
# Timed likewise (median of 5) on 100,000 rows on a unit circle in 2-D and
# 1,000 points near its centre: 1e-4 away (about 630 float32 candidates per
# point and block) 256 took 0.135 s, 512 0.155 s, 1,024 0.25 s, no second
# product 0.28 s (1e-9 away: 0.145 s against 3.1 s); 1e-3 away (about 200)
# 256 took 0.134 s, none 0.122 s; 1e-2 away (about 64) 0.095 s and 0.081 s.
HEAVY = 256
# A point farther than this from the data (in units of its extent) cannot be
# ranked in float32; it is compared with every row in float64 instead.
FAR = 2.0**60
# Unit roundoff of float32 and float64.
U32 = 2.0**-24
U64 = 2.0**-53

ArrayLike = npt.ArrayLike


def boundary_pairs(
    data: ArrayLike, y: ArrayLike, points: ArrayLike, *, progress: bool = False
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
    progress : bool, default False
        Show a bar of the blocks (row blocks x point blocks) done and the
        time left, on stderr; pass True in interactive sessions.

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
        labels that cannot be compared with each other. A ``progress``
        that is not a bool.

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
    show = checked_flag(progress)
    data, codes, points = _checked(data, y, points)
    m, n = len(points), len(data)
    state = _RunningPairs(m)
    # Distances are measured on values times a power of two (exact), so data
    # near the float64 limits neither overflows nor underflows.
    unit = _unit(data, points)
    if m == 0:
        return state.result(unit)
    # Equal points have equal answers: each is ranked once (points all at one
    # spot would otherwise each shortlist the same tied rows).
    points, inverse = _distinct(points)
    m, state = len(points), _RunningPairs(len(points))
    center, scale = _frame(data)
    row_block = max(1, min(n, ROW_BLOCK, BLOCK_ELEMENTS // (data.shape[1] + 1)))
    point_block = max(1, min(m, BLOCK_ELEMENTS // row_block, BLOCK_ELEMENTS // (data.shape[1] + 1)))
    # One product buffer for all blocks: a fresh 8 MiB array per block costs
    # its page faults again each time.
    buffer = np.empty(point_block * row_block, dtype=np.float32)
    blocks = -(-n // row_block) * -(-m // point_block)
    with progress_of(show, "boundary_pairs", blocks, "blocks") as bar:
        for r0 in range(0, n, row_block):
            r1 = min(n, r0 + row_block)
            rows = _RowBlock(data, codes, r0 + np.argsort(codes[r0:r1], kind="stable"), center, scale)
            for p0 in range(0, m, point_block):
                p1 = min(m, p0 + point_block)
                best = _block_best(rows, points[p0:p1], center, scale, unit, buffer)
                state.merge(slice(p0, p1), *best)
                bar.advance()
    pairs, gaps = state.result(unit)
    return pairs[inverse], gaps[inverse]


def _checked(
    data: ArrayLike, y: ArrayLike, points: ArrayLike
) -> tuple[np.ndarray, npt.NDArray[np.int64], npt.NDArray[np.float64]]:
    """Inputs as arrays, or a clear error."""
    data, codes, _ = checked_inputs(data, y)
    points = as_points(points, data.shape[1])
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


def _distinct(points: npt.NDArray[np.float64]) -> tuple[npt.NDArray[np.float64], np.ndarray]:
    """The distinct points in order of first appearance, and where each given point is among them."""
    # Points rarely repeat; sorting one column shows when they cannot (0.01
    # ms instead of the full sort's 1.9 ms on 2,000 x 64 points).
    column = np.sort(points[:, 0])
    if not (column[1:] == column[:-1]).any():
        return points, np.arange(len(points))
    _, first, inverse = np.unique(points, axis=0, return_index=True, return_inverse=True)
    order = np.argsort(first)
    rank = np.empty_like(order)
    rank[order] = np.arange(len(order))
    return points[first[order]], rank[inverse.reshape(-1)]


class _RowBlock:
    """Rows of one block grouped by class, scaled to float32 and augmented for one product.

    Each row z becomes (z, 0..., |z|^2), so that a point q given as (-2q, 0..., 1) yields
    |z|^2 - 2 q.z, its squared distance up to the point's own |q|^2, from the
    product alone.
    """

    def __init__(self, data: np.ndarray, codes: npt.NDArray[np.int64], index: np.ndarray,
                 center: npt.NDArray[np.float64], scale: float) -> None:
        self.data = data  # the caller's array, for the float64 re-measurement
        self.all_codes, self.center, self.scale = codes, center, scale
        self.repeats_checked = False  # whether repeated rows were looked for
        self.crowded = False  # whether some point had a long shortlist
        self._build(index)

    def _build(self, index: np.ndarray) -> None:
        self.index = index  # caller's row index of each column, grouped by class
        self.codes = self.all_codes[index]
        self.starts = np.flatnonzero(np.r_[True, self.codes[1:] != self.codes[:-1]])
        self.z = _augmented(self._scaled(), np.float32)
        self.radius = float(np.sqrt(self.z[:, -1].max()))
        self._z64: np.ndarray | None = None

    def _scaled(self) -> npt.NDArray[np.float64]:
        # A fresh copy, scaled in place.
        z: npt.NDArray[np.float64] = self.data[self.index].astype(np.float64)
        z -= self.center
        z /= self.scale
        return z

    def float64(self) -> np.ndarray:
        """The augmented rows in float64, made when first asked for."""
        if self._z64 is None:
            self._z64 = _augmented(self._scaled(), np.float64)
        return self._z64

    def drop_repeats(self) -> bool:
        """Keep only the first of rows of one class with equal values; whether any went.

        A later copy is never an answer: the first is as near, of the same
        class, and has the lower index.
        """
        self.repeats_checked = True
        values = self.data[self.index]
        # Stable, so equal rows stay in column order: grouped by class, lowest
        # index first.
        order = np.lexsort(values.T[::-1])
        values, codes = values[order], self.codes[order]
        repeat = (codes[1:] == codes[:-1]) & (values[1:] == values[:-1]).all(axis=1)
        if not repeat.any():
            return False
        self._build(self.index[np.sort(order[np.r_[True, ~repeat]])])
        return True


def _columns(d: int, dtype: type) -> int:
    """Columns of augmented float32 (see _width) or float64 rows.

    The float64 product goes unpadded: 64 x 16,384 products with 9 columns
    took 0.50 ms, with 16 0.74 ms, and 1,000 points near the centre of a
    circle of 100,000 rows in 8-D 0.19 s instead of 0.22 s (one BLAS
    thread, 2-core EPYC, other core busy, median of 7 best-of-3).
    """
    return _width(d) if dtype == np.float32 else d + 1


def _augmented(z: npt.NDArray[np.float64], dtype: type) -> np.ndarray:
    """Rows (z, 0..., |z|^2) in dtype, |z|^2 summed in float64."""
    out: np.ndarray = np.zeros((len(z), _columns(z.shape[1], dtype)), dtype=dtype)
    out[:, :z.shape[1]] = z
    out[:, -1] = np.einsum("ij,ij->i", z, z)
    return out


def _query(q: npt.NDArray[np.float64], dtype: type) -> np.ndarray:
    """Points (-2q, 0..., 1) in dtype, the other side of the augmented product."""
    out: np.ndarray = np.zeros((len(q), _columns(q.shape[1], dtype)), dtype=dtype)
    out[:, :q.shape[1]] = -2.0 * q
    out[:, -1] = 1.0
    return out


def _block_best(rows: _RowBlock, points: npt.NDArray[np.float64], center: npt.NDArray[np.float64],
                scale: float, unit: float, buffer: npt.NDArray[np.float32]) -> tuple[np.ndarray, ...]:
    """Per point: nearest row of the block and nearest of another class (rows, squared distances, classes)."""
    with np.errstate(over="ignore", invalid="ignore"):
        q = (points - center) / scale
        norm = np.sqrt((q * q).sum(axis=1))
        far = ~(norm <= FAR)
        q[far] = 0.0
        reach = (rows.radius + norm) ** 2
    n = len(rows.z)
    approx = np.matmul(_query(q, np.float32), rows.z.T, out=buffer[:len(q) * n].reshape(len(q), n))
    # Error of each approximate squared distance (in scaled units): the
    # rounding of z and q to float32 and of a (d+1)-term float32 dot product,
    # at most (d + 5) u32 (|z| + |q|)^2, and that of the float64
    # re-measurement, (d + 2) u64 of the same. A row outside the threshold is
    # farther than the shortlisted minimum by more than twice that; a further
    # factor 2 is margin.
    d = q.shape[1]
    remeasured = (d + 2) * U64
    bound = np.where(far, np.inf, 4.0 * ((d + 5) * U32 + remeasured) * reach)
    mask = _shortlist(approx, rows.starts, bound, per_class=rows.crowded)
    if not rows.crowded:  # the usual case: short shortlists, ranked at once
        # Flat indices: a two-dimensional nonzero is several times slower.
        # They run point by point, so they also give each point's count.
        flat = np.flatnonzero(mask)
        counts = np.diff(np.searchsorted(flat, np.arange(len(q) + 1) * n))
        if len(flat) <= CANDIDATES and not (counts[~far] > HEAVY).any():
            return _refine(rows, points, [np.divmod(flat, n)], unit)
        # Long shortlists: from now on this block's are narrowed per class
        # and counted first (listing every row of a block took 0.77 ms,
        # counting 0.10 ms, 128 x 16,384).
        rows.crowded = True
        del flat
        mask = _shortlist(approx, rows.starts, bound, per_class=True)
    counts = _row_counts(mask)
    heavy = np.flatnonzero((counts > HEAVY) & ~far)
    if len(heavy):
        # Rows within float32 rounding of one another (near ties): a float64
        # product shortlists them again, its error from z and q computed in
        # float64 (2 u64 each), |z|^2 (d u64) and the dot product ((d + 1)
        # u64) at most (2d + 5) u64 (|z| + |q|)^2, with the same margins. It
        # writes over the float32 product, whose mask is taken.
        z = rows.float64()
        bound = 4.0 * ((2 * d + 5) * U64 + remeasured) * reach
        room = len(buffer) // 2
        step = max(1, room // n)
        for h0 in range(0, len(heavy), step):
            h = heavy[h0:h0 + step]
            out = buffer[:2 * len(h) * n].view(np.float64) if len(h) * n <= room else np.empty(len(h) * n)
            approx64 = np.matmul(_query(q[h], np.float64), z.T, out=out.reshape(len(h), n))
            mask[h] = again = _shortlist(approx64, rows.starts, bound[h], per_class=True)
            counts[h] = _row_counts(again)
        # Still many: exact ties, most often repeated rows. Dropping them
        # once per block (a sort of the block) is then cheaper than ranking
        # them.
        if not rows.repeats_checked and counts[heavy].max() > HEAVY and rows.drop_repeats():
            return _block_best(rows, points, center, scale, unit, buffer)
    return _refine(rows, points, _groups(mask, counts), unit)


def _shortlist(approx: np.ndarray, starts: np.ndarray, bound: npt.NDArray[np.float64],
               per_class: bool) -> np.ndarray:
    """Mask of the rows that may be a point's nearest row or its nearest of another class.

    The nearest row of each class lies within bound of that class's minimum,
    and only the classes whose minimum lies within bound of the second
    smallest can hold the nearest row or the nearest of another class. Rows
    within bound of the second-smallest minimum cover both, in one
    comparison; per_class keeps only those near their own class's minimum,
    one comparison per class, for points deep inside a class, where the
    first would keep every row nearer than the other classes.
    """
    class_min = np.minimum.reduceat(approx, starts, axis=1)
    second = np.partition(class_min, 1, axis=1)[:, 1] if class_min.shape[1] > 1 else class_min[:, 0]
    if not per_class:
        mask: np.ndarray = approx <= _rounded_up(second + bound, approx.dtype)[:, None]
        return mask
    threshold = _rounded_up(class_min + bound[:, None], approx.dtype)
    threshold[class_min > (second + bound)[:, None]] = -np.inf
    mask = np.empty(approx.shape, dtype=bool)
    for c, (start, end) in enumerate(zip(starts, [*starts[1:], approx.shape[1]])):
        np.less_equal(approx[:, start:end], threshold[:, c:c + 1], out=mask[:, start:end])
    return mask


def _rounded_up(threshold: npt.NDArray[np.float64], dtype: np.dtype[Any]) -> np.ndarray:
    """Thresholds in the product's type (a float64 one would convert the whole
    block), rounded up so as to keep every row the float64 one keeps."""
    if dtype != np.float32:
        return threshold
    rounded: np.ndarray = np.nextafter(threshold.astype(np.float32), np.float32(np.inf))
    return rounded


def _groups(mask: np.ndarray, counts: np.ndarray) -> Iterator[tuple[np.ndarray, np.ndarray]]:
    """The candidates of consecutive points, at most CANDIDATES at a time (or one point's),
    so that long shortlists cost time but not memory."""
    end = np.cumsum(counts)
    p0 = 0
    while p0 < len(counts):
        p1 = max(p0 + 1, int(np.searchsorted(end, end[p0] - counts[p0] + CANDIDATES, side="right")))
        point, column = np.divmod(np.flatnonzero(mask[p0:p1]), mask.shape[1])
        yield point + p0, column
        p0 = p1


def _row_counts(mask: np.ndarray) -> np.ndarray:
    """True values per row: bytes summed in 16 bits (0.10 ms on 128 x 16,384)
    where count_nonzero along rows took 0.65 ms."""
    dtype = np.uint16 if mask.shape[1] < 1 << 16 else np.int64
    counts: np.ndarray = mask.view(np.uint8).sum(axis=1, dtype=dtype)
    return counts


def _refine(rows: _RowBlock, points: npt.NDArray[np.float64],
            groups: Iterable[tuple[np.ndarray, np.ndarray]], unit: float) -> tuple[np.ndarray, ...]:
    """Float64 ranking of the shortlisted (point, column) candidates, given in groups of whole points."""
    m = len(points)
    near = np.full(m, -1), np.full(m, np.inf), np.full(m, -1)
    rival = np.full(m, -1), np.full(m, np.inf), np.full(m, -1)
    for point, column in groups:
        index, code = rows.index[column], rows.codes[column]
        dist = _measure(rows.data, index, points, point, unit)
        _first_per_point(near, point, index, dist, code)
        other = code != near[2][point]
        _first_per_point(rival, point[other], index[other], dist[other], code[other])
    return near + rival


def _measure(data: np.ndarray, index: np.ndarray, points: npt.NDArray[np.float64], point: np.ndarray,
             unit: float) -> npt.NDArray[np.float64]:
    """Squared float64 distances of rows data[index] to points[point], in steps of REFINE_ELEMENTS values."""
    dist = np.empty(len(point))
    step = max(1, REFINE_ELEMENTS // points.shape[1])
    for c0 in range(0, len(point), step):
        c = slice(c0, c0 + step)
        diff = data[index[c]].astype(np.float64) * unit - points[point[c]] * unit
        dist[c] = np.einsum("ij,ij->i", diff, diff)
    return dist


def _first_per_point(best: tuple[np.ndarray, ...], point: np.ndarray, index: np.ndarray,
                     dist: np.ndarray, code: np.ndarray) -> None:
    """Into best (rows, squared distances, classes): each point's nearest candidate, ties to the lower index.

    Candidates come grouped by point (in flatnonzero's order), so reductions
    over each point's run find it without sorting.
    """
    if len(point) == 0:
        return
    starts = np.flatnonzero(np.r_[True, point[1:] != point[:-1]])
    sizes = np.diff(np.r_[starts, len(point)])
    tied = dist == np.repeat(np.minimum.reduceat(dist, starts), sizes)
    lowest = np.minimum.reduceat(np.where(tied, index, np.iinfo(index.dtype).max), starts)
    pick = np.flatnonzero(tied & (index == np.repeat(lowest, sizes)))
    at = point[pick]
    best[0][at], best[1][at], best[2][at] = index[pick], dist[pick], code[pick]


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
