"""The .pb reader: what it hands to the engine, and how it refuses bad files."""

from __future__ import annotations

import pickle

import pytest

from tarvek import pabulib

from datadir import real_folder
from pbfiles import FIXTURES, fixture


def test_approval_file_gives_the_six_arguments():
    # CRLF endings, zero-padded string ids, decimal cost and budget, a quoted
    # name holding a semicolon, an extra column and a voter with an empty ballot.
    election = pabulib.load(fixture("approval.pb"))
    voters, projects, cost, approvers, total_utility, budget = election.arguments()
    assert voters == ["1-13", "1-14", "1-15", "1-16", "1-17"]
    assert projects == ["05", "06", "7", "8"]
    assert cost == {"05": 4000.0, "06": 3000.0, "7": 2500.0, "8": 9000.0}
    assert approvers == {
        "05": [("1-13", 1), ("1-14", 1), ("1-15", 1)],
        "06": [("1-13", 1), ("1-15", 1)],
        "7": [("1-14", 1), ("1-16", 1)],
        "8": [],
    }
    assert total_utility == {"05": 3, "06": 2, "7": 2, "8": 0}
    assert budget == 10000.0 and isinstance(budget, float)
    assert election.projects["05"].name == "Trees; and benches"
    assert election.recorded_outcome == ["05", "7"]
    assert election.warnings == []


def test_line_endings_do_not_matter():
    data = (FIXTURES / "approval.pb").read_bytes()
    assert b"\r\n" in data
    crlf = pabulib.parse(data, "crlf.pb")
    lf = pabulib.parse(data.replace(b"\r\n", b"\n"), "lf.pb")
    mixed = pabulib.parse(data.replace(b"\r\n", b"\n", 3), "mixed.pb")
    assert crlf.arguments() == lf.arguments() == mixed.arguments()


def test_arguments_are_fresh_containers():
    election = pabulib.load(fixture("approval.pb"))
    first = election.arguments()
    first[0].append("intruder")
    first[3]["05"].clear()
    assert election.arguments()[0][-1] == "1-17"
    assert len(election.arguments()[3]["05"]) == 3


def test_cumulative_points_and_zero_points():
    election = pabulib.load(fixture("cumulative.pb"))
    _, _, _, approvers, total_utility, _ = election.arguments()
    # v2 gives c 0 points: listed on the ballot, but not a supporter.
    assert approvers == {"a": [("v1", 3), ("v2", 4), ("v3", 2)], "b": [("v1", 2), ("v2", 2)], "c": []}
    assert total_utility == {"a": 9, "b": 4, "c": 0}
    assert election.listed["c"] == 1
    assert election.points_label == "points"


def test_choose_one_counts_one_per_vote():
    election = pabulib.load(fixture("choose1.pb"))
    assert election.arguments()[3] == {"x": [("1", 1), ("3", 1)], "y": [("2", 1)]}


def test_ordinal_needs_a_scoring():
    with pytest.raises(pabulib.PabulibError, match=r"ordinal.*--ordinal borda") as info:
        pabulib.load(fixture("ordinal.pb"))
    assert info.value.line == 4  # the vote_type line
    election = pabulib.load(fixture("ordinal.pb"), ordinal_scoring="borda")
    # Of k ranked projects the first scores k-1 and the last 0 (not a supporter).
    # v1 ranks a,b,c: 2,1,0; v2 ranks c,a: 1,0; v3 ranks only b: 0.
    assert election.arguments()[3] == {"a": [("v1", 2)], "b": [("v1", 1)], "c": [("v2", 1)]}
    assert election.total_utility == {"a": 2, "b": 1, "c": 1}


def test_approval_utility_cost():
    election = pabulib.load(fixture("approval.pb"), approval_utility="cost")
    assert election.arguments()[3]["7"] == [("1-14", 2500), ("1-16", 2500)]
    assert election.total_utility["05"] == 12000


def test_approval_utility_cost_refuses_fractional_costs(tmp_path):
    path = tmp_path / "fraction.pb"
    path.write_text("META\nkey;value\nbudget;10\nPROJECTS\nproject_id;cost\na;2.5\nVOTES\nvoter_id;vote\n1;a\n")
    with pytest.raises(pabulib.PabulibError, match=r"'a' is not a whole number.*--approval-utility one"):
        pabulib.load(path, approval_utility="cost")


@pytest.mark.parametrize(
    ("name", "line", "message"),
    [
        ("missing_votes.pb", 6, "ends without a VOTES section"),
        ("unknown_project.pb", 11, "voter '2' votes for unknown project 'zz'"),
        ("bad_cost.pb", 7, "cost 'ten' of project 'b' is not a number"),
        ("duplicate_project.pb", 8, "duplicate project id 'a' (first at line 6)"),
        ("duplicate_voter.pb", 11, "duplicate voter id '1' (first at line 9)"),
        ("points_mismatch.pb", 12, "voter '2' lists 2 project(s) but 1 point value(s)"),
        ("empty.pb", None, "the file is empty"),
        ("latin1.pb", 6, "not UTF-8"),
        # Each utility fits, their sum does not: refused, never wrapped.
        ("overflow.pb", 7, "total utility of project 'a' is 4000000000, outside the engine's 32-bit range"),
    ],
)
def test_bad_files_name_file_and_line(name, line, message):
    with pytest.raises(pabulib.PabulibError) as info:
        pabulib.load(fixture(name))
    error = info.value
    assert message in str(error)
    assert error.line == line
    where = fixture(name) + (f":{line}" if line is not None else "")
    assert str(error).startswith(where + ": ")
    # Errors travel back from worker processes intact.
    assert str(pickle.loads(pickle.dumps(error))) == str(error)


