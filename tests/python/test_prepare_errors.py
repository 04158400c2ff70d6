"""Input checks seen from Python: each ValueError message of the preparation
step, and the order in which the checks run.

Each ordering case breaks its own check and, where possible, every later one
too, so a check that ran too early or too late shows up as the wrong message.
"""

import warnings

import numpy as np
import pytest

import vantrel

ROWS = "data must contain at least one row"
COLUMNS = "data must contain at least one column"
MAX_ITER = "max_iter must be greater than zero"
TOL = "tol must be finite and non-negative"
BLAS = "data dimensions exceed the supported BLAS integer range"
CLASSES = "y must contain at least two different classes"
FINITE = "data must contain only finite values"
DISTINCT = "data must contain at least two distinct points"
DUPLICATE = "points from different classes are identical after normalization"
RANGE = "data scale is outside the float32 range: the points would be infinite; rescale the data"

NAN = float("nan")
INF = float("inf")
GOOD = np.array([[0.0, 0.0], [4.0, 2.0], [1.0, 3.0]])
GOOD_LABELS = [0, 1, 1]
BAD_DATA = np.array([[NAN, 1.0], [NAN, 1.0], [NAN, 1.0]])  # non-finite and, past that, constant
BIG = 2**31
HUGE_QUERY = dict(n_points=BIG, batch_size=BIG)  # the query count in either mode


def refuse(message, data, labels, **kwargs):
    with pytest.raises(ValueError) as info:
        vantrel.tresk(data, labels, **kwargs)
    assert type(info.value) is ValueError
    assert str(info.value) == message


ORDER_CASES = [
    # (message, data, labels, parameters), in check order
    (ROWS, np.empty((0, 2)), [0], dict(max_iter=0, tol=NAN, **HUGE_QUERY)),
    (ROWS, np.empty((0, 0)), [], {}),
    (COLUMNS, np.empty((3, 0)), [0, 1], dict(max_iter=0, tol=NAN, **HUGE_QUERY)),
    ("y has length 2 but data has 3 rows", BAD_DATA, [0, 1], dict(max_iter=0, tol=NAN, **HUGE_QUERY)),
    ("y has length 4 but data has 3 rows", GOOD, [0, 1, 1, 0], {}),
    (MAX_ITER, BAD_DATA, [1, 1, 1], dict(max_iter=0, tol=NAN, **HUGE_QUERY)),
    (TOL, BAD_DATA, [1, 1, 1], dict(tol=NAN, **HUGE_QUERY)),
    (TOL, BAD_DATA, [1, 1, 1], dict(tol=INF, **HUGE_QUERY)),
    (TOL, BAD_DATA, [1, 1, 1], dict(tol=-INF, **HUGE_QUERY)),
    (TOL, BAD_DATA, [1, 1, 1], dict(tol=-1e-300, **HUGE_QUERY)),
    (TOL, GOOD, GOOD_LABELS, dict(tol=-5e-324)),
    (BLAS, BAD_DATA, [1, 1, 1], dict(tol=-0.0, **HUGE_QUERY)),
    (BLAS, BAD_DATA, [1, 1, 1], dict(n_points=2**64 - 1, batch_size=2**64 - 1)),
    (CLASSES, BAD_DATA, [1, 1, 1], dict(n_points=BIG - 1, batch_size=BIG - 1)),
    (CLASSES, np.array([[1.0, 2.0]]), [3], {}),
    (CLASSES, GOOD, [-1, -1, -1], {}),
    (FINITE, BAD_DATA, [0, 1, 1], {}),
    (FINITE, np.array([[0.0, 1.0], [2.0, INF]]), [0, 1], {}),
    (FINITE, np.array([[0.0, -INF], [0.0, 1.0]]), [0, 1], {}),
    (FINITE, np.array([[1.0, 1.0], [1.0, NAN]]), [0, 1], {}),
    (DISTINCT, np.ones((3, 2)), [0, 1, 1], {}),
    (DISTINCT, np.array([[-1e308, 0.0], [1e308, 0.0]]), [0, 1], {}),
    (DISTINCT, np.array([[-1e308, 0.0], [1e308, 1.0], [0.0, 0.5]]), [0, 1, 0], {}),
    (DUPLICATE, np.array([[0.0, 1.0], [3.0, 2.0], [0.0, 1.0]]), [0, 1, 1], {}),
    (DUPLICATE, np.array([[0.0, 0.0], [1.0, 1.0], [0.9, 0.9], [0.9 + 1e-12, 0.9]]), [0, 1, 0, 1], {}),
]


@pytest.mark.parametrize("sparse", [False, True])
@pytest.mark.parametrize(("message", "data", "labels", "kwargs"), ORDER_CASES)
def test_checks_in_order(message, data, labels, kwargs, sparse):
    refuse(message, data, labels, sparse=sparse, **kwargs)


