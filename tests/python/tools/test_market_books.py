"""market_books: the markets of several recordings merged by publish time, each one's books as if its
recording were replayed alone (the table oracles rely on it; the peer's order: test_peer_equality.py)."""

import datetime
import os
import pathlib

import pytest

import marrowfin
from conftest import PEER_DATA, PT, RICH_MESSAGE, change, fake_datetime, message
from marrowfin_tools import market_books, sample_path

UTC = datetime.timezone.utc
TIMES = ("market_time", "open_date", "suspend_time", "settled_time")


def test_merged_by_publish_time_ties_to_the_earlier_path_then_line(write):
    first = write(message(PT, change("1.1", img=True)),
                  message(PT + 2, change("1.2"), change("1.1")),  # two markets: a book of each, in order
                  message(PT + 5, change(None, tv=5)),  # no id: the recording's first market
                  message(PT + 5), name="first.txt")  # touches nothing: no book
    second = write(message(PT + 1, change("1.3", img=True)), message(PT + 2, change("1.3")),
                   message(PT + 1, change("1.3")), name="second.txt")  # its own order kept
    books = market_books([first, second, write(b"", name="empty.txt")])
    assert (books.path_index, books.message_index, books.image) == (None, None, False)
    # (market, path index, message index, image, publish time) of every book
    assert [(b.market_id, books.path_index, books.message_index, books.image, b.publish_time_epoch)
            for b in books] == [
        ("1.1", 0, 0, True, PT), ("1.3", 1, 0, True, PT + 1), ("1.2", 0, 1, False, PT + 2),
        ("1.1", 0, 1, False, PT + 2), ("1.3", 1, 1, False, PT + 2), ("1.3", 1, 2, False, PT + 1),
        ("1.1", 0, 2, False, PT + 5)]  # fmt: skip
    assert next(books, None) is None and books.message_index == 2


def as_alone(books):
    """Per book: its dict, and which of its runners and definition are its market's book before's."""
    before, out = {}, []
    for book in books:
        runners, definition = before.get(book.market_id, ({}, None))
        now = {(r.selection_id, r.handicap): r for r in book.runners}
        out.append((book.market_id, book.to_dict(), book.market_definition is definition,
                    [r is runners.get(key) for key, r in sorted(now.items())]))
        before[book.market_id] = (now, book.market_definition)
    return out


@pytest.mark.skipif(not PEER_DATA.is_dir(), reason="peer recordings absent")
def test_each_market_is_the_modules_own_replay_of_its_recording():
    # The WIN and PLACE markets of one race, and the sample, merged.
    paths = [sample_path(), str(PEER_DATA / "1.197931750"), str(PEER_DATA / "1.197931751")]
    merged = as_alone(market_books(paths))
    for path in paths:
        alone = as_alone(marrowfin.iter_prices_file(path))
        assert [b for b in merged if b[0] == alone[0][0]] == alone
    assert len({b[0] for b in merged[:40]}) == 2  # the race's markets interleave


def test_aware_times_are_the_naive_ones_in_utc(write, monkeypatch):
    path = write(RICH_MESSAGE)
    (naive,) = marrowfin.iter_prices_file(path)
    (aware,) = market_books([path], aware=True)
    pairs = [(naive.publish_time, aware.publish_time)] + [
        (getattr(naive.market_definition, t), getattr(aware.market_definition, t)) for t in TIMES]
    assert all(a == n.replace(tzinfo=UTC) and a.tzinfo is UTC for n, a in pairs)

    # A subclass that inherits the class methods (flumine's simulated clock)
    # gets its own instances; one that overrides them gets its calls.
    real, calls = datetime.datetime, []

    class Frozen(real):
        pass

    class Patched(real):
        @classmethod
        def fromtimestamp(cls, seconds, tz=None):
            calls.append(("fromtimestamp", seconds, tz))
            return real.fromtimestamp(seconds, tz)

        @classmethod
        def strptime(cls, text, format):
            calls.append(("strptime", text))
            return real.strptime(text, format)

    for cls in (Frozen, Patched):
        monkeypatch.setattr(datetime, "datetime", cls)
        (book,) = market_books([path], aware=True)
        monkeypatch.undo()
        got = [book.publish_time] + [getattr(book.market_definition, t) for t in TIMES]
        assert got == [a for _, a in pairs] and {t.tzinfo for t in got} == {UTC}
        assert {type(t) for t in got} == {Frozen if cls is Frozen else real}
    assert calls == [("strptime", "2021-03-30T16:20:00.000Z"), *[("strptime", "2021-03-30T12:50:00Z")] * 2,
                     ("strptime", "2021-03-30T16:20:00.1234Z"), ("strptime", "2021-03-30T16:27:20.000Z"),
                     ("fromtimestamp", PT / 1000.0, UTC)]  # fmt: skip


def test_paths_of_every_kind_and_what_it_refuses(write, tmp_path):
    path = write(message(PT, change()))
    kinds = [path, pathlib.Path(path), os.fsencode(path)]
    assert [b.publish_time_epoch for b in market_books(p for p in kinds)] == [PT] * 3
    assert list(market_books([])) == []
    refused = [
        (("x.json",), {}, TypeError, "market_books() argument 'paths' must be an iterable of paths, not str"),
        ((5,), {}, TypeError, "market_books() argument 'paths' must be an iterable of paths, not int"),
        (([path, 5],), {}, TypeError, "market_books() argument 'paths' must hold str, bytes or os.PathLike, "
                                      "not int"),
        (([path, "a\0b"],), {}, ValueError, "file name contained an unexpected NUL byte"),
        (([],), {"runner_order": "sort_priority"}, ValueError,
         "runner_order must be 'selection' or 'definition', got 'sort_priority'"),
        (([],), {"aware": 1}, TypeError, "market_books() argument 'aware' must be bool, not int"),
        # A recording that fails to load is named, and nothing is returned.
        (([path, tmp_path / "none"],), {}, ValueError, f"{tmp_path / 'none'}: No such file or directory (os error 2)"),
    ]  # fmt: skip
    for args, kwargs, error, text in refused:
        with pytest.raises(error) as raised:
            market_books(*args, **kwargs)
        assert str(raised.value) == text


def test_code_run_while_a_book_is_built_cannot_reach_the_iterator(write, monkeypatch):
    books = market_books([write(message(PT, change("1.1"), change("1.2")))])
    seen = []

    def reentrant(cls, seconds):
        for step in (next, iter):
            try:
                step(books)
            except RuntimeError as error:
                seen.append(str(error))
        raise LookupError("from datetime")

    fake_datetime(monkeypatch, utcfromtimestamp=reentrant)
    with pytest.raises(LookupError, match="^from datetime$"):
        next(books)
    monkeypatch.undo()
    assert seen == ["Already borrowed", "Already mutably borrowed"]
    # The failed book is not built again: the message's next market follows.
    assert [b.market_id for b in books] == ["1.2"]
