"""tresk from several Python threads at once, alongside other threads, and after fork.

- Seeded calls made by many threads at the same moment give exactly what the
  same calls give one after another; failing calls mixed in fail the same way.
- Another Python thread keeps running while a long call computes, because the
  call releases the interpreter lock: the other thread's counter advances
  while the call is in progress.
- A child forked from a process whose worker pool and thread generator are in
  use can still run parallel calls: its seeded result equals the parent's, and
  its unseeded results are its own, not a replay of the parent's generator.
- When the entropy source is unreachable an unseeded call raises an exception
  naming the failure, and the thread can draw again once it is back.
- Threads whose first calls come at once (the first one importing NumPy for
  its API table) all get their answers, and a fork while other threads make
  their first calls (table, pool, thread generator all new) leaves a child
  that works and draws its own numbers; both in fresh interpreters.
- A process whose daemon threads are inside tresk when the interpreter exits
  exits cleanly: the interpreter ends such a thread when it wants the lock
  back, and the module must let that happen.

Every wait has a timeout, so a deadlock fails the test instead of hanging it.
"""

from __future__ import annotations

import multiprocessing
import threading
import time

import numpy as np
import pytest

import vantrel

JOIN_TIMEOUT = 300  # seconds; generous for a loaded machine, finite for a deadlock


def clustered_data(n: int, d: int, classes: int, seed: int) -> tuple[np.ndarray, list[int]]:
    rng = np.random.default_rng(seed)
    labels = [int(v) for v in rng.integers(0, classes, n)]
    centres = rng.normal(size=(classes, d))
    x = centres[labels] * 2 + rng.normal(size=(n, d))
    return x, labels


DATA, LABELS = clustered_data(300, 3, 3, seed=11)
DATA32 = DATA.astype(np.float32)


def outcome(call):
    """The result, or (exception type, message)."""
    try:
        return call()
    except Exception as error:  # noqa: BLE001 - failures are compared too
        return (type(error), str(error))


CALLS = [
    lambda: vantrel.tresk(DATA, LABELS, n_points=40, max_iter=30, sparse=False, parallel=True, seed=1),
    lambda: vantrel.tresk(DATA32, LABELS, n_points=40, max_iter=30, sparse=False, parallel=True, seed=2),
    lambda: vantrel.tresk(DATA, LABELS, n_points=30, max_iter=30, sparse=True, parallel=True, seed=3,
                          batch_size=16, max_batches=4),
    lambda: vantrel.tresk(DATA32, LABELS, n_points=25, max_iter=20, sparse=True, parallel=True, seed=4,
                          batch_size=8, max_batches=5),
    lambda: vantrel.tresk(DATA, LABELS, n_points=40, max_iter=30, sparse=False, parallel=False, seed=1),
    lambda: vantrel.tresk(DATA, LABELS, tol=float("nan"), parallel=True, seed=5),
    lambda: vantrel.tresk(DATA, LABELS[:-1], parallel=True, seed=6),
    lambda: vantrel.tresk(DATA.astype(np.int64), LABELS, parallel=True, seed=7),
]


def run_threads(targets) -> None:
    threads = [threading.Thread(target=t, daemon=True) for t in targets]
    for t in threads:
        t.start()
    for t in threads:
        t.join(JOIN_TIMEOUT)
    assert not any(t.is_alive() for t in threads), "a thread did not finish: deadlock?"


def test_threads_match_sequential_calls():
    import warnings

    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # sparse shortfalls are not the point here
        expected = [outcome(call) for call in CALLS]
        assert all(isinstance(e, list) for e in expected[:5]) and all(isinstance(e, tuple) for e in expected[5:])
        assert expected[4] == expected[0], "parallel and serial runs differ"

        n_threads = 8
        rounds = 3
        barrier = threading.Barrier(n_threads, timeout=JOIN_TIMEOUT)
        got = [[None] * len(CALLS) for _ in range(n_threads * rounds)]

        def worker(t):
            barrier.wait()
            for r in range(rounds):
                order = list(range(len(CALLS)))
                order = order[t % len(order):] + order[: t % len(order)]  # threads start on different calls
                for i in order:
                    got[t * rounds + r][i] = outcome(CALLS[i])

        run_threads([lambda t=t: worker(t) for t in range(n_threads)])
    for results in got:
        for i, value in enumerate(results):
            assert value == expected[i], f"call {i} differs when run concurrently"


