"""vantrel_tools: boundary pairs against a brute-force float64 search, and the
search spread over local processes and a dask LocalCluster.

boundary_pairs is checked against every-point-against-every-row float64
distances, on data built so that ties are exact (integer grids, repeated
rows and points), with labels that are neither 0..k-1 nor grouped by class,
across many small blocks, and near the limits of float64.
tresk_distributed is checked for what it promises
whatever runs it: the same points for the same seed and tasks on both
engines, dense results equal to the tasks' own tresk calls, distinct pairs in
sparse mode, the shortfall warning; and that Ctrl-C and a dead worker end a
call promptly with the workers gone (in a child interpreter, with a timeout).

boundary_summary is checked against plain loops, with the same classes
labelled by numbers and by names.
"""

from __future__ import annotations

import doctest
import os
import re
import signal
import sys
import threading
import time
import warnings

import numpy as np
import pytest

import vantrel
import vantrel_tools
from processes import run_bounded
from vantrel_tools import _pairs, boundary_pairs, boundary_slice, boundary_summary, tresk_distributed


@pytest.fixture(scope="module")
def cluster_client():
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None, silence_logs=40) as cluster, \
            distributed.Client(cluster, timeout="120s") as client:
        client.wait_for_workers(2, timeout=120)
        yield client


def brute_force(data, y, points):
    data, y = np.asarray(data, dtype=np.float64), np.asarray(y)
    points = np.asarray(points, dtype=np.float64).reshape(-1, data.shape[1])
    dist = np.sqrt(((points[:, None, :] - data[None, :, :]) ** 2).sum(axis=2))
    near = dist.argmin(axis=1)  # first minimum: ties to the lower row index
    other = np.where(y[None, :] != y[near][:, None], dist, np.inf)
    rival = other.argmin(axis=1)
    rows = np.arange(len(points))
    return np.sort(np.column_stack([near, rival]), axis=1), other[rows, rival] - dist[rows, near]


def grid_case(rng):
    # Integer rows and half-integer points: many exactly equal distances.
    data = rng.integers(-3, 4, size=(120, 3)).astype(np.float64)
    y = np.array([7, -3, 100])[rng.integers(0, 3, len(data))]
    return data, y, rng.integers(-7, 8, size=(200, 3)) / 2


def gaussian_case(rng):
    data = rng.normal(size=(700, 6)).astype(np.float32)
    y = (data[:, 0] * data[:, 1] > 0).astype(np.int64)
    return data, y, vantrel.tresk(data, y, n_points=150, sparse=False, seed=3)


def tie_case(rng):
    # Twelve integer rows five from the origin, each repeated in every class,
    # and points at the origin: every row is equally near, and equal rows and
    # equal points abound.
    circle = np.array([(5, 0), (0, 5), (3, 4), (4, 3)])
    circle = np.concatenate([circle * sign for sign in ([1, 1], [-1, 1], [1, -1], [-1, -1])])
    data = np.unique(circle, axis=0)[rng.integers(0, 12, 600)].astype(np.float64)
    points = np.concatenate([np.zeros((30, 2)), rng.integers(-10, 11, size=(30, 2)) / 2])
    return data, rng.integers(0, 3, len(data)), rng.permutation(points)


@pytest.mark.parametrize("case", [grid_case, gaussian_case, tie_case])
@pytest.mark.parametrize("blocks", ["one", "many"])
@pytest.mark.parametrize("scale", [1.0, 2.0**900, 2.0**-1000])
def test_boundary_pairs_matches_brute_force(monkeypatch, case, blocks, scale):
    data, y, points = case(np.random.default_rng(4))
    expected_pairs, expected_gaps = brute_force(data, y, points)
    if blocks == "many":  # rows and points split into blocks that end anywhere
        monkeypatch.setattr(_pairs, "ROW_BLOCK", 7)
        monkeypatch.setattr(_pairs, "BLOCK_ELEMENTS", 7 * 13)
        # and every shortlist of two or more rows taken in float64 and in groups
        monkeypatch.setattr(_pairs, "HEAVY", 1)
        monkeypatch.setattr(_pairs, "CANDIDATES", 5)
    # A power of two scales distances exactly, so the ranking must not move.
    pairs, gaps = boundary_pairs(np.asarray(data, dtype=np.float64) * scale, y,
                                 np.asarray(points, dtype=np.float64) * scale)
    assert pairs.dtype == np.int64 and gaps.dtype == np.float64
    np.testing.assert_array_equal(pairs, expected_pairs)
    np.testing.assert_allclose(gaps / scale, expected_gaps, rtol=1e-12, atol=1e-12)


def test_boundary_pairs_takes_tresk_results_as_they_come():
    data = np.array([[0.0, 0.0], [1.0, 0.0], [0.0, 3.0]], dtype=np.float32)
    y = b"\x00\x01\x00"
    assert boundary_pairs(data, y, [])[0].shape == (0, 2)
    listed = boundary_pairs(data, y, [[0.5, 0.0], [0.5, 2.0]])
    as_array = boundary_pairs(data.T.copy().T, np.array([0, 1, 0]), np.array([[0.5, 0.0], [0.5, 2.0]]))
    for got in (listed, as_array):
        np.testing.assert_array_equal(got[0], [[0, 1], [1, 2]])


