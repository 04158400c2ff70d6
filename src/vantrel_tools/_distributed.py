# tresk spread over tasks: run one after another in the caller's process, or
# side by side on a dask cluster the caller already has.
#
# A run is a list of rounds; a round is a list of tasks, each one call of
# vantrel.tresk with its own seed, and its results are gathered in task
# order. The seeds come from numpy's SeedSequence, so the points depend on
# the data, the arguments, `seed` and the number of tasks, and never on which
# engine ran them, how many workers it had or which task finished first
# (tresk's points do not depend on its threads either).
#
# Dense mode is one round: n_points split as evenly as possible. Sparse mode
# merges the tasks' points by their pair of rows (boundary_pairs, computed
# where the task ran), keeping the first in task order. Tasks sample
# independently and each stops at its share, so they find some pairs twice;
# later rounds ask for what is still missing, divided by the share of new
# pairs in the last round's points. Budget: every task slot runs at most
# max_batches batches over all rounds, as one call would, each round half of
# what is left (10, 5, 3, 1, 1 of the default 20). A shortfall warns once,
# for the merged result, as tresk does; the tasks' own warnings are dropped.
#
# Engines. Without a client the tasks run in the calling thread, each tresk
# call with all the cores (its worker pool and BLAS threads as they are):
# no processes to start, nothing to share, nothing left behind, and Ctrl-C
# stops the call as it stops tresk. Processes on one machine are a dask
# LocalCluster's job. With a dask.distributed Client the data is scattered
# once, each worker fetches it once, and data or tasks lost with their
# workers are sent again, a bounded number of times.
#
# Every argument is checked in the caller, by tresk itself where tresk has
# the rule, before any task starts; a task can then fail only for want of
# memory or workers.
from __future__ import annotations

import contextlib
import inspect
import math
import operator
import os
import re
import sys
import threading
import uuid
import warnings
from collections.abc import Iterator
from concurrent.futures import CancelledError
from dataclasses import dataclass, field
from typing import Any, cast

import numpy as np
import numpy.typing as npt
from threadpoolctl import threadpool_limits  # type: ignore[import-untyped]

import vantrel

from ._inputs import Codes, Data, checked_inputs
from ._pairs import boundary_pairs
from ._progress import Progress, checked_flag, progress_of

# tresk's own defaults for the arguments passed through, read from its signature.
TRESK_DEFAULTS: dict[str, Any] = {
    name: parameter.default
    for name, parameter in inspect.signature(vantrel.tresk).parameters.items()
    if name not in ("data", "y", "n_points", "seed")
}
# Longest wait on one task before looking again; Ctrl-C does not wait for it.
POLL_SECONDS = 1.0
# Times the data is sent again after the workers holding it died, per call.
RESENDS = 3
# Longest wait for a worker to come back after all of them died.
RETURN_SECONDS = 120.0

Points = npt.NDArray[np.float64]
TaskResult = tuple[Points, "npt.NDArray[np.int64] | None"]


@dataclass(frozen=True)
class _Task:
    """One call of tresk: its place in the round, its share and its seed."""

    index: int
    n_points: int
    seed: int
    kwargs: dict[str, Any]