def test_unseeded_calls_in_threads_are_independent():
    results = [None] * 6

    def worker(i):
        results[i] = vantrel.tresk(DATA, LABELS, n_points=20, max_iter=20, sparse=False, parallel=True)

    run_threads([lambda i=i: worker(i) for i in range(len(results))])
    assert all(isinstance(r, list) and len(r) == 20 for r in results)
    distinct = {tuple(map(tuple, r)) for r in results}
    assert len(distinct) == len(results), "two threads drew the same entropy-seeded start points"


def long_call_arguments() -> dict:
    """A dense call that takes a noticeable while here (sized by trying, not asserted on)."""
    n_points = 256
    x, y = clustered_data(2000, 8, 4, seed=5)
    while True:
        kwargs = dict(n_points=n_points, max_iter=60, sparse=False, parallel=False, seed=9)
        start = time.perf_counter()
        vantrel.tresk(x, y, **kwargs)
        if time.perf_counter() - start > 0.3 or n_points >= 1 << 16:
            return dict(data=x, y=y, **kwargs)
        n_points *= 2


def test_other_threads_run_while_a_call_computes():
    call = long_call_arguments()
    counter = 0
    stop = threading.Event()

    def count():
        # Each step takes the interpreter lock briefly and then sleeps, so
        # while the call holds the lock it cannot advance at all.
        nonlocal counter
        while not stop.is_set():
            counter += 1
            time.sleep(0.0005)

    spinner = threading.Thread(target=count, daemon=True)
    spinner.start()
    try:
        while counter == 0:
            time.sleep(0.001)
        before = counter
        result = vantrel.tresk(**call)
        during = counter - before
    finally:
        stop.set()
        spinner.join(JOIN_TIMEOUT)
    assert not spinner.is_alive()
    assert len(result) == call["n_points"]
    # Holding the lock through the call would allow at most a couple of steps
    # (at the edges of the call); a released lock allows one per wake-up.
    assert during > 10, f"the counting thread advanced only {during} times during the call"


def _forked_child(conn, seeded_kwargs, unseeded_kwargs):
    try:
        seeded = vantrel.tresk(DATA, LABELS, **seeded_kwargs)
        unseeded = [vantrel.tresk(DATA, LABELS, **unseeded_kwargs) for _ in range(2)]
        sparse_unseeded = vantrel.tresk(DATA, LABELS, n_points=10, max_iter=20, sparse=True, parallel=True,
                                        batch_size=8, max_batches=2)
        conn.send(("ok", seeded, unseeded, sparse_unseeded))
    except BaseException as error:  # noqa: BLE001 - reported to the parent
        conn.send(("error", repr(error)))
    finally:
        conn.close()