@pytest.mark.parametrize("data, y, points, error, message", [
    (np.zeros((3, 2)), [0, 1], [[0.0, 0.0]], ValueError, "y has length 2 but data has 3 rows"),
    (np.eye(3), [0, 1, 1], [[0.0, 0.0]], ValueError, r"points must have shape \(m, 3\)"),
    (np.eye(3), [0, 1, 1], [0.0, 0.0, 0.0], ValueError, r"points must have shape \(m, 3\)"),
    (np.eye(3), [1, 1, 1], [[0.0, 0.0, 0.0]], ValueError, "at least two different classes"),
    (np.eye(3), [0, None, "b"], [[0.0, 0.0, 0.0]], TypeError, "y must hold labels that can be compared"),
    (np.eye(3), "abc", [[0.0, 0.0, 0.0]], TypeError, "y must be a sequence of labels"),
    (np.eye(2) * 1j, [0, 1], [[0.0, 0.0]], TypeError, "data must hold real numbers, not complex"),
    (np.eye(2), [0, 1], np.eye(2) * 1j, TypeError, "points must hold real numbers, not complex"),
    (np.eye(2, dtype=np.longdouble) * np.longdouble(2.0) ** 2000, [0, 1], [[0.0, 0.0]], ValueError,
     "data holds values beyond the range of float64"),
    (np.zeros(3), [0, 1, 1], [[0.0]], ValueError, "data must be a non-empty two-dimensional"),
    (np.array([[0.0], [np.nan]]), [0, 1], [[0.0]], ValueError, "data must contain only finite"),
    (np.eye(2), [0, 1], [[np.inf, 0.0]], ValueError, "points must contain only finite"),
])
def test_boundary_pairs_rejects_bad_input(data, y, points, error, message):
    with pytest.raises(error, match=message):
        boundary_pairs(data, y, points)


def frame(values):
    return pytest.importorskip("pandas").DataFrame(values, columns=[f"c{i}" for i in range(values.shape[1])])


def categories(labels):
    return pytest.importorskip("pandas").Categorical(np.array(["setosa", "virginica", "versicolor"])[labels])


@pytest.mark.parametrize("given_data, given_y", [
    (lambda d: d.tolist(), lambda y: np.array(["setosa", "virginica", "versicolor"])[y]),
    (frame, categories),
    (lambda d: np.round(d * 100).astype(np.int32), lambda y: y * 0.5 - 1.0),
    (lambda d: d.astype(np.float16), lambda y: list(y + 10)),
    (lambda d: d.astype(np.float32), lambda y: y == 1),
])
def test_the_tools_take_the_data_users_have(given_data, given_y):
    """Array-likes of any real type and any comparable labels: the results of float arrays and integer classes."""
    rng = np.random.default_rng(8)
    data = rng.normal(size=(300, 3))
    y = np.argmax(data @ rng.normal(size=(3, 3)), axis=1)
    data, labels = given_data(data), given_y(y)
    as_array = np.asarray(data)
    as_array = as_array if as_array.dtype == np.float32 else as_array.astype(np.float64)
    classes = np.unique(np.asarray(labels), return_inverse=True)[1]
    for sparse in (True, False):
        expected = tresk_distributed(as_array, classes, 30, tasks=2, seed=4, sparse=sparse, max_batches=4)
        points = tresk_distributed(data, labels, 30, tasks=2, seed=4, sparse=sparse, max_batches=4)
        np.testing.assert_array_equal(points, expected)
        for got, want in zip(boundary_pairs(data, labels, points), boundary_pairs(as_array, classes, points)):
            np.testing.assert_array_equal(got, want)


def summary_by_loops(y, pairs):
    """Distinct pairs, {(label, label): count} both ways round, rows on a pair, {label: share}."""
    distinct = []
    for a, b in pairs:
        if (min(a, b), max(a, b)) not in distinct:
            distinct.append((min(a, b), max(a, b)))
    counts = {}
    for a, b in distinct:
        counts[y[a], y[b]] = counts.get((y[a], y[b]), 0) + 1
        counts[y[b], y[a]] = counts.get((y[b], y[a]), 0) + 1
    on = [any(i in pair for pair in distinct) for i in range(len(y))]
    share = {c: sum(on[i] for i in range(len(y)) if y[i] == c) / list(y).count(c) for c in set(y)}
    return distinct, counts, on, share


NUMBERS = [7, -3, 100, 7, 7, -3, 100, 100, 7, -3, 100, 7]
NAMES = {7: "seven", -3: "minus three", 100: "hundred"}  # sorted in another order


def random_pairs():
    pairs = np.random.default_rng(0).integers(0, 9, size=(60, 2))  # rows 9 to 11 on no face
    return pairs[np.take(NUMBERS, pairs[:, 0]) != np.take(NUMBERS, pairs[:, 1])]


@pytest.mark.parametrize("pairs", [
    [[3, 2], [1, 0], [0, 1], [11, 9], [2, 3], [1, 0]],  # repeated, either way round
    np.array([[4, 10], [5, 7], [7, 5], [0, 9], [4, 10]], dtype=np.uint16),
    random_pairs(),
    [], np.empty((0, 2), dtype=np.int32),
])
def test_boundary_summary_matches_loops(pairs):
    results = []
    for y in (NUMBERS, [NAMES[v] for v in NUMBERS]):
        got = boundary_summary(y, pairs)
        distinct, counts, on, share = summary_by_loops(y, np.reshape(pairs, (-1, 2)).tolist())
        assert got.pairs.dtype == got.counts.dtype == np.int64 and got.pairs.shape == (len(distinct), 2)
        assert got.pairs.tolist() == [list(p) for p in distinct]
        assert got.classes.tolist() == sorted(set(y))
        assert {(a, b): n for a, row in zip(got.classes.tolist(), got.counts.tolist())
                for b, n in zip(got.classes.tolist(), row) if n} == counts
        assert got.on_boundary.tolist() == on
        assert dict(zip(got.classes.tolist(), got.share.tolist())) == share
        results.append(got)
    numbers, names = results
    np.testing.assert_array_equal(numbers.pairs, names.pairs)
    np.testing.assert_array_equal(numbers.on_boundary, names.on_boundary)


