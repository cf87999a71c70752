"""Counting many election files at once, in local processes or on any
:class:`concurrent.futures.Executor` (a Dask cluster's, for instance).

The engine does not look at signals during a count, so a count cannot be
interrupted where it runs. Locally, counts therefore run in worker
processes, even for a single file, each worker counting one file at a time:
a count that overruns its time limit, or that is under way at Ctrl-C, is
stopped by ending its worker, and only that one. On an executor given by the caller, such a count is cancelled and
reported; whether its work stops is up to the executor (a Dask worker
finishes the count and drops it).
"""

from __future__ import annotations

import concurrent.futures
import math
import multiprocessing
import multiprocessing.connection
import os
import signal
import time
from collections import deque
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass
from typing import Any

from .results import FileResult, count_file, failure

#: How often (seconds) a waiting batch calls its ``waiting`` callback.
TICK = 1.0

Waiting = Callable[[list[int]], None]


def count_many(
    paths: Sequence[str],
    executor: concurrent.futures.Executor | None = None,
    *,
    jobs: int | None = None,
    timeout: float | None = None,
    **options: Any,
) -> list[FileResult]:
    """Count every file of ``paths``: one result per path (each a
    :class:`tarvek.FileResult`, as :func:`tarvek.results.count_file` gives
    it), in the order of ``paths``; a file that could not be counted, or was
    not counted in time, has a result that says why.

    ``executor``: where the counts run. By default local processes, ``jobs``
    at a time (default: one per CPU). With an executor of your own, each file
    is read here and its bytes are sent, so the workers need ``tarvek`` but
    not the files; ``jobs`` then limits the counts in flight (give the
    executor's number of workers, so that ``timeout`` runs from the start of
    each count rather than from its place in the queue).
    ``timeout``: seconds after which a count is given up and reported with
    status "timeout". ``options`` go to :func:`tarvek.results.count_file`.
    """
    # counts yields every index once; a missing one would fail loudly here.
    results = dict(counts(paths, executor, jobs=jobs, timeout=timeout, **options))
    return [results[i] for i in range(len(paths))]


def counts(
    paths: Sequence[str],
    executor: concurrent.futures.Executor | None = None,
    *,
    jobs: int | None = None,
    timeout: float | None = None,
    waiting: Waiting | None = None,
    **options: Any,
) -> Iterator[tuple[int, FileResult]]:
    """Count every file of ``paths`` as :func:`count_many` does, yielding
    ``(index, result)`` as each count finishes, so that finished work is
    never held back by the rest.

    ``waiting`` is called about once per second with the indices of the
    files being counted. Leaving the iteration early (an exception, Ctrl-C,
    closing the generator) stops the local counts, or cancels the counts in
    flight on a given executor.
    """
    # The largest files go first, so that they do not hold up the end.
    queue = deque(sorted(range(len(paths)), key=lambda i: -_size(paths[i])))
    batch = _Batch(paths, options, timeout, waiting)
    if executor is not None:
        yield from batch.on_executor(executor, jobs, queue)
    else:
        yield from batch.in_processes(min(jobs or os.cpu_count() or 1, len(paths)) or 1, queue)


@dataclass
class _Task:
    """A count in flight: which file, and when it is given up."""

    index: int
    deadline: float