@pytest.mark.parametrize("warm_threads", [False, True], ids=["idle", "busy threads"])
def test_forked_child_reseeds_and_keeps_the_pool_usable(warm_threads):
    import warnings

    ctx = multiprocessing.get_context("fork")
    seeded_kwargs = dict(n_points=16, max_iter=20, sparse=False, parallel=True, seed=21)
    unseeded_kwargs = dict(n_points=16, max_iter=20, sparse=False, parallel=True)

    # Use the pool and this thread's entropy generator before forking.
    vantrel.tresk(DATA, LABELS, **unseeded_kwargs)
    parent_seeded = vantrel.tresk(DATA, LABELS, **seeded_kwargs)

    stop = threading.Event()
    background = []
    if warm_threads:
        # Another thread is inside tresk (and so inside the pool) while we fork.
        def busy():
            while not stop.is_set():
                vantrel.tresk(DATA, LABELS, n_points=64, max_iter=20, sparse=False, parallel=True, seed=2)

        background.append(threading.Thread(target=busy, daemon=True))
        background[0].start()
        time.sleep(0.05)

    receiver, sender = ctx.Pipe(duplex=False)
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)  # fork with threads running
            child = ctx.Process(target=_forked_child, args=(sender, seeded_kwargs, unseeded_kwargs))
            child.start()
        sender.close()
        parent_unseeded = [vantrel.tresk(DATA, LABELS, **unseeded_kwargs) for _ in range(2)]
        got_message = receiver.poll(JOIN_TIMEOUT)
        child.join(JOIN_TIMEOUT)
        if child.is_alive():
            pytest.fail("the forked child hung (deadlock in the pool or the generator after fork?)")
    finally:
        if child.is_alive():
            child.kill()
            child.join(10)
        stop.set()
        for t in background:
            t.join(JOIN_TIMEOUT)
    assert got_message, f"the forked child sent nothing (exit code {child.exitcode})"
    message = receiver.recv()
    assert message[0] == "ok", f"the forked child failed: {message[1]}"
    assert child.exitcode == 0
    _, child_seeded, child_unseeded, child_sparse = message
    assert child_seeded == parent_seeded, "a seeded call differs in the forked child"
    assert len(child_unseeded[0]) == 16 and len(child_sparse) <= 10
    assert child_unseeded[0] != child_unseeded[1]
    assert child_unseeded[0] != parent_unseeded[0], "the child replays the parent's entropy generator"
    assert child_unseeded[1] != parent_unseeded[1]


@pytest.mark.parametrize("threads", ["1", "2", "3", "7", "0", "", "many"])
def test_pool_size_does_not_change_seeded_results(threads):
    """However many workers the pool gets (unusable settings fall back to the default)."""
    from test_fuzz import run_python

    code = """
import numpy as np, vantrel, warnings
from test_concurrency import DATA, LABELS
warnings.simplefilter("ignore", RuntimeWarning)
for sparse in (False, True):
    kw = dict(n_points=40, max_iter=30, sparse=sparse, seed=13, batch_size=16, max_batches=3)
    assert vantrel.tresk(DATA, LABELS, parallel=True, **kw) == vantrel.tresk(DATA, LABELS, parallel=False, **kw)
print("same")
"""
    proc = run_python(code, env={"RAYON_NUM_THREADS": threads}, timeout=JOIN_TIMEOUT)
    assert proc.stdout.split() == ["same"]


@pytest.mark.parametrize("n, d, n_points", [(2047, 3, 5), (2048, 1, 2049), (2049, 7, 2050), (4097, 2, 64),
                                            (5, 33, 4097), (3000, 130, 300)])
@pytest.mark.parametrize("sparse", [False, True], ids=["dense", "sparse"])
def test_pool_work_split_matches_serial_across_block_edges(n, d, n_points, sparse):
    """Row and point counts around the 2,048-row block: the pool's split changes nothing,
    and a column-major float64 copy of the same values gives the same points (in float64,
    so equal once rounded to float32)."""
    import warnings

    rng = np.random.default_rng(n + d)
    x = rng.normal(size=(n, d)).astype(np.float32)
    y = [int(v) for v in rng.integers(0, 3, n)]
    kw = dict(n_points=n_points, max_iter=15, sparse=sparse, seed=3, batch_size=2100, max_batches=2)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        parallel = vantrel.tresk(x, y, parallel=True, **kw)
        assert parallel == vantrel.tresk(x, y, parallel=False, **kw)
        wide = vantrel.tresk(np.asfortranarray(x.astype(np.float64)), y, parallel=True, **kw)
        assert parallel == np.array(wide, dtype=np.float32).reshape(len(wide), d).tolist()
    assert len(parallel) == n_points if not sparse else 0 < len(parallel) <= n_points


