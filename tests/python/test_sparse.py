"""End-to-end tests of sparse mode: batches until enough distinct pairs are found.

The expected geometry is computed here in float64 by brute force from the
data: for every returned point, its nearest row and the nearest row of another
class.
"""

import re
import warnings

import numpy as np
import pytest

from scipy.sparse import csr_matrix
from scipy.sparse.csgraph import maximum_bipartite_matching

import vantrel

WARNING_TEXT = "requested {} distinct boundary points, but found {} before reaching max_batches={}"


def labelled_cloud(n=400, d=2, classes=3, seed=0):
    rng = np.random.default_rng(seed)
    data = rng.uniform(-3.0, 5.0, size=(n, d))
    labels = rng.integers(0, classes, size=n)
    return data, labels.tolist()


def line_data(rows=11):
    """Rows on a line with alternating classes: exactly rows - 1 neighbouring pairs."""
    data = np.arange(rows, dtype=np.float64).reshape(-1, 1) * 0.5 + 2.0
    return data, [i % 2 for i in range(rows)]


def sparse(data, labels, **kwargs):
    """tresk in sparse mode, returning (points, shortfall warnings)."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        points = vantrel.tresk(data, labels, sparse=True, **kwargs)
    shortfalls = [w for w in caught if issubclass(w.category, RuntimeWarning)]
    return np.array(points, dtype=np.float64).reshape(-1, data.shape[1]), shortfalls


def nearest_pairs(points, data, labels, eps):
    """Per point, every pair it may stand on, computed in float64: the cross-class
    pairs among the rows within eps of its nearest distance (a point where three
    cells meet stands on more than one), and the gap between its nearest row and
    its nearest row of another class."""
    labels = np.asarray(labels)
    dist = np.sqrt(((points[:, None, :] - data[None, :, :]) ** 2).sum(axis=2))
    near = dist.min(axis=1)
    other = np.array([dist[k][labels != labels[dist[k].argmin()]].min() for k in range(len(points))])
    candidates = []
    for k in range(len(points)):
        rows = np.flatnonzero(dist[k] <= near[k] + eps)
        candidates.append({(int(a), int(b)) for a in rows for b in rows if a < b and labels[a] != labels[b]})
    return candidates, other - near


def distinct_pairs_possible(candidates):
    """Whether every point can be given its own pair from its candidates."""
    ids = {}
    rows, cols = [], []
    for k, pairs in enumerate(candidates):
        for pair in pairs:
            rows.append(k)
            cols.append(ids.setdefault(pair, len(ids)))
    graph = csr_matrix((np.ones(len(rows)), (rows, cols)), shape=(len(candidates), max(len(ids), 1)))
    matching = maximum_bipartite_matching(graph, perm_type="column")
    return bool(np.all(matching >= 0))


def check_shortfall(shortfalls, n_points, found, max_batches):
    if found < n_points:
        assert len(shortfalls) == 1
        assert str(shortfalls[0].message) == WARNING_TEXT.format(n_points, found, max_batches)
    else:
        assert shortfalls == []


def test_defaults_end_to_end():
    data, labels = labelled_cloud(n=900, d=2)
    points, shortfalls = sparse(data, labels)
    assert 0 < len(points) <= 1000
    check_shortfall(shortfalls, 1000, len(points), 20)
    # A point may stop once its last projection moved it by at most sqrt(tol),
    # so it is within that distance of the boundary, not exactly on it.
    candidates, gap = nearest_pairs(points, data, labels, eps=2 * np.sqrt(1e-6))
    assert np.all(gap <= 2 * np.sqrt(1e-6))
    assert distinct_pairs_possible(candidates)


@pytest.mark.parametrize("n, d, classes, n_points, batch_size", [
    (300, 2, 2, 200, 64),
    (200, 5, 3, 150, 40),
    (120, 3, 4, 400, 256),   # asks for more pairs than exist nearby: a shortfall
])
def test_points_lie_on_distinct_neighbouring_pairs(n, d, classes, n_points, batch_size):
    # With tol = 0 a point stops only when its pair repeats, so it ends on the
    # bisector of the pair nearest to where it stands.
    data, labels = labelled_cloud(n=n, d=d, classes=classes, seed=n + d)
    points, shortfalls = sparse(data, labels, n_points=n_points, batch_size=batch_size, max_batches=15,
                                seed=5, tol=0.0)
    assert 0 < len(points) <= n_points
    check_shortfall(shortfalls, n_points, len(points), 15)
    eps = 1e-5 * np.ptp(data, axis=0).max()  # float32 rounding in normalised space
    candidates, gap = nearest_pairs(points, data, labels, eps)
    assert np.all(gap <= eps)
    assert distinct_pairs_possible(candidates)


@pytest.mark.parametrize("n_points, max_batches, expect_found", [
    (10, 60, 10),   # every one of the ten pairs, each once
    (25, 12, 10),   # only ten exist: the shortfall names them
])
def test_line_yields_each_midpoint_once(n_points, max_batches, expect_found):
    data, labels = line_data(11)
    points, shortfalls = sparse(data, labels, n_points=n_points, batch_size=8, max_batches=max_batches, seed=2)
    assert len(points) == expect_found
    midpoints = (data[:-1, 0] + data[1:, 0]) / 2
    np.testing.assert_allclose(np.sort(points[:, 0]), midpoints, atol=1e-6)
    check_shortfall(shortfalls, n_points, expect_found, max_batches)


@pytest.mark.parametrize("n, d, batch_size", [
    (250, 3, 32),
    (9000, 2, 1024),  # 1,024 x 9,000 products exceed one block: chunked sweeps
])
def test_seeded_runs_repeat_with_and_without_the_pool(n, d, batch_size):
    data, labels = labelled_cloud(n=n, d=d, seed=3)
    kwargs = dict(n_points=300, batch_size=batch_size, max_batches=4, seed=123)
    first, _ = sparse(data, labels, parallel=True, **kwargs)
    again, _ = sparse(data, labels, parallel=True, **kwargs)
    serial, _ = sparse(data, labels, parallel=False, **kwargs)
    assert len(first) > 0
    np.testing.assert_array_equal(first, again)
    np.testing.assert_array_equal(first, serial)
    other_seed, _ = sparse(data, labels, **{**kwargs, "seed": 124})
    assert not np.array_equal(first, other_seed)


def test_unseeded_calls_differ():
    data, labels = labelled_cloud(n=200, d=2, seed=4)
    first, _ = sparse(data, labels, n_points=50, batch_size=32)
    second, _ = sparse(data, labels, n_points=50, batch_size=32)
    assert len(first) > 0 and len(second) > 0
    assert not np.array_equal(first, second)


def test_shortfall_warning_names_its_three_numbers():
    data = np.array([[0.0, 1.0], [2.0, -1.0]])  # two rows: a single pair
    points, shortfalls = sparse(data, [0, 1], n_points=7, batch_size=5, max_batches=3, seed=0)
    assert len(points) == 1
    assert len(shortfalls) == 1
    assert str(shortfalls[0].message) == "requested 7 distinct boundary points, but found 1 before reaching max_batches=3"


def test_shortfall_warning_as_error_raises():
    data = np.array([[0.0, 1.0], [2.0, -1.0]])
    with warnings.catch_warnings():
        warnings.simplefilter("error", RuntimeWarning)
        with pytest.raises(RuntimeWarning, match=re.escape(WARNING_TEXT.format(4, 1, 2))):
            vantrel.tresk(data, [0, 1], n_points=4, batch_size=4, max_batches=2, seed=0)


@pytest.mark.parametrize("n_points, batch_size", [(5, 16), (16, 16), (40, 16), (300, 64)])
def test_one_batch_returns_at_most_one_batch(n_points, batch_size):
    data, labels = labelled_cloud(n=500, d=2, seed=6)
    points, shortfalls = sparse(data, labels, n_points=n_points, batch_size=batch_size, max_batches=1, seed=9)
    assert 0 < len(points) <= min(n_points, batch_size)
    check_shortfall(shortfalls, n_points, len(points), 1)


def test_huge_target_with_one_batch_reserves_only_one_batch():
    # Room for 2**31 points of 8 features would be 64 GiB of points alone.
    data, labels = labelled_cloud(n=100, d=8, seed=7)
    points, shortfalls = sparse(data, labels, n_points=2**31, batch_size=8, max_batches=1, seed=1)
    assert 0 < len(points) <= 8
    check_shortfall(shortfalls, 2**31, len(points), 1)
    assert "requested 2147483648 distinct" in str(shortfalls[0].message)
