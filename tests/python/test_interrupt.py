"""Ctrl-C during a long call.

- SIGINT during a long dense or sparse call in the main thread, with the pool
  on or off, raises KeyboardInterrupt within a bounded time (generous here; the
  benchmark benchmarks/bench_interrupt.py measures the real figure), and the
  next call in the same process works and gives the usual seeded result.
- A handler the caller installed decides: one that raises its own exception
  ends the call with it; one that returns, or an ignored signal, lets the call
  run to its normal end with an unchanged result, and a returning handler runs
  while the call is still computing.
- A call in another thread is not stopped: the main thread gets its
  KeyboardInterrupt while that call still runs, and its result is unchanged.
- Fifty interrupted calls leave no memory and no references behind.
- The main thread is the interpreter's own: a thread that forks is the main
  thread of the child, and a call made while the interpreter shuts down (when
  nothing can be imported) still runs.

Every case runs in a child interpreter with a timeout, so a call that ignores
the signal fails the test instead of hanging the suite. The child sends the
signal to its own process from a timer thread, as a terminal's Ctrl-C would
(to the process, not to a thread).
"""

from __future__ import annotations

import hashlib
import json

import numpy as np
import pytest

import vantrel
from test_fuzz import SANITIZED, run_python

# Generous: the machines that run this are shared, and the sanitizers slow the
# scan several times over.
LATENCY_BOUND = 10.0 if SANITIZED else 3.0
CHILD_TIMEOUT = 300

# Shared by the child scripts: the dense benchmark's data (n=10,000, d=32,
# three classes), calls that run for 10 to 30 seconds unless stopped, and one
# of about a second.
CHILD_PRELUDE = """
import hashlib, json, os, signal, threading, time, warnings
import numpy as np
import vantrel

rng = np.random.default_rng(0)
data = rng.normal(size=(10_000, 32)).astype(np.float32)
labels = np.argmax(data @ rng.normal(size=(32, 3)), axis=1)
# The benchmark's 2-D set: about 150 neighbouring pairs, so a sparse run for
# 1,000 of them goes through all its batches (about 5 ms each).
rng = np.random.default_rng(0)
small = rng.normal(size=(2_000, 2)).astype(np.float32)
small_labels = np.argmax(small @ rng.normal(size=(2, 3)), axis=1)

LONG = {
    "dense": lambda parallel: vantrel.tresk(data, labels, n_points=200_000, max_iter=1_000, tol=0.0,
                                            sparse=False, parallel=parallel, seed=1),
    "sparse": lambda parallel: vantrel.tresk(small, small_labels, n_points=1_000, sparse=True,
                                             parallel=parallel, seed=1, max_batches=5_000),
}

def medium():
    return vantrel.tresk(data, labels, n_points=20_000, max_iter=100, sparse=False, parallel=True, seed=3)

def after_interrupts():
    return vantrel.tresk(data, labels, n_points=50, max_iter=30, sparse=True, parallel=True, seed=4,
                         batch_size=16, max_batches=4)

def digest(points):
    return hashlib.sha256(np.asarray(points, dtype=np.float64).tobytes()).hexdigest()

def send_sigint_after(delay, sent):
    def fire():
        time.sleep(delay)
        sent.append(time.monotonic())
        os.kill(os.getpid(), signal.SIGINT)
    timer = threading.Thread(target=fire, daemon=True)
    timer.start()
    return timer
"""


def child(code: str) -> dict:
    """Runs the prelude and `code` in a fresh interpreter; returns the JSON it printed last."""
    proc = run_python(CHILD_PRELUDE + code, timeout=CHILD_TIMEOUT)
    return json.loads(proc.stdout.strip().splitlines()[-1])


def digest(points) -> str:
    return hashlib.sha256(np.asarray(points, dtype=np.float64).tobytes()).hexdigest()


@pytest.fixture(scope="module")
def expected() -> dict:
    """Digests of the children's seeded calls, made here without any signal."""
    rng = np.random.default_rng(0)
    data = rng.normal(size=(10_000, 32)).astype(np.float32)
    labels = np.argmax(data @ rng.normal(size=(32, 3)), axis=1)
    return {
        "medium": digest(vantrel.tresk(data, labels, n_points=20_000, max_iter=100, sparse=False, parallel=True,
                                       seed=3)),
        "after_interrupts": digest(vantrel.tresk(data, labels, n_points=50, max_iter=30, sparse=True, parallel=True,
                                                 seed=4, batch_size=16, max_batches=4)),
    }


