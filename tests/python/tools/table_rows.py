"""The price table computed in Python from the books: the oracle of the table
tests, and the slow path that bench/table_speed.py measures the table against."""

from __future__ import annotations

import calendar
import math

import pytest

import gen_stream
from conftest import SANITIZED
from marrowfin_tools import market_books

# DuckDB throws C++ exceptions within itself, which the preloaded ASan runtime
# cannot intercept (it aborts): DuckDB runs in the normal pass only.
uses_duckdb = pytest.mark.skipif(SANITIZED, reason="DuckDB aborts under the preloaded ASan")

FIXED = ["market_id", "publish_time", "book", "market_status", "inplay", "selection_id", "handicap",
         "status", "last_price_traded", "total_matched"]
SP = ["sp_near", "sp_far", "sp_actual"]


def column_names(depth, sp=False):
    ladders = [f"{block}_{level}" for block in ("back_price", "back_size", "lay_price", "lay_size")
               for level in range(1, depth + 1)]
    return FIXED + ladders + ["traded_volume"] + (SP if sp else [])


def number(value):
    """A starting price as the tables give it: a number, or null for a text."""
    return value if isinstance(value, float) else None


def rows_from_books(books, depth=3, every_book=False, flag_changes=False, sp=False):
    """The table's columns as lists, from the books of one market. A runner
    changed when the book holds another Runner object than the one before.
    `flag_changes` adds a column "changed" saying so."""
    names = column_names(depth, sp) + (["changed"] if flag_changes else [])
    rows = []
    previous = {}  # (selection id, handicap): (Runner, its values)
    for number_of_book, book in enumerate(books):
        head = [book.market_id, book.publish_time_epoch, number_of_book, book.status, book.inplay]
        for runner in book.runners:
            key = (runner.selection_id, runner.handicap)
            last = previous.get(key)
            changed = last is None or last[0] is not runner
            if not changed and not every_book:
                continue
            if changed:  # a Runner handed out again is unchanged, values and all
                values = [runner.selection_id, runner.handicap, runner.status, runner.last_price_traded,
                          runner.total_matched]
                for side in (runner.ex.available_to_back, runner.ex.available_to_lay):
                    values += [side[i].price if i < len(side) else None for i in range(depth)]
                    values += [side[i].size if i < len(side) else None for i in range(depth)]
                values.append(gen_stream.float_sum(p.size for p in runner.ex.traded_volume))
                if sp:
                    values += [number(runner.sp.near_price), number(runner.sp.far_price),
                               number(runner.sp.actual_sp)]
                previous[key] = last = (runner, values)
            rows.append(head + last[1] + [changed] if flag_changes else head + last[1])
    columns = zip(*rows) if rows else [()] * len(names)
    return {name: list(values) for name, values in zip(names, columns)}


def books_per_market(path):
    """{market id: its books}: each market of the file replayed as its own
    recording would be (market_books's promise, checked in test_market_books.py)."""
    markets = {}
    for book in market_books([path]):
        markets.setdefault(book.market_id, []).append(book)
    return markets


def generated(path, **options):
    """A recording made by bench/gen_stream.py (generate's options); returns the path as str."""
    gen_stream.generate(str(path), gzip=str(path).endswith(".gz"), **options)
    return str(path)


RUNNER_FIXED = [
    "market_id", "event_id", "event_name", "event_type_id", "country_code", "venue", "market_name", "market_type",
    "market_time", "off_time", "market_status", "selection_id", "handicap", "runner_name", "sort_priority",
    "status", "bsp", "removal_date", "pp_traded_volume", "pp_wap", "pp_min_price", "pp_max_price", "pp_ltp",
    "pp_back_price", "pp_lay_price", "ip_traded_volume", "ip_wap", "ip_min_price", "ip_max_price", "ip_ltp",
    "sp_back_stake_taken", "sp_lay_liability_taken", "sp_actual"]


def runner_column_names(before=()):
    return RUNNER_FIXED + [f"{name}_{s}s" for s in before
                           for name in ("back_price", "lay_price", "ltp", "traded_volume")]


