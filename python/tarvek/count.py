"""Counting one election file: read it, run the rule, describe the outcome.

:func:`count_file` never raises for a problem with the file or the count; it
returns a result (a plain dict, ready for JSON and for passing between
processes, typed as :class:`FileResult`) whose ``status`` says what happened:

- "ok": counted; ``selected`` lists the outcome in selection order, each
  with the numbers of the round that selected it, ``left_out`` the other
  projects with their supporters' money against their cost, ``ties`` the ties
  broken by the chosen order, and ``certified`` the exact recount's verdict
  (when asked for).
- "input error": the file cannot be read or counted as it is (exit status 2).
- "tie": the rule met a tie that it cannot break (exit status 1).
- "timeout": the command gave up waiting for the count (exit status 1).
- "error": the engine failed otherwise (exit status 1).
"""

from __future__ import annotations

import os
import time
from collections.abc import Sequence
from typing import Any, NotRequired, TypedDict, cast

from . import explained, pabulib


class FileResult(TypedDict):
    """The result of counting one file (see the module's text): a plain dict,
    ready for JSON. Only ``file``, ``status`` and ``error`` are always there;
    the facts about the election come once the file is read, the outcome and
    its explanation only with status "ok", ``certified`` only when asked for."""

    file: str
    status: str
    #: None when counted; else {"message": ...} with, where known, the "line"
    #: of the file at fault or the "tied_projects". Typed Any, as readers
    #: index it once the status says the count failed.
    error: Any
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
    # The outcome (see summarize); each selected row carries the numbers of
    # the round that selected it.
    selected: NotRequired[list[dict[str, Any]]]
    spent: NotRequired[float]
    left: NotRequired[float]
    share_spent: NotRequired[float | None]
    recorded: NotRequired[dict[str, Any] | None]
    # The numbers of the run (see explanation).
    run_budget: NotRequired[float]
    start_money: NotRequired[float]
    tie_order: NotRequired[str | None]
    ties: NotRequired[list[dict[str, Any]]]
    left_out: NotRequired[list[dict[str, Any]]]
    certified: NotRequired[dict[str, Any]]
    # What the voters asked for paid and kept (see voter_payments).
    voter_payments: NotRequired[list[dict[str, Any]]]
    # Equal shares beside greedy and the recorded outcome (when asked for;
    # tarvek.comparison.Comparison.to_dict).
    comparison: NotRequired[dict[str, Any]]


RULES = {
    "add1": "Method of Equal Shares, completed with Add1",
    "fixed": "Method of Equal Shares, fixed budget (no completion)",
}

TIE_PREFIX = "Tie-breaking failed: "

EXIT_OK = 0
EXIT_COUNT_FAILED = 1
EXIT_INPUT = 2