@pytest.mark.parametrize("parallel", [True, False], ids=["pool", "no pool"])
@pytest.mark.parametrize("mode", ["dense", "sparse"])
def test_sigint_stops_a_long_call_and_the_next_call_is_unchanged(mode, parallel, expected):
    r = child(f"""
sent = []
send_sigint_after(0.5, sent)
started = time.monotonic()
try:
    LONG[{mode!r}]({parallel})
    outcome = "returned"
except KeyboardInterrupt:
    outcome = "interrupted"
caught = time.monotonic()
print(json.dumps({{"outcome": outcome, "started": started, "sent": sent[0] if sent else None, "caught": caught,
                  "next": digest(after_interrupts())}}))
""")
    assert r["outcome"] == "interrupted", f"the call ran to its end ({r['caught'] - r['started']:.1f} s)"
    assert r["sent"] is not None and r["started"] < r["sent"]
    assert r["caught"] - r["sent"] < LATENCY_BOUND
    assert r["next"] == expected["after_interrupts"]


# (handler set in the child, the call, its expected outcome): a raising
# handler stops a long call; with the others a call of about a second ends.
HANDLERS = {
    "raises its own exception": ("""
class Stop(Exception):
    pass
def handler(signum, frame):
    raise Stop("stopped by the caller's handler")
""", "LONG['dense'](True)", "Stop"),
    "returns": ("""
handled = []
def handler(signum, frame):
    handled.append(time.monotonic())
""", "medium()", "returned"),
    "ignored": ("handler = signal.SIG_IGN\n", "medium()", "returned"),
}


@pytest.mark.parametrize("name", list(HANDLERS))
def test_the_callers_sigint_handler_decides(name, expected):
    setup, call, want = HANDLERS[name]
    r = child(setup + f"""
signal.signal(signal.SIGINT, handler)
sent = []
send_sigint_after(0.2, sent)
started = time.monotonic()
result = None
try:
    points = {call}
    ended = time.monotonic()
    result = digest(points)
    outcome = "returned"
except Exception as error:
    ended = time.monotonic()
    outcome = type(error).__name__
print(json.dumps({{"outcome": outcome, "result": result, "started": started, "sent": sent[0] if sent else None,
                  "ended": ended, "handled": globals().get("handled")}}))
""")
    assert r["sent"] is not None and r["started"] < r["sent"] < r["ended"], "the signal came after the call"
    assert r["outcome"] == want
    if want == "returned":
        assert r["result"] == expected["medium"]
    else:
        assert r["ended"] - r["sent"] < LATENCY_BOUND
    if r["handled"] is not None:
        # Run by the call's own check, the handler comes soon after the signal;
        # run by the interpreter once the call is over, it comes at its end.
        assert len(r["handled"]) == 1
        assert r["handled"][0] - r["sent"] < r["ended"] - r["handled"][0], "the handler ran only after the call"


def test_a_call_in_another_thread_runs_on_while_the_main_thread_is_interrupted(expected):
    r = child("""
result = {}
began = threading.Event()
def work():
    began.set()
    result["digest"] = digest(medium())
    result["ended"] = time.monotonic()
worker = threading.Thread(target=work)
worker.start()
began.wait()
sent = []
send_sigint_after(0.2, sent)
# Waits in sleep, not join: an interrupted join marks a running thread as
# stopped on some interpreter versions, and the process would then exit under it.
try:
    time.sleep(60)
    outcome = "slept"
except KeyboardInterrupt:
    outcome = "interrupted"
caught = time.monotonic()
alive = worker.is_alive()
worker.join()
print(json.dumps({"outcome": outcome, "sent": sent[0], "caught": caught, "alive": alive, **result}))
""")
    assert r["outcome"] == "interrupted"
    assert r["alive"], "the call in the other thread ended before the interrupt reached the main thread"
    assert r["caught"] - r["sent"] < LATENCY_BOUND
    assert r["ended"] > r["caught"]
    assert r["digest"] == expected["medium"]


