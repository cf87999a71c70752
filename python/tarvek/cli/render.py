"""How the ``tarvek`` command shows results: a readable table, JSON or CSV,
for one file in detail or for several files one row each. Text cells of CSV
that a spreadsheet would run as a formula are neutralised (see csv_cell)."""

from __future__ import annotations

import csv
import io
import json
from typing import Any, TextIO

from ..formatting import OTHER_RULE_NOTE, cents, clip, display_name, money, percent, votes
from ..results import FileResult, agreement, error_message, tally
from ..rules import RULES, broken_tie_text, why_left_out
from . import render_comparison
from .text_tables import text_table as _table

FORMATS = ("table", "json", "csv")

#: File name extension of each format, for the output folder.
EXTENSIONS = {"table": ".txt", "json": ".json", "csv": ".csv"}


#: Warnings shown per file on stderr; the rest are counted (JSON has them all).
SHOWN_WARNINGS = 5


def write(out: TextIO, results: list[FileResult], fmt: str, detailed: bool) -> None:
    """Write ``results`` in format ``fmt`` to ``out``: the first in detail, or
    all in summary. Errors and warnings are left to :func:`notes`."""
    if fmt == "json":
        data: Any = results[0] if detailed else results
        out.write(json.dumps(data, indent=2, ensure_ascii=False) + "\n")
    elif fmt == "csv":
        out.write(detail_csv(results[0]) if detailed else summary_csv(results))
    elif detailed:
        if results[0]["status"] == "ok":
            out.write(detail_table(results[0]))
    else:
        out.write(summary_table(results))


def notes(results: list[FileResult], fmt: str) -> list[str]:
    """The lines for stderr: each failure's message (outside JSON, so that a
    pipe never takes them for a result) and each file's warnings (outside
    JSON and CSV, which carry them), a few per file and the rest counted."""
    lines = []
    if fmt != "json":
        lines += [f"tarvek: {error_message(r)}" for r in results if r["status"] != "ok"]
    if fmt == "table":
        for r in results:
            warnings = r.get("warnings") or []
            name = display_name(r["file"])
            lines += [f"tarvek: warning: {name}: {w}" for w in warnings[:SHOWN_WARNINGS]]
            if len(warnings) > SHOWN_WARNINGS:
                lines.append(
                    f"tarvek: warning: {name}: {len(warnings) - SHOWN_WARNINGS} more warnings (all of them with --json)"
                )
    return lines


def detail(result: FileResult, fmt: str) -> str:
    """The full result of one file as the text of a file of its own."""
    if fmt == "json":
        return json.dumps(result, indent=2, ensure_ascii=False) + "\n"
    if fmt == "csv":
        return detail_csv(result)
    if result["status"] == "ok":
        return detail_table(result) + "".join(f"Warning: {w}\n" for w in result.get("warnings") or [])
    return f"{error_message(result)}\n"


def detail_table(result: FileResult) -> str:
    """The readable report of one counted file."""
    lines = []
    if result.get("description"):
        lines.append(result["description"])
    lines.append(f"File:       {display_name(result['file'])}")
    lines.append(f"Election:   {result['voters']:,} voters, {result['projects']} projects, {result['vote_type']} votes")
    lines.append(f"Utilities:  {result['utilities']}")
    lines.append(f"Rule:       {RULES[result['rule']]}")
    lines.append("")
    label = result["points_label"]
    has_names = any(row["name"] for row in result["selected"])
    headers = ["rank", "project"] + (["name"] if has_names else []) + [
        "cost", "running total", label, "eff. votes", "paid", "paid all",
    ]
    rows = []
    for row in result["selected"]:
        cells = [str(row["rank"]), row["project_id"]]
        if has_names:
            cells.append(clip(row["name"] or "", 40))
        cells += [money(row["cost"]), money(row["running_total"]), f"{tally(row, label):,}"]
        cells += [votes(row["effective_votes"]), cents(row["paid"]), f"{row['paid_all']:,}"]
        rows.append(cells)
    n = len(headers)
    if rows:
        lines += _table(headers, rows, right=set(range(n - 6, n)) | {0})
        lines.append(
            "eff. votes: the effective vote count at which the project won its round; paid: what its "
            "supporters paid; paid all: how many of them paid all the money they still held."
        )
    else:
        lines.append("No project is selected.")
    lines.append("")
    lines.append(f"Budget:       {money(result['budget'])}")
    lines.append(f"Spent:        {money(result['spent'])} on {len(result['selected'])} projects")
    lines.append(f"Share spent:  {percent(result['share_spent'])}")
    lines.append(f"Left:         {money(result['left'])}")
    lines += _explanation_lines(result)
    recorded = result.get("recorded")
    if recorded is not None:
        lines.append("")
        rule = f", rule '{result['recorded_rule']}'" if result.get("recorded_rule") else ""
        head = f"Recorded outcome (column 'selected'{rule}: {recorded['count']} projects, {money(recorded['cost'])}):"
        if recorded["agrees"]:
            lines.append(f"{head} the computed outcome agrees with it.")
        else:
            other = OTHER_RULE_NOTE if agreement(result) == "other rule" else ""
            lines.append(f"{head} the computed outcome differs{other}.")
            for title, projects in (
                ("  Selected here, not recorded:", recorded["computed_only"]),
                ("  Recorded, not selected here:", recorded["recorded_only"]),
            ):
                if projects:
                    lines.append(title)
                    for p in projects:
                        named = f" {p['name']}" if p["name"] else ""
                        lines.append(f"    {p['project_id']}{named} ({money(p['cost'])})")
    lines += render_comparison.comparison_lines(result)
    return "\n".join(lines) + "\n"


