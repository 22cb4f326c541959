"""Books as JSON lines, one to_dict() per book."""

from __future__ import annotations

import json
from collections.abc import Collection, Iterator
from typing import IO

import marrowfin


def select_books(path: str, every: int = 1,
                 changed: Collection[int] = ()) -> Iterator[marrowfin.MarketBook]:
    """The books of a recording, filtered.

    `changed`: keep only books in which one of these selection ids changed. The
    module hands out the same Runner object while a runner is unchanged, so a
    new object is a change (the first book a runner appears in counts as one).
    `every`: then keep every Nth of the books left, starting with the first.
    """
    if every < 1:
        raise ValueError("every must be at least 1")
    wanted = frozenset(changed)
    previous: dict[tuple[int, float], marrowfin.Runner] = {}
    kept = 0
    for book in marrowfin.iter_prices_file(str(path)):
        if wanted:
            hit = False
            for runner in book.runners:
                if runner.selection_id in wanted:
                    key = (runner.selection_id, runner.handicap)
                    if previous.get(key) is not runner:
                        previous[key] = runner
                        hit = True
            if not hit:
                continue
        if kept % every == 0:
            yield book
        kept += 1


def export_books(path: str, out: IO[str], every: int = 1, changed: Collection[int] = ()) -> int:
    """Writes the selected books to `out` as JSON lines; returns how many."""
    count = 0
    for book in select_books(path, every, changed):
        out.write(json.dumps(book.to_dict(), separators=(",", ":")))
        out.write("\n")
        count += 1
    return count
