"""The iterator's steps: which messages reach the market, when books are yielded, when it ends."""

import datetime

import pytest

import marrowfin
from streams import PT, change, definition, message, replay, runner, stream  # noqa: F401


def ids(book):
    return [r.selection_id for r in book.runners]


class TestIteration:
    def test_one_book_per_message_then_stays_ended(self, stream):
        it = marrowfin.iter_prices_file(
            stream(*(message(PT + i, change(rc=[runner(i)])) for i in range(4)))
        )
        assert iter(it) is it and len(it) == 4
        books = [next(it) for _ in range(4)]
        assert [b.publish_time_epoch for b in books] == [PT, PT + 1, PT + 2, PT + 3]
        assert [ids(b) for b in books] == [[0], [0, 1], [0, 1, 2], [0, 1, 2, 3]]
        for _ in range(3):
            with pytest.raises(StopIteration):
                next(it)
        assert len(it) == 4 and list(it) == []

    def test_empty_file(self, stream):
        it = marrowfin.iter_prices_file(stream())
        assert len(it) == 0
        with pytest.raises(StopIteration):
            next(it)

    def test_a_second_loop_continues(self, stream):
        it = marrowfin.iter_prices_file(stream(*(message(PT + i, change()) for i in range(3))))
        for _ in it:
            break
        assert [b.publish_time_epoch for b in it] == [PT + 1, PT + 2]

    def test_publish_time(self, replay):
        books = replay(message(1700000000123, change()), message(1700000000124, change()),
                       message(253402300799999, change()), message(1, change()))
        assert [b.publish_time for b in books] == [
            datetime.datetime(2023, 11, 14, 22, 13, 20, 123000),
            datetime.datetime(2023, 11, 14, 22, 13, 20, 124000),
            datetime.datetime(9999, 12, 31, 23, 59, 59, 998993),
            datetime.datetime(1970, 1, 1, 0, 0, 0, 1000),
        ]

    def test_an_error_does_not_end_the_iteration(self, stream):
        it = marrowfin.iter_prices_file(
            stream(message(PT, change()), message(253402300800000, change(rc=[runner(1)])),
                   message(PT + 2, change(rc=[runner(2)])))
        )
        next(it)
        with pytest.raises(ValueError, match="year 10000 is out of range"):
            next(it)
        book = next(it)
        assert (book.publish_time_epoch, ids(book)) == (PT + 2, [1, 2])  # applied once, kept
        with pytest.raises(StopIteration):
            next(it)

    def test_bare_market_change_lines(self, replay):
        books = replay({"id": "1.100", "pt": PT, "rc": [runner(3)]},
                       {"pt": PT + 1, "marketDefinition": definition([runner(4)])})
        assert [ids(b) for b in books] == [[3], [3, 4]]
        assert books[1].market_id == "1.100"


class TestMarketCreation:
    """Messages before the first usable market id are skipped over, never end the iteration."""

    @pytest.mark.parametrize(
        "first",
        [change(market=None, rc=[runner(1)]), change(market=5, rc=[runner(1)]),
         change(market="", rc=[runner(1)]), "not a change", {}],
        ids=["no id", "int id", "empty id", "string", "empty object"],
    )
    def test_first_message_without_usable_id(self, stream, first):
        it = marrowfin.iter_prices_file(
            stream(message(PT, first), message(PT + 1, change(rc=[runner(2)])),
                   message(PT + 2, change(rc=[runner(3)])))
        )
        books = list(it)
        assert [(b.publish_time_epoch, ids(b)) for b in books] == [(PT + 1, [2]), (PT + 2, [2, 3])]
        with pytest.raises(StopIteration):
            next(it)

    def test_no_message_creates_the_market(self, stream):
        it = marrowfin.iter_prices_file(
            stream(message(PT, change(market=None)), message(PT + 1), message(PT + 2, change(market="")))
        )
        assert len(it) == 3 and list(it) == []
        with pytest.raises(StopIteration):
            next(it)

    def test_change_before_the_id_in_the_same_message_is_skipped(self, replay):
        (book,) = replay(message(PT, change(market=None, rc=[runner(1)]), change(rc=[runner(2)])))
        assert (book.market_id, ids(book)) == ("1.100", [2])

    def test_changes_without_id_apply_once_the_market_exists(self, replay):
        (book,) = replay(
            message(PT, change(rc=[runner(1)]), change(market=None, rc=[runner(2)]),
                    change(market=7, rc=[runner(3)]), change(market="", rc=[runner(4)]))
        )
        assert ids(book) == [1, 2, 3, 4]


class TestForeignMarkets:
    """One iterator tracks one market: changes naming another market are not applied."""

    def test_other_market_in_the_same_message(self, replay):
        (book,) = replay(
            message(PT, change(rc=[runner(1)]),
                    change(market="1.200", status="CLOSED", tv=99, rc=[runner(2)],
                           marketDefinition=definition([runner(2)], status="CLOSED")))
        )
        assert (book.market_id, ids(book), book.status) == ("1.100", [1], "OPEN")
        assert (book.total_matched, book.market_definition) == (0.0, None)

    def test_message_of_another_market_only_repeats_the_book(self, replay):
        first, second, third = replay(
            message(PT, change(marketDefinition=definition([runner(1)]), rc=[runner(1, ltp=2.0)])),
            message(PT + 1, change(market="1.200", img=True, rc=[runner(2, ltp=3.0)])),
            message(PT + 2, change(rc=[runner(1, ltp=4.0)])),
        )
        assert second.publish_time_epoch == PT  # nothing of that message was applied
        assert second.runners[0] is first.runners[0]
        assert second.market_definition is first.market_definition
        assert second.to_dict() == first.to_dict()
        assert (ids(third), third.runners[0].last_price_traded) == ([1], 4.0)
