"""Running orvex_chess work on a Dask cluster: the client of a command, and perft split into subtrees.

    with cluster_client(workers=4) as client:          # a LocalCluster of 4 processes
        counts = perft_on_cluster(client, orvex_chess.Board(), 6)

    with cluster_client(scheduler="tcp://10.0.0.5:8786") as client:   # a running cluster
        ...

Dask (``pip install "orvex_chess[dist]"``) is imported only when one of these
is called; every worker needs orvex_chess installed (the same version).
"""

from __future__ import annotations

import importlib
import logging
import os
import signal
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from typing import TYPE_CHECKING, Any

import orvex_chess

if TYPE_CHECKING:
    from distributed import Client

__all__ = ["DIST_EXTRA_HINT", "available_cores", "cluster_client", "first_lines", "import_distributed",
           "perft_on_cluster", "process_generator"]

DIST_EXTRA_HINT = "install the distributed extra: pip install 'orvex_chess[dist]'"

#: The plies of the first part of the tree, whose lines are shared out among the tasks.
PERFT_SPLIT_DEPTH = 2
#: Tasks per worker thread: enough that subtrees of unequal size even out.
PERFT_TASKS_PER_THREAD = 8


def available_cores() -> int:
    """The processors this process may run on."""
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # not Linux
        return os.cpu_count() or 1


def import_distributed() -> Any:
    """The dask.distributed module (typed loosely: parts of it have no annotations)."""
    try:
        return importlib.import_module("distributed")
    except ImportError:
        raise ModuleNotFoundError(f"running on Dask needs dask.distributed: {DIST_EXTRA_HINT}") from None


@contextmanager
def cluster_client(scheduler: str | None = None, workers: int | None = None, *,
                   verbose: bool = False) -> Iterator[Client]:
    """Yields a distributed.Client: of the scheduler at that address, or else of a
    LocalCluster of workers processes (None: one per available core, one thread
    each) that is closed on exit.

    The LocalCluster has no dashboard (its scheduler's HTTP endpoint listens on
    a free loopback port, so that it never clashes with another cluster), and
    its worker processes block SIGINT: Ctrl-C at a terminal interrupts only
    this process, which then closes the cluster. A Ctrl-C while the cluster
    starts or closes takes effect once it has started or closed, so that it
    is never left half made. Dask's log messages are shown only with verbose.

    Raises ValueError for an address that is not one (or a workers count below
    1), OSError when the scheduler cannot be reached.
    """
    if scheduler is not None and workers is not None:
        raise ValueError("give either a scheduler address or a number of workers, not both")
    if workers is not None and workers < 1:
        raise ValueError(f"workers must be at least 1, not {workers}")
    log_level = logging.INFO if verbose else logging.CRITICAL
    if scheduler is not None:
        distributed = import_distributed()
        with _dask_logs_at(log_level):
            client = _connect(distributed, scheduler)
            try:
                yield client
            finally:
                client.close()
        return
    cluster = None
    try:
        with _sigint_blocked():
            # The threads that Dask starts from here on (at its import too)
            # inherit the blocked signal, and so do the worker processes they start.
            distributed = import_distributed()
            with _dask_logs_at(log_level):
                cluster = distributed.LocalCluster(
                    n_workers=workers or available_cores(), threads_per_worker=1, processes=True,
                    dashboard_address=None, silence_logs=log_level,
                    scheduler_kwargs={"dashboard": False, "dashboard_address": "127.0.0.1:0"})
        # A Ctrl-C that came while the cluster started is raised by now.
        with _dask_logs_at(log_level), distributed.Client(cluster) as client:
            yield client
    finally:
        if cluster is not None:
            # A Ctrl-C while the cluster closes takes effect once it is closed.
            with _sigint_blocked(), _dask_logs_at(log_level):
                cluster.close()


def _connect(distributed: Any, scheduler: str) -> Any:
    """A client of the scheduler at that address (a distributed.Client, typed
    loosely: parts of it have no annotations), with errors that name it."""
    if not scheduler.strip():
        raise ValueError("the scheduler address is empty: give one such as tcp://HOST:8786")
    try:
        client = distributed.Client(scheduler, timeout="20s")
    except (ValueError, TypeError) as exc:
        raise ValueError(f"cannot use the scheduler address {scheduler!r}: {exc}") from None
    except OSError as exc:
        raise OSError(f"cannot reach the scheduler at {scheduler!r}: {exc}") from None
    return client


