"""Reader of pabulib ``.pb`` files.

A ``.pb`` file has three sections, each introduced by a line holding only its
name: ``META`` (``key;value`` pairs), ``PROJECTS`` (one row per project, at
least the columns ``project_id`` and ``cost``) and ``VOTES`` (one row per
voter, at least ``voter_id`` and ``vote``, a comma-separated list of project
ids). Fields are separated by semicolons and may be quoted as in CSV; lines
end in LF or CRLF, mixed within a file.

:func:`load` reads such a file into an :class:`Election`, whose
:meth:`Election.arguments` gives the six arguments of
``tarvekbindings.equal_shares_utils`` and ``tarvekbindings.equal_shares_add1``::

    from tarvek import pabulib
    import tarvekbindings

    election = pabulib.load("Netherlands_Assen_2024.pb")
    winners = tarvekbindings.equal_shares_add1(*election.arguments())

Every problem with the input raises :class:`PabulibError`, whose text names
the file and, where there is one, the line.
"""

from __future__ import annotations

import csv
import io
import math
import os
import re
from dataclasses import dataclass, field
from typing import Any

__all__ = [
    "APPROVAL_UTILITIES",
    "DUPLICATE_APPROVALS",
    "ORDINAL_SCORINGS",
    "Election",
    "PabulibError",
    "Project",
    "load",
    "parse",
]

# The engine stores utilities and total utilities as 32-bit signed integers.
INT32_MIN = -(2**31)
INT32_MAX = 2**31 - 1

#: Ways of turning an approval into a utility: 1 per approved project, or the
#: project's cost (a voter then values a project by what it costs).
APPROVAL_UTILITIES = ("one", "cost")

#: Ways of turning a ranking into points. "borda": of k ranked projects the
#: first scores k-1, the next k-2, ..., the last 0.
ORDINAL_SCORINGS = ("borda",)

#: A voter who lists the same project twice: "refuse" the file, or count the
#: approval "once" with a warning (approval and choose-1 votes only).
DUPLICATE_APPROVALS = ("refuse", "once")

VOTE_TYPES = ("approval", "choose-1", "cumulative", "scoring", "ordinal")

SECTIONS = ("META", "PROJECTS", "VOTES")

#: The VOTES columns that make up the vote; any other describes the voter.
VOTE_COLUMNS = ("voter_id", "vote", "points")


class PabulibError(ValueError):
    """A ``.pb`` file that cannot be counted, with the place of the fault.

    ``path`` is the file, ``line`` the 1-based line number where the fault
    lies (None when it concerns the file as a whole) and ``reason`` the
    message without the place.
    """

    def __init__(self, path: str, line: int | None, reason: str) -> None:
        self.path = path
        self.line = line
        self.reason = reason
        where = f"{path}:{line}" if line is not None else path
        super().__init__(f"{where}: {reason}")

    def __reduce__(self) -> tuple[Any, ...]:
        # Keeps the error picklable across worker processes.
        return (type(self), (self.path, self.line, self.reason))


@dataclass
class Project:
    """One row of the PROJECTS section."""

    id: str
    cost: float
    line: int
    name: str | None = None
    #: The recorded official outcome: True/False from a ``selected`` column
    #: (any non-zero value counts as selected), None where there is none.
    selected: bool | None = None
    #: Every column of the row, as text, by column name.
    fields: dict[str, str] = field(default_factory=dict)


