# tresk spread over tasks that run in parallel: in local worker processes, or
# on a dask cluster the caller already has.
#
# A run is a list of rounds; a round is a list of tasks, each one call of
# vantrel.tresk with its own seed, and its results are gathered in task
# order. The seeds come from numpy's SeedSequence, so the points depend on
# the data, the arguments, `seed` and the number of tasks, and never on which
# engine ran them, how many workers it had or which task finished first.
#
# Dense mode is one round: n_points split as evenly as possible. Sparse mode
# merges the tasks' points by their pair of rows (boundary_pairs, computed on
# the workers), keeping the first in task order. Tasks sample independently
# and each stops at its share, so they find some pairs twice; later rounds
# ask for what is still missing, divided by the share of new pairs in the
# last round's points. Budget: every task slot runs at most max_batches
# batches over all rounds, as one call would, each round half of what is
# left (10, 5, 3, 1, 1 of the default 20). A shortfall warns as tresk does.
#
# Engines. Without a client: a ProcessPoolExecutor of spawned processes, at
# most one per core, which map one shared-memory copy of the data. It needs
# only the standard library, starts in 0.6 to 1.2 s on the loaded 2-core
# machine (a 2-worker LocalCluster took 2.8 to 4.1 s in the tests), behaves the same
# whether or not dask is installed (a LocalCluster would start a scheduler
# and nannies besides, for nothing a single machine needs). With a
# dask.distributed Client: the data is scattered once and each worker
# fetches it once. Either way each task's BLAS and worker pool are capped so
# that the tasks on one machine ask for no more threads than it has cores.
from __future__ import annotations

import contextlib
import inspect
import math
import operator
import os
import sys
import time
import warnings
from collections.abc import Callable, Iterator
from concurrent.futures import ProcessPoolExecutor
from concurrent.futures.process import BrokenProcessPool
from dataclasses import dataclass
from multiprocessing import get_context, shared_memory
from typing import Any

import numpy as np
import numpy.typing as npt
from threadpoolctl import threadpool_limits  # type: ignore[import-untyped]

import vantrel

from ._pairs import Labels, boundary_pairs

# tresk's own defaults for the arguments passed through, read from its signature.
TRESK_DEFAULTS: dict[str, Any] = {
    name: parameter.default
    for name, parameter in inspect.signature(vantrel.tresk).parameters.items()
    if name not in ("data", "y", "n_points", "seed")
}
# Longest wait on one task before looking again; Ctrl-C does not wait for it.
POLL_SECONDS = 1.0
# Longest wait for local worker processes to start (1 s or less is usual).
STARTUP_SECONDS = 120.0

Points = npt.NDArray[np.float64]
TaskResult = tuple[Points, "npt.NDArray[np.int64] | None"]


@dataclass(frozen=True)
class _Task:
    """One call of tresk: its place in the round, its share and its seed."""

    index: int
    n_points: int
    seed: int
    kwargs: dict[str, Any]


@dataclass
class _Engine:
    """What a round needs from an engine: submit tasks, stop them, how many run at once."""

    submit: Callable[[_Task, bool], Any]  # returns a future with .result(timeout) and .cancel()
    stop: Callable[[list[Any]], None]
    slots: int


