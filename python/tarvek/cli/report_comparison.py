"""The report page's comparison: equal shares beside greedy by votes and the
recorded outcome, as HTML with inline SVG histograms (no script).

Every text from the file (ids, names, column names, group labels) goes
through :func:`html.escape`.
"""

from __future__ import annotations

import math
from html import escape
from typing import Any

from ..voter_groups import MIN_GROUP
from .render_comparison import differences, mean, money, percent1

__all__ = ["comparison_section"]

#: Bar colour of each outcome.
COLOURS = {"equal_shares": "#2f7d4f", "greedy": "#3b6fb6", "recorded": "#9aa3ad"}


def _compact(value: float) -> str:
    """A bin edge in few characters: 2.5M, 250k, 40."""
    for size, suffix in ((1e9, "G"), (1e6, "M"), (1e3, "k")):
        if abs(value) >= size:
            return f"{value / size:g}{suffix}"
    return f"{value:g}"


def _bin_label(b: dict[str, Any], whole: bool) -> str:
    if b["low"] == b["high"]:
        return _compact(b["low"])
    if whole:
        low = int(b["low"]) + 1
        high = int(b["high"])
        return _compact(low) if low == high else f"{_compact(low)}–{_compact(high)}"
    return f"≤{_compact(b['high'])}"


def _table(headers: list[tuple[str, str]], rows: list[list[str]]) -> str:
    head = "".join(f'<th class="{kind}">{escape(h)}</th>' for h, kind in headers)
    body = "".join(
        "<tr>" + "".join(f'<td class="{kind}">{cell}</td>' for cell, (_, kind) in zip(row, headers, strict=True))
        + "</tr>"
        for row in rows
    )
    return f"<table><thead><tr>{head}</tr></thead><tbody>{body}</tbody></table>"


def _overview(comparison: dict[str, Any], budget: float) -> str:
    headers = [
        ("outcome", ""), ("projects", "n"), ("spent", "n"), ("voters with a funded project", "n"),
        ("funded projects per voter", "n"), ("utility per voter", "n"), ("money per voter", "n"),
    ]
    rows = []
    for o in comparison["outcomes"]:
        f = o["figures"]
        swatch = f'<span class="swatch" style="background:{COLOURS[o["key"]]}"></span>'
        rows.append([
            swatch + escape(o["label"]), str(len(o["projects"])),
            f"{escape(money(o['spent']))}<br><span class=\"note\">"
            f"{escape(percent1(o['spent'] / budget if budget > 0 else None))} of the budget</span>",
            f"<b>{escape(percent1(f['share_with_funded']))}</b><br><span class=\"note\">"
            f"{f['with_funded']:,} of {f['voters']:,}</span>",
            escape(mean(f["mean_projects"])), escape(mean(f["mean_utility"])), escape(money(f["mean_money"])),
        ])
    return _table(headers, rows) + (
        '<p class="note">Per voter: the funded projects it voted for, the utility it draws from them (its votes '
        "or points for them) and the money spent on them, averaged over all voters. Greedy by votes takes the "
        "projects in order of their votes, each one that still fits into what is left of the budget.</p>"
    )


def _moves(comparison: dict[str, Any]) -> str:
    """Where the money moves: per pair of outcomes what one funds and the
    other does not, then every project on which the outcomes differ."""
    every = [p for p in comparison["projects"] if all(p["funded"])]
    items = [f"<li>Funded by every outcome: {len(every)} projects, {escape(money(_cost(every)))}</li>"]
    items += [
        f"<li>{escape(title)}: {len(projects)} projects, {escape(money(_cost(projects)))}</li>"
        for title, projects in differences(comparison)
    ]
    differing = [p for p in comparison["projects"] if any(p["funded"]) and not all(p["funded"])]
    if not differing:
        return f"<ul>{''.join(items)}</ul><p>The outcomes fund the same projects.</p>"
    headers = [("id", "id"), ("project", ""), ("cost", "n"), ("votes", "n")] + [
        (o["label"], "") for o in comparison["outcomes"]
    ]
    rows = [
        [escape(p["project_id"]), escape(p["name"] or p["project_id"]), escape(money(p["cost"])), f"{p['votes']:,}"]
        + ["funded" if f else "–" for f in p["funded"]]
        for p in differing
    ]
    return (
        f"<ul>{''.join(items)}</ul>"
        f"<h3>The {len(differing)} projects on which the outcomes differ, by votes</h3>" + _table(headers, rows)
    )


def _cost(projects: list[dict[str, Any]]) -> float:
    total = 0.0
    for p in projects:
        total += p["cost"]
    return total


