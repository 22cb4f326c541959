"""MarrowfinStream in flumine's FlumineSimulation: a deterministic strategy is shown the same books, asked to
trade as often and places the same orders (sizes, prices, profits, times) as on flumine's own stream."""

import gzip
import logging
import os
import pathlib
import re
import time

import pytest
import zstandard
from flumine.streams.betfairhistoricalstream import BetfairHistoricalStream  # a test extra: runs, never skips

from conftest import PEER_DATA
from flumine_backtest import BackTheFavourite, OnTheClock, PriceTaker, simulate
from marrowfin_tools import sample_path
from marrowfin_tools.flumine import MarrowfinStream
from table_rows import generated
from tools_support import PEER_FILES as EVERY_PEER_FILE, merged

# flumine's own stream cannot read a market without a definition (1.209492553,
# and two markets of the SUB_IMAGE file).
PEER_FILES = [p for p in EVERY_PEER_FILE if not p.endswith("1.209492553") and "SUB_IMAGE" not in p]
SAMPLE = sample_path()
needs_peer_data = pytest.mark.skipif(not PEER_FILES, reason="peer recordings absent")


def on_both_streams(paths, strategy=PriceTaker, theirs=BetfairHistoricalStream, stream_kwargs=None, **listener_kwargs):
    """(the (market, publish time) of every book the strategy checked, its process_market_book
    calls, the orders it placed) on MarrowfinStream, which must equal those on flumine's own stream."""
    ours = simulate(MarrowfinStream, paths, strategy, stream_kwargs, **listener_kwargs)[1:]
    assert ours == simulate(theirs, paths, strategy, stream_kwargs, **listener_kwargs)[1:]
    return ours


@pytest.fixture(scope="module")
def race(tmp_path_factory):
    """The WIN and PLACE markets of one greyhound race, recorded apart, merged (ties: WIN first)."""
    paths = [PEER_DATA / "1.197931750", PEER_DATA / "1.197931751"]
    return merged(paths, tmp_path_factory.mktemp("race") / "race.json")


@pytest.fixture(scope="module")
def tied_race(tmp_path_factory):
    """A generated race in which the favourite's best lay price is tied when
    the README's strategy first trades: the runner listed first gets the order."""
    return generated(tmp_path_factory.mktemp("generated") / "race.json", size_mb=0.3, seed=38)


@pytest.mark.parametrize("path", [SAMPLE] + PEER_FILES, ids=os.path.basename)
def test_the_same_books_and_orders_as_flumines_own_stream(path):
    seen, calls, orders = on_both_streams([path])
    assert calls > 0 or path.endswith(("1.211006011", "1.230478683", "1.230478683.gz"))  # nothing open: no calls
    if path == SAMPLE:  # pre-off and in-play orders, matched and not
        assert {o[3] for o in orders} == {"BACK", "LAY"} and any(o[7] for o in orders) and not all(o[7] for o in orders)


@needs_peer_data
@pytest.mark.parametrize("strategy, recording, kwargs", [
    (PriceTaker, "race", {}),
    (BackTheFavourite, "race", {}),
    (OnTheClock, "race", {}),  # reads the last runner listed, and aware times
    (BackTheFavourite, "tied_race", {"inplay": False, "seconds_to_start": 600}),  # the README's run
    (OnTheClock, "1.200806927", {}),
], ids=lambda v: getattr(v, "__name__", None) if isinstance(v, type) else str(v) or "{}")  # fmt: skip
def test_strategies_that_read_the_runner_order_and_times(request, caplog, monkeypatch, strategy, recording, kwargs):
    caplog.set_level(logging.INFO)
    # In the recordings' own time zone, where a naive UTC time's timestamp() is 11 hours off.
    monkeypatch.setenv("TZ", "Australia/Sydney")
    time.tzset()
    request.addfinalizer(lambda: (monkeypatch.undo(), time.tzset()))
    path = request.getfixturevalue(recording) if "race" in recording else str(PEER_DATA / recording)
    seen, calls, orders = on_both_streams([path], strategy, **kwargs)
    assert orders and calls
    if recording == "race":
        # For every line, a book of each market seen so far; orders in both markets.
        markets = {market for market, _ in seen}
        assert markets == {"1.197931750", "1.197931751"} and len(seen) > len(pathlib.Path(path).read_text().splitlines())
        assert strategy is not PriceTaker or {o[0] for o in orders} == markets
        # Each market logged as it is added, as flumine's own stream logs it.
        added = {name: [r.getMessage() for r in caplog.records if r.name == name and " added, " in r.getMessage()]
                 for name in ("marrowfin_tools.flumine", "flumine.streams.betfairhistoricalstream")}
        assert list(added.values()) == [[
            "[MarketStream: 10000]: 1.197931750 added, 1 markets in cache",
            "[MarketStream: 10000]: 1.197931751 added, 2 markets in cache"]] * 2