@dataclass
class Election:
    """An election read from a ``.pb`` file, ready for the engine."""

    path: str
    meta: dict[str, str]
    #: META key -> its line in the file.
    meta_lines: dict[str, int]
    vote_type: str
    budget: float
    #: Projects in file order, by id.
    projects: dict[str, Project]
    #: Voter ids in file order (voters with an empty ballot included: they
    #: hold a share of the budget like everyone else).
    voters: list[str]
    #: Project id -> supporters in file order, each with its utility.
    approvers: dict[str, list[tuple[str, int]]]
    #: Project id -> sum of its supporters' utilities.
    total_utility: dict[str, int]
    #: How the utilities were derived, e.g. "1 per approved project".
    utility_note: str = ""
    #: Project id -> number of ballots that list it (zero points included).
    listed: dict[str, int] = field(default_factory=dict)
    #: Inconsistencies that do not stop the count (a declared count that
    #: differs from the rows, for instance).
    warnings: list[str] = field(default_factory=list)
    #: What the VOTES section says about the voters beyond their vote (age,
    #: sex, neighborhood, ...): column name -> one text per voter, as written
    #: (blanks around it included), in the order of ``voters``.
    voter_columns: dict[str, list[str]] = field(default_factory=dict)

    def arguments(
        self,
    ) -> tuple[
        list[str],
        list[str],
        dict[str, float],
        dict[str, list[tuple[str, int]]],
        dict[str, int],
        float,
    ]:
        """The six arguments of the engine's functions, as fresh containers:
        (voters, projects, cost, approvers, total_utility, budget)."""
        return (
            list(self.voters),
            list(self.projects),
            {pid: p.cost for pid, p in self.projects.items()},
            {pid: list(s) for pid, s in self.approvers.items()},
            dict(self.total_utility),
            self.budget,
        )

    @property
    def description(self) -> str:
        return self.meta.get("description", "")

    @property
    def points_label(self) -> str:
        """What a project's total utility counts, for display."""
        if self.vote_type in ("cumulative", "scoring", "ordinal"):
            return "points"
        return "votes"

    @property
    def recorded_outcome(self) -> list[str] | None:
        """Ids recorded as selected, in file order; None without a ``selected`` column."""
        if not any(p.selected is not None for p in self.projects.values()):
            return None
        return [pid for pid, p in self.projects.items() if p.selected]

    def supporters(self, project_id: str) -> int:
        return len(self.approvers[project_id])


def load(
    path: str | os.PathLike[str],
    *,
    approval_utility: str = "one",
    ordinal_scoring: str | None = None,
    duplicates: str = "refuse",
    voter_columns: bool = True,
) -> Election:
    """Read the ``.pb`` file at ``path``.

    ``approval_utility``: "one" (each approval is worth 1) or "cost" (it is
    worth the project's cost, which must then be a whole number).
    ``ordinal_scoring``: None refuses ordinal (ranked) ballots; "borda" scores
    them (of k ranked projects the last scores 0, the first k-1).
    ``duplicates``: a voter who lists the same project twice refuses the file
    ("refuse"), or, with approval and choose-1 votes, counts once with a
    warning ("once"). With points or ranks such a file is always refused.
    ``voter_columns``: keep what the VOTES section says about the voters
    (``Election.voter_columns``); a count that looks only at the votes can
    leave it.

    Raises :class:`PabulibError` for anything that cannot be counted, and
    OSError when the file cannot be read.
    """
    name = os.fspath(path)
    with open(name, "rb") as f:
        data = f.read()
    return parse(
        data,
        name,
        approval_utility=approval_utility,
        ordinal_scoring=ordinal_scoring,
        duplicates=duplicates,
        voter_columns=voter_columns,
    )


def parse(
    data: bytes,
    path: str = "<data>",
    *,
    approval_utility: str = "one",
    ordinal_scoring: str | None = None,
    duplicates: str = "refuse",
    voter_columns: bool = True,
) -> Election:
    """Like :func:`load`, for the bytes of a file; ``path`` is used in messages."""
    if approval_utility not in APPROVAL_UTILITIES:
        raise ValueError(f"approval_utility must be one of {APPROVAL_UTILITIES}, not {approval_utility!r}")
    if ordinal_scoring is not None and ordinal_scoring not in ORDINAL_SCORINGS:
        raise ValueError(f"ordinal_scoring must be None or one of {ORDINAL_SCORINGS}, not {ordinal_scoring!r}")
    if duplicates not in DUPLICATE_APPROVALS:
        raise ValueError(f"duplicates must be one of {DUPLICATE_APPROVALS}, not {duplicates!r}")
    text = _decode(data, path)
    sections = _split_sections(text, path)
    meta, meta_lines = _read_meta(sections["META"], path)
    vote_type = _read_vote_type(meta, meta_lines, path)
    budget = _read_budget(meta, meta_lines, sections["META"], path)
    projects = _read_projects(sections["PROJECTS"], path)
    election = Election(
        path=path,
        meta=meta,
        meta_lines=meta_lines,
        vote_type=vote_type,
        budget=budget,
        projects=projects,
        voters=[],
        approvers={pid: [] for pid in projects},
        total_utility={pid: 0 for pid in projects},
    )
    _read_votes(sections["VOTES"], election, approval_utility, ordinal_scoring, duplicates)
    if voter_columns:
        election.voter_columns = _voter_columns(sections["VOTES"])
    _check_declared_counts(election, sections)
    return election