def _histogram(comparison: dict[str, Any], field: str, title: str, whole: bool) -> str:
    """Grouped bars: per bin, the share of voters of each outcome."""
    outcomes = comparison["outcomes"]
    bins = [o["figures"][field] for o in outcomes]
    count = len(bins[0])
    voters = outcomes[0]["figures"]["voters"] or 1
    left, width, top, plot_h = 46, 940, 26, 150
    plot_w = width - left - 10
    group_w = plot_w / count
    bar_w = group_w * 0.8 / len(outcomes)
    peak = max((b["voters"] for hist in bins for b in hist), default=0) / voters
    # Gridlines at a round share: 1, 2, 5, 10, 20 or 25 % apart, four or fewer.
    tick = next((t for t in (0.01, 0.02, 0.05, 0.1, 0.2, 0.25) if 4 * t >= peak), 0.25)
    lines = max(1, math.ceil(peak / tick - 1e-9))
    highest = tick * lines
    height = top + plot_h + 40
    items = [
        f'<svg viewBox="0 0 {width} {height}" width="{width}" height="{height}" role="img" '
        f'aria-label="{escape(title)}" font-size="11" font-family="system-ui, sans-serif">',
        f'<text x="{left}" y="14" font-size="13" font-weight="600">{escape(title)}</text>',
    ]
    for k in range(lines + 1):
        share = tick * k
        y = top + plot_h - plot_h * k / lines
        items.append(f'<line x1="{left}" y1="{y:.1f}" x2="{width - 10}" y2="{y:.1f}" stroke="#e3e8ee"/>')
        items.append(f'<text x="{left - 4}" y="{y + 4:.1f}" text-anchor="end">{100 * share:.0f} %</text>')
    for j in range(count):
        x0 = left + group_w * j + group_w * 0.1
        for k, (o, hist) in enumerate(zip(outcomes, bins, strict=True)):
            share = hist[j]["voters"] / voters
            h = plot_h * share / highest
            items.append(
                f'<rect x="{x0 + k * bar_w:.1f}" y="{top + plot_h - h:.1f}" width="{bar_w:.1f}" height="{h:.1f}" '
                f'fill="{COLOURS[o["key"]]}"><title>{escape(o["label"])}: {hist[j]["voters"]:,} voters '
                f"({100 * share:.1f} %)</title></rect>"
            )
        label = _bin_label(bins[0][j], whole)
        items.append(
            f'<text x="{left + group_w * (j + 0.5):.1f}" y="{top + plot_h + 16}" text-anchor="middle">'
            f"{escape(label)}</text>"
        )
    x = left
    for o in outcomes:
        items.append(f'<rect x="{x}" y="{top + plot_h + 26}" width="10" height="10" fill="{COLOURS[o["key"]]}"/>')
        items.append(f'<text x="{x + 14}" y="{top + plot_h + 35}">{escape(o["label"])}</text>')
        x += 150
    items.append("</svg>")
    return "\n".join(items)


def _numbers(comparison: dict[str, Any], field: str, whole: bool) -> str:
    """The histogram's numbers: per outcome, the voters in each bin."""
    outcomes = comparison["outcomes"]
    bins = outcomes[0]["figures"][field]
    headers = [("voters with", "")] + [(_bin_label(b, whole), "n") for b in bins]
    rows = [[escape(o["label"])] + [f"{b['voters']:,}" for b in o["figures"][field]] for o in outcomes]
    return _table(headers, rows)


def _groups(comparison: dict[str, Any]) -> str:
    if not comparison["groups"]:
        return '<p class="note">The file says nothing about the voters beyond their votes.</p>'
    outcomes = comparison["outcomes"]
    n = len(outcomes)
    labels = "".join(f'<th class="n">{escape(o["label"])}</th>' for o in outcomes)
    parts = []
    for table in comparison["groups"]:
        head = (
            f'<tr><th rowspan="2">{escape(table["column"])}</th><th class="n" rowspan="2">voters</th>'
            f'<th class="n" colspan="{n}">voters with a funded project</th>'
            f'<th class="n" colspan="{n}">utility per voter</th></tr><tr>{labels}{labels}</tr>'
        )
        body = "".join(
            f"<tr><td>{escape(g['label'])}</td><td class=\"n\">{g['voters']:,}</td>"
            + "".join(f'<td class="n">{escape(percent1(f["share_with_funded"]))}</td>' for f in g["figures"])
            + "".join(f'<td class="n">{escape(mean(f["mean_utility"]))}</td>' for f in g["figures"])
            + "</tr>"
            for g in table["groups"]
        )
        parts.append(f"<h3>By {escape(table['column'])}</h3>")
        parts.append(f"<table><thead>{head}</thead><tbody>{body}</tbody></table>")
    parts.append(
        f'<p class="note">Ages are grouped in bands. Groups of fewer than {MIN_GROUP} voters are merged into '
        '"other", so that no small group can be singled out.</p>'
    )
    return "\n".join(parts)


def comparison_section(result: Any) -> list[str]:
    """The page's sections on the comparison; none when the result has none."""
    comparison = result.get("comparison")
    if comparison is None:
        return []
    others = {"greedy": "greedy by votes", "recorded": "the recorded outcome"}
    title = "Equal shares beside " + " and ".join(others[o["key"]] for o in comparison["outcomes"][1:])
    same_scale = all(
        o["figures"]["projects"] == o["figures"]["utility"] for o in comparison["outcomes"]
    )
    charts = [
        _histogram(comparison, "projects", "Voters by the number of funded projects they voted for", True),
        _numbers(comparison, "projects", True),
    ]
    if not same_scale:
        charts += [
            _histogram(comparison, "utility", "Voters by their utility from the funded projects", True),
            _numbers(comparison, "utility", True),
        ]
    charts += [
        _histogram(comparison, "money", "Voters by the money spent on funded projects they voted for", False),
        _numbers(comparison, "money", False),
    ]
    return [
        f"<h2>{escape(title)}</h2>",
        _overview(comparison, result["budget"]),
        "<h2>Where the money moves</h2>",
        _moves(comparison),
        "<h2>What the voters get</h2>",
        *charts,
        "<h2>By voter group</h2>",
        _groups(comparison),
    ]
