"""Counting on an existing Dask cluster (``--scheduler ADDRESS``).

Dask is an optional extra (``pip install 'tarvekbindings[dask]'``): it is
imported only here, and only when asked for.
"""

from __future__ import annotations

import argparse
import concurrent.futures
import contextlib
from collections.abc import Iterator

#: Seconds to wait for the scheduler to answer.
CONNECT_TIMEOUT = 30


@contextlib.contextmanager
def connect(parser: argparse.ArgumentParser, address: str) -> Iterator[tuple[concurrent.futures.Executor, int]]:
    """An executor on the cluster at ``address`` and the cluster's number of
    worker threads; the connection is closed afterwards."""
    try:
        from distributed import Client
    except ImportError:
        parser.error("--scheduler needs Dask: pip install 'tarvekbindings[dask]'")
    try:
        client = Client(address, timeout=CONNECT_TIMEOUT, set_as_default=False)
    except (OSError, TimeoutError, ValueError) as e:
        parser.error(f"cannot reach the Dask scheduler at {address}: {e}")
    try:
        executor = client.get_executor()
        threads = sum(client.nthreads().values()) or 1
        try:
            yield executor, threads
        finally:
            # Counts still in flight (after Ctrl-C) are cancelled.
            executor.shutdown(wait=False)
    finally:
        client.close()