# ---------------------------------------------------------------------------
# Text and sections


@dataclass
class _Section:
    name: str
    line: int  # line of the section's name
    header: list[str] | None = None
    header_line: int = 0
    rows: list[tuple[int, list[str]]] = field(default_factory=list)


def _decode(data: bytes, path: str) -> str:
    if not data.strip():
        raise PabulibError(path, None, "the file is empty; a .pb file has the sections META, PROJECTS and VOTES")
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as e:
        line = data.count(b"\n", 0, e.start) + 1
        raise PabulibError(
            path,
            line,
            f"the file is not UTF-8 (byte 0x{data[e.start]:02x} cannot be decoded); "
            "convert it first, e.g. with: iconv -f <its encoding, such as cp1250> -t utf-8",
        ) from None
    # A byte-order mark is tolerated.
    return text[1:] if text.startswith("\ufeff") else text


def _split_sections(text: str, path: str) -> dict[str, _Section]:
    sections: dict[str, _Section] = {}
    current: _Section | None = None
    reader = csv.reader(io.StringIO(text, newline=""), delimiter=";")
    end = 0
    try:
        for row in reader:
            first = end + 1  # line where this record starts
            end = reader.line_num
            if not row or (not row[0].strip() and all(not cell.strip() for cell in row)):
                continue
            # Markers are written in upper case; "votes" or "Meta" is an id.
            marker = row[0].strip()
            if marker in SECTIONS and all(not c.strip() for c in row[1:]):
                if marker in sections:
                    raise PabulibError(
                        path, first, f"a second {marker} section (the first starts at line {sections[marker].line})"
                    )
                expected = SECTIONS[len(sections)]
                if marker != expected:
                    raise PabulibError(path, first, f"section {marker} where section {expected} was expected")
                current = sections[marker] = _Section(marker, first)
                continue
            if current is None:
                raise PabulibError(path, first, "text before the META section; a .pb file starts with a line META")
            if current.header is None:
                current.header = [c.strip() for c in row]
                current.header_line = first
            else:
                current.rows.append((first, row))
    except csv.Error as e:
        raise PabulibError(path, reader.line_num, f"unreadable line ({e})") from None
    for name in SECTIONS:
        if name not in sections:
            raise PabulibError(
                path, end, f"the file ends without a {name} section (a line holding only {name}, then its rows)"
            )
        if sections[name].header is None:
            raise PabulibError(path, sections[name].line, f"the {name} section has no header line")
    return sections


def _columns(section: _Section, path: str, required: tuple[str, ...]) -> dict[str, int]:
    assert section.header is not None
    index: dict[str, int] = {}
    for i, col in enumerate(section.header):
        if col in index:
            raise PabulibError(path, section.header_line, f"column {col!r} appears twice in the {section.name} header")
        index[col] = i
    for col in required:
        if col not in index:
            raise PabulibError(
                path,
                section.header_line,
                f"the {section.name} header has no column {col!r} (it has: {';'.join(section.header)})",
            )
    return index


def _cells(row: list[str], width: int, line: int, section: str, path: str) -> list[str]:
    if len(row) > width:
        raise PabulibError(
            path,
            line,
            f"{len(row)} fields in the {section} section, but its header has {width}; "
            "a field that holds a semicolon must be quoted",
        )
    return row + [""] * (width - len(row))


# ---------------------------------------------------------------------------
# META