def _explanation_lines(result: FileResult) -> list[str]:
    """How the outcome came about: the run explained, the ties broken, the
    projects left out, and the exact recount's verdict."""
    lines = [""]
    if result["rule"] == "add1":
        lines.append(
            f"Explained run: the completion's run with the budget {money(result['run_budget'])}, "
            f"each voter starting with {money(result['start_money'])}."
        )
    else:
        lines.append(f"Explained run: each voter started with {money(result['start_money'])}.")
    for tie in result["ties"]:
        lines.append(f"Tie broken ({result['tie_order']}): {broken_tie_text(tie['round'], tie['chosen'], tie['tied'])}")
    left = result["left_out"]
    if left:
        has_names = any(x["name"] for x in left)
        headers = ["project"] + (["name"] if has_names else []) + [
            "cost", "supporters' money", "short by", "why",
        ]
        rows = []
        for x in left:
            cells = [x["project_id"]] + ([clip(x["name"] or "", 40)] if has_names else [])
            cells += [money(x["cost"]), cents(x["supporters_money"]), cents(max(x["shortfall"], 0.0))]
            cells.append(why_left_out(x["reason"], x["left_in_round"]))
            rows.append(cells)
        lines.append("")
        lines.append("Not selected (supporters' money at the end of the run against the cost):")
        n = len(headers)
        lines += _table(headers, rows, right={n - 4, n - 3, n - 2})
    lines += _voter_lines(result)
    certified = result.get("certified")
    if certified is not None:
        lines.append("")
        lines.append(f"Exact recount: {certified['verdict']}.")
    return lines


def _voter_lines(result: FileResult) -> list[str]:
    """What the voters asked for (--voter) paid in the explained run, and kept."""
    voters = result.get("voter_payments")
    if not voters:
        return []
    lines = ["", "Voters (what each paid in the explained run, and the money it had left):"]
    for v in voters:
        if v["left"] is None:
            lines.append(f"  '{v['voter_id']}': not a voter in this file.")
            continue
        paid = ", ".join(f"{cents(p['amount'])} for '{p['project_id']}'" for p in v["paid"]) or "nothing"
        lines.append(f"  '{v['voter_id']}': paid {paid}; left {cents(v['left'])}.")
    return lines


SUMMARY_COLUMNS = [
    "file",
    "status",
    "vote_type",
    "voters",
    "projects",
    "selected",
    "spent",
    "budget",
    "share_spent",
    "agrees_with_recorded",
    "ties_broken",
    "certified",
    "seconds",
    "error",
    "warnings",
]


def summary_row(result: FileResult) -> dict[str, Any]:
    recorded = result.get("recorded")
    selected = result.get("selected")
    return {
        "file": result["file"],
        "status": result["status"],
        "vote_type": result.get("vote_type"),
        "voters": result.get("voters"),
        "projects": result.get("projects"),
        "selected": len(selected) if selected is not None else None,
        "spent": result.get("spent"),
        "budget": result.get("budget"),
        "share_spent": result.get("share_spent"),
        "agrees_with_recorded": None if recorded is None else recorded["agrees"],
        "ties_broken": _ties_broken(result),
        "certified": _certified(result),
        "seconds": round(result["seconds"], 3) if "seconds" in result else None,
        "error": error_message(result),
        "warnings": " | ".join(result.get("warnings") or []) or None,
        **render_comparison.summary_values(result),
    }


def _ties_broken(result: FileResult) -> str | None:
    """The ties broken by the chosen order, as "chosen>other other; ...", if any."""
    ties = result.get("ties")
    if not ties:
        return None
    return "; ".join(f"{t['chosen']}>{' '.join(p for p in t['tied'] if p != t['chosen'])}" for t in ties)


def _certified(result: FileResult) -> str | None:
    certified = result.get("certified")
    if certified is None:
        return None
    return "stands" if certified["stands"] else f"differs from selection {certified['differs_at']}"


