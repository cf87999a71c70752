"""The tarvek command: counting, output formats, several files, and failures."""

from __future__ import annotations

import csv
import io
import json
import os
import resource
import subprocess
import sys
from pathlib import Path

import pytest

import tarvek
from tarvek.results import count_file

from pbfiles import FIXTURES, fixture, real

ASSEN_2024 = "Netherlands_Assen_2024.pb"


def test_example_counts_out_of_the_box(run):
    status, out, err = run("--example")
    assert status == 0, err
    assert out.startswith("Brelmoor neighbourhood budget 2026 (invented example)\nFile:       example.pb\n")
    assert "Election:   30 voters, 8 projects, approval votes" in out
    for line in (
        "   1  1        Playground at Mill Square        18,000         18,000     14          14  18,000         0",
        "   2  7        Skate park by the river          35,000         53,000     14       12.01  35,000        10",
        "   6  6        Community garden in North End     6,500         85,800      6           6   6,500         0",
        "Budget:       100,000",
        "Spent:        85,800 on 6 projects",
        "Share spent:  85.80 %",
        "Recorded outcome (column 'selected', rule 'greedy': 5 projects, 94,300): the computed outcome differs "
        "(the file says another rule decided it).",
        "    5 New railings for the Old Bridge (27,000)",
    ):
        assert line in out.splitlines(), line


def test_fixed_budget_rule_alone(run):
    status, out, _ = run("--example", "--rule", "fixed", "--json")
    assert status == 0
    result = json.loads(out)
    assert result["rule"] == "fixed"
    # Without the completion the skate park (7) stays out of reach.
    assert [r["project_id"] for r in result["selected"]] == ["1", "5", "8", "3", "4", "6"]
    assert result["spent"] == 77800


def test_voter_payments_match_in_table_and_json(run):
    args = ("--example", "--voter", "v30", "--voter", "nobody", "--voter", "v01")
    status, out, _ = run(*args, "--json")
    assert status == 0
    result = json.loads(out)
    v30, nobody, v01 = result["voter_payments"]
    assert [p["project_id"] for p in v01["paid"]] == ["1", "7"]  # 5 was not selected
    # What a voter paid and kept is the money it started the explained run with.
    for v in (v01, v30):
        assert sum(p["amount"] for p in v["paid"]) + v["left"] == pytest.approx(result["start_money"])
    assert nobody == {"voter_id": "nobody", "paid": [], "left": None}
    status, out, _ = run(*args)
    lines = out.splitlines()
    assert "  'v30': paid 533.33 for '8'; left 3,086.67." in lines
    assert "  'nobody': not a voter in this file." in lines
    assert "  'v01': paid 1,285.71 for '1', 2,334.29 for '7'; left 0." in lines


def test_real_file_add1_agrees_with_official_outcome(run):
    # Assen 2024 was decided by equal shares with Add1; its `selected` column
    # records the official outcome.
    status, out, _ = run("--json", real(ASSEN_2024))
    assert status == 0
    result = json.loads(out)
    assert [r["project_id"] for r in result["selected"]] == ["3", "9", "2", "11", "13", "14", "5", "6", "12"]
    assert [r["running_total"] for r in result["selected"]][-1] == result["spent"] == 76700
    assert result["share_spent"] == pytest.approx(0.767)
    assert result["recorded"]["agrees"] is True
    assert result["recorded"]["computed_only"] == result["recorded"]["recorded_only"] == []
    row = result["selected"][0]
    # Its 43 supporters paid its cost, each 1/43 of it.
    assert (row.pop("paid"), row.pop("price")) == (pytest.approx(7200.0), pytest.approx(7200.0 / 43))
    assert row == {
        "rank": 1,
        "project_id": "3",
        "name": "PopUp Podium",
        "cost": 7200.0,
        "running_total": 7200.0,
        "supporters": 43,
        "points": 43,
        "effective_votes": 43.0,
        "paid_all": 0,
        "tied_with": [],
    }


def test_official_equal_shares_outcomes_are_reproduced(run):
    # The elections in the set that were decided by equal shares with Add1.
    files = [real(ASSEN_2024), real("Netherlands_Assen_2025.pb"), real("Poland_Swiecie_2023.pb")]
    status, out, _ = run("--json", "-q", *files)
    assert status == 0
    for result in json.loads(out):
        assert result["recorded_rule"] == "equalshares/add1"
        assert result["recorded"]["agrees"] is True, result["file"]
        assert result["spent"] == result["recorded"]["cost"]


