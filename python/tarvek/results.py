"""Counting one election file: read it, run the rule, describe the outcome.

:func:`count_file` never raises for a problem with the file or the count; it
returns a result (a plain dict, ready for JSON and for passing between
processes, typed as :class:`FileResult`) whose ``status`` says what happened:

- "ok": counted; ``selected`` lists the outcome in selection order, each
  with the numbers of the round that selected it, ``left_out`` the other
  projects with their supporters' money against their cost, ``ties`` the ties
  broken by the chosen order, and ``certified`` the exact recount's verdict
  (when asked for).
- "input error": the file cannot be read or counted as it is.
- "tie": the rule met a tie that it cannot break.
- "timeout": the command gave up waiting for the count.
- "error": the engine failed otherwise.

:func:`serialise` is the one way a :class:`tarvek.Count` becomes the fields
of a result.
"""

from __future__ import annotations

import time
from collections.abc import Sequence
from typing import Any, Literal, NotRequired, TypedDict, cast

from . import pabulib
from .counting import Count, count
from .rules import LACKED_MONEY, RECORDED_NAMES, TieError, check_rule, unbroken_tie_text


class ErrorInfo(TypedDict):
    """Why a file was not counted."""

    message: str
    #: The line of the file at fault, where known.
    line: NotRequired[int | None]
    #: The ids of the projects of an unbroken tie (status "tie").
    tied_projects: NotRequired[list[str]]


class SelectedRow(TypedDict):
    """A selected project, with the numbers of the round that selected it."""

    rank: int
    project_id: str
    name: str | None
    cost: float
    running_total: float
    supporters: int
    points: int
    effective_votes: float
    price: float
    paid: float
    paid_all: int
    tied_with: list[str]


class LeftOutRow(TypedDict):
    """A project left out, with its supporters' money against its cost."""

    project_id: str
    name: str | None
    cost: float
    supporters: int
    points: int
    supporters_money: float
    shortfall: float
    #: A key of :data:`tarvek.rules.REASONS`.
    reason: str
    left_in_round: int | None
    money_when_left: float | None


class TieRow(TypedDict):
    """A tie broken by the chosen order."""

    round: int
    tied: list[str]
    chosen: str


class BriefProject(TypedDict):
    project_id: str
    name: str | None
    cost: float


class Recorded(TypedDict):
    """The computed outcome against the one recorded in the file."""

    agrees: bool
    #: Whether the file says the rule counted here decided it; None where it does not say.
    same_rule: bool | None
    count: int
    cost: float
    computed_only: list[BriefProject]
    recorded_only: list[BriefProject]


class Certified(TypedDict):
    stands: bool
    differs_at: int | None
    verdict: str


class Payment(TypedDict):
    project_id: str
    amount: float


class VoterPayments(TypedDict):
    """What a voter paid in the explained run, and kept (``left`` None: not a voter)."""

    voter_id: str
    paid: list[Payment]
    left: float | None


class FileResult(TypedDict):
    """The result of counting one file (see the module's text): a plain dict,
    ready for JSON. Only ``file``, ``status`` and ``error`` are always there;
    the facts about the election come once the file is read, the outcome and
    its explanation only with status "ok", ``certified`` only when asked for."""

    file: str
    status: str
    #: None when counted.
    error: ErrorInfo | None
    rule: NotRequired[str]
    seconds: NotRequired[float]
    # The facts about the election (see describe).
    description: NotRequired[str]
    vote_type: NotRequired[str]
    utilities: NotRequired[str]
    voters: NotRequired[int]
    projects: NotRequired[int]
    budget: NotRequired[float]
    points_label: NotRequired[str]
    recorded_rule: NotRequired[str | None]
    warnings: NotRequired[list[str]]
    # The outcome and its explanation (see serialise).
    selected: NotRequired[list[SelectedRow]]
    spent: NotRequired[float]
    left: NotRequired[float]
    share_spent: NotRequired[float | None]
    recorded: NotRequired[Recorded | None]
    run_budget: NotRequired[float]
    start_money: NotRequired[float]
    tie_order: NotRequired[str | None]
    ties: NotRequired[list[TieRow]]
    left_out: NotRequired[list[LeftOutRow]]
    certified: NotRequired[Certified]
    # What the voters asked for paid and kept (see voter_payments).
    voter_payments: NotRequired[list[VoterPayments]]
    # Equal shares beside greedy and the recorded outcome, when asked for
    # (tarvek.comparison.Comparison.to_dict).
    comparison: NotRequired[dict[str, Any]]


