"""The books of every market of several recordings merged in time order, with
the market filter the other many-file functions take."""

from __future__ import annotations

import functools
import os
from collections.abc import Iterable, Iterator
from typing import Literal

from . import _native
from .filters import MarketFilterLike, keep_recording
from .inputs import Inputs, is_store

PathLike = str | bytes | os.PathLike[str] | os.PathLike[bytes]


def market_books(paths: Iterable[PathLike], *, runner_order: Literal["selection", "definition"] = "selection",
                 aware: bool = False, market_filter: MarketFilterLike | None = None) -> _native.MarketBooks:
    """Loads every recording of `paths` (plain, gzip, bzip2 or zstd; a store
    made by `marrowfin convert` stands for every recording in it) at once;
    the books of all their markets, merged by publish time (ties: the order of
    `paths`, then of lines).

    `runner_order="definition"` lists runners as the pure-Python peer does;
    `aware=True` makes publish_time and the definition's times aware datetimes
    in UTC. With `market_filter` (see marrowfin_tools.filters), a recording it
    skips on its first definition is not loaded and yields nothing; `path_index`
    still counts it. A store counts in `path_index` as each recording it
    holds, in the order that Inputs([store]) gives them. A recording that
    fails to load raises ValueError "<path>: <reason>", and nothing is
    returned.
    """
    keep = None if market_filter is None else functools.partial(keep_recording, market_filter=market_filter)
    if not isinstance(paths, (str, bytes, bytearray, os.PathLike)) and isinstance(paths, Iterable):
        paths = _stores_opened(paths)  # else left to the native check, which says what a list is
    return _native.market_books(paths, runner_order=runner_order, aware=aware, keep=keep)


def _stores_opened(paths: Iterable[PathLike]) -> Iterator[PathLike]:
    """The paths, a store (a folder `marrowfin convert` made) standing for every recording in it."""
    for path in paths:
        if isinstance(path, (str, os.PathLike)) and is_store(path):
            # A file that cannot be read is passed on by name: its load says why.
            yield from (recording.path if recording.path is not None else recording.name
                        for recording in Inputs([path], max_size=0))
        else:
            yield path