@pytest.mark.parametrize("y, pairs, error, message", [
    ([0, 1, 1], [[0, 1, 2]], ValueError, r"pairs must have shape \(m, 2\), not \(1, 3\)"),
    ([0, 1, 1], [0, 1], ValueError, r"pairs must have shape \(m, 2\), not \(2,\)"),
    ([0, 1, 1], [[0.0, 1.0]], TypeError, "pairs must hold integer row indices, not float64"),
    ([0, 1, 1], [[True, False]], TypeError, "pairs must hold integer row indices, not bool"),
    ([0, 1, 1], [[0, 1], [3, 0]], ValueError, r"pairs must hold row indices from 0 to 2 \(y has 3 rows\), not 3"),
    ([0, 1, 1], [[-1, 0]], ValueError, "pairs must hold row indices from 0 to 2"),
    ([0, 1, 1], np.array([[2**63, 0]], dtype=np.uint64), ValueError, "pairs must hold row indices from 0 to 2"),
    (["a", "b", "b"], [[0, 1], [2, 1]], ValueError,
     r"pairs must join rows of different classes, but pairs\[1\] = \[2, 1\] joins two rows of class 'b'"),
    ([5, 5, 5], [[0, 1]], ValueError, "y must contain at least two different classes"),
])
def test_boundary_summary_rejects_bad_input(y, pairs, error, message):
    with pytest.raises(error, match=message):
        boundary_summary(y, pairs)


def test_docstring_examples_run():
    for name in vantrel_tools.__all__:
        finder, runner = doctest.DocTestFinder(), doctest.DocTestRunner()
        for test in finder.find(getattr(vantrel_tools, name), name):
            runner.run(test)
        assert runner.summarize(verbose=False) == (0, runner.tries) and runner.tries > 0, name


# --------------------------------------------------------------------------
# nearest_boundary

def least_distance(normals, h):
    """Shortest z with normals @ z <= h, by NNLS on the dual (Lawson and Hanson's LDP)."""
    e = np.zeros(normals.shape[1] + 1)
    e[-1] = 1.0
    matrix = np.vstack([-normals.T, -h[None, :]])
    u, _ = scipy_optimize().nnls(matrix, e, maxiter=50 * matrix.shape[1])
    r = matrix @ u - e
    return -r[:-1] / r[-1]


def scipy_optimize():
    return pytest.importorskip("scipy.optimize")


def cells_by_exhaustion(data, y, queries):
    """Per query, the least distance to the Voronoi cell (every row a constraint) of any row of another class."""
    data, y = np.asarray(data, dtype=np.float64), np.asarray(y)
    found = []
    for q in np.asarray(queries, dtype=np.float64):
        near = np.argmin(((data - q) ** 2).sum(axis=1))
        best = np.inf
        for j in np.flatnonzero(y != y[near]):
            others = data[(data != data[j]).any(axis=1)]  # a copy of r_j bounds nothing
            normals = others - data[j]
            lengths = np.linalg.norm(normals, axis=1)
            h = np.einsum("ij,ij->i", normals, 0.5 * (others + data[j]) - q) / lengths
            best = min(best, np.linalg.norm(least_distance(normals / lengths[:, None], h)))
        found.append(best)
    return np.array(found)


def blobs_2d(rng):
    data = rng.normal(size=(50, 2))
    y = np.array(["b", "a", "c"])[rng.integers(0, 3, len(data))]
    return data, y, np.vstack([rng.normal(size=(30, 2)) * 1.5, data[:5]])


def grid_3d(rng):
    # Integer rows with copies (of one class and of two) and half-integer
    # queries: queries on bisectors, equal to rows, equidistant from many.
    data = rng.integers(-2, 3, size=(45, 3)).astype(np.float64)
    return data, rng.integers(0, 3, len(data)) * 10 + 5, rng.integers(-4, 5, size=(30, 3)) / 2


def wine_subset(rng):
    datasets = pytest.importorskip("sklearn.datasets")
    data, y = datasets.load_wine(return_X_y=True)
    data = (data - data.mean(axis=0)) / data.std(axis=0)
    rows = rng.choice(len(data), 70, replace=False)
    return data[rows[:55]], y[rows[:55]], data[rows[55:]]


def float32_blobs(rng):
    data, y, queries = blobs_2d(rng)
    return data.astype(np.float32), y == "a", queries


