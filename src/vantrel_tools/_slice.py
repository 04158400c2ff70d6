# The exact 1-NN boundary on a plane through the data.
#
# On the plane {o + U a} (U orthonormal, d x 2) a row r is at squared distance
#     |o + U a - r|^2 = |a - p|^2 + w,   p = U^T (r - o),  w = |r - o|^2 - |p|^2 >= 0,
# so the rows' regions on the plane are the cells of the power diagram of the
# projected rows p with weights w. Its cells are the lower convex hull of the
# lifted points (p, |p|^2 + w) = (p, |r - o|^2) seen from below: a lower facet
# z = 2 v.p + c is the vertex v where its rows are equally near, an edge
# between two lower facets is the piece of the two rows' bisector between the
# facets' vertices, and an edge on the rim of the lower hull is a ray. Rows
# whose lifted point is above the lower hull have empty cells on the plane.
#
# Degenerate input is handled without joggling: rows with equal projections
# are reduced to the nearer one (smaller w; equal w, the lower index, the tie
# convention of boundary_pairs); a point far above all others keeps the hull
# three-dimensional when the lifted points are coplanar (cocircular rows in
# two dimensions, say), where the triangulated coplanar facets share one
# vertex and so give edges of length zero, dropped; projections on one line
# leave no hull, and their cells are strips found from a lower hull in 1-D.
from __future__ import annotations

from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

from ._inputs import as_labels, as_points, checked_inputs, finite

F64 = npt.NDArray[np.float64]
I64 = npt.NDArray[np.int64]

# Rows per block when projecting: 8 MiB of float64 at d = 16, so the float64
# copy of the data is never made whole.
BLOCK_ROWS = 1 << 16
# Margin of the default extent, as a share of the larger side of the box of
# the projected rows.
MARGIN = 0.05
# A user-given basis whose second column is within this share of its length
# of the first column's span has rank < 2: its direction would be rounding.
RANK_TOL = 1e-12


