"""Requests that pass every size check but cannot be allocated raise MemoryError.

Each case runs in a child interpreter whose address space is limited to
4 GiB before anything is imported, so the machine itself is never short of
memory. The child makes the impossible call, prints the exception's type,
then makes an ordinary small call to show the interpreter is intact, and
exits normally.

Under the sanitizers these cases are skipped: the sanitizer runtime needs
terabytes of address space for its shadow memory, so the limit cannot be set,
and it aborts on an allocation it cannot satisfy instead of throwing.
"""

from __future__ import annotations

import textwrap

import pytest

from test_fuzz import CHILD_ADDRESS_SPACE, SANITIZED, run_python

pytestmark = pytest.mark.skipif(SANITIZED, reason="needs an address-space limit and a throwing allocator")

# OpenBLAS reserves a buffer per thread when it loads; one thread keeps the
# import well inside the limit whatever the machine's core count.
CHILD_ENV = {"OPENBLAS_NUM_THREADS": "1"}

PRELUDE = """
import numpy as np
import vantrel

def small_call():
    x = np.array([[0.0, 0.0], [1.0, 0.0], [0.0, 1.0], [1.0, 1.0]])
    result = vantrel.tresk(x, [0, 1, 1, 0], n_points=3, max_iter=20, sparse=False, parallel=True, seed=1)
    assert len(result) == 3 and all(len(row) == 2 for row in result), result
    return result

reference = small_call()

def attempt(call):
    try:
        call()
    except MemoryError as error:
        print("MemoryError", error)
    except BaseException as error:
        print("unexpected", type(error).__name__, error)
    else:
        print("no error")
    # The interpreter and the module still work, and give the same answer.
    assert small_call() == reference
    blocks = [bytearray(1 << 20) for _ in range(64)]  # and Python can still allocate
    print("intact", len(blocks))
"""

WIDE = "np.random.default_rng(0).random((4, 64))"
CASES = {
    "dense start points": f"""
        x = {WIDE}
        attempt(lambda: vantrel.tresk(x, [0, 1, 0, 1], n_points=2_000_000_000, max_iter=5, sparse=False,
                                      parallel=False, seed=1))
    """,
    "sparse huge batch": f"""
        x = {WIDE}
        attempt(lambda: vantrel.tresk(x, [0, 1, 0, 1], n_points=2 ** 31 - 1, max_iter=5, sparse=True,
                                      parallel=True, seed=1, batch_size=2 ** 31 - 1, max_batches=3))
    """,
    "broadcast square view": """
        n = 2 ** 20
        x = np.broadcast_to(np.arange(n, dtype=np.float64).reshape(n, 1), (n, 2 ** 20))
        y = np.arange(n) % 2
        attempt(lambda: vantrel.tresk(x, y, n_points=4, max_iter=5, sparse=False, parallel=False, seed=1))
    """,
    "broadcast wide view": """
        x = np.broadcast_to(np.array([[0.0], [1.0], [2.0], [3.0]], dtype=np.float32), (4, 2 ** 31 - 1))
        attempt(lambda: vantrel.tresk(x, [0, 1, 0, 1], n_points=4, max_iter=5, sparse=True, parallel=False,
                                      seed=1, batch_size=4, max_batches=1))
    """,
}


@pytest.mark.parametrize("case", sorted(CASES))
def test_unallocatable_request_raises_memory_error(case):
    proc = run_python(PRELUDE + textwrap.dedent(CASES[case]), address_space=CHILD_ADDRESS_SPACE, env=CHILD_ENV, timeout=300)
    lines = proc.stdout.splitlines()
    assert lines and lines[0].startswith("MemoryError"), proc.stdout + proc.stderr
    assert lines[1:] == ["intact 64"], proc.stdout


def test_huge_batch_size_with_few_points_needs_no_room():
    """Batches are sized by the points still missing, not by batch_size alone."""
    code = PRELUDE + """
x = np.random.default_rng(0).random((4, 64))
result = vantrel.tresk(x, [0, 1, 0, 1], n_points=2, max_iter=20, sparse=True, parallel=True, seed=1,
                       batch_size=2 ** 31 - 1, max_batches=1)
print("points", len(result))
"""
    proc = run_python(code, address_space=CHILD_ADDRESS_SPACE, env=CHILD_ENV, timeout=300)
    assert proc.stdout.split() in (["points", "1"], ["points", "2"]), proc.stdout + proc.stderr


def test_repeated_memory_errors_leak_nothing():
    """Two hundred failed allocations later the process has not grown."""
    code = PRELUDE + """
import gc, os
page = os.sysconf("SC_PAGE_SIZE")
def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * page
x = np.random.default_rng(0).random((512, 64))
y = [i % 2 for i in range(512)]
refs = sys.getrefcount(x), sys.getrefcount(y)
def failing():
    try:
        vantrel.tresk(x, y, n_points=2_000_000_000, max_iter=5, sparse=False, parallel=False, seed=1)
    except MemoryError:
        return
    raise AssertionError("no MemoryError")
for _ in range(20):
    failing()
gc.collect()
before = rss()
for _ in range(200):
    failing()
gc.collect()
print("growth", rss() - before)
assert (sys.getrefcount(x), sys.getrefcount(y)) == refs
small_call()
"""
    proc = run_python(code, address_space=CHILD_ADDRESS_SPACE, env=CHILD_ENV, timeout=300)
    growth = int(proc.stdout.split()[-1])
    # One lost normalised copy per call (512 x 64 float32 = 128 KiB) would be 25 MiB.
    assert growth < 4 << 20, f"resident memory grew by {growth} bytes over 200 failed calls"


def test_endless_label_sequence_raises_memory_error():
    """Labels are converted before anything is compared with the data, so a label
    sequence far longer than memory ends in MemoryError, not in a crash."""
    code = PRELUDE + """
x = np.random.default_rng(0).random((4, 2))
attempt(lambda: vantrel.tresk(x, range(2 ** 40), n_points=2, sparse=False))
"""
    # A smaller limit keeps the doomed conversion short (it fills the limit first).
    proc = run_python(code, address_space=1 << 30, env=CHILD_ENV, timeout=300)
    assert proc.stdout.splitlines() == ["MemoryError ", "intact 64"], proc.stdout + proc.stderr


HUGE_POOL = """
import os
import numpy as np
import vantrel

rng = np.random.default_rng(0)
x = rng.normal(size=(10000, 32))
y = [i % 3 for i in range(10000)]
for sparse in (False, True):
    kw = dict(n_points=2000, max_iter=10, sparse=sparse, seed=1, batch_size=1024, max_batches=2)
    pooled = vantrel.tresk(x, y, parallel=True, **kw)  # the first parallel call starts the pool
    assert pooled == vantrel.tresk(x, y, parallel=False, **kw)
print("threads", len(os.listdir("/proc/self/task")))
"""


@pytest.mark.parametrize("threads", ["1000", "1000000"])
def test_pool_larger_than_the_system_allows_still_works(threads):
    """Far more workers asked for than the address space holds: the pool works with
    part of what it got and leaves the calls room for their buffers."""
    env = dict(CHILD_ENV, RAYON_NUM_THREADS=threads)
    proc = run_python(HUGE_POOL, address_space=CHILD_ADDRESS_SPACE, env=env, timeout=300)
    kind, count = proc.stdout.split()
    assert kind == "threads" and 2 < int(count) < 1000, proc.stdout