ENTROPY_FAILURE = """
import ctypes, os, resource, struct, threading
import numpy as np, vantrel

x = np.array([[0.0, 0.0], [1.0, 0.0], [0.0, 1.0], [1.0, 1.0]])
y = [0, 1, 1, 0]
seeded = vantrel.tresk(x, y, n_points=3, max_iter=10, sparse=False, parallel=False, seed=1)

# A seccomp filter makes getrandom fail with ENOSYS (a kernel without it) ...
SYS_getrandom, ENOSYS = 318, 38
program = [(0x20, 0, 0, 0), (0x15, 0, 1, SYS_getrandom), (0x06, 0, 0, 0x00050000 | ENOSYS),
           (0x06, 0, 0, 0x7FFF0000)]
code = ctypes.create_string_buffer(b"".join(struct.pack("HBBI", *op) for op in program))
class Program(ctypes.Structure):
    _fields_ = [("len", ctypes.c_ushort), ("filter", ctypes.c_void_p)]
libc = ctypes.CDLL(None, use_errno=True)
assert libc.prctl(38, 1, 0, 0, 0) == 0                       # PR_SET_NO_NEW_PRIVS
filt = Program(len(program), ctypes.addressof(code))
assert libc.prctl(22, 2, ctypes.byref(filt), 0, 0) == 0       # PR_SET_SECCOMP, filter mode
# ... and no new descriptor can be opened, so /dev/urandom is out of reach too.
limits = resource.getrlimit(resource.RLIMIT_NOFILE)
resource.setrlimit(resource.RLIMIT_NOFILE, (0, limits[1]))

outcomes = []
def unseeded(sparse):
    try:
        vantrel.tresk(x, y, n_points=2, max_iter=10, sparse=sparse, parallel=False, batch_size=2, max_batches=1)
        return "ok"
    except Exception as error:
        return f"{type(error).__name__}: {error}"

def worker():
    outcomes.append(unseeded(False))
    outcomes.append(unseeded(True))
    resource.setrlimit(resource.RLIMIT_NOFILE, limits)   # entropy is reachable again
    outcomes.append(unseeded(False))

thread = threading.Thread(target=worker)
thread.start()
thread.join(60)
assert not thread.is_alive()
assert vantrel.tresk(x, y, n_points=3, max_iter=10, sparse=False, parallel=False, seed=1) == seeded
for line in outcomes:
    print(line)
"""


def test_unavailable_entropy_is_an_exception_and_leaves_the_thread_usable():
    import platform

    from test_fuzz import run_python

    if platform.machine() != "x86_64":
        pytest.skip("the filter names the x86-64 system call number")
    proc = run_python(ENTROPY_FAILURE, timeout=JOIN_TIMEOUT, env={"PYTHONWARNINGS": "ignore"})
    lines = proc.stdout.splitlines()
    assert len(lines) == 3, proc.stdout + proc.stderr
    for line in lines[:2]:
        kind, _, message = line.partition(": ")
        assert kind.endswith("Error"), line  # which exception class is left open
        assert message.startswith("could not initialize thread_rng: ") and len(message) > 34, line
    assert lines[2] == "ok", "the thread's generator stayed unusable after entropy came back"


DAEMONS_AT_EXIT = """
import threading, time
import numpy as np, vantrel

x = np.random.default_rng(0).standard_normal((3000, 16))
y = [0, 1] * 1500

def work(kwargs):
    while True:
        vantrel.tresk(x, y, seed=1, **kwargs)

for _ in range(2):
    threading.Thread(target=work, args=(KWARGS,), daemon=True).start()
time.sleep(0.3)  # the threads are mid-call when the interpreter finalizes
"""


@pytest.mark.parametrize("kwargs", [dict(n_points=200, sparse=False, parallel=False),
                                    dict(n_points=200, sparse=False, parallel=True),
                                    dict(n_points=100, sparse=True, parallel=True, batch_size=64)],
                         ids=["dense serial", "dense pool", "sparse pool"])
