"""Market filters that read one line: a recording is kept or skipped on its
first market definition, read natively from the start of the file, so that a
recording filtered out is never loaded.

    from marrowfin_tools import MarketFilter, first_definition, runner_table

    first_definition("1.234567890.bz2").venue          # decodes only up to that line
    aus_wins = MarketFilter(country_codes={"AU"}, market_types={"WIN"})
    runner_table(["PRO-2024-01.tar"], market_filter=aus_wins)

A filter is a MarketFilter or any callable taking the Definition (or None for
a recording without one) and saying whether to keep the recording. A file
that holds several markets is kept or skipped whole, by its first
definition. keep_recording() applies a filter to a recording; the runner
table asks it in its load instead (asked_natively()), by the same rules, so
that a recording kept is not decoded twice from its start.
"""

from __future__ import annotations

import argparse
import dataclasses
import datetime as dt
import os
from collections.abc import Callable, Iterable
from typing import Any, NamedTuple, TypeAlias

from . import _native

__all__ = ["Definition", "DefinitionRunner", "MarketFilter", "MarketFilterLike", "first_definition",
           "keep_recording"]

_EPOCH = dt.datetime(1970, 1, 1, tzinfo=dt.timezone.utc)


def _utc(epoch_ms: int | None) -> dt.datetime | None:
    return None if epoch_ms is None else _EPOCH + dt.timedelta(milliseconds=epoch_ms)


class DefinitionRunner(NamedTuple):
    selection_id: int
    handicap: float
    name: str | None
    sort_priority: int
    status: str


@dataclasses.dataclass(frozen=True)
class Definition:
    """A recording's first market definition, as a book's market_definition
    would show it had the recording ended there; times are UTC-aware."""

    market_id: str  # the market it goes to
    publish_time: dt.datetime  # of the message that holds it
    event_id: str | None
    event_name: str | None
    event_type_id: str | None
    country_code: str | None
    venue: str | None
    market_name: str | None
    market_type: str | None
    race_type: str | None
    betting_type: str | None
    market_time: dt.datetime | None  # None also for a text strptime makes no datetime of, or non-ASCII digits
    status: str
    in_play: bool
    number_of_winners: int
    runners: tuple[DefinitionRunner, ...]


def first_definition(path: str | bytes | os.PathLike[str] | os.PathLike[bytes]) -> Definition | None:
    """The first market definition of the recording at `path`, or None when it has none.

    Decoding stops at the line that holds it (for bzip2, the codes of the
    block that holds it are read whole, but only the first 16 KiB of its
    text, or all of it when the line runs past them), and the file is read
    no further than decoding goes, so this costs a fraction of a load. As
    for gzip and zstd, whose checksums come at the end, the bytes up to the
    line are not checked against the block's CRC. A file that cannot be
    read, decoded or parsed up to there raises the ValueError that
    iter_prices_file would (a damaged compressed file may fail in other
    words: a load finds the damage where it is, this read where its bytes
    first make no sense).

    In a file of several markets it is the first definition of any of them,
    which need not be the market that a book of the file's first message
    is of.
    """
    return _definition(_native.first_definition(path))


def _definition(found: dict[str, Any] | None) -> Definition | None:
    """The Definition of the fields the module reads of a first definition."""
    if found is None:
        return None
    fields: dict[str, Any] = dict(found)
    try:
        fields["publish_time"] = _utc(found["publish_time"])
    except OverflowError:  # a recording may hold any time; a datetime ends with year 9999
        raise ValueError(f"publish time past what a datetime holds: {found['publish_time']}") from None
    fields["market_time"] = _utc(found["market_time"])
    fields["runners"] = tuple(DefinitionRunner(*runner) for runner in found["runners"])
    return Definition(**fields)


MarketFilterLike: TypeAlias = Callable[[Definition | None], bool]


def asked_natively(market_filter: MarketFilterLike) -> Callable[[dict[str, Any] | None], bool]:
    """`market_filter` as the module's runner_table asks it (keep=): of the
    fields of a recording's first definition, or None when it has none. One
    whose Definition cannot be made is kept, as keep_recording keeps it."""
    def ask(found: dict[str, Any] | None) -> bool:
        try:
            definition = _definition(found)
        except ValueError:
            return True
        return bool(market_filter(definition))
    return ask


def _aware(moment: dt.datetime | None) -> dt.datetime | None:
    """A naive time is UTC."""
    if moment is None or moment.tzinfo is not None:
        return moment
    return moment.replace(tzinfo=dt.timezone.utc)


def _folded(values: Iterable[str]) -> frozenset[str]:
    return frozenset(value.casefold() for value in values)


