"""The report page: one self-contained HTML file that explains a count.

:func:`page` turns a result of :func:`tarvek.results.count_file` (status "ok")
into a page that needs no network and no script: the budget spent against
the total, the selected projects in order with their effective votes and
what their supporters paid, the projects left out with their supporters'
money against their cost, and an inline SVG chart of it.

A .pb file is untrusted input: every text taken from it (description, ids,
names, file name) goes through :func:`html.escape`, in the page and in the
chart alike, so that markup in a project name shows as text.
"""

from __future__ import annotations

from html import escape

from ..formatting import OTHER_RULE_NOTE, cents, clip, display_name, votes
from ..results import FileResult, LeftOutRow, SelectedRow, agreement, tally
from ..rules import LACKED_MONEY, RULES, broken_tie_text, why_left_out
from .report_comparison import comparison_section

__all__ = ["page"]

#: Projects left out that the chart shows (the closest to being funded).
CHART_LEFT_OUT = 15

_STYLE = """
body { font: 15px/1.45 system-ui, -apple-system, "Segoe UI", Roboto, sans-serif; color: #1d2733;
       margin: 0; background: #f4f6f8; }
main { max-width: 1000px; margin: 0 auto; padding: 24px 28px 40px; background: #fff; }
h1 { font-size: 26px; margin: 0 0 4px; }
h2 { font-size: 19px; margin: 32px 0 8px; border-bottom: 2px solid #e3e8ee; padding-bottom: 4px; }
.facts { color: #55606d; margin: 0 0 18px; }
.headline { display: flex; gap: 28px; flex-wrap: wrap; margin: 12px 0 6px; }
.figure { min-width: 150px; }
.figure b { display: block; font-size: 24px; }
.figure span { color: #55606d; font-size: 13px; }
.note { color: #55606d; font-size: 13px; }
.verdict { padding: 8px 12px; border-radius: 6px; background: #eef6ee; margin: 10px 0; }
.verdict.differs { background: #fdf0e6; }
table { border-collapse: collapse; width: 100%; font-size: 14px; }
th, td { padding: 4px 8px; border-bottom: 1px solid #e3e8ee; text-align: left; vertical-align: top; }
th { background: #f4f6f8; font-weight: 600; }
td.n, th.n { text-align: right; font-variant-numeric: tabular-nums; white-space: nowrap; }
td.id { color: #55606d; white-space: nowrap; }
td:last-child { white-space: nowrap; }
svg { display: block; max-width: 100%; height: auto; margin: 8px 0; }
h3 { font-size: 16px; margin: 18px 0 6px; }
td .note { font-size: 12px; }
td:first-child { white-space: nowrap; }
th.n { white-space: normal; }
th[colspan] { text-align: center; }
.swatch { display: inline-block; width: 10px; height: 10px; margin-right: 6px; }
"""

_SELECTED = "#2f7d4f"
_HELD = "#e39a3b"
_COST = "#d6dbe1"


def page(result: FileResult) -> str:
    """The report page of a counted election (``result["status"] == "ok"``)."""
    if result.get("status") != "ok":
        raise ValueError("a report needs a counted election")
    title = result.get("description") or display_name(result["file"])
    parts = [
        "<!DOCTYPE html>",
        '<html lang="en">',
        "<head>",
        '<meta charset="utf-8">',
        '<meta name="viewport" content="width=device-width, initial-scale=1">',
        f"<title>{escape(title)} – equal shares outcome</title>",
        f"<style>{_STYLE}</style>",
        "</head>",
        "<body>",
        "<main>",
        f"<h1>{escape(title)}</h1>",
        _facts(result),
        _headline(result),
        _budget_bar(result),
        *_verdicts(result),
        *comparison_section(result),
        "<h2>Each project's cost and what its supporters had</h2>",
        _chart(result),
        "<h2>Selected projects, in order of selection</h2>",
        _selected_table(result),
        "<h2>Projects not selected</h2>",
        _left_out_table(result),
        _footer(result),
        "</main>",
        "</body>",
        "</html>",
    ]
    return "\n".join(parts) + "\n"


def _money(value: float | None) -> str:
    return "–" if value is None else cents(value)


def _facts(result: FileResult) -> str:
    return (
        f'<p class="facts">{escape(display_name(result["file"]))} · {result["voters"]:,} voters · '
        f'{result["projects"]} projects · {escape(result["vote_type"])} votes · {escape(RULES[result["rule"]])}</p>'
    )


