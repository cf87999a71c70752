"""How the ``tarvek`` command shows results: a readable table, JSON or CSV,
for one file in detail or for several files one row each."""

from __future__ import annotations

import csv
import io
import json
from typing import Any, TextIO

from ..count import RULES, display_name

FORMATS = ("table", "json", "csv")

#: File name extension of each format, for the output folder.
EXTENSIONS = {"table": ".txt", "json": ".json", "csv": ".csv"}


#: Warnings shown per file on stderr; the rest are counted (JSON has them all).
SHOWN_WARNINGS = 5


def write(out: TextIO, results: list[dict[str, Any]], fmt: str, detailed: bool) -> None:
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


def notes(results: list[dict[str, Any]], fmt: str) -> list[str]:
    """The lines for stderr: each failure's message (outside JSON, so that a
    pipe never takes them for a result) and each file's warnings (outside
    JSON and CSV, which carry them), a few per file and the rest counted."""
    lines = []
    if fmt != "json":
        lines += [f"tarvek: {r['error']['message']}" for r in results if r["status"] != "ok"]
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


def detail(result: dict[str, Any], fmt: str) -> str:
    """The full result of one file as the text of a file of its own."""
    if fmt == "json":
        return json.dumps(result, indent=2, ensure_ascii=False) + "\n"
    if fmt == "csv":
        return detail_csv(result)
    if result["status"] == "ok":
        return detail_table(result) + "".join(f"Warning: {w}\n" for w in result.get("warnings") or [])
    return f"{result['error']['message']}\n"


def money(value: float | None) -> str:
    if value is None:
        return "-"
    if value == int(value):
        return f"{int(value):,}"
    return f"{value:,.2f}"


def percent(share: float | None) -> str:
    return "-" if share is None else f"{100 * share:.2f} %"


def _clip(text: str, width: int) -> str:
    return text if len(text) <= width else text[: width - 1] + "…"


def _table(headers: list[str], rows: list[list[str]], right: set[int]) -> list[str]:
    widths = [max(len(h), *(len(r[i]) for r in rows)) if rows else len(h) for i, h in enumerate(headers)]

    def fmt(cells: list[str]) -> str:
        parts = [c.rjust(w) if i in right else c.ljust(w) for i, (c, w) in enumerate(zip(cells, widths, strict=True))]
        return "  ".join(parts).rstrip()

    return [fmt(headers), fmt(["-" * w for w in widths]), *(fmt(r) for r in rows)]


def detail_table(result: dict[str, Any]) -> str:
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
    key = "points" if label == "points" else "supporters"
    has_names = any(row["name"] for row in result["selected"])
    headers = ["rank", "project"] + (["name"] if has_names else []) + ["cost", "running total", label]
    rows = []
    for row in result["selected"]:
        cells = [str(row["rank"]), row["project_id"]]
        if has_names:
            cells.append(_clip(row["name"] or "", 40))
        cells += [money(row["cost"]), money(row["running_total"]), f"{row[key]:,}"]
        rows.append(cells)
    n = len(headers)
    if rows:
        lines += _table(headers, rows, right={0, n - 3, n - 2, n - 1})
    else:
        lines.append("No project is selected.")
    lines.append("")
    lines.append(f"Budget:       {money(result['budget'])}")
    lines.append(f"Spent:        {money(result['spent'])} on {len(result['selected'])} projects")
    lines.append(f"Share spent:  {percent(result['share_spent'])}")
    lines.append(f"Left:         {money(result['left'])}")
    recorded = result.get("recorded")
    if recorded is not None:
        lines.append("")
        rule = f", rule '{result['recorded_rule']}'" if result.get("recorded_rule") else ""
        head = f"Recorded outcome (column 'selected'{rule}: {recorded['count']} projects, {money(recorded['cost'])}):"
        if recorded["agrees"]:
            lines.append(f"{head} the computed outcome agrees with it.")
        else:
            other = " (the file says another rule decided it)" if recorded.get("same_rule") is False else ""
            lines.append(f"{head} the computed outcome differs{other}.")
            for title, key in (
                ("  Selected here, not recorded:", "computed_only"),
                ("  Recorded, not selected here:", "recorded_only"),
            ):
                if recorded[key]:
                    lines.append(title)
                    for p in recorded[key]:
                        named = f" {p['name']}" if p["name"] else ""
                        lines.append(f"    {p['project_id']}{named} ({money(p['cost'])})")
    return "\n".join(lines) + "\n"


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
    "seconds",
    "error",
    "warnings",
]


def summary_row(result: dict[str, Any]) -> dict[str, Any]:
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
        "seconds": round(result["seconds"], 3) if "seconds" in result else None,
        "error": result["error"]["message"] if result.get("error") else None,
        "warnings": " | ".join(result.get("warnings") or []) or None,
    }


def _agreement(result: dict[str, Any]) -> str:
    recorded = result.get("recorded")
    if recorded is None:
        return "-"
    if recorded["agrees"]:
        return "agrees"
    # An outcome decided by another rule is expected to differ.
    return "other rule" if recorded.get("same_rule") is False else "differs"


def summary_table(results: list[dict[str, Any]]) -> str:
    headers = ["file", "status", "type", "voters", "selected", "spent", "budget", "spent %", "recorded"]
    rows = []
    for result in results:
        r = summary_row(result)
        if r["status"] != "ok":
            rows.append([_clip(display_name(r["file"]), 48), r["status"].upper()] + [""] * 7)
            continue
        rows.append(
            [
                _clip(display_name(r["file"]), 48),
                "ok",
                r["vote_type"],
                f"{r['voters']:,}",
                f"{r['selected']}/{r['projects']}",
                money(r["spent"]),
                money(r["budget"]),
                percent(r["share_spent"]),
                _agreement(result),
            ]
        )
    lines = _table(headers, rows, right={3, 4, 5, 6, 7})
    ok = sum(1 for r in results if r["status"] == "ok")
    lines.append("")
    lines.append(f"{ok} of {len(results)} files counted.")
    return "\n".join(lines) + "\n"


def summary_csv(results: list[dict[str, Any]]) -> str:
    buffer = io.StringIO()
    writer = csv.DictWriter(buffer, fieldnames=SUMMARY_COLUMNS, lineterminator="\n")
    writer.writeheader()
    for result in results:
        writer.writerow(summary_row(result))
    return buffer.getvalue()


#: One row per selected project; the columns after ``points`` describe the
#: whole count and repeat on every row. Without a selected project (a count
#: that failed, or selects nothing) there is one row with only those.
DETAIL_COLUMNS = [
    "rank", "project_id", "name", "cost", "running_total", "supporters", "points",
    "budget", "spent", "share_spent", "status", "error",
]


def detail_csv(result: dict[str, Any]) -> str:
    """The selected projects, one row each, with the budget, the amount spent
    and the status of the count."""
    summary = {
        "budget": result.get("budget"),
        "spent": result.get("spent"),
        "share_spent": result.get("share_spent"),
        "status": result["status"],
        "error": result["error"]["message"] if result.get("error") else None,
    }
    rows = [{**row, **summary} for row in result.get("selected") or []] or [summary]
    buffer = io.StringIO()
    writer = csv.DictWriter(buffer, fieldnames=DETAIL_COLUMNS, lineterminator="\n", extrasaction="ignore")
    writer.writeheader()
    for row in rows:
        writer.writerow({k: ("" if row.get(k) is None else row[k]) for k in DETAIL_COLUMNS})
    return buffer.getvalue()
