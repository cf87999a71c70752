"""Counting many election files at once, in local worker processes or on any
:class:`concurrent.futures.Executor` (a Dask cluster's, for instance).

The engine does not look at signals during a count, so a count cannot be
interrupted where it runs. Locally, counts therefore run in worker processes
even for a single file: Ctrl-C and time limits are handled in the calling
process, which stops the workers outright. On an executor given by the
caller, a count that overruns its time limit, or that is under way when the
batch is interrupted, is cancelled and reported; whether its work stops is
up to the executor (a Dask worker finishes the count and drops it).
"""

from __future__ import annotations

import concurrent.futures
import concurrent.futures.process
import multiprocessing
import os
import signal
import time
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass, field
from typing import Any

from .count import FileResult, count_file

#: What a count of one file gives (kept as a name for existing callers).
Result = FileResult

#: How often (seconds) a waiting batch looks at its time limits and calls its
#: ``waiting`` callback.
TICK = 1.0


def count_many(
    paths: Sequence[str],
    executor: concurrent.futures.Executor | None = None,
    *,
    jobs: int | None = None,
    timeout: float | None = None,
    **options: Any,
) -> list[Result]:
    """Count every file of ``paths``; the results (each a
    :class:`tarvek.FileResult`, as :func:`tarvek.count.count_file` gives it)
    in the order of ``paths``.

    ``executor``: where the counts run. By default a local pool of ``jobs``
    worker processes (default: one per CPU). With an executor of your own,
    each file is read here and its bytes are sent, so the workers need
    ``tarvek`` but not the files; ``jobs`` then limits the counts in flight
    (give the executor's number of workers, so that ``timeout`` runs from the
    start of each count rather than from its place in the queue).
    ``timeout``: seconds after which a count is given up and reported with
    status "timeout". ``options`` go to :func:`tarvek.count.count_file`.
    """
    results: list[Result | None] = [None] * len(paths)
    for i, result in counts(paths, executor, jobs=jobs, timeout=timeout, **options):
        results[i] = result
    return [r for r in results if r is not None]


def counts(
    paths: Sequence[str],
    executor: concurrent.futures.Executor | None = None,
    *,
    jobs: int | None = None,
    timeout: float | None = None,
    waiting: Callable[[list[int]], None] | None = None,
    **options: Any,
) -> Iterator[tuple[int, Result]]:
    """Count every file of ``paths`` as :func:`count_many` does, yielding
    ``(index, result)`` as each count finishes, so that finished work is
    never held back by the rest.

    ``waiting`` is called about once per second with the indices of the
    files being counted. Leaving the iteration early (an exception, Ctrl-C,
    closing the generator) stops the local workers, or cancels the counts in
    flight on a given executor.
    """
    # The largest files go first, so that they do not hold up the end.
    queue = sorted(range(len(paths)), key=lambda i: -_size(paths[i]))
    if executor is not None:
        yield from _count_on(executor, jobs, queue, paths, options, timeout, waiting, ship=True)
        return
    workers = min(jobs or os.cpu_count() or 1, len(paths)) or 1
    while queue:
        pool = LocalPool(workers)
        early = _EarlyEnd()
        try:
            yield from _count_on(pool.executor, workers, queue, paths, options, timeout, waiting, early=early)
        except BaseException:
            pool.stop()
            raise
        # A count that timed out is stopped with its pool; the files still
        # to count go to a fresh pool.
        if early.timed_out:
            pool.stop()
        else:
            pool.close()
        queue = early.rest


@dataclass
class _EarlyEnd:
    """How a batch on a local pool ended early: a count timed out, and these
    files are still to count."""

    timed_out: bool = False
    rest: list[int] = field(default_factory=list)


