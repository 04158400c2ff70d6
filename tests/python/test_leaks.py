"""Repeated calls leak nothing and touch nothing of the caller's.

Each case repeats one call, on the success path or on one failure path, a
few hundred to a couple of thousand times after a warm-up, and then checks:

- the resident set size (/proc/self/statm) grew by less than RSS_TOLERANCE,
  and so did the bytes the C heap has handed out (glibc's mallinfo2), which
  unlike the resident size cannot hide a leak in heap pages freed earlier;
  the data sets are sized so that losing the per-call normalised copy (or the
  result) would grow either by several times the tolerance (neither is
  checked under the sanitizers, whose allocator keeps freed memory in
  quarantine);
- the memory traced by tracemalloc grew by less than TRACED_TOLERANCE, which
  catches a lost Python object (an exception, a list, an int) per call;
- the reference counts of the caller's array and label object are unchanged;
- the array's bytes and the label object's contents are unchanged.
"""

from __future__ import annotations

import ctypes
import gc
import os
import sys
import tracemalloc
import warnings

import numpy as np
import pytest

import vantrel
from test_fuzz import SANITIZED

PAGE = os.sysconf("SC_PAGE_SIZE")
RSS_TOLERANCE = 2 << 20      # 2 MiB
TRACED_TOLERANCE = 32 << 10  # 32 KiB: well under one small object per call


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]


_libc = ctypes.CDLL(None)
_mallinfo2 = getattr(_libc, "mallinfo2", None)
if _mallinfo2 is not None:
    _mallinfo2.restype = _MallInfo2


def heap_bytes() -> int:
    """Bytes in use from malloc, all arenas and mmapped blocks (0 where unavailable)."""
    if _mallinfo2 is None:
        return 0
    info = _mallinfo2()
    return info.uordblks + info.hblkhd


def grid_data(n: int, d: int, dtype=np.float64) -> np.ndarray:
    """n distinct rows, deterministic."""
    rng = np.random.default_rng(n * 31 + d)
    return (rng.permutation(n * d).reshape(n, d) / (n * d)).astype(dtype)


BIG = grid_data(512, 8)            # normalised copy 16 KiB per call
BIG_LABELS = [i % 3 for i in range(512)]
SMALL = grid_data(6, 2)
SMALL_LABELS = [0, 1, 0, 1, 0, 1]


def with_duplicate_across_classes() -> np.ndarray:
    x = BIG.copy()
    x[-1] = x[0]  # row 511 has class 1, row 0 class 0
    return x


def with_nan_last() -> np.ndarray:
    x = BIG.copy()
    x[-1, -1] = np.nan
    return x


# (id, data, labels, keyword arguments, expected exception or None, repetitions)
CASES = [
    ("dense success", BIG, BIG_LABELS, dict(n_points=8, max_iter=10, sparse=False, parallel=False, seed=1),
     None, 600),
    ("dense success parallel", BIG, BIG_LABELS, dict(n_points=8, max_iter=10, sparse=False, parallel=True, seed=1),
     None, 600),
    ("sparse success", BIG, BIG_LABELS,
     dict(n_points=4, max_iter=10, sparse=True, parallel=False, seed=2, batch_size=4, max_batches=3), None, 600),
    ("unseeded", SMALL, SMALL_LABELS, dict(n_points=3, max_iter=5, sparse=False, parallel=False), None, 1000),
    ("numpy labels", BIG, np.array(BIG_LABELS, dtype=np.int32),
     dict(n_points=4, max_iter=5, sparse=False, parallel=False, seed=3), None, 600),
    ("too many positional", SMALL, SMALL_LABELS, "positional", TypeError, 2000),
    ("unexpected keyword", SMALL, SMALL_LABELS, dict(bogus=1), TypeError, 2000),
    ("wrapped conversion error", SMALL, SMALL_LABELS, dict(sparse=1), TypeError, 2000),
    ("str labels", SMALL, "010101", dict(), TypeError, 2000),
    ("label conversion fails late", BIG, BIG_LABELS[:-1] + [2 ** 63], dict(), OverflowError, 300),
    ("negative seed", SMALL, SMALL_LABELS, dict(seed=-1), OverflowError, 2000),
    ("n_points zero", SMALL, SMALL_LABELS, dict(n_points=0), ValueError, 2000),
    ("batch_size zero", SMALL, SMALL_LABELS, dict(batch_size=0), ValueError, 2000),
    ("integer data", np.arange(12).reshape(6, 2), SMALL_LABELS, dict(), TypeError, 2000),
    ("no rows", np.zeros((0, 3)), [], dict(), ValueError, 2000),
    ("no columns", np.zeros((6, 0)), SMALL_LABELS, dict(), ValueError, 2000),
    ("label count", BIG, BIG_LABELS[:-1], dict(), ValueError, 1000),
    ("max_iter zero", BIG, BIG_LABELS, dict(max_iter=0), ValueError, 1000),
    ("tol nan", BIG, BIG_LABELS, dict(tol=float("nan")), ValueError, 1000),
    ("BLAS range", BIG, BIG_LABELS, dict(n_points=2 ** 31, sparse=False), ValueError, 1000),
    ("one class", BIG, [4] * 512, dict(), ValueError, 1000),
    ("non-finite", with_nan_last(), BIG_LABELS, dict(), ValueError, 500),
    ("one point", np.ones((6, 2)), SMALL_LABELS, dict(), ValueError, 1000),
    ("cross-class duplicate", with_duplicate_across_classes(), BIG_LABELS, dict(), ValueError, 500),
    ("sparse batch dimensions", BIG, BIG_LABELS, dict(n_points=2 ** 63, sparse=True), ValueError, 500),
    ("shortfall as error", SMALL, SMALL_LABELS,
     dict(n_points=50, max_iter=5, sparse=True, parallel=False, seed=4, batch_size=2, max_batches=1),
     RuntimeWarning, 1000),
]


