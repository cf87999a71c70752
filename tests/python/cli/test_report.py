"""The report page and the CSV: untrusted text from a .pb file stays text,
and every output format carries the same numbers."""

from __future__ import annotations

import csv
import io
import json
import os
import re
import shutil
import subprocess
from html import escape
from html.parser import HTMLParser
from pathlib import Path
from urllib.parse import unquote, urljoin, urlparse

import pytest

from tarvek.cli.html_page import page
from tarvek.cli.render import detail, summary_table
from tarvek.results import count_file

from pbfiles import FIXTURES, fixture

#: The markup the page is made of: no script, no image, no link, no frame.
ALLOWED_TAGS = {
    "html", "head", "meta", "title", "style", "body", "main", "h1", "h2", "p", "div", "b", "span",
    "table", "thead", "tbody", "tr", "th", "td", "svg", "rect", "text", "line", "h3", "ul", "li", "br",
}


class Tags(HTMLParser):
    def __init__(self) -> None:
        super().__init__()
        self.tags: list[str] = []
        self.attributes: set[str] = set()
        self.text: list[str] = []
        self.hrefs: list[str] = []

    def handle_starttag(self, tag, attrs):
        self.tags.append(tag)
        self.attributes.update(name for name, _ in attrs)
        self.hrefs.extend(value for name, value in attrs if name == "href")

    def handle_data(self, data):
        self.text.append(data)


def test_hostile_names_stay_text_in_the_page_and_in_csv(run, tmp_path):
    plain = count_file(fixture("hostile.pb"))
    parsed = Tags()
    parsed.feed(page(plain))
    # One row per selected and per left-out project, and the two charts.
    assert parsed.tags.count("tr") == 2 + len(plain["selected"]) + len(plain["left_out"])
    assert parsed.tags.count("svg") == 2

    # The report's page: with the comparison, whose group labels and column
    # names come from the file as well.
    result = count_file(fixture("hostile.pb"), compare=True)
    html = page(result)
    parsed = Tags()
    parsed.feed(html)
    assert set(parsed.tags) <= ALLOWED_TAGS
    assert not {a for a in parsed.attributes if a.startswith("on") or a in ("src", "href")}
    text = "".join(parsed.text)
    for shown in (
        "<script>alert('description')</script>", '"><img src=x onerror=alert(1)>', "<i>p</i>",
        "By <b>area</b>", "<script>alert('group')</script>",
    ):
        assert shown in text

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


CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")


# In CI a missing browser is a fault of the CI setup, not a reason to skip.
@pytest.mark.skipif(CHROMIUM is None and os.environ.get("CI") != "true", reason="Chromium is not installed")
def test_chromium_reads_hostile_names_as_text(tmp_path):
    assert CHROMIUM is not None, "Chromium is not installed (Debian package chromium)"
    (tmp_path / "r.html").write_text(page(count_file(fixture("hostile.pb"), compare=True)), encoding="utf-8")
    # The page as the browser's own HTML parser builds it: no element that
    # markup in a name could have smuggled in, and the names shown as text.
    parsed = browser_dom(tmp_path / "r.html")
    assert "svg" in parsed.tags and set(parsed.tags) <= ALLOWED_TAGS
    text = "".join(parsed.text)
    for shown in (
        "<script>alert('description')</script>", '"><img src=x onerror=alert(1)>', "<i>p</i>",
        "<script>alert('group')</script>", "By <b>area</b>",
    ):
        assert shown in text