class FluminesStream(BetfairHistoricalStream):
    # flumine 3.3's event processing logs each stream's market filter, which
    # its historical stream lacks.
    market_filter = None


@needs_peer_data
def test_event_processing_merges_an_events_streams_by_time():
    paths = [str(PEER_DATA / name) for name in ("1.197931750", "1.197931751")]
    ours = on_both_streams(paths, theirs=FluminesStream,
                           stream_kwargs={"event_processing": True, "event_group": "race"})
    # The two markets' books alternate rather than one market after the other.
    assert len({market for market, _ in ours[0][:20]}) == 2 and {o[0] for o in ours[2]} == {
        "1.197931750", "1.197931751"}


@pytest.mark.parametrize("kwargs", [
    {"inplay": False, "seconds_to_start": 600}, {"inplay": True, "max_inplay_seconds": 30},
    {"event_type_ids": ["7"]}, {"event_type_ids": ["1", "4"]}], ids=str)  # fmt: skip
def test_the_listeners_filters(kwargs):
    # The sample (horse racing, goes in play), a greyhound race and a soccer market.
    paths = [SAMPLE] + [p for p in PEER_FILES if os.path.basename(p) in ("1.197931750", "1.145405534")]
    seen, _, _ = on_both_streams(paths, **kwargs)
    # Only the soccer recording is of event type 1 or 4.
    assert bool(seen) == (kwargs != {"event_type_ids": ["1", "4"]} or bool(PEER_FILES))


def test_lines_that_are_not_json_are_skipped_as_flumines_stream_skips_them(tmp_path, caplog):
    lines = gzip.decompress(pathlib.Path(SAMPLE).read_bytes()).splitlines(keepends=True)
    middle = len(lines) // 2
    # A line cut short in the middle (a recorder restarted) and at the end (one stopped).
    damaged = tmp_path / "damaged.json.gz"
    damaged.write_bytes(gzip.compress(b"".join(lines[:middle] + [lines[middle][:60] + b"\n"] + lines[middle + 1:-1]
                                               + [lines[-1][:50]])))
    on_both_streams([str(damaged)])
    assert [r.message for r in caplog.records if r.name == "marrowfin_tools.flumine"] == [
        f"value error: {line!r}" for line in (lines[middle][:60] + b"\n", lines[-1][:50])]


@pytest.mark.parametrize("suffix, text", [(".gz", "unexpected end of file"),
                                          (".zst", "EOF while parsing an object at line 1 column 50")])
def test_a_damaged_file_is_an_error_that_names_it(tmp_path, suffix, text):
    """A gzip file cut short, and a zstd file with a line that is not JSON: that fails whole, its good lines
    cannot be picked out without a zstd decoder in Python."""
    path, packed = tmp_path / f"damaged.json{suffix}", pathlib.Path(SAMPLE).read_bytes()
    lines = gzip.decompress(packed).splitlines(keepends=True)
    path.write_bytes(packed[:-100] if suffix == ".gz" else
                     zstandard.ZstdCompressor().compress(b"".join(lines[:-1] + [lines[-1][:50]])))
    with pytest.raises(ValueError, match=f"^{re.escape(f'{path}: {text}')}$"):
        next(MarrowfinStream(str(path)).create_generator()())


def test_what_it_refuses():
    with pytest.raises(ValueError, match="^MarrowfinStream replays market streams only, not 'raceSubscription'$"):
        MarrowfinStream(SAMPLE, operation="raceSubscription")
    with pytest.raises(ValueError, match="^MarrowfinStream takes the listener filters event_type_ids, inplay, "
                                         "max_inplay_seconds, seconds_to_start; not lightweight$"):
        MarrowfinStream(SAMPLE, listener_kwargs={"inplay": True, "lightweight": True})
    with pytest.raises(ValueError, match="^runner_order must be 'selection' or 'definition', got 'sort'$"):
        MarrowfinStream(SAMPLE, runner_order="sort")