def _read_meta(section: _Section, path: str) -> tuple[dict[str, str], dict[str, int]]:
    meta: dict[str, str] = {}
    lines: dict[str, int] = {}
    assert section.header is not None
    rows = list(section.rows)
    # The header is normally "key;value"; files without it start with a pair.
    if [c.lower() for c in section.header[:2]] != ["key", "value"]:
        rows.insert(0, (section.header_line, section.header))
    for line, row in rows:
        key = row[0].strip()
        value = ";".join(row[1:]).strip() if len(row) > 1 else ""
        if key in meta:
            raise PabulibError(path, line, f"META key {key!r} appears twice")
        meta[key] = value
        lines[key] = line
    return meta, lines


def _read_budget(meta: dict[str, str], meta_lines: dict[str, int], section: _Section, path: str) -> float:
    if "budget" not in meta:
        raise PabulibError(path, section.line, "the META section has no budget (a line budget;<amount>)")
    budget = _number(meta["budget"])
    if budget is None or budget < 0:
        raise PabulibError(path, meta_lines["budget"], f"the budget {meta['budget']!r} is not a non-negative number")
    return budget


def _read_vote_type(meta: dict[str, str], meta_lines: dict[str, int], path: str) -> str:
    """The vote type; files without one hold approval votes."""
    vote_type = meta.get("vote_type", "approval").strip().lower()
    if vote_type not in VOTE_TYPES:
        raise PabulibError(
            path,
            meta_lines["vote_type"],
            f"unknown vote_type {meta['vote_type']!r} (known: {', '.join(VOTE_TYPES)})",
        )
    return vote_type


# A number as .pb files write it: ASCII digits, an optional sign, fraction and
# exponent. Python's own parsers also take "1_000", "inf" and non-ASCII
# digits, none of which a .pb file means as a number.
_NUMBER = re.compile(r"[+-]?(?:[0-9]+(?:\.[0-9]*)?|\.[0-9]+)(?:[eE][+-]?[0-9]+)?")
_INTEGER = re.compile(r"[+-]?[0-9]+")


def _number(text: str) -> float | None:
    """A finite number written in the file, or None. Accepts "4000" and "4000.0"."""
    text = text.strip()
    if not _NUMBER.fullmatch(text):
        return None
    value = float(text)
    return value if math.isfinite(value) else None


# ---------------------------------------------------------------------------
# PROJECTS


def _read_projects(section: _Section, path: str) -> dict[str, Project]:
    cols = _columns(section, path, ("project_id", "cost"))
    assert section.header is not None
    width = len(section.header)
    projects: dict[str, Project] = {}
    for line, raw in section.rows:
        row = _cells(raw, width, line, "PROJECTS", path)
        pid = row[cols["project_id"]].strip()
        if not pid:
            raise PabulibError(path, line, "a project without a project_id")
        if pid in projects:
            raise PabulibError(path, line, f"duplicate project id {pid!r} (first at line {projects[pid].line})")
        cost_text = row[cols["cost"]]
        cost = _number(cost_text)
        if cost is None:
            raise PabulibError(path, line, f"the cost {cost_text.strip()!r} of project {pid!r} is not a number")
        if cost < 0:
            raise PabulibError(path, line, f"the cost {cost_text.strip()!r} of project {pid!r} is negative")
        project = Project(id=pid, cost=cost, line=line, fields=dict(zip(section.header, row, strict=True)))
        if "name" in cols:
            project.name = row[cols["name"]].strip() or None
        if "selected" in cols:
            project.selected = _selected(row[cols["selected"]], pid, line, path)
        projects[pid] = project
    if not projects:
        raise PabulibError(path, section.line, "the PROJECTS section lists no project")
    return projects


def _selected(text: str, pid: str, line: int, path: str) -> bool | None:
    text = text.strip()
    if not text:
        return None
    value = _number(text)
    if value is None:
        raise PabulibError(path, line, f"the selected value {text!r} of project {pid!r} is not a number")
    # 1 is the usual mark; some files use 2 for projects funded from reserves.
    return value != 0


# ---------------------------------------------------------------------------
# VOTES


