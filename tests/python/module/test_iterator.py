"""The iterator's steps: which messages reach the market, when books are yielded,
when it ends. That another market's changes only repeat the book is checked by
the peer comparison and the digests of a recording of 137 markets."""

import os

import pytest

import marrowfin
from conftest import PT, change, definition, message, runner


def ids(book):
    return [r.selection_id for r in book.runners]


def test_one_book_per_message_then_stays_ended(write, tmp_path):
    it = marrowfin.iter_prices_file(write(*(message(PT + i, change(rc=[runner(i)])) for i in range(4))))
    os.remove(tmp_path / "stream.txt")  # the file is read once, at the call
    assert iter(it) is it and type(it) is marrowfin.PricesIterator and len(it) == 4
    for _ in it:
        break
    books = list(it)  # a second loop goes on where the first stopped
    assert [(b.publish_time_epoch, ids(b)) for b in books] == [(PT + 1, [0, 1]), (PT + 2, [0, 1, 2]),
                                                                (PT + 3, [0, 1, 2, 3])]  # fmt: skip
    for _ in range(2):
        with pytest.raises(StopIteration):
            next(it)
    assert len(it) == 4 and list(it) == []
    it = marrowfin.iter_prices_file(write())
    assert len(it) == 0 and list(it) == []


THEN = [message(PT + 1, change(rc=[runner(2)])), message(PT + 2, change(rc=[runner(3)]))]


@pytest.mark.parametrize(
    "messages, expected",
    [
        # Messages before the first usable market id are skipped over, never end the iteration.
        *[([message(PT, first), *THEN], [(PT + 1, [2]), (PT + 2, [2, 3])])
          for first in [change(market=None, rc=[runner(1)]), change(market=5, rc=[runner(1)]),
                        change(market="", rc=[runner(1)]), "not a change", {}]],
        ([message(PT, change(market=None)), message(PT + 1), message(PT + 2, change(market=""))], []),
        # Changes without a usable id: skipped before the market exists, applied to it after.
        ([message(PT, change(market=None, rc=[runner(9)]), change(rc=[runner(1)]), change(market=None, rc=[runner(2)]),
                  change(market=7, rc=[runner(3)]), change(market="", rc=[runner(4)]))], [(PT, [1, 2, 3, 4])]),
        # Bare market change lines.
        ([{"id": "1.100", "pt": PT, "rc": [runner(3)]}, {"pt": PT + 1, "marketDefinition": definition([runner(4)])}],
         [(PT, [3]), (PT + 1, [3, 4])]),
    ],
)  # fmt: skip
def test_which_messages_reach_the_market(write, messages, expected):
    it = marrowfin.iter_prices_file(write(*messages))
    assert len(it) == len(messages)
    books = list(it)
    assert [(b.publish_time_epoch, ids(b)) for b in books] == expected and {b.market_id for b in books} <= {"1.100"}
    with pytest.raises(StopIteration):
        next(it)
