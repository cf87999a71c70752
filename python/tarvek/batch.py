"""Counting many election files at once, in local processes or on any
:class:`concurrent.futures.Executor` (a Dask cluster's, for instance).

The engine does not look at signals during a count, so a count cannot be
interrupted where it runs. Locally, each count therefore runs in a process
of its own, even for a single file: a count that overruns its time limit, or
that is under way at Ctrl-C, is stopped by ending its process, and only that
one. On an executor given by the caller, such a count is cancelled and
reported; whether its work stops is up to the executor (a Dask worker
finishes the count and drops it).
"""

from __future__ import annotations

import concurrent.futures
import math
import multiprocessing
import multiprocessing.connection
import multiprocessing.process
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
        """Each count in a process of its own, ``workers`` at a time; the
        result comes back through a pipe, and a process that ends without
        sending one died."""
        context = multiprocessing.get_context()
        running: dict[multiprocessing.connection.Connection, tuple[_Task, multiprocessing.process.BaseProcess]] = {}
        try:
            while queue or running:
                while queue and len(running) < workers:
                    i = queue.popleft()
                    receive, send = context.Pipe(duplex=False)
                    child = context.Process(target=_count_in_child, args=(send, self.paths[i], self.options))
                    child.start()
                    send.close()  # the child holds the sending end now: its end means no result
                    running[receive] = (self.start(i), child)
                ready = multiprocessing.connection.wait(list(running), self.wake_in([t for t, _ in running.values()]))
                for conn in ready:
                    assert isinstance(conn, multiprocessing.connection.Connection)
                    task, process = running.pop(conn)
                    yield task.index, self._receive(conn, process, task)
                for conn, (task, process) in list(running.items()):
                    if self.expired(task):
                        del running[conn]
                        _end(conn, process)
                        yield task.index, self.timed_out(task)
                self.tell([t for t, _ in running.values()])
        finally:
            for conn, (_, process) in running.items():
                _end(conn, process)

    def _receive(
        self, conn: multiprocessing.connection.Connection, process: multiprocessing.process.BaseProcess, task: _Task
    ) -> FileResult:
        try:
            result: FileResult = conn.recv()
        except EOFError:
            result = failure(self.paths[task.index], "error", "the worker process died (out of memory?)")
        conn.close()
        process.join()
        return result

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


def _count_in_child(send: multiprocessing.connection.Connection, path: str, options: dict[str, Any]) -> None:
    """A local count's process: Ctrl-C is left to the batch, which ends the
    process itself; a plain termination ends it at once."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.signal(signal.SIGTERM, signal.SIG_DFL)
    try:
        result = count_file(path, **options)
    except Exception as e:
        result = failure(path, "error", f"the count failed unexpectedly ({type(e).__name__}: {e})")
    send.send(result)
    send.close()


def _end(conn: multiprocessing.connection.Connection, process: multiprocessing.process.BaseProcess) -> None:
    """Stop a local count outright."""
    process.kill()
    process.join()
    conn.close()


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
