"""Object reuse between successive books, and what earlier books keep."""

import datetime
import gc

import pytest

import marrowfin
from conftest import PT, YEAR_10000, change, definition, message, runner


def by_id(book):
    return {r.selection_id: r for r in book.runners}


START = message(PT, change(marketDefinition=definition([runner(1), runner(2), runner(3)]),
                           rc=[runner(i, atb=[[2.0, 5]], atl=[[2.2, 5]], trd=[[2.1, 9]], ltp=2.1) for i in (1, 2, 3)]))


@pytest.mark.parametrize(
    "second, new_runners, new_lists",
    [
        (change(rc=[runner(2, trd=[[2.1, 10]])]), [0, 1, 0], (0, 0, 1)),
        (change(rc=[runner(2, ltp=3.0, atb=[[2.0, 7], [1.9, 1]])]), [0, 1, 0], (1, 0, 0)),
        (change(rc=[runner(2, atl=[[2.3, 1]])]), [0, 1, 0], (0, 1, 0)),
        (change(rc=[runner(2, status="REMOVED")]), [0, 1, 0], (0, 0, 0)),
        (change(rc=[runner(2, spn=2.5), runner(3, spf=None)]), [0, 1, 1], (0, 0, 0)),
        (change(rc=[runner(2, spl=[[1.5, 2]]), runner(1, tv=100)]), [1, 1, 0], (0, 0, 0)),
        # Resending what a runner already shows is no change.
        (change(rc=[runner(2, atb=[[2.0, 5]], ltp=2.1, atl=[[9, 0]])]), [0, 0, 0], (0, 0, 0)),
        # A definition changes every runner it lists, but not their ladders; an image changes all.
        (START["mc"][0], [1, 1, 1], (0, 0, 0)),
        (dict(START["mc"][0], img=True), [1, 1, 1], (1, 1, 1)),
        # Market fields outside a definition show in the book, not in the definition.
        (change(status="SUSPENDED", inPlay=True), [0, 0, 0], (0, 0, 0)),
        # A message of no changes repeats the book, its publish time too.
        (None, [0, 0, 0], (0, 0, 0)),
    ],
)
def test_what_a_change_rebuilds_and_earlier_books_keep(replay, second, new_runners, new_lists):
    first, book = replay(START, message(PT + 1, *[second] if second else []))
    assert first.to_dict() == replay(START)[0].to_dict()
    second = second or {}
    assert (book.market_definition is first.market_definition) == ("marketDefinition" not in second)
    assert (book.status, book.inplay, book.market_definition.status) == (
        second.get("status", "OPEN"), second.get("inPlay", False), "OPEN")
    if not second:
        assert (book.publish_time_epoch, book.to_dict()) == (PT, first.to_dict())
    assert [int(a is not b) for a, b in zip(book.runners, first.runners)] == new_runners
    for old, new in zip(first.runners, book.runners):
        assert (new.ex is not old.ex) == (new is not old)
    lists = lambda r: (r.ex.available_to_back, r.ex.available_to_lay, r.ex.traded_volume)  # noqa: E731
    assert tuple(int(a is not b) for a, b in zip(lists(book.runners[1]), lists(first.runners[1]))) == new_lists
    first.runners.clear()  # each book has its own list
    assert len(book.runners) == 3


def test_a_rebuilt_runner_keeps_its_status_string_and_still_ladders_while_they_stand(replay):
    sp = lambda s: ([(p.price, p.size) for p in s.back_stake_taken],  # noqa: E731
                    [(p.price, p.size) for p in s.lay_liability_taken])
    books = replay(START, message(PT + 1, change(rc=[runner(2, spl=[[4.0, 1.0]], spb=[[2.0, 3.0]])])),
                   message(PT + 2, change(rc=[runner(2, ltp=3.0)])),
                   message(PT + 3, change(rc=[runner(2, status="REMOVED", spl=[[5.0, 2.0]])])),
                   message(PT + 4, change(rc=[runner(2, spb=[[2.0, 0]], atb=[[2.0, 1]])])),
                   message(PT + 5, change(img=True, rc=[runner(2, status="REMOVED")])))  # fmt: skip
    runners = [by_id(b)[2] for b in books]
    assert len({id(r) for r in runners}) == 6
    assert [r.status for r in runners] == ["ACTIVE"] * 3 + ["REMOVED"] * 3
    # The same object while the text stands; an image starts every runner afresh.
    assert [b.status is a.status for a, b in zip(runners, runners[1:])] == [True, True, False, True, False]
    assert [sp(r.sp) for r in runners] == [([], []), ([(4.0, 1.0)], [(2.0, 3.0)]), ([(4.0, 1.0)], [(2.0, 3.0)]),
                                           ([(4.0, 1.0), (5.0, 2.0)], [(2.0, 3.0)]), ([(4.0, 1.0), (5.0, 2.0)], []),
                                           ([], [])]


# The counting class inherits utcfromtimestamp, which warns.
@pytest.mark.filterwarnings("ignore:datetime.datetime.utcfromtimestamp:DeprecationWarning")
def test_a_failed_step_keeps_what_it_built_and_a_bad_definition_fails_until_replaced(write, monkeypatch):
    parsed, real = [], datetime.datetime

    class CountingDatetime(real):
        @classmethod
        def strptime(cls, text, format):
            parsed.append(text)
            return real.strptime(text, format)

    timed = lambda text: change(marketDefinition=definition([runner(1)], marketTime=text))  # noqa: E731
    it = marrowfin.iter_prices_file(write(
        # Changes runner 1's ladder and the definition, then fails at its publish time (beyond year 9999).
        START, message(YEAR_10000, dict(timed("2021-01-01T10:00:00.000Z"), rc=[runner(1, atb=[[2.0, 77]])])),
        message(PT + 2, change()), message(PT + 3, timed("2021-01-01")),
        message(PT + 4, change(rc=[runner(1, ltp=9.0)])), message(PT + 5),
        message(PT + 6, timed("2021-01-01T11:00:00Z")),
    ))  # fmt: skip
    first = next(it)
    monkeypatch.setattr(datetime, "datetime", CountingDatetime)
    with pytest.raises(ValueError, match="^year 10000 is out of range$"):
        next(it)
    # The ladder list built by the failed call is the one the next book shows.
    built = [o for o in gc.get_objects() if type(o) is list and o
             and type(o[0]) is marrowfin.PriceSize and o[0].size == 77.0]
    assert len(built) == 1
    book = next(it)
    assert parsed == ["2021-01-01T10:00:00.000Z"]  # the definition was not rebuilt
    assert book.market_definition.market_time == datetime.datetime(2021, 1, 1, 10)
    assert by_id(book)[1].ex.available_to_back is built[0] and book.publish_time_epoch == PT + 2
    for _ in range(3):
        with pytest.raises(ValueError) as error:
            next(it)
        assert str(error.value) == "time data '2021-01-01' does not match format '%Y-%m-%dT%H:%M:%SZ'"
    book = next(it)
    assert (book.market_definition.market_time, by_id(book)[1].last_price_traded) == (
        datetime.datetime(2021, 1, 1, 11), 9.0)
    assert first.market_definition.market_time is None
    assert list(it) == []
