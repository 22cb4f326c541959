"""The price table computed in Python from the books: the oracle of the table
tests, and the slow path that bench/table_speed.py measures the table against."""

from __future__ import annotations

import gzip
import json
import pathlib

import pytest

import gen_stream
import marrowfin
from conftest import SANITIZED

# DuckDB throws C++ exceptions within itself, which the preloaded ASan runtime
# cannot intercept (it aborts): DuckDB runs in the normal pass only.
uses_duckdb = pytest.mark.skipif(SANITIZED, reason="DuckDB aborts under the preloaded ASan")

FIXED = ["market_id", "publish_time", "market_status", "inplay", "selection_id", "handicap", "status",
         "last_price_traded", "total_matched"]


def column_names(depth):
    ladders = [f"{block}_{level}" for block in ("back_price", "back_size", "lay_price", "lay_size")
               for level in range(1, depth + 1)]
    return FIXED + ladders + ["traded_volume"]


def rows_from_books(books, depth=3, every_book=False, flag_changes=False):
    """The table's columns as lists, from the books of one market. A runner
    changed when the book holds another Runner object than the one before.
    `flag_changes` adds a column "changed" saying so."""
    names = column_names(depth) + (["changed"] if flag_changes else [])
    rows = []
    previous = {}  # (selection id, handicap): (Runner, its values)
    for book in books:
        head = [book.market_id, book.publish_time_epoch, book.status, book.inplay]
        for runner in book.runners:
            key = (runner.selection_id, runner.handicap)
            last = previous.get(key)
            changed = last is None or last[0] is not runner
            if not changed and not every_book:
                continue
            if changed:  # a Runner handed out again is unchanged, values and all
                back, lay = runner.ex.available_to_back, runner.ex.available_to_lay
                values = [runner.selection_id, runner.handicap, runner.status, runner.last_price_traded,
                          runner.total_matched]
                for side in (back, lay):
                    values += [side[i].price if i < len(side) else None for i in range(depth)]
                    values += [side[i].size if i < len(side) else None for i in range(depth)]
                values.append(gen_stream.float_sum(p.size for p in runner.ex.traded_volume))
                previous[key] = last = (runner, values)
            rows.append(head + last[1] + [changed] if flag_changes else head + last[1])
    columns = zip(*rows) if rows else [()] * len(names)
    return {name: list(values) for name, values in zip(names, columns)}


def _open(path):
    path = str(path)
    return gzip.open(path, "rt", encoding="utf-8") if path.endswith((".gz", ".gzip")) else open(
        path, encoding="utf-8")


def split_by_market(path):
    """{market id: [message lines]}: each market's own recording, as the table
    folds the file. A kept message's changes go to the market they name; one
    naming none to the first market; a message that touched no market of
    them is left out of that market's lines."""
    markets: dict[str, list[str]] = {}
    first = None
    with _open(path) as f:
        for line in f:
            if not line.strip():
                continue
            message = json.loads(line)
            pt = message.get("pt")
            if type(pt) is not int or pt <= 0:
                continue
            changes = message.get("mc")
            if not isinstance(changes, list):
                if "marketDefinition" not in message and "rc" not in message:
                    continue
                changes = [message]
            touched: dict[str, list] = {}
            for change in changes:
                market = change.get("id") if isinstance(change, dict) else None
                if not isinstance(market, str) or not market:
                    market = first
                    if market is None:
                        continue
                first = first or market
                touched.setdefault(market, []).append(change)
            for market, kept in touched.items():
                markets.setdefault(market, []).append(json.dumps({"op": "mcm", "pt": pt, "mc": kept}))
    return markets


def rows_per_market(path, directory, depth=3, every_book=False, flag_changes=False):
    """{market id: columns} from each market's own recording, replayed."""
    out = {}
    for i, (market, lines) in enumerate(split_by_market(path).items()):
        own = pathlib.Path(directory) / f"market-{i}.json"
        own.write_text("".join(line + "\n" for line in lines), encoding="utf-8")
        out[market] = rows_from_books(marrowfin.iter_prices_file(str(own)), depth, every_book, flag_changes)
    return out


def generated(path, **options):
    """A recording made by bench/gen_stream.py (generate's options); returns the path as str."""
    gen_stream.generate(str(path), gzip=str(path).endswith(".gz"), **options)
    return str(path)
