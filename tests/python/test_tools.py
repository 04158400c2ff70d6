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
"""

from __future__ import annotations

import doctest
import re
import sys

import numpy as np
import pytest

import vantrel
import vantrel_tools
from processes import run_bounded
from vantrel_tools import _pairs, boundary_pairs, tresk_distributed


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
    (np.eye(3), [0.0, 1.0, 1.0], [[0.0, 0.0, 0.0]], TypeError, "y must hold integer class labels"),
    (np.eye(3), "abc", [[0.0, 0.0, 0.0]], TypeError, "y must hold integer class labels"),
    (np.zeros(3), [0, 1, 1], [[0.0]], ValueError, "data must be a non-empty two-dimensional"),
    (np.array([[0.0], [np.nan]]), [0, 1], [[0.0]], ValueError, "data must contain only finite"),
    (np.eye(2), [0, 1], [[np.inf, 0.0]], ValueError, "points must contain only finite"),
])
def test_boundary_pairs_rejects_bad_input(data, y, points, error, message):
    with pytest.raises(error, match=message):
        boundary_pairs(data, y, points)


def test_docstring_examples_run():
    for name in vantrel_tools.__all__:
        finder, runner = doctest.DocTestFinder(), doctest.DocTestRunner()
        for test in finder.find(getattr(vantrel_tools, name), name):
            runner.run(test)
        assert runner.summarize(verbose=False) == (0, runner.tries) and runner.tries > 0, name


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
    (dict(tol=-1.0), ValueError, "tol must be finite and non-negative"),
    (dict(y=[0, 1]), ValueError, "y has length 2 but data has 2000 rows"),
    (dict(data=[[0.0], [1.0]]), TypeError, "data must be a two-dimensional NumPy array"),
    (dict(client="tcp://localhost:8786"), TypeError, "client must be a dask.distributed.Client"),
])
def test_bad_arguments_fail_before_any_task(kwargs, error, message):
    data, y = spiral_data()
    arguments = dict(data=data, y=y) | kwargs
    with pytest.raises(error, match=message):
        tresk_distributed(**arguments)


# A call of a minute or more, stopped while its workers start or compute.
STOP_SCRIPT = """
import multiprocessing, os, signal, sys, threading, time
import numpy as np
from vantrel_tools import tresk_distributed

def stop_soon(how, delay):
    while not multiprocessing.active_children():
        time.sleep(0.01)
    time.sleep(delay)
    if how == "ctrl-c":
        os.kill(os.getpid(), signal.SIGINT)
    else:
        os.kill(multiprocessing.active_children()[0].pid, signal.SIGKILL)

if __name__ == "__main__":
    rng = np.random.default_rng(0)
    data = rng.normal(size=(10_000, 32))
    y = np.argmax(data @ rng.normal(size=(32, 3)), axis=1)
    threading.Thread(target=stop_soon, args=(sys.argv[1], float(sys.argv[2])), daemon=True).start()
    began = time.perf_counter()
    try:
        tresk_distributed(data, y, 400_000, tasks=2, sparse=False, max_iter=1_000, tol=0.0, seed=1)
    except BaseException as err:
        print(type(err).__name__, err)
    print("seconds", time.perf_counter() - began)
    print("children", len(multiprocessing.active_children()))
"""


@pytest.mark.slow
@pytest.mark.parametrize("how, delay, expected", [
    ("ctrl-c", 1.0, r"^KeyboardInterrupt"),
    # Mostly inside a task; in a cold environment the workers may still be starting.
    ("kill a worker", 5.0,
     r"^RuntimeError (task \d of 2 \(n_points=200000, seed=\d+\) failed: Broken|a worker process ended)"),
    # While it starts (this once deadlocked the executor's own clean-up).
    ("kill a worker", 0.0,
     r"^RuntimeError (task \d of 2 .* failed|starting a worker process failed|a worker process ended)"),
])
def test_stopping_ends_the_call_and_its_workers(tmp_path, how, delay, expected):
    script = tmp_path / "stop.py"
    script.write_text(STOP_SCRIPT)
    result = run_bounded([sys.executable, str(script), how, str(delay)], timeout=300)
    assert re.search(expected, result.stdout, re.M), result.stdout + result.stderr
    assert float(re.search(r"seconds (\S+)", result.stdout)[1]) < 20
    assert "children 0" in result.stdout
