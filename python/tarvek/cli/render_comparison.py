"""How the command shows a comparison (``--compare``): equal shares beside
greedy by votes and the recorded outcome, as lines of the table, as columns
of the summary, and as columns of the per-project CSV."""

from __future__ import annotations

from typing import Any

from ..formatting import cents
from ..results import FileResult
from .text_tables import text_table


def percent1(share: float | None) -> str:
    return "-" if share is None else f"{100 * share:.1f} %"


def mean(value: float | None) -> str:
    return "-" if value is None else f"{value:,.2f}"


def money(value: float | None) -> str:
    """An amount to the cent; "-" for none (a mean over no voters)."""
    return "-" if value is None else cents(value)


def differences(comparison: dict[str, Any]) -> list[tuple[str, list[dict[str, Any]]]]:
    """Projects funded by one outcome and not by another: (title, rows), for
    equal shares against each other outcome."""
    outcomes = comparison["outcomes"]
    out = []
    for k in range(1, len(outcomes)):
        for a, b in ((0, k), (k, 0)):
            rows = [p for p in comparison["projects"] if p["funded"][a] and not p["funded"][b]]
            out.append((f"{outcomes[a]['label']}, not {outcomes[b]['label'].lower()}", rows))
    return out


def comparison_lines(result: FileResult) -> list[str]:
    """The comparison as lines of the one-file table."""
    comparison = result.get("comparison")
    if comparison is None:
        return []

    lines = ["", "Equal shares beside greedy by votes" + (" and the recorded outcome:" if len(
        comparison["outcomes"]) > 2 else ":")]
    headers = ["outcome", "projects", "spent", "voters with a funded project", "mean funded", "mean utility",
               "mean money"]
    rows = []
    for o in comparison["outcomes"]:
        f = o["figures"]
        rows.append([o["label"], str(len(o["projects"])), money(o["spent"]), percent1(f["share_with_funded"]),
                     mean(f["mean_projects"]), mean(f["mean_utility"]), money(f["mean_money"])])
    lines += text_table(headers, rows, right={1, 2, 3, 4, 5, 6})
    for title, projects in differences(comparison):
        if projects:
            lines.append(f"  {title}: " + ", ".join(
                f"{p['project_id']} ({money(p['cost'])}, {p['votes']:,})" for p in projects))
    for table in comparison["groups"]:
        lines.append("")
        lines.append(f"Voters with a funded project, by {table['column']}:")
        headers = [table["column"], "voters"] + [o["label"] for o in comparison["outcomes"]]
        rows = [
            [g["label"], f"{g['voters']:,}"] + [percent1(f["share_with_funded"]) for f in g["figures"]]
            for g in table["groups"]
        ]
        lines += text_table(headers, rows, right=set(range(1, len(headers))))
    return lines


def summary_columns(results: list[FileResult]) -> list[str]:
    """The summary columns of the comparison, when some result has one."""
    if not any("comparison" in r for r in results):
        return []
    return ["greedy_spent", "recorded_spent"] + [f"with_funded_{key}" for key in ("equal_shares", "greedy", "recorded")]


def summary_cell(result: FileResult) -> str:
    """Voters with a funded project under equal shares / greedy, for the summary table."""
    values = summary_values(result)
    if not values:
        return "-"
    return f"{percent1(values['with_funded_equal_shares'])} / {percent1(values['with_funded_greedy'])}"


def summary_values(result: FileResult) -> dict[str, Any]:
    comparison = result.get("comparison")
    if comparison is None:
        return {}
    by_key = {o["key"]: o for o in comparison["outcomes"]}
    values: dict[str, Any] = {}
    for key in ("greedy", "recorded"):
        values[f"{key}_spent"] = by_key[key]["spent"] if key in by_key else None
    for key in ("equal_shares", "greedy", "recorded"):
        values[f"with_funded_{key}"] = by_key[key]["figures"]["share_with_funded"] if key in by_key else None
    return values


#: Per-project CSV columns of the comparison: whether each other outcome funds the project.
DETAIL_COLUMNS = ["funded_by_greedy", "recorded_selected"]


def detail_values(result: FileResult) -> dict[str, dict[str, Any]]:
    """Project id -> its comparison columns of the per-project CSV."""
    comparison = result.get("comparison")
    if comparison is None:
        return {}
    keys = [o["key"] for o in comparison["outcomes"]]
    values = {}
    for p in comparison["projects"]:
        funded = dict(zip(keys, p["funded"], strict=True))
        values[p["project_id"]] = {"funded_by_greedy": funded["greedy"], "recorded_selected": funded.get("recorded")}
    return values
