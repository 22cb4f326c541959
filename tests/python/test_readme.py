"""The README's Python examples, each run as a script on the bundled sample.

The examples read "race.json.gz" and "recordings/**/*.gz": here the first is
the sample, and the recordings are the sample and a recording without a book.
"""

import gzip
import pathlib
import re
import subprocess
import sys

import pytest

import marrowfin
from marrowfin_tools import sample_path

README = (pathlib.Path(__file__).resolve().parents[2] / "README.md").read_text()
# (the heading above it, the code) per example
EXAMPLES = [(re.findall(r"^## (.+)$", README[:m.start()], re.M)[-1], m.group(1))
            for m in re.finditer(r"^```python\n(.*?)^```$", README, re.M | re.S)]
BOOKS = len(marrowfin.iter_prices_file(sample_path()))
FIRST = next(marrowfin.iter_prices_file(sample_path()))


def expected(heading):
    """What an example prints, or a check of it."""
    return {
        # Every runner of the first book, then only those that changed.
        "A first replay": lambda out: out.splitlines()[:len(FIRST.runners)] == [
            f"{FIRST.publish_time} {r.selection_id} {r.ex.available_to_back[0].price}" for r in FIRST.runners]
            and len(out.splitlines()) < BOOKS * len(FIRST.runners) / 2,
        "Coming from the pure-Python stack": lambda out: (
            out.endswith(f"market-1.168570499.json {BOOKS} books\n") and "+00:00 28843918 REMOVED 20" in out),
        # The recording without a book is a result, not a failure.
        "Many files, many machines": lambda out: out == "2 done; {}\n",
        "Backtests with flumine": lambda out: out == "1.168570499 23270377 BACK 2.34 2.0 2.68\n",
    }[heading]


def test_every_example_is_run():
    assert [heading for heading, _ in EXAMPLES] == [
        "A first replay", "Coming from the pure-Python stack", "Many files, many machines", "Backtests with flumine"]


@pytest.mark.parametrize("heading, code", EXAMPLES, ids=[heading for heading, _ in EXAMPLES])
def test_example(tmp_path, heading, code):
    (tmp_path / "race.json.gz").symlink_to(sample_path())
    (tmp_path / "recordings" / "2024").mkdir(parents=True)
    (tmp_path / "recordings" / "race.json.gz").symlink_to(sample_path())
    (tmp_path / "recordings" / "2024" / "empty.json.gz").write_bytes(gzip.compress(b""))
    (tmp_path / "example.py").write_text(code)
    done = subprocess.run([sys.executable, "example.py"], cwd=tmp_path, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    assert expected(heading)(done.stdout), done.stdout[-2000:]
