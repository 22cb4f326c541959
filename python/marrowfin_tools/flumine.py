"""Backtests in flumine on marrowfin's books.

    from flumine import FlumineSimulation, clients
    from marrowfin_tools.flumine import MarrowfinStream

    strategy = MyStrategy(streams=[MarrowfinStream(path) for path in paths])

`MarrowfinStream` stands where flumine's own historical stream stands in a
strategy's `streams=[...]`: `FlumineSimulation` asks it for a generator and
gets, per line of the recording, a list holding the latest book of every
market of the file seen so far, as flumine's stream hands them out: runners in
the definition's order and aware times in UTC (market_books with
runner_order="definition", aware=True). It takes the same `listener_kwargs`
filters (inplay, seconds_to_start, max_inplay_seconds, event_type_ids), logs
each market as it is added, and works in flumine's event processing (the
streams of an event group merged by time). A line that is not JSON (the last
line of a recording that was cut short) is skipped with an error logged, as
flumine's stream skips it.

Importing this module imports flumine (pip install flumine); importing
marrowfin_tools does not.
"""

from __future__ import annotations

import bz2
import gzip
import io
import json
import logging
import os
import tempfile
import zlib
from collections.abc import Callable, Iterator
from typing import IO, Any, Literal

from flumine.streams.betfairhistoricalstream import BetfairHistoricalStream

import marrowfin

from ._native import MarketBooks, market_books
from .inputs import encoding_by_name

__all__ = ["MarrowfinStream"]

logger = logging.getLogger(__name__)

# The filters of flumine's historic listener; the listener's other keyword
# arguments change what a book holds, which these books cannot follow.
FILTERS = frozenset({"inplay", "seconds_to_start", "max_inplay_seconds", "event_type_ids"})
RUNNER_ORDERS = ("selection", "definition")


class MarrowfinStream(BetfairHistoricalStream):
    """A recording replayed by marrowfin for `FlumineSimulation`.

    The arguments are those of flumine's `BetfairHistoricalStream`; `file_path`
    is a plain, gzip, bzip2 or zstd stream file. Only market streams
    ("marketSubscription") are replayed. `runner_order` and `aware` are those
    of `market_books`: flumine's conventions by default.
    """

    def __init__(self, file_path: str, listener_kwargs: dict | None = None, stream_id: int | None = None,
                 event_processing: bool = False, event_group: str | None = None, event_id: str | None = None,
                 operation: str = "marketSubscription", *,
                 runner_order: Literal["selection", "definition"] = "definition", aware: bool = True):
        if operation != "marketSubscription":
            raise ValueError(f"MarrowfinStream replays market streams only, not {operation!r}")
        unknown = sorted(set(listener_kwargs or ()) - FILTERS)
        if unknown:
            raise ValueError(f"MarrowfinStream takes the listener filters {', '.join(sorted(FILTERS))}; "
                             f"not {', '.join(unknown)}")
        if runner_order not in RUNNER_ORDERS:
            raise ValueError(f"runner_order must be 'selection' or 'definition', got {runner_order!r}")
        if not isinstance(aware, bool):
            raise TypeError(f"aware must be bool, not {type(aware).__qualname__}")
        super().__init__(str(file_path), listener_kwargs, stream_id, event_processing, event_group, event_id,
                         operation)
        self.runner_order = runner_order
        self.aware = aware
        # flumine's event processing logs each stream's market filter, which a
        # recording has none of.
        self.market_filter = None

    @property
    def stream_hash(self) -> int:
        # Two strategies share a stream only when it hands out the same books.
        return hash((super().stream_hash, self.runner_order, self.aware))

    def create_generator(self) -> Callable[[], Iterator[list[marrowfin.MarketBook]]]:
        return self._books

    def _books(self) -> Iterator[list[marrowfin.MarketBook]]:
        """flumine's stream, line by line: each market change updates its
        market (made anew by an image, and then logged as added); a line whose
        last change was to a market the filters pass yields the latest book of
        every market they passed last."""
        stream_id = self.stream_id
        books = _replay(self.file_path, self.runner_order, self.aware)
        listener = _Listener(**self.listener_kwargs)
        markets: dict[str, _Market] = {}  # by id, in the order first added, as flumine's caches
        excluded: set[str] = set()
        line, yields = None, False
        for book in books:
            message = books.message_index
            if message != line:
                if yields:
                    yield [market.book for market in markets.values() if market.active]
                line, yields = message, False
            market_id = book.market_id
            if market_id in excluded:
                continue
            market = markets.get(market_id)
            definition = book.market_definition
            # A definition came with this message: a new object.
            arrived = definition is not None and (market is None or definition is not market.book.market_definition)
            if arrived and listener.excludes(definition):
                excluded.add(market_id)  # for the rest of the file
                continue
            if market is None or books.image:
                if not arrived:
                    logger.warning("[MarketStream: %s]: Missing marketDefinition on market %s resulting in "
                                   "potential missing data in the MarketBook (make sure EX_MARKET_DEF is "
                                   "requested)", stream_id, market_id)
                markets[market_id] = market = _Market(book)
                logger.info("[MarketStream: %s]: %s added, %s markets in cache", stream_id, market_id,
                            len(markets))
            else:
                market.book = book
            book.streaming_unique_id = stream_id
            yields = market.active = listener.passes(market, book)
        if yields:
            yield [market.book for market in markets.values() if market.active]