@dataclass(frozen=True, eq=False)  # eq=False: == on arrays has no single truth value
class BoundarySlice:
    """The exact 1-NN boundary on a plane; made by :func:`boundary_slice`.

    The arrays are read-only.

    Attributes
    ----------
    segments : ndarray of float64, shape (k, 2, 2)
        Pieces of the boundary in plane coordinates (``a`` in ``origin +
        basis @ a``), each from ``segments[i, 0]`` to ``segments[i, 1]``,
        clipped to ``extent``.
    pairs : ndarray of int64, shape (k, 2)
        For each segment the two rows, of different classes, that are equally
        near along it with no row nearer; the smaller index first.
    origin : ndarray of float64, shape (d,)
        The point of the data space at plane coordinates (0, 0).
    basis : ndarray of float64, shape (d, 2)
        Orthonormal columns: the plane's two directions.
    extent : tuple of float
        ``(xmin, xmax, ymin, ymax)`` in plane coordinates.

    Examples
    --------
    >>> from vantrel_tools import boundary_slice
    >>> data = [[0, 0, 0], [2, 0, 0], [1, 0, 3]]
    >>> view = boundary_slice(data, [0, 1, 1], origin=[0, 0, 0], basis=[[1, 0], [0, 1], [0, 0]])
    >>> coordinates, offsets = view.project(data)
    >>> coordinates.tolist(), offsets.tolist()
    ([[0.0, 0.0], [2.0, 0.0], [1.0, 0.0]], [0.0, 0.0, 3.0])
    >>> view.pairs.tolist()  # row 2 is too far off the plane to have a region on it
    [[0, 1]]
    """

    segments: F64
    pairs: I64
    origin: F64
    basis: F64
    extent: tuple[float, float, float, float]

    def project(self, points: Any) -> tuple[F64, F64]:
        """Plane coordinates of points of the data space, and their distance off the plane.

        Parameters
        ----------
        points : array_like, shape (m, d)
            Rows of the data, ``tresk`` or :func:`nearest_boundary` points.

        Returns
        -------
        coordinates : ndarray of float64, shape (m, 2)
            The foot of each point on the plane, in plane coordinates.
        offsets : ndarray of float64, shape (m,)
            The distance from each point to its foot.
        """
        centred = as_points(points, len(self.origin)) - self.origin
        coordinates = centred @ self.basis
        offsets = np.linalg.norm(centred - coordinates @ self.basis.T, axis=1)
        return coordinates, offsets

    def plot(self, ax: Any = None, data: Any = None, y: Any = None, points: Any = None, *,
             near: float = 0.1, colors: Any = None) -> Any:
        """Draw the boundary, and when given the rows near the plane and points, on an Axes.

        Parameters
        ----------
        ax : matplotlib Axes, optional
            Where to draw; a new figure's Axes when None.
        data, y : array_like, optional
            The data and labels the slice was made from: the share ``near``
            of the rows nearest to the plane are drawn at their feet,
            coloured by class.
        points : array_like, shape (m, d), optional
            Points of the data space (``tresk`` or :func:`nearest_boundary`
            results, say), drawn at their feet as black rings.
        near : float
            Share of the rows drawn, those nearest to the plane (0 to 1).
        colors : sequence of colours, optional
            One per class, in the order of the sorted labels; matplotlib's
            default cycle when None.

        Returns
        -------
        matplotlib Axes
        """
        import matplotlib.pyplot as plt
        from matplotlib.collections import LineCollection

        if not 0.0 <= near <= 1.0:
            raise ValueError(f"near must be a share from 0 to 1, not {near}")
        if ax is None:
            _, ax = plt.subplots()
        if data is not None:
            if y is None:
                raise ValueError("y must be given with data")
            coordinates, offsets = self.project(data)
            codes, classes = as_labels(y)
            if len(codes) != len(coordinates):
                raise ValueError(f"y has length {len(codes)} but data has {len(coordinates)} rows")
            shown = np.argsort(offsets, kind="stable")[:int(round(near * len(offsets)))]
            cycle = colors or plt.rcParams["axes.prop_cycle"].by_key()["color"]
            for code, label in enumerate(classes.tolist()):
                rows = shown[codes[shown] == code]
                ax.scatter(coordinates[rows, 0], coordinates[rows, 1], s=10, linewidths=0,
                           color=cycle[code % len(cycle)], alpha=0.7, label=f"{label}")
        ax.add_collection(LineCollection(list(self.segments), colors="0.2", linewidths=1.0,
                                         label="1-NN boundary", zorder=2))
        if points is not None:
            feet, _ = self.project(points)
            ax.scatter(feet[:, 0], feet[:, 1], s=18, facecolors="none", edgecolors="black",
                       linewidths=0.8, zorder=3, label="points")
        xmin, xmax, ymin, ymax = self.extent
        ax.set_xlim(xmin, xmax)
        ax.set_ylim(ymin, ymax)
        ax.set_aspect("equal")
        return ax


