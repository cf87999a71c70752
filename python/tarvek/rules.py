"""The words of a count that every part of the package shares: the rules by
name, the unbroken tie and its error, how a project is named in a message,
and why a project was left out.

A leaf: it imports nothing of the package but the election it labels from.
"""

from __future__ import annotations

from collections.abc import Sequence

from .pabulib import Election

#: The rules the package counts with, with what they are.
RULES = {
    "add1": "Method of Equal Shares, completed with Add1",
    "fixed": "Method of Equal Shares, fixed budget (no completion)",
}

#: The name a .pb file gives (META "rule") to each rule counted here.
RECORDED_NAMES = {"add1": "equalshares/add1", "fixed": "equalshares"}

#: Why a project was left out, per reason key (the key is what results carry).
REASONS = {
    "unaffordable": "its supporters could not pay for it",
    "no payable share": "no share of it could be paid",
    "cost not positive": "costs nothing",
    "no supporter": "nobody voted for it",
    "no supporter among the voters": "none of its supporters is a voter",
}

#: Reasons of a project left out for which its shortfall tells how far it was from being funded.
LACKED_MONEY = ("unaffordable", "no payable share")


def check_rule(rule: str) -> None:
    """Raise ValueError unless ``rule`` is a key of :data:`RULES`; any other
    name would count one rule and report another."""
    if rule not in RULES:
        raise ValueError(f"rule must be one of {', '.join(RULES)}, not {rule!r}")


def why_left_out(reason: str, left_in_round: int | None) -> str:
    """Why a project was left out, in words: the round from which it was
    unaffordable where there is one, else its reason."""
    if left_in_round is not None:
        return f"unaffordable from round {left_in_round}"
    return REASONS.get(reason, reason)


def broken_tie_text(round_number: int, chosen: str, tied: Sequence[str]) -> str:
    """How a tie broken by the chosen order is told, after what order broke it."""
    others = ", ".join(f"'{pid}'" for pid in tied if pid != chosen)
    return (
        f"in round {round_number} '{chosen}' was chosen over {others} "
        "(same effective votes, cost and total utility)."
    )


def project_label(election: Election, pid: str) -> str:
    """A project as messages name it: its id, and its name where it has one."""
    project = election.projects.get(pid)
    if project is not None and project.name:
        return f"'{pid}' ({project.name})"
    return f"'{pid}'"


def join_names(labels: Sequence[str]) -> str:
    """"a", "a and b", "a, b and c"."""
    if len(labels) <= 1:
        return "".join(labels)
    return f"{', '.join(labels[:-1])} and {labels[-1]}"


def unbroken_tie_text(labels: Sequence[str]) -> str:
    """What an unbroken tie is, for any message that reports one."""
    return (
        f"the rule met a tie it cannot break between the projects {join_names(labels)} "
        "(equal cost and equal total utility)"
    )


class TieError(RuntimeError):
    """The rule met a tie that survives cost and total utility, and no tie
    order was given. ``tied`` holds the ids of the tied projects, ``labels``
    them as messages name them."""

    def __init__(self, tied: list[str], labels: list[str]) -> None:
        self.tied = tied
        self.labels = labels
        super().__init__(
            f"{unbroken_tie_text(labels)}; choose how to break it: "
            "ties='file-order' (the order of the projects in the file) or "
            "ties='random:SEED' (a seeded random order)"
        )
