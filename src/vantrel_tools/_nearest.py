# The nearest point at which the 1-NN prediction of a query changes.
#
# Let q's nearest row be i, of class c. The prediction is not c exactly where
# some row j of another class is at least as near as every row of class c,
# so the set to reach is the union over those j of the polyhedra
#     W_j = {x : |x - r_j| <= |x - r_k| for every row k of class c}.
# (W_j contains j's Voronoi cell and is covered by the cells of the rows of
# other classes, so the union is the union of those cells; only the rows of
# class c bound it, which keeps each test to one class.)
#
# dist(q, W_j) is at least the distance from q to the bisector of i and j,
# so a cell whose bisector bound exceeds the best distance found is skipped.
# A cell is projected onto by cutting planes: start from the one bisector,
# then add the bisector of the class-c row nearest to the current point
# until no class-c row is nearer than r_j. The projection onto a subset of
# the constraints that satisfies all of them is the projection onto the
# whole cell: certified. Every test is a nearest-row query, and the tests of
# all open (query, cell) candidates of one class share one product per block.
#
# Rounding: products of the centred copy give |x - r_k|^2 to within a
# proven bound; a constraint within twice that bound of being violated is
# treated as violated (adding a constraint the point satisfies leaves the
# projection where it is, so this costs time, never a wrong certificate), and
# a cell is dropped only when its lower bound exceeds the best distance by
# more than the rounding of both.
from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt
from scipy.optimize import nnls

from ._inputs import as_data, checked_inputs, finite
from ._pairs import boundary_pairs

# Values in one block product (16 MiB of float64).
BLOCK_ELEMENTS = 1 << 21
# Unit roundoff of float64.
U64 = 2.0**-53
# Relative slack on distances compared across cells: the projections are exact
# to a few hundred ulps (NNLS, then a least-squares polish), far below this.
SLACK = 1e-9

F64 = npt.NDArray[np.float64]
I64 = npt.NDArray[np.int64]


def nearest_boundary(data: Any, y: Any, queries: Any) -> tuple[F64, F64, I64]:
    """The nearest point at which the 1-NN prediction of each query changes.

    For each query, the point nearest to it (Euclidean, in data units) where a
    row of another class than the query's predicted class is at least as near
    as every row of that class: an exact counterfactual for the 1-NN rule, and
    its distance, the query's robustness radius.

    Parameters
    ----------
    data : array_like, shape (n, d)
        The data set: an array, a DataFrame or nested lists of finite real
        numbers (measured in float64).
    y : array_like, length n
        Class labels per row: integers, strings, floats, bools or the values
        of a categorical; only equality matters. At least two classes.
    queries : array_like, shape (m, d)
        The points to explain; an empty list is zero queries.

    Returns
    -------
    points : ndarray of float64, shape (m, d)
        Per query, a nearest point at which the prediction changes (the query
        itself when it lies on the boundary already).
    distances : ndarray of float64, shape (m,)
        The distance from each query to its point: 0 on the boundary.
    pairs : ndarray of int64, shape (m, 2)
        The rows the point lies between: first the nearest row of the
        query's predicted class, then a row of another class as near.

    Raises
    ------
    ValueError
        Shapes that do not fit (``data`` not 2-D or empty, ``y`` of another
        length, ``queries`` not of shape (m, d)), non-finite values, a single
        class.
    TypeError
        Data or queries that are not real numbers; labels that cannot be
        compared with each other.

    See Also
    --------
    boundary_pairs : the nearest row and nearest row of another class of points.

    Examples
    --------
    >>> import numpy as np
    >>> from vantrel_tools import nearest_boundary
    >>> data = np.array([[0.0, 0.0], [4.0, 0.0], [0.0, 6.0]])
    >>> points, distances, pairs = nearest_boundary(data, [0, 1, 1], [[1.0, 1.0]])
    >>> points.tolist(), distances.tolist(), pairs.tolist()
    ([[2.0, 1.0]], [1.0], [[0, 1]])
    """
    data, codes, _ = checked_inputs(data, y)
    queries = _checked_queries(queries, data.shape[1])
    m, d = queries.shape
    if m == 0:
        return np.empty((0, d)), np.empty(0), np.empty((0, 2), dtype=np.int64)
    near = _nearest_rows(data, codes, queries)
    problem = _Problem(data, codes, queries, near)
    best = _Best(m, d)
    # The nearest row of another class first: its cell gives every query a
    # distance to beat before the other cells are listed.
    rival = boundary_pairs(data, codes, queries)[0]
    rival = np.where(rival[:, 0] == near, rival[:, 1], rival[:, 0])
    problem.run(problem.open_cells(np.arange(m), problem.position[rival]), best)
    problem.run(problem.candidates(best.distance, rival), best)
    return best.result(problem, queries)


