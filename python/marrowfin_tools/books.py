"""The books of every market of several recordings merged in time order, with
the market filter the other many-file functions take."""

from __future__ import annotations

import functools
import os
from collections.abc import Iterable
from typing import Literal

from . import _native
from .filters import MarketFilterLike, keep_recording

PathLike = str | bytes | os.PathLike[str] | os.PathLike[bytes]


def market_books(paths: Iterable[PathLike], *, runner_order: Literal["selection", "definition"] = "selection",
                 aware: bool = False, market_filter: MarketFilterLike | None = None) -> _native.MarketBooks:
    """Loads every recording of `paths` (plain, gzip, bzip2 or zstd) at once;
    the books of all their markets, merged by publish time (ties: the order of
    `paths`, then of lines).

    `runner_order="definition"` lists runners as the pure-Python peer does;
    `aware=True` makes publish_time and the definition's times aware datetimes
    in UTC. With `market_filter` (see marrowfin_tools.filters), a recording it
    skips on its first definition is not loaded and yields nothing; `path_index`
    still counts it. A recording that fails to load raises ValueError
    "<path>: <reason>", and nothing is returned.
    """
    keep = None if market_filter is None else functools.partial(keep_recording, market_filter=market_filter)
    return _native.market_books(paths, runner_order=runner_order, aware=aware, keep=keep)