def _read_votes(
    section: _Section, election: Election, approval_utility: str, ordinal_scoring: str | None, duplicates: str
) -> None:
    path = election.path
    cols = _vote_columns(section, election, approval_utility, ordinal_scoring)
    assert section.header is not None
    width = len(section.header)
    seen: dict[str, int] = {}
    totals = {pid: 0 for pid in election.projects}
    listed = {pid: 0 for pid in election.projects}
    for line, raw in section.rows:
        row = _cells(raw, width, line, "VOTES", path)
        vid = row[cols["voter_id"]].strip()
        if not vid:
            raise PabulibError(path, line, "a vote without a voter_id")
        if vid in seen:
            raise PabulibError(path, line, f"duplicate voter id {vid!r} (first at line {seen[vid]})")
        seen[vid] = line
        ballot = _ballot(row[cols["vote"]], vid, line, election, duplicates)
        utilities = _utilities(row, cols, ballot, vid, line, election, approval_utility)
        election.voters.append(vid)
        for pid, utility in zip(ballot, utilities, strict=True):
            listed[pid] += 1
            if utility == 0:
                continue  # no points: not a supporter
            if not INT32_MIN <= utility <= INT32_MAX:
                raise PabulibError(
                    path,
                    line,
                    f"voter {vid!r} gives project {pid!r} a utility of {utility}, outside the engine's 32-bit "
                    f"range ({INT32_MIN} to {INT32_MAX}); {_remedy(election, approval_utility)}",
                )
            election.approvers[pid].append((vid, utility))
            totals[pid] += utility
    for pid, total in totals.items():
        if not INT32_MIN <= total <= INT32_MAX:
            raise PabulibError(
                path,
                election.projects[pid].line,
                f"the total utility of project {pid!r} is {total}, outside the engine's 32-bit range "
                f"({INT32_MIN} to {INT32_MAX}); {_remedy(election, approval_utility)}",
            )
    election.total_utility = totals
    election.listed = listed


def _voter_columns(section: _Section) -> dict[str, list[str]]:
    """The VOTES columns about the voters, one text per row (as written; a
    row cut short has "" for its missing cells). Every row is a voter once
    the votes are read."""
    assert section.header is not None
    return {
        name: [row[i] if i < len(row) else "" for _, row in section.rows]
        for i, name in enumerate(section.header)
        if name not in VOTE_COLUMNS
    }


def _vote_columns(
    section: _Section, election: Election, approval_utility: str, ordinal_scoring: str | None
) -> dict[str, int]:
    """The columns of the VOTES section, once the votes are known to be countable
    as asked; sets the election's note on how utilities are derived."""
    path = election.path
    vote_type = election.vote_type
    cols = _columns(section, path, ("voter_id", "vote"))
    if vote_type in ("cumulative", "scoring") and "points" not in cols:
        raise PabulibError(
            path, section.header_line, f"{vote_type} votes need a 'points' column in the VOTES header"
        )
    if vote_type == "ordinal" and ordinal_scoring is None:
        raise PabulibError(
            path,
            election.meta_lines.get("vote_type"),
            "the votes are ordinal (rankings), which the rule cannot count as they are; "
            "ask for a scoring of the rankings (command line: --ordinal borda)",
        )
    if vote_type == "approval" and approval_utility == "cost":
        bad = [p for p in election.projects.values() if p.cost != int(p.cost)]
        if bad:
            raise PabulibError(
                path,
                bad[0].line,
                f"the cost {bad[0].cost!r} of project {bad[0].id!r} is not a whole number and cannot serve as a "
                "utility; count each approval as 1 instead (command line: --approval-utility one)",
            )
    election.utility_note = {
        "approval": "1 per approved project" if approval_utility == "one" else "an approved project is worth its cost",
        "choose-1": "1 for the chosen project",
        "cumulative": "the points given",
        "scoring": "the points given",
        "ordinal": "Borda scoring of the rankings: of k ranked projects the first scores k-1, the last 0",
    }[vote_type]
    return cols


