"""The native helper of marrowfin_tools: price tables and merged replays."""

import os
from collections.abc import Iterable, Iterator
from typing import Any, Literal, final

import marrowfin

@final
class PriceTable:
    """The price table of a loaded recording, read through the Arrow PyCapsule interface."""

    @property
    def depth(self) -> int: ...
    @property
    def every_book(self) -> bool: ...
    def __arrow_c_stream__(self, /, requested_schema: object | None = None) -> Any: ...
    def __arrow_c_schema__(self, /) -> Any: ...

def price_table(
    path: str | bytes | os.PathLike[str] | os.PathLike[bytes], depth: int = 3, every_book: bool = False
) -> PriceTable: ...

def set_decoded_limit(limit: int, /) -> int: ...

@final
class MarketBooks:
    """The books of every market of several recordings, merged by publish time
    (see market_books); the three attributes describe the last book handed out."""

    def __iter__(self) -> Iterator[marrowfin.MarketBook]: ...
    def __next__(self) -> marrowfin.MarketBook: ...
    @property
    def path_index(self) -> int | None:
        """The index into paths of the last book's recording; None before the first book."""
    @property
    def message_index(self) -> int | None:
        """The number of the last book's message among its recording's kept messages, from 0;
        None before the first book. The books of one message share it."""
    @property
    def image(self) -> bool:
        """Whether the last book's message was a full image of its market ("img": true): the
        market's runners were made anew."""

def market_books(
    paths: Iterable[str | bytes | os.PathLike[str] | os.PathLike[bytes]],
    *,
    runner_order: Literal["selection", "definition"] = "selection",
    aware: bool = False,
) -> MarketBooks:
    """Loads every recording of paths (plain, gzip or bzip2) at once; the books of all their
    markets, merged by publish time (ties: the order of paths, then of lines).

    runner_order="definition" lists runners as the pure-Python peer does; aware=True makes
    publish_time and the definition's times aware datetimes in UTC. A recording that fails to
    load raises ValueError "<path>: <reason>", and nothing is returned.
    """