def tresk_distributed(
    data: npt.NDArray[np.float32] | npt.NDArray[np.float64],
    y: Labels,
    n_points: int = 1000,
    *,
    tasks: int | None = None,
    client: Any = None,
    seed: int | None = None,
    **tresk_kwargs: Any,
) -> Points:
    """``vantrel.tresk`` spread over tasks that run in parallel.

    Each task is one call of ``tresk`` with its own seed; the tasks run in
    local worker processes or on a dask cluster, and their points come back
    in task order as one array.

    Parameters
    ----------
    data, y
        As for ``vantrel.tresk``, checked here by ``tresk`` itself.
    n_points : int, default 1000
        Points wanted. Dense mode returns exactly this many; sparse mode this
        many on distinct pairs of rows, or fewer with a ``RuntimeWarning``.
    tasks : int, optional
        Number of tasks (calls of ``tresk``) per round. Default: one per
        worker thread of the engine. The result depends on it, so give it
        for results that do not depend on the engine.
    client : dask.distributed.Client, optional
        Run on this cluster; the data is scattered to it once. Default: local
        worker processes, at most one per core.
    seed : int, optional
        Seeds every task through ``numpy.random.SeedSequence(seed)``; the same
        seed and ``tasks`` give the same points on any engine. None draws
        fresh entropy.
    **tresk_kwargs
        ``max_iter``, ``tol``, ``sparse``, ``parallel``, ``batch_size``,
        ``max_batches``, as for ``tresk`` (same defaults).

    Returns
    -------
    ndarray of float64, shape (m, d)
        Dense mode: each task's points in task order, m = n_points. Sparse
        mode: points on distinct pairs (per :func:`boundary_pairs`), the first
        found in task order kept, m <= n_points.

    Raises
    ------
    TypeError, ValueError
        Bad arguments, with ``tresk``'s messages for ``data``, ``y`` and
        ``tol``.
    RuntimeError
        A task failed or its worker died; the message names the task.
    KeyboardInterrupt
        Ctrl-C while waiting: tasks not started are cancelled and local
        worker processes ended; a task already running on a dask worker
        finishes its call there and its result is dropped.

    Warns
    -----
    RuntimeWarning
        Sparse mode found fewer than ``n_points`` distinct pairs within the
        budget: every task slot runs at most ``max_batches`` batches over all
        rounds, each round half of what is left.

    See Also
    --------
    vantrel.tresk : one call in this process.
    boundary_pairs : the pair of rows each point lies between.

    Notes
    -----
    Each task's threads (the BLAS and ``tresk``'s worker pool) are capped at
    the cores of its machine divided by the tasks that machine runs at once.
    Local workers are spawned, so a script that calls this needs the usual
    ``if __name__ == "__main__":`` guard.

    Examples
    --------
    >>> import numpy as np
    >>> from vantrel_tools import boundary_pairs, tresk_distributed
    >>> rng = np.random.default_rng(0)
    >>> data = rng.uniform(-1, 1, size=(500, 2))
    >>> y = (data[:, 0] > 0).astype(int)
    >>> points = tresk_distributed(data, y, 40, tasks=2, sparse=False, seed=1)
    >>> points.shape, points.dtype
    ((40, 2), dtype('float64'))
    >>> pairs, gaps = boundary_pairs(data, y, points)  # each point between two rows
    >>> bool(gaps.max() < 1e-3)
    True
    """
    kwargs = _tresk_arguments(tresk_kwargs)
    n_points = _count("n_points", n_points)
    tasks = None if tasks is None else _count("tasks", tasks)
    if seed is not None and (_integer("seed", seed) < 0):
        raise ValueError("seed must be None or a non-negative integer")
    labels = _labels_checked_by_tresk(data, y, kwargs)
    with _open_engine(client, data, labels, tasks) as engine:
        tasks = min(tasks or engine.slots, n_points)
        seeds = np.random.SeedSequence(seed)
        if kwargs["sparse"]:
            return _sparse(engine, seeds, n_points, tasks, kwargs, len(labels))
        round_ = _round(seeds, _split(n_points, tasks), kwargs)
        return np.concatenate([points for points, _ in _run(engine, round_, False)])


def _tresk_arguments(given: dict[str, Any]) -> dict[str, Any]:
    unknown = sorted(set(given) - set(TRESK_DEFAULTS))
    if unknown:
        raise TypeError(f"tresk_distributed() got an unexpected keyword argument '{unknown[0]}'")
    kwargs = {**TRESK_DEFAULTS, **given}
    if not isinstance(kwargs["sparse"], (bool, np.bool_)):
        raise TypeError(f"sparse must be a bool, not {type(kwargs['sparse']).__name__}")
    kwargs["sparse"] = bool(kwargs["sparse"])
    _count("max_iter", kwargs["max_iter"])
    if kwargs["sparse"]:
        _count("batch_size", kwargs["batch_size"])
        _count("max_batches", kwargs["max_batches"])
    return kwargs


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


def _labels_checked_by_tresk(data: Any, y: Labels, kwargs: dict[str, Any]) -> npt.NDArray[np.int64]:
    """Lets tresk check data, labels, tol and the argument types (one point, one sweep), then returns the labels."""
    vantrel.tresk(data, y, 1, 1, kwargs["tol"], False, kwargs["parallel"], 0,
                  batch_size=kwargs["batch_size"], max_batches=kwargs["max_batches"])
    if isinstance(y, bytes):
        return np.frombuffer(y, dtype=np.uint8).astype(np.int64)
    return np.asarray(y, dtype=np.int64)


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