def _headline(result: FileResult) -> str:
    share = result.get("share_spent")
    figures = [
        (_money(result["spent"]), f"spent of {_money(result['budget'])}"),
        ("–" if share is None else f"{100 * share:.1f} %", "of the budget"),
        (f"{len(result['selected'])}", f"of {result['projects']} projects selected"),
        (_money(result["left"]), "left unspent"),
    ]
    cells = "".join(f'<div class="figure"><b>{escape(a)}</b><span>{escape(b)}</span></div>' for a, b in figures)
    return f'<div class="headline">{cells}</div>'


def _budget_bar(result: FileResult) -> str:
    budget = result["budget"]
    share = min(max(result["spent"] / budget, 0.0), 1.0) if budget > 0 else 0.0
    width = 940
    spent = round(share * width, 1)
    return (
        f'<svg viewBox="0 0 {width} 26" width="{width}" height="26" role="img" '
        f'aria-label="{escape(_money(result["spent"]))} spent of {escape(_money(budget))}">'
        f'<rect x="0" y="3" width="{width}" height="20" rx="4" fill="{_COST}"/>'
        f'<rect x="0" y="3" width="{spent}" height="20" rx="4" fill="{_SELECTED}"/></svg>'
    )


def _verdicts(result: FileResult) -> list[str]:
    out = []
    recorded = result.get("recorded")
    if recorded is not None:
        if recorded["agrees"]:
            text = "The computed outcome agrees with the outcome recorded in the file."
        else:
            other = OTHER_RULE_NOTE if agreement(result) == "other rule" else ""
            text = (
                f"The computed outcome differs from the outcome recorded in the file{other}: "
                f"{len(recorded['computed_only'])} selected here only, "
                f"{len(recorded['recorded_only'])} recorded only."
            )
        out.append(f'<p class="verdict{"" if recorded["agrees"] else " differs"}">{escape(text)}</p>')
    for tie in result.get("ties") or []:
        text = f"Tie broken by {result['tie_order']}: {broken_tie_text(tie['round'], tie['chosen'], tie['tied'])}"
        out.append(f'<p class="verdict differs">{escape(text)}</p>')
    certified = result.get("certified")
    if certified is not None:
        cls = "verdict" if certified["stands"] else "verdict differs"
        out.append(f'<p class="{cls}">Exact recount in rational arithmetic: {escape(certified["verdict"])}.</p>')
    return out


def _name(row: SelectedRow | LeftOutRow) -> str:
    return str(row.get("name") or row["project_id"])


def _chart(result: FileResult) -> str:
    """Horizontal bars on one scale: a selected project's cost (all paid by
    its supporters); a project left out, its cost in grey with its
    supporters' money in orange."""
    left = [x for x in result["left_out"] if x["reason"] in LACKED_MONEY]
    shown_left = left[:CHART_LEFT_OUT]
    rows: list[tuple[str, float, float, str]] = [
        (f"{r['rank']}. {_name(r)}", r["cost"], r["cost"], _SELECTED) for r in result["selected"]
    ]
    rows += [(_name(x), x["cost"], max(min(x["supporters_money"], x["cost"]), 0.0), _HELD) for x in shown_left]
    if not rows:
        return '<p class="note">No project to chart.</p>'
    label_w, bar_w, value_w, row_h, top = 330, 470, 140, 22, 30
    width = label_w + bar_w + value_w
    scale = bar_w / max(max(r[1] for r in rows), 1e-300)
    gap = 28 if shown_left else 0
    height = top + row_h * len(rows) + gap + 10
    items = [
        f'<svg viewBox="0 0 {width} {height}" width="{width}" height="{height}" role="img" '
        'aria-label="Cost of each project and what its supporters had" font-size="12" '
        'font-family="system-ui, sans-serif">',
        f'<rect x="{label_w}" y="6" width="12" height="12" fill="{_SELECTED}"/>'
        f'<text x="{label_w + 18}" y="16">selected: its cost, paid by its supporters</text>'
        f'<rect x="{label_w + 270}" y="6" width="12" height="12" fill="{_HELD}"/>'
        f'<text x="{label_w + 288}" y="16">not selected: its supporters\' money</text>'
        f'<rect x="{label_w + 530}" y="6" width="12" height="12" fill="{_COST}"/>'
        f'<text x="{label_w + 548}" y="16">cost</text>',
    ]
    y = top
    for k, (label, cost, filled, colour) in enumerate(rows):
        if k == len(result["selected"]) and shown_left:
            items.append(
                f'<text x="0" y="{y + 16}" font-weight="600">Not selected, closest to being funded</text>'
            )
            y += gap
        items.append(f'<text x="{label_w - 8}" y="{y + 15}" text-anchor="end">{escape(clip(label, 44))}</text>')
        items.append(f'<rect x="{label_w}" y="{y + 3}" width="{cost * scale:.1f}" height="16" fill="{_COST}"/>')
        items.append(f'<rect x="{label_w}" y="{y + 3}" width="{filled * scale:.1f}" height="16" fill="{colour}"/>')
        value = _money(cost) if colour == _SELECTED else f"{_money(filled)} / {_money(cost)}"
        items.append(f'<text x="{label_w + cost * scale + 6:.1f}" y="{y + 15}">{escape(value)}</text>')
        y += row_h
    items.append("</svg>")
    note = ""
    if len(left) > len(shown_left):
        note = (
            f'<p class="note">The chart shows the {len(shown_left)} of {len(left)} projects not selected '
            "that came closest; the table below lists them all.</p>"
        )
    return "\n".join(items) + note