@pytest.mark.parametrize("case", [blobs_2d, grid_3d, wine_subset, float32_blobs])
@pytest.mark.parametrize("settings", ["as shipped", "small"])
def test_nearest_boundary_matches_every_cell_projected(monkeypatch, case, settings):
    data, y, queries = case(np.random.default_rng(5))
    if settings == "small":  # blocks that end anywhere, most cuts left to the full tests, matrix products
        for name, value in [("BLOCK_ELEMENTS", 97), ("SHARPEN", 2), ("CUTS", 1), ("FEW", 0)]:
            monkeypatch.setattr(vantrel_tools._nearest, name, value)
    points, distances, pairs = vantrel_tools.nearest_boundary(data, y, queries)
    data, y = np.asarray(data, dtype=np.float64), np.asarray(y)
    expected = cells_by_exhaustion(data, y, queries)
    assert points.dtype == distances.dtype == np.float64 and pairs.dtype == np.int64
    np.testing.assert_allclose(distances, expected, rtol=1e-9, atol=1e-12)
    np.testing.assert_allclose(np.linalg.norm(points - queries, axis=1), distances, rtol=1e-12, atol=0)
    # The point lies between its pair: the first row of the query's predicted
    # class and nearest of it, the second of another class and as near.
    to_rows = np.sqrt(((points[:, None, :] - data[None, :, :]) ** 2).sum(axis=2))
    predicted = y[np.argmin(((queries[:, None, :] - data[None, :, :]) ** 2).sum(axis=2), axis=1)]
    rows = np.arange(len(points))
    assert (y[pairs[:, 0]] == predicted).all() and (y[pairs[:, 1]] != predicted).all()
    own = np.where(y[None, :] == predicted[:, None], to_rows, np.inf).min(axis=1)
    np.testing.assert_allclose(to_rows[rows, pairs[:, 0]], own, rtol=1e-12, atol=1e-12)
    np.testing.assert_allclose(to_rows[rows, pairs[:, 1]], own, rtol=1e-9, atol=1e-12)


def test_nearest_boundary_on_the_boundary_and_at_a_row():
    data = np.array([[0.0, 0.0], [2.0, 0.0], [0.0, 0.0], [0.0, 6.0]])
    points, distances, pairs = vantrel_tools.nearest_boundary(
        data, [1, 2, 1, 2], [[1.0, 2.0], [0.0, 0.0], [2.0, 0.0]])
    # On the bisector of rows 0 and 1: the query itself; at row 0 (and its
    # copy, row 2): halfway to row 1; at row 1: halfway back.
    np.testing.assert_array_equal(points, [[1.0, 2.0], [1.0, 0.0], [1.0, 0.0]])
    np.testing.assert_array_equal(distances, [0.0, 1.0, 1.0])
    np.testing.assert_array_equal(pairs, [[0, 1], [0, 1], [1, 0]])


@pytest.mark.parametrize("queries", [[], np.empty((0, 2))])
def test_nearest_boundary_of_no_queries(queries):
    points, distances, pairs = vantrel_tools.nearest_boundary(np.eye(2), [0, 1], queries)
    assert points.shape == (0, 2) and distances.shape == (0,) and pairs.shape == (0, 2)
    assert pairs.dtype == np.int64


@pytest.mark.parametrize("data, y, queries, error, message", [
    (np.eye(3), [1, 1, 1], np.zeros((1, 3)), ValueError, "at least two different classes"),
    (np.array([[0.0], [np.nan]]), [0, 1], [[0.0]], ValueError, "data must contain only finite"),
    (np.eye(2), [0, 1], [[np.nan, 0.0]], ValueError, "queries must contain only finite"),
    (np.eye(2), [0, 1], [[np.inf, 0.0]], ValueError, "queries must contain only finite"),
    (np.eye(3), [0, 1, 1], [[0.0, 0.0]], ValueError, r"queries must have shape \(m, 3\)"),
    (np.eye(3), [0, 1, 1], [0.0, 0.0, 0.0], ValueError, r"queries must have shape \(m, 3\)"),
    (np.eye(2), [0, 1], [[0.0, 0.0], [0.0]], ValueError, r"queries must have shape \(m, 2\)"),
    (np.eye(2), [0, 1], np.eye(2) * 1j, TypeError, "queries must hold real numbers"),
])
def test_nearest_boundary_rejects_bad_input(data, y, queries, error, message):
    with pytest.raises(error, match=message):
        vantrel_tools.nearest_boundary(data, y, queries)


# --------------------------------------------------------------------------
# tresk_distributed

def spiral_data():
    rng = np.random.default_rng(2)
    data = rng.normal(size=(2_000, 4))
    return data, np.argmax(data @ rng.normal(size=(4, 3)), axis=1)


def task_seeds(seed, tasks):
    return [int(s.generate_state(1, np.uint64)[0]) for s in np.random.SeedSequence(seed).spawn(tasks)]


@pytest.mark.slow  # a LocalCluster; not what the sanitizer run is for
@pytest.mark.parametrize("sparse", [False, True])
def test_same_points_for_the_same_seed_and_tasks_on_either_engine(cluster_client, sparse):
    data, y = spiral_data()
    kwargs = dict(tasks=3, seed=11, sparse=sparse, max_iter=50)
    local = tresk_distributed(data, y, 200, **kwargs)
    on_cluster = tresk_distributed(data, y, 200, client=cluster_client, **kwargs)
    np.testing.assert_array_equal(local, on_cluster)
    assert local.shape == (200, 4) and local.dtype == np.float64
    pairs, gaps = boundary_pairs(data, y, local)
    assert gaps.max() < 1e-3  # on the boundary
    if sparse:
        assert len({tuple(p) for p in pairs.tolist()}) == 200
    else:  # the tasks' own calls, in task order: shares 67, 67, 66
        expected = [vantrel.tresk(data, y, share, max_iter=50, sparse=False, seed=s)
                    for share, s in zip([67, 67, 66], task_seeds(11, 3))]
        np.testing.assert_array_equal(local, np.concatenate(expected))