@contextmanager
def _dask_logs_at(level: int) -> Iterator[None]:
    """Shows only the messages of that level and above on the stream handlers
    of Dask's logger (the ones its configuration sets up) for the duration."""
    handlers = [h for h in logging.getLogger("distributed").handlers
                if isinstance(h, logging.StreamHandler)]
    old = [h.level for h in handlers]
    for handler in handlers:
        handler.setLevel(level)
    try:
        yield
    finally:
        for handler, was in zip(handlers, old):
            handler.setLevel(was)


@contextmanager
def _sigint_blocked() -> Iterator[None]:
    """Blocks SIGINT in the calling thread (and the threads it starts) for the
    duration; a SIGINT that came meanwhile is delivered when it ends."""
    if not hasattr(signal, "pthread_sigmask"):  # not POSIX
        yield
        return
    # multiprocessing unblocks the signal in the thread that first starts its
    # resource tracker: start it now.
    from multiprocessing import resource_tracker

    resource_tracker.ensure_running()
    old = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, old)


def _perft_lines(board: orvex_chess.Board, lines: list[tuple[str, ...]], depth: int,
                 threads: int) -> list[int]:
    """The perft count below each line of moves played from board (run by a worker)."""
    generator = process_generator()
    counts = []
    for line in lines:
        walk = board.copy()
        for move in line:
            walk.push(move)
        counts.append(generator.perft(walk, depth, threads=threads))
    return counts


_GENERATOR: orvex_chess.MoveGenerator | None = None


def process_generator() -> orvex_chess.MoveGenerator:
    """The process's move generator, built on first use (tasks on a worker share it)."""
    global _GENERATOR
    if _GENERATOR is None:
        _GENERATOR = orvex_chess.MoveGenerator()
    return _GENERATOR


def first_lines(board: orvex_chess.Board, plies: int) -> list[tuple[str, ...]]:
    """Every sequence of plies legal moves from board, in the library's move order."""
    generator = process_generator()
    lines: list[tuple[str, ...]] = [()]
    for _ in range(plies):
        longer: list[tuple[str, ...]] = []
        for line in lines:
            for move in line:
                board.push(move)
            longer.extend(line + (move,) for move in generator(board))
            for _ in line:
                board.pop()
        lines = longer
    return lines


def perft_on_cluster(
    client: Client,
    board: orvex_chess.Board,
    depth: int,
    *,
    threads: int = 1,
    progress: Callable[[int, int], None] | None = None,
) -> list[tuple[str, int]]:
    """Counts perft(board, depth) on the cluster and returns (root move, count)
    for each root move in the library's move order; their sum is the total.

    The tree is cut after its first two plies (fewer when depth is smaller),
    and the lines of those plies are shared out among about eight tasks per
    worker thread, each running generator.perft below its lines with threads
    threads. progress(done, total) is called with the tasks
    done and the number of tasks, once they are all submitted and after each
    one finishes. The board is left as it was. Raises ValueError for depth
    below 1.
    """
    if depth < 1:
        raise ValueError(f"depth must be at least 1, not {depth}")
    root = board.copy()
    roots = process_generator()(root)
    split = min(PERFT_SPLIT_DEPTH, depth)
    counts = dict.fromkeys(roots, 0)
    lines: list[tuple[str, ...]]
    if split == 1:
        lines = [(move,) for move in roots]
    else:
        lines = []
        for move in roots:
            root.push(move)
            lines.extend((move,) + rest for rest in first_lines(root, split - 1))
            root.pop()
    as_completed = import_distributed().as_completed
    cluster_threads = sum(w["nthreads"] for w in client.scheduler_info()["workers"].values())
    tasks = max(1, min(len(lines), PERFT_TASKS_PER_THREAD * max(1, cluster_threads)))
    # Every tasks-th line goes to the same task, so that the big subtrees of
    # one root move are spread over the tasks.
    shares = [lines[first::tasks] for first in range(tasks)]
    futures = {client.submit(_perft_lines, root, share, depth - split, threads, pure=False): share
               for share in shares}
    if progress is not None:
        progress(0, len(futures))
    for done, future in enumerate(as_completed(futures), 1):
        for line, count in zip(futures[future], future.result()):
            counts[line[0]] += count
        future.release()
        if progress is not None:
            progress(done, len(futures))
    return list(counts.items())
