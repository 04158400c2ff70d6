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
from scipy.optimize import nnls  # type: ignore[import-untyped]

from ._inputs import as_points, checked_inputs
from ._pairs import U32, U64, boundary_pairs
from ._progress import Progress, checked_flag, progress_of

# Values in one block product (8 MiB of float64). With 16 MiB blocks the
# tracemalloc peak on the benchmark's 100,000 x 32 blobs was 58 MiB beyond the
# inputs, with 8 MiB 45 MiB (boundary_pairs' own 37 MiB the largest part), at
# the same speed.
BLOCK_ELEMENTS = 1 << 20
# Rows of the query's class whose bisectors with each cell are tried before
# any test (see _sharpened and _pretest). On the benchmark's blobs (300
# queries, loaded 2-core EPYC) 32 rows left 3,750 full tests and 21 ms a
# query, 128 rows 1,730 tests and 15 ms.
SHARPEN = 128
# Planes a pretest adds to a cell at most (see _pretest). On the same blobs
# (one BLAS thread) the projections took 0.37 s with 1, 0.30 s with 2 or 3,
# 0.25 s with 5, of 1.3 to 1.6 s in all.
CUTS = 5
# Points up to which a product is done as matrix-vector products (see _products).
FEW = 16
# Relative slack on distances compared across cells: the projections are exact
# to a few hundred ulps (NNLS, then a least-squares polish), far below this.
SLACK = 1e-9

F64 = npt.NDArray[np.float64]
I64 = npt.NDArray[np.int64]


def nearest_boundary(data: Any, y: Any, queries: Any, *, progress: bool = False) -> tuple[F64, F64, I64]:
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
    progress : bool, default False
        Show a bar of the queries certified and the time left, on stderr;
        pass True in interactive sessions.

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
        compared with each other; a ``progress`` that is not a bool.

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
    show = checked_flag(progress)
    data, codes, _ = checked_inputs(data, y)
    queries = as_points(queries, data.shape[1], "queries")
    m, d = queries.shape
    if m == 0:
        return np.empty((0, d)), np.empty(0), np.empty((0, 2), dtype=np.int64)
    with progress_of(show, "nearest_boundary", m, "queries") as bar:
        # A query counts once no cell can beat its best point, which is
        # known only in the last stage; the notes name the stages before it.
        bar.describe("nearest rows")
        near, rival = _nearest_rows(data, codes, queries)
        problem = _Problem(data, codes, queries, near)
        best = _Best(m, d)
        # The nearest row of another class first: its cell gives every query a
        # distance to beat before the other cells are listed.
        bar.describe("first cells")
        problem.run(problem.open_cells(np.arange(m), problem.position[rival]), best)
        bar.describe("listing cells")
        cells = problem.candidates(best.distance, rival)
        bar.describe("testing cells")
        problem.run(cells, best, bar)
        bar.describe("points")
        return best.result(problem, queries)


