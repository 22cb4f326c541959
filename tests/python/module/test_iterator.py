"""The iterator's steps: which messages reach the market, when books are yielded,
when it ends. Which changes name a market is the native tests'; that another
market's changes only repeat the book is checked by the peer comparison and the
digests of a recording of 137 markets."""

import os

import pytest

import marrowfin
from conftest import PT, change, definition, message, runner


def test_one_book_per_message_that_reaches_the_market_then_stays_ended(write, tmp_path):
    it = marrowfin.iter_prices_file(write(
        # Before the first usable market id, messages are skipped over and never end the iteration.
        message(PT, change(market=None, rc=[runner(9)]), change(market=5), change(market=""), "not a change", {}),
        message(PT + 1),
        # Changes without a usable id: applied to the market once it exists.
        message(PT + 2, change(market=None, rc=[runner(8)]), change(rc=[runner(1)]),
                change(market=None, rc=[runner(2)]), change(market=7, rc=[runner(3)])),
        message(PT + 3, change(rc=[runner(0)])),
        message(PT + 4, change(marketDefinition=definition([runner(5)]))),
    ))  # fmt: skip
    os.remove(tmp_path / "stream.txt")  # the file is read once, at the call
    assert iter(it) is it and type(it) is marrowfin.PricesIterator and len(it) == 5
    for _ in it:
        break
    books = list(it)  # a second loop goes on where the first stopped
    assert [(b.publish_time_epoch, [r.selection_id for r in b.runners]) for b in books] == [
        (PT + 3, [0, 1, 2, 3]), (PT + 4, [0, 1, 2, 3, 5])]
    assert {b.market_id for b in books} == {"1.100"}
    for _ in range(2):
        with pytest.raises(StopIteration):
            next(it)
    assert len(it) == 5 and list(it) == []
    it = marrowfin.iter_prices_file(write())
    assert len(it) == 0 and list(it) == []