def boundary_slice(data: Any, y: Any, *, origin: Any = None, basis: Any = None,
                   extent: Any = None) -> BoundarySlice:
    """The exact 1-NN decision boundary where a plane cuts through the data space.

    The plane ``{origin + basis @ a}`` is a two-dimensional view of the
    d-dimensional data. A point of it is classified by its nearest row in
    all d dimensions, so the regions on the plane are a cut through the
    d-dimensional ones, not a projection of them. The boundary in the cut is
    computed exactly (a power diagram of the projected rows, from a convex
    hull), without a grid: every segment lies between two rows of different
    classes that are equally near there, and every change of the 1-NN label
    inside ``extent`` lies on a segment.

    Parameters
    ----------
    data : array_like, shape (n, d)
        The data set, d >= 2: an array, a DataFrame or nested lists of finite
        real numbers (measured in float64).
    y : array_like, length n
        Class labels per row: integers, strings, floats, bools or the values
        of a categorical; only equality matters. At least two classes.
    origin : array_like, shape (d,), optional
        A point of the plane, its coordinates (0, 0). Default: the column
        means; for d = 2, zero.
    basis : array_like, shape (d, 2), optional
        Two directions spanning the plane, orthonormalised by QR (Gram-Schmidt:
        the first column keeps its direction, the second keeps its side of
        it). Default: for d = 2 the identity, so plane coordinates are data
        coordinates (with the default origin); otherwise the first two principal axes of the centred
        data, each turned so that its largest entry is positive.
    extent : sequence of 4 floats, optional
        ``(xmin, xmax, ymin, ymax)``, the part of the plane to compute, in
        plane coordinates. Default: the box of the projected rows, widened
        by 5% of its larger side each way.

    Returns
    -------
    BoundarySlice
        ``segments`` and their ``pairs``, the ``origin``, ``basis`` and
        ``extent`` used, ``project()`` to map points into the plane and
        ``plot()`` to draw (matplotlib needed only there).

    Raises
    ------
    ValueError
        ``data`` not 2-D, empty or of one column, ``y`` of another length or a
        single class, NaN or infinity anywhere, ``origin`` not of length d,
        ``basis`` not of shape (d, 2) or of rank < 2, ``extent`` not four
        finite numbers with ``xmin < xmax`` and ``ymin < ymax``.
    TypeError
        Data, origin, basis or extent that are not real numbers; labels that
        cannot be compared with each other.

    Notes
    -----
    Rows with the same projection are reduced to the nearer one; rows
    equally near everywhere on the plane (their copies, say) to the lower
    index, as ``boundary_pairs`` breaks ties. Rows hidden by others have no
    region on the plane, and a class may be absent from it. Cost: one pass
    over the data (O(n d^2) for the default basis) and a 3-D convex hull,
    O(n log n); memory O(n) beyond the data.

    Examples
    --------
    >>> from vantrel_tools import boundary_slice
    >>> view = boundary_slice([[0, 0], [2, 0], [0, 2]], [0, 1, 1], extent=(-1, 3, -1, 3))
    >>> view.segments.tolist(), view.pairs.tolist()
    ([[[1.0, 1.0], [1.0, -1.0]], [[1.0, 1.0], [-1.0, 1.0]]], [[0, 1], [0, 2]])
    """
    array, codes, _ = checked_inputs(data, y)
    n, d = array.shape
    if d < 2:
        raise ValueError("data must have at least two columns to be cut by a plane")
    o = _checked_origin(origin, array)
    u = _checked_basis(basis, array, o)
    p, z = _lifted(array, o, u)
    box = _checked_extent(extent, p)
    segments, pairs = _power_edges(p, z, codes)
    segments, keep = _clipped(segments, box)
    pairs = pairs[keep]
    order = np.lexsort((pairs[:, 1], pairs[:, 0]))
    arrays = (segments[order], pairs[order], o, u)
    for a in arrays:
        a.flags.writeable = False
    return BoundarySlice(*arrays, extent=box)


def _real(value: Any, name: str) -> F64:
    array = np.asarray(value)
    if array.dtype.kind not in "fiu":
        raise TypeError(f"{name} must hold real numbers, not {array.dtype}")
    array = array.astype(np.float64)
    if not finite(array):
        raise ValueError(f"{name} must contain only finite values")
    return array


def _checked_origin(origin: Any, data: npt.NDArray[Any]) -> F64:
    d = data.shape[1]
    if origin is None:  # for d = 2 with the identity basis: data coordinates
        return np.zeros(d) if d == 2 else np.asarray(data.mean(axis=0, dtype=np.float64))
    o = _real(origin, "origin")
    if o.shape != (d,):
        raise ValueError(f"origin must have shape ({d},), not {o.shape}")
    return o


def _checked_basis(basis: Any, data: npt.NDArray[Any], o: F64) -> F64:
    n, d = data.shape
    if basis is None:
        if d == 2:
            return np.eye(2)
        # The principal axes from the d x d scatter matrix, built by blocks.
        scatter = np.zeros((d, d))
        for start in range(0, n, BLOCK_ROWS):
            block = data[start:start + BLOCK_ROWS].astype(np.float64) - o
            scatter += block.T @ block
        _, vectors = np.linalg.eigh(scatter)
        axes = vectors[:, ::-1][:, :2]
        flip = np.sign(axes[np.argmax(np.abs(axes), axis=0), [0, 1]])
        return np.ascontiguousarray(axes * np.where(flip == 0, 1.0, flip))
    b = _real(basis, "basis")
    if b.shape != (d, 2):
        raise ValueError(f"basis must have shape ({d}, 2), not {b.shape}")
    q, r = np.linalg.qr(b)
    if abs(r[1, 1]) <= RANK_TOL * np.linalg.norm(b[:, 1]) or r[0, 0] == 0:
        raise ValueError("basis must have rank 2: its columns span a line or less")
    return np.ascontiguousarray(q * np.sign(np.diag(r)))