def test_utility_out_of_range_names_project_and_remedy():
    # 3,000,000,000 as a utility does not fit into 32 bits.
    with pytest.raises(pabulib.PabulibError, match=r"project 'dam' a utility of 3000000000.*--approval-utility one"):
        pabulib.load(fixture("big_costs.pb"), approval_utility="cost")
    assert pabulib.load(fixture("big_costs.pb")).total_utility == {"dam": 1, "road": 1}


@pytest.mark.parametrize(
    ("text", "message"),
    [
        ("META\nkey;value\nbudget;lots\nPROJECTS\nproject_id;cost\nVOTES\nvoter_id;vote\n", "budget 'lots'"),
        ("key;value\nbudget;1\nPROJECTS\n", "text before the META section"),
        ("META\nkey;value\nbudget;1\nVOTES\nvoter_id;vote\nPROJECTS\n", "section VOTES where section PROJECTS"),
        ("META\nbudget;1\nvote_type;poll\nPROJECTS\nproject_id;cost\na;1\nVOTES\nvoter_id;vote\n", "unknown vote_type"),
        ("META\nbudget;1\nPROJECTS\nproject_id;price\na;1\nVOTES\nvoter_id;vote\n", "no column 'cost'"),
        ("META\nbudget;1\nPROJECTS\nproject_id;cost\na;1;x\nVOTES\nvoter_id;vote\n", "must be quoted"),
        ("META\nbudget;1\nPROJECTS\nproject_id;cost\na;-1\nVOTES\nvoter_id;vote\n", "is negative"),
        ("META\nbudget;1\nvote_type;cumulative\nPROJECTS\nproject_id;cost\na;1\nVOTES\nvoter_id;vote\n", "'points'"),
        ("META\nbudget;1\nvote_type;cumulative\nPROJECTS\nproject_id;cost\na;1\nVOTES\nvoter_id;vote;points\n1;a;1.5\n",
         "not a whole number"),
        ("META\nbudget;1\nvote_type;choose-1\nPROJECTS\nproject_id;cost\na;1\nb;1\nVOTES\nvoter_id;vote\n1;a,b\n",
         "chooses 2 projects"),
        ("META\nbudget;1\nPROJECTS\nproject_id;cost\na;1\nVOTES\nvoter_id;vote\n1;a,a\n", "lists project 'a' twice"),
        # Python reads "1_0" as 10; a .pb file does not.
        ("META\nbudget;1\nvote_type;cumulative\nPROJECTS\nproject_id;cost\na;1\nVOTES\nvoter_id;vote;points\n1;a;1_0\n",
         "the points '1_0', which is not a whole number"),
        # Cut off at a line boundary: fewer rows than META announces.
        ("META\nbudget;1\nnum_votes;3\nPROJECTS\nproject_id;cost\na;1\nVOTES\nvoter_id;vote\n1;a\n",
         "num_votes is '3' but the file has only 1 vote rows; the file looks cut off"),
    ],
)
def test_more_refusals(text, message):
    with pytest.raises(pabulib.PabulibError, match=message.replace("(", r"\(").replace(")", r"\)")):
        pabulib.parse(text.encode(), "inline.pb")


def test_declared_counts_that_disagree_are_warnings():
    # More rows than announced, and a voter whose id is a section name.
    text = "META\nbudget;1\nnum_votes;1\nPROJECTS\nproject_id;cost;votes\na;1;5\nVOTES\nvoter_id;vote\n1;a\nvotes;\n"
    election = pabulib.parse(text.encode(), "counts.pb")
    assert election.voters == ["1", "votes"]
    assert election.warnings == [
        "META num_votes is '1' but the file has 2 vote rows",
        "line 6: project 'a' records votes 5 but the ballots give 1",
    ]


def test_a_repeated_approval_counts_once_on_request():
    text = (
        "META\nbudget;1\nvote_type;{}\nPROJECTS\nproject_id;cost\na;1\nb;1\n"
        "VOTES\nvoter_id;vote;points\n1;a,b,a;1,1,1\n"
    )
    election = pabulib.parse(text.format("approval").encode(), "twice.pb", duplicates="once")
    assert election.approvers == {"a": [("1", 1)], "b": [("1", 1)]}
    assert election.warnings == ["line 10: voter '1' lists project 'a' twice; counted once"]
    # With points, a repeat has no single meaning.
    with pytest.raises(pabulib.PabulibError, match="lists project 'a' twice"):
        pabulib.parse(text.format("cumulative").encode(), "twice.pb", duplicates="once")


def test_every_real_file_reads_consistently():
    # The largest files (several MB) are left out to keep the tests fast.
    files = sorted(p for p in real_folder().rglob("*.pb") if p.stat().st_size < 1_500_000)
    assert files
    for path in files:
        election = pabulib.load(path)
        voters, projects, cost, approvers, total_utility, budget = election.arguments()
        # The declared counts and the recorded per-project tallies agree with the ballots.
        assert election.warnings == [], path
        assert len(set(voters)) == len(voters) == int(election.meta["num_votes"])
        assert set(projects) == set(cost) == set(approvers) == set(total_utility)
        for pid in projects:
            assert total_utility[pid] == sum(u for _, u in approvers[pid])
            assert all(u > 0 for _, u in approvers[pid])
        assert budget == float(election.meta["budget"])