def test_real_file_table_reports_differences(run):
    # With the fixed-budget rule alone, the outcome falls short of the official one.
    status, out, _ = run("--rule", "fixed", real(ASSEN_2024))
    assert status == 0
    assert (
        "Recorded outcome (column 'selected', rule 'equalshares/add1': 9 projects, 76,700): the computed outcome "
        "differs (the file says another rule decided it)." in out
    )
    assert "  Recorded, not selected here:" in out


def test_csv_output_lists_selected_projects(run):
    status, out, _ = run("--csv", "--ordinal", "borda", fixture("ordinal.pb"))
    assert status == 0
    rows = list(csv.DictReader(io.StringIO(out)))
    assert [(r["rank"], r["project_id"], r["running_total"], r["points"]) for r in rows] == [
        ("1", "a", "40.0", "2"),
        ("2", "c", "70.0", "1"),
        ("", "b", "", "1"),  # left out
    ]


@pytest.mark.parametrize(
    ("name", "line"),
    [("bad_cost.pb", 7), ("unknown_project.pb", 11), ("latin1.pb", 6), ("missing_votes.pb", 6), ("empty.pb", None)],
)
@pytest.mark.parametrize("fmt", ["table", "json"])
def test_bad_input_exits_2_with_a_message(run, name, line, fmt):
    status, out, err = run("--format", fmt, fixture(name))
    assert status == 2
    where = fixture(name) + (f":{line}: " if line else ": ")
    if fmt == "json":
        result = json.loads(out)
        assert result["status"] == "input error"
        assert result["error"]["message"].startswith(where)
        assert result["error"]["line"] == line
    else:
        assert out == ""
        assert err.startswith("tarvek: " + where)
    assert "Traceback" not in err


def test_unbreakable_tie_is_reported_with_the_tied_projects(run):
    status, out, err = run(fixture("tie.pb"))
    assert status == 1
    assert "tie it cannot break between the projects 'left side' (West park) and 'right' (East park)" in err
    assert "Traceback" not in err
    status, out, _ = run("--json", fixture("tie.pb"))
    assert status == 1
    assert json.loads(out)["error"]["tied_projects"] == ["left side", "right"]
    status, out, _ = run("--csv", fixture("tie.pb"))
    [row] = csv.DictReader(io.StringIO(out))
    assert (row["status"], row["budget"], row["rank"]) == ("tie", "120.0", "")


def test_unknown_rule_is_refused():
    with pytest.raises(ValueError, match="rule must be one of"):
        count_file(fixture("approval.pb"), rule="greedy")


def test_several_files_one_row_each_in_order(run, tmp_path):
    files = [fixture("approval.pb"), fixture("bad_cost.pb"), str(tmp_path / "absent.pb"), fixture("tie.pb"),
             fixture("cumulative.pb")]
    status, out, err = run("--json", "-j", "2", *files)
    assert status == 2
    results = json.loads(out)
    assert [r["file"] for r in results] == files
    assert [r["status"] for r in results] == ["ok", "input error", "input error", "tie", "ok"]
    assert "absent.pb: no such file" in results[2]["error"]["message"]
    assert "tarvek: 4/4 files counted, 2 failed" in err

    status, out, err = run("--csv", "-q", "-o", str(tmp_path / "each"), *files)
    assert err.count("cost 'ten'") == 1
    rows = list(csv.DictReader(io.StringIO(out)))
    assert [r["status"] for r in rows] == ["ok", "input error", "input error", "tie", "ok"]
    assert "cost 'ten'" in rows[1]["error"]
    assert rows[0]["agrees_with_recorded"] == "False"


def test_folder_with_output_dir(run, tmp_path):
    outdir = tmp_path / "results"
    status, out, err = run("-q", "--output-dir", str(outdir), str(FIXTURES))
    assert status == 2
    pb_files = sorted(p.stem for p in FIXTURES.glob("*.pb"))
    assert sorted(p.stem for p in outdir.iterdir()) == pb_files
    assert "Share spent:" in (outdir / "choose1.txt").read_text()
    assert "not a number" in (outdir / "bad_cost.txt").read_text()
    lines = out.splitlines()
    assert sum(1 for line in lines if line.startswith(tuple(pb_files))) == len(pb_files)
    counted = sum(1 for s in ("approval", "big_costs", "choose1", "cumulative", "hostile"))
    assert f"{counted} of {len(pb_files)} files counted." in out
    # The failures go to stderr, not into the table a pipe reads.
    assert "not a number" not in out and f"tarvek: {FIXTURES / 'bad_cost.pb'}:7: " in err