def count_file(
    path: str,
    *,
    rule: str = "add1",
    approval_utility: str = "one",
    ordinal_scoring: str | None = None,
    duplicates: str = "refuse",
    data: bytes | None = None,
    ties: str | None = None,
    certify: bool = False,
    voter_ids: Sequence[str] | None = None,
    compare: bool = False,
) -> FileResult:
    """Count the election in ``path``; see the module's text for the result.
    The options are those of :func:`tarvek.pabulib.load`. With ``data``, the
    file's bytes are those, and ``path`` only names it. ``ties`` as for
    :func:`tarvek.count`; ``certify``: also recount the outcome's run exactly;
    ``voter_ids``: also say what these voters paid and kept (:func:`voter_payments`);
    ``compare``: also put the outcome beside greedy by votes and the recorded
    outcome (:func:`tarvek.comparison.compare`).

    Raises ValueError for an unknown ``rule``, never for the file or the count.
    """
    check_rule(rule)
    started = time.perf_counter()
    result: dict[str, Any] = {"file": path, "status": "ok", "rule": rule, "error": None}
    try:
        # What the file says about the voters serves only the comparison.
        if data is None:
            election = pabulib.load(
                path,
                approval_utility=approval_utility,
                ordinal_scoring=ordinal_scoring,
                duplicates=duplicates,
                voter_columns=compare,
            )
        else:
            election = pabulib.parse(
                data,
                path,
                approval_utility=approval_utility,
                ordinal_scoring=ordinal_scoring,
                duplicates=duplicates,
                voter_columns=compare,
            )
    except pabulib.PabulibError as e:
        return _failed(result, "input error", str(e), line=e.line)
    except IsADirectoryError:
        return _failed(result, "input error", f"{path}: is a folder, not a .pb file")
    except OSError as e:
        return _failed(result, "input error", f"{path}: cannot be read ({e.strerror or e})")
    result.update(describe(election))
    try:
        counted = count(election, rule, ties)
    except TieError as e:
        result["seconds"] = time.perf_counter() - started
        return _failed(
            result,
            "tie",
            f"{path}: {unbroken_tie_text(e.labels)}; no outcome can be given. To break it by a "
            "stated order, count again with --ties file-order (the project listed first in the "
            "file wins) or --ties random:SEED (a random order drawn from SEED)",
            tied_projects=e.tied,
        )
    except RuntimeError as e:
        return _failed(result, "error", f"{path}: the count failed: {e}")
    except ImportError as e:
        return _failed(result, "error", f"the engine cannot be loaded ({e}); install the package")
    except (IndexError, ValueError, MemoryError, TypeError) as e:
        return _failed(result, "error", f"{path}: the count failed: {type(e).__name__}: {e}")
    result.update(serialise(election, counted))
    if voter_ids:
        result["voter_payments"] = voter_payments(counted, voter_ids)
    if compare:
        from .comparison import compare as side_by_side

        result["comparison"] = side_by_side(election, counted.outcome).to_dict()
    if certify:
        from .recount import certify as recount

        verdict = recount(election, counted)
        result["certified"] = Certified(stands=verdict.stands, differs_at=verdict.differs_at, verdict=verdict.text())
    result["seconds"] = time.perf_counter() - started
    # Built piecewise in the order the fields are shown; the keys are those of FileResult.
    return cast(FileResult, result)


def error_message(result: FileResult) -> str | None:
    """Why the file was not counted; None when it was."""
    error = result.get("error")
    return None if error is None else error["message"]


Agreement = Literal["no record", "agrees", "other rule", "differs"]


def agreement(result: FileResult) -> Agreement:
    """How the computed outcome stands against the one recorded in the file.
    An outcome that the file says another rule decided is expected to
    differ, so it reads as "other rule" rather than "differs"."""
    recorded = result.get("recorded")
    if recorded is None:
        return "no record"
    if recorded["agrees"]:
        return "agrees"
    return "other rule" if recorded.get("same_rule") is False else "differs"


def tally(row: SelectedRow, points_label: str) -> int:
    """The number an election's tables count a selected project by: its
    points where the votes give points, else its supporters."""
    return row["points"] if points_label == "points" else row["supporters"]


def failure(path: str, status: str, reason: str) -> FileResult:
    """The result of a file that was not counted (read elsewhere, timed out, ...)."""
    return {"file": path, "status": status, "error": {"message": f"{path}: {reason}"}}