def _epoch_ms(moment):
    return None if moment is None else calendar.timegm(moment.timetuple()) * 1000 + moment.microsecond // 1000


def _weighted(pairs):
    """(sum of weights, weighted mean, lowest, highest price) of (price, weight) pairs."""
    if not pairs:
        return 0.0, None, None, None
    weights = gen_stream.float_sum(w for _, w in pairs)
    mean = gen_stream.float_sum(p * w for p, w in pairs) / weights if weights else None
    return weights, mean, min(p for p, _ in pairs), max(p for p, _ in pairs)


def _best(ladder):
    return ladder[0].price if ladder else None


def _key(runner):
    """A runner as the module's markets know it: its id and its handicap in hundredths, halves away from zero."""
    hundredths = abs(runner.handicap) * 100
    return runner.selection_id, (int(math.copysign(math.floor(hundredths + 0.5), runner.handicap)) if hundredths else 0)


def runner_rows_from_books(books, before=()):
    """The runner table's rows of one market, from all its books, as the
    tutorial reads them: a row per runner of the last book."""
    books = list(books)
    if not books:
        return []
    last, definition = books[-1], books[-1].market_definition
    first_in_play = next((i for i, b in enumerate(books) if b.inplay), None)
    closing = max((i for i in range(1, len(books)) if books[i - 1].status == "OPEN" and books[i].status != "OPEN"),
                  default=len(books) - 1)
    pre_play = closing if first_in_play is None else first_in_play - 1 if first_in_play > 0 else None
    market_time = _epoch_ms(definition.market_time) if definition is not None else None
    # per s: the last book published at or before market_time - s
    at = [None if market_time is None else max(
        (i for i, b in enumerate(books) if b.publish_time_epoch <= market_time - 1000 * s), default=None)
        for s in before]

    def runner_in(index, key):
        runners = () if index is None else books[index].runners
        return next((r for r in runners if _key(r) == key), None)

    texts = ("event_id", "event_name", "event_type_id", "country_code", "venue", "name", "market_type")
    head = [last.market_id, *(getattr(definition, name, None) for name in texts), market_time,
            None if first_in_play is None else books[first_in_play].publish_time_epoch, last.status]
    defined = {_key(r): r for r in definition.runners} if definition else {}
    rows = []
    for runner in last.runners or [None]:
        if runner is None:  # a market without runners keeps a row
            rows.append(head + [None] * (len(runner_column_names(before)) - len(head)))
            continue
        key = _key(runner)
        named = defined.get(key)
        row = head + [runner.selection_id, runner.handicap, named and named.name,
                      named and named.sort_priority, runner.status, named and named.bsp,
                      named and named.removal_date]
        pre, close = runner_in(pre_play, key), runner_in(closing, key)
        row += [None] * 7 if pre is None else [
            *_weighted([(p.price, p.size) for p in pre.ex.traded_volume]), pre.last_price_traded,
            _best(pre.ex.available_to_back), _best(pre.ex.available_to_lay)]
        if first_in_play is not None and close is not None:
            earlier = {p.price: p.size for p in pre.ex.traded_volume} if pre is not None else {}
            grown = [(p.price, p.size - earlier.get(p.price, 0.0)) for p in close.ex.traded_volume]
            row += [*_weighted([(p, g) for p, g in grown if g > 0]), close.last_price_traded]
        else:
            row += [None] * 5
        row += [None, None] if close is None else [gen_stream.float_sum(p.size for p in close.sp.back_stake_taken),
                                                   gen_stream.float_sum(p.size for p in close.sp.lay_liability_taken)]
        row.append(number(runner.sp.actual_sp))
        for index in at:
            then = runner_in(index, key)
            row += [None] * 4 if then is None else [
                _best(then.ex.available_to_back), _best(then.ex.available_to_lay), then.last_price_traded,
                gen_stream.float_sum(p.size for p in then.ex.traded_volume)]
        rows.append(row)
    return rows
