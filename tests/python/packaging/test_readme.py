"""The Python examples of README.md and docs/, each run beside the files they read (the sample under each
name, an archive of it, a PLACE market made of it, a store of the archive), its output checked where its
heading has a check; and the pages' relative links."""

import bz2
import gzip
import pathlib
import re
import subprocess
import sys
import tarfile

import pytest

import marrowfin
from conftest import ROOT, SANITIZED
from marrowfin_tools import sample_path

PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
# A fenced block whole (so that a comment in it is no heading), or a heading.
PARTS = re.compile(r"^```(\w*)\n(.*?)^```$|^#+ ([^\n]+)$", re.M | re.S)


def examples(page):
    """(the page, the heading above it, the code) per Python example of a page."""
    heading, found = None, []
    for language, code, title in PARTS.findall(page.read_text()):
        heading = title or heading
        if language == "python":
            found.append((str(page.relative_to(ROOT)), heading, code))
    return found


EXAMPLES = [example for page in PAGES for example in examples(page)]
BOOKS = len(marrowfin.iter_prices_file(sample_path()))
MEMBER = "PRO/2024/Jan/1/32884567/1.234567890.bz2"
FIRST = next(marrowfin.iter_prices_file(sample_path()))
LAST = list(marrowfin.iter_prices_file(sample_path()))[-1]


# What an example prints, or a check of it, by its heading.
CHECKS = {
    # The archive's one member, or every runner of the first book, then only those that changed.
    "A first replay": lambda out: out == f"PRO-2024-01.tar:{MEMBER} {BOOKS}\n" or (
        out.splitlines()[:len(FIRST.runners)] == [
            f"{FIRST.publish_time} {r.selection_id} {r.ex.available_to_back[0].price}" for r in FIRST.runners]
        and len(out.splitlines()) < BOOKS * len(FIRST.runners) / 2),
    "Coming from the pure-Python stack": lambda out: (
        out.endswith("True True\n") and "+00:00 28843918 REMOVED 20" in out
        and out.split()[1] == "23270377"),  # sort priority 1, the lowest id is not
    # The recording without a book is a result, not a failure.
    "Mapping a function over files": lambda out: out == "2 done; {}\n",
    "With pandas or polars": lambda out: (
        out.splitlines()[0].split() == ["status", "last_price_traded", "traded_volume"]
        and "WINNER" in out and len(out.splitlines()) == len(FIRST.runners) + 2),
    "With DuckDB": lambda out: len(out.splitlines()) > 5 and all(
        len(fields) == 3 and float(fields[1]) > 0 for fields in map(str.split, out.splitlines())),
    # The favourite at the off, the last row of each runner before the first in play counting.
    "On disk and over a cluster": lambda out: out == "2 written; {}\n[('1.168570499', 23270377, 2.28)]\n",
    "Backtests with flumine": lambda out: out == "1.168570499 23270377 BACK 2.34 2.0 2.68\n",
    # Both markets at their off, in time order, with aware times; the same favourite.
    "Every market, in time order": lambda out: [line.split()[:3] for line in out.splitlines()] == [
        ["WIN", "1.168570499", "race-win.json.gz"], ["PLACE", "1.168570500", "race-place.json.gz"]]
        and len({tuple(line.split()[3:]) for line in out.splitlines()}) == 1 and "+00:00 " in out,
    "The rules": lambda out: out == f"{BOOKS} books\n",
    # The sample's winner, from the archive; its first definition, which no filter for Australia keeps.
    "In Python, with DuckDB": lambda out: [row[:2] for row in eval(out)] == [  # noqa: S307 - printed tuples
        (r.name, r.bsp) for r in LAST.market_definition.runners if r.status == "WINNER"],
    # The sample's favourite at its first book in play, and what backing it made (it won).
    "From archive to store to a filtered backtest": lambda out: out == "1.168570499 23270377 2.28 1.28\n",
    "Market filters": lambda out: out == "1.168570499 Southwell 2024-10-30 20:00:00+00:00 False\n",
}


def test_every_check_has_its_example():
    assert set(CHECKS) - {heading for _, heading, _ in EXAMPLES} == set()


@pytest.mark.parametrize("page", PAGES, ids=lambda page: str(page.relative_to(ROOT)))
def test_relative_links_lead_somewhere(page):
    links = re.findall(r"\]\((?!\w+:)([^)#]+)", page.read_text())
    assert [link for link in links if not (page.parent / link).exists()] == []


@pytest.mark.parametrize("page, heading, code", EXAMPLES,
                         ids=[f"{page}: {heading}" for page, heading, _ in EXAMPLES])
def test_example(tmp_path, page, heading, code):
    if SANITIZED and "import duckdb" in code:
        pytest.skip("DuckDB aborts under the preloaded ASan")
    (tmp_path / "recordings" / "2024").mkdir(parents=True)
    for name in ("race.json.gz", "recordings/race.json.gz", "race-win.json.gz"):
        (tmp_path / name).symlink_to(sample_path())
    (tmp_path / "recordings" / "2024" / "empty.json.gz").write_bytes(gzip.compress(b""))
    place = gzip.decompress(pathlib.Path(sample_path()).read_bytes())
    packed = bz2.compress(place)
    (tmp_path / "1.234567890.bz2").write_bytes(packed)
    for win, place_text in ((b'"1.168570499"', b'"1.168570500"'), (b'"marketType":"WIN"', b'"marketType":"PLACE"'),
                            (b'"numberOfWinners":1', b'"numberOfWinners":3')):
        place = place.replace(win, place_text)
    (tmp_path / "race-place.json.gz").write_bytes(gzip.compress(place))
    with tarfile.open(tmp_path / "PRO-2024-01.tar", "w") as tar:
        tar.add(tmp_path / "1.234567890.bz2", arcname=MEMBER)
    if 'catalog("store")' in code:
        subprocess.run([sys.executable, "-m", "marrowfin_tools", "convert", "PRO-2024-01.tar", "-o", "store"],
                       cwd=tmp_path, check=True, capture_output=True)
    (tmp_path / "example.py").write_text(code)
    done = subprocess.run([sys.executable, "example.py"], cwd=tmp_path, capture_output=True, text=True)
    where = f"the example of {page} under {heading!r}"
    assert done.returncode == 0, f"{where} failed: {done.stderr}"
    assert CHECKS.get(heading, lambda out: True)(done.stdout), f"{where} printed: {done.stdout[-2000:]}"