def _sparse(engine: _Engine, seeds: np.random.SeedSequence, n_points: int, tasks: int,
            kwargs: dict[str, Any], n: int) -> Points:
    kept: list[Points] = []
    known = np.empty(0, dtype=np.int64)  # pair keys found so far, in the order found
    novel = 1.0  # share of new pairs among the points the last round returned
    for batches in _round_budgets(kwargs["max_batches"]):
        # A task cannot see the pairs already known and stops at its share,
        # so it is asked for its share of the missing pairs divided by the
        # share of new ones in the last round's points.
        shares = [min(n_points, math.ceil(share / novel))
                  for share in _split(n_points - len(known), tasks)]
        results = _run(engine, _round(seeds, shares, {**kwargs, "max_batches": batches}), True)
        points = np.concatenate([points for points, _ in results])
        pairs = np.concatenate([pairs for _, pairs in results if pairs is not None])
        fresh = _first_new(known, pairs[:, 0] * n + pairs[:, 1])
        kept.append(points[fresh])
        known = np.concatenate([known, pairs[fresh, 0] * n + pairs[fresh, 1]])
        if len(known) >= n_points:
            break
        novel = max(len(fresh) / max(len(points), 1), 1 / n_points)
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


def _run(engine: _Engine, round_: list[_Task], with_pairs: bool) -> list[TaskResult]:
    """Runs a round and returns its results in task order; on any failure or Ctrl-C, stops the rest."""
    names = [f"task {task.index} of {len(round_)} (n_points={task.n_points}, seed={task.seed})"
             for task in round_]
    futures: list[Any] = []
    try:
        for task, name in zip(round_, names):
            try:
                futures.append(engine.submit(task, with_pairs))
            except Exception as err:  # the pool broke before this task was sent
                raise RuntimeError(f"{name} failed: {type(err).__name__}: {err}") from err
        return [_result(future, name) for future, name in zip(futures, names)]
    except BaseException:
        engine.stop(futures)
        raise


def _result(future: Any, what: str) -> Any:
    """The future's result; its failure as a RuntimeError saying what failed."""
    while True:
        try:
            return future.result(timeout=POLL_SECONDS)
        except TimeoutError:
            continue
        except Exception as err:
            raise RuntimeError(f"{what} failed: {type(err).__name__}: {err}") from err


# --------------------------------------------------------------------------
# What a task runs, wherever it runs

def _run_task(data: Any, labels: npt.NDArray[np.int64], task: _Task, cap: int,
              with_pairs: bool) -> TaskResult:
    """One tresk call with its threads capped; its points, and their pairs if asked."""
    # The pool reads this when it starts, at the process's first parallel call.
    os.environ["RAYON_NUM_THREADS"] = str(cap)
    kwargs = {**task.kwargs, "parallel": task.kwargs["parallel"] and cap > 1}
    with threadpool_limits(cap, user_api="blas"), warnings.catch_warnings():
        # A task's shortfall is expected (its share overlaps the others');
        # the caller judges the merged result.
        warnings.simplefilter("ignore", RuntimeWarning)
        found = vantrel.tresk(data, labels, task.n_points, seed=task.seed, **kwargs)
        points = np.asarray(found, dtype=np.float64).reshape(-1, data.shape[1])
        pairs = boundary_pairs(data, labels, points)[0] if with_pairs else None
    return points, pairs


# Local worker processes map the data from one shared-memory copy when they
# start (nothing is pickled); it is held in the worker process, created for
# one call and ended with it, not in the caller.
_WORKER_INPUTS: dict[str, Any] = {}


def _start_worker(name: str, shape: tuple[int, ...], dtype: str, labels: npt.NDArray[np.int64],
                  cap: int, started: Any) -> None:
    memory = shared_memory.SharedMemory(name=name)
    data = np.ndarray(shape, dtype=dtype, buffer=memory.buf)
    data.flags.writeable = False
    _WORKER_INPUTS.update(memory=memory, data=data, labels=labels, cap=cap)
    started.release()  # tells the caller that this worker has mapped the data


def _run_local_task(task: _Task, with_pairs: bool) -> TaskResult:
    inputs = _WORKER_INPUTS
    return _run_task(inputs["data"], inputs["labels"], task, inputs["cap"], with_pairs)


@contextlib.contextmanager
def _shared_copy(data: Any) -> Iterator[tuple[str, tuple[int, ...], str]]:
    """A row-major copy of data in shared memory: its name, shape and dtype; removed afterwards."""
    array = np.asarray(data)
    memory = shared_memory.SharedMemory(create=True, size=max(1, array.nbytes))
    try:
        copy = np.ndarray(array.shape, dtype=array.dtype, buffer=memory.buf)
        copy[...] = array
        del copy  # the memory cannot be closed while a view of it exists
        yield memory.name, array.shape, array.dtype.str
    finally:
        memory.close()
        memory.unlink()


# --------------------------------------------------------------------------
# Engines

