"""Counting on a Dask cluster gives what the local worker processes give."""

from __future__ import annotations

import json
import os
import sys

import pytest

import tarvek

from datadir import missing, real_folder

# Dask is an extra of the CPython installation only.
pytestmark = pytest.mark.cpython_only
try:
    import distributed
except ImportError:
    if sys.implementation.name == "cpython":
        missing("Dask's distributed", "pip install '.[dask]'", module=True)

#: Files small enough for the completion to be quick everywhere.
SMALL = 100_000


def _same(result: dict) -> dict:
    return {k: v for k, v in result.items() if k not in ("seconds", "file")}


@pytest.mark.cpython_only
def test_a_local_cluster_counts_the_real_folder_as_the_local_run(run, tmp_path):
    files = sorted(str(p) for p in real_folder().rglob("*.pb"))
    small = [f for f in files if os.path.getsize(f) < SMALL]
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1", dashboard_address=None
    ) as cluster:
        status, out, err = run("--json", "--rule", "fixed", "--scheduler", cluster.scheduler_address, *files)
        assert status == 0, err
        on_cluster = json.loads(out)
        assert f"{len(files)}/{len(files)} files counted, 0 failed" in err
        with distributed.Client(cluster) as client:
            completed = tarvek.count_many(small, client.get_executor(), jobs=2)
    assert [r["file"] for r in on_cluster] == files
    local = tarvek.count_many(files, rule="fixed", jobs=2)
    assert [_same(r) for r in on_cluster] == [_same(r) for r in local]
    assert [_same(r) for r in completed] == [_same(r) for r in tarvek.count_many(small, jobs=2)]
    assert all(r["status"] == "ok" for r in on_cluster)