def _replay(path: str, runner_order: Literal["selection", "definition"], aware: bool) -> MarketBooks:
    """The books of the recording at `path`, its lines that are not JSON left
    out. The module fails a file at its first bad line; then the lines that
    parse are copied and replayed, and any error names the file."""
    try:
        return market_books([path], runner_order=runner_order, aware=aware)
    except ValueError as e:
        error = e
    reason = str(error).removeprefix(f"{path}: ")
    with tempfile.TemporaryDirectory(prefix="marrowfin-") as scratch:
        copy = os.path.join(scratch, "recording.json")
        with open(copy, "wb") as out:
            skipped = _copy_json_lines(path, out, reason)
        try:
            if skipped:  # loaded whole at once: the copy may go after
                return market_books([copy], runner_order=runner_order, aware=aware)
        except ValueError as e:
            reason = str(e).removeprefix(f"{copy}: ")
    raise ValueError(f"{path}: {reason}") from error


def _copy_json_lines(path: str, out: IO[bytes], reason: str) -> int:
    """Copies the lines of `path` that parse as JSON into `out`; returns how many did not."""
    skipped = 0
    try:
        with _open_decoded(path) as recording:
            for line in recording:
                if not line.strip():
                    continue
                try:
                    json.loads(line)
                except ValueError:
                    logger.error("value error: %r", line)
                    skipped += 1
                    continue
                out.write(line if line.endswith(b"\n") else line + b"\n")
    except (OSError, EOFError, zlib.error):
        raise ValueError(f"{path}: {reason}") from None  # the data itself is damaged
    return skipped


def _open_decoded(path: str) -> io.BufferedIOBase:
    """The bytes of the recording, decoded as the module decodes it: by the name alone."""
    encoding = encoding_by_name(path)
    if encoding == "gzip":
        return gzip.open(path, "rb")
    if encoding == "zstd":
        # Python's library decodes no zstd before 3.14: the module's error stands.
        raise OSError("no zstd decoder")
    return bz2.open(path, "rb") if encoding == "bzip2" else open(path, "rb")


def _always(market: _Market, book: marrowfin.MarketBook) -> bool:
    return True


class _Market:
    """A market as flumine's stream keeps it: its latest book, whether the
    filters passed it, and whether it was in play (None before the first
    definition and after an image, which makes the market anew)."""

    __slots__ = ("active", "book", "in_play")

    def __init__(self, book: marrowfin.MarketBook) -> None:
        self.book = book
        self.active = False
        self.in_play: bool | None = None


class _Listener:
    """The filters of flumine's historic listener, decided as it decides them:
    from the market definition's event type, status, in-play flag and market
    time, the publish time, and when the market last went in play."""

    def __init__(self, inplay: bool | None = None, seconds_to_start: float | None = None,
                 max_inplay_seconds: float | None = None, event_type_ids: Any = None):
        self.inplay = inplay
        self.seconds_to_start = seconds_to_start
        self.max_inplay_seconds = max_inplay_seconds
        self.event_type_ids = ({str(i) for i in event_type_ids}
                               if isinstance(event_type_ids, (list, tuple)) else None)
        self.in_play_since: dict[str, int] = {}  # by market, kept through images as flumine keeps it
        if inplay is None and seconds_to_start is None and max_inplay_seconds is None:
            self.passes = _always  # type: ignore[method-assign]  # no filter: every book, at no cost

    def excludes(self, definition: marrowfin.MarketDefinition | None) -> bool:
        """Whether a market whose definition this is is left out for good."""
        return (definition is not None and self.event_type_ids is not None
                and str(definition.event_type_id) not in self.event_type_ids)

    def passes(self, market: _Market, book: marrowfin.MarketBook) -> bool:
        definition = book.market_definition
        if definition is None:
            return True
        in_play = definition.in_play
        if self.max_inplay_seconds is not None and in_play and not market.in_play:
            self.in_play_since[book.market_id] = book.publish_time_epoch
        market.in_play = in_play
        if definition.status != "OPEN":  # suspended and closed markets always pass
            return True
        if self.inplay:
            if not in_play:
                return False
        elif self.seconds_to_start is not None and definition.market_time is not None:
            if (definition.market_time - book.publish_time).total_seconds() > self.seconds_to_start:
                return False
        if self.inplay is False and in_play:
            return False
        if self.max_inplay_seconds is not None:
            since = self.in_play_since.get(book.market_id)
            if since is not None and (book.publish_time_epoch - since) / 1000 > self.max_inplay_seconds:
                return False
        return True