EXIT_STATUS = {
    "ok": EXIT_OK,
    "tie": EXIT_COUNT_FAILED,
    "timeout": EXIT_COUNT_FAILED,
    "error": EXIT_COUNT_FAILED,
    "input error": EXIT_INPUT,
}


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
    _check_rule(rule)
    started = time.perf_counter()
    result: dict[str, Any] = {"file": path, "status": "ok", "rule": rule, "error": None}
    try:
        if data is None:
            election = pabulib.load(
                path, approval_utility=approval_utility, ordinal_scoring=ordinal_scoring, duplicates=duplicates
            )
        else:
            election = pabulib.parse(
                data, path, approval_utility=approval_utility, ordinal_scoring=ordinal_scoring, duplicates=duplicates
            )
    except pabulib.PabulibError as e:
        return _failed(result, "input error", str(e), line=e.line)
    except IsADirectoryError:
        return _failed(result, "input error", f"{path}: is a folder, not a .pb file")
    except OSError as e:
        return _failed(result, "input error", f"{path}: cannot be read ({e.strerror or e})")
    result.update(describe(election))
    try:
        counted = explained.count(election, rule, ties)
    except explained.TieError as e:
        labels = [_label(election, pid) for pid in e.tied]
        names = " and ".join([", ".join(labels[:-1]), labels[-1]] if len(labels) > 1 else labels)
        result["seconds"] = time.perf_counter() - started
        return _failed(
            result,
            "tie",
            f"{path}: the rule met a tie it cannot break between the projects {names} "
            "(equal cost and equal total utility); no outcome can be given. To break it by a "
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
    result.update(summarize(election, list(counted.outcome), rule))
    explained_run = explanation(election, counted)
    for row, numbers in zip(result["selected"], explained_run.pop("rounds"), strict=True):
        row.update(numbers)
    result.update(explained_run)
    if voter_ids:
        result["voter_payments"] = voter_payments(counted, voter_ids)
    if compare:
        from .comparison import compare as side_by_side

        result["comparison"] = side_by_side(election, counted.outcome).to_dict()
    if certify:
        from .certify import certify as recount

        verdict = recount(election, counted)
        result["certified"] = {
            "stands": verdict.stands,
            "differs_at": verdict.differs_at,
            "verdict": verdict.text(),
        }
    result["seconds"] = time.perf_counter() - started
    # Built piecewise from the helpers' plain dicts; the keys are those of FileResult.
    return cast(FileResult, result)


#: Reasons of a project left out for which its shortfall tells how far it was from being funded.
LACKED_MONEY = ("unaffordable", "no payable share")


def explanation(election: pabulib.Election, counted: explained.Count) -> dict[str, Any]:
    """The numbers of the outcome's run, to go with :func:`summarize`'s rows
    (which must come from the same count): each selected row gets those of
    the round that selected it; the projects left out come as rows of their own."""
    return {
        "run_budget": counted.run_budget,
        "start_money": counted.start_money,
        "tie_order": counted.tie_order,
        "ties": [{"round": t.round, "tied": list(t.tied), "chosen": t.chosen} for t in counted.ties],
        "rounds": [
            {
                "effective_votes": r.effective_votes,
                "price": r.price,
                "paid": r.paid,
                "paid_all": r.paid_all,
                "tied_with": [pid for pid in r.tie.tied if pid != r.project] if r.tie else [],
            }
            for r in counted.rounds
        ],
        "left_out": [
            {
                "project_id": x.project,
                "name": election.projects[x.project].name,
                "cost": x.cost,
                "supporters": election.supporters(x.project),
                "points": election.total_utility[x.project],
                "supporters_money": x.supporters_money,
                "shortfall": x.shortfall,
                "reason": x.reason,
                "left_in_round": x.left_in_round,
                "money_when_left": x.money_when_left,
            }
            # Closest to being funded first; those never in the running last.
            for x in sorted(counted.left_out, key=lambda x: (x.reason not in LACKED_MONEY, x.shortfall))
        ],
    }


def voter_payments(counted: explained.Count, voter_ids: Sequence[str]) -> list[dict[str, Any]]:
    """Per voter of ``voter_ids`` (each once, in the order given): what it
    paid for which project in the explained run, in selection order, and the
    money it had left at the end of that run. An id that is not a voter of
    the election has no payments and ``left`` None."""
    paid = counted.voter_payments()
    return [
        {
            "voter_id": voter,
            "paid": [{"project_id": pid, "amount": amount} for pid, amount in paid.get(voter, [])],
            "left": counted.money_left.get(voter),
        }
        for voter in dict.fromkeys(voter_ids)
    ]


def run_rule(election: pabulib.Election, rule: str) -> list[str]:
    """The outcome of ``rule`` ("add1" or "fixed") on ``election``."""
    import tarvekbindings

    _check_rule(rule)
    function = tarvekbindings.equal_shares_add1 if rule == "add1" else tarvekbindings.equal_shares_utils
    return function(*election.arguments())


def _check_rule(rule: str) -> None:
    # Any other name would count one rule and report another.
    if rule not in RULES:
        raise ValueError(f"rule must be one of {', '.join(RULES)}, not {rule!r}")


def tied_projects(message: str, projects: dict[str, Any] | list[str]) -> list[str]:
    """The ids named by the engine's tie message ("Tie-breaking failed: a b ").

    Each id is followed by one blank; ids may hold blanks themselves, so the
    text is split into known project ids where possible, preferring the
    shortest id at each step. Where it cannot be split so, at every blank.
    """
    rest = message[len(TIE_PREFIX):] if message.startswith(TIE_PREFIX) else message
    known = set(projects)
    longest = max((len(pid) for pid in known), default=0)
    # ends[i]: the end of the first id at position i of a complete split of
    # rest[i:] into known ids each followed by a blank (-1: no such split).
    # Filled from the end, so that the split needs no recursion.
    n = len(rest)
    ends = [-1] * n

    def splits(i: int) -> bool:
        return i == n or ends[i] != -1

    for i in range(n - 1, -1, -1):
        end = rest.find(" ", i)
        while end != -1 and end - i <= longest:
            if splits(end + 1) and rest[i:end] in known:
                ends[i] = end
                break
            end = rest.find(" ", end + 1)
    if not splits(0):
        return rest.split()
    found: list[str] = []
    i = 0
    while i < n:
        found.append(rest[i : ends[i]])
        i = ends[i] + 1
    return found


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


#: The name a .pb file gives (META "rule") to each rule counted here.
RECORDED_NAMES = {"add1": "equalshares/add1", "fixed": "equalshares"}


def summarize(election: pabulib.Election, outcome: list[str], rule: str) -> dict[str, Any]:
    """The outcome as rows, the money spent and the comparison with the recorded outcome."""
    rows = []
    spent = 0.0
    for rank, pid in enumerate(outcome, 1):
        project = election.projects[pid]
        # Summed in selection order, as the completion measures an outcome.
        spent += project.cost
        rows.append(
            {
                "rank": rank,
                "project_id": pid,
                "name": project.name,
                "cost": project.cost,
                "running_total": spent,
                "supporters": election.supporters(pid),
                "points": election.total_utility[pid],
            }
        )
    budget = election.budget
    summary: dict[str, Any] = {
        "selected": rows,
        "spent": spent,
        "left": budget - spent,
        "share_spent": spent / budget if budget > 0 else None,
        "recorded": None,
    }
    recorded = election.recorded_outcome
    if recorded is not None:
        chosen = set(outcome)
        official = set(recorded)
        recorded_rule = election.meta.get("rule", "").strip()
        summary["recorded"] = {
            "agrees": chosen == official,
            # Whether the file says the rule counted here decided it; None
            # where it does not say.
            "same_rule": None if recorded_rule in ("", "unknown") else recorded_rule == RECORDED_NAMES[rule],
            "count": len(recorded),
            "cost": sum(election.projects[pid].cost for pid in recorded),
            "computed_only": [_brief(election, pid) for pid in outcome if pid not in official],
            "recorded_only": [_brief(election, pid) for pid in recorded if pid not in chosen],
        }
    return summary


def _brief(election: pabulib.Election, pid: str) -> dict[str, Any]:
    project = election.projects[pid]
    return {"project_id": pid, "name": project.name, "cost": project.cost}


def _label(election: pabulib.Election, pid: str) -> str:
    project = election.projects.get(pid)
    if project is not None and project.name:
        return f"'{pid}' ({project.name})"
    return f"'{pid}'"


def _failed(result: dict[str, Any], status: str, message: str, **details: Any) -> FileResult:
    result["status"] = status
    result["error"] = {"message": message, **details}
    return cast(FileResult, result)


def display_name(path: str) -> str:
    return os.path.basename(path) or path