def _short_agreement(result: FileResult) -> str:
    verdict = agreement(result)
    return "-" if verdict == "no record" else verdict


def summary_table(results: list[FileResult]) -> str:
    headers = ["file", "status", "type", "voters", "selected", "spent", "budget", "spent %", "recorded"]
    # Columns shown only when some count has them.
    extra = [
        (title, key)
        for title, key in (("ties broken", "ties_broken"), ("exact recount", "certified"))
        if any(summary_row(r)[key] for r in results)
    ]
    headers += [title for title, _ in extra]
    compared = bool(render_comparison.summary_columns(results))
    if compared:
        headers.append("with a funded project (ES / greedy)")
    rows = []
    for result in results:
        r = summary_row(result)
        if r["status"] != "ok":
            rows.append([clip(display_name(r["file"]), 48), r["status"].upper()] + [""] * (len(headers) - 2))
            continue
        rows.append(
            [
                clip(display_name(r["file"]), 48),
                "ok",
                r["vote_type"],
                f"{r['voters']:,}",
                f"{r['selected']}/{r['projects']}",
                money(r["spent"]),
                money(r["budget"]),
                percent(r["share_spent"]),
                _short_agreement(result),
                *(clip(r[key] or "-", 40) for _, key in extra),
                *([render_comparison.summary_cell(result)] if compared else []),
            ]
        )
    lines = _table(headers, rows, right={3, 4, 5, 6, 7})
    ok = sum(1 for r in results if r["status"] == "ok")
    lines.append("")
    lines.append(f"{ok} of {len(results)} files counted.")
    return "\n".join(lines) + "\n"


def summary_csv(results: list[FileResult]) -> str:
    buffer = io.StringIO()
    columns = SUMMARY_COLUMNS + render_comparison.summary_columns(results)
    writer = csv.DictWriter(buffer, fieldnames=columns, lineterminator="\n")
    writer.writeheader()
    for result in results:
        writer.writerow({k: csv_cell(v) for k, v in summary_row(result).items()})
    return buffer.getvalue()


#: One row per project: the selected ones in order of selection, with the
#: numbers of the round that selected them, then those left out, with their
#: supporters' money at the end of the run against their cost. The columns
#: from ``budget`` on describe the whole count and repeat on every row.
#: Without a project (a count that failed) there is one row with only those.
DETAIL_COLUMNS = [
    "rank", "project_id", "name", "cost", "running_total", "supporters", "points",
    "effective_votes", "price", "paid", "paid_all", "tied_with",
    "supporters_money", "shortfall", "not_selected_because", "unaffordable_from_round",
    "budget", "spent", "share_spent", "run_budget", "start_money", "tie_order", "certified",
    "status", "error",
]

#: A text cell that a spreadsheet would run as a formula (=, +, -, @, or a
#: tab or carriage return before one) gets a leading apostrophe, which the
#: spreadsheet shows as text: a project named "=HYPERLINK(...)" stays a name.
FORMULA_STARTS = ("=", "+", "-", "@", "\t", "\r")


def csv_cell(value: Any) -> Any:
    """``value`` as a CSV cell: None empty, text neutralised (see FORMULA_STARTS)."""
    if value is None:
        return ""
    if isinstance(value, str) and value.startswith(FORMULA_STARTS):
        return "'" + value
    return value


def detail_csv(result: FileResult) -> str:
    """Every project, one row each (see DETAIL_COLUMNS)."""
    certified = result.get("certified")
    summary: dict[str, object] = {
        "budget": result.get("budget"),
        "spent": result.get("spent"),
        "share_spent": result.get("share_spent"),
        "run_budget": result.get("run_budget"),
        "start_money": result.get("start_money"),
        "tie_order": result.get("tie_order"),
        "certified": certified["verdict"] if certified else None,
        "status": result["status"],
        "error": error_message(result),
    }
    compared = render_comparison.detail_values(result)
    columns = DETAIL_COLUMNS + (render_comparison.DETAIL_COLUMNS if compared else [])
    rows: list[dict[str, object]] = [
        {**row, "tied_with": " ".join(row.get("tied_with") or []), **summary} for row in result.get("selected") or []
    ]
    for x in result.get("left_out") or []:
        rows.append(
            {
                **x,
                "not_selected_because": x["reason"],
                "unaffordable_from_round": x["left_in_round"],
                **summary,
            }
        )
    buffer = io.StringIO()
    for row in rows:
        row.update(compared.get(str(row["project_id"]), {}))
    writer = csv.DictWriter(buffer, fieldnames=columns, lineterminator="\n", extrasaction="ignore")
    writer.writeheader()
    for row in rows or [summary]:
        writer.writerow({k: csv_cell(row.get(k)) for k in columns})
    return buffer.getvalue()