def test_query_limit_follows_the_mode():
    # Dense mode limits n_points; sparse mode limits batch_size instead.
    labels = [1, 1, 1]
    refuse(BLAS, BAD_DATA, labels, sparse=False, n_points=BIG, batch_size=BIG - 1)
    refuse(CLASSES, BAD_DATA, labels, sparse=False, n_points=BIG - 1, batch_size=BIG)
    refuse(BLAS, BAD_DATA, labels, sparse=True, n_points=1, batch_size=BIG)
    refuse(CLASSES, BAD_DATA, labels, sparse=True, n_points=BIG, batch_size=1)
    refuse(CLASSES, BAD_DATA, labels, sparse=True, n_points=2**64 - 1, batch_size=1)


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize(("message", "data", "labels"), [
    (FINITE, [[0.0, 1.0], [NAN, 1.0]], [0, 1]),
    (DISTINCT, [[2.5, -1.0]] * 3, [0, 1, 0]),
    (DUPLICATE, [[0.0, 1.0], [3.0, 2.0], [3.0, 2.0], [0.0, 1.0]], [0, 0, 1, 1]),
    (CLASSES, [[NAN, 0.0], [1.0, 0.0]], [4, 4]),
])
def test_same_messages_for_both_element_types(message, data, labels, dtype):
    refuse(message, np.array(data, dtype=dtype), labels)


def test_float64_values_beyond_float32_range_are_read_exactly():
    # Read as float64, 1e300 is finite; the rows collide only because two of them are equal.
    data = np.array([[0.0, 1e300], [0.0, -1e300]])
    refuse(DUPLICATE, np.vstack([data, data[:1]]), [0, 1, 1])


@pytest.mark.parametrize(("data", "labels"), [
    (np.array([[0.0, 1.0], [0.0, 1.0], [3.0, 2.0]]), [0, 0, 1]),  # duplicates within a class
    (np.array([[1.0, 5.0], [2.0, 5.0]]), [0, 1]),  # a constant column
    (np.array([[0.0], [1.0]]), [-2**63, 2**63 - 1]),
])
def test_accepted_inputs(data, labels):
    # One requested point: even two rows have a pair to find, so no shortfall.
    for sparse in (False, True):
        points = vantrel.tresk(data, labels, n_points=1, sparse=sparse, seed=0, batch_size=2, max_batches=3)
        assert len(points) == 1 and len(points[0]) == data.shape[1]


def test_zero_tolerance_of_either_sign_is_accepted():
    for tol in (0.0, -0.0, 0, 5e-324):
        points = vantrel.tresk(GOOD, GOOD_LABELS, n_points=3, tol=tol, sparse=False, seed=1)
        assert len(points) == 3


SQUARE = np.array([[0.0, 0.0], [1.0, 1.0], [1.0, 0.0], [0.0, 1.0]])
SQUARE_LABELS = [0, 1, 0, 1]  # the boundary is the line y = 0.5
# Rows at the element type's limit whose bisectors are slanted: dense mode's
# points leave the box.
SLANT = np.array([[3.4e38, 0.0], [3.06e38, 3.4e38], [-3.4e38, -3.4e38], [3.4e38, -3.4e38]])
EDGE = (np.array([[1.0, -1.0], [0.99, 1.0], [-1.0, 0.0], [0.0, 1.0]]) + 1.0) * 8.6e307


def test_points_beyond_the_element_type_are_refused():
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        refuse(RANGE, SLANT.astype(np.float32), SQUARE_LABELS, n_points=50, sparse=False, seed=0)
        refuse(RANGE.replace("float32", "float64"), EDGE, [0, 0, 1, 1], n_points=200, sparse=False, seed=0)
    # The same rows as float64 data: points float32 cannot hold are returned.
    points = np.array(vantrel.tresk(SLANT, SQUARE_LABELS, n_points=50, sparse=False, seed=0))
    assert np.isfinite(points).all() and np.abs(points).max() > np.finfo(np.float32).max


@pytest.mark.parametrize("sparse", [False, True])
@pytest.mark.parametrize("scale", [1e300, 1e39, 1e-300, 1e-46])
def test_float64_points_beyond_float32_range_are_returned(scale, sparse):
    points = np.array(vantrel.tresk(SQUARE * scale, SQUARE_LABELS, n_points=1 if sparse else 3, sparse=sparse,
                                    seed=0))
    assert np.allclose(points[:, 1], 0.5 * scale, rtol=1e-6, atol=0.0)


@pytest.mark.parametrize("middle", [1e38, 3e38, 1e-44, -2e-45, -5e307])
def test_midpoints_are_exact(middle):
    """Two rows around `middle`: every point is their midpoint, in the data's element
    type, even where the rows themselves (6e38) lie beyond float32's range."""
    data = np.array([[0.0], [2 * middle]])
    assert vantrel.tresk(data, [0, 1], n_points=3, sparse=False, seed=0) == [[middle]] * 3
    assert vantrel.tresk(data, [0, 1], n_points=1, sparse=True, seed=0, batch_size=3) == [[middle]]
    if abs(2 * middle) < float(np.finfo(np.float32).max):
        data32 = data.astype(np.float32)
        half = [[float(np.float32(float(data32[1, 0]) / 2))]]
        assert vantrel.tresk(data32, [0, 1], n_points=1, sparse=False, seed=0) == half


@pytest.mark.parametrize(("message", "data", "labels", "kwargs"), [
    (DISTINCT, np.full((3, 2), 3.4e38, np.float32), [0, 1, 0], {}),
    (DUPLICATE, np.array([[0.0], [3.4e38], [3.4e38]], np.float32), [0, 1, 0], {}),
    ("batch dimensions are too large", SLANT.astype(np.float32), SQUARE_LABELS, dict(sparse=True, n_points=2**63)),
])
def test_float32_range_is_checked_last(message, data, labels, kwargs):
    refuse(message, data, labels, **kwargs)