def test_interpreter_exit_with_daemon_threads_inside_calls(kwargs):
    """Each run is a fresh process; one in a few would be enough to show a crash.

    Two BLAS threads: the library's clean-up at exit ends its threads while a
    daemon thread may still be inside a product, which used to hang the exit
    or crash it unless the module holds such products back first.
    """
    from test_fuzz import run_python

    code = DAEMONS_AT_EXIT.replace("KWARGS", repr(kwargs))
    for _ in range(5):
        proc = run_python(code, timeout=120, env={"OPENBLAS_NUM_THREADS": "2"})  # fails on a crash
        assert proc.stderr == "", proc.stderr


FIRST_CALLS_AT_ONCE = """
import sys, threading
import vantrel

assert "numpy" not in sys.modules  # the first call fetches NumPy's table, importing it
barrier = threading.Barrier(8, timeout=60)
outcomes = []

def first_call():
    barrier.wait()
    try:
        vantrel.tresk([[0.0, 1.0], [1.0, 0.0]], [0, 1])  # a list: refused once the table is there
    except TypeError as error:
        outcomes.append(str(error))

threads = [threading.Thread(target=first_call) for _ in range(8)]
for t in threads:
    t.start()
for t in threads:
    t.join(60)
assert not any(t.is_alive() for t in threads), "a first call never returned"
assert outcomes == ["data must be a two-dimensional NumPy array with dtype float32 or float64"] * 8, outcomes
import numpy as np
print(len(vantrel.tresk(np.eye(2), [0, 1], n_points=3, sparse=False, seed=1)))
"""


@pytest.mark.parametrize("attempt", range(3))
def test_first_calls_from_many_threads_at_once(attempt):
    from test_fuzz import run_python

    proc = run_python(FIRST_CALLS_AT_ONCE, timeout=120)
    assert proc.stdout.split() == ["3"]


FORK_AT_FIRST_USE = """
import os, pickle, threading, time, warnings
import numpy as np, vantrel

warnings.simplefilter("ignore", DeprecationWarning)  # fork with threads running
rng = np.random.default_rng(7)
x = rng.normal(size=(400, 3))
y = [int(v) for v in rng.integers(0, 3, 400)]
call = dict(n_points=16, max_iter=20, sparse=False, parallel=True)

def first_calls():
    vantrel.tresk(x, y, **call)
    vantrel.tresk(x, y, n_points=16, max_iter=20, sparse=True, parallel=True, batch_size=8, max_batches=2)

threads = [threading.Thread(target=first_calls) for _ in range(2)]
for t in threads:
    t.start()
vantrel.tresk(x, y, **call)  # this thread's own first call: its generator is keyed now
time.sleep(DELAY)

read_fd, write_fd = os.pipe()
pid = os.fork()
if pid == 0:
    try:
        os.close(read_fd)
        os.write(write_fd, pickle.dumps((vantrel.tresk(x, y, seed=5, **call), vantrel.tresk(x, y, **call))))
    finally:
        os._exit(0)
os.close(write_fd)
parent_unseeded = vantrel.tresk(x, y, **call)
seeded = vantrel.tresk(x, y, seed=5, **call)
sent = b""
while chunk := os.read(read_fd, 1 << 16):  # until the child exits
    sent += chunk
_, status = os.waitpid(pid, 0)
for t in threads:
    t.join(60)
assert os.waitstatus_to_exitcode(status) == 0 and sent, f"the child failed or hung (status {status})"
child_seeded, child_unseeded = pickle.loads(sent)
assert child_seeded == seeded
assert child_unseeded != parent_unseeded, "the child replayed its parent's generator"
print("ok")
"""


@pytest.mark.parametrize("delay", [0.0, 0.002, 0.01, 0.03])
def test_fork_while_other_threads_make_their_first_calls(delay):
    """Three fresh interpreters per delay; the forks land at different moments of the
    other threads' first calls. The BLAS library gets one thread: forking while its
    threads work is its own hazard, not this module's."""
    from test_fuzz import run_python

    for _ in range(3):
        proc = run_python(FORK_AT_FIRST_USE.replace("DELAY", repr(delay)), timeout=120,
                          env={"OPENBLAS_NUM_THREADS": "1"})
        assert proc.stdout.split() == ["ok"]
