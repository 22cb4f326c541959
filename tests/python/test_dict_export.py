"""MarketBook.to_dict: keys, order, presence, and lists that Python code has changed."""

import sys

import pytest

import marrowfin
from streams import PT, change, definition, message, replay, runner, stream  # noqa: F401

TOP_KEYS = [
    "marketId", "status", "betDelay", "bspReconciled", "complete", "crossMatching", "inplay",
    "numberOfActiveRunners", "numberOfRunners", "numberOfWinners", "runnersVoidable",
    "totalMatched", "version", "lastMatchTime", "publishTime", "runners",
]  # fmt: skip

DEFINITION_KEYS = [
    "betDelay", "bettingType", "bspMarket", "bspReconciled", "complete", "countryCode",
    "crossMatching", "discountAllowed", "eventId", "eventName", "eventTypeId", "inPlay",
    "marketBaseRate", "marketTime", "marketType", "name", "numberOfActiveRunners",
    "numberOfWinners", "openDate", "persistenceEnabled", "regulators", "runners",
    "runnersVoidable", "status", "suspendTime", "timezone", "turnInPlayEnabled", "venue", "version",
]  # fmt: skip


@pytest.fixture
def book(replay):
    (book,) = replay(
        message(
            1617121660134,
            change(
                marketDefinition=definition(
                    [runner(9, sortPriority=1, hc=-1.5, name="Nine", adjustmentFactor=2.5,
                            removalDate="2021-03-30T10:00:00Z", bsp=3.75),
                     runner(4, sortPriority=2, hc=0.0, status="REMOVED"),
                     runner(5, sortPriority=3, hc=-0.0)],
                    marketTime="2021-03-30T16:20:00.000Z", openDate="2021-03-30T12:50:00Z",
                    eventId="1", venue="Warwick", regulators=["MR_INT"], inPlay=True,
                    eachWayDivisor=4, raceType="Flat", settledTime="2021-03-30T16:27:20.000Z",
                ),
                rc=[runner(9, hc=-1.5, atb=[[2.0, 5], [1.9, 3]], atl=[[2.2, 1]], trd=[[2.0, 10]],
                           spn="NaN", spf=1.5, spb=[[2.0, 4]], spl=[[3.0, 6]], ltp=2.0, tv=10),
                    runner(4, removalDate="2021-03-30T10:00:00Z")],
            ),
        )
    )
    return book


class TestKeys:
    def test_top_level(self, book, replay):
        d = book.to_dict()
        assert list(d) == TOP_KEYS + ["marketDefinition"]
        assert (d["marketId"], d["status"], d["publishTime"], d["lastMatchTime"]) == (
            "1.100", "OPEN", 1617121660134, None)
        assert (d["inplay"], d["numberOfRunners"], d["numberOfActiveRunners"]) == (True, 3, 2)
        (bare,) = replay(message(PT, change()))
        assert list(bare.to_dict()) == TOP_KEYS
        assert bare.to_dict()["runners"] == []

    def test_runner(self, book):
        runners = book.to_dict()["runners"]
        assert [r["selectionId"] for r in runners] == [4, 5, 9]
        r = runners[2]
        assert list(r) == ["selectionId", "handicap", "status", "adjustmentFactor",
                           "lastPriceTraded", "totalMatched", "removalDate", "ex", "sp"]
        assert (r["handicap"], r["status"], r["lastPriceTraded"], r["totalMatched"]) == (
            -1.5, "ACTIVE", 2.0, 10.0)
        assert r["status"] is book.runners[2].status
        assert r["ex"] == {
            "availableToBack": [{"price": 2.0, "size": 5.0}, {"price": 1.9, "size": 3.0}],
            "availableToLay": [{"price": 2.2, "size": 1.0}],
            "tradedVolume": [{"price": 2.0, "size": 10.0}],
        }
        assert list(r["ex"]) == ["availableToBack", "availableToLay", "tradedVolume"]
        assert r["sp"] == {
            "nearPrice": "NaN", "farPrice": 1.5, "actualSP": 3.75,
            "backStakeTaken": [{"price": 3.0, "size": 6.0}],
            "layLiabilityTaken": [{"price": 2.0, "size": 4.0}],
        }  # fmt: skip
        assert list(r["sp"]) == ["nearPrice", "farPrice", "actualSP", "backStakeTaken",
                                 "layLiabilityTaken"]
        removed = runners[0]
        assert (removed["adjustmentFactor"], removed["lastPriceTraded"]) == (None, None)
        assert removed["removalDate"] == "2021-03-30T10:00:00Z"

    def test_definition(self, book):
        d = book.to_dict()["marketDefinition"]
        assert list(d) == DEFINITION_KEYS
        assert (d["marketTime"], d["openDate"], d["suspendTime"]) == (
            "2021-03-30T16:20:00.000Z", "2021-03-30T12:50:00Z", None)
        assert (d["eventId"], d["venue"], d["name"], d["regulators"]) == ("1", "Warwick", None, ["MR_INT"])
        assert (d["inPlay"], d["version"], d["marketBaseRate"]) == (True, 1, 0.0)
        assert d["runners"] == [
            {"id": 9, "sortPriority": 1, "status": "ACTIVE", "adjustmentFactor": 2.5,
             "name": "Nine", "hc": -1.5, "removalDate": "2021-03-30T10:00:00Z", "bsp": 3.75},
            {"id": 4, "sortPriority": 2, "status": "REMOVED"},
            {"id": 5, "sortPriority": 3, "status": "ACTIVE"},
        ]  # fmt: skip
        assert list(d["runners"][0]) == ["id", "sortPriority", "status", "adjustmentFactor",
                                         "name", "hc", "removalDate", "bsp"]

    def test_result_is_independent(self, book):
        first, second = book.to_dict(), book.to_dict()
        assert first == second and first is not second
        first["runners"][2]["ex"]["availableToBack"].append(1)
        first["marketDefinition"]["regulators"].append("X")
        assert second == book.to_dict()
        assert book.market_definition.regulators == ["MR_INT"]
        assert first["runners"][2]["ex"] is not second["runners"][2]["ex"]


class TestChangedLists:
    """Handed-out lists are ordinary Python lists; the export must survive what callers do."""

    def test_foreign_runner(self, book):
        foreign = object()
        book.runners.append(foreign)
        before = sys.getrefcount(foreign)
        with pytest.raises(TypeError) as error:
            book.to_dict()
        assert str(error.value) == "'object' object cannot be converted to 'Runner'"
        assert sys.getrefcount(foreign) == before

    def test_foreign_price(self, book):
        book.runners[2].ex.traded_volume.insert(0, 1.5)
        with pytest.raises(TypeError, match="^'float' object cannot be converted to 'PriceSize'$"):
            book.to_dict()

    def test_foreign_definition_runner(self, book):
        book.market_definition.runners.append(book.runners[0])
        with pytest.raises(TypeError, match="^'Runner' object cannot be converted to 'MarketDefinitionRunner'$"):
            book.to_dict()

    def test_shortened_and_reordered_lists(self, book):
        book.runners.pop(0)
        book.runners.reverse()
        book.market_definition.runners.clear()
        book.runners[0].ex.available_to_back.pop()
        d = book.to_dict()
        assert [r["selectionId"] for r in d["runners"]] == [9, 5]
        assert d["runners"][0]["ex"]["availableToBack"] == [{"price": 2.0, "size": 5.0}]
        assert d["marketDefinition"]["runners"] == []
