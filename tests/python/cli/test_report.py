"""The report page and the CSV: untrusted text from a .pb file stays text,
and every output format carries the same numbers."""

from __future__ import annotations

import csv
import io
import json
import shutil
import subprocess
from html.parser import HTMLParser

from tarvek.count import count_file
from tarvek.report import page

from datadir import missing
from pbfiles import fixture

#: The markup the page is made of: no script, no image, no link, no frame.
ALLOWED_TAGS = {
    "html", "head", "meta", "title", "style", "body", "main", "h1", "h2", "p", "div", "b", "span",
    "table", "thead", "tbody", "tr", "th", "td", "svg", "rect", "text",
}


class Tags(HTMLParser):
    def __init__(self) -> None:
        super().__init__()
        self.tags: list[str] = []
        self.attributes: set[str] = set()
        self.text: list[str] = []

    def handle_starttag(self, tag, attrs):
        self.tags.append(tag)
        self.attributes.update(name for name, _ in attrs)

    def handle_data(self, data):
        self.text.append(data)


def test_hostile_names_stay_text_in_the_page_and_in_csv(run, tmp_path):
    result = count_file(fixture("hostile.pb"))
    html = page(result)
    parsed = Tags()
    parsed.feed(html)
    assert set(parsed.tags) <= ALLOWED_TAGS
    assert not {a for a in parsed.attributes if a.startswith("on") or a in ("src", "href")}
    text = "".join(parsed.text)
    for shown in ("<script>alert('description')</script>", '"><img src=x onerror=alert(1)>', "<i>p</i>"):
        assert shown in text
    # One row per selected and per left-out project, and the two charts.
    assert parsed.tags.count("tr") == 2 + len(result["selected"]) + len(result["left_out"])
    assert parsed.tags.count("svg") == 2

    status, out, _ = run("--csv", fixture("hostile.pb"))
    assert status == 0
    rows = list(csv.DictReader(io.StringIO(out)))
    cells = {row[key] for row in rows for key in ("project_id", "name")}
    assert cells == {
        "<i>p</i>", "'=HYPERLINK(\"http://evil.example\";\"click\")", "'=1+1",
        '"><img src=x onerror=alert(1)>', "'-3", "'-2+3", "'@cmd", "'+SUM(1)",
    }

    status, _, err = run("report", fixture("hostile.pb"), "-o", str(tmp_path / "r.html"))
    assert status == 0, err
    assert (tmp_path / "r.html").read_text(encoding="utf-8") == html


def test_every_format_carries_the_same_numbers(run):
    args = ("--ties", "file-order", fixture("tie.pb"))
    _, out, _ = run("--json", *args)
    result = json.loads(out)
    assert result["ties"] == [{"round": 1, "tied": ["left side", "right"], "chosen": "left side"}]
    _, out, _ = run("--csv", *args)
    rows = {row["project_id"]: row for row in csv.DictReader(io.StringIO(out))}
    _, table, _ = run(*args)
    parsed = Tags()
    parsed.feed(page(result))
    html = "|".join(parsed.text)
    assert "'left side' was chosen over 'right'" in table and "'left side' was chosen over 'right'" in html
    assert rows["right"]["tied_with"] == "" and rows["left side"]["tied_with"] == "right"
    for project in result["selected"] + result["left_out"]:
        row = rows[project["project_id"]]
        for key in ("cost", "paid", "effective_votes", "supporters_money", "shortfall"):
            if key in project:
                assert float(row[key]) == project[key], key
    for money in ("60", "120"):
        assert f"|{money}|" in html and f" {money}" in table


def test_chromium_renders_the_page(tmp_path):
    if shutil.which("chromium") is None:
        missing("Chromium", "the test command installs Debian's chromium package when run as root")
    (tmp_path / "r.html").write_text(page(count_file(fixture("hostile.pb"))), encoding="utf-8")
    shot = tmp_path / "r.png"
    subprocess.run(
        ["chromium", "--headless", "--no-sandbox", "--disable-gpu", f"--screenshot={shot}",
         "--window-size=1000,800", (tmp_path / "r.html").as_uri()],
        check=True, capture_output=True, timeout=120,
    )
    assert shot.read_bytes().startswith(b"\x89PNG")
