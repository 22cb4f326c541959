"""The native helper of marrowfin_tools: price and runner tables, first
definitions and merged replays."""

import os
from collections.abc import Callable, Iterable, Iterator
from typing import Any, Literal, TypedDict, final

import marrowfin

_Path = str | bytes | os.PathLike[str] | os.PathLike[bytes]

@final
class PriceTable:
    """The price table of a loaded recording, read through the Arrow PyCapsule interface."""

    @property
    def depth(self) -> int: ...
    @property
    def every_book(self) -> bool: ...
    @property
    def sp(self) -> bool: ...
    def __arrow_c_stream__(self, /, requested_schema: object | None = None) -> Any: ...
    def __arrow_c_schema__(self, /) -> Any: ...

@final
class RunnerTable:
    """The runner table of some recordings, read through the Arrow PyCapsule interface."""

    @property
    def before(self) -> tuple[int, ...]: ...
    @property
    def markets(self) -> int: ...
    @property
    def rows(self) -> int: ...
    def __arrow_c_stream__(self, /, requested_schema: object | None = None) -> Any: ...
    def __arrow_c_schema__(self, /) -> Any: ...
    def __reduce__(self) -> tuple[Any, tuple[bytes]]: ...

def _runner_table_from_state(state: bytes, /) -> RunnerTable: ...

class _Definition(TypedDict):
    market_id: str
    publish_time: int
    event_id: str | None
    event_name: str | None
    event_type_id: str | None
    country_code: str | None
    venue: str | None
    market_name: str | None
    market_type: str | None
    race_type: str | None
    betting_type: str | None
    market_time: int | None
    status: str
    in_play: bool
    number_of_winners: int
    runners: list[tuple[int, float, str | None, int, str]]

class _CatalogRow(TypedDict):
    market_id: str
    event_id: str | None
    event_name: str | None
    event_type_id: str | None
    country_code: str | None
    venue: str | None
    market_name: str | None
    market_type: str | None
    market_time: int | None
    off_time: int | None
    first_publish_time: int
    last_publish_time: int
    books: int
    status: str
    number_of_runners: int
    winners: list[int]

def price_table(
    path: _Path, depth: int = 3, every_book: bool = False, *, sp: bool = False, load: bool = True
) -> PriceTable: ...
def first_definition(path: _Path) -> _Definition | None: ...
def runner_table(paths: Iterable[_Path], before: Iterable[int] = (),
                 keep: Callable[[dict[str, Any] | None], object] | None = None) -> RunnerTable: ...
def set_decoded_limit(limit: int, /) -> int: ...
def set_thread_decoded_limit(limit: int | None, /) -> int | None: ...
MAX_BEFORE: int  # the most seconds runner_table's before takes

def set_load_threads(threads: int, /) -> int: ...
def store_recording(path: _Path, fd: int, level: int) -> list[_CatalogRow]: ...

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
    keep: Callable[[str | bytes | os.PathLike[str] | os.PathLike[bytes]], bool] | None = None,
) -> MarketBooks:
    """Loads every recording of paths (plain, gzip, bzip2 or zstd) at once; the books of all their
    markets, merged by publish time (ties: the order of paths, then of lines).

    runner_order="definition" lists runners as the pure-Python peer does; aware=True makes
    publish_time and the definition's times aware datetimes in UTC. A recording that fails to
    load raises ValueError "<path>: <reason>", and nothing is returned. A recording that keep
    (when given) says false of is not loaded, and yields nothing.
    """