def describe(election: pabulib.Election) -> dict[str, Any]:
    """The facts about the election that every result carries."""
    return {
        "description": election.description,
        "vote_type": election.vote_type,
        "utilities": election.utility_note,
        "voters": len(election.voters),
        "projects": len(election.projects),
        "budget": election.budget,
        "points_label": election.points_label,
        # The rule the file says decided the official outcome, if any.
        "recorded_rule": election.meta.get("rule") or None,
        "warnings": list(election.warnings),
    }


def serialise(election: pabulib.Election, counted: Count) -> dict[str, Any]:
    """A count of ``election`` as the fields of its :class:`FileResult`: the
    outcome with the numbers of the round that selected each project, the
    money spent, the comparison with the recorded outcome, and the
    explanation of the run (its budget, the ties broken, the projects left out)."""
    budget = election.budget
    return {
        "selected": _selected(election, counted),
        "spent": counted.cost,
        "left": budget - counted.cost,
        "share_spent": counted.cost / budget if budget > 0 else None,
        "recorded": _recorded(election, counted),
        "run_budget": counted.run_budget,
        "start_money": counted.start_money,
        "tie_order": counted.tie_order,
        "ties": [TieRow(round=t.round, tied=list(t.tied), chosen=t.chosen) for t in counted.ties],
        "left_out": [
            LeftOutRow(
                project_id=x.project,
                name=election.projects[x.project].name,
                cost=x.cost,
                supporters=election.supporters(x.project),
                points=election.total_utility[x.project],
                supporters_money=x.supporters_money,
                shortfall=x.shortfall,
                reason=x.reason,
                left_in_round=x.left_in_round,
                money_when_left=x.money_when_left,
            )
            # Closest to being funded first; those never in the running last.
            for x in sorted(counted.left_out, key=lambda x: (x.reason not in LACKED_MONEY, x.shortfall))
        ],
    }


def _selected(election: pabulib.Election, counted: Count) -> list[SelectedRow]:
    rows = []
    running_total = 0.0
    for rank, r in enumerate(counted.rounds, 1):
        project = election.projects[r.project]
        # Summed in selection order, as the completion measures an outcome.
        running_total += project.cost
        rows.append(
            SelectedRow(
                rank=rank,
                project_id=r.project,
                name=project.name,
                cost=project.cost,
                running_total=running_total,
                supporters=election.supporters(r.project),
                points=election.total_utility[r.project],
                effective_votes=r.effective_votes,
                price=r.price,
                paid=r.paid,
                paid_all=r.paid_all,
                tied_with=[pid for pid in r.tie.tied if pid != r.project] if r.tie else [],
            )
        )
    return rows


def _recorded(election: pabulib.Election, counted: Count) -> Recorded | None:
    if counted.recorded is None or counted.agrees is None:
        return None
    chosen = set(counted.outcome)
    official = set(counted.recorded)
    recorded_rule = election.meta.get("rule", "").strip()
    return Recorded(
        agrees=counted.agrees,
        same_rule=None if recorded_rule in ("", "unknown") else recorded_rule == RECORDED_NAMES[counted.rule],
        count=len(counted.recorded),
        cost=sum(election.projects[pid].cost for pid in counted.recorded),
        computed_only=[_brief(election, pid) for pid in counted.outcome if pid not in official],
        recorded_only=[_brief(election, pid) for pid in counted.recorded if pid not in chosen],
    )


def _brief(election: pabulib.Election, pid: str) -> BriefProject:
    project = election.projects[pid]
    return BriefProject(project_id=pid, name=project.name, cost=project.cost)


def voter_payments(counted: Count, voter_ids: Sequence[str]) -> list[VoterPayments]:
    """Per voter of ``voter_ids`` (each once, in the order given): what it
    paid for which project in the explained run, in selection order, and the
    money it had left at the end of that run. An id that is not a voter of
    the election has no payments and ``left`` None."""
    paid = counted.voter_payments()
    return [
        VoterPayments(
            voter_id=voter,
            paid=[Payment(project_id=pid, amount=amount) for pid, amount in paid.get(voter, [])],
            left=counted.money_left.get(voter),
        )
        for voter in dict.fromkeys(voter_ids)
    ]


def _failed(result: dict[str, Any], status: str, message: str, **details: Any) -> FileResult:
    result["status"] = status
    result["error"] = {"message": message, **details}
    return cast(FileResult, result)