@dataclasses.dataclass(frozen=True)
class MarketFilter:
    """Keeps the recordings whose first definition meets every criterion given.

    Each set criterion keeps a definition whose field is one of its values:
    event type ids exactly ("7" for horse racing), country codes, market types
    and venues regardless of case. Market times from `market_time_from`
    (inclusive) up to `market_time_to` (exclusive); naive times are UTC. A
    definition that lacks a field a criterion looks at does not meet it.

    A recording without a definition is kept only by a filter with no
    criterion (which keeps everything). The filter pickles, so it travels to
    worker processes.
    """

    event_type_ids: frozenset[str] | None = None
    country_codes: frozenset[str] | None = None
    market_types: frozenset[str] | None = None
    venues: frozenset[str] | None = None
    market_time_from: dt.datetime | None = None
    market_time_to: dt.datetime | None = None

    def __post_init__(self) -> None:
        for field in ("event_type_ids", "country_codes", "market_types", "venues"):
            values = getattr(self, field)
            if isinstance(values, str):
                raise TypeError(f"{field} takes a collection of texts, not one text")
            if values is not None:
                values = frozenset(values)
                for value in values:
                    if not isinstance(value, str):  # it would match no definition, and drop every recording
                        raise TypeError(f"{field} takes texts, not {type(value).__name__}")
                object.__setattr__(self, field, values)
        object.__setattr__(self, "market_time_from", _aware(self.market_time_from))
        object.__setattr__(self, "market_time_to", _aware(self.market_time_to))

    @property
    def empty(self) -> bool:
        """No criterion: everything is kept."""
        return all(getattr(self, field.name) is None for field in dataclasses.fields(self))

    def __call__(self, definition: Definition | None) -> bool:
        if definition is None:
            return self.empty
        for values, value in ((self.country_codes, definition.country_code),
                              (self.market_types, definition.market_type),
                              (self.venues, definition.venue)):
            if values is not None and (value is None or value.casefold() not in _folded(values)):
                return False
        if self.event_type_ids is not None and definition.event_type_id not in self.event_type_ids:
            return False
        if self.market_time_from is not None or self.market_time_to is not None:
            time = definition.market_time
            if time is None:
                return False
            if self.market_time_from is not None and time < self.market_time_from:
                return False
            if self.market_time_to is not None and time >= self.market_time_to:
                return False
        return True


def keep_recording(path: str | bytes | os.PathLike[str] | os.PathLike[bytes],
                   market_filter: MarketFilterLike | None) -> bool:
    """Whether the recording at `path` passes `market_filter` (always, without one).

    The filter is asked about the first definition (None when there is
    none). A file that cannot be read as far as a definition is kept, so
    that its load reports why instead of the filter hiding it.
    """
    if market_filter is None:
        return True
    try:
        definition = first_definition(path)
    except ValueError:
        return True
    return bool(market_filter(definition))


def _values(text: str) -> tuple[str, ...]:
    """The comma-separated values of one use of an option; at least one."""
    values = tuple(part.strip() for part in text.split(",") if part.strip())
    if not values:  # an empty set would keep no recording
        raise argparse.ArgumentTypeError(f"no value in {text!r}")
    return values


def _texts(values: list[tuple[str, ...]] | None) -> frozenset[str] | None:
    """The values of every use of one option."""
    return None if values is None else frozenset(value for used in values for value in used)


def _time(text: str, end_of_day: bool = False) -> dt.datetime:
    """An ISO 8601 date or time, UTC unless it says otherwise. A date alone
    is its midnight, or for the end of a range the next midnight, so that the
    day is in."""
    try:
        day = dt.date.fromisoformat(text)  # 2024-09-11 and 20240911 alike
    except ValueError:
        try:
            return _aware(dt.datetime.fromisoformat(text))  # type: ignore[return-value]
        except ValueError:
            raise argparse.ArgumentTypeError(f"not an ISO 8601 date or time: {text}") from None
    moment = dt.datetime(day.year, day.month, day.day, tzinfo=dt.timezone.utc)
    return moment + dt.timedelta(days=1) if end_of_day else moment


def add_arguments(parser: argparse.ArgumentParser) -> None:
    """The market filter options of the commands that read many files."""
    group = parser.add_argument_group(
        "market filters", "keep the recordings whose first market definition matches every option "
        "given (decided on that line alone; values may be repeated or comma-separated)")
    group.add_argument("--event-type", action="append", type=_values, metavar="ID",
                       help="event type id, such as 7 (horse racing) or 4339 (greyhounds)")
    group.add_argument("--country", action="append", type=_values, metavar="CODE", help="country code, such as AU")
    group.add_argument("--market-type", action="append", type=_values, metavar="TYPE", help="market type, such as WIN")
    group.add_argument("--venue", action="append", type=_values, metavar="VENUE", help="venue, such as Flemington")
    group.add_argument("--market-time-from", type=_time, metavar="TIME",
                       help="market time from this date or time on (UTC unless it says otherwise)")
    group.add_argument("--market-time-to", type=lambda text: _time(text, end_of_day=True),
                       metavar="TIME", help="market time before this time, or up to the end of "
                                            "this date")


def from_arguments(args: argparse.Namespace) -> MarketFilter | None:
    """The filter of the options add_arguments() collected; None when none was given."""
    found = MarketFilter(_texts(args.event_type), _texts(args.country), _texts(args.market_type),
                         _texts(args.venue), args.market_time_from, args.market_time_to)
    return None if found.empty else found
