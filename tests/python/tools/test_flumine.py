"""MarrowfinStream in flumine's FlumineSimulation, against flumine's own historical stream.

A deterministic strategy runs once on each stream; the books it is shown and
the orders it places, with their matched sizes, prices and profits, must agree.
"""

import gzip
import os
import pathlib
import re
import subprocess
import sys

import flumine  # a test extra, so that this runs rather than skips
import pytest
from flumine.streams.betfairhistoricalstream import BetfairHistoricalStream

from conftest import PEER_DATA
from flumine_backtest import simulate as run_backtest
from marrowfin_tools import sample_path
from marrowfin_tools.flumine import MarrowfinStream

# flumine's own stream cannot read a file without a market definition
# (1.209492553) and yields every market of a file with several (the SUB_IMAGE
# file); ours replays one market per file.
PEER_FILES = sorted(str(p) for p in PEER_DATA.glob("*")
                    if p.name not in ("README.md", "1.209492553") and "SUB_IMAGE" not in p.name
                    ) if PEER_DATA.is_dir() else []  # fmt: skip
SAMPLE = sample_path()


def simulate(stream_class, paths, **listener_kwargs):
    """(publish times the strategy saw, the orders it placed)."""
    return run_backtest(stream_class, paths, **listener_kwargs)[1:]


@pytest.mark.parametrize("path", [SAMPLE] + PEER_FILES, ids=os.path.basename)
def test_the_same_books_and_orders_as_flumines_own_stream(path):
    ours = simulate(MarrowfinStream, [path])
    assert ours == simulate(BetfairHistoricalStream, [path])
    if path == SAMPLE:  # pre-off and in-play orders, matched and not
        orders = ours[1]
        assert {o[3] for o in orders} == {"BACK", "LAY"} and any(o[7] for o in orders) and not all(o[7] for o in orders)


@pytest.mark.parametrize("kwargs", [
    {"inplay": False, "seconds_to_start": 600}, {"inplay": True, "max_inplay_seconds": 30},
    {"event_type_ids": ["7"]}, {"event_type_ids": ["1", "4"]}], ids=str)  # fmt: skip
def test_the_listeners_filters(kwargs):
    # The sample (horse racing, goes in play), a greyhound race and a soccer market.
    paths = [SAMPLE] + [p for p in PEER_FILES if os.path.basename(p) in ("1.197931750", "1.145405534")]
    ours = simulate(MarrowfinStream, paths, **kwargs)
    assert ours == simulate(BetfairHistoricalStream, paths, **kwargs)
    # Only the soccer recording is of event type 1 or 4.
    assert bool(ours[0]) == (kwargs != {"event_type_ids": ["1", "4"]} or bool(PEER_FILES))


def test_lines_that_are_not_json_are_skipped_as_flumines_stream_skips_them(tmp_path, caplog):
    lines = gzip.decompress(pathlib.Path(SAMPLE).read_bytes()).splitlines(keepends=True)
    middle = len(lines) // 2
    # A line cut short in the middle (a recorder restarted) and at the end (one stopped).
    damaged = tmp_path / "damaged.json.gz"
    damaged.write_bytes(gzip.compress(b"".join(lines[:middle] + [lines[middle][:60] + b"\n"] + lines[middle + 1:-1]
                                               + [lines[-1][:50]])))
    ours = simulate(MarrowfinStream, [str(damaged)])
    assert ours == simulate(BetfairHistoricalStream, [str(damaged)])
    assert [r.message for r in caplog.records if r.name == "marrowfin_tools.flumine"] == [
        f"value error: {line!r}" for line in (lines[middle][:60] + b"\n", lines[-1][:50])]


def test_a_damaged_file_is_an_error_that_names_it(tmp_path):
    cut = tmp_path / "cut.json.gz"
    cut.write_bytes(pathlib.Path(SAMPLE).read_bytes()[:-100])
    with pytest.raises(ValueError, match=f"^{re.escape(str(cut))}: unexpected end of file$"):
        next(MarrowfinStream(str(cut)).create_generator()())


def test_what_it_refuses():
    with pytest.raises(ValueError, match="^MarrowfinStream replays market streams only, not 'raceSubscription'$"):
        MarrowfinStream(SAMPLE, operation="raceSubscription")
    with pytest.raises(ValueError, match="^MarrowfinStream takes the listener filters event_type_ids, inplay, "
                                         "max_inplay_seconds, seconds_to_start; not lightweight$"):
        MarrowfinStream(SAMPLE, listener_kwargs={"inplay": True, "lightweight": True})


def test_marrowfin_tools_leaves_flumine_unimported():
    code = ("import sys, marrowfin_tools, marrowfin_tools.cli\n"
            "assert 'flumine' not in sys.modules and 'tqdm' not in sys.modules\n"
            "import marrowfin_tools.flumine\n"
            "assert 'flumine' in sys.modules\n")
    assert subprocess.run([sys.executable, "-c", code]).returncode == 0
    assert flumine.__version__.startswith("3.")
