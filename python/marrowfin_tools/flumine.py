"""Backtests in flumine on marrowfin's books.

    from flumine import FlumineSimulation, clients
    from marrowfin_tools.flumine import MarrowfinStream

    strategy = MyStrategy(streams=[MarrowfinStream(path) for path in paths])

`MarrowfinStream` stands where flumine's own historical stream stands in a
strategy's `streams=[...]`: `FlumineSimulation` asks it for a generator and
gets, per message of the recording, a list holding the market's book. It
takes the same `listener_kwargs` filters (inplay, seconds_to_start,
max_inplay_seconds, event_type_ids) and yields the books that flumine's stream
would yield. One market per file, as the exchange's historic files are: a file
holding several markets replays its first one only. A line that is not JSON
(the last line of a recording that was cut short) is skipped with an error
logged, as flumine's stream skips it.

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
from typing import IO, Any

from flumine.streams.betfairhistoricalstream import BetfairHistoricalStream

import marrowfin

from .inputs import encoding_by_name

__all__ = ["MarrowfinStream"]

logger = logging.getLogger(__name__)

# The filters of flumine's historic listener; the listener's other keyword
# arguments change what a book holds, which these books cannot follow.
FILTERS = frozenset({"inplay", "seconds_to_start", "max_inplay_seconds", "event_type_ids"})


class MarrowfinStream(BetfairHistoricalStream):
    """A recording replayed by marrowfin for `FlumineSimulation`.

    The arguments are those of flumine's `BetfairHistoricalStream`; `file_path`
    is a plain or gzip stream file. Only market streams ("marketSubscription")
    are replayed.
    """

    def __init__(self, file_path: str, listener_kwargs: dict | None = None, stream_id: int | None = None,
                 event_processing: bool = False, event_group: str | None = None, event_id: str | None = None,
                 operation: str = "marketSubscription"):
        if operation != "marketSubscription":
            raise ValueError(f"MarrowfinStream replays market streams only, not {operation!r}")
        unknown = sorted(set(listener_kwargs or ()) - FILTERS)
        if unknown:
            raise ValueError(f"MarrowfinStream takes the listener filters {', '.join(sorted(FILTERS))}; "
                             f"not {', '.join(unknown)}")
        super().__init__(str(file_path), listener_kwargs, stream_id, event_processing, event_group, event_id,
                         operation)

    def create_generator(self) -> Callable[[], Iterator[list[marrowfin.MarketBook]]]:
        return self._books

    def _books(self) -> Iterator[list[marrowfin.MarketBook]]:
        stream_id = self.stream_id
        books = _replay(self.file_path)
        if not self.listener_kwargs:
            for book in books:
                book.streaming_unique_id = stream_id
                yield [book]
            return
        active = _Filter(**self.listener_kwargs)
        for book in books:
            if active(book):
                book.streaming_unique_id = stream_id
                yield [book]


def _replay(path: str) -> marrowfin.PricesIterator:
    """The books of the recording at `path`, its lines that are not JSON left
    out. The module fails a file at its first bad line; then the lines that
    parse are copied and replayed, and any error names the file."""
    try:
        return marrowfin.iter_prices_file(path)
    except ValueError as e:
        error = e
    with tempfile.TemporaryDirectory(prefix="marrowfin-") as scratch:
        copy = os.path.join(scratch, "recording.json")
        with open(copy, "wb") as out:
            skipped = _copy_json_lines(path, out, error)
        try:
            if skipped:  # the module reads the whole file at once: the copy may go after
                return marrowfin.iter_prices_file(copy)
        except ValueError as e:
            error = e
    raise ValueError(f"{path}: {error}") from error


def _copy_json_lines(path: str, out: IO[bytes], error: ValueError) -> int:
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
        raise ValueError(f"{path}: {error}") from error  # the data itself is damaged
    return skipped


def _open_decoded(path: str) -> io.BufferedIOBase:
    """The bytes of the recording, decoded as the module decodes it: by the name alone."""
    encoding = encoding_by_name(path)
    if encoding == "gzip":
        return gzip.open(path, "rb")
    return bz2.open(path, "rb") if encoding == "bzip2" else open(path, "rb")


class _Filter:
    """Which books flumine's historic listener passes on, decided as it does:
    from the market definition's status, in-play flag and market time."""

    def __init__(self, inplay: bool | None = None, seconds_to_start: float | None = None,
                 max_inplay_seconds: float | None = None, event_type_ids: Any = None):
        self.inplay = inplay
        self.seconds_to_start = seconds_to_start
        self.max_inplay_seconds = max_inplay_seconds
        self.event_type_ids = ({str(i) for i in event_type_ids}
                               if isinstance(event_type_ids, (list, tuple)) else None)
        self.excluded = False
        self.definition: marrowfin.MarketDefinition | None = None
        self.was_in_play = False
        self.in_play_since: int | None = None

    def __call__(self, book: marrowfin.MarketBook) -> bool:
        if self.excluded:
            return False
        definition = book.market_definition
        if definition is not self.definition:  # a definition arrived with this message
            self.definition = definition
            if (definition is not None and self.event_type_ids is not None
                    and str(definition.event_type_id) not in self.event_type_ids):
                self.excluded = True  # the market, for the rest of the file
                return False
        if definition is None:
            return True
        in_play = definition.in_play
        if self.max_inplay_seconds is not None and in_play and not self.was_in_play:
            self.in_play_since = book.publish_time_epoch
        self.was_in_play = in_play
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
        if self.max_inplay_seconds is not None and self.in_play_since is not None:
            if (book.publish_time_epoch - self.in_play_since) / 1000 > self.max_inplay_seconds:
                return False
        return True