def _table(headers: list[tuple[str, str]], rows: list[list[str]]) -> str:
    """A table; each header with the class of its column ("n": a number)."""
    head = "".join(f'<th class="{kind}">{escape(h)}</th>' for h, kind in headers)
    body = []
    for row in rows:
        cells = "".join(f'<td class="{kind}">{cell}</td>' for cell, (_, kind) in zip(row, headers, strict=True))
        body.append(f"<tr>{cells}</tr>")
    return f"<table><thead><tr>{head}</tr></thead><tbody>{''.join(body)}</tbody></table>"


def _selected_table(result: FileResult) -> str:
    if not result["selected"]:
        return "<p>No project is selected.</p>"
    label = result["points_label"]
    headers = [
        ("#", "n"), ("id", "id"), ("project", ""), ("cost", "n"), (label, "n"), ("effective votes", "n"),
        ("paid by supporters", "n"), ("paid all they had", "n"),
    ]
    rows = []
    for r in result["selected"]:
        name = escape(_name(r))
        if r.get("tied_with"):
            name += f' <span class="note">(tie with {escape(", ".join(r["tied_with"]))})</span>'
        rows.append(
            [
                str(r["rank"]), escape(r["project_id"]), name, escape(_money(r["cost"])), f"{tally(r, label):,}",
                votes(r["effective_votes"]), escape(_money(r["paid"])), f"{r['paid_all']:,}",
            ]
        )
    return _table(headers, rows) + (
        '<p class="note">Effective votes: the votes a project could gather when it was selected, counting '
        "each supporter by how much of its equal share it could still pay. A project's supporters pay its "
        "cost together, each in proportion to its utility and never more than it still holds.</p>"
    )


def _left_out_table(result: FileResult) -> str:
    if not result["left_out"]:
        return "<p>Every project is selected.</p>"
    headers = [
        ("id", "id"), ("project", ""), ("cost", "n"), ("supporters", "n"), ("supporters' money", "n"),
        ("short by", "n"), ("why", ""),
    ]
    rows = []
    for x in result["left_out"]:
        why = why_left_out(x["reason"], x["left_in_round"])
        rows.append(
            [
                escape(x["project_id"]), escape(_name(x)), escape(_money(x["cost"])), f"{x['supporters']:,}",
                escape(_money(x["supporters_money"])), escape(_money(max(x["shortfall"], 0.0))), escape(why),
            ]
        )
    return _table(headers, rows) + (
        '<p class="note">Supporters\' money: what the project\'s supporters still held at the end of the '
        "count, against its cost.</p>"
    )


def _footer(result: FileResult) -> str:
    if result["rule"] == "add1":
        run = (
            f"The outcome is that of the Add1 completion: the rule run with the budget "
            f"{_money(result['run_budget'])}, each voter starting with {_money(result['start_money'])}, "
            "the first of the completion's trial budgets from which every run up to its end selected "
            f"these projects in this order, each costing no more than the real budget of {_money(result['budget'])}. "
            "The payments and money shown are those of that run."
        )
    else:
        run = f"Each voter started with {_money(result['start_money'])}, an equal share of the budget."
    return f'<p class="note" style="margin-top:28px">{escape(run)} Counted with tarvek.</p>'