@contextlib.contextmanager
def _open_engine(client: Any, data: Any, labels: npt.NDArray[np.int64],
                 tasks: int | None) -> Iterator[_Engine]:
    if client is None:
        with _local_engine(data, labels, tasks) as engine:
            yield engine
        return
    distributed = sys.modules.get("distributed")
    if distributed is None or not isinstance(client, distributed.Client):
        raise TypeError(f"client must be a dask.distributed.Client or None, not {type(client).__name__}")
    with _dask_engine(client, data, labels) as engine:
        yield engine


def _usable_cores() -> int:
    return len(os.sched_getaffinity(0))


@contextlib.contextmanager
def _local_engine(data: Any, labels: npt.NDArray[np.int64], tasks: int | None) -> Iterator[_Engine]:
    cores = _usable_cores()
    workers = min(tasks or cores, cores)
    with _shared_copy(data) as shared, _executor(shared, labels, workers, cores) as engine:
        yield engine


@contextlib.contextmanager
def _executor(shared: tuple[str, tuple[int, ...], str], labels: npt.NDArray[np.int64], workers: int,
              cores: int) -> Iterator[_Engine]:
    context = get_context("spawn")
    started = context.Semaphore(0)
    executor = ProcessPoolExecutor(workers, mp_context=context, initializer=_start_worker,
                                   initargs=(*shared, labels, max(1, cores // workers), started))

    def stop(futures: list[Any]) -> None:
        for future in futures:
            future.cancel()
        # A running task cannot be cancelled; its process is ended instead.
        terminate = getattr(executor, "terminate_workers", None)  # Python 3.14
        if terminate is not None:
            terminate()
        else:
            for process in _processes(executor):
                process.terminate()

    try:
        _start_workers(executor, workers, started)
        yield _Engine(lambda task, pairs: executor.submit(_run_local_task, task, pairs), stop, workers)
    except BaseException:
        # A worker killed while holding the executor's queue lock leaves the
        # others blocked on it, and the executor's own clean-up joins them
        # (CPython 3.11): end them first.
        stop([])
        executor.shutdown(wait=True, cancel_futures=True)
        raise
    # All tasks are done and the workers only have to exit; the caller need
    # not wait for that (0.15 to 0.3 s on the loaded 2-core machine).
    executor.shutdown(wait=False)


def _start_workers(executor: ProcessPoolExecutor, workers: int, started: Any) -> None:
    """Starts every worker process and waits until each has mapped the data.

    A quick task per worker makes the executor spawn them all; each releases
    `started` once it has the data, so the shared memory may go as soon as
    the call ends, even when a worker took no task. Waiting for the quick
    tasks' results matters too: the executor spawns each process after
    waking its manager thread, so the one spawned last is not among those
    the manager watches until some result arrives, and its death would go
    unnoticed while a long task runs elsewhere (seen on CPython 3.11).
    """
    try:
        futures = [executor.submit(os.getpid) for _ in range(workers)]
    except BrokenProcessPool as err:
        raise RuntimeError(f"a worker process ended while starting: {err}") from err
    deadline = time.monotonic() + STARTUP_SECONDS
    for _ in range(workers):
        while not started.acquire(timeout=POLL_SECONDS):
            for future in futures:
                if future.done():  # a worker that died starting fails them all
                    _result(future, "starting a worker process")
            # ... unless the executor has not noticed (see above).
            if not all(process.is_alive() for process in _processes(executor)):
                raise RuntimeError("a worker process ended while starting")
            if time.monotonic() > deadline:
                raise RuntimeError(f"the worker processes did not start within {STARTUP_SECONDS} s")
    for future in futures:
        _result(future, "starting a worker process")


def _processes(executor: ProcessPoolExecutor) -> list[Any]:
    """The executor's worker processes (its own attribute; CPython has no public one before 3.14)."""
    return list((getattr(executor, "_processes", None) or {}).values())


@contextlib.contextmanager
def _dask_engine(client: Any, data: Any, labels: npt.NDArray[np.int64]) -> Iterator[_Engine]:
    slots, cap = _cluster_layout(client)
    # Unhashed, so the caller's own copies of the same arrays are left alone;
    # each worker fetches them once, on its first task.
    inputs = client.scatter([data, labels], hash=False)

    def submit(task: _Task, with_pairs: bool) -> Any:
        return client.submit(_run_task, inputs[0], inputs[1], task, cap, with_pairs, pure=False)

    try:
        yield _Engine(submit, lambda futures: client.cancel(futures, force=True), slots)
    finally:
        client.cancel(inputs, force=True)


def _cluster_layout(client: Any) -> tuple[int, int]:
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
    return sum(slots_on.values()), cap