def _lifted(data: npt.NDArray[Any], o: F64, u: F64) -> tuple[F64, F64]:
    """Plane coordinates p of the rows and |r - o|^2, by blocks."""
    n = len(data)
    p, z = np.empty((n, 2)), np.empty(n)
    for start in range(0, n, BLOCK_ROWS):
        block = data[start:start + BLOCK_ROWS].astype(np.float64) - o
        p[start:start + len(block)] = block @ u
        z[start:start + len(block)] = np.einsum("ij,ij->i", block, block)
    return p, z


def _checked_extent(extent: Any, p: F64) -> tuple[float, float, float, float]:
    if extent is None:
        lo, hi = p.min(axis=0), p.max(axis=0)
        margin = MARGIN * float(np.max(hi - lo))
        if margin == 0:  # every row projects onto one point
            margin = 1.0
        return (float(lo[0] - margin), float(hi[0] + margin),
                float(lo[1] - margin), float(hi[1] + margin))
    box = _real(extent, "extent")
    if box.shape != (4,):
        raise ValueError(f"extent must be (xmin, xmax, ymin, ymax), not of shape {box.shape}")
    if not (box[0] < box[1] and box[2] < box[3]):
        raise ValueError(f"extent must have xmin < xmax and ymin < ymax, not {box.tolist()}")
    xmin, xmax, ymin, ymax = box.tolist()
    return (xmin, xmax, ymin, ymax)


def _power_edges(p: F64, z: F64, codes: I64) -> tuple[F64, I64]:
    """The power diagram's edges between rows of different classes, and the rows.

    Each edge is (start, end, direction): a segment from start to end; where
    end is NaN, a ray from start along direction; where end is infinite, the
    whole line through start along direction."""
    # Equal projections: the nearer row (smaller z), then the lower index.
    n = len(p)
    order = np.lexsort((np.arange(n), z, p[:, 1], p[:, 0]))
    sp = p[order]
    first = np.ones(n, dtype=bool)
    first[1:] = np.any(sp[1:] != sp[:-1], axis=1)
    rows = order[first]
    q, lift = p[rows], z[rows]
    # Centred and shifted for Qhull's precision; the diagram does not change:
    # powers |x - p|^2 + w of all rows measured from c, less one constant.
    c = q.mean(axis=0)
    q = q - c
    lift = lift - 2.0 * (p[rows] @ c) + c @ c
    lift = lift - lift.min()
    empty = np.empty((0, 3, 2)), np.empty((0, 2), dtype=np.int64)
    if len(rows) < 2:
        return empty
    edges, ends = _hull_edges(q, lift)
    if edges is None:
        edges, ends = _line_edges(q, lift)
    a, b = rows[ends[:, 0]], rows[ends[:, 1]]
    other = codes[a] != codes[b]
    edges[:, :2] += c  # points, not the direction row
    pairs = np.sort(np.column_stack([a, b])[other], axis=1)
    return edges[other], pairs


