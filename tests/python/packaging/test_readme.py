"""The README's Python examples, each run as a script on the bundled sample.

The examples read "race.json.gz" and "recordings/**/*.gz": here the first is
the sample, and the recordings are the sample and a recording without a book;
the downloaded archive "PRO-2024-01.tar" holds the sample as bzip2, which
"1.234567890.bz2" is too.
"""

import bz2
import gzip
import io
import pathlib
import re
import subprocess
import sys
import tarfile

import pytest

import pyarrow as pa
import pyarrow.compute as pc

import marrowfin
from conftest import ROOT, SANITIZED
from marrowfin_tools import price_table, sample_path

README = (ROOT / "README.md").read_text()
# (the heading above it, the code) per example
EXAMPLES = [(re.findall(r"^## (.+)$", README[:m.start()], re.M)[-1], m.group(1))
            for m in re.finditer(r"^```python\n(.*?)^```$", README, re.M | re.S)]
BOOKS = len(marrowfin.iter_prices_file(sample_path()))
MEMBER = "PRO/2024/Jan/1/32884567/1.234567890.bz2"
FIRST = next(marrowfin.iter_prices_file(sample_path()))


def favourite_at_the_off():
    """(market, the selection ids at the lowest best back price, that price) before the first
    in-play row, each runner's last row counting, from the sample's table."""
    table = pa.table(price_table(sample_path()))
    off = pc.min(table.filter(table["inplay"])["publish_time"])
    last = {}
    for row in table.filter(pc.less(table["publish_time"], off)).to_pylist():
        last[row["selection_id"]] = row
    prices = {s: r["back_price_1"] for s, r in last.items() if r["status"] == "ACTIVE" and r["back_price_1"]}
    best = min(prices.values())
    return table["market_id"][0].as_py(), {s for s, p in prices.items() if p == best}, best


def table_example(out):
    """The Tables examples: the pandas frame, DuckDB's spreads, the favourite at the off."""
    lines = out.splitlines()
    if lines[0].split() == ["status", "last_price_traded", "traded_volume"]:
        return "WINNER" in out and len(lines) == len(FIRST.runners) + 2
    if lines[0] == "2 written; {}":
        market, favourites, price = favourite_at_the_off()
        (got,) = eval(lines[1])  # noqa: S307 - a list of tuples, printed by the example
        return len(lines) == 2 and got[0] == market and got[1] in favourites and got[2] == price
    spreads = [line.split() for line in lines]
    return all(len(fields) == 3 and float(fields[1]) > 0 for fields in spreads) and len(spreads) > 5


def expected(heading):
    """What an example prints, or a check of it."""
    return {
        # The archive's one member, or every runner of the first book, then only those that changed.
        "A first replay": lambda out: out == f"PRO-2024-01.tar:{MEMBER} {BOOKS}\n" or (
            out.splitlines()[:len(FIRST.runners)] == [
                f"{FIRST.publish_time} {r.selection_id} {r.ex.available_to_back[0].price}" for r in FIRST.runners]
            and len(out.splitlines()) < BOOKS * len(FIRST.runners) / 2),
        "Coming from the pure-Python stack": lambda out: (
            out.endswith(f"market-1.168570499.json {BOOKS} books\n") and "+00:00 28843918 REMOVED 20" in out),
        # The recording without a book is a result, not a failure.
        "Many files, many machines": lambda out: out == "2 done; {}\n",
        "Tables for analysis": table_example,
        "Backtests with flumine": lambda out: out == "1.168570499 23270377 BACK 2.34 2.0 2.68\n",
    }[heading]


def test_every_example_is_run():
    assert [heading for heading, _ in EXAMPLES] == [
        "A first replay", "A first replay", "Coming from the pure-Python stack", "Many files, many machines",
        "Tables for analysis", "Tables for analysis", "Tables for analysis", "Backtests with flumine"]


@pytest.mark.parametrize("heading, code", EXAMPLES, ids=[heading for heading, _ in EXAMPLES])
def test_example(tmp_path, heading, code):
    if SANITIZED and "import duckdb" in code:
        pytest.skip("DuckDB aborts under the preloaded ASan")
    (tmp_path / "race.json.gz").symlink_to(sample_path())
    (tmp_path / "recordings" / "2024").mkdir(parents=True)
    (tmp_path / "recordings" / "race.json.gz").symlink_to(sample_path())
    (tmp_path / "recordings" / "2024" / "empty.json.gz").write_bytes(gzip.compress(b""))
    packed = bz2.compress(gzip.decompress(pathlib.Path(sample_path()).read_bytes()))
    (tmp_path / "1.234567890.bz2").write_bytes(packed)
    with tarfile.open(tmp_path / "PRO-2024-01.tar", "w") as tar:
        member = tarfile.TarInfo(MEMBER)
        member.size = len(packed)
        tar.addfile(member, io.BytesIO(packed))
    (tmp_path / "example.py").write_text(code)
    done = subprocess.run([sys.executable, "example.py"], cwd=tmp_path, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    assert expected(heading)(done.stdout), done.stdout[-2000:]