def make_call(data, labels, kwargs):
    if kwargs == "positional":
        return lambda: vantrel.tresk(data, labels, 1, 1, 1e-6, False, False, 0, 1)
    return lambda: vantrel.tresk(data, labels, **kwargs)


def repeat(call, expected, count: int) -> None:
    for _ in range(count):
        if expected is None:
            call()
            continue
        try:
            call()
        except expected:
            pass
        else:
            raise AssertionError(f"expected {expected.__name__}")


@pytest.mark.parametrize("name, data, labels, kwargs, expected, count", CASES, ids=[c[0] for c in CASES])
def test_repeated_calls_leak_nothing(name, data, labels, kwargs, expected, count):
    data_bytes = data.tobytes()
    labels_copy = labels.copy() if isinstance(labels, np.ndarray) else (
        list(labels) if isinstance(labels, list) else labels)
    label_items = list(labels) if isinstance(labels, list) else None
    call = make_call(data, labels, kwargs)

    with warnings.catch_warnings():
        warnings.simplefilter("error" if expected is RuntimeWarning else "ignore")
        repeat(call, expected, max(count // 5, 20))  # warm-up: pools, caches, allocator arenas
        gc.collect()
        data_refs, label_refs = sys.getrefcount(data), sys.getrefcount(labels)
        rss_before, heap_before = rss_bytes(), heap_bytes()
        repeat(call, expected, count)
        gc.collect()
        rss_growth, heap_growth = rss_bytes() - rss_before, heap_bytes() - heap_before

        tracemalloc.start()
        try:
            traced_before = tracemalloc.get_traced_memory()[0]
            repeat(call, expected, count)
            gc.collect()
            traced_growth = tracemalloc.get_traced_memory()[0] - traced_before
        finally:
            tracemalloc.stop()

    assert sys.getrefcount(data) == data_refs, "reference to the data array lost or kept"
    assert sys.getrefcount(labels) == label_refs, "reference to the label object lost or kept"
    assert SANITIZED or rss_growth < RSS_TOLERANCE, f"resident memory grew by {rss_growth} bytes over {count} calls"
    assert SANITIZED or heap_growth < RSS_TOLERANCE, f"heap in use grew by {heap_growth} bytes over {count} calls"
    assert traced_growth < TRACED_TOLERANCE, f"traced memory grew by {traced_growth} bytes over {count} calls"
    assert data.tobytes() == data_bytes, "the caller's array was modified"
    if isinstance(labels, np.ndarray):
        assert labels.tobytes() == labels_copy.tobytes() and labels.dtype == labels_copy.dtype
    else:
        assert labels == labels_copy
    if label_items is not None:
        assert all(a is b for a, b in zip(labels, label_items)), "label items replaced"


@pytest.mark.skipif(SANITIZED or _mallinfo2 is None, reason="needs glibc's allocator")
def test_heap_measure_sees_a_lost_copy():
    """The heap measure works here: 300 kept float32 copies of BIG (16 KiB each) show."""
    before = heap_bytes()
    kept = [np.array(BIG, dtype=np.float32) for _ in range(300)]
    assert heap_bytes() - before > RSS_TOLERANCE
    del kept


def test_threads_that_drew_entropy_leave_nothing_behind():
    """Each new thread keys its own generator on its first unseeded call; when
    the thread ends, that state and everything its calls allocated is gone."""
    import threading

    def unseeded_calls():
        vantrel.tresk(SMALL, SMALL_LABELS, n_points=3, max_iter=5, sparse=False, parallel=True)
        vantrel.tresk(SMALL, SMALL_LABELS, n_points=2, max_iter=5, sparse=True, parallel=True, batch_size=2,
                      max_batches=1)

    def spawn(count):
        for _ in range(count):
            t = threading.Thread(target=unseeded_calls)
            t.start()
            t.join(60)
            assert not t.is_alive()

    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        spawn(50)
        gc.collect()
        rss_before, heap_before = rss_bytes(), heap_bytes()
        spawn(500)
        gc.collect()
    assert SANITIZED or rss_bytes() - rss_before < RSS_TOLERANCE
    assert SANITIZED or heap_bytes() - heap_before < RSS_TOLERANCE // 4