def _checked_queries(queries: Any, d: int) -> F64:
    if not isinstance(queries, np.ndarray) and hasattr(queries, "__len__") and len(queries) == 0:
        return np.empty((0, d))
    array = np.asarray(queries)
    if array.ndim == 2 and array.shape[0] == 0 and array.shape[1] == d:
        return np.empty((0, d))
    if array.ndim != 2 or array.shape[1] != d:
        raise ValueError(f"queries must have shape (m, {d}) to match data, not {array.shape}")
    return as_data(array, "queries").astype(np.float64, copy=False)


def _nearest_rows(data: np.ndarray, codes: I64, queries: F64) -> I64:
    """Each query's nearest row by float64 distances, ties to the lower index."""
    pairs, gaps = boundary_pairs(data, codes, queries)
    # boundary_pairs sorts each pair; the nearer of the two is the nearest
    # row, the lower index on a tie (a zero gap).
    a, b = data[pairs[:, 0]].astype(np.float64), data[pairs[:, 1]].astype(np.float64)
    da = np.einsum("ij,ij->i", a - queries, a - queries)
    db = np.einsum("ij,ij->i", b - queries, b - queries)
    return np.where((gaps > 0) & (db < da), pairs[:, 1], pairs[:, 0])


class _Problem:
    """The rows grouped by class, centred, and the queries in the same frame.

    Every computation runs on these float64 copies, values times a power of
    two (exact) so that data near the float64 limits neither overflows nor
    underflows.
    """

    def __init__(self, data: np.ndarray, codes: I64, queries: F64, near: I64) -> None:
        lo = np.minimum(data.min(axis=0).astype(np.float64), queries.min(axis=0))
        hi = np.maximum(data.max(axis=0).astype(np.float64), queries.max(axis=0))
        self.center = 0.5 * lo + 0.5 * hi
        half = float((0.5 * hi - 0.5 * lo).max()) or 1.0
        self.unit = float(np.ldexp(1.0, -int(np.frexp(half)[1])))
        self.order = np.argsort(codes, kind="stable")  # sorted position -> row
        self.position = np.empty_like(self.order)
        self.position[self.order] = np.arange(len(codes))
        self.codes = codes[self.order]
        self.starts = np.searchsorted(self.codes, np.arange(int(self.codes[-1]) + 2))
        self.rows = (data[self.order] - self.center) * self.unit  # float64 copy
        self.norms = np.einsum("ij,ij->i", self.rows, self.rows)
        self.radius = float(np.sqrt(self.norms.max()))
        self.queries = (queries - self.center) * self.unit
        self.near = self.position[near]  # sorted position of each nearest row
        self.qcode = self.codes[self.near]

    # Candidates --------------------------------------------------------------

    def open_cells(self, query: I64, cell: I64) -> "_Cells":
        """Cells (query, row of another class) started from the bisector with the nearest row."""
        cells = _Cells(query, cell, [[int(k)] for k in self.near[query]], self.rows.shape[1])
        self._project(cells, np.arange(len(query)))
        return cells

    def candidates(self, bound: F64, skip: I64) -> "_Cells":
        """Every (query, cell) whose bisector bound may be below the query's best distance.

        The bound (|q - r_j|^2 - |q - r_i|^2) / (2 |r_j - r_i|) is found from
        products here, so it is lowered by their rounding before the cut:
        no cell that the exact bound would keep is lost.
        """
        q, rows, d = self.queries, self.rows, self.rows.shape[1]
        r_i = rows[self.near]
        near_sq = np.einsum("ij,ij->i", q - r_i, q - r_i)
        qn = np.einsum("ij,ij->i", q, q)
        found_q, found_j = [], []
        block = max(1, BLOCK_ELEMENTS // (2 * len(q)))
        skip_pos = self.position[skip]
        for r0 in range(0, len(rows), block):
            part = rows[r0:r0 + block]
            both = np.vstack([q, r_i]) @ part.T
            to_q = qn[:, None] + self.norms[None, r0:r0 + block] - 2.0 * both[:len(q)]
            apart = self.norms[self.near][:, None] + self.norms[None, r0:r0 + block] - 2.0 * both[len(q):]
            err = 4.0 * (d + 3) * U64 * (np.sqrt(qn)[:, None] + self.radius) ** 2
            err_apart = 4.0 * (d + 3) * U64 * (2.0 * self.radius) ** 2
            low = (to_q - err - near_sq[:, None]) / (2.0 * np.sqrt(np.maximum(apart, 0.0) + err_apart))
            keep = low <= bound[:, None] * (1.0 + SLACK) * self.unit
            keep &= self.codes[None, r0:r0 + block] != self.qcode[:, None]
            keep &= np.arange(r0, r0 + len(part))[None, :] != skip_pos[:, None]
            qi, cj = np.nonzero(keep)
            found_q.append(qi)
            found_j.append(cj + r0)
        return self.open_cells(np.concatenate(found_q), np.concatenate(found_j))

    # Projection ---------------------------------------------------------------

    def _project(self, cells: "_Cells", which: I64) -> None:
        """Project each chosen cell's query onto the bisectors in its constraint list."""
        for c in which:
            q = self.queries[cells.query[c]]
            rj = self.rows[cells.cell[c]]
            z = _project(q, rj, self.rows[cells.planes[c]])
            cells.z[c] = z
            cells.dist[c] = float(np.sqrt(z @ z))

    def nearest_of_class(self, x: F64) -> I64:
        """Sorted position of each point's nearest row of its query's class, ties to the lower row."""
        found = np.empty(len(x), dtype=np.int64)
        d = x.shape[1]
        for code in np.unique(self.qcode):
            at = np.flatnonzero(self.qcode == code)
            s0, s1 = int(self.starts[code]), int(self.starts[code + 1])
            xn = np.einsum("ij,ij->i", x[at], x[at])
            sq = xn[:, None] + self.norms[None, s0:s1] - 2.0 * (x[at] @ self.rows[s0:s1].T)
            err = 4.0 * (d + 3) * U64 * (np.sqrt(xn) + self.radius) ** 2
            # Every row within rounding of the smallest is measured again
            # directly; the lowest row index wins among equal distances.
            for t, p in enumerate(at):
                near = s0 + np.flatnonzero(sq[t] <= sq[t].min() + 2.0 * err[t])
                diff = self.rows[near] - x[p]
                dist = np.einsum("ij,ij->i", diff, diff)
                tied = near[dist == dist.min()]
                found[p] = tied[np.argmin(self.order[tied])]
        return found

    # Tests ----------------------------------------------------------------------

    def run(self, cells: "_Cells", best: "_Best") -> None:
        """Add cutting planes until every open cell is certified or beaten."""
        open_ = np.arange(len(cells.query))
        while len(open_):
            # A cell whose distance so far exceeds the best by more than the
            # rounding of both cannot hold a nearer point.
            limit = best.distance[cells.query[open_]] * self.unit * (1.0 + SLACK)
            open_ = open_[~(cells.dist[open_] > limit)]
            violated = []
            for code in np.unique(self.qcode[cells.query[open_]]):
                group = open_[self.qcode[cells.query[open_]] == code]
                violated.append(self._test(cells, group, int(code), best))
            open_ = np.concatenate(violated) if violated else open_[:0]
            self._project(cells, open_)

    def _test(self, cells: "_Cells", group: I64, code: int, best: "_Best") -> I64:
        """One product per block: certify the cells whose point no class-c row beats, cut the others."""
        s0, s1 = int(self.starts[code]), int(self.starts[code + 1])
        own, own_norms = self.rows[s0:s1], self.norms[s0:s1]
        d = own.shape[1]
        cut = []
        step = max(1, BLOCK_ELEMENTS // (s1 - s0))
        for b0 in range(0, len(group), step):
            g = group[b0:b0 + step]
            x = self.queries[cells.query[g]] + cells.z[g]
            xn = np.einsum("ij,ij->i", x, x)
            sq = xn[:, None] + own_norms[None, :] - 2.0 * (x @ own.T)
            # Rounding of each expanded squared distance is at most
            # (d + 3) u (|x| + |r|)^2; twice that separates two of them, and
            # a factor 2 more is margin.
            err = 4.0 * (d + 3) * U64 * (np.sqrt(xn) + self.radius) ** 2
            diff = x - self.rows[cells.cell[g]]
            to_j = np.einsum("ij,ij->i", diff, diff)
            for t, c in enumerate(g):
                sq[t, np.asarray(cells.planes[c] + cells.ignored[c]) - s0] = np.inf
            k = np.argmin(sq, axis=1)
            beaten = sq[np.arange(len(g)), k] <= to_j + err
            for t in np.flatnonzero(~beaten):
                best.offer(self, cells, int(g[t]))
            for t in np.flatnonzero(beaten):
                c, row = int(g[t]), s0 + int(k[t])
                # A row equal to r_j is never nearer (its plane has no normal);
                # it is only masked from the next tests.
                same = np.array_equal(self.rows[row], self.rows[cells.cell[c]])
                (cells.ignored if same else cells.planes)[c].append(row)
                cut.append(c)
        return np.asarray(cut, dtype=np.int64)


def _project(q: F64, rj: F64, rk: F64) -> F64:
    """The shortest z with |q + z - r_j| <= |q + z - r_k| for each row r_k: a least-distance program.

    Each constraint is n.z <= h with n = (r_k - r_j)/|r_k - r_j| and
    h = n.((r_k + r_j)/2 - q); NNLS on the dual gives the active planes, and
    a least-squares solve on those places z on them to float64 rounding.
    """
    normal = rk - rj
    length = np.sqrt(np.einsum("ij,ij->i", normal, normal))
    if not length.all():  # a copy of r_j (the nearest row may be one) bounds nothing
        rk, normal, length = rk[length > 0], normal[length > 0], length[length > 0]
        if not len(length):
            return np.zeros_like(q)
    normal = normal / length[:, None]
    h = np.einsum("ij,ij->i", normal, 0.5 * (rk + rj) - q)
    if len(h) == 1:
        return min(0.0, float(h[0])) * normal[0]
    if (h >= 0).all():
        return np.zeros_like(q)
    # Least distance: min |z| with -N z >= -h is NNLS of [-N^T; -h^T] u ~ e.
    e = np.zeros(len(q) + 1)
    e[-1] = 1.0
    u, _ = nnls(np.vstack([-normal.T, -h[None, :]]), e)
    r = np.vstack([-normal.T, -h[None, :]]) @ u - e
    z = -r[:-1] / r[-1]
    active = u > 0
    if active.any():
        polished = np.linalg.lstsq(normal[active], h[active], rcond=None)[0]
        scale = float(np.abs(h).max())
        if (normal @ polished <= h + 1e-12 * scale).all():
            z = polished
    return z


class _Cells:
    """Open (query, cell) candidates: their constraint rows, current point and distance (scaled units)."""

    def __init__(self, query: I64, cell: I64, planes: list[list[int]], d: int) -> None:
        self.query = np.asarray(query, dtype=np.int64)
        self.cell = np.asarray(cell, dtype=np.int64)
        self.planes = planes  # sorted positions of the class-c rows whose bisectors bound the cell
        self.ignored: list[list[int]] = [[] for _ in planes]  # rows equal to r_j
        self.z = np.zeros((len(self.query), d))  # current point minus the query
        self.dist = np.zeros(len(self.query))


class _Best:
    """Per query: the nearest certified point so far, its distance (data units) and cell."""

    def __init__(self, m: int, d: int) -> None:
        self.distance = np.full(m, np.inf)
        self.step = np.zeros((m, d))
        self.cell = np.full(m, -1, dtype=np.int64)

    def offer(self, problem: _Problem, cells: _Cells, c: int) -> None:
        q, dist = int(cells.query[c]), float(cells.dist[c]) / problem.unit
        row = int(problem.order[cells.cell[c]])
        if dist < self.distance[q] or (dist == self.distance[q] and row < self.cell[q]):
            self.distance[q], self.cell[q] = dist, row
            self.step[q] = cells.z[c]

    def result(self, problem: _Problem, queries: F64) -> tuple[F64, F64, I64]:
        # The query plus the step, so a query on the boundary is returned as it is.
        points = queries + self.step / problem.unit
        x = problem.queries + self.step
        pairs = np.column_stack([problem.order[problem.nearest_of_class(x)], self.cell])
        return points, self.distance, pairs