def browser_dom(path: Path) -> Tags:
    """The page at ``path`` as Chromium's own HTML parser builds it."""
    assert CHROMIUM is not None, "Chromium is not installed (Debian package chromium)"
    dom = subprocess.run(
        [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--dump-dom", path.as_uri()],
        check=True, capture_output=True, text=True, timeout=120,
    ).stdout
    parsed = Tags()
    parsed.feed(dom)
    return parsed


def test_folder_report_links_a_page_per_election_and_lists_the_failures(run, tmp_path):
    site = tmp_path / "site"
    status, _, err = run("report", "-q", "-j", "2", str(FIXTURES), "-o", str(site))
    assert status == 2, err  # some fixtures cannot be read
    index = (site / "index.html").read_text(encoding="utf-8")
    rows = index.split("<tbody>")[1].split("</tbody>")[0].split("<tr>")[1:]
    files = sorted(FIXTURES.glob("*.pb"))
    assert [re.sub("<[^>]*>", "", row.split("</td>")[0]) for row in rows] == [f.name for f in files]
    links = [unquote(link) for link in re.findall(r'href="([^"]+)"', index)]
    assert sorted(p.name for p in site.iterdir()) == sorted(links + ["index.html"])
    for row, path in zip(rows, files, strict=True):
        result = count_file(str(path))
        if result["status"] == "ok":
            assert f'href="{path.stem}.html"' in row
        else:
            assert "href" not in row and escape(result["error"]["message"]) in row


def test_folder_report_interrupted_keeps_the_pages_written(run, tmp_path, monkeypatch):
    from tarvek import batch

    def first_then_interrupt(files, executor, **options):
        yield 0, count_file(files[0], compare=True)
        raise KeyboardInterrupt

    monkeypatch.setattr(batch, "counts", first_then_interrupt)
    folder = tmp_path / "in"
    folder.mkdir()
    for name in ("approval.pb", "choose1.pb"):
        (folder / name).write_bytes(Path(fixture(name)).read_bytes())
    status, _, err = run("report", "-q", str(folder), "-o", str(tmp_path / "site"))
    assert status == 130 and "interrupted; 1 of 2 files counted" in err
    assert sorted(p.name for p in (tmp_path / "site").iterdir()) == ["approval.html", "index.html"]
    index = (tmp_path / "site" / "index.html").read_text(encoding="utf-8")
    assert 'href="approval.html"' in index and "choose1.pb: not counted (interrupted)" in index


@pytest.mark.skipif(CHROMIUM is None and os.environ.get("CI") != "true", reason="Chromium is not installed")
def test_chromium_follows_the_index_links(run, tmp_path):
    folder = tmp_path / "odd <names> & 100%"
    folder.mkdir()
    for name in ("approval.pb", "hostile.pb"):
        (folder / name).write_bytes(Path(fixture(name)).read_bytes())
    (folder / "a #1?.pb").write_bytes(Path(fixture("cumulative.pb")).read_bytes())
    site = tmp_path / "site"
    status, _, err = run("report", "-q", str(folder), "-o", str(site))
    assert status == 0, err
    index = browser_dom(site / "index.html")
    # Each link, resolved as a browser resolves it, leads to a page of the site.
    base = (site / "index.html").as_uri()
    pages = [Path(unquote(urlparse(urljoin(base, href)).path)) for href in index.hrefs]
    assert sorted(p.name for p in pages) == ["a #1?.html", "approval.html", "hostile.html"]
    assert all(p.is_file() for p in pages)
    assert "<script>alert('description')</script>" in "".join(browser_dom(site / "hostile.html").text)


def test_compare_is_in_every_format_and_only_when_asked(run):
    files = (fixture("approval.pb"), fixture("hostile.pb"))
    _, out, _ = run("--json", files[0])
    assert "comparison" not in json.loads(out)
    _, out, _ = run("--json", "--compare", files[0])
    comparison = json.loads(out)["comparison"]
    funded = {p["project_id"]: p["funded"] for p in comparison["projects"]}
    _, out, _ = run("--csv", "--compare", files[0])
    rows = list(csv.DictReader(io.StringIO(out)))
    assert {r["project_id"]: [r["funded_by_greedy"], r["recorded_selected"]] for r in rows} == {
        pid: [str(f[1]), str(f[2])] for pid, f in funded.items()
    }
    _, out, _ = run("--json", "-q", "--compare", *files)
    shares = [[o["figures"]["share_with_funded"] for o in r["comparison"]["outcomes"]] for r in json.loads(out)]
    _, out, _ = run("--csv", "-q", "--compare", *files)
    rows = list(csv.DictReader(io.StringIO(out)))
    keys = ("with_funded_equal_shares", "with_funded_greedy", "with_funded_recorded")
    assert [[float(r[k]) for k in keys] for r in rows] == shares
    _, table, _ = run("--compare", files[0])
    voters = comparison["outcomes"][1]["figures"]["with_funded"] / comparison["outcomes"][1]["figures"]["voters"]
    assert "Greedy by votes" in table and f"{100 * voters:.1f} %" in table


@pytest.mark.parametrize(
    "text",
    [
        # No voter: every mean is undefined.
        b"META\nkey;value\nbudget;100\nPROJECTS\nproject_id;cost;selected\na;10;1\nVOTES\nvoter_id;vote;age\n",
        # No budget, a free project, and a row cut short before its voter columns.
        b"META\nkey;value\nbudget;0\nPROJECTS\nproject_id;cost\na;0\nb;5\nVOTES\nvoter_id;vote;age;sex\n1;a,b;30\n2;\n",
    ],
)
def test_compare_shows_elections_without_voters_or_budget(text):
    result = count_file("odd.pb", data=text, compare=True)
    assert result["status"] == "ok"
    for fmt in ("table", "csv", "json"):
        detail(result, fmt)
    summary_table([result])
    assert "Equal shares beside greedy by votes" in page(result)