def _hull_edges(q: F64, lift: F64) -> tuple[Any, Any]:
    """The power diagram's edges, as _power_edges gives them, and their two
    points; (None, None) when the projections lie on one line."""
    from scipy.spatial import ConvexHull, QhullError  # type: ignore[import-untyped]

    span = float(np.ptp(q, axis=0).max())
    scale = span / float(lift.max()) if lift.max() > 0 else 1.0
    # A point far above the others: never on the lower hull, it keeps the
    # hull three-dimensional when all lifted points are coplanar.
    apex = np.array([[0.0, 0.0, 3.0 * span]])
    points = np.vstack([np.column_stack([q, lift * scale]), apex])
    try:
        hull = ConvexHull(points)
    except QhullError:
        return None, None
    normals = hull.equations[:, :3]
    lower = normals[:, 2] < 0
    lower &= ~np.any(hull.simplices == len(q), axis=1)
    if not lower.any():
        return None, None
    # The facet z' = a.x + b (z' = scale z) is the vertex a / (2 scale).
    vertex = np.full((len(normals), 2), np.nan)
    vertex[lower] = -normals[lower, :2] / (2.0 * scale * normals[lower, 2:3])
    facets = np.flatnonzero(lower)
    out_start, out_end, out_dir, out_pair = [], [], [], []
    for k in range(3):
        ends = np.delete(hull.simplices[facets], k, axis=1)
        neighbour = hull.neighbors[facets, k]
        both = lower[neighbour]
        once = both & (facets < neighbour)
        out_start.append(vertex[facets[once]])
        out_end.append(vertex[neighbour[once]])
        out_dir.append(np.zeros((int(once.sum()), 2)))
        out_pair.append(ends[once])
        # A rim edge: a ray from the facet's vertex, outward from the
        # projections' centre (0, in these coordinates), across the pair.
        rim = ~both
        i, j = ends[rim, 0], ends[rim, 1]
        tangent = q[j] - q[i]
        normal = np.column_stack([-tangent[:, 1], tangent[:, 0]])
        side = np.sign(np.einsum("ij,ij->i", normal, 0.5 * (q[i] + q[j])))
        out_start.append(vertex[facets[rim]])
        out_end.append(np.full((int(rim.sum()), 2), np.nan))
        out_dir.append(normal * side[:, None])
        out_pair.append(ends[rim])
    edges = np.stack([np.concatenate(out_start), np.concatenate(out_end),
                      np.concatenate(out_dir)], axis=1)
    return edges, np.concatenate(out_pair).astype(np.int64)


def _line_edges(q: F64, lift: F64) -> tuple[F64, I64]:
    """Edges of the power diagram of projections on one line: whole lines."""
    _, _, vt = np.linalg.svd(q, full_matrices=False)
    axis = vt[0]
    t = q @ axis
    chain: list[int] = []
    for i in np.lexsort((lift, t)).tolist():  # the lower hull of (t, lift), left to right
        while len(chain) >= 2:
            h, k = chain[-2], chain[-1]
            cross = (t[k] - t[h]) * (lift[i] - lift[h]) - (lift[k] - lift[h]) * (t[i] - t[h])
            if cross > 0:
                break
            chain.pop()
        if chain and t[i] == t[chain[-1]]:
            continue  # equal along the line: the lower lift, first, stays
        chain.append(i)
    a, b = np.array(chain[:-1], dtype=np.int64), np.array(chain[1:], dtype=np.int64)
    # 2 x.(q_b - q_a) = lift_b - lift_a at x = s axis + e normal.
    s = (lift[b] - lift[a]) / (2.0 * (t[b] - t[a]))
    normal = np.array([-axis[1], axis[0]])
    start = s[:, None] * axis
    edges = np.stack([start, np.full_like(start, np.inf), np.tile(normal, (len(a), 1))], axis=1)
    return edges, np.column_stack([a, b])


def _clipped(edges: F64, box: tuple[float, float, float, float]) -> tuple[F64, npt.NDArray[np.bool_]]:
    """Segments, rays and lines (as _power_edges gives them) cut to the box (Liang-Barsky)."""
    start = edges[:, 0]
    line = np.isinf(edges[:, 1, 0])
    ray = np.isnan(edges[:, 1, 0]) | line
    step = np.where(ray[:, None], edges[:, 2], edges[:, 1] - start)
    lo_t = np.where(line, -np.inf, 0.0)
    hi_t = np.where(ray, np.inf, 1.0)
    xmin, xmax, ymin, ymax = box
    with np.errstate(divide="ignore", invalid="ignore"):
        for axis, low, high in ((0, xmin, xmax), (1, ymin, ymax)):
            s, v = start[:, axis], step[:, axis]
            t1, t2 = (low - s) / v, (high - s) / v
            enter, leave = np.minimum(t1, t2), np.maximum(t1, t2)
            parallel = v == 0
            inside = (s >= low) & (s <= high)
            enter = np.where(parallel, np.where(inside, -np.inf, np.inf), enter)
            leave = np.where(parallel, np.where(inside, np.inf, -np.inf), leave)
            lo_t, hi_t = np.maximum(lo_t, enter), np.minimum(hi_t, leave)
    keep = (hi_t > lo_t) & np.any(step != 0, axis=1)  # coplanar facets: length 0
    segments = np.stack([start + lo_t[:, None] * step, start + hi_t[:, None] * step], axis=1)
    return np.ascontiguousarray(segments[keep]), keep