def test_a_thread_that_forks_is_the_main_thread_of_the_child():
    r = child("""
result = {}
def fork_and_interrupt():
    pid = os.fork()
    if pid == 0:
        send_sigint_after(0.2, [])
        try:
            LONG["dense"](False)
            os._exit(1)
        except KeyboardInterrupt:
            os._exit(0)
    result["exit"] = os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])
thread = threading.Thread(target=fork_and_interrupt)
thread.start()
thread.join()
print(json.dumps(result))
""")
    assert r["exit"] == 0, "the call in the forked child was not interrupted"


AT_EXIT = """
import numpy as np
import vantrel

x = np.array([[0.0, 0.0], [1.0, 1.0]])
if WARM:
    vantrel.tresk(x, [0, 1], n_points=1, sparse=False, seed=0)

class CollectedAtExit:
    def __del__(self):
        try:
            print(len(vantrel.tresk(np.array([[0.0, 0.0], [1.0, 1.0]]), [0, 1], n_points=3, sparse=False, seed=0)))
        except Exception as error:
            print(type(error).__name__, error)

cycle = CollectedAtExit()
cycle.self = cycle
"""


@pytest.mark.parametrize(("warm", "expected"), [
    (True, "3"),
    # NumPy's table cannot be fetched once imports fail: a clear error of the call.
    (False, "RuntimeError tresk cannot load NumPy's array API while the interpreter shuts down; "
            "a call made before then loads it for the rest of the process"),
])
def test_a_call_while_the_interpreter_shuts_down(warm, expected):
    proc = run_python(AT_EXIT.replace("WARM", str(warm)), timeout=CHILD_TIMEOUT)
    assert proc.stdout.strip() == expected, proc.stdout + proc.stderr


@pytest.mark.slow
def test_fifty_interrupted_calls_leave_nothing_behind(expected):
    """Interrupts land at random moments of dense and sparse calls, pool on and
    off. Losing the normalised copy (1.25 MiB) or a product buffer (32 MiB) per
    call would show in the heap; a reference kept to the handler's exception
    would keep it alive."""
    r = child(f"""
import gc, random, sys, tracemalloc, weakref
from test_leaks import heap_bytes, rss_bytes

class Interrupted(KeyboardInterrupt):
    pass
def handler(signum, frame):
    raise Interrupted()
signal.signal(signal.SIGINT, handler)

random.seed(5)
exceptions = []
def interrupted_calls(count):
    for k in range(count):
        sent = []
        timer = send_sigint_after(random.uniform(0.03, 0.15), sent)
        try:
            LONG["dense" if k % 2 else "sparse"](k % 4 < 2)
            raise AssertionError("a call ran to its end")
        except Interrupted as error:
            exceptions.append(weakref.ref(error))
        timer.join()

interrupted_calls(10)  # warm-up: pool, allocator arenas
gc.collect()
refs = sys.getrefcount(data), sys.getrefcount(labels), sys.getrefcount(small)
rss, heap = rss_bytes(), heap_bytes()
tracemalloc.start()
traced = tracemalloc.get_traced_memory()[0]
interrupted_calls(50)
gc.collect()
traced_growth = tracemalloc.get_traced_memory()[0] - traced
tracemalloc.stop()
print(json.dumps({{"rss_growth": rss_bytes() - rss, "heap_growth": heap_bytes() - heap,
                  "traced_growth": traced_growth, "alive": sum(e() is not None for e in exceptions),
                  "caught": len(exceptions),
                  "refs_kept": refs == (sys.getrefcount(data), sys.getrefcount(labels), sys.getrefcount(small)),
                  "next": digest(after_interrupts())}}))
""")
    from test_leaks import RSS_TOLERANCE, TRACED_TOLERANCE

    assert r["caught"] == 60
    assert r["alive"] == 0, f"{r['alive']} interrupt exceptions still referenced"
    assert r["refs_kept"], "references to the caller's arrays lost or kept"
    assert r["traced_growth"] < TRACED_TOLERANCE, f"traced memory grew by {r['traced_growth']} bytes"
    assert SANITIZED or r["rss_growth"] < RSS_TOLERANCE, f"resident memory grew by {r['rss_growth']} bytes"
    assert SANITIZED or r["heap_growth"] < RSS_TOLERANCE, f"heap in use grew by {r['heap_growth']} bytes"
    assert r["next"] == expected["after_interrupts"]