def _nearest_rows(data: np.ndarray, codes: I64, queries: F64) -> tuple[I64, I64]:
    """Each query's nearest row by float64 distances, ties to the lower index, and nearest of another class."""
    pairs, gaps = boundary_pairs(data, codes, queries)
    # boundary_pairs sorts each pair; the nearer of the two is the nearest
    # row, the lower index on a tie (a zero gap).
    a, b = data[pairs[:, 0]].astype(np.float64), data[pairs[:, 1]].astype(np.float64)
    da = np.einsum("ij,ij->i", a - queries, a - queries)
    db = np.einsum("ij,ij->i", b - queries, b - queries)
    second = (gaps > 0) & (db < da)
    return np.where(second, pairs[:, 1], pairs[:, 0]), np.where(second, pairs[:, 0], pairs[:, 1])


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
        self.rows = np.asarray(data[self.order], dtype=np.float64)  # a fresh copy, moved in place
        self.rows -= self.center
        self.rows *= self.unit
        self.norms = np.einsum("ij,ij->i", self.rows, self.rows)
        self.radius = float(np.sqrt(self.norms.max()))
        self.queries = (queries - self.center) * self.unit
        # Distances compared across cells get SLACK relative and this much
        # absolute (far above the rounding of a distance between values of
        # this size), so a best distance of 0 still keeps the cells tied with it.
        largest = float(np.sqrt(np.einsum("ij,ij->i", self.queries, self.queries).max()))
        self.tiny = 64.0 * (data.shape[1] + 2) * U64 * (largest + self.radius)
        self.near = self.position[near]  # sorted position of each nearest row
        self.qcode = self.codes[self.near]
        self.own: I64 | None = None  # each query's SHARPEN nearest rows of its class, when needed

    # Candidates --------------------------------------------------------------

    def open_cells(self, query: I64, cell: I64) -> "_Cells":
        """Cells (query, row of another class) started from the bisector with the nearest row."""
        cells = _Cells(query, cell, [[int(k)] for k in self.near[query]], self.rows.shape[1])
        self._project(cells, np.arange(len(query)))
        return cells

    def candidates(self, bound: F64, skip: I64) -> "_Cells":
        """Every (query, cell) whose bisector bound may be below the query's best distance U.

        A point x of W_j has |q - r_j| <= |q - x| + |x - r_j| <= 2|q - x| + |q - r_i|,
        so only rows j within |q - r_i| + 2U of q can hold a point nearer than
        U: a ball found from products, widened by their rounding. The
        bisector bound (|q - r_j|^2 - |q - r_i|^2) / (2 |r_j - r_i|) of the
        rows in it is then measured directly.
        """
        q, rows, d = self.queries, self.rows, self.rows.shape[1]
        r_i = rows[self.near]
        near_sq = np.einsum("ij,ij->i", q - r_i, q - r_i)
        qn = np.einsum("ij,ij->i", q, q)
        reach = ((np.sqrt(near_sq) + 2.0 * bound * self.unit) * (1.0 + SLACK) + self.tiny) ** 2
        # |q - r|^2 <= reach is q.r - |r|^2/2 >= (|q|^2 - reach)/2: one float32
        # product of (q, 1) and (r, -|r|^2/2) per block (a fifth of the time of
        # the float64 product and its passes on the benchmark's blobs), its
        # threshold lowered by the rounding bound of the inputs and the sum.
        err = 4.0 * (d + 5) * U32 * (np.sqrt(qn) + self.radius) ** 2
        threshold = (0.5 * (qn - reach) - err).astype(np.float32)[:, None]
        query32 = np.ones((len(q), d + 1), dtype=np.float32)
        query32[:, :d] = q
        found_q, found_j = [], []
        skip = self.position[skip]
        block = max(1, BLOCK_ELEMENTS // len(q))
        for r0 in range(0, len(rows), block):
            r1 = min(len(rows), r0 + block)
            part = np.empty((r1 - r0, d + 1), dtype=np.float32)
            part[:, :d] = rows[r0:r1]
            part[:, d] = -0.5 * self.norms[r0:r1]
            query, cell = np.nonzero(query32 @ part.T >= threshold)
            cell += r0
            keep = (self.codes[cell] != self.qcode[query]) & (cell != skip[query])
            query, cell = query[keep], cell[keep]
            # The bounds of one block's pairs at a time: the ball holds many
            # more pairs than pass (2.4 million and 34,000 on the benchmark's
            # blobs), and all of them at once took 200 MiB.
            low = np.empty(len(query))
            step = max(1, BLOCK_ELEMENTS // (4 * d))
            for c0 in range(0, len(query), step):
                c = slice(c0, c0 + step)
                low[c] = -_planes(q[query[c]], rows[cell[c]], r_i[query[c]])[1]
            keep = low <= bound[query] * self.unit * (1.0 + SLACK) + self.tiny
            found_q.append(query[keep])
            found_j.append(cell[keep])
        query, cell = np.concatenate(found_q), np.concatenate(found_j)
        return self._sharpened(query, cell, bound * self.unit)

    def _sharpened(self, query: I64, cell: I64, bound: F64) -> "_Cells":
        """The cells that the bisectors of the query's SHARPEN nearest rows of its class do not rule out.

        Each such bisector bounds the cell's distance from below as the one
        with the nearest row does; the largest of them is the cell's second
        plane. On the blobs of the benchmark this left 5,100 of 34,500 cells
        (16 rows) and 3,500 (64 rows), each of which would have cost a test.
        """
        d = self.rows.shape[1]
        if self.own is None:
            self.own = self._nearest_own(SHARPEN)
        own = self.own
        order = np.argsort(query, kind="stable")
        query, cell = query[order], cell[order]
        keep = np.zeros(len(query), dtype=bool)
        second = np.empty(len(query), dtype=np.int64)
        edges = np.searchsorted(query, np.arange(len(self.queries) + 1))
        for qi in np.flatnonzero(np.diff(edges)):
            at = slice(edges[qi], edges[qi + 1])
            q, rk, rj = self.queries[qi], self.rows[own[qi]], self.rows[cell[at]]
            to_j = np.einsum("ij,ij->i", rj - q, rj - q)
            to_k = np.einsum("ij,ij->i", rk - q, rk - q)
            apart = self.norms[cell[at]][:, None] + self.norms[own[qi]][None, :] - 2.0 * (rj @ rk.T)
            # The expanded |r_j - r_k|^2 is raised by its rounding bound and
            # the difference of the two direct squares lowered by theirs, so
            # each bound is at most the exact one.
            err = 4.0 * (d + 3) * U64 * (2.0 * self.radius) ** 2
            gap = to_j[:, None] - to_k[None, :]
            gap -= 4.0 * (d + 2) * U64 * (to_j[:, None] + to_k[None, :])
            low = gap / (2.0 * np.sqrt(np.maximum(apart, 0.0) + err))
            strongest = np.argmax(low, axis=1)
            keep[at] = low[np.arange(len(rj)), strongest] <= bound[qi] * (1.0 + SLACK) + self.tiny
            second[at] = own[qi][strongest]
        planes = [[int(i), int(k)] if k != i else [int(i)]
                  for i, k in zip(self.near[query[keep]], second[keep])]
        cells = _Cells(query[keep], cell[keep], planes, d)
        self._project(cells, np.arange(len(cells.query)))
        return cells

    def _nearest_own(self, count: int) -> I64:
        """Sorted positions of the count nearest rows of its class to each query (by products: any rows would do)."""
        found = np.empty((len(self.queries), count), dtype=np.int64)
        for code in np.unique(self.qcode):
            at = np.flatnonzero(self.qcode == code)
            s0, s1 = int(self.starts[code]), int(self.starts[code + 1])
            take = min(count, s1 - s0)
            step = max(1, BLOCK_ELEMENTS // (s1 - s0))
            for b0 in range(0, len(at), step):
                a = at[b0:b0 + step]
                sq = _squared(self.queries[a], self.rows[s0:s1], self.norms[s0:s1])
                nearest = np.argpartition(sq, take - 1, axis=1)[:, :take] if take < s1 - s0 else \
                    np.broadcast_to(np.arange(s1 - s0), (len(a), take))
                found[a, :take] = s0 + nearest
                found[a, take:] = found[a, :1]
        return found

    # Projection ---------------------------------------------------------------

    def _project(self, cells: "_Cells", which: I64) -> None:
        """Project each chosen cell's query onto the bisectors in its constraint list."""
        count = np.fromiter((len(cells.planes[c]) for c in which), dtype=np.int64, count=len(which))
        # One or two planes (most cells, most of the time): closed forms over
        # all such cells at once; more planes: one least-distance program each.
        small = which[count <= 2]
        if len(small):
            first = np.array([cells.planes[c][0] for c in small])
            second = np.array([cells.planes[c][-1] for c in small])
            cells.z[small] = _project_two(self.queries[cells.query[small]], self.rows[cells.cell[small]],
                                          self.rows[first], self.rows[second])
        for c in which[count > 2]:
            cells.z[c] = _project(self.queries[cells.query[c]], self.rows[cells.cell[c]],
                                  self.rows[cells.planes[c]])
        cells.dist[which] = np.sqrt(np.einsum("ij,ij->i", cells.z[which], cells.z[which]))

    def nearest_of_class(self, x: F64) -> I64:
        """Sorted position of each point's nearest row of its query's class, ties to the lower row."""
        found = np.empty(len(x), dtype=np.int64)
        d = x.shape[1]
        for code in np.unique(self.qcode):
            s0, s1 = int(self.starts[code]), int(self.starts[code + 1])
            step = max(1, BLOCK_ELEMENTS // (s1 - s0))
            every = np.flatnonzero(self.qcode == code)
            for at in (every[b0:b0 + step] for b0 in range(0, len(every), step)):
                sq = _squared(x[at], self.rows[s0:s1], self.norms[s0:s1])
                err = 4.0 * (d + 3) * U64 * (np.sqrt(np.einsum("ij,ij->i", x[at], x[at])) + self.radius) ** 2
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

    def run(self, cells: "_Cells", best: "_Best", bar: Progress | None = None) -> None:
        """Add cutting planes until every open cell is certified or beaten; bar counts the queries without open cells."""
        open_ = np.arange(len(cells.query))
        while len(open_):
            if bar is not None and bar.on:
                bar.reach(bar.total - len(np.unique(cells.query[open_])))
            # A cell whose distance so far exceeds the best by more than the
            # rounding of both cannot hold a nearer point.
            limit = best.distance[cells.query[open_]] * self.unit * (1.0 + SLACK) + self.tiny
            open_ = open_[~(cells.dist[open_] > limit)]
            cut = self._pretest(cells, open_)
            violated = [open_[cut]]
            open_ = open_[~cut]
            for code in np.unique(self.qcode[cells.query[open_]]):
                group = open_[self.qcode[cells.query[open_]] == code]
                violated.append(self._test(cells, group, int(code), best))
            open_ = np.concatenate(violated) if violated else open_[:0]
            self._project(cells, open_)
        if bar is not None:
            bar.reach(bar.total)

    def _pretest(self, cells: "_Cells", which: I64) -> npt.NDArray[np.bool_]:
        """Cut each cell by the nearest of its query's SHARPEN nearest class rows that is clearly nearer than r_j.

        Far cheaper than a test (SHARPEN rows, not the class), so a cell
        reaches the full test, which alone certifies, about when it is done.
        "Clearly" is by 1e-9: a plane already in the list holds with equality
        to rounding and is never picked again.
        """
        cut = np.zeros(len(which), dtype=bool)
        if self.own is None:
            self.own = self._nearest_own(SHARPEN)
        step = max(1, BLOCK_ELEMENTS // (2 * SHARPEN * self.rows.shape[1]))  # two such arrays
        for b0 in range(0, len(which), step):
            c = which[b0:b0 + step]
            x = self.queries[cells.query[c]] + cells.z[c]
            rk = self.own[cells.query[c]]
            diff = self.rows[rk] - x[:, None, :]
            sq = np.einsum("ijk,ijk->ij", diff, diff)
            to_j = np.einsum("ij,ij->i", x - self.rows[cells.cell[c]], x - self.rows[cells.cell[c]])
            sq[~(sq < to_j[:, None] * (1.0 - 1e-9))] = np.inf
            # The CUTS nearest violators at once: fewer rounds, each a least-
            # distance program of a few more planes.
            take = min(CUTS, sq.shape[1])
            k = np.argpartition(sq, take - 1, axis=1)[:, :take] if take < sq.shape[1] else \
                np.broadcast_to(np.arange(take), sq.shape)
            found = np.isfinite(np.take_along_axis(sq, k, axis=1))
            hit = found.any(axis=1)
            for t in np.flatnonzero(hit):
                cells.planes[c[t]].extend(int(r) for r in rk[t, k[t][found[t]]])
            cut[b0:b0 + step] = hit
        return cut

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
            sq = _squared(x, own, own_norms)
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
            for t in np.flatnonzero(~beaten).tolist():
                best.offer(self, cells, int(g[t]))
            for t in np.flatnonzero(beaten).tolist():
                c, row = int(g[t]), s0 + int(k[t])
                # A row equal to r_j is never nearer (its plane has no normal);
                # it is only masked from the next tests.
                same = np.array_equal(self.rows[row], self.rows[cells.cell[c]])
                (cells.ignored if same else cells.planes)[c].append(row)
                cut.append(c)
        return np.asarray(cut, dtype=np.int64)


def _squared(x: F64, rows: F64, norms: F64) -> F64:
    """|x - r|^2 of every point and row, expanded around one product and summed in place."""
    sq = _products(x, rows)
    sq *= -2.0
    sq += norms
    sq += np.einsum("ij,ij->i", x, x)[:, None]
    return sq


def _products(x: F64, rows: F64) -> F64:
    """x @ rows.T; for a few points as matrix-vector products.

    A matrix product of a few points wakes every BLAS thread: on the loaded
    2-core EPYC, 7 points against 10,000 x 32 rows took 8 ms with 2 threads
    and 0.36 ms with one, and one matrix-vector product 0.08 ms. Most tests
    after the first rounds are of a handful of cells.
    """
    if len(x) > FEW:
        return x @ rows.T
    return np.stack([rows @ v for v in x]) if len(x) else np.empty((0, len(rows)))


def _planes(q: F64, rj: F64, rk: F64) -> tuple[F64, F64, npt.NDArray[np.bool_]]:
    """Unit normals n = (r_k - r_j)/|r_k - r_j| and offsets h = n.((r_k + r_j)/2 - q), row by row.

    |q + z - r_j| <= |q + z - r_k| is n.z <= h. A copy of r_j bounds nothing:
    its plane is returned as 0.z <= 0 and flagged False.
    """
    normal = rk - rj
    length = np.sqrt(np.einsum("...j,...j->...", normal, normal))
    real = length > 0
    normal = normal / np.where(real, length, 1.0)[..., None]
    return normal, np.einsum("...j,...j->...", normal, 0.5 * (rk + rj) - q) * real, real


def _project_two(q: F64, rj: F64, ra: F64, rb: F64) -> F64:
    """Row by row, the shortest z with q + z as near r_j as r_a and as r_b (closed forms).

    The projection onto two half-spaces is the shortest of the candidates
    (none, either plane alone, both planes) that satisfies both: every
    candidate is the projection onto a superset, so none is shorter than the
    answer, and the answer is one of them. "Satisfies" allows rounding, 1e-12
    of the scale of the offsets.
    """
    na, ha, _ = _planes(q, rj, ra)
    nb, hb, _ = _planes(q, rj, rb)
    tol = 1e-12 * np.maximum(np.abs(ha), np.abs(hb))
    za = np.minimum(ha, 0.0)[:, None] * na
    zb = np.minimum(hb, 0.0)[:, None] * nb
    cos = np.einsum("ij,ij->i", na, nb)
    det = 1.0 - cos * cos
    ok = det > 1e-12  # planes far from parallel: both active is well posed
    safe = np.where(ok, det, 1.0)
    zab = (((ha - cos * hb) / safe)[:, None] * na + ((hb - cos * ha) / safe)[:, None] * nb)
    best = np.where((ha >= 0) & (hb >= 0), 0.0, np.inf)
    z = np.zeros_like(q)
    for cand, feasible in ((za, np.einsum("ij,ij->i", nb, za) <= hb + tol),
                           (zb, np.einsum("ij,ij->i", na, zb) <= ha + tol),
                           (zab, ok)):
        size = np.einsum("ij,ij->i", cand, cand)
        take = feasible & (size < best)
        z[take], best[take] = cand[take], size[take]
    # Nearly parallel planes that neither alone satisfies: the general solver.
    for t in np.flatnonzero(np.isinf(best)):
        z[t] = _project(q[t], rj[t], np.vstack([ra[t], rb[t]]))
    return z


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
        one: F64 = min(0.0, float(h[0])) * normal[0]
        return one
    if (h >= 0).all():
        return np.zeros_like(q)
    # Least distance: min |z| with -N z >= -h is NNLS of [-N^T; -h^T] u ~ e.
    e = np.zeros(len(q) + 1)
    e[-1] = 1.0
    u: F64 = nnls(np.vstack([-normal.T, -h[None, :]]), e)[0]
    r = np.vstack([-normal.T, -h[None, :]]) @ u - e
    z: F64 = -r[:-1] / r[-1]
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
