"""What one recording holds: the market, its timeline and how each runner ended."""

from __future__ import annotations

import dataclasses
import datetime as dt
import itertools
import math
import operator
from collections.abc import Callable

import marrowfin

# How often summarize() reports progress, in books.
PROGRESS_EVERY = 4096


def utc_text(epoch_ms: int | None) -> str | None:
    """ISO 8601 UTC text with milliseconds: 1700000000123 -> 2023-11-14T22:13:20.123Z."""
    if epoch_ms is None:
        return None
    moment = dt.datetime(1970, 1, 1) + dt.timedelta(milliseconds=epoch_ms)
    return moment.isoformat(timespec="milliseconds") + "Z"


@dataclasses.dataclass(frozen=True)
class RunnerSummary:
    selection_id: int
    handicap: float
    name: str | None
    status: str
    bsp: float | None
    last_price_traded: float | None
    # The largest seen during the replay: the exchange zeroes a runner's
    # traded volume when the market closes.
    traded_volume: float
    removal_date: str | None

    @property
    def winner(self) -> bool:
        return self.status == "WINNER"


@dataclasses.dataclass(frozen=True)
class MarketSummary:
    path: str
    market_id: str | None
    event_type_id: str | None
    country_code: str | None
    venue: str | None
    event_name: str | None
    market_name: str | None
    market_type: str | None
    market_time: str | None  # UTC text as the definition gives it, with a Z
    books: int
    first_publish_time: int | None  # epoch milliseconds
    last_publish_time: int | None
    in_play_time: int | None  # first book that is in play
    status: str | None
    runners: tuple[RunnerSummary, ...]

    def to_json(self) -> dict:
        """A dict of JSON types; times as UTC texts."""
        out = dataclasses.asdict(self)
        for key in ("first_publish_time", "last_publish_time", "in_play_time"):
            out[key] = utc_text(out[key])
        for runner, summary in zip(out["runners"], self.runners):
            runner["winner"] = summary.winner
        return out


def _traded_volume(runner: marrowfin.Runner) -> float:
    # Recordings without runner "tv" still carry the traded ladder.
    if runner.total_matched:
        return runner.total_matched
    return sum(level.size for level in runner.ex.traded_volume)


def _bsp(definition_bsp: float | None, runner: marrowfin.Runner) -> float | None:
    if definition_bsp is not None:
        return definition_bsp
    actual = runner.sp.actual_sp  # a number, a text such as "NaN", or None
    if isinstance(actual, float) and math.isfinite(actual):
        return actual
    return None


def summarize(path: str, progress: Callable[[int], None] | None = None) -> MarketSummary:
    """Replays one recording. `progress` gets the count of books since its last call.

    Raises what the module raises for a file it cannot read (ValueError).
    """
    books = 0
    first_pt = in_play_pt = None
    last: marrowfin.MarketBook | None = None
    traded: dict[tuple[int, float], float] = {}  # the largest volume per runner key
    previous: list[marrowfin.Runner] = []
    for book in marrowfin.iter_prices_file(str(path)):
        books += 1
        if first_pt is None:
            first_pt = book.publish_time_epoch
        if in_play_pt is None and book.inplay:
            in_play_pt = book.publish_time_epoch
        last = book
        runners = book.runners
        # An unchanged runner is the same object as in the last book, at the
        # same place while the count holds: the changed ones are picked out
        # without a Python step per runner.
        changed = (itertools.compress(runners, map(operator.is_not, runners, previous))
                   if len(runners) == len(previous) else runners)
        for runner in changed:
            volume = _traded_volume(runner)
            key = (runner.selection_id, runner.handicap)
            if volume > traded.get(key, 0.0):
                traded[key] = volume
        previous = runners
        if progress is not None and books % PROGRESS_EVERY == 0:
            progress(PROGRESS_EVERY)
    if progress is not None and books % PROGRESS_EVERY:
        progress(books % PROGRESS_EVERY)
    if last is None:
        return MarketSummary(str(path), None, None, None, None, None, None, None, None, 0, None, None,
                             None, None, ())

    definition = last.market_definition
    listed = sorted(definition.runners, key=lambda r: r.sort_priority) if definition else []
    by_key = {(r.selection_id, r.handicap): r for r in last.runners}
    runners = []
    for entry in listed:
        runner = by_key.pop((entry.selection_id, entry.handicap), None)
        if runner is not None:
            runners.append((entry.name, entry.bsp, runner))
    # Runners that only price changes mention, in the book's order.
    runners += [(None, None, r) for r in by_key.values()]
    return MarketSummary(
        path=str(path),
        market_id=last.market_id,
        event_type_id=definition.event_type_id if definition else None,
        country_code=definition.country_code if definition else None,
        venue=definition.venue if definition else None,
        event_name=definition.event_name if definition else None,
        market_name=definition.name if definition else None,
        market_type=definition.market_type if definition else None,
        market_time=(definition.market_time.isoformat(timespec="milliseconds") + "Z"
                     if definition and definition.market_time else None),
        books=books,
        first_publish_time=first_pt,
        last_publish_time=last.publish_time_epoch,
        in_play_time=in_play_pt,
        status=last.status,
        runners=tuple(
            RunnerSummary(
                selection_id=r.selection_id,
                handicap=r.handicap,
                name=name,
                status=r.status,
                bsp=_bsp(bsp, r),
                last_price_traded=r.last_price_traded,
                traded_volume=traded.get((r.selection_id, r.handicap), 0.0),
                removal_date=r.removal_date,
            )
            for name, bsp, r in runners
        ),
    )


def _price(value: float | None) -> str:
    if value is None:
        return "-"
    return f"{value:,.2f}".rstrip("0").rstrip(".")


def format_summary(summary: MarketSummary) -> str:
    """The summary as the terminal shows it."""
    def text(value: object) -> str:
        return "-" if value is None else str(value)

    def time(ms: int | None) -> str:
        return text(utc_text(ms)).replace("T", " ")

    lines = [
        summary.path,
        f"  market        {text(summary.market_id)}  {text(summary.market_type)}",
        f"  event         {text(summary.event_name)} / {text(summary.market_name)}",
        f"  event type    {text(summary.event_type_id)}  country {text(summary.country_code)}"
        f"  venue {text(summary.venue)}",
        f"  market time   {text(summary.market_time).replace('T', ' ')}",
        f"  books         {summary.books:,}  from {time(summary.first_publish_time)}"
        f"  to {time(summary.last_publish_time)}",
        f"  in play from  {time(summary.in_play_time)}",
        f"  final status  {text(summary.status)}",
    ]
    if summary.runners:
        rows = [("runner", "status", "bsp", "ltp", "max traded", "winner")]
        for r in summary.runners:
            name = r.name if r.name is not None else str(r.selection_id)
            if r.handicap:
                name += f" ({r.handicap:+g})"
            rows.append((name, r.status, _price(r.bsp), _price(r.last_price_traded),
                         f"{r.traded_volume:,.2f}", "yes" if r.winner else ""))
        widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
        for row in rows:
            cells = [row[0].ljust(widths[0]), row[1].ljust(widths[1])]
            cells += [cell.rjust(width) for cell, width in zip(row[2:5], widths[2:5])]
            cells.append(row[5])
            lines.append(("  " + "  ".join(cells)).rstrip())
    return "\n".join(lines)