def _count_on(
    executor: concurrent.futures.Executor,
    workers: int | None,
    queue: list[int],
    paths: Sequence[str],
    options: dict[str, Any],
    timeout: float | None,
    waiting: Callable[[list[int]], None] | None,
    early: _EarlyEnd | None = None,
    ship: bool = False,
) -> Iterator[tuple[int, Result]]:
    """Count the files of ``queue`` on ``executor``, with no more files in
    flight than ``workers`` (None: no limit); a file's time runs from its
    submission. ``ship``: send each file's bytes rather than its path.

    When ``early`` is given, a timeout ends the batch early and ``early``
    says so, with the files still to count (the caller then stops the
    executor's workers); otherwise the overrunning count is cancelled and the others go
    on. Leaving early cancels the counts in flight.
    """
    queue = list(queue)
    running: dict[concurrent.futures.Future[Result], tuple[int, float]] = {}
    try:
        while queue or running:
            while queue and (workers is None or len(running) < workers):
                i = queue.pop(0)
                running[_submit(executor, paths[i], options, ship)] = (i, time.monotonic())
            done, _ = concurrent.futures.wait(running, timeout=TICK, return_when=concurrent.futures.FIRST_COMPLETED)
            for future in done:
                i, _started = running.pop(future)
                yield i, _collect(future, paths[i])
            now = time.monotonic()
            if timeout is not None:
                expired = [f for f, (_, started) in running.items() if now - started > timeout]
                for future in expired:
                    i, _started = running.pop(future)
                    future.cancel()
                    yield i, failure(
                        paths[i],
                        "timeout",
                        f"not counted within {timeout:g} s and stopped; "
                        "the fixed-budget rule alone (--rule fixed) is much faster",
                    )
                if expired and early is not None:
                    early.timed_out = True
                    early.rest = [i for i, _ in running.values()] + queue
                    running.clear()
                    return
            if waiting is not None:
                waiting([i for i, _ in running.values()])
    finally:
        for future in running:
            future.cancel()


def _submit(
    executor: concurrent.futures.Executor, path: str, options: dict[str, Any], ship: bool
) -> concurrent.futures.Future[Result]:
    if ship and "data" not in options:
        try:
            with open(path, "rb") as f:
                data = f.read()
        except OSError:
            # Not readable here: the count says why, without the executor.
            done: concurrent.futures.Future[Result] = concurrent.futures.Future()
            done.set_result(count_file(path, **options))
            return done
        return executor.submit(count_file, path, data=data, **options)
    return executor.submit(count_file, path, **options)


def _collect(future: concurrent.futures.Future[Result], path: str) -> Result:
    try:
        return future.result()
    except concurrent.futures.process.BrokenProcessPool:
        return failure(path, "error", "the worker process died (out of memory?)")
    except concurrent.futures.CancelledError:
        return failure(path, "error", "the count was cancelled")
    except Exception as e:
        return failure(path, "error", f"the count failed unexpectedly ({type(e).__name__}: {e})")


def failure(path: str, status: str, reason: str) -> Result:
    """The result of a file that was not counted."""
    return {"file": path, "status": status, "error": {"message": f"{path}: {reason}"}}


class LocalPool:
    """A pool of local worker processes that can be stopped outright.

    Each worker sends its process id when it starts, so that :meth:`stop`
    can end the workers of this pool, and only those, in the middle of a
    count.
    """

    def __init__(self, workers: int) -> None:
        context = multiprocessing.get_context()
        self._started: Any = context.SimpleQueue()
        self._workers = workers
        self.executor = concurrent.futures.ProcessPoolExecutor(
            max_workers=workers, mp_context=context, initializer=_worker_start, initargs=(self._started,)
        )

    def close(self) -> None:
        """Shut down once the work given is done."""
        self.executor.shutdown()
        self._started.close()

    def stop(self) -> None:
        """Shut down without waiting for counts in progress."""
        self.executor.shutdown(wait=False, cancel_futures=True)
        pids = self._worker_pids()
        workers = [p for p in multiprocessing.active_children() if p.pid in pids]
        for process in workers:
            process.terminate()
        for process in workers:
            process.join(5)
        self._started.close()

    def _worker_pids(self) -> set[int]:
        # A worker forked just before the stop may not have reported yet:
        # give the pool's workers a moment to do so.
        pids: set[int] = set()
        deadline = time.monotonic() + 1.0
        while True:
            while not self._started.empty():
                pids.add(self._started.get())
            alive = {p.pid for p in multiprocessing.active_children()}
            if len(pids) >= self._workers or not alive - pids or time.monotonic() > deadline:
                return pids
            time.sleep(0.01)


def _worker_start(started: Any) -> None:
    """Signals in a worker: Ctrl-C is left to the main process, which stops
    the workers itself, and a plain termination ends a worker at once."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.signal(signal.SIGTERM, signal.SIG_DFL)
    started.put(os.getpid())


def _size(path: str) -> int:
    try:
        return os.path.getsize(path)
    except OSError:
        return 0