def test_sparse_shortfall_warns_and_keeps_distinct_pairs():
    rng = np.random.default_rng(5)
    data = rng.normal(size=(40, 2))
    y = (data[:, 0] > 0).astype(int)
    with pytest.warns(RuntimeWarning, match=r"requested 500 distinct boundary points, but found"
                                            r" (\d+) before reaching max_batches=3") as caught:
        points = tresk_distributed(data, y, 500, tasks=2, seed=0, max_batches=3, batch_size=32)
    found = int(re.search(r"found (\d+)", str(caught[0].message))[1])
    pairs = {tuple(p) for p in boundary_pairs(data, y, points)[0].tolist()}
    assert 0 < found == len(points) == len(pairs) < 500


@pytest.mark.parametrize("kwargs, error, message", [
    (dict(colour=1), TypeError, "unexpected keyword argument 'colour'"),
    (dict(n_points=0), ValueError, "n_points must be greater than zero"),
    (dict(tasks=0), ValueError, "tasks must be greater than zero"),
    (dict(tasks=1.5), TypeError, "tasks must be an integer"),
    (dict(seed=-1), ValueError, "seed must be None or a non-negative integer"),
    (dict(sparse=1), TypeError, "sparse must be a bool"),
    (dict(batch_size=0), ValueError, "batch_size must be greater than zero"),
    (dict(y=[0, 1]), ValueError, "y has length 2 but data has 2000 rows"),
    (dict(data=[["a"], ["b"]]), TypeError, "data must hold real numbers"),
    (dict(client="tcp://localhost:8786"), TypeError, "client must be a dask.distributed.Client"),
    # What tresk refuses in one task, refused as tresk refuses it.
    (dict(tol=-1.0), ValueError, None),
    (dict(max_iter=2**64), OverflowError, None),
    (dict(max_iter=2.5), TypeError, None),
    (dict(batch_size=2**31), ValueError, None),
    (dict(max_batches=2**64), OverflowError, None),
    (dict(n_points=2**40, sparse=False, tasks=2), ValueError, None),
    (dict(n_points=2**63), ValueError, None),
    (dict(data=np.zeros((2_000, 4))), ValueError, None),
])
def test_bad_arguments_fail_before_any_task(kwargs, error, message):
    data, y = spiral_data()
    arguments = dict(data=data, y=y) | kwargs
    if message is None:  # tresk's own exception for the largest task
        tasks, n_points = arguments.pop("tasks", 1), arguments.pop("n_points", 1000)
        largest = n_points if arguments.get("sparse", True) else -(-n_points // tasks)
        with pytest.raises(error) as expected:
            vantrel.tresk(n_points=largest, **arguments)
        message = re.escape(str(expected.value))
        arguments |= dict(tasks=tasks, n_points=n_points)
    with pytest.raises(error, match=message):
        tresk_distributed(**arguments)


def test_closed_client_is_refused():
    distributed = pytest.importorskip("distributed")
    with distributed.Client(processes=False, n_workers=1, dashboard_address=":0") as client:
        pass
    data, y = spiral_data()
    with pytest.raises(ValueError, match="client must be connected to a scheduler, but its status is 'closed'"):
        tresk_distributed(data, y, 10, client=client)


# The local default runs in the caller's process: without a main guard (-c),
# in a daemonic process, from an atexit handler, and Ctrl-C stops it as it
# stops tresk.
IN_PROCESS_SCRIPT = """
import atexit, multiprocessing, os, signal, threading, time
import numpy as np
from vantrel_tools import tresk_distributed

rng = np.random.default_rng(0)
data = rng.normal(size=(300, 3))
y = np.where(data[:, 0] > 0, "a", "b")
call = lambda: tresk_distributed(data, y, 20, tasks=2, seed=1, sparse=False)
expected = call()

def in_daemon(queue):
    queue.put(call())

fork = multiprocessing.get_context("fork")
queue = fork.Queue()
daemon = fork.Process(target=in_daemon, args=(queue,), daemon=True)
daemon.start()
print("daemonic", np.array_equal(queue.get(timeout=120), expected), flush=True)
daemon.join()
atexit.register(lambda: print("atexit", np.array_equal(call(), expected), flush=True))

big = rng.normal(size=(10_000, 32))
threading.Timer(1.0, os.kill, (os.getpid(), signal.SIGINT)).start()
began = time.perf_counter()
try:
    tresk_distributed(big, big[:, 0] > 0, 400_000, tasks=2, sparse=False, max_iter=1_000, tol=0.0, seed=1)
except KeyboardInterrupt:
    print("interrupted after", time.perf_counter() - began, flush=True)
"""


@pytest.mark.slow
def test_local_default_runs_in_the_callers_process():
    result = run_bounded([sys.executable, "-c", IN_PROCESS_SCRIPT], timeout=300)
    out = result.stdout
    assert "daemonic True" in out and "atexit True" in out, out + result.stderr
    assert float(re.search(r"interrupted after (\S+)", out)[1]) < 10, out


def caller_state():
    from threadpoolctl import threadpool_info
    return list(warnings.filters), dict(os.environ), [p["num_threads"] for p in threadpool_info()]


@pytest.mark.slow  # a LocalCluster
def test_in_process_workers_leave_the_caller_as_it_was():
    distributed = pytest.importorskip("distributed")
    rng = np.random.default_rng(5)
    data = rng.normal(size=(40, 2))
    y = (data[:, 0] > 0).astype(int)
    with distributed.Client(processes=False, n_workers=2, threads_per_worker=1, dashboard_address=":0") as client, \
            warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("default")
        before = caller_state()
        points = tresk_distributed(data, y, 500, tasks=4, seed=0, max_batches=3, batch_size=32, client=client)
        assert caller_state() == before
        np.float64(1.0) / 0.0  # the caller's own RuntimeWarnings still show
    messages = [str(w.message) for w in caught]
    assert messages == [f"requested 500 distinct boundary points, but found {len(points)} before reaching"
                        " max_batches=3 in each of 4 tasks", "divide by zero encountered in scalar divide"]


@pytest.mark.slow
def test_lost_workers_are_replaced_and_the_points_stay(cluster_client):
    """Every worker killed while the tasks run: the nannies restart them, the data is sent again."""
    data, y = spiral_data()
    kwargs = dict(tasks=4, seed=3, sparse=False, max_iter=500, tol=0.0)
    pids = cluster_client.run(os.getpid)
    killed = []

    def kill_all_when_busy():
        while not any(cluster_client.processing().values()):
            time.sleep(0.02)
        time.sleep(0.5)
        for pid in pids.values():
            os.kill(pid, signal.SIGKILL)
        killed.append(time.monotonic())

    killer = threading.Thread(target=kill_all_when_busy, daemon=True)
    killer.start()
    got = tresk_distributed(data, y, 20_000, client=cluster_client, **kwargs)
    returned = time.monotonic()
    killer.join()
    assert killed[0] < returned
    assert set(cluster_client.run(os.getpid).values()).isdisjoint(pids.values())  # really restarted
    np.testing.assert_array_equal(got, tresk_distributed(data, y, 20_000, **kwargs))


# --------------------------------------------------------------------------
# boundary_slice: checked against float64 distances in all d dimensions at
# points of the plane, and (in two dimensions) against scipy's Voronoi ridges.

def on_plane(view, coordinates):
    return view.origin + np.asarray(coordinates) @ view.basis.T


def check_exact(data, y, view, steps=5, grid=61):
    """Segments on the boundary between their rows; every label change on a grid crossed."""
    data, y = np.asarray(data, dtype=np.float64), np.asarray(y)
    t = np.linspace(0.0, 1.0, steps)[None, :, None]
    along = (view.segments[:, :1] * (1 - t) + view.segments[:, 1:] * t).reshape(-1, 2)
    x = on_plane(view, along)
    dist = np.sqrt(((x[:, None, :] - data[None, :, :]) ** 2).sum(axis=2))
    pairs = np.repeat(view.pairs, steps, axis=0)
    rows = np.arange(len(x))
    scale = np.abs(data - view.origin).max()
    assert np.all(y[view.pairs[:, 0]] != y[view.pairs[:, 1]])
    assert np.allclose(dist[rows, pairs[:, 0]], dist[rows, pairs[:, 1]], rtol=0, atol=1e-9 * scale)
    assert np.all(dist[rows, pairs[:, 0]] <= dist.min(axis=1) + 1e-9 * scale)
    # Label changes between neighbouring grid points, each crossed by a segment.
    xmin, xmax, ymin, ymax = view.extent
    gx, gy = np.meshgrid(np.linspace(xmin, xmax, grid), np.linspace(ymin, ymax, grid))
    nodes = np.stack([gx, gy], axis=-1)
    labels = y[np.argmin(((on_plane(view, nodes.reshape(-1, 2))[:, None, :] - data[None]) ** 2)
                         .sum(axis=2), axis=1)].reshape(grid, grid)
    ends = [(nodes[:, :-1], nodes[:, 1:], labels[:, :-1] != labels[:, 1:]),
            (nodes[:-1], nodes[1:], labels[:-1] != labels[1:])]
    a = np.concatenate([e[0][e[2]] for e in ends])
    b = np.concatenate([e[1][e[2]] for e in ends])
    c, d = view.segments[:, 0], view.segments[:, 1]

    def side(p, q, r):  # sign of the turn p -> q -> r, 0 within rounding
        cross = ((q[..., 0] - p[..., 0]) * (r[..., 1] - p[..., 1])
                 - (q[..., 1] - p[..., 1]) * (r[..., 0] - p[..., 0]))
        return np.where(np.abs(cross) <= 1e-9 * (xmax - xmin + ymax - ymin) ** 2, 0, np.sign(cross))

    a, b, c, d = a[:, None], b[:, None], c[None], d[None]
    crossed = (side(a, b, c) * side(a, b, d) <= 0) & (side(c, d, a) * side(c, d, b) <= 0)
    assert crossed.any(axis=1).all(), f"{(~crossed.any(axis=1)).sum()} label changes not on a segment"
    return labels


def voronoi_pairs(data, y):
    """Cross-class Voronoi neighbours whose ridge has a positive length (scipy)."""
    voronoi = pytest.importorskip("scipy.spatial").Voronoi(data)
    found = set()
    for (p, q), ridge in zip(voronoi.ridge_points, voronoi.ridge_vertices):
        ridge = np.asarray(ridge)
        if y[p] == y[q] or (np.all(ridge >= 0) and np.ptp(voronoi.vertices[ridge], axis=0).max() < 1e-9):
            continue
        found.add((int(min(p, q)), int(max(p, q))))
    return found


@pytest.mark.parametrize("case", ["gaussian", "integer grid", "float32 strings"])
def test_boundary_slice_in_two_dimensions_is_the_voronoi_boundary(case):
    rng = np.random.default_rng(3)
    if case == "integer grid":  # cocircular rows everywhere: Voronoi vertices of degree 4
        data = np.stack(np.meshgrid(np.arange(7.0), np.arange(6.0)), axis=-1).reshape(-1, 2)
        data = data[rng.permutation(len(data))]
    else:
        data = rng.normal(size=(80, 2))
    y = rng.integers(0, 3, len(data))
    if case == "float32 strings":
        data, y = data.astype(np.float32), np.array(["x", "y", "z"])[y]
    far = 1e3 * np.abs(data).max()
    view = boundary_slice(data, y, extent=(-far, far, -far, far))
    assert np.array_equal(view.basis, np.eye(2)) and np.array_equal(view.origin, np.zeros(2))
    assert {tuple(p) for p in view.pairs.tolist()} == voronoi_pairs(np.float64(data), y)
    assert len({tuple(p) for p in view.pairs.tolist()}) == len(view.pairs)
    check_exact(data, y, boundary_slice(data, y))


def blobs_5d(rng):
    centres = rng.normal(scale=2.0, size=(3, 5))
    y = rng.integers(0, 3, 120)
    return centres[y] + rng.normal(size=(120, 5)), y


@pytest.mark.parametrize("plane", ["default", "given", "through rows"])
@pytest.mark.parametrize("dtype", [np.float64, np.float32])
def test_boundary_slice_is_exact_in_five_dimensions(plane, dtype):
    rng = np.random.default_rng(11)
    data, y = blobs_5d(rng)
    data = data.astype(dtype)
    kwargs = {}
    if plane == "given":
        kwargs = {"origin": rng.normal(size=5), "basis": rng.normal(size=(5, 2))}
    elif plane == "through rows":  # three rows on the plane, ties among projections
        kwargs = {"origin": data[0], "basis": np.stack([data[1] - data[0], data[2] - data[0]], axis=1)}
    view = boundary_slice(data, y, **kwargs)
    assert np.allclose(view.basis.T @ view.basis, np.eye(2), atol=1e-12)
    if plane == "given":  # same span, first column's direction kept
        assert np.allclose(view.basis @ (view.basis.T @ kwargs["basis"]), kwargs["basis"])
        first = kwargs["basis"][:, 0]
        assert np.allclose(view.basis[:, 0], first / np.linalg.norm(first))
    labels = check_exact(data, y, view)
    assert len(np.unique(labels)) >= 2 and len(view.segments) > 0
    coordinates, offsets = view.project(data)
    assert np.allclose(np.linalg.norm(data - on_plane(view, coordinates), axis=1), offsets)


@pytest.mark.parametrize("data, y, kwargs, pairs", [
    # Copies of different classes: the lower index takes the cell.
    ([[0, 0], [0, 0], [2, 0], [2, 0]], [0, 1, 1, 0], {}, [[0, 2]]),
    # Equal projections: the row nearer the plane hides the other.
    ([[0, 0, 1], [0, 0, 0], [2, 0, 0]], [1, 0, 1], {"origin": [0, 0, 0], "basis": np.eye(3)[:, :2]},
     [[1, 2]]),
    # Equally near everywhere on the plane (mirror images): the lower index.
    ([[0, 0, 1], [0, 0, -1], [2, 0, 0]], [1, 0, 1], {"origin": [0, 0, 0], "basis": np.eye(3)[:, :2]},
     []),
    # A row far off the plane has no region on it; its class is absent.
    ([[0, 0, 0], [2, 0, 0], [1, 0, 9]], [0, 1, 2], {"origin": [0, 0, 0], "basis": np.eye(3)[:, :2]},
     [[0, 1]]),
    # Collinear projections: strips across the whole extent.
    ([[0, 0], [1, 0], [3, 0], [4, 0]], [0, 0, 1, 0], {}, [[1, 2], [2, 3]]),
    ([[0, 0, 5], [1, 1, 0], [3, 3, 2]], [0, 1, 0],
     {"origin": [0, 0, 0], "basis": np.eye(3)[:, :2], "extent": (-9, 9, -9, 9)}, [[0, 1], [1, 2]]),
    # Cocircular rows: four rays from the centre, no diagonal of length zero.
    ([[0, 0], [1, 0], [1, 1], [0, 1]], [0, 1, 0, 1], {}, [[0, 1], [0, 3], [1, 2], [2, 3]]),
    # Cocircular and coplanar when lifted, with a hidden centre row.
    ([[1, 0, 0], [-1, 0, 0], [0, 1, 0], [0, -1, 0], [0, 0, 3]], [0, 0, 1, 1, 0],
     {"origin": [0, 0, 0], "basis": np.eye(3)[:, :2]}, [[0, 2], [0, 3], [1, 2], [1, 3]]),
])
def test_boundary_slice_degenerate_cases(data, y, kwargs, pairs):
    view = boundary_slice(data, y, **kwargs)
    assert sorted(view.pairs.tolist()) == pairs
    check_exact(data, y, view)


def test_boundary_slice_plot_draws_on_agg():
    pytest.importorskip("matplotlib")
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    data, y = blobs_5d(np.random.default_rng(2))
    view = boundary_slice(data, np.array(["a", "b", "c"])[y])
    ax = view.plot(data=data, y=np.array(["a", "b", "c"])[y], points=data[:4], near=0.5)
    lines = [c for c in ax.collections if len(c.get_paths()) == len(view.segments)]
    assert lines and ax.get_xlim() == view.extent[:2]
    assert sum(len(c.get_offsets()) for c in ax.collections[:3]) == len(data) // 2
    plt.close(ax.figure)


@pytest.mark.parametrize("data, kwargs, error, message", [
    ([[0.0], [1.0]], {}, ValueError, "at least two columns"),
    ([[0, 0, 0], [1, 1, 1]], {"basis": np.eye(3)}, ValueError, r"basis must have shape \(3, 2\)"),
    ([[0, 0, 0], [1, 1, 1]], {"basis": [[1, 2], [1, 2], [0, 0]]}, ValueError, "basis must have rank 2"),
    ([[0, 0, 0], [1, 1, 1]], {"basis": [[1, 0], [0, np.nan], [0, 0]]}, ValueError, "basis must contain only finite"),
    ([[0, 0, 0], [1, 1, 1]], {"origin": [0, 0]}, ValueError, r"origin must have shape \(3,\)"),
    ([[0, 0], [1, 1]], {"extent": (0, 0, 0, 1)}, ValueError, "extent must have xmin < xmax"),
    ([[0, 0], [1, 1]], {"extent": (0, np.inf, 0, 1)}, ValueError, "extent must contain only finite"),
    ([[0, 0], [1, 1]], {"extent": (0, 1, 0)}, ValueError, "extent must be"),
    ([[0, 0], [1, np.nan]], {}, ValueError, "data must contain only finite"),
    ([[0, 0], [1, 1]], {"origin": ["a", "b"]}, TypeError, "origin must hold real numbers"),
])
def test_boundary_slice_rejects_bad_input(data, kwargs, error, message):
    with pytest.raises(error, match=message):
        boundary_slice(data, [0, 1], **kwargs)


# --------------------------------------------------------------------------
# progress=True: a bar on stderr that counts to its total and always closes

class FakeBar:
    """Stands in for tqdm's bar: what a call did to it."""

    made: list[FakeBar] = []

    def __init__(self, total, **kwargs):
        self.total, self.n, self.closed, self.file = total, 0, False, kwargs["file"]
        FakeBar.made.append(self)

    def update(self, step):
        assert not self.closed and step > 0
        self.n += step

    def refresh(self):
        pass

    def set_postfix_str(self, note):
        pass

    def close(self):
        self.closed = True


def progress_calls():
    rng = np.random.default_rng(3)
    data = rng.normal(size=(3000, 4))
    y = rng.integers(0, 3, len(data))
    points = rng.normal(size=(400, 4))
    return {
        # Small blocks, so the bar has many steps.
        "boundary_pairs": (lambda **kw: boundary_pairs(data, y, points, **kw), (_pairs, "_block_best")),
        "nearest_boundary": (lambda **kw: vantrel_tools.nearest_boundary(data, y, points[:40], **kw),
                             (vantrel_tools._nearest._Problem, "_test")),
        "tresk_distributed sparse": (lambda **kw: tresk_distributed(data, y, 60, tasks=3, seed=2, **kw),
                                     (vantrel_tools._distributed, "_run_task")),
        "tresk_distributed dense": (lambda **kw: tresk_distributed(data, y, 30, tasks=3, seed=2,
                                                                   sparse=False, **kw),
                                    (vantrel_tools._distributed, "_run_task")),
    }


@pytest.mark.parametrize("mode", ["off", "counted", "tqdm", "plain"])
@pytest.mark.parametrize("name", list(progress_calls()))
def test_progress_counts_to_its_total_on_stderr_only(name, mode, monkeypatch, capsys):
    from vantrel_tools import _progress

    call, _ = progress_calls()[name]
    monkeypatch.setattr(_pairs, "ROW_BLOCK", 500)
    expected = call()
    capsys.readouterr()
    FakeBar.made = []
    if mode == "tqdm":
        pytest.importorskip("tqdm")
    elif mode == "plain":  # tqdm not importable: plain lines, here at every step
        monkeypatch.setattr(_progress, "_tqdm", lambda: None)
        monkeypatch.setattr(_progress, "INTERVAL", 0.0)
    else:
        monkeypatch.setattr(_progress, "_tqdm", lambda: FakeBar)
    got = call(progress=mode != "off")
    for a, b in zip(expected if isinstance(expected, tuple) else [expected],
                    got if isinstance(got, tuple) else [got]):
        assert np.array_equal(a, b)
    out, err = capsys.readouterr()
    assert out == ""
    label = name.split()[0]
    if mode == "off":
        assert err == "" and FakeBar.made == []
    elif mode == "counted":
        [bar] = FakeBar.made
        assert bar.closed and bar.file is sys.stderr and 0 < bar.n == bar.total
    elif mode == "tqdm":
        assert label in err
    else:
        last = err.splitlines()[-1]
        done = re.match(rf"{label}: (\d+)/(\d+) \w+, [\d.]+ s", last)
        assert done and done[1] == done[2], err
    with pytest.raises(TypeError, match="progress must be a bool, not str"):
        call(progress="yes")


@pytest.mark.parametrize("error", [RuntimeError, KeyboardInterrupt])
@pytest.mark.parametrize("name", list(progress_calls())[:3])
def test_progress_bar_closes_when_the_call_fails(name, error, monkeypatch):
    from vantrel_tools import _progress

    call, (owner, step) = progress_calls()[name]
    monkeypatch.setattr(_progress, "_tqdm", lambda: FakeBar)

    def fail(*args, **kwargs):
        raise error("stop")

    monkeypatch.setattr(owner, step, fail)
    FakeBar.made = []
    with pytest.raises(error):
        call(progress=True)
    [bar] = FakeBar.made
    assert bar.closed