@dataclass
class _Batch:
    paths: Sequence[str]
    options: dict[str, Any]
    timeout: float | None
    waiting: Waiting | None

    def start(self, index: int) -> _Task:
        return _Task(index, math.inf if self.timeout is None else time.monotonic() + self.timeout)

    def wake_in(self, tasks: Sequence[_Task]) -> float | None:
        """Seconds until the next deadline or call of ``waiting`` (None: no need to wake)."""
        wake = min((t.deadline for t in tasks), default=math.inf) - time.monotonic()
        if self.waiting is not None:
            wake = min(wake, TICK)
        return None if wake == math.inf else max(wake, 0.0)

    def expired(self, task: _Task) -> bool:
        return task.deadline <= time.monotonic()

    def timed_out(self, task: _Task) -> FileResult:
        return failure(
            self.paths[task.index],
            "timeout",
            f"not counted within {self.timeout:g} s and stopped; "
            "the fixed-budget rule alone (--rule fixed) is much faster",
        )

    def tell(self, tasks: Sequence[_Task]) -> None:
        if self.waiting is not None:
            self.waiting([t.index for t in tasks])

    def in_processes(self, workers: int, queue: deque[int]) -> Iterator[tuple[int, FileResult]]:
        """The counts in up to ``workers`` local processes, each counting one
        file at a time; a worker whose count overran is ended and replaced."""
        idle: list[_Worker] = []
        busy: dict[multiprocessing.connection.Connection, tuple[_Worker, _Task]] = {}
        try:
            while queue or busy:
                while queue and len(busy) < workers:
                    i = queue.popleft()
                    worker = _Worker.given(idle, self.paths[i], self.options)
                    busy[worker.conn] = (worker, self.start(i))
                ready = multiprocessing.connection.wait(list(busy), self.wake_in([t for _, t in busy.values()]))
                for conn in ready:
                    assert isinstance(conn, multiprocessing.connection.Connection)
                    worker, task = busy.pop(conn)
                    result = worker.result()
                    if result is None:
                        worker.kill()
                        result = failure(self.paths[task.index], "error", "the worker process died (out of memory?)")
                    else:
                        idle.append(worker)
                    yield task.index, result
                for conn, (worker, task) in list(busy.items()):
                    if self.expired(task):
                        del busy[conn]
                        worker.kill()
                        yield task.index, self.timed_out(task)
                self.tell([t for _, t in busy.values()])
        finally:
            for worker, _ in busy.values():
                worker.kill()
            for worker in idle:
                worker.close()

    def on_executor(
        self, executor: concurrent.futures.Executor, jobs: int | None, queue: deque[int]
    ) -> Iterator[tuple[int, FileResult]]:
        """The counts on ``executor``, with no more than ``jobs`` in flight
        (None: no limit); each file's bytes are sent with it. A count past
        its deadline is cancelled and the others go on."""
        running: dict[concurrent.futures.Future[FileResult], _Task] = {}
        try:
            while queue or running:
                while queue and (jobs is None or len(running) < jobs):
                    i = queue.popleft()
                    running[_submit(executor, self.paths[i], self.options)] = self.start(i)
                wake = self.wake_in(list(running.values()))
                done, _ = concurrent.futures.wait(running, wake, concurrent.futures.FIRST_COMPLETED)
                for future in done:
                    task = running.pop(future)
                    yield task.index, _collect(future, self.paths[task.index])
                for future, task in list(running.items()):
                    if self.expired(task):
                        del running[future]
                        future.cancel()
                        yield task.index, self.timed_out(task)
                self.tell(list(running.values()))
        finally:
            for future in running:
                future.cancel()


class _Worker:
    """A local process that counts the files it is sent, one at a time, and
    sends back each result. Its pipe tells when it ended: a worker that ends
    mid-count died."""

    def __init__(self, options: dict[str, Any]) -> None:
        context = multiprocessing.get_context()
        self.conn, theirs = context.Pipe()
        self.process = context.Process(target=_serve, args=(theirs, options))
        self.process.start()
        theirs.close()  # the worker holds its end alone now

    @classmethod
    def given(cls, idle: list[_Worker], path: str, options: dict[str, Any]) -> _Worker:
        """An idle worker, or a new one, counting ``path``."""
        while idle:
            worker = idle.pop()
            try:
                worker.conn.send(path)
                return worker
            except OSError:  # it ended while idle
                worker.kill()
        worker = cls(options)
        worker.conn.send(path)
        return worker

    def result(self) -> FileResult | None:
        """The result of the count it was given; None when it died."""
        try:
            result: FileResult = self.conn.recv()
        except (EOFError, OSError):
            return None
        return result

    def close(self) -> None:
        """End an idle worker. It is told to stop rather than left to see its
        input end, because workers started later hold copies of this end."""
        try:
            self.conn.send(None)
        except OSError:
            pass
        self.conn.close()
        self.process.join()

    def kill(self) -> None:
        """End the worker outright, in the middle of a count."""
        self.process.kill()
        self.process.join()
        self.conn.close()


def _serve(conn: multiprocessing.connection.Connection, options: dict[str, Any]) -> None:
    """A worker: count each path received until told to stop (None). Ctrl-C is
    left to the batch, which ends the workers itself; a plain termination
    ends a worker at once."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.signal(signal.SIGTERM, signal.SIG_DFL)
    while True:
        try:
            path = conn.recv()
        except EOFError:
            return
        if path is None:
            return
        try:
            result = count_file(path, **options)
        except Exception as e:
            result = failure(path, "error", f"the count failed unexpectedly ({type(e).__name__}: {e})")
        conn.send(result)


def _submit(
    executor: concurrent.futures.Executor, path: str, options: dict[str, Any]
) -> concurrent.futures.Future[FileResult]:
    if "data" not in options:
        try:
            with open(path, "rb") as f:
                data = f.read()
        except OSError:
            # Not readable here: the count says why, without the executor.
            done: concurrent.futures.Future[FileResult] = concurrent.futures.Future()
            done.set_result(count_file(path, **options))
            return done
        return executor.submit(count_file, path, data=data, **options)
    return executor.submit(count_file, path, **options)


def _collect(future: concurrent.futures.Future[FileResult], path: str) -> FileResult:
    try:
        return future.result()
    except concurrent.futures.CancelledError:
        return failure(path, "error", "the count was cancelled")
    except Exception as e:
        return failure(path, "error", f"the count failed unexpectedly ({type(e).__name__}: {e})")


def _size(path: str) -> int:
    try:
        return os.path.getsize(path)
    except OSError:
        return 0