def tresk_distributed(
    data: npt.ArrayLike,
    y: npt.ArrayLike,
    n_points: int = 1000,
    *,
    tasks: int | None = None,
    client: Any = None,
    seed: int | None = None,
    progress: bool = False,
    **tresk_kwargs: Any,
) -> Points:
    """``vantrel.tresk`` spread over tasks.

    Each task is one call of ``tresk`` with its own seed. Without a
    ``client`` the tasks run one after another in this process, each with
    all the cores; with one they run side by side on its dask cluster. Their
    points come back in task order as one array.

    Parameters
    ----------
    data : array_like, shape (n, d)
        The data set: an array, a DataFrame or nested lists of finite real
        numbers. float32 is kept; other types are passed to ``tresk`` as
        float64.
    y : array_like, length n
        Class labels per row: integers, strings, floats, bools or the values
        of a categorical; only equality matters.
    n_points : int, default 1000
        Points wanted. Dense mode returns exactly this many; sparse mode this
        many on distinct pairs of rows, or fewer with a ``RuntimeWarning``.
    tasks : int, optional
        Number of tasks (calls of ``tresk``) per round. Default: one per
        worker thread of the engine, so 1 without a ``client``. The result
        depends on it, so give it for results that do not depend on the
        engine.
    client : dask.distributed.Client, optional
        Run on this cluster; the data is scattered to it once. Default: in
        this process.
    seed : int, optional
        Seeds every task through ``numpy.random.SeedSequence(seed)``; the same
        seed and ``tasks`` give the same points on any engine. None draws
        fresh entropy.
    progress : bool, default False
        Show a bar of the tasks done (and the round, in sparse mode) and the
        time left, on stderr; pass True in interactive sessions.
    **tresk_kwargs
        ``max_iter``, ``tol``, ``sparse``, ``parallel``, ``batch_size``,
        ``max_batches``, as for ``tresk`` (same defaults). ``batch_size`` and
        ``max_batches`` apply to each task: more tasks, more batches.

    Returns
    -------
    ndarray of float64, shape (m, d)
        Dense mode: each task's points in task order, m = n_points. Sparse
        mode: points on distinct pairs (per :func:`boundary_pairs`), the first
        found in task order kept, m <= n_points.

    Raises
    ------
    TypeError, ValueError, OverflowError
        Bad arguments, before any task starts: for the arguments passed to
        ``tresk``, the exception ``tresk`` raises for them in one task.
        A ``client`` that is closed or not connected. A ``progress`` that
        is not a bool.
    RuntimeError
        A task failed on the cluster, or its data was lost with its workers
        more often than the call resends it; the message names the task.
    KeyboardInterrupt
        Ctrl-C: in this process, as ``tresk`` stops; on a cluster, tasks not
        started are cancelled, and a task already running on a worker
        finishes its call there and its result is dropped.

    Warns
    -----
    RuntimeWarning
        Sparse mode found fewer than ``n_points`` distinct pairs within the
        budget: every task slot runs at most ``max_batches`` batches over all
        rounds, each round half of what is left. The tasks' own shortfall
        warnings are not shown.

    See Also
    --------
    vantrel.tresk : one call.
    boundary_pairs : the pair of rows each point lies between.

    Notes
    -----
    On a cluster each task's threads are capped at the cores of its machine
    divided by the tasks that machine runs at once: with a cap of one core a
    task runs without ``tresk``'s worker pool, and a worker process other
    than the caller's keeps its BLAS threads and ``RAYON_NUM_THREADS`` (the
    pool's size) at the cap. Both are process-wide, so in-process workers
    (``LocalCluster(processes=False)``) leave them alone: tasks side by side
    in the caller's process share its BLAS threads as they are. The caller's
    warnings filters, environment and BLAS threads are as they were once the
    call returns.

    Examples
    --------
    >>> import numpy as np
    >>> from vantrel_tools import boundary_pairs, tresk_distributed
    >>> rng = np.random.default_rng(0)
    >>> data = rng.uniform(-1, 1, size=(500, 2))
    >>> y = np.where(data[:, 0] > 0, "right", "left")
    >>> points = tresk_distributed(data, y, 40, tasks=2, sparse=False, seed=1)
    >>> points.shape, points.dtype
    ((40, 2), dtype('float64'))
    >>> pairs, gaps = boundary_pairs(data, y, points)  # each point between two rows
    >>> bool(gaps.max() < 1e-3)
    True
    """
    show = checked_flag(progress)
    kwargs = _tresk_arguments(tresk_kwargs)
    n_points = _count("n_points", n_points)
    tasks = None if tasks is None else _count("tasks", tasks)
    if seed is not None and (_integer("seed", seed) < 0):
        raise ValueError("seed must be None or a non-negative integer")
    array, codes, _ = checked_inputs(data, y)
    layout = None if client is None else _cluster_layout(_connected(client))
    tasks = min(tasks or (layout.slots if layout else 1), n_points)
    # The most one task is asked for: a dense share, or in sparse mode all
    # that is missing.
    _check_as_tresk(array, codes, n_points if kwargs["sparse"] else -(-n_points // tasks), kwargs)
    with _open_engine(client, layout, array, codes) as engine, \
            progress_of(show, "tresk_distributed", tasks, "tasks") as bar:
        seeds = np.random.SeedSequence(seed)
        if kwargs["sparse"]:
            return _sparse(engine, seeds, n_points, tasks, kwargs, len(codes), bar)
        round_ = _round(seeds, _split(n_points, tasks), kwargs)
        return np.concatenate([points for points, _ in engine.run(round_, False, bar)])


def _tresk_arguments(given: dict[str, Any]) -> dict[str, Any]:
    unknown = sorted(set(given) - set(TRESK_DEFAULTS))
    if unknown:
        raise TypeError(f"tresk_distributed() got an unexpected keyword argument '{unknown[0]}'")
    kwargs = {**TRESK_DEFAULTS, **given}
    if not isinstance(kwargs["sparse"], (bool, np.bool_)):
        raise TypeError(f"sparse must be a bool, not {type(kwargs['sparse']).__name__}")
    kwargs["sparse"] = bool(kwargs["sparse"])
    return kwargs  # tresk checks the rest (_check_as_tresk)


def _integer(name: str, value: Any) -> int:
    try:
        return operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}") from None


def _count(name: str, value: Any) -> int:
    number = _integer(name, value)
    if number < 1:
        raise ValueError(f"{name} must be greater than zero")
    return number


SINGLE_CLASS = "y must contain at least two different classes"


def _check_as_tresk(data: Data, codes: Codes, most: int, kwargs: dict[str, Any]) -> None:
    """Raises what tresk would raise for a task of `most` points, without the task's work.

    Two short calls of tresk itself, so its rules stay in one place. The
    first gets every argument as a task would, but labels of one class:
    tresk converts them all, checks the counts, the tolerance and the BLAS
    range, and stops at the labels before any work. The second gets the real
    labels, one sweep and in sparse mode one batch of one point: it checks
    the data (distinct and finite rows, no row in two classes) and the sizes
    that sparse mode derives from `most`.
    """
    tol, sparse, parallel = kwargs["tol"], kwargs["sparse"], kwargs["parallel"]
    try:
        vantrel.tresk(data, np.zeros(len(codes), dtype=np.int64), most, kwargs["max_iter"], tol, sparse,
                      parallel, 0, batch_size=kwargs["batch_size"], max_batches=kwargs["max_batches"])
    except ValueError as err:
        if str(err) != SINGLE_CLASS:
            raise
    with _quiet_shortfall():  # the probe's own shortfall is no news
        vantrel.tresk(data, codes, most if sparse else 1, 1, tol, sparse, parallel, 0,
                      batch_size=1, max_batches=1)


def _split(total: int, parts: int) -> list[int]:
    """total as parts shares, as even as possible, the larger ones first."""
    return [total // parts + (i < total % parts) for i in range(parts)]


def _round(seeds: np.random.SeedSequence, shares: list[int], kwargs: dict[str, Any]) -> list[_Task]:
    """One round: a task per share, each with a fresh seed (tasks with no share do not run)."""
    children = seeds.spawn(len(shares))
    return [_Task(i, share, int(child.generate_state(1, np.uint64)[0]), kwargs)
            for i, (share, child) in enumerate(zip(shares, children)) if share]


def _round_budgets(max_batches: int) -> list[int]:
    """Batches per task in each round: half of what is left, rounded up, until none is."""
    budgets = []
    while max_batches:
        budgets.append((max_batches + 1) // 2)
        max_batches -= budgets[-1]
    return budgets


def _sparse(engine: Any, seeds: np.random.SeedSequence, n_points: int, tasks: int,
            kwargs: dict[str, Any], n: int, bar: Progress) -> Points:
    kept: list[Points] = []
    known = np.empty(0, dtype=np.int64)  # pair keys found so far, in the order found
    novel = 1.0  # share of new pairs among the points the last round returned
    budgets = _round_budgets(kwargs["max_batches"])
    for number, batches in enumerate(budgets):
        # A task cannot see the pairs already known and stops at its share,
        # so it is asked for its share of the missing pairs divided by the
        # share of new ones in the last round's points.
        shares = [min(n_points, math.ceil(share / novel))
                  for share in _split(n_points - len(known), tasks)]
        round_ = _round(seeds, shares, {**kwargs, "max_batches": batches})
        # The rounds still to come, if all run, as many tasks each as this one.
        bar.grow(bar.done + len(round_) * (len(budgets) - number))
        bar.describe(f"round {number + 1} of at most {len(budgets)}")
        results = engine.run(round_, True, bar)
        points = np.concatenate([points for points, _ in results])
        pairs = np.concatenate([pairs for _, pairs in results if pairs is not None])
        fresh = _first_new(known, pairs[:, 0] * n + pairs[:, 1])
        kept.append(points[fresh])
        known = np.concatenate([known, pairs[fresh, 0] * n + pairs[fresh, 1]])
        if len(known) >= n_points:
            break
        novel = max(len(fresh) / max(len(points), 1), 1 / n_points)
    bar.grow(bar.done)  # the rounds not needed
    found = np.concatenate(kept)[:n_points]
    if len(found) < n_points:
        warnings.warn(f"requested {n_points} distinct boundary points, but found {len(found)}"
                      f" before reaching max_batches={kwargs['max_batches']} in each of {tasks}"
                      " tasks", RuntimeWarning, stacklevel=3)
    return found


def _first_new(known: npt.NDArray[np.int64], keys: npt.NDArray[np.int64]) -> npt.NDArray[np.intp]:
    """Positions of the keys that are not known and not seen earlier in keys, in order."""
    _, first = np.unique(np.concatenate([known, keys]), return_index=True)
    return np.sort(first[first >= len(known)]) - len(known)


def _task_name(task: _Task, tasks: int) -> str:
    return f"task {task.index} of {tasks} (n_points={task.n_points}, seed={task.seed})"


# --------------------------------------------------------------------------
# What a task runs, wherever it runs

# With the process id, names the caller's process to its tasks: a task that
# runs in it (in-process dask workers) must leave the caller's environment
# alone. A forked child inherits the token but not the id; another machine
# may reuse the id but not the token.
_TOKEN = uuid.uuid4().hex


def _run_task(data: Data, codes: Codes, task: _Task, with_pairs: bool, cap: int | None,
              home: tuple[str, int] | None) -> TaskResult:
    """One tresk call, its threads capped at `cap` (None: as they are); its points, and their pairs if asked."""
    kwargs = dict(task.kwargs)
    if cap is not None:
        kwargs["parallel"] = kwargs["parallel"] and cap > 1
        if home != (_TOKEN, os.getpid()):
            _cap_worker_process(cap)
    with _quiet_shortfall():
        found = vantrel.tresk(data, codes, task.n_points, seed=task.seed, **kwargs)
    points = np.asarray(found, dtype=np.float64).reshape(-1, data.shape[1])
    pairs = boundary_pairs(data, codes, points)[0] if with_pairs else None
    return points, pairs


def _cap_worker_process(cap: int) -> None:
    """Caps the threads of a worker process that is not the caller's, for good.

    BLAS thread counts and the environment belong to the whole process, and
    OpenBLAS does not always take back a count set from another thread, so
    tasks side by side cannot each set and restore them. The process keeps
    the cap (dask's nannies start their workers with one BLAS thread anyway).
    """
    # The pool reads this when it starts, at the process's first parallel call.
    os.environ["RAYON_NUM_THREADS"] = str(cap)
    threadpool_limits(cap, user_api="blas")


@dataclass
class _QuietTasks:
    """The tasks running in this process, and the warnings filter that drops their shortfalls."""

    lock: threading.Lock = field(default_factory=threading.Lock)
    running: int = 0
    entry: Any = None


_QUIET = _QuietTasks()
# tresk's shortfall, raised from this module's frame (warnings attribute a
# warning from C code to the calling Python frame).
_SHORTFALL = re.compile(r"requested \d+ distinct boundary points", re.I)
_THIS_MODULE = re.compile(re.escape(__name__) + r"\Z")


@contextlib.contextmanager
def _quiet_shortfall() -> Iterator[None]:
    """Drops tresk's shortfall warnings while tasks run in this process.

    The filters are process-wide, and warnings.catch_warnings restores a
    saved copy, so overlapping tasks would leave one task's filter behind:
    the first task to start adds one entry, the last to end removes exactly
    that entry. It matches only tresk's shortfall raised from this module,
    so no other warning of the process is touched.
    """
    with _QUIET.lock:
        if _QUIET.running == 0:
            _QUIET.entry = ("ignore", _SHORTFALL, RuntimeWarning, _THIS_MODULE, 0)
            _filters().insert(0, _QUIET.entry)
            _filters_changed()
        _QUIET.running += 1
    try:
        yield
    finally:
        with _QUIET.lock:
            _QUIET.running -= 1
            if _QUIET.running == 0:
                filters = _filters()
                for i, entry in enumerate(filters):
                    if entry is _QUIET.entry:
                        del filters[i]
                        break
                _filters_changed()
                _QUIET.entry = None


def _filters() -> list[Any]:
    """The process's warnings filters, the list itself (typed as a sequence in typeshed)."""
    return cast(list[Any], warnings.filters)


def _filters_changed() -> None:
    """Tells the warnings machinery that its filter list changed (as filterwarnings does)."""
    changed = getattr(warnings, "_filters_mutated", None) or getattr(warnings, "_filters_mutated_lock_held")
    changed()


# --------------------------------------------------------------------------
# Engines: run(round, with_pairs, bar) -> results in task order, bar advanced per task

@dataclass
class _Layout:
    """A cluster's task slots and the thread cap that keeps every machine within its cores."""

    slots: int
    cap: int


class _LocalEngine:
    """Runs each task in the calling thread, with the process's threads as they are."""

    def __init__(self, data: Data, codes: Codes) -> None:
        self.data, self.codes = data, codes

    def run(self, round_: list[_Task], with_pairs: bool, bar: Progress) -> list[TaskResult]:
        results = []
        for task in round_:
            results.append(_run_task(self.data, self.codes, task, with_pairs, None, None))
            bar.advance()
        return results


@contextlib.contextmanager
def _open_engine(client: Any, layout: _Layout | None, data: Data, codes: Codes) -> Iterator[Any]:
    if client is None or layout is None:
        yield _LocalEngine(data, codes)
        return
    engine = _DaskEngine(client, layout, data, codes)
    try:
        yield engine
    finally:
        engine.release()


def _connected(client: Any) -> Any:
    distributed = sys.modules.get("distributed")
    if distributed is None or not isinstance(client, distributed.Client):
        raise TypeError(f"client must be a dask.distributed.Client or None, not {type(client).__name__}")
    if client.status != "running":
        raise ValueError(f"client must be connected to a scheduler, but its status is {client.status!r}")
    return client


def _usable_cores() -> int:
    return len(os.sched_getaffinity(0))


def _cluster_layout(client: Any) -> _Layout:
    """Task slots of the cluster, and the thread cap that keeps every machine within its cores."""
    from distributed.comm.addressing import get_address_host

    # nthreads() lists every worker (scheduler_info() lists only some in
    # some dask versions).
    slots = client.nthreads()
    if not slots:
        raise RuntimeError("the dask cluster has no workers")
    cores = client.run(_usable_cores)
    slots_on: dict[str, int] = {}
    cores_on: dict[str, int] = {}
    for address, nthreads in slots.items():
        host = get_address_host(address)
        slots_on[host] = slots_on.get(host, 0) + nthreads
        cores_on[host] = max(cores_on.get(host, 1), cores.get(address, 1))
    cap = min(max(1, cores_on[host] // count) for host, count in slots_on.items())
    return _Layout(sum(slots_on.values()), cap)


class _DaskEngine:
    """Runs a round's tasks on a dask cluster; data and tasks lost with workers are sent again.

    The data is scattered once per call, unhashed, so the caller's own
    copies on the cluster are left alone. Scattered data lives only on the
    workers holding it; when they die, the tasks that need it are cancelled.
    The data is then sent again, once some worker is back, and every task
    of the round without a result is submitted again with the same seed, so
    the points do not change; at most RESENDS times a call.
    """

    def __init__(self, client: Any, layout: _Layout, data: Data, codes: Codes) -> None:
        self.client, self.cap = client, layout.cap
        self.data, self.codes = data, codes
        self.resends = 0
        self.inputs = self._scatter()

    def _scatter(self) -> list[Any]:
        return list(self.client.scatter([self.data, self.codes], hash=False))

    def release(self) -> None:
        self.client.cancel(self.inputs, force=True)

    def _submit(self, task: _Task, with_pairs: bool) -> Any:
        return self.client.submit(_run_task, self.inputs[0], self.inputs[1], task, with_pairs,
                                  self.cap, (_TOKEN, os.getpid()), pure=False)

    def run(self, round_: list[_Task], with_pairs: bool, bar: Progress) -> list[TaskResult]:
        futures = [self._submit(task, with_pairs) for task in round_]
        results: list[TaskResult] = []
        try:
            while len(results) < len(round_):
                task = round_[len(results)]
                try:
                    results.append(self._result(futures[len(results)], _task_name(task, len(round_))))
                    bar.advance()
                except CancelledError:  # its data died with the workers holding it
                    self._send_again(task, len(round_))
                    # Every task still without a result needs the new copy.
                    self.client.cancel(futures[len(results):], force=True)
                    futures[len(results):] = [self._submit(t, with_pairs) for t in round_[len(results):]]
            return results
        except BaseException:
            self.client.cancel(futures, force=True)
            raise

    def _send_again(self, task: _Task, tasks: int) -> None:
        name = _task_name(task, tasks)
        if self.resends == RESENDS:
            raise RuntimeError(f"{name} failed: its data was lost with the workers holding it"
                               f" {RESENDS + 1} times")
        self.resends += 1
        self.client.cancel(self.inputs, force=True)
        try:
            self.client.wait_for_workers(1, timeout=RETURN_SECONDS)
        except TimeoutError:
            raise RuntimeError(f"{name} failed: the workers holding its data died and none came"
                               f" back within {RETURN_SECONDS:.0f} s") from None
        self.inputs = self._scatter()

    @staticmethod
    def _result(future: Any, name: str) -> TaskResult:
        """The future's result; a lost future as CancelledError, a failure as a RuntimeError naming the task."""
        while True:
            try:
                result: TaskResult = future.result(timeout=POLL_SECONDS)
                return result
            except TimeoutError:
                continue
            except CancelledError:
                raise
            except Exception as err:
                raise RuntimeError(f"{name} failed: {type(err).__name__}: {err}") from err