def _ballot(text: str, vid: str, line: int, election: Election, duplicates: str) -> list[str]:
    """The projects a voter lists, each known and listed once.

    A project listed twice refuses the file, unless ``duplicates`` is "once"
    and the votes are approvals (or choose-1), where a repeat can only mean
    the same approval: it then counts once, with a warning naming the line.
    With points or ranks a repeat has no single meaning, and is refused.
    """
    path = election.path
    ballot: list[str] = []
    listed: set[str] = set()
    for pid in _split_list(text):
        if pid not in election.projects:
            raise PabulibError(path, line, f"voter {vid!r} votes for unknown project {pid!r}")
        if pid not in listed:
            listed.add(pid)
            ballot.append(pid)
        elif duplicates == "once" and election.vote_type in ("approval", "choose-1"):
            election.warnings.append(f"line {line}: voter {vid!r} lists project {pid!r} twice; counted once")
        else:
            hint = " (to count each approval once: --duplicates once)" if election.vote_type == "approval" else ""
            raise PabulibError(path, line, f"voter {vid!r} lists project {pid!r} twice{hint}")
    if election.vote_type == "choose-1" and len(ballot) > 1:
        raise PabulibError(path, line, f"voter {vid!r} chooses {len(ballot)} projects in a choose-1 vote")
    return ballot


def _remedy(election: Election, approval_utility: str) -> str:
    if election.vote_type == "approval" and approval_utility == "cost":
        return "count each approval as 1 instead (command line: --approval-utility one)"
    return "scale the points down in the file (for example divide them all by 10)"


def _split_list(text: str) -> list[str]:
    text = text.strip()
    if not text:
        return []
    return [item.strip() for item in text.split(",")]


def _utilities(
    row: list[str],
    cols: dict[str, int],
    ballot: list[str],
    vid: str,
    line: int,
    election: Election,
    approval_utility: str,
) -> list[int]:
    path = election.path
    vote_type = election.vote_type
    if vote_type == "approval":
        if approval_utility == "cost":
            return [int(election.projects[pid].cost) for pid in ballot]
        return [1] * len(ballot)
    if vote_type == "choose-1":
        return [1] * len(ballot)
    if vote_type == "ordinal":
        k = len(ballot)
        return [k - 1 - i for i in range(k)]
    points_text = row[cols["points"]]
    points = _split_list(points_text)
    if len(points) != len(ballot):
        raise PabulibError(
            path,
            line,
            f"voter {vid!r} lists {len(ballot)} project(s) but {len(points)} point value(s) "
            f"(vote {row[cols['vote']].strip()!r}, points {points_text.strip()!r})",
        )
    values = []
    for pid, text in zip(ballot, points, strict=True):
        value = _integer(text)
        if value is None:
            raise PabulibError(
                path, line, f"voter {vid!r} gives project {pid!r} the points {text!r}, which is not a whole number"
            )
        if value < 0:
            raise PabulibError(path, line, f"voter {vid!r} gives project {pid!r} negative points ({value})")
        values.append(value)
    return values


def _integer(text: str) -> int | None:
    """A whole number written in the file ("12", or "12.0"), or None."""
    if _INTEGER.fullmatch(text.strip()):
        return int(text)
    value = _number(text)
    if value is not None and value == int(value):
        return int(value)
    return None


def _check_declared_counts(election: Election, sections: dict[str, _Section]) -> None:
    meta = election.meta
    for key, actual, what in (
        ("num_projects", len(election.projects), "project rows"),
        ("num_votes", len(election.voters), "vote rows"),
    ):
        if key in meta:
            declared = _integer(meta[key])
            if declared is not None and declared > actual:
                # Fewer rows than the file itself announces: it was cut off
                # (at a line boundary, or nothing else would show it).
                raise PabulibError(
                    election.path,
                    election.meta_lines[key],
                    f"META {key} is {meta[key]!r} but the file has only {actual} {what}; "
                    "the file looks cut off (download it again)",
                )
            if declared != actual:
                election.warnings.append(f"META {key} is {meta[key]!r} but the file has {actual} {what}")
    # The "votes" and "score" columns of PROJECTS should agree with the ballots.
    for pid, project in election.projects.items():
        checks: tuple[tuple[str, int | None], ...] = (
            ("votes", election.listed[pid]),
            ("score", election.total_utility[pid] if election.vote_type in ("cumulative", "scoring") else None),
        )
        for column, tally in checks:
            recorded = project.fields.get(column, "").strip()
            if recorded and tally is not None and _integer(recorded) != tally:
                election.warnings.append(
                    f"line {project.line}: project {pid!r} records {column} {recorded} but the ballots give {tally}"
                )
