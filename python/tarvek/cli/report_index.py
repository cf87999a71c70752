"""The index page of a folder report: one row per election, linking to its page.

Each row holds the election's status, size and budget, what equal shares,
greedy by votes and the recorded outcome spend and the share of voters with
a funded project under each, and the agreement of equal shares with the
recorded outcome; a file that could not be counted gets its error instead. Every text from a file is escaped,
and every link is a page name of our own, quoted for a URL.
"""

from __future__ import annotations

from html import escape
from typing import Any
from urllib.parse import quote

from ..formatting import cents, display_name
from ..results import FileResult, agreement, error_message
from .render_comparison import percent1

__all__ = ["index_page"]

_STYLE = """
body { font: 14px/1.45 system-ui, -apple-system, "Segoe UI", Roboto, sans-serif; color: #1d2733;
       margin: 0; background: #f4f6f8; }
main { max-width: 1200px; margin: 0 auto; padding: 24px 28px 40px; background: #fff; }
h1 { font-size: 24px; margin: 0 0 12px; }
.note { color: #55606d; font-size: 13px; }
table { border-collapse: collapse; width: 100%; }
th, td { padding: 4px 8px; border-bottom: 1px solid #e3e8ee; text-align: left; vertical-align: top; }
th { background: #f4f6f8; font-weight: 600; }
th[colspan] { text-align: center; }
td.n { text-align: right; font-variant-numeric: tabular-nums; white-space: nowrap; }
th.n { text-align: right; }
td:first-child { min-width: 200px; max-width: 330px; overflow-wrap: anywhere; }
td.error { color: #9b3b12; }
td:last-child { min-width: 140px; }
a { color: #1f5fa8; }
"""


def _agreement(result: FileResult) -> str:
    verdict = agreement(result)
    recorded = result.get("recorded")
    if recorded is None or verdict == "agrees":
        return verdict
    return f"{verdict}: {len(recorded['computed_only'])} here only, {len(recorded['recorded_only'])} recorded only"


def _outcome_cells(result: FileResult, key: str) -> list[str]:
    comparison = result.get("comparison") or {}
    outcome: dict[str, Any] | None = next((o for o in comparison.get("outcomes", []) if o["key"] == key), None)
    if outcome is None:
        return ["", ""]
    return [
        escape(cents(outcome["spent"])),
        escape(percent1(outcome["figures"]["share_with_funded"])),
    ]


#: The outcomes of the index, by the comparison's keys, with their headers.
OUTCOMES = (("equal_shares", "equal shares"), ("greedy", "greedy by votes"), ("recorded", "recorded outcome"))

#: Columns after the election's name and status.
_WIDTH = 3 + 2 * len(OUTCOMES) + 1


def _row(result: FileResult, page: str | None) -> str:
    name = escape(display_name(result["file"]))
    link = f'<a href="{escape(quote(page))}">{name}</a>' if page else name
    status = escape(result["status"])
    if result["status"] != "ok":
        message = error_message(result) or result["status"]
        return f'<tr><td>{link}</td><td>{status}</td><td colspan="{_WIDTH}" class="error">{escape(message)}</td></tr>'
    cells = [f"{result['voters']:,}", str(result["projects"]), escape(cents(result["budget"]))]
    for key, _ in OUTCOMES:
        cells += _outcome_cells(result, key)
    numbers = "".join(f'<td class="n">{c}</td>' for c in cells)
    return f"<tr><td>{link}</td><td>{status}</td>{numbers}<td>{escape(_agreement(result))}</td></tr>"


def index_page(rows: list[tuple[FileResult, str | None]], title: str, note: str = "") -> str:
    """The index of ``rows``: each a result and the name of its page (None: no page)."""
    head = (
        '<tr><th rowspan="2">election</th><th rowspan="2">status</th><th class="n" rowspan="2">voters</th>'
        '<th class="n" rowspan="2">projects</th><th class="n" rowspan="2">budget</th>'
        + "".join(f'<th colspan="2">{label}</th>' for _, label in OUTCOMES)
        + '<th rowspan="2">equal shares against the recorded outcome</th></tr><tr>'
        + '<th class="n">spent</th><th class="n">voters with a funded project</th>' * len(OUTCOMES)
        + "</tr>"
    )
    body = "".join(_row(result, page) for result, page in rows)
    counted = sum(1 for result, _ in rows if result["status"] == "ok")
    return "\n".join(
        [
            "<!DOCTYPE html>",
            '<html lang="en">',
            "<head>",
            '<meta charset="utf-8">',
            '<meta name="viewport" content="width=device-width, initial-scale=1">',
            f"<title>{escape(title)}</title>",
            f"<style>{_STYLE}</style>",
            "</head>",
            "<body>",
            "<main>",
            f"<h1>{escape(title)}</h1>",
            f'<p class="note">{counted} of {len(rows)} elections counted. {escape(note)}</p>',
            f"<table><thead>{head}</thead><tbody>{body}</tbody></table>",
            '<p class="note">Each election links to its report page. Counted with tarvek.</p>',
            "</main>",
            "</body>",
            "</html>",
        ]
    ) + "\n"
