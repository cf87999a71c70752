"""tarvek.count_many: one result per path, in the order given, whatever
happens to each count in its own process."""

from __future__ import annotations

import multiprocessing
import os
import time

import tarvek
from tarvek import batch

from datadir import missing
from pbfiles import fixture


def test_each_path_gets_its_result_in_order(monkeypatch, tmp_path):
    if multiprocessing.get_start_method() != "fork":
        missing("the fork start method", "the counts must inherit the stand-in")
    real_count_file = batch.count_file

    def stand_in(path, **options):
        # Forked counts run this: one process dies, one never ends.
        if path.endswith("dies.pb"):
            os._exit(3)
        if path.endswith("hangs.pb"):
            time.sleep(600)
        return real_count_file(path, **options)

    monkeypatch.setattr(batch, "count_file", stand_in)
    paths = [str(tmp_path / "dies.pb"), fixture("approval.pb"), str(tmp_path / "hangs.pb"), str(tmp_path / "none.pb")]
    results = tarvek.count_many(paths, jobs=2, timeout=2, rule="fixed")
    assert [r["file"] for r in results] == paths
    assert [r["status"] for r in results] == ["error", "ok", "timeout", "input error"]
    assert "the worker process died" in results[0]["error"]["message"]