def test_real_files_in_parallel(run):
    files = [real("Poland_Czestochowa_2020_Grabowka.pb"), real("Switzerland_Zurich_S5D10.pb"),
             real("US_Stanford_Dataset_PB_Chicago_35th_Ward_2019_vote_approvals.pb")]
    status, out, _ = run("--json", "-q", "--rule", "fixed", *files)
    assert status == 0
    for result in json.loads(out):
        assert result["status"] == "ok"
        assert result["spent"] <= result["budget"]
        assert result["spent"] == sum(r["cost"] for r in result["selected"])


def test_interrupt_keeps_the_files_counted(run, tmp_path, monkeypatch):
    from tarvek import batch

    def first_then_interrupt(files, executor, **options):
        yield 0, count_file(files[0])
        raise KeyboardInterrupt

    monkeypatch.setattr(batch, "counts", first_then_interrupt)
    status, out, err = run("-q", "-o", str(tmp_path / "out"), fixture("approval.pb"), fixture("choose1.pb"))
    assert status == 130
    assert "approval.pb  ok" in out and "choose1.pb   INTERRUPTED" in out
    assert [p.name for p in (tmp_path / "out").iterdir()] == ["approval.txt"]
    assert "interrupted; 1 of 2 files counted" in err


def test_usage_errors(run, tmp_path):
    status, _, err = run()
    assert status == 2 and "--example" in err
    status, _, err = run("--jobs", "0", "--example")
    assert status == 2
    status, _, err = run("--timeout", "-1", "--example")
    assert status == 2
    blocker = tmp_path / "taken"
    blocker.write_text("")
    status, _, err = run("-q", "--example", "--output-dir", str(blocker))
    assert status == 2 and err.startswith(f"tarvek: cannot write the results into {blocker}")
    status, _, err = run(str(tmp_path))
    assert status == 2 and "no .pb files found" in err


def test_python_dash_m_runs_the_command(engine):
    env = dict(os.environ, PYTHONPATH=str(Path(tarvek.__file__).parent.parent))
    proc = subprocess.run(
        [sys.executable, "-m", "tarvek", "--example", "--json"], capture_output=True, text=True, env=env, timeout=60
    )
    assert proc.returncode == 0, proc.stderr
    assert json.loads(proc.stdout)["spent"] == 85800
    # A .pb file on standard input; an output that cannot be written.
    example = Path(tarvek.__file__).parent / "data" / "example.pb"
    with open(example, "rb") as stdin, open("/dev/full", "w") as full:
        proc = subprocess.run(
            [sys.executable, "-m", "tarvek", "-"], stdin=stdin, stdout=full, stderr=subprocess.PIPE, text=True,
            env=env, timeout=60,
        )
    assert (proc.returncode, proc.stderr) == (2, "tarvek: cannot write the output: No space left on device\n")


def test_timeout_stops_one_count_and_the_others_go_on(run):
    # Add1 on this file (28,943 voters, 265,501 supporter entries) takes
    # about 9 s of processor time on a machine of this kind, more than twice
    # the limit; the other two files count, in a fresh worker each, within a
    # fraction of it, with room for a loaded machine.
    slow = real("Hungary_Budapest_2024.pb")
    status, out, _ = run("--json", "-q", "-j", "2", "--timeout", "4", slow, fixture("choose1.pb"), real(ASSEN_2024))
    assert status == 1
    results = json.loads(out)
    assert [r["status"] for r in results] == ["timeout", "ok", "ok"]
    assert "not counted within 4 s" in results[0]["error"]["message"]
    assert "--rule fixed" in results[0]["error"]["message"]

    # Alone, too: the command stops the count instead of waiting for it. The
    # count alone takes about 9 s of processor time; what the stopped worker
    # used (reaped children count, however loaded the machine) is its start
    # and the half second of counting, about 1 s.
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    status, _, err = run(slow, "--timeout", "0.5")
    assert status == 1 and "not counted within 0.5 s" in err
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    assert after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime < 5
